// Opening .xz files through OpenArchive/OpenArchiveW: slots, result codes, sizes and time stamps.
#include <windows.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "tests/win/host.h"
#include "tests/win/xz_samples.h"

namespace {

using samples::Block;
using samples::Bytes;
using testhost::Close;
using testhost::Export;
using testhost::kUnsetResult;
using testhost::Open;
using testhost::OpenW;

struct Listed {
    int32_t result;
    uint64_t packed;
    uint64_t unpacked;
    uint32_t time;
};

// Reads what the open recorded through the 64-bit header form.
Listed List(int32_t handle)
{
    EntryHeaderEx h = {};
    Listed out{};
    out.result = Export<ReadHeaderExFn>("ReadHeaderEx")(handle, &h);
    out.packed = testhost::PackedSize(h);
    out.unpacked = testhost::UnpackedSize(h);
    out.time = h.entry_time;
    return out;
}

using OpenTest = testhost::ArchiveTest;

TEST_F(OpenTest, EmptyStreamOpensWithSizeZeroInBothForms)
{
    const Bytes empty = samples::EmptyStream();
    ASSERT_EQ(empty.size(), 32u);
    const Bytes expected = {0xFD, 0x37, 0x7A, 0x58, 0x5A, 0x00, 0x00, 0x04, 0xE6, 0xD6, 0xB4, 0x46,
                            0x00, 0x00, 0x00, 0x00, 0x1C, 0xDF, 0x44, 0x21, 0x1F, 0xB6, 0xF3, 0x7D,
                            0x01, 0x00, 0x00, 0x00, 0x00, 0x04, 0x59, 0x5A};
    ASSERT_EQ(empty, expected);
    const std::string path = Write("empty.xz", empty);

    int32_t code = 0;
    const int32_t h = Open(path, &code);
    ASSERT_GE(h, 1);
    EXPECT_EQ(code, kUnsetResult) << "success must leave the host's result field alone";
    const Listed l = List(h);
    EXPECT_EQ(l.result, 0);
    EXPECT_EQ(l.packed, 32u);
    EXPECT_EQ(l.unpacked, 0u);

    const int32_t hw = OpenW(testhost::Widen(path), &code);
    ASSERT_GE(hw, 1);
    EXPECT_EQ(code, kUnsetResult);
    EXPECT_EQ(List(hw).unpacked, 0u);
}

TEST_F(OpenTest, FailuresSetTheCodeAndFreeTheSlot)
{
    const Bytes good = samples::Stream({{20, 11, false}});
    Bytes bad_magic = good;
    bad_magic[1] ^= 0x01;
    Bytes bad_flags_crc = good;
    bad_flags_crc[9] ^= 0x40;
    Bytes reserved_flag = good;
    {
        // Reserved block flag 0x04 with a correct header CRC-32 is still malformed.
        reserved_flag[13] |= 0x04;
        const uint8_t* h = reserved_flag.data() + 12;
        const size_t size = (h[0] + 1) * 4;
        uLong c = crc32(0, h, static_cast<uInt>(size - 4));
        for (int i = 0; i < 4; ++i)
            reserved_flag[12 + size - 4 + i] = static_cast<uint8_t>(c >> (8 * i));
    }
    struct Case {
        const char* name;
        Bytes bytes;
        int32_t code;
    } cases[] = {
        {"zero.xz", {}, 18},
        {"eleven.xz", Bytes(good.begin(), good.begin() + 11), 18},
        {"header-only.xz", Bytes(good.begin(), good.begin() + 12), 13},
        {"bad-magic.xz", bad_magic, 13},
        {"bad-flags-crc.xz", bad_flags_crc, 13},
        {"reserved-flag.xz", reserved_flag, 13},
        // The records must fill the index up to its padding.
        {"index-extra-word.xz", samples::Stream({{20, 11, false}}, 1), 13},
    };
    for (const Case& c : cases) {
        const std::string path = Write(c.name, c.bytes);
        for (bool wide : {false, true}) {
            int32_t code = 0;
            const int32_t h = wide ? OpenW(testhost::Widen(path), &code) : Open(path, &code);
            EXPECT_EQ(h, 0) << c.name;
            EXPECT_EQ(code, c.code) << c.name << (wide ? " (W)" : "");
        }
    }
    // The released slot is the one the next open gets.
    int32_t code = 0;
    EXPECT_EQ(Open(Write("good.xz", good), &code), 1);
}

TEST_F(OpenTest, MissingFileAndOverlongPathGive15)
{
    int32_t code = 0;
    EXPECT_EQ(Open(dir_ + "\\absent.xz", &code), 0);
    EXPECT_EQ(code, 15);
    EXPECT_EQ(OpenW(testhost::Widen(dir_ + "\\absent.xz"), &code), 0);
    EXPECT_EQ(code, 15);

    // A path the slot could hold only cut short must not open some other file.
    std::string longdir = dir_;
    while (longdir.size() < 230)
        longdir += "\\dddddddddddddddddddd";
    for (size_t pos = dir_.size(); (pos = longdir.find('\\', pos + 1)) != std::string::npos;)
        CreateDirectoryA(longdir.substr(0, pos).c_str(), nullptr);
    CreateDirectoryA(longdir.c_str(), nullptr);
    std::string name(260 - longdir.size() - 1 - 3, 'n');
    const std::string p259 = longdir + "\\" + name.substr(1) + ".xz";
    const std::string p260 = longdir + "\\" + name + ".xz";
    ASSERT_EQ(p259.size(), 259u);
    ASSERT_EQ(p260.size(), 260u);
    const Bytes good = samples::EmptyStream();
    if (!testhost::WriteBytes(p260, good))
        GTEST_SKIP() << "the file system here refuses 260-character paths";
    ASSERT_TRUE(testhost::WriteBytes(p259, good));

    EXPECT_EQ(Open(p260, &code), 0);
    EXPECT_EQ(code, 15);
    EXPECT_EQ(OpenW(testhost::Widen(p260), &code), 0);
    EXPECT_EQ(code, 15);
    const int32_t h = Open(p259, &code);
    EXPECT_EQ(h, 1) << "the refused opens must have released their slot";
    EntryHeader header = {};
    ASSERT_EQ(Export<ReadHeaderFn>("ReadHeader")(h, &header), 0);
    EXPECT_EQ(std::string(header.archive_name), p259);
}

TEST_F(OpenTest, TenSlotsThenElevenFailsAndAFreedNumberReturns)
{
    const std::string path = Write("a.xz", samples::EmptyStream());
    int32_t code = 0;
    for (int32_t expect = 1; expect <= 10; ++expect)
        ASSERT_EQ(Open(path, &code), expect);
    code = kUnsetResult;
    EXPECT_EQ(Open(path, &code), 0);
    EXPECT_EQ(code, 11);
    // The failed eleventh open changed no slot: all ten still list.
    for (int32_t h = 1; h <= 10; ++h)
        EXPECT_EQ(List(h).result, 0) << h;
    EXPECT_EQ(Close(7), 0);
    EXPECT_EQ(OpenW(testhost::Widen(path), &code), 7);
}

TEST_F(OpenTest, UnpackedSizeCountsEveryBlockOfEveryStream)
{
    // Multi-threaded xz stores sizes in every block header; the first
    // block's own size must not be taken for the whole file's.
    const Bytes mt = samples::Stream({{100, 3000000, true}, {90, 3000000, true}, {10, 5, true}});
    const Bytes single = samples::Stream({{35, 11, false}});
    const Bytes padded = samples::Concat({single, Bytes(8, 0)});
    const Bytes concat3 = samples::Concat({mt, single, Bytes(4, 0), samples::EmptyStream(), single});
    struct Case {
        const char* name;
        Bytes bytes;
        uint64_t unpacked;
    } cases[] = {
        {"mt.xz", mt, 6000005},
        {"single.xz", single, 11},
        {"padded.xz", padded, 11},
        {"concat.xz", concat3, 6000027},
    };
    for (const Case& c : cases) {
        int32_t code = 0;
        const int32_t h = Open(Write(c.name, c.bytes), &code);
        ASSERT_GE(h, 1) << c.name << " code " << code;
        const Listed l = List(h);
        EXPECT_EQ(l.packed, c.bytes.size()) << c.name;
        EXPECT_EQ(l.unpacked, c.unpacked) << c.name;
        Close(h);
    }
}

TEST_F(OpenTest, CutShortFileFallsBackToTheFirstBlockHeader)
{
    const Bytes mt = samples::Stream({{100, 3000000, true}, {90, 2000000, true}});
    const Bytes cut(mt.begin(), mt.begin() + 150);
    int32_t code = 0;
    int32_t h = Open(Write("cut.xz", cut), &code);
    ASSERT_GE(h, 1);
    EXPECT_EQ(List(h).unpacked, 3000000u);
    EXPECT_EQ(List(h).result, 10);
    Close(h);

    // Without a size in the first block header and without a tail there is
    // nothing to report.
    const Bytes plain = samples::Stream({{100, 3000000, false}});
    code = kUnsetResult;
    EXPECT_EQ(Open(Write("cut-plain.xz", Bytes(plain.begin(), plain.begin() + 60)), &code), 0);
    EXPECT_EQ(code, 13);
}

TEST_F(OpenTest, HostileBackwardSizeIsMalformedNotAnAllocation)
{
    Bytes b = samples::Stream({{35, 11, false}});
    // Backward size 0xFFFFFFFF promises a 16 GiB index in a tiny file.
    const size_t f = b.size() - 12;
    for (int i = 4; i < 8; ++i)
        b[f + i] = 0xFF;
    const uLong c = crc32(0, b.data() + f + 4, 6);
    for (int i = 0; i < 4; ++i)
        b[f + i] = static_cast<uint8_t>(c >> (8 * i));
    int32_t code = 0;
    EXPECT_EQ(Open(Write("huge-index.xz", b), &code), 0);
    EXPECT_EQ(code, 13);
}

// A stream header, or a whole stream, then zeros up to 1 GiB as a sparse
// file: every zero is walked back over, and the zeros are either no .xz
// file at all or stream padding after the stream, whose index counts.
TEST_F(OpenTest, GigabyteOfZerosIsWalkedOver)
{
    const Bytes mt = samples::Stream({{100, 3000000, true}, {90, 2000000, true}});
    const struct {
        Bytes head;
        int32_t code;
        uint64_t unpacked;
    } cases[] = {{Bytes(mt.begin(), mt.begin() + 12), 13, 0}, {mt, kUnsetResult, 5000000}};
    for (const auto& c : cases) {
        const std::string path = Write("zeros.xz", c.head);
        const HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        LARGE_INTEGER size;
        size.QuadPart = LONGLONG{1} << 30;
        ASSERT_TRUE(SetFilePointerEx(f, size, nullptr, FILE_BEGIN) && SetEndOfFile(f));
        CloseHandle(f);
        int32_t code = kUnsetResult;
        const int32_t h = Open(path, &code);
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(h >= 1 ? List(h).unpacked : 0, c.unpacked);
        Close(h);
        DeleteFileA(path.c_str());
    }
}

TEST_F(OpenTest, TimeStampInBothForms)
{
    const std::string path = Write("t.xz", samples::EmptyStream());
    struct Case {
        int y, mo, d, h, mi, s;
        uint32_t stamp;
    } cases[] = {
        {2018, 3, 5, 12, 34, 56, 0x4C65645Cu},
        {2018, 3, 5, 12, 34, 57, 0x4C65645Cu}, // odd seconds round down
        {1980, 1, 1, 0, 0, 0, (1u << 21) | (1u << 16)},
        {1979, 12, 31, 23, 59, 58, 0xFFFFFFFFu},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(testhost::SetLocalWriteTime(path, c.y, c.mo, c.d, c.h, c.mi, c.s));
        int32_t code = 0;
        const int32_t h = Open(path, &code);
        const int32_t hw = OpenW(testhost::Widen(path), &code);
        ASSERT_GE(h, 1);
        ASSERT_GE(hw, 1);
        EXPECT_EQ(List(h).time, c.stamp) << c.y << " ANSI";
        EXPECT_EQ(List(hw).time, c.stamp) << c.y << " UTF-16";
        Close(h);
        Close(hw);
    }
}

} // namespace
