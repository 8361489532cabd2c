#ifndef VERIFYCOMMAND_H
#define VERIFYCOMMAND_H

#include <QEventLoop>
#include <QString>

#include <memory>

class VerifyRun;

// What `mirvo --verify` was asked for.
struct VerifyOptions
{
    int sharePercent = 100; // --verify-share: about this share of the bytes kept
    bool unattended = false; // every line on standard output; the desktop told of findings
};

// The verify on the command line, in the working folder: it reads back the
// copies of every save folder and server of config.txt and says what it
// found. Lines go to standard output, error lines ("Error : ...") to
// standard error, or with `unattended` to standard output as well, and a
// desktop notification then says when something was found. Needs a
// QCoreApplication and no display.
class VerifyCommand
{
public:
    explicit VerifyCommand(const VerifyOptions &options);
    ~VerifyCommand();

    // The exit status: 0 when every copy checked was sound, 1 when something
    // was found (or the verify was interrupted), 2 when it could not run
    // (no config.txt, nothing to check, another process works in the folder).
    int exec();
    // A signal came: the check under way is dropped, those made are kept.
    void interrupt();

private:
    void printLine(const QString &text) const;
    void printError(const QString &text) const;
    int leave(int status, const QString &problem);

    VerifyOptions options;
    QEventLoop loop;
    VerifyRun *running = nullptr; // while exec() runs a verify
    bool interrupted = false;
};

#endif // VERIFYCOMMAND_H
