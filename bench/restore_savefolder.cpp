// Restores from a save folder by the real mirvo, each timed from the
// program's start to its end:
//  - one small entry from a save folder of 1,000 dated folders, asked for a
//    day whose copy lies 9 folders back, and one whose only copy is in the
//    oldest folder, asked for the newest day (every folder walked);
//  - a big entry (1 GiB by default), beside `cp` of the same copy followed by
//    `sha256sum` of what cp wrote, in the same run, taking turns, best of four.
//
//     restore_savefolder [size in MiB]
//
// Needs about three times the big file's size of free disk space; removes
// all it wrote.

#include "backupindex.h"
#include "benchsupport.h"
#include "sha256.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QLocale>
#include <QProcessEnvironment>
#include <QStorageInfo>

#include <cstdio>

namespace {

const int datedFolders = 1000;

// Wall time of a program run to its end, or -1 when it failed.
double timed(const QString &program, const QStringList &arguments)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    env.remove(QStringLiteral("DISPLAY"));
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments);
    if (!process.waitForFinished(600000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0)
        return -1;
    return timer.nsecsElapsed() / 1e9;
}

double mirvo(const QStringList &arguments)
{
    return timed(QStringLiteral(MIRVO_BINARY), arguments);
}

IndexEntry storedFile(const QString &folder, const QString &name, const QByteArray &content)
{
    writeFile(folder + "/" + name, content);
    return IndexEntry { name, IndexEntry::File, content.size(),
                        QDateTime::currentDateTime(), Sha256::ofFile(folder + "/" + name),
                        "/home/alice/" + name };
}

// latest/ and 1,000 dated folders of five small copies each; notes.txt
// changed every tenth day, old.txt only on the first.
bool makeManyDays(const QString &saves, QDate *newest)
{
    const QDate first = QDate::currentDate().addDays(-datedFolders);
    for (int i = 0; i <= datedFolders; ++i) {
        const QDate day = first.addDays(i);
        const QString name = i == datedFolders
            ? QStringLiteral("latest")
            : QLocale::c().toString(day, QStringLiteral("yyyy_MMM_dd_(ddd)"));
        const QString folder = saves + "/" + name;
        QDir().mkpath(folder);
        BackupIndex index;
        for (int file = 0; file < 5; ++file)
            index.update(storedFile(folder, QStringLiteral("file%1.txt").arg(file),
                                    QByteArray::number(i * 5 + file)));
        if (i % 10 == 0 || i == datedFolders)
            index.update(storedFile(folder, "notes.txt", "notes of day " + QByteArray::number(i)));
        if (i == 0)
            index.update(storedFile(folder, "old.txt", "only on the first day"));
        QString problem;
        if (!index.write(folder, &problem)) {
            std::fprintf(stderr, "restore_savefolder: %s\n", qPrintable(problem));
            return false;
        }
        *newest = day.addDays(-1);
    }
    return true;
}

void smallEntries(const QString &work)
{
    const QString saves = work + "/many-days";
    QDate newest;
    if (!makeManyDays(saves, &newest))
        return;
    const QString out = work + "/small-out";
    const QDate asked = newest.addDays(-datedFolders / 2 + 10); // 9 folders after a copy
    std::printf("\n%d dated folders of 6 copies; each restore is a new mirvo process\n",
                datedFolders);
    std::printf("| restore | rounds | time |\n|---|---|---|\n");
    const struct
    {
        const char *name;
        QDate day;
        const char *what;
    } cases[] = { { "notes.txt", QDate(), "notes.txt, latest" },
                  { "notes.txt", asked, "notes.txt, a day 9 folders after its copy" },
                  { "old.txt", newest, "old.txt, newest day, copy in the oldest folder" } };
    for (const auto &one : cases) {
        Range range;
        for (int round = 0; round < 5; ++round) {
            QDir(out).removeRecursively();
            QStringList arguments { "--restore", one.name, "--from", saves, "--to", out };
            if (one.day.isValid())
                arguments << "--day" << one.day.toString(Qt::ISODate);
            const double seconds = mirvo(arguments);
            if (seconds < 0) {
                std::fprintf(stderr, "restore_savefolder: the restore of %s failed\n", one.name);
                return;
            }
            range.values.push_back(seconds);
        }
        std::printf("| %s | 5 | %s s (median %.3f s) |\n", one.what, qPrintable(range.text()),
                    range.median());
    }
    const double copyOnly
        = timed("/bin/cp", { saves + "/latest/notes.txt", work + "/small-cp.txt" });
    std::printf("| cp of the same copy, for the cost of starting a process | 1 | %.3f s |\n",
                copyOnly);
    QDir(saves).removeRecursively();
    QDir(out).removeRecursively();
}

