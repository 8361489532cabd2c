#include "urlinfotext.h"

#include "qurlinfo.h"

QString describe(const QUrlInfo &i)
{
    if (!i.isValid())
        return QStringLiteral("<invalid>");
    return QStringLiteral("name=[%1] perm=%2 owner=[%3] group=[%4] size=%5 mod=%6 read=%7 "
                          "dir=%8 file=%9 link=%10 w=%11 r=%12 x=%13")
        .arg(i.name())
        .arg(i.permissions(), 0, 8)
        .arg(i.owner(), i.group())
        .arg(i.size())
        .arg(i.lastModified().toString(Qt::ISODate), i.lastRead().toString(Qt::ISODate))
        .arg(i.isDir())
        .arg(i.isFile())
        .arg(i.isSymLink())
        .arg(i.isWritable())
        .arg(i.isReadable())
        .arg(i.isExecutable());
}
