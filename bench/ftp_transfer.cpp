// Uploads to a local vsftpd serving a RAM-backed folder (/dev/shm), by
// mirvo's FTP client beside curl and lftp doing the same work against the same
// server in the same run. Each client runs in a process of its own under
// /usr/bin/time: wall time, CPU time (user + system, the whole process) and
// peak resident memory. The clients take turns going first, round after
// round, and every upload is deleted before the next one starts.
//   - one large upload of a file (1 GiB by default): mirvo put() of a QFile,
//     curl -T, lftp put;
//   - 1,000 uploads of 4 KiB in one session: mirvo put() of a QFile for each,
//     as the backup run issues them, curl -T "small[1-1000].bin", lftp mput.
// It prints the range of each figure over the rounds and the ratios that the
// goals are about.
//
//     ftp_transfer [MiB of the large file, default 1024] [rounds, default 5]
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

namespace {

struct Figures
{
    Range seconds, cpu, peakMiB;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.value(1) == QLatin1String("--client"))
        return uploadClient(arguments.mid(2));
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const qint64 megabytes = arguments.size() > 1 ? arguments.at(1).toLongLong() : 1024;
    const int rounds = arguments.size() > 2 ? arguments.at(2).toInt() : 5;
    const qint64 bigSize = megabytes * 1024 * 1024;
    const int smallCount = 1000;

    RamBackedVsftpd bench;
    if (!bench.start())
        return 1;
    const QTemporaryDir &served = bench.served;
    const QTemporaryDir &local = bench.local;
    FtpTestServer &server = bench.server;
    QDir root(served.path());
    const QString port = QString::number(server.port());
    const QString url = QStringLiteral("ftp://127.0.0.1:%1/").arg(port);
    const QString credentials = server.user() + QLatin1Char(':') + server.password();

    // The sources: the large file alone in a folder, and the small files.
    QDir bigDir(local.filePath(QStringLiteral("big")));
    QDir smallDir(local.filePath(QStringLiteral("small")));
    bigDir.mkpath(QStringLiteral("."));
    smallDir.mkpath(QStringLiteral("."));
    const QString bigPath = bigDir.filePath(QStringLiteral("big.bin"));
    if (!writeSampleFile(bigPath, bigSize))
        return std::fprintf(stderr, "cannot write %s\n", qPrintable(bigPath)), 1;
    for (int i = 1; i <= smallCount; ++i)
        writeSampleFile(smallDir.filePath(QStringLiteral("small%1.bin").arg(i)), 4096);

    const QString self = app.applicationFilePath();
    const auto mirvo = [&](const QDir &from, const QString &to) {
        return runChild({ self, QStringLiteral("--client"), QStringLiteral("127.0.0.1"), port,
                          server.user(), server.password(), from.path(), to });
    };
    const auto lftp = [&](const QString &commands) {
        return runChild({ QStringLiteral("lftp"), QStringLiteral("-u"),
                          server.user() + QLatin1Char(',') + server.password(),
                          QStringLiteral("-p"), port, QStringLiteral("-e"),
                          QStringLiteral("set ftp:ssl-allow no; set net:max-retries 1; ") + commands
                              + QStringLiteral("; quit"),
                          QStringLiteral("127.0.0.1") });
    };
    const auto curl = [&](const QString &source, const QString &target) {
        return runChild({ QStringLiteral("curl"), QStringLiteral("-sS"), QStringLiteral("-u"),
                          credentials, QStringLiteral("-T"), source, url + target });
    };
    // Each client uploads into a folder of its own, emptied after each run.
    using Run = std::function<ChildResult()>;
    const std::vector<std::pair<QString, std::pair<Run, Run>>> clients {
        { QStringLiteral("mirvo"),
          { [&] { return mirvo(bigDir, QStringLiteral("mirvo")); },
            [&] {
                return mirvo(smallDir, QStringLiteral("mirvo"));
            } } },
        { QStringLiteral("curl"),
          { [&] { return curl(bigPath, QStringLiteral("curl/big.bin")); },
            [&] {
                return curl(smallDir.filePath(QStringLiteral("small[1-%1].bin").arg(smallCount)),
                            QStringLiteral("curl/"));
            } } },
        { QStringLiteral("lftp"),
          { [&] {
               return lftp(QStringLiteral("put ") + bigPath + QStringLiteral(" -o lftp/big.bin"));
           },
            [&] {
                return lftp(QStringLiteral("mput -O lftp ") + smallDir.path()
                            + QStringLiteral("/*.bin"));
            } } },
    };

