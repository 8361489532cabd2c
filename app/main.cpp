#include "mainwindow.h"
#include "options.h"

#include <QApplication>

#include <cstdio>

namespace {

void print(FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
}

} // namespace

int main(int argc, char *argv[])
{
    const bool configurationOnly = isConfigurationOnlyBuild();
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const QString program
        = configurationOnly ? QStringLiteral("mirvo-config") : QStringLiteral("mirvo");

    const ProgramOptions options = parseProgramOptions(arguments);
    switch (options.action) {
    case ProgramOptions::ShowHelp:
        print(stdout, usageText(program, configurationOnly));
        return 0;
    case ProgramOptions::ShowVersion:
        print(stdout, program + QStringLiteral(" " MIRVO_VERSION "\n"));
        return 0;
    case ProgramOptions::Refuse:
        print(stderr,
              program + ": " + options.problem + "\n" + usageText(program, configurationOnly));
        return 2;
    case ProgramOptions::Run:
        break;
    }

    QString problem;
    if (!options.folder.isEmpty() && !enterFolder(options.folder, &problem)) {
        print(stderr, program + ": " + problem + "\n");
        return 2;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral(MIRVO_VERSION));
    QGuiApplication::setDesktopFileName(program);

    MainWindow *window = new MainWindow;
    window->show();
    return app.exec();
}
