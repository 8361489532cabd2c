#ifndef ENTRYDIGEST_H
#define ENTRYDIGEST_H

#include "sha256.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QObject>
#include <QTimer>

// The SHA-256 of one entry's stored bytes, made once per run whatever the
// number of destinations. It reads the file in small slices from the event
// loop, so that the hashing fills the time the run spends waiting on its
// uploads, and result() finishes what is left at once when it is wanted.
class EntryDigest : public QObject
{
    Q_OBJECT

public:
    explicit EntryDigest(const QString &path, QObject *parent = nullptr);

    // 64 lowercase hexadecimal digits; empty when the file could not be
    // read whole, or changed while it was copied and read.
    QByteArray result();

private:
    bool hashSlice(); // false once the file is read, or cannot be
    void finish(bool whole);

    QFile file;
    Sha256 hash;
    QTimer slices;
    QByteArray block;
    QByteArray digest;
    bool done = false;
    QDateTime modifiedAtStart;
    QDateTime changedAtStart;
    qint64 sizeAtStart = -1;
};

#endif // ENTRYDIGEST_H
