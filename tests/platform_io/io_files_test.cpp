// Requests through the Win32 calls: what each call returns, which error it
// leaves, when a completion packet arrives, and where the data goes.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "io_fixture.h"

namespace {

using IoFiles = IoFixture;

TEST_F(IoFiles, LastHandleCloseSendsCleanupThenClose)
{
    HANDLE first = Open();
    HANDLE second = Open();
    EXPECT_EQ(log->creates, 2u);
    Close(first);
    EXPECT_EQ(log->cleanups, 1u);
    EXPECT_EQ(log->closes, 1u);
    Close(second);
    ASSERT_EQ(log->eventCount, 6u);
    const UCHAR expected[] = {IRP_MJ_CREATE, IRP_MJ_CREATE,  IRP_MJ_CLEANUP,
                              IRP_MJ_CLOSE,  IRP_MJ_CLEANUP, IRP_MJ_CLOSE};
    for (size_t i = 0; i < sizeof(expected); ++i) {
        EXPECT_EQ(log->events[i], expected[i]) << "event " << i;
    }
    EXPECT_EQ(log->lastRequestorMode, KernelMode);
    EXPECT_FALSE(CloseHandle(first));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
}

TEST_F(IoFiles, CloseWaitsForOutstandingRequestsBeforeTheCloseRequest)
{
    HANDLE file = Open();
    HANDLE port = Bind(file, 7);
    char buffer[16];
    OVERLAPPED overlapped = Command(IOTEST_PEND_DPC);
    EXPECT_FALSE(ReadFile(file, buffer, sizeof(buffer), nullptr, &overlapped));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    Close(file);
    EXPECT_EQ(log->cleanups, 1u);
    EXPECT_EQ(log->closes, 0u);     // the pending read holds the file
    HostKeAdvanceClockMs(IOTEST_DPC_DELAY_MS);
    // The packet still reaches the port of the closed handle.
    DWORD bytes;
    ULONG_PTR key;
    LPOVERLAPPED done;
    BOOL result;
    DWORD error;
    ASSERT_TRUE(Packet(port, &bytes, &key, &done, &result, &error));
    EXPECT_TRUE(result);
    EXPECT_EQ(done, &overlapped);
    EXPECT_EQ(bytes, sizeof(buffer));
    // The close request was left for PASSIVE_LEVEL outside the DPC.
    HostIoRunDeferredWork();
    EXPECT_EQ(log->closes, 1u);
    EXPECT_EQ(HostIoOpenFileCount(), 0u);
}

TEST_F(IoFiles, ImmediatePendingAndFailedRequestsReportAsWin32Does)
{
    HANDLE file = Open();
    HANDLE port = Bind(file, 0x1234);
    char buffer[32];
    DWORD bytes;
    ULONG_PTR key;
    LPOVERLAPPED done;
    BOOL result;
    DWORD error;

    // At once: TRUE, byte count, OVERLAPPED filled, one packet.
    OVERLAPPED now = Command(IOTEST_COMPLETE_NOW);
    DWORD moved = 0;
    EXPECT_TRUE(ReadFile(file, buffer, sizeof(buffer), &moved, &now));
    EXPECT_EQ(moved, sizeof(buffer));
    EXPECT_EQ(now.Internal, ULONG_PTR(STATUS_SUCCESS));
    EXPECT_EQ(now.InternalHigh, sizeof(buffer));
    ASSERT_TRUE(Packet(port, &bytes, &key, &done, &result, &error));
    EXPECT_TRUE(result);
    EXPECT_EQ(done, &now);
    EXPECT_EQ(key, 0x1234u);
    EXPECT_EQ(bytes, sizeof(buffer));
    EXPECT_TRUE(NoPacket(port));

    // Failed at once: FALSE, mapped error, OVERLAPPED untouched, no packet.
    OVERLAPPED failed = Command(IOTEST_FAIL_NOW, ULONG(STATUS_INVALID_DEVICE_REQUEST));
    EXPECT_FALSE(WriteFile(file, buffer, sizeof(buffer), nullptr, &failed));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(failed.Internal, ULONG_PTR(STATUS_PENDING));
    EXPECT_TRUE(NoPacket(port));

    // Pending: FALSE with ERROR_IO_PENDING, nothing until the DPC runs.
    OVERLAPPED later = Command(IOTEST_PEND_DPC);
    EXPECT_FALSE(WriteFile(file, buffer, 20, nullptr, &later));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    EXPECT_EQ(later.Internal, ULONG_PTR(STATUS_PENDING));
    EXPECT_TRUE(NoPacket(port));
    HostKeAdvanceClockMs(IOTEST_DPC_DELAY_MS - 1);
    EXPECT_TRUE(NoPacket(port));
    HostKeAdvanceClockMs(1);
    ASSERT_TRUE(Packet(port, &bytes, &key, &done, &result, &error));
    EXPECT_TRUE(result);
    EXPECT_EQ(done, &later);
    EXPECT_EQ(bytes, 20u);
    EXPECT_EQ(later.Internal, ULONG_PTR(STATUS_SUCCESS));
    EXPECT_EQ(later.InternalHigh, 20u);
    EXPECT_TRUE(NoPacket(port));

    // Pending then failed: a packet that carries the error.
    OVERLAPPED lateFailure = Command(IOTEST_PEND_FAIL_DPC);
    EXPECT_FALSE(ReadFile(file, buffer, 8, nullptr, &lateFailure));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    HostKeAdvanceClockMs(IOTEST_DPC_DELAY_MS);
    ASSERT_TRUE(Packet(port, &bytes, &key, &done, &result, &error));
    EXPECT_FALSE(result);
    EXPECT_EQ(error, DWORD(ERROR_NOT_READY));
    EXPECT_EQ(done, &lateFailure);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(lateFailure.Internal, ULONG_PTR(ULONG(STATUS_DEVICE_NOT_READY)));

    // A warning at once: FALSE with its error, yet the packet is queued.
    OVERLAPPED warning = Command(IOTEST_WARN_NOW);
    EXPECT_FALSE(ReadFile(file, buffer, 4, nullptr, &warning));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
    ASSERT_TRUE(Packet(port, &bytes, &key, &done, &result, &error));
    EXPECT_EQ(done, &warning);
    EXPECT_EQ(error, DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(bytes, 4u);
    // Without OVERLAPPED, a warning still reports the byte count.
    char output[6];
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(file, IOTEST_IOCTL_WARN, nullptr, 0, output, sizeof(output),
                                 &returned, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(returned, sizeof(output));
}

TEST_F(IoFiles, PacketsLeaveInCompletionOrderAndTheOffsetIsSplitAcrossBothHalves)
{
    HANDLE file = Open();
    HANDLE port = Bind(file, 1);
    char buffer[8];
    OVERLAPPED requests[4];
    for (int i = 0; i < 4; ++i) {
        requests[i] = Command(IOTEST_PEND_DPC);
        EXPECT_FALSE(ReadFile(file, buffer, DWORD(i + 1), nullptr, &requests[i]));
    }
    HostKeAdvanceClockMs(IOTEST_DPC_DELAY_MS);
    for (int i = 0; i < 4; ++i) {
        DWORD bytes;
        ULONG_PTR key;
        LPOVERLAPPED done;
        BOOL result;
        DWORD error;
        ASSERT_TRUE(Packet(port, &bytes, &key, &done, &result, &error));
        EXPECT_EQ(done, &requests[i]);
        EXPECT_EQ(bytes, DWORD(i + 1));
    }
    // A failure status travels in OffsetHigh, so the driver must have seen
    // Offset + (OffsetHigh << 32) as the byte offset.
    OVERLAPPED failed = Command(IOTEST_FAIL_NOW, ULONG(STATUS_ACCESS_DENIED));
    EXPECT_FALSE(ReadFile(file, buffer, 1, nullptr, &failed));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}

TEST_F(IoFiles, StatusesMapToNtWin32Errors)
{
    HANDLE file = Open();
    struct Case {
        NTSTATUS status;
        DWORD error;
    } cases[] = {
        {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
        {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
        {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
        {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
        {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {STATUS_DEVICE_NOT_READY, ERROR_NOT_READY},
        {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
        {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
        {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
        {STATUS_ACCESS_VIOLATION, ERROR_NOACCESS},
        {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
        {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
        {NTSTATUS(0xC0001234), ERROR_MR_MID_NOT_FOUND},
    };
    char buffer[4];
    for (const Case& c : cases) {
        OVERLAPPED overlapped = Command(IOTEST_FAIL_NOW, ULONG(c.status));
        EXPECT_FALSE(ReadFile(file, buffer, sizeof(buffer), nullptr, &overlapped));
        EXPECT_EQ(GetLastError(), c.error) << std::hex << c.status;
    }
}

TEST_F(IoFiles, EmptyAndBadBuffersAndMissingOverlapped)
{
    HANDLE file = Open();
    HANDLE port = Bind(file, 0);
    // No data: no MDL.
    OVERLAPPED empty = Command(IOTEST_COMPLETE_NOW);
    EXPECT_TRUE(ReadFile(file, nullptr, 0, nullptr, &empty));
    EXPECT_FALSE(log->lastHadMdl);
    DWORD bytes;
    ULONG_PTR key;
    LPOVERLAPPED done;
    BOOL result;
    DWORD error;
    ASSERT_TRUE(Packet(port, &bytes, &key, &done, &result, &error));
    EXPECT_EQ(bytes, 0u);
    // A control request without an output buffer reaches the driver without one.
    EXPECT_FALSE(DeviceIoControl(file, IOTEST_IOCTL_FILL, nullptr, 0, nullptr, 0, nullptr,
                                 nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));

    // Buffers the caller cannot use fail at once with ERROR_NOACCESS and
    // never reach the driver.
    ULONG events = log->eventCount;
    OVERLAPPED bad = Command(IOTEST_COMPLETE_NOW);
    EXPECT_FALSE(ReadFile(file, reinterpret_cast<void*>(16), 64, nullptr, &bad));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOACCESS));
    PVOID pool = ExAllocatePoolWithTag(NonPagedPool, 64, IOTEST_POOL_TAG);
    EXPECT_FALSE(WriteFile(file, pool, 64, nullptr, &bad));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOACCESS));
    EXPECT_FALSE(DeviceIoControl(file, IOTEST_IOCTL_FILL, nullptr, 0, pool, 64, nullptr,
                                 nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOACCESS));
    ExFreePool(pool);
    EXPECT_EQ(log->eventCount, events);
    EXPECT_TRUE(NoPacket(port));

    // An overlapped handle needs an OVERLAPPED for reads and writes.
    char buffer[4];
    EXPECT_FALSE(ReadFile(file, buffer, sizeof(buffer), nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    // hEvent with its low bit set asks for no port notification.
    OVERLAPPED quiet = Command(IOTEST_COMPLETE_NOW);
    quiet.hEvent = reinterpret_cast<HANDLE>(1);
    EXPECT_TRUE(ReadFile(file, buffer, sizeof(buffer), nullptr, &quiet));
    EXPECT_EQ(quiet.InternalHigh, sizeof(buffer));
    EXPECT_TRUE(NoPacket(port));
}

// CancelIo cancels the calling thread's requests on one handle, not its
// requests on another handle, nor another thread's on the same handle; their
// completions come as usual, through the port.
TEST_F(IoFiles, CancelIoCancelsTheCallersRequestsOnOneHandle)
{
    HANDLE file = Open();
    HANDLE other = Open();
    HANDLE port = Bind(file, 1);
    HANDLE otherPort = Bind(other, 2);
    char data[4][4];
    OVERLAPPED pending[4];
    auto read = [&](HANDLE handle, int i) {
        pending[i] = Command(IOTEST_PEND_CANCELLABLE);
        EXPECT_FALSE(ReadFile(handle, data[i], 4, nullptr, &pending[i]));
    };
    read(file, 0);
    read(file, 1);
    read(other, 2);
    std::atomic<bool> cancel{false};
    std::thread another([&] {
        read(file, 3);
        while (!cancel.load()) {
            std::this_thread::yield();
        }
        EXPECT_TRUE(CancelIo(file));
    });
    while (HostIoOutstandingRequestCount() != 4) {
        std::this_thread::yield();
    }

    EXPECT_TRUE(CancelIo(file));
    std::vector<LPOVERLAPPED> cancelled;
    for (int i = 0; i < 2; ++i) {
        Taken packet;
        ASSERT_TRUE(Take(port, &packet));
        EXPECT_EQ(packet.error, DWORD(ERROR_OPERATION_ABORTED));
        cancelled.push_back(packet.overlapped);
    }
    std::sort(cancelled.begin(), cancelled.end());
    EXPECT_EQ(cancelled, (std::vector<LPOVERLAPPED>{&pending[0], &pending[1]}));
    EXPECT_TRUE(NoPacket(port) && NoPacket(otherPort));
    EXPECT_EQ(HostIoOutstandingRequestCount(), 2u);
    EXPECT_TRUE(CancelIo(other));
    cancel = true;
    another.join();
    EXPECT_EQ(HostIoOutstandingRequestCount(), 0u);
    EXPECT_FALSE(CancelIo(reinterpret_cast<HANDLE>(0x7FF0)));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

}  // namespace
