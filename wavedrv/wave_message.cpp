#include "wave_message.h"

#include <atomic>

#include "kernel_link.h"
#include "wave_instance.h"
#include "wide_text.h"
#include "winmm_driver.h"

namespace {

// Bit 0: the driver is enabled. Written by DriverProc, read by any thread.
std::atomic<UCHAR> DriverEnabled = 0;

constexpr USHORT DriverVersion = 0x0203;
constexpr DWORD StandardFormats = 0x0FFF;    // WAVE_FORMAT_1M08 to WAVE_FORMAT_4S16
constexpr WORD StereoChannels = 2;

constexpr WideText NameFormat("Tonvane %u %s");
constexpr WideText OutName("Out");
constexpr WideText InName("In");

// What a message asks, the same for its Out and In values.
enum class WaveOp {
    Count,
    Capabilities,
    Open,
    Close,
    Prepare,            // also unprepare: left to WinMM
    Queue,
    Stop,
    Start,
    Reset,
    Position,
    BreakLoop,
    Unsupported,
};

struct MessageEntry {
    UINT outMessage;
    UINT inMessage;     // 0: no In counterpart
    WaveOp op;
};

constexpr MessageEntry Messages[] = {
    {WODM_GETNUMDEVS, WIDM_GETNUMDEVS, WaveOp::Count},
    {WODM_GETDEVCAPS, WIDM_GETDEVCAPS, WaveOp::Capabilities},
    {WODM_OPEN, WIDM_OPEN, WaveOp::Open},
    {WODM_CLOSE, WIDM_CLOSE, WaveOp::Close},
    {WODM_PREPARE, WIDM_PREPARE, WaveOp::Prepare},
    {WODM_UNPREPARE, WIDM_UNPREPARE, WaveOp::Prepare},
    {WODM_WRITE, WIDM_ADDBUFFER, WaveOp::Queue},
    {WODM_PAUSE, WIDM_STOP, WaveOp::Stop},
    {WODM_RESTART, WIDM_START, WaveOp::Start},
    {WODM_RESET, WIDM_RESET, WaveOp::Reset},
    {WODM_GETPOS, WIDM_GETPOS, WaveOp::Position},
    {WODM_BREAKLOOP, 0, WaveOp::BreakLoop},
};

WaveOp OpOf(ULONG direction, UINT message)
{
    for (const MessageEntry& entry : Messages) {
        const UINT value = direction == DIRECTION_IN ? entry.inMessage : entry.outMessage;
        if (value != 0 && value == message) {
            return entry.op;
        }
    }
    return WaveOp::Unsupported;
}

// Copies the first size bytes of a full record to the caller.
VOID CopyOut(PVOID target, const void* record, DWORD_PTR size, ULONG fullSize)
{
    const ULONG count = size < fullSize ? static_cast<ULONG>(size) : fullSize;
    auto* to = static_cast<UCHAR*>(target);
    const auto* from = static_cast<const UCHAR*>(record);
    for (ULONG i = 0; i < count; ++i) {
        to[i] = from[i];
    }
}

DWORD GetCapabilities(ULONG direction, UINT deviceId, DWORD_PTR param1, DWORD_PTR param2)
{
    if (param1 == 0) {
        return MMSYSERR_INVALPARAM;
    }
    PVOID target = reinterpret_cast<PVOID>(param1);
    if (direction == DIRECTION_IN) {
        WAVEINCAPSW caps = {};
        caps.vDriverVersion = DriverVersion;
        wsprintfW(caps.szPname, NameFormat.text, deviceId + 1, InName.text);
        caps.dwFormats = StandardFormats;
        caps.wChannels = StereoChannels;
        CopyOut(target, &caps, param2, sizeof(caps));
    } else {
        WAVEOUTCAPSW caps = {};
        caps.vDriverVersion = DriverVersion;
        wsprintfW(caps.szPname, NameFormat.text, deviceId + 1, OutName.text);
        caps.dwFormats = StandardFormats;
        caps.wChannels = StereoChannels;
        caps.dwSupport = 0;
        CopyOut(target, &caps, param2, sizeof(caps));
    }
    return MMSYSERR_NOERROR;
}

// A format query opens the device for the one request and makes no
// instance; a real open makes the instance, lists it once the kernel has
// opened its stream and stores its address through user.
DWORD Open(ULONG direction, UINT deviceId, DWORD_PTR user, DWORD_PTR param1, DWORD_PTR param2)
{
    auto* description = reinterpret_cast<const WAVEOPENDESC*>(param1);
    const bool query = (param2 & WAVE_FORMAT_QUERY) != 0;
    if (description == nullptr || description->lpFormat == nullptr || (!query && user == 0)) {
        return MMSYSERR_INVALPARAM;
    }
    // The 16 bytes of a PCM format; the kernel judges it.
    auto* format = reinterpret_cast<const PCMWAVEFORMAT*>(description->lpFormat);
    if (format->wf.wFormatTag != WAVE_FORMAT_PCM) {
        return WAVERR_BADFORMAT;
    }

    WaveInstance* instance = nullptr;
    if (!query) {
        instance = CreateInstance(direction, static_cast<USHORT>(deviceId));
        if (instance == nullptr) {
            return MMSYSERR_NOMEM;
        }
        instance->waveHandle = description->hWave;
        instance->callback = description->dwCallback;
        instance->callbackInstance = description->dwInstance;
        instance->openFlags = static_cast<DWORD>(param2);
        if (!OpenInstanceLink(instance)) {
            DiscardInstance(instance);
            return MMSYSERR_NODRIVER;
        }
    }

    DriverRequest request = {};
    request.length = DRIVER_REQUEST_LENGTH;
    request.target.direction = static_cast<USHORT>(direction);
    request.target.deviceId = static_cast<USHORT>(deviceId);
    request.streamHandle = 0;
    request.open.format.wFormatTag = format->wf.wFormatTag;
    request.open.format.nChannels = format->wf.nChannels;
    request.open.format.nSamplesPerSec = format->wf.nSamplesPerSec;
    request.open.format.nAvgBytesPerSec = format->wf.nAvgBytesPerSec;
    request.open.format.nBlockAlign = format->wf.nBlockAlign;
    request.open.format.wBitsPerSample = format->wBitsPerSample;
    request.open.openFlags = static_cast<ULONG>(param2);

    if (query) {
        HANDLE device = OpenKernelDevice(direction, deviceId);
        const ULONG result = SendRequest(device, &request, REQ_OPEN);
        if (device != INVALID_HANDLE_VALUE) {
            CloseHandle(device);
        }
        return result;
    }
    const ULONG result = SendRequest(instance->device, &request, REQ_OPEN);
    if (result != MMSYSERR_NOERROR) {
        DiscardInstance(instance);
        return result;
    }
    *reinterpret_cast<DWORD_PTR*>(user) = reinterpret_cast<DWORD_PTR>(instance);
    instance->streamHandle = request.streamHandle;
    ListInstance(instance);
    NotifyClient(instance, WIM_OPEN, WOM_OPEN, 0);
    return MMSYSERR_NOERROR;
}

// Closes the kernel stream; the instance stays open when the kernel refuses
// (buffers still queued). A closing thread other than the instance's own
// waits for the buffers already returned to be handed back, so no buffer
// callback follows the close callback.
DWORD Close(WaveInstance* instance)
{
    if (!BeginCloseInstance(instance)) {
        return MMSYSERR_INVALPARAM;
    }
    DrainMarker marker = {};
    const bool ownThread = OnCompletionThread(instance);
    if (!ownThread && !PrepareDrain(&marker, true)) {
        CancelCloseInstance(instance);
        return MMSYSERR_NOMEM;
    }
    DriverRequest request = {};
    const ULONG result = SendInstanceRequest(instance, &request, REQ_CLOSE);
    if (result != MMSYSERR_NOERROR) {
        if (!ownThread) {
            AbandonDrain(&marker);
        }
        CancelCloseInstance(instance);
        return result;
    }
    FinishCloseInstance(instance, &marker);
    return MMSYSERR_NOERROR;
}

// The header stays the client's until the kernel accepts it; a refused one
// is back to prepared.
DWORD Queue(WaveInstance* instance, DWORD_PTR param1, DWORD_PTR param2)
{
    auto* header = reinterpret_cast<LPWAVEHDR>(param1);
    if (header == nullptr || param2 < sizeof(WAVEHDR)) {
        return MMSYSERR_INVALPARAM;
    }
    std::atomic_ref<DWORD> flags(header->dwFlags);
    const DWORD initial = flags.load(std::memory_order_relaxed);
    if ((initial & WHDR_PREPARED) == 0) {
        return WAVERR_UNPREPARED;
    }
    if ((initial & WHDR_INQUEUE) != 0) {
        return MMSYSERR_INVALFLAG;
    }
    PendingBuffer* pending = CreatePendingBuffer(instance, header);
    if (pending == nullptr) {
        return MMSYSERR_NOMEM;
    }
    // Queued before it is sent: the thread never sees a header in the kernel
    // without WHDR_INQUEUE.
    flags.store(initial & ~WHDR_DONE, std::memory_order_release);
    const DWORD queued = (initial & ~WHDR_DONE) | WHDR_INQUEUE;
    flags.store(queued, std::memory_order_release);

    DriverRequest request = {};
    request.addBuffer.clientTag = PtrToUlong(pending);
    request.addBuffer.data = PtrToUlong(header->lpData);
    request.addBuffer.dataLength = header->dwBufferLength;
    request.addBuffer.headerFlags = queued;
    request.addBuffer.loops = header->dwLoops;
    const ULONG result = SendInstanceRequest(instance, &request, REQ_ADD_BUFFER);
    if (result != MMSYSERR_NOERROR) {
        flags.store(flags.load(std::memory_order_relaxed) & ~WHDR_INQUEUE,
                    std::memory_order_release);
        DiscardPendingBuffer(pending);
    }
    return result;
}

// Returns every queued buffer; from another thread than the instance's own
// it returns once they have been handed back, since clients free their
// headers as soon as the reset returns.
DWORD Reset(WaveInstance* instance)
{
    DrainMarker marker = {};
    const bool ownThread = OnCompletionThread(instance);
    if (!ownThread && !PrepareDrain(&marker, false)) {
        return MMSYSERR_NOMEM;
    }
    DriverRequest request = {};
    const ULONG result = SendInstanceRequest(instance, &request, REQ_RESET);
    if (!ownThread) {
        if (result == MMSYSERR_NOERROR) {
            WaitForDrain(instance, &marker);
        } else {
            AbandonDrain(&marker);
        }
    }
    return result;
}

DWORD GetPosition(WaveInstance* instance, DWORD_PTR param1, DWORD_PTR param2)
{
    auto* time = reinterpret_cast<LPMMTIME>(param1);
    if (time == nullptr || param2 < sizeof(MMTIME)) {
        return MMSYSERR_INVALPARAM;
    }
    DriverRequest request = {};
    request.position.timeFormat = time->wType;
    const ULONG result = SendInstanceRequest(instance, &request, REQ_GET_POSITION);
    if (result != MMSYSERR_NOERROR) {
        return result;
    }
    switch (time->wType) {
    case TIME_MS:
        time->u.ms = request.position.positionMs;
        break;
    case TIME_BYTES:
        time->u.cb = request.position.positionBytes;
        break;
    default:
        time->u.sample = request.position.positionSamples;
        time->wType = TIME_SAMPLES;
        break;
    }
    return MMSYSERR_NOERROR;
}

DWORD SendOp(WaveInstance* instance, USHORT op)
{
    DriverRequest request = {};
    return SendInstanceRequest(instance, &request, op);
}

DWORD InstanceMessage(WaveInstance* instance, WaveOp op, DWORD_PTR param1, DWORD_PTR param2)
{
    switch (op) {
    case WaveOp::Close:
        return Close(instance);
    case WaveOp::Queue:
        return Queue(instance, param1, param2);
    case WaveOp::Stop:
        return SendOp(instance, REQ_STOP);
    case WaveOp::Start:
        return SendOp(instance, REQ_START);
    case WaveOp::Reset:
        return Reset(instance);
    case WaveOp::Position:
        return GetPosition(instance, param1, param2);
    case WaveOp::BreakLoop:
        return SendOp(instance, REQ_BREAK_LOOP);
    default:
        return MMSYSERR_NOTSUPPORTED;
    }
}

}  // namespace

