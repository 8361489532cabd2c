#ifndef RUNLOG_H
#define RUNLOG_H

#include <QFile>
#include <QString>
#include <QStringList>

// mirvo.log beside config.txt: every run appends its lines there, so that a
// run nobody watched can still be read afterwards. The file is started
// afresh, keeping the one before as mirvo.log.1, once it has grown past a
// limit, so that a daily run never fills the disk. Neither file is written
// through a link put in its place.
//
// The log also keeps what leaves the run incomplete other than the entries
// it missed (a line of config.txt it cannot use, a history or a log it
// cannot write), for the run's last line.
class RunLog
{
public:
    static constexpr char fileName[] = "mirvo.log";
    static QString olderFileName(const QString &path) { return path + QStringLiteral(".1"); }

    static constexpr qint64 rotationSize = 1024 * 1024;

    // Rotates the file when it is too big, opens it for appending and writes
    // the first line of the run: the date and time. False when the file
    // cannot be written; problem() then says why. A rotation that fails
    // leaves the file appended to, and rotationProblem() says why.
    bool open(const QString &path);
    // Appends one line as it is. False when it could not be written.
    bool append(const QString &line);
    void close() { file.close(); }
    bool isOpen() const { return file.isOpen(); }
    QString problem() const;
    QString rotationProblem() const { return rotationFailure; }

    // Each reason is kept once, in the order given.
    void noteIncomplete(const QString &reason);
    const QStringList &incompleteReasons() const { return reasons; }

private:
    bool rotate(const QString &path);

    QFile file;
    QString filePath;
    QString lastProblem;
    QString rotationFailure;
    QStringList reasons;
};

#endif // RUNLOG_H
