#include "mainwindow.h"

#include "hostfield.h"

#include "qftp.h"

#include <QFile>
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
        break;
    default:
        break;
    }
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
    case ServerState::ReadyToTransfer:
        if (command == QFtp::Put && error) {
            logError(server->label() + " failed to transfer file");
            markEntryFailed(server->label());
        }
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
        if (error) {
            giveUpServer(*server, error);
            break;
        }
        log(server->label() + " All directories up to date, ready to transfer");
        server->setState(ServerState::ReadyToTransfer);
        startRunIfServersReady(true);
        break;
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
