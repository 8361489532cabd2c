#ifndef MIRVOPROCESS_H
#define MIRVOPROCESS_H

#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

// The real mirvo (or mirvo-config) binary, run headless in a working
// directory. With a window the program never quits by itself: stop() ends
// it by its PID; an unattended run is waited for with waitForExit().
class MirvoProcess
{
public:
    enum Program { Standard, ConfigurationOnly };

    explicit MirvoProcess(const QString &workingDirectory, Program program = Standard);
    ~MirvoProcess();

    // Extra environment entries ("NAME=value") on top of the headless
    // defaults; a bare "NAME" removes the variable. Then the arguments.
    bool start(const QStringList &extraEnvironment = {}, const QStringList &arguments = {});
    // Runs another copy of the program, e.g. one installed elsewhere.
    void setExecutable(const QString &path) { executable = path; }
    // Waits until the program has ended by itself; false on a timeout or a crash.
    bool waitForExit(int timeoutMs = 30000);
    int exitCode() const { return process ? process->exitCode() : -1; }
    void stop();

    // Waits until a debug-output line equals `line` (or, with `prefix`, starts with it).
    bool waitForLine(const QString &line, int timeoutMs = 10000, bool prefix = false);
    // Every line the program wrote to the debug output so far, unquoted.
    QStringList lines();
    // Everything on stderr, raw, for diagnostics.
    QString rawOutput();
    // Everything on stdout.
    QString standardOutput();

    qint64 pid() const { return process ? process->processId() : 0; }

    static QString binary(Program program);
    // Today's dated folder as the program names it: it runs with LC_ALL=C.UTF-8, so in English.
    static QString datedFolderName();
    // Turns one line of `qDebug() << QString` into the string that was logged.
    static QString unquote(const QString &debugLine);

private:
    void collect();

    QString workDir;
    Program which;
    QString executable;
    std::unique_ptr<QProcess> process;
    QByteArray pending;
    QString raw;
    QByteArray output;
    QStringList parsed;
};

#endif // MIRVOPROCESS_H
