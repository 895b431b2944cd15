// Index-driven block decoding on worker threads, and the choice between it and liblzma's own decoders.
#include "unpack/block_decode.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include "codec/sync.h"
#include "unpack/decode_run.h"
#include "xzformat/xz_format.h"

namespace unpack {

using plugin::ResultCode;
using xzformat::BlockRecord;

namespace {

// A worker reads its blocks through a window of this size: a long block in
// pieces, many small ones at a time.
constexpr size_t kInputWindow = 256 * 1024;
// Output of one codec step: with input bounded by the window, a step of a
// highly compressed block can still not run for long before the worker
// looks for a stop again.
constexpr size_t kStepOutput = 128 * 1024;
// The writer gives a lane's space back after this much, so that a worker
// waiting for room need not wait for a whole lane to be written.
constexpr size_t kWriteBatch = 256 * 1024;
// Each worker's output lane: room for the block it decodes ahead of the
// writer, up to the largest block the indexes claim, within these bounds.
constexpr uint64_t kLaneMin = 256 * 1024;
constexpr uint64_t kLaneMax = 16 * codec::kMiB;
// What a worker's decoder keeps beside its dictionary and buffers.
constexpr uint64_t kDecoderStateAllowance = codec::kMiB;
// Where no header names a dictionary, every block fails as soon as its
// header is read; a nominal share stands in.
constexpr uint64_t kDictionaryStandIn = 8 * codec::kMiB;
// Blocks that decode, on average, to less than this are left to the
// stream decoder: a block costs the block decoder a record, a header read
// and a hand-over besides its decoding, which for a million empty blocks
// would make the run twice as slow as one thread's.
constexpr uint64_t kSmallestAverageBlock = 1024;
// Headers read at a time while the dictionaries are looked for.
constexpr size_t kHeaderScanWindow = 64 * 1024;

// A short read within a file of the size it had is a failed read; past the
// end of a file that shrank, the file is no longer the archive it was.
ResultCode ShortRead(xzformat::ByteSource& source, uint64_t end)
{
    uint64_t size = 0;
    return source.Size(&size) && size >= end ? ResultCode::ReadError : ResultCode::BadData;
}

uint64_t RoundUp(uint64_t n, uint64_t unit)
{
    return n > UINT64_MAX - unit ? UINT64_MAX : (n + unit - 1) / unit * unit;
}

// The host's callback as the calling thread sees it: any report restarts
// the clock, and a wait that has lasted quiet_ms is told with 0 bytes.
class Heartbeat {
public:
    Heartbeat(codec::ProgressSink& progress, uint32_t quiet_ms)
        : progress_(progress), quiet_(quiet_ms), last_(Clock::now())
    {
    }
    bool Report(int32_t bytes)
    {
        last_ = Clock::now();
        return progress_.Report(bytes);
    }
    // A report of 0 when one is due; false when the host wants to stop.
    bool Beat() { return Clock::now() - last_ < quiet_ || Report(0); }
    uint32_t MillisecondsLeft() const
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(last_ + quiet_ - Clock::now());
        return left.count() > 0 ? static_cast<uint32_t>(left.count()) : 0;
    }

private:
    using Clock = std::chrono::steady_clock;
    codec::ProgressSink& progress_;
    std::chrono::milliseconds quiet_;
    Clock::time_point last_;
};

// Serves reads from a window of the file, so that looking at thousands of
// small block headers in a row costs a read per window, not per header.
class WindowSource final : public xzformat::ByteSource {
public:
    WindowSource(xzformat::ByteSource& inner, uint8_t* buffer, size_t capacity)
        : inner_(inner), buffer_(buffer), capacity_(capacity)
    {
    }
    bool Size(uint64_t* size) override { return inner_.Size(size); }
    size_t ReadAt(uint64_t offset, void* buf, size_t n) override
    {
        if (offset < start_ || offset + n > start_ + length_) {
            if (n > capacity_)
                return inner_.ReadAt(offset, buf, n);
            start_ = offset;
            length_ = inner_.ReadAt(offset, buffer_, capacity_);
        }
        const size_t got = static_cast<size_t>(std::min<uint64_t>(n, start_ + length_ - offset));
        std::memcpy(buf, buffer_ + (offset - start_), got);
        return got;
    }

private:
    xzformat::ByteSource& inner_;
    uint8_t* buffer_;
    size_t capacity_;
    uint64_t start_ = 0;
    size_t length_ = 0;
};

// The largest dictionary that any block header names, read before a worker
// starts so that every worker's share can hold it. Reports 0 bytes while
// it reads; false when the host answers that it wants to stop.
bool FindLargestDictionary(xzformat::ByteSource& source, const std::vector<BlockRecord>& records,
                           Heartbeat& beat, uint64_t* largest)
{
    std::unique_ptr<uint8_t[]> window(new uint8_t[kHeaderScanWindow]);
    WindowSource headers(source, window.get(), kHeaderScanWindow);
    *largest = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        if (records[i].unpadded == 0)
            continue;
        uint64_t dictionary = 0;
        // A header that does not read fails its block anyway.
        xzformat::ReadBlockHeader(headers, records[i].offset, &dictionary);
        *largest = std::max(*largest, dictionary);
        if (i % 1024 == 0 && !beat.Beat())
            return false;
    }
    return true;
}

