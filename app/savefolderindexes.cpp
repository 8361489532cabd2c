#include "savefolderindexes.h"

#include "datedfolders.h"

#include <QDir>

namespace {

// An index of a few thousand lines costs a millisecond to rewrite.
const int bigIndexEntries = 2000;
const qint64 bigIndexInterval = 1000;

} // namespace

SaveFolderIndexes::SaveFolderIndexes(const QString &saveFolder, const QString &datedFolder)
{
    kept[Latest].folder = saveFolder + QStringLiteral("/latest");
    kept[Dated].folder = saveFolder + QLatin1Char('/') + datedFolder;
}

void SaveFolderIndexes::copied(Folder folder, const IndexEntry &entry,
                               const std::shared_ptr<EntryDigest> &digest)
{
    Kept &one = kept[folder];
    if (!one.loaded) {
        one.loaded = true;
        QString problem;
        one.unreadable = !one.index.read(one.folder, &problem);
        if (one.unreadable)
            problems << QStringLiteral("Cannot read the index ") + problem;
    }
    if (one.unreadable)
        return;
    one.index.remove(entry.name);
    one.awaited.append({ entry, digest });
    one.changed = true;
}

QStringList SaveFolderIndexes::settle(bool now)
{
    for (Kept &one : kept) {
        for (auto &[entry, digest] : one.awaited) {
            entry.sha256 = digest->result();
            if (!entry.sha256.isEmpty())
                one.index.update(entry);
            one.changed = true;
        }
        one.awaited.clear();
    }
    return write(now);
}

QStringList SaveFolderIndexes::write(bool now)
{
    for (Kept &one : kept) {
        if (!one.changed || one.unreadable)
            continue;
        if (!now && one.index.entries().size() > bigIndexEntries && one.lastWritten.isValid()
            && !one.lastWritten.hasExpired(bigIndexInterval))
            continue;
        QString problem;
        if (one.index.write(one.folder, &problem))
            one.changed = false;
        else
            problems << QStringLiteral("Cannot write the index ") + problem;
        one.lastWritten.start();
    }
    QStringList said;
    said.swap(problems);
    return said;
}

QStringList SaveFolderIndexes::namesInDatedFolders(const QString &saveFolder)
{
    QStringList names { QLatin1String(BackupIndex::fileName) };
    const QDir folder(saveFolder);
    for (const QString &name : folder.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        BackupIndex index;
        QString problem;
        if (!dateOfDatedFolder(name).isValid() || !index.read(folder.filePath(name), &problem))
            continue;
        for (const IndexEntry &entry : index.entries())
            names << entry.name;
    }
    return names;
}
