// The loopback's client link in the test process: the handshake and sends
// with the driver absent, and one stream's life on the loaded driver (a
// refused buffer comes back at once and never through the port, a reset
// hands back a taken one, close, unload with nothing left). Virtual time.
#include <gtest/gtest.h>

#include <windows.h>

#include <mutex>
#include <vector>

#include "host/ex_control.h"
#include "host/io_control.h"
#include "host/kernel32_control.h"
#include "host/ke_control.h"
#include "kernel_link.h"
#include "stream_client.h"

namespace {

constexpr char Image[] = "\\SystemRoot\\System32\\Drivers\\tonkern.sys";
constexpr char Registry[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Tonvane";
constexpr ULONG PoolTag = 0x206B6444;   // "Ddk "

TEST(KernelLinkTest, WithoutTheDriverTheHandshakeFailsAndNothingIsSent)
{
    HostKeReset(HostKeClockVirtual, 1000 * HOST_KE_UNITS_PER_MS);
    ULONG count = 0xABCD;
    EXPECT_FALSE(QueryKernelDriver(&count));
    EXPECT_EQ(count, 0xABCDu);
    EXPECT_EQ(OpenKernelDevice(DIRECTION_IN, 0), INVALID_HANDLE_VALUE);
    RequestRecord record;
    ASSERT_TRUE(record.IsValid());
    record->result = 0x5A5A;
    EXPECT_EQ(SendRequest(INVALID_HANDLE_VALUE, record.Get(), REQ_START), RESULT_NODRIVER);
    const ULONG result = record->result;    // packed: read by value
    EXPECT_EQ(result, 0x5A5Au) << "nothing was sent";
}

TEST(KernelLinkTest, OneStreamThroughItsOwnHandlePortAndThread)
{
    HostKeReset(HostKeClockVirtual, 1000 * HOST_KE_UNITS_PER_MS);
    const DWORD heapBlocks = HostHeapLiveBlocks();
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(HostIoLoadDriverA(Image, Registry, &driver), STATUS_SUCCESS);

    ULONG count = 0;
    EXPECT_TRUE(QueryKernelDriver(&count));
    EXPECT_EQ(count, 1u);
    // Device id 1 would be the second conduit, which does not exist.
    EXPECT_EQ(OpenKernelDevice(DIRECTION_OUT, 1), INVALID_HANDLE_VALUE);
    EXPECT_EQ(HostIoOpenFileCount(), 0u) << "the handshake closed its handle";
    {
        std::mutex lock;
        std::vector<std::pair<ClientBuffer*, DWORD>> finished;
        StreamClient client(DIRECTION_OUT);
        std::string error;
        ASSERT_TRUE(client.OpenLink(
            [&](ClientBuffer* buffer, DWORD bytes) {
                std::lock_guard<std::mutex> guard(lock);
                finished.emplace_back(buffer, bytes);
            },
            &error))
            << error;
        ASSERT_TRUE(client.AllocateBuffers(2, 400));
        ASSERT_EQ(client.Open(AudioFormat{8000, 2, 16}), RESULT_NOERROR);
        ASSERT_TRUE(client.IsOpen());
        ClientBuffer* refused = client.Buffers()[0];
        ClientBuffer* taken = client.Buffers()[1];

        // Shorter than one block: refused during the call, no packet later.
        ULONG recordResult = 0;
        EXPECT_EQ(client.Queue(refused, 2, &recordResult), RESULT_NODRIVER);
        EXPECT_EQ(recordResult, RESULT_INVALPARAM);
        EXPECT_EQ(client.Pending(), 0u);

        EXPECT_EQ(client.Send(REQ_STOP), RESULT_NOERROR);
        EXPECT_EQ(client.Queue(taken, 400, &recordResult), RESULT_NOERROR);
        EXPECT_EQ(recordResult, RESULT_NOERROR);
        EXPECT_EQ(client.Pending(), 1u);
        EXPECT_EQ(client.Send(REQ_CLOSE), RESULT_STILLPLAYING);
        EXPECT_TRUE(client.IsOpen());

        EXPECT_EQ(client.Send(REQ_RESET), RESULT_NOERROR);
        client.Barrier();
        EXPECT_EQ(client.Pending(), 0u);
        {
            std::lock_guard<std::mutex> guard(lock);
            ASSERT_EQ(finished.size(), 1u);
            EXPECT_EQ(finished[0].first, taken);
            EXPECT_EQ(finished[0].second, 0u) << "paused: nothing was played";
        }
        EXPECT_EQ(client.Send(REQ_CLOSE), RESULT_NOERROR);
        EXPECT_FALSE(client.IsOpen());
        client.CloseLink();
        client.CloseLink();
        EXPECT_EQ(HostIoPortCount(), 0u);
    }
    HOST_IO_UNLOAD_REPORT report{};
    EXPECT_EQ(HostIoUnloadDriver(driver, &report), STATUS_SUCCESS);
    EXPECT_EQ(HostExPoolReportLeaks(PoolTag), 0u);
    EXPECT_EQ(HostIoOpenFileCount(), 0u);
    EXPECT_EQ(HostIoOutstandingRequestCount(), 0u);
    EXPECT_EQ(HostHeapLiveBlocks(), heapBlocks);
}

}  // namespace
