#include "backupindex.h"
#include "mainwindow.h"
#include "sha256.h"
#include "stringcipher.h"
#include "support/port21.h"
#include "testsupport.h"

#include <QtTest>

#include <csignal>
#include <ctime>
#include <memory>
#include <unistd.h>

// The real mirvo binary, headless, backing up to real FTP servers. mirvo
// always connects to port 21, so each server listens on port 21 of a
// loopback address of its own (which needs root); an address where nothing
// listens is an unreachable server.

namespace {

// Bytes that do not compress to nothing, so that a lost or repeated block shows.
QByteArray sampleBytes(int size, char seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = quint32(seed) * 2654435761u + 1;
    for (int i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = char(state >> 24);
    }
    return bytes;
}

// Every file and folder below `root`, as sorted relative paths.
QStringList treeOf(const QString &root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries << QDir(root).relativeFilePath(it.next());
    entries.sort();
    return entries;
}

// Puts the modification time of a file or folder, and of everything in
// it, a year back, then sleeps into the next second: history times are kept
// to the second, so a source written (or whose status changed) within the
// second of its backup would count as changed.
void ageTree(const QString &path)
{
    QStringList paths { path };
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        paths << it.next();
    const QDateTime yearAgo = QDateTime::fromSecsSinceEpoch(time(nullptr) - 365 * 24 * 3600);
    for (const QString &name : paths)
        setModified(name, yearAgo);
    QTest::qSleep(1005 - QTime::currentTime().msec());
}

// The history file as path -> time.
QMap<QString, QDateTime> historyOf(const QString &file)
{
    QMap<QString, QDateTime> history;
    for (const QByteArray &line : readFile(file).split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != 2)
            continue;
        const QString text = QString::fromUtf8(fields.at(1));
        const QDateTime iso = QDateTime::fromString(text, Qt::ISODate);
        history.insert(QString::fromUtf8(fields.at(0)),
                       iso.isValid()
                           ? iso
                           : QDateTime::fromString(QString(text).replace('_', ' '), Qt::TextDate));
    }
    return history;
}

// True when `part` appears in `lines` in its order (not necessarily together).
bool isSubsequence(const QStringList &part, const QStringList &lines)
{
    int next = 0;
    for (const QString &line : lines) {
        if (next < part.size() && line == part.at(next))
            ++next;
    }
    return next == part.size();
}

// Commands for a put of `size` bytes as `name` and the check of its size.
QStringList storeCommands(qint64 size, const QString &name)
{
    return { "TYPE I", "PASV", "ALLO " + QString::number(size), "STOR " + name, "SIZE " + name };
}

const int runTimeoutMs = 30000;

// How a run without zipped entries ends once every server has closed,
// having missed `missed` entries.
QStringList closingLines(int missed)
{
    return { "All files have been transferred",
             "All zipped files have been transferred",
             "All zipped folders have been transferred",
             "Exiting...",
             "Exit successful",
             outcomeLine(missed) };
}

const char archiverScript[] = MIRVO_TEST_SUPPORT_DIR "/recording-archiver";

} // namespace

// mirvo connects to port 21 only, so each test server listens on port 21 of a
// loopback address of its own, which only root may do.
#define REQUIRE_PORT_21()                                                                          \
    do {                                                                                           \
        if (::geteuid() != 0)                                                                      \
            QSKIP("needs root: mirvo connects to port 21, so each test server listens on "         \
                  "port 21 of a loopback address of its own");                                     \
    } while (false)

class TestUploads : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void runWithoutServers();

    void healthyServer_data();
    void healthyServer();
    void unreachableServerBesideAWorkingOne();
    void twoServersOneSlow();
    void refusedUploadKeepsHistory();
    void remotePaths_data();
    void remotePaths();
    void remoteFolderIsAPlainFile();
    void namesBeyondLatin1_data();
    void namesBeyondLatin1();
    void truncatedUploadFails();
    void faults_data();
    void faults();
    void indexNotUploaded();
    void interruptedRun();
    void replacements_data();
    void replacements();
    void timeZoneChangeBetweenRuns();
    void bigFileStreams();
    void hostForms_data();
    void hostForms();
    void oldDatedFoldersPrunedOnServer_data();
    void oldDatedFoldersPrunedOnServer();

private:
    QString ftpLine(const FtpTestServer &server, const QString &remotePath,
                    const QString &host = QString()) const;
    QString ftpLine(const QString &host, const QString &remotePath) const;
    void writeConfiguration(const QString &servers, const QString &entries,
                            const QString &archiver = QStringLiteral(MIRVO_ARCHIVER_BINARY));
    // Runs mirvo in the working directory until `lastLine` (and a little
    // longer, so that a line logged too many shows); returns its lines.
    QStringList runMirvo(const QString &lastLine = QStringLiteral("Exit successful"),
                         int settleMs = 300, const QStringList &environment = {});
    QStringList copyLines(const QString &source, const QString &name) const;
    // The lines up to the start of the run, with one server that logs in and finds its folders.
    QStringList readyLines(const QString &prefix) const;
    // The lines of a file entry whose upload the server refused or lost.
    QStringList failedUploadLines(const QString &source, const QString &prefix,
                                  const QString &reason) const;
    QString path(const QString &relative) const { return work->filePath(relative); }

    std::unique_ptr<QTemporaryDir> work;
    QString date;
    QString saves;
    QDateTime runStart;
    QDateTime runEnd;
    mutable StringCipher cipher;
};

void TestUploads::init()
{
    work = std::make_unique<QTemporaryDir>();
    QVERIFY(work->isValid());
    date = MirvoProcess::datedFolderName();
    saves = path(QStringLiteral("saves"));
    QVERIFY(QDir().mkpath(saves + "/latest"));
    QVERIFY(QDir().mkpath(saves + "/" + date));
    writeFile(path(QStringLiteral("previous")), QByteArray());
    cipher.setKey(passwordCipherKey);
}

void TestUploads::cleanup()
{
    work.reset();
}

QString TestUploads::ftpLine(const FtpTestServer &server, const QString &remotePath,
                             const QString &host) const
{
    return "ftp=" + (host.isEmpty() ? server.address() : host) + " " + server.user() + " "
        + cipher.encipherText(server.password()) + " " + remotePath + "\n";
}

QString TestUploads::ftpLine(const QString &host, const QString &remotePath) const
{
    return "ftp=" + host + " mirvo " + cipher.encipherText(QStringLiteral("secret")) + " "
        + remotePath + "\n";
}

void TestUploads::writeConfiguration(const QString &servers, const QString &entries,
                                     const QString &archiver)
{
    writeFile(path(QStringLiteral("config.txt")),
              ("winrar=" + archiver + "\n" + servers + "path=" + saves + "\n" + entries).toUtf8());
}

QStringList TestUploads::runMirvo(const QString &lastLine, int settleMs,
                                  const QStringList &environment)
{
    MirvoProcess mirvo(work->path());
    runStart = QDateTime::currentDateTime();
    if (!mirvo.start(environment))
        return { "(mirvo did not start)" };
    const bool ended = mirvo.waitForLine(lastLine, runTimeoutMs);
    runEnd = QDateTime::currentDateTime();
    if (ended)
        QTest::qWait(settleMs);
    QStringList lines = mirvo.lines();
    mirvo.stop();
    if (!ended)
        lines << "(no \"" + lastLine + "\" within the time allowed)";
    return lines;
}

QStringList TestUploads::copyLines(const QString &source, const QString &name) const
{
    return { source + " has been copied to " + saves + "/latest/" + name,
             source + " has been copied to " + saves + "/" + date + "/" + name };
}

QStringList TestUploads::readyLines(const QString &prefix) const
{
    return { "Initializing " + prefix,
             "Initializing " + saves,
             prefix + " is connected",
             prefix + " is logged in",
             prefix + " All directories up to date, ready to transfer",
             "All FTPs ready to transfer" };
}

QStringList TestUploads::failedUploadLines(const QString &source, const QString &prefix,
                                           const QString &reason) const
{
    return copyLines(source, QFileInfo(source).fileName())
        + QStringList { "Beginning transfer of " + source,
                        prefix + " failed to transfer file: " + reason };
}

