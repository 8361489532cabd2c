#include "verifyrun.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

#include <algorithm>

namespace {

// Off by default: QT_LOGGING_RULES="mirvo.verify.debug=true" shows each step.
Q_LOGGING_CATEGORY(lcVerify, "mirvo.verify", QtInfoMsg)

qint64 bytesOf(const KeptCopy &kept)
{
    return kept.missing ? 0 : qMax<qint64>(kept.copy.size, 0);
}

} // namespace

VerifyRun::VerifyRun(const QList<BackupDestination *> &destinations, const Settings &settings,
                     VerifyRecord *record, QObject *parent)
    : QObject(parent)
    , destinations(destinations)
    , settings(settings)
    , record(record)
    , archiveTest(settings.archiverPath)
{
    for (int i = 0; i < destinations.size(); ++i) {
        BackupDestination *destination = destinations.at(i);
        connect(destination, &BackupDestination::foldersListed, this,
                [this, i](const QList<DayFolder> &folders) {
                    if (i == current && step == Step::Listing)
                        foldersListed(folders);
                });
        connect(destination, &BackupDestination::folderRead, this,
                [this, i](const FolderHoldings &holdings) {
                    if (i == current && step == Step::Reading)
                        folderRead(holdings);
                });
        connect(destination, &BackupDestination::progress, this, [this, i](qint64 done, qint64) {
            if (i == current && step == Step::Checking)
                copyProgress(done);
        });
        connect(destination, &BackupDestination::fetched, this,
                [this, i](const QByteArray &sha256) {
                    if (i == current && step == Step::Checking)
                        copyRead(sha256);
                });
        connect(destination, &BackupDestination::failed, this, [this, i](const QString &problem) {
            if (i == current)
                destinationFailed(problem);
        });
    }
    connect(&archiveTest, &ArchiveTest::finished, this, &VerifyRun::archiveTested);
}

VerifyRun::~VerifyRun()
{
    cancel();
}

void VerifyRun::setStep(Step next)
{
    qCDebug(lcVerify) << "step" << int(step) << "->" << int(next);
    step = next;
}

QString VerifyRun::label(int destination) const
{
    return destinations.at(destination)->label();
}

void VerifyRun::start()
{
    listed = QList<bool>();
    for (int i = 0; i < destinations.size(); ++i)
        listed << false;
    kept.clear();
    current = -1;
    surveyNextDestination();
}

void VerifyRun::cancel()
{
    if (step == Step::Idle || step == Step::Done)
        return;
    if (current >= 0 && current < destinations.size())
        destinations.at(current)->cancel();
    archiveTest.cancel();
    if (!fetchedFile.isEmpty())
        QFile::remove(fetchedFile);
    setStep(Step::Done);
}

// ---------------------------------------------------------------------------
// Finding what is kept

void VerifyRun::surveyNextDestination()
{
    unreadFolders.clear();
    seen.clear();
    if (++current >= destinations.size()) {
        chooseCopies();
        current = -1;
        next = 0;
        checkNext();
        return;
    }
    setStep(Step::Listing);
    destinations.at(current)->listFolders();
}

void VerifyRun::foldersListed(const QList<DayFolder> &folders)
{
    listed[current] = true;
    foldersToRead = folders;
    readNextFolder();
}

void VerifyRun::readNextFolder()
{
    if (foldersToRead.isEmpty()) {
        record->keepOnly(label(current), seen, unreadFolders);
        surveyNextDestination();
        return;
    }
    setStep(Step::Reading);
    destinations.at(current)->readFolder(foldersToRead.first());
}

void VerifyRun::folderRead(const FolderHoldings &holdings)
{
    foldersToRead.removeFirst();
    for (const IndexEntry &copy : holdings.copies) {
        kept << KeptCopy { current, holdings.folder, copy, false };
        seen << VerifyRecord::key(label(current), holdings.folder.name, copy.name);
    }
    for (const IndexEntry &copy : holdings.missing) {
        kept << KeptCopy { current, holdings.folder, copy, true };
        seen << VerifyRecord::key(label(current), holdings.folder.name, copy.name);
    }
    readNextFolder();
}

