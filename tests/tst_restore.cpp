#include "backupindex.h"
#include "mainwindow.h"
#include "sha256.h"
#include "stringcipher.h"
#include "support/port21.h"
#include "testsupport.h"

#include <QtTest>

#include <unistd.h>

// Backups made by the real mirvo, on two days, to two save folders and (as
// root, since mirvo connects to port 21) a server, then entries brought
// back with --restore and listed with --versions: bytes, times and trees,
// the refusals, and damaged copies.

namespace {

// Whole seconds, as setModified sets them.
const QDateTime oldTime(QDate(2017, 3, 4), QTime(5, 6, 7), Qt::UTC);
const QDateTime newTime(QDate(2018, 7, 8), QTime(9, 10, 11), Qt::UTC);

// What is below `root`, one line a file, folder or link, as it is.
QStringList tree(const QString &root)
{
    QStringList lines;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        const QString name = QDir(root).relativeFilePath(info.filePath());
        if (info.isSymLink())
            lines << name + " -> " + info.symLinkTarget().section('/', -2);
        else if (info.isDir())
            lines << name + "/";
        else
            lines << name + ": " + QString::fromUtf8(readFile(info.filePath()));
    }
    lines.sort();
    return lines;
}

} // namespace

class TestRestore : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void restoresEachKind_data();
    void restoresEachKind();
    void existingTargets();
    void damagedCopyFallsBack_data();
    void damagedCopyFallsBack();
    void climbingMembersRefused();
    void withoutConfiguration();
    void versionsRows();

private:
    struct Outcome
    {
        int status = -1;
        QStringList out;
        QString err;
    };
    Outcome mirvo(const QStringList &arguments);
    // The sources as the first backup, on an earlier day, saw them, then
    // changed and backed up again today.
    void backUpTwoDays();
    QString path(const QString &relative) const { return dir->filePath(relative); }
    // The server's folder of the remote path, on its disk.
    QString onServer(const QString &relative) const { return path("server/backup/" + relative); }
    QString serverLabel() const { return server ? server->address() + " - backup" : QString(); }

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<FtpTestServer> server; // none without root
    QString executable; // another copy of mirvo; empty: the one built
    QString earlierFolder; // the dated folder of the first backup
    QDate earlierDay;
    QStringList oldPhotos; // the folder's tree on that day
    QStringList newPhotos;
};

void TestRestore::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    backUpTwoDays();
}

void TestRestore::cleanup()
{
    executable.clear();
    server.reset();
    dir.reset();
}

TestRestore::Outcome TestRestore::mirvo(const QStringList &arguments)
{
    MirvoProcess process(dir->path());
    if (!executable.isEmpty())
        process.setExecutable(executable);
    Outcome outcome;
    if (!process.start({ "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM" }, arguments)
        || !process.waitForExit(60000))
        return outcome;
    outcome.status = process.exitCode();
    outcome.out = process.standardOutput().split('\n', Qt::SkipEmptyParts);
    outcome.err = process.rawOutput();
    return outcome;
}

