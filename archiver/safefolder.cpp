#include "safefolder.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool isLink(int folder, const std::string &name)
{
    struct stat status;
    return ::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0
        && S_ISLNK(status.st_mode);
}

int openChild(int folder, const std::string &name)
{
    return ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

} // namespace

SafeFolder::~SafeFolder()
{
    if (root >= 0)
        ::close(root);
}

bool SafeFolder::open(const std::string &path, std::string &error)
{
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    root = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0)
        error = std::strerror(errno);
    return root >= 0;
}

SafeFolder::Outcome SafeFolder::openFolder(const std::vector<std::string> &components, size_t count,
                                           int &folder, std::string &error) const
{
    folder = ::dup(root);
    if (folder < 0)
        error = std::strerror(errno);
    for (size_t i = 0; folder >= 0 && i < count; ++i) {
        const std::string &name = components[i];
        int child = openChild(folder, name);
        if (child < 0 && errno == ENOENT && ::mkdirat(folder, name.c_str(), 0777) == 0)
            child = openChild(folder, name);
        const int why = errno;
        if (child < 0 && isLink(folder, name)) {
            ::close(folder);
            error = "it passes through the link " + name;
            return ThroughLink;
        }
        ::close(folder);
        folder = child;
        if (child < 0)
            error = name + ": " + std::strerror(why);
    }
    return folder >= 0 ? Done : Failed;
}

bool SafeFolder::clear(int folder, const std::string &name, std::string &error)
{
    struct stat status;
    if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return true; // nothing there
    if (S_ISDIR(status.st_mode)) {
        error = "a folder of that name is in the way";
        return false;
    }
    if (::unlinkat(folder, name.c_str(), 0) != 0) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}
