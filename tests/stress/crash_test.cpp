// Crashed and careless clients of the loaded tonkern. A client here is a
// process of the stand-in with its own handles, completion port and
// requests: ending it is what the driver sees of a crash (its requests are
// cancelled, then it ends and its handles close). Single requests are
// cancelled by CancelIo, or with IoCancelIrp on packets the test sends
// straight to the driver. A cancel withdraws only its own buffer: the
// stream plays on.
#include "client_fixture.h"

#include <atomic>
#include <functional>
#include <thread>

namespace {

// The buffers a stream held, each cancelled by the end of the process that
// queued it (the client sees ERROR_OPERATION_ABORTED), with the bytes it had
// moved.
void ExpectCancelled(const std::vector<ClientBuffer*>& held, const std::vector<ULONG>& bytes)
{
    ASSERT_EQ(held.size(), bytes.size());
    for (size_t i = 0; i < held.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(HasOverlappedIoCompleted(&held[i]->overlapped));
        EXPECT_EQ(StatusOf(*held[i]), STATUS_CANCELLED);
        EXPECT_EQ(BytesOf(*held[i]), bytes[i]);
    }
}

using CrashTest = ClientFixture;


// An add-buffer request built by the test and handed straight to the
// driver's dispatch routine, so that the test holds the packet and can
// cancel it. The record and the data lie in the global heap, below 4 GiB.
class DirectRequest {
public:
    DirectRequest(PDRIVER_OBJECT driver, USHORT direction, ULONG stream, ULONG bytes,
                  SHORT level = 0)
        : driver_(driver),
          major_(direction == wire::In ? IRP_MJ_READ : IRP_MJ_WRITE),
          device_(HostIoResolveDeviceA(direction == wire::In ? "\\Device\\Tonvane1In"
                                                             : "\\Device\\Tonvane1Out")),
          record_(wire::AddBuffer, direction, stream),
          data_(static_cast<SHORT*>(GlobalAlloc(GMEM_FIXED, bytes))),
          irp_(HostIoAllocateTestIrp(major_, &DirectRequest::Observe, this)),
          mdl_(IoAllocateMdl(data_, bytes, FALSE, FALSE, nullptr))
    {
        for (ULONG i = 0; i < bytes / 2; ++i) {
            data_[i] = level;
        }
        MmBuildMdlForNonPagedPool(mdl_);
        irp_->MdlAddress = mdl_;
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp_);
        location->DeviceObject = device_;
        location->Parameters.Read.Length = bytes;
        location->Parameters.Read.ByteOffset.QuadPart = record_.Address();
        record_.Put32(wire::DataLength, bytes);
        record_.Put32(wire::HeaderFlags, 0);
        record_.Put32(wire::Loops, 0);
    }
    ~DirectRequest()
    {
        IoFreeIrp(irp_);
        IoFreeMdl(mdl_);
        GlobalFree(data_);
    }
    DirectRequest(const DirectRequest&) = delete;
    DirectRequest& operator=(const DirectRequest&) = delete;

    PIRP Irp() const { return irp_; }
    // Called in the completing thread as the request completes.
    void OnCompletion(std::function<void()> action) { onCompletion_ = std::move(action); }
    NTSTATUS Send() { return driver_->MajorFunction[major_](device_, irp_); }
    HOST_IO_TEST_IRP_RESULT Result() const
    {
        HOST_IO_TEST_IRP_RESULT result{};
        EXPECT_TRUE(HostIoGetTestIrpResult(irp_, &result));
        return result;
    }

private:
    static VOID Observe(PVOID context, PIRP, NTSTATUS, ULONG_PTR, KIRQL)
    {
        DirectRequest* self = static_cast<DirectRequest*>(context);
        if (self->onCompletion_) {
            self->onCompletion_();
        }
    }

    PDRIVER_OBJECT driver_;
    UCHAR major_;
    PDEVICE_OBJECT device_;
    Record record_;
    SHORT* data_;
    PIRP irp_;
    PMDL mdl_;
    std::function<void()> onCompletion_;
};

