// Packing through PackFiles/PackFilesW, deletion, and memory packing: the encoder's exact stream,
// the order of checks, the backup of a rewritten archive and its restore on every failure.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "codec/threading.h"
#include "tests/win/host.h"
#include "tests/win/process_usage.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testhost::Export;
using testhost::Exists;
using testhost::ReadBytes;
using testhost::Widen;
using testhost::WriteBytes;

std::vector<int32_t> g_counts;
int g_abort_at = -1;

int32_t __stdcall Progress(const char* name, int32_t count)
{
    EXPECT_EQ(name, nullptr);
    g_counts.push_back(count);
    return static_cast<int>(g_counts.size()) - 1 == g_abort_at ? 0 : 1;
}

int32_t __stdcall WideProgress(const wchar_t*, int32_t)
{
    ADD_FAILURE() << "packing must never report to the UTF-16 callback";
    return 1;
}

Bytes Reference(const Bytes& data, uint32_t preset) { return testhost::EncodeXz(data, preset); }
Bytes Text(size_t size) { return testhost::SampleText(size); }

constexpr uint32_t kExtreme = 0x80000000u;

// Whether the module's memory fit lets the threaded encoder pack at this
// preset. A 32-bit host's budget (768 MiB) never holds two threads at rate
// 9, whose encoder alone takes 674 MiB per thread, so there it is the
// single-threaded encoder whatever the machine. The 64-bit budget may grow
// with the machine's memory, so there the answer comes from the module's
// own rule against the same liblzma.dll.
bool EncoderFitsTwoThreads(uint32_t preset, bool report = true)
{
#ifdef _WIN64
    const HMODULE lzma = LoadLibraryA((testhost::ProgramDir() + "liblzma.dll").c_str());
    codec::CodecApi api{};
    api.stream_encoder_mt = reinterpret_cast<codec::StreamEncoderMtFn>(
        reinterpret_cast<void*>(GetProcAddress(lzma, "lzma_stream_encoder_mt")));
    api.stream_encoder_mt_memusage = reinterpret_cast<codec::StreamEncoderMtMemusageFn>(
        reinterpret_cast<void*>(GetProcAddress(lzma, "lzma_stream_encoder_mt_memusage")));
    // The module fits the threads to its budget, which follows the machine's memory.
    MEMORYSTATUSEX memory;
    memory.dwLength = sizeof(memory);
    GlobalMemoryStatusEx(&memory);
    const uint32_t threads = codec::FitEncoderThreads(
        api, preset, 4, codec::LimitsFor(codec::kThisWordSize, memory.ullTotalPhys).encoder_budget);
    FreeLibrary(lzma);
    if (report)
        testhost::ReportFigures("64-bit encoder budget at preset " + std::to_string(preset & 0xFF) +
                                ((preset & kExtreme) ? "e" : "") + ": " + std::to_string(threads) +
                                " of four threads fit");
    return threads > 1;
#else
    (void)preset;
    (void)report;
    return false;
#endif
}

class PackTest : public ::testing::Test {
public:
    void SetUp() override
    {
        dir_ = testhost::ScratchDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
        g_counts.clear();
        g_abort_at = -1;
        // A settings file of our own that does not exist yet: the defaults.
        UseSettings(dir_ + "\\settings.ini");
        Export<SetProcessDataProcFn>("SetProcessDataProc")(-1, Progress);
        Export<SetProcessDataProcWFn>("SetProcessDataProcW")(-1, WideProgress);
    }
    void TearDown() override
    {
        Export<SetProcessDataProcFn>("SetProcessDataProc")(-1, nullptr);
        Export<SetProcessDataProcWFn>("SetProcessDataProcW")(-1, nullptr);
    }
    void UseSettings(const std::string& ini)
    {
        ini_ = ini;
        testhost::UseSettingsFile(ini);
    }
    void Store(const char* rate, const char* extreme)
    {
        if (rate != nullptr)
            WritePrivateProfileStringA("xz", "CompressionRate", rate, ini_.c_str());
        if (extreme != nullptr)
            WritePrivateProfileStringA("xz", "Extreme", extreme, ini_.c_str());
    }
    void StoreThreads(const char* threads) { WritePrivateProfileStringA("xz", "Threads", threads, ini_.c_str()); }
    std::string Path(const std::string& name) const { return dir_ + "\\" + name; }
    int32_t Pack(const std::string& target, const std::string& name, int32_t flags = 0)
    {
        const std::string list = name + std::string(1, '\0');
        return Export<PackFilesFn>("PackFiles")(target.c_str(), nullptr, (dir_ + "\\").c_str(),
                                                list.c_str(), flags);
    }
    int32_t PackW(const std::wstring& target, const std::wstring& name)
    {
        const std::wstring list = name + std::wstring(1, L'\0');
        return Export<PackFilesWFn>("PackFilesW")(target.c_str(), nullptr, Widen(dir_ + "\\").c_str(),
                                                  list.c_str(), 0);
    }
    std::string dir_;
    std::string ini_;
};

