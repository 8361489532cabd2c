#include "ftptestserver.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTextStream>
#include <QThread>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

namespace {

bool runQuietly(const QString &program, const QStringList &arguments, const QByteArray &input = {})
{
    QProcess p;
    p.start(program, arguments);
    if (!p.waitForStarted(5000))
        return false;
    if (!input.isEmpty())
        p.write(input);
    p.closeWriteChannel();
    return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

// The children of a forked server (vsftpd keeps one process per session).
QList<pid_t> childrenOf(pid_t parent)
{
    QList<pid_t> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool isPid = false;
        const pid_t pid = entry.toInt(&isPid);
        if (!isPid)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        const int close = text.lastIndexOf(')');
        const QList<QByteArray> fields = text.mid(close + 2).split(' ');
        if (fields.size() > 1 && fields.at(1).toInt() == parent)
            children.append(pid);
    }
    return children;
}

void killTree(pid_t pid)
{
    for (pid_t child : childrenOf(pid))
        killTree(child);
    ::kill(pid, SIGKILL);
}

} // namespace

FtpTestServer::FtpTestServer(Kind kind)
    : serverKind(kind)
{ }

FtpTestServer::~FtpTestServer()
{
    stop();
}

qint64 FtpTestServer::pid() const
{
    return process ? process->processId() : 0;
}

bool FtpTestServer::vsftpdUsable(QString *why)
{
    QString reason;
    if (::geteuid() != 0)
        reason = QStringLiteral("vsftpd needs root");
    else if (!QFileInfo::exists(QStringLiteral("/usr/sbin/vsftpd")))
        reason = QStringLiteral("vsftpd is not installed");
    if (why)
        *why = reason;
    return reason.isEmpty();
}

bool FtpTestServer::usable(Kind kind, QString *why)
{
    if (kind == Vsftpd)
        return vsftpdUsable(why);
    if (why)
        why->clear();
    return true;
}

quint16 FtpTestServer::freePort(const QString &address)
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress(address), 0))
        return 0;
    return probe.serverPort();
}

bool FtpTestServer::startOn(const QString &address)
{
    Options options;
    options.address = address;
    return start(options);
}

bool FtpTestServer::start()
{
    return start(Options());
}

bool FtpTestServer::start(const Options &options)
{
    stop();
    opts = options;
    scratch = std::make_unique<QTemporaryDir>();
    if (!scratch->isValid()) {
        lastError = QStringLiteral("cannot make a temporary folder");
        return false;
    }
    if (opts.root.isEmpty()) {
        opts.root = scratch->filePath(QStringLiteral("root"));
        QDir().mkpath(opts.root);
    }
    logFile = scratch->filePath(QStringLiteral("commands.log"));
    return serverKind == PyFtpdlib ? startPyFtpdlib() : startVsftpd();
}

bool FtpTestServer::startPyFtpdlib()
{
    QStringList args { QStringLiteral(MIRVO_TEST_SUPPORT_DIR "/ftpserver.py"),
                       QStringLiteral("--address"),
                       opts.address,
                       QStringLiteral("--port"),
                       QString::number(opts.port),
                       QStringLiteral("--root"),
                       opts.root,
                       QStringLiteral("--user"),
                       opts.user,
                       QStringLiteral("--password"),
                       opts.password,
                       QStringLiteral("--log"),
                       logFile };
    if (!opts.perm.isEmpty())
        args << QStringLiteral("--perm") << opts.perm;
    if (opts.throttle > 0)
        args << QStringLiteral("--throttle") << QString::number(opts.throttle);
    if (opts.dropAfterStores > 0)
        args << QStringLiteral("--drop-after") << QString::number(opts.dropAfterStores);
    if (opts.cutStores > 0)
        args << QStringLiteral("--cut-stores") << QString::number(opts.cutStores);
    args << opts.quirks;

    process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::SeparateChannels);
    process->setStandardErrorFile(scratch->filePath(QStringLiteral("server.err")));
    process->start(QStringLiteral("/usr/bin/python3"), args);
    if (!process->waitForStarted(5000)) {
        lastError = QStringLiteral("cannot start /usr/bin/python3");
        return false;
    }
    QDeadlineTimer deadline(10000);
    QByteArray out;
    while (!deadline.hasExpired()) {
        process->waitForReadyRead(100);
        out += process->readAllStandardOutput();
        const QRegularExpressionMatch m
            = QRegularExpression(QStringLiteral("PORT (\\d+)\\n")).match(QString::fromLatin1(out));
        if (m.hasMatch()) {
            serverPort = quint16(m.captured(1).toUInt());
            return true;
        }
        if (process->state() == QProcess::NotRunning)
            break;
    }
    QFile err(scratch->filePath(QStringLiteral("server.err")));
    err.open(QIODevice::ReadOnly);
    lastError = QStringLiteral("pyftpdlib did not start: ") + QString::fromLocal8Bit(err.readAll());
    stop();
    return false;
}

