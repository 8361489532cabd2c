#include "testsupport.h"

#include "qftp.h"
#include "qftppi.h"

#include <QBuffer>
#include <QTemporaryFile>
#include <QtTest>

#include <memory>

// The data transfer process, driven through its interpreter against a
// scripted peer: listings cut into lines, uploads and their progress,
// downloads with and without a device, data left over after the close.

namespace {

// A sequential source whose data the test hands in piece by piece.
class Pipe : public QIODevice
{
public:
    Pipe() { open(QIODevice::ReadOnly); }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return pending.size() + QIODevice::bytesAvailable(); }
    void feed(const QByteArray &bytes)
    {
        pending += bytes;
        emit readyRead();
    }
    void finish()
    {
        ended = true;
        emit readChannelFinished();
    }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        if (pending.isEmpty())
            return ended ? -1 : 0;
        const qint64 count = qMin<qint64>(maxSize, pending.size());
        memcpy(data, pending.constData(), size_t(count));
        pending.remove(0, int(count));
        return count;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray pending;
    bool ended = false;
};

} // namespace

class TestQFtpDTP : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void listingLines_data();
    void listingLines();
    void listingErrorLine();
    void listingLineTooLong();
    void uploadProgress_data();
    void uploadProgress();
    void shrinkingSourceFails_data();
    void shrinkingSourceFails();
    void downloadWithoutDevice();
    void sequentialSourceLosesNothing();
    void dataWithoutCommandIsClosed();
    void activeListenerAndSockets();
    void activeListingBeforeAccept();

private:
    void prepareUpload(InterpreterSession &s, const QString &source, const QByteArray &payload);

    QByteArray bytes;
    std::unique_ptr<QTemporaryFile> file;
    std::unique_ptr<QBuffer> buffer;
};

void TestQFtpDTP::listingLines_data()
{
    QTest::addColumn<QList<QByteArray>>("packets");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QByteArray>("residual");
    const QByteArray dir = "drwxr-xr-x 2 ftp ftp 4096 Jan 05  2021 folder\r\n";
    const QByteArray file = "-rw-r--r-- 1 ftp ftp   10 Jan 05  2021 file.txt\r\n";
    QTest::newRow("one packet") << QList<QByteArray> { "total 8\r\n" + dir + file }
                                << QStringList({ "folder", "file.txt" }) << QByteArray();
    QTest::newRow("split inside lines")
        << QList<QByteArray> { dir.left(10), dir.mid(10) + file.left(3), file.mid(3) }
        << QStringList({ "folder", "file.txt" }) << QByteArray();
    QTest::newRow("split inside line end")
        << QList<QByteArray> { dir.left(dir.size() - 1), "\n" + file }
        << QStringList({ "folder", "file.txt" }) << QByteArray();
    // The last line without a line end is never parsed: it stays readable.
    QTest::newRow("last line without end") << QList<QByteArray> { dir + file.trimmed() }
                                           << QStringList({ "folder" }) << file.trimmed();
    // More than the data socket holds unread at a time: it reads on as lines are taken.
    QByteArray many;
    QStringList manyNames;
    for (int i = 0; i < 3000; ++i) {
        many += "-rw-r--r-- 1 ftp ftp 10 Jan 05  2021 f" + QByteArray::number(i) + "\r\n";
        manyNames << "f" + QString::number(i);
    }
    QTest::newRow("beyond the read bound")
        << QList<QByteArray> { many } << manyNames << QByteArray();
}

