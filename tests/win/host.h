// Test-side host: loads xz.ztx from the test program's folder and binds its exports by name.
#ifndef TESTS_WIN_HOST_H
#define TESTS_WIN_HOST_H

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "plugin/ztx_api.h"

namespace testhost {

// The running test program's file, and its folder with a trailing backslash.
std::string ProgramPath();
std::string ProgramDir();

// The module, loaded once per test process, exactly as a host does.
HMODULE Module();

template <typename Fn>
Fn Export(const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(Module(), name)));
}

// A fresh empty folder for one test's files, inside the Wine temp folder.
std::string ScratchDir(const std::string& tag);
std::wstring Widen(const std::string& ascii);
// Deletes a folder and everything in it, read-only files too; give a "\\?\"
// path for folders past the usual path limit.
void RemoveTree(const std::wstring& dir);

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadBytes(const std::string& path);
bool Exists(const std::string& path);

// Sets a file's last-write time from a local calendar time.
bool SetLocalWriteTime(const std::string& path, int year, int month, int day, int hour,
                       int minute, int second);

// A path of the source tree as the build saw it (Unix form) in Windows form.
std::string SourcePath(const std::string& unix_path);

// The corpus folder made by scripts/make-corpus.sh, as a Windows path; empty if unset.
std::string CorpusDir();

// The folder, as a Windows path, of a small file system that the test run
// mounted and named in the environment variable; empty when the variable is
// unset or the mount failed (the folder then lacks the marker ".small-fs"),
// as on machines that do not allow mounting.
std::string SmallFs(const char* variable);

// Fills the file system of folder fs with one file until only free_bytes
// remain, and returns its path; empty when that cannot be done.
std::string FillLeaving(const std::string& fs, uint64_t free_bytes);

// Points the module at a settings file, as a host does once after loading it.
void UseSettingsFile(const std::string& ini);

// What lzma_version_string() of the liblzma.dll beside the test program
// says ("5.4.1"), or "" when it cannot be loaded.
std::string LzmaVersion();

// Whether a version "A.B.C" is at least "X.Y.Z".
bool VersionAtLeast(const std::string& version, const std::string& least);

// An .xz stream of data made by the liblzma.dll beside the test program, with
// its easy encoder given all input at once (CRC-64 check), as the plug-in's
// packing would write it at the same preset.
std::vector<uint8_t> EncodeXz(const std::vector<uint8_t>& data, uint32_t preset);

// The same data through liblzma's one-call encoder, whose block header stores
// the block's sizes (as multi-threaded xz writes them): such a file still
// opens when it is cut short.
std::vector<uint8_t> EncodeXzWithSizes(const std::vector<uint8_t>& data, uint32_t preset);

// The data in blocks of block_size, each header storing its sizes, as
// threaded xz writes them (liblzma's threaded encoder, two threads).
std::vector<uint8_t> EncodeXzBlocks(const std::vector<uint8_t>& data, uint32_t preset, uint64_t block_size);

// The data as a stream per piece bytes (EncodeXz each), one after the other,
// as parallel writers and appended logs make them.
std::vector<uint8_t> EncodeXzStreams(const std::vector<uint8_t>& data, size_t piece, uint32_t preset);

// Deterministic text of exactly size bytes.
std::vector<uint8_t> SampleText(size_t size);
// Deterministic bytes that no preset can compress.
std::vector<uint8_t> Noise(size_t size);

// Opens through OpenArchive (ANSI); returns the handle, and the record's
// result code through *code (left at `unset` on success).
constexpr int32_t kUnsetResult = 0x5A5A5A5A;
ArchiveHandle Open(const std::string& path, int32_t* code);
ArchiveHandle OpenW(const std::wstring& path, int32_t* code);
int32_t Close(ArchiveHandle handle);
// Open that expects a handle; a failure names the path and the code.
ArchiveHandle OpenOk(const std::string& path);

// The listed sizes: the host splits each into two 32-bit halves.
inline uint64_t PackedSize(const EntryHeaderEx& h)
{
    return h.packed_size | (uint64_t{h.packed_size_high} << 32);
}
inline uint64_t UnpackedSize(const EntryHeaderEx& h)
{
    return h.unpacked_size | (uint64_t{h.unpacked_size_high} << 32);
}

// The names in a folder, without "." and "..", and without the marker of the
// small test file systems.
std::vector<std::string> ListFolder(const std::string& dir);
// The same as one line for a report: "a.xz, b" or "empty".
std::string DescribeFolder(const std::string& dir);

// Prints a line of figures (counts, sizes) and records it in the test's XML
// report, where the run's summary collects it.
void ReportFigures(const std::string& line);

// A test with a scratch folder of its own, named after the test, that closes
// every slot afterwards: a failed check must not leave slots held for the
// tests after it.
class ArchiveTest : public ::testing::Test {
protected:
    void SetUp() override { dir_ = ScratchDir(::testing::UnitTest::GetInstance()->current_test_info()->name()); }
    void TearDown() override
    {
        for (ArchiveHandle h = 1; h <= 10; ++h)
            Close(h);
    }
    std::string Path(const std::string& name) const { return dir_ + "\\" + name; }
    // Writes the bytes to a file of the folder and returns its path.
    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes)
    {
        const std::string path = Path(name);
        EXPECT_TRUE(WriteBytes(path, bytes));
        return path;
    }
    std::string dir_;
};

} // namespace testhost

#endif
