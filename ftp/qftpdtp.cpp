#include "qftpdtp.h"

#include "qftpglobal.h"

#include <QFileDevice>
#include <QIODevice>
#include <QLoggingCategory>
#include <QSslSocket>

#include <cstring>

namespace {
// Off by default: QT_LOGGING_RULES="mirvo.ftp.data.debug=true" shows each change.
Q_LOGGING_CATEGORY(lcData, "mirvo.ftp.data", QtInfoMsg)
} // namespace

QFtpDTP::QFtpDTP(QFtpTls *tls)
    : activeListener(this)
    , tls(tls)
{
    activeListener.setObjectName(QStringLiteral("QFtpDTP active state server"));
    connect(&activeListener, &QTcpServer::newConnection, this, &QFtpDTP::setupSocket);
    connect(&fileSender, &QFtpFileSender::sent, this, &QFtpDTP::countSent);
    connect(&fileSender, &QFtpFileSender::reachedEnd, this, &QFtpDTP::fileEnded);
    connect(&fileSender, &QFtpFileSender::failed, this, &QFtpDTP::fileFailed);
}

QFtpDTP::~QFtpDTP()
{
    // Sockets still open would report their close while this object is half
    // destroyed: cut them off first.
    const QList<QTcpSocket *> sockets = findChildren<QTcpSocket *>();
    for (QTcpSocket *socket : sockets)
        socket->disconnect(this);
}

// ---------------------------------------------------------------------------
// What the transfer reads or writes

// The only way to change the upload's phase; what the new phase does not
// need goes with the old one.
void QFtpDTP::setUploadPhase(UploadPhase next)
{
    qCDebug(lcData) << "upload" << phase << "->" << next;
    phase = next;
    if (next != UploadPhase::SendingFile)
        fileSender.stop();
    switch (next) {
    case UploadPhase::Waiting:
        uploadUnsent = 0;
        break;
    case UploadPhase::Sending:
    case UploadPhase::SendingFile:
        break;
    case UploadPhase::Closing:
        setTarget(Target());
        break;
    case UploadPhase::None:
    case UploadPhase::CutShort:
    case UploadPhase::Aborted:
        setTarget(Target());
        uploadUnsent = 0;
        break;
    }
}

void QFtpDTP::setTarget(const Target &next)
{
    // A sequential source stops announcing its data here once it is not the
    // source any more.
    if (auto *device = std::get_if<QPointer<QIODevice>>(&target); device && *device)
        (*device)->disconnect(this);
    target = next;
}

void QFtpDTP::setUploadSource(const QByteArray *bytes)
{
    sourceAtFault = false;
    setUploadPhase(UploadPhase::Waiting);
    setTarget(BufferSource { bytes, 0 });
}

void QFtpDTP::setUploadSource(QIODevice *device)
{
    sourceAtFault = false;
    setUploadPhase(UploadPhase::Waiting);
    setTarget(QPointer<QIODevice>(device));
    sourceEnd = device && !device->isSequential() ? device->size() : 0;
    if (device && device->isSequential()) {
        connect(device, &QIODevice::readyRead, this, &QFtpDTP::dataReadyRead);
        connect(device, &QIODevice::readChannelFinished, this, &QFtpDTP::dataReadyRead);
    }
}

void QFtpDTP::setDownloadTarget(QIODevice *device)
{
    setUploadPhase(UploadPhase::None);
    setTarget(QPointer<QIODevice>(device));
}

void QFtpDTP::setTotalBytes(qint64 total)
{
    totalBytes = total;
    transferredBytes = 0;
    emit dataTransferProgress(0, totalBytes);
}

void QFtpDTP::forgetUpload()
{
    setUploadPhase(UploadPhase::None);
}

// ---------------------------------------------------------------------------
// The data connection

bool QFtpDTP::dataConnected() const
{
    return dataSocket && dataSocket->state() == QAbstractSocket::ConnectedState;
}

void QFtpDTP::connectToDataPort(const QString &host, quint16 port)
{
    residualData.clear();
    if (dataSocket) {
        retireSocket(dataSocket);
        dataSocket = nullptr;
    }

    dataSocket = tls->createDataSocket(this);
    dataSocket->setProperty(QFtpGlobal::networkSessionProperty,
                            property(QFtpGlobal::networkSessionProperty));
    adoptSocket(dataSocket, QStringLiteral("QFtpDTP Passive state socket"));
    passiveConnecting = true;
    tls->connectDataSocket(dataSocket, host, port);
}

