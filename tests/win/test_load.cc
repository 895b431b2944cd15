// The module under load, as a busy host with several windows and background
// jobs drives it: ten threads opening, listing, testing and closing archives
// at once (the first binding of the codec among them), eleven racing for ten
// slots, packing beside extraction, and what a thousand rounds leave behind.
//
// The first test must stay first: it is the one that binds the codec.
#include <windows.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "codec/threading.h"
#include "tests/win/host.h"
#include "tests/win/process_usage.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testhost::Export;

constexpr int kSlots = 10;
constexpr int32_t kEndOfArchive = 10;
constexpr int32_t kNoSlot = 11;

uint32_t Crc(const Bytes& data) { return crc32(0, data.data(), static_cast<uInt>(data.size())); }

struct Archive {
    std::string path;
    uint64_t packed;
    uint64_t unpacked;
    uint32_t crc;
};

// Ten different archives: sizes from empty to a few hundred kilobytes, both
// kinds of block header, one and two streams.
std::vector<Archive> MakeArchives(const std::string& dir)
{
    std::vector<Archive> archives;
    for (int i = 0; i < kSlots; ++i) {
        const Bytes data = testhost::SampleText(i == 0 ? 0 : 1000 + 37000 * i);
        Bytes packed = i % 3 == 1 ? testhost::EncodeXzWithSizes(data, 1 + i % 7)
                                  : testhost::EncodeXz(data, 1 + i % 7);
        Bytes unpacked = data;
        if (i % 4 == 3) {
            const Bytes more = testhost::SampleText(5000 + i);
            const Bytes second = testhost::EncodeXz(more, 0);
            packed.insert(packed.end(), second.begin(), second.end());
            unpacked.insert(unpacked.end(), more.begin(), more.end());
        }
        Archive a;
        a.path = dir + "\\a" + std::to_string(i) + ".xz";
        a.packed = packed.size();
        a.unpacked = unpacked.size();
        a.crc = Crc(unpacked);
        EXPECT_TRUE(testhost::WriteBytes(a.path, packed));
        archives.push_back(a);
    }
    return archives;
}

// Progress reaches the thread that called ProcessFile; each counts its own.
thread_local uint64_t tl_reported = 0;
int32_t __stdcall CountBytes(const char* name, int32_t count)
{
    if (name == nullptr)
        tl_reported += static_cast<uint64_t>(count);
    return 1;
}

// The handles held right now, by all threads: a number handed out while
// another thread still holds it shows up here.
class HeldHandles {
public:
    bool Take(int32_t h)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return held_.insert(h).second;
    }
    void Give(int32_t h)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        held_.erase(h);
    }

private:
    std::mutex mutex_;
    std::set<int32_t> held_;
};

