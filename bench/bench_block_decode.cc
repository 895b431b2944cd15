// The block decoder as a host sees it: its time against the module's own single-threaded decoder
// on the same file, how long the host waits between two progress reports, how soon an abort is
// answered, and what opening and testing archives with lying indexes cost.
//
// usage: bench_block_decode [--runs N] [--target R] ARCHIVE...
//   N pairs of tests per archive, each the module with the processors it counts (the block
//   decoder) and with one processor (its single-threaded decoder) back to back, which goes first
//   alternating; R is the most the block decoder's time may be of the single-threaded one for the
//   archives after it (0: no target, the default)
// usage: bench_block_decode --abort [--runs N] ARCHIVE
//   the host raises its flag at 1 %, 50 % and 99 % of the test's median time, measured first;
//   timed from the flag to ProcessFile's return, N aborted runs each
// usage: bench_block_decode --open-test [--runs N] ARCHIVE...
//   OpenArchive and a test of each archive, timed apart, with their results (nothing enforced)
//
// Loads xz.ztx from its own folder, as a host does. Dies when a test fails, the reports do not add
// up to the unpacked size, or counting one processor did not keep the module's workers from starting.
#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "plugin/ztx_api.h"

namespace {

using bench::Die;
using bench::Median;
using bench::Now;
using bench::Plugin;
using bench::Settle;
using bench::Worst;

constexpr int kDefaultRuns = 5;
// How long the host may wait between two progress reports, and for its abort.
constexpr double kMedianWaitTarget = 0.100;
constexpr double kWorstWaitTarget = 0.250;
// Above this share of the machine's cores taken by other processes during
// the tests (on two cores, a fifth of the second one), the block decoder
// had no free second core.
constexpr double kBusyMachine = 0.10;

// --- one processor, as the module counts them ---------------------------------
//
// The module counts processors with GetSystemInfo at every test and extraction.
// That count is the machine's whatever the process's affinity mask says (on
// Windows as under Wine, where a one-processor mask leaves it at 2), so a mask
// would not move the module to its single-threaded decoder. The bench instead
// answers that one import of the module itself, as a one-processor machine
// would: everything else the module does, and every byte it decodes, is its own.

std::atomic<DWORD> g_processors{0}; // 0: the machine's count

void WINAPI SystemInfoWithProcessors(LPSYSTEM_INFO info)
{
    GetSystemInfo(info);
    const DWORD processors = g_processors.load();
    if (processors != 0 && processors < info->dwNumberOfProcessors) {
        info->dwNumberOfProcessors = processors;
        info->dwActiveProcessorMask = (DWORD_PTR{1} << processors) - 1;
    }
}

// Points the module's import of dll!function at replacement; false when the
// module has no such import.
bool RedirectImport(HMODULE module, const char* dll, const char* function, void* replacement)
{
    uint8_t* const base = reinterpret_cast<uint8_t*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0)
        return false;
    for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); d->Name != 0;
         ++d) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + d->Name), dll) != 0 || d->OriginalFirstThunk == 0)
            continue;
        const auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const auto* by_name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), function) != 0)
                continue;
            DWORD protection = 0;
            if (!VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), PAGE_READWRITE, &protection))
                return false;
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof(slots->u1.Function), protection, &protection);
            return true;
        }
    }
    return false;
}

// The plug-in, with its processor count in the bench's hands.
Plugin LoadCountedPlugin()
{
    const Plugin p = bench::LoadPlugin();
    const HMODULE module = GetModuleHandleA((bench::ProgramDir() + "xz.ztx").c_str());
    if (module == nullptr ||
        !RedirectImport(module, "kernel32.dll", "GetSystemInfo", reinterpret_cast<void*>(&SystemInfoWithProcessors)))
        Die("xz.ztx imports no kernel32!GetSystemInfo: its processor count cannot be set");
    return p;
}

int ThreadsOfThisProcess()
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    THREADENTRY32 entry;
    entry.dwSize = sizeof(entry);
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    CloseHandle(snapshot);
    return count;
}

