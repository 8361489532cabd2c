#include "testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    void extractionRestoresTheTree();
    void extractionRefusesWhatClimbsOut_data();
    void extractionRefusesWhatClimbsOut();
    void damagedMemberIsReported();
    void mixedFolderReadsBackWithUnzip_data();
    void mixedFolderReadsBackWithUnzip();
    void memberOverFourGiB();

private:
    struct Run
    {
        int exitCode;
        QByteArray errorOutput;
    };
    Run archive(const QStringList &arguments, int timeoutMs = 30000);
    QStringList entries(const QString &archive);
    QStringList methods(const QString &archive);
    QByteArray contentOf(const QString &archive, const QString &entry);
    void write(const QString &relativePath, const QByteArray &content);
    void craft(const QString &archive, const QStringList &members);
    static QStringList treeOf(const QString &folder);

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

TestArchiver::Run TestArchiver::archive(const QStringList &arguments, int timeoutMs)
{
    QProcess p;
    p.setWorkingDirectory(work);
    p.start(QStringLiteral(MIRVO_ARCHIVER_BINARY), arguments);
    const bool finished = p.waitForFinished(timeoutMs); // a run that never ends counts as failed
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

// Each member's name and compression method ("stor", "defX", ...), as unzip sees them.
QStringList TestArchiver::methods(const QString &archive)
{
    QProcess p;
    p.setWorkingDirectory(work);
    p.start(QStringLiteral("unzip"), { QStringLiteral("-Zs"), archive });
    p.waitForFinished(10000);
    QStringList lines;
    for (const QString &line : QString::fromUtf8(p.readAllStandardOutput()).split('\n')) {
        const QStringList fields = line.split(' ', Qt::SkipEmptyParts);
        if (fields.size() == 9 && fields.at(0).size() == 10) // a member's line
            lines << fields.at(8) + ' ' + fields.at(5);
    }
    return lines;
}

QByteArray TestArchiver::contentOf(const QString &archive, const QString &entry)
{
    QProcess p;
    p.setWorkingDirectory(work);
    p.start(QStringLiteral("unzip"), { QStringLiteral("-p"), archive, entry });
    p.waitForFinished(10000);
    return p.readAllStandardOutput();
}

// Writes an archive with Python's zipfile, as another program might: each
// member is "F\tNAME\tCONTENT" for a file or "L\tNAME\tTARGET" for a link.
void TestArchiver::craft(const QString &archive, const QStringList &members)
{
    QProcess python;
    python.setWorkingDirectory(work);
    python.start(QStringLiteral("/usr/bin/python3"),
                 { "-c",
                   "import sys, zipfile\n"
                   "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                   "    for line in sys.stdin.read().splitlines():\n"
                   "        kind, name, data = line.split('\\t')\n"
                   "        info = zipfile.ZipInfo(name)\n"
                   "        info.create_system = 3\n"
                   "        info.external_attr = (0o120777 if kind == 'L' else 0o100644) << 16\n"
                   "        z.writestr(info, data)\n",
                   archive });
    python.write(members.join('\n').toUtf8());
    python.closeWriteChannel();
    QVERIFY(python.waitForFinished(10000));
    QCOMPARE(python.exitCode(), 0);
}

// Every entry under `folder`, one line each with its type and mode, its
// modification time and its content (a link's target), so that two trees
// compare in one go.
QStringList TestArchiver::treeOf(const QString &folder)
{
    QStringList lines;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QByteArray path = QFile::encodeName(it.next());
        struct stat status;
        if (::lstat(path.constData(), &status) != 0)
            return { "cannot read " + QString::fromUtf8(path) };
        QString line = QDir(folder).relativeFilePath(QFile::decodeName(path))
            + QStringLiteral(" %1 %2 ").arg(status.st_mode, 0, 8).arg(status.st_mtime);
        if (S_ISLNK(status.st_mode)) {
            char target[4096];
            const ssize_t length = ::readlink(path.constData(), target, sizeof target);
            line += QFile::decodeName(QByteArray(target, int(qMax<ssize_t>(length, 0))));
        }
        if (S_ISREG(status.st_mode))
            line += QCryptographicHash::hash(readFile(QFile::decodeName(path)),
                                             QCryptographicHash::Md5)
                        .toHex();
        lines << line;
    }
    lines.sort();
    return lines;
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

// Files, folders and links come back with their modes and times; what
// stands in the folder under a member's name is replaced, a link there
// included, without writing through it.
void TestArchiver::extractionRestoresTheTree()
{
    const QDir docs(QDir(source).filePath(QStringLiteral("docs")));
    QVERIFY(QFile::link(QStringLiteral(".."), docs.filePath(QStringLiteral("sub/up"))));
    QVERIFY(QFile::link(QStringLiteral("a.txt"), docs.filePath(QStringLiteral("link.txt"))));
    write(QStringLiteral("docs/run.sh"), "#!/bin/sh\n");
    QVERIFY(QFile::setPermissions(docs.filePath(QStringLiteral("run.sh")),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                      | QFile::ReadGroup | QFile::ExeGroup));
    QVERIFY(QFile::setPermissions(docs.filePath(QStringLiteral("sub")),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    // An odd second, which the MS-DOS time field cannot hold; links and
    // folders last, as writing into a folder changes its time.
    const QDateTime time(QDate(2020, 3, 4), QTime(5, 6, 9));
    const timespec times[2] = { { time.toSecsSinceEpoch(), 0 }, { time.toSecsSinceEpoch(), 0 } };
    for (const QString &entry : treeOf(docs.path()))
        ::utimensat(AT_FDCWD, QFile::encodeName(docs.filePath(entry.section(' ', 0, 0))), times,
                    AT_SYMLINK_NOFOLLOW);
    for (const char *folder : { "sub/deeper", "sub" })
        setModified(docs.filePath(folder), time.addSecs(3600));

    QCOMPARE(archive({ "a", "-ep1", "-m5", "-r", "docs.zip", docs.path() }).exitCode, 0);
    const QString out = root->filePath(QStringLiteral("out"));
    write(QStringLiteral("../outside.txt"), "outside\n");
    QVERIFY(QDir().mkpath(out + "/docs"));
    QVERIFY(QFile::link(root->filePath(QStringLiteral("outside.txt")), out + "/docs/a.txt"));
    write(QStringLiteral("../out/docs/sub/b.txt"), "old content\n");

    const Run run = archive({ "x", "-o+", "docs.zip", out + "/" });
    QVERIFY2(run.exitCode == 0, run.errorOutput.constData());
    QVERIFY(run.errorOutput.isEmpty());
    QCOMPARE(treeOf(out + "/docs"), treeOf(docs.path()));
    QCOMPARE(readFile(root->filePath(QStringLiteral("outside.txt"))), QByteArray("outside\n"));
}

void TestArchiver::extractionRefusesWhatClimbsOut_data()
{
    QTest::addColumn<QStringList>("members"); // as craft() takes them; $R is the temporary root
    QTest::addColumn<QString>("existingLink"); // a link made in the folder beforehand

    QTest::newRow("dot-dot") << QStringList { "F\t../outside/up.txt\tx" } << "";
    QTest::newRow("dot-dot inside the name")
        << QStringList { "F\tin/../../outside/deep.txt\tx" } << "";
    QTest::newRow("absolute name") << QStringList { "F\t$R/outside/absolute.txt\tx" } << "";
    QTest::newRow("backslashes") << QStringList { "F\t..\\outside\\back.txt\tx" } << "";
    QTest::newRow("drive letter") << QStringList { "F\tC:\\outside\\drive.txt\tx" } << "";
    QTest::newRow("through a link member")
        << QStringList { "L\tescape\t$R/outside", "F\tescape/through.txt\tx" } << "";
    QTest::newRow("through a relative link member deeper down")
        << QStringList { "L\tin/escape\t../../outside", "F\tin/escape/sub/rel.txt\tx" } << "";
    QTest::newRow("a folder member through a link member")
        << QStringList { "L\tescape\t$R/outside", "F\tescape/folder/\t" } << "";
    QTest::newRow("through a link already there") << QStringList { "F\tthere/x.txt\tx" } << "there";
}

// Nothing is written outside the folder; the harmless members still come out.
void TestArchiver::extractionRefusesWhatClimbsOut()
{
    QFETCH(QStringList, members);
    QFETCH(QString, existingLink);
    members.replaceInStrings(QStringLiteral("$R"), root->path());
    craft(QStringLiteral("crafted.zip"), members + QStringList { "F\tkept.txt\tkept" });
    const QString out = root->filePath(QStringLiteral("out"));
    const QString outside = root->filePath(QStringLiteral("outside"));
    QVERIFY(QDir().mkpath(outside) && QDir().mkpath(out));
    if (!existingLink.isEmpty())
        QVERIFY(QFile::link(outside, out + "/" + existingLink));

    const Run run = archive({ "x", "-o+", "crafted.zip", out + "/" });
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.errorOutput.count('\n'), 1);
    QVERIFY2(run.errorOutput.startsWith("mirvo-archiver: refused "), run.errorOutput.constData());
    QCOMPARE(QDir(outside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList());
    QCOMPARE(QDir(root->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             (QStringList { "out", "outside", "source", "work" }));
    QCOMPARE(readFile(out + "/kept.txt"), QByteArray("kept"));
}

// "t" names the damaged member and only it; "x" leaves it out and fails.
void TestArchiver::damagedMemberIsReported()
{
    write(QStringLiteral("docs/sub/b.txt"), QByteArray(5000, 'b'));
    QCOMPARE(
        archive({ "a", "-ep1", "-m0", "-r", "docs.zip", QDir(source).filePath("docs") }).exitCode,
        0);
    const Run sound = archive({ "t", "docs.zip" });
    QCOMPARE(sound.exitCode, 0);
    QCOMPARE(sound.errorOutput, QByteArray());

    QFile file(QDir(work).filePath(QStringLiteral("docs.zip")));
    QVERIFY(file.open(QIODevice::ReadWrite));
    QByteArray bytes = file.readAll();
    bytes[bytes.indexOf(QByteArray(5000, 'b')) + 2500] = 'X';
    file.seek(0);
    file.write(bytes);
    file.close();

    const Run test = archive({ "t", "docs.zip" });
    QCOMPARE(test.exitCode, 1);
    QCOMPARE(test.errorOutput.count('\n'), 1);
    QVERIFY2(test.errorOutput.startsWith("mirvo-archiver: damaged docs/sub/b.txt: "),
             test.errorOutput.constData());
    const QString out = root->filePath(QStringLiteral("out"));
    const Run extract = archive({ "x", "-o+", "docs.zip", out });
    QCOMPARE(extract.exitCode, 1);
    QVERIFY2(extract.errorOutput.contains("docs/sub/b.txt"), extract.errorOutput.constData());
    QVERIFY(!QFile::exists(out + "/docs/sub/b.txt"));
    QCOMPARE(readFile(out + "/docs/a.txt"), QByteArray("alpha\n"));
}

void TestArchiver::mixedFolderReadsBackWithUnzip_data()
{
    QTest::addColumn<QString>("level");
    QTest::addColumn<QStringList>("methods");

    QTest::newRow("-m5: what does not compress is stored")
        << "-m5"
        << QStringList {
               "mixed/ stor",          "mixed/empty stor",           "mixed/noise.bin stor",
               "mixed/photo.jpg stor", "mixed/small-noise.bin stor", "mixed/small.txt defX",
               "mixed/text.txt defX"
           };
    QTest::newRow("-m1") << "-m1" << QStringList { "mixed/ stor",
                                                   "mixed/empty stor",
                                                   "mixed/noise.bin stor",
                                                   "mixed/photo.jpg stor",
                                                   "mixed/small-noise.bin stor",
                                                   "mixed/small.txt defS",
                                                   "mixed/text.txt defS" };
    QTest::newRow("-m0 stores everything") << "-m0" << QStringList { "mixed/ stor",
                                                                     "mixed/empty stor",
                                                                     "mixed/noise.bin stor",
                                                                     "mixed/photo.jpg stor",
                                                                     "mixed/small-noise.bin stor",
                                                                     "mixed/small.txt stor",
                                                                     "mixed/text.txt stor" };
}

// Members longer than the archiver's blocks and shorter ones, that compress
// and that do not; a named pipe is left out, not waited on.
void TestArchiver::mixedFolderReadsBackWithUnzip()
{
    QFETCH(QString, level);
    QFETCH(QStringList, methods);
    QRandomGenerator random(7);
    const auto noise = [&random](int size) {
        QByteArray bytes(size, Qt::Uninitialized);
        for (char &byte : bytes)
            byte = char(random.generate());
        return bytes;
    };
    QByteArray text;
    for (int line = 0; text.size() < 3 * 1024 * 1024; ++line)
        text += QByteArray::number(line) + " a line of text, number " + QByteArray::number(line * 7)
            + "\n";
    write(QStringLiteral("mixed/text.txt"), text);
    write(QStringLiteral("mixed/small.txt"), text.left(30000));
    write(QStringLiteral("mixed/noise.bin"), noise(2500000));
    write(QStringLiteral("mixed/small-noise.bin"), noise(300000));
    write(QStringLiteral("mixed/photo.jpg"), "\xFF\xD8\xFF\xE0" + text.left(200000));
    write(QStringLiteral("mixed/empty"), "");
    const QString mixed = QDir(source).filePath(QStringLiteral("mixed"));
    QCOMPARE(::mkfifo(QFile::encodeName(mixed + "/pipe").constData(), 0600), 0);

    const Run run = archive({ "a", "-ep1", level, "-r", "mixed.zip", mixed });
    QVERIFY2(run.exitCode == 0, run.errorOutput.constData());
    QCOMPARE(run.errorOutput,
             "mirvo-archiver: left out " + QFile::encodeName(mixed)
                 + "/pipe: not a regular file\n");
    QVERIFY(QFile::remove(mixed + "/pipe"));
    QCOMPARE(this->methods(QStringLiteral("mixed.zip")), methods);
    const QString out = root->filePath(QStringLiteral("out"));
    QCOMPARE(QProcess::execute(QStringLiteral("unzip"), { "-tqq", work + "/mixed.zip" }), 0);
    QCOMPARE(QProcess::execute(QStringLiteral("unzip"), { "-q", work + "/mixed.zip", "-d", out }),
             0);
    QCOMPARE(treeOf(out + "/mixed"), treeOf(mixed));
}

// A sparse member past 4 GiB, whose sizes need the 64-bit fields.
void TestArchiver::memberOverFourGiB()
{
    const qint64 size = (qint64(1) << 32) + 123456789;
    QFile sparse(QDir(source).filePath(QStringLiteral("large/sparse.img")));
    QVERIFY(QDir().mkpath(QFileInfo(sparse).path()));
    QVERIFY(sparse.open(QIODevice::WriteOnly) && sparse.resize(size));
    QVERIFY(sparse.seek(size - 4) && sparse.write("end.") == 4);
    sparse.close();
    write(QStringLiteral("large/z.txt"), "after the large member\n");

    // Minutes, not seconds, on a busy machine or under the sanitizers.
    const int patience = 5 * 60 * 1000;
    const Run run = archive(
        { "a", "-ep1", "-m1", "-r", "large.zip", QDir(source).filePath("large") }, patience);
    QVERIFY2(run.exitCode == 0, run.errorOutput.constData());
    QProcess list;
    list.start(QStringLiteral("unzip"), { "-Zl", work + "/large.zip", "large/sparse.img" });
    QVERIFY(list.waitForFinished(10000));
    QVERIFY2(list.readAllStandardOutput().contains(" " + QByteArray::number(size) + " "),
             "the member's size as unzip reads it");
    QCOMPARE(contentOf(QStringLiteral("large.zip"), QStringLiteral("large/z.txt")),
             QByteArray("after the large member\n"));
    const Run test = archive({ "t", "large.zip" }, patience);
    QVERIFY2(test.exitCode == 0, test.errorOutput.constData());
}

QTEST_GUILESS_MAIN(TestArchiver)
#include "tst_archiver.moc"
