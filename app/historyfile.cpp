#include "configurationfields.h"
#include "mainwindow.h"

#include "linksafefile.h"

#include <QFile>
#include <QTextStream>

namespace {

// Written as ISO 8601 with the offset from UTC (2026-12-08T11:56:46+09:00),
// so that a value means the same instant whatever the time zone or
// daylight-saving time of the run that reads it.
QString dateTimeToField(const QDateTime &dateTime)
{
    if (!dateTime.isValid())
        return QString();
    QString text = dateTime.toOffsetFromUtc(dateTime.offsetFromUtc()).toString(Qt::ISODate);
    if (text.endsWith(QLatin1Char('Z')))
        text.replace(text.size() - 1, 1, QStringLiteral("+00:00"));
    return text;
}

// Values written before the offset was kept are Qt::TextDate with "_" for
// spaces, read as local time.
QDateTime dateTimeFromField(const QString &field)
{
    const QDateTime withOffset = QDateTime::fromString(field, Qt::ISODate);
    if (withOffset.isValid())
        return withOffset;
    return QDateTime::fromString(QString(field).replace(QLatin1Char('_'), QLatin1Char(' ')),
                                 Qt::TextDate);
}

// Replaced as a whole, so that a crash or a full disk leaves the previous
// history rather than a truncated one. A value still equal to the one read
// goes back as the text it was read from.
// A link in its place is refused, never written through.
bool storeHistory(const QMap<QString, QDateTime> &history, const QHash<QString, StoredTime> &asRead)
{
    FileReplacement replacement(QLatin1String(historyFileName), 0666);
    if (!replacement.open())
        return false;
    QTextStream stream(&replacement.file());
    for (auto it = history.constBegin(); it != history.constEnd(); ++it) {
        const auto read = asRead.constFind(it.key());
        const bool unchanged = read != asRead.constEnd() && read->value == it.value();
        stream << it.key() << ' ' << (unchanged ? read->text : dateTimeToField(it.value())) << '\n';
    }
    stream.flush();
    return stream.status() == QTextStream::Ok && replacement.commit();
}

} // namespace

// A first run has no history yet: nothing is wrong then. A link in the
// file's place is not followed.
void MainWindow::readHistory()
{
    QFile file;
    LinkSafeOpen opener;
    if (!opener.open(file, QLatin1String(historyFileName), QIODevice::ReadOnly)) {
        if (opener.missing())
            log(QStringLiteral("No previous transfer file: every entry is backed up"));
        else
            logError("Cannot read previous transfer file");
        return;
    }

    QTextStream stream(&file);
    while (!stream.atEnd()) {
        QString line = withoutCarriageReturns(stream.readLine());
        // The decoder drops a byte order mark only at the start of the file:
        // dropped everywhere, a key reads the same wherever a later run writes it.
        while (line.startsWith(QChar::ByteOrderMark))
            line.remove(0, 1);
        // Values never hold a space, so the last one ends the path, which
        // may hold spaces of its own.
        const int space = line.lastIndexOf(QLatin1Char(' '));
        if (space < 0) {
            logError("Must have <path> <last-modified> for all entries in 'previous'");
            continue;
        }
        const QString path = line.left(space);
        const QString text = line.mid(space + 1);
        // A date that does not parse is stored as the invalid date-time it gives.
        const QDateTime value = dateTimeFromField(text);
        previousTransfers.insert(path, value);
        historyAsRead.insert(path, StoredTime { value, text });
    }
    file.close();
}

void MainWindow::writeHistory()
{
    if (storeHistory(previousTransfers, historyAsRead))
        return;
    logError("Cannot write previous transfer file");
    runLog.noteIncomplete(QStringLiteral("previous cannot be written"));
}
