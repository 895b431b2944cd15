// OpenArchive and OpenArchiveW: claim a slot, probe the file, record what the listing needs.
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <cstring>
#include <cwchar>

#include "plugin/archive_table.h"
#include "plugin/exports.h"
#include "plugin/fd_source.h"
#include "plugin/probe_codes.h"
#include "plugin/result_code.h"
#include "plugin/time_stamp.h"
#include "xzformat/probe.h"

namespace plugin {

namespace {

enum class NameForm { Ansi, Wide };

size_t Length(const char* s, size_t limit) { return strnlen(s, limit); }
size_t Length(const wchar_t* s, size_t limit) { return wcsnlen(s, limit); }

// Read-only, binary, and sharing everything: the host may hold the file
// open in other ways while it lists it.
int OpenReadOnly(const char* path) { return _sopen(path, _O_RDONLY | _O_BINARY, _SH_DENYNO); }
int OpenReadOnly(const wchar_t* path) { return _wsopen(path, _O_RDONLY | _O_BINARY, _SH_DENYNO); }

DosDateTime TimeStamp(const char* path, int) { return TimeStampOfPath(path); }
DosDateTime TimeStamp(const wchar_t*, int fd) { return TimeStampOfDescriptor(fd); }

void StoreName(ArchiveSlot& slot, const char* path, size_t length)
{
    std::memcpy(slot.archive_name, path, length);
    slot.archive_name[length] = '\0';
    slot.archive_name_w[0] = L'\0';
}

void StoreName(ArchiveSlot& slot, const wchar_t* path, size_t length)
{
    std::wmemcpy(slot.archive_name_w, path, length);
    slot.archive_name_w[length] = L'\0';
    slot.archive_name[0] = '\0';
}

template <typename Char>
ArchiveHandle Open(OpenArchiveRecord* record)
{
    if (record == nullptr)
        return 0;
    const Char* path = static_cast<const Char*>(record->arc_name);

    const ArchiveHandle handle = ClaimSlot();
    if (handle == 0) {
        record->open_result = ToHost(ResultCode::NoMemory);
        return 0;
    }

    // A path the slot cannot hold whole would later name a different file
    // for extraction; refuse it rather than cut it.
    size_t length = 0;
    if (path != nullptr)
        length = Length(path, kPathCapacity);
    int fd = -1;
    if (path == nullptr || length > static_cast<size_t>(kPathMaxLength) ||
        (fd = OpenReadOnly(path)) < 0) {
        record->open_result = ToHost(ResultCode::OpenError);
        ReleaseSlot(handle);
        return 0;
    }

    ArchiveSlot& slot = SlotOf(handle);
    FdSource source(fd);
    xzformat::ProbeResult probe{};
    const ResultCode code = FromProbeStatus(xzformat::XzProbe(source, &probe));
    if (code != ResultCode::Ok) {
        _close(fd);
        record->open_result = ToHost(code);
        ReleaseSlot(handle);
        return 0;
    }
    slot.packed_size = probe.packed_size;
    slot.unpacked_size = probe.unpacked_size;
    slot.blocks = probe.blocks;
    slot.time_stamp = TimeStamp(path, fd);
    _close(fd);

    StoreName(slot, path, length);
    slot.header_counter = 0;
    return handle;
}

} // namespace

} // namespace plugin

// Results (handle 0, code in the record): 11 no free slot; 15 the file cannot
// be opened or its path is longer than 259 characters; 18 shorter than a
// stream header; 13 not a valid .xz file.
extern "C" ZTX_EXPORT int32_t ZTX_CALL OpenArchive(OpenArchiveRecord* record)
{
    return plugin::Open<char>(record);
}

extern "C" ZTX_EXPORT int32_t ZTX_CALL OpenArchiveW(OpenArchiveRecord* record)
{
    return plugin::Open<wchar_t>(record);
}
