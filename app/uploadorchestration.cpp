#include "mainwindow.h"

#include "hostfield.h"
#include "pruning.h"

#include "qftp.h"

#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

namespace {

// Off by default: QT_LOGGING_RULES="mirvo.server.debug=true" shows each change.
Q_LOGGING_CATEGORY(lcServer, "mirvo.server", QtInfoMsg)

// True when every server still in use stands in `state`; also true when
// none is left.
bool allUsableServersIn(const QList<FtpServer> &servers, ServerState state)
{
    for (const FtpServer &server : servers) {
        if (!server.invalid && server.state() != state)
            return false;
    }
    return true;
}

bool anyUsableServerBusy(const QList<FtpServer> &servers)
{
    for (const FtpServer &server : servers) {
        if (!server.invalid && server.ftp && server.ftp->currentCommand() != QFtp::None)
            return true;
    }
    return false;
}

// "." (the login directory itself, which the configuration window suggests
// for backing up to the root) and ".." exist on every server, but most
// servers leave them out of their listings; asking to create them would fail
// and give the server up.
bool alwaysExists(const QString &folder)
{
    return folder == QLatin1String(".") || folder == QLatin1String("..");
}

// One folder of the remote path after the other: list, create it if the
// listing lacks it, enter it; after the last one, check the target folder.
void enterFolders(FtpServer &server, QFtp::Command command)
{
    QFtp *ftp = server.ftp;
    switch (command) {
    case QFtp::List: {
        const QString folder = server.remoteFolders.at(server.folderIndex);
        if (server.folderFound || alwaysExists(folder))
            ftp->cd(folder);
        else
            ftp->mkdir(folder);
        break;
    }
    case QFtp::Mkdir:
        ftp->cd(server.remoteFolders.at(server.folderIndex));
        break;
    case QFtp::Cd:
        ++server.folderIndex;
        if (server.folderIndex < server.remoteFolders.size())
            server.folderFound = false;
        else
            server.setState(ServerState::CheckingFolders);
        ftp->list();
        break;
    default:
        break;
    }
}

// The listing of the target folder is through: create what it lacked.
void createMissingFolders(FtpServer &server, const QString &date)
{
    if (!server.latestFound)
        server.ftp->mkdir(QStringLiteral("latest"));
    if (!server.dateFound)
        server.ftp->mkdir(date);
}

// What `folder` ("latest" or today's folder) of `server` holds.
QHash<QString, qint64> &heldIn(FtpServer &server, const QString &folder)
{
    return folder == QLatin1String("latest") ? server.latestHeld : server.datedHeld;
}

} // namespace

// The only way to change a server's state.
void FtpServer::setState(ServerState next)
{
    qCDebug(lcServer).verbosity(QDebug::MinimumVerbosity)
        << host << "state" << currentState << "->" << next;
    currentState = next;
    switch (next) {
    case ServerState::EnteringFolders:
        folderIndex = 0;
        folderFound = false;
        break;
    case ServerState::CheckingFolders:
        latestFound = false;
        dateFound = false;
        latestHeld.clear();
        datedHeld.clear();
        foldersToList.clear();
        break;
    default:
        break;
    }
}

void FtpServer::setUploadStep(UploadStep next)
{
    qCDebug(lcServer).verbosity(QDebug::MinimumVerbosity)
        << host << "upload" << currentUploadStep << "->" << next;
    currentUploadStep = next;
}

