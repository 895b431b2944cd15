// ReadHeader, ReadHeaderEx and ReadHeaderExW: the one entry, described from what the open recorded.
#include <cstring>
#include <cwchar>

#include "plugin/archive_table.h"
#include "plugin/exports.h"
#include "plugin/result_code.h"
#include "unpack/entry_name.h"

namespace {

using plugin::ArchiveHandle;
using plugin::ArchiveSlot;
using plugin::ResultCode;

// The checks shared by the three forms: a live slot whose entry has not
// been listed yet.
ResultCode TakeEntry(ArchiveHandle handle, ArchiveSlot** slot)
{
    if (!plugin::IsValidHandle(handle) || !plugin::SlotInUse(handle))
        return ResultCode::ReadError;
    *slot = &plugin::SlotOf(handle);
    if ((*slot)->header_counter > 0)
        return ResultCode::NoMoreEntries;
    return ResultCode::Ok;
}

void CopyName(char* out, const char* name) { std::strcpy(out, name); }
void CopyName(wchar_t* out, const wchar_t* name) { std::wcscpy(out, name); }

const char* NameOf(const ArchiveSlot& slot, const char*) { return slot.archive_name; }
const wchar_t* NameOf(const ArchiveSlot& slot, const wchar_t*) { return slot.archive_name_w; }

// Fills the fields the forms share. Only the declared fields are assigned,
// so the host's bytes in between keep their values.
template <typename Header>
void FillNamesAndTime(Header* header, const ArchiveSlot& slot)
{
    const auto* name = NameOf(slot, header->archive_name);
    // The slot's names are at most 259 characters, so they fit every form.
    CopyName(header->archive_name, name);
    unpack::EntryNameOf(name, header->entry_name, sizeof(header->entry_name) / sizeof(name[0]));
    header->entry_time = slot.time_stamp;
}

template <typename Header>
void FillWideSizes(Header* header, const ArchiveSlot& slot)
{
    header->packed_size = static_cast<uint32_t>(slot.packed_size);
    header->packed_size_high = static_cast<uint32_t>(slot.packed_size >> 32);
    header->unpacked_size = static_cast<uint32_t>(slot.unpacked_size);
    header->unpacked_size_high = static_cast<uint32_t>(slot.unpacked_size >> 32);
}

} // namespace

// 0 entry described; 10 already described since the open; 18 bad handle or
// slot not open. The record is untouched unless the result is 0.
extern "C" ZTX_EXPORT int32_t ZTX_CALL ReadHeader(ArchiveHandle handle, EntryHeader* header)
{
    ArchiveSlot* slot = nullptr;
    const ResultCode code = TakeEntry(handle, &slot);
    if (code != ResultCode::Ok)
        return plugin::ToHost(code);
    FillNamesAndTime(header, *slot);
    // This form has 32-bit sizes only; larger ones are reported modulo 2^32.
    header->packed_size = static_cast<uint32_t>(slot->packed_size);
    header->unpacked_size = static_cast<uint32_t>(slot->unpacked_size);
    ++slot->header_counter;
    return plugin::ToHost(ResultCode::Ok);
}

extern "C" ZTX_EXPORT int32_t ZTX_CALL ReadHeaderEx(ArchiveHandle handle, EntryHeaderEx* header)
{
    ArchiveSlot* slot = nullptr;
    const ResultCode code = TakeEntry(handle, &slot);
    if (code != ResultCode::Ok)
        return plugin::ToHost(code);
    FillNamesAndTime(header, *slot);
    FillWideSizes(header, *slot);
    ++slot->header_counter;
    return plugin::ToHost(ResultCode::Ok);
}

extern "C" ZTX_EXPORT int32_t ZTX_CALL ReadHeaderExW(ArchiveHandle handle, EntryHeaderExW* header)
{
    ArchiveSlot* slot = nullptr;
    const ResultCode code = TakeEntry(handle, &slot);
    if (code != ResultCode::Ok)
        return plugin::ToHost(code);
    FillNamesAndTime(header, *slot);
    FillWideSizes(header, *slot);
    ++slot->header_counter;
    return plugin::ToHost(ResultCode::Ok);
}
