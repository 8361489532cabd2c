#ifndef DESKTOPNOTIFICATION_H
#define DESKTOPNOTIFICATION_H

#include <QString>

#include <functional>

// Shows one notification on the user's desktop through the session bus,
// named after Mirvo. `done` runs from the event loop once the notification
// service has answered, refused, or not answered within a short time; it
// runs at once when there is no session bus, so nothing ever waits on a
// desktop that is not there.
void sendDesktopNotification(const QString &summary, const QString &body,
                             const std::function<void()> &done);

#endif // DESKTOPNOTIFICATION_H
