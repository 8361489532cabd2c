#include "configurationfields.h"
#include "testsupport.h"

#include <QtTest>

#include <sys/stat.h>

// The real mirvo binary, headless, started in a scratch working directory.
class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void backupModeStartUp();
    void configurationModeWritesConfig_data();
    void configurationModeWritesConfig();
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
        "Removing unexisting file from the saved files : " + dir.path() + "/gone.txt",
        "Cannot read previous transfer file",
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
    const QByteArray defaultWinrar = QByteArray("winrar=") + defaultWinrarPath + "\n";
    QTest::newRow("mirvo, no config.txt")
        << int(MirvoProcess::Standard) << QByteArray() << defaultWinrar << 0600;
    QTest::newRow("mirvo-config, existing config.txt")
        << int(MirvoProcess::ConfigurationOnly)
        << QByteArray("# laptop\nwinrar=w\npath=$D/saves\nfile=$D/gone.txt gone\n\nnew=1\n")
        << QByteArray("winrar=w\npath=$D/saves\nfile=$D/gone.txt gone\n# laptop\nnew=1\n") << 0640;
}

void TestStartup::configurationModeWritesConfig()
{
    QFETCH(int, program);
    QFETCH(QByteArray, existing);
    QFETCH(QByteArray, written);
    QFETCH(int, mode);
    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("config.txt"));
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("saves"))));
    writeFile(dir.filePath(QStringLiteral("previous")), "C:/a Sat_Dec_5_21:19:07_2026\n");
    if (!existing.isEmpty()) {
        writeFile(config, existing.replace("$D", dir.path().toUtf8()));
        QVERIFY(
            QFile::setPermissions(config, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    }
    written.replace("$D", dir.path().toUtf8());

    MirvoProcess mirvo(dir.path(), MirvoProcess::Program(program));
    QVERIFY(mirvo.start());
    // The history is rewritten right after config.txt: wait for both.
    QDeadlineTimer deadline(10000);
    QByteArray content;
    QByteArray historyContent;
    do {
        QTest::qWait(50);
        content = readFile(config);
        historyContent = readFile(dir.filePath(QStringLiteral("previous")));
    } while ((content != written || !historyContent.isEmpty()) && !deadline.hasExpired());
    mirvo.stop();
    QCOMPARE(content, written);
    struct stat info;
    QCOMPARE(stat(config.toLocal8Bit().constData(), &info), 0);
    QCOMPARE(int(info.st_mode & 07777), mode);
    QCOMPARE(historyContent, QByteArray());
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("saves/latest"))));
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
