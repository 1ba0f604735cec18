#include "conduit_timer.h"
#include "pool.h"

namespace {

KDEFERRED_ROUTINE ConduitTimerDpc;

VOID ConduitTimerDpc(PKDPC dpc, PVOID deferredContext, PVOID argument1, PVOID argument2)
{
    UNREFERENCED_PARAMETER(dpc);
    UNREFERENCED_PARAMETER(argument1);
    UNREFERENCED_PARAMETER(argument2);
    const ConduitTimer* timer = static_cast<const ConduitTimer*>(deferredContext);
    timer->callback(timer->context, 0);
}

} // namespace

VOID ConduitTimer::Initialise(CONDUIT_TIMER_CALLBACK* routine, PVOID routineContext)
{
    openCount = 0;
    dpc = nullptr;
    ktimer = nullptr;
    callback = routine;
    context = routineContext;
}

bool ConduitTimer::Open()
{
    ++openCount;
    if (openCount != 1) {
        return false;
    }
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
    if (openCount != 0) {
        --openCount;
    }
}

bool ConduitTimer::Arm(ULONG ms)
{
    LARGE_INTEGER dueTime;
    dueTime.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
    return !KeSetTimer(ktimer, dueTime, dpc);
}

VOID ConduitTimer::Cancel()
{
    if (ktimer != nullptr && dpc != nullptr) {
        KeCancelTimer(ktimer);
        KeRemoveQueueDpc(dpc);
    }
}

VOID ConduitTimer::Destroy()
{
    Cancel();
    // A routine that was already running, or a DPC queued before Cancel and
    // on its way, finishes before this returns.
    KeFlushQueuedDpcs();
    if (dpc != nullptr) {
        PoolFree(dpc);
        dpc = nullptr;
    }
    if (ktimer != nullptr) {
        PoolFree(ktimer);
        ktimer = nullptr;
    }
}
