// Reads back what the destinations keep with the real `mirvo --verify`,
// timed from the program's start to its end, beside the peers that do the
// same work by hand, in the same run, taking turns, the page cache warm for
// both, best of four:
//  - a save folder whose latest/ holds a big copy and 256 smaller ones (half
//    of the bytes each), beside `sha256sum` of the same files;
//  - the same copies on a local vsftpd (root only) serving a RAM-backed
//    folder, beside `curl` downloading them to /dev/null over one
//    connection plus `sha256sum` of the same bytes;
//  - a 256 MiB zipped folder in a save folder, beside `sha256sum` plus the
//    archiver's own `t`, one after the other.
// With the peak resident memory of mirvo, for the bound on memory.
//
//     verify_readback [size in MiB]

#include "backupindex.h"
#include "benchsupport.h"
#include "mainwindow.h"
#include "sha256.h"
#include "stringcipher.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QStorageInfo>

#include <cstdio>

namespace {

// latest/ of `saves`: a big copy and 256 smaller ones of half its size
// together, with their index.
QStringList writeCopies(const QString &saves, qint64 sizeMiB)
{
    const QString latest = saves + "/latest";
    QDir().mkpath(latest);
    QStringList files;
    BackupIndex index;
    const auto add = [&](const QString &name, qint64 bytes) {
        const QString file = latest + "/" + name;
        if (!writeSampleFile(file, bytes))
            return false;
        index.update(IndexEntry { name, IndexEntry::File, bytes, QDateTime::currentDateTime(),
                                  Sha256::ofFile(file), "/home/alice/" + name });
        files << file;
        return true;
    };
    if (!add("big.bin", (sizeMiB << 20) / 2))
        return {};
    for (int i = 0; i < 256; ++i) {
        if (!add(QStringLiteral("part%1.bin").arg(i, 3, 10, QLatin1Char('0')),
                 (sizeMiB << 20) / 2 / 256))
            return {};
    }
    QString problem;
    if (!index.write(latest, &problem))
        return {};
    return files;
}

ChildResult mirvoVerify(const QString &work)
{
    return runChild({ QStringLiteral(MIRVO_BINARY), "--verify", "--dir", work });
}

ChildResult shell(const QString &script, const QStringList &arguments)
{
    return runChild(QStringList { "sh", "-c", script, "sh" } + arguments);
}

// Four rounds taking turns; the ratio is the peer's time over mirvo's, so
// that above 1 mirvo is the faster.
void compare(const char *title, qint64 bytes, const std::function<ChildResult()> &ours,
             const std::function<double(QString *)> &peer)
{
    std::printf("\n%s\n| round | first | mirvo --verify | peer | speed, peer = 1 | mirvo peak |\n"
                "|---|---|---|---|---|---|\n",
                title);
    double bestOurs = 1e9;
    double bestPeer = 1e9;
    qint64 peak = 0;
    for (int round = 0; round < 4; ++round) {
        ChildResult mine;
        double theirs = 0;
        QString parts;
        if (round % 2 == 0) {
            mine = ours();
            theirs = peer(&parts);
        } else {
            theirs = peer(&parts);
            mine = ours();
        }
        if (mine.exitCode != 0 || theirs < 0) {
            std::fprintf(stderr, "verify_readback: a run failed (mirvo exit %d)\n", mine.exitCode);
            return;
        }
        bestOurs = qMin(bestOurs, mine.seconds);
        bestPeer = qMin(bestPeer, theirs);
        peak = qMax(peak, mine.peakKiB);
        std::printf("| %d | %s | %.2f s | %.2f s (%s) | %.2f | %.1f MiB |\n", round + 1,
                    round % 2 == 0 ? "mirvo" : "peer", mine.seconds, theirs, qPrintable(parts),
                    theirs / mine.seconds, mine.peakKiB / 1024.0);
    }
    std::printf("| best of 4 | | %.2f s (%.0f MB/s) | %.2f s | %.2f (goal: at least 0.9) | %.1f "
                "MiB |\n",
                bestOurs, bytes / bestOurs / 1e6, bestPeer, bestPeer / bestOurs, peak / 1024.0);
}

void saveFolder(const QString &work, qint64 sizeMiB)
{
    const QStringList files = writeCopies(work + "/saves", sizeMiB);
    if (files.isEmpty()) {
        std::fprintf(stderr, "verify_readback: cannot write the copies\n");
        return;
    }
    writeFile(work + "/config.txt",
              "winrar=" MIRVO_ARCHIVER_BINARY "\npath=" + work.toUtf8() + "/saves\n");
    warmCache(work + "/saves");
    compare(
        qPrintable(QStringLiteral("%1 MiB in a save folder (1 copy of %2 MiB, 256 of %3 KiB)")
                       .arg(sizeMiB)
                       .arg(sizeMiB / 2)
                       .arg((sizeMiB << 10) / 2 / 256)),
        sizeMiB << 20, [&] { return mirvoVerify(work); },
        [&](QString *parts) {
            const ChildResult sum = shell("sha256sum \"$@\" >/dev/null", files);
            *parts = "sha256sum";
            return sum.exitCode == 0 ? sum.seconds : -1;
        });
    QFile::remove(work + "/verified");
    QDir(work + "/saves").removeRecursively();
}

void server(const QString &work, qint64 sizeMiB)
{
    RamBackedVsftpd vsftpd;
    if (!vsftpd.start())
        return;
    const QStringList files = writeCopies(vsftpd.served.path() + "/backup", sizeMiB);
    if (files.isEmpty()) {
        std::fprintf(stderr, "verify_readback: cannot write the copies\n");
        return;
    }
    // The served folder belongs to the server's account.
    QProcess::execute("chown", { "-R", FtpTestServer::vsftpdUser(), vsftpd.served.path() });
    const QString host = QStringLiteral("127.0.0.1:%1").arg(vsftpd.server.port());
    const QString password = vsftpd.server.password();
    writeFile(work + "/config.txt",
              "winrar=" MIRVO_ARCHIVER_BINARY "\nftp=" + host.toUtf8() + " "
                  + vsftpd.server.user().toUtf8() + " "
                  + StringCipher(passwordCipherKey).encipherText(password).toUtf8() + " backup\n");
    QStringList urls;
    for (const QString &file : files) {
        urls << "-o"
             << "/dev/null"
             << QStringLiteral("ftp://%1/backup/latest/%2").arg(host, QFileInfo(file).fileName());
    }
    const QString user = vsftpd.server.user() + ":" + password;
    warmCache(vsftpd.served.path());
    compare(
        qPrintable(QStringLiteral("%1 MiB on a local vsftpd, RAM-backed").arg(sizeMiB)),
        sizeMiB << 20, [&] { return mirvoVerify(work); },
        [&](QString *parts) {
            const ChildResult curl
                = runChild(QStringList { "curl", "-s", "-S", "-u", user } + urls);
            const ChildResult sum = shell("sha256sum \"$@\" >/dev/null", files);
            *parts = QStringLiteral("curl %1 + sha256sum %2")
                         .arg(curl.seconds, 0, 'f', 2)
                         .arg(sum.seconds, 0, 'f', 2);
            return curl.exitCode == 0 && sum.exitCode == 0 ? curl.seconds + sum.seconds : -1;
        });
    QFile::remove(work + "/verified");
}

// What the archive test adds: the archiver reads the archive again beside
// the hash, in a process of its own.
void archive(const QString &work)
{
    const QString source = work + "/pictures-and-documents";
    if (!writePicturesAndDocuments(source))
        return;
    const QString latest = work + "/saves/latest";
    QDir().mkpath(latest);
    const QString zip = latest + "/photos.zip";
    if (QProcess::execute(MIRVO_ARCHIVER_BINARY, { "a", "-ep1", "-m5", "-r", zip, source }) != 0)
        return;
    BackupIndex index;
    index.update(IndexEntry { "photos.zip", IndexEntry::ZippedFolder, QFileInfo(zip).size(),
                              QDateTime::currentDateTime(), Sha256::ofFile(zip), source });
    QString problem;
    index.write(latest, &problem);
    QDir(source).removeRecursively();
    writeFile(work + "/config.txt",
              "winrar=" MIRVO_ARCHIVER_BINARY "\npath=" + work.toUtf8() + "/saves\n");
    warmCache(work + "/saves");
    compare(
        qPrintable(QStringLiteral("A zipped folder of %1 MiB in a save folder")
                       .arg(QFileInfo(zip).size() >> 20)),
        QFileInfo(zip).size(), [&] { return mirvoVerify(work); },
        [&](QString *parts) {
            const ChildResult sum = shell("sha256sum \"$1\" >/dev/null", { zip });
            const ChildResult test = runChild({ MIRVO_ARCHIVER_BINARY, "t", zip });
            *parts = QStringLiteral("sha256sum %1 + mirvo-archiver t %2")
                         .arg(sum.seconds, 0, 'f', 2)
                         .arg(test.seconds, 0, 'f', 2);
            return sum.exitCode == 0 && test.exitCode == 0 ? sum.seconds + test.seconds : -1;
        });
    QDir(work + "/saves").removeRecursively();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 sizeMiB = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1024;
    QTemporaryDir work(QDir::tempPath() + "/mirvo-verify-XXXXXX");
    const qint64 available = QStorageInfo(work.path()).bytesAvailable();
    std::printf("load average %.2f; %lld MiB free\n", loadAverage(), available >> 20);
    if (available < 2 * (sizeMiB << 20) + (512LL << 20)) {
        std::fprintf(stderr, "verify_readback: not enough free disk space\n");
        return 1;
    }
    saveFolder(work.path(), sizeMiB);
    server(work.path(), sizeMiB);
    archive(work.path());
    std::printf("load average %.2f\n", loadAverage());
    return 0;
}