void TestQFtpDTP::listingLines()
{
    QFETCH(QList<QByteArray>, packets);
    QFETCH(QStringList, names);
    QFETCH(QByteArray, residual);
    InterpreterSession s;
    QVERIFY(s.start());
    s.peer.acceptPassive("227 Entering Passive Mode ({pasv})\r\n").reply("LIST", "150 here\r\n");
    for (const QByteArray &packet : packets)
        s.peer.sendData(packet).pause(40);
    s.peer.closeData().send("226 done\r\n");
    QVERIFY(s.run({ "PASV\r\n", "LIST\r\n" }));
    QCOMPARE(s.recorder.errors, QStringList());
    QCOMPARE(s.recorder.names, names);
    QCOMPARE(s.dataProcess().bytesAvailable(), qint64(residual.size()));
    QCOMPARE(s.dataProcess().readAll(), residual);
    QCOMPARE(s.dataProcess().bytesAvailable(), 0);

    // The next passive connection starts without the old residue.
    if (!residual.isEmpty()) {
        s.peer.acceptPassive("227 again ({pasv})\r\n");
        s.peer.closeData().reply("NOOP", "200 ok\r\n");
        QVERIFY(s.run({ "PASV\r\n", "NOOP\r\n" }));
        QCOMPARE(s.dataProcess().bytesAvailable(), 0);
    }
}

void TestQFtpDTP::listingErrorLine()
{
    InterpreterSession s;
    QVERIFY(s.start());
    const QByteArray line = "ls: cannot access 'x': No such file or directory\r\n";
    s.peer.acceptPassive("227 ok ({pasv})\r\n")
        .reply("LIST x", "150 here\r\n")
        .sendData(line)
        .closeData()
        .send("226 done\r\n");
    QVERIFY(s.run({ "PASV\r\n", "LIST x\r\n" }));
    QCOMPARE(s.recorder.errors, QStringList({ QString::fromLatin1(line) }));
    QVERIFY(s.recorder.names.isEmpty());
}

void TestQFtpDTP::listingLineTooLong()
{
    InterpreterSession s;
    QVERIFY(s.start());
    s.peer.acceptPassive("227 ok ({pasv})\r\n")
        .reply("LIST", "150 here\r\n")
        .sendData("-rw-r--r-- 1 ftp ftp 10 Jan 05  2021 " + QByteArray(100 * 1024, 'n'))
        .pause(300)
        .send("226 done\r\n");
    QVERIFY(s.run({ "PASV\r\n", "LIST\r\n" }));
    QCOMPARE(s.recorder.errors,
             QStringList({ "Listing line longer than 65536 bytes, data connection closed" }));
    QCOMPARE(s.dataProcess().dataConnectionState(), QAbstractSocket::UnconnectedState);
}

void TestQFtpDTP::cleanup()
{
    buffer.reset();
    file.reset();
    bytes.clear();
}

void TestQFtpDTP::uploadProgress_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("source");
    QTest::addColumn<Progress>("expected");
    // An empty upload reports (0, total) once more when it ends; a non-empty
    // one never does, since its first report of bytes sent already counted.
    QTest::newRow("empty bytes") << QByteArray() << "bytes" << Progress { { 0, 0 }, { 0, 0 } };
    QTest::newRow("empty file") << QByteArray() << "file" << Progress { { 0, 0 }, { 0, 0 } };
    QTest::newRow("ten bytes") << QByteArray("0123456789") << "bytes"
                               << Progress { { 0, 10 }, { 10, 10 } };
    QTest::newRow("ten-byte file")
        << QByteArray("0123456789") << "file" << Progress { { 0, 10 }, { 10, 10 } };
    // A device that is not a plain file is read here, a chunk at a time.
    const QByteArray big(40000, 'b');
    QTest::newRow("three-chunk device")
        << big << "device"
        << Progress { { 0, 40000 }, { 16384, 40000 }, { 32768, 40000 }, { 40000, 40000 } };
}

// Hands the interpreter an upload of `payload` from bytes, a file or a
// device that is not a file (a buffer); the peer takes it as "f" and
// reports it stored.
void TestQFtpDTP::prepareUpload(InterpreterSession &s, const QString &source,
                                const QByteArray &payload)
{
    bytes = payload;
    if (source == "bytes") {
        s.pi.setUploadSource(&bytes);
    } else if (source == "file") {
        file.reset(new QTemporaryFile);
        QVERIFY(file->open());
        file->write(payload);
        file->seek(0);
        s.pi.setUploadSource(file.get());
    } else {
        buffer.reset(new QBuffer(&bytes));
        QVERIFY(buffer->open(QIODevice::ReadOnly));
        s.pi.setUploadSource(buffer.get());
    }
    s.pi.setTotalBytes(payload.size());
    s.peer.acceptPassive("227 ok ({pasv})\r\n")
        .reply("STOR f", "150 send it\r\n")
        .receiveData()
        .send("226 stored\r\n");
}