TEST_F(PackTest, DefaultOutputEqualsXz6eSingleThreaded)
{
    const std::string corpus = testhost::CorpusDir();
    if (corpus.empty())
        GTEST_SKIP() << "XZ_CORPUS_DIR is not set";
    for (const char* name : {"pack-source.txt", "pack-empty.txt"}) {
        const Bytes source = ReadBytes(corpus + "\\" + name);
        const Bytes expected = ReadBytes(corpus + "\\" + name + ".ref");
        ASSERT_FALSE(expected.empty()) << name;
        ASSERT_TRUE(WriteBytes(Path(name), source));
        EXPECT_EQ(Pack(Path(std::string(name) + ".xz"), name), 0);
        EXPECT_EQ(ReadBytes(Path(std::string(name) + ".xz")), expected) << name << " via PackFiles";

        // Memory packing in 4096-byte pieces makes the same stream.
        auto start = Export<StartMemPackFn>("StartMemPack");
        auto step = Export<PackToMemFn>("PackToMem");
        const intptr_t h = start(0, nullptr);
        ASSERT_NE(h, 0);
        Bytes out;
        size_t pos = 0;
        int32_t rc = 0;
        uint8_t buf[4096];
        int32_t untouched = 0x13579BDF;
        do {
            const int32_t len = static_cast<int32_t>(std::min<size_t>(4096, source.size() - pos));
            int32_t taken = -1;
            int32_t written = -1;
            rc = step(h, source.data() + pos, len, &taken, buf, sizeof(buf), &written, &untouched);
            ASSERT_GE(rc, 0);
            ASSERT_GE(taken, 0);
            pos += static_cast<size_t>(taken);
            out.insert(out.end(), buf, buf + written);
        } while (rc != 1);
        EXPECT_EQ(untouched, 0x13579BDF);
        EXPECT_EQ(Export<DoneMemPackFn>("DoneMemPack")(h), 0);
        EXPECT_EQ(out, expected) << name << " via PackToMem";
    }
}

// Every rate, with and without extreme, on one thread and on two, writes
// what the system's xz writes: the references come from make-corpus.sh, so
// the oracle is not the liblzma.dll that ships. Two threads write xz -T2's
// stream where the module's memory budget holds two encoders at that rate,
// else xz -T1's.
TEST_F(PackTest, EveryRateWritesWhatTheSystemXzWrites)
{
    const std::string corpus = testhost::CorpusDir();
    if (corpus.empty())
        GTEST_SKIP() << "XZ_CORPUS_DIR is not set";
    ASSERT_TRUE(WriteBytes(Path("rates"), ReadBytes(corpus + "\\pack-rates.txt")));
    int compared = 0;
    int threaded_presets = 0;
    for (int rate = 1; rate <= 9; ++rate) {
        for (const char* extreme : {"0", "1"}) {
            const std::string name = std::to_string(rate) + (extreme[0] == '1' ? "e" : "");
            const Bytes one = ReadBytes(corpus + "\\pack-rates.txt." + name + "-T1.ref");
            const Bytes two = ReadBytes(corpus + "\\pack-rates.txt." + name + "-T2.ref");
            ASSERT_FALSE(one.empty() || two.empty()) << name;
            Store(std::to_string(rate).c_str(), extreme);
            const uint32_t preset = static_cast<uint32_t>(rate) | (extreme[0] == '1' ? kExtreme : 0);
            for (const char* threads : {"1", "2"}) {
                StoreThreads(threads);
                const bool threaded = threads[0] == '2' && EncoderFitsTwoThreads(preset, false);
                threaded_presets += threaded ? 1 : 0;
                ASSERT_EQ(Pack(Path("rates.xz"), "rates"), 0) << name << " Threads=" << threads;
                EXPECT_TRUE(ReadBytes(Path("rates.xz")) == (threaded ? two : one))
                    << "rate " << name << " Threads=" << threads << ": not xz -" << name
                    << (threaded ? " -T2" : " -T1") << "'s stream";
                ++compared;
            }
        }
    }
    EXPECT_EQ(compared, 36);
    testhost::ReportFigures("packing at rates 1-9, plain and extreme, Threads=1 and 2: 36 streams equal the "
                            "system xz's; " + std::to_string(threaded_presets) +
                            " of 18 presets packed with two threads (the rest fit one in the budget)");
}

