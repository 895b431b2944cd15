// Packing through xz.ztx with threads on request (Threads=0: one per logical processor) against
// xz.exe -6e -T0 on the same file, and whether the plug-in wrote what xz -6e -T2 writes.
//
// usage: bench_pack_mt [--runs N] [--abort-runs M] OUTDIR XZ.EXE INPUT REFERENCE.xz
//   N             repetitions; each times the plug-in and xz.exe back to back (default 3)
//   M             packings aborted at 1 %, 50 % and 99 % of INPUT each, timed from the
//                 callback's 0 to PackFiles' return (default 3; 0 skips them)
//   OUTDIR        an existing folder for the packed files and the settings file
//   XZ.EXE        the reference packer, run as "xz.exe -6e -T0 --check=crc64 -c"
//   INPUT         the file to pack; more than one block (24 MiB at 6e) to give threads work
//   REFERENCE.xz  INPUT as the system's xz -6e -T2 --check=crc64 packed it
//
// Loads xz.ztx from its own folder, as a host does. A packed file that differs from REFERENCE.xz
// is reported, not fatal: without threaded packing the plug-in writes the single-threaded stream.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "plugin/ztx_api.h"
#include "settings/pack_settings.h"

namespace {

using bench::Die;
using bench::Settle;

constexpr int kDefaultRuns = 3; // 6e is slow: about a minute per run on two cores
// Against xz.exe on every core, in the same run: at least this share of its speed.
constexpr double kTarget = 0.90;
const char* YesNo(bool b) { return b ? "yes" : "NO"; }
// The host hears from a threaded packing at least this often, the final
// flush included, and waits no longer than these for an abort.
constexpr double kGapTarget = 0.250;
constexpr double kAbortMedianTarget = 0.100;
constexpr double kAbortWorstTarget = 0.250;

uint64_t FileSize(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        Die("cannot read the size of " + path);
    return (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

void AbortDelays(PackFilesFn pack_files, const std::string& input, const std::string& packed, int runs)
{
    const uint64_t size = FileSize(input);
    std::printf("  abort: from the callback's 0 to PackFiles' return, %d runs each\n", runs);
    for (const double share : {0.01, 0.50, 0.99}) {
        std::vector<double> delays;
        for (int round = 0; round < runs; ++round) {
            Settle();
            bench::StartWatch(static_cast<uint64_t>(static_cast<double>(size) * share));
            const int32_t code = bench::PackFile(pack_files, input, packed);
            bench::EndWatch();
            if (code != 21)
                Die("an aborted PackFiles returned " + std::to_string(code));
            if (GetFileAttributesA(packed.c_str()) != INVALID_FILE_ATTRIBUTES)
                Die("an aborted packing left its file");
            delays.push_back(bench::g_watch.last - bench::g_watch.aborted);
        }
        const bool met = bench::Median(delays) <= kAbortMedianTarget && bench::Worst(delays) <= kAbortWorstTarget;
        std::printf("  %6.0f %% %s   target median <= %.0f ms, worst <= %.0f ms: %s\n", share * 100,
                    bench::MedianWorstMs(delays).c_str(), kAbortMedianTarget * 1e3, kAbortWorstTarget * 1e3,
                    met ? "met" : "MISSED");
    }
}

} // namespace

int main(int argc, char** argv)
{
    int runs = kDefaultRuns;
    bench::TakeRuns(argc, argv, runs);
    int abort_runs = 3;
    if (argc > 2 && std::string(argv[1]) == "--abort-runs") {
        abort_runs = std::atoi(argv[2]);
        argc -= 2;
        argv += 2;
    }
    if (argc != 5 || runs < 1 || abort_runs < 0) {
        std::fprintf(stderr, "usage: bench_pack_mt [--runs N] [--abort-runs M] OUTDIR XZ.EXE INPUT REFERENCE.xz\n");
        return 2;
    }
    const std::string out_dir = std::string(argv[1]) + "\\";
    const std::string xz_exe = argv[2];
    const std::string input = argv[3];
    const std::string reference = argv[4];

    HMODULE plugin = bench::Load("xz.ztx");
    const auto pack_files = bench::Get<PackFilesFn>(plugin, "PackFiles");
    bench::Get<SetProcessDataProcFn>(plugin, "SetProcessDataProc")(-1, bench::WatchBytes);
    const std::string ini = out_dir + "bench-threads.ini";
    WritePrivateProfileStringA(settings::kSection, settings::kRateKey, "6", ini.c_str());
    WritePrivateProfileStringA(settings::kSection, settings::kExtremeKey, "1", ini.c_str());
    // 0 asks for one packing thread per logical processor.
    WritePrivateProfileStringA(settings::kSection, settings::kThreadsKey, "0", ini.c_str());
    bench::UseSettingsFile(plugin, ini);

    const std::string packed = out_dir + "plugin.xz";
    const std::string xz_packed = out_dir + "xz-T0.xz";
    const uint64_t size = FileSize(input);
    std::vector<double> plugin_times;
    std::vector<double> gaps;
    std::vector<double> xz_times;
    bool plugin_same = false;
    bool xz_same = false;
    for (int round = 0; round < runs; ++round) {
        DeleteFileA(packed.c_str());
        auto run_plugin = [&] {
            Settle();
            bench::StartWatch();
            const double start = bench::Now();
            const int32_t code = bench::PackFile(pack_files, input, packed);
            plugin_times.push_back(bench::Now() - start);
            bench::EndWatch();
            gaps.push_back(bench::g_watch.longest_gap);
            if (code != 0)
                Die("PackFiles failed with " + std::to_string(code));
            if (bench::g_watch.reported != size)
                Die("the progress reports add up to " + std::to_string(bench::g_watch.reported) + " bytes, not " +
                    std::to_string(size));
        };
        auto run_xz = [&] {
            Settle();
            xz_times.push_back(bench::TimeProgram(xz_exe, "-6e -T0 --check=crc64 -c \"" + input + "\"", xz_packed));
        };
        // Which of the two runs first alternates, so that neither always
        // inherits the other's clean-up.
        if (round % 2 == 0) {
            run_plugin();
            run_xz();
        } else {
            run_xz();
            run_plugin();
        }
        if (round == 0) {
            plugin_same = bench::SameFile(packed, reference);
            xz_same = bench::SameFile(xz_packed, reference);
        }
    }
    DeleteFileA(packed.c_str());
    DeleteFileA(xz_packed.c_str());

    const double ratio = bench::MedianRatio(xz_times, plugin_times);
    std::printf("Threaded packing of %s at 6e, median of %d repetitions "
                "(ratio = xz.exe time / plug-in time)\n",
                input.c_str(), runs);
    std::printf("  %-34s %9.3f s\n", "PackFiles, Threads=0", bench::Median(plugin_times));
    std::printf("  %-34s %9.3f s\n", "xz.exe -6e -T0 --check=crc64", bench::Median(xz_times));
    std::printf("  %-34s %9.2f   %s\n", "ratio", ratio, bench::Verdict(ratio, kTarget).c_str());
    std::printf("  same bytes as xz -6e -T2 --check=crc64: plug-in %s, xz.exe -T0 %s\n", YesNo(plugin_same),
                YesNo(xz_same));
    const double worst_gap = bench::Worst(gaps);
    std::printf("  longest wait between progress reports in a whole packing (median, worst): %s   "
                "target <= %.0f ms: %s\n",
                bench::MedianWorstMs(gaps).c_str(), kGapTarget * 1e3, worst_gap <= kGapTarget ? "met" : "MISSED");
    if (abort_runs > 0)
        AbortDelays(pack_files, input, packed, abort_runs);
    DeleteFileA(ini.c_str());
    return 0;
}
