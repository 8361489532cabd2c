#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "datedfolders.h"
#include "folderlock.h"
#include "qurlinfo.h"
#include "runlog.h"
#include "stringcipher.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <memory>
#include <optional>

class QFtp;
class QHBoxLayout;
class QLineEdit;
class QListWidget;
class OldFolderPruning;
class QPushButton;
class SaveFolderIndexes;
class QSpinBox;
class QTextEdit;
class QVBoxLayout;

// One item to back up: where it comes from and the name it is stored under.
// The name never holds a space: it is the last field of its line in config.txt.
struct BackupEntry
{
    QString path;
    QString name;
    bool missing = false; // the source was not found when config.txt was loaded
};

// A local folder that receives a copy of every item.
struct SaveFolder
{
    QString path;
    bool invalid = false; // unusable for the rest of the process
    // What its latest/ and today's folder hold, kept while a run copies there.
    std::shared_ptr<SaveFolderIndexes> indexes;
};

// The states of the backup run and of each server. The namespace only lets
// the debug output name them.
namespace BackupStates {
Q_NAMESPACE

// Steps of the backup run. They share one numbering with ServerState.
// MainWindow::setStep() is the only way to change the step.
enum class RunStep {
    Preparing = 0, // the servers are being prepared
    SendingFiles = 3, // going through `files`
    SendingZippedFiles = 4, // going through `zippedFiles`
    SendingZippedFolders = 5, // going through `zippedFolders`
    Finishing = 6, // history written, servers told to close
    Finished = 7 // every usable server has closed
};

// Where one FTP server stands during a backup.
enum class ServerState {
    LoggingIn = 0, // connect and login queued
    EnteringFolders = 1, // entering the folders of the remote path one by one
    CheckingFolders = 2, // in the target folder, making sure "latest" and today's exist
    ListingCopies = 8, // listing what "latest" and today's folder already hold
    ReadyToTransfer = 3, // receives the uploads of the run
    Pruning = 9, // after the last upload, removing old dated folders
    ShuttingDown = 6, // close queued at the end of the run
    ShutDown = 7 // close finished
};

// Where the copy of an entry under way on one server stands. A copy whose
// name the server already holds goes to a temporary name beside it and
// takes the old copy's place only once whole and checked.
enum class UploadStep {
    Idle, // no copy under way
    Storing, // STOR, to the temporary name when replacing
    CheckingSize, // SIZE of what the server stored
    NamingFrom, // RNFR of the temporary name
    NamingTo, // RNTO of the final name
    RemovingOld, // DELE of the old copy, which the server would not rename onto
    RemovingTemporary // DELE of a temporary name that is not needed any more
};

Q_ENUM_NS(RunStep)
Q_ENUM_NS(ServerState)
Q_ENUM_NS(UploadStep)
} // namespace BackupStates

using BackupStates::RunStep;
using BackupStates::ServerState;
using BackupStates::UploadStep;

// The three kinds of backup entry, in the order the run sends them.
enum class EntryKind { File, ZippedFile, ZippedFolder };

// The name beside `name` under which a copy that replaces it is uploaded.
// Stable, so that a later run writes over what an interrupted one left.
inline QString temporaryUploadName(const QString &name)
{
    return "." + name + ".upload";
}

// One copy of the current entry on a server: `folder` is "latest" or
// today's folder, relative to the server's remote path.
struct RemoteCopy
{
    QString folder;
    QString name;
    bool held = false; // the server holds the name: replace it through the temporary name
    bool temporaryStored = false; // the temporary name may hold data of this run
    bool oldRemovalTried = false; // DELE of the old copy was sent
    bool oldRemoved = false; // ... and the old copy is gone

    QString target() const { return folder + "/" + name; }
    QString temporary() const { return folder + "/" + temporaryUploadName(name); }
};

// One FTP server: the stored fields first, then what the upload needs at run time.
struct FtpServer
{
    QString host;
    QString user;
    QString password; // plain text in memory only
    QString remotePath;

    QFtp *ftp = nullptr;
    bool invalid = false;
    QStringList remoteFolders;
    int folderIndex = 0;
    bool folderFound = false;
    bool latestFound = false;
    bool dateFound = false;

    // What "latest" and today's folder held when listed at the start of the
    // run, kept up to date by the run's uploads: name -> size, -1 for what
    // is not a plain file. A folder made by this run holds nothing.
    QHash<QString, qint64> latestHeld;
    QHash<QString, qint64> datedHeld;
    QStringList foldersToList; // the listings still to come, the current one first
    bool renameRefused = false; // RNFR refused: copies are replaced in place, not whole
    bool renameOntoExistingRefused = false; // the old copy goes before the rename

