// Console text and path helpers for ztxhost.
#include "tools/console.h"

#include <windows.h>

#include <io.h>
#include <shellapi.h>

namespace ztxhost {

std::vector<std::wstring> CommandLineArguments()
{
    std::vector<std::wstring> args;
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (argv == nullptr)
        return args;
    for (int i = 1; i < count; ++i)
        args.emplace_back(argv[i]);
    LocalFree(argv);
    return args;
}

namespace {

HANDLE HandleOf(std::FILE* stream)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

} // namespace

bool IsConsole(std::FILE* stream)
{
    DWORD mode = 0;
    return GetConsoleMode(HandleOf(stream), &mode) != 0;
}

void Write(std::FILE* stream, const std::wstring& text)
{
    if (text.empty())
        return;
    // The C stream may hold bytes written earlier; they must come out first.
    std::fflush(stream);
    DWORD written = 0;
    if (IsConsole(stream) &&
        WriteConsoleW(HandleOf(stream), text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
        return;
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                      nullptr, nullptr);
    if (n <= 0)
        return;
    std::string bytes(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], n, nullptr,
                        nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), stream);
    std::fflush(stream);
}

void Write(std::FILE* stream, const std::string& ascii) { Write(stream, Widen(ascii)); }

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

bool ToAnsi(const std::wstring& text, std::string* ansi)
{
    ansi->clear();
    if (text.empty())
        return true;
    const int length = static_cast<int>(text.size());
    const int bytes = WideCharToMultiByte(CP_ACP, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return false;
    ansi->resize(static_cast<size_t>(bytes));
    WideCharToMultiByte(CP_ACP, 0, text.data(), length, &(*ansi)[0], bytes, nullptr, nullptr);
    // A character the code page lacks comes out as '?' or as a look-alike
    // ("best fit"), either of which names another file; only text that
    // reads back unchanged is exact. This holds for every code page,
    // UTF-8 and double-byte ones included.
    const int units = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi->data(), bytes, nullptr, 0);
    if (units != length)
        return false;
    std::wstring back(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi->data(), bytes, &back[0], units);
    return back == text;
}

std::wstring FullPath(const std::wstring& path)
{
    if (path.empty())
        return std::wstring();
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return std::wstring();
    std::wstring full(needed, L'\0');
    const DWORD n = GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
    if (n == 0 || n >= needed)
        return std::wstring();
    full.resize(n);
    return full;
}

std::wstring FolderOf(const std::wstring& full_path)
{
    const size_t slash = full_path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : full_path.substr(0, slash + 1);
}

bool IsFolder(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool SamePath(const std::wstring& a, const std::wstring& b)
{
    return lstrcmpiW(a.c_str(), b.c_str()) == 0;
}

} // namespace ztxhost