void TestRestore::backUpTwoDays()
{
    writeFile(path("src/notes.txt"), "old notes");
    writeFile(path("src/report.txt"), "old report");
    writeFile(path("src/photos/sub/beach.jpg"), "beach");
    writeFile(path("src/photos/a.txt"), "old a");
    QVERIFY(QFile::link("sub/beach.jpg", path("src/photos/link")));
    for (const char *file : { "src/notes.txt", "src/report.txt", "src/photos/a.txt" })
        setModified(path(file), oldTime);
    QVERIFY(QDir().mkpath(path("saves1")) && QDir().mkpath(path("saves2")));
    QByteArray serverLine;
    if (::geteuid() == 0) {
        QVERIFY(QDir().mkpath(path("server")));
        server = std::make_unique<FtpTestServer>(FtpTestServer::PyFtpdlib);
        FtpTestServer::Options options;
        options.root = path("server");
        QVERIFY2(startOnPort21(*server, options), qPrintable(server->errorString()));
        serverLine = "ftp=" + server->address().toUtf8() + " " + server->user().toUtf8() + " "
            + StringCipher(passwordCipherKey).encipherText(server->password()).toUtf8()
            + " backup\n";
    }
    writeFile(path("config.txt"),
              serverLine + "winrar=" MIRVO_ARCHIVER_BINARY "\npath=" + path("saves1").toUtf8()
                  + "\npath=" + path("saves2").toUtf8() + "\nfile=" + path("src/notes.txt").toUtf8()
                  + " notes.txt\nzippedfile=" + path("src/report.txt").toUtf8()
                  + " report\nzippedfolder=" + path("src/photos").toUtf8() + " photos\n");
    const QString today = MirvoProcess::datedFolderName();
    QCOMPARE(mirvo({ "--unattended" }).status, 0);
    oldPhotos = tree(path("src/photos"));

    // What the first run put in today's folder stands for an earlier day's backup.
    earlierDay = QDate::currentDate().addDays(-3);
    earlierFolder = QLocale::c().toString(earlierDay, QStringLiteral("yyyy_MMM_dd_(ddd)"));
    for (const QString saves : { "saves1/", "saves2/", "server/backup/" }) {
        if (QFileInfo::exists(path(saves)))
            QVERIFY(QDir().rename(path(saves + today), path(saves + earlierFolder)));
    }

    writeFile(path("src/notes.txt"), "new notes, longer");
    writeFile(path("src/report.txt"), "new report");
    writeFile(path("src/photos/a.txt"), "new a");
    writeFile(path("src/photos/b.txt"), "b");
    for (const char *file : { "src/notes.txt", "src/report.txt", "src/photos/a.txt" })
        setModified(path(file), newTime);
    QCOMPARE(mirvo({ "--unattended" }).status, 0);
    newPhotos = tree(path("src/photos"));
    if (MirvoProcess::datedFolderName() != today)
        QSKIP("the date changed during the test");
}

// Each kind from a save folder, the newest copy back to where it came from
// and an earlier day's into another folder. A day without a folder of its
// own gets the copy of the day before it.
void TestRestore::restoresEachKind_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("source"); // relative to the test's folder
    QTest::addColumn<QString>("destination");
    QTest::addColumn<bool>("earlier");

    const struct
    {
        const char *name;
        const char *source;
    } kinds[] = { { "notes.txt", "src/notes.txt" },
                  { "report", "src/report.txt" },
                  { "photos", "src/photos" } };
    for (const auto &kind : kinds) {
        for (const char *destination : { "saves1", "server" }) {
            for (const bool earlier : { false, true }) {
                QTest::addRow("%s, %s, %s", kind.name, destination,
                              earlier ? "earlier day" : "latest")
                    << kind.name << kind.source << destination << earlier;
            }
        }
    }
}

