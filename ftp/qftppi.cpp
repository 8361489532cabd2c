#include "qftppi.h"

#include <QHostAddress>
#include <QLoggingCategory>
#include <QSignalBlocker>
#include <QSslSocket>
#include <QTcpSocket>

namespace {
// Off by default: QT_LOGGING_RULES="mirvo.ftp.interpreter.debug=true" shows each change.
Q_LOGGING_CATEGORY(lcInterpreter, "mirvo.ftp.interpreter", QtInfoMsg)
} // namespace

using Verb = QFtpLine::Verb;
using State = QFtpPI::InterpreterState;

QFtpPI::QFtpPI(QObject *parent)
    : QObject(parent)
    , dataProcess(&tls)
{
    prepareControlSocket();
    connect(&dataProcess, &QFtpDTP::connectState, this, &QFtpPI::dtpConnectState);
    connect(&dataProcess, &QFtpDTP::transferError, this, &QFtpPI::dtpTransferError);
    connect(&dataProcess, &QFtpDTP::activity, this, &QFtpPI::noteTraffic);
    connect(&dataProcess, &QFtpDTP::listInfo, this, &QFtpPI::listInfo);
    connect(&dataProcess, &QFtpDTP::readyRead, this, &QFtpPI::readyRead);
    connect(&dataProcess, &QFtpDTP::dataTransferProgress, this, &QFtpPI::dataTransferProgress);

    inactivityTimer.setSingleShot(true);
    connect(&inactivityTimer, &QTimer::timeout, this, &QFtpPI::inactivityTimerFired);
}

QFtpPI::~QFtpPI()
{
    // The members close their sockets as they go; none of that may reach
    // this half-destroyed object.
    controlSocket->disconnect(this);
    dataProcess.disconnect(this);
}

// ---------------------------------------------------------------------------
// State changes

// The only way to change the interpreter's state; entering a state resets
// what the state does not carry over.
void QFtpPI::setInterpreterState(InterpreterState next)
{
    qCDebug(lcInterpreter) << "state" << interpreterState << "->" << next;
    const bool heldReply = interpreterState == State::AwaitingDataClose;
    interpreterState = next;
    switch (next) {
    case State::Unconnected:
    case State::Connecting:
    case State::AwaitingGreeting:
        // No list, reply or ABOR carries over to another connection.
        pendingCommands.clear();
        setCurrentCommand(QFtpLine());
        replyText = QString();
        if (next != State::Unconnected)
            setAbortState(AbortState::NoAbort);
        break;
    case State::Idle:
        if (heldReply && pendingCommands.isEmpty() && current.isNull())
            replyText = QString(); // the held reply belonged to the list that ended
        break;
    default:
        break;
    }
    updateInactivityTimer();
}

void QFtpPI::setAbortState(AbortState next)
{
    qCDebug(lcInterpreter) << "abort" << abortState << "->" << next;
    abortState = next;
    dataProcess.setMode(dataMode());
}

void QFtpPI::setCurrentCommand(const QFtpLine &line)
{
    current = line;
    dataProcess.setMode(dataMode());
}

// What the data connection is for, given the command under way.
QFtpDTP::DataMode QFtpPI::dataMode() const
{
    if (current.isNull())
        return QFtpDTP::DataMode::NoTransfer;
    if (abortState == AbortState::AbortSent)
        return QFtpDTP::DataMode::Discard;
    if (current.isUpload())
        return QFtpDTP::DataMode::Upload;
    if (current.verb() == Verb::List)
        return QFtpDTP::DataMode::Listing;
    return QFtpDTP::DataMode::Download;
}

// The connection stands and its lists are being sent.
bool QFtpPI::inList() const
{
    return interpreterState >= State::Idle;
}

// The list ends here: its remaining lines are dropped. The connection's own
// phase (connecting, greeting, TLS) is left as it is.
void QFtpPI::endList()
{
    pendingCommands.clear();
    setCurrentCommand(QFtpLine());
    if (inList())
        setInterpreterState(State::Idle);
}

void QFtpPI::allowExtendedDataCommands()
{
    epsvRefused = false;
    eprtRefused = false;
}

// ---------------------------------------------------------------------------
// The control socket

