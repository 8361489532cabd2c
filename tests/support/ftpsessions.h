#ifndef FTPSESSIONS_H
#define FTPSESSIONS_H

#include "scriptedpeer.h"

#include "qftp.h"
#include "qftppi.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QStringList>

// The interpreter's data process, for what only it shows: its sockets, its
// listener and the state of its connection.
struct QFtpPITestAccess
{
    static QFtpDTP &dataProcess(QFtpPI &pi) { return pi.dataProcess; }
};

using Progress = QList<QPair<qint64, qint64>>;

// Every signal of one FTP client, the facade or the interpreter, in order as
// short texts, and what the signals carried.
class FtpSignalRecorder : public QObject
{
public:
    explicit FtpSignalRecorder(QFtp *client);
    explicit FtpSignalRecorder(QFtpPI *interpreter);

    // The facade's events about commands and the queue only.
    QStringList commandEvents() const;
    // The interpreter's ends of lists: finished and error.
    QStringList ends() const;
    // The facade: waits for the count-th done() (by default the next one).
    bool waitForDone(int count = -1, int timeoutMs = 60000);
    // The interpreter: waits for one more end (finished or error) than `before`.
    bool waitForEnd(int before, int timeoutMs = 5000);

    QStringList events;
    QMap<QString, bool> entries; // listed name -> is a directory
    QStringList names; // listed names, in order
    int doneCount = 0;
    int finishedCount = 0;
    int errorCount = 0;
    QStringList errors; // texts of the interpreter's errors
    QList<QPair<int, QString>> replies;
    Progress progress;
    int readyReads = 0;
    QList<int> dataStates;
};

// A facade and the scripted peer it talks to.
struct ClientSession
{
    int connectToPeer() { return ftp.connectToHost(peer.address(), peer.port()); }

    ScriptedPeer peer;
    QFtp ftp;
    FtpSignalRecorder recorder { &ftp };
};

// An interpreter, driven with lines as the facade hands them over, and the
// scripted peer it talks to.
struct InterpreterSession
{
    explicit InterpreterSession(const QString &address = QStringLiteral("127.0.0.1"))
        : peer(address)
    { }

    // The peer greets; waits until the interpreter has taken the greeting.
    bool greet();
    // The peer listens, then greets as greet() does.
    bool start() { return peer.listen() && greet(); }
    // Hands over a list and waits for its end (finished or error).
    bool run(const QStringList &commands);
    QFtpDTP &dataProcess() { return QFtpPITestAccess::dataProcess(pi); }

    ScriptedPeer peer;
    QFtpPI pi;
    FtpSignalRecorder recorder { &pi };
};

#endif // FTPSESSIONS_H
