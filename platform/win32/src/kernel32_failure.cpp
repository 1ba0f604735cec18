// Failure injection at the Win32 calls of every stand-in DLL.
#include <mutex>

#include "host/failure_control.h"

namespace {

struct Injection {
    enum Mode { None, Nth, Always } mode = None;
    DWORD countdown = 0;
    DWORD error = 0;
};

std::mutex injectionLock;
Injection injections[HostFailPointCount];   // injectionLock
DWORD injected = 0;                         // injectionLock

void Arm(HOST_FAILURE_POINT point, Injection::Mode mode, DWORD n, DWORD error)
{
    if (point < 0 || point >= HostFailPointCount) {
        return;
    }
    std::lock_guard<std::mutex> guard(injectionLock);
    injections[point] = Injection{mode, n, error};
}

}  // namespace

extern "C" {

VOID HostFailNth(HOST_FAILURE_POINT Point, DWORD N, DWORD Error)
{
    Arm(Point, N == 0 ? Injection::None : Injection::Nth, N, Error);
}

VOID HostFailAlways(HOST_FAILURE_POINT Point, DWORD Error)
{
    Arm(Point, Injection::Always, 0, Error);
}

VOID HostFailReset(VOID)
{
    std::lock_guard<std::mutex> guard(injectionLock);
    for (Injection& injection : injections) {
        injection = Injection{};
    }
    injected = 0;
}

DWORD HostFailInjectedCount(VOID)
{
    std::lock_guard<std::mutex> guard(injectionLock);
    return injected;
}

BOOL HostFailNow(HOST_FAILURE_POINT Point, DWORD* Error)
{
    std::lock_guard<std::mutex> guard(injectionLock);
    Injection& injection = injections[Point];
    const bool fail = injection.mode == Injection::Always ||
                      (injection.mode == Injection::Nth && --injection.countdown == 0);
    if (!fail) {
        return FALSE;
    }
    if (injection.mode == Injection::Nth) {
        injection.mode = Injection::None;
    }
    ++injected;
    *Error = injection.error;
    return TRUE;
}

}  // extern "C"
