// The decompression loop behind test and extraction, driven by the real liblzma and by scripted
// codecs, over in-memory inputs and outputs that fail on demand.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <numeric>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <lzma.h>
#include <zlib.h>

#include "codec/async_sink.h"
#include "codec/chunk_io.h"
#include "codec/codec_api.h"
#include "codec/threading.h"
#include "plugin/result_code.h"
#include "tests/native/alloc_watch.h"
#include "tests/native/process_threads.h"
#include "tests/native/samples.h"
#include "tests/native/system_liblzma.h"
#include "pack/compress_stream.h"
#include "unpack/block_decode.h"
#include "unpack/decode_run.h"
#include "xzformat/byte_source.h"

namespace {

using codec::CodecApi;
using plugin::ResultCode;
using codec::ChunkRead;
using unpack::DecodeRun;

using Bytes = std::vector<uint8_t>;

constexpr size_t kChunk = 4096;
constexpr int kNever = -1;

// ---------------------------------------------------------------------------
// Data and containers, made by liblzma's own encoder.

Bytes Zeros(size_t n) { return Bytes(n, 0); }

// Incompressible: the encoder stores it nearly byte for byte, so its
// compressed form spans as many chunks as the data does.
Bytes Noise(size_t n, uint32_t seed)
{
    Bytes b(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& c : b) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<uint8_t>(x);
    }
    return b;
}

using samples::Text;

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// All of data through an encoder already started on s, which ends here.
Bytes Finish(lzma_stream& s, const Bytes& data)
{
    Bytes out(lzma_stream_buffer_bound(data.size()) + 64);
    s.next_in = data.data();
    s.avail_in = data.size();
    s.next_out = out.data();
    s.avail_out = out.size();
    const lzma_ret ret = lzma_code(&s, LZMA_FINISH);
    out.resize(out.size() - s.avail_out);
    lzma_end(&s);
    return ret == LZMA_STREAM_END ? out : Bytes{};
}

Bytes Encode(const Bytes& data, uint32_t preset = 1, lzma_check check = LZMA_CHECK_CRC64)
{
    lzma_stream s = LZMA_STREAM_INIT;
    return lzma_easy_encoder(&s, preset, check) == LZMA_OK ? Finish(s, data) : Bytes{};
}

void PutLe32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Rewrites the check ID in both stream flags fields, with their CRC-32s, so
// that the only fault left is a check type the decoder does not know. ID 2
// is reserved and, like CRC-32's ID 1, has a 4-byte check field, so the
// block and index stay consistent.
Bytes WithCheckId(Bytes xz, uint8_t id)
{
    constexpr size_t kHeaderFlags = 6;
    constexpr size_t kHeaderCrc = 8;
    const size_t footer = xz.size() - 12;
    const size_t footer_flags = footer + 8;
    xz[kHeaderFlags + 1] = id;
    PutLe32(&xz[kHeaderCrc], lzma_crc32(&xz[kHeaderFlags], 2, 0));
    xz[footer_flags + 1] = id;
    PutLe32(&xz[footer], lzma_crc32(&xz[footer + 4], 6, 0));
    return xz;
}

// ---------------------------------------------------------------------------
// In-memory source and sink that fail on demand.

struct SourcePlan {
    // How a reader learns of the end: with the last bytes, or only on the
    // read after them (as the runtime's streams report end of file).
    bool eager_end = false;
    size_t max_per_read = kChunk;
    int error_at_read = kNever;       // 0-based read that reports an error
    bool error_brings_bytes = true;   // that read still hands over its bytes
};

class MemorySource final : public codec::ChunkSource {
public:
    MemorySource(Bytes data, SourcePlan plan) : data_(std::move(data)), plan_(plan) {}

    ChunkRead Read(uint8_t* buf, size_t capacity) override
    {
        capacities_.push_back(capacity);
        const int index = reads_++;
        ChunkRead r{0, false, false};
        const size_t want = std::min(capacity, plan_.max_per_read);
        const size_t n = std::min(want, data_.size() - pos_);
        if (index == plan_.error_at_read) {
            r.error = true;
            if (!plan_.error_brings_bytes)
                return r;
        }
        if (n > 0)
            std::memcpy(buf, data_.data() + pos_, n);
        pos_ += n;
        r.count = n;
        r.end = plan_.eager_end ? pos_ == data_.size() : n < want;
        return r;
    }

    int reads() const { return reads_; }
    const std::vector<size_t>& capacities() const { return capacities_; }

private:
    Bytes data_;
    SourcePlan plan_;
    size_t pos_ = 0;
    int reads_ = 0;
    std::vector<size_t> capacities_;
};

class MemorySink final : public codec::ChunkSink {
public:
    // Accepts `fail_at_byte` bytes in all, then fails the write that would
    // pass that mark; kNoLimit never fails.
    static constexpr size_t kNoLimit = SIZE_MAX;
    explicit MemorySink(size_t fail_at_byte = kNoLimit, const MemorySource* source = nullptr)
        : limit_(fail_at_byte), source_(source)
    {
    }

    bool Write(const uint8_t* bytes, size_t count) override
    {
        const size_t room = limit_ - std::min(limit_, bytes_.size());
        const size_t take = std::min(room, count);
        bytes_.insert(bytes_.end(), bytes, bytes + take);
        if (take < count) {
            ++failures_;
            if (source_ != nullptr && reads_at_failure_ < 0)
                reads_at_failure_ = source_->reads();
            return false;
        }
        return true;
    }

    const Bytes& bytes() const { return bytes_; }
    int failures() const { return failures_; }
    int reads_at_failure() const { return reads_at_failure_; }

private:
    size_t limit_;
    const MemorySource* source_;
    Bytes bytes_;
    int failures_ = 0;
    int reads_at_failure_ = -1;
};

class RecordingProgress final : public codec::ProgressSink {
public:
    // Answers false to the 0-based report `abort_at` (and only that one,
    // unless `keep_refusing`), as a host that asks for an abort once.
    explicit RecordingProgress(int abort_at = kNever, const MemorySource* source = nullptr,
                               bool keep_refusing = false)
        : abort_at_(abort_at), source_(source), keep_refusing_(keep_refusing)
    {
    }

    bool Report(int32_t bytes) override
    {
        const int index = static_cast<int>(counts_.size());
        counts_.push_back(bytes);
        if (index == abort_at_ && source_ != nullptr)
            reads_at_abort_ = source_->reads();
        return !(index == abort_at_ || (keep_refusing_ && abort_at_ != kNever && index > abort_at_));
    }

    const std::vector<int32_t>& counts() const { return counts_; }
    int64_t total() const { return std::accumulate(counts_.begin(), counts_.end(), int64_t{0}); }
    int reads_at_abort() const { return reads_at_abort_; }

private:
    int abort_at_;
    const MemorySource* source_;
    bool keep_refusing_;
    std::vector<int32_t> counts_;
    int reads_at_abort_ = -1;
};

// ---------------------------------------------------------------------------
// The real liblzma behind a spy that records every call the loop makes.

struct Step {
    lzma_action action;
    size_t out_given;  // output space at the call
    lzma_ret status;
    size_t produced;
    int reads_before;  // reads the source had served when the step ran
};

struct Spy {
    const MemorySource* source = nullptr;
    int decoder_calls = 0;
    int end_calls = 0;
    uint64_t memlimit = 0;
    uint32_t flags = 0;
    bool record_was_zero = false;
    int mt_decoder_calls = 0;
    lzma_mt mt{};
    std::vector<Step> steps;
};
Spy* g_spy = nullptr;

bool AllZero(const void* p, size_t n)
{
    const auto* b = static_cast<const uint8_t*>(p);
    return std::all_of(b, b + n, [](uint8_t c) { return c == 0; });
}

lzma_ret SpyStreamDecoder(lzma_stream* s, uint64_t memlimit, uint32_t flags)
{
    ++g_spy->decoder_calls;
    g_spy->memlimit = memlimit;
    g_spy->flags = flags;
    g_spy->record_was_zero = AllZero(s, sizeof(*s));
    return lzma_stream_decoder(s, memlimit, flags);
}

lzma_ret SpyCode(lzma_stream* s, lzma_action action)
{
    const size_t given = s->avail_out;
    const lzma_ret status = lzma_code(s, action);
    g_spy->steps.push_back({action, given, status, given - s->avail_out, g_spy->source->reads()});
    return status;
}

void SpyEnd(lzma_stream* s)
{
    ++g_spy->end_calls;
    lzma_end(s);
}

lzma_ret SpyStreamDecoderMt(lzma_stream* s, const lzma_mt* options)
{
    ++g_spy->mt_decoder_calls;
    g_spy->mt = *options;
    g_spy->record_was_zero = AllZero(s, sizeof(*s));
    return lzma_stream_decoder_mt(s, options);
}

lzma_ret UnusedEncoder(lzma_stream*, uint32_t, lzma_check) { return LZMA_PROG_ERROR; }

const CodecApi kSpyCodec{SpyStreamDecoder, SpyCode, SpyEnd, UnusedEncoder, SpyStreamDecoderMt};
// A library from before the threaded decoder.
const CodecApi kSpyCodecWithoutMt{SpyStreamDecoder, SpyCode, SpyEnd, UnusedEncoder};

constexpr codec::DecoderThreads kTwoThreads{2, 64u << 20};

// One run of DecodeRun over `xz` through the real codec, with everything it
// did kept for the checks.
struct Recorded {
    MemorySource source;
    MemorySink sink;
    RecordingProgress progress;
    Spy spy;

    Recorded(const Bytes& xz, SourcePlan plan, size_t fail_at_byte = MemorySink::kNoLimit,
             int abort_at = kNever, bool keep_refusing = false)
        : source(xz, plan), sink(fail_at_byte, &source), progress(abort_at, &source, keep_refusing)
    {
        spy.source = &source;
    }

    ResultCode Go(bool with_sink = true, codec::DecoderThreads threads = codec::kSingleThreaded,
                  const CodecApi& codec = kSpyCodec)
    {
        g_spy = &spy;
        const ResultCode result =
            DecodeRun(codec, source, with_sink ? &sink : nullptr, progress, threads);
        g_spy = nullptr;
        return result;
    }
};

// Every successful step is reported once, with what it produced, and
// nothing else is; each step gets the whole 4096-byte buffer.
void ExpectStepsReported(const Recorded& run)
{
    std::vector<int32_t> expected;
    for (const Step& s : run.spy.steps) {
        EXPECT_EQ(s.out_given, kChunk);
        if (s.status == LZMA_OK || s.status == LZMA_STREAM_END)
            expected.push_back(static_cast<int32_t>(s.produced));
    }
    EXPECT_EQ(run.progress.counts(), expected);
    for (int32_t c : run.progress.counts()) {
        EXPECT_GE(c, 0);
        EXPECT_LE(c, static_cast<int32_t>(kChunk));
    }
    for (size_t c : run.source.capacities())
        EXPECT_EQ(c, kChunk);
}

