#include "qftptls.h"

#include <QCryptographicHash>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QStringList>
#include <QTimer>

QFtpTls::QFtpTls(QObject *parent)
    : QObject(parent)
{ }

// ---------------------------------------------------------------------------
// Fingerprints

QString QFtpTls::formatFingerprint(const QByteArray &sha256)
{
    return QString::fromLatin1(sha256.toHex(':').toUpper());
}

QByteArray QFtpTls::fingerprintOf(const QSslCertificate &certificate)
{
    return certificate.isNull() ? QByteArray() : certificate.digest(QCryptographicHash::Sha256);
}

// ---------------------------------------------------------------------------
// Sockets

void QFtpTls::configure(QSslSocket *socket) const
{
    QSslConfiguration configuration = socket->sslConfiguration();
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    // Keeping the session is what lets data connections resume it.
    configuration.setSslOption(QSsl::SslOptionDisableSessionPersistence, false);
    configuration.setSessionTicket(session);
    socket->setSslConfiguration(configuration);
    socket->setPeerVerifyName(peerName);
}

void QFtpTls::watch(QSslSocket *socket)
{
    connect(socket, QOverload<const QList<QSslError> &>::of(&QSslSocket::sslErrors), this,
            &QFtpTls::takeSslErrors, Qt::UniqueConnection);
    connect(socket, &QAbstractSocket::errorOccurred, this, &QFtpTls::closeAfterPeer,
            Qt::UniqueConnection);
}

void QFtpTls::prepareControlSocket(QSslSocket *socket, const QString &host)
{
    peerName = host;
    session.clear();
    sslProblems.clear();
    configure(socket);
    watch(socket);
    // TLS 1.3 hands out its session tickets after the handshake.
    connect(socket, &QSslSocket::encrypted, this, &QFtpTls::takeSession, Qt::UniqueConnection);
    connect(socket, &QSslSocket::newSessionTicketReceived, this, &QFtpTls::takeSession,
            Qt::UniqueConnection);
}

bool QFtpTls::trusted(const QSslSocket *socket) const
{
    // Without a pin, the handshake itself has checked the certificate.
    return pinned.isEmpty() || fingerprintOf(socket->peerCertificate()) == pinned;
}

QString QFtpTls::failureText(const QSslSocket *socket, const QString &peer) const
{
    const QByteArray actual = fingerprintOf(socket->peerCertificate());
    if (!pinned.isEmpty() && !actual.isEmpty() && actual != pinned) {
        return tr("The certificate of host %1 does not match the pinned fingerprint; its "
                  "fingerprint is #sha256=%2")
            .arg(peer, formatFingerprint(actual));
    }
    if (!sslProblems.isEmpty() && !actual.isEmpty()) {
        return tr("The certificate of host %1 is not trusted (%2); to trust it, pin its "
                  "fingerprint #sha256=%3")
            .arg(peer, sslProblems, formatFingerprint(actual));
    }
    const QString why = socket->error() == QAbstractSocket::UnknownSocketError
        ? tr("connection closed")
        : socket->errorString();
    return tr("TLS handshake with host %1 failed: %2").arg(peer, why);
}

QTcpSocket *QFtpTls::createDataSocket(QObject *parent)
{
    if (!enabled())
        return new QTcpSocket(parent);
    auto *socket = new QSslSocket(parent);
    configure(socket);
    watch(socket);
    connect(socket, &QSslSocket::encrypted, this, &QFtpTls::checkDataPeer);
    return socket;
}

void QFtpTls::connectDataSocket(QTcpSocket *socket, const QString &host, quint16 port)
{
    // The handshake runs on beside the FTP exchange: the server only takes
    // the connection up after the transfer command, so nothing may wait for
    // it. What is written meanwhile waits in the socket.
    if (auto *secure = enabled() ? qobject_cast<QSslSocket *>(socket) : nullptr)
        secure->connectToHostEncrypted(host, port, peerName, QIODevice::ReadWrite,
                                       QAbstractSocket::AnyIPProtocol);
    else
        socket->connectToHost(host, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
}

void QFtpTls::startDataEncryption(QTcpSocket *socket)
{
    auto *secure = enabled() ? qobject_cast<QSslSocket *>(socket) : nullptr;
    if (!secure)
        return;
    configure(secure);
    watch(secure);
    connect(secure, &QSslSocket::encrypted, this, &QFtpTls::checkDataPeer);
    secure->startClientEncryption();
}

void QFtpTls::closeDataSocket(QTcpSocket *socket)
{
    auto *secure = qobject_cast<QSslSocket *>(socket);
    if (!secure || secure->mode() == QSslSocket::UnencryptedMode) {
        socket->close();
        return;
    }
    // close() would drop what still waits for the handshake (an empty file
    // ends before it is over) and skip the TLS close the server may expect.
    const auto closeWhenSent = [secure] {
        if (secure->isEncrypted() && secure->bytesToWrite() == 0
            && secure->encryptedBytesToWrite() == 0
            && secure->state() == QAbstractSocket::ConnectedState) {
            secure->disconnectFromHost();
        }
    };
    connect(secure, &QSslSocket::encrypted, secure, closeWhenSent);
    connect(secure, &QSslSocket::encryptedBytesWritten, secure, closeWhenSent);
    closeWhenSent();
}

bool QFtpTls::sendBacklogged(const QTcpSocket *socket)
{
    auto *secure = qobject_cast<const QSslSocket *>(socket);
    return secure && secure->mode() != QSslSocket::UnencryptedMode
        && secure->bytesToWrite() + secure->encryptedBytesToWrite() > maxSendBacklog;
}

// ---------------------------------------------------------------------------
// Signals of the sockets

void QFtpTls::takeSslErrors(const QList<QSslError> &errors)
{
    auto *socket = qobject_cast<QSslSocket *>(sender());
    if (!socket)
        return;
    if (!pinned.isEmpty() && fingerprintOf(socket->peerCertificate()) == pinned) {
        socket->ignoreSslErrors();
        return;
    }
    QStringList texts;
    for (const QSslError &error : errors)
        texts << error.errorString();
    sslProblems = texts.join(QLatin1String("; "));
}

void QFtpTls::takeSession()
{
    auto *socket = qobject_cast<QSslSocket *>(sender());
    if (!socket)
        return;
    const QByteArray ticket = socket->sslConfiguration().sessionTicket();
    if (!ticket.isEmpty())
        session = ticket;
}

void QFtpTls::checkDataPeer()
{
    // A valid certificate other than the pinned one is refused here.
    auto *socket = qobject_cast<QSslSocket *>(sender());
    if (socket && !trusted(socket))
        socket->abort();
}

void QFtpTls::closeAfterPeer(QAbstractSocket::SocketError error)
{
    // A TLS close from the peer leaves the socket open, and a server may wait
    // for the client's close before it reports the transfer: close it, once
    // the socket is out of its own error handling.
    auto *socket = qobject_cast<QSslSocket *>(sender());
    if (!socket || error != QAbstractSocket::RemoteHostClosedError
        || socket->mode() == QSslSocket::UnencryptedMode) {
        return;
    }
    QTimer::singleShot(0, socket, [socket] { socket->disconnectFromHost(); });
}

void QFtpDataListener::incomingConnection(qintptr descriptor)
{
    QTcpSocket *socket = encrypting ? new QSslSocket(this) : new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    addPendingConnection(socket);
}
