#include "mirvoprocess.h"

#include <QDate>
#include <QDeadlineTimer>
#include <QLocale>
#include <QProcessEnvironment>

MirvoProcess::MirvoProcess(const QString &workingDirectory, Program program)
    : workDir(workingDirectory)
    , which(program)
{ }

MirvoProcess::~MirvoProcess()
{
    stop();
}

QString MirvoProcess::binary(Program program)
{
    return program == Standard ? QStringLiteral(MIRVO_BINARY) : QStringLiteral(MIRVO_CONFIG_BINARY);
}

QString MirvoProcess::datedFolderName()
{
    return QLocale::c().toString(QDate::currentDate(), QStringLiteral("yyyy_MMM_dd_(ddd)"));
}

bool MirvoProcess::start(const QStringList &extraEnvironment, const QStringList &arguments)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    env.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
    env.insert(QStringLiteral("QT_MESSAGE_PATTERN"), QStringLiteral("%{message}"));
    for (const QString &entry : extraEnvironment) {
        const int eq = entry.indexOf(QLatin1Char('='));
        if (eq < 0)
            env.remove(entry);
        else
            env.insert(entry.left(eq), entry.mid(eq + 1));
    }
    process = std::make_unique<QProcess>();
    process->setProcessEnvironment(env);
    process->setWorkingDirectory(workDir);
    // The debug output comes on stderr; stdout is kept apart.
    process->setReadChannel(QProcess::StandardError);
    process->start(executable.isEmpty() ? binary(which) : executable, arguments);
    return process->waitForStarted(10000);
}

bool MirvoProcess::waitForExit(int timeoutMs)
{
    if (!process)
        return false;
    const bool ended = process->waitForFinished(timeoutMs);
    collect();
    return ended && process->exitStatus() == QProcess::NormalExit;
}

QString MirvoProcess::standardOutput()
{
    collect();
    return QString::fromUtf8(output);
}

void MirvoProcess::stop()
{
    if (!process)
        return;
    collect();
    if (process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(5000);
    }
    collect();
    process.reset();
}

QString MirvoProcess::unquote(const QString &debugLine)
{
    QString line = debugLine;
    if (line.size() < 2 || !line.startsWith(QLatin1Char('"')) || !line.endsWith(QLatin1Char('"')))
        return line;
    line = line.mid(1, line.size() - 2);
    QString out;
    out.reserve(line.size());
    for (int i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (c != QLatin1Char('\\') || i + 1 >= line.size()) {
            out += c;
            continue;
        }
        const QChar next = line.at(++i);
        switch (next.unicode()) {
        case 'n':
            out += QLatin1Char('\n');
            break;
        case 't':
            out += QLatin1Char('\t');
            break;
        case 'r':
            out += QLatin1Char('\r');
            break;
        case 'u':
            out += QChar(line.mid(i + 1, 4).toUShort(nullptr, 16));
            i += 4;
            break;
        default:
            out += next;
            break;
        }
    }
    return out;
}

void MirvoProcess::collect()
{
    if (!process)
        return;
    pending += process->readAllStandardError();
    output += process->readAllStandardOutput();
    int newline;
    while ((newline = pending.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(pending.left(newline));
        pending.remove(0, newline + 1);
        raw += line + QLatin1Char('\n');
        if (line.startsWith(QLatin1Char('"')))
            parsed << unquote(line);
    }
}

bool MirvoProcess::waitForLine(const QString &line, int timeoutMs, bool prefix)
{
    QDeadlineTimer deadline(timeoutMs);
    int checked = 0;
    for (;;) {
        collect();
        for (; checked < parsed.size(); ++checked) {
            const QString &l = parsed.at(checked);
            if (prefix ? l.startsWith(line) : l == line)
                return true;
        }
        if (deadline.hasExpired() || !process || process->state() == QProcess::NotRunning)
            return false;
        process->waitForReadyRead(50);
    }
}

QStringList MirvoProcess::lines()
{
    collect();
    return parsed;
}

QString MirvoProcess::rawOutput()
{
    collect();
    return raw;
}
