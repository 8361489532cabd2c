#ifndef QFTPTLS_H
#define QFTPTLS_H

#include "qftpglobal.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslError>
#include <QString>
#include <QTcpServer>

class QSslCertificate;
class QSslSocket;
class QTcpSocket;

// TLS for one FTP connection (RFC 4217): what was asked for, which
// certificate is trusted, and the TLS session of the control connection that
// every data connection resumes (servers may insist on that, so that nobody
// else can slip into a data port).
//
// Trust: with a pinned SHA-256 fingerprint the certificate must have exactly
// that fingerprint and nothing else is checked (a self-signed certificate on
// a NAS); without one, the system's certificate authorities must vouch for
// the certificate under the host name the client was given.
class QFtpTls : public QObject
{
    Q_OBJECT

public:
    explicit QFtpTls(QObject *parent = nullptr);

    void setMode(QFtpGlobal::TlsMode mode) { tlsMode = mode; }
    QFtpGlobal::TlsMode mode() const { return tlsMode; }
    bool enabled() const { return tlsMode != QFtpGlobal::NoTls; }
    // 32 bytes, or empty for the system's authorities.
    void setPinnedFingerprint(const QByteArray &sha256) { pinned = sha256; }

    // Sets a control socket up for a new connection to `host`.
    void prepareControlSocket(QSslSocket *socket, const QString &host);
    // True when the negotiated certificate is trusted (see above).
    bool trusted(const QSslSocket *socket) const;
    // Why the control connection's TLS failed, for the error message.
    QString failureText(const QSslSocket *socket, const QString &peer) const;

    // Data connections: a plain socket without TLS, otherwise one set up to
    // resume the control connection's session.
    QTcpSocket *createDataSocket(QObject *parent);
    void connectDataSocket(QTcpSocket *socket, const QString &host, quint16 port);
    // An accepted (active mode) data socket starts its client handshake.
    void startDataEncryption(QTcpSocket *socket);
    // Ends an upload's data connection: with TLS, once the handshake stands
    // and with a proper TLS close, so that no byte of the file is lost.
    static void closeDataSocket(QTcpSocket *socket);
    // True while a TLS socket holds more than maxSendBacklog bytes not yet
    // sent: its bytesWritten() comes once data is encrypted, not once it is
    // on the network, so pacing an upload by it alone would let the buffer
    // grow with the file.
    static bool sendBacklogged(const QTcpSocket *socket);
    static constexpr qint64 maxSendBacklog = 256 * 1024;

    // Upper-case hex pairs joined by colons, as openssl prints them.
    static QString formatFingerprint(const QByteArray &sha256);
    static QByteArray fingerprintOf(const QSslCertificate &certificate);

private slots:
    void takeSslErrors(const QList<QSslError> &errors);
    void takeSession();
    void checkDataPeer();
    void closeAfterPeer(QAbstractSocket::SocketError error);

private:
    void configure(QSslSocket *socket) const;
    void watch(QSslSocket *socket);

    QFtpGlobal::TlsMode tlsMode = QFtpGlobal::NoTls;
    QByteArray pinned;
    QString peerName; // the host certificates must be valid for
    QByteArray session; // the control connection's, for the data connections
    QString sslProblems; // what verification found on the last handshake
};

// The active-mode listener: accepts TLS-capable sockets when asked to.
class QFtpDataListener : public QTcpServer
{
    Q_OBJECT

public:
    explicit QFtpDataListener(QObject *parent = nullptr)
        : QTcpServer(parent)
    { }
    void setEncrypting(bool on) { encrypting = on; }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    bool encrypting = false;
};

#endif // QFTPTLS_H
