#include "mainwindow.h"
#include "testsupport.h"

#include <QtTest>

#include <memory>
#include <sys/stat.h>
#include <sys/time.h>

// The backup run without FTP servers, in-process: the window runs the whole
// backup inside its constructor, so each test writes a working directory,
// builds the window and looks at the log lines, the save folders, the
// archiver's command lines and the history left behind.

extern bool testConfigurationOnlyBuild;

namespace {

QMap<QString, QString> historyFileEntries()
{
    QMap<QString, QString> entries;
    const QList<QByteArray> lines = readFile(QStringLiteral("previous")).split('\n');
    for (const QByteArray &line : lines) {
        const int space = line.lastIndexOf(' ');
        if (space >= 0)
            entries.insert(QString::fromUtf8(line.left(space)),
                           QString::fromUtf8(line.mid(space + 1)));
    }
    return entries;
}

// Source times lie ahead of the files' status-change times (their creation),
// so that only the modification time decides; whole seconds, as stored.
const QDateTime sourceTime
    = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch() + 3600);

const QString archiverLog = QStringLiteral("archiver-calls.txt");

// The archiver's calls, one a line, with the private folder in which the
// archives are made (a fresh name each run) written "$P".
QString archiverCalls(const QString &log)
{
    return QString::fromUtf8(readFile(log))
        .replace(QRegularExpression(QStringLiteral("/\\.mirvo-archives-[A-Za-z0-9]{6}")),
                 QStringLiteral("/$P"));
}

int modeOf(const QString &path)
{
    struct stat info;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

} // namespace

class TestBackupRun : public QObject, protected WindowFixture
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void configurationOutcome_data();
    void configurationOutcome();
    void changeTest_data();
    void changeTest();
    void folderChangeTest_data();
    void folderChangeTest();
    void archivesAndSaveFolders();
    void archiverFailure_data();
    void archiverFailure();
    void failedBackupKeepsHistory_data();
    void failedBackupKeepsHistory();
    void sharedSourceAndMissingFolder();
    void copyReplacesOldCopyOnlyWhenComplete_data();
    void copyReplacesOldCopyOnlyWhenComplete();
    void longRunOfSkippedEntriesKeepsTheStackFlat();
    void specialFilesNeverRead();
    void missingSourceIsMissed();
    void saveFolderInsideZippedFolder_data();
    void saveFolderInsideZippedFolder();
    void oldDatedFoldersPruned_data();
    void oldDatedFoldersPruned();

private:
    // Builds the window in the working directory; the run happens at once.
    void runBackup(const QString &configuration);
    QString path(const QString &relative) const { return dir->filePath(relative); }
    // The lines of a run over one usable save folder, given the lines of
    // the entries of each kind and how many entries it missed.
    QStringList runLines(const QStringList &fileLines, const QStringList &zippedFileLines = {},
                         const QStringList &zippedFolderLines = {}, int missed = 0) const;
    // Lines that copy `source` as `name` into the save folder.
    QStringList copyLines(const QString &source, const QString &name) const;
    void verifyHandledNow(const QString &key);

    // A frame address taken in the capture for each "No modification" line:
    // the depth of the stack at which the run logged it.
    QList<quintptr> skipLineDepths;
    QString date;
    QString saves;
    QString archiverConfigLine;
    QDateTime runStart;
    QDateTime runEnd;
};

void TestBackupRun::initTestCase()
{
    archiverConfigLine = QStringLiteral("winrar=" MIRVO_TEST_SUPPORT_DIR "/recording-archiver\n");
    qputenv("MIRVO_ARCHIVER_REAL", MIRVO_ARCHIVER_BINARY);
}

// A working directory with a save folder that already holds latest and
// today's folder, and an empty history.
void TestBackupRun::init()
{
    QVERIFY(enterScratch([this](const QString &line) {
        if (line.startsWith(QLatin1String("No modification for ")))
            skipLineDepths << quintptr(__builtin_frame_address(0));
    }));
    date = datedFolderName();
    saves = path(QStringLiteral("my saves"));
    QVERIFY(QDir().mkpath(saves + "/latest"));
    QVERIFY(QDir().mkpath(saves + "/" + date));
    writeFile(QStringLiteral("previous"), QByteArray());
    qputenv("MIRVO_ARCHIVER_LOG", path(archiverLog).toLocal8Bit());
    qunsetenv("MIRVO_ARCHIVER_FAIL");
    skipLineDepths.clear();
}

void TestBackupRun::cleanup()
{
    leaveScratch();
}

void TestBackupRun::runBackup(const QString &configuration)
{
    runStart = QDateTime::currentDateTime();
    build(configuration.toUtf8());
    runEnd = QDateTime::currentDateTime();
    if (datedFolderName() != date)
        QSKIP("the date changed during the test");
}