void TestRestore::restoresEachKind()
{
    QFETCH(QString, name);
    QFETCH(QString, source);
    QFETCH(QString, destination);
    QFETCH(bool, earlier);

    const bool folder = name == "photos";
    QStringList arguments { "--restore", name };
    QString from = path(destination);
    if (destination == "server") {
        if (!server)
            QSKIP("needs root: mirvo connects to port 21 of the server");
        arguments << "--from" << server->address();
        from = serverLabel();
    }
    QString target = path(source);
    QString day = "latest";
    if (earlier) {
        day = earlierDay.toString(Qt::ISODate);
        arguments << "--day" << earlierDay.addDays(1).toString(Qt::ISODate) << "--to"
                  << path("out");
        target = path("out/" + QFileInfo(source).fileName());
    } else {
        QVERIFY(folder ? QDir(target).removeRecursively() : QFile::remove(target));
    }

    const Outcome outcome = mirvo(arguments);
    QVERIFY2(outcome.status == 0, qPrintable(outcome.err));
    QCOMPARE(outcome.out,
             QStringList("Restored " + name + " (" + day + ") from " + from + " to " + target));
    const QDateTime time = earlier ? oldTime : newTime;
    if (folder) {
        QCOMPARE(tree(target), earlier ? oldPhotos : newPhotos);
        QVERIFY(QFileInfo(target + "/link").isSymLink());
        QVERIFY(qAbs(QFileInfo(target + "/a.txt").lastModified().secsTo(time)) <= 2);
    } else {
        QCOMPARE(readFile(target),
                 QByteArray(earlier ? "old " : "new ")
                     + (name == "report" ? "report"
                            : earlier    ? "notes"
                                         : "notes, longer"));
        QCOMPARE(QFileInfo(target).lastModified(), time);
    }
    // Nothing of the work stays beside the target.
    QCOMPARE(QDir(QFileInfo(target).path())
                 .entryList(QStringList(".mirvo-restore-*"), QDir::AllEntries | QDir::Hidden),
             QStringList());
}

// A target that exists is left alone, and the entry fails while the others
// go on; --replace puts the copy in its place, a folder's old contents gone.
void TestRestore::existingTargets()
{
    writeFile(path("src/photos/extra.txt"), "not in any backup");
    QFile::remove(path("src/notes.txt"));
    Outcome outcome = mirvo({ "--restore", "photos", "notes.txt" });
    QCOMPARE(outcome.status, 1);
    QVERIFY2(outcome.err.contains("Error : " + path("src/photos")
                                  + " exists; use --to FOLDER or --replace"),
             qPrintable(outcome.err));
    QCOMPARE(outcome.out.size(), 1);
    QCOMPARE(readFile(path("src/notes.txt")), QByteArray("new notes, longer"));
    QVERIFY(QFileInfo::exists(path("src/photos/extra.txt")));

    writeFile(path("src/report.txt"), "edited since");
    outcome = mirvo({ "--restore", "--all", "--replace" });
    QCOMPARE(outcome.status, 0);
    QCOMPARE(outcome.out.size(), 3);
    QCOMPARE(readFile(path("src/report.txt")), QByteArray("new report"));
    QCOMPARE(tree(path("src/photos")), newPhotos);
    QCOMPARE(QDir(path("src")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({ "notes.txt", "photos", "report.txt" }));

    // Nor does it replace a folder that holds a save folder, which its
    // archive left out.
    QCOMPARE(QProcess::execute("cp", { "-a", path("saves2"), path("src/photos/inner") }), 0);
    outcome = mirvo({ "--restore", "photos", "--replace", "--from", path("src/photos/inner") });
    QCOMPARE(outcome.status, 1);
    QVERIFY2(outcome.err.contains(path("src/photos") + " holds " + path("src/photos/inner")),
             qPrintable(outcome.err));
    QVERIFY(QFileInfo(path("src/photos/inner/latest/photos.zip")).isFile());
}

// A copy that fails its check is reported and the next destination's is
// restored instead: a save folder's, or the server's after both save
// folders; with every copy damaged, nothing is restored.
void TestRestore::damagedCopyFallsBack_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("damage"); // what the damaged copies become
    QTest::addColumn<QStringList>("damaged");
    QTest::addColumn<QString>("restoredFrom"); // empty: from nowhere
    const QStringList first { "saves1" };
    const QStringList saves { "saves1", "saves2" };
    const QStringList all { "saves1", "saves2", "server" };
    QTest::newRow("file truncated") << "notes.txt" << QByteArray("new notes") << first << "saves2";
    QTest::newRow("file, same size, bytes changed")
        << "notes.txt" << QByteArray("NEW notes, longer") << first << "saves2";
    QTest::newRow("archive, bytes changed") << "photos" << QByteArray() << first << "saves2";
    QTest::newRow("both save folders damaged, the server's copy")
        << "photos" << QByteArray() << saves << "server";
    QTest::newRow("every copy damaged, the server's with its size kept")
        << "notes.txt" << QByteArray("NEW notes, longer") << all << "";
}

