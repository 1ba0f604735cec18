// Non-paged pool for every object of tonkern: the engine touches its memory
// at DISPATCH_LEVEL. Blocks are not zero-filled; callers test for null.
#pragma once

#include <ntddk.h>

// "Ddk " as the pool shows it: the bytes 'D', 'd', 'k', ' '.
constexpr ULONG POOL_TAG = 0x206B6444;

PVOID PoolAllocate(ULONG size);
VOID PoolFree(PVOID block);
