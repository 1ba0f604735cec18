// Host stand-in: memory descriptor lists and their system mappings, declared
// as the DDK declares them. Every system address the stand-in hands out for an
// MDL lies below 4 GiB: the caller's own memory when it already does (true
// direct I/O), else a system-space copy kept by the I/O manager.
#pragma once

#include "nt/ntdef.h"

#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12L

#define BYTE_OFFSET(Va) ((ULONG)((LONG_PTR)(Va) & (PAGE_SIZE - 1)))
#define PAGE_ALIGN(Va) ((PVOID)((ULONG_PTR)(Va) & ~(ULONG_PTR)(PAGE_SIZE - 1)))
#define ADDRESS_AND_SIZE_TO_SPAN_PAGES(Va, Size) \
    ((ULONG)((((ULONG_PTR)(Va) & (PAGE_SIZE - 1)) + (Size) + (PAGE_SIZE - 1)) >> PAGE_SHIFT))

struct _EPROCESS;

typedef struct _MDL {
    struct _MDL* Next;
    CSHORT Size;
    CSHORT MdlFlags;
    struct _EPROCESS* Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
} MDL, *PMDL;

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#define MDL_PARTIAL 0x0010
#define MDL_PARTIAL_HAS_BEEN_MAPPED 0x0020
#define MDL_IO_PAGE_READ 0x0040
#define MDL_WRITE_OPERATION 0x0080

// Raised when a kernel-mode mapping (MmMapLockedPages) cannot be made.
#define NO_MORE_SYSTEM_PTES 0x0000003F

typedef enum _LOCK_OPERATION { IoReadAccess, IoWriteAccess, IoModifyAccess } LOCK_OPERATION;

typedef enum _MEMORY_CACHING_TYPE {
    MmNonCached = 0,
    MmCached = 1,
    MmWriteCombined = 2,
    MmHardwareCoherentCached,
    MmNonCachedUnordered,
    MmUSWCCached,
    MmMaximumCacheType
} MEMORY_CACHING_TYPE;

typedef enum _MM_PAGE_PRIORITY {
    LowPagePriority,
    NormalPagePriority = 16,
    HighPagePriority = 32
} MM_PAGE_PRIORITY;

NT_EXTERN_C_BEGIN

// Kernel-mode mappings only: a UserMode request returns NULL on the host.
// The result (and MappedSystemVa afterwards) lies below 4 GiB. A mapping that
// cannot be made bug-checks (NO_MORE_SYSTEM_PTES) for MmMapLockedPages and
// for BugCheckOnFailure; otherwise it gives NULL.
NTKERNELAPI PVOID NTAPI MmMapLockedPages(IN PMDL MemoryDescriptorList,
                                         IN KPROCESSOR_MODE AccessMode);
NTKERNELAPI PVOID NTAPI MmMapLockedPagesSpecifyCache(IN PMDL MemoryDescriptorList,
                                                     IN KPROCESSOR_MODE AccessMode,
                                                     IN MEMORY_CACHING_TYPE CacheType,
                                                     IN PVOID RequestedAddress OPTIONAL,
                                                     IN ULONG BugCheckOnFailure,
                                                     IN ULONG Priority);
NTKERNELAPI VOID NTAPI MmUnmapLockedPages(IN PVOID BaseAddress, IN PMDL MemoryDescriptorList);
// The MDL must describe memory below 4 GiB (pool, for instance).
NTKERNELAPI VOID NTAPI MmBuildMdlForNonPagedPool(IN OUT PMDL MemoryDescriptorList);

NT_EXTERN_C_END

#define MmGetMdlVirtualAddress(Mdl) ((PVOID)((PCHAR)((Mdl)->StartVa) + (Mdl)->ByteOffset))
#define MmGetMdlByteCount(Mdl) ((Mdl)->ByteCount)
#define MmGetMdlByteOffset(Mdl) ((Mdl)->ByteOffset)
#define MmGetMdlBaseVa(Mdl) ((Mdl)->StartVa)

#define MmGetSystemAddressForMdl(Mdl)                                                     \
    (((Mdl)->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))          \
         ? ((Mdl)->MappedSystemVa)                                                        \
         : (MmMapLockedPages((Mdl), KernelMode)))

#define MmGetSystemAddressForMdlSafe(_Mdl, _Priority)                                     \
    (((_Mdl)->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))         \
         ? (_Mdl)->MappedSystemVa                                                         \
         : (PVOID)MmMapLockedPagesSpecifyCache((_Mdl), KernelMode, MmCached, NULL, FALSE, \
                                               (_Priority)))

#ifdef __cplusplus
static_assert(sizeof(CSHORT) == 2, "MDL flags are 16-bit");
#endif
