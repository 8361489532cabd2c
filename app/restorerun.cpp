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
    startNext();
}

void RestoreRun::cancel()
{
    cancelled = true;
    if (current)
        current->cancel();
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
        request, entry ? std::optional<ConfiguredEntry>(*entry) : std::nullopt, destinations,
        configuration.archiverPath);
    EntryRestore *restore = current.get();
    const QString name = request.name;
    connect(restore, &EntryRestore::line, this, &RestoreRun::line);
    connect(restore, &EntryRestore::errorLine, this, &RestoreRun::errorLine);
    connect(restore, &EntryRestore::progress, this,
            [this, name](qint64 done, qint64 total) { emit progress(name, done, total); });
    connect(restore, &EntryRestore::finished, this, &RestoreRun::entryDone);
    restore->start();
}

void RestoreRun::entryDone(bool restoredEntry)
{
    ++(restoredEntry ? restored : failed);
    emit entryFinished(requests.at(next - 1).name, restoredEntry, current->restoredTo());
    // The restore that just ended is still on the stack: it goes, and the
    // next starts, from the event loop.
    QTimer::singleShot(0, this, [this] {
        current.reset();
        startNext();
    });
}
