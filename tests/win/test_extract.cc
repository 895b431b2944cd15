// Test and extraction through ProcessFile/ProcessFileW: request checks, callbacks, abort,
// clean-up after failure, and round trips over the corpus against xz -dc.
#include <windows.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/win/host.h"
#include "tests/win/process_usage.h"
#include "tests/win/xz_samples.h"

namespace {

using samples::Bytes;
using testhost::Close;
using testhost::Export;
using testhost::Open;
using testhost::OpenOk;
using testhost::OpenW;
using testhost::Widen;

// What the callbacks saw, per test.
struct Reports {
    int ansi_calls = 0;
    int wide_calls = 0;
    std::vector<std::string> ansi_names; // "<null>" for a null name
    std::vector<std::wstring> wide_names;
    std::vector<int32_t> counts;         // counts given to the ANSI callback
    int abort_at = -1;                   // ANSI call index (0-based) that answers 0
    bool abort_wide = false;
};
Reports g_reports;

int32_t __stdcall AnsiProc(const char* name, int32_t count)
{
    const int index = g_reports.ansi_calls++;
    g_reports.ansi_names.push_back(name != nullptr ? name : "<null>");
    g_reports.counts.push_back(count);
    return index == g_reports.abort_at ? 0 : 1;
}

int32_t __stdcall WideProc(const wchar_t* name, int32_t count)
{
    ++g_reports.wide_calls;
    g_reports.wide_names.push_back(name != nullptr ? name : L"<null>");
    (void)count;
    return g_reports.abort_wide ? 0 : 1;
}

auto ProcessA() { return Export<ProcessFileFn>("ProcessFile"); }
auto ProcessW() { return Export<ProcessFileWFn>("ProcessFileW"); }

void Register(int32_t handle, bool ansi, bool wide)
{
    Export<SetProcessDataProcFn>("SetProcessDataProc")(handle, ansi ? AnsiProc : nullptr);
    Export<SetProcessDataProcWFn>("SetProcessDataProcW")(handle, wide ? WideProc : nullptr);
}

Bytes Compress(const Bytes& data, uint32_t preset = 6) { return testhost::EncodeXz(data, preset); }
Bytes Text(size_t size) { return testhost::SampleText(size); }

// A stream of one block per `piece` bytes: decoded block by block from the indexes.
Bytes Streams(const Bytes& data, size_t piece) { return testhost::EncodeXzStreams(data, piece, 1); }

class ExtractTest : public testhost::ArchiveTest {
protected:
    void SetUp() override
    {
        g_reports = Reports();
        ArchiveTest::SetUp();
    }
    void TearDown() override
    {
        for (int32_t h = 1; h <= 10; ++h)
            Register(h, false, false);
        ArchiveTest::TearDown();
    }
};

TEST_F(ExtractTest, RequestChecksComeBeforeAnyCallbackOrFile)
{
    const std::string archive = Write("a.xz", Compress(Text(1000)));
    const std::string target = dir_ + "\\out";
    // Skip needs nothing, not even an open slot.
    for (int32_t h = 1; h <= 10; ++h)
        EXPECT_EQ(ProcessA()(h, 0, nullptr, nullptr), 0) << h;
    for (int32_t h : {0, 11, -1})
        EXPECT_EQ(ProcessA()(h, 0, nullptr, nullptr), 18) << h;

    const int32_t h = OpenOk(archive);
    Register(h, true, true);
    EXPECT_EQ(ProcessA()(h, 3, nullptr, target.c_str()), 18);
    EXPECT_EQ(ProcessA()(h, -1, nullptr, target.c_str()), 18);
    EXPECT_EQ(ProcessA()(h, 2, nullptr, nullptr), 18);
    // The slot was opened in the ANSI form; the UTF-16 call finds no name.
    EXPECT_EQ(ProcessW()(h, 1, nullptr, nullptr), 18);
    EXPECT_EQ(ProcessW()(h, 2, nullptr, Widen(target).c_str()), 18);
    Register(h + 1, true, true);
    EXPECT_EQ(ProcessA()(h + 1, 1, nullptr, nullptr), 18) << "slot not in use";
    EXPECT_EQ(g_reports.ansi_calls, 0);
    EXPECT_EQ(g_reports.wide_calls, 0);
    EXPECT_FALSE(testhost::Exists(target));

    int32_t code = 0;
    const int32_t hw = OpenW(Widen(archive), &code);
    ASSERT_GE(hw, 1);
    EXPECT_EQ(ProcessA()(hw, 1, nullptr, nullptr), 18);
    EXPECT_EQ(g_reports.ansi_calls, 0);
}

TEST_F(ExtractTest, TestReportsArchiveNameThenEveryStep)
{
    const Bytes data = Text(300000);
    const std::string archive = Write("t.xz", Compress(data));
    const int32_t h = OpenOk(archive);
    Register(h, true, true);
    ASSERT_EQ(ProcessA()(h, 1, nullptr, nullptr), 0);
    ASSERT_GE(g_reports.ansi_calls, 2);
    EXPECT_EQ(g_reports.ansi_names[0], archive);
    EXPECT_EQ(g_reports.counts[0], 0);
    int64_t sum = 0;
    for (size_t i = 1; i < g_reports.counts.size(); ++i) {
        EXPECT_EQ(g_reports.ansi_names[i], "<null>");
        EXPECT_GE(g_reports.counts[i], 0);
        EXPECT_LE(g_reports.counts[i], 4096);
        sum += g_reports.counts[i];
    }
    EXPECT_EQ(sum, static_cast<int64_t>(data.size()));
    EXPECT_EQ(g_reports.wide_calls, 0);

    // The listing cursor is not touched by processing.
    EntryHeader header = {};
    EXPECT_EQ(Export<ReadHeaderFn>("ReadHeader")(h, &header), 0);
    EXPECT_EQ(ProcessA()(h, 1, nullptr, nullptr), 0) << "the entry can be tested again";
}

TEST_F(ExtractTest, WideFormOpensOnTheWideCallbackAndStepsOnTheAnsiOne)
{
    const Bytes data = Text(100000);
    const std::string archive = Write("w.xz", Compress(data));
    int32_t code = 0;
    const int32_t h = OpenW(Widen(archive), &code);
    ASSERT_GE(h, 1);
    const std::wstring target = Widen(dir_ + "\\w.out");
    Register(h, true, true);
    ASSERT_EQ(ProcessW()(h, 2, nullptr, target.c_str()), 0);
    ASSERT_EQ(g_reports.wide_calls, 1);
    EXPECT_EQ(g_reports.wide_names[0], target);
    EXPECT_GE(g_reports.ansi_calls, 1);
    for (const std::string& n : g_reports.ansi_names)
        EXPECT_EQ(n, "<null>");
    EXPECT_EQ(testhost::ReadBytes(dir_ + "\\w.out"), data);

    // With only the wide callback there is one report and no way to abort.
    g_reports = Reports();
    g_reports.abort_wide = false;
    Register(h, false, true);
    EXPECT_EQ(ProcessW()(h, 1, nullptr, nullptr), 0);
    EXPECT_EQ(g_reports.wide_calls, 1);
    EXPECT_EQ(g_reports.wide_names[0], Widen(archive));
}

TEST_F(ExtractTest, OpeningReportAnsweringZeroTouchesNothing)
{
    const std::string archive = Write("o.xz", Compress(Text(5000)));
    const std::string target = dir_ + "\\o.out";
    const int32_t h = OpenOk(archive);
    Register(h, true, false);
    g_reports.abort_at = 0;
    EXPECT_EQ(ProcessA()(h, 2, nullptr, target.c_str()), 21);
    EXPECT_EQ(g_reports.ansi_calls, 1);
    EXPECT_FALSE(testhost::Exists(target));
}

TEST_F(ExtractTest, AbortMidChunkStillReportsTheChunksOutputThenDeletes)
{
    // 8 MiB of zeros compress into one input chunk, so all the output comes
    // from the steps of that chunk: an abort takes effect only after it.
    const Bytes zeros(8 << 20, 0);
    const Bytes xz = Compress(zeros);
    ASSERT_LT(xz.size(), 4096u);
    const std::string archive = Write("z.xz", xz);
    const std::string target = dir_ + "\\z.out";
    const int32_t h = OpenOk(archive);
    Register(h, true, false);
    g_reports.abort_at = 3;
    EXPECT_EQ(ProcessA()(h, 2, nullptr, target.c_str()), 21);
    int64_t sum = 0;
    for (size_t i = 1; i < g_reports.counts.size(); ++i)
        sum += g_reports.counts[i];
    EXPECT_GT(g_reports.ansi_calls, 100) << "reports must go on until the chunk's output is used up";
    EXPECT_EQ(sum, static_cast<int64_t>(zeros.size()));
    EXPECT_FALSE(testhost::Exists(target));
}

TEST_F(ExtractTest, FailuresLeaveNoOutputFile)
{
    const Bytes data = Text(200000);
    const Bytes good = Compress(data);
    Bytes corrupt = good;
    corrupt[good.size() / 2] ^= 0x55;
    const Bytes with_sizes = testhost::EncodeXzWithSizes(data, 6);
    const Bytes truncated(with_sizes.begin(), with_sizes.begin() + with_sizes.size() - 40);
    // Several blocks: decoded on worker threads, which must fail the same way.
    const Bytes blocks = testhost::EncodeXzBlocks(data, 6, 32 << 10);
    Bytes corrupt_last_block = blocks;
    corrupt_last_block.at(blocks.size() - 100) ^= 0x55;
    const Bytes blocks_cut(blocks.begin(), blocks.begin() + blocks.size() / 2);
    const Bytes streams = Streams(data, 16 << 10);
    Bytes streams_data_flipped = streams;
    streams_data_flipped.at(streams.size() / 2) ^= 0x01;
    Bytes streams_index_flipped = streams;
    streams_index_flipped.at(streams.size() - 14) ^= 0x01;
    struct Case {
        const char* name;
        Bytes bytes;
        int32_t code;
        Bytes after_open; // what the file holds by the time it is decoded, if it changed
    } cases[] = {
        {"corrupt.xz", corrupt, 12, {}},
        // Without the end of the stream the entry is incomplete, whatever
        // the codec said about the bytes it did get.
        {"truncated.xz", truncated, 12, {}},
        {"corrupt-last-block.xz", corrupt_last_block, 12, {}},
        {"blocks-cut.xz", blocks_cut, 12, {}},
        // Opened whole, so the listing knows its blocks, then cut short.
        {"blocks-cut-after-open.xz", blocks, 12, blocks_cut},
        // Streams found through the indexes: every byte is read again.
        {"streams-cut-after-open.xz", streams, 12, Bytes(streams.begin(), streams.end() - 12)},
        {"streams-data-flipped-after-open.xz", streams, 12, streams_data_flipped},
        {"streams-index-flipped-after-open.xz", streams, 12, streams_index_flipped},
    };
    for (const Case& c : cases) {
        const std::string archive = Write(c.name, c.bytes);
        const std::string target = dir_ + "\\" + c.name + ".out";
        const int32_t h = OpenOk(archive);
        if (!c.after_open.empty())
            ASSERT_TRUE(testhost::WriteBytes(archive, c.after_open));
        EXPECT_EQ(ProcessA()(h, 2, nullptr, target.c_str()), c.code) << c.name;
        EXPECT_FALSE(testhost::Exists(target)) << c.name;
        // A test deletes nothing, not even a file of the name it was given.
        ASSERT_TRUE(testhost::WriteBytes(target, {1, 2, 3}));
        EXPECT_EQ(ProcessA()(h, 1, nullptr, target.c_str()), c.code) << c.name;
        EXPECT_TRUE(testhost::Exists(target)) << c.name;
        Close(h);
    }
}

TEST_F(ExtractTest, VanishedArchiveAndUncreatableTargetCreateNothing)
{
    const std::string archive = Write("v.xz", Compress(Text(1000)));
    const std::string target = dir_ + "\\v.out";
    const int32_t h = OpenOk(archive);
    ASSERT_TRUE(DeleteFileA(archive.c_str()));
    EXPECT_EQ(ProcessA()(h, 2, nullptr, target.c_str()), 15);
    EXPECT_FALSE(testhost::Exists(target)) << "no empty output for an archive that is gone";
    Close(h);

    const std::string archive2 = Write("v2.xz", Compress(Text(1000)));
    const int32_t h2 = OpenOk(archive2);
    EXPECT_EQ(ProcessA()(h2, 2, nullptr, (dir_ + "\\no-such-dir\\x").c_str()), 16);
    std::wstring wtarget = Widen(dir_ + "\\no-such-dir\\x");
    Close(h2);
    int32_t code = 0;
    const int32_t hw = OpenW(Widen(archive2), &code);
    EXPECT_EQ(ProcessW()(hw, 2, nullptr, wtarget.c_str()), 16);
}

// A missing target is made new, one that is there is emptied first: a longer
// old file leaves no tail, in either form.
TEST_F(ExtractTest, TargetThatExistsIsReplacedWhole)
{
    const Bytes text = Text(3000);
    const std::string archive = Write("r.xz", Compress(text));
    const std::string target = Write("r.out", Text(50000));
    const int32_t h = OpenOk(archive);
    EXPECT_EQ(ProcessA()(h, 2, nullptr, target.c_str()), 0);
    EXPECT_EQ(testhost::ReadBytes(target), text);
    Close(h);
    ASSERT_TRUE(testhost::WriteBytes(target, Text(60000)));
    int32_t code = 0;
    const int32_t hw = OpenW(Widen(archive), &code);
    EXPECT_EQ(ProcessW()(hw, 2, nullptr, Widen(target).c_str()), 0);
    EXPECT_EQ(testhost::ReadBytes(target), text);
}

// What a run of many blocks showed its progress callback: the most threads
// the process had, the bytes reported, and when it was told to stop.
struct Watch {
    bool count_threads = false;
    int64_t abort_after = -1; // answer 0 once this many bytes were reported
    int64_t bytes = 0;
    int steps = 0;
    uint32_t most_threads = 0;
    LARGE_INTEGER refused_at{};
};
Watch g_watch;

int32_t __stdcall WatchProc(const char* name, int32_t count)
{
    // The opening report names the file; only the steps count here.
    if (name != nullptr)
        return 1;
    // A thread snapshot costs a trip to the Wine server: every 32nd step.
    if (g_watch.count_threads && g_watch.steps % 32 == 0)
        g_watch.most_threads = std::max(g_watch.most_threads, testhost::CountThreads());
    ++g_watch.steps;
    g_watch.bytes += count;
    if (g_watch.abort_after >= 0 && g_watch.bytes >= g_watch.abort_after) {
        // The steps of the current chunk still report; the first refusal counts.
        if (g_watch.refused_at.QuadPart == 0)
            QueryPerformanceCounter(&g_watch.refused_at);
        return 0;
    }
    return 1;
}

// Milliseconds from the callback's refusal to the run's return.
double MillisecondsSinceRefusal()
{
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart - g_watch.refused_at.QuadPart) /
           static_cast<double>(frequency.QuadPart);
}

