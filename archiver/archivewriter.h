#ifndef ARCHIVEWRITER_H
#define ARCHIVEWRITER_H

#include "options.h"

// The "a" command: writes options.archive holding exactly options.source as
// it is now. Returns the process's exit code.
int addToArchive(const Options &options);

#endif // ARCHIVEWRITER_H
