#include "serverdestination.h"

#include <QFile>
#include <QLoggingCategory>

namespace {

// Off by default: QT_LOGGING_RULES="mirvo.serverdestination.debug=true" shows each step.
Q_LOGGING_CATEGORY(lcDestination, "mirvo.serverdestination", QtInfoMsg)

const QString indexName = QLatin1String(BackupIndex::fileName);

// A copy is a plain file; a name starting with a dot is a copy under way,
// never a backup, and a link could lead anywhere.
bool isCopy(const QUrlInfo &entry)
{
    return entry.isFile() && !entry.isSymLink() && !entry.name().startsWith(QLatin1Char('.'))
        && entry.name() != indexName;
}

IndexEntry unindexedCopy(const QString &name, qint64 size)
{
    IndexEntry copy;
    copy.name = name;
    copy.kind = name.endsWith(QLatin1String(".zip")) ? IndexEntry::ZippedFile : IndexEntry::File;
    copy.size = size;
    return copy;
}

} // namespace

ServerDestination::ServerDestination(const ConfiguredServer &server, QObject *parent)
    : BackupDestination(parent)
    , server(server)
{
    settings.label = server.label();
    settings.address = parseHostField(server.host);
    settings.user = server.user;
    settings.password = server.password;
    settings.folders = server.remotePath.split(QLatin1Char('/'), Qt::KeepEmptyParts);
    settings.mode = ServerConnection::Mode::ReadOnly;
    if (!settings.address.problem.isEmpty())
        unusable = settings.label + " invalid host: " + settings.address.problem;
    else if (settings.folders.contains(QString()))
        unusable = settings.label + " invalid directory name";
}

ServerDestination::~ServerDestination() = default;

void ServerDestination::setStep(Step next)
{
    qCDebug(lcDestination) << settings.label << "step" << int(step) << "->" << int(next);
    step = next;
}

void ServerDestination::whenReady(const std::function<void()> &work)
{
    if (!unusable.isEmpty()) {
        answerFailed(unusable);
        return;
    }
    if (connection && ready) {
        work();
        return;
    }
    pending = work;
    if (!connection)
        createConnection();
}

// The connection hears of its client here, and this of the connection.
void ServerDestination::createConnection()
{
    ready = false;
    lastError.clear();
    connection = new ServerConnection(settings, this);
    QFtp *client = connection->client();
    ServerConnection *own = connection;
    connect(client, &QFtp::commandFinished, own,
            [own](int, bool error) { own->commandFinished(error); });
    connect(client, &QFtp::listInfo, own, &ServerConnection::listInfo);
    connect(client, &QFtp::done, own, &ServerConnection::done);
    connect(client, &QFtp::dataTransferProgress, this, [this](qint64 done, qint64 total) {
        if (step == Step::Fetching)
            emit progress(done, fetchTotal > 0 ? fetchTotal : total);
    });
    connect(own, &ServerConnection::errorLine, this,
            [this](const QString &text) { lastError = text; });
    connect(own, &ServerConnection::ready, this, &ServerDestination::connectionReady);
    connect(own, &ServerConnection::givenUp, this, &ServerDestination::connectionGivenUp);
    connect(own, &ServerConnection::listed, this,
            [this](const QString &, const QList<QUrlInfo> &entries) { listing = entries; });
    connect(own, &ServerConnection::sizeProbed, this,
            [this](const QFtp::FileSize &size) { probed = size; });
    connect(own, &ServerConnection::operationDone, this, &ServerDestination::operationDone);
    connect(own, &ServerConnection::operationFailed, this, &ServerDestination::operationFailed);
    connection->start();
}

void ServerDestination::connectionReady()
{
    ready = true;
    if (const std::function<void()> work = std::exchange(pending, nullptr))
        work();
}

