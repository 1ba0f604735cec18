// The Windows version the stand-ins play, chosen once at boot (before any
// driver is loaded or thread created). Where NT releases differ in what the
// product depends on, the stand-ins follow this profile.
#pragma once

#include "nt/ntdef.h"

typedef enum _HOST_WINDOWS_VERSION {
    // NT 4.0 (Service Pack 6) to XP, the default: a thread's exit cancels
    // its pending requests and waits for them (a request that has not
    // completed after 5 minutes is cut loose from the thread); closing a
    // completion port's handle leaves the threads waiting on it waiting; the
    // kernel exports only what NT 4.0 exports, so an image that imports a
    // later routine (KeFlushQueuedDpcs, for one) fails to load.
    HostWindowsNt4ToXp,
    // Vista and later: requests on a handle bound to a completion port
    // belong to the file and outlive the thread that issued them; closing a
    // port's handle releases its waiters; the kernel exports every routine
    // the stand-in has.
    HostWindowsVistaAndLater,
} HOST_WINDOWS_VERSION;

NT_EXTERN_C_BEGIN

VOID HostSetWindowsVersion(HOST_WINDOWS_VERSION Version);
HOST_WINDOWS_VERSION HostGetWindowsVersion(VOID);

NT_EXTERN_C_END
