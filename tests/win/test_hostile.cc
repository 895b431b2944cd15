// Damaged archives through the real module: every truncation and every single-byte change of the
// container fields must open cleanly or fail with 13/18, must never test as good, and a failed
// extraction must leave no file.
#include <windows.h>
#include <winioctl.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/win/host.h"
#include "tests/win/xz_samples.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testhost::Export;

struct Counts {
    int cases = 0;
    int opened = 0;
    int refused_13 = 0;
    int refused_18 = 0;
    int tests_failed[32] = {};
};

class Hostile : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = testhost::ScratchDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
        path_ = dir_ + "\\case.xz";
        out_ = dir_ + "\\case.out";
    }
    // Opens and tests one variant (and extracts it when asked); returns the
    // test result, or -1 when the open was refused.
    int32_t Try(const Bytes& bytes, bool extract, Counts* counts)
    {
        ++counts->cases;
        EXPECT_TRUE(testhost::WriteBytes(path_, bytes));
        int32_t code = 0;
        const int32_t h = testhost::Open(path_, &code);
        if (h == 0) {
            EXPECT_TRUE(code == 13 || code == 18) << "open refused with " << code;
            (code == 13 ? counts->refused_13 : counts->refused_18)++;
            return -1;
        }
        ++counts->opened;
        const int32_t tested = Export<ProcessFileFn>("ProcessFile")(h, 1, nullptr, nullptr);
        if (tested >= 0 && tested < 32)
            counts->tests_failed[tested]++;
        if (extract) {
            const int32_t extracted = Export<ProcessFileFn>("ProcessFile")(h, 2, nullptr, out_.c_str());
            EXPECT_EQ(extracted, tested);
            if (extracted != 0)
                EXPECT_FALSE(testhost::Exists(out_)) << "a failed extraction left its output";
            DeleteFileA(out_.c_str());
        }
        testhost::Close(h);
        return tested;
    }
    static void Print(const std::string& what, const Counts& c)
    {
        std::string line = what + ": " + std::to_string(c.cases) + " cases, " + std::to_string(c.opened) +
                           " opened, refused 13: " + std::to_string(c.refused_13) +
                           ", 18: " + std::to_string(c.refused_18) + "; tests failed with";
        for (int i = 1; i < 32; ++i)
            if (c.tests_failed[i] != 0)
                line += " " + std::to_string(i) + ": " + std::to_string(c.tests_failed[i]);
        line += "; passed: " + std::to_string(c.tests_failed[0]);
        testhost::ReportFigures(line);
    }
    std::string dir_;
    std::string path_;
    std::string out_;
};

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; }

// Two streams, the first with sizes in its block header, so that both kinds
// of first block header and a two-stream index chain are covered.
std::vector<Bytes> SampleStreams()
{
    return {testhost::EncodeXzWithSizes(testhost::SampleText(3000), 1),
            testhost::EncodeXz(testhost::SampleText(500), 6)};
}

Bytes Join(const std::vector<Bytes>& streams)
{
    Bytes whole;
    for (const Bytes& s : streams)
        whole.insert(whole.end(), s.begin(), s.end());
    return whole;
}

TEST_F(Hostile, EveryTruncationFailsToTestAsGood)
{
    const std::vector<Bytes> streams = SampleStreams();
    const Bytes whole = Join(streams);
    Counts c;
    ASSERT_EQ(Try(whole, true, &c), 0);
    // Cut exactly between the two streams, the file is the first stream
    // alone: a whole, valid .xz file.
    const size_t first_stream = streams[0].size();
    Counts cut;
    for (size_t n = 0; n < whole.size(); ++n) {
        const int32_t tested = Try(Bytes(whole.begin(), whole.begin() + n), n % 8 == 0, &cut);
        if (n == first_stream)
            EXPECT_EQ(tested, 0);
        else
            EXPECT_NE(tested, 0) << "length " << n;
    }
    Print("truncations", cut);
}

