// Validity and unpacked size of an .xz file, read from its container fields alone.
#include "xzformat/probe.h"

#include <cstring>
#include <memory>
#include <new>

#include "xzformat/crc32.h"
#include "xzformat/le_read.h"
#include "xzformat/multibyte.h"
#include "xzformat/xz_format.h"

namespace xzformat {

namespace {

bool ReadExactly(ByteSource& source, uint64_t offset, void* buf, size_t n)
{
    return source.ReadAt(offset, buf, n) == n;
}

// Adds b to *sum unless the total would pass the largest size the format
// can express; a file claiming more is malformed, not a wrapped number.
bool AddSize(uint64_t* sum, uint64_t b)
{
    if (b > kMultibyteMax || *sum > kMultibyteMax - b)
        return false;
    *sum += b;
    return true;
}

bool IsStreamHeader(const uint8_t* header)
{
    if (std::memcmp(header, kHeaderMagic, kHeaderMagicSize) != 0)
        return false;
    return Crc32Matches(header + kStreamFlagsOffset, kStreamFlagsSize,
                        header + kStreamHeaderCrcOffset);
}

// The longest run of stream padding walked over. Real files carry a few
// bytes, or pad to a device's block (a tar record of 10 KiB, a tape block of
// up to 64 KiB); a longer run of zeros is taken for what it most likely is,
// a damaged or hostile tail, so that opening reads a bounded amount whatever
// the file's size. Past it the tail counts as unreadable.
constexpr uint64_t kStreamPaddingMax = 64 * 1024;

// Moves *end back over stream padding: whole zero words in front of it, at
// most kStreamPaddingMax bytes of them; false when the run is longer or
// cannot be read. Reads in chunks so that padding costs no memory.
bool SkipStreamPadding(ByteSource& source, uint64_t* end)
{
    // Most files end in a footer, whose last word is never zero: one small
    // read settles it before any scan.
    uint8_t last[kAlignment];
    if (*end < kAlignment || !ReadExactly(source, *end - kAlignment, last, sizeof(last)))
        return false;
    if (last[0] != 0 || last[1] != 0 || last[2] != 0 || last[3] != 0)
        return true;

    // One word beyond the bound tells a run that is too long from one that
    // just fits.
    const uint64_t scan = kStreamPaddingMax + kAlignment;
    const uint64_t lowest = *end > scan ? *end - scan : 0;
    uint8_t chunk[4096];
    while (*end > lowest) {
        const uint64_t left = *end - lowest;
        const uint64_t n = left < sizeof(chunk) ? left : sizeof(chunk);
        const uint64_t start = *end - n;
        if (!ReadExactly(source, start, chunk, static_cast<size_t>(n)))
            return false;
        size_t zeros = 0;
        while (zeros < n && chunk[n - 1 - zeros] == 0)
            ++zeros;
        *end -= zeros - zeros % kAlignment;
        if (zeros < n)
            return true;
    }
    // Zeros all the way back to the start of the file leave nothing to walk
    // into, which the caller finds out for itself.
    return *end == 0;
}

struct IndexTotals {
    uint64_t blocks_size;       // bytes of all blocks, each padded to four
    uint64_t uncompressed_size; // sum of the records' uncompressed sizes
    BlockLayout blocks;         // the records' count and largest sizes
};

void Merge(BlockLayout* into, const BlockLayout& b)
{
    into->count += b.count;
    if (b.largest_unpadded > into->largest_unpadded)
        into->largest_unpadded = b.largest_unpadded;
    if (b.largest_uncompressed > into->largest_uncompressed)
        into->largest_uncompressed = b.largest_uncompressed;
}

// Bytes a multibyte integer at p may use; never more than the nine it can
// have, so the count fits the decoder's 32-bit argument for any index size.
uint32_t Available(uint64_t end, uint64_t p)
{
    const uint64_t left = end - p;
    return static_cast<uint32_t>(left < kMultibyteMaxBytes ? left : kMultibyteMaxBytes);
}

// Decodes the records of one index held in buf. Every field is decoded only
// within the record area, which ends where the index's CRC-32 begins.
bool DecodeIndex(const uint8_t* buf, uint64_t size, IndexTotals* totals)
{
    if (size < kIndexSizeUnit + kCrc32Size || buf[0] != kIndexIndicator)
        return false;
    const uint64_t records_end = size - kCrc32Size;
    uint64_t p = 1;
    uint64_t count = 0;
    int32_t used = DecodeMultibyteInteger(buf + p, Available(records_end, p), &count);
    if (used == 0)
        return false;
    p += static_cast<uint64_t>(used);
    // Checked before the loop so that a huge count cannot spin for long.
    if (count > (records_end - p) / kIndexMinRecordSize)
        return false;

    totals->blocks_size = 0;
    totals->uncompressed_size = 0;
    totals->blocks = BlockLayout{count, 0, 0, 0};
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t unpadded = 0;
        uint64_t uncompressed = 0;
        used = DecodeMultibyteInteger(buf + p, Available(records_end, p), &unpadded);
        if (used == 0)
            return false;
        p += static_cast<uint64_t>(used);
        used = DecodeMultibyteInteger(buf + p, Available(records_end, p), &uncompressed);
        if (used == 0)
            return false;
        p += static_cast<uint64_t>(used);
        if (unpadded < kUnpaddedSizeMin)
            return false;
        const uint64_t padded = (unpadded + kAlignment - 1) & ~(kAlignment - 1);
        if (!AddSize(&totals->blocks_size, padded) ||
            !AddSize(&totals->uncompressed_size, uncompressed))
            return false;
        Merge(&totals->blocks, BlockLayout{0, unpadded, uncompressed, 0});
    }
    // The records fill the index up to its padding, which rounds to four.
    return records_end - p < kAlignment && records_end % kAlignment == 0;
}

// Reads the stream that ends at *end (its footer's last byte at *end - 1),
// adds its index sum to *sum and its blocks to *blocks, and moves *end to
// the stream's first byte.
bool StepBackOverStream(ByteSource& source, uint64_t* end, uint64_t* sum, BlockLayout* blocks)
{
    const uint64_t minimum = kStreamHeaderSize + kIndexSizeUnit * 2 + kStreamFooterSize;
    if (*end < minimum)
        return false;

    uint8_t footer[kStreamFooterSize];
    const uint64_t footer_start = *end - kStreamFooterSize;
    if (!ReadExactly(source, footer_start, footer, sizeof(footer)))
        return false;
    if (std::memcmp(footer + kFooterMagicOffset, kFooterMagic, sizeof(kFooterMagic)) != 0)
        return false;
    if (!Crc32Matches(footer + kFooterCrcCoveredOffset, kFooterCrcCoveredSize,
                      footer + kFooterCrcOffset))
        return false;

    const uint64_t index_size =
        (static_cast<uint64_t>(ReadLe32(footer + kBackwardSizeOffset)) + 1) * kIndexSizeUnit;
    // The index and a stream header must fit in front of the footer; this
    // also bounds the allocation below by the file's own size.
    if (index_size > footer_start - kStreamHeaderSize)
        return false;
    if (index_size > SIZE_MAX)
        return false;
    const uint64_t index_start = footer_start - index_size;

    std::unique_ptr<uint8_t[]> index(new (std::nothrow) uint8_t[static_cast<size_t>(index_size)]);
    if (!index)
        return false;
    if (!ReadExactly(source, index_start, index.get(), static_cast<size_t>(index_size)))
        return false;
    IndexTotals totals;
    if (!DecodeIndex(index.get(), index_size, &totals))
        return false;
    index.reset();

    if (totals.blocks_size > index_start - kStreamHeaderSize)
        return false;
    const uint64_t stream_start = index_start - totals.blocks_size - kStreamHeaderSize;

    uint8_t header[kStreamHeaderSize];
    // The footer's flags are covered by its CRC-32 but not held against the
    // header's: a stream whose data the codec may still decode is listed.
    if (!ReadExactly(source, stream_start, header, sizeof(header)) || !IsStreamHeader(header))
        return false;

    if (!AddSize(sum, totals.uncompressed_size))
        return false;
    Merge(blocks, totals.blocks);
    *end = stream_start;
    return true;
}

// The dictionary size of the LZMA2 filter among the filter flags that start
// at p, or 0 when there is none or the flags do not read. Only a memory
// estimate rests on it, so it never makes a header invalid.
uint64_t Lzma2Dictionary(const uint8_t* buf, size_t p, size_t end, uint8_t flags)
{
    const int filters = (flags & kBlockFilterCountMask) + 1;
    for (int i = 0; i < filters; ++i) {
        uint64_t id = 0;
        uint64_t properties_size = 0;
        int32_t used = DecodeMultibyteInteger(buf + p, static_cast<uint32_t>(end - p), &id);
        if (used == 0)
            return 0;
        p += static_cast<size_t>(used);
        used = DecodeMultibyteInteger(buf + p, static_cast<uint32_t>(end - p), &properties_size);
        if (used == 0 || properties_size > end - p - static_cast<size_t>(used))
            return 0;
        p += static_cast<size_t>(used);
        if (id == kFilterLzma2 && properties_size == kLzma2PropertiesSize) {
            const uint8_t bits = buf[p];
            if (bits > kLzma2DictionaryBitsMax)
                return 0;
            if (bits == kLzma2DictionaryBitsMax)
                return kLzma2DictionaryMax;
            return uint64_t{2u | (bits & 1u)} << (bits / 2 + 11);
        }
        p += static_cast<size_t>(properties_size);
    }
    return 0;
}

} // namespace

