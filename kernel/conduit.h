// The conduit: one loopback of an Out (render) and an In (capture) endpoint
// sharing one locked format and one mixing clock.
#pragma once

#include <ntddk.h>

#include "conduit_timer.h"
#include "single_list.h"
#include "spin_lock.h"
#include "wave_format.h"

struct Conduit;
struct Stream;

// Milliseconds since system start from the kernel tick count; wraps after
// about 49.7 days, so callers only subtract two values. Any IRQL.
ULONG QueryMilliseconds();

constexpr USHORT EndpointCapture = 0x0001;

struct Endpoint {
    USHORT flags;           // EndpointCapture on the In endpoint only; fixed
    Conduit* conduit;       // owner; fixed
    SingleList streams;     // attached Streams in attach order; engine lock

    VOID Initialise(Conduit* owner, USHORT endpointFlags);
    // Starts the clock for the stream, then appends it; false (list
    // untouched) when the clock could not start.
    bool AttachStream(Stream* stream);
    // Unlinks an attached stream and stops the clock for it; a stream that
    // is not attached changes nothing.
    VOID DetachStream(Stream* stream);
    // stream is a caller's untrusted handle: only its address is compared.
    bool HasStream(const Stream* stream) const;
    bool IsCapture() const { return (flags & EndpointCapture) != 0; }
};

// Locking. Every engine operation (the Conduit, Endpoint and Stream methods
// below and in stream.h, apart from Initialise/Destroy) runs with the engine
// lock held, at DISPATCH_LEVEL: the tick takes it in OnTimer; a request, a
// cancel routine, the process-exit routine and unload take it with
// EnterEngine around their whole engine call. The DoneList (appended by the
// engine, drained by CompleteDoneBuffers) has its own lock, GlobalSpinLock,
// taken inside the engine lock, never around it; requests are completed with
// neither held (LeaveEngine and OnTimer drain after releasing the engine
// lock). The I/O manager's cancel spin lock is likewise taken only inside
// the engine lock (to arm a request's cancel routine), never around it: the
// cancel routine releases it before it takes the engine lock. Order: engine
// lock, then the cancel spin lock or GlobalSpinLock (never both).
struct Conduit {
    Endpoint inEndpoint;
    Endpoint outEndpoint;
    ULONG clockUsers;       // streams attached to either endpoint
    WAVEFORMATEX format;    // locked while clockUsers > 0
    ULONG bytesPerSample;   // width of one sample of one channel, 1 to 4
    ConduitTimer timer;     // open exactly while clockUsers > 0
    ULONG lastTickMs;       // QueryMilliseconds() of the last tick or start
    PUCHAR mixBuffer;       // mixBufferSize bytes while the clock runs
    ULONG mixBufferSize;    // 100 ms at the locked format
    // During a tick's Out pass: the first mixFilled bytes of mixBuffer hold
    // the chunk's mix so far, the rest is not yet silence. Out streams fill
    // the chunk from its start, so the first stream to reach a byte copies
    // into it (the same as mixing into silence) and Tick silences the rest
    // before the In pass.
    ULONG mixFilled;
    SpinLock engineLock;    // guards every field above and all streams
    PKTHREAD engineOwner;   // the thread holding engineLock, or null; engine lock

    // Load time (PASSIVE_LEVEL): the idle conduit, timer installed.
    VOID Initialise();
    // Unload time (PASSIVE_LEVEL): closes and destroys the timer (no DPC of
    // it runs afterwards) and frees a mix buffer still held by streams that
    // were never closed. Streams stay the property of their opener.
    VOID Destroy();

    // Engine work from a thread (a request, a cancel routine, the process
    // exit, unload), at or below DISPATCH_LEVEL. It runs at DISPATCH_LEVEL,
    // so that on one processor it cannot interleave with the tick's DPC,
    // and under the engine lock against the tick on another processor.
    // Returns the caller's IRQL for LeaveEngine.
    KIRQL EnterEngine();
    // Releases the engine lock, then completes every buffer retired so far,
    // waiting for a drain of another processor that holds some of them, and
    // only then returns to previous: a request that retired buffers returns
    // once their requests are complete.
    VOID LeaveEngine(KIRQL previous);
    // The calling thread holds the engine lock, at DISPATCH_LEVEL. For
    // assertions (inline, so that a free build imports nothing for it).
    bool EngineHeld() const
    {
        return KeGetCurrentIrql() == DISPATCH_LEVEL && engineOwner == KeGetCurrentThread();
    }
    // engineLock with its owner recorded; every holder takes it this way.
    VOID TakeEngineLock();
    VOID DropEngineLock();

    bool CheckFormat(const WAVEFORMATEX& candidate) const;
    // Only while clockUsers is 0.
    VOID SetFormat(const WAVEFORMATEX& candidate);
    // Opens a stream on endpoint under the format lock, for a format that
    // CheckFormat accepted: the first stream of either endpoint locks it
    // (SetFormat), the last detach unlocks it. Null when there is no memory
    // for the stream or the clock could not start.
    Stream* OpenStream(Endpoint& endpoint, const WAVEFORMATEX& format, HANDLE opener);
    // Detaches and frees a stream whose queue is empty.
    VOID CloseStream(Stream* stream);
    bool StartClock();
    VOID StopClock();
    // Whole frames nearest to ms at the locked rate, at least one frame, in
    // bytes. 64-bit so that the catch-up after a stall of any length is exact.
    ULONGLONG BytesForMs(ULONG ms) const;
    VOID Tick();
    // Transfer of one chunk for each stream of endpoint that has buffers.
    VOID TransferAll(Endpoint& endpoint, ULONG chunk);
    // The work of request's cancel routine: the queued buffer that request
    // carries is marked BufferCancelled and withdrawn from its stream
    // (Stream::Withdraw), to be completed with STATUS_CANCELLED. False when
    // no queued buffer carries request (it has left its stream already).
    bool WithdrawBuffer(PIRP request);
    // Resets and closes every stream that process opened (every stream when
    // allProcesses): their buffers go to the DoneList, and the last detach
    // stops the clock and unlocks the format.
    VOID ReleaseStreams(HANDLE process, bool allProcesses);
    // The timer's callback, in its DPC at DISPATCH_LEVEL.
    static CONDUIT_TIMER_CALLBACK OnTimer;
};
