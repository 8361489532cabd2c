#include "verifyrecord.h"

#include "linksafefile.h"

#include <QFile>
#include <QStringList>

namespace {

const QByteArray magic = QByteArrayLiteral("mirvo verified ");
const QString neverChecked = QStringLiteral("-");

const struct
{
    CheckOutcome outcome;
    const char *name;
} outcomeNames[] = {
    { CheckOutcome::Sound, "sound" },           { CheckOutcome::Missing, "missing" },
    { CheckOutcome::OtherSize, "size" },        { CheckOutcome::OtherBytes, "bytes" },
    { CheckOutcome::BrokenArchive, "archive" }, { CheckOutcome::NoIndex, "noindex" },
    { CheckOutcome::Unreadable, "unreadable" },
};

QString timeText(const QDateTime &time)
{
    if (!time.isValid())
        return neverChecked;
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

// A destination may hold a tab (a save folder's path is the rest of its
// line in config.txt); the four fields after it never do.
std::optional<CopyCheck> checkOf(const QString &line)
{
    QStringList fields = line.split(QLatin1Char('\t'));
    if (fields.size() < 5)
        return std::nullopt;
    CopyCheck check;
    const std::optional<CheckOutcome> outcome = VerifyRecord::outcomeNamed(fields.takeLast());
    const QString time = fields.takeLast();
    check.name = fields.takeLast();
    check.folder = fields.takeLast();
    check.destination = fields.join(QLatin1Char('\t'));
    check.checked = QDateTime::fromString(time, Qt::ISODateWithMs);
    if (!outcome || check.name.isEmpty() || check.folder.isEmpty() || check.destination.isEmpty()
        || (time != neverChecked && !check.checked.isValid()))
        return std::nullopt;
    check.outcome = *outcome;
    return check;
}

} // namespace

QString VerifyRecord::key(const QString &destination, const QString &folder, const QString &name)
{
    return destination + QLatin1Char('\n') + folder + QLatin1Char('\n') + name;
}

QString VerifyRecord::outcomeName(CheckOutcome outcome)
{
    for (const auto &named : outcomeNames) {
        if (named.outcome == outcome)
            return QLatin1String(named.name);
    }
    Q_UNREACHABLE();
}

std::optional<CheckOutcome> VerifyRecord::outcomeNamed(const QString &name)
{
    for (const auto &named : outcomeNames) {
        if (name == QLatin1String(named.name))
            return named.outcome;
    }
    return std::nullopt;
}

bool VerifyRecord::read(QString *problem)
{
    checks.clear();
    QFile file;
    LinkSafeOpen opener;
    if (!opener.open(file, QLatin1String(fileName), QIODevice::ReadOnly)) {
        if (opener.missing())
            return true;
        *problem = QStringLiteral("Cannot read %1: %2").arg(fileName, opener.problem());
        return false;
    }
    if (parse(file.readAll(), problem))
        return true;
    *problem = QStringLiteral("Cannot read %1: %2").arg(fileName, *problem);
    return false;
}

// Lines this version cannot read (of a later minor version) are left out.
bool VerifyRecord::parse(const QByteArray &bytes, QString *problem)
{
    const QList<QByteArray> lines = bytes.split('\n');
    const QByteArray first = lines.first().trimmed();
    bool numeric = false;
    const int major = first.mid(magic.size()).split('.').first().toInt(&numeric);
    if (!first.startsWith(magic) || !numeric || major < 1) {
        *problem = QStringLiteral("not a record of checks");
        return false;
    }
    if (major > formatVersion) {
        *problem = QStringLiteral("written in format %1 by a later version of Mirvo")
                       .arg(QString::fromLatin1(first.mid(magic.size())));
        return false;
    }
    for (int i = 1; i < lines.size(); ++i) {
        QString line = QString::fromUtf8(lines.at(i));
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (const std::optional<CopyCheck> check = checkOf(line))
            update(*check);
    }
    return true;
}

bool VerifyRecord::write(QString *problem) const
{
    FileReplacement replacement(QLatin1String(fileName), 0600);
    QByteArray text = magic + QByteArray::number(formatVersion) + '\n';
    for (const CopyCheck &check : checks) {
        const QStringList fields { check.destination, check.folder, check.name,
                                   timeText(check.checked), outcomeName(check.outcome) };
        text += fields.join(QLatin1Char('\t')).toUtf8() + '\n';
    }
    if (replacement.open() && replacement.file().write(text) == text.size() && replacement.commit())
        return true;
    *problem = QStringLiteral("Cannot write %1: %2").arg(fileName, replacement.problem());
    return false;
}

std::optional<CopyCheck> VerifyRecord::find(const QString &destination, const QString &folder,
                                            const QString &name) const
{
    const auto found = checks.constFind(key(destination, folder, name));
    if (found == checks.constEnd())
        return std::nullopt;
    return *found;
}

void VerifyRecord::update(const CopyCheck &check)
{
    checks.insert(key(check.destination, check.folder, check.name), check);
}

void VerifyRecord::forget(const QString &destination, const QString &folder, const QString &name)
{
    checks.remove(key(destination, folder, name));
}

void VerifyRecord::keepOnly(const QString &destination, const QSet<QString> &seen,
                            const QSet<QString> &unread)
{
    for (auto it = checks.begin(); it != checks.end();) {
        const bool gone = it->destination == destination && !unread.contains(it->folder)
            && !seen.contains(it.key());
        it = gone ? checks.erase(it) : std::next(it);
    }
}

QSet<QString> VerifyRecord::unsoundInLatest(const QString &destination) const
{
    QSet<QString> names;
    for (const CopyCheck &check : checks) {
        if (check.destination == destination && check.folder == QLatin1String("latest")
            && check.outcome != CheckOutcome::Sound)
            names.insert(check.name);
    }
    return names;
}
