#ifndef BENCHSUPPORT_H
#define BENCHSUPPORT_H

#include "qftp.h"
#include "support/ftptestserver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTemporaryFile>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include <unistd.h>

// A vsftpd on 127.0.0.1 serving a RAM-backed folder, and a folder on disk for
// the sources; both folders go when the object does, the server is stopped by
// its PID. start() says on stderr why it failed.
struct RamBackedVsftpd
{
    QTemporaryDir served { QStringLiteral("/dev/shm/mirvo-bench-XXXXXX") };
    QTemporaryDir local { QDir::temp().filePath(QStringLiteral("mirvo-bench-XXXXXX")) };
    FtpTestServer server { FtpTestServer::Vsftpd };

    bool start(FtpTestServer::Tls tls = FtpTestServer::NoTls)
    {
        QString why;
        if (!FtpTestServer::vsftpdUsable(&why)) {
            std::fprintf(stderr, "vsftpd is needed: %s\n", qPrintable(why));
            return false;
        }
        FtpTestServer::Options options;
        options.root = served.path();
        options.tls = tls;
        if (!server.start(options)) {
            std::fprintf(stderr, "vsftpd did not start: %s\n", qPrintable(server.errorString()));
            return false;
        }
        return true;
    }
};

// Peak resident memory of this process, in KiB, since the last reset.
inline qint64 peakMemoryKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

inline void resetPeakMemory()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

// Runs the event loop until the client's queue is empty; false on failure,
// with the client's error on stderr.
inline bool waitForDone(QFtp &ftp)
{
    QEventLoop loop;
    bool failed = false;
    QObject::connect(&ftp, &QFtp::done, &loop, [&](bool error) {
        failed = error;
        loop.quit();
    });
    loop.exec();
    if (failed)
        std::fprintf(stderr, "  client: %s\n", qPrintable(ftp.errorString().replace('\n', ' ')));
    return !failed;
}

// What a program run by runChild() cost.
struct ChildResult
{
    int exitCode = -1;
    double seconds = 0; // wall time
    double cpuSeconds = 0; // user + system time of the whole process
    qint64 peakKiB = -1; // peak resident memory
    QByteArray output; // what it wrote to its standard output
};

// Runs a program under /usr/bin/time, which reports its CPU time and peak
// resident memory alone (a direct child of this process would start from
// this process's figure), while this process's event loop goes on serving
// whatever the program talks to. With `killAfter` seconds, a program still
// running then is killed (exit code 137).
inline ChildResult runChild(const QStringList &arguments, int killAfter = 0)
{
    QTemporaryFile report;
    report.open();
    QStringList command { QStringLiteral("-f"), QStringLiteral("%U %S %M"), QStringLiteral("-o"),
                          report.fileName() };
    if (killAfter > 0) {
        command << QStringLiteral("timeout") << QStringLiteral("-s") << QStringLiteral("KILL")
                << QString::number(killAfter);
    }
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer clock;
    clock.start();
    child.start(QStringLiteral("/usr/bin/time"), command + arguments);
    QEventLoop loop;
    QObject::connect(&child, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
                     &QEventLoop::quit);
    if (child.waitForStarted())
        loop.exec();
    ChildResult result;
    result.seconds = clock.nsecsElapsed() / 1e9;
    result.exitCode = child.exitCode();
    result.output = child.readAllStandardOutput();
    // The figures are the last line; a line before it may tell how the program ended.
    const QList<QByteArray> fields = report.readAll().trimmed().split('\n').last().split(' ');
    if (fields.size() == 3) {
        result.cpuSeconds = fields.at(0).toDouble() + fields.at(1).toDouble();
        result.peakKiB = fields.at(2).toLongLong();
    }
    return result;
}

inline double loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().split(' ').value(0).toDouble() : -1;
}

// CPU time (user + system) used so far by a forking server such as vsftpd:
// the server and its live sessions, and the sessions that have ended (whose
// time moves to their parent as they end). Read before and after some work,
// the difference is what the server spent on it.
inline double serverCpuSeconds(qint64 pid)
{
    const QString proc = QStringLiteral("/proc/%1/").arg(pid);
    QFile stat(proc + QStringLiteral("stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    // After the name comes field 3 of stat(5); utime, stime, cutime and cstime are 14 to 17.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    double seconds = 0;
    for (int field = 11; field <= 14 && field < fields.size(); ++field)
        seconds += fields.at(field).toLongLong() / double(sysconf(_SC_CLK_TCK));
    QFile children(proc + QStringLiteral("task/%1/children").arg(pid));
    if (children.open(QIODevice::ReadOnly))
        for (const QByteArray &child : children.readAll().split(' '))
            if (!child.trimmed().isEmpty())
                seconds += serverCpuSeconds(child.trimmed().toLongLong());
    return seconds;
}

// True when the TLS library is mapped into this process.
inline bool tlsLibraryLoaded()
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    return maps.open(QIODevice::ReadOnly) && maps.readAll().contains("libssl");
}

// Figures of several rounds.
struct Range
{
    std::vector<double> values;
    double low() const { return *std::min_element(values.begin(), values.end()); }
    double high() const { return *std::max_element(values.begin(), values.end()); }
    double median() const
    {
        std::vector<double> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        return sorted.at(sorted.size() / 2);
    }
    QString text(int decimals = 3) const
    {
        return QStringLiteral("%1 to %2")
            .arg(low(), 0, 'f', decimals)
            .arg(high(), 0, 'f', decimals);
    }
};

// A file of `size` bytes that does not compress to nothing.
inline bool writeSampleFile(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1024 * 1024, Qt::Uninitialized);
    quint32 state = 12345;
    for (char &byte : block) {
        state = state * 1103515245u + 12345u;
        byte = char(state >> 24);
    }
    for (qint64 written = 0; written < size; written += block.size()) {
        if (file.write(block.constData(), qMin<qint64>(block.size(), size - written)) < 0)
            return false;
    }
    return file.flush();
}

// A benchmark's own upload client, run in a process of its own: logs in
// (over explicit TLS when given the server's certificate fingerprint) and
// uploads every file of a local folder into a remote folder, one put() of a
// QFile each, as the backup run issues them. Prints whether the TLS library
// was loaded; exits 0 when every command succeeded.
//     host port user password local-folder remote-folder [fingerprint]
inline int uploadClient(const QStringList &arguments)
{
    const QDir local(arguments.at(4));
    const QString remote = arguments.at(5);
    QFtp ftp;
    if (arguments.size() > 6) {
        ftp.setTlsMode(QFtp::ExplicitTls);
        ftp.setPinnedCertificate(QFtp::parseFingerprint(arguments.at(6)));
    }
    ftp.connectToHost(arguments.at(0), quint16(arguments.at(1).toUInt()));
    ftp.login(arguments.at(2), arguments.at(3));
    for (const QString &name : local.entryList(QDir::Files, QDir::Name))
        ftp.put(std::make_unique<QFile>(local.filePath(name)), remote + QLatin1Char('/') + name);
    ftp.close();
    const bool ok = waitForDone(ftp);
    std::printf("tls library loaded: %s\n", tlsLibraryLoaded() ? "yes" : "no");
    return ok ? 0 : 1;
}

#endif // BENCHSUPPORT_H