    std::printf("load average before: %.2f; %lld MiB file; %d rounds; vsftpd serving %s\n",
                loadAverage(), megabytes, rounds, qPrintable(served.path()));
    std::map<QString, Figures> big, small;
    QByteArray mirvoReport;
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < int(clients.size()); ++turn) {
            const auto &[name, runs] = clients.at((round + turn) % clients.size());
            for (const bool large : { true, false }) {
                QDir folder(root.filePath(name));
                folder.removeRecursively();
                root.mkdir(name);
                QFile::setPermissions(folder.path(), QFile::Permissions(0x7777));
                const ChildResult result = large ? runs.first() : runs.second();
                const int expected = large ? 1 : smallCount;
                const int stored = int(folder.entryList(QDir::Files).size());
                if (result.exitCode != 0 || stored != expected
                    || (large && QFileInfo(folder.filePath("big.bin")).size() != bigSize)) {
                    std::fprintf(stderr, "%s failed (exit %d, %d of %d files)\n", qPrintable(name),
                                 result.exitCode, stored, expected);
                    return 1;
                }
                Figures &figures = (large ? big : small)[name];
                figures.seconds.values.push_back(result.seconds);
                figures.cpu.values.push_back(result.cpuSeconds);
                figures.peakMiB.values.push_back(result.peakKiB / 1024.0);
                if (name == QLatin1String("mirvo"))
                    mirvoReport = result.output.trimmed();
                folder.removeRecursively();
            }
        }
        std::printf("round %d: large mirvo %.3f s, curl %.3f s, lftp %.3f s; small mirvo %.3f s, "
                    "curl %.3f s, lftp %.3f s\n",
                    round + 1, big["mirvo"].seconds.values.back(),
                    big["curl"].seconds.values.back(), big["lftp"].seconds.values.back(),
                    small["mirvo"].seconds.values.back(), small["curl"].seconds.values.back(),
                    small["lftp"].seconds.values.back());
    }
    std::printf("load average after: %.2f\n\n", loadAverage());

    for (const auto &[what, figures] :
         { std::make_pair("large file", &big), std::make_pair("1,000 x 4 KiB", &small) }) {
        for (const char *name : { "mirvo", "curl", "lftp" }) {
            const Figures &f = (*figures)[QLatin1String(name)];
            std::printf(
                "%-14s %-6s wall %s s (%.0f MiB/s at the median)   cpu %s s   peak %s MiB\n", what,
                name, qPrintable(f.seconds.text()),
                what == std::string("large file") ? megabytes / f.seconds.median() : 0.0,
                qPrintable(f.cpu.text(2)), qPrintable(f.peakMiB.text(1)));
        }
    }

    // Goals, as ratios over the medians.
    const double peerSeconds = qMin(big["curl"].seconds.median(), big["lftp"].seconds.median());
    const double peerCpu = qMin(big["curl"].cpu.median(), big["lftp"].cpu.median());
    std::printf("\nlarge file, throughput / the faster of curl and lftp: %.2f (goal: >= 1.05)\n",
                peerSeconds / big["mirvo"].seconds.median());
    std::printf("large file, cpu time / the better of curl and lftp: %.2f (goal: <= 0.50)\n",
                big["mirvo"].cpu.median() / peerCpu);
    std::printf("large file, peak memory of the plain session: %.1f MiB (goal: <= 12.5); %s\n",
                big["mirvo"].peakMiB.high(), mirvoReport.constData());
    std::printf("1,000 x 4 KiB: mirvo %.3f s, curl %.3f s, lftp %.3f s (goal: no slower than "
                "before)\n",
                small["mirvo"].seconds.median(), small["curl"].seconds.median(),
                small["lftp"].seconds.median());
    return 0;
}