void bigEntry(const QString &work, qint64 sizeMiB)
{
    const QString latest = work + "/big/latest";
    QDir().mkpath(latest);
    if (!writeSampleFile(latest + "/big.bin", sizeMiB << 20)) {
        std::fprintf(stderr, "restore_savefolder: cannot write the big copy\n");
        return;
    }
    BackupIndex index;
    index.update(IndexEntry { "big.bin", IndexEntry::File, sizeMiB << 20,
                              QDateTime::currentDateTime(), Sha256::ofFile(latest + "/big.bin"),
                              work + "/big.bin" });
    QString problem;
    index.write(latest, &problem);

    const QString out = work + "/big-out";
    const QString peer = work + "/big-peer";
    std::printf("\n%lld MiB entry; copies removed and the disk synced before each measure\n",
                sizeMiB);
    std::printf("| round | first | mirvo --restore | cp + sha256sum | ratio |\n"
                "|---|---|---|---|---|\n");
    Range ratios;
    double bestMirvo = 1e9;
    double bestPeer = 1e9;
    for (int round = 0; round < 4; ++round) {
        double restore = 0;
        double cp = 0;
        double sum = 0;
        const auto runMirvo = [&] {
            QDir(out).removeRecursively();
            ::sync();
            restore = mirvo({ "--restore", "big.bin", "--from", work + "/big", "--to", out });
        };
        const auto runPeer = [&] {
            QDir(peer).removeRecursively();
            QDir().mkpath(peer);
            ::sync();
            cp = timed("/bin/cp", { latest + "/big.bin", peer + "/big.bin" });
            sum = timed("/usr/bin/sha256sum", { peer + "/big.bin" });
        };
        if (round % 2 == 0) {
            runMirvo();
            runPeer();
        } else {
            runPeer();
            runMirvo();
        }
        if (restore < 0 || cp < 0 || sum < 0) {
            std::fprintf(stderr, "restore_savefolder: a run failed\n");
            return;
        }
        bestMirvo = qMin(bestMirvo, restore);
        bestPeer = qMin(bestPeer, cp + sum);
        std::printf("| %d | %s | %.2f s | %.2f s (cp %.2f + sha256sum %.2f) | %.2f |\n",
                    round + 1, round % 2 == 0 ? "mirvo" : "cp", restore, cp + sum, cp, sum,
                    restore / (cp + sum));
    }
    std::printf("| best of 4 | | %.2f s (%.0f MB/s) | %.2f s | %.2f |\n", bestMirvo,
                (sizeMiB << 20) / bestMirvo / 1e6, bestPeer, bestMirvo / bestPeer);
    QDir(work + "/big").removeRecursively();
    QDir(out).removeRecursively();
    QDir(peer).removeRecursively();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 sizeMiB = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1024;
    QTemporaryDir work(QDir::tempPath() + "/mirvo-restore-XXXXXX");
    const qint64 available = QStorageInfo(work.path()).bytesAvailable();
    std::printf("load average %.2f; %lld MiB free\n", loadAverage(), available >> 20);
    if (available < 3 * (sizeMiB << 20) + (256LL << 20)) {
        std::fprintf(stderr, "restore_savefolder: not enough free disk space\n");
        return 1;
    }
    smallEntries(work.path());
    bigEntry(work.path(), sizeMiB);
    std::printf("load average %.2f\n", loadAverage());
    return 0;
}
