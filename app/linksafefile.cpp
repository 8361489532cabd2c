#include "linksafefile.h"

#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The text for a refused or failed open of `path`.
QString openProblem(int error)
{
    return error == ELOOP ? QStringLiteral("it is a link") : errnoText(error);
}

} // namespace

bool isSymbolicLink(const QString &path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISLNK(info.st_mode);
}

bool LinkSafeOpen::open(QFile &file, const QString &path, QIODevice::OpenMode mode)
{
    wasMissing = false;
    lastProblem.clear();
    const bool writing = mode & QIODevice::WriteOnly;
    // Non-blocking, so that a pipe in the file's place cannot hold the run
    // up; the check below then refuses it.
    int flags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    flags |= writing ? O_WRONLY | O_APPEND | O_CREAT : O_RDONLY;
    const int fd = ::open(QFile::encodeName(path).constData(), flags, 0600);
    if (fd < 0) {
        wasMissing = errno == ENOENT;
        lastProblem = openProblem(errno);
        return false;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        lastProblem = QStringLiteral("it is not a plain file");
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    const QIODevice::OpenMode qtMode = writing
        ? QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered
        : QIODevice::ReadOnly;
    if (!file.open(fd, qtMode, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        lastProblem = file.errorString();
        return false;
    }
    return true;
}

FileReplacement::FileReplacement(const QString &path, mode_t newFileMode)
    : finalPath(path)
    , createMode(newFileMode)
{ }

FileReplacement::~FileReplacement()
{
    if (!committed && !newPath.isEmpty()) {
        newVersion.close();
        QFile::remove(newPath);
    }
}

bool FileReplacement::open()
{
    const QByteArray target = QFile::encodeName(finalPath);
    struct stat old;
    const bool exists = ::lstat(target.constData(), &old) == 0;
    isLink = exists && S_ISLNK(old.st_mode);
    if (isLink) {
        lastProblem = QStringLiteral("it is a link");
        return false;
    }
    if (exists && !S_ISREG(old.st_mode)) {
        lastProblem = QStringLiteral("it is not a plain file");
        return false;
    }

    // A fresh name beside the file, made by this call alone (O_EXCL).
    const QFileInfo info(finalPath);
    int fd = -1;
    QString name;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        name = info.absolutePath() + "/." + info.fileName() + "."
            + QString::number(QRandomGenerator::system()->generate(), 36);
        fd = ::open(QFile::encodeName(name).constData(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    exists ? mode_t(0600) : createMode);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        lastProblem = errnoText(errno);
        return false;
    }
    if (exists)
        ::fchmod(fd, old.st_mode & 07777);
    newPath = name;
    if (!newVersion.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        lastProblem = newVersion.errorString();
        return false;
    }
    return true;
}

bool FileReplacement::commit()
{
    if (!newVersion.isOpen())
        return false;
    if (!newVersion.flush() || ::fsync(newVersion.handle()) != 0) {
        lastProblem = newVersion.errorString();
        return false;
    }
    newVersion.close();
    if (::rename(QFile::encodeName(newPath).constData(), QFile::encodeName(finalPath).constData())
        != 0) {
        lastProblem = errnoText(errno);
        return false;
    }
    committed = true;
    return true;
}
