// The loaded tonkern through the client's Win32 calls, grouped by what is
// sent: loading and unloading, the handshake and record checks, open and
// the format lock, the stream ops, add-buffer and its guarded record, and
// audio through the conduit.
#include "driver_fixture.h"

#include <sys/mman.h>
#include <unistd.h>


namespace {

using DriverLoadTest = DriverFixture;
using HandshakeTest = DriverFixture;
using OpenTest = DriverFixture;
using StreamOpTest = DriverFixture;
using AddBufferTest = DriverFixture;
using ConduitAudioTest = DriverFixture;
using UnloadTest = DriverFixture;

std::vector<UCHAR> Bytes(const UCHAR* data, size_t size)
{
    return std::vector<UCHAR>(data, data + size);
}

// ---- Loading and unloading ----------------------------------------------

TEST_F(DriverLoadTest, LoadMakesExactlyTheTwoDevicesAndLinks)
{
    EXPECT_EQ(HostIoDeviceCount(driver), 2u);
    EXPECT_EQ(HostIoSymbolicLinkCount(), 2u);
    for (const char* name : {"\\Device\\Tonvane1In", "\\Device\\Tonvane1Out",
                             "\\DosDevices\\Tonvane1In", "\\DosDevices\\Tonvane1Out"}) {
        EXPECT_TRUE(HostIoObjectExistsA(name)) << name;
    }
    PDEVICE_OBJECT inDevice = HostIoResolveDeviceA("\\DosDevices\\Tonvane1In");
    PDEVICE_OBJECT outDevice = HostIoResolveDeviceA("\\DosDevices\\Tonvane1Out");
    ASSERT_NE(inDevice, nullptr);
    ASSERT_NE(outDevice, nullptr);
    for (PDEVICE_OBJECT device : {inDevice, outDevice}) {
        EXPECT_EQ(device->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_UNKNOWN));
        EXPECT_NE(device->Flags & DO_DIRECT_IO, 0u);
        EXPECT_EQ(device->Characteristics, 0u);
    }
    // DeviceExtension: direction (u32), then conduit number (u16).
    EXPECT_EQ(*static_cast<const ULONG*>(inDevice->DeviceExtension), 1u);
    EXPECT_EQ(*static_cast<const ULONG*>(outDevice->DeviceExtension), 0u);
    EXPECT_EQ(HostIoResolveDeviceA("\\DosDevices\\Tonvane2In"), nullptr);
}

TEST_F(DriverLoadTest, CreateAndCloseChangeNothing)
{
    HANDLE extra = OpenPath(u"\\\\.\\Tonvane1Out");
    Record open(wire::Open, wire::Out);
    open.SetFormat(8000, 16, 1);
    ASSERT_TRUE(Control(extra, open));
    ASSERT_EQ(open.Result(), wire::NoError);
    const ULONG stream = open.Get32(wire::StreamHandle);
    ASSERT_TRUE(CloseHandle(extra));
    // The stream outlives the handle it was opened through.
    EXPECT_EQ(Send(wire::Start, wire::Out, stream), wire::NoError);
    EXPECT_EQ(Send(wire::Close, wire::Out, stream), wire::NoError);
}

TEST_F(DriverLoadTest, OtherMajorFunctionsAndControlCodesAreRefused)
{
    Record record(wire::Handshake);
    DWORD error = 0;
    // Same device type, METHOD_BUFFERED and METHOD_IN_DIRECT.
    EXPECT_FALSE(Control(in, record, wire::HandshakeSize, &error, 0x00220004));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_FALSE(Control(in, record, wire::HandshakeSize, &error, 0x00220005));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(record.Result(), wire::Untouched);
    EXPECT_EQ(record.Get32(wire::DeviceCount), 0xEEEEEEEEu);
}

// ---- Handshake and record checks ---------------------------------------

