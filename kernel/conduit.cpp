#include "conduit.h"
#include "pool.h"
#include "request_completion.h"
#include "stream.h"

namespace {

constexpr ULONG TickPeriodMs = 100;

} // namespace

ULONG QueryMilliseconds()
{
    // The kernel publishes the 64-bit count as High2Time, LowPart, High1Time;
    // reading in the opposite order and retrying until the highs agree gives
    // a consistent value without a lock. Acquire loads keep the three reads
    // in that order (plain moves on x86).
    ULONG low;
    LONG high1;
    LONG high2;
    do {
        high1 = __atomic_load_n(&KeTickCount.High1Time, __ATOMIC_ACQUIRE);
        low = __atomic_load_n(&KeTickCount.LowPart, __ATOMIC_ACQUIRE);
        high2 = __atomic_load_n(&KeTickCount.High2Time, __ATOMIC_ACQUIRE);
    } while (high1 != high2);
    const ULONGLONG ticks = (static_cast<ULONGLONG>(static_cast<ULONG>(high1)) << 32) | low;
    return static_cast<ULONG>(ticks * KeQueryTimeIncrement() / 10000);
}

VOID Endpoint::Initialise(Conduit* owner, USHORT endpointFlags)
{
    flags = endpointFlags;
    conduit = owner;
    streams.Initialise();
}

bool Endpoint::AttachStream(Stream* stream)
{
    if (!conduit->StartClock()) {
        return false;
    }
    streams.Append(&stream->link);
    return true;
}

VOID Endpoint::DetachStream(Stream* stream)
{
    // Only an attached stream counts in clockUsers: a stray detach must not
    // stop the clock under other streams.
    if (!HasStream(stream)) {
        return;
    }
    conduit->StopClock();
    streams.Remove(&stream->link);
}

bool Endpoint::HasStream(const Stream* stream) const
{
    // Never a member access through stream: it may be misaligned or unmapped.
    for (SingleListNode* node = streams.head; node != nullptr; node = node->next) {
        if (Stream::FromNode(node) == stream) {
            return true;
        }
    }
    return false;
}

VOID Conduit::Initialise()
{
    inEndpoint.Initialise(this, EndpointCapture);
    outEndpoint.Initialise(this, 0);
    clockUsers = 0;
    format = WAVEFORMATEX{};
    bytesPerSample = 1;
    timer.Initialise(&Conduit::OnTimer, this);
    lastTickMs = 0;
    mixBuffer = nullptr;
    mixBufferSize = 0;
    mixFilled = 0;
    engineLock.Initialise();
    engineOwner = nullptr;
}

VOID Conduit::Destroy()
{
    // Closing under the engine lock makes any DPC still on its way find the
    // timer closed, so nothing re-arms it after this point.
    TakeEngineLock();
    if (timer.open) {
        timer.Close();
    }
    if (mixBuffer != nullptr) {
        PoolFree(mixBuffer);
        mixBuffer = nullptr;
    }
    DropEngineLock();
    timer.Destroy();
}

KIRQL Conduit::EnterEngine()
{
    ASSERT(KeGetCurrentIrql() <= DISPATCH_LEVEL);
    KIRQL previous;
    KeRaiseIrql(DISPATCH_LEVEL, &previous);
    TakeEngineLock();
    return previous;
}

VOID Conduit::LeaveEngine(KIRQL previous)
{
    const ULONG mark = RetiredSoFar();
    DropEngineLock();
    // Still at DISPATCH_LEVEL: no drain is left half done on this processor.
    CompleteDoneBuffers();
    AwaitCompletions(mark);
    KeLowerIrql(previous);
}

VOID Conduit::TakeEngineLock()
{
    engineLock.Acquire();
    engineOwner = KeGetCurrentThread();
}

VOID Conduit::DropEngineLock()
{
    ASSERT(EngineHeld());
    engineOwner = nullptr;
    engineLock.Release();
}

bool Conduit::CheckFormat(const WAVEFORMATEX& f) const
{
    if (clockUsers != 0) {
        return f.wFormatTag == format.wFormatTag
            && f.nSamplesPerSec == format.nSamplesPerSec
            && f.nChannels == format.nChannels
            && f.wBitsPerSample == format.wBitsPerSample
            && f.nBlockAlign == format.nBlockAlign;
    }
    return f.nSamplesPerSec != 0
        && f.nChannels != 0
        && f.wBitsPerSample >= 1 && f.wBitsPerSample <= 32
        && f.nBlockAlign != 0
        && f.nBlockAlign == static_cast<ULONG>((f.wBitsPerSample + 7) / 8) * f.nChannels;
}

VOID Conduit::SetFormat(const WAVEFORMATEX& f)
{
    format = f;
    format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
    bytesPerSample = static_cast<USHORT>(format.nBlockAlign / format.nChannels);
}

Stream* Conduit::OpenStream(Endpoint& endpoint, const WAVEFORMATEX& candidate, HANDLE opener)
{
    ASSERT(EngineHeld() && CheckFormat(candidate));
    Stream* stream = static_cast<Stream*>(PoolAllocate(sizeof(Stream)));
    if (stream == nullptr) {
        return nullptr;
    }
    stream->Initialise(&endpoint, opener);
    if (clockUsers == 0) {
        SetFormat(candidate);
    }
    if (!endpoint.AttachStream(stream)) {
        PoolFree(stream);
        return nullptr;
    }
    return stream;
}

