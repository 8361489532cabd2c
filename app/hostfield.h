#ifndef HOSTFIELD_H
#define HOSTFIELD_H

#include "qftp.h"

#include <QByteArray>
#include <QString>

// Where and how to reach a server, read from the host field of its "ftp="
// line. The field stays as written everywhere else (log lines, config.txt).
//
//   host, [v6-address]             plain FTP, port 21
//   host:port, [v6-address]:port   plain FTP on that port
//   ftp://host[:port]              plain FTP
//   ftpes://host[:port]            TLS after AUTH TLS, required; port 21
//   ftps://host[:port]             TLS from the first byte; port 990
//   ...#sha256=<hex>               (TLS forms) trust this certificate only
//
// A bare IPv6 address without brackets is a host alone.
struct ServerAddress
{
    QString host; // without brackets
    quint16 port = 21;
    QFtp::TlsMode tls = QFtp::NoTls;
    QByteArray pinnedSha256; // empty: the system's certificate authorities
    QString problem; // why the field cannot be used; empty when it can
};

ServerAddress parseHostField(const QString &field);

// Sets `ftp` up for `address` and queues the connect.
void connectTo(QFtp *ftp, const ServerAddress &address);

// The reason of a connect that failed with QFtp::TlsFailed, for the log.
QString tlsFailureText(const QFtp &ftp);

#endif // HOSTFIELD_H
