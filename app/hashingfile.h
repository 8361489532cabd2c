#ifndef HASHINGFILE_H
#define HASHINGFILE_H

#include "sha256.h"

#include <QFile>

// A file that hashes what is written to it, so that a download is checked
// without reading it back. Each opening starts the hash afresh: a download
// tried again writes the file from its start.
class HashingFile : public QFile
{
public:
    using QFile::QFile;

    bool open(OpenMode mode) override;
    // The SHA-256 of what was written since it was opened, as 64 lowercase
    // hexadecimal digits.
    QByteArray sha256() { return hash.hexResult(); }

protected:
    qint64 writeData(const char *data, qint64 size) override;

private:
    Sha256 hash;
};

#endif // HASHINGFILE_H
