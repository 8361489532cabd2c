#include "runlog.h"

#include "linksafefile.h"

#include <QDateTime>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

bool RunLog::open(const QString &path)
{
    file.close();
    filePath = path;
    lastProblem.clear();
    rotationFailure.clear();
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode)
        && info.st_size > rotationSize)
        rotate(path);
    // A new log is private: it names the files and servers backed up, its
    // owner's business, like config.txt.
    LinkSafeOpen opener;
    if (!opener.open(file, path, QIODevice::WriteOnly | QIODevice::Append)) {
        lastProblem = opener.problem();
        return false;
    }
    const QString started
        = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    return append(started + QStringLiteral(" Backup started in ") + QFileInfo(path).absolutePath());
}

// One rename moves the log aside, replacing the older one. A link in the
// older one's place is refused rather than replaced: it is not ours. A log
// that cannot be moved aside is still appended to: losing old lines would be
// worse than a big file.
bool RunLog::rotate(const QString &path)
{
    const QString older = olderFileName(path);
    if (isSymbolicLink(older)) {
        rotationFailure = older + QStringLiteral(": it is a link");
        return false;
    }
    if (::rename(QFile::encodeName(path).constData(), QFile::encodeName(older).constData()) != 0) {
        rotationFailure
            = older + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    return true;
}

bool RunLog::append(const QString &line)
{
    if (!file.isOpen())
        return false;
    const QByteArray bytes = line.toUtf8() + '\n';
    if (file.write(bytes) == bytes.size())
        return true;
    lastProblem = file.errorString();
    return false;
}

QString RunLog::problem() const
{
    return filePath + QStringLiteral(": ") + lastProblem;
}

void RunLog::noteIncomplete(const QString &reason)
{
    if (!reasons.contains(reason))
        reasons.append(reason);
}
