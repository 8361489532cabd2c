#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

// Fixtures shared by every test: real FTP servers on loopback, the real
// binaries run headless, the scripted FTP peer and the FTP clients that talk
// to it with their signals recorded, files laid out and read back,
// a scratch working directory, the debug output captured, a wait that keeps
// the event loop running at full speed, directory entries as text, a window
// built in-process in a scratch directory, and a look inside that window.
#include "support/debugcapture.h"
#include "support/files.h"
#include "support/ftpsessions.h"
#include "support/ftptestserver.h"
#include "support/mainwindowinspector.h"
#include "support/mirvoprocess.h"
#include "support/scratchdirectory.h"
#include "support/scriptedpeer.h"
#include "support/urlinfotext.h"
#include "support/waituntil.h"
#include "support/windowfixture.h"

// Set before building a MainWindow in-process to get the configuration-only build.
extern bool testConfigurationOnlyBuild;

// The last line of a run that missed `missed` entries (none: a complete
// run), as the debug output gives it.
inline QString outcomeLine(int missed)
{
    if (missed == 0)
        return QStringLiteral("Backup complete");
    return QStringLiteral("Backup incomplete: %1 will be tried again next run")
        .arg(missed == 1 ? QStringLiteral("1 entry") : QStringLiteral("%1 entries").arg(missed));
}

#endif // TESTSUPPORT_H