// Threads 1 keeps the single-threaded encoder and xz -T1's stream; 0, 2, 4 and
// a count past the memory budget take the threaded encoder, whose stream is
// what xz writes with any two threads or more. Every count keeps the old
// archive's backup and its restore on abort, and no thread outlives a run.
TEST_F(PackTest, ThreadsSettingChoosesTheEncoderAndKeepsTheBackup)
{
    const std::string corpus = testhost::CorpusDir();
    if (corpus.empty())
        GTEST_SKIP() << "XZ_CORPUS_DIR is not set";
    const Bytes source = ReadBytes(corpus + "\\pack-blocks.txt");
    const Bytes one_thread = ReadBytes(corpus + "\\pack-blocks.txt.1-T1.ref");
    const Bytes threaded = ReadBytes(corpus + "\\pack-blocks.txt.1-T2.ref");
    ASSERT_FALSE(one_thread.empty() || threaded.empty());
    ASSERT_NE(one_thread, threaded);
    ASSERT_TRUE(WriteBytes(Path("blocks"), source));
    const std::string target = Path("blocks.xz");
    const Bytes old = {5, 5, 5};
    Store("1", "0");
    const uint32_t threads_before = testhost::CountThreads();
    struct Case {
        const char* threads;
        const Bytes& expected;
    } cases[] = {
        {"1", one_thread}, {"0", threaded}, {"2", threaded}, {"4", threaded}, {"64", threaded}, {"-2", one_thread},
    };
    for (const Case& c : cases) {
        StoreThreads(c.threads);
        ASSERT_TRUE(WriteBytes(target, old));
        g_counts.clear();
        EXPECT_EQ(Pack(target, "blocks"), 0) << "Threads=" << c.threads;
        EXPECT_TRUE(ReadBytes(target) == c.expected) << "Threads=" << c.threads;
        EXPECT_FALSE(Exists(target + ".#00")) << "Threads=" << c.threads;
        int64_t reported = 0;
        for (int32_t n : g_counts)
            reported += n;
        EXPECT_EQ(reported, static_cast<int64_t>(source.size())) << "Threads=" << c.threads;

        ASSERT_TRUE(WriteBytes(target, old));
        g_counts.clear();
        g_abort_at = 800;
        EXPECT_EQ(Pack(target, "blocks"), 21) << "Threads=" << c.threads;
        g_abort_at = -1;
        EXPECT_EQ(static_cast<int>(g_counts.size()), 801) << "an abort ends the run at once";
        EXPECT_EQ(ReadBytes(target), old) << "Threads=" << c.threads;
        EXPECT_FALSE(Exists(target + ".#00")) << "Threads=" << c.threads;
        EXPECT_EQ(testhost::CountThreads(), threads_before) << "Threads=" << c.threads;
    }

    // The default rate with two threads: xz -6e -T2's stream.
    Store("6", "1");
    StoreThreads("2");
    ASSERT_TRUE(WriteBytes(Path("text"), ReadBytes(corpus + "\\pack-source.txt")));
    EXPECT_EQ(Pack(Path("text.xz"), "text"), 0);
    EXPECT_EQ(ReadBytes(Path("text.xz")), ReadBytes(corpus + "\\pack-source.txt.6e-T2.ref"));
    // Rate 9 with four threads asked for: the bytes show which encoder the
    // module's memory fit chose.
    const Bytes small = Text(20000);
    ASSERT_TRUE(WriteBytes(Path("small"), small));
    StoreThreads("4");
    for (const char* extreme : {"0", "1"}) {
        Store("9", extreme);
        const uint32_t preset = 9 | (extreme[0] == '1' ? kExtreme : 0);
        const bool threaded9 = EncoderFitsTwoThreads(preset);
        EXPECT_EQ(Pack(Path("small.xz"), "small"), 0);
        EXPECT_EQ(ReadBytes(Path("small.xz")),
                  threaded9 ? testhost::EncodeXzBlocks(small, preset, 0) : Reference(small, preset))
            << "Extreme=" << extreme << (threaded9 ? ": xz -T2's stream" : ": xz -T1's stream");
    }
}

