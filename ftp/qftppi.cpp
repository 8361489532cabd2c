#include "qftppi.h"

#include "qftp.h"

#include <QHostAddress>
#include <QRegExp>
#include <QScopedValueRollback>
#include <QSignalBlocker>

namespace {
const char networkSessionProperty[] = "_q_networksession";
}

QFtpPI::QFtpPI(QObject *parent)
    : QObject(parent)
    , dataProcess(this)
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
    emit connectState(QFtp::HostLookup);
    controlSocket.setProperty(networkSessionProperty, property(networkSessionProperty));
    dataProcess.setProperty(networkSessionProperty, property(networkSessionProperty));
    hostName = host;
    refusedGreeting.clear();
    connecting = true;
    updateInactivityTimer();
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
        emit error(QFtp::NotConnected, tr("Not connected"));
        return true;
    }
    ++listGeneration;
    uploadAborted = false;
    dataProcess.errorText = QString(); // a listing error belongs to its own list
    pendingCommands = commands;
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
    controlSocket.write("ABOR\r\n", 6);
    if (currentLine.startsWith(QLatin1String("STOR "))) {
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
        const bool quitAnswered
            = currentLine.startsWith(QLatin1String("QUIT")) && replyCode[0] == 2;
        currentLine = QString();
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

    currentLine = pendingCommands.first();
    const QHostAddress address = controlSocket.localAddress();
    if (currentLine.startsWith(QLatin1String("PORT"))) {
        if (!buildActiveModeLine(address))
            return false;
    } else if (currentLine.startsWith(QLatin1String("PASV"))
               && address.protocol() == QAbstractSocket::IPv6Protocol && useExtendedDataCommands) {
        currentLine = QStringLiteral("EPSV\r\n");
    }

    pendingCommands.removeFirst();
    setInterpreterState(AwaitingReply);
    noteTraffic();
    // UTF-8, so that names in any script reach the server as they are; an
    // ASCII line is the same bytes either way.
    controlSocket.write(currentLine.toUtf8());
    return true;
}

bool QFtpPI::buildActiveModeLine(const QHostAddress &address)
{
    const bool ipv6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    const bool ipv4 = address.protocol() == QAbstractSocket::IPv4Protocol;
    if (!(ipv6 && useExtendedDataCommands) && !ipv4) {
        // PORT cannot carry an IPv6 address and the server refused EPRT:
        // say so instead of leaving the list waiting forever.
        failList(QFtp::UnknownError,
                 tr("Active mode is not possible with host %1: it refused EPRT, and PORT "
                    "cannot carry an IPv6 address")
                     .arg(peerText()));
        return false;
    }
    const int port = dataProcess.openListener(address);
    if (port < 0) {
        // A made-up port would let the server connect wherever it points.
        failList(QFtp::UnknownError,
                 tr("Cannot listen for the data connection on %1").arg(address.toString()));
        return false;
    }
    if (ipv6) {
        currentLine = QStringLiteral("EPRT |2|%1|%2|").arg(address.toString()).arg(port);
    } else {
        const quint32 ip = address.toIPv4Address();
        currentLine = QStringLiteral("PORT %1,%2,%3,%4,%5,%6")
                          .arg((ip >> 24) & 0xff)
                          .arg((ip >> 16) & 0xff)
                          .arg((ip >> 8) & 0xff)
                          .arg(ip & 0xff)
                          .arg((port >> 8) & 0xff)
                          .arg(port & 0xff);
    }
    currentLine += QLatin1String("\r\n");
    return true;
}

// ---------------------------------------------------------------------------
// Reading replies

void QFtpPI::readyRead()
{
    // Arriving bytes are no sign of progress by themselves: a reply fed a
    // line at a time must still be complete within the timeout.
    if (awaitingDataClose) {
        // Replies wait until the data connection has closed; the socket's
        // bounded buffer makes the server wait too, once it is full.
        if (holdsOverlongLine(controlSocket))
            dropConnection(QFtp::UnknownError,
                           tr("Reply line longer than %1 bytes from host %2, connection closed")
                               .arg(maxReplyLineLength)
                               .arg(peerText()));
        return;
    }
    readRepliesFrom(controlSocket);
}

bool QFtpPI::holdsOverlongLine(QIODevice &source) const
{
    return !source.canReadLine() && source.bytesAvailable() > maxReplyLineLength;
}

