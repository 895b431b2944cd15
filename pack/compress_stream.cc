// Chunked stream encoding: one progress report per chunk read on one thread, reports of what
// was compressed with threads.
#include "pack/compress_stream.h"

#include <algorithm>
#include <cstring>

#include "codec/threading.h"

namespace pack {

using plugin::ResultCode;

namespace {

bool Threaded(const codec::CodecApi& codec, uint32_t threads)
{
    return threads > 1 && codec.stream_encoder_mt != nullptr;
}

lzma_ret StartEncoder(const codec::CodecApi& codec, lzma_stream* stream, uint32_t preset,
                      uint32_t threads)
{
    if (!Threaded(codec, threads))
        return codec.easy_encoder(stream, preset, LZMA_CHECK_CRC64);
    const lzma_mt mt = codec::EncoderOptions(preset, threads);
    return codec.stream_encoder_mt(stream, &mt);
}

// The encoder's one mapping from a failing status to the host's code. The
// threaded encoder sets up each block's buffers and encoder as the block
// comes, so running out of memory shows up in the middle of a run.
ResultCode FromEncoderStatus(lzma_ret status)
{
    return status == LZMA_MEM_ERROR ? ResultCode::NoMemory : ResultCode::BadData;
}

// The encoder's memory and the threaded encoder's workers, released
// however the run ends. A start that fails has released them already.
class Encoder {
public:
    explicit Encoder(const codec::CodecApi& codec) : codec_(codec) { std::memset(&stream_, 0, sizeof(stream_)); }
    ~Encoder()
    {
        if (started_)
            codec_.end(&stream_);
    }
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;

    bool Start(uint32_t preset, uint32_t threads)
    {
        started_ = StartEncoder(codec_, &stream_, preset, threads) == LZMA_OK;
        return started_;
    }
    lzma_stream& stream() { return stream_; }

private:
    const codec::CodecApi& codec_;
    lzma_stream stream_;
    bool started_ = false;
};

// The threaded encoder takes in whole blocks before it compresses them, so
// what it was handed says little; the host hears what the workers have
// compressed, read from the codec after every step.
class CompressedProgress {
public:
    CompressedProgress(const codec::CodecApi& codec, codec::ProgressSink& progress)
        : codec_(codec), progress_(progress)
    {
    }

    // Reports the growth since the last report, 0 when there was none;
    // at the end of the stream, all that is left. False asks for an abort.
    bool Report(lzma_stream* stream, bool stream_end)
    {
        uint64_t done = stream->total_in;
        if (!stream_end && codec_.get_progress != nullptr) {
            uint64_t in = 0;
            uint64_t out = 0;
            codec_.get_progress(stream, &in, &out);
            done = std::min(in, done);
        }
        uint64_t growth = done > reported_ ? done - reported_ : 0;
        reported_ += growth;
        // A report holds at most 2 GiB; a larger growth goes in pieces.
        bool go_on = true;
        do {
            const uint64_t piece = std::min<uint64_t>(growth, INT32_MAX);
            go_on = progress_.Report(static_cast<int32_t>(piece));
            growth -= piece;
        } while (go_on && growth > 0);
        return go_on;
    }

private:
    const codec::CodecApi& codec_;
    codec::ProgressSink& progress_;
    uint64_t reported_ = 0;
};

} // namespace

ResultCode CompressStream(const codec::CodecApi& codec, codec::ChunkSource& source,
                          codec::ChunkSink& target, codec::ProgressSink& progress, uint32_t preset,
                          uint32_t threads)
{
    Encoder encoder(codec);
    lzma_stream& stream = encoder.stream();
    const bool threaded = Threaded(codec, threads);
    if (!encoder.Start(preset, threads))
        return ResultCode::NoMemory;

    uint8_t in[codec::kIoChunk];
    uint8_t out[codec::kIoChunk];
    CompressedProgress compressed(codec, progress);
    ResultCode result = ResultCode::Ok;
    bool stop = false;
    bool abort = false;
    bool stream_end = false;

    while (!stop) {
        const codec::ChunkRead chunk = source.Read(in, sizeof(in));
        const bool last = chunk.end || chunk.error;
        if (chunk.error)
            result = ResultCode::ReadError;

        stream.next_in = in;
        stream.avail_in = chunk.count;
        const lzma_action action = last ? LZMA_FINISH : LZMA_RUN;
        bool more = true;
        do {
            stream.next_out = out;
            stream.avail_out = sizeof(out);
            const lzma_ret status = codec.code(&stream, action);
            if (status != LZMA_OK && status != LZMA_STREAM_END) {
                result = FromEncoderStatus(status);
                stop = true;
                break;
            }
            stream_end = status == LZMA_STREAM_END;
            const size_t produced = sizeof(out) - stream.avail_out;
            if (produced > 0 && !target.Write(out, produced)) {
                result = ResultCode::WriteError;
                stop = true;
            }
            // Threaded steps are reported one by one, also those that
            // timed out waiting for the workers, so that the host is heard
            // while the blocks in flight are compressed; an abort ends the
            // encoder, and its workers, at once.
            if (threaded && !compressed.Report(&stream, stream_end)) {
                result = ResultCode::Aborted;
                abort = true;
                break;
            }
            // A threaded step that timed out returns having taken only part
            // of the chunk, or, when finishing, before the end of the stream.
            more = stream.avail_out == 0 ||
                   (threaded && !stop && !stream_end && (stream.avail_in > 0 || last));
        } while (more);

        if (abort)
            break;
        if (!threaded && !progress.Report(static_cast<int32_t>(chunk.count))) {
            result = ResultCode::Aborted;
            break;
        }
        if (last)
            break;
    }
    // An encoder that never finished its stream wrote a file no decoder
    // accepts; that is not a packed archive.
    if (result == ResultCode::Ok && !stream_end)
        result = ResultCode::BadData;
    return result;
}

} // namespace pack
