#include "testsupport.h"

#include "qftp.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

// The facade and its command queue: ids, raw lines, the order of signals,
// failures that empty the queue, commands queued from inside the signals, and
// the whole command set against real servers.

namespace {

QString ev(const char *what, int id, int flag = -1)
{
    return flag < 0 ? QStringLiteral("%1 %2").arg(QLatin1String(what)).arg(id)
                    : QStringLiteral("%1 %2 %3").arg(QLatin1String(what)).arg(id).arg(flag);
}

QByteArray pattern(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 31) ^ (i >> 9));
    return data;
}

} // namespace

using QueueCommand = std::function<int(QFtp &)>;
Q_DECLARE_METATYPE(QueueCommand)
using Exchanges = QList<QPair<QByteArray, QByteArray>>; // a line expected, the reply to it
Q_DECLARE_METATYPE(Exchanges)

class TestQFtp : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void rawLines_data();
    void rawLines();
    void lineBreaksNeverReachTheWire_data();
    void lineBreaksNeverReachTheWire();
    void transferModeGovernsLaterCommands();
    void signalOrder();
    void failureDropsQueue();
    void commandsQueuedFromDoneAfterFailure();
    void commandsQueuedFromCommandFinished();
    void closeEndsAfterUnconnected();
    void nothingWaitsForever_data();
    void nothingWaitsForever();
    void refusedConnectDropsLogin();
    void uploadFromUnreadableDevice();
    void abortedUpload_data();
    void abortedUpload();
    void typedOutcomes_data();
    void typedOutcomes();
    void realServer_data();
    void realServer();
    void tlsSetupNeverHangs_data();
    void tlsSetupNeverHangs();
};

void TestQFtp::initTestCase()
{
    // The first command of the process gets id 1; every client shares the counter.
    QFtp a, b;
    QCOMPARE(a.close(), 1);
    QCOMPARE(b.close(), 2);
    QCOMPARE(a.close(), 3);
}

void TestQFtp::rawLines_data()
{
    QTest::addColumn<QueueCommand>("queue");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("login null") << QueueCommand([](QFtp &f) { return f.login(); })
                                << QStringList({ "USER anonymous", "PASS anonymous@" });
    QTest::newRow("login empty") << QueueCommand([](QFtp &f) { return f.login("", "pw"); })
                                 << QStringList({ "USER", "PASS pw" });
    QTest::newRow("cd with spaces") << QueueCommand([](QFtp &f) { return f.cd("my folder"); })
                                    << QStringList({ "CWD my folder" });
    QTest::newRow("mkdir") << QueueCommand([](QFtp &f) { return f.mkdir("d"); })
                           << QStringList({ "MKD d" });
    QTest::newRow("rmdir") << QueueCommand([](QFtp &f) { return f.rmdir("d"); })
                           << QStringList({ "RMD d" });
    QTest::newRow("remove") << QueueCommand([](QFtp &f) { return f.remove("f"); })
                            << QStringList({ "DELE f" });
    QTest::newRow("rename") << QueueCommand([](QFtp &f) { return f.rename("a", "b c"); })
                            << QStringList({ "RNFR a", "RNTO b c" });
    QTest::newRow("raw trimmed") << QueueCommand([](QFtp &f) {
        return f.rawCommand("  SITE CHMOD 644 f \t");
    }) << QStringList({ "SITE CHMOD 644 f" });
}

void TestQFtp::rawLines()
{
    QFETCH(QueueCommand, queue);
    QFETCH(QStringList, expected);
    ClientSession s;
    QVERIFY(s.peer.listen());
    s.peer.send("220 hi\r\n");
    for (const QString &line : expected)
        s.peer.reply(line.toLatin1(), line.startsWith("USER") ? "331 pw\r\n" : "250 ok\r\n");
    s.connectToPeer();
    const int id = queue(s.ftp);
    QVERIFY(s.recorder.waitForDone(1, 5000));
    QCOMPARE(s.recorder.commandEvents().mid(2),
             QStringList({ ev("started", id), ev("finished", id, 0), "done 0" }));
    QCOMPARE(s.peer.receivedCommands(), expected);
    QVERIFY2(s.peer.problems().isEmpty(), qPrintable(s.peer.problems().join('\n')));
}

