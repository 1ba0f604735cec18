// The stand-in system-call layer for waits: events, waits on handles, delays,
// and the one way every stand-in DLL blocks a thread. Not for product code.
//
// Every blocking point of the stand-ins (a port, a synchronous request, an
// event or thread handle, a message queue, a critical section, a delay) waits
// through host_wait::Wait. That lets the system
// - tell when every stand-in thread is blocked with nothing to wake it
//   (HostWaitForQuiet), by evaluating each waiter's own readiness test;
// - stop the threads of a process that ends: a stoppable wait returns
//   WaitEnd::Stopped, the stand-in call unwinds its own frames and calls
//   host_wait::StopPoint before it would return into product code; there the
//   thread leaves for good (its CreateThread entry returns the process's exit
//   code) or, on a thread with no such entry, parks for ever.
// Stand-in threads are the threads made by CreateThread; other host threads
// (a test's own) wait the same way but are never counted or stopped.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <type_traits>

#ifdef __cplusplus
extern "C" {
#endif

// Events, as NtCreateEvent/NtSetEvent/NtResetEvent: handles in the caller's
// process table, closed with HostNtClose.
int32_t HostNtCreateEvent(int ManualReset, int InitialState, void** Handle);
int32_t HostNtSetEvent(void* Handle);
int32_t HostNtResetEvent(void* Handle);

// Waits on event and thread handles (at most 64). STATUS_WAIT_0 + index of
// the object that satisfied the wait (WaitAll: STATUS_WAIT_0), STATUS_TIMEOUT,
// or a failure status (bad handle, wrong type). TimeoutMs runs on the
// stand-in clock (virtual or real); UINT32_MAX waits for ever. A satisfied
// wait resets an auto-reset event.
int32_t HostNtWaitForObjects(uint32_t Count, void* const* Handles, int WaitAll,
                             uint32_t TimeoutMs);
// Blocks for Milliseconds of the stand-in clock; 0 only yields.
void HostNtDelayExecution(uint32_t Milliseconds);
// Thread id of a thread handle of the caller's process.
int32_t HostNtThreadIdOfHandle(void* Handle, uint32_t* ThreadId);

#ifdef __cplusplus
}
#endif

namespace host_wait {

enum class WaitEnd {
    Ready,      // the readiness test passed
    Expired,    // the real-time deadline passed
    Stopped,    // the thread's process is stopping it: unwind, then StopPoint()
};

// Evaluated with the wait's lock held, by the waiter and by HostWaitForQuiet
// (so it must not read the waiter's thread-local state).
using ReadyTest = bool (*)(void* context);

// Blocks on cv (lock held on entry and on return) until ready(context) holds,
// the optional real-time deadline passes, or the thread is being stopped
// (only when stoppable: a synchronous request in flight is not). what names
// the wait in deadlock reports.
WaitEnd Wait(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, ReadyTest ready,
             void* context, const char* what, bool stoppable,
             const std::chrono::steady_clock::time_point* deadline);

template <class Ready>
WaitEnd Wait(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, Ready&& ready,
             const char* what, bool stoppable = true,
             const std::chrono::steady_clock::time_point* deadline = nullptr)
{
    using Test = std::remove_reference_t<Ready>;
    return Wait(
        lock, cv, [](void* context) { return (*static_cast<Test*>(context))(); },
        const_cast<void*>(static_cast<const void*>(&ready)), what, stoppable, deadline);
}

// Called by a stand-in API function just before it returns into product code,
// with no lock held and nothing of its own left to release. When the calling
// thread is being stopped it does not return.
void StopPoint();
// TRUE when the calling thread is being stopped.
bool StopRequested();

// Where a CreateThread entry resumes when its thread is stopped (a jmp_buf of
// the thread's outermost stand-in frame); NULL when it has left that frame.
void SetStopCatcher(void* jumpBuffer);
// The exit code a stopped thread ends with: its process's.
uint32_t StoppedExitCode();

// TRUE when every stand-in thread is waiting with its readiness test false
// (or parked). Used by HostWaitForQuiet together with the DPC and timer
// queues.
bool AllThreadsIdle();

// Describes (as below) every stand-in thread that is not idle.
void DescribeBusyThreads();

// Writes to stderr the state of stand-in thread ThreadId: its process, what
// it waits in, and the host stack of that thread. For deadlock reports.
void DescribeThread(uint32_t ThreadId);

}  // namespace host_wait
