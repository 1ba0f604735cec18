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

}  // namespace