TEST_F(PackTest, ChecksInOrderTouchNothing)
{
    ASSERT_TRUE(WriteBytes(Path("a"), Text(100)));
    auto pack = Export<PackFilesFn>("PackFiles");
    const std::string dir = dir_ + "\\";
    EXPECT_EQ(pack(Path("a.xz").c_str(), nullptr, dir.c_str(), nullptr, 0), 22);
    EXPECT_EQ(pack(Path("a.xz").c_str(), nullptr, dir.c_str(), "\0", 0), 22);
    EXPECT_EQ(pack(Path("a.xz").c_str(), nullptr, dir.c_str(), "a\0b\0", 0), 23);
    EXPECT_FALSE(Exists(Path("a.xz")));

    for (const char* bad : {"\\data.gz", "\\data"}) {
        EXPECT_EQ(PackW(Widen(dir_ + bad), L"a"), 24) << bad;
        EXPECT_FALSE(Exists(dir_ + bad));
    }
    EXPECT_EQ(PackW(L"data.xz", L"a"), 24) << "no backslash";
    EXPECT_EQ(PackW(Widen(Path("a.XZ")), L"a"), 0);
    EXPECT_EQ(Pack(Path("a.gz"), "a"), 0) << "the ANSI form takes any name";
    EXPECT_TRUE(g_counts.size() >= 2);
}

TEST_F(PackTest, ExistingArchiveOnlyFromItsEntrysName)
{
    ASSERT_TRUE(WriteBytes(Path("notes.txt"), Text(5000)));
    ASSERT_TRUE(WriteBytes(Path("NOTES.TXT.src"), Text(10)));
    const Bytes old = {1, 2, 3, 4};
    ASSERT_TRUE(WriteBytes(Path("notes.txt.xz"), old));
    for (const char* wrong : {"notes.txt.xz", "notes"}) {
        ASSERT_TRUE(WriteBytes(Path(wrong) + "x", Text(10)));
        EXPECT_EQ(Pack(Path("notes.txt.xz"), wrong), 23) << wrong;
        EXPECT_EQ(ReadBytes(Path("notes.txt.xz")), old);
    }
    // Case is ignored for A to Z; the file system finds notes.txt by it too.
    EXPECT_EQ(Pack(Path("notes.txt.xz"), "NOTES.TXT"), 0);
    EXPECT_EQ(ReadBytes(Path("notes.txt.xz")), Reference(Text(5000), 6 | kExtreme));
    EXPECT_FALSE(Exists(Path("notes.txt.xz.#00")));
}

// An archive held by another program with reading denied still exists: it
// is name-checked and must be moved aside, or left alone with 16.
TEST_F(PackTest, ArchiveHeldWithReadingDeniedIsNeverTruncated)
{
    const Bytes old = Reference(Text(700), 1);
    ASSERT_TRUE(WriteBytes(Path("a"), Text(5000)) && WriteBytes(Path("b"), Text(9)) &&
                WriteBytes(Path("a.xz"), old));
    const HANDLE holder = CreateFileA(Path("a.xz").c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Pack(Path("a.xz"), "b"), 23);
    EXPECT_EQ(Pack(Path("a.xz"), "a"), 16);
    EXPECT_EQ(PackW(Widen(Path("a.xz")), L"a"), 16);
    CloseHandle(holder);
    EXPECT_EQ(ReadBytes(Path("a.xz")), old);
    EXPECT_TRUE(g_counts.empty()) << "nothing may be packed";
}

