#include "testsupport.h"

#include "qftp.h"
#include "qftppi.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

// The control connection interpreter against a scripted peer (for what real
// servers will not do) and against real servers, driven with raw command
// lists as the facade hands them over.

namespace {

const QByteArray unixListing = "total 8\r\n"
                               "drwxr-xr-x 2 ftp ftp 4096 Jan 05  2021 folder\r\n"
                               "-rw-r--r-- 1 ftp ftp   10 Jan 05  2021 file.txt\r\n";

} // namespace

class TestQFtpPI : public QObject
{
    Q_OBJECT

private slots:
    void greeting_data();
    void greeting();
    void replyAssembly_data();
    void replyAssembly();
    void loginSteps_data();
    void loginSteps();
    void heldTransferReply_data();
    void heldTransferReply();
    void replyToCwdIsNotHeld();
    void abortSwallowsSecondReply();
    void abortStateStartsAfreshOnNewConnection();
    void unrequestedReplyDropped();
    void epsvRefusedFallsBackToPasv();
    void activeModeOnIpv6AfterEprtRefused();
    void passiveAddressIsNotTrusted();
    void refusedDataConnectionEndsList();
    void shortEpsvReplyIsAnError();
    void refusalGoesOnOrStops();
    void oversizedReplies_data();
    void oversizedReplies();
    void connectionLost_data();
    void connectionLost();
    void silentServerTimesOut();
    void refusedConnect();
    void realServer_data();
    void realServer();
};

void TestQFtpPI::greeting_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QString>("text");
    QTest::newRow("plain") << QList<QByteArray> { "220 ready\r\n" } << "ready";
    QTest::newRow("120 first") << QList<QByteArray> { "120 in a minute\r\n", "220 now\r\n" }
                               << "now";
    QTest::newRow("multi-line") << QList<QByteArray> { "220-hello\r\n220-there\r\n220 end\r\n" }
                                << "hello\r\nthere\r\nend";
    QTest::newRow("split") << QList<QByteArray> { "220-hel", "lo\r\n220 e", "nd\r\n" }
                           << "hello\r\nend";
    QTest::newRow("bare code") << QList<QByteArray> { "220\r\n" } << "";
    QTest::newRow("noise first") << QList<QByteArray> { "\r\nxx\r\n999 no\r\n220 ok\r\n" } << "ok";
}

void TestQFtpPI::greeting()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QString, text);
    InterpreterSession s;
    QVERIFY(s.peer.listen());
    for (const QByteArray &chunk : chunks)
        s.peer.send(chunk).pause(30);
    s.pi.connectToHost(s.peer.address(), s.peer.port());
    QTRY_COMPARE(s.recorder.finishedCount, 1);
    QCOMPARE(s.recorder.events,
             QStringList({ "state 1", "state 2", "state 3", "reply 220 " + text,
                           "finished Connected to host 127.0.0.1" }));
    // No second finished() for the empty list after the greeting.
    QTest::qWait(50);
    QCOMPARE(s.recorder.finishedCount, 1);
}

void TestQFtpPI::replyAssembly_data()
{
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("three lines") << QList<QByteArray> { "230-one\r\n230-two\r\n230 three\r\n" }
                                 << 230 << "one\r\ntwo\r\nthree";
    QTest::newRow("line without marker") << QList<QByteArray> { "230-one\r\n two\r\n230 three\r\n" }
                                         << 230 << "one\r\n two\r\nthree";
    QTest::newRow("other code inside")
        << QList<QByteArray> { "230-one\r\n200 two\r\n230 three\r\n" } << 230
        << "one\r\n200 two\r\nthree";
    QTest::newRow("split in three reads")
        << QList<QByteArray> { "230-o", "ne\r\n230-two\r\n23", "0 three\r\n" } << 230
        << "one\r\ntwo\r\nthree";
    // Bad lines are dropped and the reader goes on with what it already has.
    QTest::newRow("bad lines before")
        << QList<QByteArray> { "ok\r\n600 no\r\n2x0 no\r\n250 yes\r\n" } << 250 << "yes";
    QTest::newRow("bare newline line end")
        << QList<QByteArray> { "250 lf only\n" } << 250 << "lf only\n";
}

