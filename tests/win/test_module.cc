// The module as a host first meets it: its export and import tables, capability words, handle range checks.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "tests/win/host.h"

namespace {

using testhost::Export;
using testhost::Module;

// The host interface, one name a line, shared with the check of the shipped file.
std::set<std::string> HostInterface()
{
    std::set<std::string> names;
    std::ifstream in(testhost::SourcePath(XZ_EXPORTS_FILE));
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            names.insert(line);
    return names;
}

const BYTE* Image() { return reinterpret_cast<const BYTE*>(Module()); }

const IMAGE_NT_HEADERS* NtHeaders()
{
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(Image());
    return reinterpret_cast<const IMAGE_NT_HEADERS*>(Image() + dos->e_lfanew);
}

TEST(Module, LoadsAsADllOfThisMachine)
{
    ASSERT_NE(Module(), nullptr) << "xz.ztx not found beside the test program";
#ifdef _WIN64
    EXPECT_EQ(NtHeaders()->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
#else
    EXPECT_EQ(NtHeaders()->FileHeader.Machine, IMAGE_FILE_MACHINE_I386);
#endif
    EXPECT_TRUE(NtHeaders()->FileHeader.Characteristics & IMAGE_FILE_DLL);
}

TEST(Module, ExportsExactlyTheHostInterfaceUndecorated)
{
    ASSERT_NE(Module(), nullptr);
    const std::set<std::string> kHostInterface = HostInterface();
    ASSERT_FALSE(kHostInterface.empty());
    const auto& dir = NtHeaders()->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    ASSERT_NE(dir.VirtualAddress, 0u);
    const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(Image() + dir.VirtualAddress);
    const auto* names = reinterpret_cast<const DWORD*>(Image() + exports->AddressOfNames);
    std::set<std::string> found;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        const std::string name = reinterpret_cast<const char*>(Image() + names[i]);
        EXPECT_EQ(name.find('@'), std::string::npos) << name;
        EXPECT_NE(name.front(), '_') << name;
        found.insert(name);
    }
    EXPECT_EQ(found, kHostInterface);
    EXPECT_EQ(exports->NumberOfFunctions, kHostInterface.size());
    for (const std::string& name : kHostInterface)
        EXPECT_NE(GetProcAddress(Module(), name.c_str()), nullptr) << name;
}

TEST(Module, ImportsOnlySystemLibraries)
{
    ASSERT_NE(Module(), nullptr);
    // No runtime DLL of the compiler (libgcc, libstdc++, winpthread, zlib)
    // may be needed: the host folder holds only xz.ztx and liblzma.dll.
    const std::set<std::string> allowed = {"kernel32.dll", "msvcrt.dll", "user32.dll", "gdi32.dll"};
    const auto& dir = NtHeaders()->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    ASSERT_NE(dir.VirtualAddress, 0u);
    const auto* desc = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(Image() + dir.VirtualAddress);
    int count = 0;
    for (; desc->Name != 0; ++desc, ++count) {
        std::string name = reinterpret_cast<const char*>(Image() + desc->Name);
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
        EXPECT_TRUE(allowed.count(name)) << "imports " << name;
    }
    EXPECT_GT(count, 0);
}

TEST(Module, AnnouncesItsCapabilities)
{
    // New, modify, delete, settings dialog, memory packing, text search:
    // one entry per file and detection by extension only.
    EXPECT_EQ(Export<GetPackerCapsFn>("GetPackerCaps")(), 187);
    EXPECT_EQ(Export<GetBackgroundFlagsFn>("GetBackgroundFlags")(), 7);
}

TEST(Module, CloseArchiveChecksOnlyTheRange)
{
    auto close = Export<CloseArchiveFn>("CloseArchive");
    for (int32_t h : {0, -1, 11, 1000, INT32_MIN})
        EXPECT_EQ(close(h), 17) << h;
    // A valid number that is not open closes harmlessly.
    for (int32_t h = 1; h <= 10; ++h)
        EXPECT_EQ(close(h), 0) << h;
}

// A 64-bit host keeps archive handles in pointer-sized variables. Values it
// might hold that share only their low half with a real handle: the module
// must compare the whole value, or one of them would reach that archive.
std::vector<ArchiveHandle> LookAlikes(ArchiveHandle handle)
{
#ifdef _WIN64
    return {handle + (ArchiveHandle{1} << 32), handle | static_cast<ArchiveHandle>(0xFFFFFFFF00000000ull)};
#else
    (void)handle;
    return {};
#endif
}

int g_own_reports = 0;
int g_other_reports = 0;
int32_t ZTX_CALL OwnProgress(const char*, int32_t)
{
    ++g_own_reports;
    return 1;
}
int32_t ZTX_CALL OtherProgress(const char*, int32_t)
{
    ++g_other_reports;
    return 1;
}

using PointerSizedHandles = testhost::ArchiveTest;

TEST_F(PointerSizedHandles, ComeBackAsSlotNumbersAndReachOnlyTheirArchive)
{
    const auto text = testhost::SampleText(20000);
    const std::string archive = Write("sample.txt.xz", testhost::EncodeXz(text, 1));
    auto read_header = Export<ReadHeaderExFn>("ReadHeaderEx");
    auto process = Export<ProcessFileFn>("ProcessFile");
    auto set_progress = Export<SetProcessDataProcFn>("SetProcessDataProc");

    std::vector<ArchiveHandle> handles;
    for (int i = 0; i < 10; ++i) {
        int32_t code = 0;
        handles.push_back(testhost::Open(archive, &code));
        // The whole pointer-sized value is the slot number: nothing above it.
        EXPECT_EQ(handles.back(), ArchiveHandle{i + 1}) << "open " << i << " code " << code;
    }
    for (const ArchiveHandle h : handles) {
        set_progress(h, OwnProgress);
        for (const ArchiveHandle alias : LookAlikes(h)) {
            EntryHeaderEx header{};
            EXPECT_EQ(read_header(alias, &header), 18) << std::hex << alias;
            EXPECT_EQ(process(alias, kTest, nullptr, nullptr), 18) << std::hex << alias;
            EXPECT_EQ(testhost::Close(alias), 17) << std::hex << alias;
            // Outside 1 to 10, so it lands in slot 0, not in h's slot.
            set_progress(alias, OtherProgress);
        }
        EntryHeaderEx header{};
        ASSERT_EQ(read_header(h, &header), 0) << h;
        EXPECT_EQ(testhost::UnpackedSize(header), text.size());
        g_own_reports = g_other_reports = 0;
        EXPECT_EQ(process(h, kTest, nullptr, nullptr), 0) << h;
        EXPECT_GT(g_own_reports, 0) << h;
        EXPECT_EQ(g_other_reports, 0) << h;
        EXPECT_EQ(testhost::Close(h), 0);
        EXPECT_EQ(read_header(h, &header), 18) << "closed " << h;
    }
    set_progress(-1, nullptr);
}

} // namespace
