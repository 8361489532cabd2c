#include "configurationfields.h"
#include "support/sessionbus.h"
#include "testsupport.h"

#include <QtTest>

#include <sys/stat.h>

namespace {

// Neither a display nor a session bus: a run as cron or a bare console makes it.
const QStringList noDesktop { "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM",
                              "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR" };

struct Ended
{
    int status = -1; // -1: did not end by itself
    QStringList out; // standard output, line by line
};

// Runs mirvo in `workDir` until it ends by itself.
Ended runMirvo(const QString &workDir, const QStringList &arguments,
               const QStringList &environment = noDesktop)
{
    MirvoProcess mirvo(workDir);
    Ended ended;
    if (!mirvo.start(environment, arguments) || !mirvo.waitForExit(60000))
        return ended;
    ended.status = mirvo.exitCode();
    ended.out = mirvo.standardOutput().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return ended;
}

QStringList fileLines(const QString &path)
{
    return QString::fromUtf8(readFile(path)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// Every file under `folder` with its size and time, to see that nothing changed.
QStringList snapshot(const QString &folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        files << it.filePath() + " " + QString::number(it.fileInfo().size()) + " "
                + QString::number(it.fileInfo().lastModified().toMSecsSinceEpoch());
    }
    files.sort();
    return files;
}

} // namespace

// The real mirvo binary, headless, started in a scratch working directory.
class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void backupModeStartUp();
    void configurationModeWritesConfig_data();
    void configurationModeWritesConfig();
    void commandLine_data();
    void commandLine();
    void unattendedRuns_data();
    void unattendedRuns();
    void runLogRotation_data();
    void runLogRotation();
    void linksInPlaceAreRefused_data();
    void linksInPlaceAreRefused();
    void oneRunPerFolder();
};

// A config.txt with a bad line, a save folder in which latest is a plain
// file and a usable one, and no previous; then a second start the same day.
void TestStartup::backupModeStartUp()
{
    QTemporaryDir dir;
    const QString blocked = dir.filePath(QStringLiteral("blocked"));
    const QString saves = dir.filePath(QStringLiteral("saves"));
    QVERIFY(QDir().mkpath(blocked));
    QVERIFY(QDir().mkpath(saves));
    writeFile(blocked + "/latest", "not a folder");
    const QByteArray configuration = "winrar=C:/rar.exe\nfile=" + dir.path().toUtf8()
        + "/gone.txt gone\npath=" + blocked.toUtf8() + "\npath=" + saves.toUtf8() + "\n";
    writeFile(dir.filePath(QStringLiteral("config.txt")), configuration);

    const QString date = MirvoProcess::datedFolderName();
    const QStringList firstStart {
        dir.path() + "/gone.txt cannot be found: kept in config.txt, tried again next run",
        "No previous transfer file: every entry is backed up",
        "cannot create " + blocked + "/latest",
        blocked + "/" + date + " created",
        saves + "/latest created",
        saves + "/" + date + " created",
        "Initializing " + saves,
    };

    MirvoProcess mirvo(dir.path());
    QVERIFY(mirvo.start());
    const bool sawLastLine = mirvo.waitForLine(firstStart.last());
    const QStringList lines = mirvo.lines();
    mirvo.stop();
    QVERIFY2(sawLastLine, qPrintable(lines.join('\n')));
    if (MirvoProcess::datedFolderName() != date)
        QSKIP("the date changed during the test");
    QCOMPARE(lines.mid(0, firstStart.size()), firstStart);
    QVERIFY(!lines.contains("Initializing " + blocked));
    QVERIFY(QFileInfo(blocked + "/latest").isFile());
    QVERIFY(QFileInfo(blocked + "/" + date).isDir());
    QVERIFY(QFileInfo(saves + "/latest").isDir());
    QVERIFY(QFileInfo(saves + "/" + date).isDir());
    // Backup mode never rewrites the configuration, not even to drop a missing file.
    QFile config(dir.filePath(QStringLiteral("config.txt")));
    QVERIFY(config.open(QIODevice::ReadOnly));
    QCOMPARE(config.readAll(), configuration);

    MirvoProcess again(dir.path());
    QVERIFY(again.start());
    QVERIFY(again.waitForLine("Initializing " + saves));
    const QStringList secondLines = again.lines();
    again.stop();
    QVERIFY(!secondLines.contains(saves + "/latest created"));
    QVERIFY(!secondLines.contains(saves + "/" + date + " created"));
    QVERIFY(secondLines.contains("cannot create " + blocked + "/latest"));
}

