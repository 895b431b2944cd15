// Opening an .xz image: validity, unpacked size, and the two readers behind them, over hand-built
// containers.
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "tests/native/alloc_watch.h"
#include "xzformat/byte_source.h"
#include "xzformat/probe.h"
#include "xzformat/xz_format.h"

namespace {

using xzformat::MemorySource;
using xzformat::ProbeResult;
using xzformat::ProbeStatus;
using xzformat::ReadFirstBlockHeader;
using xzformat::ReadFooterAndIndex;
using xzformat::SizeAbsent;
using xzformat::SizeError;
using xzformat::XzProbe;

using Bytes = std::vector<uint8_t>;

constexpr uint64_t kMax63 = 0x7FFFFFFFFFFFFFFFull;

// ---------------------------------------------------------------------------
// Container builder. Every CRC comes from zlib, independently of the code
// under test; the blocks' compressed data is filler, since nothing here
// decompresses.

uint32_t Crc(const uint8_t* p, size_t n)
{
    return static_cast<uint32_t>(crc32(0, p, static_cast<uInt>(n)));
}

void PutLe32(Bytes& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Shortest multibyte encoding, as the format requires.
void PutVli(Bytes& out, uint64_t v)
{
    while (v >= 0x80) {
        out.push_back(static_cast<uint8_t>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<uint8_t>(v));
}

void Append(Bytes& out, const Bytes& b)
{
    out.insert(out.end(), b.begin(), b.end());
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        Append(out, p);
    return out;
}

Bytes Zeros(size_t n)
{
    return Bytes(n, 0);
}

Bytes Cut(Bytes b, size_t remove_from_end)
{
    b.resize(b.size() - remove_from_end);
    return b;
}

Bytes With(Bytes b, size_t at, uint8_t value)
{
    b.at(at) = value;
    return b;
}

Bytes Flip(Bytes b, size_t at)
{
    b.at(at) ^= 0x01;
    return b;
}

// Bytes of the check field that follows each block, by check ID.
size_t CheckSize(uint8_t check)
{
    static const uint8_t kSizes[16] = {0, 4, 4, 4, 8, 8, 8, 16, 16, 16, 32, 32, 32, 64, 64, 64};
    return kSizes[check & 0x0F];
}

Bytes StreamHeader(uint8_t flags0, uint8_t check)
{
    Bytes b = {0xFD, 0x37, 0x7A, 0x58, 0x5A, 0x00, flags0, check};
    PutLe32(b, Crc(b.data() + 6, 2));
    return b;
}

Bytes StreamFooter(uint32_t backward_size, uint8_t flags0, uint8_t check)
{
    Bytes covered;
    PutLe32(covered, backward_size);
    covered.push_back(flags0);
    covered.push_back(check);
    Bytes b;
    PutLe32(b, Crc(covered.data(), covered.size()));
    Append(b, covered);
    b.push_back(0x59);
    b.push_back(0x5A);
    return b;
}

// A block header made of a size byte, the given bytes from the block flags
// on, zero padding up to total bytes (0: the smallest multiple of four) and
// the CRC-32.
Bytes BlockHeaderAround(const Bytes& from_flags, size_t total = 0)
{
    if (total == 0)
        total = (1 + from_flags.size() + 4 + 3) & ~size_t{3};
    Bytes b;
    b.push_back(static_cast<uint8_t>(total / 4 - 1));
    Append(b, from_flags);
    b.resize(total - 4, 0x00);
    PutLe32(b, Crc(b.data(), b.size()));
    return b;
}

// LZMA2 with a 8 MiB dictionary, as xz's default preset writes it.
const Bytes kLzma2FilterFlags = {0x21, 0x01, 0x16};

struct Block {
    uint64_t uncompressed = 0;    // recorded in the index
    bool sizes_in_header = false; // both sizes stored in the header, as threaded xz does
    size_t data_size = 13;        // deliberately not a multiple of four
    uint8_t extra_flags = 0;      // ORed into the block flags
    size_t header_size = 0;       // 0: the smallest that fits
    std::optional<uint64_t> header_uncompressed; // a header that disagrees with the index
};

Block Plain(uint64_t uncompressed)
{
    Block b;
    b.uncompressed = uncompressed;
    return b;
}

Block Sized(uint64_t uncompressed)
{
    Block b = Plain(uncompressed);
    b.sizes_in_header = true;
    return b;
}

Bytes BlockHeader(const Block& blk)
{
    Bytes f;
    f.push_back(static_cast<uint8_t>((blk.sizes_in_header ? 0xC0 : 0x00) | blk.extra_flags));
    if (blk.sizes_in_header) {
        PutVli(f, blk.data_size);
        PutVli(f, blk.header_uncompressed.value_or(blk.uncompressed));
    }
    Append(f, kLzma2FilterFlags);
    return BlockHeaderAround(f, blk.header_size);
}

struct Record {
    uint64_t unpadded;
    uint64_t uncompressed;
};

struct Stream {
    std::vector<Block> blocks;
    uint8_t check = 0x04;
    uint8_t flags0 = 0x00;
    // Deliberate faults; unset means "as the blocks say".
    std::optional<uint8_t> footer_check;
    std::optional<std::vector<Record>> records;
    std::optional<uint64_t> record_count;
    std::optional<uint32_t> backward_size;
    uint8_t index_indicator = 0x00;
    size_t extra_index_words = 0; // zero words between the records and the CRC
    bool damage_index_crc = false;
    bool damage_footer_crc = false;
    bool damage_footer_magic = false;
};

Bytes Build(const Stream& s)
{
    Bytes out = StreamHeader(s.flags0, s.check);
    std::vector<Record> records;
    for (const Block& blk : s.blocks) {
        const Bytes header = BlockHeader(blk);
        Append(out, header);
        out.insert(out.end(), blk.data_size, 0xA5);
        while (out.size() % 4 != 0)
            out.push_back(0x00); // block padding
        out.insert(out.end(), CheckSize(s.check), 0xC3);
        records.push_back({header.size() + blk.data_size + CheckSize(s.check), blk.uncompressed});
    }
    if (s.records)
        records = *s.records;

    Bytes index = {s.index_indicator};
    PutVli(index, s.record_count.value_or(records.size()));
    for (const Record& r : records) {
        PutVli(index, r.unpadded);
        PutVli(index, r.uncompressed);
    }
    index.insert(index.end(), 4 * s.extra_index_words, 0x00);
    while (index.size() % 4 != 0)
        index.push_back(0x00);
    PutLe32(index, Crc(index.data(), index.size()) ^ (s.damage_index_crc ? 0x00010000u : 0u));
    Append(out, index);

    const uint32_t backward = s.backward_size.value_or(static_cast<uint32_t>(index.size() / 4 - 1));
    Bytes footer = StreamFooter(backward, s.flags0, s.footer_check.value_or(s.check));
    if (s.damage_footer_crc)
        footer[1] ^= 0x01;
    if (s.damage_footer_magic)
        footer[11] ^= 0x01;
    Append(out, footer);
    return out;
}

// A stream whose footer stores the given backward size, everything else sound.
Bytes WithBackwardSize(Stream s, uint32_t backward)
{
    s.backward_size = backward;
    return Build(s);
}

// The backward size that makes the index begin at file offset index_start.
uint32_t BackwardSizeForIndexAt(size_t file_size, size_t index_start)
{
    return static_cast<uint32_t>((file_size - 12 - index_start) / 4 - 1);
}

// ---------------------------------------------------------------------------
// Real files written by xz 5.4.1.

// The empty stream: `xz < /dev/null`.
const Bytes kEmptyStream = {0xFD, 0x37, 0x7A, 0x58, 0x5A, 0x00, 0x00, 0x04, 0xE6, 0xD6, 0xB4,
                            0x46, 0x00, 0x00, 0x00, 0x00, 0x1C, 0xDF, 0x44, 0x21, 0x1F, 0xB6,
                            0xF3, 0x7D, 0x01, 0x00, 0x00, 0x00, 0x00, 0x04, 0x59, 0x5A};

// `printf 'hello world' | xz -T1 -C crc64`: one block, no sizes in its header.
const Bytes kHelloWorld = {0xFD, 0x37, 0x7A, 0x58, 0x5A, 0x00, 0x00, 0x04, 0xE6, 0xD6, 0xB4, 0x46,
                           0x02, 0x00, 0x21, 0x01, 0x16, 0x00, 0x00, 0x00, 0x74, 0x2F, 0xE5, 0xA3,
                           0x01, 0x00, 0x0A, 0x68, 0x65, 0x6C, 0x6C, 0x6F, 0x20, 0x77, 0x6F, 0x72,
                           0x6C, 0x64, 0x00, 0x00, 0xDA, 0x52, 0x23, 0xEF, 0xCD, 0x7E, 0x03, 0x53,
                           0x00, 0x01, 0x23, 0x0B, 0xC2, 0x1B, 0xFD, 0x09, 0x1F, 0xB6, 0xF3, 0x7D,
                           0x01, 0x00, 0x00, 0x00, 0x00, 0x04, 0x59, 0x5A};

Stream HelloWorldShape()
{
    Stream s;
    Block b = Plain(11);
    b.data_size = 15;
    s.blocks = {b};
    return s;
}

// The builder must lay out what xz lays out, or every case below tests a
// private dialect. Only the compressed data and the check value differ.
TEST(ContainerBuilder, MatchesXzOutside)
{
    EXPECT_EQ(Build(Stream{}), kEmptyStream);
    const Bytes built = Build(HelloWorldShape());
    ASSERT_EQ(built.size(), kHelloWorld.size());
    EXPECT_EQ(Bytes(built.begin(), built.begin() + 24),
              Bytes(kHelloWorld.begin(), kHelloWorld.begin() + 24))
        << "stream header and block header";
    EXPECT_EQ(Bytes(built.begin() + 48, built.end()),
              Bytes(kHelloWorld.begin() + 48, kHelloWorld.end()))
        << "index and stream footer";
}

// ---------------------------------------------------------------------------
// XzProbe, with ReadFooterAndIndex over the same bytes.

// For the chain column: the case says nothing about the tail reader.
constexpr int64_t kChainUnchecked = std::numeric_limits<int64_t>::min();

struct ProbeCase {
    std::string name;
    Bytes file;
    ProbeStatus status;
    uint64_t unpacked; // compared on Ok
    int64_t chain;     // ReadFooterAndIndex over the whole file, or kChainUnchecked
};

void PrintTo(const ProbeCase& c, std::ostream* os)
{
    *os << c.name << " (" << c.file.size() << " bytes)";
}

const char* StatusName(ProbeStatus s)
{
    switch (s) {
    case ProbeStatus::Ok:
        return "Ok";
    case ProbeStatus::TooShort:
        return "TooShort";
    case ProbeStatus::Malformed:
        return "Malformed";
    }
    return "?";
}

ProbeCase Ok(std::string name, Bytes file, uint64_t unpacked, int64_t chain)
{
    return {std::move(name), std::move(file), ProbeStatus::Ok, unpacked, chain};
}

ProbeCase Bad(std::string name, Bytes file, ProbeStatus status, int64_t chain = kChainUnchecked)
{
    return {std::move(name), std::move(file), status, 0, chain};
}

constexpr ProbeStatus kMalformed = ProbeStatus::Malformed;
constexpr ProbeStatus kTooShort = ProbeStatus::TooShort;

std::vector<ProbeCase> ProbeCases()
{
    std::vector<ProbeCase> c;

    // --- files as xz writes them
    c.push_back(Ok("EmptyStream", kEmptyStream, 0, 0));
    c.push_back(Ok("RealHelloWorld", kHelloWorld, 11, 11));
    c.push_back(Ok("OneBlockNoSizesInHeader", Build(HelloWorldShape()), 11, 11));
    {
        Stream s;
        s.blocks = {Plain(1000), Plain(200000), Plain(0), Plain(kMax63 / 4)};
        c.push_back(
            Ok("FourBlocksNoSizesInHeaders", Build(s), 201000 + kMax63 / 4, 201000 + kMax63 / 4));
    }
    for (uint8_t check : {0x00, 0x01, 0x04, 0x0A}) {
        Stream s;
        s.check = check;
        s.blocks = {Plain(5), Plain(6)};
        c.push_back(Ok("CheckId" + std::to_string(check), Build(s), 11, 11));
    }
    {
        // Stream flags are guarded by their CRC only: a check ID no decoder
        // knows, or a set reserved bit, still opens.
        Stream s;
        s.check = 0x0B;
        s.blocks = {Plain(7)};
        c.push_back(Ok("UnknownCheckId", Build(s), 7, 7));
        Stream r;
        r.flags0 = 0x80;
        r.blocks = {Plain(9)};
        c.push_back(Ok("ReservedStreamFlagBit", Build(r), 9, 9));
    }

    // --- too short, bad stream header
    c.push_back(Bad("EmptyFile", {}, kTooShort, SizeError));
    c.push_back(Bad("OneByte", {0xFD}, kTooShort, SizeError));
    c.push_back(Bad("ElevenBytes", Bytes(kHelloWorld.begin(), kHelloWorld.begin() + 11), kTooShort,
                    SizeError));
    c.push_back(Bad("StreamHeaderOnly", Bytes(kHelloWorld.begin(), kHelloWorld.begin() + 12),
                    kMalformed, SizeError));
    c.push_back(Bad("MagicFirstByte", With(kHelloWorld, 0, 0xFE), kMalformed));
    c.push_back(Bad("MagicLastByte", With(kHelloWorld, 5, 0x01), kMalformed));
    c.push_back(Bad("StreamFlagsChanged", With(kHelloWorld, 7, 0x01), kMalformed));
    c.push_back(Bad("StreamFlagsCrcChanged", With(kHelloWorld, 11, 0x47), kMalformed));
    c.push_back(Bad("TwelveZeroBytes", Zeros(12), kMalformed, SizeError));

    // --- the first block header
    for (uint8_t reserved : {0x04, 0x08, 0x10, 0x20}) {
        Stream s;
        Block b = Plain(11);
        b.extra_flags = reserved;
        s.blocks = {b};
        c.push_back(Bad("ReservedBlockFlag" + std::to_string(reserved), Build(s), kMalformed, 11));
    }
    {
        Bytes f = Build(HelloWorldShape());
        f[16] ^= 0x01; // the filter properties byte, under the header CRC
        c.push_back(Bad("FirstBlockHeaderCrcMismatch", f, kMalformed, 11));
    }
    {
        Stream s;
        Block b = Sized(4096);
        b.header_size = 1024;
        s.blocks = {b, Plain(4)};
        const Bytes whole = Build(s);
        c.push_back(Ok("HeaderOf1024Bytes", whole, 4100, 4100));
        // Cut: no tail, so the 1024-byte header has to be read and verified whole.
        c.push_back(Ok("HeaderOf1024BytesCutFile", Cut(whole, 40), 4096, SizeError));
        c.push_back(Bad("HeaderOf1024BytesLastPaddingByteDamaged", Flip(Cut(whole, 40), 12 + 1019),
                        kMalformed, SizeError));
        c.push_back(Bad("HeaderOf1024BytesCrcDamaged", Flip(Cut(whole, 40), 12 + 1023), kMalformed,
                        SizeError));
        c.push_back(Bad("HeaderOf1024BytesFileEndsInside",
                        Bytes(whole.begin(), whole.begin() + 12 + 1023), kMalformed, SizeError));
    }

    // --- which size wins
    {
        Stream s;
        s.blocks = {Sized(1000), Sized(2000), Plain(3)};
        const Bytes whole = Build(s);
        c.push_back(Ok("IndexSumBeatsFirstHeaderSize", whole, 3003, 3003));
        c.push_back(Ok("CutFileFirstHeaderSizeServes", Cut(whole, 30), 1000, SizeError));
        c.push_back(
            Ok("CutInsideFirstBlock", Bytes(whole.begin(), whole.begin() + 40), 1000, SizeError));
        Stream z;
        z.blocks = {Sized(0), Plain(50)};
        c.push_back(Ok("CutFileFirstHeaderStoresZero", Cut(Build(z), 24), 0, SizeError));
        Stream p;
        p.blocks = {Plain(1000), Plain(2000)};
        const Bytes plain = Build(p);
        c.push_back(Bad("CutFileNoSizeAnywhere", Cut(plain, 30), kMalformed, SizeError));
        c.push_back(Bad("CutInsideFirstBlockNoSize", Bytes(plain.begin(), plain.begin() + 36),
                        kMalformed, SizeError));
    }

    // --- several streams and stream padding
    Stream a;
    a.blocks = {Plain(100), Plain(23)};
    Stream b;
    b.check = 0x01;
    b.blocks = {Sized(4000)};
    Stream e; // empty
    const Bytes sa = Build(a), sb = Build(b), se = Build(e);
    c.push_back(Ok("TwoStreams", Cat({sa, sb}), 4123, 4123));
    c.push_back(Ok("ThreeStreams", Cat({sa, sb, sa}), 4246, 4246));
    c.push_back(Ok("StreamWithSizesFirst", Cat({sb, sa}), 4123, 4123));
    c.push_back(Ok("EmptyStreamsAround", Cat({se, sa, se}), 123, 123));
    c.push_back(Ok("OnlyEmptyStreams", Cat({se, se, se}), 0, 0));
    c.push_back(Ok("PaddingOf4AfterLast", Cat({sa, Zeros(4)}), 123, 123));
    c.push_back(Ok("PaddingOf8AfterLast", Cat({sa, Zeros(8)}), 123, 123));
    c.push_back(Ok("PaddingBetweenStreams", Cat({sa, Zeros(4), sb}), 4123, 4123));
    c.push_back(Ok("PaddingBetweenAndAfter", Cat({sa, Zeros(12), sb, Zeros(4)}), 4123, 4123));
    c.push_back(Ok("LongPaddingAfterLast", Cat({sa, Zeros(4100)}), 123, 123));
    c.push_back(Ok("LongPaddingBetween", Cat({sa, Zeros(8192), sb}), 4123, 4123));
    c.push_back(Ok("PaddingAfterEmptyStream", Cat({se, Zeros(4)}), 0, 0));
    c.push_back(Ok("PaddingOf3WithFirstHeaderSize", Cat({sb, Zeros(3)}), 4000, SizeError));
    c.push_back(Bad("PaddingOf3NoSize", Cat({sa, Zeros(3)}), kMalformed, SizeError));
    c.push_back(Bad("PaddingOf2BetweenAnd2After", Cat({sa, Zeros(2), sa, Zeros(2)}), kMalformed,
                    SizeError));
    c.push_back(Bad("PaddingOf6Between", Cat({sa, Zeros(6), sa, Zeros(2)}), kMalformed, SizeError));
    c.push_back(Ok("JunkWordAfterLastWithFirstHeaderSize", Cat({sb, {'J', 'U', 'N', 'K'}}), 4000,
                   SizeError));
    c.push_back(
        Bad("JunkWordAfterLastNoSize", Cat({sa, {'J', 'U', 'N', 'K'}}), kMalformed, SizeError));
    c.push_back(
        Bad("JunkWordBetweenStreams", Cat({sa, {'J', 'U', 'N', 'K'}, sa}), kMalformed, SizeError));
    // Padding of any length: around the scan's 64 KiB reads, and far past them.
    c.push_back(Ok("PaddingOfOneReadBetween", Cat({sa, Zeros(65536), sb}), 4123, 4123));
    c.push_back(Ok("PaddingPastOneReadBetween", Cat({sa, Zeros(65540), sb}), 4123, 4123));
    c.push_back(Ok("PaddingPastOneReadAfterLast", Cat({sb, Zeros(65540)}), 4000, 4000));
    c.push_back(Ok("PaddingOf1MiBBetweenAndAfter", Cat({sa, Zeros(1 << 20), sb, Zeros(131072)}), 4123, 4123));
    c.push_back(Bad("PaddingOf1MiBPlus2Between", Cat({sa, Zeros((1 << 20) + 2), sa, Zeros(2)}), kMalformed,
                    SizeError));
    c.push_back(Bad("StreamHeaderPlusPadding",
                    Cat({Bytes(kHelloWorld.begin(), kHelloWorld.begin() + 12), Zeros(8)}),
                    kMalformed, SizeError));

    // --- footer
    {
        Stream s = a;
        s.damage_footer_crc = true;
        c.push_back(Bad("FooterCrcDamaged", Build(s), kMalformed, SizeError));
        s = a;
        s.damage_footer_magic = true;
        c.push_back(Bad("FooterMagicDamaged", Build(s), kMalformed, SizeError));
        // The footer's flags are guarded by its own CRC and are not compared
        // with the stream header's.
        s = a;
        s.footer_check = 0x01;
        c.push_back(Ok("FooterFlagsDifferFromHeader", Build(s), 123, 123));
    }

    // --- backward size: an index that would reach outside the stream
    {
        const Bytes sound = Build(a);
        c.push_back(
            Bad("BackwardSizeMax", WithBackwardSize(a, 0xFFFFFFFFu), kMalformed, SizeError));
        c.push_back(Bad("BackwardSizeIndexBeyondFile",
                        WithBackwardSize(a, static_cast<uint32_t>(sound.size() / 4)), kMalformed,
                        SizeError));
        c.push_back(Bad("BackwardSizeIndexAtOffset0",
                        WithBackwardSize(a, BackwardSizeForIndexAt(sound.size(), 0)), kMalformed,
                        SizeError));
        c.push_back(Bad("BackwardSizeIndexInsideStreamHeader",
                        WithBackwardSize(a, BackwardSizeForIndexAt(sound.size(), 4)), kMalformed,
                        SizeError));
        c.push_back(Bad("BackwardSizeIndexRightAfterStreamHeader",
                        WithBackwardSize(a, BackwardSizeForIndexAt(sound.size(), 12)), kMalformed,
                        SizeError));
        const uint32_t right = BackwardSizeForIndexAt(sound.size(), sound.size() - 12 - 12);
        c.push_back(
            Bad("BackwardSizeOneWordLong", WithBackwardSize(a, right + 1), kMalformed, SizeError));
        c.push_back(
            Bad("BackwardSizeOneWordShort", WithBackwardSize(a, right - 1), kMalformed, SizeError));
        c.push_back(Bad("BackwardSizeMaxInSecondStream",
                        Cat({sa, WithBackwardSize(a, 0xFFFFFFFFu)}), kMalformed, SizeError));
        Stream sized = b;
        sized.backward_size = 0xFFFFFFFFu;
        c.push_back(Ok("BackwardSizeMaxWithFirstHeaderSize", Build(sized), 4000, SizeError));
    }

    // --- index contents
    {
        Stream s = a;
        s.index_indicator = 0x01;
        c.push_back(Bad("IndexIndicatorNotZero", Build(s), kMalformed, SizeError));
        s = a;
        s.damage_index_crc = true;
        c.push_back(Ok("IndexCrcNotExamined", Build(s), 123, 123));
        s = a;
        s.record_count = 100;
        c.push_back(Bad("RecordCountBeyondIndex", Build(s), kMalformed, SizeError));
        s = a;
        s.record_count = kMax63;
        c.push_back(Bad("RecordCountHuge", Build(s), kMalformed, SizeError));
        // Index 00 02 21 8B 01 | 00 00 00 | CRC: a second record would have
        // to come out of the index padding.
        Stream one;
        one.blocks = {Plain(139)};
        one.record_count = 2;
        c.push_back(Bad("RecordCountReachesIntoPadding", Build(one), kMalformed, SizeError));
        s = a;
        s.record_count = 1;
        c.push_back(Bad("RecordCountShort", Build(s), kMalformed, SizeError));
        // The records fill the index up to its padding; footer and CRC agree.
        Stream extra = HelloWorldShape();
        extra.extra_index_words = 1;
        c.push_back(Bad("IndexExtraZeroWord", Build(extra), kMalformed, SizeError));
        Stream many;
        for (int i = 0; i < 300; ++i)
            many.blocks.push_back(Plain(static_cast<uint64_t>(i) * 1000));
        c.push_back(Ok("ThreeHundredRecords", Build(many), 44850000, 44850000));
    }

    // --- sums at the edge of 63 bits
    {
        Stream s;
        s.blocks = {Plain(kMax63 - 1), Plain(1)};
        c.push_back(Ok("SumExactlyMax", Build(s), kMax63, static_cast<int64_t>(kMax63)));
        s.blocks = {Plain(kMax63), Plain(1)};
        c.push_back(Bad("SumPassesMax", Build(s), kMalformed, SizeError));
        // In 64 bits this wraps to exactly 0.
        s.blocks = {Plain(kMax63), Plain(kMax63), Plain(2)};
        c.push_back(Bad("SumWrapsTo0", Build(s), kMalformed, SizeError));
        Stream half;
        half.blocks = {Plain(1ull << 62)};
        Stream half_less;
        half_less.blocks = {Plain((1ull << 62) - 1)};
        c.push_back(Ok("SumExactlyMaxOverTwoStreams", Cat({Build(half), Build(half_less)}), kMax63,
                       static_cast<int64_t>(kMax63)));
        c.push_back(Bad("SumPassesMaxOverTwoStreams", Cat({Build(half), Build(half)}), kMalformed,
                        SizeError));
    }

    // --- unpadded sizes that do not lead back to the stream header
    {
        const uint64_t real = 12 + 13 + 8; // header, data, CRC64
        Stream s;
        s.blocks = {Plain(100), Plain(23)};
        s.records = std::vector<Record>{{real + 4, 100}, {real, 23}};
        c.push_back(Bad("UnpaddedOneWordLong", Build(s), kMalformed, SizeError));
        s.records = std::vector<Record>{{real - 4, 100}, {real, 23}};
        c.push_back(Bad("UnpaddedOneWordShort", Build(s), kMalformed, SizeError));
        s.records = std::vector<Record>{{kMax63, 100}, {real, 23}};
        c.push_back(Bad("UnpaddedHuge", Build(s), kMalformed, SizeError));
        // Padded to four, these four blocks add up to 2^64: zero in 64 bits,
        // which would put a stream header right in front of the index.
        Stream wrap;
        wrap.records = std::vector<Record>(4, Record{(1ull << 62) - 3, 10});
        c.push_back(Bad("UnpaddedSumWrapsTo0", Build(wrap), kMalformed, SizeError));
        // Two streams: the second stream's blocks, as its index tells them,
        // would cover the first stream too and reach before offset 0.
        Stream far = a;
        far.records = std::vector<Record>{{real, 100}, {real + sa.size() + 4, 23}};
        c.push_back(
            Bad("UnpaddedReachBeforeFirstStream", Cat({sa, Build(far)}), kMalformed, SizeError));
    }
    return c;
}

class Probe : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(Probe, StatusSizesAndTail)
{
    const ProbeCase& c = GetParam();
    MemorySource source(c.file.data(), c.file.size());
    ProbeResult result{0xDEADBEEFull, 0xFEEDFACEull, {}};
    ProbeStatus status;
    size_t largest = 0;
    {
        alloc_watch::Watch watch;
        ASSERT_TRUE(watch.installed());
        status = XzProbe(source, &result);
        largest = watch.largest();
    }
    ASSERT_EQ(StatusName(status), std::string(StatusName(c.status)));
    if (c.status == ProbeStatus::Ok) {
        EXPECT_EQ(result.unpacked_size, c.unpacked);
        EXPECT_EQ(result.packed_size, c.file.size());
    } else {
        EXPECT_EQ(result.packed_size, 0xDEADBEEFull) << "a failed probe fills nothing";
        EXPECT_EQ(result.unpacked_size, 0xFEEDFACEull) << "a failed probe fills nothing";
    }
    // No size field, however large, may cost more memory than the file has bytes.
    EXPECT_LE(largest, c.file.size()) << "largest single allocation";

    if (c.chain != kChainUnchecked) {
        alloc_watch::Watch watch;
        EXPECT_EQ(ReadFooterAndIndex(source, c.file.size()), c.chain);
        EXPECT_LE(watch.largest(), c.file.size()) << "largest single allocation of the tail reader";
    }
}

INSTANTIATE_TEST_SUITE_P(Files, Probe, ::testing::ValuesIn(ProbeCases()),
                         [](const ::testing::TestParamInfo<ProbeCase>& info) {
                             return info.param.name;
                         });

// A stream header and then zeros: every zero is read once, through a buffer
// that is not on the heap, and the file is still no .xz file.
TEST(ProbeReads, ZeroTailIsReadOnceWithoutAllocating)
{
    const Bytes file = Cat({StreamHeader(0x00, 0x04), Zeros((size_t{1} << 23) - 12)});
    MemorySource memory(file.data(), file.size());
    xzformat::CountingSource counted(memory);
    ProbeResult result{};
    alloc_watch::Watch watch;
    ASSERT_TRUE(watch.installed());
    EXPECT_TRUE(XzProbe(counted, &result) == kMalformed);
    EXPECT_EQ(watch.largest(), 0u) << "opening allocated for a tail of zeros";
    // Stream header, first block header, last word, the zeros, and no more.
    EXPECT_LE(counted.bytes(), file.size() + 12 + 1024 + 4);
    EXPECT_LE(counted.reads(), file.size() / 65536 + 8);
}

// ---------------------------------------------------------------------------
// ReadFirstBlockHeader on its own: the header at offset 12.

// Either SizeAbsent or SizeError: the stored field is unusable, and which of
// the two is reported is left open.
constexpr int64_t kNotASize = std::numeric_limits<int64_t>::min();

struct HeaderCase {
    std::string name;
    Bytes after_stream_header; // the file from offset 12 on
    int64_t expected;
};

void PrintTo(const HeaderCase& c, std::ostream* os)
{
    *os << c.name;
}

// An 8-byte header whose uncompressed size field continues into the CRC-32.
// The filler byte is chosen so that the CRC's first byte would end the
// integer: a decoder that looks past the fields would find a value there.
Bytes HeaderWithFieldIntoCrc(uint8_t flags, size_t fields_before)
{
    for (int filler = 0x80; filler <= 0xFF; ++filler) {
        Bytes from_flags = {flags};
        for (size_t i = 0; i < fields_before; ++i)
            from_flags.push_back(0x05);
        while (from_flags.size() < 3)
            from_flags.push_back(static_cast<uint8_t>(filler));
        const Bytes h = BlockHeaderAround(from_flags, 8);
        if (h[4] >= 0x01 && h[4] <= 0x7F)
            return h;
    }
    ADD_FAILURE() << "no filler gives a terminating CRC byte";
    return {};
}

std::vector<HeaderCase> HeaderCases()
{
    std::vector<HeaderCase> c;
    const Bytes lz = kLzma2FilterFlags;
    auto header = [&](std::initializer_list<uint8_t> fields, size_t total = 0) {
        Bytes f(fields);
        Append(f, lz);
        return BlockHeaderAround(f, total);
    };
    c.push_back({"NoSizeFlags", header({0x00}), SizeAbsent});
    c.push_back({"UncompressedOnly", header({0x80, 0x0B}), 11});
    c.push_back({"CompressedOnly", header({0x40, 0x23}), SizeAbsent});
    c.push_back({"BothSizesTakesSecond", header({0xC0, 0x23, 0x0B}), 11});
    c.push_back({"MultibyteSizes", header({0xC0, 0x80, 0x80, 0x01, 0xB9, 0x60}), 12345});
    c.push_back({"LargestSize",
                 header({0x80, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}),
                 static_cast<int64_t>(kMax63)});
    c.push_back({"FilterCountBitsNotExamined", header({0x83, 0x0B}), 11});
    for (uint8_t reserved : {0x04, 0x08, 0x10, 0x20, 0x3C})
        c.push_back({"Reserved" + std::to_string(reserved),
                     header({static_cast<uint8_t>(0x80 | reserved), 0x0B}), SizeError});
    c.push_back({"CrcMismatch", Flip(header({0x80, 0x0B}), 11), SizeError});
    c.push_back({"SizeByteZeroEmptyIndex", {0x00, 0x00, 0x00, 0x00}, SizeAbsent});
    c.push_back({"SizeByteZeroNonZeroCrc", {0x00, 0x00, 0x00, 0x01}, SizeError});
    {
        const Bytes big = header({0x80, 0x80, 0x20}, 1024);
        c.push_back({"Size1024", big, 4096});
        c.push_back({"Size1024PaddingByteDamaged", With(big, 1019, 0x01), SizeError});
        c.push_back({"Size1024FirstPaddingByteDamaged", With(big, 8, 0x01), SizeError});
        c.push_back({"Size1024OneByteMissing", Bytes(big.begin(), big.end() - 1), SizeError});
    }
    c.push_back({"NothingAfterStreamHeader", {}, SizeError});
    c.push_back({"OnlySizeByte", {0x02}, SizeError});
    c.push_back({"HeaderCutShort", Cut(header({0x80, 0x0B}), 1), SizeError});
    c.push_back({"UncompressedSizeTrailingZero", header({0x80, 0x80, 0x00}), kNotASize});
    c.push_back({"UncompressedSizeIntoCrc", HeaderWithFieldIntoCrc(0x80, 0), kNotASize});
    c.push_back({"CompressedSizeIntoCrc", HeaderWithFieldIntoCrc(0xC0, 0), kNotASize});
    c.push_back({"UncompressedAfterCompressedIntoCrc", HeaderWithFieldIntoCrc(0xC0, 1), kNotASize});
    return c;
}

class FirstBlockHeader : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(FirstBlockHeader, Reads)
{
    const HeaderCase& c = GetParam();
    const Bytes file = Cat({StreamHeader(0x00, 0x04), c.after_stream_header});
    MemorySource source(file.data(), file.size());
    const int64_t got = ReadFirstBlockHeader(source);
    if (c.expected == kNotASize)
        EXPECT_TRUE(got == SizeAbsent || got == SizeError) << "got " << got;
    else
        EXPECT_EQ(got, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Headers, FirstBlockHeader, ::testing::ValuesIn(HeaderCases()),
                         [](const ::testing::TestParamInfo<HeaderCase>& info) {
                             return info.param.name;
                         });

// The LZMA2 dictionary, which only sizes the memory of a threaded decode:
// found behind any filters before it, and 0 whenever it cannot be read.
TEST(FirstBlockHeader, Lzma2Dictionary)
{
    struct Case {
        const char* name;
        Bytes fields; // from the block flags on
        uint64_t dictionary;
    } cases[] = {
        {"preset 6", {0x00, 0x21, 0x01, 0x16}, 8u << 20},
        {"odd bits", {0x00, 0x21, 0x01, 0x13}, 3u << 20},
        {"after sizes", {0xC0, 0x23, 0x0B, 0x21, 0x01, 0x12}, 2u << 20},
        {"behind delta", {0x01, 0x03, 0x01, 0x00, 0x21, 0x01, 0x00}, 4096},
        {"largest", {0x00, 0x21, 0x01, 40}, 0xFFFFFFFFu},
        {"bits past 40", {0x00, 0x21, 0x01, 41}, 0},
        {"properties past the header", {0x00, 0x21, 0x7F, 0x16}, 0},
        {"no LZMA2", {0x00, 0x03, 0x01, 0x00}, 0},
        {"more filters than flags say", {0x00, 0x03, 0x01, 0x00, 0x21, 0x01, 0x16}, 0},
    };
    for (const Case& c : cases) {
        const Bytes file = Cat({StreamHeader(0x00, 0x04), BlockHeaderAround(c.fields)});
        MemorySource source(file.data(), file.size());
        uint64_t dictionary = 12345;
        EXPECT_NE(ReadFirstBlockHeader(source, &dictionary), SizeError) << c.name;
        EXPECT_EQ(dictionary, c.dictionary) << c.name;
    }
}

// The blocks of every stream as the indexes list them; nothing when the
// size came from the first block header instead.
TEST(ProbeBlocks, CountAndLargestOverEveryStream)
{
    Stream first;
    first.blocks = {Sized(70000), Sized(90000), Sized(10)};
    first.blocks[1].data_size = 4000;
    Stream second;
    second.blocks = {Plain(5)};
    const Bytes file = Cat({Build(first), Build(second)});
    MemorySource source(file.data(), file.size());
    ProbeResult result{};
    ASSERT_EQ(XzProbe(source, &result), ProbeStatus::Ok);
    EXPECT_EQ(result.blocks.count, 4u);
    EXPECT_EQ(result.blocks.largest_uncompressed, 90000u);
    EXPECT_EQ(result.blocks.largest_unpadded, BlockHeader(first.blocks[1]).size() + 4000 + 8);
    EXPECT_EQ(result.blocks.dictionary, 8u << 20);

    const Bytes cut = Cut(Build(first), 20);
    MemorySource cut_source(cut.data(), cut.size());
    ASSERT_EQ(XzProbe(cut_source, &result), ProbeStatus::Ok);
    EXPECT_EQ(result.unpacked_size, 70000u);
    EXPECT_EQ(result.blocks.count, 0u);
    EXPECT_EQ(result.blocks.dictionary, 0u);
}

using xzformat::BlockRecord;
using xzformat::PaddedSize;
using xzformat::ReadBlockRecords;
using xzformat::WalkStatus;

// A decoder's walk: every block in file order at its offset with its
// stream's check, a stream without blocks listed once for its check, and a
// table past its cap given up before it is held.
TEST(BlockRecords, FileOrderChecksEmptyStreamsAndTheCap)
{
    Stream first;
    first.blocks = {Plain(100), Plain(200)};
    first.check = 0x01;
    Stream empty;
    empty.check = 0x02;
    Stream last;
    last.blocks = {Plain(300)};
    const Bytes a = Build(first), b = Build(empty);
    const Bytes file = Cat({a, b, Bytes(8, 0x00), Build(last)});
    MemorySource source(file.data(), file.size());

    std::vector<BlockRecord> records;
    ASSERT_EQ(ReadBlockRecords(source, &records), WalkStatus::Ok);
    ASSERT_EQ(records.size(), 4u);
    const uint64_t unpadded = BlockHeader(first.blocks[0]).size() + 13 + 4;
    const uint64_t second_at = 12 + PaddedSize(unpadded);
    const struct {
        uint64_t offset, unpadded, uncompressed;
        uint8_t check;
    } expected[] = {
        {12, unpadded, 100, 0x01},
        {second_at, unpadded, 200, 0x01},
        {a.size(), 0, 0, 0x02},
        {a.size() + b.size() + 8 + 12, BlockHeader(last.blocks[0]).size() + 13 + 8, 300, 0x04},
    };
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(records[i].offset, expected[i].offset) << i;
        EXPECT_EQ(records[i].unpadded, expected[i].unpadded) << i;
        EXPECT_EQ(records[i].uncompressed, expected[i].uncompressed) << i;
        EXPECT_EQ(records[i].check, expected[i].check) << i;
    }

    ASSERT_EQ(ReadBlockRecords(source, &records, 4), WalkStatus::Ok);
    EXPECT_EQ(ReadBlockRecords(source, &records, 3), WalkStatus::NoMemory);
    EXPECT_TRUE(records.empty());
    EXPECT_EQ(records.capacity(), 0u) << "a walk that gives up holds nothing";
}

} // namespace