int QFtpDTP::openListener(const QHostAddress &address)
{
    activeListener.setProperty(QFtpGlobal::networkSessionProperty,
                               property(QFtpGlobal::networkSessionProperty));
    activeListener.setEncrypting(tls->enabled());
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

// Every data socket, passive or accepted, is set up here.
void QFtpDTP::adoptSocket(QTcpSocket *socket, const QString &name)
{
    socket->setObjectName(name);
    socket->setReadBufferSize(listReadBufferSize);
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
    // Nothing of an upload goes to the next connection before STOR is
    // accepted again; the file sender lets go of this one.
    if (phase == UploadPhase::Sending || phase == UploadPhase::SendingFile)
        setUploadPhase(UploadPhase::Waiting);
    // The socket may be the one whose signal is being delivered further up
    // the stack: silence it now and free it from the event loop.
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
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
    adoptSocket(dataSocket, QStringLiteral("QFtpDTP Active state socket"));
    activeListener.close();
    emit activity();
    tls->startDataEncryption(dataSocket);

    if (phase == UploadPhase::Sending || phase == UploadPhase::SendingFile)
        writeNextChunk();
}

// ---------------------------------------------------------------------------
// Reading what a download left behind

qint64 QFtpDTP::bytesAvailable() const
{
    return dataConnected() ? dataSocket->bytesAvailable() : residualData.size();
}

qint64 QFtpDTP::read(char *data, qint64 maxLength)
{
    qint64 count = 0;
    if (dataConnected()) {
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
    if (dataConnected()) {
        const QByteArray data = dataSocket->readAll();
        transferredBytes += data.size();
        return data;
    }
    QByteArray data;
    data.swap(residualData);
    return data;
}

// ---------------------------------------------------------------------------
// Uploads

void QFtpDTP::writeNextChunk()
{
    auto *device = std::get_if<QPointer<QIODevice>>(&target);
    if (phase == UploadPhase::Waiting) {
        // The server has accepted STOR.
        const bool file = device && QFtpFileSender::canSend(*device, tls->enabled());
        setUploadPhase(file ? UploadPhase::SendingFile : UploadPhase::Sending);
    }
    // In active mode the server's connection may only come after its reply
    // to STOR; setupSocket() resumes the upload then.
    if (!dataConnected())
        return;
    if (phase == UploadPhase::SendingFile) {
        if (fileSender.isSending())
            return; // it goes on by itself
        auto *file = device && *device ? qobject_cast<QFileDevice *>(device->data()) : nullptr;
        if (file && fileSender.start(file, dataSocket))
            return;
        setUploadPhase(UploadPhase::Sending); // read here instead
    }
    if (phase != UploadPhase::Sending)
        return;
    if (auto *buffer = std::get_if<BufferSource>(&target)) {
        writeNextSlice(*buffer);
    } else if (device && *device) {
        writeDeviceChunk(*device);
    } else {
        failUpload(true); // the source was destroyed while it was being sent
    }
}

void QFtpDTP::writeNextSlice(BufferSource &buffer)
{
    // The bytes go out in slices paced like a device upload: handing them to
    // the socket in one write would copy all of them into the socket's own
    // buffer, doubling the memory of a large upload.
    const qint64 left = buffer.bytes->size() - buffer.handedOver;
    if (left <= 0) {
        finishUpload();
        return;
    }
    const qint64 count = qMin(left, uploadChunkSize);
    uploadUnsent
        += qMax<qint64>(0, dataSocket->write(buffer.bytes->constData() + buffer.handedOver, count));
    buffer.handedOver += count;
}

void QFtpDTP::writeDeviceChunk(QIODevice *device)
{
    char chunk[uploadChunkSize];
    const qint64 count = device->read(chunk, uploadChunkSize);
    if (count > 0) {
        uploadUnsent += qMax<qint64>(0, dataSocket->write(chunk, count));
    } else if (count < 0 && !device->isSequential()) {
        failUpload(true); // a file that fails part way must not reach the server as if whole
    } else if (count < 0) {
        finishUpload(); // a sequential device says it has no more data with -1
    } else if (!device->isSequential()) {
        endOfSource(device->pos()); // a random-access device gives nothing only at its end
    }
    // Otherwise a sequential device has nothing right now: its readyRead or
    // readChannelFinished calls dataReadyRead() later.
}

// A file that ends before the size it had when its upload was set up has
// shrunk while it was sent: the server would get a file that never existed.
void QFtpDTP::endOfSource(qint64 position)
{
    if (position < sourceEnd)
        failUpload(true);
    else
        finishUpload();
}

void QFtpDTP::finishUpload()
{
    QTcpSocket *socket = dataSocket;
    const bool nothingSent = transferredBytes == 0 && socket->bytesToWrite() == 0;
    // The source goes before the close: closing may report DataClosed at
    // once, and the next command may already set a new source from there.
    setUploadPhase(UploadPhase::Closing);
    if (nothingSent)
        emit dataTransferProgress(0, totalBytes);
    QFtpTls::closeDataSocket(socket);
}

// The upload still has bytes to go: its source is not exhausted, or the
// socket has not written everything it was handed.
bool QFtpDTP::uploadIncomplete() const
{
    return phase == UploadPhase::Sending || phase == UploadPhase::SendingFile || uploadUnsent > 0;
}

void QFtpDTP::failUpload(bool sourceFailed)
{
    sourceAtFault = sourceFailed;
    setUploadPhase(UploadPhase::CutShort);
    // Cut off rather than closed: a server that sees a plain close takes
    // the file as complete.
    if (dataSocket)
        dataSocket->abort();
}

void QFtpDTP::abortDataConnection()
{
    setUploadPhase(UploadPhase::None);
    if (dataSocket)
        dataSocket->abort();
}

void QFtpDTP::abortUpload()
{
    setUploadPhase(UploadPhase::Aborted);
    if (dataSocket)
        dataSocket->abort();
}

void QFtpDTP::dataReadyRead()
{
    // A sequential source may offer data before this transfer's connection
    // stands and the server has accepted STOR: it waits in the device.
    if (phase == UploadPhase::Sending)
        writeNextChunk();
}

void QFtpDTP::socketBytesWritten(qint64 bytes)
{
    uploadUnsent = qMax<qint64>(0, uploadUnsent - bytes);
    countSent(bytes);
    if (phase == UploadPhase::Sending && !QFtpTls::sendBacklogged(dataSocket))
        writeNextChunk();
}

void QFtpDTP::resumeUpload()
{
    emit activity();
    if (phase == UploadPhase::Sending && !QFtpTls::sendBacklogged(dataSocket))
        writeNextChunk();
}

// Bytes of the upload that left: through the socket, or by the file sender.
void QFtpDTP::countSent(qint64 bytes)
{
    transferredBytes += bytes;
    emit activity();
    emit dataTransferProgress(transferredBytes, totalBytes);
}

void QFtpDTP::fileEnded()
{
    if (phase == UploadPhase::SendingFile)
        endOfSource(fileSender.position());
}

void QFtpDTP::fileFailed(const QString &reason, bool unsupported)
{
    if (phase != UploadPhase::SendingFile)
        return;
    qCDebug(lcData) << "sending the file failed:" << reason;
    if (unsupported) {
        setUploadPhase(UploadPhase::Sending); // read here instead
        writeNextChunk();
    } else {
        failUpload(false);
    }
}

// ---------------------------------------------------------------------------
// Events of the data socket

void QFtpDTP::socketConnected()
{
    passiveConnecting = false;
    transferredBytes = 0;
    emit activity();
    emit connectState(DataConnected);
}

void QFtpDTP::socketReadyRead()
{
    if (!dataSocket)
        return;

    switch (dataMode) {
    case DataMode::NoTransfer:
        dataSocket->close();
        emit connectState(DataClosed);
        return;
    case DataMode::Upload:
    case DataMode::Discard:
        // Data after ABOR, or sent against the direction of an upload, is
        // nobody's: it is dropped, and it is no sign of a transfer going on.
        dataSocket->readAll();
        return;
    case DataMode::Listing:
        emit activity();
        readListing();
        return;
    case DataMode::Download:
        break;
    }
    emit activity();
    dataSocket->setReadBufferSize(0); // downloads stream; their reader takes all there is
    if (auto *device = std::get_if<QPointer<QIODevice>>(&target); device && *device) {
        readIntoDevice(*device);
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
            emit transferError(textFromWire(line));
    }
    if (dataSocket && !dataSocket->canReadLine()
        && dataSocket->bytesAvailable() <= maxListLineLength) {
        return; // an incomplete line waits for more data
    }
    if (!dataSocket)
        return;
    emit transferError(
        tr("Listing line longer than %1 bytes, data connection closed").arg(maxListLineLength));
    dataSocket->abort();
}

void QFtpDTP::readIntoDevice(QIODevice *device)
{
    // One block on the stack for every read: a new block per read, of
    // whatever size had arrived, costs more than the copy.
    char block[downloadChunkSize];
    while (dataSocket && dataSocket->bytesAvailable() > 0) {
        const qint64 count = dataSocket->read(block, downloadChunkSize);
        if (count <= 0)
            return;
        transferredBytes += count;
        // The slots of the progress signal may have changed the target.
        auto *current = std::get_if<QPointer<QIODevice>>(&target);
        if (current && *current == device)
            device->write(block, count);
        emit dataTransferProgress(transferredBytes, totalBytes);
    }
}

void QFtpDTP::socketError(QAbstractSocket::SocketError error)
{
    const bool wasConnecting = passiveConnecting && sender() == dataSocket;
    if (error == QAbstractSocket::SslHandshakeFailedError && sender() == dataSocket) {
        // Even a server that reports success has not got the data.
        emit transferError(
            tr("TLS on the data connection failed: %1").arg(dataSocket->errorString()));
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
        setUploadPhase(UploadPhase::CutShort); // the close that follows ends the transfer
    }
}

void QFtpDTP::socketConnectionClosed()
{
    // Whichever side closed, an upload with bytes still to go is truncated;
    // nothing more is written to a download's device.
    if (uploadIncomplete())
        setUploadPhase(UploadPhase::CutShort);
    else if (phase == UploadPhase::Waiting && std::holds_alternative<QPointer<QIODevice>>(target))
        setUploadPhase(UploadPhase::None);
    else if (std::holds_alternative<QPointer<QIODevice>>(target))
        setTarget(Target());
    // What the peer sent before closing stays readable; after a close from
    // this side there is nothing left to keep.
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (socket && socket->isReadable())
        residualData = socket->readAll();
    emit connectState(DataClosed);
}
