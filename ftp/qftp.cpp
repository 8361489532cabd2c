#include "qftp.h"

#include "qftpcommand.h"
#include "qftppi.h"

#include <QIODevice>
#include <QList>
#include <QTimer>
#include <QVariant>

class QFtpPrivate
{
public:
    explicit QFtpPrivate(QFtp *owner)
        : facade(owner)
    { }
    ~QFtpPrivate() { qDeleteAll(pending); }

    int addCommand(QFtpCommand *command);
    QString modeLine() const;
    static QString typeLine(QFtp::TransferType type);
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
};

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
    QFtpDTP *dataProcess = &d->interpreter.dataProcess;
    connect(dataProcess, SIGNAL(readyRead()), this, SIGNAL(readyRead()));
    connect(dataProcess, SIGNAL(dataTransferProgress(qint64, qint64)), this,
            SIGNAL(dataTransferProgress(qint64, qint64)));
    connect(dataProcess, SIGNAL(listInfo(QUrlInfo)), this, SIGNAL(listInfo(QUrlInfo)));
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

QString QFtpPrivate::modeLine() const
{
    return transferMode == QFtp::Passive ? QStringLiteral("PASV") : QStringLiteral("PORT");
}

QString QFtpPrivate::typeLine(QFtp::TransferType type)
{
    return type == QFtp::Binary ? QStringLiteral("TYPE I") : QStringLiteral("TYPE A");
}

int QFtp::setProxy(const QString &host, quint16 port)
{
    return d->addCommand(new QFtpCommand(SetProxy, { host, QString::number(port) }));
}

int QFtp::connectToHost(const QString &host, quint16 port)
{
    const int id = d->addCommand(new QFtpCommand(ConnectToHost, { host, QString::number(port) }));
    d->interpreter.allowExtendedDataCommands();
    return id;
}

int QFtp::login(const QString &user, const QString &password)
{
    const QString name = user.isNull() ? QStringLiteral("anonymous") : user;
    const QString secret = password.isNull() ? QStringLiteral("anonymous@") : password;
    return d->addCommand(
        new QFtpCommand(Login, { QLatin1String("USER ") + name, QLatin1String("PASS ") + secret }));
}

int QFtp::close()
{
    return d->addCommand(new QFtpCommand(Close, { QStringLiteral("QUIT") }));
}

int QFtp::setTransferMode(TransferMode mode)
{
    const int id = d->addCommand(new QFtpCommand(SetTransferMode, {}));
    d->interpreter.allowExtendedDataCommands();
    d->transferMode = mode;
    return id;
}

int QFtp::list(const QString &dir)
{
    const QString listLine = dir.isEmpty() ? QStringLiteral("LIST") : QLatin1String("LIST ") + dir;
    return d->addCommand(
        new QFtpCommand(List, { QStringLiteral("TYPE A"), d->modeLine(), listLine }));
}

int QFtp::cd(const QString &dir)
{
    return d->addCommand(new QFtpCommand(Cd, { QLatin1String("CWD ") + dir }));
}

int QFtp::get(const QString &file, QIODevice *dev, TransferType type)
{
    return d->addCommand(
        new QFtpCommand(Get,
                        { QFtpPrivate::typeLine(type), QLatin1String("SIZE ") + file, d->modeLine(),
                          QLatin1String("RETR ") + file },
                        dev));
}

int QFtp::put(const QByteArray &data, const QString &file, TransferType type)
{
    return d->addCommand(new QFtpCommand(Put,
                                         { QFtpPrivate::typeLine(type), d->modeLine(),
                                           QLatin1String("ALLO ") + QString::number(data.size()),
                                           QLatin1String("STOR ") + file },
                                         data));
}

int QFtp::put(QIODevice *dev, const QString &file, TransferType type)
{
    QStringList lines { QFtpPrivate::typeLine(type), d->modeLine() };
    // The size of a sequential device is not known in advance.
    if (dev && !dev->isSequential())
        lines << QLatin1String("ALLO ") + QString::number(dev->size());
    lines << QLatin1String("STOR ") + file;
    return d->addCommand(new QFtpCommand(Put, lines, dev));
}

int QFtp::remove(const QString &file)
{
    return d->addCommand(new QFtpCommand(Remove, { QLatin1String("DELE ") + file }));
}

int QFtp::mkdir(const QString &dir)
{
    return d->addCommand(new QFtpCommand(Mkdir, { QLatin1String("MKD ") + dir }));
}

int QFtp::rmdir(const QString &dir)
{
    return d->addCommand(new QFtpCommand(Rmdir, { QLatin1String("RMD ") + dir }));
}

int QFtp::rename(const QString &oldname, const QString &newname)
{
    return d->addCommand(new QFtpCommand(
        Rename, { QLatin1String("RNFR ") + oldname, QLatin1String("RNTO ") + newname }));
}

int QFtp::rawCommand(const QString &command)
{
    return d->addCommand(new QFtpCommand(RawCommand, { command.trimmed() }));
}

// ---------------------------------------------------------------------------
// Accessors

qint64 QFtp::bytesAvailable() const
{
    return d->interpreter.dataProcess.bytesAvailable();
}

qint64 QFtp::read(char *data, qint64 maxlen)
{
    return d->interpreter.dataProcess.read(data, maxlen);
}

QByteArray QFtp::readAll()
{
    return d->interpreter.dataProcess.readAll();
}

int QFtp::currentId() const
{
    return d->pending.isEmpty() ? 0 : d->pending.first()->id;
}

