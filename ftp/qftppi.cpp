#include "qftppi.h"

#include <QHostAddress>
#include <QSignalBlocker>

QFtpPI::QFtpPI(QObject *parent)
    : QObject(parent)
    , dataProcess(&tls)
{
    controlSocket.setObjectName(QStringLiteral("QFtpPI_socket"));
    controlSocket.setReadBufferSize(controlReadBufferSize);
    connect(&controlSocket, &QTcpSocket::hostFound, this, &QFtpPI::hostFound);
    connect(&controlSocket, &QTcpSocket::connected, this, &QFtpPI::connected);
    connect(&controlSocket, &QTcpSocket::disconnected, this, &QFtpPI::connectionClosed);
    connect(&controlSocket, &QTcpSocket::readyRead, this, &QFtpPI::readyRead);
    connect(&controlSocket, &QSslSocket::encrypted, this, &QFtpPI::encrypted);
    connect(&controlSocket, QOverload<QAbstractSocket::SocketError>::of(&QAbstractSocket::error),
            this, QOverload<QAbstractSocket::SocketError>::of(&QFtpPI::error));
    connect(&dataProcess, &QFtpDTP::connectState, this, &QFtpPI::dtpConnectState);
    connect(&dataProcess, &QFtpDTP::transferError, this, &QFtpPI::dtpTransferError);
    connect(&dataProcess, &QFtpDTP::activity, this, &QFtpPI::noteTraffic);

    inactivityTimer.setSingleShot(true);
    connect(&inactivityTimer, &QTimer::timeout, this, &QFtpPI::inactivityTimerFired);
}

QFtpPI::~QFtpPI()
{
    // The members close their sockets as they go; none of that may reach
    // this half-destroyed object.
    controlSocket.disconnect(this);
    dataProcess.disconnect(this);
}

// ---------------------------------------------------------------------------
// State changes

void QFtpPI::setInterpreterState(InterpreterState state)
{
    interpreterState = state;
    updateInactivityTimer();
}

void QFtpPI::setAbortState(AbortState state)
{
    abortState = state;
    dataProcess.setMode(dataMode());
}

void QFtpPI::setCurrentCommand(const Command &command)
{
    current = command;
    dataProcess.setMode(dataMode());
}

// What the data connection is for, given the command under way.
QFtpDTP::DataMode QFtpPI::dataMode() const
{
    if (current.isNull())
        return QFtpDTP::NoTransfer;
    if (abortState == AbortSent)
        return QFtpDTP::Discard;
    if (current.verb == Stor)
        return QFtpDTP::Upload;
    if (current.verb == List)
        return QFtpDTP::Listing;
    return QFtpDTP::Download;
}

void QFtpPI::noteRefused(Verb verb)
{
    (verb == Epsv ? epsvRefused : eprtRefused) = true;
    useExtendedDataCommands = false;
}

void QFtpPI::allowExtendedDataCommands()
{
    epsvRefused = false;
    eprtRefused = false;
    useExtendedDataCommands = true;
}

void QFtpPI::setConnecting(bool underWay)
{
    connecting = underWay;
    updateInactivityTimer();
}

void QFtpPI::setAwaitingDataConnect(bool awaiting)
{
    awaitingDataConnect = awaiting;
    updateInactivityTimer();
}

void QFtpPI::setAwaitingDataClose(bool awaiting)
{
    awaitingDataClose = awaiting;
    updateInactivityTimer();
}

// ---------------------------------------------------------------------------
// Command lines

QFtpPI::Command QFtpPI::Command::fromLine(const QString &line)
{
    static const struct
    {
        const char *word;
        Verb verb;
    } known[] = {
        { "USER", User }, { "PASS", Pass }, { "QUIT", Quit }, { "PASV", Pasv }, { "EPSV", Epsv },
        { "PORT", Port }, { "EPRT", Eprt }, { "LIST", List }, { "RETR", Retr }, { "STOR", Stor },
        { "SIZE", Size }, { "ALLO", Allo }, { "ABOR", Abor }, { "AUTH", Auth },
    };
    Command command;
    command.valid = true;
    QString text = line;
    if (text.endsWith(QLatin1String("\r\n")))
        text.chop(2);
    const int space = text.indexOf(QLatin1Char(' '));
    command.word = space < 0 ? text : text.left(space);
    command.hasArgument = space >= 0;
    if (command.hasArgument)
        command.argument = text.mid(space + 1);
    for (const auto &entry : known) {
        if (command.word == QLatin1String(entry.word))
            command.verb = entry.verb;
    }
    return command;
}

