// The archive step of a zipped folder, beside the archivers people use, in
// one run: `mirvo-archiver a -ep1 -m5 -r` against `zip -r -6` and
// `7z a -tzip -mx5 -mmt` on a folder like a person's pictures and documents
// (394 MiB, see writePicturesAndDocuments); the documents alone on one core
// (taskset) and on two, against `zip -r -6`; and the peak memory for a
// folder holding a sparse 5 GiB file. Each archive of ours is checked with
// `unzip -t` and `7z t`. Every program runs under /usr/bin/time, the tools
// take turns going first, the page cache is warm; medians and ranges.
//
//     archive_folder [rounds] [earlier mirvo-archiver]

#include "benchsupport.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cstdio>

namespace {

struct Tool
{
    Tool(const QString &label, const QStringList &command)
        : label(label)
        , command(command)
    { }

    QString label;
    QStringList command; // the archive's and the folder's names follow
    Range seconds;
    Range cpuSeconds;
    Range peakMiB;
    qint64 size = 0;
};

// Runs `tool` on `folder` (a name in the current directory) `rounds` times
// with the others, taking turns; false when one failed.
bool runRounds(std::vector<Tool> &tools, const QString &folder, int rounds)
{
    for (int round = 0; round < rounds; ++round) {
        for (size_t turn = 0; turn < tools.size(); ++turn) {
            Tool &tool = tools[(round + turn) % tools.size()];
            const QString archive = QStringLiteral("out-%1.zip").arg((round + turn) % tools.size());
            QFile::remove(archive);
            const ChildResult result = runChild(tool.command + QStringList { archive, folder });
            if (result.exitCode != 0) {
                std::fprintf(stderr, "archive_folder: %s failed (%d)\n", qPrintable(tool.label),
                             result.exitCode);
                return false;
            }
            tool.seconds.values.push_back(result.seconds);
            tool.cpuSeconds.values.push_back(result.cpuSeconds);
            tool.peakMiB.values.push_back(result.peakKiB / 1024.0);
            tool.size = QFileInfo(archive).size();
        }
    }
    return true;
}

void print(const std::vector<Tool> &tools)
{
    for (const Tool &tool : tools) {
        std::printf("  %-34s wall %.2f s (%s), CPU %.2f s, peak %.1f MiB, %lld bytes\n",
                    qPrintable(tool.label), tool.seconds.median(), qPrintable(tool.seconds.text(2)),
                    tool.cpuSeconds.median(), tool.peakMiB.high(), tool.size);
    }
}

// The last archive of ours passes unzip -t, 7z t and our own t.
bool checked(const QString &archiver, const QString &archive)
{
    const bool unzip = QProcess::execute("unzip", { "-tqq", archive }) == 0;
    QProcess sevenZip;
    sevenZip.start("7z", { "t", archive });
    sevenZip.waitForFinished(-1);
    const bool seven = sevenZip.exitCode() == 0;
    const bool ours = QProcess::execute(archiver, { "t", archive }) == 0;
    std::printf("  %s: unzip -t %s, 7z t %s, mirvo-archiver t %s\n", qPrintable(archive),
                unzip ? "passes" : "FAILS", seven ? "passes" : "FAILS", ours ? "passes" : "FAILS");
    return unzip && seven && ours;
}

QStringList ours(const QString &binary)
{
    return { binary, "a", "-ep1", "-m5", "-r" };
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? QByteArray(argv[1]).toInt() : 3;
    const QString archiver = QStringLiteral(MIRVO_ARCHIVER_BINARY);
    QTemporaryDir root(QDir::tempPath() + "/mirvo-archive-XXXXXX");
    QDir::setCurrent(root.path());
    if (!writePicturesAndDocuments(root.filePath(QStringLiteral("photos")))) {
        std::fprintf(stderr, "archive_folder: cannot write the folder\n");
        return 1;
    }
    warmCache(root.path());
    std::printf("load average %.2f; %d rounds\n", loadAverage(), rounds);

    std::vector<Tool> mixed { { "mirvo-archiver a -ep1 -m5 -r", ours(archiver) },
                              { "zip -r -6", { "zip", "-q", "-r", "-6" } },
                              { "7z a -tzip -mx5 -mmt", { "7z", "a", "-tzip", "-mx5", "-mmt" } } };
    if (argc > 2)
        mixed.push_back({ "earlier mirvo-archiver", ours(QString::fromLocal8Bit(argv[2])) });
    if (!runRounds(mixed, "photos", rounds))
        return 1;
    std::printf("pictures and documents, 394 MiB:\n");
    print(mixed);
    bool whole = checked(archiver, "out-0.zip");
    std::printf("  ours / zip: time %.2f (goal: at most 0.40), size %.4f (goal: at most 1.01)\n",
                mixed[0].seconds.median() / mixed[1].seconds.median(),
                double(mixed[0].size) / double(mixed[1].size));

    const QStringList oneCore { "taskset", "-c", "0" };
    std::vector<Tool> text { { "mirvo-archiver, one core", oneCore + ours(archiver) },
                             { "zip -r -6, one core", oneCore + mixed[1].command },
                             { "mirvo-archiver, two cores", ours(archiver) } };
    if (!runRounds(text, "photos/documents", rounds))
        return 1;
    std::printf("documents alone, 94 MiB:\n");
    print(text);
    whole = checked(archiver, "out-0.zip") && whole;
    std::printf("  ours / zip: one core %.2f (goal: at most 1.00), two cores %.2f (goal: at most "
                "0.60)\n",
                text[0].seconds.median() / text[1].seconds.median(),
                text[2].seconds.median() / text[1].seconds.median());

    QDir().mkpath("large");
    QFile sparse("large/disk.img");
    if (!sparse.open(QIODevice::WriteOnly) || !sparse.resize(qint64(5) << 30))
        return 1;
    sparse.close();
    QFile::copy("photos/documents/note-0001.txt", "large/note.txt");
    std::vector<Tool> large { { "mirvo-archiver, sparse 5 GiB file", ours(archiver) } };
    if (!runRounds(large, "large", 1))
        return 1;
    std::printf("a folder holding a 5 GiB file:\n");
    print(large);
    whole = checked(archiver, "out-0.zip") && whole;
    std::printf("  peak memory %.1f MiB (goal: at most 64 MiB)\n", large[0].peakMiB.high());
    std::printf("load average after the run: %.2f\n", loadAverage());
    return whole ? 0 : 1;
}
