// Host stand-in: processes and threads as drivers see them. A process is a
// client context with its own id, handle table and threads; each host thread
// has a current process (the default process unless a test chose another).
#pragma once

#include "nt/ntdef.h"

typedef struct _EPROCESS* PEPROCESS;
typedef struct _ETHREAD* PETHREAD;
typedef PEPROCESS PKPROCESS;

typedef VOID(NTAPI* PCREATE_PROCESS_NOTIFY_ROUTINE)(IN HANDLE ParentId, IN HANDLE ProcessId,
                                                    IN BOOLEAN Create);

NT_EXTERN_C_BEGIN

NTKERNELAPI HANDLE NTAPI PsGetCurrentProcessId(VOID);
NTKERNELAPI HANDLE NTAPI PsGetCurrentThreadId(VOID);
NTKERNELAPI PEPROCESS NTAPI IoGetCurrentProcess(VOID);
NTKERNELAPI PETHREAD NTAPI PsGetCurrentThread(VOID);
NTKERNELAPI HANDLE NTAPI PsGetProcessId(IN PEPROCESS Process);

// Up to 8 routines, as NT 4 to XP allow; STATUS_INVALID_PARAMETER when full
// or when the routine is registered already,
// STATUS_PROCEDURE_NOT_FOUND when removing one that is not registered.
// Routines run at PASSIVE_LEVEL: Create TRUE in the creating thread, FALSE in
// the context of the ending process.
NTKERNELAPI NTSTATUS NTAPI PsSetCreateProcessNotifyRoutine(
    IN PCREATE_PROCESS_NOTIFY_ROUTINE NotifyRoutine, IN BOOLEAN Remove);

NT_EXTERN_C_END

#define PsGetCurrentProcess IoGetCurrentProcess

#ifndef STATUS_PROCEDURE_NOT_FOUND
#define STATUS_PROCEDURE_NOT_FOUND ((NTSTATUS)0xC000007AL)
#endif
