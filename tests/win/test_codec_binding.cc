// The once-per-process binding of liblzma.dll: each scenario runs in a fresh child process of this
// program, with the module copied into a folder of its own.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/win/host.h"
#include "tests/win/process_usage.h"

namespace {

// ---------------------------------------------------------------------------
// What the parent and its children share.

constexpr char kChildFlag[] = "--binding-child";
constexpr char kModuleName[] = "xz.ztx";
constexpr char kLibraryName[] = "liblzma.dll";
constexpr char kStandInName[] = "liblzma_standin.dll";
constexpr char kNoThreadsName[] = "liblzma_nomt.dll";
constexpr char kFullLibraryName[] = "liblzma_full.dll";

// Exit codes of a child beyond its own checks.
constexpr DWORD kChildSkipped = 120;
constexpr DWORD kChildCrashed = 121;
// The stand-in library ends the process with these when one of its entry
// points is called.
constexpr DWORD kStandInCalledFirst = 71;
constexpr DWORD kStandInCalledLast = 73;
// The stand-in without the threaded coders ends the process with this when
// the real library it passes calls on to is missing.
constexpr DWORD kNoThreadsRealMissing = 74;

// A mode no caller would have by chance, so that a binding that leaves its
// own mode set, or resets the mode to 0, is told apart. It also keeps Wine
// from starting its debugger should a child crash.
constexpr UINT kCallerErrorMode = SEM_NOGPFAULTERRORBOX | SEM_NOALIGNMENTFAULTEXCEPT;

// 256 KiB of one repeated line, made with `xz -6 --check=crc64`: small on
// disk, yet 64 full codec steps per run, so racing runs overlap.
const uint8_t kSampleXz[] = {
    0xfd, 0x37, 0x7a, 0x58, 0x5a, 0x00, 0x00, 0x04, 0xe6, 0xd6, 0xb4, 0x46, 0x02, 0x00, 0x21, 0x01,
    0x16, 0x00, 0x00, 0x00, 0x74, 0x2f, 0xe5, 0xa3, 0xe3, 0xff, 0xff, 0x00, 0x93, 0x5d, 0x00, 0x30,
    0x88, 0x09, 0x86, 0xd4, 0x1f, 0x45, 0xb8, 0x2d, 0xe8, 0x4e, 0x07, 0xfd, 0x67, 0x30, 0xc3, 0x9c,
    0x93, 0x59, 0x46, 0xcd, 0x53, 0xe5, 0xc5, 0x21, 0x4c, 0xb7, 0x9a, 0xeb, 0xd8, 0x88, 0x6a, 0x54,
    0xc6, 0x26, 0xb2, 0x2a, 0xc4, 0x50, 0x0e, 0x86, 0x28, 0x7d, 0x11, 0x34, 0x23, 0x97, 0x73, 0xdd,
    0x0a, 0xd3, 0x07, 0x7f, 0x3b, 0x71, 0x92, 0xc9, 0xac, 0x7f, 0x75, 0x5b, 0x80, 0xef, 0x59, 0xc8,
    0x8c, 0x18, 0x7c, 0x08, 0xc2, 0xe0, 0xa4, 0xde, 0x4e, 0x09, 0xdf, 0x1b, 0x64, 0x87, 0x61, 0xb0,
    0x83, 0xcc, 0xd3, 0x5b, 0xad, 0xb3, 0x76, 0xaf, 0x80, 0xd1, 0xe0, 0x85, 0x12, 0x25, 0xf0, 0xb1,
    0xa0, 0x87, 0xd8, 0x4f, 0xce, 0x19, 0x01, 0xf3, 0xac, 0xa4, 0xe7, 0x3a, 0x31, 0xf9, 0x7d, 0x5a,
    0x20, 0x9d, 0x14, 0xd5, 0x05, 0x60, 0x11, 0x98, 0xb1, 0xf3, 0x78, 0x49, 0xbf, 0x86, 0x39, 0x5a,
    0x26, 0xaf, 0x4a, 0x5a, 0xa7, 0xd2, 0xc5, 0x1f, 0xf3, 0x83, 0x81, 0xc0, 0x5b, 0xe7, 0x45, 0x1d,
    0x00, 0x00, 0x00, 0x00, 0xe2, 0x66, 0xc9, 0x05, 0xe7, 0x1e, 0x84, 0xe6, 0x00, 0x01, 0xaf, 0x01,
    0x80, 0x80, 0x10, 0x00, 0xbc, 0xe1, 0xd1, 0x50, 0xb1, 0xc4, 0x67, 0xfb, 0x02, 0x00, 0x00, 0x00,
    0x00, 0x04, 0x59, 0x5a,
};
constexpr char kSampleLine[] = "a line that the codec binding tests decode\n";
constexpr uint32_t kSampleSize = 256 * 1024;

std::vector<uint8_t> SampleData()
{
    std::vector<uint8_t> data;
    while (data.size() < kSampleSize)
        data.insert(data.end(), kSampleLine, kSampleLine + sizeof(kSampleLine) - 1);
    data.resize(kSampleSize);
    return data;
}

// SetErrorMode is the only way to read the mode on every system; the mode is
// put back at once.
UINT CurrentErrorMode()
{
    const UINT mode = SetErrorMode(0);
    SetErrorMode(mode);
    return mode;
}

bool LibraryLoaded() { return GetModuleHandleA(kLibraryName) != nullptr; }

std::string LoadedLibraryPath()
{
    char path[MAX_PATH * 2] = {};
    const HMODULE lib = GetModuleHandleA(kLibraryName);
    if (lib == nullptr)
        return std::string();
    const DWORD n = GetModuleFileNameA(lib, path, sizeof(path));
    return std::string(path, n);
}

bool SamePath(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(),
                                                  static_cast<int>(a.size()), b.c_str(),
                                                  static_cast<int>(b.size())) == CSTR_EQUAL;
}