// An archive of many blocks is decoded on worker threads, all gone when the
// run returns; a single block is decoded on the calling thread, beside the
// one thread that writes the file.
TEST_F(ExtractTest, ManyBlocksDecodeOnWorkerThreadsThatEndWithTheRun)
{
    // Blocks smaller than the dictionary: the budget must count the latter.
    const Bytes data = Text(3 << 20);
    const std::string many = Write("many.xz", testhost::EncodeXzBlocks(data, 1, 256 << 10));
    const std::string one = Write("one.xz", Compress(data, 1));
    const std::string streams = Write("streams.xz", Streams(data, 256 << 10));
    const std::string target = Path("out");
    // The first extraction of the process may leave threads of Wine's own behind.
    const int32_t warm = OpenOk(one);
    ASSERT_EQ(ProcessA()(warm, 2, nullptr, target.c_str()), 0);
    Close(warm);
    const uint32_t before = testhost::CountThreads();
    ASSERT_GT(before, 0u);
    for (const std::string& archive : {many, streams, one}) {
        const int32_t h = OpenOk(archive);
        Export<SetProcessDataProcFn>("SetProcessDataProc")(h, WatchProc);
        g_watch = Watch();
        g_watch.count_threads = true;
        EXPECT_EQ(ProcessA()(h, 2, nullptr, target.c_str()), 0) << archive;
        EXPECT_TRUE(testhost::ReadBytes(target) == data) << archive;
        EXPECT_EQ(g_watch.bytes, static_cast<int64_t>(data.size())) << archive;
        if (archive != one)
            EXPECT_GT(g_watch.most_threads, before) << "no worker thread decoded " << archive;
        else
            EXPECT_EQ(g_watch.most_threads, before + 1)
                << "a single block went to worker threads, or no thread wrote the file";
        EXPECT_EQ(testhost::CountThreads(), before) << "a worker thread outlived the run";
        Close(h);
    }
}

