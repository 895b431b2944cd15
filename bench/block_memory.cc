// Result, time and peak memory of testing archives whose indexes lie (a huge record table over
// zeros, a record claiming far more than its block holds), decoded as the 64-bit plug-in decodes
// them: the open's probe, then DecodeArchive with two processors and the 64-bit decoder budget.
//
// usage: block_memory [--runs N] FILE...
//   each run is a process of its own (this program started again with --one FILE), so that its
//   peak resident memory (getrusage's ru_maxrss) is that one run's, from a fresh start
//
// Natively, and built without sanitizers (bench/CMakeLists.txt): under AddressSanitizer every
// allocation carries redzones and a quarantine, which would be measured instead of the decoder.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <lzma.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/pread_source.h"
#include "bench/timings.h"
#include "codec/chunk_io.h"
#include "codec/codec_api.h"
#include "codec/threading.h"
#include "tests/native/system_liblzma.h"
#include "unpack/block_decode.h"
#include "xzformat/byte_source.h"
#include "xzformat/probe.h"

namespace {

// What the plug-in is given on the machine this bench compares with: two processors.
constexpr uint32_t kProcessors = 2;
// The targets: the result for a corrupt file, how soon, and the memory beyond the file's own size.
constexpr int kCorruptResult = 12;
constexpr double kTimeTarget = 0.500;
constexpr uint64_t kMemoryAllowance = 64ull << 20;
constexpr int kDefaultRuns = 3;

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

using bench::Median;
using bench::PreadSource;

class Readers final : public unpack::ArchiveReaders {
public:
    explicit Readers(const char* path) : path_(path) {}
    std::unique_ptr<xzformat::ByteSource> Open() override
    {
        std::unique_ptr<PreadSource> source(new PreadSource(path_));
        if (!source->ok())
            return nullptr;
        return source;
    }

private:
    const char* path_;
};

// The archive from its start, in the chunks the plug-in reads.
class FileChunks final : public codec::ChunkSource {
public:
    explicit FileChunks(FILE* f) : f_(f) {}
    codec::ChunkRead Read(uint8_t* buf, size_t capacity) override
    {
        const size_t n = std::fread(buf, 1, capacity, f_);
        return {n, std::feof(f_) != 0, std::ferror(f_) != 0};
    }

private:
    FILE* f_;
};

// A host that never aborts.
class CountingProgress final : public codec::ProgressSink {
public:
    bool Report(int32_t bytes) override
    {
        ++reports;
        total += static_cast<uint64_t>(bytes);
        return true;
    }
    uint64_t reports = 0;
    uint64_t total = 0;
};

const char* EngineName(unpack::DecodeEngine engine)
{
    switch (engine) {
    case unpack::DecodeEngine::SingleThreaded:
        return "single-threaded";
    case unpack::DecodeEngine::LibraryThreaded:
        return "liblzma-threaded";
    case unpack::DecodeEngine::IndexDriven:
        return "index-driven";
    }
    return "?";
}

// One run, in this process: prints "RESULT OPEN_S TEST_S MAXRSS_KIB ENGINE" (result -1: the open failed).
int RunOnce(const char* path)
{
    const codec::CodecApi api = system_liblzma::Codec();
    const uint64_t physical =
        static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    codec::MemoryBudget budget(codec::LimitsFor(codec::WordSize::k64, physical).decoder_budget);

    const Clock::time_point open_start = Clock::now();
    xzformat::ProbeResult probe{};
    xzformat::ProbeStatus status;
    {
        PreadSource source(path);
        status = source.ok() ? xzformat::XzProbe(source, &probe) : xzformat::ProbeStatus::TooShort;
    }
    const double open_seconds = Since(open_start);
    int result = -1;
    double test_seconds = 0;
    const char* engine = "-";
    if (status == xzformat::ProbeStatus::Ok) {
        engine = EngineName(unpack::ChooseDecodeEngine(api, probe.blocks, kProcessors));
        FILE* f = std::fopen(path, "rb");
        if (f == nullptr) {
            std::perror(path);
            return 1;
        }
        FileChunks stream(f);
        Readers readers(path);
        CountingProgress progress;
        const Clock::time_point test_start = Clock::now();
        result = static_cast<int>(
            unpack::DecodeArchive(api, stream, &readers, nullptr, progress, probe.blocks, kProcessors, budget));
        test_seconds = Since(test_start);
        std::fclose(f);
    }
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%d %.6f %.6f %ld %s\n", result, open_seconds, test_seconds, usage.ru_maxrss, engine);
    return 0;
}

struct Run {
    int result;
    double open_seconds;
    double test_seconds;
    uint64_t maxrss; // bytes
    std::string engine;
};

// Starts this program again for one run and reads its line.
bool RunFresh(const char* self, const char* path, Run* run)
{
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    const pid_t child = fork();
    if (child < 0)
        return false;
    if (child == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        execl(self, self, "--one", path, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string line;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof(buf))) > 0)
        line.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int wstatus = 0;
    waitpid(child, &wstatus, 0);
    if (!WIFEXITED(wstatus) || WEXITSTATUS(wstatus) != 0)
        return false;
    long maxrss_kib = 0;
    char engine[32] = {};
    if (std::sscanf(line.c_str(), "%d %lf %lf %ld %31s", &run->result, &run->open_seconds, &run->test_seconds,
                    &maxrss_kib, engine) != 5)
        return false;
    run->maxrss = static_cast<uint64_t>(maxrss_kib) * 1024;
    run->engine = engine;
    return true;
}

