#include "backupindex.h"
#include "mainwindow.h"
#include "sha256.h"
#include "stringcipher.h"
#include "support/port21.h"
#include "support/sessionbus.h"
#include "testsupport.h"

#include <QtTest>

#include <unistd.h>

// Backups made by the real mirvo, then their copies damaged in each way a
// disk or a server can damage them: mirvo --verify says which, changes
// nothing, and the next backup mends what was damaged in latest/.

namespace {

const QDateTime oldTime(QDate(2017, 3, 4), QTime(5, 6, 7), Qt::UTC);

enum Damage {
    Removed, // the copy goes, its index line stays
    Truncated,
    BytesChanged, // same size
    MemberBroken, // an archive member's bytes, the index rewritten to match
    LineRemoved // the index line goes, the copy stays
};

// Every file below `root` with its size, time and digest.
QStringList snapshot(const QString &root)
{
    QStringList lines;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        lines << QStringList { info.filePath(), QString::number(info.size()),
                               info.lastModified().toString(Qt::ISODateWithMs),
                               QString::fromLatin1(info.isFile() ? Sha256::ofFile(info.filePath())
                                                                 : QByteArray()) }
                     .join(' ');
    }
    lines.sort();
    return lines;
}

void rewriteIndexLine(const QString &folder, const QString &name, bool remove)
{
    BackupIndex index;
    QString problem;
    QVERIFY(index.read(folder, &problem));
    if (remove) {
        index.remove(name);
    } else {
        IndexEntry copy = *index.find(name);
        copy.size = QFileInfo(folder + "/" + name).size();
        copy.sha256 = Sha256::ofFile(folder + "/" + name);
        index.update(copy);
    }
    QVERIFY(index.write(folder, &problem));
}

// The first member's data starts after its local header, its name and its extra field.
void breakFirstMember(const QString &archive)
{
    QByteArray bytes = readFile(archive);
    QVERIFY(bytes.startsWith("PK\x03\x04"));
    const auto field = [&bytes](int at) {
        return uchar(bytes.at(at)) | uchar(bytes.at(at + 1)) << 8;
    };
    const int data = 30 + field(26) + field(28);
    bytes[data] = char(bytes.at(data) ^ 0x55);
    writeFile(archive, bytes);
}

} // namespace

class TestVerify : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void damages_data();
    void damages();
    void shareRotates();

private:
    struct Outcome
    {
        int status = -1;
        QStringList out;
        QString err;
    };
    Outcome mirvo(const QStringList &arguments, const QStringList &environment = {});
    bool backUp();
    QString path(const QString &relative) const { return dir->filePath(relative); }
    // Where a destination keeps its copies, on this machine's disk.
    QString keptIn(const QString &destination) const
    {
        return path(destination == "server" ? "server/backup" : "saves");
    }
    QString label(const QString &destination) const
    {
        return destination == "server" ? server->address() + " - backup" : path("saves");
    }
    QStringList destinationFiles() const
    {
        return snapshot(path("saves")) + snapshot(path("server"));
    }
    int copies() const { return server ? 12 : 6; }

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<FtpTestServer> server; // none without root: mirvo connects to port 21
    bool serverIndexesCopied = false;
};

void TestVerify::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    writeFile(path("src/notes.txt"), "notes, some of them");
    writeFile(path("src/photos/beach.jpg"), QByteArray(3000, 'b') + "sand");
    writeFile(path("src/photos/sub/a.txt"), "a");
    writeFile(path("src/report.txt"), "the report");
    for (const char *file : { "src/notes.txt", "src/photos/beach.jpg", "src/photos/sub/a.txt",
                              "src/photos/sub", "src/photos", "src/report.txt" })
        setModified(path(file), oldTime);
    // The history keeps whole seconds: a source made in the second of its
    // backup would count as changed on the next run.
    QThread::msleep(1001 - QTime::currentTime().msec());
    QVERIFY(QDir().mkpath(path("saves")));
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
              serverLine + "winrar=" MIRVO_ARCHIVER_BINARY "\npath=" + path("saves").toUtf8()
                  + "\nfile=" + path("src/notes.txt").toUtf8()
                  + " notes.txt\nzippedfile=" + path("src/report.txt").toUtf8()
                  + " report\nzippedfolder=" + path("src/photos").toUtf8() + " photos\n");
    QVERIFY(backUp());
}