class StartLine {
public:
    explicit StartLine(int parties) : waiting_(parties) {}
    void Arrive()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (--waiting_ == 0)
            all_.notify_all();
        else
            all_.wait(lock, [this] { return waiting_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable all_;
    int waiting_;
};

struct Worker {
    int index = 0;
    int rounds = 0;
    const std::vector<Archive>* archives = nullptr;
    HeldHandles* held = nullptr;
    StartLine* start = nullptr;
    std::string scratch;
    std::vector<std::string> faults;
    int opens = 0;
    int tests = 0;
    int extractions = 0;

    void Fault(const std::string& what, int round)
    {
        if (faults.size() < 5)
            faults.push_back("thread " + std::to_string(index) + " round " + std::to_string(round) +
                             ": " + what);
    }

    void Round(int round)
    {
        const Archive& a = (*archives)[(index + round) % archives->size()];
        int32_t code = testhost::kUnsetResult;
        const int32_t h = testhost::Open(a.path, &code);
        if (h < 1 || h > kSlots)
            return Fault("open gave " + std::to_string(h) + " code " + std::to_string(code), round);
        ++opens;
        if (!held->Take(h))
            Fault("handle " + std::to_string(h) + " handed out while another thread holds it", round);

        EntryHeaderEx header = {};
        if (Export<ReadHeaderExFn>("ReadHeaderEx")(h, &header) != 0)
            Fault("listing failed", round);
        const uint64_t unpacked = testhost::UnpackedSize(header);
        const uint64_t packed = testhost::PackedSize(header);
        if (a.path != header.archive_name || unpacked != a.unpacked || packed != a.packed)
            Fault(std::string("listed ") + header.archive_name + " as " + std::to_string(unpacked), round);

        Export<SetProcessDataProcFn>("SetProcessDataProc")(h, CountBytes);
        tl_reported = 0;
        const int32_t tested = Export<ProcessFileFn>("ProcessFile")(h, kTest, nullptr, nullptr);
        ++tests;
        if (tested != 0 || tl_reported != a.unpacked)
            Fault("test gave " + std::to_string(tested) + " after " + std::to_string(tl_reported) +
                      " bytes of " + std::to_string(a.unpacked),
                  round);
        if (round % 5 == 0) {
            const std::string out = scratch + "\\out" + std::to_string(index);
            const int32_t extracted = Export<ProcessFileFn>("ProcessFile")(h, kExtract, nullptr, out.c_str());
            ++extractions;
            const Bytes got = testhost::ReadBytes(out);
            if (extracted != 0 || got.size() != a.unpacked || Crc(got) != a.crc)
                Fault("extraction gave " + std::to_string(extracted) + " and " +
                          std::to_string(got.size()) + " bytes",
                      round);
            DeleteFileA(out.c_str());
        }
        if (Export<ReadHeaderExFn>("ReadHeaderEx")(h, &header) != kEndOfArchive)
            Fault("second listing is not the end", round);

        Export<SetProcessDataProcFn>("SetProcessDataProc")(h, nullptr);
        held->Give(h);
        if (testhost::Close(h) != 0)
            Fault("close failed", round);
    }
};

DWORD WINAPI RunWorker(LPVOID arg)
{
    Worker& w = *static_cast<Worker*>(arg);
    w.start->Arrive();
    for (int r = 0; r < w.rounds; ++r)
        w.Round(r);
    return 0;
}

void RunThreads(int count, LPTHREAD_START_ROUTINE routine, void* items, size_t item_size)
{
    std::vector<HANDLE> threads;
    for (int i = 0; i < count; ++i)
        threads.push_back(
            CreateThread(nullptr, 0, routine, static_cast<char*>(items) + i * item_size, 0, nullptr));
    WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
    for (HANDLE t : threads)
        CloseHandle(t);
}

// Runs one phase of the ten threads and returns what the process holds after it.
testhost::ProcessUsage LoadPhase(std::vector<Worker>& workers, int rounds)
{
    StartLine start(kSlots);
    for (Worker& w : workers) {
        w.rounds = rounds;
        w.start = &start;
    }
    RunThreads(kSlots, RunWorker, workers.data(), sizeof(Worker));
    for (const Worker& w : workers)
        for (const std::string& f : w.faults)
            ADD_FAILURE() << f;
    return testhost::MeasureProcess();
}

std::string Describe(const testhost::ProcessUsage& u)
{
    return std::to_string(u.private_bytes / 1024) + " KiB private, " + std::to_string(u.handles) +
           " handles, " + std::to_string(u.gdi_objects) + " GDI objects";
}

// Allowed growth between the short and the long run: heap fragments and the
// runtime's lazily made per-thread data, not a per-round loss (1,000 rounds of
// even a small leak would be far above it).
constexpr uint64_t kPrivateMargin = 2 * 1024 * 1024;
// Ten threads racing raise the heap's high-water mark whenever more of their
// runs happen to overlap than before, and the heap keeps what it committed:
// the 64-bit build grew by 0.02-2.2 MiB between the two measurements, in no
// proportion to the rounds, the module before the writer's slim locks alike.
// A loss per round is the sequential thousand rounds' to find, at 2 MiB.
constexpr uint64_t kRacingPrivateMargin = 4 * 1024 * 1024;
constexpr uint32_t kHandleMargin = 2;

void ExpectNoGrowth(const testhost::ProcessUsage& few, const testhost::ProcessUsage& many,
                    uint64_t private_margin = kPrivateMargin)
{
    EXPECT_LE(many.private_bytes, few.private_bytes + private_margin);
    EXPECT_LE(many.handles, few.handles + kHandleMargin);
    EXPECT_EQ(many.gdi_objects, few.gdi_objects);
    EXPECT_EQ(many.threads, few.threads);
}

// A failed check may leave slots held; the next test starts with all free.
class Load : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (int32_t h = 1; h <= kSlots; ++h)
            testhost::Close(h);
    }
};

