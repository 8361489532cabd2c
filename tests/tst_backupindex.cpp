#include "backupindex.h"
#include "sha256.h"
#include "testsupport.h"

#include <QtTest>

// The index format: what a writer puts out reads back the same, a reader
// skips what it cannot read and refuses a later major version, and the
// file is replaced whole.

namespace {

const QByteArray digestA(64, 'a');
const QByteArray digestB = QByteArray("0123456789abcdef").repeated(4);

IndexEntry entry(const QString &name, IndexEntry::Kind kind, const QString &source,
                 const QByteArray &digest = digestA)
{
    const QDateTime time(QDate(2017, 3, 4), QTime(5, 6, 7, 123), Qt::OffsetFromUTC, 9 * 3600);
    return IndexEntry { name, kind, 1234, time, digest, source };
}

QByteArray line(const QByteArray &fields)
{
    return fields + '\n';
}

} // namespace

class TestBackupIndex : public QObject
{
    Q_OBJECT

private slots:
    void writtenIndexReadsBack();
    void parse_data();
    void parse();
    void writeReplacesWhole();
    void digests();
};

// Every kind, times on either side of UTC with their milliseconds, and
// source paths holding what the line format escapes.
void TestBackupIndex::writtenIndexReadsBack()
{
    BackupIndex index;
    index.update(entry("notes.txt", IndexEntry::File, "/home/al\tice/no\\tes\n.txt"));
    index.update(entry("photos.zip", IndexEntry::ZippedFolder, "/home/alice/ph\rotos ünï"));
    IndexEntry west = entry("report.zip", IndexEntry::ZippedFile, "", digestB);
    west.modified = QDateTime(QDate(2026, 12, 5), QTime(23, 59, 59, 999), Qt::OffsetFromUTC,
                              -(5 * 3600 + 1800));
    index.update(west);
    // The same name again replaces its line, in its place.
    index.update(entry("notes.txt", IndexEntry::File, "/home/alice/notes.txt"));

    const QByteArray bytes = index.serialise();
    QVERIFY(bytes.startsWith("mirvo index 1\n"));
    QVERIFY(bytes.contains("\t2017-03-04T05:06:07.123+09:00\t"));
    QCOMPARE(bytes.count('\n'), 4);
    BackupIndex back;
    QString problem;
    QVERIFY(back.parse(bytes, &problem));
    QCOMPARE(back.entries(), index.entries());
    QCOMPARE(back.entries().at(0).sourcePath, QStringLiteral("/home/alice/notes.txt"));
    QCOMPARE(back.find("report.zip")->modified.toMSecsSinceEpoch(),
             west.modified.toMSecsSinceEpoch());
    back.remove("notes.txt");
    QVERIFY(!back.find("notes.txt"));
    QCOMPARE(back.find("report.zip")->kind, IndexEntry::ZippedFile);
}

void TestBackupIndex::parse_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("read");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QString>("problem");

    const QByteArray good = "\t1234\t2017-03-04T05:06:07.123+09:00\t" + digestA + "\t/src";
    QTest::newRow("later minor version, fields added, CRLF")
        << "mirvo index 1.4\r\n" + line("a\tfile" + good + "\tnew field\r") << true
        << QStringList { "a" } << QString();
    QTest::newRow("header only") << QByteArray("mirvo index 1") << true << QStringList()
                                 << QString();
    QTest::newRow("later major version")
        << "mirvo index 2\n" + line("a\tfile" + good) << false << QStringList()
        << "written in index format 2 by a later version of Mirvo; this one reads format 1";
    for (const char *header : { "", "mirvo index", "mirvo index x", "mirvo index +1",
                                "Mirvo index 1", "notes.txt\tfile" }) {
        QTest::addRow("not an index: '%s'", header)
            << line(header) << false << QStringList() << "not a Mirvo index";
    }
    // Lines a reader cannot read are skipped, the others kept.
    const QByteArray time = "\t2017-03-04T05:06:07.123+09:00\t";
    const QByteArray bad[] = {
        "b\tarchive" + good, // unknown kind
        "b\tfile\t-1" + time + digestA + "\t/src",
        "b\tfile\t12a" + time + digestA + "\t/src",
        "b\tfile\t1\tyesterday\t" + digestA + "\t/src",
        "b\tfile\t1" + time + digestA.toUpper() + "\t/src",
        "b\tfile\t1" + time + digestA.left(63) + "\t/src",
        "b\tfile\t1" + time + digestA, // five fields
        "b\tfile" + good + "\\x", // an escape the writer never makes
        "b\tfile" + good + "\\",
        "sub/b\tfile" + good,
        "..\tfile" + good,
        "\tfile" + good,
        "mirvo index.txt\tfile" + good,
        "",
    };
    QByteArray mixed = "mirvo index 1\n" + line("a\tfile" + good);
    for (const QByteArray &skipped : bad)
        mixed += line(skipped);
    mixed += "c\tzippedfolder" + good; // no line feed at the end
    QTest::newRow("unreadable lines skipped")
        << mixed << true << QStringList { "a", "c" } << QString();
    QTest::newRow("a name twice: the last line counts")
        << "mirvo index 1\n" + line("a\tfile" + good) + line("b\tfile" + good)
            + line("a\tzippedfile" + good)
        << true << QStringList { "a", "b" } << QString();
}

void TestBackupIndex::parse()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, read);
    QFETCH(QStringList, names);
    QFETCH(QString, problem);

    BackupIndex index;
    QString said;
    QCOMPARE(index.parse(bytes, &said), read);
    QCOMPARE(said, problem);
    QStringList found;
    for (const IndexEntry &copy : index.entries())
        found << copy.name;
    QCOMPARE(found, names);
    if (names.contains("a") && bytes.contains("a\tzippedfile"))
        QCOMPARE(index.find("a")->kind, IndexEntry::ZippedFile);
}

// Written beside, then renamed: no temporary file stays, and a link at the
// index's name is replaced itself, never written through.
void TestBackupIndex::writeReplacesWhole()
{
    ScratchDirectory dir;
    QVERIFY(dir.isCurrent());
    writeFile(dir.filePath("elsewhere"), "not to be touched");
    QVERIFY(QFile::link(dir.filePath("elsewhere"), dir.filePath(BackupIndex::fileName)));
    BackupIndex index;
    index.update(entry("notes.txt", IndexEntry::File, "/src/notes.txt"));
    QString problem;
    QVERIFY2(index.write(dir.path(), &problem), qPrintable(problem));
    QCOMPARE(readFile(dir.filePath("elsewhere")), QByteArray("not to be touched"));
    QCOMPARE(readFile(dir.filePath(BackupIndex::fileName)), index.serialise());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
             QStringList({ "elsewhere", "mirvo index.txt" }));

    BackupIndex back;
    QVERIFY(back.read(dir.path(), &problem));
    QCOMPARE(back.entries(), index.entries());
    QVERIFY(back.read(dir.filePath("no-such-folder"), &problem));
    QVERIFY(back.isEmpty());
    QVERIFY(!index.write(dir.filePath("no-such-folder"), &problem));
}

void TestBackupIndex::digests()
{
    Sha256 hash;
    hash.addData("ab", 2);
    hash.addData("c", 1);
    QCOMPARE(hash.hexResult(),
             QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    ScratchDirectory dir;
    writeFile(dir.filePath("empty"), QByteArray());
    QCOMPARE(Sha256::ofFile(dir.filePath("empty")),
             QByteArray("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
    QVERIFY(Sha256::ofFile(dir.filePath("missing")).isEmpty());
}

QTEST_GUILESS_MAIN(TestBackupIndex)
#include "tst_backupindex.moc"
