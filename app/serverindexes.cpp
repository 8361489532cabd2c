#include "serverindexes.h"

#include <QDir>
#include <QFile>

namespace {

const char *const scratchFolders[] = { "latest", "dated" };

} // namespace

ServerIndexes::ServerIndexes()
{
    for (const char *folder : scratchFolders)
        QDir(scratch.path()).mkdir(QLatin1String(folder));
}

QString ServerIndexes::scratchFile(Folder folder) const
{
    return scratch.filePath(QLatin1String(scratchFolders[folder]) + QLatin1Char('/')
                            + QLatin1String(BackupIndex::fileName));
}

void ServerIndexes::startEmpty(Folder folder)
{
    kept[folder] = Kept();
    kept[folder].loaded = true;
}

bool ServerIndexes::readDownloaded(Folder folder, QString *problem)
{
    Kept &one = kept[folder];
    one = Kept();
    one.loaded = true;
    QFile file(scratchFile(folder));
    if (file.size() > largestIndex) {
        *problem = QStringLiteral("it is too big");
        one.unreadable = true;
    } else if (!file.open(QIODevice::ReadOnly)) {
        *problem = file.errorString();
        one.unreadable = true;
    } else {
        one.unreadable = !one.index.parse(file.readAll(), problem);
    }
    file.close();
    QFile::remove(file.fileName());
    return !one.unreadable;
}

void ServerIndexes::leaveAlone(Folder folder)
{
    kept[folder] = Kept();
    kept[folder].loaded = true;
    kept[folder].unreadable = true;
}

void ServerIndexes::keepListed(Folder folder, const QHash<QString, qint64> &listed)
{
    const QList<IndexEntry> entries = kept[folder].index.entries();
    for (const IndexEntry &entry : entries) {
        if (listed.value(entry.name, -2) != entry.size)
            dropped(folder, entry.name);
    }
}

void ServerIndexes::copied(Folder folder, const IndexEntry &entry)
{
    kept[folder].index.update(entry);
    kept[folder].changed = true;
    kept[folder].touched.insert(entry.name);
}

void ServerIndexes::dropped(Folder folder, const QString &name)
{
    if (!kept[folder].index.find(name))
        return;
    kept[folder].index.remove(name);
    kept[folder].changed = true;
    kept[folder].touched.insert(name);
}

bool ServerIndexes::needsWriting(Folder folder) const
{
    return kept[folder].loaded && kept[folder].changed && !kept[folder].unreadable;
}

bool ServerIndexes::prepareUpload(Folder folder, QString *problem)
{
    const QString file = scratchFile(folder);
    return kept[folder].index.write(file.left(file.lastIndexOf(QLatin1Char('/'))), problem);
}
