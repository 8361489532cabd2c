#ifndef RESTORECONFIGURATION_H
#define RESTORECONFIGURATION_H

#include "backupindex.h"

#include <QList>
#include <QString>
#include <QStringList>

// One entry of config.txt as a restore sees it.
struct ConfiguredEntry
{
    QString path;
    QString name; // the backup name
    IndexEntry::Kind kind = IndexEntry::File;

    QString storedName() const;
};

// One server of config.txt as a restore sees it.
struct ConfiguredServer
{
    QString host; // the host field as written: address, port, TLS, pinning
    QString user;
    QString password; // deciphered
    QString remotePath; // with "/" between its folders

    // "host - remote path", as the backup's lines name it.
    QString label() const { return host + QStringLiteral(" - ") + remotePath; }
};

// What a restore needs of config.txt, read without a window: where copies
// are kept, what was backed up, and the archiver that unpacks.
struct RestoreConfiguration
{
    QString archiverPath;
    QStringList saveFolders; // as config.txt writes them
    QStringList serverLabels; // "host - remote path"
    QList<ConfiguredServer> servers; // in the same order
    QList<ConfiguredEntry> entries; // files, zipped files, zipped folders, as listed

    // Reads config.txt from the working folder; false, with `problem` set,
    // when it is missing or cannot be read.
    bool read(QString *problem);
    // The entry stored as, or backed up as, `name`; null when none.
    const ConfiguredEntry *entryNamed(const QString &name) const;
};

#endif // RESTORECONFIGURATION_H
