#include "waituntil.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QEventLoop loop;
    QTimer tick;
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (condition() || clock.hasExpired(timeoutMs))
            loop.quit();
    });
    tick.start(5);
    if (!condition())
        loop.exec();
    return condition();
}
