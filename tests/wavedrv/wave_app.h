// Application processes of the host system and their wave devices, shared by
// the tonwave tests and its fuzz target.
#pragma once

#include <windows.h>
#include <mmddk.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include "host/system_control.h"
#include "client_text.h"

// 8 kHz, 16-bit stereo: 4-byte frames, 32 bytes per millisecond.
constexpr WAVEFORMATEX Stereo16{WAVE_FORMAT_PCM, 2, 8000, 32000, 4, 16, 0};
constexpr DWORD BytesPerMs = 32;


// A process whose one worker thread makes the calls the test hands it: its
// stack lies below 4 GiB like any Windows thread's, and the buffers it
// queues stay its own while it lives.
class App {
public:
    explicit App(const char* name)
    {
        HOST_PROCESS_OPTIONS options{name, FALSE, nullptr, nullptr};
        if (HostStartProcess(&options, &process) != STATUS_SUCCESS) {
            abort();
        }
        PEPROCESS previous = HostPsSetCurrentProcess(process);
        wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        worker = CreateThread(nullptr, 0, Worker, this, 0, &workerId);
        HostPsSetCurrentProcess(previous);
    }
    ~App() { End(); }

    // Runs call on the worker and returns once it has returned.
    void Do(const std::function<void()>& call)
    {
        PEPROCESS previous = HostPsSetCurrentProcess(process);
        next = &call;
        SetEvent(wake);
        WaitForSingleObject(done, INFINITE);
        HostPsSetCurrentProcess(previous);
    }

    // Ends the process in order (WinMM sends DRV_FREE), or abruptly.
    void End(bool crash = false)
    {
        if (process != nullptr) {
            crash ? HostCrashProcess(process, 1) : HostEndProcess(process, 0);
            process = nullptr;
        }
    }

    PEPROCESS process = nullptr;
    DWORD workerId = 0;

private:
    static DWORD WINAPI Worker(LPVOID parameter)
    {
        for (auto* app = static_cast<App*>(parameter);;) {
            WaitForSingleObject(app->wake, INFINITE);
            (*app->next)();
            SetEvent(app->done);
        }
    }

    HANDLE wake = nullptr, done = nullptr, worker = nullptr;
    const std::function<void()>* next = nullptr;
};

// What a function callback was told, with the header as it stood then.
struct Callback {
    UINT message;
    WAVEHDR* header;
    DWORD flags;
    LPVOID next;
    DWORD recorded;
};

// A header with its data in the calling process's global heap (below 4 GiB).
inline WAVEHDR* NewHeader(DWORD bytes, BYTE fill = 0)
{
    auto* header = static_cast<WAVEHDR*>(GlobalAlloc(GPTR, sizeof(WAVEHDR) + bytes));
    if (header == nullptr) {
        return nullptr;     // an injected failure
    }
    header->lpData = reinterpret_cast<LPSTR>(header + 1);
    header->dwBufferLength = bytes;
    memset(header->lpData, fill, bytes);
    return header;
}

// One device an application opened by name through WinMM with a function
// callback, its callbacks as they came (on whichever thread) and its headers.
struct Device {
    bool in = false;
    HWAVE handle = nullptr;
    std::mutex lock;
    std::vector<Callback> calls;                            // lock
    std::function<void(HWAVE, const Callback&)> react;      // runs in the callback
    std::vector<WAVEHDR*> headers;

    // Typed as DriverCallback calls a function: the device handle as HDRVR.
    static void CALLBACK Record(HDRVR driver, UINT message, DWORD_PTR self, DWORD_PTR param1, DWORD_PTR)
    {
        const auto wave = reinterpret_cast<HWAVE>(driver);
        auto* device = reinterpret_cast<Device*>(self);
        auto* header = reinterpret_cast<WAVEHDR*>(param1);
        const Callback call{message, header, header ? header->dwFlags : 0,
                            header ? header->lpNext : nullptr, header ? header->dwBytesRecorded : 0};
        {
            std::lock_guard<std::mutex> guard(device->lock);
            device->calls.push_back(call);
        }
        if (device->react) {
            device->react(wave, call);
        }
    }