QStringList TestBackupRun::runLines(const QStringList &fileLines,
                                    const QStringList &zippedFileLines,
                                    const QStringList &zippedFolderLines, int missed) const
{
    return QStringList { "Initializing " + saves } + fileLines
        + QStringList { "All files have been transferred" } + zippedFileLines
        + QStringList { "All zipped files have been transferred" } + zippedFolderLines
        + QStringList { "All zipped folders have been transferred", "Exiting...",
                        outcomeLine(missed) };
}

QStringList TestBackupRun::copyLines(const QString &source, const QString &name) const
{
    return { source + " has been copied to " + saves + "/latest/" + name,
             source + " has been copied to " + saves + "/" + date + "/" + name };
}

// The history holds, for `key`, a time taken while the run went on.
void TestBackupRun::verifyHandledNow(const QString &key)
{
    const QMap<QString, QString> history = historyFileEntries();
    QVERIFY2(history.contains(key), qPrintable(key));
    const QDateTime stored = QDateTime::fromString(history.value(key), Qt::ISODate);
    const QDateTime startSecond = runStart.addMSecs(-runStart.time().msec());
    QVERIFY2(stored >= startSecond && stored <= runEnd, qPrintable(history.value(key)));
}

// Nothing configured: the run still goes through its closing lines within
// the constructor and writes the (empty) history. A configuration that
// cannot back up what it lists, or has lines it cannot use, leaves the run
// incomplete; one with nothing to back up but a destination is complete.
void TestBackupRun::configurationOutcome_data()
{
    QTest::addColumn<QString>("configuration"); // $A: the archiver line, $S: the save folder
    QTest::addColumn<QString>("outcome");
    QTest::newRow("archiver alone") << "$A" << outcomeLine(0);
    QTest::newRow("a destination, no entry") << "$Apath=$S\n" << outcomeLine(0);
    QTest::newRow("empty") << "\n \n"
                           << "Backup incomplete: config.txt is empty";
    QTest::newRow("entries, no destination")
        << "$Afile=$S/a.txt a.txt\n"
        << "Backup incomplete: 1 entry will be tried again next run; config.txt names no save "
           "folder and no server";
    QTest::newRow("lines that cannot be used")
        << "$Apath=$S\nfile=$S/a.txt\nftp=host user\nkeep=5d\n"
        << "Backup incomplete: 3 lines of config.txt cannot be used";
}

void TestBackupRun::configurationOutcome()
{
    QFETCH(QString, configuration);
    QFETCH(QString, outcome);
    QFile::remove(QStringLiteral("previous"));
    writeFile(saves + "/a.txt", "a");
    runBackup(configuration.replace("$A", archiverConfigLine).replace("$S", saves));
    QStringList expected { "No previous transfer file: every entry is backed up",
                           "All files have been transferred",
                           "All zipped files have been transferred",
                           "All zipped folders have been transferred",
                           "Exiting...",
                           outcome };
    QStringList lines = debug->lines().filter(QRegularExpression("^(?!Initializing|Invalid line)"));
    if (configuration.contains("file=" + saves + "/a.txt a.txt"))
        lines = lines.filter(QRegularExpression("^(?!Beginning transfer)"));
    QCOMPARE(lines, expected);
    QCOMPARE(inspect().runMissedSomething(), outcome != outcomeLine(0));
    QCOMPARE(readFile(QStringLiteral("previous")), QByteArray());
}

// A file is skipped only when it was last modified (or moved in: its
// status changed) strictly before the time recorded for it, and the save
// folder holds a copy of it of its size.
void TestBackupRun::changeTest_data()
{
    QTest::addColumn<QString>("recorded"); // history text; empty: never seen
    QTest::addColumn<QDateTime>("modified");
    QTest::addColumn<QByteArray>("copy"); // in latest; null: none
    QTest::addColumn<bool>("handled");
    const QByteArray same("notes\n");
    const QString later = historyText(sourceTime.addSecs(1));
    QTest::newRow("never seen") << QString() << sourceTime << same << true;
    QTest::newRow("recorded after the change") << later << sourceTime << same << false;
    QTest::newRow("recorded at the change")
        << historyText(sourceTime) << sourceTime << same << true;
    QTest::newRow("recorded before the change")
        << historyText(sourceTime.addSecs(-1)) << sourceTime << same << true;
    QTest::newRow("unreadable date") << QStringLiteral("yesterday") << sourceTime << same << true;
    QTest::newRow("older file moved in after the record")
        << historyText(QDateTime::currentDateTime().addSecs(-600)) << sourceTime.addYears(-2)
        << same << true;
    QTest::newRow("unchanged, copy missing") << later << sourceTime << QByteArray() << true;
    QTest::newRow("unchanged, copy of another size")
        << later << sourceTime << QByteArray("n") << true;
}

