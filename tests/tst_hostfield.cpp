#include "hostfield.h"

#include <QtTest>

// The host field of an "ftp=" line: which host, port and TLS it asks for,
// and which fields are refused before anything is sent.
class TestHostField : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
};

void TestHostField::parse_data()
{
    const QString pin(64, QLatin1Char('a'));
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("host"); // empty: the field is refused
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("tls");
    QTest::addColumn<bool>("pinned");
    const int none = QFtp::NoTls, explicitTls = QFtp::ExplicitTls, implicitTls = QFtp::ImplicitTls;
    QTest::newRow("name") << "ftp.example.org"
                          << "ftp.example.org" << 21 << none << false;
    QTest::newRow("name:port") << "nas.local:2121"
                               << "nas.local" << 2121 << none << false;
    QTest::newRow("bare IPv6 stays a host") << "fe80::1"
                                            << "fe80::1" << 21 << none << false;
    QTest::newRow("[IPv6]:port") << "[::1]:2121"
                                 << "::1" << 2121 << none << false;
    QTest::newRow("[IPv6]") << "[::1]"
                            << "::1" << 21 << none << false;
    QTest::newRow("ftp://") << "ftp://10.0.0.2:21"
                            << "10.0.0.2" << 21 << none << false;
    QTest::newRow("ftpes:// default port") << "ftpes://nas"
                                           << "nas" << 21 << explicitTls << false;
    QTest::newRow("ftps:// default port") << "FTPS://nas/"
                                          << "nas" << 990 << implicitTls << false;
    QTest::newRow("pin with colons, any case")
        << "ftpes://[::1]:990#SHA256=" + QString("Aa:").repeated(31) + "aA"
        << "::1" << 990 << explicitTls << true;
    QTest::newRow("pin without colons")
        << "ftps://nas:8990#sha256=" + pin << "nas" << 8990 << implicitTls << true;
    QTest::newRow("pin on plain FTP") << "nas#sha256=" + pin << "" << 0 << 0 << false;
    QTest::newRow("short pin") << "ftpes://nas#sha256=abcd"
                               << "" << 0 << 0 << false;
    QTest::newRow("other hash") << "ftpes://nas#sha1=" + pin << "" << 0 << 0 << false;
    QTest::newRow("port 0") << "nas:0"
                            << "" << 0 << 0 << false;
    QTest::newRow("port too big") << "nas:65536"
                                  << "" << 0 << 0 << false;
    QTest::newRow("port with sign") << "nas:+21"
                                    << "" << 0 << 0 << false;
    QTest::newRow("no host") << "ftpes://:21"
                             << "" << 0 << 0 << false;
    QTest::newRow("other scheme") << "sftp://nas"
                                  << "" << 0 << 0 << false;
    QTest::newRow("unclosed bracket") << "[::1:21"
                                      << "" << 0 << 0 << false;
    QTest::newRow("path after host") << "ftp://nas/backup"
                                     << "" << 0 << 0 << false;
}

void TestHostField::parse()
{
    QFETCH(QString, field);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(int, tls);
    QFETCH(bool, pinned);
    const ServerAddress address = parseHostField(field);
    if (host.isEmpty()) {
        QVERIFY2(!address.problem.isEmpty(), qPrintable(address.host));
        return;
    }
    QVERIFY2(address.problem.isEmpty(), qPrintable(address.problem));
    QCOMPARE(address.host, host);
    QCOMPARE(int(address.port), port);
    QCOMPARE(int(address.tls), tls);
    QCOMPARE(address.pinnedSha256.size(), pinned ? 32 : 0);
}

QTEST_GUILESS_MAIN(TestHostField)
#include "tst_hostfield.moc"
