// Test controls of the kernel-core stand-in: clock, timers, DPC thread and
// bug checks. Names use the Host prefix so no Windows header clashes.
#pragma once

#include "nt/ke.h"

typedef enum _HOST_KE_CLOCK_MODE {
    // Time moves only through HostKeAdvanceClock / HostKeSetTime.
    HostKeClockVirtual,
    // Time follows CLOCK_MONOTONIC; a timer thread fires due timers.
    HostKeClockReal
} HOST_KE_CLOCK_MODE;

// Observes a bug check. If it returns, KeBugCheckEx returns to the failing
// service, which then returns without doing its work.
typedef VOID HOST_KE_BUGCHECK_HANDLER(PVOID Context, ULONG BugCheckCode, ULONG_PTR Parameter1,
                                      ULONG_PTR Parameter2, ULONG_PTR Parameter3,
                                      ULONG_PTR Parameter4);
typedef HOST_KE_BUGCHECK_HANDLER* PHOST_KE_BUGCHECK_HANDLER;

NT_EXTERN_C_BEGIN

// Puts the stand-in into a known state: waits for running DPCs, drops every
// queued timer and DPC (they become not-inserted), selects the clock mode and
// sets the interrupt time to StartTime (100-ns units; virtual mode) or keeps
// following the monotonic clock from StartTime (real mode). Also restores
// the calling thread to PASSIVE_LEVEL. Call at PASSIVE_LEVEL, from a test
// thread, with no product code running concurrently.
VOID HostKeReset(HOST_KE_CLOCK_MODE Mode, ULONGLONG StartTime);

HOST_KE_CLOCK_MODE HostKeGetClockMode(VOID);

// Virtual mode: moves time forward by Interval (100-ns units). Each timer due
// on the way fires in due-time order (ties in set order): time steps to its
// due time, its DPC is queued, and the call waits until the DPC queue is idle
// before looking for the next timer. A DPC that re-arms its timer therefore
// fires again within the same advance if the new due time is inside it.
// Returns the number of timers that fired. PASSIVE_LEVEL, not from a DPC.
ULONG HostKeAdvanceClock(ULONGLONG Interval);
ULONG HostKeAdvanceClockMs(ULONG Milliseconds);

// Virtual mode: sets the interrupt time without firing timers (for instance
// just below a 32-bit boundary of the tick count). Only forward moves fire
// timers, through HostKeAdvanceClock. Timers stay queued with their due times.
VOID HostKeSetTime(ULONGLONG Time);
// Virtual mode: sets time so that the tick count equals TickCount.
VOID HostKeSetTickCount(ULONGLONG TickCount);

// Current interrupt time (100-ns units) and the tick count it publishes.
ULONGLONG HostKeQueryTime(VOID);
ULONGLONG HostKeQueryTickCount(VOID);

// Number of timers in the timer queue and DPCs in the DPC queue.
ULONG HostKeQueuedTimers(VOID);
ULONG HostKeQueuedDpcs(VOID);
// Due time of the earliest queued timer; FALSE when there is none.
BOOLEAN HostKeNextDueTime(PULONGLONG DueTime);

// Waits until the DPC queue is empty and no DPC routine runs.
// PASSIVE_LEVEL, not from a DPC.
VOID HostKeWaitDpcIdle(VOID);

// TRUE on the stand-in's DPC thread.
BOOLEAN HostKeIsDpcThread(VOID);

// Installs a handler (NULL restores the default: print and abort) and returns
// the previous one. Context is passed to the handler.
PHOST_KE_BUGCHECK_HANDLER HostKeSetBugCheckHandler(PHOST_KE_BUGCHECK_HANDLER Handler,
                                                   PVOID Context);

// Sets the calling thread's IRQL without checks (to repair a thread after a
// test provoked a bug check on purpose).
VOID HostKeSetCurrentIrql(KIRQL Irql);

// Stops the DPC and timer threads (joined). They start again on demand.
// Called automatically at process exit.
VOID HostKeShutdown(VOID);

NT_EXTERN_C_END

// 100-ns units per millisecond and per tick.
#define HOST_KE_UNITS_PER_MS 10000ULL
#define HOST_KE_TIME_INCREMENT 156250UL
