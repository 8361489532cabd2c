#include "qftpdtp.h"

#include "qftppi.h"

#include <QDate>
#include <QIODevice>
#include <QLocale>
#include <QRegExp>
#include <QSslSocket>
#include <QStringList>
#include <QTextCodec>
#include <QTime>

#include <cstring>

namespace {
const char networkSessionProperty[] = "_q_networksession";
const int utf8Mib = 106;
} // namespace

QFtpDTP::QFtpDTP(QFtpPI *interpreter)
    : activeListener(this)
    , ownerInterpreter(interpreter)
    , targetBuffer(nullptr)
{
    activeListener.setObjectName(QStringLiteral("QFtpDTP active state server"));
    connect(&activeListener, &QTcpServer::newConnection, this, &QFtpDTP::setupSocket);
}

QFtpDTP::~QFtpDTP()
{
    // Sockets still open would report their close while this object is half
    // destroyed: cut them off first.
    const QList<QTcpSocket *> sockets = findChildren<QTcpSocket *>();
    for (QTcpSocket *socket : sockets)
        socket->disconnect(this);
}

void QFtpDTP::setTargetBuffer(QByteArray *buffer)
{
    targetIsBuffer = true;
    targetBuffer = buffer;
    uploadStarted = false;
    bufferOffset = 0;
    uploadUnsent = 0;
    uploadCutShort = false;
}

void QFtpDTP::setTargetDevice(QIODevice *device)
{
    targetIsBuffer = false;
    targetDevice = device;
    uploadStarted = false;
    bufferOffset = 0;
    uploadUnsent = 0;
    uploadCutShort = false;
}

void QFtpDTP::clearTarget()
{
    targetIsBuffer = false;
    targetDevice = nullptr;
    uploadStarted = false;
    bufferOffset = 0;
}

void QFtpDTP::setTotalBytes(qint64 total)
{
    totalBytes = total;
    transferredBytes = 0;
    emit dataTransferProgress(0, totalBytes);
}

void QFtpDTP::connectToDataPort(const QString &host, quint16 port)
{
    residualData.clear();
    if (dataSocket) {
        retireSocket(dataSocket);
        dataSocket = nullptr;
    }
    uploadStarted = false;

    dataSocket = ownerInterpreter->tls.createDataSocket(this);
    dataSocket->setProperty(networkSessionProperty, property(networkSessionProperty));
    dataSocket->setObjectName(QStringLiteral("QFtpDTP Passive state socket"));
    dataSocket->setReadBufferSize(listReadBufferSize);
    connectSocketSignals(dataSocket);
    passiveConnecting = true;
    ownerInterpreter->tls.connectDataSocket(dataSocket, host, port);
}

int QFtpDTP::openListener(const QHostAddress &address)
{
    activeListener.setProperty(networkSessionProperty, property(networkSessionProperty));
    activeListener.setEncrypting(ownerInterpreter->tls.enabled());
    if (!activeListener.isListening() && !activeListener.listen(address, 0))
        return -1;
    return activeListener.serverPort();
}

void QFtpDTP::acceptPendingConnection()
{
    // A connection that is already pending is taken at once; nothing waits.
    if (activeListener.isListening())
        activeListener.waitForNewConnection(0);
}

QAbstractSocket::SocketState QFtpDTP::dataConnectionState() const
{
    return dataSocket ? dataSocket->state() : QAbstractSocket::UnconnectedState;
}

qint64 QFtpDTP::bytesAvailable() const
{
    if (dataSocket && dataSocket->state() == QAbstractSocket::ConnectedState)
        return dataSocket->bytesAvailable();
    return residualData.size();
}

qint64 QFtpDTP::read(char *data, qint64 maxLength)
{
    qint64 count = 0;
    if (dataSocket && dataSocket->state() == QAbstractSocket::ConnectedState) {
        count = dataSocket->read(data, maxLength);
    } else if (maxLength > 0) {
        count = qMin<qint64>(maxLength, residualData.size());
        std::memcpy(data, residualData.constData(), size_t(count));
        residualData.remove(0, int(count));
    }
    if (count > 0)
        transferredBytes += count;
    return count;
}