void TestBackupRun::changeTest()
{
    QFETCH(QString, recorded);
    QFETCH(QDateTime, modified);
    QFETCH(QByteArray, copy);
    QFETCH(bool, handled);
    const QString source = path(QStringLiteral("my src/my notes.txt"));
    writeFile(source, "notes\n");
    setModified(source, modified);
    if (!recorded.isEmpty())
        writeFile(QStringLiteral("previous"), (source + " " + recorded + "\n").toUtf8());
    if (!copy.isNull())
        writeFile(saves + "/latest/notes.txt", copy);

    runBackup(archiverConfigLine + "path=" + saves + "\nfile=" + source + " notes.txt\n");

    const QStringList entryLines = handled
        ? copyLines(source, QStringLiteral("notes.txt"))
            + QStringList { "Beginning transfer of " + source }
        : QStringList { "No modification for " + source + ", no need to transfer again" };
    QCOMPARE(debug->lines(), runLines(entryLines));
    QCOMPARE(QFileInfo::exists(saves + "/" + date + "/notes.txt"), handled);
    if (handled) {
        QCOMPARE(readFile(saves + "/latest/notes.txt"), QByteArray("notes\n"));
        verifyHandledNow(source);
    } else {
        QCOMPARE(historyFileEntries().value(source), recorded);
    }
}

// A zipped folder counts as modified when anything inside it is, at any
// depth, even when the folder's own time does not move.
void TestBackupRun::folderChangeTest_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("handled");
    QTest::newRow("nothing changed") << "none" << false;
    QTest::newRow("file deep inside edited") << "edit" << true;
    QTest::newRow("file added deep inside") << "add" << true;
    QTest::newRow("file removed deep inside") << "remove" << true;
    QTest::newRow("hidden file edited") << "hidden" << true;
}

void TestBackupRun::folderChangeTest()
{
    QFETCH(QString, change);
    QFETCH(bool, handled);
    const QString folder = path(QStringLiteral("src/my photos"));
    const QString deep = folder + "/2025/summer";
    writeFile(deep + "/beach.jpg", "beach");
    writeFile(deep + "/.thumbs", "thumbs");
    writeFile(folder + "/cover.jpg", "cover");
    const QStringList folders { deep, folder + "/2025", folder };
    const auto resetTimes = [&] {
        for (const QString &name :
             { deep + "/beach.jpg", deep + "/.thumbs", folder + "/cover.jpg" })
            setModified(name, sourceTime);
        for (const QString &name : folders)
            setModified(name, sourceTime);
    };
    resetTimes();
    writeFile(QStringLiteral("previous"),
              (folder + " " + historyText(sourceTime.addSecs(10)) + "\n").toUtf8());
    writeFile(saves + "/latest/photos.zip", "an earlier archive");

    // Each change leaves the folder's own time where it was.
    if (change == "edit") {
        setModified(deep + "/beach.jpg", sourceTime.addSecs(20));
    } else if (change == "add") {
        writeFile(deep + "/sunset.jpg", "sunset");
        setModified(deep + "/sunset.jpg", sourceTime.addSecs(20));
        for (const QString &name : folders)
            setModified(name, sourceTime);
    } else if (change == "remove") {
        QVERIFY(QFile::remove(deep + "/beach.jpg"));
        setModified(deep, sourceTime.addSecs(20));
        setModified(folder, sourceTime);
    } else if (change == "hidden") {
        setModified(deep + "/.thumbs", sourceTime.addSecs(20));
    }

    runBackup(archiverConfigLine + "path=" + saves + "\nzippedfolder=" + folder + " photos\n");

    const QStringList entryLines = handled
        ? QStringList { folder + " has been zipped" } + copyLines("photos.zip", "photos.zip")
            + QStringList { "Beginning transfer of photos.zip" }
        : QStringList { "No modification for " + folder + ", no need to transfer again" };
    QCOMPARE(debug->lines(), runLines({}, {}, entryLines));
    QCOMPARE(QFileInfo::exists(path(archiverLog)), handled);
    if (handled)
        verifyHandledNow(folder);
}

