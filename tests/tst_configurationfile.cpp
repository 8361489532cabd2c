#include "configurationfields.h"
#include "mainwindow.h"
#include "testsupport.h"

#include <QLineEdit>
#include <QListWidget>
#include <QtTest>

#include <memory>
#include <sys/stat.h>

extern bool testConfigurationOnlyBuild;

namespace {

const QString defaultWinrar = QString::fromLatin1(defaultWinrarPath);
const QString missing
    = QStringLiteral(" cannot be found: kept in config.txt, tried again next run");

} // namespace

class TestConfigurationFile : public QObject, protected WindowFixture
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void load_data();
    void load();
    void missingFileGivesDefaultWinrar();
    void fillsWidgetsInConfigurationMode();
    void saveWritesInOrderAndLoadsBack();
    void saveEnciphersFreshEachTime();
    void newFileIsPrivateExistingKeepsMode();
    void unwritableFileChangesNothing();
    void fullDiskKeepsPreviousVersion();
};

// Each test gets a window in its own scratch directory, built in backup mode
// from an empty config.txt and then emptied, so that it starts from nothing.
void TestConfigurationFile::init()
{
    QVERIFY(enterScratch());
    build(QByteArray());
    inspect().reset();
    QFile::remove(QStringLiteral("config.txt"));
    QFile::remove(QStringLiteral("previous"));
    QDir().mkpath(QStringLiteral("data/folder"));
    QDir().mkpath(QStringLiteral("data/my folder "));
    writeFile(QStringLiteral("data/a.txt"), "a");
    debug->lines().clear();
}

void TestConfigurationFile::cleanup()
{
    leaveScratch();
}

