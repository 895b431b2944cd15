// Runtime file streams as codec-loop sources and sinks, with large buffers so that 4096-byte
// steps do not each become a system call.
#ifndef CODEC_FILE_STREAMS_H
#define CODEC_FILE_STREAMS_H

#include <cstdio>

#include "codec/chunk_io.h"

namespace codec {

// Opens with the runtime's buffered streams in binary mode; null on failure.
FILE* OpenStream(const char* path, bool write);
FILE* OpenStream(const wchar_t* path, bool write);

// Closes a stream that was written to; true only when every byte written
// reached the file: the last buffer flushed, no error met, the close clean.
bool CloseWritten(FILE* file);

// Deletes a file; false when it could not be deleted.
bool RemoveFile(const char* path);
bool RemoveFile(const wchar_t* path);

class FileSource final : public ChunkSource {
public:
    explicit FileSource(FILE* file) : file_(file) {}
    ChunkRead Read(uint8_t* buf, size_t capacity) override;

private:
    FILE* file_;
};

class FileSink final : public ChunkSink {
public:
    explicit FileSink(FILE* file) : file_(file) {}
    bool Write(const uint8_t* bytes, size_t count) override;

private:
    FILE* file_;
};

} // namespace codec

#endif
