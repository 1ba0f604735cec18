// Threads created through CreateThread: each runs in its creator's current
// process and is a waitable object behind a handle.
#include <thread>

#include "host/io_user.h"
#include "io_internal.h"

namespace host_io {
namespace {

struct ThreadHost {
    ObObject ob;
    _EPROCESS* process;
    _ETHREAD* thread;
    HOST_NT_THREAD_START start;
    void* parameter;
    WaitThread* waits;
    std::mutex lock;
    bool finished;          // guarded by lock
    uint32_t exitCode;      // guarded by lock
};

void Run(ThreadHost* host)
{
    WaitThread* waits = host->waits;
    BindStandInThread(waits);
    SetThreadContext(host->process, host->thread);
    uint32_t code = host->start(host->parameter);
    EndingStandInThread(waits);
    {
        std::lock_guard<std::mutex> guard(host->lock);
        host->finished = true;
        host->exitCode = code;
    }
    NotifyDispatcher();
    SetThreadContext(nullptr, nullptr);
    ObDereference(&host->ob, true);
    UnregisterStandInThread(waits);
}

}  // namespace

bool ThreadEnded(ObObject* object)
{
    ThreadHost* host = reinterpret_cast<ThreadHost*>(object);
    std::lock_guard<std::mutex> guard(host->lock);
    return host->finished;
}

ULONG_PTR ThreadIdOfObject(ObObject* object)
{
    return ThreadId(reinterpret_cast<ThreadHost*>(object)->thread);
}

void DeleteThread(ObObject* object)
{
    ThreadHost* host = reinterpret_cast<ThreadHost*>(object);
    ReleaseProcess(host->process);
    DeleteThreadRecord(host->thread);
    delete host;
}

}  // namespace host_io

using namespace host_io;

extern "C" {

int32_t HostNtCreateThread(HOST_NT_THREAD_START Start, void* Parameter, void** Handle,
                           uint32_t* ThreadId)
{
    if (Start == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ThreadHost* host = new ThreadHost{};
    host->ob.type = ObType::Thread;
    host->ob.references.store(2, std::memory_order_relaxed);   // handle and the thread
    host->process = CurrentProcess();
    ReferenceProcess(host->process);
    host->thread = NewThreadRecord();
    host->start = Start;
    host->parameter = Parameter;
    host->finished = false;
    host->exitCode = 0;
    HANDLE handle;
    NTSTATUS status = InsertHandle(host->process, &host->ob, &handle);
    if (!NT_SUCCESS(status)) {
        DeleteThread(&host->ob);
        return status;
    }
    host->waits = RegisterStandInThread(host->process, host_io::ThreadId(host->thread));
    try {
        std::thread(Run, host).detach();
    } catch (...) {
        UnregisterStandInThread(host->waits);
        ObObject* removed;
        RemoveHandle(host->process, handle, &removed);
        DeleteThread(&host->ob);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *Handle = handle;
    if (ThreadId != nullptr) {
        *ThreadId = uint32_t(host_io::ThreadId(host->thread));
    }
    return STATUS_SUCCESS;
}

int32_t HostNtGetExitCodeThread(void* Handle, uint32_t* ExitCode, int* Running)
{
    ObObject* object;
    NTSTATUS status = ReferenceHandle(Handle, ObType::Thread, &object);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ThreadHost* host = reinterpret_cast<ThreadHost*>(object);
    {
        std::lock_guard<std::mutex> guard(host->lock);
        *Running = host->finished ? 0 : 1;
        *ExitCode = host->exitCode;
    }
    ObDereference(object, true);
    return STATUS_SUCCESS;
}

}  // extern "C"
