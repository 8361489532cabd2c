#include "sessionbus.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QProcessEnvironment>

#include <csignal>

SessionBus::~SessionBus()
{
    standIn.kill();
    standIn.waitForFinished(5000);
    if (daemonPid > 0)
        ::kill(pid_t(daemonPid), SIGTERM);
}

bool SessionBus::start()
{
    QProcess daemon;
    daemon.start(QStringLiteral("dbus-daemon"),
                 { "--session", "--fork", "--print-address=1", "--print-pid=1" });
    const QList<QByteArray> printed = daemon.waitForFinished(10000)
        ? daemon.readAllStandardOutput().trimmed().split('\n')
        : QList<QByteArray>();
    if (printed.size() != 2) {
        lastError = "dbus-daemon did not start: " + daemon.errorString();
        return false;
    }
    busAddress = QString::fromLocal8Bit(printed.at(0).trimmed());
    daemonPid = printed.at(1).trimmed().toLongLong();

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), busAddress);
    standIn.setProcessEnvironment(env);
    standIn.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // The system's interpreter: the one that has the D-Bus and GLib modules.
    standIn.start(QStringLiteral("/usr/bin/python3"),
                  { QStringLiteral(MIRVO_TEST_SUPPORT_DIR "/notification-standin.py") });
    const QDeadlineTimer deadline(10000);
    while (!received.startsWith("READY\n")) {
        if (deadline.hasExpired() || standIn.state() == QProcess::NotRunning) {
            lastError = QStringLiteral("the notification stand-in did not start");
            return false;
        }
        standIn.waitForReadyRead(100);
        received += standIn.readAllStandardOutput();
    }
    received.remove(0, 6);
    return true;
}

QList<QStringList> SessionBus::notifications()
{
    // The stand-in prints a notification before it answers it, so what a
    // program that has ended sent is in the pipe by now.
    while (standIn.waitForReadyRead(100))
        received += standIn.readAllStandardOutput();
    QList<QStringList> sent;
    for (const QByteArray &line : received.split('\n')) {
        if (!line.isEmpty())
            sent << QJsonDocument::fromJson(line).toVariant().toStringList();
    }
    return sent;
}
