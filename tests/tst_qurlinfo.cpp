#include "testsupport.h"

#include "qurlinfo.h"

#include <QtTest>

#include <functional>
#include <type_traits>

Q_DECLARE_METATYPE(QUrlInfo)

static_assert(std::has_virtual_destructor<QUrlInfo>::value,
              "entries are filled and destroyed through subclasses too");

namespace {

const QDateTime modified(QDate(2019, 3, 7), QTime(10, 15));
const QDateTime read(QDate(2020, 1, 2), QTime(3, 4, 5));

// The thirteen fields, starting from what a record holds when its data was
// just created; rows change one or two and build the record to expect.
struct Fields
{
    QString name;
    int permissions = 0;
    QString owner;
    QString group;
    qint64 size = 0;
    QDateTime lastModified;
    QDateTime lastRead;
    bool isDir = false;
    bool isFile = true;
    bool isSymLink = false;
    bool isWritable = true;
    bool isReadable = true;
    bool isExecutable = false;

    QUrlInfo make() const
    {
        return QUrlInfo(name, permissions, owner, group, size, lastModified, lastRead, isDir,
                        isFile, isSymLink, isWritable, isReadable, isExecutable);
    }
};

using FieldChange = std::function<void(Fields &)>;
using RecordChange = std::function<void(QUrlInfo &)>;

QUrlInfo initialValues()
{
    return Fields().make();
}

Fields sampleFields()
{
    Fields f;
    f.name = QStringLiteral("a.zip");
    f.permissions = 0644;
    f.owner = QStringLiteral("backup");
    f.group = QStringLiteral("staff");
    f.size = 512;
    f.lastModified = modified;
    f.lastRead = read;
    f.isExecutable = true;
    return f;
}

QUrlInfo sample()
{
    return sampleFields().make();
}

QUrlInfo named(const QString &name)
{
    QUrlInfo info;
    info.setName(name);
    return info;
}

QUrlInfo sized(qint64 size)
{
    QUrlInfo info;
    info.setSize(size);
    return info;
}

QUrlInfo modifiedAt(const QDateTime &dt)
{
    QUrlInfo info;
    info.setLastModified(dt);
    return info;
}

} // namespace

Q_DECLARE_METATYPE(RecordChange)

class TestQUrlInfo : public QObject
{
    Q_OBJECT

private slots:
    void invalidRecordReadsEmpty();
    void setterCreatesDataWithInitialValues_data();
    void setterCreatesDataWithInitialValues();
    void constructorsStoreEveryField();
    void urlConstructorTakesDecodedFileName_data();
    void urlConstructorTakesDecodedFileName();
    void copiesAreDeep();
    void assignment();
    void equality_data();
    void equality();
    void comparisons_data();
    void comparisons();
};

void TestQUrlInfo::invalidRecordReadsEmpty()
{
    const QUrlInfo info;
    QVERIFY(!info.isValid());
    QVERIFY(info.name().isNull());
    QCOMPARE(info.permissions(), 0);
    QVERIFY(info.owner().isNull());
    QVERIFY(info.group().isNull());
    QCOMPARE(info.size(), qint64(0));
    QVERIFY(!info.lastModified().isValid());
    QVERIFY(!info.lastRead().isValid());
    // These three start true in fresh data, but an invalid record has none.
    QVERIFY(!info.isFile());
    QVERIFY(!info.isWritable());
    QVERIFY(!info.isReadable());
    QVERIFY(!info.isDir());
    QVERIFY(!info.isSymLink());
    QVERIFY(!info.isExecutable());
}

