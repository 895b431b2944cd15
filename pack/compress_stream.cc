// Chunked stream encoding with one progress report per chunk read.
#include "pack/compress_stream.h"

#include <cstring>

#include "codec/threading.h"

namespace pack {

using plugin::ResultCode;

namespace {

lzma_ret StartEncoder(const codec::CodecApi& codec, lzma_stream* stream, uint32_t preset,
                      uint32_t threads)
{
    if (threads <= 1 || codec.stream_encoder_mt == nullptr)
        return codec.easy_encoder(stream, preset, LZMA_CHECK_CRC64);
    const lzma_mt mt = codec::EncoderOptions(preset, threads);
    return codec.stream_encoder_mt(stream, &mt);
}

} // namespace

ResultCode CompressStream(const codec::CodecApi& codec, codec::ChunkSource& source,
                          codec::ChunkSink& target, codec::ProgressSink& progress, uint32_t preset,
                          uint32_t threads)
{
    lzma_stream stream;
    std::memset(&stream, 0, sizeof(stream));
    if (StartEncoder(codec, &stream, preset, threads) != LZMA_OK)
        return ResultCode::NoMemory;

    uint8_t in[codec::kIoChunk];
    uint8_t out[codec::kIoChunk];
    ResultCode result = ResultCode::Ok;
    bool stop = false;
    bool stream_end = false;

    while (!stop) {
        const codec::ChunkRead chunk = source.Read(in, sizeof(in));
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
            if (status != LZMA_OK && status != LZMA_STREAM_END) {
                result = ResultCode::BadData;
                stop = true;
                break;
            }
            stream_end = status == LZMA_STREAM_END;
            const size_t produced = sizeof(out) - stream.avail_out;
            if (produced > 0 && !target.Write(out, produced)) {
                result = ResultCode::WriteError;
                stop = true;
            }
        } while (stream.avail_out == 0);

        if (!progress.Report(static_cast<int32_t>(chunk.count))) {
            result = ResultCode::Aborted;
            break;
        }
        if (last)
            break;
    }
    codec.end(&stream);

    // An encoder that never finished its stream wrote a file no decoder
    // accepts; that is not a packed archive.
    if (result == ResultCode::Ok && !stream_end)
        result = ResultCode::BadData;
    return result;
}

} // namespace pack
