// Dispatcher objects: events, and waits on event and thread handles whose
// time-outs run on the stand-in clock. One lock and one condition variable
// serve every such wait, as NT's dispatcher lock does: an object changes
// state under DispatcherLock() and every waiter re-tests its own objects.
#include <thread>

#include "host/ke_user.h"
#include "io_internal.h"

namespace host_io {
namespace {

struct EventHost {
    ObObject ob;
    bool manualReset;
    bool signalled;     // DispatcherLock()
};

std::condition_variable& DispatcherChanged()
{
    static auto* changed = new std::condition_variable;
    return *changed;
}

constexpr uint32_t kForever = UINT32_MAX;
constexpr uint32_t kMaximumWaitObjects = 64;

// A wake-up after a time of the stand-in clock (virtual or real): a kernel
// timer whose DPC marks the alarm fired under DispatcherLock() and notifies.
// PASSIVE_LEVEL; never destroyed with the dispatcher lock held (its DPC may
// be waiting for that lock).
class ClockAlarm {
public:
    explicit ClockAlarm(uint32_t milliseconds) : armed_(milliseconds != 0 && milliseconds != kForever)
    {
        if (!armed_) {
            return;
        }
        KeInitializeTimer(&timer_);
        KeInitializeDpc(&dpc_, Fire, this);
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
        KeSetTimer(&timer_, due, &dpc_);
    }

    ~ClockAlarm()
    {
        // Not fired, or fired with its DPC still queued: gone. Otherwise the
        // DPC may be running and is waited for.
        if (armed_ && !KeCancelTimer(&timer_) && !KeRemoveQueueDpc(&dpc_)) {
            KeFlushQueuedDpcs();
        }
    }

    ClockAlarm(const ClockAlarm&) = delete;
    ClockAlarm& operator=(const ClockAlarm&) = delete;

    // DispatcherLock() held.
    bool Fired() const { return fired_; }

private:
    static VOID NTAPI Fire(PKDPC, PVOID context, PVOID, PVOID)
    {
        ClockAlarm* alarm = static_cast<ClockAlarm*>(context);
        std::lock_guard<std::mutex> guard(DispatcherLock());
        alarm->fired_ = true;
        DispatcherChanged().notify_all();
    }

    const bool armed_;
    bool fired_ = false;    // DispatcherLock()
    KTIMER timer_;
    KDPC dpc_;
};

// References a waitable object (event or thread) behind a handle.
NTSTATUS ReferenceWaitable(void* handle, ObObject** object)
{
    NTSTATUS status = ReferenceHandle(handle, ObType::Event, object);
    if (status == STATUS_OBJECT_TYPE_MISMATCH) {
        status = ReferenceHandle(handle, ObType::Thread, object);
    }
    return status;
}

// DispatcherLock() held.
bool Signalled(ObObject* object)
{
    if (object->type == ObType::Event) {
        return reinterpret_cast<EventHost*>(object)->signalled;
    }
    return ThreadEnded(object);
}

// A satisfied wait takes what it consumed: auto-reset events go back to
// non-signalled. DispatcherLock() held.
void Consume(ObObject* object)
{
    if (object->type == ObType::Event) {
        EventHost* event = reinterpret_cast<EventHost*>(object);
        if (!event->manualReset) {
            event->signalled = false;
        }
    }
}

NTSTATUS SetEventState(void* handle, bool signalled)
{
    ObObject* object;
    NTSTATUS status = ReferenceHandle(handle, ObType::Event, &object);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    {
        std::lock_guard<std::mutex> guard(DispatcherLock());
        reinterpret_cast<EventHost*>(object)->signalled = signalled;
        DispatcherChanged().notify_all();
    }
    ObDereference(object, true);
    return STATUS_SUCCESS;
}

}  // namespace

std::mutex& DispatcherLock()
{
    static auto* lock = new std::mutex;
    return *lock;
}

void NotifyDispatcher()
{
    std::lock_guard<std::mutex> guard(DispatcherLock());
    DispatcherChanged().notify_all();
}

void DeleteEvent(ObObject* object)
{
    delete reinterpret_cast<EventHost*>(object);
}

}  // namespace host_io

