#ifndef BENCHSUPPORT_H
#define BENCHSUPPORT_H

#include "qftp.h"

#include <QEventLoop>
#include <QFile>

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

#endif // BENCHSUPPORT_H
