#include "mainwindow.h"

#include "backupindex.h"
#include "configurationfields.h"
#include "entrydigest.h"
#include "localcopy.h"
#include "nestedfolders.h"
#include "savefolderindexes.h"
#include "verifyrecord.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>

#include <sys/stat.h>

namespace {

// Off by default: QT_LOGGING_RULES="mirvo.run.debug=true" shows each step.
Q_LOGGING_CATEGORY(lcRun, "mirvo.run", QtInfoMsg)

// The newer of a file's modification and status-change times. A file
// moved, restored from an archive or copied with its times kept has an old
// modification time, but its status-change time is that of its arrival.
QDateTime lastChange(const QFileInfo &info)
{
    const QDateTime modified = info.lastModified();
    const QDateTime changed = info.metadataChangeTime();
    if (!changed.isValid() || (modified.isValid() && modified > changed))
        return modified;
    return changed;
}

// A copy in a save folder's "latest" that is a plain file of the expected
// size (any size when `size` is negative).
bool holdsCopy(const QFileInfo &copy, qint64 size)
{
    return copy.isFile() && (size < 0 || copy.size() == size);
}

IndexEntry::Kind indexKindOf(EntryKind kind)
{
    switch (kind) {
    case EntryKind::File:
        return IndexEntry::File;
    case EntryKind::ZippedFile:
        return IndexEntry::ZippedFile;
    case EntryKind::ZippedFolder:
        return IndexEntry::ZippedFolder;
    }
    Q_UNREACHABLE();
}

// A pipe, a socket or a device, or a link to one: reading it may wait for
// ever or never end, so it is never opened.
bool isSpecialFile(const QString &path)
{
    struct stat info;
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && !S_ISREG(info.st_mode)
        && !S_ISDIR(info.st_mode);
}

const QString specialFileText = QStringLiteral(" is a pipe, a socket or a device: ");

// An archive may be read by no one who may not read its source: it gets at
// most a file's mode, or a folder's without its execute bits. Its copies
// take its mode.
void restrictToSource(const QString &archive, const QString &source)
{
    struct stat from;
    struct stat made;
    if (::stat(QFile::encodeName(source).constData(), &from) != 0
        || ::stat(QFile::encodeName(archive).constData(), &made) != 0)
        return;
    const mode_t allowed = from.st_mode & (S_ISDIR(from.st_mode) ? 0666 : 0777);
    ::chmod(QFile::encodeName(archive).constData(), made.st_mode & allowed);
}

// How lines name what is copied and sent: a source by its path, an archive
// (made in the private folder) by its name alone.
QString shownAs(const QString &path, bool archive)
{
    return archive ? QFileInfo(path).fileName() : path;
}

} // namespace

// The only way to change the step. Every step starts before its first entry.
void MainWindow::setStep(RunStep next)
{
    qCDebug(lcRun).verbosity(QDebug::MinimumVerbosity) << "step" << step << "->" << next;
    step = next;
    index = -1;
}

// The kind of entry the step goes through, if it goes through one.
std::optional<EntryKind> MainWindow::kindBeingSent() const
{
    switch (step) {
    case RunStep::SendingFiles:
        return EntryKind::File;
    case RunStep::SendingZippedFiles:
        return EntryKind::ZippedFile;
    case RunStep::SendingZippedFolders:
        return EntryKind::ZippedFolder;
    default:
        return std::nullopt;
    }
}

MainWindow::EntryList MainWindow::entryListOf(EntryKind kind)
{
    switch (kind) {
    case EntryKind::File:
        return { files, fileList };
    case EntryKind::ZippedFile:
        return { zippedFiles, zippedFileList };
    case EntryKind::ZippedFolder:
        return { zippedFolders, zippedFolderList };
    }
    Q_UNREACHABLE();
}

// Every call asks for one more step of the run. The steps run one after the
// other in this loop: a step that asks for the next one from inside the loop
// only sets a flag, so the stack stays flat however many entries are skipped
// in a row, and lines and effects keep the order of nested calls.
void MainWindow::runNext()
{
    runNextRequested = true;
    if (runLoopActive)
        return;
    runLoopActive = true;
    while (runNextRequested) {
        runNextRequested = false;
        runOneStep();
    }
    runLoopActive = false;
}