// Eight distinct process-notify routines, to fill NT's table.
template <int N>
VOID NTAPI IgnoreProcess(HANDLE, HANDLE, BOOLEAN)
{
}
const PCREATE_PROCESS_NOTIFY_ROUTINE IgnoredProcesses[] = {
    IgnoreProcess<0>, IgnoreProcess<1>, IgnoreProcess<2>, IgnoreProcess<3>,
    IgnoreProcess<4>, IgnoreProcess<5>, IgnoreProcess<6>, IgnoreProcess<7>,
};

// ---- Processes that end ----------------------------------------------------

TEST_F(CrashTest, EndedClientLeavesNothingBehind)
{
    StartClockOnce();
    const ULONG loadBlocks = HostExPoolLiveBlocks(PoolTag);
    const ULONG loadBytes = HostExPoolLiveBytes(PoolTag);
    const Client client = NewClient();

    // Two players and two recorders, each with two buffers of 150 ms: the
    // first is partly played or recorded when the client dies, the second
    // untouched. One more recorder stays paused without buffers.
    struct Opened {
        USHORT direction;
        ULONG stream;
        std::vector<ClientBuffer*> held;
        ULONG moved;        // by the first buffer when the client died
    };
    std::vector<Opened> opened;
    for (USHORT direction : {wire::Out, wire::Out, wire::In, wire::In}) {
        Opened o{direction, Open(client, direction), {}, 0};
        if (direction == wire::In) {
            EXPECT_EQ(Op(client, wire::Start, wire::In, o.stream), wire::NoError);
        }
        for (int i = 0; i < 2; ++i) {
            o.held.push_back(&Submit(buffers, client, direction, o.stream, Level16(150, 700)));
        }
        opened.push_back(o);
    }
    const ULONG idle = Open(client, wire::In);
    HostKeAdvanceClockMs(100);
    for (Opened& o : opened) {
        EXPECT_EQ(StatusOf(*o.held[0]), STATUS_PENDING);
        o.moved = Position(o.direction, o.stream);
        EXPECT_GT(o.moved, 0u);
    }

    End(client);

    for (const Opened& o : opened) {
        SCOPED_TRACE(o.direction);
        ExpectCancelled(o.held, {o.moved, 0});
        if (o.direction == wire::In) {
            ExpectLevel(o.held[0]->data, 0, o.moved, 1400);
        }
        EXPECT_EQ(Send(wire::GetPosition, o.direction, o.stream), wire::InvalParam)
            << "the stream is gone";
    }
    EXPECT_EQ(Send(wire::Close, wire::In, idle), wire::InvalParam);
    EXPECT_EQ(HostKeQueuedTimers(), 0u) << "the clock stopped";
    EXPECT_EQ(HostExPoolLiveBlocks(PoolTag), loadBlocks);
    EXPECT_EQ(HostExPoolLiveBytes(PoolTag), loadBytes);

    // The format is free again.
    const ULONG next = OpenStream(wire::Out, 44100, 16, 2);
    EXPECT_NE(next, 0u);
    EXPECT_EQ(Send(wire::Close, wire::Out, next), wire::NoError);
}

// A process's requests on another process's stream: its end cancels just
// them; the stream, its position and its owner's buffers play on.
TEST_F(CrashTest, EndingProcessWithdrawsOnlyItsBuffersFromAnotherStream)
{
    const Client client = NewClient();
    const ULONG shared = OpenStream(wire::Out);
    ClientBuffer& own = Pending(wire::Out, shared, Level16(300, 5));
    Buffers foreign;
    ClientBuffer& queued = Submit(foreign, client, wire::Out, shared, Level16(100, 6));
    ClientBuffer& after = Pending(wire::Out, shared, Level16(100, 7));
    HostKeAdvanceClockMs(100);
    const ULONG moved = Position(wire::Out, shared);

    End(client);
    EXPECT_EQ(StatusOf(queued), STATUS_CANCELLED);
    EXPECT_EQ(BytesOf(queued), 0u);
    EXPECT_TRUE(Drain().empty());
    EXPECT_EQ(Position(wire::Out, shared), moved);
    HostKeAdvanceClockMs(400);
    const std::vector<Packet> packets = Drain();
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].overlapped, &own.overlapped);
    EXPECT_EQ(packets[0].bytes, own.data.size());
    EXPECT_EQ(packets[1].overlapped, &after.overlapped);
    EXPECT_EQ(packets[1].bytes, after.data.size());
    EXPECT_EQ(Send(wire::Close, wire::Out, shared), wire::NoError);
}

