#include "qftpcommand.h"

#include <QAtomicInt>

namespace {
// One counter for the whole process: ids are never reused, and commands of
// different clients never share one.
QBasicAtomicInt nextCommandId = Q_BASIC_ATOMIC_INITIALIZER(1);
} // namespace

QFtpCommand::QFtpCommand(QFtp::Command kind, const QStringList &lines, const QByteArray &data)
    : id(nextCommandId.fetchAndAddRelaxed(1))
    , command(kind)
    , rawCommands(lines)
    , dataBuffer(new QByteArray(data))
    , dataIsBuffer(true)
{ }

QFtpCommand::QFtpCommand(QFtp::Command kind, const QStringList &lines, QIODevice *device)
    : id(nextCommandId.fetchAndAddRelaxed(1))
    , command(kind)
    , rawCommands(lines)
    , dataDevice(device)
    , dataIsBuffer(false)
{ }

QFtpCommand::~QFtpCommand()
{
    if (dataIsBuffer)
        delete dataBuffer;
}
