#ifndef QFTPFILESENDER_H
#define QFTPFILESENDER_H

#include <QObject>

class QFileDevice;
class QIODevice;
class QSocketNotifier;
class QTcpSocket;

// Sends a regular file through a connected plain TCP socket with sendfile(2):
// the kernel moves the bytes from the page cache to the socket, with no copy
// through this process and no buffer here. It sends whenever the socket can
// take more, in turns of at most maxTurnBytes so that the event loop keeps
// turning; the socket's own write buffer is bypassed and must stay empty.
//
// Elsewhere than on Linux, or when the kernel cannot send that file this
// way, it reports so before the first byte, and the caller reads the file
// itself.
class QFtpFileSender : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 maxTurnBytes = 8 * 1024 * 1024;

    explicit QFtpFileSender(QObject *parent = nullptr);
    ~QFtpFileSender() override;

    // Whether uploads from `device` can go this way: a regular file, open
    // for reading, over a data connection without TLS.
    static bool canSend(const QIODevice *device, bool encrypted);

    // Starts sending `file` from its current position; false when `socket`
    // cannot be written to directly (nothing was sent).
    bool start(QFileDevice *file, QTcpSocket *socket);
    void stop();
    bool isSending() const { return notifier != nullptr; }
    // How far into the file the sending has come.
    qint64 position() const { return offset; }

signals:
    // The socket took `bytes` more in one turn.
    void sent(qint64 bytes);
    // The end of the file was reached; everything up to it is sent.
    void reachedEnd();
    // Sending stopped at an error: `unsupported` when the kernel cannot
    // send this file this way and nothing was sent yet.
    void failed(const QString &reason, bool unsupported);

private slots:
    void sendTurn();

private:
    QSocketNotifier *notifier = nullptr;
    int fileDescriptor = -1;
    int socketDescriptor = -1;
    qint64 offset = 0;
    qint64 sentTotal = 0;
};

#endif // QFTPFILESENDER_H
