#include "serverconnection.h"

#include "entrydigest.h"
#include "pruning.h"

#include <QFileInfo>
#include <QLoggingCategory>
#include <QRegExp>

namespace {

// Off by default: QT_LOGGING_RULES="mirvo.server.debug=true" shows each change.
Q_LOGGING_CATEGORY(lcServer, "mirvo.server", QtInfoMsg)

const QString indexName = QLatin1String(BackupIndex::fileName);

// The most leftovers of earlier runs deleted in one preparation: a server
// that lists more is not followed further (the rest wait for the next run).
const int leftoverLimit = 1000;

// The waits between attempts are multiplied by MIRVO_RETRY_SCALE (a
// decimal number, 0 or more) when it is set, so that tests need not wait
// for minutes; 1 otherwise.
double retryScale()
{
    bool isNumber = false;
    const double scale = qEnvironmentVariable("MIRVO_RETRY_SCALE").toDouble(&isNumber);
    return isNumber && scale >= 0 ? scale : 1.0;
}

// "." (the login directory itself) and ".." exist on every server, but most
// servers leave them out of their listings; asking to create them would fail.
bool alwaysExists(const QString &folder)
{
    return folder == QLatin1String(".") || folder == QLatin1String("..");
}

// A refused login is the server's answer, unless its text says that the
// server is only busy for now.
bool saysBusy(const QString &text)
{
    static const QRegExp busy(QStringLiteral("busy|too many|try again|later|maximum"),
                              Qt::CaseInsensitive);
    return text.contains(busy);
}

} // namespace

bool isTemporaryUploadName(const QString &name)
{
    return name.size() > 8 && name.startsWith(QLatin1Char('.'))
        && name.endsWith(QLatin1String(".upload"));
}

ServerConnection::ServerConnection(const Settings &settings, QObject *parent)
    : QObject(parent)
    , settings(settings)
    , ftp(new QFtp(this))
{
    if (settings.mode == Mode::Backup)
        indexes = std::make_unique<ServerIndexes>();
    retryTimer.setSingleShot(true);
    connect(&retryTimer, &QTimer::timeout, this, &ServerConnection::reconnect);
    // What went out counts, not what the file holds once it has been sent.
    connect(ftp, &QFtp::dataTransferProgress, this, [this](qint64 done, qint64) {
        if (currentUploadStep == UploadStep::Storing)
            progress = done;
    });
}

ServerConnection::~ServerConnection() = default;

// The only way to change the state; clears what the new state starts from.
void ServerConnection::setState(ServerState next)
{
    qCDebug(lcServer).verbosity(QDebug::MinimumVerbosity)
        << settings.label << "state" << currentState << "->" << next;
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
        leftovers.clear();
        break;
    default:
        break;
    }
}

void ServerConnection::setUploadStep(UploadStep next)
{
    qCDebug(lcServer).verbosity(QDebug::MinimumVerbosity)
        << settings.label << "upload" << currentUploadStep << "->" << next;
    currentUploadStep = next;
}

bool ServerConnection::isBusy() const
{
    // The command that ends the work may still be finishing: it does not count.
    return work != Work::None || currentState == ServerState::WaitingToRetry;
}

// ---------------------------------------------------------------------------
// Preparation

void ServerConnection::start()
{
    setState(ServerState::LoggingIn);
    connectAndLogin();
}

// Nothing goes out before the event loop runs.
void ServerConnection::connectAndLogin()
{
    connectTo(ftp, settings.address);
    ftp->login(settings.user, settings.password);
    ftp->readFeatures();
}

QHash<QString, qint64> &ServerConnection::heldIn(const QString &folder)
{
    return folder == QLatin1String("latest") ? latestHeld : datedHeld;
}

QString ServerConnection::folderOf(ServerIndexes::Folder index) const
{
    return index == ServerIndexes::Latest ? QStringLiteral("latest") : settings.datedFolder;
}

ServerIndexes::Folder ServerConnection::indexOf(const QString &folder)
{
    return folder == QLatin1String("latest") ? ServerIndexes::Latest : ServerIndexes::Dated;
}