// Without its process-exit routine the driver does not load (the table's
// refusal is passed on), and a failed load leaves nothing; unloading
// removes the routine.
TEST_F(CrashTest, LoadNeedsAProcessExitRoutine)
{
    EXPECT_EQ(HostPsNotifyRoutineCount(), 1u);
    ASSERT_TRUE(CloseHandle(in));
    ASSERT_TRUE(CloseHandle(out));
    in = out = INVALID_HANDLE_VALUE;
    Unload();
    EXPECT_EQ(HostPsNotifyRoutineCount(), 0u);

    for (PCREATE_PROCESS_NOTIFY_ROUTINE routine : IgnoredProcesses) {
        ASSERT_EQ(PsSetCreateProcessNotifyRoutine(routine, FALSE), STATUS_SUCCESS);
    }
    PDRIVER_OBJECT failed = nullptr;
    EXPECT_EQ(HostIoLoadDriverA(Image, Registry, &failed), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(HostIoDeviceCount(nullptr), 0u);
    EXPECT_EQ(HostIoSymbolicLinkCount(), 0u);
    EXPECT_EQ(HostExPoolReportLeaks(PoolTag), 0u);
    EXPECT_EQ(HostPsNotifyRoutineCount(), 8u);
    for (PCREATE_PROCESS_NOTIFY_ROUTINE routine : IgnoredProcesses) {
        EXPECT_EQ(PsSetCreateProcessNotifyRoutine(routine, TRUE), STATUS_SUCCESS);
    }
    ASSERT_EQ(HostIoLoadDriverA(Image, Registry, &driver), STATUS_SUCCESS);
    EXPECT_EQ(HostPsNotifyRoutineCount(), 1u);
}

// ---- Single requests cancelled ----------------------------------------------

// Cancelling one request withdraws its buffer alone: it completes with
// STATUS_CANCELLED and the bytes it had moved, while its stream's other
// buffers, its position and another stream play on.
TEST_F(CrashTest, CancellingOneRequestWithdrawsOnlyItsBuffer)
{
    struct Case {
        const char* what;
        USHORT direction;
        bool cancelHead;    // the cancelled request's buffer is current
    } const cases[] = {
        {"In, partly recorded head", wire::In, true},
        {"In, behind the head", wire::In, false},
        {"Out, partly played head", wire::Out, true},
        {"Out, behind the head", wire::Out, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ULONG stream = OpenStream(c.direction);
        const ULONG other = OpenStream(c.direction);
        if (c.direction == wire::In) {
            EXPECT_EQ(Send(wire::Start, wire::In, stream), wire::NoError);
        }
        ClientBuffer& untouched = Pending(c.direction, other, Level16(2000, 3));

        std::unique_ptr<DirectRequest> cancelled;
        auto sendCancelled = [&](ULONG ms) {
            cancelled = std::make_unique<DirectRequest>(driver, c.direction, stream,
                                                        ms * BytesPerMs, 9);
            EXPECT_EQ(cancelled->Send(), STATUS_PENDING);
        };
        if (c.cancelHead) {
            sendCancelled(200);
        }
        ClientBuffer& first = Pending(c.direction, stream, Level16(c.cancelHead ? 100 : 200, 9));
        if (!c.cancelHead) {
            sendCancelled(100);
        }
        ClientBuffer& last = Pending(c.direction, stream, Level16(100, 9));
        HostKeAdvanceClockMs(100);
        const ULONG moved = Position(c.direction, stream);
        EXPECT_GT(moved, 0u);
        EXPECT_EQ(cancelled->Result().Completed, FALSE);

        EXPECT_TRUE(IoCancelIrp(cancelled->Irp()));
        const HOST_IO_TEST_IRP_RESULT result = cancelled->Result();
        EXPECT_TRUE(result.Completed);
        EXPECT_TRUE(result.PendingReturned);
        EXPECT_EQ(result.Status, STATUS_CANCELLED);
        EXPECT_EQ(result.Information, c.cancelHead ? moved : 0u);
        EXPECT_FALSE(IoCancelIrp(cancelled->Irp())) << "nothing left to cancel";
        EXPECT_TRUE(Drain().empty());
        EXPECT_EQ(Position(c.direction, stream), moved);

        HostKeAdvanceClockMs(400);
        const std::vector<Packet> packets = Drain();
        ASSERT_EQ(packets.size(), 2u);
        EXPECT_EQ(packets[0].overlapped, &first.overlapped);
        EXPECT_EQ(packets[1].overlapped, &last.overlapped);
        EXPECT_TRUE(packets[0].ok && packets[1].ok);
        EXPECT_EQ(packets[0].bytes, first.data.size());
        EXPECT_EQ(packets[1].bytes, last.data.size());
        EXPECT_EQ(Send(wire::Close, c.direction, stream), wire::NoError);
        EXPECT_FALSE(HasOverlappedIoCompleted(&untouched.overlapped));
        EXPECT_EQ(Send(wire::Reset, c.direction, other), wire::NoError);
        EXPECT_EQ(Drain().size(), 1u);
        EXPECT_EQ(Send(wire::Close, c.direction, other), wire::NoError);
    }
}

// A request whose cancel came while the driver was queuing it (its thread
// was ending) finds no cancel routine to run: the driver sees the flag and
// withdraws it at once; the stream plays on.
TEST_F(CrashTest, RequestCancelledBeforeItIsQueued)
{
    const ULONG stream = OpenStream(wire::Out);
    ClientBuffer& before = Pending(wire::Out, stream, Level16(200, 4));
    HostKeAdvanceClockMs(100);
    const ULONG moved = Position(wire::Out, stream);
    DirectRequest request(driver, wire::Out, stream, TickBytes, 4);
    request.Irp()->Cancel = TRUE;
    EXPECT_EQ(request.Send(), STATUS_PENDING);
    const HOST_IO_TEST_IRP_RESULT result = request.Result();
    EXPECT_TRUE(result.Completed);
    EXPECT_EQ(result.Status, STATUS_CANCELLED);
    EXPECT_EQ(result.Information, 0u);
    EXPECT_TRUE(Drain().empty());
    EXPECT_EQ(Position(wire::Out, stream), moved);
    EXPECT_EQ(Send(wire::Reset, wire::Out, stream), wire::NoError);
    const std::vector<Packet> packets = Drain();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].overlapped, &before.overlapped);
    EXPECT_EQ(packets[0].bytes, moved);
    EXPECT_EQ(Send(wire::Close, wire::Out, stream), wire::NoError);
}

