// Shared between the I/O manager, memory, process and loader stand-ins.
// Not a product header.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "host/io_control.h"
#include "host/ps_control.h"
#include "nt/io.h"

struct _EPROCESS;
struct _ETHREAD;

namespace host_io {

// ---- Memory below 4 GiB (mm_lowmem.cpp) ----------------------------------
// Each block gets its own mapping with an inaccessible page after it, the
// block ending at (or within 15 bytes of) that page. System blocks form the
// "system space" the probes refuse for user-mode requests.
void* LowAllocate(size_t size, bool system);
void LowFree(void* block);
bool LowOverlapsSystem(const void* address, size_t length);
size_t LowLiveBlocks(bool system);

// ---- Failure injection (ob_namespace.cpp) ---------------------------------
// TRUE and *status when the call at point must fail now.
bool InjectFailure(HOST_IO_FAILURE_POINT point, NTSTATUS* status);

// ---- Object manager (ob_namespace.cpp) -----------------------------------
enum class ObType { File, Port, Thread, Event };

struct ObObject {
    ObType type;
    std::atomic<long> references;
};

void ObReference(ObObject* object);
// runNow: the caller is at PASSIVE_LEVEL outside any driver callback, so a
// file's close request may be sent at once; else it is deferred.
void ObDereference(ObObject* object, bool runNow);

// ---- Devices and drivers (ob_namespace.cpp, ldr_driver.cpp) ----------------
// DRIVER_OBJECT first, so that a PDRIVER_OBJECT is its DriverHost.
struct DriverHost {
    DRIVER_OBJECT driver;
    DRIVER_EXTENSION extension;
    std::u16string name;            // \Driver\<image name>
    std::u16string registryPath;
    std::string imagePath;          // host path; empty for a built-in entry
    void* image;                    // dlopen handle, or NULL
    uintptr_t imageBegin;           // address range of the image's segments
    uintptr_t imageEnd;
};

struct DeviceHost {
    DEVICE_OBJECT device;
    std::u16string name;      // empty for an unnamed device
    DriverHost* driver;
    bool deleted;             // guarded by the namespace lock
};

DeviceHost* DeviceOf(PDEVICE_OBJECT device);
DriverHost* DriverOf(PDRIVER_OBJECT driver);
PDRIVER_OBJECT DriverObjectOf(DriverHost* driver);
// Drops an open-file reference of a device; frees a deleted device at zero.
void DeviceReference(PDEVICE_OBJECT device);
void DeviceDereference(PDEVICE_OBJECT device);

// Resolves an NT path (following links) to a referenced device and the rest
// of the path. STATUS_OBJECT_NAME_NOT_FOUND / _PATH_NOT_FOUND / ...
NTSTATUS ResolveForOpen(const std::u16string& path, PDEVICE_OBJECT* device,
                        std::u16string* remainder);

// The driver whose code the calling thread runs (for link ownership).
DriverHost* CurrentDriver();
DriverHost* SetCurrentDriver(DriverHost* driver);

// The first routine the image at path imports that the kernel of the
// version profile does not export, with the release that brought it; empty
// when there is none (ldr_imports.cpp).
std::string MissingKernelExport(const std::string& path);

// Counts used by the unload check.
ULONG CountDevicesOf(DriverHost* driver);
ULONG CountLinksOf(DriverHost* driver, bool remove);
ULONG CountOpenFilesOf(DriverHost* driver);
void RemoveDevicesOf(DriverHost* driver);
// Frees every name and stops counting every device (HostIoReset).
void ForgetNamespace();

// ---- Packets (io_irp.cpp) --------------------------------------------------
enum class IrpOrigin { Driver, Test, User };

struct FileHost;
struct PortHost;

struct SyncWait {
    std::mutex lock;
    std::condition_variable done;
    bool completed = false;        // guarded by lock
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

// A user-visible status block (OVERLAPPED.Internal/InternalHigh).
struct UserIosb {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
};

struct IrpHost {
    IrpOrigin origin;
    std::atomic<int> references;   // user IRPs: the I/O manager and cancellers
    std::atomic<bool> completed;
    // Test IRPs: written by the completing thread before completed is set.
    PHOST_IO_COMPLETION_OBSERVER observer;
    PVOID observerContext;
    HOST_IO_TEST_IRP_RESULT result;
    // User requests. Fixed at submission except the process links.
    _EPROCESS* process;
    FileHost* file;
    SyncWait* wait;                // synchronous caller, or NULL
    UserIosb* userIosb;            // asynchronous caller's OVERLAPPED
    PVOID apcContext;              // OVERLAPPED pointer for the port packet
    PVOID bufferedOut;             // user buffer receiving SystemBuffer
    ULONG bufferedOutLength;
    IrpHost* processNext;          // guarded by the process lock
    IrpHost* processPrev;
    // Id of the issuing thread (ids are never reused, records may be), 0
    // once cut loose from it; process lock.
    ULONG_PTR threadId;
};

IrpHost* HostOf(PIRP irp);
PIRP IrpOf(IrpHost* host);
// Packets of user requests; NULL on failure (injection included when
// injectable).
PIRP AllocateUserIrp(CCHAR stackSize, bool injectable);
// Releases one reference; the last one frees the packet.
void ReleaseUserIrp(IrpHost* host);
// The dispatch routine that NT installs for every major function.
NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT device, PIRP irp);

// ---- MDLs (mm_mdl.cpp) -----------------------------------------------------
// Builds the MDL of a user buffer as the I/O manager does for direct I/O:
// locked, not yet mapped; a system-space copy stands in for memory above
// 4 GiB (filled from the caller's buffer now). deviceWrites: the device
// writes into the buffer (read, OUT_DIRECT), so the copy goes back to the
// caller at completion.
NTSTATUS BuildUserMdl(PVOID userBuffer, ULONG length, bool deviceWrites, PIRP irp);
// At completion: copies system-space copies back and frees the chain.
void ReleaseIrpMdls(PIRP irp);

// ---- Probing (se_probe.cpp) -----------------------------------------------
// TRUE when [begin, end) touches a loaded driver image or ntoskrnl itself
// (ldr_driver.cpp).
bool AddressInImages(uintptr_t begin, uintptr_t end);
bool IsSystemRange(const void* address, size_t length);
bool CanRead(const void* address, size_t length);
bool CanWrite(void* address, size_t length);
// Guarded copies; FALSE when either side faults.
bool SafeCopy(void* destination, const void* source, size_t length);

// ---- Processes and handles (ps_process.cpp) --------------------------------
_EPROCESS* CurrentProcess();
_ETHREAD* CurrentThread();
// A process record lives while anything refers to it (its creator, its
// threads, its outstanding requests) and is freed once it has ended.
void ReferenceProcess(_EPROCESS* process);
void ReleaseProcess(_EPROCESS* process);
// Links a user request to its process (which it holds a reference on while
// linked) and to the calling thread.
void LinkRequest(_EPROCESS* process, IrpHost* irp);
void UnlinkRequest(_EPROCESS* process, IrpHost* irp);
bool ProcessIsEnding(_EPROCESS* process);
void SetThreadContext(_EPROCESS* process, _ETHREAD* thread);
_ETHREAD* NewThreadRecord();
void DeleteThreadRecord(_ETHREAD* thread);
ULONG_PTR ThreadId(_ETHREAD* thread);
ULONG CountNotifyRoutinesIn(uintptr_t begin, uintptr_t end);
// Handle tables: the handle's object is referenced for the caller.
NTSTATUS InsertHandle(_EPROCESS* process, ObObject* object, HANDLE* handle);
NTSTATUS ReferenceHandle(HANDLE handle, ObType type, ObObject** object);
// Removes the handle and returns its object (reference transferred).
NTSTATUS RemoveHandle(_EPROCESS* process, HANDLE handle, ObObject** object);

// ---- Threads and their requests (ps_process.cpp) -----------------------------
// IoCancelIrp for each outstanding request of process that thread issued, on
// file only unless it is null; port: requests on files bound to a port too.
void CancelThreadRequests(_EPROCESS* process, _ETHREAD* thread, FileHost* file, bool portBound);
// A thread's exit by the version profile: its requests are cancelled, then
// waited for; after 5 minutes of the stand-in's clock those left are cut
// loose from it. Vista and later leave requests on port-bound files alone.
void ExitThreadIo(_EPROCESS* process, _ETHREAD* thread);

// ---- Files (io_file.cpp) ---------------------------------------------------
struct FileHost {
    ObObject ob;
    FILE_OBJECT file;
    IO_COMPLETION_CONTEXT completion;   // written once, before port is published
    std::atomic<PortHost*> port;        // bound port (referenced), or NULL
    std::atomic<long> handles;
    std::u16string fileName;
};

// Called when the last handle of a file goes: sends IRP_MJ_CLEANUP.
void CloseFileHandle(FileHost* file);
void DeleteFile(FileHost* file, bool runNow);
// Sends close requests deferred from completions (PASSIVE_LEVEL only).
void RunDeferredCloses();

// ---- Completion ports (io_port.cpp) ----------------------------------------
struct PortPacket {
    ULONG_PTR key;
    PVOID overlapped;
    NTSTATUS status;
    ULONG_PTR information;
};

struct PortHost {
    ObObject ob;
    std::mutex lock;
    std::condition_variable ready;
    std::deque<PortPacket> packets;   // guarded by lock
    bool closed;                      // waiters released; guarded by lock
};

void QueuePacket(PortHost* port, const PortPacket& packet);
// The last handle of a port went. Its waiters are released (ERROR_ABANDONED_
// WAIT_0) when releaseWaiters: from Vista on, or as the process ends (which
// stands for the end of its threads); else they go on waiting for packets.
void ClosePortHandle(PortHost* port, bool releaseWaiters);
void DeletePort(PortHost* port);

// ---- Threads (ps_thread.cpp) -------------------------------------------------
void ThreadHandleClosed(ObObject* thread);
void DeleteThread(ObObject* thread);
// A thread object's state for waits: ended (and its exit code), its id.
bool ThreadEnded(ObObject* thread);
ULONG_PTR ThreadIdOfObject(ObObject* thread);

// ---- Stand-in threads: waits and stopping (ke_wait.cpp) ----------------------
struct WaitThread;
// Made before the host thread starts, so that it counts as running at once;
// bound on the new thread; unregistered as the thread's last act.
WaitThread* RegisterStandInThread(_EPROCESS* process, ULONG_PTR id);
void BindStandInThread(WaitThread* thread);
// Its routine has returned: it no longer counts as running product code,
// though it is busy (not idle) until unregistered.
void EndingStandInThread(WaitThread* thread);
void UnregisterStandInThread(WaitThread* thread);
// Stand-in threads whose routine has not returned, of process (NULL: all).
ULONG CountStandInThreads(_EPROCESS* process);
// Stops every stand-in thread of process but the caller's; returns once each
// has ended or waits where it cannot be stopped.
NTSTATUS StopThreadsOf(_EPROCESS* process, uint32_t exitCode);

// ---- Dispatcher objects (ke_dispatcher.cpp) -----------------------------------
// Waits on handles share one lock and one condition variable, as NT's
// dispatcher lock: whoever signals an object takes the lock and notifies.
std::mutex& DispatcherLock();
void NotifyDispatcher();
void DeleteEvent(ObObject* event);

// ---- Completion of user requests (io_file.cpp) -----------------------------
// Final stage of a user IRP after its stack has unwound.
void CompleteUserRequest(PIRP irp);

}  // namespace host_io