// Each command is queued from the end of the one before, so the client's
// queue never runs empty until the server is ready (or has failed).
void ServerConnection::commandFinished(bool error)
{
    const QFtp::Command command = ftp->currentCommand();
    // A listing goes in TYPE A; a transfer, or a SIZE answered at all (it
    // came after its TYPE I), leaves TYPE I in force.
    const bool sizeAnswered = command == QFtp::Size
        && (!error || ftp->fileSize().outcome == QFtp::NoSuchFile
            || ftp->fileSize().outcome == QFtp::SizeNotSupported);
    if (command == QFtp::List || command == QFtp::ConnectToHost)
        binaryInForce = false;
    else if ((!error && (command == QFtp::Get || command == QFtp::Put)) || sizeAnswered)
        binaryInForce = true;
    const bool retrying = currentState != ServerState::WaitingToRetry
        && currentState != ServerState::Pruning && currentState != ServerState::ShuttingDown
        && currentState != ServerState::ShutDown && currentState != ServerState::GivenUp
        && currentUploadStep != UploadStep::RemovingFragment
        && currentUploadStep != UploadStep::RemovingTemporary
        && currentUploadStep != UploadStep::SettingTime;
    if (error && everLoggedIn && retrying && isTransient(command) && retry(reasonOfFailure()))
        return;

    switch (currentState) {
    case ServerState::LoggingIn:
        loggingIn(command, error);
        break;
    case ServerState::EnteringFolders:
        if (error)
            emit errorLine(settings.label + " cannot initialize transfer: " + reasonOfFailure());
        else
            enterFolders(command);
        break;
    case ServerState::CheckingFolders:
    case ServerState::ListingCopies:
        if (error)
            emit errorLine(settings.label + " cannot initialize transfer: " + reasonOfFailure());
        else if (command == QFtp::List && currentState == ServerState::CheckingFolders)
            createMissingFolders();
        else if (command == QFtp::List && !foldersToList.isEmpty())
            foldersToList.removeFirst();
        break;
    case ServerState::ReadingIndexes:
        indexDownloaded(error);
        break;
    case ServerState::RemovingLeftovers:
        removeNextLeftover(); // a name already gone is no failure
        break;
    case ServerState::ReadyToTransfer:
        if (work == Work::Upload || work == Work::Indexes)
            continueUpload(error);
        else if (work != Work::None)
            finishWork(error);
        break;
    case ServerState::Pruning:
        pruning->commandFinished(ftp, error);
        break;
    case ServerState::ShuttingDown:
        if (command == QFtp::Close || ftp->hasPendingCommands())
            break;
        // What stop() cut off has ended, and dropped what was behind it:
        // the fragment it left goes, then the indexes go up, then the close.
        if (!fragmentToRemove.isEmpty() && ftp->state() == QFtp::LoggedIn) {
            ftp->remove(fragmentToRemove);
            fragmentToRemove.clear();
            break;
        }
        fragmentToRemove.clear();
        if (std::exchange(indexesOnStop, false) && ftp->state() == QFtp::LoggedIn
            && queueIndexesOnStop())
            break;
        ftp->close();
        break;
    case ServerState::WaitingToRetry:
    case ServerState::ShutDown:
    case ServerState::GivenUp:
        break;
    }
}

void ServerConnection::loggingIn(QFtp::Command command, bool error)
{
    const QString &label = settings.label;
    if (command == QFtp::ConnectToHost && !error) {
        if (!everLoggedIn)
            emit logLine(label + " is connected");
    } else if (command == QFtp::ConnectToHost && ftp->error() == QFtp::TlsFailed) {
        // The line that follows says why, with what to do about it.
        emit errorLine(label + " cannot connect");
        emit errorLine(label + " " + tlsFailureText(*ftp));
    } else if (command == QFtp::ConnectToHost) {
        emit errorLine(label + " cannot connect: " + reasonOfFailure());
    } else if (command == QFtp::Login && !error) {
        if (!everLoggedIn)
            emit logLine(label + " is logged in");
        everLoggedIn = true;
        setState(ServerState::EnteringFolders);
        ftp->list();
    } else if (command == QFtp::Login) {
        emit errorLine(label + " cannot login: " + reasonOfFailure());
    }
}

// One folder of the remote path after the other: list, create it if the
// listing lacks it, enter it; after the last one, check the target folder.
void ServerConnection::enterFolders(QFtp::Command command)
{
    switch (command) {
    case QFtp::List: {
        const QString folder = settings.folders.at(folderIndex);
        if (folderFound || alwaysExists(folder)) {
            ftp->cd(folder);
        } else if (settings.mode == Mode::Backup) {
            ftp->mkdir(folder);
        } else {
            emit errorLine(settings.label + " cannot find folder " + folder);
            giveUp(true, QStringLiteral("no folder ") + folder);
        }
        break;
    }
    case QFtp::Mkdir:
        ftp->cd(settings.folders.at(folderIndex));
        break;
    case QFtp::Cd:
        ++folderIndex;
        if (folderIndex < settings.folders.size()) {
            folderFound = false;
            ftp->list();
        } else if (settings.mode == Mode::Backup) {
            setState(ServerState::CheckingFolders);
            ftp->list();
        } else {
            prepared();
        }
        break;
    default:
        break;
    }
}

// The listing of the target folder is through: create what it lacked.
void ServerConnection::createMissingFolders()
{
    if (!latestFound)
        ftp->mkdir(QStringLiteral("latest"));
    if (!dateFound)
        ftp->mkdir(settings.datedFolder);
}