// LZMA_FINISH exactly for the steps on the last chunk read.
void ExpectFinishOnlyOnLastChunk(const Recorded& run)
{
    for (const Step& s : run.spy.steps) {
        const bool on_last = s.reads_before == run.source.reads();
        EXPECT_EQ(s.action, on_last ? LZMA_FINISH : LZMA_RUN) << "step after read " << s.reads_before;
    }
}

const SourcePlan kStdio{};
const SourcePlan kEager{true};

// Samples. Each process runs one test case, so a sample is made only when a
// case asks for it, and then once.

const Bytes& TextData()
{
    static const Bytes b = Text(200000);
    return b;
}

const Bytes& TextXz()
{
    static const Bytes b = Encode(TextData(), 1);
    return b;
}

const Bytes& NoiseData()
{
    static const Bytes b = Noise(40000, 9);
    return b;
}

const Bytes& NoiseXz()
{
    static const Bytes b = Encode(NoiseData(), 0);
    return b;
}

const Bytes& SmallXz()
{
    static const Bytes b = Encode(Text(100));
    return b;
}

// Eight MiB of zeros compress into far less than the first chunk, and the
// noise after them keeps the file going for several more chunks.
const Bytes& CompressibleStartXz()
{
    static const Bytes b = Encode(Cat({Zeros(8u << 20), Noise(30000, 13)}), 1);
    return b;
}

struct Sample {
    Bytes xz;
    Bytes data;
};

// A file whose size is a whole number of chunks: when end of file shows
// only on the read after the last bytes, the last chunk read is empty.
Sample WholeChunks()
{
    Bytes data = Noise(3 * kChunk, 7);
    Bytes xz = Encode(data, 0);
    while (!data.empty() && xz.size() % kChunk != 0) {
        data.pop_back();
        xz = Encode(data, 0);
    }
    return {xz, data};
}

// ---------------------------------------------------------------------------
// Round trips.

struct RoundTrip {
    const char* name;
    Sample (*make)();
    SourcePlan plan;
};

void PrintTo(const RoundTrip& c, std::ostream* os) { *os << c.name; }

Sample TextSample() { return {TextXz(), TextData()}; }
Sample NoiseSample() { return {NoiseXz(), NoiseData()}; }
Sample ZerosSample() { return {Encode(Zeros(3u << 20), 1), Zeros(3u << 20)}; }
Sample WholeBuffersSample() { return {Encode(Text(kChunk * 5)), Text(kChunk * 5)}; }
Sample EmptySample() { return {Encode({}), {}}; }
Sample Sha256Sample() { return {Encode(TextData(), 0, LZMA_CHECK_SHA256), TextData()}; }
Sample TwoStreamsSample()
{
    return {Cat({TextXz(), Encode(NoiseData(), 0, LZMA_CHECK_CRC32)}), Cat({TextData(), NoiseData()})};
}
Sample PaddedSample()
{
    return {Cat({Encode(Text(10)), Zeros(8), Encode(TextData(), 0 | LZMA_PRESET_EXTREME)}),
            Cat({Text(10), TextData()})};
}
Sample EmptyStreamsAroundSample()
{
    return {Cat({Encode({}), Encode(Text(10), 1, LZMA_CHECK_NONE), Encode({})}), Text(10)};
}

const SourcePlan kDribble{true, 7};

const RoundTrip kRoundTrips[] = {
    {"text", TextSample, kStdio},
    {"text_eager_end", TextSample, kEager},
    {"noise_several_chunks", NoiseSample, kStdio},
    {"zeros_many_steps_per_chunk", ZerosSample, kStdio},
    {"output_whole_buffers", WholeBuffersSample, kStdio},
    {"empty_stream", EmptySample, kStdio},
    {"empty_stream_eager_end", EmptySample, kEager},
    {"sha256_check", Sha256Sample, kStdio},
    {"two_streams", TwoStreamsSample, kStdio},
    {"two_streams_eager_end", TwoStreamsSample, kEager},
    {"two_streams_padded", PaddedSample, kStdio},
    {"empty_streams_around_one", EmptyStreamsAroundSample, kStdio},
    {"file_of_whole_chunks", WholeChunks, kStdio},
    {"file_of_whole_chunks_eager_end", WholeChunks, kEager},
    {"short_reads", TextSample, kDribble},
};

class DecodeRunRoundTrip : public testing::TestWithParam<RoundTrip> {};

TEST_P(DecodeRunRoundTrip, ExtractGivesTheDataAndReportsEveryStep)
{
    const RoundTrip& c = GetParam();
    const Sample sample = c.make();
    ASSERT_FALSE(sample.xz.empty());
    Recorded run(sample.xz, c.plan);
    EXPECT_EQ(run.Go(), ResultCode::Ok);
    EXPECT_TRUE(run.sink.bytes() == sample.data)
        << "output of " << run.sink.bytes().size() << " bytes, expected " << sample.data.size();
    EXPECT_EQ(run.progress.total(), static_cast<int64_t>(sample.data.size()));
    ASSERT_FALSE(run.spy.steps.empty());
    EXPECT_EQ(run.spy.steps.back().status, LZMA_STREAM_END);
    ExpectStepsReported(run);
    ExpectFinishOnlyOnLastChunk(run);
    EXPECT_EQ(run.spy.decoder_calls, 1);
    EXPECT_EQ(run.spy.end_calls, 1);
    EXPECT_TRUE(run.spy.record_was_zero);
    EXPECT_EQ(run.spy.memlimit, UINT64_MAX);
    EXPECT_EQ(run.spy.flags, 0x0Au);
}

TEST_P(DecodeRunRoundTrip, TestReportsTheSameStepsWithoutOutput)
{
    const RoundTrip& c = GetParam();
    const Sample sample = c.make();
    Recorded extract(sample.xz, c.plan);
    extract.Go();
    Recorded test(sample.xz, c.plan);
    EXPECT_EQ(test.Go(false), ResultCode::Ok);
    EXPECT_EQ(test.progress.counts(), extract.progress.counts());
    EXPECT_EQ(test.progress.total(), static_cast<int64_t>(sample.data.size()));
    EXPECT_EQ(test.spy.end_calls, 1);
}

INSTANTIATE_TEST_SUITE_P(Streams, DecodeRunRoundTrip, testing::ValuesIn(kRoundTrips),
                         [](const auto& info) { return std::string(info.param.name); });

// Steps that produce nothing are reported too: the empty stream's one step,
// and the step after an exactly filled buffer.
TEST(DecodeRunReports, StepsWithoutOutputAreReported)
{
    Recorded empty(Encode({}), kStdio);
    EXPECT_EQ(empty.Go(), ResultCode::Ok);
    EXPECT_EQ(empty.progress.counts(), std::vector<int32_t>{0});

    Recorded whole(Encode(Text(kChunk * 2)), kEager);
    EXPECT_EQ(whole.Go(), ResultCode::Ok);
    ASSERT_FALSE(whole.progress.counts().empty());
    EXPECT_EQ(whole.progress.counts().back(), 0);
    EXPECT_EQ(whole.progress.total(), static_cast<int64_t>(kChunk * 2));
}

// ---------------------------------------------------------------------------
// Damaged files: cut short, one corrupt byte, an unknown check type.

Bytes Cut(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + std::min(n, b.size())); }

Bytes Flip(Bytes b, size_t at)
{
    b.at(at) ^= 0x5A;
    return b;
}

// A damaged copy of a sample: `at` counts from the end when negative.
struct Damaged {
    const char* name;
    const Bytes& (*sample)();
    long at;
    SourcePlan plan;
};

void PrintTo(const Damaged& c, std::ostream* os) { *os << c.name; }

size_t Where(const Bytes& b, long at) { return at >= 0 ? static_cast<size_t>(at) : b.size() - static_cast<size_t>(-at); }

const Bytes& TwoStreamsXz()
{
    static const Bytes b = Cat({Encode(Text(5000)), Encode(Text(7000))});
    return b;
}

const Bytes& EmptyFile()
{
    static const Bytes b;
    return b;
}

// Where the second stream of TwoStreamsXz begins.
long SecondStream() { return static_cast<long>(Encode(Text(5000)).size()); }

const Damaged kCuts[] = {
    {"no_bytes", EmptyFile, 0, kStdio},
    {"inside_stream_header", TextXz, 11, kStdio},
    {"stream_header_only", TextXz, 12, kStdio},
    {"inside_block_header", TextXz, 14, kStdio},
    {"first_chunk", TextXz, 1000, kStdio},
    // Stored data turns each chunk after the first into exactly one full
    // output buffer, so the chunk's last step produces nothing; when the end
    // of file shows only on the next read, the codec finishes on no input.
    {"at_a_chunk_end", NoiseXz, 2 * kChunk, kStdio},
    {"at_a_chunk_end_eager_end", NoiseXz, 2 * kChunk, kEager},
    {"middle", TextXz, 6000, kStdio},
    {"footer_missing", TextXz, -12, kStdio},
    {"last_byte_missing", TextXz, -1, kStdio},
    {"last_byte_missing_eager_end", TextXz, -1, kEager},
    {"second_stream_cut", TwoStreamsXz, -20, kStdio},
};

// Offsets from the end: 12 the footer, then the 12-byte index of one block.
const Damaged kCorruptions[] = {
    {"stream_magic", TextXz, 0, kStdio},
    {"block_header", TextXz, 13, kStdio},
    {"block_data_start", TextXz, 40, kStdio},
    {"block_data_later", TextXz, 5000, kStdio},
    {"noise_data_second_chunk", NoiseXz, kChunk + 100, kStdio},
    {"check_field", TextXz, -12 - 12 - 8, kStdio},
    {"index", TextXz, -14, kStdio},
    {"footer_crc", TextXz, -12, kStdio},
    {"block_data_eager_end", TextXz, 3000, kEager},
};

class DecodeRunCut : public testing::TestWithParam<Damaged> {};
class DecodeRunCorrupt : public testing::TestWithParam<Damaged> {};

// A file cut short is bad data, never a shorter entry: the codec never saw
// the end of its stream.
TEST_P(DecodeRunCut, IsBadData)
{
    const Bytes& whole = GetParam().sample();
    Recorded run(Cut(whole, Where(whole, GetParam().at)), GetParam().plan);
    EXPECT_EQ(run.Go(), ResultCode::BadData);
    EXPECT_EQ(run.spy.end_calls, 1);
    ExpectStepsReported(run);
    for (const Step& s : run.spy.steps)
        EXPECT_NE(s.status, LZMA_STREAM_END);
}

TEST(DecodeRunCut, SecondStreamWithOnlyItsHeader)
{
    Recorded run(Cut(TwoStreamsXz(), SecondStream() + 12), kStdio);
    EXPECT_EQ(run.Go(), ResultCode::BadData);
}

