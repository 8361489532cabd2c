#ifndef RESTORECOMMAND_H
#define RESTORECOMMAND_H

#include <QDate>
#include <QString>
#include <QStringList>

#include <functional>

// What `mirvo --versions` and `mirvo --restore` were asked for.
struct RestoreOptions
{
    QStringList names; // backup names; none with --versions: every name
    bool all = false; // --restore --all: every entry
    QDate day; // invalid: latest
    QString from; // a save folder's path; empty: every destination in turn
    QString intoFolder; // --to
    bool replace = false;
};

// The faces of the restore on the command line, in the working folder:
// lines on standard output, error lines ("Error : ...") on standard error.
// Both need a QCoreApplication and no display; each returns the exit
// status: 0 when all went well, 1 when an entry could not be restored, 2
// when config.txt cannot be read (and no --from names a save folder), the
// save folder asked for is none, or another process works in the folder.
int listVersions(const RestoreOptions &options);
// `whenCancellable`, if given, receives what stops the restore under way
// (the entry being restored leaves nothing behind; the others are not
// tried), for the face to call on a signal.
int restoreEntries(const RestoreOptions &options,
                   const std::function<void(const std::function<void()> &cancel)> &whenCancellable
                   = {});

#endif // RESTORECOMMAND_H
