// Feeds arbitrary bytes to the reader of the index that every latest/ and
// dated folder holds: a save folder may come from anywhere. Reading must
// never crash; what was read, written out and read again must give the same
// entries, and write out the same bytes.
#include "backupindex.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    BackupIndex index;
    QString problem;
    if (!index.parse(bytes, &problem))
        return 0;
    const QByteArray written = index.serialise();
    BackupIndex back;
    if (!back.parse(written, &problem) || back.entries() != index.entries()
        || back.serialise() != written)
        abort();
    return 0;
}