// A destination that cannot be listed leaves the others to be checked, a
// folder that cannot be read the other folders; a copy that cannot be read
// back is a finding of its own.
void VerifyRun::destinationFailed(const QString &problem)
{
    switch (step) {
    case Step::Listing:
        trouble = true;
        emit errorLine(problem);
        surveyNextDestination();
        break;
    case Step::Reading:
        trouble = true;
        emit errorLine(problem);
        unreadFolders << foldersToRead.takeFirst().name;
        readNextFolder();
        break;
    case Step::Checking:
        hashing = false;
        readProblem = problem;
        if (!testing) {
            judge();
            checkNext();
        }
        break;
    case Step::Idle:
    case Step::Done:
        break;
    }
}

// All of it, or the copies checked longest ago (never checked first) until
// their bytes make the share; an empty copy weighs as one byte, so that a
// share of empty copies still moves on.
void VerifyRun::chooseCopies()
{
    chosen.clear();
    QList<QDateTime> lastChecked;
    qint64 total = 0;
    for (const KeptCopy &copy : qAsConst(kept)) {
        const std::optional<CopyCheck> check
            = record->find(label(copy.destination), copy.folder.name, copy.copy.name);
        lastChecked << (check ? check->checked : QDateTime());
        total += qMax<qint64>(bytesOf(copy), 1);
    }
    QList<int> order;
    for (int i = 0; i < kept.size(); ++i)
        order << i;
    std::stable_sort(order.begin(), order.end(), [&lastChecked](int a, int b) {
        const QDateTime &timeA = lastChecked.at(a);
        const QDateTime &timeB = lastChecked.at(b);
        if (timeA.isValid() != timeB.isValid())
            return !timeA.isValid();
        return timeA < timeB;
    });
    const int share = qBound(0, settings.sharePercent, 100);
    const qint64 budget = (total * share + 99) / 100;
    QSet<int> picked;
    qint64 weight = 0;
    for (const int i : qAsConst(order)) {
        if (weight >= budget)
            break;
        picked << i;
        weight += qMax<qint64>(bytesOf(kept.at(i)), 1);
    }
    chosenBytes = 0;
    for (int i = 0; i < kept.size(); ++i) {
        if (picked.contains(i)) {
            chosen << kept.at(i);
            chosenBytes += bytesOf(kept.at(i));
        }
    }
    kept.clear();
}

// ---------------------------------------------------------------------------
// Checking the chosen copies

// The chosen copies are in the destinations' order; each destination that
// could be listed ends with its line, also when none of its copies was
// chosen this time.
void VerifyRun::checkNext()
{
    for (;;) {
        if (current >= 0 && next < chosen.size() && chosen.at(next).destination == current) {
            if (!chosen.at(next).missing) {
                startCheck(chosen.at(next));
                return;
            }
            readProblem.clear();
            bytesRead = 0;
            testResult = ArchiveTest::Result::Whole;
            judge();
            continue;
        }
        if (current >= 0 && listed.at(current))
            endDestination();
        if (++current >= destinations.size()) {
            end();
            return;
        }
        destinationCopies = 0;
        destinationBytes = 0;
    }
}

// A copy is hashed as it is read, and kept nowhere. An archive is tested
// by the archiver beside, where it lies in a local folder; any other is
// fetched into the scratch folder, and tested there once whole.
void VerifyRun::startCheck(const KeptCopy &copy)
{
    BackupDestination *destination = destinations.at(current);
    const QString inPlace = destination->pathOf(copy.folder, copy.copy);
    const bool archive = copy.copy.kind != IndexEntry::File;
    fetchedFile
        = archive && inPlace.isEmpty() ? QDir(settings.scratchFolder).filePath("copy") : QString();
    if (!fetchedFile.isEmpty())
        QFile::remove(fetchedFile);
    digest.clear();
    readProblem.clear();
    bytesRead = 0;
    testResult = ArchiveTest::Result::Whole;
    testDetail.clear();
    hashing = true;
    testing = false;
    setStep(Step::Checking);
    if (archive && !inPlace.isEmpty()) {
        testing = true;
        archiveTest.start(inPlace);
    }
    destination->fetch(copy.folder, copy.copy, fetchedFile);
}

