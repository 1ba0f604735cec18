#include "nt_test_support.h"

namespace {

using namespace nt_test;

// Records every run of its DPC: the time, IRQL and thread it ran at.
struct Probe {
    KTIMER timer;
    KDPC dpc;
    int id = 0;
    std::vector<int>* order = nullptr;  // written on the DPC thread only
    std::vector<ULONGLONG> times;       // written on the DPC thread only
    LONGLONG rearmMs = 0;               // re-arm period, 0 for one-shot
    std::atomic<int> runs{0};
    bool wrongContext = false;

    static VOID NTAPI Routine(PKDPC dpc, PVOID context, PVOID, PVOID)
    {
        auto* self = static_cast<Probe*>(context);
        if (dpc != &self->dpc || KeGetCurrentIrql() != DISPATCH_LEVEL || !HostKeIsDpcThread()) {
            self->wrongContext = true;
        }
        self->times.push_back(KeQueryInterruptTime());
        if (self->order != nullptr) {
            self->order->push_back(self->id);
        }
        if (self->rearmMs != 0) {
            LARGE_INTEGER due;
            due.QuadPart = -self->rearmMs * 10000;
            KeSetTimer(&self->timer, due, &self->dpc);
        }
        self->runs.fetch_add(1, std::memory_order_release);
    }

    explicit Probe(int probeId = 0, std::vector<int>* runOrder = nullptr) : id(probeId), order(runOrder)
    {
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, Routine, this);
    }
};

// A DPC that holds the DPC thread until released, so tests can look at a
// queued DPC before it runs.
struct Gate {
    KDPC dpc;
    std::atomic<bool> entered{false};
    std::atomic<bool> open{false};

    static VOID NTAPI Routine(PKDPC, PVOID context, PVOID, PVOID)
    {
        auto* self = static_cast<Gate*>(context);
        self->entered.store(true, std::memory_order_release);
        SpinUntil([self] { return self->open.load(std::memory_order_acquire); });
    }

    Gate() { KeInitializeDpc(&dpc, Routine, this); }

    void Close()
    {
        ASSERT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
        SpinUntil([this] { return entered.load(std::memory_order_acquire); });
    }

    void Open() { open.store(true, std::memory_order_release); }
};

class TimerDpcTest : public NtTest {};

TEST_F(TimerDpcTest, TimersFireInDueOrderAtTheirDueTimesTiesInSetOrder)
{
    std::vector<int> order;
    Probe a(1, &order), b(2, &order), c(3, &order), d(4, &order);
    EXPECT_FALSE(KeSetTimer(&a.timer, RelativeMs(300), &a.dpc));
    EXPECT_FALSE(KeSetTimer(&b.timer, RelativeMs(100), &b.dpc));
    EXPECT_FALSE(KeSetTimer(&c.timer, RelativeMs(200), &c.dpc));
    EXPECT_FALSE(KeSetTimer(&d.timer, RelativeMs(200), &d.dpc));
    EXPECT_EQ(HostKeQueuedTimers(), 4u);

    EXPECT_EQ(HostKeAdvanceClockMs(99), 0u);
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(HostKeAdvanceClockMs(1000), 4u);
    EXPECT_EQ(order, (std::vector<int>{2, 3, 4, 1}));
    const ULONGLONG ms = HOST_KE_UNITS_PER_MS;
    EXPECT_EQ(b.times, std::vector<ULONGLONG>{kStartTime + 100 * ms});
    EXPECT_EQ(c.times, std::vector<ULONGLONG>{kStartTime + 200 * ms});
    EXPECT_EQ(d.times, std::vector<ULONGLONG>{kStartTime + 200 * ms});
    EXPECT_EQ(a.times, std::vector<ULONGLONG>{kStartTime + 300 * ms});
    EXPECT_FALSE(a.wrongContext || b.wrongContext || c.wrongContext || d.wrongContext);
    EXPECT_EQ(Now(), kStartTime + 1099 * ms);
    EXPECT_EQ(HostKeQueuedTimers(), 0u);
    EXPECT_TRUE(KeReadStateTimer(&a.timer));
}

TEST_F(TimerDpcTest, RearmEvery100MsFiresExactlyHundredTimesIn10Seconds)
{
    Probe p;
    p.rearmMs = 100;
    KeSetTimer(&p.timer, RelativeMs(100), &p.dpc);
    EXPECT_EQ(HostKeAdvanceClockMs(10000), 100u);
    ASSERT_EQ(p.times.size(), 100u);
    for (size_t i = 0; i < p.times.size(); ++i) {
        EXPECT_EQ(p.times[i], kStartTime + (i + 1) * 100 * HOST_KE_UNITS_PER_MS) << i;
    }
    // Armed for the next period, which has not come yet.
    ULONGLONG next = 0;
    ASSERT_TRUE(HostKeNextDueTime(&next));
    EXPECT_EQ(next, kStartTime + 10100 * HOST_KE_UNITS_PER_MS);
    EXPECT_TRUE(KeCancelTimer(&p.timer));
}

