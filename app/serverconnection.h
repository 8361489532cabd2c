#ifndef SERVERCONNECTION_H
#define SERVERCONNECTION_H

#include "backupindex.h"
#include "hashingfile.h"
#include "hostfield.h"
#include "qftp.h"
#include "qurlinfo.h"
#include "serverindexes.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>

class EntryDigest;
class OldFolderPruning;

// The states of a server's connection. The namespace only lets the debug
// output name them.
namespace ServerStates {
Q_NAMESPACE

// Where one server's connection stands. The values share one numbering
// with the backup run's steps.
enum class ServerState {
    LoggingIn = 0, // connect and login queued
    EnteringFolders = 1, // entering the folders of the remote path one by one
    CheckingFolders = 2, // in the target folder, making sure "latest" and today's exist
    ListingCopies = 8, // listing what "latest" and today's folder already hold
    ReadingIndexes = 14, // downloading the indexes of "latest" and today's folder
    RemovingLeftovers = 10, // deleting temporary names that earlier runs left behind
    ReadyToTransfer = 3, // takes uploads, listings and downloads
    WaitingToRetry = 11, // the connection failed: waiting to log in again
    Pruning = 9, // after the last upload, removing old dated folders
    ShuttingDown = 6, // close queued at the end of the run
    ShutDown = 7, // close finished
    GivenUp = 12 // not used any more in this run
};

// Where the copy under way stands. A copy whose name the server already
// holds goes to a temporary name beside it and takes the old copy's place
// only once whole and checked.
enum class UploadStep {
    Idle, // no copy under way
    MeasuringTemporary, // SIZE of what an earlier attempt left under the temporary name
    Storing, // STOR (or a resumed upload), to the temporary name when replacing
    CheckingSize, // SIZE of what the server stored
    Renaming, // RNFR and RNTO onto the final name
    ProbingRename, // RNFR and RNTO onto a second temporary name: does renaming work at all?
    RemovingOld, // DELE of the old copy, which the server would not rename onto
    CheckingRenamed, // SIZE of the final name after the rename
    SettingTime, // MFMT: the copy gets its source's modification time
    CheckingHash, // HASH of a resumed upload's temporary name: the bytes, not just their count
    RemovingFragment, // DELE of what a failed first upload left under the final name
    RemovingTemporary // DELE of a temporary name that is not needed any more
};

Q_ENUM_NS(ServerState)
Q_ENUM_NS(UploadStep)
} // namespace ServerStates

using ServerStates::ServerState;
using ServerStates::UploadStep;

// The name beside `name` under which a copy that replaces it is uploaded.
// Stable, so that a later run writes over what an interrupted one left.
inline QString temporaryUploadName(const QString &name)
{
    return "." + name + ".upload";
}

// True for a name of the form temporaryUploadName() gives.
bool isTemporaryUploadName(const QString &name);

// The life of one server's connection during a run: connect (with its TLS
// and port) and log in, walk down the remote path, and then serve what is
// asked of it: the two copies of a backup entry ("latest" and today's
// folder, replaced whole through a temporary name, with their source's time
// where the server sets times), a listing, a download, a size.
//
// In a backup, the indexes of "latest" and today's folder are read when
// their copies are listed, list each copy of the run that reached the
// server whole (the line of a copy that failed or was replaced goes), and
// are uploaded whole, like a copy, when the connection is closed (and, when
// the connection allows, when it is stopped).
//
// Once the server has been logged into, a lost connection, a 4xx reply, a
// refused or reset connection or a timeout is retried: the connection waits
// (1 s, 2 s, 4 s ... at most 60 s), logs in again, walks the path again and
// goes on with what failed. At most 8 attempts and 15 minutes per run; then
// the server is given up. A server that cannot be reached or logged into at
// the start is given up at once. The waits are multiplied by the number in
// the environment variable MIRVO_RETRY_SCALE when it is set (tests make
// them short).
//
// The owner hands over the client's signals (commandFinished, listInfo,
// done) and hears back through the signals below. Nothing blocks.
class ServerConnection : public QObject
{
    Q_OBJECT

public:
    enum class Mode {
        Backup, // missing folders are made; "latest" and today's are kept and listed
        ReadOnly // nothing is made: a missing folder of the remote path is a failure
    };

