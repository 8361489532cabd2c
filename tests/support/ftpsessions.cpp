#include "ftpsessions.h"

#include "waituntil.h"

#include <QtTest>

FtpSignalRecorder::FtpSignalRecorder(QFtp *client)
{
    connect(client, &QFtp::commandStarted, this,
            [this](int id) { events << QStringLiteral("started %1").arg(id); });
    connect(client, &QFtp::commandFinished, this, [this](int id, bool error) {
        events << QStringLiteral("finished %1 %2").arg(id).arg(error);
    });
    connect(client, &QFtp::done, this, [this](bool error) {
        events << QStringLiteral("done %1").arg(error);
        ++doneCount;
    });
    connect(client, &QFtp::stateChanged, this,
            [this](int state) { events << QStringLiteral("state %1").arg(state); });
    connect(client, &QFtp::rawCommandReply, this, [this](int code, const QString &text) {
        events << QStringLiteral("raw %1 %2").arg(code).arg(text);
    });
    connect(client, &QFtp::listInfo, this, [this](const QUrlInfo &info) {
        entries[info.name()] = info.isDir();
        names << info.name();
    });
}

FtpSignalRecorder::FtpSignalRecorder(QFtpPI *interpreter)
{
    connect(interpreter, &QFtpPI::connectState, this,
            [this](int state) { events << QStringLiteral("state %1").arg(state); });
    connect(interpreter, &QFtpPI::finished, this, [this](const QString &text) {
        events << QStringLiteral("finished ") + text;
        ++finishedCount;
    });
    connect(interpreter, QOverload<int, const QString &>::of(&QFtpPI::error), this,
            [this](int code, const QString &text) {
                events << QStringLiteral("error %1 %2").arg(code).arg(text);
                errors << text;
                ++errorCount;
            });
    connect(interpreter, &QFtpPI::rawFtpReply, this, [this](int code, const QString &text) {
        events << QStringLiteral("reply %1 %2").arg(code).arg(text);
        replies << qMakePair(code, text);
    });
    connect(interpreter, &QFtpPI::listInfo, this, [this](const QUrlInfo &info) {
        entries[info.name()] = info.isDir();
        names << info.name();
    });
    connect(interpreter, &QFtpPI::dataTransferProgress, this,
            [this](qint64 done, qint64 total) { progress << qMakePair(done, total); });
    connect(interpreter, &QFtpPI::readyRead, this, [this] { ++readyReads; });
    connect(&QFtpPITestAccess::dataProcess(*interpreter), &QFtpDTP::connectState, this,
            [this](int state) { dataStates << state; });
}

QStringList FtpSignalRecorder::commandEvents() const
{
    QStringList result;
    for (const QString &event : events) {
        if (!event.startsWith(QLatin1String("state")) && !event.startsWith(QLatin1String("raw")))
            result << event;
    }
    return result;
}

QStringList FtpSignalRecorder::ends() const
{
    QStringList result;
    for (const QString &event : events) {
        if (event.startsWith(QLatin1String("finished")) || event.startsWith(QLatin1String("error")))
            result << event;
    }
    return result;
}

bool FtpSignalRecorder::waitForDone(int count, int timeoutMs)
{
    const int target = count < 0 ? doneCount + 1 : count;
    return waitUntil([&] { return doneCount >= target; }, timeoutMs);
}

bool FtpSignalRecorder::waitForEnd(int before, int timeoutMs)
{
    return QTest::qWaitFor([&] { return finishedCount + errorCount > before; }, timeoutMs);
}

bool InterpreterSession::greet()
{
    peer.send("220 ready\r\n");
    pi.connectToHost(peer.address(), peer.port());
    return QTest::qWaitFor([this] { return recorder.finishedCount == 1; }, 5000);
}

bool InterpreterSession::run(const QStringList &commands)
{
    const int before = recorder.finishedCount + recorder.errorCount;
    pi.sendCommands(commands);
    return recorder.waitForEnd(before);
}
