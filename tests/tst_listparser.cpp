#include "testsupport.h"

#include "qftpdtp.h"
#include "qurlinfo.h"

#include <QTcpSocket>
#include <QtTest>

#include <cctype>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

Q_DECLARE_METATYPE(QUrlInfo)

namespace {

// The "now" of most rows: mid-year, far from any year boundary.
const QDateTime midYear(QDate(2024, 6, 15), QTime(12, 0));

const int rw_r__r__
    = QUrlInfo::ReadOwner | QUrlInfo::WriteOwner | QUrlInfo::ReadGroup | QUrlInfo::ReadOther;
const int dos = 0666;
const int dosExe = 0777;

enum Kind {
    File,
    Dir,
    Link, // a Unix link: offered as a folder
    FileLink, // a DOS ".lnk" file
    DirLink, // a DOS ".lnk" folder
};

QDateTime at(int y, int m, int d, int h = 0, int min = 0)
{
    return QDateTime(QDate(y, m, d), QTime(h, min));
}

// The entry a line should give. Owner and group stay null for DOS lines,
// which have none; an invalid lastModified also stands for "never set".
QUrlInfo entry(const QString &name, Kind kind, int permissions, qint64 size,
               const QDateTime &lastModified, bool readable, bool writable,
               const QString &owner = QString(), const QString &group = QString())
{
    const bool dir = kind == Dir || kind == Link || kind == DirLink;
    const bool link = kind == Link || kind == FileLink || kind == DirLink;
    return QUrlInfo(name, permissions, owner, group, size, lastModified, QDateTime(), dir, !dir,
                    link, writable, readable, false);
}

QUrlInfo unixEntry(const QString &name, Kind kind, int permissions, qint64 size,
                   const QDateTime &lastModified, bool readable, bool writable,
                   const QString &owner = QStringLiteral("backup"),
                   const QString &group = QStringLiteral("staff"))
{
    return entry(name, kind, permissions, size, lastModified, readable, writable, owner, group);
}

// A Unix line with only the date (and the rest fixed), for the date rows.
QByteArray datedLine(const char *date)
{
    return QByteArray("-rw-r--r--   1 backup   staff         512 ") + date + " archive.zip\r\n";
}

QUrlInfo datedEntry(const QDateTime &lastModified)
{
    return unixEntry(QStringLiteral("archive.zip"), File, rw_r__r__, 512, lastModified, true,
                     false);
}

// Records which setters the parser calls, in order, and still stores the values.
class RecordingEntry : public QUrlInfo
{
public:
    QStringList calls;

    void setName(const QString &v) override
    {
        calls << "setName";
        QUrlInfo::setName(v);
    }
    void setDir(bool v) override
    {
        calls << "setDir";
        QUrlInfo::setDir(v);
    }
    void setFile(bool v) override
    {
        calls << "setFile";
        QUrlInfo::setFile(v);
    }
    void setSymLink(bool v) override
    {
        calls << "setSymLink";
        QUrlInfo::setSymLink(v);
    }
    void setOwner(const QString &v) override
    {
        calls << "setOwner";
        QUrlInfo::setOwner(v);
    }
    void setGroup(const QString &v) override
    {
        calls << "setGroup";
        QUrlInfo::setGroup(v);
    }
    void setSize(qint64 v) override
    {
        calls << "setSize";
        QUrlInfo::setSize(v);
    }
    void setWritable(bool v) override
    {
        calls << "setWritable";
        QUrlInfo::setWritable(v);
    }
    void setReadable(bool v) override
    {
        calls << "setReadable";
        QUrlInfo::setReadable(v);
    }
    void setPermissions(int v) override
    {
        calls << "setPermissions";
        QUrlInfo::setPermissions(v);
    }
    void setLastModified(const QDateTime &v) override
    {
        calls << "setLastModified";
        QUrlInfo::setLastModified(v);
    }
};

// --- Real servers -----------------------------------------------------------

// One entry of the served folder as the file system has it.
struct DiskEntry
{
    QByteArray name;
    struct stat st;
};

bool createFile(const QByteArray &path, const QByteArray &content, mode_t mode)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, content.constData(), size_t(content.size())) == content.size();
    ::close(fd);
    return written && ::chmod(path.constData(), mode) == 0;
}

