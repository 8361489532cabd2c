#ifndef VERIFYRUN_H
#define VERIFYRUN_H

#include "archivetest.h"
#include "backupdestination.h"
#include "verifyrecord.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

// One copy that a destination keeps, as its folders showed it.
struct KeptCopy
{
    int destination = -1; // into the run's destinations
    DayFolder folder;
    IndexEntry copy; // without a digest when no index line lists it
    bool missing = false; // the index lists it, the folder does not hold it
};

// Reads back the copies that the destinations keep and checks each against
// its index line: its size and its SHA-256, hashed while it is read, and an
// archive member by member with the archiver. First the folders of every
// destination are read, so that a share of the bytes can be chosen across
// all of them (the copies checked longest ago, or never, first); then the
// chosen copies are checked, destination by destination. Nothing is kept
// of a copy read, but an archive that its destination cannot offer in
// place (a server's): it is fetched into the scratch folder, tested there
// and removed. Nothing is changed at any destination. Each check goes into
// the record, which the caller writes.
class VerifyRun : public QObject
{
    Q_OBJECT

public:
    struct Settings
    {
        QString archiverPath;
        QString scratchFolder; // private to the process
        int sharePercent = 100; // of the bytes kept
    };

    // The destinations and the record are the caller's and outlive the run.
    VerifyRun(const QList<BackupDestination *> &destinations, const Settings &settings,
              VerifyRecord *record, QObject *parent = nullptr);
    ~VerifyRun() override;

    void start();
    // Stops at once; no answer follows. The record keeps the checks made.
    void cancel();

    int checkedCount() const { return checked; }
    int damagedCount() const { return damaged; }

signals:
    void line(const QString &text);
    void errorLine(const QString &text);
    // Bytes of the chosen copies read so far, of all of them.
    void progress(qint64 done, qint64 total);
    // Once, at the end: true when every destination could be read and every
    // copy checked was sound.
    void finished(bool sound);

private:
    enum class Step {
        Idle,
        Listing, // a destination's latest/ and dated folders
        Reading, // what one of its day folders holds
        Checking, // one copy read back, an archive tested
        Done
    };
    void setStep(Step next);

    // Finding what is kept.
    void surveyNextDestination();
    void foldersListed(const QList<DayFolder> &folders);
    void readNextFolder();
    void folderRead(const FolderHoldings &holdings);
    void destinationFailed(const QString &problem);
    void chooseCopies();

    // Checking the chosen copies.
    void checkNext();
    void startCheck(const KeptCopy &kept);
    void copyRead(const QByteArray &sha256);
    void copyProgress(qint64 done);
    void archiveTested(ArchiveTest::Result result, const QString &detail);
    void judge();
    void endDestination();
    void end();

    QString label(int destination) const;

    QList<BackupDestination *> destinations;
    Settings settings;
    VerifyRecord *record;
    ArchiveTest archiveTest;

    Step step = Step::Idle;
    int current = -1; // the destination being read or checked
    QList<DayFolder> foldersToRead;
    QSet<QString> unreadFolders; // of the current destination
    QSet<QString> seen; // VerifyRecord keys of the current destination's copies
    QList<bool> listed; // per destination: its folders could be listed
    bool trouble = false; // a destination, a folder or the archiver could not be used
    QList<KeptCopy> kept;
    QList<KeptCopy> chosen; // in the order of `kept`
    qint64 chosenBytes = 0;

    // The check under way.
    int next = 0; // into `chosen`
    QString fetchedFile; // in the scratch folder; empty when read in place
    bool hashing = false;
    bool testing = false;
    QByteArray digest;
    QString readProblem;
    qint64 bytesRead = 0;
    ArchiveTest::Result testResult = ArchiveTest::Result::Whole;
    QString testDetail;

    int checked = 0;
    int damaged = 0;
    qint64 bytesDone = 0; // of the copies checked before the one under way
    int destinationCopies = 0;
    qint64 destinationBytes = 0;
};

#endif // VERIFYRUN_H
