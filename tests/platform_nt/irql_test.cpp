#include "nt_test_support.h"

namespace {

using namespace nt_test;

class IrqlTest : public NtTest {
protected:
    void TearDown() override
    {
        HostKeSetCurrentIrql(PASSIVE_LEVEL);
        NtTest::TearDown();
    }
};

// Each misuse is refused with the bug check NT raises, and leaves the IRQL
// where it was.
TEST_F(IrqlTest, MisuseBugChecks)
{
    struct Case {
        const char* name;
        KIRQL start;
        void (*misuse)();
        ULONG code;
    };
    static KSPIN_LOCK lock;
    const Case cases[] = {
        {"raise to a lower level", DISPATCH_LEVEL, [] { KfRaiseIrql(APC_LEVEL); },
         IRQL_NOT_GREATER_OR_EQUAL},
        {"lower to a higher level", APC_LEVEL, [] { KfLowerIrql(DISPATCH_LEVEL); },
         IRQL_NOT_LESS_OR_EQUAL},
        {"spin lock above dispatch", HIGH_LEVEL,
         [] { KeInitializeSpinLock(&lock); KfAcquireSpinLock(&lock); }, IRQL_NOT_GREATER_OR_EQUAL},
        {"at-DPC-level acquire at passive", PASSIVE_LEVEL,
         [] { KeInitializeSpinLock(&lock); KeAcquireSpinLockAtDpcLevel(&lock); },
         IRQL_NOT_GREATER_OR_EQUAL},
        {"at-DPC-level acquire above dispatch", HIGH_LEVEL,
         [] { KeInitializeSpinLock(&lock); KeAcquireSpinLockAtDpcLevel(&lock); },
         IRQL_NOT_LESS_OR_EQUAL},
        {"release of a free lock", DISPATCH_LEVEL,
         [] { KeInitializeSpinLock(&lock); KfReleaseSpinLock(&lock, PASSIVE_LEVEL); },
         SPIN_LOCK_NOT_OWNED},
        {"release of a free lock at DPC level", DISPATCH_LEVEL,
         [] { KeInitializeSpinLock(&lock); KeReleaseSpinLockFromDpcLevel(&lock); },
         SPIN_LOCK_NOT_OWNED},
        {"flush DPCs above passive", DISPATCH_LEVEL, [] { KeFlushQueuedDpcs(); },
         IRQL_NOT_LESS_OR_EQUAL},
        {"set a timer above dispatch", HIGH_LEVEL,
         [] {
             static KTIMER timer;
             KeInitializeTimer(&timer);
             LARGE_INTEGER due;
             due.QuadPart = -1;
             KeSetTimer(&timer, due, nullptr);
         },
         IRQL_NOT_LESS_OR_EQUAL},
    };
    for (const Case& c : cases) {
        BugCheckRecorder recorder;
        HostKeSetCurrentIrql(c.start);
        c.misuse();
        const KIRQL after = KeGetCurrentIrql();
        HostKeSetCurrentIrql(PASSIVE_LEVEL);
        EXPECT_EQ(recorder.TakeOne(), c.code) << c.name;
        EXPECT_EQ(after, c.start) << c.name;
    }
    EXPECT_EQ(HostKeQueuedTimers(), 0u);
}

TEST_F(IrqlTest, SpinLockMisuseBugChecks)
{
    BugCheckRecorder recorder;
    KSPIN_LOCK a;
    KSPIN_LOCK b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);

    // Recursive acquisition would deadlock on NT.
    KIRQL old = KfAcquireSpinLock(&a);
    EXPECT_EQ(KfAcquireSpinLock(&a), DISPATCH_LEVEL);
    EXPECT_EQ(recorder.TakeOne(), static_cast<ULONG>(SPIN_LOCK_ALREADY_OWNED));
    KeAcquireSpinLockAtDpcLevel(&a);
    EXPECT_EQ(recorder.TakeOne(), static_cast<ULONG>(SPIN_LOCK_ALREADY_OWNED));

    // Releasing the outer lock to PASSIVE_LEVEL while an inner one is held.
    KIRQL inner = KfAcquireSpinLock(&b);
    EXPECT_EQ(inner, DISPATCH_LEVEL);
    KfReleaseSpinLock(&a, old);
    EXPECT_EQ(recorder.TakeOne(), static_cast<ULONG>(IRQL_NOT_GREATER_OR_EQUAL));
    // Lowering below DISPATCH_LEVEL with locks held.
    KfLowerIrql(PASSIVE_LEVEL);
    EXPECT_EQ(recorder.TakeOne(), static_cast<ULONG>(IRQL_NOT_GREATER_OR_EQUAL));
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KfReleaseSpinLock(&b, inner);
    KfReleaseSpinLock(&a, old);
    EXPECT_EQ(recorder.TakeOne(), 0u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    // Another thread may not release a lock it does not hold.
    old = KfAcquireSpinLock(&a);
    std::thread other([&a] { KfReleaseSpinLock(&a, PASSIVE_LEVEL); });
    other.join();
    EXPECT_EQ(recorder.TakeOne(), static_cast<ULONG>(SPIN_LOCK_NOT_OWNED));
    KfReleaseSpinLock(&a, old);

    // A lock word full of pool junk was never initialised.
    auto* junk = static_cast<PKSPIN_LOCK>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KSPIN_LOCK), kTestTag));
    ASSERT_NE(junk, nullptr);
    old = KfAcquireSpinLock(junk);
    EXPECT_EQ(recorder.TakeOne(), 0x81u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    ExFreePool(junk);
}

}  // namespace
