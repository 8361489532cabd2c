#ifndef SERVERDESTINATION_H
#define SERVERDESTINATION_H

#include "backupdestination.h"
#include "restoreconfiguration.h"
#include "serverconnection.h"

#include <QPointer>
#include <QTemporaryDir>

#include <functional>
#include <memory>

// A server of config.txt, as a restore reads it: one read-only connection
// (the backup's set-up: TLS, pinning, port, retries after a new login) that
// logs in at the first call, walks the remote path without making anything
// and serves the calls after it. A call cancelled while the server works
// ends the connection; the next call logs in again.
//
// Reading a whole day folder costs its listing and its index. Looking for
// one entry costs a SIZE of its names, and for a folder that holds it the
// index (a SIZE, then the file): no listing of the folder.
class ServerDestination : public BackupDestination
{
    Q_OBJECT

public:
    // An index bigger than this is not read: it holds some 300,000 lines.
    static constexpr qint64 largestIndex = 64 * 1024 * 1024;

    explicit ServerDestination(const ConfiguredServer &server, QObject *parent = nullptr);
    ~ServerDestination() override;

    QString label() const override { return server.label(); }
    void listFolders() override;
    void readFolder(const DayFolder &folder) override;
    void readFolderFor(const DayFolder &folder, const QStringList &names) override;
    void fetch(const DayFolder &folder, const IndexEntry &copy, const QString &localFile) override;
    void cancel() override;

private:
    // What the call under way waits for.
    enum class Step {
        Idle,
        ListingFolders, // the remote path's listing
        ListingFolder, // a day folder's listing
        ProbingNames, // SIZE of each name looked for
        ProbingIndex, // SIZE of the day folder's index
        ReadingIndex, // the index, into a scratch file
        Fetching // a copy, into the caller's file
    };
    void setStep(Step next);

    // Runs `work` once the connection is ready (at once when it is).
    void whenReady(const std::function<void()> &work);
    void createConnection();
    void connectionReady();
    void connectionGivenUp();
    void operationDone();
    void operationFailed(const QString &reason);
    void answerFailed(const QString &problem);

    void foldersListedHere();
    void folderListed();
    void probeNextName();
    void nameProbed(const QFtp::FileSize &size);
    void indexProbed(const QFtp::FileSize &size);
    void readIndex(qint64 listedSize);
    void indexRead();
    void answerHoldings(const BackupIndex &index);

    ConfiguredServer server;
    ServerConnection::Settings settings;
    QString unusable; // why the server cannot be read, once known
    QPointer<ServerConnection> connection;
    bool ready = false;
    std::function<void()> pending; // the call waiting for the connection
    QString lastError; // the connection's last error line
    int generation = 0; // an answer made before a cancel finds it changed

    Step step = Step::Idle;
    DayFolder folder; // of the call under way
    QList<QUrlInfo> listing;
    QStringList namesToProbe;
    QString probedName;
    QFtp::FileSize probed; // the answer of the probe that just ended
    QHash<QString, qint64> found; // names looked for that the folder holds, with their sizes
    bool holdingsFromListing = false; // else from the probes
    qint64 fetchTotal = 0;
    std::unique_ptr<QTemporaryDir> scratch; // where an index is read into
};

#endif // SERVERDESTINATION_H