// Given up (not reached, refused, or out of attempts): the call under way
// fails, and so does every later one.
void ServerDestination::connectionGivenUp()
{
    unusable = lastError.isEmpty() ? settings.label + " cannot be read" : lastError;
    ready = false;
    connection->deleteLater();
    connection = nullptr;
    const bool waiting = step != Step::Idle || pending;
    pending = nullptr;
    setStep(Step::Idle);
    scratch.reset();
    if (waiting)
        emit failed(unusable);
}

// Runs from the event loop, so that no answer comes inside the call.
void ServerDestination::answerFailed(const QString &problem)
{
    const int asked = generation;
    QMetaObject::invokeMethod(
        this,
        [this, asked, problem] {
            if (asked == generation)
                emit failed(problem);
        },
        Qt::QueuedConnection);
}

void ServerDestination::operationDone()
{
    switch (step) {
    case Step::ListingFolders:
        foldersListedHere();
        break;
    case Step::ListingFolder:
        folderListed();
        break;
    case Step::ReadingIndex:
        indexRead();
        break;
    case Step::Fetching:
        setStep(Step::Idle);
        emit fetched(connection->downloadedSha256());
        break;
    case Step::ProbingNames:
        nameProbed(probed);
        break;
    case Step::ProbingIndex:
        indexProbed(probed);
        break;
    case Step::Idle:
        break;
    }
}

void ServerDestination::operationFailed(const QString &reason)
{
    if (!connection || connection->state() == ServerState::GivenUp)
        return; // connectionGivenUp says why
    const Step failedStep = step;
    setStep(Step::Idle);
    scratch.reset();
    const QString why = reason.isEmpty() ? lastError : reason;
    switch (failedStep) {
    case Step::Idle:
        break;
    case Step::ListingFolders:
        emit failed(settings.label + " cannot be listed: " + why);
        break;
    case Step::Fetching:
        emit failed(why);
        break;
    case Step::ListingFolder:
    case Step::ProbingNames:
    case Step::ProbingIndex:
    case Step::ReadingIndex:
        emit failed(settings.label + " cannot read " + folder.name + ": " + why);
        break;
    }
}

void ServerDestination::listFolders()
{
    whenReady([this] {
        setStep(Step::ListingFolders);
        listing.clear();
        connection->list(QString());
    });
}

void ServerDestination::foldersListedHere()
{
    QList<DayFolder> folders;
    for (const QUrlInfo &entry : qAsConst(listing)) {
        if (!entry.isDir())
            continue;
        if (const std::optional<DayFolder> named = DayFolder::named(entry.name()))
            folders << *named;
    }
    DayFolder::sortNewestFirst(folders);
    listing.clear();
    setStep(Step::Idle);
    emit foldersListed(folders);
}

void ServerDestination::readFolder(const DayFolder &dayFolder)
{
    whenReady([this, dayFolder] {
        folder = dayFolder;
        holdingsFromListing = true;
        listing.clear();
        setStep(Step::ListingFolder);
        connection->list(folder.name);
    });
}

void ServerDestination::folderListed()
{
    for (const QUrlInfo &entry : qAsConst(listing)) {
        if (entry.name() == indexName && entry.isFile() && !entry.isSymLink()) {
            readIndex(entry.size());
            return;
        }
    }
    answerHoldings(BackupIndex());
}

void ServerDestination::readFolderFor(const DayFolder &dayFolder, const QStringList &names)
{
    whenReady([this, dayFolder, names] {
        folder = dayFolder;
        holdingsFromListing = false;
        namesToProbe = names;
        found.clear();
        probeNextName();
    });
}

// A folder that holds none of the names is through; one that holds some
// has its index read, if it has one.
void ServerDestination::probeNextName()
{
    if (namesToProbe.isEmpty() && found.isEmpty()) {
        setStep(Step::Idle);
        emit folderRead(FolderHoldings { folder, {} });
        return;
    }
    if (namesToProbe.isEmpty()) {
        setStep(Step::ProbingIndex);
        connection->probeSize(folder.name + "/" + indexName);
        return;
    }
    probedName = namesToProbe.takeFirst();
    setStep(Step::ProbingNames);
    connection->probeSize(folder.name + "/" + probedName);
}

