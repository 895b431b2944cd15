// The archive table and its lock.
#include "plugin/archive_table.h"

#include <windows.h>

namespace plugin {

namespace {

ArchiveSlot g_slots[SlotCount + 1];

// The lock is created by the first open; two first opens racing on
// different threads must still create it exactly once.
CRITICAL_SECTION g_lock;
INIT_ONCE g_lock_once = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK CreateLock(PINIT_ONCE, PVOID, PVOID*)
{
    InitializeCriticalSection(&g_lock);
    return TRUE;
}

} // namespace

ArchiveSlot& CallbackSlot(ArchiveHandle handle)
{
    return g_slots[IsValidHandle(handle) ? handle : 0];
}

ArchiveSlot& SlotOf(ArchiveHandle handle) { return g_slots[handle]; }

ArchiveHandle ClaimSlot()
{
    InitOnceExecuteOnce(&g_lock_once, CreateLock, nullptr, nullptr);
    ArchiveHandle claimed = 0;
    EnterCriticalSection(&g_lock);
    for (ArchiveHandle h = 1; h <= SlotCount; ++h) {
        if (g_slots[h].in_use.load(std::memory_order_acquire) == 0) {
            g_slots[h].in_use.store(1, std::memory_order_relaxed);
            claimed = h;
            break;
        }
    }
    LeaveCriticalSection(&g_lock);
    return claimed;
}

void ReleaseSlot(ArchiveHandle handle)
{
    g_slots[handle].in_use.store(0, std::memory_order_release);
}

bool SlotInUse(ArchiveHandle handle)
{
    return g_slots[handle].in_use.load(std::memory_order_acquire) != 0;
}

} // namespace plugin
