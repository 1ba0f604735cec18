#include <cstring>

#include "nt_test_support.h"

namespace {

using namespace nt_test;

class PoolTest : public NtTest {};

TEST_F(PoolTest, AccountsLiveBlocksAndBytesPerTag)
{
    const ULONG blocksBefore = HostExPoolLiveBlocks(HOST_EX_ANY_TAG);
    const SIZE_T bytesBefore = HostExPoolLiveBytes(HOST_EX_ANY_TAG);
    PVOID a = ExAllocatePoolWithTag(NonPagedPool, 100, kTestTag);
    PVOID b = ExAllocatePoolWithTag(NonPagedPool, 28, kTestTag);
    PVOID c = ExAllocatePoolWithTag(NonPagedPool, 7, kOtherTag);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(HostExPoolLiveBlocks(kTestTag), 2u);
    EXPECT_EQ(HostExPoolLiveBytes(kTestTag), 128u);
    EXPECT_EQ(HostExPoolLiveBlocks(kOtherTag), 1u);
    EXPECT_EQ(HostExPoolLiveBytes(kOtherTag), 7u);
    EXPECT_EQ(HostExPoolLiveBlocks(HOST_EX_ANY_TAG), blocksBefore + 3);
    EXPECT_EQ(HostExPoolLiveBytes(HOST_EX_ANY_TAG), bytesBefore + 135);
    EXPECT_EQ(HostExPoolLiveSince(snapshot_, HOST_EX_ANY_TAG), 3u);

    ExFreePool(a);
    ExFreePoolWithTag(c, kOtherTag);
    EXPECT_EQ(HostExPoolLiveBlocks(kTestTag), 1u);
    EXPECT_EQ(HostExPoolLiveBytes(kTestTag), 28u);
    EXPECT_EQ(HostExPoolLiveBlocks(kOtherTag), 0u);
    EXPECT_EQ(HostExPoolLiveSince(snapshot_, HOST_EX_ANY_TAG), 1u);
    ExFreePool(b);
    EXPECT_EQ(HostExPoolLiveSince(snapshot_, HOST_EX_ANY_TAG), 0u);
    EXPECT_EQ(HostExPoolLiveBlocks(HOST_EX_ANY_TAG), blocksBefore);
}

TEST_F(PoolTest, BlocksLieBelow4GiBAreDistinctAndNotZeroed)
{
    // Small classes, a class boundary and a block with its own mapping.
    const SIZE_T sizes[] = {0, 1, 48, 64, 4096, 70000, 1u << 20, 3u << 20};
    std::vector<PVOID> blocks;
    for (SIZE_T size : sizes) {
        PVOID p = ExAllocatePoolWithTag(NonPagedPool, size, kTestTag);
        ASSERT_NE(p, nullptr) << size;
        EXPECT_LT(reinterpret_cast<ULONG_PTR>(p) + size, 0x100000000ull) << size;
        // x86 NT's alignment: 8 bytes below a page (never 16 here), a page
        // from a page on.
        EXPECT_EQ(reinterpret_cast<ULONG_PTR>(p) % (size < 4096 ? 16 : 4096), size < 4096 ? 8u : 0u)
            << size;
        EXPECT_EQ(UlongToPtr(PtrToUlong(p)), p);
        const auto* bytes = static_cast<const UCHAR*>(p);
        for (SIZE_T i = 0; i < size; i += 61) {
            ASSERT_EQ(bytes[i], HOST_EX_POOL_FRESH_FILL) << size << " at " << i;
        }
        // The whole block is writable.
        std::memset(p, 0x5A, size);
        EXPECT_TRUE(size == 0 || HostExPoolIsPoolAddress(static_cast<UCHAR*>(p) + size - 1));
        blocks.push_back(p);
    }
    for (size_t i = 0; i < blocks.size(); ++i) {
        for (size_t j = i + 1; j < blocks.size(); ++j) {
            const auto a = reinterpret_cast<ULONG_PTR>(blocks[i]);
            const auto b = reinterpret_cast<ULONG_PTR>(blocks[j]);
            EXPECT_TRUE(a + sizes[i] <= b || b + sizes[j] <= a) << i << " overlaps " << j;
        }
    }
    for (PVOID p : blocks) {
        ExFreePool(p);
    }
    EXPECT_FALSE(HostExPoolIsPoolAddress(blocks[2]));
}

TEST_F(PoolTest, FailNthCountsOnlyMatchingTagAndFailsOnce)
{
    HostExPoolFailNth(3, kTestTag);
    std::vector<PVOID> blocks;
    bool other = true;
    std::vector<bool> results;
    for (int i = 0; i < 5; ++i) {
        // Interleaved allocations of another tag do not count.
        PVOID o = ExAllocatePoolWithTag(NonPagedPool, 8, kOtherTag);
        other = other && o != nullptr;
        blocks.push_back(o);
        PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, kTestTag);
        results.push_back(p != nullptr);
        blocks.push_back(p);
    }
    EXPECT_TRUE(other);
    EXPECT_EQ(results, (std::vector<bool>{true, true, false, true, true}));
    EXPECT_EQ(HostExPoolInjectedFailures(), 1u);
    for (PVOID p : blocks) {
        if (p != nullptr) {
            ExFreePool(p);
        }
    }
}

