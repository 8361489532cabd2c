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
#include "compressionpipeline.h"
#include "messages.h"
#include "zipcontainer.h"

#include <libdeflate.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Members this large get 64-bit sizes in their local header, which is
// written before their bytes are read: room for the file to grow meanwhile.
const uint64_t largeMember = uint64_t(1) << 31;

// The name an entry is stored under: the path relative to `base`, which is
// the folder holding the source with -ep1, otherwise the file system root.
std::string entryName(const fs::path &file, const fs::path &base)
{
    return file.lexically_relative(base).generic_string();
}

// The hint in the general purpose flags: maximum, normal, fast, super fast.
uint16_t levelFlags(int level)
{
    return level >= 7 ? 0x2 : level >= 4 ? 0 : level >= 2 ? 0x4 : 0x6;
}

// Up to `size` bytes; fewer only at the end of the file, -1 on an error.
ssize_t readBlock(int fd, uint8_t *data, size_t size)
{
    size_t got = 0;
    while (got < size) {
        const ssize_t read = ::read(fd, data + got, size - got);
        if (read < 0 && errno == EINTR)
            continue;
        if (read < 0)
            return -1;
        if (read == 0)
            break;
        got += size_t(read);
    }
    return ssize_t(got);
}

// A descriptor closed when it goes out of scope.
struct OpenFile
{
    int fd = -1;
    ~OpenFile()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

class ArchiveWriter
{
public:
    explicit ArchiveWriter(const Options &options)
        : opts(options)
    { }
    ~ArchiveWriter()
    {
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
        if (!fs::is_directory(status) && !fs::is_regular_file(status)) {
            fail("cannot archive " + opts.source + ": not a regular file");
            return Failure;
        }

        const fs::path absoluteSource = fs::absolute(source, ec);
        const fs::path base
            = opts.excludeBasePath ? absoluteSource.parent_path() : absoluteSource.root_path();
        if (!open())
            return Failure;
        const bool ok = fs::is_directory(status) ? addFolder(absoluteSource, base)
                                                 : addFile(absoluteSource, base, false);
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
        // file system.
        for (int attempt = 0; temporaryPath.empty() || fs::exists(temporaryPath, ec); ++attempt) {
            temporaryPath
                = (targetPath.parent_path()
                   / ("." + targetPath.filename().string() + "." + std::to_string(::getpid()) + "-"
                      + std::to_string(attempt) + ".tmp"))
                      .string();
        }
        if (!zip.create(temporaryPath)) {
            const std::string why = zip.errorString();
            temporaryPath.clear(); // not ours to remove
            return fail("cannot write " + opts.archive + ": " + why);
        }
        pipeline = std::make_unique<CompressionPipeline>(zip, opts.store ? 0 : opts.level);
        return true;
    }

    ZipEntry entryFor(const fs::path &path, const fs::path &base, const struct stat &status,
                      mode_t type)
    {
        ZipEntry entry;
        entry.name = entryName(path, base) + (type == S_IFDIR ? "/" : "");
        entry.mode = type | (type == S_IFLNK ? 0777 : (status.st_mode & 07777));
        entry.modified = status.st_mtime;
        entry.levelFlags = levelFlags(opts.level);
        return entry;
    }

    bool addFolder(const fs::path &folder, const fs::path &base)
    {
        struct stat status;
        if (::stat(folder.c_str(), &status) != 0)
            return fail("cannot read " + folder.string() + ": " + std::strerror(errno));
        if (!pipeline->addWhole(entryFor(folder, base, status, S_IFDIR), nullptr, true))
            return writeFailed();
        std::error_code ec;
        std::vector<fs::directory_entry> entries;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
            entries.push_back(*it);
        if (ec)
            return fail("cannot read " + folder.string() + ": " + ec.message());
        std::sort(entries.begin(), entries.end()); // the same tree always gives the same archive
        for (const fs::directory_entry &entry : entries) {
            if (!isExcluded(entry.path()) && !isOwnOutput(entry.path()) && !addEntry(entry, base))
                return false;
        }
        return true;
    }

    // An entry of a folder: the entry itself, not what a link points to.
    bool addEntry(const fs::directory_entry &entry, const fs::path &base)
    {
        std::error_code statError;
        const fs::file_status status = entry.symlink_status(statError);
        if (statError) {
            std::fprintf(stderr, "mirvo-archiver: skipping %s (%s)\n", entry.path().c_str(),
                         statError.message().c_str());
            return true;
        }
        if (fs::is_symlink(status))
            return addLink(entry.path(), base);
        if (fs::is_directory(status))
            return !opts.recurse || addFolder(entry.path(), base);
        if (fs::is_regular_file(status))
            return addFile(entry.path(), base, true);
        leftOut(entry.path());
        return true;
    }

    // A pipe would block the walk; a device is no file to keep.
    static void leftOut(const fs::path &path)
    {
        std::fprintf(stderr, "mirvo-archiver: left out %s: not a regular file\n", path.c_str());
    }