bool MainWindow::prepareServers()
{
    bool clientStarted = false;
    for (FtpServer &server : ftps) {
        log("Initializing " + server.label());
        server.invalid = false;
        server.setState(ServerState::LoggingIn);
        server.remotePath.replace(QLatin1Char('\\'), QLatin1Char('/'));
        server.remoteFolders = server.remotePath.split(QLatin1Char('/'), Qt::KeepEmptyParts);
        for (const QString &folder : qAsConst(server.remoteFolders)) {
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
            server.ftp = nullptr;
            continue;
        }

        // Nothing goes out before the event loop runs.
        server.ftp = new QFtp(this);
        connectTo(server.ftp, address);
        server.ftp->login(server.user, server.password);
        connect(server.ftp, SIGNAL(done(bool)), this, SLOT(transferDone(bool)));
        connect(server.ftp, SIGNAL(commandFinished(int, bool)), this,
                SLOT(transferCommandFinished(int, bool)));
        connect(server.ftp, SIGNAL(listInfo(QUrlInfo)), this, SLOT(transferListInfo(QUrlInfo)));
        QFtp *client = server.ftp;
        connect(client, &QFtp::rawCommandReply, this,
                [this, client](int code, const QString &text) {
                    if (FtpServer *replying = serverOf(client)) {
                        replying->replyCode = code;
                        replying->replyText = text;
                    }
                });
        clientStarted = true;
    }
    return clientStarted;
}

FtpServer *MainWindow::serverOf(const QObject *client)
{
    for (FtpServer &server : ftps) {
        if (server.ftp && server.ftp == client)
            return &server;
    }
    return nullptr;
}

// Walks the client down the remote path, creating what is missing, then
// makes sure that "latest" and the dated directory exist there. Each command
// is queued from the end of the one before, so the client's queue never runs
// empty until the server is ready (or has failed).
void MainWindow::transferCommandFinished(int, bool error)
{
    FtpServer *server = serverOf(sender());
    if (!server)
        return;
    QFtp *ftp = server->ftp;
    const QFtp::Command command = ftp->currentCommand();

    switch (server->state()) {
    case ServerState::LoggingIn:
        if (command == QFtp::ConnectToHost && !error) {
            log(server->label() + " is connected");
        } else if (command == QFtp::ConnectToHost) {
            logError(server->label() + " cannot connect");
            if (ftp->error() == QFtp::TlsFailed)
                logError(server->label() + " " + tlsFailureText(*ftp));
        } else if (command == QFtp::Login && !error) {
            log(server->label() + " is logged in");
            server->setState(ServerState::EnteringFolders);
            ftp->list();
        } else if (command == QFtp::Login) {
            logError(server->label() + " cannot login");
        }
        break;
    case ServerState::EnteringFolders:
        if (error)
            logError(server->label() + " cannot initialize transfer");
        else
            enterFolders(*server, command);
        break;
    case ServerState::CheckingFolders:
        if (error)
            logError(server->label() + " cannot initialize transfer");
        else if (command == QFtp::List)
            createMissingFolders(*server, date);
        break;
    case ServerState::ListingCopies:
        if (error)
            logError(server->label() + " cannot initialize transfer");
        else if (command == QFtp::List && !server->foldersToList.isEmpty())
            server->foldersToList.removeFirst();
        break;
    case ServerState::ReadyToTransfer:
        continueUpload(*server, error);
        break;
    case ServerState::Pruning:
        pruning->commandFinished(ftp, error);
        break;
    case ServerState::ShuttingDown:
    case ServerState::ShutDown:
        break;
    }
}

void MainWindow::transferListInfo(QUrlInfo info)
{
    FtpServer *server = serverOf(sender());
    if (!server)
        return;
    // A symbolic link is listed as a directory, and counts as one.
    if (server->state() == ServerState::EnteringFolders) {
        if (info.isDir() && info.name() == server->remoteFolders.at(server->folderIndex))
            server->folderFound = true;
    } else if (server->state() == ServerState::CheckingFolders && info.isDir()) {
        if (info.name() == QLatin1String("latest"))
            server->latestFound = true;
        else if (info.name() == date)
            server->dateFound = true;
    } else if (server->state() == ServerState::ListingCopies && !server->foldersToList.isEmpty()) {
        // Some servers list a folder's entries under their path.
        heldIn(*server, server->foldersToList.first())
            .insert(info.name().section(QLatin1Char('/'), -1), info.isFile() ? info.size() : -1);
    } else if (server->state() == ServerState::Pruning) {
        pruning->listInfo(server->ftp, info);
    }
}