QByteArray QFtpDTP::readAll()
{
    if (dataSocket && dataSocket->state() == QAbstractSocket::ConnectedState) {
        const QByteArray data = dataSocket->readAll();
        transferredBytes += data.size();
        return data;
    }
    QByteArray data;
    data.swap(residualData);
    return data;
}

bool QFtpDTP::uploadCanWrite() const
{
    return dataSocket && dataSocket->state() == QAbstractSocket::ConnectedState;
}

void QFtpDTP::writeNextChunk()
{
    const bool hasTarget = targetIsBuffer || targetDevice;
    if (hasTarget)
        uploadStarted = true;
    // In active mode the server's connection may only come after its reply
    // to STOR; setupSocket() resumes the upload then.
    if (!uploadCanWrite())
        return;
    QTcpSocket *socket = dataSocket;

    if (targetIsBuffer) {
        writeNextSlice(socket);
        return;
    }
    if (!targetDevice)
        return;

    continueWriting = false;
    char chunk[uploadChunkSize];
    const qint64 count = targetDevice->read(chunk, uploadChunkSize);
    if (count > 0) {
        uploadUnsent += qMax<qint64>(0, socket->write(chunk, count));
    } else if (count < 0 && !targetDevice->isSequential()) {
        // A file that fails part way must not reach the server as if whole.
        failUpload();
        return;
    } else if (count < 0 || (!targetDevice->isSequential() && targetDevice->atEnd())) {
        // A sequential device says it has no more data with -1.
        finishUpload();
        return;
    }
    // Nothing to send right now from a sequential device: its readyRead or
    // readChannelFinished calls dataReadyRead() later.
    continueWriting = targetDevice != nullptr;
}

void QFtpDTP::writeNextSlice(QTcpSocket *socket)
{
    // The buffer goes out in slices paced like a device upload: handing it
    // to the socket in one write would copy all of it into the socket's own
    // buffer, doubling the memory of a large upload.
    continueWriting = false;
    const qint64 left = targetBuffer->size() - bufferOffset;
    if (left > 0) {
        const qint64 count = qMin(left, uploadChunkSize);
        uploadUnsent
            += qMax<qint64>(0, socket->write(targetBuffer->constData() + bufferOffset, count));
        bufferOffset += count;
        continueWriting = true;
        return;
    }
    if (targetBuffer->isEmpty())
        emit dataTransferProgress(0, totalBytes);
    // The target goes before the close: closing may report DataClosed at
    // once, and the next command may already set a new target from there.
    clearTarget();
    QFtpTls::closeDataSocket(socket);
}

void QFtpDTP::finishUpload()
{
    QTcpSocket *socket = dataSocket;
    if (transferredBytes == 0 && socket->bytesToWrite() == 0)
        emit dataTransferProgress(0, totalBytes);
    clearTarget();
    continueWriting = false;
    QFtpTls::closeDataSocket(socket);
}

// The upload still has bytes to go: its source is not exhausted, or the
// socket has not written everything it was handed.
bool QFtpDTP::uploadIncomplete() const
{
    return (uploadStarted && (targetIsBuffer || targetDevice)) || uploadUnsent > 0;
}

// Nothing more of the upload goes out, and it counts as failed.
void QFtpDTP::cutUploadShort()
{
    uploadCutShort = true;
    uploadUnsent = 0;
    continueWriting = false;
    clearTarget();
}

void QFtpDTP::failUpload()
{
    cutUploadShort();
    // Cut off rather than closed: a server that sees a plain close takes
    // the file as complete.
    if (dataSocket)
        dataSocket->abort();
}

