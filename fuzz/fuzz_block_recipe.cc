// The block decoder against the stream decoder, over archives whose every CRC-32 is right but
// whose sizes, checks and indexes lie where a recipe (fuzz/block_recipe.h) says, with the same
// read fault, changed byte, abort and write fault for both. Never crashes, hangs or leaks; both
// give the same result but for the differences listed below; both write the same bytes as far as
// both get, all of them on success; the reports add up to what was handed over; every budget byte
// and every thread is back when a run returns.
//
// How a fault meets both engines:
// - A read fault at X is a bad spot: a read that covers X comes back short, ending just before
//   it; reads that end before X or start past it succeed ("from the offset on" fails every read
//   that reaches X, the end of the file included). The stream decoder reads in order, so for it
//   both kinds end the input at X with a read error. The block decoder meets X wherever it reads
//   it: in the walk over the indexes, the scan of the block headers, or a worker's window.
// - A changed byte is the file changing while the block decoder runs: once the walk and the
//   header scan are over (when it opens its first worker's reader), every read through any of
//   its readers sees the byte changed. The stream decoder has no such moment: its single pass
//   is the one the block decoder's workers make, so it reads the changed file from the start.
//   A block decoder that falls back to the stream decoder does the same.
// - The host aborts once the reports add up to B bytes or more (B >= 1), and answers every later
//   report the same way, as a host does once its user has cancelled. Counting bytes, not
//   reports, keeps the block decoder's reports of 0 bytes, which a timer sends, out of it. A
//   recipe may also have the host abort at the first report of 0 bytes: the stream decoder sends
//   one for a step that gave nothing, the block decoder while it waits, so whether and where
//   each engine hears that abort is a matter of time; 2 below judges it.
// - Writes go through codec::AsyncSink to a file that takes W bytes and fails the write that
//   would pass them, keeping its first part, so the file's bytes stop at W in both engines.
//
// The differences (each a predicate in CheckRun or Explain below; any other is a failure):
// 1. After an abort or a failed write, the stream decoder runs the steps of its 4096-byte input
//    chunk to their end and the event met last decides (an abort, then a data fault in the same
//    chunk: 12; a failed write, then an abort: 21), and it reads no further chunk; the block
//    decoder stops at the first: 21 for an abort, 19 for a failed write (also one the writer
//    thread tells of only after the abort), and reports nothing after it. With equal results
//    the reports still differ.
// 2. The engines meet a fault at different points of the output. The block decoder checks the
//    whole chain before any output and each block against its record as the block starts; the
//    stream decoder finds a lying index only after the blocks in front of it are written.
//    Neither hands over any of the codec step that fails, but the stream decoder's steps give
//    up to 4096 bytes (also the last bytes of a sound stream when the step runs on into a
//    fault in the next), the block decoder's up to 128 KiB. An abort or a failed write placed
//    between the two points gives 21 or 19 from the engine that reaches it and the fault's
//    code from the other: each gives what it gives without the abort and the write fault, or
//    stops for them. So too for an abort at the first report of 0 bytes.
// 3. The walk checks every stream header, index and footer and the padding before any block,
//    from the end of the file back. Where it fails (12 for a chain that is not sound, 18 for a
//    read fault in what it reads), the stream decoder, reading in order, may fail first at
//    another fault in front of that one: 12 for bad data, 11 for a dictionary past its memory
//    limit, 18 for the read fault.
// 4. An index whose records do not describe their blocks (sizes changed, records added,
//    dropped, merged or split, the index itself sound), or a block header that states a wrong
//    size: the block decoder holds each header to its record as the block starts and reads
//    the blocks where the records put them; the stream decoder reads them where the headers
//    put them, finds a header's lie at the end of the block's data and an index's only at the
//    index. Both fail, each at the first fault on its own way: 12 or 18 from the block decoder,
//    11, 12 or 18 from the stream decoder (a header that lies: 12 at the block's start from
//    the one, 18 from the other where a read fault in that block's data comes first).
// 5. A byte changed after the walk in none of the blocks the indexes list (a stream header,
//    an index, a footer, padding), which no worker decodes: the block decoder gives what it
//    gives for the file as it was, the stream decoder what the changed file gives (12 where
//    the change broke a sound file, 0 where it mended a damaged one). A byte changed after
//    the walk in a block header that then names a larger dictionary than the scan of every
//    header found: 12 from the block decoder (the file changed since), whatever the changed
//    header gives from the stream decoder.
// 6. A block decoder that falls back to the stream decoder (no reader, records past the cap,
//    a budget without room for two workers, fewer than two tasks) gives the stream decoder's
//    result and bytes.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <lzma.h>