// The archiver's command lines, the archives and their copies: a zipped
// file and a zipped folder, with one usable save folder and one missing.
// Neither entry reached every save folder, so neither is recorded. The
// archives are made in a private folder that the run removes, never over a
// file of the user's, and are no more readable than their sources.
void TestBackupRun::archivesAndSaveFolders()
{
    const QString report = path(QStringLiteral("src/report.txt"));
    const QString photos = path(QStringLiteral("src/photos"));
    const QString missing = path(QStringLiteral("no-such-folder"));
    writeFile(report, QByteArray(5000, 'r'));
    writeFile(photos + "/sub/beach.jpg", "beach");
    QCOMPARE(::chmod(QFile::encodeName(report).constData(), 0600), 0);
    QCOMPARE(::chmod(QFile::encodeName(photos).constData(), 0750), 0);
    writeFile(QStringLiteral("photos.zip"), "the user's own");
    QVERIFY(QDir().mkdir(QStringLiteral(".mirvo-archives-Killed")));
    QCOMPARE(::chmod(".mirvo-archives-Killed", 0700), 0);
    writeFile(QStringLiteral(".mirvo-archives-Killed/report.zip"), "a killed run's");

    runBackup(archiverConfigLine + "path=" + missing + "\npath=" + saves + "\nzippedfile=" + report
              + " report\nzippedfolder=" + photos + " photos\n");

    const QString made = dir->path() + "/$P/";
    QCOMPARE(archiverCalls(path(archiverLog)),
             "a\t-ep1\t-m5\t" + made + "report.zip\t" + report + "\na\t-ep1\t-m5\t-r\t" + made
                 + "photos.zip\t" + photos + "\n");
    QStringList expected { missing + " is not a valid path", "Initializing " + saves,
                           "All files have been transferred", report + " has been zipped" };
    expected << copyLines("report.zip", "report.zip") << "Beginning transfer of report.zip"
             << "All zipped files have been transferred" << photos + " has been zipped"
             << copyLines("photos.zip", "photos.zip") << "Beginning transfer of photos.zip"
             << "All zipped folders have been transferred"
             << "Exiting..." << outcomeLine(2);
    QCOMPARE(debug->lines(), expected);

    for (const QString &archive : { QStringLiteral("report.zip"), QStringLiteral("photos.zip") }) {
        const QByteArray content = readFile(saves + "/latest/" + archive);
        QVERIFY(content.startsWith("PK"));
        QCOMPARE(readFile(saves + "/" + date + "/" + archive), content);
        for (const QString &copy :
             { saves + "/latest/" + archive, saves + "/" + date + "/" + archive })
            QCOMPARE(modeOf(copy), archive == "report.zip" ? 0600 : 0640);
    }
    QCOMPARE(readFile(QStringLiteral("photos.zip")), QByteArray("the user's own"));
    QCOMPARE(QDir().entryList({ ".mirvo-*" }, QDir::AllEntries | QDir::Hidden), QStringList());
    QVERIFY(!QFileInfo::exists(missing));
    QCOMPARE(historyFileEntries(), (QMap<QString, QString>())); // the missing folder missed both
}

// An entry that the archiver cannot make is left out of this run and keeps
// its history, so that the next run tries again; the run goes on.
void TestBackupRun::archiverFailure_data()
{
    QTest::addColumn<bool>("archiverMissing");
    QTest::newRow("archiver fails on one archive") << false;
    QTest::newRow("archiver missing") << true;
}

void TestBackupRun::archiverFailure()
{
    QFETCH(bool, archiverMissing);
    const QString report = path(QStringLiteral("src/report.txt"));
    const QString photos = path(QStringLiteral("src/photos"));
    writeFile(report, "report");
    writeFile(photos + "/beach.jpg", "beach");
    const QString oldTime = historyText(sourceTime.addYears(-1));
    writeFile(QStringLiteral("previous"), (report + " " + oldTime + "\n").toUtf8());
    qputenv("MIRVO_ARCHIVER_FAIL", "report.zip");
    const QString archiver
        = archiverMissing ? "winrar=" + path("no-archiver") + "\n" : archiverConfigLine;

    runBackup(archiver + "path=" + saves + "\nzippedfile=" + report
              + " report\nzippedfolder=" + photos + " photos\n");

    QStringList folderLines;
    if (archiverMissing) {
        folderLines << photos + " cannot be zipped";
    } else {
        folderLines << photos + " has been zipped" << copyLines("photos.zip", "photos.zip")
                    << "Beginning transfer of photos.zip";
    }
    QCOMPARE(debug->lines(),
             runLines({}, { report + " cannot be zipped" }, folderLines, archiverMissing ? 2 : 1));
    QVERIFY(!QFileInfo::exists(saves + "/latest/report.zip"));
    QVERIFY(!QFileInfo::exists(saves + "/" + date + "/report.zip"));
    QCOMPARE(historyFileEntries().value(report), oldTime);
    if (archiverMissing)
        QVERIFY(!historyFileEntries().contains(photos));
    else
        verifyHandledNow(photos);
}

