#include "desktopnotification.h"
#include "mainwindow.h"
#include "options.h"
#include "restorewindow.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <unistd.h>

namespace {

void print(FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
}

// A window needs a display; a backup without one is what --unattended is for.
bool hasDisplay()
{
    return !qEnvironmentVariableIsEmpty("DISPLAY")
        || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        || !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

// Qt notes at start-up that the user's runtime folder is not set, as it is
// not under cron; an unattended run does not need that folder, and cron
// would mail the note after every run.
QtMessageHandler qtHandler = nullptr;
void dropRuntimeFolderNote(QtMsgType type, const QMessageLogContext &context,
                           const QString &message)
{
    if (type == QtWarningMsg
        && message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR")))
        return;
    qtHandler(type, context, message);
}

// A scheduled run that cannot even read its command line is a run that did
// not happen: whoever scheduled it is told, as for any other unattended run.
int refuseUnattended(int argc, char *argv[], const QString &problem,
                     const QString &summary = QStringLiteral("Mirvo: no backup made"))
{
    QCoreApplication core(argc, argv);
    sendDesktopNotification(summary, problem, [] { QCoreApplication::exit(NoBackupMade); });
    return core.exec();
}

// The lines that follow the version, as free programs print them.
QString licenceText()
{
    return QStringLiteral(
        "Copyright (C) 2026 The Mirvo developers\n"
        "License GPL-3.0-or-later: GNU GPL version 3 or later <https://gnu.org/licenses/gpl.html>\n"
        "This is free software: you are free to change and redistribute it.\n"
        "There is NO WARRANTY, to the extent permitted by law.\n");
}

// SIGTERM and SIGINT (a service stopped, a shutdown, Ctrl+C) reach the
// event loop through a pipe: the handler only writes a byte. A second one
// ends the process at once, as if no handler were there.
int signalPipe[2] = { -1, -1 };
volatile std::sig_atomic_t signalsTaken = 0;

void takeSignal(int number)
{
    if (signalsTaken++ > 0) {
        std::signal(number, SIG_DFL);
        std::raise(number);
        return;
    }
    const char byte = 1;
    const ssize_t written = ::write(signalPipe[1], &byte, 1);
    (void)written; // a full pipe already holds a byte
}

// `stop` runs in the event loop once a signal has come.
void stopOnSignals(QObject *context, std::function<void()> stop)
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return; // without the pipe, the signals keep their default effect
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [notifier, stop] {
        char byte;
        while (::read(signalPipe[0], &byte, 1) > 0) { }
        notifier->setEnabled(false);
        stop();
    });
    struct sigaction action = {};
    action.sa_handler = takeSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

// --versions and --restore work without a window, so they need no display.
int runRestoreCommand(int argc, char *argv[], ProgramOptions options)
{
    // Folders on the command line are where the user stands, not in --dir.
    RestoreOptions &restore = options.restore;
    if (!restore.intoFolder.isEmpty())
        restore.intoFolder = QDir::cleanPath(QFileInfo(restore.intoFolder).absoluteFilePath());
    if (!restore.from.isEmpty() && QFileInfo::exists(restore.from))
        restore.from = QDir::cleanPath(QFileInfo(restore.from).absoluteFilePath());
    QString problem;
    if (!options.folder.isEmpty() && !enterFolder(options.folder, &problem)) {
        print(stderr, QStringLiteral("mirvo: ") + problem + "\n");
        return NoBackupMade;
    }
    // A reader of standard output that goes away (mirvo --versions | head)
    // must not end a restore half way.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication core(argc, argv);
    if (options.action == ProgramOptions::ListVersions)
        return listVersions(restore);
    // A signal stops the restore cleanly: no scratch folder stays behind.
    return restoreEntries(
        restore, [&core](const std::function<void()> &cancel) { stopOnSignals(&core, cancel); });
}

// --verify reads the copies back without a window, and stops on a signal
// keeping the checks it made.
int runVerifyCommand(int argc, char *argv[], const ProgramOptions &options)
{
    QString problem;
    if (!options.folder.isEmpty() && !enterFolder(options.folder, &problem)) {
        print(stderr, QStringLiteral("mirvo: ") + problem + "\n");
        return options.unattended
            ? refuseUnattended(argc, argv, problem, QStringLiteral("Mirvo: no verify made"))
            : NoBackupMade;
    }
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication core(argc, argv);
    VerifyCommand command(options.verify);
    stopOnSignals(&core, [&command] { command.interrupt(); });
    return command.exec();
}

// The restore window reads config.txt and the save folders, and never
// writes a config.txt: a folder without one still opens it.
int runRestoreWindow(int argc, char *argv[], const ProgramOptions &options)
{
    if (!hasDisplay()) {
        print(stderr,
              QStringLiteral("mirvo: no display to open a window on (to restore without a "
                             "window, run mirvo --restore)\n"));
        return NoBackupMade;
    }
    QString problem;
    if (!options.folder.isEmpty() && !enterFolder(options.folder, &problem)) {
        print(stderr, QStringLiteral("mirvo: ") + problem + "\n");
        return NoBackupMade;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral(MIRVO_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("mirvo-restore"));
    QPointer<RestoreWindow> window = new RestoreWindow(RestoreWindow::FolderAccess::TakeLock);
    window->show();
    // A signal cancels the restore under way, which leaves nothing behind.
    bool stopped = false;
    stopOnSignals(&app, [window, &stopped] {
        stopped = true;
        if (window)
            window->stop();
        else
            QCoreApplication::exit(1);
    });
    const int status = app.exec();
    return stopped ? 1 : status;
}

// "Back up now" replaces the editor by a backup window: a signal stops the
// window on screen. A restore window of the editor's cancels its restore
// first, which removes what it had begun.
void interruptShownWindow()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (RestoreWindow *restore = qobject_cast<RestoreWindow *>(widget))
            restore->stop();
    }
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        MainWindow *window = qobject_cast<MainWindow *>(widget);
        if (window && window->isVisible()) {
            window->interruptRun();
            return;
        }
    }
    QCoreApplication::exit(BackupIncomplete);
}

} // namespace