void QFtpDTP::abortDataConnection()
{
    continueWriting = false;
    uploadUnsent = 0;
    clearTarget();
    if (dataSocket)
        dataSocket->abort();
}

void QFtpDTP::dataReadyRead()
{
    // A sequential source may offer data before this transfer's connection
    // stands and the server has accepted STOR: it waits in the device.
    if (uploadStarted)
        writeNextChunk();
}

void QFtpDTP::connectSocketSignals(QTcpSocket *socket)
{
    connect(socket, &QTcpSocket::connected, this, &QFtpDTP::socketConnected);
    connect(socket, &QTcpSocket::readyRead, this, &QFtpDTP::socketReadyRead);
    connect(socket, QOverload<QAbstractSocket::SocketError>::of(&QAbstractSocket::error), this,
            &QFtpDTP::socketError);
    connect(socket, &QTcpSocket::disconnected, this, &QFtpDTP::socketConnectionClosed);
    connect(socket, &QTcpSocket::bytesWritten, this, &QFtpDTP::socketBytesWritten);
    if (auto *secure = qobject_cast<QSslSocket *>(socket))
        connect(secure, &QSslSocket::encryptedBytesWritten, this, &QFtpDTP::resumeUpload);
}

void QFtpDTP::retireSocket(QTcpSocket *socket)
{
    // The socket may be the one whose signal is being delivered further up
    // the stack: silence it now and free it from the event loop.
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
}

void QFtpDTP::noteActivity()
{
    if (ownerInterpreter)
        ownerInterpreter->noteTraffic();
}

void QFtpDTP::setupSocket()
{
    QTcpSocket *socket = activeListener.nextPendingConnection();
    if (!socket)
        return;
    // Each accepted socket is freed when the next one comes, instead of
    // piling up under the listener for the life of the client.
    if (dataSocket)
        retireSocket(dataSocket);
    dataSocket = socket;
    dataSocket->setObjectName(QStringLiteral("QFtpDTP Active state socket"));
    dataSocket->setReadBufferSize(listReadBufferSize);
    connectSocketSignals(dataSocket);
    activeListener.close();
    noteActivity();
    ownerInterpreter->tls.startDataEncryption(dataSocket);

    if (uploadStarted)
        writeNextChunk();
}

void QFtpDTP::socketConnected()
{
    passiveConnecting = false;
    transferredBytes = 0;
    noteActivity();
    emit connectState(DataConnected);
}

void QFtpDTP::socketReadyRead()
{
    if (!dataSocket)
        return;

    const QString command = ownerInterpreter ? ownerInterpreter->currentCommand() : QString();
    if (command.isEmpty()) {
        dataSocket->close();
        emit connectState(DataClosed);
        return;
    }
    // Data after ABOR, or sent against the direction of an upload, is
    // nobody's: it is dropped, and it is no sign of a transfer going on.
    if ((ownerInterpreter && ownerInterpreter->abortState == QFtpPI::AbortSent)
        || command.startsWith(QLatin1String("STOR"))) {
        dataSocket->readAll();
        return;
    }
    noteActivity();
    if (command.startsWith(QLatin1String("LIST"))) {
        readListing();
        return;
    }
    dataSocket->setReadBufferSize(0); // downloads stream; their reader takes all there is
    if (!targetIsBuffer && targetDevice) {
        readIntoDevice();
    } else {
        emit dataTransferProgress(transferredBytes + dataSocket->bytesAvailable(), totalBytes);
        emit readyRead();
    }
}

void QFtpDTP::readListing()
{
    while (dataSocket && dataSocket->canReadLine()) {
        QUrlInfo entry;
        const QByteArray line = dataSocket->readLine(maxListLineLength + 1);
        if (!line.endsWith('\n'))
            break; // longer than the limit: handled below
        if (!line.isEmpty() && parseListLine(line, QString(), &entry))
            emit listInfo(entry);
        else if (line.endsWith("No such file or directory\r\n"))
            errorText = textFromWire(line);
    }
    if (dataSocket && !dataSocket->canReadLine()
        && dataSocket->bytesAvailable() <= maxListLineLength) {
        return; // an incomplete line waits for more data
    }
    if (!dataSocket)
        return;
    errorText
        = tr("Listing line longer than %1 bytes, data connection closed").arg(maxListLineLength);
    dataSocket->abort();
}

