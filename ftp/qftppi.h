#ifndef QFTPPI_H
#define QFTPPI_H

#include "qftpdtp.h"
#include "qftpglobal.h"
#include "qftptls.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSslSocket>
#include <QString>
#include <QStringList>
#include <QTimer>

// The protocol interpreter of the FTP client (RFC 959, with EPSV and EPRT
// from RFC 2428): owns the control connection, sends the raw command lines of
// one list at a time, assembles replies, and drives the data transfer process.
//
// It reports through four signals: connectState (the QFtpGlobal::State values
// 0 to 4), finished (the greeting was taken, or the list ran out), error (the
// QFtpGlobal::Error values 1 to 5) and rawFtpReply (every reply it takes).
class QFtpPI : public QObject
{
    Q_OBJECT

public:
    enum InterpreterState {
        AwaitingGreeting, // connected; the server's greeting not taken yet
        Idle, // ready to send the next line of the list
        AwaitingReply, // a line was sent; its completion reply not taken yet
        Succeeded, // transient: the last reply was a success
        Failed, // transient: the last reply was a failure
        AwaitingTlsReply, // AUTH TLS sent; its reply not taken yet
        Handshaking // the control connection's TLS handshake is under way
    };
    enum AbortState {
        NoAbort, // no ABOR outstanding
        AbortSent, // ABOR written, no reply taken since
        AbortReplyPending // one reply taken since ABOR; the next one is swallowed
    };

    // Limits on what a server may send on the control connection. A server
    // that exceeds one gets an error and the connection is dropped.
    static constexpr int maxReplyLineLength = 64 * 1024;
    static constexpr int maxReplyLength = 1024 * 1024;
    // What the control socket may hold unread: a longest line fits whole, so
    // a full buffer without a line end is an over-long line. Whatever the
    // server sends beyond it waits in the network until there is room.
    static constexpr int controlReadBufferSize = maxReplyLineLength + 4096;
    // How long the interpreter waits for what it awaits (a whole reply, the
    // data connection, its close) before giving up. Bytes of a reply that is
    // not complete do not count; traffic on the data connection does.
    static constexpr int defaultInactivityTimeout = 120 * 1000;

    // Verbs the interpreter acts on; every other verb is Other.
    enum Verb {
        Other,
        User,
        Pass,
        Quit,
        Pasv,
        Epsv,
        Port,
        Eprt,
        List,
        Retr,
        Stor,
        Size,
        Allo,
        Abor,
        Auth
    };

    // One command line as the interpreter holds it until it is written: the
    // verb as written and as known here, and the argument, if there is one.
    struct Command
    {
        // A line from the facade; its own line end, if any, is dropped.
        static Command fromLine(const QString &line);
        // The line as it goes on the wire, line end included.
        QString rawLine() const;
        bool isNull() const { return !valid; }

        bool valid = false;
        Verb verb = Other;
        QString word;
        QString argument;
        bool hasArgument = false;
    };

    explicit QFtpPI(QObject *parent = nullptr);
    ~QFtpPI() override;

    void connectToHost(const QString &host, quint16 port);
    bool sendCommands(const QStringList &commands);
    void clearPendingCommands();
    void abort();
    // The raw line last sent, line end included; null when the list is
    // done or cleared.
    QString currentCommand() const { return current.isNull() ? QString() : current.rawLine(); }
    Verb currentVerb() const { return current.verb; }

    void setInactivityTimeout(int milliseconds);
    int inactivityTimeout() const { return inactivityTimeoutMs; }

    bool rawCommandActive = false;
    // Whether PASV and PORT become EPSV and EPRT on an IPv6 connection:
    // cleared when the server refuses either, set again (and the refusals
    // forgotten) by allowExtendedDataCommands.
    bool useExtendedDataCommands = true;
    void allowExtendedDataCommands();
    // Set before connectToHost; plain FTP unless told otherwise. Declared
    // before the data process, which uses it for every data connection.
    QFtpTls tls;
    QFtpDTP dataProcess;

signals:
    void connectState(int state);
    void finished(const QString &text);
    void error(int code, const QString &text);
    void rawFtpReply(int code, const QString &text);

private slots:
    void hostFound();
    void connected();
    void connectionClosed();
    void readyRead();
    void error(QAbstractSocket::SocketError socketError);
    void dtpConnectState(int state);
    void dtpTransferError(const QString &text);
    void inactivityTimerFired();
    void encrypted();

private:
    friend struct QFtpPITestAccess; // the reply-reader fuzzer

    // State changes, each in one place.
    void setInterpreterState(InterpreterState state);
    void setAbortState(AbortState state);
    void setConnecting(bool underWay);
    void setCurrentCommand(const Command &command);
    void noteRefused(Verb verb);
    QFtpDTP::DataMode dataMode() const;
    void setAwaitingDataConnect(bool awaiting);
    void setAwaitingDataClose(bool awaiting);

    // Sending.
    bool sendNextCommand();
    void writeCommand(const Command &command);
    bool buildActiveModeCommand(const QHostAddress &address, Command *command);

    // Reading and handling replies.
    void readRepliesFrom(QIODevice &source);
    bool holdsOverlongLine(QIODevice &source) const;
    bool beginReply(const QString &line);
    QString replyCodeText() const;
    bool handleReply();
    void takeGreeting(int code);
    void requestTls();
    void takeTlsReply(int code);
    static InterpreterState stateForReply(int code);
    void handleSpecialReply(int code);
    void enterPassiveMode();
    void enterExtendedPassiveMode();
    void takeLogin();
    void takeFileSize();
    void takeTransferStart();
    void takeAbortedUpload();
    void reactToReply();
    void sendAfterFailure();

    // Ending a list or the connection.
    void resetListState();
    void failList(int code, const QString &text);
    void dropConnection(int code, const QString &text);
    QString peerText() const;

    // Inactivity timeout.
    bool waitingForPeer() const;
    void updateInactivityTimer();
    void noteTraffic();

    QSslSocket controlSocket; // without TLS, a plain TCP socket
    QString replyText;
    qint8 replyCode[3] = { 0, 0, 0 };
    InterpreterState interpreterState = AwaitingGreeting;
    AbortState abortState = NoAbort;
    QList<Command> pendingCommands;
    Command current; // the command last sent; null when the list is done or cleared
    bool awaitingDataConnect = false;
    bool awaitingDataClose = false;
    // What the data process reported wrong with the transfer under way.
    QString transferErrorText;

    bool connecting = false; // host lookup or connect under way
    // What this server refused; either ends the use of both extended
    // commands, as the one address family they serve is the same.
    bool epsvRefused = false;
    bool eprtRefused = false;
    bool uploadAborted = false; // abort() cut the data connection of a STOR
    bool readingReplies = false; // guards the reply reader against re-entry
    // Changes whenever the current list ends or is replaced, so that a step
    // can tell that a signal it emitted has ended the list.
    quint64 listGeneration = 0;
    QString hostName; // as given to connectToHost, for messages
    QString refusedGreeting; // a 4yz/5yz greeting, reported if the server then closes
    QTimer inactivityTimer;
    QElapsedTimer lastTraffic;
    int inactivityTimeoutMs = defaultInactivityTimeout;
};

#endif // QFTPPI_H
