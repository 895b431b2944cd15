// Listing the one entry: the three header forms, the entry name rule and the shared entry cursor.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/win/host.h"
#include "tests/win/xz_samples.h"

namespace {

using samples::Bytes;
using testhost::Close;
using testhost::Export;
using testhost::Open;
using testhost::OpenW;

constexpr uint8_t kPattern = 0xA7;

template <typename Record>
Record Patterned()
{
    Record r;
    std::memset(&r, kPattern, sizeof(r));
    return r;
}

// True when every byte of [from, to) still holds the host's pattern.
template <typename Record>
bool Untouched(const Record& r, size_t from, size_t to)
{
    const auto* p = reinterpret_cast<const uint8_t*>(&r);
    for (size_t i = from; i < to; ++i)
        if (p[i] != kPattern)
            return false;
    return true;
}

class EntryHeaderTest : public testhost::ArchiveTest {
protected:
    void SetUp() override
    {
        ArchiveTest::SetUp();
        read_ = Export<ReadHeaderFn>("ReadHeader");
        read_ex_ = Export<ReadHeaderExFn>("ReadHeaderEx");
        read_ex_w_ = Export<ReadHeaderExWFn>("ReadHeaderExW");
    }
    ReadHeaderFn read_;
    ReadHeaderExFn read_ex_;
    ReadHeaderExWFn read_ex_w_;
};

TEST_F(EntryHeaderTest, EntryNameIsTheLastComponentWithoutItsLastExtension)
{
    CreateDirectoryA((dir_ + "\\data.old").c_str(), nullptr);
    const Bytes xz = samples::EmptyStream();
    struct Case {
        std::string relative;
        std::string entry;
    } cases[] = {
        {"backup.tar.xz", "backup.tar"},
        {"data.old\\file", "file"},
        {".xz", ""},
        {"noext", "noext"},
        {"a.b.c", "a.b"},
    };
    for (const Case& c : cases) {
        const std::string path = Write(c.relative, xz);
        int32_t code = 0;
        const int32_t h = Open(path, &code);
        ASSERT_GE(h, 1) << c.relative;
        EntryHeader header = Patterned<EntryHeader>();
        ASSERT_EQ(read_(h, &header), 0);
        EXPECT_EQ(std::string(header.archive_name), path);
        EXPECT_EQ(std::string(header.entry_name), c.entry) << c.relative;
        Close(h);

        const int32_t hw = OpenW(testhost::Widen(path), &code);
        ASSERT_GE(hw, 1);
        EntryHeaderExW wide = Patterned<EntryHeaderExW>();
        ASSERT_EQ(read_ex_w_(hw, &wide), 0);
        EXPECT_EQ(std::wstring(wide.archive_name), testhost::Widen(path));
        EXPECT_EQ(std::wstring(wide.entry_name), testhost::Widen(c.entry)) << c.relative;
        Close(hw);
    }
}

TEST_F(EntryHeaderTest, ForwardSlashIsNoSeparator)
{
    // The host's names use backslashes; a slash is kept in the entry name.
    // Wine takes "/" as a separator when opening, so the file opens, and the
    // name is still cut only after the last backslash.
    CreateDirectoryA((dir_ + "\\x").c_str(), nullptr);
    Write("x\\y.xz", samples::EmptyStream());
    const std::string path = dir_ + "/x/y.xz";
    int32_t code = 0;
    const int32_t h = Open(path, &code);
    ASSERT_GE(h, 1) << code;
    EntryHeader header = Patterned<EntryHeader>();
    ASSERT_EQ(read_(h, &header), 0);
    const std::string last = dir_.substr(dir_.find_last_of('\\') + 1);
    EXPECT_EQ(std::string(header.entry_name), last + "/x/y");
}

TEST_F(EntryHeaderTest, OnlyDeclaredFieldsAreWritten)
{
    // Unpacked size 5 GiB: the 32-bit form reports it modulo 2^32.
    const uint64_t five_gib = 5ull << 30;
    const Bytes xz = samples::Stream({{35, five_gib, false}});
    const std::string path = Write("big.xz", xz);
    int32_t code = 0;

    int32_t h = Open(path, &code);
    ASSERT_GE(h, 1);
    EntryHeader a = Patterned<EntryHeader>();
    ASSERT_EQ(read_(h, &a), 0);
    EXPECT_EQ(a.packed_size, xz.size());
    EXPECT_EQ(a.unpacked_size, 1u << 30);
    EXPECT_TRUE(Untouched(a, 260 + std::strlen(a.entry_name) + 1, 520 + 4)) << "entry name tail, flags";
    EXPECT_TRUE(Untouched(a, 532, 540));
    EXPECT_TRUE(Untouched(a, std::strlen(a.archive_name) + 1, 260));
    Close(h);

    h = Open(path, &code);
    EntryHeaderEx ex = Patterned<EntryHeaderEx>();
    ASSERT_EQ(read_ex_(h, &ex), 0);
    EXPECT_EQ(ex.unpacked_size, 1u << 30);
    EXPECT_EQ(ex.unpacked_size_high, 1u);
    EXPECT_EQ(ex.packed_size, xz.size());
    EXPECT_EQ(ex.packed_size_high, 0u);
    EXPECT_TRUE(Untouched(ex, 2048, 2052));
    EXPECT_TRUE(Untouched(ex, 2068, 2076));
    Close(h);

    h = OpenW(testhost::Widen(path), &code);
    EntryHeaderExW w = Patterned<EntryHeaderExW>();
    ASSERT_EQ(read_ex_w_(h, &w), 0);
    EXPECT_EQ(w.unpacked_size, 1u << 30);
    EXPECT_EQ(w.unpacked_size_high, 1u);
    EXPECT_TRUE(Untouched(w, 4096, 4100));
    EXPECT_TRUE(Untouched(w, 4116, 4124));
    Close(h);
}

TEST_F(EntryHeaderTest, OneEntryPerOpenSharedByAllForms)
{
    const std::string path = Write("one.xz", samples::EmptyStream());
    int32_t code = 0;
    const int32_t h = Open(path, &code);
    ASSERT_GE(h, 1);
    EntryHeader first = Patterned<EntryHeader>();
    ASSERT_EQ(read_(h, &first), 0);
    EntryHeader again = first;
    EXPECT_EQ(read_(h, &again), 10);
    EXPECT_EQ(std::memcmp(&first, &again, sizeof(first)), 0) << "a refused call must write nothing";
    EntryHeaderEx ex = Patterned<EntryHeaderEx>();
    EXPECT_EQ(read_ex_(h, &ex), 10);
    EntryHeaderExW w = Patterned<EntryHeaderExW>();
    EXPECT_EQ(read_ex_w_(h, &w), 10);
    EXPECT_TRUE(Untouched(w, 0, sizeof(w)));

    // Reopening the same slot starts a new listing.
    Close(h);
    EXPECT_EQ(Open(path, &code), h);
    EXPECT_EQ(read_ex_(h, &ex), 0);
}

TEST_F(EntryHeaderTest, BadHandlesAndClosedSlotsGive18)
{
    EntryHeader header = Patterned<EntryHeader>();
    for (int32_t h : {0, -1, 11})
        EXPECT_EQ(read_(h, &header), 18) << h;
    const std::string path = Write("c.xz", samples::EmptyStream());
    int32_t code = 0;
    const int32_t h = Open(path, &code);
    ASSERT_GE(h, 1);
    Close(h);
    EXPECT_EQ(read_(h, &header), 18);
    EntryHeaderExW w = Patterned<EntryHeaderExW>();
    EXPECT_EQ(read_ex_w_(h, &w), 18);
    EXPECT_TRUE(Untouched(header, 0, sizeof(header)));
    EXPECT_TRUE(Untouched(w, 0, sizeof(w)));
}

TEST_F(EntryHeaderTest, OtherFormsNameIsEmptyButSizesAreFilled)
{
    const Bytes xz = samples::Stream({{35, 11, false}});
    const std::string path = Write("form.xz", xz);
    int32_t code = 0;
    int32_t h = OpenW(testhost::Widen(path), &code);
    ASSERT_GE(h, 1);
    EntryHeader a = Patterned<EntryHeader>();
    ASSERT_EQ(read_(h, &a), 0);
    EXPECT_EQ(a.archive_name[0], '\0');
    EXPECT_EQ(a.entry_name[0], '\0');
    EXPECT_EQ(a.unpacked_size, 11u);
    EXPECT_EQ(a.packed_size, xz.size());
    Close(h);

    h = Open(path, &code);
    EntryHeaderExW w = Patterned<EntryHeaderExW>();
    ASSERT_EQ(read_ex_w_(h, &w), 0);
    EXPECT_EQ(w.archive_name[0], L'\0');
    EXPECT_EQ(w.entry_name[0], L'\0');
    EXPECT_EQ(w.unpacked_size, 11u);
}

} // namespace