TEST_F(HandshakeTest, AnswersByOutputSize)
{
    Record record(wire::Handshake);
    const std::vector<UCHAR> sent = record.Copy();
    ASSERT_TRUE(Control(in, record, wire::HandshakeSize));
    const std::vector<UCHAR> reply = record.Copy();
    EXPECT_EQ(std::memcmp(reply.data(), wire::ServerSignature, sizeof(wire::ServerSignature)), 0);
    // The rest of the signature area, and everything from offset 78, as sent.
    EXPECT_EQ(Bytes(reply.data() + sizeof(wire::ServerSignature), 64 - sizeof(wire::ServerSignature)),
              Bytes(sent.data() + sizeof(wire::ServerSignature), 64 - sizeof(wire::ServerSignature)));
    EXPECT_EQ(Bytes(reply.data() + 64, 6), Bytes(sent.data() + 64, 6));
    EXPECT_EQ(record.Result(), wire::NoError);
    EXPECT_EQ(record.Get32(wire::DeviceCount), 1u);
    EXPECT_EQ(Bytes(reply.data() + 78, 40), Bytes(sent.data() + 78, 40));

    for (DWORD size = 74; size < wire::HandshakeSize; ++size) {
        Record shorter(wire::Handshake);
        const std::vector<UCHAR> before = shorter.Copy();
        ASSERT_TRUE(Control(in, shorter, size)) << size;
        EXPECT_EQ(shorter.Result(), wire::InvalParam) << size;
        std::vector<UCHAR> expected = before;
        std::memcpy(&expected[wire::Result], &wire::InvalParam, 4);
        EXPECT_EQ(shorter.Copy(), expected) << size;
    }

    for (DWORD size : {73u, 0u}) {
        Record tooShort(wire::Handshake);
        const std::vector<UCHAR> before = tooShort.Copy();
        DWORD error = 0;
        EXPECT_FALSE(Control(in, tooShort, size, &error)) << size;
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
        EXPECT_EQ(tooShort.Copy(), before) << size;
    }
}

TEST_F(HandshakeTest, ForeignRecordsFailTheRequestAndStayUntouched)
{
    const ULONG blocks = HostExPoolLiveBlocks(PoolTag);
    struct Case {
        const char* what;
        DWORD offset;
        UCHAR value;
    } const cases[] = {
        {"version 0x0202", wire::Version, 0x02},
        {"first signature byte", 0, 't'},
        {"last signature letter", 27, 'E'},
        {"signature NUL", 28, 'X'},
    };
    for (const Case& c : cases) {
        for (USHORT op : {wire::Handshake, wire::Open}) {
            Record record(op, wire::Out);
            record.SetFormat(8000, 16, 1);
            record.Bytes()[c.offset] = c.value;
            const std::vector<UCHAR> before = record.Copy();
            DWORD error = 0;
            EXPECT_FALSE(Control(op == wire::Handshake ? in : out, record,
                                 op == wire::Handshake ? wire::HandshakeSize : wire::Size, &error))
                << c.what;
            EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_FUNCTION)) << c.what;
            EXPECT_EQ(record.Copy(), before) << c.what;
        }
    }
    EXPECT_EQ(HostExPoolLiveBlocks(PoolTag), blocks) << "no stream was created";
}

// ---- Open and the format lock -------------------------------------------

TEST_F(OpenTest, QueryAnswersWithoutCreatingAStream)
{
    const ULONG blocks = HostExPoolLiveBlocks(PoolTag);
    Record query(wire::Open, wire::In);
    query.SetFormat(44100, 16, 2);
    query.Put16(wire::CbSize, 22);
    query.Put32(wire::OpenFlags, 1);
    query.Put32(wire::StreamHandle, 0x12345678);
    ASSERT_TRUE(Control(in, query));
    EXPECT_EQ(query.Result(), wire::NoError);
    EXPECT_EQ(query.Get16(wire::CbSize), 0u);
    EXPECT_EQ(query.Get32(wire::StreamHandle), 0x12345678u);
    EXPECT_EQ(HostExPoolLiveBlocks(PoolTag), blocks);
    EXPECT_EQ(HostKeQueuedTimers(), 0u);

    // Whatever the query said, a 48 kHz stream may be the first one now.
    const ULONG stream = OpenStream(wire::Out, 48000);
    EXPECT_NE(stream, 0u);
}

TEST_F(OpenTest, FirstStreamLocksTheFormatAcrossEndpoints)
{
    const ULONG first = OpenStream(wire::In, 44100, 16, 2);
    ASSERT_NE(first, 0u);
    EXPECT_EQ(HostKeQueuedTimers(), 1u) << "the clock runs";

    for (USHORT direction : {wire::In, wire::Out}) {
        ULONG result = 0;
        EXPECT_EQ(OpenStream(direction, 48000, 16, 2, &result), 0u);
        EXPECT_EQ(result, wire::BadFormat) << direction;
        EXPECT_EQ(OpenStream(direction, 44100, 8, 2, &result), 0u);
        EXPECT_EQ(result, wire::BadFormat) << direction;
    }
    const ULONG second = OpenStream(wire::Out, 44100, 16, 2);
    ASSERT_NE(second, 0u);

    EXPECT_EQ(Send(wire::Close, wire::In, first), wire::NoError);
    EXPECT_EQ(Send(wire::Close, wire::Out, second), wire::NoError);
    EXPECT_EQ(HostKeQueuedTimers(), 0u) << "the clock stopped";
    // Unlocked: a new format is taken.
    const ULONG third = OpenStream(wire::Out, 22050, 8, 1);
    EXPECT_NE(third, 0u);
}

