// kernel32 beyond files: completion ports, threads, critical sections, the
// last error and the global heap.
#include "io_fixture.h"

namespace {

class Win32 : public ::testing::Test {
protected:
    void SetUp() override
    {
        HostHeapFailReset();
        blocks = HostHeapLiveBlocks();
    }
    void TearDown() override
    {
        HostHeapFailReset();
        EXPECT_EQ(HostHeapLiveBlocks(), blocks);
        EXPECT_EQ(HostIoPortCount(), 0u);
    }
    DWORD blocks = 0;
};

TEST_F(Win32, PortPacketsAreFifoAndPostedOnesCarryWhatWasPosted)
{
    HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    ASSERT_NE(port, nullptr);
    OVERLAPPED a{};
    OVERLAPPED b{};
    EXPECT_TRUE(PostQueuedCompletionStatus(port, 10, 1, &a));
    EXPECT_TRUE(PostQueuedCompletionStatus(port, 0, 2, nullptr));
    EXPECT_TRUE(PostQueuedCompletionStatus(port, 30, 3, &b));
    struct Expected {
        DWORD bytes;
        ULONG_PTR key;
        LPOVERLAPPED overlapped;
    } expected[] = {{10, 1, &a}, {0, 2, nullptr}, {30, 3, &b}};
    for (const Expected& e : expected) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED overlapped = &a;
        EXPECT_TRUE(GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, INFINITE));
        EXPECT_EQ(bytes, e.bytes);
        EXPECT_EQ(key, e.key);
        EXPECT_EQ(overlapped, e.overlapped);
    }
    DWORD bytes;
    ULONG_PTR key;
    LPOVERLAPPED overlapped = &a;
    EXPECT_FALSE(GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, 0));
    EXPECT_EQ(GetLastError(), DWORD(WAIT_TIMEOUT));
    EXPECT_EQ(overlapped, nullptr);
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_FALSE(GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(PostQueuedCompletionStatus(port, 0, 0, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(CreateIoCompletionPort(INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(4), 0, 0),
              nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(Win32, GlobalFixedBlocksLieBelowFourGiBAndHandleRoundTrips)
{
    HGLOBAL handle = GlobalAlloc(GMEM_FIXED, 100);
    ASSERT_NE(handle, nullptr);
    auto* block = static_cast<UCHAR*>(GlobalLock(handle));
    EXPECT_EQ(block, handle);
    EXPECT_LT(reinterpret_cast<ULONG_PTR>(block) + 100, 1ULL << 32);
    EXPECT_EQ(block[0], HOST_HEAP_FRESH_FILL);   // not zero-filled
    EXPECT_EQ(block[99], HOST_HEAP_FRESH_FILL);
    EXPECT_EQ(GlobalHandle(block), handle);
    EXPECT_EQ(GlobalSize(handle), 100u);
    SetLastError(1234);
    EXPECT_FALSE(GlobalUnlock(handle));
    EXPECT_EQ(GetLastError(), DWORD(NO_ERROR));
    EXPECT_EQ(HostHeapLiveBlocks(), blocks + 1);
    EXPECT_EQ(GlobalFree(handle), nullptr);
    EXPECT_EQ(GlobalFree(handle), handle);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GlobalHandle(block), nullptr);

    auto* zeroed = static_cast<UCHAR*>(GlobalAlloc(GPTR, 16));
    EXPECT_EQ(zeroed[15], 0);
    EXPECT_EQ(GlobalFree(zeroed), nullptr);
    HLOCAL local = LocalAlloc(LPTR, 8);
    EXPECT_NE(local, nullptr);
    EXPECT_EQ(LocalFree(local), nullptr);
}

}  // namespace
