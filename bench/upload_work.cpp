// Where the work of a large upload to a server on the same machine goes.
// One file (1 GiB by default) is uploaded to a local vsftpd serving a
// RAM-backed folder, over a bare FTP session of this program's own, in
// several ways of handing the bytes to the kernel. For each: the wall time
// of the transfer (STOR to the final reply), the sending thread's CPU time
// and the CPU time of the server's session. Both processes share the two
// cores, so the slower of the two sets the pace, and what one side is
// spared the other may have to do:
//   - sendfile(2) with at most 64 KiB unsent, woken by the socket (how the
//     client sends a plain file);
//   - sendfile(2) blocking, 8 MiB a call;
//   - read(2) + send(2) of 16 KiB, as the usual command-line clients do;
//   - read(2) of each 256 KiB ahead, then sendfile(2) of it, which brings
//     the bytes into the processor's cache before the server copies them;
//   - send(2) of 256 KiB straight from a mapping of the file (one copy,
//     made by the client).
// The ways take turns going first, round after round.
//
//     upload_work [MiB, default 1024] [rounds, default 5]
//
// Needs root (vsftpd).

#include "benchsupport.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

double threadCpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int connectTo(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A bare, blocking FTP session: enough to log in and store one file.
class Session
{
public:
    explicit Session(quint16 port)
        : control(connectTo(port))
    { }
    ~Session()
    {
        if (control >= 0)
            ::close(control);
    }
    // The final reply's line, after sending `line` (nothing for the greeting).
    QByteArray command(const QByteArray &line)
    {
        if (!line.isEmpty() && ::send(control, line.constData(), size_t(line.size()), 0) < 0)
            return {};
        for (;;) {
            const int end = pending.indexOf("\r\n");
            if (end >= 0) {
                const QByteArray reply = pending.left(end);
                pending.remove(0, end + 2);
                if (reply.size() >= 4 && reply.at(3) == ' ')
                    return reply;
                continue;
            }
            char buffer[512];
            const ssize_t got = ::recv(control, buffer, sizeof buffer, 0);
            if (got <= 0)
                return {};
            pending.append(buffer, int(got));
        }
    }
    // Logs in and opens a passive data connection; its descriptor, or -1.
    int store(const QString &user, const QString &password, const QByteArray &name)
    {
        if (!command({}).startsWith("220")
            || !command("USER " + user.toUtf8() + "\r\n").startsWith("331")
            || !command("PASS " + password.toUtf8() + "\r\n").startsWith("230")
            || !command("TYPE I\r\n").startsWith("200"))
            return -1;
        const QByteArray passive = command("PASV\r\n");
        const QList<QByteArray> numbers
            = passive.mid(passive.indexOf('(') + 1, passive.indexOf(')') - passive.indexOf('(') - 1)
                  .split(',');
        if (!passive.startsWith("227") || numbers.size() != 6)
            return -1;
        const int data = connectTo(quint16(numbers.at(4).toInt() * 256 + numbers.at(5).toInt()));
        if (data < 0 || !command("STOR " + name + "\r\n").startsWith("150")) {
            if (data >= 0)
                ::close(data);
            return -1;
        }
        return data;
    }
    bool transferEnded() { return command({}).startsWith("226"); }

private:
    int control;
    QByteArray pending;
};

bool writeAll(int socket, const char *bytes, size_t size)
{
    while (size > 0) {
        const ssize_t sent = ::send(socket, bytes, size, 0);
        if (sent <= 0)
            return false;
        bytes += sent;
        size -= size_t(sent);
    }
    return true;
}

// Each way sends the whole file to the data socket; false on failure.
using Way = std::function<bool(int socket, int file, off_t size)>;

// sendfile(2) whenever the socket can take more, with at most 64 KiB unsent.
// With `readAhead`, each stretch of that many bytes is first read into a
// buffer, which brings it into the processor's cache before it is sent.
bool sendfileWhenWritable(int socket, int file, off_t size, size_t readAhead)
{
    const int unsent = 64 * 1024;
    setsockopt(socket, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &unsent, sizeof unsent);
    fcntl(socket, F_SETFL, O_NONBLOCK);
    std::vector<char> ahead(readAhead);
    for (off_t offset = 0, cached = readAhead ? 0 : size; offset < size;) {
        if (cached <= offset) {
            const ssize_t got = ::pread(file, ahead.data(), ahead.size(), cached);
            if (got <= 0)
                return false;
            cached += got;
        }
        const ssize_t sent
            = ::sendfile(socket, file, &offset, size_t(std::min<off_t>(cached - offset, 8 << 20)));
        if (sent < 0 && errno == EAGAIN) {
            pollfd writable { socket, POLLOUT, 0 };
            ::poll(&writable, 1, -1);
        } else if (sent <= 0) {
            return false;
        }
    }
    return true;
}

bool sendfileBlocking(int socket, int file, off_t size)
{
    for (off_t offset = 0; offset < size;)
        if (::sendfile(socket, file, &offset, 8 << 20) <= 0)
            return false;
    return true;
}

bool readAndSend(int socket, int file, off_t)
{
    char buffer[16384];
    for (ssize_t got; (got = ::read(file, buffer, sizeof buffer)) != 0;)
        if (got < 0 || !writeAll(socket, buffer, size_t(got)))
            return false;
    return true;
}

bool sendFromMapping(int socket, int file, off_t size)
{
    void *mapped = ::mmap(nullptr, size_t(size), PROT_READ, MAP_SHARED, file, 0);
    if (mapped == MAP_FAILED)
        return false;
    bool ok = true;
    for (off_t offset = 0; ok && offset < size; offset += 256 * 1024)
        ok = writeAll(socket, static_cast<const char *>(mapped) + offset,
                      size_t(std::min<off_t>(256 * 1024, size - offset)));
    ::munmap(mapped, size_t(size));
    return ok;
}

struct Figures
{
    Range seconds, cpu, serverCpu;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::signal(SIGPIPE, SIG_IGN);
    const qint64 megabytes = argc > 1 ? QByteArray(argv[1]).toLongLong() : 1024;
    const int rounds = argc > 2 ? QByteArray(argv[2]).toInt() : 5;

    RamBackedVsftpd bench;
    if (!bench.start())
        return 1;
    const QTemporaryDir &served = bench.served;
    const QTemporaryDir &local = bench.local;
    FtpTestServer &server = bench.server;
    const QString source = local.filePath(QStringLiteral("big.bin"));
    if (!writeSampleFile(source, megabytes * 1024 * 1024))
        return std::fprintf(stderr, "cannot write %s\n", qPrintable(source)), 1;

    const std::vector<std::pair<const char *, Way>> ways {
        { "sendfile, 64 KiB unsent",
          [](int socket, int file, off_t size) {
              return sendfileWhenWritable(socket, file, size, 0);
          } },
        { "sendfile, blocking", sendfileBlocking },
        { "read + send 16 KiB", readAndSend },
        { "read ahead + sendfile",
          [](int socket, int file, off_t size) {
              return sendfileWhenWritable(socket, file, size, 256 * 1024);
          } },
        { "send from a mapping", sendFromMapping },
    };
    std::map<std::string, Figures> figures;
    std::printf("load average before: %.2f; %lld MiB file; %d rounds\n", loadAverage(), megabytes,
                rounds);
    for (int round = 0; round < rounds; ++round) {
        for (size_t turn = 0; turn < ways.size(); ++turn) {
            const auto &[name, way] = ways.at((round + turn) % ways.size());
            QFile::remove(QDir(served.path()).filePath(QStringLiteral("big.bin")));
            Session session(quint16(server.port()));
            const int data = session.store(server.user(), server.password(), "big.bin");
            QFile file(source);
            if (data < 0 || !file.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "%s: cannot start the upload\n", name);
                return 1;
            }
            const double serverBefore = serverCpuSeconds(server.pid());
            QElapsedTimer clock;
            clock.start();
            const double cpuBefore = threadCpuSeconds();
            const bool sent = way(data, file.handle(), file.size());
            const double cpu = threadCpuSeconds() - cpuBefore;
            ::close(data);
            if (!sent || !session.transferEnded()) {
                std::fprintf(stderr, "%s: the upload failed\n", name);
                return 1;
            }
            Figures &f = figures[name];
            f.seconds.values.push_back(clock.nsecsElapsed() / 1e9);
            f.cpu.values.push_back(cpu);
            f.serverCpu.values.push_back(serverCpuSeconds(server.pid()) - serverBefore);
            session.command("QUIT\r\n");
        }
    }
    std::printf("load average after: %.2f\n\n", loadAverage());
    std::printf("%-24s %-16s %-14s %-14s %s\n", "medians (ranges)", "wall s", "client cpu s",
                "server cpu s", "client + server s");
    for (const auto &[name, way] : ways) {
        const Figures &f = figures[name];
        std::printf("%-24s %.3f (%s)  %.2f (%s)  %.2f (%s)  %.2f\n", name, f.seconds.median(),
                    qPrintable(f.seconds.text()), f.cpu.median(), qPrintable(f.cpu.text(2)),
                    f.serverCpu.median(), qPrintable(f.serverCpu.text(2)),
                    f.cpu.median() + f.serverCpu.median());
    }
    return 0;
}
