// Index-driven block decoding on worker threads, and the choice between it and liblzma's own decoders.
#include "unpack/block_decode.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "codec/sync.h"
#include "unpack/decode_run.h"
#include "xzformat/xz_format.h"

namespace unpack {

using plugin::ResultCode;
using xzformat::BlockRecord;

namespace {

// Input handed to the block decoder per call: between two calls a worker
// looks for an abort, so this bounds how long the run takes to stop (some
// 64 KiB of compressed input, a few milliseconds of work).
constexpr size_t kWorkerStep = 64 * 1024;

ResultCode FromBlockStatus(lzma_ret status)
{
    return status == LZMA_MEM_ERROR || status == LZMA_MEMLIMIT_ERROR ? ResultCode::NoMemory : ResultCode::BadData;
}

// A short read within a file of the size it had is a failed read; past the
// end of a file that shrank, the file is no longer the archive it was.
ResultCode ShortRead(xzformat::ByteSource& source, uint64_t end)
{
    uint64_t size = 0;
    return source.Size(&size) && size >= end ? ResultCode::ReadError : ResultCode::BadData;
}

// One block's output on its way from its worker to the writer.
struct BlockOutput {
    std::unique_ptr<uint8_t[]> bytes;
    ResultCode result = ResultCode::Ok;
    bool done = false;
};

class BlockPipeline {
public:
    BlockPipeline(const codec::CodecApi& codec, xzformat::ByteSource& source,
                  const std::vector<BlockRecord>& records, uint32_t window)
        : codec_(codec), source_(source), records_(records), outputs_(records.size()), window_(window)
    {
        for (const BlockRecord& r : records) {
            largest_in_ = std::max(largest_in_, static_cast<size_t>(xzformat::PaddedSize(r.unpadded)));
            largest_out_ = std::max(largest_out_, static_cast<size_t>(r.uncompressed));
        }
    }

    // Starts up to `workers` threads; false when not even one could start.
    bool Start(uint32_t workers)
    {
        for (uint32_t i = 0; i < workers; ++i) {
            try {
                threads_.emplace_back([this] { Work(); });
            } catch (const std::system_error&) {
                break;
            }
        }
        return !threads_.empty();
    }

    // A sink that writes on a thread of its own tells of a failed write
    // only when asked; a run that ends, however it ends, asks once more.
    ResultCode Write(codec::ChunkSink* sink, codec::ProgressSink& progress)
    {
        const ResultCode result = WriteBlocks(sink, progress);
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
        for (std::thread& t : threads_)
            t.join();
        threads_.clear();
    }

    ~BlockPipeline() { Stop(); }

private:
    ResultCode WriteBlocks(codec::ChunkSink* sink, codec::ProgressSink& progress)
    {
        for (size_t k = 0; k < records_.size(); ++k) {
            std::unique_ptr<uint8_t[]> bytes;
            {
                std::unique_lock<codec::Mutex> lock(mutex_);
                written_cv_.Wait(lock, [&] { return outputs_[k].done; });
                if (outputs_[k].result != ResultCode::Ok)
                    return outputs_[k].result;
                bytes = std::move(outputs_[k].bytes);
            }
            const size_t size = static_cast<size_t>(records_[k].uncompressed);
            for (size_t at = 0; at < size; at += codec::kIoChunk) {
                const size_t n = std::min(codec::kIoChunk, size - at);
                const bool written = sink == nullptr || sink->Write(bytes.get() + at, n);
                if (!progress.Report(static_cast<int32_t>(n)))
                    return ResultCode::Aborted;
                if (!written)
                    return ResultCode::WriteError;
            }
            {
                std::lock_guard<codec::Mutex> lock(mutex_);
                next_write_ = k + 1;
                spare_.push_back(std::move(bytes));
            }
            work_cv_.NotifyAll();
        }
        return ResultCode::Ok;
    }

