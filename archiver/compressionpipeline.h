#ifndef COMPRESSIONPIPELINE_H
#define COMPRESSIONPIPELINE_H

#include "deflater.h"
#include "zipcontainer.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Up to one block of a member's bytes on its way into the archive.
struct Piece
{
    enum Treatment {
        Keep, // written as it is
        Whole, // a whole member: deflated, or kept when deflate gains nothing
        Stretch, // a block of a longer deflated member
    };

    Treatment treatment = Keep;
    std::unique_ptr<uint8_t[]> input;
    size_t inputSize = 0;
    std::unique_ptr<uint8_t[]> output;
    size_t outputSize = 0;
    bool stored = false; // a Whole piece that is kept as it is
    bool done = false; // set by the worker, under the pipeline's lock
};

// Compresses the members' blocks on every core and writes them into the
// container in the order they came. The caller reads each member's bytes
// into pieces, one block at a time; at most a fixed number of pieces is
// under way at once, so memory stays bounded whatever the sizes of the
// members, and a piece waits only for the work in front of it.
class CompressionPipeline
{
public:
    static const size_t blockSize = 1 << 20;

    // `level` 0 keeps every member as it is.
    CompressionPipeline(ZipContainer &zip, int level);
    CompressionPipeline(const CompressionPipeline &) = delete;
    CompressionPipeline &operator=(const CompressionPipeline &) = delete;
    ~CompressionPipeline();

    // A piece with room for blockSize bytes; may first write out the oldest
    // pieces under way.
    std::unique_ptr<Piece> takePiece();
    void givePieceBack(std::unique_ptr<Piece> piece);

    // A member held whole in `piece` (none for a folder), `entry.crc` and
    // `entry.size` set; compressed unless `keep`.
    bool addWhole(ZipEntry entry, std::unique_ptr<Piece> piece, bool keep);

    // A member that comes in blocks: its entry, each block, then its end.
    // Whether it is compressed is decided from its first block.
    bool beginLong(ZipEntry entry, const Piece &first);
    bool addBlock(std::unique_ptr<Piece> piece);
    bool endLong(uint32_t crc, uint64_t size);

    // Writes whatever is still under way; false when anything failed.
    bool finish();
    std::string errorString() const;

private:
    struct Step
    {
        enum Kind { WholeMember, Begin, Block, End };
        Kind kind;
        ZipEntry entry;
        std::unique_ptr<Piece> piece;
    };

    bool push(Step step);
    void writeReady();
    bool writeFront();
    bool writeStep(Step &step);
    bool writeBlock(const Piece &piece);
    void work();

    ZipContainer &zip;
    const int level;
    Deflater trial { 1 };
    size_t limit = 0; // pieces under way at most
    size_t underWay = 0;
    std::deque<Step> steps; // in archive order; this thread only
    std::vector<std::unique_ptr<Piece>> spare;
    bool longKeptOnSubmit = false; // the long member being read is stored
    bool longKept = false; // the long member being written is stored
    uint64_t longWritten = 0;
    bool failed = false;
    std::string problem;

    std::mutex lock; // guards what follows
    std::condition_variable workArrived;
    std::condition_variable workDone;
    std::deque<Piece *> queue;
    bool stopping = false;
    std::vector<std::thread> workers;
};

#endif // COMPRESSIONPIPELINE_H
