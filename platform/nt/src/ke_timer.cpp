// Time, timers and DPCs of the kernel-core stand-in.
//
// One mutex (State::lock) guards the timer queue, the DPC queue and the clock
// bookkeeping; it is never held while a DPC routine runs, so routines may set
// timers and queue DPCs. DPCs run on one thread of their own at
// DISPATCH_LEVEL, concurrently with every other thread, as on a
// multiprocessor. In virtual mode time moves only under HostKeAdvanceClock /
// HostKeSetTime; in real mode a timer thread follows CLOCK_MONOTONIC.
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>

#include "host/ke_control.h"
#include "ke_internal.h"

#define IRQL_UNEXPECTED_VALUE 0x000000C8

// Object types KeInitializeTimer/KeInitializeDpc stamp, to catch use of a
// record that was never initialised.
#define HOST_TIMER_NOTIFICATION_OBJECT 8
#define HOST_TIMER_SYNCHRONIZATION_OBJECT 9
#define HOST_DPC_OBJECT 19

extern "C" {
volatile KSYSTEM_TIME KeTickCount = {0, 0, 0};
}

#if defined(__SANITIZE_THREAD__)
// Readers take the tick count with plain volatile loads, as drivers do on
// Windows, and rely on the store order below rather than on a lock. The
// stores are hidden from ThreadSanitizer so that this designed race is not
// reported in every test that reads the count.
extern "C" void AnnotateIgnoreWritesBegin(const char* file, int line);
extern "C" void AnnotateIgnoreWritesEnd(const char* file, int line);
#define TICK_WRITES_BEGIN() AnnotateIgnoreWritesBegin(__FILE__, __LINE__)
#define TICK_WRITES_END() AnnotateIgnoreWritesEnd(__FILE__, __LINE__)
#else
#define TICK_WRITES_BEGIN() ((void)0)
#define TICK_WRITES_END() ((void)0)
#endif

namespace {

constexpr ULONGLONG kTimeIncrement = HOST_KE_TIME_INCREMENT;

struct State {
    std::mutex lock;
    std::condition_variable dpcWork;     // DPC thread: queue non-empty or stop
    std::condition_variable dpcProgress; // a DPC finished or was removed
    std::condition_variable timerWork;   // real-mode timer thread

    // Guarded by lock.
    PKTIMER timerHead = nullptr;   // sorted by (DueTime, Sequence)
    ULONGLONG timerSequence = 0;
    PKDPC dpcHead = nullptr;       // FIFO by Sequence
    PKDPC dpcTail = nullptr;
    ULONGLONG dpcSequence = 0;
    ULONGLONG runningSequence = 0; // of the DPC whose routine runs; 0 if none
    bool stopDpcThread = false;
    bool stopTimerThread = false;
    std::thread dpcThread;
    std::thread timerThread;
    HOST_KE_CLOCK_MODE mode = HostKeClockVirtual;
    ULONGLONG publishedTicks = 0;
    // Real mode: interrupt time = realOrigin + (monotonic now - monotonicBase).
    std::chrono::steady_clock::time_point monotonicBase;
    ULONGLONG realOrigin = 0;

    // Written under lock, read anywhere.
    std::atomic<ULONGLONG> time{0};

    // Serializes advances, resets and shutdown.
    std::mutex controlLock;

