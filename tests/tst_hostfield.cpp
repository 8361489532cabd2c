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
    QTest::addColumn<QString>("field");
    // host, port, TLS mode and pinned or not; empty: the field is refused.
    QTest::addColumn<QString>("expected");
    const auto row = [](const char *name, const QString &field, const char *expected) {
        QTest::newRow(name) << field << QString::fromLatin1(expected);
    };
    const QString pin = "#sha256=" + QString(64, QLatin1Char('a'));
    row("name", "ftp.example.org", "ftp.example.org 21 0 0");
    row("plain field kept as written", "", " 21 0 0");
    row("name:port", "nas.local:2121", "nas.local 2121 0 0");
    row("bare IPv6 stays a host", "fe80::1", "fe80::1 21 0 0");
    row("[IPv6]:port", "[::1]:2121", "::1 2121 0 0");
    row("[IPv6]", "[::1]", "::1 21 0 0");
    row("ftp://", "ftp://10.0.0.2:21", "10.0.0.2 21 0 0");
    row("ftpes:// default port", "ftpes://nas", "nas 21 1 0");
    row("ftps:// default port", "FTPS://nas/", "nas 990 2 0");
    row("pin, colons, any case", "ftpes://[::1]:990#SHA256=" + QString("Aa:").repeated(31) + "aA",
        "::1 990 1 1");
    row("pin without colons", "ftps://nas:8990" + pin, "nas 8990 2 1");
    row("pin on plain FTP", "nas" + pin, "");
    row("short pin", "ftpes://nas#sha256=abcd", "");
    row("other hash", "ftpes://nas#sha1=" + QString(64, QLatin1Char('a')), "");
    row("port 0", "nas:0", "");
    row("port too big", "nas:65536", "");
    row("port with sign", "nas:+21", "");
    row("no host", "ftpes://:21", "");
    row("other scheme", "sftp://nas", "");
    row("unclosed bracket", "[::1:21", "");
    row("path after host", "ftp://nas/backup", "");
}

void TestHostField::parse()
{
    QFETCH(QString, field);
    QFETCH(QString, expected);
    const ServerAddress address = parseHostField(field);
    QCOMPARE(address.problem.isEmpty(), !expected.isEmpty());
    if (!expected.isEmpty()) {
        QCOMPARE(QStringLiteral("%1 %2 %3 %4")
                     .arg(address.host)
                     .arg(address.port)
                     .arg(address.tls)
                     .arg(address.pinnedSha256.size() == 32),
                 expected);
    }
}

QTEST_GUILESS_MAIN(TestHostField)
#include "tst_hostfield.moc"