// A cancel whose routine finds its buffer already retired (by a reset; the
// cancel comes from the completion of the buffer before it, in the drain)
// leaves it to complete as retired, with success and its count, after it.
TEST_F(CrashTest, CancelOfARetiredBufferCompletesItAsRetired)
{
    const ULONG stream = OpenStream(wire::Out);
    DirectRequest first(driver, wire::Out, stream, 200 * BytesPerMs, 1);
    DirectRequest second(driver, wire::Out, stream, 100 * BytesPerMs, 1);
    ASSERT_EQ(first.Send(), STATUS_PENDING);
    ASSERT_EQ(second.Send(), STATUS_PENDING);
    HostKeAdvanceClockMs(100);
    const ULONG moved = Position(wire::Out, stream);
    bool secondRoutineRan = false;
    first.OnCompletion([&] {
        EXPECT_FALSE(second.Result().Completed);
        secondRoutineRan = IoCancelIrp(second.Irp());
    });
    EXPECT_EQ(Send(wire::Reset, wire::Out, stream), wire::NoError);
    EXPECT_TRUE(secondRoutineRan);
    EXPECT_EQ(first.Result().Status, STATUS_SUCCESS);
    EXPECT_EQ(first.Result().Information, moved);
    EXPECT_TRUE(second.Result().Completed);
    EXPECT_EQ(second.Result().Status, STATUS_SUCCESS);
    EXPECT_EQ(second.Result().Information, 0u);
    EXPECT_EQ(Send(wire::Close, wire::Out, stream), wire::NoError);
}