    // The copies of the current entry still to send, the one under way first.
    QList<RemoteCopy> copies;
    QString uploadSource;
    qint64 bytesSent = 0; // by the last STOR, as far as the file tells
    int replyCode = 0; // the last reply to a raw command; 0 when none came
    QString replyText;

    // How lines about the server and its row in the window name it.
    QString label() const { return host + " - " + remotePath; }

    ServerState state() const { return currentState; }
    // The only way to change the state; clears what the new state starts from.
    void setState(ServerState next);
    UploadStep uploadStep() const { return currentUploadStep; }
    void setUploadStep(UploadStep next); // the only way to change the upload step

private:
    ServerState currentState = ServerState::LoggingIn;
    UploadStep currentUploadStep = UploadStep::Idle;
};

// Queues the upload of the file at `path` to `remoteName`: the one place
// that makes an upload's device and hands it to the client.
void queueUpload(QFtp *client, const QString &path, const QString &remoteName);

// The history file, in the working folder.
inline constexpr char historyFileName[] = "previous";

// A value of the history file `previous`, with the text it was read from.
struct StoredTime
{
    QDateTime value;
    QString text;
};

// Whether the process shows its window, or backs up unattended: then every
// log line goes to standard output and the end of the run ends the process.
enum class Presentation { Window, Unattended };

// The exit status of an unattended run, and of a command line refused.
enum ExitStatus {
    BackupComplete = 0, // every entry reached every destination
    BackupIncomplete = 1, // the run ended, but something will be tried again next run
    NoBackupMade = 2 // no config.txt, another process holds the folder, or a bad option
};

// True in the configuration-only build. Each program links its own definition.
bool isConfigurationOnlyBuild();

// The key of the stored FTP passwords. Both programs, on every machine, use
// this one value, so that each reads the config.txt that the other wrote.
constexpr quint64 passwordCipherKey = 0x5a3c96e1d2b4f087ULL;

class MainWindow : public QWidget
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    explicit MainWindow(Presentation presentation, QWidget *parent = nullptr);
    ~MainWindow() override;

    void log(const QString &text);
    void logError(const QString &text);

public slots:
    void addNewFile();
    void addNewZippedFile();
    void addNewZippedFolder();
    void addNewFtp();
    void addNewPath();
    void removeFile();
    void removeZippedFile();
    void removeZippedFolder();
    void removeFtp();
    void removePath();
    void browseWinrar();
    void winrarPathEdited(const QString &str);
    void transferDone(bool error);
    void transferCommandFinished(int id, bool error);
    void transferListInfo(QUrlInfo info);

