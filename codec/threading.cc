// Thread counts and memory shares for the threaded decoder and encoder.
#include "codec/threading.h"

#include <algorithm>

namespace codec {

namespace {

// What a worker's decoder keeps beside its dictionary and buffers (its
// range decoder's probabilities, the block decoder, the buffer records):
// tens of KiB in liblzma, rounded up generously.
constexpr uint64_t kDecoderStateAllowance = kMiB;

// a + b, or UINT64_MAX where the sum would not fit.
uint64_t SaturatingAdd(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

uint64_t SaturatingMul(uint64_t a, uint64_t b)
{
    return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

} // namespace

uint64_t MemoryBudget::TakeAtLeast(uint64_t minimum, uint64_t wanted)
{
    uint64_t free = free_.load(std::memory_order_relaxed);
    uint64_t taken = 0;
    do {
        if (free < minimum || free == 0)
            return 0;
        taken = std::min(free, wanted);
    } while (!free_.compare_exchange_weak(free, free - taken, std::memory_order_relaxed));
    return taken;
}

void MemoryBudget::Give(uint64_t amount) { free_.fetch_add(amount, std::memory_order_relaxed); }

uint32_t DecoderThreadCount(const BlockLayout& blocks, uint32_t processors, uint32_t max_threads)
{
    const uint64_t threads = std::min<uint64_t>({processors, max_threads, blocks.count});
    return threads > 1 ? static_cast<uint32_t>(threads) : 1;
}

uint64_t DecoderMemoryPerThread(const BlockLayout& blocks)
{
    // A worker holds one block whole, compressed and decoded, beside the
    // decoder's dictionary. The first block's header names the dictionary;
    // where it could not be read, the block's decoded size stands in, as
    // writers rarely make a dictionary larger than their blocks.
    const uint64_t dictionary =
        blocks.dictionary != 0 ? blocks.dictionary : blocks.largest_uncompressed;
    return SaturatingAdd(SaturatingAdd(blocks.largest_unpadded, blocks.largest_uncompressed),
                         SaturatingAdd(dictionary, kDecoderStateAllowance));
}

uint64_t DecoderMemoryWanted(const BlockLayout& blocks, uint32_t threads)
{
    return SaturatingMul(DecoderMemoryPerThread(blocks), threads);
}

DecoderReservation::DecoderReservation(MemoryBudget& budget, const BlockLayout& blocks,
                                       uint32_t processors, bool threaded_decoder,
                                       uint32_t max_threads)
    : budget_(budget), threads_(kSingleThreaded)
{
    const uint32_t threads = DecoderThreadCount(blocks, processors, max_threads);
    if (threads <= 1 || !threaded_decoder)
        return;
    const uint64_t taken =
        budget_.TakeAtLeast(DecoderMemoryPerThread(blocks), DecoderMemoryWanted(blocks, threads));
    // Without a worker's share the decode keeps the single-threaded
    // decoder, which is what the threaded one would fall back to anyway.
    if (taken > 0)
        threads_ = DecoderThreads{threads, taken};
}

DecoderReservation::~DecoderReservation() { budget_.Give(threads_.memlimit_threading); }

lzma_mt EncoderOptions(uint32_t preset, uint32_t threads)
{
    lzma_mt mt{};
    mt.threads = threads;
    // Block size 0 lets the library pick it from the preset, as xz does,
    // which keeps the output identical to xz's for any thread count.
    mt.block_size = 0;
    // A step returns after this long even without progress, so that the
    // packing loop can report and hear an abort while blocks are in flight.
    mt.timeout = kThreadedStepTimeout;
    mt.preset = preset;
    mt.filters = nullptr;
    mt.check = LZMA_CHECK_CRC64;
    return mt;
}

uint32_t FitEncoderThreads(const CodecApi& codec, uint32_t preset, uint32_t threads,
                           uint64_t budget)
{
    if (codec.stream_encoder_mt == nullptr || codec.stream_encoder_mt_memusage == nullptr)
        return 1;
    for (threads = std::min(threads, kMaxEncoderThreads); threads > 1; --threads) {
        const lzma_mt mt = EncoderOptions(preset, threads);
        // UINT64_MAX means options the library refuses, which never fit.
        if (codec.stream_encoder_mt_memusage(&mt) <= budget)
            return threads;
    }
    return 1;
}

} // namespace codec
