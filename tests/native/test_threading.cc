// Thread counts and memory shares of the threaded decoder and encoder, and the stored thread
// setting, against the real liblzma's memory figures.
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <lzma.h>

#include "codec/threading.h"
#include "settings/pack_settings.h"

namespace {

using codec::BlockLayout;
using codec::kMiB;

constexpr uint64_t kBlock = 24 * kMiB;
const BlockLayout kFourteenBlocks{14, 5 * kMiB, kBlock, 8 * kMiB};

TEST(DecoderThreads, OnePerProcessorUpToTheCapAndTheBlocks)
{
    struct Case {
        BlockLayout blocks;
        uint32_t processors;
        uint32_t expected;
    };
    const Case cases[] = {
        {kFourteenBlocks, 2, 2},
        {kFourteenBlocks, 1, 1},
        {kFourteenBlocks, 0, 1},
        {kFourteenBlocks, 64, 14},
        {{3, kMiB, kMiB, 0}, 8, 3},
        {{1, kMiB, kMiB, 0}, 8, 1},
        // Indexes that could not be read say nothing about the blocks.
        {{0, 0, 0, 0}, 8, 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(codec::DecoderThreadCount(c.blocks, c.processors), c.expected)
            << c.blocks.count << " blocks, " << c.processors << " processors";
}

// The machine pretended: each word size's thread cap and budgets for a
// processor count and a physical memory.
TEST(ThreadLimits, FollowTheWordSizeAndTheMachine)
{
    struct Case {
        codec::WordSize word;
        uint32_t processors;
        uint64_t memory;
        uint32_t threads; // for 100 blocks
        uint64_t decoder_budget;
        uint64_t encoder_budget;
    };
    using codec::kGiB;
    using codec::WordSize;
    const Case cases[] = {
        {WordSize::k32, 16, 64 * kGiB, 8, 512 * kMiB, 768 * kMiB},
        {WordSize::k32, 2, 0, 2, 512 * kMiB, 768 * kMiB},
        {WordSize::k64, 16, 16 * kGiB, 16, 4 * kGiB, 6 * kGiB},
        {WordSize::k64, 128, 256 * kGiB, 64, 8 * kGiB, 12 * kGiB},
        {WordSize::k64, 2, kGiB, 2, 512 * kMiB, 768 * kMiB},
        // A system that names no memory gets the floor.
        {WordSize::k64, 4, 0, 4, 512 * kMiB, 768 * kMiB},
        {WordSize::k64, 8, 3 * kGiB, 8, 768 * kMiB, 1152 * kMiB},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.word == WordSize::k32 ? 32 : 64) + "-bit, " +
                     std::to_string(c.processors) + " processors, " + std::to_string(c.memory >> 20) +
                     " MiB");
        const codec::ThreadLimits limits = codec::LimitsFor(c.word, c.memory);
        EXPECT_EQ(codec::DecoderThreadCount({100, kMiB, kMiB, 0}, c.processors, limits.max_decoder_threads),
                  c.threads);
        EXPECT_EQ(limits.decoder_budget, c.decoder_budget);
        EXPECT_EQ(limits.encoder_budget, c.encoder_budget);
    }
    EXPECT_EQ(codec::kMaxDecoderThreads, sizeof(void*) == 8 ? 64u : 8u);
}

TEST(DecoderThreads, MemoryWantedCoversWhatTheLibraryCountsPerBlock)
{
    // Per worker the library holds a block compressed and decoded and the
    // dictionary; a preset-6 block is three dictionaries.
    lzma_options_lzma lzma;
    ASSERT_FALSE(lzma_lzma_preset(&lzma, 6));
    lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &lzma}, {LZMA_VLI_UNKNOWN, nullptr}};
    const uint64_t per_block = lzma_raw_decoder_memusage(filters) + 5 * kMiB + kBlock;
    EXPECT_GE(codec::DecoderMemoryWanted(kFourteenBlocks, 2), 2 * per_block);
    EXPECT_LE(codec::DecoderMemoryWanted(kFourteenBlocks, 2), 2 * (per_block + kMiB));
    // Small blocks beside a large dictionary: the dictionary dominates.
    const BlockLayout small_blocks{12, 100 << 10, 256 << 10, 8 * kMiB};
    EXPECT_GE(codec::DecoderMemoryWanted(small_blocks, 2), 2 * (8 * kMiB + (356 << 10)));
    // Without a dictionary from the header, a block's size stands in for it.
    EXPECT_EQ(codec::DecoderMemoryWanted({12, 100 << 10, 256 << 10, 0}, 3), 3u * ((612 << 10) + kMiB));
    // A hostile index cannot wrap the sum round to a small number.
    const BlockLayout huge{2, UINT64_MAX / 2, UINT64_MAX / 2, 0};
    EXPECT_EQ(codec::DecoderMemoryWanted(huge, 8), UINT64_MAX);
}

