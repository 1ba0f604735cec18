// The applications of a run, as a WinMM program writes them: a player or
// a recorder on the first thread of its own process. It finds its device
// by name among WinMM's devices, opens it with a window or a thread
// callback, and keeps a ring of prepared headers queued: a player refills
// each buffer that comes back with the next frames of its source, a
// recorder hands each one to its sink and queues it again until it has its
// frames. Orders from the run (app_link.h) arrive as thread messages.
//
// A client lives on its thread only, apart from its AppLink.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <cstdint>
#include <vector>

#include "app_link.h"
#include "audio_source.h"

enum class CallbackKind { Window, Thread };

// Where a recorder's frames go, on its thread; false stops the recording.
class RecordingSink {
public:
    virtual ~RecordingSink() = default;
    virtual bool Take(const uint8_t* data, uint32_t bytes) = 0;
};

struct ClientPlan {
    bool play = true;                   // a player, else a recorder
    const char16_t* deviceName = u"";   // "Tonvane 1 Out", "Tonvane 1 In"
    PcmFormat format;
    CallbackKind callback = CallbackKind::Window;
    uint32_t ringBuffers = 4;
    uint32_t bufferFrames = 4410;
    const AudioSource* source = nullptr;    // a player's
    RecordingSink* sink = nullptr;          // a recorder's
    uint64_t frames = 0;                    // a recorder's: what it records
};

class WaveClient {
public:
    WaveClient(const ClientPlan& plan, AppLink* link) : plan_(plan), link_(link) {}
    WaveClient(const WaveClient&) = delete;
    WaveClient& operator=(const WaveClient&) = delete;

    // The process's Main; parameter is the WaveClient.
    static DWORD WINAPI Main(LPVOID parameter);

private:
    DWORD Run();
    bool Open();
    bool Queue(WAVEHDR* header);
    void OnMessage(UINT message, LPARAM lParam);
    void OnBuffer(WAVEHDR* header);
    DevicePosition Position();
    void Close();
    void Fail(const char* call, MMRESULT result);
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    const ClientPlan plan_;
    AppLink* const link_;
    HWAVEOUT out_ = nullptr;        // a player's device
    HWAVEIN in_ = nullptr;          // a recorder's
    HWND window_ = nullptr;
    std::vector<WAVEHDR*> ring_;
    uint64_t nextFrame_ = 0;        // next frame to queue: a player's source, a recorder's ask
    uint64_t nextSequence_ = 0;     // dwUser of the next header queued
    uint64_t expected_ = 0;         // dwUser of the next header due back
    uint64_t fullBytes_ = 0;        // bytes of the buffers back whole
    bool closing_ = false;
    bool running_ = true;
};