    ~State();
};

State& TheState()
{
    static State state;
    return state;
}

// Publishes ticks in the order that lets a reader detect a torn read:
// High2Time, LowPart, High1Time. State lock held (one writer).
void PublishTicks(State& s, ULONGLONG ticks)
{
    if (ticks == s.publishedTicks) {
        return;
    }
    s.publishedTicks = ticks;
    const LONG high = static_cast<LONG>(ticks >> 32);
    const ULONG low = static_cast<ULONG>(ticks);
    TICK_WRITES_BEGIN();
    __atomic_store_n(&KeTickCount.High2Time, high, __ATOMIC_RELEASE);
    __atomic_store_n(&KeTickCount.LowPart, low, __ATOMIC_RELEASE);
    __atomic_store_n(&KeTickCount.High1Time, high, __ATOMIC_RELEASE);
    TICK_WRITES_END();
}

// Lock held.
void SetTimeLocked(State& s, ULONGLONG time)
{
    s.time.store(time, std::memory_order_release);
    PublishTicks(s, time / kTimeIncrement);
}

ULONGLONG RealNow(State& s)
{
    const auto elapsed = std::chrono::steady_clock::now() - s.monotonicBase;
    const auto units = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
    return s.realOrigin + static_cast<ULONGLONG>(units < 0 ? 0 : units);
}

// Lock held.
ULONGLONG NowLocked(State& s)
{
    return s.mode == HostKeClockReal ? RealNow(s) : s.time.load(std::memory_order_relaxed);
}

// Lock held. Removes timer from the queue; false when it was not in it.
bool UnlinkTimer(State& s, PKTIMER timer)
{
    for (PKTIMER* link = &s.timerHead; *link != nullptr; link = &(*link)->TimerListEntry) {
        if (*link == timer) {
            *link = timer->TimerListEntry;
            timer->TimerListEntry = nullptr;
            timer->Inserted = FALSE;
            return true;
        }
    }
    return false;
}

// Lock held. Timers due at the same time keep the order they were set in.
void InsertTimer(State& s, PKTIMER timer, ULONGLONG due)
{
    timer->DueTime = due;
    timer->Sequence = ++s.timerSequence;
    timer->Inserted = TRUE;
    timer->Signaled = FALSE;
    PKTIMER* link = &s.timerHead;
    while (*link != nullptr && (*link)->DueTime <= due) {
        link = &(*link)->TimerListEntry;
    }
    timer->TimerListEntry = *link;
    *link = timer;
}

// Lock held.
bool DpcQueued(State& s, PKDPC dpc)
{
    for (PKDPC d = s.dpcHead; d != nullptr; d = d->DpcListEntry) {
        if (d == dpc) {
            return true;
        }
    }
    return false;
}

void DpcThreadMain(State* s);

// Lock held. Queues dpc unless it is queued already.
bool InsertDpcLocked(State& s, PKDPC dpc, PVOID argument1, PVOID argument2)
{
    if (DpcQueued(s, dpc)) {
        return false;
    }
    dpc->SystemArgument1 = argument1;
    dpc->SystemArgument2 = argument2;
    dpc->Sequence = ++s.dpcSequence;
    dpc->Inserted = TRUE;
    dpc->DpcListEntry = nullptr;
    if (s.dpcTail != nullptr) {
        s.dpcTail->DpcListEntry = dpc;
    } else {
        s.dpcHead = dpc;
    }
    s.dpcTail = dpc;
    if (!s.dpcThread.joinable()) {
        s.stopDpcThread = false;
        s.dpcThread = std::thread(DpcThreadMain, &s);
    }
    s.dpcWork.notify_one();
    return true;
}

// Lock held. Expires the head timer: queues its DPC with the low and high
// parts of the current time as NT does, and re-arms a periodic timer.
void ExpireHeadTimer(State& s, ULONGLONG now)
{
    PKTIMER timer = s.timerHead;
    s.timerHead = timer->TimerListEntry;
    timer->TimerListEntry = nullptr;
    timer->Inserted = FALSE;
    timer->Signaled = TRUE;
    PKDPC dpc = timer->Dpc;
    if (timer->Period > 0) {
        InsertTimer(s, timer, timer->DueTime + static_cast<ULONGLONG>(timer->Period) * 10000);
    }
    if (dpc != nullptr) {
        InsertDpcLocked(s, dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(static_cast<ULONG>(now))),
                        reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(now >> 32)));
    }
}