TEST_P(DecodeRunCorrupt, IsBadData)
{
    const Bytes& whole = GetParam().sample();
    Recorded run(Flip(whole, Where(whole, GetParam().at)), GetParam().plan);
    EXPECT_EQ(run.Go(), ResultCode::BadData);
    EXPECT_EQ(run.spy.end_calls, 1);
    ExpectStepsReported(run);
    // The failing step ends the run: nothing is read after its chunk.
    ASSERT_FALSE(run.spy.steps.empty());
    const lzma_ret last = run.spy.steps.back().status;
    EXPECT_TRUE(last != LZMA_OK && last != LZMA_STREAM_END) << "last status " << last;
    EXPECT_EQ(run.spy.steps.back().reads_before, run.source.reads());
}

INSTANTIATE_TEST_SUITE_P(Files, DecodeRunCut, testing::ValuesIn(kCuts),
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Files, DecodeRunCorrupt, testing::ValuesIn(kCorruptions),
                         [](const auto& info) { return std::string(info.param.name); });

// Every length short of the whole file, for a stored stream that spans a few
// chunks, with both ways of learning of the end: where the file is cut must
// not change the verdict.
TEST(DecodeRunCutEverywhere, EveryShorterLengthIsBadData)
{
    const Bytes xz = Encode(Noise(9000, 11), 0);
    ASSERT_GT(xz.size(), 2 * kChunk);
    for (const SourcePlan& plan : {kStdio, kEager}) {
        SCOPED_TRACE(plan.eager_end ? "end with the last bytes" : "end on the next read");
        std::string wrong;
        for (size_t n = 0; n < xz.size(); ++n) {
            Recorded run(Cut(xz, n), plan);
            const ResultCode result = run.Go();
            if (result != ResultCode::BadData)
                wrong += " " + std::to_string(n) + "->" + std::to_string(plugin::ToHost(result));
        }
        EXPECT_EQ(wrong, "") << "lengths (of " << xz.size() << ") that did not give 12";
    }
}

TEST(DecodeRunCheckType, UnsupportedCheckFailsAtTheFirstStep)
{
    const Bytes text = Text(20000);
    const Bytes crc32 = Encode(text, 1, LZMA_CHECK_CRC32);
    // The rewrite itself is sound: with ID 1 the stream still decodes.
    Recorded control(WithCheckId(crc32, 1), kStdio);
    ASSERT_EQ(control.Go(), ResultCode::Ok);
    ASSERT_TRUE(control.sink.bytes() == text);

    Recorded run(WithCheckId(crc32, 2), kStdio);
    EXPECT_EQ(run.Go(), ResultCode::BadData);
    ASSERT_EQ(run.spy.steps.size(), 1u);
    EXPECT_EQ(run.spy.steps[0].status, LZMA_UNSUPPORTED_CHECK);
    EXPECT_TRUE(run.progress.counts().empty());
    EXPECT_TRUE(run.sink.bytes().empty());
    EXPECT_EQ(run.source.reads(), 1);
    EXPECT_EQ(run.spy.end_calls, 1);
}

// ---------------------------------------------------------------------------
// Read errors, write errors and the abort, with the real codec.

struct Failure {
    const char* name;
    const Bytes& (*sample)();
    long flip_at;  // one corrupt byte there, or none when negative
    SourcePlan plan;
    size_t fail_at_byte;
    int abort_at;
    ResultCode expected;
};

void PrintTo(const Failure& c, std::ostream* os) { *os << c.name; }

constexpr size_t kNoLimit = MemorySink::kNoLimit;

SourcePlan ErrorAt(int read, bool brings_bytes)
{
    SourcePlan plan;
    plan.error_at_read = read;
    plan.error_brings_bytes = brings_bytes;
    return plan;
}

// The noise sample gives about one chunk of output per chunk of input, so
// byte 2 * 4096 + 100 of its output comes from the third chunk.
const Failure kFailures[] = {
    {"read_error_first_read", NoiseXz, -1, ErrorAt(0, false), kNoLimit, kNever,
     ResultCode::ReadError},
    {"read_error_mid_file", NoiseXz, -1, ErrorAt(2, true), kNoLimit, kNever, ResultCode::ReadError},
    {"read_error_mid_file_no_bytes", NoiseXz, -1, ErrorAt(2, false), kNoLimit, kNever,
     ResultCode::ReadError},
    // The whole small file comes with the error: the codec reaches the end
    // of the stream, and the read error still stands.
    {"read_error_after_whole_stream", SmallXz, -1, ErrorAt(0, true), kNoLimit, kNever,
     ResultCode::ReadError},
    // Later events in the same last chunk replace the read error.
    {"read_error_then_corrupt_data", NoiseXz, 13, ErrorAt(0, true), kNoLimit, kNever,
     ResultCode::BadData},
    {"read_error_then_write_error", NoiseXz, -1, ErrorAt(2, true), 2 * kChunk + 100, kNever,
     ResultCode::WriteError},
    {"read_error_then_abort", SmallXz, -1, ErrorAt(0, true), kNoLimit, 0, ResultCode::Aborted},
    {"write_error_first_byte", NoiseXz, -1, kStdio, 0, kNever, ResultCode::WriteError},
    {"write_error_mid_output", NoiseXz, -1, kStdio, 10000, kNever, ResultCode::WriteError},
    {"write_error_last_byte", NoiseXz, -1, kStdio, 39999, kNever, ResultCode::WriteError},
    {"abort_first_step", NoiseXz, -1, kStdio, kNoLimit, 0, ResultCode::Aborted},
    {"abort_at_stream_end", SmallXz, -1, kStdio, kNoLimit, 0, ResultCode::Aborted},
};

class DecodeRunFailure : public testing::TestWithParam<Failure> {};

TEST_P(DecodeRunFailure, LastEventDecides)
{
    const Failure& c = GetParam();
    const Bytes xz = c.flip_at >= 0 ? Flip(c.sample(), static_cast<size_t>(c.flip_at)) : c.sample();
    Recorded run(xz, c.plan, c.fail_at_byte, c.abort_at);
    EXPECT_EQ(run.Go(), c.expected);
    EXPECT_EQ(run.spy.end_calls, 1);
    ExpectStepsReported(run);
    if (c.plan.error_at_read != kNever)
        EXPECT_EQ(run.source.reads(), c.plan.error_at_read + 1) << "read on after the error";
    if (c.fail_at_byte != kNoLimit) {
        ASSERT_GT(run.sink.failures(), 0);
        EXPECT_EQ(run.sink.bytes().size(), c.fail_at_byte);
        EXPECT_EQ(run.source.reads(), run.sink.reads_at_failure()) << "read on after the write error";
    }
    if (c.abort_at != kNever) {
        ASSERT_GT(run.progress.counts().size(), static_cast<size_t>(c.abort_at));
        EXPECT_EQ(run.source.reads(), run.progress.reads_at_abort()) << "read on after the abort";
    }
}

INSTANTIATE_TEST_SUITE_P(Events, DecodeRunFailure, testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

// A writer thread changes nothing the host sees: every row above, on one
// thread and on two, and write errors that the writer tells of only chunks
// later, after other events, give the result and bytes of writing at once.
TEST(DecodeRunBehind, GivesWhatWritingAtOnceGives)
{
    std::vector<Failure> rows(std::begin(kFailures), std::end(kFailures));
    rows.push_back({"write_error_then_later_abort", NoiseXz, -1, kStdio, 100, 5, ResultCode::WriteError});
    rows.push_back({"write_error_then_later_read_error", NoiseXz, -1, ErrorAt(5, true), 100, kNever,
                    ResultCode::WriteError});
    rows.push_back({"write_error_then_later_corrupt_data", NoiseXz, 6 * kChunk, kStdio, 100, kNever,
                    ResultCode::WriteError});
    rows.push_back({"no_failure", NoiseXz, -1, kStdio, kNoLimit, kNever, ResultCode::Ok});
    for (const codec::DecoderThreads threads : {codec::kSingleThreaded, kTwoThreads}) {
        for (const Failure& c : rows) {
            SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(threads.threads) + " threads");
            const Bytes xz = c.flip_at >= 0 ? Flip(c.sample(), static_cast<size_t>(c.flip_at)) : c.sample();
            Recorded at_once(xz, c.plan, c.fail_at_byte, c.abort_at);
            const ResultCode expected = at_once.Go(true, threads);
            if (threads.threads == 1)
                EXPECT_EQ(expected, c.expected);

            MemorySource source(xz, c.plan);
            MemorySink inner(c.fail_at_byte);
            RecordingProgress progress(c.abort_at);
            Spy spy;
            spy.source = &source;
            g_spy = &spy;
            {
                codec::AsyncSink behind(inner, 4 * kChunk);
                EXPECT_EQ(DecodeRun(kSpyCodec, source, &behind, progress, threads), expected);
            }
            g_spy = nullptr;
            EXPECT_TRUE(inner.bytes() == at_once.sink.bytes())
                << inner.bytes().size() << " bytes written, " << at_once.sink.bytes().size() << " at once";
            EXPECT_EQ(spy.end_calls, 1);
        }
    }
}

// ---------------------------------------------------------------------------
// Threaded decoding: the same files, faults and host answers give what the
// single-threaded run gives.

// Blocks of 64 KiB whose headers store their sizes, as threaded writers
// make them: the only blocks the threaded decoder hands to its workers.
Bytes EncodeBlocks(const Bytes& data)
{
    lzma_mt mt{};
    mt.threads = 2;
    mt.block_size = 64u << 10;
    mt.preset = 1;
    mt.check = LZMA_CHECK_CRC64;
    lzma_stream s = LZMA_STREAM_INIT;
    return lzma_stream_encoder_mt(&s, &mt) == LZMA_OK ? Finish(s, data) : Bytes{};
}

const Bytes& BlocksXz()
{
    static const Bytes b = EncodeBlocks(Text(700000));
    return b;
}

// A stream whose one block header stores no sizes, then a threaded one.
const Bytes& MixedStreamsXz()
{
    static const Bytes b = Cat({Encode(Text(30000)), BlocksXz()});
    return b;
}

struct Threaded {
    const char* name;
    const Bytes& (*sample)();
    long cut_at;  // the file ends there (from the end when negative), or 0
    long flip_at; // one corrupt byte there (from the end when negative), or 0
    SourcePlan plan;
    size_t fail_at_byte;
    int abort_at;
    // Where it differs from the single-threaded run, the threaded result.
    ResultCode differs = ResultCode::Ok;
};

void PrintTo(const Threaded& c, std::ostream* os) { *os << c.name; }

