// File objects and the requests of user-mode callers: open through the
// \DosDevices links, read, write and device control with the device's
// buffering method, completion into the caller's status block and port,
// and cleanup/close when the last handle and reference go.
#include <new>

#include "host/io_user.h"
#include "host/ke_control.h"
#include "host/ke_user.h"
#include "io_internal.h"

namespace host_io {
namespace {

// Win32 access bits as the I/O manager tests them.
constexpr uint32_t kGenericRead = 0x80000000u;
constexpr uint32_t kGenericWrite = 0x40000000u;
constexpr uint32_t kGenericAll = 0x10000000u;
constexpr uint32_t kFileReadData = 0x0001u;
constexpr uint32_t kFileWriteData = 0x0002u;
constexpr uint32_t kFileAppendData = 0x0004u;

std::atomic<ULONG> liveFiles{0};
std::atomic<ULONG> outstandingRequests{0};

std::mutex deferredLock;
std::vector<FileHost*>& DeferredCloses()   // guarded by deferredLock
{
    static auto* files = new std::vector<FileHost*>;
    return *files;
}

bool AtPassiveOutsideDpc()
{
    return KeGetCurrentIrql() == PASSIVE_LEVEL && !HostKeIsDpcThread();
}

// Issues a packet and waits for its completion. The packet holds two
// references: the completion's and this call's. PASSIVE_LEVEL.
NTSTATUS CallAndWait(PIRP irp, PDEVICE_OBJECT device, ULONG_PTR* information)
{
    IrpHost* host = HostOf(irp);
    SyncWait wait;
    host->wait = &wait;
    NTSTATUS status = IofCallDriver(device, irp);
    {
        std::unique_lock<std::mutex> guard(wait.lock);
        if (status == STATUS_PENDING) {
            // Not stoppable: the packet refers to this frame until it completes.
            host_wait::Wait(guard, wait.done, [&wait] { return wait.completed; },
                            "a synchronous request", false);
        } else if (!wait.completed) {
            guard.unlock();
            KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, HOST_IO_VIOLATION_NOT_COMPLETED,
                         reinterpret_cast<ULONG_PTR>(irp), ULONG_PTR(status), 0);
            // The packet is lost to the driver; the caller gets its status.
            ReleaseUserIrp(host);
            if (information != nullptr) {
                *information = 0;
            }
            return status;
        }
    }
    ReleaseUserIrp(host);
    if (information != nullptr) {
        *information = wait.information;
    }
    return wait.status;
}

// Sends IRP_MJ_CLEANUP or IRP_MJ_CLOSE for a file, from the kernel.
void SendFileRequest(FileHost* file, UCHAR major)
{
    PDEVICE_OBJECT device = file->file.DeviceObject;
    PIRP irp = AllocateUserIrp(device->StackSize, false);
    if (irp == nullptr) {
        return;
    }
    irp->RequestorMode = KernelMode;
    irp->Flags = major == IRP_MJ_CLOSE ? IRP_CLOSE_OPERATION : 0;
    irp->Tail.Overlay.OriginalFileObject = &file->file;
    irp->Tail.Overlay.Thread = CurrentThread();
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction = major;
    location->FileObject = &file->file;
    HostOf(irp)->references.store(2, std::memory_order_relaxed);
    CallAndWait(irp, device, nullptr);
}

void SendClose(FileHost* file)
{
    SendFileRequest(file, IRP_MJ_CLOSE);
    PDEVICE_OBJECT device = file->file.DeviceObject;
    PortHost* port = file->port.load(std::memory_order_acquire);
    file->~FileHost();
    LowFree(file);
    liveFiles.fetch_sub(1, std::memory_order_relaxed);
    DeviceDereference(device);
    if (port != nullptr) {
        ObDereference(&port->ob, true);
    }
}

// A user request's packet, before its buffers are described.
PIRP NewRequest(FileHost* file, UCHAR major, NTSTATUS* status)
{
    PDEVICE_OBJECT device = file->file.DeviceObject;
    PIRP irp = AllocateUserIrp(device->StackSize, true);
    if (irp == nullptr) {
        *status = STATUS_INSUFFICIENT_RESOURCES;
        return nullptr;
    }
    irp->Tail.Overlay.OriginalFileObject = &file->file;
    irp->Tail.Overlay.Thread = CurrentThread();
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction = major;
    location->FileObject = &file->file;
    return irp;
}

// A packet never handed to a driver.
void DiscardRequest(PIRP irp)
{
    if (irp->AssociatedIrp.SystemBuffer != nullptr && (irp->Flags & IRP_DEALLOCATE_BUFFER)) {
        LowFree(irp->AssociatedIrp.SystemBuffer);
    }
    ReleaseIrpMdls(irp);
    ReleaseUserIrp(HostOf(irp));
}

// Copies the caller's input into a system buffer of size bytes.
NTSTATUS AttachSystemBuffer(PIRP irp, void* input, ULONG inputLength, ULONG size)
{
    if (inputLength != 0 &&
        (IsSystemRange(input, inputLength) || !CanRead(input, inputLength))) {
        return STATUS_ACCESS_VIOLATION;
    }
    void* buffer = LowAllocate(size, true);
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (inputLength != 0 && !SafeCopy(buffer, input, inputLength)) {
        LowFree(buffer);
        return STATUS_ACCESS_VIOLATION;
    }
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    return STATUS_SUCCESS;
}

// Hands a described request to the driver: synchronous callers wait,
// asynchronous ones get the dispatch status and their completion later.
NTSTATUS Submit(FileHost* file, PIRP irp, HOST_NT_IOSB* iosb, void* apcContext,
                ULONG_PTR* information)
{
    IrpHost* host = HostOf(irp);
    _EPROCESS* process = CurrentProcess();
    ObReference(&file->ob);
    host->file = file;
    host->userIosb = reinterpret_cast<UserIosb*>(iosb);
    host->apcContext = apcContext;
    // Completion's reference and this call's, taken before the process can
    // see the packet.
    host->references.store(2, std::memory_order_relaxed);
    outstandingRequests.fetch_add(1, std::memory_order_relaxed);
    LinkRequest(process, host);
    PDEVICE_OBJECT device = file->file.DeviceObject;
    NTSTATUS status;
    if (iosb == nullptr || (file->file.Flags & FO_SYNCHRONOUS_IO)) {
        host->userIosb = nullptr;
        status = CallAndWait(irp, device, information);
        if (iosb != nullptr) {
            iosb->Status = ULONG(status);
            iosb->Information = information != nullptr ? *information : 0;
        }
    } else {
        status = IofCallDriver(device, irp);
        if (status != STATUS_PENDING && !host->completed.load(std::memory_order_acquire)) {
            KeBugCheckEx(DRIVER_VERIFIER_IOMANAGER_VIOLATION, HOST_IO_VIOLATION_NOT_COMPLETED,
                         reinterpret_cast<ULONG_PTR>(irp), ULONG_PTR(status), 0);
        }
        ReleaseUserIrp(host);
    }
    RunDeferredCloses();
    return status;
}

bool HasReadAccess(uint32_t access)
{
    return (access & (kGenericRead | kGenericAll | kFileReadData)) != 0;
}

bool HasWriteAccess(uint32_t access)
{
    return (access & (kGenericWrite | kGenericAll | kFileWriteData | kFileAppendData)) != 0;
}

// \\.\NAME and \\?\NAME name \??\NAME; nothing else exists on the host.
NTSTATUS NtPathOf(const uint16_t* path, std::u16string* ntPath)
{
    if (path == nullptr) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::u16string text;
    for (const uint16_t* p = path; *p != 0; ++p) {
        text.push_back(char16_t(*p));
    }
    if (text.size() > 4 && text[0] == u'\\' && text[1] == u'\\' &&
        (text[2] == u'.' || text[2] == u'?') && text[3] == u'\\') {
        *ntPath = u"\\??\\" + text.substr(4);
        return STATUS_SUCCESS;
    }
    if (text.empty()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    return STATUS_OBJECT_PATH_NOT_FOUND;
}

// The start of every user request on a file handle: no bytes reported yet,
// and a reference on the file object the handle names.
NTSTATUS ReferenceFileForRequest(void* handle, uintptr_t* information, FileHost** file)
{
    if (information != nullptr) {
        *information = 0;
    }
    ObObject* object;
    const NTSTATUS status = ReferenceHandle(handle, ObType::File, &object);
    if (NT_SUCCESS(status)) {
        *file = reinterpret_cast<FileHost*>(object);
    }
    return status;
}

}  // namespace

void CloseFileHandle(FileHost* file)
{
    // Sent even while requests are outstanding; the file stays until they
    // complete.
    SendFileRequest(file, IRP_MJ_CLEANUP);
    file->file.Flags |= FO_CLEANUP_COMPLETE;
}

void DeleteFile(FileHost* file, bool runNow)
{
    if (runNow && AtPassiveOutsideDpc()) {
        SendClose(file);
        return;
    }
    std::lock_guard<std::mutex> guard(deferredLock);
    DeferredCloses().push_back(file);
}

void RunDeferredCloses()
{
    if (!AtPassiveOutsideDpc() || CurrentDriver() != nullptr) {
        return;
    }
    for (;;) {
        FileHost* file;
        {
            std::lock_guard<std::mutex> guard(deferredLock);
            if (DeferredCloses().empty()) {
                return;
            }
            file = DeferredCloses().front();
            DeferredCloses().erase(DeferredCloses().begin());
        }
        SendClose(file);
    }
}

void CompleteUserRequest(PIRP irp)
{
    IrpHost* host = HostOf(irp);
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;
    if (irp->Flags & IRP_BUFFERED_IO) {
        if (host->bufferedOut != nullptr && !NT_ERROR(status)) {
            ULONG length = information < host->bufferedOutLength ? ULONG(information)
                                                                : host->bufferedOutLength;
            SafeCopy(host->bufferedOut, irp->AssociatedIrp.SystemBuffer, length);
        }
        if (irp->Flags & IRP_DEALLOCATE_BUFFER) {
            LowFree(irp->AssociatedIrp.SystemBuffer);
        }
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    // Data reaches the caller's buffer before the caller can learn of the
    // completion.
    ReleaseIrpMdls(irp);
    if (host->process != nullptr) {
        UnlinkRequest(host->process, host);
        outstandingRequests.fetch_sub(1, std::memory_order_relaxed);
    }
    FileHost* file = host->file;
    if (host->wait != nullptr) {
        SyncWait* wait = host->wait;
        std::lock_guard<std::mutex> guard(wait->lock);
        wait->status = status;
        wait->information = information;
        wait->completed = true;
        wait->done.notify_all();
    } else if (host->userIosb != nullptr && (!NT_ERROR(status) || irp->PendingReturned)) {
        // As NT: a request that failed at once (an error status and no
        // STATUS_PENDING returned) leaves the status block alone and queues
        // no packet; everything else reports through both.
        host->userIosb->Internal = ULONG_PTR(ULONG(status));
        host->userIosb->InternalHigh = information;
        PortHost* port = file != nullptr ? file->port.load(std::memory_order_acquire) : nullptr;
        if (port != nullptr && host->apcContext != nullptr) {
            QueuePacket(port, PortPacket{reinterpret_cast<ULONG_PTR>(file->completion.Key),
                                         host->apcContext, status, information});
        }
    }
    ReleaseUserIrp(host);
    if (file != nullptr) {
        ObDereference(&file->ob, false);
    }
}

}  // namespace host_io

using namespace host_io;

extern "C" {

void* HostMmAllocateLow(size_t Size)
{
    return LowAllocate(Size, false);
}

void HostMmFreeLow(void* Block)
{
    LowFree(Block);
}

int32_t HostNtCreateFile(const uint16_t* Path, uint32_t DesiredAccess, uint32_t ShareAccess,
                         uint32_t Disposition, uint32_t CreateOptions, uint32_t Attributes,
                         int Overlapped, void** Handle)
{
    *Handle = nullptr;
    _EPROCESS* process = CurrentProcess();
    if (ProcessIsEnding(process)) {
        return STATUS_PROCESS_IS_TERMINATING;
    }
    std::u16string ntPath;
    NTSTATUS status = NtPathOf(Path, &ntPath);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PDEVICE_OBJECT device;
    std::u16string remainder;
    status = ResolveForOpen(ntPath, &device, &remainder);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    void* memory = LowAllocate(sizeof(FileHost), true);
    if (memory == nullptr) {
        DeviceDereference(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    FileHost* file = new (memory) FileHost{};
    file->ob.type = ObType::File;
    file->ob.references.store(1, std::memory_order_relaxed);   // the handle
    file->handles.store(0, std::memory_order_relaxed);
    file->port.store(nullptr, std::memory_order_relaxed);
    file->fileName = remainder;
    FILE_OBJECT* fo = &file->file;
    fo->Type = 5;  // IO_TYPE_FILE
    fo->Size = sizeof(FILE_OBJECT);
    fo->DeviceObject = device;
    fo->ReadAccess = HasReadAccess(DesiredAccess);
    fo->WriteAccess = HasWriteAccess(DesiredAccess);
    fo->SharedRead = (ShareAccess & 1) != 0;
    fo->SharedWrite = (ShareAccess & 2) != 0;
    fo->SharedDelete = (ShareAccess & 4) != 0;
    fo->Flags = Overlapped ? 0 : FO_SYNCHRONOUS_IO;
    fo->FileName.Buffer = file->fileName.empty()
                              ? nullptr
                              : reinterpret_cast<PWSTR>(file->fileName.data());
    fo->FileName.Length = USHORT(file->fileName.size() * 2);
    fo->FileName.MaximumLength = fo->FileName.Length;
    liveFiles.fetch_add(1, std::memory_order_relaxed);

    PIRP irp = NewRequest(file, IRP_MJ_CREATE, &status);
    if (irp != nullptr) {
        irp->Flags = IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
        PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
        location->Parameters.Create.Options = (Disposition << 24) | (CreateOptions & 0x00ffffff);
        location->Parameters.Create.ShareAccess = USHORT(ShareAccess);
        location->Parameters.Create.FileAttributes = USHORT(Attributes);
        // Not linked to the process: an open is never left pending here.
        IrpHost* host = HostOf(irp);
        host->file = nullptr;
        host->references.store(2, std::memory_order_relaxed);
        status = CallAndWait(irp, device, nullptr);
    }
    if (!NT_SUCCESS(status)) {
        // A failed create gets neither cleanup nor close.
        file->~FileHost();
        LowFree(file);
        liveFiles.fetch_sub(1, std::memory_order_relaxed);
        DeviceDereference(device);
        return status;
    }
    file->handles.store(1, std::memory_order_relaxed);
    fo->Flags |= FO_HANDLE_CREATED;
    HANDLE handle;
    status = InsertHandle(process, &file->ob, &handle);
    if (!NT_SUCCESS(status)) {
        CloseFileHandle(file);
        ObDereference(&file->ob, true);
        return status;
    }
    *Handle = handle;
    return STATUS_SUCCESS;
}

int32_t HostNtReadWriteFile(void* Handle, int Write, void* Buffer, uint32_t Length,
                            const int64_t* ByteOffset, HOST_NT_IOSB* Iosb, void* ApcContext,
                            uintptr_t* Information)
{
    FileHost* file;
    NTSTATUS status = ReferenceFileForRequest(Handle, Information, &file);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    FILE_OBJECT* fo = &file->file;
    bool synchronous = (fo->Flags & FO_SYNCHRONOUS_IO) != 0;
    PIRP irp = nullptr;
    if (ProcessIsEnding(CurrentProcess())) {
        status = STATUS_PROCESS_IS_TERMINATING;
    } else if (Write ? !fo->WriteAccess : !fo->ReadAccess) {
        status = STATUS_ACCESS_DENIED;
    } else if (!synchronous && ByteOffset == nullptr) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        irp = NewRequest(file, Write ? IRP_MJ_WRITE : IRP_MJ_READ, &status);
    }
    if (irp != nullptr) {
        irp->Flags = Write ? IRP_WRITE_OPERATION : IRP_READ_OPERATION;
        irp->UserBuffer = Buffer;
        PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
        location->Parameters.Read.Length = Length;
        LONGLONG offset = ByteOffset != nullptr ? *ByteOffset : fo->CurrentByteOffset.QuadPart;
        location->Parameters.Read.ByteOffset.QuadPart = offset;
        PDEVICE_OBJECT device = fo->DeviceObject;
        if (Length != 0 && (device->Flags & DO_BUFFERED_IO)) {
            status = AttachSystemBuffer(irp, Write ? Buffer : nullptr, Write ? Length : 0, Length);
            if (NT_SUCCESS(status) && !Write) {
                irp->Flags |= IRP_INPUT_OPERATION;
                HostOf(irp)->bufferedOut = Buffer;
                HostOf(irp)->bufferedOutLength = Length;
                if (IsSystemRange(Buffer, Length) || !CanWrite(Buffer, Length)) {
                    status = STATUS_ACCESS_VIOLATION;
                }
            }
        } else if (Length != 0 && (device->Flags & DO_DIRECT_IO)) {
            status = BuildUserMdl(Buffer, Length, !Write, irp);
        } else {
            status = STATUS_SUCCESS;
        }
        if (!NT_SUCCESS(status)) {
            DiscardRequest(irp);
        } else {
            ULONG_PTR information = 0;
            status = Submit(file, irp, Iosb, ApcContext, &information);
            if (Information != nullptr) {
                *Information = information;
            }
            if (synchronous && NT_SUCCESS(status)) {
                fo->CurrentByteOffset.QuadPart = offset + LONGLONG(information);
            }
        }
    }
    ObDereference(&file->ob, true);
    return status;
}

int32_t HostNtDeviceIoControlFile(void* Handle, uint32_t IoControlCode, void* InputBuffer,
                                  uint32_t InputLength, void* OutputBuffer, uint32_t OutputLength,
                                  HOST_NT_IOSB* Iosb, void* ApcContext, uintptr_t* Information)
{
    FileHost* file;
    NTSTATUS status = ReferenceFileForRequest(Handle, Information, &file);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    FILE_OBJECT* fo = &file->file;
    uint32_t required = (IoControlCode >> 14) & 3;
    PIRP irp = nullptr;
    if (ProcessIsEnding(CurrentProcess())) {
        status = STATUS_PROCESS_IS_TERMINATING;
    } else if (((required & FILE_READ_ACCESS) && !fo->ReadAccess) ||
               ((required & FILE_WRITE_ACCESS) && !fo->WriteAccess)) {
        status = STATUS_ACCESS_DENIED;
    } else {
        irp = NewRequest(file, IRP_MJ_DEVICE_CONTROL, &status);
    }
    if (irp != nullptr) {
        irp->UserBuffer = OutputBuffer;
        PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
        location->Parameters.DeviceIoControl.OutputBufferLength = OutputLength;
        location->Parameters.DeviceIoControl.InputBufferLength = InputLength;
        location->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
        status = STATUS_SUCCESS;
        switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
        case METHOD_BUFFERED: {
            ULONG size = InputLength > OutputLength ? InputLength : OutputLength;
            if (size != 0) {
                status = AttachSystemBuffer(irp, InputBuffer, InputLength, size);
            }
            if (NT_SUCCESS(status) && OutputLength != 0) {
                irp->Flags |= IRP_INPUT_OPERATION;
                HostOf(irp)->bufferedOut = OutputBuffer;
                HostOf(irp)->bufferedOutLength = OutputLength;
                if (IsSystemRange(OutputBuffer, OutputLength) ||
                    !CanWrite(OutputBuffer, OutputLength)) {
                    status = STATUS_ACCESS_VIOLATION;
                }
            }
            break;
        }
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            if (InputLength != 0) {
                status = AttachSystemBuffer(irp, InputBuffer, InputLength, InputLength);
            }
            if (NT_SUCCESS(status) && OutputLength != 0) {
                status = BuildUserMdl(OutputBuffer, OutputLength,
                                      METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_OUT_DIRECT,
                                      irp);
            }
            break;
        case METHOD_NEITHER:
            location->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
            break;
        }
        if (!NT_SUCCESS(status)) {
            DiscardRequest(irp);
        } else {
            status = Submit(file, irp, Iosb, ApcContext, Information);
        }
    }
    ObDereference(&file->ob, true);
    return status;
}

int32_t HostNtCancelIoFile(void* Handle)
{
    FileHost* file;
    NTSTATUS status = ReferenceFileForRequest(Handle, nullptr, &file);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    CancelThreadRequests(CurrentProcess(), CurrentThread(), file, true);
    ObDereference(&file->ob, true);
    RunDeferredCloses();
    return STATUS_SUCCESS;
}

ULONG HostIoOpenFileCount(VOID)
{
    return liveFiles.load(std::memory_order_relaxed);
}

ULONG HostIoOutstandingRequestCount(VOID)
{
    return outstandingRequests.load(std::memory_order_relaxed);
}

VOID HostIoRunDeferredWork(VOID)
{
    RunDeferredCloses();
}

}  // extern "C"
