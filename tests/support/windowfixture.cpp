#include "windowfixture.h"

#include "files.h"

extern bool testConfigurationOnlyBuild;

bool WindowFixture::enterScratch(DebugCapture::LineHook onLine)
{
    dir = std::make_unique<ScratchDirectory>();
    testConfigurationOnlyBuild = false;
    debug = std::make_unique<DebugCapture>(std::move(onLine));
    return dir->isValid() && dir->isCurrent();
}

void WindowFixture::build(const QByteArray &configuration)
{
    writeFile(QStringLiteral("config.txt"), configuration);
    window = std::make_unique<MainWindow>();
}

void WindowFixture::leaveScratch()
{
    window.reset();
    debug.reset();
    testConfigurationOnlyBuild = false;
    dir.reset();
}
