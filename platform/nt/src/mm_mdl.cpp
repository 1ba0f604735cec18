// MDLs and their system mappings. The system address of an MDL lies below
// 4 GiB: the described memory itself when it already does, else a
// system-space copy. For the MDLs the I/O manager builds, the copy is filled
// from the caller's buffer when the request is issued and, when the device
// writes into the buffer, copied back when the request completes, before the
// caller can see the completion.
#include <new>

#include "io_internal.h"

namespace host_io {
namespace {

// MDL first, so that a PMDL is its MdlHost.
struct MdlHost {
    MDL mdl;
    PVOID shadow;          // system-space copy, or NULL
    bool deviceWrites;     // copy back at completion
    bool builtByIo;        // part of a user request
};

MdlHost* HostOfMdl(PMDL mdl)
{
    return reinterpret_cast<MdlHost*>(mdl);
}

bool BelowFourGiB(const void* address, size_t length)
{
    uintptr_t begin = reinterpret_cast<uintptr_t>(address);
    return begin + length <= (uintptr_t(1) << 32);
}

PMDL NewMdl(PVOID address, ULONG length)
{
    void* memory = LowAllocate(sizeof(MdlHost), true);
    if (memory == nullptr) {
        return nullptr;
    }
    MdlHost* host = new (memory) MdlHost{};
    PMDL mdl = &host->mdl;
    mdl->Size = CSHORT(sizeof(MDL));
    mdl->StartVa = PAGE_ALIGN(address);
    mdl->ByteOffset = BYTE_OFFSET(address);
    mdl->ByteCount = length;
    return mdl;
}

// Makes the system-space copy of an MDL's memory; FALSE when it cannot.
bool MakeShadow(MdlHost* host)
{
    PVOID address = MmGetMdlVirtualAddress(&host->mdl);
    host->shadow = LowAllocate(host->mdl.ByteCount, true);
    if (host->shadow == nullptr) {
        return false;
    }
    if (!SafeCopy(host->shadow, address, host->mdl.ByteCount)) {
        LowFree(host->shadow);
        host->shadow = nullptr;
        return false;
    }
    return true;
}

void FreeMdl(PMDL mdl, bool copyBack)
{
    MdlHost* host = HostOfMdl(mdl);
    if (host->shadow != nullptr) {
        if (copyBack) {
            // The caller's buffer may be gone by now; a failed copy is
            // dropped, as a write to freed user memory would be.
            SafeCopy(MmGetMdlVirtualAddress(mdl), host->shadow, mdl->ByteCount);
        }
        LowFree(host->shadow);
    }
    host->~MdlHost();
    LowFree(host);
}

}  // namespace

NTSTATUS BuildUserMdl(PVOID userBuffer, ULONG length, bool deviceWrites, PIRP irp)
{
    NTSTATUS status;
    if (InjectFailure(HostIoFailAllocateMdl, &status)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // MmProbeAndLockPages of a user-mode buffer: system space and memory
    // that cannot be accessed are refused with STATUS_ACCESS_VIOLATION.
    if (IsSystemRange(userBuffer, length) ||
        !(deviceWrites ? CanWrite(userBuffer, length) : CanRead(userBuffer, length))) {
        return STATUS_ACCESS_VIOLATION;
    }
    PMDL mdl = NewMdl(userBuffer, length);
    if (mdl == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    MdlHost* host = HostOfMdl(mdl);
    host->builtByIo = true;
    host->deviceWrites = deviceWrites;
    mdl->MdlFlags = MDL_PAGES_LOCKED | (deviceWrites ? MDL_WRITE_OPERATION : 0);
    mdl->Process = reinterpret_cast<struct _EPROCESS*>(CurrentProcess());
    if (!BelowFourGiB(userBuffer, length) && !MakeShadow(host)) {
        FreeMdl(mdl, false);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->MdlAddress = mdl;
    return STATUS_SUCCESS;
}

void ReleaseIrpMdls(PIRP irp)
{
    PMDL mdl = irp->MdlAddress;
    irp->MdlAddress = nullptr;
    while (mdl != nullptr) {
        PMDL next = mdl->Next;
        MdlHost* host = HostOfMdl(mdl);
        FreeMdl(mdl, host->deviceWrites || !host->builtByIo);
        mdl = next;
    }
}

}  // namespace host_io

using namespace host_io;

extern "C" {

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                         BOOLEAN ChargeQuota, PIRP Irp)
{
    UNREFERENCED_PARAMETER(ChargeQuota);
    NTSTATUS ignored;
    if (InjectFailure(HostIoFailAllocateMdl, &ignored)) {
        return nullptr;
    }
    PMDL mdl = NewMdl(VirtualAddress, Length);
    if (mdl == nullptr || Irp == nullptr) {
        return mdl;
    }
    if (!SecondaryBuffer) {
        Irp->MdlAddress = mdl;
    } else {
        PMDL* tail = &Irp->MdlAddress;
        while (*tail != nullptr) {
            tail = &(*tail)->Next;
        }
        *tail = mdl;
    }
    return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl)
{
    // A driver's own MDL of memory above 4 GiB got a copy when mapped; what
    // the driver wrote there goes back to the memory it describes.
    FreeMdl(Mdl, !HostOfMdl(Mdl)->builtByIo);
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList)
{
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                         ULONG BugCheckOnFailure, ULONG Priority)
{
    UNREFERENCED_PARAMETER(CacheType);
    UNREFERENCED_PARAMETER(RequestedAddress);
    UNREFERENCED_PARAMETER(Priority);
    PMDL mdl = MemoryDescriptorList;
    if (AccessMode != KernelMode) {
        return nullptr;
    }
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        return mdl->MappedSystemVa;
    }
    MdlHost* host = HostOfMdl(mdl);
    PVOID address = MmGetMdlVirtualAddress(mdl);
    NTSTATUS ignored;
    if (InjectFailure(HostIoFailMapLockedPages, &ignored)
        || (host->shadow == nullptr && !BelowFourGiB(address, mdl->ByteCount)
            && !MakeShadow(host))) {
        // No system PTEs: MmMapLockedPages (BugCheckOnFailure) stops the
        // system; with a handler that returns, the caller sees NULL.
        if (BugCheckOnFailure) {
            KeBugCheckEx(NO_MORE_SYSTEM_PTES, 0, mdl->ByteCount, 0, 0);
        }
        return nullptr;
    }
    mdl->MappedSystemVa = host->shadow != nullptr ? host->shadow : address;
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return mdl->MappedSystemVa;
}

PVOID NTAPI MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode)
{
    return MmMapLockedPagesSpecifyCache(MemoryDescriptorList, AccessMode, MmCached, nullptr, TRUE,
                                        NormalPagePriority);
}

VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList)
{
    UNREFERENCED_PARAMETER(BaseAddress);
    // The system-space copy stays with the MDL until it is freed, so that
    // a mapping made again sees what was written.
    MemoryDescriptorList->MdlFlags &= CSHORT(~MDL_MAPPED_TO_SYSTEM_VA);
}

}  // extern "C"