// ---------------------------------------------------------------------------
// Child side: one scenario against a module loaded from the given folder.

// Every check of every scenario has its own exit code.
enum ChildCheck : int {
    kModuleLoads = 1,
    kExportsFound,
    kSampleWritten,
    kNoLibraryAtStart,
    kOpens,
    kReadsHeader,
    kHeaderSize,
    kMissingTestIs18,
    kMissingNoCallback,
    kMissingModeKept,
    kMissingNotLoaded,
    kMissingExtractIs18,
    kMissingNoOutput,
    kLibraryCopied,
    kMissingAgainIs18,
    kMissingNoSecondLoad,
    kMissingModeKeptAgain,
    kCloses,
    kStandInExtractIs18,
    kStandInNoOutput,
    kStandInTestIs18,
    kStandInNoCallback,
    kStandInModeKept,
    kStandInUnloaded,
    kRaceThreadsMade,
    kRaceThreadsFinished,
    kRaceTestIs0,
    kRaceReportedAll,
    kRaceExtractIs0,
    kRaceOutputRight,
    kRaceModeKept,
    kRaceLibraryBeside,
    kLongTestResult,
    kLongExtractResult,
    kLongOutputLeft,
    kLongLibraryState,
    kLongModeKept,
    kNoThreadsExtractIs0,
    kNoThreadsOutputRight,
    kNoThreadsTestIs0,
    kNoThreadsReportedAll,
    kNoThreadsNoWorkers,
    kNoThreadsCorruptIs12,
    kNoThreadsForwarded,
    kMemErrorPackIs11,
    kMemErrorOldArchiveBack,
    kMemErrorNothingLeft,
    kChecksEnd,
};
static_assert(kChecksEnd < static_cast<int>(kStandInCalledFirst), "exit codes overlap");

const char* g_scenario = "";

void Check(bool ok, ChildCheck code, const char* format, ...)
{
    if (ok)
        return;
    std::fprintf(stderr, "[%s] check %d failed: ", g_scenario, static_cast<int>(code));
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fprintf(stderr, "\n");
    std::fflush(stderr);
    ExitProcess(static_cast<UINT>(code));
}

[[noreturn]] void Skip(const std::string& reason)
{
    std::fprintf(stderr, "[%s] skipped: %s\n", g_scenario, reason.c_str());
    std::fflush(stderr);
    ExitProcess(kChildSkipped);
}

LONG WINAPI OnCrash(EXCEPTION_POINTERS* info)
{
    std::fprintf(stderr, "[%s] crashed: exception 0x%08lx at %p\n", g_scenario,
                 static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode),
                 info->ExceptionRecord->ExceptionAddress);
    std::fflush(stderr);
    ExitProcess(kChildCrashed);
}

// The module's exports, bound from the copy under test and never from the
// one beside this program.
struct Plugin {
    HMODULE module = nullptr;
    OpenArchiveFn open = nullptr;
    CloseArchiveFn close = nullptr;
    ReadHeaderFn read_header = nullptr;
    ProcessFileFn process = nullptr;
    SetProcessDataProcFn set_progress = nullptr;

    template <typename Fn>
    Fn Get(const char* name)
    {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    }