void TestQFtp::lineBreaksNeverReachTheWire_data()
{
    QTest::addColumn<QueueCommand>("queue");
    QTest::addColumn<QString>("failure");
    const QString why = "The command holds a line break or NUL character; nothing was sent";
    QTest::newRow("password") << QueueCommand([](QFtp &f) {
        return f.login("u", "pw\r\nDELE victim");
    }) << "Login failed:\n" + why;
    QTest::newRow("user") << QueueCommand([](QFtp &f) { return f.login("u\nx", "pw"); })
                          << "Login failed:\n" + why;
    QTest::newRow("cd") << QueueCommand([](QFtp &f) { return f.cd("a\r"); })
                        << "Changing directory failed:\n" + why;
    QTest::newRow("mkdir NUL") << QueueCommand([](QFtp &f) {
        return f.mkdir(QString("a") + QChar() + "b");
    }) << "Creating directory failed:\n" + why;
    QTest::newRow("rmdir") << QueueCommand([](QFtp &f) { return f.rmdir("a\nRMD b"); })
                           << "Removing directory failed:\n" + why;
    QTest::newRow("remove") << QueueCommand([](QFtp &f) { return f.remove("f\r\n"); })
                            << "Removing file failed:\n" + why;
    QTest::newRow("rename, second name")
        << QueueCommand([](QFtp &f) { return f.rename("a", "b\nDELE c"); }) << why;
    QTest::newRow("list") << QueueCommand([](QFtp &f) { return f.list("d\nQUIT"); })
                          << "Listing directory failed:\n" + why;
    QTest::newRow("put") << QueueCommand([](QFtp &f) { return f.put("x", "f\r\nDELE g"); })
                         << "Uploading file failed:\n" + why;
    QTest::newRow("get") << QueueCommand([](QFtp &f) { return f.get("f\nDELE g"); })
                         << "Downloading file failed:\n" + why;
    QTest::newRow("raw, inside the trimmed text")
        << QueueCommand([](QFtp &f) { return f.rawCommand(" NOOP\r\nDELE victim\r\n"); }) << why;
}

// A command whose argument holds CR, LF or NUL fails as it starts, sends
// nothing, drops what was queued behind it, and the connection goes on.
void TestQFtp::lineBreaksNeverReachTheWire()
{
    QFETCH(QueueCommand, queue);
    QFETCH(QString, failure);
    ClientSession s;
    QVERIFY(s.peer.listen());
    s.peer.send("220 hi\r\n").reply("CWD next", "250 ok\r\n");
    s.connectToPeer();
    const int id = queue(s.ftp);
    s.ftp.mkdir("dropped");
    QVERIFY(s.recorder.waitForDone(1, 5000));
    QCOMPARE(s.recorder.commandEvents().mid(2),
             QStringList({ ev("started", id), ev("finished", id, 1), "done 1" }));
    QCOMPARE(s.ftp.error(), QFtp::UnknownError);
    QCOMPARE(s.ftp.errorString(), failure);
    const int cd = s.ftp.cd("next");
    QVERIFY(s.recorder.waitForDone(2, 5000));
    QCOMPARE(s.recorder.commandEvents().mid(5),
             QStringList({ ev("started", cd), ev("finished", cd, 0), "done 0" }));
    QCOMPARE(s.peer.receivedCommands(), QStringList({ "CWD next" }));
}

void TestQFtp::transferModeGovernsLaterCommands()
{
    ClientSession s;
    QVERIFY(s.peer.listen());
    s.peer.send("220 hi\r\n")
        .reply("TYPE A", "200 ok\r\n")
        .expect("PORT 127,0,0,1,")
        .send("200 ok\r\n")
        .expect("LIST")
        .connectData()
        .send("150 go\r\n")
        .sendData("-rw-r--r-- 1 u g 3 Jan 05  2021 a b\r\n")
        .closeData()
        .send("226 done\r\n");
    s.connectToPeer();
    s.ftp.setTransferMode(QFtp::Active); // governs the list queued right after it
    s.ftp.list("");
    QVERIFY(s.recorder.waitForDone(1, 5000));
    QCOMPARE(s.recorder.entries.keys(), QStringList({ "a b" }));
    QVERIFY2(s.peer.problems().isEmpty(), qPrintable(s.peer.problems().join('\n')));
}

void TestQFtp::signalOrder()
{
    ClientSession s;
    QVERIFY(s.peer.listen());
    s.peer.send("220 hi\r\n").reply("USER u", "331 pw\r\n").reply("PASS p", "230 in\r\n");
    s.peer.reply("CWD d", "250 ok\r\n");
    const int connect = s.connectToPeer();
    QVERIFY(s.recorder.events.isEmpty()); // the id comes before commandStarted
    QCOMPARE(s.ftp.currentId(), connect);
    QCOMPARE(s.ftp.currentCommand(), QFtp::ConnectToHost);
    QVERIFY(!s.ftp.hasPendingCommands());
    const int login = s.ftp.login("u", "p");
    const int cd = s.ftp.cd("d");
    QVERIFY(s.ftp.hasPendingCommands());
    QCOMPARE(login, connect + 1);
    QCOMPARE(cd, connect + 2);
    QVERIFY(s.recorder.waitForDone(1, 5000));
    QCOMPARE(s.recorder.events,
             QStringList({ ev("started", connect), "state 1", "state 2", "state 3",
                           ev("finished", connect, 0), ev("started", login), "state 4",
                           ev("finished", login, 0), ev("started", cd), ev("finished", cd, 0),
                           "done 0" }));
    QCOMPARE(s.ftp.error(), QFtp::NoError);
    QCOMPARE(s.ftp.errorString(), QStringLiteral("Unknown error"));
    QCOMPARE(s.ftp.currentId(), 0);
    QCOMPARE(s.ftp.currentCommand(), QFtp::None);
}