void DpcThreadMain(State* s)
{
    pthread_setname_np(pthread_self(), "ke-dpc");
    host_ke::EnterDpcThread();
    std::unique_lock<std::mutex> guard(s->lock);
    for (;;) {
        s->dpcWork.wait(guard, [s] { return s->stopDpcThread || s->dpcHead != nullptr; });
        if (s->stopDpcThread) {
            break;
        }
        // Dequeued before the routine runs: the routine (or anyone else) may
        // re-queue or free the KDPC meanwhile.
        PKDPC dpc = s->dpcHead;
        s->dpcHead = dpc->DpcListEntry;
        if (s->dpcHead == nullptr) {
            s->dpcTail = nullptr;
        }
        dpc->DpcListEntry = nullptr;
        dpc->Inserted = FALSE;
        s->runningSequence = dpc->Sequence;
        PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID context = dpc->DeferredContext;
        PVOID argument1 = dpc->SystemArgument1;
        PVOID argument2 = dpc->SystemArgument2;
        guard.unlock();

        routine(dpc, context, argument1, argument2);
        if (host_ke::CurrentIrql() != DISPATCH_LEVEL || host_ke::HeldSpinLocks() != 0) {
            KeBugCheckEx(IRQL_UNEXPECTED_VALUE, host_ke::CurrentIrql(),
                         static_cast<ULONG_PTR>(host_ke::HeldSpinLocks()),
                         reinterpret_cast<ULONG_PTR>(routine), 0);
            host_ke::ResetThreadState();
        }

        guard.lock();
        s->runningSequence = 0;
        s->dpcProgress.notify_all();
    }
}

void TimerThreadMain(State* s)
{
    pthread_setname_np(pthread_self(), "ke-clock");
    std::unique_lock<std::mutex> guard(s->lock);
    while (!s->stopTimerThread) {
        const ULONGLONG now = RealNow(*s);
        SetTimeLocked(*s, now);
        while (s->timerHead != nullptr && s->timerHead->DueTime <= now) {
            ExpireHeadTimer(*s, now);
        }
        ULONGLONG next = (now / kTimeIncrement + 1) * kTimeIncrement;
        if (s->timerHead != nullptr && s->timerHead->DueTime < next) {
            next = s->timerHead->DueTime;
        }
        const auto deadline = s->monotonicBase + std::chrono::nanoseconds((next - s->realOrigin) * 100);
        s->timerWork.wait_until(guard, deadline);
    }
}

// Lock held by guard; returns with it held.
void WaitDpcIdleLocked(State& s, std::unique_lock<std::mutex>& guard)
{
    s.dpcProgress.wait(guard, [&s] { return s.dpcHead == nullptr && s.runningSequence == 0; });
}

// Stops and joins the timer thread. Lock held by guard; returns with it held.
void StopTimerThread(State& s, std::unique_lock<std::mutex>& guard)
{
    if (!s.timerThread.joinable()) {
        return;
    }
    s.stopTimerThread = true;
    s.timerWork.notify_all();
    std::thread thread = std::move(s.timerThread);
    guard.unlock();
    thread.join();
    guard.lock();
    s.stopTimerThread = false;
}

void StopDpcThread(State& s, std::unique_lock<std::mutex>& guard)
{
    if (!s.dpcThread.joinable()) {
        return;
    }
    s.stopDpcThread = true;
    s.dpcWork.notify_all();
    std::thread thread = std::move(s.dpcThread);
    guard.unlock();
    thread.join();
    guard.lock();
    s.stopDpcThread = false;
}

// Drops every queued DPC and timer. Lock held.
void DropQueues(State& s)
{
    while (s.dpcHead != nullptr) {
        PKDPC dpc = s.dpcHead;
        s.dpcHead = dpc->DpcListEntry;
        dpc->DpcListEntry = nullptr;
        dpc->Inserted = FALSE;
    }
    s.dpcTail = nullptr;
    while (s.timerHead != nullptr) {
        PKTIMER timer = s.timerHead;
        s.timerHead = timer->TimerListEntry;
        timer->TimerListEntry = nullptr;
        timer->Inserted = FALSE;
    }
    s.dpcProgress.notify_all();
}

