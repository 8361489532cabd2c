#ifndef DEFLATER_H
#define DEFLATER_H

#include <cstddef>
#include <cstdint>
#include <vector>

struct libdeflate_compressor;

// Deflate compression of one member's bytes, or of one stretch of a longer
// member's bytes, in memory. Stretches compressed apart (on several cores)
// and written one after the other, followed by `streamEnd`, form one deflate
// stream.
class Deflater
{
public:
    explicit Deflater(int level);
    Deflater(const Deflater &) = delete;
    Deflater &operator=(const Deflater &) = delete;
    ~Deflater();

    // The room that compress() or compressStretch() may need for `size` bytes.
    size_t bound(size_t size) const;

    // `data` as a whole deflate stream; returns its size, 0 on failure.
    size_t compress(const uint8_t *data, size_t size, uint8_t *out, size_t room);

    // `data` as a stretch that more deflate data may follow: no final block,
    // ending on a byte boundary. Returns its size, 0 on failure.
    size_t compressStretch(const uint8_t *data, size_t size, uint8_t *out, size_t room);

    // True when deflate would gain little on a member that starts with
    // `data`: its format is one that is compressed already, or a trial
    // compression of its first 64 KiB saves under 2%. Shorter data is not
    // tried: compressing it whole costs little more.
    bool gainsLittle(const uint8_t *data, size_t size);

    // An empty final block, which ends a stream made of stretches.
    static const uint8_t streamEnd[2];

private:
    libdeflate_compressor *compressor;
    libdeflate_compressor *trial = nullptr; // the fastest level, made when first needed
    std::vector<uint8_t> trialOutput;
};

#endif // DEFLATER_H