const Threaded kThreaded[] = {
    {"blocks", BlocksXz, 0, 0, kStdio, kNoLimit, kNever},
    {"blocks_eager_end", BlocksXz, 0, 0, kEager, kNoLimit, kNever},
    {"blocks_short_reads", BlocksXz, 0, 0, kDribble, kNoLimit, kNever},
    {"mixed_streams", MixedStreamsXz, 0, 0, kStdio, kNoLimit, kNever},
    {"cut_in_the_middle", BlocksXz, 20000, 0, kStdio, kNoLimit, kNever},
    {"cut_before_the_index", BlocksXz, -40, 0, kStdio, kNoLimit, kNever},
    {"cut_last_byte", BlocksXz, -1, 0, kEager, kNoLimit, kNever},
    {"corrupt_first_block", BlocksXz, 0, 200, kStdio, kNoLimit, kNever},
    {"corrupt_last_block", BlocksXz, 0, -200, kStdio, kNoLimit, kNever},
    {"corrupt_second_stream", MixedStreamsXz, 0, -3000, kStdio, kNoLimit, kNever},
    {"corrupt_index", BlocksXz, 0, -14, kStdio, kNoLimit, kNever},
    {"read_error_mid_file", BlocksXz, 0, 0, ErrorAt(3, true), kNoLimit, kNever},
    {"read_error_mid_file_no_bytes", BlocksXz, 0, 0, ErrorAt(3, false), kNoLimit, kNever},
    {"write_error_mid_output", BlocksXz, 0, 0, kStdio, 300000, kNever},
    {"abort_first_report", BlocksXz, 0, 0, kStdio, kNoLimit, 0},
    {"abort_mid_run", BlocksXz, 0, 0, kStdio, kNoLimit, 60},
    // Cut short by the read or corrupt? The threaded decoder cannot tell.
    {"read_error_then_corrupt_data", BlocksXz, 0, 13, ErrorAt(0, true), kNoLimit, kNever,
     ResultCode::ReadError},
};

class DecodeRunThreaded : public testing::TestWithParam<Threaded> {};

TEST_P(DecodeRunThreaded, GivesWhatTheSingleThreadedRunGives)
{
    const Threaded& c = GetParam();
    Bytes xz = c.sample();
    ASSERT_GT(xz.size(), 8 * kChunk);
    if (c.cut_at != 0)
        xz = Cut(xz, Where(xz, c.cut_at));
    if (c.flip_at != 0)
        xz = Flip(xz, Where(xz, c.flip_at));

    Recorded single(xz, c.plan, c.fail_at_byte, c.abort_at);
    ResultCode expected = single.Go();
    if (c.differs != ResultCode::Ok) {
        EXPECT_NE(expected, c.differs);
        expected = c.differs;
    }
    Recorded run(xz, c.plan, c.fail_at_byte, c.abort_at);
    EXPECT_EQ(run.Go(true, kTwoThreads), expected);
    EXPECT_EQ(run.spy.decoder_calls, 0);
    EXPECT_EQ(run.spy.mt_decoder_calls, 1);
    EXPECT_EQ(run.spy.end_calls, 1);
    EXPECT_TRUE(run.spy.record_was_zero);
    EXPECT_EQ(run.spy.mt.flags, uint32_t{LZMA_TELL_UNSUPPORTED_CHECK | LZMA_CONCATENATED | LZMA_FAIL_FAST});
    EXPECT_EQ(run.spy.mt.threads, kTwoThreads.threads);
    EXPECT_EQ(run.spy.mt.memlimit_threading, kTwoThreads.memlimit_threading);
    EXPECT_EQ(run.spy.mt.memlimit_stop, UINT64_MAX);
    EXPECT_EQ(run.spy.mt.timeout, codec::kThreadedStepTimeout);
    ExpectStepsReported(run);
    if (expected == ResultCode::Ok) {
        ExpectFinishOnlyOnLastChunk(run);
        EXPECT_TRUE(run.sink.bytes() == single.sink.bytes());
        EXPECT_EQ(run.progress.total(), static_cast<int64_t>(single.sink.bytes().size()));
    }
    if (c.abort_at != kNever)
        EXPECT_EQ(run.source.reads(), run.progress.reads_at_abort()) << "read on after the abort";
    if (c.plan.error_at_read != kNever)
        EXPECT_EQ(run.source.reads(), c.plan.error_at_read + 1) << "read on after the error";
}

INSTANTIATE_TEST_SUITE_P(Files, DecodeRunThreaded, testing::ValuesIn(kThreaded),
                         [](const auto& info) { return std::string(info.param.name); });

class ThreadCountingProgress final : public codec::ProgressSink {
public:
    bool Report(int32_t) override
    {
        most_ = std::max(most_, process_threads::Count());
        return true;
    }
    size_t most() const { return most_; }

private:
    size_t most_ = 0;
};

// The blocks really go to worker threads, and a library without the
// threaded decoder (or one thread asked for) decodes them all on its own.
TEST(DecodeRunThreads, WorkersOnlyWhenThreadedAndTheLibraryHasThem)
{
    const size_t before = process_threads::Count();
    ASSERT_GT(before, 0u);
    for (const bool has_mt : {true, false}) {
        for (const codec::DecoderThreads threads : {kTwoThreads, codec::kSingleThreaded}) {
            SCOPED_TRACE(std::string(has_mt ? "library with" : "library without") +
                         " the threaded decoder, " + std::to_string(threads.threads) + " threads");
            MemorySource source(BlocksXz(), kStdio);
            MemorySink sink;
            ThreadCountingProgress progress;
            Spy spy;
            spy.source = &source;
            g_spy = &spy;
            EXPECT_EQ(DecodeRun(has_mt ? kSpyCodec : kSpyCodecWithoutMt, source, &sink, progress, threads),
                      ResultCode::Ok);
            g_spy = nullptr;
            EXPECT_TRUE(sink.bytes() == Text(700000));
            const bool workers = has_mt && threads.threads > 1;
            EXPECT_EQ(spy.mt_decoder_calls, workers ? 1 : 0);
            EXPECT_EQ(spy.decoder_calls, workers ? 0 : 1);
            if (workers)
                EXPECT_GT(progress.most(), before);
            else
                EXPECT_EQ(progress.most(), before);
            EXPECT_TRUE(process_threads::BackTo(before)) << "a worker outlived the run";
        }
    }
}

// All the output the codec gives for the first chunk of `xz` alone, decoded
// in calls with room to spare.
size_t FirstChunkOutput(const Bytes& xz)
{
    lzma_stream s = LZMA_STREAM_INIT;
    if (lzma_stream_decoder(&s, UINT64_MAX, LZMA_TELL_UNSUPPORTED_CHECK | LZMA_CONCATENATED) != LZMA_OK)
        return 0;
    Bytes out(1u << 20);
    s.next_in = xz.data();
    s.avail_in = std::min(xz.size(), kChunk);
    size_t total = 0;
    for (;;) {
        s.next_out = out.data();
        s.avail_out = out.size();
        const lzma_ret ret = lzma_code(&s, LZMA_RUN);
        total += out.size() - s.avail_out;
        if (ret != LZMA_OK || s.avail_out != 0)
            break;
    }
    lzma_end(&s);
    return total;
}

// The host hears of every step of the chunk it aborted in, the chunk's
// whole output is still written, and nothing more is read.
TEST(DecodeRunAbort, ReportsGoOnUntilTheChunkIsUsedUp)
{
    const Bytes& xz = CompressibleStartXz();
    ASSERT_GT(xz.size(), 3 * kChunk);
    const size_t first_chunk_output = FirstChunkOutput(xz);
    ASSERT_GE(first_chunk_output, size_t{8} << 20);
    for (bool keep_refusing : {false, true}) {
        SCOPED_TRACE(keep_refusing ? "host refuses every later report" : "host refuses once");
        Recorded run(xz, kStdio, kNoLimit, 3, keep_refusing);
        EXPECT_EQ(run.Go(), ResultCode::Aborted);
        EXPECT_EQ(run.source.reads(), 1);
        EXPECT_EQ(run.progress.reads_at_abort(), 1);
        ExpectStepsReported(run);
        EXPECT_GT(run.progress.counts().size(), 2000u);
        EXPECT_EQ(static_cast<size_t>(run.progress.total()), first_chunk_output);
        EXPECT_EQ(run.sink.bytes().size(), first_chunk_output);
        EXPECT_TRUE(std::all_of(run.sink.bytes().begin(),
                                run.sink.bytes().begin() + std::min(run.sink.bytes().size(), size_t{8} << 20),
                                [](uint8_t b) { return b == 0; }));
        EXPECT_EQ(run.spy.end_calls, 1);
    }
}

TEST(DecodeRunAbort, WriteErrorLaterInTheSameChunkWins)
{
    Recorded run(CompressibleStartXz(), kStdio, 5u << 20, 3);
    EXPECT_EQ(run.Go(), ResultCode::WriteError);
    EXPECT_EQ(run.source.reads(), 1);
    EXPECT_EQ(run.sink.reads_at_failure(), 1);
    EXPECT_GT(run.progress.counts().size(), 2000u);
    ExpectStepsReported(run);
}

// A stream that failed once keeps failing, so every later step of the chunk
// that writes sets the write error again; an abort wins only on the last step.
TEST(DecodeRunAbort, AbortOnTheChunksLastStepWinsOverEarlierWriteError)
{
    Recorded first_chunk(CompressibleStartXz(), kStdio, kNoLimit, 0);
    first_chunk.Go();
    const int steps = static_cast<int>(first_chunk.progress.counts().size());
    ASSERT_GT(steps, 1000);

    Recorded run(CompressibleStartXz(), kStdio, 4096 * 3, steps - 1);
    EXPECT_EQ(run.Go(), ResultCode::Aborted);
    EXPECT_EQ(run.source.reads(), 1);
    EXPECT_EQ(run.sink.reads_at_failure(), 1);
    EXPECT_EQ(static_cast<int>(run.progress.counts().size()), steps);
}

// ---------------------------------------------------------------------------
// Scripted codecs: statuses the real one gives only under memory pressure
// or misuse.

struct ScriptStep {
    lzma_ret status;
    size_t produced;
    size_t left = 0;       // input bytes not taken, as by a step that timed out
    uint64_t progress = 0; // what the encoder's workers have taken in
};

struct Script {
    lzma_ret init = LZMA_OK;
    std::vector<ScriptStep> steps;
    size_t next = 0;
    int decoder_calls = 0;
    int code_calls = 0;
    int end_calls = 0;
    bool overrun = false;
    uint64_t progress = 0;
};
Script* g_script = nullptr;

lzma_ret ScriptDecoder(lzma_stream*, uint64_t, uint32_t)
{
    ++g_script->decoder_calls;
    return g_script->init;
}

lzma_ret ScriptCode(lzma_stream* s, lzma_action)
{
    ++g_script->code_calls;
    if (g_script->next >= g_script->steps.size()) {
        g_script->overrun = true;
        return LZMA_PROG_ERROR;
    }
    const ScriptStep step = g_script->steps[g_script->next++];
    const size_t taken = s->avail_in - std::min(step.left, s->avail_in);
    s->next_in += taken;
    s->avail_in -= taken;
    s->total_in += taken;
    g_script->progress = step.progress;
    if (step.status == LZMA_OK || step.status == LZMA_STREAM_END) {
        std::memset(s->next_out, 0xA5, step.produced);
        s->next_out += step.produced;
        s->avail_out -= step.produced;
    }
    return step.status;
}

void ScriptEnd(lzma_stream*) { ++g_script->end_calls; }

