#include "pruning.h"

#include "configurationfields.h"
#include "datedfolders.h"
#include "mainwindow.h"

#include "qftp.h"
#include "qurlinfo.h"
#include "savefolderindexes.h"
#include "serverindexes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTemporaryFile>

namespace {

// Off by default: QT_LOGGING_RULES="mirvo.prune.debug=true" shows each step.
Q_LOGGING_CATEGORY(lcPrune, "mirvo.prune", QtInfoMsg)

// The most names of one listing kept in memory. A dated folder holds one
// file per backup entry and a remote path one folder per day: a server that
// lists more is not to be followed further (old folders beyond the limit
// wait for the next run).
const int listingLimit = 100000;

const QString holdsFolderText = QStringLiteral("it holds a folder");
const QString holdsOtherFilesText = QStringLiteral("it holds other files");

} // namespace

OldFolderPruning::OldFolderPruning(int keepDays, const QString &runFolder,
                                   const QStringList &removableNames, QObject *parent)
    : QObject(parent)
    , keepDays(keepDays)
    , runFolder(runFolder)
    , removableNames(removableNames.cbegin(), removableNames.cend())
    , today(QDate::currentDate())
{ }

// A dated folder of a day more than the kept days back, other than the
// running backup's.
bool OldFolderPruning::isOld(const QString &name) const
{
    const QDate day = dateOfDatedFolder(name);
    return name != runFolder && day.isValid() && day.daysTo(today) > keepDays;
}

// Links to folders are listed among the folders; links to files, files and
// anything else are not.
void OldFolderPruning::pruneSaveFolder(const QString &folder)
{
    const QFileInfoList entries = QDir(folder).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        if (!isOld(name))
            continue;
        if (!entry.isSymLink()) {
            pruneLocalFolder(folder, name);
        } else if (QFile::remove(entry.filePath())) {
            emit logLine(folder + " removed old folder " + name);
        } else {
            emit errorLine(folder + " cannot remove old folder " + name);
        }
    }
}

// The known files go (a link among them as a link), then the folder if
// nothing else is left in it.
void OldFolderPruning::pruneLocalFolder(const QString &folder, const QString &name)
{
    const QDir dated(QDir(folder).filePath(name));
    const QFileInfoList entries = dated.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System
                                                      | QDir::NoDotAndDotDot);
    QString keptBecause;
    bool failed = false;
    for (const QFileInfo &entry : entries) {
        const bool isFolder = entry.isDir() && !entry.isSymLink();
        if (isFolder || !removableNames.contains(entry.fileName())) {
            if (keptBecause != holdsFolderText)
                keptBecause = isFolder ? holdsFolderText : holdsOtherFilesText;
            continue;
        }
        failed = !QFile::remove(entry.filePath()) || failed;
    }
    if (failed || (keptBecause.isEmpty() && !QDir(folder).rmdir(name)))
        emit errorLine(folder + " cannot remove old folder " + name);
    else if (!keptBecause.isEmpty())
        emit logLine(folder + " kept old folder " + name + ", " + keptBecause);
    else
        emit logLine(folder + " removed old folder " + name);
}

void OldFolderPruning::pruneServer(QFtp *client, const QString &label)
{
    Server server;
    server.client = client;
    server.label = label;
    servers.append(server);
    client->list();
}

bool OldFolderPruning::isDone() const
{
    for (const Server &server : servers) {
        if (server.step != Step::Done)
            return false;
    }
    return true;
}

OldFolderPruning::Server *OldFolderPruning::serverOf(QFtp *client)
{
    for (Server &server : servers) {
        if (server.client == client)
            return &server;
    }
    return nullptr;
}

void OldFolderPruning::listInfo(QFtp *client, const QUrlInfo &info)
{
    Server *server = serverOf(client);
    if (!server)
        return;
    // A link is listed as a folder, and says that it is a link.
    if (server->step == Step::ListingPath) {
        if (info.isDir() && server->targets.size() < listingLimit && isOld(info.name()))
            server->targets.append(Target { info.name(), info.isSymLink() });
    } else if (server->step == Step::ListingFolder) {
        const QString name = info.name();
        if (name == QLatin1String(".") || name == QLatin1String(".."))
            return;
        const bool isFolder = info.isDir() && !info.isSymLink();
        if (isFolder || !isRemovable(*server, name)) {
            if (server->keptBecause != holdsFolderText)
                server->keptBecause = isFolder ? holdsFolderText : holdsOtherFilesText;
        } else if (!server->listed.contains(name)) {
            // At most one of each removable name, whatever the server lists.
            server->listed.append(name);
            server->files.append(name);
        }
    }
}