    std::vector<UINT> Messages()
    {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<UINT> messages;
        for (const Callback& call : calls) {
            messages.push_back(call.message);
        }
        return messages;
    }

    MMRESULT Open(bool input, const WAVEFORMATEX& format = Stereo16, DWORD flags = 0)
    {
        in = input;
        const UINT id = 0;     // the one driver's first device
        WAVEINCAPSW inCaps{};
        WAVEOUTCAPSW outCaps{};
        const WCHAR* name = in ? (waveInGetDevCapsW(id, &inCaps, sizeof(inCaps)), inCaps.szPname)
                               : (waveOutGetDevCapsW(id, &outCaps, sizeof(outCaps)), outCaps.szPname);
        if (std::u16string_view(reinterpret_cast<const char16_t*>(name)) != (in ? u"Tonvane 1 In" : u"Tonvane 1 Out")) {
            return MMSYSERR_BADDEVICEID;
        }
        flags |= CALLBACK_FUNCTION;
        const auto callback = reinterpret_cast<DWORD_PTR>(&Record);
        const auto self = reinterpret_cast<DWORD_PTR>(this);
        return in ? waveInOpen(reinterpret_cast<LPHWAVEIN>(&handle), id, &format, callback, self, flags)
                  : waveOutOpen(reinterpret_cast<LPHWAVEOUT>(&handle), id, &format, callback, self, flags);
    }

    // The driver's message through WinMM's handle.
    MMRESULT Call(UINT outMessage, UINT inMessage, DWORD_PTR param1 = 0, DWORD_PTR param2 = 0)
    {
        return in ? waveInMessage(HWAVEIN(handle), inMessage, param1, param2)
                  : waveOutMessage(HWAVEOUT(handle), outMessage, param1, param2);
    }

    // Prepares and queues a new header; dwBytesRecorded starts at 77.
    MMRESULT Queue(DWORD bytes, BYTE fill = 0, DWORD flags = 0, DWORD loops = 0, DWORD size = sizeof(WAVEHDR))
    {
        WAVEHDR* header = NewHeader(bytes, fill);
        if (header == nullptr) {
            return MMSYSERR_NOMEM;
        }
        header->dwFlags = flags;
        header->dwLoops = loops;
        header->dwBytesRecorded = 77;
        headers.push_back(header);
        if (in) {
            waveInPrepareHeader(HWAVEIN(handle), header, sizeof(WAVEHDR));
            return waveInAddBuffer(HWAVEIN(handle), header, size);
        }
        waveOutPrepareHeader(HWAVEOUT(handle), header, sizeof(WAVEHDR));
        return waveOutWrite(HWAVEOUT(handle), header, size);
    }

    DWORD Position(UINT type, UINT* answered = nullptr)
    {
        MMTIME time{type, {}};
        in ? waveInGetPosition(HWAVEIN(handle), &time, sizeof(time))
           : waveOutGetPosition(HWAVEOUT(handle), &time, sizeof(time));
        if (answered != nullptr) {
            *answered = time.wType;
        }
        return time.u.cb;
    }

    // Resets, unprepares and frees every header, then closes.
    MMRESULT Close()
    {
        Call(WODM_RESET, WIDM_RESET);
        for (WAVEHDR* header : headers) {
            in ? waveInUnprepareHeader(HWAVEIN(handle), header, sizeof(WAVEHDR))
               : waveOutUnprepareHeader(HWAVEOUT(handle), header, sizeof(WAVEHDR));
            GlobalFree(header);
        }
        headers.clear();
        return in ? waveInClose(HWAVEIN(handle)) : waveOutClose(HWAVEOUT(handle));
    }
};

// Sends one message to tonwave as the Multimedia applet does.
inline LRESULT SendToTonwave(UINT message)
{
    HDRVR driver = OpenDriver(W(u"tonwave.dll"), nullptr, 0);
    const LRESULT result = SendDriverMessage(driver, message, 0, 0);
    CloseDriver(driver, 0, 0);
    return result;
}
