// Restores of one small entry from a server by the real mirvo, each a new
// process timed from its start to its end, with the commands the server
// received: a server (pyftpdlib on port 21 of a loopback address of its
// own, which needs root) holding latest/ and 1,000 dated folders, each with
// its index. Beside them, curl fetching the same file in a process of its
// own.
//
//     restore_server

#include "backupindex.h"
#include "benchsupport.h"
#include "mainwindow.h"
#include "sha256.h"
#include "stringcipher.h"
#include "support/port21.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDate>
#include <QLocale>
#include <QProcessEnvironment>

#include <cstdio>

namespace {

const int datedFolders = 1000;

double timed(const QString &program, const QStringList &arguments, const QString &folder)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    env.remove(QStringLiteral("DISPLAY"));
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(folder);
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

void store(const QString &folder, BackupIndex &index, const QString &name, const QByteArray &bytes)
{
    writeFile(folder + "/" + name, bytes);
    index.update(IndexEntry { name, IndexEntry::File, bytes.size(), QDateTime::currentDateTime(),
                              Sha256::ofFile(folder + "/" + name), "/home/alice/" + name });
}

// latest/ and 1,000 dated folders of five small copies each; notes.txt
// changed every tenth day, old.txt only on the first.
QDate makeManyDays(const QString &site)
{
    const QDate first = QDate::currentDate().addDays(-datedFolders);
    for (int i = 0; i <= datedFolders; ++i) {
        const QString name = i == datedFolders
            ? QStringLiteral("latest")
            : QLocale::c().toString(first.addDays(i), QStringLiteral("yyyy_MMM_dd_(ddd)"));
        const QString folder = site + "/" + name;
        BackupIndex index;
        for (int file = 0; file < 5; ++file)
            store(folder, index, QStringLiteral("file%1.txt").arg(file),
                  QByteArray::number(i * 5 + file));
        if (i % 10 == 0 || i == datedFolders)
            store(folder, index, "notes.txt", "notes of day " + QByteArray::number(i));
        if (i == 0)
            store(folder, index, "old.txt", "only on the first day");
        QString problem;
        index.write(folder, &problem);
    }
    return first.addDays(datedFolders - 1);
}

// The commands of one run, counted by verb: "12 (LIST 1, SIZE 9, RETR 2)".
QString counted(const QStringList &commands)
{
    QMap<QString, int> verbs;
    for (const QString &command : commands)
        ++verbs[command.section(' ', 0, 0)];
    QStringList parts;
    for (const char *verb : { "LIST", "SIZE", "RETR", "CWD" })
        parts << QStringLiteral("%1 %2").arg(verb).arg(verbs.value(verb));
    return QStringLiteral("%1 (%2)").arg(commands.size()).arg(parts.join(", "));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (::geteuid() != 0) {
        std::fprintf(stderr, "restore_server: needs root (mirvo connects to port 21)\n");
        return 1;
    }
    QTemporaryDir work;
    const QString served = work.filePath("served");
    const QDate newest = makeManyDays(served + "/backup");
    FtpTestServer server { FtpTestServer::PyFtpdlib };
    FtpTestServer::Options options;
    options.root = served;
    if (!startOnPort21(server, options)) {
        std::fprintf(stderr, "restore_server: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    writeFile(work.filePath("config.txt"),
              "ftp=" + server.address().toUtf8() + " " + server.user().toUtf8() + " "
                  + StringCipher(passwordCipherKey).encipherText(server.password()).toUtf8()
                  + " backup\nfile=/home/alice/notes.txt notes.txt\n");

    std::printf("%d dated folders of 6 copies on pyftpdlib at %s; each restore is a new "
                "process\n",
                datedFolders, qPrintable(server.address()));
    std::printf("| restore | rounds | time | commands the server got |\n|---|---|---|---|\n");
    const struct
    {
        const char *name;
        QDate day;
        const char *what;
    } cases[] = { { "notes.txt", QDate(), "notes.txt, latest" },
                  { "notes.txt", newest.addDays(-datedFolders / 2 + 10),
                    "notes.txt, a day 9 folders after its copy" },
                  { "old.txt", newest, "old.txt, newest day, copy in the oldest folder" } };
    const QString out = work.filePath("out");
    for (const auto &one : cases) {
        Range range;
        QString commands;
        for (int round = 0; round < 5; ++round) {
            QDir(out).removeRecursively();
            QStringList arguments {
                "--restore", one.name, "--from", server.address(), "--to", out
            };
            if (one.day.isValid())
                arguments << "--day" << one.day.toString(Qt::ISODate);
            const int before = server.commands().size();
            const double seconds = timed(QStringLiteral(MIRVO_BINARY), arguments, work.path());
            if (seconds < 0) {
                std::fprintf(stderr, "restore_server: the restore of %s failed\n", one.name);
                return 1;
            }
            range.values.push_back(seconds);
            commands = counted(server.commands().mid(before));
        }
        std::printf("| %s | 5 | %s s (median %.3f s) | %s |\n", one.what, qPrintable(range.text()),
                    range.median(), qPrintable(commands));
    }
    Range curl;
    QString commands;
    for (int round = 0; round < 5; ++round) {
        const int before = server.commands().size();
        const double seconds
            = timed("/usr/bin/curl",
                    { "-s", "-o", work.filePath("curl.txt"),
                      QStringLiteral("ftp://%1:%2@%3/backup/latest/notes.txt")
                          .arg(server.user(), server.password(), server.address()) },
                    work.path());
        if (seconds < 0) {
            std::fprintf(stderr, "restore_server: curl failed\n");
            return 1;
        }
        curl.values.push_back(seconds);
        commands = counted(server.commands().mid(before));
    }
    std::printf("| curl of latest/notes.txt, for the cost of a login and a transfer | 5 | %s s "
                "(median %.3f s) | %s |\n",
                qPrintable(curl.text()), curl.median(), qPrintable(commands));
    return 0;
}
