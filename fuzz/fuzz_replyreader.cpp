// Feeds arbitrary bytes to the FTP reply reader, as if they came from the
// control connection, with the interpreter waiting for the reply to one of a
// few typical lines. The first input byte chooses that line (raw or not, its
// refusal tolerated or not), the interpreter and abort states; the second how
// the rest arrives: cut into two reads, fed a byte or a few bytes at a time,
// or repeated into large pieces beyond the line limit. Each read sees at most
// what the control socket may hold unread, as with the real socket.

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
        const uint8_t feed = data[1];
        data += 2;
        size -= 2;

        QFtpPI pi;
        pi.setInterpreterState((selector & 8) ? QFtpPI::InterpreterState::AwaitingGreeting
                                              : QFtpPI::InterpreterState::AwaitingReply);
        QFtpLine current = QFtpLine::fromText(QString::fromLatin1(lines[selector & 7]));
        if (selector & 0x40)
            current.markRaw();
        if (selector & 0x80)
            current.tolerateRefusal();
        pi.setCurrentCommand(current);
        pi.pendingCommands = { QFtpLine::fromText(QStringLiteral("PASS x")),
                               QFtpLine::fromText(QStringLiteral("NOOP")) };
        pi.setAbortState(QFtpPI::AbortState((selector >> 4) % 3));
        QByteArray target("upload");
        pi.setUploadSource(&target);

        const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
        switch (feed % 4) {
        case 0: { // two reads, cut where the second byte says
            const int first = int(qMin(size, size_t(feed) * size / 255));
            feedPieces(pi, { bytes.left(first), bytes.mid(first) });
            break;
        }
        case 1: // slowly: one byte per read
        case 2: { // or a few bytes per read
            const int step = feed % 4 == 1 ? 1 : 1 + (feed >> 2) % 7;
            QList<QByteArray> pieces;
            for (int i = 0; i < bytes.size(); i += step)
                pieces << bytes.mid(i, step);
            feedPieces(pi, pieces);
            break;
        }
        default: { // large: the input repeated past the line limit, in big reads
            if (bytes.isEmpty())
                break;
            // Past the line limit; the reply limit is a unit test's (too slow here).
            const int target = QFtpPI::maxReplyLineLength + 16;
            QByteArray large;
            while (large.size() < target)
                large += bytes;
            feedPieces(pi, { large });
            break;
        }
        }
    }

    // What a socket with a bounded buffer would deliver: each read adds to
    // what the reader left, up to the bound, and the rest waits.
    static void feedPieces(QFtpPI &pi, const QList<QByteArray> &pieces)
    {
        QByteArray waiting;
        for (const QByteArray &piece : pieces) {
            waiting += piece;
            while (!waiting.isEmpty()) {
                const int take = qMin(waiting.size(), QFtpPI::controlReadBufferSize);
                QBuffer source;
                source.setData(waiting.left(take));
                source.open(QIODevice::ReadOnly);
                pi.readRepliesFrom(source);
                const QByteArray left = source.readAll();
                waiting = left + waiting.mid(take);
                // Nothing taken from a full window: the socket would stay full too.
                if (source.size() == left.size() && take == QFtpPI::controlReadBufferSize)
                    return;
                if (take < QFtpPI::controlReadBufferSize)
                    break; // all of it offered; the rest waits for the next piece
            }
        }
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
