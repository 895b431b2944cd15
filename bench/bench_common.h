// Helpers the Windows bench programs share: a clock, loading beside the program, file reads and
// comparisons, the plug-in's extraction and xz.exe timed alike, and the best of repetitions
// (their median, worst and the --runs option come from timings.h, which the native programs share).
#ifndef BENCH_BENCH_COMMON_H
#define BENCH_BENCH_COMMON_H

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/timings.h"
#include "plugin/ztx_api.h"

namespace bench {

inline double Now()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

[[noreturn]] inline void Die(const std::string& message)
{
    std::fprintf(stderr, "bench: %s\n", message.c_str());
    std::exit(1);
}

inline std::string ProgramDir()
{
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.find_last_of('\\') + 1);
}

// A DLL from the program's own folder, as a host loads its plug-ins.
inline HMODULE Load(const std::string& name)
{
    HMODULE module = LoadLibraryA((ProgramDir() + name).c_str());
    if (module == nullptr)
        Die("cannot load " + ProgramDir() + name);
    return module;
}

template <typename Fn>
Fn Get(HMODULE module, const char* name)
{
    auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (fn == nullptr)
        Die(std::string("missing export ") + name);
    return fn;
}

inline std::vector<uint8_t> ReadFile(const std::string& path)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        Die("cannot open " + path);
    std::vector<uint8_t> bytes;
    uint8_t buf[1 << 16];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0)
        bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);
    return bytes;
}

// Whether two files hold the same bytes, read in pieces: the package member
// unpacks to more than a 32-bit process could hold twice.
inline bool SameFile(const std::string& a, const std::string& b)
{
    FILE* fa = std::fopen(a.c_str(), "rb");
    FILE* fb = std::fopen(b.c_str(), "rb");
    bool same = fa != nullptr && fb != nullptr;
    static uint8_t ba[1 << 16];
    static uint8_t bb[1 << 16];
    while (same) {
        const size_t na = std::fread(ba, 1, sizeof(ba), fa);
        const size_t nb = std::fread(bb, 1, sizeof(bb), fb);
        same = na == nb && std::memcmp(ba, bb, na) == 0;
        if (na == 0)
            break;
    }
    if (fa != nullptr)
        std::fclose(fa);
    if (fb != nullptr)
        std::fclose(fb);
    return same;
}

// A pause before each timed run. Starting a process under Wine, and deleting
// a large file, leave work behind (the Wine server, the kernel's page cache)
// that would otherwise be billed to whichever run comes next.
inline void Settle() { Sleep(300); }

// Runs a program with its standard output going to a file (or nowhere),
// timed from process creation to exit, so it includes the start of a process
// under Wine. Dies unless the program exits with 0.
inline double TimeProgram(const std::string& exe, const std::string& args, const std::string& output)
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE out = CreateFileA(output.empty() ? "NUL" : output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE)
        Die("cannot create " + output);
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    std::string command = "\"" + exe + "\" " + args;
    const double start = Now();
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        Die("cannot start " + exe);
    WaitForSingleObject(process.hProcess, INFINITE);
    const double seconds = Now() - start;
    DWORD exit_code = 1;
    GetExitCodeProcess(process.hProcess, &exit_code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(out);
    if (exit_code != 0)
        Die(command + " exited with " + std::to_string(exit_code));
    return seconds;
}

// What the liblzma.dll in the program's folder, the one the plug-in loads,
// says of itself: the rows name the library that did the work.
inline const char* LiblzmaVersion()
{
    using VersionStringFn = const char*(__cdecl*)(void);
    return Get<VersionStringFn>(Load("liblzma.dll"), "lzma_version_string")();
}

// The unpacking exports of xz.ztx, loaded from the program's folder.
struct Plugin {
    OpenArchiveFn open;
    CloseArchiveFn close;
    ReadHeaderExFn read_header;
    SetProcessDataProcFn set_progress;
    ProcessFileFn process;
};

inline Plugin LoadPlugin()
{
    const HMODULE module = Load("xz.ztx");
    return {Get<OpenArchiveFn>(module, "OpenArchive"), Get<CloseArchiveFn>(module, "CloseArchive"),
            Get<ReadHeaderExFn>(module, "ReadHeaderEx"), Get<SetProcessDataProcFn>(module, "SetProcessDataProc"),
            Get<ProcessFileFn>(module, "ProcessFile")};
}

inline int32_t OpenOrDie(const Plugin& p, const std::string& path)
{
    OpenArchiveRecord record = {path.c_str(), 0, 0};
    const int32_t handle = p.open(&record);
    if (handle == 0)
        Die("OpenArchive " + path + " failed with " + std::to_string(record.open_result));
    return handle;
}

inline uint64_t UnpackedSize(const Plugin& p, const std::string& path)
{
    const int32_t handle = OpenOrDie(p, path);
    EntryHeaderEx header = {};
    if (p.read_header(handle, &header) != 0)
        Die("ReadHeaderEx failed on " + path);
    p.close(handle);
    return header.unpacked_size | (uint64_t{header.unpacked_size_high} << 32);
}

