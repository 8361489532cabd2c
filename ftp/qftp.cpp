#include "qftp.h"

#include "qftpcommand.h"
#include "qftppi.h"

#include <QIODevice>
#include <QList>
#include <QTimer>
#include <QVariant>

#include <algorithm>
#include <cctype>

using Verb = QFtpLine::Verb;

class QFtpPrivate
{
public:
    explicit QFtpPrivate(QFtp *owner)
        : facade(owner)
    { }
    ~QFtpPrivate() { qDeleteAll(pending); }

    int addCommand(QFtpCommand *command);
    QFtpLine modeLine() const;
    static QFtpLine typeLine(QFtp::TransferType type);
    static QFtpLines putLines(QFtp::TransferType type, const QFtpLine &mode, qint64 size,
                              const QString &file);
    void addAccountToUser(QFtpCommand *command) const;
    bool prepareTransfer(QFtpCommand *command);
    void send(QFtpCommand *command);
    static bool breaksLine(const QFtpCommand *command);
    QString errorTextFor(QFtp::Command kind, const QString &text) const;
    void failHead(int code, const QString &text);

    void startNextCommand();
    void piFinished(const QString &text);
    void piError(int code, const QString &text);
    void piConnectState(int state);
    void piFtpReply(int code, const QString &text);
    bool judgeFinished(QFtpCommand *command);
    void judgeFailed(QFtpCommand *command);
    void readFeatureList(const QString &text);

    QFtpPI interpreter;
    QList<QFtpCommand *> pending;
    bool closeWaitsForState = false;
    QFtp::State state = QFtp::Unconnected;
    QFtp::TransferMode transferMode = QFtp::Passive;
    QFtp::Error lastError = QFtp::NoError;
    QString lastErrorText = QFtp::tr("Unknown error");
    QString host;
    quint16 port = 0;
    QString proxyHost;
    quint16 proxyPort = 0;
    QFtp *facade;
    // The last reply to the head command, and the line it answered.
    QFtp::Reply reply;
    QFtpLine::Verb replyVerb = QFtpLine::Verb::Other;
    QFtp::FileSize fileSize;
    QByteArray remoteSha256; // of the last HASH
    QFtp::RenameOutcome renameOutcome = QFtp::RenameFailed;
    QStringList features; // upper case, as the server listed them
    bool sourceFailed = false; // of the last put
};

namespace {

// The longest reply text a caller gets for its messages.
const int maxReplyTextInMessages = 300;

} // namespace

// ---------------------------------------------------------------------------
// Construction

QFtp::QFtp(QObject *parent)
    : QObject(parent)
    , d(new QFtpPrivate(this))
{
    connect(&d->interpreter, SIGNAL(connectState(int)), this, SLOT(_q_piConnectState(int)));
    connect(&d->interpreter, SIGNAL(finished(QString)), this, SLOT(_q_piFinished(QString)));
    connect(&d->interpreter, SIGNAL(error(int, QString)), this, SLOT(_q_piError(int, QString)));
    connect(&d->interpreter, SIGNAL(rawFtpReply(int, QString)), this,
            SLOT(_q_piFtpReply(int, QString)));
    connect(&d->interpreter, SIGNAL(readyRead()), this, SIGNAL(readyRead()));
    connect(&d->interpreter, SIGNAL(dataTransferProgress(qint64, qint64)), this,
            SIGNAL(dataTransferProgress(qint64, qint64)));
    connect(&d->interpreter, SIGNAL(listInfo(QUrlInfo)), this, SIGNAL(listInfo(QUrlInfo)));
}

QFtp::~QFtp()
{
    abort();
    delete d;
}

// ---------------------------------------------------------------------------
// Queue operations

int QFtpPrivate::addCommand(QFtpCommand *command)
{
    pending.append(command);
    // The first command starts from the event loop, so that its caller has
    // the id before commandStarted() arrives.
    if (pending.size() == 1)
        QTimer::singleShot(0, facade, SLOT(_q_startNextCommand()));
    return command->id;
}

QFtpLine QFtpPrivate::modeLine() const
{
    return QFtpLine(transferMode == QFtp::Passive ? Verb::Pasv : Verb::Port);
}

QFtpLine QFtpPrivate::typeLine(QFtp::TransferType type)
{
    return QFtpLine(Verb::Type, type == QFtp::Binary ? QStringLiteral("I") : QStringLiteral("A"));
}

