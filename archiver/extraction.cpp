#include "extraction.h"
#include "archivereader.h"
#include "messages.h"
#include "safefolder.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Longest link target restored; a longer one is no link this system made.
const size_t maximumLinkTarget = 4096;

std::vector<std::string> split(const std::string &name, const char *separators)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= name.size()) {
        const size_t end = std::min(name.find_first_of(separators, start), name.size());
        parts.push_back(name.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// The components under which `name` is created, or false when the name
// would climb out of the folder: an absolute name, a drive letter, or a
// ".." component, with backslashes read as separators too, as archives made
// on other systems use them.
bool componentsOf(const std::string &name, std::vector<std::string> &components)
{
    if (name.empty() || name[0] == '/' || name[0] == '\\'
        || (name.size() > 1 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':'))
        return false;
    for (const std::string &part : split(name, "/\\"))
        if (part == "..")
            return false;
    components.clear();
    for (const std::string &part : split(name, "/"))
        if (!part.empty() && part != ".")
            components.push_back(part);
    return true;
}

bool writeAll(int fd, const char *data, size_t size, std::string &error)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0) {
            error = std::strerror(errno);
            return false;
        }
        data += written;
        size -= size_t(written);
    }
    return true;
}

// A descriptor closed when it goes out of scope.
struct Descriptor
{
    int fd = -1;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

class Extractor
{
public:
    int run(const std::string &archive, const std::string &path)
    {
        std::string error;
        if (!reader.open(archive, error)) {
            fail("cannot read " + archive + ": " + error);
            return Failure;
        }
        if (!folder.open(path, error)) {
            fail("cannot open " + path + ": " + error);
            return Failure;
        }
        for (zip_uint64_t index = 0; index < reader.count(); ++index) {
            Member member;
            if (!reader.describe(index, member, error))
                problem("cannot extract member " + std::to_string(index) + ": " + error);
            else
                extract(member);
        }
        settleFolders();
        return problems == 0 ? Success : Failure;
    }

private:
    struct FolderAttributes
    {
        std::string name;
        std::vector<std::string> components;
        mode_t mode;
        time_t modified;
    };

    void problem(const std::string &message)
    {
        fail(message);
        ++problems;
    }

    void extract(const Member &member)
    {
        std::vector<std::string> components;
        if (!componentsOf(member.name, components))
            return problem("refused " + member.name + ": its name climbs out of the folder");
        if (member.kind == Member::Other)
            return problem("refused " + member.name + ": not a file, folder or link");
        if (components.empty() && member.kind != Member::Folder)
            return problem("refused " + member.name + ": it names no file");
        const bool isFolder = member.kind == Member::Folder;
        Descriptor parent;
        std::string error;
        const size_t depth = isFolder ? components.size() : components.size() - 1;
        switch (folder.openFolder(components, depth, parent.fd, error)) {
        case SafeFolder::ThroughLink:
            return problem("refused " + member.name + ": " + error);
        case SafeFolder::Failed:
            return problem("cannot extract " + member.name + ": " + error);
        case SafeFolder::Done:
            break;
        }
        bool ok = true;
        if (isFolder)
            folders.push_back({ member.name, components, member.mode, member.modified });
        else if (member.kind == Member::Link)
            ok = extractLink(parent.fd, components.back(), member, error);
        else
            ok = extractFile(parent.fd, components.back(), member, error);
        if (!ok)
            problem("cannot extract " + member.name + ": " + error);
    }

    bool extractFile(int parent, const std::string &name, const Member &member, std::string &error)
    {
        if (!SafeFolder::clear(parent, name, error))
            return false;
        Descriptor file;
        file.fd = ::openat(parent, name.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (file.fd < 0) {
            error = std::strerror(errno);
            return false;
        }
        const bool whole = reader.read(
            member,
            [&](const char *data, size_t size, std::string &why) {
                return writeAll(file.fd, data, size, why);
            },
            error);
        if (!whole) {
            ::unlinkat(parent, name.c_str(), 0); // a damaged copy is no copy
            return false;
        }
        const timespec times[2] = { { 0, UTIME_OMIT }, { member.modified, 0 } };
        if (::fchmod(file.fd, member.mode) != 0 || ::futimens(file.fd, times) != 0
            || ::close(file.fd) != 0) {
            file.fd = -1;
            error = std::strerror(errno);
            return false;
        }
        file.fd = -1;
        return true;
    }

    bool extractLink(int parent, const std::string &name, const Member &member, std::string &error)
    {
        std::string target;
        const bool whole = reader.read(
            member,
            [&](const char *data, size_t size, std::string &why) {
                target.append(data, size);
                if (target.size() <= maximumLinkTarget)
                    return true;
                why = "the link's target is too long";
                return false;
            },
            error);
        if (!whole)
            return false;
        if (target.empty() || target.find('\0') != std::string::npos) {
            error = "the link's target is not a path";
            return false;
        }
        const timespec times[2] = { { 0, UTIME_OMIT }, { member.modified, 0 } };
        if (!SafeFolder::clear(parent, name, error)
            || ::symlinkat(target.c_str(), parent, name.c_str()) != 0
            || ::utimensat(parent, name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
            error = error.empty() ? std::strerror(errno) : error;
            return false;
        }
        return true;
    }

    // Folders get their modes and times last, deepest first, so that the
    // files written into them neither fail on a folder without write
    // permission nor change its time afterwards.
    void settleFolders()
    {
        std::stable_sort(folders.begin(), folders.end(),
                         [](const FolderAttributes &a, const FolderAttributes &b) {
                             return a.components.size() > b.components.size();
                         });
        for (const FolderAttributes &attributes : folders) {
            Descriptor handle;
            std::string error;
            if (folder.openFolder(attributes.components, attributes.components.size(), handle.fd,
                                  error)
                != SafeFolder::Done)
                continue; // already reported when the folder was made
            const timespec times[2] = { { 0, UTIME_OMIT }, { attributes.modified, 0 } };
            if (::fchmod(handle.fd, attributes.mode) != 0 || ::futimens(handle.fd, times) != 0)
                problem("cannot extract " + attributes.name + ": " + std::strerror(errno));
        }
    }

    ArchiveReader reader;
    SafeFolder folder;
    std::vector<FolderAttributes> folders;
    int problems = 0;
};

} // namespace

int extractArchive(const std::string &archive, const std::string &folder)
{
    Extractor extractor;
    return extractor.run(archive, folder);
}

int testArchive(const std::string &archive)
{
    ArchiveReader reader;
    std::string error;
    if (!reader.open(archive, error)) {
        fail("cannot read " + archive + ": " + error);
        return Failure;
    }
    const auto discard = [](const char *, size_t, std::string &) {
        return true;
    };
    int damaged = 0;
    for (zip_uint64_t index = 0; index < reader.count(); ++index) {
        Member member;
        if (!reader.describe(index, member, error)) {
            fail("damaged member " + std::to_string(index) + ": " + error);
            ++damaged;
        } else if (!reader.read(member, discard, error)) {
            fail("damaged " + member.name + ": " + error);
            ++damaged;
        }
    }
    return damaged == 0 ? Success : Failure;
}
