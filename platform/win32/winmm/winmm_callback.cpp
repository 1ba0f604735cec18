// DriverCallback, by which drivers call their clients back, with the test
// observer that sees every call; and timeGetTime on the stand-in clock.
#include <mutex>

#include "host/ke_control.h"
#include "host/ke_user.h"
#include "host/winmm_control.h"
#include "winmm_internal.h"

namespace {

std::mutex observerLock;
HOST_WINMM_CALLBACK_OBSERVER observer = nullptr;   // observerLock
PVOID observerContext = nullptr;                   // observerLock

BOOL Deliver(DWORD_PTR callback, DWORD flags, HDRVR device, DWORD message, DWORD_PTR user,
             DWORD_PTR param1, DWORD_PTR param2)
{
    switch (flags & DCB_TYPEMASK) {
    case DCB_NULL:
        return TRUE;
    case DCB_WINDOW:
        return PostMessageA(reinterpret_cast<HWND>(callback), message,
                            reinterpret_cast<WPARAM>(device), LPARAM(param1));
    case DCB_TASK:
        return PostThreadMessageA(DWORD(callback), message, reinterpret_cast<WPARAM>(device),
                                  LPARAM(param1));
    case DCB_FUNCTION:
        if (callback != 0) {
            reinterpret_cast<LPDRVCALLBACK>(callback)(device, message, user, param1, param2);
        }
        return TRUE;
    case DCB_EVENT:
        return SetEvent(reinterpret_cast<HANDLE>(callback));
    default:
        return FALSE;
    }
}

}  // namespace

extern "C" {

BOOL WINAPI DriverCallback(DWORD_PTR dwCallback, DWORD dwFlags, HDRVR hDevice, DWORD dwMsg,
                           DWORD_PTR dwUser, DWORD_PTR dwParam1, DWORD_PTR dwParam2)
{
    HOST_WINMM_CALLBACK_OBSERVER seen;
    PVOID context;
    {
        std::lock_guard<std::mutex> guard(observerLock);
        seen = observer;
        context = observerContext;
    }
    if (seen != nullptr) {
        seen(context, dwCallback, dwFlags, hDevice, dwMsg, dwUser, dwParam1, dwParam2);
    }
    const BOOL result = Deliver(dwCallback, dwFlags, hDevice, dwMsg, dwUser, dwParam1, dwParam2);
    host_wait::StopPoint();
    return result;
}

DWORD WINAPI timeGetTime(void)
{
    return DWORD(HostKeQueryTime() / HOST_KE_UNITS_PER_MS);
}

VOID HostWinmmSetCallbackObserver(HOST_WINMM_CALLBACK_OBSERVER Observer, PVOID Context)
{
    std::lock_guard<std::mutex> guard(observerLock);
    observer = Observer;
    observerContext = Context;
}

}  // extern "C"
