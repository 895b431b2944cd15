// Validity and unpacked size of an .xz file, read from its container fields alone.
#include "xzformat/probe.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

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

// Reads of the padding scan: large enough that a long run of zeros is
// crossed at the speed of the disk, small enough for a host thread's stack
// (the heap is not used for it, so that opening never allocates in
// proportion to the file).
constexpr size_t kPaddingScanChunk = 64 * 1024;

// Bytes before the end of buf[0, n) that are zero, compared a machine word
// at a time: a long zero tail is the case that must be fast.
size_t TrailingZeros(const uint8_t* buf, size_t n)
{
    size_t end = n;
    while (end >= sizeof(uint64_t)) {
        uint64_t word;
        std::memcpy(&word, buf + end - sizeof(word), sizeof(word));
        if (word != 0)
            break;
        end -= sizeof(word);
    }
    while (end > 0 && buf[end - 1] == 0)
        --end;
    return n - end;
}

// Moves *end back over stream padding: whole zero words in front of it, of
// any length, as the format allows; false when it cannot be read. Zeros are
// checked by the chunk, so that even a gigabyte of them (a damaged or
// hostile tail) is crossed in about a second.
bool SkipStreamPadding(ByteSource& source, uint64_t* end)
{
    // Most files end in a footer, whose last word is never zero: one small
    // read settles it before any scan.
    uint8_t last[kAlignment];
    if (*end < kAlignment || !ReadExactly(source, *end - kAlignment, last, sizeof(last)))
        return false;
    if (last[0] != 0 || last[1] != 0 || last[2] != 0 || last[3] != 0)
        return true;

    uint8_t chunk[kPaddingScanChunk];
    while (*end > 0) {
        const uint64_t n = *end < sizeof(chunk) ? *end : sizeof(chunk);
        const uint64_t start = *end - n;
        if (!ReadExactly(source, start, chunk, static_cast<size_t>(n)))
            return false;
        const size_t zeros = TrailingZeros(chunk, static_cast<size_t>(n));
        *end -= zeros - zeros % kAlignment;
        if (zeros < n)
            return true;
    }
    // Zeros all the way back to the start of the file leave nothing to walk
    // into, which the caller finds out for itself.
    return true;
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

// How a step of the walk ended. Only a decoder's walk, which keeps the
// records, can run out of memory: the open's walk holds one index at a time
// and calls anything it cannot read a file it cannot size.
enum class Step { Ok, Bad, NoMemory };

// Where a decoder's walk keeps its records, and how many it may keep.
struct RecordTable {
    std::vector<BlockRecord>* records;
    uint64_t max;
};

// Room for count more records, or false past the table's cap. Growth at
// least doubles, so that many small streams cost no quadratic copying.
bool MakeRoom(const RecordTable& table, uint64_t count)
{
    std::vector<BlockRecord>& records = *table.records;
    if (count > table.max - records.size())
        return false;
    const uint64_t needed = records.size() + count;
    if (needed > records.capacity()) {
        const uint64_t doubled = std::min<uint64_t>(uint64_t{records.capacity()} * 2, table.max);
        records.reserve(static_cast<size_t>(std::max(needed, doubled)));
    }
    return true;
}

// Decodes the records of one index held in buf. Every field is decoded only
// within the record area, which ends where the index's CRC-32 begins. With a
// table given, the index is also held to everything a decoder checks (its
// CRC-32 and zero padding), and each record's sizes are appended, offsets
// and check left for the caller.
Step DecodeIndex(const uint8_t* buf, uint64_t size, IndexTotals* totals, const RecordTable* table)
{
    if (size < kIndexSizeUnit + kCrc32Size || buf[0] != kIndexIndicator)
        return Step::Bad;
    const uint64_t records_end = size - kCrc32Size;
    uint64_t p = 1;
    uint64_t count = 0;
    int32_t used = DecodeMultibyteInteger(buf + p, Available(records_end, p), &count);
    if (used == 0)
        return Step::Bad;
    p += static_cast<uint64_t>(used);
    // Checked before the loop so that a huge count cannot spin for long.
    if (count > (records_end - p) / kIndexMinRecordSize)
        return Step::Bad;
    // A table past its cap is left to the stream decoder, which finds any
    // fault itself: that needs no CRC over an index of millions of records.
    if (table != nullptr && !MakeRoom(*table, count))
        return Step::NoMemory;
    if (table != nullptr && !Crc32Matches(buf, static_cast<size_t>(records_end), buf + records_end))
        return Step::Bad;

    totals->blocks_size = 0;
    totals->uncompressed_size = 0;
    totals->blocks = BlockLayout{count, 0, 0, 0};
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t unpadded = 0;
        uint64_t uncompressed = 0;
        used = DecodeMultibyteInteger(buf + p, Available(records_end, p), &unpadded);
        if (used == 0)
            return Step::Bad;
        p += static_cast<uint64_t>(used);
        used = DecodeMultibyteInteger(buf + p, Available(records_end, p), &uncompressed);
        if (used == 0)
            return Step::Bad;
        p += static_cast<uint64_t>(used);
        if (unpadded < kUnpaddedSizeMin)
            return Step::Bad;
        const uint64_t padded = PaddedSize(unpadded);
        if (!AddSize(&totals->blocks_size, padded) ||
            !AddSize(&totals->uncompressed_size, uncompressed))
            return Step::Bad;
        Merge(&totals->blocks, BlockLayout{0, unpadded, uncompressed, 0});
        if (table != nullptr)
            table->records->push_back(BlockRecord{0, unpadded, uncompressed, 0});
    }
    // The records fill the index up to its padding, which rounds to four.
    if (records_end - p >= kAlignment || records_end % kAlignment != 0)
        return Step::Bad;
    for (; table != nullptr && p < records_end; ++p)
        if (buf[p] != 0)
            return Step::Bad;
    return Step::Ok;
}

