// Random-access byte input for the container readers: a file on Windows, a buffer in tests and fuzzing.
#ifndef XZFORMAT_BYTE_SOURCE_H
#define XZFORMAT_BYTE_SOURCE_H

#include <cstddef>
#include <cstdint>

namespace xzformat {

// The readers never assume that a source is a file, so the probe can run over
// memory in the fuzzer and over a descriptor inside the plug-in alike.
class ByteSource {
public:
    virtual ~ByteSource() = default;

    // Total length in bytes; false when it cannot be found out.
    virtual bool Size(uint64_t* size) = 0;

    // Copies up to n bytes starting at offset into buf and returns how many
    // arrived. Fewer than n means the end of the data or a read error; the
    // readers treat both as a short read.
    virtual size_t ReadAt(uint64_t offset, void* buf, size_t n) = 0;
};

// A source over bytes the caller keeps alive for the source's lifetime.
class MemorySource final : public ByteSource {
public:
    MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Size(uint64_t* size) override;
    size_t ReadAt(uint64_t offset, void* buf, size_t n) override;

private:
    const uint8_t* data_;
    size_t size_;
};

// Passes reads on to another source and counts them, the bytes they bring
// and those that came back short: what opening a file costs, for the
// benchmark and the tests, and whether a walk failed for want of bytes.
class CountingSource final : public ByteSource {
public:
    explicit CountingSource(ByteSource& inner) : inner_(inner) {}

    bool Size(uint64_t* size) override { return inner_.Size(size); }
    size_t ReadAt(uint64_t offset, void* buf, size_t n) override
    {
        const size_t got = inner_.ReadAt(offset, buf, n);
        ++reads_;
        bytes_ += got;
        short_reads_ += got < n ? 1 : 0;
        return got;
    }

    uint64_t bytes() const { return bytes_; }
    uint64_t reads() const { return reads_; }
    uint64_t short_reads() const { return short_reads_; }

private:
    ByteSource& inner_;
    uint64_t bytes_ = 0;
    uint64_t reads_ = 0;
    uint64_t short_reads_ = 0;
};

} // namespace xzformat

#endif