void OldFolderPruning::commandFinished(QFtp *client, bool error)
{
    Server *server = serverOf(client);
    if (!server || server->step == Step::Done)
        return;
    const QString &name = server->current.name;
    switch (server->step) {
    case Step::ListingPath:
        if (error) {
            emit errorLine(server->label + " cannot look for old folders");
            server->targets.clear();
        }
        break;
    case Step::ReadingIndex:
        // A folder without an index (made before there were indexes) loses
        // the names of config.txt only.
        readIndex(*server);
        setStep(*server, Step::ListingFolder);
        server->client->list(name);
        return;
    case Step::ListingFolder:
        if (!error) {
            removeNext(*server);
            return;
        }
        emit errorLine(server->label + " cannot remove old folder " + name);
        break;
    case Step::RemovingFiles:
        if (!error) {
            removeNext(*server);
            return;
        }
        emit errorLine(server->label + " cannot remove old folder " + name);
        break;
    case Step::RemovingLeftovers:
        removeNext(*server); // most of these names are not there
        return;
    case Step::RemovingFolder:
        if (error && !server->current.isLink && !server->leftoversTried) {
            server->leftoversTried = true;
            for (const QString &removable : removableNames) {
                if (removable.startsWith(QLatin1Char('.')) && !server->listed.contains(removable))
                    server->files.append(removable);
            }
            if (!server->files.isEmpty()) {
                server->files.sort();
                removeNext(*server);
                return;
            }
        }
        if (error)
            emit errorLine(server->label + " cannot remove old folder " + name);
        else
            emit logLine(server->label + " removed old folder " + name);
        break;
    case Step::Done:
        return;
    }
    startNextTarget(*server);
}

// The only way to change where a server's pruning stands.
void OldFolderPruning::setStep(Server &server, Step next)
{
    qCDebug(lcPrune).verbosity(QDebug::MinimumVerbosity)
        << server.label << "step" << server.step << "->" << next;
    server.step = next;
}

// The known files of the current folder one by one (or the names that may
// be hidden there), then the folder, unless it holds anything else.
void OldFolderPruning::removeNext(Server &server)
{
    const QString &folder = server.current.name;
    if (!server.files.isEmpty()) {
        setStep(server, server.leftoversTried ? Step::RemovingLeftovers : Step::RemovingFiles);
        server.client->remove(folder + "/" + server.files.takeFirst());
    } else if (!server.keptBecause.isEmpty()) {
        emit logLine(server.label + " kept old folder " + folder + ", " + server.keptBecause);
        startNextTarget(server);
    } else {
        setStep(server, Step::RemovingFolder);
        server.client->rmdir(folder);
    }
}

void OldFolderPruning::startNextTarget(Server &server)
{
    if (server.targets.isEmpty()) {
        setStep(server, Step::Done);
        if (isDone())
            emit finished();
        return;
    }
    server.current = server.targets.takeFirst();
    if (server.current.isLink) {
        // A link goes as a file would: the server removes the link, not
        // what it leads to.
        setStep(server, Step::RemovingFolder);
        server.client->remove(server.current.name);
        return;
    }
    server.files.clear();
    server.listed.clear();
    server.keptBecause.clear();
    server.leftoversTried = false;
    server.indexed.clear();
    server.index = std::make_shared<QTemporaryFile>();
    if (!server.index->open()) {
        setStep(server, Step::ListingFolder);
        server.client->list(server.current.name);
        return;
    }
    setStep(server, Step::ReadingIndex);
    server.client->get(server.current.name + "/" + QLatin1String(BackupIndex::fileName),
                       server.index.get());
}

// What the index downloaded lists, if it could be read; one too big to be
// an index of ours is not read.
void OldFolderPruning::readIndex(Server &server)
{
    const std::shared_ptr<QTemporaryFile> file = std::move(server.index);
    if (!file || !file->flush() || file->size() > ServerIndexes::largestIndex || !file->seek(0))
        return;
    BackupIndex index;
    QString problem;
    if (!index.parse(file->readAll(), &problem))
        return;
    for (const IndexEntry &entry : index.entries())
        server.indexed.insert(entry.name);
}

bool OldFolderPruning::isRemovable(const Server &server, const QString &name) const
{
    return removableNames.contains(name) || server.indexed.contains(name);
}

// Old dated folders go only after a run that missed nothing, before the
// servers are closed; the servers are closed once every one is through.
void MainWindow::pruneOldFolders()
{
    // What this configuration's backups put in a dated folder: each entry's
    // copy, and the temporary name its replacement on a server may leave.
    QStringList removable;
    for (const EntryKind kind :
         { EntryKind::File, EntryKind::ZippedFile, EntryKind::ZippedFolder }) {
        for (const BackupEntry &entry : qAsConst(entryListOf(kind).entries)) {
            const QString stored = storedBackupName(entry.name, kind != EntryKind::File);
            removable << stored << temporaryUploadName(stored);
        }
    }
    // And the indexes, with what those of the save folders list (a server's
    // own are read folder by folder).
    removable << QLatin1String(BackupIndex::fileName)
              << temporaryUploadName(QLatin1String(BackupIndex::fileName));
    for (const SaveFolder &folder : qAsConst(saveFolders)) {
        if (!folder.invalid)
            removable << SaveFolderIndexes::namesInDatedFolders(folder.path);
    }
    removable.removeDuplicates();
    pruning = new OldFolderPruning(keepDays.value_or(0), date, removable, this);
    connect(pruning, &OldFolderPruning::logLine, this, &MainWindow::log);
    connect(pruning, &OldFolderPruning::errorLine, this, &MainWindow::logError);
    connect(pruning, &OldFolderPruning::finished, this, &MainWindow::closeServers);
    for (const SaveFolder &folder : qAsConst(saveFolders)) {
        if (!folder.invalid)
            pruning->pruneSaveFolder(folder.path);
    }
    for (FtpServer &server : ftps) {
        if (!server.invalid && server.connection)
            server.connection->prune(pruning);
    }
    if (pruning->isDone())
        closeServers();
}
