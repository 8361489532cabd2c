#include "testsupport.h"

#include "hostfield.h"
#include "serverconnection.h"

#include <QtTest>

// A server's connection in read-only use, as a restore would use it,
// against pyftpdlib: the remote path is walked without making anything, a
// folder is listed, a file is downloaded, and a dropped connection is
// retried after a new login while a refusal is not.

class TestServerConnection : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qputenv("MIRVO_RETRY_SCALE", "0"); }
    void readOnly_data();
    void readOnly();
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

QTEST_MAIN(TestServerConnection)
#include "tst_serverconnection.moc"
