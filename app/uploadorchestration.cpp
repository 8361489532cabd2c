#include "mainwindow.h"

#include "hostfield.h"

#include "qftp.h"

#include <QFile>

namespace {

// Lines about a server start with its host and remote path.
QString prefixOf(const FtpServer &server)
{
    return server.host + " - " + server.remotePath;
}

// True when every server still in use stands in `state`; also true when
// none is left.
bool allUsableServersIn(const QList<FtpServer> &servers, int state)
{
    for (const FtpServer &server : servers) {
        if (!server.invalid && server.state != state)
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

} // namespace

bool MainWindow::prepareServers()
{
    bool clientStarted = false;
    for (FtpServer &server : ftps) {
        log("Initializing " + server.host + " - " + server.remotePath);
        server.invalid = false;
        server.state = LoggingIn;
        server.remotePath.replace(QLatin1Char('\\'), QLatin1Char('/'));
        server.remoteFolders = server.remotePath.split(QLatin1Char('/'), Qt::KeepEmptyParts);
        for (const QString &folder : qAsConst(server.remoteFolders)) {
            if (folder.isEmpty()) {
                logError(prefixOf(server) + " invalid directory name");
                server.invalid = true;
            }
        }
        const ServerAddress address = parseHostField(server.host);
        if (!address.problem.isEmpty()) {
            logError(prefixOf(server) + " invalid host: " + address.problem);
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

// Walks the client down the remote path, creating what is missing, then
// makes sure that "latest" and the dated directory exist there. Each command
// is queued from the end of the one before, so the client's queue never runs
// empty until the server is ready (or has failed).
void MainWindow::transferCommandFinished(int, bool error)
{
    QObject *client = sender();
    for (int i = 0; i < ftps.size(); ++i) {
        FtpServer &server = ftps[i];
        if (!server.ftp || server.ftp != client)
            continue;
        QFtp *ftp = server.ftp;
        const QFtp::Command command = ftp->currentCommand();

        if (command == QFtp::Put) {
            // The upload's file is not needed any more, whatever the outcome.
            if (QIODevice *source = ftp->currentDevice())
                source->deleteLater();
        }

        if (error) {
            switch (command) {
            case QFtp::ConnectToHost:
                logError(prefixOf(server) + " cannot connect");
                if (ftp->error() == QFtp::TlsFailed)
                    logError(prefixOf(server) + " " + tlsFailureText(*ftp));
                break;
            case QFtp::Login:
                logError(prefixOf(server) + " cannot login");
                break;
            case QFtp::List:
            case QFtp::Cd:
            case QFtp::Mkdir:
                logError(prefixOf(server) + " cannot initialize transfer");
                break;
            case QFtp::Put:
                logError(prefixOf(server) + " failed to transfer file");
                entryFailed = true;
                break;
            default:
                break;
            }
            continue;
        }

        switch (command) {
        case QFtp::ConnectToHost:
            log(prefixOf(server) + " is connected");
            break;
        case QFtp::Login:
            log(prefixOf(server) + " is logged in");
            server.state = EnteringFolders;
            ftp->list();
            server.folderIndex = 0;
            server.folderFound = false;
            break;
        case QFtp::List:
            if (server.state == EnteringFolders) {
                const QString folder = server.remoteFolders.at(server.folderIndex);
                if (server.folderFound || alwaysExists(folder))
                    ftp->cd(folder);
                else
                    ftp->mkdir(folder);
            } else if (server.state == CheckingFolders) {
                if (!server.latestFound)
                    ftp->mkdir(QStringLiteral("latest"));
                if (!server.dateFound)
                    ftp->mkdir(date);
            }
            break;
        case QFtp::Cd:
            ++server.folderIndex;
            if (server.folderIndex < server.remoteFolders.size()) {
                ftp->list();
                server.folderFound = false;
            } else {
                server.state = CheckingFolders;
                server.latestFound = false;
                server.dateFound = false;
                ftp->list();
            }
            break;
        case QFtp::Mkdir:
            if (server.state == EnteringFolders)
                ftp->cd(server.remoteFolders.at(server.folderIndex));
            break;
        default:
            break;
        }
    }
}

void MainWindow::transferListInfo(QUrlInfo info)
{
    QObject *client = sender();
    for (FtpServer &server : ftps) {
        if (!server.ftp || server.ftp != client)
            continue;
        // A symbolic link is listed as a directory, and counts as one.
        if (server.state == EnteringFolders) {
            if (info.isDir() && info.name() == server.remoteFolders.at(server.folderIndex))
                server.folderFound = true;
        } else if (server.state == CheckingFolders && info.isDir()) {
            if (info.name() == QLatin1String("latest"))
                server.latestFound = true;
            else if (info.name() == date)
                server.dateFound = true;
        }
    }
}

void MainWindow::transferDone(bool error)
{
    QObject *client = sender();
    for (int i = 0; i < ftps.size(); ++i) {
        FtpServer &server = ftps[i];
        if (!server.ftp || server.ftp != client)
            continue;

        const bool preparing = server.state == LoggingIn || server.state == EnteringFolders;
        if (preparing || (server.state == CheckingFolders && error)) {
            // Given up for the rest of the process; the others go on.
            server.invalid = true;
            if (error)
                logError(prefixOf(server) + " stopping");
            else
                logError(prefixOf(server) + " ftp cannot be done at this time, contact me pls");
            startRunIfServersReady(false);
        } else if (server.state == CheckingFolders) {
            log(prefixOf(server) + " All directories up to date, ready to transfer");
            server.state = ReadyToTransfer;
            startRunIfServersReady(true);
        } else if (step == SendingFiles || step == SendingZippedFiles
                   || step == SendingZippedFolders) {
            // The last server to finish the entry's uploads moves the run on.
            if (anyUsableServerBusy(ftps))
                continue;
            const QList<BackupEntry> &entries = step == SendingFiles
                ? files
                : (step == SendingZippedFiles ? zippedFiles : zippedFolders);
            if (index < 0 || index >= entries.size())
                continue; // no entry is being uploaded
            const BackupEntry &entry = entries.at(index);
            if (step == SendingFiles)
                log("Transfer of " + entry.path + " done");
            else
                log("Transfer of " + entry.path + ".zip done");
            endEntry();
            runNext();
        } else {
            if (server.state == ShuttingDown)
                server.state = ShutDown;
            if (allUsableServersIn(ftps, ShutDown)) {
                step = Finished;
                index = -1;
                log("Exit successful");
            }
        }
    }
}

// The run starts once, when the last server still in use is ready (or when
// the last one has been given up).
void MainWindow::startRunIfServersReady(bool announce)
{
    if (step != Preparing || !allUsableServersIn(ftps, ReadyToTransfer))
        return;
    step = SendingFiles;
    index = -1;
    if (announce)
        log("All FTPs ready to transfer");
    runNext();
}
