#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "datedfolders.h"
#include "folderlock.h"
#include "qurlinfo.h"
#include "runlog.h"
#include "serverconnection.h"
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

class EntryDigest;
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
    // Names in latest/ that a verify found damaged: not held, until replaced.
    QSet<QString> unsoundInLatest;
};

// The steps of the backup run. The namespace only lets the debug output
// name them.
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
    Finished = 7, // every usable server has closed
    Interrupted = 13 // stopped by a signal: the servers are being left
};

Q_ENUM_NS(RunStep)
} // namespace BackupStates

using BackupStates::RunStep;

// The three kinds of backup entry, in the order the run sends them.
enum class EntryKind { File, ZippedFile, ZippedFolder };

// One FTP server: the stored fields, and its connection during a backup.
struct FtpServer
{
    QString host;
    QString user;
    QString password; // plain text in memory only
    QString remotePath;

    bool invalid = false; // not used (any more) in this run
    ServerConnection *connection = nullptr; // null when unusable from the start
    // Names in latest/ that a verify found damaged: not held, until replaced.
    QSet<QString> unsoundInLatest;

    // How lines about the server and its row in the window name it.
    QString label() const { return host + " - " + remotePath; }
};

// What the copies of one entry are: the line of the indexes beside them,
// and the digest of the stored bytes, made once for every destination.
struct EntryCopy
{
    IndexEntry described;
    std::shared_ptr<EntryDigest> digest;
};

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
    // A signal asks the process to end: the run stops at once, keeps what
    // reached every destination, and the process ends with status 1.
    void interruptRun();

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
    void connectServer(int index, const ServerAddress &address);
    FtpServer *serverOf(const QObject *client);
    void serverGivenUp(int index);
    void indexNotWritten(int index, const QStringList &names);
    void entryUploadsDone();
    void serverClosed();
    void startRunIfServersReady(bool announce);
    void startUploads(FtpServer &server, const BackupEntry &item, const EntryCopy &copy);
    void stopServers();

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
    void copyIntoSaveFolders(const BackupEntry &item, const EntryCopy &copy);
    void writeSaveFolderIndexes(bool settle, bool now);
    bool zipFile(const BackupEntry &entry);
    bool zipFolder(const BackupEntry &entry);
    QDateTime modificationTime(const QString &path);
    bool findDestinationsLacking(const BackupEntry &entry, EntryKind kind);
    void noteUnsoundCopies();
    void forgetMendedCopies();
    bool receivesBackups(const QString &folder) const;
    QStringList leftOutOf(const QString &folder) const;
    void finishRun();
    void pruneOldFolders();
    void closeServers();
    void runEnded();
    void endInterruptedRun();
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
    QWidget *buildRestoreRow();
    void backUpNow();
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