inline uint64_t g_reported = 0;

// The cheapest host there can be: counts and never aborts.
inline int32_t ZTX_CALL CountBytes(const char* name, int32_t count)
{
    if (name == nullptr && count > 0)
        g_reported += static_cast<uint64_t>(count);
    return 1;
}

// A host that watches its callbacks: the longest wait between two of them
// (from the first to the export's return), and, once the bytes reported
// reach abort_at, the answer 0 and the time it was given.
struct Watch {
    uint64_t reported = 0;
    uint64_t abort_at = UINT64_MAX;
    double aborted = 0; // when the first 0 was answered
    double last = 0;    // the latest callback
    double longest_gap = 0;
};
inline Watch g_watch;

inline int32_t ZTX_CALL WatchBytes(const char* name, int32_t count)
{
    const double now = Now();
    if (g_watch.last != 0)
        g_watch.longest_gap = std::max(g_watch.longest_gap, now - g_watch.last);
    g_watch.last = now;
    if (name == nullptr && count > 0)
        g_watch.reported += static_cast<uint64_t>(count);
    if (g_watch.reported < g_watch.abort_at)
        return 1;
    if (g_watch.aborted == 0)
        g_watch.aborted = now;
    return 0;
}

// Starts watching; with abort_at, the host asks for an abort there.
inline void StartWatch(uint64_t abort_at = UINT64_MAX)
{
    g_watch = Watch();
    g_watch.abort_at = abort_at;
    g_watch.last = Now();
}

// Ends watching at the export's return: the wait since the last callback
// counts as a gap too.
inline void EndWatch()
{
    const double now = Now();
    g_watch.longest_gap = std::max(g_watch.longest_gap, now - g_watch.last);
    g_watch.last = now;
}

// One ProcessFile run (kTest, or kExtract into `target`), timed from the call
// to its return; the open and the header read before it are the host's
// business and take microseconds. Dies on a failure, or when the progress
// reports do not add up to `expected` bytes.
inline double TimeProcessFile(const Plugin& p, const std::string& archive, int32_t operation,
                              const std::string& target, uint64_t expected)
{
    if (!target.empty())
        DeleteFileA(target.c_str());
    const int32_t handle = OpenOrDie(p, archive);
    p.set_progress(handle, CountBytes);
    g_reported = 0;
    const double start = Now();
    const int32_t code = p.process(handle, operation, nullptr, target.empty() ? nullptr : target.c_str());
    const double seconds = Now() - start;
    p.close(handle);
    if (code != 0)
        Die("ProcessFile failed with " + std::to_string(code) + " on " + archive);
    if (g_reported != expected)
        Die("the progress reports add up to " + std::to_string(g_reported) + " bytes, not " +
            std::to_string(expected));
    return seconds;
}

// Points the plug-in's packers at a settings file of the bench's own, as a
// host does with its INI path.
inline void UseSettingsFile(HMODULE plugin, const std::string& ini)
{
    DefaultParamsRecord record = {};
    record.size = sizeof(record);
    lstrcpynA(record.default_ini_name, ini.c_str(), sizeof(record.default_ini_name));
    Get<PackSetDefaultParamsFn>(plugin, "PackSetDefaultParams")(&record);
}

// Packs one file through PackFiles, as a host hands it over: the folder and
// a list of names, each ended by a zero, the list by another.
inline int32_t PackFile(PackFilesFn pack_files, const std::string& source, const std::string& target)
{
    const std::string folder = source.substr(0, source.find_last_of('\\') + 1);
    const std::string list = source.substr(folder.size()) + std::string(1, '\0');
    return pack_files(target.c_str(), nullptr, folder.c_str(), list.c_str(), 0);
}

// The best of several timed runs: the shortest is the one least disturbed by
// the rest of the machine.
struct Best {
    double seconds = 1e300;
    void Add(double s) { seconds = s < seconds ? s : seconds; }
};

// The median and the worst of some timings, in milliseconds.
inline std::string MedianWorstMs(const std::vector<double>& seconds)
{
    char text[64];
    std::snprintf(text, sizeof(text), "%8.1f ms %8.1f ms", Median(seconds) * 1e3, Worst(seconds) * 1e3);
    return text;
}

// The median over repetitions of each repetition's ratio reference / plug-in,
// the two timed back to back: a load that comes and goes then moves both
// times of a ratio alike, where the ratio of two medians could pair a quiet
// plug-in run with a disturbed reference run.
inline double MedianRatio(const std::vector<double>& reference, const std::vector<double>& plugin)
{
    std::vector<double> ratios;
    for (size_t i = 0; i < reference.size() && i < plugin.size(); ++i)
        ratios.push_back(reference[i] / plugin[i]);
    return Median(ratios);
}

// Whether a ratio met its target, as the tables print it.
inline std::string Verdict(double ratio, double target)
{
    char text[48];
    std::snprintf(text, sizeof(text), "target >= %.2f: %s", target, ratio >= target ? "met" : "MISSED");
    return text;
}

} // namespace bench

#endif