// How the records are cut into tasks: small blocks together, up to
// task_input of packed input, but never more than a quarter of all the
// records in one task, so that a few small blocks still make work for
// every worker.
struct TaskCut {
    uint64_t input;
    size_t blocks;

    TaskCut(uint64_t task_input, size_t records) : input(task_input), blocks(std::max<size_t>(1, records / 4)) {}

    // One past the last record of the task that starts at `first`; the end
    // of its last block in the file goes to *read_end.
    size_t End(const std::vector<BlockRecord>& records, size_t first, uint64_t* read_end) const
    {
        uint64_t taken = 0;
        size_t end = first;
        do {
            const BlockRecord& r = records[end++];
            if (r.unpadded != 0) {
                taken += xzformat::PaddedSize(r.unpadded);
                *read_end = r.offset + xzformat::PaddedSize(r.unpadded);
            }
        } while (end < records.size() && taken < input && end - first < blocks);
        return end;
    }
};

// A run of consecutive records that one worker decodes, its output going
// into that worker's lane in file order.
struct Task {
    size_t first = 0;       // the first record
    size_t end = 0;         // one past the last
    uint64_t read_end = 0;  // the end of its last block in the file
    uint32_t lane = 0;
    uint64_t produced = 0;  // bytes put into the lane so far
    bool done = false;
    ResultCode result = ResultCode::Ok;
};

// A worker's output on its way to the writer, a ring of bytes: the worker
// puts its tasks' output in at the tail, in file order, and the writer
// takes each task's part from the head once all before it are written.
struct Lane {
    std::unique_ptr<uint8_t[]> ring;
    uint64_t capacity = 0;
    uint64_t head = 0; // bytes taken by the writer (under the pipeline's lock)
    uint64_t tail = 0; // bytes put in by the worker (under the pipeline's lock)
    bool worker_waits = false;
    codec::CondVar room; // the writer made room

    // The worker's own: its reader and input window.
    std::unique_ptr<xzformat::ByteSource> own_reader;
    xzformat::ByteSource* reader = nullptr;
    std::unique_ptr<uint8_t[]> input;
    uint64_t input_start = 0; // file offset of input[0]
    size_t input_length = 0;
    bool short_read = false; // the last read brought fewer bytes than asked
    uint64_t known_room = 0; // free bytes at the tail the worker has seen
};

class BlockPipeline {
public:
    BlockPipeline(const codec::CodecApi& codec, const std::vector<BlockRecord>& records, const TaskCut& cut,
                  uint64_t dictionary)
        : codec_(codec), records_(records), cut_(cut), dictionary_(dictionary)
    {
    }
    BlockPipeline(const BlockPipeline&) = delete;
    BlockPipeline& operator=(const BlockPipeline&) = delete;
    ~BlockPipeline() { Stop(); }

    // Every buffer of `workers` workers, each with a reader of its own
    // where one can be had, else the walk's. False when memory is short.
    bool Prepare(uint32_t workers, uint64_t lane_capacity, ArchiveReaders& readers,
                 xzformat::ByteSource& shared)
    {
        window_ = 2 * static_cast<uint64_t>(workers);
        tasks_.reset(new (std::nothrow) Task[window_]);
        lanes_.reset(new (std::nothrow) Lane[workers]);
        if (!tasks_ || !lanes_)
            return false;
        lane_count_ = workers;
        for (uint32_t i = 0; i < workers; ++i) {
            Lane& lane = lanes_[i];
            lane.ring.reset(new (std::nothrow) uint8_t[lane_capacity]);
            lane.input.reset(new (std::nothrow) uint8_t[kInputWindow]);
            if (!lane.ring || !lane.input)
                return false;
            lane.capacity = lane_capacity;
            lane.own_reader = readers.Open();
            lane.reader = lane.own_reader ? lane.own_reader.get() : &shared;
        }
        return true;
    }

