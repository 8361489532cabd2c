#ifndef RESTORERUN_H
#define RESTORERUN_H

#include "entryrestore.h"

#include <QList>
#include <QObject>

#include <memory>

// Brings back several entries, one after the other: each goes on whatever
// became of the ones before it.
class RestoreRun : public QObject
{
    Q_OBJECT

public:
    // The destinations are the caller's and outlive the run.
    RestoreRun(const QList<RestoreRequest> &requests, const RestoreConfiguration &configuration,
               const QList<BackupDestination *> &destinations, QObject *parent = nullptr);
    ~RestoreRun() override;

    void start();
    // Stops the entry under way (nothing half-written stays) and the rest.
    void cancel();
    // After replaceAsked: true replaces the target, false leaves it.
    void answerReplace(bool replace);

    int restoredCount() const { return restored; }
    int failedCount() const { return failed; }

signals:
    void line(const QString &text);
    void errorLine(const QString &text);
    // Progress of the entry under way.
    void progress(const QString &name, qint64 done, qint64 total);
    // Bytes of the whole run: the requests' sizes where given, else each
    // entry's copy's as soon as it is known.
    void runProgress(qint64 done, qint64 total);
    // An entry asked to be careful would replace `target`, which exists.
    void replaceAsked(const QString &name, const QString &target);
    void entryFinished(const QString &name, bool restored, const QString &restoredTo);
    // Once, at the end: true when every entry came back checked.
    void finished(bool allRestored);

private:
    void startNext();
    void entryDone(bool restoredEntry);
    void entryProgress(qint64 done, qint64 total);
    QList<BackupDestination *> destinationsFor(const RestoreRequest &request) const;

    QList<RestoreRequest> requests;
    RestoreConfiguration configuration;
    QList<BackupDestination *> destinations;
    int next = 0;
    int restored = 0;
    int failed = 0;
    bool cancelled = false;
    qint64 bytesDone = 0; // of the entries that ended
    qint64 bytesTotal = 0;
    qint64 entrySize = -1; // of the entry under way, once known
    std::unique_ptr<EntryRestore> current;
};

#endif // RESTORERUN_H