lzma_ret ScriptDecoderMt(lzma_stream*, const lzma_mt* mt)
{
    EXPECT_EQ(mt->timeout, codec::kThreadedStepTimeout);
    ++g_script->decoder_calls;
    return g_script->init;
}

const CodecApi kScriptCodecMt{ScriptDecoder, ScriptCode, ScriptEnd, UnusedEncoder, ScriptDecoderMt};

struct Scripted {
    const char* name;
    lzma_ret init;
    std::vector<ScriptStep> steps;
    size_t input_size;  // bytes of (meaningless) input
    SourcePlan plan;
    size_t fail_at_byte;
    int abort_at;
    ResultCode expected;
    std::vector<int32_t> reports;
    int reads;
    bool threaded = false;
};

void PrintTo(const Scripted& c, std::ostream* os) { *os << c.name; }

std::vector<Scripted> ScriptedCases()
{
    constexpr size_t kNo = MemorySink::kNoLimit;
    constexpr size_t kFull = kChunk;
    const ResultCode kNoMemory = ResultCode::NoMemory;
    const ResultCode kBad = ResultCode::BadData;
    SourcePlan error_second{true};
    error_second.error_at_read = 1;
    // One chunk of input, read with its end.
    const SourcePlan one{true};
    return {
        {"init_mem_error", LZMA_MEM_ERROR, {}, 100, one, kNo, kNever, kNoMemory, {}, 0},
        {"init_options_error", LZMA_OPTIONS_ERROR, {}, 100, one, kNo, kNever, kNoMemory, {}, 0},
        {"init_prog_error", LZMA_PROG_ERROR, {}, 100, one, kNo, kNever, kNoMemory, {}, 0},
        {"code_mem_error", LZMA_OK, {{LZMA_MEM_ERROR, 0}}, 100, one, kNo, kNever, kNoMemory, {}, 1},
        {"code_memlimit_error", LZMA_OK, {{LZMA_MEMLIMIT_ERROR, 0}}, 100, one, kNo, kNever, kNoMemory,
         {}, 1},
        // The codec's "no progress possible" in the middle of the input: the
        // input failed it. Where the input has ended, that is a file cut
        // short instead, and the cut tests above hold.
        {"code_buf_error", LZMA_OK, {{LZMA_BUF_ERROR, 0}}, 3 * kChunk, kStdio, kNo, kNever,
         ResultCode::ReadError, {}, 1},
        {"code_data_error", LZMA_OK, {{LZMA_DATA_ERROR, 0}}, 100, one, kNo, kNever, kBad, {}, 1},
        {"code_format_error", LZMA_OK, {{LZMA_FORMAT_ERROR, 0}}, 100, one, kNo, kNever, kBad, {}, 1},
        {"code_options_error", LZMA_OK, {{LZMA_OPTIONS_ERROR, 0}}, 100, one, kNo, kNever, kBad, {}, 1},
        {"code_unsupported_check", LZMA_OK, {{LZMA_UNSUPPORTED_CHECK, 0}}, 100, one, kNo, kNever, kBad,
         {}, 1},
        {"code_prog_error", LZMA_OK, {{LZMA_PROG_ERROR, 0}}, 100, one, kNo, kNever, kBad, {}, 1},
        {"code_no_check", LZMA_OK, {{LZMA_NO_CHECK, 0}}, 100, one, kNo, kNever, kBad, {}, 1},
        {"code_get_check", LZMA_OK, {{LZMA_GET_CHECK, 0}}, 100, one, kNo, kNever, kBad, {}, 1},
        // Output already produced stays reported; the failing step adds nothing.
        {"mem_error_after_full_step", LZMA_OK, {{LZMA_OK, kFull}, {LZMA_MEM_ERROR, 0}}, 100, one, kNo,
         kNever, kNoMemory, {4096}, 1},
        {"buf_error_in_second_chunk", LZMA_OK, {{LZMA_OK, 10}, {LZMA_BUF_ERROR, 0}}, 3 * kChunk,
         kEager, kNo, kNever, ResultCode::ReadError, {10}, 2},
        // The end of the stream must come with the last chunk.
        {"no_stream_end", LZMA_OK, {{LZMA_OK, 10}, {LZMA_OK, 20}}, kChunk + 1, kEager, kNo, kNever,
         kBad, {10, 20}, 2},
        {"stream_end_before_last_chunk", LZMA_OK, {{LZMA_STREAM_END, 10}, {LZMA_OK, 0}}, kChunk + 1,
         kEager, kNo, kNever, kBad, {10, 0}, 2},
        {"stream_end_in_last_chunk", LZMA_OK, {{LZMA_OK, 10}, {LZMA_STREAM_END, 20}}, kChunk + 1,
         kEager, kNo, kNever, ResultCode::Ok, {10, 20}, 2},
        // Last event wins.
        {"read_error_then_data_error", LZMA_OK, {{LZMA_OK, 10}, {LZMA_DATA_ERROR, 0}}, 3 * kChunk,
         error_second, kNo, kNever, kBad, {10}, 2},
        {"read_error_then_mem_error", LZMA_OK, {{LZMA_OK, 10}, {LZMA_MEM_ERROR, 0}}, 3 * kChunk,
         error_second, kNo, kNever, kNoMemory, {10}, 2},
        {"read_error_then_stream_end", LZMA_OK, {{LZMA_OK, 10}, {LZMA_STREAM_END, 5}}, 3 * kChunk,
         error_second, kNo, kNever, ResultCode::ReadError, {10, 5}, 2},
        {"read_error_then_abort", LZMA_OK, {{LZMA_OK, 10}, {LZMA_STREAM_END, 5}}, 3 * kChunk,
         error_second, kNo, 1, ResultCode::Aborted, {10, 5}, 2},
        {"abort_then_write_error", LZMA_OK, {{LZMA_OK, kFull}, {LZMA_OK, kFull}, {LZMA_OK, 7}},
         3 * kChunk, kStdio, 5000, 0, ResultCode::WriteError, {4096, 4096, 7}, 1},
        {"write_error_then_abort", LZMA_OK, {{LZMA_OK, kFull}, {LZMA_OK, kFull}, {LZMA_OK, 7}},
         3 * kChunk, kStdio, 100, 2, ResultCode::Aborted, {4096, 4096, 7}, 1},
        {"write_error_sticks_after_abort", LZMA_OK, {{LZMA_OK, kFull}, {LZMA_OK, kFull}, {LZMA_OK, 7}},
         3 * kChunk, kStdio, 100, 1, ResultCode::WriteError, {4096, 4096, 7}, 1},
        {"abort_then_mem_error", LZMA_OK, {{LZMA_OK, kFull}, {LZMA_MEMLIMIT_ERROR, 0}}, 3 * kChunk,
         kStdio, kNo, 0, kNoMemory, {4096}, 1},
        {"write_error_then_buf_error", LZMA_OK, {{LZMA_OK, kFull}, {LZMA_BUF_ERROR, 0}}, 3 * kChunk,
         kStdio, 10, kNever, ResultCode::ReadError, {4096}, 1},
        {"write_error_then_stream_end", LZMA_OK, {{LZMA_OK, kFull}, {LZMA_STREAM_END, 0}}, 100, one,
         10, kNever, ResultCode::WriteError, {4096, 0}, 1},
        // Full steps keep the chunk going after an abort or a write error;
        // the step that leaves room ends it.
        {"abort_keeps_full_steps", LZMA_OK,
         {{LZMA_OK, kFull}, {LZMA_OK, kFull}, {LZMA_OK, kFull}, {LZMA_OK, 0}}, 3 * kChunk, kStdio,
         kNo, 0, ResultCode::Aborted, {4096, 4096, 4096, 0}, 1},
        {"write_error_keeps_full_steps", LZMA_OK,
         {{LZMA_OK, kFull}, {LZMA_OK, kFull}, {LZMA_OK, 1}}, 3 * kChunk, kStdio, 0, kNever,
         ResultCode::WriteError, {4096, 4096, 1}, 1},
        // A step without output on a chunk still counts as a step.
        {"empty_steps_reported", LZMA_OK, {{LZMA_OK, 0}, {LZMA_OK, 0}, {LZMA_STREAM_END, 0}},
         2 * kChunk + 1, kEager, kNo, kNever, ResultCode::Ok, {0, 0, 0}, 3},
        // Threaded steps that timed out: the chunk is stepped until it is
        // taken whole, the last one until the stream ends, each step
        // reported; an abort ends the run at once.
        {"threaded_timeouts", LZMA_OK,
         {{LZMA_OK, 0, 3000}, {LZMA_OK, 0, 3000}, {LZMA_OK, 10}, {LZMA_OK, 0, 100}, {LZMA_OK, 7},
          {LZMA_OK, 0}, {LZMA_STREAM_END, 5}},
         kChunk + 100, kEager, kNo, kNever, ResultCode::Ok, {0, 0, 10, 0, 7, 0, 5}, 2, true},
        {"threaded_abort_at_once", LZMA_OK, {{LZMA_OK, kFull}}, 3 * kChunk, kStdio, kNo, 0,
         ResultCode::Aborted, {4096}, 1, true},
        {"threaded_abort_while_finishing", LZMA_OK, {{LZMA_OK, 0}, {LZMA_OK, 0}}, 100, one, kNo, 1,
         ResultCode::Aborted, {0, 0}, 1, true},
        {"threaded_no_stream_end", LZMA_OK, {{LZMA_OK, 0, 50}, {LZMA_BUF_ERROR, 0}}, 100, one, kNo,
         kNever, kBad, {0}, 1, true},
    };
}

class DecodeRunScripted : public testing::TestWithParam<Scripted> {};

TEST_P(DecodeRunScripted, MapsStatusesAndEvents)
{
    const Scripted& c = GetParam();
    Script script;
    script.init = c.init;
    script.steps = c.steps;
    g_script = &script;
    MemorySource source(Noise(c.input_size, 17), c.plan);
    MemorySink sink(c.fail_at_byte, &source);
    RecordingProgress progress(c.abort_at, &source);
    const codec::DecoderThreads threads = c.threaded ? kTwoThreads : codec::kSingleThreaded;
    const ResultCode result = DecodeRun(kScriptCodecMt, source, &sink, progress, threads);
    g_script = nullptr;

    EXPECT_EQ(result, c.expected);
    EXPECT_EQ(progress.counts(), c.reports);
    EXPECT_EQ(source.reads(), c.reads);
    EXPECT_FALSE(script.overrun) << "the codec was called after its last scripted step";
    EXPECT_EQ(script.next, c.steps.size()) << "scripted steps left unused";
    EXPECT_EQ(script.decoder_calls, 1);
    // A decoder that never started is not ended; one that did, always is.
    EXPECT_EQ(script.end_calls, c.init == LZMA_OK ? 1 : 0);
    if (c.init != LZMA_OK)
        EXPECT_EQ(script.code_calls, 0);
    const int64_t reported = std::accumulate(c.reports.begin(), c.reports.end(), int64_t{0});
    const size_t written = std::min<size_t>(static_cast<size_t>(reported), c.fail_at_byte);
    EXPECT_EQ(sink.bytes().size(), written);

    // Written on a thread, with batches smaller than the output: the same.
    Script again;
    again.init = c.init;
    again.steps = c.steps;
    g_script = &again;
    MemorySource source2(Noise(c.input_size, 17), c.plan);
    MemorySink inner(c.fail_at_byte);
    RecordingProgress progress2(c.abort_at);
    {
        codec::AsyncSink behind(inner, 2 * kChunk);
        EXPECT_EQ(DecodeRun(kScriptCodecMt, source2, &behind, progress2, threads), c.expected)
            << "through a writer thread";
    }
    g_script = nullptr;
    EXPECT_EQ(inner.bytes().size(), written) << "through a writer thread";
}