    void Load(const std::string& dir)
    {
        Bind(LoadLibraryA((dir + "\\" + kModuleName).c_str()));
    }

    void Bind(HMODULE loaded)
    {
        module = loaded;
        Check(module != nullptr, kModuleLoads, "LoadLibrary of the module: error %lu", GetLastError());
        open = Get<OpenArchiveFn>("OpenArchive");
        close = Get<CloseArchiveFn>("CloseArchive");
        read_header = Get<ReadHeaderFn>("ReadHeader");
        process = Get<ProcessFileFn>("ProcessFile");
        set_progress = Get<SetProcessDataProcFn>("SetProcessDataProc");
        Check(open && close && read_header && process && set_progress, kExportsFound,
              "an export is missing");
    }

    // Opens and lists the archive, as a host does before it tests.
    int32_t OpenListed(const std::string& path)
    {
        OpenArchiveRecord record = {path.c_str(), 0, 0};
        const int32_t handle = open(&record);
        Check(handle != 0, kOpens, "OpenArchive(%s) gave handle 0, result %d", path.c_str(),
              record.open_result);
        EntryHeader header;
        std::memset(&header, 0, sizeof(header));
        const int32_t r = read_header(handle, &header);
        Check(r == 0, kReadsHeader, "ReadHeader gave %d", r);
        Check(header.unpacked_size == kSampleSize, kHeaderSize, "unpacked size %u",
              header.unpacked_size);
        return handle;
    }
};

thread_local int64_t t_reported = 0;
thread_local int t_reports = 0;

int32_t __stdcall CountingProc(const char*, int32_t size)
{
    ++t_reports;
    t_reported += size;
    return 1;
}

std::string WriteSample(const std::string& dir)
{
    const std::string path = dir + "\\sample.xz";
    const bool ok = testhost::WriteBytes(path, std::vector<uint8_t>(kSampleXz, kSampleXz + sizeof(kSampleXz)));
    Check(ok, kSampleWritten, "cannot write %s", path.c_str());
    return path;
}

// No library beside the module: the first attempt fails quietly, and the
// outcome holds even after the library has been put in place.
void MissingLibrary(const std::string& module_dir, const std::string& work_dir)
{
    Plugin plugin;
    plugin.Load(module_dir);
    const std::string archive = WriteSample(work_dir);
    Check(!LibraryLoaded(), kNoLibraryAtStart, "a liblzma.dll is loaded before any test");
    // Opening and listing need no codec.
    const int32_t handle = plugin.OpenListed(archive);
    plugin.set_progress(handle, CountingProc);

    const UINT mode = CurrentErrorMode();
    int32_t r = plugin.process(handle, kTest, nullptr, nullptr);
    Check(r == 18, kMissingTestIs18, "first test gave %d", r);
    Check(t_reports == 0, kMissingNoCallback, "%d progress reports without a codec", t_reports);
    Check(CurrentErrorMode() == mode, kMissingModeKept, "error mode 0x%x before, 0x%x after", mode,
          CurrentErrorMode());
    Check(!LibraryLoaded(), kMissingNotLoaded, "some liblzma.dll got loaded: %s",
          LoadedLibraryPath().c_str());

    const std::string target = work_dir + "\\out.bin";
    r = plugin.process(handle, kExtract, nullptr, target.c_str());
    Check(r == 18, kMissingExtractIs18, "extraction gave %d", r);
    Check(!testhost::Exists(target), kMissingNoOutput, "extraction left %s", target.c_str());

    const std::string source = testhost::ProgramDir() + kLibraryName;
    const std::string beside = module_dir + "\\" + kLibraryName;
    Check(CopyFileA(source.c_str(), beside.c_str(), FALSE) != 0, kLibraryCopied,
          "cannot copy %s to %s", source.c_str(), beside.c_str());

    r = plugin.process(handle, kTest, nullptr, nullptr);
    Check(r == 18, kMissingAgainIs18, "test after the library arrived gave %d", r);
    Check(!LibraryLoaded(), kMissingNoSecondLoad, "a second attempt loaded %s",
          LoadedLibraryPath().c_str());
    Check(CurrentErrorMode() == mode, kMissingModeKeptAgain, "error mode 0x%x before, 0x%x after",
          mode, CurrentErrorMode());
    Check(plugin.close(handle) == 0, kCloses, "CloseArchive failed");
}

