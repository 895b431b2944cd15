// Loading xz.ztx beside ztxhost.exe, binding its exports, and the result-code texts.
#include "tools/plugin_module.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/console.h"
#include "xzformat/le_read.h"

namespace ztxhost {

namespace {

HMODULE g_module = nullptr;

// A process loads only modules of its own word size.
constexpr int kOwnBits = sizeof(void*) == 8 ? 64 : 32;

// Where a PE file names its machine: the DOS header points to the "PE\0\0"
// signature, and the machine field follows it.
constexpr long kPeOffsetField = 0x3C;
constexpr uint8_t kPeSignature[4] = {'P', 'E', 0, 0};
constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMachineAmd64 = 0x8664;

// 32 or 64 for a Windows module of either word size, else 0.
int ModuleBits(const std::wstring& path)
{
    std::FILE* f = _wfopen(path.c_str(), L"rb");
    if (f == nullptr)
        return 0;
    uint8_t field[4];
    uint8_t header[6];
    int bits = 0;
    if (std::fseek(f, kPeOffsetField, SEEK_SET) == 0 && std::fread(field, 1, sizeof(field), f) == sizeof(field) &&
        std::fseek(f, static_cast<long>(xzformat::ReadLe32(field)), SEEK_SET) == 0 &&
        std::fread(header, 1, sizeof(header), f) == sizeof(header) &&
        std::memcmp(header, kPeSignature, sizeof(kPeSignature)) == 0) {
        const uint16_t machine = xzformat::ReadLe16(header + sizeof(kPeSignature));
        bits = machine == kMachineI386 ? 32 : machine == kMachineAmd64 ? 64 : 0;
    }
    std::fclose(f);
    return bits;
}

} // namespace

std::wstring OwnFolder()
{
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return std::wstring();
    return FolderOf(std::wstring(path, n));
}

bool LoadPlugin()
{
    // The plug-in finds liblzma.dll beside itself, so it has to come from a
    // folder that holds both, exactly as in a host's plug-in folder.
    const std::wstring folder = OwnFolder();
    if (folder.empty()) {
        Write(stderr, "ztxhost: cannot find its own folder\n");
        return false;
    }
    const std::wstring plugin = folder + L"xz.ztx";
    g_module = LoadLibraryW(plugin.c_str());
    if (g_module == nullptr) {
        const DWORD error = GetLastError();
        const int bits = ModuleBits(plugin);
        std::wstring why;
        if (!Exists(plugin))
            why = L": no such file";
        else if (bits != 0 && bits != kOwnBits)
            why = L": it is a " + std::to_wstring(bits) + L"-bit module, and this ztxhost is " +
                  std::to_wstring(kOwnBits) + L"-bit; use the ztxhost.exe that comes with the " +
                  std::to_wstring(bits) + L"-bit xz.ztx";
        else
            why = L" (error " + std::to_wstring(error) + L")";
        Write(stderr, L"ztxhost: cannot load " + plugin + why + L"\n");
        return false;
    }
    return true;
}

void* FindExport(const char* name)
{
    return reinterpret_cast<void*>(GetProcAddress(g_module, name));
}

void ExitMissingExport(const char* name)
{
    Write(stderr, std::string("ztxhost: xz.ztx does not export ") + name + "\n");
    std::exit(kExitUsage);
}

const char* Describe(int32_t code)
{
    using plugin::ResultCode;
    switch (static_cast<ResultCode>(code)) {
    case ResultCode::Ok: return "success";
    case ResultCode::NoMoreEntries: return "no more entries";
    case ResultCode::NoMemory: return "out of memory, no free archive slot, or the codec could not start";
    case ResultCode::BadData: return "corrupt, truncated or unsupported data";
    case ResultCode::BadArchive: return "not a valid .xz file";
    case ResultCode::OpenError: return "cannot open the file";
    case ResultCode::CreateError: return "cannot create the output file";
    case ResultCode::CloseError: return "bad archive handle";
    case ResultCode::ReadError: return "read error, bad request, or the codec library is unavailable";
    case ResultCode::WriteError: return "write error, or the archive could not be deleted";
    case ResultCode::Aborted: return "aborted";
    case ResultCode::NoFiles: return "no file to pack";
    case ResultCode::TooManyFiles: return "too many files, or a name that does not match the entry";
    case ResultCode::NotSupported: return "not supported";
    }
    return "unknown result code";
}

int ReportFailure(int32_t code, const std::wstring& what)
{
    char tail[160];
    std::snprintf(tail, sizeof(tail), ": %s (code %d)\n", Describe(code), static_cast<int>(code));
    Write(stderr, L"ztxhost: " + what + Widen(tail));
    // A failure must never look like success to a script, even if the
    // plug-in ever reported one with code 0.
    return code == 0 ? kExitRefused : code;
}

int Refuse(const std::wstring& message)
{
    Write(stderr, L"ztxhost: " + message + L"\n");
    return kExitRefused;
}

} // namespace ztxhost
