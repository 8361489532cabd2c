#include "entryrestore.h"

#include "nestedfolders.h"
#include "restoreplacement.h"

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>

namespace {

// Off by default: QT_LOGGING_RULES="mirvo.restore.debug=true" shows each step.
Q_LOGGING_CATEGORY(lcRestore, "mirvo.restore", QtInfoMsg)

// A source path is only trusted to name a place when it is absolute and
// plain: an index from a save folder of unknown origin could say anything.
bool isPlainAbsolutePath(const QString &path)
{
    return QDir::isAbsolutePath(path) && QDir::cleanPath(path) == path
        && !QFileInfo(path).fileName().isEmpty();
}

} // namespace

QString RestoreRequest::dayText() const
{
    return day.isValid() ? day.toString(Qt::ISODate) : QStringLiteral("latest");
}

EntryRestore::EntryRestore(const RestoreRequest &request,
                           const std::optional<ConfiguredEntry> &configured,
                           const QList<BackupDestination *> &destinations,
                           const QString &archiverPath, QObject *parent)
    : QObject(parent)
    , request(request)
    , configured(configured)
    , destinations(destinations)
    , archiverPath(archiverPath)
{ }

EntryRestore::~EntryRestore()
{
    if (step != Step::Idle && step != Step::Done && current < destinations.size())
        destinations.at(current)->cancel();
    stopArchiver();
}

void EntryRestore::setStep(Step next)
{
    qCDebug(lcRestore) << request.name << "step" << int(step) << "->" << int(next);
    step = next;
}

void EntryRestore::start()
{
    current = -1;
    anyFound = false;
    tryNextDestination();
}

void EntryRestore::cancel()
{
    if (step == Step::Idle || step == Step::Done)
        return;
    destinations.at(current)->cancel();
    emit line("Restore of " + request.name + " cancelled");
    end(false);
}

QString EntryRestore::destinationLabel() const
{
    return destinations.at(current)->label();
}

// The names a copy of the entry can be stored under: the configured
// entry's, else the name asked for, or its archive.
QStringList EntryRestore::storedNames() const
{
    if (configured)
        return { configured->storedName() };
    if (request.name.endsWith(QLatin1String(".zip")))
        return { request.name };
    return { request.name, request.name + ".zip" };
}

void EntryRestore::tryNextDestination()
{
    for (const QMetaObject::Connection &connection : qAsConst(connections))
        disconnect(connection);
    connections.clear();
    holding.reset();
    scratch.reset();
    if (++current >= destinations.size()) {
        if (anyFound)
            emit errorLine(request.name + " (" + request.dayText()
                           + ") could not be restored: no copy of it is whole");
        else
            emit errorLine("No copy of " + request.name + " (" + request.dayText() + ") in "
                           + (destinations.size() == 1
                                  ? destinations.first()->label()
                                  : QStringLiteral("any save folder or server")));
        end(false);
        return;
    }
    BackupDestination *destination = destinations.at(current);
    connections
        << connect(destination, &BackupDestination::foldersListed, this,
                   &EntryRestore::foldersListed)
        << connect(destination, &BackupDestination::folderRead, this, &EntryRestore::folderRead)
        << connect(destination, &BackupDestination::fetched, this, &EntryRestore::copyFetched)
        << connect(destination, &BackupDestination::progress, this, &EntryRestore::progress)
        << connect(destination, &BackupDestination::failed, this, &EntryRestore::destinationFailed);
    setStep(Step::Listing);
    destination->listFolders();
}

// latest/ for the newest copy; else the dated folders of that day and
// before, newest first: a dated folder holds only what changed that day.
void EntryRestore::foldersListed(const QList<DayFolder> &folders)
{
    foldersToRead.clear();
    for (const DayFolder &folder : folders) {
        if (request.day.isValid() ? !folder.isLatest() && folder.day <= request.day
                                  : folder.isLatest())
            foldersToRead << folder;
    }
    readNextFolder();
}

void EntryRestore::readNextFolder()
{
    if (foldersToRead.isEmpty()) {
        tryNextDestination();
        return;
    }
    setStep(Step::Reading);
    destinations.at(current)->readFolderFor(foldersToRead.takeFirst(), storedNames());
}