// The container fields of one file made of whole streams and then zero
// padding: each stream's header and first block header, its index and footer
// (the index size comes from the footer's backward size), and the padding.
std::vector<size_t> ContainerPositions(const std::vector<Bytes>& streams, size_t padding)
{
    std::vector<size_t> positions;
    size_t base = 0;
    for (const Bytes& s : streams) {
        const size_t block_header = (s[12] + 1) * 4u;
        const size_t footer = s.size() - 12;
        const size_t index = footer - (le32(s.data() + footer + 4) + 1) * 4u;
        for (size_t i = 0; i < 12 + block_header; ++i)
            positions.push_back(base + i);
        for (size_t i = index; i < s.size(); ++i)
            positions.push_back(base + i);
        base += s.size();
    }
    for (size_t i = 0; i < padding; ++i)
        positions.push_back(base + i);
    return positions;
}

struct SweepFile {
    std::string name;
    std::vector<Bytes> streams;
    size_t padding;
    int data_changes;
    int delta_step; // every value of a byte, or every so many
};

std::vector<SweepFile> SweepFiles()
{
    std::vector<SweepFile> files = {
        {"two streams", SampleStreams(), 0, 300, 1},
        // Blocks with their sizes in their headers go to worker threads,
        // which must catch every fault the single-threaded decoder does.
        {"many blocks", {testhost::EncodeXzBlocks(testhost::SampleText(60000), 1, 8 << 10)}, 0, 300, 7},
        // Several streams are decoded block by block from their indexes,
        // which must hold every block and every index to what the stream
        // decoder checks.
        {"many streams",
         {testhost::EncodeXz(testhost::SampleText(9000), 6), testhost::EncodeXz(testhost::SampleText(4000), 1),
          testhost::EncodeXzWithSizes(testhost::SampleText(5000), 1)},
         8, 300, 3},
    };
    // And files the system's xz wrote: a long check field, a filter chain
    // (a longer block header) and stream padding.
    const std::string corpus = testhost::CorpusDir();
    if (corpus.empty())
        return files;
    const Bytes sha256 = testhost::ReadBytes(corpus + "\\good-check-sha256.xz");
    const Bytes filters = testhost::ReadBytes(corpus + "\\good-filters-3.xz");
    Bytes padded = testhost::ReadBytes(corpus + "\\good-padded.xz");
    EXPECT_FALSE(sha256.empty() || filters.empty() || padded.size() < 4) << "corpus files missing";
    if (sha256.empty() || filters.empty() || padded.size() < 4)
        return files;
    padded.resize(padded.size() - 4);
    files.push_back({"sha-256 check", {sha256}, 0, 100, 1});
    files.push_back({"three filters", {filters}, 0, 100, 1});
    files.push_back({"stream padding", {padded}, 4, 0, 1});
    return files;
}

TEST_F(Hostile, EverySingleByteChangeOfTheContainerIsCaught)
{
    for (const SweepFile& file : SweepFiles()) {
        Bytes whole = Join(file.streams);
        whole.resize(whole.size() + file.padding, 0);
        Counts untouched;
        ASSERT_EQ(Try(whole, true, &untouched), 0) << file.name;

        Counts c;
        for (size_t pos : ContainerPositions(file.streams, file.padding)) {
            for (int delta = 1; delta < 256; delta += file.delta_step) {
                Bytes changed = whole;
                changed[pos] = static_cast<uint8_t>(changed[pos] + delta);
                EXPECT_NE(Try(changed, delta % 64 == 1, &c), 0)
                    << file.name << ": byte " << pos << " + " << delta;
            }
        }
        Print(file.name + ", container byte changes", c);

        // Random changes in the first stream's compressed data.
        const Bytes& first = file.streams[0];
        const size_t data_from = 12 + (first[12] + 1) * 4u;
        const size_t data_to = first.size() - 12 - (le32(first.data() + first.size() - 8) + 1) * 4u - 16;
        if (file.data_changes == 0 || data_to <= data_from)
            continue;
        Counts d;
        uint32_t x = 0x9E3779B9u;
        for (int i = 0; i < file.data_changes; ++i) {
            x = x * 1664525u + 1013904223u;
            const size_t pos = data_from + x % (data_to - data_from);
            Bytes changed = whole;
            changed[pos] ^= static_cast<uint8_t>(1u << (x >> 29));
            EXPECT_NE(Try(changed, i % 10 == 0, &d), 0) << file.name << ": data byte " << pos;
        }
        Print(file.name + ", data byte changes", d);
    }
}

