// 1,000 files of 4 KiB backed up by the real mirvo binary to one local FTP
// server (vsftpd when it can run, else pyftpdlib), with no save folder:
// first to an empty server, then again after every file changed, when each
// upload replaces a copy the server holds in "latest" and in today's folder.
// Timed from mirvo's start to "Exit successful"; everything lies in
// /dev/shm when it can. An earlier mirvo binary,
// given as the argument, is timed the same way in the same run, the two
// taking turns; curl sends the same 2,000 copies over one connection beside
// them.
//
//     backup_changed [earlier mirvo binary]
//
// Needs root: mirvo connects to port 21 of the server's loopback address.

#include "mainwindow.h"
#include "stringcipher.h"
#include "support/port21.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>

namespace {

const int fileCount = 1000;
const int fileSize = 4096;
const int rounds = 5;

// Every file gets new bytes of the same size; `round` makes them differ.
bool writeSources(const QString &folder, int round)
{
    QDir().mkpath(folder);
    for (int i = 0; i < fileCount; ++i) {
        QFile file(folder + QStringLiteral("/f%1.bin").arg(i, 4, 10, QLatin1Char('0')));
        if (!file.open(QIODevice::WriteOnly))
            return false;
        QByteArray bytes(fileSize, char('a' + round % 26));
        bytes.replace(0, 8, QByteArray::number(i).rightJustified(8, '0'));
        file.write(bytes);
    }
    return true;
}

// Runs `binary` in `dir` until "Exit successful"; its wall time in seconds,
// or -1 when the run did not end or an upload failed.
double runMirvo(const QString &binary, const QString &dir)
{
    QProcess mirvo;
    mirvo.setWorkingDirectory(dir);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    mirvo.setProcessEnvironment(environment);
    mirvo.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer timer;
    timer.start();
    mirvo.start(binary, QStringList());
    QByteArray output;
    while (!output.contains("\"Exit successful\"") && timer.elapsed() < 300000
           && mirvo.state() != QProcess::NotRunning) {
        mirvo.waitForReadyRead(100);
        output += mirvo.readAll();
    }
    const double seconds = timer.nsecsElapsed() / 1e9;
    mirvo.kill();
    mirvo.waitForFinished();
    if (!output.contains("\"Exit successful\"") || output.contains("failed to transfer file")) {
        std::fprintf(stderr, "%s", output.right(2000).constData());
        return -1;
    }
    return seconds;
}

// curl sends every file of `folder` into `url` over one connection.
double runCurl(const QString &folder, const QString &url)
{
    QStringList names = QDir(folder).entryList(QDir::Files, QDir::Name);
    QElapsedTimer timer;
    timer.start();
    const int status = QProcess::execute(
        QStringLiteral("curl"),
        { QStringLiteral("-s"), QStringLiteral("--ftp-create-dirs"), QStringLiteral("-T"),
          folder + "/{" + names.join(QLatin1Char(',')) + "}", url });
    return status == 0 ? timer.nsecsElapsed() / 1e9 : -1;
}

double loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().split(' ').value(0).toDouble() : -1;
}

struct Binary
{
    QString label;
    QString path;
    QString work; // working directory: config.txt, previous, the sources
    double firstRun = -1; // best of the rounds
    double changedRun = -1;
};

void keepBest(double &best, double seconds)
{
    if (seconds >= 0 && (best < 0 || seconds < best))
        best = seconds;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const bool useVsftpd = FtpTestServer::vsftpdUsable();
    FtpTestServer server(useVsftpd ? FtpTestServer::Vsftpd : FtpTestServer::PyFtpdlib);
    // In memory when it can be: the writeback of other programs' disk work
    // would otherwise swamp the round trips that this measures.
    const QString base
        = QFileInfo(QStringLiteral("/dev/shm")).isWritable() ? "/dev/shm" : QDir::tempPath();
    QTemporaryDir root(base + "/mirvo-changed-XXXXXX");
    FtpTestServer::Options options;
    options.root = root.filePath(QStringLiteral("ftp"));
    QDir().mkpath(options.root);
    if (!startOnPort21(server, options)) {
        std::fprintf(stderr, "backup_changed: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    std::printf("%d files of %d bytes to %s, all in %s; load average %.2f\n", fileCount, fileSize,
                useVsftpd ? "vsftpd" : "pyftpdlib", qPrintable(base), loadAverage());

    QList<Binary> binaries { { QStringLiteral("this mirvo"), QStringLiteral(MIRVO_BINARY), {} } };
    if (argc > 1)
        binaries.prepend({ QStringLiteral("earlier mirvo"), QString::fromLocal8Bit(argv[1]), {} });
    StringCipher cipher(passwordCipherKey);
    for (Binary &binary : binaries) {
        binary.work = root.filePath(binary.label.section(' ', 0, 0));
        QDir().mkpath(binary.work);
        QString config = "winrar=/nonexistent\nftp=" + server.address() + " " + server.user() + " "
            + cipher.encipherText(server.password()) + " " + binary.label.section(' ', 0, 0) + "\n";
        for (int i = 0; i < fileCount; ++i) {
            const QString name = QStringLiteral("f%1.bin").arg(i, 4, 10, QLatin1Char('0'));
            config += "file=" + binary.work + "/src/" + name + " " + name + "\n";
        }
        QFile file(binary.work + "/config.txt");
        file.open(QIODevice::WriteOnly);
        file.write(config.toUtf8());
    }

    const QString date = QLocale::c().toString(QDate::currentDate(), "yyyy_MMM_dd_(ddd)");
    double curlBest = -1;
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < binaries.size(); ++turn) {
            Binary &binary = binaries[(round + turn) % binaries.size()];
            QDir(options.root + "/" + binary.work.section('/', -1)).removeRecursively();
            QFile::remove(binary.work + "/previous");
            writeSources(binary.work + "/src", 2 * round);
            const double first = runMirvo(binary.path, binary.work);
            writeSources(binary.work + "/src", 2 * round + 1);
            const double changed = runMirvo(binary.path, binary.work);
            std::printf("round %d, %s: first run %.3f s, every file changed %.3f s\n", round + 1,
                        qPrintable(binary.label), first, changed);
            keepBest(binary.firstRun, first);
            keepBest(binary.changedRun, changed);
        }
        const QString url = "ftp://" + server.user() + ":" + server.password() + "@"
            + server.address() + "/curl/";
        const QString sources = binaries.last().work + "/src";
        const double latest = runCurl(sources, url + "latest/");
        const double dated = runCurl(sources, url + date + "/");
        if (latest >= 0 && dated >= 0)
            keepBest(curlBest, latest + dated);
    }

    std::printf("best of %d rounds:\n", rounds);
    for (const Binary &binary : qAsConst(binaries)) {
        std::printf("  %-13s first run %.3f s (%.2f ms/file), every file changed %.3f s "
                    "(%.2f ms/file)\n",
                    qPrintable(binary.label), binary.firstRun, binary.firstRun * 1e3 / fileCount,
                    binary.changedRun, binary.changedRun * 1e3 / fileCount);
    }
    std::printf("  curl -T, 2 x %d files over one connection each: %.3f s\n", fileCount, curlBest);
    if (binaries.size() == 2) {
        std::printf("this / earlier: first run %.2f, every file changed %.2f (goal: at most 1.5)\n",
                    binaries.at(1).firstRun / binaries.at(0).firstRun,
                    binaries.at(1).changedRun / binaries.at(0).changedRun);
    }
    return 0;
}
