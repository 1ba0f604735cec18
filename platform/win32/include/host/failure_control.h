// Failure injection at Win32 calls of every stand-in DLL, like the pool's:
// the Nth call at a point from now fails once, or every call until reset.
// A refused call fails as Windows reports that failure (NULL, FALSE or
// INVALID_HANDLE_VALUE) with the given error as its last error; nothing is
// created or changed. The global and local heap also have their own
// blanket injection (host/kernel32_control.h).
#pragma once

#include "windef.h"

typedef enum _HOST_FAILURE_POINT {
    HostFailCreateThread,
    HostFailCreateIoCompletionPort,
    HostFailCreateFile,             // CreateFileW
    HostFailCreateEvent,            // CreateEventA/W
    HostFailGlobalAlloc,
    HostFailLocalAlloc,
    HostFailOpenSCManager,          // each service-manager call, A and W alike
    HostFailCreateService,
    HostFailOpenService,
    HostFailStartService,
    HostFailControlService,
    HostFailQueryServiceStatus,
    HostFailQueryServiceConfig,
    HostFailDeleteService,
    HostFailCloseServiceHandle,
    HostFailPointCount
} HOST_FAILURE_POINT;

#ifdef __cplusplus
extern "C" {
#endif

// N >= 1. Error is the last error the refused call leaves.
VOID HostFailNth(HOST_FAILURE_POINT Point, DWORD N, DWORD Error);
VOID HostFailAlways(HOST_FAILURE_POINT Point, DWORD Error);
// Ends every injection at every point.
VOID HostFailReset(VOID);
// Calls refused by injection since the last reset.
DWORD HostFailInjectedCount(VOID);

// For the stand-in DLLs: TRUE, with the error to report, when the call at
// Point must fail now.
BOOL HostFailNow(HOST_FAILURE_POINT Point, DWORD* Error);

#ifdef __cplusplus
}
#endif
