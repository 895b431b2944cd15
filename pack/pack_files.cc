// PackFiles/PackFilesW and DeleteFiles/DeleteFilesW: one file into an .xz archive, with the old
// archive kept under a backup name until the new one is complete.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>
#include <stdexcept>

#include "codec/codec_library.h"
#include "codec/file_streams.h"
#include "codec/threading.h"
#include "pack/compress_stream.h"
#include "plugin/archive_table.h"
#include "plugin/exports.h"
#include "plugin/result_code.h"
#include "settings/pack_settings.h"
#include "settings/settings_store.h"

namespace {

using plugin::ResultCode;

constexpr size_t kPathCapacity = plugin::kPathCapacity;
constexpr size_t kPathMaxLength = kPathCapacity - 1;
// ".#00" to ".#99" after the archive's own name.
constexpr size_t kBackupSuffixLength = 4;

size_t Length(const char* s) { return std::strlen(s); }
size_t Length(const wchar_t* s) { return std::wcslen(s); }

bool Move(const char* from, const char* to) { return MoveFileA(from, to) != 0; }
bool Move(const wchar_t* from, const wchar_t* to) { return MoveFileW(from, to) != 0; }

template <typename Char>
Char Lower(Char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<Char>(c - 'A' + 'a') : c;
}

// Equal when the case of the letters A to Z is ignored; nothing else folds,
// as the host compares archive names the same way.
template <typename Char>
bool EqualsIgnoringAsciiCase(const Char* a, size_t a_length, const Char* b)
{
    size_t i = 0;
    for (; i < a_length && b[i] != 0; ++i)
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    return i == a_length && b[i] == 0;
}

template <typename Char>
const Char* LastOf(const Char* s, size_t length, Char c)
{
    for (size_t i = length; i > 0; --i)
        if (s[i - 1] == c)
            return s + i - 1;
    return nullptr;
}

// Whether a target is there is asked of its attributes, never of an open:
// an archive that exists but cannot be read (a write-only ACL, or another
// program holding it with reading denied) must still be backed up, not
// truncated in place. A folder, or a path whose state cannot be told,
// is no target to write.
enum class TargetState { Absent, File, Unusable };

TargetState StateFrom(DWORD attributes)
{
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? TargetState::Unusable : TargetState::File;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? TargetState::Absent
                                                                         : TargetState::Unusable;
}

TargetState StateOf(const char* path) { return StateFrom(GetFileAttributesA(path)); }
TargetState StateOf(const wchar_t* path) { return StateFrom(GetFileAttributesW(path)); }

// Moves target to the first free name of target.#00 to target.#99.
template <typename Char>
bool MoveToBackup(const Char* target, size_t target_length, Char* backup)
{
    std::memcpy(backup, target, target_length * sizeof(Char));
    Char* suffix = backup + target_length;
    suffix[0] = '.';
    suffix[1] = '#';
    suffix[4] = 0;
    for (Char tens = '0'; tens <= '9'; ++tens) {
        for (Char units = '0'; units <= '9'; ++units) {
            suffix[2] = tens;
            suffix[3] = units;
            // The move refuses an existing name, so a taken one is skipped.
            if (Move(target, backup))
                return true;
        }
    }
    return false;
}

// Only a target whose last component ends in ".xz" (any case) is taken by
// the UTF-16 form.
bool HasXzExtension(const wchar_t* target, size_t length)
{
    const wchar_t* slash = LastOf(target, length, L'\\');
    if (slash == nullptr)
        return false;
    const wchar_t* name = slash + 1;
    const wchar_t* dot = LastOf(name, length - (name - target), L'.');
    return dot != nullptr && EqualsIgnoringAsciiCase(dot, length - (dot - target), L".xz");
}

// An existing archive may be rewritten only from a file of its entry's name.
template <typename Char>
bool NameMatchesEntry(const Char* target, size_t length, const Char* name)
{
    const Char* slash = LastOf(target, length, static_cast<Char>('\\'));
    if (slash == nullptr)
        return false;
    const Char* entry = slash + 1;
    size_t entry_length = length - (entry - target);
    const Char* dot = LastOf(entry, entry_length, static_cast<Char>('.'));
    if (dot != nullptr)
        entry_length = dot - entry;
    return EqualsIgnoringAsciiCase(entry, entry_length, name);
}

// The ANSI form takes a target of any name; the UTF-16 form only ".xz".
bool TargetAccepted(const char*, size_t) { return true; }
bool TargetAccepted(const wchar_t* target, size_t length) { return HasXzExtension(target, length); }

// Each form has its own code for a missing codec.
ResultCode NoCodec(const char*) { return ResultCode::NotSupported; }
ResultCode NoCodec(const wchar_t*) { return ResultCode::ReadError; }

class SlotZeroProgress final : public codec::ProgressSink {
public:
    bool Report(int32_t bytes) override
    {
        // Packing always reports to the ANSI callback parked in slot 0.
        const ProcessDataProc proc = plugin::CallbackSlot(0).process_data_proc;
        return proc == nullptr || proc(nullptr, bytes) != 0;
    }
};

// What a packing holds on disk, put right however it ends: besides the
// run's files, the old archive is moved back from its backup name unless
// the run is kept, which deletes the backup instead.
template <typename Char>
class PackRun {
public:
    explicit PackRun(const Char* target) : target_(target), files_(target) {}
    ~PackRun()
    {
        // The new target goes before the old archive can take its name again.
        files_.Discard();
        if (backup_taken_)
            Move(backup_, target_);
    }
    PackRun(const PackRun&) = delete;
    PackRun& operator=(const PackRun&) = delete;

