#include "mainwindow.h"

#include "configurationfields.h"

#include <QFile>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QSaveFile>
#include <QTextStream>

namespace {

const char configurationFileName[] = "config.txt";

const QLatin1String winrarPrefix("winrar=");
const QLatin1String ftpPrefix("ftp=");
const QLatin1String pathPrefix("path=");
const QLatin1String filePrefix("file=");
const QLatin1String zippedFilePrefix("zippedfile=");
const QLatin1String zippedFolderPrefix("zippedfolder=");

const QChar fieldSeparator(QLatin1Char(' '));

} // namespace

bool breaksConfigurationLine(const QString &text)
{
    return text.contains(fieldSeparator) || text.contains(QLatin1Char('\n'))
        || text.contains(QLatin1Char('\r'));
}

bool isValidBackupName(const QString &name)
{
    return !breaksConfigurationLine(name) && !name.contains(QLatin1Char('/'))
        && !name.contains(QLatin1Char('\\')) && name != QLatin1String(".")
        && name != QLatin1String("..");
}

void MainWindow::loadConfiguration()
{
    QFile file { QLatin1String(configurationFileName) };
    if (!file.open(QIODevice::ReadOnly)) {
        winrarPath = defaultArchiverPath();
        if (configurationMode && winrarPathEdit)
            winrarPathEdit->setText(winrarPath);
        return;
    }

    // The stream honours a byte-order mark; readLine drops "\n" and "\r\n".
    QTextStream stream(&file);
    while (!stream.atEnd()) {
        const QString line = stream.readLine();
        if (line.startsWith(winrarPrefix)) {
            winrarPath = line.mid(winrarPrefix.size());
            if (configurationMode && winrarPathEdit)
                winrarPathEdit->setText(winrarPath);
        } else if (line.startsWith(ftpPrefix)) {
            const QString rest = line.mid(ftpPrefix.size());
            const QStringList fields = rest.split(fieldSeparator);
            if (fields.size() != 4) {
                log("Invalid line : " + ftpPrefix + rest);
                continue;
            }
            FtpServer server;
            server.host = fields.at(0);
            server.user = fields.at(1);
            // An undecipherable password loads as empty; the server stays.
            server.password = cipher.decipherText(fields.at(2));
            server.remotePath = fields.at(3);
            if (configurationMode && ftpList)
                ftpList->addItem(server.label());
            ftps.append(server);
        } else if (line.startsWith(pathPrefix)) {
            SaveFolder folder;
            folder.path = line.mid(pathPrefix.size());
            if (configurationMode && pathList)
                pathList->addItem(folder.path);
            saveFolders.append(folder);
        } else if (line.startsWith(filePrefix)) {
            addEntryFromConfig(line, filePrefix, fileList, files);
        } else if (line.startsWith(zippedFilePrefix)) {
            addEntryFromConfig(line, zippedFilePrefix, zippedFileList, zippedFiles);
        } else if (line.startsWith(zippedFolderPrefix)) {
            addEntryFromConfig(line, zippedFolderPrefix, zippedFolderList, zippedFolders);
        }
        // Anything else (blank lines, comments, other keys) is ignored.
    }
    file.close();
}

void MainWindow::addEntryFromConfig(const QString &line, const QString &prefix, QListWidget *widget,
                                    QList<BackupEntry> &list)
{
    const QString rest = line.mid(prefix.size());
    const QStringList fields = rest.split(fieldSeparator);
    // A name that climbs out of its folder would put copies and uploads
    // outside the save folders and the remote path.
    if (fields.size() != 2 || !isValidBackupName(fields.at(1))) {
        log("Invalid line : " + prefix + rest);
        return;
    }

    BackupEntry entry;
    entry.path = fields.at(0);
    entry.name = fields.at(1);
    if (!QFileInfo::exists(entry.path)) {
        log("Removing unexisting file from the saved files : " + entry.path);
        return;
    }
    if (configurationMode && widget) {
        const QIcon icon = QFileIconProvider().icon(QFileInfo(entry.path));
        widget->addItem(new QListWidgetItem(icon, entry.name));
    }
    list.append(entry);
}

// config.txt is replaced as a whole, never rewritten in place: a crash or a
// full disk leaves the previous version. It holds passwords that any copy of
// the program can decipher, so a new file is for its owner only; an existing
// file keeps its permissions.
void MainWindow::saveConfiguration()
{
    const QString fileName = QLatin1String(configurationFileName);
    const bool isNewFile = !QFileInfo::exists(fileName);
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        return;
    if (isNewFile)
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);

    QTextStream stream(&file);
    stream << winrarPrefix << winrarPath << '\n';
    for (const FtpServer &server : qAsConst(ftps)) {
        stream << ftpPrefix << server.host << fieldSeparator << server.user << fieldSeparator
               << cipher.encipherText(server.password) << fieldSeparator << server.remotePath
               << '\n';
    }
    for (const SaveFolder &folder : qAsConst(saveFolders))
        stream << pathPrefix << folder.path << '\n';
    const auto writeEntries
        = [&stream](const QLatin1String &prefix, const QList<BackupEntry> &list) {
              for (const BackupEntry &entry : list)
                  stream << prefix << entry.path << fieldSeparator << entry.name << '\n';
          };
    writeEntries(filePrefix, files);
    writeEntries(zippedFilePrefix, zippedFiles);
    writeEntries(zippedFolderPrefix, zippedFolders);

    stream.flush();
    if (stream.status() != QTextStream::Ok) {
        file.cancelWriting();
        return;
    }
    // A configuration that could not be stored leaves the history alone too.
    if (!file.commit())
        return;
    writeHistory();
}
