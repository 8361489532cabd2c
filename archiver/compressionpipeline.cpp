#include "compressionpipeline.h"

#include <algorithm>

#include <sched.h>

namespace {

// One worker per core this process may run on (taskset counts), a few at most.
unsigned workerCount()
{
    cpu_set_t cpus;
    const int count = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
    return unsigned(std::clamp(count, 1, 8));
}

void compress(Deflater &deflater, Piece &piece)
{
    const size_t room = deflater.bound(CompressionPipeline::blockSize);
    if (!piece.output)
        piece.output.reset(new uint8_t[room]);
    if (piece.treatment == Piece::Stretch) {
        piece.outputSize = deflater.compressStretch(piece.input.get(), piece.inputSize,
                                                    piece.output.get(), room);
        return;
    }
    const bool worthTrying
        = piece.inputSize > 0 && !deflater.gainsLittle(piece.input.get(), piece.inputSize);
    piece.outputSize = worthTrying
        ? deflater.compress(piece.input.get(), piece.inputSize, piece.output.get(), room)
        : 0;
    piece.stored = piece.outputSize == 0 || piece.outputSize >= piece.inputSize;
}

} // namespace

CompressionPipeline::CompressionPipeline(ZipContainer &zip, int level)
    : zip(zip)
    , level(level)
{
    const unsigned count = level > 0 ? workerCount() : 0;
    limit = 2 * count + 2;
    for (unsigned i = 0; i < count; ++i)
        workers.emplace_back(&CompressionPipeline::work, this);
}

CompressionPipeline::~CompressionPipeline()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    workArrived.notify_all();
    for (std::thread &worker : workers)
        worker.join();
}

std::unique_ptr<Piece> CompressionPipeline::takePiece()
{
    while (underWay >= limit && writeFront()) { }
    if (spare.empty()) {
        auto piece = std::make_unique<Piece>();
        piece->input.reset(new uint8_t[blockSize]);
        return piece;
    }
    std::unique_ptr<Piece> piece = std::move(spare.back());
    spare.pop_back();
    return piece;
}

void CompressionPipeline::givePieceBack(std::unique_ptr<Piece> piece)
{
    piece->inputSize = 0;
    piece->outputSize = 0;
    piece->stored = false;
    piece->done = false;
    spare.push_back(std::move(piece));
}

bool CompressionPipeline::addWhole(ZipEntry entry, std::unique_ptr<Piece> piece, bool keep)
{
    if (piece)
        piece->treatment = keep || level == 0 ? Piece::Keep : Piece::Whole;
    return push({ Step::WholeMember, std::move(entry), std::move(piece) });
}

bool CompressionPipeline::beginLong(ZipEntry entry, const Piece &first)
{
    longKeptOnSubmit = level == 0 || trial.gainsLittle(first.input.get(), first.inputSize);
    entry.method = longKeptOnSubmit ? ZipEntry::Stored : ZipEntry::Deflated;
    if (longKeptOnSubmit)
        entry.levelFlags = 0;
    return push({ Step::Begin, std::move(entry), nullptr });
}

bool CompressionPipeline::addBlock(std::unique_ptr<Piece> piece)
{
    piece->treatment = longKeptOnSubmit ? Piece::Keep : Piece::Stretch;
    return push({ Step::Block, {}, std::move(piece) });
}

bool CompressionPipeline::endLong(uint32_t crc, uint64_t size)
{
    ZipEntry end;
    end.crc = crc;
    end.size = size;
    return push({ Step::End, std::move(end), nullptr });
}

bool CompressionPipeline::finish()
{
    while (!steps.empty())
        writeFront();
    return !failed;
}

std::string CompressionPipeline::errorString() const
{
    return problem.empty() ? zip.errorString() : problem;
}

bool CompressionPipeline::push(Step step)
{
    if (Piece *piece = step.piece.get()) {
        ++underWay;
        if (piece->treatment == Piece::Keep) {
            piece->done = true;
        } else {
            {
                std::lock_guard<std::mutex> guard(lock);
                queue.push_back(piece);
            }
            workArrived.notify_one();
        }
    }
    steps.push_back(std::move(step));
    writeReady();
    return !failed;
}

// Writes the oldest steps as long as they need no waiting, so that members
// without bytes to compress (folders, links) do not pile up.
void CompressionPipeline::writeReady()
{
    while (!failed && !steps.empty()) {
        if (Piece *piece = steps.front().piece.get()) {
            std::lock_guard<std::mutex> guard(lock);
            if (!piece->done)
                return;
        }
        writeFront();
    }
}

// Writes the oldest step, waiting for its piece to be compressed.
bool CompressionPipeline::writeFront()
{
    Step &front = steps.front();
    if (Piece *piece = front.piece.get()) {
        std::unique_lock<std::mutex> guard(lock);
        workDone.wait(guard, [piece] { return piece->done; });
    }
    failed = failed || !writeStep(front);
    if (front.piece) {
        --underWay;
        givePieceBack(std::move(front.piece));
    }
    steps.pop_front();
    return !failed;
}

bool CompressionPipeline::writeStep(Step &step)
{
    ZipEntry &entry = step.entry;
    const Piece *piece = step.piece.get();
    switch (step.kind) {
    case Step::WholeMember: {
        const bool kept = !piece || piece->treatment == Piece::Keep || piece->stored;
        const uint8_t *data = !piece ? nullptr : kept ? piece->input.get() : piece->output.get();
        const size_t size = !piece ? 0 : kept ? piece->inputSize : piece->outputSize;
        entry.method = kept ? ZipEntry::Stored : ZipEntry::Deflated;
        entry.levelFlags = kept ? 0 : entry.levelFlags;
        entry.compressedSize = size;
        const uint32_t crc = entry.crc;
        const uint64_t original = entry.size;
        return zip.beginMember(std::move(entry), true) && zip.write(data, size)
            && zip.finishMember(crc, original, size);
    }
    case Step::Begin:
        longKept = entry.method == ZipEntry::Stored;
        longWritten = 0;
        return zip.beginMember(std::move(entry), false);
    case Step::Block:
        return writeBlock(*piece);
    case Step::End:
        if (!longKept && !zip.write(Deflater::streamEnd, sizeof Deflater::streamEnd))
            return false;
        longWritten += longKept ? 0 : sizeof Deflater::streamEnd;
        return zip.finishMember(entry.crc, entry.size, longWritten);
    }
    return false;
}

bool CompressionPipeline::writeBlock(const Piece &piece)
{
    const bool kept = piece.treatment == Piece::Keep;
    const size_t size = kept ? piece.inputSize : piece.outputSize;
    if (!kept && size == 0) {
        problem = "cannot compress: out of memory";
        return false;
    }
    longWritten += size;
    return zip.write(kept ? piece.input.get() : piece.output.get(), size);
}

void CompressionPipeline::work()
{
    Deflater deflater(level);
    for (;;) {
        Piece *piece = nullptr;
        {
            std::unique_lock<std::mutex> guard(lock);
            workArrived.wait(guard, [this] { return stopping || !queue.empty(); });
            if (stopping)
                return;
            piece = queue.front();
            queue.pop_front();
        }
        compress(deflater, *piece);
        {
            std::lock_guard<std::mutex> guard(lock);
            piece->done = true;
        }
        workDone.notify_all();
    }
}