void Shutdown(State& s)
{
    std::lock_guard<std::mutex> control(s.controlLock);
    std::unique_lock<std::mutex> guard(s.lock);
    StopTimerThread(s, guard);
    StopDpcThread(s, guard);
    DropQueues(s);
}

State::~State()
{
    Shutdown(*this);
}

// Common checks for calls that need PASSIVE_LEVEL off the DPC thread.
bool CheckPassive(ULONG_PTR what)
{
    const KIRQL irql = host_ke::CurrentIrql();
    if (irql != PASSIVE_LEVEL || host_ke::IsDpcThread()) {
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, irql, PASSIVE_LEVEL, what, 0);
        return false;
    }
    return true;
}

bool CheckAtMostDispatch(ULONG_PTR what)
{
    const KIRQL irql = host_ke::CurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, irql, DISPATCH_LEVEL, what, 0);
        return false;
    }
    return true;
}

bool IsTimerObject(PKTIMER timer)
{
    return timer->Type == HOST_TIMER_NOTIFICATION_OBJECT ||
           timer->Type == HOST_TIMER_SYNCHRONIZATION_OBJECT;
}

}  // namespace

namespace host_ke {

bool FindQueuedObject(ULONG_PTR begin, ULONG_PTR end, ULONG* kind, PVOID* object)
{
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    for (PKTIMER t = s.timerHead; t != nullptr; t = t->TimerListEntry) {
        const ULONG_PTR a = reinterpret_cast<ULONG_PTR>(t);
        if (a < end && a + sizeof(KTIMER) > begin) {
            *kind = 0;
            *object = t;
            return true;
        }
    }
    for (PKDPC d = s.dpcHead; d != nullptr; d = d->DpcListEntry) {
        const ULONG_PTR a = reinterpret_cast<ULONG_PTR>(d);
        if (a < end && a + sizeof(KDPC) > begin) {
            *kind = 2;
            *object = d;
            return true;
        }
    }
    return false;
}

}  // namespace host_ke

