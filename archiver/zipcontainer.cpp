#include "zipcontainer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const size_t bufferSize = 1 << 20;
const uint32_t classicLimit = 0xFFFFFFFF; // also the mark that a ZIP64 field holds the value
const uint16_t madeByUnix = 0x0300 | 63; // Unix, format version 6.3

const uint16_t utf8Names = 0x0800;
const uint16_t extendedTimestamp = 0x5455;
const uint16_t zip64Field = 0x0001;

void put16(std::vector<uint8_t> &out, uint16_t value)
{
    out.push_back(uint8_t(value));
    out.push_back(uint8_t(value >> 8));
}

void put32(std::vector<uint8_t> &out, uint32_t value)
{
    put16(out, uint16_t(value));
    put16(out, uint16_t(value >> 16));
}

void put64(std::vector<uint8_t> &out, uint64_t value)
{
    put32(out, uint32_t(value));
    put32(out, uint32_t(value >> 32));
}

uint32_t clamp32(uint64_t value)
{
    return uint32_t(std::min<uint64_t>(value, classicLimit));
}

// The MS-DOS date (high half) and time (low half) in local time, 2-second
// steps, years before 1980 raised to it.
uint32_t dosDateTime(time_t time)
{
    struct tm local;
    if (!localtime_r(&time, &local))
        return 0x00210000; // 1980-01-01
    const int year = std::clamp(local.tm_year + 1900, 1980, 2107) - 1980;
    const uint32_t date = uint32_t(year << 9 | (local.tm_mon + 1) << 5 | local.tm_mday);
    const uint32_t clock = uint32_t(local.tm_hour << 11 | local.tm_min << 5 | local.tm_sec >> 1);
    return date << 16 | clock;
}

// The time in UTC seconds, which unzip restores to the second; left out for
// times its 32-bit field cannot hold.
void putTimestamp(std::vector<uint8_t> &out, time_t time)
{
    if (time < 0 || time > 0x7FFFFFFF)
        return;
    put16(out, extendedTimestamp);
    put16(out, 5);
    out.push_back(1); // modification time present
    put32(out, uint32_t(time));
}

uint16_t flagsOf(const ZipEntry &entry)
{
    const bool ascii
        = std::all_of(entry.name.begin(), entry.name.end(), [](char c) { return (c & 0x80) == 0; });
    return uint16_t(entry.levelFlags | (ascii ? 0 : utf8Names));
}

uint16_t versionNeeded(const ZipEntry &entry, bool zip64)
{
    if (zip64 || entry.large)
        return 45;
    return entry.method == ZipEntry::Deflated || S_ISDIR(entry.mode) ? 20 : 10;
}

// The fields that the local header and the central directory share, from
// the version needed on.
void putCommon(std::vector<uint8_t> &out, const ZipEntry &entry, uint16_t version)
{
    const uint32_t when = dosDateTime(entry.modified);
    put16(out, version);
    put16(out, flagsOf(entry));
    put16(out, entry.method);
    put16(out, uint16_t(when));
    put16(out, uint16_t(when >> 16));
    put32(out, entry.crc);
}

std::vector<uint8_t> localHeader(const ZipEntry &entry)
{
    std::vector<uint8_t> out;
    put32(out, 0x04034b50);
    putCommon(out, entry, versionNeeded(entry, false));
    put32(out, entry.large ? classicLimit : uint32_t(entry.compressedSize));
    put32(out, entry.large ? classicLimit : uint32_t(entry.size));
    std::vector<uint8_t> extra;
    putTimestamp(extra, entry.modified);
    if (entry.large) {
        put16(extra, zip64Field);
        put16(extra, 16);
        put64(extra, entry.size);
        put64(extra, entry.compressedSize);
    }
    put16(out, uint16_t(entry.name.size()));
    put16(out, uint16_t(extra.size()));
    out.insert(out.end(), entry.name.begin(), entry.name.end());
    out.insert(out.end(), extra.begin(), extra.end());
    return out;
}

void putCentralRecord(std::vector<uint8_t> &out, const ZipEntry &entry)
{
    // A member with 64-bit sizes in its local header has them here too, so
    // that both headers agree.
    const bool wideSizes
        = entry.large || entry.size >= classicLimit || entry.compressedSize >= classicLimit;
    const bool wideOffset = entry.offset >= classicLimit;
    std::vector<uint8_t> extra;
    putTimestamp(extra, entry.modified);
    if (wideSizes || wideOffset) {
        put16(extra, zip64Field);
        put16(extra, uint16_t((wideSizes ? 16 : 0) + (wideOffset ? 8 : 0)));
        if (wideSizes) {
            put64(extra, entry.size);
            put64(extra, entry.compressedSize);
        }
        if (wideOffset)
            put64(extra, entry.offset);
    }
    put32(out, 0x02014b50);
    put16(out, madeByUnix);
    putCommon(out, entry, versionNeeded(entry, wideSizes || wideOffset));
    put32(out, wideSizes ? classicLimit : uint32_t(entry.compressedSize));
    put32(out, wideSizes ? classicLimit : uint32_t(entry.size));
    put16(out, uint16_t(entry.name.size()));
    put16(out, uint16_t(extra.size()));
    put16(out, 0); // comment
    put16(out, 0); // disk
    put16(out, 0); // internal attributes
    put32(out, entry.mode << 16);
    put32(out, wideOffset ? classicLimit : uint32_t(entry.offset));
    out.insert(out.end(), entry.name.begin(), entry.name.end());
    out.insert(out.end(), extra.begin(), extra.end());
}

