#include "mainwindow.h"

#include "configurationfields.h"
#include "hostfield.h"

#include "qftp.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTimer>

namespace {

// True when every server still in use stands in `state`; also true when
// none is left.
bool allUsableServersIn(const QList<FtpServer> &servers, ServerState state)
{
    for (const FtpServer &server : servers) {
        if (!server.invalid && server.connection && server.connection->state() != state)
            return false;
    }
    return true;
}

bool anyUsableServerBusy(const QList<FtpServer> &servers)
{
    for (const FtpServer &server : servers) {
        if (!server.invalid && server.connection && server.connection->isBusy())
            return true;
    }
    return false;
}

} // namespace

bool MainWindow::prepareServers()
{
    bool clientStarted = false;
    for (int i = 0; i < ftps.size(); ++i) {
        FtpServer &server = ftps[i];
        log("Initializing " + server.label());
        server.invalid = false;
        server.remotePath.replace(QLatin1Char('\\'), QLatin1Char('/'));
        const QStringList folders = server.remotePath.split(QLatin1Char('/'), Qt::KeepEmptyParts);
        for (const QString &folder : folders) {
            if (folder.isEmpty()) {
                logError(server.label() + " invalid directory name");
                server.invalid = true;
            }
        }
        const ServerAddress address = parseHostField(server.host);
        if (!address.problem.isEmpty()) {
            logError(server.label() + " invalid host: " + address.problem);
            server.invalid = true;
        }
        if (server.invalid) {
            server.connection = nullptr;
            continue;
        }
        connectServer(i, address);
        clientStarted = true;
    }
    return clientStarted;
}

// The connection hears of its client through the window's slots, and the
// window of the connection through its signals.
void MainWindow::connectServer(int index, const ServerAddress &address)
{
    FtpServer &server = ftps[index];
    ServerConnection::Settings settings;
    settings.label = server.label();
    settings.address = address;
    settings.user = server.user;
    settings.password = server.password;
    settings.folders = server.remotePath.split(QLatin1Char('/'), Qt::KeepEmptyParts);
    settings.datedFolder = date;
    ServerConnection *connection = new ServerConnection(settings, this);
    server.connection = connection;
    QFtp *client = connection->client();
    connect(client, SIGNAL(done(bool)), this, SLOT(transferDone(bool)));
    connect(client, SIGNAL(commandFinished(int, bool)), this,
            SLOT(transferCommandFinished(int, bool)));
    connect(client, SIGNAL(listInfo(QUrlInfo)), this, SLOT(transferListInfo(QUrlInfo)));
    connect(connection, &ServerConnection::logLine, this, &MainWindow::log);
    connect(connection, &ServerConnection::errorLine, this, &MainWindow::logError);
    connect(connection, &ServerConnection::ready, this, [this] { startRunIfServersReady(true); });
    connect(connection, &ServerConnection::givenUp, this, [this, index] { serverGivenUp(index); });
    connect(connection, &ServerConnection::operationDone, this, &MainWindow::entryUploadsDone);
    connect(connection, &ServerConnection::closed, this, &MainWindow::serverClosed);
    connect(connection, &ServerConnection::indexNotWritten, this,
            [this, index](const QStringList &names) { indexNotWritten(index, names); });
    connection->start();
}

// The server's copies are whole, but its index does not say so of `names`:
// their entries are forgotten by the history, so that the next run sends
// them again and lists them.
void MainWindow::indexNotWritten(int index, const QStringList &names)
{
    runLog.noteIncomplete(ftps.at(index).label() + " could not write its index");
    bool forgotten = false;
    for (const EntryKind kind :
         { EntryKind::File, EntryKind::ZippedFile, EntryKind::ZippedFolder }) {
        for (const BackupEntry &entry : qAsConst(entryListOf(kind).entries)) {
            if (names.contains(storedBackupName(entry.name, kind != EntryKind::File)))
                forgotten = previousTransfers.remove(entry.path) > 0 || forgotten;
        }
    }
    if (forgotten)
        writeHistory();
}

FtpServer *MainWindow::serverOf(const QObject *client)
{
    for (FtpServer &server : ftps) {
        if (server.connection && server.connection->client() == client)
            return &server;
    }
    return nullptr;
}

// Each client's events go to its server's connection.
void MainWindow::transferCommandFinished(int, bool error)
{
    if (FtpServer *server = serverOf(sender()))
        server->connection->commandFinished(error);
}

void MainWindow::transferListInfo(QUrlInfo info)
{
    if (FtpServer *server = serverOf(sender()))
        server->connection->listInfo(info);
}

void MainWindow::transferDone(bool error)
{
    if (FtpServer *server = serverOf(sender()))
        server->connection->done(error);
}

// Given up for the rest of the run; the others go on. An entry it was
// sending has missed it.
void MainWindow::serverGivenUp(int index)
{
    ftps[index].invalid = true;
    if (step == RunStep::Preparing)
        startRunIfServersReady(false);
    else if (kindBeingSent())
        entryUploadsDone();
}