void QFtpDTP::readIntoDevice()
{
    while (dataSocket && dataSocket->bytesAvailable() > 0) {
        QByteArray block(int(dataSocket->bytesAvailable()), Qt::Uninitialized);
        const qint64 count = dataSocket->read(block.data(), block.size());
        if (count <= 0)
            return;
        block.resize(int(count));
        transferredBytes += count;
        if (!targetIsBuffer && targetDevice)
            targetDevice->write(block);
        emit dataTransferProgress(transferredBytes, totalBytes);
    }
}

void QFtpDTP::socketError(QAbstractSocket::SocketError error)
{
    const bool wasConnecting = passiveConnecting && sender() == dataSocket;
    if (error == QAbstractSocket::SslHandshakeFailedError && sender() == dataSocket) {
        // Even a server that reports success has not got the data.
        errorText = tr("TLS on the data connection failed: %1").arg(dataSocket->errorString());
    }
    if (error == QAbstractSocket::HostNotFoundError) {
        passiveConnecting = false;
        emit connectState(DataHostNotFound);
    } else if (error == QAbstractSocket::ConnectionRefusedError) {
        passiveConnecting = false;
        emit connectState(DataConnectionRefused);
    } else if (wasConnecting && dataSocket->state() == QAbstractSocket::UnconnectedState) {
        // Any other failure of a passive connect attempt (unreachable
        // network, timeout) is a refused data connection too, so that the
        // interpreter does not wait for a connection that never comes.
        passiveConnecting = false;
        emit connectState(DataConnectionRefused);
    } else if (sender() == dataSocket && uploadIncomplete()) {
        cutUploadShort(); // the close that follows ends the transfer
    }
}

void QFtpDTP::socketConnectionClosed()
{
    // Whichever side closed, an upload with bytes still to go is truncated.
    if (uploadIncomplete())
        cutUploadShort();
    if (!targetIsBuffer && targetDevice)
        clearTarget();
    // What the peer sent before closing stays readable; after a close from
    // this side there is nothing left to keep.
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (socket && socket->isReadable())
        residualData = socket->readAll();
    emit connectState(DataClosed);
}

void QFtpDTP::socketBytesWritten(qint64 bytes)
{
    transferredBytes += bytes;
    uploadUnsent = qMax<qint64>(0, uploadUnsent - bytes);
    noteActivity();
    emit dataTransferProgress(transferredBytes, totalBytes);
    if (continueWriting && !QFtpTls::sendBacklogged(dataSocket))
        writeNextChunk();
}

void QFtpDTP::resumeUpload()
{
    noteActivity();
    if (continueWriting && !QFtpTls::sendBacklogged(dataSocket))
        writeNextChunk();
}

// ---------------------------------------------------------------------------
// The LIST parser: one line of a directory listing in the Unix long layout
// ("ls -l") or the DOS/Windows layout becomes one QUrlInfo entry.

