#include "request_completion.h"

#include "conduit.h"
#include "driver_context.h"
#include "pool.h"
#include "stream.h"

namespace {

// Whether the drain may complete the request of buffer, the DoneList's head,
// now. GlobalSpinLock held. Takes the cancel routine away.
bool DrainOwns(const QueuedBuffer* buffer)
{
    PIRP request = buffer->completionRequest;
    if (request == nullptr || IoSetCancelRoutine(request, nullptr) != nullptr) {
        return true;    // from now on a cancel finds no routine to run
    }
    if ((buffer->state & (BufferCancelled | BufferCancelSeen)) != 0) {
        return true;    // its routine has been and gone
    }
    // No routine and no claim: a canceller took the routine (Cancel was set
    // before that, and our exchange is ordered after it), or none was set.
    return request->Cancel == FALSE;
}

// The routine of request found its buffer already retired: marks it so that
// the drain completes it as it left its stream. GlobalSpinLock taken.
VOID ClaimFinishedBuffer(PIRP request)
{
    SpinLock* lock = GlobalDriver.globalSpinLock;
    lock->Acquire();
    for (SingleListNode* node = GlobalDriver.doneList->buffers.head; node != nullptr;
         node = node->next) {
        QueuedBuffer* buffer = QueuedBuffer::FromNode(node);
        if (buffer->completionRequest == request) {
            buffer->state |= BufferCancelSeen;
            break;
        }
    }
    lock->Release();
}

}  // namespace

VOID DoneList::Initialise()
{
    buffers.Initialise();
    retired = 0;
    completed = 0;
    drainer = nullptr;
}

VOID RetireBuffer(QueuedBuffer* buffer)
{
    SpinLock* lock = GlobalDriver.globalSpinLock;
    DoneList* done = GlobalDriver.doneList;
    lock->Acquire();
    done->buffers.Append(&buffer->link);
    ++done->retired;
    lock->Release();
}

ULONG RetiredSoFar()
{
    SpinLock* lock = GlobalDriver.globalSpinLock;
    lock->Acquire();
    const ULONG retired = GlobalDriver.doneList->retired;
    lock->Release();
    return retired;
}

VOID CompleteDoneBuffers()
{
    // At DISPATCH_LEVEL a drain is never preempted: on one processor nobody
    // can find it half done and wait for it.
    ASSERT(KeGetCurrentIrql() == DISPATCH_LEVEL);
    SpinLock* lock = GlobalDriver.globalSpinLock;
    DoneList* done = GlobalDriver.doneList;
    lock->Acquire();
    if (done->drainer != nullptr) {
        lock->Release();
        return;
    }
    done->drainer = KeGetCurrentThread();
    for (;;) {
        SingleListNode* node = done->buffers.head;
        if (node == nullptr || !DrainOwns(QueuedBuffer::FromNode(node))) {
            done->drainer = nullptr;
            lock->Release();
            return;
        }
        done->buffers.RemoveHead();
        lock->Release();
        QueuedBuffer* buffer = QueuedBuffer::FromNode(node);
        if (buffer->completionRequest != nullptr) {
            const NTSTATUS status =
                (buffer->state & BufferCancelled) != 0 ? STATUS_CANCELLED : STATUS_SUCCESS;
            CompleteRequest(buffer->completionRequest, status, buffer->done);
        }
        PoolFree(buffer);
        lock->Acquire();
        ++done->completed;
    }
}

VOID AwaitCompletions(ULONG mark)
{
    ASSERT(KeGetCurrentIrql() == DISPATCH_LEVEL);
    SpinLock* lock = GlobalDriver.globalSpinLock;
    const DoneList* done = GlobalDriver.doneList;
    for (;;) {
        lock->Acquire();
        // The counts wrap: compare by distance. The drain of another
        // processor is at DISPATCH_LEVEL too and soon done.
        const bool settled = static_cast<LONG>(done->completed - mark) >= 0
            || done->drainer == KeGetCurrentThread();
        lock->Release();
        if (settled) {
            return;
        }
        YieldProcessor();
    }
}

bool ArmCancelRoutine(PIRP request)
{
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    const bool cancelled = request->Cancel != FALSE;
    if (!cancelled) {
        static_cast<VOID>(IoSetCancelRoutine(request, CancelBufferRequest));
    }
    IoReleaseCancelSpinLock(cancelIrql);
    return !cancelled;
}

VOID NTAPI CancelBufferRequest(PDEVICE_OBJECT device, PIRP request)
{
    UNREFERENCED_PARAMETER(device);
    // From IoCancelIrp to the claim the processor stays at DISPATCH_LEVEL: a
    // drain that finds this routine taken waits for the claim, so nothing
    // may preempt us in between. The cancel spin lock goes first (it is
    // never held around the engine lock).
    const KIRQL previous = request->CancelIrql;
    IoReleaseCancelSpinLock(DISPATCH_LEVEL);
    Conduit* conduit = GlobalDriver.conduit;
    static_cast<VOID>(conduit->EnterEngine());
    if (!conduit->WithdrawBuffer(request)) {
        ClaimFinishedBuffer(request);
    }
    // Completes this request (and whatever was retired before it).
    conduit->LeaveEngine(previous);
}

NTSTATUS CompleteRequest(PIRP request, NTSTATUS status, ULONG_PTR bytes)
{
    request->IoStatus.Status = status;
    request->IoStatus.Information = bytes;
    IoCompleteRequest(request, IO_NO_INCREMENT);
    return status;
}