// The last server to finish the entry's uploads moves the run on. The
// entry is logged as done only if every server it went to holds it.
void MainWindow::entryUploadsDone()
{
    const std::optional<EntryKind> kind = kindBeingSent();
    if (!kind || anyUsableServerBusy(ftps))
        return;
    const QList<BackupEntry> &entries = entryListOf(*kind).entries;
    if (index < 0 || index >= entries.size())
        return; // no entry is being uploaded
    const BackupEntry &entry = entries.at(index);
    bool everywhere = true;
    const QString stored = storedBackupName(entry.name, *kind != EntryKind::File);
    for (const int i : qAsConst(entryServers)) {
        FtpServer &server = ftps[i];
        if (server.connection && server.connection->uploadFailed()) {
            everywhere = false;
            markEntryFailed(server.label());
        } else if (server.connection && !server.invalid) {
            server.unsoundInLatest.remove(stored);
        }
    }
    for (const FtpServer &server : qAsConst(ftps)) {
        if (server.connection)
            server.connection->forgetUploadOutcome();
    }
    if (everywhere)
        log("Transfer of " + entry.path + (*kind == EntryKind::File ? " done" : ".zip done"));
    // What went out is what counts; a source changed meanwhile is newer than
    // the time the history records for it, and goes again next run.
    if (*kind == EntryKind::File && QFileInfo(entry.path).lastModified() > entryHandledAt)
        log(entry.path + " changed while it was sent, it will be backed up again next run");
    endEntry();
    runNext();
}

// The run starts once, when the last server still in use is ready (or when
// the last one has been given up).
void MainWindow::startRunIfServersReady(bool announce)
{
    if (step != RunStep::Preparing || !allUsableServersIn(ftps, ServerState::ReadyToTransfer))
        return;
    setStep(RunStep::SendingFiles);
    if (announce)
        log("All FTPs ready to transfer");
    runNext();
}

void MainWindow::startUploads(FtpServer &server, const BackupEntry &item, const EntryCopy &copy)
{
    server.connection->upload(item.path, item.name, copy.described, copy.digest);
}

// Given-up servers are closed too, but only the usable ones are waited for.
void MainWindow::serverClosed()
{
    if (step == RunStep::Interrupted) {
        bool allClosed = true;
        for (const FtpServer &server : qAsConst(ftps)) {
            if (server.connection && server.connection->state() != ServerState::ShutDown)
                allClosed = false;
        }
        if (allClosed)
            endInterruptedRun();
        return;
    }
    if (step != RunStep::Finishing && step != RunStep::Finished)
        return;
    if (allUsableServersIn(ftps, ServerState::ShutDown)) {
        setStep(RunStep::Finished);
        log("Exit successful");
        runEnded();
    }
}

// Every connection stops what it does, removing a first upload's part
// under its final name where it can, and closes.
void MainWindow::stopServers()
{
    for (FtpServer &server : ftps) {
        if (server.connection)
            server.connection->stop();
    }
}

// A signal stopped the run. The entries that reached every destination are
// recorded; the one under way and those not reached yet are not, so that
// a source with another entry still to come keeps its old time.
void MainWindow::interruptRun()
{
    if (configurationMode || runEndReported || step == RunStep::Interrupted) {
        QCoreApplication::exit(BackupIncomplete);
        return;
    }
    const int kindsDone = step == RunStep::Preparing ? 0 : int(step) - int(RunStep::SendingFiles);
    const EntryKind kinds[] = { EntryKind::File, EntryKind::ZippedFile, EntryKind::ZippedFolder };
    for (int k = 0; k < 3; ++k) {
        const QList<BackupEntry> &entries = entryListOf(kinds[k]).entries;
        for (int i = 0; i < entries.size(); ++i) {
            if (k > kindsDone || (k == kindsDone && i >= index))
                sourcesMissed.insert(entries.at(i).path);
        }
    }
    if (step != RunStep::Finishing && step != RunStep::Finished) {
        for (auto it = sourcesBackedUp.constBegin(); it != sourcesBackedUp.constEnd(); ++it) {
            if (!sourcesMissed.contains(it.key()))
                previousTransfers.insert(it.key(), it.value());
        }
        writeHistory();
        forgetMendedCopies();
    }
    setStep(RunStep::Interrupted);
    stopServers();
    // Servers that do not answer are not waited for long.
    QTimer::singleShot(2000, this, &MainWindow::endInterruptedRun);
    serverClosed(); // there may be nothing to wait for
}

void MainWindow::endInterruptedRun()
{
    if (runEndReported)
        return;
    runEndReported = true;
    logError(QStringLiteral("Backup interrupted"));
    runLog.close();
    folderLock.release();
    QCoreApplication::exit(BackupIncomplete);
}
