#ifndef DEBUGCAPTURE_H
#define DEBUGCAPTURE_H

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>

// While it lives, takes over the Qt message handler: every qDebug line is
// kept as the string that was logged, every other message is dropped. One
// at a time; the previous handler is back when it goes away.
class DebugCapture
{
public:
    using LineHook = std::function<void(const QString &line)>;

    explicit DebugCapture(LineHook onLine = {}); // onLine: called for each line as it comes
    ~DebugCapture();
    DebugCapture(const DebugCapture &) = delete;
    DebugCapture &operator=(const DebugCapture &) = delete;

    QStringList &lines() { return captured; } // every line so far, in order

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message);

    QStringList captured;
    LineHook hook;
    QtMessageHandler previous = nullptr;
};

#endif // DEBUGCAPTURE_H