// Lists what "latest" and today's folder hold, where they existed: the run
// skips only entries that every destination holds, and sends a name the
// server already holds through a temporary name. False when there is
// nothing to list.
bool ServerConnection::listHeldCopies()
{
    QStringList folders;
    if (latestFound)
        folders << QStringLiteral("latest");
    if (dateFound)
        folders << settings.datedFolder;
    if (folders.isEmpty())
        return false;
    setState(ServerState::ListingCopies);
    foldersToList = folders;
    for (const QString &folder : qAsConst(folders))
        ftp->list(folder);
    return true;
}

void ServerConnection::listInfo(const QUrlInfo &info)
{
    // A symbolic link is listed as a directory, and counts as one.
    switch (currentState) {
    case ServerState::EnteringFolders:
        if (info.isDir() && info.name() == settings.folders.at(folderIndex))
            folderFound = true;
        break;
    case ServerState::CheckingFolders:
        if (info.isDir() && info.name() == QLatin1String("latest"))
            latestFound = true;
        else if (info.isDir() && info.name() == settings.datedFolder)
            dateFound = true;
        break;
    case ServerState::ListingCopies: {
        if (foldersToList.isEmpty())
            break;
        // Some servers list a folder's entries under their path.
        const QString folder = foldersToList.first();
        const QString name = info.name().section(QLatin1Char('/'), -1);
        heldIn(folder).insert(name, info.isFile() ? info.size() : -1);
        const QString path = folder + "/" + name;
        bool inUse = false; // by the copy that waits for this new login
        for (const Copy &copy : qAsConst(copies))
            inUse = inUse || copy.staged == path;
        if (info.isFile() && isTemporaryUploadName(name) && !inUse
            && leftovers.size() < leftoverLimit)
            leftovers << path;
        break;
    }
    case ServerState::ReadyToTransfer:
        if (work == Work::List)
            entries << info;
        break;
    case ServerState::Pruning:
        pruning->listInfo(ftp, info);
        break;
    default:
        break;
    }
}

void ServerConnection::done(bool error)
{
    switch (currentState) {
    case ServerState::LoggingIn:
    case ServerState::EnteringFolders:
        giveUp(error, QString());
        break;
    case ServerState::CheckingFolders:
        if (error)
            giveUp(true, QString());
        else if (!listHeldCopies())
            readNextIndex(); // none to read: the folders are new
        break;
    case ServerState::ListingCopies:
        if (error)
            giveUp(true, QString());
        else
            readNextIndex();
        break;
    case ServerState::ShuttingDown:
    case ServerState::ShutDown:
        setState(ServerState::ShutDown);
        emit closed();
        break;
    default:
        break; // the work goes on from commandFinished
    }
}

// The indexes of the folders listed, once per run (a new login does not
// read them again: they hold what this run did). A folder without one
// starts an empty index; something else under the index's name, or an
// index too big to read, is left alone.
void ServerConnection::readNextIndex()
{
    for (const ServerIndexes::Folder folder : { ServerIndexes::Latest, ServerIndexes::Dated }) {
        if (!indexes || !indexes->needsReading(folder))
            continue;
        const QString name = folderOf(folder);
        const qint64 size = heldIn(name).value(indexName, -2);
        if (size == -2) {
            indexes->startEmpty(folder);
            continue;
        }
        if (size < 0 || size > ServerIndexes::largestIndex) {
            emit errorLine(settings.label + " cannot read the index of " + name
                           + ", which is left as it is: "
                           + (size < 0 ? "it is not a file" : "it is too big"));
            indexes->leaveAlone(folder);
            continue;
        }
        indexBeingRead = folder;
        indexFile = std::make_unique<QFile>(indexes->scratchFile(folder));
        if (!indexFile->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            emit errorLine("Cannot write " + indexFile->fileName() + ": "
                           + indexFile->errorString());
            indexes->leaveAlone(folder);
            continue;
        }
        setState(ServerState::ReadingIndexes);
        ftp->get(name + "/" + indexName, indexFile.get(), QFtp::Binary);
        return;
    }
    removeNextLeftover();
}

void ServerConnection::indexDownloaded(bool error)
{
    const ServerIndexes::Folder folder = indexBeingRead;
    indexFile->close();
    indexFile.reset();
    QString problem;
    if (error) {
        problem = reasonOfFailure();
        indexes->leaveAlone(folder);
    } else if (indexes->readDownloaded(folder, &problem) && folder == ServerIndexes::Latest) {
        // A copy of latest/ that is gone or cut is sent again and listed
        // anew; in a dated folder a damaged copy keeps its line, so that a
        // check still reports it.
        indexes->keepListed(folder, heldIn(folderOf(folder)));
    }
    if (!problem.isEmpty())
        emit errorLine(settings.label + " cannot read the index of " + folderOf(folder)
                       + ", which is left as it is: " + problem);
    readNextIndex();
}