    // Starts a worker per lane; false when not even one could start.
    bool Start()
    {
        threads_.reserve(lane_count_);
        for (uint32_t i = 0; i < lane_count_; ++i) {
            try {
                threads_.emplace_back([this, i] { Work(i); });
            } catch (const std::exception&) {
                break; // no thread, or no memory for one: fewer workers
            }
        }
        return !threads_.empty();
    }

    // Writes every task's output in order on the calling thread. A sink
    // that writes on a thread of its own tells of a failed write only when
    // asked; a run that ends, however it ends, asks once more.
    ResultCode Write(codec::ChunkSink* sink, Heartbeat& beat)
    {
        const ResultCode result = WriteTasks(sink, beat);
        if (sink != nullptr && result != ResultCode::WriteError && sink->Settle() != codec::ChunkSink::kNoFailure)
            return ResultCode::WriteError;
        return result;
    }

    // Stops the workers at their next step and waits for every one.
    void Stop()
    {
        {
            std::lock_guard<codec::Mutex> lock(mutex_);
            stop_.store(true);
        }
        work_cv_.NotifyAll();
        for (uint32_t i = 0; i < lane_count_; ++i)
            lanes_[i].room.NotifyAll();
        for (std::thread& t : threads_)
            t.join();
        threads_.clear();
    }

private:
    bool AllTaken() const { return next_record_ >= records_.size(); }

    // The records of the next task: one block, or small ones together up
    // to the task's share of input.
    Task NextTask(uint32_t lane) const
    {
        Task t;
        t.first = next_record_;
        t.lane = lane;
        t.end = cut_.End(records_, t.first, &t.read_end);
        return t;
    }

    // Waits, reporting 0 when the host has waited long enough, for the task
    // `seq` to have output past `taken` or to be done. False when the host
    // wants to stop; otherwise *task holds it (null: every task is written).
    bool AwaitTask(std::unique_lock<codec::Mutex>& lock, uint64_t seq, uint64_t taken, Heartbeat& beat,
                   Task** task)
    {
        for (;;) {
            if (seq < next_task_) {
                Task& t = tasks_[seq % window_];
                if (t.produced > taken || t.done) {
                    *task = &t;
                    return true;
                }
            } else if (AllTaken()) {
                *task = nullptr;
                return true;
            }
            writer_waits_ = true;
            written_cv_.WaitFor(lock, std::max<uint32_t>(beat.MillisecondsLeft(), 1));
            writer_waits_ = false;
            lock.unlock();
            const bool go_on = beat.Beat();
            lock.lock();
            if (!go_on)
                return false;
        }
    }

    ResultCode WriteTasks(codec::ChunkSink* sink, Heartbeat& beat)
    {
        for (uint64_t seq = 0;; ++seq) {
            uint64_t taken = 0; // of this task's output
            for (;;) {
                const uint8_t* bytes = nullptr;
                size_t count = 0;
                Lane* lane = nullptr;
                {
                    std::unique_lock<codec::Mutex> lock(mutex_);
                    Task* t = nullptr;
                    if (!AwaitTask(lock, seq, taken, beat, &t))
                        return ResultCode::Aborted;
                    if (t == nullptr)
                        return ResultCode::Ok;
                    if (t->produced == taken) { // done, and all of it written
                        if (t->result != ResultCode::Ok)
                            return t->result;
                        written_task_ = seq + 1;
                        lock.unlock();
                        work_cv_.NotifyAll();
                        break;
                    }
                    lane = &lanes_[t->lane];
                    const uint64_t at = lane->head % lane->capacity;
                    count = static_cast<size_t>(
                        std::min<uint64_t>({t->produced - taken, lane->capacity - at, kWriteBatch}));
                    bytes = lane->ring.get() + at;
                }
                for (size_t at = 0; at < count; at += codec::kIoChunk) {
                    const size_t n = std::min(codec::kIoChunk, count - at);
                    const bool written = sink == nullptr || sink->Write(bytes + at, n);
                    if (!beat.Report(static_cast<int32_t>(n)))
                        return ResultCode::Aborted;
                    if (!written)
                        return ResultCode::WriteError;
                }
                taken += count;
                std::lock_guard<codec::Mutex> lock(mutex_);
                lane->head += count;
                if (lane->worker_waits) {
                    lane->worker_waits = false;
                    lane->room.NotifyOne();
                }
            }
        }
    }