void TestQUrlInfo::setterCreatesDataWithInitialValues_data()
{
    // Each setter applied to an invalid record; the expected record is the
    // initial values with only that setter's field changed.
    QTest::addColumn<RecordChange>("apply");
    QTest::addColumn<QUrlInfo>("expected");

    const auto row = [](const char *name, const RecordChange &apply, const FieldChange &change) {
        Fields expected;
        change(expected);
        QTest::newRow(name) << apply << expected.make();
    };
    row(
        "setName", [](QUrlInfo &i) { i.setName(QStringLiteral("x")); },
        [](Fields &f) { f.name = QStringLiteral("x"); });
    row(
        "setName with a null name", [](QUrlInfo &i) { i.setName(QString()); }, [](Fields &) {});
    row(
        "setDir", [](QUrlInfo &i) { i.setDir(true); }, [](Fields &f) { f.isDir = true; });
    row(
        "setFile(false)", [](QUrlInfo &i) { i.setFile(false); },
        [](Fields &f) { f.isFile = false; });
    row(
        "setSymLink", [](QUrlInfo &i) { i.setSymLink(true); },
        [](Fields &f) { f.isSymLink = true; });
    row(
        "setOwner", [](QUrlInfo &i) { i.setOwner(QStringLiteral("o")); },
        [](Fields &f) { f.owner = QStringLiteral("o"); });
    row(
        "setGroup", [](QUrlInfo &i) { i.setGroup(QStringLiteral("g")); },
        [](Fields &f) { f.group = QStringLiteral("g"); });
    row(
        "setSize, 64-bit", [](QUrlInfo &i) { i.setSize(Q_INT64_C(5368709120)); },
        [](Fields &f) { f.size = Q_INT64_C(5368709120); });
    row(
        "setWritable(false)", [](QUrlInfo &i) { i.setWritable(false); },
        [](Fields &f) { f.isWritable = false; });
    row(
        "setReadable(false)", [](QUrlInfo &i) { i.setReadable(false); },
        [](Fields &f) { f.isReadable = false; });
    row(
        "setPermissions, value not checked", [](QUrlInfo &i) { i.setPermissions(-1); },
        [](Fields &f) { f.permissions = -1; });
    row(
        "setLastModified", [](QUrlInfo &i) { i.setLastModified(modified); },
        [](Fields &f) { f.lastModified = modified; });
    row(
        "setLastModified with an invalid time", [](QUrlInfo &i) { i.setLastModified(QDateTime()); },
        [](Fields &) {});
    row(
        "setLastRead", [](QUrlInfo &i) { i.setLastRead(read); },
        [](Fields &f) { f.lastRead = read; });
}

void TestQUrlInfo::setterCreatesDataWithInitialValues()
{
    QFETCH(RecordChange, apply);
    QFETCH(QUrlInfo, expected);

    QUrlInfo info;
    apply(info);
    QVERIFY(info.isValid());
    QCOMPARE(describe(info), describe(expected));
    QVERIFY(info == expected);
    QVERIFY(!info.isExecutable());
}

void TestQUrlInfo::constructorsStoreEveryField()
{
    const QUrlInfo info = sample();
    QVERIFY(info.isValid());
    QCOMPARE(info.name(), QStringLiteral("a.zip"));
    QCOMPARE(info.permissions(), 0644);
    QCOMPARE(info.owner(), QStringLiteral("backup"));
    QCOMPARE(info.group(), QStringLiteral("staff"));
    QCOMPARE(info.size(), qint64(512));
    QCOMPARE(info.lastModified(), modified);
    QCOMPARE(info.lastRead(), read);
    QVERIFY(!info.isDir());
    QVERIFY(info.isFile());
    QVERIFY(!info.isSymLink());
    QVERIFY(info.isWritable());
    QVERIFY(info.isReadable());
    QVERIFY(info.isExecutable()); // only the full constructors can set it

    // Each flag lands in its own field.
    const QUrlInfo flags(QString(), 0, {}, {}, 0, {}, {}, true, false, true, false, false, false);
    QCOMPARE(describe(flags),
             QStringLiteral("name=[] perm=0 owner=[] group=[] size=0 mod= read= "
                            "dir=1 file=0 link=1 w=0 r=0 x=0"));

    const QUrlInfo fromUrl(QUrl(QStringLiteral("ftp://host/dir/a.zip")), 0644,
                           QStringLiteral("backup"), QStringLiteral("staff"), 512, modified, read,
                           false, true, false, true, true, true);
    QVERIFY(fromUrl == info);
}

