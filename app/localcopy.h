#ifndef LOCALCOPY_H
#define LOCALCOPY_H

#include <QString>

enum class CopyOutcome {
    Copied,
    SourceUnreadable, // the old copy, if any, is kept
    WriteFailed, // the old copy, if any, is kept
    NotReplaceable // the new copy is complete but cannot take the old one's place
};

// Writes the new copy beside the target and swaps it in only once it is
// complete, so that a good copy is never lost to a copy that fails halfway.
CopyOutcome copyReplacing(const QString &source, const QString &target);

#endif // LOCALCOPY_H