// Without servers the whole run happens at start-up: an empty configuration
// gives the closing lines alone; otherwise the change test, the archiver's
// command lines and its failure, and the history left behind.
void TestUploads::runWithoutServers()
{
    // Ahead of the sources' creation, which is their last status change.
    const auto at = [](int second) {
        return QDateTime(QDate::currentDate().addDays(2), QTime(5, 6, second));
    };
    writeFile(path(QStringLiteral("config.txt")), "winrar=" + QByteArray(archiverScript) + "\n");
    QFile::remove(path(QStringLiteral("previous")));
    QCOMPARE(
        runMirvo(QStringLiteral("Exiting...")),
        (QStringList { "No previous transfer file: every entry is backed up",
                       "All files have been transferred", "All zipped files have been transferred",
                       "All zipped folders have been transferred", "Exiting...", outcomeLine(0) }));
    QCOMPARE(readFile(path(QStringLiteral("previous"))), QByteArray());

    const QString unchanged = path(QStringLiteral("src/unchanged.txt"));
    const QString equal = path(QStringLiteral("src/equal.txt"));
    const QString fresh = path(QStringLiteral("src/fresh.txt"));
    const QString report = path(QStringLiteral("src/report.txt"));
    const QString photos = path(QStringLiteral("src/photos"));
    for (const QString &file : { unchanged, equal, fresh, report, photos + "/beach.jpg" })
        writeFile(file, QFileInfo(file).fileName().toUtf8());
    ageTree(path(QStringLiteral("src")));
    setModified(equal, at(0));
    setModified(unchanged, at(0));
    writeFile(saves + "/latest/unchanged.txt", "unchanged.txt");
    const QString reportTime = historyText(at(30));
    writeFile(path(QStringLiteral("previous")),
              (equal + " " + historyText(at(0)) + "\n" + report + " " + reportTime + "\n"
               + unchanged + " " + historyText(at(1)) + "\n")
                  .toUtf8());
    writeConfiguration(QString(),
                       "file=" + unchanged + " unchanged.txt\nfile=" + equal
                           + " equal.txt\nfile=" + fresh + " fresh.txt\nzippedfile=" + report
                           + " report\nzippedfolder=" + photos + " photos\n",
                       archiverScript);
    const QString calls = path(QStringLiteral("archiver-calls.txt"));

    const QStringList lines
        = runMirvo(QStringLiteral("Exiting..."), 300,
                   { "MIRVO_ARCHIVER_LOG=" + calls, "MIRVO_ARCHIVER_REAL=" MIRVO_ARCHIVER_BINARY,
                     "MIRVO_ARCHIVER_FAIL=report.zip" });

    QStringList expected { "Initializing " + saves,
                           "No modification for " + unchanged + ", no need to transfer again" };
    for (const QString &source : { equal, fresh })
        expected << copyLines(source, QFileInfo(source).fileName())
                 << "Beginning transfer of " + source;
    expected << "All files have been transferred" << report + " cannot be zipped"
             << "All zipped files have been transferred" << photos + " has been zipped"
             << copyLines("photos.zip", "photos.zip") << "Beginning transfer of photos.zip"
             << "All zipped folders have been transferred"
             << "Exiting..." << outcomeLine(1);
    if (lines != expected)
        qWarning() << lines;
    QCOMPARE(lines, expected);
    // The archives are made in a private folder of the working folder.
    const QString made = path(QStringLiteral("$P/"));
    QCOMPARE(QString::fromUtf8(readFile(calls))
                 .replace(QRegularExpression("/\\.mirvo-archives-\\w{6}"), "/$P"),
             "a\t-ep1\t-m5\t" + made + "report.zip\t" + report + "\na\t-ep1\t-m5\t-r\t" + made
                 + "photos.zip\t" + photos + "\n");
    QVERIFY(!QFileInfo::exists(saves + "/" + date + "/unchanged.txt"));
    QVERIFY(!QFileInfo::exists(saves + "/latest/report.zip"));
    QCOMPARE(readFile(saves + "/" + date + "/photos.zip"), readFile(saves + "/latest/photos.zip"));

    const QMap<QString, QDateTime> history = historyOf(path(QStringLiteral("previous")));
    QCOMPARE(history.keys(), (QStringList { equal, fresh, photos, report, unchanged }));
    QCOMPARE(history.value(unchanged), at(1));
    QCOMPARE(history.value(report), at(30));
    const QDateTime startSecond = runStart.addMSecs(-runStart.time().msec());
    for (const QString &handled : { equal, fresh, photos })
        QVERIFY(history.value(handled) >= startSecond && history.value(handled) <= runEnd);
}

// One server, remote path backup/site where only backup exists: the
// folders are made, every kind of entry is uploaded twice, and the local
// and remote trees hold the same bytes. A second run the same day finds
// everything in place and unchanged.
void TestUploads::healthyServer_data()
{
    addServerKindRows();
}

