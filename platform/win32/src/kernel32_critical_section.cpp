// Critical sections: recursive for their owner, as on Windows. The host lock
// behind a section sits in LockSemaphore; owner and counts are kept in the
// documented fields. A thread waiting to enter can be stopped, so a section
// left owned by a stopped thread holds only its own process's threads. The
// host locks belong to the process that made them and go when it ends, as
// its memory does (a section is often never deleted).
#include <condition_variable>
#include <map>
#include <mutex>
#include <new>

#include "host/ke_user.h"
#include "kernel32_internal.h"

namespace {

struct SectionLock {
    std::mutex lock;                    // guards the section's fields
    std::condition_variable released;
};

std::mutex sectionsLock;
std::map<SectionLock*, DWORD>& Sections()   // sectionsLock; owner process by lock
{
    static auto* sections = new std::map<SectionLock*, DWORD>;
    return *sections;
}

SectionLock* LockOf(LPCRITICAL_SECTION section)
{
    return static_cast<SectionLock*>(section->LockSemaphore);
}

HANDLE CallerId()
{
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(GetCurrentThreadId()));
}

// Takes the section for the caller when it is free or the caller's already.
// Section lock held.
bool TryTake(LPCRITICAL_SECTION section, HANDLE caller)
{
    if (section->OwningThread != nullptr && section->OwningThread != caller) {
        return false;
    }
    section->OwningThread = caller;
    section->RecursionCount++;
    return true;
}

}  // namespace

extern "C" {

VOID WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    lpCriticalSection->DebugInfo = nullptr;
    lpCriticalSection->LockCount = -1;
    lpCriticalSection->RecursionCount = 0;
    lpCriticalSection->OwningThread = nullptr;
    lpCriticalSection->SpinCount = 0;
    SectionLock* host = new SectionLock;
    lpCriticalSection->LockSemaphore = host;
    std::lock_guard<std::mutex> guard(sectionsLock);
    Sections()[host] = GetCurrentProcessId();
}

BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection,
                                                  DWORD dwSpinCount)
{
    InitializeCriticalSection(lpCriticalSection);
    lpCriticalSection->SpinCount = dwSpinCount;
    return TRUE;
}

VOID WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    SectionLock* host = LockOf(lpCriticalSection);
    const HANDLE caller = CallerId();
    {
        std::unique_lock<std::mutex> guard(host->lock);
        lpCriticalSection->LockCount++;
        host_wait::Wait(
            guard, host->released,
            [lpCriticalSection, caller] {
                return lpCriticalSection->OwningThread == nullptr ||
                       lpCriticalSection->OwningThread == caller;
            },
            "EnterCriticalSection");
        if (!TryTake(lpCriticalSection, caller)) {
            lpCriticalSection->LockCount--;     // stopped while waiting
        }
    }
    host_wait::StopPoint();
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    SectionLock* host = LockOf(lpCriticalSection);
    std::lock_guard<std::mutex> guard(host->lock);
    if (!TryTake(lpCriticalSection, CallerId())) {
        return FALSE;
    }
    lpCriticalSection->LockCount++;
    return TRUE;
}

VOID WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    SectionLock* host = LockOf(lpCriticalSection);
    std::lock_guard<std::mutex> guard(host->lock);
    if (lpCriticalSection->OwningThread != CallerId()) {
        return;     // not the owner's: Windows corrupts the section; refused here
    }
    lpCriticalSection->LockCount--;
    if (--lpCriticalSection->RecursionCount == 0) {
        lpCriticalSection->OwningThread = nullptr;
        host->released.notify_all();
    }
}

VOID WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    SectionLock* host = LockOf(lpCriticalSection);
    {
        std::lock_guard<std::mutex> guard(sectionsLock);
        Sections().erase(host);
    }
    delete host;
    lpCriticalSection->LockSemaphore = nullptr;
}

}  // extern "C"

namespace host_k32 {

void DetachCriticalSections(DWORD processId)
{
    std::lock_guard<std::mutex> guard(sectionsLock);
    for (auto it = Sections().begin(); it != Sections().end();) {
        if (it->second == processId) {
            delete it->first;
            it = Sections().erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace host_k32