extern "C" {

ULONG NTAPI KeQueryTimeIncrement(VOID)
{
    return static_cast<ULONG>(kTimeIncrement);
}

ULONGLONG NTAPI KeQueryInterruptTime(VOID)
{
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    return NowLocked(s);
}

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type)
{
    State& s = TheState();
    {
        std::unique_lock<std::mutex> guard(s.lock);
        for (PKTIMER t = s.timerHead; t != nullptr; t = t->TimerListEntry) {
            if (t == Timer) {
                // Re-initialising a queued timer would corrupt the timer queue.
                guard.unlock();
                KeBugCheckEx(TIMER_OR_DPC_INVALID, 0, reinterpret_cast<ULONG_PTR>(Timer), 0, 0);
                return;
            }
        }
    }
    Timer->Type = Type == SynchronizationTimer ? HOST_TIMER_SYNCHRONIZATION_OBJECT
                                               : HOST_TIMER_NOTIFICATION_OBJECT;
    Timer->Inserted = FALSE;
    Timer->Signaled = FALSE;
    Timer->DueTime = 0;
    Timer->Sequence = 0;
    Timer->TimerListEntry = nullptr;
    Timer->Dpc = nullptr;
    Timer->Period = 0;
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer)
{
    KeInitializeTimerEx(Timer, NotificationTimer);
}

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc)
{
    if (!CheckAtMostDispatch(reinterpret_cast<ULONG_PTR>(Timer))) {
        return FALSE;
    }
    if (!IsTimerObject(Timer) || Period < 0 ||
        (Dpc != nullptr && Dpc->Type != HOST_DPC_OBJECT)) {
        KeBugCheckEx(TIMER_OR_DPC_INVALID, 0, reinterpret_cast<ULONG_PTR>(Timer),
                     reinterpret_cast<ULONG_PTR>(Dpc), static_cast<ULONG_PTR>(Period));
        return FALSE;
    }
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    const bool wasQueued = UnlinkTimer(s, Timer);
    const ULONGLONG now = NowLocked(s);
    ULONGLONG due;
    if (DueTime.QuadPart < 0) {
        // Relative: negative 100-ns units from now, saturating.
        const ULONGLONG interval = DueTime.QuadPart == std::numeric_limits<LONGLONG>::min()
                                       ? static_cast<ULONGLONG>(std::numeric_limits<LONGLONG>::max()) + 1
                                       : static_cast<ULONGLONG>(-DueTime.QuadPart);
        due = interval > std::numeric_limits<ULONGLONG>::max() - now
                  ? std::numeric_limits<ULONGLONG>::max()
                  : now + interval;
    } else {
        // Absolute, on the stand-in's clock; a past time expires at once.
        due = static_cast<ULONGLONG>(DueTime.QuadPart);
    }
    Timer->Dpc = Dpc;
    Timer->Period = Period;
    InsertTimer(s, Timer, due);
    if (s.mode == HostKeClockReal) {
        s.timerWork.notify_all();
    }
    return wasQueued ? TRUE : FALSE;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc)
{
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer)
{
    if (!CheckAtMostDispatch(reinterpret_cast<ULONG_PTR>(Timer))) {
        return FALSE;
    }
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    return UnlinkTimer(s, Timer) ? TRUE : FALSE;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer)
{
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    return Timer->Signaled;
}

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
{
    State& s = TheState();
    {
        std::unique_lock<std::mutex> guard(s.lock);
        if (DpcQueued(s, Dpc)) {
            guard.unlock();
            KeBugCheckEx(TIMER_OR_DPC_INVALID, 2, reinterpret_cast<ULONG_PTR>(Dpc), 0, 0);
            return;
        }
    }
    Dpc->Type = HOST_DPC_OBJECT;
    Dpc->Importance = MediumImportance;
    Dpc->Inserted = FALSE;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
    Dpc->DpcListEntry = nullptr;
    Dpc->Sequence = 0;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
{
    if (Dpc->Type != HOST_DPC_OBJECT || Dpc->DeferredRoutine == nullptr) {
        KeBugCheckEx(TIMER_OR_DPC_INVALID, 2, reinterpret_cast<ULONG_PTR>(Dpc), 0, 0);
        return FALSE;
    }
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    return InsertDpcLocked(s, Dpc, SystemArgument1, SystemArgument2) ? TRUE : FALSE;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc)
{
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    PKDPC previous = nullptr;
    for (PKDPC d = s.dpcHead; d != nullptr; previous = d, d = d->DpcListEntry) {
        if (d != Dpc) {
            continue;
        }
        if (previous != nullptr) {
            previous->DpcListEntry = d->DpcListEntry;
        } else {
            s.dpcHead = d->DpcListEntry;
        }
        if (s.dpcTail == d) {
            s.dpcTail = previous;
        }
        d->DpcListEntry = nullptr;
        d->Inserted = FALSE;
        s.dpcProgress.notify_all();
        return TRUE;
    }
    return FALSE;
}

VOID NTAPI KeFlushQueuedDpcs(VOID)
{
    if (!CheckPassive(0)) {
        return;
    }
    State& s = TheState();
    std::unique_lock<std::mutex> guard(s.lock);
    // Every DPC queued now has a sequence up to target; the queue is FIFO, so
    // the flush is done once the head and the running DPC are newer.
    const ULONGLONG target = s.dpcSequence;
    s.dpcProgress.wait(guard, [&s, target] {
        return (s.dpcHead == nullptr || s.dpcHead->Sequence > target) &&
               (s.runningSequence == 0 || s.runningSequence > target);
    });
}

VOID HostKeReset(HOST_KE_CLOCK_MODE Mode, ULONGLONG StartTime)
{
    host_ke::ResetThreadState();
    State& s = TheState();
    std::lock_guard<std::mutex> control(s.controlLock);
    std::unique_lock<std::mutex> guard(s.lock);
    StopTimerThread(s, guard);
    DropQueues(s);
    WaitDpcIdleLocked(s, guard);
    // A DPC that was running may have queued more; drop those too.
    DropQueues(s);
    s.mode = Mode;
    s.monotonicBase = std::chrono::steady_clock::now();
    s.realOrigin = StartTime;
    s.publishedTicks = ~0ull;
    SetTimeLocked(s, StartTime);
    if (Mode == HostKeClockReal) {
        s.timerThread = std::thread(TimerThreadMain, &s);
    }
}

HOST_KE_CLOCK_MODE HostKeGetClockMode(VOID)
{
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.mode;
}

ULONG HostKeAdvanceClock(ULONGLONG Interval)
{
    if (!CheckPassive(1)) {
        return 0;
    }
    State& s = TheState();
    std::lock_guard<std::mutex> control(s.controlLock);
    std::unique_lock<std::mutex> guard(s.lock);
    if (s.mode != HostKeClockVirtual) {
        return 0;
    }
    const ULONGLONG start = s.time.load(std::memory_order_relaxed);
    const ULONGLONG target = Interval > std::numeric_limits<ULONGLONG>::max() - start
                                 ? std::numeric_limits<ULONGLONG>::max()
                                 : start + Interval;
    ULONG fired = 0;
    // One timer at a time, each DPC run to completion before the next due
    // time is looked at: routines that re-arm see time at their due time.
    while (s.timerHead != nullptr && s.timerHead->DueTime <= target) {
        const ULONGLONG due = s.timerHead->DueTime;
        if (due > s.time.load(std::memory_order_relaxed)) {
            SetTimeLocked(s, due);
        }
        ExpireHeadTimer(s, s.time.load(std::memory_order_relaxed));
        ++fired;
        WaitDpcIdleLocked(s, guard);
    }
    SetTimeLocked(s, target);
    return fired;
}

ULONG HostKeAdvanceClockMs(ULONG Milliseconds)
{
    return HostKeAdvanceClock(static_cast<ULONGLONG>(Milliseconds) * HOST_KE_UNITS_PER_MS);
}

VOID HostKeSetTime(ULONGLONG Time)
{
    State& s = TheState();
    std::lock_guard<std::mutex> control(s.controlLock);
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.mode != HostKeClockVirtual) {
        return;
    }
    SetTimeLocked(s, Time);
}

