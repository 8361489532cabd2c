#include "versioncatalogue.h"

#include <QSet>

#include <algorithm>

VersionCatalogue::VersionCatalogue(const QList<BackupDestination *> &destinations,
                                   const QList<ConfiguredEntry> &configured, QObject *parent)
    : QObject(parent)
    , destinations(destinations)
    , configured(configured)
{ }

QString VersionCatalogue::backupNameOf(const IndexEntry &copy,
                                       const QList<ConfiguredEntry> &configured)
{
    for (const ConfiguredEntry &entry : configured) {
        if (entry.storedName() == copy.name)
            return entry.name;
    }
    // A zipped file's or folder's archive is its name and ".zip"; a copy
    // unlisted in any index keeps the name it is stored under.
    if (copy.kind != IndexEntry::File && !copy.sha256.isEmpty() && copy.name.endsWith(".zip"))
        return copy.name.left(copy.name.size() - 4);
    return copy.name;
}

QList<ConfiguredEntry> VersionCatalogue::entries() const
{
    QList<ConfiguredEntry> held;
    QSet<QString> seen;
    for (const StoredVersion &version : found) {
        if (!seen.contains(version.name)) {
            seen.insert(version.name);
            held << ConfiguredEntry { version.copy.sourcePath, version.name, version.copy.kind };
        }
    }
    return held;
}

void VersionCatalogue::start()
{
    found.clear();
    current = -1;
    startDestination();
}

void VersionCatalogue::cancel()
{
    for (const QMetaObject::Connection &connection : qAsConst(connections))
        disconnect(connection);
    connections.clear();
    if (current >= 0 && current < destinations.size())
        destinations.at(current)->cancel();
    current = destinations.size();
}

void VersionCatalogue::startDestination()
{
    for (const QMetaObject::Connection &connection : qAsConst(connections))
        disconnect(connection);
    connections.clear();
    if (current >= 0) {
        sortVersions();
        emit destinationRead();
    }
    if (++current >= destinations.size()) {
        emit finished();
        return;
    }
    BackupDestination *destination = destinations.at(current);
    connections << connect(destination, &BackupDestination::foldersListed, this,
                           &VersionCatalogue::listed)
                << connect(destination, &BackupDestination::folderRead, this,
                           &VersionCatalogue::read)
                << connect(destination, &BackupDestination::failed, this,
                           &VersionCatalogue::destinationFailed);
    destination->listFolders();
}

void VersionCatalogue::listed(const QList<DayFolder> &folders)
{
    foldersToRead = folders;
    readNextFolder();
}

void VersionCatalogue::readNextFolder()
{
    if (foldersToRead.isEmpty()) {
        startDestination();
        return;
    }
    destinations.at(current)->readFolder(foldersToRead.takeFirst());
}

void VersionCatalogue::read(const FolderHoldings &holdings)
{
    const QString label = destinations.at(current)->label();
    for (const IndexEntry &copy : holdings.copies)
        found << StoredVersion { backupNameOf(copy, configured), holdings.folder, label, copy };
    readNextFolder();
}

// A folder that cannot be read leaves the others of its destination to be
// read; a destination that cannot be listed, the other destinations.
void VersionCatalogue::destinationFailed(const QString &problem)
{
    emit errorLine(problem);
    readNextFolder();
}

void VersionCatalogue::sortVersions()
{
    QHash<QString, int> rank;
    for (const ConfiguredEntry &entry : qAsConst(configured))
        rank.insert(entry.name, rank.size());
    std::stable_sort(found.begin(), found.end(),
                     [&rank](const StoredVersion &a, const StoredVersion &b) {
                         const int rankA = rank.value(a.name, rank.size());
                         const int rankB = rank.value(b.name, rank.size());
                         if (rankA != rankB)
                             return rankA < rankB;
                         if (a.name != b.name)
                             return a.name < b.name;
                         if (a.folder.isLatest() != b.folder.isLatest())
                             return a.folder.isLatest();
                         return a.folder.day > b.folder.day;
                     });
}
