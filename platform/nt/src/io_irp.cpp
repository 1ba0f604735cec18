// I/O request packets: allocation, IofCallDriver, IofCompleteRequest with
// completion routines, cancellation with the cancel spin lock, and packets
// a test drives directly.
#include <new>

#include "host/ke_control.h"
#include "io_internal.h"

namespace host_io {
namespace {

// Guards IRP.Cancel/CancelRoutine hand-over, as NT's cancel spin lock.
KSPIN_LOCK cancelSpinLock = 0;

size_t IrpAllocationSize(CCHAR stackSize)
{
    return sizeof(IrpHost) + sizeof(IRP) + size_t(stackSize) * sizeof(IO_STACK_LOCATION);
}

PIRP NewIrp(CCHAR stackSize, IrpOrigin origin)
{
    if (stackSize < 1) {
        return nullptr;
    }
    void* memory = LowAllocate(IrpAllocationSize(stackSize), true);
    if (memory == nullptr) {
        return nullptr;
    }
    IrpHost* host = new (memory) IrpHost{};
    host->origin = origin;
    host->references.store(1, std::memory_order_relaxed);
    host->completed.store(false, std::memory_order_relaxed);
    PIRP irp = IrpOf(host);
    memset(irp, 0, sizeof(IRP) + size_t(stackSize) * sizeof(IO_STACK_LOCATION));
    irp->Type = 6;  // IO_TYPE_IRP
    irp->Size = IoSizeOfIrp(stackSize);
    irp->StackCount = stackSize;
    irp->CurrentLocation = CCHAR(stackSize + 1);
    irp->ApcEnvironment = 0;
    irp->ThreadListEntry.Flink = &irp->ThreadListEntry;
    irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
    irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
    return irp;
}

void DeleteIrp(IrpHost* host)
{
    host->~IrpHost();
    LowFree(host);
}

// The stack unwinds from the current location upwards, each completion
// routine running with the IRP's current location set to its caller's.
// Returns FALSE when a routine took the packet back.
bool UnwindStack(PIRP irp)
{
    while (irp->CurrentLocation <= irp->StackCount) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
        irp->CurrentLocation++;
        irp->Tail.Overlay.CurrentStackLocation++;
        UCHAR control = location->Control;
        PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
        PVOID context = location->Context;
        NTSTATUS status = irp->IoStatus.Status;
        bool invoke = routine != nullptr &&
                      ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                       (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                       (__atomic_load_n(&irp->Cancel, __ATOMIC_RELAXED) &&
                        (control & SL_INVOKE_ON_CANCEL)));
        // The location is spent; as NT, only the fields up to Control are
        // kept for the last (top) one so that observers can read them.
        location->CompletionRoutine = nullptr;
        location->Context = nullptr;
        location->Control = 0;
        if (invoke) {
            PDEVICE_OBJECT device = irp->CurrentLocation == irp->StackCount + 1
                                        ? nullptr
                                        : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
            if (routine(device, irp, context) == STATUS_MORE_PROCESSING_REQUIRED) {
                return false;
            }
        } else if (irp->CurrentLocation <= irp->StackCount && irp->PendingReturned) {
            IoMarkIrpPending(irp);
        }
    }
    return true;
}

}  // namespace

IrpHost* HostOf(PIRP irp)
{
    return reinterpret_cast<IrpHost*>(irp) - 1;
}

PIRP IrpOf(IrpHost* host)
{
    return reinterpret_cast<PIRP>(host + 1);
}

PIRP AllocateUserIrp(CCHAR stackSize, bool injectable)
{
    NTSTATUS ignored;
    if (injectable && InjectFailure(HostIoFailAllocateIrp, &ignored)) {
        return nullptr;
    }
    PIRP irp = NewIrp(stackSize, IrpOrigin::User);
    if (irp != nullptr) {
        irp->RequestorMode = UserMode;
    }
    return irp;
}

void ReleaseUserIrp(IrpHost* host)
{
    if (host->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        DeleteIrp(host);
    }
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp)
{
    UNREFERENCED_PARAMETER(device);
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace host_io

using namespace host_io;

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    UNREFERENCED_PARAMETER(ChargeQuota);
    NTSTATUS ignored;
    if (InjectFailure(HostIoFailAllocateIrp, &ignored)) {
        return nullptr;
    }
    return NewIrp(StackSize, IrpOrigin::Driver);
}