    // Each worker keeps its decoder, whose dictionary liblzma reuses from
    // block to block, and its buffers; nothing is allocated per block.
    void Work(uint32_t index)
    {
        Lane& lane = lanes_[index];
        lzma_stream stream;
        std::memset(&stream, 0, sizeof(stream));
        for (;;) {
            uint64_t seq = 0;
            Task task;
            {
                std::unique_lock<codec::Mutex> lock(mutex_);
                // No more tasks ahead of the writer than the window holds,
                // and none past a task that failed, whose fault ends the run.
                work_cv_.Wait(lock, [&] {
                    return stop_.load() || AllTaken() || next_task_ > failed_task_ ||
                           next_task_ - written_task_ < window_;
                });
                if (stop_.load() || AllTaken() || next_task_ > failed_task_)
                    break;
                seq = next_task_++;
                task = NextTask(index);
                next_record_ = task.end;
                tasks_[seq % window_] = task;
            }
            ResultCode result = ResultCode::NoMemory;
            try {
                result = DecodeTask(lane, seq, task, &stream);
            } catch (...) {
                // Nothing a worker calls is meant to throw; if a reader
                // does, its task fails as out of memory, and the run ends.
            }
            std::lock_guard<codec::Mutex> lock(mutex_);
            Task& t = tasks_[seq % window_];
            t.done = true;
            t.result = result;
            if (result != ResultCode::Ok)
                failed_task_ = std::min(failed_task_, seq);
            if (writer_waits_)
                written_cv_.NotifyOne();
        }
        codec_.end(&stream);
    }

    ResultCode DecodeTask(Lane& lane, uint64_t seq, const Task& task, lzma_stream* stream)
    {
        for (size_t i = task.first; i < task.end; ++i) {
            if (stop_.load(std::memory_order_relaxed))
                return ResultCode::Aborted;
            const BlockRecord& r = records_[i];
            // The stream decoder, told to, names a check it cannot compute
            // at the stream's header, blocks or none; so must this.
            if (!codec_.check_is_supported(static_cast<lzma_check>(r.check)))
                return ResultCode::BadData;
            if (r.unpadded == 0)
                continue;
            const ResultCode result = DecodeBlock(lane, seq, r, task.read_end, stream);
            if (result != ResultCode::Ok)
                return result;
        }
        return ResultCode::Ok;
    }

    // Makes the bytes from `at` on available in the worker's window, at
    // least `want` of them where the window holds fewer, reading no further
    // than read_end. Returns how many are there from `at` on.
    size_t Fill(Lane& lane, uint64_t at, size_t want, uint64_t read_end)
    {
        if (at >= lane.input_start && at - lane.input_start < lane.input_length) {
            const size_t have = static_cast<size_t>(lane.input_start + lane.input_length - at);
            if (have >= want)
                return have;
        }
        const size_t asked = static_cast<size_t>(std::min<uint64_t>(kInputWindow, read_end - at));
        lane.input_start = at;
        lane.input_length = lane.reader->ReadAt(at, lane.input.get(), asked);
        lane.short_read = lane.input_length < asked;
        return lane.input_length;
    }

    // Room for the next step's output at the lane's tail; null when the run
    // stops. Room found once stays free until it is filled, since the
    // writer takes nothing past the tail, so it is looked for under the
    // lock only when what was found last is used up.
    uint8_t* Room(Lane& lane, size_t* room)
    {
        if (lane.known_room == 0) {
            std::unique_lock<codec::Mutex> lock(mutex_);
            for (;;) {
                if (stop_.load())
                    return nullptr;
                const uint64_t used = lane.tail - lane.head;
                if (used < lane.capacity) {
                    lane.known_room = std::min(lane.capacity - used, lane.capacity - lane.tail % lane.capacity);
                    break;
                }
                lane.worker_waits = true;
                lane.room.Wait(lock);
            }
        }
        *room = static_cast<size_t>(std::min<uint64_t>(lane.known_room, kStepOutput));
        return lane.ring.get() + lane.tail % lane.capacity;
    }

