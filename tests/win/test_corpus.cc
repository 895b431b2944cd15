// Every sample file the system's xz wrote, opened through the module: the unpacked size must
// equal what `xz --robot --list` reports, and files xz cannot list must fail or fall back as stated.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/win/host.h"

namespace {

using testhost::Export;

struct Row {
    std::string file;
    std::string a; // expected.tsv: size or "-"; unlisted.tsv: outcome
    std::string b; // unlisted.tsv: size or "-"
};

std::vector<Row> ReadTable(const std::string& path)
{
    std::vector<Row> rows;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::stringstream fields(line);
        Row r;
        std::getline(fields, r.file, '\t');
        std::getline(fields, r.a, '\t');
        std::getline(fields, r.b, '\t');
        if (!r.file.empty())
            rows.push_back(r);
    }
    return rows;
}

uint64_t FileSize(const std::string& path) { return testhost::ReadBytes(path).size(); }

struct Opened {
    int32_t handle;
    int32_t code;
    uint64_t packed;
    uint64_t unpacked;
};

Opened OpenAndList(const std::string& path, bool wide)
{
    Opened o{};
    o.handle = wide ? testhost::OpenW(testhost::Widen(path), &o.code) : testhost::Open(path, &o.code);
    if (o.handle != 0) {
        EntryHeaderEx h = {};
        EXPECT_EQ(Export<ReadHeaderExFn>("ReadHeaderEx")(o.handle, &h), 0);
        o.packed = testhost::PackedSize(h);
        o.unpacked = testhost::UnpackedSize(h);
        testhost::Close(o.handle);
    }
    return o;
}

class Corpus : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir_ = testhost::CorpusDir();
        if (dir_.empty())
            GTEST_SKIP() << "XZ_CORPUS_DIR is not set";
    }
    std::string dir_;
};

TEST_F(Corpus, UnpackedSizeEqualsXzList)
{
    const std::vector<Row> rows = ReadTable(dir_ + "\\expected.tsv");
    ASSERT_GE(rows.size(), 15u) << "corpus manifest missing or short";
    int compared = 0;
    std::printf("%-34s %12s %12s %12s\n", "file", "xz --list", "OpenArchive", "OpenArchiveW");
    for (const Row& r : rows) {
        if (r.a == "-")
            continue;
        const std::string path = dir_ + "\\" + r.file;
        const Opened ansi = OpenAndList(path, false);
        const Opened wide = OpenAndList(path, true);
        std::printf("%-34s %12s %12llu %12llu\n", r.file.c_str(), r.a.c_str(),
                    static_cast<unsigned long long>(ansi.unpacked),
                    static_cast<unsigned long long>(wide.unpacked));
        ASSERT_NE(ansi.handle, 0) << r.file << " code " << ansi.code;
        ASSERT_NE(wide.handle, 0) << r.file << " code " << wide.code;
        EXPECT_EQ(ansi.unpacked, std::stoull(r.a)) << r.file;
        EXPECT_EQ(wide.unpacked, std::stoull(r.a)) << r.file;
        EXPECT_EQ(ansi.packed, FileSize(path)) << r.file;
        ++compared;
    }
    EXPECT_GE(compared, 15);
}

TEST_F(Corpus, FilesXzCannotListFailOrFallBackAsStated)
{
    const std::vector<Row> rows = ReadTable(dir_ + "\\unlisted.tsv");
    ASSERT_FALSE(rows.empty());
    for (const Row& r : rows) {
        const std::string path = dir_ + "\\" + r.file;
        for (bool wide : {false, true}) {
            const Opened o = OpenAndList(path, wide);
            std::printf("%-34s %-10s -> handle %d code %d unpacked %llu\n", r.file.c_str(), r.a.c_str(),
                        o.handle, o.handle ? 0 : o.code, static_cast<unsigned long long>(o.unpacked));
            if (r.a == "ok") {
                ASSERT_NE(o.handle, 0) << r.file;
                EXPECT_EQ(o.unpacked, std::stoull(r.b)) << r.file;
            } else {
                EXPECT_EQ(o.handle, 0) << r.file;
                EXPECT_EQ(o.code, r.a == "too-short" ? 18 : 13) << r.file;
            }
        }
    }
}

} // namespace
