#include "archivereader.h"

#include <zlib.h>

#include <sys/stat.h>

namespace {

const zip_uint16_t extendedTimestamp = 0x5455; // modification time in UTC seconds

mode_t currentUmask()
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

std::string libzipError(int code)
{
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    std::string text = zip_error_strerror(&error);
    zip_error_fini(&error);
    return text;
}

// The kind and permission bits, from the Unix mode when the archive has
// one; otherwise what a name ending in "/" says, with the usual defaults.
void classify(zip_uint8_t system, zip_uint32_t attributes, Member &member)
{
    const bool slash = !member.name.empty() && member.name.back() == '/';
    const mode_t unixMode = system == ZIP_OPSYS_UNIX ? mode_t(attributes >> 16) : 0;
    switch (unixMode & S_IFMT) {
    case S_IFLNK:
        member.kind = slash ? Member::Other : Member::Link;
        break;
    case S_IFDIR:
        member.kind = Member::Folder;
        break;
    case S_IFREG:
    case 0:
        member.kind = slash ? Member::Folder : Member::File;
        break;
    default:
        member.kind = Member::Other; // a device, a pipe or a socket
    }
    // Set-user-ID, set-group-ID and sticky bits are not restored.
    const mode_t fallback = member.kind == Member::Folder ? 0777 : 0666;
    member.mode = (unixMode & 0777) ? (unixMode & 0777) : (fallback & ~currentUmask());
}

} // namespace

ArchiveReader::~ArchiveReader()
{
    if (archive)
        zip_discard(archive);
}

bool ArchiveReader::open(const std::string &path, std::string &error)
{
    int code = 0;
    archive = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &code);
    if (!archive)
        error = libzipError(code);
    return archive != nullptr;
}

zip_uint64_t ArchiveReader::count() const
{
    const zip_int64_t entries = zip_get_num_entries(archive, 0);
    return entries < 0 ? 0 : zip_uint64_t(entries);
}

bool ArchiveReader::describe(zip_uint64_t index, Member &member, std::string &error) const
{
    zip_stat_t stat;
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    const char *name = zip_get_name(archive, index, ZIP_FL_ENC_RAW);
    if (!name || zip_stat_index(archive, index, ZIP_FL_ENC_RAW, &stat) < 0
        || zip_file_get_external_attributes(archive, index, 0, &system, &attributes) < 0) {
        error = zip_strerror(archive);
        return false;
    }
    member.index = index;
    member.name = name;
    member.size = stat.size;
    member.crc = stat.crc;
    member.modified = stat.mtime;
    zip_uint16_t length = 0;
    const zip_uint8_t *field = zip_file_extra_field_get_by_id(archive, index, extendedTimestamp, 0,
                                                              &length, ZIP_FL_CENTRAL);
    if (field && length >= 5 && (field[0] & 1)) {
        member.modified = time_t(zip_uint32_t(field[1]) | zip_uint32_t(field[2]) << 8
                                 | zip_uint32_t(field[3]) << 16 | zip_uint32_t(field[4]) << 24);
    }
    classify(system, attributes, member);
    return true;
}

bool ArchiveReader::read(const Member &member, const Sink &sink, std::string &error) const
{
    error.clear();
    zip_file_t *file = zip_fopen_index(archive, member.index, 0);
    if (!file) {
        error = zip_strerror(archive);
        return false;
    }
    char buffer[64 * 1024];
    zip_uint64_t total = 0;
    uLong crc = crc32(0, nullptr, 0);
    bool ok = true;
    for (;;) {
        const zip_int64_t got = zip_fread(file, buffer, sizeof buffer);
        if (got <= 0) {
            if (got < 0)
                error = zip_file_strerror(file);
            ok = got == 0;
            break;
        }
        total += zip_uint64_t(got);
        if (total > member.size) {
            error = "longer than its recorded size";
            ok = false;
            break;
        }
        crc = crc32(crc, reinterpret_cast<const Bytef *>(buffer), uInt(got));
        if (!sink(buffer, size_t(got), error)) {
            ok = false;
            break;
        }
    }
    zip_fclose(file);
    if (!ok)
        return false;
    if (total != member.size)
        error = "shorter than its recorded size";
    else if (crc != member.crc)
        error = "CRC-32 mismatch";
    return error.empty();
}