// A library that lacks the encoder is no library, for extraction too.
void LibraryWithoutEncoder(const std::string& module_dir, const std::string& work_dir)
{
    Plugin plugin;
    plugin.Load(module_dir);
    const std::string archive = WriteSample(work_dir);
    const int32_t handle = plugin.OpenListed(archive);
    plugin.set_progress(handle, CountingProc);

    const UINT mode = CurrentErrorMode();
    const std::string target = work_dir + "\\out.bin";
    int32_t r = plugin.process(handle, kExtract, nullptr, target.c_str());
    Check(r == 18, kStandInExtractIs18, "extraction gave %d", r);
    Check(!testhost::Exists(target), kStandInNoOutput, "extraction left %s", target.c_str());
    r = plugin.process(handle, kTest, nullptr, nullptr);
    Check(r == 18, kStandInTestIs18, "test gave %d", r);
    Check(t_reports == 0, kStandInNoCallback, "%d progress reports without a codec", t_reports);
    Check(CurrentErrorMode() == mode, kStandInModeKept, "error mode 0x%x before, 0x%x after", mode,
          CurrentErrorMode());
    Check(!LibraryLoaded(), kStandInUnloaded, "the refused library is still loaded: %s",
          LoadedLibraryPath().c_str());
    Check(plugin.close(handle) == 0, kCloses, "CloseArchive failed");
}

// Many blocks, as threaded xz writes them: decoded in parallel wherever the
// library can, so a stand-in without the threaded decoder shows the fallback.
constexpr size_t kBlocksDataSize = 2u << 20;
std::vector<uint8_t> BlocksData() { return testhost::SampleText(kBlocksDataSize); }

thread_local uint32_t t_most_threads = 0;

int32_t __stdcall ThreadWatchProc(const char*, int32_t size)
{
    if (t_reports++ % 32 == 0)
        t_most_threads = std::max(t_most_threads, testhost::CountThreads());
    t_reported += size;
    return 1;
}

int32_t OpenBlocks(Plugin& plugin, const std::string& path)
{
    OpenArchiveRecord record = {path.c_str(), 0, 0};
    const int32_t handle = plugin.open(&record);
    Check(handle != 0, kOpens, "OpenArchive(%s) gave handle 0, result %d", path.c_str(), record.open_result);
    plugin.set_progress(handle, ThreadWatchProc);
    return handle;
}

// Writes blocks.xz and a copy damaged in its last block, with the library
// beside this program; a child does it, so that the parent never loads one.
void WriteBlocks(const std::string& work_dir)
{
    std::vector<uint8_t> blocks = testhost::EncodeXzBlocks(BlocksData(), 1, 128 << 10);
    Check(blocks.size() > 4096 && testhost::WriteBytes(work_dir + "\\blocks.xz", blocks), kSampleWritten,
          "cannot write blocks.xz");
    blocks[blocks.size() - 100] ^= 0x55;
    Check(testhost::WriteBytes(work_dir + "\\corrupt.xz", blocks), kSampleWritten, "cannot write corrupt.xz");
    // The same data as a stream per 128 KiB, which needs the block decoder's names.
    const std::vector<uint8_t> streams = testhost::EncodeXzStreams(BlocksData(), 128 << 10, 1);
    Check(testhost::WriteBytes(work_dir + "\\streams.xz", streams), kSampleWritten, "cannot write streams.xz");
}

// A library from before the threaded decoder: an archive of many blocks
// still decodes, to the same bytes and results, on the calling thread alone.
void LibraryWithoutThreads(const std::string& module_dir, const std::string& work_dir)
{
    Plugin plugin;
    plugin.Load(module_dir);
    const std::vector<uint8_t> data = BlocksData();
    int32_t r = 0;
    for (const char* name : {"\\blocks.xz", "\\streams.xz"}) {
        const int32_t handle = OpenBlocks(plugin, work_dir + name);
        const std::string target = work_dir + "\\out.bin";
        r = plugin.process(handle, kExtract, nullptr, target.c_str());
        Check(r == 0, kNoThreadsExtractIs0, "extraction of %s gave %d", name, r);
        Check(testhost::ReadBytes(target) == data, kNoThreadsOutputRight, "extracted bytes of %s differ", name);

        // Counted after one run, which may leave threads of Wine's own behind.
        const uint32_t before = testhost::CountThreads();
        t_reported = 0;
        t_reports = 0;
        t_most_threads = 0;
        r = plugin.process(handle, kTest, nullptr, nullptr);
        Check(r == 0, kNoThreadsTestIs0, "test of %s gave %d", name, r);
        Check(t_reported == static_cast<int64_t>(data.size()), kNoThreadsReportedAll,
              "reports added up to %lld", static_cast<long long>(t_reported));
        Check(t_most_threads <= before, kNoThreadsNoWorkers, "%u threads during the test of %s, %u before",
              t_most_threads, name, before);
        Check(plugin.close(handle) == 0, kCloses, "CloseArchive failed");
    }

    const int32_t corrupt = OpenBlocks(plugin, work_dir + "\\corrupt.xz");
    r = plugin.process(corrupt, kTest, nullptr, nullptr);
    Check(r == 12, kNoThreadsCorruptIs12, "test of a damaged last block gave %d", r);
    Check(plugin.close(corrupt) == 0, kCloses, "CloseArchive failed");
    Check(GetModuleHandleA(kFullLibraryName) != nullptr, kNoThreadsForwarded,
          "the stand-in never reached the real library");
}

