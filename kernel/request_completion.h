// Completion of tonkern's requests and cancellation of the pending ones.
//
// The life of an accepted add-buffer request:
//
// | step          | its buffer is in           | the request belongs to   | cancel routine      |
// |---------------|----------------------------|--------------------------|---------------------|
// | queued        | its stream's queue         | the engine (engine lock) | armed               |
// | done          | the DoneList               | the next drain           | armed, or taken by  |
// |               |   (GlobalSpinLock)         |   (GlobalSpinLock)       |   a canceller       |
// | (cancel seen) | the DoneList               | the next drain           | run                 |
// | completed     | freed                      | the I/O manager          | gone                |
//
// - queued -> done: the engine retires the buffer (played or filled, a
//   pause, a reset, a release), or its cancel routine withdraws it from the
//   queue (BufferCancelled: completed with STATUS_CANCELLED).
// - done -> completed: the drain takes the cancel routine back; from then on
//   IoCancelIrp finds none to run.
// - done -> (cancel seen) -> completed: a canceller took the routine first.
//   The routine claims the buffer (BufferCancelSeen) under the engine lock;
//   until then IoCancelIrp and the routine may still read the request, so
//   the drain waits for the claim.
//
// Drains take buffers in DoneList order, one drain at a time, so a stream's
// requests complete in the order its buffers left it. A drain that meets a
// buffer waiting for its claim stops there; the claiming routine drains on.
// Lock order: engine lock, then the cancel spin lock or GlobalSpinLock
// (never both). Requests are completed with no lock held.
#pragma once

#include <ntddk.h>

#include "single_list.h"

struct QueuedBuffer;

// Every field is guarded by GlobalSpinLock.
struct DoneList {
    SingleList buffers;     // QueuedBuffers in the order they left their streams
    ULONG retired;          // buffers ever appended (wraps)
    ULONG completed;        // of them, the ones whose requests are complete (wraps)
    PKTHREAD drainer;       // the thread draining, or null

    VOID Initialise();
};

// Appends a buffer that has left its stream; the drain owns it from now on.
// Engine lock held.
VOID RetireBuffer(QueuedBuffer* buffer);

// The DoneList's retired count: AwaitCompletions(mark) returns once every
// buffer retired before this call is complete.
ULONG RetiredSoFar();

// Drains the DoneList unless another thread is draining it (that drain
// completes what is there). At DISPATCH_LEVEL, without the engine lock.
VOID CompleteDoneBuffers();

// Returns once every buffer counted in mark is complete, whoever drains it;
// at once inside a drain of the calling thread (a completion that reached
// the driver again). At DISPATCH_LEVEL, after CompleteDoneBuffers.
VOID AwaitCompletions(ULONG mark);

// Arms the cancel routine of a request whose buffer has just been queued,
// unless a cancel came first (false). Engine lock held, so no tick can have
// finished the buffer yet.
bool ArmCancelRoutine(PIRP request);

// The cancel routine of pending add-buffer requests: withdraws the
// request's buffer from its stream (the stream plays on) or, when it has
// already left, claims it. Entered with the cancel spin lock held.
DRIVER_CANCEL CancelBufferRequest;

// The one way tonkern completes a request: status, information = bytes, no
// priority boost. The request's cancel routine must be gone. Returns status.
NTSTATUS CompleteRequest(PIRP request, NTSTATUS status, ULONG_PTR bytes);
