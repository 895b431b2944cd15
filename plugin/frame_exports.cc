// Handle closing, callback registration and the capability words.
#include "plugin/archive_table.h"
#include "plugin/exports.h"
#include "plugin/result_code.h"

using plugin::ArchiveHandle;
using plugin::CallbackSlot;

// 0, or 17 for a handle outside 1 to 10. Closing a free slot is harmless.
extern "C" ZTX_EXPORT int32_t ZTX_CALL CloseArchive(ArchiveHandle handle)
{
    if (!plugin::IsValidHandle(handle))
        return plugin::ToHost(plugin::ResultCode::CloseError);
    plugin::ReleaseSlot(handle);
    return plugin::ToHost(plugin::ResultCode::Ok);
}

// The volume callbacks are kept only because the host hands them over:
// an .xz file is always a single volume.
extern "C" ZTX_EXPORT void ZTX_CALL SetChangeVolProc(ArchiveHandle handle, ChangeVolProc proc)
{
    CallbackSlot(handle).change_vol_proc = proc;
}

extern "C" ZTX_EXPORT void ZTX_CALL SetChangeVolProcW(ArchiveHandle handle, ChangeVolProcW proc)
{
    CallbackSlot(handle).change_vol_proc_w = proc;
}

extern "C" ZTX_EXPORT void ZTX_CALL SetProcessDataProc(ArchiveHandle handle, ProcessDataProc proc)
{
    CallbackSlot(handle).process_data_proc = proc;
}

extern "C" ZTX_EXPORT void ZTX_CALL SetProcessDataProcW(ArchiveHandle handle,
                                                        ProcessDataProcW proc)
{
    CallbackSlot(handle).process_data_proc_w = proc;
}

// One entry per archive and detection by extension only, so neither
// "multiple files" nor "by content" is announced.
extern "C" ZTX_EXPORT int32_t ZTX_CALL GetPackerCaps(void)
{
    return kCapNew | kCapModify | kCapDelete | kCapOptions | kCapMemPack | kCapSearchText;
}

extern "C" ZTX_EXPORT int32_t ZTX_CALL GetBackgroundFlags(void)
{
    return kBackgroundUnpack | kBackgroundPack | kBackgroundMemPack;
}