TEST_F(Load, TenThreadsOpenListTestAndCloseWithTheFirstBindingRacing)
{
    const std::string dir = testhost::ScratchDir("load");
    const std::vector<Archive> archives = MakeArchives(dir);
    HeldHandles held;
    std::vector<Worker> workers(kSlots);
    for (int i = 0; i < kSlots; ++i) {
        workers[i].index = i;
        workers[i].archives = &archives;
        workers[i].held = &held;
        workers[i].scratch = dir;
    }
    // The first phase begins with no codec bound: all ten threads reach the
    // binding together.
    const testhost::ProcessUsage after_first = LoadPhase(workers, 10);
    const testhost::ProcessUsage after_short = LoadPhase(workers, 10);
    const testhost::ProcessUsage after_long = LoadPhase(workers, 100);
    int opens = 0;
    int tests = 0;
    int extractions = 0;
    for (const Worker& w : workers) {
        opens += w.opens;
        tests += w.tests;
        extractions += w.extractions;
    }
    EXPECT_EQ(opens, kSlots * 120);
    testhost::ReportFigures("load: 10 threads, " + std::to_string(opens) + " opens, " + std::to_string(tests) +
                            " tests, " + std::to_string(extractions) + " extractions");
    testhost::ReportFigures("load: after the first 10 rounds: " + Describe(after_first));
    testhost::ReportFigures("load: after 10 more rounds: " + Describe(after_short));
    testhost::ReportFigures("load: after 100 more rounds: " + Describe(after_long));
    ExpectNoGrowth(after_short, after_long, kRacingPrivateMargin);
}

struct Racer {
    const std::string* path;
    StartLine* start;
    int32_t handle;
    int32_t code;
};

DWORD WINAPI RunRacer(LPVOID arg)
{
    Racer& r = *static_cast<Racer*>(arg);
    r.start->Arrive();
    r.code = testhost::kUnsetResult;
    r.handle = testhost::Open(*r.path, &r.code);
    return 0;
}