void TestQFtp::failureDropsQueue()
{
    ClientSession s;
    QVERIFY(s.peer.listen());
    s.peer.send("220 hi\r\n").reply("CWD missing", "550 No such folder.\r\n");
    s.connectToPeer();
    const int cd = s.ftp.cd("missing");
    s.ftp.mkdir("a");
    s.ftp.mkdir("b");
    s.ftp.list();
    QVERIFY(s.recorder.waitForDone(1, 5000));
    QCOMPARE(s.recorder.commandEvents().mid(2),
             QStringList({ ev("started", cd), ev("finished", cd, 1), "done 1" }));
    QCOMPARE(s.ftp.currentId(), 0);
    QCOMPARE(s.ftp.error(), QFtp::UnknownError);
    QCOMPARE(s.ftp.errorString(), QStringLiteral("Changing directory failed:\nNo such folder."));
    QTest::qWait(50);
    QCOMPARE(s.peer.receivedCommands(), QStringList({ "CWD missing" }));
    s.ftp.abort(); // on an empty queue: nothing
    QCOMPARE(s.recorder.doneCount, 1);
}

// The backup run queues the next entry's uploads from done(true) right after
// a refused upload: they must run and be sent, not be reported finished unsent.
void TestQFtp::commandsQueuedFromDoneAfterFailure()
{
    ClientSession s;
    QVERIFY(s.peer.listen());
    s.peer.send("220 hi\r\n")
        .reply("MKD taken", "550 exists\r\n")
        .reply("MKD fresh", "257 created\r\n");
    int queued = 0;
    connect(&s.ftp, &QFtp::done, this, [&](bool error) {
        if (error && queued == 0)
            queued = s.ftp.mkdir("fresh");
    });
    s.connectToPeer();
    const int first = s.ftp.mkdir("taken");
    QVERIFY(s.recorder.waitForDone(2, 5000));
    QCOMPARE(s.recorder.commandEvents().mid(2),
             QStringList({ ev("started", first), ev("finished", first, 1), "done 1",
                           ev("started", queued), ev("finished", queued, 0), "done 0" }));
    QCOMPARE(s.peer.receivedCommands(), QStringList({ "MKD taken", "MKD fresh" }));
}

void TestQFtp::commandsQueuedFromCommandFinished()
{
    ClientSession s;
    QVERIFY(s.peer.listen());
    s.peer.send("220 hi\r\n")
        .reply("CWD a", "550 no\r\n")
        .reply("MKD a", "257 ok\r\n")
        .reply("CWD a", "250 ok\r\n");
    int mkdir = 0, cd2 = 0;
    connect(&s.ftp, &QFtp::commandFinished, this, [&](int, bool error) {
        if (s.ftp.currentCommand() == QFtp::Cd && error) {
            mkdir = s.ftp.mkdir("a");
            cd2 = s.ftp.cd("a");
        }
    });
    s.connectToPeer();
    const int cd = s.ftp.cd("a");
    QVERIFY(s.recorder.waitForDone(1, 5000));
    // The new commands start in the same call: no done in between.
    QCOMPARE(s.recorder.commandEvents().mid(2),
             QStringList({ ev("started", cd), ev("finished", cd, 1), ev("started", mkdir),
                           ev("finished", mkdir, 0), ev("started", cd2), ev("finished", cd2, 0),
                           "done 0" }));
}

void TestQFtp::closeEndsAfterUnconnected()
{
    ClientSession s;
    QVERIFY(s.peer.listen());
    s.peer.send("220 hi\r\n").reply("QUIT", "221 bye\r\n").pause(100).dropConnection();
    const int connect = s.connectToPeer();
    const int close = s.ftp.close();
    QVERIFY(s.recorder.waitForDone(1, 5000));
    QCOMPARE(s.recorder.events.mid(4),
             QStringList({ ev("finished", connect, 0), ev("started", close), "state 5", "state 0",
                           ev("finished", close, 0), "done 0" }));
    QCOMPARE(s.ftp.state(), QFtp::Unconnected);
}

void TestQFtp::nothingWaitsForever_data()
{
    QTest::addColumn<QByteArray>("afterCwd");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("text");
    QTest::newRow("connection lost") << QByteArray("drop") << int(QFtp::NotConnected)
                                     << "Changing directory failed:\nConnection closed by host "
                                        "127.0.0.1";
    QTest::newRow("server silent") << QByteArray("stall") << int(QFtp::NotConnected)
                                   << "Changing directory failed:\nHost 127.0.0.1 did not answer "
                                      "for 0.3 seconds, connection closed";
    QTest::newRow("preliminary reply only")
        << QByteArray("150 working on it\r\n") << int(QFtp::NotConnected)
        << "Changing directory failed:\nHost 127.0.0.1 did not answer for 0.3 seconds, "
           "connection closed";
}

