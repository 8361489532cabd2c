#include "backupdestination.h"

#include "datedfolders.h"

#include <QLocale>

#include <algorithm>

QString DayFolder::dayText() const
{
    return isLatest() ? QStringLiteral("latest") : day.toString(Qt::ISODate);
}

std::optional<DayFolder> DayFolder::named(const QString &name)
{
    if (name == QLatin1String("latest"))
        return DayFolder { name, QDate() };
    QDate day = dateOfDatedFolder(name);
    // A save folder carried to a machine in another language still reads.
    if (!day.isValid()) {
        const QString format = QString::fromLatin1(datedFolderFormat);
        day = QLocale::c().toDate(name, format);
        if (day.isValid() && QLocale::c().toString(day, format) != name)
            day = QDate();
    }
    if (!day.isValid())
        return std::nullopt;
    return DayFolder { name, day };
}

void DayFolder::sortNewestFirst(QList<DayFolder> &folders)
{
    std::stable_sort(folders.begin(), folders.end(), [](const DayFolder &a, const DayFolder &b) {
        if (a.isLatest() != b.isLatest())
            return a.isLatest();
        return a.day > b.day;
    });
}

const IndexEntry *FolderHoldings::find(const QString &storedName) const
{
    for (const IndexEntry &copy : copies) {
        if (copy.name == storedName)
            return &copy;
    }
    return nullptr;
}
