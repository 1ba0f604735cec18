// Completion of finished buffers, and its hand-over with cancel routines.
#pragma once

#include <ntddk.h>

// Drains the DoneList: each buffer is removed under GlobalSpinLock, its
// request completed outside it with the buffer's done count (and
// STATUS_CANCELLED for a buffer marked BufferCancelled), and the record
// freed. A request whose cancel routine has been taken by a canceller but
// has not yet claimed the buffer is not completed here: the buffer waits for
// that routine (ClaimFinishedBuffer), so the request stays intact while
// IoCancelIrp and the routine still read it. At or below DISPATCH_LEVEL;
// never with the engine lock held.
VOID CompleteDoneBuffers();

// For the cancel routine of request, whose buffer has already left its
// stream: marks the buffer BufferCancelSeen, so that the drain completes it
// as it is (finished, with its byte count), and puts a buffer that was
// waiting for the routine back on the DoneList. False when no finished
// buffer carries request. Engine lock held (it keeps buffers from being
// retired meanwhile); takes GlobalSpinLock.
bool ClaimFinishedBuffer(PIRP request);

// Completes one pending read or write request: status, information = bytes.
// Its cancel routine must already be gone (the drain takes it away).
VOID CompleteBufferRequest(ULONG bytes, PIRP request, NTSTATUS status);