private:
    // Entry and log
    void buildBackupWindow();
    void prepareSaveFolders();
    void appendToLog(const QString &line);
    void showLogLine(const QString &line);
    void report(const QString &text, bool error);
    void keepInRunLog(const QString &line);
    void createLogView();
    QString folderBusyText() const;
    void leaveFolder(int exitStatus, const QString &problem = QString());
    void endWithoutBackup(const QString &problem);

    // Configuration file
    void loadConfiguration();
    void saveConfiguration();
    bool addEntryFromConfig(const QString &line, const QString &prefix, EntryKind kind,
                            QSet<QString> &takenNames);
    void dropMissingEntries();
    bool backupNameTaken(EntryKind kind, const QString &name) const;

    // History file
    void readHistory();
    void writeHistory();

    // Upload orchestration
    bool prepareServers();
    FtpServer *serverOf(const QObject *client);
    void giveUpServer(FtpServer &server, bool error);
    void entryUploadsDone(EntryKind kind);
    void startRunIfServersReady(bool announce);
    bool listHeldCopies(FtpServer &server);
    void serverReady(FtpServer &server);
    void startUploads(FtpServer &server, const QString &source, const QString &name);
    void sendNextCopy(FtpServer &server);
    void continueUpload(FtpServer &server, bool error);
    void endCopy(FtpServer &server, bool sent);
    void sendRaw(FtpServer &server, const QString &command, UploadStep step);

    // Backup run
    void setStep(RunStep next);
    std::optional<EntryKind> kindBeingSent() const;
    struct EntryList
    {
        QList<BackupEntry> &entries;
        QListWidget *rows; // null unless in configuration mode
    };
    EntryList entryListOf(EntryKind kind);
    void runNext();
    void transferEntry(BackupEntry item);
    bool copyToSaveFolder(const QString &source, const QString &target);
    void copyIntoSaveFolders(const BackupEntry &item);
    void writeSaveFolderIndexes(bool settle, bool now);
    bool zipFile(const BackupEntry &entry);
    bool zipFolder(const BackupEntry &entry);
    QDateTime modificationTime(const QString &path);
    bool findDestinationsLacking(const BackupEntry &entry, EntryKind kind);
    bool receivesBackups(const QString &folder) const;
    QStringList leftOutOf(const QString &folder) const;
    void finishRun();
    void pruneOldFolders();
    void closeServers();
    void runEnded();
    void runOneStep();
    void beginEntry(const QString &path);
    void endEntry();
    void markEntryFailed(const QString &destination);
    bool everyDestinationUsable() const;
    QString firstUnusableDestination() const;
    bool runMissedSomething() const;

    // Configuration window
    void buildConfigurationWindow();
    void waitForFolder();
    QListWidget *addListGroup(const QString &title, const QString &addLabel,
                              QVBoxLayout *columnLayout, QPushButton **addButton,
                              QPushButton **removeButton);
    void addBackupEntry(EntryKind kind);
    template<typename T> void removeEntry(QListWidget *widget, QList<T> &list);

    friend struct MainWindowInspector; // lets the unit tests look inside

    bool configurationMode = false;
    RunStep step = RunStep::Preparing;
    int index = -1; // the entry of the step; -1 before its first

    QHBoxLayout *layout = nullptr;
    QPushButton *addFileButton = nullptr;
    QPushButton *addZippedFileButton = nullptr;
    QPushButton *addZippedFolderButton = nullptr;
    QPushButton *addFtpButton = nullptr;
    QPushButton *addPathButton = nullptr;
    QPushButton *removeFileButton = nullptr;
    QPushButton *removeZippedFileButton = nullptr;
    QPushButton *removeZippedFolderButton = nullptr;
    QPushButton *removeFtpButton = nullptr;
    QPushButton *removePathButton = nullptr;
    QListWidget *fileList = nullptr;
    QListWidget *zippedFileList = nullptr;
    QListWidget *zippedFolderList = nullptr;
    QListWidget *ftpList = nullptr;
    QListWidget *pathList = nullptr;
    QLineEdit *winrarPathEdit = nullptr;
    QSpinBox *keepDaysBox = nullptr;

    QList<BackupEntry> files;
    QList<BackupEntry> zippedFiles;
    QList<BackupEntry> zippedFolders;
    QList<FtpServer> ftps;
    QList<SaveFolder> saveFolders;
    QString winrarPath;
    // Dated folders older than this many days are removed; none when absent or 0.
    std::optional<int> keepDays;
    // Lines of config.txt that the program does not read (comments, keys it
    // does not know, lines it cannot use), written back as they were.
    QStringList otherLines;

    StringCipher cipher;

    QTextEdit *logView = nullptr;
    QString logText;
    QString date;
    QMap<QString, QDateTime> previousTransfers;
    // Each value of `previous` as read, so that a value the run leaves alone
    // is written back exactly as it was.
    QHash<QString, StoredTime> historyAsRead;

    // The run goes from one entry to the next in a loop rather than by
    // nested calls, so that a long run of skipped entries keeps a flat stack.
    bool runLoopActive = false;
    bool runNextRequested = false;
    // previousTransfers stays as it was read until the run ends, so that
    // the change test of every entry sees the history of the run's start.
    // A source's new time goes in only if every entry of it reached every
    // destination; otherwise it keeps its old one and the next run tries
    // again.
    QMap<QString, QDateTime> sourcesBackedUp; // source -> time its first entry was handled
    QSet<QString> sourcesMissed; // an entry of the source was left out or missed a destination
    // The entry being handled.
    QString entryPath;
    QDateTime entryHandledAt;
    // Indexes into saveFolders and ftps of the destinations the entry goes
    // to: every usable one, or for an unchanged entry those that lack it.
    QSet<int> entryFolders;
    QSet<int> entryServers;
    bool entryFailed = false;
    // What the run leaves to the next one: how many entries did not reach
    // every destination, and the first destination that failed (a save
    // folder's path or a server's label; empty when only an archive failed).
    int missedEntries = 0;
    QString firstMissedDestination;
    bool runEndReported = false;
    OldFolderPruning *pruning = nullptr; // the end of a run that missed nothing

    // Unattended runs, the kept log and the lock of the folder.
    bool unattended = false;
    FolderLock folderLock;
    RunLog runLog;
};

#endif // MAINWINDOW_H
