// Threads created through CreateThread: each runs in its creator's current
// process on a stack below 4 GiB, as every i386 address is, so that records
// on it reach drivers as they would on Windows (no system-space copy). Its
// exit is NT's for the version profile (ExitThreadIo) before it becomes
// signalled. A thread is a waitable object behind a handle.
#include <pthread.h>
#include <sys/mman.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include "host/io_user.h"
#include "io_internal.h"

namespace host_io {
namespace {

// The reserve Windows gives a thread by default; every thread gets it.
constexpr size_t kStackSize = size_t(1) << 20;
constexpr size_t kGuard = 4096;

struct Stack {
    pthread_t thread;
    void* base;         // the mapping, guard page first
    size_t length;
};

struct ThreadHost {
    ObObject ob;
    _EPROCESS* process;
    _ETHREAD* thread;
    HOST_NT_THREAD_START start;
    void* parameter;
    Stack stack;
    WaitThread* waits;
    std::mutex lock;
    bool finished;          // guarded by lock
    uint32_t exitCode;      // guarded by lock
};

// Stacks of threads that have run to their end, freed once joined: a thread
// cannot unmap the stack it runs on. A thread counts as finishing from when
// it is signalled until its stack is in the list. Never destroyed: a thread
// may end while the program exits. Fields guarded by lock.
struct DeadThreads {
    std::mutex lock;
    std::condition_variable listed;
    ULONG finishing = 0;
    std::vector<Stack> stacks;
};

DeadThreads& Dead()
{
    static auto* dead = new DeadThreads;
    return *dead;
}

void FreeStack(const Stack& stack)
{
#if defined(__SANITIZE_ADDRESS__)
    // Frames that never returned leave their redzones poisoned.
    ASAN_UNPOISON_MEMORY_REGION(stack.base, stack.length);
#endif
    munmap(stack.base, stack.length);
}

// Joins the threads that have ended (waiting for those signalled but not yet
// listed when asked to) and frees their stacks.
void ReapDeadThreads(bool waitForFinishing)
{
    DeadThreads& all = Dead();
    std::vector<Stack> dead;
    {
        std::unique_lock<std::mutex> guard(all.lock);
        if (waitForFinishing) {
            all.listed.wait(guard, [&all] { return all.finishing == 0; });
        }
        dead.swap(all.stacks);
    }
    for (const Stack& stack : dead) {
        pthread_join(stack.thread, nullptr);
        FreeStack(stack);
    }
}

// At exit, every thread that has ended is joined too: none is left unjoined
// behind (threads still running are not waited for).
struct DeadThreadReaper {
    ~DeadThreadReaper() { ReapDeadThreads(true); }
} deadThreadReaper;

void* Run(void* argument)
{
    ThreadHost* host = static_cast<ThreadHost*>(argument);
    WaitThread* waits = host->waits;
    BindStandInThread(waits);
    SetThreadContext(host->process, host->thread);
    uint32_t code = host->start(host->parameter);
    EndingStandInThread(waits);
    ExitThreadIo(host->process, host->thread);
    DeadThreads& dead = Dead();
    {
        std::lock_guard<std::mutex> guard(dead.lock);
        ++dead.finishing;
    }
    {
        std::lock_guard<std::mutex> guard(host->lock);
        host->finished = true;
        host->exitCode = code;
    }
    NotifyDispatcher();
    SetThreadContext(nullptr, nullptr);
    Stack stack = host->stack;
    stack.thread = pthread_self();
    ObDereference(&host->ob, true);
    UnregisterStandInThread(waits);
    std::lock_guard<std::mutex> guard(dead.lock);
    dead.stacks.push_back(stack);
    --dead.finishing;
    dead.listed.notify_all();
    return nullptr;
}

// Starts host on a stack of its own below 4 GiB.
bool StartThread(ThreadHost* host)
{
    const size_t length = kStackSize + kGuard;
    void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT | MAP_STACK | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) {
        return false;
    }
    mprotect(base, kGuard, PROT_NONE);
    host->stack = Stack{pthread_t{}, base, length};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstack(&attributes, static_cast<char*>(base) + kGuard, kStackSize);
    pthread_t thread;
    const int error = pthread_create(&thread, &attributes, Run, host);
    pthread_attr_destroy(&attributes);
    if (error != 0) {
        munmap(base, length);
        return false;
    }
    return true;
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
    ReapDeadThreads(false);
    // Read before the start: a thread that ends at once, in a process that
    // ends with it, can take the object with it before StartThread returns.
    const ULONG_PTR id = host_io::ThreadId(host->thread);
    host->waits = RegisterStandInThread(host->process, id);
    if (!StartThread(host)) {
        UnregisterStandInThread(host->waits);
        ObObject* removed;
        RemoveHandle(host->process, handle, &removed);
        DeleteThread(&host->ob);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *Handle = handle;
    if (ThreadId != nullptr) {
        *ThreadId = uint32_t(id);
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
