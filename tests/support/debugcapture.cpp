#include "debugcapture.h"

#include "mirvoprocess.h"

namespace {
DebugCapture *active = nullptr;
} // namespace

DebugCapture::DebugCapture(LineHook onLine)
    : hook(std::move(onLine))
{
    Q_ASSERT(!active);
    active = this;
    previous = qInstallMessageHandler(handle);
}

DebugCapture::~DebugCapture()
{
    qInstallMessageHandler(previous);
    active = nullptr;
}

void DebugCapture::handle(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg || !active)
        return;
    const QString line = MirvoProcess::unquote(message);
    if (active->hook)
        active->hook(line);
    active->captured << line;
}
