#include "sessionbus.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QProcessEnvironment>

#include <csignal>

SessionBus::~SessionBus()
{
    if (standIn) {
        standIn->kill();
        standIn->waitForFinished(5000);
    }
    if (daemonPid > 0)
        ::kill(pid_t(daemonPid), SIGTERM);
}

bool SessionBus::start()
{
    QProcess daemon;
    daemon.start(QStringLiteral("dbus-daemon"),
                 { "--session", "--fork", "--print-address=1", "--print-pid=1" });
    if (!daemon.waitForFinished(10000) || daemon.exitCode() != 0) {
        lastError = "dbus-daemon did not start: " + daemon.errorString()
            + QString::fromLocal8Bit(daemon.readAllStandardError());
        return false;
    }
    const QList<QByteArray> lines = daemon.readAllStandardOutput().trimmed().split('\n');
    if (lines.size() != 2) {
        lastError = QStringLiteral("dbus-daemon printed no address and PID");
        return false;
    }
    busAddress = QString::fromLocal8Bit(lines.at(0).trimmed());
    daemonPid = lines.at(1).trimmed().toLongLong();

    standIn = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), busAddress);
    standIn->setProcessEnvironment(env);
    standIn->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // The system's interpreter: the one that has the D-Bus and GLib modules.
    standIn->start(QStringLiteral("/usr/bin/python3"),
                   { QStringLiteral(MIRVO_TEST_SUPPORT_DIR "/notification-standin.py") });
    QDeadlineTimer deadline(10000);
    while (!standInOutput.contains("READY\n")) {
        if (deadline.hasExpired() || standIn->state() == QProcess::NotRunning) {
            lastError = QStringLiteral("the notification stand-in did not start");
            return false;
        }
        standIn->waitForReadyRead(100);
        standInOutput += standIn->readAllStandardOutput();
    }
    standInOutput.remove(0, standInOutput.indexOf("READY\n") + 6);
    return true;
}

QList<QJsonObject> SessionBus::notifications()
{
    // The stand-in prints a notification before it answers it, so what a
    // program that has ended sent is in the pipe by now.
    while (standIn && standIn->waitForReadyRead(100))
        standInOutput += standIn->readAllStandardOutput();
    QList<QJsonObject> received;
    for (const QByteArray &line : standInOutput.split('\n')) {
        if (!line.isEmpty())
            received << QJsonDocument::fromJson(line).object();
    }
    return received;
}
