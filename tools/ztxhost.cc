// ztxhost: a console host for xz.ztx. It loads the plug-in from its own folder and drives it
// through the exported interface only, as a file manager would.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "plugin/ztx_api.h"

namespace {

HMODULE g_module = nullptr;

template <typename Fn>
Fn Bind(const char* name)
{
    auto fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(g_module, name)));
    if (fn == nullptr) {
        std::fprintf(stderr, "ztxhost: xz.ztx does not export %s\n", name);
        std::exit(2);
    }
    return fn;
}

const char* Describe(int32_t code)
{
    switch (code) {
    case 0: return "success";
    case 10: return "no more entries";
    case 11: return "out of memory, no free archive slot, or the codec could not start";
    case 12: return "corrupt, truncated or unsupported data";
    case 13: return "not a valid .xz file";
    case 15: return "cannot open the file";
    case 16: return "cannot create the output file";
    case 17: return "bad archive handle";
    case 18: return "read error, bad request, or the codec library is unavailable";
    case 19: return "write error";
    case 21: return "aborted";
    case 22: return "no file to pack";
    case 23: return "too many files, or a name that does not match the entry";
    case 24: return "not supported";
    }
    return "unknown result code";
}

int Fail(int32_t code, const char* what)
{
    std::fprintf(stderr, "ztxhost: %s: %s (code %d)\n", what, Describe(code), code);
    return code == 0 ? 1 : code;
}

std::string FormatTime(uint32_t stamp)
{
    if (stamp == 0xFFFFFFFFu)
        return "(no time stamp)";
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%04u-%02u-%02u %02u:%02u:%02u", (stamp >> 25) + 1980,
                  (stamp >> 21) & 0x0F, (stamp >> 16) & 0x1F, (stamp >> 11) & 0x1F,
                  (stamp >> 5) & 0x3F, (stamp & 0x1F) * 2);
    return buf;
}

int List(const char* archive)
{
    OpenArchiveRecord record = {archive, 0, 0};
    const int32_t handle = Bind<OpenArchiveFn>("OpenArchive")(&record);
    if (handle == 0)
        return Fail(record.open_result, archive);
    EntryHeaderEx header = {};
    const int32_t code = Bind<ReadHeaderExFn>("ReadHeaderEx")(handle, &header);
    if (code != 0) {
        Bind<CloseArchiveFn>("CloseArchive")(handle);
        return Fail(code, "reading the entry");
    }
    const uint64_t packed = header.packed_size | (uint64_t{header.packed_size_high} << 32);
    const uint64_t unpacked = header.unpacked_size | (uint64_t{header.unpacked_size_high} << 32);
    std::printf("archive:  %s\n", header.archive_name);
    std::printf("entry:    %s\n", header.entry_name);
    std::printf("packed:   %llu bytes\n", static_cast<unsigned long long>(packed));
    std::printf("unpacked: %llu bytes\n", static_cast<unsigned long long>(unpacked));
    std::printf("time:     %s\n", FormatTime(header.entry_time).c_str());
    if (unpacked > 0)
        std::printf("ratio:    %.1f%%\n", 100.0 * static_cast<double>(packed) / static_cast<double>(unpacked));
    Bind<CloseArchiveFn>("CloseArchive")(handle);
    return 0;
}

void Usage()
{
    std::fprintf(stderr,
                 "usage: ztxhost list ARCHIVE.xz   show the entry, its sizes and time stamp\n");
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        Usage();
        return 2;
    }
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, n);
    dir = dir.substr(0, dir.find_last_of('\\') + 1);
    g_module = LoadLibraryA((dir + "xz.ztx").c_str());
    if (g_module == nullptr) {
        std::fprintf(stderr, "ztxhost: cannot load %sxz.ztx\n", dir.c_str());
        return 2;
    }
    const std::string command = argv[1];
    if (command == "list")
        return List(argv[2]);
    Usage();
    return 2;
}
