// Peak memory of the FTP client when a server floods it with one line that
// never ends: a reply line on the control connection, or a listing line on
// the data connection. Each client runs in a process of its own, whose peak
// resident memory /usr/bin/time reports; beside it in
// the same run: the same client's plain session (connect, login, LIST, QUIT)
// against pyftpdlib, and curl doing the same work against the same peers.
// Usage: reply_memory [megabytes of the flood, default 256]

#include "benchsupport.h"
#include "testsupport.h"

#include "qftp.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QTimer>

#include <cstdio>

namespace {

// A server that answers a login and a passive LIST, and floods one of them
// with a line of `floodBytes` bytes without a line end, paced by the socket
// so that the peer itself never holds more than a few MiB.
class FloodingPeer : public QObject
{
public:
    enum Target { ReplyLine, ListingLine, Greeting };

    FloodingPeer(Target target, qint64 floodBytes)
        : target(target)
        , toSend(floodBytes)
        , chunk(1024 * 1024, 'x')
    {
        control.listen(QHostAddress::LocalHost, 0);
        connect(&control, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *socket = control.nextPendingConnection();
            if (this->target == Greeting) {
                socket->write("220 ");
                flood(socket);
            } else {
                socket->write("220 flood test\r\n");
            }
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { answer(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        });
        connect(&data, &QTcpServer::newConnection, this, [this] {
            dataSocket = data.nextPendingConnection();
            if (listRequested)
                flood(dataSocket);
        });
    }

    quint16 port() const { return control.serverPort(); }

private:
    void answer(QTcpSocket *socket)
    {
        while (socket->canReadLine()) {
            const QByteArray line = socket->readLine().trimmed();
            const QByteArray verb = line.left(4).toUpper();
            if (verb == "USER" && target == ReplyLine) {
                socket->write("331 ");
                flood(socket);
            } else if (verb == "USER") {
                socket->write("331 password please\r\n");
            } else if (verb == "PASS") {
                socket->write("230 logged in\r\n");
            } else if (verb == "TYPE") {
                socket->write("200 ok\r\n");
            } else if (verb == "PASV" || verb == "EPSV") {
                if (!data.isListening())
                    data.listen(QHostAddress::LocalHost, 0);
                const quint16 p = data.serverPort();
                socket->write(verb == "PASV"
                                  ? QStringLiteral("227 passive (127,0,0,1,%1,%2)\r\n")
                                        .arg(p >> 8)
                                        .arg(p & 0xff)
                                        .toLatin1()
                                  : QStringLiteral("229 passive (|||%1|)\r\n").arg(p).toLatin1());
            } else if (verb == "LIST") {
                socket->write("150 here it comes\r\n");
                listRequested = true;
                if (dataSocket)
                    flood(dataSocket);
            } else if (verb == "QUIT") {
                socket->write("221 bye\r\n");
                socket->disconnectFromHost();
            } else {
                socket->write("500 not here\r\n");
            }
        }
    }

    void flood(QTcpSocket *socket)
    {
        sent = 0;
        auto more = [this, socket] {
            while (sent < toSend && socket->bytesToWrite() < 4 * chunk.size()) {
                const qint64 n = qMin<qint64>(chunk.size(), toSend - sent);
                socket->write(chunk.constData(), n);
                sent += n;
            }
        };
        connect(socket, &QTcpSocket::bytesWritten, this, more);
        more();
    }

    Target target;
    qint64 toSend;
    qint64 sent = 0;
    QByteArray chunk;
    QTcpServer control;
    QTcpServer data;
    QTcpSocket *dataSocket = nullptr;
    bool listRequested = false;
};

// The client side: connect, log in, list, quit. Exits 0 when every command
// succeeded, 1 when one failed (what a flooded client should do).
int clientMain(const QStringList &arguments)
{
    QFtp ftp;
    // A flooded listing fails on the server's final reply, which this peer
    // never sends: the wait is cut short, it is not what is measured.
    ftp.setInactivityTimeout(5000);
    ftp.connectToHost(arguments.at(0), quint16(arguments.at(1).toUInt()));
    ftp.login(arguments.at(2), arguments.at(3));
    ftp.list();
    ftp.close();
    return waitForDone(ftp) ? 0 : 1;
}

QString figure(const ChildResult &r)
{
    // A killed program's own figure is lost: /usr/bin/time sees only the killer's.
    if (r.exitCode == 137)
        return QStringLiteral("  killed after %1 s").arg(r.seconds, 0, 'f', 0);
    return QStringLiteral("%1 MiB (exit %2, %3 s)")
        .arg(r.peakKiB / 1024.0, 6, 'f', 1)
        .arg(r.exitCode)
        .arg(r.seconds, 0, 'f', 2);
}

void printRow(const char *what, const ChildResult &ours, const ChildResult &curl)
{
    std::printf("%-36s mirvo %-28s curl %s\n", what, qPrintable(figure(ours)),
                qPrintable(figure(curl)));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments();
    if (arguments.size() == 6 && arguments.at(1) == QLatin1String("--client"))
        return clientMain(arguments.mid(2));
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const qint64 megabytes = arguments.size() > 1 ? arguments.at(1).toLongLong() : 256;

    FtpTestServer server(FtpTestServer::PyFtpdlib);
    const auto runChild = [](const QStringList &arguments) {
        return ::runChild(arguments, 20);
    };
    if (!server.start()) {
        std::fprintf(stderr, "pyftpdlib did not start: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    const QString self = app.applicationFilePath();
    auto ours = [&](quint16 port, const QString &user, const QString &password) {
        return runChild({ self, QStringLiteral("--client"), QStringLiteral("127.0.0.1"),
                          QString::number(port), user, password });
    };
    auto curl = [&](quint16 port, const QString &user, const QString &password) {
        return runChild({ QStringLiteral("curl"), QStringLiteral("-s"), QStringLiteral("-o"),
                          QStringLiteral("/dev/null"), QStringLiteral("-u"),
                          user + QLatin1Char(':') + password,
                          QStringLiteral("ftp://127.0.0.1:%1/").arg(port) });
    };

    std::printf("flood: %lld MiB without a line end; peak resident memory of each client\n",
                megabytes);
    const ChildResult plain = ours(server.port(), server.user(), server.password());
    const ChildResult plainCurl = curl(server.port(), server.user(), server.password());
    printRow("plain session (pyftpdlib)", plain, plainCurl);

    const qint64 floodBytes = megabytes * 1024 * 1024;
    for (const auto target :
         { FloodingPeer::Greeting, FloodingPeer::ReplyLine, FloodingPeer::ListingLine }) {
        FloodingPeer first(target, floodBytes);
        const ChildResult flooded = ours(first.port(), QStringLiteral("u"), QStringLiteral("p"));
        FloodingPeer second(target, floodBytes);
        const ChildResult floodedCurl
            = curl(second.port(), QStringLiteral("u"), QStringLiteral("p"));
        static const char *const names[]
            = { "reply line to USER (goal < 48 MiB)", "listing line", "greeting" };
        printRow(names[target], flooded, floodedCurl);
    }
    return 0;
}