VOID NTAPI IoFreeIrp(PIRP Irp)
{
    IrpHost* host = HostOf(Irp);
    if (host->origin == IrpOrigin::User) {
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, HOST_IO_VIOLATION_FREE_LIVE_IRP,
                     reinterpret_cast<ULONG_PTR>(Irp), 0, 0);
        return;
    }
    DeleteIrp(host);
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, HOST_IO_VIOLATION_WRONG_IRQL,
                     reinterpret_cast<ULONG_PTR>(Irp), KeGetCurrentIrql(), 0);
        return STATUS_INVALID_DEVICE_STATE;
    }
    IoSetNextIrpStackLocation(Irp);
    if (Irp->CurrentLocation <= 0) {
        KeBugCheckEx(0x35 /* NO_MORE_IRP_STACK_LOCATIONS */, reinterpret_cast<ULONG_PTR>(Irp),
                     0, 0, 0);
        return STATUS_INVALID_DEVICE_STATE;
    }
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    location->DeviceObject = DeviceObject;
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    DriverHost* previous = SetCurrentDriver(DriverOf(driver));
    NTSTATUS status = driver->MajorFunction[location->MajorFunction](DeviceObject, Irp);
    SetCurrentDriver(previous);
    return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    UNREFERENCED_PARAMETER(PriorityBoost);
    IrpHost* host = HostOf(Irp);
    if (Irp->CurrentLocation > Irp->StackCount + 1 || Irp->Type != 6 ||
        host->completed.load(std::memory_order_acquire)) {
        KeBugCheckEx(MULTIPLE_IRP_COMPLETE_REQUESTS, reinterpret_cast<ULONG_PTR>(Irp), 0, 0, 0);
        return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, HOST_IO_VIOLATION_PENDING_STATUS,
                     reinterpret_cast<ULONG_PTR>(Irp), 0, 0);
        return;
    }
    // IoCancelIrp may exchange the routine concurrently: read it as it does.
    PDRIVER_CANCEL cancelRoutine = __atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE);
    if (cancelRoutine != nullptr) {
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, HOST_IO_VIOLATION_CANCEL_ROUTINE,
                     reinterpret_cast<ULONG_PTR>(Irp),
                     reinterpret_cast<ULONG_PTR>(cancelRoutine), 0);
        return;
    }
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, HOST_IO_VIOLATION_WRONG_IRQL,
                     reinterpret_cast<ULONG_PTR>(Irp), KeGetCurrentIrql(), 0);
        return;
    }
    if (!UnwindStack(Irp)) {
        return;
    }
    switch (host->origin) {
    case IrpOrigin::User:
        host->completed.store(true, std::memory_order_release);
        CompleteUserRequest(Irp);
        return;
    case IrpOrigin::Test:
        host->result.Completed = TRUE;
        host->result.PendingReturned = Irp->PendingReturned;
        host->result.OnDpcThread = HostKeIsDpcThread();
        host->result.Irql = KeGetCurrentIrql();
        host->result.Status = Irp->IoStatus.Status;
        host->result.Information = Irp->IoStatus.Information;
        host->completed.store(true, std::memory_order_release);
        if (host->observer != nullptr) {
            host->observer(host->observerContext, Irp, Irp->IoStatus.Status,
                           Irp->IoStatus.Information, KeGetCurrentIrql());
        }
        return;
    case IrpOrigin::Driver:
        // A driver's own packet without a routine that takes it back: the
        // driver frees it once it sees it completed.
        host->completed.store(true, std::memory_order_release);
        return;
    }
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql)
{
    *Irql = KfAcquireSpinLock(&cancelSpinLock);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql)
{
    KfReleaseSpinLock(&cancelSpinLock, Irql);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    // Also read outside the lock by the completion path, as on NT.
    __atomic_store_n(&Irp->Cancel, BOOLEAN(TRUE), __ATOMIC_RELAXED);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    // The routine releases the cancel spin lock with CancelIrql.
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                                ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                : nullptr;
    DriverHost* previous = SetCurrentDriver(device != nullptr ? DriverOf(device->DriverObject)
                                                              : CurrentDriver());
    routine(device, Irp);
    SetCurrentDriver(previous);
    return TRUE;
}

PIRP HostIoAllocateTestIrp(UCHAR MajorFunction, PHOST_IO_COMPLETION_OBSERVER Observer,
                           PVOID Context)
{
    PIRP irp = NewIrp(1, IrpOrigin::Test);
    if (irp == nullptr) {
        return nullptr;
    }
    IrpHost* host = HostOf(irp);
    host->observer = Observer;
    host->observerContext = Context;
    irp->RequestorMode = UserMode;
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->MajorFunction = MajorFunction;
    return irp;
}

BOOLEAN HostIoGetTestIrpResult(PIRP Irp, PHOST_IO_TEST_IRP_RESULT Result)
{
    IrpHost* host = HostOf(Irp);
    if (host->origin != IrpOrigin::Test) {
        return FALSE;
    }
    if (host->completed.load(std::memory_order_acquire)) {
        *Result = host->result;
    } else {
        *Result = HOST_IO_TEST_IRP_RESULT{};
    }
    return TRUE;
}

}  // extern "C"