void MainWindow::runOneStep()
{
    ++index;
    const std::optional<EntryKind> kind = kindBeingSent();
    if (!kind)
        return;

    const QList<BackupEntry> &entries = entryListOf(*kind).entries;
    if (index >= entries.size()) {
        switch (*kind) {
        case EntryKind::File:
            log("All files have been transferred");
            setStep(RunStep::SendingZippedFiles);
            runNext();
            break;
        case EntryKind::ZippedFile:
            log("All zipped files have been transferred");
            setStep(RunStep::SendingZippedFolders);
            runNext();
            break;
        case EntryKind::ZippedFolder:
            log("All zipped folders have been transferred");
            log("Exiting...");
            finishRun();
            break;
        }
        return;
    }

    const BackupEntry entry = entries.at(index);
    if (isSpecialFile(entry.path)) {
        logError(entry.path + specialFileText + "not backed up");
        beginEntry(entry.path);
        entryFailed = true;
        endEntry();
        runNext();
        return;
    }
    const auto stored = previousTransfers.constFind(entry.path);
    const bool unchanged
        = stored != previousTransfers.constEnd() && modificationTime(entry.path) < stored.value();
    // An unchanged entry still goes to the destinations that lack it.
    if (unchanged && !findDestinationsLacking(entry, *kind)) {
        log("No modification for " + entry.path + ", no need to transfer again");
        // Should another entry of the same source be handled in this run
        // (the source changed meanwhile), this one still holds the old copy.
        sourcesMissed.insert(entry.path);
        runNext();
        return;
    }

    if (!unchanged) {
        entryFolders.clear();
        entryServers.clear();
        for (int i = 0; i < saveFolders.size(); ++i)
            entryFolders.insert(i);
        for (int i = 0; i < ftps.size(); ++i)
            entryServers.insert(i);
    }

    // The time is taken before the source is read: a change made while the
    // entry is handled is then newer than the recorded time and seen next run.
    beginEntry(entry.path);
    if (*kind == EntryKind::File) {
        transferEntry(entry);
        return;
    }

    const bool zipped = *kind == EntryKind::ZippedFile ? zipFile(entry) : zipFolder(entry);
    if (!zipped) {
        logError(entry.path + " cannot be zipped");
        entryFailed = true;
        endEntry();
        runNext();
        return;
    }
    log(entry.path + " has been zipped");
    const QString archive = storedBackupName(entry.name, true);
    const QString made = QDir(folderLock.madePrivateFolder()).filePath(archive);
    restrictToSource(made, entry.path);
    transferEntry(BackupEntry { made, archive });
}

void MainWindow::beginEntry(const QString &path)
{
    entryPath = path;
    entryHandledAt = QDateTime::currentDateTime();
    entryFailed = false;
}

// The entry's copies and uploads are all over. It counts as backed up only
// if it reached every configured destination: a save folder or server that
// was unusable from the start, or given up, missed it as surely as a failed
// copy or upload. With no destination at all, nothing was backed up.
void MainWindow::endEntry()
{
    writeSaveFolderIndexes(true, false);
    const bool nowhere = saveFolders.isEmpty() && ftps.isEmpty();
    if (entryFailed || nowhere || !everyDestinationUsable()) {
        sourcesMissed.insert(entryPath);
        ++missedEntries;
        if (firstMissedDestination.isEmpty())
            firstMissedDestination = firstUnusableDestination();
    } else if (!sourcesBackedUp.contains(entryPath)) {
        sourcesBackedUp.insert(entryPath, entryHandledAt); // the earliest is the safe one
    }
    entryFailed = false;
}

// A copy or upload of the entry failed at `destination` (a save folder's
// path or a server's label).
void MainWindow::markEntryFailed(const QString &destination)
{
    entryFailed = true;
    if (firstMissedDestination.isEmpty())
        firstMissedDestination = destination;
}

bool MainWindow::everyDestinationUsable() const
{
    return firstUnusableDestination().isEmpty();
}

// The path of the first save folder, or else the label of the first server,
// that cannot be used; empty when all can.
QString MainWindow::firstUnusableDestination() const
{
    for (const SaveFolder &folder : saveFolders) {
        if (folder.invalid)
            return folder.path;
    }
    for (const FtpServer &server : ftps) {
        if (server.invalid)
            return server.label();
    }
    return QString();
}

// True when this run leaves something for the next one: an entry that did
// not reach every destination, or a destination that could not be used.
bool MainWindow::runMissedSomething() const
{
    return missedEntries > 0 || !everyDestinationUsable() || !runLog.incompleteReasons().isEmpty();
}

