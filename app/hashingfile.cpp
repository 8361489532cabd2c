#include "hashingfile.h"

bool HashingFile::open(OpenMode mode)
{
    hash.hexResult(); // drops what an earlier opening hashed
    return keepsNothing() ? QIODevice::open(mode) : QFile::open(mode);
}

void HashingFile::close()
{
    if (keepsNothing())
        QIODevice::close();
    else
        QFile::close();
}

// Only what reached the file counts.
qint64 HashingFile::writeData(const char *data, qint64 size)
{
    const qint64 written = keepsNothing() ? size : QFile::writeData(data, size);
    if (written > 0)
        hash.addData(data, written);
    return written;
}
