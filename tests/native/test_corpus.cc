// Opening every sample that xz wrote (or that was damaged on purpose) from memory, against xz's own
// listing.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/native/alloc_watch.h"
#include "xzformat/byte_source.h"
#include "xzformat/probe.h"

namespace {

using xzformat::MemorySource;
using xzformat::ProbeResult;
using xzformat::ProbeStatus;

struct Row {
    std::string file;
    std::string size; // decimal, or "-" when xz cannot list the file
    std::string what;
};

std::string CorpusDir()
{
    const char* dir = std::getenv("XZ_CORPUS_DIR");
    return dir ? dir : "";
}

std::vector<std::vector<std::string>> ReadTsv(const std::string& path)
{
    std::vector<std::vector<std::string>> rows;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        std::vector<std::string> cols;
        std::stringstream ss(line);
        std::string col;
        while (std::getline(ss, col, '\t'))
            cols.push_back(col);
        rows.push_back(cols);
    }
    return rows;
}

std::vector<Row> Manifest()
{
    std::vector<Row> rows;
    for (const auto& cols : ReadTsv(CorpusDir() + "/expected.tsv")) {
        EXPECT_EQ(cols.size(), 3u) << "expected.tsv line for " << (cols.empty() ? "?" : cols[0]);
        if (cols.size() == 3)
            rows.push_back({cols[0], cols[1], cols[2]});
    }
    return rows;
}

std::vector<uint8_t> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << path;
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

struct Opened {
    ProbeStatus status;
    ProbeResult result;
    uint64_t file_size;
    size_t largest_allocation;
};

Opened Open(const std::string& name)
{
    const std::vector<uint8_t> bytes = ReadFile(CorpusDir() + "/" + name);
    MemorySource source(bytes.data(), bytes.size());
    Opened o{ProbeStatus::Malformed, {}, bytes.size(), 0};
    alloc_watch::Watch watch;
    o.status = xzformat::XzProbe(source, &o.result);
    o.largest_allocation = watch.largest();
    return o;
}

class Corpus : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(CorpusDir().empty()) << "XZ_CORPUS_DIR must name the generated corpus";
        rows_ = Manifest();
        ASSERT_FALSE(rows_.empty()) << "no samples in " << CorpusDir() << "/expected.tsv";
    }
    std::vector<Row> rows_;
};

TEST_F(Corpus, HoldsEverySampleKind)
{
    std::set<std::string> names;
    for (const Row& r : rows_)
        names.insert(r.file);
    for (const char* required :
         {"good-empty.xz", "good-small-text.xz", "good-single-block.xz", "good-multiblock-t2.xz",
          "good-blocksize-1mib.xz", "good-concat-2.xz", "good-concat-3.xz", "good-padded.xz",
          "good-check-none.xz", "good-check-crc32.xz", "good-check-crc64.xz",
          "good-check-sha256.xz", "good-preset-0.xz", "good-preset-9e.xz", "bad-truncated.xz",
          "bad-truncated-noheader-size.xz"})
        EXPECT_EQ(names.count(required), 1u) << required;
    for (const Row& r : rows_) {
        if (r.file.rfind("good-", 0) == 0)
            EXPECT_NE(r.size, "-") << r.file << ": xz could not list a sample meant to be good";
    }
}

// Where xz can list a file, its total is the unpacked size.
TEST_F(Corpus, ListedSamplesMatchXz)
{
    int checked = 0;
    for (const Row& r : rows_) {
        if (r.size == "-")
            continue;
        SCOPED_TRACE(r.file + ": " + r.what);
        const Opened o = Open(r.file);
        ASSERT_EQ(o.status, ProbeStatus::Ok);
        EXPECT_EQ(o.result.unpacked_size, std::stoull(r.size));
        EXPECT_EQ(o.result.packed_size, o.file_size);
        EXPECT_LE(o.largest_allocation, o.file_size);
        ++checked;
    }
    EXPECT_GE(checked, 14);
}

// Where xz cannot list a file, the generator states what opening it gives.
TEST_F(Corpus, UnlistedSamplesOpenAsStated)
{
    std::map<std::string, std::vector<std::string>> stated;
    for (const auto& cols : ReadTsv(CorpusDir() + "/unlisted.tsv")) {
        ASSERT_EQ(cols.size(), 3u);
        stated[cols[0]] = cols;
    }
    int checked = 0;
    for (const Row& r : rows_) {
        if (r.size != "-")
            continue;
        SCOPED_TRACE(r.file + ": " + r.what);
        const auto it = stated.find(r.file);
        ASSERT_NE(it, stated.end()) << "no stated outcome";
        const std::string& outcome = it->second[1];
        const Opened o = Open(r.file);
        EXPECT_LE(o.largest_allocation, o.file_size);
        if (outcome == "ok") {
            ASSERT_EQ(o.status, ProbeStatus::Ok);
            EXPECT_EQ(o.result.unpacked_size, std::stoull(it->second[2]));
            EXPECT_EQ(o.result.packed_size, o.file_size);
        } else if (outcome == "too-short") {
            EXPECT_EQ(o.status, ProbeStatus::TooShort);
        } else if (outcome == "malformed") {
            EXPECT_EQ(o.status, ProbeStatus::Malformed);
        } else {
            ADD_FAILURE() << "unknown outcome " << outcome;
        }
        ++checked;
    }
    EXPECT_GE(checked, 2);
}

// The threaded sample is only a test of the index sum if its first block
// header really stores a smaller size; and the cut copy of it must keep that
// header.
TEST_F(Corpus, ThreadedSampleStoresPartialSizeInFirstHeader)
{
    const std::vector<uint8_t> bytes = ReadFile(CorpusDir() + "/good-multiblock-t2.xz");
    MemorySource source(bytes.data(), bytes.size());
    const int64_t first = xzformat::ReadFirstBlockHeader(source);
    uint64_t total = 0;
    for (const Row& r : rows_)
        if (r.file == "good-multiblock-t2.xz")
            total = std::stoull(r.size);
    ASSERT_GT(first, 0);
    EXPECT_LT(static_cast<uint64_t>(first), total);
    EXPECT_EQ(xzformat::ReadFooterAndIndex(source, bytes.size()), static_cast<int64_t>(total));
}

} // namespace