void TestQFtpPI::replyAssembly()
{
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(int, code);
    QFETCH(QString, text);
    InterpreterSession s;
    QVERIFY(s.start());
    s.peer.expect("NOOP");
    for (const QByteArray &chunk : chunks)
        s.peer.send(chunk).pause(30);
    QVERIFY(s.pi.sendCommands({ "NOOP\r\n" }));
    QTRY_COMPARE(s.recorder.finishedCount, 2);
    QCOMPARE(s.recorder.replies.last(), qMakePair(code, text));
    QCOMPARE(s.recorder.events.last(), "finished " + text);
    QCOMPARE(s.recorder.errorCount, 0);
    QVERIFY2(s.peer.problems().isEmpty(), qPrintable(s.peer.problems().join('\n')));
}

void TestQFtpPI::loginSteps_data()
{
    QTest::addColumn<QByteArray>("userReply");
    QTest::addColumn<bool>("passSent");
    QTest::newRow("331 asks for PASS") << QByteArray("331 password please\r\n") << true;
    QTest::newRow("230 without PASS") << QByteArray("230 welcome\r\n") << false;
}

void TestQFtpPI::loginSteps()
{
    QFETCH(QByteArray, userReply);
    QFETCH(bool, passSent);
    InterpreterSession s;
    QVERIFY(s.start());
    s.peer.reply("USER me", userReply);
    if (passSent)
        s.peer.reply("PASS secret", "230 in\r\n");
    s.peer.reply("NOOP", "200 ok\r\n");
    QVERIFY(s.pi.sendCommands({ "USER me\r\n", "PASS secret\r\n", "NOOP\r\n" }));
    QTRY_COMPARE(s.recorder.finishedCount, 2);
    QVERIFY(s.recorder.events.contains("state 4"));
    QCOMPARE(s.peer.receivedCommands(),
             passSent ? QStringList({ "USER me", "PASS secret", "NOOP" })
                      : QStringList({ "USER me", "NOOP" }));
    QCOMPARE(s.recorder.errorCount, 0);
}

void TestQFtpPI::heldTransferReply_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("finalReply");
    QTest::newRow("226 to LIST") << QByteArray("LIST") << QByteArray("226 done\r\n");
    QTest::newRow("250 to RETR") << QByteArray("RETR f") << QByteArray("250 done\r\n");
}

// The transfer-complete reply comes before the data connection has closed:
// the list may end only when every byte has been taken.
void TestQFtpPI::heldTransferReply()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, finalReply);
    InterpreterSession s;
    QVERIFY(s.peer.listen());
    QBuffer sink;
    sink.open(QIODevice::WriteOnly);
    if (command.startsWith("RETR"))
        s.pi.setDownloadTarget(&sink);
    QVERIFY(s.greet());
    s.peer.acceptPassive("227 Entering Passive Mode ({pasv})\r\n")
        .reply(command, "150 here it comes\r\n")
        .send(finalReply)
        .pause(100)
        .sendData(unixListing)
        .pause(50)
        .closeData();
    QVERIFY(s.pi.sendCommands({ "PASV\r\n", QString::fromLatin1(command) + "\r\n" }));
    QTRY_COMPARE(s.recorder.finishedCount, 2);
    if (command.startsWith("RETR"))
        QCOMPARE(sink.data(), unixListing);
    else
        QCOMPARE(s.recorder.names, QStringList({ "folder", "file.txt" }));
    QCOMPARE(s.recorder.events.last(), "finished done");
    QCOMPARE(s.recorder.errorCount, 0);
}

