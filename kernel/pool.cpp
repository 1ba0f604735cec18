#include "pool.h"
#include "deliverable_base.h"

PVOID PoolAllocate(ULONG size)
{
    return ExAllocatePoolWithTag(NonPagedPool, size, POOL_TAG);
}

VOID PoolFree(PVOID block)
{
    ExFreePool(block);
}

// The shared list and start-up code allocate from the pool in tonkern.
PVOID ModuleAllocate(ULONG size)
{
    return PoolAllocate(size);
}

VOID ModuleFree(PVOID block)
{
    PoolFree(block);
}
