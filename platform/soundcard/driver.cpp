// The stand-in sound card's installable wave driver: "Host Speaker" (wave
// out) and "Host Microphone" (wave in), any PCM format, any number of opens.
// Each process that uses the wave API loads its own copy.
//
// An open stream moves bytes at its format's byte rate from the stand-in
// clock (timeGetTime), virtual or real, through its queue of buffers in
// order, and completes each with WHDR_DONE and a callback once full (in) or
// played (out). Its thread waits on the clock until the head buffer is due.
//
//   speaker     playing <-> paused (WODM_PAUSE / WODM_RESTART); starts playing
//   microphone  stopped <-> started (WIDM_START / WIDM_STOP); starts stopped
//
// A playing speaker with no buffer, and a started microphone with none,
// move nothing: the speaker is silent, the microphone's sound is lost.
// Reset returns every buffer at once and sets the position to 0; it leaves
// the speaker paused or playing and stops the microphone. Loop flags are
// not honoured: every buffer plays once.
//
// Each stream's lock guards its queue and counters; callbacks are made under
// it, so that they keep the order of completion (a function callback must
// not call the driver, as on Windows).
#include <windows.h>
#include <mmddk.h>

#include <deque>

#include "hardware.h"

namespace {

struct CardStream {
    HOST_CARD_DEVICE device;
    WAVEOPENDESC open;
    DWORD callbackType;                 // DCB_*
    WAVEFORMATEX format;
    CRITICAL_SECTION lock;
    std::deque<WAVEHDR*> queue;         // lock; each header's reserved: bytes moved
    bool running = false;               // lock; playing or started
    bool closing = false;               // lock
    DWORD origin = 0;                   // lock; clock time at which originBytes
    ULONGLONG originBytes = 0;          //   had moved
    ULONGLONG moved = 0;                // lock; bytes since reset
    HANDLE wake = nullptr;              // auto-reset: the queue or state changed
    HANDLE thread = nullptr;
};

hostcard::PcmFormat Pcm(const WAVEFORMATEX& format)
{
    return {format.nChannels, format.nSamplesPerSec, format.nAvgBytesPerSec,
            format.wBitsPerSample, format.nBlockAlign};
}

UINT DoneMessage(const CardStream& stream)
{
    return stream.device == HostCardSpeaker ? WOM_DONE : WIM_DATA;
}

VOID Notify(const WAVEOPENDESC& open, DWORD callbackType, UINT message, DWORD_PTR parameter)
{
    DriverCallback(open.dwCallback, callbackType, reinterpret_cast<HDRVR>(open.hWave), message,
                   open.dwInstance, parameter, 0);
}

// Under the lock: the head buffer is finished.
VOID Complete(CardStream& stream)
{
    WAVEHDR* header = stream.queue.front();
    stream.queue.pop_front();
    header->dwFlags = (header->dwFlags & ~DWORD(WHDR_INQUEUE)) | WHDR_DONE;
    hostcard::BufferCompleted();
    Notify(stream.open, stream.callbackType, DoneMessage(stream),
           reinterpret_cast<DWORD_PTR>(header));
}

// Under the lock: from now on bytes are due at the byte rate.
VOID Rebase(CardStream& stream, DWORD now)
{
    stream.origin = now;
    stream.originBytes = stream.moved;
}

// Under the lock: moves every byte due by now.
VOID Advance(CardStream& stream, DWORD now)
{
    if (!stream.running) {
        return;
    }
    const DWORD rate = stream.format.nAvgBytesPerSec;
    const ULONGLONG due = stream.originBytes + ULONGLONG(DWORD(now - stream.origin)) * rate / 1000;
    while (stream.moved < due && !stream.queue.empty()) {
        WAVEHDR* header = stream.queue.front();
        const ULONGLONG left = header->dwBufferLength - header->reserved;
        const DWORD size = DWORD(due - stream.moved < left ? due - stream.moved : left);
        BYTE* bytes = reinterpret_cast<BYTE*>(header->lpData) + header->reserved;
        if (stream.device == HostCardSpeaker) {
            const DWORD time = stream.origin
                               + DWORD((stream.moved - stream.originBytes) * 1000 / rate);
            hostcard::SpeakerPlayed(bytes, size, time, Pcm(stream.format));
        } else {
            hostcard::MicrophoneHears(bytes, size, stream.moved, Pcm(stream.format));
            header->dwBytesRecorded += size;
        }
        header->reserved += size;
        stream.moved += size;
        if (header->reserved == header->dwBufferLength) {
            Complete(stream);
        }
    }
    if (stream.queue.empty()) {
        // Nothing to move into or out of: what was due is lost.
        Rebase(stream, now);
    }
}

// Under the lock: ms until the head buffer is due, or INFINITE.
DWORD NextWait(const CardStream& stream, DWORD now)
{
    if (!stream.running || stream.queue.empty()) {
        return INFINITE;
    }
    const WAVEHDR* header = stream.queue.front();
    const ULONGLONG end = stream.moved + (header->dwBufferLength - header->reserved)
                          - stream.originBytes;
    const DWORD rate = stream.format.nAvgBytesPerSec;
    const DWORD dueAt = stream.origin + DWORD((end * 1000 + rate - 1) / rate);
    const LONG wait = LONG(dueAt - now);
    return wait > 0 ? DWORD(wait) : 0;
}

DWORD WINAPI StreamThread(LPVOID parameter)
{
    CardStream& stream = *static_cast<CardStream*>(parameter);
    for (;;) {
        EnterCriticalSection(&stream.lock);
        const DWORD now = timeGetTime();
        Advance(stream, now);
        const DWORD wait = NextWait(stream, now);
        const bool closing = stream.closing;
        LeaveCriticalSection(&stream.lock);
        if (closing) {
            break;
        }
        WaitForSingleObject(stream.wake, wait);
    }
    return 0;
}

// Under the lock: every buffer back, position 0.
VOID Reset(CardStream& stream)
{
    Advance(stream, timeGetTime());
    while (!stream.queue.empty()) {
        Complete(stream);
    }
    stream.moved = 0;
    Rebase(stream, timeGetTime());
}

VOID DestroyStream(CardStream* stream)
{
    if (stream->thread != nullptr) {
        EnterCriticalSection(&stream->lock);
        stream->closing = true;
        LeaveCriticalSection(&stream->lock);
        SetEvent(stream->wake);
        WaitForSingleObject(stream->thread, INFINITE);
        CloseHandle(stream->thread);
    }
    if (stream->wake != nullptr) {
        CloseHandle(stream->wake);
    }
    DeleteCriticalSection(&stream->lock);
    delete stream;
}

MMRESULT OpenStream(HOST_CARD_DEVICE device, DWORD_PTR* instance, const WAVEOPENDESC* open,
                    DWORD flags)
{
    const WAVEFORMATEX* format = reinterpret_cast<const WAVEFORMATEX*>(open->lpFormat);
    if (format->wFormatTag != WAVE_FORMAT_PCM || format->nBlockAlign == 0
        || format->nAvgBytesPerSec == 0 || !hostcard::Accepts(device, Pcm(*format))) {
        return WAVERR_BADFORMAT;
    }
    if ((flags & WAVE_FORMAT_QUERY) != 0) {
        return MMSYSERR_NOERROR;
    }
    if (hostcard::Refused(device, HostCardOpen)) {
        return MMSYSERR_ALLOCATED;
    }
    CardStream* stream = new CardStream;
    stream->device = device;
    stream->open = *open;
    stream->callbackType = HIWORD(flags) & DCB_TYPEMASK;
    stream->format = *format;
    stream->format.cbSize = 0;
    stream->running = device == HostCardSpeaker;
    Rebase(*stream, timeGetTime());
    InitializeCriticalSection(&stream->lock);
    stream->wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (stream->wake != nullptr) {
        stream->thread = CreateThread(nullptr, 0, StreamThread, stream, 0, nullptr);
    }
    if (stream->thread == nullptr) {
        DestroyStream(stream);
        return MMSYSERR_NOMEM;
    }
    *instance = reinterpret_cast<DWORD_PTR>(stream);
    Notify(stream->open, stream->callbackType, device == HostCardSpeaker ? WOM_OPEN : WIM_OPEN, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT CloseStream(CardStream* stream)
{
    EnterCriticalSection(&stream->lock);
    const bool busy = !stream->queue.empty();
    LeaveCriticalSection(&stream->lock);
    if (busy) {
        return WAVERR_STILLPLAYING;
    }
    const UINT closed = stream->device == HostCardSpeaker ? WOM_CLOSE : WIM_CLOSE;
    const WAVEOPENDESC open = stream->open;
    const DWORD callbackType = stream->callbackType;
    DestroyStream(stream);
    if (closed == WOM_CLOSE) {
        hostcard::SpeakerStopped();
    }
    Notify(open, callbackType, closed, 0);
    return MMSYSERR_NOERROR;
}

MMRESULT QueueBuffer(CardStream& stream, WAVEHDR* header)
{
    if (hostcard::Refused(stream.device, HostCardQueue)) {
        return MMSYSERR_NOMEM;
    }
    EnterCriticalSection(&stream.lock);
    const DWORD now = timeGetTime();
    Advance(stream, now);
    header->dwFlags = (header->dwFlags & ~DWORD(WHDR_DONE)) | WHDR_INQUEUE;
    header->reserved = 0;
    if (stream.device == HostCardMicrophone) {
        header->dwBytesRecorded = 0;
    }
    if (stream.queue.empty()) {
        Rebase(stream, now);
    }
    stream.queue.push_back(header);
    LeaveCriticalSection(&stream.lock);
    SetEvent(stream.wake);
    return MMSYSERR_NOERROR;
}

// WODM_PAUSE / WODM_RESTART, WIDM_START / WIDM_STOP.
MMRESULT Run(CardStream& stream, bool run)
{
    if (run && stream.device == HostCardMicrophone && hostcard::Refused(stream.device, HostCardStart)) {
        return MMSYSERR_ERROR;
    }
    EnterCriticalSection(&stream.lock);
    const DWORD now = timeGetTime();
    Advance(stream, now);
    if (!run && stream.device == HostCardMicrophone && !stream.queue.empty()
        && stream.queue.front()->dwBytesRecorded != 0) {
        Complete(stream);
    }
    if (run && !stream.running) {
        Rebase(stream, now);
    }
    stream.running = run;
    LeaveCriticalSection(&stream.lock);
    SetEvent(stream.wake);
    return MMSYSERR_NOERROR;
}

MMRESULT Position(CardStream& stream, MMTIME* time)
{
    EnterCriticalSection(&stream.lock);
    Advance(stream, timeGetTime());
    time->wType = TIME_BYTES;
    time->u.cb = DWORD(stream.moved);
    LeaveCriticalSection(&stream.lock);
    return MMSYSERR_NOERROR;
}

template <typename Caps>
MMRESULT Capabilities(HOST_CARD_DEVICE device, Caps* caps)
{
    static const char16_t* const names[] = {u"Host Speaker", u"Host Microphone"};
    *caps = Caps{};
    caps->wMid = 1;
    caps->wPid = WORD(device + 1);
    caps->vDriverVersion = 0x0100;
    for (int i = 0; names[device][i] != 0; ++i) {
        caps->szPname[i] = names[device][i];
    }
    caps->dwFormats = 0xFFFFF;
    caps->wChannels = 2;
    return MMSYSERR_NOERROR;
}

DWORD Message(HOST_CARD_DEVICE device, UINT id, UINT message, DWORD_PTR user,
              DWORD_PTR param1, DWORD_PTR param2)
{
    CardStream* stream = reinterpret_cast<CardStream*>(user);
    const bool speaker = device == HostCardSpeaker;
    DWORD result = MMSYSERR_NOTSUPPORTED;
    if (message == DRVM_INIT || message == DRVM_EXIT) {
        result = MMSYSERR_NOERROR;
    } else if (message == (speaker ? WODM_GETNUMDEVS : WIDM_GETNUMDEVS)) {
        result = hostcard::Present(device) ? 1 : 0;
    } else if (id != 0 || !hostcard::Present(device)) {
        result = MMSYSERR_BADDEVICEID;
    } else if (message == WODM_GETDEVCAPS && speaker) {
        result = Capabilities(device, reinterpret_cast<WAVEOUTCAPSW*>(param1));
    } else if (message == WIDM_GETDEVCAPS && !speaker) {
        result = Capabilities(device, reinterpret_cast<WAVEINCAPSW*>(param1));
    } else if (message == (speaker ? WODM_OPEN : WIDM_OPEN)) {
        result = OpenStream(device, reinterpret_cast<DWORD_PTR*>(user),
                            reinterpret_cast<const WAVEOPENDESC*>(param1), DWORD(param2));
    } else if (message == (speaker ? WODM_CLOSE : WIDM_CLOSE)) {
        result = CloseStream(stream);
    } else if (message == (speaker ? WODM_WRITE : WIDM_ADDBUFFER)) {
        result = QueueBuffer(*stream, reinterpret_cast<WAVEHDR*>(param1));
    } else if (message == (speaker ? WODM_RESTART : WIDM_START)) {
        result = Run(*stream, true);
    } else if (message == (speaker ? WODM_PAUSE : WIDM_STOP)) {
        result = Run(*stream, false);
    } else if (message == (speaker ? WODM_RESET : WIDM_RESET)) {
        EnterCriticalSection(&stream->lock);
        Reset(*stream);
        stream->running = stream->running && speaker;
        LeaveCriticalSection(&stream->lock);
        if (speaker) {
            hostcard::SpeakerStopped();
        }
        result = MMSYSERR_NOERROR;
    } else if (message == (speaker ? WODM_GETPOS : WIDM_GETPOS)) {
        result = Position(*stream, reinterpret_cast<MMTIME*>(param1));
    }
    return result;
}

} // namespace

extern "C" DWORD WINAPI wodMessage(UINT id, UINT message, DWORD_PTR user, DWORD_PTR param1,
                                   DWORD_PTR param2)
{
    return Message(HostCardSpeaker, id, message, user, param1, param2);
}

extern "C" DWORD WINAPI widMessage(UINT id, UINT message, DWORD_PTR user, DWORD_PTR param1,
                                   DWORD_PTR param2)
{
    return Message(HostCardMicrophone, id, message, user, param1, param2);
}

extern "C" LRESULT WINAPI DriverProc(DWORD_PTR id, HDRVR driver, UINT message, LPARAM param1,
                                     LPARAM param2)
{
    LRESULT result = 1;
    if (message < DRV_LOAD || message > DRV_FREE) {
        result = DefDriverProc(id, driver, message, param1, param2);
    }
    return result;
}
