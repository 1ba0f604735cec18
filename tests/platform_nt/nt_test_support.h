// Shared fixture of the stand-in's own tests: a known clock and queue state,
// a bug-check recorder, and a leak check at the end of each test.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include <ntddk.h>

#include "host/ex_control.h"
#include "host/ke_control.h"

namespace nt_test {

struct BugCheck {
    ULONG code;
    ULONG_PTR p1, p2, p3, p4;
};

// Records bug checks instead of aborting, from any thread.
class BugCheckRecorder {
public:
    BugCheckRecorder() { previous_ = HostKeSetBugCheckHandler(&Record, this); }
    ~BugCheckRecorder() { HostKeSetBugCheckHandler(previous_, nullptr); }
    BugCheckRecorder(const BugCheckRecorder&) = delete;
    BugCheckRecorder& operator=(const BugCheckRecorder&) = delete;

    std::vector<BugCheck> Take()
    {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<BugCheck> taken;
        taken.swap(checks_);
        return taken;
    }

    // The single recorded code, or 0 when there was none; fails the test on
    // more than one.
    ULONG TakeOne()
    {
        auto checks = Take();
        EXPECT_LE(checks.size(), 1u);
        return checks.empty() ? 0 : checks.front().code;
    }

private:
    static VOID Record(PVOID context, ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3,
                       ULONG_PTR p4)
    {
        auto* self = static_cast<BugCheckRecorder*>(context);
        std::lock_guard<std::mutex> guard(self->lock_);
        self->checks_.push_back(BugCheck{code, p1, p2, p3, p4});
    }

    std::mutex lock_;
    std::vector<BugCheck> checks_;
    PHOST_KE_BUGCHECK_HANDLER previous_ = nullptr;
};

// Virtual time starts at one hour so that relative and absolute due times
// differ visibly.
constexpr ULONGLONG kStartTime = 3600ull * 1000 * HOST_KE_UNITS_PER_MS;

class NtTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        HostKeReset(HostKeClockVirtual, kStartTime);
        HostExPoolFailReset();
        snapshot_ = HostExPoolSnapshot();
    }

    void TearDown() override
    {
        HostKeReset(HostKeClockVirtual, kStartTime);
        HostExPoolFailReset();
        EXPECT_EQ(HostExPoolReportLeaksSince(snapshot_, HOST_EX_ANY_TAG), 0u);
    }

    static ULONGLONG Now() { return HostKeQueryTime(); }

    static LARGE_INTEGER RelativeMs(LONGLONG ms)
    {
        LARGE_INTEGER due;
        due.QuadPart = -ms * static_cast<LONGLONG>(HOST_KE_UNITS_PER_MS);
        return due;
    }

    HOST_EX_POOL_SNAPSHOT snapshot_ = 0;
};

// Waits (yielding, no sleeping) until predicate holds.
template <typename Predicate>
void SpinUntil(Predicate predicate)
{
    while (!predicate()) {
        std::this_thread::yield();
    }
}

constexpr ULONG kTestTag = 0x74736554;   // "Test"
constexpr ULONG kOtherTag = 0x72687443;  // "Cthr"

}  // namespace nt_test
