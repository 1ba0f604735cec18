// Completion of finished buffers.
#pragma once

#include <ntddk.h>

// Drains the DoneList: each buffer is removed under GlobalSpinLock, its
// request completed outside it with the buffer's done count (and
// STATUS_CANCELLED for a buffer marked BufferCancelled), and the record
// freed. At or below DISPATCH_LEVEL; never with the engine lock held.
VOID CompleteDoneBuffers();

// Completes one pending read or write request: status, information = bytes.
// Takes the request's cancel routine away first; if a cancel has taken it
// already, that routine finds no queued buffer for the request and leaves it
// alone (the canceller keeps the request's memory until the routine returns).
VOID CompleteBufferRequest(ULONG bytes, PIRP request, NTSTATUS status);
