// Processes: ids, handle tables, the requests their threads issued, the
// calling thread's current process and the process-notify routines.
#include <chrono>
#include <memory>

#include "host/io_user.h"
#include "host/ke_control.h"
#include "host/version_control.h"
#include "io_internal.h"

struct _EPROCESS {
    enum class State { Alive, Ending, Ended };

    ULONG_PTR id;
    ULONG_PTR parentId;
    bool isDefault;
    // The creator's, each thread's and each outstanding request's. An ended
    // process with none left is freed.
    std::atomic<long> references;
    std::mutex lock;
    State state;                                // guarded by lock
    std::vector<host_io::ObObject*> handles;    // slot i is handle (i + 1) * 4; guarded by lock
    host_io::IrpHost* requests;                 // outstanding user requests; guarded by lock
    ULONG requestCount;                         // guarded by lock
    std::condition_variable requestLeft;        // a request completed; with lock
};

struct _ETHREAD {
    ULONG_PTR id;
};

namespace host_io {
namespace {

// Process and thread ids share one counter, as NT's client ids do.
std::atomic<ULONG_PTR> nextClientId{0x100};

ULONG_PTR NewClientId()
{
    return nextClientId.fetch_add(4, std::memory_order_relaxed);
}

std::mutex processListLock;
// Every process not yet freed.
std::vector<std::unique_ptr<_EPROCESS>>& Processes()
{
    static auto* processes = new std::vector<std::unique_ptr<_EPROCESS>>;
    return *processes;
}

_EPROCESS* NewProcess(ULONG_PTR parentId, bool isDefault)
{
    auto process = std::make_unique<_EPROCESS>();
    process->id = NewClientId();
    process->parentId = parentId;
    process->isDefault = isDefault;
    process->references.store(1, std::memory_order_relaxed);
    process->state = _EPROCESS::State::Alive;
    process->requests = nullptr;
    process->requestCount = 0;
    _EPROCESS* result = process.get();
    std::lock_guard<std::mutex> guard(processListLock);
    Processes().push_back(std::move(process));
    return result;
}

// Frees an ended process that nothing refers to any more.
void FreeIfUnused(_EPROCESS* process)
{
    if (process->isDefault || process->references.load(std::memory_order_acquire) != 0) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(process->lock);
        if (process->state != _EPROCESS::State::Ended) {
            return;
        }
    }
    std::lock_guard<std::mutex> guard(processListLock);
    auto& processes = Processes();
    for (auto it = processes.begin(); it != processes.end(); ++it) {
        if (it->get() == process) {
            processes.erase(it);
            return;
        }
    }
}

_EPROCESS* DefaultProcess()
{
    static _EPROCESS* process = NewProcess(0, true);
    return process;
}

thread_local _EPROCESS* currentProcess = nullptr;
thread_local _ETHREAD* currentThread = nullptr;
thread_local std::unique_ptr<_ETHREAD> ownThread;

constexpr int kMaxNotifyRoutines = 8;
std::mutex notifyLock;
PCREATE_PROCESS_NOTIFY_ROUTINE notifyRoutines[kMaxNotifyRoutines];   // guarded by notifyLock

void RunNotifyRoutines(HANDLE parentId, HANDLE processId, BOOLEAN create)
{
    PCREATE_PROCESS_NOTIFY_ROUTINE routines[kMaxNotifyRoutines];
    {
        std::lock_guard<std::mutex> guard(notifyLock);
        for (int i = 0; i < kMaxNotifyRoutines; ++i) {
            routines[i] = notifyRoutines[i];
        }
    }
    for (auto routine : routines) {
        if (routine != nullptr) {
            routine(parentId, processId, create);
        }
    }
}

// Closes one handle's object as CloseHandle does, or as the end of its
// process does.
void CloseObject(ObObject* object, bool processEnding)
{
    switch (object->type) {
    case ObType::File: {
        FileHost* file = reinterpret_cast<FileHost*>(object);
        if (file->handles.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            CloseFileHandle(file);
        }
        break;
    }
    case ObType::Port:
        ClosePortHandle(reinterpret_cast<PortHost*>(object),
                        processEnding || HostGetWindowsVersion() == HostWindowsVistaAndLater);
        break;
    case ObType::Thread:
    case ObType::Event:
        break;
    }
    ObDereference(object, true);
}


// Closes every handle of a process's table, as CloseHandle does; returns how
// many there were.
ULONG CloseHandleTable(_EPROCESS* process)
{
    std::vector<ObObject*> handles;
    {
        std::lock_guard<std::mutex> guard(process->lock);
        handles.swap(process->handles);
    }
    ULONG closed = 0;
    for (ObObject* object : handles) {
        if (object != nullptr) {
            CloseObject(object, true);
            ++closed;
        }
    }
    RunDeferredCloses();
    return closed;
}

}  // namespace

