// A backup run over many unchanged entries: every entry is read from
// config.txt, found in the history, compared with its source's time and
// logged as not modified. Timed for 10,000 and 20,000 entries, so that a cost
// growing faster than the count shows in the ratio of the two, and for
// 10,000 entries whose paths all hold "<b>", which must cost what plain
// paths cost, and for 10,000 entries with a save folder whose "latest"
// holds a copy of each (an unchanged entry is skipped only once its copy
// is found there, of the source's size).
//
// Two measures per count: the window built in-process (loading, history,
// run, log view; the debug output discarded), and the real mirvo binary from
// its start until it logs "Exiting..." (debug output read through a pipe).

#include "mainwindow.h"
#include "testsupport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>
#include <memory>

namespace {

void discardMessages(QtMsgType, const QMessageLogContext &, const QString &) { }

// A working directory with `count` source files, each listed in config.txt
// and recorded in the history an hour after its last change. `marker` goes
// into the source folder's name and into every file name. With
// `saveFolder`, a save folder holds a copy of every file in its "latest".
bool prepare(const QString &dir, int count, const QString &marker, bool saveFolder)
{
    const QString sources = dir + "/src" + marker;
    QDir().mkpath(sources);
    QFile config(dir + "/config.txt");
    QFile history(dir + "/previous");
    if (!config.open(QIODevice::WriteOnly) || !history.open(QIODevice::WriteOnly))
        return false;
    QTextStream configOut(&config);
    QTextStream historyOut(&history);
    configOut << "winrar=/nonexistent\n";
    const QString saves = dir + "/saves";
    if (saveFolder) {
        QDir().mkpath(saves + "/latest");
        configOut << "path=" << saves << '\n';
    }
    const QString later = QDateTime::currentDateTime()
                              .addSecs(3600)
                              .toString(Qt::TextDate)
                              .replace(QLatin1Char(' '), QLatin1Char('_'));
    QMap<QString, QString> recorded;
    for (int i = 0; i < count; ++i) {
        const QString name
            = QStringLiteral("f%1%2.txt").arg(i, 6, 10, QLatin1Char('0')).arg(marker);
        const QString path = sources + "/" + name;
        QFile source(path);
        if (!source.open(QIODevice::WriteOnly))
            return false;
        source.write("x");
        if (saveFolder && !QFile::copy(path, saves + "/latest/" + name))
            return false;
        configOut << "file=" << path << ' ' << name << '\n';
        recorded.insert(path, later);
    }
    for (auto it = recorded.cbegin(); it != recorded.cend(); ++it)
        historyOut << it.key() << ' ' << it.value() << '\n';
    return true;
}

double inProcessSeconds(const QString &dir)
{
    const QString previous = QDir::currentPath();
    QDir::setCurrent(dir);
    const QtMessageHandler old = qInstallMessageHandler(discardMessages);
    QElapsedTimer timer;
    timer.start();
    auto window = std::make_unique<MainWindow>();
    const double seconds = timer.nsecsElapsed() / 1e9;
    window.reset();
    qInstallMessageHandler(old);
    QDir::setCurrent(previous);
    return seconds;
}

double binarySeconds(const QString &dir, int count)
{
    MirvoProcess mirvo(dir);
    QElapsedTimer timer;
    timer.start();
    if (!mirvo.start())
        return -1;
    const bool ended = mirvo.waitForLine(QStringLiteral("Exiting..."), 120000);
    const double seconds = timer.nsecsElapsed() / 1e9;
    const int skipped = mirvo.lines().filter(QStringLiteral("No modification for ")).size();
    mirvo.stop();
    return ended && skipped == count ? seconds : -1;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    struct Case
    {
        int count;
        QString marker;
        bool saveFolder;
    };
    const QList<Case> cases { { 10000, QString(), false },
                              { 20000, QString(), false },
                              { 10000, QStringLiteral("<b>"), false },
                              { 10000, QString(), true } };
    QList<double> inProcess;
    QList<double> binary;
    for (const Case &c : cases) {
        QTemporaryDir dir;
        if (!prepare(dir.path(), c.count, c.marker, c.saveFolder)) {
            std::fprintf(stderr, "cannot prepare %d entries\n", c.count);
            return 1;
        }
        inProcessSeconds(dir.path()); // warm the file system caches
        inProcess << inProcessSeconds(dir.path());
        binary << binarySeconds(dir.path(), c.count);
        const QByteArray label = c.saveFolder ? QByteArray(", a save folder holding every copy")
            : c.marker.isEmpty()              ? QByteArray()
                                              : (", \"" + c.marker + "\" in every path").toUtf8();
        std::printf("%6d unchanged entries%s: in-process %.3f s (%.1f us/entry), mirvo binary "
                    "%.3f s (%.1f us/entry)\n",
                    c.count, label.constData(), inProcess.last(), inProcess.last() * 1e6 / c.count,
                    binary.last(), binary.last() * 1e6 / c.count);
    }
    std::printf("20,000 / 10,000: in-process %.2f, mirvo binary %.2f (2.00 is linear)\n",
                inProcess.at(1) / inProcess.at(0), binary.at(1) / binary.at(0));
    std::printf("10,000 with \"<b>\" / 10,000 plain: in-process %.2f, mirvo binary %.2f "
                "(1.00 is the same cost)\n",
                inProcess.at(2) / inProcess.at(0), binary.at(2) / binary.at(0));
    return 0;
}
