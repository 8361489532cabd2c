#ifndef SAVEFOLDERINDEXES_H
#define SAVEFOLDERINDEXES_H

#include "backupindex.h"
#include "entrydigest.h"

#include <QElapsedTimer>
#include <QList>
#include <QString>

#include <memory>

// The indexes of a save folder's latest/ and today's folder while a run
// copies into them. Each is read once, kept up to date with the copies and
// written whole after each entry, so that a run that is killed leaves
// indexes that list only copies that are there as listed. An index too big
// to be rewritten after every entry cheaply is rewritten at most once a
// second, and at the end of the run.
class SaveFolderIndexes
{
public:
    enum Folder { Latest, Dated };

    SaveFolderIndexes(const QString &saveFolder, const QString &datedFolder);

    // The copy named `entry.name` in `folder` is now the one `entry`
    // describes, with the digest `digest` will give: until settle(), the
    // old copy's line is gone and the new one not yet there.
    void copied(Folder folder, const IndexEntry &entry, const std::shared_ptr<EntryDigest> &digest);
    // Lists the copies whose digests were awaited (a copy whose file could
    // not be hashed stays unlisted), then writes.
    QStringList settle(bool now);
    // Writes the indexes that changed; without `now`, a big one only when
    // its last writing is a second old. Empty, or the lines saying what
    // could not be read or written.
    QStringList write(bool now);

    // The index's own name and every name the indexes of the dated folders
    // of `saveFolder` list: what a backup may have put in a dated folder,
    // also for entries that config.txt no longer names.
    static QStringList namesInDatedFolders(const QString &saveFolder);

private:
    struct Kept
    {
        QString folder;
        BackupIndex index;
        bool loaded = false;
        bool unreadable = false; // left alone: it may be of a later format
        bool changed = false;
        QElapsedTimer lastWritten;
        QList<std::pair<IndexEntry, std::shared_ptr<EntryDigest>>> awaited;
    };
    Kept kept[2];
    QStringList problems;
};

#endif // SAVEFOLDERINDEXES_H
