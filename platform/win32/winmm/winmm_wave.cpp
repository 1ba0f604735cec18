// The wave API, both directions: device ids across the drivers in load
// order, handles checked before any driver sees a call, the mapper, and the
// work WinMM does itself:
// - a driver that answers PREPARE or UNPREPARE with MMSYSERR_NOTSUPPORTED has
//   WinMM set or clear WHDR_PREPARED; preparing a prepared header and
//   unpreparing an unprepared one change nothing and succeed;
// - a queued header (WHDR_INQUEUE) cannot be unprepared or queued again
//   (WAVERR_STILLPLAYING), an unprepared one not queued (WAVERR_UNPREPARED);
// - a header size below sizeof(WAVEHDR) is MMSYSERR_INVALPARAM (a stand-in
//   choice), an MMTIME size below sizeof(MMTIME) MMSYSERR_ERROR;
// - a failed open (not a query) leaves a null handle.
// The mapper opens the first device that accepts the format, unchanged; the
// real mapper can also convert formats through a codec, which is not
// modelled.
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "host/ke_user.h"
#include "winmm_internal.h"

namespace host_winmm {
namespace {

struct WaveHandle {
    DWORD process;
    Direction direction;
    WaveDevice device;
    UINT id;                // the caller's device id, WAVE_MAPPER for the mapper
    DWORD_PTR instance;     // what the driver stored at open
};

std::mutex handleLock;
std::map<ULONG_PTR, std::shared_ptr<WaveHandle>>& Handles()   // handleLock
{
    static auto* handles = new std::map<ULONG_PTR, std::shared_ptr<WaveHandle>>;
    return *handles;
}
ULONG_PTR nextHandle = 0x30000;   // handleLock; never reused

struct Messages {
    UINT open, close, prepare, unprepare, queue, position, caps;
};
constexpr Messages kMessages[2] = {
    {WODM_OPEN, WODM_CLOSE, WODM_PREPARE, WODM_UNPREPARE, WODM_WRITE, WODM_GETPOS,
     WODM_GETDEVCAPS},
    {WIDM_OPEN, WIDM_CLOSE, WIDM_PREPARE, WIDM_UNPREPARE, WIDM_ADDBUFFER, WIDM_GETPOS,
     WIDM_GETDEVCAPS},
};

// The caller's open handle of that direction.
std::shared_ptr<WaveHandle> Lookup(const void* value, Direction direction)
{
    std::lock_guard<std::mutex> guard(handleLock);
    auto found = Handles().find(reinterpret_cast<ULONG_PTR>(value));
    if (found == Handles().end() || found->second->direction != direction ||
        found->second->process != GetCurrentProcessId()) {
        return nullptr;
    }
    return found->second;
}

MMRESULT Send(const WaveHandle& handle, UINT message, DWORD_PTR param1, DWORD_PTR param2)
{
    return handle.device.entry(handle.device.local, message, handle.instance, param1, param2);
}

// A stand-in API call returns through here: a stopped thread does not.
MMRESULT Done(MMRESULT result)
{
    host_wait::StopPoint();
    return result;
}

MMRESULT Message(Direction direction, const void* value, UINT message, DWORD_PTR param1,
                 DWORD_PTR param2)
{
    std::shared_ptr<WaveHandle> handle = Lookup(value, direction);
    return handle != nullptr ? Send(*handle, message, param1, param2) : MMSYSERR_INVALHANDLE;
}

MMRESULT Open(Direction direction, void* result, UINT id, LPCWAVEFORMATEX format,
              DWORD_PTR callback, DWORD_PTR instance, DWORD flags)
{
    HANDLE* stored = static_cast<HANDLE*>(result);
    const bool query = (flags & WAVE_FORMAT_QUERY) != 0;
    if (!query && stored != nullptr) {
        *stored = nullptr;
    }
    if (format == nullptr || (!query && stored == nullptr)) {
        return MMSYSERR_INVALPARAM;
    }
    switch (flags & CALLBACK_TYPEMASK) {
    case CALLBACK_NULL:
    case CALLBACK_TASK:
    case CALLBACK_FUNCTION:
    case CALLBACK_EVENT:
        break;
    case CALLBACK_WINDOW:
        if (callback != 0 && !IsWindow(reinterpret_cast<HWND>(callback))) {
            return MMSYSERR_INVALPARAM;
        }
        break;
    default:
        return MMSYSERR_INVALFLAG;
    }
    const UINT count = DeviceCount(direction);
    const bool mapper = id == WAVE_MAPPER;
    if (!mapper && id >= count) {
        return MMSYSERR_BADDEVICEID;
    }
    if (mapper && count == 0) {
        return MMSYSERR_BADDEVICEID;
    }
    auto handle = std::make_shared<WaveHandle>(WaveHandle{GetCurrentProcessId(), direction, {},
                                                          id, 0});
    ULONG_PTR value = 0;
    if (!query) {
        // Published before the driver sees it: its open callback carries it.
        std::lock_guard<std::mutex> guard(handleLock);
        value = nextHandle;
        nextHandle += 4;
        Handles()[value] = handle;
    }
    MMRESULT outcome = MMSYSERR_NODRIVER;
    for (UINT device = mapper ? 0 : id; device < (mapper ? count : id + 1); ++device) {
        if (!FindDevice(direction, device, &handle->device)) {
            continue;
        }
        WAVEOPENDESC description{};
        description.hWave = reinterpret_cast<HWAVE>(value);
        description.lpFormat = reinterpret_cast<LPWAVEFORMAT>(const_cast<WAVEFORMATEX*>(format));
        description.dwCallback = callback;
        description.dwInstance = instance;
        description.uMappedDeviceID = device;
        outcome = handle->device.entry(handle->device.local, kMessages[direction].open,
                                       reinterpret_cast<DWORD_PTR>(&handle->instance),
                                       reinterpret_cast<DWORD_PTR>(&description), flags);
        if (outcome == MMSYSERR_NOERROR) {
            break;
        }
    }
    if (!query) {
        if (outcome == MMSYSERR_NOERROR) {
            *stored = reinterpret_cast<HANDLE>(value);
        } else {
            std::lock_guard<std::mutex> guard(handleLock);
            Handles().erase(value);
        }
    }
    return outcome;
}

MMRESULT Close(Direction direction, const void* value)
{
    std::shared_ptr<WaveHandle> handle = Lookup(value, direction);
    if (handle == nullptr) {
        return MMSYSERR_INVALHANDLE;
    }
    const MMRESULT result = Send(*handle, kMessages[direction].close, 0, 0);
    if (result == MMSYSERR_NOERROR) {
        std::lock_guard<std::mutex> guard(handleLock);
        Handles().erase(reinterpret_cast<ULONG_PTR>(value));
    }
    return result;
}

// Checks shared by the calls that take a header.
MMRESULT HeaderCall(Direction direction, const void* value, LPWAVEHDR header, UINT size,
                    std::shared_ptr<WaveHandle>* handle)
{
    *handle = Lookup(value, direction);
    if (*handle == nullptr) {
        return MMSYSERR_INVALHANDLE;
    }
    return header == nullptr || size < sizeof(WAVEHDR) ? MMSYSERR_INVALPARAM : MMSYSERR_NOERROR;
}

MMRESULT Prepare(Direction direction, const void* value, LPWAVEHDR header, UINT size)
{
    std::shared_ptr<WaveHandle> handle;
    MMRESULT result = HeaderCall(direction, value, header, size, &handle);
    if (result != MMSYSERR_NOERROR || (header->dwFlags & WHDR_PREPARED) != 0) {
        return result;
    }
    result = Send(*handle, kMessages[direction].prepare, reinterpret_cast<DWORD_PTR>(header), size);
    if (result == MMSYSERR_NOTSUPPORTED) {
        header->dwFlags |= WHDR_PREPARED;
        result = MMSYSERR_NOERROR;
    }
    return result;
}

MMRESULT Unprepare(Direction direction, const void* value, LPWAVEHDR header, UINT size)
{
    std::shared_ptr<WaveHandle> handle;
    MMRESULT result = HeaderCall(direction, value, header, size, &handle);
    if (result != MMSYSERR_NOERROR || (header->dwFlags & WHDR_PREPARED) == 0) {
        return result;
    }
    if ((header->dwFlags & WHDR_INQUEUE) != 0) {
        return WAVERR_STILLPLAYING;
    }
    result = Send(*handle, kMessages[direction].unprepare, reinterpret_cast<DWORD_PTR>(header),
                  size);
    if (result == MMSYSERR_NOTSUPPORTED) {
        header->dwFlags &= ~DWORD(WHDR_PREPARED);
        result = MMSYSERR_NOERROR;
    }
    return result;
}

MMRESULT Queue(Direction direction, const void* value, LPWAVEHDR header, UINT size)
{
    std::shared_ptr<WaveHandle> handle;
    const MMRESULT result = HeaderCall(direction, value, header, size, &handle);
    if (result != MMSYSERR_NOERROR) {
        return result;
    }
    if ((header->dwFlags & WHDR_PREPARED) == 0) {
        return WAVERR_UNPREPARED;
    }
    if ((header->dwFlags & WHDR_INQUEUE) != 0) {
        return WAVERR_STILLPLAYING;
    }
    return Send(*handle, kMessages[direction].queue, reinterpret_cast<DWORD_PTR>(header), size);
}

MMRESULT Position(Direction direction, const void* value, LPMMTIME time, UINT size)
{
    std::shared_ptr<WaveHandle> handle = Lookup(value, direction);
    if (handle == nullptr) {
        return MMSYSERR_INVALHANDLE;
    }
    if (time == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    if (size < sizeof(MMTIME)) {
        return MMSYSERR_ERROR;
    }
    return Send(*handle, kMessages[direction].position, reinterpret_cast<DWORD_PTR>(time), size);
}

MMRESULT Id(Direction direction, const void* value, LPUINT id)
{
    std::shared_ptr<WaveHandle> handle = Lookup(value, direction);
    if (handle == nullptr) {
        return MMSYSERR_INVALHANDLE;
    }
    if (id == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    *id = handle->id;
    return MMSYSERR_NOERROR;
}

// The Unicode capabilities of a device id, an open handle in its place, or
// the mapper (the first device's, under the mapper's name).
template <class WideCaps>
MMRESULT WideCapabilities(Direction direction, UINT_PTR id, WideCaps* caps)
{
    std::memset(caps, 0, sizeof(*caps));
    const UINT count = DeviceCount(direction);
    UINT device = UINT(id);
    if (std::shared_ptr<WaveHandle> handle = Lookup(reinterpret_cast<const void*>(id), direction)) {
        device = handle->id;
    } else if (id != WAVE_MAPPER && id >= count) {
        return MMSYSERR_BADDEVICEID;
    }
    const bool mapper = device == WAVE_MAPPER;
    WaveDevice found;
    if (!FindDevice(direction, mapper ? 0 : device, &found)) {
        return mapper ? MMSYSERR_NODRIVER : MMSYSERR_BADDEVICEID;
    }
    const MMRESULT result = found.entry(found.local, kMessages[direction].caps, 0,
                                        reinterpret_cast<DWORD_PTR>(caps), sizeof(WideCaps));
    if (result == MMSYSERR_NOERROR && mapper) {
        const char16_t name[] = u"Microsoft Sound Mapper";
        std::memset(caps->szPname, 0, sizeof(caps->szPname));
        std::memcpy(caps->szPname, name, sizeof(name));
    }
    return result;
}

template <class WideCaps>
MMRESULT CapabilitiesW(Direction direction, UINT_PTR id, WideCaps* caps, UINT size)
{
    if (caps == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    WideCaps full;
    const MMRESULT result = WideCapabilities(direction, id, &full);
    if (result == MMSYSERR_NOERROR) {
        std::memcpy(caps, &full, size < sizeof(full) ? size : sizeof(full));
    }
    return result;
}

// The narrow form: the driver's Unicode record, converted.
template <class NarrowCaps, class WideCaps>
MMRESULT CapabilitiesA(Direction direction, UINT_PTR id, NarrowCaps* caps, UINT size)
{
    if (caps == nullptr) {
        return MMSYSERR_INVALPARAM;
    }
    WideCaps wide;
    const MMRESULT result = WideCapabilities(direction, id, &wide);
    if (result != MMSYSERR_NOERROR) {
        return result;
    }
    NarrowCaps narrow{};
    narrow.wMid = wide.wMid;
    narrow.wPid = wide.wPid;
    narrow.vDriverVersion = wide.vDriverVersion;
    for (int i = 0; i < MAXPNAMELEN; ++i) {
        narrow.szPname[i] = CHAR(wide.szPname[i] <= 0xFF ? wide.szPname[i] : '?');
    }
    narrow.szPname[MAXPNAMELEN - 1] = 0;
    narrow.dwFormats = wide.dwFormats;
    narrow.wChannels = wide.wChannels;
    narrow.wReserved1 = wide.wReserved1;
    if constexpr (sizeof(NarrowCaps) == sizeof(WAVEOUTCAPSA)) {
        narrow.dwSupport = wide.dwSupport;
    }
    std::memcpy(caps, &narrow, size < sizeof(narrow) ? size : sizeof(narrow));
    return MMSYSERR_NOERROR;
}

// The stand-in's own wording of each result.
const char* ErrorText(MMRESULT error)
{
    switch (error) {
    case MMSYSERR_NOERROR: return "The command succeeded.";
    case MMSYSERR_ERROR: return "An unspecified error occurred.";
    case MMSYSERR_BADDEVICEID: return "The device identifier is out of range.";
    case MMSYSERR_NOTENABLED: return "The driver is not enabled.";
    case MMSYSERR_ALLOCATED: return "The device is already in use.";
    case MMSYSERR_INVALHANDLE: return "The device handle is not valid.";
    case MMSYSERR_NODRIVER: return "No driver is installed for the device.";
    case MMSYSERR_NOMEM: return "There is not enough memory for the request.";
    case MMSYSERR_NOTSUPPORTED: return "The driver does not support the request.";
    case MMSYSERR_BADERRNUM: return "The error number is not defined.";
    case MMSYSERR_INVALFLAG: return "A flag is not valid.";
    case MMSYSERR_INVALPARAM: return "A parameter is not valid.";
    case MMSYSERR_HANDLEBUSY: return "The handle is in use on another thread.";
    case WAVERR_BADFORMAT: return "The device does not take the wave format.";
    case WAVERR_STILLPLAYING: return "Buffers are still queued on the device.";
    case WAVERR_UNPREPARED: return "The header is not prepared.";
    case WAVERR_SYNC: return "The device is synchronous.";
    default: return nullptr;
    }
}

template <class Char>
MMRESULT GetErrorText(MMRESULT error, Char* text, UINT size)
{
    const char* found = ErrorText(error);
    if (found == nullptr) {
        return MMSYSERR_BADERRNUM;
    }
    if (text == nullptr || size == 0) {
        return MMSYSERR_INVALPARAM;
    }
    UINT i = 0;
    for (; found[i] != 0 && i + 1 < size; ++i) {
        text[i] = Char(found[i]);
    }
    text[i] = 0;
    return MMSYSERR_NOERROR;
}

}  // namespace

void DropWaveHandles(DWORD process)
{
    std::lock_guard<std::mutex> guard(handleLock);
    for (auto it = Handles().begin(); it != Handles().end();) {
        it = it->second->process == process ? Handles().erase(it) : std::next(it);
    }
}

}  // namespace host_winmm

using namespace host_winmm;

extern "C" {

UINT WINAPI waveOutGetNumDevs(void)
{
    const UINT count = DeviceCount(Out);
    host_wait::StopPoint();
    return count;
}

MMRESULT WINAPI waveOutGetDevCapsA(UINT_PTR uDeviceID, LPWAVEOUTCAPSA pwoc, UINT cbwoc)
{
    return Done(CapabilitiesA<WAVEOUTCAPSA, WAVEOUTCAPSW>(Out, uDeviceID, pwoc, cbwoc));
}

MMRESULT WINAPI waveOutGetDevCapsW(UINT_PTR uDeviceID, LPWAVEOUTCAPSW pwoc, UINT cbwoc)
{
    return Done(CapabilitiesW(Out, uDeviceID, pwoc, cbwoc));
}

MMRESULT WINAPI waveOutGetErrorTextA(MMRESULT mmrError, LPSTR pszText, UINT cchText)
{
    return GetErrorText(mmrError, pszText, cchText);
}

MMRESULT WINAPI waveOutGetErrorTextW(MMRESULT mmrError, LPWSTR pszText, UINT cchText)
{
    return GetErrorText(mmrError, pszText, cchText);
}

MMRESULT WINAPI waveOutOpen(LPHWAVEOUT phwo, UINT uDeviceID, LPCWAVEFORMATEX pwfx,
                            DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen)
{
    return Done(Open(Out, phwo, uDeviceID, pwfx, dwCallback, dwInstance, fdwOpen));
}

MMRESULT WINAPI waveOutClose(HWAVEOUT hwo)
{
    return Done(Close(Out, hwo));
}

MMRESULT WINAPI waveOutPrepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh)
{
    return Done(Prepare(Out, hwo, pwh, cbwh));
}

MMRESULT WINAPI waveOutUnprepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh)
{
    return Done(Unprepare(Out, hwo, pwh, cbwh));
}

MMRESULT WINAPI waveOutWrite(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh)
{
    return Done(Queue(Out, hwo, pwh, cbwh));
}

MMRESULT WINAPI waveOutPause(HWAVEOUT hwo)
{
    return Done(Message(Out, hwo, WODM_PAUSE, 0, 0));
}

MMRESULT WINAPI waveOutRestart(HWAVEOUT hwo)
{
    return Done(Message(Out, hwo, WODM_RESTART, 0, 0));
}

MMRESULT WINAPI waveOutReset(HWAVEOUT hwo)
{
    return Done(Message(Out, hwo, WODM_RESET, 0, 0));
}

MMRESULT WINAPI waveOutBreakLoop(HWAVEOUT hwo)
{
    return Done(Message(Out, hwo, WODM_BREAKLOOP, 0, 0));
}

MMRESULT WINAPI waveOutGetPosition(HWAVEOUT hwo, LPMMTIME pmmt, UINT cbmmt)
{
    return Done(Position(Out, hwo, pmmt, cbmmt));
}

MMRESULT WINAPI waveOutGetID(HWAVEOUT hwo, LPUINT puDeviceID)
{
    return Done(Id(Out, hwo, puDeviceID));
}

MMRESULT WINAPI waveOutMessage(HWAVEOUT hwo, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2)
{
    return Done(Message(Out, hwo, uMsg, dw1, dw2));
}

UINT WINAPI waveInGetNumDevs(void)
{
    const UINT count = DeviceCount(In);
    host_wait::StopPoint();
    return count;
}

MMRESULT WINAPI waveInGetDevCapsA(UINT_PTR uDeviceID, LPWAVEINCAPSA pwic, UINT cbwic)
{
    return Done(CapabilitiesA<WAVEINCAPSA, WAVEINCAPSW>(In, uDeviceID, pwic, cbwic));
}

MMRESULT WINAPI waveInGetDevCapsW(UINT_PTR uDeviceID, LPWAVEINCAPSW pwic, UINT cbwic)
{
    return Done(CapabilitiesW(In, uDeviceID, pwic, cbwic));
}

MMRESULT WINAPI waveInGetErrorTextA(MMRESULT mmrError, LPSTR pszText, UINT cchText)
{
    return GetErrorText(mmrError, pszText, cchText);
}

MMRESULT WINAPI waveInGetErrorTextW(MMRESULT mmrError, LPWSTR pszText, UINT cchText)
{
    return GetErrorText(mmrError, pszText, cchText);
}

MMRESULT WINAPI waveInOpen(LPHWAVEIN phwi, UINT uDeviceID, LPCWAVEFORMATEX pwfx,
                           DWORD_PTR dwCallback, DWORD_PTR dwInstance, DWORD fdwOpen)
{
    return Done(Open(In, phwi, uDeviceID, pwfx, dwCallback, dwInstance, fdwOpen));
}

MMRESULT WINAPI waveInClose(HWAVEIN hwi)
{
    return Done(Close(In, hwi));
}

MMRESULT WINAPI waveInPrepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh)
{
    return Done(Prepare(In, hwi, pwh, cbwh));
}

MMRESULT WINAPI waveInUnprepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh)
{
    return Done(Unprepare(In, hwi, pwh, cbwh));
}

MMRESULT WINAPI waveInAddBuffer(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh)
{
    return Done(Queue(In, hwi, pwh, cbwh));
}

MMRESULT WINAPI waveInStart(HWAVEIN hwi)
{
    return Done(Message(In, hwi, WIDM_START, 0, 0));
}

MMRESULT WINAPI waveInStop(HWAVEIN hwi)
{
    return Done(Message(In, hwi, WIDM_STOP, 0, 0));
}

MMRESULT WINAPI waveInReset(HWAVEIN hwi)
{
    return Done(Message(In, hwi, WIDM_RESET, 0, 0));
}

MMRESULT WINAPI waveInGetPosition(HWAVEIN hwi, LPMMTIME pmmt, UINT cbmmt)
{
    return Done(Position(In, hwi, pmmt, cbmmt));
}

MMRESULT WINAPI waveInGetID(HWAVEIN hwi, LPUINT puDeviceID)
{
    return Done(Id(In, hwi, puDeviceID));
}

MMRESULT WINAPI waveInMessage(HWAVEIN hwi, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2)
{
    return Done(Message(In, hwi, uMsg, dw1, dw2));
}

}  // extern "C"
