#include "deflater.h"

#include <libdeflate.h>
#include <zlib.h>

#include <cstring>

namespace {

const size_t trialSize = 64 * 1024;

// Signatures of formats whose content is compressed already.
struct Signature
{
    size_t offset;
    const char *bytes;
    size_t size;
};
const Signature compressedFormats[] = {
    { 0, "\xFF\xD8\xFF", 3 }, // JPEG
    { 0, "\x89PNG", 4 },
    { 0, "GIF8", 4 },
    { 8, "WEBP", 4 },
    { 4, "ftyp", 4 }, // MP4, MOV, HEIC, M4A
    { 0, "\x1A\x45\xDF\xA3", 4 }, // Matroska, WebM
    { 0, "OggS", 4 },
    { 0, "fLaC", 4 },
    { 0, "\x1F\x8B", 2 }, // gzip
    { 0, "BZh", 3 },
    { 0,
      "\xFD"
      "7zXZ",
      5 },
    { 0, "\x28\xB5\x2F\xFD", 4 }, // zstd
    { 0, "7z\xBC\xAF\x27\x1C", 6 },
    { 0, "Rar!", 4 },
};

bool hasCompressedFormat(const uint8_t *data, size_t size)
{
    for (const Signature &signature : compressedFormats) {
        if (size >= signature.offset + signature.size
            && std::memcmp(data + signature.offset, signature.bytes, signature.size) == 0)
            return true;
    }
    return false;
}

// The bit at which the last block of the deflate stream `data` begins, and
// how many bits of its last byte are padding; false when it is no whole
// stream. zlib's inflate stops before each block header when asked to.
bool findLastBlock(const uint8_t *data, size_t size, uint64_t &lastBlockBit, int &padding)
{
    z_stream stream {};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return false;
    uint8_t discard[32 * 1024];
    stream.next_in = const_cast<uint8_t *>(data);
    stream.avail_in = uInt(size);
    lastBlockBit = 0;
    padding = 0;
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = discard;
        stream.avail_out = sizeof discard;
        status = inflate(&stream, Z_BLOCK);
        // Stopped before a block header (128), or at the end of the last
        // block (128 and 64); the low bits count the unused bits of the
        // last byte read.
        const uint64_t bit = uint64_t(size - stream.avail_in) * 8 - uint64_t(stream.data_type & 7);
        if (status == Z_OK && (stream.data_type & (128 | 64)) == 128)
            lastBlockBit = bit;
        else if (status == Z_OK && (stream.data_type & (128 | 64)) == (128 | 64))
            padding = stream.data_type & 7;
    }
    const bool whole = status == Z_STREAM_END && stream.avail_in == 0;
    inflateEnd(&stream);
    return whole;
}

} // namespace

const uint8_t Deflater::streamEnd[2] = { 0x03, 0x00 };

Deflater::Deflater(int level)
    : compressor(libdeflate_alloc_compressor(level))
{ }

Deflater::~Deflater()
{
    libdeflate_free_compressor(compressor);
    if (trial)
        libdeflate_free_compressor(trial);
}

size_t Deflater::bound(size_t size) const
{
    return libdeflate_deflate_compress_bound(compressor, size) + 5;
}

size_t Deflater::compress(const uint8_t *data, size_t size, uint8_t *out, size_t room)
{
    return compressor ? libdeflate_deflate_compress(compressor, data, size, out, room) : 0;
}

// A whole stream made into a stretch: its last block loses the final flag,
// and an empty stored block brings the end to a byte boundary, as a sync
// flush leaves a stream.
size_t Deflater::compressStretch(const uint8_t *data, size_t size, uint8_t *out, size_t room)
{
    const size_t length = compress(data, size, out, room - 5);
    uint64_t lastBlock = 0;
    int padding = 0;
    if (length == 0 || !findLastBlock(out, length, lastBlock, padding))
        return 0;
    out[lastBlock / 8] &= uint8_t(~(1u << (lastBlock % 8)));
    out[length - 1] &= uint8_t(0xFF >> padding);
    size_t end = length;
    if (padding < 3)
        out[end++] = 0; // the stored block's three header bits need a byte of their own
    const uint8_t emptyStoredBlock[] = { 0x00, 0x00, 0xFF, 0xFF };
    std::memcpy(out + end, emptyStoredBlock, sizeof emptyStoredBlock);
    return end + sizeof emptyStoredBlock;
}

bool Deflater::gainsLittle(const uint8_t *data, size_t size)
{
    if (hasCompressedFormat(data, size))
        return true;
    if (size < trialSize)
        return false;
    const size_t sample = trialSize;
    if (!trial) {
        trial = libdeflate_alloc_compressor(1);
        trialOutput.resize(libdeflate_deflate_compress_bound(trial, trialSize));
    }
    const size_t compressed = trial
        ? libdeflate_deflate_compress(trial, data, sample, trialOutput.data(), trialOutput.size())
        : 0;
    return compressed == 0 || compressed * 100 > sample * 98;
}
