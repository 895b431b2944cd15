// How many threads a codec run may start, and the memory those threads may take.
#ifndef CODEC_THREADING_H
#define CODEC_THREADING_H

#include <atomic>
#include <cstdint>

#include "codec/codec_api.h"
#include "xzformat/probe.h"

namespace codec {

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr uint64_t kGiB = uint64_t{1} << 30;

enum class WordSize { k32, k64 };
constexpr WordSize kThisWordSize = sizeof(void*) == 8 ? WordSize::k64 : WordSize::k32;

// What threaded runs of one process may take.
struct ThreadLimits {
    uint32_t max_decoder_threads; // workers of one threaded decode
    uint64_t decoder_budget;      // shared by every threaded decode in the process
    uint64_t encoder_budget;      // one threaded packing, all its threads and buffers
};

// A 32-bit host has about 2 GiB of address space for everything it does:
// more decoder threads would cost it more address space than the cores give
// back, and ten archives extracted at once must not exhaust it between them.
constexpr ThreadLimits kLimits32{8, 512 * kMiB, 768 * kMiB};
// A 64-bit host has address space to spare; what bounds it is the machine.
// Its decoders take one worker per processor up to this many, and a quarter
// of physical memory within these bounds; its encoder budget is one and a
// half times the decoder budget, the proportion of the 32-bit figures.
constexpr uint32_t kMaxDecoderThreads64 = 64;
constexpr uint64_t kDecoderBudgetFloor64 = 512 * kMiB;
constexpr uint64_t kDecoderBudgetCeiling64 = 8 * kGiB;

// The limits of a build of the given word size on a machine with that much
// physical memory (which the 32-bit figures ignore).
constexpr ThreadLimits LimitsFor(WordSize word, uint64_t physical_memory)
{
    if (word == WordSize::k32)
        return kLimits32;
    const uint64_t quarter = physical_memory / 4;
    const uint64_t decoder = quarter < kDecoderBudgetFloor64     ? kDecoderBudgetFloor64
                             : quarter > kDecoderBudgetCeiling64 ? kDecoderBudgetCeiling64
                                                                 : quarter;
    return {kMaxDecoderThreads64, decoder, decoder / 2 * 3};
}

// The thread cap does not depend on the machine, only on the word size.
constexpr uint32_t kMaxDecoderThreads = LimitsFor(kThisWordSize, 0).max_decoder_threads;
// The smallest encoder budget this build ever has.
constexpr uint64_t kEncoderBudgetFloor = LimitsFor(kThisWordSize, 0).encoder_budget;
// A stored thread count is cut to this before the memory fit, which then
// lowers it further; a larger count only makes that search longer.
constexpr uint32_t kMaxEncoderThreads = 64;

// Milliseconds a threaded coder's step may wait for its workers before it
// returns, so that the host's callback is heard between waits; liblzma
// advises 100 ms or more, as shorter waits cost throughput.
constexpr uint32_t kThreadedStepTimeout = 100;

using xzformat::BlockLayout;

// How a decode runs: threads 1 is the single-threaded decoder.
struct DecoderThreads {
    uint32_t threads;
    uint64_t memlimit_threading; // memory the workers' buffers may take
};
constexpr DecoderThreads kSingleThreaded{1, 0};

// A pool of bytes shared between runs, taken without a lock so that a
// run never waits for another to start.
class MemoryBudget {
public:
    explicit constexpr MemoryBudget(uint64_t total) : free_(total) {}
    MemoryBudget(const MemoryBudget&) = delete;
    MemoryBudget& operator=(const MemoryBudget&) = delete;

    // Takes up to wanted bytes only when at least minimum are free; 0
    // (and nothing taken) otherwise.
    uint64_t TakeAtLeast(uint64_t minimum, uint64_t wanted);
    void Give(uint64_t amount);
    uint64_t Free() const { return free_.load(std::memory_order_relaxed); }

private:
    std::atomic<uint64_t> free_;
};

// The limits of this process and the budget every threaded decode of it
// draws on, sized from the machine on first use (codec_library.cc).
const ThreadLimits& ProcessLimits();
MemoryBudget& ProcessDecoderBudget();

// The threads and budget share of one decode, given back when it ends.
// Nothing is taken for a decode that stays on one thread: a single block, a
// library without the threaded decoder, or a budget without room for even
// one worker, with which liblzma would decode on one thread anyway.
class DecoderReservation {
public:
    DecoderReservation(MemoryBudget& budget, const BlockLayout& blocks, uint32_t processors,
                       bool threaded_decoder = true, uint32_t max_threads = kMaxDecoderThreads);
    ~DecoderReservation();
    DecoderReservation(const DecoderReservation&) = delete;
    DecoderReservation& operator=(const DecoderReservation&) = delete;

    DecoderThreads threads() const { return threads_; }

private:
    MemoryBudget& budget_;
    DecoderThreads threads_;
};

// Threads worth starting for a decode of these blocks: one per processor up
// to max_threads, never more than there are blocks, and 1 for a single block
// or an archive whose indexes could not be read.
uint32_t DecoderThreadCount(const BlockLayout& blocks, uint32_t processors,
                            uint32_t max_threads = kMaxDecoderThreads);

// What one worker of such a decode holds, and what that many draw.
uint64_t DecoderMemoryPerThread(const BlockLayout& blocks);
uint64_t DecoderMemoryWanted(const BlockLayout& blocks, uint32_t threads);

// Options of the threaded encoder for a preset; its memory use and its
// set-up both start from these, so the two always agree.
lzma_mt EncoderOptions(uint32_t preset, uint32_t threads);

// Lowers threads until the threaded encoder fits budget (packing passes
// ProcessLimits().encoder_budget). 1, the single-threaded encoder, when it
// never does or the library has no threaded encoder.
uint32_t FitEncoderThreads(const CodecApi& codec, uint32_t preset, uint32_t threads,
                           uint64_t budget = kEncoderBudgetFloor);

} // namespace codec

#endif
