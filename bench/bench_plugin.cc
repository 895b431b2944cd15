// Decompression speed of xz.ztx against the limit its design allows: the same
// liblzma.dll decoding the whole file in memory in one call. Also times the
// cross-built xz.exe and OpenArchive on a small and a very large archive.
//
// usage: bench_plugin [--runs N] TEXT.xz BIG.xz OUTDIR [XZ.EXE]
//   N        decompressions are timed N times each, best kept, and the median of the rounds'
//            ratios to the limit given (default 3)
//   TEXT.xz  the archive whose extraction is timed (single stream)
//   BIG.xz   a large multi-block archive, only opened
//   OUTDIR   an existing folder for the extracted files
//   XZ.EXE   optional: the reference decompressor, run as "xz.exe -dc"
//
// Loads xz.ztx and liblzma.dll from its own folder, as a host does.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "codec/codec_api.h"
#include "plugin/ztx_api.h"

namespace {

using bench::Best;
using bench::Die;
using bench::Get;
using bench::Load;
using bench::Now;
using bench::OpenOrDie;
using bench::Plugin;
using bench::ReadFile;
using bench::Settle;
using bench::TimeProcessFile;
using bench::UnpackedSize;

constexpr int kDefaultRuns = 3; // each decompression: best of these
constexpr int kOpenRuns = 50; // OpenArchive: cheap, so more of them
// Extraction of a single-block archive keeps at least this share of the
// limit's speed, as the median of the rounds' ratios: with the file written
// on a thread of its own, the file reads and a callback per step may cost no
// more than that, as for a test, which writes nothing.
constexpr double kExtractTarget = 0.97;

// The plug-in never calls the one-call decoder, so the codec table has no type for it.
typedef lzma_ret(CODEC_CALL* BufferDecodeFn)(uint64_t* memlimit, uint32_t flags, const lzma_allocator* allocator,
                                             const uint8_t* in, size_t* in_pos, size_t in_size, uint8_t* out,
                                             size_t* out_pos, size_t out_size);

void Row(const char* what, double seconds, double limit, uint64_t bytes, const char* note = "")
{
    std::printf("  %-44s %8.3f s %8.1f MB/s %7.3f  %s\n", what, seconds, static_cast<double>(bytes) / seconds / 1e6,
                limit / seconds, note);
}

// Returns the median time.
double OpenRow(const Plugin& p, const std::string& path)
{
    std::vector<double> times;
    for (int i = 0; i < kOpenRuns; ++i) {
        const double start = Now();
        const int32_t handle = OpenOrDie(p, path);
        times.push_back(Now() - start);
        p.close(handle);
    }
    std::sort(times.begin(), times.end());
    const uint64_t unpacked = UnpackedSize(p, path);
    std::printf("  %-44s %8.3f ms best %8.3f ms median  (unpacked %llu bytes)\n",
                path.substr(path.find_last_of('\\') + 1).c_str(), times.front() * 1e3, times[times.size() / 2] * 1e3,
                static_cast<unsigned long long>(unpacked));
    return times[times.size() / 2];
}

// A stream header and then 1 GiB of zeros, as a sparse file: opening walks
// back over every zero, as stream padding may be of any length, before it
// finds no stream and fails with 13. Timed against a small archive's open.
constexpr int kZeroOpenRuns = 5;
constexpr double kZeroScanTarget = 1e9; // bytes per second

void OpenZerosRow(const Plugin& p, const std::string& dir, const std::string& header_from, double small)
{
    const std::string path = dir + "zeros-1GiB.xz";
    const std::vector<uint8_t> header = ReadFile(header_from);
    const HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    LARGE_INTEGER size;
    size.QuadPart = LONGLONG{1} << 30;
    DWORD written = 0;
    DWORD sparse = 0;
    // Sparse where the file system can; Wine's files on Linux are sparse anyway.
    DeviceIoControl(f, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &sparse, nullptr);
    if (f == INVALID_HANDLE_VALUE || !WriteFile(f, header.data(), 12, &written, nullptr) ||
        !SetFilePointerEx(f, size, nullptr, FILE_BEGIN) || !SetEndOfFile(f))
        Die("cannot make " + path);
    CloseHandle(f);
    std::vector<double> times;
    for (int i = 0; i < kZeroOpenRuns; ++i) {
        OpenArchiveRecord record = {path.c_str(), 0, 0};
        const double start = Now();
        const int32_t handle = p.open(&record);
        times.push_back(Now() - start);
        if (handle != 0 || record.open_result != 13)
            Die("the stream header and 1 GiB of zeros did not give 13 but " + std::to_string(record.open_result));
    }
    DeleteFileA(path.c_str());
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    const double speed = static_cast<double>(size.QuadPart) / median;
    std::printf("  %-44s %8.3f ms best %8.3f ms median  (13, as it must; %.2f GB/s, %.0f times a small open)  %s\n",
                "stream header + 1 GiB of zeros (sparse)", times.front() * 1e3, median * 1e3, speed / 1e9,
                median / small, speed >= kZeroScanTarget ? "target >= 1 GB/s: met" : "target >= 1 GB/s: MISSED");
}

} // namespace

