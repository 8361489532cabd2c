#ifndef URLINFOTEXT_H
#define URLINFOTEXT_H

#include <QString>

class QUrlInfo;

// Every field of a directory entry on one line ("<invalid>" for an invalid
// one), so that a failed comparison shows what differs.
QString describe(const QUrlInfo &entry);

#endif // URLINFOTEXT_H
