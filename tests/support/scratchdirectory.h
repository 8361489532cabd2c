#ifndef SCRATCHDIRECTORY_H
#define SCRATCHDIRECTORY_H

// Header-only, so that the fuzz targets, which do not link the test support
// library, can use it too.

#include <QDir>
#include <QString>
#include <QTemporaryDir>

// Makes `path` the process's current directory until it goes away, then goes back.
class CurrentDirectory
{
public:
    explicit CurrentDirectory(const QString &path)
        : previous(QDir::currentPath())
        , entered(QDir::setCurrent(path))
    { }
    ~CurrentDirectory() { QDir::setCurrent(previous); }
    CurrentDirectory(const CurrentDirectory &) = delete;
    CurrentDirectory &operator=(const CurrentDirectory &) = delete;

    bool isEntered() const { return entered; }

private:
    const QString previous;
    const bool entered;
};

// A new temporary folder, the current directory while it lives; removed after leaving it.
class ScratchDirectory
{
public:
    ScratchDirectory()
        : current(folder.path())
    { }

    bool isValid() const { return folder.isValid(); }
    bool isCurrent() const { return current.isEntered(); }
    QString path() const { return folder.path(); }
    QString filePath(const QString &name) const { return folder.filePath(name); }

private:
    QTemporaryDir folder; // first in, last out: removed once the process has left it
    CurrentDirectory current;
};

#endif // SCRATCHDIRECTORY_H