// An entry whose source cannot be opened, or any of whose local copies
// fails, was not backed up: its history goes back to what it was before the
// run, an absent one stays absent.
void TestBackupRun::failedBackupKeepsHistory_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("recordedBefore");
    for (const bool recorded : { false, true }) {
        const char *suffix = recorded ? ", recorded before" : ", never recorded";
        QTest::addRow("source is a folder%s", suffix) << "folder" << recorded;
        QTest::addRow("source cannot be read%s", suffix) << "unreadable" << recorded;
        QTest::addRow("one copy cannot replace its target%s", suffix) << "target" << recorded;
    }
}

void TestBackupRun::failedBackupKeepsHistory()
{
    QFETCH(QString, kind);
    QFETCH(bool, recordedBefore);
    QString source = path(QStringLiteral("src/item"));
    if (kind == "folder") {
        QVERIFY(QDir().mkpath(source));
    } else if (kind == "unreadable") {
        source = QStringLiteral("/proc/self/mem"); // opens, but reading at its start fails
    } else {
        writeFile(source, "item");
        QVERIFY(QDir().mkpath(saves + "/latest/item")); // in the way of the copy
    }
    const QString oldTime = historyText(QDateTime(QDate(2020, 2, 3), QTime(4, 5, 6)));
    const QString other = path(QStringLiteral("src/other.txt"));
    writeFile(other, "other");
    writeFile(QStringLiteral("previous"),
              recordedBefore ? (source + " " + oldTime + "\n").toUtf8() : QByteArray());

    runBackup(archiverConfigLine + "path=" + saves + "\nfile=" + source + " item\nfile=" + other
              + " other.txt\n");

    const QString latestCopy = saves + "/latest/item";
    const QString datedCopy = saves + "/" + date + "/item";
    QStringList entryLines;
    if (kind == "target") {
        entryLines << "Cannot remove old " + latestCopy
                   << source + " cannot be copied to " + latestCopy
                   << source + " has been copied to " + datedCopy
                   << "Beginning transfer of " + source;
    } else {
        entryLines << source + " cannot be copied to " + latestCopy
                   << source + " cannot be copied to " + datedCopy
                   << (kind == "folder" ? "Cannot open " + source
                                        : "Beginning transfer of " + source);
    }
    entryLines << copyLines(other, QStringLiteral("other.txt")) << "Beginning transfer of " + other;
    QCOMPARE(debug->lines(), runLines(entryLines, {}, {}, 1));

    const QMap<QString, QString> history = historyFileEntries();
    if (recordedBefore)
        QCOMPARE(history.value(source), oldTime);
    else
        QVERIFY(!history.contains(source));
    verifyHandledNow(other); // the failure of one entry does not spill over
}

// One source under three entries, with a save folder missing on the first
// run: every entry is made on each run until all of them reached every
// folder; then every one is skipped.
void TestBackupRun::sharedSourceAndMissingFolder()
{
    const QString source = path(QStringLiteral("src/t.txt"));
    const QString usb = path(QStringLiteral("usb"));
    writeFile(source, "t");
    setModified(source, sourceTime.addYears(-1));
    QTest::qSleep(1005 - QTime::currentTime().msec()); // recorded from the next second on
    for (const int run : { 1, 2, 3 }) {
        window.reset();
        debug->lines().clear();
        runBackup(archiverConfigLine + "path=" + saves + "\npath=" + usb + "\nfile=" + source
                  + " t.txt\nfile=" + source + " t-copy.txt\nzippedfile=" + source + " tz\n");
        QCOMPARE(debug->lines().filter("Beginning transfer of ").size(), run < 3 ? 3 : 0);
        QCOMPARE(debug->lines().filter("No modification for ").size(), run < 3 ? 0 : 3);
        QCOMPARE(historyFileEntries().contains(source), run > 1);
        QVERIFY(QDir().mkpath(usb));
    }
    QVERIFY(QFileInfo::exists(usb + "/" + date + "/tz.zip"));
}

// A new copy takes the old one's place only once it is complete: a failed
// copy leaves the old copy as it was, and no half-written file behind.
// A sparse source keeps its holes in the copies: they take no more room
// than the source, give or take a block.
void TestBackupRun::copyReplacesOldCopyOnlyWhenComplete_data()
{
    QTest::addColumn<bool>("sourceReadable");
    QTest::addColumn<bool>("sparse");
    QTest::newRow("new copy complete") << true << false;
    QTest::newRow("sparse source") << true << true;
    QTest::newRow("source fails halfway") << false << false;
}

