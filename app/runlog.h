#ifndef RUNLOG_H
#define RUNLOG_H

#include <QFile>
#include <QString>

// mirvo.log beside config.txt: every run appends its lines there, so that a
// run nobody watched can still be read afterwards. The file is started
// afresh, keeping the one before as mirvo.log.1, once it has grown past a
// limit, so that a daily run never fills the disk.
class RunLog
{
public:
    static constexpr char fileName[] = "mirvo.log";
    static QString olderFileName(const QString &path) { return path + QStringLiteral(".1"); }

    static constexpr qint64 rotationSize = 1024 * 1024;

    // Rotates the file when it is too big, opens it for appending and writes
    // the first line of the run: the date and time. False when the file
    // cannot be written; problem() then says why.
    bool open(const QString &path);
    // Appends one line as it is. False when it could not be written.
    bool append(const QString &line);
    void close() { file.close(); }
    bool isOpen() const { return file.isOpen(); }
    QString problem() const;

private:
    QFile file;
};

#endif // RUNLOG_H
