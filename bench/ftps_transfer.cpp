// FTP over TLS (explicit, AUTH TLS with PROT P) against a local vsftpd that
// requires TLS and session reuse on data connections: one large upload by
// QFtp::put from a file device, beside `curl --ssl-reqd -k -T` of the same
// file to the same server in the same run, and the client's peak memory.
// Usage: ftps_transfer [megabytes, default 1024] [rounds, default 2]

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

// Writes the page cache back and drops the last upload, so that each timed
// transfer starts from the same state of the server's disk.
void settle(QDir &root, const QString &name)
{
    root.remove(name);
    QProcess::execute(QStringLiteral("sync"), {});
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const qint64 megabytes = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1024;
    const int rounds = argc > 2 ? QByteArray(argv[2]).toInt() : 2;
    const qint64 size = megabytes * 1024 * 1024;

    QString why;
    if (!FtpTestServer::vsftpdUsable(&why)) {
        std::fprintf(stderr, "vsftpd is needed: %s\n", qPrintable(why));
        return 1;
    }
    FtpTestServer server(FtpTestServer::Vsftpd);
    FtpTestServer::Options options;
    options.tls = FtpTestServer::ExplicitTls;
    if (!server.start(options)) {
        std::fprintf(stderr, "vsftpd did not start: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    QDir root(server.root());
    QTemporaryDir local(QDir::temp().filePath(QStringLiteral("mirvo-bench-XXXXXX")));
    const QString source = local.filePath(QStringLiteral("big.bin"));
    {
        QFile big(source);
        big.open(QIODevice::WriteOnly);
        QByteArray block(1024 * 1024, Qt::Uninitialized);
        for (int i = 0; i < block.size(); ++i)
            block[i] = char(i * 13);
        for (qint64 written = 0; written < size; written += block.size())
            big.write(block);
    }
    std::printf("explicit TLS upload: %lld MiB to vsftpd on 127.0.0.1, %d rounds\n", megabytes,
                rounds);

    QFtp ftp;
    ftp.setTlsMode(QFtp::ExplicitTls);
    ftp.setPinnedCertificate(QFtp::parseFingerprint(server.fingerprint()));
    ftp.connectToHost(QStringLiteral("127.0.0.1"), server.port());
    ftp.login(server.user(), server.password());
    if (!waitForDone(ftp))
        return 1;

    const QStringList curl { QStringLiteral("-s"),
                             QStringLiteral("--ssl-reqd"),
                             QStringLiteral("-k"),
                             QStringLiteral("-u"),
                             server.user() + QLatin1Char(':') + server.password(),
                             QStringLiteral("-T"),
                             source,
                             QStringLiteral("ftp://127.0.0.1:%1/curl.bin").arg(server.port()) };
    double oursTotal = 0, curlTotal = 0;
    qint64 peakStart = 0, peak = 0;
    for (int round = 1; round <= rounds; ++round) {
        QElapsedTimer clock;
        clock.start();
        const int rc = QProcess::execute(QStringLiteral("curl"), curl);
        const double curlSeconds = clock.nsecsElapsed() / 1e9;
        if (rc != 0 || QFileInfo(root.filePath(QStringLiteral("curl.bin"))).size() != size)
            return std::fprintf(stderr, "curl failed (%d)\n", rc), 1;
        settle(root, QStringLiteral("curl.bin"));

        QFile device(source);
        resetPeakMemory();
        peakStart = peakMemoryKiB();
        clock.start();
        ftp.put(&device, QStringLiteral("ours.bin"));
        if (!waitForDone(ftp))
            return 1;
        const double oursSeconds = clock.nsecsElapsed() / 1e9;
        peak = qMax(peak, peakMemoryKiB());
        if (QFileInfo(root.filePath(QStringLiteral("ours.bin"))).size() != size)
            return std::fprintf(stderr, "upload incomplete\n"), 1;
        settle(root, QStringLiteral("ours.bin"));
        std::printf("round %d: mirvo %.3f s (%.0f MiB/s)   curl %.3f s (%.0f MiB/s)\n", round,
                    oursSeconds, megabytes / oursSeconds, curlSeconds, megabytes / curlSeconds);
        oursTotal += oursSeconds;
        curlTotal += curlSeconds;
    }
    ftp.close();
    waitForDone(ftp);

    std::printf("\nthroughput ratio mirvo/curl: %.2f (goal: >= 0.9)\n", curlTotal / oursTotal);
    std::printf("peak memory during the uploads: %lld KiB at the start, %lld KiB peak\n", peakStart,
                peak);
    return 0;
}
