#ifndef FOLDERLOCK_H
#define FOLDERLOCK_H

#include <QLockFile>
#include <QString>

// One process at a time works in a folder: two backups at once would both
// write `previous` and the save folders, and a configuration window would
// rewrite config.txt and `previous` under a running backup. The lock is the
// file mirvo.lock beside config.txt; a lock left behind by a process that no
// longer exists is taken over.
class FolderLock
{
public:
    static constexpr char fileName[] = "mirvo.lock";

    enum Outcome {
        Taken,
        HeldElsewhere, // another live process works in the folder
        Unavailable // no lock can be made here (a read-only folder); work goes on without
    };

    // The lock of the working directory.
    FolderLock();

    Outcome take();
    void release() { lockFile.unlock(); }
    // The folder, as messages name it.
    QString folder() const { return folderPath; }

private:
    QString folderPath;
    QLockFile lockFile;
};

#endif // FOLDERLOCK_H
