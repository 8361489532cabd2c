// The listing parser of the data transfer process, and the decoding of a
// line of text from the server: one line of a directory listing in the Unix
// long layout ("ls -l") or the DOS/Windows layout becomes one QUrlInfo entry.

#include "qftpdtp.h"

#include <QDate>
#include <QLocale>
#include <QRegExp>
#include <QStringList>
#include <QTextCodec>
#include <QTime>

namespace {

const int utf8Mib = 106;

// Unix: type, nine permission letters, link count, owner, group, size, a
// three-word date and the name (for a link: "name -> target").
const char unixLayout[] = "^([\\-dl])([a-zA-Z\\-]{9,9})\\s+\\d+\\s+(\\S*)\\s+(\\S*)\\s+(\\d+)\\s+"
                          "(\\S+\\s+\\S+\\s+\\S+)\\s+(\\S.*)";

// DOS: "MM-dd-yy  hh:mmAP", then "<DIR>" or the size, then the name.
const char dosLayout[]
    = "^(\\d\\d-\\d\\d-\\d\\d\\d?\\d?\\ \\ \\d\\d:\\d\\d[AP]M)\\s+(<DIR>|\\d+)\\s+(\\S.*)$";

const int secondsPerDay = 86400;

// "ls" writes the year for old entries and the time for recent ones, and pads
// the day with a zero or a space; the spaces are significant in these formats.
const char *const unixDateFormats[] = {
    "MMM dd  yyyy", "MMM dd hh:mm", "MMM  d  yyyy", "MMM  d hh:mm", "MMM  d yyyy", "MMM dd yyyy",
};

bool formatHasNoYear(int formatIndex)
{
    return formatIndex == 1 || formatIndex == 3;
}

// A time-stamped entry is recent: it belongs to this year, unless that would
// put it more than a day ahead of now (an entry from late December seen in
// January), in which case it belongs to last year.
QDateTime withGuessedYear(QDateTime dateTime, const QDateTime &now)
{
    const QDate parsed = dateTime.date();
    const int year = now.date().year();
    dateTime.setDate(QDate(year, parsed.month(), parsed.day()));
    if (dateTime.secsTo(now) < -secondsPerDay)
        dateTime.setDate(QDate(year - 1, parsed.month(), parsed.day()));
    return dateTime;
}

QDateTime parseUnixDate(QString text, const QDateTime &now)
{
    if (!text.isEmpty())
        text[0] = text.at(0).toUpper(); // "mar" is accepted as "Mar"
    const QLocale c(QLocale::C);
    for (int i = 0; i < int(sizeof unixDateFormats / sizeof *unixDateFormats); ++i) {
        const QDateTime dateTime = c.toDateTime(text, QLatin1String(unixDateFormats[i]));
        if (dateTime.isValid())
            return formatHasNoYear(i) ? withGuessedYear(dateTime, now) : dateTime;
    }
    return QDateTime();
}

int unixPermissions(const QString &letters)
{
    // Only the plain letters grant: "s", "t", "S", "T" and "-" give nothing.
    static const struct
    {
        char letter;
        int bit;
    } grants[9] = {
        { 'r', QUrlInfo::ReadOwner }, { 'w', QUrlInfo::WriteOwner }, { 'x', QUrlInfo::ExeOwner },
        { 'r', QUrlInfo::ReadGroup }, { 'w', QUrlInfo::WriteGroup }, { 'x', QUrlInfo::ExeGroup },
        { 'r', QUrlInfo::ReadOther }, { 'w', QUrlInfo::WriteOther }, { 'x', QUrlInfo::ExeOther },
    };
    int permissions = 0;
    for (int i = 0; i < 9 && i < letters.size(); ++i) {
        if (letters.at(i) == QLatin1Char(grants[i].letter))
            permissions |= grants[i].bit;
    }
    return permissions;
}

void fillUnixEntry(const QStringList &fields, const QString &userName, const QDateTime &now,
                   QUrlInfo *info)
{
    const QChar type = fields.at(1).at(0);
    if (type == QLatin1Char('d')) {
        info->setDir(true);
        info->setFile(false);
        info->setSymLink(false);
    } else if (type == QLatin1Char('-')) {
        info->setDir(false);
        info->setFile(true);
        info->setSymLink(false);
    } else if (type == QLatin1Char('l')) {
        // A link is offered as a folder one can try to enter.
        info->setDir(true);
        info->setFile(false);
        info->setSymLink(true);
    }

    QString name = fields.at(7);
    if (info->isSymLink()) {
        const int arrow = name.indexOf(QLatin1String(" ->"));
        if (arrow >= 0)
            name.truncate(arrow);
    }
    info->setName(name);

    info->setOwner(fields.at(3));
    info->setGroup(fields.at(4));
    info->setSize(fields.at(5).toLongLong());

    const QDateTime lastModified = parseUnixDate(fields.at(6), now);
    if (lastModified.isValid())
        info->setLastModified(lastModified);

    const int permissions = unixPermissions(fields.at(2));
    info->setPermissions(permissions);

    const bool isOwner = info->owner() == userName;
    info->setReadable((permissions & QUrlInfo::ReadOther)
                      || ((permissions & QUrlInfo::ReadOwner) && isOwner));
    info->setWritable((permissions & QUrlInfo::WriteOther)
                      || ((permissions & QUrlInfo::WriteOwner) && isOwner));
}

bool isExecutableExtension(const QString &name)
{
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot < 0)
        return false;
    const QStringRef extension = name.midRef(dot + 1);
    return extension == QLatin1String("exe") || extension == QLatin1String("bat")
        || extension == QLatin1String("com");
}

