#include "restorerun.h"

#include <QTimer>

RestoreRun::RestoreRun(const QList<RestoreRequest> &requests,
                       const RestoreConfiguration &configuration,
                       const QList<BackupDestination *> &destinations, QObject *parent)
    : QObject(parent)
    , requests(requests)
    , configuration(configuration)
    , destinations(destinations)
{ }

RestoreRun::~RestoreRun() = default;

void RestoreRun::start()
{
    next = 0;
    restored = failed = 0;
    cancelled = false;
    bytesDone = bytesTotal = 0;
    for (const RestoreRequest &request : qAsConst(requests))
        bytesTotal += qMax<qint64>(request.size, 0);
    emit runProgress(0, bytesTotal);
    startNext();
}

void RestoreRun::cancel()
{
    cancelled = true;
    if (current)
        current->cancel();
}

void RestoreRun::answerReplace(bool replace)
{
    if (current)
        current->answerReplace(replace);
}

// A request that names its destination reads that one alone.
QList<BackupDestination *> RestoreRun::destinationsFor(const RestoreRequest &request) const
{
    if (request.from.isEmpty())
        return destinations;
    QList<BackupDestination *> named;
    for (BackupDestination *destination : destinations) {
        if (destination->label() == request.from)
            named << destination;
    }
    return named;
}

void RestoreRun::startNext()
{
    if (cancelled || next >= requests.size()) {
        emit finished(failed == 0 && !cancelled);
        return;
    }
    const RestoreRequest &request = requests.at(next++);
    const ConfiguredEntry *entry = configuration.entryNamed(request.name);
    current = std::make_unique<EntryRestore>(
        request, entry ? std::optional<ConfiguredEntry>(*entry) : std::nullopt,
        destinationsFor(request), configuration.archiverPath);
    entrySize = request.size;
    EntryRestore *restore = current.get();
    const QString name = request.name;
    connect(restore, &EntryRestore::line, this, &RestoreRun::line);
    connect(restore, &EntryRestore::errorLine, this, &RestoreRun::errorLine);
    connect(restore, &EntryRestore::progress, this, [this, name](qint64 done, qint64 total) {
        emit progress(name, done, total);
        entryProgress(done, total);
    });
    connect(restore, &EntryRestore::replaceAsked, this,
            [this, name](const QString &target) { emit replaceAsked(name, target); });
    connect(restore, &EntryRestore::finished, this, &RestoreRun::entryDone);
    restore->start();
}

void RestoreRun::entryProgress(qint64 done, qint64 total)
{
    if (entrySize < 0) {
        entrySize = total;
        bytesTotal += total;
    }
    emit runProgress(bytesDone + qMin(done, entrySize), bytesTotal);
}

void RestoreRun::entryDone(bool restoredEntry)
{
    // An entry that failed is behind; one cancelled is not.
    if (!cancelled) {
        bytesDone += qMax<qint64>(entrySize, 0);
        emit runProgress(bytesDone, bytesTotal);
    }
    ++(restoredEntry ? restored : failed);
    emit entryFinished(requests.at(next - 1).name, restoredEntry, current->restoredTo());
    // The restore that just ended is still on the stack: it goes, and the
    // next starts, from the event loop.
    QTimer::singleShot(0, this, [this] {
        current.reset();
        startNext();
    });
}
