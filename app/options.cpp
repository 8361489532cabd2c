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
const QString versionsOption = QStringLiteral("versions");
const QString restoreOption = QStringLiteral("restore");
const QString allOption = QStringLiteral("all");
const QString dayOption = QStringLiteral("day");
const QString fromOption = QStringLiteral("from");
const QString toOption = QStringLiteral("to");
const QString replaceOption = QStringLiteral("replace");
const QString verifyOption = QStringLiteral("verify");
const QString verifyShareOption = QStringLiteral("verify-share");
const QString restoreWindowOption = QStringLiteral("restore-window");

// The options of --versions and --restore; every one but --from is
// --restore's alone. Empty when the command line holds them rightly.
QString readRestoreOptions(const QCommandLineParser &parser, ProgramOptions *options)
{
    const bool versions = parser.isSet(versionsOption);
    const bool restore = parser.isSet(restoreOption);
    if (versions && restore)
        return QStringLiteral("Give --versions or --restore, not both.");
    const QStringList restoreOnly { allOption, dayOption, toOption, replaceOption };
    for (const QString &name : restoreOnly) {
        if (!restore && parser.isSet(name))
            return QStringLiteral("--%1 goes with --restore.").arg(name);
    }
    if (!versions && !restore) {
        if (parser.isSet(fromOption))
            return QStringLiteral("--from goes with --versions or --restore.");
        return QString();
    }
    if (parser.isSet(unattendedOption))
        return QStringLiteral(
            "--unattended backs up; it does not go with --versions or --restore.");
    for (const QString &name : { dayOption, fromOption, toOption }) {
        if (parser.values(name).size() > 1)
            return QStringLiteral("Give --%1 once.").arg(name);
        if (parser.isSet(name) && parser.value(name).isEmpty())
            return QStringLiteral("--%1 needs a value.").arg(name);
    }
    RestoreOptions &asked = options->restore;
    asked.names = parser.positionalArguments();
    asked.all = parser.isSet(allOption);
    asked.from = parser.value(fromOption);
    asked.intoFolder = parser.value(toOption);
    asked.replace = parser.isSet(replaceOption);
    const QString day = parser.value(dayOption);
    if (!day.isEmpty() && day != QLatin1String("latest")) {
        asked.day = QDate::fromString(day, QStringLiteral("yyyy-MM-dd"));
        if (!asked.day.isValid())
            return QStringLiteral("--day takes latest or a day as YYYY-MM-DD, not '%1'.").arg(day);
    }
    if (restore && asked.all == !asked.names.isEmpty())
        return QStringLiteral("--restore needs the names of the entries to restore, or --all.");
    options->action = versions ? ProgramOptions::ListVersions : ProgramOptions::Restore;
    return QString();
}

// --verify, with --verify-share (which alone means --verify too) and
// --unattended; never beside --versions or --restore. Empty when the
// command line holds them rightly.
QString readVerifyOptions(const QCommandLineParser &parser, ProgramOptions *options)
{
    const bool share = parser.isSet(verifyShareOption);
    if (!parser.isSet(verifyOption) && !share)
        return QString();
    if (parser.isSet(versionsOption) || parser.isSet(restoreOption))
        return QStringLiteral("Give --verify, --versions or --restore, one of them.");
    if (share) {
        const QStringList values = parser.values(verifyShareOption);
        bool whole = false;
        const int percent = values.first().toInt(&whole);
        if (values.size() > 1)
            return QStringLiteral("Give --verify-share once.");
        if (!whole || percent < 1 || percent > 100)
            return QStringLiteral(
                       "--verify-share takes a whole percentage from 1 to 100, not '%1'.")
                .arg(values.first());
        options->verify.sharePercent = percent;
    }
    options->verify.unattended = options->unattended;
    options->action = ProgramOptions::Verify;
    return QString();
}

} // namespace

