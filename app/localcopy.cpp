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

#ifdef Q_OS_LINUX
// Copies [from, end) of `in` to the same place in `out`, first with
// copy_file_range(2): the blocks go from file to file without passing
// through this process, and a file system that can share blocks (a clone)
// does that instead of copying; what the kernel will not copy goes through
// `buffer`. Returns how far it came.
qint64 copyRange(int in, int out, qint64 from, qint64 end, QByteArray &buffer)
{
    loff_t source = from;
    loff_t target = from;
    while (source < end) {
        const ssize_t count = ::copy_file_range(in, &source, out, &target,
                                                size_t(qMin<qint64>(end - source, 1 << 30)), 0);
        if (count == 0 || (count < 0 && errno != EINTR))
            break;
    }
    qint64 done = source;
    while (done < end) {
        const ssize_t count
            = ::pread(in, buffer.data(), size_t(qMin<qint64>(end - done, buffer.size())), done);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0 || ::pwrite(out, buffer.constData(), size_t(count), done) != count)
            break;
        done += count;
    }
    return done;
}
#endif

// Copies the data of `in` into `out` as far as it can: the holes of a
// sparse file (found with SEEK_DATA and SEEK_HOLE) stay holes in the copy.
// Returns how far it came; the caller copies the rest itself, so that a file
// whose size the kernel does not know (in /proc, say) still copies whole,
// and a failure says which side failed.
qint64 copyData(QFile &in, QFile &out)
{
#ifdef Q_OS_LINUX
    const int source = in.handle();
    const qint64 size = in.size();
    QByteArray buffer(int(copyBlockSize), Qt::Uninitialized);
    qint64 done = 0;
    while (done < size) {
        const off_t data = ::lseek(source, done, SEEK_DATA);
        if (data < 0) {
            // No data past `done`: the rest is a hole. Any other error: the
            // file cannot tell its holes, and is copied as it comes.
            if (errno != ENXIO)
                return copyRange(source, out.handle(), done, size, buffer);
            return out.resize(size) ? size : done;
        }
        const off_t hole = ::lseek(source, data, SEEK_HOLE);
        const qint64 end = hole < 0 ? size : qMin<qint64>(hole, size);
        const qint64 reached = copyRange(source, out.handle(), data, end, buffer);
        if (reached < end)
            return reached;
        done = end;
    }
    return done;
#else
    Q_UNUSED(in);
    Q_UNUSED(out);
    return 0;
#endif
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

    const qint64 copied = copyData(in, out);
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