// ---- Stream ops -----------------------------------------------------------

TEST_F(StreamOpTest, HandlesAndOpCodesAreChecked)
{
    const ULONG inStream = OpenStream(wire::In);
    const ULONG outStream = OpenStream(wire::Out);
    struct Case {
        USHORT op;
        USHORT direction;
        ULONG stream;
        ULONG expected;
    } const cases[] = {
        {9, wire::In, inStream, wire::NotSupported},
        {9, wire::Out, inStream, wire::InvalParam},
        {wire::Start, wire::Out, inStream, wire::InvalParam},
        {wire::GetPosition, wire::In, outStream, wire::InvalParam},
        {wire::Reset, wire::In, 0, wire::InvalParam},
        {wire::Start, wire::In, inStream, wire::NoError},
        {wire::Stop, wire::In, inStream, wire::NoError},
        {wire::BreakLoop, wire::Out, outStream, wire::NoError},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Send(c.op, c.direction, c.stream), c.expected)
            << "op " << c.op << " direction " << c.direction;
    }
}

TEST_F(StreamOpTest, OtherOpsByReadOrWriteAnswerOnlyInResult)
{
    const ULONG stream = OpenStream(wire::Out);
    ClientBuffer buffer;
    buffer.data = Level16(10, 5);
    Record record(wire::GetPosition, wire::Out, stream);
    const std::vector<UCHAR> before = record.Copy();
    buffer.overlapped.Offset = record.Address();
    ASSERT_TRUE(WriteFile(out, buffer.data.data(), static_cast<DWORD>(buffer.data.size()), nullptr,
                          &buffer.overlapped));
    std::vector<UCHAR> expected = before;
    std::memcpy(&expected[wire::Result], &wire::NoError, 4);
    EXPECT_EQ(record.Copy(), expected) << "only result reaches the caller";
    const std::vector<Packet> packets = Drain();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_TRUE(packets[0].ok);
    EXPECT_EQ(packets[0].bytes, 0u);
    EXPECT_EQ(packets[0].overlapped, &buffer.overlapped);

    // An open by write is refused: its stream handle could never reach the
    // client.
    const ULONG blocks = HostExPoolLiveBlocks(PoolTag);
    Record open(wire::Open, wire::Out);
    open.SetFormat(8000, 16, 1);
    open.Put32(wire::StreamHandle, 0);
    buffer.overlapped = OVERLAPPED{};
    buffer.overlapped.Offset = open.Address();
    ASSERT_TRUE(WriteFile(out, buffer.data.data(), static_cast<DWORD>(buffer.data.size()), nullptr,
                          &buffer.overlapped));
    EXPECT_EQ(open.Result(), wire::InvalParam);
    EXPECT_EQ(open.Get32(wire::StreamHandle), 0u);
    EXPECT_EQ(HostExPoolLiveBlocks(PoolTag), blocks);
    EXPECT_EQ(Drain().size(), 1u);
}

TEST_F(StreamOpTest, CloseWaitsForTheQueueAndResetCompletesItAtOnce)
{
    const ULONG stream = OpenStream(wire::In);
    ClientBuffer& first = Pending(wire::In, stream, std::vector<UCHAR>(160));
    ClientBuffer& second = Pending(wire::In, stream, std::vector<UCHAR>(160));
    EXPECT_EQ(Send(wire::Close, wire::In, stream), wire::StillPlaying);
    EXPECT_TRUE(Drain().empty());

    EXPECT_EQ(Send(wire::Reset, wire::In, stream), wire::NoError);
    // Both completed before the reset returned, in queue order, with the
    // bytes recorded into them: none, the stream never started.
    const std::vector<Packet> packets = Drain();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].overlapped, &first.overlapped);
    EXPECT_EQ(packets[1].overlapped, &second.overlapped);
    for (const Packet& packet : packets) {
        EXPECT_TRUE(packet.ok);
        EXPECT_EQ(packet.bytes, 0u);
        EXPECT_EQ(packet.key, static_cast<ULONG_PTR>(wire::In));
    }
    EXPECT_EQ(Send(wire::Close, wire::In, stream), wire::NoError);
    EXPECT_EQ(Send(wire::Close, wire::In, stream), wire::InvalParam);
}

