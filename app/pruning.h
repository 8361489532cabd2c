#ifndef PRUNING_H
#define PRUNING_H

#include <QDate>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class QFtp;
class QUrlInfo;

// The longest time config.txt can ask to keep dated folders, in days.
constexpr int maximumKeepDays = 36500;

// Removes the dated folders older than the kept days from the save folders
// and from the servers' remote paths. Never `latest`, never the folder of
// the running backup, never a file; a link is removed as a link, never
// followed.
//
// On a server, each step is queued once the one before has finished (a
// failed command empties the client's queue): the listing of the remote
// path, then for each old folder its listing, the removal of its files one
// by one and of the folder itself. A folder holding a folder of its own is
// left in place. A folder that still cannot be removed once its listed files
// are gone may hold hidden files that the listing left out: the temporary
// upload names that this configuration can leave there go, and the folder
// is tried once more. The window hands over the client's signals while the
// server is in this step.
class OldFolderPruning : public QObject
{
    Q_OBJECT

public:
    // Where the pruning of one server stands.
    enum class Step {
        ListingPath,
        ListingFolder,
        RemovingFiles,
        RemovingLeftovers, // names that may be there, unlisted
        RemovingFolder,
        Done
    };
    Q_ENUM(Step)

    // `leftoverNames`: the files that an interrupted run may leave in a
    // dated folder, unlisted on servers that hide names starting with a dot.
    OldFolderPruning(int keepDays, const QString &runFolder, const QStringList &leftoverNames,
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
        QString keptBecause; // why the current folder stays, if it does
        bool leftoversTried = false; // for the current folder
    };

    bool isOld(const QString &name) const;
    Server *serverOf(QFtp *client);
    void setStep(Server &server, Step next);
    void startNextTarget(Server &server);
    void removeNext(Server &server);

    const int keepDays;
    const QString runFolder;
    const QStringList leftoverNames;
    const QDate today;
    QList<Server> servers;
};

#endif // PRUNING_H
