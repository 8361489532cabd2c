// The whole backup of a zipped folder like a person's pictures and
// documents (394 MiB, see writePicturesAndDocuments) by the real mirvo
// binary to one save folder and one local vsftpd: the archive, two local
// copies and two uploads. Timed from mirvo's start to "Exit successful",
// once with the archiver of this build and once with an earlier one given
// as the argument, taking turns, in the same run; medians and ranges.
//
//     backup_zipped_folder EARLIER-ARCHIVER [rounds]
//
// Needs root (vsftpd, port 21) and about 2.5 GiB of free disk space.

#include "benchsupport.h"
#include "mainwindow.h"
#include "stringcipher.h"
#include "support/port21.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: backup_zipped_folder EARLIER-ARCHIVER [rounds]\n");
        return 2;
    }
    const int rounds = argc > 2 ? QByteArray(argv[2]).toInt() : 3;
    QString why;
    if (!FtpTestServer::vsftpdUsable(&why)) {
        std::fprintf(stderr, "backup_zipped_folder: %s\n", qPrintable(why));
        return 1;
    }
    QTemporaryDir work(QDir::tempPath() + "/mirvo-zipped-XXXXXX");
    const QString photos = work.filePath(QStringLiteral("photos"));
    const QString saves = work.filePath(QStringLiteral("saves"));
    const QString ftpRoot = work.filePath(QStringLiteral("ftp-root"));
    QDir().mkpath(saves);
    QDir().mkpath(ftpRoot);
    if (!writePicturesAndDocuments(photos)) {
        std::fprintf(stderr, "backup_zipped_folder: cannot write the folder\n");
        return 1;
    }
    warmCache(photos);

    FtpTestServer server(FtpTestServer::Vsftpd);
    FtpTestServer::Options options;
    options.root = ftpRoot;
    if (!startOnPort21(server, options)) {
        std::fprintf(stderr, "backup_zipped_folder: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    const QString date = MirvoProcess::datedFolderName();
    const QStringList copies { saves + "/latest/photos.zip", saves + "/" + date + "/photos.zip",
                               ftpRoot + "/zipped/latest/photos.zip",
                               ftpRoot + "/zipped/" + date + "/photos.zip" };

    // One backup with `archiver`: the wall time, or -1 when it did not complete.
    StringCipher cipher(passwordCipherKey);
    const auto backUp = [&](const QString &archiver) -> double {
        for (const QString &copy : copies)
            QFile::remove(copy);
        QFile::remove(work.filePath(QStringLiteral("previous"))); // the folder counts as changed
        QFile::remove(work.filePath(QStringLiteral("photos.zip")));
        QFile config(work.filePath(QStringLiteral("config.txt")));
        config.open(QIODevice::WriteOnly);
        config.write(("winrar=" + archiver + "\nftp=" + server.address() + " " + server.user() + " "
                      + cipher.encipherText(server.password()) + " zipped\npath=" + saves
                      + "\nzippedfolder=" + photos + " photos\n")
                         .toUtf8());
        config.close();
        MirvoProcess mirvo(work.path());
        QElapsedTimer timer;
        timer.start();
        mirvo.start();
        const bool ended = mirvo.waitForLine(QStringLiteral("Exit successful"), 10 * 60 * 1000);
        const double seconds = timer.nsecsElapsed() / 1e9;
        const QStringList lines = mirvo.lines();
        mirvo.stop();
        const qint64 size = QFileInfo(work.filePath(QStringLiteral("photos.zip"))).size();
        bool complete = ended && size > 0;
        for (const QString &copy : copies)
            complete = complete && QFileInfo(copy).size() == size;
        if (!complete) {
            std::fprintf(stderr, "backup_zipped_folder: the run did not complete:\n%s\n",
                         qPrintable(lines.join('\n')));
            return -1;
        }
        return seconds;
    };

    const QString archivers[]
        = { QString::fromLocal8Bit(argv[1]), QStringLiteral(MIRVO_ARCHIVER_BINARY) };
    Range times[2];
    std::printf("load average %.2f; %d rounds\n", loadAverage(), rounds);
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            const int which = (round + turn) % 2;
            const double seconds = backUp(archivers[which]);
            if (seconds < 0)
                return 1;
            times[which].values.push_back(seconds);
            std::printf("round %d, %s archiver: %.2f s\n", round + 1,
                        which == 0 ? "earlier" : "this", seconds);
            std::fflush(stdout);
        }
    }
    server.stop();
    std::printf("backup of the zipped folder to one save folder and one server:\n"
                "  earlier archiver %.2f s (%s)\n  this archiver    %.2f s (%s)\n"
                "  this / earlier %.2f (goal: at most 0.60)\n",
                times[0].median(), qPrintable(times[0].text(2)), times[1].median(),
                qPrintable(times[1].text(2)), times[1].median() / times[0].median());
    std::printf("load average after the run: %.2f\n", loadAverage());
    return 0;
}
