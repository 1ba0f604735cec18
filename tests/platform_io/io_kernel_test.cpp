// The kernel side: packets a test completes, cancellation, the namespace,
// driver images, failure injection and probing of callers' memory.
#include <sys/mman.h>

#include <vector>

#include "io_fixture.h"

namespace {

struct BugChecks {
    std::vector<ULONG> codes;
    std::vector<ULONG_PTR> firstParameters;
};

VOID RecordBugCheck(PVOID context, ULONG code, ULONG_PTR p1, ULONG_PTR, ULONG_PTR, ULONG_PTR)
{
    auto* checks = static_cast<BugChecks*>(context);
    checks->codes.push_back(code);
    checks->firstParameters.push_back(p1);
}

class IoKernel : public ::testing::Test {
protected:
    void SetUp() override
    {
        HostKeReset(HostKeClockVirtual, 0);
        HostIoFailReset();
    }
    void TearDown() override
    {
        HostKeSetBugCheckHandler(nullptr, nullptr);
        HostIoFailReset();
        EXPECT_EQ(HostIoDeviceCount(nullptr), 0u);
        EXPECT_EQ(HostIoSymbolicLinkCount(), 0u);
    }
};

TEST_F(IoKernel, CompletionMisuseBugChecks)
{
    BugChecks checks;
    HostKeSetBugCheckHandler(RecordBugCheck, &checks);
    PIRP irp = HostIoAllocateTestIrp(IRP_MJ_READ, nullptr, nullptr);
    irp->IoStatus.Status = STATUS_PENDING;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoSetCancelRoutine(irp, nullptr);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ASSERT_EQ(checks.codes.size(), 3u);
    EXPECT_EQ(checks.codes[0], ULONG(DRIVER_VERIFIER_IOMANAGER_VIOLATION));
    EXPECT_EQ(checks.firstParameters[0], ULONG_PTR(HOST_IO_VIOLATION_PENDING_STATUS));
    EXPECT_EQ(checks.codes[1], ULONG(DRIVER_VERIFIER_IOMANAGER_VIOLATION));
    EXPECT_EQ(checks.firstParameters[1], ULONG_PTR(HOST_IO_VIOLATION_CANCEL_ROUTINE));
    EXPECT_EQ(checks.codes[2], ULONG(MULTIPLE_IRP_COMPLETE_REQUESTS));
    IoFreeIrp(irp);
}

// A kernel-mode mapping that cannot be made stops NT in MmMapLockedPages;
// MmMapLockedPagesSpecifyCache without BugCheckOnFailure gives NULL.
TEST_F(IoKernel, FailedMappingBugChecksUnlessAskedNotTo)
{
    BugChecks checks;
    HostKeSetBugCheckHandler(RecordBugCheck, &checks);
    char buffer[64];
    PMDL mdl = IoAllocateMdl(buffer, sizeof(buffer), FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    HostIoFailAlways(HostIoFailMapLockedPages, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE,
                                           NormalPagePriority),
              nullptr);
    EXPECT_TRUE(checks.codes.empty());
    EXPECT_EQ(MmMapLockedPages(mdl, KernelMode), nullptr);
    ASSERT_EQ(checks.codes.size(), 1u);
    EXPECT_EQ(checks.codes[0], ULONG(NO_MORE_SYSTEM_PTES));
    IoFreeMdl(mdl);
}

// The kernel's exports by version: an image importing a routine NT 4.0
// lacks does not load under NT 4.0 to XP, and loads from Vista on.
TEST_F(IoKernel, ImageImportingALaterRoutineLoadsOnlyWhereTheKernelHasIt)
{
    constexpr const char* later = "\\SystemRoot\\System32\\Drivers\\iotest_later.sys";
    PDRIVER_OBJECT driver = reinterpret_cast<PDRIVER_OBJECT>(1);
    EXPECT_EQ(HostIoLoadDriverA(later, kRegistry, &driver), STATUS_DRIVER_ENTRYPOINT_NOT_FOUND);
    EXPECT_EQ(driver, nullptr);
    HostSetWindowsVersion(HostWindowsVistaAndLater);
    EXPECT_EQ(HostIoLoadDriverA(later, kRegistry, &driver), STATUS_SUCCESS);
    HostSetWindowsVersion(HostWindowsNt4ToXp);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(HostIoUnloadDriver(driver, nullptr), STATUS_SUCCESS);
}

struct CancelSeen {
    int calls = 0;
    KIRQL irqlInside = 0;
    BOOLEAN cancelFlag = FALSE;
};
CancelSeen* cancelSeen;

VOID NTAPI TestCancel(PDEVICE_OBJECT, PIRP irp)
{
    cancelSeen->calls++;
    cancelSeen->irqlInside = KeGetCurrentIrql();
    cancelSeen->cancelFlag = irp->Cancel;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

TEST_F(IoKernel, CancelCallsTheRoutineOnceUnderTheCancelLock)
{
    CancelSeen seen;
    cancelSeen = &seen;
    PIRP irp = HostIoAllocateTestIrp(IRP_MJ_READ, nullptr, nullptr);
    EXPECT_EQ(IoSetCancelRoutine(irp, TestCancel), nullptr);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.irqlInside, DISPATCH_LEVEL);
    EXPECT_TRUE(seen.cancelFlag);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    HOST_IO_TEST_IRP_RESULT result;
    HostIoGetTestIrpResult(irp, &result);
    EXPECT_EQ(result.Status, STATUS_CANCELLED);
    IoFreeIrp(irp);

    // Without a routine: FALSE, but the packet is marked cancelled.
    irp = HostIoAllocateTestIrp(IRP_MJ_READ, nullptr, nullptr);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    EXPECT_EQ(seen.calls, 1);
    IoFreeIrp(irp);
}

TEST_F(IoKernel, ProbesRefuseSystemSpaceForUserModeAndNeverFault)
{
    alignas(16) UCHAR user[64] = {1, 2, 3};
    PVOID pool = ExAllocatePoolWithTag(NonPagedPool, 64, IOTEST_POOL_TAG);
    PIRP irp = HostIoAllocateTestIrp(IRP_MJ_READ, nullptr, nullptr);
    void* noAccess = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    void* readOnly = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(noAccess, MAP_FAILED);
    ASSERT_NE(readOnly, MAP_FAILED);
    auto* global = static_cast<UCHAR*>(GlobalAlloc(GMEM_FIXED, 64));

    struct Case {
        const char* what;
        void* address;
        SIZE_T length;
        ULONG alignment;
        KPROCESSOR_MODE mode;
        NTSTATUS read;
        NTSTATUS write;
    } cases[] = {
        {"user stack", user, 64, 1, UserMode, STATUS_SUCCESS, STATUS_SUCCESS},
        {"user heap below 4 GiB", global, 64, 4, UserMode, STATUS_SUCCESS, STATUS_SUCCESS},
        {"pool from user mode", pool, 64, 1, UserMode, STATUS_ACCESS_VIOLATION,
         STATUS_ACCESS_VIOLATION},
        {"pool from kernel mode", pool, 64, 1, KernelMode, STATUS_SUCCESS, STATUS_SUCCESS},
        {"an IRP from user mode", irp, 8, 1, UserMode, STATUS_ACCESS_VIOLATION,
         STATUS_ACCESS_VIOLATION},
        {"ntoskrnl's code", reinterpret_cast<void*>(&IofCompleteRequest), 4, 1, UserMode,
         STATUS_ACCESS_VIOLATION, STATUS_ACCESS_VIOLATION},
        {"no access", noAccess, 16, 1, UserMode, STATUS_ACCESS_VIOLATION,
         STATUS_ACCESS_VIOLATION},
        {"no access, kernel mode", noAccess, 16, 1, KernelMode, STATUS_ACCESS_VIOLATION,
         STATUS_ACCESS_VIOLATION},
        {"read-only", readOnly, 16, 1, UserMode, STATUS_SUCCESS, STATUS_ACCESS_VIOLATION},
        {"unmapped page zero", reinterpret_cast<void*>(64), 16, 1, UserMode,
         STATUS_ACCESS_VIOLATION, STATUS_ACCESS_VIOLATION},
        {"wrapping range", reinterpret_cast<void*>(~ULONG_PTR(7)), 16, 1, UserMode,
         STATUS_ACCESS_VIOLATION, STATUS_ACCESS_VIOLATION},
        {"misaligned", user + 1, 8, 4, UserMode, STATUS_DATATYPE_MISALIGNMENT,
         STATUS_DATATYPE_MISALIGNMENT},
        {"zero length anywhere", noAccess, 0, 1, UserMode, STATUS_SUCCESS, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(HostSeProbeForRead(c.address, c.length, c.alignment, c.mode), c.read);
        EXPECT_EQ(HostSeProbeForWrite(c.address, c.length, c.alignment, c.mode), c.write);
    }
    EXPECT_EQ(user[1], 2);   // probing for write leaves the contents alone

    UCHAR copy[64] = {};
    EXPECT_EQ(HostSeCopyFromCaller(copy, user, 64, UserMode), STATUS_SUCCESS);
    EXPECT_EQ(copy[2], 3);
    EXPECT_EQ(HostSeCopyFromCaller(copy, noAccess, 64, UserMode), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(HostSeCopyFromCaller(copy, pool, 64, UserMode), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(HostSeCopyToCaller(readOnly, copy, 8, UserMode), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(HostSeCopyToCaller(pool, copy, 8, UserMode), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(HostSeCopyToCaller(pool, copy, 8, KernelMode), STATUS_SUCCESS);
    EXPECT_EQ(HostSeCopyToCaller(global, copy, 64, UserMode), STATUS_SUCCESS);
    EXPECT_EQ(global[2], 3);
    EXPECT_TRUE(HostSeIsSystemAddress(pool, 1));
    EXPECT_FALSE(HostSeIsSystemAddress(global, 64));

    GlobalFree(global);
    munmap(noAccess, 4096);
    munmap(readOnly, 4096);
    IoFreeIrp(irp);
    ExFreePool(pool);
}

}  // namespace
