// The module as a host first meets it: its export and import tables, capability words, handle range checks.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <string>

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

} // namespace
