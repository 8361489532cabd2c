#ifndef FOLDERLOCK_H
#define FOLDERLOCK_H

#include <QLockFile>
#include <QString>

#include <memory>

class QTemporaryDir;

// One process at a time works in a folder: two backups at once would both
// write `previous` and the save folders, and a configuration window would
// rewrite config.txt and `previous` under a running backup. The lock is the
// file mirvo.lock beside config.txt; a lock left behind by a process that no
// longer exists is taken over.
//
// The process that works in the folder also has a private folder there for
// what it makes (the archives), where no file of the user's can be in the
// way and no other user can look in.
class FolderLock
{
public:
    static constexpr char fileName[] = "mirvo.lock";
    static constexpr char privateFolderPrefix[] = ".mirvo-archives-";

    enum Outcome {
        Taken,
        HeldElsewhere, // another live process works in the folder
        Unavailable, // no lock can be made here (a read-only folder); work goes on without
        LinkInPlace // mirvo.lock is a link, which is never followed nor removed; work goes on
                    // without
    };

    // The lock of the working directory.
    FolderLock();
    ~FolderLock();

    Outcome take();
    // Frees the folder; the private folder goes with it.
    void release();
    // The folder, as messages name it.
    QString folder() const { return folderPath; }

    // The private folder (mode 0700), made on first call; empty when it
    // cannot be made.
    QString privateFolder();
    // The private folder if it has been made, else empty.
    QString madePrivateFolder() const;
    // Removes the private folders that processes killed while they held the
    // lock left behind. Only for the holder of the lock.
    void removeLeftovers();

private:
    QString folderPath;
    QLockFile lockFile;
    std::unique_ptr<QTemporaryDir> ownFolder;
};

#endif // FOLDERLOCK_H
