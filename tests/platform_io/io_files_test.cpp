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

TEST_F(IoFiles, OpenReachesTheDeviceThroughItsLinkAndUnknownNamesAreNotFound)
{
    HANDLE file = Open();
    EXPECT_EQ(log->creates, 1u);
    EXPECT_EQ(log->lastRequestorMode, UserMode);
    EXPECT_EQ(log->dispatchIrql, PASSIVE_LEVEL);

    struct Case {
        const char16_t* path;
        DWORD error;
    } cases[] = {
        {u"\\\\.\\NoSuchDevice", ERROR_FILE_NOT_FOUND},
        {u"\\\\.\\IoTest\\sub", ERROR_SUCCESS},          // the rest goes to the driver
        {u"\\\\.\\iotest", ERROR_SUCCESS},                // names ignore case
        {u"\\\\.\\NoSuchDevice\\sub", ERROR_PATH_NOT_FOUND},
        {u"C:\\file.txt", ERROR_PATH_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SetLastError(12345);
        HANDLE handle = CreateFileW(W(c.path), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
        if (c.error == ERROR_SUCCESS) {
            EXPECT_NE(handle, INVALID_HANDLE_VALUE);
            EXPECT_TRUE(CloseHandle(handle));
        } else {
            EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
            EXPECT_EQ(GetLastError(), c.error);
        }
    }
    HANDLE bad = CreateFileW(W(u"\\\\.\\IoTest"), GENERIC_READ, 0, nullptr, 0, 0, nullptr);
    EXPECT_EQ(bad, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    Close(file);
}

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

TEST_F(IoFiles, DirectIoDataIsVisibleBothWaysAboveAndBelowFourGiB)
{
    HANDLE file = Open();
    HANDLE port = Bind(file, 0);
    constexpr DWORD kLength = 3000;
    std::vector<UCHAR> high(kLength);
    auto* low = static_cast<UCHAR*>(GlobalAlloc(GMEM_FIXED, kLength));
    ASSERT_NE(low, nullptr);
    ASSERT_LT(reinterpret_cast<ULONG_PTR>(low) + kLength, 1ULL << 32);
    ASSERT_GT(reinterpret_cast<ULONG_PTR>(high.data()), 1ULL << 32);

    for (UCHAR* buffer : {high.data(), low}) {
        SCOPED_TRACE(buffer == low ? "below 4 GiB" : "above 4 GiB");
        // Write: the data is there when the driver is called.
        for (DWORD i = 0; i < kLength; ++i) {
            buffer[i] = UCHAR(i ^ 0x5A);
        }
        OVERLAPPED write = Command(IOTEST_PEND_DPC);
        EXPECT_FALSE(WriteFile(file, buffer, kLength, nullptr, &write));
        EXPECT_TRUE(log->lastHadMdl);
        EXPECT_LT(log->lastSystemAddress + kLength, 1ULL << 32);
        EXPECT_EQ(log->lastUserAddress, reinterpret_cast<ULONG_PTR>(buffer));
        // Same memory when it already lies below 4 GiB, else a copy.
        EXPECT_EQ(log->lastSystemAddress == reinterpret_cast<ULONG_PTR>(buffer), buffer == low);
        EXPECT_EQ(log->lastWriteLength, kLength);
        for (DWORD i = 0; i < IOTEST_KEPT_BYTES; ++i) {
            ASSERT_EQ(log->lastWrite[i], UCHAR(i ^ 0x5A));
        }
        // Read completed later from the DPC: data in place before the packet.
        memset(buffer, 0, kLength);
        OVERLAPPED read = Command(IOTEST_PEND_DPC);
        EXPECT_FALSE(ReadFile(file, buffer, kLength, nullptr, &read));
        HostKeAdvanceClockMs(IOTEST_DPC_DELAY_MS);
        for (LPOVERLAPPED expected : {&write, &read}) {
            DWORD bytes;
            ULONG_PTR key;
            LPOVERLAPPED done;
            BOOL result;
            DWORD error;
            ASSERT_TRUE(Packet(port, &bytes, &key, &done, &result, &error));
            EXPECT_EQ(done, expected);
            EXPECT_EQ(bytes, kLength);
        }
        for (DWORD i = 0; i < kLength; ++i) {
            ASSERT_EQ(buffer[i], IoTestPattern(i)) << "byte " << i;
        }
        // Control request, METHOD_OUT_DIRECT: written in place through the MDL.
        memset(buffer, 0, kLength);
        DWORD returned = 99;
        EXPECT_TRUE(DeviceIoControl(file, IOTEST_IOCTL_FILL, nullptr, 0, buffer, 118, &returned,
                                    nullptr));
        EXPECT_EQ(returned, 0u);
        for (DWORD i = 0; i < 118; ++i) {
            ASSERT_EQ(buffer[i], IoTestPattern(i)) << "byte " << i;
        }
        EXPECT_EQ(buffer[118], 0);
    }
    // A record on the stack, as clients keep theirs.
    UCHAR record[118] = {};
    EXPECT_TRUE(DeviceIoControl(file, IOTEST_IOCTL_FILL, nullptr, 0, record, sizeof(record),
                                nullptr, nullptr));
    EXPECT_EQ(record[117], IoTestPattern(117));
    // Synchronous control requests queue no packet, even on a bound handle.
    EXPECT_TRUE(NoPacket(port));
    GlobalFree(low);
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

TEST_F(IoFiles, AccessRightsAndSynchronousHandles)
{
    HANDLE readOnly = Open(FILE_FLAG_OVERLAPPED, GENERIC_READ);
    char buffer[8] = {};
    OVERLAPPED overlapped = Command(IOTEST_COMPLETE_NOW);
    EXPECT_FALSE(WriteFile(readOnly, buffer, sizeof(buffer), nullptr, &overlapped));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    HANDLE writeOnly = Open(FILE_FLAG_OVERLAPPED, GENERIC_WRITE);
    EXPECT_FALSE(DeviceIoControl(writeOnly, IOTEST_IOCTL_READ_ONLY, nullptr, 0, nullptr, 0,
                                 nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(DeviceIoControl(readOnly, IOTEST_IOCTL_READ_ONLY, nullptr, 0, nullptr, 0,
                                nullptr, nullptr));

    // A handle without FILE_FLAG_OVERLAPPED waits for its requests; no
    // port takes it.
    HANDLE synchronous = Open(FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(CreateIoCompletionPort(synchronous, nullptr, 1, 0), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(HostIoPortCount(), 0u);
    DWORD moved = 0;
    OVERLAPPED offset = Command(IOTEST_COMPLETE_NOW);
    EXPECT_TRUE(ReadFile(synchronous, buffer, sizeof(buffer), &moved, &offset));
    EXPECT_EQ(moved, sizeof(buffer));
    EXPECT_EQ(buffer[1], char(IoTestPattern(1)));
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

TEST_F(IoFiles, ExclusiveDeviceAdmitsOneOpenFile)
{
    HOST_IO_UNLOAD_REPORT report;
    ASSERT_EQ(HostIoUnloadDriver(driver, &report), STATUS_SUCCESS);
    ASSERT_EQ(HostIoLoadDriverA(kIoTestImage, "\\Registry\\Exclusive", &driver), STATUS_SUCCESS);
    log = static_cast<const IoTestLog*>(HostIoResolveDeviceA("\\Device\\IoTest")->DeviceExtension);
    HANDLE first = Open();
    HANDLE second = CreateFileW(W(u"\\\\.\\IoTest"), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    Close(first);
    Open();
}

TEST_F(IoFiles, MajorFunctionsADriverLeavesUnsetAreRefused)
{
    PDRIVER_OBJECT minimal;
    ASSERT_EQ(HostIoLoadDriverA("System32\\Drivers\\iotest_minimal.sys", kRegistry, &minimal),
              STATUS_SUCCESS);
    HANDLE file = CreateFileW(W(u"\\\\.\\IoTestMinimal"), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    HANDLE port = CreateIoCompletionPort(file, nullptr, 0, 0);
    char buffer[8];
    OVERLAPPED overlapped = Command(IOTEST_COMPLETE_NOW);
    EXPECT_FALSE(ReadFile(file, buffer, sizeof(buffer), nullptr, &overlapped));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
    EXPECT_FALSE(DeviceIoControl(file, IOTEST_IOCTL_FILL, nullptr, 0, buffer, sizeof(buffer),
                                 nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
    EXPECT_TRUE(NoPacket(port));
    // Cleanup is refused too, which does not stop the close.
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_EQ(HostIoUnloadDriver(minimal, nullptr), STATUS_SUCCESS);
}

constexpr int kClientThreads = 3;
constexpr int kClientRequests = 40;

struct Client {
    HANDLE file;
    OVERLAPPED overlapped[kClientRequests];
    UCHAR buffers[kClientRequests][16];
    int pending;
};

DWORD WINAPI IssueRequests(LPVOID parameter)
{
    auto* client = static_cast<Client*>(parameter);
    for (int i = 0; i < kClientRequests; ++i) {
        client->overlapped[i] = Command(IOTEST_PEND_DPC);
        BOOL done = (i & 1) ? WriteFile(client->file, client->buffers[i], 16, nullptr,
                                        &client->overlapped[i])
                            : ReadFile(client->file, client->buffers[i], 16, nullptr,
                                       &client->overlapped[i]);
        if (!done && GetLastError() == ERROR_IO_PENDING) {
            client->pending++;
        }
    }
    return 0;
}

// Requests issued by several threads while the DPC thread completes them:
// each packet arrives once, with its data in place.
TEST_F(IoFiles, ConcurrentClientsAndDpcCompletionsLoseNothing)
{
    HANDLE file = Open();
    HANDLE port = Bind(file, 3);
    Client clients[kClientThreads] = {};
    HANDLE threads[kClientThreads];
    for (int t = 0; t < kClientThreads; ++t) {
        clients[t].file = file;
        threads[t] = CreateThread(nullptr, 0, IssueRequests, &clients[t], 0, nullptr);
        ASSERT_NE(threads[t], nullptr);
    }
    int received = 0;
    std::vector<int> seen(kClientThreads * kClientRequests, 0);
    for (;;) {
        bool running = false;
        for (HANDLE thread : threads) {
            running = running || WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
        }
        HostKeAdvanceClockMs(IOTEST_DPC_DELAY_MS);
        DWORD bytes;
        ULONG_PTR key;
        LPOVERLAPPED done;
        BOOL result;
        DWORD error;
        while (Packet(port, &bytes, &key, &done, &result, &error)) {
            EXPECT_TRUE(result);
            EXPECT_EQ(bytes, 16u);
            for (int t = 0; t < kClientThreads; ++t) {
                if (done >= clients[t].overlapped && done < clients[t].overlapped + kClientRequests) {
                    int i = int(done - clients[t].overlapped);
                    seen[t * kClientRequests + i]++;
                    if ((i & 1) == 0) {
                        EXPECT_EQ(clients[t].buffers[i][15], IoTestPattern(15));
                    }
                }
            }
            received++;
        }
        int issued = 0;
        for (const Client& client : clients) {
            issued += running ? kClientRequests : client.pending;
        }
        if (!running && received == issued) {
            break;
        }
    }
    for (int t = 0; t < kClientThreads; ++t) {
        EXPECT_EQ(clients[t].pending, kClientRequests);
        EXPECT_TRUE(CloseHandle(threads[t]));
    }
    for (int count : seen) {
        ASSERT_EQ(count, 1);
    }
    EXPECT_EQ(HostIoOutstandingRequestCount(), 0u);
}

}  // namespace
