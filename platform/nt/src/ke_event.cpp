// Events of the kernel-core stand-in: one dispatcher lock and one condition
// for every event, as NT's dispatcher database has one lock. A setter touches
// the event only under that lock, so a waiter that has returned may free it.
#include <condition_variable>
#include <mutex>

#include "ke_internal.h"

namespace {

// Object types KeInitializeEvent stamps, as NT's dispatcher header does.
constexpr UCHAR kNotificationEventObject = 0;
constexpr UCHAR kSynchronizationEventObject = 1;

std::mutex& DispatcherLock()
{
    static auto* lock = new std::mutex;
    return *lock;
}

std::condition_variable& Signalled()
{
    static auto* signalled = new std::condition_variable;
    return *signalled;
}

}  // namespace

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    std::lock_guard<std::mutex> guard(DispatcherLock());
    Event->Type = Type == NotificationEvent ? kNotificationEventObject : kSynchronizationEventObject;
    Event->SignalState = State ? 1 : 0;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    if (host_ke::CurrentIrql() > DISPATCH_LEVEL) {
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, host_ke::CurrentIrql(), DISPATCH_LEVEL,
                     reinterpret_cast<ULONG_PTR>(Event), 0);
        return 0;
    }
    std::lock_guard<std::mutex> guard(DispatcherLock());
    const LONG previous = Event->SignalState;
    Event->SignalState = 1;
    Signalled().notify_all();
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> guard(DispatcherLock());
    Event->SignalState = 0;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout)
{
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    PRKEVENT event = static_cast<PRKEVENT>(Object);
    const bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    if (Timeout != nullptr && !poll) {
        return STATUS_INVALID_PARAMETER;
    }
    const KIRQL irql = host_ke::CurrentIrql();
    if (irql > (poll ? DISPATCH_LEVEL : APC_LEVEL) || (!poll && host_ke::IsDpcThread())) {
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, irql, poll ? DISPATCH_LEVEL : APC_LEVEL,
                     reinterpret_cast<ULONG_PTR>(Object), 0);
        return STATUS_INVALID_PARAMETER;
    }
    std::unique_lock<std::mutex> guard(DispatcherLock());
    if (!poll) {
        Signalled().wait(guard, [event] { return event->SignalState != 0; });
    } else if (event->SignalState == 0) {
        return STATUS_TIMEOUT;
    }
    if (event->Type == kSynchronizationEventObject) {
        event->SignalState = 0;
    }
    return STATUS_SUCCESS;
}

}  // extern "C"
