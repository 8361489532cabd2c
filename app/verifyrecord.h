#ifndef VERIFYRECORD_H
#define VERIFYRECORD_H

#include <QDateTime>
#include <QMap>
#include <QSet>
#include <QString>

#include <optional>

// What reading one stored copy back found.
enum class CheckOutcome {
    Sound, // the size and SHA-256 its index gives; an archive's members whole
    Missing, // its index lists it, its folder does not hold it
    OtherSize,
    OtherBytes,
    BrokenArchive, // an archive member fails its CRC, or the archive cannot be read
    NoIndex, // no index line to check it against
    Unreadable // the copy could not be read back
};

// The last check of one copy.
struct CopyCheck
{
    QString destination; // a save folder's path as config.txt writes it, or a server's label
    QString folder; // "latest", or the dated folder's name
    QString name; // the stored name
    QDateTime checked; // invalid: never read back whole
    CheckOutcome outcome = CheckOutcome::Sound;
};

// The file `verified` beside `previous`: when each copy of each destination
// was last read back, and what that found, so that a share of the copies
// can be checked on each run, those checked longest ago first, and so that
// the next backup sends again what a check found damaged in latest/. One
// line a copy; the first line names the format and its version, as an
// index does. Written whole, never through a link.
class VerifyRecord
{
public:
    static constexpr char fileName[] = "verified";
    static constexpr int formatVersion = 1;

    // Reads the file of the working folder; a missing one is an empty
    // record. False, with `problem` set, when it cannot be read or is of a
    // later format.
    bool read(QString *problem);
    bool write(QString *problem) const;

    std::optional<CopyCheck> find(const QString &destination, const QString &folder,
                                  const QString &name) const;
    void update(const CopyCheck &check);
    void forget(const QString &destination, const QString &folder, const QString &name);
    // Of `destination`, keeps the copies in `seen` (keys of key()) and all
    // those of the folders in `unread`: a copy gone from its destination
    // needs no record.
    void keepOnly(const QString &destination, const QSet<QString> &seen,
                  const QSet<QString> &unread);
    // The names in latest/ of `destination` that the last check found
    // other than sound: the next backup sends them again.
    QSet<QString> unsoundInLatest(const QString &destination) const;

    bool isEmpty() const { return checks.isEmpty(); }
    static QString key(const QString &destination, const QString &folder, const QString &name);
    static QString outcomeName(CheckOutcome outcome);
    static std::optional<CheckOutcome> outcomeNamed(const QString &name);

private:
    bool parse(const QByteArray &bytes, QString *problem);

    QMap<QString, CopyCheck> checks; // by key(), so that the file is written in a stable order
};

#endif // VERIFYRECORD_H
