// Failure injection sweeps over the loaded tonkern. For each path (load,
// opens that do and do not start the clock, add-buffer by read and write)
// a run without injection counts the pool allocations the path makes; then
// each of them fails in turn on a freshly loaded driver. Every failure must
// give the path's refusal (result 7 in the record, or a failed load), leave
// no pool block beyond what the path keeps anyway, leave the clock as it
// was, and leave the driver working: the same path then succeeds, and the
// unload leaves nothing. Device and link creation at load fail in turn too.
#include "driver_fixture.h"

#include <functional>
#include <string>

namespace {

// What one run of a path gave.
struct Outcome {
    BOOL ok = FALSE;            // the I/O call succeeded
    DWORD error = 0;            // its error when it did not
    ULONG result = 0;           // the record's result
    ULONG stream = 0;           // an open's stream handle
};

class FailureSweep;

struct Path {
    const char* name;
    // Brings a freshly loaded driver to the state the path starts from.
    std::function<void(FailureSweep&)> prepare;
    std::function<Outcome(FailureSweep&)> run;
    // Undoes a successful run (closes the stream, returns the buffer).
    std::function<void(FailureSweep&, const Outcome&)> undo;
    // How the path refuses for lack of memory: an open answers 7 on a
    // successful control request; an add-buffer fails its read or write
    // request with 7 in the record.
    bool refusedCallFails;
};

class FailureSweep : public DriverFixture {
public:
    using DriverFixture::Drain;
    using DriverFixture::OpenStream;
    using DriverFixture::Send;

    // Drops the loaded driver (checking that nothing of it is left) and
    // loads a fresh one with new handles.
    void Reload()
    {
        HostExPoolFailReset();
        HostIoFailReset();
        ASSERT_TRUE(CloseHandle(in));
        ASSERT_TRUE(CloseHandle(out));
        in = out = INVALID_HANDLE_VALUE;
        Unload();
        Drain();
        ASSERT_TRUE(CloseHandle(port));
        port = nullptr;
        buffers.clear();
        streams.clear();
        HostKeReset(HostKeClockVirtual, StartTime);
        LoadAndOpen();
    }

    Outcome Open(USHORT direction)
    {
        Outcome outcome;
        outcome.stream = OpenStream(direction, 8000, 16, 1, &outcome.result);
        outcome.ok = TRUE;
        return outcome;
    }

    Outcome AddBuffer(USHORT direction)
    {
        buffers.push_back(std::make_unique<ClientBuffer>());
        ClientBuffer& buffer = *buffers.back();
        buffer.data = Level16(100, 1000);
        Outcome outcome;
        outcome.ok = Queue(direction, streams.at(direction == wire::In ? 1 : 0), buffer,
                           &outcome.error, &outcome.result);
        return outcome;
    }

