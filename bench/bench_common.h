// Helpers the Windows bench programs share: a clock, loading beside the program, whole-file reads,
// the best of several timed runs and the --runs option.
#ifndef BENCH_BENCH_COMMON_H
#define BENCH_BENCH_COMMON_H

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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

// The best of several timed runs: the shortest is the one least disturbed by
// the rest of the machine.
struct Best {
    double seconds = 1e300;
    void Add(double s) { seconds = s < seconds ? s : seconds; }
};

// Takes a leading "--runs N" off the command line; the count stays at
// `runs` when none is given. A count below 1 is left for the caller to refuse.
inline void TakeRuns(int& argc, char**& argv, int& runs)
{
    if (argc > 2 && std::strcmp(argv[1], "--runs") == 0) {
        runs = std::atoi(argv[2]);
        argc -= 2;
        argv += 2;
    }
}

} // namespace bench

#endif