ProgramOptions parseProgramOptions(const QStringList &arguments, bool configurationOnly)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOption({ dirOption, QString(), QStringLiteral("DIR") });
    parser.addOption({ userFolderOption, QString() });
    if (!configurationOnly)
        parser.addOption({ unattendedOption, QString() });
    if (!configurationOnly) {
        parser.addOption({ versionsOption, QString() });
        parser.addOption({ restoreOption, QString() });
        parser.addOption({ allOption, QString() });
        parser.addOption({ dayOption, QString(), QStringLiteral("DAY") });
        parser.addOption({ fromOption, QString(), QStringLiteral("DESTINATION") });
        parser.addOption({ toOption, QString(), QStringLiteral("FOLDER") });
        parser.addOption({ replaceOption, QString() });
        parser.addOption({ verifyOption, QString() });
        parser.addOption({ verifyShareOption, QString(), QStringLiteral("PERCENT") });
        parser.addOption({ restoreWindowOption, QString() });
    }
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
    const bool restoring
        = !configurationOnly && (parser.isSet(versionsOption) || parser.isSet(restoreOption));
    if (!restoring && !parser.positionalArguments().isEmpty())
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
    if (configurationOnly)
        return options;
    const QString verifyProblem = readVerifyOptions(parser, &options);
    if (!verifyProblem.isEmpty())
        return refuse(verifyProblem);
    const QString restoreProblem = readRestoreOptions(parser, &options);
    if (!restoreProblem.isEmpty())
        return refuse(restoreProblem);
    if (!configurationOnly && parser.isSet(restoreWindowOption)) {
        if (options.action != ProgramOptions::Run || options.unattended)
            return refuse(
                QStringLiteral("--restore-window goes alone, with --dir or --user-folder."));
        options.action = ProgramOptions::OpenRestoreWindow;
    }
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
                              "       %1 [--dir DIR | --user-folder] --versions [--from "
                              "DESTINATION] [NAME...]\n"
                              "       %1 [--dir DIR | --user-folder] --restore NAME... | --all\n"
                              "          [--day latest|YYYY-MM-DD] [--from DESTINATION] [--to "
                              "FOLDER] [--replace]\n"
                              "       %1 [--dir DIR | --user-folder] --verify [--verify-share "
                              "PERCENT] [--unattended]\n"
                              "       %1 [--dir DIR | --user-folder] --restore-window\n"
                              "Backs up what config.txt lists into its save folders and FTP\n"
                              "servers; without config.txt, opens the configuration window.\n"
                              "Each save folder keeps the newest copy of every entry in latest/\n"
                              "and what changed on a day in a folder named after that day.\n")
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
            "                 tried again next run, 2 when no backup was made\n"
            "  --versions     list the copies kept of each entry (or of each NAME):\n"
            "                 name, day, save folder or server, size in bytes,\n"
            "                 source path, tab-separated, newest first\n"
            "  --restore      bring back the entries NAME... (backup names), or --all\n"
            "                 of config.txt, to where they came from; exit status 0\n"
            "                 when all came back checked, 1 when one did not, 2 when\n"
            "                 there is nothing to restore from\n"
            "  --day DAY      latest (the default): the newest copy; YYYY-MM-DD: the\n"
            "                 copy as it was on that day\n"
            "  --from DESTINATION  a save folder of config.txt, a server of it by\n"
            "                 its host, or any save folder (also without config.txt);\n"
            "                 default: the first that holds the copy, the save\n"
            "                 folders of config.txt in their order, then its servers\n"
            "  --to FOLDER    restore inside FOLDER, under the source's own name\n"
            "  --replace      replace what stands at the target (otherwise an entry\n"
            "                 whose target exists is not restored)\n"
            "  --verify       read back every copy kept in the save folders and on the\n"
            "                 servers and check it against its index (size, SHA-256,\n"
            "                 an archive's members); changes nothing; exit status 0\n"
            "                 when all is sound, 1 when something was found, 2 when\n"
            "                 it could not run. A damaged copy in latest/ is sent\n"
            "                 again by the next backup\n"
            "  --verify-share PERCENT  verify about PERCENT of the bytes kept, the\n"
            "                 copies checked longest ago (or never) first\n"
            "  --restore-window  open the restore window: the versions kept of each\n"
            "                 entry, brought back to where they came from or into\n"
            "                 another folder\n");
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