namespace {

// Unix: type, nine permission letters, link count, owner, group, size, a
// three-word date and the name (for a link: "name -> target").
const char unixLayout[] = "^([\\-dl])([a-zA-Z\\-]{9,9})\\s+\\d+\\s+(\\S*)\\s+(\\S*)\\s+(\\d+)\\s+"
                          "(\\S+\\s+\\S+\\s+\\S+)\\s+(\\S.*)";

// DOS: "MM-dd-yy  hh:mmAP", then "<DIR>" or the size, then the name.
const char dosLayout[]
    = "^(\\d\\d-\\d\\d-\\d\\d\\d?\\d?\\ \\ \\d\\d:\\d\\d[AP]M)\\s+(<DIR>|\\d+)\\s+(\\S.*)$";

const int secondsPerDay = 86400;

// "ls" writes the year for old entries and the time for recent ones, and pads
// the day with a zero or a space; the spaces are significant in these formats.
const char *const unixDateFormats[] = {
    "MMM dd  yyyy", "MMM dd hh:mm", "MMM  d  yyyy", "MMM  d hh:mm", "MMM  d yyyy", "MMM dd yyyy",
};

bool formatHasNoYear(int formatIndex)
{
    return formatIndex == 1 || formatIndex == 3;
}

// A time-stamped entry is recent: it belongs to this year, unless that would
// put it more than a day ahead of now (an entry from late December seen in
// January), in which case it belongs to last year.
QDateTime withGuessedYear(QDateTime dateTime, const QDateTime &now)
{
    const QDate parsed = dateTime.date();
    const int year = now.date().year();
    dateTime.setDate(QDate(year, parsed.month(), parsed.day()));
    if (dateTime.secsTo(now) < -secondsPerDay)
        dateTime.setDate(QDate(year - 1, parsed.month(), parsed.day()));
    return dateTime;
}

QDateTime parseUnixDate(QString text, const QDateTime &now)
{
    if (!text.isEmpty())
        text[0] = text.at(0).toUpper(); // "mar" is accepted as "Mar"
    const QLocale c(QLocale::C);
    for (int i = 0; i < int(sizeof unixDateFormats / sizeof *unixDateFormats); ++i) {
        const QDateTime dateTime = c.toDateTime(text, QLatin1String(unixDateFormats[i]));
        if (dateTime.isValid())
            return formatHasNoYear(i) ? withGuessedYear(dateTime, now) : dateTime;
    }
    return QDateTime();
}

int unixPermissions(const QString &letters)
{
    // Only the plain letters grant: "s", "t", "S", "T" and "-" give nothing.
    static const struct
    {
        char letter;
        int bit;
    } grants[9] = {
        { 'r', QUrlInfo::ReadOwner }, { 'w', QUrlInfo::WriteOwner }, { 'x', QUrlInfo::ExeOwner },
        { 'r', QUrlInfo::ReadGroup }, { 'w', QUrlInfo::WriteGroup }, { 'x', QUrlInfo::ExeGroup },
        { 'r', QUrlInfo::ReadOther }, { 'w', QUrlInfo::WriteOther }, { 'x', QUrlInfo::ExeOther },
    };
    int permissions = 0;
    for (int i = 0; i < 9 && i < letters.size(); ++i) {
        if (letters.at(i) == QLatin1Char(grants[i].letter))
            permissions |= grants[i].bit;
    }
    return permissions;
}

void fillUnixEntry(const QStringList &fields, const QString &userName, const QDateTime &now,
                   QUrlInfo *info)
{
    const QChar type = fields.at(1).at(0);
    if (type == QLatin1Char('d')) {
        info->setDir(true);
        info->setFile(false);
        info->setSymLink(false);
    } else if (type == QLatin1Char('-')) {
        info->setDir(false);
        info->setFile(true);
        info->setSymLink(false);
    } else if (type == QLatin1Char('l')) {
        // A link is offered as a folder one can try to enter.
        info->setDir(true);
        info->setFile(false);
        info->setSymLink(true);
    }

    QString name = fields.at(7);
    if (info->isSymLink()) {
        const int arrow = name.indexOf(QLatin1String(" ->"));
        if (arrow >= 0)
            name.truncate(arrow);
    }
    info->setName(name);

    info->setOwner(fields.at(3));
    info->setGroup(fields.at(4));
    info->setSize(fields.at(5).toLongLong());

    const QDateTime lastModified = parseUnixDate(fields.at(6), now);
    if (lastModified.isValid())
        info->setLastModified(lastModified);

    const int permissions = unixPermissions(fields.at(2));
    info->setPermissions(permissions);

    const bool isOwner = info->owner() == userName;
    info->setReadable((permissions & QUrlInfo::ReadOther)
                      || ((permissions & QUrlInfo::ReadOwner) && isOwner));
    info->setWritable((permissions & QUrlInfo::WriteOther)
                      || ((permissions & QUrlInfo::WriteOwner) && isOwner));
}

bool isExecutableExtension(const QString &name)
{
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot < 0)
        return false;
    const QStringRef extension = name.midRef(dot + 1);
    return extension == QLatin1String("exe") || extension == QLatin1String("bat")
        || extension == QLatin1String("com");
}