// Without config.txt (or always, in mirvo-config) the window edits the
// configuration: it saves at once, creating a private config.txt, keeping
// entries whose file is gone and lines it does not read, and emptying the
// history; no backup is made.
void TestStartup::configurationModeWritesConfig_data()
{
    QTest::addColumn<int>("program");
    QTest::addColumn<QByteArray>("existing");
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<int>("mode");
    // Installed: run from a folder that holds the archiver too, as the menu
    // entry starts it, on the per-user folder of a fresh home.
    QTest::addColumn<bool>("installed");
    const QByteArray defaultWinrar = QByteArray("winrar=") + defaultWinrarPath + "\n";
    QTest::newRow("mirvo, no config.txt")
        << int(MirvoProcess::Standard) << QByteArray() << defaultWinrar << 0600 << false;
    QTest::newRow("mirvo-config, existing config.txt")
        << int(MirvoProcess::ConfigurationOnly)
        << QByteArray("# laptop\nwinrar=w\npath=$D/saves\nfile=$D/gone.txt gone\n\nnew=1\n")
        << QByteArray("winrar=w\npath=$D/saves\nfile=$D/gone.txt gone\n# laptop\nnew=1\n") << 0640
        << false;
    QTest::newRow("mirvo-config installed, from its menu entry")
        << int(MirvoProcess::ConfigurationOnly) << QByteArray()
        << QByteArray("winrar=$D/bin/mirvo-archiver\n") << 0600 << true;
}

void TestStartup::configurationModeWritesConfig()
{
    QFETCH(int, program);
    QFETCH(QByteArray, existing);
    QFETCH(QByteArray, written);
    QFETCH(int, mode);
    QFETCH(bool, installed);
    QTemporaryDir dir;
    const QString work
        = installed ? dir.filePath(QStringLiteral("home/.config/mirvo")) : dir.path();
    const QString config = work + "/config.txt";
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("saves"))));
    writeFile(dir.filePath(QStringLiteral("previous")), "C:/a Sat_Dec_5_21:19:07_2026\n");
    if (!existing.isEmpty()) {
        writeFile(config, existing.replace("$D", dir.path().toUtf8()));
        QVERIFY(
            QFile::setPermissions(config, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    }
    written.replace("$D", dir.path().toUtf8());

    MirvoProcess mirvo(dir.path(), MirvoProcess::Program(program));
    if (installed) {
        const QString bin = dir.filePath(QStringLiteral("bin"));
        QVERIFY(QDir().mkpath(bin));
        QVERIFY(QFile::copy(MirvoProcess::binary(MirvoProcess::Program(program)),
                            bin + "/mirvo-config"));
        QVERIFY(QFile::copy(QStringLiteral(MIRVO_ARCHIVER_BINARY), bin + "/mirvo-archiver"));
        mirvo.setExecutable(bin + "/mirvo-config");
    }
    QVERIFY(installed
                ? mirvo.start({ "HOME=" + dir.filePath(QStringLiteral("home")), "XDG_CONFIG_HOME" },
                              { "--user-folder" })
                : mirvo.start());
    // The history is rewritten right after config.txt: wait for both.
    QDeadlineTimer deadline(10000);
    QByteArray content;
    QByteArray historyContent;
    do {
        QTest::qWait(50);
        content = readFile(config);
        historyContent = readFile(work + "/previous");
    } while ((content != written || !historyContent.isEmpty()) && !deadline.hasExpired());
    mirvo.stop();
    QCOMPARE(content, written);
    struct stat info;
    QCOMPARE(stat(config.toLocal8Bit().constData(), &info), 0);
    QCOMPARE(int(info.st_mode & 07777), mode);
    QCOMPARE(historyContent, QByteArray());
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("saves/latest"))));
}