TEST_F(Load, ElevenRacingForTenSlotsGetTenDistinctNumbersAndOneRefusal)
{
    const std::string dir = testhost::ScratchDir("race");
    const std::vector<Archive> archives = MakeArchives(dir);
    constexpr int kRacers = kSlots + 1;
    for (int attempt = 0; attempt < 20; ++attempt) {
        StartLine start(kRacers);
        std::vector<Racer> racers(kRacers);
        for (int i = 0; i < kRacers; ++i)
            racers[i] = Racer{&archives[i % kSlots].path, &start, 0, 0};
        RunThreads(kRacers, RunRacer, racers.data(), sizeof(Racer));

        std::set<int32_t> numbers;
        int refused = 0;
        for (const Racer& r : racers) {
            if (r.handle == 0) {
                ++refused;
                EXPECT_EQ(r.code, kNoSlot);
            } else {
                EXPECT_TRUE(numbers.insert(r.handle).second) << "number " << r.handle << " given twice";
            }
        }
        ASSERT_EQ(refused, 1) << "attempt " << attempt;
        ASSERT_EQ(numbers, std::set<int32_t>({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
        // The refusal changed no slot: each still lists its own archive.
        for (const Racer& r : racers) {
            if (r.handle == 0)
                continue;
            EntryHeader header = {};
            EXPECT_EQ(Export<ReadHeaderFn>("ReadHeader")(r.handle, &header), 0);
            EXPECT_EQ(std::string(header.archive_name), *r.path);
        }
        // A freed number is the one handed out next.
        const int32_t freed = 1 + attempt % kSlots;
        EXPECT_EQ(testhost::Close(freed), 0);
        int32_t code = 0;
        EXPECT_EQ(testhost::Open(archives[0].path, &code), freed);
        for (int32_t h = 1; h <= kSlots; ++h)
            EXPECT_EQ(testhost::Close(h), 0);
    }
}

// Packing into files and into memory on two threads while two others extract.
struct MixedJob {
    enum Kind { kExtractLoop, kPackLoop, kMemLoop } kind;
    int index;
    int rounds;
    std::string dir;
    const std::vector<Archive>* archives;
    StartLine* start;
    std::vector<std::string> faults;
};

Bytes MemPack(const Bytes& data)
{
    auto step = Export<PackToMemFn>("PackToMem");
    const intptr_t h = Export<StartMemPackFn>("StartMemPack")(0, nullptr);
    if (h == 0)
        return {};
    Bytes out;
    uint8_t buf[1500];
    size_t pos = 0;
    int32_t rc = 0;
    while (rc == 0) {
        const int32_t len = static_cast<int32_t>(std::min<size_t>(2500, data.size() - pos));
        int32_t taken = 0;
        int32_t written = 0;
        rc = step(h, len > 0 ? data.data() + pos : nullptr, len, &taken, buf, sizeof(buf), &written, nullptr);
        pos += static_cast<size_t>(taken);
        out.insert(out.end(), buf, buf + written);
    }
    Export<DoneMemPackFn>("DoneMemPack")(h);
    return rc == 1 ? out : Bytes();
}

DWORD WINAPI RunMixed(LPVOID arg)
{
    MixedJob& job = *static_cast<MixedJob*>(arg);
    job.start->Arrive();
    for (int r = 0; r < job.rounds; ++r) {
        const std::string tag = std::to_string(job.index) + "-" + std::to_string(r);
        switch (job.kind) {
        case MixedJob::kExtractLoop: {
            const Archive& a = (*job.archives)[(job.index + r) % job.archives->size()];
            int32_t code = 0;
            const int32_t h = testhost::Open(a.path, &code);
            const std::string out = job.dir + "\\x" + tag;
            const int32_t rc = h != 0 ? Export<ProcessFileFn>("ProcessFile")(h, kExtract, nullptr, out.c_str()) : -1;
            const Bytes got = testhost::ReadBytes(out);
            if (rc != 0 || got.size() != a.unpacked || Crc(got) != a.crc)
                job.faults.push_back("extraction " + tag + " gave " + std::to_string(rc));
            testhost::Close(h);
            DeleteFileA(out.c_str());
            break;
        }
        case MixedJob::kPackLoop: {
            const Bytes data = testhost::SampleText(20000 + 1000 * r);
            const std::string name = "p" + tag;
            testhost::WriteBytes(job.dir + "\\" + name, data);
            const std::string list = name + '\0';
            const int32_t rc = Export<PackFilesFn>("PackFiles")((job.dir + "\\" + name + ".xz").c_str(), nullptr,
                                                                (job.dir + "\\").c_str(), list.c_str(), 0);
            if (rc != 0 || testhost::ReadBytes(job.dir + "\\" + name + ".xz") != testhost::EncodeXz(data, 1))
                job.faults.push_back("packing " + tag + " gave " + std::to_string(rc));
            break;
        }
        case MixedJob::kMemLoop: {
            const Bytes data = testhost::SampleText(15000 + 1000 * r);
            if (MemPack(data) != testhost::EncodeXz(data, 1))
                job.faults.push_back("memory packing " + tag + " differs");
            break;
        }
        }
    }
    return 0;
}

TEST_F(Load, PackingAndMemoryPackingBesideExtraction)
{
    const std::string dir = testhost::ScratchDir("mixed");
    const std::vector<Archive> archives = MakeArchives(dir);
    // Fast settings: the point is the overlap, not the ratio.
    const std::string ini = dir + "\\settings.ini";
    WritePrivateProfileStringA("xz", "CompressionRate", "1", ini.c_str());
    WritePrivateProfileStringA("xz", "Extreme", "0", ini.c_str());
    testhost::UseSettingsFile(ini);

    StartLine start(4);
    std::vector<MixedJob> jobs = {
        {MixedJob::kExtractLoop, 0, 20, dir, &archives, &start, {}},
        {MixedJob::kExtractLoop, 5, 20, dir, &archives, &start, {}},
        {MixedJob::kPackLoop, 0, 12, dir, &archives, &start, {}},
        {MixedJob::kMemLoop, 0, 12, dir, &archives, &start, {}},
    };
    RunThreads(static_cast<int>(jobs.size()), RunMixed, jobs.data(), sizeof(MixedJob));
    for (const MixedJob& j : jobs)
        for (const std::string& f : j.faults)
            ADD_FAILURE() << f;
}

// The CRC-32 and size of a file, read in pieces so that the check itself
// holds little memory.
uint32_t FileCrc(const std::string& path, uint64_t* size)
{
    uint32_t crc = crc32(0, nullptr, 0);
    *size = 0;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return crc;
    std::vector<uint8_t> buf(1 << 20);
    for (size_t n; (n = std::fread(buf.data(), 1, buf.size(), f)) > 0; *size += n)
        crc = crc32(crc, buf.data(), static_cast<uInt>(n));
    std::fclose(f);
    return crc;
}

struct BigJob {
    const std::string* archive;
    std::string target;
    StartLine* start;
    int32_t result;
};

DWORD WINAPI RunBigJob(LPVOID arg)
{
    BigJob& job = *static_cast<BigJob*>(arg);
    int32_t code = 0;
    const int32_t h = testhost::Open(*job.archive, &code);
    job.start->Arrive();
    if (h == 0) {
        job.result = 1000 + code;
        return 0;
    }
    job.result = Export<ProcessFileFn>("ProcessFile")(h, kExtract, nullptr, job.target.c_str());
    testhost::Close(h);
    return 0;
}

struct PeakWatch {
    std::atomic<bool> done{false};
    uint64_t peak = 0;
};

DWORD WINAPI WatchCommit(LPVOID arg)
{
    PeakWatch& w = *static_cast<PeakWatch*>(arg);
    while (!w.done.load()) {
        w.peak = std::max(w.peak, testhost::CommittedBytes());
        Sleep(2);
    }
    return 0;
}

// Ten archives of 32 MiB blocks extracted at once. Each decode on its own
// would take a hundred MiB and more for its workers, a gigabyte between
// them; the process-wide budget (512 MiB in a 32-bit process, sized from the
// machine's memory in a 64-bit one) holds all threaded decodes, and the rest
// decode on their calling threads.
TEST_F(Load, TenThreadsExtractingLargeBlocksStayWithinTheBudget)
{
    MEMORYSTATUSEX memory;
    memory.dwLength = sizeof(memory);
    ASSERT_TRUE(GlobalMemoryStatusEx(&memory));
    const uint64_t kBudget = codec::LimitsFor(codec::kThisWordSize, memory.ullTotalPhys).decoder_budget;
    // Room for the ten single-threaded decoders, file buffers and stacks.
    constexpr uint64_t kBeside = 64ull << 20;
    const std::string dir = testhost::ScratchDir("budget");
    const std::string archive = dir + "\\big.xz";
    uint32_t crc = 0;
    uint64_t size = 0;
    {
        const Bytes data = testhost::SampleText(64u << 20);
        crc = Crc(data);
        size = data.size();
        ASSERT_TRUE(testhost::WriteBytes(archive, testhost::EncodeXzBlocks(data, 1, 32u << 20)));
    }
    StartLine start(kSlots);
    std::vector<BigJob> jobs(kSlots);
    for (int i = 0; i < kSlots; ++i)
        jobs[i] = BigJob{&archive, dir + "\\out" + std::to_string(i), &start, -1};
    PeakWatch watch;
    const uint64_t before = testhost::CommittedBytes();
    const HANDLE watcher = CreateThread(nullptr, 0, WatchCommit, &watch, 0, nullptr);
    RunThreads(kSlots, RunBigJob, jobs.data(), sizeof(BigJob));
    watch.done = true;
    WaitForSingleObject(watcher, INFINITE);
    CloseHandle(watcher);
    for (const BigJob& job : jobs) {
        EXPECT_EQ(job.result, 0) << job.target;
        uint64_t got = 0;
        EXPECT_EQ(FileCrc(job.target, &got), crc) << job.target;
        EXPECT_EQ(got, size) << job.target;
        DeleteFileA(job.target.c_str());
    }
    const uint64_t growth = watch.peak > before ? watch.peak - before : 0;
    EXPECT_LE(growth, kBudget + kBeside) << "peak commit " << (watch.peak >> 20) << " MiB";
    testhost::ReportFigures("budget: 10 threads extracted 2 blocks of 32 MiB each; peak commit " +
                            std::to_string(growth >> 20) + " MiB above the " + std::to_string(before >> 20) +
                            " MiB before (budget " + std::to_string(kBudget >> 20) + " MiB)");
}

// One host thread, the plain cycle a file manager repeats as the user moves
// through a folder of archives.
TEST_F(Load, AThousandRoundsLeaveWhatTenLeft)
{
    const std::string dir = testhost::ScratchDir("leak");
    const std::vector<Archive> archives = MakeArchives(dir);
    auto cycle = [&](int round) {
        const Archive& a = archives[1 + round % 3];
        int32_t code = 0;
        const int32_t h = testhost::Open(a.path, &code);
        ASSERT_NE(h, 0) << code;
        EntryHeaderEx header = {};
        EXPECT_EQ(Export<ReadHeaderExFn>("ReadHeaderEx")(h, &header), 0);
        EXPECT_EQ(Export<ProcessFileFn>("ProcessFile")(h, kTest, nullptr, nullptr), 0);
        EXPECT_EQ(testhost::Close(h), 0);
    };
    for (int r = 0; r < 10; ++r)
        cycle(r);
    const testhost::ProcessUsage after_ten = testhost::MeasureProcess();
    for (int r = 10; r < 1000; ++r)
        cycle(r);
    const testhost::ProcessUsage after_thousand = testhost::MeasureProcess();
    testhost::ReportFigures("leak: after 10 rounds: " + Describe(after_ten));
    testhost::ReportFigures("leak: after 1,000 rounds: " + Describe(after_thousand));
    ExpectNoGrowth(after_ten, after_thousand);
}

} // namespace
