#include "driver_globals.h"

#include "pool.h"
#include "startup_table.h"

SpinLock* GlobalSpinLock = nullptr;
SingleList* DoneList = nullptr;

namespace {

VOID ReleaseGlobalSpinLock()
{
    PoolFree(GlobalSpinLock);
    GlobalSpinLock = nullptr;
}

VOID ReleaseDoneList()
{
    PoolFree(DoneList);
    DoneList = nullptr;
}

ULONG CreateGlobalSpinLock()
{
    GlobalSpinLock = static_cast<SpinLock*>(PoolAllocate(sizeof(SpinLock)));
    if (GlobalSpinLock == nullptr) {
        return 0;
    }
    GlobalSpinLock->Initialise();
    if (RegisterCleanup(ReleaseGlobalSpinLock) != 0) {
        ReleaseGlobalSpinLock();
        return 0;
    }
    return 1;
}

ULONG CreateDoneList()
{
    DoneList = static_cast<SingleList*>(PoolAllocate(sizeof(SingleList)));
    if (DoneList == nullptr) {
        return 0;
    }
    DoneList->Initialise();
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
