#include "restorecommand.h"

#include "configurationfields.h"
#include "folderlock.h"
#include "nestedfolders.h"
#include "restorerun.h"
#include "savefolderdestination.h"
#include "serverdestination.h"
#include "versioncatalogue.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QPointer>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

// Only big copies say how far they are; one line each tenth.
const qint64 progressShownFrom = 64 * 1024 * 1024;

enum Status { Success = 0, EntryFailed = 1, NothingToDo = 2 };

void printLine(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

void printError(const QString &text)
{
    printLine(stderr, QStringLiteral("Error : ") + text);
}

// config.txt, when there is one. Without it a save folder named by --from
// is enough: its indexes say what each copy is and where it came from.
bool readConfiguration(const RestoreOptions &options, RestoreConfiguration *configuration)
{
    const QString file = QDir::current().filePath(QLatin1String(configurationFileName));
    QString problem;
    if (configuration->read(&problem))
        return true;
    if (!QFileInfo::exists(file) && !options.from.isEmpty()) {
        configuration->archiverPath = defaultArchiverPath();
        return true;
    }
    if (!QFileInfo::exists(file))
        problem = "There is no config.txt in " + QDir::currentPath()
            + "; name a save folder with --from PATH";
    printError(problem);
    return false;
}

struct Destinations
{
    std::vector<std::unique_ptr<BackupDestination>> owned;
    QList<BackupDestination *> list;

    void addSaveFolder(const QString &path)
    {
        owned.push_back(std::make_unique<SaveFolderDestination>(path));
        list << owned.back().get();
    }

    void addServer(const ConfiguredServer &server)
    {
        owned.push_back(std::make_unique<ServerDestination>(server));
        list << owned.back().get();
    }
};

// --from names a save folder of config.txt, by its path as written there
// or as the same folder, a server of config.txt by its host field (or
// "host - remote path"), or any other folder; else every save folder, then
// every server.
bool chooseDestinations(const RestoreOptions &options, const RestoreConfiguration &configuration,
                        Destinations *destinations)
{
    if (!options.from.isEmpty()) {
        for (const QString &folder : configuration.saveFolders) {
            if (folder == options.from || isSameFolder(folder, options.from)) {
                destinations->addSaveFolder(folder);
                return true;
            }
        }
        for (const ConfiguredServer &server : configuration.servers) {
            if (server.host == options.from || server.label() == options.from) {
                destinations->addServer(server);
                return true;
            }
        }
        if (QFileInfo(options.from).isDir()) {
            destinations->addSaveFolder(options.from);
            return true;
        }
        printError(options.from + " is neither a save folder of config.txt nor a folder");
        return false;
    }
    for (const QString &folder : configuration.saveFolders)
        destinations->addSaveFolder(folder);
    for (const ConfiguredServer &server : configuration.servers)
        destinations->addServer(server);
    if (destinations->list.isEmpty()) {
        printError("config.txt names no save folder or server to restore from");
        return false;
    }
    return true;
}

QList<StoredVersion> catalogue(const Destinations &destinations,
                               const RestoreConfiguration &configuration)
{
    VersionCatalogue versions(destinations.list, configuration.entries);
    QEventLoop loop;
    bool done = false;
    QObject::connect(&versions, &VersionCatalogue::errorLine, &printError);
    QObject::connect(&versions, &VersionCatalogue::finished, [&] {
        done = true;
        loop.quit();
    });
    versions.start();
    if (!done)
        loop.exec();
    return versions.versions();
}

// --all: every entry of config.txt; without it, every name that the
// destinations hold a copy of for that day.
QStringList namesToRestore(const RestoreOptions &options, const Destinations &destinations,
                           const RestoreConfiguration &configuration)
{
    if (!options.all)
        return options.names;
    QStringList names;
    if (!configuration.entries.isEmpty()) {
        for (const ConfiguredEntry &entry : configuration.entries)
            names << entry.name;
        return names;
    }
    for (const StoredVersion &version : catalogue(destinations, configuration)) {
        const bool ofTheDay = options.day.isValid()
            ? !version.folder.isLatest() && version.folder.day <= options.day
            : version.folder.isLatest();
        if (ofTheDay && !names.contains(version.name))
            names << version.name;
    }
    return names;
}

} // namespace

int listVersions(const RestoreOptions &options)
{
    RestoreConfiguration configuration;
    Destinations destinations;
    if (!readConfiguration(options, &configuration)
        || !chooseDestinations(options, configuration, &destinations))
        return NothingToDo;
    for (const StoredVersion &version : catalogue(destinations, configuration)) {
        if (!options.names.isEmpty() && !options.names.contains(version.name)
            && !options.names.contains(version.copy.name))
            continue;
        const QStringList fields { version.name, version.folder.dayText(), version.destination,
                                   QString::number(version.copy.size), version.copy.sourcePath };
        printLine(stdout, fields.join(QLatin1Char('\t')));
    }
    return Success;
}

int restoreEntries(const RestoreOptions &options,
                   const std::function<void(const std::function<void()> &cancel)> &whenCancellable)
{
    // A restore never runs beside a backup of the same folder.
    FolderLock lock;
    if (lock.take() == FolderLock::HeldElsewhere) {
        printError("A backup is running in " + lock.folder()
                   + ", or its configuration window is open; try again once it is over");
        return NothingToDo;
    }
    RestoreConfiguration configuration;
    Destinations destinations;
    if (!readConfiguration(options, &configuration)
        || !chooseDestinations(options, configuration, &destinations))
        return NothingToDo;
    const QStringList names = namesToRestore(options, destinations, configuration);
    if (names.isEmpty()) {
        printError("There is nothing to restore");
        return NothingToDo;
    }
    QList<RestoreRequest> requests;
    const QString intoFolder
        = options.intoFolder.isEmpty() ? QString() : QDir(options.intoFolder).absolutePath();
    QStringList kept = QStringList(configuration.saveFolders) << QDir::currentPath();
    for (const BackupDestination *destination : qAsConst(destinations.list)) {
        if (QDir::isAbsolutePath(destination->label()))
            kept << destination->label();
    }
    for (const QString &name : names)
        requests << RestoreRequest { name, options.day, intoFolder, options.replace, kept };

    RestoreRun run(requests, configuration, destinations.list);
    QEventLoop loop;
    int shownTenth = -1;
    QObject::connect(&run, &RestoreRun::line, [](const QString &text) { printLine(stdout, text); });
    QObject::connect(&run, &RestoreRun::errorLine, &printError);
    QObject::connect(
        &run, &RestoreRun::progress, [&shownTenth](const QString &name, qint64 done, qint64 total) {
            const int tenth = total > 0 ? int(done * 10 / total) : 10;
            if (total < progressShownFrom || tenth == shownTenth)
                return;
            shownTenth = tenth;
            printLine(
                stdout,
                QStringLiteral("%1: %2% of %3 MiB").arg(name).arg(tenth * 10).arg(total >> 20));
        });
    QObject::connect(&run, &RestoreRun::entryFinished, [&shownTenth] { shownTenth = -1; });
    bool allRestored = false;
    bool done = false;
    QObject::connect(&run, &RestoreRun::finished, [&](bool all) {
        allRestored = all;
        done = true;
        loop.quit();
    });
    if (whenCancellable) {
        const QPointer<RestoreRun> running(&run);
        whenCancellable([running] {
            if (running)
                running->cancel();
        });
    }
    run.start();
    if (!done)
        loop.exec();
    return allRestored ? Success : EntryFailed;
}