    bool isExcluded(const fs::path &path) const
    {
        if (opts.excluded.empty())
            return false;
        const fs::path normal = path.lexically_normal();
        return std::find(opts.excluded.begin(), opts.excluded.end(), normal) != opts.excluded.end();
    }

    // The archive, and the new one being written, inside the folder it archives.
    bool isOwnOutput(const fs::path &path) const
    {
        std::error_code ec;
        const fs::path name = path.filename();
        return (name == targetPath.filename() && fs::equivalent(path, targetPath, ec))
            || (name == fs::path(temporaryPath).filename()
                && fs::equivalent(path, temporaryPath, ec));
    }

    // Opened without blocking and without following a link inside a
    // folder; what turns out to be no regular file by then is left out.
    bool addFile(const fs::path &file, const fs::path &base, bool insideFolder)
    {
        OpenFile source;
        source.fd = ::open(file.c_str(),
                           O_RDONLY | O_NONBLOCK | O_CLOEXEC | (insideFolder ? O_NOFOLLOW : 0));
        struct stat status;
        if (source.fd < 0 || ::fstat(source.fd, &status) != 0)
            return fail("cannot read " + file.string() + ": " + std::strerror(errno));
        if (!S_ISREG(status.st_mode)) {
            leftOut(file);
            return true;
        }
        ::posix_fadvise(source.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        ZipEntry entry = entryFor(file, base, status, S_IFREG);
        entry.large = uint64_t(status.st_size) >= largeMember;
        return addContent(std::move(entry), source.fd, file);
    }

    // Reads the file block by block: a file that fits in one block is one
    // piece of work, a longer one a piece per block.
    bool addContent(ZipEntry entry, int fd, const fs::path &file)
    {
        const size_t blockSize = CompressionPipeline::blockSize;
        std::unique_ptr<Piece> piece = pipeline->takePiece();
        ssize_t got = readBlock(fd, piece->input.get(), blockSize);
        if (got < 0)
            return fail("cannot read " + file.string() + ": " + std::strerror(errno));
        piece->inputSize = size_t(got);
        uint32_t crc = libdeflate_crc32(0, piece->input.get(), size_t(got));
        if (size_t(got) < blockSize) {
            entry.crc = crc;
            entry.size = uint64_t(got);
            return pipeline->addWhole(std::move(entry), std::move(piece), got == 0)
                || writeFailed();
        }
        uint64_t total = 0;
        if (!pipeline->beginLong(std::move(entry), *piece))
            return writeFailed();
        while (got > 0) {
            total += uint64_t(got);
            if (!pipeline->addBlock(std::move(piece)))
                return writeFailed();
            piece = pipeline->takePiece();
            got = readBlock(fd, piece->input.get(), blockSize);
            piece->inputSize = size_t(std::max<ssize_t>(got, 0));
            crc = libdeflate_crc32(crc, piece->input.get(), piece->inputSize);
        }
        pipeline->givePieceBack(std::move(piece));
        if (got < 0)
            return fail("cannot read " + file.string() + ": " + std::strerror(errno));
        return pipeline->endLong(crc, total) || writeFailed();
    }

    // A link is stored as a Unix symlink entry: its target as the data, the
    // link type in the external attributes, as unzip restores it.
    bool addLink(const fs::path &link, const fs::path &base)
    {
        std::error_code ec;
        const std::string target = fs::read_symlink(link, ec).string();
        struct stat status;
        if (ec || ::lstat(link.c_str(), &status) != 0)
            return fail("cannot read " + link.string() + ": "
                        + (ec ? ec.message() : std::strerror(errno)));
        if (target.size() > CompressionPipeline::blockSize)
            return fail("cannot read " + link.string() + ": its target is too long");
        ZipEntry entry = entryFor(link, base, status, S_IFLNK);
        std::unique_ptr<Piece> piece = pipeline->takePiece();
        std::copy(target.begin(), target.end(), piece->input.get());
        piece->inputSize = target.size();
        entry.crc = libdeflate_crc32(0, target.data(), target.size());
        entry.size = target.size();
        return pipeline->addWhole(std::move(entry), std::move(piece), true) || writeFailed();
    }

    bool writeFailed()
    {
        return fail("cannot write " + opts.archive + ": " + pipeline->errorString());
    }

    int commit()
    {
        if (!pipeline->finish()) {
            writeFailed();
            return Failure;
        }
        pipeline.reset();
        if (!zip.close()) {
            fail("cannot write " + opts.archive + ": " + zip.errorString());
            return Failure;
        }
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
    std::string temporaryPath;
    ZipContainer zip;
    std::unique_ptr<CompressionPipeline> pipeline; // goes before the container it writes into
};

} // namespace

int addToArchive(const Options &options)
{
    ArchiveWriter writer(options);
    return writer.run();
}
