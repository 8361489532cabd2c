// What a cut costs: a large file (1 GiB by default) replacing an old copy on
// a pyftpdlib serving a RAM-backed folder (/dev/shm), sent by mirvo's server
// connection as a backup run sends it (to "latest" and to the dated folder,
// each through its temporary name), once uncut and once with the server
// resetting the first data connection at half the file, so that the
// connection logs in again and resumes where the server's copy ends. Beside
// it, curl doing the same with one copy: -T uncut, then -T cut at half and
// -C - to resume. The two ways take turns going first, round after round;
// the waits between attempts are left out (MIRVO_RETRY_SCALE=0), the new
// login is not.
//
//     upload_resume [MiB, default 1024] [rounds, default 3]
//
// Needs curl.

#include "benchsupport.h"

#include "hostfield.h"
#include "serverconnection.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>

namespace {

// A pyftpdlib for one upload: resetting the first data connection after
// `cutAt` bytes, when not 0.
struct Server
{
    QTemporaryDir served { QStringLiteral("/dev/shm/mirvo-bench-XXXXXX") };
    FtpTestServer server { FtpTestServer::PyFtpdlib };

    bool start(qint64 cutAt)
    {
        FtpTestServer::Options options;
        options.root = served.path();
        if (cutAt > 0)
            options.quirks
                = QStringList { QStringLiteral("--reset-after"), QString::number(cutAt) };
        QDir(served.path()).mkpath(QStringLiteral("site/latest"));
        QDir(served.path()).mkpath(QStringLiteral("site/dated"));
        for (const char *copy : { "site/latest/big.bin", "site/dated/big.bin" }) {
            QFile old(served.filePath(QLatin1String(copy)));
            if (!old.open(QIODevice::WriteOnly) || old.write("old") != 3)
                return false;
        }
        if (!server.start(options)) {
            std::fprintf(stderr, "pyftpdlib did not start: %s\n", qPrintable(server.errorString()));
            return false;
        }
        return true;
    }
};

// Seconds from the upload's start to its end; negative when it failed.
double connectionUpload(const Server &target, const QString &source)
{
    ServerConnection::Settings settings;
    settings.label = QStringLiteral("bench");
    settings.address = parseHostField(QStringLiteral("127.0.0.1:%1").arg(target.server.port()));
    settings.user = target.server.user();
    settings.password = target.server.password();
    settings.folders = QStringList { QStringLiteral("site") };
    settings.datedFolder = QStringLiteral("dated");
    ServerConnection connection(settings);
    QFtp *client = connection.client();
    QObject::connect(client, &QFtp::commandFinished, &connection,
                     [&connection](int, bool error) { connection.commandFinished(error); });
    QObject::connect(client, &QFtp::listInfo, &connection, &ServerConnection::listInfo);
    QObject::connect(client, &QFtp::done, &connection, &ServerConnection::done);
    QEventLoop loop;
    QElapsedTimer clock;
    double seconds = -1;
    QObject::connect(&connection, &ServerConnection::ready, &loop, [&] {
        clock.start();
        connection.upload(source, QStringLiteral("big.bin"));
    });
    QObject::connect(&connection, &ServerConnection::operationDone, &loop, [&] {
        if (!connection.uploadFailed())
            seconds = clock.nsecsElapsed() / 1e9;
        loop.quit();
    });
    QObject::connect(&connection, &ServerConnection::givenUp, &loop, &QEventLoop::quit);
    QObject::connect(&connection, &ServerConnection::errorLine, &loop,
                     [](const QString &line) { std::fprintf(stderr, "  %s\n", qPrintable(line)); });
    connection.start();
    loop.exec();
    const qint64 size = QFileInfo(source).size();
    for (const char *copy : { "site/latest/big.bin", "site/dated/big.bin" }) {
        if (QFileInfo(target.served.filePath(QLatin1String(copy))).size() != size)
            seconds = -1;
    }
    return seconds;
}

// curl's upload of one copy; cut: the first attempt fails half way, and
// -C - resumes it.
double curlUpload(const Server &target, const QString &source, bool cut)
{
    const QString url = QStringLiteral("ftp://%1:%2@127.0.0.1:%3/site/latest/big.bin")
                            .arg(target.server.user(), target.server.password())
                            .arg(target.server.port());
    QElapsedTimer clock;
    clock.start();
    QStringList arguments { QStringLiteral("curl"), QStringLiteral("-s"), QStringLiteral("-T"),
                            source, url };
    ChildResult first = runChild(arguments);
    if (cut) {
        if (first.exitCode == 0)
            return -1; // not cut
        first = runChild(arguments << QStringLiteral("-C") << QStringLiteral("-"));
    }
    const double seconds = clock.nsecsElapsed() / 1e9;
    const bool whole
        = QFileInfo(target.served.filePath(QStringLiteral("site/latest/big.bin"))).size()
        == QFileInfo(source).size();
    return first.exitCode == 0 && whole ? seconds : -1;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("MIRVO_RETRY_SCALE", "0");
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const QStringList arguments = app.arguments();
    const qint64 size = (arguments.size() > 1 ? arguments.at(1).toLongLong() : 1024) * 1024 * 1024;
    const int rounds = arguments.size() > 2 ? arguments.at(2).toInt() : 3;
    QTemporaryDir local(QDir::temp().filePath(QStringLiteral("mirvo-bench-XXXXXX")));
    const QString source = local.filePath(QStringLiteral("big.bin"));
    if (!writeSampleFile(source, size)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(source));
        return 1;
    }
    std::printf("%lld MiB, %d rounds, load %.2f\n", size >> 20, rounds, loadAverage());
    Range mirvoWhole, mirvoCut, curlWhole, curlCut;
    for (int round = 0; round < rounds; ++round) {
        std::fprintf(stderr, "round %d, load %.2f\n", round, loadAverage());
        for (int turn = 0; turn < 2; ++turn) {
            const bool cut = (turn + round) % 2 == 1;
            Server forMirvo;
            Server forCurl;
            if (!forMirvo.start(cut ? size / 2 : 0) || !forCurl.start(cut ? size / 2 : 0))
                return 1;
            const double mirvo = connectionUpload(forMirvo, source);
            const double curl = curlUpload(forCurl, source, cut);
            if (mirvo < 0 || curl < 0) {
                std::fprintf(stderr, "round %d: an upload failed (mirvo %.3f, curl %.3f)\n", round,
                             mirvo, curl);
                return 1;
            }
            if (cut && round == 0) {
                // What the resumed upload did not send again.
                const QStringList rest = forMirvo.server.commands().filter(QStringLiteral("REST "));
                std::printf("cut at byte %lld, resumed with %s\n", size / 2,
                            qPrintable(rest.join(QStringLiteral(", "))));
            }
            (cut ? mirvoCut : mirvoWhole).values.push_back(mirvo);
            (cut ? curlCut : curlWhole).values.push_back(curl);
        }
    }
    // mirvo sends two copies, of which the first is cut: the extra time is
    // set against one uncut copy.
    const double mirvoExtra = (mirvoCut.median() - mirvoWhole.median()) / (mirvoWhole.median() / 2);
    const double curlExtra = (curlCut.median() - curlWhole.median()) / curlWhole.median();
    std::printf("mirvo, 2 copies, uncut:          %s s (median %.3f)\n",
                qPrintable(mirvoWhole.text()), mirvoWhole.median());
    std::printf("mirvo, 2 copies, 1st cut, resumed: %s s (median %.3f)\n",
                qPrintable(mirvoCut.text()), mirvoCut.median());
    std::printf("curl, 1 copy, uncut:             %s s (median %.3f)\n",
                qPrintable(curlWhole.text()), curlWhole.median());
    std::printf("curl, 1 copy, cut, -C -:         %s s (median %.3f)\n", qPrintable(curlCut.text()),
                curlCut.median());
    std::printf("extra cost of the cut: mirvo %+.1f%% of one copy, curl %+.1f%%\n",
                100 * mirvoExtra, 100 * curlExtra);
    return 0;
}
