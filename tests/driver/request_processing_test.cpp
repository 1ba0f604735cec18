// The server side of the protocol, called directly on records in memory:
// what each op answers and which bytes of the record it writes. The same
// paths through the loaded driver are in driver_test.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "conduit.h"
#include "driver_frame.h"
#include "driver_globals.h"
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
        GlobalConduit = conduit;
    }

    void TearDown() override
    {
        HostExPoolFailReset();
        // Releases whatever the test left open, completing its requests.
        DestroyConduit();
        EXPECT_EQ(GlobalConduit, nullptr);
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
        GlobalConduit->LockEngine();
        const ULONG result = ProcessRequest(&r, length, transport);
        GlobalConduit->UnlockEngine();
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

TEST_F(RequestProcessingTest, HandshakeNeedsItsFullLengthAndWritesOnlyItsReply)
{
    for (ULONG length = MINIMUM_REQUEST_LENGTH; length < HANDSHAKE_LENGTH; ++length) {
        DriverRequest r = Record(REQ_HANDSHAKE);
        const DriverRequest before = r;
        EXPECT_EQ(Process(r, length), RESULT_INVALPARAM) << length;
        EXPECT_EQ(std::memcmp(&r, &before, sizeof(r)), 0) << length;
    }
    DriverRequest r = Record(REQ_HANDSHAKE);
    const DriverRequest before = r;
    EXPECT_EQ(Process(r, HANDSHAKE_LENGTH), RESULT_NOERROR);
    EXPECT_STREQ(r.signature, SERVER_SIGNATURE);
    const size_t reply = std::strlen(SERVER_SIGNATURE) + 1;
    EXPECT_EQ(std::memcmp(r.signature + reply, before.signature + reply, 64 - reply), 0);
    EXPECT_EQ(+r.result, RESULT_NOERROR);
    EXPECT_EQ(+r.deviceCount, 1u);
    // Nothing past the 78 bytes of a handshake.
    const auto* after = reinterpret_cast<const UCHAR*>(&r);
    const auto* old = reinterpret_cast<const UCHAR*>(&before);
    EXPECT_EQ(std::memcmp(after + HANDSHAKE_LENGTH, old + HANDSHAKE_LENGTH,
                          DRIVER_REQUEST_LENGTH - HANDSHAKE_LENGTH), 0);
    EXPECT_EQ(GlobalConduit->clockUsers, 0u);
}

TEST_F(RequestProcessingTest, OpsBeyondTheHandshakeNeedAFullRecord)
{
    DriverRequest r = Record(REQ_OPEN);
    SetFormat(r, 44100, 16, 2);
    EXPECT_EQ(Process(r, DRIVER_REQUEST_LENGTH - 1), RESULT_INVALPARAM);
    EXPECT_EQ(+r.result, Untouched);
    EXPECT_EQ(GlobalConduit->clockUsers, 0u);
}

TEST_F(RequestProcessingTest, FormatQueryCreatesNothing)
{
    DriverRequest r = Record(REQ_OPEN, DIRECTION_IN);
    SetFormat(r, 44100, 16, 2);
    r.open.format.cbSize = 0x1234;
    r.open.openFlags = OPEN_FORMAT_QUERY;
    r.streamHandle = 0x5A5A5A5A;
    EXPECT_EQ(Process(r), RESULT_NOERROR);
    EXPECT_EQ(+r.result, RESULT_NOERROR);
    EXPECT_EQ(+r.open.format.cbSize, 0);
    EXPECT_EQ(+r.streamHandle, 0x5A5A5A5Au);
    EXPECT_EQ(GlobalConduit->clockUsers, 0u);
    EXPECT_TRUE(GlobalConduit->inEndpoint.streams.IsEmpty());

    SetFormat(r, 44100, 16, 2);
    r.open.format.nBlockAlign = 3;     // not 2 bytes x 2 channels
    r.open.openFlags = OPEN_FORMAT_QUERY;
    EXPECT_EQ(Process(r), RESULT_BADFORMAT);
}

TEST_F(RequestProcessingTest, OpenComesOnlyByControlRequest)
{
    // By read or write the handle would reach only the server's copy.
    for (RequestTransport transport : {TransportRead, TransportWrite}) {
        DriverRequest r = Record(REQ_OPEN, DIRECTION_OUT);
        SetFormat(r, 44100, 16, 2);
        r.streamHandle = 0;
        EXPECT_EQ(Process(r, DRIVER_REQUEST_LENGTH, transport), RESULT_INVALPARAM);
        EXPECT_EQ(+r.streamHandle, 0u);
        EXPECT_EQ(GlobalConduit->clockUsers, 0u);
    }
}

TEST_F(RequestProcessingTest, FirstStreamLocksTheFormatForBothEndpoints)
{
    const ULONG out = Open(DIRECTION_OUT, 44100);
    ASSERT_NE(out, 0u);
    for (USHORT direction : {DIRECTION_OUT, DIRECTION_IN}) {
        DriverRequest other = Record(REQ_OPEN, direction);
        SetFormat(other, 48000, 16, 2);
        EXPECT_EQ(Process(other), RESULT_BADFORMAT) << direction;
        EXPECT_EQ(+other.result, RESULT_BADFORMAT);

        DriverRequest same = Record(REQ_OPEN, direction);
        SetFormat(same, 44100, 16, 2);
        same.open.format.nAvgBytesPerSec = 1;    // never compared
        EXPECT_EQ(Process(same), RESULT_NOERROR) << direction;
    }
    EXPECT_EQ(GlobalConduit->clockUsers, 3u);
}

TEST_F(RequestProcessingTest, HandlesAreCheckedAgainstTheChosenEndpoint)
{
    const ULONG in = Open(DIRECTION_IN);
    const ULONG out = Open(DIRECTION_OUT);

    struct Case {
        USHORT op;
        USHORT direction;
        ULONG handle;
        ULONG expected;
    } const cases[] = {
        {9, DIRECTION_IN, in, RESULT_NOTSUPPORTED},
        {0xFFFF, DIRECTION_OUT, out, RESULT_NOTSUPPORTED},
        {9, DIRECTION_OUT, in, RESULT_INVALPARAM},               // other endpoint
        {REQ_START, DIRECTION_OUT, in, RESULT_INVALPARAM},
        {REQ_START, 2, in, RESULT_INVALPARAM},                   // 2 means Out
        {REQ_START, 2, out, RESULT_NOERROR},
        {REQ_GET_POSITION, DIRECTION_IN, 0, RESULT_INVALPARAM},
        {REQ_CLOSE, DIRECTION_IN, out, RESULT_INVALPARAM},
        {REQ_STOP, DIRECTION_IN, in + 8, RESULT_INVALPARAM},     // inside a stream
    };
    for (const Case& c : cases) {
        DriverRequest r = Record(c.op, c.direction, c.handle);
        EXPECT_EQ(Process(r), c.expected) << "op " << c.op << " direction " << c.direction;
        EXPECT_EQ(+r.result, c.expected);
    }
    EXPECT_EQ(GlobalConduit->clockUsers, 2u);
}

TEST_F(RequestProcessingTest, AddBufferComesOnlyWithItsReadOrWriteRequest)
{
    const ULONG out = Open(DIRECTION_OUT);
    const ULONG in = Open(DIRECTION_IN);
    PUCHAR bytes = LowBytes(400);

    // As a control request: refused, nothing queued.
    DriverRequest control = Record(REQ_ADD_BUFFER, DIRECTION_OUT, out);
    control.addBuffer.data = PtrToUlong(bytes);
    control.addBuffer.dataLength = 400;
    EXPECT_EQ(Process(control), RESULT_INVALPARAM);
    EXPECT_EQ(Process(control, MINIMUM_REQUEST_LENGTH), RESULT_INVALPARAM);
    // A read request does not play, a write request does not record.
    EXPECT_EQ(AddBuffer(DIRECTION_OUT, out, bytes, 400, TransportRead), RESULT_INVALPARAM);
    EXPECT_EQ(AddBuffer(DIRECTION_IN, in, bytes, 400, TransportWrite), RESULT_INVALPARAM);
    EXPECT_TRUE(StreamOf(out)->queue.IsEmpty());
    EXPECT_TRUE(StreamOf(in)->queue.IsEmpty());
    FreeRefusedIrps();
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

TEST_F(RequestProcessingTest, CloseWaitsForAnEmptyQueue)
{
    const ULONG in = Open(DIRECTION_IN);
    PUCHAR bytes = LowBytes(400);
    ASSERT_EQ(AddBuffer(DIRECTION_IN, in, bytes, 400, TransportRead), RESULT_NOERROR);

    DriverRequest close = Record(REQ_CLOSE, DIRECTION_IN, in);
    EXPECT_EQ(Process(close), RESULT_STILLPLAYING);
    EXPECT_TRUE(GlobalConduit->inEndpoint.HasStream(StreamOf(in)));

    DriverRequest reset = Record(REQ_RESET, DIRECTION_IN, in);
    EXPECT_EQ(Process(reset), RESULT_NOERROR);
    HOST_IO_TEST_IRP_RESULT result{};
    ASSERT_TRUE(HostIoGetTestIrpResult(irps.back(), &result));
    EXPECT_TRUE(result.Completed);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.Information, 0u);

    EXPECT_EQ(Process(close), RESULT_NOERROR);
    EXPECT_EQ(GlobalConduit->clockUsers, 0u);
    // The handle is gone with its stream.
    EXPECT_EQ(Process(close), RESULT_INVALPARAM);
}

TEST_F(RequestProcessingTest, PositionIsReportedInMillisecondsBytesAndFrames)
{
    const ULONG out = Open(DIRECTION_OUT, 44100, 16, 2);     // 176,400 bytes per second
    StreamOf(out)->position = 10000000;
    DriverRequest r = Record(REQ_GET_POSITION, DIRECTION_OUT, out);
    r.position.timeFormat = 4;
    EXPECT_EQ(Process(r), RESULT_NOERROR);
    EXPECT_EQ(+r.position.positionMs, 56689u);
    EXPECT_EQ(+r.position.positionBytes, 10000000u);
    EXPECT_EQ(+r.position.positionSamples, 2500000u);
    EXPECT_EQ(+r.position.timeFormat, 4u);
    EXPECT_EQ(+r.result, RESULT_NOERROR);

    // The product position x 1000 exceeds 32 bits: formed in 64.
    StreamOf(out)->position = 0xFFFFFFFC;
    EXPECT_EQ(Process(r), RESULT_NOERROR);
    EXPECT_EQ(+r.position.positionMs, 24347887u);
    EXPECT_EQ(+r.position.positionSamples, 0x3FFFFFFFu);
}

TEST_F(RequestProcessingTest, PositionSurvivesARateWhoseByteRateWraps)
{
    // 2^30 frames per second of 4 bytes: nAvgBytesPerSec wraps to 0 in 32
    // bits. A 100 ms mix buffer of such a rate is beyond the pool, so the
    // stream is attached by hand with the clock held by a smaller format.
    const ULONG out = Open(DIRECTION_OUT, 8000, 16, 2);
    GlobalConduit->format.nSamplesPerSec = 0x40000000;
    GlobalConduit->format.nAvgBytesPerSec = 0;
    StreamOf(out)->position = 0x80000000;
    DriverRequest r = Record(REQ_GET_POSITION, DIRECTION_OUT, out);
    EXPECT_EQ(Process(r), RESULT_NOERROR);
    EXPECT_EQ(+r.position.positionMs, 500u);
    GlobalConduit->format.nSamplesPerSec = 8000;
    GlobalConduit->format.nAvgBytesPerSec = 32000;
}

TEST_F(RequestProcessingTest, OpenWithoutPoolAnswersNoMemoryAndLeavesNothing)
{
    // The Stream itself, then the mix buffer of the clock's start.
    for (ULONG nth = 1; nth <= 2; ++nth) {
        DriverRequest r = Record(REQ_OPEN, DIRECTION_OUT);
        SetFormat(r, 44100, 16, 2);
        r.streamHandle = 0;
        HostExPoolFailNth(nth, POOL_TAG);
        EXPECT_EQ(Process(r), RESULT_NOMEM) << nth;
        HostExPoolFailReset();
        EXPECT_EQ(+r.streamHandle, 0u);
        EXPECT_EQ(GlobalConduit->clockUsers, 0u);
        EXPECT_TRUE(GlobalConduit->outEndpoint.streams.IsEmpty());
    }
}

}  // namespace
