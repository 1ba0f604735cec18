// Host stand-in: the kernel core services the product calls — IRQL, spin
// locks, the tick count, timers, DPCs, events, interlocked counts and bug
// checks — declared as the DDK declares them. KTIMER, KDPC, KEVENT and
// KSPIN_LOCK are records the product allocates with sizeof and never looks
// inside; their fields are the stand-in's own.
#pragma once

#include <sched.h>

#include "nt/ntdef.h"

typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define CMCI_LEVEL 5
#define PROFILE_LEVEL 27
#define CLOCK1_LEVEL 28
#define CLOCK2_LEVEL 28
#define IPI_LEVEL 29
#define POWER_LEVEL 30
#define HIGH_LEVEL 31
#define SYNCH_LEVEL (IPI_LEVEL - 2)

// Bug-check codes the stand-in raises.
#define IRQL_NOT_GREATER_OR_EQUAL 0x00000009
#define IRQL_NOT_LESS_OR_EQUAL 0x0000000A
#define SPIN_LOCK_ALREADY_OWNED 0x0000000F
#define SPIN_LOCK_NOT_OWNED 0x00000010
#define BAD_POOL_CALLER 0x000000C2
#define TIMER_OR_DPC_INVALID 0x000000C7
#define DRIVER_IRQL_NOT_LESS_OR_EQUAL 0x000000D1

// 0 when free; the owning thread's token while held.
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;

// The 64-bit tick count as NT publishes it: a reader takes High1Time, then
// LowPart, then High2Time, and retries until the two high copies agree.
typedef struct _KSYSTEM_TIME {
    ULONG LowPart;
    LONG High1Time;
    LONG High2Time;
} KSYSTEM_TIME, *PKSYSTEM_TIME;

struct _KDPC;

typedef VOID NTAPI KDEFERRED_ROUTINE(
    IN struct _KDPC* Dpc,
    IN PVOID DeferredContext OPTIONAL,
    IN PVOID SystemArgument1 OPTIONAL,
    IN PVOID SystemArgument2 OPTIONAL);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef enum _KDPC_IMPORTANCE { LowImportance, MediumImportance, HighImportance } KDPC_IMPORTANCE;

// Stand-in layout. DpcListEntry/Inserted/Sequence are guarded by the DPC
// queue lock of the stand-in.
typedef struct _KDPC {
    UCHAR Type;
    UCHAR Importance;
    volatile UCHAR Inserted;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    struct _KDPC* DpcListEntry;
    ULONGLONG Sequence;
} KDPC, *PKDPC, *PRKDPC;

// Stand-in layout. Every field is guarded by the timer queue lock.
typedef struct _KTIMER {
    UCHAR Type;
    volatile UCHAR Inserted;
    volatile UCHAR Signaled;
    ULONGLONG DueTime;          // interrupt time, 100-ns units
    ULONGLONG Sequence;         // orders timers due at the same time
    struct _KTIMER* TimerListEntry;
    PKDPC Dpc;
    LONG Period;
} KTIMER, *PKTIMER, *PRKTIMER;

typedef enum _TIMER_TYPE { NotificationTimer, SynchronizationTimer } TIMER_TYPE;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _KWAIT_REASON { Executive } KWAIT_REASON;
typedef LONG KPRIORITY;

// Stand-in layout. SignalState is guarded by the stand-in's dispatcher lock.
typedef struct _KEVENT {
    UCHAR Type;
    LONG SignalState;
} KEVENT, *PKEVENT, *PRKEVENT;

// A thread as the kernel core names it; the stand-in's own record.
typedef struct _KTHREAD* PKTHREAD;

NT_EXTERN_C_BEGIN

// The tick count, advanced by the stand-in's clock; one tick is
// KeQueryTimeIncrement() 100-ns units.
extern NTKERNELAPI volatile KSYSTEM_TIME KeTickCount;

NTHALAPI KIRQL NTAPI KeGetCurrentIrql(VOID);
NTHALAPI KIRQL FASTCALL KfRaiseIrql(IN KIRQL NewIrql);
NTHALAPI VOID FASTCALL KfLowerIrql(IN KIRQL NewIrql);
NTHALAPI KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID);

NTKERNELAPI VOID NTAPI KeInitializeSpinLock(IN PKSPIN_LOCK SpinLock);
NTHALAPI KIRQL FASTCALL KfAcquireSpinLock(IN OUT PKSPIN_LOCK SpinLock);
NTHALAPI VOID FASTCALL KfReleaseSpinLock(IN OUT PKSPIN_LOCK SpinLock, IN KIRQL NewIrql);
NTKERNELAPI VOID FASTCALL KefAcquireSpinLockAtDpcLevel(IN OUT PKSPIN_LOCK SpinLock);
NTKERNELAPI VOID FASTCALL KefReleaseSpinLockFromDpcLevel(IN OUT PKSPIN_LOCK SpinLock);

NTKERNELAPI ULONG NTAPI KeQueryTimeIncrement(VOID);
NTKERNELAPI ULONGLONG NTAPI KeQueryInterruptTime(VOID);

