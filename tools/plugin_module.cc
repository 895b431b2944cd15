// Loading xz.ztx beside ztxhost.exe, binding its exports, and the result-code texts.
#include "tools/plugin_module.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "tools/console.h"

namespace ztxhost {

namespace {

HMODULE g_module = nullptr;

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
        Write(stderr, L"ztxhost: cannot load " + plugin + L"\n");
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
