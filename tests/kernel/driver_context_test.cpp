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

}  // namespace