void TestQFtp::nothingWaitsForever()
{
    QFETCH(QByteArray, afterCwd);
    QFETCH(int, error);
    QFETCH(QString, text);
    ClientSession s;
    QVERIFY(s.peer.listen());
    s.peer.send("220 hi\r\n").expect("CWD d");
    if (afterCwd == "drop")
        s.peer.dropConnection();
    else if (afterCwd != "stall")
        s.peer.send(afterCwd);
    s.ftp.setInactivityTimeout(300);
    s.connectToPeer();
    const int cd = s.ftp.cd("d");
    s.ftp.mkdir("never");
    QVERIFY(s.recorder.waitForDone(1, 5000));
    QCOMPARE(s.recorder.commandEvents().mid(2),
             QStringList({ ev("started", cd), ev("finished", cd, 1), "done 1" }));
    QCOMPARE(int(s.ftp.error()), error);
    QCOMPARE(s.ftp.errorString(), text);
    QCOMPARE(s.ftp.state(), QFtp::Unconnected);
}

void TestQFtp::refusedConnectDropsLogin()
{
    const quint16 closedPort = FtpTestServer::freePort(QStringLiteral("127.0.0.1"));
    QVERIFY(closedPort != 0);
    QFtp ftp;
    FtpSignalRecorder recorder(&ftp);
    const int connect = ftp.connectToHost(QStringLiteral("127.0.0.1"), closedPort);
    ftp.login("u", "p");
    QVERIFY(recorder.waitForDone(1, 5000));
    QCOMPARE(recorder.events,
             QStringList({ ev("started", connect), "state 1", "state 2", "state 0",
                           ev("finished", connect, 1), "done 1" }));
    QCOMPARE(ftp.error(), QFtp::ConnectionRefused);
    QCOMPARE(ftp.errorString(),
             QStringLiteral("Connecting to host failed:\nConnection refused to host 127.0.0.1"));
}

void TestQFtp::uploadFromUnreadableDevice()
{
    ClientSession s;
    QVERIFY(s.peer.listen());
    s.peer.send("220 hi\r\n");
    s.connectToPeer();
    QFile missing(QStringLiteral("/nonexistent/mirvo/file"));
    const int put = s.ftp.put(&missing, QStringLiteral("f"));
    QVERIFY(s.recorder.waitForDone(1, 5000));
    QCOMPARE(s.recorder.commandEvents().mid(2),
             QStringList({ ev("started", put), ev("finished", put, 1), "done 1" }));
    QVERIFY(
        s.ftp.errorString().startsWith("Uploading file failed:\nCannot read the data to upload"));
    QVERIFY(s.peer.receivedLines().isEmpty()); // no STOR for data that cannot be read
}

void TestQFtp::abortedUpload_data()
{
    QTest::addColumn<QByteArray>("replies");
    QTest::addColumn<QString>("error");
    QTest::newRow("426 then 226") << QByteArray("426 aborted\r\n226 ABOR ok\r\n")
                                  << "Uploading file failed:\naborted";
    // The server saw a plain close and stored a truncated file.
    QTest::newRow("226 then 225") << QByteArray("226 Transfer complete\r\n225 no transfer\r\n")
                                  << "Uploading file failed:\nUpload aborted (Transfer complete)";
    // One reply for both the transfer and ABOR.
    QTest::newRow("225 alone") << QByteArray("225 ABOR successful; data channel closed\r\n")
                               << "Uploading file failed:\nUpload aborted (ABOR successful; data "
                                  "channel closed)";
}

// An aborted upload fails whatever the server answers, and the reply to the
// next command is neither swallowed nor taken for the abort's.
void TestQFtp::abortedUpload()
{
    QFETCH(QByteArray, replies);
    QFETCH(QString, error);
    ClientSession s;
    QVERIFY(s.peer.listen());
    s.peer.send("220 hi\r\n")
        .reply("TYPE I", "200 ok\r\n")
        .acceptPassive("227 ok ({pasv})\r\n")
        .reply("ALLO", "202 not needed\r\n")
        .reply("STOR big", "150 go\r\n")
        .expect("ABOR")
        .send(replies)
        .reply("CWD next", "250 ok\r\n");
    bool aborted = false;
    connect(&s.ftp, &QFtp::dataTransferProgress, this, [&](qint64 done, qint64) {
        if (done > 0 && !aborted) {
            aborted = true;
            s.ftp.abort();
        }
    });
    s.connectToPeer();
    const int put = s.ftp.put(QByteArray(512 * 1024, 'x'), QStringLiteral("big"));
    QVERIFY(s.recorder.waitForDone(1, 5000));
    QCOMPARE(s.recorder.commandEvents().mid(2),
             QStringList({ ev("started", put), ev("finished", put, 1), "done 1" }));
    QCOMPARE(s.ftp.errorString(), error);
    const int cd = s.ftp.cd(QStringLiteral("next"));
    QVERIFY(s.recorder.waitForDone(2, 5000));
    QCOMPARE(s.recorder.commandEvents().mid(5),
             QStringList({ ev("started", cd), ev("finished", cd, 0), "done 0" }));
    QVERIFY2(s.peer.problems().isEmpty(), qPrintable(s.peer.problems().join('\n')));
}

