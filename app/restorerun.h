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

    int restoredCount() const { return restored; }
    int failedCount() const { return failed; }

signals:
    void line(const QString &text);
    void errorLine(const QString &text);
    // Progress of the entry under way.
    void progress(const QString &name, qint64 done, qint64 total);
    void entryFinished(const QString &name, bool restored, const QString &restoredTo);
    // Once, at the end: true when every entry came back checked.
    void finished(bool allRestored);

private:
    void startNext();
    void entryDone(bool restoredEntry);

    QList<RestoreRequest> requests;
    RestoreConfiguration configuration;
    QList<BackupDestination *> destinations;
    int next = 0;
    int restored = 0;
    int failed = 0;
    bool cancelled = false;
    std::unique_ptr<EntryRestore> current;
};

#endif // RESTORERUN_H
