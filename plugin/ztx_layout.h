// The byte layout of every host record and handle, pinned for both word sizes.
// The host reads and writes these records by offset, compiled from its own
// declarations; a field that moved would be written where the host keeps
// something else. Each line gives the 32-bit value, then the 64-bit one.
#ifndef PLUGIN_ZTX_LAYOUT_H
#define PLUGIN_ZTX_LAYOUT_H

#include <cstddef>

#include "plugin/ztx_api.h"

#if defined(_WIN32)

#if defined(_WIN64)
#define ZTX_BYTES(bits32, bits64) (bits64)
#else
#define ZTX_BYTES(bits32, bits64) (bits32)
#endif

// Pointer-sized: the archive handle, the memory packer and the callbacks.
static_assert(sizeof(ArchiveHandle) == ZTX_BYTES(4, 8), "ArchiveHandle");
static_assert(sizeof(MemPackHandle) == ZTX_BYTES(4, 8), "MemPackHandle");
static_assert(sizeof(ProcessDataProc) == ZTX_BYTES(4, 8), "callbacks");

// The path pointer comes first, so the two integers after it move.
static_assert(offsetof(OpenArchiveRecord, arc_name) == ZTX_BYTES(0, 0), "OpenArchiveRecord layout");
static_assert(offsetof(OpenArchiveRecord, open_mode) == ZTX_BYTES(4, 8), "OpenArchiveRecord layout");
static_assert(offsetof(OpenArchiveRecord, open_result) == ZTX_BYTES(8, 12), "OpenArchiveRecord layout");
static_assert(sizeof(OpenArchiveRecord) == ZTX_BYTES(12, 16), "OpenArchiveRecord layout");

// The entry records hold no pointer up to their last field written here.
static_assert(offsetof(EntryHeader, archive_name) == ZTX_BYTES(0, 0), "EntryHeader layout");
static_assert(offsetof(EntryHeader, entry_name) == ZTX_BYTES(260, 260), "EntryHeader layout");
static_assert(offsetof(EntryHeader, host_flags) == ZTX_BYTES(520, 520), "EntryHeader layout");
static_assert(offsetof(EntryHeader, packed_size) == ZTX_BYTES(524, 524), "EntryHeader layout");
static_assert(offsetof(EntryHeader, unpacked_size) == ZTX_BYTES(528, 528), "EntryHeader layout");
static_assert(offsetof(EntryHeader, host_os_and_crc) == ZTX_BYTES(532, 532), "EntryHeader layout");
static_assert(offsetof(EntryHeader, entry_time) == ZTX_BYTES(540, 540), "EntryHeader layout");
static_assert(sizeof(EntryHeader) == ZTX_BYTES(544, 544), "EntryHeader layout");

static_assert(offsetof(EntryHeaderEx, archive_name) == ZTX_BYTES(0, 0), "EntryHeaderEx layout");
static_assert(offsetof(EntryHeaderEx, entry_name) == ZTX_BYTES(1024, 1024), "EntryHeaderEx layout");
static_assert(offsetof(EntryHeaderEx, host_flags) == ZTX_BYTES(2048, 2048), "EntryHeaderEx layout");
static_assert(offsetof(EntryHeaderEx, packed_size) == ZTX_BYTES(2052, 2052), "EntryHeaderEx layout");
static_assert(offsetof(EntryHeaderEx, packed_size_high) == ZTX_BYTES(2056, 2056), "EntryHeaderEx layout");
static_assert(offsetof(EntryHeaderEx, unpacked_size) == ZTX_BYTES(2060, 2060), "EntryHeaderEx layout");
static_assert(offsetof(EntryHeaderEx, unpacked_size_high) == ZTX_BYTES(2064, 2064), "EntryHeaderEx layout");
static_assert(offsetof(EntryHeaderEx, host_os_and_crc) == ZTX_BYTES(2068, 2068), "EntryHeaderEx layout");
static_assert(offsetof(EntryHeaderEx, entry_time) == ZTX_BYTES(2076, 2076), "EntryHeaderEx layout");
static_assert(sizeof(EntryHeaderEx) == ZTX_BYTES(2080, 2080), "EntryHeaderEx layout");

static_assert(sizeof(wchar_t) == 2, "UTF-16 names");
static_assert(offsetof(EntryHeaderExW, archive_name) == ZTX_BYTES(0, 0), "EntryHeaderExW layout");
static_assert(offsetof(EntryHeaderExW, entry_name) == ZTX_BYTES(2048, 2048), "EntryHeaderExW layout");
static_assert(offsetof(EntryHeaderExW, host_flags) == ZTX_BYTES(4096, 4096), "EntryHeaderExW layout");
static_assert(offsetof(EntryHeaderExW, packed_size) == ZTX_BYTES(4100, 4100), "EntryHeaderExW layout");
static_assert(offsetof(EntryHeaderExW, packed_size_high) == ZTX_BYTES(4104, 4104), "EntryHeaderExW layout");
static_assert(offsetof(EntryHeaderExW, unpacked_size) == ZTX_BYTES(4108, 4108), "EntryHeaderExW layout");
static_assert(offsetof(EntryHeaderExW, unpacked_size_high) == ZTX_BYTES(4112, 4112), "EntryHeaderExW layout");
static_assert(offsetof(EntryHeaderExW, host_os_and_crc) == ZTX_BYTES(4116, 4116), "EntryHeaderExW layout");
static_assert(offsetof(EntryHeaderExW, entry_time) == ZTX_BYTES(4124, 4124), "EntryHeaderExW layout");
static_assert(sizeof(EntryHeaderExW) == ZTX_BYTES(4128, 4128), "EntryHeaderExW layout");

static_assert(offsetof(DefaultParamsRecord, size) == ZTX_BYTES(0, 0), "DefaultParamsRecord layout");
static_assert(offsetof(DefaultParamsRecord, plugin_interface_version_low) == ZTX_BYTES(4, 4),
              "DefaultParamsRecord layout");
static_assert(offsetof(DefaultParamsRecord, plugin_interface_version_high) == ZTX_BYTES(8, 8),
              "DefaultParamsRecord layout");
static_assert(offsetof(DefaultParamsRecord, default_ini_name) == ZTX_BYTES(12, 12), "DefaultParamsRecord layout");
static_assert(sizeof(DefaultParamsRecord) == ZTX_BYTES(272, 272), "DefaultParamsRecord layout");

#undef ZTX_BYTES

#endif // _WIN32

#endif
