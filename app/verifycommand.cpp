#include "verifycommand.h"

#include "configurationfields.h"
#include "desktopnotification.h"
#include "folderlock.h"
#include "restoreconfiguration.h"
#include "savefolderdestination.h"
#include "serverdestination.h"
#include "verifyrecord.h"
#include "verifyrun.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

enum Status { Sound = 0, SomethingFound = 1, CannotRun = 2 };

void writeLine(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

VerifyCommand::VerifyCommand(const VerifyOptions &options)
    : options(options)
{ }

VerifyCommand::~VerifyCommand() = default;

void VerifyCommand::printLine(const QString &text) const
{
    writeLine(stdout, text);
}

void VerifyCommand::printError(const QString &text) const
{
    writeLine(options.unattended ? stdout : stderr, QStringLiteral("Error : ") + text);
}

int VerifyCommand::exec()
{
    // Without config.txt nothing is made in the folder, not even the lock.
    if (!QFileInfo::exists(QLatin1String(configurationFileName)))
        return leave(CannotRun, "There is no config.txt in " + QDir::currentPath());
    // A verify never runs beside a backup of the same folder, which could
    // be replacing the very copies being read.
    FolderLock lock;
    if (lock.take() == FolderLock::HeldElsewhere)
        return leave(CannotRun,
                     "A backup is running in " + lock.folder()
                         + ", or its configuration window is open; try again once it is over");
    RestoreConfiguration configuration;
    QString problem;
    if (!configuration.read(&problem))
        return leave(CannotRun, problem);
    std::vector<std::unique_ptr<BackupDestination>> owned;
    QList<BackupDestination *> destinations;
    for (const QString &folder : qAsConst(configuration.saveFolders)) {
        owned.push_back(std::make_unique<SaveFolderDestination>(folder));
        destinations << owned.back().get();
    }
    for (const ConfiguredServer &server : qAsConst(configuration.servers)) {
        owned.push_back(std::make_unique<ServerDestination>(server));
        destinations << owned.back().get();
    }
    if (destinations.isEmpty())
        return leave(CannotRun,
                     QStringLiteral("config.txt names no save folder or server to check"));

    // A record that cannot be read (of a later version) is left as it is.
    VerifyRecord record;
    const bool recordRead = record.read(&problem);
    if (!recordRead)
        printError(problem);
    // A server's archives are fetched whole, to be tested, into a folder no
    // one else can read.
    std::unique_ptr<QTemporaryDir> ownScratch;
    QString scratch = lock.privateFolder();
    if (scratch.isEmpty()) {
        ownScratch = std::make_unique<QTemporaryDir>();
        scratch = ownScratch->path();
    }

    VerifyRun run(destinations, { configuration.archiverPath, scratch, options.sharePercent },
                  &record);
    QString firstFinding;
    bool sound = false;
    bool done = false;
    QObject::connect(&run, &VerifyRun::line, [this](const QString &text) { printLine(text); });
    QObject::connect(&run, &VerifyRun::errorLine, [this, &firstFinding](const QString &text) {
        if (firstFinding.isEmpty())
            firstFinding = text;
        printError(text);
    });
    QObject::connect(&run, &VerifyRun::finished, [this, &sound, &done](bool allSound) {
        sound = allSound;
        done = true;
        loop.quit();
    });
    running = &run;
    if (!interrupted)
        run.start();
    if (!done && !interrupted)
        loop.exec();
    running = nullptr;
    if (interrupted) {
        run.cancel();
        printError(QStringLiteral("Verify interrupted"));
    }
    if (recordRead && !record.write(&problem)) {
        printError(problem);
        sound = false;
    }
    if (sound && recordRead && !interrupted)
        return leave(Sound, QString());
    const QString summary = interrupted
        ? QStringLiteral("The verify was interrupted.")
        : QStringLiteral("%1 copies damaged or missing.").arg(run.damagedCount());
    return leave(SomethingFound,
                 firstFinding.isEmpty() ? summary : summary + " The first: " + firstFinding);
}

void VerifyCommand::interrupt()
{
    interrupted = true;
    if (running)
        loop.quit();
}

// Unattended, the desktop hears of what was found, or that nothing could
// be checked.
int VerifyCommand::leave(int status, const QString &problem)
{
    if (status == CannotRun)
        printError(problem);
    if (status == Sound || !options.unattended)
        return status;
    const QString summary = status == CannotRun ? QStringLiteral("Mirvo: no verify made")
                                                : QStringLiteral("Mirvo: verify found problems");
    sendDesktopNotification(summary, problem, [this] { loop.quit(); });
    loop.exec();
    return status;
}