// The codec runs out of memory in the middle of a packing over an existing
// archive: 11, the old archive back under its name, nothing else left.
void MemoryErrorWhilePacking(const std::string& module_dir, const std::string& work_dir)
{
    Plugin plugin;
    plugin.Load(module_dir);
    const auto pack_files = plugin.Get<PackFilesFn>("PackFiles");
    Check(pack_files != nullptr, kExportsFound, "PackFiles is missing");
    const std::vector<uint8_t> old_archive(kSampleXz, kSampleXz + sizeof(kSampleXz));
    Check(testhost::WriteBytes(work_dir + "\\sample", testhost::SampleText(3 * 4096 + 10)) &&
              testhost::WriteBytes(work_dir + "\\sample.xz", old_archive),
          kSampleWritten, "cannot write the source and the old archive");
    SetEnvironmentVariableA("LIBLZMA_STANDIN_MEM_ERROR_AT", "2");
    const std::string target = work_dir + "\\sample.xz";
    const int32_t r = pack_files(target.c_str(), nullptr, (work_dir + "\\").c_str(), "sample\0", 0);
    Check(r == 11, kMemErrorPackIs11, "packing gave %d", r);
    Check(testhost::ReadBytes(target) == old_archive, kMemErrorOldArchiveBack, "the old archive is not back");
    int files = 0;
    std::string names;
    for (const std::string& name : testhost::ListFolder(work_dir)) {
        // The child's own log sits there too.
        if (name != "child.log") {
            ++files;
            names += " " + name;
        }
    }
    Check(files == 2, kMemErrorNothingLeft, "the folder holds%s", names.c_str());
}

constexpr int kRacers = 8;

struct Racer {
    Plugin* plugin;
    HANDLE start;
    int32_t handle;
    std::string target;
    int32_t test_result = -1;
    int64_t reported = -1;
    int32_t extract_result = -1;
};

DWORD WINAPI RaceBody(void* arg)
{
    Racer& racer = *static_cast<Racer*>(arg);
    WaitForSingleObject(racer.start, INFINITE);
    racer.test_result = racer.plugin->process(racer.handle, kTest, nullptr, nullptr);
    racer.reported = t_reported;
    racer.extract_result = racer.plugin->process(racer.handle, kExtract, nullptr, racer.target.c_str());
    return 0;
}

// Eight first calls at once: each must find the codec bound and whole.
void RacingFirstCalls(const std::string& module_dir, const std::string& work_dir)
{
    Plugin plugin;
    plugin.Load(module_dir);
    const std::string archive = WriteSample(work_dir);
    Check(!LibraryLoaded(), kNoLibraryAtStart, "a liblzma.dll is loaded before any test");
    const UINT mode = CurrentErrorMode();

    HANDLE start = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Racer racers[kRacers];
    HANDLE threads[kRacers];
    for (int i = 0; i < kRacers; ++i) {
        racers[i].plugin = &plugin;
        racers[i].start = start;
        racers[i].handle = plugin.OpenListed(archive);
        racers[i].target = work_dir + "\\out" + std::to_string(i) + ".bin";
        plugin.set_progress(racers[i].handle, CountingProc);
        threads[i] = CreateThread(nullptr, 0, RaceBody, &racers[i], 0, nullptr);
        Check(threads[i] != nullptr, kRaceThreadsMade, "CreateThread failed: %lu", GetLastError());
    }
    // Let every thread reach the event before it opens.
    Sleep(200);
    SetEvent(start);
    const DWORD waited = WaitForMultipleObjects(kRacers, threads, TRUE, 120000);
    Check(waited != WAIT_TIMEOUT && waited != WAIT_FAILED, kRaceThreadsFinished,
          "racing threads did not finish: %lu", waited);

    const std::vector<uint8_t> expected = SampleData();
    for (int i = 0; i < kRacers; ++i) {
        CloseHandle(threads[i]);
        Check(racers[i].test_result == 0, kRaceTestIs0, "thread %d: test gave %d", i,
              racers[i].test_result);
        Check(racers[i].reported == kSampleSize, kRaceReportedAll, "thread %d: reports added up to %lld",
              i, static_cast<long long>(racers[i].reported));
        Check(racers[i].extract_result == 0, kRaceExtractIs0, "thread %d: extraction gave %d", i,
              racers[i].extract_result);
        Check(testhost::ReadBytes(racers[i].target) == expected, kRaceOutputRight,
              "thread %d: extracted bytes differ", i);
        Check(plugin.close(racers[i].handle) == 0, kCloses, "CloseArchive failed");
    }
    CloseHandle(start);
    Check(CurrentErrorMode() == mode, kRaceModeKept, "error mode 0x%x before, 0x%x after", mode,
          CurrentErrorMode());
    const std::string beside = module_dir + "\\" + kLibraryName;
    Check(SamePath(LoadedLibraryPath(), beside), kRaceLibraryBeside, "bound %s, expected %s",
          LoadedLibraryPath().c_str(), beside.c_str());
}

