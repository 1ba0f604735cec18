// Test controls of the stand-in kernel32: the heap's accounting of live blocks
// and failure injection, like the pool's (global and local blocks share one
// heap, as on Win32); priorities and rights of processes and threads.
#pragma once

#include "windef.h"

#ifdef __cplusplus
extern "C" {
#endif

DWORD HostHeapLiveBlocks(VOID);
SIZE_T HostHeapLiveBytes(VOID);
// A snapshot is the serial number of the next allocation; blocks allocated
// after it that are still live can be counted.
ULONGLONG HostHeapSnapshot(VOID);
DWORD HostHeapLiveSince(ULONGLONG Snapshot);
// Frees every block a process allocated, as the system reclaims an ended
// process's address space; returns how many there were.
DWORD HostHeapReclaimProcess(DWORD ProcessId);
// The Nth allocation from now (N >= 1) fails once; or every one until reset.
VOID HostHeapFailNth(DWORD N);
VOID HostHeapFailAlways(VOID);
VOID HostHeapFailReset(VOID);
// Byte a block without GMEM_ZEROINIT is filled with.
#define HOST_HEAP_FRESH_FILL 0xCD

// Priorities as SetThreadPriority and SetPriorityClass recorded them
// (THREAD_PRIORITY_NORMAL and NORMAL_PRIORITY_CLASS until then).
int HostK32ThreadPriority(DWORD ThreadId);
DWORD HostK32PriorityClass(DWORD ProcessId);
// Gives a process administrator rights or takes them away (default: it has
// them). Without them, the service manager refuses changes and
// SetPriorityClass turns REALTIME_PRIORITY_CLASS into HIGH_PRIORITY_CLASS.
VOID HostK32SetAdministrator(DWORD ProcessId, BOOL Administrator);

#ifdef __cplusplus
}
#endif
