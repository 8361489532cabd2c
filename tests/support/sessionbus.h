#ifndef SESSIONBUS_H
#define SESSIONBUS_H

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>

#include <memory>

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
    // Every notification the stand-in was sent so far, in order.
    QList<QJsonObject> notifications();

private:
    qint64 daemonPid = 0;
    QString busAddress;
    std::unique_ptr<QProcess> standIn;
    QByteArray standInOutput;
    QString lastError;
};

#endif // SESSIONBUS_H