void TestConfigurationFile::load_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("loaded");
    QTest::addColumn<QStringList>("messages");
    // $D stands for the scratch directory, which holds data/a.txt and data/folder.
    QTest::newRow("every kind") << QByteArray("winrar=C:/My Tools/rar.exe\npath=D:/My Saves\n"
                                              "file=$D/data/a.txt a\nzippedfile=$D/data/a.txt za\n"
                                              "zippedfolder=$D/data/folder zf\n")
                                << QStringList { "winrar C:/My Tools/rar.exe", "path D:/My Saves",
                                                 "file $D/data/a.txt|a",
                                                 "zippedfile $D/data/a.txt|za",
                                                 "zippedfolder $D/data/folder|zf" }
                                << QStringList();
    QTest::newRow("no winrar line")
        << QByteArray("path=/x\n") << QStringList { "winrar ", "path /x" } << QStringList();
    // Carriage returns left at a line's end belong to no name or path.
    QTest::newRow("stray carriage returns")
        << QByteArray("file=$D/data/a.txt a\r\r\nwinrar=w\r\r\r\n")
        << QStringList { "winrar w", "file $D/data/a.txt|a" } << QStringList();
    QTest::newRow("last winrar wins")
        << QByteArray("winrar=one\nwinrar=two\n") << QStringList { "winrar two" } << QStringList();
    // The remote path is everything after the enciphered password.
    QTest::newRow("ftp lines") << QByteArray(
        "ftp=host user pw\nftp=host user  pw .\nftp= user pw .\n"
        "ftp=host user pw My Backups/2026\n")
                               << QStringList { "winrar ", "ftp host|user||My Backups/2026" }
                               << QStringList { "Invalid line : ftp=host user pw",
                                                "Invalid line : ftp=host user  pw .",
                                                "Invalid line : ftp= user pw ." };
    // The name is the last field and the path all before it, spaces included.
    QTest::newRow("entries: the last field names them")
        << QByteArray("file=$D/data/a.txt\nfile=$D/data/a.txt \nfile=$D/gone.txt g\n"
                      "zippedfile= x\nzippedfolder=$D/data/my folder  mf\n"
                      "zippedfolder=$D/data/my folder  a b\n")
        << QStringList { "winrar ", "zippedfolder $D/data/my folder |mf" }
        << QStringList { "Invalid line : file=$D/data/a.txt", "Invalid line : file=$D/data/a.txt ",
                         "$D/gone.txt" + missing, missing, "$D/data/my folder  a" + missing };
    QTest::newRow("names that leave their folder")
        << QByteArray("file=$D/data/a.txt ../../escaped.txt\nzippedfile=$D/data/a.txt ..\n"
                      "zippedfolder=$D/data/folder .\nfile=$D/data/a.txt sub\\x\n"
                      "file=$D/gone.txt /x\nfile=$D/data/a.txt a..b\nfile=$D/data/a.txt .a\n")
        << QStringList { "winrar ", "file $D/data/a.txt|a..b", "file $D/data/a.txt|.a" }
        << QStringList { "Invalid line : file=$D/data/a.txt ../../escaped.txt",
                         "Invalid line : zippedfile=$D/data/a.txt ..",
                         "Invalid line : zippedfolder=$D/data/folder .",
                         "Invalid line : file=$D/data/a.txt sub\\x",
                         "Invalid line : file=$D/gone.txt /x" };
    QTest::newRow("a name a temporary upload takes")
        << QByteArray("file=$D/data/a.txt .x.upload\nfile=$D/data/a.txt .upload\n")
        << QStringList { "winrar ", "file $D/data/a.txt|.upload" }
        << QStringList { "Invalid line : file=$D/data/a.txt .x.upload" };
    QTest::newRow("keep, last line wins") << QByteArray("keep=30\nkeep=00007\n")
                                          << QStringList { "winrar ", "keep 7" } << QStringList();
    QTest::newRow("keep, any bad value keeps everything")
        << QByteArray("keep=36500\nkeep=36501\nkeep= 5\nkeep=-1\nkeep=\nkeep=5d\n")
        << QStringList { "winrar ", "keep 0" }
        << QStringList { "Invalid line : keep=36501", "Invalid line : keep= 5",
                         "Invalid line : keep=-1",
                         "Invalid line : keep=", "Invalid line : keep=5d" };
    QTest::newRow("ignored lines")
        << QByteArray("File=$D/data/a.txt a\n\n# comment\nWINRAR=x\nfoo\n")
        << QStringList { "winrar " } << QStringList();
    QTest::newRow("crlf, bom and one source twice")
        << QByteArray("\xef\xbb\xbfwinrar=w\r\nfile=$D/data/a.txt a\r\nfile=$D/data/a.txt b\r\n")
        << QStringList { "winrar w", "file $D/data/a.txt|a", "file $D/data/a.txt|b" }
        << QStringList();
    // Copies stored under one name, whatever the letter case, would
    // overwrite each other: the first entry keeps the name, even when its
    // source is missing.
    QTest::newRow("colliding names")
        << QByteArray("file=$D/gone.txt notes.txt\nfile=$D/data/a.txt NOTES.txt\n"
                      "zippedfolder=$D/data/folder x\nfile=$D/data/a.txt X.Zip\n"
                      "zippedfile=$D/data/a.txt x\nzippedfile=$D/data/a.txt x.zip\n"
                      "file=$D/data/a.txt x.zip.zip\n")
        << QStringList { "winrar ", "zippedfile $D/data/a.txt|x.zip",
                         "zippedfolder $D/data/folder|x" }
        << QStringList { "$D/gone.txt" + missing, "Invalid line : file=$D/data/a.txt NOTES.txt",
                         "Invalid line : file=$D/data/a.txt X.Zip",
                         "Invalid line : zippedfile=$D/data/a.txt x",
                         "Invalid line : file=$D/data/a.txt x.zip.zip" };
    QTest::newRow("undecipherable password")
        << QByteArray("ftp=host me AwIAAAA= .\nftp=host2 me !!! backup\n")
        << QStringList { "winrar ", "ftp host|me||.", "ftp host2|me||backup" } << QStringList();
}