// An upload's lines; the size (unknown: negative) goes to the server ahead
// in ALLO, which a server may refuse without harm.
QFtpLines QFtpPrivate::putLines(QFtp::TransferType type, const QFtpLine &mode, qint64 size,
                                const QString &file)
{
    QFtpLines lines { typeLine(type), mode };
    if (size >= 0)
        lines << QFtpLine(Verb::Allo, QString::number(size)).tolerateRefusal();
    lines << QFtpLine(Verb::Stor, file);
    return lines;
}

int QFtp::setProxy(const QString &host, quint16 port)
{
    return d->addCommand(new QFtpCommand(SetProxy, host, port));
}

int QFtp::connectToHost(const QString &host, quint16 port)
{
    const int id = d->addCommand(new QFtpCommand(ConnectToHost, host, port));
    d->interpreter.allowExtendedDataCommands();
    return id;
}

int QFtp::login(const QString &user, const QString &password)
{
    const QString name = user.isNull() ? QStringLiteral("anonymous") : user;
    const QString secret = password.isNull() ? QStringLiteral("anonymous@") : password;
    return d->addCommand(
        new QFtpCommand(Login, { QFtpLine(Verb::User, name), QFtpLine(Verb::Pass, secret) }));
}

int QFtp::close()
{
    return d->addCommand(new QFtpCommand(Close, { QFtpLine(Verb::Quit) }));
}

int QFtp::setTransferMode(TransferMode mode)
{
    const int id = d->addCommand(new QFtpCommand(SetTransferMode, QFtpLines()));
    d->interpreter.allowExtendedDataCommands();
    d->transferMode = mode;
    return id;
}

int QFtp::list(const QString &dir)
{
    const QFtpLine listLine = dir.isEmpty() ? QFtpLine(Verb::List) : QFtpLine(Verb::List, dir);
    return d->addCommand(
        new QFtpCommand(List, { QFtpPrivate::typeLine(Ascii), d->modeLine(), listLine }));
}

int QFtp::cd(const QString &dir)
{
    return d->addCommand(new QFtpCommand(Cd, { QFtpLine(Verb::Cwd, dir) }));
}

int QFtp::get(const QString &file, QIODevice *dev, TransferType type)
{
    // A server that cannot tell the size still sends the file.
    return d->addCommand(
        new QFtpCommand(Get,
                        { QFtpPrivate::typeLine(type), QFtpLine(Verb::Size, file).tolerateRefusal(),
                          d->modeLine(), QFtpLine(Verb::Retr, file) },
                        dev));
}

int QFtp::put(const QByteArray &data, const QString &file, TransferType type)
{
    return d->addCommand(
        new QFtpCommand(Put, QFtpPrivate::putLines(type, d->modeLine(), data.size(), file), data));
}

int QFtp::put(QIODevice *dev, const QString &file, TransferType type)
{
    // The size of a sequential device is not known in advance.
    const qint64 size = dev && !dev->isSequential() ? dev->size() : -1;
    return d->addCommand(
        new QFtpCommand(Put, QFtpPrivate::putLines(type, d->modeLine(), size, file), dev));
}

int QFtp::put(std::unique_ptr<QIODevice> dev, const QString &file, TransferType type)
{
    const qint64 size = dev && !dev->isSequential() ? dev->size() : -1;
    QIODevice *device = dev.get();
    return d->addCommand(new QFtpCommand(
        Put, QFtpPrivate::putLines(type, d->modeLine(), size, file), device, std::move(dev)));
}

int QFtp::remove(const QString &file)
{
    return d->addCommand(new QFtpCommand(Remove, { QFtpLine(Verb::Dele, file) }));
}

int QFtp::mkdir(const QString &dir)
{
    return d->addCommand(new QFtpCommand(Mkdir, { QFtpLine(Verb::Mkd, dir) }));
}

int QFtp::rmdir(const QString &dir)
{
    return d->addCommand(new QFtpCommand(Rmdir, { QFtpLine(Verb::Rmd, dir) }));
}

int QFtp::rename(const QString &oldname, const QString &newname)
{
    return d->addCommand(
        new QFtpCommand(Rename, { QFtpLine(Verb::Rnfr, oldname), QFtpLine(Verb::Rnto, newname) }));
}