    struct Settings
    {
        QString label; // "<host> - <remote path>", starts every line
        ServerAddress address;
        QString user;
        QString password;
        QStringList folders; // of the remote path, none empty
        Mode mode = Mode::Backup;
        QString datedFolder; // today's folder, in Backup mode
    };

    static constexpr int maximumAttempts = 8;
    static constexpr int maximumRetryMinutes = 15;
    static constexpr int longestWaitSeconds = 60;

    explicit ServerConnection(const Settings &settings, QObject *parent = nullptr);
    ~ServerConnection() override;

    QFtp *client() const { return ftp; }
    QString label() const { return settings.label; }
    ServerState state() const { return currentState; }
    UploadStep uploadStep() const { return currentUploadStep; }
    // Something asked of the connection is not over yet.
    bool isBusy() const;

    void start(); // connect and log in, then walk the remote path

    // Backup mode: uploads `source` as "latest/<name>" and "<today>/<name>".
    void upload(const QString &source, const QString &name);
    // The same, and each copy that reaches the server whole is listed in its
    // folder's index as `entry` with the digest `digest` gives.
    void upload(const QString &source, const QString &name, const IndexEntry &entry,
                const std::shared_ptr<EntryDigest> &digest);
    // Whether the last upload reached the server whole, in both folders.
    bool uploadFailed() const { return lastUploadFailed; }
    void forgetUploadOutcome() { lastUploadFailed = false; } // the entry is over
    // What "latest" holds under `name`: its size, -1 for what is not a plain
    // file, -2 for nothing.
    qint64 heldInLatest(const QString &name) const { return latestHeld.value(name, -2); }
    // Hands the client to the pruning, which gets its events from now on.
    void prune(OldFolderPruning *pruning);

    // Read-only work: the entries of `folder` (relative to the remote path),
    // a file copied to `localFile`, and the size of a file.
    void list(const QString &folder);
    void download(const QString &remote, const QString &localFile);
    void probeSize(const QString &remote);
    // The SHA-256 of the bytes the last download wrote.
    QByteArray downloadedSha256() { return localFile ? localFile->sha256() : QByteArray(); }

    // Uploads the indexes that changed, then closes.
    void close();
    // Stops at once: what is under way is abandoned, and a first upload's
    // fragment under its final name removed if the connection allows; then
    // the connection closes.
    void stop();

    // The client's signals, handed over by the owner.
    void commandFinished(bool error);
    void listInfo(const QUrlInfo &info);
    void done(bool error);

signals:
    void logLine(const QString &text);
    void errorLine(const QString &text);
    void ready(); // prepared the first time: work can be asked for
    void givenUp(); // not usable for the rest of the run
    void listed(const QString &folder, const QList<QUrlInfo> &entries);
    // What the server said of the size asked for: known, no such file, or
    // no SIZE at all; any other answer fails the probe.
    void sizeProbed(const QFtp::FileSize &size);
    void operationDone(); // the upload, listing or download asked for is over
    void operationFailed(const QString &reason); // ... and did not succeed
    void closed();
    // An index of this run could not be uploaded (or read): the server's
    // copies are whole, but it does not say so of those named, which are
    // best sent again.
    void indexNotWritten(const QStringList &names);

private:
    // A copy of the current entry: `folder` is "latest" or today's folder.
    struct Copy
    {
        QString folder;
        QString name;
        bool held = false; // the server holds the name: replace it through a temporary name
        QString staged; // where the new copy waits before its rename; empty when sent directly
        bool stagedStored = false; // the staged name may hold data of this run
        bool fragmentPossible = false; // a direct upload began: the final name may hold a part
        bool oldRemoved = false; // the old copy was deleted ahead of the rename

        QString target() const { return folder + "/" + name; }
    };
    // What was asked of the connection and is not over.
    enum class Work { None, Upload, List, Download, Size, Indexes };

    void setState(ServerState next);
    void setUploadStep(UploadStep next);

