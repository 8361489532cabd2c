// Feeds arbitrary bytes to the FTP reply reader, as if they came from the
// control connection, with the interpreter waiting for the reply to one of a
// few typical lines. The first input byte chooses that line, the interpreter
// and abort states; the second where the rest is cut into two reads, so that
// replies split across reads are exercised too.

#include "qftppi.h"

#include <QBuffer>
#include <QCoreApplication>

#include <cstddef>
#include <cstdint>

struct QFtpPITestAccess
{
    static void run(const uint8_t *data, size_t size)
    {
        static const char *const lines[] = {
            "USER me\r\n", "PASV\r\n",   "EPSV\r\n", "STOR f\r\n",
            "RETR f\r\n",  "SIZE f\r\n", "LIST\r\n", "QUIT\r\n",
        };
        const uint8_t selector = data[0];
        const size_t cut = size > 1 ? data[1] : 0;
        data += 2;
        size -= 2;

        QFtpPI pi;
        pi.currentLine = QString::fromLatin1(lines[selector & 7]);
        pi.pendingCommands
            = QStringList { QStringLiteral("PASS x\r\n"), QStringLiteral("NOOP\r\n") };
        pi.interpreterState = (selector & 8) ? QFtpPI::AwaitingGreeting : QFtpPI::AwaitingReply;
        pi.abortState = QFtpPI::AbortState((selector >> 4) % 3);
        pi.rawCommandActive = selector & 0x40;
        QByteArray target("upload");
        pi.dataProcess.setTargetBuffer(&target);

        const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
        const int first = int(qMin(size, cut * size / 255));
        QBuffer source;
        source.open(QIODevice::ReadWrite);
        source.write(bytes.left(first));
        source.seek(0);
        pi.readRepliesFrom(source);
        // The second read: what is left of the first plus the rest.
        const QByteArray left = source.readAll();
        QBuffer more;
        more.setData(left + bytes.mid(first));
        more.open(QIODevice::ReadOnly);
        pi.readRepliesFrom(more);
    }
};

namespace {
void quiet(QtMsgType, const QMessageLogContext &, const QString &) { }
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_replyreader";
    static char *argv[] = { name, nullptr };
    static QCoreApplication *app = [] {
        qInstallMessageHandler(quiet); // writes to the unconnected socket warn
        return new QCoreApplication(argc, argv);
    }();
    Q_UNUSED(app);
    if (size < 2)
        return 0;
    QFtpPITestAccess::run(data, size);
    return 0;
}
