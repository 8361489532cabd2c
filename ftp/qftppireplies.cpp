// The interpreter's side facing the server: reading and handling replies,
// and the inactivity timeout. Sending and the connection events are in
// qftppi.cpp.

#include "qftppi.h"

#include <QRegExp>
#include <QScopedValueRollback>
#include <QSslSocket>
#include <QTcpSocket>

using Verb = QFtpLine::Verb;
using State = QFtpPI::InterpreterState;
using AbortState = QFtpPI::AbortState;

// ---------------------------------------------------------------------------
// Reading replies

void QFtpPI::readyReadControl()
{
    // Arriving bytes are no sign of progress by themselves: a reply fed a
    // line at a time must still be complete within the timeout.
    if (interpreterState == State::AwaitingDataClose) {
        // Replies wait until the data connection has closed; the socket's
        // bounded buffer makes the server wait too, once it is full.
        if (holdsOverlongLine(*controlSocket))
            dropOverlongLine();
        return;
    }
    readRepliesFrom(*controlSocket);
}

bool QFtpPI::holdsOverlongLine(QIODevice &source) const
{
    return !source.canReadLine() && source.bytesAvailable() > maxReplyLineLength;
}

void QFtpPI::dropOverlongLine()
{
    dropConnection(QFtpGlobal::UnknownError,
                   tr("Reply line longer than %1 bytes from host %2, connection closed")
                       .arg(maxReplyLineLength)
                       .arg(peerText()));
}

