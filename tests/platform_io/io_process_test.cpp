// Processes: a client context with its own handles and requests; ending one
// cancels its requests, runs the exit notifications and closes its handles.
#include <atomic>
#include <thread>
#include <vector>

#include "io_fixture.h"

namespace {

struct Notification {
    HANDLE parent;
    HANDLE process;
    BOOLEAN create;
    HANDLE currentDuringCall;
};
std::vector<Notification>* notifications;

VOID NTAPI RecordProcess(HANDLE parent, HANDLE process, BOOLEAN create)
{
    notifications->push_back(Notification{parent, process, create, PsGetCurrentProcessId()});
}

class IoProcess : public IoFixture {
protected:
    void SetUp() override
    {
        IoFixture::SetUp();
        notifications = &seen;
        ASSERT_EQ(PsSetCreateProcessNotifyRoutine(RecordProcess, FALSE), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        HostPsSetCurrentProcess(nullptr);
        EXPECT_EQ(PsSetCreateProcessNotifyRoutine(RecordProcess, TRUE), STATUS_SUCCESS);
        EXPECT_EQ(PsSetCreateProcessNotifyRoutine(RecordProcess, TRUE),
                  STATUS_PROCEDURE_NOT_FOUND);
        IoFixture::TearDown();
    }
    std::vector<Notification> seen;
};

TEST_F(IoProcess, EndingCancelsRequestsAndWaitsForThoseWithoutACancelRoutine)
{
    PEPROCESS process;
    ASSERT_EQ(HostPsCreateProcess(&process), STATUS_SUCCESS);
    HostPsSetCurrentProcess(process);
    HANDLE file = CreateFileW(W(u"\\\\.\\IoTest"), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    HANDLE port = CreateIoCompletionPort(file, nullptr, 9, 0);
    ASSERT_NE(port, nullptr);
    char buffers[2][16];
    OVERLAPPED cancellable = Command(IOTEST_PEND_CANCELLABLE);
    OVERLAPPED stuck = Command(IOTEST_PEND_FOREVER);
    EXPECT_FALSE(ReadFile(file, buffers[0], 16, nullptr, &cancellable));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    EXPECT_FALSE(WriteFile(file, buffers[1], 16, nullptr, &stuck));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    EXPECT_EQ(HostPsOutstandingRequests(process), 2u);
    HostPsSetCurrentProcess(nullptr);

    // The request without a cancel routine keeps the process from ending.
    EXPECT_EQ(HostPsTerminateProcess(process), STATUS_PENDING);
    EXPECT_FALSE(HostPsProcessEnded(process));
    EXPECT_EQ(HostPsOutstandingRequests(process), 1u);
    EXPECT_EQ(log->cancelled, 1u);
    EXPECT_EQ(seen.size(), 1u);          // no exit notification yet
    EXPECT_EQ(log->cleanups, 0u);        // handles still open

    // The cancelled request reported through the process's port.
    HostPsSetCurrentProcess(process);
    DWORD bytes;
    ULONG_PTR key;
    LPOVERLAPPED done;
    BOOL result;
    DWORD error;
    ASSERT_TRUE(Packet(port, &bytes, &key, &done, &result, &error));
    EXPECT_FALSE(result);
    EXPECT_EQ(error, DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(done, &cancellable);
    EXPECT_EQ(key, 9u);
    EXPECT_EQ(cancellable.Internal, ULONG_PTR(ULONG(STATUS_CANCELLED)));
    // An ending process issues nothing new.
    OVERLAPPED refused = Command(IOTEST_COMPLETE_NOW);
    EXPECT_FALSE(ReadFile(file, buffers[0], 16, nullptr, &refused));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    HostPsSetCurrentProcess(nullptr);

    // Another process's request releases the stuck one; then it can end.
    HANDLE other = Open();
    EXPECT_TRUE(DeviceIoControl(other, IOTEST_IOCTL_RELEASE, nullptr, 0, nullptr, 0, nullptr,
                                nullptr));
    EXPECT_EQ(HostPsOutstandingRequests(process), 0u);
    EXPECT_EQ(HostPsTerminateProcess(process), STATUS_SUCCESS);
    EXPECT_TRUE(HostPsProcessEnded(process));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_FALSE(seen[1].create);
    // Exit notification first, then the handle table: cleanup before close.
    EXPECT_EQ(log->cleanups, 1u);
    EXPECT_EQ(log->closes, 1u);
    EXPECT_EQ(log->events[log->eventCount - 2], IRP_MJ_CLEANUP);
    EXPECT_EQ(log->events[log->eventCount - 1], IRP_MJ_CLOSE);
}

struct PortWaiter {
    PEPROCESS process;
    HANDLE port;
    BOOL result;
    LPOVERLAPPED overlapped;
};

// A completion thread of the process: waits without time-out on its port.
DWORD WINAPI WaitForever(LPVOID parameter)
{
    auto* waiter = static_cast<PortWaiter*>(parameter);
    HostPsSetCurrentProcess(waiter->process);
    DWORD bytes;
    ULONG_PTR key;
    waiter->overlapped = reinterpret_cast<LPOVERLAPPED>(1);
    waiter->result = GetQueuedCompletionStatus(waiter->port, &bytes, &key, &waiter->overlapped,
                                               INFINITE);
    HostPsSetCurrentProcess(nullptr);
    return 0;
}

const HOST_WINDOWS_VERSION Versions[] = {HostWindowsNt4ToXp, HostWindowsVistaAndLater};

// Closing a port's handle releases its waiters from Vista on; up to XP they
// go on waiting, and get what a file bound to the port completes.
TEST_F(IoProcess, ClosingAPortReleasesItsWaitersFromVistaOn)
{
    for (HOST_WINDOWS_VERSION version : Versions) {
        HostSetWindowsVersion(version);
        HANDLE file = Open();
        PortWaiter waiter{HostPsDefaultProcess(), CreateIoCompletionPort(file, nullptr, 5, 0),
                          TRUE, nullptr};
        ASSERT_NE(waiter.port, nullptr);
        HANDLE thread = CreateThread(nullptr, 0, WaitForever, &waiter, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        while (HostIoPortWaiters() == 0) {
            std::this_thread::yield();
        }
        EXPECT_TRUE(CloseHandle(waiter.port));
        char buffer[4];
        OVERLAPPED done = Command(IOTEST_COMPLETE_NOW);
        if (version == HostWindowsNt4ToXp) {
            EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
            EXPECT_TRUE(ReadFile(file, buffer, sizeof(buffer), nullptr, &done));
        }
        EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
        EXPECT_EQ(waiter.result, version == HostWindowsNt4ToXp);
        EXPECT_EQ(waiter.overlapped, version == HostWindowsNt4ToXp ? &done : nullptr);
        EXPECT_TRUE(CloseHandle(thread));
        Close(file);
        EXPECT_EQ(HostIoPortCount(), 0u);
    }
    HostSetWindowsVersion(HostWindowsNt4ToXp);
}

// What a client's thread leaves pending when it returns: a request on a
// handle bound to a port, one on a handle without one, and one its driver
// completes only when told.
struct Leaver {
    HANDLE bound;
    HANDLE unbound;
    OVERLAPPED onPort;
    OVERLAPPED offPort;
    OVERLAPPED stuck;
    char data[3][8];
    std::atomic<bool> issued;
};

DWORD WINAPI LeaveRequests(LPVOID parameter)
{
    auto* leaver = static_cast<Leaver*>(parameter);
    leaver->onPort = Command(IOTEST_PEND_CANCELLABLE);
    leaver->offPort = Command(IOTEST_PEND_CANCELLABLE);
    leaver->stuck = Command(IOTEST_PEND_FOREVER);
    ReadFile(leaver->bound, leaver->data[0], 8, nullptr, &leaver->onPort);
    ReadFile(leaver->unbound, leaver->data[1], 8, nullptr, &leaver->offPort);
    ReadFile(leaver->unbound, leaver->data[2], 8, nullptr, &leaver->stuck);
    leaver->issued = true;
    return 0;
}

// A thread's exit cancels the requests it left and waits for them, cutting
// loose after 5 minutes one that does not complete; from Vista on, one on a
// handle bound to a port belongs to the file and stays.
TEST_F(IoProcess, ThreadExitCancelsItsRequestsByVersion)
{
    for (HOST_WINDOWS_VERSION version : Versions) {
        SCOPED_TRACE(version);
        HostSetWindowsVersion(version);
        PEPROCESS process;
        ASSERT_EQ(HostPsCreateProcess(&process), STATUS_SUCCESS);
        HostPsSetCurrentProcess(process);
        Leaver leaver{};
        leaver.bound = CreateFileW(W(u"\\\\.\\IoTest"), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED, nullptr);
        leaver.unbound = CreateFileW(W(u"\\\\.\\IoTest"), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OVERLAPPED, nullptr);
        HANDLE port = CreateIoCompletionPort(leaver.bound, nullptr, 3, 0);
        HANDLE thread = CreateThread(nullptr, 0, LeaveRequests, &leaver, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        const ULONG left = version == HostWindowsNt4ToXp ? 1 : 2;
        while (!leaver.issued || HostPsOutstandingRequests(process) != left) {
            std::this_thread::yield();
        }
        if (version == HostWindowsNt4ToXp) {
            Taken packet;
            ASSERT_TRUE(Take(port, &packet));
            EXPECT_EQ(packet.overlapped, &leaver.onPort);
            EXPECT_EQ(packet.error, DWORD(ERROR_OPERATION_ABORTED));
        } else {
            EXPECT_TRUE(NoPacket(port));
        }
        // The request that does not complete holds the exit, for 5 minutes.
        EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
        HostKeAdvanceClockMs(5 * 60 * 1000);
        EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
        EXPECT_TRUE(CloseHandle(thread));
        HostPsSetCurrentProcess(nullptr);
        EXPECT_TRUE(DeviceIoControl(Open(), IOTEST_IOCTL_RELEASE, nullptr, 0, nullptr, 0, nullptr,
                                    nullptr));
        EXPECT_EQ(HostPsTerminateProcess(process), STATUS_SUCCESS);
    }
    HostSetWindowsVersion(HostWindowsNt4ToXp);
}

}  // namespace
