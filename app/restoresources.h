#ifndef RESTORESOURCES_H
#define RESTORESOURCES_H

#include "backupdestination.h"
#include "restoreconfiguration.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

// What a restore reads from, set up the same way for the command line and
// the window: config.txt of the working folder, when there is one, and the
// destinations to read, which it owns.
class RestoreSources
{
public:
    RestoreSources();
    ~RestoreSources();

    // `from` names one destination: a save folder of config.txt, by its
    // path as written there or as the same folder, a server of config.txt
    // by its host field (or "host - remote path"), or any other save
    // folder, also without config.txt (its indexes say what each copy is
    // and where it came from). Empty: every save folder of config.txt, then
    // every server. False
    // with `problem` set when there is nothing to read; with `problem`
    // empty when config.txt is missing and no folder was named.
    bool choose(const QString &from, QString *problem);

    const RestoreConfiguration &configuration() const { return config; }
    const QList<BackupDestination *> &destinations() const { return list; }
    // What a replacement never removes: the save folders, the folder of
    // config.txt and the destinations read.
    QStringList keptFolders() const;

    // The start of what is said when config.txt is missing.
    static QString noConfigurationText();

private:
    bool readConfiguration(const QString &from, QString *problem);
    void addSaveFolder(const QString &path);
    void addServer(const ConfiguredServer &server);

    RestoreConfiguration config;
    std::vector<std::unique_ptr<BackupDestination>> owned;
    QList<BackupDestination *> list;
};

#endif // RESTORESOURCES_H