void QFtpPI::readRepliesFrom(QIODevice &source)
{
    if (readingReplies)
        return; // re-entered from a signal: the running loop goes on
    const QScopedValueRollback<bool> guard(readingReplies, true);

    while (interpreterState != State::AwaitingDataClose && source.canReadLine()) {
        const QByteArray raw = source.readLine(maxReplyLineLength + 1);
        if (!raw.endsWith('\n')) {
            dropOverlongLine();
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
                dropConnection(QFtpGlobal::UnknownError,
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
    if (interpreterState != State::AwaitingDataClose && holdsOverlongLine(source))
        dropOverlongLine();
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
    if (interpreterState == State::AwaitingReply
        && (code == 226 || (code == 250 && current.verb() == Verb::Retr))) {
        // In active mode the server's connection may still wait in the
        // listener, its data not read yet: take it first.
        dataProcess.acceptPendingConnection();
        if (dataProcess.dataConnectionState() != QAbstractSocket::UnconnectedState) {
            setInterpreterState(State::AwaitingDataClose);
            return false;
        }
    }

    if (abortState == AbortState::AbortSent) {
        // 225 answers ABOR itself: a server that sends it first has folded
        // the aborted command's reply into it, and no second reply follows.
        setAbortState(code == 225 ? AbortState::NoAbort : AbortState::AbortReplyPending);
    } else if (abortState == AbortState::AbortReplyPending) {
        setAbortState(AbortState::NoAbort);
        return true; // the reply to ABOR itself
    }

    switch (interpreterState) {
    case State::AwaitingGreeting:
        takeGreeting(code);
        return true;
    case State::AwaitingTlsReply:
        takeTlsReply(code);
        return true;
    case State::AwaitingReply:
        setInterpreterState(stateForReply(code));
        break;
    default:
        return true; // not asked for: dropped
    }

    emit rawFtpReply(code, replyText);
    // The replies to a raw line are its sender's, as they are.
    if (!current.isRaw() && !handleSpecialReply(code))
        return true; // the list has ended
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
    if (tls.mode() == QFtpGlobal::ExplicitTls && secureSocket()) {
        requestTls(); // the connect is done once TLS stands
        emit rawFtpReply(code, replyText);
        return;
    }
    setInterpreterState(State::Idle);
    // The greeting's raw reply goes first: once finished() has run, the
    // facade's next command (perhaps a raw one) is already under way.
    emit rawFtpReply(code, replyText);
    emit finished(tr("Connected to host %1").arg(peerText()));
    // No second finished() for the empty list: a command queued from the
    // facade's done() would be reported finished without being sent.
}

void QFtpPI::requestTls()
{
    setInterpreterState(State::AwaitingTlsReply);
    noteTraffic();
    writeCommand(QFtpLine(Verb::Auth, QStringLiteral("TLS")));
}

void QFtpPI::takeTlsReply(int code)
{
    emit rawFtpReply(code, replyText);
    if (code / 100 == 1)
        return; // preliminary: the answer follows
    if (code != 234) {
        // No fallback to plain FTP: the password would go out in clear.
        dropConnection(QFtpGlobal::TlsFailed,
                       tr("Host %1 refused TLS: %2 %3").arg(peerText()).arg(code).arg(replyText));
        return;
    }
    if (controlSocket->bytesAvailable() > 0) {
        // Lines that came in clear behind the acceptance could pose as
        // replies from inside the encrypted connection.
        dropConnection(QFtpGlobal::TlsFailed,
                       tr("Host %1 sent unencrypted data after accepting TLS, connection closed")
                           .arg(peerText()));
        return;
    }
    setInterpreterState(State::Handshaking);
    secureSocket()->startClientEncryption();
}

QFtpPI::InterpreterState QFtpPI::stateForReply(int code)
{
    if (code == 202)
        return State::Failed; // "not implemented, superfluous" is not a success
    switch (code / 100) {
    case 1:
        return State::AwaitingReply;
    case 2:
        return State::Succeeded;
    case 3:
        return State::Idle;
    default:
        return State::Failed;
    }
}

// The steps some replies take; false when the step ended the list.
bool QFtpPI::handleSpecialReply(int code)
{
    if (code == 227)
        enterPassiveMode();
    else if (code == 229)
        return enterExtendedPassiveMode();
    else if (code == 230)
        takeLogin();
    else if (code == 213)
        takeFileSize();
    else if (replyCode[0] == 1)
        takeTransferStart();
    return true;
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
    setInterpreterState(State::AwaitingDataConnect);
    dataProcess.connectToDataPort(controlSocket->peerAddress().toString(), port);
}

bool QFtpPI::enterExtendedPassiveMode()
{
    const int open = replyText.indexOf(QLatin1Char('('));
    if (open == -1)
        return true;
    QStringList fields;
    if (open + 1 < replyText.size()) {
        const QChar delimiter = replyText.at(open + 1);
        fields = replyText.mid(open + 1).split(delimiter, Qt::KeepEmptyParts);
    }
    if (fields.size() < 4) {
        failList(QFtpGlobal::UnknownError,
                 tr("Host %1 sent an unusable reply to EPSV: %2").arg(peerText(), replyText));
        return false;
    }
    setInterpreterState(State::AwaitingDataConnect);
    dataProcess.connectToDataPort(controlSocket->peerAddress().toString(),
                                  quint16(fields.at(3).toInt()));
    return true;
}

void QFtpPI::takeLogin()
{
    // Logged in without a password: the PASS line is not wanted any more.
    if (current.verb() == Verb::User && !pendingCommands.isEmpty()
        && pendingCommands.first().verb() == Verb::Pass) {
        pendingCommands.removeFirst();
    }
    emit connectState(QFtpGlobal::LoggedIn);
}

void QFtpPI::takeFileSize()
{
    if (current.verb() == Verb::Size)
        dataProcess.setTotalBytes(replyText.simplified().toLongLong());
}

void QFtpPI::takeTransferStart()
{
    // The server's active-mode connection is taken as soon as it is there,
    // for every transfer, so that its data and close are not missed.
    dataProcess.acceptPendingConnection();
    if (current.isUpload())
        dataProcess.writeNextChunk();
}

void QFtpPI::takeAbortedUpload()
{
    // The data connection of the upload was cut short: by abort() from this
    // side, or it ended before the whole file was sent. A server that saw a
    // plain close takes the file as complete; the upload still failed, and
    // the file on the server is truncated.
    const QFtpDTP::UploadPhase phase = dataProcess.uploadPhase();
    const bool aborted = phase == QFtpDTP::UploadPhase::Aborted;
    if ((!aborted && phase != QFtpDTP::UploadPhase::CutShort) || !current.isUpload())
        return;
    if (interpreterState == State::Succeeded) {
        setInterpreterState(State::Failed);
        const QString text = aborted     ? tr("Upload aborted (%1)")
            : dataProcess.sourceFailed() ? tr("The data to upload could not be read whole (%1)")
                                         : tr("Upload incomplete (%1)");
        replyText = text.arg(replyText);
    } else if (interpreterState != State::Failed) {
        return;
    }
    dataProcess.forgetUpload();
}

void QFtpPI::reactToReply()
{
    switch (interpreterState) {
    case State::Succeeded:
        setInterpreterState(State::Idle);
        Q_FALLTHROUGH();
    case State::Idle:
        if (!transferErrorText.isNull()) {
            // The transfer failed, whatever the server says.
            const QString text = transferErrorText;
            transferErrorText = QString();
            failList(QFtpGlobal::UnknownError, text);
            return;
        }
        sendNextCommand();
        break;
    case State::Failed:
        sendAfterFailure();
        break;
    default:
        break; // the reply was preliminary, or the list waits for its data connection
    }
}

void QFtpPI::sendAfterFailure()
{
    const QFtpLine refused = current;
    if (refused.verb() == Verb::Epsv || refused.verb() == Verb::Eprt) {
        // The classic command takes the refused one's place, and the
        // refusal decides the data commands of the lists that follow.
        (refused.verb() == Verb::Epsv ? epsvRefused : eprtRefused) = true;
        pendingCommands.prepend(
            refused.withVerb(refused.verb() == Verb::Epsv ? Verb::Pasv : Verb::Port));
    } else if (refused.refusalTolerated()) {
        // Its sender said so when it queued the line: the list goes on.
        if (refused.verb() == Verb::Size)
            dataProcess.setTotalBytes(0); // the download goes on with an unknown size
    } else {
        emit error(QFtpGlobal::UnknownError, replyText);
        // Whoever got the error decides: it ended the list from the signal
        // (the facade always does), or the list goes on.
        if (interpreterState != State::Failed)
            return;
    }
    setInterpreterState(State::Idle);
    sendNextCommand();
}

// ---------------------------------------------------------------------------
// Inactivity timeout: the one place that decides when the server has been
// silent for too long.

bool QFtpPI::waitingForPeer() const
{
    switch (interpreterState) {
    case State::Connecting:
        return true;
    case State::AwaitingGreeting:
    case State::AwaitingTlsReply:
    case State::Handshaking:
    case State::AwaitingReply:
    case State::AwaitingDataConnect:
    case State::AwaitingDataClose:
        return controlConnected();
    default:
        return false;
    }
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
    if (interpreterState < State::Idle) {
        dropConnection(QFtpGlobal::ConnectionRefused,
                       tr("Connection timed out to host %1").arg(peer));
    } else if (!replyText.isEmpty() || controlSocket->bytesAvailable() > 0) {
        dropConnection(QFtpGlobal::NotConnected,
                       tr("Host %1 did not complete its reply within %2 seconds, connection "
                          "closed")
                           .arg(peer)
                           .arg(inactivityTimeoutMs / 1000.0));
    } else {
        dropConnection(QFtpGlobal::NotConnected,
                       tr("Host %1 did not answer for %2 seconds, connection closed")
                           .arg(peer)
                           .arg(inactivityTimeoutMs / 1000.0));
    }
}