// Reads the stream that ends at *end (its footer's last byte at *end - 1),
// adds its index sum to *sum and its blocks to *blocks, and moves *end to
// the stream's first byte. With a table given (a decoder's walk), the
// stream is also held to what a decoder checks and its records are
// appended last first, as the walk goes, with their offsets and the
// stream's check; a stream without blocks leaves one record of its own.
Step StepBackOverStream(ByteSource& source, uint64_t* end, uint64_t* sum, BlockLayout* blocks,
                        const RecordTable* table)
{
    const uint64_t minimum = kStreamHeaderSize + kIndexSizeUnit * 2 + kStreamFooterSize;
    if (*end < minimum)
        return Step::Bad;

    uint8_t footer[kStreamFooterSize];
    const uint64_t footer_start = *end - kStreamFooterSize;
    if (!ReadExactly(source, footer_start, footer, sizeof(footer)))
        return Step::Bad;
    if (std::memcmp(footer + kFooterMagicOffset, kFooterMagic, sizeof(kFooterMagic)) != 0)
        return Step::Bad;
    if (!Crc32Matches(footer + kFooterCrcCoveredOffset, kFooterCrcCoveredSize,
                      footer + kFooterCrcOffset))
        return Step::Bad;

    const uint64_t index_size =
        (static_cast<uint64_t>(ReadLe32(footer + kBackwardSizeOffset)) + 1) * kIndexSizeUnit;
    // The index and a stream header must fit in front of the footer; this
    // also bounds the allocation below by the file's own size.
    if (index_size > footer_start - kStreamHeaderSize)
        return Step::Bad;
    if (index_size > SIZE_MAX)
        return table != nullptr ? Step::NoMemory : Step::Bad;
    const uint64_t index_start = footer_start - index_size;

    std::unique_ptr<uint8_t[]> index(new (std::nothrow) uint8_t[static_cast<size_t>(index_size)]);
    if (!index)
        return table != nullptr ? Step::NoMemory : Step::Bad;
    if (!ReadExactly(source, index_start, index.get(), static_cast<size_t>(index_size)))
        return Step::Bad;
    IndexTotals totals;
    const size_t first = table != nullptr ? table->records->size() : 0;
    const Step decoded = DecodeIndex(index.get(), index_size, &totals, table);
    if (decoded != Step::Ok)
        return decoded;
    index.reset();

    if (totals.blocks_size > index_start - kStreamHeaderSize)
        return Step::Bad;
    const uint64_t stream_start = index_start - totals.blocks_size - kStreamHeaderSize;

    uint8_t header[kStreamHeaderSize];
    // The footer's flags are covered by its CRC-32 but not held against the
    // header's: a stream whose data the codec may still decode is listed.
    if (!ReadExactly(source, stream_start, header, sizeof(header)) || !IsStreamHeader(header))
        return Step::Bad;

    if (table != nullptr) {
        // A decoder refuses flags that differ between header and footer,
        // and reserved flag bits.
        const uint8_t* flags = header + kStreamFlagsOffset;
        if (std::memcmp(flags, footer + kFooterFlagsOffset, kStreamFlagsSize) != 0 || flags[0] != 0 ||
            (flags[1] & kStreamCheckReserved) != 0)
            return Step::Bad;
        std::vector<BlockRecord>& records = *table->records;
        if (records.size() == first) {
            if (!MakeRoom(*table, 1))
                return Step::NoMemory;
            records.push_back(BlockRecord{stream_start, 0, 0, flags[1]});
        } else {
            uint64_t block_end = index_start;
            for (size_t i = records.size(); i > first; --i) {
                block_end -= PaddedSize(records[i - 1].unpadded);
                records[i - 1].offset = block_end;
                records[i - 1].check = flags[1];
            }
            std::reverse(records.begin() + static_cast<std::ptrdiff_t>(first), records.end());
        }
    }

    if (!AddSize(sum, totals.uncompressed_size))
        return Step::Bad;
    Merge(blocks, totals.blocks);
    ++blocks->streams;
    *end = stream_start;
    return Step::Ok;
}

