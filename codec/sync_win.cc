// The Windows side of codec/sync.h: slim locks and condition variables (Vista and later).
#include "codec/sync.h"

#include <windows.h>

namespace codec {

// Both are a single pointer, zero for the free state, in either word size;
// the members are declared so in the header to keep windows.h out of the core.
static_assert(sizeof(SRWLOCK) == sizeof(void*) && alignof(SRWLOCK) == alignof(void*), "SRWLOCK is one pointer");
static_assert(sizeof(CONDITION_VARIABLE) == sizeof(void*) && alignof(CONDITION_VARIABLE) == alignof(void*),
              "CONDITION_VARIABLE is one pointer");

namespace {
PSRWLOCK Srw(void** p) { return reinterpret_cast<PSRWLOCK>(p); }
PCONDITION_VARIABLE Cv(void** p) { return reinterpret_cast<PCONDITION_VARIABLE>(p); }
} // namespace

void Mutex::lock() { AcquireSRWLockExclusive(Srw(&srw_)); }
void Mutex::unlock() { ReleaseSRWLockExclusive(Srw(&srw_)); }

void CondVar::Wait(std::unique_lock<Mutex>& held)
{
    // With no time limit this fails never; a spurious return is the caller's to check.
    SleepConditionVariableSRW(Cv(&cv_), Srw(&held.mutex()->srw_), INFINITE, 0);
}

void CondVar::WaitFor(std::unique_lock<Mutex>& held, uint32_t milliseconds)
{
    // A time-out is a return like any other; the caller looks again.
    SleepConditionVariableSRW(Cv(&cv_), Srw(&held.mutex()->srw_), milliseconds, 0);
}

void CondVar::NotifyOne() { WakeConditionVariable(Cv(&cv_)); }
void CondVar::NotifyAll() { WakeAllConditionVariable(Cv(&cv_)); }

} // namespace codec