// Temporary names of copies that an earlier run did not finish: nothing
// of this run is under them, and the copies they were for stand whole.
void ServerConnection::removeNextLeftover()
{
    if (leftovers.isEmpty()) {
        prepared();
        return;
    }
    setState(ServerState::RemovingLeftovers);
    const QString leftover = leftovers.takeFirst();
    emit logLine(settings.label + " removed " + leftover + ", left by an earlier run");
    ftp->remove(leftover);
}

void ServerConnection::prepared()
{
    setState(ServerState::ReadyToTransfer);
    if (everReady) {
        resumeWork(); // logged in again: on with what failed
        return;
    }
    everReady = true;
    if (settings.mode == Mode::Backup)
        emit logLine(settings.label + " All directories up to date, ready to transfer");
    else
        emit logLine(settings.label + " is ready");
    emit ready();
}

// Given up for the rest of the run; what was asked of it fails.
void ServerConnection::giveUp(bool error, const QString &reason)
{
    retryTimer.stop();
    const Work abandoned = work;
    work = Work::None;
    copies.clear();
    setUploadStep(UploadStep::Idle);
    if (abandoned == Work::Upload)
        lastUploadFailed = true;
    if (abandoned == Work::Indexes) {
        QStringList names;
        for (const ServerIndexes::Folder folder : qAsConst(indexesToWrite))
            names << indexes->changedNames(folder);
        emit indexNotWritten(names);
    }
    setState(ServerState::GivenUp);
    if (error)
        emit errorLine(settings.label + " stopping");
    else
        emit errorLine(settings.label + " ftp cannot be done at this time, contact me pls");
    if (abandoned == Work::List || abandoned == Work::Download || abandoned == Work::Size)
        emit operationFailed(reason);
    emit givenUp();
    if (abandoned == Work::Indexes)
        closeNow(); // the run waits for this close
}

// ---------------------------------------------------------------------------
// Failures and retries

// The server's last reply when it refused, or else what the client saw
// (a lost connection, a timeout, a cut upload): one bounded line.
QString ServerConnection::reasonOfFailure() const
{
    const QFtp::Reply reply = ftp->lastReply();
    if (reply.code >= 400 && ftp->error() == QFtp::UnknownError)
        return reply.toString();
    const QString text = ftp->errorString();
    return QFtp::Reply { 0, text.mid(text.indexOf(QLatin1Char('\n')) + 1) }.toString();
}

// Worth another attempt: the connection failed, or the server said "not
// now" (4xx). A 5xx is the server's answer, and a source that cannot be
// read stays so.
bool ServerConnection::isTransient(QFtp::Command command) const
{
    const QFtp::Reply reply = ftp->lastReply();
    if (command == QFtp::Put && ftp->uploadSourceFailed())
        return false;
    if (command == QFtp::Login && reply.code == 530)
        return saysBusy(reply.text);
    if (reply.code >= 500)
        return false;
    if (ftp->state() == QFtp::Unconnected || reply.code >= 400)
        return true;
    switch (ftp->error()) {
    case QFtp::HostNotFound:
    case QFtp::ConnectionRefused:
    case QFtp::NotConnected:
        return true;
    default:
        return command == QFtp::Put; // its data connection was cut
    }
}

// Waits and logs in again; false when the attempts or the time of the run
// are spent, and the server has been given up.
bool ServerConnection::retry(const QString &reason)
{
    if (!retryClock.isValid())
        retryClock.start();
    const bool spent = attempts >= maximumAttempts
        || retryClock.elapsed() > qint64(maximumRetryMinutes) * 60 * 1000;
    if (spent) {
        if (work == Work::Upload)
            emit errorLine(settings.label + " failed to transfer file: " + reason);
        emit errorLine(settings.label + " gave up after " + QString::number(attempts)
                       + " attempts");
        giveUp(true, reason);
        return true;
    }
    ++attempts;
    const int seconds = qMin(longestWaitSeconds, 1 << qMin(consecutiveFailures, 6));
    ++consecutiveFailures;
    emit logLine(settings.label + " " + reason + ", trying again in " + QString::number(seconds)
                 + " s (attempt " + QString::number(attempts) + " of "
                 + QString::number(maximumAttempts) + ")");
    setState(ServerState::WaitingToRetry);
    setUploadStep(UploadStep::Idle);
    retryTimer.start(int(seconds * 1000 * retryScale()));
    return true;
}

void ServerConnection::reconnect()
{
    setState(ServerState::LoggingIn);
    connectAndLogin();
}