void EntryRestore::folderRead(const FolderHoldings &holdings)
{
    for (const QString &name : storedNames()) {
        if (const IndexEntry *found = holdings.find(name)) {
            holding = holdings;
            copy = *found;
            // A copy without an index line is what config.txt says it is.
            if (copy.sha256.isEmpty() && configured)
                copy.kind = configured->kind;
            anyFound = true;
            fetchCopy();
            return;
        }
    }
    readNextFolder();
}

// A folder or destination that cannot be read is passed over; a copy that
// cannot be read whole counts as damaged.
void EntryRestore::destinationFailed(const QString &problem)
{
    switch (step) {
    case Step::Fetching:
        copyDamaged(problem);
        break;
    case Step::Reading:
        emit line(problem);
        readNextFolder();
        break;
    case Step::Listing:
        emit line(problem);
        tryNextDestination();
        break;
    case Step::Idle:
    case Step::Unpacking:
    case Step::Asking:
    case Step::Done:
        break;
    }
}

QString EntryRestore::targetFor(const QString &unpackedName) const
{
    QString source = copy.sourcePath;
    if (!isPlainAbsolutePath(source))
        source = configured ? configured->path : QString();
    if (request.intoFolder.isEmpty())
        return isPlainAbsolutePath(source) ? source : QString();
    QString base = QFileInfo(source).fileName();
    if (base.isEmpty())
        base = copy.kind == IndexEntry::File ? copy.name : unpackedName;
    return base.isEmpty() ? QString() : request.intoFolder + "/" + base;
}

void EntryRestore::fetchCopy()
{
    // An archive whose source is not known is named as what it holds.
    const bool nameFromArchive = !request.intoFolder.isEmpty() && copy.kind != IndexEntry::File
        && targetFor(QString()).isEmpty();
    target = nameFromArchive ? QString() : targetFor(QString());
    if (!nameFromArchive && target.isEmpty()) {
        emit errorLine("Where " + request.name
                       + " came from is not known; restore it with --to FOLDER");
        end(false);
        return;
    }
    if (!target.isEmpty() && !request.replace && pathTaken(target)) {
        if (askedToReplace([this] { fetchCopy(); }))
            return;
        emit errorLine(target + " exists; use --to FOLDER or --replace");
        end(false);
        return;
    }
    const QString parent = nameFromArchive ? request.intoFolder : QFileInfo(target).absolutePath();
    scratch = QDir().mkpath(parent)
        ? std::make_unique<QTemporaryDir>(parent + "/.mirvo-restore-XXXXXX")
        : nullptr;
    if (!scratch || !scratch->isValid()) {
        emit errorLine("Cannot write in " + parent);
        end(false);
        return;
    }
    setStep(Step::Fetching);
    destinations.at(current)->fetch(holding->folder, copy, scratch->filePath("copy"));
}

void EntryRestore::copyFetched(const QByteArray &sha256)
{
    const QString fetched = scratch->filePath("copy");
    const qint64 size = QFileInfo(fetched).size();
    if (size != copy.size) {
        copyDamaged(QString("%1 bytes where %2 were stored").arg(size).arg(copy.size));
        return;
    }
    if (!copy.sha256.isEmpty() && sha256 != copy.sha256) {
        copyDamaged("its bytes are not those that were stored");
        return;
    }
    if (copy.kind == IndexEntry::File)
        finishItem(fetched);
    else
        startUnpacking();
}

// The archiver runs beside the event loop, so that a window stays drawn
// while a big archive is unpacked.
void EntryRestore::startUnpacking()
{
    const QString unpacked = scratch->filePath("unpacked");
    QDir().mkdir(unpacked);
    archiver = std::make_unique<QProcess>();
    archiver->setProcessChannelMode(QProcess::ForwardedChannels);
    connect(archiver.get(), &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            archiverEnded(-2);
    });
    connect(archiver.get(), QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [this](int code, QProcess::ExitStatus status) {
                archiverEnded(status == QProcess::NormalExit ? code : -1);
            });
    setStep(Step::Unpacking);
    archiver->start(
        archiverPath,
        { QStringLiteral("x"), QStringLiteral("-o+"), scratch->filePath("copy"), unpacked + "/" });
}