bool setModified(const QByteArray &path, const QDateTime &utc)
{
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = time_t(utc.toSecsSinceEpoch());
    times[0].tv_nsec = times[1].tv_nsec = 0;
    return ::utimensat(AT_FDCWD, path.constData(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

// The most recent 5th of a month before today, at 08:09 UTC: recent enough
// for servers to show a time instead of a year, with a one-digit day.
QDateTime recentFifth(const QDateTime &nowUtc)
{
    QDate day(nowUtc.date().year(), nowUtc.date().month(), 5);
    if (day >= nowUtc.date())
        day = day.addMonths(-1);
    return QDateTime(day, QTime(8, 9), Qt::UTC);
}

// Files, folders, links, spaces, set-id and sticky bits, a name in UTF-8, a
// size beyond 32 bits; dates old enough to show a year and recent ones.
bool populate(const QByteArray &root, const QDateTime &nowUtc)
{
    const auto path = [&root](const char *name) {
        return root + '/' + name;
    };
    const QDateTime old(QDate(2019, 3, 7), QTime(12, 0), Qt::UTC);
    const QDateTime oldTwoDigitDay(QDate(2020, 11, 23), QTime(18, 30), Qt::UTC);
    const QDateTime recent = recentFifth(nowUtc);
    bool ok = createFile(path("plain.txt"), "hello\n", 0644) && setModified(path("plain.txt"), old)
        && createFile(path("recent file with spaces.txt"), "x", 0640)
        && setModified(path("recent file with spaces.txt"), recent)
        && createFile(path("shared.txt"), "shared", 0666)
        && createFile(path("setuid tool"), "#!/bin/sh\n", 04755)
        && createFile(path("setgid tool"), "#!/bin/sh\n", 02750)
        && createFile(path("trailing space "), "t", 0644)
        && createFile(path("caf\xc3\xa9.txt"), "utf-8 name", 0644)
        && createFile(path("\xe6\x97\xa5\xe6\x9c\xac.txt"), "beyond Latin-1", 0644)
        && createFile(path(".hidden"), "h", 0644) && createFile(path("big.bin"), QByteArray(), 0644)
        && ::truncate(path("big.bin").constData(), Q_INT64_C(5368709123)) == 0
        && ::mkdir(path("folder").constData(), 0755) == 0
        && setModified(path("folder"), oldTwoDigitDay)
        && ::mkdir(path("drop box").constData(), 0777) == 0
        && ::chmod(path("drop box").constData(), 01777) == 0
        && ::symlink("plain.txt", path("link").constData()) == 0
        && ::symlink("folder", path("folder link").constData()) == 0
        && ::symlink("missing target", path("dangling").constData()) == 0;
    return ok;
}

QList<DiskEntry> readDisk(const QByteArray &root)
{
    QList<DiskEntry> entries;
    DIR *dir = ::opendir(root.constData());
    if (!dir)
        return entries;
    while (const dirent *e = ::readdir(dir)) {
        const QByteArray name(e->d_name);
        if (name == "." || name == "..")
            continue;
        DiskEntry entry;
        entry.name = name;
        if (::lstat((root + '/' + name).constData(), &entry.st) == 0)
            entries << entry;
    }
    ::closedir(dir);
    return entries;
}

// A name as the parser reads it: UTF-8 when the bytes are, else Latin-1.
QString wireName(const QByteArray &bytes)
{
    const QString utf8 = QString::fromUtf8(bytes);
    return utf8.toUtf8() == bytes ? utf8 : QString::fromLatin1(bytes);
}

// What the parser should make of a listing line for this disk entry. The
// servers write their dates in UTC; the parser reads them as local time.
QUrlInfo expectedFromDisk(const DiskEntry &disk, const QDateTime &nowUtc)
{
    const mode_t mode = disk.st.st_mode;
    const Kind kind = S_ISDIR(mode) ? Dir : S_ISLNK(mode) ? Link : File;

    // Set-id and sticky bits replace the "x" letter with s/t/S/T, which grant nothing.
    int permissions = int(mode & 0777);
    if (mode & S_ISUID)
        permissions &= ~QUrlInfo::ExeOwner;
    if (mode & S_ISGID)
        permissions &= ~QUrlInfo::ExeGroup;
    if (mode & S_ISVTX)
        permissions &= ~QUrlInfo::ExeOther;

    const QDateTime mtime = QDateTime::fromSecsSinceEpoch(disk.st.st_mtime, Qt::UTC);
    const bool recent = mtime.daysTo(nowUtc) < 150;
    const QTime shown = recent ? QTime(mtime.time().hour(), mtime.time().minute()) : QTime(0, 0);

    // The user name is empty and the owner is not: only the "other" bits count.
    return entry(wireName(disk.name).trimmed(), kind, permissions, disk.st.st_size,
                 QDateTime(mtime.date(), shown, Qt::LocalTime), permissions & QUrlInfo::ReadOther,
                 permissions & QUrlInfo::WriteOther);
}

// Servers show the owner by name, or by number inside a chroot.
bool ownerMatches(const QString &shown, uid_t uid)
{
    const passwd *pw = ::getpwuid(uid);
    return shown == QString::number(uid) || (pw && shown == QString::fromLocal8Bit(pw->pw_name));
}

bool groupMatches(const QString &shown, gid_t gid)
{
    const group *gr = ::getgrgid(gid);
    return shown == QString::number(gid) || (gr && shown == QString::fromLocal8Bit(gr->gr_name));
}

// The final line of the next reply on the control connection ("" on timeout).
QByteArray readReply(QTcpSocket &control)
{
    for (;;) {
        while (!control.canReadLine()) {
            if (!control.waitForReadyRead(10000))
                return QByteArray();
        }
        const QByteArray line = control.readLine();
        if (line.size() >= 4 && line.at(3) == ' ' && isdigit(uchar(line.at(0))))
            return line.trimmed();
    }
}

QByteArray command(QTcpSocket &control, const QByteArray &line)
{
    control.write(line + "\r\n");
    return readReply(control);
}

// The raw bytes of a LIST reply of the server's root, as a client receives
// them: logs in, opens an EPSV data connection and reads it until the server
// closes it.
QByteArray captureListing(const FtpTestServer &server)
{
    QTcpSocket control;
    control.connectToHost(server.address(), server.port());
    if (!control.waitForConnected(10000) || !readReply(control).startsWith("220")
        || !command(control, "USER " + server.user().toLatin1()).startsWith("331")
        || !command(control, "PASS " + server.password().toLatin1()).startsWith("230"))
        return QByteArray();
    const QByteArray epsv = command(control, "EPSV");
    const int open = epsv.indexOf("(|||");
    if (!epsv.startsWith("229") || open < 0)
        return QByteArray();
    const quint16 dataPort = epsv.mid(open + 4, epsv.indexOf('|', open + 4) - open - 4).toUShort();

    QTcpSocket data;
    data.connectToHost(server.address(), dataPort);
    if (!data.waitForConnected(10000))
        return QByteArray();
    const QByteArray start = command(control, "LIST");
    if (!start.startsWith("125") && !start.startsWith("150"))
        return QByteArray();
    QByteArray listing;
    while (data.waitForReadyRead(10000))
        listing += data.readAll();
    listing += data.readAll();
    if (!readReply(control).startsWith("226"))
        return QByteArray();
    command(control, "QUIT");
    return listing;
}

} // namespace

class TestListParser : public QObject
{
    Q_OBJECT

private slots:
    void parseLine_data();
    void parseLine();
    void setterOrder_data();
    void setterOrder();
    void rejectedLineLeavesEntryAlone();
    void publicFormGuessesFromTheClock();
    void realServerListing_data();
    void realServerListing();
};

void TestListParser::parseLine_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QUrlInfo>("expected");

    const QString nobody;
    const auto accept = [&](const char *name, const QByteArray &line, const QUrlInfo &expected,
                            const QDateTime &now = midYear, const QString &user = QString()) {
        QTest::newRow(name) << line << user << now << true << expected;
    };
    const auto reject = [&](const char *name, const QByteArray &line) {
        QTest::newRow(name) << line << nobody << midYear << false << QUrlInfo();
    };

    // Unix: types, names, links.
    accept("unix file", "-rw-r--r--   1 backup   staff         512 Mar 07  2019 archive.zip\r\n",
           datedEntry(at(2019, 3, 7)));
    accept("unix folder", "drwxr-xr-x   2 backup   staff        4096 Mar 07  2019 photos\r\n",
           unixEntry("photos", Dir, 0755, 4096, at(2019, 3, 7), true, false));
    accept("unix link: a folder and a link, target dropped",
           "lrwxrwxrwx   1 backup   staff          10 Mar 07  2019 latest -> 2019_03_07\r\n",
           unixEntry("latest", Link, 0777, 10, at(2019, 3, 7), true, true));
    accept("unix link without arrow",
           "lrwxrwxrwx   1 backup   staff          10 Mar 07  2019 latest\r\n",
           unixEntry("latest", Link, 0777, 10, at(2019, 3, 7), true, true));
    accept("unix link with spaces on both sides of the arrow",
           "lrwxrwxrwx 1 backup staff 10 Mar 07  2019 my link -> some folder -> x\r\n",
           unixEntry("my link", Link, 0777, 10, at(2019, 3, 7), true, true));
    accept("unix link with arrow at the end",
           "lrwxrwxrwx 1 backup staff 10 Mar 07  2019 dangling ->\r\n",
           unixEntry("dangling", Link, 0777, 10, at(2019, 3, 7), true, true));
    accept("unix link arrow needs the space before it",
           "lrwxrwxrwx 1 backup staff 10 Mar 07  2019 a->b\r\n",
           unixEntry("a->b", Link, 0777, 10, at(2019, 3, 7), true, true));
    accept("unix file named with an arrow stays whole",
           "-rw-r--r-- 1 backup staff 512 Mar 07  2019 a -> b\r\n",
           unixEntry("a -> b", File, rw_r__r__, 512, at(2019, 3, 7), true, false));
    accept("unix name with inner spaces",
           "-rw-r--r-- 1 backup staff 512 Mar 07  2019 my  holiday photos.zip\r\n",
           unixEntry("my  holiday photos.zip", File, rw_r__r__, 512, at(2019, 3, 7), true, false));
    accept("unix trailing spaces trimmed",
           "-rw-r--r-- 1 backup staff 512 Mar 07  2019 report.txt   \r\n",
           unixEntry("report.txt", File, rw_r__r__, 512, at(2019, 3, 7), true, false));
    accept("unix leading spaces of the name lost",
           "-rw-r--r-- 1 backup staff 512 Mar 07  2019    indented\r\n",
           unixEntry("indented", File, rw_r__r__, 512, at(2019, 3, 7), true, false));
    accept("unix line with leading white space and no terminator",
           " \t-rw-r--r-- 1 backup staff 512 Mar 07  2019 x",
           unixEntry("x", File, rw_r__r__, 512, at(2019, 3, 7), true, false));
    accept("unix line ending in a bare line feed", "-rw-r--r-- 1 backup staff 512 Mar 07  2019 x\n",
           unixEntry("x", File, rw_r__r__, 512, at(2019, 3, 7), true, false));
    accept("unix numeric owner and group",
           "-rw-r--r--    1 1001     1001            6 Mar 07  2019 hello.txt\r\n",
           unixEntry("hello.txt", File, rw_r__r__, 6, at(2019, 3, 7), true, false, "1001", "1001"));
    accept("unix Latin-1 byte in the name",
           "-rw-r--r-- 1 backup staff 512 Mar 07  2019 caf\xe9.txt\r\n",
           unixEntry(QString::fromLatin1("caf\xe9.txt"), File, rw_r__r__, 512, at(2019, 3, 7), true,
                     false));
    // A line is UTF-8 when it is valid UTF-8, otherwise Latin-1 as a whole.
    accept("unix UTF-8 name", "-rw-r--r-- 1 backup staff 512 Mar 07  2019 caf\xc3\xa9.txt\r\n",
           unixEntry(QStringLiteral("caf\u00e9.txt"), File, rw_r__r__, 512, at(2019, 3, 7), true,
                     false));
    accept("unix UTF-8 name and owner outside Latin-1",
           "drwxr-xr-x 2 \xd0\xb8\xd0\xb2 staff 512 Mar 07  2019 \xe6\x97\xa5\xe6\x9c\xac\r\n",
           unixEntry(QStringLiteral("\u65e5\u672c"), Dir, 0755, 512, at(2019, 3, 7), true, false,
                     QStringLiteral("\u0438\u0432")));
    accept("unix line mixing UTF-8 and a Latin-1 byte is Latin-1",
           "-rw-r--r-- 1 backup staff 512 Mar 07  2019 caf\xc3\xa9-r\xe9sum\xe9\r\n",
           unixEntry(QString::fromLatin1("caf\xc3\xa9-r\xe9sum\xe9"), File, rw_r__r__, 512,
                     at(2019, 3, 7), true, false));
    accept("unix NUL byte ends the text",
           QByteArray("-rw-r--r-- 1 backup staff 512 Mar 07  2019 cut\0here\r\n", 53),
           unixEntry("cut", File, rw_r__r__, 512, at(2019, 3, 7), true, false));
    accept("unix no-break space (Latin-1 A0) separates like a space",
           "-rw-r--r--\xa0"
           "1 backup staff 512 Mar\xa0"
           "07  2019 nbsp\r\n",
           unixEntry("nbsp", File, rw_r__r__, 512, QDateTime(), true, false));
    accept("unix non-ASCII owner", "-rw-r--r-- 1 j\xf6rg staff 512 Mar 07  2019 x\r\n",
           unixEntry("x", File, rw_r__r__, 512, at(2019, 3, 7), true, false,
                     QString::fromLatin1("j\xf6rg")));

    // Unix: sizes.
    accept(
        "unix size beyond 32 bits", "-rw-r--r-- 1 backup staff 5368709123 Mar 07  2019 big.bin\r\n",
        unixEntry("big.bin", File, rw_r__r__, Q_INT64_C(5368709123), at(2019, 3, 7), true, false));
    accept("unix size of zero", "-rw-r--r-- 1 backup staff 0 Mar 07  2019 empty\r\n",
           unixEntry("empty", File, rw_r__r__, 0, at(2019, 3, 7), true, false));
    accept("unix size beyond 64 bits reads as 0",
           "-rw-r--r-- 1 backup staff 99999999999999999999 Mar 07  2019 huge\r\n",
           unixEntry("huge", File, rw_r__r__, 0, at(2019, 3, 7), true, false));

    // Unix: every date form.
    accept("date: two-digit day, two spaces, year", datedLine("Mar 07  2019"),
           datedEntry(at(2019, 3, 7)));
    accept("date: day 17, two spaces, year", datedLine("Mar 17  2019"),
           datedEntry(at(2019, 3, 17)));
    accept("date: two-digit day, one space, year", datedLine("Mar 17 2019"),
           datedEntry(at(2019, 3, 17)));
    accept("date: zero-padded day, one space, year", datedLine("Mar 07 2019"),
           datedEntry(at(2019, 3, 7)));
    accept("date: space-padded day, two spaces, year", datedLine("Mar  7  2019"),
           datedEntry(at(2019, 3, 7)));
    accept("date: space-padded day, one space, year", datedLine("Mar  7 2019"),
           datedEntry(at(2019, 3, 7)));
    accept("date: one-digit day after one space, year: no format, no date", datedLine("Mar 7 2019"),
           datedEntry(QDateTime()));
    accept("date: two-digit day, time, this year", datedLine("Mar 17 10:15"),
           datedEntry(at(2024, 3, 17, 10, 15)));
    accept("date: zero-padded day, time", datedLine("Mar 07 10:15"),
           datedEntry(at(2024, 3, 7, 10, 15)));
    accept("date: space-padded day, time", datedLine("Mar  7 10:15"),
           datedEntry(at(2024, 3, 7, 10, 15)));
    accept("date: one-digit day after one space, time: no date", datedLine("Mar 7 10:15"),
           datedEntry(QDateTime()));
    accept("date: one-digit hour: no date", datedLine("Mar 07 9:05"), datedEntry(QDateTime()));
    accept("date: lower-case month upper-cased", datedLine("mar 07  2019"),
           datedEntry(at(2019, 3, 7)));
    accept("date: month in capitals", datedLine("MAR 07  2019"), datedEntry(at(2019, 3, 7)));
    accept("date: month name not English: no date", datedLine("Okt 07  2019"),
           datedEntry(QDateTime()));
    accept("date: Feb 29 of a leap year", datedLine("Feb 29  2020"), datedEntry(at(2020, 2, 29)));
    accept("date: Feb 29 with a time: Qt reads it in 1900, no date", datedLine("Feb 29 10:15"),
           datedEntry(QDateTime()), at(2024, 3, 10));
    accept("date: Feb 30 does not exist", datedLine("Feb 30  2019"), datedEntry(QDateTime()));

    // Unix: the year guess, with "now" fixed.
    const QDateTime earlyJanuary = at(2025, 1, 2, 10, 0);
    accept("year guess: late December seen in early January is last year",
           datedLine("Dec 30 23:59"), datedEntry(at(2024, 12, 30, 23, 59)), earlyJanuary);
    accept("year guess: earlier today is this year", datedLine("Jan 02 09:00"),
           datedEntry(at(2025, 1, 2, 9, 0)), earlyJanuary);
    accept("year guess: less than a day ahead is this year", datedLine("Jan 03 09:59"),
           datedEntry(at(2025, 1, 3, 9, 59)), earlyJanuary);
    accept("year guess: exactly one day ahead is this year", datedLine("Jan 03 10:00"),
           datedEntry(at(2025, 1, 3, 10, 0)), earlyJanuary);
    accept("year guess: a minute more than a day ahead is last year", datedLine("Jan 03 10:01"),
           datedEntry(at(2024, 1, 3, 10, 1)), earlyJanuary);
    accept("year guess: New Year's Eve just before midnight", datedLine("Dec 31 23:59"),
           datedEntry(at(2024, 12, 31, 23, 59)), at(2025, 1, 1, 0, 1));
    // Only ever this year or the one before: a server clock a minute ahead at
    // the turn of the year dates the entry a year back.
    accept("year guess: first minute of next year seen on New Year's Eve stays this year",
           datedLine("Jan  1 00:00"), datedEntry(at(2024, 1, 1, 0, 0)), at(2024, 12, 31, 23, 59));
    accept("year guess: a year shown is kept", datedLine("Dec 30  2030"),
           datedEntry(at(2030, 12, 30)), earlyJanuary);

    // Unix: permissions and ownership.
    accept("permissions rwxr-x--- give 0750", "-rwxr-x---  1 backup staff 1 Mar 07  2019 tool\r\n",
           unixEntry("tool", File, 0750, 1, at(2019, 3, 7), false, false));
    accept("permissions: setuid s grants nothing",
           "-rwsr-xr-x  1 backup staff 1 Mar 07  2019 tool\r\n",
           unixEntry("tool", File, 0655, 1, at(2019, 3, 7), true, false));
    accept("permissions: setgid S and sticky T grant nothing",
           "-rwxr-Sr-T  1 backup staff 1 Mar 07  2019 tool\r\n",
           unixEntry("tool", File, 0744, 1, at(2019, 3, 7), true, false));
    accept("permissions: sticky t on a world-writable folder",
           "drwxrwxrwt  2 backup staff 1 Mar 07  2019 tmp\r\n",
           unixEntry("tmp", Dir, 0776, 1, at(2019, 3, 7), true, true));
    accept("permissions: capitals grant nothing",
           "-RWXRWXRWX  1 backup staff 1 Mar 07  2019 loud\r\n",
           unixEntry("loud", File, 0, 1, at(2019, 3, 7), false, false));
    accept("permissions: letters in the wrong places grant nothing",
           "-xwrxwrxwr  1 backup staff 1 Mar 07  2019 mixed\r\n",
           unixEntry("mixed", File, 0222, 1, at(2019, 3, 7), false, true));
    accept("owner bits count when the user owns the entry",
           "-rw-------  1 backup staff 1 Mar 07  2019 private\r\n",
           unixEntry("private", File, 0600, 1, at(2019, 3, 7), true, true), midYear, "backup");
    accept("owner bits do not count for another user",
           "-rw-------  1 backup staff 1 Mar 07  2019 private\r\n",
           unixEntry("private", File, 0600, 1, at(2019, 3, 7), false, false), midYear, "guest");
    accept("owner bits do not count for the empty user name",
           "-rw-------  1 backup staff 1 Mar 07  2019 private\r\n",
           unixEntry("private", File, 0600, 1, at(2019, 3, 7), false, false));
    accept("user name compared case-sensitively",
           "-rw-------  1 backup staff 1 Mar 07  2019 private\r\n",
           unixEntry("private", File, 0600, 1, at(2019, 3, 7), false, false), midYear, "Backup");
    accept("other bits count for everyone", "-------rw-  1 backup staff 1 Mar 07  2019 public\r\n",
           unixEntry("public", File, 06, 1, at(2019, 3, 7), true, true), midYear, "guest");
    accept("readable by owner, writable by others",
           "-r------w-  1 backup staff 1 Mar 07  2019 odd\r\n",
           unixEntry("odd", File, 0402, 1, at(2019, 3, 7), true, true), midYear, "backup");
    accept("empty owner and group count as owned by the empty user name",
           "-rw-------  1           1 Mar 07  2019 orphan\r\n",
           unixEntry("orphan", File, 0600, 1, at(2019, 3, 7), true, true, "", ""));

    // Unix: lines that are not entries.
    reject("total line", "total 12\r\n");
    reject("empty line", "");
    reject("line terminator only", "\r\n");
    reject("white space only", " \t  \r\n");
    reject("character device type", "crw-rw-rw-  1 root root 1, 3 Mar 07  2019 null\r\n");
    reject("ACL marker after the permission letters",
           "-rw-r--r--+ 1 backup staff 512 Mar 07  2019 acl.txt\r\n");
    reject("eight permission letters", "-rw-r--r-  1 backup staff 512 Mar 07  2019 x\r\n");
    reject("no link count", "-rw-r--r-- backup staff 512 Mar 07  2019 x\r\n");
    reject("no name", "-rw-r--r-- 1 backup staff 512 Mar 07  2019\r\n");
    reject("size with thousands separators", "-rw-r--r-- 1 backup staff 1,024 Mar 07  2019 x\r\n");
    reject("ISO date leaves no word for the name",
           "-rw-r--r-- 1 backup staff 512 2019-03-07 10:15 archive.zip\r\n");
    reject("server message", "550 No such file or directory\r\n");
    reject("ls error on the data connection",
           "ls: cannot access 'x': No such file or directory\r\n");

    // DOS: types, names, permissions.
    accept("dos file", "07-04-13  09:30AM                  512 notes.txt\r\n",
           entry("notes.txt", File, dos, 512, at(2013, 7, 4, 9, 30), true, true));
    accept("dos folder is not writable", "07-04-13  09:30PM       <DIR>          backups\r\n",
           entry("backups", Dir, dos, 0, at(2013, 7, 4, 21, 30), true, false));
    accept("dos name with spaces, trailing spaces trimmed",
           "07-04-13  09:30AM       <DIR>          My Documents  \r\n",
           entry("My Documents", Dir, dos, 0, at(2013, 7, 4, 9, 30), true, false));
    accept("dos size beyond 32 bits", "07-04-13  09:30AM           5368709123 big.bin\r\n",
           entry("big.bin", File, dos, Q_INT64_C(5368709123), at(2013, 7, 4, 9, 30), true, true));
    accept("dos .exe executable", "07-04-13  09:30AM  1 setup.exe\r\n",
           entry("setup.exe", File, dosExe, 1, at(2013, 7, 4, 9, 30), true, true));
    accept("dos .bat executable", "07-04-13  09:30AM  1 run.bat\r\n",
           entry("run.bat", File, dosExe, 1, at(2013, 7, 4, 9, 30), true, true));
    accept("dos .com executable", "07-04-13  09:30AM  1 edit.com\r\n",
           entry("edit.com", File, dosExe, 1, at(2013, 7, 4, 9, 30), true, true));
    accept("dos .EXE not executable (case-sensitive)", "07-04-13  09:30AM  1 SETUP.EXE\r\n",
           entry("SETUP.EXE", File, dos, 1, at(2013, 7, 4, 9, 30), true, true));
    accept("dos only the last extension counts", "07-04-13  09:30AM  1 setup.exe.zip\r\n",
           entry("setup.exe.zip", File, dos, 1, at(2013, 7, 4, 9, 30), true, true));
    accept("dos name exe without a dot", "07-04-13  09:30AM  1 exe\r\n",
           entry("exe", File, dos, 1, at(2013, 7, 4, 9, 30), true, true));
    accept("dos folder with .exe extension", "07-04-13  09:30AM  <DIR>  tools.exe\r\n",
           entry("tools.exe", Dir, dosExe, 0, at(2013, 7, 4, 9, 30), true, false));
    accept("dos .lnk is a link", "07-04-13  09:30AM  1 Backup.lnk\r\n",
           entry("Backup.lnk", FileLink, dos, 1, at(2013, 7, 4, 9, 30), true, true));
    accept("dos .LNK is a link too", "07-04-13  09:30AM  1 BACKUP.LNK\r\n",
           entry("BACKUP.LNK", FileLink, dos, 1, at(2013, 7, 4, 9, 30), true, true));
    accept("dos folder ending in .lnk", "07-04-13  09:30AM  <DIR>  odd.Lnk\r\n",
           entry("odd.Lnk", DirLink, dos, 0, at(2013, 7, 4, 9, 30), true, false));
    accept("dos .lnk inside the name is not a link", "07-04-13  09:30AM  1 a.lnk.txt\r\n",
           entry("a.lnk.txt", File, dos, 1, at(2013, 7, 4, 9, 30), true, true));
    accept("dos Latin-1 name", "07-04-13  09:30AM  1 r\xe9sum\xe9.doc\r\n",
           entry(QString::fromLatin1("r\xe9sum\xe9.doc"), File, dos, 1, at(2013, 7, 4, 9, 30), true,
                 true));

    // DOS: dates.
    accept("dos 12 AM is just after midnight", "01-15-20  12:05AM  1 a\r\n",
           entry("a", File, dos, 1, at(2020, 1, 15, 0, 5), true, true));
    accept("dos 12 PM is noon", "01-15-20  12:05PM  1 a\r\n",
           entry("a", File, dos, 1, at(2020, 1, 15, 12, 5), true, true));
    accept("dos year 00 is 2000", "01-15-00  01:00PM  1 a\r\n",
           entry("a", File, dos, 1, at(2000, 1, 15, 13, 0), true, true));
    accept("dos year 69 is 2069", "07-04-69  09:30AM  1 a\r\n",
           entry("a", File, dos, 1, at(2069, 7, 4, 9, 30), true, true));
    accept("dos year 70 is 2070", "07-04-70  09:30AM  1 a\r\n",
           entry("a", File, dos, 1, at(2070, 7, 4, 9, 30), true, true));
    accept("dos year 71 is 1971", "07-04-71  09:30AM  1 a\r\n",
           entry("a", File, dos, 1, at(1971, 7, 4, 9, 30), true, true));
    accept("dos year 99 is 1999", "12-31-99  11:59PM  1 a\r\n",
           entry("a", File, dos, 1, at(1999, 12, 31, 23, 59), true, true));
    accept("dos Feb 29 of a leap year", "02-29-04  10:00AM  1 a\r\n",
           entry("a", File, dos, 1, at(2004, 2, 29, 10, 0), true, true));
    accept("dos Feb 29 2000: Qt reads it in 1900, invalid", "02-29-00  10:00AM  1 a\r\n",
           entry("a", File, dos, 1, QDateTime(), true, true));
    accept("dos four-digit year: accepted, invalid date", "07-04-2013  09:30AM  1 a\r\n",
           entry("a", File, dos, 1, QDateTime(), true, true));
    accept("dos three-digit year: accepted, invalid date", "07-04-201  09:30AM  1 a\r\n",
           entry("a", File, dos, 1, QDateTime(), true, true));
    accept("dos month 13: accepted, invalid date", "13-04-13  09:30AM  1 a\r\n",
           entry("a", File, dos, 1, QDateTime(), true, true));
    accept("dos hour 13 PM: accepted, invalid date", "07-04-13  13:30PM  1 a\r\n",
           entry("a", File, dos, 1, QDateTime(), true, true));

    // DOS: lines that are not entries.
    reject("dos size with thousands separators", "07-04-13  09:30AM  1,024 notes.txt\r\n");
    reject("dos size with dot separators", "07-04-13  09:30AM  1.024 notes.txt\r\n");
    reject("dos one space between date and time", "07-04-13 09:30AM  1 notes.txt\r\n");
    reject("dos lower-case am", "07-04-13  09:30am  1 notes.txt\r\n");
    reject("dos 24-hour time", "07-04-13  21:30  1 notes.txt\r\n");
    reject("dos <dir> in lower case", "07-04-13  09:30AM  <dir>  backups\r\n");
    reject("dos one-digit hour", "07-04-13  9:30AM  1 notes.txt\r\n");
    reject("dos no name", "07-04-13  09:30AM  512\r\n");
    reject("dos slashes in the date", "07/04/13  09:30AM  1 notes.txt\r\n");
}

void TestListParser::parseLine()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, user);
    QFETCH(QDateTime, now);
    QFETCH(bool, accepted);
    QFETCH(QUrlInfo, expected);

    QUrlInfo info;
    QCOMPARE(QFtpDTP::parseListLine(line, user, &info, now), accepted);
    QCOMPARE(describe(info), describe(expected));
    QVERIFY(info == expected);
}