bool FtpTestServer::startVsftpd()
{
    if (!vsftpdUsable(&lastError))
        return false;
    const QString user = vsftpdUser();
    const QString home = QStringLiteral("/var/tmp/mirvo-vsftpd-home");
    QDir().mkpath(home);
    if (!runQuietly(QStringLiteral("id"), { user })
        && !runQuietly(QStringLiteral("useradd"),
                       { QStringLiteral("-M"), QStringLiteral("-d"), home, QStringLiteral("-s"),
                         QStringLiteral("/bin/sh"), user })) {
        lastError = QStringLiteral("cannot create the account ") + user;
        return false;
    }
    opts.user = user;
    if (!runQuietly(QStringLiteral("chpasswd"), {}, (user + ':' + opts.password + '\n').toUtf8())) {
        lastError = QStringLiteral("cannot set the password of ") + user;
        return false;
    }
    runQuietly(QStringLiteral("chown"), { QStringLiteral("-R"), user, opts.root, home });
    // The account must be able to walk down to its root (temporary folders are 0700).
    for (QDir dir(opts.root); dir.cdUp() && !dir.isRoot();) {
        QFile::setPermissions(dir.path(),
                              QFile::permissions(dir.path()) | QFile::ExeOther | QFile::ExeGroup);
    }

    if (opts.port == 0)
        opts.port = freePort(opts.address);
    serverPort = opts.port;
    const bool ipv6 = opts.address.contains(QLatin1Char(':'));
    const QString emptyDir = scratch->filePath(QStringLiteral("empty"));
    QDir().mkpath(emptyDir);
    const QString conf = scratch->filePath(QStringLiteral("vsftpd.conf"));
    QFile file(conf);
    if (!file.open(QIODevice::WriteOnly)) {
        lastError = QStringLiteral("cannot write ") + conf;
        return false;
    }
    QTextStream out(&file);
    out << (ipv6 ? "listen=NO\nlisten_ipv6=YES\nlisten_address6="
                 : "listen=YES\nlisten_ipv6=NO\nlisten_address=")
        << opts.address << "\n"
        << "listen_port=" << serverPort << "\n"
        << "background=NO\nlocal_enable=YES\nwrite_enable=YES\nanonymous_enable=NO\n"
        << "local_umask=022\nlocal_root=" << opts.root << "\n"
        << "chroot_local_user=YES\nallow_writeable_chroot=YES\nseccomp_sandbox=NO\n"
        << "secure_chroot_dir=" << emptyDir << "\n"
        << "pasv_enable=YES\nport_enable=YES\nconnect_from_port_20=NO\n"
        << "vsftpd_log_file=" << logFile << "\nlog_ftp_protocol=YES\nxferlog_enable=YES\n"
        << "max_clients=64\nmax_per_ip=64\n";
    if (opts.tls != NoTls) {
        const QString pem = scratch->filePath(QStringLiteral("server.pem"));
        if (!makeCertificate(pem))
            return false;
        out << "ssl_enable=YES\nrsa_cert_file=" << pem << "\nrsa_private_key_file=" << pem
            << "\nforce_local_logins_ssl=YES\nforce_local_data_ssl=YES\n"
            << (opts.tls == ImplicitTls ? "implicit_ssl=YES\n" : "");
    }
    file.close();

    process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->start(QStringLiteral("/usr/sbin/vsftpd"), { conf });
    if (!process->waitForStarted(5000)) {
        lastError = QStringLiteral("cannot start vsftpd");
        return false;
    }
    if (!waitForGreeting(10000)) {
        lastError = QStringLiteral("vsftpd did not answer: ")
            + QString::fromLocal8Bit(process->readAll());
        stop();
        return false;
    }
    return true;
}

