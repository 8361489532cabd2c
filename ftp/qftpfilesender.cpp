#include "qftpfilesender.h"

#include <QFileDevice>
#include <QSocketNotifier>
#include <QTcpSocket>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>

namespace {

// How much of the file may wait in the socket unsent. Without a bound the
// kernel queues megabytes, and what the peer's acknowledgements release is
// then sent from the peer's side of the machine's network stack: on a server
// on the same machine the receiving process ends up doing the sending too,
// while this one sleeps. Kept short, the bytes go out from here as they are
// handed over, and the socket wakes this process as soon as it runs low.
constexpr int unsentLimit = 64 * 1024;

// sendfile(2) to a socket whose peer has gone raises SIGPIPE, which would
// end the process: the signal is held back on this thread while the kernel
// sends, and one it raised is taken back before it is let through.
class PipeSignalHold
{
public:
    PipeSignalHold()
    {
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, &previous);
        sigset_t pending;
        sigpending(&pending);
        pendingBefore = sigismember(&pending, SIGPIPE) == 1;
    }
    ~PipeSignalHold()
    {
        if (raised && !pendingBefore) {
            const timespec none = { 0, 0 };
            while (sigtimedwait(&pipe, nullptr, &none) < 0 && errno == EINTR) { }
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    void noteRaised() { raised = true; }

private:
    sigset_t pipe;
    sigset_t previous;
    bool pendingBefore = false;
    bool raised = false;
};

} // namespace
#endif

QFtpFileSender::QFtpFileSender(QObject *parent)
    : QObject(parent)
{ }

QFtpFileSender::~QFtpFileSender() = default;

bool QFtpFileSender::canSend(const QIODevice *device, bool encrypted)
{
#ifdef Q_OS_LINUX
    const auto *file = qobject_cast<const QFileDevice *>(device);
    if (encrypted || !file || !file->isReadable() || file->isSequential() || file->handle() < 0)
        return false;
    struct stat status;
    return ::fstat(file->handle(), &status) == 0 && S_ISREG(status.st_mode);
#else
    Q_UNUSED(device);
    Q_UNUSED(encrypted);
    return false;
#endif
}

bool QFtpFileSender::start(QFileDevice *file, QTcpSocket *socket)
{
    stop();
#ifdef Q_OS_LINUX
    // Bytes already in the socket's buffer would go out after the file's.
    const qintptr descriptor = socket->socketDescriptor();
    if (descriptor < 0 || socket->bytesToWrite() > 0 || file->handle() < 0)
        return false;
    fileDescriptor = file->handle();
    socketDescriptor = int(descriptor);
    // From the file's own position, whatever it read ahead into its buffer.
    offset = file->pos();
    sentTotal = 0;
    // Without the bound the upload is slower, never wrong.
    ::setsockopt(socketDescriptor, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &unsentLimit,
                 sizeof unsentLimit);
    notifier = new QSocketNotifier(descriptor, QSocketNotifier::Write, this);
    connect(notifier, &QSocketNotifier::activated, this, &QFtpFileSender::sendTurn);
    return true;
#else
    Q_UNUSED(file);
    Q_UNUSED(socket);
    return false;
#endif
}

void QFtpFileSender::stop()
{
    delete notifier;
    notifier = nullptr;
}

void QFtpFileSender::sendTurn()
{
#ifdef Q_OS_LINUX
    qint64 moved = 0;
    int error = 0;
    bool atEnd = false;
    {
        PipeSignalHold hold;
        off_t position = off_t(offset);
        while (moved < maxTurnBytes) {
            const ssize_t count = ::sendfile(socketDescriptor, fileDescriptor, &position,
                                             size_t(maxTurnBytes - moved));
            if (count > 0) {
                moved += count;
            } else if (count == 0) {
                atEnd = true;
                break;
            } else if (errno != EINTR) {
                // EAGAIN: the socket is full; the notifier says when it has room.
                if (errno != EAGAIN && errno != EWOULDBLOCK)
                    error = errno;
                if (errno == EPIPE)
                    hold.noteRaised();
                break;
            }
        }
        offset = qint64(position);
    }
    sentTotal += moved;
    // Settled before anyone hears of it.
    if (atEnd || error)
        stop();
    if (moved > 0)
        emit sent(moved);
    if (atEnd) {
        emit reachedEnd();
    } else if (error) {
        const bool unsupported
            = sentTotal == 0 && (error == EINVAL || error == ENOSYS || error == EOPNOTSUPP);
        emit failed(QString::fromLocal8Bit(std::strerror(error)), unsupported);
    }
#endif
}
