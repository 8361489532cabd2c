#ifndef DATEDFOLDERS_H
#define DATEDFOLDERS_H

#include <QDate>
#include <QLocale>
#include <QString>

// How each run names its folder in the save folders and on the servers:
// the day's date, with the month and day names of the system locale.
inline constexpr char datedFolderFormat[] = "yyyy_MMM_dd_(ddd)";

// The day whose dated folder is called `name`; invalid when `name` is no
// dated folder's name. Only a name that reads back as a date in the system
// locale's format, and that this date names exactly the same way, counts:
// look-alikes and folders named in another language are not taken.
inline QDate dateOfDatedFolder(const QString &name)
{
    const QString format = QString::fromLatin1(datedFolderFormat);
    const QDate day = QLocale::system().toDate(name, format);
    return day.isValid() && day.toString(format) == name ? day : QDate();
}

#endif // DATEDFOLDERS_H
