// Threads, waits and critical sections.
#include <mutex>
#include <new>

#include "host/io_user.h"
#include "kernel32_internal.h"

using host_k32::SetLastNtError;

namespace {

constexpr int32_t kStatusTimeout = 0x102;

struct StartBlock {
    LPTHREAD_START_ROUTINE start;
    LPVOID parameter;
};

uint32_t Trampoline(void* parameter)
{
    StartBlock block = *static_cast<StartBlock*>(parameter);
    delete static_cast<StartBlock*>(parameter);
    return block.start(block.parameter);
}

// A critical section is recursive for its owner, as on Windows.
std::recursive_mutex* LockOf(LPCRITICAL_SECTION section)
{
    return static_cast<std::recursive_mutex*>(section->LockSemaphore);
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId)
{
    (void)lpThreadAttributes;
    (void)dwStackSize;
    // Suspended creation is not modelled.
    if (lpStartAddress == nullptr || (dwCreationFlags & CREATE_SUSPENDED) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    StartBlock* block = new (std::nothrow) StartBlock{lpStartAddress, lpParameter};
    if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    void* handle = nullptr;
    uint32_t id = 0;
    int32_t status = HostNtCreateThread(Trampoline, block, &handle, &id);
    if (status < 0) {
        delete block;
        SetLastNtError(status);
        return nullptr;
    }
    if (lpThreadId != nullptr) {
        *lpThreadId = id;
    }
    return handle;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    int32_t status = HostNtWaitForSingleObject(hHandle, dwMilliseconds);
    if (status == 0) {
        return WAIT_OBJECT_0;
    }
    if (status == kStatusTimeout) {
        return WAIT_TIMEOUT;
    }
    SetLastNtError(status);
    return WAIT_FAILED;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode)
{
    uint32_t code = 0;
    int running = 0;
    int32_t status = HostNtGetExitCodeThread(hThread, &code, &running);
    if (status < 0) {
        SetLastNtError(status);
        return FALSE;
    }
    *lpExitCode = running ? DWORD(STILL_ACTIVE) : code;
    return TRUE;
}

DWORD WINAPI GetCurrentThreadId(VOID)
{
    return HostNtCurrentThreadId();
}

DWORD WINAPI GetCurrentProcessId(VOID)
{
    return HostNtCurrentProcessId();
}

VOID WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    lpCriticalSection->DebugInfo = nullptr;
    lpCriticalSection->LockCount = -1;
    lpCriticalSection->RecursionCount = 0;
    lpCriticalSection->OwningThread = nullptr;
    lpCriticalSection->SpinCount = 0;
    lpCriticalSection->LockSemaphore = new std::recursive_mutex;
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
    LockOf(lpCriticalSection)->lock();
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    return LockOf(lpCriticalSection)->try_lock() ? TRUE : FALSE;
}

VOID WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    LockOf(lpCriticalSection)->unlock();
}

VOID WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    delete LockOf(lpCriticalSection);
    lpCriticalSection->LockSemaphore = nullptr;
}

}  // extern "C"
