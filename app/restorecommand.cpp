#include "restorecommand.h"

#include "folderlock.h"
#include "restorerun.h"
#include "restoresources.h"
#include "versioncatalogue.h"

#include <QDir>
#include <QEventLoop>
#include <QPointer>

#include <cstdio>

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

// config.txt and the destinations; what is missing is said on standard error.
bool chooseSources(const RestoreOptions &options, RestoreSources *sources)
{
    QString problem;
    if (sources->choose(options.from, &problem))
        return true;
    if (problem.isEmpty())
        problem = RestoreSources::noConfigurationText() + "; name a save folder with --from PATH";
    printError(problem);
    return false;
}

QList<StoredVersion> catalogue(const RestoreSources &sources)
{
    VersionCatalogue versions(sources.destinations(), sources.configuration().entries);
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
QStringList namesToRestore(const RestoreOptions &options, const RestoreSources &sources)
{
    const RestoreConfiguration &configuration = sources.configuration();
    if (!options.all)
        return options.names;
    QStringList names;
    if (!configuration.entries.isEmpty()) {
        for (const ConfiguredEntry &entry : configuration.entries)
            names << entry.name;
        return names;
    }
    for (const StoredVersion &version : catalogue(sources)) {
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
    RestoreSources sources;
    if (!chooseSources(options, &sources))
        return NothingToDo;
    for (const StoredVersion &version : catalogue(sources)) {
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
    RestoreSources sources;
    if (!chooseSources(options, &sources))
        return NothingToDo;
    const QStringList names = namesToRestore(options, sources);
    if (names.isEmpty()) {
        printError("There is nothing to restore");
        return NothingToDo;
    }
    QList<RestoreRequest> requests;
    const QString intoFolder
        = options.intoFolder.isEmpty() ? QString() : QDir(options.intoFolder).absolutePath();
    const QStringList kept = sources.keptFolders();
    for (const QString &name : names)
        requests << RestoreRequest { name, options.day, intoFolder, options.replace, kept };

    RestoreRun run(requests, sources.configuration(), sources.destinations());
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
