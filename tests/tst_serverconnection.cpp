#include "testsupport.h"

#include "backupindex.h"
#include "hostfield.h"
#include "serverconnection.h"
#include "serverdestination.h"
#include "sha256.h"

#include <QtTest>

// A server's connection in read-only use, as a restore would use it,
// against pyftpdlib: the remote path is walked without making anything, a
// folder is listed, a file is downloaded, and a dropped connection is
// retried after a new login while a refusal is not. Then the server as a
// restore reads it through its destination.

class TestServerConnection : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qputenv("MIRVO_RETRY_SCALE", "0"); }
    void readOnly_data();
    void readOnly();
    void destination_data();
    void destination();
};

void TestServerConnection::readOnly_data()
{
    QTest::addColumn<QStringList>("quirks");
    QTest::addColumn<QString>("remotePath");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("outcome"); // "given up", "failed: <reason>" or "downloaded"
    QTest::addColumn<int>("retries");
    QTest::newRow("a missing folder is not made") << QStringList() << "backup/none"
                                                  << ""
                                                  << "given up" << 0;
    QTest::newRow("listed and downloaded") << QStringList() << "backup"
                                           << "sub/f.txt"
                                           << "downloaded" << 0;
    QTest::newRow("connection dropped at the download, logged in again")
        << QStringList { "--answer", "RETR:1:drop" } << "backup"
        << "sub/f.txt"
        << "downloaded" << 1;
    QTest::newRow("a missing file is a refusal, not retried")
        << QStringList() << "backup"
        << "sub/missing.txt"
        << "failed: 550 No such file or directory." << 0;
}

void TestServerConnection::readOnly()
{
    QFETCH(QStringList, quirks);
    QFETCH(QString, remotePath);
    QFETCH(QString, file);
    QFETCH(QString, outcome);
    QFETCH(int, retries);
    FtpTestServer server { FtpTestServer::PyFtpdlib };
    FtpTestServer::Options options;
    options.quirks = quirks;
    QVERIFY2(server.start(options), qPrintable(server.errorString()));
    writeFile(server.root() + "/backup/sub/f.txt", "remote contents");
    writeFile(server.root() + "/backup/sub/g.txt", "g");

    ServerConnection::Settings settings;
    settings.label = QStringLiteral("server");
    settings.address = parseHostField(QStringLiteral("127.0.0.1:%1").arg(server.port()));
    settings.user = server.user();
    settings.password = server.password();
    settings.folders = remotePath.split('/');
    settings.mode = ServerConnection::Mode::ReadOnly;
    ServerConnection connection(settings);
    QFtp *client = connection.client();
    connect(client, &QFtp::commandFinished, &connection,
            [&connection](int, bool error) { connection.commandFinished(error); });
    connect(client, &QFtp::listInfo, &connection, &ServerConnection::listInfo);
    connect(client, &QFtp::done, &connection, &ServerConnection::done);
    QStringList lines;
    connect(&connection, &ServerConnection::logLine, this, [&](const QString &l) { lines << l; });
    connect(&connection, &ServerConnection::errorLine, this, [&](const QString &l) { lines << l; });
    QString result;
    QStringList listed;
    QTemporaryDir local;
    const QString target = local.filePath(QStringLiteral("f.txt"));
    connect(&connection, &ServerConnection::ready, this,
            [&] { connection.list(QStringLiteral("sub")); });
    connect(&connection, &ServerConnection::listed, this,
            [&](const QString &, const QList<QUrlInfo> &entries) {
                for (const QUrlInfo &entry : entries)
                    listed << entry.name();
            });
    connect(&connection, &ServerConnection::operationDone, this, [&] {
        if (!listed.isEmpty() && file.isEmpty())
            result = QStringLiteral("listed");
        else if (QFileInfo::exists(target))
            result = QStringLiteral("downloaded");
        else
            connection.download(file, target);
    });
    connect(&connection, &ServerConnection::operationFailed, this,
            [&](const QString &reason) { result = "failed: " + reason; });
    connect(&connection, &ServerConnection::givenUp, this,
            [&] { result = QStringLiteral("given up"); });
    connection.start();
    QVERIFY2(waitUntil([&] { return !result.isEmpty(); }, 20000), qPrintable(lines.join('\n')));

    QCOMPARE(result, outcome);
    QCOMPARE(lines.filter(QStringLiteral("trying again")).size(), retries);
    QVERIFY(server.commands().filter(QRegularExpression("^(MKD|STOR|DELE)")).isEmpty());
    if (outcome == QLatin1String("given up")) {
        QVERIFY(lines.contains(QStringLiteral("server cannot find folder none")));
        return;
    }
    listed.sort();
    QCOMPARE(listed, (QStringList { "f.txt", "g.txt" }));
    if (outcome == QLatin1String("downloaded"))
        QCOMPARE(readFile(target), QByteArray("remote contents"));
    else
        QVERIFY(!QFileInfo::exists(target)); // no part of a file passes for it
}

