// Decoding of the .xz format's variable-length integers, including the bytes it may touch.
#include <cstdint>
#include <memory>
#include <ostream>
#include <vector>

#include <gtest/gtest.h>

#include "xzformat/multibyte.h"

namespace {

using xzformat::DecodeMultibyteInteger;

constexpr uint64_t kUntouched = 0x0123456789ABCDEFull;

struct Case {
    const char* name;
    std::vector<uint8_t> bytes; // what lies at the integer's start, as far as the caller may read
    uint32_t available;
    int32_t result;
    uint64_t value; // compared only when result > 0
};

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

// The decoder may read min(available, 9) bytes and no more. Each case places
// exactly that many bytes in a heap block of their own, so any read past the
// window lands outside the allocation and AddressSanitizer stops the test.
// Bytes of a case beyond the window are deliberately left out.
std::unique_ptr<uint8_t[]> ExactWindow(const Case& c, size_t* window)
{
    const size_t limit = c.available < 9 ? c.available : 9;
    *window = limit;
    std::unique_ptr<uint8_t[]> buf(new uint8_t[limit]);
    for (size_t i = 0; i < limit; ++i)
        buf[i] = i < c.bytes.size() ? c.bytes[i] : 0xA5; // filler after a complete integer
    return buf;
}

class DecodeMultibyte : public ::testing::TestWithParam<Case> {};

TEST_P(DecodeMultibyte, ResultValueAndReadWindow)
{
    const Case& c = GetParam();
    size_t window = 0;
    std::unique_ptr<uint8_t[]> buf = ExactWindow(c, &window);
    uint64_t value = kUntouched;
    const int32_t result = DecodeMultibyteInteger(buf.get(), c.available, &value);
    EXPECT_EQ(result, c.result);
    if (c.result > 0)
        EXPECT_EQ(value, c.value);
    if (c.available == 0)
        EXPECT_EQ(value, kUntouched) << "nothing may be stored when no byte is available";
}

const Case kCases[] = {
    {"Zero", {0x00}, 9, 1, 0},
    {"Largest1Byte", {0x7F}, 9, 1, 127},
    {"Smallest2Byte", {0x80, 0x01}, 9, 2, 128},
    {"Largest2Byte", {0xFF, 0x7F}, 9, 2, 16383},
    {"EmptyGroupInMiddle", {0x80, 0x80, 0x01}, 9, 3, 16384},
    {"EmptyGroupAfterFullGroup", {0xFF, 0x80, 0x01}, 9, 3, 127 + 16384},
    {"LowBitsKept", {0x81, 0x01}, 9, 2, 129},
    {"TrailingZeroGroupRejected", {0x80, 0x00}, 9, 0, 0},
    {"TrailingZeroAfterValueRejected", {0xFF, 0xFF, 0x00}, 9, 0, 0},
    {"Largest8Byte", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}, 9, 8, (1ull << 56) - 1},
    {"Largest9Byte",
     {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F},
     9,
     9,
     0x7FFFFFFFFFFFFFFFull},
    {"NinthByteHighBitOnly",
     {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x40},
     9,
     9,
     1ull << 62},
    {"NinthByteContinuesRejected",
     {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01},
     9,
     0,
     0},
    {"ThirdByteBeyondAvailable", {0x80, 0x80, 0x01}, 2, 0, 0},
    {"ContinuationAtLastAvailable", {0x80, 0x01}, 1, 0, 0},
    {"NothingAvailable", {0x05}, 0, 0, 0},
    {"TenthByteNeverRead", {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, 100, 0, 0},
    {"TenthByteNeverReadLargestAvailable",
     {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01},
     0xFFFFFFFFu,
     0,
     0},
    {"TenthByteNeverReadTopBitAvailable",
     {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01},
     0x80000000u,
     0,
     0},
    {"SingleByteWithHugeAvailable", {0x2A}, 0xFFFFFFFFu, 1, 42},
    {"HugeAvailableIsUnsigned", {0x80, 0x01}, 0xFFFFFFFFu, 2, 128},
    {"ExactlyAvailableBytes", {0xB9, 0x60}, 2, 2, 0x39 | (0x60u << 7)},
};

INSTANTIATE_TEST_SUITE_P(Table, DecodeMultibyte, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return info.param.name;
                         });

// Every value up to 2^63 - 1 has exactly one spelling; round-trip a spread of
// values through a reference encoder, each at the very end of its allocation.
TEST(DecodeMultibyteRoundTrip, ShortestEncodingOfPowersAndNeighbours)
{
    std::vector<uint64_t> values = {0, 1};
    for (unsigned bit = 1; bit < 63; ++bit) {
        values.push_back((1ull << bit) - 1);
        values.push_back(1ull << bit);
        values.push_back((1ull << bit) + 1);
    }
    values.push_back(0x7FFFFFFFFFFFFFFFull);
    for (uint64_t v : values) {
        std::vector<uint8_t> enc;
        uint64_t rest = v;
        while (rest >= 0x80) {
            enc.push_back(static_cast<uint8_t>(rest | 0x80));
            rest >>= 7;
        }
        enc.push_back(static_cast<uint8_t>(rest));
        std::unique_ptr<uint8_t[]> buf(new uint8_t[enc.size()]);
        std::copy(enc.begin(), enc.end(), buf.get());
        uint64_t got = kUntouched;
        ASSERT_EQ(DecodeMultibyteInteger(buf.get(), static_cast<uint32_t>(enc.size()), &got),
                  static_cast<int32_t>(enc.size()))
            << "value " << v;
        EXPECT_EQ(got, v);
    }
}

} // namespace
