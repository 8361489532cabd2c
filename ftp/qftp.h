#ifndef QFTP_H
#define QFTP_H

#include "qftpglobal.h"
#include "qurlinfo.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <memory>

class QFtpPrivate;
class QIODevice;

// The FTP client as the application sees it: every operation queues one
// command and returns its id at once; commands run one after another and
// report their start and end through signals carrying that id. A failing
// command throws away every command queued behind it.
class QFtp : public QObject, public QFtpGlobal
{
    Q_OBJECT

public:
    explicit QFtp(QObject *parent = nullptr);
    ~QFtp() override;

    // State, Error and TlsMode come from QFtpGlobal: QFtp::State,
    // QFtp::LoggedIn, QFtp::ExplicitTls, ...
    enum Command {
        None,
        SetTransferMode,
        SetProxy,
        ConnectToHost,
        Login,
        Close,
        List,
        Cd,
        Get,
        Put,
        Remove,
        Mkdir,
        Rmdir,
        Rename,
        RawCommand,
        Size,
        Features,
        SetModificationTime,
        Hash
    };
    enum TransferMode { Active, Passive };
    enum TransferType { Binary, Ascii };

    // FTP over TLS, for the connections started after the call (call it
    // before connectToHost). With TLS, nothing but AUTH TLS goes out in clear,
    // every data connection is encrypted and resumes the control
    // connection's TLS session, and a server that refuses TLS or whose
    // certificate is not trusted fails the connect with TlsFailed and an
    // errorString() that says why (with the certificate's fingerprint when
    // it is not trusted). There is no fallback to plain FTP.
    void setTlsMode(TlsMode mode);
    TlsMode tlsMode() const;
    // Trusts the certificate whose SHA-256 digest (32 bytes) is `sha256`,
    // instead of the system's certificate authorities; empty to go back to
    // them. parseFingerprint() reads the usual hex text.
    void setPinnedCertificate(const QByteArray &sha256);
    // A SHA-256 fingerprint as 32 bytes, from 64 hex digits in any case,
    // colons optional ("AB:CD:..." as openssl prints it); empty when the
    // text is not that.
    static QByteArray parseFingerprint(const QString &text);

    int setProxy(const QString &host, quint16 port);
    int connectToHost(const QString &host, quint16 port = 21);
    int login(const QString &user = QString(), const QString &password = QString());
    int close();
    int setTransferMode(TransferMode mode);
    int list(const QString &dir = QString());
    int cd(const QString &dir);
    int get(const QString &file, QIODevice *dev = nullptr, TransferType type = Binary);
    // Uploads from a copy of `data`.
    int put(const QByteArray &data, const QString &file, TransferType type = Binary);
    // Uploads from `dev`, opened for reading here if it is not open yet.
    // The device stays the caller's: it must live until the command has
    // ended (commandFinished), or was dropped with the queue. A device of
    // known size that ends short of that size (a file cut while it is sent)
    // fails the upload.
    int put(QIODevice *dev, const QString &file, TransferType type = Binary);
    // The same, but the client owns `dev` (which must have no parent): it is
    // deleted when the command ends, whether it succeeds or fails, when it
    // is dropped with the queue behind a failed command, or with the client.
    int put(std::unique_ptr<QIODevice> dev, const QString &file, TransferType type = Binary);
    int remove(const QString &file);
    int mkdir(const QString &dir);
    int rmdir(const QString &dir);
    int rename(const QString &oldname, const QString &newname);
    int rawCommand(const QString &command);

    // The size of `file` on the server, in the transfer type in force; with
    // `binaryFirst` TYPE I goes ahead, so that the size counts bytes (right
    // after a binary upload it is already in force). The command succeeds
    // only when the size is known; fileSize() tells what the server said.
    int size(const QString &file, bool binaryFirst = true);
    // Uploads `dev` from byte `offset` on, onto the end of what `file`
    // holds on the server: REST and STOR where the server lists REST STREAM
    // (readFeatures() before), APPE otherwise. The client owns `dev`.
    int put(std::unique_ptr<QIODevice> dev, const QString &file, qint64 offset,
            TransferType type = Binary);
    // Asks the server what it supports (FEAT); hasFeature() answers after.
    int readFeatures();
    // Sets the modification time of `file` on the server (MFMT, in UTC).
    int setModificationTime(const QString &file, const QDateTime &time);
    // True when FEAT listed HASH with SHA-256 among its algorithms.
    bool offersSha256() const;
    // Asks the server for the SHA-256 of `file` (HASH, with OPTS HASH
    // SHA-256 ahead unless FEAT marked it as the one in use); the command
    // succeeds only when the answer is a SHA-256, which remoteSha256() gives.
    int sha256OfFile(const QString &file);
    // 64 lowercase hexadecimal digits; empty unless the last sha256OfFile()
    // succeeded.
    QByteArray remoteSha256() const;

    // What the server said last for the command that finished last (while
    // commandFinished runs: for that command). Code 0 when no reply came
    // (the connection was lost, or nothing was sent).
    struct Reply
    {
        int code = 0;
        QString text;
        QString toString() const; // "552 Disk full", bounded and on one line
    };
    Reply lastReply() const;

    // The outcome of the last size().
    enum SizeOutcome {
        SizeKnown,
        NoSuchFile, // 550
        SizeNotSupported, // 500, 501, 502, 504: the server has no SIZE
        SizeFailed // anything else: another refusal, a lost connection
    };
    struct FileSize
    {
        SizeOutcome outcome = SizeFailed;
        qint64 bytes = -1;
    };
    FileSize fileSize() const;

    // The outcome of the last rename(): which of its two steps was refused.
    enum RenameOutcome { Renamed, FromRefused, ToRefused, RenameFailed };
    RenameOutcome renameOutcome() const;

    // True when the last put failed because its source could not be read
    // whole (it cannot be opened, a read fails, a file shrank while sent):
    // sending it again would not help.
    bool uploadSourceFailed() const;

    // A feature the server listed in its answer to FEAT ("SIZE", "MFMT",
    // "REST STREAM", ...), in any case; false before readFeatures() or
    // when the server has no FEAT. Forgotten on every connect.
    bool hasFeature(const QString &feature) const;

    qint64 bytesAvailable() const;
    qint64 read(char *data, qint64 maxlen);
    QByteArray readAll();

    int currentId() const;
    QIODevice *currentDevice() const;
    Command currentCommand() const;
    bool hasPendingCommands() const;
    void clearPendingCommands();

    State state() const;
    Error error() const;
    QString errorString() const;

    // How long the server may stay silent while the client waits for it (a
    // reply, the data connection or its close) before the current command
    // fails and the connection is dropped. Any traffic restarts the wait.
    void setInactivityTimeout(int milliseconds);
    int inactivityTimeout() const;

public slots:
    void abort();

signals:
    void stateChanged(int state);
    void listInfo(const QUrlInfo &info);
    void readyRead();
    void dataTransferProgress(qint64 done, qint64 total);
    void rawCommandReply(int replyCode, const QString &detail);
    void commandStarted(int id);
    void commandFinished(int id, bool error);
    void done(bool error);

private slots:
    void _q_startNextCommand();
    void _q_piFinished(const QString &text);
    void _q_piError(int code, const QString &text);
    void _q_piConnectState(int state);
    void _q_piFtpReply(int code, const QString &text);

private:
    Q_DISABLE_COPY(QFtp)
    friend class QFtpPrivate;
    QFtpPrivate *d;
};

#endif // QFTP_H
