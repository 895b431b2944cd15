// Memory that runs out in a test or an extraction, at each allocation of the project's code and
// each liblzma entry that allocates: every run ends in 0 or 11 and leaves nothing behind.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <lzma.h>
#include <sanitizer/lsan_interface.h>

#include "codec/async_sink.h"
#include "codec/chunk_io.h"
#include "codec/codec_api.h"
#include "codec/threading.h"
#include "plugin/result_code.h"
#include "unpack/block_decode.h"
#include "tests/native/process_threads.h"
#include "tests/native/samples.h"
#include "tests/native/system_liblzma.h"
#include "unpack/decode_run.h"
#include "xzformat/byte_source.h"

// A leak is what a failed run leaves most easily, so LeakSanitizer is on
// unless the environment turns it off, which LeakCheck below would show.
extern "C" const char* __asan_default_options() { return "detect_leaks=1"; }

// ---------------------------------------------------------------------------
// The program's operator new, every form: while a window is open on a
// thread, that thread's allocations are counted and the chosen one fails.
// Other threads allocate as ever; the run's own code is meant to allocate
// only on the thread that calls it, which the window checks by counting
// what other threads allocate while it is open.

namespace {

thread_local bool t_open = false;
thread_local uint64_t t_count = 0;
thread_local uint64_t t_fail_at = 0;
thread_local bool t_failed = false;
std::atomic<bool> g_window_open{false};
std::atomic<uint64_t> g_elsewhere{0};

bool FailThisOne() noexcept
{
    if (!t_open) {
        if (g_window_open.load(std::memory_order_relaxed))
            g_elsewhere.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    if (++t_count != t_fail_at)
        return false;
    t_failed = true;
    return true;
}

void* Allocate(size_t size, size_t alignment) noexcept
{
    if (FailThisOne())
        return nullptr;
    size = std::max<size_t>(size, 1);
    if (alignment <= alignof(std::max_align_t))
        return std::malloc(size);
    void* p = nullptr;
    return posix_memalign(&p, alignment, size) == 0 ? p : nullptr;
}

void* AllocateOrThrow(size_t size, size_t alignment)
{
    void* p = Allocate(size, alignment);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}

constexpr size_t kPlain = alignof(std::max_align_t);

} // namespace

void* operator new(size_t n) { return AllocateOrThrow(n, kPlain); }
void* operator new[](size_t n) { return AllocateOrThrow(n, kPlain); }
void* operator new(size_t n, std::align_val_t a) { return AllocateOrThrow(n, static_cast<size_t>(a)); }
void* operator new[](size_t n, std::align_val_t a) { return AllocateOrThrow(n, static_cast<size_t>(a)); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return Allocate(n, kPlain); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return Allocate(n, kPlain); }
void* operator new(size_t n, std::align_val_t a, const std::nothrow_t&) noexcept
{
    return Allocate(n, static_cast<size_t>(a));
}
void* operator new[](size_t n, std::align_val_t a, const std::nothrow_t&) noexcept
{
    return Allocate(n, static_cast<size_t>(a));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

using codec::CodecApi;
using plugin::ResultCode;
using Bytes = std::vector<uint8_t>;

// One run's window on the calling thread, failing its fail_at-th
// allocation (0: none).
class FailingWindow {
public:
    explicit FailingWindow(uint64_t fail_at)
    {
        t_count = 0;
        t_fail_at = fail_at;
        t_failed = false;
        g_elsewhere.store(0);
        g_window_open.store(true);
        t_open = true;
    }
    ~FailingWindow() { Close(); }
    void Close()
    {
        t_open = false;
        g_window_open.store(false);
    }
    uint64_t count() const { return t_count; }
    bool failed() const { return t_failed; }
    uint64_t elsewhere() const { return g_elsewhere.load(); }
};

// ---------------------------------------------------------------------------
// Samples, made by liblzma before any window opens.

using samples::Text;

// Blocks of `every` bytes in `streams` streams, without sizes in their headers.
Bytes Encode(const Bytes& data, size_t every, size_t streams)
{
    return samples::EncodeSizeless(data, every, LZMA_CHECK_CRC32, streams);
}

struct Sample {
    Bytes data;
    Bytes xz;
};

// Several streams of one block each, one index (and table growth) apiece.
const Sample& Streams()
{
    static const Sample s = [] {
        Bytes data = Text(720000);
        return Sample{data, Encode(data, data.size(), 24)};
    }();
    return s;
}

// One stream of blocks without sizes, enough of them for several tasks.
const Sample& Sizeless()
{
    static const Sample s = [] {
        Bytes data = Text(1000000);
        return Sample{data, Encode(data, 25000, 1)};
    }();
    return s;
}

// Two streams of a few blocks: every step of the stream decoder is alike,
// so a short file has them all.
const Sample& Short()
{
    static const Sample s = [] {
        Bytes data = Text(160000);
        return Sample{data, Encode(data, 25000, 2)};
    }();
    return s;
}

// ---------------------------------------------------------------------------
// Memory sources and sinks that allocate nothing while a run goes on.

class MemorySource final : public codec::ChunkSource {
public:
    explicit MemorySource(const Bytes& b) : b_(b) {}
    codec::ChunkRead Read(uint8_t* buf, size_t capacity) override
    {
        const size_t n = std::min(capacity, b_.size() - pos_);
        std::memcpy(buf, b_.data() + pos_, n);
        pos_ += n;
        ++reads_;
        return {n, n < capacity, false};
    }
    int reads() const { return reads_; }

private:
    const Bytes& b_;
    size_t pos_ = 0;
    int reads_ = 0;
};

class MemorySink final : public codec::ChunkSink {
public:
    explicit MemorySink(size_t capacity) { bytes_.reserve(capacity); }
    bool Write(const uint8_t* bytes, size_t count) override
    {
        if (bytes_.size() + count > bytes_.capacity())
            return false; // more output than the entry holds
        bytes_.insert(bytes_.end(), bytes, bytes + count);
        return true;
    }
    const Bytes& bytes() const { return bytes_; }

private:
    Bytes bytes_;
};

class Silent final : public codec::ProgressSink {
public:
    bool Report(int32_t) override { return true; }
};

// Positioned reads over memory; each Open is a new reader, made the way
// the plug-in makes its file handles: null when there is no memory.
class Archive final : public xzformat::ByteSource {
public:
    explicit Archive(const Bytes& b) : b_(b) {}
    bool Size(uint64_t* size) override { return *size = b_.size(), true; }
    size_t ReadAt(uint64_t offset, void* buf, size_t n) override
    {
        if (offset >= b_.size())
            return 0;
        n = static_cast<size_t>(std::min<uint64_t>(n, b_.size() - offset));
        std::memcpy(buf, b_.data() + offset, n);
        return n;
    }

private:
    const Bytes& b_;
};

class Readers final : public unpack::ArchiveReaders {
public:
    explicit Readers(const Bytes& b) : b_(b) {}
    std::unique_ptr<xzformat::ByteSource> Open() override
    {
        return std::unique_ptr<xzformat::ByteSource>(new (std::nothrow) Archive(b_));
    }

private:
    const Bytes& b_;
};

constexpr uint64_t kBudget = uint64_t{256} << 20;

enum class Engine { StreamDecoder, BlockDecoder };

// One test or extraction of sample through engine, its output through a
// writer thread; with 2 processors and the budget above for the blocks.
struct DecodeOnce {
    ResultCode result = ResultCode::Ok;
    bool fell_back = false; // the block decoder left the file to the stream decoder

    DecodeOnce(Engine engine, const CodecApi& codec, const Sample& sample, MemorySink& sink,
        codec::MemoryBudget& budget)
    {
        MemorySource stream(sample.xz);
        Readers readers(sample.xz);
        Silent progress;
        codec::AsyncSink behind(sink);
        result = engine == Engine::StreamDecoder
                     ? unpack::DecodeRun(codec, stream, &behind, progress)
                     : unpack::DecodeBlocks(codec, readers, stream, &behind, progress, 2, budget);
        fell_back = engine == Engine::BlockDecoder && stream.reads() > 0;
    }
};

// What every run must leave, whatever failed in it.
void ExpectCleanEnd(ResultCode result, bool failure_met, const MemorySink& sink, const Sample& sample,
                    const codec::MemoryBudget& budget, size_t threads_before, const std::string& where)
{
    if (failure_met)
        EXPECT_TRUE(result == ResultCode::Ok || result == ResultCode::NoMemory) << where;
    else
        EXPECT_EQ(result, ResultCode::Ok) << where;
    if (result == ResultCode::Ok)
        EXPECT_TRUE(sink.bytes() == sample.data) << where;
    EXPECT_EQ(budget.Free(), kBudget) << where << ": budget not given back";
    EXPECT_TRUE(process_threads::BackTo(threads_before)) << where << ": a thread outlived the run";
}

// ---------------------------------------------------------------------------
// The project's allocations, failed one at a time.

struct AllocCase {
    const char* name;
    Engine engine;
    const Sample& (*sample)();
};
void PrintTo(const AllocCase& c, std::ostream* os) { *os << c.name; }

const AllocCase kAllocCases[] = {
    {"stream_decoder_streams", Engine::StreamDecoder, Streams},
    {"block_decoder_streams", Engine::BlockDecoder, Streams},
    {"block_decoder_sizeless_blocks", Engine::BlockDecoder, Sizeless},
};

class EveryAllocationFails : public testing::TestWithParam<AllocCase> {};

TEST_P(EveryAllocationFails, RunEndsCleanly)
{
    const AllocCase& c = GetParam();
    const Sample& sample = c.sample();
    ASSERT_FALSE(sample.xz.empty());
    const CodecApi codec = system_liblzma::Codec();
    const size_t threads_before = process_threads::Count();
    int no_memory = 0, fell_back = 0;
    uint64_t n = 1;
    for (;; ++n) {
        MemorySink sink(sample.data.size());
        codec::MemoryBudget budget(kBudget);
        FailingWindow window(n);
        const DecodeOnce run(c.engine, codec, sample, sink, budget);
        window.Close();
        const std::string where = "allocation " + std::to_string(n) + " failed";
        ExpectCleanEnd(run.result, window.failed(), sink, sample, budget, threads_before, where);
        EXPECT_EQ(window.elsewhere(), 0u) << where << ": allocated on another thread, unseen here";
        // A set-up that ran short leaves the file to one thread, which then
        // meets no failure: 11 there would refuse what one thread decodes.
        if (run.fell_back)
            EXPECT_EQ(run.result, ResultCode::Ok) << where << ": fell back, yet failed";
        no_memory += run.result == ResultCode::NoMemory;
        fell_back += run.fell_back;
        if (!window.failed()) {
            EXPECT_FALSE(run.fell_back) << "with every allocation granted";
            std::printf("%s: %llu allocations per run; %llu runs, %d gave 11, %d fell back to the "
                        "stream decoder\n",
                        c.name, static_cast<unsigned long long>(window.count()),
                        static_cast<unsigned long long>(n), no_memory, fell_back);
            break;
        }
        ASSERT_LT(n, 10000u) << "the run never ends without a failure";
    }
    EXPECT_GT(n, 1u) << "the run allocated nothing: the window saw nothing";
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "a failed run leaked";
}

INSTANTIATE_TEST_SUITE_P(Runs, EveryAllocationFails, testing::ValuesIn(kAllocCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// liblzma's allocations: the real library behind a table whose one entry
// answers LZMA_MEM_ERROR at its k-th call, whichever thread makes it.

enum class Entry { StreamDecoder, BlockHeaderDecode, BlockDecoder, Code };

std::atomic<Entry> g_entry{Entry::Code};
std::atomic<uint64_t> g_calls{0};
std::atomic<uint64_t> g_fail_at{0};
std::atomic<bool> g_injected{false};

bool Refuse(Entry e)
{
    if (e != g_entry.load() || g_calls.fetch_add(1) + 1 != g_fail_at.load())
        return false;
    g_injected.store(true);
    return true;
}

lzma_ret StreamDecoder(lzma_stream* s, uint64_t memlimit, uint32_t flags)
{
    return Refuse(Entry::StreamDecoder) ? LZMA_MEM_ERROR : lzma_stream_decoder(s, memlimit, flags);
}
lzma_ret BlockHeaderDecode(lzma_block* b, const lzma_allocator* a, const uint8_t* in)
{
    return Refuse(Entry::BlockHeaderDecode) ? LZMA_MEM_ERROR : lzma_block_header_decode(b, a, in);
}
lzma_ret BlockDecoder(lzma_stream* s, lzma_block* b)
{
    return Refuse(Entry::BlockDecoder) ? LZMA_MEM_ERROR : lzma_block_decoder(s, b);
}
lzma_ret Code(lzma_stream* s, lzma_action a) { return Refuse(Entry::Code) ? LZMA_MEM_ERROR : lzma_code(s, a); }

CodecApi RefusingCodec()
{
    CodecApi api = system_liblzma::Codec();
    api.stream_decoder = StreamDecoder;
    api.code = Code;
    api.block_header_decode = BlockHeaderDecode;
    api.block_decoder = BlockDecoder;
    return api;
}

struct CodecCase {
    const char* name;
    Engine engine;
    Entry entry;
    const Sample& (*sample)();
};
void PrintTo(const CodecCase& c, std::ostream* os) { *os << c.name; }

const CodecCase kCodecCases[] = {
    {"stream_decoder_start", Engine::StreamDecoder, Entry::StreamDecoder, Short},
    {"stream_decoder_step", Engine::StreamDecoder, Entry::Code, Short},
    {"block_header", Engine::BlockDecoder, Entry::BlockHeaderDecode, Sizeless},
    {"block_decoder_start", Engine::BlockDecoder, Entry::BlockDecoder, Sizeless},
    {"block_decoder_step", Engine::BlockDecoder, Entry::Code, Sizeless},
};

class EveryCodecAllocationFails : public testing::TestWithParam<CodecCase> {};

TEST_P(EveryCodecAllocationFails, RunGivesNoMemory)
{
    const CodecCase& c = GetParam();
    const Sample& sample = c.sample();
    ASSERT_FALSE(sample.xz.empty());
    const CodecApi codec = RefusingCodec();
    const size_t threads_before = process_threads::Count();
    g_entry.store(c.entry);
    uint64_t k = 1;
    for (;; ++k) {
        MemorySink sink(sample.data.size());
        codec::MemoryBudget budget(kBudget);
        g_calls.store(0);
        g_fail_at.store(k);
        g_injected.store(false);
        const DecodeOnce run(c.engine, codec, sample, sink, budget);
        const bool injected = g_injected.load();
        const std::string where = "call " + std::to_string(k) + " refused";
        ExpectCleanEnd(run.result, injected, sink, sample, budget, threads_before, where);
        if (injected)
            EXPECT_EQ(run.result, ResultCode::NoMemory) << where;
        EXPECT_FALSE(run.fell_back) << where;
        if (!injected) {
            std::printf("%s: %llu calls per run\n", c.name, static_cast<unsigned long long>(g_calls.load()));
            break;
        }
        ASSERT_LT(k, 10000u) << "the run never ends without a refusal";
    }
    EXPECT_GT(k, 1u) << "the entry was never called";
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "a failed run leaked";
}

INSTANTIATE_TEST_SUITE_P(Entries, EveryCodecAllocationFails, testing::ValuesIn(kCodecCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The leak checks above can fail only where LeakSanitizer runs, which an
// environment can turn off: a block that no pointer reaches must be found.
uintptr_t LoseABlock()
{
    return ~reinterpret_cast<uintptr_t>(std::malloc(64));
}

TEST(LeakCheck, FindsABlockNoPointerReaches)
{
    const uintptr_t hidden = LoseABlock();
    // Its report is the check working, not a fault: it goes nowhere.
    const int saved = dup(2);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    const int found = __lsan_do_recoverable_leak_check();
    dup2(saved, 2);
    close(null);
    close(saved);
    std::free(reinterpret_cast<void*>(~hidden));
    EXPECT_NE(found, 0) << "LeakSanitizer is off: the sweeps' leak checks cannot fail";
}

} // namespace
