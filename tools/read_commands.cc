// list, test and extract: the reading side of the plug-in, driven as a file
// manager drives it (open, register callbacks, read the header, process, close).
#include <windows.h>

#include <cstdio>
#include <string>

#include "plugin/dos_time.h"
#include "plugin/ztx_api.h"
#include "tools/commands.h"
#include "tools/console.h"
#include "tools/plugin_module.h"

namespace ztxhost {

namespace {

// An archive opened through the UTF-16 form, so that names outside the ANSI
// code page work; closed when the command is done with it.
class OpenedArchive {
public:
    // The plug-in names the entry after the archive's last path component
    // and splits only at backslashes, so it is given the full path in that form.
    explicit OpenedArchive(const std::wstring& path) : path_(FullPath(path))
    {
        if (path_.empty())
            path_ = path;
        OpenArchiveRecord record = {path_.c_str(), 0, 0};
        handle_ = Bind<OpenArchiveFn>("OpenArchiveW")(&record);
        if (handle_ == 0)
            code_ = record.open_result;
    }
    ~OpenedArchive()
    {
        if (handle_ != 0)
            Bind<CloseArchiveFn>("CloseArchive")(handle_);
    }
    OpenedArchive(const OpenedArchive&) = delete;
    OpenedArchive& operator=(const OpenedArchive&) = delete;

    bool ok() const { return handle_ != 0; }
    int32_t code() const { return code_; }
    ArchiveHandle handle() const { return handle_; }
    const std::wstring& path() const { return path_; }

    // Reads the one entry's header; 0 or the plug-in's code.
    int32_t ReadEntry()
    {
        header_ = EntryHeaderExW{};
        return Bind<ReadHeaderExWFn>("ReadHeaderExW")(handle_, &header_);
    }
    std::wstring entry_name() const { return header_.entry_name; }
    uint64_t packed() const { return header_.packed_size | (uint64_t{header_.packed_size_high} << 32); }
    uint64_t unpacked() const { return header_.unpacked_size | (uint64_t{header_.unpacked_size_high} << 32); }
    uint32_t time() const { return header_.entry_time; }

private:
    std::wstring path_;
    ArchiveHandle handle_ = 0;
    int32_t code_ = 0;
    EntryHeaderExW header_ = {};
};

// The entry's time as the host interface gives it: local time in DOS form,
// the date in the high half (years since 1980, month, day) and the time in
// the low half (hours, minutes, seconds in two-second steps).
std::wstring FormatTime(uint32_t stamp)
{
    if (stamp == plugin::kNoDosDateTime)
        return L"(no time stamp)";
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%04u-%02u-%02u %02u:%02u:%02u", 1980 + (stamp >> 25), (stamp >> 21) & 0x0F,
                  (stamp >> 16) & 0x1F, (stamp >> 11) & 0x1F, (stamp >> 5) & 0x3F, (stamp & 0x1F) * 2);
    return Widen(buf);
}

// Opens the archive and reads its header; on failure reports it and gives the exit status.
bool OpenWithEntry(OpenedArchive& archive, const std::wstring& given, int* status)
{
    if (!archive.ok()) {
        *status = ReportFailure(archive.code(), given);
        return false;
    }
    const int32_t code = archive.ReadEntry();
    if (code != 0) {
        *status = ReportFailure(code, given + L": reading the entry");
        return false;
    }
    return true;
}

// The byte count the run saw, and a note when it differs from the header's
// size: the header comes from the container, the count from the codec.
std::wstring Outcome(const ProgressRun& run, uint64_t header_size)
{
    std::wstring text = std::to_wstring(run.done()) + L" bytes";
    if (run.done() != header_size)
        text += L"; the header says " + std::to_wstring(header_size);
    return text;
}

} // namespace

int ListCommand(const Options&, const Arguments& args)
{
    OpenedArchive archive(args[0]);
    int status = 0;
    if (!OpenWithEntry(archive, args[0], &status))
        return status;
    std::wstring text;
    text += L"archive:  " + archive.path() + L"\n";
    text += L"entry:    " + archive.entry_name() + L"\n";
    text += L"packed:   " + std::to_wstring(archive.packed()) + L" bytes\n";
    text += L"unpacked: " + std::to_wstring(archive.unpacked()) + L" bytes\n";
    text += L"time:     " + FormatTime(archive.time()) + L"\n";
    if (archive.unpacked() > 0) {
        char ratio[32];
        std::snprintf(ratio, sizeof(ratio), "%.1f%%",
                      100.0 * static_cast<double>(archive.packed()) / static_cast<double>(archive.unpacked()));
        text += L"ratio:    " + Widen(ratio) + L"\n";
    }
    Write(stdout, text);
    return 0;
}

int TestCommand(const Options& options, const Arguments& args)
{
    OpenedArchive archive(args[0]);
    int status = 0;
    if (!OpenWithEntry(archive, args[0], &status))
        return status;
    RegisterProgressCallbacks(archive.handle());
    ProgressRun run(L"testing", archive.unpacked(), options.bar);
    const int32_t code =
        Bind<ProcessFileWFn>("ProcessFileW")(archive.handle(), kTest, nullptr, nullptr);
    run.Finish();
    if (code != 0)
        return ReportFailure(code, L"testing " + archive.path());
    Write(stdout, archive.path() + L": OK, " + Outcome(run, archive.unpacked()) + L"\n");
    return 0;
}

int ExtractCommand(const Options& options, const Arguments& args)
{
    OpenedArchive archive(args[0]);
    int status = 0;
    if (!OpenWithEntry(archive, args[0], &status))
        return status;

    // DEST may be a file or an existing folder; without it the entry goes
    // beside the archive, as a file manager unpacks "here".
    std::wstring target;
    const bool into_folder = args.size() < 2 || IsFolder(args[1]);
    if (into_folder) {
        std::wstring folder = args.size() < 2 ? FolderOf(archive.path()) : FullPath(args[1]);
        if (!folder.empty() && folder.back() != L'\\')
            folder += L'\\';
        if (archive.entry_name().empty())
            return Refuse(archive.path() + L": the entry has no name; give the output file name as DEST");
        target = folder + archive.entry_name();
    } else {
        target = FullPath(args[1]);
        if (target.empty() || target.back() == L'\\')
            return Refuse(args[1] + L": no such folder");
    }
    // The plug-in truncates its target before it is done reading: writing
    // over the archive itself would destroy it.
    if (SamePath(FullPath(target), archive.path()))
        return Refuse(target + L" is the archive itself");
    if (!options.force && Exists(target))
        return Refuse(target + L" exists; use -f to replace it");

    RegisterProgressCallbacks(archive.handle());
    ProgressRun run(L"extracting", archive.unpacked(), options.bar);
    const int32_t code =
        Bind<ProcessFileWFn>("ProcessFileW")(archive.handle(), kExtract, nullptr, target.c_str());
    run.Finish();
    if (code != 0)
        return ReportFailure(code, L"extracting " + archive.path() + L" to " + target);
    Write(stdout, target + L": " + Outcome(run, archive.unpacked()) + L"\n");
    return 0;
}

} // namespace ztxhost