// ---- Threads that end -------------------------------------------------------

// A player queues three buffers on its port-bound handle, the second from a
// thread that then ends. Up to XP the exit cancels that request, waiting
// until it has completed: the recording shows exactly that buffer missing.
// From Vista on the request belongs to the file: nothing is missing.
TEST_F(CrashTest, WriterThreadEndsWhileOtherThreadsBuffersPlay)
{
    struct Writer {
        const Client* client;
        ULONG stream;
        Buffers owned;
    };
    for (HOST_WINDOWS_VERSION version : {HostWindowsNt4ToXp, HostWindowsVistaAndLater}) {
        SCOPED_TRACE(version == HostWindowsNt4ToXp ? "NT 4.0 to XP" : "Vista and later");
        HostSetWindowsVersion(version);
        const Client client = NewClient();
        const ULONG player = Open(client, wire::Out);
        const ULONG recorder = OpenStream(wire::In);
        ASSERT_EQ(Send(wire::Start, wire::In, recorder), wire::NoError);
        ClientBuffer& recorded = Pending(wire::In, recorder, std::vector<UCHAR>(400 * BytesPerMs));
        Buffers owned;
        Submit(owned, client, wire::Out, player, Level16(100, 1000));
        Writer ending{&client, player, {}};
        {
            InProcess scope(client.process);
            const auto write = [](LPVOID parameter) -> DWORD {
                auto* w = static_cast<Writer*>(parameter);
                Submit(w->owned, *w->client, wire::Out, w->stream, Level16(100, 2000));
                return 0;
            };
            EXPECT_EQ(RunThread(write, &ending), 0u);
        }
        Submit(owned, client, wire::Out, player, Level16(100, 3000));
        const bool cut = version == HostWindowsNt4ToXp;
        EXPECT_EQ(StatusOf(*ending.owned.front()), cut ? STATUS_CANCELLED : STATUS_PENDING);

        // Enough for the recording to complete, which brings its bytes back.
        HostKeAdvanceClockMs(500);
        ExpectLevel(recorded.data, 0, TickBytes, 1000);
        ExpectLevel(recorded.data, TickBytes, 2 * TickBytes, cut ? 3000 : 2000);
        ExpectLevel(recorded.data, 2 * TickBytes, 3 * TickBytes, cut ? 0 : 3000);
        EXPECT_EQ(StatusOf(*ending.owned.front()), cut ? STATUS_CANCELLED : STATUS_SUCCESS);
        EXPECT_EQ(Send(wire::Close, wire::In, recorder), wire::NoError);
        End(client);
    }
    HostSetWindowsVersion(HostWindowsNt4ToXp);
}

// ---- Against the running clock ---------------------------------------------

