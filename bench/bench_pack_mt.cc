// Packing through xz.ztx with threads on request (Threads=0: one per logical processor) against
// xz.exe -6e -T0 on the same file, and whether the plug-in wrote what xz -6e -T2 writes.
//
// usage: bench_pack_mt [--runs N] OUTDIR XZ.EXE INPUT REFERENCE.xz
//   N             repetitions; each times the plug-in and xz.exe back to back (default 3)
//   OUTDIR        an existing folder for the packed files and the settings file
//   XZ.EXE        the reference packer, run as "xz.exe -6e -T0 --check=crc64 -c"
//   INPUT         the file to pack; more than one block (24 MiB at 6e) to give threads work
//   REFERENCE.xz  INPUT as the system's xz -6e -T2 --check=crc64 packed it
//
// Loads xz.ztx from its own folder, as a host does. A packed file that differs from REFERENCE.xz
// is reported, not fatal: without threaded packing the plug-in writes the single-threaded stream.
#include <windows.h>

#include <cstdio>
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

} // namespace

int main(int argc, char** argv)
{
    int runs = kDefaultRuns;
    bench::TakeRuns(argc, argv, runs);
    if (argc != 5 || runs < 1) {
        std::fprintf(stderr, "usage: bench_pack_mt [--runs N] OUTDIR XZ.EXE INPUT REFERENCE.xz\n");
        return 2;
    }
    const std::string out_dir = std::string(argv[1]) + "\\";
    const std::string xz_exe = argv[2];
    const std::string input = argv[3];
    const std::string reference = argv[4];

    HMODULE plugin = bench::Load("xz.ztx");
    const auto pack_files = bench::Get<PackFilesFn>(plugin, "PackFiles");
    bench::Get<SetProcessDataProcFn>(plugin, "SetProcessDataProc")(-1, bench::CountBytes);
    const std::string ini = out_dir + "bench-threads.ini";
    WritePrivateProfileStringA(settings::kSection, settings::kRateKey, "6", ini.c_str());
    WritePrivateProfileStringA(settings::kSection, settings::kExtremeKey, "1", ini.c_str());
    // 0 asks for one packing thread per logical processor.
    WritePrivateProfileStringA(settings::kSection, settings::kThreadsKey, "0", ini.c_str());
    bench::UseSettingsFile(plugin, ini);

    const std::string packed = out_dir + "plugin.xz";
    const std::string xz_packed = out_dir + "xz-T0.xz";
    std::vector<double> plugin_times;
    std::vector<double> xz_times;
    bool plugin_same = false;
    bool xz_same = false;
    for (int round = 0; round < runs; ++round) {
        DeleteFileA(packed.c_str());
        auto run_plugin = [&] {
            Settle();
            const double start = bench::Now();
            const int32_t code = bench::PackFile(pack_files, input, packed);
            plugin_times.push_back(bench::Now() - start);
            if (code != 0)
                Die("PackFiles failed with " + std::to_string(code));
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
    DeleteFileA(ini.c_str());

    const double ratio = bench::MedianRatio(xz_times, plugin_times);
    std::printf("Threaded packing of %s at 6e, median of %d repetitions "
                "(ratio = xz.exe time / plug-in time)\n",
                input.c_str(), runs);
    std::printf("  %-34s %9.3f s\n", "PackFiles, Threads=0", bench::Median(plugin_times));
    std::printf("  %-34s %9.3f s\n", "xz.exe -6e -T0 --check=crc64", bench::Median(xz_times));
    std::printf("  %-34s %9.2f   %s\n", "ratio", ratio, bench::Verdict(ratio, kTarget).c_str());
    std::printf("  same bytes as xz -6e -T2 --check=crc64: plug-in %s, xz.exe -T0 %s\n", YesNo(plugin_same),
                YesNo(xz_same));
    return 0;
}
