// Test controls of the process stand-in. A process is a client context: an
// id, a handle table, threads and the requests its threads issued. Every
// host thread runs in one current process; threads that never chose one run
// in the default process, which cannot end.
#pragma once

#include "nt/ps.h"

NT_EXTERN_C_BEGIN

PEPROCESS HostPsDefaultProcess(VOID);

// Creates a process whose parent is the caller's current process and runs the
// create-notify routines (Create TRUE) in the calling thread.
NTSTATUS HostPsCreateProcess(PEPROCESS* Process);

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
// STATUS_SUCCESS is returned; the PEPROCESS stays valid as an ended process.
// STATUS_ACCESS_DENIED for the default process, STATUS_PROCESS_IS_TERMINATING
// when it had already ended. PASSIVE_LEVEL.
NTSTATUS HostPsTerminateProcess(PEPROCESS Process);

// Outstanding (issued, not completed) requests and open handles of Process.
ULONG HostPsOutstandingRequests(PEPROCESS Process);
ULONG HostPsHandleCount(PEPROCESS Process);
BOOLEAN HostPsProcessEnded(PEPROCESS Process);

// Registered process-notify routines.
ULONG HostPsNotifyRoutineCount(VOID);

NT_EXTERN_C_END
