#include "hostfield.h"

#include <QRegExp>

namespace {

struct Scheme
{
    const char *prefix;
    QFtp::TlsMode tls;
    quint16 defaultPort;
};

const Scheme schemes[] = {
    { "ftp://", QFtp::NoTls, 21 },
    { "ftpes://", QFtp::ExplicitTls, 21 },
    { "ftps://", QFtp::ImplicitTls, 990 },
};

// Decimal 1 to 65535, digits only (no sign, no spaces).
bool readPort(const QString &text, quint16 *port)
{
    if (text.isEmpty() || text.size() > 5)
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    const uint value = text.toUInt();
    if (value < 1 || value > 65535)
        return false;
    *port = quint16(value);
    return true;
}

// "host", "host:port", "[v6]" or "[v6]:port" into `address`.
void readHostAndPort(QString rest, ServerAddress *address)
{
    QString portText;
    bool portGiven = false;
    if (rest.startsWith(QLatin1Char('['))) {
        const int close = rest.indexOf(QLatin1Char(']'));
        const QString after = close < 0 ? QString() : rest.mid(close + 1);
        if (close < 0 || (!after.isEmpty() && !after.startsWith(QLatin1Char(':')))) {
            address->problem = QStringLiteral("unmatched [ or text after ]");
            return;
        }
        address->host = rest.mid(1, close - 1);
        portGiven = !after.isEmpty();
        portText = after.mid(1);
    } else if (rest.count(QLatin1Char(':')) == 1) {
        const int colon = rest.indexOf(QLatin1Char(':'));
        address->host = rest.left(colon);
        portGiven = true;
        portText = rest.mid(colon + 1);
    } else {
        address->host = rest;
    }
    if (address->host.isEmpty() || address->host.contains(QLatin1Char('/'))
        || address->host.contains(QLatin1Char('@'))) {
        address->problem = QStringLiteral("no usable host name");
        return;
    }
    if (portGiven && !readPort(portText, &address->port))
        address->problem = QStringLiteral("the port must be a number from 1 to 65535");
}

} // namespace

ServerAddress parseHostField(const QString &field)
{
    ServerAddress address;
    // A field without any of the new forms' marks is a host name as it
    // always was, connected to as written, even one that cannot work.
    static const QRegExp marks(QStringLiteral("[:\\[#]"));
    if (!field.contains(marks)) {
        address.host = field;
        return address;
    }
    QString rest = field;
    bool schemeGiven = false;
    for (const Scheme &scheme : schemes) {
        const QLatin1String prefix(scheme.prefix);
        if (rest.startsWith(prefix, Qt::CaseInsensitive)) {
            rest = rest.mid(prefix.size());
            address.tls = scheme.tls;
            address.port = scheme.defaultPort;
            schemeGiven = true;
            break;
        }
    }
    if (!schemeGiven && rest.contains(QLatin1String("://"))) {
        address.problem = QStringLiteral("use ftp://, ftpes:// or ftps://");
        return address;
    }

    const int hash = rest.indexOf(QLatin1Char('#'));
    if (hash >= 0) {
        const QString fragment = rest.mid(hash + 1);
        rest.truncate(hash);
        const QLatin1String key("sha256=");
        if (address.tls == QFtp::NoTls) {
            address.problem = QStringLiteral("a certificate fingerprint needs ftpes:// or ftps://");
            return address;
        }
        if (fragment.startsWith(key, Qt::CaseInsensitive))
            address.pinnedSha256 = QFtp::parseFingerprint(fragment.mid(key.size()));
        if (address.pinnedSha256.isEmpty()) {
            address.problem = QStringLiteral("expected #sha256= and 64 hexadecimal digits");
            return address;
        }
    }
    if (schemeGiven && rest.endsWith(QLatin1Char('/')))
        rest.chop(1);
    readHostAndPort(rest, &address);
    return address;
}

void connectTo(QFtp *ftp, const ServerAddress &address)
{
    if (address.tls != QFtp::NoTls) {
        ftp->setTlsMode(address.tls);
        ftp->setPinnedCertificate(address.pinnedSha256);
    }
    ftp->connectToHost(address.host, address.port);
}

QString tlsFailureText(const QFtp &ftp)
{
    // The facade puts "Connecting to host failed:" on a line of its own.
    const QString text = ftp.errorString();
    return QLatin1String("TLS failed: ") + text.mid(text.indexOf(QLatin1Char('\n')) + 1);
}
