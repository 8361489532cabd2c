#include "mainwindow.h"

#include "configurationfields.h"
#include "desktopnotification.h"

#include <QAbstractTextDocumentLayout>
#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFileInfo>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QtDebug>

#include <cstdio>

namespace {

const int logWidth = 500;
const int logHeight = 600;

// The rendered log is one paragraph whose lines are broken by <br>; the view
// gives each new line a paragraph of its own instead, so that adding a line
// lays out that line only. With a font whose leading is negative, lines of
// one paragraph sit closer together than one-line paragraphs; this is the
// margin that makes up the difference.
qreal paragraphGap(const QTextDocument *document)
{
    QTextDocument probe;
    probe.documentLayout()->setPaintDevice(document->documentLayout()->paintDevice());
    probe.setDefaultFont(document->defaultFont());
    probe.setDocumentMargin(0);
    probe.setHtml(QStringLiteral(">x"));
    const qreal oneLine = probe.size().height();
    probe.setHtml(QStringLiteral(">x<br>>x"));
    const qreal twoLines = probe.size().height();
    return twoLines - 2 * oneLine;
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : MainWindow(Presentation::Window, parent)
{ }

MainWindow::MainWindow(Presentation presentation, QWidget *parent)
    : QWidget(parent)
    , unattended(presentation == Presentation::Unattended)
{
    setAttribute(Qt::WA_DeleteOnClose);
    cipher.setKey(passwordCipherKey);
    date = QDate::currentDate().toString(datedFolderFormat);

    const bool configured = QFileInfo::exists(QLatin1String(configurationFileName));
    if (unattended && !configured) {
        // An unattended run never opens the editor, nor writes a config.txt.
        configurationMode = false;
        endWithoutBackup("There is no config.txt in " + folderLock.folder());
    } else if (!isConfigurationOnlyBuild() && configured) {
        configurationMode = false;
        buildBackupWindow();
    } else {
        configurationMode = true;
        if (folderLock.take() == FolderLock::HeldElsewhere)
            waitForFolder();
        else
            buildConfigurationWindow();
    }
}

MainWindow::~MainWindow() = default;

void MainWindow::buildBackupWindow()
{
    // A configuration that exists but cannot be read would make a run of
    // nothing that reports success.
    QFile configuration { QLatin1String(configurationFileName) };
    if (!configuration.open(QIODevice::ReadOnly)) {
        endWithoutBackup("Cannot read " + folderLock.folder() + "/" + configurationFileName + ": "
                         + configuration.errorString());
        return;
    }
    configuration.close();

    // A second process in the folder changes no file: no lines in
    // mirvo.log, no save folder prepared, no history written.
    const FolderLock::Outcome lock = folderLock.take();
    if (lock == FolderLock::HeldElsewhere) {
        endWithoutBackup(folderBusyText());
        return;
    }
    if (lock == FolderLock::Taken)
        folderLock.removeLeftovers();
    if (!runLog.open(QLatin1String(RunLog::fileName))) {
        logError("Cannot write the log file " + runLog.problem());
        runLog.noteIncomplete(QStringLiteral("the log file cannot be written"));
    }
    if (!runLog.rotationProblem().isEmpty()) {
        logError("Cannot rotate the log file " + runLog.rotationProblem());
        runLog.noteIncomplete(QStringLiteral("the log file cannot be rotated"));
    }
    if (lock == FolderLock::Unavailable)
        logError("Cannot lock " + folderLock.folder()
                 + ": another backup could run there at the same time");
    if (lock == FolderLock::LinkInPlace) {
        logError("Cannot lock " + folderLock.folder() + ": " + FolderLock::fileName + " is a link");
        runLog.noteIncomplete(QString(FolderLock::fileName) + " is a link");
    }

    // Lines logged by these two land in logText and show up with the first
    // line logged once the view exists.
    loadConfiguration();
    readHistory();
    createLogView();

    setStep(RunStep::Preparing);
    const bool clientStarted = prepareServers();
    prepareSaveFolders();
    noteUnsoundCopies();

    // Without a server to wait for, the whole run happens here, before the
    // window is first shown.
    if (!clientStarted) {
        setStep(RunStep::SendingFiles);
        runNext();
    }
}

// An unattended run shows nothing: its lines go to standard output.
void MainWindow::createLogView()
{
    if (unattended || logView)
        return;
    setFixedSize(logWidth, logHeight);
    logView = new QTextEdit(this);
    logView->setFixedSize(logWidth, logHeight);
    logView->setReadOnly(true);
    // The view is only ever appended to; an undo history would grow with it.
    logView->setUndoRedoEnabled(false);
}

QString MainWindow::folderBusyText() const
{
    return "A backup is already running in " + folderLock.folder()
        + ", or its configuration window is open";
}

// No backup is made: the error shows in the window, or on standard output
// and the desktop for an unattended run.
void MainWindow::endWithoutBackup(const QString &problem)
{
    createLogView();
    logError(problem);
    leaveFolder(NoBackupMade, problem);
}

// The run is over, or never started: the folder is free for the next
// process. An unattended process then ends with `exitStatus`, after telling
// the desktop when something was left undone.
void MainWindow::leaveFolder(int exitStatus, const QString &problem)
{
    runLog.close();
    folderLock.release();
    if (!unattended)
        return;
    const auto exitProcess = [exitStatus] {
        // Queued, so that an end reached inside the constructor still ends
        // the event loop that main starts afterwards.
        QMetaObject::invokeMethod(
            qApp, [exitStatus] { QCoreApplication::exit(exitStatus); }, Qt::QueuedConnection);
    };
    if (exitStatus == BackupComplete) {
        exitProcess();
        return;
    }
    const QString summary = exitStatus == BackupIncomplete
        ? QStringLiteral("Mirvo: backup incomplete")
        : QStringLiteral("Mirvo: no backup made");
    sendDesktopNotification(summary, problem, exitProcess);
}

void MainWindow::prepareSaveFolders()
{
    for (SaveFolder &folder : saveFolders) {
        folder.invalid = false;
        if (!QFileInfo(folder.path).isDir()) {
            logError(folder.path + " is not a valid path");
            folder.invalid = true;
            continue;
        }

        // Only one level is created: the save folder itself must exist.
        const auto ensureFolder = [&](const QString &name) {
            const QString target = folder.path + "/" + name;
            if (QFileInfo(target).isDir())
                return;
            if (QDir(folder.path).mkdir(name)) {
                log(target + " created");
            } else {
                logError("cannot create " + target);
                folder.invalid = true;
            }
        };
        ensureFolder(QStringLiteral("latest"));
        ensureFolder(date);

        if (!folder.invalid)
            log("Initializing " + folder.path);
    }
}

// Logged texts are escaped for the view, so that a name is shown exactly as
// written and no text can carry markup into the lines that follow it; the
// debug output gets the text as it is.
void MainWindow::log(const QString &text)
{
    report(text, false);
}

void MainWindow::logError(const QString &text)
{
    report(text, true);
}

void MainWindow::report(const QString &text, bool error)
{
    const QString plain = error ? "Error : " + text : text;
    if (unattended) {
        const QByteArray line = plain.toUtf8() + '\n';
        std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
        std::fflush(stdout);
    } else {
        qDebug() << text;
    }
    if (configurationMode)
        return;
    keepInRunLog(plain);
    if (error)
        appendToLog("> <font color=\"red\">Error : " + text.toHtmlEscaped() + "</font>");
    else
        appendToLog(">" + text.toHtmlEscaped());
}

// A log file that cannot be written is said once, then left alone: the
// backup matters more than its record.
void MainWindow::keepInRunLog(const QString &line)
{
    if (!runLog.isOpen() || runLog.append(line))
        return;
    const QString problem = runLog.problem();
    runLog.close();
    runLog.noteIncomplete(QStringLiteral("the log file cannot be written"));
    logError("Cannot write the log file " + problem);
}

// `line` is the HTML of one log line without its closing <br>.
void MainWindow::appendToLog(const QString &line)
{
    logText += line;
    logText += QLatin1String("<br>");
    if (logView)
        showLogLine(line);
}

// Shows the view exactly as logText rendered as a whole would look, at a
// cost that does not grow with the log.
void MainWindow::showLogLine(const QString &line)
{
    QTextDocument *document = logView->document();
    // The first line after the view appears also brings the lines logged
    // before it.
    if (document->isEmpty()) {
        logView->setHtml(logText);
        return;
    }

    const qreal gap = document->blockCount() == 1 ? paragraphGap(document)
                                                  : document->lastBlock().blockFormat().topMargin();
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    cursor.insertHtml(line);
    QTextBlockFormat lineFormat = cursor.blockFormat();
    lineFormat.setBottomMargin(gap);
    cursor.setBlockFormat(lineFormat);
    // The empty paragraph that follows stands for the line the closing <br>
    // leaves at the end of the rendered log.
    QTextBlockFormat nextFormat;
    nextFormat.setTopMargin(gap);
    cursor.insertBlock(nextFormat, QTextCharFormat());
    cursor.endEditBlock();
}
