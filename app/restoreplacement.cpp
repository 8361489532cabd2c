#include "restoreplacement.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// Removes a file, a link (as a link) or a folder and all in it.
bool removeWhole(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink())
        return QDir(path).removeRecursively();
    return QFile::remove(path);
}

} // namespace

bool pathTaken(const QString &path)
{
    struct stat status;
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0;
}

bool setModificationTime(const QString &path, const QDateTime &time)
{
    const qint64 ms = time.toMSecsSinceEpoch();
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = ms / 1000;
    times[1].tv_nsec = (ms % 1000) * 1000000;
    if (times[1].tv_nsec < 0) {
        times[1].tv_sec -= 1;
        times[1].tv_nsec += 1000000000;
    }
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, AT_SYMLINK_NOFOLLOW)
        == 0;
}

// For file systems without renameat2's flags: the same steps, with a
// short moment in which a target that appears meanwhile may be replaced.
static PlaceOutcome placeWithPlainRenames(const QByteArray &from, const QByteArray &to,
                                          bool replace, QString *problem)
{
    const QString target = QFile::decodeName(to);
    if (!pathTaken(target)) {
        if (::rename(from.constData(), to.constData()) == 0)
            return PlaceOutcome::Placed;
        *problem = target + QStringLiteral(": ") + systemError();
        return PlaceOutcome::Failed;
    }
    if (!replace)
        return PlaceOutcome::TargetExists;
    const QByteArray aside = from + ".old";
    if (::rename(to.constData(), aside.constData()) != 0) {
        *problem = target + QStringLiteral(": ") + systemError();
        return PlaceOutcome::Failed;
    }
    if (::rename(from.constData(), to.constData()) != 0) {
        *problem = target + QStringLiteral(": ") + systemError();
        ::rename(aside.constData(), to.constData());
        return PlaceOutcome::Failed;
    }
    removeWhole(QFile::decodeName(aside));
    return PlaceOutcome::Placed;
}

PlaceOutcome placeRestored(const QString &item, const QString &target, bool replace,
                           QString *problem)
{
    const QByteArray from = QFile::encodeName(item);
    const QByteArray to = QFile::encodeName(target);
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return PlaceOutcome::Placed;
    if (errno == EINVAL)
        return placeWithPlainRenames(from, to, replace, problem);
    if (errno != EEXIST) {
        *problem = target + QStringLiteral(": ") + systemError();
        return PlaceOutcome::Failed;
    }
    if (!replace)
        return PlaceOutcome::TargetExists;
    // The old and the new change places at once; the old then goes (or, if
    // it cannot, with the scratch folder it now stands in).
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_EXCHANGE) != 0) {
        if (errno == EINVAL)
            return placeWithPlainRenames(from, to, replace, problem);
        *problem = target + QStringLiteral(": ") + systemError();
        return PlaceOutcome::Failed;
    }
    removeWhole(item);
    return PlaceOutcome::Placed;
}