// Chooses the usable destinations whose "latest" lacks the unchanged
// `entry` (for a plain file: holds no plain file of the source's size; for
// an archive, of the size of the one made last, if it is still there).
// False when none does, or when there is no source left to send.
bool MainWindow::findDestinationsLacking(const BackupEntry &entry, EntryKind kind)
{
    entryFolders.clear();
    entryServers.clear();
    const QFileInfo source(entry.path);
    if (!source.exists())
        return false;
    const bool zipped = kind != EntryKind::File;
    const QString name = storedBackupName(entry.name, zipped);
    // An archive is made anew by each run that sends it: any size will do.
    const qint64 size = !zipped && source.isFile() ? source.size() : -1;
    for (int i = 0; i < saveFolders.size(); ++i) {
        const SaveFolder &folder = saveFolders.at(i);
        if (!folder.invalid
            && (!holdsCopy(QFileInfo(folder.path + "/latest/" + name), size)
                || folder.unsoundInLatest.contains(name)))
            entryFolders.insert(i);
    }
    for (int i = 0; i < ftps.size(); ++i) {
        const FtpServer &server = ftps.at(i);
        const qint64 held = server.connection ? server.connection->heldInLatest(name) : -2;
        if (!server.invalid && server.connection
            && (held < 0 || (size >= 0 && held != size) || server.unsoundInLatest.contains(name)))
            entryServers.insert(i);
    }
    return !entryFolders.isEmpty() || !entryServers.isEmpty();
}

// A copy in latest/ that a verify found damaged (or could not check) is
// not held: the entry goes there again, and the old copy is replaced whole.
void MainWindow::noteUnsoundCopies()
{
    VerifyRecord record;
    QString problem;
    if (!record.read(&problem))
        return; // a record of a later version: its findings are not known here
    for (SaveFolder &folder : saveFolders)
        folder.unsoundInLatest = record.unsoundInLatest(folder.path);
    for (FtpServer &server : ftps)
        server.unsoundInLatest = record.unsoundInLatest(server.label());
}

// The findings about copies that were replaced since go, so that the next
// verify checks the new copies first.
void MainWindow::forgetMendedCopies()
{
    VerifyRecord record;
    QString problem;
    if (!record.read(&problem))
        return;
    bool changed = false;
    const auto forget = [&](const QString &destination, const QSet<QString> &unsound) {
        for (const QString &name : record.unsoundInLatest(destination)) {
            if (!unsound.contains(name)) {
                record.forget(destination, QStringLiteral("latest"), name);
                changed = true;
            }
        }
    };
    for (const SaveFolder &folder : qAsConst(saveFolders))
        forget(folder.path, folder.unsoundInLatest);
    for (const FtpServer &server : qAsConst(ftps))
        forget(server.label(), server.unsoundInLatest);
    if (changed && !record.write(&problem))
        logError(problem);
}

void MainWindow::transferEntry(BackupEntry item)
{
    const QString shown = shownAs(item.path, kindBeingSent() != EntryKind::File);
    // What the copies are, for the indexes beside them; the digest is made
    // once, whatever the number of destinations, while the uploads go.
    const EntryCopy copy { { item.name, indexKindOf(kindBeingSent().value_or(EntryKind::File)),
                             QFileInfo(item.path).size(), QFileInfo(entryPath).lastModified(),
                             QByteArray(), entryPath },
                           std::make_shared<EntryDigest>(item.path) };
    copyIntoSaveFolders(item, copy);

    QFile file(item.path);
    if (!file.open(QIODevice::ReadOnly)) {
        logError("Cannot open " + shown);
        entryFailed = true;
        endEntry();
        runNext();
        return;
    }
    file.close();
    log("Beginning transfer of " + shown);

    // Each upload streams from the file, so that neither memory nor the size
    // limit of one byte array bounds what can be backed up.
    bool queued = false;
    for (int i = 0; i < ftps.size(); ++i) {
        FtpServer &server = ftps[i];
        if (server.invalid || !server.connection || !entryServers.contains(i))
            continue;
        startUploads(server, item, copy);
        queued = true;
    }
    if (!queued) {
        endEntry();
        runNext();
    }
    // Otherwise transferDone() goes on once every server is through.
}

