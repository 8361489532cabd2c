#ifndef QFTPCOMMAND_H
#define QFTPCOMMAND_H

#include "qftp.h"

#include <QByteArray>
#include <QStringList>

class QIODevice;

// One queued command of the facade: its kind, the lines to send (the
// interpreter ends each) and the data to send or receive.
class QFtpCommand
{
public:
    QFtpCommand(QFtp::Command kind, const QStringList &lines, const QByteArray &data);
    QFtpCommand(QFtp::Command kind, const QStringList &lines, QIODevice *device = nullptr);
    ~QFtpCommand();
    Q_DISABLE_COPY(QFtpCommand)

    int id;
    QFtp::Command command;
    QStringList rawCommands;
    union {
        QByteArray *dataBuffer; // owned
        QIODevice *dataDevice; // the caller's
    };
    bool dataIsBuffer;
};

#endif // QFTPCOMMAND_H