// A server without SIZE has the folder listed instead.
void ServerDestination::nameProbed(const QFtp::FileSize &size)
{
    if (size.outcome == QFtp::SizeNotSupported) {
        holdingsFromListing = true;
        listing.clear();
        setStep(Step::ListingFolder);
        connection->list(folder.name);
        return;
    }
    if (size.outcome == QFtp::SizeKnown)
        found.insert(probedName, size.bytes);
    probeNextName();
}

void ServerDestination::indexProbed(const QFtp::FileSize &size)
{
    if (size.outcome == QFtp::NoSuchFile)
        answerHoldings(BackupIndex());
    else
        readIndex(size.outcome == QFtp::SizeKnown ? size.bytes : -1);
}

void ServerDestination::readIndex(qint64 listedSize)
{
    if (listedSize > largestIndex) {
        setStep(Step::Idle);
        emit failed(settings.label + " cannot read " + folder.name + ": its index is too big");
        return;
    }
    scratch = std::make_unique<QTemporaryDir>();
    if (!scratch->isValid()) {
        setStep(Step::Idle);
        emit failed("Cannot make a scratch folder to read the index of " + settings.label);
        return;
    }
    setStep(Step::ReadingIndex);
    connection->download(folder.name + "/" + indexName, scratch->filePath(indexName));
}

// The index as downloaded: a server that sent more than it listed is
// still not read past the bound.
void ServerDestination::indexRead()
{
    QFile file(scratch->filePath(indexName));
    BackupIndex index;
    QString problem;
    if (file.size() > largestIndex)
        problem = QStringLiteral("its index is too big");
    else if (!file.open(QIODevice::ReadOnly))
        problem = file.errorString();
    else
        index.parse(file.readAll(), &problem);
    file.close();
    scratch.reset();
    if (!problem.isEmpty()) {
        setStep(Step::Idle);
        emit failed(settings.label + " " + folder.name + "/" + indexName + ": " + problem);
        return;
    }
    answerHoldings(index);
}

// As in a save folder: the index says what each copy is, and a file it
// does not list is held by name and size.
void ServerDestination::answerHoldings(const BackupIndex &index)
{
    QHash<QString, qint64> present = found;
    QStringList order = present.keys();
    if (holdingsFromListing) {
        present.clear();
        order.clear();
        for (const QUrlInfo &entry : qAsConst(listing)) {
            if (isCopy(entry) && !present.contains(entry.name())) {
                present.insert(entry.name(), entry.size());
                order << entry.name();
            }
        }
    }
    FolderHoldings holdings { folder, {} };
    for (const IndexEntry &copy : index.entries()) {
        if (present.remove(copy.name))
            holdings.copies << copy;
    }
    for (const QString &name : qAsConst(order)) {
        if (present.contains(name))
            holdings.copies << unindexedCopy(name, present.value(name));
    }
    listing.clear();
    found.clear();
    setStep(Step::Idle);
    emit folderRead(holdings);
}

void ServerDestination::fetch(const DayFolder &dayFolder, const IndexEntry &copy,
                              const QString &localFile)
{
    whenReady([this, dayFolder, copy, localFile] {
        folder = dayFolder;
        fetchTotal = copy.size;
        setStep(Step::Fetching);
        connection->download(folder.name + "/" + copy.name, localFile);
    });
}

// A call under way cannot be taken back from the server: the connection
// goes, and the next call logs in again.
void ServerDestination::cancel()
{
    ++generation;
    pending = nullptr;
    scratch.reset();
    if (step != Step::Idle && connection) {
        disconnect(connection, nullptr, this, nullptr);
        disconnect(connection->client(), nullptr, this, nullptr);
        connection->stop();
        connection->deleteLater();
        connection = nullptr;
        ready = false;
    }
    setStep(Step::Idle);
}
