// The one-shot kernel timer that drives the conduit's tick.
#pragma once

#include <ntddk.h>

typedef VOID CONDUIT_TIMER_CALLBACK(PVOID context);

// Lifetime rule: the KTIMER and KDPC are allocated by the first Open and kept
// until Destroy, not freed by Close. Close runs at DISPATCH_LEVEL inside a
// request, where it cannot wait for a DPC routine already running on another
// processor; that routine still holds (and may re-arm) these objects, so they
// live as long as the timer itself. The owner's callback decides under its
// own lock whether a DPC is stale (the timer closed meanwhile) and then
// neither works nor re-arms.
//
// Quiescence without KeFlushQueuedDpcs (which NT 4.0 and 2000 lack): every
// arming counts one delivery in deliveries until exactly one of these ends
// it: KeCancelTimer takes the timer out of the queue, KeRemoveQueueDpc takes
// its DPC out of the DPC queue, or the DPC routine returns from the
// callback. Arm first removes a queued DPC, so two armings never share one
// queued DPC. The owner's bias keeps the count above 0 until Destroy drops
// it; whoever ends the last delivery after that sets quiet.
struct ConduitTimer {
    // The open state and the kernel objects are guarded by the owner's lock
    // (the conduit's engine lock); callback and context never change once
    // installed.
    bool open;
    PKDPC dpc;                          // null until the first Open
    PKTIMER ktimer;                     // null until the first Open
    CONDUIT_TIMER_CALLBACK* callback;   // called from the DPC at DISPATCH_LEVEL
    PVOID context;
    LONG deliveries;    // interlocked: deliveries to come or running, + 1 until Destroy
    KEVENT quiet;       // set once Destroy has begun and deliveries is 0

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
    // One delivery is over (see above); the last one after Destroy began
    // sets quiet. The caller touches the timer no more.
    VOID EndDelivery();
    // PASSIVE_LEVEL, once nothing can open or arm the timer any more: cancel,
    // wait until no DPC routine of it runs or is to come, free the objects.
    VOID Destroy();
};