void TestUploads::healthyServer()
{
    REQUIRE_PORT_21();
    QFETCH(int, kind);
    SKIP_UNLESS_USABLE(kind);
    QTemporaryDir serverRoot;
    QVERIFY(QDir().mkpath(serverRoot.filePath(QStringLiteral("backup"))));
    FtpTestServer server { FtpTestServer::Kind(kind) };
    FtpTestServer::Options options;
    options.root = serverRoot.path();
    QVERIFY2(startOnPort21(server, options), qPrintable(server.errorString()));

    const QString notes = path(QStringLiteral("src/notes.txt"));
    const QString big = path(QStringLiteral("src/big.bin"));
    const QString report = path(QStringLiteral("src/report.txt"));
    const QString photos = path(QStringLiteral("src/photos"));
    writeFile(notes, "Things to remember\n");
    writeFile(big, sampleBytes(3 * 1024 * 1024 + 7, 'b'));
    writeFile(report, sampleBytes(20000, 'r'));
    writeFile(photos + "/2025/beach.jpg", sampleBytes(3000, 'p'));
    ageTree(path(QStringLiteral("src")));
    QFile::remove(path(QStringLiteral("previous")));
    QVERIFY(QDir(saves).removeRecursively());
    QVERIFY(QDir().mkpath(saves));
    writeConfiguration(ftpLine(server, QStringLiteral("backup/site")),
                       "file=" + notes + " notes.txt\nfile=" + big + " big.bin\nzippedfile="
                           + report + " report\nzippedfolder=" + photos + " photos\n");

    const QString prefix = server.address() + " - backup/site";
    const QStringList lines = runMirvo();
    if (MirvoProcess::datedFolderName() != date)
        QSKIP("the date changed during the test");

    QStringList expected { "No previous transfer file: every entry is backed up",
                           "Initializing " + prefix,
                           saves + "/latest created",
                           saves + "/" + date + " created",
                           "Initializing " + saves,
                           prefix + " is connected",
                           prefix + " is logged in",
                           prefix + " All directories up to date, ready to transfer",
                           "All FTPs ready to transfer" };
    for (const QString &source : { notes, big }) {
        const QString name = QFileInfo(source).fileName();
        expected << copyLines(source, name) << "Beginning transfer of " + source
                 << "Transfer of " + source + " done";
    }
    expected << "All files have been transferred" << report + " has been zipped"
             << copyLines("report.zip", "report.zip") << "Beginning transfer of report.zip"
             << "Transfer of " + report + ".zip done"
             << "All zipped files have been transferred" << photos + " has been zipped"
             << copyLines("photos.zip", "photos.zip") << "Beginning transfer of photos.zip"
             << "Transfer of " + photos + ".zip done"
             << "All zipped folders have been transferred"
             << "Exiting..."
             << "Exit successful" << outcomeLine(0);
    if (lines != expected)
        qWarning() << lines;
    QCOMPARE(lines, expected);

    const QStringList names { "big.bin", "notes.txt", "photos.zip", "report.zip" };
    // The archives themselves go with the run: their local copies stand for them.
    const QStringList sources { big, notes, saves + "/latest/photos.zip",
                                saves + "/latest/report.zip" };
    QStringList expectedCommands { "USER " + server.user(),
                                   "PASS ****",
                                   "FEAT",
                                   "TYPE A",
                                   "PASV",
                                   "LIST",
                                   "CWD backup",
                                   "TYPE A",
                                   "PASV",
                                   "LIST",
                                   "MKD site",
                                   "CWD site",
                                   "TYPE A",
                                   "PASV",
                                   "LIST",
                                   "MKD latest",
                                   "MKD " + date };
    // Where the server sets times, each copy gets its source's (an
    // archive's own); at the end, the indexes go up.
    const bool setsTimes = kind == FtpTestServer::PyFtpdlib;
    const QString site = serverRoot.filePath(QStringLiteral("backup/site"));
    const QStringList uploadOrder { "notes.txt", "big.bin", "report.zip", "photos.zip" };
    for (const QString &name : uploadOrder) {
        const qint64 size = QFileInfo(sources.at(names.indexOf(name))).size();
        for (const QString &copy : { "latest/" + name, date + "/" + name }) {
            expectedCommands << storeCommands(size, copy);
            if (setsTimes)
                expectedCommands << "MFMT " + copy;
        }
    }
    for (const QString &index : QStringList { "latest/mirvo index.txt", date + "/mirvo index.txt" })
        expectedCommands << storeCommands(QFileInfo(site + "/" + index).size(), index);
    expectedCommands << "QUIT";
    QStringList commands = server.commands();
    QCOMPARE(commands.replaceInStrings(QRegularExpression("^MFMT \\d{14} "), "MFMT "),
             expectedCommands);
    if (setsTimes)
        QCOMPARE(QFileInfo(site + "/latest/notes.txt").lastModified(),
                 QFileInfo(notes).lastModified().addMSecs(
                     -QFileInfo(notes).lastModified().time().msec()));

    // Both trees hold every entry twice, byte for byte, and say what they hold.
    QStringList expectedTree { "latest", date, "latest/mirvo index.txt",
                               date + "/mirvo index.txt" };
    for (const QString &name : names)
        expectedTree << "latest/" + name << date + "/" + name;
    expectedTree.sort();
    QCOMPARE(treeOf(site), expectedTree);
    const QStringList savedTree = expectedTree;
    QCOMPARE(treeOf(saves), savedTree);
    for (const QString &index : QStringList { "latest/mirvo index.txt", date + "/mirvo index.txt" })
        QCOMPARE(readFile(site + "/" + index), readFile(saves + "/" + index));
    for (int i = 0; i < names.size(); ++i) {
        const QByteArray content = readFile(sources.at(i));
        for (const QString &folder : { site, saves }) {
            QVERIFY2(readFile(folder + "/latest/" + names.at(i)) == content,
                     qPrintable(names.at(i)));
            QVERIFY2(readFile(folder + "/" + date + "/" + names.at(i)) == content,
                     qPrintable(names.at(i)));
        }
    }

    const QMap<QString, QDateTime> history = historyOf(path(QStringLiteral("previous")));
    QCOMPARE(history.keys(), (QStringList { big, notes, photos, report }));
    const QDateTime startSecond = runStart.addMSecs(-runStart.time().msec());
    for (const QDateTime &time : history)
        QVERIFY(time >= startSecond && time <= runEnd);

    // Same day, nothing changed: the folders are found, nothing is sent.
    const QStringList again = runMirvo();
    QStringList expectedAgain = readyLines(prefix);
    for (const QString &source : { notes, big })
        expectedAgain << "No modification for " + source + ", no need to transfer again";
    expectedAgain << "All files have been transferred"
                  << "No modification for " + report + ", no need to transfer again"
                  << "All zipped files have been transferred"
                  << "No modification for " + photos + ", no need to transfer again"
                  << "All zipped folders have been transferred"
                  << "Exiting..."
                  << "Exit successful" << outcomeLine(0);
    QCOMPARE(again, expectedAgain);
    const QStringList sentAgain = server.commands().mid(commands.size());
    QCOMPARE(sentAgain.mid(0, 14),
             (QStringList { "USER " + server.user(), "PASS ****", "FEAT", "TYPE A", "PASV", "LIST",
                            "CWD backup", "TYPE A", "PASV", "LIST", "CWD site", "TYPE A", "PASV",
                            "LIST" }));
    QCOMPARE(
        sentAgain.mid(14),
        (QStringList { "TYPE A", "PASV", "LIST latest", "TYPE A", "PASV", "LIST " + date, "TYPE I",
                       "SIZE latest/mirvo index.txt", "PASV", "RETR latest/mirvo index.txt",
                       "TYPE I", "SIZE " + date + "/mirvo index.txt", "PASV",
                       "RETR " + date + "/mirvo index.txt", "QUIT" }));
    QCOMPARE(historyOf(path(QStringLiteral("previous"))), history);

    // The server's latest copy of notes.txt is deleted, a save folder is
    // added and an older file is moved into photos: notes.txt goes to the
    // server only, photos to every destination, and the new folder gets all.
    const QString added = path(QStringLiteral("added"));
    QVERIFY(QDir().mkpath(added));
    QVERIFY(QFile::remove(site + "/latest/notes.txt"));
    writeFile(path(QStringLiteral("old.jpg")), "an old photo");
    ageTree(path(QStringLiteral("old.jpg")));
    QVERIFY(QFile::rename(path(QStringLiteral("old.jpg")), photos + "/2025/old.jpg"));
    setModified(photos + "/2025", QDateTime::currentDateTime().addYears(-1));
    writeFile(path(QStringLiteral("config.txt")),
              readFile(path(QStringLiteral("config.txt"))) + "path=" + added.toUtf8() + "\n");
    const int before = server.commands().size();
    runMirvo();
    QCOMPARE(
        server.commands().mid(before).filter(QRegularExpression("^STOR ")),
        (QStringList { "STOR latest/notes.txt", "STOR " + date + "/.notes.txt.upload",
                       "STOR latest/.photos.zip.upload", "STOR " + date + "/.photos.zip.upload",
                       "STOR latest/.mirvo index.txt.upload",
                       "STOR " + date + "/.mirvo index.txt.upload" }));
    QCOMPARE(treeOf(site), expectedTree);
    QCOMPARE(treeOf(added), savedTree);
    // The same lines, in the order each index took them.
    for (const QString &index :
         QStringList { "latest/mirvo index.txt", date + "/mirvo index.txt" }) {
        QList<QByteArray> onServer = readFile(site + "/" + index).split('\n');
        QList<QByteArray> inFolder = readFile(added + "/" + index).split('\n');
        std::sort(onServer.begin(), onServer.end());
        std::sort(inFolder.begin(), inFolder.end());
        QCOMPARE(onServer, inFolder);
    }
    QVERIFY(readFile(site + "/latest/photos.zip") == readFile(added + "/latest/photos.zip"));
    QVERIFY(readFile(site + "/latest/notes.txt") == readFile(notes));
    QCOMPARE(historyOf(path(QStringLiteral("previous"))).size(), 4);
}

// The first server is unreachable: it is given up, the run goes on with the
// second one and starts exactly once.
void TestUploads::unreachableServerBesideAWorkingOne()
{
    REQUIRE_PORT_21();
    const QString closed = freeLoopbackAddress();
    QVERIFY(!closed.isEmpty());
    FtpTestServer server { FtpTestServer::PyFtpdlib };
    QVERIFY2(startOnPort21(server, {}), qPrintable(server.errorString()));
    QVERIFY(QDir().mkpath(server.root() + "/backup"));
    const QString notes = path(QStringLiteral("src/notes.txt"));
    writeFile(notes, "notes");
    writeConfiguration(ftpLine(closed, QStringLiteral("backup"))
                           + ftpLine(server, QStringLiteral("backup")),
                       "file=" + notes + " notes.txt\n");

    const QStringList lines = runMirvo();

    const QString dead = closed + " - backup";
    const QString alive = server.address() + " - backup";
    const QStringList start { "Initializing " + dead, "Initializing " + alive,
                              "Initializing " + saves };
    QStringList end = copyLines(notes, QStringLiteral("notes.txt"));
    end << "Beginning transfer of " + notes << "Transfer of " + notes + " done" << closingLines(1);
    QVERIFY2(lines.size() > start.size() + end.size(), qPrintable(lines.join('\n')));
    QCOMPARE(lines.mid(0, start.size()), start);
    QCOMPARE(lines.mid(lines.size() - end.size()), end);

    // In between, the two servers' lines in either order; the ready line
    // only when the working server was the last to be settled.
    const QStringList middle = lines.mid(start.size(), lines.size() - start.size() - end.size());
    const QStringList deadLines { dead + " cannot connect: Connection refused to host " + closed,
                                  dead + " stopping" };
    const QStringList aliveLines { alive + " is connected", alive + " is logged in",
                                   alive + " All directories up to date, ready to transfer" };
    QVERIFY2(isSubsequence(deadLines, middle), qPrintable(middle.join('\n')));
    QVERIFY2(isSubsequence(aliveLines, middle), qPrintable(middle.join('\n')));
    const bool readyLast = middle.indexOf(aliveLines.last()) > middle.indexOf(deadLines.last());
    QCOMPARE(middle.size(), deadLines.size() + aliveLines.size() + (readyLast ? 1 : 0));
    if (readyLast)
        QCOMPARE(middle.last(), QStringLiteral("All FTPs ready to transfer"));

    QCOMPARE(readFile(server.root() + "/backup/latest/notes.txt"), QByteArray("notes"));
    QCOMPARE(readFile(server.root() + "/backup/" + date + "/notes.txt"), QByteArray("notes"));
    // The given-up server missed the entry: the next run, with that server
    // up, sends it again.
    QVERIFY(!historyOf(path(QStringLiteral("previous"))).contains(notes));
    FtpTestServer revived { FtpTestServer::PyFtpdlib };
    FtpTestServer::Options options;
    options.address = closed;
    options.port = 21;
    QVERIFY2(revived.start(options), qPrintable(revived.errorString()));
    runMirvo();
    QCOMPARE(readFile(revived.root() + "/backup/" + date + "/notes.txt"), QByteArray("notes"));
    QVERIFY(historyOf(path(QStringLiteral("previous"))).contains(notes));
}

