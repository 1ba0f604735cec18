// A control request's record changed by another client thread while the
// driver works on it, many thousands of times. The record lies where the
// driver reaches the caller's own bytes, as on NT: in the global heap, or on
// the sending thread's stack (threads made by CreateThread have their stacks
// below 4 GiB). Whatever the driver read, a control request queues nothing
// and leaves nothing behind. These races are the point, so ThreadSanitizer,
// which would only report them, skips this suite (label race).
#include "client_fixture.h"

#include <atomic>
#include <thread>

namespace {

constexpr ULONG Sends = 2000;

struct Race {
    HANDLE device;
    bool onStack;       // else the record is heapRecord
    USHORT op;          // what the sender sends
    ULONG stream;       // named half the time
    UCHAR* heapRecord;
};

void Put(UCHAR* record, DWORD offset, ULONG value, DWORD bytes)
{
    std::memcpy(record + offset, &value, bytes);
}

// Flips op between the sender's and REQ_ADD_BUFFER, the stream handle, and
// format fields between what the format rules accept and refuse (the data
// address and length of an add-buffer share their bytes), until stopped.
void Change(UCHAR* record, const Race& race, const std::atomic<bool>& stop,
            std::atomic<bool>& started)
{
    UCHAR* data = static_cast<UCHAR*>(GlobalAlloc(GMEM_FIXED, 4096));
    for (ULONG x = 1; !stop.load(); x = x * 1103515245 + 12345) {
        Put(record, wire::Op, x & 0x10000 ? USHORT{wire::AddBuffer} : race.op, 2);
        Put(record, wire::StreamHandle, x & 0x20000 ? race.stream : 0, 4);
        Put(record, wire::Channels, x & 0x40000 ? 2 : 0, 2);
        Put(record, wire::BitsPerSample, x & 0x80000 ? 16 : 33, 2);
        Put(record, wire::BlockAlign, x & 0x100000 ? 4 : 3, 2);
        Put(record, wire::Data, static_cast<ULONG>(reinterpret_cast<uintptr_t>(data)), 4);
        Put(record, wire::OpenFlags, x >> 21 & 1, 4);
        started = true;
    }
    GlobalFree(data);
}

// A client thread that sends its record Sends times while another of its
// threads changes it.
DWORD WINAPI SendChanging(LPVOID parameter)
{
    const Race& race = *static_cast<const Race*>(parameter);
    UCHAR stackRecord[wire::Size];
    UCHAR* record = race.onStack ? stackRecord : race.heapRecord;
    Record good(race.op, wire::Out, race.stream);
    good.SetFormat(44100, 16, 2);
    std::memcpy(record, good.Bytes(), wire::Size);
    std::atomic<bool> stop{false};
    std::atomic<bool> started{false};
    std::thread changer(Change, record, std::cref(race), std::cref(stop), std::ref(started));
    while (!started.load()) {
        std::this_thread::yield();
    }
    for (ULONG i = 0; i < Sends; ++i) {
        DWORD returned;
        DeviceIoControl(race.device, wire::Ioctl, nullptr, 0, record, wire::Size, &returned,
                        nullptr);
    }
    stop = true;
    changer.join();
    return 0;
}

using RecordRaceTest = ClientFixture;

TEST_F(RecordRaceTest, ARecordChangedDuringItsRequestQueuesNothing)
{
    StartClockOnce();
    const ULONG blocks = HostExPoolLiveBlocks(PoolTag);
    UCHAR* heapRecord = static_cast<UCHAR*>(GlobalAlloc(GMEM_FIXED, wire::Size));
    for (bool onStack : {false, true}) {
        SCOPED_TRACE(onStack ? "on the sender's stack" : "in the global heap");
        // Position requests on a stream with one buffer queued: an add-buffer
        // taken from them would queue a second.
        const ULONG stream = OpenStream(wire::Out);
        Pending(wire::Out, stream, Level16(100, 1));
        const ULONG withStream = HostExPoolLiveBlocks(PoolTag);
        Race onStream{out, onStack, wire::GetPosition, stream, heapRecord};
        EXPECT_EQ(RunThread(SendChanging, &onStream), 0u);
        EXPECT_EQ(HostIoOutstandingRequestCount(), 1u);
        EXPECT_EQ(HostExPoolLiveBlocks(PoolTag), withStream);
        EXPECT_EQ(Send(wire::Reset, wire::Out, stream), wire::NoError);
        EXPECT_EQ(Drain().size(), 1u);
        EXPECT_EQ(Send(wire::Close, wire::Out, stream), wire::NoError);

        // Opens with the conduit idle, so that each checks the format by the
        // generic rules and the first locks it; the client's end releases
        // what they opened.
        const Client client = NewClient();
        Race opens{client.out, onStack, wire::Open, 0, heapRecord};
        {
            InProcess scope(client.process);
            EXPECT_EQ(RunThread(SendChanging, &opens), 0u);
        }
        EXPECT_EQ(HostIoOutstandingRequestCount(), 0u);
        End(client);
        EXPECT_EQ(HostExPoolLiveBlocks(PoolTag), blocks);
        EXPECT_EQ(HostKeQueuedTimers(), 0u);
    }
    GlobalFree(heapRecord);
}

}  // namespace