// Logged in and walked down again: what failed goes on. A first upload's
// part under its final name goes first (the name was free before).
void ServerConnection::resumeWork()
{
    switch (work) {
    case Work::None:
        break;
    case Work::Upload:
    case Work::Indexes:
        if (copies.isEmpty()) {
            endUpload();
        } else if (copies.first().fragmentPossible) {
            ftp->remove(copies.first().target());
            setUploadStep(UploadStep::RemovingFragment);
        } else {
            startCopy();
        }
        break;
    case Work::List:
    case Work::Download:
    case Work::Size:
        runListOrDownload();
        break;
    }
}

// ---------------------------------------------------------------------------
// Uploads

void ServerConnection::upload(const QString &path, const QString &name)
{
    described.reset();
    digest.reset();
    startUpload(path, name);
}

void ServerConnection::upload(const QString &path, const QString &name, const IndexEntry &entry,
                              const std::shared_ptr<EntryDigest> &entryDigest)
{
    described = entry;
    digest = entryDigest;
    startUpload(path, name);
}

void ServerConnection::startUpload(const QString &path, const QString &name)
{
    work = Work::Upload;
    reached.clear();
    source = path;
    const QFileInfo info(path);
    sourceSize = info.size();
    sourceModified = info.lastModified();
    lastUploadFailed = false;
    copies.clear();
    for (const QString &folder : { QStringLiteral("latest"), settings.datedFolder }) {
        Copy copy;
        copy.folder = folder;
        copy.name = name;
        copy.held = heldIn(folder).contains(name);
        copies << copy;
    }
    if (currentState == ServerState::ReadyToTransfer)
        startCopy();
}

// A name the server does not hold yet is sent under that name; one it holds
// goes to a temporary name first, so that the old copy stays whole until the
// new one is. A temporary name that holds a part of this run's upload is
// resumed where it ends, if the source has not changed since.
void ServerConnection::startCopy()
{
    if (copies.isEmpty()) {
        endUpload();
        return;
    }
    Copy &copy = copies.first();
    if (renameRefused && copy.held) {
        copy.held = false;
        copy.fragmentPossible = false; // the old copy is under the name: it is replaced in place
        storeCopy(0);
        return;
    }
    if (!copy.held) {
        copy.fragmentPossible = !heldIn(copy.folder).contains(copy.name);
        storeCopy(0);
        return;
    }
    if (renamingBroken) {
        failCopy(QStringLiteral("the server renames nothing, the old copy stays"));
        return;
    }
    if (copy.staged.isEmpty())
        copy.staged = copy.folder + "/" + temporaryUploadName(copy.name);
    if (copy.stagedStored && !resumeRefused && sourceUnchanged()) {
        ftp->size(copy.staged);
        setUploadStep(UploadStep::MeasuringTemporary);
        return;
    }
    storeCopy(0);
}

bool ServerConnection::sourceUnchanged() const
{
    const QFileInfo info(source);
    return info.size() == sourceSize && info.lastModified() == sourceModified;
}

void ServerConnection::storeCopy(qint64 from)
{
    Copy &copy = copies.first();
    offset = from;
    progress = 0;
    if (copy.held)
        copy.stagedStored = true;
    // The client owns the file: it goes when the upload ends, fails or is
    // dropped, or with the client.
    ftp->put(std::make_unique<QFile>(source), copy.held ? copy.staged : copy.target(), from,
             QFtp::Binary);
    setUploadStep(UploadStep::Storing);
}

// One command of the copy under way has finished.
void ServerConnection::continueUpload(bool error)
{
    if (copies.isEmpty())
        return;
    switch (currentUploadStep) {
    case UploadStep::Idle:
        break;
    case UploadStep::MeasuringTemporary: {
        const qint64 held = ftp->fileSize().bytes;
        storeCopy(!error && held > 0 && held <= sourceSize ? held : 0);
        break;
    }
    case UploadStep::Storing:
        afterStore(error);
        break;
    case UploadStep::CheckingSize:
        afterSize(error, false);
        break;
    case UploadStep::CheckingRenamed:
        afterSize(error, true);
        break;
    case UploadStep::Renaming:
        afterRename(error, false);
        break;
    case UploadStep::ProbingRename:
        afterRename(error, true);
        break;
    case UploadStep::RemovingOld:
        if (error) {
            failCopy(reasonOfFailure());
        } else {
            copies.first().oldRemoved = true;
            renameStaged();
        }
        break;
    case UploadStep::SettingTime:
        copyDone(); // a time that could not be set leaves the copy as it is
        break;
    case UploadStep::CheckingHash:
        afterHash(error);
        break;
    case UploadStep::RemovingFragment:
    case UploadStep::RemovingTemporary:
        if (lastUploadFailed)
            endUpload();
        else
            startCopy(); // the next copy, or this one again after a new login
        break;
    }
}

