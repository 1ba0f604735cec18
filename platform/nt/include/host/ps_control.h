// Test controls of the process stand-in. A process is a client context: an
// id, a handle table, threads and the requests its threads issued. Every
// host thread runs in one current process; threads that never chose one run
// in the default process, which cannot end.
#pragma once

#include "nt/ps.h"

NT_EXTERN_C_BEGIN

PEPROCESS HostPsDefaultProcess(VOID);

// Creates a process whose parent is the caller's current process and runs the
// create-notify routines (Create TRUE) in the calling thread. The caller
// holds a reference on the record and gives it up with HostPsReleaseProcess;
// an ended process is freed once no reference (its creator's, its threads',
// its outstanding requests') remains.
NTSTATUS HostPsCreateProcess(PEPROCESS* Process);
VOID HostPsReleaseProcess(PEPROCESS Process);
// Process records not yet freed, the default process not counted.
ULONG HostPsProcessCount(VOID);

// Makes Process (NULL: the default process) current for the calling thread
// and returns the previous one. Threads created with CreateThread start in
// their creator's current process.
PEPROCESS HostPsSetCurrentProcess(PEPROCESS Process);

// Ends Process as NT ends its last thread: new requests are refused, every
// outstanding request gets IoCancelIrp; if some remain (no cancel routine,
// or one that did not complete), STATUS_PENDING is returned and the process
// stays ending — call again once they have completed. Otherwise the
// exit-notify routines run (Create FALSE, in the context of the process),
// then every handle is closed (cleanup, then close, for each file) and
// STATUS_SUCCESS is returned; the PEPROCESS stays valid as an ended process
// while the caller holds its reference.
// STATUS_ACCESS_DENIED for the default process, STATUS_PROCESS_IS_TERMINATING
// when it had already ended. PASSIVE_LEVEL.
NTSTATUS HostPsTerminateProcess(PEPROCESS Process);

// Stops every stand-in thread (one made by CreateThread) of Process except
// the caller, as TerminateProcess stops them: a thread waiting in a stand-in
// call leaves it, a thread running product code leaves at its next stand-in
// call, and none of them returns into product code again; each ends with
// ExitCode. A thread inside a synchronous request stops once the request
// completes. Returns when each has ended or waits in such a request; after
// 10 s of real time it names the threads that did not stop and aborts.
NTSTATUS HostPsStopThreads(PEPROCESS Process, ULONG ExitCode);
// Stand-in threads not yet ended, of Process (NULL: of every process).
ULONG HostPsThreadCount(PEPROCESS Process);
// Closes every handle of Process without ending it; returns how many.
ULONG HostPsCloseHandles(PEPROCESS Process);

// Outstanding (issued, not completed) requests and open handles of Process.
ULONG HostPsOutstandingRequests(PEPROCESS Process);
ULONG HostPsHandleCount(PEPROCESS Process);
BOOLEAN HostPsProcessEnded(PEPROCESS Process);

// Registered process-notify routines.
ULONG HostPsNotifyRoutineCount(VOID);

NT_EXTERN_C_END
