#ifndef ARCHIVEREADER_H
#define ARCHIVEREADER_H

#include <zip.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include <sys/types.h>

// One member of an archive, as its central directory describes it.
struct Member
{
    enum Kind { File, Folder, Link, Other };

    zip_uint64_t index = 0;
    std::string name; // as stored, byte for byte
    Kind kind = File;
    mode_t mode = 0; // permission bits only
    time_t modified = 0;
    zip_uint64_t size = 0;
    zip_uint32_t crc = 0;
};

// Reads a ZIP archive member by member, checking each member's length and
// CRC-32 against the central directory while its bytes stream past; memory
// stays bounded whatever the members' sizes.
class ArchiveReader
{
public:
    ArchiveReader() = default;
    ArchiveReader(const ArchiveReader &) = delete;
    ArchiveReader &operator=(const ArchiveReader &) = delete;
    ~ArchiveReader();

    // Opens `path` and checks that each member's local header agrees with
    // the central directory; the members' bytes are checked as they are read.
    bool open(const std::string &path, std::string &error);
    zip_uint64_t count() const;
    bool describe(zip_uint64_t index, Member &member, std::string &error) const;

    // Hands the member's bytes to `sink` in pieces; false with the reason in
    // `error` when the member is damaged or `sink` failed (and said why).
    using Sink = std::function<bool(const char *data, size_t size, std::string &error)>;
    bool read(const Member &member, const Sink &sink, std::string &error) const;

private:
    zip_t *archive = nullptr;
};

#endif // ARCHIVEREADER_H