#include "codec/async_sink.h"
#include "codec/chunk_io.h"
#include "codec/codec_api.h"
#include "codec/threading.h"
#include "fuzz/block_recipe.h"
#include "plugin/result_code.h"
#include "tests/native/process_threads.h"
#include "tests/native/system_liblzma.h"
#include "unpack/block_decode.h"
#include "unpack/decode_run.h"
#include "xzformat/byte_source.h"

namespace {

using plugin::ResultCode;
using recipe::ReadFault;

// The plug-in decodes without a memory limit; a recipe can name a 4 GiB
// dictionary, so here both decoders are capped alike. Every recipe budget
// is too small for two workers with a dictionary anywhere near the cap,
// which leaves those to the stream decoder; but a worker decodes the header
// as it finds it, and a header changed after the scan that sized the
// workers can name any dictionary.
constexpr uint64_t kDecoderMemoryLimit = 128u << 20;

lzma_ret CappedDecoder(lzma_stream* strm, uint64_t, uint32_t flags)
{
    return lzma_stream_decoder(strm, kDecoderMemoryLimit, flags);
}

lzma_ret CappedBlockDecoder(lzma_stream* strm, lzma_block* block)
{
    if (lzma_raw_decoder_memusage(block->filters) > kDecoderMemoryLimit)
        return LZMA_MEMLIMIT_ERROR;
    return lzma_block_decoder(strm, block);
}

// The linked liblzma's table with both decoders capped; the threaded
// stream decoder stays out, as nothing here caps its memory.
codec::CodecApi Codec()
{
    codec::CodecApi api = system_liblzma::Codec();
    api.stream_decoder = CappedDecoder;
    api.stream_decoder_mt = nullptr;
    api.block_decoder = CappedBlockDecoder;
    return api;
}

struct Faults {
    ReadFault read = ReadFault::None;
    uint64_t read_at = 0;
    bool change = false;
    uint64_t change_at = 0;
    uint8_t change_mask = 0;
    uint64_t abort_at = 0; // 0 never
    bool abort_when_idle = false;
    bool write_fault = false;
    uint64_t write_at = 0;
    bool stops() const { return abort_at != 0 || abort_when_idle || write_fault; }
};

Faults Resolve(const recipe::Recipe& r, uint64_t file_size)
{
    Faults f;
    f.read = r.read_fault;
    f.read_at = r.read_fault_at % file_size;
    f.change = r.change && r.change_mask != 0;
    f.change_at = r.change_at % file_size;
    f.change_mask = r.change_mask;
    f.abort_at = r.abort_at;
    f.abort_when_idle = r.abort_when_idle;
    f.write_fault = r.write_fault && !r.test_only;
    f.write_at = r.write_fault_at;
    return f;
}

// The archive as every reader of one run sees it.
class Disk {
public:
    Disk(const std::vector<uint8_t>& file, const Faults& f) : file_(file), f_(f) {}
    uint64_t size() const { return file_.size(); }
    // One read: the bytes of [offset, offset + n) it brings, as the file
    // was or, when changed, as it is.
    size_t Read(uint64_t offset, void* buf, size_t n, bool changed) const
    {
        if (offset >= size())
            return 0;
        uint64_t end = std::min<uint64_t>(offset + n, size());
        if (f_.read == ReadFault::BadSpot && offset <= f_.read_at && f_.read_at < end)
            end = f_.read_at;
        if (f_.read == ReadFault::FromOffsetOn)
            end = std::min(end, std::max(offset, f_.read_at));
        const size_t got = static_cast<size_t>(end - offset);
        if (got > 0)
            std::memcpy(buf, file_.data() + offset, got);
        if (changed && Covers(offset, got))
            static_cast<uint8_t*>(buf)[f_.change_at - offset] ^= f_.change_mask;
        return got;
    }
    bool CutShort(uint64_t offset, size_t n, size_t got) const
    {
        return offset < size() ? got < std::min<uint64_t>(n, size() - offset) : false;
    }
    bool Covers(uint64_t offset, size_t got) const
    {
        return f_.change && offset <= f_.change_at && f_.change_at < offset + got;
    }

private:
    const std::vector<uint8_t>& file_;
    Faults f_;
};

// What the block decoder's readers met, shared by all of them.
struct ReaderWatch {
    std::atomic<int> opens{0};
    std::atomic<bool> changed{false};
    std::atomic<bool> walk_hit_fault{false};      // a read cut short before the workers' time
    std::atomic<bool> workers_hit_fault{false};   // one cut short since
};

class DiskReader final : public xzformat::ByteSource {
public:
    DiskReader(const Disk& disk, ReaderWatch& watch) : disk_(disk), watch_(watch) {}
    bool Size(uint64_t* size) override
    {
        *size = disk_.size();
        return true;
    }
    size_t ReadAt(uint64_t offset, void* buf, size_t n) override
    {
        const bool changed = watch_.changed.load();
        const size_t got = disk_.Read(offset, buf, n, changed);
        if (disk_.CutShort(offset, n, got))
            (changed ? watch_.workers_hit_fault : watch_.walk_hit_fault) = true;
        return got;
    }

private:
    const Disk& disk_;
    ReaderWatch& watch_;
};

class Readers final : public unpack::ArchiveReaders {
public:
    Readers(const Disk& disk, ReaderWatch& watch, const recipe::Recipe& r)
        : disk_(disk), watch_(watch), none_(r.no_readers), workers_get_none_(r.no_worker_readers)
    {
    }
    std::unique_ptr<xzformat::ByteSource> Open() override
    {
        // The first reader is the walk's; asking for another means the
        // workers are about to start, and the file changes now.
        if (++watch_.opens > 1) {
            watch_.changed = true;
            if (workers_get_none_)
                return nullptr;
        }
        return none_ ? nullptr : std::make_unique<DiskReader>(disk_, watch_);
    }

private:
    const Disk& disk_;
    ReaderWatch& watch_;
    bool none_;
    bool workers_get_none_;
};

// The stream decoder's input: the changed file from the start, in order.
class Chunks final : public codec::ChunkSource {
public:
    Chunks(const Disk& disk, bool changed) : disk_(disk), changed_(changed) {}
    codec::ChunkRead Read(uint8_t* buf, size_t capacity) override
    {
        ++reads_;
        const size_t got = disk_.Read(pos_, buf, capacity, changed_);
        const bool error = disk_.CutShort(pos_, capacity, got);
        hit_fault_ = hit_fault_ || error;
        read_change_ = read_change_ || disk_.Covers(pos_, got);
        pos_ += got;
        return {got, pos_ == disk_.size(), error};
    }
    int reads() const { return reads_; }
    const int* reads_counter() const { return &reads_; }
    bool hit_fault() const { return hit_fault_; }
    bool read_change() const { return read_change_; }

private:
    const Disk& disk_;
    bool changed_;
    uint64_t pos_ = 0;
    int reads_ = 0;
    bool hit_fault_ = false;
    bool read_change_ = false;
};

class Host final : public codec::ProgressSink {
public:
    Host(const Faults& f, const int* chunk_reads)
        : abort_at_(f.abort_at), abort_when_idle_(f.abort_when_idle), chunk_reads_(chunk_reads)
    {
    }
    bool Report(int32_t bytes) override
    {
        if (bytes < 0 || bytes > static_cast<int32_t>(codec::kIoChunk))
            bad_report_ = bytes;
        total_ += static_cast<uint64_t>(std::max(bytes, 0));
        if (heard_abort_)
            ++late_;
        const bool stop =
            heard_abort_ || (abort_at_ != 0 && total_ >= abort_at_) || (abort_when_idle_ && bytes == 0);
        if (!stop)
            return true;
        if (!heard_abort_) {
            heard_abort_ = true;
            chunks_at_abort_ = *chunk_reads_;
        }
        return false;
    }
    uint64_t total() const { return total_; }
    int32_t bad_report() const { return bad_report_; }
    bool heard_abort() const { return heard_abort_; }
    uint64_t late() const { return late_; }
    int chunks_at_abort() const { return chunks_at_abort_; }

private:
    uint64_t abort_at_;
    bool abort_when_idle_;
    const int* chunk_reads_;
    uint64_t total_ = 0;
    int32_t bad_report_ = 0;
    bool heard_abort_ = false;
    uint64_t late_ = 0;
    int chunks_at_abort_ = -1;
};

// The extracted file, written on the writer thread.
class FileSink final : public codec::ChunkSink {
public:
    FileSink(uint64_t limit, size_t expected) : limit_(limit) { bytes_.reserve(expected); }
    bool Write(const uint8_t* bytes, size_t count) override
    {
        if (failed_)
            return false;
        const size_t take = static_cast<size_t>(std::min<uint64_t>(count, limit_ - bytes_.size()));
        const uint64_t at = bytes_.size();
        bytes_.insert(bytes_.end(), bytes, bytes + take);
        if (take < count) {
            failed_ = true;
            failed_at_ = at;
            return false;
        }
        return true;
    }
    const std::vector<uint8_t>& bytes() const { return bytes_; }
    bool failed() const { return failed_; }
    uint64_t failed_at() const { return failed_at_; }

private:
    uint64_t limit_;
    std::vector<uint8_t> bytes_;
    bool failed_ = false;
    uint64_t failed_at_ = 0;
};

// What the engine hands over, and in which of the stream decoder's chunks.
class Handed final : public codec::ChunkSink {
public:
    Handed(codec::ChunkSink& next, const int* chunk_reads) : next_(next), chunk_reads_(chunk_reads) {}
    bool Write(const uint8_t* bytes, size_t count) override
    {
        pieces_.push_back({handed_, *chunk_reads_});
        handed_ += count;
        return next_.Write(bytes, count);
    }
    uint64_t Settle() override { return next_.Settle(); }
    uint64_t handed() const { return handed_; }
    int ChunksWhenHanded(uint64_t at) const
    {
        for (const Piece& p : pieces_)
            if (p.at == at)
                return p.chunks;
        return -1;
    }

private:
    struct Piece {
        uint64_t at;
        int chunks;
    };
    codec::ChunkSink& next_;
    const int* chunk_reads_;
    uint64_t handed_ = 0;
    std::vector<Piece> pieces_;
};


struct Run {
    const char* engine = "";
    ResultCode result = ResultCode::Ok;
    uint64_t reported = 0;
    int32_t bad_report = 0;
    bool heard_abort = false;
    uint64_t late_reports = 0;
    int chunks_at_abort = -1;
    uint64_t handed = 0;
    std::vector<uint8_t> written;
    bool write_failed = false;
    int chunks_at_write_failure = -1;
    int chunk_reads = 0;
    bool source_hit_fault = false;
    bool source_read_change = false;
    bool threads_back = true;
    // The block decoder's own.
    bool fell_back = false;
    int opens = 0;
    bool walk_hit_fault = false;
    bool workers_hit_fault = false;
    uint64_t budget_missing = 0;
};

enum class Engine { Stream, Blocks };

Run Decode(Engine engine, const recipe::Recipe& r, const recipe::Archive& archive, const Faults& f, size_t threads)
{
    Run run;
    run.engine = engine == Engine::Stream ? "stream decoder" : "block decoder";
    const Disk disk(archive.file, f);
    Chunks chunks(disk, f.change);
    Host host(f, chunks.reads_counter());
    FileSink file(f.write_fault ? f.write_at : UINT64_MAX, r.test_only ? 0 : archive.payload.size());
    ReaderWatch watch;
    {
        codec::AsyncSink behind(file, recipe::WriterBuffer(r));
        Handed handed(behind, chunks.reads_counter());
        codec::ChunkSink* sink = r.test_only ? nullptr : &handed;
        if (engine == Engine::Stream) {
            run.result = unpack::DecodeRun(Codec(), chunks, sink, host);
        } else {
            Readers readers(disk, watch, r);
            codec::MemoryBudget budget(recipe::BudgetBytes(r));
            unpack::BlockDecodeLimits limits;
            limits.max_records = recipe::MaxRecords(r);
            limits.quiet_ms = recipe::QuietMs(r);
            limits.task_input = recipe::TaskInput(r);
            run.result = unpack::DecodeBlocks(Codec(), readers, chunks, sink, host, 2, budget, limits);
            run.budget_missing = recipe::BudgetBytes(r) - budget.Free();
        }
        run.handed = handed.handed();
        if (file.failed())
            run.chunks_at_write_failure = handed.ChunksWhenHanded(file.failed_at());
    }
    run.threads_back = process_threads::BackTo(threads);
    run.reported = host.total();
    run.bad_report = host.bad_report();
    run.heard_abort = host.heard_abort();
    run.late_reports = host.late();
    run.chunks_at_abort = host.chunks_at_abort();
    run.written = file.bytes();
    run.write_failed = file.failed();
    run.chunk_reads = chunks.reads();
    run.source_hit_fault = chunks.hit_fault();
    run.source_read_change = chunks.read_change();
    run.fell_back = engine == Engine::Blocks && chunks.reads() > 0;
    run.opens = watch.opens;
    run.walk_hit_fault = watch.walk_hit_fault;
    run.workers_hit_fault = watch.workers_hit_fault;
    return run;
}

std::string Summary(const Run& run)
{
    char line[512];
    std::snprintf(line, sizeof(line),
                  "%s: result %d, reported %llu, handed %llu, written %zu%s%s, abort heard %d (chunk %d, %llu late "
                  "reports), chunks read %d (fault %d, change %d), fell back %d, readers %d (walk fault %d, "
                  "workers' fault %d), budget missing %llu, threads back %d\n",
                  run.engine, static_cast<int>(run.result), static_cast<unsigned long long>(run.reported),
                  static_cast<unsigned long long>(run.handed), run.written.size(),
                  run.write_failed ? ", write failed in chunk " : "",
                  run.write_failed ? std::to_string(run.chunks_at_write_failure).c_str() : "", run.heard_abort,
                  run.chunks_at_abort, static_cast<unsigned long long>(run.late_reports), run.chunk_reads,
                  run.source_hit_fault, run.source_read_change, run.fell_back, run.opens, run.walk_hit_fault,
                  run.workers_hit_fault, static_cast<unsigned long long>(run.budget_missing), run.threads_back);
    return line;
}

struct Context {
    const recipe::Recipe& recipe;
    const recipe::Archive& archive;
    const Faults& faults;
    size_t threads;
    std::vector<const Run*> runs;
};

[[noreturn]] void Fail(const Context& c, const std::string& what)
{
    std::fprintf(stderr, "fuzz_block_recipe: property violated: %s\n%sfile %zu bytes, payload %zu bytes%s\n",
                 what.c_str(), recipe::Describe(c.recipe).c_str(), c.archive.file.size(), c.archive.payload.size(),
                 c.archive.damaged ? ", damaged" : "");
    for (const Run* run : c.runs)
        std::fprintf(stderr, "%s", Summary(*run).c_str());
    __builtin_trap();
}

bool IsPrefix(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    return a.size() <= b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// What each run must show on its own, whatever the other gave.
void CheckRun(const Context& c, const Run& run)
{
    const std::string who = std::string(run.engine) + ": ";
    const bool stream_rules = run.engine[0] == 's' || run.fell_back;
    if (run.bad_report != 0)
        Fail(c, who + "a report of " + std::to_string(run.bad_report) + " bytes");
    if (!run.threads_back)
        Fail(c, who + "a thread outlived the run");
    if (run.budget_missing != 0)
        Fail(c, who + "budget not given back");
    if (!c.recipe.test_only) {
        // The stream decoder that learns of a failed write from the writer
        // thread only at its next write hands that step over unreported.
        const bool unreported_step = stream_rules && run.result == ResultCode::WriteError &&
                                     run.handed > run.reported && run.handed - run.reported <= codec::kIoChunk;
        if (run.reported != run.handed && !unreported_step)
            Fail(c, who + "reports do not add up to what was handed over");
        if (run.written.size() > run.reported)
            Fail(c, who + "more written than reported");
        if (!IsPrefix(run.written, c.archive.payload) && !c.archive.damaged && !c.faults.change)
            Fail(c, who + "wrote bytes the archive does not hold");
    }
    if (run.result == ResultCode::Ok) {
        const uint64_t whole = c.recipe.test_only ? run.reported : run.written.size();
        if (!c.recipe.test_only && (run.handed != run.written.size() || run.reported != run.handed))
            Fail(c, who + "success without every byte written and reported");
        if (!c.archive.damaged && !c.faults.change && whole != c.archive.payload.size())
            Fail(c, who + "success with output of another size than the payload");
    }
    if (run.result == ResultCode::Aborted && !run.heard_abort)
        Fail(c, who + "21 without an abort");
    if (run.result == ResultCode::WriteError && !run.write_failed)
        Fail(c, who + "19 without a failed write");
    if (stream_rules) {
        // Within a chunk the event met last decides; nothing after the
        // chunk is read, so one that did not decide was met in the last.
        if (run.heard_abort && run.result != ResultCode::Aborted && run.result != ResultCode::WriteError &&
            run.chunks_at_abort != run.chunk_reads)
            Fail(c, who + "an abort heard chunks before the fault that decided");
        if (run.write_failed && run.result != ResultCode::WriteError && run.chunks_at_write_failure != run.chunk_reads)
            Fail(c, who + "a failed write chunks before the event that decided");
    } else {
        // The block decoder stops at the first stop it hears of.
        if (run.late_reports != 0)
            Fail(c, who + "reports after the abort");
        if (run.write_failed && run.result != ResultCode::WriteError)
            Fail(c, who + "a failed write that did not decide");
        if (run.heard_abort && run.result != ResultCode::Aborted && run.result != ResultCode::WriteError)
            Fail(c, who + "an abort that did not decide");
    }
}

const char* ExplainFileFaults(const Context& c, const Run& s, const Run& p);

// Why results differ, when one of the listed differences says so; null
// otherwise.
const char* Explain(const Context& c, const Run& s, const Run& p)
{
    if (p.fell_back)
        return nullptr;
    if (!c.faults.stops())
        return ExplainFileFaults(c, s, p);
    // Each engine, without the abort and the write fault, gives what it
    // gives for the file; with them it gives that too, or stops for them.
    Faults calm = c.faults;
    calm.abort_at = 0;
    calm.abort_when_idle = false;
    calm.write_fault = false;
    Context quiet{c.recipe, c.archive, calm, c.threads, c.runs};
    const Run s0 = Decode(Engine::Stream, c.recipe, c.archive, calm, c.threads);
    const Run p0 = Decode(Engine::Blocks, c.recipe, c.archive, calm, c.threads);
    quiet.runs.push_back(&s0);
    quiet.runs.push_back(&p0);
    CheckRun(quiet, s0);
    CheckRun(quiet, p0);
    if (s0.result != p0.result && ExplainFileFaults(quiet, s0, p0) == nullptr)
        Fail(quiet, "results differ without an abort or a write fault");
    for (const auto& [with, without] : {std::make_pair(&s, &s0), std::make_pair(&p, &p0)}) {
        const bool stopped = with->result == ResultCode::Aborted || with->result == ResultCode::WriteError;
        if (!stopped && with->result != without->result)
            return nullptr;
    }
    return "an abort or a write fault met at another point of the output";
}

// Whether the changed byte lies in the header of a block the indexes list,
// the header's size read from the file as changed.
bool InBlockHeader(const recipe::Archive& a, const Faults& f)
{
    for (const auto& [start, end] : a.listed_blocks) {
        if (f.change_at < start || f.change_at >= end)
            continue;
        const uint8_t size_byte = a.file[start] ^ (f.change_at == start ? f.change_mask : 0);
        return f.change_at < start + (size_byte + 1u) * 4;
    }
    return false;
}

const char* ExplainFileFaults(const Context& c, const Run& s, const Run& p)
{
    if (p.fell_back)
        return nullptr;
    // A run that ended at a fault in the file: 11 or 12 from the data it
    // had, 18 where a read it made was cut short. A read cut short ends the
    // stream decoder's input, so its 11 or 12 is a fault in the bytes before
    // the bad spot.
    const bool stream_failed = s.result == ResultCode::BadData || s.result == ResultCode::NoMemory ||
                               (s.result == ResultCode::ReadError && s.source_hit_fault);
    const bool blocks_failed = p.result == ResultCode::BadData ||
                               (p.result == ResultCode::ReadError && (p.walk_hit_fault || p.workers_hit_fault));
    // The walk checks the whole chain before any block, from the end of
    // the file back; the stream decoder reads in order and may fail first
    // at another fault in front of the one the walk found.
    if (p.opens == 1 && p.reported == 0 && blocks_failed && stream_failed)
        return "the walk failing at one fault, the stream decoder at another before it";
    // The block decoder holds each block header to its record as the block
    // starts and reads the blocks where the records put them; the stream
    // decoder reads them where the headers put them and finds a header's
    // lie at the end of the block's data, an index's only at the index:
    // each fails at the first fault on its own way.
    if ((c.archive.index_lies || c.archive.header_lies) && blocks_failed && stream_failed)
        return "an index or a header that lies, each decoder failing at the first fault on its way";
    // The walk and the header scan read the file as it was, and the changed
    // byte lies in no block the indexes list (a worker's window may cover
    // it, but no decoder is fed it): the block decoder decoded the file as
    // it was, the stream decoder the file as it is.
    // A block header changed after the scan that sized the workers' shares
    // from every header: the block decoder calls a header that now names a
    // larger dictionary a file changed since (12); the stream decoder
    // decodes the header as it now is.
    if (c.faults.change && p.result == ResultCode::BadData && InBlockHeader(c.archive, c.faults))
        return "a block header changed after the scan";
    if (c.faults.change && !c.archive.InListedBlock(c.faults.change_at) && s.source_read_change) {
        Faults unchanged = c.faults;
        unchanged.change = false;
        const Run p0 = Decode(Engine::Blocks, c.recipe, c.archive, unchanged, c.threads);
        if (p0.result == p.result)
            return "a byte changed where no worker reads";
    }
    return nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const recipe::Recipe r = recipe::Parse(data, size);
    recipe::Archive archive;
    if (!recipe::Build(r, &archive)) {
        std::fprintf(stderr, "fuzz_block_recipe: liblzma could not encode the recipe\n%s", recipe::Describe(r).c_str());
        __builtin_trap();
    }
    const Faults faults = Resolve(r, archive.file.size());
    const size_t threads = process_threads::Count();

    const Run s = Decode(Engine::Stream, r, archive, faults, threads);
    const Run p = Decode(Engine::Blocks, r, archive, faults, threads);
    const Context c{r, archive, faults, threads, {&s, &p}};
    // For a look at what a recipe does: its archive (as written, before the
    // change) for other tools, its runs before any check.
    if (const char* path = std::getenv("BLOCK_RECIPE_ARCHIVE")) {
        if (FILE* f = std::fopen(path, "wb")) {
            std::fwrite(archive.file.data(), 1, archive.file.size(), f);
            std::fclose(f);
        }
    }
    static const bool verbose = std::getenv("BLOCK_RECIPE_VERBOSE") != nullptr;
    if (verbose)
        std::fprintf(stderr, "%sfile %zu bytes, payload %zu bytes\n%s%s\n", recipe::Describe(r).c_str(),
                     archive.file.size(), archive.payload.size(), Summary(s).c_str(), Summary(p).c_str());
    CheckRun(c, s);
    CheckRun(c, p);

    if (!r.test_only && !IsPrefix(s.written, p.written) && !IsPrefix(p.written, s.written))
        Fail(c, "the engines wrote different bytes");
    for (const auto& [done, other] : {std::make_pair(&s, &p), std::make_pair(&p, &s)})
        if (done->result == ResultCode::Ok && other->reported > done->reported)
            Fail(c, std::string(other->engine) + " reported more than a complete run");
    if (p.fell_back) {
        // The same decoder over the same input: the same run, but for the
        // step at which a write fault told late is noticed.
        const bool same = s.result == p.result && s.written == p.written &&
                          (s.result == ResultCode::WriteError || (s.reported == p.reported && s.handed == p.handed));
        if (!same)
            Fail(c, "the fallback ran otherwise than the stream decoder");
        return 0;
    }
    if (s.result != p.result && Explain(c, s, p) == nullptr)
        Fail(c, "results differ");
    return 0;
}
