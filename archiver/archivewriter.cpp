// The "a" command. Entries are stored without the folders that lead to PATH
// (with -ep1): a file is stored under its own name, a folder under its own
// name followed by its contents.
//
// Links inside a folder are stored as links (Unix symlink entries holding
// the link's target), never followed: a link may lead back up the tree and
// make the walk endless. PATH itself is followed when it is a link.
//
// The archive always ends up holding exactly PATH as it is now: the new
// archive is written beside the old one and renamed over it only once it is
// complete, so deleted files never linger and a failed run leaves the old
// archive untouched.

#include "archivewriter.h"
#include "messages.h"

#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The name an entry is stored under: the path relative to `base`, which is
// the folder holding the source with -ep1, otherwise the file system root.
std::string entryName(const fs::path &file, const fs::path &base)
{
    return file.lexically_relative(base).generic_string();
}

class ArchiveWriter
{
public:
    explicit ArchiveWriter(const Options &options)
        : opts(options)
    { }
    ~ArchiveWriter()
    {
        if (archive)
            zip_discard(archive);
        if (!temporaryPath.empty()) {
            std::error_code ignored;
            fs::remove(temporaryPath, ignored);
        }
    }

    int run()
    {
        std::error_code ec;
        fs::path source = fs::path(opts.source).lexically_normal();
        if (source.has_filename() == false && source.has_parent_path())
            source = source.parent_path(); // "folder/" names the folder itself
        const fs::file_status status = fs::status(source, ec);
        if (ec || !fs::exists(status)) {
            fail("cannot find " + opts.source);
            return Failure;
        }

        const fs::path absoluteSource = fs::absolute(source, ec);
        const fs::path base
            = opts.excludeBasePath ? absoluteSource.parent_path() : absoluteSource.root_path();
        if (!open())
            return Failure;

        if (!fs::is_directory(status) && !fs::is_regular_file(status)) {
            fail("cannot archive " + opts.source + ": not a regular file");
            return Failure;
        }
        bool ok = true;
        if (fs::is_directory(status))
            ok = addFolder(absoluteSource, base);
        else
            ok = addFile(absoluteSource, base);
        if (!ok)
            return Failure;
        return commit();
    }

private:
    bool open()
    {
        std::error_code ec;
        targetPath = fs::absolute(opts.archive, ec);
        // A new file beside the target, so that the final rename stays on one
        // file system; libzip only creates it when the archive is closed.
        for (int attempt = 0; temporaryPath.empty() || fs::exists(temporaryPath, ec); ++attempt) {
            temporaryPath
                = (targetPath.parent_path()
                   / ("." + targetPath.filename().string() + "." + std::to_string(::getpid()) + "-"
                      + std::to_string(attempt) + ".tmp"))
                      .string();
        }

        int error = 0;
        archive = zip_open(temporaryPath.c_str(), ZIP_CREATE | ZIP_EXCL, &error);
        if (!archive) {
            zip_error_t ze;
            zip_error_init_with_code(&ze, error);
            fail("cannot create " + opts.archive + ": " + zip_error_strerror(&ze));
            zip_error_fini(&ze);
            return false;
        }
        return true;
    }

    bool addFolder(const fs::path &folder, const fs::path &base)
    {
        const zip_int64_t index
            = zip_dir_add(archive, (entryName(folder, base) + "/").c_str(), ZIP_FL_ENC_UTF_8);
        if (index < 0)
            return fail("cannot add " + folder.string() + ": " + zip_strerror(archive));
        // The folder's own mode and time, not libzip's default of 0777 and
        // the time of archiving: unzip would restore the first as a folder
        // anyone may write to.
        std::error_code ec;
        struct stat status;
        if (::stat(folder.c_str(), &status) == 0) {
            const zip_uint32_t mode = S_IFDIR | (zip_uint32_t(status.st_mode) & 07777);
            zip_file_set_external_attributes(archive, zip_uint64_t(index), 0, ZIP_OPSYS_UNIX,
                                             mode << 16);
            zip_file_set_mtime(archive, zip_uint64_t(index), status.st_mtime, 0);
        }
        std::vector<fs::directory_entry> entries;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
            entries.push_back(*it);
        if (ec)
            return fail("cannot read " + folder.string() + ": " + ec.message());
        std::sort(entries.begin(), entries.end()); // the same tree always gives the same archive
        for (const fs::directory_entry &entry : entries) {
            if (isExcluded(entry.path()))
                continue;
            // The entry itself, not what a link points to.
            std::error_code statError;
            const fs::file_status status = entry.symlink_status(statError);
            if (statError) {
                std::fprintf(stderr, "mirvo-archiver: skipping %s (%s)\n", entry.path().c_str(),
                             statError.message().c_str());
                continue;
            }
            bool ok = true;
            if (fs::is_symlink(status)) {
                ok = addLink(entry.path(), base);
            } else if (fs::is_directory(status)) {
                if (opts.recurse)
                    ok = addFolder(entry.path(), base);
            } else if (fs::is_regular_file(status)) {
                // An archive kept inside the folder it archives stays out.
                if (entry.path().filename() != targetPath.filename()
                    || !fs::equivalent(entry.path(), targetPath, statError))
                    ok = addFile(entry.path(), base);
            } else {
                // A pipe would block the walk; a device is no file to keep.
                std::fprintf(stderr, "mirvo-archiver: left out %s: not a regular file\n",
                             entry.path().c_str());
            }
            if (!ok)
                return false;
        }
        return true;
    }

