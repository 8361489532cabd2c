#include "scriptedpeer.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QTcpSocket>

ScriptedPeer::ScriptedPeer(const QString &address, QObject *parent)
    : QObject(parent)
    , listenAddress(address)
{
    pauseTimer.setSingleShot(true);
    connect(&pauseTimer, &QTimer::timeout, this, [this] {
        pauseOver = true;
        advance();
    });
    connect(&control, &QTcpServer::newConnection, this, &ScriptedPeer::advance);
    connect(&data, &QTcpServer::newConnection, this, &ScriptedPeer::advance);
    add(Accept);
}

ScriptedPeer::~ScriptedPeer()
{
    for (QTcpSocket *socket : { controlSocket, dataSocket }) {
        if (socket) {
            socket->disconnect(this);
            socket->abort();
        }
    }
}

bool ScriptedPeer::listen()
{
    return control.listen(QHostAddress(listenAddress), 0);
}

ScriptedPeer &ScriptedPeer::add(Kind kind, const QByteArray &bytes, int milliseconds)
{
    steps.append(Step { kind, bytes, milliseconds });
    // Steps added while the script already waits at its end run at once.
    QTimer::singleShot(0, this, &ScriptedPeer::advance);
    return *this;
}

ScriptedPeer &ScriptedPeer::send(const QByteArray &bytes)
{
    return add(Send, bytes);
}

ScriptedPeer &ScriptedPeer::expect(const QByteArray &linePrefix)
{
    return add(Expect, linePrefix);
}

ScriptedPeer &ScriptedPeer::reply(const QByteArray &linePrefix, const QByteArray &bytes)
{
    expect(linePrefix);
    return send(bytes);
}

ScriptedPeer &ScriptedPeer::pause(int milliseconds)
{
    return add(Pause, {}, milliseconds);
}

ScriptedPeer &ScriptedPeer::dropConnection()
{
    return add(Drop);
}

ScriptedPeer &ScriptedPeer::acceptConnection()
{
    return add(Accept);
}

ScriptedPeer &ScriptedPeer::openDataPort()
{
    return add(OpenData);
}

ScriptedPeer &ScriptedPeer::closeDataPort()
{
    return add(CloseData);
}

ScriptedPeer &ScriptedPeer::acceptData()
{
    return add(AcceptData);
}

ScriptedPeer &ScriptedPeer::connectData()
{
    return add(ConnectData);
}

ScriptedPeer &ScriptedPeer::sendData(const QByteArray &bytes)
{
    return add(SendData, bytes);
}

ScriptedPeer &ScriptedPeer::closeData()
{
    return add(CloseDataConnection);
}

ScriptedPeer &ScriptedPeer::receiveData()
{
    return add(ReceiveData);
}

void ScriptedPeer::advance()
{
    if (running)
        return;
    running = true;
    collectLines();
    while (cursor < steps.size() && runStep(steps.at(cursor)))
        ++cursor;
    running = false;
}

ScriptedPeer &ScriptedPeer::acceptPassive(const QByteArray &reply)
{
    return openDataPort().reply("PASV", reply).acceptData();
}

QStringList ScriptedPeer::receivedCommands() const
{
    QStringList commands;
    for (const QByteArray &line : lines)
        commands << QString::fromLatin1(line.trimmed());
    return commands;
}

void ScriptedPeer::collectLines()
{
    if (!controlSocket)
        return;
    while (controlSocket->canReadLine()) {
        const QByteArray line = controlSocket->readLine();
        incoming.append(line);
        lines.append(line);
    }
}

QByteArray ScriptedPeer::expand(const QByteArray &bytes) const
{
    QByteArray text = bytes;
    const QByteArray p1 = QByteArray::number(lastDataPort >> 8);
    const QByteArray p2 = QByteArray::number(lastDataPort & 0xff);
    QByteArray host = QHostAddress(listenAddress).toString().toLatin1();
    host.replace('.', ',');
    text.replace("{pasv}", host + ',' + p1 + ',' + p2);
    text.replace("{p1}", p1);
    text.replace("{p2}", p2);
    text.replace("{port}", QByteArray::number(lastDataPort));
    return text;
}

void ScriptedPeer::watchDataSocket()
{
    connect(dataSocket, &QTcpSocket::connected, this, &ScriptedPeer::advance);
    connect(dataSocket, &QTcpSocket::readyRead, this,
            [this] { dataReceived += dataSocket->readAll(); });
    connect(dataSocket, &QTcpSocket::disconnected, this, [this] {
        dataReceived += dataSocket->readAll();
        advance();
    });
    connect(dataSocket, &QTcpSocket::errorOccurred, this, &ScriptedPeer::advance);
}