TEST_F(StreamOpTest, PositionAfterTenMillionBytesAt176400BytesPerSecond)
{
    const ULONG stream = OpenStream(wire::Out, 44100, 16, 2);
    ClientBuffer& buffer = Pending(wire::Out, stream, std::vector<UCHAR>(10000000, 0));
    // 10,000,000 bytes last 56.69 s.
    HostKeAdvanceClockMs(57000);
    const std::vector<Packet> packets = Drain();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].overlapped, &buffer.overlapped);
    EXPECT_EQ(packets[0].bytes, 10000000u);

    Record record(wire::GetPosition, wire::Out, stream);
    record.Put32(wire::TimeFormat, 4);
    ASSERT_TRUE(Control(out, record));
    EXPECT_EQ(record.Result(), wire::NoError);
    EXPECT_EQ(record.Get32(wire::TimeFormat), 4u);
    EXPECT_EQ(record.Get32(wire::PositionMs), 56689u);
    EXPECT_EQ(record.Get32(wire::PositionBytes), 10000000u);
    EXPECT_EQ(record.Get32(wire::PositionSamples), 2500000u);
}

// ---- Add-buffer -----------------------------------------------------------

TEST_F(AddBufferTest, LengthIsRoundedToWholeBlocksOrRefused)
{
    const ULONG stream = OpenStream(wire::Out, 44100, 16, 2);    // block 4
    ClientBuffer& rounded = Pending(wire::Out, stream, std::vector<UCHAR>(1001, 0));
    ClientBuffer& oneBlock = Pending(wire::Out, stream, std::vector<UCHAR>(4, 0));

    ClientBuffer tiny;
    tiny.data.assign(2, 0);
    DWORD error = 0;
    ULONG result = 0;
    EXPECT_FALSE(Queue(wire::Out, stream, tiny, &error, &result));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(result, wire::InvalParam);

    ClientBuffer empty;     // no data: no MDL, address 0
    empty.data.assign(4, 0);
    EXPECT_FALSE(Queue(wire::Out, stream, empty, &error, &result, -1, 0));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(result, wire::InvalParam);
    EXPECT_TRUE(Drain().empty()) << "a refused buffer gets no packet";

    HostKeAdvanceClockMs(100);
    const std::vector<Packet> packets = Drain();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].overlapped, &rounded.overlapped);
    EXPECT_TRUE(packets[0].ok);
    EXPECT_EQ(packets[0].bytes, 1000u);
    EXPECT_EQ(packets[0].key, static_cast<ULONG_PTR>(wire::Out));
    EXPECT_EQ(packets[1].overlapped, &oneBlock.overlapped);
    EXPECT_EQ(packets[1].bytes, 4u) << "exactly one block is a whole buffer";
}

TEST_F(AddBufferTest, ComesOnlyByTheRequestThatFitsItsDirection)
{
    const ULONG outStream = OpenStream(wire::Out);
    const ULONG inStream = OpenStream(wire::In);
    std::vector<UCHAR> data(160);

    // As a control request: refused, nothing queued, the request succeeds.
    Record control(wire::AddBuffer, wire::Out, outStream);
    control.Put32(wire::Data, static_cast<ULONG>(reinterpret_cast<uintptr_t>(data.data())));
    control.Put32(wire::DataLength, 160);
    ASSERT_TRUE(Control(out, control));
    EXPECT_EQ(control.Result(), wire::InvalParam);

    // An Out buffer by read, an In buffer by write.
    ClientBuffer buffer;
    buffer.data = data;
    DWORD error = 0;
    ULONG result = 0;
    EXPECT_FALSE(Queue(wire::Out, outStream, buffer, &error, &result, 1));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(result, wire::InvalParam);
    EXPECT_FALSE(Queue(wire::In, inStream, buffer, &error, &result, 0));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(result, wire::InvalParam);

    EXPECT_TRUE(Drain().empty());
    EXPECT_EQ(Send(wire::Close, wire::Out, outStream), wire::NoError);
    EXPECT_EQ(Send(wire::Close, wire::In, inStream), wire::NoError);
}