int main(int argc, char** argv)
{
    int runs = kDefaultRuns;
    bench::TakeRuns(argc, argv, runs);
    if (argc < 4 || argc > 5 || runs < 1) {
        std::fprintf(stderr, "usage: bench_plugin [--runs N] TEXT.xz BIG.xz OUTDIR [XZ.EXE]\n");
        return 2;
    }
    const std::string text_xz = argv[1];
    const std::string big_xz = argv[2];
    const std::string out_dir = std::string(argv[3]) + "\\";
    const std::string xz_exe = argc == 5 ? argv[4] : "";

    const Plugin p = bench::LoadPlugin();

    HMODULE lzma = Load("liblzma.dll");
    const auto buffer_decode = Get<BufferDecodeFn>(lzma, "lzma_stream_buffer_decode");
    const auto stream_decoder = Get<codec::StreamDecoderFn>(lzma, "lzma_stream_decoder");
    const auto code = Get<codec::CodeFn>(lzma, "lzma_code");
    const auto end = Get<codec::EndFn>(lzma, "lzma_end");

    const std::vector<uint8_t> packed = ReadFile(text_xz);
    const uint64_t unpacked = UnpackedSize(p, text_xz);

    // (b) The limit: whole file in memory, one call, nothing else. Each run
    // gets a freshly allocated output buffer, touched before the clock starts:
    // where a 40 MB buffer lands in memory moves this row by up to a fifth
    // from one process to the next, and fresh buffers let the best of the
    // runs find a good placement instead of inheriting one.
    std::vector<uint8_t> reference;
    auto limit_run = [&] {
        std::vector<uint8_t> out(static_cast<size_t>(unpacked));
        uint64_t memlimit = codec::kNoMemoryLimit;
        size_t in_pos = 0;
        size_t out_pos = 0;
        const double start = Now();
        const lzma_ret ret = buffer_decode(&memlimit, 0, nullptr, packed.data(), &in_pos, packed.size(),
                                           out.data(), &out_pos, out.size());
        const double seconds = Now() - start;
        if (ret != LZMA_OK || out_pos != unpacked)
            Die("lzma_stream_buffer_decode failed with " + std::to_string(ret));
        if (reference.empty())
            reference.swap(out);
        else if (out != reference)
            Die("lzma_stream_buffer_decode gave different bytes from one run to the next");
        return seconds;
    };
    limit_run(); // makes the reference bytes; untimed, like a warm-up

    // The same with the plug-in's decoder settings, for a second opinion.
    auto one_code_run = [&] {
        std::vector<uint8_t> out(static_cast<size_t>(unpacked));
        lzma_stream stream;
        std::memset(&stream, 0, sizeof(stream));
        const double start = Now();
        if (stream_decoder(&stream, codec::kNoMemoryLimit, codec::kDecoderFlags) != LZMA_OK)
            Die("lzma_stream_decoder failed");
        stream.next_in = packed.data();
        stream.avail_in = packed.size();
        stream.next_out = out.data();
        stream.avail_out = out.size();
        const lzma_ret ret = code(&stream, LZMA_FINISH);
        end(&stream);
        const double seconds = Now() - start;
        if (ret != LZMA_STREAM_END || out != reference)
            Die("one lzma_code run failed with " + std::to_string(ret));
        return seconds;
    };

    const std::string target = out_dir + "extracted.bin";
    const std::string xz_out = out_dir + "xz-exe.out";
    Best limit, one_run, extract, test, xz, xz_start;
    // Each round's limit against its own extraction and test, timed back to back.
    std::vector<double> limit_times, extract_times, test_times;
    // Rounds rather than one row after the other: a load that comes and goes
    // then touches every row alike instead of skewing one of them.
    for (int round = 0; round < runs; ++round) {
        Settle();
        limit_times.push_back(limit_run());
        limit.Add(limit_times.back());
        Settle();
        extract_times.push_back(TimeProcessFile(p, text_xz, kExtract, target, unpacked));
        extract.Add(extract_times.back());
        if (round == 0 && ReadFile(target) != reference)
            Die("the extracted file differs from the in-memory decoding");
        Settle();
        test_times.push_back(TimeProcessFile(p, text_xz, kTest, "", unpacked));
        test.Add(test_times.back());
        Settle();
        one_run.Add(one_code_run());
        if (!xz_exe.empty()) {
            Settle();
            xz.Add(bench::TimeProgram(xz_exe, "-dc \"" + text_xz + "\"", xz_out));
            if (round == 0 && ReadFile(xz_out) != reference)
                Die("xz.exe -dc wrote something else than the in-memory decoding");
            Settle();
            xz_start.Add(bench::TimeProgram(xz_exe, "--version", ""));
        }
    }
    DeleteFileA(target.c_str());
    DeleteFileA(xz_out.c_str());

    std::printf("Decompression of %s: %zu bytes packed, %llu bytes unpacked, best of %d runs\n",
                text_xz.c_str(), packed.size(), static_cast<unsigned long long>(unpacked), runs);
    std::printf("  %-44s %10s %13s %7s\n", "", "time", "speed", "ratio");
    Row("(b) liblzma, one buffer call, memory only", limit.seconds, limit.seconds, unpacked, "the limit");
    Row("    liblzma, one lzma_code run, memory only", one_run.seconds, limit.seconds, unpacked);
    const double extract_ratio = bench::MedianRatio(limit_times, extract_times);
    Row("(a) ProcessFile extract, file to file", extract.seconds, limit.seconds, unpacked);
    Row("    ProcessFile test, no output file", test.seconds, limit.seconds, unpacked);
    if (!xz_exe.empty()) {
        Row("(c) xz.exe -dc, file to file, with its start", xz.seconds, limit.seconds, unpacked);
        std::printf("      of which starting a process: %.3f s (xz.exe --version)\n", xz_start.seconds);
    } else {
        std::printf("  (c) xz.exe: not built, skipped\n");
    }
    std::printf("  ratio = time of (b) / time of the row: 1.00 is the limit, higher is faster\n");
    std::printf("  median of the %d rounds' ratios, each against the limit timed just before it:\n", runs);
    std::printf("    (a) extract %.3f   %s\n", extract_ratio, bench::Verdict(extract_ratio, kExtractTarget).c_str());
    std::printf("        test    %.3f\n", bench::MedianRatio(limit_times, test_times));

    std::printf("\nOpenArchive + CloseArchive, %d runs each:\n", kOpenRuns);
    const double small = OpenRow(p, text_xz);
    OpenRow(p, big_xz);
    OpenZerosRow(p, out_dir, text_xz, small);
    return 0;
}
