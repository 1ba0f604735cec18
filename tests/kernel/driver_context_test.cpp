#include <gtest/gtest.h>

#include "driver_context.h"
#include "request_completion.h"
#include "host/ex_control.h"
#include "pool.h"
#include "startup_table.h"

namespace {

class DriverContextTest : public ::testing::Test {
protected:
    void SetUp() override { snapshot = HostExPoolSnapshot(); }
    void TearDown() override
    {
        HostExPoolFailReset();
        RunCleanupList();
        EXPECT_EQ(GlobalDriver.globalSpinLock, nullptr);
        EXPECT_EQ(GlobalDriver.doneList, nullptr);
        EXPECT_EQ(HostExPoolReportLeaksSince(snapshot, POOL_TAG), 0u);
    }
    HOST_EX_POOL_SNAPSHOT snapshot{};
};

TEST_F(DriverContextTest, LoadCreatesTheLockAndAnEmptyDoneList)
{
    ASSERT_TRUE(RunStartupTable());
    ASSERT_NE(GlobalDriver.globalSpinLock, nullptr);
    ASSERT_NE(GlobalDriver.doneList, nullptr);
    EXPECT_TRUE(GlobalDriver.doneList->buffers.IsEmpty());
    EXPECT_EQ(GlobalDriver.doneList->buffers.tail, nullptr);
    // The list, the lock, its entry, the done list, its entry.
    EXPECT_EQ(HostExPoolLiveSince(snapshot, POOL_TAG), 5u);

    GlobalDriver.globalSpinLock->Acquire();
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    GlobalDriver.globalSpinLock->Release();
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(DriverContextTest, SecondLoadFailsWithoutTouchingTheGlobals)
{
    ASSERT_TRUE(RunStartupTable());
    SpinLock* lock = GlobalDriver.globalSpinLock;
    DoneList* done = GlobalDriver.doneList;
    EXPECT_FALSE(RunStartupTable());
    EXPECT_EQ(GlobalDriver.globalSpinLock, lock);
    EXPECT_EQ(GlobalDriver.doneList, done);
}

// Every allocation of the load fails in turn. Each failure fails the load,
// and whatever was made is either released at once (failed registration) or
// left to the clean-up list, never leaked.
TEST_F(DriverContextTest, EveryAllocationFailureFailsTheLoadAndLeaksNothing)
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
        EXPECT_EQ(GlobalDriver.globalSpinLock != nullptr, c.lockSurvives);
        EXPECT_EQ(GlobalDriver.doneList, nullptr);
        HostExPoolFailReset();
        RunCleanupList();
        EXPECT_EQ(GlobalDriver.globalSpinLock, nullptr);
        EXPECT_EQ(HostExPoolLiveSince(before, POOL_TAG), 0u);
    }
    // A clean load still works afterwards.
    EXPECT_TRUE(RunStartupTable());
}

}  // namespace
