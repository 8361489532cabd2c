// mirvo-archiver: a small command-line archiver that writes standard ZIP files.
//
//     mirvo-archiver a -ep1 -m5 [-r] [-xEXCLUDED ...] ARCHIVE PATH
//     mirvo-archiver x -o+ ARCHIVE FOLDER/
//     mirvo-archiver t ARCHIVE
//
// "a" adds PATH (a file, or a folder) to ARCHIVE, which then holds exactly
// PATH as it is now. "-r" takes subfolders too; without it only the folder's
// own files are taken. "-m5" is the best compression, "-m0" stores, and the
// levels between map onto deflate levels. "-x" followed by a path leaves that
// file, link or folder (with everything in it) out; the path is matched as
// written, no wildcards.
//
// "x -o+" extracts ARCHIVE into FOLDER, replacing what stands there under the
// members' names; "t" reads every member and checks it. Exit code 0 means
// success; any failure prints a message on stderr and exits with a non-zero
// code.

#include "archivewriter.h"
#include "extraction.h"
#include "messages.h"
#include "options.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

fs::path comparable(const fs::path &path)
{
    std::error_code ec;
    fs::path normal = fs::absolute(path, ec).lexically_normal();
    if (!normal.has_filename() && normal.has_parent_path() && normal != normal.root_path())
        normal = normal.parent_path();
    return normal;
}

bool fail(const std::string &message)
{
    std::fprintf(stderr, "mirvo-archiver: %s\n", message.c_str());
    return false;
}

namespace {

int usage(const std::string &why)
{
    std::fprintf(stderr,
                 "mirvo-archiver: %s\n"
                 "usage: mirvo-archiver a [-ep1] [-m0..-m5] [-r] [-xPATH ...] ARCHIVE PATH\n"
                 "       mirvo-archiver x -o+ ARCHIVE FOLDER/\n"
                 "       mirvo-archiver t ARCHIVE\n",
                 why.c_str());
    return UsageError;
}

const char *const commands
    = "the only commands are \"a\" (add), \"x -o+\" (extract, replacing what exists) and \"t\" "
      "(test)";

// Reads the switches of "a" into `options`; the other arguments are operands.
bool parseAddSwitch(const std::string &arg, Options &options)
{
    if (arg == "-r") {
        options.recurse = true;
    } else if (arg == "-ep1") {
        options.excludeBasePath = true;
    } else if (arg.size() == 3 && arg.compare(0, 2, "-m") == 0 && arg[2] >= '0' && arg[2] <= '5') {
        // From the fastest to the best level that still keeps up with the
        // disk; -m5 compresses as small as the best level of zlib.
        const int levels[] = { 0, 1, 3, 5, 6, 7 };
        const int method = arg[2] - '0';
        options.store = method == 0;
        options.level = levels[method];
    } else if (arg.size() > 2 && arg.compare(0, 2, "-x") == 0) {
        options.excluded.push_back(comparable(arg.substr(2)));
    } else {
        return false;
    }
    return true;
}

int run(int argc, char **argv)
{
    const std::string command = argc > 1 ? argv[1] : "";
    if (command != "a" && command != "x" && command != "t")
        return usage(commands);
    Options options;
    bool replace = false;
    std::vector<std::string> operands;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.size() < 2 || arg[0] != '-')
            operands.push_back(arg);
        else if (command == "x" && arg == "-o+")
            replace = true;
        else if (command != "a" || !parseAddSwitch(arg, options))
            return usage("unknown switch " + arg);
    }
    // Extraction always replaces; asking what to do with each file is no
    // way for a program to run it.
    if (command == "x" && !replace)
        return usage(commands);
    const size_t expected = command == "t" ? 1 : 2;
    if (operands.size() != expected)
        return usage(command == "t"       ? "expected exactly one archive"
                         : command == "x" ? "expected exactly one archive and one folder"
                                          : "expected exactly one archive and one path");
    if (command == "t")
        return testArchive(operands[0]);
    if (command == "x")
        return extractArchive(operands[0], operands[1]);
    options.archive = operands[0];
    options.source = operands[1];
    return addToArchive(options);
}

} // namespace

int main(int argc, char **argv)
{
    return run(argc, argv);
}
