// Chunked stream decoding with per-step progress and abort between chunks.
#include "unpack/decode_run.h"

#include <cstring>

namespace unpack {

using plugin::ResultCode;

namespace {

bool Threaded(const codec::CodecApi& codec, codec::DecoderThreads threads)
{
    return threads.threads > 1 && codec.stream_decoder_mt != nullptr;
}

lzma_ret StartDecoder(const codec::CodecApi& codec, lzma_stream* stream, bool threaded,
                      codec::DecoderThreads threads)
{
    if (!threaded)
        return codec.stream_decoder(stream, codec::kNoMemoryLimit, codec::kDecoderFlags);
    lzma_mt mt{};
    mt.flags = codec::kDecoderMtFlags;
    mt.threads = threads.threads;
    // Waiting for the workers is cut into steps, so that the host is called
    // back, and can abort, while blocks are in flight.
    mt.timeout = codec::kThreadedStepTimeout;
    mt.memlimit_threading = threads.memlimit_threading;
    mt.memlimit_stop = codec::kNoMemoryLimit;
    return codec.stream_decoder_mt(stream, &mt);
}

// The output side of a run. A write error counts at the step whose bytes
// failed, also when a sink writing on a thread of its own tells of it only
// later: the results are then those of a sink that writes at once.
class Output {
public:
    explicit Output(codec::ChunkSink* sink) : sink_(sink) {}

    // A step's output; false when a write error is met.
    bool Write(const uint8_t* bytes, size_t count)
    {
        if (sink_ == nullptr || count == 0)
            return true;
        if (!sink_->Write(bytes, count)) {
            const uint64_t at = known_ ? failed_at_ : sink_->Settle();
            Learn(at != codec::ChunkSink::kNoFailure ? at : handed_);
            handed_ += count;
            return false;
        }
        handed_ += count;
        return true;
    }

    // Before any event other than a write: whether a write error came
    // first that the sink has not told of yet.
    bool LateFailure()
    {
        if (sink_ == nullptr || known_)
            return false;
        const uint64_t at = sink_->Settle();
        if (at == codec::ChunkSink::kNoFailure)
            return false;
        Learn(at);
        return true;
    }

    void StartChunk() { chunk_start_ = handed_; }
    // A run that writes at once would have stopped after that chunk, and
    // met nothing of this one.
    bool FailedInEarlierChunk() const { return known_ && failed_at_ < chunk_start_; }

private:
    void Learn(uint64_t at)
    {
        known_ = true;
        failed_at_ = at;
    }

    codec::ChunkSink* sink_;
    uint64_t handed_ = 0;
    uint64_t chunk_start_ = 0;
    uint64_t failed_at_ = 0;
    bool known_ = false;
};

} // namespace

ResultCode FromDecoderStatus(lzma_ret status)
{
    if (status == LZMA_MEM_ERROR || status == LZMA_MEMLIMIT_ERROR)
        return ResultCode::NoMemory;
    if (status == LZMA_BUF_ERROR)
        return ResultCode::ReadError;
    return ResultCode::BadData;
}

ResultCode DecodeRun(const codec::CodecApi& codec, codec::ChunkSource& input, codec::ChunkSink* sink,
                     codec::ProgressSink& progress, codec::DecoderThreads threads)
{
    lzma_stream stream;
    std::memset(&stream, 0, sizeof(stream));
    const bool threaded = Threaded(codec, threads);
    if (StartDecoder(codec, &stream, threaded, threads) != LZMA_OK)
        return ResultCode::NoMemory;

    uint8_t in[codec::kIoChunk];
    uint8_t out[codec::kIoChunk];
    Output output(sink);
    ResultCode result = ResultCode::Ok;
    bool stop = false;
    bool abort = false;
    bool stream_end = false;
    // A write error from an earlier chunk, told of late: nothing after it counts.
    bool write_error_ends = false;

    // Stop and abort are honoured only between chunks on one thread: the
    // steps of the current chunk still run while they fill the output
    // buffer. The threaded decoder is ended at once, which stops its workers.
    while (!stop && !abort) {
        const codec::ChunkRead chunk = input.Read(in, sizeof(in));
        const bool last = chunk.end || chunk.error;
        output.StartChunk();
        if (chunk.error) {
            if (output.LateFailure()) {
                write_error_ends = true;
                break;
            }
            result = ResultCode::ReadError;
        }

        stream.next_in = in;
        stream.avail_in = chunk.count;
        const lzma_action action = last ? LZMA_FINISH : LZMA_RUN;
        bool more = true;
        do {
            stream.next_out = out;
            stream.avail_out = sizeof(out);
            const lzma_ret status = codec.code(&stream, action);
            if (status == LZMA_OK || status == LZMA_STREAM_END) {
                stream_end = status == LZMA_STREAM_END;
                const size_t produced = sizeof(out) - stream.avail_out;
                if (!output.Write(out, produced)) {
                    if (output.FailedInEarlierChunk()) {
                        write_error_ends = true;
                        break;
                    }
                    stop = true;
                    result = ResultCode::WriteError;
                }
                if (!progress.Report(static_cast<int32_t>(produced))) {
                    if (output.LateFailure()) {
                        if (output.FailedInEarlierChunk()) {
                            write_error_ends = true;
                            break;
                        }
                        stop = true;
                    }
                    abort = true;
                    result = ResultCode::Aborted;
                    if (threaded)
                        break;
                }
            } else {
                // A failing step writes and reports nothing; the loop ends
                // at once, since the codec will not recover within the run.
                if (output.LateFailure() && output.FailedInEarlierChunk()) {
                    write_error_ends = true;
                    break;
                }
                stop = true;
                result = FromDecoderStatus(status);
                // "No progress" while finishing a cleanly ended input is
                // how the codec says the file ends before its stream does.
                if (status == LZMA_BUF_ERROR && chunk.end && !chunk.error)
                    result = ResultCode::BadData;
                // The threaded decoder, failing fast, calls input that ends
                // inside a block a data error where the single-threaded one
                // says "no progress"; after a failed read that is the read
                // error's doing, and stays one.
                if (threaded && status == LZMA_DATA_ERROR && chunk.error)
                    result = ResultCode::ReadError;
                break;
            }
            more = stream.avail_out == 0;
            // A threaded step that timed out returns having taken only part
            // of the chunk, or, when finishing, before the end of the
            // stream; it is stepped on, but not after a write error, so a
            // late one is asked for first.
            if (!more && threaded && !stop && !stream_end && (stream.avail_in > 0 || last)) {
                if (output.LateFailure()) {
                    write_error_ends = output.FailedInEarlierChunk();
                    stop = true;
                    result = ResultCode::WriteError;
                } else {
                    more = true;
                }
            }
        } while (more);

        if (last || write_error_ends)
            break;
    }
    codec.end(&stream);

    if (write_error_ends || output.LateFailure())
        result = ResultCode::WriteError;
    if (result == ResultCode::Ok && !stream_end)
        result = ResultCode::BadData;
    return result;
}

} // namespace unpack
