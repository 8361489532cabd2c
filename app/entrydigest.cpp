#include "entrydigest.h"

#include <QFileInfo>

namespace {

// Small enough that a slice delays the uploads' socket events by a tenth
// of a millisecond or so.
const qint64 sliceSize = 256 * 1024;

} // namespace

EntryDigest::EntryDigest(const QString &path, QObject *parent)
    : QObject(parent)
    , file(path)
{
    const QFileInfo info(path);
    modifiedAtStart = info.lastModified();
    changedAtStart = info.metadataChangeTime();
    sizeAtStart = info.size();
    if (!file.open(QIODevice::ReadOnly)) {
        finish(false);
        return;
    }
    block.resize(int(sliceSize));
    slices.setInterval(0);
    connect(&slices, &QTimer::timeout, this, [this] { hashSlice(); });
    slices.start();
}

bool EntryDigest::hashSlice()
{
    const qint64 count = file.read(block.data(), block.size());
    if (count <= 0) {
        finish(count == 0);
        return false;
    }
    hash.addData(block.constData(), count);
    return true;
}

void EntryDigest::finish(bool whole)
{
    slices.stop();
    file.close();
    block.clear();
    // The copies were made meanwhile: a file that changed may differ from
    // them, and so from what was hashed. It is backed up again next run.
    const QFileInfo info(file.fileName());
    const bool unchanged = info.lastModified() == modifiedAtStart
        && info.metadataChangeTime() == changedAtStart && info.size() == sizeAtStart;
    digest = whole && unchanged ? hash.hexResult() : QByteArray();
    done = true;
}

QByteArray EntryDigest::result()
{
    if (!done) {
        block.resize(int(4 * sliceSize)); // nothing else to wait for now: bigger slices
        while (hashSlice()) { }
    }
    return digest;
}