    // Without a backup a failure later on would lose the old archive.
    bool TakeBackup(size_t target_length)
    {
        backup_taken_ = MoveToBackup(target_, target_length, backup_);
        return backup_taken_;
    }

    ResultCode Open(const Char* source) { return files_.Open(source, true); }
    FILE* in() const { return files_.in(); }
    FILE* out() const { return files_.out(); }

    // The new target is kept, and the backup deleted, only after a run that
    // succeeded and whose last buffer reached the disk.
    ResultCode Close(ResultCode result)
    {
        result = files_.Close(result);
        if (result == ResultCode::Ok && backup_taken_) {
            codec::RemoveFile(backup_);
            backup_taken_ = false;
        }
        return result;
    }

private:
    const Char* target_;
    Char backup_[kPathCapacity];
    bool backup_taken_ = false;
    codec::RunFiles<Char> files_;
};

template <typename Char>
ResultCode PackOwned(const Char* target, const Char* source_dir, const Char* add_list, int32_t flags)
{
    if (add_list == nullptr || add_list[0] == 0)
        return ResultCode::NoFiles;
    const size_t name_length = Length(add_list);
    if (add_list[name_length + 1] != 0)
        return ResultCode::TooManyFiles;
    if (target == nullptr)
        return ResultCode::CreateError;
    const size_t target_length = Length(target);
    if (!TargetAccepted(target, target_length))
        return ResultCode::NotSupported;
    if (codec::LoadCodecLibrary() == 0)
        return NoCodec(target);

    const settings::StoredSettings stored = settings::ReadStoredSettings();
    const settings::PackSettings pack_settings{settings::ClampRateSigned(stored.rate),
                                               stored.extreme != 0};

    // A path cut to fit its buffer would name another file: refuse it
    // before anything on disk is touched. The target must also leave room
    // for the backup suffix.
    const size_t dir_length = source_dir != nullptr ? Length(source_dir) : 0;
    if (dir_length + name_length > kPathMaxLength)
        return ResultCode::OpenError;
    if (target_length + kBackupSuffixLength > kPathMaxLength)
        return ResultCode::CreateError;
    Char source[kPathCapacity];
    if (dir_length > 0)
        std::memcpy(source, source_dir, dir_length * sizeof(Char));
    std::memcpy(source + dir_length, add_list, (name_length + 1) * sizeof(Char));

    const TargetState state = StateOf(target);
    if (state == TargetState::Unusable)
        return ResultCode::CreateError;
    if (state == TargetState::File && !NameMatchesEntry(target, target_length, add_list))
        return ResultCode::TooManyFiles;
    PackRun<Char> run(target);
    if (state == TargetState::File && !run.TakeBackup(target_length))
        return ResultCode::CreateError;
    const ResultCode opened = run.Open(source);
    if (opened != ResultCode::Ok)
        return opened;

    codec::FileSource reader(run.in());
    codec::FileSink writer(run.out());
    SlotZeroProgress progress;
    const uint32_t preset = settings::Preset(pack_settings);
    const uint32_t threads = codec::FitEncoderThreads(
        codec::BoundCodec(), preset,
        settings::RequestedThreads(stored.threads, codec::LogicalProcessors()),
        codec::ProcessLimits().encoder_budget);
    const ResultCode result = run.Close(
        pack::CompressStream(codec::BoundCodec(), reader, writer, progress, preset, threads));
    if (result == ResultCode::Ok && (flags & kPackMoveFiles))
        codec::RemoveFile(source);
    return result;
}

// Running out of memory is the codec's failure to start or go on, 11; the
// run's files were put right as it unwound.
template <typename Char>
ResultCode Pack(const Char* target, const Char* source_dir, const Char* add_list, int32_t flags)
{
    try {
        return PackOwned(target, source_dir, add_list, flags);
    } catch (const std::bad_alloc&) {
        return ResultCode::NoMemory;
    } catch (const std::length_error&) {
        return ResultCode::NoMemory;
    }
}

template <typename Char>
ResultCode Delete(const Char* target, const Char* delete_list)
{
    if (delete_list == nullptr || delete_list[0] == 0)
        return ResultCode::BadData;
    // The one entry is the whole file.
    return target != nullptr && codec::RemoveFile(target) ? ResultCode::Ok : ResultCode::WriteError;
}

} // namespace