void putEnd(std::vector<uint8_t> &out, uint64_t count, uint64_t start, uint64_t size)
{
    const uint64_t here = start + size;
    if (count >= 0xFFFF || start >= classicLimit || size >= classicLimit) {
        put32(out, 0x06064b50); // ZIP64 end of central directory
        put64(out, 44);
        put16(out, madeByUnix);
        put16(out, 45);
        put32(out, 0);
        put32(out, 0);
        put64(out, count);
        put64(out, count);
        put64(out, size);
        put64(out, start);
        put32(out, 0x07064b50); // and where it is
        put32(out, 0);
        put64(out, here);
        put32(out, 1);
    }
    put32(out, 0x06054b50);
    put16(out, 0);
    put16(out, 0);
    put16(out, uint16_t(std::min<uint64_t>(count, 0xFFFF)));
    put16(out, uint16_t(std::min<uint64_t>(count, 0xFFFF)));
    put32(out, clamp32(size));
    put32(out, clamp32(start));
    put16(out, 0); // comment
}

bool writeAll(int fd, const uint8_t *data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return false;
        data += written;
        size -= size_t(written);
    }
    return true;
}

} // namespace

ZipContainer::~ZipContainer()
{
    if (fd >= 0)
        ::close(fd);
}

bool ZipContainer::create(const std::string &path)
{
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    buffer.reserve(bufferSize);
    return fd >= 0 || fail(std::strerror(errno));
}

bool ZipContainer::beginMember(ZipEntry entry, bool sizesKnown)
{
    current = std::move(entry);
    current.offset = flushed + buffer.size();
    currentSizesKnown = sizesKnown;
    const std::vector<uint8_t> header = localHeader(current);
    return write(header.data(), header.size());
}

bool ZipContainer::write(const void *data, size_t size)
{
    if (buffer.size() + size > bufferSize && !flush())
        return false;
    if (size < bufferSize) {
        const uint8_t *bytes = static_cast<const uint8_t *>(data);
        buffer.insert(buffer.end(), bytes, bytes + size);
        return true;
    }
    if (!writeAll(fd, static_cast<const uint8_t *>(data), size))
        return fail(std::strerror(errno));
    flushed += size;
    return true;
}

bool ZipContainer::finishMember(uint32_t crc, uint64_t size, uint64_t compressedSize)
{
    if (!current.large && (size >= classicLimit || compressedSize >= classicLimit))
        return fail(current.name + " grew past 4 GiB while it was read");
    current.crc = crc;
    current.size = size;
    current.compressedSize = compressedSize;
    if (!currentSizesKnown && !patch(current.offset, localHeader(current)))
        return false;
    entries.push_back(std::move(current));
    return true;
}

bool ZipContainer::close()
{
    if (!writeCentralDirectory() || !flush())
        return false;
    const int closing = fd;
    fd = -1;
    return ::close(closing) == 0 || fail(std::strerror(errno));
}

bool ZipContainer::writeCentralDirectory()
{
    const uint64_t start = flushed + buffer.size();
    std::vector<uint8_t> record;
    for (const ZipEntry &entry : entries) {
        record.clear();
        putCentralRecord(record, entry);
        if (!write(record.data(), record.size()))
            return false;
    }
    record.clear();
    putEnd(record, entries.size(), start, flushed + buffer.size() - start);
    return write(record.data(), record.size());
}

bool ZipContainer::flush()
{
    if (!writeAll(fd, buffer.data(), buffer.size()))
        return fail(std::strerror(errno));
    flushed += buffer.size();
    buffer.clear();
    return true;
}

// A header is always appended whole and the buffer flushed whole, so a
// header lies either in the buffer or in the file.
bool ZipContainer::patch(uint64_t offset, const std::vector<uint8_t> &bytes)
{
    if (offset >= flushed) {
        std::copy(bytes.begin(), bytes.end(), buffer.begin() + long(offset - flushed));
        return true;
    }
    if (::pwrite(fd, bytes.data(), bytes.size(), off_t(offset)) != ssize_t(bytes.size()))
        return fail(std::strerror(errno));
    return true;
}

bool ZipContainer::fail(const std::string &why)
{
    if (error.empty())
        error = why;
    return false;
}
