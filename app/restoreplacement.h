#ifndef RESTOREPLACEMENT_H
#define RESTOREPLACEMENT_H

#include <QDateTime>
#include <QString>

enum class PlaceOutcome {
    Placed,
    TargetExists, // nothing replaced, as asked
    Failed
};

// Puts the restored file or folder `item` at `target`, in the same folder:
// one rename, so that the target is never half there. With `replace`, what
// stood at `target` is swapped out in the same step and removed only once
// the new one is in place; without, a target that exists is left alone,
// even one that appeared since it was last looked at.
PlaceOutcome placeRestored(const QString &item, const QString &target, bool replace,
                           QString *problem);

// Sets the modification time of `path` itself, not of what a link there
// leads to. False when it cannot be set.
bool setModificationTime(const QString &path, const QDateTime &time);

// True when something, even a dangling link, stands at `path`.
bool pathTaken(const QString &path);

#endif // RESTOREPLACEMENT_H
