#ifndef SCRIPTEDPEER_H
#define SCRIPTEDPEER_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTimer>

class QTcpSocket;

// A fake FTP server in the test's own event loop that plays a script: it
// waits for the client's lines and answers with exactly the bytes it is
// given, so that a test can produce what real servers will not (split or
// odd replies, stalls, dropped connections, hostile 227 addresses, refused
// data connections, oversized lines).
//
// Steps run in the order they were added; the script starts by waiting for
// the client's control connection. When the script is over the peer keeps
// the connection open and says nothing more (a stalled server).
//
// In the bytes given to send(), these placeholders are replaced by the
// peer's current data port: {pasv} ("127,0,0,1,p1,p2"), {p1}, {p2}, {port}.
class ScriptedPeer : public QObject
{
    Q_OBJECT

public:
    explicit ScriptedPeer(const QString &address = QStringLiteral("127.0.0.1"),
                          QObject *parent = nullptr);
    ~ScriptedPeer() override;

    bool listen(); // on a free port of the address
    QString address() const { return listenAddress; }
    quint16 port() const { return control.serverPort(); }

    // Control connection.
    ScriptedPeer &send(const QByteArray &bytes); // written as they are, after the placeholders
    ScriptedPeer &expect(const QByteArray &linePrefix); // waits for the client's next line
    ScriptedPeer &reply(const QByteArray &linePrefix, const QByteArray &bytes);
    ScriptedPeer &pause(int milliseconds); // so that what follows arrives in another read
    ScriptedPeer &dropConnection(); // closes the control connection
    ScriptedPeer &acceptConnection(); // waits for the client's next control connection

    // Data connection.
    ScriptedPeer &openDataPort(); // listens for a passive data connection
    ScriptedPeer &closeDataPort(); // stops listening: a connect to that port is refused
    ScriptedPeer &acceptData(); // waits for the client's passive data connection
    ScriptedPeer &connectData(); // active mode: connects to the last PORT or EPRT address
    ScriptedPeer &sendData(const QByteArray &bytes);
    ScriptedPeer &closeData();
    ScriptedPeer &receiveData(); // takes data until the client closes the data connection
    // Opens a data port, answers PASV with `reply` and waits for the passive data connection.
    ScriptedPeer &acceptPassive(const QByteArray &reply);

    bool isFinished() const { return cursor >= steps.size(); }
    QStringList problems() const { return issues; } // lines that did not match, misuse
    QList<QByteArray> receivedLines() const { return lines; } // every line the client sent
    QStringList receivedCommands() const; // the same lines, trimmed, as text
    QByteArray receivedData() const { return dataReceived; }
    int connectionCount() const { return connections; }
    quint16 dataPort() const { return lastDataPort; }

private slots:
    void advance();

private:
    enum Kind {
        Accept,
        Send,
        Expect,
        Pause,
        Drop,
        OpenData,
        CloseData,
        AcceptData,
        ConnectData,
        SendData,
        CloseDataConnection,
        ReceiveData
    };
    struct Step
    {
        Kind kind;
        QByteArray bytes;
        int milliseconds = 0;
    };

    ScriptedPeer &add(Kind kind, const QByteArray &bytes = {}, int milliseconds = 0);
    bool runStep(const Step &step); // false: the step waits for an event
    void collectLines();
    QByteArray expand(const QByteArray &bytes) const;
    void watchDataSocket();

    QString listenAddress;
    QTcpServer control;
    QTcpServer data;
    QTcpSocket *controlSocket = nullptr;
    QTcpSocket *dataSocket = nullptr;
    QList<Step> steps;
    int cursor = 0;
    bool running = false;
    QTimer pauseTimer;
    bool pauseOver = false;
    QList<QByteArray> incoming;
    QList<QByteArray> lines;
    QStringList issues;
    QByteArray dataReceived;
    int connections = 0;
    quint16 lastDataPort = 0;
};

#endif // SCRIPTEDPEER_H
