// Test and extraction of multi-block archives through xz.ztx against xz.exe decoding on one
// thread and on every core: the comparison a user makes with the tools that decode such files
// in parallel.
//
// usage: bench_decode_mt [--runs N] OUTDIR XZ.EXE [--target R] ARCHIVE...
//   N        repetitions; each times the plug-in and both xz.exe runs back to back (default 5)
//   R        the ratio against xz.exe -T0 that the archives after it must reach (default 0.90)
//   OUTDIR   an existing folder for the extracted files
//   XZ.EXE   the reference decoder, run as "xz.exe -t" and "xz.exe -dc" with -T1 and -T0
// usage: bench_decode_mt --abort [--runs N] OUTDIR ARCHIVE
//   the host answers 0 once the reports reach 1 %, 50 % and 99 % of the unpacked size; timed
//   from that answer to ProcessFile's return, for test and extraction, N times each
//
// Loads xz.ztx from its own folder, as a host does. Dies when an extraction differs from
// xz.exe's or the progress reports do not add up to the unpacked size.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "plugin/ztx_api.h"

namespace {

using bench::Die;
using bench::MedianRatio;
using bench::Plugin;
using bench::Settle;

constexpr int kDefaultRuns = 5;
// Against xz.exe on every core, in the same run: at least this share of its
// speed; on files that xz.exe decodes on one core whatever it is told, a
// larger target is given on the command line.
constexpr double kDefaultTarget = 0.90;
// Below this gain of xz.exe -T0 over -T1, other work held the cores, and a
// single-threaded plug-in can meet the target it would miss on a quiet machine.
// On two quiet cores xz.exe gains about 1.5 on the prose archive (blocks of
// 8 MiB) and 1.7 on the package member.
constexpr double kBusyCoresGain = 1.3;

// One operation's times, one entry per repetition.
struct Times {
    std::vector<double> plugin;
    std::vector<double> xz_one_thread;
    std::vector<double> xz_all_cores;
};

// xz.exe's times less the start of a process in the same repetition: the
// plug-in's times hold no such start, and on the prose archive it can be a
// tenth or more of what xz.exe -T0 takes on two cores.
std::vector<double> LessStart(const std::vector<double>& times, const std::vector<double>& start)
{
    std::vector<double> net;
    for (size_t i = 0; i < times.size(); ++i)
        net.push_back(times[i] - start[i]);
    return net;
}

void Print(const char* what, const Times& t, const std::vector<double>& start, double target)
{
    const std::vector<double> one_thread = LessStart(t.xz_one_thread, start);
    const std::vector<double> all_cores = LessStart(t.xz_all_cores, start);
    const double ratio = MedianRatio(all_cores, t.plugin);
    std::printf("  %-8s %9.3f s %9.3f s %9.3f s %8.2f %8.2f   %s\n", what, bench::Median(t.plugin),
                bench::Median(one_thread), bench::Median(all_cores), MedianRatio(one_thread, t.plugin), ratio,
                bench::Verdict(ratio, target).c_str());
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    const double gain = MedianRatio(one_thread, all_cores);
    // Where xz.exe cannot use its threads, its gain says nothing of the cores.
    if (system.dwNumberOfProcessors > 1 && gain < kBusyCoresGain && target <= 1)
        std::printf("  %-8s xz.exe -T0 ran only %.2f times as fast as -T1 on %lu cores: other work held the "
                    "cores, and this verdict says little\n",
                    "", gain, static_cast<unsigned long>(system.dwNumberOfProcessors));
}

// One operation in one repetition: xz.exe runs once before the plug-in and
// once after it, with the thread counts on alternate sides from one
// repetition to the next, so that neither always follows the plug-in.
template <typename RunXz, typename RunPlugin>
void TimeTrio(int round, Times& t, RunXz xz, RunPlugin plugin)
{
    const int first = round % 2;
    double xz_times[2];
    Settle();
    xz_times[first] = xz(first);
    Settle();
    t.plugin.push_back(plugin());
    Settle();
    xz_times[1 - first] = xz(1 - first);
    t.xz_one_thread.push_back(xz_times[0]);
    t.xz_all_cores.push_back(xz_times[1]);
}

// How long the host waits for its abort, from the callback's 0 to the export's return.
constexpr double kAbortMedianTarget = 0.100;
constexpr double kAbortWorstTarget = 0.250;

void AbortDelays(const Plugin& p, const std::string& archive, const std::string& out_dir, int runs)
{
    const uint64_t unpacked = bench::UnpackedSize(p, archive);
    const std::string target = out_dir + "aborted.out";
    std::printf("Abort of %s (%llu bytes unpacked): from the callback's 0 to ProcessFile's return, "
                "%d runs each\n",
                archive.c_str(), static_cast<unsigned long long>(unpacked), runs);
    std::printf("  %-8s %8s %11s %11s\n", "", "at", "median", "worst");
    for (const int32_t operation : {kTest, kExtract}) {
        for (const double share : {0.01, 0.50, 0.99}) {
            std::vector<double> delays;
            for (int round = 0; round < runs; ++round) {
                Settle();
                const int32_t handle = bench::OpenOrDie(p, archive);
                p.set_progress(handle, bench::WatchBytes);
                bench::StartWatch(static_cast<uint64_t>(static_cast<double>(unpacked) * share));
                const int32_t code =
                    p.process(handle, operation, nullptr, operation == kExtract ? target.c_str() : nullptr);
                bench::EndWatch();
                p.close(handle);
                if (code != 21)
                    Die("an aborted ProcessFile returned " + std::to_string(code));
                if (operation == kExtract && GetFileAttributesA(target.c_str()) != INVALID_FILE_ATTRIBUTES)
                    Die("an aborted extraction left its file");
                delays.push_back(bench::g_watch.last - bench::g_watch.aborted);
            }
            const bool met = bench::Median(delays) <= kAbortMedianTarget && bench::Worst(delays) <= kAbortWorstTarget;
            std::printf("  %-8s %6.0f %% %s   target median <= %.0f ms, worst <= %.0f ms: %s\n",
                        operation == kTest ? "test" : "extract", share * 100, bench::MedianWorstMs(delays).c_str(),
                        kAbortMedianTarget * 1e3, kAbortWorstTarget * 1e3, met ? "met" : "MISSED");
        }
    }
}

void Bench(const Plugin& p, const std::string& archive, const std::string& out_dir, const std::string& xz_exe,
           int runs, double target)
{
    const uint64_t unpacked = bench::UnpackedSize(p, archive);
    const std::string extracted = out_dir + "plugin.out";
    const std::string xz_out[2] = {out_dir + "xz-T1.out", out_dir + "xz-T0.out"};
    const std::string threads[2] = {" -T1 \"", " -T0 \""};
    auto remove_outputs = [&] {
        for (const std::string& f : {extracted, xz_out[0], xz_out[1]})
            DeleteFileA(f.c_str());
    };
    Times test;
    Times extract;
    std::vector<double> start;
    for (int round = 0; round < runs; ++round) {
        TimeTrio(
            round, test, [&](int k) { return bench::TimeProgram(xz_exe, "-t" + threads[k] + archive + "\"", ""); },
            [&] { return bench::TimeProcessFile(p, archive, kTest, "", unpacked); });
        remove_outputs();
        TimeTrio(
            round, extract,
            [&](int k) { return bench::TimeProgram(xz_exe, "-dc" + threads[k] + archive + "\"", xz_out[k]); },
            [&] { return bench::TimeProcessFile(p, archive, kExtract, extracted, unpacked); });
        if (round == 0 && !(bench::SameFile(extracted, xz_out[0]) && bench::SameFile(extracted, xz_out[1])))
            Die("the extraction of " + archive + " differs from xz.exe -dc");
        Settle();
        start.push_back(bench::TimeProgram(xz_exe, "--version", ""));
    }
    remove_outputs();

    std::printf("%s: %llu bytes unpacked, median of %d repetitions\n", archive.c_str(),
                static_cast<unsigned long long>(unpacked), runs);
    std::printf("  %-8s %11s %11s %11s %8s %8s\n", "", "plug-in", "xz.exe -T1", "xz.exe -T0", "vs -T1", "vs -T0");
    Print("test", test, start, target);
    Print("extract", extract, start, target);
    std::printf("  xz.exe times are less the start of a process, %.3f s (xz.exe --version); "
                "the extractions equal xz.exe -dc's\n",
                bench::Median(start));
}

} // namespace

