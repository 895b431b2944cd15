// Faults of the machine around the module: a disk that fills up during
// extraction or only at its last flush, an archive that changes or is locked between opening and
// extraction, and a source or an archive whose reads fail. Each must end with
// a code and with the disk as it was: no partial output, the old archive back
// byte for byte.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/win/host.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testhost::Exists;
using testhost::Export;
using testhost::OpenOk;
using testhost::ReadBytes;
using testhost::WriteBytes;

class Faults : public testhost::ArchiveTest {
protected:
    int32_t Extract(int32_t h, const std::string& target)
    {
        return Export<ProcessFileFn>("ProcessFile")(h, kExtract, nullptr, target.c_str());
    }
};

std::string Str(int32_t code) { return std::to_string(code); }

// The file whose reads fail part-way (failing_reads.c, preloaded into Wine by
// the test run) in Windows form, filled with twice as much text as can be
// read of it, and the offset of its first unreadable byte. Empty where the library is not in
// this process: a build with no Linux compiler for the word size of the Wine that runs it.
struct FailingFile {
    std::string path;
    std::string folder;
    size_t after = 0;
};

FailingFile FailingReads()
{
    const char* path = std::getenv("XZ_FAILING_READS_FILE");
    const char* after = std::getenv("XZ_FAILING_READS_AFTER");
    if (path == nullptr || after == nullptr)
        return {};
    FailingFile f;
    f.path = testhost::SourcePath(path);
    f.folder = f.path.substr(0, f.path.rfind('\\') + 1);
    f.after = std::strtoul(after, nullptr, 10);
    if (f.after == 0 || !WriteBytes(f.path, testhost::SampleText(2 * f.after)))
        return {};
    // Wine drops the part of a read that ends in an error, so less may come.
    return ReadBytes(f.path).size() <= f.after ? f : FailingFile();
}

std::vector<int32_t> g_reported;
int32_t __stdcall Record(const char*, int32_t count)
{
    g_reported.push_back(count);
    return 1;
}

TEST_F(Faults, FullDiskDuringExtractionGives19AndLeavesNothing)
{
    const std::string fs = testhost::SmallFs("XZ_FULL_FS");
    if (fs.empty())
        GTEST_SKIP() << "no small file system was mounted for this run (XZ_FULL_FS)";
    // A megabyte of text packs small and unpacks to four times the space there.
    const std::string archive = Path("big.xz");
    ASSERT_TRUE(WriteBytes(archive, testhost::EncodeXz(testhost::SampleText(1 << 20), 6)));
    const int32_t h = OpenOk(archive);
    const std::string target = fs + "\\big";
    const int32_t code = Extract(h, target);
    EXPECT_EQ(code, 19);
    EXPECT_FALSE(Exists(target));
    EXPECT_TRUE(testhost::ListFolder(fs).empty());
    testhost::ReportFigures("fault: full disk during extraction: " + Str(code) +
                            "; the disk holds: " + testhost::DescribeFolder(fs));
    // The disk has its room back: a file that fits is written whole.
    ASSERT_TRUE(WriteBytes(archive, testhost::EncodeXz(testhost::SampleText(100000), 6)));
    const int32_t small = OpenOk(archive);
    EXPECT_EQ(Extract(small, target), 0);
    EXPECT_EQ(ReadBytes(target), testhost::SampleText(100000));
    DeleteFileA(target.c_str());
}

// Output under the stream's 64 KiB buffer reaches the disk only at the close.
TEST_F(Faults, DiskFullAtTheLastFlushGives19AndLeavesNothing)
{
    const std::string fs = testhost::SmallFs("XZ_FULL_FS");
    if (fs.empty())
        GTEST_SKIP() << "no small file system was mounted for this run (XZ_FULL_FS)";
    ASSERT_TRUE(WriteBytes(Path("small.xz"), testhost::EncodeXz(testhost::SampleText(48 << 10), 6)));
    const std::string filler = testhost::FillLeaving(fs, 16 << 10);
    ASSERT_FALSE(filler.empty());
    EXPECT_EQ(Extract(OpenOk(Path("small.xz")), fs + "\\small"), 19);
    EXPECT_FALSE(Exists(fs + "\\small"));
    DeleteFileA((fs + "\\small").c_str());
    DeleteFileA(filler.c_str());
}

