#include "mainwindow.h"

#include <QAbstractTextDocumentLayout>
#include <QDate>
#include <QDir>
#include <QFileInfo>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QtDebug>

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
    : QWidget(parent)
{
    setAttribute(Qt::WA_DeleteOnClose);
    cipher.setKey(passwordCipherKey);
    date = QDate::currentDate().toString(datedFolderFormat);

    if (!isConfigurationOnlyBuild() && QFileInfo::exists(QStringLiteral("config.txt"))) {
        configurationMode = false;
        buildBackupWindow();
    } else {
        configurationMode = true;
        buildConfigurationWindow();
    }
}

MainWindow::~MainWindow() = default;

void MainWindow::buildBackupWindow()
{
    // Lines logged by these two land in logText and show up with the first
    // line logged once the view exists.
    loadConfiguration();
    readHistory();

    setFixedSize(logWidth, logHeight);
    logView = new QTextEdit(this);
    logView->setFixedSize(logWidth, logHeight);
    logView->setReadOnly(true);
    // The view is only ever appended to; an undo history would grow with it.
    logView->setUndoRedoEnabled(false);

    setStep(RunStep::Preparing);
    const bool clientStarted = prepareServers();
    prepareSaveFolders();

    // Without a server to wait for, the whole run happens here, before the
    // window is first shown.
    if (!clientStarted) {
        setStep(RunStep::SendingFiles);
        runNext();
    }
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
    qDebug() << text;
    if (configurationMode)
        return;
    appendToLog(">" + text.toHtmlEscaped());
}

void MainWindow::logError(const QString &text)
{
    qDebug() << text;
    if (configurationMode)
        return;
    appendToLog("> <font color=\"red\">Error : " + text.toHtmlEscaped() + "</font>");
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