double MiB(uint64_t bytes) { return static_cast<double>(bytes) / (1 << 20); }

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--one") == 0)
        return RunOnce(argv[2]);
    int runs = kDefaultRuns;
    bench::TakeRuns(argc, argv, runs);
    if (argc < 2 || runs < 1) {
        std::fprintf(stderr, "usage: block_memory [--runs N] FILE...\n");
        return 2;
    }
    // /proc/self/exe names this very program whatever the caller's path was.
    char self[4096];
    const ssize_t self_length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (self_length <= 0)
        return 1;
    self[self_length] = '\0';

    std::printf("Test of each file as the 64-bit plug-in runs it (the open's probe, then DecodeArchive on %u "
                "processors and the 64-bit decoder budget), natively, %d fresh processes each; "
                "time of the test alone, the open beside it\n",
                kProcessors, runs);
    std::printf("  %-28s %7s %-16s %10s %10s %10s %11s %11s\n", "file", "result", "engine chosen", "open med",
                "test med", "test worst", "max RSS", "file+64MiB");
    for (int i = 1; i < argc; ++i) {
        struct stat st;
        if (stat(argv[i], &st) != 0) {
            std::perror(argv[i]);
            return 1;
        }
        const uint64_t limit = static_cast<uint64_t>(st.st_size) + kMemoryAllowance;
        std::vector<double> open_times;
        std::vector<double> test_times;
        uint64_t peak = 0;
        std::vector<int> results;
        bool all_corrupt = true;
        std::string engine;
        for (int r = 0; r < runs; ++r) {
            Run run{};
            if (!RunFresh(self, argv[i], &run)) {
                std::fprintf(stderr, "block_memory: the run on %s failed\n", argv[i]);
                return 1;
            }
            open_times.push_back(run.open_seconds);
            test_times.push_back(run.test_seconds);
            peak = std::max(peak, run.maxrss);
            results.push_back(run.result);
            all_corrupt = all_corrupt && run.result == kCorruptResult;
            engine = run.engine;
        }
        // The usual case, one result in every run, is given once with the count.
        std::string shown = std::to_string(results[0]) + " x" + std::to_string(results.size());
        if (std::count(results.begin(), results.end(), results[0]) != static_cast<std::ptrdiff_t>(results.size())) {
            shown.clear();
            for (const int r : results)
                shown += (shown.empty() ? "" : ",") + std::to_string(r);
        }
        const double worst = bench::Worst(test_times);
        const bool met = all_corrupt && worst <= kTimeTarget && peak <= limit;
        const char* name = std::strrchr(argv[i], '/') != nullptr ? std::strrchr(argv[i], '/') + 1 : argv[i];
        std::printf("  %-28s %7s %-16s %8.1f ms %7.1f ms %7.1f ms %7.1f MiB %7.1f MiB\n", name, shown.c_str(),
                    engine.c_str(), Median(open_times) * 1e3, Median(test_times) * 1e3, worst * 1e3, MiB(peak),
                    MiB(limit));
        std::printf("  %-28s target: %d in every run, within %.0f ms, max RSS <= file size + %.0f MiB: %s\n", "",
                    kCorruptResult, kTimeTarget * 1e3, MiB(kMemoryAllowance), met ? "met" : "MISSED");
    }
    return 0;
}
