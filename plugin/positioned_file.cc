// Positioned reads with ReadFile and an offset per call.
#include "plugin/positioned_file.h"

#include <windows.h>

namespace plugin {

namespace {

// Other programs may go on reading, writing or deleting the archive, as
// they may while the runtime's stream holds it.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// One ReadFile moves at most this much, well within its 32-bit count.
constexpr size_t kMaxRead = 1u << 30;

} // namespace

PositionedFile::PositionedFile(const char* path)
    : handle_(CreateFileA(path, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))
{
}

PositionedFile::PositionedFile(const wchar_t* path)
    : handle_(CreateFileW(path, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr))
{
}

PositionedFile::~PositionedFile()
{
    if (ok())
        CloseHandle(handle_);
}

bool PositionedFile::ok() const { return handle_ != INVALID_HANDLE_VALUE; }

bool PositionedFile::Size(uint64_t* size)
{
    LARGE_INTEGER s;
    if (!ok() || !GetFileSizeEx(handle_, &s))
        return false;
    *size = static_cast<uint64_t>(s.QuadPart);
    return true;
}

size_t PositionedFile::ReadAt(uint64_t offset, void* buf, size_t n)
{
    size_t done = 0;
    while (ok() && done < n) {
        const uint64_t at = offset + done;
        OVERLAPPED where = {};
        where.Offset = static_cast<DWORD>(at);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        const DWORD want = static_cast<DWORD>(n - done < kMaxRead ? n - done : kMaxRead);
        DWORD got = 0;
        if (!ReadFile(handle_, static_cast<char*>(buf) + done, want, &got, &where) || got == 0)
            break;
        done += got;
    }
    return done;
}

} // namespace plugin