    // Each worker keeps its decoder, whose dictionary liblzma reuses from
    // block to block, and its input buffer; output buffers go round between
    // the workers and the writer. Fresh memory for every block would cost
    // page faults and unmappings that eat up much of what the second core gives.
    void Work()
    {
        lzma_stream stream;
        std::memset(&stream, 0, sizeof(stream));
        std::unique_ptr<uint8_t[]> in;
        for (;;) {
            size_t k = 0;
            std::unique_ptr<uint8_t[]> spare;
            {
                std::unique_lock<codec::Mutex> lock(mutex_);
                // No more blocks decoded ahead of the writer than there are
                // workers, since each holds its output until written; none
                // past a block that failed, whose fault ends the run.
                work_cv_.Wait(lock, [&] {
                    return stop_.load() || next_ >= records_.size() || next_ > failed_at_ ||
                           next_ - next_write_ < window_;
                });
                if (stop_.load() || next_ >= records_.size() || next_ > failed_at_)
                    break;
                k = next_++;
                if (!spare_.empty()) {
                    spare = std::move(spare_.back());
                    spare_.pop_back();
                }
            }
            BlockOutput out;
            out.bytes = std::move(spare);
            out.result = Decode(records_[k], &stream, &in, &out.bytes);
            {
                std::lock_guard<codec::Mutex> lock(mutex_);
                if (out.result != ResultCode::Ok)
                    failed_at_ = std::min(failed_at_, k);
                outputs_[k].bytes = std::move(out.bytes);
                outputs_[k].result = out.result;
                outputs_[k].done = true;
            }
            written_cv_.NotifyOne();
        }
        codec_.end(&stream);
    }

    // One block, from its bytes on disk to its output, as lzma/block.h
    // says: the header decoded with the stream's check, the compressed size
    // derived from the index's unpadded size and the uncompressed size
    // taken from the index, so that the decoder holds the data to both.
    ResultCode Decode(const BlockRecord& record, lzma_stream* stream, std::unique_ptr<uint8_t[]>* in_buffer,
                      std::unique_ptr<uint8_t[]>* output)
    {
        const uint64_t padded = xzformat::PaddedSize(record.unpadded);
        // The block decoder skips a check it cannot compute; the stream
        // decoder, told to, names it, and so must this.
        if (!codec_.check_is_supported(static_cast<lzma_check>(record.check)))
            return ResultCode::BadData;
        // Every buffer fits the largest block, so any of them serves any block.
        if (!*in_buffer)
            in_buffer->reset(new (std::nothrow) uint8_t[largest_in_]);
        if (!*output)
            output->reset(new (std::nothrow) uint8_t[largest_out_ > 0 ? largest_out_ : 1]);
        if (!*in_buffer || !*output)
            return ResultCode::NoMemory;
        uint8_t* const in = in_buffer->get();
        if (source_.ReadAt(record.offset, in, static_cast<size_t>(padded)) != padded)
            return ShortRead(source_, record.offset + padded);
        // A header-size byte of 0 is an index indicator, not a block.
        const size_t header_size = (static_cast<size_t>(in[0]) + 1) * xzformat::kBlockHeaderSizeUnit;
        if (in[0] == 0 || header_size >= padded)
            return ResultCode::BadData;

        lzma_filter filters[LZMA_FILTERS_MAX + 1];
        lzma_block block;
        std::memset(&block, 0, sizeof(block));
        block.version = 1;
        block.header_size = static_cast<uint32_t>(header_size);
        block.check = static_cast<lzma_check>(record.check);
        block.filters = filters;
        lzma_ret status = codec_.block_header_decode(&block, nullptr, in);
        if (status != LZMA_OK)
            return FromBlockStatus(status);
        status = codec_.block_compressed_size(&block, record.unpadded);
        const bool size_agrees =
            block.uncompressed_size == LZMA_VLI_UNKNOWN || block.uncompressed_size == record.uncompressed;
        block.uncompressed_size = record.uncompressed;
        if (status == LZMA_OK && size_agrees)
            status = codec_.block_decoder(stream, &block);
        // The decoder keeps copies of what it needs from the options.
        codec_.filters_free(filters, nullptr);
        if (status != LZMA_OK || !size_agrees)
            return status == LZMA_OK ? ResultCode::BadData : FromBlockStatus(status);

        const size_t size = static_cast<size_t>(record.uncompressed);
        const uint8_t* const end = in + padded;
        stream->next_in = in + header_size;
        stream->avail_in = 0;
        stream->next_out = output->get();
        stream->avail_out = size;
        status = LZMA_OK;
        while (status == LZMA_OK && !stop_.load(std::memory_order_relaxed)) {
            const size_t left = static_cast<size_t>(end - (stream->next_in + stream->avail_in));
            const size_t give = std::min(left, kWorkerStep);
            stream->avail_in += give;
            status = codec_.code(stream, give == left ? LZMA_FINISH : LZMA_RUN);
        }
        const bool whole = stream->next_in == end && stream->avail_out == 0;
        if (status == LZMA_OK)
            return ResultCode::Aborted; // stopped; the writer has its result already
        if (status != LZMA_STREAM_END)
            return FromBlockStatus(status);
        return whole ? ResultCode::Ok : ResultCode::BadData;
    }