INSTANTIATE_TEST_SUITE_P(Codec, DecodeRunScripted, testing::ValuesIn(ScriptedCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The packing loop over the same doubles: statuses and threaded steps that
// the real encoder gives only under memory pressure or on a busy machine.

lzma_ret ScriptEncoder(lzma_stream*, uint32_t, lzma_check)
{
    ++g_script->decoder_calls;
    return g_script->init;
}

lzma_ret ScriptEncoderMt(lzma_stream*, const lzma_mt* mt)
{
    EXPECT_EQ(mt->timeout, codec::kThreadedStepTimeout);
    ++g_script->decoder_calls;
    return g_script->init;
}

void ScriptProgress(lzma_stream*, uint64_t* in, uint64_t* out)
{
    *in = g_script->progress;
    *out = 0;
}

lzma_ret UnusedDecoder(lzma_stream*, uint64_t, uint32_t) { return LZMA_PROG_ERROR; }
uint64_t AnyMemusage(const lzma_mt*) { return 1; }

CodecApi ScriptEncoderCodec(bool with_progress)
{
    CodecApi api{UnusedDecoder, ScriptCode, ScriptEnd, ScriptEncoder};
    api.stream_encoder_mt = ScriptEncoderMt;
    api.stream_encoder_mt_memusage = AnyMemusage;
    if (with_progress)
        api.get_progress = ScriptProgress;
    return api;
}

struct ScriptedPack {
    const char* name;
    std::vector<ScriptStep> steps;
    size_t input_size;
    uint32_t threads;
    bool with_progress;
    int abort_at;
    ResultCode expected;
    std::vector<int32_t> reports;
};

void PrintTo(const ScriptedPack& c, std::ostream* os) { *os << c.name; }

// Input of 10,000 bytes, read with its end: chunks of 4096, 4096 and 1808.
std::vector<ScriptedPack> ScriptedPackCases()
{
    const ResultCode kOk = ResultCode::Ok;
    // Three chunks, the second taken over two steps, the last finished over
    // three; the workers' progress lags behind what they were handed.
    const std::vector<ScriptStep> timed_out = {
        {LZMA_OK, 0, 0, 0},   {LZMA_OK, 0, 1000, 0}, {LZMA_OK, 0, 0, 4096},
        {LZMA_OK, 100, 0, 6000}, {LZMA_OK, 0, 0, 8000}, {LZMA_STREAM_END, 50, 0, 9000}};
    return {
        // Out of memory in the middle of a run is no corrupt data.
        {"mem_error_second_step", {{LZMA_OK, 10}, {LZMA_MEM_ERROR, 0}}, 10000, 1, true, kNever,
         ResultCode::NoMemory, {4096, 4096}},
        {"mem_error_second_step_threaded", {{LZMA_OK, 10}, {LZMA_MEM_ERROR, 0}}, 10000, 2, true, kNever,
         ResultCode::NoMemory, {0}},
        {"data_error_threaded", {{LZMA_OK, 10}, {LZMA_PROG_ERROR, 0}}, 10000, 2, true, kNever,
         ResultCode::BadData, {0}},
        // One thread: one report per chunk read, whatever the steps did.
        {"one_thread_reports_chunks", {{LZMA_OK, 0}, {LZMA_OK, 0}, {LZMA_STREAM_END, 9}}, 10000, 1,
         true, kNever, kOk, {4096, 4096, 1808}},
        {"threaded_reports_what_was_compressed", timed_out, 10000, 2, true, kNever, kOk,
         {0, 0, 4096, 1904, 2000, 2000}},
        {"threaded_without_progress_reports_what_was_taken", timed_out, 10000, 2, false, kNever, kOk,
         {4096, 3096, 1000, 1808, 0, 0}},
        {"threaded_abort_in_the_final_wait",
         {timed_out[0], timed_out[1], timed_out[2], timed_out[3], timed_out[4]}, 10000, 2, true, 4,
         ResultCode::Aborted, {0, 0, 4096, 1904, 2000}},
    };
}

class CompressStreamScripted : public testing::TestWithParam<ScriptedPack> {};

TEST_P(CompressStreamScripted, MapsStatusesAndReports)
{
    const ScriptedPack& c = GetParam();
    Script script;
    script.steps = c.steps;
    g_script = &script;
    MemorySource source(Noise(c.input_size, 5), kEager);
    MemorySink sink;
    RecordingProgress progress(c.abort_at);
    const ResultCode result =
        pack::CompressStream(ScriptEncoderCodec(c.with_progress), source, sink, progress, 6, c.threads);
    g_script = nullptr;

    EXPECT_EQ(result, c.expected);
    EXPECT_EQ(progress.counts(), c.reports);
    if (result == ResultCode::Ok)
        EXPECT_EQ(progress.total(), static_cast<int64_t>(c.input_size));
    EXPECT_FALSE(script.overrun) << "the codec was called after its last scripted step";
    EXPECT_EQ(script.next, c.steps.size()) << "scripted steps left unused";
    EXPECT_EQ(script.end_calls, 1);
    size_t produced = 0;
    for (const ScriptStep& s : c.steps)
        produced += s.status == LZMA_OK || s.status == LZMA_STREAM_END ? s.produced : 0;
    EXPECT_EQ(sink.bytes().size(), produced);
}

INSTANTIATE_TEST_SUITE_P(Codec, CompressStreamScripted, testing::ValuesIn(ScriptedPackCases()),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace

// ---------------------------------------------------------------------------
// The index-driven block decoder: whatever the file, the fault or the host's
// answer, it gives what the single-threaded stream decoder gives.

namespace blocks {

using unpack::DecodeEngine;
using xzformat::BlockLayout;

using samples::EncodeSizeless;

const Bytes& StreamsXz() // 24 streams of one block each
{
    static const Bytes b = [] {
        Bytes all;
        for (int i = 0; i < 24; ++i)
            all = Cat({all, Encode(Text(30000 + 7 * i))});
        return all;
    }();
    return b;
}
const Bytes& SizelessXz()
{
    static const Bytes b = EncodeSizeless(Text(400000), 50000, LZMA_CHECK_CRC32);
    return b;
}
// Sized blocks, padding, size-less blocks, an empty stream, padding, a small stream.
const Bytes& MixedXz()
{
    static const Bytes b = Cat({BlocksXz(), Zeros(8), SizelessXz(), Encode({}), Zeros(4), SmallXz()});
    return b;
}

// One stream of a block per piece (LZMA2, CRC-32, no sizes in the block
// headers), written block by block as liblzma's own block and index coders
// make them; its index lists every block as it is, but for the record at
// `claim_at`, whose uncompressed size it gives as `claim`.
Bytes HandMadeStream(const std::vector<Bytes>& pieces, size_t claim_at = SIZE_MAX, uint64_t claim = 0)
{
    lzma_stream_flags flags{};
    flags.check = LZMA_CHECK_CRC32;
    Bytes out(LZMA_STREAM_HEADER_SIZE);
    EXPECT_EQ(lzma_stream_header_encode(&flags, out.data()), LZMA_OK);
    lzma_index* index = lzma_index_init(nullptr);
    lzma_options_lzma lzma2;
    lzma_lzma_preset(&lzma2, 0);
    lzma2.dict_size = 1u << 16;
    Bytes last_block;
    lzma_vli last_unpadded = 0;
    for (size_t i = 0; i < pieces.size(); ++i) {
        // A piece like the one before makes the same block: no encoder needed.
        if (i > 0 && pieces[i] == pieces[i - 1]) {
            out.insert(out.end(), last_block.begin(), last_block.end());
            EXPECT_EQ(lzma_index_append(index, nullptr, last_unpadded, i == claim_at ? claim : pieces[i].size()),
                      LZMA_OK);
            continue;
        }
        lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &lzma2}, {LZMA_VLI_UNKNOWN, nullptr}};
        lzma_block block{};
        block.check = LZMA_CHECK_CRC32;
        block.filters = filters;
        block.compressed_size = LZMA_VLI_UNKNOWN;
        block.uncompressed_size = LZMA_VLI_UNKNOWN;
        EXPECT_EQ(lzma_block_header_size(&block), LZMA_OK);
        const size_t start = out.size();
        size_t at = start + block.header_size;
        out.resize(at + lzma_block_buffer_bound(pieces[i].size()));
        EXPECT_EQ(lzma_block_header_encode(&block, &out[start]), LZMA_OK);
        // The buffer coder fills in the sizes the header left unknown; the
        // header already written stores neither.
        EXPECT_EQ(lzma_block_buffer_encode(&block, nullptr, pieces[i].data(), pieces[i].size(), out.data(), &at,
                                           out.size()),
                  LZMA_OK);
        out.resize(at);
        last_block.assign(out.begin() + static_cast<std::ptrdiff_t>(start), out.end());
        last_unpadded = lzma_block_unpadded_size(&block);
        EXPECT_EQ(lzma_index_append(index, nullptr, lzma_block_unpadded_size(&block),
                                    i == claim_at ? claim : block.uncompressed_size),
                  LZMA_OK);
    }
    const size_t start = out.size();
    size_t at = start;
    out.resize(start + lzma_index_size(index) + LZMA_STREAM_HEADER_SIZE);
    EXPECT_EQ(lzma_index_buffer_encode(index, out.data(), &at, out.size()), LZMA_OK);
    flags.backward_size = lzma_index_size(index);
    EXPECT_EQ(lzma_stream_footer_encode(&flags, &out[at]), LZMA_OK);
    lzma_index_end(index, nullptr);
    return out;
}

// Blocks that decode to nothing, many to a task.
const Bytes& EmptyBlocksXz()
{
    static const Bytes b = HandMadeStream(std::vector<Bytes>(12000));
    return b;
}
// Streams that hold no block at all, one of them with a check liblzma does
// not know, behind and in front of blocks: the stream decoder refuses it
// at its header, and so must the block decoder, which has no block to see
// the check on.
const Bytes& UnknownCheckEmptyStreamLastXz()
{
    static const Bytes b = Cat({SizelessXz(), Encode({}), WithCheckId(Encode({}), 2)});
    return b;
}
const Bytes& UnknownCheckEmptyStreamFirstXz()
{
    static const Bytes b = Cat({WithCheckId(Encode({}), 2), SizelessXz()});
    return b;
}
// One record claims a terabyte for a block of 50000 bytes.
const Bytes& TerabyteClaimXz()
{
    static const Bytes b = [] {
        std::vector<Bytes> pieces;
        for (int i = 0; i < 8; ++i)
            pieces.push_back(Text(50000));
        return HandMadeStream(pieces, 3, uint64_t{1} << 40);
    }();
    return b;
}

// The index and footer of the last stream of a file.
size_t IndexStart(const Bytes& xz)
{
    const size_t footer = xz.size() - 12;
    return footer - (xz[footer + 4] + 1u) * 4;
}
void FixIndexCrc(Bytes& xz)
{
    const size_t index = IndexStart(xz), crc = xz.size() - 16;
    PutLe32(&xz[crc], lzma_crc32(&xz[index], crc - index, 0));
}
// The first record's uncompressed size one more, the index still sound.
Bytes LongerFirstRecord(Bytes xz)
{
    size_t p = IndexStart(xz) + 2;
    while (xz[p++] & 0x80) {
    }
    xz[p] += 1;
    FixIndexCrc(xz);
    return xz;
}
Bytes IndexCrcWrong(Bytes xz) { return Flip(xz, xz.size() - 13); }
// The footer names check 2 where the header says CRC-32, its CRC made right.
Bytes FooterFlagsDiffer(Bytes xz)
{
    xz[xz.size() - 3] = 0x02;
    PutLe32(&xz[xz.size() - 12], lzma_crc32(&xz[xz.size() - 8], 6, 0));
    return xz;
}
Bytes UnknownCheck(Bytes xz) { return WithCheckId(xz, 2); }
Bytes LastBlockData(Bytes xz) { return Flip(xz, IndexStart(xz) - 100); }
Bytes FirstBlockData(Bytes xz) { return Flip(xz, 100); }
Bytes PaddingNotZero(Bytes xz) { return Flip(xz, BlocksXz().size() + 4); }
Bytes CutBeforeFooter(Bytes xz) { return Cut(xz, xz.size() - 12); }

// Positioned reads over memory; a read across byte `bad` stops there, as
// at a bad spot on a disk.
class Archive final : public xzformat::ByteSource {
public:
    Archive(const Bytes& b, uint64_t bad) : b_(b), bad_(bad) {}
    bool Size(uint64_t* size) override { return *size = b_.size(), true; }
    size_t ReadAt(uint64_t offset, void* buf, size_t n) override
    {
        const uint64_t end = std::min<uint64_t>({offset + n, b_.size(), offset <= bad_ ? bad_ : UINT64_MAX});
        if (offset >= end)
            return 0;
        std::memcpy(buf, b_.data() + offset, end - offset);
        return end - offset;
    }

private:
    const Bytes& b_;
    uint64_t bad_;
};

// Each Open gives a reader of its own over the same bytes, as the plug-in's
// handles do; all of them stop at the same bad byte.
class Readers final : public unpack::ArchiveReaders {
public:
    Readers(const Bytes& b, uint64_t bad) : b_(b), bad_(bad) {}
    std::unique_ptr<xzformat::ByteSource> Open() override
    {
        ++opened_;
        return std::make_unique<Archive>(b_, bad_);
    }
    int opened() const { return opened_; }

private:
    const Bytes& b_;
    uint64_t bad_;
    int opened_ = 0;
};

struct Case {
    const char* name;
    const Bytes& (*sample)();
    Bytes (*damage)(Bytes);
    size_t fail_at_byte;
    int abort_at;
    uint64_t bad_byte;
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
constexpr uint64_t kAll = UINT64_MAX;

const Case kCases[] = {
    {"streams_24", StreamsXz, nullptr, kNoLimit, kNever, kAll},
    {"sizeless_blocks", SizelessXz, nullptr, kNoLimit, kNever, kAll},
    {"mixed_padded_with_empty_stream", MixedXz, nullptr, kNoLimit, kNever, kAll},
    {"record_names_another_size", SizelessXz, LongerFirstRecord, kNoLimit, kNever, kAll},
    {"index_crc", SizelessXz, IndexCrcWrong, kNoLimit, kNever, kAll},
    {"footer_flags_differ", SizelessXz, FooterFlagsDiffer, kNoLimit, kNever, kAll},
    {"unknown_check", SizelessXz, UnknownCheck, kNoLimit, kNever, kAll},
    {"first_block_data", StreamsXz, FirstBlockData, kNoLimit, kNever, kAll},
    {"last_block_data", MixedXz, LastBlockData, kNoLimit, kNever, kAll},
    {"padding_between_streams", MixedXz, PaddingNotZero, kNoLimit, kNever, kAll},
    {"cut_before_footer", StreamsXz, CutBeforeFooter, kNoLimit, kNever, kAll},
    {"read_error", StreamsXz, nullptr, kNoLimit, kNever, 120000},
    {"write_error", MixedXz, nullptr, 300000, kNever, kAll},
    {"abort_first_report", StreamsXz, nullptr, kNoLimit, 0, kAll},
    {"abort_mid_run", MixedXz, nullptr, kNoLimit, 150, kAll},
    // Reports of whole 4096-byte steps, at the fewest, reach the last block at 170.
    {"abort_last_block", StreamsXz, nullptr, kNoLimit, 170, kAll},
    {"empty_blocks", EmptyBlocksXz, nullptr, kNoLimit, kNever, kAll},
    {"empty_stream_unknown_check_last", UnknownCheckEmptyStreamLastXz, nullptr, kNoLimit, kNever, kAll},
    {"empty_stream_unknown_check_first", UnknownCheckEmptyStreamFirstXz, nullptr, kNoLimit, kNever, kAll},
    {"record_claims_a_terabyte", TerabyteClaimXz, nullptr, kNoLimit, kNever, kAll},
};

class DecodeBlocksTable : public testing::TestWithParam<Case> {};

TEST_P(DecodeBlocksTable, GivesWhatTheStreamDecoderGives)
{
    const Case& c = GetParam();
    const Bytes xz = c.damage != nullptr ? c.damage(c.sample()) : c.sample();
    const CodecApi codec = system_liblzma::Codec(true);
    const size_t before = process_threads::Count();

    MemorySource stream(xz, kStdio);
    MemorySink sink(c.fail_at_byte);
    RecordingProgress progress(c.abort_at);
    Readers readers(xz, c.bad_byte);
    codec::MemoryBudget budget(256u << 20);
    ResultCode got;
    size_t largest = 0;
    {
        alloc_watch::Watch watch;
        got = unpack::DecodeBlocks(codec, readers, stream, &sink, progress, 2, budget);
        largest = watch.largest();
    }

    Recorded single(xz, kStdio, c.fail_at_byte, c.abort_at);
    const ResultCode expected = c.bad_byte != kAll ? ResultCode::ReadError : single.Go();
    EXPECT_EQ(got, expected);
    EXPECT_EQ(stream.reads(), 0) << "the stream decoder ran instead";
    EXPECT_EQ(budget.Free(), 256u << 20) << "memory kept after the run";
    EXPECT_TRUE(process_threads::BackTo(before)) << "a worker outlived the run";
    // Buffers are sized from the budget, never from what an index claims.
    EXPECT_LE(largest, size_t{16} << 20);
    for (const int32_t n : progress.counts())
        EXPECT_TRUE(n >= 0 && n <= 4096) << n;
    if (c.abort_at != kNever)
        EXPECT_EQ(progress.counts().size(), size_t(c.abort_at) + 1) << "reports after the abort";
    if (expected == ResultCode::Ok) {
        EXPECT_TRUE(sink.bytes() == single.sink.bytes());
        EXPECT_EQ(progress.total(), static_cast<int64_t>(sink.bytes().size()));
    }
}

INSTANTIATE_TEST_SUITE_P(Files, DecodeBlocksTable, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Workers take their memory from the budget and give it back. A budget
// without room for two of them, or records past the table's cap, leave the
// stream decoder, which holds none of it.
TEST(DecodeBlocksLimits, TooLittleRoomDecodesOnTheCallingThread)
{
    const size_t before = process_threads::Count();
    const struct {
        uint64_t budget;
        uint64_t max_records;
        bool threads;
    } cases[] = {
        {uint64_t{256} << 20, xzformat::kMaxBlockRecords, true},
        {uint64_t{1} << 20, xzformat::kMaxBlockRecords, false},
        {uint64_t{256} << 20, 24, true}, // one record a stream: 24 in all
        {uint64_t{256} << 20, 23, false},
    };
    for (const auto& c : cases) {
        MemorySource stream(StreamsXz(), kStdio);
        MemorySink sink;
        ThreadCountingProgress progress;
        Readers readers(StreamsXz(), kAll);
        codec::MemoryBudget budget(c.budget);
        unpack::BlockDecodeLimits limits;
        limits.max_records = c.max_records;
        EXPECT_EQ(
            unpack::DecodeBlocks(system_liblzma::Codec(true), readers, stream, &sink, progress, 2, budget, limits),
            ResultCode::Ok);
        EXPECT_EQ(budget.Free(), c.budget);
        EXPECT_EQ(stream.reads() > 0, !c.threads) << &c - cases;
        EXPECT_EQ(progress.most() > before, c.threads) << &c - cases;
        EXPECT_EQ(readers.opened() > 2, c.threads) << "a reader of its own for the walk and each worker";
    }
}

// A corrupt file of `count` records (unpadded 5, uncompressed 0) over
// blocks of eight zero bytes, made up as it is read: a 160 MB file of 16M
// records costs the test no more than its index's CRC-32.
class SparseIndexFile final : public xzformat::ByteSource {
public:
    explicit SparseIndexFile(uint64_t count)
    {
        head_ = {0x00};
        for (uint64_t n = count; ; n >>= 7) {
            head_.push_back(static_cast<uint8_t>((n & 0x7F) | (n >= 0x80 ? 0x80 : 0)));
            if (n < 0x80)
                break;
        }
        index_start_ = 12 + 8 * count;
        records_end_ = head_.size() + 2 * count;
        index_size_ = (records_end_ + 3) / 4 * 4 + 4;
        uLong crc = crc32(0, head_.data(), static_cast<uInt>(head_.size()));
        Bytes chunk(1u << 20);
        for (uint64_t at = head_.size(); at < index_size_ - 4; at += chunk.size()) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), index_size_ - 4 - at));
            IndexBytes(at, chunk.data(), n);
            crc = crc32(crc, chunk.data(), static_cast<uInt>(n));
        }
        const uint8_t flags[2] = {0x00, 0x01};
        Bytes header = {0xFD, 0x37, 0x7A, 0x58, 0x5A, 0x00, 0x00, 0x01, 0, 0, 0, 0};
        PutLe32(&header[8], lzma_crc32(flags, 2, 0));
        Bytes footer(12);
        PutLe32(&footer[4], static_cast<uint32_t>(index_size_ / 4 - 1));
        footer[8] = 0x00, footer[9] = 0x01, footer[10] = 'Y', footer[11] = 'Z';
        PutLe32(&footer[0], lzma_crc32(&footer[4], 6, 0));
        header_ = header;
        footer_ = footer;
        PutLe32(crc_, static_cast<uint32_t>(crc));
    }
    bool Size(uint64_t* size) override { return *size = index_start_ + index_size_ + 12, true; }
    size_t ReadAt(uint64_t offset, void* buf, size_t n) override
    {
        uint64_t size = 0;
        Size(&size);
        n = static_cast<size_t>(std::min<uint64_t>(n, size - std::min(size, offset)));
        auto* out = static_cast<uint8_t*>(buf);
        for (size_t i = 0; i < n;) {
            const uint64_t at = offset + i;
            size_t run = 1;
            if (at < 12) {
                out[i] = header_[at];
            } else if (at < index_start_) {
                run = static_cast<size_t>(std::min<uint64_t>(n - i, index_start_ - at));
                std::memset(out + i, 0, run);
            } else if (at < index_start_ + index_size_ - 4) {
                run = static_cast<size_t>(std::min<uint64_t>(n - i, index_start_ + index_size_ - 4 - at));
                IndexBytes(at - index_start_, out + i, run);
            } else if (at < index_start_ + index_size_) {
                out[i] = crc_[at - (index_start_ + index_size_ - 4)];
            } else {
                out[i] = footer_[at - index_start_ - index_size_];
            }
            i += run;
        }
        return n;
    }

private:
    // Bytes of the index from `at` on, up to its CRC-32.
    void IndexBytes(uint64_t at, uint8_t* out, size_t n) const
    {
        for (size_t i = 0; i < n; ++i, ++at)
            out[i] = at < head_.size() ? head_[at] : at < records_end_ ? ((at - head_.size()) % 2 == 0 ? 5 : 0) : 0;
    }

    Bytes head_, header_, footer_;
    uint8_t crc_[4];
    uint64_t index_start_, records_end_, index_size_;
};