VOID HostKeSetTickCount(ULONGLONG TickCount)
{
    HostKeSetTime(TickCount * kTimeIncrement);
}

ULONGLONG HostKeQueryTime(VOID)
{
    return KeQueryInterruptTime();
}

ULONGLONG HostKeQueryTickCount(VOID)
{
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.publishedTicks;
}

ULONG HostKeQueuedTimers(VOID)
{
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    ULONG count = 0;
    for (PKTIMER t = s.timerHead; t != nullptr; t = t->TimerListEntry) {
        ++count;
    }
    return count;
}

ULONG HostKeQueuedDpcs(VOID)
{
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    ULONG count = 0;
    for (PKDPC d = s.dpcHead; d != nullptr; d = d->DpcListEntry) {
        ++count;
    }
    return count;
}

BOOLEAN HostKeNextDueTime(PULONGLONG DueTime)
{
    State& s = TheState();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.timerHead == nullptr) {
        return FALSE;
    }
    *DueTime = s.timerHead->DueTime;
    return TRUE;
}

VOID HostKeWaitDpcIdle(VOID)
{
    if (!CheckPassive(2)) {
        return;
    }
    State& s = TheState();
    std::unique_lock<std::mutex> guard(s.lock);
    WaitDpcIdleLocked(s, guard);
}

VOID HostKeShutdown(VOID)
{
    Shutdown(TheState());
}

}  // extern "C"
