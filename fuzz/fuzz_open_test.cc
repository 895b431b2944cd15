// Open and test of arbitrary bytes, as the plug-in does them: the probe, then the decode loop with
// the real liblzma, and the engine the plug-in picks for the blocks found (for several streams or
// blocks without sizes, the block decoder on worker threads). Never crashes or leaks; a test
// passes only for input the probe accepted as .xz, and then the listed size is the decoded size;
// the reported counts add up to the output; the chosen engine gives the stream decoder's result.
#include <cstdint>
#include <cstring>
#include <memory>

#include <lzma.h>

#include "codec/chunk_io.h"
#include "codec/codec_api.h"
#include "codec/threading.h"
#include "unpack/block_decode.h"
#include "unpack/decode_run.h"
#include "xzformat/byte_source.h"
#include "xzformat/probe.h"

namespace {

// The plug-in decodes without a memory limit; a fuzz input could declare a
// dictionary of gigabytes, so here the decoder is capped by a limit that still
// admits every preset.
constexpr uint64_t kFuzzMemoryLimit = 128u << 20;

lzma_ret CappedDecoder(lzma_stream* strm, uint64_t, uint32_t flags)
{
    return lzma_stream_decoder(strm, kFuzzMemoryLimit, flags);
}

class InputChunks final : public codec::ChunkSource {
public:
    InputChunks(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    codec::ChunkRead Read(uint8_t* buf, size_t capacity) override
    {
        const size_t n = size_ - pos_ < capacity ? size_ - pos_ : capacity;
        if (n > 0)
            std::memcpy(buf, data_ + pos_, n);
        pos_ += n;
        return {n, pos_ == size_, false};
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Output is bounded by the input's size so that a tiny bomb cannot make a
// run take minutes: past the bound, writes fail and the run stops.
class BoundedSink final : public codec::ChunkSink {
public:
    explicit BoundedSink(size_t limit) : limit_(limit) {}
    bool Write(const uint8_t*, size_t count) override
    {
        written_ += count;
        return written_ <= limit_;
    }
    size_t written() const { return written_; }

private:
    size_t limit_;
    size_t written_ = 0;
};

// Every worker reads the same bytes through a reader of its own.
class Readers final : public unpack::ArchiveReaders {
public:
    Readers(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    std::unique_ptr<xzformat::ByteSource> Open() override
    {
        return std::make_unique<xzformat::MemorySource>(data_, size_);
    }

private:
    const uint8_t* data_;
    size_t size_;
};

class Counting final : public codec::ProgressSink {
public:
    bool Report(int32_t bytes) override
    {
        if (bytes < 0 || bytes > 4096)
            __builtin_trap();
        total_ += static_cast<uint64_t>(bytes);
        return true;
    }
    uint64_t total() const { return total_; }

private:
    uint64_t total_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    xzformat::MemorySource source(data, size);
    xzformat::ProbeResult probe{};
    if (xzformat::XzProbe(source, &probe) != xzformat::ProbeStatus::Ok)
        return 0;

    codec::CodecApi api{CappedDecoder, lzma_code, lzma_end, lzma_easy_encoder};
    plugin::ResultCode results[2];
    for (int engine = 0; engine < 2; ++engine) {
        InputChunks input(data, size);
        BoundedSink sink(size * 64 + (1u << 20));
        Counting progress;
        if (engine == 0) {
            results[0] = unpack::DecodeRun(api, input, &sink, progress);
        } else {
            api.block_header_decode = lzma_block_header_decode;
            api.block_compressed_size = lzma_block_compressed_size;
            api.block_decoder = lzma_block_decoder;
            api.filters_free = lzma_filters_free;
            api.check_is_supported = lzma_check_is_supported;
            // Small enough that no block's buffers or dictionary pass the
            // decoder's cap above: larger ones go to the stream decoder.
            static codec::MemoryBudget budget(48u << 20);
            Readers readers(data, size);
            results[1] = unpack::DecodeArchive(api, input, &readers, &sink, progress, probe.blocks, 2, budget);
        }
        if (progress.total() != sink.written())
            __builtin_trap();
        // liblzma checks every index against the blocks it decoded, so a file it
        // decodes whole must list with exactly the size it decoded to.
        if (results[engine] == plugin::ResultCode::Ok && probe.unpacked_size != sink.written())
            __builtin_trap();
    }
    // The block decoder writes a block only once its check passed, so it may
    // meet a fault before the output bound that the stream decoder met after it.
    if (results[0] != results[1] && results[0] != plugin::ResultCode::WriteError &&
        results[1] != plugin::ResultCode::WriteError)
        __builtin_trap();
    return 0;
}