// A byte source read from its start in 4096-byte chunks, as the stream decoder reads.
class SourceChunks final : public codec::ChunkSource {
public:
    explicit SourceChunks(xzformat::ByteSource& source) : source_(source) {}
    ChunkRead Read(uint8_t* buf, size_t capacity) override
    {
        const size_t n = source_.ReadAt(at_, buf, capacity);
        at_ += n;
        ++reads_;
        return {n, n < capacity, false};
    }
    int reads() const { return reads_; }

private:
    xzformat::ByteSource& source_;
    uint64_t at_ = 0;
    int reads_ = 0;
};

// An index of millions of records, more than the table takes: the stream
// decoder, which keeps no table, finds the fault at the first block, and
// the walk holds nothing larger than the index it read.
TEST(DecodeBlocksLimits, HugeIndexGoesToTheStreamDecoder)
{
    for (const uint64_t count : {xzformat::kMaxBlockRecords + 1, uint64_t{16} << 20}) {
        SparseIndexFile file(count);
        struct : unpack::ArchiveReaders {
            xzformat::ByteSource* file;
            std::unique_ptr<xzformat::ByteSource> Open() override
            {
                struct Same final : xzformat::ByteSource {
                    xzformat::ByteSource& f;
                    explicit Same(xzformat::ByteSource& s) : f(s) {}
                    bool Size(uint64_t* size) override { return f.Size(size); }
                    size_t ReadAt(uint64_t o, void* b, size_t n) override { return f.ReadAt(o, b, n); }
                };
                return std::make_unique<Same>(*file);
            }
        } readers;
        readers.file = &file;
        SourceChunks stream(file);
        MemorySink sink;
        RecordingProgress progress;
        codec::MemoryBudget budget(256u << 20);
        size_t largest = 0;
        ResultCode got;
        {
            alloc_watch::Watch watch;
            got = unpack::DecodeBlocks(system_liblzma::Codec(true), readers, stream, &sink, progress, 2, budget);
            largest = watch.largest();
        }
        EXPECT_EQ(got, ResultCode::BadData) << count;
        EXPECT_GT(stream.reads(), 0) << count;
        EXPECT_LE(largest, 2 * count + 64) << "more than the index itself, for " << count;
        EXPECT_EQ(budget.Free(), 256u << 20);
    }
}

