#ifndef WINDOWFIXTURE_H
#define WINDOWFIXTURE_H

#include "debugcapture.h"
#include "mainwindowinspector.h"
#include "scratchdirectory.h"

#include "mainwindow.h"

#include <memory>

// A MainWindow built in-process inside a scratch working directory, with the
// debug output captured. Test classes derive from it to share the set-up.
class WindowFixture
{
protected:
    // A fresh scratch directory as current directory, a capture, the standard build.
    bool enterScratch(DebugCapture::LineHook onLine = {});
    // Writes config.txt and builds the window from it (backup mode in the standard build).
    void build(const QByteArray &configuration);
    // Window, capture and directory go, in that order.
    void leaveScratch();
    MainWindowInspector inspect() const { return MainWindowInspector { window.get() }; }

    std::unique_ptr<ScratchDirectory> dir;
    std::unique_ptr<DebugCapture> debug;
    std::unique_ptr<MainWindow> window;
};

#endif // WINDOWFIXTURE_H
