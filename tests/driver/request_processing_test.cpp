// The server side of the protocol called directly on records in memory, for
// what a client cannot reach through the loaded driver (driver_test.cpp):
// validation byte by byte, fields the server fills in its own copy, positions
// near 2^32, and no pool for an open. Teardown goes through DestroyConduit,
// so each test also checks that it releases what the test left open.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "conduit.h"
#include "driver_frame.h"
#include "driver_context.h"
#include "host/ex_control.h"
#include "host/io_control.h"
#include "host/ke_control.h"
#include "pool.h"
#include "request_processing.h"
#include "startup_table.h"
#include "stream.h"

namespace {

constexpr ULONG Untouched = 0xA5A5A5A5;

DriverRequest Record(USHORT op, USHORT direction = DIRECTION_OUT, ULONG handle = 0)
{
    DriverRequest r;
    std::memset(&r, 0xEE, sizeof(r));       // the bytes after the NUL are undefined
    std::memcpy(r.signature, CLIENT_SIGNATURE, std::strlen(CLIENT_SIGNATURE) + 1);
    r.version = DRIVER_REQUEST_VERSION;
    r.length = op == REQ_HANDSHAKE ? HANDSHAKE_LENGTH : DRIVER_REQUEST_LENGTH;
    r.op = op;
    r.result = Untouched;
    if (op != REQ_HANDSHAKE) {
        r.target.direction = direction;
        r.target.deviceId = 0;
    }
    r.streamHandle = handle;
    return r;
}

void SetFormat(DriverRequest& r, ULONG rate, USHORT bits, USHORT channels)
{
    r.open.format.wFormatTag = 1;
    r.open.format.nChannels = channels;
    r.open.format.nSamplesPerSec = rate;
    r.open.format.nBlockAlign = static_cast<USHORT>((bits + 7) / 8 * channels);
    r.open.format.nAvgBytesPerSec = rate * r.open.format.nBlockAlign;
    r.open.format.wBitsPerSample = bits;
    r.open.openFlags = 0;
}

class RequestProcessingTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        HostKeReset(HostKeClockVirtual, 1000 * HOST_KE_UNITS_PER_MS);
        snapshot = HostExPoolSnapshot();
        ASSERT_TRUE(RunStartupTable());
        Conduit* conduit = static_cast<Conduit*>(PoolAllocate(sizeof(Conduit)));
        ASSERT_NE(conduit, nullptr);
        conduit->Initialise();
        GlobalDriver.conduit = conduit;
    }

    void TearDown() override
    {
        HostExPoolFailReset();
        // Releases whatever the test left open, completing its requests.
        DestroyConduit();
        EXPECT_EQ(GlobalDriver.conduit, nullptr);
        RunCleanupList();
        for (PIRP irp : irps) {
            HOST_IO_TEST_IRP_RESULT result{};
            EXPECT_TRUE(HostIoGetTestIrpResult(irp, &result));
            EXPECT_TRUE(result.Completed) << "a queued buffer's request was left pending";
            IoFreeIrp(irp);
        }
        for (PUCHAR block : lowBlocks) {
            ExFreePool(block);
        }
        EXPECT_EQ(HostExPoolReportLeaksSince(snapshot, POOL_TAG), 0u);
    }

    ULONG Process(DriverRequest& r, ULONG length = DRIVER_REQUEST_LENGTH,
                  RequestTransport transport = TransportControl)
    {
        const KIRQL irql = GlobalDriver.conduit->EnterEngine();
        const ULONG result = ProcessRequest(&r, length, transport);
        GlobalDriver.conduit->LeaveEngine(irql);
        return result;
    }

    ULONG Open(USHORT direction, ULONG rate = 44100, USHORT bits = 16, USHORT channels = 2)
    {
        DriverRequest r = Record(REQ_OPEN, direction);
        SetFormat(r, rate, bits, channels);
        EXPECT_EQ(Process(r), RESULT_NOERROR);
        return r.streamHandle;
    }

    // An add-buffer as a read (In) or write (Out) request brings it: data and
    // length are those of the request, completionRequest the request.
    ULONG AddBuffer(USHORT direction, ULONG handle, PUCHAR bytes, ULONG length,
                    RequestTransport transport)
    {
        DriverRequest r = Record(REQ_ADD_BUFFER, direction, handle);
        PIRP irp = HostIoAllocateTestIrp(transport == TransportRead ? IRP_MJ_READ : IRP_MJ_WRITE,
                                         nullptr, nullptr);
        irps.push_back(irp);
        r.addBuffer.completionRequest = PtrToUlong(irp);
        r.addBuffer.data = PtrToUlong(bytes);
        r.addBuffer.dataLength = length;
        return Process(r, DRIVER_REQUEST_LENGTH, transport);
    }

    // Requests of refused buffers are never completed by the engine.
    void FreeRefusedIrps()
    {
        for (PIRP irp : irps) {
            IoFreeIrp(irp);
        }
        irps.clear();
    }

    // Client bytes at an address that fits the record's 32-bit field; the
    // engine touches them only in ticks, which these tests do not run.
    PUCHAR LowBytes(ULONG size)
    {
        auto* block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, ClientTag));
        EXPECT_NE(block, nullptr);
        lowBlocks.push_back(block);
        return block;
    }

    Stream* StreamOf(ULONG handle) { return static_cast<Stream*>(UlongToPtr(handle)); }

    static constexpr ULONG ClientTag = 0x746E6C43;   // "Clnt"
    HOST_EX_POOL_SNAPSHOT snapshot = 0;
    std::vector<PIRP> irps;
    std::vector<PUCHAR> lowBlocks;
};

