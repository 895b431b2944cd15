// Windows reports these through GetProcessMemoryInfo and GetProcessHandleCount.
// Wine answers both, but with zeros in PrivateUsage and the handle count, so
// each falls back to what Wine does fill in: the commit charge, and this
// process's rows of the system handle table.
#include "tests/win/process_usage.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <vector>

namespace testhost {

namespace {

constexpr ULONG kSystemHandleInformation = 16;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);

struct HandleRow {
    ULONG process_id;
    UCHAR object_type;
    UCHAR flags;
    USHORT handle;
    PVOID object;
    ACCESS_MASK access;
};
struct HandleTable {
    ULONG count;
    HandleRow rows[1];
};
typedef LONG(WINAPI* QuerySystemInformationFn)(ULONG, PVOID, ULONG, PULONG);

uint32_t HandlesFromSystemTable()
{
    const auto query = reinterpret_cast<QuerySystemInformationFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr)
        return 0;
    std::vector<uint8_t> buf(1 << 20);
    LONG status;
    while ((status = query(kSystemHandleInformation, buf.data(), static_cast<ULONG>(buf.size()),
                           nullptr)) == kStatusInfoLengthMismatch)
        buf.resize(buf.size() * 2);
    if (status != 0)
        return 0;
    const auto* table = reinterpret_cast<const HandleTable*>(buf.data());
    const DWORD self = GetCurrentProcessId();
    uint32_t count = 0;
    for (ULONG i = 0; i < table->count; ++i)
        if (table->rows[i].process_id == self)
            ++count;
    return count;
}

} // namespace

uint32_t CountThreads()
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    const DWORD self = GetCurrentProcessId();
    uint32_t count = 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == self;
    CloseHandle(snapshot);
    return count;
}

uint64_t CommittedBytes()
{
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof(memory);
    if (!GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                              sizeof(memory)))
        return 0;
    return memory.PrivateUsage != 0 ? memory.PrivateUsage : memory.PagefileUsage;
}

ProcessUsage MeasureProcess()
{
    ProcessUsage usage{};
    usage.private_bytes = CommittedBytes();
    DWORD handles = 0;
    if (!GetProcessHandleCount(GetCurrentProcess(), &handles) || handles == 0)
        handles = HandlesFromSystemTable();
    usage.handles = handles;
    usage.gdi_objects = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    usage.threads = CountThreads();
    return usage;
}

} // namespace testhost
