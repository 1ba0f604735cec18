// Shared between the kernel-core stand-in's source files. Not a product
// header.
#pragma once

#include "nt/ke.h"

namespace host_ke {

// The calling thread's IRQL and the number of spin locks it holds.
KIRQL CurrentIrql();
void SetIrql(KIRQL irql);
int HeldSpinLocks();
void ResetThreadState();

// Marks the calling thread as the DPC thread (DISPATCH_LEVEL).
void EnterDpcThread();
bool IsDpcThread();

// Finds a queued timer or DPC whose record overlaps [begin, end).
// kind: 0 timer, 2 DPC (the TIMER_OR_DPC_INVALID parameter values).
bool FindQueuedObject(ULONG_PTR begin, ULONG_PTR end, ULONG* kind, PVOID* object);

}  // namespace host_ke
