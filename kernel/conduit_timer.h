// The one-shot kernel timer that drives the conduit's tick.
#pragma once

#include <ntddk.h>

typedef VOID CONDUIT_TIMER_CALLBACK(PVOID context, ULONG value);

// Lifetime rule: the KTIMER and KDPC are allocated by the first Open and kept
// until Destroy, not freed by Close. Close runs at DISPATCH_LEVEL inside a
// request, where it cannot wait for a DPC routine already running on another
// processor; that routine still holds (and may re-arm) these objects, so they
// live as long as the timer itself. The owner's callback decides under its
// own lock whether a DPC is stale (the timer closed meanwhile) and then
// neither works nor re-arms. Destroy cancels, flushes queued DPCs at
// PASSIVE_LEVEL and only then frees.
struct ConduitTimer {
    // Open state and the kernel objects are guarded by the owner's lock
    // (the conduit's engine lock); callback and context never change once
    // installed.
    ULONG openCount;                    // 0 closed, 1 open
    PKDPC dpc;                          // null until the first Open
    PKTIMER ktimer;                     // null until the first Open
    CONDUIT_TIMER_CALLBACK* callback;   // called from the DPC at DISPATCH_LEVEL
    PVOID context;

    VOID Initialise(CONDUIT_TIMER_CALLBACK* routine, PVOID routineContext);
    // True when this call opened the timer (it was closed and the kernel
    // objects exist). Any IRQL up to DISPATCH_LEVEL.
    bool Open();
    // Cancels and closes; the kernel objects stay for Destroy.
    VOID Close();
    // One-shot expiry after ms milliseconds. True when the timer was not
    // already pending. Only while open.
    bool Arm(ULONG ms);
    // Cancels a pending expiry and removes a DPC that is queued but not yet
    // running. A routine already running elsewhere is not waited for.
    VOID Cancel();
    // PASSIVE_LEVEL, once nothing can open or arm the timer any more: cancel,
    // flush queued DPCs, free the kernel objects.
    VOID Destroy();
};
