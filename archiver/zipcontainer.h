#ifndef ZIPCONTAINER_H
#define ZIPCONTAINER_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

// What the archive records of one member besides its bytes.
struct ZipEntry
{
    enum Method : uint16_t { Stored = 0, Deflated = 8 };

    std::string name;
    Method method = Stored;
    uint16_t levelFlags = 0; // the deflate level's hint in the general purpose flags
    time_t modified = 0;
    uint32_t mode = 0; // Unix type and permission bits
    bool large = false; // sizes may pass 4 GiB: the local header carries 64-bit sizes

    // Known once the member's bytes are written.
    uint32_t crc = 0;
    uint64_t size = 0;
    uint64_t compressedSize = 0;
    uint64_t offset = 0; // of the local header
};

// Writes a ZIP file front to back: for each member a local header and its
// bytes, at the end the central directory, with ZIP64 records wherever a
// size, an offset or the number of members passes what the classic fields
// hold. A member whose sizes are known only after its bytes gets them
// written into its local header afterwards, so the archive needs no data
// descriptors. Only the central directory's fixed part of each member and
// its name are kept in memory.
class ZipContainer
{
public:
    ZipContainer() = default;
    ZipContainer(const ZipContainer &) = delete;
    ZipContainer &operator=(const ZipContainer &) = delete;
    ~ZipContainer();

    // Creates `path`, which must not exist.
    bool create(const std::string &path);

    // Writes the member's local header; with `sizesKnown` false, its CRC and
    // sizes follow in finishMember().
    bool beginMember(ZipEntry entry, bool sizesKnown);
    bool write(const void *data, size_t size);
    bool finishMember(uint32_t crc, uint64_t size, uint64_t compressedSize);

    // Writes the central directory and closes the file.
    bool close();
    const std::string &errorString() const { return error; }

private:
    bool flush();
    bool patch(uint64_t offset, const std::vector<uint8_t> &bytes);
    bool writeCentralDirectory();
    bool fail(const std::string &why);

    int fd = -1;
    uint64_t flushed = 0; // bytes already in the file
    std::vector<uint8_t> buffer;
    std::vector<ZipEntry> entries;
    ZipEntry current;
    bool currentSizesKnown = false;
    std::string error;
};

#endif // ZIPCONTAINER_H
