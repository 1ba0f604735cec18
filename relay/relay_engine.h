// The relay engine: moves live audio from one wave-in device to one wave-out
// device through bufferCount buffers that circulate between them, handed on
// by a time-critical worker thread without copying.
#pragma once

#include <windows.h>

#include "relay_state.h"

// Posted by the worker to the dialog's window once it has left its loop.
constexpr UINT WM_RELAY_ENDED = WM_USER + 0x400;

enum RelayDirection { RelayInput, RelayOutput };

// Longest device list text a failure message shows, with its terminating zero.
constexpr int RelayDeviceTextSize = 80;

// The dialog that drives a run, as the engine sees it. Called on the dialog
// thread only; the worker uses nothing but the windows, read at the start.
class RelayDialogSide {
public:
    // Position of the selection in the direction's device list, which is the
    // WinMM device number; (UINT)-1, WAVE_MAPPER, when there is none.
    virtual UINT SelectedDevice(RelayDirection direction) = 0;
    // The list's current text into text[RelayDeviceTextSize], always ended.
    virtual VOID DeviceText(RelayDirection direction, char* text) = 0;
    virtual HWND Window() = 0;                          // gets WM_RELAY_ENDED
    virtual HWND QueueBar(RelayDirection direction) = 0;
    // Start sequence, last step: the settings controls are locked and the
    // Start/Stop button says "Stop".
    virtual VOID ShowRunning() = 0;
    // End of a run: the button says "Start", the settings controls and the
    // button are enabled.
    virtual VOID ShowStopped() = 0;

protected:
    ~RelayDialogSide() = default;
};

// Program start, once per process, before the first StartRelay.
VOID InitialiseRelayEngine();

// MessageBoxA without owner, captioned "Error", with the error icon.
VOID ShowError(const char* text);

// Dialog thread, RELAY_RUNNING clear. On success the run is going and
// RELAY_RUNNING is set. On failure, after any message, everything the start
// did is undone: no worker, no open device, no buffer, the saved priority
// class back, relayState as before.
BOOL StartRelay(RelayDialogSide& dialog);

// Dialog thread, RELAY_RUNNING set: every buffer comes back and is released;
// the last release ends the worker, which posts WM_RELAY_ENDED.
VOID RequestRelayStop();

// Dialog thread, on WM_RELAY_ENDED: the run's teardown. A message that ends
// no run is ignored.
VOID OnRelayEnded(RelayDialogSide& dialog);

// The worker's thread routine; exit code 0.
DWORD WINAPI RelayWorker(LPVOID state);
