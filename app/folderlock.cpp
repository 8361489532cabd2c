#include "folderlock.h"

#include "linksafefile.h"

#include <QDir>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

FolderLock::FolderLock()
    : folderPath(QDir::currentPath())
    , lockFile(QDir::current().absoluteFilePath(QLatin1String(fileName)))
{
    // A backup may take hours: only a dead holder makes the lock stale, never its age.
    lockFile.setStaleLockTime(0);
}

FolderLock::~FolderLock() = default;

// The lock file is made with O_EXCL, which never follows a link; but a link
// there would be read as a lock of someone else's, or removed as a stale
// one. It is left alone, and said.
FolderLock::Outcome FolderLock::take()
{
    if (lockFile.isLocked())
        return Taken;
    if (isSymbolicLink(QDir(folderPath).filePath(QLatin1String(fileName))))
        return LinkInPlace;
    if (lockFile.tryLock(0))
        return Taken;
    return lockFile.error() == QLockFile::LockFailedError ? HeldElsewhere : Unavailable;
}

void FolderLock::release()
{
    ownFolder.reset();
    lockFile.unlock();
}

QString FolderLock::privateFolder()
{
    if (!ownFolder) {
        ownFolder = std::make_unique<QTemporaryDir>(
            QDir(folderPath).filePath(QLatin1String(privateFolderPrefix) + "XXXXXX"));
        if (!ownFolder->isValid()) {
            ownFolder.reset();
            return QString();
        }
    }
    return ownFolder->path();
}

QString FolderLock::madePrivateFolder() const
{
    return ownFolder ? ownFolder->path() : QString();
}

// Only a real folder of this user's, private as this class makes it, is
// taken for a leftover: a link or anything else of that name stays.
void FolderLock::removeLeftovers()
{
    const QDir folder(folderPath);
    const QStringList names = folder.entryList({ QLatin1String(privateFolderPrefix) + "*" },
                                               QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        const QString path = folder.filePath(name);
        struct stat info;
        if (path == madePrivateFolder() || ::lstat(QFile::encodeName(path).constData(), &info) != 0
            || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()
            || (info.st_mode & 07777) != 0700)
            continue;
        QDir(path).removeRecursively();
    }
}
