#include "localcopy.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <filesystem>
#include <system_error>

namespace {

// Copies go through a buffer of this size, so that a copy costs the same
// memory whatever the size of the file.
const qint64 copyBlockSize = 1024 * 1024;

} // namespace

CopyOutcome copyReplacing(const QString &source, const QString &target)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return CopyOutcome::SourceUnreadable;
    const QFileInfo targetInfo(target);
    if (targetInfo.isDir() && !targetInfo.isSymLink())
        return CopyOutcome::NotReplaceable;
    // Removed again by its destructor unless it has taken the target's place.
    QTemporaryFile out(targetInfo.absolutePath() + "/." + targetInfo.fileName() + ".XXXXXX");
    if (!out.open())
        return CopyOutcome::NotReplaceable;

    QByteArray block(int(copyBlockSize), Qt::Uninitialized);
    for (;;) {
        const qint64 count = in.read(block.data(), copyBlockSize);
        if (count < 0)
            return CopyOutcome::SourceUnreadable;
        if (count == 0)
            break;
        if (out.write(block.constData(), count) != count)
            return CopyOutcome::WriteFailed;
    }
    out.setPermissions(in.permissions());
    if (!out.flush())
        return CopyOutcome::WriteFailed;
    out.close();

    // One rename replaces the old copy at once, whatever it was.
    std::error_code error;
    std::filesystem::rename(QFile::encodeName(out.fileName()).toStdString(),
                            QFile::encodeName(target).toStdString(), error);
    if (error)
        return CopyOutcome::NotReplaceable;
    out.setAutoRemove(false);
    return CopyOutcome::Copied;
}