// Two servers, one slow: an entry is done once, when the slower one has
// finished both its uploads.
void TestUploads::twoServersOneSlow()
{
    REQUIRE_PORT_21();
    FtpTestServer slow { FtpTestServer::PyFtpdlib };
    FtpTestServer fast { FtpTestServer::Vsftpd };
    FtpTestServer::Options slowOptions;
    slowOptions.throttle = 128 * 1024;
    QVERIFY2(startOnPort21(slow, slowOptions), qPrintable(slow.errorString()));
    FtpTestServer fallback { FtpTestServer::PyFtpdlib };
    FtpTestServer &quick = FtpTestServer::vsftpdUsable() ? fast : fallback;
    QVERIFY2(startOnPort21(quick, {}), qPrintable(quick.errorString()));

    const QString big = path(QStringLiteral("src/big.bin"));
    const QString small = path(QStringLiteral("src/small.txt"));
    const QByteArray bigContent = sampleBytes(96 * 1024, 'x');
    writeFile(big, bigContent);
    writeFile(small, "small");
    writeConfiguration(ftpLine(slow, QStringLiteral("slow")) + ftpLine(quick, QStringLiteral("up")),
                       "file=" + big + " big.bin\nfile=" + small + " small.txt\n");

    MirvoProcess mirvo(work->path());
    QVERIFY(mirvo.start());
    QVERIFY2(mirvo.waitForLine("Transfer of " + big + " done", runTimeoutMs),
             qPrintable(mirvo.lines().join('\n')));
    // At that moment the slow server holds both copies, complete.
    const QString slowSite = slow.root() + "/slow";
    QCOMPARE(QFileInfo(slowSite + "/latest/big.bin").size(), qint64(bigContent.size()));
    QCOMPARE(QFileInfo(slowSite + "/" + date + "/big.bin").size(), qint64(bigContent.size()));
    QVERIFY(mirvo.waitForLine(QStringLiteral("Exit successful"), runTimeoutMs));
    QTest::qWait(300);
    const QStringList lines = mirvo.lines();
    mirvo.stop();

    QCOMPARE(lines.count("Transfer of " + big + " done"), 1);
    QCOMPARE(lines.count("Transfer of " + small + " done"), 1);
    QCOMPARE(lines.count("All FTPs ready to transfer"), 1);
    QCOMPARE(lines.count("Exit successful"), 1);
    QStringList run { "All FTPs ready to transfer" };
    run << copyLines(big, "big.bin") << "Beginning transfer of " + big
        << "Transfer of " + big + " done" << copyLines(small, "small.txt")
        << "Beginning transfer of " + small << "Transfer of " + small + " done" << closingLines(0);
    QCOMPARE(lines.mid(lines.size() - run.size()), run);
    for (const QString &root : { slowSite, quick.root() + "/up" }) {
        QCOMPARE(readFile(root + "/latest/big.bin"), bigContent);
        QCOMPARE(readFile(root + "/" + date + "/small.txt"), QByteArray("small"));
    }
}

// A server that refuses uploads stays in use, the entry ends with its
// "Transfer of" line, and the history is left as it was, so that the next
// run tries again.
void TestUploads::refusedUploadKeepsHistory()
{
    REQUIRE_PORT_21();
    FtpTestServer server { FtpTestServer::PyFtpdlib };
    FtpTestServer::Options options;
    options.perm = QStringLiteral("elradfmMT"); // everything but storing
    QVERIFY2(startOnPort21(server, options), qPrintable(server.errorString()));
    QVERIFY(QDir().mkpath(server.root() + "/backup"));
    const QString seen = path(QStringLiteral("src/seen.txt"));
    const QString fresh = path(QStringLiteral("src/fresh.txt"));
    writeFile(seen, "seen");
    writeFile(fresh, "fresh");
    const QString oldTime = historyText(QDateTime(QDate(2020, 2, 3), QTime(4, 5, 6)));
    writeFile(path(QStringLiteral("previous")), (seen + " " + oldTime + "\n").toUtf8());
    writeConfiguration(ftpLine(server, QStringLiteral("backup")),
                       "file=" + seen + " seen.txt\nfile=" + fresh + " fresh.txt\n");

    const QStringList lines = runMirvo();

    const QString prefix = server.address() + " - backup";
    QStringList expected = readyLines(prefix);
    for (const QString &source : { seen, fresh })
        expected << failedUploadLines(source, prefix, QStringLiteral("550 Not enough privileges."));
    expected << closingLines(2);
    if (lines != expected)
        qWarning() << lines;
    QCOMPARE(lines, expected);

    // The dated upload, queued behind the refused one, is never sent.
    const QStringList stores = server.commands().filter(QRegularExpression("^STOR "));
    QCOMPARE(stores, (QStringList { "STOR latest/seen.txt", "STOR latest/fresh.txt" }));
    const QMap<QString, QDateTime> history = historyOf(path(QStringLiteral("previous")));
    QCOMPARE(historyText(history.value(seen)), oldTime);
    QVERIFY(!history.contains(fresh));
    QCOMPARE(readFile(saves + "/latest/fresh.txt"), QByteArray("fresh"));
}

// Remote paths with an empty folder name are refused before any
// connection; backslashes count as slashes.
void TestUploads::remotePaths_data()
{
    QTest::addColumn<QString>("remotePath");
    QTest::addColumn<int>("emptyNames");
    QTest::addColumn<QString>("usedPath");
    QTest::newRow("leading slash") << "/backup" << 1 << "/backup";
    QTest::newRow("doubled slash") << "backup//site" << 1 << "backup//site";
    QTest::newRow("trailing backslash, two empty names") << "\\backup\\" << 2 << "/backup/";
    QTest::newRow("empty") << "" << 1 << "";
    QTest::newRow("backslashes") << "backup\\site" << 0 << "backup/site";
    QTest::newRow("root, written as a full stop") << "." << 0 << ".";
    QTest::newRow("spaces") << "my backups/My Laptop" << 0 << "my backups/My Laptop";
}

void TestUploads::remotePaths()
{
    REQUIRE_PORT_21();
    QFETCH(QString, remotePath);
    QFETCH(int, emptyNames);
    QFETCH(QString, usedPath);
    FtpTestServer server { FtpTestServer::PyFtpdlib };
    QVERIFY2(startOnPort21(server, {}), qPrintable(server.errorString()));
    QVERIFY(QDir().mkpath(server.root() + "/backup/site"));
    const QString notes = path(QStringLiteral("src/notes.txt"));
    writeFile(notes, "notes");
    writeConfiguration(ftpLine(server, remotePath), "file=" + notes + " notes.txt\n");

    const QString configured = server.address() + " - " + remotePath;
    const QString prefix = server.address() + " - " + usedPath;
    QStringList expected { "Initializing " + configured };
    for (int i = 0; i < emptyNames; ++i)
        expected << prefix + " invalid directory name";
    expected << "Initializing " + saves;
    if (emptyNames == 0) {
        expected << prefix + " is connected" << prefix + " is logged in"
                 << prefix + " All directories up to date, ready to transfer"
                 << "All FTPs ready to transfer";
    }
    QStringList runEnd = copyLines(notes, QStringLiteral("notes.txt"));
    runEnd << "Beginning transfer of " + notes;
    if (emptyNames == 0)
        runEnd << "Transfer of " + notes + " done";
    runEnd << "All files have been transferred"
           << "All zipped files have been transferred"
           << "All zipped folders have been transferred"
           << "Exiting...";
    if (emptyNames == 0)
        runEnd << "Exit successful";
    expected << runEnd << outcomeLine(emptyNames == 0 ? 0 : 1);

    const QStringList lines = runMirvo(expected.last());
    if (lines != expected)
        qWarning() << lines;
    QCOMPARE(lines, expected);
    if (emptyNames > 0) {
        QCOMPARE(server.commands(), QStringList());
    } else {
        const QString target = server.root() + "/" + usedPath;
        QCOMPARE(readFile(target + "/latest/notes.txt"), QByteArray("notes"));
        QCOMPARE(readFile(target + "/" + date + "/notes.txt"), QByteArray("notes"));
        // Folders that always exist are entered, never created.
        QVERIFY(!server.commands().contains(QStringLiteral("MKD .")));
    }
}

// A folder of the remote path is a plain file on the server: creating it
// fails, the server is given up and the run goes on with local copies only;
// the given-up server is still closed at the end.
void TestUploads::remoteFolderIsAPlainFile()
{
    REQUIRE_PORT_21();
    FtpTestServer server { FtpTestServer::PyFtpdlib };
    QVERIFY2(startOnPort21(server, {}), qPrintable(server.errorString()));
    writeFile(server.root() + "/backup", "a plain file");
    const QString notes = path(QStringLiteral("src/notes.txt"));
    writeFile(notes, "notes");
    writeConfiguration(ftpLine(server, QStringLiteral("backup")), "file=" + notes + " notes.txt\n");

    const QStringList lines = runMirvo();

    const QString prefix = server.address() + " - backup";
    QStringList expected { "Initializing " + prefix,
                           "Initializing " + saves,
                           prefix + " is connected",
                           prefix + " is logged in",
                           prefix + " cannot initialize transfer: 550 File exists.",
                           prefix + " stopping" };
    expected << copyLines(notes, QStringLiteral("notes.txt")) << "Beginning transfer of " + notes
             << closingLines(1);
    if (lines != expected)
        qWarning() << lines;
    QCOMPARE(lines, expected);
    QCOMPARE(server.commands(),
             (QStringList { "USER mirvo", "PASS ****", "FEAT", "TYPE A", "PASV", "LIST",
                            "MKD backup", "QUIT" }));
    QVERIFY(!historyOf(path(QStringLiteral("previous"))).contains(notes));
}