void QFtpPI::prepareControlSocket()
{
    const bool secure = tls.enabled();
    if (controlSocket && (qobject_cast<QSslSocket *>(controlSocket) != nullptr) == secure)
        return;
    if (controlSocket) {
        controlSocket->disconnect(this);
        controlSocket->abort();
        controlSocket->deleteLater();
    }
    controlSocket = secure ? new QSslSocket(this) : new QTcpSocket(this);
    controlSocket->setObjectName(QStringLiteral("QFtpPI_socket"));
    controlSocket->setReadBufferSize(controlReadBufferSize);
    connect(controlSocket, &QTcpSocket::hostFound, this, &QFtpPI::hostFound);
    connect(controlSocket, &QTcpSocket::connected, this, &QFtpPI::connected);
    connect(controlSocket, &QTcpSocket::disconnected, this, &QFtpPI::connectionClosed);
    connect(controlSocket, &QTcpSocket::readyRead, this, &QFtpPI::readyReadControl);
    connect(controlSocket, QOverload<QAbstractSocket::SocketError>::of(&QAbstractSocket::error),
            this, QOverload<QAbstractSocket::SocketError>::of(&QFtpPI::error));
    if (secure)
        connect(secureSocket(), &QSslSocket::encrypted, this, &QFtpPI::encrypted);
}

QSslSocket *QFtpPI::secureSocket() const
{
    return qobject_cast<QSslSocket *>(controlSocket);
}

bool QFtpPI::controlConnected() const
{
    return controlSocket->state() == QAbstractSocket::ConnectedState;
}

// ---------------------------------------------------------------------------
// Operations