    // Preparation.
    void connectAndLogin();
    void loggingIn(QFtp::Command command, bool error);
    void enterFolders(QFtp::Command command);
    void createMissingFolders();
    bool listHeldCopies();
    void readNextIndex();
    void indexDownloaded(bool error);
    void removeNextLeftover();
    void prepared();
    void giveUp(bool error, const QString &reason);
    QHash<QString, qint64> &heldIn(const QString &folder);
    // "latest" or today's folder, and which index is either's.
    QString folderOf(ServerIndexes::Folder index) const;
    static ServerIndexes::Folder indexOf(const QString &folder);

    // Failures and retries.
    QString reasonOfFailure() const;
    bool isTransient(QFtp::Command command) const;
    bool retry(const QString &reason);
    void reconnect();
    void resumeWork();

    // Uploads.
    void startUpload(const QString &path, const QString &name);
    void startCopy();
    void storeCopy(qint64 offset);
    void continueUpload(bool error);
    void afterStore(bool error);
    void afterSize(bool error, bool renamed);
    void afterRename(bool error, bool probing);
    void placeStaged();
    void afterHash(bool error);
    void renameStaged();
    void failCopy(const QString &reason);
    void finishCopy();
    void copyDone();
    void endUpload();
    void settleIndexLines();
    bool sourceUnchanged() const;

    // Read-only work.
    void runListOrDownload();
    void finishWork(bool error);

    // The indexes, at the end.
    void writeNextIndex();
    void indexWritten();
    bool queueIndexesOnStop();
    void closeNow();

    Settings settings;
    QFtp *ftp;
    ServerState currentState = ServerState::LoggingIn;
    UploadStep currentUploadStep = UploadStep::Idle;

    int folderIndex = 0;
    bool folderFound = false;
    bool latestFound = false;
    bool dateFound = false;
    bool everLoggedIn = false;
    bool everReady = false;
    bool failureLogged = false; // the reason of the failing command is out

    // What "latest" and today's folder held when listed, kept up to date
    // by the uploads: name -> size, -1 for what is not a plain file.
    QHash<QString, qint64> latestHeld;
    QHash<QString, qint64> datedHeld;
    QStringList foldersToList; // the listings still to come, the current one first
    QStringList leftovers; // temporary names of earlier runs, to delete

    // What the server was found to do with renames, for the run.
    bool renameRefused = false; // RNFR refused: copies are replaced in place, not whole
    bool renameOntoExistingRefused = false; // the old copy goes before the rename
    bool renameOntoNewWorks = false; // a rename onto a free name succeeded
    bool renamingBroken = false; // no rename works: held copies cannot be replaced whole
    bool resumeRefused = false; // a resumed upload was refused: send whole

    // Retries.
    QTimer retryTimer;
    QElapsedTimer retryClock; // since the first retry of the run
    int attempts = 0;
    int consecutiveFailures = 0;

    // The work under way.
    Work work = Work::None;
    QString source;
    qint64 sourceSize = -1;
    QDateTime sourceModified;
    QList<Copy> copies;
    qint64 offset = 0; // where the upload under way started in the source
    qint64 progress = 0; // bytes of the upload under way that went out
    qint64 bytesSent = 0; // all of the copy, once stored
    bool lastUploadFailed = false;
    QString workFolder; // of a listing
    QList<QUrlInfo> entries;
    QString remoteFile; // of a download or a size probe
    std::unique_ptr<HashingFile> localFile;
    bool binaryInForce = false; // TYPE I is the transfer type of the session
    QString fragmentToRemove; // by stop(), once the command it cut off has ended
    OldFolderPruning *pruning = nullptr;

    // The indexes of "latest" and today's folder, in Backup mode.
    std::unique_ptr<ServerIndexes> indexes;
    std::unique_ptr<QFile> indexFile; // an index being downloaded
    ServerIndexes::Folder indexBeingRead = ServerIndexes::Latest;
    QList<ServerIndexes::Folder> indexesToWrite; // the one under way first
    QString indexFailure; // why the index under way could not be uploaded
    bool indexesOnStop = false; // stop() uploads them once the command it cut off has ended
    // What the copies of the entry under way are, for the indexes.
    std::optional<IndexEntry> described;
    std::shared_ptr<EntryDigest> digest;
    QList<std::pair<QString, qint64>> reached; // folder, bytes: copies of the entry now whole
};

#endif // SERVERCONNECTION_H
