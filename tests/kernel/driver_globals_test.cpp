#include <gtest/gtest.h>

#include "driver_globals.h"
#include "host/ex_control.h"
#include "pool.h"
#include "startup_table.h"

namespace {

class DriverGlobalsTest : public ::testing::Test {
protected:
    void SetUp() override { snapshot = HostExPoolSnapshot(); }
    void TearDown() override
    {
        HostExPoolFailReset();
        RunCleanupList();
        EXPECT_EQ(GlobalSpinLock, nullptr);
        EXPECT_EQ(DoneList, nullptr);
        EXPECT_EQ(HostExPoolReportLeaksSince(snapshot, POOL_TAG), 0u);
    }
    HOST_EX_POOL_SNAPSHOT snapshot{};
};

TEST_F(DriverGlobalsTest, LoadCreatesTheLockAndAnEmptyDoneList)
{
    ASSERT_TRUE(RunStartupTable());
    ASSERT_NE(GlobalSpinLock, nullptr);
    ASSERT_NE(DoneList, nullptr);
    EXPECT_TRUE(DoneList->IsEmpty());
    EXPECT_EQ(DoneList->tail, nullptr);
    // The list, the lock, its entry, the done list, its entry.
    EXPECT_EQ(HostExPoolLiveSince(snapshot, POOL_TAG), 5u);

    GlobalSpinLock->Acquire();
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    GlobalSpinLock->Release();
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(DriverGlobalsTest, SecondLoadFailsWithoutTouchingTheGlobals)
{
    ASSERT_TRUE(RunStartupTable());
    SpinLock* lock = GlobalSpinLock;
    SingleList* done = DoneList;
    EXPECT_FALSE(RunStartupTable());
    EXPECT_EQ(GlobalSpinLock, lock);
    EXPECT_EQ(DoneList, done);
}

// Every allocation of the load fails in turn. Each failure fails the load,
// and whatever was made is either released at once (failed registration) or
// left to the clean-up list, never leaked.
TEST_F(DriverGlobalsTest, EveryAllocationFailureFailsTheLoadAndLeaksNothing)
{
    struct Case {
        ULONG failing;          // which allocation fails
        ULONG liveAfterLoad;    // blocks held until RunCleanupList
        bool lockSurvives;
    };
    const Case cases[] = {
        {1, 0, false},  // the clean-up list
        {2, 1, false},  // the spin lock
        {3, 1, false},  // its clean-up entry: the lock is released at once
        {4, 3, true},   // the done list
        {5, 3, true},   // its clean-up entry: the list is released at once
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failing);
        HOST_EX_POOL_SNAPSHOT before = HostExPoolSnapshot();
        HostExPoolFailNth(c.failing, POOL_TAG);
        EXPECT_FALSE(RunStartupTable());
        EXPECT_EQ(HostExPoolLiveSince(before, POOL_TAG), c.liveAfterLoad);
        EXPECT_EQ(GlobalSpinLock != nullptr, c.lockSurvives);
        EXPECT_EQ(DoneList, nullptr);
        HostExPoolFailReset();
        RunCleanupList();
        EXPECT_EQ(GlobalSpinLock, nullptr);
        EXPECT_EQ(HostExPoolLiveSince(before, POOL_TAG), 0u);
    }
    // A clean load still works afterwards.
    EXPECT_TRUE(RunStartupTable());
}

}  // namespace