NTKERNELAPI VOID NTAPI KeInitializeTimer(OUT PKTIMER Timer);
NTKERNELAPI VOID NTAPI KeInitializeTimerEx(OUT PKTIMER Timer, IN TIMER_TYPE Type);
NTKERNELAPI BOOLEAN NTAPI KeSetTimer(IN OUT PKTIMER Timer, IN LARGE_INTEGER DueTime,
                                     IN PKDPC Dpc OPTIONAL);
NTKERNELAPI BOOLEAN NTAPI KeSetTimerEx(IN OUT PKTIMER Timer, IN LARGE_INTEGER DueTime,
                                       IN LONG Period OPTIONAL, IN PKDPC Dpc OPTIONAL);
NTKERNELAPI BOOLEAN NTAPI KeCancelTimer(IN OUT PKTIMER Timer);
NTKERNELAPI BOOLEAN NTAPI KeReadStateTimer(IN PKTIMER Timer);

NTKERNELAPI VOID NTAPI KeInitializeDpc(OUT PRKDPC Dpc, IN PKDEFERRED_ROUTINE DeferredRoutine,
                                       IN PVOID DeferredContext OPTIONAL);
NTKERNELAPI BOOLEAN NTAPI KeInsertQueueDpc(IN OUT PRKDPC Dpc, IN PVOID SystemArgument1 OPTIONAL,
                                           IN PVOID SystemArgument2 OPTIONAL);
NTKERNELAPI BOOLEAN NTAPI KeRemoveQueueDpc(IN OUT PRKDPC Dpc);
NTKERNELAPI VOID NTAPI KeFlushQueuedDpcs(VOID);

NTKERNELAPI VOID NTAPI KeInitializeEvent(OUT PRKEVENT Event, IN EVENT_TYPE Type, IN BOOLEAN State);
// Returns the previous state. Any IRQL up to DISPATCH_LEVEL.
NTKERNELAPI LONG NTAPI KeSetEvent(IN OUT PRKEVENT Event, IN KPRIORITY Increment, IN BOOLEAN Wait);
NTKERNELAPI VOID NTAPI KeClearEvent(IN OUT PRKEVENT Event);
// Events only. Timeout NULL waits for ever (at or below APC_LEVEL), a zero
// time-out only tests (up to DISPATCH_LEVEL); other time-outs are not
// modelled and give STATUS_INVALID_PARAMETER. STATUS_SUCCESS or
// STATUS_TIMEOUT; a satisfied wait resets a synchronization event.
NTKERNELAPI NTSTATUS NTAPI KeWaitForSingleObject(IN PVOID Object, IN KWAIT_REASON WaitReason,
                                                 IN KPROCESSOR_MODE WaitMode,
                                                 IN BOOLEAN Alertable,
                                                 IN PLARGE_INTEGER Timeout OPTIONAL);

// The calling thread; in a DPC, the DPC thread.
NTKERNELAPI PKTHREAD NTAPI KeGetCurrentThread(VOID);

// On the host a test may install a handler that observes the bug check and
// returns; the failing service then returns without doing its work. With no
// handler the stand-in prints the code and parameters and aborts.
NTKERNELAPI VOID NTAPI KeBugCheckEx(IN ULONG BugCheckCode, IN ULONG_PTR BugCheckParameter1,
                                    IN ULONG_PTR BugCheckParameter2,
                                    IN ULONG_PTR BugCheckParameter3,
                                    IN ULONG_PTR BugCheckParameter4);
NTKERNELAPI VOID NTAPI KeBugCheck(IN ULONG BugCheckCode);

NT_EXTERN_C_END

// The DDK's interlocked intrinsics (full barriers). The Win32 stand-in's
// winbase.h defines the same two under the same guard.
#ifndef HOST_INTERLOCKED_INCREMENT_DECREMENT
#define HOST_INTERLOCKED_INCREMENT_DECREMENT
FORCEINLINE LONG InterlockedIncrement(IN OUT LONG volatile* Addend)
{
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedDecrement(IN OUT LONG volatile* Addend)
{
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
#endif

// A processor spinning for another is a thread that lets others run here:
// host threads are preempted at any IRQL.
#define YieldProcessor() ((VOID)sched_yield())

#define KeRaiseIrql(a, b) *(b) = KfRaiseIrql(a)
#define KeLowerIrql(a) KfLowerIrql(a)
#define KeAcquireSpinLock(a, b) *(b) = KfAcquireSpinLock(a)
#define KeReleaseSpinLock(a, b) KfReleaseSpinLock(a, b)
#define KeAcquireSpinLockAtDpcLevel(SpinLock) KefAcquireSpinLockAtDpcLevel(SpinLock)
#define KeReleaseSpinLockFromDpcLevel(SpinLock) KefReleaseSpinLockFromDpcLevel(SpinLock)

// As the DDK's inline reader: consistent 64 bits from the three fields.
FORCEINLINE VOID KeQueryTickCount(OUT PLARGE_INTEGER CurrentCount)
{
    for (;;) {
        CurrentCount->HighPart = KeTickCount.High1Time;
        CurrentCount->LowPart = KeTickCount.LowPart;
        if (CurrentCount->HighPart == KeTickCount.High2Time) {
            break;
        }
    }
}

#ifdef __cplusplus
static_assert(sizeof(KIRQL) == 1, "KIRQL is UCHAR");
static_assert(sizeof(KSYSTEM_TIME) == 12, "KSYSTEM_TIME layout");
#endif
