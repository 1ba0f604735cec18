// The one-call system: the leftovers report and a clean next boot after a
// failed unload, processes ended in order and abruptly, the wait for quiet
// with the stand-in clock, and failure injection at Win32 calls.
#include <atomic>

#include "host/failure_control.h"
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

using ProcessTest = SystemFixture;

struct Worker {
    std::atomic<int> returned{0};
    std::atomic<int> ticks{0};
};
Worker* worker = nullptr;

DWORD WINAPI PumpForever(LPVOID)
{
    MSG message;
    GetMessageA(&message, nullptr, 0, 0);
    worker->returned++;     // never: the process ends while it waits
    return 0;
}

DWORD WINAPI Tick(LPVOID)
{
    GlobalAlloc(GMEM_FIXED, 32);    // the process's; reclaimed when it ends
    for (;;) {
        Sleep(10);
        worker->ticks++;
    }
}

// A process's first thread: starts a pump, waits 20 ms, and ends the process
// by returning.
DWORD WINAPI Main(LPVOID)
{
    CloseHandle(CreateThread(nullptr, 0, PumpForever, nullptr, 0, nullptr));
    Sleep(20);
    return 7;
}

TEST_F(ProcessTest, ProcessesEndInOrderOrAbruptlyAndTheirThreadsNeverReturn)
{
    Worker state;
    worker = &state;
    HOST_PROCESS_OPTIONS options{"ordered", FALSE, Main, nullptr};
    PEPROCESS ordered = Start(&options);
    PEPROCESS ticking = Start();
    {
        InProcess scope(ticking);
        CloseHandle(CreateThread(nullptr, 0, Tick, nullptr, 0, nullptr));
    }
    HostWaitForQuiet();
    EXPECT_EQ(HostPsThreadCount(ordered), 2u);
    // Virtual time in steps, each woken thread settled before the next.
    for (int step = 0; step < 5; ++step) {
        HostKeAdvanceClockMs(10);
        HostWaitForQuiet();
    }
    EXPECT_EQ(state.ticks, 5);
    EXPECT_TRUE(HostPsProcessEnded(ordered));   // Main returned at 20 ms
    EXPECT_EQ(HostEndProcess(ordered, 0), STATUS_PROCESS_IS_TERMINATING);
    ASSERT_EQ(HostCrashProcess(ticking, 1), STATUS_SUCCESS);
    EXPECT_EQ(HostPsThreadCount(nullptr), 0u);
    HostKeAdvanceClockMs(50);
    HostWaitForQuiet();
    EXPECT_EQ(state.ticks, 5);
    EXPECT_EQ(state.returned, 0);
}

DWORD WINAPI Nothing(LPVOID)
{
    return 0;
}

TEST_F(ProcessTest, InjectedFailuresRefuseOnceWithTheirError)
{
    const struct {
        HOST_FAILURE_POINT point;
        bool (*call)();
    } points[] = {
        {HostFailCreateThread,
         [] {
             HANDLE thread = CreateThread(nullptr, 0, Nothing, nullptr, 0, nullptr);
             return thread != nullptr && WaitForSingleObject(thread, INFINITE) == WAIT_OBJECT_0 &&
                    CloseHandle(thread);
         }},
        {HostFailCreateEvent,
         [] {
             HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
             return event != nullptr && CloseHandle(event);
         }},
        {HostFailCreateIoCompletionPort,
         [] {
             HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
             return port != nullptr && CloseHandle(port);
         }},
        {HostFailCreateFile,
         [] {
             return CreateFileW(W(u"\\\\.\\Nothing"), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr) ==
                        INVALID_HANDLE_VALUE &&
                    GetLastError() == ERROR_FILE_NOT_FOUND;
         }},
        {HostFailLocalAlloc,
         [] {
             HLOCAL block = LocalAlloc(LMEM_FIXED, 8);
             return block != nullptr && LocalFree(block) == nullptr;
         }},
    };
    for (const auto& point : points) {
        SCOPED_TRACE(point.point);
        HostFailNth(point.point, 1, ERROR_NOT_ENOUGH_MEMORY);
        SetLastError(0);
        EXPECT_FALSE(point.call());
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
        EXPECT_TRUE(point.call());
    }
    EXPECT_EQ(HostFailInjectedCount(), 5u);
}

}  // namespace