    bool isExcluded(const fs::path &path) const
    {
        if (opts.excluded.empty())
            return false;
        const fs::path normal = path.lexically_normal();
        return std::find(opts.excluded.begin(), opts.excluded.end(), normal) != opts.excluded.end();
    }

    bool addFile(const fs::path &file, const fs::path &base)
    {
        // Fail now rather than at zip_close, with the file's own name in the message.
        if (std::FILE *probe = std::fopen(file.c_str(), "rb"))
            std::fclose(probe);
        else
            return fail("cannot read " + file.string() + ": " + std::strerror(errno));

        zip_source_t *data = zip_source_file(archive, file.c_str(), 0, -1);
        if (!data)
            return fail("cannot read " + file.string() + ": " + zip_strerror(archive));
        const zip_int64_t index = zip_file_add(archive, entryName(file, base).c_str(), data,
                                               ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
        if (index < 0) {
            zip_source_free(data);
            return fail("cannot add " + file.string() + ": " + zip_strerror(archive));
        }
        const zip_int32_t method = opts.store ? ZIP_CM_STORE : ZIP_CM_DEFLATE;
        if (zip_set_file_compression(archive, zip_uint64_t(index), method,
                                     opts.store ? 0 : zip_uint32_t(opts.level))
            < 0) {
            return fail("cannot compress " + file.string() + ": " + zip_strerror(archive));
        }
        return true;
    }

    // A link is stored as a Unix symlink entry: its target as the data, the
    // link type in the external attributes, as unzip restores it.
    bool addLink(const fs::path &link, const fs::path &base)
    {
        std::error_code ec;
        const std::string target = fs::read_symlink(link, ec).string();
        if (ec)
            return fail("cannot read " + link.string() + ": " + ec.message());
        // libzip reads the data at zip_close and frees it then.
        void *data = std::malloc(target.size() + 1);
        if (!data)
            return fail("out of memory");
        std::memcpy(data, target.c_str(), target.size() + 1);
        zip_source_t *source = zip_source_buffer(archive, data, target.size(), 1);
        if (!source) {
            std::free(data);
            return fail("cannot add " + link.string() + ": " + zip_strerror(archive));
        }
        const zip_int64_t index = zip_file_add(archive, entryName(link, base).c_str(), source,
                                               ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE);
        if (index < 0) {
            zip_source_free(source);
            return fail("cannot add " + link.string() + ": " + zip_strerror(archive));
        }
        const zip_uint32_t mode = S_IFLNK | 0777;
        struct stat status;
        if (::lstat(link.c_str(), &status) == 0)
            zip_file_set_mtime(archive, zip_uint64_t(index), status.st_mtime, 0);
        if (zip_set_file_compression(archive, zip_uint64_t(index), ZIP_CM_STORE, 0) < 0
            || zip_file_set_external_attributes(archive, zip_uint64_t(index), 0, ZIP_OPSYS_UNIX,
                                                mode << 16)
                < 0) {
            return fail("cannot add " + link.string() + ": " + zip_strerror(archive));
        }
        return true;
    }

    int commit()
    {
        if (zip_close(archive) < 0) {
            fail("cannot write " + opts.archive + ": " + zip_strerror(archive));
            return Failure;
        }
        archive = nullptr;
        std::error_code ec;
        fs::rename(temporaryPath, opts.archive, ec);
        if (ec) {
            fail("cannot replace " + opts.archive + ": " + ec.message());
            return Failure;
        }
        temporaryPath.clear();
        return Success;
    }

    const Options &opts;
    fs::path targetPath;
    zip_t *archive = nullptr;
    std::string temporaryPath;
};

} // namespace

int addToArchive(const Options &options)
{
    ArchiveWriter writer(options);
    return writer.run();
}
