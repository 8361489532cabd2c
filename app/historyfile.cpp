#include "mainwindow.h"

#include <QFile>
#include <QSaveFile>
#include <QTextStream>

namespace {

const char historyFileName[] = "previous";

// Qt::TextDate holds spaces, and the line format splits on them.
QString dateTimeToField(const QDateTime &dateTime)
{
    return dateTime.toString(Qt::TextDate).replace(QLatin1Char(' '), QLatin1Char('_'));
}

QDateTime dateTimeFromField(QString field)
{
    return QDateTime::fromString(field.replace(QLatin1Char('_'), QLatin1Char(' ')), Qt::TextDate);
}

// Replaced as a whole, so that a crash or a full disk leaves the previous
// history rather than a truncated one.
bool storeHistory(const QMap<QString, QDateTime> &history)
{
    QSaveFile file { QLatin1String(historyFileName) };
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QTextStream stream(&file);
    for (auto it = history.constBegin(); it != history.constEnd(); ++it)
        stream << it.key() << ' ' << dateTimeToField(it.value()) << '\n';
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
        const QStringList fields = stream.readLine().split(QLatin1Char(' '));
        if (fields.size() != 2) {
            logError("Must have <path> <last-modified> for all entries in 'previous'");
            continue;
        }
        // A date that does not parse is stored as the invalid date-time it gives.
        previousTransfers.insert(fields.at(0), dateTimeFromField(fields.at(1)));
    }
    file.close();
}

void MainWindow::writeHistory()
{
    if (!storeHistory(previousTransfers))
        logError("Cannot write previous transfer file");
}
