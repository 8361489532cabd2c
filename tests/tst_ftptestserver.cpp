#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

#include <csignal>

// The fixtures themselves: each real server starts, takes an upload from
// curl, logs the commands it got and is gone after stop().
class TestFtpTestServer : public QObject
{
    Q_OBJECT

private slots:
    void serverRoundTrip_data();
    void serverRoundTrip();
};

void TestFtpTestServer::serverRoundTrip_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("address");
    QTest::newRow("pyftpdlib IPv4") << int(FtpTestServer::PyFtpdlib) << "127.0.0.1";
    QTest::newRow("pyftpdlib IPv6") << int(FtpTestServer::PyFtpdlib) << "::1";
    QTest::newRow("vsftpd IPv4") << int(FtpTestServer::Vsftpd) << "127.0.0.1";
}

void TestFtpTestServer::serverRoundTrip()
{
    QFETCH(int, kind);
    QFETCH(QString, address);
    SKIP_UNLESS_USABLE(kind);

    FtpTestServer server { FtpTestServer::Kind(kind) };
    QVERIFY2(server.startOn(address), qPrintable(server.errorString()));
    QVERIFY(server.port() != 0);
    const qint64 pid = server.pid();

    QTemporaryDir local;
    const QString source = local.filePath(QStringLiteral("hello.txt"));
    writeFile(source, "hello\n");

    const QString host = address.contains(QLatin1Char(':')) ? '[' + address + ']' : address;
    const int rc
        = QProcess::execute(QStringLiteral("curl"),
                            { QStringLiteral("-s"), QStringLiteral("-g"), QStringLiteral("-u"),
                              server.user() + ':' + server.password(), QStringLiteral("-T"), source,
                              QStringLiteral("ftp://%1:%2/").arg(host).arg(server.port()) });
    QCOMPARE(rc, 0);
    QFile uploaded(QDir(server.root()).filePath(QStringLiteral("hello.txt")));
    QVERIFY(uploaded.open(QIODevice::ReadOnly));
    QCOMPARE(uploaded.readAll(), QByteArray("hello\n"));
    QTRY_VERIFY(server.commands().contains(QStringLiteral("STOR hello.txt")));
    QVERIFY(server.commands().contains(QStringLiteral("PASS ****")));

    server.stop();
    QVERIFY(::kill(pid_t(pid), 0) != 0); // stopped by its PID, not left behind
    QCOMPARE(server.port(), quint16(0));
}

QTEST_GUILESS_MAIN(TestFtpTestServer)
#include "tst_ftptestserver.moc"
