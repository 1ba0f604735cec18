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
            CompleteBufferRequest(buffer->done, buffer->completionRequest);
        }
        PoolFree(buffer);
    }
}

VOID CompleteBufferRequest(ULONG bytes, PIRP request)
{
    request->IoStatus.Status = STATUS_SUCCESS;
    request->IoStatus.Information = bytes;
    IofCompleteRequest(request, IO_NO_INCREMENT);
}
