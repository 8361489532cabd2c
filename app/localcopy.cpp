#include "localcopy.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <filesystem>
#include <system_error>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <unistd.h>
#endif

namespace {

// Copies go through a buffer of this size, so that a copy costs the same
// memory whatever the size of the file.
const qint64 copyBlockSize = 1024 * 1024;

// Copies as much of `in` into `out` as the kernel will with
// copy_file_range(2): the blocks go from file to file without passing
// through this process, and a file system that can share blocks (a clone)
// does that instead of copying. Returns how far it came; the caller copies
// the rest itself, so that a file whose size the kernel does not know (in
// /proc, say), or a pair of files the kernel cannot copy between, still
// copies whole, and a failure says which side failed.
qint64 copyInKernel(QFile &in, QFile &out)
{
    qint64 copied = 0;
#ifdef Q_OS_LINUX
    loff_t from = 0;
    loff_t to = 0;
    for (;;) {
        const ssize_t count
            = ::copy_file_range(in.handle(), &from, out.handle(), &to, size_t(1) << 30, 0);
        if (count > 0)
            copied += count;
        else if (count == 0 || errno != EINTR)
            break;
    }
#else
    Q_UNUSED(in);
    Q_UNUSED(out);
#endif
    return copied;
}

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

    const qint64 copied = copyInKernel(in, out);
    if (!in.seek(copied) || !out.seek(copied))
        return CopyOutcome::WriteFailed;
    // The rest, if any: at least the check that the source ends here.
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
    // A copy keeps its source's time, so that what comes back from it does too.
    out.setFileTime(in.fileTime(QFileDevice::FileModificationTime),
                    QFileDevice::FileModificationTime);
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