void TestListParser::setterOrder_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QStringList>("calls");

    QTest::newRow("unix, with a date")
        << QByteArray("-rw-r--r-- 1 backup staff 512 Mar 07  2019 a\r\n")
        << QStringList { "setDir",         "setFile",     "setSymLink", "setName",
                         "setOwner",       "setGroup",    "setSize",    "setLastModified",
                         "setPermissions", "setReadable", "setWritable" };
    QTest::newRow("unix link, date no format reads")
        << QByteArray("lrwxrwxrwx 1 backup staff 1 Mar 7 2019 a -> b\r\n")
        << QStringList { "setDir",   "setFile", "setSymLink",     "setName",     "setOwner",
                         "setGroup", "setSize", "setPermissions", "setReadable", "setWritable" };
    QTest::newRow("dos file") << QByteArray("07-04-13  09:30AM  1 a.exe\r\n")
                              << QStringList { "setName",     "setSymLink",  "setFile",
                                               "setDir",      "setSize",     "setPermissions",
                                               "setReadable", "setWritable", "setLastModified" };
    QTest::newRow("dos folder, invalid date still stored")
        << QByteArray("07-04-2013  09:30AM  <DIR>  a\r\n")
        << QStringList { "setName",        "setSymLink",  "setFile",     "setDir",
                         "setPermissions", "setReadable", "setWritable", "setLastModified" };
    QTest::newRow("rejected line") << QByteArray("total 0\r\n") << QStringList();
}

