// Damaged archives through the real module: every truncation and every single-byte change of the
// container fields must open cleanly or fail with 13/18, must never test as good, and a failed
// extraction must leave no file.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
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
    static void Print(const char* what, const Counts& c)
    {
        std::printf("%s: %d cases, %d opened, refused 13: %d, 18: %d; tests failed with", what, c.cases,
                    c.opened, c.refused_13, c.refused_18);
        for (int i = 1; i < 32; ++i)
            if (c.tests_failed[i] != 0)
                std::printf(" %d: %d", i, c.tests_failed[i]);
        std::printf("; passed: %d\n", c.tests_failed[0]);
    }
    std::string dir_;
    std::string path_;
    std::string out_;
};

// Two streams, the first with sizes in its block header, so that both kinds
// of first block header and a two-stream index chain are covered.
Bytes Sample()
{
    Bytes a = testhost::EncodeXzWithSizes(testhost::SampleText(3000), 1);
    const Bytes b = testhost::EncodeXz(testhost::SampleText(500), 6);
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(Hostile, EveryTruncationFailsToTestAsGood)
{
    const Bytes whole = Sample();
    Counts c;
    ASSERT_EQ(Try(whole, true, &c), 0);
    // Cut exactly between the two streams, the file is the first stream
    // alone: a whole, valid .xz file.
    const size_t first_stream = whole.size() - testhost::EncodeXz(testhost::SampleText(500), 6).size();
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

TEST_F(Hostile, EverySingleByteChangeOfTheContainerIsCaught)
{
    const Bytes whole = Sample();
    const Bytes second = testhost::EncodeXz(testhost::SampleText(500), 6);
    const size_t first_size = whole.size() - second.size();
    // Container fields: both stream headers and first block headers, and the
    // tails (index and footer) of both streams.
    std::vector<size_t> positions;
    auto add_range = [&](size_t from, size_t to) {
        for (size_t i = from; i < to && i < whole.size(); ++i)
            positions.push_back(i);
    };
    const size_t first_block_header = (whole[12] + 1) * 4;
    add_range(0, 12 + first_block_header);
    add_range(first_size - 12 - 16, first_size);
    const size_t second_block_header = (whole[first_size + 12] + 1) * 4;
    add_range(first_size, first_size + 12 + second_block_header);
    add_range(whole.size() - 12 - 16, whole.size());

    Counts c;
    for (size_t pos : positions) {
        for (int delta = 1; delta < 256; ++delta) {
            Bytes changed = whole;
            changed[pos] = static_cast<uint8_t>(changed[pos] + delta);
            EXPECT_NE(Try(changed, delta % 64 == 1, &c), 0) << "byte " << pos << " + " << delta;
        }
    }
    Print("container byte changes", c);

    // A few hundred random changes in the compressed data.
    Counts d;
    uint32_t x = 0x9E3779B9u;
    for (int i = 0; i < 300; ++i) {
        x = x * 1664525u + 1013904223u;
        const size_t pos = 12 + first_block_header + x % (first_size - 12 - first_block_header - 40);
        Bytes changed = whole;
        changed[pos] ^= static_cast<uint8_t>(1u << (x >> 29));
        EXPECT_NE(Try(changed, i % 10 == 0, &d), 0) << "data byte " << pos;
    }
    Print("data byte changes", d);
}

} // namespace
