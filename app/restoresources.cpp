#include "restoresources.h"

#include "configurationfields.h"
#include "nestedfolders.h"
#include "savefolderdestination.h"
#include "serverdestination.h"

#include <QDir>
#include <QFileInfo>

RestoreSources::RestoreSources() = default;
RestoreSources::~RestoreSources() = default;

QString RestoreSources::noConfigurationText()
{
    return "There is no config.txt in " + QDir::currentPath();
}

bool RestoreSources::readConfiguration(const QString &from, QString *problem)
{
    const QString file = QDir::current().filePath(QLatin1String(configurationFileName));
    if (config.read(problem))
        return true;
    if (!QFileInfo::exists(file) && !from.isEmpty()) {
        config.archiverPath = defaultArchiverPath();
        problem->clear();
        return true;
    }
    if (!QFileInfo::exists(file))
        problem->clear();
    return false;
}

void RestoreSources::addSaveFolder(const QString &path)
{
    owned.push_back(std::make_unique<SaveFolderDestination>(path));
    list << owned.back().get();
}

void RestoreSources::addServer(const ConfiguredServer &server)
{
    owned.push_back(std::make_unique<ServerDestination>(server));
    list << owned.back().get();
}

bool RestoreSources::choose(const QString &from, QString *problem)
{
    if (!readConfiguration(from, problem))
        return false;
    if (!from.isEmpty()) {
        for (const QString &folder : qAsConst(config.saveFolders)) {
            if (folder == from || isSameFolder(folder, from)) {
                addSaveFolder(folder);
                return true;
            }
        }
        for (const ConfiguredServer &server : qAsConst(config.servers)) {
            if (server.host == from || server.label() == from) {
                addServer(server);
                return true;
            }
        }
        if (QFileInfo(from).isDir()) {
            addSaveFolder(from);
            return true;
        }
        *problem = from + " is neither a save folder of config.txt nor a folder";
        return false;
    }
    for (const QString &folder : qAsConst(config.saveFolders))
        addSaveFolder(folder);
    for (const ConfiguredServer &server : qAsConst(config.servers))
        addServer(server);
    if (list.isEmpty()) {
        *problem = QStringLiteral("config.txt names no save folder or server to restore from");
        return false;
    }
    return true;
}

QStringList RestoreSources::keptFolders() const
{
    QStringList kept = QStringList(config.saveFolders) << QDir::currentPath();
    for (const BackupDestination *destination : list) {
        if (QDir::isAbsolutePath(destination->label()))
            kept << destination->label();
    }
    return kept;
}