int QFtp::size(const QString &file, bool binaryFirst)
{
    QFtpLines lines;
    if (binaryFirst)
        lines << QFtpPrivate::typeLine(Binary);
    lines << QFtpLine(Verb::Size, file);
    return d->addCommand(new QFtpCommand(Size, lines));
}

int QFtp::put(std::unique_ptr<QIODevice> dev, const QString &file, qint64 offset, TransferType type)
{
    if (offset <= 0)
        return put(std::move(dev), file, type);
    // Decided now, from what the server listed: REST before STOR is the
    // way meant for resuming; APPE needs nothing listed.
    QFtpLines lines { QFtpPrivate::typeLine(type), d->modeLine() };
    if (hasFeature(QStringLiteral("REST STREAM")))
        lines << QFtpLine(Verb::Rest, QString::number(offset)) << QFtpLine(Verb::Stor, file);
    else
        lines << QFtpLine(Verb::Appe, file);
    QIODevice *device = dev.get();
    auto *command = new QFtpCommand(Put, lines, device, std::move(dev));
    command->offset = offset;
    return d->addCommand(command);
}

int QFtp::readFeatures()
{
    // A server without FEAT has no features to list: not a failure.
    return d->addCommand(new QFtpCommand(Features, { QFtpLine(Verb::Feat).tolerateRefusal() }));
}

int QFtp::setModificationTime(const QString &file, const QDateTime &time)
{
    const QString stamp = time.toUTC().toString(QStringLiteral("yyyyMMddHHmmss"));
    return d->addCommand(
        new QFtpCommand(SetModificationTime, { QFtpLine(Verb::Mfmt, stamp + " " + file) }));
}

// FEAT lists "HASH SHA-1;SHA-256*;MD5": the algorithms, the one in use marked.
bool QFtp::offersSha256() const
{
    for (const QString &listed : d->features) {
        if (!listed.startsWith(QLatin1String("HASH ")))
            continue;
        for (const QString &algorithm : listed.mid(5).split(QLatin1Char(';'))) {
            if (algorithm.trimmed() == QLatin1String("SHA-256")
                || algorithm.trimmed() == QLatin1String("SHA-256*"))
                return true;
        }
    }
    return false;
}

int QFtp::sha256OfFile(const QString &file)
{
    QFtpLines lines;
    bool inUse = false;
    for (const QString &listed : d->features)
        inUse = inUse || (listed.startsWith(QLatin1String("HASH ")) && listed.contains("SHA-256*"));
    if (!inUse)
        lines << QFtpLine(Verb::Opts, QStringLiteral("HASH SHA-256"));
    lines << QFtpLine(Verb::Hash, file);
    return d->addCommand(new QFtpCommand(Hash, lines));
}

QByteArray QFtp::remoteSha256() const
{
    return d->remoteSha256;
}

QFtp::Reply QFtp::lastReply() const
{
    return d->reply;
}

QString QFtp::Reply::toString() const
{
    // One line, of printable characters, and not longer than a log line
    // should be, whatever the server sent.
    QString line = text.simplified();
    for (QChar &c : line) {
        if (!c.isPrint())
            c = QLatin1Char('?');
    }
    if (line.size() > maxReplyTextInMessages)
        line = line.left(maxReplyTextInMessages) + QLatin1String("...");
    return code == 0 ? line : QString::number(code) + QLatin1Char(' ') + line;
}

QFtp::FileSize QFtp::fileSize() const
{
    return d->fileSize;
}

QFtp::RenameOutcome QFtp::renameOutcome() const
{
    return d->renameOutcome;
}

bool QFtp::uploadSourceFailed() const
{
    return d->sourceFailed;
}

bool QFtp::hasFeature(const QString &feature) const
{
    const QString wanted = feature.toUpper();
    for (const QString &listed : d->features) {
        if (listed == wanted || listed.startsWith(wanted + QLatin1Char(' ')))
            return true;
    }
    return false;
}

int QFtp::rawCommand(const QString &command)
{
    // Given as text by the caller; its replies are the caller's as they are.
    return d->addCommand(
        new QFtpCommand(RawCommand, { QFtpLine::fromText(command.trimmed()).markRaw() }));
}

// ---------------------------------------------------------------------------
// Accessors

qint64 QFtp::bytesAvailable() const
{
    return d->interpreter.bytesAvailable();
}

qint64 QFtp::read(char *data, qint64 maxlen)
{
    return d->interpreter.read(data, maxlen);
}