// An abort at the first report, half-way and in the last block stops every
// worker; a hundred aborted runs leave no thread, handle or memory behind.
TEST_F(ExtractTest, AbortAnywhereInAThreadedRunLeavesNothing)
{
    const Bytes data = Text(4 << 20);
    const std::string archive = Write("a.xz", testhost::EncodeXzBlocks(data, 1, 256 << 10));
    const std::string streams = Write("s.xz", Streams(data, 256 << 10));
    const std::string target = Path("a.out");
    const int64_t size = static_cast<int64_t>(data.size());
    double slowest = 0;
    // Both threaded engines: liblzma's own, and the one driven by the indexes.
    for (const std::string& a : {streams, archive}) {
        const int32_t h = OpenOk(a);
        Export<SetProcessDataProcFn>("SetProcessDataProc")(h, WatchProc);
        for (const int64_t at : {int64_t{0}, size / 2, size - (64 << 10)}) {
            g_watch = Watch();
            g_watch.abort_after = at;
            EXPECT_EQ(ProcessA()(h, 2, nullptr, target.c_str()), 21) << a << " abort after " << at;
            slowest = std::max(slowest, MillisecondsSinceRefusal());
            EXPECT_FALSE(testhost::Exists(target)) << a << " abort after " << at;
            EXPECT_LT(g_watch.bytes, size + 4096) << a << " abort after " << at;
        }
        Close(h);
    }
    const int32_t h = OpenOk(archive);
    Export<SetProcessDataProcFn>("SetProcessDataProc")(h, WatchProc);
    const testhost::ProcessUsage before = testhost::MeasureProcess();
    for (int i = 0; i < 100; ++i) {
        g_watch = Watch();
        g_watch.abort_after = (size / 100) * i;
        ASSERT_EQ(ProcessA()(h, i % 2 == 0 ? 2 : 1, nullptr, target.c_str()), 21) << "run " << i;
        slowest = std::max(slowest, MillisecondsSinceRefusal());
    }
    const testhost::ProcessUsage after = testhost::MeasureProcess();
    EXPECT_FALSE(testhost::Exists(target));
    EXPECT_EQ(after.threads, before.threads);
    EXPECT_LE(after.handles, before.handles + 2);
    EXPECT_LE(after.private_bytes, before.private_bytes + (2u << 20));
    Close(h);
    testhost::ReportFigures("threaded abort: 106 runs of 16 blocks; slowest return after the refusal " +
                            std::to_string(static_cast<int>(slowest + 0.5)) + " ms; threads " +
                            std::to_string(before.threads) + " -> " + std::to_string(after.threads) +
                            ", handles " + std::to_string(before.handles) + " -> " +
                            std::to_string(after.handles) + ", private " +
                            std::to_string(before.private_bytes >> 10) + " -> " +
                            std::to_string(after.private_bytes >> 10) + " KiB");
}