int main(int argc, char *argv[])
{
    const bool configurationOnly = isConfigurationOnlyBuild();
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const QString program
        = configurationOnly ? QStringLiteral("mirvo-config") : QStringLiteral("mirvo");

    const ProgramOptions options = parseProgramOptions(arguments, configurationOnly);
    switch (options.action) {
    case ProgramOptions::ShowHelp:
        print(stdout, usageText(program, configurationOnly));
        return 0;
    case ProgramOptions::ShowVersion:
        print(stdout, program + QStringLiteral(" " MIRVO_VERSION "\n") + licenceText());
        return 0;
    case ProgramOptions::Refuse:
        print(stderr,
              program + ": " + options.problem + "\n" + usageText(program, configurationOnly));
        if (options.unattended)
            return refuseUnattended(argc, argv, options.problem);
        return NoBackupMade;
    case ProgramOptions::ListVersions:
    case ProgramOptions::Restore:
        return runRestoreCommand(argc, argv, options);
    case ProgramOptions::Verify:
        return runVerifyCommand(argc, argv, options);
    case ProgramOptions::OpenRestoreWindow:
        return runRestoreWindow(argc, argv, options);
    case ProgramOptions::Run:
        break;
    }

    QString problem;
    if (!options.folder.isEmpty() && !enterFolder(options.folder, &problem)) {
        print(stderr, program + ": " + problem + "\n");
        return options.unattended ? refuseUnattended(argc, argv, problem) : NoBackupMade;
    }
    // An unattended run shows nothing, so it needs no display, whatever the
    // environment says.
    if (options.unattended) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qtHandler = qInstallMessageHandler(dropRuntimeFolderNote);
        // A reader of standard output that goes away (mirvo --unattended |
        // head) must not end the backup half way.
        std::signal(SIGPIPE, SIG_IGN);
    } else if (!hasDisplay()) {
        print(stderr,
              program
                  + QStringLiteral(": no display to open a window on (to back up without a "
                                   "window, run mirvo --unattended)\n"));
        return NoBackupMade;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral(MIRVO_VERSION));
    QGuiApplication::setDesktopFileName(program);

    if (options.unattended) {
        // Never shown, so never closed: the end of the run ends the program.
        const std::unique_ptr<MainWindow> window(new MainWindow(Presentation::Unattended));
        stopOnSignals(&app, [&window] { window->interruptRun(); });
        return app.exec();
    }
    MainWindow *window = new MainWindow;
    window->show();
    stopOnSignals(&app, interruptShownWindow);
    return app.exec();
}