void ServerConnection::afterStore(bool error)
{
    Copy &copy = copies.first();
    if (error && offset > 0 && !ftp->uploadSourceFailed()) {
        resumeRefused = true; // REST or APPE refused: the whole file, from its start
        storeCopy(0);
        return;
    }
    if (error) {
        failCopy(reasonOfFailure());
        return;
    }
    bytesSent = offset + progress;
    // TYPE I of the upload is still in force: SIZE counts bytes.
    ftp->size(copy.held ? copy.staged : copy.target(), false);
    setUploadStep(UploadStep::CheckingSize);
}

// The size of what was stored (or, after the rename, of the final name)
// must be what was sent. A server without SIZE is taken at its word; one
// that says the file it just took is not there holds nothing.
void ServerConnection::afterSize(bool error, bool renamed)
{
    Copy &copy = copies.first();
    const QFtp::FileSize size = ftp->fileSize();
    if (size.outcome != QFtp::SizeNotSupported && (error || size.bytes != bytesSent)) {
        QString reason = error ? reasonOfFailure()
                               : "the server holds " + QString::number(size.bytes)
                + " bytes of the " + QString::number(bytesSent) + " sent";
        if (renamed)
            reason = "after the rename, " + reason;
        failCopy(reason);
        return;
    }
    if (renamed || !copy.held) {
        finishCopy();
    } else if (offset > 0 && work == Work::Upload && digest && ftp->offersSha256()) {
        // A resumed upload joined two attempts: where the server can say,
        // its bytes are compared with the source's, without reading them back.
        ftp->sha256OfFile(copy.staged);
        setUploadStep(UploadStep::CheckingHash);
    } else {
        placeStaged();
    }
}

// A hash the server cannot give leaves the size check, which passed.
void ServerConnection::afterHash(bool error)
{
    const QByteArray expected = digest->result();
    if (!error && !expected.isEmpty() && ftp->remoteSha256() != expected)
        failCopy(QStringLiteral("the server's SHA-256 of the resumed copy is not the source's"));
    else
        placeStaged();
}

// The staged copy is whole and checked: it takes the old copy's place.
void ServerConnection::placeStaged()
{
    if (renameOntoExistingRefused) {
        ftp->remove(copies.first().target());
        setUploadStep(UploadStep::RemovingOld);
    } else {
        renameStaged();
    }
}

void ServerConnection::renameStaged()
{
    const Copy &copy = copies.first();
    ftp->rename(copy.staged, copy.target());
    setUploadStep(UploadStep::Renaming);
}

// A refused RNFR: the server renames nothing, and copies are replaced in
// place. A refused RNTO: the old copy goes first, but only where renaming
// is known to work (onto a free name), so that a server that renames
// nothing keeps its named copy.
void ServerConnection::afterRename(bool error, bool probing)
{
    Copy &copy = copies.first();
    if (!error && probing) {
        renameOntoNewWorks = true;
        renameOntoExistingRefused = true;
        copy.staged = copy.folder + "/" + temporaryUploadName(temporaryUploadName(copy.name));
        ftp->remove(copy.target());
        setUploadStep(UploadStep::RemovingOld);
        return;
    }
    if (!error) {
        ftp->size(copy.target(), false);
        setUploadStep(UploadStep::CheckingRenamed);
        return;
    }
    const QFtp::RenameOutcome outcome = ftp->renameOutcome();
    if (outcome == QFtp::FromRefused && !probing && !copy.oldRemoved) {
        // The whole, checked file under the temporary name is sent again
        // under the final one, and so is every later copy, straight away.
        if (!renameRefused) {
            emit errorLine(
                settings.label
                + " refuses renaming files: copies there are replaced in place, not whole");
        }
        renameRefused = true;
        startCopy();
    } else if (outcome == QFtp::ToRefused && !probing && !copy.oldRemoved) {
        if (renameOntoNewWorks) {
            renameOntoExistingRefused = true;
            ftp->remove(copy.target());
            setUploadStep(UploadStep::RemovingOld);
        } else {
            ftp->rename(copy.staged,
                        copy.folder + "/" + temporaryUploadName(temporaryUploadName(copy.name)));
            setUploadStep(UploadStep::ProbingRename);
        }
    } else {
        if (probing)
            renamingBroken = true;
        failCopy(reasonOfFailure());
    }
}

