#ifndef QFTPDTP_H
#define QFTPDTP_H

#include "qurlinfo.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>

// PLACEHOLDER declaration: only the listing parser so far; the data
// transfer process itself comes with the FTP client.
class QFtpDTP : public QObject
{
    Q_OBJECT
public:
    static bool parseListLine(const QByteArray &buffer, const QString &userName, QUrlInfo *info);
    // The same, with "now" given: the year of a listing date without a year is
    // guessed from it. The public form passes the current date-time.
    static bool parseListLine(const QByteArray &buffer, const QString &userName, QUrlInfo *info,
                              const QDateTime &now);
};

#endif // QFTPDTP_H