    void Put(Lane& lane, uint64_t seq, size_t count)
    {
        if (count == 0)
            return;
        lane.known_room -= count;
        std::lock_guard<codec::Mutex> lock(mutex_);
        lane.tail += count;
        tasks_[seq % window_].produced += count;
        if (writer_waits_)
            written_cv_.NotifyOne();
    }

    // One block, from its bytes on disk to the lane, as lzma/block.h says:
    // the header decoded with the stream's check, the compressed size
    // derived from the index's unpadded size and the uncompressed size
    // taken from the index, so that the decoder holds the data to both. The
    // input goes in by the window, the block's header whole in the first;
    // a read that comes back short is fed as far as it goes, and only when
    // the decoder wants more than it brought is the block a failed read.
    ResultCode DecodeBlock(Lane& lane, uint64_t seq, const BlockRecord& record, uint64_t read_end,
                           lzma_stream* stream)
    {
        const uint64_t padded = xzformat::PaddedSize(record.unpadded);
        const uint64_t block_end = record.offset + padded;
        const size_t header_want = static_cast<size_t>(std::min<uint64_t>(padded, xzformat::kBlockHeaderMaxSize));
        size_t have = Fill(lane, record.offset, header_want, read_end);
        const uint8_t* in = lane.input.get() + (record.offset - lane.input_start);
        if (have == 0)
            return ShortRead(*lane.reader, record.offset + 1);
        // A header-size byte of 0 is an index indicator, not a block.
        const size_t header_size = (static_cast<size_t>(in[0]) + 1) * xzformat::kBlockHeaderSizeUnit;
        if (in[0] == 0 || header_size >= padded)
            return ResultCode::BadData;
        if (have < header_size)
            return ShortRead(*lane.reader, record.offset + header_size);

        lzma_filter filters[LZMA_FILTERS_MAX + 1];
        lzma_block block;
        std::memset(&block, 0, sizeof(block));
        block.version = 1;
        block.header_size = static_cast<uint32_t>(header_size);
        block.check = static_cast<lzma_check>(record.check);
        block.filters = filters;
        lzma_ret status = codec_.block_header_decode(&block, nullptr, in);
        if (status != LZMA_OK)
            return FromDecoderStatus(status);
        // Every header was read before the workers' shares were taken; one
        // that names a larger dictionary now was written since.
        for (const lzma_filter* f = filters; f->id != LZMA_VLI_UNKNOWN; ++f) {
            if (f->id == LZMA_FILTER_LZMA2 &&
                static_cast<const lzma_options_lzma*>(f->options)->dict_size > dictionary_) {
                codec_.filters_free(filters, nullptr);
                return ResultCode::BadData;
            }
        }
        status = codec_.block_compressed_size(&block, record.unpadded);
        const bool size_agrees =
            block.uncompressed_size == LZMA_VLI_UNKNOWN || block.uncompressed_size == record.uncompressed;
        block.uncompressed_size = record.uncompressed;
        if (status == LZMA_OK && size_agrees)
            status = codec_.block_decoder(stream, &block);
        // The decoder keeps copies of what it needs from the options.
        codec_.filters_free(filters, nullptr);
        if (status != LZMA_OK || !size_agrees)
            return status == LZMA_OK ? ResultCode::BadData : FromDecoderStatus(status);

        uint64_t at = record.offset + header_size; // the first byte not yet handed to the decoder
        stream->next_in = in + header_size;
        stream->avail_in = static_cast<size_t>(std::min<uint64_t>(record.offset + have, block_end) - at);
        at += stream->avail_in;
        // Once the decoder is told to finish, its input must not change:
        // that happens only when the rest of the block is in the window.
        lzma_action action = at == block_end ? LZMA_FINISH : LZMA_RUN;
        for (;;) {
            if (stop_.load(std::memory_order_relaxed))
                return ResultCode::Aborted; // the writer has its result already
            if (stream->avail_in == 0 && action == LZMA_RUN) {
                if (lane.short_read)
                    return ShortRead(*lane.reader, at + 1);
                have = Fill(lane, at, 1, read_end);
                if (have == 0)
                    return ShortRead(*lane.reader, at + 1);
                stream->next_in = lane.input.get() + (at - lane.input_start);
                stream->avail_in = static_cast<size_t>(std::min<uint64_t>(have, block_end - at));
                at += stream->avail_in;
                action = at == block_end ? LZMA_FINISH : LZMA_RUN;
            }
            size_t room = 0;
            uint8_t* out = Room(lane, &room);
            if (out == nullptr)
                return ResultCode::Aborted; // the writer has its result already
            stream->next_out = out;
            stream->avail_out = room;
            status = codec_.code(stream, action);
            // As on one thread, a failing step hands over nothing.
            if (status != LZMA_OK && status != LZMA_STREAM_END)
                return FromDecoderStatus(status);
            Put(lane, seq, room - stream->avail_out);
            if (status == LZMA_STREAM_END)
                break;
        }
        // The block decoder knows both sizes; the whole block read is what is left to see.
        return at == block_end && stream->avail_in == 0 ? ResultCode::Ok : ResultCode::BadData;
    }

