#include "stream.h"
#include "driver_context.h"
#include "mix_samples.h"
#include "request_completion.h"

VOID Stream::Initialise(Endpoint* owner, HANDLE opener)
{
    link.next = nullptr;
    endpoint = owner;
    queue.Initialise();
    loopCount = 0;
    loopCursor = nullptr;
    openerProcess = opener;
    flags = 0;
    ResetState();
}

VOID Stream::ResetState()
{
    SpinLock* lock = GlobalDriver.globalSpinLock;
    lock->Acquire();
    position = 0;
    flags &= static_cast<USHORT>(~(StreamPaused | StreamLoopOpen));
    loopCount = 0;
    if (IsCapture()) {
        flags |= StreamPaused;
    }
    lock->Release();
}

QueuedBuffer* Stream::CurrentBuffer() const
{
    if (loopCount != 0) {
        return loopCursor;
    }
    return QueuedBuffer::FromNode(queue.head);
}

ULONG Stream::BytesAvailable() const
{
    const QueuedBuffer* current = CurrentBuffer();
    if (!IsRunning() || current == nullptr) {
        return 0;
    }
    return current->length - current->done;
}

VOID Stream::EnterCurrent()
{
    QueuedBuffer* current = CurrentBuffer();
    if (current == nullptr) {
        return;
    }
    current->done = 0;
    if ((current->state & BufferLoopStart) != 0) {
        loopCount = current->loops;
        current->state &= ~BufferLoopStart;
        loopCursor = current;
    }
}

VOID Stream::AddBuffer(QueuedBuffer* buffer)
{
    ASSERT(endpoint->conduit->EngineHeld());
    if (!IsCapture()) {
        if ((buffer->headerFlags & WHDR_BEGINLOOP) != 0 && buffer->loops != 0
            && (flags & StreamLoopOpen) == 0) {
            flags |= StreamLoopOpen;
            buffer->state |= BufferLoopStart;
        }
        if ((flags & StreamLoopOpen) != 0) {
            buffer->state |= BufferInLoop;
            if ((buffer->headerFlags & WHDR_ENDLOOP) != 0) {
                buffer->state |= BufferLoopEnd;
                flags &= static_cast<USHORT>(~StreamLoopOpen);
            }
        }
    }
    queue.Append(&buffer->link);
    if (queue.head == &buffer->link) {
        EnterCurrent();
    }
}

VOID Stream::Start()
{
    flags &= static_cast<USHORT>(~StreamPaused);
}

VOID Stream::Pause()
{
    flags |= StreamPaused;
    if (IsCapture()) {
        // The client gets back what was recorded so far.
        const QueuedBuffer* current = CurrentBuffer();
        if (current != nullptr && current->done != 0) {
            FinishCurrent();
        }
    }
}

VOID Stream::BreakLoop()
{
    if (loopCount != 0) {
        loopCount = 1;
    }
}

VOID Stream::Reset()
{
    ASSERT(endpoint->conduit->EngineHeld());
    // RetireHead enters each new head; a loop entered that way is dropped at
    // once so loopCursor never follows a buffer out of the queue.
    loopCount = 0;
    while (RetireHead()) {
        loopCount = 0;
    }
    ResetState();
}

bool Stream::RetireHead()
{
    SingleListNode* node = queue.RemoveHead();
    if (node == nullptr) {
        return false;
    }
    EnterCurrent();
    // Once retired the buffer belongs to the drain, which may complete and
    // free it at any moment: nothing touches it afterwards.
    RetireBuffer(QueuedBuffer::FromNode(node));
    return true;
}