// File names, backup names, the remote path and a dated folder named under a
// Russian locale, all outside Latin-1, reach the server as they are: two
// names that share their length no longer land on one file, and a second
// run the same day finds every folder instead of asking to make it again.
void TestUploads::namesBeyondLatin1_data()
{
    addServerKindRows();
}

void TestUploads::namesBeyondLatin1()
{
    REQUIRE_PORT_21();
    QFETCH(int, kind);
    SKIP_UNLESS_USABLE(kind);
    FtpTestServer server { FtpTestServer::Kind(kind) };
    QVERIFY2(startOnPort21(server, {}), qPrintable(server.errorString()));
    const QString japan = path(QStringLiteral("src/\u65e5\u672c.txt"));
    const QString china = path(QStringLiteral("src/\u4e2d\u56fd.txt"));
    writeFile(japan, "nihon");
    writeFile(china, "zhongguo");
    ageTree(path(QStringLiteral("src")));
    const QString remotePath = QStringLiteral("backups/\u65e5\u672c");
    writeConfiguration(ftpLine(server, remotePath),
                       "file=" + japan + " \u65e5\u672c.txt\nfile=" + china
                           + " \u4e2d\u56fd.txt\n");
    const QStringList russian { QStringLiteral("LC_ALL=ru_RU.UTF-8") };
    const QString dated = QLocale(QStringLiteral("ru_RU"))
                              .toString(QDate::currentDate(), QStringLiteral("yyyy_MMM_dd_(ddd)"));
    const QString ready
        = server.address() + " - " + remotePath + " All directories up to date, ready to transfer";

    const QStringList lines = runMirvo(QStringLiteral("Exit successful"), 300, russian);
    QVERIFY2(lines.contains(ready), qPrintable(lines.join('\n')));
    QVERIFY2(lines.filter(QStringLiteral("failed to transfer")).isEmpty(),
             qPrintable(lines.join('\n')));
    const QString site = server.root() + "/" + remotePath;
    for (const QString &folder : { QStringLiteral("latest"), dated }) {
        QCOMPARE(readFile(site + "/" + folder + "/\u65e5\u672c.txt"), QByteArray("nihon"));
        QCOMPARE(readFile(site + "/" + folder + "/\u4e2d\u56fd.txt"), QByteArray("zhongguo"));
    }

    const int before = server.commands().size();
    const QStringList again = runMirvo(QStringLiteral("Exit successful"), 300, russian);
    if (QLocale(QStringLiteral("ru_RU")).toString(QDate::currentDate(), "yyyy_MMM_dd_(ddd)")
        != dated)
        QSKIP("the date changed during the test");
    QVERIFY2(again.contains(ready), qPrintable(again.join('\n')));
    const QStringList commands = server.commands().mid(before);
    QVERIFY2(commands.filter(QRegularExpression("^MKD")).isEmpty(),
             qPrintable(commands.join('\n')));
}

// The server keeps 100 bytes of the first upload, closes the data
// connection and answers 226: the upload has failed all the same, and is
// resumed after a new login where the server's part ends. A source that
// cannot be read part way fails its upload, and is not tried again.
void TestUploads::truncatedUploadFails()
{
    REQUIRE_PORT_21();
    FtpTestServer server { FtpTestServer::PyFtpdlib };
    FtpTestServer::Options options;
    options.cutStores = 1;
    QVERIFY2(startOnPort21(server, options), qPrintable(server.errorString()));
    const QString big = path(QStringLiteral("src/big.bin"));
    const QString mem = QStringLiteral("/proc/self/mem"); // opens, but reading at its start fails
    writeFile(big, sampleBytes(24 * 1024 * 1024, 't'));
    ageTree(big);
    writeConfiguration(ftpLine(server, QStringLiteral(".")),
                       "file=" + big + " big.bin\nfile=" + mem + " mem\n");
    const QStringList copies { server.root() + "/latest/big.bin",
                               server.root() + "/" + date + "/big.bin" };
    for (const QString &copy : copies)
        writeFile(copy, "the good old copy");

    const QString prefix = server.address() + " - .";
    QStringList expected = readyLines(prefix) + copyLines(big, QStringLiteral("big.bin"));
    expected << "Beginning transfer of " + big
             << prefix
            + " Upload incomplete (Transfer complete.), trying again in 1 s (attempt 1 of 8)"
             << "Transfer of " + big + " done";
    for (const QString &folder : { saves + "/latest/mem", saves + "/" + date + "/mem" })
        expected << mem + " cannot be copied to " + folder;
    expected << failedUploadLines(mem, prefix,
                                  "The data to upload could not be read whole (Transfer complete.)")
                    .mid(2)
             << closingLines(1);
    QCOMPARE(runMirvo(QStringLiteral("Exit successful"), 300, { "MIRVO_RETRY_SCALE=0.01" }),
             expected);
    QVERIFY(server.commands().contains(QStringLiteral("REST 100")));
    for (const QString &copy : copies)
        QVERIFY(readFile(copy) == readFile(big));
    QCOMPARE(treeOf(server.root()).filter(QRegularExpression("upload|mem")), QStringList());
    QVERIFY(historyOf(path(QStringLiteral("previous"))).contains(big));
}

// Servers that drop, refuse and lie, against 300,000-byte entries f0.bin,
// f1.bin, ... new to the server or held there as "old" (with a leftover
// temporary name of an earlier run beside them). A failure that may pass
// is retried after a new login and costs nothing; a refusal fails the
// entry, says why and leaves the old copy or nothing, never a wrong copy
// under a real name; no temporary name stays. `line` (a wildcard pattern)
// must be among the lines, `command` (a regular expression) among what
// the server got; %s in a quirk stands for the first source.
void TestUploads::faults_data()
{
    QTest::addColumn<QStringList>("quirks");
    QTest::addColumn<bool>("held");
    QTest::addColumn<int>("files");
    QTest::addColumn<int>("missed");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("command");
    const QString retry = QStringLiteral("* - backup %1, trying again in 1 s (attempt 1 of 8)");
    QTest::newRow("control connection dropped at the 4th of 10 uploads")
        << QStringList { "--answer", "STOR:4:drop" } << false << 5 << 0
        << retry.arg("Connection closed by host *") << "";
    QTest::newRow("421 to an upload")
        << QStringList { "--answer", "STOR:2:421 Too many connections" } << false << 2 << 0
        << retry.arg("421 Too many connections") << "";
    QTest::newRow("450 to the size of a replacement, resumed at its end")
        << QStringList { "--answer", "SIZE:1:450 Busy" } << true << 1 << 0 << retry.arg("450 Busy")
        << "^REST 300000$";
    QTest::newRow("552 to an upload, not retried")
        << QStringList { "--answer", "STOR:1:552 Disk full" } << false << 1 << 1
        << "* - backup failed to transfer file: 552 Disk full"
        << "";
    QTest::newRow("data connection reset, new name: its part goes")
        << QStringList { "--reset-after", "100000" } << false << 1 << 0
        << retry.arg("426 Connection reset; transfer aborted.") << "^DELE latest/f0.bin$";
    QTest::newRow("data connection reset, replaced name: resumed")
        << QStringList { "--reset-after", "100000" } << true << 1 << 0
        << retry.arg("426 Connection reset; transfer aborted.") << "^REST 100000$";
    QTest::newRow("resumed, and checked by the server's HASH")
        << QStringList { "--reset-after", "100000", "--hash", "right" } << true << 1 << 0
        << retry.arg("426 Connection reset; transfer aborted.")
        << "^HASH latest/\\.f0\\.bin\\.upload$";
    QTest::newRow("resumed, and the server's HASH differs")
        << QStringList { "--reset-after", "100000", "--hash", "wrong" } << true << 1 << 1
        << "* - backup failed to transfer file: the server's SHA-256 of the resumed copy is "
           "not the source's"
        << "^OPTS HASH SHA-256$";
    QTest::newRow("553 to every RNTO: the old copy stays")
        << QStringList { "--answer", "RNTO:0:553 Not allowed" } << true << 1 << 1
        << "* - backup failed to transfer file: 553 Not allowed"
        << "";
    QTest::newRow("RNTO answered 250 without renaming")
        << QStringList { "--answer", "RNTO:0:250 OK" } << true << 1 << 1
        << "* - backup failed to transfer file: after the rename, the server holds 3 bytes of "
           "the 300000 sent"
        << "";
    QTest::newRow("550 to the size of what was just stored")
        << QStringList { "--answer", "SIZE:0:550 No such file" } << false << 1 << 1
        << "* - backup failed to transfer file: 550 No such file"
        << "^DELE latest/f0.bin$";
    QTest::newRow("a source that grows while it is sent")
        << QStringList { "--grow", "%s" } << false << 1 << 0
        << "*f0.bin changed while it was sent, it will be backed up again next run"
        << "";
    QTest::newRow("leftover of an interrupted run")
        << QStringList() << true << 1 << 0
        << "* - backup removed latest/.gone.bin.upload, "
           "left by an earlier run"
        << "^DELE latest/.gone.bin.upload$";
}

