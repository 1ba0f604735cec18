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

// The program a process runs: the Windows path of its image
// (GetModuleFileName) and whether it runs under WOW64, as an i386 program
// on 64-bit Windows does (then kernel32 exports IsWow64Process to it).
VOID HostK32SetProgram(DWORD ProcessId, const char* ImagePath, BOOL Wow64);
// What a process wrote to STD_OUTPUT_HANDLE or STD_ERROR_HANDLE, kept until
// the process ends; copied into Text (always terminated), and its length.
DWORD HostK32ConsoleText(DWORD ProcessId, DWORD StdHandle, char* Text, DWORD Size);

// Drive Letter (not C:, whose C:\WINNT is the system root) as a host
// directory for the file calls; NULL removes it.
VOID HostK32MapDrive(char Letter, const char* HostDirectory);
// The Session Manager's part of a boot (the system layer calls it after the
// system-start drivers): runs and forgets the deletes and renames that
// MoveFileEx kept for it; returns how many succeeded.
DWORD HostK32RunPendingFileOperations(VOID);

#ifdef __cplusplus
}
#endif
