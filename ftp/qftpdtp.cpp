#include "qftpdtp.h"

#include "qftpglobal.h"

#include <QIODevice>
#include <QSslSocket>

#include <cstring>

QFtpDTP::QFtpDTP(QFtpTls *tls)
    : activeListener(this)
    , tls(tls)
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
    startTransfer(true);
    targetBuffer = buffer;
}

void QFtpDTP::setTargetDevice(QIODevice *device)
{
    startTransfer(false);
    targetDevice = device;
}

// A new transfer: nothing of the last upload's bookkeeping carries over.
void QFtpDTP::startTransfer(bool toBuffer)
{
    targetIsBuffer = toBuffer;
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

void QFtpDTP::setMode(DataMode mode)
{
    dataMode = mode;
}

void QFtpDTP::clearUploadCutShort()
{
    uploadCutShort = false;
}

void QFtpDTP::connectToDataPort(const QString &host, quint16 port)
{
    residualData.clear();
    if (dataSocket) {
        retireSocket(dataSocket);
        dataSocket = nullptr;
    }
    uploadStarted = false;

    dataSocket = tls->createDataSocket(this);
    dataSocket->setProperty(QFtpGlobal::networkSessionProperty,
                            property(QFtpGlobal::networkSessionProperty));
    dataSocket->setObjectName(QStringLiteral("QFtpDTP Passive state socket"));
    dataSocket->setReadBufferSize(listReadBufferSize);
    connectSocketSignals(dataSocket);
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
    emit activity();
    tls->startDataEncryption(dataSocket);

    if (uploadStarted)
        writeNextChunk();
}

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
    case NoTransfer:
        dataSocket->close();
        emit connectState(DataClosed);
        return;
    case Upload:
    case Discard:
        // Data after ABOR, or sent against the direction of an upload, is
        // nobody's: it is dropped, and it is no sign of a transfer going on.
        dataSocket->readAll();
        return;
    case Listing:
        emit activity();
        readListing();
        return;
    case Download:
        break;
    }
    emit activity();
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
    emit activity();
    emit dataTransferProgress(transferredBytes, totalBytes);
    if (continueWriting && !QFtpTls::sendBacklogged(dataSocket))
        writeNextChunk();
}

void QFtpDTP::resumeUpload()
{
    emit activity();
    if (continueWriting && !QFtpTls::sendBacklogged(dataSocket))
        writeNextChunk();
}
