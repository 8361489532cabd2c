#ifndef BENCHSUPPORT_H
#define BENCHSUPPORT_H

#include "qftp.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryFile>

#include <cstdio>

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

// True when the TLS library is mapped into this process.
inline bool tlsLibraryLoaded()
{
    QFile maps(QStringLiteral("/proc/self/maps"));
    return maps.open(QIODevice::ReadOnly) && maps.readAll().contains("libssl");
}

#endif // BENCHSUPPORT_H
