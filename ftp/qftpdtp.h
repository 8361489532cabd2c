#ifndef QFTPDTP_H
#define QFTPDTP_H

#include "qftpfilesender.h"
#include "qftptls.h"
#include "qurlinfo.h"

#include <QAbstractSocket>
#include <QByteArray>
#include <QDateTime>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>

#include <variant>

class QIODevice;
class QTcpSocket;

// The data connection of one FTP control connection (RFC 959 section 3.2).
//
// In passive mode it connects to the port the server announced; in active
// mode it listens on the control connection's local address and takes the
// server's connection. An upload of a regular file over a plain connection
// goes from the page cache to the socket in the kernel (QFtpFileSender);
// other uploads (bytes, devices that are not plain files, TLS) go out in
// chunks paced by the socket's bytes-written notifications. Downloads are
// written through to a device or left in the socket for the caller, and LIST
// output is cut into lines and parsed into QUrlInfo entries.
class QFtpDTP : public QObject
{
    Q_OBJECT

public:
    // States of the data connection, reported through connectState().
    enum DataConnectState {
        DataHostFound = 0, // never sent; completes the set
        DataConnected = 1, // the passive data socket has connected
        DataClosed = 2, // the data socket has closed (either side)
        DataHostNotFound = 3, // the passive data socket's host lookup failed
        DataConnectionRefused = 4 // the passive data socket's connection was refused
    };
    // What the current data connection is for; the interpreter sets it as
    // its commands go out.
    enum class DataMode {
        NoTransfer, // no command under way: data that comes is nobody's
        Listing, // LIST: lines become listInfo entries
        Download, // into the target device, or left for the caller to read
        Upload, // data goes out; what the server sends is dropped
        Discard // ABOR sent: whatever still comes is dropped
    };
    // Where an upload stands; changed only by setUploadPhase().
    enum class UploadPhase {
        None, // no upload: a download, a listing, or nothing under way
        Waiting, // the source is set; nothing is read from it before the server accepts STOR
        Sending, // chunks go out as the socket takes them
        SendingFile, // the kernel sends a regular file as the socket takes it
        Closing, // all of the source is handed to the socket, which closes once it is sent
        CutShort, // the connection ended with bytes unsent, or the source failed
        Aborted // abort() cut the connection
    };
    Q_ENUM(UploadPhase)

    // Longest listing line accepted from a server; a longer one ends the
    // listing with an error instead of being buffered without limit.
    static constexpr qint64 maxListLineLength = 64 * 1024;
    // What a data socket may hold unread while a listing comes in: a longest
    // line fits whole. Downloads lift the bound, so that they stream as fast
    // as the device takes the data.
    static constexpr qint64 listReadBufferSize = maxListLineLength + 4096;
    // Size of one upload chunk, read from a device or taken from a buffer.
    static constexpr qint64 uploadChunkSize = 16 * 1024;
    // What a download hands its device at a time.
    static constexpr qint64 downloadChunkSize = 64 * 1024;

    // The TLS settings are the interpreter's and outlive this object.
    explicit QFtpDTP(QFtpTls *tls);
    ~QFtpDTP() override;

    // The source of the next upload (not owned; it must live until the
    // upload has ended). A sequential device's readyRead and
    // readChannelFinished resume an upload that waits for its data.
    void setUploadSource(const QByteArray *bytes);
    void setUploadSource(QIODevice *device);
    // Where the next download goes; without one, it waits for read().
    void setDownloadTarget(QIODevice *device);
    void setTotalBytes(qint64 total);
    void setMode(DataMode mode) { dataMode = mode; }

    void connectToDataPort(const QString &host, quint16 port);
    int openListener(const QHostAddress &address);
    void acceptPendingConnection();
    QAbstractSocket::SocketState dataConnectionState() const;

    qint64 bytesAvailable() const;
    qint64 read(char *data, qint64 maxLength);
    QByteArray readAll();

    // Writes the next upload chunk. The interpreter's call on the server's
    // preliminary reply to STOR also starts the upload: before it, nothing
    // is read from the source.
    void writeNextChunk();
    // Drops the data connection and forgets the transfer.
    void abortDataConnection();
    // The same for an upload cut off on purpose: it counts as aborted.
    void abortUpload();
    UploadPhase uploadPhase() const { return phase; }
    // The interpreter has reported how the upload ended.
    void forgetUpload();
    // The last upload failed because its source could not be read whole
    // (a read error, a file that shrank), not because of the connection.
    bool sourceFailed() const { return sourceAtFault; }

    // One line of text from the server (a reply or listing line): UTF-8 when
    // the bytes are valid UTF-8, Latin-1 otherwise, up to the first NUL.
    static QString textFromWire(const QByteArray &line);

    static bool parseListLine(const QByteArray &buffer, const QString &userName, QUrlInfo *info);
    // The same, with "now" given: the year of a listing date without a year is
    // guessed from it. The public form passes the current date-time.
    static bool parseListLine(const QByteArray &buffer, const QString &userName, QUrlInfo *info,
                              const QDateTime &now);

signals:
    void listInfo(const QUrlInfo &info);
    void readyRead();
    void dataTransferProgress(qint64 done, qint64 total);
    void connectState(int state);
    // A listing line that reported a missing file or directory, a listing
    // cut short by its line limit, or a failed TLS handshake: the transfer
    // failed even if the server's reply says otherwise.
    void transferError(const QString &text);
    // Traffic on the data connection: the server is not silent.
    void activity();

private slots:
    void dataReadyRead();
    void socketConnected();
    void socketReadyRead();
    void socketError(QAbstractSocket::SocketError error);
    void socketConnectionClosed();
    void socketBytesWritten(qint64 bytes);
    void resumeUpload();
    void setupSocket();
    void countSent(qint64 bytes);
    void fileEnded();
    void fileFailed(const QString &reason, bool unsupported);

private:
    // An upload from bytes: what of them went to the socket so far.
    struct BufferSource
    {
        const QByteArray *bytes;
        qint64 handedOver;
    };
    // What the transfer reads from or writes to: nothing, the bytes of an
    // upload, or a device (an upload's source or a download's target).
    // A device that is destroyed while it is the target becomes null.
    using Target = std::variant<std::monostate, BufferSource, QPointer<QIODevice>>;

    void setUploadPhase(UploadPhase next);
    void setTarget(const Target &next);
    bool dataConnected() const;
    void adoptSocket(QTcpSocket *socket, const QString &name);
    void retireSocket(QTcpSocket *socket);
    void writeNextSlice(BufferSource &buffer);
    void writeDeviceChunk(QIODevice *device);
    void endOfSource(qint64 position);
    void finishUpload();
    bool uploadIncomplete() const;
    void failUpload(bool sourceFailed);
    void readListing();
    void readIntoDevice(QIODevice *device);

    QTcpSocket *dataSocket = nullptr;
    QFtpDataListener activeListener;
    QFtpTls *tls;
    DataMode dataMode = DataMode::NoTransfer;
    UploadPhase phase = UploadPhase::None;
    Target target;
    qint64 transferredBytes = 0;
    qint64 totalBytes = 0;
    // Bytes of the current upload handed to the socket and not yet reported
    // written by it.
    qint64 uploadUnsent = 0;
    // Where a file (or other device of known size) ended when its upload
    // was set up: ending before that, it changed while it was sent.
    qint64 sourceEnd = 0;
    QFtpFileSender fileSender;
    QByteArray residualData;
    bool passiveConnecting = false; // a passive connect attempt is under way
    bool sourceAtFault = false;
};

#endif // QFTPDTP_H