using namespace host_io;

extern "C" {

int32_t HostNtCreateEvent(int ManualReset, int InitialState, void** Handle)
{
    EventHost* event = new (std::nothrow) EventHost{};
    if (event == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    event->ob.type = ObType::Event;
    event->ob.references.store(1, std::memory_order_relaxed);
    event->manualReset = ManualReset != 0;
    event->signalled = InitialState != 0;
    NTSTATUS status = InsertHandle(CurrentProcess(), &event->ob, Handle);
    if (!NT_SUCCESS(status)) {
        DeleteEvent(&event->ob);
    }
    return status;
}

int32_t HostNtSetEvent(void* Handle)
{
    return SetEventState(Handle, true);
}

int32_t HostNtResetEvent(void* Handle)
{
    return SetEventState(Handle, false);
}

int32_t HostNtWaitForObjects(uint32_t Count, void* const* Handles, int WaitAll,
                             uint32_t TimeoutMs)
{
    if (Count == 0 || Count > kMaximumWaitObjects || Handles == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ObObject* objects[kMaximumWaitObjects];
    NTSTATUS status = STATUS_SUCCESS;
    uint32_t referenced = 0;
    while (referenced < Count && NT_SUCCESS(status)) {
        status = ReferenceWaitable(Handles[referenced], &objects[referenced]);
        if (NT_SUCCESS(status)) {
            ++referenced;
        }
    }
    if (NT_SUCCESS(status)) {
        ClockAlarm alarm(TimeoutMs);
        std::unique_lock<std::mutex> guard(DispatcherLock());
        // Index of the object that satisfies the wait, Count when none does.
        auto satisfied = [&]() -> uint32_t {
            uint32_t first = Count;
            for (uint32_t i = 0; i < Count; ++i) {
                if (Signalled(objects[i])) {
                    first = first == Count ? i : first;
                } else if (WaitAll) {
                    return Count;
                }
            }
            return first;
        };
        const host_wait::WaitEnd end = host_wait::Wait(
            guard, DispatcherChanged(),
            [&] { return satisfied() != Count || TimeoutMs == 0 || alarm.Fired(); },
            Count == 1 ? "WaitForSingleObject" : "WaitForMultipleObjects");
        const uint32_t index = satisfied();
        if (end == host_wait::WaitEnd::Stopped) {
            status = STATUS_THREAD_IS_TERMINATING;
        } else if (index == Count) {
            status = STATUS_TIMEOUT;
        } else {
            for (uint32_t i = WaitAll ? 0 : index; i < (WaitAll ? Count : index + 1); ++i) {
                Consume(objects[i]);
            }
            status = STATUS_WAIT_0 + static_cast<NTSTATUS>(WaitAll ? 0 : index);
        }
        guard.unlock();
    }
    for (uint32_t i = 0; i < referenced; ++i) {
        ObDereference(objects[i], true);
    }
    return status;
}

void HostNtDelayExecution(uint32_t Milliseconds)
{
    if (Milliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    ClockAlarm alarm(Milliseconds);
    std::unique_lock<std::mutex> guard(DispatcherLock());
    host_wait::Wait(guard, DispatcherChanged(), [&] { return alarm.Fired(); }, "Sleep");
    guard.unlock();
}

int32_t HostNtThreadIdOfHandle(void* Handle, uint32_t* ThreadId)
{
    ObObject* object;
    NTSTATUS status = ReferenceHandle(Handle, ObType::Thread, &object);
    if (NT_SUCCESS(status)) {
        *ThreadId = uint32_t(ThreadIdOfObject(object));
        ObDereference(object, true);
    }
    return status;
}

}  // extern "C"
