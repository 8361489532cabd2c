#ifndef SAFEFOLDER_H
#define SAFEFOLDER_H

#include <string>
#include <vector>

// A folder into which an archive's members are written without ever
// following a link: each component of a member's path is opened relative to
// the one before it with O_NOFOLLOW, so neither a link that the archive
// itself made nor one that was already there can lead a write outside.
class SafeFolder
{
public:
    enum Outcome { Done, ThroughLink, Failed };

    SafeFolder() = default;
    SafeFolder(const SafeFolder &) = delete;
    SafeFolder &operator=(const SafeFolder &) = delete;
    ~SafeFolder();

    // Opens `path` (which may itself be a link), creating it when missing.
    bool open(const std::string &path, std::string &error);

    // Opens the folder named by the first `count` components, creating those
    // that are missing; `folder` is then a descriptor for the caller to close.
    Outcome openFolder(const std::vector<std::string> &components, size_t count, int &folder,
                       std::string &error) const;

    // Makes room for a new file or link `name` in `folder`: removes a file or
    // link standing there; a folder standing there is an error.
    static bool clear(int folder, const std::string &name, std::string &error);

private:
    int root = -1;
};

#endif // SAFEFOLDER_H