// The record of a read or write request lies wherever the caller says; a
// record that cannot be read and written, or that lies in system space,
// fails the request and is never written.
TEST_F(AddBufferTest, RecordAddressIsGuarded)
{
    const ULONG stream = OpenStream(wire::Out);
    const long page = sysconf(_SC_PAGESIZE);

    // Three pages below 2 GiB: a read-write one, a read-only one and one
    // that cannot be touched at all.
    auto* pages = static_cast<UCHAR*>(mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE,
                                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    UCHAR* const writable = pages;
    UCHAR* const readOnly = pages + page;
    UCHAR* const noAccess = pages + 2 * page;

    // A valid add-buffer record, copied to wherever a case needs it.
    Record model(wire::AddBuffer, wire::Out, stream);
    std::vector<UCHAR> data = Level16(10, 1);
    model.Put32(wire::DataLength, static_cast<ULONG>(data.size()));
    std::memcpy(readOnly, model.Bytes(), wire::Size);
    // Straddling into the inaccessible page: 98 bytes readable.
    UCHAR* const straddling = noAccess - (wire::Size - 20);
    std::memcpy(straddling, model.Bytes(), wire::Size - 20);
    // Another version, in writable memory.
    UCHAR* const oldVersion = writable + 1024;
    std::memcpy(oldVersion, model.Bytes(), wire::Size);
    oldVersion[wire::Version] = 0x02;
    ASSERT_EQ(mprotect(readOnly, page, PROT_READ), 0);
    ASSERT_EQ(mprotect(noAccess, page, PROT_NONE), 0);

    // In system space: a pool block of another tag.
    constexpr ULONG OtherTag = 0x74736554;
    auto* pool = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, wire::Size, OtherTag));
    ASSERT_NE(pool, nullptr);
    ASSERT_LT(reinterpret_cast<uintptr_t>(pool), 0x100000000ull);
    std::memcpy(pool, model.Bytes(), wire::Size);

    struct Case {
        const char* what;
        UCHAR* record;
        size_t readable;    // bytes of the record compared afterwards
    } const cases[] = {
        {"null", nullptr, 0},
        {"no access", noAccess, 0},
        {"last 20 bytes without access", straddling, wire::Size - 20},
        {"read-only", readOnly, wire::Size},
        {"system space", pool, wire::Size},
        {"version 0x0202", oldVersion, wire::Size},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<UCHAR> before(c.record, c.record + c.readable);
        OVERLAPPED overlapped{};
        overlapped.Offset = static_cast<DWORD>(reinterpret_cast<uintptr_t>(c.record));
        SetLastError(0);
        EXPECT_FALSE(WriteFile(out, data.data(), static_cast<DWORD>(data.size()), nullptr,
                               &overlapped));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
        EXPECT_EQ(std::vector<UCHAR>(c.record, c.record + c.readable), before);
    }

    // The same record in writable user memory is accepted.
    std::memcpy(writable, model.Bytes(), wire::Size);
    ClientBuffer accepted;
    accepted.data = data;
    accepted.overlapped.Offset = static_cast<DWORD>(reinterpret_cast<uintptr_t>(writable));
    SetLastError(0);
    EXPECT_FALSE(WriteFile(out, accepted.data.data(), static_cast<DWORD>(accepted.data.size()),
                           nullptr, &accepted.overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ULONG result = 0;
    std::memcpy(&result, writable + wire::Result, 4);
    EXPECT_EQ(result, wire::NoError);
    EXPECT_EQ(Send(wire::Reset, wire::Out, stream), wire::NoError);
    const std::vector<Packet> packets = Drain();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].overlapped, &accepted.overlapped);

    ExFreePool(pool);
    ASSERT_EQ(munmap(pages, 3 * page), 0);
    EXPECT_EQ(Send(wire::Close, wire::Out, stream), wire::NoError);
}

