#ifndef QFTPPI_H
#define QFTPPI_H

#include "qftpdtp.h"
#include "qftpglobal.h"
#include "qftpline.h"
#include "qftptls.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

class QIODevice;
class QSslSocket;
class QTcpSocket;

// The protocol interpreter of the FTP client (RFC 959, with EPSV and EPRT
// from RFC 2428, and TLS from RFC 4217): owns the control connection, sends
// the command lines of one list at a time, assembles replies, and drives the
// data transfer process, which nothing else reaches.
//
// It reports through four signals: connectState (the QFtpGlobal::State values
// 0 to 4), finished (the greeting was taken, or the list ran out), error (the
// QFtpGlobal::Error values 1 to 5) and rawFtpReply (every reply it takes); and
// it passes on the data process's listInfo, readyRead and
// dataTransferProgress.
class QFtpPI : public QObject
{
    Q_OBJECT

public:
    // Where the control connection stands; changed only by
    // setInterpreterState().
    enum class InterpreterState {
        Unconnected, // no control connection
        Connecting, // host lookup or connect under way
        AwaitingGreeting, // connected; the server's greeting not taken yet
        AwaitingTlsReply, // AUTH TLS sent; its reply not taken yet
        Handshaking, // the control connection's TLS handshake is under way
        Idle, // ready to send the next line of the list
        AwaitingReply, // a line was sent; its completion reply not taken yet
        AwaitingDataConnect, // the list waits for its passive data connection
        AwaitingDataClose, // a transfer's reply is held until its data connection closes
        Succeeded, // transient: the last reply was a success
        Failed // transient: the last reply was a refusal
    };
    Q_ENUM(InterpreterState)
    enum class AbortState {
        NoAbort, // no ABOR outstanding
        AbortSent, // ABOR written, no reply taken since
        AbortReplyPending // one reply taken since ABOR; the next one is swallowed
    };
    Q_ENUM(AbortState)

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

    explicit QFtpPI(QObject *parent = nullptr);
    ~QFtpPI() override;

    // The control connection. The TLS settings hold for the connections
    // started after they are made; plain FTP unless told otherwise.
    void connectToHost(const QString &host, quint16 port);
    void setTlsMode(QFtpGlobal::TlsMode mode) { tls.setMode(mode); }
    QFtpGlobal::TlsMode tlsMode() const { return tls.mode(); }
    void setPinnedCertificate(const QByteArray &sha256) { tls.setPinnedFingerprint(sha256); }
    void setInactivityTimeout(int milliseconds);
    int inactivityTimeout() const { return inactivityTimeoutMs; }

    // One list of lines at a time: false while lines of an earlier list are
    // still unsent. Lines given as text are taken as they are written.
    bool sendLines(const QFtpLines &lines);
    bool sendCommands(const QStringList &lines);
    void clearPendingCommands();
    void abort();
    // The line last sent, line end included; null when the list is done or
    // cleared.
    QString currentCommand() const;
    // The verb of the line last sent: while rawFtpReply runs, the line answered.
    QFtpLine::Verb currentVerb() const { return current.verb(); }

    // On an IPv6 connection PASV and PORT become EPSV and EPRT, until the
    // server refuses either; allowExtendedDataCommands() forgets the refusals.
    void allowExtendedDataCommands();
    bool usesExtendedDataCommands() const { return !epsvRefused && !eprtRefused; }

    // The data of the next transfer (not owned; see QFtpDTP).
    void setUploadSource(const QByteArray *bytes) { dataProcess.setUploadSource(bytes); }
    void setUploadSource(QIODevice *device) { dataProcess.setUploadSource(device); }
    void setDownloadTarget(QIODevice *device) { dataProcess.setDownloadTarget(device); }
    void setTotalBytes(qint64 total) { dataProcess.setTotalBytes(total); }
    bool uploadSourceFailed() const { return dataProcess.sourceFailed(); }
    // A download that was given no device waits here.
    qint64 bytesAvailable() const { return dataProcess.bytesAvailable(); }
    qint64 read(char *data, qint64 maxLength) { return dataProcess.read(data, maxLength); }
    QByteArray readAll() { return dataProcess.readAll(); }

signals:
    void connectState(int state);
    void finished(const QString &text);
    void error(int code, const QString &text);
    void rawFtpReply(int code, const QString &text);
    void listInfo(const QUrlInfo &info);
    void readyRead();
    void dataTransferProgress(qint64 done, qint64 total);

private slots:
    void hostFound();
    void connected();
    void connectionClosed();
    void readyReadControl();
    void error(QAbstractSocket::SocketError socketError);
    void dtpConnectState(int state);
    void dtpTransferError(const QString &text);
    void inactivityTimerFired();
    void encrypted();

private:
    friend struct QFtpPITestAccess; // tests and the reply-reader fuzzer

    // State changes, each in one place.
    void setInterpreterState(InterpreterState next);
    void setAbortState(AbortState next);
    void setCurrentCommand(const QFtpLine &line);
    QFtpDTP::DataMode dataMode() const;
    bool inList() const;
    void endList();

    // The control socket: a TLS-capable one only when TLS is asked for, so
    // that a plain session never loads the TLS library.
    void prepareControlSocket();
    QSslSocket *secureSocket() const;
    bool controlConnected() const;

    // Sending.
    void sendNextCommand();
    void finishList();
    void writeCommand(const QFtpLine &line);
    bool buildActiveModeCommand(const QHostAddress &address, QFtpLine *line);

    // Reading and handling replies.
    void readRepliesFrom(QIODevice &source);
    bool holdsOverlongLine(QIODevice &source) const;
    void dropOverlongLine();
    bool beginReply(const QString &line);
    QString replyCodeText() const;
    bool handleReply();
    void takeGreeting(int code);
    void requestTls();
    void takeTlsReply(int code);
    static InterpreterState stateForReply(int code);
    bool handleSpecialReply(int code);
    void enterPassiveMode();
    bool enterExtendedPassiveMode();
    void takeLogin();
    void takeFileSize();
    void takeTransferStart();
    void takeAbortedUpload();
    void reactToReply();
    void sendAfterFailure();

    // Ending a list or the connection.
    void failList(int code, const QString &text);
    void dropConnection(int code, const QString &text);
    QString peerText() const;

    // Inactivity timeout.
    bool waitingForPeer() const;
    void updateInactivityTimer();
    void noteTraffic();

    QFtpTls tls; // declared before the data process, which uses it for every data connection
    QFtpDTP dataProcess;
    QTcpSocket *controlSocket = nullptr;
    QString replyText;
    qint8 replyCode[3] = { 0, 0, 0 };
    InterpreterState interpreterState = InterpreterState::Unconnected;
    AbortState abortState = AbortState::NoAbort;
    QFtpLines pendingCommands;
    QFtpLine current; // the line last sent; null when the list is done or cleared
    // What the data process reported wrong with the transfer under way.
    QString transferErrorText;
    // What this server refused; either ends the use of both extended
    // commands, as the one address family they serve is the same.
    bool epsvRefused = false;
    bool eprtRefused = false;
    bool readingReplies = false; // guards the reply reader against re-entry
    QString hostName; // as given to connectToHost, for messages
    QString refusedGreeting; // a 4yz/5yz greeting, reported if the server then closes
    QTimer inactivityTimer;
    QElapsedTimer lastTraffic;
    int inactivityTimeoutMs = defaultInactivityTimeout;
};

#endif // QFTPPI_H