// The copy under way failed: the entry's other copy is not sent to this
// server. What the failed copy left goes when the connection allows: a
// first upload's part under its final name, or the temporary name, unless
// it holds the only whole copy left (the old one was deleted).
void ServerConnection::failCopy(const QString &reason)
{
    if (work == Work::Indexes)
        indexFailure = reason;
    else
        emit errorLine(settings.label + " failed to transfer file: " + reason);
    lastUploadFailed = true;
    while (copies.size() > 1)
        copies.removeLast();
    const Copy &copy = copies.first();
    // The old copy stays whole until its replacement is renamed over it.
    const bool oldWhole
        = copy.held && !copy.oldRemoved && currentUploadStep != UploadStep::CheckingRenamed;
    if (indexes && work == Work::Upload && !oldWhole)
        indexes->dropped(indexOf(copy.folder), copy.name);
    if (ftp->state() != QFtp::LoggedIn) {
        endUpload();
    } else if (copy.fragmentPossible) {
        heldIn(copy.folder).remove(copy.name);
        ftp->remove(copy.target());
        setUploadStep(UploadStep::RemovingFragment);
    } else if (copy.stagedStored && !copy.oldRemoved) {
        ftp->remove(copy.staged);
        setUploadStep(UploadStep::RemovingTemporary);
    } else {
        endUpload();
    }
}

// The copy is whole: it gets its source's time where the server sets times.
void ServerConnection::finishCopy()
{
    if (work == Work::Upload && sourceModified.isValid()
        && ftp->hasFeature(QStringLiteral("MFMT"))) {
        ftp->setModificationTime(copies.first().target(), sourceModified);
        setUploadStep(UploadStep::SettingTime);
        return;
    }
    copyDone();
}

void ServerConnection::copyDone()
{
    const Copy copy = copies.takeFirst();
    heldIn(copy.folder).insert(copy.name, bytesSent);
    reached.append({ copy.folder, bytesSent });
    consecutiveFailures = 0;
    if (!copy.held && copy.stagedStored) {
        // Replaced in place: the temporary name is not needed any more.
        ftp->remove(copy.staged);
        setUploadStep(UploadStep::RemovingTemporary);
        return;
    }
    startCopy();
}

void ServerConnection::endUpload()
{
    copies.clear();
    setUploadStep(UploadStep::Idle);
    if (work == Work::Indexes) {
        indexWritten();
        return;
    }
    settleIndexLines();
    work = Work::None;
    emit operationDone();
}

// A copy is listed with the entry's digest only if the bytes sent are the
// ones hashed: the whole file, unchanged since the upload began. Otherwise
// its folder's index does not list it (the next run sends it again).
void ServerConnection::settleIndexLines()
{
    if (!indexes || !described || reached.isEmpty())
        return;
    IndexEntry entry = *described;
    entry.sha256 = digest ? digest->result() : QByteArray();
    for (const auto &[folder, sent] : qAsConst(reached)) {
        const auto which = indexOf(folder);
        if (!entry.sha256.isEmpty() && sent == entry.size && sourceUnchanged())
            indexes->copied(which, entry);
        else
            indexes->dropped(which, entry.name);
    }
    reached.clear();
}

void ServerConnection::prune(OldFolderPruning *oldFolders)
{
    pruning = oldFolders;
    setState(ServerState::Pruning);
    pruning->pruneServer(ftp, settings.label);
}

// ---------------------------------------------------------------------------
// Read-only work

void ServerConnection::list(const QString &folder)
{
    work = Work::List;
    workFolder = folder;
    if (currentState == ServerState::ReadyToTransfer)
        runListOrDownload();
}

void ServerConnection::download(const QString &remote, const QString &localPath)
{
    work = Work::Download;
    remoteFile = remote;
    localFile = std::make_unique<HashingFile>(localPath);
    if (currentState == ServerState::ReadyToTransfer)
        runListOrDownload();
}

void ServerConnection::probeSize(const QString &remote)
{
    work = Work::Size;
    remoteFile = remote;
    if (currentState == ServerState::ReadyToTransfer)
        runListOrDownload();
}

// Started again from the beginning after a new login.
void ServerConnection::runListOrDownload()
{
    if (work == Work::List) {
        entries.clear();
        ftp->list(workFolder);
        return;
    }
    if (work == Work::Size) {
        ftp->size(remoteFile, !binaryInForce);
        return;
    }
    localFile->close(); // still open when an attempt before failed
    if (!localFile->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        work = Work::None;
        emit operationFailed("cannot write " + localFile->fileName() + ": "
                             + localFile->errorString());
        return;
    }
    ftp->get(remoteFile, localFile.get(), QFtp::Binary);
}

void ServerConnection::finishWork(bool error)
{
    const Work finished = work;
    work = Work::None;
    // A file that is not there, or a server without SIZE, is an answer.
    const QFtp::FileSize size = ftp->fileSize();
    if (finished == Work::Size
        && (!error || size.outcome == QFtp::NoSuchFile || size.outcome == QFtp::SizeNotSupported)) {
        consecutiveFailures = 0;
        emit sizeProbed(size);
        emit operationDone();
        return;
    }
    if (finished == Work::Download) {
        localFile->close();
        if (error && !localFile->keepsNothing())
            localFile->remove(); // no part of a file passes for the file
        remoteFile.clear();
    }
    if (error) {
        emit operationFailed(reasonOfFailure());
        return;
    }
    consecutiveFailures = 0;
    if (finished == Work::List)
        emit listed(workFolder, entries);
    emit operationDone();
}

