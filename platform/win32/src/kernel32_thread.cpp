// Threads and their exit codes. A thread made here can be stopped when its
// process ends: its entry routine is left through the stop catcher below.
#include <csetjmp>
#include <new>

#include "host/failure_control.h"
#include "host/io_user.h"
#include "host/ke_user.h"
#include "kernel32_internal.h"

using host_k32::SetLastNtError;

namespace {

struct StartBlock {
    LPTHREAD_START_ROUTINE start;
    LPVOID parameter;
};

// The thread's outermost frame. A stopped thread comes back here from its
// next stand-in call and ends with its process's exit code; the product
// frames in between are abandoned, as TerminateThread abandons them.
uint32_t Trampoline(void* parameter)
{
    const StartBlock block = *static_cast<StartBlock*>(parameter);
    delete static_cast<StartBlock*>(parameter);
    std::jmp_buf catcher;
    if (setjmp(catcher) != 0) {
        host_wait::SetStopCatcher(nullptr);
        return host_wait::StoppedExitCode();
    }
    host_wait::SetStopCatcher(&catcher);
    const uint32_t code = block.start(block.parameter);
    host_wait::SetStopCatcher(nullptr);
    return code;
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
    DWORD injected;
    if (HostFailNow(HostFailCreateThread, &injected)) {
        SetLastError(injected);
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

}  // extern "C"