void MainWindow::transferDone(bool error)
{
    FtpServer *server = serverOf(sender());
    if (!server)
        return;
    switch (server->state()) {
    case ServerState::LoggingIn:
    case ServerState::EnteringFolders:
        giveUpServer(*server, error);
        break;
    case ServerState::CheckingFolders:
        if (error)
            giveUpServer(*server, error);
        else if (!listHeldCopies(*server))
            serverReady(*server);
        break;
    case ServerState::ListingCopies:
        if (error)
            giveUpServer(*server, error);
        else
            serverReady(*server);
        break;
    case ServerState::Pruning:
        break; // the pruning goes on from commandFinished
    case ServerState::ReadyToTransfer:
    case ServerState::ShuttingDown:
    case ServerState::ShutDown:
        if (const std::optional<EntryKind> kind = kindBeingSent()) {
            entryUploadsDone(*kind);
            break;
        }
        if (server->state() == ServerState::ShuttingDown)
            server->setState(ServerState::ShutDown);
        if (allUsableServersIn(ftps, ServerState::ShutDown)) {
            setStep(RunStep::Finished);
            log("Exit successful");
            runEnded();
        }
        break;
    }
}

// Given up for the rest of the process; the others go on.
void MainWindow::giveUpServer(FtpServer &server, bool error)
{
    server.invalid = true;
    if (error)
        logError(server.label() + " stopping");
    else
        logError(server.label() + " ftp cannot be done at this time, contact me pls");
    startRunIfServersReady(false);
}

// The last server to finish the entry's uploads moves the run on.
void MainWindow::entryUploadsDone(EntryKind kind)
{
    if (anyUsableServerBusy(ftps))
        return;
    const QList<BackupEntry> &entries = entryListOf(kind).entries;
    if (index < 0 || index >= entries.size())
        return; // no entry is being uploaded
    const BackupEntry &entry = entries.at(index);
    if (kind == EntryKind::File)
        log("Transfer of " + entry.path + " done");
    else
        log("Transfer of " + entry.path + ".zip done");
    endEntry();
    runNext();
}

// Lists what "latest" and today's folder hold, where they existed before
// this run: the run skips only entries that every destination holds, and
// sends a name the server already holds through a temporary name. False
// when there is nothing to list.
bool MainWindow::listHeldCopies(FtpServer &server)
{
    QStringList folders;
    if (server.latestFound)
        folders << QStringLiteral("latest");
    if (server.dateFound)
        folders << date;
    if (folders.isEmpty())
        return false;
    server.setState(ServerState::ListingCopies);
    server.foldersToList = folders;
    for (const QString &folder : qAsConst(folders))
        server.ftp->list(folder);
    return true;
}