// An index of 2^26 records of 8-byte blocks in one stream (CRC-32 check):
// the record table of a 32-bit build cannot hold that many (a vector of
// them passes max_size), and a sparse file makes it cheap. The blocks are
// never written: the file holds the stream header, a hole of 512 MiB, the
// index (128 MiB, written in pieces) and the footer. Returns the file's size,
// 0 when it could not be written.
uint64_t WriteManyRecords(const std::string& path, uint32_t records)
{
    const HANDLE h =
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    DWORD unused = 0;
    // Where the file system keeps holes only when asked.
    DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &unused, nullptr);
    bool ok = true;
    const auto put = [&](const Bytes& b) {
        DWORD written = 0;
        ok = ok && WriteFile(h, b.data(), static_cast<DWORD>(b.size()), &written, nullptr) && written == b.size();
    };
    const uint8_t kCheckCrc32 = 0x01;
    const Bytes header = samples::StreamHeader(kCheckCrc32);
    put(header);
    LARGE_INTEGER index_at;
    index_at.QuadPart = static_cast<LONGLONG>(header.size() + uint64_t{records} * 8);
    ok = ok && SetFilePointerEx(h, index_at, nullptr, FILE_BEGIN);

    // Indicator, count, records of unpadded size 5 and no output, padding to
    // four, CRC-32.
    Bytes piece = {0x00};
    samples::PutVarint(piece, records);
    uint64_t index_size = piece.size() + uint64_t{records} * 2;
    uLong crc = crc32(0, nullptr, 0);
    for (uint32_t left = records; left > 0 && ok;) {
        const uint32_t n = std::min<uint32_t>(left, 1u << 19);
        const size_t at = piece.size();
        piece.resize(at + size_t{n} * 2, 0x00);
        for (uint32_t i = 0; i < n; ++i)
            piece[at + size_t{i} * 2] = 0x05;
        left -= n;
        if (left == 0)
            piece.resize(piece.size() + (4 - index_size % 4) % 4, 0);
        crc = crc32(crc, piece.data(), static_cast<uInt>(piece.size()));
        put(piece);
        piece.clear();
    }
    index_size = (index_size + 3) / 4 * 4 + 4;
    Bytes crc_field;
    samples::PutLe32(crc_field, static_cast<uint32_t>(crc));
    put(crc_field);
    put(samples::StreamFooter(index_size, kCheckCrc32));
    CloseHandle(h);
    return ok ? header.size() + uint64_t{records} * 8 + index_size + 12 : 0;
}

// The open's walk sums every record; a test or an extraction leaves the
// records to the stream decoder, which finds no blocks where the index
// lists them. Every call answers with a code and the module goes on.
TEST_F(Hostile, IndexOfSixtySevenMillionRecords)
{
    struct Removed {
        const std::string& path;
        ~Removed() { DeleteFileA(path.c_str()); }
    } removed{path_};
    const ULONGLONG start = GetTickCount64();
    const uint64_t size = WriteManyRecords(path_, 1u << 26);
    ASSERT_NE(size, 0u) << "the file could not be written";
    const ULONGLONG written = GetTickCount64();

    int32_t code = 0;
    const ArchiveHandle h = testhost::Open(path_, &code);
    ASSERT_NE(h, 0) << "open refused with " << code;
    EntryHeaderEx header = {};
    EXPECT_EQ(Export<ReadHeaderExFn>("ReadHeaderEx")(h, &header), 0);
    EXPECT_EQ(testhost::PackedSize(header), size);
    EXPECT_EQ(testhost::UnpackedSize(header), 0u);
    const ULONGLONG opened = GetTickCount64();
    EXPECT_EQ(Export<ProcessFileFn>("ProcessFile")(h, kTest, nullptr, nullptr), 12);
    const ULONGLONG tested = GetTickCount64();
    EXPECT_EQ(Export<ProcessFileFn>("ProcessFile")(h, kExtract, nullptr, out_.c_str()), 12);
    EXPECT_FALSE(testhost::Exists(out_)) << "a failed extraction left its output";
    testhost::Close(h);
    testhost::ReportFigures("2^26 records: file of " + std::to_string(size) + " bytes written in " +
                            std::to_string(written - start) + " ms, opened in " +
                            std::to_string(opened - written) + " ms, tested in " +
                            std::to_string(tested - opened) + " ms, extracted in " +
                            std::to_string(GetTickCount64() - tested) + " ms");

    Counts c;
    EXPECT_EQ(Try(testhost::EncodeXz(testhost::SampleText(3000), 1), true, &c), 0) << "the module after it";
}

} // namespace