// `status` as QProcess::execute gives it: -2 when the archiver could not
// start, -1 when it crashed.
void EntryRestore::archiverEnded(int status)
{
    if (step != Step::Unpacking)
        return;
    // The process is still in its signal: it goes from the event loop.
    archiver.release()->deleteLater();
    if (status == -2) {
        emit errorLine("Cannot start the archiver " + archiverPath + " to unpack " + request.name);
        end(false);
        return;
    }
    QString item;
    QString problem;
    if (!unpackedItem(status, &item, &problem)) {
        copyDamaged(problem);
        return;
    }
    if (target.isEmpty()) {
        target = targetFor(QFileInfo(item).fileName());
        if (!request.replace && pathTaken(target)
            && askedToReplace([this, item] { finishItem(item); }))
            return;
    }
    finishItem(item);
}

// The source's own time, which an older copy without an index keeps as
// the copy's time.
void EntryRestore::finishItem(const QString &item)
{
    if (copy.modified.isValid())
        setModificationTime(item, copy.modified);
    place(item);
}

void EntryRestore::stopArchiver()
{
    if (!archiver)
        return;
    QObject::disconnect(archiver.get(), nullptr, this, nullptr);
    archiver->kill();
    archiver->waitForFinished(2000);
    archiver.reset();
}

// The archiver unpacked into a folder of the scratch folder; what it made
// there is the one file or folder the archive was made of.
bool EntryRestore::unpackedItem(int status, QString *item, QString *problem)
{
    const QString unpacked = scratch->filePath("unpacked");
    if (status != 0) {
        *problem = QString("the archiver could not unpack it whole (exit status %1)").arg(status);
        return false;
    }
    const QFileInfoList made = QDir(unpacked).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot
                                                            | QDir::Hidden | QDir::System);
    if (made.size() != 1) {
        *problem = QString("the archive holds %1 items where one was stored").arg(made.size());
        return false;
    }
    const QFileInfo &only = made.first();
    const bool expected = copy.kind == IndexEntry::ZippedFolder ? only.isDir() && !only.isSymLink()
        : !copy.sha256.isEmpty()                                ? only.isFile() && !only.isSymLink()
                                                                : !only.isSymLink();
    if (!expected) {
        *problem = "the archive does not hold the " + BackupIndex::kindName(copy.kind)
            + " that was stored";
        return false;
    }
    *item = only.filePath();
    return true;
}

void EntryRestore::place(const QString &item)
{
    if (request.replace && pathTaken(target)) {
        for (const QString &folder : qAsConst(request.kept)) {
            if (isSameFolder(target, folder) || !foldersInside(target, { folder }).isEmpty()) {
                emit errorLine(target + " holds " + folder
                               + ", which a restore never replaces; use --to FOLDER");
                end(false);
                return;
            }
        }
    }
    QString problem;
    switch (placeRestored(item, target, request.replace, &problem)) {
    case PlaceOutcome::Placed:
        emit line("Restored " + request.name + " (" + holding->folder.dayText() + ") from "
                  + destinationLabel() + " to " + target);
        end(true);
        return;
    case PlaceOutcome::TargetExists:
        emit errorLine(target + " exists; use --to FOLDER or --replace");
        break;
    case PlaceOutcome::Failed:
        emit errorLine("Cannot restore " + request.name + " to " + target + ": " + problem);
        break;
    }
    end(false);
}

// The face answers later; meanwhile the scratch folder and what was
// fetched into it wait.
bool EntryRestore::askedToReplace(std::function<void()> then)
{
    if (!request.askBeforeReplacing)
        return false;
    afterReplacing = std::move(then);
    setStep(Step::Asking);
    emit replaceAsked(target);
    return true;
}

void EntryRestore::answerReplace(bool replace)
{
    if (step != Step::Asking)
        return;
    if (!replace) {
        emit line(target + " exists and was not replaced");
        end(false);
        return;
    }
    request.replace = true;
    const std::function<void()> then = std::move(afterReplacing);
    then();
}

void EntryRestore::copyDamaged(const QString &why)
{
    emit errorLine(request.name + " (" + holding->folder.dayText() + ") in " + destinationLabel()
                   + " is damaged: " + why);
    tryNextDestination();
}

void EntryRestore::end(bool restored)
{
    for (const QMetaObject::Connection &connection : qAsConst(connections))
        disconnect(connection);
    connections.clear();
    stopArchiver();
    scratch.reset();
    setStep(Step::Done);
    emit finished(restored);
}
