#ifndef SESSIONBUS_H
#define SESSIONBUS_H

#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

// A private session bus for one test, with a stand-in for the desktop's
// notification service on it (notification-standin.py). Both are stopped by
// their PIDs when the object goes away.
class SessionBus
{
public:
    SessionBus() = default;
    ~SessionBus();
    SessionBus(const SessionBus &) = delete;
    SessionBus &operator=(const SessionBus &) = delete;

    bool start();
    QString errorString() const { return lastError; }
    // For DBUS_SESSION_BUS_ADDRESS.
    QString address() const { return busAddress; }
    // Application name, summary and body of every notification sent so far.
    QList<QStringList> notifications();

private:
    qint64 daemonPid = 0;
    QString busAddress;
    QProcess standIn;
    QByteArray received;
    QString lastError;
};

#endif // SESSIONBUS_H