void TestQFtpPI::replyToCwdIsNotHeld()
{
    // A 250 to anything but RETR ends the line at once, even while an
    // earlier data connection is still open.
    InterpreterSession s;
    QVERIFY(s.start());
    s.peer.acceptPassive("227 ok ({pasv})\r\n").reply("CWD x", "250 changed\r\n");
    QVERIFY(s.pi.sendCommands({ "PASV\r\n", "CWD x\r\n" }));
    QTRY_COMPARE(s.recorder.finishedCount, 2);
    QCOMPARE(s.dataProcess().dataConnectionState(), QAbstractSocket::ConnectedState);
}

void TestQFtpPI::abortSwallowsSecondReply()
{
    InterpreterSession s;
    QVERIFY(s.start());
    s.peer.expect("CWD slow").expect("ABOR").send("550 interrupted\r\n225 abort done\r\n");
    s.peer.reply("NOOP", "200 still here\r\n");
    QVERIFY(s.pi.sendCommands({ "CWD slow\r\n", "NOOP\r\n" }));
    QTRY_COMPARE(s.peer.receivedLines().size(), 1);
    s.pi.abort();
    s.pi.abort(); // no second ABOR
    // The abort dropped the NOOP: the refused CWD ends the list.
    QTRY_COMPARE(s.recorder.finishedCount, 2);
    QCOMPARE(s.recorder.ends().mid(1),
             QStringList({ "error 1 interrupted", "finished interrupted" }));
    // The reply to ABOR was swallowed; a new list is answered.
    QVERIFY(s.pi.sendCommands({ "NOOP\r\n" }));
    QTRY_COMPARE(s.recorder.finishedCount, 3);
    QCOMPARE(s.recorder.events.last(), "finished still here");
    QCOMPARE(s.peer.receivedCommands(), QStringList({ "CWD slow", "ABOR", "NOOP" }));
}

void TestQFtpPI::abortStateStartsAfreshOnNewConnection()
{
    InterpreterSession s;
    QVERIFY(s.start());
    s.peer.expect("CWD x").expect("ABOR").dropConnection().acceptConnection().send("220 again\r\n");
    QVERIFY(s.pi.sendCommands({ "CWD x\r\n" }));
    QTRY_COMPARE(s.peer.receivedLines().size(), 1);
    s.pi.abort();
    QTRY_VERIFY(s.recorder.events.contains("state 0"));
    s.pi.connectToHost(s.peer.address(), s.peer.port());
    QTRY_COMPARE(s.recorder.events.count("finished Connected to host 127.0.0.1"), 2);
}

void TestQFtpPI::unrequestedReplyDropped()
{
    InterpreterSession s;
    QVERIFY(s.start());
    const int before = s.recorder.events.size();
    s.peer.send("200 nobody asked\r\n").pause(100).reply("NOOP", "200 asked\r\n");
    QTest::qWait(80);
    QCOMPARE(s.recorder.events.size(), before);
    QVERIFY(s.pi.sendCommands({ "NOOP\r\n" }));
    QTRY_COMPARE(s.recorder.finishedCount, 2);
    QCOMPARE(s.recorder.events.mid(before), QStringList({ "reply 200 asked", "finished asked" }));
}

void TestQFtpPI::epsvRefusedFallsBackToPasv()
{
    InterpreterSession s(QStringLiteral("::1"));
    QVERIFY(s.start());
    // The 227 names an IPv4 address, but the data connection goes to the
    // control connection's s.peer (::1) with the reply's port: PASV works on IPv6.
    s.peer.openDataPort()
        .reply("EPSV", "500 what\r\n")
        .reply("PASV", "227 Entering Passive Mode (127,0,0,1,{p1},{p2})\r\n")
        .acceptData()
        .reply("LIST", "150 listing\r\n")
        .sendData(unixListing)
        .closeData()
        .send("226 done\r\n");
    QVERIFY(s.pi.sendCommands({ "PASV\r\n", "LIST\r\n" }));
    QTRY_COMPARE(s.recorder.finishedCount, 2);
    QCOMPARE(s.recorder.errorCount, 0);
    QVERIFY(!s.pi.usesExtendedDataCommands());
    QCOMPARE(s.recorder.names, QStringList({ "folder", "file.txt" }));
    QCOMPARE(s.peer.receivedCommands(), QStringList({ "EPSV", "PASV", "LIST" }));
}

