#include "driver_frame.h"

#include "conduit.h"
#include "device_name.h"
#include "driver_request.h"
#include "pool.h"
#include "record_guard.h"
#include "request_processing.h"
#include "startup_table.h"
#include "stream.h"

PDRIVER_OBJECT GlobalDriverObject = nullptr;

namespace {

// Room for "\DosDevices\Tonvane65536Out" and its NUL.
constexpr ULONG NameCapacity = 40;

// MDL_MAPPED_TO_SYSTEM_VA or MDL_SOURCE_IS_NONPAGED_POOL: already mapped;
// else the locked pages get a kernel mapping. Null when there is no MDL or
// no mapping could be made.
PVOID SystemAddressOf(PMDL mdl)
{
    if (mdl == nullptr) {
        return nullptr;
    }
    if ((mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) != 0) {
        return mdl->MappedSystemVa;
    }
    return MmMapLockedPages(mdl, KernelMode);
}

// Sets the cancel routine of a request whose buffer has just been queued,
// unless a cancel came first (false). Runs under the engine lock, so no tick
// can have finished the buffer yet, and the drain cannot complete the request
// before its routine is set.
bool ArmCancelRoutine(PIRP request)
{
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    const bool cancelled = request->Cancel != FALSE;
    if (!cancelled) {
        static_cast<VOID>(IoSetCancelRoutine(request, CancelBufferRequest));
    }
    IoReleaseCancelSpinLock(cancelIrql);
    return !cancelled;
}

NTSTATUS Complete(PIRP request, NTSTATUS status)
{
    request->IoStatus.Status = status;
    request->IoStatus.Information = 0;
    IoCompleteRequest(request, IO_NO_INCREMENT);
    return status;
}

// Everything DispatchRequest does but completing the request: returns the
// status to complete it with, or STATUS_PENDING once it belongs to a queued
// buffer (and must not be touched any more).
NTSTATUS ServeRequest(PIRP request)
{
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(request);
    const KPROCESSOR_MODE mode = request->RequestorMode;
    DriverRequest copy;
    DriverRequest* working = nullptr;
    ULONG length = 0;
    RequestTransport transport = TransportControl;
    ULONG callerRecord = 0;     // read and write: the client's record

    switch (location->MajorFunction) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE: {
        // Parameters.Write has the same layout as Parameters.Read.
        transport = location->MajorFunction == IRP_MJ_READ ? TransportRead : TransportWrite;
        callerRecord = location->Parameters.Read.ByteOffset.LowPart;
        if (!CaptureCallerRecord(callerRecord, mode, &copy)) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        working = &copy;
        length = DRIVER_REQUEST_LENGTH;
        // Without data (length 0, no MDL) the address stays 0, which an
        // add-buffer refuses.
        PVOID data = SystemAddressOf(request->MdlAddress);
        copy.addBuffer.data = PtrToUlong(data);
        copy.addBuffer.dataLength = data != nullptr ? location->Parameters.Read.Length : 0;
        break;
    }
    case IRP_MJ_DEVICE_CONTROL:
        // Only this code: another method would hand over a buffer that the
        // I/O manager did not lock for writing, or none at all.
        if (location->Parameters.DeviceIoControl.IoControlCode != IOCTL_CONDUIT_REQUEST) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        // The caller's output buffer, locked and mapped, processed in place.
        working = static_cast<DriverRequest*>(SystemAddressOf(request->MdlAddress));
        length = location->Parameters.DeviceIoControl.OutputBufferLength;
        break;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    if (!ValidateRequest(working, length)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const bool addBuffer = transport != TransportControl && working->op == REQ_ADD_BUFFER;
    if (addBuffer) {
        working->addBuffer.completionRequest = PtrToUlong(request);
    }

    // The engine work runs at DISPATCH_LEVEL under the engine lock, so that
    // it never interleaves with a tick. An accepted buffer's request is
    // marked pending and made cancellable before the lock goes: from then on
    // a tick may finish the buffer and complete the request.
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL oldIrql = KfRaiseIrql(DISPATCH_LEVEL);
    GlobalConduit->LockEngine();
    const ULONG result = ProcessRequest(working, length, transport);
    if (addBuffer) {
        if (result == RESULT_NOERROR) {
            IoMarkIrpPending(request);
            request->IoStatus.Status = STATUS_PENDING;
            status = STATUS_PENDING;
            if (!ArmCancelRoutine(request)) {
                // Cancelled while it was being queued (its thread or process
                // is ending): handled as its cancel routine would handle it,
                // completed by the drain in UnlockEngine.
                GlobalConduit->CancelBuffer(request);
            }
        } else {
            status = STATUS_INVALID_DEVICE_REQUEST;
        }
    }
    GlobalConduit->UnlockEngine();
    KfLowerIrql(oldIrql);

    // Back at PASSIVE_LEVEL, where the client's record may be touched. The
    // request itself may be gone already if it was left pending.
    if (transport == TransportControl) {
        working->result = result;
    } else {
        StoreCallerResult(callerRecord, mode, result);
    }
    return status;
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    UNREFERENCED_PARAMETER(registryPath);
    if (!RunStartupTable()) {
        // What the routines before the failing one registered goes again.
        RunCleanupList();
        return STATUS_UNSUCCESSFUL;
    }
    GlobalDriverObject = driver;
    // The process-exit routine is registered last, once the conduit it works
    // on exists; no failure path follows it.
    if (!CreateConduit() || !NT_SUCCESS(PsSetCreateProcessNotifyRoutine(ProcessNotify, FALSE))) {
        DestroyConduit();
        DeleteAllDevices();
        GlobalDriverObject = nullptr;
        RunCleanupList();
        return STATUS_UNSUCCESSFUL;
    }
    driver->DriverUnload = DriverUnload;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_READ] = DispatchRequest;
    driver->MajorFunction[IRP_MJ_WRITE] = DispatchRequest;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchRequest;
    return STATUS_SUCCESS;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT driver)
{
    UNREFERENCED_PARAMETER(driver);
    // First, so that no process exit reaches the conduit while it goes.
    PsSetCreateProcessNotifyRoutine(ProcessNotify, TRUE);
    DestroyConduit();
    DeleteAllDevices();
    GlobalDriverObject = nullptr;
    RunCleanupList();
}

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT device, PIRP request)
{
    UNREFERENCED_PARAMETER(device);
    return Complete(request, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchRequest(PDEVICE_OBJECT device, PIRP request)
{
    UNREFERENCED_PARAMETER(device);
    const NTSTATUS status = ServeRequest(request);
    // A pending request belongs to its queued buffer now.
    if (status == STATUS_PENDING) {
        return STATUS_PENDING;
    }
    return Complete(request, status);
}

VOID NTAPI CancelBufferRequest(PDEVICE_OBJECT device, PIRP request)
{
    UNREFERENCED_PARAMETER(device);
    // Never hold the cancel spin lock around the engine lock. Until the
    // search below claims the request's buffer, no drain completes the
    // request (see CompleteDoneBuffers), so it stays intact meanwhile.
    IoReleaseCancelSpinLock(request->CancelIrql);
    KIRQL oldIrql = KfRaiseIrql(DISPATCH_LEVEL);
    GlobalConduit->LockEngine();
    GlobalConduit->CancelBuffer(request);
    // Completes the stream's buffers, this request with STATUS_CANCELLED.
    GlobalConduit->UnlockEngine();
    KfLowerIrql(oldIrql);
}

VOID NTAPI ProcessNotify(HANDLE parentId, HANDLE processId, BOOLEAN create)
{
    UNREFERENCED_PARAMETER(parentId);
    if (create) {
        return;
    }
    // Its own requests were cancelled before it could end; requests of other
    // processes on its streams complete with their byte counts.
    KIRQL oldIrql = KfRaiseIrql(DISPATCH_LEVEL);
    GlobalConduit->LockEngine();
    GlobalConduit->ReleaseStreams(processId, false);
    GlobalConduit->UnlockEngine();
    KfLowerIrql(oldIrql);
}

bool CreateConduit()
{
    Conduit* conduit = static_cast<Conduit*>(PoolAllocate(sizeof(Conduit)));
    if (conduit == nullptr) {
        return false;
    }
    conduit->Initialise();
    GlobalConduit = conduit;
    if (!CreateConduitDevice(DIRECTION_IN, 0) || !CreateConduitDevice(DIRECTION_OUT, 0)) {
        DestroyConduit();
        return false;
    }
    return true;
}

VOID DestroyConduit()
{
    Conduit* conduit = GlobalConduit;
    if (conduit == nullptr) {
        return;
    }
    // Streams that clients never closed: each is reset, which returns its
    // buffers to the DoneList, then detached (the last one stops the clock)
    // and freed. Releasing the engine lock drains the DoneList, completing
    // every request still pending.
    KIRQL oldIrql = KfRaiseIrql(DISPATCH_LEVEL);
    conduit->LockEngine();
    conduit->ReleaseStreams(nullptr, true);
    conduit->UnlockEngine();
    KfLowerIrql(oldIrql);
    // Closes the timer and waits out any DPC of it before the memory goes.
    conduit->Destroy();
    GlobalConduit = nullptr;
    PoolFree(conduit);
}

bool CreateConduitDevice(ULONG direction, USHORT conduitNumber)
{
    WCHAR deviceText[NameCapacity];
    WCHAR linkText[NameCapacity];
    if (FormatDeviceName(deviceText, NameCapacity, DEVICE_PREFIX, direction, conduitNumber) == 0
        || FormatDeviceName(linkText, NameCapacity, LINK_PREFIX, direction, conduitNumber) == 0) {
        return false;
    }
    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&deviceName, deviceText);
    RtlInitUnicodeString(&linkName, linkText);

    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(GlobalDriverObject, sizeof(DeviceExtension), &deviceName,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return false;
    }
    device->Flags |= DO_DIRECT_IO;
    DeviceExtension* extension = static_cast<DeviceExtension*>(device->DeviceExtension);
    extension->direction = direction;
    extension->conduitNumber = conduitNumber;

    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return false;
    }
    return true;
}

VOID DeleteConduitDevice(PDEVICE_OBJECT device)
{
    const DeviceExtension* extension = static_cast<const DeviceExtension*>(device->DeviceExtension);
    WCHAR linkText[NameCapacity];
    if (FormatDeviceName(linkText, NameCapacity, LINK_PREFIX, extension->direction,
                         extension->conduitNumber)
        != 0) {
        UNICODE_STRING linkName;
        RtlInitUnicodeString(&linkName, linkText);
        IoDeleteSymbolicLink(&linkName);
    }
    IoDeleteDevice(device);
}

VOID DeleteAllDevices()
{
    if (GlobalDriverObject == nullptr) {
        return;
    }
    PDEVICE_OBJECT device = GlobalDriverObject->DeviceObject;
    while (device != nullptr) {
        PDEVICE_OBJECT next = device->NextDevice;
        DeleteConduitDevice(device);
        device = next;
    }
}