QByteArray QFtp::readAll()
{
    return d->interpreter.readAll();
}

int QFtp::currentId() const
{
    return d->pending.isEmpty() ? 0 : d->pending.first()->id;
}

QIODevice *QFtp::currentDevice() const
{
    return d->pending.isEmpty() ? nullptr : d->pending.first()->device();
}

QFtp::Command QFtp::currentCommand() const
{
    return d->pending.isEmpty() ? None : d->pending.first()->command;
}

bool QFtp::hasPendingCommands() const
{
    return d->pending.size() > 1;
}

void QFtp::clearPendingCommands()
{
    while (d->pending.size() > 1)
        delete d->pending.takeLast();
}

QFtp::State QFtp::state() const
{
    return d->state;
}

QFtp::Error QFtp::error() const
{
    return d->lastError;
}

QString QFtp::errorString() const
{
    return d->lastErrorText;
}

void QFtp::setTlsMode(TlsMode mode)
{
    d->interpreter.setTlsMode(mode);
}

QFtp::TlsMode QFtp::tlsMode() const
{
    return d->interpreter.tlsMode();
}

void QFtp::setPinnedCertificate(const QByteArray &sha256)
{
    d->interpreter.setPinnedCertificate(sha256);
}

QByteArray QFtp::parseFingerprint(const QString &text)
{
    QString hex = text;
    hex.remove(QLatin1Char(':'));
    if (hex.size() != 64)
        return QByteArray();
    const QByteArray digits = hex.toLatin1(); // anything beyond Latin-1 becomes '?'
    for (const char c : digits) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return QByteArray();
    }
    return QByteArray::fromHex(digits);
}

void QFtp::setInactivityTimeout(int milliseconds)
{
    d->interpreter.setInactivityTimeout(milliseconds);
}

int QFtp::inactivityTimeout() const
{
    return d->interpreter.inactivityTimeout();
}

void QFtp::abort()
{
    if (d->pending.isEmpty())
        return;
    clearPendingCommands();
    d->interpreter.abort();
}

// ---------------------------------------------------------------------------
// Running the queue

void QFtp::_q_startNextCommand()
{
    d->startNextCommand();
}

void QFtp::_q_piFinished(const QString &text)
{
    d->piFinished(text);
}

void QFtp::_q_piError(int code, const QString &text)
{
    d->piError(code, text);
}

void QFtp::_q_piConnectState(int state)
{
    d->piConnectState(state);
}

void QFtp::_q_piFtpReply(int code, const QString &text)
{
    d->piFtpReply(code, text);
}

void QFtpPrivate::startNextCommand()
{
    if (pending.isEmpty())
        return;
    QFtpCommand *command = pending.first();

    lastError = QFtp::NoError;
    lastErrorText = QStringLiteral("Unknown error");
    reply = QFtp::Reply();
    replyVerb = QFtpLine::Verb::Other;
    sourceFailed = false;
    // A size or digest known from an earlier command is not this one's.
    if (command->command == QFtp::Size)
        fileSize = QFtp::FileSize();
    if (command->command == QFtp::Hash)
        remoteSha256.clear();

    // Data of an earlier download that nobody read is not this command's.
    if (interpreter.bytesAvailable() != 0)
        interpreter.readAll();

    emit facade->commandStarted(command->id);

    if (command->command == QFtp::Login) {
        addAccountToUser(command);
        if (interpreter.tlsMode() != QFtp::NoTls) {
            // Data connections are protected too; the buffer size is always
            // 0 over TLS.
            command->lines << QFtpLine(Verb::Pbsz, QStringLiteral("0"))
                           << QFtpLine(Verb::Prot, QStringLiteral("P"));
        }
    }

    // A line break inside a name would end the line early and send the rest
    // as a command of its own: such a command fails before a byte is sent.
    if (breaksLine(command)) {
        failHead(QFtp::UnknownError,
                 QFtp::tr("The command holds a line break or NUL character; nothing was sent"));
        return;
    }

    switch (command->command) {
    case QFtp::SetTransferMode:
        piFinished(QStringLiteral("Transfer mode set"));
        return;
    case QFtp::SetProxy:
        proxyHost = command->host;
        proxyPort = command->port;
        piFinished(QLatin1String("Proxy set to ") + proxyHost + QLatin1Char(':')
                   + QString::number(proxyPort));
        return;
    case QFtp::ConnectToHost:
        features.clear(); // another server, perhaps
        interpreter.setProperty(QFtpGlobal::networkSessionProperty,
                                facade->property(QFtpGlobal::networkSessionProperty));
        if (!proxyHost.isEmpty()) {
            host = command->host;
            port = command->port;
            interpreter.connectToHost(proxyHost, proxyPort);
        } else {
            interpreter.connectToHost(command->host, command->port);
        }
        return;
    case QFtp::Close:
        state = QFtp::Closing;
        emit facade->stateChanged(state);
        break;
    case QFtp::Get:
    case QFtp::Put:
        if (!prepareTransfer(command))
            return;
        break;
    default:
        break;
    }
    send(command);
}

