#ifndef FTPTESTSERVER_H
#define FTPTESTSERVER_H

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// A real FTP server on a loopback address, started for one test and stopped
// by its PID when the object goes away.
class FtpTestServer
{
public:
    enum Kind { PyFtpdlib, Vsftpd };
    enum Tls { NoTls, ExplicitTls, ImplicitTls }; // vsftpd only; TLS required

    struct Options
    {
        QString address = QStringLiteral("127.0.0.1");
        quint16 port = 0; // 0: any free port
        QString root; // folder served as the login directory; a temporary one when empty
        QString user = QStringLiteral("mirvo");
        QString password = QStringLiteral("secret");
        QString perm; // pyftpdlib permission letters; empty: everything
        int throttle = 0; // pyftpdlib: bytes per second on data connections
        int dropAfterStores = 0; // pyftpdlib: drop the control connection on the n-th STOR
        int cutStores = 0; // pyftpdlib: the first n STORs keep 100 bytes, close and answer 226
        QStringList quirks; // pyftpdlib: more options of ftpserver.py, such as "--no-size"
        Tls tls = NoTls; // with a self-signed certificate made for the server
    };

    explicit FtpTestServer(Kind kind);
    ~FtpTestServer();
    FtpTestServer(const FtpTestServer &) = delete;
    FtpTestServer &operator=(const FtpTestServer &) = delete;

    bool start();
    bool start(const Options &options);
    bool startOn(const QString &address); // the defaults, on `address`
    void stop();

    Kind kind() const { return serverKind; }
    QString address() const { return opts.address; }
    quint16 port() const { return serverPort; }
    QString user() const { return opts.user; }
    QString password() const { return opts.password; }
    QString root() const { return opts.root; }
    qint64 pid() const;
    QString errorString() const { return lastError; }
    // The SHA-256 fingerprint of the TLS certificate, "AB:CD:..."; empty without TLS.
    QString fingerprint() const { return certificateFingerprint; }

    // Every command line the server received so far, in order ("PASS" arguments masked).
    QStringList commands() const;

    // vsftpd needs root (PAM logins, its own account) and the binary.
    static bool vsftpdUsable(QString *why = nullptr);
    // Whether a server of `kind` can run here; pyftpdlib always can.
    static bool usable(Kind kind, QString *why = nullptr);
    // A port of `address` on which nothing listens; 0 when none is found.
    static quint16 freePort(const QString &address);
    // The system account that vsftpd logs in; created on first use.
    static QString vsftpdUser() { return QStringLiteral("mirvoftp"); }

private:
    bool startPyFtpdlib();
    bool startVsftpd();
    bool waitForGreeting(int timeoutMs);
    bool makeCertificate(const QString &pemFile);

    Kind serverKind;
    Options opts;
    quint16 serverPort = 0;
    std::unique_ptr<QTemporaryDir> scratch; // logs, configuration, default root
    std::unique_ptr<QProcess> process;
    QString logFile;
    QString lastError;
    QString certificateFingerprint;
};

// In a test function: skips the test when a server of `kind` cannot run here.
#define SKIP_UNLESS_USABLE(kind)                                                                   \
    do {                                                                                           \
        QString why_;                                                                              \
        if (!FtpTestServer::usable(FtpTestServer::Kind(kind), &why_))                              \
            QSKIP(qPrintable(why_));                                                               \
    } while (false)

// The rows of a test run once against each kind of server, in an int column "kind".
void addServerKindRows();

#endif // FTPTESTSERVER_H
