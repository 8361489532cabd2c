#include "testsupport.h"

#include <QtTest>

// The real mirvo binary, headless, started in a scratch working directory.
class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void backupModeStartUp();
};

namespace {

void writeFile(const QString &name, const QByteArray &content)
{
    QFile file(name);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

// The program runs with LC_ALL=C.UTF-8, so its date text has English names.
QString todayInEnglish()
{
    return QLocale::c().toString(QDate::currentDate(), QStringLiteral("yyyy_MMM_dd_(ddd)"));
}

} // namespace

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

    const QString date = todayInEnglish();
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
    if (QLocale::c().toString(QDate::currentDate(), QStringLiteral("yyyy_MMM_dd_(ddd)")) != date)
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

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