// The item goes into latest/ and today's folder of each save folder that
// takes the entry, and their indexes say what each copy is, once the entry
// is over.
void MainWindow::copyIntoSaveFolders(const BackupEntry &item, const EntryCopy &copy)
{
    for (int i = 0; i < saveFolders.size(); ++i) {
        SaveFolder &folder = saveFolders[i];
        if (folder.invalid || !entryFolders.contains(i))
            continue;
        if (!folder.indexes)
            folder.indexes = std::make_shared<SaveFolderIndexes>(folder.path, date);
        // A copy that failed left the old one, and its line, as they were.
        if (copyToSaveFolder(item.path, folder.path + "/latest/" + item.name)) {
            folder.indexes->copied(SaveFolderIndexes::Latest, copy.described, copy.digest);
            folder.unsoundInLatest.remove(item.name);
        }
        if (copyToSaveFolder(item.path, folder.path + "/" + date + "/" + item.name))
            folder.indexes->copied(SaveFolderIndexes::Dated, copy.described, copy.digest);
    }
    writeSaveFolderIndexes(false, false);
}

// An index that cannot be written leaves its copies unchecked: the entries
// are tried again next run. With `settle`, the copies whose digests were
// awaited are listed first.
void MainWindow::writeSaveFolderIndexes(bool settle, bool now)
{
    for (const SaveFolder &folder : qAsConst(saveFolders)) {
        if (!folder.indexes)
            continue;
        const QStringList problems
            = settle ? folder.indexes->settle(now) : folder.indexes->write(now);
        for (const QString &problem : problems)
            logError(problem);
        if (!problems.isEmpty())
            markEntryFailed(folder.path);
    }
}

bool MainWindow::copyToSaveFolder(const QString &source, const QString &target)
{
    const CopyOutcome outcome = copyReplacing(source, target);
    const QString shown = shownAs(source, kindBeingSent() != EntryKind::File);
    if (outcome == CopyOutcome::Copied) {
        log(shown + " has been copied to " + target);
        return true;
    }
    if (outcome == CopyOutcome::NotReplaceable && QFileInfo::exists(target))
        logError("Cannot remove old " + target);
    logError(shown + " cannot be copied to " + target);
    markEntryFailed(QFileInfo(target).absolutePath());
    return false;
}

// Archives are made in the private folder of the working folder, so that
// no file of the user's can stand under an archive's name, and no other
// user can read one while it is made.
bool MainWindow::zipFile(const BackupEntry &entry)
{
    const QString folder = folderLock.privateFolder();
    if (folder.isEmpty())
        return false;
    const QStringList arguments { QStringLiteral("a"), QStringLiteral("-ep1"),
                                  QStringLiteral("-m5"),
                                  QDir(folder).filePath(storedBackupName(entry.name, true)),
                                  entry.path };
    // -2: cannot be started, -1: crashed; only 0 is success.
    return QProcess::execute(winrarPath, arguments) == 0;
}

// Pipes, sockets and devices inside the folder are left out, each with a
// line: the archiver would wait on them for ever.
bool MainWindow::zipFolder(const BackupEntry &entry)
{
    const QString folder = folderLock.privateFolder();
    if (folder.isEmpty())
        return false;
    const QString archive = storedBackupName(entry.name, true);
    QStringList arguments { QStringLiteral("a"), QStringLiteral("-ep1"), QStringLiteral("-m5"),
                            QStringLiteral("-r") };
    const QStringList leftOut = leftOutOf(entry.path);
    for (const QString &path : leftOut)
        arguments << "-x" + path;
    walkFolder(entry.path, leftOut, [&](const QFileInfo &info) {
        if (info.isSymLink() || info.isFile() || info.isDir())
            return;
        log(info.filePath() + specialFileText + "left out of " + archive);
        arguments << "-x" + info.filePath();
    });
    arguments << QDir(folder).filePath(archive) << entry.path;
    return QProcess::execute(winrarPath, arguments) == 0;
}

// True when `folder` is a save folder or the working folder: every run
// writes there.
bool MainWindow::receivesBackups(const QString &folder) const
{
    for (const SaveFolder &saveFolder : saveFolders) {
        if (isSameFolder(folder, saveFolder.path))
            return true;
    }
    return isSameFolder(folder, QDir::currentPath());
}

