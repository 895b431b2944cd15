// Buffered file streams for the codec loops.
#include "codec/file_streams.h"

#include <cwchar>

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
} // namespace

FILE* OpenStream(const char* path, bool write) { return WithBuffer(std::fopen(path, write ? "wb" : "rb")); }

FILE* OpenStream(const wchar_t* path, bool write)
{
    return WithBuffer(_wfopen(path, write ? L"wb" : L"rb"));
}

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
