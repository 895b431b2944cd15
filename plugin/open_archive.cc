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

// A claimed slot and the archive's descriptor, each given back on every
// exit but the one that hands the slot to the host.
class Claim {
public:
    Claim() : handle_(ClaimSlot()) {}
    ~Claim()
    {
        CloseFile();
        if (handle_ != 0)
            ReleaseSlot(handle_);
    }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;

    ArchiveHandle handle() const { return handle_; }
    int fd() const { return fd_; }
    template <typename Char>
    bool OpenFile(const Char* path)
    {
        fd_ = OpenReadOnly(path);
        return fd_ >= 0;
    }
    void CloseFile()
    {
        if (fd_ >= 0)
            _close(fd_);
        fd_ = -1;
    }
    ArchiveHandle Keep()
    {
        const ArchiveHandle kept = handle_;
        handle_ = 0;
        return kept;
    }

private:
    ArchiveHandle handle_;
    int fd_ = -1;
};

template <typename Char>
ArchiveHandle Open(OpenArchiveRecord* record)
{
    if (record == nullptr)
        return 0;
    const Char* path = static_cast<const Char*>(record->arc_name);

    Claim claim;
    if (claim.handle() == 0) {
        record->open_result = ToHost(ResultCode::NoMemory);
        return 0;
    }

    // A path the slot cannot hold whole would later name a different file
    // for extraction; refuse it rather than cut it.
    size_t length = 0;
    if (path != nullptr)
        length = Length(path, kPathCapacity);
    if (path == nullptr || length > static_cast<size_t>(kPathMaxLength) || !claim.OpenFile(path)) {
        record->open_result = ToHost(ResultCode::OpenError);
        return 0;
    }

    ArchiveSlot& slot = SlotOf(claim.handle());
    FdSource source(claim.fd());
    xzformat::ProbeResult probe{};
    const ResultCode code = FromProbeStatus(xzformat::XzProbe(source, &probe));
    if (code != ResultCode::Ok) {
        record->open_result = ToHost(code);
        return 0;
    }
    slot.packed_size = probe.packed_size;
    slot.unpacked_size = probe.unpacked_size;
    slot.blocks = probe.blocks;
    slot.time_stamp = TimeStamp(path, claim.fd());
    claim.CloseFile();

    StoreName(slot, path, length);
    slot.header_counter = 0;
    return claim.Keep();
}

// Whatever else ends an open fails it as running out of memory would; the
// slot and the descriptor went back as it unwound.
template <typename Char>
ArchiveHandle GuardedOpen(OpenArchiveRecord* record)
{
    return Guarded<ArchiveHandle>(0, [record] { return Open<Char>(record); },
                                  [record] {
                                      if (record != nullptr)
                                          record->open_result = ToHost(ResultCode::NoMemory);
                                  });
}

} // namespace

} // namespace plugin

// Results (handle 0, code in the record): 11 no free slot, or no memory;
// 15 the file cannot be opened or its path is longer than 259 characters;
// 18 shorter than a stream header; 13 not a valid .xz file.
extern "C" ZTX_EXPORT ArchiveHandle ZTX_CALL OpenArchive(OpenArchiveRecord* record)
{
    return plugin::GuardedOpen<char>(record);
}

extern "C" ZTX_EXPORT ArchiveHandle ZTX_CALL OpenArchiveW(OpenArchiveRecord* record)
{
    return plugin::GuardedOpen<wchar_t>(record);
}