VOID Conduit::CloseStream(Stream* stream)
{
    ASSERT(EngineHeld() && stream->queue.IsEmpty());
    stream->endpoint->DetachStream(stream);
    PoolFree(stream);
}

ULONGLONG Conduit::BytesForMs(ULONG ms) const
{
    ULONGLONG frames = (static_cast<ULONGLONG>(format.nSamplesPerSec) * ms + 500) / 1000;
    if (frames == 0) {
        frames = 1;
    }
    return frames * format.nBlockAlign;
}

bool Conduit::StartClock()
{
    ASSERT(EngineHeld());
    if (clockUsers++ != 0) {
        return true;
    }
    bool opened = false;
    const ULONGLONG size = BytesForMs(TickPeriodMs);
    // A rate so high that 100 ms does not fit in 32 bits gets no clock.
    if (size <= MAXULONG) {
        mixBufferSize = static_cast<ULONG>(size);
        mixBuffer = static_cast<PUCHAR>(PoolAllocate(mixBufferSize));
    }
    if (mixBuffer != nullptr) {
        opened = timer.Open();
        if (opened) {
            lastTickMs = QueryMilliseconds();
            if (timer.Arm(TickPeriodMs)) {
                return true;
            }
        }
    }
    if (opened) {
        timer.Close();
    }
    if (mixBuffer != nullptr) {
        PoolFree(mixBuffer);
        mixBuffer = nullptr;
    }
    --clockUsers;
    return false;
}

VOID Conduit::StopClock()
{
    if (clockUsers == 0) {
        return;
    }
    if (--clockUsers != 0) {
        return;
    }
    // A DPC already running on another processor waits for the engine lock
    // and then finds the timer closed; the mix buffer can go now.
    timer.Close();
    if (mixBuffer != nullptr) {
        PoolFree(mixBuffer);
        mixBuffer = nullptr;
    }
}

VOID Conduit::Tick()
{
    ASSERT(EngineHeld());
    const ULONG now = QueryMilliseconds();
    ULONGLONG remaining = BytesForMs(now - lastTickMs);
    const UCHAR silence = bytesPerSample < 2 ? 0x80 : 0;
    while (remaining != 0) {
        const ULONG chunk = remaining < mixBufferSize ? static_cast<ULONG>(remaining) : mixBufferSize;
        // Every Out stream mixes the chunk before any In stream copies it.
        // The chunk starts as silence: what no Out stream reached is
        // silenced after the Out pass (see mixFilled).
        mixFilled = 0;
        TransferAll(outEndpoint, chunk);
        RtlFillMemory(mixBuffer + mixFilled, chunk - mixFilled, silence);
        TransferAll(inEndpoint, chunk);
        remaining -= chunk;
    }
    lastTickMs = now;
}

VOID Conduit::TransferAll(Endpoint& endpoint, ULONG chunk)
{
    for (SingleListNode* node = endpoint.streams.head; node != nullptr; node = node->next) {
        Stream* stream = Stream::FromNode(node);
        if (!stream->queue.IsEmpty()) {
            stream->Transfer(mixBuffer, chunk);
        }
    }
}

bool Conduit::WithdrawBuffer(PIRP request)
{
    ASSERT(EngineHeld());
    Endpoint* const endpoints[2] = {&outEndpoint, &inEndpoint};
    for (Endpoint* endpoint : endpoints) {
        for (SingleListNode* node = endpoint->streams.head; node != nullptr; node = node->next) {
            Stream* stream = Stream::FromNode(node);
            // loopCursor is always a queue member: the queue is the whole
            // stream.
            for (SingleListNode* item = stream->queue.head; item != nullptr; item = item->next) {
                QueuedBuffer* buffer = QueuedBuffer::FromNode(item);
                if (buffer->completionRequest == request) {
                    buffer->state |= BufferCancelled;
                    stream->Withdraw(buffer);
                    return true;
                }
            }
        }
    }
    return false;
}

VOID Conduit::ReleaseStreams(HANDLE process, bool allProcesses)
{
    ASSERT(EngineHeld());
    Endpoint* const endpoints[2] = {&outEndpoint, &inEndpoint};
    for (Endpoint* endpoint : endpoints) {
        SingleListNode* node = endpoint->streams.head;
        while (node != nullptr) {
            // Taken first: the close unlinks node.
            SingleListNode* following = node->next;
            Stream* stream = Stream::FromNode(node);
            if (allProcesses || stream->openerProcess == process) {
                stream->Reset();
                CloseStream(stream);
            }
            node = following;
        }
    }
}

VOID Conduit::OnTimer(PVOID context)
{
    ASSERT(KeGetCurrentIrql() == DISPATCH_LEVEL);
    Conduit* conduit = static_cast<Conduit*>(context);
    conduit->TakeEngineLock();
    // A DPC queued or started before StopClock closed the timer finds it
    // closed here and neither ticks nor re-arms.
    if (conduit->timer.open) {
        conduit->Tick();
        static_cast<VOID>(conduit->timer.Arm(TickPeriodMs));
    }
    conduit->DropEngineLock();
    // The DPC never waits for another drain: that one completes ours too.
    CompleteDoneBuffers();
}
