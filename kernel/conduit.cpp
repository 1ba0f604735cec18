#include "conduit.h"
#include "done_buffers.h"
#include "pool.h"
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
    streams.Append(stream->Node());
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
    streams.Remove(stream->Node());
}

bool Endpoint::HasStream(const Stream* stream) const
{
    // stream is the caller's untrusted handle: compare its address only,
    // never call a member through it (it may be misaligned or unmapped).
    return stream != nullptr
        && streams.Contains(reinterpret_cast<const SingleListNode*>(stream));
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
}

VOID Conduit::Destroy()
{
    // Closing under the engine lock makes any DPC still on its way find the
    // timer closed, so nothing re-arms it after this point.
    engineLock.Acquire();
    if (timer.openCount != 0) {
        timer.Close();
    }
    if (mixBuffer != nullptr) {
        PoolFree(mixBuffer);
        mixBuffer = nullptr;
    }
    engineLock.Release();
    timer.Destroy();
}

VOID Conduit::LockEngine()
{
    engineLock.Acquire();
}

VOID Conduit::UnlockEngine()
{
    engineLock.Release();
    CompleteDoneBuffers();
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

bool Conduit::CancelBuffer(PIRP request)
{
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
                    stream->Reset();
                    return true;
                }
            }
        }
    }
    // Finished meanwhile (by a tick, a pause or a reset): retired already.
    return ClaimFinishedBuffer(request);
}

VOID Conduit::ReleaseStreams(HANDLE process, bool allProcesses)
{
    Endpoint* const endpoints[2] = {&outEndpoint, &inEndpoint};
    for (Endpoint* endpoint : endpoints) {
        SingleListNode* node = endpoint->streams.head;
        while (node != nullptr) {
            // Taken first: the detach unlinks node.
            SingleListNode* following = node->next;
            Stream* stream = Stream::FromNode(node);
            if (allProcesses || stream->openerProcess == process) {
                stream->Reset();
                endpoint->DetachStream(stream);
                PoolFree(stream);
            }
            node = following;
        }
    }
}

VOID Conduit::OnTimer(PVOID context, ULONG value)
{
    Conduit* conduit = static_cast<Conduit*>(context);
    conduit->engineLock.Acquire();
    // A DPC queued or started before StopClock closed the timer finds it
    // closed here and neither ticks nor re-arms.
    if (conduit->timer.openCount != 0) {
        conduit->Tick();
        conduit->timer.Arm(value < TickPeriodMs ? TickPeriodMs - value : 1);
    }
    conduit->engineLock.Release();
    CompleteDoneBuffers();
}