// A module folder so long that the library's path cannot be composed; with
// `fits`, a folder just short enough, which must still bind.
void LongFolder(const std::string& module_dir, const std::string& work_dir, bool fits)
{
    const std::string module_path = module_dir + "\\" + kModuleName;
    HMODULE module = LoadLibraryA(module_path.c_str());
    if (module == nullptr)
        Skip("the loader refuses a module path of " + std::to_string(module_path.size()) +
             " characters (error " + std::to_string(GetLastError()) + ")");
    char seen[1024] = {};
    const DWORD n = GetModuleFileNameA(module, seen, sizeof(seen));
    if (n != module_path.size())
        Skip("the loader reports the module path with " + std::to_string(n) + " characters, not " +
             std::to_string(module_path.size()));

    Plugin plugin;
    plugin.Bind(module);
    const std::string archive = WriteSample(work_dir);
    const int32_t handle = plugin.OpenListed(archive);
    const UINT mode = CurrentErrorMode();
    const int32_t expected = fits ? 0 : 18;
    int32_t r = plugin.process(handle, kTest, nullptr, nullptr);
    Check(r == expected, kLongTestResult, "test with a %zu-character module path gave %d, expected %d",
          module_path.size(), r, expected);
    const std::string target = work_dir + "\\out.bin";
    r = plugin.process(handle, kExtract, nullptr, target.c_str());
    Check(r == expected, kLongExtractResult, "extraction gave %d, expected %d", r, expected);
    Check(testhost::Exists(target) == fits, kLongOutputLeft, "output file %s",
          fits ? "missing" : "left behind");
    const std::string beside = module_dir + "\\" + kLibraryName;
    Check(fits ? SamePath(LoadedLibraryPath(), beside) : !LibraryLoaded(), kLongLibraryState,
          "loaded library: '%s'", LoadedLibraryPath().c_str());
    Check(CurrentErrorMode() == mode, kLongModeKept, "error mode 0x%x before, 0x%x after", mode,
          CurrentErrorMode());
    Check(plugin.close(handle) == 0, kCloses, "CloseArchive failed");
}

int RunChild(const std::string& scenario, const std::string& module_dir, const std::string& work_dir)
{
    g_scenario = scenario.c_str();
    SetErrorMode(kCallerErrorMode);
    SetUnhandledExceptionFilter(OnCrash);
    if (scenario == "missing")
        MissingLibrary(module_dir, work_dir);
    else if (scenario == "no-encoder")
        LibraryWithoutEncoder(module_dir, work_dir);
    else if (scenario == "write-blocks")
        WriteBlocks(work_dir);
    else if (scenario == "no-threads")
        LibraryWithoutThreads(module_dir, work_dir);
    else if (scenario == "mem-error-packing")
        MemoryErrorWhilePacking(module_dir, work_dir);
    else if (scenario == "race")
        RacingFirstCalls(module_dir, work_dir);
    else if (scenario == "long-folder")
        LongFolder(module_dir, work_dir, false);
    else if (scenario == "long-folder-fits")
        LongFolder(module_dir, work_dir, true);
    else
        Skip("unknown scenario");
    std::fflush(stderr);
    return 0;
}

// ---------------------------------------------------------------------------
// Parent side: prepares a folder, runs one child, reads its verdict.

std::wstring Extended(const std::string& path) { return L"\\\\?\\" + testhost::Widen(path); }