void TestQFtpDTP::uploadProgress()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, source);
    QFETCH(Progress, expected);
    InterpreterSession s;
    QVERIFY(s.start());
    prepareUpload(s, source, payload);
    QVERIFY(s.run({ "PASV\r\n", "STOR f\r\n" }));
    QCOMPARE(s.recorder.errors, QStringList());
    QCOMPARE(s.peer.receivedData(), payload);
    QCOMPARE(s.recorder.progress, expected);
}

void TestQFtpDTP::shrinkingSourceFails_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("size");
    QTest::newRow("file") << "file" << 32 * 1024 * 1024; // beyond what one turn sends
    QTest::newRow("device") << "device" << 40000;
}

// The source is cut to a quarter once the first bytes went out: the server
// would store a file that never existed, so the upload fails even though
// the server reports success.
void TestQFtpDTP::shrinkingSourceFails()
{
    QFETCH(QString, source);
    QFETCH(int, size);
    InterpreterSession s;
    QVERIFY(s.start());
    prepareUpload(s, source, QByteArray(size, 's'));
    bool shrunk = false;
    connect(&s.pi, &QFtpPI::dataTransferProgress, this, [&](qint64 done, qint64) {
        if (done > 0 && !shrunk) {
            shrunk = true;
            if (file)
                QVERIFY(file->resize(size / 4));
            else
                bytes.truncate(size / 4);
        }
    });
    QVERIFY(s.run({ "PASV\r\n", "STOR f\r\n" }));
    QVERIFY(shrunk);
    QCOMPARE(s.recorder.errors,
             QStringList({ "The data to upload could not be read whole (stored)" }));
    QVERIFY(s.peer.receivedData().size() < size);
}

void TestQFtpDTP::downloadWithoutDevice()
{
    InterpreterSession s;
    QVERIFY(s.start());
    s.pi.setTotalBytes(9);
    s.recorder.progress.clear();
    s.peer.acceptPassive("227 ok ({pasv})\r\n")
        .reply("RETR f", "150 go\r\n")
        .sendData("abcd")
        .pause(100)
        .sendData("efghi")
        .pause(100)
        .closeData()
        .send("226 sent\r\n");
    s.pi.sendCommands({ "PASV\r\n", "RETR f\r\n" });
    QTRY_COMPARE(s.recorder.readyReads, 1);
    QCOMPARE(s.recorder.progress.last(), qMakePair(qint64(4), qint64(9)));
    char two[2];
    QCOMPARE(s.dataProcess().read(two, 2), 2);
    QTRY_COMPARE(s.recorder.readyReads, 2);
    // Done counts what was read plus what waits in the socket.
    QCOMPARE(s.recorder.progress.last(), qMakePair(qint64(2 + 7), qint64(9)));
    QTRY_COMPARE(s.recorder.finishedCount, 2);
    // After the close the rest is served from what was left: read counts it,
    // readAll does not.
    QCOMPARE(s.dataProcess().bytesAvailable(), 7);
    char three[3];
    QCOMPARE(s.dataProcess().read(three, 3), 3);
    QCOMPARE(QByteArray(three, 3), QByteArray("cde"));
    QCOMPARE(s.dataProcess().readAll(), QByteArray("fghi"));
    QCOMPARE(s.dataProcess().bytesAvailable(), 0);
    QCOMPARE(s.recorder.dataStates.last(), int(QFtpDTP::DataClosed));
}