// A day folder read whole (the copies its index lists and that are there,
// others by name and size; a copy under way and a link are none), looked
// for by name (without a listing where the server has SIZE), a copy
// fetched with its digest, and a cancelled fetch: no answer comes, and the
// next call logs in again.
void TestServerConnection::destination_data()
{
    QTest::addColumn<QStringList>("quirks");
    QTest::newRow("with SIZE") << QStringList();
    QTest::newRow("without SIZE") << QStringList { "--no-size" };
}

void TestServerConnection::destination()
{
    QFETCH(QStringList, quirks);
    FtpTestServer server { FtpTestServer::PyFtpdlib };
    FtpTestServer::Options options;
    options.quirks = quirks;
    QVERIFY2(server.start(options), qPrintable(server.errorString()));
    const QString latest = server.root() + "/backup/latest";
    writeFile(latest + "/a.txt", "indexed");
    writeFile(latest + "/b.txt", "made before indexes");
    writeFile(latest + "/.c.txt.upload", "under way");
    QVERIFY(QFile::link("a.txt", latest + "/link.txt"));
    const IndexEntry indexed { "a.txt",
                               IndexEntry::File,
                               7,
                               QDateTime::currentDateTime(),
                               Sha256::ofFile(latest + "/a.txt"),
                               "/home/alice/a.txt" };
    BackupIndex index;
    index.update(indexed);
    index.update(IndexEntry { "gone.txt", IndexEntry::File, 1, QDateTime::currentDateTime(),
                              indexed.sha256, "/home/alice/gone.txt" });
    QString problem;
    QVERIFY(index.write(latest, &problem));

    ServerDestination destination({ QStringLiteral("127.0.0.1:%1").arg(server.port()),
                                    server.user(), server.password(), "backup" });
    QList<DayFolder> folders;
    std::optional<FolderHoldings> holdings;
    QByteArray fetched;
    QString failure;
    connect(&destination, &BackupDestination::foldersListed, this,
            [&](const QList<DayFolder> &listed) { folders = listed; });
    connect(&destination, &BackupDestination::folderRead, this,
            [&](const FolderHoldings &read) { holdings = read; });
    connect(&destination, &BackupDestination::fetched, this,
            [&](const QByteArray &sha256) { fetched = sha256; });
    connect(&destination, &BackupDestination::failed, this,
            [&](const QString &problem) { failure = problem; });
    const auto names = [&holdings] {
        QStringList list;
        for (const IndexEntry &copy : holdings->copies)
            list << copy.name + (copy.sha256.isEmpty() ? "" : " indexed");
        list.sort();
        return list;
    };

    destination.listFolders();
    QVERIFY2(waitUntil([&] { return !folders.isEmpty() || !failure.isEmpty(); }, 20000),
             qPrintable(failure));
    QCOMPARE(folders.size(), 1);
    QVERIFY(folders.first().isLatest());

    destination.readFolder(folders.first());
    QVERIFY2(waitUntil([&] { return holdings || !failure.isEmpty(); }, 20000), qPrintable(failure));
    QCOMPARE(names(), (QStringList { "a.txt indexed", "b.txt" }));
    QCOMPARE(*holdings->find("a.txt"), indexed);
    QCOMPARE(holdings->find("b.txt")->size, 19);

    const bool hasSize = quirks.isEmpty();
    for (const QString name : { "missing.txt", "b.txt", "a.txt" }) {
        holdings.reset();
        const int lists = server.commands().filter(QRegularExpression("^LIST")).size();
        destination.readFolderFor(folders.first(), { name });
        QVERIFY2(waitUntil([&] { return holdings || !failure.isEmpty(); }, 20000),
                 qPrintable(failure));
        QCOMPARE(server.commands().filter(QRegularExpression("^LIST")).size(),
                 lists + (hasSize ? 0 : 1));
        QVERIFY(holdings->find(name) || name == QLatin1String("missing.txt"));
        if (hasSize)
            QCOMPARE(holdings->copies.size(), name == QLatin1String("missing.txt") ? 0 : 1);
    }
    QCOMPARE(*holdings->find("a.txt"), indexed);

    QTemporaryDir local;
    destination.fetch(folders.first(), indexed, local.filePath("first"));
    destination.cancel();
    destination.fetch(folders.first(), indexed, local.filePath("copy"));
    QVERIFY2(waitUntil([&] { return !fetched.isEmpty() || !failure.isEmpty(); }, 20000),
             qPrintable(failure));
    QCOMPARE(fetched, indexed.sha256);
    QCOMPARE(readFile(local.filePath("copy")), QByteArray("indexed"));
    QTest::qWait(100); // an answer to the cancelled fetch would come by now
    QCOMPARE(failure, QString());
    QCOMPARE(server.commands().filter(QRegularExpression("^USER ")).size(), 2);
    QVERIFY(server.commands().filter(QRegularExpression("^(MKD|STOR|DELE|RNFR)")).isEmpty());
}

QTEST_MAIN(TestServerConnection)
#include "tst_serverconnection.moc"
