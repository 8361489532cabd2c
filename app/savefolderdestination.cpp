#include "savefolderdestination.h"

#include <QDir>
#include <QFileInfo>

namespace {

const qint64 sliceSize = 8 * 1024 * 1024;

} // namespace

SaveFolderDestination::SaveFolderDestination(const QString &path, QObject *parent)
    : BackupDestination(parent)
    , folderPath(path)
{
    slices.setInterval(0);
    connect(&slices, &QTimer::timeout, this, &SaveFolderDestination::copySlice);
}

void SaveFolderDestination::answerLater(std::function<void()> answer)
{
    const int asked = generation;
    QMetaObject::invokeMethod(
        this,
        [this, asked, answer] {
            if (asked == generation)
                answer();
        },
        Qt::QueuedConnection);
}

void SaveFolderDestination::listFolders()
{
    const QDir dir(folderPath);
    if (!dir.exists()) {
        const QString problem = folderPath + QStringLiteral(" is not a folder");
        answerLater([this, problem] { emit failed(problem); });
        return;
    }
    QList<DayFolder> folders;
    for (const QString &name : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (const std::optional<DayFolder> folder = DayFolder::named(name))
            folders << *folder;
    }
    DayFolder::sortNewestFirst(folders);
    answerLater([this, folders] { emit foldersListed(folders); });
}

// The index says what each listed copy is; a copy it lists that is not
// there any more is not held. Other files are held by name: those of
// earlier versions, which wrote no index. Names starting with a dot are
// copies under way, never a backup; a link is never a copy either, and
// could lead anywhere.
void SaveFolderDestination::readFolder(const DayFolder &folder)
{
    const QString path = folderPath + QLatin1Char('/') + folder.name;
    BackupIndex index;
    QString problem;
    if (!index.read(path, &problem)) {
        answerLater([this, problem] { emit failed(problem); });
        return;
    }
    FolderHoldings holdings { folder, {} };
    const QFileInfoList files = QDir(path).entryInfoList(QDir::Files | QDir::NoSymLinks);
    QHash<QString, qint64> present;
    for (const QFileInfo &file : files) {
        if (file.fileName() != QLatin1String(BackupIndex::fileName))
            present.insert(file.fileName(), file.size());
    }
    for (const IndexEntry &copy : index.entries()) {
        if (present.remove(copy.name))
            holdings.copies << copy;
    }
    for (const QFileInfo &file : files) {
        if (present.contains(file.fileName())) {
            IndexEntry copy;
            copy.name = file.fileName();
            copy.kind = copy.name.endsWith(QLatin1String(".zip")) ? IndexEntry::ZippedFile
                                                                  : IndexEntry::File;
            copy.size = file.size();
            holdings.copies << copy;
        }
    }
    answerLater([this, holdings] { emit folderRead(holdings); });
}

void SaveFolderDestination::fetch(const DayFolder &folder, const IndexEntry &copy,
                                  const QString &localFile)
{
    source.setFileName(folderPath + QLatin1Char('/') + folder.name + QLatin1Char('/') + copy.name);
    target.setFileName(localFile);
    if (!source.open(QIODevice::ReadOnly)) {
        const QString problem = source.fileName() + QStringLiteral(": ") + source.errorString();
        answerLater([this, problem] { emit failed(problem); });
        return;
    }
    if (!target.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        const QString problem = localFile + QStringLiteral(": ") + target.errorString();
        source.close();
        answerLater([this, problem] { emit failed(problem); });
        return;
    }
    done = 0;
    total = source.size();
    block.resize(int(sliceSize));
    slices.start();
}

void SaveFolderDestination::copySlice()
{
    const qint64 count = source.read(block.data(), sliceSize);
    if (count < 0) {
        endFetch(source.fileName() + QStringLiteral(": ") + source.errorString());
        return;
    }
    if (count == 0) {
        endFetch(QString());
        return;
    }
    hash.addData(block.constData(), count);
    if (target.write(block.constData(), count) != count) {
        endFetch(target.fileName() + QStringLiteral(": ") + target.errorString());
        return;
    }
    done += count;
    emit progress(done, total);
}

// The copy keeps the mode and time of what it was made from.
void SaveFolderDestination::endFetch(const QString &problem)
{
    slices.stop();
    QString trouble = problem;
    if (trouble.isEmpty() && !target.flush())
        trouble = target.fileName() + QStringLiteral(": ") + target.errorString();
    if (trouble.isEmpty()) {
        target.setPermissions(source.permissions());
        target.setFileTime(source.fileTime(QFileDevice::FileModificationTime),
                           QFileDevice::FileModificationTime);
    }
    source.close();
    target.close();
    block.clear();
    const QByteArray digest = hash.hexResult();
    if (trouble.isEmpty())
        emit fetched(digest);
    else
        emit failed(trouble);
}

void SaveFolderDestination::cancel()
{
    ++generation;
    slices.stop();
    source.close();
    target.close();
    block.clear();
    hash.hexResult();
}