void QFtpPI::readRepliesFrom(QIODevice &source)
{
    if (readingReplies)
        return; // re-entered from a signal: the running loop goes on
    const QScopedValueRollback<bool> guard(readingReplies, true);

    while (!awaitingDataClose && source.canReadLine()) {
        const QByteArray raw = source.readLine(maxReplyLineLength + 1);
        if (!raw.endsWith('\n')) {
            dropConnection(QFtp::UnknownError,
                           tr("Reply line longer than %1 bytes from host %2, connection closed")
                               .arg(maxReplyLineLength)
                               .arg(peerText()));
            return;
        }
        const QString line = QFtpDTP::textFromWire(raw);
        if (replyText.isEmpty() && !beginReply(line))
            continue; // too short or a bad code: dropped; the next line is read

        const QString code = replyCodeText();
        // A first line of the code alone is taken as a whole reply, instead of
        // the start of a multi-line reply that would never end.
        const bool codeAlone = replyText.isEmpty() && line.trimmed() == code;
        if (!codeAlone && !line.startsWith(code + QLatin1Char(' '))) {
            replyText += line.startsWith(code + QLatin1Char('-')) ? line.mid(4) : line;
            if (replyText.size() > maxReplyLength) {
                dropConnection(QFtp::UnknownError,
                               tr("Reply longer than %1 bytes from host %2, connection closed")
                                   .arg(maxReplyLength)
                                   .arg(peerText()));
                return;
            }
            continue; // the reply goes on, in this read or the next
        }
        if (!codeAlone)
            replyText += line.mid(4);
        if (replyText.endsWith(QLatin1String("\r\n")))
            replyText.chop(2);
        if (handleReply())
            replyText.clear();
    }
    if (!awaitingDataClose && holdsOverlongLine(source)) {
        dropConnection(QFtp::UnknownError,
                       tr("Reply line longer than %1 bytes from host %2, connection closed")
                           .arg(maxReplyLineLength)
                           .arg(peerText()));
    }
}