// Data a sequential source offers before this upload's connection stands
// must not go to the socket of an earlier transfer.
void TestQFtpDTP::sequentialSourceLosesNothing()
{
    InterpreterSession s;
    QVERIFY(s.start());
    // An earlier transfer leaves its (closed) data socket behind.
    QByteArray first("first");
    s.pi.setUploadSource(&first);
    s.peer.acceptPassive("227 ok ({pasv})\r\n")
        .reply("STOR a", "150 go\r\n")
        .receiveData()
        .send("226 ok\r\n");
    QVERIFY(s.run({ "PASV\r\n", "STOR a\r\n" }));
    QCOMPARE(s.peer.receivedData(), first);

    Pipe pipe;
    s.pi.setUploadSource(&pipe);
    s.pi.setTotalBytes(0);
    pipe.feed("early "); // before PASV: nothing may be read yet
    s.peer.openDataPort()
        .reply("TYPE I", "200 ok\r\n")
        .pause(50)
        .reply("PASV", "227 ok ({pasv})\r\n")
        .acceptData()
        .expect("STOR b")
        .pause(50)
        .send("150 go\r\n")
        .receiveData()
        .send("226 ok\r\n");
    s.pi.sendCommands({ "TYPE I\r\n", "PASV\r\n", "STOR b\r\n" });
    QTRY_COMPARE(s.peer.receivedLines().size(), 5); // TYPE I sent
    pipe.feed("bird "); // while the list runs, still before 150
    QTRY_VERIFY(!s.peer.receivedLines().isEmpty()
                && s.peer.receivedLines().last().startsWith("STOR"));
    pipe.feed("catches ");
    QTest::qWait(150); // the 150 has arrived by now
    pipe.feed("the worm");
    pipe.finish();
    QTRY_COMPARE(s.recorder.finishedCount, 3);
    QCOMPARE(s.recorder.errors, QStringList());
    QCOMPARE(s.peer.receivedData(), QByteArray("first") + "early bird catches the worm");
}

void TestQFtpDTP::dataWithoutCommandIsClosed()
{
    InterpreterSession s;
    QVERIFY(s.start());
    s.peer.acceptPassive("227 ok ({pasv})\r\n").pause(100).sendData("unexpected");
    QVERIFY(s.run({ "PASV\r\n" }));
    QTRY_VERIFY(s.recorder.dataStates.contains(QFtpDTP::DataClosed));
    QCOMPARE(s.dataProcess().dataConnectionState(), QAbstractSocket::UnconnectedState);
}

void TestQFtpDTP::activeListenerAndSockets()
{
    InterpreterSession s;
    QVERIFY(s.start());
    const int port = s.dataProcess().openListener(QHostAddress::LocalHost);
    QVERIFY(port > 0);
    QCOMPARE(s.dataProcess().openListener(QHostAddress::LocalHost), port);

    // Two active transfers: the first accepted socket is freed when the
    // second comes, instead of piling up for the life of the client.
    for (const QByteArray &name : { QByteArray("one"), QByteArray("two") }) {
        QByteArray payload = name;
        s.pi.setUploadSource(&payload);
        s.peer.expect("PORT 127,0,0,1,")
            .send("200 ok\r\n")
            .expect("STOR " + name)
            .connectData()
            .send("150 go\r\n")
            .receiveData()
            .send("226 ok\r\n");
        QVERIFY(s.run({ "PORT\r\n", "STOR " + name + "\r\n" }));
        QCOMPARE(s.recorder.errors, QStringList());
    }
    QCOMPARE(s.peer.receivedData(), QByteArray("onetwo"));
    QTRY_COMPARE(s.dataProcess().findChildren<QTcpSocket *>().size(), 1);
}

// A server that connects, sends the whole listing, closes, and only then
// sends 150 and 226 together: the connection still waits in the listener
// when the replies are read, and its data must not be lost.
void TestQFtpDTP::activeListingBeforeAccept()
{
    InterpreterSession s;
    QVERIFY(s.start());
    s.peer.expect("PORT 127,0,0,1,")
        .send("200 ok\r\n")
        .expect("LIST")
        .connectData()
        .sendData("-rw-r--r-- 1 ftp ftp 10 Jan 05  2021 early.txt\r\n")
        .closeData()
        .pause(50)
        .send("150 here\r\n226 done\r\n");
    QVERIFY(s.run({ "PORT\r\n", "LIST\r\n" }));
    QCOMPARE(s.recorder.errors, QStringList());
    QCOMPARE(s.recorder.names, QStringList({ "early.txt" }));
}

QTEST_GUILESS_MAIN(TestQFtpDTP)
#include "tst_qftpdtp.moc"
