#include "files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/time.h>

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    file.write(content);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

void setModified(const QString &path, const QDateTime &time)
{
    struct timeval times[2];
    times[0].tv_sec = times[1].tv_sec = time_t(time.toSecsSinceEpoch());
    times[0].tv_usec = times[1].tv_usec = 0;
    QCOMPARE(::utimes(QFile::encodeName(path).constData(), times), 0);
}

QString datedFolderName()
{
    return QDate::currentDate().toString(QStringLiteral("yyyy_MMM_dd_(ddd)"));
}

QString historyText(const QDateTime &time)
{
    return time.toString(Qt::TextDate).replace(QLatin1Char(' '), QLatin1Char('_'));
}

void withFileSizeLimit(qint64 bytes, const std::function<void()> &action)
{
    struct rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit limited = saved;
    limited.rlim_cur = rlim_t(bytes);
    // Past the limit a write fails with EFBIG instead of killing the process.
    const auto previousSignal = std::signal(SIGXFSZ, SIG_IGN);
    const bool applied = setrlimit(RLIMIT_FSIZE, &limited) == 0;
    if (applied) {
        action();
        setrlimit(RLIMIT_FSIZE, &saved);
    }
    std::signal(SIGXFSZ, previousSignal);
    QVERIFY(applied);
}
