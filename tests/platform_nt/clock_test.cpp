#include "nt_test_support.h"

namespace {

using namespace nt_test;

class ClockTest : public NtTest {};

// Reads the tick count as NT readers do, with atomic loads so that the race
// with the writer is a defined one.
ULONGLONG ReadTicks()
{
    for (;;) {
        const LONG high1 = __atomic_load_n(&KeTickCount.High1Time, __ATOMIC_ACQUIRE);
        const ULONG low = __atomic_load_n(&KeTickCount.LowPart, __ATOMIC_ACQUIRE);
        const LONG high2 = __atomic_load_n(&KeTickCount.High2Time, __ATOMIC_ACQUIRE);
        if (high1 == high2) {
            return (static_cast<ULONGLONG>(static_cast<ULONG>(high1)) << 32) | low;
        }
    }
}

TEST_F(ClockTest, TickCountFollowsVirtualTime)
{
    EXPECT_EQ(KeQueryTimeIncrement(), 156250u);
    EXPECT_EQ(Now(), kStartTime);
    EXPECT_EQ(ReadTicks(), kStartTime / 156250);

    // 15 ms is less than one tick; 16 ms crosses exactly one boundary from
    // a tick-aligned start.
    HostKeSetTickCount(1000);
    EXPECT_EQ(Now(), 1000ull * 156250);
    HostKeAdvanceClockMs(15);
    EXPECT_EQ(ReadTicks(), 1000u);
    HostKeAdvanceClockMs(1);
    EXPECT_EQ(ReadTicks(), 1001u);
    HostKeAdvanceClockMs(1000);
    EXPECT_EQ(ReadTicks(), (1000ull * 156250 + 1016 * 10000) / 156250);
    EXPECT_EQ(KeQueryInterruptTime(), 1000ull * 156250 + 1016 * 10000);

    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    EXPECT_EQ(static_cast<ULONGLONG>(ticks.QuadPart), ReadTicks());
    EXPECT_EQ(HostKeQueryTickCount(), ReadTicks());
}

TEST_F(ClockTest, TickCountCarriesIntoHighWordAtWrap)
{
    HostKeSetTickCount(0xFFFFFFFFull);
    EXPECT_EQ(KeTickCount.LowPart, 0xFFFFFFFFu);
    EXPECT_EQ(KeTickCount.High1Time, 0);
    HostKeAdvanceClock(156250);
    EXPECT_EQ(KeTickCount.LowPart, 0u);
    EXPECT_EQ(KeTickCount.High1Time, 1);
    EXPECT_EQ(KeTickCount.High2Time, 1);
    EXPECT_EQ(ReadTicks(), 0x100000000ull);
}

// A reader racing the writer across low-word wraps never sees the count go
// backwards or jump past what was written. The reader is the DDK's own
// (plain volatile loads), as product code reads the count.
TEST_F(ClockTest, ConcurrentReaderNeverSeesTornValue)
{
    constexpr ULONGLONG kSteps = 60000;
    // Cross two low-word boundaries.
    const ULONGLONG first = 0x1FFFFFFFFull - kSteps / 2;
    const ULONGLONG last = first + kSteps;
    HostKeSetTickCount(first);
    std::atomic<bool> done{false};
    std::atomic<ULONGLONG> bad{0};
    std::atomic<ULONGLONG> reads{0};
    std::thread reader([&] {
        LARGE_INTEGER ticks;
        KeQueryTickCount(&ticks);
        ULONGLONG previous = static_cast<ULONGLONG>(ticks.QuadPart);
        while (!done.load(std::memory_order_acquire)) {
            KeQueryTickCount(&ticks);
            const ULONGLONG value = static_cast<ULONGLONG>(ticks.QuadPart);
            if (value < previous || value > last) {
                bad.store(value);
            }
            previous = value;
            reads.fetch_add(1, std::memory_order_release);
        }
    });
    ULONGLONG seen = 0;
    for (ULONGLONG tick = first + 1; tick <= last; ++tick) {
        // Keep the reader busy throughout: every 256 writes wait for it to
        // have read again.
        if (tick % 256 == 0) {
            SpinUntil([&] { return reads.load(std::memory_order_acquire) > seen; });
            seen = reads.load(std::memory_order_acquire);
        }
        if (tick % 2 == 0) {
            HostKeSetTickCount(tick);
        } else {
            HostKeAdvanceClock(156250);
        }
    }
    done.store(true, std::memory_order_release);
    reader.join();
    EXPECT_EQ(bad.load(), 0u);
    EXPECT_GE(reads.load(), kSteps / 256);
    EXPECT_EQ(ReadTicks(), last);
}

// The count jumps across a high-word boundary at every other write (the
// count only grows, which the publication order relies on). A reader must
// see only values that were written, never the new high word with an old
// low word or the reverse. Low words differ from boundary to boundary so a
// mixed value cannot pass for a written one.
ULONGLONG BeforeBoundary(ULONGLONG k)
{
    return (k << 32) - 1 - (k % 7);
}

ULONGLONG AfterBoundary(ULONGLONG k)
{
    return (k << 32) + 5;
}

bool WrittenValue(ULONGLONG value)
{
    const ULONGLONG high = value >> 32;
    return (high >= 1 && value == AfterBoundary(high)) || value == BeforeBoundary(high + 1);
}

TEST_F(ClockTest, ReaderSeesOnlyWrittenValuesAcrossHighWordBoundaries)
{
    constexpr ULONGLONG kBoundaries = 10000;
    HostKeSetTickCount(BeforeBoundary(1));
    std::atomic<ULONGLONG> latest{BeforeBoundary(1)};
    std::atomic<bool> done{false};
    std::atomic<ULONGLONG> bad{0};
    std::atomic<ULONGLONG> reads{0};
    std::thread reader([&] {
        ULONGLONG previous = 0;
        while (!done.load(std::memory_order_acquire)) {
            const ULONGLONG value = ReadTicks();
            const ULONGLONG written = latest.load(std::memory_order_acquire);
            if (!WrittenValue(value) || value > written || value < previous) {
                bad.store(value);
            }
            previous = value;
            reads.fetch_add(1, std::memory_order_release);
        }
    });
    ULONGLONG seen = 0;
    for (ULONGLONG k = 1; k <= kBoundaries; ++k) {
        if (k % 64 == 0) {
            SpinUntil([&] { return reads.load(std::memory_order_acquire) > seen; });
            seen = reads.load(std::memory_order_acquire);
        }
        // The bound goes up before the value, so a reader never sees a value
        // above the bound it reads next.
        latest.store(AfterBoundary(k), std::memory_order_release);
        HostKeSetTickCount(AfterBoundary(k));
        latest.store(BeforeBoundary(k + 1), std::memory_order_release);
        HostKeSetTickCount(BeforeBoundary(k + 1));
    }
    done.store(true, std::memory_order_release);
    reader.join();
    EXPECT_EQ(bad.load(), 0u) << std::hex << bad.load();
}

TEST_F(ClockTest, AdvanceRefusedOutsidePassiveLevel)
{
    BugCheckRecorder recorder;
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    EXPECT_EQ(HostKeAdvanceClockMs(10), 0u);
    KfLowerIrql(old);
    EXPECT_EQ(recorder.TakeOne(), static_cast<ULONG>(IRQL_NOT_LESS_OR_EQUAL));
    EXPECT_EQ(Now(), kStartTime);
}

}  // namespace