// What the typed calls make of the server's replies: a size known, missing
// or not supported, which step of a rename was refused, the features listed.
void TestQFtp::typedOutcomes_data()
{
    QTest::addColumn<QueueCommand>("queue");
    QTest::addColumn<Exchanges>("exchanges");
    QTest::addColumn<bool>("failed");
    QTest::addColumn<QString>("outcome");
    const QueueCommand size = [](QFtp &f) {
        return f.size("f");
    };
    const QueueCommand rename = [](QFtp &f) {
        return f.rename("a", "b");
    };
    const QPair<QByteArray, QByteArray> type { "TYPE I", "200 ok\r\n" };
    QTest::newRow("size known") << size << Exchanges { type, { "SIZE f", "213 1234\r\n" } } << false
                                << "size 0 1234 213 1234";
    QTest::newRow("size, no such file")
        << size << Exchanges { type, { "SIZE f", "550 No such file.\r\n" } } << true
        << "size 1 -1 550 No such file.";
    QTest::newRow("size not supported")
        << size << Exchanges { type, { "SIZE f", "502 Not implemented\r\n" } } << true
        << "size 2 -1 502 Not implemented";
    QTest::newRow("size, busy") << size << Exchanges { type, { "SIZE f", "421 Too busy\r\n" } }
                                << true << "size 3 -1 421 Too busy";
    QTest::newRow("size, not a number")
        << size << Exchanges { type, { "SIZE f", "213 lots\r\n" } } << true << "size 3 -1 213 lots";
    QTest::newRow("size in the type in force")
        << QueueCommand([](QFtp &f) { return f.size("f", false); })
        << Exchanges { { "SIZE f", "213 7\r\n" } } << false << "size 0 7 213 7";
    QTest::newRow("renamed") << rename
                             << Exchanges { { "RNFR a", "350 go on\r\n" },
                                            { "RNTO b", "250 ok\r\n" } }
                             << false << "rename 0 250 ok";
    QTest::newRow("rename, RNFR refused")
        << rename << Exchanges { { "RNFR a", "502 no\r\n" } } << true << "rename 1 502 no";
    QTest::newRow("rename, RNTO refused")
        << rename << Exchanges { { "RNFR a", "350 go on\r\n" }, { "RNTO b", "553 exists\r\n" } }
        << true << "rename 2 553 exists";
    QTest::newRow("features") << QueueCommand([](QFtp &f) {
        return f.readFeatures();
    }) << Exchanges { { "FEAT", "211-Features:\r\n MDTM\r\n REST STREAM\r\n mfmt\r\n211 End\r\n" } }
                              << false << "features 1 1 1 0";
    QTest::newRow("no FEAT") << QueueCommand([](QFtp &f) { return f.readFeatures(); })
                             << Exchanges { { "FEAT", "500 what?\r\n" } } << false
                             << "features 0 0 0 0";
    QTest::newRow("modification time") << QueueCommand([](QFtp &f) {
        return f.setModificationTime("f", QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5), Qt::UTC));
    }) << Exchanges { { "MFMT 20260102030405 f", "213 Modify=20260102030405; f\r\n" } }
                                       << false << "";
}

void TestQFtp::typedOutcomes()
{
    QFETCH(QueueCommand, queue);
    QFETCH(Exchanges, exchanges);
    QFETCH(bool, failed);
    QFETCH(QString, outcome);
    ClientSession s;
    QVERIFY(s.peer.listen());
    s.peer.send("220 hi\r\n");
    for (const auto &exchange : exchanges)
        s.peer.reply(exchange.first, exchange.second);
    s.connectToPeer();
    const int id = queue(s.ftp);
    QVERIFY(s.recorder.waitForDone(1, 5000));
    QCOMPARE(s.recorder.commandEvents().mid(2),
             QStringList({ ev("started", id), ev("finished", id, failed),
                           QStringLiteral("done %1").arg(failed) }));
    QVERIFY2(s.peer.problems().isEmpty(), qPrintable(s.peer.problems().join('\n')));
    QString got;
    if (outcome.startsWith("size"))
        got = QStringLiteral("size %1 %2 %3")
                  .arg(s.ftp.fileSize().outcome)
                  .arg(s.ftp.fileSize().bytes)
                  .arg(s.ftp.lastReply().toString());
    else if (outcome.startsWith("rename"))
        got = QStringLiteral("rename %1 %2")
                  .arg(s.ftp.renameOutcome())
                  .arg(s.ftp.lastReply().toString());
    else if (outcome.startsWith("features"))
        got = QStringLiteral("features %1 %2 %3 %4")
                  .arg(s.ftp.hasFeature("MDTM"))
                  .arg(s.ftp.hasFeature("rest stream"))
                  .arg(s.ftp.hasFeature("MFMT"))
                  .arg(s.ftp.hasFeature("REST STREAMING"));
    QCOMPARE(got, outcome);
}

