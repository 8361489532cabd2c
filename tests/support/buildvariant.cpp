#include "mainwindow.h"

// The tests build MainWindow in-process; a test that wants the
// configuration-only behaviour sets this flag first.
bool testConfigurationOnlyBuild = false;

bool isConfigurationOnlyBuild()
{
    return testConfigurationOnlyBuild;
}
