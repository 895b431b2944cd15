// How many threads a codec run may start, and the memory those threads may take.
#ifndef CODEC_THREADING_H
#define CODEC_THREADING_H

#include <atomic>
#include <cstdint>

#include "codec/codec_api.h"
#include "xzformat/probe.h"

namespace codec {

constexpr uint64_t kMiB = uint64_t{1} << 20;

// A 32-bit host has about 2 GiB of address space for everything it does;
// these keep a threaded run to a share it can afford.
// Worker threads of one threaded decode: more than this would cost a
// 32-bit host more address space than the cores would give back.
constexpr uint32_t kMaxDecoderThreads = 8;
// Shared by every threaded decode in the process, so that ten archives
// extracted at once cannot exhaust the address space between them.
constexpr uint64_t kDecoderThreadingBudget = 512 * kMiB;
// One threaded packing, all its threads and buffers together.
constexpr uint64_t kEncoderMemoryBudget = 768 * kMiB;
// A stored thread count is cut to this before the memory fit, which then
// lowers it further; a larger count only makes that search longer.
constexpr uint32_t kMaxEncoderThreads = 64;

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

    // Takes up to wanted bytes and returns how many were taken; 0 when
    // the pool is spent.
    uint64_t Take(uint64_t wanted);
    void Give(uint64_t amount);
    uint64_t Free() const { return free_.load(std::memory_order_relaxed); }

private:
    std::atomic<uint64_t> free_;
};

// The budget every threaded decode of this process draws on.
MemoryBudget& ProcessDecoderBudget();

// The threads and budget share of one decode, given back when it ends.
class DecoderReservation {
public:
    DecoderReservation(MemoryBudget& budget, const BlockLayout& blocks, uint32_t processors);
    ~DecoderReservation();
    DecoderReservation(const DecoderReservation&) = delete;
    DecoderReservation& operator=(const DecoderReservation&) = delete;

    DecoderThreads threads() const { return threads_; }

private:
    MemoryBudget& budget_;
    DecoderThreads threads_;
};

// Threads worth starting for a decode of these blocks: one per processor,
// never more than there are blocks, and 1 for a single block or an archive
// whose indexes could not be read.
uint32_t DecoderThreadCount(const BlockLayout& blocks, uint32_t processors);

// What a decode on that many threads would draw from the budget.
uint64_t DecoderMemoryWanted(const BlockLayout& blocks, uint32_t threads);

// Options of the threaded encoder for a preset; its memory use and its
// set-up both start from these, so the two always agree.
lzma_mt EncoderOptions(uint32_t preset, uint32_t threads);

// Lowers threads until the threaded encoder fits kEncoderMemoryBudget.
// 1, the single-threaded encoder, when it never does or the library has no
// threaded encoder.
uint32_t FitEncoderThreads(const CodecApi& codec, uint32_t preset, uint32_t threads);

} // namespace codec

#endif