void VerifyRun::copyProgress(qint64 done)
{
    bytesRead = done;
    emit progress(bytesDone + done, chosenBytes);
}

void VerifyRun::copyRead(const QByteArray &sha256)
{
    hashing = false;
    digest = sha256;
    if (!fetchedFile.isEmpty()) {
        bytesRead = QFileInfo(fetchedFile).size();
        testing = true;
        archiveTest.start(fetchedFile);
        return;
    }
    if (!testing) {
        judge();
        checkNext();
    }
}

void VerifyRun::archiveTested(ArchiveTest::Result result, const QString &detail)
{
    if (step != Step::Checking)
        return;
    testing = false;
    testResult = result;
    testDetail = detail;
    if (!hashing) {
        judge();
        checkNext();
    }
}

// One finding a copy: the first thing wrong with its bytes, and a broken
// archive besides. A copy that could not be read keeps its place at the
// head of the next share.
void VerifyRun::judge()
{
    const KeptCopy &copy = chosen.at(next);
    CheckOutcome outcome = CheckOutcome::Sound;
    QString finding;
    if (copy.missing) {
        outcome = CheckOutcome::Missing;
        finding = " is missing";
    } else if (!readProblem.isEmpty()) {
        outcome = CheckOutcome::Unreadable;
        finding = " cannot be read: " + readProblem;
    } else if (copy.copy.sha256.isEmpty()) {
        outcome = CheckOutcome::NoIndex;
        finding = " has no index to check against";
    } else if (bytesRead != copy.copy.size) {
        outcome = CheckOutcome::OtherSize;
        finding = QString(" has another size: %1 bytes where %2 were stored")
                      .arg(bytesRead)
                      .arg(copy.copy.size);
    } else if (digest != copy.copy.sha256) {
        outcome = CheckOutcome::OtherBytes;
        finding = " has other bytes than were stored";
    }
    if (testResult == ArchiveTest::Result::Broken) {
        finding += (outcome == CheckOutcome::Sound ? " is a broken archive: "
                                                   : ", and is a broken archive: ")
            + testDetail;
        if (outcome == CheckOutcome::Sound)
            outcome = CheckOutcome::BrokenArchive;
    }
    // Bytes as stored, but an archive that could not be tested, stay
    // unproven: the record keeps what it knew of them.
    const bool untested = testResult == ArchiveTest::Result::CannotRun;
    if (untested) {
        trouble = true;
        emit errorLine(testDetail + " to test " + copy.copy.name);
    }
    const QString destination = label(current);
    if (!untested || outcome != CheckOutcome::Sound) {
        const std::optional<CopyCheck> before
            = record->find(destination, copy.folder.name, copy.copy.name);
        const QDateTime when = outcome != CheckOutcome::Unreadable ? QDateTime::currentDateTime()
            : before                                               ? before->checked
                                                                   : QDateTime();
        record->update(CopyCheck { destination, copy.folder.name, copy.copy.name, when, outcome });
    }
    if (outcome != CheckOutcome::Sound) {
        ++damaged;
        emit errorLine(copy.copy.name + " (" + copy.folder.dayText() + ") in " + destination
                       + finding);
    }
    ++checked;
    ++destinationCopies;
    destinationBytes += bytesRead;
    bytesDone += bytesOf(copy);
    if (!fetchedFile.isEmpty())
        QFile::remove(fetchedFile);
    fetchedFile.clear();
    ++next;
}

void VerifyRun::endDestination()
{
    emit line(QStringLiteral("%1: %2 copies and %3 bytes checked")
                  .arg(label(current))
                  .arg(destinationCopies)
                  .arg(destinationBytes));
}

void VerifyRun::end()
{
    setStep(Step::Done);
    const bool sound = damaged == 0 && !trouble;
    if (sound)
        emit line(QStringLiteral("Verify complete: %1 copies checked").arg(checked));
    else
        emit errorLine(
            QStringLiteral("Verify found problems: %1 copies damaged or missing").arg(damaged));
    emit finished(sound);
}