// Results: 0; 11 encoder could not start, or memory ran out; 12 codec failure; 15 source cannot
// be opened or its path is too long; 16 target cannot be created, is a folder
// or cannot be examined, is too long, or the old archive cannot be moved
// aside; 18 read error (and, for PackFilesW, no codec); 19 write error
// (also when the last buffer cannot be flushed); 21 aborted by the host; 22 no file;
// 23 more than one file or a name that is not the archive's entry;
// 24 no codec (PackFiles) or a target without ".xz" (PackFilesW). Any other
// failure that ends a run gives 11 too: packing could not be carried out,
// and the disk is as it was before.
extern "C" ZTX_EXPORT int32_t ZTX_CALL PackFiles(const char* target, const char* /*sub_path*/,
                                                 const char* source_dir, const char* add_list,
                                                 int32_t flags)
{
    return plugin::Guarded(plugin::ToHost(ResultCode::NoMemory),
                           [&] { return plugin::ToHost(Pack(target, source_dir, add_list, flags)); });
}

extern "C" ZTX_EXPORT int32_t ZTX_CALL PackFilesW(const wchar_t* target, const wchar_t* /*sub_path*/,
                                                  const wchar_t* source_dir,
                                                  const wchar_t* add_list, int32_t flags)
{
    return plugin::Guarded(plugin::ToHost(ResultCode::NoMemory),
                           [&] { return plugin::ToHost(Pack(target, source_dir, add_list, flags)); });
}

// Results: 0; 12 empty delete list; 19 the archive could not be deleted.
extern "C" ZTX_EXPORT int32_t ZTX_CALL DeleteFiles(const char* target, const char* delete_list)
{
    return plugin::ToHost(Delete(target, delete_list));
}

extern "C" ZTX_EXPORT int32_t ZTX_CALL DeleteFilesW(const wchar_t* target, const wchar_t* delete_list)
{
    return plugin::ToHost(Delete(target, delete_list));
}