// A source over the same bytes whose reads can be held up: those of the
// readers after the walk's, from `from` on, wait until `until` says go on,
// or a few seconds pass.
class HeldReaders final : public unpack::ArchiveReaders {
public:
    HeldReaders(const Bytes& b, uint64_t from, std::function<bool()> until)
        : b_(b), from_(from), until_(std::move(until))
    {
    }
    std::unique_ptr<xzformat::ByteSource> Open() override
    {
        return std::make_unique<Held>(*this, opened_++ > 0);
    }
    // Whether a held read gave up waiting.
    bool timed_out() const { return timed_out_.load(); }

private:
    class Held final : public xzformat::ByteSource {
    public:
        Held(HeldReaders& owner, bool held) : owner_(owner), held_(held) {}
        bool Size(uint64_t* size) override { return *size = owner_.b_.size(), true; }
        size_t ReadAt(uint64_t offset, void* buf, size_t n) override
        {
            if (held_ && offset + n > owner_.from_) {
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
                while (!owner_.until_())
                    if (std::chrono::steady_clock::now() > deadline) {
                        owner_.timed_out_ = true;
                        break;
                    } else {
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    }
            }
            const size_t got = static_cast<size_t>(std::min<uint64_t>(n, owner_.b_.size() - std::min<uint64_t>(offset, owner_.b_.size())));
            std::memcpy(buf, owner_.b_.data() + offset, got);
            return got;
        }

    private:
        HeldReaders& owner_;
        bool held_;
    };

    const Bytes& b_;
    uint64_t from_;
    std::function<bool()> until_;
    int opened_ = 0;
    std::atomic<bool> timed_out_{false};
};

class WatchedProgress final : public codec::ProgressSink {
public:
    explicit WatchedProgress(int refuse_zero_at = kNever) : refuse_zero_at_(refuse_zero_at) {}
    bool Report(int32_t bytes) override
    {
        total_ += bytes;
        counts_.push_back(bytes);
        if (bytes == 0 && zeros_++ == refuse_zero_at_)
            return false;
        return true;
    }
    int64_t total() const { return total_.load(); }
    int zeros() const { return zeros_; }
    const std::vector<int32_t>& counts() const { return counts_; }

private:
    std::atomic<int64_t> total_{0};
    int zeros_ = 0;
    int refuse_zero_at_;
    std::vector<int32_t> counts_;
};

// Two blocks of noise that each take several reads of a worker's window.
const Bytes& LongBlocksXz()
{
    static const Bytes b = EncodeSizeless(Noise(3u << 20, 7), 3u << 19, LZMA_CHECK_CRC32);
    return b;
}

// The block next in order goes to the host as it is decoded: the reads of
// its second half wait until the host has heard of output, which a decoder
// that hands over whole blocks never lets happen.
TEST(DecodeBlocksHeard, BlockOutputArrivesWhileTheBlockIsDecoded)
{
    WatchedProgress progress;
    HeldReaders readers(LongBlocksXz(), (3u << 19) / 2, [&] { return progress.total() > 0; });
    MemorySource stream(LongBlocksXz(), kStdio);
    MemorySink sink;
    codec::MemoryBudget budget(256u << 20);
    EXPECT_EQ(unpack::DecodeBlocks(system_liblzma::Codec(true), readers, stream, &sink, progress, 2, budget),
              ResultCode::Ok);
    EXPECT_FALSE(readers.timed_out()) << "nothing was heard before the first block was read whole";
    EXPECT_EQ(stream.reads(), 0);
    EXPECT_TRUE(sink.bytes() == Noise(3u << 20, 7));
}

// While the workers are held up, the host hears a report of 0 bytes at
// every quiet period and can stop the run with its answer; the run then
// returns with the budget and every thread back, and reports no more. The
// workers' reads go on only once the host has heard four such reports.
TEST(DecodeBlocksHeard, WaitsAreReportedAndCanBeStopped)
{
    const size_t before = process_threads::Count();
    for (const int refuse_at : {kNever, 3}) {
        WatchedProgress progress(refuse_at);
        HeldReaders readers(SizelessXz(), 0, [&] { return progress.zeros() >= 4; });
        MemorySource stream(SizelessXz(), kStdio);
        MemorySink sink;
        codec::MemoryBudget budget(256u << 20);
        unpack::BlockDecodeLimits limits;
        limits.quiet_ms = 20;
        limits.task_input = 4096;
        const ResultCode got =
            unpack::DecodeBlocks(system_liblzma::Codec(true), readers, stream, &sink, progress, 2, budget, limits);
        EXPECT_EQ(got, refuse_at == kNever ? ResultCode::Ok : ResultCode::Aborted);
        EXPECT_FALSE(readers.timed_out()) << "the wait went unreported";
        if (refuse_at != kNever) {
            EXPECT_EQ(progress.counts().size(), size_t(refuse_at) + 1) << "reports after the refusal";
            EXPECT_EQ(progress.total(), 0);
        }
        EXPECT_EQ(budget.Free(), 256u << 20);
        EXPECT_TRUE(process_threads::BackTo(before));
    }
}

// The choice: liblzma's threaded decoder for one stream of sized blocks,
// the block decoder for several streams or size-less blocks, and the
// stream decoder for one block, one core, or a library without the names.
TEST(DecodeEngineChoice, FollowsTheLayoutAndTheLibrary)
{
    const CodecApi full = system_liblzma::Codec(true), no_blocks = system_liblzma::Codec(false);
    CodecApi no_mt = full;
    no_mt.stream_decoder_mt = nullptr;
    BlockLayout sized{12, 1 << 20, 8 << 20, 8 << 20, 1, true, 12 << 20};
    BlockLayout sizeless = sized, streams = sized, single = sized, tiny = sized;
    sizeless.first_block_sized = false;
    streams.streams = 24;
    single.count = 1;
    tiny.streams = 24;
    tiny.uncompressed = 12 * 1023; // on average less than a worker is worth
    const struct {
        const CodecApi& codec;
        BlockLayout blocks;
        uint32_t processors;
        DecodeEngine engine;
    } cases[] = {
        {full, sized, 2, DecodeEngine::LibraryThreaded},   {full, sizeless, 2, DecodeEngine::IndexDriven},
        {full, streams, 2, DecodeEngine::IndexDriven},     {full, single, 2, DecodeEngine::SingleThreaded},
        {full, streams, 1, DecodeEngine::SingleThreaded},  {no_blocks, streams, 2, DecodeEngine::SingleThreaded},
        {no_mt, sized, 2, DecodeEngine::SingleThreaded},   {no_mt, sizeless, 2, DecodeEngine::IndexDriven},
        {full, tiny, 2, DecodeEngine::SingleThreaded},
    };
    for (const auto& c : cases)
        EXPECT_EQ(unpack::ChooseDecodeEngine(c.codec, c.blocks, c.processors), c.engine)
            << &c - cases;
}

} // namespace blocks