QDateTime parseDosDate(const QString &text)
{
    QDateTime dateTime = QLocale(QLocale::C).toDateTime(text, QStringLiteral("MM-dd-yy  hh:mmAP"));
    // Two-digit years read as 1900-1999; the listing's 00 to 70 mean 2000 to 2070.
    if (dateTime.isValid() && dateTime.date().year() <= 1970)
        dateTime.setDate(dateTime.date().addYears(100));
    return dateTime;
}

void fillDosEntry(const QStringList &fields, QUrlInfo *info)
{
    const QString name = fields.at(3);
    info->setName(name);
    info->setSymLink(name.toLower().endsWith(QLatin1String(".lnk")));

    if (fields.at(2) == QLatin1String("<DIR>")) {
        info->setFile(false);
        info->setDir(true);
    } else {
        info->setFile(true);
        info->setDir(false);
        info->setSize(fields.at(2).toLongLong());
    }

    int permissions = QUrlInfo::ReadOwner | QUrlInfo::WriteOwner | QUrlInfo::ReadGroup
        | QUrlInfo::WriteGroup | QUrlInfo::ReadOther | QUrlInfo::WriteOther;
    if (isExecutableExtension(name))
        permissions |= QUrlInfo::ExeOwner | QUrlInfo::ExeGroup | QUrlInfo::ExeOther;
    info->setPermissions(permissions);

    info->setReadable(true);
    info->setWritable(info->isFile());

    // An unreadable date is kept as it is: invalid.
    info->setLastModified(parseDosDate(fields.at(1)));
}

} // namespace

QString QFtpDTP::textFromWire(const QByteArray &line)
{
    // Servers send names as the bytes they store: UTF-8 for most today, an
    // 8-bit code page for some. A line that is not valid UTF-8 is taken byte
    // for byte, so that such names keep working. The header flag keeps a
    // leading byte-order mark as a character of the line.
    const int length = int(qstrnlen(line.constData(), uint(line.size())));
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    const QString text
        = QTextCodec::codecForMib(utf8Mib)->toUnicode(line.constData(), length, &state);
    if (state.invalidChars == 0 && state.remainingChars == 0)
        return text;
    return QString::fromLatin1(line.constData(), length);
}

bool QFtpDTP::parseListLine(const QByteArray &buffer, const QString &userName, QUrlInfo *info)
{
    return parseListLine(buffer, userName, info, QDateTime::currentDateTime());
}

bool QFtpDTP::parseListLine(const QByteArray &buffer, const QString &userName, QUrlInfo *info,
                            const QDateTime &now)
{
    if (buffer.isEmpty() || !info)
        return false;

    const QString line = textFromWire(buffer).trimmed();

    QRegExp unixLine(QString::fromLatin1(unixLayout));
    if (unixLine.indexIn(line) == 0) {
        const QStringList fields = unixLine.capturedTexts();
        if (fields.size() == 8)
            fillUnixEntry(fields, userName, now, info);
        return true;
    }

    QRegExp dosLine(QString::fromLatin1(dosLayout));
    if (dosLine.indexIn(line) == 0) {
        const QStringList fields = dosLine.capturedTexts();
        if (fields.size() == 4)
            fillDosEntry(fields, info);
        return true;
    }

    return false;
}
