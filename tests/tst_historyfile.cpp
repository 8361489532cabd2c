#include "mainwindow.h"
#include "testsupport.h"

#include <QtTest>

#include <memory>

extern bool testConfigurationOnlyBuild;

namespace {

const char mustHave[] = "Must have <path> <last-modified> for all entries in 'previous'";

QDateTime at(int day, int hour, int minute, int second, int ms = 0)
{
    return QDateTime(QDate(2026, 12, day), QTime(hour, minute, second, ms));
}

} // namespace

class TestHistoryFile : public QObject, protected WindowFixture
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void read_data();
    void read();
    void missingFileIsOneError();
    void writeIsSortedAndReadsBack();
    void unwritableFileKeepsOldContent();
};

// A window built in backup mode from an empty config.txt, in its own
// scratch directory, with its history and log emptied afterwards.
void TestHistoryFile::init()
{
    QVERIFY(enterScratch());
    build(QByteArray());
    inspect().history().clear();
    inspect().logText().clear();
    QFile::remove(QStringLiteral("previous"));
    debug->lines().clear();
}

void TestHistoryFile::cleanup()
{
    leaveScratch();
}

void TestHistoryFile::read_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<int>("errors");
    QTest::newRow("empty file") << QByteArray() << QStringList() << 0;
    QTest::newRow("two entries, crlf") << QByteArray("C:/b Sat_Dec_5_21:19:07_2026\r\nC:/a x\n")
                                       << QStringList { "C:/a", "C:/b" } << 0;
    // A value never holds a space: the last one ends the path.
    QTest::newRow("paths with spaces")
        << QByteArray("C:/a  Sat_Dec_5_21:19:07_2026\n/home/al/My Docs 2026-12-05T21:19:07Z\n")
        << QStringList { "/home/al/My Docs", "C:/a " } << 0;
    QTest::newRow("marks before a key")
        << QByteArray("x\n\xef\xbb\xbf\xef\xbb\xbf/a b x\n") << QStringList { "/a b" } << 1;
    QTest::newRow("trailing empty line") << QByteArray("C:/a x\n\n") << QStringList { "C:/a" } << 1;
    QTest::newRow("path alone, twice") << QByteArray("C:/a\nC:/b\n") << QStringList() << 2;
}

void TestHistoryFile::read()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, keys);
    QFETCH(int, errors);
    writeFile(QStringLiteral("previous"), content);
    inspect().read();
    QCOMPARE(inspect().history().keys(), keys);
    QCOMPARE(debug->lines(),
             QStringList(QVector<QString>(errors, QString::fromLatin1(mustHave)).toList()));
    QCOMPARE(inspect().logText().count(QLatin1String("Error : ")), errors);
}

// A first run has no history, which is no error; a link in the file's place
// is not followed, and is one.
void TestHistoryFile::missingFileIsOneError()
{
    inspect().history().insert(QStringLiteral("kept"), at(5, 1, 2, 3));
    inspect().read();
    QCOMPARE(debug->lines(), QStringList { "No previous transfer file: every entry is backed up" });
    QVERIFY(!inspect().logText().contains(QLatin1String("Error : ")));
    QCOMPARE(inspect().history().keys(), QStringList { "kept" });

    debug->lines().clear();
    writeFile(QStringLiteral("elsewhere"), "C:/x Sat_Dec_5_21:19:07_2026\n");
    QVERIFY(QFile::link(QStringLiteral("elsewhere"), QStringLiteral("previous")));
    inspect().read();
    QCOMPARE(debug->lines(), QStringList { "Cannot read previous transfer file" });
    QCOMPARE(inspect().history().keys(), QStringList { "kept" });
}