void TestQFtp::realServer_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("tls");
    const int py = FtpTestServer::PyFtpdlib, vs = FtpTestServer::Vsftpd;
    const int passive = QFtp::Passive, active = QFtp::Active;
    QTest::newRow("pyftpdlib IPv4 passive") << py << "127.0.0.1" << passive << 0;
    QTest::newRow("pyftpdlib IPv4 active") << py << "127.0.0.1" << active << 0;
    QTest::newRow("pyftpdlib IPv6 passive") << py << "::1" << passive << 0;
    QTest::newRow("pyftpdlib IPv6 active") << py << "::1" << active << 0;
    QTest::newRow("vsftpd IPv4 passive") << vs << "127.0.0.1" << passive << 0;
    QTest::newRow("vsftpd IPv4 active") << vs << "127.0.0.1" << active << 0;
    // TLS required, data connections resuming the control connection's session.
    const int explicitTls = QFtp::ExplicitTls, implicitTls = QFtp::ImplicitTls;
    QTest::newRow("vsftpd explicit TLS passive") << vs << "127.0.0.1" << passive << explicitTls;
    QTest::newRow("vsftpd explicit TLS active") << vs << "127.0.0.1" << active << explicitTls;
    QTest::newRow("vsftpd explicit TLS IPv6 passive") << vs << "::1" << passive << explicitTls;
    QTest::newRow("vsftpd explicit TLS IPv6 active") << vs << "::1" << active << explicitTls;
    QTest::newRow("vsftpd implicit TLS passive") << vs << "127.0.0.1" << passive << implicitTls;
}

