// Finds liblzma.dll beside the plug-in, loads it without system dialogs, and resolves its entry
// points; and sizes the process's thread limits from the machine, once.
#include "codec/codec_library.h"

#include <windows.h>

#include <cstring>

#include "codec/threading.h"
#include "plugin/module.h"

namespace codec {

namespace {

constexpr char kLibraryFileName[] = "liblzma.dll";
constexpr DWORD kPathBufferSize = 260;
// Leaves room for the library's file name after the folder.
constexpr DWORD kModulePathLimit = 252;
// No system message box for a critical error or a missing file: a host
// running without the codec still lists archives silently.
constexpr UINT kQuietErrorMode = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;

CodecApi g_api;
HMODULE g_library = nullptr;

// Every caller waits here until the one attempt is over, and the once
// primitive's barrier makes the table complete before any caller reads it.
INIT_ONCE g_once = INIT_ONCE_STATIC_INIT;

template <typename Fn>
Fn Resolve(HMODULE library, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

bool ComposeLibraryPath(char* path)
{
    const DWORD n = GetModuleFileNameA(plugin::ModuleInstance(), path, kModulePathLimit);
    // A path cut at the limit would point at some other folder.
    if (n == 0 || n >= kModulePathLimit)
        return false;
    path[n] = '\0';
    char* file_part = std::strrchr(path, '\\');
    file_part = file_part != nullptr ? file_part + 1 : path;
    // A module with a very short file name in a very long folder leaves
    // less room than the library's name needs.
    if (static_cast<size_t>(file_part - path) + sizeof(kLibraryFileName) > kPathBufferSize)
        return false;
    std::memcpy(file_part, kLibraryFileName, sizeof(kLibraryFileName));
    return true;
}

BOOL CALLBACK Bind(PINIT_ONCE, PVOID, PVOID*)
{
    char path[kPathBufferSize];
    if (!ComposeLibraryPath(path))
        return TRUE;

    const UINT previous_mode = SetErrorMode(kQuietErrorMode);
    HMODULE library = LoadLibraryA(path);
    SetErrorMode(previous_mode);
    if (library == nullptr)
        return TRUE;

    CodecApi api;
    api.stream_decoder = Resolve<StreamDecoderFn>(library, "lzma_stream_decoder");
    api.code = Resolve<CodeFn>(library, "lzma_code");
    api.end = Resolve<EndFn>(library, "lzma_end");
    api.easy_encoder = Resolve<EasyEncoderFn>(library, "lzma_easy_encoder");
    // A library without the encoder is treated as no library at all, for
    // decoding too: a half-usable codec would make failures depend on the
    // operation in ways a user cannot tell apart.
    if (api.stream_decoder == nullptr || api.code == nullptr || api.end == nullptr ||
        api.easy_encoder == nullptr) {
        FreeLibrary(library);
        return TRUE;
    }
    // The threaded coders came later than the rest; an older library
    // simply keeps every run single-threaded.
    api.stream_decoder_mt = Resolve<StreamDecoderMtFn>(library, "lzma_stream_decoder_mt");
    api.stream_encoder_mt = Resolve<StreamEncoderMtFn>(library, "lzma_stream_encoder_mt");
    api.stream_encoder_mt_memusage =
        Resolve<StreamEncoderMtMemusageFn>(library, "lzma_stream_encoder_mt_memusage");
    if (api.stream_encoder_mt == nullptr || api.stream_encoder_mt_memusage == nullptr) {
        api.stream_encoder_mt = nullptr;
        api.stream_encoder_mt_memusage = nullptr;
    }
    api.get_progress = Resolve<GetProgressFn>(library, "lzma_get_progress");
    // lzma_filters_free is the youngest of the block decoder's names (5.3);
    // without any one of them the index-driven decode is not offered.
    api.block_header_decode = Resolve<BlockHeaderDecodeFn>(library, "lzma_block_header_decode");
    api.block_compressed_size = Resolve<BlockCompressedSizeFn>(library, "lzma_block_compressed_size");
    api.block_decoder = Resolve<BlockDecoderFn>(library, "lzma_block_decoder");
    api.filters_free = Resolve<FiltersFreeFn>(library, "lzma_filters_free");
    api.check_is_supported = Resolve<CheckIsSupportedFn>(library, "lzma_check_is_supported");
    if (api.block_header_decode == nullptr || api.block_compressed_size == nullptr ||
        api.block_decoder == nullptr || api.filters_free == nullptr || api.check_is_supported == nullptr) {
        api.block_header_decode = nullptr;
        api.block_compressed_size = nullptr;
        api.block_decoder = nullptr;
        api.filters_free = nullptr;
        api.check_is_supported = nullptr;
    }
    g_api = api;
    g_library = library;
    return TRUE;
}

} // namespace

int32_t LoadCodecLibrary()
{
    InitOnceExecuteOnce(&g_once, Bind, nullptr, nullptr);
    return g_library != nullptr ? 1 : 0;
}

const CodecApi& BoundCodec() { return g_api; }

uint32_t LogicalProcessors()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1;
}

uint64_t PhysicalMemory()
{
    MEMORYSTATUSEX status;
    status.dwLength = sizeof(status);
    return GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
}

// The machine does not change under a running process, so the limits are
// fixed at their first use; the budget is the one owner of every threaded
// decode's memory in the process.
const ThreadLimits& ProcessLimits()
{
    static const ThreadLimits limits = LimitsFor(kThisWordSize, PhysicalMemory());
    return limits;
}

MemoryBudget& ProcessDecoderBudget()
{
    static MemoryBudget budget(ProcessLimits().decoder_budget);
    return budget;
}

} // namespace codec