void TestRestore::damagedCopyFallsBack()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, damage);
    QFETCH(QStringList, damaged);
    QFETCH(QString, restoredFrom);
    if (!server && restoredFrom == "server")
        QSKIP("needs root: mirvo connects to port 21 of the server");
    const QString stored = name == "photos" ? "photos.zip" : name;
    for (const QString &destination : qAsConst(damaged)) {
        if (destination == "server" && !server)
            continue;
        const QString copy = destination == "server" ? onServer("latest/" + stored)
                                                     : path(destination + "/latest/" + stored);
        QByteArray bytes = readFile(copy);
        if (damage.isEmpty())
            bytes[bytes.size() / 2] = char(bytes.at(bytes.size() / 2) ^ 1);
        writeFile(copy, damage.isEmpty() ? bytes : damage);
    }

    const Outcome outcome = mirvo({ "--restore", name, "--to", path("out") });
    for (const QString &destination : qAsConst(damaged)) {
        if (destination == "server" && !server)
            continue;
        const QString label = destination == "server" ? serverLabel() : path(destination);
        QVERIFY2(
            outcome.err.contains("Error : " + name + " (latest) in " + label + " is damaged: "),
            qPrintable(outcome.err));
    }
    const QString target = path(name == "photos" ? "out/photos" : "out/notes.txt");
    if (restoredFrom.isEmpty()) {
        QCOMPARE(outcome.status, 1);
        QVERIFY(!QFileInfo::exists(target));
        QCOMPARE(
            QDir(path("out")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList());
        return;
    }
    QCOMPARE(outcome.status, 0);
    const QString from = restoredFrom == "server" ? serverLabel() : path(restoredFrom);
    QCOMPARE(outcome.out,
             QStringList("Restored " + name + " (latest) from " + from + " to " + target));
    if (name == "photos")
        QCOMPARE(tree(target), newPhotos);
    else
        QCOMPARE(readFile(target), QByteArray("new notes, longer"));
}