// A cancel routine racing a reset of the same stream from another thread,
// with the clock running: the routine finds its buffer still queued (and
// resets the stream itself), or already returned by the reset and either
// still on the DoneList or set aside by that reset's drain, which leaves
// the request to the routine. Either way the request completes exactly once
// (the stand-in stops on a second completion, or on one with a cancel
// routine still set). The reset is sent only once the cancel has taken the
// routine, and the stream is paused so that no tick finishes the buffer: the
// cancel never comes after the request's completion.
TEST_F(CrashTest, CancelRoutineRacesAReset)
{
    constexpr int Rounds = 300;
    const ULONG stream = OpenStream(wire::Out, 48000, 16, 2);
    // Players of endless loops that keep each tick busy, so that the
    // routine and the reset often both wait for the engine lock.
    constexpr ULONG BeginAndEndLoop = 0x04 | 0x08;
    std::vector<ULONG> others;
    for (int i = 0; i < 8; ++i) {
        others.push_back(OpenStream(wire::Out, 48000, 16, 2));
        Submit(buffers, Survivor(), wire::Out, others.back(), std::vector<UCHAR>(192 * 100, 1),
               BeginAndEndLoop, 0xFFFFFFFF);
    }
    std::atomic<bool> running{true};
    std::thread clock([&running] {
        while (running.load()) {
            HostKeAdvanceClockMs(5);
        }
    });
    int cancelled = 0;
    int returned = 0;
    for (int round = 0; round < Rounds && !HasFailure(); ++round) {
        EXPECT_EQ(Send(wire::Stop, wire::Out, stream), wire::NoError);
        DirectRequest request(driver, wire::Out, stream, 10 * 192, 1);
        ASSERT_EQ(request.Send(), STATUS_PENDING);
        std::thread resetter([this, &request, stream, round] {
            while (__atomic_load_n(&request.Irp()->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
                std::this_thread::yield();
            }
            for (int spin = 0; spin < round % 5; ++spin) {
                std::this_thread::yield();
            }
            EXPECT_EQ(Send(wire::Reset, wire::Out, stream), wire::NoError);
        });
        EXPECT_TRUE(IoCancelIrp(request.Irp()));
        resetter.join();
        const HOST_IO_TEST_IRP_RESULT result = request.Result();
        EXPECT_TRUE(result.Completed);
        EXPECT_EQ(result.Information, 0u);
        if (result.Status == STATUS_CANCELLED) {
            ++cancelled;
        } else {
            EXPECT_EQ(result.Status, STATUS_SUCCESS);
            ++returned;
        }
    }
    running = false;
    clock.join();
    RecordProperty("cancelled", cancelled);
    RecordProperty("returned", returned);
    EXPECT_EQ(Send(wire::Close, wire::Out, stream), wire::NoError);
    for (ULONG other : others) {
        EXPECT_EQ(Send(wire::Reset, wire::Out, other), wire::NoError);
        EXPECT_EQ(Send(wire::Close, wire::Out, other), wire::NoError);
    }
    EXPECT_EQ(Drain().size(), others.size());
}

// Clients die while the clock runs in another thread, mixing and recording
// into their streams: their cancel and exit routines contend with the ticks
// for the engine lock, and their buffers may be completed by a tick's drain.
// Every request completes cancelled with the bytes it moved, the process
// ends (at the latest once that drain is done) and nothing is left. Each
// stream holds one buffer longer than the clock may run in a round, so that
// no tick finishes a request before the process's end cancels it.
TEST_F(CrashTest, ClientsEndWhileTheClockRuns)
{
    constexpr int Rounds = 60;
    constexpr int StepsPerRound = 40;   // of 5 ms: two ticks
    StartClockOnce();
    const ULONG loadBlocks = HostExPoolLiveBlocks(PoolTag);
    std::atomic<bool> running{true};
    std::atomic<int> steps{0};
    std::thread clock([&running, &steps] {
        while (running.load()) {
            if (steps.load() > 0) {
                HostKeAdvanceClockMs(5);
                --steps;
            } else {
                std::this_thread::yield();
            }
        }
    });
    for (int round = 0; round < Rounds && !HasFailure(); ++round) {
        Buffers owned;
        const Client client = NewClient();
        for (USHORT direction : {wire::Out, wire::In, wire::Out, wire::In}) {
            const ULONG stream = Open(client, direction);
            if (direction == wire::In) {
                EXPECT_EQ(Op(client, wire::Start, wire::In, stream), wire::NoError);
            }
            Submit(owned, client, direction, stream, Level16(1000, 2));
        }
        steps = StepsPerRound;
        for (int spin = 0; spin < round % 11; ++spin) {
            std::this_thread::yield();
        }
        NTSTATUS status;
        while ((status = HostPsTerminateProcess(client.process)) == STATUS_PENDING) {
            HostKeWaitDpcIdle();
        }
        EXPECT_EQ(status, STATUS_SUCCESS);
        for (const auto& buffer : owned) {
            EXPECT_TRUE(HasOverlappedIoCompleted(&buffer->overlapped));
            EXPECT_EQ(StatusOf(*buffer), STATUS_CANCELLED);
            EXPECT_LT(BytesOf(*buffer), buffer->data.size());
            EXPECT_EQ(BytesOf(*buffer) % 2, 0u);
        }
    }
    running = false;
    clock.join();
    EXPECT_EQ(HostKeQueuedTimers(), 0u);
    EXPECT_EQ(HostExPoolLiveBlocks(PoolTag), loadBlocks);
}

}  // namespace