void TestQFtpPI::activeModeOnIpv6AfterEprtRefused()
{
    InterpreterSession s(QStringLiteral("::1"));
    QVERIFY(s.start());
    s.peer.expect("EPRT |2|::1|").send("500 no EPRT here\r\n");
    QVERIFY(s.pi.sendCommands({ "PORT\r\n", "LIST\r\n" }));
    QTRY_COMPARE(s.recorder.errorCount, 1);
    QVERIFY(s.recorder.ends().last().startsWith("error 1 Active mode is not possible"));
    // The list has ended: a new one is taken.
    s.peer.reply("NOOP", "200 ok\r\n");
    QVERIFY(s.pi.sendCommands({ "NOOP\r\n" }));
    QTRY_COMPARE(s.recorder.finishedCount, 2);
}

void TestQFtpPI::passiveAddressIsNotTrusted()
{
    InterpreterSession s;
    QVERIFY(s.peer.listen());
    QBuffer sink;
    sink.open(QIODevice::WriteOnly);
    s.pi.setDownloadTarget(&sink);
    QVERIFY(s.greet());
    // A private address (NAT) or another host: only the port is used.
    s.peer.acceptPassive("227 Entering Passive Mode (10,99,0,7,{p1},{p2})\r\n")
        .reply("RETR f", "150 go\r\n")
        .sendData("payload")
        .closeData()
        .send("226 done\r\n");
    QVERIFY(s.pi.sendCommands({ "PASV\r\n", "RETR f\r\n" }));
    QTRY_COMPARE(s.recorder.finishedCount, 2);
    QCOMPARE(s.recorder.errorCount, 0);
    QCOMPARE(sink.data(), QByteArray("payload"));
}

void TestQFtpPI::refusedDataConnectionEndsList()
{
    InterpreterSession s;
    QVERIFY(s.start());
    s.peer.openDataPort().closeDataPort().reply("PASV", "227 Entering Passive Mode ({pasv})\r\n");
    QVERIFY(s.pi.sendCommands({ "PASV\r\n", "LIST\r\n" }));
    QTRY_COMPARE(s.recorder.errorCount, 1);
    QCOMPARE(s.recorder.ends().last(), "error 3 Connection refused for data connection");
    QTest::qWait(50);
    QCOMPARE(s.recorder.finishedCount, 1); // the list ended with the error alone
    // The interpreter no longer waits for that data connection.
    s.peer.reply("NOOP", "200 ok\r\n");
    QVERIFY(s.pi.sendCommands({ "NOOP\r\n" }));
    QTRY_COMPARE(s.recorder.finishedCount, 2);
    QCOMPARE(s.peer.receivedCommands(), QStringList({ "PASV", "NOOP" }));
}

void TestQFtpPI::shortEpsvReplyIsAnError()
{
    InterpreterSession s(QStringLiteral("::1"));
    QVERIFY(s.start());
    s.peer.reply("EPSV", "229 Entering Extended Passive Mode (|5|)\r\n");
    QVERIFY(s.pi.sendCommands({ "PASV\r\n", "LIST\r\n" }));
    QTRY_COMPARE(s.recorder.errorCount, 1);
    QVERIFY(s.recorder.ends().last().startsWith("error 1 Host ::1 sent an unusable reply to EPSV"));
    QTest::qWait(50);
    QCOMPARE(s.recorder.finishedCount, 1);
    QCOMPARE(s.peer.receivedCommands(), QStringList({ "EPSV" }));
}

