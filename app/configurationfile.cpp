#include "mainwindow.h"

#include "configurationfields.h"
#include "pruning.h"

#include <QFile>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QRegExp>
#include <QSaveFile>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStyle>
#include <QTextStream>

#include <algorithm>

namespace {

const QLatin1String winrarPrefix("winrar=");
const QLatin1String ftpPrefix("ftp=");
const QLatin1String pathPrefix("path=");
const QLatin1String filePrefix("file=");
const QLatin1String zippedFilePrefix("zippedfile=");
const QLatin1String zippedFolderPrefix("zippedfolder=");
const QLatin1String keepPrefix("keep=");

const QChar fieldSeparator(QLatin1Char(' '));

// Two names with the same key land on one copy: letter case does not tell
// them apart on many drives and servers.
QString storedNameKey(EntryKind kind, const QString &name)
{
    return storedBackupName(name, kind != EntryKind::File).toCaseFolded();
}

} // namespace

bool breaksConfigurationLine(const QString &text)
{
    return text.contains(fieldSeparator) || text.contains(QLatin1Char('\n'))
        || text.contains(QLatin1Char('\r'));
}

QString storedBackupName(const QString &name, bool zipped)
{
    return zipped ? name + ".zip" : name;
}

bool isValidBackupName(const QString &name)
{
    return !breaksConfigurationLine(name) && !name.contains(QLatin1Char('/'))
        && !name.contains(QLatin1Char('\\')) && name != QLatin1String(".")
        && name != QLatin1String("..") && !isTemporaryUploadName(name);
}

void MainWindow::loadConfiguration()
{
    otherLines.clear();
    keepDays.reset();
    QFile file { QLatin1String(configurationFileName) };
    if (!file.open(QIODevice::ReadOnly)) {
        winrarPath = defaultArchiverPath();
        if (configurationMode && winrarPathEdit)
            winrarPathEdit->setText(winrarPath);
        return;
    }

    bool keepLineInvalid = false;
    QSet<QString> takenNames;
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
            addEntryFromConfig(line, filePrefix, EntryKind::File, takenNames);
        } else if (line.startsWith(zippedFilePrefix)) {
            addEntryFromConfig(line, zippedFilePrefix, EntryKind::ZippedFile, takenNames);
        } else if (line.startsWith(zippedFolderPrefix)) {
            addEntryFromConfig(line, zippedFolderPrefix, EntryKind::ZippedFolder, takenNames);
        } else if (line.startsWith(keepPrefix)) {
            const QString rest = line.mid(keepPrefix.size());
            if (QRegExp(QStringLiteral("[0-9]{1,5}")).exactMatch(rest)
                && rest.toInt() <= maximumKeepDays) {
                keepDays = rest.toInt();
            } else {
                log("Invalid line : " + line);
                keepLineInvalid = true;
            }
        } else if (!line.trimmed().isEmpty()) {
            // Comments and keys of other versions are not read, but a save
            // from the window keeps them.
            otherLines.append(line);
        }
    }
    file.close();
    // A value that cannot be read never removes anything.
    if (keepLineInvalid)
        keepDays = 0;
    if (configurationMode && keepDaysBox) {
        const QSignalBlocker loading(keepDaysBox);
        keepDaysBox->setValue(keepDays.value_or(0));
    }
    if (!configurationMode)
        dropMissingEntries();
}

// True when an entry of `kind` named `name` would land on the copy of an
// entry already listed. Letter case does not tell names apart: many drives
// and servers ignore it, and one copy would overwrite the other there.
bool MainWindow::backupNameTaken(EntryKind kind, const QString &name) const
{
    const QString stored = storedNameKey(kind, name);
    const auto takes = [&stored](const QList<BackupEntry> &list, EntryKind listed) {
        for (const BackupEntry &entry : list) {
            if (storedNameKey(listed, entry.name) == stored)
                return true;
        }
        return false;
    };
    return takes(files, EntryKind::File) || takes(zippedFiles, EntryKind::ZippedFile)
        || takes(zippedFolders, EntryKind::ZippedFolder);
}

// A run leaves out the entries whose sources are missing, and counts each
// as missed: nothing of it reaches the backups this time.
void MainWindow::dropMissingEntries()
{
    for (QList<BackupEntry> *list : { &files, &zippedFiles, &zippedFolders }) {
        const int before = list->size();
        list->erase(std::remove_if(list->begin(), list->end(),
                                   [](const BackupEntry &entry) { return entry.missing; }),
                    list->end());
        missedEntries += before - list->size();
    }
}

// `takenNames` holds the stored names (as storedNameKey gives them) of the
// entries loaded so far, so that loading stays linear in their number.
void MainWindow::addEntryFromConfig(const QString &line, const QString &prefix, EntryKind kind,
                                    QSet<QString> &takenNames)
{
    const QString rest = line.mid(prefix.size());
    const QStringList fields = rest.split(fieldSeparator);
    // A name that climbs out of its folder would put copies and uploads
    // outside the save folders and the remote path; a name already taken
    // would overwrite the other entry's copies.
    if (fields.size() != 2 || !isValidBackupName(fields.at(1))
        || takenNames.contains(storedNameKey(kind, fields.at(1)))) {
        log("Invalid line : " + prefix + rest);
        return;
    }
    takenNames.insert(storedNameKey(kind, fields.at(1)));

    BackupEntry entry;
    entry.path = fields.at(0);
    entry.name = fields.at(1);
    // An entry whose source is away (an unplugged drive, a share offline)
    // stays configured: the window shows it as missing and keeps it.
    entry.missing = !QFileInfo::exists(entry.path);
    const EntryList list = entryListOf(kind);
    if (configurationMode && list.rows) {
        QListWidgetItem *row = new QListWidgetItem(entry.name);
        if (entry.missing) {
            row->setIcon(style()->standardIcon(QStyle::SP_MessageBoxWarning));
            row->setToolTip(entry.path + " cannot be found");
        } else {
            row->setIcon(QFileIconProvider().icon(QFileInfo(entry.path)));
        }
        list.rows->addItem(row);
    } else if (entry.missing) {
        log("Removing unexisting file from the saved files : " + entry.path);
    }
    list.entries.append(entry);
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
    if (keepDays)
        stream << keepPrefix << *keepDays << '\n';
    for (const QString &line : qAsConst(otherLines))
        stream << line << '\n';

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
