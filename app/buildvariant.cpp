#include "mainwindow.h"

// Compiled once per program: the configuration-only build always opens the
// configuration window, whatever is in the working directory.
bool isConfigurationOnlyBuild()
{
#ifdef MIRVO_CONFIGURATION_ONLY
    return true;
#else
    return false;
#endif
}
