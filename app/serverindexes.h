#ifndef SERVERINDEXES_H
#define SERVERINDEXES_H

#include "backupindex.h"

#include <QSet>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// The indexes of a server's latest/ and today's folder during a backup:
// read once, when the run lists what the folders hold (a folder without
// one starts an empty index), kept up to date with the copies that reach
// the server, and uploaded whole at the end of the run. Downloads and
// uploads go through files of a private scratch folder, so that what a
// server sends is bounded by the disk, not by memory.
class ServerIndexes
{
public:
    enum Folder { Latest, Dated };

    // An index bigger than this is not read, and left as it is on the server.
    static constexpr qint64 largestIndex = 64 * 1024 * 1024;

    ServerIndexes();

    // Not read yet in this run.
    bool needsReading(Folder folder) const { return !kept[folder].loaded; }
    // Where the index of `folder` is downloaded to, and uploaded from.
    QString scratchFile(Folder folder) const;
    // The folder holds no index: it starts empty.
    void startEmpty(Folder folder);
    // The index was downloaded to scratchFile(); false, with `problem`
    // set, when it cannot be read: it is then left alone on the server.
    bool readDownloaded(Folder folder, QString *problem);
    void leaveAlone(Folder folder);
    // Drops the lines of copies that the folder's listing (name -> size, -1
    // for what is not a plain file) does not show as a file of their size:
    // an index that a run could not upload, or copies removed by hand.
    void keepListed(Folder folder, const QHash<QString, qint64> &listed);

    // The copy of `entry.name` in `folder` is now the one `entry` describes.
    void copied(Folder folder, const IndexEntry &entry);
    // The copy of `name` in `folder` is not known to be whole any more.
    void dropped(Folder folder, const QString &name);

    // Changed since read, and not left alone.
    bool needsWriting(Folder folder) const;
    // The names whose lines this run changed.
    QStringList changedNames(Folder folder) const { return kept[folder].touched.values(); }
    // Left alone, but copies of this run went into its folder: it does
    // not list them.
    bool missesCopies(Folder folder) const
    {
        return kept[folder].unreadable && kept[folder].changed;
    }
    // Writes the index to scratchFile(), for its upload.
    bool prepareUpload(Folder folder, QString *problem);
    void uploaded(Folder folder) { kept[folder].changed = false; }

private:
    struct Kept
    {
        BackupIndex index;
        bool loaded = false;
        bool unreadable = false;
        bool changed = false;
        QSet<QString> touched; // names whose lines this run changed
    };
    QTemporaryDir scratch;
    Kept kept[2];
};

#endif // SERVERINDEXES_H
