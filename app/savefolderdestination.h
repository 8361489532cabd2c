#ifndef SAVEFOLDERDESTINATION_H
#define SAVEFOLDERDESTINATION_H

#include "backupdestination.h"
#include "sha256.h"

#include <QFile>
#include <QTimer>

#include <memory>

// A local save folder. Listings are quick and answered from the event
// loop; a copy goes in slices of a few megabytes, one per turn of the event
// loop, hashed as it is read, so that a window stays responsive while a big
// file comes back.
class SaveFolderDestination : public BackupDestination
{
    Q_OBJECT

public:
    // `path` as config.txt or --from gives it.
    explicit SaveFolderDestination(const QString &path, QObject *parent = nullptr);

    QString label() const override { return folderPath; }
    void listFolders() override;
    void readFolder(const DayFolder &folder) override;
    void fetch(const DayFolder &folder, const IndexEntry &copy, const QString &localFile) override;
    void cancel() override;

private:
    void copySlice();
    void endFetch(const QString &problem);
    // Runs `answer` from the event loop, unless cancelled first.
    void answerLater(std::function<void()> answer);

    QString folderPath;
    QTimer slices;
    QFile source;
    QFile target;
    Sha256 hash;
    qint64 done = 0;
    qint64 total = 0;
    QByteArray block;
    int generation = 0; // a cancelled answer finds it changed
};

#endif // SAVEFOLDERDESTINATION_H
