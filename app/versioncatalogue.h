#ifndef VERSIONCATALOGUE_H
#define VERSIONCATALOGUE_H

#include "backupdestination.h"
#include "restoreconfiguration.h"

#include <QList>
#include <QObject>
#include <QString>

// One copy kept somewhere: what --versions prints one line for.
struct StoredVersion
{
    QString name; // the backup name
    DayFolder folder;
    QString destination; // the destination's label
    IndexEntry copy;
};

// Every copy that the destinations hold, read folder by folder. The
// versions come grouped by backup name, the names of config.txt first in
// its order, then the others by name; within a name the newest first (the
// copy in latest/, then by day), and for one day in the destinations' order.
class VersionCatalogue : public QObject
{
    Q_OBJECT

public:
    // The destinations are the caller's and outlive the catalogue.
    VersionCatalogue(const QList<BackupDestination *> &destinations,
                     const QList<ConfiguredEntry> &configured, QObject *parent = nullptr);

    void start();
    void cancel();
    const QList<StoredVersion> &versions() const { return found; }
    // Each backup name the versions hold, in their order, with the kind and
    // source path its newest copy gives: what a save folder holds, also
    // without config.txt.
    QList<ConfiguredEntry> entries() const;

    // The backup name of `copy`: an archive's without ".zip".
    static QString backupNameOf(const IndexEntry &copy, const QList<ConfiguredEntry> &configured);

signals:
    // A destination or folder that could not be read; the others are read.
    void errorLine(const QString &text);
    // One more destination read: versions() holds what the destinations
    // read so far hold, in order, so that a slow one holds back no other.
    void destinationRead();
    void finished();

private:
    void startDestination();
    void readNextFolder();
    void listed(const QList<DayFolder> &folders);
    void read(const FolderHoldings &holdings);
    void destinationFailed(const QString &problem);
    void sortVersions();

    QList<BackupDestination *> destinations;
    QList<ConfiguredEntry> configured;
    int current = -1;
    QList<DayFolder> foldersToRead;
    QList<StoredVersion> found;
    QList<QMetaObject::Connection> connections;
};

#endif // VERSIONCATALOGUE_H