TEST_F(TimerDpcTest, CancelBeforeExpiryKeepsDpcFromRunning)
{
    Probe p;
    KeSetTimer(&p.timer, RelativeMs(100), &p.dpc);
    HostKeAdvanceClockMs(50);
    EXPECT_TRUE(KeCancelTimer(&p.timer));
    EXPECT_EQ(HostKeAdvanceClockMs(100), 0u);
    EXPECT_EQ(p.runs.load(), 0);
}

// Once the timer has expired its DPC is queued; cancelling the timer then
// reports FALSE and does not remove the DPC, KeRemoveQueueDpc does.
TEST_F(TimerDpcTest, CancelAfterExpiryLeavesQueuedDpcForRemoveQueueDpc)
{
    Gate gate;
    Probe p;
    KeSetTimer(&p.timer, RelativeMs(100), &p.dpc);
    gate.Close();
    std::atomic<ULONG> fired{99};
    std::thread advancer([&fired] { fired = HostKeAdvanceClockMs(100); });
    SpinUntil([] { return HostKeQueuedDpcs() == 1; });
    EXPECT_FALSE(KeCancelTimer(&p.timer));
    EXPECT_EQ(HostKeQueuedDpcs(), 1u);
    EXPECT_TRUE(KeRemoveQueueDpc(&p.dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&p.dpc));
    gate.Open();
    advancer.join();
    EXPECT_EQ(fired.load(), 1u);
    KeFlushQueuedDpcs();
    EXPECT_EQ(p.runs.load(), 0);
}

// The DPC thread is another processor: a caller's spin lock holds it off,
// a caller's raised IRQL does not.
TEST_F(TimerDpcTest, DpcRunsConcurrentlyWithCallers)
{
    struct Shared {
        KSPIN_LOCK lock;
        KDPC dpc;
        std::atomic<bool> started{false};
        std::atomic<bool> acquired{false};
        static VOID NTAPI Routine(PKDPC, PVOID context, PVOID, PVOID)
        {
            auto* self = static_cast<Shared*>(context);
            self->started.store(true, std::memory_order_release);
            KeAcquireSpinLockAtDpcLevel(&self->lock);
            self->acquired.store(true, std::memory_order_release);
            KeReleaseSpinLockFromDpcLevel(&self->lock);
        }
    } shared;
    KeInitializeSpinLock(&shared.lock);
    KeInitializeDpc(&shared.dpc, Shared::Routine, &shared);

    KIRQL old;
    KeAcquireSpinLock(&shared.lock, &old);
    ASSERT_TRUE(KeInsertQueueDpc(&shared.dpc, nullptr, nullptr));
    SpinUntil([&] { return shared.started.load(std::memory_order_acquire); });
    EXPECT_FALSE(shared.acquired.load(std::memory_order_acquire));
    KeReleaseSpinLock(&shared.lock, old);
    KeFlushQueuedDpcs();
    EXPECT_TRUE(shared.acquired.load());

    // At DISPATCH_LEVEL (and above) the caller still sees the DPC run.
    shared.started = false;
    shared.acquired = false;
    old = KfRaiseIrql(HIGH_LEVEL);
    ASSERT_TRUE(KeInsertQueueDpc(&shared.dpc, nullptr, nullptr));
    SpinUntil([&] { return shared.acquired.load(std::memory_order_acquire); });
    KfLowerIrql(old);
    KeFlushQueuedDpcs();
}

// Real mode fires timers from the stand-in's own timer thread; the test
// waits for the effect without looking at the wall clock.
TEST_F(TimerDpcTest, RealModeFiresTimersWithoutAdvancing)
{
    HostKeReset(HostKeClockReal, kStartTime);
    EXPECT_EQ(HostKeGetClockMode(), HostKeClockReal);
    Probe p;
    LARGE_INTEGER due;
    due.QuadPart = static_cast<LONGLONG>(kStartTime);  // already due
    KeSetTimer(&p.timer, due, &p.dpc);
    SpinUntil([&p] { return p.runs.load(std::memory_order_acquire) == 1; });
    KeFlushQueuedDpcs();
    EXPECT_FALSE(p.wrongContext);
    ASSERT_EQ(p.times.size(), 1u);
    EXPECT_GE(p.times[0], kStartTime);
    EXPECT_GE(Now(), p.times[0]);
    // Virtual-time controls do nothing in real mode.
    EXPECT_EQ(HostKeAdvanceClockMs(1000), 0u);
}

}  // namespace
