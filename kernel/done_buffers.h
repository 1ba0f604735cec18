// Completion of finished buffers.
#pragma once

#include <ntddk.h>

// Drains the DoneList: each buffer is removed under GlobalSpinLock, its
// request completed outside it with the buffer's done count, and the record
// freed. At or below DISPATCH_LEVEL; never with the engine lock held.
VOID CompleteDoneBuffers();

// Completes one pending read or write request: success, information = bytes.
VOID CompleteBufferRequest(ULONG bytes, PIRP request);
