// Logs 20,000 lines into a shown backup-mode window and prints the time per
// line at the start and at the end of the log: adding a line must cost the
// same however long the log already is. For contrast it also times the
// former way, re-rendering the whole log on every line, over fewer lines.
#include "mainwindow.h"
#include "testsupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTextEdit>

#include <cstdio>

extern bool testConfigurationOnlyBuild;

namespace {

const int totalLines = 20000;
const int sampleLines = 1000;
const int wholeRenderLines = 300;

void discardDebug(QtMsgType, const QMessageLogContext &, const QString &) { }

QString lineText(int i)
{
    return QStringLiteral("/home/user/documents/report-%1.odt has been copied to "
                          "/media/backup/latest/report-%1.odt")
        .arg(i);
}

double microsecondsPerLine(qint64 nanoseconds, int lines)
{
    return nanoseconds / 1000.0 / lines;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    QFile config(QStringLiteral("config.txt"));
    if (!config.open(QIODevice::WriteOnly))
        return 1;
    config.close();
    testConfigurationOnlyBuild = false;

    qInstallMessageHandler(discardDebug); // the debug output is not what is measured
    MainWindow *window = new MainWindow;
    window->show();
    QCoreApplication::processEvents();

    QElapsedTimer timer;
    qint64 first = 0;
    qint64 last = 0;
    timer.start();
    for (int i = 0; i < totalLines; ++i) {
        const qint64 before = timer.nsecsElapsed();
        i % 10 == 3 ? window->logError(lineText(i)) : window->log(lineText(i));
        const qint64 spent = timer.nsecsElapsed() - before;
        if (i < sampleLines)
            first += spent;
        if (i >= totalLines - sampleLines)
            last += spent;
    }
    const qint64 total = timer.nsecsElapsed();
    QCoreApplication::processEvents();
    delete window;

    // The former way: the whole log set into the view again on every line.
    QTextEdit view;
    view.setFixedSize(500, 600);
    view.show();
    QString logText;
    timer.restart();
    qint64 wholeLast = 0;
    for (int i = 0; i < wholeRenderLines; ++i) {
        const qint64 before = timer.nsecsElapsed();
        logText += ">" + lineText(i) + "<br>";
        view.setHtml(logText);
        if (i >= wholeRenderLines - 50)
            wholeLast += timer.nsecsElapsed() - before;
    }
    const qint64 wholeTotal = timer.nsecsElapsed();

    const double start = microsecondsPerLine(first, sampleLines);
    const double end = microsecondsPerLine(last, sampleLines);
    std::printf("log view, %d lines in backup mode (window shown)\n", totalLines);
    std::printf("  first %d lines: %.1f us/line\n", sampleLines, start);
    std::printf("  last %d lines:  %.1f us/line\n", sampleLines, end);
    std::printf("  end / start:      %.2f\n", end / start);
    std::printf("  all %d lines:  %.0f ms\n", totalLines, total / 1e6);
    std::printf("whole log re-rendered on every line (former way), %d lines\n", wholeRenderLines);
    std::printf("  last 50 lines:    %.1f us/line\n", microsecondsPerLine(wholeLast, 50));
    std::printf("  all %d lines:   %.0f ms\n", wholeRenderLines, wholeTotal / 1e6);
    return 0;
}