QString QFtpPI::Command::rawLine() const
{
    // The one place a line gets its end: nothing inside a command may hold
    // one (the facade refuses such names).
    return (hasArgument ? word + QLatin1Char(' ') + argument : word) + QLatin1String("\r\n");
}

// ---------------------------------------------------------------------------
// Operations

void QFtpPI::connectToHost(const QString &host, quint16 port)
{
    if (controlSocket.state() != QAbstractSocket::UnconnectedState) {
        // A new connect replaces the old connection; its close is not news.
        const QSignalBlocker blocker(&controlSocket);
        controlSocket.abort();
        resetListState();
        dataProcess.abortDataConnection();
    }
    emit connectState(QFtpGlobal::HostLookup);
    controlSocket.setProperty(QFtpGlobal::networkSessionProperty,
                              property(QFtpGlobal::networkSessionProperty));
    dataProcess.setProperty(QFtpGlobal::networkSessionProperty,
                            property(QFtpGlobal::networkSessionProperty));
    hostName = host;
    refusedGreeting.clear();
    setConnecting(true);
    if (tls.enabled())
        tls.prepareControlSocket(&controlSocket, host);
    if (tls.mode() == QFtpTls::ImplicitTls)
        controlSocket.connectToHostEncrypted(host, port, QIODevice::ReadWrite,
                                             QAbstractSocket::AnyIPProtocol);
    else
        controlSocket.connectToHost(host, port, QIODevice::ReadWrite,
                                    QAbstractSocket::AnyIPProtocol);
}

bool QFtpPI::sendCommands(const QStringList &commands)
{
    if (!pendingCommands.isEmpty())
        return false;
    if (controlSocket.state() != QAbstractSocket::ConnectedState || interpreterState != Idle) {
        emit error(QFtpGlobal::NotConnected, tr("Not connected"));
        return true;
    }
    ++listGeneration;
    uploadAborted = false;
    transferErrorText = QString(); // a listing error belongs to its own list
    pendingCommands.clear();
    for (const QString &line : commands)
        pendingCommands << Command::fromLine(line);
    sendNextCommand();
    return true;
}

void QFtpPI::clearPendingCommands()
{
    resetListState();
    dataProcess.abortDataConnection();
}

void QFtpPI::abort()
{
    pendingCommands.clear();
    if (abortState != NoAbort)
        return; // ABOR already sent
    if (controlSocket.state() != QAbstractSocket::ConnectedState)
        return;
    if (tls.enabled() && !controlSocket.isEncrypted())
        return; // nothing but AUTH TLS goes out in clear; no transfer to abort yet
    // With a reply outstanding the server answers twice (the command, then
    // ABOR); with none, only ABOR's own reply comes and that one is swallowed.
    setAbortState(interpreterState == AwaitingReply ? AbortSent : AbortReplyPending);
    writeCommand(Command::fromLine(QStringLiteral("ABOR")));
    if (current.verb == Stor) {
        uploadAborted = true;
        dataProcess.abortDataConnection();
    }
}

void QFtpPI::setInactivityTimeout(int milliseconds)
{
    inactivityTimeoutMs = qMax(1, milliseconds);
    if (inactivityTimer.isActive())
        inactivityTimer.start(inactivityTimeoutMs);
}

// ---------------------------------------------------------------------------
// Sending

bool QFtpPI::sendNextCommand()
{
    if (awaitingDataConnect)
        return true; // resumed by DataConnected

    if (pendingCommands.isEmpty()) {
        const bool quitAnswered = current.verb == Quit && replyCode[0] == 2;
        setCurrentCommand(Command());
        const quint64 generation = listGeneration;
        emit finished(replyText);
        // The server closes after its reply to QUIT; closing from this side
        // too means a server that does not cannot hold the client open.
        if (quitAnswered && generation == listGeneration && pendingCommands.isEmpty()
            && controlSocket.state() == QAbstractSocket::ConnectedState) {
            controlSocket.disconnectFromHost();
        }
        return false;
    }

    Command next = pendingCommands.first();
    const QHostAddress address = controlSocket.localAddress();
    if (next.verb == Port) {
        if (!buildActiveModeCommand(address, &next))
            return false;
    } else if (next.verb == Pasv && address.protocol() == QAbstractSocket::IPv6Protocol
               && useExtendedDataCommands) {
        next = Command::fromLine(QStringLiteral("EPSV"));
    }

    pendingCommands.removeFirst();
    setCurrentCommand(next);
    setInterpreterState(AwaitingReply);
    noteTraffic();
    writeCommand(current);
    return true;
}

// Every line goes out here.
void QFtpPI::writeCommand(const Command &command)
{
    // UTF-8, so that names in any script reach the server as they are; an
    // ASCII line is the same bytes either way.
    controlSocket.write(command.rawLine().toUtf8());
}