int64_t ReadFirstBlockHeader(ByteSource& source, uint64_t* dictionary)
{
    if (dictionary != nullptr)
        *dictionary = 0;
    uint8_t buf[kBlockHeaderMaxSize];
    if (!ReadExactly(source, kStreamHeaderSize, buf, kBlockHeaderFieldsOffset))
        return SizeError;

    const size_t header_size =
        (static_cast<size_t>(buf[kBlockHeaderSizeByteOffset]) + 1) * kBlockHeaderSizeUnit;
    const uint8_t flags = buf[kBlockFlagsOffset];
    if ((flags & kBlockFlagsReserved) != 0)
        return SizeError;
    if (!ReadExactly(source, kStreamHeaderSize + kBlockHeaderFieldsOffset,
                     buf + kBlockHeaderFieldsOffset, header_size - kBlockHeaderFieldsOffset))
        return SizeError;

    const size_t crc_offset = header_size - kCrc32Size;
    if (!Crc32Matches(buf, crc_offset, buf + crc_offset))
        return SizeError;

    // The size fields must end before the stored CRC-32. A size byte of 0
    // (an index indicator in a stream without blocks) leaves no room at all,
    // which is fine while neither size flag is set.
    size_t p = kBlockHeaderFieldsOffset;
    const size_t fields_end = crc_offset > p ? crc_offset : p;
    uint64_t value = 0;
    if (flags & kBlockFlagCompressedSize) {
        const int32_t used =
            DecodeMultibyteInteger(buf + p, static_cast<uint32_t>(fields_end - p), &value);
        if (used == 0)
            return SizeError;
        p += static_cast<size_t>(used);
    }
    if ((flags & kBlockFlagUncompressedSize) == 0) {
        if (dictionary != nullptr)
            *dictionary = Lzma2Dictionary(buf, p, fields_end, flags);
        return SizeAbsent;
    }
    const int32_t used =
        DecodeMultibyteInteger(buf + p, static_cast<uint32_t>(fields_end - p), &value);
    if (used == 0)
        return SizeError;
    if (dictionary != nullptr)
        *dictionary = Lzma2Dictionary(buf, p + static_cast<size_t>(used), fields_end, flags);
    return static_cast<int64_t>(value);
}