// The whole command set against a real server, checking the signals of every
// command and the files on the server's disk.
void TestQFtp::realServer()
{
    QFETCH(int, kind);
    QFETCH(QString, address);
    QFETCH(int, mode);
    QFETCH(int, tls);
    SKIP_UNLESS_USABLE(kind);
    FtpTestServer server { FtpTestServer::Kind(kind) };
    FtpTestServer::Options options;
    options.address = address;
    options.tls = FtpTestServer::Tls(tls);
    QVERIFY2(server.start(options), qPrintable(server.errorString()));
    // The server's self-signed certificate is trusted by its pinned fingerprint.
    const auto useTls = [&](QFtp &client) {
        client.setTlsMode(QFtp::TlsMode(tls));
        client.setPinnedCertificate(QFtp::parseFingerprint(server.fingerprint()));
    };
    QDir root(server.root());
    QVERIFY(root.mkdir(QStringLiteral("existing")));
    writeFile(root.filePath(QStringLiteral("remote.txt")), "remote contents\n");

    // A wrong password fails the login and drops what follows.
    {
        QFtp wrong;
        useTls(wrong);
        FtpSignalRecorder recorder(&wrong);
        wrong.connectToHost(address, server.port());
        const int login = wrong.login(server.user(), QStringLiteral("wrong"));
        wrong.cd(QStringLiteral("existing"));
        QVERIFY(recorder.waitForDone(1, 15000));
        QCOMPARE(recorder.commandEvents().mid(2),
                 QStringList({ ev("started", login), ev("finished", login, 1), "done 1" }));
        QVERIFY(wrong.errorString().startsWith("Login failed:\n"));
    }

    QFtp ftp;
    useTls(ftp);
    FtpSignalRecorder recorder(&ftp);
    // Waits for the command and checks that it alone started and finished as expected.
    auto check = [&](int id, bool failure) {
        const int from = recorder.events.size();
        QString problem;
        if (!recorder.waitForDone()) {
            problem = QStringLiteral("no done");
        } else {
            QStringList commands;
            for (const QString &event : recorder.events.mid(from))
                if (!event.startsWith(QLatin1String("state"))
                    && !event.startsWith(QLatin1String("raw")))
                    commands << event;
            const QStringList want { ev("started", id), ev("finished", id, failure),
                                     QStringLiteral("done %1").arg(failure) };
            if (commands != want)
                problem = commands.join(QLatin1String(" | ")) + " / " + ftp.errorString();
        }
        return problem;
    };
#define RUN(call, failure)                                                                         \
    do {                                                                                           \
        const int id_ = (call);                                                                    \
        const QString problem_ = check(id_, failure);                                              \
        QVERIFY2(problem_.isEmpty(), qPrintable(QStringLiteral(#call ": ") + problem_));           \
    } while (false)

    ftp.connectToHost(address, server.port());
    ftp.login(server.user(), server.password());
    if (mode == QFtp::Active)
        ftp.setTransferMode(QFtp::Active);
    QVERIFY(recorder.waitForDone(1, 15000));
    QCOMPARE(ftp.state(), QFtp::LoggedIn);

    RUN(ftp.cd(QStringLiteral("existing")), false);
    RUN(ftp.cd(QStringLiteral("..")), false);
    RUN(ftp.cd(QStringLiteral("missing")), true);
    QVERIFY(ftp.errorString().startsWith("Changing directory failed:\n"));
    RUN(ftp.mkdir(QStringLiteral("made")), false);
    QVERIFY(root.exists(QStringLiteral("made")));
    RUN(ftp.mkdir(QStringLiteral("made")), true);
    RUN(ftp.list(), false);
    QCOMPARE(recorder.entries.value("existing", false), true);
    QCOMPARE(recorder.entries.value("made", false), true);
    QCOMPARE(recorder.entries.value("remote.txt", true), false);

    // Uploads: bytes, then files of 1 byte, 0 bytes and 64 MiB.
    RUN(ftp.put(QByteArray("from bytes\n"), QStringLiteral("bytes.txt")), false);
    QTemporaryDir local;
    const QList<int> sizes { 1, 0, 64 * 1024 * 1024 };
    for (int size : sizes) {
        const QString name = QStringLiteral("file%1.bin").arg(size);
        const QByteArray contents = pattern(size);
        writeFile(local.filePath(name), contents);
        QFile file(local.filePath(name));
        RUN(ftp.put(&file, name), false);
        QFile stored(root.filePath(name));
        QVERIFY(stored.open(QIODevice::ReadOnly));
        QVERIFY2(stored.readAll() == contents, qPrintable(name));
    }
    QFile bytesStored(root.filePath(QStringLiteral("bytes.txt")));
    QVERIFY(bytesStored.open(QIODevice::ReadOnly));
    QCOMPARE(bytesStored.readAll(), QByteArray("from bytes\n"));

    // A cut upload resumed where the server's copy ends (REST and STOR
    // where listed, APPE otherwise), its size read back, its time set
    // where the server has MFMT.
    RUN(ftp.readFeatures(), false);
    QVERIFY(ftp.hasFeature(QStringLiteral("SIZE")));
    // Plain connections only: over TLS, vsftpd now and then fails an
    // upload of a few MiB with 426 ("Failure reading network stream").
    if (tls == QFtp::NoTls) {
        const QByteArray whole = pattern(3 * 1024 * 1024 + 5);
        const QString wholeFile = local.filePath(QStringLiteral("whole.bin"));
        writeFile(wholeFile, whole);
        writeFile(local.filePath(QStringLiteral("part.bin")), whole.left(1000001));
        RUN(ftp.put(std::make_unique<QFile>(local.filePath(QStringLiteral("part.bin"))),
                    QStringLiteral("resumed.bin")),
            false);
        RUN(ftp.put(std::make_unique<QFile>(wholeFile), QStringLiteral("resumed.bin"), 1000001),
            false);
        QVERIFY(readFile(root.filePath(QStringLiteral("resumed.bin"))) == whole);
        RUN(ftp.size(QStringLiteral("resumed.bin")), false);
        QCOMPARE(ftp.fileSize().bytes, qint64(whole.size()));
        if (ftp.hasFeature(QStringLiteral("MFMT"))) {
            const QDateTime time(QDate(2021, 3, 4), QTime(5, 6, 7), Qt::UTC);
            RUN(ftp.setModificationTime(QStringLiteral("resumed.bin"), time), false);
            QCOMPARE(QFileInfo(root.filePath(QStringLiteral("resumed.bin"))).lastModified().toUTC(),
                     time);
        }
    }

    // Downloads: left in the client for readAll(), and into a device.
    RUN(ftp.get(QStringLiteral("remote.txt")), false);
    QCOMPARE(ftp.readAll(), QByteArray("remote contents\n"));
    QBuffer sink;
    sink.open(QIODevice::WriteOnly);
    RUN(ftp.get(QStringLiteral("file1.bin"), &sink), false);
    QCOMPARE(sink.data(), pattern(1));

    RUN(ftp.rename(QStringLiteral("bytes.txt"), QStringLiteral("renamed.txt")), false);
    QVERIFY(root.exists(QStringLiteral("renamed.txt")));
    RUN(ftp.remove(QStringLiteral("renamed.txt")), false);
    QVERIFY(!root.exists(QStringLiteral("renamed.txt")));
    RUN(ftp.rmdir(QStringLiteral("made")), false);
    QVERIFY(!root.exists(QStringLiteral("made")));

    const int raw = ftp.rawCommand(QStringLiteral("PWD"));
    QVERIFY(check(raw, false).isEmpty());
    QCOMPARE(recorder.events.filter(QStringLiteral("raw 257 ")).size(), 1);

    // An abort during a large upload ends it with an error; the connection
    // stays usable and the next reply is not swallowed.
    QFile big(local.filePath(QStringLiteral("file67108864.bin")));
    bool aborted = false;
    auto abortOnce = connect(&ftp, &QFtp::dataTransferProgress, this, [&](qint64 done, qint64) {
        if (!aborted && done > 1024 * 1024) {
            aborted = true;
            ftp.abort();
        }
    });
    const int put = ftp.put(&big, QStringLiteral("aborted.bin"));
    const int behind = ftp.mkdir(QStringLiteral("dropped by the abort"));
    Q_UNUSED(behind);
    QVERIFY(recorder.waitForDone());
    disconnect(abortOnce);
    QVERIFY(aborted);
    QVERIFY2(
        recorder.events.contains(ev("finished", put, 1)),
        qPrintable(recorder.events.mid(recorder.events.indexOf(ev("started", put))).join(" | ")));
    QVERIFY(!root.exists(QStringLiteral("dropped by the abort")));
    RUN(ftp.cd(QStringLiteral("existing")), false);

    // Close ends only once the connection is gone.
    const int from = recorder.events.size();
    const int close = ftp.close();
    QVERIFY(recorder.waitForDone());
    QCOMPARE(recorder.events.mid(from),
             QStringList({ ev("started", close), "state 5", "state 0", ev("finished", close, 0),
                           "done 0" }));

    const QStringList commands = server.commands();
    QVERIFY(commands.contains(QStringLiteral("ALLO 11")));
    if (tls != QFtp::NoTls) {
        const QStringList afterLogin { "PASS ****", "PBSZ 0", "PROT P" };
        QCOMPARE(commands.mid(commands.lastIndexOf("PASS ****"), 3), afterLogin);
        QCOMPARE(commands.first(), tls == QFtp::ExplicitTls ? "AUTH TLS" : "USER " + server.user());
    }
    if (mode == QFtp::Active)
        QVERIFY(!commands.filter(address == "::1" ? "EPRT |2|::1|" : "PORT 127,0,0,1,").isEmpty());
    else
        QVERIFY(commands.contains(address == "::1" ? "EPSV" : "PASV"));
#undef RUN
}

void TestQFtp::tlsSetupNeverHangs_data()
{
    QTest::addColumn<QByteArray>("afterAuth");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("text");
    QTest::newRow("silent handshake")
        << QByteArray("234 go ahead\r\n") << int(QFtp::ConnectionRefused)
        << "Connecting to host failed:\nConnection timed out to host 127.0.0.1";
    QTest::newRow("clear text behind the acceptance")
        << QByteArray("234 go ahead\r\n230 logged in\r\n") << int(QFtp::TlsFailed)
        << "Connecting to host failed:\nHost 127.0.0.1 sent unencrypted data after accepting "
           "TLS, connection closed";
    QTest::newRow("closed during the handshake")
        << QByteArray("234 go ahead\r\ndrop") << int(QFtp::TlsFailed)
        << "Connecting to host failed:\nTLS handshake with host 127.0.0.1 failed: ";
}

// The inactivity timeout covers the handshake, and a server cannot slip
// clear-text replies in behind its acceptance of TLS.
void TestQFtp::tlsSetupNeverHangs()
{
    QFETCH(QByteArray, afterAuth);
    QFETCH(int, error);
    QFETCH(QString, text);
    ClientSession s;
    QVERIFY(s.peer.listen());
    s.peer.send("220 hi\r\n").expect("AUTH TLS");
    if (afterAuth.endsWith("drop"))
        s.peer.send(afterAuth.chopped(4)).pause(100).dropConnection();
    else
        s.peer.send(afterAuth);
    s.ftp.setInactivityTimeout(300);
    s.ftp.setTlsMode(QFtp::ExplicitTls);
    const int connect = s.connectToPeer();
    QVERIFY(s.recorder.waitForDone(1, 5000));
    QCOMPARE(s.recorder.commandEvents(),
             QStringList({ ev("started", connect), ev("finished", connect, 1), "done 1" }));
    QCOMPARE(int(s.ftp.error()), error);
    QVERIFY2(s.ftp.errorString().startsWith(text), qPrintable(s.ftp.errorString()));
    QCOMPARE(s.peer.receivedCommands().value(0), QStringLiteral("AUTH TLS")); // then a TLS hello
}

QTEST_GUILESS_MAIN(TestQFtp)
#include "tst_qftp.moc"
