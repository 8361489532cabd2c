#ifndef QFTP_H
#define QFTP_H

#include "qftpglobal.h"
#include "qurlinfo.h"

#include <QByteArray>
#include <QObject>
#include <QString>

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

    // State and Error come from QFtpGlobal: QFtp::State, QFtp::LoggedIn, ...
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
        RawCommand
    };
    enum TransferMode { Active, Passive };
    enum TransferType { Binary, Ascii };
    enum TlsMode {
        NoTls, // plain FTP
        ExplicitTls, // AUTH TLS right after the greeting, then PBSZ 0 and PROT P after login
        ImplicitTls // TLS from the first byte (port 990 by custom), PBSZ 0 and PROT P after login
    };

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
    // them. QFtpTls::parseFingerprint reads the usual hex text.
    void setPinnedCertificate(const QByteArray &sha256);

    int setProxy(const QString &host, quint16 port);
    int connectToHost(const QString &host, quint16 port = 21);
    int login(const QString &user = QString(), const QString &password = QString());
    int close();
    int setTransferMode(TransferMode mode);
    int list(const QString &dir = QString());
    int cd(const QString &dir);
    int get(const QString &file, QIODevice *dev = nullptr, TransferType type = Binary);
    int put(const QByteArray &data, const QString &file, TransferType type = Binary);
    int put(QIODevice *dev, const QString &file, TransferType type = Binary);
    int remove(const QString &file);
    int mkdir(const QString &dir);
    int rmdir(const QString &dir);
    int rename(const QString &oldname, const QString &newname);
    int rawCommand(const QString &command);

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