VOID EnableWaveMessages(bool enabled)
{
    DriverEnabled.store(enabled ? 1 : 0);
}

DWORD WaveMessage(ULONG direction, UINT deviceId, UINT message, DWORD_PTR user,
                  DWORD_PTR param1, DWORD_PTR param2)
{
    if ((DriverEnabled.load() & 1) == 0) {
        return MMSYSERR_NOTENABLED;
    }
    // Every message first asks whether tonkern is there, and how many
    // devices it has.
    DriverRequest reply = {};
    const ULONG deviceCount = QueryKernelDriver(&reply) ? reply.deviceCount : 0;
    const WaveOp op = OpOf(direction, message);
    if (op == WaveOp::Count) {
        return deviceCount;
    }
    if (deviceId >= deviceCount) {
        return MMSYSERR_BADDEVICEID;
    }
    switch (op) {
    case WaveOp::Capabilities:
        return GetCapabilities(direction, deviceId, param1, param2);
    case WaveOp::Prepare:
        return MMSYSERR_NOTSUPPORTED;
    case WaveOp::Open:
        return Open(direction, deviceId, user, param1, param2);
    default:
        break;
    }
    // Unsupported messages too answer "no such instance" first, and so does
    // an instance of the other direction.
    WaveInstance* instance = AcquireInstance(user, direction);
    if (instance == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    const DWORD result = InstanceMessage(instance, op, param1, param2);
    ReleaseInstance(instance);
    return result;
}

extern "C" DWORD APIENTRY wodMessage(UINT deviceId, UINT message, DWORD_PTR user,
                                     DWORD_PTR param1, DWORD_PTR param2)
{
    return WaveMessage(DIRECTION_OUT, deviceId, message, user, param1, param2);
}

extern "C" DWORD APIENTRY widMessage(UINT deviceId, UINT message, DWORD_PTR user,
                                     DWORD_PTR param1, DWORD_PTR param2)
{
    return WaveMessage(DIRECTION_IN, deviceId, message, user, param1, param2);
}