TEST_F(PackTest, ThirdBackupNameIsUsedAndRemoved)
{
    ASSERT_TRUE(WriteBytes(Path("a"), Text(3000)));
    ASSERT_TRUE(WriteBytes(Path("a.xz"), {9}));
    ASSERT_TRUE(WriteBytes(Path("a.xz.#00"), {0}));
    ASSERT_TRUE(WriteBytes(Path("a.xz.#01"), {1}));
    g_abort_at = 0;
    // While the pack runs, the old archive waits under the third name.
    EXPECT_EQ(Pack(Path("a.xz"), "a"), 21);
    EXPECT_EQ(ReadBytes(Path("a.xz")), Bytes{9});
    EXPECT_FALSE(Exists(Path("a.xz.#02")));
    g_abort_at = -1;
    EXPECT_EQ(Pack(Path("a.xz"), "a"), 0);
    EXPECT_FALSE(Exists(Path("a.xz.#02")));
    EXPECT_EQ(ReadBytes(Path("a.xz.#00")), Bytes{0});
    EXPECT_EQ(ReadBytes(Path("a.xz.#01")), Bytes{1});
}

TEST_F(PackTest, EveryFailureRestoresTheOldArchive)
{
    const Bytes old = Reference(Text(777), 1);
    ASSERT_TRUE(WriteBytes(Path("big"), Text(40000)));
    struct Case {
        const char* what;
        const char* name;
        int abort_at;
        int32_t code;
    } cases[] = {
        {"source missing", "gone", -1, 15},
        {"abort at the first chunk", "big", 0, 21},
        {"abort at a middle chunk", "big", 4, 21},
    };
    for (const Case& c : cases) {
        const std::string target = Path(std::string(c.name) + ".xz");
        ASSERT_TRUE(WriteBytes(target, old));
        g_counts.clear();
        g_abort_at = c.abort_at;
        EXPECT_EQ(Pack(target, c.name), c.code) << c.what;
        EXPECT_EQ(ReadBytes(target), old) << c.what;
        EXPECT_FALSE(Exists(target + ".#00")) << c.what;
        if (c.abort_at >= 0)
            EXPECT_EQ(static_cast<int>(g_counts.size()), c.abort_at + 1) << "an abort ends the run at once";
        DeleteFileA(target.c_str());
    }
    // With no old archive, an aborted pack leaves nothing.
    g_counts.clear();
    g_abort_at = 0;
    EXPECT_EQ(Pack(Path("big.xz"), "big"), 21);
    EXPECT_FALSE(Exists(Path("big.xz")));
}

TEST_F(PackTest, NoBackupNameMeansNoRewrite)
{
    const Bytes old = {7, 7, 7};
    ASSERT_TRUE(WriteBytes(Path("a"), Text(100)));
    ASSERT_TRUE(WriteBytes(Path("a.xz"), old));
    for (int i = 0; i < 100; ++i) {
        char suffix[8];
        wsprintfA(suffix, ".#%02d", i);
        ASSERT_TRUE(WriteBytes(Path("a.xz") + suffix, {static_cast<uint8_t>(i)}));
    }
    EXPECT_EQ(Pack(Path("a.xz"), "a"), 16);
    EXPECT_EQ(ReadBytes(Path("a.xz")), old);
    EXPECT_TRUE(g_counts.empty());
}

TEST_F(PackTest, OverlongPathsAreRefusedBeforeTouchingAnything)
{
    ASSERT_TRUE(WriteBytes(Path("a"), Text(100)));
    std::string long_name(260 - dir_.size(), 'n');
    EXPECT_EQ(Pack(Path("a.xz"), long_name), 15);
    EXPECT_FALSE(Exists(Path("a.xz")));
    // 256 characters leave no room for ".#00".
    std::string target = dir_ + "\\" + std::string(256 - dir_.size() - 4, 't') + ".xz";
    ASSERT_EQ(target.size(), 256u);
    EXPECT_EQ(Pack(target, "a"), 16);
    EXPECT_TRUE(g_counts.empty());
}

