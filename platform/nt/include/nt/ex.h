// Host stand-in: executive pool services, declared as the DDK declares them.
#pragma once

#include "nt/ntdef.h"

typedef enum _POOL_TYPE {
    NonPagedPool,
    NonPagedPoolExecute = NonPagedPool,
    PagedPool,
    NonPagedPoolMustSucceed = NonPagedPool + 2,
    DontUseThisType,
    NonPagedPoolCacheAligned = NonPagedPool + 4,
    PagedPoolCacheAligned,
    NonPagedPoolCacheAlignedMustS = NonPagedPool + 6,
    MaxPoolType
} POOL_TYPE;

NT_EXTERN_C_BEGIN

// Blocks lie below 4 GiB on the host and are not zero-filled.
NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(IN POOL_TYPE PoolType, IN SIZE_T NumberOfBytes,
                                              IN ULONG Tag);
NTKERNELAPI PVOID NTAPI ExAllocatePool(IN POOL_TYPE PoolType, IN SIZE_T NumberOfBytes);
NTKERNELAPI VOID NTAPI ExFreePool(IN PVOID P);
NTKERNELAPI VOID NTAPI ExFreePoolWithTag(IN PVOID P, IN ULONG Tag);

NT_EXTERN_C_END