void TestConfigurationFile::load()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, loaded);
    QFETCH(QStringList, messages);
    const QString here = QDir::currentPath();
    writeFile(QStringLiteral("config.txt"), content.replace("$D", here.toUtf8()));
    inspect().load();
    QCOMPARE(inspect().summary(), loaded.replaceInStrings(QLatin1String("$D"), here));
    QCOMPARE(debug->lines(), messages.replaceInStrings(QLatin1String("$D"), here));
}

void TestConfigurationFile::missingFileGivesDefaultWinrar()
{
    inspect().load();
    QCOMPARE(inspect().summary(), QStringList { "winrar " + defaultWinrar });
    QVERIFY(debug->lines().isEmpty());

    // The configuration window's first save then holds that one line.
    inspect().configurationMode() = true;
    inspect().save();
    QCOMPARE(readFile(QStringLiteral("config.txt")), "winrar=" + defaultWinrar.toUtf8() + "\n");
}

void TestConfigurationFile::fillsWidgetsInConfigurationMode()
{
    inspect().configurationMode() = true;
    inspect().attachWidgets();
    StringCipher cipher(passwordCipherKey);
    const QString here = QDir::currentPath();
    writeFile(QStringLiteral("config.txt"),
              ("winrar=C:/rar.exe\nftp=h u " + cipher.encipherText(QStringLiteral("pw")) + " a/b\n"
               + "path=/s\nfile=" + here + "/data/a.txt a\nfile=" + here + "/gone g\n"
               + "zippedfolder=" + here + "/data/folder zf\n")
                  .toUtf8());
    inspect().load();
    // Entries show their name with the path's icon (a missing source keeps
    // its row); servers and folders have none.
    QCOMPARE(inspect().allRowsWithIcons(),
             (QStringList { "a*,g*", "", "zf*", "h - a/b", "/s", "C:/rar.exe" }));
    QVERIFY(inspect().summary().contains("ftp h|u|pw|a/b"));
    QVERIFY(inspect().summary().contains("file " + here + "/gone|g"));
    QVERIFY(debug->lines().isEmpty());
}

void TestConfigurationFile::saveWritesInOrderAndLoadsBack()
{
    const QString here = QDir::currentPath();
    writeFile(QStringLiteral("config.txt"),
              ("zippedfolder=" + here + "/data/folder zf\nzippedfile=" + here
               + "/data/a.txt za\nfile=" + here + "/data/a.txt a\npath=/s1\npath=/s2\nwinrar=w\n")
                  .toUtf8());
    inspect().load();
    inspect().addServer(QStringLiteral("one"), QStringLiteral("pässwort mit Leerzeichen"));
    inspect().addServer(QStringLiteral("two"), QString());
    inspect().history().insert(QStringLiteral("C:/x"),
                               QDateTime(QDate(2026, 12, 5), QTime(1, 2, 3)));
    const QStringList before = inspect().summary();
    inspect().save();

    const QList<QByteArray> lines = readFile(QStringLiteral("config.txt")).split('\n');
    QCOMPARE(lines.size(), 9); // eight lines and the final line feed
    QCOMPARE(lines.at(0), QByteArray("winrar=w"));
    // Another copy of the program deciphers the stored password with the shared key.
    const QList<QByteArray> fields = lines.at(1).split(' ');
    QCOMPARE(fields.size(), 4);
    QCOMPARE(fields.at(0) + fields.at(1) + fields.at(3), QByteArray("ftp=oneme."));
    QCOMPARE(StringCipher(passwordCipherKey).decipherText(QString::fromLatin1(fields.at(2))),
             QStringLiteral("pässwort mit Leerzeichen"));
    QVERIFY(lines.at(2).startsWith("ftp=two me "));
    QCOMPARE(lines.mid(3),
             (QList<QByteArray> { "path=/s1", "path=/s2", "file=" + here.toUtf8() + "/data/a.txt a",
                                  "zippedfile=" + here.toUtf8() + "/data/a.txt za",
                                  "zippedfolder=" + here.toUtf8() + "/data/folder zf", "" }));
    // Saving rewrites the history from memory.
    QVERIFY(readFile(QStringLiteral("previous")).startsWith("C:/x "));

    inspect().reset();
    inspect().load();
    QCOMPARE(inspect().summary(), before);
}

