// The fixed table of open archives: slots 1 to 10 are handles, slot 0 holds global callbacks.
#ifndef PLUGIN_ARCHIVE_TABLE_H
#define PLUGIN_ARCHIVE_TABLE_H

#include <atomic>
#include <cstdint>

#include "plugin/dos_time.h"
#include "plugin/ztx_api.h"
#include "xzformat/probe.h"

namespace plugin {

constexpr int32_t SlotCount = 10;
// Paths of 259 characters and a terminator, in either name form.
constexpr int kPathCapacity = 260;
constexpr int kPathMaxLength = kPathCapacity - 1;

// Pointer-sized in the host interface, a slot number in value.
using ArchiveHandle = ::ArchiveHandle;

struct ArchiveSlot {
    char archive_name[kPathCapacity];
    wchar_t archive_name_w[kPathCapacity];
    // Cleared outside the table's lock, so the next owner must see every
    // write of the previous one as finished: release store, acquire load.
    std::atomic<int32_t> in_use;
    int32_t header_counter;
    uint64_t packed_size;
    uint64_t unpacked_size;
    // Decides whether a test or extraction may decode blocks in parallel.
    xzformat::BlockLayout blocks;
    DosDateTime time_stamp;
    ChangeVolProc change_vol_proc;
    ChangeVolProcW change_vol_proc_w;
    ProcessDataProc process_data_proc;
    ProcessDataProcW process_data_proc_w;
};

inline bool IsValidHandle(ArchiveHandle handle) { return handle >= 1 && handle <= SlotCount; }

// The slot of a handle, or slot 0 for anything outside 1 to 10: that is
// where the host parks the callbacks it registers for packing.
ArchiveSlot& CallbackSlot(ArchiveHandle handle);

// The slot of a valid handle (1 to 10); the caller has checked the range.
ArchiveSlot& SlotOf(ArchiveHandle handle);

// Claims the lowest free slot and marks it in use; 0 when all are taken.
ArchiveHandle ClaimSlot();

// Gives a slot back (a failed open, or CloseArchive).
void ReleaseSlot(ArchiveHandle handle);

bool SlotInUse(ArchiveHandle handle);

} // namespace plugin

#endif
