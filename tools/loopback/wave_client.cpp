#include "wave_client.h"

#include <algorithm>
#include <string_view>

namespace {

constexpr char WindowClass[] = "TonvaneWaveClient";

std::string Narrow(const WCHAR* text)
{
    std::string narrow;
    for (; *text != 0; ++text) {
        narrow += *text < 0x80 ? static_cast<char>(*text) : '?';
    }
    return narrow;
}

// The device of that name among WinMM's, by its capabilities.
bool FindDevice(bool play, const char16_t* name, DeviceInfo* device)
{
    const UINT count = play ? waveOutGetNumDevs() : waveInGetNumDevs();
    for (UINT id = 0; id < count; ++id) {
        WAVEOUTCAPSW out{};
        WAVEINCAPSW in{};
        const MMRESULT result = play ? waveOutGetDevCapsW(id, &out, sizeof(out))
                                     : waveInGetDevCapsW(id, &in, sizeof(in));
        const WCHAR* found = play ? out.szPname : in.szPname;
        if (result != MMSYSERR_NOERROR
            || std::u16string_view(reinterpret_cast<const char16_t*>(found)) != name) {
            continue;
        }
        device->id = id;
        device->name = Narrow(found);
        device->mid = play ? out.wMid : in.wMid;
        device->pid = play ? out.wPid : in.wPid;
        device->driverVersion = play ? out.vDriverVersion : in.vDriverVersion;
        device->formats = play ? out.dwFormats : in.dwFormats;
        device->channels = play ? out.wChannels : in.wChannels;
        device->support = play ? out.dwSupport : 0;
        return true;
    }
    return false;
}

}  // namespace

DWORD WINAPI WaveClient::Main(LPVOID parameter)
{
    return static_cast<WaveClient*>(parameter)->Run();
}

DWORD WaveClient::Run()
{
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);    // the thread's queue, for orders
    if (Open()) {
        while (running_ && GetMessageA(&message, nullptr, 0, 0) > 0) {
            if (message.hwnd == nullptr) {
                OnMessage(message.message, message.lParam);
            } else {
                DispatchMessageA(&message);
            }
        }
    }
    Close();
    return link_->Phase() == AppPhase::Failed ? 1 : 0;
}

bool WaveClient::Open()
{
    DeviceInfo device;
    if (!FindDevice(plan_.play, plan_.deviceName, &device)) {
        std::string name;
        for (const char16_t* c = plan_.deviceName; *c != 0; ++c) {
            name += static_cast<char>(*c);
        }
        link_->Failed("WinMM has no " + std::string(plan_.play ? "wave-out" : "wave-in")
                      + " device named \"" + name + "\"");
        return false;
    }
    DWORD_PTR callback = GetCurrentThreadId();
    DWORD flags = CALLBACK_THREAD;
    if (plan_.callback == CallbackKind::Window) {
        const WNDCLASSA windowClass{0, WindowProc, 0, 0, nullptr, nullptr, nullptr,
                                    nullptr, nullptr, WindowClass};
        RegisterClassA(&windowClass);
        window_ = CreateWindowExA(0, WindowClass, link_->Name().c_str(), 0, 0, 0, 0, 0,
                                  HWND_MESSAGE, nullptr, nullptr, this);
        if (window_ == nullptr) {
            link_->Failed("cannot create its callback window (error "
                          + std::to_string(GetLastError()) + ")");
            return false;
        }
        callback = reinterpret_cast<DWORD_PTR>(window_);
        flags = CALLBACK_WINDOW;
    }
    const WAVEFORMATEX format = plan_.format.Wave();
    const MMRESULT opened = plan_.play ? waveOutOpen(&out_, device.id, &format, callback, 0, flags)
                                       : waveInOpen(&in_, device.id, &format, callback, 0, flags);
    if (opened != MMSYSERR_NOERROR) {
        Fail(plan_.play ? "waveOutOpen" : "waveInOpen", opened);
        return false;
    }
    // The ring lives in the global heap, as a Windows program's buffers
    // would; its headers are prepared once and reused.
    const DWORD bytes = plan_.bufferFrames * plan_.format.BlockAlign();
    for (uint32_t i = 0; i < plan_.ringBuffers; ++i) {
        auto* header = static_cast<WAVEHDR*>(GlobalAlloc(GMEM_FIXED, sizeof(WAVEHDR) + bytes));
        if (header == nullptr) {
            link_->Failed("out of memory for its buffers");
            return false;
        }
        *header = WAVEHDR{};
        header->lpData = reinterpret_cast<LPSTR>(header + 1);
        header->dwBufferLength = bytes;
        ring_.push_back(header);
        const MMRESULT prepared = plan_.play ? waveOutPrepareHeader(out_, header, sizeof(WAVEHDR))
                                             : waveInPrepareHeader(in_, header, sizeof(WAVEHDR));
        if (prepared != MMSYSERR_NOERROR) {
            Fail("PrepareHeader", prepared);
            return false;
        }
    }
    for (WAVEHDR* header : ring_) {
        if (!Queue(header)) {
            return false;
        }
    }
    if (!plan_.play) {
        const MMRESULT started = waveInStart(in_);
        if (started != MMSYSERR_NOERROR) {
            Fail("waveInStart", started);
            return false;
        }
    }
    link_->Running(GetCurrentThreadId(), device);
    return true;
}