_EPROCESS* CurrentProcess()
{
    return currentProcess != nullptr ? currentProcess : DefaultProcess();
}

_ETHREAD* CurrentThread()
{
    if (currentThread == nullptr) {
        ownThread = std::make_unique<_ETHREAD>();
        ownThread->id = NewClientId();
        currentThread = ownThread.get();
    }
    return currentThread;
}

void SetThreadContext(_EPROCESS* process, _ETHREAD* thread)
{
    currentProcess = process;
    currentThread = thread;
}

_ETHREAD* NewThreadRecord()
{
    _ETHREAD* thread = new _ETHREAD;
    thread->id = NewClientId();
    return thread;
}

void DeleteThreadRecord(_ETHREAD* thread)
{
    delete thread;
}

ULONG_PTR ThreadId(_ETHREAD* thread)
{
    return thread->id;
}

void ReferenceProcess(_EPROCESS* process)
{
    process->references.fetch_add(1, std::memory_order_relaxed);
}

void ReleaseProcess(_EPROCESS* process)
{
    if (process->references.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        FreeIfUnused(process);
    }
}

void LinkRequest(_EPROCESS* process, IrpHost* irp)
{
    ReferenceProcess(process);
    const ULONG_PTR threadId = CurrentThread()->id;
    std::lock_guard<std::mutex> guard(process->lock);
    irp->process = process;
    irp->threadId = threadId;
    irp->processPrev = nullptr;
    irp->processNext = process->requests;
    if (process->requests != nullptr) {
        process->requests->processPrev = irp;
    }
    process->requests = irp;
    process->requestCount++;
}

void UnlinkRequest(_EPROCESS* process, IrpHost* irp)
{
    {
        std::lock_guard<std::mutex> guard(process->lock);
        if (irp->processPrev != nullptr) {
            irp->processPrev->processNext = irp->processNext;
        } else {
            process->requests = irp->processNext;
        }
        if (irp->processNext != nullptr) {
            irp->processNext->processPrev = irp->processPrev;
        }
        irp->processNext = irp->processPrev = nullptr;
        irp->threadId = 0;
        process->requestCount--;
        process->requestLeft.notify_all();
    }
    ReleaseProcess(process);
}

namespace {

// thread issued irp, and it is not on a file bound to a port unless portBound.
bool IssuedBy(const IrpHost* irp, _ETHREAD* thread, bool portBound)
{
    const bool onPort =
        irp->file != nullptr && irp->file->port.load(std::memory_order_acquire) != nullptr;
    return irp->threadId == thread->id && (portBound || !onPort);
}

}  // namespace

void CancelThreadRequests(_EPROCESS* process, _ETHREAD* thread, FileHost* file, bool portBound)
{
    std::vector<IrpHost*> requests;
    {
        std::lock_guard<std::mutex> guard(process->lock);
        for (IrpHost* irp = process->requests; irp != nullptr; irp = irp->processNext) {
            if (IssuedBy(irp, thread, portBound) && (file == nullptr || irp->file == file)) {
                // Keeps the packet while it is cancelled, even if it
                // completes meanwhile.
                irp->references.fetch_add(1, std::memory_order_relaxed);
                requests.push_back(irp);
            }
        }
    }
    for (IrpHost* irp : requests) {
        IoCancelIrp(IrpOf(irp));
        ReleaseUserIrp(irp);
    }
}

void ExitThreadIo(_EPROCESS* process, _ETHREAD* thread)
{
    // NT 4.0 to XP wait in steps of the clock for at most 5 minutes.
    constexpr ULONGLONG kCutLoose = 5ull * 60 * 1000 * HOST_KE_UNITS_PER_MS;
    const bool portBound = HostGetWindowsVersion() == HostWindowsNt4ToXp;
    CancelThreadRequests(process, thread, nullptr, portBound);
    RunDeferredCloses();
    const ULONGLONG deadline = HostKeQueryTime() + kCutLoose;
    std::unique_lock<std::mutex> guard(process->lock);
    for (;;) {
        bool waiting = false;
        for (IrpHost* irp = process->requests; irp != nullptr; irp = irp->processNext) {
            waiting = waiting || IssuedBy(irp, thread, portBound);
        }
        if (!waiting) {
            return;
        }
        if (HostKeQueryTime() >= deadline) {
            for (IrpHost* irp = process->requests; irp != nullptr; irp = irp->processNext) {
                if (irp->threadId == thread->id) {
                    irp->threadId = 0;
                }
            }
            return;
        }
        // The clock may be virtual: look at it again now and then.
        process->requestLeft.wait_for(guard, std::chrono::milliseconds(10));
    }
}