QIODevice *QFtp::currentDevice() const
{
    if (d->pending.isEmpty())
        return nullptr;
    const QFtpCommand *head = d->pending.first();
    return head->dataIsBuffer ? nullptr : head->dataDevice;
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

static_assert(int(QFtp::NoTls) == int(QFtpTls::NoTls)
                  && int(QFtp::ExplicitTls) == int(QFtpTls::ExplicitTls)
                  && int(QFtp::ImplicitTls) == int(QFtpTls::ImplicitTls),
              "the facade's TLS modes are the interpreter's");

void QFtp::setTlsMode(TlsMode mode)
{
    d->interpreter.tls.setMode(QFtpTls::Mode(mode));
}

QFtp::TlsMode QFtp::tlsMode() const
{
    return TlsMode(d->interpreter.tls.mode());
}

void QFtp::setPinnedCertificate(const QByteArray &sha256)
{
    d->interpreter.tls.setPinnedFingerprint(sha256);
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

    // Data of an earlier download that nobody read is not this command's.
    if (interpreter.dataProcess.bytesAvailable() != 0)
        interpreter.dataProcess.readAll();

    emit facade->commandStarted(command->id);

    if (command->command == QFtp::Login && !proxyHost.isEmpty()) {
        QString user = command->rawCommands.first().trimmed() + QLatin1Char('@') + host;
        if (port != 21 && port != 0)
            user += QLatin1Char(':') + QString::number(port);
        command->rawCommands[0] = user;
    }
    if (command->command == QFtp::Login && interpreter.tls.enabled()) {
        // Data connections are protected too; the buffer size is always 0
        // over TLS.
        command->rawCommands << QStringLiteral("PBSZ 0") << QStringLiteral("PROT P");
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
        proxyHost = command->rawCommands.at(0);
        proxyPort = quint16(command->rawCommands.at(1).toUInt());
        command->rawCommands.clear();
        piFinished(QLatin1String("Proxy set to ") + proxyHost + QLatin1Char(':')
                   + QString::number(proxyPort));
        return;
    case QFtp::ConnectToHost:
        interpreter.setProperty(QFtpGlobal::networkSessionProperty,
                                facade->property(QFtpGlobal::networkSessionProperty));
        if (!proxyHost.isEmpty()) {
            host = command->rawCommands.at(0);
            port = quint16(command->rawCommands.at(1).toUInt());
            interpreter.connectToHost(proxyHost, proxyPort);
        } else {
            interpreter.connectToHost(command->rawCommands.at(0),
                                      quint16(command->rawCommands.at(1).toUInt()));
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

bool QFtpPrivate::prepareTransfer(QFtpCommand *command)
{
    QFtpDTP &dataProcess = interpreter.dataProcess;
    if (command->command == QFtp::Get) {
        if (!command->dataIsBuffer && command->dataDevice)
            dataProcess.setTargetDevice(command->dataDevice);
        return true;
    }
    if (command->dataIsBuffer) {
        dataProcess.setTargetBuffer(command->dataBuffer);
        dataProcess.setTotalBytes(command->dataBuffer->size());
        return true;
    }
    QIODevice *device = command->dataDevice;
    if (!device || (!device->isOpen() && !device->open(QIODevice::ReadOnly))) {
        // Sending STOR anyway would leave the server waiting for data that
        // never comes, or store an empty file as if all went well.
        piError(QFtp::UnknownError,
                QFtp::tr("Cannot read the data to upload: %1")
                    .arg(device ? device->errorString() : QFtp::tr("no device")));
        return false;
    }
    dataProcess.setTargetDevice(device);
    if (device->isSequential()) {
        dataProcess.setTotalBytes(0);
        QObject::connect(device, SIGNAL(readyRead()), &dataProcess, SLOT(dataReadyRead()),
                         Qt::UniqueConnection);
        QObject::connect(device, SIGNAL(readChannelFinished()), &dataProcess, SLOT(dataReadyRead()),
                         Qt::UniqueConnection);
    } else {
        dataProcess.setTotalBytes(device->size());
    }
    return true;
}

void QFtpPrivate::send(QFtpCommand *command)
{
    // The interpreter refuses a list while lines of an earlier one are still
    // unsent: the command then fails like any command the interpreter could
    // not take, instead of waiting forever.
    if (!interpreter.sendCommands(command->rawCommands))
        piError(QFtp::NotConnected, QFtp::tr("Not connected"));
}

bool QFtpPrivate::breaksLine(const QFtpCommand *command)
{
    switch (command->command) {
    case QFtp::SetTransferMode:
    case QFtp::SetProxy:
    case QFtp::ConnectToHost:
        return false; // parameters, not lines
    default:
        break;
    }
    for (const QString &line : command->rawCommands) {
        if (line.contains(QLatin1Char('\r')) || line.contains(QLatin1Char('\n'))
            || line.contains(QChar()))
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
    QFtpCommand *command = pending.first();

    // A refused SIZE or ALLO does not end a transfer.
    const QFtpPI::Verb verb = interpreter.currentVerb();
    if (command->command == QFtp::Get && verb == QFtpPI::Size) {
        interpreter.dataProcess.setTotalBytes(0);
        return;
    }
    if (command->command == QFtp::Put && verb == QFtpPI::Allo)
        return;

    interpreter.clearPendingCommands();
    failHead(code, text);
}

// Ends the head command with an error and drops every command behind it.
void QFtpPrivate::failHead(int code, const QString &text)
{
    QFtpCommand *command = pending.first();
    lastError = QFtp::Error(code);
    lastErrorText = errorTextFor(command->command, text);

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
    if (facade->currentCommand() == QFtp::RawCommand) {
        interpreter.rawCommandActive = true;
        emit facade->rawCommandReply(code, text);
    }
}
