#include "runlog.h"

#include <QDateTime>
#include <QFileInfo>

bool RunLog::open(const QString &path)
{
    file.close();
    file.setFileName(path);
    const QFileInfo info(path);
    if (info.isFile() && info.size() > rotationSize) {
        const QString older = olderFileName(path);
        QFile::remove(older);
        // A log that cannot be moved aside is still appended to: losing old
        // lines would be worse than a big file.
        QFile::rename(path, older);
    }
    const bool existed = QFileInfo::exists(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return false;
    // The log names the files and servers backed up: its owner's business,
    // like config.txt.
    if (!existed)
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QString started
        = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    return append(started + QStringLiteral(" Backup started in ") + info.absolutePath());
}

bool RunLog::append(const QString &line)
{
    if (!file.isOpen())
        return false;
    const QByteArray bytes = line.toUtf8() + '\n';
    return file.write(bytes) == bytes.size();
}

QString RunLog::problem() const
{
    return file.fileName() + QStringLiteral(": ") + file.errorString();
}