// Help, version and refused command lines need no display and open no window.
void TestStartup::commandLine_data()
{
    QTest::addColumn<int>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out"); // how standard output starts
    QTest::addColumn<QString>("err"); // what standard error holds
    const int mirvo = MirvoProcess::Standard;
    const int config = MirvoProcess::ConfigurationOnly;
    const QString usage
        = QStringLiteral("Usage: mirvo [--dir DIR | --user-folder] [--unattended]\n");
    QTest::newRow("help") << mirvo << QStringList { "--help" } << 0 << usage << QString();
    QTest::newRow("help, configuration") << config << QStringList { "-h" } << 0
                                         << "Usage: mirvo-config [--dir DIR | --user-folder]\n"
                                         << QString();
    QTest::newRow("version") << mirvo << QStringList { "--version" } << 0
                             << "mirvo " MIRVO_VERSION "\nCopyright (C) 2026 The Mirvo developers\n"
                                "License GPL-3.0-or-later: "
                             << QString();
    QTest::newRow("version, configuration")
        << config << QStringList { "--version" } << 0 << "mirvo-config " MIRVO_VERSION "\n"
        << QString();
    QTest::newRow("unknown option") << mirvo << QStringList { "--frobnicate" } << 2 << QString()
                                    << "mirvo: Unknown option 'frobnicate'.\n" + usage;
    QTest::newRow("unattended configuration")
        << config << QStringList { "--unattended" } << 2 << QString()
        << "mirvo-config: Unknown option 'unattended'.\nUsage: mirvo-config";
    QTest::newRow("an argument") << mirvo << QStringList { "config.txt" } << 2 << QString()
                                 << "mirvo: Unexpected argument 'config.txt'.\n" + usage;
    QTest::newRow("two folders") << mirvo << QStringList { "--dir", "x", "--user-folder" } << 2
                                 << QString() << "Give one folder only";
    QTest::newRow("versions without config.txt")
        << mirvo << QStringList { "--versions" } << 2 << QString()
        << "Error : There is no config.txt in ";
    QTest::newRow("restore without a name")
        << mirvo << QStringList { "--restore" } << 2 << QString()
        << "mirvo: --restore needs the names of the entries to restore, or --all.\n";
    QTest::newRow("restore a name and all")
        << mirvo << QStringList { "--restore", "notes", "--all" } << 2 << QString()
        << "mirvo: --restore needs the names";
    QTest::newRow("restore on a day that is none")
        << mirvo << QStringList { "--restore", "notes", "--day", "2026-02-30" } << 2 << QString()
        << "mirvo: --day takes latest or a day as YYYY-MM-DD, not '2026-02-30'.\n";
    QTest::newRow("replace without restore")
        << mirvo << QStringList { "--replace" } << 2 << QString()
        << "mirvo: --replace goes with --restore.";
    QTest::newRow("restore from a folder that is none")
        << mirvo << QStringList { "--restore", "notes", "--from", "/no/such/folder" } << 2
        << QString()
        << "Error : /no/such/folder is neither a save folder of config.txt nor a folder\n";
    QTest::newRow("restore, configuration")
        << config << QStringList { "--restore", "notes" } << 2 << QString()
        << "mirvo-config: Unknown option 'restore'.";
    QTest::newRow("verify without config.txt")
        << mirvo << QStringList { "--verify" } << 2 << QString()
        << "Error : There is no config.txt in ";
    QTest::newRow("verify a share that is none")
        << mirvo << QStringList { "--verify-share", "0" } << 2 << QString()
        << "mirvo: --verify-share takes a whole percentage from 1 to 100, not '0'.\n";
    QTest::newRow("verify and restore")
        << mirvo << QStringList { "--verify", "--restore", "notes" } << 2 << QString()
        << "mirvo: Give --verify, --versions or --restore, one of them.\n";
    QTest::newRow("a window without a display")
        << mirvo << QStringList() << 2 << QString() << "mirvo: no display to open a window on";
    QTest::newRow("the restore window without a display")
        << mirvo << QStringList { "--restore-window" } << 2 << QString()
        << "mirvo: no display to open a window on (to restore without a window";
    QTest::newRow("the restore window with a restore")
        << mirvo << QStringList { "--restore-window", "--restore", "notes" } << 2 << QString()
        << "mirvo: --restore-window goes alone, with --dir or --user-folder.";
}