void TestQUrlInfo::urlConstructorTakesDecodedFileName_data()
{
    QTest::addColumn<QUrl>("url");
    QTest::addColumn<QString>("name");

    QTest::newRow("last segment") << QUrl(QStringLiteral("ftp://host/backups/latest/a.zip"))
                                  << "a.zip";
    QTest::newRow("path ending in a slash") << QUrl(QStringLiteral("ftp://host/backups/")) << "";
    QTest::newRow("no path") << QUrl(QStringLiteral("ftp://host")) << "";
    QTest::newRow("percent-encoded space decoded")
        << QUrl(QStringLiteral("ftp://host/dir/my%20file.txt")) << "my file.txt";
    QTest::newRow("percent-encoded UTF-8 decoded")
        << QUrl(QStringLiteral("ftp://host/caf%C3%A9.txt")) << QString::fromUtf8("café.txt");
    QTest::newRow("encoded slash splits once decoded")
        << QUrl(QStringLiteral("ftp://host/a%2Fb.txt")) << "b.txt";
    QTest::newRow("query and fragment ignored")
        << QUrl(QStringLiteral("ftp://host/f.txt?x=1#top")) << "f.txt";
    QTest::newRow("relative URL") << QUrl(QStringLiteral("dir/notes")) << "notes";
}

void TestQUrlInfo::urlConstructorTakesDecodedFileName()
{
    QFETCH(QUrl, url);
    QFETCH(QString, name);
    const QUrlInfo info(url, 0, {}, {}, 0, {}, {}, false, false, false, false, false, false);
    QVERIFY(info.isValid());
    QCOMPARE(info.name(), name);
}

void TestQUrlInfo::copiesAreDeep()
{
    const QUrlInfo source = sample();

    QUrlInfo copied(source);
    copied.setName(QStringLiteral("changed"));
    copied.setSize(1);
    QCOMPARE(source.name(), QStringLiteral("a.zip"));
    QCOMPARE(source.size(), qint64(512));

    QUrlInfo assigned;
    assigned = source;
    assigned.setOwner(QStringLiteral("someone"));
    QCOMPARE(source.owner(), QStringLiteral("backup"));
    QVERIFY(assigned != source);

    const QUrlInfo invalid;
    const QUrlInfo invalidCopy(invalid);
    QVERIFY(!invalidCopy.isValid());
}

void TestQUrlInfo::assignment()
{
    QUrlInfo target = sample();
    target = QUrlInfo();
    QVERIFY(!target.isValid());
    QVERIFY(!target.isFile()); // no leftover data behind the getters

    target = sample(); // into a record without data
    QVERIFY(target.isValid());
    QVERIFY(target == sample());

    QUrlInfo other = named(QStringLiteral("other")); // into a record with data
    other = sample();
    QVERIFY(other == sample());

    QUrlInfo &self = other;
    other = self;
    QVERIFY(other == sample());

    QUrlInfo invalid;
    QUrlInfo &invalidSelf = invalid;
    invalid = invalidSelf;
    QVERIFY(!invalid.isValid());
}

void TestQUrlInfo::equality_data()
{
    QTest::addColumn<QUrlInfo>("a");
    QTest::addColumn<QUrlInfo>("b");
    QTest::addColumn<bool>("equal");

    QTest::newRow("two invalid records") << QUrlInfo() << QUrlInfo() << true;
    QTest::newRow("invalid against initial values") << QUrlInfo() << initialValues() << false;
    QTest::newRow("initial values against invalid") << initialValues() << QUrlInfo() << false;
    QTest::newRow("setter-made against initial values")
        << named(QString()) << initialValues() << true;
    QTest::newRow("same fields") << sample() << sample() << true;
    QTest::newRow("null and empty name are the same")
        << named(QString()) << named(QLatin1String("")) << true;

    // One row per field: a change in any of the thirteen breaks equality.
    const auto differ = [](const char *name, const FieldChange &change) {
        Fields changed = sampleFields();
        change(changed);
        QTest::newRow(name) << sample() << changed.make() << false;
    };
    differ("name differs", [](Fields &f) { f.name = QStringLiteral("b.zip"); });
    differ("name differs in case", [](Fields &f) { f.name = QStringLiteral("A.zip"); });
    differ("permissions differ", [](Fields &f) { f.permissions = 0600; });
    differ("owner differs", [](Fields &f) { f.owner = QStringLiteral("root"); });
    differ("group differs", [](Fields &f) { f.group = QStringLiteral("wheel"); });
    differ("size differs", [](Fields &f) { f.size = 513; });
    differ("last modified differs", [](Fields &f) { f.lastModified = modified.addSecs(60); });
    differ("last read differs", [](Fields &f) { f.lastRead = QDateTime(); });
    differ("isDir differs", [](Fields &f) { f.isDir = true; });
    differ("isFile differs", [](Fields &f) { f.isFile = false; });
    differ("isSymLink differs", [](Fields &f) { f.isSymLink = true; });
    differ("isWritable differs", [](Fields &f) { f.isWritable = false; });
    differ("isReadable differs", [](Fields &f) { f.isReadable = false; });
    differ("isExecutable differs", [](Fields &f) { f.isExecutable = false; });
}

