// A small driver for testing the I/O manager stand-in: one direct-I/O device
// with a link; reads and writes complete at once, pend until a DPC, pend
// until cancelled or released, or fail, as their byte offset asks.
// Built as four images: the full one, a minimal one that handles only
// create and close, a leaky one whose unload forgets its link, and one that
// imports a routine NT 4.0 lacks (KeFlushQueuedDpcs) for the loader's check.
// The others import only what NT 4.0 exports.
#include "iotest_protocol.h"

#if defined(IOTEST_MINIMAL)
#define IOTEST_NAME u"IoTestMinimal"
constexpr bool kMinimal = true;
constexpr bool kLeaky = false;
#elif defined(IOTEST_LEAKY)
#define IOTEST_NAME u"IoTestLeaky"
constexpr bool kMinimal = false;
constexpr bool kLeaky = true;
#elif defined(IOTEST_LATER_IMPORT)
#define IOTEST_NAME u"IoTestLater"
constexpr bool kMinimal = false;
constexpr bool kLeaky = false;
#else
#define IOTEST_NAME u"IoTest"
constexpr bool kMinimal = false;
constexpr bool kLeaky = false;
#endif
#if defined(IOTEST_LATER_IMPORT)
constexpr bool kLaterImport = true;
#else
constexpr bool kLaterImport = false;
#endif

namespace {

// The log comes first: tests read it at the start of the extension.
struct DeviceExtension {
    IoTestLog log;              // guarded by lock
    KSPIN_LOCK lock;
    LIST_ENTRY dpcQueue;        // requests the DPC completes; guarded by lock
    LIST_ENTRY foreverQueue;    // requests IOTEST_IOCTL_RELEASE completes; guarded by lock
    KTIMER timer;
    KDPC dpc;
};

// This image's own count of loads: two images of this code keep two counts.
ULONG loadCount;
PDEVICE_OBJECT theDevice;
PVOID poolBlock;    // held from entry to unload, to show pool accounting

UNICODE_STRING DeviceName()
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(u"\\Device\\" IOTEST_NAME));
    return name;
}

UNICODE_STRING LinkName()
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, reinterpret_cast<PCWSTR>(u"\\DosDevices\\" IOTEST_NAME));
    return name;
}

DeviceExtension* ExtensionOf(PDEVICE_OBJECT device)
{
    return static_cast<DeviceExtension*>(device->DeviceExtension);
}

void LogEvent(DeviceExtension* extension, PIRP irp, UCHAR major)
{
    KIRQL irql = KeGetCurrentIrql();
    KIRQL old;
    KeAcquireSpinLock(&extension->lock, &old);
    IoTestLog& log = extension->log;
    if (log.eventCount < IOTEST_EVENTS) {
        log.events[log.eventCount] = major;
    }
    log.eventCount++;
    log.dispatchIrql = irql;
    log.lastRequestorMode = irp->RequestorMode;
    log.lastProcessId = PsGetCurrentProcessId();
    if (major == IRP_MJ_CREATE) {
        log.creates++;
    } else if (major == IRP_MJ_CLEANUP) {
        log.cleanups++;
    } else if (major == IRP_MJ_CLOSE) {
        log.closes++;
    }
    KeReleaseSpinLock(&extension->lock, old);
}

// Produces a read's data in the request's buffer (through its MDL).
void FillRead(PIRP irp, ULONG length)
{
    if (irp->MdlAddress == nullptr) {
        return;
    }
    PUCHAR data = static_cast<PUCHAR>(MmGetSystemAddressForMdl(irp->MdlAddress));
    for (ULONG i = 0; data != nullptr && i < length; ++i) {
        data[i] = IoTestPattern(i);
    }
}

KDEFERRED_ROUTINE CompleteQueued;

