// Test and extraction through ProcessFile/ProcessFileW: request checks, callbacks, abort,
// clean-up after failure, and round trips over the corpus against xz -dc.
#include <windows.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/win/host.h"
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
    struct Case {
        const char* name;
        Bytes bytes;
        int32_t code;
    } cases[] = {
        {"corrupt.xz", corrupt, 12},
        // Without the end of the stream the entry is incomplete, whatever
        // the codec said about the bytes it did get.
        {"truncated.xz", truncated, 12},
    };
    for (const Case& c : cases) {
        const std::string archive = Write(c.name, c.bytes);
        const std::string target = dir_ + "\\" + c.name + ".out";
        const int32_t h = OpenOk(archive);
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

struct DecodedRow {
    std::string file;
    bool ok;
    uint64_t size;
    uint32_t crc;
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
        fields >> verdict;
        r.ok = verdict == "ok";
        if (r.ok)
            fields >> r.size >> std::hex >> r.crc;
        rows.push_back(r);
    }
    return rows;
}

TEST_F(ExtractTest, CorpusRoundTripsEqualXzDecoding)
{
    const std::string corpus = testhost::CorpusDir();
    if (corpus.empty())
        GTEST_SKIP() << "XZ_CORPUS_DIR is not set";
    const std::vector<DecodedRow> rows = ReadDecoded(corpus);
    ASSERT_GE(rows.size(), 20u);
    int round_trips = 0;
    int refused = 0;
    for (const DecodedRow& r : rows) {
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