// --- the machine's other work -------------------------------------------------
//
// The block decoder needs a second core that is free; a build or a fuzzer
// beside the bench takes it, and the block decoder then runs no faster than
// one thread while it still pays for its hand-overs. What the rest of the
// machine took during a test is the cores' busy time less this process's own.

struct CpuTimes {
    uint64_t idle = 0;  // all cores, 100 ns units
    uint64_t total = 0; // all cores, idle included
    uint64_t own = 0;   // this process, kernel and user
};

uint64_t Ticks(const FILETIME& t) { return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; }

CpuTimes SampleCpu()
{
    CpuTimes c;
    FILETIME idle, kernel, user, created, exited, own_kernel, own_user;
    if (GetSystemTimes(&idle, &kernel, &user) &&
        GetProcessTimes(GetCurrentProcess(), &created, &exited, &own_kernel, &own_user)) {
        // The system's kernel time includes its idle time.
        c.idle = Ticks(idle);
        c.total = Ticks(kernel) + Ticks(user);
        c.own = Ticks(own_kernel) + Ticks(own_user);
    }
    return c;
}

// The share of all cores that other processes kept busy between two samples.
double OthersShare(const CpuTimes& before, const CpuTimes& after)
{
    const double total = static_cast<double>(after.total - before.total);
    if (total <= 0)
        return 0;
    const double others = total - static_cast<double>(after.idle - before.idle) -
                          static_cast<double>(after.own - before.own);
    return std::min(1.0, std::max(0.0, others / total));
}

// --- a host that watches its reports ------------------------------------------
//
// The opening report (the one that names the file, before any decoding) is
// not a step: the waits counted are those between two step reports, from the
// first to the last. The wait for the first one (the walk over the indexes)
// and after the last one (to the return) are kept apart.
struct StepWatch {
    double called = 0;     // ProcessFile was called
    double first_step = 0; // the first step report
    double last_step = 0;  // the latest step report
    double returned = 0;
    double longest_gap = 0;
    uint64_t reported = 0;
    uint64_t steps = 0;
    // An abort: when the host's flag (g_flag) was raised, and the first 0
    // answered. flag_raised is written by the thread that raises the flag
    // before it does; read after that thread has ended.
    double flag_raised = 0;
    double answered = 0;
    double others_share = 0; // of the cores, taken by other processes during the run
    // Threads of the process, looked at now and then during a run.
    bool count_threads = false;
    double threads_counted = 0;
    int most_threads = 0;
};
StepWatch g_watch;
// The host's flag, apart from the watch so that a run starts from a plain
// StepWatch() and no field can be left over from the run before.
std::atomic<bool> g_flag{false};

constexpr double kThreadCountInterval = 0.005;

int32_t ZTX_CALL WatchSteps(const char* name, int32_t count)
{
    const double now = Now();
    StepWatch& w = g_watch;
    if (name == nullptr) {
        if (w.last_step != 0)
            w.longest_gap = std::max(w.longest_gap, now - w.last_step);
        else
            w.first_step = now;
        w.last_step = now;
        ++w.steps;
        if (count > 0)
            w.reported += static_cast<uint64_t>(count);
    }
    if (w.count_threads && now - w.threads_counted >= kThreadCountInterval) {
        w.most_threads = std::max(w.most_threads, ThreadsOfThisProcess());
        w.threads_counted = Now();
        // The bench's own look must not count as the module's wait.
        if (name == nullptr)
            w.last_step = w.threads_counted;
    }
    if (!g_flag.load())
        return 1;
    if (w.answered == 0)
        w.answered = now;
    return 0;
}

void ResetWatch()
{
    g_watch = StepWatch();
    g_flag.store(false);
}

// One test through ProcessFile with `processors` counted (0: the machine's);
// its result, with g_watch holding what the host saw.
int32_t Test(const Plugin& p, const std::string& archive, DWORD processors, bool count_threads = false)
{
    g_processors.store(processors);
    const int32_t handle = bench::OpenOrDie(p, archive);
    p.set_progress(handle, WatchSteps);
    ResetWatch();
    g_watch.count_threads = count_threads;
    const CpuTimes before = SampleCpu();
    g_watch.called = Now();
    const int32_t code = p.process(handle, kTest, nullptr, nullptr);
    g_watch.returned = Now();
    g_watch.others_share = OthersShare(before, SampleCpu());
    p.close(handle);
    g_processors.store(0);
    return code;
}

