#include "backupindex.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace {

const QByteArray magic = QByteArrayLiteral("mirvo index ");
const int fieldCount = 6;

QString escaped(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '\\':
            out += QLatin1String("\\\\");
            break;
        case '\t':
            out += QLatin1String("\\t");
            break;
        case '\r':
            out += QLatin1String("\\r");
            break;
        case '\n':
            out += QLatin1String("\\n");
            break;
        default:
            out += c;
        }
    }
    return out;
}

// Empty optional for an escape the writer never makes.
std::optional<QString> unescaped(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i) != QLatin1Char('\\')) {
            out += text.at(i);
            continue;
        }
        if (++i >= text.size())
            return std::nullopt;
        switch (text.at(i).unicode()) {
        case '\\':
            out += QLatin1Char('\\');
            break;
        case 't':
            out += QLatin1Char('\t');
            break;
        case 'r':
            out += QLatin1Char('\r');
            break;
        case 'n':
            out += QLatin1Char('\n');
            break;
        default:
            return std::nullopt;
        }
    }
    return out;
}

bool isDigest(const QString &text)
{
    if (text.size() != 64)
        return false;
    for (const QChar c : text) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9'))
              || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    }
    return true;
}

// The time with its offset from UTC, so that it reads back as the same
// moment whatever the time zone of the reader.
QString timeText(const QDateTime &time)
{
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

// A stored name leads nowhere but to a file directly in its folder.
bool isStoredName(const QString &name)
{
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'))
        && name != QLatin1String(".") && name != QLatin1String("..")
        && name != QLatin1String(BackupIndex::fileName);
}

std::optional<IndexEntry> entryOf(const QString &line)
{
    const QStringList fields = line.split(QLatin1Char('\t'));
    if (fields.size() < fieldCount)
        return std::nullopt;
    IndexEntry entry;
    entry.name = fields.at(0);
    const std::optional<IndexEntry::Kind> kind = BackupIndex::kindNamed(fields.at(1));
    bool sizeRead = false;
    entry.size = fields.at(2).toLongLong(&sizeRead);
    entry.modified = QDateTime::fromString(fields.at(3), Qt::ISODateWithMs);
    const std::optional<QString> source = unescaped(fields.at(5));
    if (!isStoredName(entry.name) || !kind || !sizeRead || entry.size < 0
        || !entry.modified.isValid() || !isDigest(fields.at(4)) || !source)
        return std::nullopt;
    entry.kind = *kind;
    entry.sha256 = fields.at(4).toLatin1();
    entry.sourcePath = *source;
    return entry;
}

} // namespace

bool IndexEntry::operator==(const IndexEntry &other) const
{
    return name == other.name && kind == other.kind && size == other.size
        && modified == other.modified && sha256 == other.sha256 && sourcePath == other.sourcePath;
}

QString BackupIndex::kindName(IndexEntry::Kind kind)
{
    switch (kind) {
    case IndexEntry::File:
        return QStringLiteral("file");
    case IndexEntry::ZippedFile:
        return QStringLiteral("zippedfile");
    case IndexEntry::ZippedFolder:
        return QStringLiteral("zippedfolder");
    }
    Q_UNREACHABLE();
}

std::optional<IndexEntry::Kind> BackupIndex::kindNamed(const QString &name)
{
    for (const IndexEntry::Kind kind :
         { IndexEntry::File, IndexEntry::ZippedFile, IndexEntry::ZippedFolder }) {
        if (name == kindName(kind))
            return kind;
    }
    return std::nullopt;
}

