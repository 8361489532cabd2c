#include "qurlinfo.h"

#include <QFileInfo>

// The fields of one entry. A record creates this on first need; the initial
// values describe a plain readable and writable file with nothing else known.
class QUrlInfoPrivate
{
public:
    QString name;
    int permissions = 0;
    QString owner;
    QString group;
    qint64 size = 0;
    QDateTime lastModified;
    QDateTime lastRead;
    bool isDir = false;
    bool isFile = true;
    bool isSymLink = false;
    bool isWritable = true;
    bool isReadable = true;
    bool isExecutable = false;
};

namespace {

QUrlInfoPrivate *makeData(const QString &name, int permissions, const QString &owner,
                          const QString &group, qint64 size, const QDateTime &lastModified,
                          const QDateTime &lastRead, bool isDir, bool isFile, bool isSymLink,
                          bool isWritable, bool isReadable, bool isExecutable)
{
    auto *data = new QUrlInfoPrivate;
    data->name = name;
    data->permissions = permissions;
    data->owner = owner;
    data->group = group;
    data->size = size;
    data->lastModified = lastModified;
    data->lastRead = lastRead;
    data->isDir = isDir;
    data->isFile = isFile;
    data->isSymLink = isSymLink;
    data->isWritable = isWritable;
    data->isReadable = isReadable;
    data->isExecutable = isExecutable;
    return data;
}

// Every setter makes the record valid: the data is created with its initial
// values before the one field is stored.
QUrlInfoPrivate *dataOf(QUrlInfoPrivate *&d)
{
    if (!d)
        d = new QUrlInfoPrivate;
    return d;
}

} // namespace

QUrlInfo::QUrlInfo() = default;

QUrlInfo::QUrlInfo(const QUrlInfo &ui)
    : d(ui.d ? new QUrlInfoPrivate(*ui.d) : nullptr)
{ }

QUrlInfo::QUrlInfo(const QString &name, int permissions, const QString &owner, const QString &group,
                   qint64 size, const QDateTime &lastModified, const QDateTime &lastRead,
                   bool isDir, bool isFile, bool isSymLink, bool isWritable, bool isReadable,
                   bool isExecutable)
    : d(makeData(name, permissions, owner, group, size, lastModified, lastRead, isDir, isFile,
                 isSymLink, isWritable, isReadable, isExecutable))
{ }

// The name is the last segment of the decoded path, so "%20" in a URL
// becomes a space and a path ending in "/" gives an empty name.
QUrlInfo::QUrlInfo(const QUrl &url, int permissions, const QString &owner, const QString &group,
                   qint64 size, const QDateTime &lastModified, const QDateTime &lastRead,
                   bool isDir, bool isFile, bool isSymLink, bool isWritable, bool isReadable,
                   bool isExecutable)
    : d(makeData(QFileInfo(url.path(QUrl::FullyDecoded)).fileName(), permissions, owner, group,
                 size, lastModified, lastRead, isDir, isFile, isSymLink, isWritable, isReadable,
                 isExecutable))
{ }

QUrlInfo &QUrlInfo::operator=(const QUrlInfo &ui)
{
    if (ui.d) {
        if (!d)
            d = new QUrlInfoPrivate;
        *d = *ui.d;
    } else {
        delete d;
        d = nullptr;
    }
    return *this;
}

QUrlInfo::~QUrlInfo()
{
    delete d;
}

void QUrlInfo::setName(const QString &name)
{
    dataOf(d)->name = name;
}

void QUrlInfo::setDir(bool b)
{
    dataOf(d)->isDir = b;
}

void QUrlInfo::setFile(bool b)
{
    dataOf(d)->isFile = b;
}

void QUrlInfo::setSymLink(bool b)
{
    dataOf(d)->isSymLink = b;
}

void QUrlInfo::setOwner(const QString &s)
{
    dataOf(d)->owner = s;
}

void QUrlInfo::setGroup(const QString &s)
{
    dataOf(d)->group = s;
}

void QUrlInfo::setSize(qint64 size)
{
    dataOf(d)->size = size;
}

void QUrlInfo::setWritable(bool b)
{
    dataOf(d)->isWritable = b;
}

void QUrlInfo::setReadable(bool b)
{
    dataOf(d)->isReadable = b;
}

void QUrlInfo::setPermissions(int p)
{
    dataOf(d)->permissions = p;
}

void QUrlInfo::setLastModified(const QDateTime &dt)
{
    dataOf(d)->lastModified = dt;
}

void QUrlInfo::setLastRead(const QDateTime &dt)
{
    dataOf(d)->lastRead = dt;
}

bool QUrlInfo::isValid() const
{
    return d != nullptr;
}

// Without data every getter reads as empty, zero or false, including the
// flags whose initial value is true.
QString QUrlInfo::name() const
{
    return d ? d->name : QString();
}

int QUrlInfo::permissions() const
{
    return d ? d->permissions : 0;
}

QString QUrlInfo::owner() const
{
    return d ? d->owner : QString();
}

QString QUrlInfo::group() const
{
    return d ? d->group : QString();
}

qint64 QUrlInfo::size() const
{
    return d ? d->size : 0;
}

QDateTime QUrlInfo::lastModified() const
{
    return d ? d->lastModified : QDateTime();
}

QDateTime QUrlInfo::lastRead() const
{
    return d ? d->lastRead : QDateTime();
}

bool QUrlInfo::isDir() const
{
    return d && d->isDir;
}

bool QUrlInfo::isFile() const
{
    return d && d->isFile;
}

bool QUrlInfo::isSymLink() const
{
    return d && d->isSymLink;
}

bool QUrlInfo::isWritable() const
{
    return d && d->isWritable;
}

bool QUrlInfo::isReadable() const
{
    return d && d->isReadable;
}

bool QUrlInfo::isExecutable() const
{
    return d && d->isExecutable;
}

namespace {
enum SortKey { ByName = 0, ByTime = 1, BySize = 2 };
}

bool QUrlInfo::greaterThan(const QUrlInfo &i1, const QUrlInfo &i2, int sortBy)
{
    switch (sortBy) {
    case ByName:
        return i1.name() > i2.name();
    case ByTime:
        return i1.lastModified() > i2.lastModified();
    case BySize:
        return i1.size() > i2.size();
    default:
        return false;
    }
}

bool QUrlInfo::notGreaterThan(const QUrlInfo &i1, const QUrlInfo &i2, int sortBy)
{
    return !greaterThan(i1, i2, sortBy);
}

bool QUrlInfo::equal(const QUrlInfo &i1, const QUrlInfo &i2, int sortBy)
{
    switch (sortBy) {
    case ByName:
        return i1.name() == i2.name();
    case ByTime:
        return i1.lastModified() == i2.lastModified();
    case BySize:
        return i1.size() == i2.size();
    default:
        return false;
    }
}

bool QUrlInfo::operator==(const QUrlInfo &i) const
{
    if (!d || !i.d)
        return !d && !i.d;
    return d->name == i.d->name && d->permissions == i.d->permissions && d->owner == i.d->owner
        && d->group == i.d->group && d->size == i.d->size && d->lastModified == i.d->lastModified
        && d->lastRead == i.d->lastRead && d->isDir == i.d->isDir && d->isFile == i.d->isFile
        && d->isSymLink == i.d->isSymLink && d->isWritable == i.d->isWritable
        && d->isReadable == i.d->isReadable && d->isExecutable == i.d->isExecutable;
}
