// IRQL, spin locks and bug checks of the kernel-core stand-in.
//
// Each host thread has its own IRQL, as each processor has on NT; raising it
// on one thread holds off nothing on another. Spin locks are real locks
// between threads; misuse NT would bug-check on (or deadlock on) goes to
// KeBugCheckEx.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "host/ke_control.h"
#include "ke_internal.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define HOST_CPU_RELAX() _mm_pause()
#else
#define HOST_CPU_RELAX() ((void)0)
#endif

#define SPIN_LOCK_INIT_FAILURE 0x00000081

namespace {

thread_local KIRQL tlsIrql = PASSIVE_LEVEL;
thread_local int tlsHeldLocks = 0;
thread_local bool tlsDpcThread = false;
// Its address identifies the thread as a spin-lock owner.
thread_local char tlsOwnerToken;

std::mutex bugCheckLock;  // guards bugCheckHandler, bugCheckContext
PHOST_KE_BUGCHECK_HANDLER bugCheckHandler = nullptr;
PVOID bugCheckContext = nullptr;

ULONG_PTR OwnerToken()
{
    return reinterpret_cast<ULONG_PTR>(&tlsOwnerToken);
}

// A lock word that is neither free nor a user-space address was never
// initialised (pool is junk-filled).
bool PlausibleLockWord(ULONG_PTR value)
{
    return value == 0 || value <= 0x00007fffffffffffull;
}

std::atomic_ref<ULONG_PTR> LockWord(PKSPIN_LOCK lock)
{
    return std::atomic_ref<ULONG_PTR>(*lock);
}

// Takes the lock word; the caller has checked IRQL and ownership.
void SpinAcquire(PKSPIN_LOCK lock)
{
    auto word = LockWord(lock);
    const ULONG_PTR self = OwnerToken();
    unsigned spins = 0;
    for (;;) {
        ULONG_PTR expected = 0;
        if (word.compare_exchange_weak(expected, self, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
            break;
        }
        if (++spins < 64) {
            HOST_CPU_RELAX();
        } else {
            // Another host thread may hold it for long (it can be preempted,
            // unlike a processor at DISPATCH_LEVEL).
            std::this_thread::yield();
        }
    }
    ++tlsHeldLocks;
}

// Checks common to both acquire paths. Returns false after a bug check.
bool CheckAcquire(PKSPIN_LOCK lock)
{
    const ULONG_PTR value = LockWord(lock).load(std::memory_order_relaxed);
    if (value == OwnerToken()) {
        // NT would spin forever on its own lock.
        KeBugCheckEx(SPIN_LOCK_ALREADY_OWNED, reinterpret_cast<ULONG_PTR>(lock), 0, 0, 0);
        return false;
    }
    if (!PlausibleLockWord(value)) {
        KeBugCheckEx(SPIN_LOCK_INIT_FAILURE, reinterpret_cast<ULONG_PTR>(lock), value, 0, 0);
        return false;
    }
    return true;
}

// Checks common to both release paths. Returns false after a bug check.
bool CheckRelease(PKSPIN_LOCK lock)
{
    const ULONG_PTR value = LockWord(lock).load(std::memory_order_relaxed);
    if (value != OwnerToken()) {
        KeBugCheckEx(SPIN_LOCK_NOT_OWNED, reinterpret_cast<ULONG_PTR>(lock), value, 0, 0);
        return false;
    }
    return true;
}

void SpinRelease(PKSPIN_LOCK lock)
{
    --tlsHeldLocks;
    LockWord(lock).store(0, std::memory_order_release);
}

}  // namespace

namespace host_ke {

KIRQL CurrentIrql()
{
    return tlsIrql;
}

void SetIrql(KIRQL irql)
{
    tlsIrql = irql;
}

int HeldSpinLocks()
{
    return tlsHeldLocks;
}

void ResetThreadState()
{
    tlsIrql = tlsDpcThread ? DISPATCH_LEVEL : PASSIVE_LEVEL;
    tlsHeldLocks = 0;
}

void EnterDpcThread()
{
    tlsDpcThread = true;
    tlsIrql = DISPATCH_LEVEL;
    tlsHeldLocks = 0;
}

bool IsDpcThread()
{
    return tlsDpcThread;
}

}  // namespace host_ke

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID)
{
    return tlsIrql;
}

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql)
{
    const KIRQL old = tlsIrql;
    if (NewIrql < old || NewIrql > HIGH_LEVEL) {
        KeBugCheckEx(IRQL_NOT_GREATER_OR_EQUAL, old, NewIrql, 0, 0);
        return old;
    }
    tlsIrql = NewIrql;
    return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql)
{
    const KIRQL old = tlsIrql;
    if (NewIrql > old) {
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, old, NewIrql, 0, 0);
        return;
    }
    if (NewIrql < DISPATCH_LEVEL && tlsHeldLocks > 0) {
        // A spin lock is still held: its holder would be preemptible.
        KeBugCheckEx(IRQL_NOT_GREATER_OR_EQUAL, old, NewIrql, static_cast<ULONG_PTR>(tlsHeldLocks),
                     0);
        return;
    }
    if (tlsDpcThread && NewIrql < DISPATCH_LEVEL) {
        KeBugCheckEx(IRQL_NOT_GREATER_OR_EQUAL, old, NewIrql, 0, 1);
        return;
    }
    tlsIrql = NewIrql;
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID)
{
    return KfRaiseIrql(DISPATCH_LEVEL);
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    LockWord(SpinLock).store(0, std::memory_order_relaxed);
}

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock)
{
    const KIRQL old = tlsIrql;
    if (old > DISPATCH_LEVEL) {
        KeBugCheckEx(IRQL_NOT_GREATER_OR_EQUAL, old, DISPATCH_LEVEL,
                     reinterpret_cast<ULONG_PTR>(SpinLock), 0);
        return old;
    }
    if (!CheckAcquire(SpinLock)) {
        return old;
    }
    tlsIrql = DISPATCH_LEVEL;
    SpinAcquire(SpinLock);
    return old;
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    const KIRQL current = tlsIrql;
    if (!CheckRelease(SpinLock)) {
        return;
    }
    if (NewIrql > current) {
        KeBugCheckEx(IRQL_NOT_LESS_OR_EQUAL, current, NewIrql,
                     reinterpret_cast<ULONG_PTR>(SpinLock), 0);
        return;
    }
    if (NewIrql < DISPATCH_LEVEL && tlsHeldLocks > 1) {
        // Released out of order: another lock is still held.
        KeBugCheckEx(IRQL_NOT_GREATER_OR_EQUAL, current, NewIrql,
                     reinterpret_cast<ULONG_PTR>(SpinLock), static_cast<ULONG_PTR>(tlsHeldLocks));
        return;
    }
    if (tlsDpcThread && NewIrql < DISPATCH_LEVEL) {
        KeBugCheckEx(IRQL_NOT_GREATER_OR_EQUAL, current, NewIrql,
                     reinterpret_cast<ULONG_PTR>(SpinLock), 1);
        return;
    }
    SpinRelease(SpinLock);
    tlsIrql = NewIrql;
}

VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    const KIRQL current = tlsIrql;
    if (current != DISPATCH_LEVEL) {
        KeBugCheckEx(current < DISPATCH_LEVEL ? IRQL_NOT_GREATER_OR_EQUAL : IRQL_NOT_LESS_OR_EQUAL,
                     current, DISPATCH_LEVEL, reinterpret_cast<ULONG_PTR>(SpinLock), 0);
        return;
    }
    if (!CheckAcquire(SpinLock)) {
        return;
    }
    SpinAcquire(SpinLock);
}

VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    const KIRQL current = tlsIrql;
    if (current != DISPATCH_LEVEL) {
        KeBugCheckEx(current < DISPATCH_LEVEL ? IRQL_NOT_GREATER_OR_EQUAL : IRQL_NOT_LESS_OR_EQUAL,
                     current, DISPATCH_LEVEL, reinterpret_cast<ULONG_PTR>(SpinLock), 0);
        return;
    }
    if (!CheckRelease(SpinLock)) {
        return;
    }
    SpinRelease(SpinLock);
}

VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR BugCheckParameter1,
                        ULONG_PTR BugCheckParameter2, ULONG_PTR BugCheckParameter3,
                        ULONG_PTR BugCheckParameter4)
{
    PHOST_KE_BUGCHECK_HANDLER handler;
    PVOID context;
    {
        std::lock_guard<std::mutex> guard(bugCheckLock);
        handler = bugCheckHandler;
        context = bugCheckContext;
    }
    if (handler != nullptr) {
        handler(context, BugCheckCode, BugCheckParameter1, BugCheckParameter2, BugCheckParameter3,
                BugCheckParameter4);
        return;
    }
    std::fprintf(stderr, "*** STOP: 0x%08X (0x%llX, 0x%llX, 0x%llX, 0x%llX)\n", BugCheckCode,
                 static_cast<unsigned long long>(BugCheckParameter1),
                 static_cast<unsigned long long>(BugCheckParameter2),
                 static_cast<unsigned long long>(BugCheckParameter3),
                 static_cast<unsigned long long>(BugCheckParameter4));
    std::fflush(stderr);
    std::abort();
}

VOID NTAPI KeBugCheck(ULONG BugCheckCode)
{
    KeBugCheckEx(BugCheckCode, 0, 0, 0, 0);
}

PHOST_KE_BUGCHECK_HANDLER HostKeSetBugCheckHandler(PHOST_KE_BUGCHECK_HANDLER Handler,
                                                   PVOID Context)
{
    std::lock_guard<std::mutex> guard(bugCheckLock);
    PHOST_KE_BUGCHECK_HANDLER previous = bugCheckHandler;
    bugCheckHandler = Handler;
    bugCheckContext = Handler != nullptr ? Context : nullptr;
    return previous;
}

VOID HostKeSetCurrentIrql(KIRQL Irql)
{
    tlsIrql = Irql;
    if (Irql < DISPATCH_LEVEL) {
        tlsHeldLocks = 0;
    }
}

BOOLEAN HostKeIsDpcThread(VOID)
{
    return tlsDpcThread ? TRUE : FALSE;
}

}  // extern "C"