int64_t ReadFooterAndIndex(ByteSource& source, uint64_t file_size, BlockLayout* blocks)
{
    uint64_t end = file_size;
    uint64_t sum = 0;
    BlockLayout layout{0, 0, 0, 0};
    // Streams and their padding are whole words, so a readable chain can
    // only end on a multiple of four.
    if (end % kAlignment != 0)
        return SizeError;
    do {
        if (!SkipStreamPadding(source, &end))
            return SizeError;
        if (!StepBackOverStream(source, &end, &sum, &layout))
            return SizeError;
    } while (end > 0);
    if (blocks != nullptr)
        *blocks = layout;
    return static_cast<int64_t>(sum);
}

ProbeStatus XzProbe(ByteSource& source, ProbeResult* result)
{
    uint64_t file_size = 0;
    if (!source.Size(&file_size))
        return ProbeStatus::TooShort;

    uint8_t header[kStreamHeaderSize];
    if (!ReadExactly(source, 0, header, sizeof(header)))
        return ProbeStatus::TooShort;
    if (!IsStreamHeader(header))
        return ProbeStatus::Malformed;

    // A damaged first block header marks a damaged file even where the
    // index could still give a size.
    uint64_t dictionary = 0;
    const int64_t first_block = ReadFirstBlockHeader(source, &dictionary);
    if (first_block == SizeError)
        return ProbeStatus::Malformed;

    // The index chain counts every block of every stream; a block header
    // knows only its own block, so it serves only for a file whose tail is
    // unreadable (cut short, or followed by junk).
    BlockLayout blocks{0, 0, 0, 0};
    int64_t size = ReadFooterAndIndex(source, file_size, &blocks);
    if (blocks.count > 0)
        blocks.dictionary = dictionary;
    if (size == SizeError)
        size = first_block;
    if (size < 0)
        return ProbeStatus::Malformed;

    result->packed_size = file_size;
    result->unpacked_size = static_cast<uint64_t>(size);
    result->blocks = blocks;
    return ProbeStatus::Ok;
}

} // namespace xzformat
