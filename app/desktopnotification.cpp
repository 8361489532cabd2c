#include "desktopnotification.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QFileInfo>
#include <QTimer>
#include <QVariantMap>

namespace {

// A notification service answers at once; one that does not is not waited for.
const int answerTimeoutMs = 1500;

// The user's session bus, or none. Without DBUS_SESSION_BUS_ADDRESS only the
// standard socket of the user's runtime folder is tried: the bus library
// would otherwise try to launch a bus of its own.
QDBusConnection sessionBus()
{
    if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        return QDBusConnection::sessionBus();
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const QString socket = runtime + QStringLiteral("/bus");
    if (runtime.isEmpty() || !QFileInfo::exists(socket))
        return QDBusConnection(QString());
    return QDBusConnection::connectToBus(QStringLiteral("unix:path=") + socket,
                                         QStringLiteral("mirvo-notification"));
}

} // namespace

void sendDesktopNotification(const QString &summary, const QString &body,
                             const std::function<void()> &done)
{
    const QDBusConnection bus = sessionBus();
    if (!bus.isConnected()) {
        QTimer::singleShot(0, done);
        return;
    }
    QDBusMessage notify = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    const QVariantMap hints { { QStringLiteral("desktop-entry"), QStringLiteral("mirvo") } };
    // Notification services may read the body as markup; paths are shown as they are.
    notify << QStringLiteral("Mirvo") << uint(0) << QStringLiteral("mirvo") << summary
           << body.toHtmlEscaped() << QStringList() << hints << int(-1);
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(notify, answerTimeoutMs));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [watcher, done] {
        watcher->deleteLater();
        done();
    });
}
