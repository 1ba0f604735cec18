// The engine against the stand-in's DPC thread: a tick that races a clock
// stop or the conduit's destruction. (Requests from several threads against
// ticks: tests/stress/completion_order_test.cpp.)
#include "engine_fixture.h"

#include <atomic>
#include <thread>

namespace {

enum class Race {
    DpcQueued,    // the tick's DPC is still in the DPC queue
    DpcRunning,   // its routine has started and waits for the engine lock
};

// Brings the tick's DPC into the given state, then holds the engine lock as a
// request would, so the request can stop the clock under the DPC's feet.
// A queued DPC is kept queued behind a DPC of the test's own that waits
// until the race is released.
class RacingDpc {
public:
    RacingDpc(Conduit* conduit, Race race)
        : conduit_(conduit)
    {
        if (race == Race::DpcQueued) {
            KeInitializeDpc(&blocker_, &RacingDpc::Block, this);
            KeInsertQueueDpc(&blocker_, nullptr, nullptr);
        } else {
            irql_ = conduit_->EnterEngine();
        }
        clock_ = std::thread([] { HostKeAdvanceClockMs(100); });
        const ULONG queued = race == Race::DpcQueued ? 1 : 0;
        while (HostKeQueuedTimers() != 0 || HostKeQueuedDpcs() != queued) {
            std::this_thread::yield();
        }
        if (race == Race::DpcQueued) {
            irql_ = conduit_->EnterEngine();
        }
    }

    // Lets the DPC in and waits until the clock advance is over.
    void Release()
    {
        Unlock();
        Join();
    }

    void Unlock()
    {
        conduit_->LeaveEngine(irql_);
        released_.store(true);
    }

    void Join() { clock_.join(); }

private:
    static VOID NTAPI Block(PKDPC, PVOID context, PVOID, PVOID)
    {
        const RacingDpc* self = static_cast<const RacingDpc*>(context);
        while (!self->released_.load()) {
            std::this_thread::yield();
        }
    }

    Conduit* conduit_;
    KIRQL irql_ = PASSIVE_LEVEL;
    KDPC blocker_{};
    std::atomic<bool> released_{false};
    std::thread clock_;
};

const Race Races[] = {Race::DpcQueued, Race::DpcRunning};

TEST_F(EngineTest, TickRacingTheLastDetachNeitherTicksNorRearms)
{
    for (Race race : Races) {
        TestIrp::ResetLog();
        Stream* out = OpenOut();
        Add(out, "x", Level16(1000, 1));
        RacingDpc dpc(conduit, race);
        out->Reset();
        conduit->CloseStream(out);
        EXPECT_EQ(conduit->mixBuffer, nullptr);
        dpc.Release();
        std::erase(open, out);

        EXPECT_EQ(HostKeQueuedTimers(), 0u);
        EXPECT_EQ(TestIrp::Completions(), (std::vector<std::pair<std::string, ULONG>>{{"x", 0}}));
        EXPECT_EQ(HostKeAdvanceClockMs(1000), 0u);
    }
}

TEST_F(EngineTest, TickRacingAStopAndRestartLeavesOneTimer)
{
    for (Race race : Races) {
        Stream* out = OpenOut();
        RacingDpc dpc(conduit, race);
        out->endpoint->DetachStream(out);
        ASSERT_TRUE(out->endpoint->AttachStream(out));
        dpc.Release();

        EXPECT_EQ(HostKeQueuedTimers(), 1u);
        ClientBuffer& played = Add(out, "y", Level16(50, 1));
        EXPECT_EQ(HostKeAdvanceClockMs(1000), 10u);
        EXPECT_EQ(HostKeQueuedTimers(), 1u);
        EXPECT_TRUE(played.irp->Completed());
        Close(out);
    }
}

// The stream is never closed, as at an unload after a client went away.
TEST_F(EngineTest, TickRacingDestructionIsFlushed)
{
    for (Race race : Races) {
        Stream* out = OpenOut();
        Add(out, "x", Level16(1000, 1));
        RacingDpc dpc(conduit, race);
        dpc.Unlock();
        conduit->Destroy();
        dpc.Join();
        EXPECT_EQ(conduit->mixBuffer, nullptr);
        EXPECT_EQ(conduit->timer.dpc, nullptr);
        EXPECT_EQ(HostKeQueuedTimers(), 0u);
        EXPECT_EQ(HostKeQueuedDpcs(), 0u);

        // What the owner of the stream releases itself.
        Locked([&] { out->Reset(); });
        PoolFree(out);
        open.clear();
        conduit->Initialise();
    }
}

} // namespace
