#ifndef ENTRYRESTORE_H
#define ENTRYRESTORE_H

#include "backupdestination.h"
#include "restoreconfiguration.h"

#include <QDate>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <optional>

// What to bring back of one entry.
struct RestoreRequest
{
    QString name; // a backup name, or the name a copy is stored under
    QDate day; // invalid: the copy in latest/; else the newest copy of that day or before
    QString intoFolder; // empty: where the source was; else inside it, under the source's name
    bool replace = false; // what stands at the target is replaced whole
    // Folders that a replacement never removes: the save folders and the
    // folder of config.txt, which an archived folder may hold (its archive
    // leaves them out).
    QStringList kept;
    // A target that exists is replaced only once answerReplace(true) says
    // so; else it fails the entry, unless `replace`.
    bool askBeforeReplacing = false;
    QString from {}; // a destination's label: that one alone is read; empty: each in turn
    qint64 size = -1; // the copy's size, when known, for the progress of a whole run

    QString dayText() const;
};

// Brings back one entry: finds the version asked for in the first
// destination that holds it, copies it into a scratch folder beside the
// target, checks every byte against the index (or the size, for a copy
// without an index), unpacks an archive with the archiver, gives the
// result its source's time and puts it in place in one rename. A copy that
// fails a check is reported and the next destination holding that version
// is tried. Nothing half-written is ever left at the target.
class EntryRestore : public QObject
{
    Q_OBJECT

public:
    // The destinations are the caller's, tried in their order, and outlive
    // the restore. `configured` is the entry of config.txt, if any.
    EntryRestore(const RestoreRequest &request, const std::optional<ConfiguredEntry> &configured,
                 const QList<BackupDestination *> &destinations, const QString &archiverPath,
                 QObject *parent = nullptr);
    ~EntryRestore() override;

    void start();
    // Stops at once; the scratch folder goes, the target is as it was.
    void cancel();

    // After replaceAsked: true replaces the target, false leaves it and ends.
    void answerReplace(bool replace);

    // Where the entry went, once restored.
    QString restoredTo() const { return target; }

signals:
    void line(const QString &text);
    void errorLine(const QString &text);
    void progress(qint64 done, qint64 total);
    // With askBeforeReplacing: `target` exists; answerReplace() goes on.
    void replaceAsked(const QString &target);
    // Once, at the end: true when the entry came back checked.
    void finished(bool restored);

private:
    enum class Step {
        Idle,
        Listing, // the destination's latest/ and dated folders
        Reading, // one day folder, to see whether it holds the entry
        Fetching, // the copy into the scratch folder
        Unpacking, // the archiver, from the copy into the scratch folder
        Asking, // whether the target that exists is to be replaced
        Done
    };
    void setStep(Step next);

    void tryNextDestination();
    void foldersListed(const QList<DayFolder> &folders);
    void readNextFolder();
    void folderRead(const FolderHoldings &holdings);
    void destinationFailed(const QString &problem);
    void fetchCopy();
    void copyFetched(const QByteArray &sha256);
    void startUnpacking();
    void archiverEnded(int status);
    bool unpackedItem(int status, QString *item, QString *problem);
    void finishItem(const QString &item);
    void stopArchiver();
    void place(const QString &item);
    bool askedToReplace(std::function<void()> then);
    void copyDamaged(const QString &why);
    void end(bool restored);
    QStringList storedNames() const;
    QString targetFor(const QString &unpackedName) const;
    QString destinationLabel() const;

    RestoreRequest request;
    std::optional<ConfiguredEntry> configured;
    QList<BackupDestination *> destinations;
    QString archiverPath;

    Step step = Step::Idle;
    int current = -1;
    QList<QMetaObject::Connection> connections;
    QList<DayFolder> foldersToRead;
    std::optional<FolderHoldings> holding; // the day folder holding the copy
    IndexEntry copy;
    QString target;
    std::unique_ptr<QTemporaryDir> scratch;
    std::unique_ptr<QProcess> archiver; // goes before the scratch folder it writes in
    bool anyFound = false; // some destination held the version asked for
    std::function<void()> afterReplacing; // what goes on once replacing is agreed
};

#endif // ENTRYRESTORE_H