// A whole test that must succeed with every byte reported.
void TestOrDie(const Plugin& p, const std::string& archive, DWORD processors, uint64_t unpacked)
{
    const int32_t code = Test(p, archive, processors);
    if (code != 0)
        Die("ProcessFile failed with " + std::to_string(code) + " on " + archive);
    if (g_watch.reported != unpacked)
        Die("the progress reports add up to " + std::to_string(g_watch.reported) + " bytes, not " +
            std::to_string(unpacked));
}

std::string Verdict(bool met) { return met ? "met" : "MISSED"; }

// --- the block decoder against one processor ----------------------------------

struct EngineTimes {
    std::vector<double> seconds;
    std::vector<double> longest_gap;
    std::vector<double> first_step; // from the call
    std::vector<double> tail;       // from the last step report to the return
    std::vector<double> steps;
    std::vector<double> others_share;
};

void Record(EngineTimes& t)
{
    const StepWatch& w = g_watch;
    t.seconds.push_back(w.returned - w.called);
    t.longest_gap.push_back(w.longest_gap);
    t.first_step.push_back(w.steps > 0 ? w.first_step - w.called : w.returned - w.called);
    t.tail.push_back(w.steps > 0 ? w.returned - w.last_step : 0);
    t.steps.push_back(static_cast<double>(w.steps));
    t.others_share.push_back(w.others_share);
}

void PrintEngine(const char* what, const EngineTimes& t)
{
    std::printf("  %-22s %8.3f s %8.1f ms %8.1f ms %10.1f ms %8.1f ms %9.0f %8.0f %%\n", what, Median(t.seconds),
                Median(t.longest_gap) * 1e3, Worst(t.longest_gap) * 1e3, Median(t.first_step) * 1e3,
                Median(t.tail) * 1e3, Median(t.steps), Median(t.others_share) * 100);
}

void Pairs(const Plugin& p, const std::string& archive, int runs, double target)
{
    const uint64_t unpacked = bench::UnpackedSize(p, archive);

    // The processor count must really reach the module: the block decoder
    // starts workers, the single-threaded decoder none. Once an archive has
    // shown that, an archive tested on as many threads either way is one the
    // module keeps on the stream decoder whatever the count (blocks too
    // small to be worth a hand-over), which its row then says.
    static bool count_reaches_module = false;
    Settle();
    if (Test(p, archive, 0, true) != 0)
        Die("the test of " + archive + " failed");
    const int threads_block = g_watch.most_threads;
    Settle();
    if (Test(p, archive, 1, true) != 0)
        Die("the test of " + archive + " failed");
    const int threads_single = g_watch.most_threads;
    const bool blocks_taken = threads_block > threads_single;
    if (blocks_taken)
        count_reaches_module = true;
    else if (!count_reaches_module)
        Die("with the machine's processors the test ran on " + std::to_string(threads_block) +
            " threads, with one processor on " + std::to_string(threads_single) +
            ": the module did not change its decoder");

    EngineTimes block;
    EngineTimes single;
    for (int round = 0; round < runs; ++round) {
        for (int k = 0; k < 2; ++k) {
            const bool one_processor = (round + k) % 2 == 1;
            Settle();
            TestOrDie(p, archive, one_processor ? 1 : 0, unpacked);
            Record(one_processor ? single : block);
        }
    }

    SYSTEM_INFO system;
    GetSystemInfo(&system);
    std::printf("%s: %llu bytes unpacked; test, median of %d pairs\n", archive.c_str(),
                static_cast<unsigned long long>(unpacked), runs);
    std::printf("  %-22s %10s %11s %11s %13s %11s %9s %10s\n", "", "time", "gap median", "gap worst", "first report",
                "to return", "reports", "others");
    const std::string block_name =
        std::to_string(system.dwNumberOfProcessors) + (blocks_taken ? " processors (blocks)" : " processors (stream)");
    PrintEngine(block_name.c_str(), block);
    PrintEngine("1 processor (stream)", single);
    std::printf("  threads seen during a test: %d with %lu processors, %d with one%s\n", threads_block,
                static_cast<unsigned long>(system.dwNumberOfProcessors), threads_single,
                blocks_taken ? "" : ": the module chose the stream decoder with either count");
    const double ratio = bench::MedianRatio(block.seconds, single.seconds);
    if (target > 0)
        std::printf("  time with %lu processors / with one: %.2f (median of the pairs' ratios), target <= %.2f: %s\n",
                    static_cast<unsigned long>(system.dwNumberOfProcessors), ratio, target,
                    Verdict(ratio <= target).c_str());
    else
        std::printf("  time with %lu processors / with one: %.2f (median of the pairs' ratios)\n",
                    static_cast<unsigned long>(system.dwNumberOfProcessors), ratio);
    const double others = std::max(Median(block.others_share), Median(single.others_share));
    if (others > kBusyMachine)
        std::printf("  other processes kept %.0f %% of the cores busy during these tests: the ratio says little\n",
                    others * 100);
    const bool gaps_met =
        Median(block.longest_gap) <= kMedianWaitTarget && Worst(block.longest_gap) <= kWorstWaitTarget;
    std::printf("  longest gap between step reports with %lu processors: target median <= %.0f ms, worst <= %.0f "
                "ms: %s\n",
                static_cast<unsigned long>(system.dwNumberOfProcessors), kMedianWaitTarget * 1e3,
                kWorstWaitTarget * 1e3, Verdict(gaps_met).c_str());
}