void TestVerify::cleanup()
{
    server.reset();
    dir.reset();
    serverIndexesCopied = false;
}

TestVerify::Outcome TestVerify::mirvo(const QStringList &arguments, const QStringList &environment)
{
    MirvoProcess process(dir->path());
    Outcome outcome;
    if (!process.start(QStringList { "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM" }
                           + environment,
                       arguments)
        || !process.waitForExit(60000))
        return outcome;
    outcome.status = process.exitCode();
    outcome.out = process.standardOutput().split('\n', Qt::SkipEmptyParts);
    outcome.err = process.rawOutput();
    return outcome;
}

// A server that keeps no index of its own is given the save folder's,
// which lists the same bytes.
bool TestVerify::backUp()
{
    if (mirvo({ "--unattended" }).status != 0)
        return false;
    if (!server)
        return true;
    for (const QString &folder : { QStringLiteral("latest"), MirvoProcess::datedFolderName() }) {
        const QString index = "/" + folder + "/" + BackupIndex::fileName;
        if (!serverIndexesCopied && QFileInfo::exists(keptIn("server") + index))
            continue;
        serverIndexesCopied = true;
        QFile::remove(keptIn("server") + index);
        if (!QFile::copy(keptIn("saves") + index, keptIn("server") + index))
            return false;
    }
    return true;
}

// Each damage, to a copy in latest/ or in a dated folder, in a save folder
// or on a server: one error line naming it, the other copies sound,
// nothing changed anywhere, the desktop told. The next backup replaces a
// copy damaged in latest/; a dated one stays reported.
void TestVerify::damages_data()
{
    QTest::addColumn<QString>("destination"); // "saves" or "server"
    QTest::addColumn<QString>("name"); // stored name
    QTest::addColumn<bool>("latest");
    QTest::addColumn<int>("damage");
    QTest::addColumn<QString>("finding");

    for (const char *destination : { "saves", "server" }) {
        const auto row = [destination](const char *what) -> QTestData & {
            return QTest::addRow("%s, %s", destination, what) << QString(destination);
        };
        row("removed, latest") << "notes.txt" << true << int(Removed) << " is missing";
        row("removed, dated") << "notes.txt" << false << int(Removed) << " is missing";
        row("truncated, latest") << "notes.txt" << true << int(Truncated)
                                 << " has another size: 5 bytes where 19 were stored";
        row("archive truncated, dated")
            << "photos.zip" << false << int(Truncated) << " has another size: 5 bytes where ";
        row("same size, bytes changed, latest")
            << "notes.txt" << true << int(BytesChanged) << " has other bytes than were stored";
        row("archive bytes changed, dated")
            << "report.zip" << false << int(BytesChanged)
            << " has other bytes than were stored, and is a broken archive: ";
        row("archive member broken, latest")
            << "photos.zip" << true << int(MemberBroken) << " is a broken archive: ";
        row("index line removed, latest")
            << "notes.txt" << true << int(LineRemoved) << " has no index to check against";
    }
}

