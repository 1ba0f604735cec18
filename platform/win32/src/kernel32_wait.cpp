// Events, waits on event and thread handles, delays and the tick count, all
// on the stand-in clock.
#include "host/failure_control.h"
#include "host/ke_control.h"
#include "host/ke_user.h"
#include "kernel32_internal.h"

using host_k32::SetLastNtError;

namespace {

constexpr int32_t kStatusTimeout = 0x102;
constexpr int32_t kStatusThreadIsTerminating = int32_t(0xC000004B);

HANDLE CreateEventCommon(BOOL manualReset, BOOL initialState)
{
    DWORD injected;
    if (HostFailNow(HostFailCreateEvent, &injected)) {
        SetLastError(injected);
        return nullptr;
    }
    void* handle = nullptr;
    const int32_t status = HostNtCreateEvent(manualReset, initialState, &handle);
    if (status < 0) {
        SetLastNtError(status);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL SucceededOrSetError(int32_t status)
{
    if (status < 0) {
        SetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCSTR lpName)
{
    (void)lpEventAttributes;
    (void)lpName;
    return CreateEventCommon(bManualReset, bInitialState);
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCWSTR lpName)
{
    (void)lpEventAttributes;
    (void)lpName;
    return CreateEventCommon(bManualReset, bInitialState);
}

BOOL WINAPI SetEvent(HANDLE hEvent)
{
    return SucceededOrSetError(HostNtSetEvent(hEvent));
}

BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    return SucceededOrSetError(HostNtResetEvent(hEvent));
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds)
{
    const int32_t status = HostNtWaitForObjects(nCount, lpHandles, bWaitAll, dwMilliseconds);
    DWORD result = WAIT_FAILED;
    if (status == kStatusTimeout) {
        result = WAIT_TIMEOUT;
    } else if (status >= 0) {
        result = WAIT_OBJECT_0 + DWORD(status);
    } else if (status != kStatusThreadIsTerminating) {
        SetLastNtError(status);
    }
    host_wait::StopPoint();
    return result;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

VOID WINAPI Sleep(DWORD dwMilliseconds)
{
    HostNtDelayExecution(dwMilliseconds);
    host_wait::StopPoint();
}

// Milliseconds since boot at the tick's granularity, wrapping at 2^32, as
// the tick count and KeQueryTimeIncrement() give it.
DWORD WINAPI GetTickCount(VOID)
{
    return DWORD(HostKeQueryTickCount() * HOST_KE_TIME_INCREMENT / HOST_KE_UNITS_PER_MS);
}

}  // extern "C"
