// Hand-assembled .xz containers with correct CRC-32s, for tests of the probe through the module.
#ifndef TESTS_WIN_XZ_SAMPLES_H
#define TESTS_WIN_XZ_SAMPLES_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace samples {

using Bytes = std::vector<uint8_t>;

struct Block {
    uint64_t data_size;          // bytes of (fake) compressed data
    uint64_t uncompressed_size;  // what the index records
    bool sizes_in_header;        // the header stores both sizes, as multi-threaded xz writes
};

// The 32-byte stream without blocks.
Bytes EmptyStream();

// A stream of blocks with CRC-64 check fields; the block data is filler that
// only the codec would reject. extra_index_words zero words follow the index
// records, covered by the index CRC and the footer's backward size.
Bytes Stream(const std::vector<Block>& blocks, size_t extra_index_words = 0);

Bytes Concat(std::initializer_list<Bytes> parts);

// The pieces, for containers too large to hold in memory whole.
void PutLe32(Bytes& out, uint32_t v);
void PutVarint(Bytes& out, uint64_t v);
// A stream's header and its footer after an index of index_size bytes,
// each with its CRC-32, for the given check ID.
Bytes StreamHeader(uint8_t check);
Bytes StreamFooter(uint64_t index_size, uint8_t check);

} // namespace samples

#endif
