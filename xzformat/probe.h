// Inspection of an .xz file without decompressing it: validity and unpacked size.
#ifndef XZFORMAT_PROBE_H
#define XZFORMAT_PROBE_H

#include <cstdint>

#include "xzformat/byte_source.h"

namespace xzformat {

// Results of the size readers: a size of 0 or more, or one of these.
constexpr int64_t SizeAbsent = -1; // the first block header stores no uncompressed size
constexpr int64_t SizeError = -2;  // malformed container or a short read

enum class ProbeStatus {
    Ok,
    TooShort,  // fewer bytes than a stream header
    Malformed, // not an .xz file, or no unpacked size can be found
};

struct ProbeResult {
    uint64_t packed_size;   // the whole source, in bytes
    uint64_t unpacked_size; // the entry after decompression
};

// Checks the stream header and finds the unpacked size: the index sum of all
// streams when the tail of the source reads as a chain of whole streams,
// otherwise the first block header's stored size. Fills result only on Ok.
ProbeStatus XzProbe(ByteSource& source, ProbeResult* result);

// The first block header, which starts right after the stream header:
// its uncompressed size, SizeAbsent or SizeError.
int64_t ReadFirstBlockHeader(ByteSource& source);

// Walks back from the end of a source of file_size bytes over stream padding,
// footers, indexes and blocks to offset 0, and returns the sum of the
// uncompressed sizes of every index record of every stream, or SizeError
// when the tail is not such a chain.
int64_t ReadFooterAndIndex(ByteSource& source, uint64_t file_size);

} // namespace xzformat

#endif
