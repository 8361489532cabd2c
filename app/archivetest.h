#ifndef ARCHIVETEST_H
#define ARCHIVETEST_H

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QString>

#include <memory>

// The archiver's own test of one archive (`t ARCHIVE`): every member read
// and its CRC checked, in a process of its own, so that the event loop goes
// on (a copy can be hashed meanwhile). The archive is only read.
class ArchiveTest : public QObject
{
    Q_OBJECT

public:
    enum class Result {
        Whole,
        Broken, // the archiver found a damaged member, or no archive
        CannotRun // the archiver could not be started, or crashed
    };

    explicit ArchiveTest(const QString &archiverPath, QObject *parent = nullptr);
    ~ArchiveTest() override;

    void start(const QString &archive);
    // Ends a test under way; no answer follows.
    void cancel();
    bool isRunning() const { return process != nullptr; }

signals:
    // `detail`: the archiver's first line of complaint, or why it did not run.
    void finished(ArchiveTest::Result result, const QString &detail);

private:
    void readComplaint();
    void ended(int exitCode, QProcess::ExitStatus status);
    void failedToStart(QProcess::ProcessError error);

    QString archiverPath;
    std::unique_ptr<QProcess> process;
    QByteArray complaint; // the start of what it wrote on stderr, bounded
};

#endif // ARCHIVETEST_H