// A refusal goes on with the list unless the one who got the error ended
// it; then nothing more is sent or reported for that list.
void TestQFtpPI::refusalGoesOnOrStops()
{
    InterpreterSession s;
    QVERIFY(s.start());
    s.peer.reply("SIZE f", "550 no size\r\n").reply("NOOP", "200 ok\r\n");
    QVERIFY(s.pi.sendCommands({ "SIZE f\r\n", "NOOP\r\n" }));
    QTRY_COMPARE(s.recorder.finishedCount, 2);
    QCOMPARE(s.recorder.ends().mid(1), QStringList({ "error 1 no size", "finished ok" }));

    // Now as the facade does: the list is cleared from the error signal and
    // the next list is handed over later, from the event loop.
    bool clearOnError = true;
    connect(&s.pi, QOverload<int, const QString &>::of(&QFtpPI::error), this, [&] {
        if (clearOnError)
            s.pi.clearPendingCommands();
    });
    s.peer.reply("CWD missing", "550 no such folder\r\n").reply("NOOP", "200 next\r\n");
    QVERIFY(s.pi.sendCommands({ "CWD missing\r\n", "NOOP\r\n" }));
    QTRY_COMPARE(s.recorder.errorCount, 2);
    QTest::qWait(50);
    QCOMPARE(s.recorder.finishedCount, 2); // no finished for the cleared list
    clearOnError = false;
    QVERIFY(s.pi.sendCommands({ "NOOP\r\n" }));
    QTRY_COMPARE(s.recorder.finishedCount, 3);
    QCOMPARE(s.recorder.events.last(), "finished next");
    QCOMPARE(s.peer.receivedCommands(), QStringList({ "SIZE f", "NOOP", "CWD missing", "NOOP" }));
}

void TestQFtpPI::oversizedReplies_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("error");
    QTest::newRow("line without end")
        << QByteArray(200 * 1024, 'x') << "Reply line longer than 65536 bytes";
    QTest::newRow("long line with end") << QByteArray("200 ") + QByteArray(70000, 'y') + "\r\n"
                                        << "Reply line longer than 65536 bytes";
    QByteArray many;
    for (int i = 0; i < 40000; ++i)
        many += "200-a line of a reply that never ends\r\n";
    QTest::newRow("endless multi-line reply") << many << "Reply longer than 1048576 bytes";
}

void TestQFtpPI::oversizedReplies()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, error);
    InterpreterSession s;
    QVERIFY(s.start());
    s.peer.expect("NOOP").send(bytes);
    QVERIFY(s.pi.sendCommands({ "NOOP\r\n" }));
    QTRY_COMPARE(s.recorder.errorCount, 1);
    QVERIFY2(s.recorder.ends().last().startsWith("error 1 " + error),
             qPrintable(s.recorder.ends().last()));
    QVERIFY(s.recorder.events.contains("state 0"));
}

void TestQFtpPI::connectionLost_data()
{
    QTest::addColumn<bool>("greeted");
    QTest::addColumn<QByteArray>("greeting");
    QTest::addColumn<QString>("error");
    QTest::newRow("during a command")
        << true << QByteArray() << "error 4 Connection closed by host 127.0.0.1";
    QTest::newRow("before the greeting")
        << false << QByteArray() << "error 3 Connection closed by host 127.0.0.1";
    QTest::newRow("after a refusing greeting")
        << false << QByteArray("421 too many users\r\n")
        << "error 3 Connection closed by host 127.0.0.1: too many users";
}

void TestQFtpPI::connectionLost()
{
    QFETCH(bool, greeted);
    QFETCH(QByteArray, greeting);
    QFETCH(QString, error);
    InterpreterSession s;
    QVERIFY(s.peer.listen());
    if (greeted) {
        QVERIFY(s.greet());
        s.peer.expect("CWD x").dropConnection();
        QVERIFY(s.pi.sendCommands({ "CWD x\r\n", "NOOP\r\n" }));
    } else {
        if (!greeting.isEmpty())
            s.peer.send(greeting);
        s.peer.pause(50).dropConnection();
        s.pi.connectToHost(s.peer.address(), s.peer.port());
    }
    QTRY_COMPARE(s.recorder.errorCount, 1);
    QCOMPARE(s.recorder.ends().last(), error);
    QCOMPARE(s.recorder.events.mid(s.recorder.events.size() - 2, 1), QStringList({ "state 0" }));
}

