// The one-call system: the leftovers report and a clean next boot after a
// failed unload.
#include "host/io_control.h"
#include "host/kernel32_control.h"
#include "system_fixture.h"

namespace {

constexpr char kLeaky[] = "\\SystemRoot\\System32\\Drivers\\iotest_leaky.sys";

DWORD WINAPI WaitForever(LPVOID event)
{
    return WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
}

TEST(ShutdownTest, ReportsWhatWasLeftAndTheNextBootStartsClean)
{
    for (int boot = 0; boot < 2; ++boot) {
        SCOPED_TRACE(boot);
        ASSERT_EQ(HostBoot(nullptr), STATUS_SUCCESS);
        // The same image loads again although the last boot's copy stays
        // pinned by what it left.
        PDRIVER_OBJECT driver = nullptr;
        ASSERT_EQ(HostIoLoadDriverA(kLeaky, "", &driver), STATUS_SUCCESS);
        const HANDLE file = CreateFileW(W(u"\\\\.\\IoTestLeaky"), GENERIC_READ, 0, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        ASSERT_NE(GlobalAlloc(GMEM_FIXED, 16), nullptr);
        const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        const HANDLE thread = CreateThread(nullptr, 0, WaitForever, event, 0, nullptr);
        HostWaitForQuiet();

        HOST_LEFTOVERS left{};
        EXPECT_EQ(HostShutdown(&left), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(left.Handles, 3u);            // file, event, thread
        EXPECT_EQ(left.HeapBlocks, 1u);
        EXPECT_EQ(left.Threads, 1u);
        EXPECT_EQ(left.Links, 1u);              // the leaky driver's own
        EXPECT_EQ(left.DriversKept, 1u);
        EXPECT_EQ(left.OpenFiles + left.PendingRequests + left.Ports + left.Timers, 0u);
        EXPECT_EQ(Describe(left),
                  "1 heap block(s); 3 handle(s) left open; 1 thread(s) still running; "
                  "1 symbolic link(s); 1 driver(s) that could not be unloaded");
        (void)thread;
    }
}

}  // namespace
