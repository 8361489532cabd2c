#include "archivetest.h"

namespace {

// An archive with many damaged members names each of them; the first says
// enough, and the rest is not kept.
const int complaintLimit = 1024;

} // namespace

ArchiveTest::ArchiveTest(const QString &archiverPath, QObject *parent)
    : QObject(parent)
    , archiverPath(archiverPath)
{ }

ArchiveTest::~ArchiveTest()
{
    cancel();
}

void ArchiveTest::start(const QString &archive)
{
    cancel();
    complaint.clear();
    process = std::make_unique<QProcess>();
    process->setStandardOutputFile(QProcess::nullDevice());
    connect(process.get(), &QProcess::readyReadStandardError, this, &ArchiveTest::readComplaint);
    connect(process.get(), qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            &ArchiveTest::ended);
    connect(process.get(), &QProcess::errorOccurred, this, &ArchiveTest::failedToStart);
    process->start(archiverPath, { QStringLiteral("t"), archive });
}

void ArchiveTest::cancel()
{
    if (!process)
        return;
    process->disconnect(this);
    process->kill();
    process->waitForFinished(1000);
    process.reset();
}

void ArchiveTest::readComplaint()
{
    const QByteArray more = process->readAllStandardError();
    complaint += more.left(qMax(0, complaintLimit - complaint.size()));
}

void ArchiveTest::ended(int exitCode, QProcess::ExitStatus status)
{
    readComplaint();
    process->disconnect(this);
    process.release()->deleteLater(); // it is still emitting
    if (status != QProcess::NormalExit) {
        emit finished(Result::CannotRun, QStringLiteral("the archiver crashed"));
        return;
    }
    const QString first = QString::fromUtf8(complaint).section(QLatin1Char('\n'), 0, 0).trimmed();
    if (exitCode == 0)
        emit finished(Result::Whole, QString());
    else
        emit finished(Result::Broken,
                      first.isEmpty() ? QStringLiteral("exit status %1").arg(exitCode) : first);
}

void ArchiveTest::failedToStart(QProcess::ProcessError error)
{
    if (error != QProcess::FailedToStart)
        return; // a crash ends with finished() too
    process->disconnect(this);
    process.release()->deleteLater();
    emit finished(Result::CannotRun, "Cannot start the archiver " + archiverPath);
}
