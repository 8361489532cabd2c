#include "configurationfields.h"

#include <QCoreApplication>
#include <QFileInfo>

QString defaultArchiverPath()
{
    if (QCoreApplication::instance()) {
        const QFileInfo standIn(QCoreApplication::applicationDirPath()
                                + QStringLiteral("/mirvo-archiver"));
        if (standIn.isFile() && standIn.isExecutable())
            return standIn.absoluteFilePath();
    }
    return QString::fromLatin1(defaultWinrarPath);
}
