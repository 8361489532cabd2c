#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

// The archiver stand-in, run as the backup run runs it: from a working
// directory, with a relative archive name and an absolute source path.
class TestArchiver : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void storesNamesWithoutLeadingPath_data();
    void storesNamesWithoutLeadingPath();
    void archiveMirrorsTheSourceOnEveryRun();
    void linksAreStoredNotFollowed();
    void failureKeepsTheOldArchive_data();
    void failureKeepsTheOldArchive();

private:
    struct Run
    {
        int exitCode;
        QByteArray errorOutput;
    };
    Run archive(const QStringList &arguments);
    QStringList entries(const QString &archive);
    QByteArray contentOf(const QString &archive, const QString &entry);
    void write(const QString &relativePath, const QByteArray &content);

    std::unique_ptr<QTemporaryDir> root;
    QString work;
    QString source;
};

void TestArchiver::init()
{
    root = std::make_unique<QTemporaryDir>();
    QVERIFY(root->isValid());
    work = root->filePath(QStringLiteral("work"));
    source = root->filePath(QStringLiteral("source"));
    QDir().mkpath(work);
    write(QStringLiteral("report.pdf"), QByteArray(20000, 'r'));
    write(QStringLiteral("docs/a.txt"), "alpha\n");
    write(QStringLiteral("docs/sub/b.txt"), "beta\n");
    write(QStringLiteral("docs/sub/deeper/c.txt"), "");
}

void TestArchiver::write(const QString &relativePath, const QByteArray &content)
{
    writeFile(QDir(source).filePath(relativePath), content);
}

TestArchiver::Run TestArchiver::archive(const QStringList &arguments)
{
    QProcess p;
    p.setWorkingDirectory(work);
    p.start(QStringLiteral(MIRVO_ARCHIVER_BINARY), arguments);
    const bool finished = p.waitForFinished(30000); // a run that never ends counts as failed
    return { finished && p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
             p.readAllStandardError() };
}

QStringList TestArchiver::entries(const QString &archive)
{
    QProcess p;
    p.setWorkingDirectory(work);
    p.start(QStringLiteral("unzip"), { QStringLiteral("-Z1"), archive });
    p.waitForFinished(10000);
    QStringList names
        = QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    names.sort();
    return names;
}

QByteArray TestArchiver::contentOf(const QString &archive, const QString &entry)
{
    QProcess p;
    p.setWorkingDirectory(work);
    p.start(QStringLiteral("unzip"), { QStringLiteral("-p"), archive, entry });
    p.waitForFinished(10000);
    return p.readAllStandardOutput();
}

void TestArchiver::storesNamesWithoutLeadingPath_data()
{
    QTest::addColumn<QStringList>("switches");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("file") << QStringList {} << "report.pdf" << QStringList { "report.pdf" };
    QTest::newRow("folder with subfolders")
        << QStringList { "-r" } << "docs"
        << QStringList { "docs/",          "docs/a.txt",       "docs/sub/",
                         "docs/sub/b.txt", "docs/sub/deeper/", "docs/sub/deeper/c.txt" };
    QTest::newRow("folder given with a trailing slash")
        << QStringList { "-r" } << "docs/"
        << QStringList { "docs/",          "docs/a.txt",       "docs/sub/",
                         "docs/sub/b.txt", "docs/sub/deeper/", "docs/sub/deeper/c.txt" };
    QTest::newRow("folder without -r keeps only its own files")
        << QStringList {} << "docs" << QStringList { "docs/", "docs/a.txt" };
    // $S stands for the folder that holds the sources.
    QTest::newRow("subfolder left out")
        << QStringList { "-r", "-x$S/docs/sub" } << "docs" << QStringList { "docs/", "docs/a.txt" };
    QTest::newRow("a file and a folder written with a slash left out")
        << QStringList { "-r", "-x$S/docs/a.txt", "-x$S/docs/sub/deeper/" } << "docs"
        << QStringList { "docs/", "docs/sub/", "docs/sub/b.txt" };
}

void TestArchiver::storesNamesWithoutLeadingPath()
{
    QFETCH(QStringList, switches);
    QFETCH(QString, path);
    QFETCH(QStringList, expected);

    switches.replaceInStrings(QStringLiteral("$S"), source);
    const QStringList arguments = QStringList { "a", "-ep1", "-m5" } + switches
        + QStringList { "out.zip", QDir(source).filePath(path) };
    const Run run = archive(arguments);
    QVERIFY2(run.exitCode == 0, run.errorOutput.constData());
    QCOMPARE(entries(QStringLiteral("out.zip")), expected);
    if (path == QLatin1String("report.pdf")) {
        QCOMPARE(contentOf(QStringLiteral("out.zip"), QStringLiteral("report.pdf")),
                 QByteArray(20000, 'r'));
        QVERIFY(QFileInfo(QDir(work).filePath(QStringLiteral("out.zip"))).size() < 1000);
    } else if (expected.contains(QStringLiteral("docs/a.txt"))) {
        QCOMPARE(contentOf(QStringLiteral("out.zip"), QStringLiteral("docs/a.txt")),
                 QByteArray("alpha\n"));
    }
}