// An archive made to climb out of the folder it is unpacked in, listed in
// the indexes as if it were the copy: nothing lands outside the target,
// and the entry is not restored.
void TestRestore::climbingMembersRefused()
{
    const QString outside = path("outside");
    QVERIFY(QDir().mkpath(outside));
    const QString crafted = path("crafted.zip");
    QProcess python;
    python.start("/usr/bin/python3",
                 { "-c",
                   "import sys, zipfile\n"
                   "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                   "    for kind, name, data in (('L', 'photos/escape', sys.argv[2]),\n"
                   "            ('F', 'photos/escape/through.txt', 'x'),\n"
                   "            ('F', '../../../outside/up.txt', 'x'),\n"
                   "            ('F', sys.argv[2] + '/absolute.txt', 'x'),\n"
                   "            ('F', 'photos/kept.txt', 'kept')):\n"
                   "        info = zipfile.ZipInfo(name)\n"
                   "        info.create_system = 3\n"
                   "        info.external_attr = (0o120777 if kind == 'L' else 0o100644) << 16\n"
                   "        z.writestr(info, data)\n",
                   crafted, outside });
    QVERIFY(python.waitForFinished(10000));
    QCOMPARE(python.exitCode(), 0);
    QStringList latestFolders { path("saves1/latest"), path("saves2/latest") };
    if (server)
        latestFolders << onServer("latest");
    for (const QString &latest : qAsConst(latestFolders)) {
        QVERIFY(QFile::remove(latest + "/photos.zip")
                && QFile::copy(crafted, latest + "/photos.zip"));
        BackupIndex index;
        QString problem;
        QVERIFY(index.read(latest, &problem));
        if (!index.find("photos.zip"))
            continue;
        IndexEntry copy = *index.find("photos.zip");
        copy.size = QFileInfo(crafted).size();
        copy.sha256 = Sha256::ofFile(crafted);
        index.update(copy);
        QVERIFY(index.write(latest, &problem));
    }

    const Outcome outcome = mirvo({ "--restore", "photos", "--to", path("out") });
    QCOMPARE(outcome.status, 1);
    const QString last = server ? serverLabel() : path("saves2");
    QVERIFY2(outcome.err.contains("Error : photos (latest) in " + last + " is damaged: "),
             qPrintable(outcome.err));
    QCOMPARE(QDir(outside).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList());
    QCOMPARE(QDir(path("out")).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList());
}

// The disk died with config.txt: the save folder alone says what each copy
// is and where it came from.
void TestRestore::withoutConfiguration()
{
    QVERIFY(QFile::remove(path("config.txt")));
    QVERIFY(QDir(path("src")).removeRecursively());
    Outcome outcome = mirvo({ "--restore", "notes.txt" });
    QCOMPARE(outcome.status, 2);
    QVERIFY(outcome.err.contains("Error : There is no config.txt in " + dir->path()));

    // Installed, the program finds the archiver beside it.
    const QString bin = path("bin");
    QVERIFY(QDir().mkpath(bin));
    QVERIFY(QFile::copy(MirvoProcess::binary(MirvoProcess::Standard), bin + "/mirvo"));
    QVERIFY(QFile::copy(MIRVO_ARCHIVER_BINARY, bin + "/mirvo-archiver"));
    executable = bin + "/mirvo";
    outcome = mirvo({ "--restore", "--all", "--from", path("saves2"), "--day",
                      earlierDay.toString(Qt::ISODate) });
    QVERIFY2(outcome.status == 0, qPrintable(outcome.err));
    QCOMPARE(outcome.out.size(), 3);
    QCOMPARE(readFile(path("src/notes.txt")), QByteArray("old notes"));
    QCOMPARE(readFile(path("src/report.txt")), QByteArray("old report"));
    QCOMPARE(tree(path("src/photos")), oldPhotos);
}

void TestRestore::versionsRows()
{
    const QString earlier = earlierDay.toString(Qt::ISODate);
    const QString today = QDate::currentDate().toString(Qt::ISODate);
    Outcome outcome = mirvo({ "--versions", "notes.txt", "photos" });
    QCOMPARE(outcome.status, 0);
    QStringList expected;
    for (const QString name : { "notes.txt", "photos" }) {
        const QString source
            = path(name == QLatin1String("photos") ? "src/photos" : "src/notes.txt");
        const QString size = name == QLatin1String("photos")
            ? QString::number(QFileInfo(path("saves1/latest/photos.zip")).size())
            : "17";
        const QString oldSize = name == QLatin1String("photos")
            ? QString::number(QFileInfo(path("saves1/" + earlierFolder + "/photos.zip")).size())
            : "9";
        for (const QString &day : QStringList { "latest", today, earlier }) {
            for (const char *saves : { "saves1", "saves2" })
                expected << QStringList { name, day, path(saves), day == earlier ? oldSize : size,
                                          source }
                                .join('\t');
            if (server)
                expected << QStringList { name, day, serverLabel(), day == earlier ? oldSize : size,
                                          source }
                                .join('\t');
        }
    }
    QCOMPARE(outcome.out, expected);

    // A copy made before there were indexes is listed by name and size.
    QVERIFY(QFile::remove(path("saves2/" + earlierFolder + "/mirvo index.txt")));
    outcome = mirvo({ "--versions", "--from", path("saves2"), "notes.txt" });
    QCOMPARE(outcome.status, 0);
    QCOMPARE(outcome.out.last(),
             QStringList({ "notes.txt", earlier, path("saves2"), "9", "" }).join('\t'));
}

QTEST_GUILESS_MAIN(TestRestore)
#include "tst_restore.moc"