QDateTime parseDosDate(const QString &text)
{
    QDateTime dateTime = QLocale(QLocale::C).toDateTime(text, QStringLiteral("MM-dd-yy  hh:mmAP"));
    // Two-digit years read as 1900-1999; the listing's 00 to 70 mean 2000 to 2070.
    if (dateTime.isValid() && dateTime.date().year() <= 1970)
        dateTime.setDate(dateTime.date().addYears(100));
    return dateTime;
}

void fillDosEntry(const QStringList &fields, QUrlInfo *info)
{
    const QString name = fields.at(3);
    info->setName(name);
    info->setSymLink(name.toLower().endsWith(QLatin1String(".lnk")));

    if (fields.at(2) == QLatin1String("<DIR>")) {
        info->setFile(false);
        info->setDir(true);
    } else {
        info->setFile(true);
        info->setDir(false);
        info->setSize(fields.at(2).toLongLong());
    }

    int permissions = QUrlInfo::ReadOwner | QUrlInfo::WriteOwner | QUrlInfo::ReadGroup
        | QUrlInfo::WriteGroup | QUrlInfo::ReadOther | QUrlInfo::WriteOther;
    if (isExecutableExtension(name))
        permissions |= QUrlInfo::ExeOwner | QUrlInfo::ExeGroup | QUrlInfo::ExeOther;
    info->setPermissions(permissions);

    info->setReadable(true);
    info->setWritable(info->isFile());

    // An unreadable date is kept as it is: invalid.
    info->setLastModified(parseDosDate(fields.at(1)));
}

} // namespace

QString QFtpDTP::textFromWire(const QByteArray &line)
{
    // Servers send names as the bytes they store: UTF-8 for most today, an
    // 8-bit code page for some. A line that is not valid UTF-8 is taken byte
    // for byte, so that such names keep working. The header flag keeps a
    // leading byte-order mark as a character of the line.
    const int length = int(qstrnlen(line.constData(), uint(line.size())));
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    const QString text
        = QTextCodec::codecForMib(utf8Mib)->toUnicode(line.constData(), length, &state);
    if (state.invalidChars == 0 && state.remainingChars == 0)
        return text;
    return QString::fromLatin1(line.constData(), length);
}

bool QFtpDTP::parseListLine(const QByteArray &buffer, const QString &userName, QUrlInfo *info)
{
    return parseListLine(buffer, userName, info, QDateTime::currentDateTime());
}

bool QFtpDTP::parseListLine(const QByteArray &buffer, const QString &userName, QUrlInfo *info,
                            const QDateTime &now)
{
    if (buffer.isEmpty() || !info)
        return false;

    const QString line = textFromWire(buffer).trimmed();

    QRegExp unixLine(QString::fromLatin1(unixLayout));
    if (unixLine.indexIn(line) == 0) {
        const QStringList fields = unixLine.capturedTexts();
        if (fields.size() == 8)
            fillUnixEntry(fields, userName, now, info);
        return true;
    }

    QRegExp dosLine(QString::fromLatin1(dosLayout));
    if (dosLine.indexIn(line) == 0) {
        const QStringList fields = dosLine.capturedTexts();
        if (fields.size() == 4)
            fillDosEntry(fields, info);
        return true;
    }

    return false;
}