// What an archive of `folder` leaves out, spelled as a walk from `folder`
// meets it: the save folders and the working folder inside it; when it is
// itself a save folder, the backups in it ("latest" and the dated folders);
// when it is the working folder, the private folder of the archives, the
// history, the kept log and the lock. An archive of the folder would
// otherwise hold every earlier backup, and grow with each run.
QStringList MainWindow::leftOutOf(const QString &folder) const
{
    QStringList candidates;
    bool isSaveFolder = false;
    for (const SaveFolder &saveFolder : saveFolders) {
        candidates << saveFolder.path;
        isSaveFolder = isSaveFolder || isSameFolder(folder, saveFolder.path);
    }
    const QString work = QDir::currentPath();
    candidates << work;
    QStringList leftOut = foldersInside(folder, candidates);
    if (isSaveFolder)
        leftOut << backupFoldersIn(folder);
    if (isSameFolder(folder, work)) {
        const QDir working(QDir::cleanPath(folder));
        const QString archives = folderLock.madePrivateFolder();
        if (!archives.isEmpty())
            leftOut << working.filePath(QFileInfo(archives).fileName());
        // What every run writes beside config.txt.
        const QString log = working.filePath(QLatin1String(RunLog::fileName));
        leftOut << working.filePath(QLatin1String(historyFileName)) << log
                << RunLog::olderFileName(log)
                << working.filePath(QLatin1String(FolderLock::fileName))
                << working.filePath(QLatin1String(VerifyRecord::fileName));
    }
    leftOut.removeDuplicates();
    return leftOut;
}

// The last change of a source: its modification or status-change time,
// whichever is newer. A folder counts as changed when anything inside it
// is: its own times change only when an entry is added, removed or renamed
// directly in it, not when a file deep inside it is edited or moved in.
// What the archive leaves out does not count. Nor do the own times of a
// save folder or of the working folder, which every run changes (today's
// folder made, archives and history written anew): a file removed directly
// from such a folder is seen with the next other change in it.
QDateTime MainWindow::modificationTime(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isDir())
        return lastChange(info);
    QDateTime newest = receivesBackups(path) ? QDateTime::fromSecsSinceEpoch(0) : lastChange(info);
    walkFolder(path, leftOutOf(path), [&newest](const QFileInfo &entry) {
        const QDateTime time = lastChange(entry);
        if (time.isValid() && (!newest.isValid() || time > newest))
            newest = time;
    });
    return newest;
}

void MainWindow::finishRun()
{
    setStep(RunStep::Finishing);
    for (auto it = sourcesBackedUp.constBegin(); it != sourcesBackedUp.constEnd(); ++it) {
        if (!sourcesMissed.contains(it.key()))
            previousTransfers.insert(it.key(), it.value());
    }
    writeSaveFolderIndexes(true, true);
    writeHistory();
    forgetMendedCopies();
    if (!runMissedSomething() && keepDays.value_or(0) > 0)
        pruneOldFolders(); // closes the servers once through
    else
        closeServers();
}

// Given-up servers are closed too; only the usable ones are waited for. With
// no client to close, the run ends here.
void MainWindow::closeServers()
{
    bool closing = false;
    for (FtpServer &server : ftps) {
        if (!server.connection)
            continue;
        server.connection->close();
        closing = true;
    }
    if (!closing)
        runEnded();
}

// The run's closing lines are out ("Exit successful", or "Exiting..." when
// no server had a client). Called once per run.
void MainWindow::runEnded()
{
    if (runEndReported)
        return;
    runEndReported = true;
    if (!runMissedSomething()) {
        log("Backup complete");
        leaveFolder(BackupComplete);
        return;
    }
    // A destination that could not be used counts even when no entry was
    // there to miss it.
    const QString destination
        = firstMissedDestination.isEmpty() ? firstUnusableDestination() : firstMissedDestination;
    QStringList reasons;
    QString problem;
    if (missedEntries > 0) {
        const QString missed = missedEntries == 1
            ? QStringLiteral("1 entry")
            : QString::number(missedEntries) + QStringLiteral(" entries");
        reasons << missed + " will be tried again next run";
        problem = reasons.last() + ".";
        if (!destination.isEmpty())
            problem += " The first destination that failed: " + destination + ".";
    } else if (!destination.isEmpty()) {
        reasons << destination + " could not be used";
        problem = reasons.last() + ".";
    }
    for (const QString &reason : runLog.incompleteReasons()) {
        reasons << reason;
        problem += (problem.isEmpty() ? "" : " ") + reason + ".";
    }
    logError("Backup incomplete: " + reasons.join(QStringLiteral("; ")));
    leaveFolder(BackupIncomplete, problem);
}