bool CopyInto(const std::string& name, const std::string& dir, const std::string& as)
{
    const std::wstring from = Extended(testhost::ProgramDir() + name);
    const std::wstring to = Extended(dir + "\\" + as);
    return CopyFileW(from.c_str(), to.c_str(), FALSE) != 0;
}

struct ChildOutcome {
    DWORD exit_code = 0;
    std::string output;
};

ChildOutcome RunScenario(const std::string& scenario, const std::string& module_dir,
                         const std::string& work_dir)
{
    ChildOutcome outcome;
    const std::string log = work_dir + "\\child.log";
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE out = CreateFileA(log.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) {
        outcome.exit_code = ~0u;
        outcome.output = "cannot create " + log;
        return outcome;
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = out;
    startup.hStdError = out;
    const std::string program = testhost::ProgramPath();
    std::string command = "\"" + program + "\" " + kChildFlag + " " + scenario + " \"" + module_dir +
                          "\" \"" + work_dir + "\"";
    PROCESS_INFORMATION child = {};
    const BOOL started = CreateProcessA(program.c_str(), &command[0], nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &child);
    CloseHandle(out);
    if (!started) {
        outcome.exit_code = ~0u;
        outcome.output = "CreateProcess failed: " + std::to_string(GetLastError());
        return outcome;
    }
    if (WaitForSingleObject(child.hProcess, 180000) == WAIT_TIMEOUT) {
        TerminateProcess(child.hProcess, 0xDEAD);
        WaitForSingleObject(child.hProcess, 10000);
        outcome.output = "child timed out\n";
    }
    GetExitCodeProcess(child.hProcess, &outcome.exit_code);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    const std::vector<uint8_t> text = testhost::ReadBytes(log);
    outcome.output += std::string(text.begin(), text.end());
    return outcome;
}

std::string Explain(const ChildOutcome& outcome)
{
    std::string why;
    if (outcome.exit_code >= kStandInCalledFirst && outcome.exit_code <= kStandInCalledLast)
        why = "the stand-in library's entry point was called (exit " +
              std::to_string(outcome.exit_code) + ")\n";
    if (outcome.exit_code == kNoThreadsRealMissing)
        why = std::string("the stand-in found no ") + kFullLibraryName + " beside it\n";
    return why + "child output:\n" + outcome.output;
}

class CodecBinding : public testing::Test {
protected:
    void SetUp() override
    {
        // Parameterised names hold a slash, which would make a subfolder.
        std::string tag = testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& c : tag)
            if (c == '/')
                c = '-';
        dir_ = testhost::ScratchDir(tag);
        work_ = dir_ + "\\work";
        ASSERT_TRUE(CreateDirectoryA(work_.c_str(), nullptr)) << work_;
    }
    void TearDown() override { testhost::RemoveTree(Extended(dir_)); }

    // The module alone in a folder of its own, plus `library` as liblzma.dll.
    std::string ModuleFolder(const char* library)
    {
        const std::string folder = dir_ + "\\plugin";
        EXPECT_TRUE(CreateDirectoryA(folder.c_str(), nullptr)) << folder;
        EXPECT_TRUE(CopyInto(kModuleName, folder, kModuleName));
        if (library != nullptr)
            EXPECT_TRUE(CopyInto(library, folder, kLibraryName)) << library;
        return folder;
    }

    std::string dir_;
    std::string work_;
};

TEST_F(CodecBinding, MissingLibraryFailsOnceAndForAll)
{
    const std::string folder = ModuleFolder(nullptr);
    ASSERT_FALSE(testhost::Exists(folder + "\\" + kLibraryName));
    const ChildOutcome child = RunScenario("missing", folder, work_);
    EXPECT_EQ(child.exit_code, 0u) << Explain(child);
}

TEST_F(CodecBinding, LibraryWithoutEncoderIsNoLibrary)
{
    const std::string folder = ModuleFolder(kStandInName);
    const ChildOutcome child = RunScenario("no-encoder", folder, work_);
    EXPECT_EQ(child.exit_code, 0u) << Explain(child);
}

TEST_F(CodecBinding, LibraryWithoutThreadedDecoderDecodesOnTheCallingThread)
{
    const std::string folder = ModuleFolder(kNoThreadsName);
    ASSERT_TRUE(CopyInto(kLibraryName, folder, kFullLibraryName));
    const ChildOutcome writer = RunScenario("write-blocks", folder, work_);
    ASSERT_EQ(writer.exit_code, 0u) << Explain(writer);
    const ChildOutcome child = RunScenario("no-threads", folder, work_);
    EXPECT_EQ(child.exit_code, 0u) << Explain(child);
}

