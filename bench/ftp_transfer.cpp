// FTP client throughput and memory against a local vsftpd, each figure beside
// curl doing the same work against the same server in the same run:
//   - one 1 GiB upload, with put() from a file device and from a byte array
//     (and the client's peak memory during the device upload);
//   - 1,000 uploads of 4 KiB in one session, each put() as the backup run
//     issues it (TYPE I, PASV, ALLO, STOR), against curl's 1,000 files over
//     one connection.
// Usage: ftp_transfer [megabytes for the large upload, default 1024]

#include "benchsupport.h"
#include "testsupport.h"

#include "qftp.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

namespace {

bool runCurl(const QStringList &arguments, double *seconds)
{
    QElapsedTimer clock;
    clock.start();
    const int rc = QProcess::execute(QStringLiteral("curl"), arguments);
    *seconds = clock.nsecsElapsed() / 1e9;
    if (rc != 0)
        std::fprintf(stderr, "curl failed with %d\n", rc);
    return rc == 0;
}

// Writes the page cache back and drops the last upload, so that each timed
// transfer starts from the same state of the server's disk.
void settle(QDir &root, const QString &name)
{
    if (!name.isEmpty())
        root.remove(name);
    QProcess::execute(QStringLiteral("sync"), {});
}

void printRatio(const char *what, double ours, double curl, const char *goal)
{
    std::printf("%-44s mirvo %8.3f s   curl %8.3f s   ratio %.2f  (%s)\n", what, ours, curl,
                curl > 0 ? ours / curl : 0.0, goal);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const qint64 megabytes = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1024;
    const qint64 bigSize = megabytes * 1024 * 1024;

    QString why;
    if (!FtpTestServer::vsftpdUsable(&why)) {
        std::fprintf(stderr, "vsftpd is needed: %s\n", qPrintable(why));
        return 1;
    }
    FtpTestServer server(FtpTestServer::Vsftpd);
    if (!server.start()) {
        std::fprintf(stderr, "vsftpd did not start: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    const QString url = QStringLiteral("ftp://127.0.0.1:%1/").arg(server.port());
    const QString credentials = server.user() + QLatin1Char(':') + server.password();
    QDir root(server.root());
    QTemporaryDir local(QDir::temp().filePath(QStringLiteral("mirvo-bench-XXXXXX")));

    // The large source file.
    const QString bigPath = local.filePath(QStringLiteral("big.bin"));
    {
        QFile big(bigPath);
        big.open(QIODevice::WriteOnly);
        QByteArray block(1024 * 1024, Qt::Uninitialized);
        for (int i = 0; i < block.size(); ++i)
            block[i] = char(i * 13);
        for (qint64 written = 0; written < bigSize; written += block.size())
            big.write(block);
    }
    std::printf("load average before: %s", qPrintable(QString::fromLatin1([] {
                    QFile f(QStringLiteral("/proc/loadavg"));
                    f.open(QIODevice::ReadOnly);
                    return f.readAll();
                }())));
    std::printf("large upload: %lld MiB to vsftpd on 127.0.0.1\n", megabytes);

    QFtp ftp;
    ftp.connectToHost(QStringLiteral("127.0.0.1"), server.port());
    ftp.login(server.user(), server.password());
    if (!waitForDone(ftp))
        return 1;

    // Each of our large uploads runs right after curl's, from the same state.
    const QStringList curlBig { QStringLiteral("-s"),
                                QStringLiteral("-u"),
                                credentials,
                                QStringLiteral("-T"),
                                bigPath,
                                url + QStringLiteral("curl.bin") };
    double curlSeconds = 0;
    settle(root, QString());
    if (!runCurl(curlBig, &curlSeconds))
        return 1;
    settle(root, QStringLiteral("curl.bin"));

    // 1. put() from a file device, with peak memory.
    QFile device(bigPath);
    resetPeakMemory();
    const qint64 memoryBefore = peakMemoryKiB();
    QElapsedTimer clock;
    clock.start();
    ftp.put(&device, QStringLiteral("device.bin"));
    if (!waitForDone(ftp))
        return 1;
    const double deviceSeconds = clock.nsecsElapsed() / 1e9;
    const qint64 devicePeak = peakMemoryKiB();
    device.close();
    if (QFileInfo(root.filePath(QStringLiteral("device.bin"))).size() != bigSize)
        return std::fprintf(stderr, "device upload incomplete\n"), 1;
    settle(root, QStringLiteral("device.bin"));

    // 2. put() from a byte array, again right after curl.
    QByteArray bytes;
    {
        QFile big(bigPath);
        big.open(QIODevice::ReadOnly);
        bytes = big.readAll();
    }
    double curlSeconds2 = 0;
    if (!runCurl(curlBig, &curlSeconds2))
        return 1;
    settle(root, QStringLiteral("curl.bin"));
    clock.start();
    ftp.put(bytes, QStringLiteral("bytes.bin"));
    if (!waitForDone(ftp))
        return 1;
    const double bytesSeconds = clock.nsecsElapsed() / 1e9;
    bytes.clear();
    if (QFileInfo(root.filePath(QStringLiteral("bytes.bin"))).size() != bigSize)
        return std::fprintf(stderr, "byte-array upload incomplete\n"), 1;
    settle(root, QStringLiteral("bytes.bin"));

    // 3. 1,000 uploads of 4 KiB in one session.
    const int smallCount = 1000;
    QDir smallDir(local.filePath(QStringLiteral("small")));
    smallDir.mkpath(QStringLiteral("."));
    const QByteArray small(4096, 's');
    for (int i = 1; i <= smallCount; ++i) {
        QFile f(smallDir.filePath(QStringLiteral("small%1.bin").arg(i)));
        f.open(QIODevice::WriteOnly);
        f.write(small);
    }
    // Folders made through the server, so that its account owns them.
    ftp.mkdir(QStringLiteral("ours"));
    ftp.mkdir(QStringLiteral("curls"));
    if (!waitForDone(ftp))
        return 1;
    QProcess::execute(QStringLiteral("sync"), {});
    clock.start();
    for (int i = 1; i <= smallCount; ++i)
        ftp.put(small, QStringLiteral("ours/small%1.bin").arg(i));
    if (!waitForDone(ftp))
        return 1;
    const double smallSeconds = clock.nsecsElapsed() / 1e9;
    double curlSmallSeconds = 0;
    QProcess::execute(QStringLiteral("sync"), {});
    if (!runCurl({ QStringLiteral("-s"), QStringLiteral("-u"), credentials, QStringLiteral("-T"),
                   smallDir.filePath(QStringLiteral("small[1-%1].bin").arg(smallCount)),
                   url + QStringLiteral("curls/") },
                 &curlSmallSeconds))
        return 1;
    if (QDir(root.filePath(QStringLiteral("ours"))).entryList(QDir::Files).size() != smallCount
        || QDir(root.filePath(QStringLiteral("curls"))).entryList(QDir::Files).size()
            != smallCount) {
        return std::fprintf(stderr, "small uploads incomplete\n"), 1;
    }

    ftp.close();
    waitForDone(ftp);

    const double mib = double(bigSize) / (1024 * 1024);
    std::printf("\n");
    printRatio("put(QIODevice*) large file", deviceSeconds, curlSeconds, "goal: ratio <= 1.11");
    printRatio("put(QByteArray) large file", bytesSeconds, curlSeconds2, "goal: ratio <= 1.11");
    std::printf("%-44s mirvo %.1f MiB/s (device), %.1f MiB/s (bytes)   curl %.1f / %.1f MiB/s\n",
                "throughput", mib / deviceSeconds, mib / bytesSeconds, mib / curlSeconds,
                mib / curlSeconds2);
    std::printf("%-44s %lld KiB at the start, %lld KiB peak (goal: < 65536 KiB)\n",
                "peak memory during the device upload", memoryBefore, devicePeak);
    printRatio("1,000 uploads of 4 KiB, one session", smallSeconds, curlSmallSeconds,
               "goal: ratio <= 1.5");
    std::printf("%-44s mirvo %.2f ms   curl %.2f ms\n", "per small file",
                smallSeconds * 1000 / smallCount, curlSmallSeconds * 1000 / smallCount);
    return 0;
}
