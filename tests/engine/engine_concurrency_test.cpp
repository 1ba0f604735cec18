// The engine against the stand-in's DPC thread: ticks run concurrently with
// requests, and a tick that races a clock stop or the conduit's destruction.
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

// Several request threads open, feed, pause, reset and close streams on both
// endpoints while the test thread drives the clock. Every request is
// completed exactly once with success, and nothing leaks.
TEST_F(EngineTest, RequestThreadsAgainstTicks)
{
    constexpr int Threads = 4;
    constexpr int Rounds = 30;
    std::atomic<ULONG> ticks{0};
    std::atomic<int> running{Threads};
    std::vector<std::deque<ClientBuffer>> perThread(Threads);

    auto request = [&](int id) {
        std::deque<ClientBuffer>& mine = perThread[id];
        for (int round = 0; round < Rounds; ++round) {
            const bool capture = (id + round) % 2 == 1;
            Endpoint* endpoint = capture ? &conduit->inEndpoint : &conduit->outEndpoint;
            Stream* stream = nullptr;
            Locked([&] { stream = conduit->OpenStream(*endpoint, Pcm(), nullptr); });
            ASSERT_NE(stream, nullptr);

            const ULONG queued = 1 + round % 3;
            for (ULONG b = 0; b < queued; ++b) {
                mine.push_back(ClientBuffer{"t", std::vector<UCHAR>(16 * (5 + 10 * b), 1),
                                            std::make_unique<TestIrp>("t")});
                QueuedBuffer* record = static_cast<QueuedBuffer*>(PoolAllocate(sizeof(QueuedBuffer)));
                ASSERT_NE(record, nullptr);
                *record = QueuedBuffer{};
                record->data = mine.back().bytes.data();
                record->length = static_cast<ULONG>(mine.back().bytes.size());
                record->headerFlags = b == 0 && round % 4 == 0 ? WHDR_BEGINLOOP | WHDR_ENDLOOP : 0;
                record->loops = 2;
                record->completionRequest = mine.back().irp->Irp();
                Locked([&] {
                    stream->AddBuffer(record);
                    if (capture) {
                        stream->Start();
                    }
                });
            }

            // Let a few ticks (or none) at the stream before it goes.
            const ULONG until = ticks.load() + round % 3;
            while (ticks.load() < until) {
                std::this_thread::yield();
            }
            Locked([&] {
                if (round % 5 == 1) {
                    stream->Pause();
                    stream->Start();
                }
                stream->BreakLoop();
                stream->Reset();
                conduit->CloseStream(stream);
            });
        }
    };

    std::vector<std::thread> threads;
    for (int id = 0; id < Threads; ++id) {
        threads.emplace_back([&, id] {
            request(id);
            running.fetch_sub(1);
        });
    }
    // Ends: each round of a request thread waits for at most two advances.
    while (running.load() != 0) {
        HostKeAdvanceClockMs(100);
        ticks.fetch_add(1);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }

    EXPECT_EQ(conduit->clockUsers, 0u);
    EXPECT_EQ(HostKeQueuedTimers(), 0u);
    size_t total = 0;
    for (const std::deque<ClientBuffer>& mine : perThread) {
        for (const ClientBuffer& buffer : mine) {
            EXPECT_EQ(buffer.irp->CompletionCount(), 1u);
            EXPECT_EQ(buffer.irp->Status(), STATUS_SUCCESS);
            EXPECT_LE(buffer.irp->Information(), buffer.bytes.size());
            ++total;
        }
    }
    EXPECT_EQ(TestIrp::Completions().size(), total);
}

} // namespace