// The parser fills entries through the virtual setters only, in a fixed order,
// so that a subclass sees every field as it is set.
void TestListParser::setterOrder()
{
    QFETCH(QByteArray, line);
    QFETCH(QStringList, calls);
    RecordingEntry info;
    QFtpDTP::parseListLine(line, QString(), &info, midYear);
    QCOMPARE(info.calls, calls);
}

void TestListParser::rejectedLineLeavesEntryAlone()
{
    QUrlInfo filled;
    filled.setName(QStringLiteral("kept"));
    filled.setSize(7);
    const QUrlInfo before = filled;
    QVERIFY(!QFtpDTP::parseListLine("total 7\r\n", QString(), &filled));
    QVERIFY(filled == before);

    // Without an entry to fill, nothing is parsed and nothing crashes.
    QVERIFY(!QFtpDTP::parseListLine(datedLine("Mar 07  2019"), QString(), nullptr));
}

// The public form takes "now" from the clock: an entry from an hour ago that
// the server shows with a time gets the year it was made in.
void TestListParser::publicFormGuessesFromTheClock()
{
    QDateTime hourAgo = QDateTime::currentDateTime().addSecs(-3600);
    hourAgo.setTime(QTime(hourAgo.time().hour(), hourAgo.time().minute()));
    if (hourAgo.date().month() == 2 && hourAgo.date().day() == 29)
        hourAgo = hourAgo.addDays(-1); // Qt cannot read Feb 29 without a year
    const QByteArray date
        = QLocale::c().toString(hourAgo, QStringLiteral("MMM dd hh:mm")).toLatin1();

    QUrlInfo info;
    QVERIFY(QFtpDTP::parseListLine(datedLine(date.constData()), QString(), &info));
    QCOMPARE(info.lastModified(), hourAgo);
}