void TestQUrlInfo::equality()
{
    QFETCH(QUrlInfo, a);
    QFETCH(QUrlInfo, b);
    QFETCH(bool, equal);
    QCOMPARE(a == b, equal);
    QCOMPARE(b == a, equal);
    QCOMPARE(a != b, !equal);
}

void TestQUrlInfo::comparisons_data()
{
    QTest::addColumn<QUrlInfo>("a");
    QTest::addColumn<QUrlInfo>("b");
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("greater");
    QTest::addColumn<bool>("equal");

    const QUrlInfo x = named(QStringLiteral("x"));
    QTest::newRow("same name, by name") << x << x << 0 << false << true;
    QTest::newRow("same name, key 3 unrecognised") << x << x << 3 << false << false;
    QTest::newRow("same name, key -1 unrecognised") << x << x << -1 << false << false;
    QTest::newRow("different names, key 3 unrecognised")
        << named(QStringLiteral("b")) << named(QStringLiteral("a")) << 3 << false << false;
    QTest::newRow("b after a") << named(QStringLiteral("b")) << named(QStringLiteral("a")) << 0
                               << true << false;
    QTest::newRow("a not after b")
        << named(QStringLiteral("a")) << named(QStringLiteral("b")) << 0 << false << false;
    QTest::newRow("lower case after upper case (code units, no locale)")
        << named(QStringLiteral("a")) << named(QStringLiteral("B")) << 0 << true << false;
    QTest::newRow("e-acute after z (code units)")
        << named(QString::fromUtf8("é")) << named(QStringLiteral("z")) << 0 << true << false;
    QTest::newRow("name against invalid record")
        << named(QStringLiteral("a")) << QUrlInfo() << 0 << true << false;
    QTest::newRow("empty name equals invalid record")
        << named(QString()) << QUrlInfo() << 0 << false << true;

    const QDateTime t(QDate(2020, 5, 1), QTime(8, 0));
    QTest::newRow("later time") << modifiedAt(t.addSecs(1)) << modifiedAt(t) << 1 << true << false;
    QTest::newRow("earlier time") << modifiedAt(t) << modifiedAt(t.addSecs(1)) << 1 << false
                                  << false;
    QTest::newRow("same time") << modifiedAt(t) << modifiedAt(t) << 1 << false << true;
    QTest::newRow("two invalid times")
        << named(QStringLiteral("a")) << QUrlInfo() << 1 << false << true;
    QTest::newRow("time key ignores names")
        << named(QStringLiteral("b")) << named(QStringLiteral("a")) << 1 << false << true;

    QTest::newRow("size 1 over 0") << sized(1) << sized(0) << 2 << true << false;
    QTest::newRow("size 0 under 1") << sized(0) << sized(1) << 2 << false << false;
    QTest::newRow("invalid record against size 0") << QUrlInfo() << sized(0) << 2 << false << true;
    QTest::newRow("sizes beyond 32 bits")
        << sized(Q_INT64_C(0x100000000)) << sized(Q_INT64_C(0xFFFFFFFF)) << 2 << true << false;
    QTest::newRow("sizes compare signed") << sized(-1) << sized(0) << 2 << false << false;
}

void TestQUrlInfo::comparisons()
{
    QFETCH(QUrlInfo, a);
    QFETCH(QUrlInfo, b);
    QFETCH(int, key);
    QFETCH(bool, greater);
    QFETCH(bool, equal);
    QCOMPARE(QUrlInfo::greaterThan(a, b, key), greater);
    QCOMPARE(QUrlInfo::notGreaterThan(a, b, key), !greater);
    QCOMPARE(QUrlInfo::equal(a, b, key), equal);
}

QTEST_GUILESS_MAIN(TestQUrlInfo)
#include "tst_qurlinfo.moc"
