#include "folderlock.h"

#include <QDir>

FolderLock::FolderLock()
    : folderPath(QDir::currentPath())
    , lockFile(QDir::current().absoluteFilePath(QLatin1String(fileName)))
{
    // A backup may take hours: only a dead holder makes the lock stale, never its age.
    lockFile.setStaleLockTime(0);
}

FolderLock::Outcome FolderLock::take()
{
    if (lockFile.isLocked() || lockFile.tryLock(0))
        return Taken;
    return lockFile.error() == QLockFile::LockFailedError ? HeldElsewhere : Unavailable;
}
