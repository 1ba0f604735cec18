// A kernel spin lock that remembers the IRQL its holder came from, so only
// the holder may release it. Not re-entrant.
#pragma once

#include <ntddk.h>

struct SpinLock {
    KSPIN_LOCK lock;
    KIRQL savedIrql;    // written by the holder only, while it holds lock

    VOID Initialise();
    // Raises to DISPATCH_LEVEL; callable at or below DISPATCH_LEVEL.
    VOID Acquire();
    // Returns to the IRQL saved by Acquire.
    VOID Release();
};