TEST_F(Faults, ArchiveChangedBetweenOpenAndExtraction)
{
    const Bytes text = testhost::SampleText(200000);
    const Bytes good = testhost::EncodeXz(text, 6);
    const std::string target = Path("out");
    struct Case {
        const char* what;
        bool remove;
        Bytes replacement;
        int32_t code;
    } cases[] = {
        {"deleted", true, {}, 15},
        {"replaced by other bytes", false, testhost::SampleText(good.size()), 12},
        {"cut short", false, Bytes(good.begin(), good.begin() + good.size() / 2), 12},
        {"emptied", false, Bytes(), 12},
    };
    for (Case& c : cases) {
        const std::string archive = Path("a.xz");
        ASSERT_TRUE(WriteBytes(archive, good));
        const int32_t h = OpenOk(archive);
        if (c.remove) {
            ASSERT_TRUE(DeleteFileA(archive.c_str()));
        } else {
            ASSERT_TRUE(WriteBytes(archive, c.replacement));
        }
        const int32_t tested = Export<ProcessFileFn>("ProcessFile")(h, kTest, nullptr, nullptr);
        const int32_t extracted = Extract(h, target);
        EXPECT_EQ(tested, c.code) << c.what;
        EXPECT_EQ(extracted, c.code) << c.what;
        EXPECT_FALSE(Exists(target)) << c.what;
        testhost::ReportFigures(std::string("fault: archive ") + c.what + " after opening: test " + Str(tested) +
                                ", extraction " + Str(extracted) + "; the folder holds: " +
                                testhost::DescribeFolder(dir_));
        testhost::Close(h);
    }
}