// Through a proxy, the user logs in as user@host[:port] of the real server.
void QFtpPrivate::addAccountToUser(QFtpCommand *command) const
{
    if (proxyHost.isEmpty() || command->lines.isEmpty())
        return;
    QString user = command->lines.first().argument();
    while (!user.isEmpty() && user.back().isSpace())
        user.chop(1);
    user += QLatin1Char('@') + host;
    if (port != 21 && port != 0)
        user += QLatin1Char(':') + QString::number(port);
    command->lines.first().setArgument(user);
}

bool QFtpPrivate::prepareTransfer(QFtpCommand *command)
{
    if (command->command == QFtp::Get) {
        if (QIODevice *device = command->device())
            interpreter.setDownloadTarget(device);
        return true;
    }
    if (const QByteArray *bytes = command->bytes()) {
        interpreter.setUploadSource(bytes);
        interpreter.setTotalBytes(bytes->size());
        return true;
    }
    QIODevice *device = command->device();
    if (!device || (!device->isOpen() && !device->open(QIODevice::ReadOnly))) {
        sourceFailed = true;
        // Sending STOR anyway would leave the server waiting for data that
        // never comes, or store an empty file as if all went well.
        piError(QFtp::UnknownError,
                QFtp::tr("Cannot read the data to upload: %1")
                    .arg(device ? device->errorString() : QFtp::tr("no device")));
        return false;
    }
    if (command->offset > 0 && !device->seek(command->offset)) {
        sourceFailed = true;
        piError(QFtp::UnknownError,
                QFtp::tr("Cannot read the data to upload: %1").arg(device->errorString()));
        return false;
    }
    interpreter.setUploadSource(device);
    interpreter.setTotalBytes(device->isSequential() ? 0 : device->size() - command->offset);
    return true;
}

void QFtpPrivate::send(QFtpCommand *command)
{
    // The interpreter refuses a list while lines of an earlier one are still
    // unsent: the command then fails like any command the interpreter could
    // not take, instead of waiting forever.
    if (!interpreter.sendLines(command->lines))
        piError(QFtp::NotConnected, QFtp::tr("Not connected"));
}

bool QFtpPrivate::breaksLine(const QFtpCommand *command)
{
    for (const QFtpLine &line : command->lines) {
        if (line.breaksLine())
            return true;
    }
    return false;
}

void QFtpPrivate::piFinished(const QString &)
{
    if (pending.isEmpty())
        return;
    QFtpCommand *command = pending.first();
    if (command->command == QFtp::Close && state != QFtp::Unconnected) {
        closeWaitsForState = true; // finished by the next connection-state report
        return;
    }
    if (!judgeFinished(command))
        return;
    emit facade->commandFinished(command->id, false);
    pending.removeOne(command);
    delete command;
    if (pending.isEmpty())
        emit facade->done(false);
    else
        startNextCommand();
}

QString QFtpPrivate::errorTextFor(QFtp::Command kind, const QString &text) const
{
    switch (kind) {
    case QFtp::ConnectToHost:
        return QStringLiteral("Connecting to host failed:\n%1").arg(text);
    case QFtp::Login:
        return QStringLiteral("Login failed:\n%1").arg(text);
    case QFtp::List:
        return QStringLiteral("Listing directory failed:\n%1").arg(text);
    case QFtp::Cd:
        return QStringLiteral("Changing directory failed:\n%1").arg(text);
    case QFtp::Get:
        return QStringLiteral("Downloading file failed:\n%1").arg(text);
    case QFtp::Put:
        return QStringLiteral("Uploading file failed:\n%1").arg(text);
    case QFtp::Remove:
        return QStringLiteral("Removing file failed:\n%1").arg(text);
    case QFtp::Mkdir:
        return QStringLiteral("Creating directory failed:\n%1").arg(text);
    case QFtp::Rmdir:
        return QStringLiteral("Removing directory failed:\n%1").arg(text);
    default:
        return text;
    }
}

