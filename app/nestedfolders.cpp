#include "nestedfolders.h"

#include "datedfolders.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

QStringList foldersInside(const QString &folder, const QStringList &candidates)
{
    const QString root = QFileInfo(folder).canonicalFilePath();
    if (root.isEmpty())
        return {};
    const QString rootPrefix = root.endsWith(QLatin1Char('/')) ? root : root + "/";
    QStringList inside;
    for (const QString &candidate : candidates) {
        const QString real = QFileInfo(candidate).canonicalFilePath();
        if (real.isEmpty() || !real.startsWith(rootPrefix))
            continue;
        // The canonical way down holds no link, so a walk that never follows
        // links meets the folder on exactly this path.
        const QString spelled = QDir::cleanPath(folder + "/" + real.mid(rootPrefix.size()));
        if (!inside.contains(spelled))
            inside.append(spelled);
    }
    return inside;
}

bool isSameFolder(const QString &a, const QString &b)
{
    const QString real = QFileInfo(a).canonicalFilePath();
    return !real.isEmpty() && real == QFileInfo(b).canonicalFilePath();
}

QStringList backupFoldersIn(const QString &folder)
{
    QStringList backups;
    const QDir saveFolder(QDir::cleanPath(folder));
    const QStringList names = saveFolder.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        if (name == QLatin1String("latest") || dateOfDatedFolder(name).isValid())
            backups << saveFolder.filePath(name);
    }
    return backups;
}

void walkFolder(const QString &folder, const QStringList &leftOut,
                const std::function<void(const QFileInfo &)> &visit)
{
    const QSet<QString> skipped(leftOut.cbegin(), leftOut.cend());
    QStringList pending { QDir::cleanPath(folder) };
    while (!pending.isEmpty()) {
        const QDir current(pending.takeLast());
        const QFileInfoList entries = current.entryInfoList(QDir::AllEntries | QDir::Hidden
                                                            | QDir::System | QDir::NoDotAndDotDot);
        for (const QFileInfo &entry : entries) {
            const QString path = current.filePath(entry.fileName());
            if (skipped.contains(path))
                continue;
            visit(entry);
            if (entry.isDir() && !entry.isSymLink())
                pending.append(path);
        }
    }
}
