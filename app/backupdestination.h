#ifndef BACKUPDESTINATION_H
#define BACKUPDESTINATION_H

#include "backupindex.h"

#include <QDate>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

// The latest/ folder or one dated folder of a destination.
struct DayFolder
{
    QString name; // "latest", or the dated folder's own name
    QDate day; // invalid for latest/

    bool isLatest() const { return !day.isValid(); }
    // "latest", or the day as 2026-12-05.
    QString dayText() const;

    // The folder of that name: latest/, or a dated folder named in the
    // system's language or in English; nothing for any other name.
    static std::optional<DayFolder> named(const QString &name);
    // latest/ first, then the days from the newest.
    static void sortNewestFirst(QList<DayFolder> &folders);
};

// What one day folder holds: the copies its index lists, and the files it
// holds without a line there (copies made before there were indexes), by
// name, with the size the folder shows and no digest, time or source.
struct FolderHoldings
{
    DayFolder folder;
    QList<IndexEntry> copies;

    const IndexEntry *find(const QString &storedName) const;
};

// A save folder or a server, as a restore reads it. Every call answers
// later with a signal (a server answers once the network has), so that a
// window stays responsive; one call at a time. `failed` answers any call
// that could not be done.
class BackupDestination : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // How lines and --from name it: a save folder's path, a server's
    // "host - remote path".
    virtual QString label() const = 0;

    // Answered by foldersListed, latest/ first, then newest first.
    virtual void listFolders() = 0;
    // Answered by folderRead.
    virtual void readFolder(const DayFolder &folder) = 0;
    // The same, for a caller that looks only for copies stored under one of
    // `names`: the holdings may leave out the other copies. A destination
    // where reading a whole folder is dear (a server) asks for those names
    // alone, and reads nothing more of a folder that holds none of them.
    virtual void readFolderFor(const DayFolder &folder, const QStringList &names)
    {
        Q_UNUSED(names)
        readFolder(folder);
    }
    // Copies the stored bytes of `copy` in `folder` to `localFile`, which
    // it creates. Answered by fetched with the SHA-256 of the bytes
    // written, after progress along the way.
    virtual void fetch(const DayFolder &folder, const IndexEntry &copy, const QString &localFile)
        = 0;
    // Drops the call under way: no answer follows, and a file being
    // fetched is left for the caller to remove.
    virtual void cancel() = 0;

signals:
    void foldersListed(const QList<DayFolder> &folders);
    void folderRead(const FolderHoldings &holdings);
    void progress(qint64 done, qint64 total);
    void fetched(const QByteArray &sha256);
    void failed(const QString &problem);
};

#endif // BACKUPDESTINATION_H