TEST_F(CodecBinding, CodecOutOfMemoryWhilePackingIs11)
{
    const std::string folder = ModuleFolder(kNoThreadsName);
    ASSERT_TRUE(CopyInto(kLibraryName, folder, kFullLibraryName));
    const ChildOutcome child = RunScenario("mem-error-packing", folder, work_);
    EXPECT_EQ(child.exit_code, 0u) << Explain(child);
}

// A race may go right by luck, so it is run in several fresh processes.
TEST_F(CodecBinding, RacingFirstCallsAllFindTheCodec)
{
    const std::string folder = ModuleFolder(kLibraryName);
    for (int round = 0; round < 3; ++round) {
        const std::string work = work_ + "\\" + std::to_string(round);
        ASSERT_TRUE(CreateDirectoryA(work.c_str(), nullptr));
        const ChildOutcome child = RunScenario("race", folder, work);
        EXPECT_EQ(child.exit_code, 0u) << "round " << round << ": " << Explain(child);
    }
}

// Folder lengths around the point where "<folder>\liblzma.dll" stops fitting
// 259 characters. The module's own path, <folder>\xz.ztx, still fits, so the
// module loads as usual. The library is there each time: only a path that
// was refused, rather than one composed past its buffer, gives 18.
struct LongCase {
    size_t folder_length;
    bool fits;
};

class CodecBindingLongFolder : public CodecBinding, public testing::WithParamInterface<LongCase> {};

TEST_P(CodecBindingLongFolder, NeverComposesPastThePathBuffer)
{
    const LongCase c = GetParam();
    ASSERT_LT(dir_.size() + 2, c.folder_length);
    const std::string folder = dir_ + "\\" + std::string(c.folder_length - dir_.size() - 1, 'd');
    ASSERT_EQ(folder.size(), c.folder_length);
    if (!CreateDirectoryW(Extended(folder).c_str(), nullptr))
        GTEST_SKIP() << "the file system refuses a folder of " << folder.size()
                     << " characters (error " << GetLastError() << ")";
    if (!CopyInto(kModuleName, folder, kModuleName) || !CopyInto(kLibraryName, folder, kLibraryName))
        GTEST_SKIP() << "cannot copy files into a folder of " << folder.size() << " characters";
    const ChildOutcome child = RunScenario(c.fits ? "long-folder-fits" : "long-folder", folder, work_);
    if (child.exit_code == kChildSkipped)
        GTEST_SKIP() << child.output;
    EXPECT_EQ(child.exit_code, 0u) << Explain(child);
}

INSTANTIATE_TEST_SUITE_P(Lengths, CodecBindingLongFolder,
                         testing::Values(LongCase{244, true}, LongCase{248, false}, LongCase{250, false},
                                         LongCase{252, false}),
                         [](const auto& info) {
                             return std::to_string(info.param.folder_length) +
                                    (info.param.fits ? "_fits" : "_too_long");
                         });

// In this process: the module beside this program, with the library beside
// it, binds on the first test and leaves the caller's error mode as it was.
TEST(CodecBindingInProcess, ErrorModeRestoredAfterSuccessfulLoad)
{
    ASSERT_NE(testhost::Module(), nullptr);
    ASSERT_FALSE(LibraryLoaded()) << "bound before this test: " << LoadedLibraryPath();
    const std::string dir = testhost::ScratchDir("binding-in-process");
    const std::string archive = dir + "\\sample.xz";
    ASSERT_TRUE(testhost::WriteBytes(archive, std::vector<uint8_t>(kSampleXz, kSampleXz + sizeof(kSampleXz))));
    int32_t code = 0;
    const int32_t handle = testhost::Open(archive, &code);
    ASSERT_NE(handle, 0) << code;

    const UINT previous = SetErrorMode(kCallerErrorMode);
    const int32_t r = testhost::Export<ProcessFileFn>("ProcessFile")(handle, kTest, nullptr, nullptr);
    const UINT after = CurrentErrorMode();
    SetErrorMode(previous);

    EXPECT_EQ(r, 0);
    EXPECT_TRUE(LibraryLoaded());
    EXPECT_TRUE(SamePath(LoadedLibraryPath(), testhost::ProgramDir() + kLibraryName)) << LoadedLibraryPath();
    EXPECT_EQ(after, kCallerErrorMode);
    EXPECT_EQ(testhost::Close(handle), 0);
    testhost::RemoveTree(Extended(dir));
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], kChildFlag) == 0)
        return RunChild(argv[2], argv[3], argv[4]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