// ---------------------------------------------------------------------------
// The end

void ServerConnection::close()
{
    const bool usable
        = currentState == ServerState::ReadyToTransfer || currentState == ServerState::Pruning;
    indexesToWrite.clear();
    for (const ServerIndexes::Folder folder : { ServerIndexes::Latest, ServerIndexes::Dated }) {
        if (usable && work == Work::None && indexes && indexes->needsWriting(folder))
            indexesToWrite << folder;
        if (indexes && indexes->missesCopies(folder))
            emit indexNotWritten({}); // sending them again would not help
    }
    if (indexesToWrite.isEmpty()) {
        closeNow();
        return;
    }
    setState(ServerState::ReadyToTransfer);
    work = Work::Indexes;
    writeNextIndex();
}

void ServerConnection::closeNow()
{
    retryTimer.stop();
    work = Work::None;
    setState(ServerState::ShuttingDown);
    ftp->close();
}

// An index goes up as a copy does: to a temporary name beside the old one,
// checked, then renamed over it.
void ServerConnection::writeNextIndex()
{
    if (indexesToWrite.isEmpty()) {
        closeNow();
        return;
    }
    const ServerIndexes::Folder folder = indexesToWrite.first();
    Copy copy;
    copy.folder = folderOf(folder);
    copy.name = indexName;
    copy.held = heldIn(copy.folder).contains(indexName);
    QString problem;
    if (!indexes->prepareUpload(folder, &problem)) {
        indexFailure = problem;
        lastUploadFailed = true;
        indexWritten();
        return;
    }
    source = indexes->scratchFile(folder);
    const QFileInfo info(source);
    sourceSize = info.size();
    sourceModified = info.lastModified();
    lastUploadFailed = false;
    copies = { copy };
    startCopy();
}

void ServerConnection::indexWritten()
{
    const ServerIndexes::Folder folder = indexesToWrite.takeFirst();
    const QString name = folderOf(folder) + "/" + indexName;
    if (lastUploadFailed) {
        emit errorLine(settings.label + " cannot write the index " + name + ": " + indexFailure);
        emit indexNotWritten(indexes->changedNames(folder));
    } else {
        indexes->uploaded(folder);
    }
    lastUploadFailed = false;
    writeNextIndex();
}

// Stopped by a signal: the indexes go up in the time left, unchecked (a
// temporary name that stays is removed by the next run).
bool ServerConnection::queueIndexesOnStop()
{
    bool queued = false;
    for (const ServerIndexes::Folder folder : { ServerIndexes::Latest, ServerIndexes::Dated }) {
        QString problem;
        if (!indexes || !indexes->needsWriting(folder) || !indexes->prepareUpload(folder, &problem))
            continue;
        const QString folderName = folderOf(folder);
        const QString target = folderName + "/" + indexName;
        const QString staged = folderName + "/" + temporaryUploadName(indexName);
        auto file = std::make_unique<QFile>(indexes->scratchFile(folder));
        if (renameRefused || renamingBroken) {
            ftp->put(std::move(file), target, QFtp::Binary);
        } else {
            ftp->put(std::move(file), staged, QFtp::Binary);
            if (renameOntoExistingRefused && heldIn(folderName).contains(indexName))
                ftp->remove(target);
            ftp->rename(staged, target);
        }
        queued = true;
    }
    return queued;
}

void ServerConnection::stop()
{
    indexesOnStop = indexes
        && (currentState == ServerState::ReadyToTransfer || currentState == ServerState::Pruning)
        && work != Work::Indexes;
    retryTimer.stop();
    QString fragment;
    if (work == Work::Upload && !copies.isEmpty() && copies.first().fragmentPossible)
        fragment = copies.first().target();
    if (work == Work::Upload && !copies.isEmpty()) {
        // The copy cut off may have taken its old copy's place.
        const Copy &copy = copies.first();
        if (indexes
            && (!copy.held || copy.oldRemoved || currentUploadStep == UploadStep::Renaming
                || currentUploadStep == UploadStep::CheckingRenamed))
            indexes->dropped(indexOf(copy.folder), copy.name);
    }
    work = Work::None;
    copies.clear();
    if (localFile)
        localFile->close();
    setUploadStep(UploadStep::Idle);
    setState(ServerState::ShuttingDown);
    if (ftp->currentCommand() == QFtp::None) {
        if (!std::exchange(indexesOnStop, false) || ftp->state() != QFtp::LoggedIn
            || !queueIndexesOnStop())
            ftp->close();
        return;
    }
    // The command under way ends with an error and drops whatever would be
    // queued behind it: the removal and the close follow its end.
    fragmentToRemove = fragment;
    ftp->abort();
}