// --- aborts at a time ---------------------------------------------------------

struct Alarm {
    double at;
};

// Raises the host's flag at the given time, as a host's own thread would
// when its user presses Cancel.
DWORD WINAPI RaiseFlag(LPVOID parameter)
{
    const double at = static_cast<const Alarm*>(parameter)->at;
    for (double left = at - Now(); left > 0; left = at - Now()) {
        if (left > 0.002)
            Sleep(static_cast<DWORD>((left - 0.002) * 1e3));
        // The last two milliseconds are waited out by spinning: Sleep's
        // granularity would move the flag later than asked.
    }
    g_watch.flag_raised = Now();
    g_flag.store(true);
    return 0;
}

void TimedAborts(const Plugin& p, const std::string& archive, int runs)
{
    const uint64_t unpacked = bench::UnpackedSize(p, archive);
    std::vector<double> whole;
    for (int round = 0; round < runs; ++round) {
        Settle();
        TestOrDie(p, archive, 0, unpacked);
        whole.push_back(g_watch.returned - g_watch.called);
    }
    const double measured = Median(whole);
    // A test that finishes before its flag lowers the time the shares are
    // taken of to its own: a run is about as likely faster than the median
    // as slower, and at 99 % it would otherwise keep finishing first.
    double run_time = measured;
    std::printf("Abort of a test of %s (%llu bytes unpacked; a whole test takes %.3f s, median of %d): the host "
                "raises its flag at a share of that time, timed from the flag to ProcessFile's return, %d runs each\n",
                archive.c_str(), static_cast<unsigned long long>(unpacked), measured, runs, runs);
    std::printf("  %8s %11s %11s %16s %12s\n", "at", "median", "worst", "flag to report", "finished");
    for (const double share : {0.01, 0.50, 0.99}) {
        std::vector<double> delays;
        std::vector<double> heard;
        int finished = 0; // runs that ended before the flag, tried again
        while (static_cast<int>(delays.size()) < runs) {
            if (finished > 3 * runs)
                Die("the test kept finishing before the flag");
            Settle();
            const int32_t handle = bench::OpenOrDie(p, archive);
            p.set_progress(handle, WatchSteps);
            ResetWatch();
            g_watch.called = Now();
            Alarm alarm{g_watch.called + share * run_time};
            const HANDLE thread = CreateThread(nullptr, 0, RaiseFlag, &alarm, 0, nullptr);
            if (thread == nullptr)
                Die("no thread for the host's flag");
            const int32_t code = p.process(handle, kTest, nullptr, nullptr);
            g_watch.returned = Now();
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
            p.close(handle);
            // A test that ended before its flag was heard aborted nothing:
            // it is run again.
            if (code == 0) {
                ++finished;
                run_time = std::min(run_time, g_watch.returned - g_watch.called);
                continue;
            }
            const double raised = g_watch.flag_raised;
            if (code != 21)
                Die("a test aborted at " + std::to_string(share) + " returned " + std::to_string(code));
            delays.push_back(g_watch.returned - raised);
            heard.push_back(g_watch.answered - raised);
        }
        const bool met = Median(delays) <= kMedianWaitTarget && Worst(delays) <= kWorstWaitTarget;
        std::printf("  %6.0f %% %s %13.1f ms %12d   target median <= %.0f ms, worst <= %.0f ms: %s\n", share * 100,
                    bench::MedianWorstMs(delays).c_str(), Median(heard) * 1e3, finished, kMedianWaitTarget * 1e3,
                    kWorstWaitTarget * 1e3, Verdict(met).c_str());
    }
}

