// Stand-in threads and their waits: the registry of threads made by
// CreateThread, the one wait every stand-in blocking point uses, stopping the
// threads of an ending process, and the idle test of HostWaitForQuiet.
//
// Lock order: registryLock, then a thread's record lock, then (try-locked
// only) the lock of the site it waits at. A waiter holds its site's lock and
// takes its record lock to publish or withdraw the site; anyone who wants the
// site's lock while holding a record lock backs off when the try fails, so
// the two orders never deadlock.
#include <execinfo.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <map>
#include <vector>
#include <thread>

#include "host/ke_user.h"
#include "io_internal.h"

namespace host_io {

struct WaitSite {
    std::mutex* lock;
    std::condition_variable* cv;
    host_wait::ReadyTest ready;
    void* context;
    const char* what;
    bool stoppable;
};

struct WaitThread {
    _EPROCESS* process;
    ULONG_PTR id;
    pthread_t host;                     // set when the thread binds; registryLock
    bool bound;                         // registryLock
    std::mutex lock;                    // the record lock
    WaitSite* site;                     // record lock
    std::atomic<bool> stopping;
    bool ending;                        // its routine returned; registryLock
    uint32_t exitCode;                  // set before stopping is
    void* catcher;                      // the thread's own
};

namespace {

std::mutex registryLock;
// A thread ended. Never destroyed: detached threads may end during exit.
std::condition_variable& registryChanged = *new std::condition_variable;
std::map<ULONG_PTR, WaitThread*>& Threads()  // registryLock
{
    static auto* threads = new std::map<ULONG_PTR, WaitThread*>;
    return *threads;
}

thread_local WaitThread* self = nullptr;

// How long a stop may take before the threads that did not stop are named
// and the program aborts: a thread running product code that never calls
// the stand-ins again.
constexpr auto kStopLimit = std::chrono::seconds(10);

// Wakes t from its wait, if it waits. registryLock held. FALSE when its
// site's lock was busy: release everything and try again.
bool WakeLocked(WaitThread* t)
{
    std::lock_guard<std::mutex> record(t->lock);
    WaitSite* site = t->site;
    if (site == nullptr) {
        return true;
    }
    if (!site->lock->try_lock()) {
        return false;
    }
    // Under the site's lock: the waiter is inside cv.wait, or about to test
    // its stop flag before it waits.
    site->cv->notify_all();
    site->lock->unlock();
    return true;
}

// Readiness of a waiting thread for the idle test; FALSE "busy" when the
// site's lock could not be taken. Record lock held.
bool SiteReady(WaitThread* t, bool* busy)
{
    WaitSite* site = t->site;
    if (site == nullptr) {
        return true;    // running
    }
    if (!site->lock->try_lock()) {
        *busy = true;
        return true;
    }
    const bool ready = site->ready(site->context) || (site->stoppable && t->stopping.load());
    site->lock->unlock();
    return ready;
}

// ---- Stacks for deadlock reports ------------------------------------------

std::atomic<int> backtraceDone{0};

void PrintOwnBacktrace()
{
    void* frames[64];
    const int count = backtrace(frames, 64);
    backtrace_symbols_fd(frames, count, STDERR_FILENO);
}

extern "C" void OnBacktraceSignal(int)
{
    PrintOwnBacktrace();
    backtraceDone.store(1, std::memory_order_release);
}

int BacktraceSignal()
{
    static const int signal = [] {
        const int number = SIGRTMIN + 4;
        struct sigaction action {};
        action.sa_handler = OnBacktraceSignal;
        sigemptyset(&action.sa_mask);
        sigaction(number, &action, nullptr);
        // backtrace() loads its unwinder on first use; not in a handler.
        void* frame;
        backtrace(&frame, 1);
        return number;
    }();
    return signal;
}

}  // namespace

WaitThread* RegisterStandInThread(_EPROCESS* process, ULONG_PTR id)
{
    WaitThread* t = new WaitThread{};
    t->process = process;
    t->id = id;
    t->site = nullptr;
    t->stopping.store(false, std::memory_order_relaxed);
    t->exitCode = 0;
    t->catcher = nullptr;
    std::lock_guard<std::mutex> guard(registryLock);
    Threads()[id] = t;
    return t;
}

void BindStandInThread(WaitThread* t)
{
    self = t;
    std::lock_guard<std::mutex> guard(registryLock);
    t->host = pthread_self();
    t->bound = true;
}

void EndingStandInThread(WaitThread* t)
{
    std::lock_guard<std::mutex> guard(registryLock);
    t->ending = true;
    registryChanged.notify_all();
}

void UnregisterStandInThread(WaitThread* t)
{
    if (self == t) {
        self = nullptr;
    }
    std::lock_guard<std::mutex> guard(registryLock);
    Threads().erase(t->id);
    delete t;
    registryChanged.notify_all();
}

ULONG CountStandInThreads(_EPROCESS* process)
{
    std::lock_guard<std::mutex> guard(registryLock);
    ULONG count = 0;
    for (const auto& entry : Threads()) {
        if (!entry.second->ending && (process == nullptr || entry.second->process == process)) {
            ++count;
        }
    }
    return count;
}

NTSTATUS StopThreadsOf(_EPROCESS* process, uint32_t exitCode)
{
    std::vector<ULONG_PTR> targets;
    {
        std::lock_guard<std::mutex> guard(registryLock);
        for (const auto& entry : Threads()) {
            WaitThread* t = entry.second;
            if (t->process == process && t != self) {
                t->exitCode = exitCode;
                t->stopping.store(true, std::memory_order_seq_cst);
                targets.push_back(entry.first);
            }
        }
    }
    const auto limit = std::chrono::steady_clock::now() + kStopLimit;
    std::unique_lock<std::mutex> guard(registryLock);
    for (;;) {
        bool left = false;
        for (ULONG_PTR id : targets) {
            auto found = Threads().find(id);
            if (found == Threads().end()) {
                continue;
            }
            WaitThread* t = found->second;
            if (t->ending) {
                continue;
            }
            WakeLocked(t);
            std::lock_guard<std::mutex> record(t->lock);
            // A thread in a synchronous request that cannot be stopped stops
            // when the request completes; nothing of it runs before.
            if (t->site == nullptr || t->site->stoppable) {
                left = true;
            }
        }
        if (!left) {
            return STATUS_SUCCESS;
        }
        if (std::chrono::steady_clock::now() > limit) {
            guard.unlock();
            std::fprintf(stderr, "*** stand-in: threads of process %p did not stop within 10 s\n",
                         static_cast<void*>(process));
            for (ULONG_PTR id : targets) {
                host_wait::DescribeThread(uint32_t(id));
            }
            std::abort();
        }
        registryChanged.wait_for(guard, std::chrono::milliseconds(1));
    }
}

}  // namespace host_io