TEST_F(Faults, ArchiveLockedByAnotherProgramGives15)
{
    const std::string archive = Path("locked.xz");
    ASSERT_TRUE(WriteBytes(archive, testhost::EncodeXz(testhost::SampleText(5000), 6)));
    const int32_t h = OpenOk(archive);
    // Opened without sharing, as an editor or a copy in progress might.
    const HANDLE lock = CreateFileA(archive.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    const int32_t code = Extract(h, Path("out"));
    EXPECT_EQ(code, 15);
    EXPECT_FALSE(Exists(Path("out")));
    testhost::ReportFigures("fault: archive held without sharing: extraction " + Str(code) +
                            "; the folder holds: " + testhost::DescribeFolder(dir_));
    CloseHandle(lock);
    EXPECT_EQ(Extract(h, Path("out")), 0) << "the same handle works once the file is free";
    EXPECT_EQ(ReadBytes(Path("out")), testhost::SampleText(5000));
}

// A source that opens but cannot be read: Wine maps the drive Z: to the Unix
// root, where reading a process's memory at address 0 fails with an I/O error.
TEST_F(Faults, SourceReadErrorDuringPackingGives18AndRestoresTheOldArchive)
{
    const std::string source_dir = "Z:\\proc\\self\\";
    FILE* probe = std::fopen((source_dir + "mem").c_str(), "rb");
    if (probe == nullptr)
        GTEST_SKIP() << "no source here whose reads fail";
    uint8_t byte;
    const bool readable = std::fread(&byte, 1, 1, probe) == 1;
    std::fclose(probe);
    if (readable)
        GTEST_SKIP() << "the failing source can be read here";

    const Bytes old = testhost::EncodeXz(testhost::SampleText(3000), 1);
    const std::string target = Path("mem.xz");
    ASSERT_TRUE(WriteBytes(target, old));
    const std::string list = std::string("mem") + '\0';
    const int32_t code =
        Export<PackFilesFn>("PackFiles")(target.c_str(), nullptr, source_dir.c_str(), list.c_str(), 0);
    EXPECT_EQ(code, 18);
    const bool kept = ReadBytes(target) == old;
    EXPECT_TRUE(kept) << "the old archive did not come back byte for byte";
    testhost::ReportFigures("fault: source read error during packing: " + Str(code) + "; the folder holds: " +
                            testhost::DescribeFolder(dir_) + " (old archive byte-identical: " +
                            (kept ? "yes" : "no") + ")");
    EXPECT_EQ(testhost::ListFolder(dir_), std::vector<std::string>({"mem.xz"})) << "no backup or partial file is left";

    // Without an old archive nothing at all is left.
    ASSERT_TRUE(DeleteFileA(target.c_str()));
    const std::wstring wlist = std::wstring(L"mem") + L'\0';
    EXPECT_EQ(Export<PackFilesWFn>("PackFilesW")(testhost::Widen(target).c_str(), nullptr,
                                                  testhost::Widen(source_dir).c_str(), wlist.c_str(), 0),
              18);
    EXPECT_TRUE(testhost::ListFolder(dir_).empty());
}

TEST_F(Faults, SourceFailingPartWayGives18AndRestoresTheOldArchive)
{
    const FailingFile f = FailingReads();
    if (f.path.empty())
        GTEST_SKIP() << "no file whose reads fail part-way in this process";
    const Bytes old = testhost::EncodeXz(testhost::SampleText(3000), 1);
    const std::string target = Path("source.xz");
    ASSERT_TRUE(WriteBytes(target, old));
    g_reported.clear();
    Export<SetProcessDataProcFn>("SetProcessDataProc")(-1, Record);
    const std::string list = std::string("source") + '\0';
    constexpr int32_t kDeleteSource = 1;
    const int32_t code =
        Export<PackFilesFn>("PackFiles")(target.c_str(), nullptr, f.folder.c_str(), list.c_str(), kDeleteSource);
    Export<SetProcessDataProcFn>("SetProcessDataProc")(-1, nullptr);
    int64_t packed = 0;
    for (int32_t n : g_reported)
        packed += n;
    EXPECT_EQ(code, 18);
    EXPECT_GT(packed, 0) << "the failure should come part-way";
    EXPECT_LE(packed, static_cast<int64_t>(f.after));
    const bool kept = ReadBytes(target) == old;
    EXPECT_TRUE(kept) << "the old archive did not come back byte for byte";
    EXPECT_EQ(testhost::ListFolder(dir_), std::vector<std::string>({"source.xz"}));
    EXPECT_TRUE(Exists(f.path)) << "a failed packing never deletes its source";
    testhost::ReportFigures("fault: source unreadable from byte " + std::to_string(f.after) +
                            " during packing: " + Str(code) + " after " + std::to_string(packed) +
                            " bytes packed; the folder holds: " + testhost::DescribeFolder(dir_) +
                            " (old archive byte-identical: " + (kept ? "yes" : "no") + "), source kept");
}

TEST_F(Faults, ArchiveFailingPartWayGives18AndLeavesNothing)
{
    const FailingFile f = FailingReads();
    if (f.path.empty())
        GTEST_SKIP() << "no file whose reads fail part-way in this process";
    // Incompressible data, so that the archive runs well past the bad spot.
    const Bytes data = testhost::Noise(2 * f.after);
    const std::string archive = Path("a.xz");
    ASSERT_TRUE(WriteBytes(archive, testhost::EncodeXz(data, 0)));
    const int32_t h = OpenOk(archive);
    // From now on the archive's reads fail part-way: it becomes the failing file.
    ASSERT_TRUE(DeleteFileA(f.path.c_str()));
    if (!CreateHardLinkA(f.path.c_str(), archive.c_str(), nullptr))
        GTEST_SKIP() << "no hard links here";
    const int32_t tested = Export<ProcessFileFn>("ProcessFile")(h, kTest, nullptr, nullptr);
    const int32_t extracted = Extract(h, Path("out"));
    EXPECT_EQ(tested, 18);
    EXPECT_EQ(extracted, 18);
    EXPECT_FALSE(Exists(Path("out")));
    testhost::ReportFigures("fault: archive unreadable from byte " + std::to_string(f.after) + ": test " +
                            Str(tested) + ", extraction " + Str(extracted) + "; the folder holds: " +
                            testhost::DescribeFolder(dir_));
    DeleteFileA(f.path.c_str());
}

} // namespace
