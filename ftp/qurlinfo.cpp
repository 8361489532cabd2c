#include "qurlinfo.h"

// PLACEHOLDER: the directory entry record is not written yet.
QUrlInfo::QUrlInfo() = default;
QUrlInfo::QUrlInfo(const QUrlInfo &) {}
QUrlInfo &QUrlInfo::operator=(const QUrlInfo &) { return *this; }
QUrlInfo::~QUrlInfo() = default;
void QUrlInfo::setName(const QString &) {}
void QUrlInfo::setDir(bool) {}
void QUrlInfo::setFile(bool) {}
void QUrlInfo::setSymLink(bool) {}
void QUrlInfo::setOwner(const QString &) {}
void QUrlInfo::setGroup(const QString &) {}
void QUrlInfo::setSize(qint64) {}
void QUrlInfo::setWritable(bool) {}
void QUrlInfo::setReadable(bool) {}
void QUrlInfo::setPermissions(int) {}
void QUrlInfo::setLastModified(const QDateTime &) {}
QString QUrlInfo::name() const { return {}; }
bool QUrlInfo::isDir() const { return false; }