void TestBackupRun::copyReplacesOldCopyOnlyWhenComplete()
{
    QFETCH(bool, sourceReadable);
    QFETCH(bool, sparse);
    QString source = path(QStringLiteral("src/mem"));
    const qint64 sparseSize = 64 * 1024 * 1024;
    if (sparse) {
        QFile file(source);
        QVERIFY(QDir().mkpath(path("src")) && file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(sparseSize));
        for (const qint64 at : { qint64(0), sparseSize / 2, sparseSize - 5 })
            QVERIFY(file.seek(at) && file.write("data\n") == 5);
        file.close();
    }
    if (sourceReadable) {
        if (!sparse)
            writeFile(source, "the new content");
        QVERIFY(
            QFile::setPermissions(source, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    } else {
        source = QStringLiteral("/proc/self/mem");
    }
    const QStringList targets { saves + "/latest/mem", saves + "/" + date + "/mem" };
    for (const QString &target : targets)
        writeFile(target, "a good old copy");

    runBackup(archiverConfigLine + "path=" + saves + "\nfile=" + source + " mem\n");

    QStringList entryLines;
    for (const QString &target : targets)
        entryLines << source + (sourceReadable ? " has been copied to " : " cannot be copied to ")
                + target;
    entryLines << "Beginning transfer of " + source;
    QCOMPARE(debug->lines(), runLines(entryLines, {}, {}, sourceReadable ? 0 : 1));
    struct stat from;
    QCOMPARE(::stat(QFile::encodeName(source).constData(), &from), 0);
    for (const QString &target : targets) {
        if (sparse) {
            struct stat copy;
            QCOMPARE(::stat(QFile::encodeName(target).constData(), &copy), 0);
            QCOMPARE(qint64(copy.st_size), sparseSize);
            QVERIFY2(copy.st_blocks * 512 <= from.st_blocks * 512 + copy.st_blksize,
                     qPrintable(QString::number(copy.st_blocks)));
            QCOMPARE(readFile(target), readFile(source));
            continue;
        }
        QCOMPARE(readFile(target),
                 sourceReadable ? QByteArray("the new content") : QByteArray("a good old copy"));
        // Beside the copy, nothing but the index that lists it.
        QCOMPARE(QFileInfo(target).dir().entryList(QDir::Files | QDir::Hidden),
                 sourceReadable ? QStringList({ "mem", "mirvo index.txt" })
                                : QStringList { "mem" });
        if (sourceReadable) {
            QCOMPARE(QFile::permissions(target), QFile::permissions(source));
            QCOMPARE(QFileInfo(target).lastModified(), QFileInfo(source).lastModified());
        }
    }
}

// A long run of unchanged entries is walked in a loop: every "No
// modification" line is logged at the same depth of the stack.
void TestBackupRun::longRunOfSkippedEntriesKeepsTheStackFlat()
{
    const int count = 5000;
    const QString source = path(QStringLiteral("src/same.txt"));
    writeFile(source, "same");
    setModified(source, sourceTime);
    writeFile(QStringLiteral("previous"),
              (source + " " + historyText(sourceTime.addSecs(60)) + "\n").toUtf8());
    QString configuration = archiverConfigLine;
    for (int i = 0; i < count; ++i)
        configuration += "file=" + source + " same" + QString::number(i) + "\n";

    runBackup(configuration);

    QCOMPARE(skipLineDepths.size(), count);
    QCOMPARE(*std::min_element(skipLineDepths.cbegin(), skipLineDepths.cend()),
             *std::max_element(skipLineDepths.cbegin(), skipLineDepths.cend()));
    QCOMPARE(debug->lines().last(),
             QStringLiteral("Backup incomplete: config.txt names no save folder and no server"));
}

// A pipe (or socket, or device) as a source is never opened: reading it
// could wait for ever. Inside a zipped folder it is left out of the
// archive, with a line; the rest of the folder is archived.
void TestBackupRun::specialFilesNeverRead()
{
    const QString pipe = path(QStringLiteral("src/pipe"));
    const QString photos = path(QStringLiteral("src/photos"));
    writeFile(photos + "/beach.jpg", "beach");
    QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    QCOMPARE(::mkfifo(QFile::encodeName(photos + "/pipe").constData(), 0600), 0);

    runBackup(archiverConfigLine + "path=" + saves + "\nfile=" + pipe + " pipe\nzippedfile=" + pipe
              + " zpipe\nzippedfolder=" + photos + " photos\n");

    const QString notBackedUp = pipe + " is a pipe, a socket or a device: not backed up";
    QCOMPARE(debug->lines(),
             runLines({ notBackedUp }, { notBackedUp },
                      QStringList { photos
                                        + "/pipe is a pipe, a socket or a device: left out of "
                                          "photos.zip",
                                    photos + " has been zipped" }
                          + copyLines("photos.zip", "photos.zip")
                          + QStringList { "Beginning transfer of photos.zip" },
                      2));
    QCOMPARE(archiverCalls(path(archiverLog)),
             "a\t-ep1\t-m5\t-r\t-x" + photos + "/pipe\t" + dir->path() + "/$P/photos.zip\t" + photos
                 + "\n");
    QVERIFY(readFile(saves + "/latest/photos.zip").contains("beach.jpg"));
    QVERIFY(!historyFileEntries().contains(pipe));
}

// A source that is away (an unplugged drive) keeps its line and leaves the
// run incomplete; the other entries go on.
void TestBackupRun::missingSourceIsMissed()
{
    const QString here = path(QStringLiteral("src/here.txt"));
    const QString gone = path(QStringLiteral("src/gone.txt"));
    writeFile(here, "here");

    runBackup(archiverConfigLine + "path=" + saves + "\nfile=" + gone + " gone.txt\nfile=" + here
              + " here.txt\n");

    QCOMPARE(debug->lines(),
             QStringList { gone + " cannot be found: kept in config.txt, tried again next run" }
                 + runLines(copyLines(here, QStringLiteral("here.txt"))
                                + QStringList { "Beginning transfer of " + here },
                            {}, {}, 1));
    QVERIFY(inspect().logText().contains("Error : " + gone + " cannot be found"));
    verifyHandledNow(here);
    QVERIFY(!historyFileEntries().contains(gone));
}

// A zipped folder that holds a save folder or the working folder, or is
// one, leaves the backups, archives, history, log and lock in it out of its
// archive and of its change test: a run with nothing changed zips nothing,
// and the archive keeps its size from one run to the next. Paths are relative to
// the scratch folder; DATE and OLD stand for today's and an old dated folder.
void TestBackupRun::saveFolderInsideZippedFolder_data()
{
    QTest::addColumn<QString>("saveFolder");
    QTest::addColumn<QString>("workFolder");
    QTest::addColumn<QStringList>("leftOut");
    QTest::newRow("both inside") << "home/backups"
                                 << "home/work" << QStringList { "home/backups", "home/work" };
    QTest::newRow("save folder is it")
        << "home"
        << "work" << QStringList { "home/latest", "home/DATE", "home/OLD" };
    QTest::newRow("working folder is it")
        << "saves"
        << "home"
        << QStringList { "home/$P", "home/previous", "home/mirvo.log", "home/mirvo.log.1",
                         "home/mirvo.lock" };
}

void TestBackupRun::saveFolderInsideZippedFolder()
{
    QFETCH(QString, saveFolder);
    QFETCH(QString, workFolder);
    QFETCH(QStringList, leftOut);
    const QString home = path(QStringLiteral("home"));
    const QString save = path(saveFolder);
    const QString work = path(workFolder);
    const QString old
        = QDate::currentDate().addDays(-3).toString(QStringLiteral("yyyy_MMM_dd_(ddd)"));
    writeFile(home + "/docs/a.txt", QByteArray(3000, 'a'));
    writeFile(save + "/" + old + "/a.txt", QByteArray(3000, 'b'));
    QVERIFY(QDir().mkpath(work));
    const QString configuration = archiverConfigLine + "path=" + save + "\nzippedfile=" + home
        + "/docs/a.txt a\nzippedfolder=" + home + " home\n";
    writeFile(work + "/config.txt", configuration.toUtf8()); // as written once by the user
    const QDateTime yearAgo = QDateTime::currentDateTime().addDays(-365);
    for (const QString &name : { home + "/docs/a.txt", home + "/docs", save + "/" + old + "/a.txt",
                                 save + "/" + old, save, work, home })
        setModified(name, yearAgo);
    // Times are kept to the second: the runs start in a second after the set-up.
    QTest::qWait(1010 - QTime::currentTime().msec());
    const CurrentDirectory inWork(work);

    QList<qint64> sizes;
    for (const int run : { 1, 2, 3 }) {
        if (run == 3)
            writeFile(home + "/docs/a.txt", QByteArray(3000, 'a')); // same bytes, new time
        window.reset();
        debug->lines().clear();
        window = std::make_unique<MainWindow>();
        QCOMPARE(debug->lines().contains(home + " has been zipped"), run != 2);
        QCOMPARE(
            debug->lines().contains("No modification for " + home + ", no need to transfer again"),
            run == 2);
        sizes << QFileInfo(save + "/latest/home.zip").size();
    }
    if (datedFolderName() != date)
        QSKIP("the date changed during the test");
    QCOMPARE(sizes.at(2), sizes.at(0));
    QStringList switches;
    for (const QString &name : leftOut)
        switches << "-x" + path(QString(name).replace("DATE", date).replace("OLD", old));
    switches.sort();
    QStringList calls = archiverCalls(path(archiverLog)).split('\n');
    calls = calls.filter(QRegularExpression("\t" + QRegularExpression::escape(home) + "$"));
    QCOMPARE(calls.size(), 2);
    for (const QString &call : calls) {
        QStringList fields = call.split('\t');
        QCOMPARE(fields.mid(0, 4) + fields.mid(fields.size() - 2),
                 (QStringList { "a", "-ep1", "-m5", "-r", work + "/$P/home.zip", home }));
        fields = fields.mid(4, fields.size() - 6);
        fields.sort();
        QCOMPARE(fields, switches);
    }
}

// keep=2 removes the dated folders of days more than two days back, links
// as links, and nothing else: not today's or latest, not a file, not a
// look-alike. A run that missed something removes nothing.
void TestBackupRun::oldDatedFoldersPruned_data()
{
    QTest::addColumn<bool>("missed");
    QTest::newRow("nothing missed") << false;
    QTest::newRow("a source missing") << true;
}

void TestBackupRun::oldDatedFoldersPruned()
{
    QFETCH(bool, missed);
    const QString format = QStringLiteral("yyyy_MMM_dd_(ddd)");
    const QDate today = QDate::currentDate();
    const auto dated = [&](int daysBack) {
        return today.addDays(-daysBack).toString(format);
    };
    const QString outside = path(QStringLiteral("outside"));
    writeFile(outside + "/keep.txt", "keep");
    QStringList kept { "latest", date, dated(1), dated(2) };
    const QStringList removed { dated(3), dated(4000), dated(5) };
    const QStringList emptied { dated(40), dated(41) }; // of what a backup put there
    for (const QString &name : kept + removed.mid(0, 2) + emptied)
        QVERIFY(QDir().mkpath(saves + "/" + name));
    for (const QString &name : { dated(3), dated(40) }) {
        writeFile(saves + "/" + name + "/here.txt", "here");
        writeFile(saves + "/" + name + "/.here.txt.upload", "cut");
    }
    // A copy of an entry no longer configured, and the index that lists it.
    writeFile(saves + "/" + dated(3) + "/gone.txt", "gone");
    writeFile(saves + "/" + dated(3) + "/mirvo index.txt",
              "mirvo index 1\ngone.txt\tfile\t4\t2017-03-04T05:06:07.000Z\t" + QByteArray(64, 'a')
                  + "\t/src/gone.txt\n");
    writeFile(saves + "/" + dated(40) + "/sub/a.txt", "a");
    QVERIFY(QFile::link(outside, saves + "/" + dated(40) + "/outside"));
    QVERIFY(QFile::link(outside + "/keep.txt", saves + "/" + dated(41) + "/here.txt"));
    writeFile(saves + "/" + dated(41) + "/mine.txt", "mine");
    QVERIFY(QFile::link(outside, saves + "/" + dated(5)));
    writeFile(saves + "/" + dated(6), "a file");
    const QDate eighth = today.addDays(-8);
    const QLocale other(QLocale::system().language() == QLocale::French ? QLocale::German
                                                                        : QLocale::French);
    QStringList lookAlikes { dated(6),
                             eighth.toString("yyyy_MMM_dd_(") + eighth.addDays(1).toString("ddd)"),
                             other.toString(eighth, format), dated(9) + "_old", "x" + dated(10) };
    if (dated(7).toUpper() != dated(7))
        lookAlikes << dated(7).toUpper(); // read back without regard to case
    for (const QString &name : lookAlikes.mid(1))
        QVERIFY(QDir().mkpath(saves + "/" + name));
    kept << lookAlikes;
    const QString here = path(QStringLiteral("src/here.txt"));
    writeFile(here, "here");

    runBackup(archiverConfigLine + "keep=2\npath=" + saves + "\nfile=" + here + " here.txt\n"
              + (missed ? "file=" + path("gone") + " gone\n" : ""));

    QStringList expected = missed ? kept + removed + emptied : kept + emptied;
    expected.sort();
    QStringList left
        = QDir(saves).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    left.sort();
    QCOMPARE(left, expected);
    QStringList lines = debug->lines().filter(QStringLiteral(" removed old folder "));
    lines.sort();
    QStringList removals;
    for (const QString &name : removed)
        removals << saves + " removed old folder " + name;
    removals.sort();
    QCOMPARE(lines, missed ? QStringList() : removals);
    QCOMPARE(readFile(outside + "/keep.txt"), QByteArray("keep"));
    if (missed)
        return;
    QStringList keptLines = debug->lines().filter(QStringLiteral(" kept old folder "));
    keptLines.sort();
    QStringList keptExpected { saves + " kept old folder " + dated(40) + ", it holds a folder",
                               saves + " kept old folder " + dated(41) + ", it holds other files" };
    keptExpected.sort();
    QCOMPARE(keptLines, keptExpected);
    QCOMPARE(QDir(saves + "/" + dated(40))
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             (QStringList { "outside", "sub" }));
    QCOMPARE(QDir(saves + "/" + dated(41))
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList { "mine.txt" });
}

QTEST_MAIN(TestBackupRun)
#include "tst_backuprun.moc"
