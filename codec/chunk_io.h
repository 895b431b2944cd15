// The byte streams a codec run reads from and writes to: files in the plug-in, memory in tests.
#ifndef CODEC_CHUNK_IO_H
#define CODEC_CHUNK_IO_H

#include <cstddef>
#include <cstdint>

namespace codec {

struct ChunkRead {
    size_t count; // bytes placed in the buffer
    bool end;     // no more input after these bytes
    bool error;   // the input failed; counts as its end too
};

class ChunkSource {
public:
    virtual ~ChunkSource() = default;
    virtual ChunkRead Read(uint8_t* buf, size_t capacity) = 0;
};

class ChunkSink {
public:
    static constexpr uint64_t kNoFailure = UINT64_MAX;

    virtual ~ChunkSink() = default;
    // False when the bytes could not all be written.
    virtual bool Write(const uint8_t* bytes, size_t count) = 0;
    // A sink that writes on a thread of its own learns of a failure after
    // its Write answered true. This waits until every byte handed over has
    // been written or has failed, and returns how many bytes were handed
    // over before the Write call whose bytes failed, or kNoFailure. A sink
    // that writes at once says so from Write and keeps this default.
    virtual uint64_t Settle() { return kNoFailure; }
};

// The host's progress callback as the codec loops see it: the bytes a step
// produced or a chunk consumed; false asks for an abort.
class ProgressSink {
public:
    virtual ~ProgressSink() = default;
    virtual bool Report(int32_t bytes) = 0;
};

} // namespace codec

#endif
