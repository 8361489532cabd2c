#include "mainwindow.h"

#include "configurationfields.h"
#include "linksafefile.h"
#include "pruning.h"

#include <QFile>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QRegExp>
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

// An entry line's rest is "PATH NAME": the name is the last field, since
// names never hold a space, and the path is everything before it, spaces
// included. A rest without a space has no name.
bool splitEntry(const QString &rest, QString *path, QString *name)
{
    const int space = rest.lastIndexOf(fieldSeparator);
    if (space < 0)
        return false;
    *path = rest.left(space);
    *name = rest.mid(space + 1);
    return true;
}

// An ftp= line's rest is "HOST USER PASSWORD REMOTE PATH": the remote path
// is everything after the enciphered password, which is Base64 and never
// empty. Host and user hold no space. An empty remote path is read, and
// refused when the server is prepared.
bool splitServer(const QString &rest, FtpServer *server, QString *cipherText)
{
    const QStringList fields = rest.split(fieldSeparator);
    if (fields.size() < 4 || fields.at(0).isEmpty() || fields.at(1).isEmpty()
        || fields.at(2).isEmpty())
        return false;
    server->host = fields.at(0);
    server->user = fields.at(1);
    *cipherText = fields.at(2);
    server->remotePath = fields.mid(3).join(fieldSeparator);
    return true;
}

QString linesText(int count)
{
    return count == 1 ? QStringLiteral("1 line") : QString::number(count) + " lines";
}

// Two names with the same key land on one copy: letter case does not tell
// them apart on many drives and servers.
QString storedNameKey(EntryKind kind, const QString &name)
{
    return storedBackupName(name, kind != EntryKind::File).toCaseFolded();
}

} // namespace

bool breaksConfigurationLine(const QString &text)
{
    return text.contains(fieldSeparator) || breaksConfigurationPath(text);
}

bool breaksConfigurationPath(const QString &path)
{
    return path.contains(QLatin1Char('\n')) || path.contains(QLatin1Char('\r'));
}

QString storedBackupName(const QString &name, bool zipped)
{
    return zipped ? name + ".zip" : name;
}

QString withoutCarriageReturns(QString line)
{
    while (line.endsWith(QLatin1Char('\r')))
        line.chop(1);
    return line;
}

bool isValidBackupName(const QString &name)
{
    return !name.isEmpty() && !breaksConfigurationLine(name) && !name.contains(QLatin1Char('/'))
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
    bool anyLine = false;
    // A line of a known key that cannot be used is counted, and kept as
    // comments are: a save from the window writes it back as it was, so
    // that nothing the user wrote is lost.
    int unusable = 0;
    const auto keepUnusable = [this, &unusable](const QString &line) {
        otherLines.append(line);
        ++unusable;
    };
    QSet<QString> takenNames;
    // The stream honours a byte-order mark; readLine drops "\n" and "\r\n".
    QTextStream stream(&file);
    while (!stream.atEnd()) {
        const QString line = withoutCarriageReturns(stream.readLine());
        anyLine = anyLine || !line.trimmed().isEmpty();
        if (line.startsWith(winrarPrefix)) {
            winrarPath = line.mid(winrarPrefix.size());
            if (configurationMode && winrarPathEdit)
                winrarPathEdit->setText(winrarPath);
        } else if (line.startsWith(ftpPrefix)) {
            const QString rest = line.mid(ftpPrefix.size());
            FtpServer server;
            QString cipherText;
            if (!splitServer(rest, &server, &cipherText)) {
                log("Invalid line : " + ftpPrefix + rest);
                keepUnusable(line);
                continue;
            }
            // An undecipherable password loads as empty; the server stays.
            server.password = cipher.decipherText(cipherText);
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
            if (!addEntryFromConfig(line, filePrefix, EntryKind::File, takenNames))
                keepUnusable(line);
        } else if (line.startsWith(zippedFilePrefix)) {
            if (!addEntryFromConfig(line, zippedFilePrefix, EntryKind::ZippedFile, takenNames))
                keepUnusable(line);
        } else if (line.startsWith(zippedFolderPrefix)) {
            if (!addEntryFromConfig(line, zippedFolderPrefix, EntryKind::ZippedFolder, takenNames))
                keepUnusable(line);
        } else if (line.startsWith(keepPrefix)) {
            const QString rest = line.mid(keepPrefix.size());
            if (QRegExp(QStringLiteral("[0-9]{1,5}")).exactMatch(rest)
                && rest.toInt() <= maximumKeepDays) {
                keepDays = rest.toInt();
            } else {
                log("Invalid line : " + line);
                keepUnusable(line);
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
    if (configurationMode)
        return;
    if (unusable > 0)
        runLog.noteIncomplete(linesText(unusable) + " of config.txt cannot be used");
    const bool anyEntry = !files.isEmpty() || !zippedFiles.isEmpty() || !zippedFolders.isEmpty();
    if (!anyLine)
        runLog.noteIncomplete(QStringLiteral("config.txt is empty"));
    else if (anyEntry && saveFolders.isEmpty() && ftps.isEmpty())
        runLog.noteIncomplete(QStringLiteral("config.txt names no save folder and no server"));
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
// False when the line cannot be used.
bool MainWindow::addEntryFromConfig(const QString &line, const QString &prefix, EntryKind kind,
                                    QSet<QString> &takenNames)
{
    const QString rest = line.mid(prefix.size());
    BackupEntry entry;
    // A name that climbs out of its folder would put copies and uploads
    // outside the save folders and the remote path; a name already taken
    // would overwrite the other entry's copies.
    if (!splitEntry(rest, &entry.path, &entry.name) || !isValidBackupName(entry.name)
        || takenNames.contains(storedNameKey(kind, entry.name))) {
        log("Invalid line : " + prefix + rest);
        return false;
    }
    takenNames.insert(storedNameKey(kind, entry.name));

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
        logError(entry.path + " cannot be found: kept in config.txt, tried again next run");
    }
    list.entries.append(entry);
    return true;
}

// config.txt is replaced as a whole, never rewritten in place: a crash or a
// full disk leaves the previous version. It holds passwords that any copy of
// the program can decipher, so a new file is for its owner only; an existing
// file keeps its permissions. A link in its place is not written through.
void MainWindow::saveConfiguration()
{
    FileReplacement replacement(QLatin1String(configurationFileName), 0600);
    if (!replacement.open()) {
        if (replacement.refusedLink())
            logError(QStringLiteral("Cannot write config.txt: it is a link"));
        return;
    }

    QTextStream stream(&replacement.file());
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
    // A configuration that could not be stored leaves the history alone too.
    if (stream.status() != QTextStream::Ok || !replacement.commit())
        return;
    writeHistory();
}
