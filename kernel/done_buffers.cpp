#include "done_buffers.h"
#include "driver_globals.h"
#include "pool.h"
#include "stream.h"

namespace {

// Finished buffers whose requests a canceller has taken the cancel routine
// of, waiting for that routine to claim them. Guarded by GlobalSpinLock.
// Empty whenever no cancel is in progress (so at load and at unload).
SingleList AwaitingCancel;

// Whether the drain may complete buffer's request now. Under GlobalSpinLock,
// buffer just taken off the DoneList; takes the cancel routine away.
bool DrainOwns(const QueuedBuffer* buffer)
{
    PIRP request = buffer->completionRequest;
    if (request == nullptr || IoSetCancelRoutine(request, nullptr) != nullptr) {
        // Still armed: from now on a cancel finds no routine to run.
        return true;
    }
    if ((buffer->state & (BufferCancelled | BufferCancelSeen)) != 0) {
        return true;    // its cancel routine has been and gone
    }
    // No routine and no claim: either a canceller took the routine (Cancel
    // was set before that, and our exchange is ordered after it), or none
    // was ever set.
    return request->Cancel == FALSE;
}

} // namespace

VOID CompleteDoneBuffers()
{
    for (;;) {
        GlobalSpinLock->Acquire();
        SingleListNode* node = DoneList->RemoveHead();
        const bool owned = node == nullptr || DrainOwns(QueuedBuffer::FromNode(node));
        if (!owned) {
            AwaitingCancel.Append(node);
        }
        GlobalSpinLock->Release();
        if (node == nullptr) {
            return;
        }
        if (!owned) {
            continue;
        }
        QueuedBuffer* buffer = QueuedBuffer::FromNode(node);
        if (buffer->completionRequest != nullptr) {
            const NTSTATUS status =
                (buffer->state & BufferCancelled) != 0 ? STATUS_CANCELLED : STATUS_SUCCESS;
            CompleteBufferRequest(buffer->done, buffer->completionRequest, status);
        }
        PoolFree(buffer);
    }
}

bool ClaimFinishedBuffer(PIRP request)
{
    bool found = false;
    GlobalSpinLock->Acquire();
    for (SingleListNode* node = DoneList->head; node != nullptr; node = node->next) {
        QueuedBuffer* buffer = QueuedBuffer::FromNode(node);
        if (buffer->completionRequest == request) {
            buffer->state |= BufferCancelSeen;
            found = true;
            break;
        }
    }
    for (SingleListNode* node = AwaitingCancel.head; !found && node != nullptr; node = node->next) {
        QueuedBuffer* buffer = QueuedBuffer::FromNode(node);
        if (buffer->completionRequest == request) {
            buffer->state |= BufferCancelSeen;
            AwaitingCancel.Remove(node);
            DoneList->Append(node);
            found = true;
        }
    }
    GlobalSpinLock->Release();
    return found;
}

VOID CompleteBufferRequest(ULONG bytes, PIRP request, NTSTATUS status)
{
    request->IoStatus.Status = status;
    request->IoStatus.Information = bytes;
    IofCompleteRequest(request, IO_NO_INCREMENT);
}
