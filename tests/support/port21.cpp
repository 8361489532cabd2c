#include "port21.h"

#include <QHostAddress>
#include <QRandomGenerator>
#include <QTcpServer>

QString freeLoopbackAddress()
{
    QRandomGenerator *random = QRandomGenerator::global();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString address = QStringLiteral("127.%1.%2.%3")
                                    .arg(100 + random->bounded(100))
                                    .arg(random->bounded(256))
                                    .arg(2 + random->bounded(250));
        QTcpServer probe;
        if (probe.listen(QHostAddress(address), 21))
            return address;
    }
    return QString();
}

bool startOnPort21(FtpTestServer &server, FtpTestServer::Options options)
{
    // Another test may take the address between the probe and the start.
    for (int attempt = 0; attempt < 5; ++attempt) {
        options.address = freeLoopbackAddress();
        options.port = 21;
        if (!options.address.isEmpty() && server.start(options))
            return true;
    }
    return false;
}