TEST(DecoderReservation, SharesTheBudgetAndGivesItBack)
{
    codec::MemoryBudget budget(512 * kMiB);
    // Blocks of 64 MiB with a 64 MiB dictionary, as xz -9 with small blocks.
    const BlockLayout large{6, 20 * kMiB, 64 * kMiB, 64 * kMiB};
    const uint64_t wanted = codec::DecoderMemoryWanted(large, 2);
    ASSERT_GT(wanted, 256 * kMiB);
    ASSERT_LT(wanted, 512 * kMiB);
    {
        const codec::DecoderReservation first(budget, large, 2);
        EXPECT_EQ(first.threads().threads, 2u);
        EXPECT_EQ(first.threads().memlimit_threading, wanted);
        // What is left is less than a whole share: the second gets that.
        const codec::DecoderReservation second(budget, large, 2);
        EXPECT_EQ(second.threads().threads, 2u);
        EXPECT_EQ(second.threads().memlimit_threading, 512 * kMiB - wanted);
        // The budget is spent: the third decodes on its calling thread.
        const codec::DecoderReservation third(budget, kFourteenBlocks, 2);
        EXPECT_EQ(third.threads().threads, 1u);
        EXPECT_EQ(budget.Free(), 0u);
        // A single block, a library without the threaded decoder, and a
        // leftover smaller than one worker's share take nothing.
        budget.Give(kMiB);
        const codec::DecoderReservation single(budget, {1, kMiB, kBlock, 8 * kMiB}, 2);
        EXPECT_EQ(single.threads().threads, 1u);
        const codec::DecoderReservation leftover(budget, kFourteenBlocks, 2);
        EXPECT_EQ(leftover.threads().threads, 1u);
        EXPECT_EQ(budget.Free(), kMiB);
        budget.Give(wanted);
        const codec::DecoderReservation no_mt(budget, large, 2, false);
        EXPECT_EQ(no_mt.threads().threads, 1u);
        EXPECT_EQ(budget.Free(), wanted + kMiB);
        EXPECT_EQ(budget.TakeAtLeast(wanted + kMiB, wanted + kMiB), wanted + kMiB);
    }
    EXPECT_EQ(budget.Free(), 512 * kMiB);
}

TEST(DecoderReservation, RacingRunsNeverOverdrawTheBudget)
{
    codec::MemoryBudget budget(512 * kMiB);
    std::atomic<uint64_t> held{0};
    std::atomic<bool> overdrawn{false};
    std::vector<std::thread> runs;
    for (int t = 0; t < 8; ++t) {
        runs.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                const codec::DecoderReservation r(budget, kFourteenBlocks, 8);
                const uint64_t now = held += r.threads().memlimit_threading;
                if (now > 512 * kMiB)
                    overdrawn = true;
                held -= r.threads().memlimit_threading;
            }
        });
    }
    for (std::thread& t : runs)
        t.join();
    EXPECT_FALSE(overdrawn);
    EXPECT_EQ(budget.Free(), 512 * kMiB);
}

lzma_ret UnusedEncoderMt(lzma_stream*, const lzma_mt*) { return LZMA_PROG_ERROR; }

codec::CodecApi EncoderCodec()
{
    codec::CodecApi api{};
    api.stream_encoder_mt = UnusedEncoderMt;
    api.stream_encoder_mt_memusage = lzma_stream_encoder_mt_memusage;
    return api;
}

TEST(EncoderThreads, LoweredUntilTheEncoderFitsTheBudget)
{
    const codec::CodecApi api = EncoderCodec();
    const uint64_t kBudget = codec::kLimits32.encoder_budget;
    const uint32_t preset6e = 6 | LZMA_PRESET_EXTREME;
    for (const uint32_t preset : {1u, preset6e, 9u}) {
        SCOPED_TRACE("preset " + std::to_string(preset & 0xFF));
        for (const uint32_t asked : {2u, 4u, 64u, 1000u}) {
            const uint32_t threads = codec::FitEncoderThreads(api, preset, asked, kBudget);
            EXPECT_LE(threads, asked);
            if (threads > 1) {
                const lzma_mt mt = codec::EncoderOptions(preset, threads);
                EXPECT_LE(lzma_stream_encoder_mt_memusage(&mt), kBudget);
            }
            if (threads < std::min(asked, codec::kMaxEncoderThreads)) {
                const lzma_mt more = codec::EncoderOptions(preset, threads + 1);
                EXPECT_GT(lzma_stream_encoder_mt_memusage(&more), kBudget)
                    << threads + 1 << " threads would have fitted";
            }
        }
    }
    // Preset 6 fits a few threads; preset 9 not even two.
    // Preset 6 fits a few threads; preset 9 not even two, unless the budget
    // of a 64-bit build on a large machine holds it.
    EXPECT_GT(codec::FitEncoderThreads(api, preset6e, 4, kBudget), 1u);
    EXPECT_EQ(codec::FitEncoderThreads(api, 9, 4, kBudget), 1u);
    EXPECT_EQ(codec::FitEncoderThreads(api, 9, 4, codec::LimitsFor(codec::WordSize::k64, 16 * codec::kGiB).encoder_budget), 4u);
    EXPECT_EQ(codec::FitEncoderThreads(api, 1, 1, kBudget), 1u);
    // A library without the threaded encoder packs on one thread.
    EXPECT_EQ(codec::FitEncoderThreads(codec::CodecApi{}, preset6e, 4, kBudget), 1u);
}

TEST(EncoderThreads, StoredSettingToThreadsAsked)
{
    EXPECT_EQ(settings::RequestedThreads(1, 8), 1u);
    EXPECT_EQ(settings::RequestedThreads(0, 8), 8u);
    EXPECT_EQ(settings::RequestedThreads(0, 0), 1u);
    EXPECT_EQ(settings::RequestedThreads(2, 8), 2u);
    EXPECT_EQ(settings::RequestedThreads(100, 8), 100u);
    EXPECT_EQ(settings::RequestedThreads(-1, 8), 1u);
    EXPECT_EQ(settings::RequestedThreads(INT32_MIN, 8), 1u);
}

} // namespace
