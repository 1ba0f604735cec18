#include "driver_context.h"

#include "pool.h"
#include "request_completion.h"
#include "startup_table.h"

DriverContext GlobalDriver = {};

namespace {

VOID ReleaseGlobalSpinLock()
{
    PoolFree(GlobalDriver.globalSpinLock);
    GlobalDriver.globalSpinLock = nullptr;
}

VOID ReleaseDoneList()
{
    PoolFree(GlobalDriver.doneList);
    GlobalDriver.doneList = nullptr;
}

ULONG CreateGlobalSpinLock()
{
    GlobalDriver.globalSpinLock = static_cast<SpinLock*>(PoolAllocate(sizeof(SpinLock)));
    if (GlobalDriver.globalSpinLock == nullptr) {
        return 0;
    }
    GlobalDriver.globalSpinLock->Initialise();
    if (RegisterCleanup(ReleaseGlobalSpinLock) != 0) {
        ReleaseGlobalSpinLock();
        return 0;
    }
    return 1;
}

ULONG CreateDoneList()
{
    GlobalDriver.doneList = static_cast<DoneList*>(PoolAllocate(sizeof(DoneList)));
    if (GlobalDriver.doneList == nullptr) {
        return 0;
    }
    GlobalDriver.doneList->Initialise();
    if (RegisterCleanup(ReleaseDoneList) != 0) {
        ReleaseDoneList();
        return 0;
    }
    return 1;
}

}  // namespace

const StartupRoutine StartupTable[] = {
    CreateGlobalSpinLock,
    CreateDoneList,
    nullptr,
};