    const codec::CodecApi& codec_;
    const std::vector<BlockRecord>& records_;
    const TaskCut cut_;
    const uint64_t dictionary_; // the largest each worker's share holds
    std::unique_ptr<Task[]> tasks_; // a ring of the tasks in flight
    uint64_t window_ = 0;           // its size
    std::unique_ptr<Lane[]> lanes_;
    uint32_t lane_count_ = 0;
    std::vector<std::thread> threads_;

    codec::Mutex mutex_;
    codec::CondVar work_cv_;    // a task may be taken, or the run stops
    codec::CondVar written_cv_; // a task has output or is done
    std::atomic<bool> stop_{false};
    bool writer_waits_ = false;
    size_t next_record_ = 0;           // the first record no task has taken
    uint64_t next_task_ = 0;           // the next task to take
    uint64_t written_task_ = 0;        // the task being written
    uint64_t failed_task_ = UINT64_MAX; // the earliest task known to fail
};

// Budget taken by a run, given back however the run ends.
class Lease {
public:
    explicit Lease(codec::MemoryBudget& budget) : budget_(budget) {}
    ~Lease() { budget_.Give(taken_); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    bool TakeAtLeast(uint64_t minimum, uint64_t wanted)
    {
        const uint64_t got = budget_.TakeAtLeast(minimum, wanted);
        taken_ += got;
        return got > 0;
    }
    void KeepOnly(uint64_t amount)
    {
        budget_.Give(taken_ - amount);
        taken_ = amount;
    }
    uint64_t taken() const { return taken_; }

private:
    codec::MemoryBudget& budget_;
    uint64_t taken_ = 0;
};

// The index-driven run itself. False where the stream decoder should do
// the work instead; everything held here is gone by the time it does.
bool TryDecodeBlocks(const codec::CodecApi& codec, ArchiveReaders& readers, codec::ChunkSink* sink,
                     Heartbeat& beat, uint32_t processors, codec::MemoryBudget& budget,
                     const BlockDecodeLimits& limits, ResultCode* result)
{
    const std::unique_ptr<xzformat::ByteSource> archive = readers.Open();
    if (!archive)
        return false;
    std::vector<BlockRecord> records;
    switch (xzformat::ReadBlockRecords(*archive, &records, limits.max_records)) {
    case xzformat::WalkStatus::Ok:
        break;
    case xzformat::WalkStatus::BadData:
        *result = ResultCode::BadData;
        return true;
    case xzformat::WalkStatus::ReadError:
        *result = ResultCode::ReadError;
        return true;
    case xzformat::WalkStatus::NoMemory:
        return false;
    }
    // The table counts against the budget like the workers' buffers.
    Lease lease(budget);
    const uint64_t table = uint64_t{records.capacity()} * sizeof(BlockRecord);
    if (!lease.TakeAtLeast(table, table))
        return false;

    // Enough tasks for two workers, or the file is better decoded at once.
    const TaskCut cut(limits.task_input, records.size());
    uint64_t tasks = 0;
    for (size_t first = 0; first < records.size(); ++tasks) {
        uint64_t read_end = 0;
        first = cut.End(records, first, &read_end);
    }
    uint64_t largest_uncompressed = 0;
    for (const BlockRecord& r : records)
        largest_uncompressed = std::max(largest_uncompressed, r.uncompressed);
    xzformat::BlockLayout layout{tasks, 0, largest_uncompressed, 0};
    const uint32_t wanted = codec::DecoderThreadCount(layout, processors);
    if (wanted < 2)
        return false;
    uint64_t dictionary = 0;
    if (!FindLargestDictionary(*archive, records, beat, &dictionary)) {
        *result = ResultCode::Aborted;
        return true;
    }

    // Two workers' shares with the smallest lanes at least; lanes as large
    // as the largest block where the budget grants them.
    if (dictionary == 0)
        dictionary = kDictionaryStandIn;
    const uint64_t fixed = dictionary + kInputWindow + kDecoderStateAllowance;
    const uint64_t lane_wanted = std::min(std::max(RoundUp(largest_uncompressed, kLaneMin), kLaneMin), kLaneMax);
    if (!lease.TakeAtLeast(2 * (fixed + kLaneMin), wanted * (fixed + lane_wanted)))
        return false;
    const uint64_t granted = lease.taken() - table;
    const uint32_t workers = static_cast<uint32_t>(std::min<uint64_t>(wanted, granted / (fixed + kLaneMin)));
    const uint64_t lane = std::min(lane_wanted, (granted / workers - fixed) / kLaneMin * kLaneMin);
    lease.KeepOnly(table + workers * (fixed + lane));

    BlockPipeline pipeline(codec, records, cut, dictionary);
    if (!pipeline.Prepare(workers, lane, readers, *archive) || !pipeline.Start())
        return false;
    *result = pipeline.Write(sink, beat);
    pipeline.Stop();
    return true;
}

} // namespace

