// Test-side host helpers.
#include "tests/win/host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "codec/codec_api.h"

namespace testhost {

std::string ProgramPath()
{
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string(path, n);
}

std::string ProgramDir()
{
    const std::string path = ProgramPath();
    return path.substr(0, path.find_last_of('\\') + 1);
}

HMODULE Module()
{
    static HMODULE module = LoadLibraryA((ProgramDir() + "xz.ztx").c_str());
    return module;
}

std::wstring Widen(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

void RemoveTree(const std::wstring& dir)
{
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring path = dir + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(h, &found));
        FindClose(h);
    }
    RemoveDirectoryW(dir.c_str());
}

std::string ScratchDir(const std::string& tag)
{
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string dir = std::string(temp) + "xzztx-" + std::to_string(GetCurrentProcessId()) + "-" + tag;
    RemoveTree(Widen(dir));
    CreateDirectoryA(dir.c_str(), nullptr);
    return dir;
}

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

std::vector<uint8_t> ReadBytes(const std::string& path)
{
    std::vector<uint8_t> bytes;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return bytes;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0)
        bytes.insert(bytes.end(), buf, buf + n);
    std::fclose(f);
    return bytes;
}

bool Exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool SetLocalWriteTime(const std::string& path, int year, int month, int day, int hour,
                       int minute, int second)
{
    SYSTEMTIME st = {};
    st.wYear = static_cast<WORD>(year);
    st.wMonth = static_cast<WORD>(month);
    st.wDay = static_cast<WORD>(day);
    st.wHour = static_cast<WORD>(hour);
    st.wMinute = static_cast<WORD>(minute);
    st.wSecond = static_cast<WORD>(second);
    FILETIME local;
    FILETIME utc;
    if (!SystemTimeToFileTime(&st, &local) || !LocalFileTimeToFileTime(&local, &utc))
        return false;
    HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    const BOOL ok = SetFileTime(h, nullptr, nullptr, &utc);
    CloseHandle(h);
    return ok != 0;
}

std::string SourcePath(const std::string& unix_path)
{
    std::string s = unix_path;
    if (!s.empty() && s[0] == '/') {
        for (char& c : s)
            if (c == '/')
                c = '\\';
        s = "Z:" + s;
    }
    return s;
}

std::string CorpusDir()
{
    const char* dir = std::getenv("XZ_CORPUS_DIR");
    if (dir == nullptr || *dir == '\0')
        return std::string();
    return SourcePath(dir);
}

std::string SmallFs(const char* variable)
{
    const char* mount = std::getenv(variable);
    if (mount == nullptr || *mount == '\0')
        return std::string();
    const std::string fs = SourcePath(mount);
    return Exists(fs + "\\.small-fs") ? fs : std::string();
}

std::string FillLeaving(const std::string& fs, uint64_t free_bytes)
{
    ULARGE_INTEGER available;
    const std::string path = fs + "\\filler";
    if (!GetDiskFreeSpaceExA((fs + "\\").c_str(), &available, nullptr, nullptr) || available.QuadPart < free_bytes)
        return std::string();
    if (WriteBytes(path, std::vector<uint8_t>(available.QuadPart - free_bytes, 0xF1)))
        return path;
    DeleteFileA(path.c_str());
    return std::string();
}

void UseSettingsFile(const std::string& ini)
{
    DefaultParamsRecord record = {};
    record.size = sizeof(record);
    lstrcpynA(record.default_ini_name, ini.c_str(), sizeof(record.default_ini_name));
    Export<PackSetDefaultParamsFn>("PackSetDefaultParams")(&record);
}

// The liblzma.dll beside the test program, loaded once, and its entry points.
static HMODULE LzmaLibrary()
{
    static HMODULE lzma = LoadLibraryA((ProgramDir() + "liblzma.dll").c_str());
    return lzma;
}

template <typename Fn>
static Fn Lzma(const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(LzmaLibrary(), name)));
}

std::string LzmaVersion()
{
    using VersionStringFn = const char*(__cdecl*)(void);
    const auto version = Lzma<VersionStringFn>("lzma_version_string");
    return version != nullptr ? version() : "";
}

bool VersionAtLeast(const std::string& version, const std::string& least)
{
    unsigned a[3] = {};
    unsigned b[3] = {};
    std::sscanf(version.c_str(), "%u.%u.%u", &a[0], &a[1], &a[2]);
    std::sscanf(least.c_str(), "%u.%u.%u", &b[0], &b[1], &b[2]);
    return std::lexicographical_compare(b, b + 3, a, a + 3) || std::equal(a, a + 3, b);
}