bool ProcessIsEnding(_EPROCESS* process)
{
    std::lock_guard<std::mutex> guard(process->lock);
    return process->state != _EPROCESS::State::Alive;
}

NTSTATUS InsertHandle(_EPROCESS* process, ObObject* object, HANDLE* handle)
{
    std::lock_guard<std::mutex> guard(process->lock);
    if (process->state != _EPROCESS::State::Alive) {
        return STATUS_PROCESS_IS_TERMINATING;
    }
    size_t slot = 0;
    while (slot < process->handles.size() && process->handles[slot] != nullptr) {
        ++slot;
    }
    if (slot == process->handles.size()) {
        process->handles.push_back(object);
    } else {
        process->handles[slot] = object;
    }
    *handle = reinterpret_cast<HANDLE>((slot + 1) * 4);
    return STATUS_SUCCESS;
}

namespace {

bool SlotOf(HANDLE handle, size_t* slot)
{
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value == 0 || (value & 3) != 0) {
        return false;
    }
    *slot = value / 4 - 1;
    return true;
}

}  // namespace

NTSTATUS ReferenceHandle(HANDLE handle, ObType type, ObObject** object)
{
    _EPROCESS* process = CurrentProcess();
    size_t slot;
    std::lock_guard<std::mutex> guard(process->lock);
    if (!SlotOf(handle, &slot) || slot >= process->handles.size() ||
        process->handles[slot] == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    ObObject* found = process->handles[slot];
    if (found->type != type) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    ObReference(found);
    *object = found;
    return STATUS_SUCCESS;
}

NTSTATUS RemoveHandle(_EPROCESS* process, HANDLE handle, ObObject** object)
{
    size_t slot;
    std::lock_guard<std::mutex> guard(process->lock);
    if (!SlotOf(handle, &slot) || slot >= process->handles.size() ||
        process->handles[slot] == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    *object = process->handles[slot];
    process->handles[slot] = nullptr;
    return STATUS_SUCCESS;
}

}  // namespace host_io

using namespace host_io;

extern "C" {

HANDLE NTAPI PsGetCurrentProcessId(VOID)
{
    return reinterpret_cast<HANDLE>(CurrentProcess()->id);
}

HANDLE NTAPI PsGetCurrentThreadId(VOID)
{
    return reinterpret_cast<HANDLE>(CurrentThread()->id);
}

PEPROCESS NTAPI IoGetCurrentProcess(VOID)
{
    return CurrentProcess();
}

PETHREAD NTAPI PsGetCurrentThread(VOID)
{
    return CurrentThread();
}

PKTHREAD NTAPI KeGetCurrentThread(VOID)
{
    return reinterpret_cast<PKTHREAD>(CurrentThread());
}

HANDLE NTAPI PsGetProcessId(PEPROCESS Process)
{
    return reinterpret_cast<HANDLE>(Process->id);
}

NTSTATUS NTAPI PsSetCreateProcessNotifyRoutine(PCREATE_PROCESS_NOTIFY_ROUTINE NotifyRoutine,
                                               BOOLEAN Remove)
{
    std::lock_guard<std::mutex> guard(notifyLock);
    if (!Remove) {
        // A routine registers once; a second registration is refused.
        for (auto slot : notifyRoutines) {
            if (slot == NotifyRoutine) {
                return STATUS_INVALID_PARAMETER;
            }
        }
    }
    for (auto& slot : notifyRoutines) {
        if (Remove ? slot == NotifyRoutine : slot == nullptr) {
            slot = Remove ? nullptr : NotifyRoutine;
            return STATUS_SUCCESS;
        }
    }
    return Remove ? STATUS_PROCEDURE_NOT_FOUND : STATUS_INVALID_PARAMETER;
}

PEPROCESS HostPsDefaultProcess(VOID)
{
    return DefaultProcess();
}

NTSTATUS HostPsCreateProcess(PEPROCESS* Process)
{
    _EPROCESS* process = NewProcess(CurrentProcess()->id, false);
    RunNotifyRoutines(reinterpret_cast<HANDLE>(process->parentId),
                      reinterpret_cast<HANDLE>(process->id), TRUE);
    *Process = process;
    return STATUS_SUCCESS;
}

PEPROCESS HostPsSetCurrentProcess(PEPROCESS Process)
{
    PEPROCESS previous = CurrentProcess();
    currentProcess = Process != nullptr ? Process : DefaultProcess();
    return previous;
}

NTSTATUS HostPsTerminateProcess(PEPROCESS Process)
{
    if (Process->isDefault) {
        return STATUS_ACCESS_DENIED;
    }
    std::vector<IrpHost*> requests;
    {
        std::lock_guard<std::mutex> guard(Process->lock);
        if (Process->state == _EPROCESS::State::Ended) {
            return STATUS_PROCESS_IS_TERMINATING;
        }
        Process->state = _EPROCESS::State::Ending;
        for (IrpHost* irp = Process->requests; irp != nullptr; irp = irp->processNext) {
            // Keeps the packet alive while it is cancelled, even if it
            // completes meanwhile.
            irp->references.fetch_add(1, std::memory_order_relaxed);
            requests.push_back(irp);
        }
    }
    for (IrpHost* irp : requests) {
        IoCancelIrp(IrpOf(irp));
        ReleaseUserIrp(irp);
    }
    RunDeferredCloses();
    {
        std::lock_guard<std::mutex> guard(Process->lock);
        if (Process->requestCount != 0) {
            return STATUS_PENDING;
        }
    }
    // As NT's last thread exit: notify routines in the process's context,
    // then the handle table goes.
    _EPROCESS* previous = currentProcess;
    currentProcess = Process;
    RunNotifyRoutines(reinterpret_cast<HANDLE>(Process->parentId),
                      reinterpret_cast<HANDLE>(Process->id), FALSE);
    CloseHandleTable(Process);
    currentProcess = previous == Process ? nullptr : previous;
    {
        std::lock_guard<std::mutex> guard(Process->lock);
        Process->state = _EPROCESS::State::Ended;
    }
    FreeIfUnused(Process);
    return STATUS_SUCCESS;
}

VOID HostPsReleaseProcess(PEPROCESS Process)
{
    ReleaseProcess(Process);
}

ULONG HostPsCloseHandles(PEPROCESS Process)
{
    return CloseHandleTable(Process);
}

NTSTATUS HostPsStopThreads(PEPROCESS Process, ULONG ExitCode)
{
    return StopThreadsOf(Process, ExitCode);
}

ULONG HostPsThreadCount(PEPROCESS Process)
{
    return CountStandInThreads(Process);
}

ULONG HostPsProcessCount(VOID)
{
    std::lock_guard<std::mutex> guard(processListLock);
    ULONG count = 0;
    for (const auto& process : Processes()) {
        count += process->isDefault ? 0 : 1;
    }
    return count;
}

ULONG HostPsOutstandingRequests(PEPROCESS Process)
{
    std::lock_guard<std::mutex> guard(Process->lock);
    return Process->requestCount;
}

ULONG HostPsHandleCount(PEPROCESS Process)
{
    std::lock_guard<std::mutex> guard(Process->lock);
    ULONG count = 0;
    for (ObObject* object : Process->handles) {
        if (object != nullptr) {
            ++count;
        }
    }
    return count;
}

BOOLEAN HostPsProcessEnded(PEPROCESS Process)
{
    std::lock_guard<std::mutex> guard(Process->lock);
    return Process->state == _EPROCESS::State::Ended;
}

ULONG HostPsNotifyRoutineCount(VOID)
{
    std::lock_guard<std::mutex> guard(notifyLock);
    ULONG count = 0;
    for (auto routine : notifyRoutines) {
        if (routine != nullptr) {
            ++count;
        }
    }
    return count;
}

int32_t HostNtClose(void* Handle)
{
    ObObject* object;
    NTSTATUS status = RemoveHandle(CurrentProcess(), Handle, &object);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    CloseObject(object, false);
    RunDeferredCloses();
    return STATUS_SUCCESS;
}

uint32_t HostNtCurrentThreadId(void)
{
    return uint32_t(CurrentThread()->id);
}

uint32_t HostNtCurrentProcessId(void)
{
    return uint32_t(CurrentProcess()->id);
}

}  // extern "C"

// For the loader's unload check: notify routines whose code lies in
// [begin, end).
namespace host_io {
ULONG CountNotifyRoutinesIn(uintptr_t begin, uintptr_t end)
{
    std::lock_guard<std::mutex> guard(notifyLock);
    ULONG count = 0;
    for (auto routine : notifyRoutines) {
        uintptr_t address = reinterpret_cast<uintptr_t>(routine);
        if (routine != nullptr && address >= begin && address < end) {
            ++count;
        }
    }
    return count;
}
}  // namespace host_io