// liblzma's threaded decoder splits the work only at blocks whose headers
// store their sizes, and only within a stream; it runs everything else on
// one thread. Threaded xz writes such blocks, one stream of them, and for
// those it is the proven path. Files of several streams (parallel writers,
// concatenated or appended logs) and blocks without sizes (xz -T1
// --block-size) are found block by block through the indexes instead,
// which the open has already shown to be whole. A single block, a single
// core, or a library without the names an engine needs leaves the stream
// decoder, which handles every file the others would, and so do blocks
// too small on average to be worth handing to a worker.
DecodeEngine ChooseDecodeEngine(const codec::CodecApi& codec, const xzformat::BlockLayout& blocks,
                                uint32_t processors)
{
    if (blocks.count < 2 || processors < 2)
        return DecodeEngine::SingleThreaded;
    if (blocks.streams == 1 && blocks.first_block_sized)
        return codec.stream_decoder_mt != nullptr ? DecodeEngine::LibraryThreaded : DecodeEngine::SingleThreaded;
    if (blocks.uncompressed / blocks.count < kSmallestAverageBlock)
        return DecodeEngine::SingleThreaded;
    return codec.block_decoder != nullptr ? DecodeEngine::IndexDriven : DecodeEngine::SingleThreaded;
}

ResultCode DecodeBlocks(const codec::CodecApi& codec, ArchiveReaders& readers, codec::ChunkSource& stream,
                        codec::ChunkSink* sink, codec::ProgressSink& progress, uint32_t processors,
                        codec::MemoryBudget& budget, const BlockDecodeLimits& limits)
{
    Heartbeat beat(progress, limits.quiet_ms);
    ResultCode result = ResultCode::Ok;
    bool decoded = false;
    try {
        decoded = TryDecodeBlocks(codec, readers, sink, beat, processors, budget, limits, &result);
    } catch (const std::bad_alloc&) {
        // Setting up ran out of memory before any output: one thread needs none of it.
    } catch (const std::length_error&) {
    }
    return decoded ? result : DecodeRun(codec, stream, sink, progress);
}

ResultCode DecodeArchive(const codec::CodecApi& codec, codec::ChunkSource& stream, ArchiveReaders* readers,
                         codec::ChunkSink* sink, codec::ProgressSink& progress, const xzformat::BlockLayout& blocks,
                         uint32_t processors, codec::MemoryBudget& budget)
{
    switch (ChooseDecodeEngine(codec, blocks, processors)) {
    case DecodeEngine::IndexDriven:
        if (readers != nullptr)
            return DecodeBlocks(codec, *readers, stream, sink, progress, processors, budget);
        break;
    case DecodeEngine::LibraryThreaded: {
        const codec::DecoderReservation reservation(budget, blocks, processors);
        return DecodeRun(codec, stream, sink, progress, reservation.threads());
    }
    case DecodeEngine::SingleThreaded:
        break;
    }
    return DecodeRun(codec, stream, sink, progress);
}

} // namespace unpack
