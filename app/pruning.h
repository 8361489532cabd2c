#ifndef PRUNING_H
#define PRUNING_H

#include <QDate>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>

class QFtp;
class QTemporaryFile;
class QUrlInfo;

// The longest time config.txt can ask to keep dated folders, in days.
constexpr int maximumKeepDays = 36500;

// Removes the dated folders older than the kept days from the save folders
// and from the servers' remote paths. Never `latest`, never the folder of
// the running backup, never a file; a link is removed as a link, never
// followed.
//
// An old folder loses only what a backup could have put there: the files
// named in `removableNames`. Then it goes if it is empty; a folder that
// still holds anything else stays, with a line saying so. So a link that a
// listing shows as a folder (a DOS-style listing cannot tell) never leads
// the pruning to remove what it points at.
//
// On a server, each step is queued once the one before has finished (a
// failed command empties the client's queue): the listing of the remote
// path, then for each old folder its index (the names it lists may go
// too), its listing, the removal of its known files one by one and of the
// folder itself. A folder that still cannot be
// removed may hold hidden files that the listing left out: the removable
// names starting with a dot go, and the folder is tried once more. The
// window hands over the client's signals while the server is in this step.
class OldFolderPruning : public QObject
{
    Q_OBJECT

public:
    // Where the pruning of one server stands.
    enum class Step {
        ListingPath,
        ReadingIndex, // of the current folder: what a backup put there
        ListingFolder,
        RemovingFiles,
        RemovingLeftovers, // names that may be there, unlisted
        RemovingFolder,
        Done
    };
    Q_ENUM(Step)

    // `removableNames`: the names of the files that a backup may have put
    // in a dated folder, and nothing else may be removed from one.
    OldFolderPruning(int keepDays, const QString &runFolder, const QStringList &removableNames,
                     QObject *parent = nullptr);

    void pruneSaveFolder(const QString &folder);
    void pruneServer(QFtp *client, const QString &label);
    bool isDone() const; // every server it was given is through

    void commandFinished(QFtp *client, bool error);
    void listInfo(QFtp *client, const QUrlInfo &info);

signals:
    void logLine(const QString &text);
    void errorLine(const QString &text);
    void finished(); // the last server is through

private:
    struct Target
    {
        QString name;
        bool isLink = false;
    };
    struct Server
    {
        QFtp *client = nullptr;
        QString label;
        Step step = Step::ListingPath;
        QList<Target> targets; // what the listing of the remote path found
        Target current;
        QStringList files; // of the current folder, still to delete
        QStringList listed; // removable names the listing of the current folder showed
        QString keptBecause; // why the current folder stays, if it does
        bool leftoversTried = false; // for the current folder
        QSet<QString> indexed; // the names the current folder's index lists
        std::shared_ptr<QTemporaryFile> index; // being downloaded
    };

    bool isOld(const QString &name) const;
    void pruneLocalFolder(const QString &folder, const QString &name);
    Server *serverOf(QFtp *client);
    void setStep(Server &server, Step next);
    void startNextTarget(Server &server);
    void removeNext(Server &server);
    void readIndex(Server &server);
    bool isRemovable(const Server &server, const QString &name) const;

    const int keepDays;
    const QString runFolder;
    const QSet<QString> removableNames;
    const QDate today;
    QList<Server> servers;
};

#endif // PRUNING_H
