#include <gtest/gtest.h>

#include <thread>

#include "spin_lock.h"

namespace {

TEST(SpinLockTest, AcquireRaisesToDispatchAndReleaseRestoresTheCallersLevel)
{
    SpinLock lock;
    lock.Initialise();
    for (KIRQL start : {KIRQL(PASSIVE_LEVEL), KIRQL(APC_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
        SCOPED_TRACE(int(start));
        KIRQL old = KfRaiseIrql(start);
        lock.Acquire();
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        lock.Release();
        EXPECT_EQ(KeGetCurrentIrql(), start);
        KfLowerIrql(old);
    }
}

// The counter is not atomic: only the lock keeps the increments whole.
TEST(SpinLockTest, ExcludesOtherThreads)
{
    SpinLock lock;
    lock.Initialise();
    unsigned long counter = 0;
    constexpr int kPerThread = 20000;
    auto work = [&] {
        for (int i = 0; i < kPerThread; ++i) {
            lock.Acquire();
            unsigned long seen = counter;
            counter = seen + 1;
            lock.Release();
        }
    };
    std::thread a(work), b(work), c(work);
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(counter, 3ul * kPerThread);
}

}  // namespace
