// One side of the liblzma A/B: the plug-in's test and extraction of one archive through
// ProcessFile, with whichever liblzma.dll sits beside it. bench/run.sh runs this program from
// two folders that differ only in that DLL, alternating, and pairs the times.
//
// usage: bench_codec_ab [--runs N] ARCHIVE OUTDIR
//   N        rounds of one test and one extraction; the best of each is printed (default 3)
//   ARCHIVE  a single-block archive, so that the codec's own decoder does the work
//   OUTDIR   an existing folder for the extracted file
// Prints one line: "liblzma VERSION test SECONDS extract SECONDS".
//
// Loads xz.ztx and liblzma.dll from its own folder, as a host does. Dies when the progress
// reports do not add up to the unpacked size.
#include <windows.h>

#include <cstdio>
#include <string>

#include "bench/bench_common.h"
#include "plugin/ztx_api.h"

int main(int argc, char** argv)
{
    int runs = 3;
    bench::TakeRuns(argc, argv, runs);
    if (argc != 3 || runs < 1) {
        std::fprintf(stderr, "usage: bench_codec_ab [--runs N] ARCHIVE OUTDIR\n");
        return 2;
    }
    const std::string archive = argv[1];
    const std::string target = std::string(argv[2]) + "\\extracted.bin";

    const bench::Plugin p = bench::LoadPlugin();
    const char* version = bench::LiblzmaVersion();
    const uint64_t unpacked = bench::UnpackedSize(p, archive);

    bench::Best test, extract;
    for (int round = 0; round < runs; ++round) {
        bench::Settle();
        test.Add(bench::TimeProcessFile(p, archive, kTest, "", unpacked));
        bench::Settle();
        extract.Add(bench::TimeProcessFile(p, archive, kExtract, target, unpacked));
    }
    DeleteFileA(target.c_str());
    std::printf("liblzma %s test %.6f extract %.6f\n", version, test.seconds, extract.seconds);
    return 0;
}
