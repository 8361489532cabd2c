#include "mainwindow.h"

#include <QFile>
#include <QSaveFile>
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
bool storeHistory(const QMap<QString, QDateTime> &history, const QHash<QString, StoredTime> &asRead)
{
    QSaveFile file { QLatin1String(historyFileName) };
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QTextStream stream(&file);
    for (auto it = history.constBegin(); it != history.constEnd(); ++it) {
        const auto read = asRead.constFind(it.key());
        const bool unchanged = read != asRead.constEnd() && read->value == it.value();
        stream << it.key() << ' ' << (unchanged ? read->text : dateTimeToField(it.value())) << '\n';
    }
    stream.flush();
    if (stream.status() != QTextStream::Ok) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

} // namespace

void MainWindow::readHistory()
{
    QFile file { QLatin1String(historyFileName) };
    if (!file.open(QIODevice::ReadOnly)) {
        logError("Cannot read previous transfer file");
        return;
    }

    QTextStream stream(&file);
    while (!stream.atEnd()) {
        QString line = stream.readLine();
        // The decoder drops a byte order mark only at the start of the file:
        // dropped everywhere, a key reads the same wherever a later run writes it.
        if (line.startsWith(QChar::ByteOrderMark))
            line.remove(0, 1);
        const QStringList fields = line.split(QLatin1Char(' '));
        if (fields.size() != 2) {
            logError("Must have <path> <last-modified> for all entries in 'previous'");
            continue;
        }
        // A date that does not parse is stored as the invalid date-time it gives.
        const QDateTime value = dateTimeFromField(fields.at(1));
        previousTransfers.insert(fields.at(0), value);
        historyAsRead.insert(fields.at(0), StoredTime { value, fields.at(1) });
    }
    file.close();
}

void MainWindow::writeHistory()
{
    if (!storeHistory(previousTransfers, historyAsRead))
        logError("Cannot write previous transfer file");
}
