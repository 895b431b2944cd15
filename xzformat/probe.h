// Inspection of an .xz file without decompressing it: validity and unpacked size.
#ifndef XZFORMAT_PROBE_H
#define XZFORMAT_PROBE_H

#include <cstddef>
#include <cstdint>
#include <vector>

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

// The blocks of every stream as their indexes list them.
struct BlockLayout {
    uint64_t count;                // 0 when the indexes could not be read
    uint64_t largest_unpadded;     // unpadded size (header, data, check) of the largest block
    uint64_t largest_uncompressed; // uncompressed size of the largest block
    uint64_t dictionary;           // LZMA2 dictionary, 0 when unknown: the open reads only the
                                   // first block's; the block decoder, the largest of all
    uint64_t streams = 0;          // streams in the chain, empty ones included
    bool first_block_sized = false; // the first block header stores its uncompressed size
    uint64_t uncompressed = 0;     // every block's uncompressed size, summed
};

// One block as the index of its stream lists it, placed in the file; or,
// with unpadded 0, a stream that holds no block at all, listed for its
// check, which a decoder must refuse there as it would for a block.
struct BlockRecord {
    uint64_t offset;       // of the block header, or of an empty stream's header
    uint64_t unpadded;     // header, data and check, without the block padding
    uint64_t uncompressed; // bytes the block decodes to
    uint8_t check;         // the stream's check ID
};

// The most records a decoder's walk keeps (32 MiB of them): an index past
// that is decoded by the stream decoder, which needs no table. The cap also
// keeps the table within a 32-bit vector's max_size, which a sparse file of
// 671 MB would pass otherwise.
constexpr uint64_t kMaxBlockRecords = uint64_t{1} << 20;
// The table's size, as the decode budget counts it, in both word sizes;
// a vector's max_size is PTRDIFF_MAX bytes over the element's size.
static_assert(sizeof(BlockRecord) == 32, "a record is counted as 32 bytes");
static_assert(kMaxBlockRecords * sizeof(BlockRecord) <= uint64_t{PTRDIFF_MAX} / 2,
              "the capped table fits a vector in a 32-bit process with room to spare");

enum class WalkStatus {
    Ok,
    BadData,   // not (or no longer) a whole chain of sound streams
    ReadError, // a read failed within the file
    NoMemory,  // an index or the records would not fit in memory, or pass the cap
};

struct ProbeResult {
    uint64_t packed_size;   // the whole source, in bytes
    uint64_t unpacked_size; // the entry after decompression
    BlockLayout blocks;     // all zero when the size came from the first block header
};

// Checks the stream header and finds the unpacked size: the index sum of all
// streams when the tail of the source reads as a chain of whole streams,
// otherwise the first block header's stored size. Fills result only on Ok.
ProbeStatus XzProbe(ByteSource& source, ProbeResult* result);

// The first block header, which starts right after the stream header:
// its uncompressed size, SizeAbsent or SizeError. When dictionary is given,
// it receives the dictionary size of an LZMA2 filter in the header, or 0.
int64_t ReadFirstBlockHeader(ByteSource& source, uint64_t* dictionary = nullptr);

// Block header at offset: as ReadFirstBlockHeader.
int64_t ReadBlockHeader(ByteSource& source, uint64_t offset, uint64_t* dictionary = nullptr);

// Walks back from the end of a source of file_size bytes over stream padding
// (of any length), footers, indexes and blocks to offset 0,
// and returns the sum of the
// uncompressed sizes of every index record of every stream, or SizeError
// when the tail is not such a chain. Fills blocks, when given, only on success.
int64_t ReadFooterAndIndex(ByteSource& source, uint64_t file_size, BlockLayout* blocks = nullptr);

// The same walk over the source as it is now, for a decoder that trusts
// nothing read before: every stream header and footer (and their flags'
// agreement), every index with its CRC-32, records and padding, and the
// stream padding are checked again. Fills records, in file order, on Ok.
// Allocates in proportion to the indexes only, and gives NoMemory as soon
// as the records counted pass max_records, before it holds them.
WalkStatus ReadBlockRecords(ByteSource& source, std::vector<BlockRecord>* records,
                            uint64_t max_records = kMaxBlockRecords);

} // namespace xzformat

#endif