void TestListParser::realServerListing_data()
{
    addServerKindRows();
}

// Captures a LIST reply of a real server over a folder made for the test and
// checks every parsed entry against the file system.
void TestListParser::realServerListing()
{
    QFETCH(int, kind);
    SKIP_UNLESS_USABLE(kind);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QByteArray rootPath = QFile::encodeName(root.path());
    const QDateTime nowUtc = QDateTime::currentDateTimeUtc();
    QVERIFY(populate(rootPath, nowUtc));

    FtpTestServer server { FtpTestServer::Kind(kind) };
    FtpTestServer::Options options;
    options.root = root.path();
    QVERIFY2(server.start(options), qPrintable(server.errorString()));

    const QByteArray listing = captureListing(server);
    QVERIFY(!listing.isEmpty());
    server.stop();

    // The server's clock reading, as the parser reads the UTC dates it sent.
    const QDateTime serverNow(nowUtc.date(), nowUtc.time(), Qt::LocalTime);
    QMap<QString, QUrlInfo> parsed;
    QVERIFY2(listing.endsWith("\r\n"), listing.right(40).constData());
    for (const QByteArray &text : listing.split('\n')) {
        if (text.isEmpty())
            continue;
        const QByteArray line = text + '\n'; // terminator included, as the data process reads it
        QUrlInfo info;
        QVERIFY2(QFtpDTP::parseListLine(line, QString(), &info, serverNow), line.constData());
        parsed.insert(info.name(), info);
    }

    int checked = 0;
    for (const DiskEntry &disk : readDisk(rootPath)) {
        const QUrlInfo expected = expectedFromDisk(disk, nowUtc);
        if (!parsed.contains(expected.name())) {
            // vsftpd hides dot files.
            QVERIFY2(disk.name.startsWith('.'), disk.name.constData());
            continue;
        }
        QUrlInfo info = parsed.take(expected.name());
        QVERIFY2(ownerMatches(info.owner(), disk.st.st_uid), qPrintable(info.owner()));
        QVERIFY2(groupMatches(info.group(), disk.st.st_gid), qPrintable(info.group()));
        info.setOwner(QString());
        info.setGroup(QString());
        QCOMPARE(describe(info), describe(expected));
        ++checked;
    }
    QVERIFY2(parsed.isEmpty(), qPrintable(QStringList(parsed.keys()).join(", ")));
    QVERIFY(checked >= 14);
}

QTEST_GUILESS_MAIN(TestListParser)
#include "tst_listparser.moc"
