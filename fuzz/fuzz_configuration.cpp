// Feeds arbitrary bytes to the config.txt and previous loaders: the bytes up
// to the first NUL become config.txt, the rest previous. Loading must never
// crash; saving what the editor loaded and loading it again must give as
// many servers, save folders, entries and history keys as the first load,
// and the same history values.
#include "mainwindow.h"
#include "mainwindowinspector.h"
#include "scratchdirectory.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// Only the loaders and savers run: nothing is created in the save folders
// and no archiver is started, whatever the input names.
bool isConfigurationOnlyBuild()
{
    return true;
}

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) { }

// Loads both files into emptied lists and counts what they gave, as the
// editor does (it keeps entries whose source is missing, and every line it
// cannot use); its rows are emptied first, so that none pile up.
std::array<int, 6> loadAndCount(MainWindowInspector inspector)
{
    inspector.configurationMode() = true;
    inspector.reset();
    for (int list = 0; list < 5; ++list)
        inspector.listWidget(list)->clear();
    inspector.load();
    inspector.read();
    return { int(inspector.entries(0).size()),    int(inspector.entries(1).size()),
             int(inspector.entries(2).size()),    int(inspector.ftps().size()),
             int(inspector.saveFolders().size()), int(inspector.history().size()) };
}

void writeFile(const char *name, const char *data, size_t size)
{
    QFile file(QString::fromLatin1(name));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        abort();
    file.write(data, qint64(size));
}

// Both live until the process ends, so that nothing they hold is reported
// as leaked at exit.
QApplication *application = nullptr;
MainWindow *window = nullptr;
// The program works in its working directory; the fuzzer's own paths (its
// corpus, its crash files) are relative to the directory it started in, so
// each run goes there and back.
QString workingDirectory;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("LC_ALL", "C.UTF-8");
    qInstallMessageHandler(quiet);
    application = new QApplication(*argc, *argv);
    static QTemporaryDir dir;
    workingDirectory = dir.path();
    const CurrentDirectory scratch(workingDirectory);
    if (!scratch.isEntered())
        abort();
    window = new MainWindow;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const CurrentDirectory scratch(workingDirectory);
    if (!scratch.isEntered())
        abort();
    const char *bytes = reinterpret_cast<const char *>(data);
    const uint8_t *separator = static_cast<const uint8_t *>(memchr(data, 0, size));
    const size_t configurationSize = separator ? size_t(separator - data) : size;
    writeFile("config.txt", bytes, configurationSize);
    if (separator)
        writeFile("previous", bytes + configurationSize + 1, size - configurationSize - 1);
    else
        QFile::remove(QStringLiteral("previous"));

    MainWindowInspector inspector { window };
    // A backup's load, which leaves missing sources out, must not crash either.
    inspector.configurationMode() = false;
    inspector.reset();
    inspector.load();
    const std::array<int, 6> first = loadAndCount(inspector);
    const QMap<QString, QDateTime> history = inspector.history();
    inspector.save();
    // Every history value goes back as it was read, so it reads back the same.
    if (loadAndCount(inspector) != first || inspector.history() != history)
        abort();
    return 0;
}