void TestUploads::faults()
{
    REQUIRE_PORT_21();
    QFETCH(QStringList, quirks);
    QFETCH(bool, held);
    QFETCH(int, files);
    QFETCH(int, missed);
    QFETCH(QString, line);
    QFETCH(QString, command);
    QString entries;
    QStringList sources;
    for (int i = 0; i < files; ++i) {
        sources << path(QStringLiteral("src/f%1.bin").arg(i));
        writeFile(sources.last(), sampleBytes(300000, char('a' + i)));
        entries += "file=" + sources.last() + QStringLiteral(" f%1.bin\n").arg(i);
    }
    quirks.replaceInStrings(QStringLiteral("%s"), sources.first());
    FtpTestServer server { FtpTestServer::PyFtpdlib };
    FtpTestServer::Options options;
    options.quirks = quirks;
    options.root = path(QStringLiteral("served"));
    const QString site = options.root + "/backup";
    QVERIFY(QDir().mkpath(site + "/latest") && QDir().mkpath(site + "/" + date));
    if (held) {
        writeFile(site + "/latest/.gone.bin.upload", "cut");
        for (int i = 0; i < files; ++i) {
            for (const QString &folder : { QStringLiteral("latest"), date })
                writeFile(site + QStringLiteral("/%1/f%2.bin").arg(folder).arg(i), "old");
        }
    }
    QVERIFY2(startOnPort21(server, options), qPrintable(server.errorString()));
    writeConfiguration(ftpLine(server, QStringLiteral("backup")), entries);

    const QStringList lines = runMirvo(QStringLiteral("Exit successful"), 300,
                                       { QStringLiteral("MIRVO_RETRY_SCALE=0.01") });
    QVERIFY2(lines.last() == outcomeLine(missed), qPrintable(lines.join('\n')));
    const QRegExp wanted(line, Qt::CaseSensitive, QRegExp::Wildcard);
    QVERIFY2(lines.indexOf(wanted) >= 0, qPrintable(lines.join('\n')));
    QCOMPARE(lines.filter(QRegularExpression("^Transfer of .* done$")).size(), files - missed);
    if (!command.isEmpty())
        QVERIFY2(!server.commands().filter(QRegularExpression(command)).isEmpty(),
                 qPrintable(server.commands().join('\n')));
    QCOMPARE(historyOf(path(QStringLiteral("previous"))).size(), files - missed);
    QCOMPARE(treeOf(site).filter(QStringLiteral(".upload")), QStringList());
    for (int i = 0; i < files; ++i) {
        const QString copy = site + QStringLiteral("/latest/f%1.bin").arg(i);
        if (i >= missed)
            QVERIFY2(readFile(copy) == readFile(sources.at(i)) || quirks.contains("--grow"),
                     qPrintable(copy));
        else if (held)
            QCOMPARE(readFile(copy), QByteArray("old"));
        else
            QVERIFY2(!QFileInfo::exists(copy), qPrintable(copy));
    }
    if (quirks.contains("--grow"))
        QVERIFY(historyOf(path(QStringLiteral("previous"))).value(sources.first())
                < QFileInfo(sources.first()).lastModified());
}

// The index of latest/ cannot be uploaded: the copy is whole, but the run
// is incomplete and forgets the entry, so that the next run sends it again
// and lists it.
void TestUploads::indexNotUploaded()
{
    REQUIRE_PORT_21();
    const QString source = path(QStringLiteral("src/f.bin"));
    writeFile(source, sampleBytes(3000, 'f'));
    FtpTestServer server { FtpTestServer::PyFtpdlib };
    FtpTestServer::Options options;
    options.quirks = QStringList { "--answer", "STOR:3:552 Disk full" };
    QVERIFY2(startOnPort21(server, options), qPrintable(server.errorString()));
    QVERIFY(QDir().mkpath(server.root() + "/backup"));
    writeConfiguration(ftpLine(server, QStringLiteral("backup")), "file=" + source + " f.bin\n");

    QStringList lines = runMirvo(QStringLiteral("Exit successful"), 60);
    QVERIFY2(lines.last().startsWith("Backup incomplete: ")
                 && lines.last().contains("could not write its index"),
             qPrintable(lines.join('\n')));
    QVERIFY(historyOf(path(QStringLiteral("previous"))).isEmpty());
    lines = runMirvo();
    QCOMPARE(lines.last(), outcomeLine(0));
    QVERIFY(readFile(server.root() + "/backup/latest/mirvo index.txt").contains("f.bin\t"));
}

// SIGTERM during an upload: the run stops at once, the entry that reached
// every destination is recorded and the one under way is not, the part
// of its first upload is removed from the server, the lock goes, and the
// process says so and ends with 1.
void TestUploads::interruptedRun()
{
    REQUIRE_PORT_21();
    FtpTestServer server { FtpTestServer::PyFtpdlib };
    FtpTestServer::Options options;
    options.throttle = 1000000;
    QVERIFY2(startOnPort21(server, options), qPrintable(server.errorString()));
    QVERIFY(QDir().mkpath(server.root() + "/backup"));
    const QString first = path(QStringLiteral("src/first.bin"));
    const QString second = path(QStringLiteral("src/second.bin"));
    writeFile(first, sampleBytes(3000000, 'f'));
    writeFile(second, sampleBytes(3000000, 's'));
    writeConfiguration(ftpLine(server, QStringLiteral("backup")),
                       "file=" + first + " first.bin\nfile=" + second + " second.bin\n");
    MirvoProcess mirvo(work->path());
    QVERIFY(mirvo.start());
    QVERIFY(mirvo.waitForLine("Beginning transfer of " + second, runTimeoutMs));
    QTest::qWait(200);
    QCOMPARE(::kill(pid_t(mirvo.pid()), SIGTERM), 0);
    QVERIFY(mirvo.waitForExit(10000));
    QCOMPARE(mirvo.exitCode(), 1);
    QCOMPARE(mirvo.lines().last(), QStringLiteral("Backup interrupted"));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("mirvo.lock"))));
    QCOMPARE(historyOf(path(QStringLiteral("previous"))).keys(), QStringList { first });
    QVERIFY(!QFileInfo::exists(server.root() + "/backup/latest/second.bin"));
    // The index went up before the connection closed, with what reached the server.
    BackupIndex index;
    QString problem;
    QVERIFY(index.read(server.root() + "/backup/latest", &problem));
    QCOMPARE(index.entries().size(), 1);
    QCOMPARE(index.entries().first().sha256, Sha256::ofFile(first));
}

// The server holds both entries in latest and today's folder. A new copy
// replaces an old one only once whole and of the size sent, however the
// server renames (or does not), and no temporary name is left behind.
void TestUploads::replacements_data()
{
    QTest::addColumn<QStringList>("quirks");
    QTest::addColumn<bool>("failed");
    QTest::newRow("renames onto existing names") << QStringList() << false;
    // An index of a later version is left as it is, and says so.
    QTest::newRow("latest/ holds an index of a later version")
        << QStringList { "later index" } << false;
    // A line whose copy is not of its size any more goes.
    QTest::newRow("latest/ holds a stale index") << QStringList { "stale index" } << false;
    QTest::newRow("refuses renaming onto an existing name")
        << QStringList { "--refuse-rename-over" } << false;
    QTest::newRow("refuses RNFR") << QStringList { "--refuse-rnfr" } << false;
    QTest::newRow("answers a wrong SIZE") << QStringList { "--size-off", "1" } << true;
    QTest::newRow("has no SIZE") << QStringList { "--no-size" } << false;
}

