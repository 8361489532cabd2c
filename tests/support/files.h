#ifndef FILES_H
#define FILES_H

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>

// Files that tests lay out in their working directories and read back.

// Writes `content` to `path`, making missing parent folders; fails the running test if it cannot.
void writeFile(const QString &path, const QByteArray &content);

// The content of `path`, or "(unreadable)": a missing file never equals an empty one.
QByteArray readFile(const QString &path);

// Sets the access and modification times of a file or folder, to the second.
void setModified(const QString &path, const QDateTime &time);

// Today's dated folder as a MainWindow built in this process names it (system locale).
QString datedFolderName();

// A time as the history file `previous` holds it ("Sat_Dec_5_21:19:07_2026").
QString historyText(const QDateTime &time);

// Runs `action` with the file size limit at `bytes`: writes stop part way, as on a full disk.
void withFileSizeLimit(qint64 bytes, const std::function<void()> &action);

#endif // FILES_H
