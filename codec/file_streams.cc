// Buffered file streams for the codec loops.
#include "codec/file_streams.h"

#include <cwchar>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace codec {

namespace {
// The runtime's default 4 KiB buffer would turn every chunk into a system
// call, which is slow under Wine and no faster on Windows.
constexpr size_t kStreamBuffer = 64 * 1024;

FILE* WithBuffer(FILE* f)
{
    if (f != nullptr)
        std::setvbuf(f, nullptr, _IOFBF, kStreamBuffer);
    return f;
}

HANDLE CreateNewFile(const char* path)
{
    return CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE CreateNewFile(const wchar_t* path)
{
    return CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

FILE* OpenRead(const char* path) { return std::fopen(path, "rb"); }
FILE* OpenRead(const wchar_t* path) { return _wfopen(path, L"rb"); }
FILE* OpenTruncating(const char* path) { return std::fopen(path, "wb"); }
FILE* OpenTruncating(const wchar_t* path) { return _wfopen(path, L"wb"); }

// "wb" asks the system to create the file or empty it, and under Wine an
// ext4 file made that way is sent to the disk when it is closed: a
// millisecond or two per 40 MiB on the caller's clock, and deleting a
// partial output after a failure then waits for that writing (60-180 ms for
// 300 MB). A file the system makes as new has none of that, so a missing
// target is created so; one that is there already is emptied by "wb", as it
// always was. The stream is the same either way.
template <typename Char>
FILE* OpenWrite(const Char* path)
{
    const HANDLE h = CreateNewFile(path);
    if (h == INVALID_HANDLE_VALUE)
        return OpenTruncating(path);
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
    if (fd == -1) {
        CloseHandle(h);
        RemoveFile(path);
        return nullptr;
    }
    FILE* const f = _fdopen(fd, "wb");
    if (f == nullptr) {
        _close(fd);
        RemoveFile(path);
    }
    return f;
}
} // namespace

FILE* OpenStream(const char* path, bool write) { return WithBuffer(write ? OpenWrite(path) : OpenRead(path)); }
FILE* OpenStream(const wchar_t* path, bool write) { return WithBuffer(write ? OpenWrite(path) : OpenRead(path)); }

bool CloseWritten(FILE* file)
{
    // Wine 8's fclose answers 0 even when flushing its buffer fails (a disk
    // that fills at the last write), so the flush is asked for on its own
    // and the stream's error flag read before the close.
    const bool flushed = std::fflush(file) == 0 && std::ferror(file) == 0;
    return std::fclose(file) == 0 && flushed;
}

bool RemoveFile(const char* path) { return std::remove(path) == 0; }
bool RemoveFile(const wchar_t* path) { return _wremove(path) == 0; }

ChunkRead FileSource::Read(uint8_t* buf, size_t capacity)
{
    ChunkRead r;
    r.count = std::fread(buf, 1, capacity, file_);
    r.end = std::feof(file_) != 0;
    r.error = std::ferror(file_) != 0;
    return r;
}

bool FileSink::Write(const uint8_t* bytes, size_t count)
{
    return std::fwrite(bytes, 1, count, file_) == count && std::ferror(file_) == 0;
}

} // namespace codec