// The walk behind ReadFooterAndIndex and ReadBlockRecords.
Step WalkChain(ByteSource& source, uint64_t file_size, uint64_t* sum, BlockLayout* blocks,
               const RecordTable* table)
{
    uint64_t end = file_size;
    *sum = 0;
    BlockLayout layout{0, 0, 0, 0};
    // Streams and their padding are whole words, so a readable chain can
    // only end on a multiple of four.
    if (end % kAlignment != 0)
        return Step::Bad;
    do {
        if (!SkipStreamPadding(source, &end))
            return Step::Bad;
        const Step step = StepBackOverStream(source, &end, sum, &layout, table);
        if (step != Step::Ok)
            return step;
    } while (end > 0);
    layout.uncompressed = *sum;
    if (blocks != nullptr)
        *blocks = layout;
    return Step::Ok;
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
    return ReadBlockHeader(source, kStreamHeaderSize, dictionary);
}

int64_t ReadBlockHeader(ByteSource& source, uint64_t offset, uint64_t* dictionary)
{
    if (dictionary != nullptr)
        *dictionary = 0;
    uint8_t buf[kBlockHeaderMaxSize];
    if (!ReadExactly(source, offset, buf, kBlockHeaderFieldsOffset))
        return SizeError;

    const size_t header_size =
        (static_cast<size_t>(buf[kBlockHeaderSizeByteOffset]) + 1) * kBlockHeaderSizeUnit;
    const uint8_t flags = buf[kBlockFlagsOffset];
    if ((flags & kBlockFlagsReserved) != 0)
        return SizeError;
    if (!ReadExactly(source, offset + kBlockHeaderFieldsOffset,
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
    uint64_t sum = 0;
    if (WalkChain(source, file_size, &sum, blocks, nullptr) != Step::Ok)
        return SizeError;
    return static_cast<int64_t>(sum);
}

WalkStatus ReadBlockRecords(ByteSource& source, std::vector<BlockRecord>* records, uint64_t max_records)
{
    records->clear();
    CountingSource watched(source);
    uint64_t size = 0;
    if (!source.Size(&size))
        return WalkStatus::ReadError;
    const RecordTable table{records, max_records};
    uint64_t sum = 0;
    Step step = Step::Bad;
    try {
        step = WalkChain(watched, size, &sum, nullptr, &table);
    } catch (const std::bad_alloc&) {
        step = Step::NoMemory;
    } catch (const std::length_error&) {
        // A table past the vector's max_size: a 32-bit build's limit.
        step = Step::NoMemory;
    }
    if (step == Step::Ok) {
        std::reverse(records->begin(), records->end());
        return WalkStatus::Ok;
    }
    // Whatever the walk held goes back before anything else is tried.
    std::vector<BlockRecord>().swap(*records);
    if (step == Step::NoMemory)
        return WalkStatus::NoMemory;
    // A read that came back short within a file of unchanged size failed;
    // a file that shrank meanwhile is just no longer a whole chain.
    uint64_t now = 0;
    if (watched.short_reads() > 0 && source.Size(&now) && now == size)
        return WalkStatus::ReadError;
    return WalkStatus::BadData;
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
    if (blocks.count > 0) {
        blocks.dictionary = dictionary;
        blocks.first_block_sized = first_block >= 0;
    }
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