void TestStartup::commandLine()
{
    QFETCH(int, program);
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QTemporaryDir dir;
    MirvoProcess mirvo(dir.path(), MirvoProcess::Program(program));
    QVERIFY(mirvo.start(noDesktop, arguments));
    QVERIFY(mirvo.waitForExit(10000));
    QCOMPARE(mirvo.exitCode(), status);
    QVERIFY2(mirvo.standardOutput().startsWith(out), qPrintable(mirvo.standardOutput()));
    QVERIFY2(mirvo.rawOutput().contains(err), qPrintable(mirvo.rawOutput()));
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

// An unattended run needs no display, says every line on standard output,
// keeps them in mirvo.log, ends with the outcome as its exit status and
// tells the desktop when it missed something or could not run.
void TestStartup::unattendedRuns_data()
{
    // empty: none; "-": the folder of the run is a plain file; $W: the folder of the run
    QTest::addColumn<QByteArray>("configuration");
    QTest::addColumn<bool>("throughDir"); // --dir names the folder, which does not exist yet
    QTest::addColumn<bool>("withServer");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("lastLines");
    QTest::addColumn<QStringList>("notification"); // summary and body; empty: none
    const QByteArray files = "path=$W/saves\nfile=$W/notes.txt notes.txt\n";
    QTest::newRow("complete") << files << false << false << 0
                              << QStringList { "Exiting...", "Backup complete" } << QStringList();
    QTest::newRow("complete, with a server")
        << files << false << true << 0
        << QStringList { "Exiting...", "Exit successful", "Backup complete" } << QStringList();
    QTest::newRow("a save folder missing, through --dir")
        << files + "path=$W/usb\n"
        << true << false << 1
        << QStringList { "Exiting...",
                         "Error : Backup incomplete: 1 entry will be tried again next run" }
        << QStringList { "Mirvo: backup incomplete",
                         "1 entry will be tried again next run. The first destination that "
                         "failed: $W/usb." };
    QTest::newRow("no config.txt, through --dir")
        << QByteArray() << true << false << 2
        << QStringList { "Error : There is no config.txt in $W" }
        << QStringList { "Mirvo: no backup made", "There is no config.txt in $W" };
    QTest::newRow("--dir cannot be made")
        << QByteArray("-") << true << false << 2 << QStringList()
        << QStringList { "Mirvo: no backup made", "Cannot create the folder $W." };
}

void TestStartup::unattendedRuns()
{
    QFETCH(QByteArray, configuration);
    QFETCH(bool, throughDir);
    QFETCH(bool, withServer);
    QFETCH(int, status);
    QFETCH(QStringList, lastLines);
    QFETCH(QStringList, notification);
    QTemporaryDir dir;
    const QString work = dir.filePath(QStringLiteral("work"));
    SessionBus bus;
    QVERIFY2(bus.start(), qPrintable(bus.errorString()));
    if (configuration == "-") {
        writeFile(work, "");
        configuration.clear();
    } else if (!configuration.isEmpty()) {
        writeFile(work + "/notes.txt", "notes");
        QVERIFY(QDir().mkpath(work + "/saves"));
        configuration = "winrar=" MIRVO_ARCHIVER_BINARY "\n" + configuration;
        configuration.replace("$W", work.toUtf8());
    }
    FtpTestServer server { FtpTestServer::PyFtpdlib };
    if (withServer) {
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        configuration += QStringLiteral("ftp=%1:%2 %3 %4 .\n")
                             .arg(server.address())
                             .arg(server.port())
                             .arg(server.user(),
                                  StringCipher(passwordCipherKey).encipherText(server.password()))
                             .toUtf8();
    }
    if (!configuration.isEmpty())
        writeFile(work + "/config.txt", configuration);
    lastLines.replaceInStrings(QStringLiteral("$W"), work);
    notification.replaceInStrings(QStringLiteral("$W"), work);

    const QStringList environment
        = noDesktop + QStringList { "DBUS_SESSION_BUS_ADDRESS=" + bus.address() };
    const Ended run = throughDir
        ? runMirvo(dir.path(), { "--unattended", "--dir", work }, environment)
        : runMirvo(work, { "--unattended" }, environment);

    QCOMPARE(run.status, status);
    QCOMPARE(bus.notifications(),
             notification.isEmpty()
                 ? QList<QStringList>()
                 : QList<QStringList> { QStringList { "Mirvo" } + notification });
    QVERIFY2(run.out.size() >= lastLines.size(), qPrintable(run.out.join('\n')));
    QCOMPARE(run.out.mid(run.out.size() - lastLines.size()), lastLines);
    if (status == NoBackupMade) {
        if (!QFileInfo(work).isDir())
            return;
        QCOMPARE(QDir(work).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        return;
    }
    QCOMPARE(readFile(work + "/saves/latest/notes.txt"), QByteArray("notes"));
    const QStringList kept = fileLines(work + "/mirvo.log");
    QVERIFY(!kept.isEmpty());
    QVERIFY2(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d ")
                 .match(kept.first())
                 .hasMatch(),
             qPrintable(kept.first()));
    QCOMPARE(kept.mid(1), run.out);
    QVERIFY(!QFileInfo::exists(work + "/mirvo.lock"));
}

// mirvo.log is started afresh once it has grown past 1 MiB, the one before
// kept as mirvo.log.1; a log that cannot be written, or moved aside, is
// said once, the backup goes on, and the run is incomplete.
void TestStartup::runLogRotation_data()
{
    QTest::addColumn<qint64>("size"); // of the mirvo.log there before; -1: a folder in its way
    QTest::addColumn<bool>("olderIsFolder"); // mirvo.log.1 is a folder: no rotation can happen
    QTest::addColumn<bool>("rotated");
    QTest::newRow("past 1 MiB: rotated") << qint64(1024 * 1024 + 1) << false << true;
    QTest::newRow("at 1 MiB: appended to") << qint64(1024 * 1024) << false << false;
    QTest::newRow("past 1 MiB, cannot be rotated") << qint64(1024 * 1024 + 1) << true << false;
    QTest::newRow("cannot be written") << qint64(-1) << false << false;
}

void TestStartup::runLogRotation()
{
    QFETCH(qint64, size);
    QFETCH(bool, olderIsFolder);
    QFETCH(bool, rotated);
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("mirvo.log"));
    const QByteArray before(qMax<qint64>(size, 0), 'x');
    if (size < 0)
        QVERIFY(QDir().mkpath(log));
    else
        writeFile(log, before);
    if (olderIsFolder)
        writeFile(log + ".1/a file", "in the way\n");
    else
        writeFile(log + ".1", "the older log\n");
    writeFile(dir.filePath(QStringLiteral("config.txt")), "winrar=w\n");

    const Ended run = runMirvo(dir.path(), { "--unattended" });

    const bool complete = size >= 0 && !olderIsFolder;
    QCOMPARE(run.status, int(complete ? BackupComplete : BackupIncomplete));
    QCOMPARE(
        run.out.filter(QRegularExpression("^Error : Cannot (write|rotate) the log file ")).size(),
        complete ? 0 : 1);
    if (size < 0) {
        QCOMPARE(run.out.last(),
                 QStringLiteral("Error : Backup incomplete: the log file cannot be written"));
        return;
    }
    if (olderIsFolder)
        QCOMPARE(readFile(log + ".1/a file"), QByteArray("in the way\n"));
    else
        QCOMPARE(readFile(log + ".1"), rotated ? before : QByteArray("the older log\n"));
    const QByteArray kept = readFile(log);
    QVERIFY(kept.startsWith(rotated ? QByteArray() : before));
    QCOMPARE(fileLines(log).mid(1).last(), run.out.last());
    QCOMPARE(kept.size() - (rotated ? 0 : before.size()) < 4096, true);
}

// A link in place of a file that the run writes beside config.txt is never
// followed (what it leads to may be another user's, and the run root's): an
// error line, the file it leads to untouched, and the run incomplete.
void TestStartup::linksInPlaceAreRefused_data()
{
    QTest::addColumn<QString>("linked");
    QTest::addColumn<QString>("errorLine"); // $W: the working folder
    QTest::newRow("previous") << "previous"
                              << "Error : Cannot write previous transfer file";
    QTest::newRow("mirvo.log") << "mirvo.log"
                               << "Error : Cannot write the log file mirvo.log: it is a link";
    QTest::newRow("mirvo.log.1, with a log to rotate")
        << "mirvo.log.1"
        << "Error : Cannot rotate the log file mirvo.log.1: it is a link";
    QTest::newRow("mirvo.lock") << "mirvo.lock"
                                << "Error : Cannot lock $W: mirvo.lock is a link";
}

void TestStartup::linksInPlaceAreRefused()
{
    QFETCH(QString, linked);
    QFETCH(QString, errorLine);
    QTemporaryDir dir;
    QTemporaryDir elsewhere;
    const QString target = elsewhere.filePath(QStringLiteral("private"));
    writeFile(target, "not yours\n");
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("saves"))));
    writeFile(dir.filePath(QStringLiteral("notes.txt")), "notes");
    writeFile(dir.filePath(QStringLiteral("config.txt")),
              "winrar=w\npath=" + dir.filePath(QStringLiteral("saves")).toUtf8() + "\nfile="
                  + dir.filePath(QStringLiteral("notes.txt")).toUtf8() + " notes.txt\n");
    if (linked == "mirvo.log.1")
        writeFile(dir.filePath(QStringLiteral("mirvo.log")), QByteArray(1024 * 1024 + 1, 'x'));
    QVERIFY(QFile::link(target, dir.filePath(linked)));

    const Ended run = runMirvo(dir.path(), { "--unattended" });

    QCOMPARE(run.status, int(BackupIncomplete));
    QVERIFY2(run.out.contains(QString(errorLine).replace("$W", dir.path())),
             qPrintable(run.out.join('\n')));
    QVERIFY2(run.out.last().startsWith("Error : Backup incomplete: "), qPrintable(run.out.last()));
    QCOMPARE(readFile(target), QByteArray("not yours\n"));
    QVERIFY(QFileInfo(dir.filePath(linked)).isSymLink());
    QCOMPARE(readFile(dir.filePath(QStringLiteral("saves/latest/notes.txt"))), QByteArray("notes"));
}