bool QFtpPI::buildActiveModeCommand(const QHostAddress &address, Command *command)
{
    const bool ipv6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    const bool ipv4 = address.protocol() == QAbstractSocket::IPv4Protocol;
    if (!(ipv6 && useExtendedDataCommands) && !ipv4) {
        // PORT cannot carry an IPv6 address and the server refused EPRT:
        // say so instead of leaving the list waiting forever.
        failList(QFtpGlobal::UnknownError,
                 tr("Active mode is not possible with host %1: it refused EPRT, and PORT "
                    "cannot carry an IPv6 address")
                     .arg(peerText()));
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
        *command
            = Command::fromLine(QStringLiteral("EPRT |2|%1|%2|").arg(address.toString()).arg(port));
    } else {
        const quint32 ip = address.toIPv4Address();
        *command = Command::fromLine(QStringLiteral("PORT %1,%2,%3,%4,%5,%6")
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
    // A new connection starts afresh: no ABOR, reply or list carried over.
    setConnecting(false);
    setAbortState(NoAbort);
    resetListState();
    replyText = QString();
    setInterpreterState(AwaitingGreeting);
    controlSocket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    noteTraffic();
    emit connectState(QFtpGlobal::Connected);
}

void QFtpPI::connectionClosed()
{
    const QString peer = peerText();
    const bool greetingAwaited = interpreterState == AwaitingGreeting;
    const bool quitting = current.verb == Quit;
    const bool settingUpTls = interpreterState == AwaitingTlsReply
        || interpreterState == Handshaking
        || (tls.mode() == QFtpTls::ImplicitTls && greetingAwaited && !controlSocket.isEncrypted());
    const QString tlsText = settingUpTls ? tls.failureText(&controlSocket, peer) : QString();
    const bool busy = greetingAwaited || settingUpTls || !current.isNull()
        || !pendingCommands.isEmpty() || awaitingDataConnect || awaitingDataClose;
    controlSocket.close();
    resetListState();
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
        dropConnection(QFtpGlobal::TlsFailed, tls.failureText(&controlSocket, peer));
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
        if (!connecting || controlSocket.state() != QAbstractSocket::UnconnectedState)
            return;
        text = tr("Connecting to host %1 failed: %2").arg(peer, controlSocket.errorString());
        break;
    }
    setConnecting(false);
    emit connectState(QFtpGlobal::Unconnected);
    emit error(code, text);
}

void QFtpPI::encrypted()
{
    noteTraffic();
    if (!tls.trusted(&controlSocket)) {
        dropConnection(QFtpGlobal::TlsFailed, tls.failureText(&controlSocket, peerText()));
        return;
    }
    if (interpreterState != Handshaking)
        return; // implicit TLS: the greeting comes next
    setInterpreterState(Idle);
    emit finished(tr("Connected to host %1").arg(peerText()));
}

// ---------------------------------------------------------------------------
// Data connection events

void QFtpPI::dtpConnectState(int state)
{
    switch (state) {
    case QFtpDTP::DataClosed:
        if (!awaitingDataClose)
            return;
        setAwaitingDataClose(false);
        if (!handleReply())
            return; // still open: held again
        replyText.clear();
        readRepliesFrom(controlSocket); // lines that arrived meanwhile
        break;
    case QFtpDTP::DataConnected:
        setAwaitingDataConnect(false);
        sendNextCommand();
        break;
    case QFtpDTP::DataHostNotFound:
    case QFtpDTP::DataConnectionRefused:
        // The list cannot go on without its data connection: it ends here.
        if (awaitingDataConnect)
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
// Ending a list or the connection

void QFtpPI::resetListState()
{
    ++listGeneration;
    uploadAborted = false;
    pendingCommands.clear();
    setCurrentCommand(Command());
    if (awaitingDataClose)
        replyText = QString(); // the held reply belongs to the list that ends
    setAwaitingDataConnect(false);
    setAwaitingDataClose(false);
    setInterpreterState(Idle);
}

void QFtpPI::failList(int code, const QString &text)
{
    resetListState();
    emit error(code, text);
}

void QFtpPI::dropConnection(int code, const QString &text)
{
    resetListState();
    replyText = QString();
    {
        const QSignalBlocker blocker(&controlSocket);
        controlSocket.abort();
    }
    setConnecting(false);
    dataProcess.abortDataConnection();
    emit connectState(QFtpGlobal::Unconnected);
    emit error(code, text);
}

QString QFtpPI::peerText() const
{
    const QString name = controlSocket.peerName();
    return name.isEmpty() ? hostName : name;
}