void TestVerify::damages()
{
    QFETCH(QString, destination);
    QFETCH(QString, name);
    QFETCH(bool, latest);
    QFETCH(int, damage);
    QFETCH(QString, finding);
    if (destination == "server" && !server)
        QSKIP("needs root: mirvo connects to port 21 of the server");

    const QString day = latest ? "latest" : QDate::currentDate().toString(Qt::ISODate);
    const QString folder
        = keptIn(destination) + "/" + (latest ? "latest" : MirvoProcess::datedFolderName());
    const QString copy = folder + "/" + name;
    const QByteArray before = readFile(copy);
    switch (Damage(damage)) {
    case Removed:
        QVERIFY(QFile::remove(copy));
        break;
    case Truncated:
        writeFile(copy, before.left(5));
        break;
    case BytesChanged: {
        QByteArray bytes = before;
        bytes[bytes.size() / 2] = char(bytes.at(bytes.size() / 2) ^ 1);
        if (name.endsWith(".zip"))
            breakFirstMember(copy);
        else
            writeFile(copy, bytes);
        break;
    }
    case MemberBroken:
        breakFirstMember(copy);
        rewriteIndexLine(folder, name, false);
        break;
    case LineRemoved:
        rewriteIndexLine(folder, name, true);
        break;
    }
    const QByteArray damaged = readFile(copy);

    SessionBus bus;
    QVERIFY2(bus.start(), qPrintable(bus.errorString()));
    const QStringList desktop { "DBUS_SESSION_BUS_ADDRESS=" + bus.address() };
    const QStringList kept = destinationFiles();
    Outcome outcome = mirvo({ "--verify", "--unattended" }, desktop);
    const QString shown = outcome.out.join('\n');
    QCOMPARE(outcome.status, 1);
    const QString line = "Error : " + name + " (" + day + ") in " + label(destination) + finding;
    QCOMPARE(outcome.out.filter("Error : ").size(), 2);
    QVERIFY2(outcome.out.filter("Error : ").first().startsWith(line), qPrintable(shown));
    for (const QString &one : server ? QStringList { "saves", "server" } : QStringList { "saves" })
        QVERIFY2(outcome.out
                         .filter(QRegularExpression("^" + QRegularExpression::escape(label(one))
                                                    + ": 6 copies and \\d+ bytes checked$"))
                         .size()
                     == 1,
                 qPrintable(shown));
    QCOMPARE(outcome.out.last(),
             QString("Error : Verify found problems: 1 copies damaged or missing"));
    QCOMPARE(bus.notifications().size(), 1);
    QCOMPARE(bus.notifications().first().mid(0, 2),
             QStringList({ "Mirvo", "Mirvo: verify found problems" }));
    QCOMPARE(destinationFiles(), kept);

    // The next backup sends again what latest/ holds damaged, whole.
    QVERIFY(backUp());
    if (latest && name.endsWith(".zip"))
        QVERIFY(readFile(copy) != damaged);
    else if (latest)
        QCOMPARE(readFile(copy), before);
    outcome = mirvo({ "--verify" });
    QCOMPARE(outcome.status, latest ? 0 : 1);
    if (latest)
        QCOMPARE(outcome.out.last(), QString("Verify complete: %1 copies checked").arg(copies()));
    else
        QVERIFY2(outcome.err.contains(line), qPrintable(outcome.err));
}

// A share of the bytes on each run, the copies checked longest ago (or
// never) first, until every copy was checked.
void TestVerify::shareRotates()
{
    QMap<QString, QDateTime> lastChecked; // destination, day folder and name -> time
    QSet<QString> everChecked;
    for (int run = 0; run < 4; ++run) {
        const Outcome outcome = mirvo({ "--verify", "--verify-share", "34" });
        QCOMPARE(outcome.status, 0);
        QCOMPARE(outcome.out.size(), server ? 3 : 2);
        const QStringList lines = QString::fromUtf8(readFile(path("verified"))).split('\n');
        QCOMPARE(lines.first(), QString("mirvo verified 1"));
        QMap<QString, QDateTime> now;
        for (const QString &line : lines.mid(1, lines.size() - 2)) {
            const QStringList fields = line.split('\t');
            QCOMPARE(fields.last(), QString("sound"));
            now[QStringList(fields.mid(0, 3)).join('/')]
                = QDateTime::fromString(fields.at(3), Qt::ISODateWithMs);
        }
        QSet<QString> checked;
        for (auto it = now.constBegin(); it != now.constEnd(); ++it) {
            if (lastChecked.value(it.key()) != it.value())
                checked << it.key();
        }
        QVERIFY2(!checked.isEmpty() && checked.size() < copies(),
                 qPrintable(outcome.out.join('\n')));
        // None left out was checked longer ago than one taken.
        for (auto it = lastChecked.constBegin(); it != lastChecked.constEnd(); ++it) {
            for (const QString &taken : qAsConst(checked)) {
                if (!checked.contains(it.key()) && lastChecked.contains(taken))
                    QVERIFY(it.value() >= lastChecked.value(taken));
            }
        }
        everChecked += checked;
        if (run == 2)
            QCOMPARE(everChecked.size(), copies());
        lastChecked = now;
    }
}

QTEST_GUILESS_MAIN(TestVerify)
#include "tst_verify.moc"