    // Streams made by prepare: [0] Out, [1] In (0 when not made).
    std::vector<ULONG> streams;
};

void OpenBoth(FailureSweep& sweep)
{
    sweep.streams = {sweep.OpenStream(wire::Out), sweep.OpenStream(wire::In)};
}

void CloseOpened(FailureSweep& sweep, const Outcome& outcome, USHORT direction)
{
    EXPECT_EQ(sweep.Send(wire::Close, direction, outcome.stream), wire::NoError);
}

void ReturnBuffer(FailureSweep& sweep, USHORT direction)
{
    const ULONG stream = sweep.streams.at(direction == wire::In ? 1 : 0);
    EXPECT_EQ(sweep.Send(wire::Reset, direction, stream), wire::NoError);
    EXPECT_EQ(sweep.Drain().size(), 1u);
}

const Path paths[] = {
    {"FirstOpenOut", [](FailureSweep&) {},
     [](FailureSweep& s) { return s.Open(wire::Out); },
     [](FailureSweep& s, const Outcome& o) { CloseOpened(s, o, wire::Out); }, false},
    {"FirstOpenIn", [](FailureSweep&) {},
     [](FailureSweep& s) { return s.Open(wire::In); },
     [](FailureSweep& s, const Outcome& o) { CloseOpened(s, o, wire::In); }, false},
    {"OpenWhileTheClockRuns", [](FailureSweep& s) { s.streams = {s.OpenStream(wire::Out), 0}; },
     [](FailureSweep& s) { return s.Open(wire::In); },
     [](FailureSweep& s, const Outcome& o) { CloseOpened(s, o, wire::In); }, false},
    {"OpenRestartingTheClock",
     [](FailureSweep& s) { EXPECT_EQ(s.Send(wire::Close, wire::Out, s.OpenStream(wire::Out)), 0u); },
     [](FailureSweep& s) { return s.Open(wire::Out); },
     [](FailureSweep& s, const Outcome& o) { CloseOpened(s, o, wire::Out); }, false},
    {"AddBufferByWrite", OpenBoth,
     [](FailureSweep& s) { return s.AddBuffer(wire::Out); },
     [](FailureSweep& s, const Outcome&) { ReturnBuffer(s, wire::Out); }, true},
    {"AddBufferByRead", OpenBoth,
     [](FailureSweep& s) { return s.AddBuffer(wire::In); },
     [](FailureSweep& s, const Outcome&) { ReturnBuffer(s, wire::In); }, true},
};

class PoolFailureSweep : public FailureSweep, public ::testing::WithParamInterface<Path> {};

TEST_P(PoolFailureSweep, EachAllocationFailsInTurn)
{
    const Path& path = GetParam();

    // The reference run: how many allocations the path makes, and how many
    // blocks stay once it is undone (objects the driver keeps for reuse
    // until unload).
    path.prepare(*this);
    const ULONG before = HostExPoolLiveBlocks(PoolTag);
    const ULONGLONG allocations = HostExPoolTotalAllocations();
    const Outcome reference = path.run(*this);
    const ULONGLONG count = HostExPoolTotalAllocations() - allocations;
    ASSERT_EQ(reference.result, wire::NoError);
    path.undo(*this, reference);
    const ULONG lasting = HostExPoolLiveBlocks(PoolTag) - before;
    ASSERT_GE(count, 1u) << "the path allocates nothing: the sweep would test nothing";
    RecordProperty("allocations", std::to_string(count));
    RecordProperty("lasting", std::to_string(lasting));

    for (ULONG nth = 1; nth <= count; ++nth) {
        SCOPED_TRACE("allocation " + std::to_string(nth) + " of " + std::to_string(count));
        Reload();
        path.prepare(*this);
        const ULONG blocks = HostExPoolLiveBlocks(PoolTag);
        const ULONG timers = HostKeQueuedTimers();
        const ULONG requests = HostIoOutstandingRequestCount();
        ASSERT_EQ(blocks, before);

        HostExPoolFailNth(nth, PoolTag);
        const Outcome failed = path.run(*this);
        EXPECT_EQ(HostExPoolInjectedFailures(), 1u);
        HostExPoolFailReset();

        EXPECT_EQ(failed.result, wire::NoMem);
        if (path.refusedCallFails) {
            // Refused at once: no pending request, no completion packet.
            EXPECT_FALSE(failed.ok);
            EXPECT_EQ(failed.error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
            EXPECT_EQ(HostIoOutstandingRequestCount(), requests);
            EXPECT_TRUE(Drain().empty());
        } else {
            EXPECT_TRUE(failed.ok);
            EXPECT_EQ(failed.stream, 0u);
        }
        EXPECT_LE(HostExPoolLiveBlocks(PoolTag), blocks + lasting);
        // A clock that was not running is not left running, and one that
        // was keeps running.
        EXPECT_EQ(HostKeQueuedTimers(), timers);

        // The driver still works: the same path succeeds and its undo
        // brings the pool where the reference run left it.
        const Outcome retried = path.run(*this);
        EXPECT_EQ(retried.result, wire::NoError);
        if (retried.result == wire::NoError) {
            path.undo(*this, retried);
        }
        EXPECT_EQ(HostExPoolLiveBlocks(PoolTag), before + lasting);
        HostKeAdvanceClockMs(250);
        EXPECT_TRUE(Drain().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, PoolFailureSweep, ::testing::ValuesIn(paths),
                         [](const ::testing::TestParamInfo<Path>& info) {
                             return std::string(info.param.name);
                         });

// ---- Load ---------------------------------------------------------------

class LoadFailureSweep : public FailureSweep {
protected:
    // Closes the fixture's handles and unloads its driver.
    void UnloadFixtureDriver()
    {
        ASSERT_TRUE(CloseHandle(in));
        ASSERT_TRUE(CloseHandle(out));
        in = out = INVALID_HANDLE_VALUE;
        Unload();
    }

    // A load that must fail with the injected status, passed on as it is,
    // and leave nothing: no device, link or block.
    void ExpectFailedLoad(NTSTATUS injected = STATUS_INSUFFICIENT_RESOURCES)
    {
        PDRIVER_OBJECT failed = reinterpret_cast<PDRIVER_OBJECT>(1);
        EXPECT_EQ(HostIoLoadDriverA(Image, Registry, &failed), injected);
        EXPECT_EQ(failed, nullptr);
        HostExPoolFailReset();
        HostIoFailReset();
        EXPECT_EQ(HostIoDeviceCount(nullptr), 0u);
        EXPECT_EQ(HostIoSymbolicLinkCount(), 0u);
        EXPECT_FALSE(HostIoObjectExistsA("\\Device\\Tonvane1In"));
        EXPECT_FALSE(HostIoObjectExistsA("\\Device\\Tonvane1Out"));
        EXPECT_EQ(HostExPoolReportLeaks(PoolTag), 0u);
        EXPECT_EQ(HostKeQueuedTimers(), 0u);
    }

    // Loads again (as the fixture's driver), checks that it serves, and
    // unloads it.
    void ExpectLoadWorks()
    {
        ASSERT_EQ(HostIoLoadDriverA(Image, Registry, &driver), STATUS_SUCCESS);
        in = OpenPath(u"\\\\.\\Tonvane1In");
        out = OpenPath(u"\\\\.\\Tonvane1Out");
        Record handshake(wire::Handshake);
        EXPECT_TRUE(Control(in, handshake, wire::HandshakeSize));
        EXPECT_EQ(handshake.Result(), wire::NoError);
        UnloadFixtureDriver();
    }
};

TEST_F(LoadFailureSweep, EachPoolAllocationOfTheLoadFailsInTurn)
{
    UnloadFixtureDriver();
    const ULONGLONG allocations = HostExPoolTotalAllocations();
    ASSERT_EQ(HostIoLoadDriverA(Image, Registry, &driver), STATUS_SUCCESS);
    const ULONGLONG count = HostExPoolTotalAllocations() - allocations;
    Unload();
    ASSERT_GE(count, 1u);
    RecordProperty("allocations", std::to_string(count));
    for (ULONG nth = 1; nth <= count; ++nth) {
        SCOPED_TRACE("allocation " + std::to_string(nth) + " of " + std::to_string(count));
        HostExPoolFailNth(nth, PoolTag);
        ExpectFailedLoad();
        ExpectLoadWorks();
    }
    // The fixture's teardown finds a loaded driver again.
    ASSERT_EQ(HostIoLoadDriverA(Image, Registry, &driver), STATUS_SUCCESS);
}

TEST_F(LoadFailureSweep, EachDeviceAndLinkCreationFailsInTurn)
{
    // As many as a good load makes.
    const ULONG devices = HostIoDeviceCount(driver);
    const ULONG links = HostIoSymbolicLinkCount();
    ASSERT_GE(devices, 1u);
    ASSERT_GE(links, 1u);
    RecordProperty("devices", std::to_string(devices));
    RecordProperty("links", std::to_string(links));
    UnloadFixtureDriver();
    struct Point {
        HOST_IO_FAILURE_POINT point;
        ULONG calls;
    };
    for (const Point& point : {Point{HostIoFailCreateDevice, devices},
                               Point{HostIoFailCreateSymbolicLink, links}}) {
        for (ULONG nth = 1; nth <= point.calls; ++nth) {
            SCOPED_TRACE((point.point == HostIoFailCreateDevice ? "device " : "link ")
                         + std::to_string(nth));
            // Odd ones as a name collision: the status must come back as is.
            const NTSTATUS injected =
                nth % 2 != 0 ? STATUS_OBJECT_NAME_COLLISION : STATUS_INSUFFICIENT_RESOURCES;
            HostIoFailNth(point.point, nth, injected);
            ExpectFailedLoad(injected);
            ExpectLoadWorks();
        }
    }
    ASSERT_EQ(HostIoLoadDriverA(Image, Registry, &driver), STATUS_SUCCESS);
}

}  // namespace
