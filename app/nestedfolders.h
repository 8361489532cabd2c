#ifndef NESTEDFOLDERS_H
#define NESTEDFOLDERS_H

#include <QString>
#include <QStringList>

#include <functional>

class QFileInfo;

// The folders among `candidates` that lie inside `folder` (below it, not
// the folder itself), each spelled as `folder` as written followed by the
// rest of the way down, so that it matches the paths a walk from `folder`
// meets. Links are resolved on both sides. Missing folders are left aside.
QStringList foldersInside(const QString &folder, const QStringList &candidates);

// True when `a` and `b` are the same existing folder, links resolved.
bool isSameFolder(const QString &a, const QString &b);

// The backups that a save folder holds directly: its "latest" and its dated
// folders, each spelled as `folder` as written followed by its name.
QStringList backupFoldersIn(const QString &folder);

// Calls `visit` for every file, folder and link below `folder`. Links are
// visited, never followed; the folders in `leftOut` (as foldersInside gives
// them) are neither visited nor entered.
void walkFolder(const QString &folder, const QStringList &leftOut,
                const std::function<void(const QFileInfo &)> &visit);

#endif // NESTEDFOLDERS_H