TEST_F(PoolTest, MisuseBugChecks)
{
    BugCheckRecorder recorder;
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, 32, kTestTag);
    ASSERT_NE(p, nullptr);

    ExFreePoolWithTag(p, kOtherTag);
    auto checks = recorder.Take();
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_EQ(checks[0].code, static_cast<ULONG>(BAD_POOL_CALLER));
    EXPECT_EQ(checks[0].p1, 0x0Au);
    EXPECT_EQ(HostExPoolLiveBlocks(kTestTag), 1u);  // refused, still live

    ExFreePool(p);
    EXPECT_EQ(recorder.TakeOne(), 0u);
    ExFreePool(p);
    checks = recorder.Take();
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_EQ(checks[0].code, static_cast<ULONG>(BAD_POOL_CALLER));
    EXPECT_EQ(checks[0].p1, 0x07u);  // double free

    int onStack = 0;
    ExFreePool(&onStack);
    checks = recorder.Take();
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_EQ(checks[0].p1, 0x42u);

    // Non-paged pool above DISPATCH_LEVEL, paged pool at DISPATCH_LEVEL.
    KIRQL old = KfRaiseIrql(HIGH_LEVEL);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTestTag), nullptr);
    KfLowerIrql(DISPATCH_LEVEL);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, kTestTag), nullptr);
    PVOID atDispatch = ExAllocatePoolWithTag(NonPagedPool, 8, kTestTag);
    EXPECT_NE(atDispatch, nullptr);
    ExFreePool(atDispatch);
    KfLowerIrql(old);
    checks = recorder.Take();
    ASSERT_EQ(checks.size(), 2u);
    EXPECT_EQ(checks[0].p1, 0x08u);
    EXPECT_EQ(checks[1].p1, 0x08u);
}

VOID NTAPI NothingDpc(PKDPC, PVOID, PVOID, PVOID) {}

TEST_F(PoolTest, FreeingQueuedTimerOrDpcBugChecks)
{
    BugCheckRecorder recorder;
    auto* timer = static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), kTestTag));
    auto* dpc = static_cast<PKDPC>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KDPC), kTestTag));
    ASSERT_NE(timer, nullptr);
    ASSERT_NE(dpc, nullptr);
    KeInitializeTimer(timer);
    KeInitializeDpc(dpc, NothingDpc, nullptr);
    KeSetTimer(timer, RelativeMs(100), dpc);

    ExFreePool(timer);
    auto checks = recorder.Take();
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_EQ(checks[0].code, static_cast<ULONG>(TIMER_OR_DPC_INVALID));
    EXPECT_EQ(checks[0].p1, 0u);
    EXPECT_EQ(checks[0].p2, reinterpret_cast<ULONG_PTR>(timer));

    // Cancel, then free: the right teardown order.
    EXPECT_TRUE(KeCancelTimer(timer));
    ExFreePool(timer);
    EXPECT_EQ(recorder.TakeOne(), 0u);
    ExFreePool(dpc);
    EXPECT_EQ(recorder.TakeOne(), 0u);
}

}  // namespace
