// Runtime file streams as codec-loop sources and sinks, with large buffers so that 4096-byte
// steps do not each become a system call.
#ifndef CODEC_FILE_STREAMS_H
#define CODEC_FILE_STREAMS_H

#include <cstdio>

#include "codec/chunk_io.h"
#include "plugin/result_code.h"

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

// The input and output files of a test, extraction or packing, closed
// however the run ends: the output stays only after a run that succeeded
// and whose last buffer reached the disk, and is removed otherwise.
template <typename Char>
class RunFiles {
public:
    explicit RunFiles(const Char* output) : output_(output) {}
    ~RunFiles() { Discard(); }
    RunFiles(const RunFiles&) = delete;
    RunFiles& operator=(const RunFiles&) = delete;

    // The input is opened first, so that an input that vanished leaves no
    // empty output behind.
    plugin::ResultCode Open(const Char* input, bool make_output)
    {
        in_ = OpenStream(input, false);
        if (in_ == nullptr)
            return plugin::ResultCode::OpenError;
        if (make_output && (out_ = OpenStream(output_, true)) == nullptr)
            return plugin::ResultCode::CreateError;
        return plugin::ResultCode::Ok;
    }
    FILE* in() const { return in_; }
    FILE* out() const { return out_; }

    // Closes both after a run that ended with result, which a failure to
    // write the last buffer turns into 19: that is a lost write.
    plugin::ResultCode Close(plugin::ResultCode result)
    {
        std::fclose(in_);
        in_ = nullptr;
        if (out_ != nullptr) {
            FILE* const out = out_;
            out_ = nullptr;
            if (!CloseWritten(out) && result == plugin::ResultCode::Ok)
                result = plugin::ResultCode::WriteError;
            if (result != plugin::ResultCode::Ok)
                RemoveFile(output_);
        }
        return result;
    }

    // Closes whatever is open, removing the output: a run that never ended.
    void Discard()
    {
        if (in_ != nullptr)
            std::fclose(in_);
        in_ = nullptr;
        if (out_ != nullptr) {
            std::fclose(out_);
            out_ = nullptr;
            RemoveFile(output_);
        }
    }

private:
    const Char* output_;
    FILE* in_ = nullptr;
    FILE* out_ = nullptr;
};

} // namespace codec

#endif