bool QFtpPI::beginReply(const QString &line)
{
    if (line.size() < 3)
        return false;
    static const int lowest[3] = { 1, 0, 0 };
    static const int highest[3] = { 5, 5, 9 };
    for (int i = 0; i < 3; ++i) {
        const QChar c = line.at(i);
        const int digit = (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ? c.unicode() - '0' : -1;
        if (digit < lowest[i] || digit > highest[i])
            return false;
        replyCode[i] = qint8(digit);
    }
    return true;
}

QString QFtpPI::replyCodeText() const
{
    return QString::number(replyCode[0] * 100 + replyCode[1] * 10 + replyCode[2]);
}

// ---------------------------------------------------------------------------
// Handling one reply

bool QFtpPI::handleReply()
{
    const int code = replyCode[0] * 100 + replyCode[1] * 10 + replyCode[2];

    // The transfer is complete only once its data connection has closed.
    if (code == 226 || (code == 250 && currentLine.startsWith(QLatin1String("RETR")))) {
        // In active mode the server's connection may still wait in the
        // listener, its data not read yet: take it first.
        dataProcess.acceptPendingConnection();
        if (dataProcess.dataConnectionState() != QAbstractSocket::UnconnectedState) {
            setAwaitingDataClose(true);
            return false;
        }
    }

    if (abortState == AbortSent) {
        // 225 answers ABOR itself: a server that sends it first has folded
        // the aborted command's reply into it, and no second reply follows.
        setAbortState(code == 225 ? NoAbort : AbortReplyPending);
    } else if (abortState == AbortReplyPending) {
        setAbortState(NoAbort);
        return true; // the reply to ABOR itself
    }

    switch (interpreterState) {
    case AwaitingGreeting:
        takeGreeting(code);
        return true;
    case AwaitingTlsReply:
        takeTlsReply(code);
        return true;
    case AwaitingReply:
        setInterpreterState(stateForReply(code));
        break;
    default:
        return true; // not asked for: dropped
    }

    const quint64 generation = listGeneration;
    emit rawFtpReply(code, replyText);
    handleSpecialReply(code);
    if (generation != listGeneration)
        return true; // the list was ended from a signal or a step above
    takeAbortedUpload();
    reactToReply();
    return true;
}

void QFtpPI::takeGreeting(int code)
{
    if (code / 100 != 2) {
        if (code / 100 >= 4)
            refusedGreeting = replyText;
        return; // 1yz: the real greeting follows; 4yz/5yz: the server closes
    }
    setInterpreterState(Idle);
    // The greeting's raw reply goes first: once finished() has run, the
    // facade's next command (perhaps a raw one) is already under way.
    emit rawFtpReply(code, replyText);
    if (tls.mode() == QFtpTls::ExplicitTls && interpreterState == Idle) {
        requestTls(); // the connect is done once TLS stands
        return;
    }
    if (interpreterState == Idle && currentLine.isNull() && pendingCommands.isEmpty())
        emit finished(tr("Connected to host %1").arg(peerText()));
    // No second finished() for the empty list: a command queued from the
    // facade's done() would be reported finished without being sent.
}

void QFtpPI::requestTls()
{
    setInterpreterState(AwaitingTlsReply);
    noteTraffic();
    controlSocket.write("AUTH TLS\r\n", 10);
}

void QFtpPI::takeTlsReply(int code)
{
    emit rawFtpReply(code, replyText);
    if (code / 100 == 1)
        return; // preliminary: the answer follows
    if (code != 234) {
        // No fallback to plain FTP: the password would go out in clear.
        dropConnection(QFtp::TlsFailed,
                       tr("Host %1 refused TLS: %2 %3").arg(peerText()).arg(code).arg(replyText));
        return;
    }
    if (controlSocket.bytesAvailable() > 0) {
        // Lines that came in clear behind the acceptance could pose as
        // replies from inside the encrypted connection.
        dropConnection(QFtp::TlsFailed,
                       tr("Host %1 sent unencrypted data after accepting TLS, connection closed")
                           .arg(peerText()));
        return;
    }
    setInterpreterState(Handshaking);
    controlSocket.startClientEncryption();
}

QFtpPI::InterpreterState QFtpPI::stateForReply(int code)
{
    if (code == 202)
        return Failed; // "not implemented, superfluous" is not a success
    switch (code / 100) {
    case 1:
        return AwaitingReply;
    case 2:
        return Succeeded;
    case 3:
        return Idle;
    default:
        return Failed;
    }
}

void QFtpPI::handleSpecialReply(int code)
{
    if (rawCommandActive) {
        rawCommandActive = false; // the facade's raw command takes the reply as it is
        return;
    }
    if (code == 227)
        enterPassiveMode();
    else if (code == 229)
        enterExtendedPassiveMode();
    else if (code == 230)
        takeLogin();
    else if (code == 213)
        takeFileSize();
    else if (replyCode[0] == 1)
        takeTransferStart();
}

void QFtpPI::enterPassiveMode()
{
    QRegExp numbers(QStringLiteral("(\\d+),(\\d+),(\\d+),(\\d+),(\\d+),(\\d+)"));
    if (numbers.indexIn(replyText) == -1)
        return;
    const quint16 port = quint16((numbers.cap(5).toUInt() << 8) + numbers.cap(6).toUInt());
    // Only the port is taken from the reply. The announced address is not
    // trusted: a hostile server could point the client at another host, and
    // a server behind NAT announces an address that cannot be reached.
    setAwaitingDataConnect(true);
    dataProcess.connectToDataPort(controlSocket.peerAddress().toString(), port);
}

void QFtpPI::enterExtendedPassiveMode()
{
    const int open = replyText.indexOf(QLatin1Char('('));
    if (open == -1)
        return;
    QStringList fields;
    if (open + 1 < replyText.size()) {
        const QChar delimiter = replyText.at(open + 1);
        fields = replyText.mid(open + 1).split(delimiter, Qt::KeepEmptyParts);
    }
    if (fields.size() < 4) {
        failList(QFtp::UnknownError,
                 tr("Host %1 sent an unusable reply to EPSV: %2").arg(peerText(), replyText));
        return;
    }
    setAwaitingDataConnect(true);
    dataProcess.connectToDataPort(controlSocket.peerAddress().toString(),
                                  quint16(fields.at(3).toInt()));
}

void QFtpPI::takeLogin()
{
    // Logged in without a password: the PASS line is not wanted any more.
    if (currentLine.startsWith(QLatin1String("USER ")) && !pendingCommands.isEmpty()
        && pendingCommands.first().startsWith(QLatin1String("PASS "))) {
        pendingCommands.removeFirst();
    }
    emit connectState(QFtp::LoggedIn);
}

void QFtpPI::takeFileSize()
{
    if (currentLine.startsWith(QLatin1String("SIZE ")))
        dataProcess.setTotalBytes(replyText.simplified().toLongLong());
}

void QFtpPI::takeTransferStart()
{
    // The server's active-mode connection is taken as soon as it is there,
    // for every transfer, so that its data and close are not missed.
    dataProcess.acceptPendingConnection();
    if (currentLine.startsWith(QLatin1String("STOR ")))
        dataProcess.writeNextChunk();
}

void QFtpPI::takeAbortedUpload()
{
    // The data connection of the upload was cut short: by abort() from this
    // side, or it ended before the whole file was sent. A server that saw a
    // plain close takes the file as complete; the upload still failed, and
    // the file on the server is truncated.
    const bool cutShort = dataProcess.uploadCutShort;
    if ((!uploadAborted && !cutShort) || !currentLine.startsWith(QLatin1String("STOR ")))
        return;
    if (interpreterState == Succeeded) {
        setInterpreterState(Failed);
        replyText = (uploadAborted ? tr("Upload aborted (%1)") : tr("Upload incomplete (%1)"))
                        .arg(replyText);
    } else if (interpreterState != Failed) {
        return;
    }
    uploadAborted = false;
    dataProcess.uploadCutShort = false;
}

void QFtpPI::reactToReply()
{
    switch (interpreterState) {
    case Succeeded:
        setInterpreterState(Idle);
        Q_FALLTHROUGH();
    case Idle:
        if (!dataProcess.errorText.isNull()) {
            const QString text = dataProcess.errorText;
            dataProcess.errorText = QString();
            const quint64 generation = listGeneration;
            emit error(QFtp::UnknownError, text);
            if (generation != listGeneration)
                return; // the facade ended the list
        }
        sendNextCommand();
        break;
    case Failed:
        sendAfterFailure();
        break;
    case AwaitingGreeting:
    case AwaitingReply:
    case AwaitingTlsReply:
    case Handshaking:
        break;
    }
}

void QFtpPI::sendAfterFailure()
{
    if (currentLine.startsWith(QLatin1String("EPSV"))) {
        useExtendedDataCommands = false;
        pendingCommands.prepend(QStringLiteral("PASV\r\n"));
    } else if (currentLine.startsWith(QLatin1String("EPRT"))) {
        useExtendedDataCommands = false;
        pendingCommands.prepend(QStringLiteral("PORT\r\n"));
    } else {
        const quint64 generation = listGeneration;
        emit error(QFtp::UnknownError, replyText);
        // Only a refusal that the facade lets pass (SIZE, ALLO) goes on with
        // the list; when the facade has ended it, nothing more is sent or
        // reported for it.
        if (generation != listGeneration)
            return;
    }
    if (interpreterState != AwaitingReply) {
        setInterpreterState(Idle);
        sendNextCommand();
    }
}

// ---------------------------------------------------------------------------
// Control connection events

void QFtpPI::hostFound()
{
    emit connectState(QFtp::Connecting);
}

void QFtpPI::connected()
{
    // A new connection starts afresh: no ABOR, reply or list carried over.
    connecting = false;
    setAbortState(NoAbort);
    resetListState();
    replyText = QString();
    setInterpreterState(AwaitingGreeting);
    controlSocket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    noteTraffic();
    emit connectState(QFtp::Connected);
}

void QFtpPI::connectionClosed()
{
    const QString peer = peerText();
    const bool greetingAwaited = interpreterState == AwaitingGreeting;
    const bool quitting = currentLine.startsWith(QLatin1String("QUIT"));
    const bool settingUpTls = interpreterState == AwaitingTlsReply
        || interpreterState == Handshaking
        || (tls.mode() == QFtpTls::ImplicitTls && greetingAwaited && !controlSocket.isEncrypted());
    const QString tlsText = settingUpTls ? tls.failureText(&controlSocket, peer) : QString();
    const bool busy = greetingAwaited || settingUpTls || !currentLine.isNull()
        || !pendingCommands.isEmpty() || awaitingDataConnect || awaitingDataClose;
    controlSocket.close();
    resetListState();
    dataProcess.abortDataConnection();
    emit connectState(QFtp::Unconnected);
    if (!busy)
        return;
    // A list in progress ends here instead of waiting forever.
    if (quitting) {
        emit finished(tr("Connection closed"));
    } else if (settingUpTls) {
        emit error(QFtp::TlsFailed, tlsText);
    } else if (greetingAwaited) {
        QString text = tr("Connection closed by host %1").arg(peer);
        if (!refusedGreeting.isEmpty())
            text += QLatin1String(": ") + refusedGreeting;
        emit error(QFtp::ConnectionRefused, text);
    } else {
        emit error(QFtp::NotConnected, tr("Connection closed by host %1").arg(peer));
    }
}

void QFtpPI::error(QAbstractSocket::SocketError socketError)
{
    const QString peer = peerText();
    if (socketError == QAbstractSocket::SslHandshakeFailedError
        || socketError == QAbstractSocket::SslInternalError
        || socketError == QAbstractSocket::SslInvalidUserDataError) {
        dropConnection(QFtp::TlsFailed, tls.failureText(&controlSocket, peer));
        return;
    }
    int code = QFtp::ConnectionRefused;
    QString text;
    switch (socketError) {
    case QAbstractSocket::HostNotFoundError:
        code = QFtp::HostNotFound;
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
    connecting = false;
    updateInactivityTimer();
    emit connectState(QFtp::Unconnected);
    emit error(code, text);
}

void QFtpPI::encrypted()
{
    noteTraffic();
    if (!tls.trusted(&controlSocket)) {
        dropConnection(QFtp::TlsFailed, tls.failureText(&controlSocket, peerText()));
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
            failList(QFtp::ConnectionRefused, tr("Connection refused for data connection"));
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------
// Ending a list or the connection

void QFtpPI::resetListState()
{
    ++listGeneration;
    uploadAborted = false;
    pendingCommands.clear();
    currentLine = QString();
    if (awaitingDataClose)
        replyText = QString(); // the held reply belongs to the list that ends
    awaitingDataConnect = false;
    awaitingDataClose = false;
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
    connecting = false;
    {
        const QSignalBlocker blocker(&controlSocket);
        controlSocket.abort();
    }
    updateInactivityTimer();
    dataProcess.abortDataConnection();
    emit connectState(QFtp::Unconnected);
    emit error(code, text);
}

QString QFtpPI::peerText() const
{
    const QString name = controlSocket.peerName();
    return name.isEmpty() ? hostName : name;
}

// ---------------------------------------------------------------------------
// Inactivity timeout: the one place that decides when the server has been
// silent for too long.

bool QFtpPI::waitingForPeer() const
{
    if (connecting)
        return true;
    if (controlSocket.state() != QAbstractSocket::ConnectedState)
        return false;
    return interpreterState == AwaitingGreeting || interpreterState == AwaitingReply
        || interpreterState == AwaitingTlsReply || interpreterState == Handshaking
        || awaitingDataConnect || awaitingDataClose;
}

void QFtpPI::updateInactivityTimer()
{
    if (!waitingForPeer()) {
        inactivityTimer.stop();
    } else if (!inactivityTimer.isActive()) {
        lastTraffic.start();
        inactivityTimer.start(inactivityTimeoutMs);
    }
}

void QFtpPI::noteTraffic()
{
    // Cheap enough for every chunk: the timer itself is only re-armed when
    // it fires early.
    lastTraffic.start();
}

void QFtpPI::inactivityTimerFired()
{
    if (!waitingForPeer())
        return;
    const qint64 silent = lastTraffic.isValid() ? lastTraffic.elapsed() : inactivityTimeoutMs;
    if (silent < inactivityTimeoutMs) {
        inactivityTimer.start(int(inactivityTimeoutMs - silent));
        return;
    }
    const QString peer = peerText();
    if (connecting || interpreterState == AwaitingGreeting || interpreterState == AwaitingTlsReply
        || interpreterState == Handshaking) {
        dropConnection(QFtp::ConnectionRefused, tr("Connection timed out to host %1").arg(peer));
    } else if (!replyText.isEmpty() || controlSocket.bytesAvailable() > 0) {
        dropConnection(QFtp::NotConnected,
                       tr("Host %1 did not complete its reply within %2 seconds, connection "
                          "closed")
                           .arg(peer)
                           .arg(inactivityTimeoutMs / 1000.0));
    } else {
        dropConnection(QFtp::NotConnected,
                       tr("Host %1 did not answer for %2 seconds, connection closed")
                           .arg(peer)
                           .arg(inactivityTimeoutMs / 1000.0));
    }
}
