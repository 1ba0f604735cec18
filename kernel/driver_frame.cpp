#include "driver_frame.h"

#include "conduit.h"
#include "device_name.h"
#include "driver_context.h"
#include "driver_request.h"
#include "pool.h"
#include "record_guard.h"
#include "request_completion.h"
#include "request_processing.h"
#include "startup_table.h"
#include "stream.h"

namespace {

// Room for "\DosDevices\Tonvane65536Out" and its NUL.
constexpr ULONG NameCapacity = 40;

// MDL_MAPPED_TO_SYSTEM_VA or MDL_SOURCE_IS_NONPAGED_POOL: already mapped;
// else the locked pages get a kernel mapping (the buffer's own address
// from NT 4.0 SP4 on, the floor of this driver). Null when there is no MDL.
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

// Everything DispatchRequest does but completing the request: returns the
// status to complete it with, or STATUS_PENDING once it belongs to a queued
// buffer (and must not be touched any more).
NTSTATUS ServeRequest(PIRP request)
{
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(request);
    const KPROCESSOR_MODE mode = request->RequestorMode;
    // The only record the server works on. The caller's record stays where
    // other threads of its process can change it at any moment: it is read
    // once, here, and written once, after the engine work.
    DriverRequest copy;
    RtlZeroMemory(&copy, sizeof(copy));
    ULONG length = 0;
    RequestTransport transport = TransportControl;
    PVOID callerRecord = nullptr;

    switch (location->MajorFunction) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE: {
        // Parameters.Write has the same layout as Parameters.Read. The
        // record's address is the whole byte offset, a pointer-sized value:
        // on i386 exactly its low half.
        transport = location->MajorFunction == IRP_MJ_READ ? TransportRead : TransportWrite;
        callerRecord = reinterpret_cast<PVOID>(
            static_cast<ULONG_PTR>(location->Parameters.Read.ByteOffset.QuadPart));
        if (!CaptureCallerRecord(callerRecord, mode, &copy)) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
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
        // The caller's output buffer, locked and mapped: it cannot fault.
        callerRecord = SystemAddressOf(request->MdlAddress);
        length = location->Parameters.DeviceIoControl.OutputBufferLength;
        if (callerRecord == nullptr) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        RtlCopyMemory(&copy, callerRecord, length < sizeof(copy) ? length : sizeof(copy));
        break;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    if (!ValidateRequest(&copy, length)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const bool addBuffer = transport != TransportControl && copy.op == REQ_ADD_BUFFER;
    if (addBuffer) {
        copy.addBuffer.completionRequest = PtrToUlong(request);
    }

    // An accepted buffer's request is marked pending and made cancellable
    // before the engine lock goes: from then on a tick may finish the buffer
    // and complete the request.
    NTSTATUS status = STATUS_SUCCESS;
    Conduit* conduit = GlobalDriver.conduit;
    const KIRQL previous = conduit->EnterEngine();
    const ULONG result = ProcessRequest(&copy, length, transport);
    if (addBuffer) {
        if (result == RESULT_NOERROR) {
            IoMarkIrpPending(request);
            request->IoStatus.Status = STATUS_PENDING;
            status = STATUS_PENDING;
            if (!ArmCancelRoutine(request)) {
                // Cancelled while it was being queued (its thread or process
                // is ending): withdrawn as its cancel routine would, and
                // completed as the request leaves the engine.
                conduit->WithdrawBuffer(request);
            }
        } else {
            status = STATUS_INVALID_DEVICE_REQUEST;
        }
    }
    conduit->LeaveEngine(previous);

    // Back at PASSIVE_LEVEL, where the client's record may be touched. The
    // request itself may be gone already if it was left pending.
    if (transport == TransportControl) {
        StoreReply(static_cast<DriverRequest*>(callerRecord), &copy, length, result);
    } else {
        StoreCallerResult(callerRecord, mode, result);
    }
    return status;
}

}  // namespace

VOID ReleaseDriver()
{
    // First, so that no process exit reaches the conduit while it goes.
    if (GlobalDriver.processNotifyRegistered) {
        PsSetCreateProcessNotifyRoutine(ProcessNotify, TRUE);
        GlobalDriver.processNotifyRegistered = false;
    }
    DestroyConduit();
    DeleteAllDevices();
    GlobalDriver.driverObject = nullptr;
    // The DoneList, then GlobalSpinLock; what a failed StartupTable made.
    RunCleanupList();
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    UNREFERENCED_PARAMETER(registryPath);
    // The StartupTable fails only for want of pool.
    NTSTATUS status = RunStartupTable() ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(status)) {
        GlobalDriver.driverObject = driver;
        status = CreateConduit();
    }
    // The process-exit routine comes last, once the conduit it works on
    // exists.
    if (NT_SUCCESS(status)) {
        status = PsSetCreateProcessNotifyRoutine(ProcessNotify, FALSE);
        GlobalDriver.processNotifyRegistered = NT_SUCCESS(status);
    }
    if (!NT_SUCCESS(status)) {
        ReleaseDriver();
        return status;
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
    ReleaseDriver();
}

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT device, PIRP request)
{
    UNREFERENCED_PARAMETER(device);
    return CompleteRequest(request, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI DispatchRequest(PDEVICE_OBJECT device, PIRP request)
{
    UNREFERENCED_PARAMETER(device);
    const NTSTATUS status = ServeRequest(request);
    // A pending request belongs to its queued buffer now.
    if (status == STATUS_PENDING) {
        return STATUS_PENDING;
    }
    return CompleteRequest(request, status, 0);
}

VOID NTAPI ProcessNotify(HANDLE parentId, HANDLE processId, BOOLEAN create)
{
    UNREFERENCED_PARAMETER(parentId);
    if (create) {
        return;
    }
    // Its own requests were cancelled before it could end; requests of other
    // processes on its streams complete with their byte counts.
    Conduit* conduit = GlobalDriver.conduit;
    const KIRQL previous = conduit->EnterEngine();
    conduit->ReleaseStreams(processId, false);
    conduit->LeaveEngine(previous);
}

NTSTATUS CreateConduit()
{
    Conduit* conduit = static_cast<Conduit*>(PoolAllocate(sizeof(Conduit)));
    if (conduit == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    conduit->Initialise();
    GlobalDriver.conduit = conduit;
    NTSTATUS status = CreateConduitDevice(DIRECTION_IN, 0);
    if (NT_SUCCESS(status)) {
        status = CreateConduitDevice(DIRECTION_OUT, 0);
    }
    if (!NT_SUCCESS(status)) {
        DestroyConduit();
    }
    return status;
}

VOID DestroyConduit()
{
    Conduit* conduit = GlobalDriver.conduit;
    if (conduit == nullptr) {
        return;
    }
    // Streams that clients never closed: each is reset, which returns its
    // buffers to the DoneList, then closed (the last one stops the clock).
    // Leaving the engine completes every request still pending.
    const KIRQL previous = conduit->EnterEngine();
    conduit->ReleaseStreams(nullptr, true);
    conduit->LeaveEngine(previous);
    // Closes the timer and waits out any DPC of it before the memory goes.
    conduit->Destroy();
    GlobalDriver.conduit = nullptr;
    PoolFree(conduit);
}

NTSTATUS CreateConduitDevice(ULONG direction, USHORT conduitNumber)
{
    WCHAR deviceText[NameCapacity];
    WCHAR linkText[NameCapacity];
    if (FormatDeviceName(deviceText, NameCapacity, DEVICE_PREFIX, direction, conduitNumber) == 0
        || FormatDeviceName(linkText, NameCapacity, LINK_PREFIX, direction, conduitNumber) == 0) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&deviceName, deviceText);
    RtlInitUnicodeString(&linkName, linkText);

    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(GlobalDriver.driverObject, sizeof(DeviceExtension),
                                     &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    device->Flags |= DO_DIRECT_IO;
    DeviceExtension* extension = static_cast<DeviceExtension*>(device->DeviceExtension);
    extension->direction = direction;
    extension->conduitNumber = conduitNumber;

    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
    }
    return status;
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
    if (GlobalDriver.driverObject == nullptr) {
        return;
    }
    PDEVICE_OBJECT device = GlobalDriver.driverObject->DeviceObject;
    while (device != nullptr) {
        PDEVICE_OBJECT next = device->NextDevice;
        DeleteConduitDevice(device);
        device = next;
    }
}
