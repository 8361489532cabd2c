#ifndef BENCHSUPPORT_H
#define BENCHSUPPORT_H

#include "qftp.h"
#include "support/ftptestserver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
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

// Prose of `size` bytes: words of a made-up vocabulary drawn with the
// frequencies of a natural language (Zipf), in sentences and paragraphs, so
// that deflate finds what it finds in a person's documents.
inline QByteArray proseText(QRandomGenerator &random, int size)
{
    static const char *const syllables[]
        = { "ka", "to", "ri", "en",  "an",  "ste", "pla", "mor", "qui", "lo",
            "ve", "sa", "ne", "tor", "ing", "ed",  "al",  "con", "pre", "dis",
            "ma", "li", "us", "er",  "on",  "th",  "wh",  "ou",  "ea",  "ch" };
    static std::vector<QByteArray> words;
    static std::vector<double> cumulative;
    if (words.empty()) {
        QRandomGenerator vocabulary(1);
        double sum = 0;
        for (int i = 0; i < 6000; ++i) {
            QByteArray word;
            for (int n = 1 + vocabulary.bounded(4); n > 0; --n)
                word += syllables[vocabulary.bounded(30)];
            words.push_back(word);
            sum += 1.0 / (i + 1);
            cumulative.push_back(sum);
        }
        for (double &value : cumulative)
            value /= sum;
    }
    QByteArray text;
    text.reserve(size + 64);
    int inSentence = 0;
    while (text.size() < size) {
        const double draw = random.generateDouble();
        const size_t index = size_t(std::lower_bound(cumulative.begin(), cumulative.end(), draw)
                                    - cumulative.begin());
        QByteArray word = words[std::min(index, words.size() - 1)];
        if (inSentence++ == 0)
            word[0] = char(word[0] - 32);
        text += word;
        if (inSentence > 6 && random.bounded(10) == 0) {
            text += random.bounded(6) == 0 ? ".\n\n" : ". ";
            inSentence = 0;
        } else {
            text += random.bounded(12) == 0 ? ", " : random.bounded(14) == 0 ? "\n" : " ";
        }
    }
    text.truncate(size);
    return text;
}

// A folder like a person's pictures and documents, 394 MiB: in `pictures/`
// 60 files of 5 MiB that do not compress (random bytes, as photos and
// videos are to deflate), in `documents/` 2,000 text files of 43 to 53 KiB.
// Documents only with `picturesToo` false. The same folder every time.
inline bool writePicturesAndDocuments(const QString &folder, bool picturesToo = true)
{
    QRandomGenerator random(2026);
    const QDir dir(folder);
    if (!dir.mkpath(QStringLiteral("pictures")) || !dir.mkpath(QStringLiteral("documents")))
        return false;
    QByteArray noise(5 * 1024 * 1024, Qt::Uninitialized);
    for (int i = 1; picturesToo && i <= 60; ++i) {
        random.fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
        QFile file(
            dir.filePath(QStringLiteral("pictures/IMG_%1.jpg").arg(i, 4, 10, QLatin1Char('0'))));
        if (!file.open(QIODevice::WriteOnly) || file.write(noise) != noise.size())
            return false;
    }
    for (int i = 1; i <= 2000; ++i) {
        QFile file(
            dir.filePath(QStringLiteral("documents/note-%1.txt").arg(i, 4, 10, QLatin1Char('0'))));
        const QByteArray text = proseText(random, 43 * 1024 + random.bounded(10 * 1024));
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
            return false;
    }
    return true;
}

// Reads every file under `folder` once, so that the page cache holds them.
inline void warmCache(const QString &folder)
{
    QProcess::execute(QStringLiteral("sh"),
                      { QStringLiteral("-c"),
                        QStringLiteral("find \"$1\" -type f -exec cat {} + >/dev/null"),
                        QStringLiteral("sh"), folder });
}

#endif // BENCHSUPPORT_H
