// Chunked stream decoding with per-step progress and abort between chunks.
#include "unpack/decode_run.h"

#include <cstring>

namespace unpack {

using plugin::ResultCode;

namespace {

// The one mapping from a failing codec status to the host's code.
ResultCode FromDecoderStatus(lzma_ret status)
{
    if (status == LZMA_MEM_ERROR || status == LZMA_MEMLIMIT_ERROR)
        return ResultCode::NoMemory;
    if (status == LZMA_BUF_ERROR)
        return ResultCode::ReadError;
    return ResultCode::BadData;
}

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
    // No timeout: a step returns once it has made progress, as the
    // single-threaded decoder's steps do.
    mt.timeout = 0;
    mt.memlimit_threading = threads.memlimit_threading;
    mt.memlimit_stop = codec::kNoMemoryLimit;
    return codec.stream_decoder_mt(stream, &mt);
}

} // namespace

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
    ResultCode result = ResultCode::Ok;
    bool stop = false;
    bool abort = false;
    bool stream_end = false;

    // Stop and abort are honoured only between chunks: the steps of the
    // current chunk still run while they fill the output buffer.
    while (!stop && !abort) {
        const codec::ChunkRead chunk = input.Read(in, sizeof(in));
        const bool last = chunk.end || chunk.error;
        if (chunk.error)
            result = ResultCode::ReadError;

        stream.next_in = in;
        stream.avail_in = chunk.count;
        const lzma_action action = last ? LZMA_FINISH : LZMA_RUN;
        do {
            stream.next_out = out;
            stream.avail_out = sizeof(out);
            const lzma_ret status = codec.code(&stream, action);
            if (status == LZMA_OK || status == LZMA_STREAM_END) {
                stream_end = status == LZMA_STREAM_END;
                const size_t produced = sizeof(out) - stream.avail_out;
                if (sink != nullptr && produced > 0 && !sink->Write(out, produced)) {
                    stop = true;
                    result = ResultCode::WriteError;
                }
                if (!progress.Report(static_cast<int32_t>(produced))) {
                    abort = true;
                    result = ResultCode::Aborted;
                }
            } else {
                // A failing step writes and reports nothing; the loop ends
                // at once, since the codec will not recover within the run.
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
        } while (stream.avail_out == 0);

        if (last)
            break;
    }
    codec.end(&stream);

    if (result == ResultCode::Ok && !stream_end)
        result = ResultCode::BadData;
    return result;
}

} // namespace unpack