// A client keeps its record in the stack frame of its call. On the host a
// stack lies above 4 GiB (this thread's) or below it (one CreateThread
// made): the whole byte offset carries the address, and both are accepted.
TEST_F(AddBufferTest, StackRecordsAreAccepted)
{
    struct Sent {
        HANDLE device;
        ULONG stream;
        ClientBuffer buffer;
        ULONG result;
        ULONGLONG where;
    };
    const LPTHREAD_START_ROUTINE send = [](LPVOID parameter) -> DWORD {
        auto* sent = static_cast<Sent*>(parameter);
        UCHAR record[wire::Size];
        Record model(wire::AddBuffer, wire::Out, sent->stream);
        model.Put32(wire::DataLength, static_cast<ULONG>(sent->buffer.data.size()));
        std::memcpy(record, model.Bytes(), wire::Size);
        PointAt(sent->buffer.overlapped, record);
        const BOOL ok = WriteFile(sent->device, sent->buffer.data.data(),
                                  static_cast<DWORD>(sent->buffer.data.size()), nullptr,
                                  &sent->buffer.overlapped);
        std::memcpy(&sent->result, record + wire::Result, 4);
        sent->where = reinterpret_cast<uintptr_t>(record);
        return !ok && GetLastError() == ERROR_IO_PENDING ? 0 : 1;
    };
    const ULONG stream = OpenStream(wire::Out);
    Sent onThisStack{out, stream, {{}, Level16(10, 1)}, 0, 0};
    Sent onLowStack{out, stream, {{}, Level16(10, 2)}, 0, 0};
    EXPECT_EQ(send(&onThisStack), 0u);
    EXPECT_EQ(RunThread(send, &onLowStack), 0u);
    EXPECT_GE(onThisStack.where, 1ull << 32);
    EXPECT_LT(onLowStack.where, 1ull << 32);
    EXPECT_EQ(onThisStack.result, wire::NoError);
    EXPECT_EQ(onLowStack.result, wire::NoError);
    EXPECT_EQ(Send(wire::Reset, wire::Out, stream), wire::NoError);
    EXPECT_EQ(Drain().size(), 2u);
    EXPECT_EQ(Send(wire::Close, wire::Out, stream), wire::NoError);
}

// ---- Audio through the conduit ------------------------------------------

TEST_F(ConduitAudioTest, PlayedAudioArrivesMixedInRecordedBuffers)
{
    const ULONG a = OpenStream(wire::Out);
    const ULONG b = OpenStream(wire::Out);
    const ULONG recorder = OpenStream(wire::In);
    EXPECT_EQ(Send(wire::Start, wire::In, recorder), wire::NoError);

    // 40 ms each (8 kHz, 16-bit mono): all inside the first tick.
    ClientBuffer& first = Pending(wire::Out, a, Level16(40, 1000));
    ClientBuffer& second = Pending(wire::Out, b, Level16(40, -3000));
    ClientBuffer& recorded = Pending(wire::In, recorder, std::vector<UCHAR>(640, 0x55));
    HostKeAdvanceClockMs(100);

    const std::vector<Packet> packets = Drain();
    ASSERT_EQ(packets.size(), 3u);
    for (const Packet& packet : packets) {
        EXPECT_TRUE(packet.ok);
        EXPECT_EQ(packet.bytes, 640u);
        EXPECT_TRUE(packet.overlapped == &first.overlapped
                    || packet.overlapped == &second.overlapped
                    || packet.overlapped == &recorded.overlapped);
    }
    for (size_t i = 0; i < 320; ++i) {
        ASSERT_EQ(Sample16(recorded.data, i), -2000) << i;
    }
}

// Requests from a client thread against ticks from another: every accepted
// buffer completes once, with a whole number of frames.
// ---- Unload with clients still in the conduit ------------------------------

TEST_F(UnloadTest, ReleasesStreamsAndCompletesPendingRequests)
{
    const ULONG player = OpenStream(wire::Out);
    const ULONG recorder = OpenStream(wire::In);
    OpenStream(wire::In);       // never used, never closed
    EXPECT_EQ(Send(wire::Start, wire::In, recorder), wire::NoError);
    ClientBuffer& played = Pending(wire::Out, player, Level16(200, 7));
    ClientBuffer& recorded = Pending(wire::In, recorder, std::vector<UCHAR>(3200));
    HostKeAdvanceClockMs(100);      // both partly done, the clock armed
    EXPECT_TRUE(Drain().empty());
    EXPECT_EQ(HostKeQueuedTimers(), 1u);

    // Handles closed first, as NT unloads a driver only when no file is
    // open; their requests are still pending.
    ASSERT_TRUE(CloseHandle(in));
    ASSERT_TRUE(CloseHandle(out));
    in = out = INVALID_HANDLE_VALUE;
    Unload();

    const std::vector<Packet> packets = Drain();
    ASSERT_EQ(packets.size(), 2u);
    for (const Packet& packet : packets) {
        EXPECT_TRUE(packet.ok);
        EXPECT_TRUE(packet.overlapped == &played.overlapped
                    || packet.overlapped == &recorded.overlapped);
        EXPECT_GT(packet.bytes, 0u);
        EXPECT_LT(packet.bytes, 3200u);
    }
}

}  // namespace