int main(int argc, char** argv)
{
    int runs = kDefaultRuns;
    if (argc > 1 && std::string(argv[1]) == "--abort") {
        --argc;
        ++argv;
        bench::TakeRuns(argc, argv, runs);
        if (argc != 3 || runs < 1) {
            std::fprintf(stderr, "usage: bench_decode_mt --abort [--runs N] OUTDIR ARCHIVE\n");
            return 2;
        }
        AbortDelays(bench::LoadPlugin(), argv[2], std::string(argv[1]) + "\\", runs);
        return 0;
    }
    bench::TakeRuns(argc, argv, runs);
    if (argc < 4 || runs < 1) {
        std::fprintf(stderr, "usage: bench_decode_mt [--runs N] OUTDIR XZ.EXE [--target R] ARCHIVE...\n");
        return 2;
    }
    const std::string out_dir = std::string(argv[1]) + "\\";
    const std::string xz_exe = argv[2];
    const Plugin p = bench::LoadPlugin();
    std::printf("Multi-block decoding: ratio = xz.exe time (less its process start) / plug-in time, the median "
                "of the repetitions' ratios (1 or more: the plug-in is faster)\n");
    double target = kDefaultTarget;
    for (int i = 3; i < argc; ++i) {
        if (std::strcmp(argv[i], "--target") == 0 && i + 1 < argc) {
            target = std::atof(argv[++i]);
            continue;
        }
        Bench(p, argv[i], out_dir, xz_exe, runs, target);
    }
    return 0;
}
