// The packer plug-in interface as a host sees it: records, callbacks and exports of xz.ztx.
// Hosts (the command-line host, the test programs) include only this file.
#ifndef PLUGIN_ZTX_API_H
#define PLUGIN_ZTX_API_H

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#define ZTX_CALL __stdcall
#else
#define ZTX_CALL
#endif

extern "C" {

// An open archive as the host holds it: a pointer-sized value, as the host's
// own declarations make it, that is always a small number (1 to 10, 0 for a
// failed open). A 64-bit host keeps it in an 8-byte variable, so the module
// returns and takes it whole: a value with any bit set above the low 32 is
// no handle, even when its low half would be one.
typedef intptr_t ArchiveHandle;

// One running memory packer: the address of its record, so pointer-sized.
typedef intptr_t MemPackHandle;

// Callbacks of the host. A progress callback answers 0 to ask for an abort.
typedef int32_t(ZTX_CALL* ProcessDataProc)(const char* file_name, int32_t size);
typedef int32_t(ZTX_CALL* ProcessDataProcW)(const wchar_t* file_name, int32_t size);
typedef int32_t(ZTX_CALL* ChangeVolProc)(const char* arc_name, int32_t mode);
typedef int32_t(ZTX_CALL* ChangeVolProcW)(const wchar_t* arc_name, int32_t mode);

// The host's open record. Only these three fields are used; the host's
// record may be longer, and the rest of it is never touched.
struct OpenArchiveRecord {
    const void* arc_name; // char* for OpenArchive, wchar_t* for OpenArchiveW
    int32_t open_mode;    // never read: listing and extracting need the same work
    int32_t open_result;  // written on failure only
};

// Entry records filled by the header calls. The fields named host_* are the
// host's own and are never written; the host's records go on past the last
// field declared here.
struct EntryHeader {
    char archive_name[260];
    char entry_name[260];
    uint8_t host_flags[4];
    uint32_t packed_size;
    uint32_t unpacked_size;
    uint8_t host_os_and_crc[8];
    uint32_t entry_time;
};

struct EntryHeaderEx {
    char archive_name[1024];
    char entry_name[1024];
    uint8_t host_flags[4];
    uint32_t packed_size;
    uint32_t packed_size_high;
    uint32_t unpacked_size;
    uint32_t unpacked_size_high;
    uint8_t host_os_and_crc[8];
    uint32_t entry_time;
};

struct EntryHeaderExW {
    wchar_t archive_name[1024];
    wchar_t entry_name[1024];
    uint8_t host_flags[4];
    uint32_t packed_size;
    uint32_t packed_size_high;
    uint32_t unpacked_size;
    uint32_t unpacked_size_high;
    uint8_t host_os_and_crc[8];
    uint32_t entry_time;
};

// Operations of ProcessFile and ProcessFileW.
enum : int32_t {
    kSkip = 0,
    kTest = 1,
    kExtract = 2,
};

// The host's record for PackSetDefaultParams: the default INI path follows
// three words of the host's own.
struct DefaultParamsRecord {
    int32_t size;
    uint32_t plugin_interface_version_low;
    uint32_t plugin_interface_version_high;
    char default_ini_name[260];
};

// Flag of PackFiles: delete the source file after a successful pack.
enum : int32_t { kPackMoveFiles = 1 };

// Capability bits announced by GetPackerCaps.
enum : int32_t {
    kCapNew = 0x01,
    kCapModify = 0x02,
    kCapMultiple = 0x04,
    kCapDelete = 0x08,
    kCapOptions = 0x10,
    kCapMemPack = 0x20,
    kCapByContent = 0x40,
    kCapSearchText = 0x80,
};

// Background-thread bits announced by GetBackgroundFlags.
enum : int32_t {
    kBackgroundUnpack = 0x1,
    kBackgroundPack = 0x2,
    kBackgroundMemPack = 0x4,
};

} // extern "C"

// Signatures of the exports, for hosts that bind them with GetProcAddress.
extern "C" {
typedef ArchiveHandle(ZTX_CALL* OpenArchiveFn)(OpenArchiveRecord* record);
typedef int32_t(ZTX_CALL* CloseArchiveFn)(ArchiveHandle handle);
typedef void(ZTX_CALL* SetChangeVolProcFn)(ArchiveHandle handle, ChangeVolProc proc);
typedef void(ZTX_CALL* SetChangeVolProcWFn)(ArchiveHandle handle, ChangeVolProcW proc);
typedef void(ZTX_CALL* SetProcessDataProcFn)(ArchiveHandle handle, ProcessDataProc proc);
typedef void(ZTX_CALL* SetProcessDataProcWFn)(ArchiveHandle handle, ProcessDataProcW proc);
typedef int32_t(ZTX_CALL* GetPackerCapsFn)(void);
typedef int32_t(ZTX_CALL* GetBackgroundFlagsFn)(void);
typedef int32_t(ZTX_CALL* ReadHeaderFn)(ArchiveHandle handle, EntryHeader* header);
typedef int32_t(ZTX_CALL* ReadHeaderExFn)(ArchiveHandle handle, EntryHeaderEx* header);
typedef int32_t(ZTX_CALL* ReadHeaderExWFn)(ArchiveHandle handle, EntryHeaderExW* header);
typedef int32_t(ZTX_CALL* PackFilesFn)(const char* target, const char* sub_path,
                                       const char* source_dir, const char* add_list, int32_t flags);
typedef int32_t(ZTX_CALL* PackFilesWFn)(const wchar_t* target, const wchar_t* sub_path,
                                        const wchar_t* source_dir, const wchar_t* add_list,
                                        int32_t flags);
typedef int32_t(ZTX_CALL* DeleteFilesFn)(const char* target, const char* delete_list);
typedef int32_t(ZTX_CALL* DeleteFilesWFn)(const wchar_t* target, const wchar_t* delete_list);
typedef MemPackHandle(ZTX_CALL* StartMemPackFn)(int32_t options, const char* file_name);
typedef int32_t(ZTX_CALL* PackToMemFn)(MemPackHandle handle, const uint8_t* input, int32_t input_length,
                                       int32_t* taken, uint8_t* output, int32_t output_length,
                                       int32_t* written, int32_t* reserved);
typedef int32_t(ZTX_CALL* DoneMemPackFn)(MemPackHandle handle);
typedef void(ZTX_CALL* PackSetDefaultParamsFn)(const void* record);
typedef int32_t(ZTX_CALL* ProcessFileFn)(ArchiveHandle handle, int32_t operation, const char* dest_path,
                                         const char* dest_name);
typedef int32_t(ZTX_CALL* ProcessFileWFn)(ArchiveHandle handle, int32_t operation,
                                          const wchar_t* dest_path, const wchar_t* dest_name);
}

#include "plugin/ztx_layout.h"

#endif