TEST_F(RequestProcessingTest, ValidationLooksAtPointerLengthVersionAndSignatureOnly)
{
    const DriverRequest good = Record(REQ_OPEN);
    EXPECT_TRUE(ValidateRequest(&good, DRIVER_REQUEST_LENGTH));
    EXPECT_TRUE(ValidateRequest(&good, MINIMUM_REQUEST_LENGTH));
    EXPECT_FALSE(ValidateRequest(&good, MINIMUM_REQUEST_LENGTH - 1));
    EXPECT_FALSE(ValidateRequest(nullptr, DRIVER_REQUEST_LENGTH));

    DriverRequest oldVersion = good;
    oldVersion.version = 0x0202;
    EXPECT_FALSE(ValidateRequest(&oldVersion, DRIVER_REQUEST_LENGTH));

    // Every byte of the signature up to and including its NUL counts.
    const size_t signatureBytes = std::strlen(CLIENT_SIGNATURE) + 1;
    for (size_t i = 0; i < signatureBytes; ++i) {
        DriverRequest changed = good;
        changed.signature[i] ^= 0x20;
        EXPECT_FALSE(ValidateRequest(&changed, DRIVER_REQUEST_LENGTH)) << "byte " << i;
    }
    DriverRequest serverSigned = good;
    WriteSignature(&serverSigned, SERVER_SIGNATURE);
    EXPECT_FALSE(ValidateRequest(&serverSigned, DRIVER_REQUEST_LENGTH));
}

TEST_F(RequestProcessingTest, OpsBeyondTheHandshakeNeedAFullRecord)
{
    DriverRequest r = Record(REQ_OPEN);
    SetFormat(r, 44100, 16, 2);
    EXPECT_EQ(Process(r, DRIVER_REQUEST_LENGTH - 1), RESULT_INVALPARAM);
    EXPECT_EQ(+r.result, Untouched);
    EXPECT_EQ(GlobalDriver.conduit->clockUsers, 0u);
}

TEST_F(RequestProcessingTest, AddBufferLengthsAreWholeBlocks)
{
    const ULONG out = Open(DIRECTION_OUT, 44100, 16, 2);     // block 4
    PUCHAR bytes = LowBytes(1001);

    EXPECT_EQ(AddBuffer(DIRECTION_OUT, out, bytes, 0, TransportWrite), RESULT_INVALPARAM);
    EXPECT_EQ(AddBuffer(DIRECTION_OUT, out, bytes, 2, TransportWrite), RESULT_INVALPARAM);
    EXPECT_EQ(AddBuffer(DIRECTION_OUT, out, nullptr, 400, TransportWrite), RESULT_INVALPARAM);
    EXPECT_TRUE(StreamOf(out)->queue.IsEmpty());
    FreeRefusedIrps();

    EXPECT_EQ(AddBuffer(DIRECTION_OUT, out, bytes, 1001, TransportWrite), RESULT_NOERROR);
    const QueuedBuffer* queued = QueuedBuffer::FromNode(StreamOf(out)->queue.head);
    ASSERT_NE(queued, nullptr);
    EXPECT_EQ(queued->length, 1000u);
    EXPECT_EQ(queued->data, bytes);
    EXPECT_EQ(queued->completionRequest, irps.back());
}

TEST_F(RequestProcessingTest, PositionProductIsFormedIn64Bits)
{
    const ULONG out = Open(DIRECTION_OUT, 44100, 16, 2);     // 176,400 bytes per second
    StreamOf(out)->position = 0xFFFFFFFC;
    DriverRequest r = Record(REQ_GET_POSITION, DIRECTION_OUT, out);
    EXPECT_EQ(Process(r), RESULT_NOERROR);
    EXPECT_EQ(+r.position.positionMs, 24347887u);
    EXPECT_EQ(+r.position.positionBytes, 0xFFFFFFFCu);
    EXPECT_EQ(+r.position.positionSamples, 0x3FFFFFFFu);
}

TEST_F(RequestProcessingTest, PositionSurvivesARateWhoseByteRateWraps)
{
    // 2^30 frames per second of 4 bytes: nAvgBytesPerSec wraps to 0 in 32
    // bits. A 100 ms mix buffer of such a rate is beyond the pool, so the
    // stream is attached by hand with the clock held by a smaller format.
    const ULONG out = Open(DIRECTION_OUT, 8000, 16, 2);
    GlobalDriver.conduit->format.nSamplesPerSec = 0x40000000;
    GlobalDriver.conduit->format.nAvgBytesPerSec = 0;
    StreamOf(out)->position = 0x80000000;
    DriverRequest r = Record(REQ_GET_POSITION, DIRECTION_OUT, out);
    EXPECT_EQ(Process(r), RESULT_NOERROR);
    EXPECT_EQ(+r.position.positionMs, 500u);
    GlobalDriver.conduit->format.nSamplesPerSec = 8000;
    GlobalDriver.conduit->format.nAvgBytesPerSec = 32000;
}

}  // namespace
