#include "conduit_timer.h"
#include "pool.h"

namespace {

KDEFERRED_ROUTINE ConduitTimerDpc;

VOID ConduitTimerDpc(PKDPC dpc, PVOID deferredContext, PVOID argument1, PVOID argument2)
{
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    ConduitTimer* timer = static_cast<ConduitTimer*>(deferredContext);
    timer->callback(timer->context);
    timer->EndDelivery();
}

}  // namespace

VOID ConduitTimer::Initialise(CONDUIT_TIMER_CALLBACK* routine, PVOID routineContext)
{
    open = false;
    dpc = nullptr;
    ktimer = nullptr;
    callback = routine;
    context = routineContext;
    deliveries = 1;
    KeInitializeEvent(&quiet, NotificationEvent, FALSE);
}

bool ConduitTimer::Open()
{
    if (open) {
        return false;
    }
    open = true;
    if (ktimer == nullptr) {
        ktimer = static_cast<PKTIMER>(PoolAllocate(sizeof(KTIMER)));
        if (ktimer == nullptr) {
            Close();
            return false;
        }
        KeInitializeTimer(ktimer);
    }
    if (dpc == nullptr) {
        dpc = static_cast<PKDPC>(PoolAllocate(sizeof(KDPC)));
        if (dpc == nullptr) {
            Close();
            return false;
        }
        KeInitializeDpc(dpc, ConduitTimerDpc, this);
    }
    return true;
}

VOID ConduitTimer::Close()
{
    Cancel();
    open = false;
}

bool ConduitTimer::Arm(ULONG ms)
{
    if (KeRemoveQueueDpc(dpc)) {
        EndDelivery();
    }
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
    // Counted before the timer can expire; a timer already in the queue
    // was counted when it was set and is only moved.
    InterlockedIncrement(&deliveries);
    if (KeSetTimer(ktimer, dueTime, dpc)) {
        EndDelivery();
        return false;
    }
    return true;
}

VOID ConduitTimer::Cancel()
{
    if (ktimer == nullptr || dpc == nullptr) {
        return;
    }
    if (KeCancelTimer(ktimer)) {
        EndDelivery();
    }
    if (KeRemoveQueueDpc(dpc)) {
        EndDelivery();
    }
}

VOID ConduitTimer::EndDelivery()
{
    if (InterlockedDecrement(&deliveries) == 0) {
        KeSetEvent(&quiet, IO_NO_INCREMENT, FALSE);
    }
}

VOID ConduitTimer::Destroy()
{
    Cancel();
    // Drops the owner's bias: a routine that is running, or an expiry on its
    // way to its routine, ends the last delivery and sets quiet.
    EndDelivery();
    KeWaitForSingleObject(&quiet, Executive, KernelMode, FALSE, nullptr);
    if (dpc != nullptr) {
        PoolFree(dpc);
        dpc = nullptr;
    }
    if (ktimer != nullptr) {
        PoolFree(ktimer);
        ktimer = nullptr;
    }
}
