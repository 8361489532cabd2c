#ifndef QFTPCOMMAND_H
#define QFTPCOMMAND_H

#include "qftp.h"
#include "qftpline.h"

#include <QByteArray>
#include <QIODevice>

#include <memory>
#include <variant>

// One queued command of the facade: its kind, the lines to send, and the
// data to send or receive. A command given a device to own deletes it when
// the command goes, however it ends.
class QFtpCommand
{
public:
    QFtpCommand(QFtp::Command kind, const QFtpLines &lines);
    QFtpCommand(QFtp::Command kind, const QFtpLines &lines, const QByteArray &bytes);
    QFtpCommand(QFtp::Command kind, const QFtpLines &lines, QIODevice *device,
                std::unique_ptr<QIODevice> owned = nullptr);
    // ConnectToHost and SetProxy: a host and a port, no lines.
    QFtpCommand(QFtp::Command kind, const QString &host, quint16 port);
    Q_DISABLE_COPY(QFtpCommand)

    // The bytes of a put from bytes; null otherwise.
    const QByteArray *bytes() const { return std::get_if<QByteArray>(&data); }
    // The device of a get or of a put from a device; null otherwise.
    QIODevice *device() const;

    const int id;
    const QFtp::Command command;
    QFtpLines lines;
    QString host;
    quint16 port = 0;
    qint64 offset = 0; // a put: where in the device the upload starts

private:
    std::variant<std::monostate, QByteArray, QIODevice *> data;
    std::unique_ptr<QIODevice> ownedDevice;
};

#endif // QFTPCOMMAND_H
