#include "qftpcommand.h"

#include <QAtomicInt>

namespace {
// One counter for the whole process: ids are never reused, and commands of
// different clients never share one.
QBasicAtomicInt nextCommandId = Q_BASIC_ATOMIC_INITIALIZER(1);
} // namespace

QFtpCommand::QFtpCommand(QFtp::Command kind, const QFtpLines &lines)
    : id(nextCommandId.fetchAndAddRelaxed(1))
    , command(kind)
    , lines(lines)
{ }

QFtpCommand::QFtpCommand(QFtp::Command kind, const QFtpLines &lines, const QByteArray &bytes)
    : QFtpCommand(kind, lines)
{
    data = bytes;
}

QFtpCommand::QFtpCommand(QFtp::Command kind, const QFtpLines &lines, QIODevice *device,
                         std::unique_ptr<QIODevice> owned)
    : QFtpCommand(kind, lines)
{
    data = device;
    ownedDevice = std::move(owned);
}

QFtpCommand::QFtpCommand(QFtp::Command kind, const QString &host, quint16 port)
    : QFtpCommand(kind, QFtpLines())
{
    this->host = host;
    this->port = port;
}

QIODevice *QFtpCommand::device() const
{
    const auto *device = std::get_if<QIODevice *>(&data);
    return device ? *device : nullptr;
}
