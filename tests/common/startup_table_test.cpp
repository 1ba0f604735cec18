#include <gtest/gtest.h>

#include <string>

#include "host/ex_control.h"
#include "pool.h"
#include "startup_table.h"

namespace {

std::string journal;    // what the routines did, in order

ULONG StartA();
ULONG StartB();
ULONG StartFails() { journal += "F"; return 0; }
ULONG StartNeverRuns() { journal += "N"; return 1; }
VOID CleanA() { journal += "a"; }
VOID CleanB() { journal += "b"; }

// A start-up routine that registers its clean-up and, when the registration
// fails, runs it at once and fails.
ULONG Register(const char* tag, CleanupRoutine routine)
{
    journal += tag;
    if (RegisterCleanup(routine) != 0) {
        routine();
        return 0;
    }
    return 1;
}
ULONG StartA() { return Register("A", CleanA); }
ULONG StartB() { return Register("B", CleanB); }

class StartupTableTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        journal.clear();
        snapshot = HostExPoolSnapshot();
    }
    void TearDown() override
    {
        HostExPoolFailReset();
        RunCleanupList();
        EXPECT_EQ(CleanupList, nullptr);
        EXPECT_EQ(HostExPoolReportLeaksSince(snapshot, POOL_TAG), 0u);
    }
    HOST_EX_POOL_SNAPSHOT snapshot{};
};

TEST_F(StartupTableTest, RunsInOrderAndCleansUpLastRegisteredFirst)
{
    const StartupRoutine table[] = {StartA, StartB, nullptr};
    ASSERT_TRUE(RunStartupTable(table));
    EXPECT_EQ(journal, "AB");
    RunCleanupList();
    EXPECT_EQ(journal, "ABba");
}

TEST_F(StartupTableTest, EmptyTableSucceeds)
{
    const StartupRoutine table[] = {nullptr};
    EXPECT_TRUE(RunStartupTable(table));
    EXPECT_NE(CleanupList, nullptr);
}

TEST_F(StartupTableTest, SecondRunFailsAndRunsNothing)
{
    const StartupRoutine table[] = {StartA, nullptr};
    ASSERT_TRUE(RunStartupTable(table));
    journal.clear();
    EXPECT_FALSE(RunStartupTable(table));
    EXPECT_EQ(journal, "");
    RunCleanupList();
    EXPECT_EQ(journal, "a");    // registered once only
}

TEST_F(StartupTableTest, FailingRoutineStopsTheTableAndKeepsEarlierRegistrations)
{
    const StartupRoutine table[] = {StartA, StartFails, StartNeverRuns, nullptr};
    EXPECT_FALSE(RunStartupTable(table));
    EXPECT_EQ(journal, "AF");
    ASSERT_NE(CleanupList, nullptr);
    RunCleanupList();
    EXPECT_EQ(journal, "AFa");
}

TEST_F(StartupTableTest, FailedRegistrationCleansUpAtOnceAndFailsTheTable)
{
    const StartupRoutine table[] = {StartA, StartB, StartNeverRuns, nullptr};
    // Allocations: the list, A's entry, B's entry.
    HostExPoolFailNth(3, POOL_TAG);
    EXPECT_FALSE(RunStartupTable(table));
    EXPECT_EQ(journal, "ABb");
    RunCleanupList();
    EXPECT_EQ(journal, "ABba");
}

TEST_F(StartupTableTest, NoMemoryForTheListFailsBeforeAnyRoutine)
{
    const StartupRoutine table[] = {StartA, nullptr};
    HostExPoolFailNth(1, POOL_TAG);
    EXPECT_FALSE(RunStartupTable(table));
    EXPECT_EQ(journal, "");
    EXPECT_EQ(CleanupList, nullptr);
    HostExPoolFailReset();
    EXPECT_TRUE(RunStartupTable(table));    // nothing half-made stands in the way
}

TEST_F(StartupTableTest, CleanupWithoutListDoesNothingAndRestartWorks)
{
    RunCleanupList();
    EXPECT_EQ(journal, "");
    const StartupRoutine table[] = {StartA, nullptr};
    ASSERT_TRUE(RunStartupTable(table));
    RunCleanupList();
    ASSERT_TRUE(RunStartupTable(table));
    RunCleanupList();
    EXPECT_EQ(journal, "AaAa");
}

TEST_F(StartupTableTest, RegisterWithoutListRefuses)
{
    EXPECT_EQ(RegisterCleanup(CleanA), 1u);
    EXPECT_EQ(journal, "");
}

}  // namespace