void QFtpPI::connectToHost(const QString &host, quint16 port)
{
    if (controlSocket->state() != QAbstractSocket::UnconnectedState) {
        // A new connect replaces the old connection; its close is not news.
        const QSignalBlocker blocker(controlSocket);
        controlSocket->abort();
        dataProcess.abortDataConnection();
    }
    prepareControlSocket();
    setInterpreterState(State::Connecting);
    emit connectState(QFtpGlobal::HostLookup);
    controlSocket->setProperty(QFtpGlobal::networkSessionProperty,
                               property(QFtpGlobal::networkSessionProperty));
    dataProcess.setProperty(QFtpGlobal::networkSessionProperty,
                            property(QFtpGlobal::networkSessionProperty));
    hostName = host;
    refusedGreeting.clear();
    if (QSslSocket *secure = secureSocket()) {
        tls.prepareControlSocket(secure, host);
        if (tls.mode() == QFtpGlobal::ImplicitTls) {
            secure->connectToHostEncrypted(host, port, QIODevice::ReadWrite,
                                           QAbstractSocket::AnyIPProtocol);
            return;
        }
    }
    controlSocket->connectToHost(host, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
}

bool QFtpPI::sendLines(const QFtpLines &lines)
{
    if (!pendingCommands.isEmpty())
        return false;
    if (!controlConnected() || interpreterState != State::Idle) {
        emit error(QFtpGlobal::NotConnected, tr("Not connected"));
        return true;
    }
    transferErrorText = QString(); // a listing error belongs to its own list
    pendingCommands = lines;
    sendNextCommand();
    return true;
}

bool QFtpPI::sendCommands(const QStringList &lines)
{
    QFtpLines parsed;
    for (const QString &line : lines)
        parsed << QFtpLine::fromText(line);
    return sendLines(parsed);
}

void QFtpPI::clearPendingCommands()
{
    endList();
    dataProcess.abortDataConnection();
}

void QFtpPI::abort()
{
    pendingCommands.clear();
    if (abortState != AbortState::NoAbort)
        return; // ABOR already sent
    if (!controlConnected())
        return;
    if (tls.enabled() && !(secureSocket() && secureSocket()->isEncrypted()))
        return; // nothing but AUTH TLS goes out in clear; no transfer to abort yet
    // With a reply outstanding the server answers twice (the command, then
    // ABOR); with none, only ABOR's own reply comes and that one is swallowed.
    const bool replyOutstanding
        = interpreterState == State::AwaitingReply || interpreterState == State::AwaitingDataClose;
    setAbortState(replyOutstanding ? AbortState::AbortSent : AbortState::AbortReplyPending);
    writeCommand(QFtpLine(Verb::Abor));
    if (current.isUpload())
        dataProcess.abortUpload();
}

QString QFtpPI::currentCommand() const
{
    return current.isNull() ? QString() : current.text() + QLatin1String("\r\n");
}

void QFtpPI::setInactivityTimeout(int milliseconds)
{
    inactivityTimeoutMs = qMax(1, milliseconds);
    if (inactivityTimer.isActive())
        inactivityTimer.start(inactivityTimeoutMs);
}

// ---------------------------------------------------------------------------
// Sending

void QFtpPI::sendNextCommand()
{
    if (pendingCommands.isEmpty()) {
        finishList();
        return;
    }
    QFtpLine next = pendingCommands.first();
    const QHostAddress address = controlSocket->localAddress();
    if (next.verb() == Verb::Port) {
        if (!buildActiveModeCommand(address, &next))
            return;
    } else if (next.verb() == Verb::Pasv && address.protocol() == QAbstractSocket::IPv6Protocol
               && usesExtendedDataCommands()) {
        next = next.withVerb(Verb::Epsv);
    }
    pendingCommands.removeFirst();
    setCurrentCommand(next);
    setInterpreterState(State::AwaitingReply);
    noteTraffic();
    writeCommand(current);
}

void QFtpPI::finishList()
{
    const bool quitAnswered = current.verb() == Verb::Quit && replyCode[0] == 2;
    const QString text = replyText;
    setCurrentCommand(QFtpLine());
    // The server closes after its reply to QUIT; closing from this side too
    // means a server that does not cannot hold the client open.
    if (quitAnswered && controlConnected())
        controlSocket->disconnectFromHost();
    emit finished(text);
}

// Every line goes out here.
void QFtpPI::writeCommand(const QFtpLine &line)
{
    controlSocket->write(line.toWire());
}

bool QFtpPI::buildActiveModeCommand(const QHostAddress &address, QFtpLine *line)
{
    const bool ipv6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    const bool ipv4 = address.protocol() == QAbstractSocket::IPv4Protocol;
    if (!(ipv6 && usesExtendedDataCommands()) && !ipv4) {
        // PORT cannot carry an IPv6 address and the server refused EPRT (or
        // EPSV): say so instead of leaving the list waiting forever.
        failList(
            QFtpGlobal::UnknownError,
            tr("Active mode is not possible with host %1: it refused %2, and PORT "
               "cannot carry an IPv6 address")
                .arg(peerText(), eprtRefused ? QStringLiteral("EPRT") : QStringLiteral("EPSV")));
        return false;
    }
    const int port = dataProcess.openListener(address);
    if (port < 0) {
        // A made-up port would let the server connect wherever it points.
        failList(QFtpGlobal::UnknownError,
                 tr("Cannot listen for the data connection on %1").arg(address.toString()));
        return false;
    }
    if (ipv6) {
        *line = line->withVerb(Verb::Eprt,
                               QStringLiteral("|2|%1|%2|").arg(address.toString()).arg(port));
    } else {
        const quint32 ip = address.toIPv4Address();
        *line = line->withVerb(Verb::Port,
                               QStringLiteral("%1,%2,%3,%4,%5,%6")
                                   .arg((ip >> 24) & 0xff)
                                   .arg((ip >> 16) & 0xff)
                                   .arg((ip >> 8) & 0xff)
                                   .arg(ip & 0xff)
                                   .arg((port >> 8) & 0xff)
                                   .arg(port & 0xff));
    }
    return true;
}

// ---------------------------------------------------------------------------
// Control connection events

void QFtpPI::hostFound()
{
    emit connectState(QFtpGlobal::Connecting);
}

void QFtpPI::connected()
{
    setInterpreterState(State::AwaitingGreeting);
    controlSocket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    noteTraffic();
    emit connectState(QFtpGlobal::Connected);
}

void QFtpPI::connectionClosed()
{
    const QString peer = peerText();
    const bool greetingAwaited = interpreterState == State::AwaitingGreeting;
    const bool quitting = current.verb() == Verb::Quit;
    const bool settingUpTls = interpreterState == State::AwaitingTlsReply
        || interpreterState == State::Handshaking
        || (tls.mode() == QFtpGlobal::ImplicitTls && greetingAwaited && secureSocket()
            && !secureSocket()->isEncrypted());
    const QString tlsText = settingUpTls ? tls.failureText(secureSocket(), peer) : QString();
    const bool busy = greetingAwaited || settingUpTls || !current.isNull()
        || !pendingCommands.isEmpty() || interpreterState == State::AwaitingDataConnect
        || interpreterState == State::AwaitingDataClose;
    controlSocket->close();
    setInterpreterState(State::Unconnected);
    dataProcess.abortDataConnection();
    emit connectState(QFtpGlobal::Unconnected);
    if (!busy)
        return;
    // A list in progress ends here instead of waiting forever.
    if (quitting) {
        emit finished(tr("Connection closed"));
    } else if (settingUpTls) {
        emit error(QFtpGlobal::TlsFailed, tlsText);
    } else if (greetingAwaited) {
        QString text = tr("Connection closed by host %1").arg(peer);
        if (!refusedGreeting.isEmpty())
            text += QLatin1String(": ") + refusedGreeting;
        emit error(QFtpGlobal::ConnectionRefused, text);
    } else {
        emit error(QFtpGlobal::NotConnected, tr("Connection closed by host %1").arg(peer));
    }
}

void QFtpPI::error(QAbstractSocket::SocketError socketError)
{
    const QString peer = peerText();
    if (socketError == QAbstractSocket::SslHandshakeFailedError
        || socketError == QAbstractSocket::SslInternalError
        || socketError == QAbstractSocket::SslInvalidUserDataError) {
        dropConnection(QFtpGlobal::TlsFailed, tls.failureText(secureSocket(), peer));
        return;
    }
    int code = QFtpGlobal::ConnectionRefused;
    QString text;
    switch (socketError) {
    case QAbstractSocket::HostNotFoundError:
        code = QFtpGlobal::HostNotFound;
        text = tr("Host %1 not found").arg(peer);
        break;
    case QAbstractSocket::ConnectionRefusedError:
        text = tr("Connection refused to host %1").arg(peer);
        break;
    case QAbstractSocket::SocketTimeoutError:
        text = tr("Connection timed out to host %1").arg(peer);
        break;
    default:
        // A connect attempt that failed in any other way ends here too;
        // errors of a standing connection arrive as its close.
        if (interpreterState != State::Connecting
            || controlSocket->state() != QAbstractSocket::UnconnectedState)
            return;
        text = tr("Connecting to host %1 failed: %2").arg(peer, controlSocket->errorString());
        break;
    }
    setInterpreterState(State::Unconnected);
    emit connectState(QFtpGlobal::Unconnected);
    emit error(code, text);
}

void QFtpPI::encrypted()
{
    noteTraffic();
    if (!tls.trusted(secureSocket())) {
        dropConnection(QFtpGlobal::TlsFailed, tls.failureText(secureSocket(), peerText()));
        return;
    }
    if (interpreterState != State::Handshaking)
        return; // implicit TLS: the greeting comes next
    setInterpreterState(State::Idle);
    emit finished(tr("Connected to host %1").arg(peerText()));
}

// ---------------------------------------------------------------------------
// Data connection events

void QFtpPI::dtpConnectState(int state)
{
    switch (state) {
    case QFtpDTP::DataClosed:
        if (interpreterState != State::AwaitingDataClose)
            return;
        setInterpreterState(State::AwaitingReply);
        if (!handleReply())
            return; // still open: held again
        replyText.clear();
        readRepliesFrom(*controlSocket); // lines that arrived meanwhile
        break;
    case QFtpDTP::DataConnected:
        if (interpreterState != State::AwaitingDataConnect)
            return;
        setInterpreterState(State::Idle);
        sendNextCommand();
        break;
    case QFtpDTP::DataHostNotFound:
    case QFtpDTP::DataConnectionRefused:
        // The list cannot go on without its data connection: it ends here.
        if (interpreterState == State::AwaitingDataConnect)
            failList(QFtpGlobal::ConnectionRefused, tr("Connection refused for data connection"));
        break;
    default:
        break;
    }
}

void QFtpPI::dtpTransferError(const QString &text)
{
    transferErrorText = text; // reported when the transfer's reply comes
}

// ---------------------------------------------------------------------------
// Ending a list or the connection. The state is settled before the signal
// goes out: whoever receives it finds the list ended.

void QFtpPI::failList(int code, const QString &text)
{
    endList();
    emit error(code, text);
}

void QFtpPI::dropConnection(int code, const QString &text)
{
    setInterpreterState(State::Unconnected);
    {
        const QSignalBlocker blocker(controlSocket);
        controlSocket->abort();
    }
    dataProcess.abortDataConnection();
    emit connectState(QFtpGlobal::Unconnected);
    emit error(code, text);
}

QString QFtpPI::peerText() const
{
    const QString name = controlSocket->peerName();
    return name.isEmpty() ? hostName : name;
}
