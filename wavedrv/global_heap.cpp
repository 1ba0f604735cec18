#include "deliverable_base.h"

// GMEM_FIXED: the handle is the block, and GlobalLock returns it. Freeing goes
// back through GlobalHandle, so that the pair stays right for any heap block.
PVOID ModuleAllocate(ULONG size)
{
    HGLOBAL handle = GlobalAlloc(GMEM_FIXED, size);
    if (handle == nullptr) {
        return nullptr;
    }
    PVOID block = GlobalLock(handle);
    if (block == nullptr) {
        GlobalFree(handle);
    }
    return block;
}

VOID ModuleFree(PVOID block)
{
    if (block == nullptr) {
        return;
    }
    HGLOBAL handle = GlobalHandle(block);
    GlobalUnlock(handle);
    GlobalFree(handle);
}