void TestArchiver::archiveMirrorsTheSourceOnEveryRun()
{
    const QStringList arguments { "a",  "-ep1",     "-m5",
                                  "-r", "docs.zip", QDir(source).filePath("docs") };
    QCOMPARE(archive(arguments).exitCode, 0);
    QVERIFY(entries(QStringLiteral("docs.zip")).contains(QStringLiteral("docs/sub/b.txt")));

    QVERIFY(QFile::remove(QDir(source).filePath(QStringLiteral("docs/sub/b.txt"))));
    write(QStringLiteral("docs/a.txt"), "changed\n");
    QCOMPARE(archive(arguments).exitCode, 0);
    QVERIFY(!entries(QStringLiteral("docs.zip")).contains(QStringLiteral("docs/sub/b.txt")));
    QCOMPARE(contentOf(QStringLiteral("docs.zip"), QStringLiteral("docs/a.txt")),
             QByteArray("changed\n"));
    QCOMPARE(QDir(work).entryList(QDir::Files | QDir::Hidden), QStringList { "docs.zip" });
}

// A link back up the tree would make the walk endless if it were followed.
// Folders are stored with their own mode.
void TestArchiver::linksAreStoredNotFollowed()
{
    const QDir docs(QDir(source).filePath(QStringLiteral("docs")));
    QVERIFY(QFile::link(QStringLiteral(".."), docs.filePath(QStringLiteral("sub/up"))));
    QVERIFY(QFile::link(QStringLiteral("a.txt"), docs.filePath(QStringLiteral("link.txt"))));
    QVERIFY(QFile::link(QStringLiteral("nowhere"), docs.filePath(QStringLiteral("broken"))));
    QVERIFY(QFile::setPermissions(docs.filePath(QStringLiteral("sub")),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    const Run run = archive({ "a", "-ep1", "-m5", "-r", "docs.zip", docs.path() });
    QVERIFY2(run.exitCode == 0, run.errorOutput.constData());
    QCOMPARE(entries(QStringLiteral("docs.zip")),
             (QStringList { "docs/", "docs/a.txt", "docs/broken", "docs/link.txt", "docs/sub/",
                            "docs/sub/b.txt", "docs/sub/deeper/", "docs/sub/deeper/c.txt",
                            "docs/sub/up" }));
    QProcess info;
    info.setWorkingDirectory(work);
    info.start(QStringLiteral("unzip"),
               { "-Z", "docs.zip", "docs/sub/up", "docs/link.txt", "docs/sub/" });
    info.waitForFinished(10000);
    const QList<QByteArray> types = info.readAllStandardOutput().trimmed().split('\n');
    QCOMPARE(types.size(), 3);
    for (const QByteArray &type : types) {
        const bool folder = type.endsWith("docs/sub/");
        QVERIFY2(type.startsWith(folder ? "drwx------" : "lrwxrwxrwx"), type.constData());
    }
    QCOMPARE(contentOf(QStringLiteral("docs.zip"), QStringLiteral("docs/sub/up")),
             QByteArray(".."));
    QCOMPARE(contentOf(QStringLiteral("docs.zip"), QStringLiteral("docs/link.txt")),
             QByteArray("a.txt"));
}

void TestArchiver::failureKeepsTheOldArchive_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");

    QTest::newRow("missing source")
        << QStringList { "a", "-ep1", "-m5", "old.zip", "/no/such/file" }
        << "cannot find /no/such/file";
    QTest::newRow("unwritable archive")
        << QStringList { "a", "-ep1", "-m5", "missing-folder/old.zip", "SOURCE/report.pdf" }
        << "cannot write";
    QTest::newRow("unknown command")
        << QStringList { "x", "old.zip", "SOURCE/report.pdf" } << "the only command";
    QTest::newRow("missing operand")
        << QStringList { "a", "-ep1", "-m5", "old.zip" } << "exactly one archive";
}

void TestArchiver::failureKeepsTheOldArchive()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    arguments.replaceInStrings(QStringLiteral("SOURCE"), source);

    QCOMPARE(
        archive({ "a", "-ep1", "-m5", "old.zip", QDir(source).filePath("report.pdf") }).exitCode,
        0);
    QFile old(QDir(work).filePath(QStringLiteral("old.zip")));
    QVERIFY(old.open(QIODevice::ReadOnly));
    const QByteArray before = old.readAll();
    old.close();

    const Run run = archive(arguments);
    QVERIFY(run.exitCode != 0);
    QVERIFY2(run.errorOutput.contains(message.toUtf8()), run.errorOutput.constData());
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), before);
    QCOMPARE(QDir(work).entryList(QDir::Files | QDir::Hidden), QStringList { "old.zip" });
}

QTEST_GUILESS_MAIN(TestArchiver)
#include "tst_archiver.moc"