void TestUploads::replacements()
{
    REQUIRE_PORT_21();
    QFETCH(QStringList, quirks);
    QFETCH(bool, failed);
    FtpTestServer server { FtpTestServer::PyFtpdlib };
    FtpTestServer::Options options;
    const bool laterIndex = quirks.removeAll("later index") > 0;
    const bool staleIndex = quirks.removeAll("stale index") > 0;
    options.quirks = quirks;
    QVERIFY2(startOnPort21(server, options), qPrintable(server.errorString()));
    const QByteArray later = "mirvo index 2\nnotes.txt\tfile\n";
    if (laterIndex)
        writeFile(server.root() + "/backup/latest/mirvo index.txt", later);
    QStringList tree { "latest", date };
    if (staleIndex) {
        writeFile(server.root() + "/backup/latest/kept.txt", "old");
        BackupIndex index;
        index.update(IndexEntry { "kept.txt", IndexEntry::File, 99, QDateTime::currentDateTime(),
                                  Sha256::ofFile(path("src/notes.txt")), "/kept.txt" });
        QString problem;
        QVERIFY(index.write(server.root() + "/backup/latest", &problem));
        tree << "latest/kept.txt";
    }
    QString entries;
    for (const QString name : { "notes.txt", "todo.txt" }) {
        writeFile(path("src/" + name), name.toUtf8());
        entries += "file=" + path("src/" + name) + " " + name + "\n";
        for (const QString &folder : { QStringLiteral("latest"), date }) {
            writeFile(server.root() + "/backup/" + folder + "/" + name, "old");
            tree << folder + "/" + name;
        }
    }
    writeConfiguration(ftpLine(server, QStringLiteral("backup")), entries);

    const QStringList lines = runMirvo();
    QCOMPARE(lines.filter(" failed to transfer file").size(), failed ? 2 : 0);
    QCOMPARE(lines.filter(" refuses renaming files: copies there are replaced in place, not whole")
                 .size(),
             quirks.contains("--refuse-rnfr") ? 1 : 0);
    // The indexes list the new copies; none when they failed, the old
    // copies, made before there were indexes, staying unlisted.
    if (!failed || laterIndex)
        tree << "latest/mirvo index.txt";
    if (!failed)
        tree << date + "/mirvo index.txt";
    QCOMPARE(lines
                 .filter(" cannot read the index of latest, which is left as it is: written in "
                         "index format 2 by a later version of Mirvo")
                 .size(),
             laterIndex ? 1 : 0);
    tree.sort();
    QCOMPARE(treeOf(server.root() + "/backup"), tree);
    // The copies of the entries; not the indexes, nor a file of no entry.
    for (const QString &copy : tree.filter(QRegularExpression("/(notes|todo)\\.txt$")))
        QCOMPARE(readFile(server.root() + "/backup/" + copy),
                 failed ? QByteArray("old") : copy.section('/', -1).toUtf8());
    if (laterIndex) {
        QCOMPARE(readFile(server.root() + "/backup/latest/mirvo index.txt"), later);
        QVERIFY(lines.last().startsWith("Backup incomplete: "));
    }
    for (const QString &folder : tree.filter(" index.txt")) {
        if (laterIndex && folder.startsWith("latest/"))
            continue;
        BackupIndex index;
        QString problem;
        QVERIFY(index.read(server.root() + "/backup/" + folder.section('/', 0, 0), &problem));
        QCOMPARE(index.entries().size(), 2);
        QCOMPARE(index.find("todo.txt")->sha256, Sha256::ofFile(path("src/todo.txt")));
    }
    QCOMPARE(historyOf(path(QStringLiteral("previous"))).size(), failed ? 0 : 2);
}

// A run in Tokyo, an edit, a run in Los Angeles: the recorded time keeps its
// offset from UTC, so the edit is not taken for older than the backup.
void TestUploads::timeZoneChangeBetweenRuns()
{
    const QString notes = path(QStringLiteral("src/notes.txt"));
    writeFile(notes, "first");
    ageTree(notes);
    writeConfiguration(QString(), "file=" + notes + " notes.txt\n");
    runMirvo(QStringLiteral("Exiting..."), 300, { "TZ=Asia/Tokyo" });
    QVERIFY(readFile(path(QStringLiteral("previous"))).endsWith("+09:00\n"));
    writeFile(notes, "second");
    const QStringList lines
        = runMirvo(QStringLiteral("Exiting..."), 300, { "TZ=America/Los_Angeles" });
    QVERIFY2(lines.contains("Beginning transfer of " + notes), qPrintable(lines.join('\n')));
    QCOMPARE(readFile(saves + "/latest/notes.txt"), QByteArray("second"));
}

// A big file goes to the save folder and the server whole, and mirvo's
// memory does not grow with it: copies and uploads stream from the file.
void TestUploads::bigFileStreams()
{
    REQUIRE_PORT_21();
    const bool useVsftpd = FtpTestServer::vsftpdUsable(); // the faster of the two
    FtpTestServer server { useVsftpd ? FtpTestServer::Vsftpd : FtpTestServer::PyFtpdlib };
    QVERIFY2(startOnPort21(server, {}), qPrintable(server.errorString()));

    const qint64 size = 256 * 1024 * 1024;
    const QString big = path(QStringLiteral("src/big.bin"));
    QVERIFY(QDir().mkpath(path(QStringLiteral("src"))));
    {
        QFile file(big);
        QVERIFY(file.open(QIODevice::WriteOnly));
        const QByteArray block = sampleBytes(1024 * 1024 - 3, 'g');
        while (file.size() < size)
            QVERIFY(file.write(block.left(int(qMin<qint64>(block.size(), size - file.size()))))
                    > 0);
    }
    writeConfiguration(ftpLine(server, QStringLiteral("big")), "file=" + big + " big.bin\n");

    MirvoProcess mirvo(work->path());
    QVERIFY(mirvo.start());
    const bool ended = mirvo.waitForLine(QStringLiteral("Exit successful"), 120000);
    QFile status(QStringLiteral("/proc/%1/status").arg(mirvo.pid()));
    QVERIFY(status.open(QIODevice::ReadOnly));
    const QByteArray statusText = status.readAll();
    const QStringList lines = mirvo.lines();
    mirvo.stop();
    QVERIFY2(ended, qPrintable(lines.join('\n')));
    QVERIFY(lines.contains("Transfer of " + big + " done"));
    QVERIFY(!lines.contains(server.address() + " - big failed to transfer file"));

    const QByteArray content = readFile(big);
    QVERIFY(readFile(saves + "/latest/big.bin") == content);
    QVERIFY(readFile(saves + "/" + date + "/big.bin") == content);
    QVERIFY(readFile(server.root() + "/big/latest/big.bin") == content);
    QVERIFY(readFile(server.root() + "/big/" + date + "/big.bin") == content);

#if defined(__SANITIZE_ADDRESS__)
    QSKIP("AddressSanitizer holds freed memory back: peak memory says nothing here");
#else
    // Peak resident memory, "VmHWM:   123456 kB".
    const QRegularExpressionMatch peak
        = QRegularExpression(QStringLiteral("VmHWM:\\s+(\\d+) kB")).match(statusText);
    QVERIFY(peak.hasMatch());
    const qint64 peakBytes = peak.captured(1).toLongLong() * 1024;
    QVERIFY2(peakBytes < size / 2,
             qPrintable(QStringLiteral("peak memory %1 MiB for a %2 MiB file")
                            .arg(peakBytes >> 20)
                            .arg(size >> 20)));
#endif
}

// The host field as `form` with %1 the address, %2 the port, %3 the
// certificate's fingerprint as openssl prints it and %4 the same in lower
// case without colons.
QString hostField(const QString &form, const FtpTestServer &server)
{
    QString field = form;
    return field.replace("%1", server.address())
        .replace("%2", QString::number(server.port()))
        .replace("%3", server.fingerprint())
        .replace("%4", server.fingerprint().toLower().remove(':'));
}

// The host field chooses the port and TLS (servers on ports of their own, so
// no root is needed beyond what vsftpd needs); lines keep the field as
// written. A TLS form whose TLS cannot be had gives the server up with one
// line that says why (`reason`, a wildcard pattern), and nothing but AUTH TLS
// reaches the server.
void TestUploads::hostForms_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("tls");
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("reason"); // empty: the backup goes through
    const int py = FtpTestServer::PyFtpdlib, vs = FtpTestServer::Vsftpd;
    const int plain = FtpTestServer::NoTls, explicitTls = FtpTestServer::ExplicitTls,
              implicitTls = FtpTestServer::ImplicitTls;
    const QString untrusted = "TLS failed: The certificate of host 127.0.0.1 is not trusted (*self-"
                              "signed*); to trust it, pin its fingerprint #sha256=%3";
    QTest::newRow("host:port") << py << "127.0.0.1" << plain << "%1:%2"
                               << "";
    QTest::newRow("[IPv6]:port") << py << "::1" << plain << "[%1]:%2"
                                 << "";
    QTest::newRow("ftp://") << py << "127.0.0.1" << plain << "ftp://%1:%2"
                            << "";
    QTest::newRow("ftpes://, pinned")
        << vs << "127.0.0.1" << explicitTls << "ftpes://%1:%2#sha256=%3"
        << "";
    QTest::newRow("ftps://, pinned") << vs << "127.0.0.1" << implicitTls << "ftps://%1:%2#sha256=%4"
                                     << "";
    QTest::newRow("ftpes://, self-signed, not pinned")
        << vs << "127.0.0.1" << explicitTls << "ftpes://%1:%2" << untrusted;
    QTest::newRow("ftps://, self-signed, not pinned")
        << vs << "127.0.0.1" << implicitTls << "ftps://%1:%2" << untrusted;
    QTest::newRow("ftpes://, another certificate pinned")
        << vs << "127.0.0.1" << explicitTls << "ftpes://%1:%2#sha256=" + QString(64, 'a')
        << "TLS failed: The certificate of host 127.0.0.1 does not match the pinned "
           "fingerprint; its fingerprint is #sha256=%3";
    QTest::newRow("ftpes://, plain server") << py << "127.0.0.1" << plain << "ftpes://%1:%2"
                                            << "TLS failed: Host 127.0.0.1 refused TLS: 5*";
    QTest::newRow("ftps://, plain server")
        << py << "127.0.0.1" << plain << "ftps://%1:%2"
        << "TLS failed: TLS handshake with host 127.0.0.1 failed: *";
}