// Fills (player) or sizes (recorder) a header with what comes next and
// queues it; nothing is queued once the source or the recording has ended.
bool WaveClient::Queue(WAVEHDR* header)
{
    const uint32_t block = plan_.format.BlockAlign();
    uint64_t frames = 0;
    if (plan_.play) {
        frames = plan_.source->Encode(nextFrame_, plan_.bufferFrames,
                                      reinterpret_cast<uint8_t*>(header->lpData));
    } else {
        frames = std::min<uint64_t>(plan_.bufferFrames, plan_.frames - nextFrame_);
    }
    if (frames == 0) {
        return true;
    }
    header->dwBufferLength = static_cast<DWORD>(frames * block);
    header->dwUser = nextSequence_++;
    const MMRESULT queued = plan_.play ? waveOutWrite(out_, header, sizeof(WAVEHDR))
                                       : waveInAddBuffer(in_, header, sizeof(WAVEHDR));
    if (queued != MMSYSERR_NOERROR) {
        Fail(plan_.play ? "waveOutWrite" : "waveInAddBuffer", queued);
        running_ = false;
        return false;
    }
    nextFrame_ += frames;
    link_->queued.fetch_add(1);
    return true;
}

void WaveClient::OnMessage(UINT message, LPARAM lParam)
{
    switch (message) {
    case MM_WOM_DONE:
    case MM_WIM_DATA:
        OnBuffer(reinterpret_cast<WAVEHDR*>(lParam));
        break;
    case OrderPosition:
        link_->Answer(Position());
        break;
    case OrderClose:
        running_ = false;
        break;
    default:
        break;
    }
}

void WaveClient::OnBuffer(WAVEHDR* header)
{
    if (header->dwUser != expected_) {
        link_->outOfOrder.fetch_add(1);
    }
    expected_ = header->dwUser + 1;
    link_->done.fetch_add(1);
    if (plan_.play) {
        if (!closing_) {
            fullBytes_ += header->dwBufferLength;
            link_->bytes.store(fullBytes_);
            Queue(header);
        }
        return;
    }
    const DWORD bytes = header->dwBytesRecorded;
    fullBytes_ += bytes;
    link_->bytes.store(fullBytes_);
    if (!plan_.sink->Take(reinterpret_cast<const uint8_t*>(header->lpData), bytes)) {
        link_->Failed("cannot keep what it recorded");
        running_ = false;
        return;
    }
    if (fullBytes_ == plan_.frames * plan_.format.BlockAlign()) {
        link_->Finished();
    } else if (!closing_) {
        Queue(header);
    }
}

// Positions count from the open and wrap at 32 bits; the buffers back
// whole are at most a ring behind the byte position.
DevicePosition WaveClient::Position()
{
    DevicePosition position;
    for (UINT type : {TIME_BYTES, TIME_SAMPLES, TIME_MS}) {
        MMTIME time{type, {}};
        const MMRESULT result = plan_.play ? waveOutGetPosition(out_, &time, sizeof(time))
                                           : waveInGetPosition(in_, &time, sizeof(time));
        const DWORD value = result == MMSYSERR_NOERROR ? time.u.cb : 0;
        (type == TIME_BYTES ? position.bytes : type == TIME_SAMPLES ? position.samples
                                                                     : position.ms) = value;
    }
    position.moved = fullBytes_ + uint32_t(position.bytes - uint32_t(fullBytes_));
    return position;
}

// Resets, takes back what the reset returned, unprepares and frees the
// ring and closes. A player's bytes become those its device played, the
// share of the buffer cut short included.
void WaveClient::Close()
{
    closing_ = true;
    if (out_ != nullptr || in_ != nullptr) {
        if (plan_.play) {
            link_->bytes.store(Position().moved);
        }
        plan_.play ? waveOutReset(out_) : waveInReset(in_);
        // The reset has handed every buffer back; their messages are queued.
        MSG message;
        while (PeekMessageA(&message, nullptr, MM_WOM_OPEN, MM_WIM_DATA, PM_REMOVE)) {
            if (message.message == MM_WOM_DONE || message.message == MM_WIM_DATA) {
                OnBuffer(reinterpret_cast<WAVEHDR*>(message.lParam));
            }
        }
    }
    for (WAVEHDR* header : ring_) {
        plan_.play ? waveOutUnprepareHeader(out_, header, sizeof(WAVEHDR))
                   : waveInUnprepareHeader(in_, header, sizeof(WAVEHDR));
        GlobalFree(header);
    }
    ring_.clear();
    const MMRESULT closed = plan_.play ? (out_ != nullptr ? waveOutClose(out_) : MMSYSERR_NOERROR)
                                       : (in_ != nullptr ? waveInClose(in_) : MMSYSERR_NOERROR);
    out_ = nullptr;
    in_ = nullptr;
    if (window_ != nullptr) {
        DestroyWindow(window_);
        window_ = nullptr;
    }
    if (closed != MMSYSERR_NOERROR) {
        Fail(plan_.play ? "waveOutClose" : "waveInClose", closed);
    }
    link_->Closed();
}

void WaveClient::Fail(const char* call, MMRESULT result)
{
    char text[MAXERRORLENGTH] = "";
    plan_.play ? waveOutGetErrorTextA(result, text, sizeof(text))
               : waveInGetErrorTextA(result, text, sizeof(text));
    link_->Failed(std::string(call) + " answered " + std::to_string(result) + " (" + text + ")");
}

LRESULT CALLBACK WaveClient::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        return 0;
    }
    auto* client = reinterpret_cast<WaveClient*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (client != nullptr && (message == MM_WOM_DONE || message == MM_WIM_DATA)) {
        client->OnMessage(message, lParam);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
