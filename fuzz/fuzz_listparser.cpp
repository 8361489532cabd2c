// Feeds arbitrary bytes to the listing parser as one LIST line: it must never
// crash, must fill the entry exactly when it accepts the line, and must give
// the same answer for the same line.
#include "qftpdtp.h"
#include "qurlinfo.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray line(reinterpret_cast<const char *>(data), int(size));

    // A fixed "now" keeps runs reproducible; New Year's Day exercises the
    // step back to last year.
    static const QDateTime newYear(QDate(2025, 1, 1), QTime(0, 30));

    QUrlInfo entry;
    const bool accepted = QFtpDTP::parseListLine(line, QString(), &entry, newYear);
    if (accepted != entry.isValid())
        abort();

    // A user name that may match the owner takes the ownership branch.
    QUrlInfo owned;
    const bool again = QFtpDTP::parseListLine(line, entry.owner(), &owned, newYear);
    if (again != accepted || owned.name() != entry.name() || owned.size() != entry.size()
        || owned.lastModified() != entry.lastModified())
        abort();

    // The public form reads the clock; only its acceptance must agree.
    QUrlInfo now;
    if (QFtpDTP::parseListLine(line, QString(), &now) != accepted)
        abort();
    return 0;
}
