// The CRC-32 that guards the container's stream header, block header and stream footer.
#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "xzformat/crc32.h"

namespace {

using xzformat::Crc32;
using xzformat::Crc32Matches;

// Bitwise CRC-32 (reflected 0xEDB88320, preset and final inversion): an
// oracle that shares no table or library with the code under test.
uint32_t ReferenceCrc32(const uint8_t* p, size_t n)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

struct KnownValue {
    const char* name;
    std::vector<uint8_t> bytes;
    uint32_t crc;
};

void PrintTo(const KnownValue& c, std::ostream* os)
{
    *os << c.name;
}

std::vector<uint8_t> Text(const char* s)
{
    return std::vector<uint8_t>(s, s + std::strlen(s));
}

class Crc32Known : public ::testing::TestWithParam<KnownValue> {};

TEST_P(Crc32Known, MatchesPublishedValue)
{
    const KnownValue& c = GetParam();
    // An exact-size heap copy: no byte past the length may be folded in.
    std::unique_ptr<uint8_t[]> buf(new uint8_t[c.bytes.size()]);
    if (!c.bytes.empty())
        std::memcpy(buf.get(), c.bytes.data(), c.bytes.size());
    EXPECT_EQ(Crc32(buf.get(), c.bytes.size()), c.crc);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Crc32Known,
    ::testing::Values(KnownValue{"CheckString", Text("123456789"), 0xCBF43926u},
                      KnownValue{"Empty", {}, 0u},
                      KnownValue{"StreamFlagsCheckCrc64", {0x00, 0x04}, 0x46B4D6E6u},
                      KnownValue{"StreamFlagsCheckNone", {0x00, 0x00}, 0x41D912FFu},
                      KnownValue{"IndexOfEmptyStream", {0x00, 0x00, 0x00, 0x00}, 0x2144DF1Cu},
                      KnownValue{"SingleZeroByte", {0x00}, 0xD202EF8Du}),
    [](const ::testing::TestParamInfo<KnownValue>& info) { return info.param.name; });

// Fields lie at arbitrary offsets inside read buffers (the footer's covered
// bytes start at offset 4, a block header's at the file's offset 12), so the
// result must not depend on the alignment of the first byte.
TEST(Crc32Alignment, SameResultAtEveryOffset)
{
    const std::string text = "The quick brown fox jumps over the lazy dog, 0123456789 times.";
    for (size_t shift = 0; shift < 8; ++shift) {
        std::vector<uint8_t> buf(shift + text.size());
        std::memcpy(buf.data() + shift, text.data(), text.size());
        for (size_t len : {size_t{1}, size_t{2}, size_t{3}, size_t{6}, size_t{7}, text.size()}) {
            EXPECT_EQ(Crc32(buf.data() + shift, len),
                      ReferenceCrc32(reinterpret_cast<const uint8_t*>(text.data()), len))
                << "shift " << shift << " length " << len;
        }
    }
}

// Block headers are checked over 0 to 1020 bytes; every such length must
// agree with the reference.
TEST(Crc32Lengths, EveryBlockHeaderLength)
{
    std::vector<uint8_t> data(1020);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 131 + 7);
    for (size_t len = 0; len <= data.size(); ++len)
        ASSERT_EQ(Crc32(data.data(), len), ReferenceCrc32(data.data(), len)) << "length " << len;
}

struct Field {
    const char* name;
    std::vector<uint8_t> bytes;
    size_t covered_offset;
    size_t covered_size;
    size_t stored_offset;
    bool matches;
};

void PrintTo(const Field& c, std::ostream* os)
{
    *os << c.name;
}

class Crc32Stored : public ::testing::TestWithParam<Field> {};

TEST_P(Crc32Stored, ComparesWithLittleEndianStoredValue)
{
    const Field& c = GetParam();
    std::unique_ptr<uint8_t[]> buf(new uint8_t[c.bytes.size()]);
    std::memcpy(buf.get(), c.bytes.data(), c.bytes.size());
    EXPECT_EQ(
        Crc32Matches(buf.get() + c.covered_offset, c.covered_size, buf.get() + c.stored_offset),
        c.matches);
}

// Real fields as xz writes them: a stream header, the first block header of a
// file made by `xz -T1`, and the footer of a one-block stream.
const std::vector<uint8_t> kStreamHeader = {0xFD, 0x37, 0x7A, 0x58, 0x5A, 0x00,
                                            0x00, 0x04, 0xE6, 0xD6, 0xB4, 0x46};
const std::vector<uint8_t> kBlockHeader = {0x02, 0x00, 0x21, 0x01, 0x16, 0x00,
                                           0x00, 0x00, 0x74, 0x2F, 0xE5, 0xA3};
const std::vector<uint8_t> kFooter = {0x1F, 0xB6, 0xF3, 0x7D, 0x01, 0x00,
                                      0x00, 0x00, 0x00, 0x04, 0x59, 0x5A};

std::vector<uint8_t> With(std::vector<uint8_t> v, size_t at, uint8_t byte)
{
    v[at] = byte;
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Crc32Stored,
    ::testing::Values(
        Field{"StreamHeaderFlags", kStreamHeader, 6, 2, 8, true},
        Field{"StreamHeaderStoredBigEndian",
              {0xFD, 0x37, 0x7A, 0x58, 0x5A, 0x00, 0x00, 0x04, 0x46, 0xB4, 0xD6, 0xE6},
              6,
              2,
              8,
              false},
        Field{"StreamHeaderFlagChanged", With(kStreamHeader, 7, 0x01), 6, 2, 8, false},
        Field{"StreamHeaderTopCrcByteChanged", With(kStreamHeader, 11, 0x47), 6, 2, 8, false},
        Field{"BlockHeader", kBlockHeader, 0, 8, 8, true},
        Field{"BlockHeaderPaddingChanged", With(kBlockHeader, 7, 0x01), 0, 8, 8, false},
        Field{"Footer", kFooter, 4, 6, 0, true},
        Field{"FooterBackwardSizeChanged", With(kFooter, 4, 0x02), 4, 6, 0, false},
        // A header of size byte 0 has nothing in front of its CRC, whose value is then 0.
        Field{"NothingCoveredStoredZero", {0x00, 0x00, 0x00, 0x00}, 0, 0, 0, true},
        Field{"NothingCoveredStoredNonZero", {0x00, 0x00, 0x00, 0x01}, 0, 0, 0, false}),
    [](const ::testing::TestParamInfo<Field>& info) { return info.param.name; });

} // namespace