// While a backup waits for a slow server, a second start in the same folder
// changes nothing: unattended it exits at once, with the window it says so.
// A lock left by a process that was killed is taken over.
void TestStartup::oneRunPerFolder()
{
    QTemporaryDir dir;
    ScriptedPeer peer;
    QVERIFY(peer.listen());
    peer.send("220 slow\r\n").expect("USER"); // then silence
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("saves"))));
    const QByteArray local
        = "winrar=w\npath=" + dir.filePath(QStringLiteral("saves")).toUtf8() + "\n";
    writeFile(dir.filePath(QStringLiteral("config.txt")),
              local
                  + QStringLiteral("ftp=127.0.0.1:%1 u %2 .\n")
                        .arg(peer.port())
                        .arg(StringCipher(passwordCipherKey).encipherText(QStringLiteral("p")))
                        .toUtf8());

    MirvoProcess first(dir.path());
    QVERIFY(first.start(noDesktop, { "--unattended" }));
    QVERIFY(waitUntil([&] { return peer.isFinished(); }, 20000));
    const QStringList before = snapshot(dir.path());

    const QString busy
        = "A backup is already running in " + dir.path() + ", or its configuration window is open";
    const Ended second = runMirvo(dir.path(), { "--unattended" });
    QCOMPARE(second.status, int(NoBackupMade));
    QCOMPARE(second.out, QStringList { "Error : " + busy });
    MirvoProcess window(dir.path());
    QVERIFY(window.start());
    QVERIFY2(window.waitForLine(busy), qPrintable(window.rawOutput()));
    window.stop();
    QCOMPARE(snapshot(dir.path()), before);

    first.stop(); // killed: its lock stays behind
    QVERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("mirvo.lock"))));
    writeFile(dir.filePath(QStringLiteral("config.txt")), local);
    const Ended after = runMirvo(dir.path(), { "--unattended" });
    QCOMPARE(after.status, int(BackupComplete));
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