void TestQFtpPI::silentServerTimesOut()
{
    InterpreterSession s;
    QVERIFY(s.peer.listen());
    s.pi.setInactivityTimeout(300);
    QVERIFY(s.greet());
    s.peer.expect("NOOP"); // and then nothing
    QVERIFY(s.pi.sendCommands({ "NOOP\r\n" }));
    QTRY_COMPARE(s.recorder.errorCount, 1);
    QVERIFY2(s.recorder.ends().last().startsWith(
                 "error 4 Host 127.0.0.1 did not answer for 0.3 seconds"),
             qPrintable(s.recorder.ends().last()));
    QVERIFY(s.recorder.events.contains("state 0"));

    // Silence before the greeting is a connect that timed out.
    InterpreterSession mute;
    QVERIFY(mute.peer.listen());
    mute.pi.setInactivityTimeout(300);
    mute.pi.connectToHost(mute.peer.address(), mute.peer.port());
    QTRY_COMPARE(mute.recorder.errorCount, 1);
    QCOMPARE(mute.recorder.ends().last(), "error 3 Connection timed out to host 127.0.0.1");

    // Lines that trickle in without ending the reply do not hold the client:
    // neither a greeting nor a reply to a command.
    InterpreterSession slow, slowGreeting;
    QVERIFY(slow.peer.listen());
    QVERIFY(slowGreeting.peer.listen());
    slow.pi.setInactivityTimeout(300);
    slowGreeting.pi.setInactivityTimeout(300);
    QVERIFY(slow.greet());
    slow.peer.expect("NOOP");
    for (int i = 0; i < 20; ++i) {
        slow.peer.send("200-still going\r\n").pause(100);
        slowGreeting.peer.send("220-still going\r\n").pause(100);
    }
    QVERIFY(slow.pi.sendCommands({ "NOOP\r\n" }));
    slowGreeting.pi.connectToHost(slowGreeting.peer.address(), slowGreeting.peer.port());
    QTRY_COMPARE_WITH_TIMEOUT(slow.recorder.errorCount, 1, 1000);
    QVERIFY2(slow.recorder.ends().last().startsWith(
                 "error 4 Host 127.0.0.1 did not complete its reply within 0.3 seconds"),
             qPrintable(slow.recorder.ends().last()));
    QTRY_COMPARE_WITH_TIMEOUT(slowGreeting.recorder.errorCount, 1, 1000);
    QCOMPARE(slowGreeting.recorder.ends().last(), "error 3 Connection timed out to host 127.0.0.1");
}

void TestQFtpPI::refusedConnect()
{
    const quint16 closedPort = FtpTestServer::freePort(QStringLiteral("127.0.0.1"));
    QVERIFY(closedPort != 0);
    QFtpPI pi;
    FtpSignalRecorder recorder(&pi);
    pi.connectToHost(QStringLiteral("127.0.0.1"), closedPort);
    QTRY_COMPARE(recorder.errorCount, 1);
    QCOMPARE(recorder.events,
             QStringList({ "state 1", "state 2", "state 0",
                           "error 3 Connection refused to host 127.0.0.1" }));
    // A list offered now is refused at once.
    QVERIFY(pi.sendCommands({ "NOOP\r\n" }));
    QCOMPARE(recorder.ends().last(), "error 4 Not connected");
}

void TestQFtpPI::realServer_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("active");
    QTest::newRow("pyftpdlib IPv4 passive")
        << int(FtpTestServer::PyFtpdlib) << "127.0.0.1" << false;
    QTest::newRow("pyftpdlib IPv4 active") << int(FtpTestServer::PyFtpdlib) << "127.0.0.1" << true;
    QTest::newRow("pyftpdlib IPv6 passive") << int(FtpTestServer::PyFtpdlib) << "::1" << false;
    QTest::newRow("pyftpdlib IPv6 active") << int(FtpTestServer::PyFtpdlib) << "::1" << true;
    QTest::newRow("vsftpd IPv4 passive") << int(FtpTestServer::Vsftpd) << "127.0.0.1" << false;
    QTest::newRow("vsftpd IPv4 active") << int(FtpTestServer::Vsftpd) << "127.0.0.1" << true;
}

