#include "spin_lock.h"

VOID SpinLock::Initialise()
{
    KeInitializeSpinLock(&lock);
    savedIrql = PASSIVE_LEVEL;
}

VOID SpinLock::Acquire()
{
    savedIrql = KfAcquireSpinLock(&lock);
}

VOID SpinLock::Release()
{
    KfReleaseSpinLock(&lock, savedIrql);
}