void QFtpPrivate::piError(int code, const QString &text)
{
    if (pending.isEmpty()) {
        qWarning("QFtpPrivate::_q_piError was called without pending command!");
        return;
    }
    interpreter.clearPendingCommands();
    failHead(code, text);
}

// Ends the head command with an error and drops every command behind it.
void QFtpPrivate::failHead(int code, const QString &text)
{
    QFtpCommand *command = pending.first();
    lastError = QFtp::Error(code);
    lastErrorText = errorTextFor(command->command, text);
    judgeFailed(command);

    facade->clearPendingCommands();
    emit facade->commandFinished(command->id, true);
    pending.removeOne(command);
    delete command;
    if (pending.isEmpty())
        emit facade->done(true);
    else
        startNextCommand(); // queued from a commandFinished() slot
}

void QFtpPrivate::piConnectState(int newState)
{
    state = QFtp::State(newState);
    emit facade->stateChanged(newState);
    if (closeWaitsForState) {
        closeWaitsForState = false;
        piFinished(QStringLiteral("Connection closed"));
    }
}

void QFtpPrivate::piFtpReply(int code, const QString &text)
{
    reply = QFtp::Reply { code, text };
    replyVerb = interpreter.currentVerb();
    if (replyVerb == Verb::Feat && code == 211)
        readFeatureList(text);
    if (facade->currentCommand() == QFtp::RawCommand)
        emit facade->rawCommandReply(code, text);
}

// "Features:", then one feature a line, each after a space, then "End".
void QFtpPrivate::readFeatureList(const QString &text)
{
    features.clear();
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1Char(' ')))
            features << line.trimmed().toUpper();
    }
}

// The typed outcome of a command the interpreter finished; false when the
// reply does not give what the command asks for, and it failed instead.
bool QFtpPrivate::judgeFinished(QFtpCommand *command)
{
    if (command->command == QFtp::Rename) {
        renameOutcome = QFtp::Renamed;
    } else if (command->command == QFtp::Size) {
        bool isNumber = false;
        const qint64 bytes
            = reply.text.simplified().section(QLatin1Char(' '), 0, 0).toLongLong(&isNumber);
        if (reply.code != 213 || !isNumber || bytes < 0) {
            fileSize = QFtp::FileSize();
            failHead(QFtp::UnknownError, QFtp::Reply(reply).toString());
            return false;
        }
        fileSize = QFtp::FileSize { QFtp::SizeKnown, bytes };
    } else if (command->command == QFtp::Hash && replyVerb == Verb::Hash) {
        // "213 SHA-256 0-1234 <hex digest> <name>"
        const QStringList fields = reply.text.simplified().split(QLatin1Char(' '));
        const QByteArray digest = fields.value(2).toLatin1().toLower();
        const bool hex = digest.size() == 64
            && std::all_of(digest.begin(), digest.end(),
                           [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
        if (reply.code != 213 || fields.value(0).toUpper() != QLatin1String("SHA-256") || !hex) {
            failHead(QFtp::UnknownError, QFtp::Reply(reply).toString());
            return false;
        }
        remoteSha256 = digest;
    }
    return true;
}

void QFtpPrivate::judgeFailed(QFtpCommand *command)
{
    if (command->command == QFtp::Put)
        sourceFailed = sourceFailed || interpreter.uploadSourceFailed();
    const bool refused = reply.code >= 400;
    if (command->command == QFtp::Rename) {
        if (refused && replyVerb == Verb::Rnfr)
            renameOutcome = QFtp::FromRefused;
        else if (refused && replyVerb == Verb::Rnto)
            renameOutcome = QFtp::ToRefused;
        else
            renameOutcome = QFtp::RenameFailed;
    } else if (command->command == QFtp::Size && fileSize.outcome != QFtp::SizeKnown) {
        fileSize = QFtp::FileSize();
        if (refused && replyVerb == Verb::Size) {
            if (reply.code == 550)
                fileSize.outcome = QFtp::NoSuchFile;
            else if (reply.code == 500 || reply.code == 501 || reply.code == 502
                     || reply.code == 504)
                fileSize.outcome = QFtp::SizeNotSupported;
        }
    }
}