    const codec::CodecApi& codec_;
    xzformat::ByteSource& source_;
    const std::vector<BlockRecord>& records_;
    std::vector<BlockOutput> outputs_;
    const uint32_t window_;
    std::vector<std::thread> threads_;
    size_t largest_in_ = 0;  // the largest block, padded
    size_t largest_out_ = 0; // the largest block, decoded

    codec::Mutex mutex_;
    codec::CondVar work_cv_;    // a block may be taken, or the run stops
    codec::CondVar written_cv_; // a block is done
    std::atomic<bool> stop_{false};
    size_t next_ = 0;                    // the next block to decode
    size_t next_write_ = 0;              // the next block to hand over
    size_t failed_at_ = SIZE_MAX;        // the earliest block known to fail
    std::vector<std::unique_ptr<uint8_t[]>> spare_; // output buffers written out
};

// The largest block, compressed and decoded, and the largest dictionary,
// read from every block header (a header that does not read fails its block
// anyway): what one worker needs at most, as DecoderMemoryPerThread counts it.
void FindLargest(xzformat::ByteSource& source, const std::vector<BlockRecord>& records,
                 xzformat::BlockLayout* largest)
{
    for (const BlockRecord& r : records) {
        uint64_t dictionary = 0;
        xzformat::ReadBlockHeader(source, r.offset, &dictionary);
        largest->largest_unpadded = std::max(largest->largest_unpadded, xzformat::PaddedSize(r.unpadded));
        largest->largest_uncompressed = std::max(largest->largest_uncompressed, r.uncompressed);
        largest->dictionary = std::max(largest->dictionary, dictionary);
    }
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
// decoder, which handles every file the others would.
DecodeEngine ChooseDecodeEngine(const codec::CodecApi& codec, const xzformat::BlockLayout& blocks,
                                uint32_t processors)
{
    if (blocks.count < 2 || processors < 2)
        return DecodeEngine::SingleThreaded;
    if (blocks.streams == 1 && blocks.first_block_sized)
        return codec.stream_decoder_mt != nullptr ? DecodeEngine::LibraryThreaded : DecodeEngine::SingleThreaded;
    return codec.block_decoder != nullptr ? DecodeEngine::IndexDriven : DecodeEngine::SingleThreaded;
}

ResultCode DecodeBlocks(const codec::CodecApi& codec, xzformat::ByteSource& archive, codec::ChunkSource& stream,
                        codec::ChunkSink* sink, codec::ProgressSink& progress, uint32_t processors,
                        codec::MemoryBudget& budget)
{
    std::vector<BlockRecord> records;
    switch (xzformat::ReadBlockRecords(archive, &records)) {
    case xzformat::WalkStatus::Ok:
        break;
    case xzformat::WalkStatus::BadData:
        return ResultCode::BadData;
    case xzformat::WalkStatus::ReadError:
        return ResultCode::ReadError;
    case xzformat::WalkStatus::NoMemory:
        return DecodeRun(codec, stream, sink, progress);
    }

    xzformat::BlockLayout largest{records.size(), 0, 0, 0};
    const uint32_t wanted = codec::DecoderThreadCount(largest, processors);
    // The file may have changed into one of a single block since it was opened.
    if (wanted < 2)
        return DecodeRun(codec, stream, sink, progress);
    FindLargest(archive, records, &largest);
    // One worker would only move the stream decoder's work to another thread.
    const uint64_t share = codec::DecoderMemoryPerThread(largest);
    uint64_t taken = budget.TakeAtLeast(codec::DecoderMemoryWanted(largest, 2),
                                        codec::DecoderMemoryWanted(largest, wanted));
    if (taken == 0)
        return DecodeRun(codec, stream, sink, progress);
    const uint32_t workers = static_cast<uint32_t>(taken / share);
    budget.Give(taken - share * workers);
    taken = share * workers;

    ResultCode result = ResultCode::NoMemory;
    {
        BlockPipeline pipeline(codec, archive, records, workers);
        if (pipeline.Start(workers))
            result = pipeline.Write(sink, progress);
        pipeline.Stop();
    }
    budget.Give(taken);
    return result;
}

ResultCode DecodeArchive(const codec::CodecApi& codec, codec::ChunkSource& stream, xzformat::ByteSource* archive,
                         codec::ChunkSink* sink, codec::ProgressSink& progress, const xzformat::BlockLayout& blocks,
                         uint32_t processors, codec::MemoryBudget& budget)
{
    switch (ChooseDecodeEngine(codec, blocks, processors)) {
    case DecodeEngine::IndexDriven:
        if (archive != nullptr)
            return DecodeBlocks(codec, *archive, stream, sink, progress, processors, budget);
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