// --- open and test, informative -----------------------------------------------

void OpenTest(const Plugin& p, const std::string& archive, int runs)
{
    std::vector<double> opens;
    std::vector<double> tests;
    std::string results;
    for (int round = 0; round < runs; ++round) {
        Settle();
        OpenArchiveRecord record = {archive.c_str(), 0, 0};
        const double start = Now();
        const int32_t handle = p.open(&record);
        opens.push_back(Now() - start);
        if (handle == 0) {
            results += (results.empty() ? "open " : ",") + std::to_string(record.open_result);
            continue;
        }
        p.set_progress(handle, WatchSteps);
        ResetWatch();
        const double test_start = Now();
        const int32_t code = p.process(handle, kTest, nullptr, nullptr);
        tests.push_back(Now() - test_start);
        p.close(handle);
        results += (results.empty() ? "" : ",") + std::to_string(code);
    }
    const char* name = std::strrchr(archive.c_str(), '\\') != nullptr ? std::strrchr(archive.c_str(), '\\') + 1
                                                                      : archive.c_str();
    std::printf("  %-28s %-14s %9.1f ms", name, results.c_str(), Median(opens) * 1e3);
    if (!tests.empty())
        std::printf(" %9.1f ms %9.1f ms", Median(tests) * 1e3, Worst(tests) * 1e3);
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv)
{
    int runs = kDefaultRuns;
    std::string mode;
    if (argc > 1 && (std::strcmp(argv[1], "--abort") == 0 || std::strcmp(argv[1], "--open-test") == 0)) {
        mode = argv[1];
        --argc;
        ++argv;
    }
    bench::TakeRuns(argc, argv, runs);
    if (argc < 2 || runs < 1 || (mode == "--abort" && argc != 2)) {
        std::fprintf(stderr, "usage: bench_block_decode [--runs N] [--target R] ARCHIVE...\n"
                             "       bench_block_decode --abort [--runs N] ARCHIVE\n"
                             "       bench_block_decode --open-test [--runs N] ARCHIVE...\n");
        return 2;
    }
    const Plugin p = LoadCountedPlugin();
    std::printf("liblzma.dll beside the module: lzma_version_string() = %s\n", bench::LiblzmaVersion());
    if (mode == "--abort") {
        TimedAborts(p, argv[1], runs);
        return 0;
    }
    if (mode == "--open-test") {
        std::printf("OpenArchive, then a test, with the machine's processors; results of %d runs, median times\n",
                    runs);
        std::printf("  %-28s %-14s %12s %12s %12s\n", "archive", "results", "open", "test", "test worst");
        for (int i = 1; i < argc; ++i)
            OpenTest(p, argv[i], runs);
        return 0;
    }
    double target = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--target") == 0 && i + 1 < argc) {
            target = std::atof(argv[++i]);
            continue;
        }
        Pairs(p, argv[i], runs, target);
    }
    return 0;
}
