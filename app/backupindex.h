#ifndef BACKUPINDEX_H
#define BACKUPINDEX_H

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>

#include <optional>

// What one stored copy is: the file in latest/ or a dated folder named
// `name`, where it came from and how to check it.
struct IndexEntry
{
    enum Kind {
        File, // the source as it was
        ZippedFile, // an archive holding the source file
        ZippedFolder // an archive holding the source folder and its tree
    };

    QString name; // the stored name: a backup name, or an archive's
    Kind kind = File;
    qint64 size = -1;
    QDateTime modified; // the source's own modification time
    QByteArray sha256; // 64 lowercase hexadecimal digits of the stored bytes
    QString sourcePath;

    bool operator==(const IndexEntry &other) const;
};

// The index of one latest/ or dated folder: a text file beside the copies
// that says what each of them is. One line a copy; the first line names the
// format and its version, so that a later version can add fields (a reader
// skips fields and lines it does not know) and an older one refuses a
// format it cannot read. Backup names hold no space, so no copy can take
// the index's name.
class BackupIndex
{
public:
    static constexpr char fileName[] = "mirvo index.txt";
    static constexpr int formatVersion = 1;

    // Reads `bytes`; false, with `problem` set, only for a format of a later
    // major version or a text that is no index at all.
    bool parse(const QByteArray &bytes, QString *problem);
    QByteArray serialise() const;

    // The index of `folder`; false with `problem` set when it exists but
    // cannot be read. A folder without an index gives an empty one.
    bool read(const QString &folder, QString *problem);
    // Replaces the index of `folder` as a whole: written beside it, then
    // renamed over it, so that a reader never sees half of it.
    bool write(const QString &folder, QString *problem) const;

    const IndexEntry *find(const QString &name) const;
    // Adds `entry`, or replaces the entry of the same name.
    void update(const IndexEntry &entry);
    void remove(const QString &name);
    const QList<IndexEntry> &entries() const { return list; }
    bool isEmpty() const { return list.isEmpty(); }

    static QString kindName(IndexEntry::Kind kind);
    static std::optional<IndexEntry::Kind> kindNamed(const QString &name);

private:
    QList<IndexEntry> list; // in the order the copies were first listed
    QHash<QString, int> positions; // name -> place in `list`
};

#endif // BACKUPINDEX_H