void TestUploads::hostForms()
{
    QFETCH(int, kind);
    QFETCH(QString, address);
    QFETCH(int, tls);
    QFETCH(QString, form);
    QFETCH(QString, reason);
    SKIP_UNLESS_USABLE(kind);
    QTemporaryDir serverRoot;
    QVERIFY(QDir().mkpath(serverRoot.filePath(QStringLiteral("backup"))));
    FtpTestServer server { FtpTestServer::Kind(kind) };
    FtpTestServer::Options options;
    options.address = address;
    options.root = serverRoot.path();
    options.tls = FtpTestServer::Tls(tls);
    QVERIFY2(server.start(options), qPrintable(server.errorString()));
    const QString host = hostField(form, server);
    const QString notes = path(QStringLiteral("src/notes.txt"));
    writeFile(notes, "notes");
    writeConfiguration(ftpLine(server, QStringLiteral("backup"), host),
                       "file=" + notes + " notes.txt\n");

    const QStringList lines = runMirvo(reason.isEmpty() ? QStringLiteral("Exit successful")
                                                        : QStringLiteral("Exiting..."));

    const QString prefix = host + " - backup";
    const QStringList commands = server.commands();
    if (!reason.isEmpty()) {
        QVERIFY2(lines.size() > 5, qPrintable(lines.join('\n')));
        QCOMPARE(lines.mid(0, 3),
                 (QStringList { "Initializing " + prefix, "Initializing " + saves,
                                prefix + " cannot connect" }));
        const QRegExp why(prefix + " " + hostField(reason, server), Qt::CaseSensitive,
                          QRegExp::Wildcard);
        QVERIFY2(why.exactMatch(lines.at(3)), qPrintable(lines.at(3)));
        QCOMPARE(lines.at(4), prefix + " stopping");
        if (form.startsWith("ftpes"))
            QCOMPARE(commands, QStringList(QStringLiteral("AUTH TLS")));
        else if (tls != FtpTestServer::NoTls) // (a plain server takes a TLS hello for lines)
            QCOMPARE(commands, QStringList());
        return;
    }
    QStringList expected = readyLines(prefix) + copyLines(notes, QStringLiteral("notes.txt"));
    expected << "Beginning transfer of " + notes << "Transfer of " + notes + " done"
             << closingLines(0);
    if (lines != expected)
        qWarning() << lines;
    QCOMPARE(lines, expected);
    QCOMPARE(readFile(server.root() + "/backup/latest/notes.txt"), QByteArray("notes"));
    QCOMPARE(readFile(server.root() + "/backup/" + date + "/notes.txt"), QByteArray("notes"));
    QCOMPARE(commands.first(),
             tls == FtpTestServer::ExplicitTls ? "AUTH TLS" : "USER " + server.user());
    if (tls != FtpTestServer::NoTls)
        QCOMPARE(commands.mid(1 + commands.indexOf("PASS ****"), 2),
                 (QStringList { "PBSZ 0", "PROT P" }));
}

// keep=2 on a real server: an old dated folder goes file by file, then
// itself, with the temporary upload name an interrupted run left there even
// where listings hide it; a link goes as a link; a folder holding a folder
// stays, and says so; today's, latest, a file and look-alikes stay; what
// an old folder's index lists goes with it. The closing line stays last.
// A DOS-style listing shows a link to a folder as a folder: only the names
// a backup puts in a dated folder are deleted from it, so what the link
// leads to keeps everything else, and the link stays.
void TestUploads::oldDatedFoldersPrunedOnServer_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("dosListing");
    QTest::newRow("pyftpdlib") << int(FtpTestServer::PyFtpdlib) << false;
    QTest::newRow("vsftpd") << int(FtpTestServer::Vsftpd) << false;
    QTest::newRow("pyftpdlib, DOS listing") << int(FtpTestServer::PyFtpdlib) << true;
}

void TestUploads::oldDatedFoldersPrunedOnServer()
{
    QFETCH(int, kind);
    QFETCH(bool, dosListing);
    REQUIRE_PORT_21();
    SKIP_UNLESS_USABLE(kind);
    FtpTestServer::Options options;
    if (dosListing)
        options.quirks << QStringLiteral("--dos-listing");
    options.root = path(QStringLiteral("served")); // filled before the server takes it over
    const QString site = options.root + "/backup";
    const QDate today = QDate::currentDate();
    const auto dated = [&today](int daysBack) {
        return QLocale::c().toString(today.addDays(-daysBack), QStringLiteral("yyyy_MMM_dd_(ddd)"));
    };
    QStringList kept { "latest",
                       date,
                       dated(2),
                       dated(40),
                       dated(41),
                       dated(6),
                       "elsewhere",
                       dated(8).toUpper(),
                       QLocale(QLocale::French).toString(today.addDays(-9), "yyyy_MMM_dd_(ddd)") };
    for (const QString &name : kept + QStringList { dated(4000) })
        QVERIFY(QDir().mkpath(site + "/" + name));
    QVERIFY(QDir(site).rmdir(dated(6)));
    writeFile(site + "/" + dated(6), "a file");
    writeFile(site + "/" + dated(3) + "/notes.txt", "old notes");
    writeFile(site + "/" + dated(3) + "/.notes.txt.upload", "cut");
    // An entry config.txt no longer names, which the folder's index lists.
    writeFile(site + "/" + dated(3) + "/gone.txt", "gone");
    BackupIndex index;
    index.update(IndexEntry { "gone.txt", IndexEntry::File, 4, QDateTime::currentDateTime(),
                              Sha256::ofFile(site + "/" + dated(3) + "/gone.txt"), "/gone.txt" });
    QString problem;
    QVERIFY(index.write(site + "/" + dated(3), &problem));
    writeFile(site + "/" + dated(41) + "/notes.txt", "old notes");
    writeFile(site + "/" + dated(41) + "/a.txt", "a");
    writeFile(site + "/" + dated(40) + "/sub/c.txt", "c");
    writeFile(site + "/elsewhere/d.txt", "d");
    QVERIFY(QFile::link(site + "/elsewhere", site + "/" + dated(5)));
    if (dosListing)
        kept << dated(5);
    const QString notes = path(QStringLiteral("src/notes.txt"));
    writeFile(notes, "notes");
    FtpTestServer server { FtpTestServer::Kind(kind) };
    QVERIFY2(startOnPort21(server, options), qPrintable(server.errorString()));
    writeConfiguration(ftpLine(server, QStringLiteral("backup")),
                       "keep=2\nfile=" + notes + " notes.txt\n");

    const QStringList lines = runMirvo();
    if (MirvoProcess::datedFolderName() != date)
        QSKIP("the date changed during the test");

    const QString prefix = server.address() + " - backup";
    QStringList pruned;
    for (const int daysBack : { 3, 4000 })
        pruned << prefix + " removed old folder " + dated(daysBack);
    pruned << prefix + " kept old folder " + dated(40) + ", it holds a folder"
           << prefix + " kept old folder " + dated(41) + ", it holds other files"
           << prefix
            + (dosListing ? " kept old folder " + dated(5) + ", it holds other files"
                          : " removed old folder " + dated(5));
    const int exiting = lines.indexOf(QStringLiteral("Exiting..."));
    QVERIFY2(exiting > 0, qPrintable(lines.join('\n')));
    QStringList after = lines.mid(exiting + 1, pruned.size());
    after.sort();
    pruned.sort();
    QCOMPARE(after, pruned);
    QCOMPARE(lines.mid(exiting + 1 + pruned.size()),
             (QStringList { "Exit successful", outcomeLine(0) }));

    QStringList left = QDir(site).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    left.sort();
    kept.sort();
    QCOMPARE(left, kept);
    QCOMPARE(readFile(site + "/elsewhere/d.txt"), QByteArray("d"));
    QCOMPARE(readFile(site + "/" + dated(40) + "/sub/c.txt"), QByteArray("c"));
    QCOMPARE(QDir(site + "/" + dated(41)).entryList(QDir::Files), QStringList { "a.txt" });
    const QStringList commands = server.commands().filter(QRegularExpression("^(DELE|RMD) "));
    QVERIFY2(isSubsequence({ "DELE " + dated(3) + "/notes.txt", "RMD " + dated(3) }, commands),
             qPrintable(commands.join('\n')));
    QVERIFY(commands.contains("DELE " + dated(3) + "/.notes.txt.upload"));
    QVERIFY(commands.contains("DELE " + dated(3) + "/gone.txt"));
    QVERIFY(commands.contains("DELE " + dated(3) + "/mirvo index.txt"));
    QCOMPARE(commands.contains("DELE " + dated(5)), !dosListing);
    QCOMPARE(QFileInfo(site + "/" + dated(5)).isSymLink(), dosListing);
    // Nothing but what a backup put there is ever deleted.
    QCOMPARE(commands.filter(QRegularExpression("^DELE .*/(a|c|d)\\.txt$")), QStringList());
    QVERIFY(historyOf(path(QStringLiteral("previous"))).contains(notes));
}

QTEST_MAIN(TestUploads)
#include "tst_uploads.moc"
