#include "done_buffers.h"
#include "driver_globals.h"
#include "pool.h"
#include "stream.h"

VOID CompleteDoneBuffers()
{
    for (;;) {
        GlobalSpinLock->Acquire();
        SingleListNode* node = DoneList->RemoveHead();
        GlobalSpinLock->Release();
        if (node == nullptr) {
            return;
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

VOID CompleteBufferRequest(ULONG bytes, PIRP request, NTSTATUS status)
{
    static_cast<VOID>(IoSetCancelRoutine(request, nullptr));
    request->IoStatus.Status = status;
    request->IoStatus.Information = bytes;
    IofCompleteRequest(request, IO_NO_INCREMENT);
}
