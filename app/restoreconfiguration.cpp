#include "restoreconfiguration.h"

#include "configurationfields.h"
#include "mainwindow.h"
#include "stringcipher.h"

#include <QFile>
#include <QTextStream>

namespace {

struct EntryPrefix
{
    QLatin1String prefix;
    IndexEntry::Kind kind;
};

// "zippedfile=" before "file=", which it contains.
const EntryPrefix entryPrefixes[] = {
    { QLatin1String("zippedfile="), IndexEntry::ZippedFile },
    { QLatin1String("zippedfolder="), IndexEntry::ZippedFolder },
    { QLatin1String("file="), IndexEntry::File },
};

} // namespace

QString ConfiguredEntry::storedName() const
{
    return storedBackupName(name, kind != IndexEntry::File);
}

// The same lines as the backup reads; lines it would refuse are left out
// here without a word, since the backup says so in its own log.
bool RestoreConfiguration::read(QString *problem)
{
    QFile file { QLatin1String(configurationFileName) };
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = QStringLiteral("Cannot read ") + QLatin1String(configurationFileName)
            + QStringLiteral(": ") + file.errorString();
        return false;
    }
    archiverPath.clear();
    StringCipher cipher(passwordCipherKey);
    QTextStream stream(&file);
    while (!stream.atEnd()) {
        const QString line = withoutCarriageReturns(stream.readLine());
        if (line.startsWith(QLatin1String("winrar="))) {
            archiverPath = line.mid(7);
        } else if (line.startsWith(QLatin1String("path="))) {
            saveFolders << line.mid(5);
        } else if (line.startsWith(QLatin1String("ftp="))) {
            // host, user, enciphered password, then the remote path, whose
            // backslashes the backup reads as "/".
            const QStringList fields = line.mid(4).split(QLatin1Char(' '));
            if (fields.size() >= 4 && !fields.at(0).isEmpty() && !fields.at(1).isEmpty()
                && !fields.at(2).isEmpty()) {
                ConfiguredServer server { fields.at(0), fields.at(1),
                                          cipher.decipherText(fields.at(2)),
                                          QStringList(fields.mid(3)).join(QLatin1Char(' ')) };
                server.remotePath.replace(QLatin1Char('\\'), QLatin1Char('/'));
                servers << server;
                serverLabels << server.label();
            }
        } else {
            for (const EntryPrefix &entryPrefix : entryPrefixes) {
                if (!line.startsWith(entryPrefix.prefix))
                    continue;
                // The backup name is the last field; the path is what comes before it.
                const QString rest = line.mid(entryPrefix.prefix.size());
                const int space = rest.lastIndexOf(QLatin1Char(' '));
                const QString name = rest.mid(space + 1);
                if (space > 0 && isValidBackupName(name) && !entryNamed(name))
                    entries << ConfiguredEntry { rest.left(space), name, entryPrefix.kind };
                break;
            }
        }
    }
    if (archiverPath.isEmpty())
        archiverPath = defaultArchiverPath();
    return true;
}

const ConfiguredEntry *RestoreConfiguration::entryNamed(const QString &name) const
{
    for (const ConfiguredEntry &entry : entries) {
        if (entry.name == name || entry.storedName() == name)
            return &entry;
    }
    return nullptr;
}
