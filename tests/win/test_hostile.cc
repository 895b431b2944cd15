// Damaged archives through the real module: every truncation and every single-byte change of the
// container fields must open cleanly or fail with 13/18, must never test as good, and a failed
// extraction must leave no file.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/win/host.h"

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

} // namespace