// Times go out as ISO 8601 with their offset from UTC, in key order.
void TestHistoryFile::writeIsSortedAndReadsBack()
{
    auto &history = inspect().history();
    const QDateTime tokyo(QDate(2026, 12, 5), QTime(21, 19, 7, 250), Qt::OffsetFromUTC, 9 * 3600);
    history.insert(QStringLiteral("c:/a.txt"), tokyo);
    history.insert(QStringLiteral("C:/b.txt"), QDateTime(QDate(2026, 12, 6), QTime(8, 0), Qt::UTC));
    history.insert(QStringLiteral("C:/a.txt"), at(7, 23, 59, 59));
    history.insert(QStringLiteral("C:/never"), QDateTime());
    history.insert(QStringLiteral("/home/al/My Docs "), at(7, 23, 59, 59));
    inspect().write();

    const QByteArray text = readFile(QStringLiteral("previous"));
    QVERIFY(!text.contains('\r'));
    const QList<QByteArray> lines = text.split('\n').mid(1); // after "/home/al/My Docs "
    QCOMPARE(lines.size(), 5);
    // A local time goes out with the offset the machine's zone gives it.
    QVERIFY2(QRegExp(QStringLiteral("C:/a\\.txt 2026-12-07T23:59:59[+-]\\d\\d:\\d\\d"))
                 .exactMatch(QString::fromUtf8(lines.at(0))),
             lines.at(0).constData());
    QCOMPARE(lines.at(1), QByteArray("C:/b.txt 2026-12-06T08:00:00+00:00"));
    QCOMPARE(lines.at(2), QByteArray("C:/never "));
    QCOMPARE(lines.at(3), QByteArray("c:/a.txt 2026-12-05T21:19:07+09:00"));
    QCOMPARE(lines.at(4), QByteArray());

    // Read back as the same instants, to the second (milliseconds are not
    // kept); an invalid date-time comes back invalid.
    history.clear();
    inspect().read();
    QVERIFY(debug->lines().isEmpty());
    QCOMPARE(history.keys(),
             (QStringList { "/home/al/My Docs ", "C:/a.txt", "C:/b.txt", "C:/never", "c:/a.txt" }));
    QCOMPARE(history.value("c:/a.txt"), tokyo.addMSecs(-250));
    QCOMPARE(history.value("/home/al/My Docs "), at(7, 23, 59, 59));
    QCOMPARE(history.value("C:/a.txt"), at(7, 23, 59, 59));
    QVERIFY(!history.value("C:/never").isValid());
}

// Neither a refused open nor a write that fails half way (a full disk,
// simulated with the file size limit) touches the existing history.
void TestHistoryFile::unwritableFileKeepsOldContent()
{
    const QByteArray original = "C:/x Sat_Dec_5_21:19:07_2026\n";
    writeFile(QStringLiteral("previous"), original);
    for (int i = 0; i < 5000; ++i)
        inspect().history().insert(QStringLiteral("C:/item%1").arg(i), at(5, 1, 2, 3));

    withFileSizeLimit(4096, [this] { inspect().write(); });
    QCOMPARE(readFile(QStringLiteral("previous")), original);
    // config.txt, previous and the run's mirvo.log
    QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden).size(), 3);

    QVERIFY(QFile::remove(QStringLiteral("previous")));
    QVERIFY(QDir().mkdir(QStringLiteral("previous")));
    inspect().write();
    QVERIFY(QFileInfo(QStringLiteral("previous")).isDir());

    // A link in its place is neither written through nor replaced.
    QVERIFY(QDir().rmdir(QStringLiteral("previous")));
    writeFile(QStringLiteral("elsewhere"), original);
    QVERIFY(QFile::link(QStringLiteral("elsewhere"), QStringLiteral("previous")));
    inspect().write();
    QVERIFY(QFileInfo(QStringLiteral("previous")).isSymLink());
    QCOMPARE(readFile(QStringLiteral("elsewhere")), original);

    const QString cannotWrite = QStringLiteral("Cannot write previous transfer file");
    QCOMPARE(debug->lines(), QStringList({ cannotWrite, cannotWrite, cannotWrite }));
    QVERIFY(inspect().incompleteReasons().contains("previous cannot be written"));
}

QTEST_MAIN(TestHistoryFile)
#include "tst_historyfile.moc"