void TestConfigurationFile::saveEnciphersFreshEachTime()
{
    inspect().addServer(QStringLiteral("h"), QStringLiteral("secret"));
    uint seed = 1;
    qsrand(seed);
    while ((qrand() & 0xff) == (qrand() & 0xff))
        qsrand(++seed);
    qsrand(seed);
    inspect().save();
    const QByteArray first = readFile(QStringLiteral("config.txt"));
    inspect().save();
    const QByteArray second = readFile(QStringLiteral("config.txt"));
    QVERIFY(first != second);
    for (const QByteArray &content : { first, second }) {
        writeFile(QStringLiteral("config.txt"), content);
        inspect().reset();
        inspect().load();
        QCOMPARE(inspect().summary().at(1), QStringLiteral("ftp h|me|secret|."));
    }
}

void TestConfigurationFile::newFileIsPrivateExistingKeepsMode()
{
    const auto mode = [] {
        struct stat info;
        return stat("config.txt", &info) == 0 ? int(info.st_mode & 07777) : -1;
    };
    const mode_t previousMask = umask(022);
    inspect().save();
    umask(previousMask);
    QCOMPARE(mode(), 0600);

    QCOMPARE(chmod("config.txt", 0644), 0);
    inspect().save();
    QCOMPARE(mode(), 0644);
}

// A folder in the way, or a link (which is never written through), leaves
// config.txt, what the link leads to and the history as they were.
void TestConfigurationFile::unwritableFileChangesNothing()
{
    QVERIFY(QDir().mkdir(QStringLiteral("config.txt")));
    writeFile(QStringLiteral("previous"), "C:/x Sat_Dec_5_21:19:07_2026\n");
    inspect().save();
    QVERIFY(QFileInfo(QStringLiteral("config.txt")).isDir());
    QCOMPARE(readFile(QStringLiteral("previous")), QByteArray("C:/x Sat_Dec_5_21:19:07_2026\n"));
    QVERIFY(debug->lines().isEmpty());

    QVERIFY(QDir().rmdir(QStringLiteral("config.txt")));
    writeFile(QStringLiteral("elsewhere"), "not mine\n");
    QVERIFY(QFile::link(QStringLiteral("elsewhere"), QStringLiteral("config.txt")));
    inspect().save();
    QCOMPARE(readFile(QStringLiteral("elsewhere")), QByteArray("not mine\n"));
    QVERIFY(QFileInfo(QStringLiteral("config.txt")).isSymLink());
    QCOMPARE(readFile(QStringLiteral("previous")), QByteArray("C:/x Sat_Dec_5_21:19:07_2026\n"));
    QCOMPARE(debug->lines(), QStringList { "Cannot write config.txt: it is a link" });
}

// A write that fails half way (here: the file size limit, as a full disk
// would) leaves config.txt and the history exactly as they were.
void TestConfigurationFile::fullDiskKeepsPreviousVersion()
{
    const QByteArray original = "winrar=old\npath=/kept\n";
    writeFile(QStringLiteral("config.txt"), original);
    writeFile(QStringLiteral("previous"), "C:/x Sat_Dec_5_21:19:07_2026\n");
    inspect().winrarPath() = QString(64 * 1024, QLatin1Char('w'));

    withFileSizeLimit(4096, [this] { inspect().save(); });

    QCOMPARE(readFile(QStringLiteral("config.txt")), original);
    QCOMPARE(readFile(QStringLiteral("previous")), QByteArray("C:/x Sat_Dec_5_21:19:07_2026\n"));
    // No temporary left over beside config.txt, previous and the run's mirvo.log.
    QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden).size(), 3);
}

QTEST_MAIN(TestConfigurationFile)
#include "tst_configurationfile.moc"