// Login, LIST with parsed entries, STOR from a buffer and from a 64 MiB
// file, RETR into a device, with the raw lists the facade would hand over.
void TestQFtpPI::realServer()
{
    QFETCH(int, kind);
    QFETCH(QString, address);
    QFETCH(bool, active);
    SKIP_UNLESS_USABLE(kind);
    FtpTestServer server { FtpTestServer::Kind(kind) };
    QVERIFY2(server.startOn(address), qPrintable(server.errorString()));
    QDir root(server.root());
    QVERIFY(root.mkdir(QStringLiteral("sub")));
    writeFile(root.filePath(QStringLiteral("hello.txt")), "hello\n");

    QFtpPI pi;
    FtpSignalRecorder recorder(&pi);
    pi.connectToHost(address, server.port());
    QTRY_COMPARE(recorder.finishedCount, 1);
    const QString mode = active ? QStringLiteral("PORT\r\n") : QStringLiteral("PASV\r\n");
    auto run = [&](const QStringList &commands) {
        const int before = recorder.finishedCount;
        const int errors = recorder.errorCount;
        if (!pi.sendCommands(commands))
            return false;
        if (!waitUntil([&] { return recorder.finishedCount > before; }, 60000)) {
            qWarning() << recorder.events;
            return false;
        }
        if (recorder.errorCount != errors)
            qWarning() << recorder.events;
        return recorder.errorCount == errors;
    };

    QVERIFY(run({ "USER " + server.user() + "\r\n", "PASS " + server.password() + "\r\n" }));
    QVERIFY(recorder.events.contains("state 4"));

    QVERIFY(run({ "TYPE A\r\n", mode, "LIST\r\n" }));
    recorder.names.sort();
    QCOMPARE(recorder.names, QStringList({ "hello.txt", "sub" }));

    QByteArray small("a small upload\n");
    pi.setUploadSource(&small);
    pi.setTotalBytes(small.size());
    QVERIFY(run({ "TYPE I\r\n", mode, "STOR small.txt\r\n" }));

    QTemporaryDir local;
    QFile big(local.filePath(QStringLiteral("big.bin")));
    QVERIFY(big.open(QIODevice::WriteOnly));
    QByteArray block(1024 * 1024, Qt::Uninitialized);
    for (int i = 0; i < block.size(); ++i)
        block[i] = char((i * 7) ^ (i >> 8));
    for (int i = 0; i < 64; ++i) {
        block[0] = char(i);
        big.write(block);
    }
    big.close();
    QVERIFY(big.open(QIODevice::ReadOnly));
    pi.setUploadSource(&big);
    pi.setTotalBytes(big.size());
    QVERIFY(run({ "TYPE I\r\n", mode, "STOR big.bin\r\n" }));
    big.close();
    QCOMPARE(QFileInfo(root.filePath("big.bin")).size(), big.size());
    QFile stored(root.filePath(QStringLiteral("big.bin")));
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QVERIFY(big.open(QIODevice::ReadOnly));
    QVERIFY(stored.readAll() == big.readAll());

    QBuffer sink;
    sink.open(QIODevice::WriteOnly);
    pi.setDownloadTarget(&sink);
    QVERIFY(run({ "TYPE I\r\n", mode, "RETR small.txt\r\n" }));
    QCOMPARE(sink.data(), small);

    const QStringList commands = server.commands();
    if (address == QLatin1String("::1")) {
        QVERIFY(commands.contains(active ? "EPRT" : "EPSV")
                || !commands.filter(active ? "EPRT |2|::1|" : "EPSV").isEmpty());
    } else {
        QVERIFY(!commands.filter(active ? "PORT 127,0,0,1," : "PASV").isEmpty());
    }
}

QTEST_GUILESS_MAIN(TestQFtpPI)
#include "tst_qftppi.moc"
