#include "options.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

const QString dirOption = QStringLiteral("dir");
const QString userFolderOption = QStringLiteral("user-folder");
const QString unattendedOption = QStringLiteral("unattended");
const QString helpOption = QStringLiteral("help");
const QString versionOption = QStringLiteral("version");

} // namespace

ProgramOptions parseProgramOptions(const QStringList &arguments, bool configurationOnly)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOption({ dirOption, QString(), QStringLiteral("DIR") });
    parser.addOption({ userFolderOption, QString() });
    if (!configurationOnly)
        parser.addOption({ unattendedOption, QString() });
    parser.addOption({ { QStringLiteral("h"), helpOption }, QString() });
    parser.addOption({ versionOption, QString() });

    ProgramOptions options;
    // Known even when the rest of the line is refused: a scheduled run that
    // could not start is reported like any run that missed something.
    options.unattended = !configurationOnly
        && (arguments.contains(QStringLiteral("--unattended"))
            || arguments.contains(QStringLiteral("-unattended")));
    const auto refuse = [&options](const QString &problem) {
        options.action = ProgramOptions::Refuse;
        options.problem = problem;
        return options;
    };
    if (!parser.parse(arguments))
        return refuse(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return refuse(
            QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().first()));
    if (parser.isSet(helpOption)) {
        options.action = ProgramOptions::ShowHelp;
        return options;
    }
    if (parser.isSet(versionOption)) {
        options.action = ProgramOptions::ShowVersion;
        return options;
    }
    // A folder given twice would leave one of them silently unused.
    if (parser.values(dirOption).size() + (parser.isSet(userFolderOption) ? 1 : 0) > 1)
        return refuse(QStringLiteral("Give one folder only: --dir or --user-folder, once."));
    if (parser.isSet(dirOption)) {
        options.folder = parser.value(dirOption);
        if (options.folder.isEmpty())
            return refuse(QStringLiteral("--dir needs a folder."));
    }
    if (parser.isSet(userFolderOption))
        options.folder = perUserFolder();
    return options;
}

QString usageText(const QString &program, bool configurationOnly)
{
    QString text;
    if (configurationOnly) {
        text = QStringLiteral("Usage: %1 [--dir DIR | --user-folder]\n"
                              "Edits the Mirvo configuration (config.txt) of a folder.\n")
                   .arg(program);
    } else {
        text = QStringLiteral("Usage: %1 [--dir DIR | --user-folder] [--unattended]\n"
                              "Backs up what config.txt lists into its save folders and FTP\n"
                              "servers; without config.txt, opens the configuration window.\n")
                   .arg(program);
    }
    text += QStringLiteral("\nOptions:\n"
                           "  --dir DIR      work in DIR (config.txt, previous, mirvo.log),\n"
                           "                 created if needed; default: the working directory\n"
                           "  --user-folder  work in the per-user folder, %1\n")
                .arg(perUserFolder());
    if (!configurationOnly) {
        text += QStringLiteral(
            "  --unattended   back up without a window and exit: status 0 when\n"
            "                 everything was backed up, 1 when something will be\n"
            "                 tried again next run, 2 when no backup was made\n");
    }
    text += QStringLiteral("  -h, --help     show this help and exit\n"
                           "  --version      show the version and exit\n");
    return text;
}

QString perUserFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/mirvo");
}

bool enterFolder(const QString &folder, QString *problem)
{
    if (!QDir().mkpath(folder)) {
        *problem = QStringLiteral("Cannot create the folder %1.").arg(folder);
        return false;
    }
    if (!QDir::setCurrent(folder)) {
        *problem = QStringLiteral("Cannot work in the folder %1.").arg(folder);
        return false;
    }
    return true;
}