bool BackupIndex::parse(const QByteArray &bytes, QString *problem)
{
    list.clear();
    positions.clear();
    const int firstEnd = bytes.indexOf('\n');
    QByteArray first = firstEnd < 0 ? bytes : bytes.left(firstEnd);
    if (first.endsWith('\r'))
        first.chop(1);
    // "mirvo index 1", or "mirvo index 1.2" from a version that added
    // something this one may skip.
    const QByteArray version = first.mid(magic.size());
    const int dot = version.indexOf('.');
    const QByteArray major = dot < 0 ? version : version.left(dot);
    const bool numeric = !major.isEmpty() && major.size() <= 9
        && std::all_of(major.begin(), major.end(), [](char c) { return c >= '0' && c <= '9'; });
    const int majorVersion = numeric ? major.toInt() : 0;
    if (!first.startsWith(magic) || majorVersion < 1) {
        *problem = QStringLiteral("not a Mirvo index");
        return false;
    }
    if (majorVersion > formatVersion) {
        *problem = QStringLiteral("written in index format %1 by a later version of Mirvo; "
                                  "this one reads format %2")
                       .arg(QString::fromLatin1(version))
                       .arg(formatVersion);
        return false;
    }
    if (firstEnd < 0)
        return true;
    const QStringList lines = QString::fromUtf8(bytes.mid(firstEnd + 1)).split(QLatin1Char('\n'));
    for (QString line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (const std::optional<IndexEntry> entry = entryOf(line))
            update(*entry);
    }
    return true;
}

QByteArray BackupIndex::serialise() const
{
    QString text = QString::fromLatin1(magic) + QString::number(formatVersion) + QLatin1Char('\n');
    for (const IndexEntry &entry : list) {
        const QStringList fields { entry.name,
                                   kindName(entry.kind),
                                   QString::number(entry.size),
                                   timeText(entry.modified),
                                   QString::fromLatin1(entry.sha256),
                                   escaped(entry.sourcePath) };
        text += fields.join(QLatin1Char('\t')) + QLatin1Char('\n');
    }
    return text.toUtf8();
}

bool BackupIndex::read(const QString &folder, QString *problem)
{
    list.clear();
    positions.clear();
    QFile file(folder + QLatin1Char('/') + QLatin1String(fileName));
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        *problem = file.fileName() + QStringLiteral(": ") + file.errorString();
        return false;
    }
    if (parse(file.readAll(), problem))
        return true;
    *problem = file.fileName() + QStringLiteral(": ") + *problem;
    return false;
}

bool BackupIndex::write(const QString &folder, QString *problem) const
{
    const QString target = folder + QLatin1Char('/') + QLatin1String(fileName);
    // Removed by its destructor unless it took the index's place.
    QTemporaryFile out(folder + QStringLiteral("/.") + QLatin1String(fileName)
                       + QStringLiteral(".XXXXXX"));
    const QByteArray bytes = serialise();
    if (!out.open() || out.write(bytes) != bytes.size() || !out.flush()) {
        *problem = target + QStringLiteral(": ") + out.errorString();
        return false;
    }
    out.close();
    // A rename replaces the path itself, even a link standing there.
    std::error_code error;
    std::filesystem::rename(QFile::encodeName(out.fileName()).toStdString(),
                            QFile::encodeName(target).toStdString(), error);
    if (error) {
        *problem = target + QStringLiteral(": ") + QString::fromStdString(error.message());
        return false;
    }
    out.setAutoRemove(false);
    return true;
}

const IndexEntry *BackupIndex::find(const QString &name) const
{
    const auto position = positions.constFind(name);
    return position == positions.constEnd() ? nullptr : &list.at(*position);
}

void BackupIndex::update(const IndexEntry &entry)
{
    const auto position = positions.constFind(entry.name);
    if (position != positions.constEnd()) {
        list[*position] = entry;
        return;
    }
    positions.insert(entry.name, list.size());
    list.append(entry);
}

void BackupIndex::remove(const QString &name)
{
    const auto position = positions.constFind(name);
    if (position == positions.constEnd())
        return;
    list.removeAt(*position);
    positions.clear();
    for (int i = 0; i < list.size(); ++i)
        positions.insert(list.at(i).name, i);
}