void MainWindow::serverReady(FtpServer &server)
{
    log(server.label() + " All directories up to date, ready to transfer");
    server.setState(ServerState::ReadyToTransfer);
    startRunIfServersReady(true);
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

// The entry's copies in "latest" and today's folder go to the server one
// command at a time, each queued when the one before has finished: a
// failing command drops whatever the client holds behind it.
void MainWindow::startUploads(FtpServer &server, const QString &source, const QString &name)
{
    server.uploadSource = source;
    server.copies.clear();
    for (const QString &folder : { QStringLiteral("latest"), date }) {
        RemoteCopy copy;
        copy.folder = folder;
        copy.name = name;
        copy.held = heldIn(server, folder).contains(name);
        server.copies << copy;
    }
    sendNextCopy(server);
}

// A name the server does not hold yet is sent under that name; one it holds
// goes to the temporary name first, so that the old copy stays whole until
// the new one is.
void MainWindow::sendNextCopy(FtpServer &server)
{
    if (server.copies.isEmpty()) {
        server.setUploadStep(UploadStep::Idle);
        return; // the client's queue runs empty: transferDone() goes on
    }
    RemoteCopy &copy = server.copies.first();
    if (server.renameRefused)
        copy.held = false;
    if (copy.held)
        copy.temporaryStored = true;
    queueUpload(server.ftp, server.uploadSource, copy.held ? copy.temporary() : copy.target());
    server.setUploadStep(UploadStep::Storing);
}

void MainWindow::sendRaw(FtpServer &server, const QString &command, UploadStep step)
{
    server.replyCode = 0;
    server.replyText.clear();
    server.ftp->rawCommand(command);
    server.setUploadStep(step);
}

// One command of the copy under way has finished. Raw commands are judged
// by their reply alone, whether or not the client counts the reply as a
// failure.
void MainWindow::continueUpload(FtpServer &server, bool error)
{
    if (server.copies.isEmpty() || server.uploadStep() == UploadStep::Idle)
        return;
    RemoteCopy &copy = server.copies.first();
    const int replyClass = server.replyCode / 100;
    switch (server.uploadStep()) {
    case UploadStep::Idle:
        break;
    case UploadStep::Storing:
        if (error)
            return endCopy(server, false);
        // TYPE I of the upload is still in force: SIZE counts bytes.
        server.bytesSent = QFileInfo(server.uploadSource).size();
        return sendRaw(server, "SIZE " + (copy.held ? copy.temporary() : copy.target()),
                       UploadStep::CheckingSize);
    case UploadStep::CheckingSize: {
        // A server without SIZE (5xx) is taken at its word.
        bool isNumber = false;
        const qint64 stored
            = server.replyText.simplified().section(QLatin1Char(' '), 0, 0).toLongLong(&isNumber);
        const bool confirmed = replyClass == 5
            || (server.replyCode == 213 && isNumber && stored == server.bytesSent);
        if (!confirmed)
            return endCopy(server, false);
        if (!copy.held)
            return endCopy(server, true);
        if (server.renameOntoExistingRefused) {
            copy.oldRemovalTried = true;
            server.ftp->remove(copy.target());
            return server.setUploadStep(UploadStep::RemovingOld);
        }
        return sendRaw(server, "RNFR " + copy.temporary(), UploadStep::NamingFrom);
    }
    case UploadStep::NamingFrom:
        if (server.replyCode == 350)
            return sendRaw(server, "RNTO " + copy.target(), UploadStep::NamingTo);
        if (replyClass == 5) {
            // No renaming at all here: the whole, checked file under the
            // temporary name is sent again under the final one, and so is
            // every later copy, straight away.
            if (!server.renameRefused) {
                logError(
                    server.label()
                    + " refuses renaming files: copies there are replaced in place, not whole");
            }
            server.renameRefused = true;
            return sendNextCopy(server);
        }
        return endCopy(server, false);
    case UploadStep::NamingTo:
        if (replyClass == 2) {
            copy.temporaryStored = false; // renamed away
            return endCopy(server, true);
        }
        if (replyClass == 5 && !copy.oldRemovalTried) {
            // Some servers do not rename onto an existing name: the old
            // copy goes first, the new one is whole and checked by now.
            server.renameOntoExistingRefused = true;
            copy.oldRemovalTried = true;
            server.ftp->remove(copy.target());
            return server.setUploadStep(UploadStep::RemovingOld);
        }
        return endCopy(server, false);
    case UploadStep::RemovingOld:
        copy.oldRemoved = !error;
        return sendRaw(server, "RNFR " + copy.temporary(), UploadStep::NamingFrom);
    case UploadStep::RemovingTemporary:
        return sendNextCopy(server);
    }
}

// The copy under way is over, sent or failed. A failed copy ends the
// entry's uploads to this server, as the client would have dropped what
// followed it. The temporary name is removed when the connection allows,
// except when it holds the only whole copy left (the old one is gone).
void MainWindow::endCopy(FtpServer &server, bool sent)
{
    const RemoteCopy copy = server.copies.takeFirst();
    if (sent) {
        heldIn(server, copy.folder).insert(copy.name, server.bytesSent);
    } else {
        logError(server.label() + " failed to transfer file");
        markEntryFailed(server.label());
        server.copies.clear();
    }
    const bool keepTemporary = !sent && copy.oldRemoved;
    if (copy.temporaryStored && !keepTemporary && server.ftp->state() == QFtp::LoggedIn) {
        server.ftp->remove(copy.temporary());
        server.setUploadStep(UploadStep::RemovingTemporary);
        return;
    }
    sendNextCopy(server);
}