TEST_F(PackTest, OneReportPerChunkIncludingTheLastEmptyOne)
{
    ASSERT_TRUE(WriteBytes(Path("e"), {}));
    EXPECT_EQ(Pack(Path("e.xz"), "e"), 0);
    EXPECT_EQ(g_counts, std::vector<int32_t>({0}));
    EXPECT_EQ(ReadBytes(Path("e.xz")), Reference({}, 6 | kExtreme));

    g_counts.clear();
    ASSERT_TRUE(WriteBytes(Path("s"), Text(8192)));
    EXPECT_EQ(Pack(Path("s.xz"), "s", 2), 0);
    EXPECT_EQ(g_counts, std::vector<int32_t>({4096, 4096, 0}));
    EXPECT_TRUE(Exists(Path("s"))) << "flag 2 deletes nothing";
    EXPECT_EQ(Pack(Path("s2.xz"), "s", kPackMoveFiles), 0);
    EXPECT_FALSE(Exists(Path("s"))) << "flag 1 moves the source into the archive";
}

TEST_F(PackTest, StoredRateIsClampedDifferentlyForFilesAndMemory)
{
    const Bytes data = Text(20000);
    ASSERT_TRUE(WriteBytes(Path("d"), data));
    struct Case {
        const char* rate;
        const char* extreme;
        uint32_t file_preset;
        uint32_t mem_preset;
    } cases[] = {
        {"0", "0", 1, 1},
        {"7", "0", 7, 7},
        {"12", "2", 9 | kExtreme, 9 | kExtreme},
        {"-3", "0", 1, 9},
    };
    auto start = Export<StartMemPackFn>("StartMemPack");
    auto step = Export<PackToMemFn>("PackToMem");
    for (const Case& c : cases) {
        Store(c.rate, c.extreme);
        ASSERT_EQ(Pack(Path("d.xz"), "d"), 0);
        EXPECT_EQ(ReadBytes(Path("d.xz")), Reference(data, c.file_preset)) << c.rate;

        const intptr_t h = start(0, nullptr);
        ASSERT_NE(h, 0);
        // The handle keeps the settings it started with.
        Store("5", "1");
        Bytes out(data.size() + 8192);
        int32_t taken = 0;
        int32_t written = 0;
        EXPECT_EQ(step(h, data.data(), static_cast<int32_t>(data.size()), &taken, out.data(),
                       static_cast<int32_t>(out.size()), &written, nullptr), 0);
        size_t total = static_cast<size_t>(written);
        int32_t rc;
        do {
            rc = step(h, nullptr, 0, nullptr, out.data() + total, static_cast<int32_t>(out.size() - total),
                      &written, nullptr);
            total += static_cast<size_t>(written);
        } while (rc == 0);
        EXPECT_EQ(rc, 1);
        out.resize(total);
        Export<DoneMemPackFn>("DoneMemPack")(h);
        EXPECT_EQ(out, Reference(data, c.mem_preset)) << c.rate;
    }
}

TEST_F(PackTest, MemoryPackingEdges)
{
    EXPECT_EQ(Export<PackToMemFn>("PackToMem")(0, nullptr, 0, nullptr, nullptr, 0, nullptr, nullptr), -1);
    EXPECT_EQ(Export<DoneMemPackFn>("DoneMemPack")(0), 0);
    // Nothing but the finish: the encoder's stream for no data.
    const intptr_t h = Export<StartMemPackFn>("StartMemPack")(0, nullptr);
    ASSERT_NE(h, 0);
    Bytes out;
    uint8_t buf[7];
    int32_t rc;
    do {
        int32_t written = 0;
        rc = Export<PackToMemFn>("PackToMem")(h, nullptr, 0, nullptr, buf, sizeof(buf), &written, nullptr);
        out.insert(out.end(), buf, buf + written);
    } while (rc == 0);
    EXPECT_EQ(rc, 1);
    Export<DoneMemPackFn>("DoneMemPack")(h);
    EXPECT_EQ(out, Reference({}, 6 | kExtreme));
}

