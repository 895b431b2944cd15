// pack, delete, mempack and settings: the writing side of the plug-in, driven as a file manager
// drives it (packing reports to the callback registered outside the archive handles).
#include <windows.h>

#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "plugin/result_code.h"
#include "plugin/ztx_api.h"
#include "settings/pack_settings.h"
#include "tools/commands.h"
#include "tools/console.h"
#include "tools/plugin_module.h"

namespace ztxhost {

namespace {

// The handle outside 1 to 10 under which a host parks its packing callback.
constexpr ArchiveHandle kPackingCallbackHandle = -1;

uint64_t SizeOf(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

// The settings file's name as the plug-in takes it: ANSI, in a field of
// fixed size. A name that cannot be put there exactly would name another
// file, so it is refused as a bad command line instead of being cut.
bool AnsiSettingsName(const std::wstring& path, std::string* ansi)
{
    if (!ToAnsi(path, ansi)) {
        Write(stderr, L"ztxhost: " + path + L": the settings file's name has characters that the ANSI code page (" +
                          std::to_wstring(GetACP()) + L") lacks, and the plug-in takes it only in that form\n");
        return false;
    }
    if (ansi->size() >= sizeof(DefaultParamsRecord{}.default_ini_name)) {
        Write(stderr, L"ztxhost: " + path + L": the settings file's name is too long for the plug-in\n");
        return false;
    }
    return true;
}

// Hands the plug-in the settings file a host would name; without --ini the
// plug-in keeps its own default. False, with a message, for a name the
// plug-in cannot take.
bool UseSettingsFile(const Options& options)
{
    if (options.ini.empty())
        return true;
    DefaultParamsRecord record = {};
    record.size = sizeof(record);
    std::string ansi;
    if (!AnsiSettingsName(FullPath(options.ini), &ansi))
        return false;
    lstrcpynA(record.default_ini_name, ansi.c_str(), sizeof(record.default_ini_name));
    Bind<PackSetDefaultParamsFn>("PackSetDefaultParams")(&record);
    return true;
}

// Closes a stream that was written to; true only when every byte reached
// the file. Wine's fclose answers 0 even when flushing its buffer fails (a
// disk that fills at the last write), so the flush is asked for on its own.
bool CloseWritten(std::FILE* file)
{
    const bool flushed = std::fflush(file) == 0 && std::ferror(file) == 0;
    return std::fclose(file) == 0 && flushed;
}

// What file packing does with a stored Threads value. How many threads fit
// is decided by the plug-in at each packing, from its memory budget and the
// liblzma.dll it loaded, so a host can only say it in words.
std::wstring ThreadsInWords(int32_t stored)
{
    const std::wstring fitted = L", fitted to the memory budget by the plug-in";
    if (settings::ThreadsPerProcessor(stored))
        return L"one thread per processor" + fitted;
    const uint32_t requested = settings::RequestedThreads(stored, 1);
    if (requested == 1)
        return L"one thread";
    return std::to_wstring(requested) + L" threads" + fitted;
}

} // namespace

int PackCommand(const Options& options, const Arguments& args)
{
    if (!UseSettingsFile(options))
        return kExitUsage;
    const std::wstring source = FullPath(args[0]);
    if (source.empty() || !Exists(source) || IsFolder(source))
        return Refuse(args[0] + L": no such file");
    const std::wstring target = args.size() > 1 ? FullPath(args[1]) : source + L".xz";
    const std::wstring folder = FolderOf(source);
    // The add list: one name, then the empty name that ends the list.
    std::wstring list = source.substr(folder.size());
    list.push_back(L'\0');
    list.push_back(L'\0');
    RegisterProgressCallbacks(kPackingCallbackHandle);
    ProgressRun run(L"packing", SizeOf(source), options.bar);
    const int32_t code =
        Bind<PackFilesWFn>("PackFilesW")(target.c_str(), nullptr, folder.c_str(), list.c_str(), 0);
    run.Finish();
    if (code != 0)
        return ReportFailure(code, L"packing " + source + L" into " + target);
    Write(stdout, target + L": " + std::to_wstring(SizeOf(target)) + L" bytes from " +
                      std::to_wstring(run.done()) + L"\n");
    return 0;
}

int DeleteCommand(const Options&, const Arguments& args)
{
    const std::wstring target = FullPath(args[0]);
    // The delete list names the one entry; the plug-in removes the whole file.
    const wchar_t list[] = L"entry\0";
    const int32_t code = Bind<DeleteFilesWFn>("DeleteFilesW")(target.c_str(), list);
    if (code != 0)
        return ReportFailure(code, L"deleting " + target);
    Write(stdout, target + L": deleted\n");
    return 0;
}

int MemPackCommand(const Options& options, const Arguments& args)
{
    if (!UseSettingsFile(options))
        return kExitUsage;
    const std::wstring source = FullPath(args[0]);
    const std::wstring target = args.size() > 1 ? FullPath(args[1]) : source + L".xz";
    FILE* in = _wfopen(source.c_str(), L"rb");
    if (in == nullptr)
        return Refuse(args[0] + L": cannot be read");
    FILE* out = _wfopen(target.c_str(), L"wb");
    if (out == nullptr) {
        std::fclose(in);
        return Refuse(target + L": cannot be created");
    }
    const MemPackHandle handle = Bind<StartMemPackFn>("StartMemPack")(0, nullptr);
    if (handle == 0) {
        std::fclose(in);
        std::fclose(out);
        DeleteFileW(target.c_str());
        return ReportFailure(plugin::ResultCode::ReadError, L"starting the memory packer");
    }
    auto step = Bind<PackToMemFn>("PackToMem");
    std::vector<uint8_t> input(4096);
    std::vector<uint8_t> output(4096);
    size_t have = 0;
    size_t offset = 0;
    int32_t result = 0;
    bool ok = true;
    // Input the packer did not take is presented again in the next call.
    while (result == 0 && ok) {
        if (offset == have) {
            have = std::fread(input.data(), 1, input.size(), in);
            offset = 0;
        }
        int32_t taken = 0;
        int32_t written = 0;
        result = step(handle, input.data() + offset, static_cast<int32_t>(have - offset), &taken,
                      output.data(), static_cast<int32_t>(output.size()), &written, nullptr);
        offset += static_cast<size_t>(taken);
        ok = std::fwrite(output.data(), 1, static_cast<size_t>(written), out) == static_cast<size_t>(written);
    }
    Bind<DoneMemPackFn>("DoneMemPack")(handle);
    std::fclose(in);
    ok = CloseWritten(out) && ok;
    if (result != 1 || !ok) {
        DeleteFileW(target.c_str());
        return ReportFailure(result != 1 ? plugin::ResultCode::BadData : plugin::ResultCode::WriteError,
                             L"memory-packing " + source);
    }
    Write(stdout, target + L": " + std::to_wstring(SizeOf(target)) + L" bytes\n");
    return 0;
}

int SettingsCommand(const Options& options, const Arguments& args)
{
    // Read by the same rules as the plug-in's packers (settings/), so that a
    // user can see what the next packing will make of the file.
    const std::wstring default_file(std::begin(settings::kDefaultSettingsFile),
                                    std::end(settings::kDefaultSettingsFile) - 1);
    const std::wstring ini = args.empty() ? (options.ini.empty() ? default_file : options.ini) : args[0];
    const std::wstring full = ini.find(L'\\') == std::wstring::npos ? ini : FullPath(ini);
    std::string file;
    if (!AnsiSettingsName(full, &file))
        return kExitUsage;
    const int32_t rate = static_cast<int32_t>(
        GetPrivateProfileIntA(settings::kSection, settings::kRateKey, settings::kDefaultRate, file.c_str()));
    const int32_t extreme = static_cast<int32_t>(GetPrivateProfileIntA(
        settings::kSection, settings::kExtremeKey, settings::kDefaultExtreme, file.c_str()));
    const int32_t threads = static_cast<int32_t>(GetPrivateProfileIntA(
        settings::kSection, settings::kThreadsKey, settings::kDefaultThreads, file.c_str()));
    const int32_t file_rate = settings::ClampRateSigned(rate);
    const int32_t mem_rate = settings::ClampRateUnsigned(static_cast<uint32_t>(rate));
    const std::wstring mode = extreme ? L", extreme" : L"";
    Write(stdout, L"settings file:   " + full + L"\n");
    Write(stdout, L"stored rate:     " + std::to_wstring(rate) + L"\n");
    Write(stdout, L"file packing:    rate " + std::to_wstring(file_rate) + mode + L"\n");
    Write(stdout, L"memory packing:  rate " + std::to_wstring(mem_rate) + mode + L", one thread\n");
    Write(stdout, L"stored threads:  " + std::to_wstring(threads) + L": " + ThreadsInWords(threads) + L"\n");
    return 0;
}

} // namespace ztxhost
