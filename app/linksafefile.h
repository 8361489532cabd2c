#ifndef LINKSAFEFILE_H
#define LINKSAFEFILE_H

#include <QFile>
#include <QIODevice>
#include <QString>

#include <sys/types.h>

// The files beside config.txt may lie in a folder that another user can
// write to while root runs the program (a service of that user, sudo). A
// link put in place of one of them must never lead a read or a write to the
// file it points at, so these open and replace files without following a
// link at their own path.

// True when `path` itself is a symbolic link (what it leads to is not looked at).
bool isSymbolicLink(const QString &path);

// Opens `path` into `file`, read-only or write-only appending (created with
// mode 0600 when missing), refusing a link and anything but a plain file.
// False when it cannot; `problem` then says why. Missing is not a problem
// worth a text of its own: missing() tells it.
class LinkSafeOpen
{
public:
    bool open(QFile &file, const QString &path, QIODevice::OpenMode mode);
    bool missing() const { return wasMissing; }
    QString problem() const { return lastProblem; }

private:
    bool wasMissing = false;
    QString lastProblem;
};

// A new version of a file, written beside it and renamed into its place once
// complete: a crash or a full disk leaves the old version. A link at the
// path is refused, never written through, and the rename replaces the path
// itself. An existing file keeps its mode; a new one gets `newFileMode`
// less the umask.
class FileReplacement
{
public:
    FileReplacement(const QString &path, mode_t newFileMode);
    ~FileReplacement(); // the new version goes unless committed
    FileReplacement(const FileReplacement &) = delete;
    FileReplacement &operator=(const FileReplacement &) = delete;

    bool open();
    QFile &file() { return newVersion; }
    bool commit();
    QString problem() const { return lastProblem; }
    bool refusedLink() const { return isLink; }

private:
    QString finalPath;
    mode_t createMode;
    QFile newVersion;
    QString newPath; // of the new version, until renamed
    QString lastProblem;
    bool isLink = false;
    bool committed = false;
};

#endif // LINKSAFEFILE_H
