// FTP over TLS (explicit, AUTH TLS with PROT P) to a local vsftpd that
// requires TLS and session reuse on data connections, serving a RAM-backed
// folder (/dev/shm): one large upload of a file by mirvo's client (put() of
// a QFile), `curl --ssl-reqd -k -T` and lftp (TLS forced), each in a process
// of its own under /usr/bin/time, taking turns over several rounds.
//
//     ftps_transfer [MiB, default 1024] [rounds, default 3]
//
// Needs root (vsftpd), curl and lftp.

#include "benchsupport.h"
#include "testsupport.h"

#include "qftp.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <functional>
#include <map>
#include <vector>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.value(1) == QLatin1String("--client"))
        return uploadClient(arguments.mid(2));
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const qint64 megabytes = arguments.size() > 1 ? arguments.at(1).toLongLong() : 1024;
    const int rounds = arguments.size() > 2 ? arguments.at(2).toInt() : 3;
    const qint64 size = megabytes * 1024 * 1024;

    RamBackedVsftpd bench;
    if (!bench.start(FtpTestServer::ExplicitTls))
        return 1;
    const QTemporaryDir &served = bench.served;
    const QTemporaryDir &local = bench.local;
    FtpTestServer &server = bench.server;
    QDir root(served.path());
    const QString port = QString::number(server.port());
    const QString source = local.filePath(QStringLiteral("big.bin"));
    if (!writeSampleFile(source, size))
        return std::fprintf(stderr, "cannot write %s\n", qPrintable(source)), 1;

    const QString self = app.applicationFilePath();
    using Run = std::function<ChildResult()>;
    const std::vector<std::pair<QString, Run>> clients {
        { QStringLiteral("mirvo"),
          [&] {
              return runChild({ self, QStringLiteral("--client"), QStringLiteral("127.0.0.1"), port,
                                server.user(), server.password(), local.path(),
                                QStringLiteral("mirvo"), server.fingerprint() });
          } },
        { QStringLiteral("curl"),
          [&] {
              return runChild(
                  { QStringLiteral("curl"), QStringLiteral("-sS"), QStringLiteral("--ssl-reqd"),
                    QStringLiteral("-k"), QStringLiteral("-u"),
                    server.user() + QLatin1Char(':') + server.password(), QStringLiteral("-T"),
                    source, QStringLiteral("ftp://127.0.0.1:%1/curl/big.bin").arg(port) });
          } },
        { QStringLiteral("lftp"),
          [&] {
              return runChild(
                  { QStringLiteral("lftp"), QStringLiteral("-u"),
                    server.user() + QLatin1Char(',') + server.password(), QStringLiteral("-p"),
                    port, QStringLiteral("-e"),
                    QStringLiteral("set ftp:ssl-force true; set ftp:ssl-protect-data true; "
                                   "set ssl:verify-certificate no; set net:max-retries 1; put ")
                        + source + QStringLiteral(" -o lftp/big.bin; quit"),
                    QStringLiteral("127.0.0.1") });
          } },
    };

    std::printf("explicit TLS upload: %lld MiB to vsftpd serving %s, %d rounds; load average "
                "%.2f\n",
                megabytes, qPrintable(served.path()), rounds, loadAverage());
    std::map<QString, Range> seconds, cpu, peak;
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < int(clients.size()); ++turn) {
            const auto &[name, run] = clients.at((round + turn) % clients.size());
            QDir folder(root.filePath(name));
            folder.removeRecursively();
            root.mkdir(name);
            QFile::setPermissions(folder.path(), QFile::Permissions(0x7777));
            const ChildResult result = run();
            if (result.exitCode != 0 || QFileInfo(folder.filePath("big.bin")).size() != size) {
                std::fprintf(stderr, "%s failed (exit %d)\n", qPrintable(name), result.exitCode);
                return 1;
            }
            seconds[name].values.push_back(result.seconds);
            cpu[name].values.push_back(result.cpuSeconds);
            peak[name].values.push_back(result.peakKiB / 1024.0);
            folder.removeRecursively();
        }
        std::printf("round %d: mirvo %.3f s, curl %.3f s, lftp %.3f s\n", round + 1,
                    seconds["mirvo"].values.back(), seconds["curl"].values.back(),
                    seconds["lftp"].values.back());
    }
    std::printf("load average after: %.2f\n\n", loadAverage());
    for (const char *name : { "mirvo", "curl", "lftp" }) {
        const QString key = QLatin1String(name);
        std::printf("%-6s wall %s s (%.0f MiB/s at the median)   cpu %s s   peak %s MiB\n", name,
                    qPrintable(seconds[key].text()), megabytes / seconds[key].median(),
                    qPrintable(cpu[key].text(2)), qPrintable(peak[key].text(1)));
    }
    std::printf("\nthroughput / curl --ssl-reqd: %.2f (goal: >= 1.0)\n",
                seconds["curl"].median() / seconds["mirvo"].median());
    return 0;
}