VOID NTAPI CompleteQueued(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2)
{
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    DeviceExtension* extension = static_cast<DeviceExtension*>(context);
    for (;;) {
        KeAcquireSpinLockAtDpcLevel(&extension->lock);
        PLIST_ENTRY entry = extension->dpcQueue.Flink;
        if (entry == &extension->dpcQueue) {
            KeReleaseSpinLockFromDpcLevel(&extension->lock);
            return;
        }
        entry->Blink->Flink = entry->Flink;
        entry->Flink->Blink = entry->Blink;
        extension->log.dpcCompletions++;
        KeReleaseSpinLockFromDpcLevel(&extension->lock);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        ULONG length = location->Parameters.Read.Length;
        if (location->Parameters.Read.ByteOffset.LowPart == IOTEST_PEND_FAIL_DPC) {
            irp->IoStatus.Status = STATUS_DEVICE_NOT_READY;
            irp->IoStatus.Information = 0;
        } else {
            if (location->MajorFunction == IRP_MJ_READ) {
                FillRead(irp, length);
            }
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = length;
        }
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

void Enqueue(PLIST_ENTRY head, PIRP irp)
{
    PLIST_ENTRY entry = &irp->Tail.Overlay.ListEntry;
    entry->Flink = head;
    entry->Blink = head->Blink;
    head->Blink->Flink = entry;
    head->Blink = entry;
}

DRIVER_CANCEL CancelPending;

VOID NTAPI CancelPending(PDEVICE_OBJECT device, PIRP irp)
{
    DeviceExtension* extension = ExtensionOf(device);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL old;
    KeAcquireSpinLock(&extension->lock, &old);
    extension->log.cancelled++;
    KeReleaseSpinLock(&extension->lock, old);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

DRIVER_DISPATCH DispatchCreateClose;

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp)
{
    LogEvent(ExtensionOf(device), irp, IoGetCurrentIrpStackLocation(irp)->MajorFunction);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

DRIVER_DISPATCH DispatchReadWrite;

NTSTATUS NTAPI DispatchReadWrite(PDEVICE_OBJECT device, PIRP irp)
{
    DeviceExtension* extension = ExtensionOf(device);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    LogEvent(extension, irp, location->MajorFunction);
    ULONG length = location->Parameters.Read.Length;
    ULONG command = location->Parameters.Read.ByteOffset.LowPart;
    bool write = location->MajorFunction == IRP_MJ_WRITE;

    KIRQL old;
    KeAcquireSpinLock(&extension->lock, &old);
    extension->log.lastHadMdl = irp->MdlAddress != nullptr;
    extension->log.lastSystemAddress = 0;
    extension->log.lastUserAddress = 0;
    KeReleaseSpinLock(&extension->lock, old);
    if (irp->MdlAddress != nullptr) {
        PUCHAR data = static_cast<PUCHAR>(MmGetSystemAddressForMdl(irp->MdlAddress));
        KeAcquireSpinLock(&extension->lock, &old);
        extension->log.lastSystemAddress = reinterpret_cast<ULONG_PTR>(data);
        extension->log.lastUserAddress =
            reinterpret_cast<ULONG_PTR>(MmGetMdlVirtualAddress(irp->MdlAddress));
        if (write && data != nullptr) {
            ULONG kept = length < IOTEST_KEPT_BYTES ? length : IOTEST_KEPT_BYTES;
            RtlCopyMemory(extension->log.lastWrite, data, kept);
            extension->log.lastWriteLength = length;
        }
        KeReleaseSpinLock(&extension->lock, old);
    }

    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    switch (command) {
    case IOTEST_COMPLETE_NOW:
        if (!write) {
            FillRead(irp, length);
        }
        information = length;
        break;
    case IOTEST_WARN_NOW:
        status = STATUS_BUFFER_OVERFLOW;
        information = length;
        break;
    case IOTEST_FAIL_NOW:
        status = NTSTATUS(location->Parameters.Read.ByteOffset.HighPart);
        break;
    case IOTEST_PEND_DPC:
    case IOTEST_PEND_FAIL_DPC: {
        IoMarkIrpPending(irp);
        KeAcquireSpinLock(&extension->lock, &old);
        Enqueue(&extension->dpcQueue, irp);
        LARGE_INTEGER due;
        due.QuadPart = -LONGLONG(IOTEST_DPC_DELAY_MS) * 10000;
        KeSetTimer(&extension->timer, due, &extension->dpc);
        KeReleaseSpinLock(&extension->lock, old);
        return STATUS_PENDING;
    }
    case IOTEST_PEND_CANCELLABLE: {
        IoMarkIrpPending(irp);
        KIRQL cancelIrql;
        IoAcquireCancelSpinLock(&cancelIrql);
        if (irp->Cancel) {
            IoReleaseCancelSpinLock(cancelIrql);
            irp->IoStatus.Status = STATUS_CANCELLED;
            irp->IoStatus.Information = 0;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_PENDING;
        }
        IoSetCancelRoutine(irp, CancelPending);
        IoReleaseCancelSpinLock(cancelIrql);
        return STATUS_PENDING;
    }
    case IOTEST_PEND_FOREVER:
        IoMarkIrpPending(irp);
        KeAcquireSpinLock(&extension->lock, &old);
        Enqueue(&extension->foreverQueue, irp);
        KeReleaseSpinLock(&extension->lock, old);
        return STATUS_PENDING;
    default:
        status = STATUS_INVALID_PARAMETER;
        break;
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

DRIVER_DISPATCH DispatchControl;

NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT device, PIRP irp)
{
    DeviceExtension* extension = ExtensionOf(device);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    LogEvent(extension, irp, IRP_MJ_DEVICE_CONTROL);
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    switch (location->Parameters.DeviceIoControl.IoControlCode) {
    case IOTEST_IOCTL_FILL: {
        ULONG length = location->Parameters.DeviceIoControl.OutputBufferLength;
        if (irp->MdlAddress == nullptr) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        PUCHAR data = static_cast<PUCHAR>(MmGetSystemAddressForMdl(irp->MdlAddress));
        // The address must fit the 32-bit fields drivers keep it in.
        if (data == nullptr || UlongToPtr(PtrToUlong(data)) != data) {
            status = STATUS_UNSUCCESSFUL;
            break;
        }
        for (ULONG i = 0; i < length; ++i) {
            data[i] = IoTestPattern(i);
        }
        KIRQL old;
        KeAcquireSpinLock(&extension->lock, &old);
        extension->log.lastSystemAddress = reinterpret_cast<ULONG_PTR>(data);
        extension->log.lastUserAddress =
            reinterpret_cast<ULONG_PTR>(MmGetMdlVirtualAddress(irp->MdlAddress));
        KeReleaseSpinLock(&extension->lock, old);
        // Direct I/O: the data is in place whatever the byte count says.
        information = 0;
        break;
    }
    case IOTEST_IOCTL_RELEASE:
        for (;;) {
            KIRQL old;
            KeAcquireSpinLock(&extension->lock, &old);
            PLIST_ENTRY entry = extension->foreverQueue.Flink;
            if (entry == &extension->foreverQueue) {
                KeReleaseSpinLock(&extension->lock, old);
                break;
            }
            entry->Blink->Flink = entry->Flink;
            entry->Flink->Blink = entry->Blink;
            KeReleaseSpinLock(&extension->lock, old);
            PIRP pending = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
            pending->IoStatus.Status = STATUS_SUCCESS;
            pending->IoStatus.Information = IoGetCurrentIrpStackLocation(pending)->Parameters.Read.Length;
            IoCompleteRequest(pending, IO_NO_INCREMENT);
        }
        break;
    case IOTEST_IOCTL_READ_ONLY:
        break;
    case IOTEST_IOCTL_WARN:
        status = STATUS_BUFFER_OVERFLOW;
        information = location->Parameters.DeviceIoControl.OutputBufferLength;
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

DRIVER_UNLOAD Unload;

VOID NTAPI Unload(PDRIVER_OBJECT driver)
{
    UNREFERENCED_PARAMETER(driver);
    DeviceExtension* extension = ExtensionOf(theDevice);
    KeCancelTimer(&extension->timer);
    if constexpr (kLaterImport) {
        KeFlushQueuedDpcs();
    } else {
        // Tests unload after the clock's advances, which return once the
        // DPCs they caused have run: at most one is still queued.
        KeRemoveQueueDpc(&extension->dpc);
    }
    if (!kLeaky) {
        UNICODE_STRING link = LinkName();
        IoDeleteSymbolicLink(&link);
    }
    IoDeleteDevice(theDevice);
    theDevice = nullptr;
    ExFreePool(poolBlock);
    poolBlock = nullptr;
}

bool Contains(PUNICODE_STRING text, const char* word)
{
    ULONG length = text->Length / sizeof(WCHAR);
    for (ULONG start = 0; start < length; ++start) {
        ULONG i = 0;
        while (word[i] != 0 && start + i < length && text->Buffer[start + i] == WCHAR(word[i])) {
            ++i;
        }
        if (word[i] == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" DRIVER_INITIALIZE DriverEntry;

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    loadCount++;
    poolBlock = ExAllocatePoolWithTag(NonPagedPool, 32, IOTEST_POOL_TAG);
    if (poolBlock == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UNICODE_STRING name = DeviceName();
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, sizeof(DeviceExtension), &name, FILE_DEVICE_UNKNOWN,
                                     0, Contains(registryPath, "Exclusive"), &device);
    if (!NT_SUCCESS(status)) {
        ExFreePool(poolBlock);
        return status;
    }
    device->Flags |= DO_DIRECT_IO;
    DeviceExtension* extension = ExtensionOf(device);
    KeInitializeSpinLock(&extension->lock);
    extension->dpcQueue.Flink = extension->dpcQueue.Blink = &extension->dpcQueue;
    extension->foreverQueue.Flink = extension->foreverQueue.Blink = &extension->foreverQueue;
    KeInitializeTimer(&extension->timer);
    KeInitializeDpc(&extension->dpc, CompleteQueued, extension);
    extension->log.loadsSeenByImage = loadCount;
    UNICODE_STRING link = LinkName();
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        ExFreePool(poolBlock);
        return status;
    }
    theDevice = device;
    driver->DriverUnload = Unload;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    if (!kMinimal) {
        driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateClose;
        driver->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
        driver->MajorFunction[IRP_MJ_WRITE] = DispatchReadWrite;
        driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    }
    return STATUS_SUCCESS;
}
