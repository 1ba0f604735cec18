// How the user-mode stand-in DLLs (user32, winmm, advapi32, ...) take part in
// a process's life, through kernel32 as on Windows. Not for product code.
#pragma once

#include "windef.h"

#ifdef __cplusplus
extern "C" {
#endif

// A DLL's clean-up for a process that ends. Orderly: the process called
// ExitProcess (its other threads are already stopped); the routine runs on
// the exiting thread, in the process's context, and may call into the
// process's own code (a driver's DRV_FREE). Not orderly: the process was
// terminated; the routine forgets what it held for the process without
// running any of the process's code.
typedef VOID (*HOST_PROCESS_DETACH_ROUTINE)(DWORD ProcessId, BOOL Orderly);

// Registered once per DLL, at its load. Routines run in reverse order of
// registration, as Windows detaches DLLs in reverse load order; kernel32's
// own part (the process's loaded modules) runs last.
VOID HostK32RegisterProcessDetach(HOST_PROCESS_DETACH_ROUTINE Routine);
// Runs every registered routine for ProcessId (called by the system layer).
VOID HostK32DetachProcess(DWORD ProcessId, BOOL Orderly);

// Whether a process runs with administrator rights (default: yes).
BOOL HostK32IsAdministrator(DWORD ProcessId);

// NT's Win32 error for an NT status (RtlNtStatusToDosError).
DWORD HostK32DosErrorOf(LONG Status);

#ifdef __cplusplus
}
#endif
