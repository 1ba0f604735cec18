// A client stream on one endpoint of the conduit and its queue of buffers.
#pragma once

#include <ntddk.h>

#include "conduit.h"
#include "single_list.h"

// QueuedBuffer.state bits.
constexpr ULONG BufferInLoop = 0x1;
constexpr ULONG BufferLoopStart = 0x2;     // a loop's first buffer, not yet entered
constexpr ULONG BufferLoopEnd = 0x4;
// Set (on either side) by the cancel routine of the buffer's request: found
// queued, the buffer was withdrawn from its stream and its request completes
// with STATUS_CANCELLED; found retired (CancelSeen), it completes as it left.
// Either tells the drain that the routine has been (request_completion.h).
constexpr ULONG BufferCancelled = 0x8;
constexpr ULONG BufferCancelSeen = 0x10;

// One client buffer whose read or write request stays pending until the
// buffer is finished. In its stream's queue under the engine lock, then in
// the DoneList under GlobalSpinLock, then freed by CompleteDoneBuffers.
struct QueuedBuffer {
    SingleListNode link;        // first: stream queue, then DoneList
    PUCHAR data;                // system address of the client's bytes
    ULONG length;               // whole frames, at least one
    ULONG done;                 // bytes moved in the current pass
    ULONG state;                // Buffer* bits; loop bits on the Out side only
    ULONG headerFlags;          // client's WAVEHDR dwFlags (loop marks)
    ULONG loops;                // passes of a loop beginning here
    PIRP completionRequest;     // completed with done as its byte count

    // Null for null (an empty list's head).
    static QueuedBuffer* FromNode(SingleListNode* node)
    {
        return node != nullptr ? CONTAINING_RECORD(node, QueuedBuffer, link) : nullptr;
    }
};

// Stream.flags bits.
constexpr USHORT StreamPaused = 0x1;
constexpr USHORT StreamLoopOpen = 0x2;     // a loop's begin queued, its end not yet

// Every method runs under the conduit's engine lock (see conduit.h);
// ResetState additionally takes GlobalSpinLock as the drain does.
struct Stream {
    SingleListNode link;        // first: in the endpoint's streams
    Endpoint* endpoint;         // fixed for the stream's life
    USHORT flags;
    SingleList queue;           // QueuedBuffers not yet finished, in order
    ULONG position;             // bytes moved since the last reset; wraps
    ULONG loopCount;            // passes still to play, current included
    QueuedBuffer* loopCursor;   // current loop buffer while loopCount != 0;
                                // always a member of queue then
    HANDLE openerProcess;       // id of the process that opened it (REQ_OPEN);
                                // its exit releases the stream. Fixed.

    static Stream* FromNode(SingleListNode* node)
    {
        return node != nullptr ? CONTAINING_RECORD(node, Stream, link) : nullptr;
    }

    // An Out stream starts running, an In stream paused.
    VOID Initialise(Endpoint* owner, HANDLE opener);
    VOID ResetState();
    bool IsRunning() const { return (flags & StreamPaused) == 0; }
    bool IsCapture() const { return endpoint->IsCapture(); }
    QueuedBuffer* CurrentBuffer() const;
    ULONG BytesAvailable() const;
    VOID EnterCurrent();
    VOID AddBuffer(QueuedBuffer* buffer);
    VOID Start();
    VOID Pause();
    VOID BreakLoop();
    // Retires every queued buffer in queue order; they are completed by the
    // drain that follows the engine lock's release (Conduit::LeaveEngine).
    VOID Reset();
    bool RetireHead();
    // Retires buffer, a member of the queue, at once with the bytes it moved
    // in this pass; the other buffers, position and the running state stay.
    // A loop that buffer belongs to ends: a running one finishes the pass
    // being played (as BreakLoop), one not yet entered plays a single pass.
    VOID Withdraw(QueuedBuffer* buffer);
    VOID FinishCurrent();
    // Moves up to count bytes between mix, the start of a chunk in the
    // conduit's mix buffer, and this stream's buffers; returns the bytes
    // moved. On the Out side it keeps the conduit's mixFilled up to date.
    ULONG Transfer(PUCHAR mix, ULONG count);
};
