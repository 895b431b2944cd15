// Field sizes, offsets, magic bytes and flag masks of the .xz container, named after the format's own fields.
#ifndef XZFORMAT_XZ_FORMAT_H
#define XZFORMAT_XZ_FORMAT_H

#include <cstddef>
#include <cstdint>

namespace xzformat {

// Stream header: magic, two stream-flag bytes, CRC-32 of the flags.
constexpr size_t kStreamHeaderSize = 12;
constexpr uint8_t kHeaderMagic[6] = {0xFD, 0x37, 0x7A, 0x58, 0x5A, 0x00};
constexpr size_t kHeaderMagicSize = sizeof(kHeaderMagic);
constexpr size_t kStreamFlagsOffset = 6;
constexpr size_t kStreamFlagsSize = 2;
constexpr size_t kStreamHeaderCrcOffset = 8;
// The first flag byte is reserved, and so are the high bits of the second,
// whose low four bits name the integrity check.
constexpr uint8_t kStreamCheckReserved = 0xF0;

// Stream footer: CRC-32, backward size, stream flags, magic.
constexpr size_t kStreamFooterSize = 12;
constexpr size_t kFooterCrcOffset = 0;
constexpr size_t kBackwardSizeOffset = 4;
constexpr size_t kFooterFlagsOffset = 8;
constexpr size_t kFooterMagicOffset = 10;
constexpr uint8_t kFooterMagic[2] = {0x59, 0x5A};
// The footer CRC covers the backward size and the stream flags.
constexpr size_t kFooterCrcCoveredOffset = kBackwardSizeOffset;
constexpr size_t kFooterCrcCoveredSize = 6;

// Block header: its first byte s gives the length (s + 1) * 4.
constexpr size_t kBlockHeaderSizeUnit = 4;
constexpr size_t kBlockHeaderMaxSize = 1024;
constexpr size_t kBlockHeaderSizeByteOffset = 0;
constexpr size_t kBlockFlagsOffset = 1;
constexpr size_t kBlockHeaderFieldsOffset = 2;
constexpr uint8_t kBlockFlagCompressedSize = 0x40;
constexpr uint8_t kBlockFlagUncompressedSize = 0x80;
constexpr uint8_t kBlockFlagsReserved = 0x3C;
// The low two bits of the block flags count the filters, less one.
constexpr uint8_t kBlockFilterCountMask = 0x03;
constexpr size_t kCrc32Size = 4;

// The LZMA2 filter and its one property byte, which encodes the dictionary
// size as (2 | (bits & 1)) << (bits / 2 + 11), bits up to 40 (4 GiB - 1).
constexpr uint64_t kFilterLzma2 = 0x21;
constexpr uint64_t kLzma2PropertiesSize = 1;
constexpr uint8_t kLzma2DictionaryBitsMax = 40;
constexpr uint64_t kLzma2DictionaryMax = 0xFFFFFFFF;

// Index: indicator byte, record count, records, padding, CRC-32. Its
// length is stored in the footer as (length / 4) - 1.
constexpr uint8_t kIndexIndicator = 0x00;
constexpr uint64_t kIndexSizeUnit = 4;
// The smallest record is one byte per field.
constexpr uint64_t kIndexMinRecordSize = 2;

// Blocks, indexes and streams all start at multiples of four; stream
// padding is made of whole zero words.
constexpr uint64_t kAlignment = 4;
// A block's size on disk: its unpadded size with the block padding that
// rounds it to four.
constexpr uint64_t PaddedSize(uint64_t unpadded) { return (unpadded + kAlignment - 1) & ~(kAlignment - 1); }

// A block is at least a 4-byte header... plus one byte of data in the
// smallest unpadded size the format admits.
constexpr uint64_t kUnpaddedSizeMin = 5;

// Multibyte integers: at most nine bytes carrying 63 bits.
constexpr size_t kMultibyteMaxBytes = 9;
constexpr uint64_t kMultibyteMax = UINT64_MAX >> 1;

} // namespace xzformat

#endif
