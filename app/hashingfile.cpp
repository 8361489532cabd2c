#include "hashingfile.h"

bool HashingFile::open(OpenMode mode)
{
    hash.hexResult(); // drops what an earlier opening hashed
    return QFile::open(mode);
}

// Only what reached the file counts.
qint64 HashingFile::writeData(const char *data, qint64 size)
{
    const qint64 written = QFile::writeData(data, size);
    if (written > 0)
        hash.addData(data, written);
    return written;
}