TEST_F(PackTest, DeleteRemovesTheWholeArchive)
{
    auto del = Export<DeleteFilesFn>("DeleteFiles");
    ASSERT_TRUE(WriteBytes(Path("x.xz"), {1}));
    EXPECT_EQ(del(Path("x.xz").c_str(), "\0"), 12);
    EXPECT_EQ(del(Path("x.xz").c_str(), nullptr), 12);
    EXPECT_TRUE(Exists(Path("x.xz")));
    EXPECT_EQ(del(Path("x.xz").c_str(), "x\0"), 0);
    EXPECT_FALSE(Exists(Path("x.xz")));
    EXPECT_EQ(del(Path("x.xz").c_str(), "x\0"), 19);
    ASSERT_TRUE(WriteBytes(Path("w.xz"), {1}));
    EXPECT_EQ(Export<DeleteFilesWFn>("DeleteFilesW")(Widen(Path("w.xz")).c_str(), L"w\0"), 0);
    EXPECT_FALSE(Exists(Path("w.xz")));
}

} // namespace

namespace {

struct PackJob {
    PackTest* test;
    int index;
    Bytes data;
    int32_t file_result;
    Bytes mem_out;
    int32_t mem_result;
};

DWORD WINAPI RunPackJob(LPVOID arg)
{
    PackJob& job = *static_cast<PackJob*>(arg);
    const std::string name = "c" + std::to_string(job.index);
    job.file_result = job.test->Pack(job.test->Path(name + ".xz"), name);
    auto step = Export<PackToMemFn>("PackToMem");
    const intptr_t h = Export<StartMemPackFn>("StartMemPack")(0, nullptr);
    job.mem_result = h != 0 ? 0 : -2;
    size_t pos = 0;
    uint8_t buf[1000];
    int32_t rc = 0;
    while (h != 0 && rc == 0) {
        const int32_t len = static_cast<int32_t>(std::min<size_t>(3000, job.data.size() - pos));
        int32_t taken = 0;
        int32_t written = 0;
        rc = step(h, job.data.data() + pos, len, &taken, buf, sizeof(buf), &written, nullptr);
        pos += static_cast<size_t>(taken);
        job.mem_out.insert(job.mem_out.end(), buf, buf + written);
        if (rc < 0)
            job.mem_result = rc;
    }
    Export<DoneMemPackFn>("DoneMemPack")(h);
    return 0;
}

TEST_F(PackTest, ConcurrentPackersAndMemoryHandlesProduceCorrectStreams)
{
    constexpr int kThreads = 4;
    PackJob jobs[kThreads];
    for (int i = 0; i < kThreads; ++i) {
        jobs[i].test = this;
        jobs[i].index = i;
        jobs[i].data = Text(30000 + 7919 * i);
        ASSERT_TRUE(WriteBytes(Path("c" + std::to_string(i)), jobs[i].data));
    }
    // Slot 0's callback is shared by every packer; it must cope with threads.
    Export<SetProcessDataProcFn>("SetProcessDataProc")(-1, nullptr);
    HANDLE threads[kThreads];
    for (int i = 0; i < kThreads; ++i)
        threads[i] = CreateThread(nullptr, 0, RunPackJob, &jobs[i], 0, nullptr);
    WaitForMultipleObjects(kThreads, threads, TRUE, INFINITE);
    for (int i = 0; i < kThreads; ++i) {
        CloseHandle(threads[i]);
        const Bytes expected = Reference(jobs[i].data, 6 | kExtreme);
        EXPECT_EQ(jobs[i].file_result, 0) << i;
        EXPECT_EQ(ReadBytes(Path("c" + std::to_string(i) + ".xz")), expected) << i;
        EXPECT_EQ(jobs[i].mem_result, 0) << i;
        EXPECT_EQ(jobs[i].mem_out, expected) << i;
    }
}

// A small file system that fills up, mounted by the test fixture where the
// machine allows it (XZ_FULL_FS names its folder).
TEST_F(PackTest, FullDiskRestoresTheOldArchive)
{
    const std::string fs = testhost::SmallFs("XZ_FULL_FS");
    if (fs.empty())
        GTEST_SKIP() << "no small file system was mounted for this run (XZ_FULL_FS)";
    const Bytes old = Reference(Text(1000), 1);
    const std::string target = fs + "\\data.xz";
    ASSERT_TRUE(WriteBytes(target, old));
    // Incompressible source so that the new archive outgrows the space left.
    ASSERT_TRUE(WriteBytes(Path("data"), testhost::Noise(600000)));
    const std::string list = std::string("data") + '\0';
    const int32_t code = Export<PackFilesFn>("PackFiles")(target.c_str(), nullptr, (dir_ + "\\").c_str(),
                                                          list.c_str(), 0);
    EXPECT_EQ(code, 19);
    const bool kept = ReadBytes(target) == old;
    EXPECT_TRUE(kept) << "the old archive did not come back byte for byte";
    EXPECT_FALSE(Exists(target + ".#00"));
    testhost::ReportFigures("fault: full disk during packing: " + std::to_string(code) + "; the disk holds: " +
                            testhost::DescribeFolder(fs) + " (old archive byte-identical: " +
                            (kept ? "yes" : "no") + ")");
    DeleteFileA(target.c_str());
}

// The new archive fits the stream's 64 KiB buffer, so the disk fills only
// when it is flushed at the close.
TEST_F(PackTest, DiskFullAtTheLastFlushRestoresTheOldArchive)
{
    const std::string fs = testhost::SmallFs("XZ_FULL_FS");
    if (fs.empty())
        GTEST_SKIP() << "no small file system was mounted for this run (XZ_FULL_FS)";
    const Bytes old = Reference(Text(1000), 1);
    ASSERT_TRUE(WriteBytes(fs + "\\data.xz", old) && WriteBytes(Path("data"), testhost::Noise(40 << 10)));
    const std::string filler = testhost::FillLeaving(fs, 16 << 10);
    ASSERT_FALSE(filler.empty());
    EXPECT_EQ(Pack(fs + "\\data.xz", "data"), 19);
    EXPECT_EQ(ReadBytes(fs + "\\data.xz"), old);
    EXPECT_EQ(testhost::ListFolder(fs).size(), 2u) << "more than the archive and the filler: "
                                                   << testhost::DescribeFolder(fs);
    DeleteFileA(filler.c_str());
    DeleteFileA((fs + "\\data.xz").c_str());
}

// The old archive takes the last free file of its file system, so the new
// one cannot be created once the old one is moved aside.
TEST_F(PackTest, UncreatableTargetRestoresTheOldArchive)
{
    const std::string fs = testhost::SmallFs("XZ_ONE_FILE_FS");
    if (fs.empty())
        GTEST_SKIP() << "no one-file file system was mounted for this run (XZ_ONE_FILE_FS)";
    const Bytes old = Reference(Text(500), 1);
    const std::string target = fs + "\\data.xz";
    ASSERT_TRUE(WriteBytes(target, old));
    ASSERT_FALSE(WriteBytes(fs + "\\probe", {1})) << "the file system should be out of files";
    ASSERT_TRUE(WriteBytes(Path("data"), Text(3000)));
    const std::string list = std::string("data") + '\0';
    const int32_t code = Export<PackFilesFn>("PackFiles")(target.c_str(), nullptr, (dir_ + "\\").c_str(),
                                                          list.c_str(), 0);
    EXPECT_EQ(code, 16);
    const bool kept = ReadBytes(target) == old;
    EXPECT_TRUE(kept) << "the old archive did not come back byte for byte";
    EXPECT_FALSE(Exists(target + ".#00"));
    testhost::ReportFigures("fault: no file can be created beside the old archive: " + std::to_string(code) +
                            "; the disk holds: " + testhost::DescribeFolder(fs) +
                            " (old archive byte-identical: " + (kept ? "yes" : "no") + ")");
    DeleteFileA(target.c_str());
}

} // namespace