// A self-signed certificate, not valid for the server's address either; key
// and certificate in one file, as vsftpd takes them.
bool FtpTestServer::makeCertificate(const QString &pemFile)
{
    const QString key = scratch->filePath(QStringLiteral("key.pem"));
    const QString certificate = scratch->filePath(QStringLiteral("certificate.pem"));
    if (!runQuietly(QStringLiteral("openssl"),
                    { QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                      QStringLiteral("rsa:2048"), QStringLiteral("-nodes"),
                      QStringLiteral("-keyout"), key, QStringLiteral("-out"), certificate,
                      QStringLiteral("-days"), QStringLiteral("30"), QStringLiteral("-subj"),
                      QStringLiteral("/CN=mirvo test server") })) {
        lastError = QStringLiteral("openssl cannot make a certificate");
        return false;
    }
    QFile in(certificate), keyIn(key), out(pemFile);
    if (!in.open(QIODevice::ReadOnly) || !keyIn.open(QIODevice::ReadOnly)
        || !out.open(QIODevice::WriteOnly)) {
        lastError = QStringLiteral("cannot write ") + pemFile;
        return false;
    }
    const QByteArray certificateText = in.readAll();
    out.write(certificateText + keyIn.readAll());
    certificateFingerprint = QString::fromLatin1(
        QSslCertificate(certificateText).digest(QCryptographicHash::Sha256).toHex(':').toUpper());
    return true;
}

bool FtpTestServer::waitForGreeting(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        if (process->state() == QProcess::NotRunning)
            return false;
        QTcpSocket probe;
        probe.connectToHost(opts.address, serverPort);
        // With implicit TLS the greeting is encrypted: an accepting port will do.
        const bool implicit = serverKind == Vsftpd && opts.tls == ImplicitTls;
        if (probe.waitForConnected(500)
            && (implicit || (probe.waitForReadyRead(2000) && probe.readAll().startsWith("220")))) {
            return true;
        }
        QThread::msleep(50);
    }
    return false;
}

void FtpTestServer::stop()
{
    if (process) {
        const qint64 serverPid = process->processId();
        if (serverPid > 0)
            killTree(pid_t(serverPid));
        process->waitForFinished(5000);
        process.reset();
    }
    serverPort = 0;
    certificateFingerprint.clear();
}

QStringList FtpTestServer::commands() const
{
    QStringList lines;
    QFile file(logFile);
    if (!file.open(QIODevice::ReadOnly))
        return lines;
    const QStringList raw = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    if (serverKind == PyFtpdlib) {
        for (const QString &line : raw)
            if (!line.isEmpty())
                lines << line;
        return lines;
    }
    // vsftpd: ... FTP command: Client "127.0.0.1", "USER mirvoftp"
    static const QRegularExpression command(
        QStringLiteral("FTP command: Client \"[^\"]*\", \"(.*)\"$"));
    for (const QString &line : raw) {
        const QRegularExpressionMatch m = command.match(line);
        if (m.hasMatch())
            lines << (m.captured(1).startsWith(QLatin1String("PASS ")) ? QStringLiteral("PASS ****")
                                                                       : m.captured(1));
    }
    return lines;
}

void addServerKindRows()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("pyftpdlib") << int(FtpTestServer::PyFtpdlib);
    QTest::newRow("vsftpd") << int(FtpTestServer::Vsftpd);
}