bool ScriptedPeer::runStep(const Step &step)
{
    switch (step.kind) {
    case Accept:
        if (!control.hasPendingConnections())
            return false;
        if (controlSocket) {
            controlSocket->disconnect(this);
            controlSocket->deleteLater();
        }
        controlSocket = control.nextPendingConnection();
        controlSocket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        incoming.clear();
        ++connections;
        connect(controlSocket, &QTcpSocket::readyRead, this, &ScriptedPeer::advance);
        connect(controlSocket, &QTcpSocket::disconnected, this, &ScriptedPeer::advance);
        return true;
    case Send:
        if (controlSocket)
            controlSocket->write(expand(step.bytes));
        else
            issues << QStringLiteral("send without a control connection");
        return true;
    case Expect: {
        if (incoming.isEmpty())
            return false;
        const QByteArray line = incoming.takeFirst();
        if (!line.startsWith(step.bytes)) {
            issues << QStringLiteral("expected %1, got %2")
                          .arg(QString::fromLatin1(step.bytes),
                               QString::fromLatin1(line.trimmed()));
        }
        return true;
    }
    case Pause:
        if (pauseOver) {
            pauseOver = false;
            return true;
        }
        if (!pauseTimer.isActive()) {
            if (controlSocket)
                controlSocket->flush();
            pauseTimer.start(step.milliseconds);
        }
        return false;
    case Drop:
        if (controlSocket)
            controlSocket->disconnectFromHost();
        return true;
    case OpenData:
        data.close();
        if (!data.listen(QHostAddress(listenAddress), 0))
            issues << QStringLiteral("cannot listen for data");
        lastDataPort = data.serverPort();
        return true;
    case CloseData:
        data.close();
        return true;
    case AcceptData:
        if (!data.hasPendingConnections())
            return false;
        if (dataSocket) {
            dataSocket->disconnect(this);
            dataSocket->deleteLater();
        }
        dataSocket = data.nextPendingConnection();
        watchDataSocket();
        dataReceived += dataSocket->readAll();
        return true;
    case ConnectData: {
        if (dataSocket && dataSocket->objectName() == QLatin1String("active")) {
            if (dataSocket->state() == QAbstractSocket::ConnectedState) {
                dataSocket->setObjectName(QString());
                return true;
            }
            if (dataSocket->state() != QAbstractSocket::UnconnectedState)
                return false;
            issues << QStringLiteral("cannot connect to the client's data port");
            return true;
        }
        static const QRegularExpression port(
            QStringLiteral("^PORT (\\d+),(\\d+),(\\d+),(\\d+),(\\d+),(\\d+)"));
        static const QRegularExpression eprt(QStringLiteral("^EPRT \\|\\d\\|([^|]+)\\|(\\d+)\\|"));
        QString host;
        quint16 number = 0;
        for (int i = lines.size() - 1; i >= 0 && host.isEmpty(); --i) {
            const QString line = QString::fromLatin1(lines.at(i));
            const QRegularExpressionMatch p = port.match(line);
            const QRegularExpressionMatch e = eprt.match(line);
            if (p.hasMatch()) {
                host = QStringList { p.captured(1), p.captured(2), p.captured(3), p.captured(4) }
                           .join(QLatin1Char('.'));
                number = quint16(p.captured(5).toUInt() * 256 + p.captured(6).toUInt());
            } else if (e.hasMatch()) {
                host = e.captured(1);
                number = quint16(e.captured(2).toUInt());
            }
        }
        if (host.isEmpty()) {
            issues << QStringLiteral("no PORT or EPRT line to connect to");
            return true;
        }
        if (dataSocket) {
            dataSocket->disconnect(this);
            dataSocket->deleteLater();
        }
        dataSocket = new QTcpSocket(this);
        dataSocket->setObjectName(QStringLiteral("active"));
        watchDataSocket();
        dataSocket->connectToHost(host, number);
        return false;
    }
    case SendData:
        if (dataSocket)
            dataSocket->write(step.bytes);
        else
            issues << QStringLiteral("sendData without a data connection");
        return true;
    case CloseDataConnection:
        if (dataSocket)
            dataSocket->disconnectFromHost();
        return true;
    case ReceiveData:
        if (!dataSocket)
            return true;
        dataReceived += dataSocket->readAll();
        return dataSocket->state() == QAbstractSocket::UnconnectedState;
    }
    return true;
}