using namespace host_io;

namespace host_wait {

WaitEnd Wait(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, ReadyTest ready,
             void* context, const char* what, bool stoppable,
             const std::chrono::steady_clock::time_point* deadline)
{
    WaitThread* t = self;
    WaitSite site{lock.mutex(), &cv, ready, context, what, stoppable};
    if (t != nullptr) {
        std::lock_guard<std::mutex> record(t->lock);
        t->site = &site;
    }
    // Published before the stop flag is tested, so a stopper that sets the
    // flag later finds the site and notifies under its lock.
    const bool stoppableThread = t != nullptr && stoppable;
    WaitEnd end;
    for (;;) {
        if (ready(context)) {
            end = WaitEnd::Ready;
            break;
        }
        if (stoppableThread && t->stopping.load(std::memory_order_seq_cst)) {
            end = WaitEnd::Stopped;
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        if (deadline != nullptr && now >= *deadline) {
            end = WaitEnd::Expired;
            break;
        }
        if (deadline != nullptr) {
            cv.wait_until(lock, *deadline);
        } else {
            cv.wait(lock);
        }
    }
    if (t != nullptr) {
        std::lock_guard<std::mutex> record(t->lock);
        t->site = nullptr;
    }
    return end;
}

void StopPoint()
{
    WaitThread* t = self;
    if (t == nullptr || !t->stopping.load(std::memory_order_seq_cst)) {
        return;
    }
    if (t->catcher == nullptr) {
        std::fprintf(stderr, "*** stand-in: thread %lu stopped outside its entry routine\n",
                     static_cast<unsigned long>(t->id));
        std::abort();
    }
    std::longjmp(*static_cast<std::jmp_buf*>(t->catcher), 1);
}

bool StopRequested()
{
    return self != nullptr && self->stopping.load(std::memory_order_seq_cst);
}

void SetStopCatcher(void* jumpBuffer)
{
    if (self != nullptr) {
        self->catcher = jumpBuffer;
    }
}

uint32_t StoppedExitCode()
{
    return self != nullptr ? self->exitCode : 0;
}

bool AllThreadsIdle()
{
    std::lock_guard<std::mutex> guard(registryLock);
    for (const auto& entry : Threads()) {
        WaitThread* t = entry.second;
        std::lock_guard<std::mutex> record(t->lock);
        bool busy = false;
        if (SiteReady(t, &busy) || busy) {
            return false;
        }
    }
    return true;
}

void DescribeBusyThreads()
{
    std::vector<uint32_t> busy;
    {
        std::lock_guard<std::mutex> guard(registryLock);
        for (const auto& entry : Threads()) {
            std::lock_guard<std::mutex> record(entry.second->lock);
            bool locked = false;
            if (SiteReady(entry.second, &locked) || locked) {
                busy.push_back(uint32_t(entry.first));
            }
        }
    }
    for (uint32_t id : busy) {
        DescribeThread(id);
    }
}

void DescribeThread(uint32_t id)
{
    std::unique_lock<std::mutex> guard(registryLock);
    auto found = Threads().find(id);
    if (found == Threads().end()) {
        guard.unlock();
        const bool caller = id == uint32_t(ThreadId(CurrentThread()));
        std::fprintf(stderr, "--- thread %u (not a stand-in thread)%s\n", id,
                     caller ? ", the caller:" : "");
        if (caller) {
            PrintOwnBacktrace();
        }
        return;
    }
    WaitThread* t = found->second;
    {
        std::lock_guard<std::mutex> record(t->lock);
        std::fprintf(stderr, "--- thread %u of process %lu: %s%s\n", id,
                     static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(
                         PsGetProcessId(t->process))),
                     t->site != nullptr ? "waiting in " : "running",
                     t->site != nullptr ? t->site->what : "");
    }
    if (!t->bound) {
        return;
    }
    if (t == self) {
        guard.unlock();
        PrintOwnBacktrace();
        return;
    }
    const int signal = BacktraceSignal();
    backtraceDone.store(0, std::memory_order_relaxed);
    if (pthread_kill(t->host, signal) != 0) {
        return;
    }
    guard.unlock();
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (backtraceDone.load(std::memory_order_acquire) == 0 &&
           std::chrono::steady_clock::now() < limit) {
        std::this_thread::yield();
    }
}

}  // namespace host_wait