// All of data through an encoder started on strm, which ends here; nothing
// when the encoder did not finish its stream.
static std::vector<uint8_t> Finish(lzma_stream& strm, const std::vector<uint8_t>& data)
{
    const auto code = Lzma<codec::CodeFn>("lzma_code");
    const auto end = Lzma<codec::EndFn>("lzma_end");
    if (code == nullptr || end == nullptr)
        return {};
    std::vector<uint8_t> out(data.size() + data.size() / 2 + 65536);
    strm.next_in = data.data();
    strm.avail_in = data.size();
    strm.next_out = out.data();
    strm.avail_out = out.size();
    const lzma_ret finished = code(&strm, LZMA_FINISH);
    out.resize(finished == LZMA_STREAM_END ? out.size() - strm.avail_out : 0);
    end(&strm);
    return out;
}

std::vector<uint8_t> EncodeXz(const std::vector<uint8_t>& data, uint32_t preset)
{
    const auto easy = Lzma<codec::EasyEncoderFn>("lzma_easy_encoder");
    lzma_stream strm = LZMA_STREAM_INIT;
    if (easy == nullptr || easy(&strm, preset, LZMA_CHECK_CRC64) != LZMA_OK)
        return {};
    return Finish(strm, data);
}

std::vector<uint8_t> EncodeXzStreams(const std::vector<uint8_t>& data, size_t piece, uint32_t preset)
{
    std::vector<uint8_t> all;
    for (size_t at = 0; at < data.size(); at += piece) {
        const std::vector<uint8_t> one = EncodeXz(
            std::vector<uint8_t>(data.begin() + at, data.begin() + std::min(data.size(), at + piece)), preset);
        all.insert(all.end(), one.begin(), one.end());
    }
    return all;
}

std::vector<uint8_t> EncodeXzWithSizes(const std::vector<uint8_t>& data, uint32_t preset)
{
    using BufferEncode = int(__cdecl*)(uint32_t, int, const void*, const uint8_t*, size_t, uint8_t*,
                                        size_t*, size_t);
    const auto encode = Lzma<BufferEncode>("lzma_easy_buffer_encode");
    std::vector<uint8_t> out(data.size() + data.size() / 2 + 4096);
    size_t pos = 0;
    if (encode == nullptr || encode(preset, 4, nullptr, data.data(), data.size(), out.data(), &pos, out.size()) != 0)
        pos = 0;
    out.resize(pos);
    return out;
}

std::vector<uint8_t> EncodeXzBlocks(const std::vector<uint8_t>& data, uint32_t preset, uint64_t block_size)
{
    const auto encoder = Lzma<codec::StreamEncoderMtFn>("lzma_stream_encoder_mt");
    lzma_mt mt{};
    mt.threads = 2;
    mt.block_size = block_size;
    mt.preset = preset;
    mt.check = LZMA_CHECK_CRC64;
    lzma_stream strm = LZMA_STREAM_INIT;
    if (encoder == nullptr || encoder(&strm, &mt) != LZMA_OK)
        return {};
    return Finish(strm, data);
}

std::vector<uint8_t> SampleText(size_t size)
{
    std::vector<uint8_t> b;
    b.reserve(size);
    for (size_t i = 0; b.size() < size; ++i) {
        const std::string line = "row " + std::to_string(i * 2654435761u % 1000003) + " of sample text\n";
        b.insert(b.end(), line.begin(), line.end());
    }
    b.resize(size);
    return b;
}

ArchiveHandle Open(const std::string& path, int32_t* code)
{
    OpenArchiveRecord record = {path.c_str(), 0, kUnsetResult};
    const ArchiveHandle handle = Export<OpenArchiveFn>("OpenArchive")(&record);
    *code = record.open_result;
    return handle;
}

ArchiveHandle OpenW(const std::wstring& path, int32_t* code)
{
    OpenArchiveRecord record = {path.c_str(), 0, kUnsetResult};
    const ArchiveHandle handle = Export<OpenArchiveFn>("OpenArchiveW")(&record);
    *code = record.open_result;
    return handle;
}

int32_t Close(ArchiveHandle handle) { return Export<CloseArchiveFn>("CloseArchive")(handle); }

ArchiveHandle OpenOk(const std::string& path)
{
    int32_t code = 0;
    const ArchiveHandle h = Open(path, &code);
    EXPECT_GE(h, 1) << path << " code " << code;
    return h;
}

std::vector<uint8_t> Noise(size_t size)
{
    std::vector<uint8_t> noise(size);
    uint32_t x = 2463534242u;
    for (uint8_t& b : noise) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return noise;
}

std::vector<std::string> ListFolder(const std::string& dir)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((dir + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != ".." && name != ".small-fs")
            names.push_back(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

std::string DescribeFolder(const std::string& dir)
{
    std::string line;
    for (const std::string& name : ListFolder(dir))
        line += (line.empty() ? "" : ", ") + name;
    return line.empty() ? "empty" : line;
}

void ReportFigures(const std::string& line)
{
    static int count = 0;
    std::printf("%s\n", line.c_str());
    ::testing::Test::RecordProperty("figures_" + std::to_string(++count), line);
}

} // namespace testhost