struct DecodedRow {
    std::string file;
    bool ok;
    uint64_t size;
    uint32_t crc;
    std::string needs;  // a sample of a newer filter: the liblzma version that decodes it
    std::string filter; // and that filter
};

std::vector<DecodedRow> ReadDecoded(const std::string& dir)
{
    std::vector<DecodedRow> rows;
    std::ifstream in(dir + "\\decoded.tsv");
    for (std::string line; std::getline(in, line);) {
        std::stringstream fields(line);
        DecodedRow r{};
        std::string verdict;
        std::getline(fields, r.file, '\t');
        std::getline(fields, verdict, '\t');
        std::getline(fields, r.needs, '\t');
        std::getline(fields, r.filter, '\t');
        std::stringstream outcome(verdict);
        outcome >> verdict;
        r.ok = verdict == "ok";
        if (r.ok)
            outcome >> r.size >> std::hex >> r.crc;
        rows.push_back(r);
    }
    return rows;
}

// The first line of a corpus file, or what stands in for it.
std::string FirstLine(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    return std::getline(in, line) ? line : "(" + path + " is missing)";
}

TEST_F(ExtractTest, CorpusRoundTripsEqualXzDecoding)
{
    const std::string corpus = testhost::CorpusDir();
    if (corpus.empty())
        GTEST_SKIP() << "XZ_CORPUS_DIR is not set";
    const std::vector<DecodedRow> rows = ReadDecoded(corpus);
    ASSERT_GE(rows.size(), 20u);
    // Samples of filters newer than some liblzma: decoded where the library
    // beside the module has the filter, refused with 12 where it has not
    // (a build that fell back to an older release), and said which.
    const std::string loaded = testhost::LzmaVersion();
    const char* built = std::getenv("XZ_LIBLZMA_BUILT");
    ASSERT_NE(built, nullptr) << "XZ_LIBLZMA_BUILT names the liblzma this build made";
    ASSERT_EQ(loaded, std::string(built).substr(0, std::string(built).find(' ')))
        << "the liblzma.dll beside the module is not the one built: " << built;
    const int newer = static_cast<int>(std::count_if(rows.begin(), rows.end(),
                                                     [](const DecodedRow& r) { return !r.needs.empty(); }));
    EXPECT_GE(newer, 3) << "no RISC-V samples in the corpus: "
                        << FirstLine(corpus + "\\filter-encoder.txt");
    int round_trips = 0;
    int refused = 0;
    for (DecodedRow r : rows) {
        if (!r.needs.empty() && !testhost::VersionAtLeast(loaded, r.needs)) {
            std::printf("%-34s liblzma %s has no %s (it came with %s): 12 expected\n", r.file.c_str(), built,
                        r.filter.c_str(), r.needs.c_str());
            r.ok = false;
        }
        const std::string archive = corpus + "\\" + r.file;
        int32_t code = 0;
        const int32_t h = Open(archive, &code);
        if (h == 0) {
            EXPECT_FALSE(r.ok) << r.file << " opens in xz but not here: " << code;
            continue;
        }
        const std::string target = dir_ + "\\" + r.file + ".out";
        const int32_t tested = ProcessA()(h, 1, nullptr, nullptr);
        const int32_t extracted = ProcessA()(h, 2, nullptr, target.c_str());
        Close(h);
        if (r.ok) {
            EXPECT_EQ(tested, 0) << r.file;
            ASSERT_EQ(extracted, 0) << r.file;
            const Bytes out = testhost::ReadBytes(target);
            EXPECT_EQ(out.size(), r.size) << r.file;
            EXPECT_EQ(static_cast<uint32_t>(crc32(0, out.data(), static_cast<uInt>(out.size()))), r.crc)
                << r.file;
            DeleteFileA(target.c_str());
            ++round_trips;
        } else {
            EXPECT_EQ(tested, 12) << r.file;
            EXPECT_EQ(extracted, 12) << r.file;
            EXPECT_FALSE(testhost::Exists(target)) << r.file;
            ++refused;
        }
        std::printf("%-34s test %2d extract %2d\n", r.file.c_str(), tested, extracted);
    }
    EXPECT_GE(round_trips, 15);
    EXPECT_GE(refused, 2) << "the cut-short and unsupported-check samples must be among them";
}

} // namespace