VOID Stream::Withdraw(QueuedBuffer* buffer)
{
    ASSERT(endpoint->conduit->EngineHeld());
    // Where buffer stands: its predecessor, whether it is in the loop being
    // played (members from the head up to the first end), and the start of
    // a loop not yet entered that it belongs to.
    QueuedBuffer* previous = nullptr;
    QueuedBuffer* waitingStart = nullptr;
    bool inRunningLoop = loopCount != 0;
    for (SingleListNode* node = queue.head; node != &buffer->link; node = node->next) {
        previous = QueuedBuffer::FromNode(node);
        if ((previous->state & BufferLoopStart) != 0) {
            waitingStart = previous;
        }
        if ((previous->state & BufferInLoop) == 0 || (previous->state & BufferLoopEnd) != 0) {
            waitingStart = nullptr;
            inRunningLoop = false;
        }
    }
    const ULONG state = buffer->state;
    const bool member = (state & BufferInLoop) != 0;
    inRunningLoop = inRunningLoop && member;
    const bool current = buffer == CurrentBuffer();
    QueuedBuffer* following = nullptr;     // the loop member after buffer
    if (member && (state & BufferLoopEnd) == 0 && buffer->link.next != nullptr) {
        following = QueuedBuffer::FromNode(buffer->link.next);
    }
    const bool memberBefore = member && previous != nullptr
        && (previous->state & BufferInLoop) != 0 && (previous->state & BufferLoopEnd) == 0;

    if (member) {
        // The loop keeps its marks on the members that stay.
        if ((state & BufferLoopStart) != 0) {
            waitingStart = following;
            if (following != nullptr) {
                following->state |= BufferLoopStart;
            }
        }
        if ((state & BufferLoopEnd) != 0 && memberBefore) {
            previous->state |= BufferLoopEnd;
        }
        if (following == nullptr && !memberBefore && (state & BufferLoopEnd) == 0) {
            // The only member of a loop still open: nothing of it stays.
            flags &= static_cast<USHORT>(~StreamLoopOpen);
        }
        if (waitingStart != nullptr) {
            waitingStart->loops = 1;
        }
        if (inRunningLoop) {
            loopCount = 1;
        }
    }
    queue.Remove(&buffer->link);
    RetireBuffer(buffer);
    if (!current) {
        return;
    }
    if (!inRunningLoop) {
        EnterCurrent();
        return;
    }
    if (following != nullptr) {
        // The pass goes on with the next member.
        loopCursor = following;
        EnterCurrent();
        return;
    }
    // The pass ended with buffer, and with it the loop: the members played
    // before it leave, up to the one that now ends the loop.
    loopCount = 0;
    loopCursor = nullptr;
    if (memberBefore) {
        previous->state |= BufferLoopEnd;
        flags &= static_cast<USHORT>(~StreamLoopOpen);
        for (;;) {
            const bool end = (QueuedBuffer::FromNode(queue.head)->state & BufferLoopEnd) != 0;
            RetireHead();
            if (end) {
                break;
            }
        }
    }
    EnterCurrent();
}

VOID Stream::FinishCurrent()
{
    QueuedBuffer* current = CurrentBuffer();
    if (current == nullptr) {
        return;
    }
    if (IsCapture() || (current->state & BufferInLoop) == 0 || loopCount == 0) {
        RetireHead();
        return;
    }
    const bool isEnd = (current->state & BufferLoopEnd) != 0;
    SingleListNode* following = current->link.next;
    if (!isEnd && following != nullptr) {
        // Members are queued contiguously: the next buffer is in the loop.
        loopCursor = QueuedBuffer::FromNode(following);
        EnterCurrent();
        return;
    }
    --loopCount;
    if (!isEnd) {
        // The pass ran out of queued buffers before the loop's end was
        // queued: this buffer becomes the end, later buffers are not members.
        current->state |= BufferLoopEnd;
        flags &= static_cast<USHORT>(~StreamLoopOpen);
    }
    if (loopCount != 0) {
        loopCursor = QueuedBuffer::FromNode(queue.head);
        EnterCurrent();
        return;
    }
    loopCursor = nullptr;
    for (;;) {
        const QueuedBuffer* head = QueuedBuffer::FromNode(queue.head);
        if (head == nullptr) {
            break;
        }
        // Read before retiring: the drain may free it right after.
        const bool headIsEnd = (head->state & BufferLoopEnd) != 0;
        RetireHead();
        if (headIsEnd) {
            break;
        }
    }
    EnterCurrent();
}

ULONG Stream::Transfer(PUCHAR mix, ULONG count)
{
    const bool capture = IsCapture();
    const ULONG width = endpoint->conduit->bytesPerSample;
    ULONG total = 0;
    for (;;) {
        QueuedBuffer* current = CurrentBuffer();
        ULONG n = BytesAvailable();
        if (n > count) {
            n = count;
        }
        if (n != 0) {
            if (capture) {
                RtlCopyMemory(current->data + current->done, mix, n);
            } else {
                // Below mixFilled another Out stream was here first: mix.
                // Above it this stream is the first: mixing into silence
                // is a copy.
                Conduit* conduit = endpoint->conduit;
                const ULONG offset = static_cast<ULONG>(mix - conduit->mixBuffer);
                const ULONG filled = conduit->mixFilled > offset ? conduit->mixFilled - offset : 0;
                const ULONG mixed = filled < n ? filled : n;
                const ULONG samples = mixed / width;
                if (samples != 0) {
                    MixSamples(mix, current->data + current->done, samples, width);
                }
                if (mixed < n) {
                    RtlCopyMemory(mix + mixed, current->data + current->done + mixed, n - mixed);
                    conduit->mixFilled = offset + n;
                }
            }
            mix += n;
            total += n;
            count -= n;
            position += n;
            current->done += n;
        }
        if (current != nullptr && current->done == current->length) {
            FinishCurrent();
        }
        if (count == 0 || CurrentBuffer() == nullptr || !IsRunning()) {
            return total;
        }
    }
}
