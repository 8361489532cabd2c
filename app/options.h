#ifndef OPTIONS_H
#define OPTIONS_H

#include "restorecommand.h"
#include "verifycommand.h"

#include <QString>
#include <QStringList>

// What the command line asks for. Both programs read it before anything else
// exists, so that --help, --version and a bad option need no display.
struct ProgramOptions
{
    enum Action {
        Run, // open the window, or back up unattended
        ShowHelp, // usage on standard output, exit 0
        ShowVersion, // version on standard output, exit 0
        ListVersions, // --versions: the copies kept, one a line, on standard output
        Restore, // --restore: entries brought back from the copies
        Verify, // --verify: the copies read back and checked
        OpenRestoreWindow, // --restore-window: the restore as a window
        Refuse // a bad command line: `problem` and the usage on standard error, exit 2
    };

    Action action = Run;
    QString folder; // the folder to work in; empty: the working directory
    bool unattended = false; // back up without a window, then exit with the outcome
    RestoreOptions restore; // for ListVersions and Restore
    VerifyOptions verify; // for Verify
    QString problem;
};

// `arguments` as main receives them, program name first. The
// configuration-only program never backs up, so it has no --unattended.
ProgramOptions parseProgramOptions(const QStringList &arguments, bool configurationOnly);

// The usage text of `program`, ending with a line feed.
QString usageText(const QString &program, bool configurationOnly);

// The per-user folder: $XDG_CONFIG_HOME/mirvo, or ~/.config/mirvo.
QString perUserFolder();

// Makes `folder` (created when missing) the working directory, so that
// config.txt, previous, the archives and mirvo.log all live there.
bool enterFolder(const QString &folder, QString *problem);

#endif // OPTIONS_H
