// The relay engine.
//
//   state                    flags                  entered by                   left by
//   Stopped                  none                   program start, end of a      Start: StartRelay
//                                                   run, an abandoned start
//   Running, output held     RUNNING                StartRelay                   outQueued reaches
//                                                                                bufferCount / 2; Stop
//   Running, output playing  RUNNING, OUTPUT_       the worker's waveOutRestart  Stop
//                            STARTED
//   Stopping                 + STOPPING             RequestRelayStop             the last buffer released:
//                                                                                WM_RELAY_ENDED, OnRelayEnded
//
// A run that loses its last buffer to a refused hand-over ends the same way,
// without STOPPING. A buffer is always in exactly one place: queued on the
// input, queued on the output, in a completion message on its way to the
// worker, or in the worker's hands; the worker finds relayState through its
// header's dwUser.
//
// Threads: the dialog thread starts a run, asks it to stop and tears it down;
// the worker hands buffers on. The dialog thread never waits for the worker
// except to undo a start, and then the worker sends it nothing.
//
// Lock order: handOverLock, then WinMM's own. handOverLock is never held
// while a queue bar is set: a bar is set by a message sent to the dialog
// thread, which may itself be waiting for the lock in RequestRelayStop.
#include "relay_engine.h"

#include <commctrl.h>

namespace {

// Orders the worker's test of RELAY_STOPPING and its hand-over of a buffer
// against the stop request's setting of the flag and the two resets, so
// that no buffer reaches a device after that device was reset.
CRITICAL_SECTION handOverLock;

// The dialog's windows for the current run: set by StartRelay before the
// worker is created, then only read.
struct RelayRunWindows {
    HWND dialog;
    HWND inQueueBar;
    HWND outQueueBar;
};
RelayRunWindows runWindows;

// Signalled by the worker once its message queue exists.
HANDLE workerReady;

RelayState* StateOf(const WAVEHDR* header)
{
    return reinterpret_cast<RelayState*>(header->dwUser);
}

// The bars show a run. While an abandoned start is undone (RELAY_STOPPING
// without RELAY_RUNNING) the dialog thread waits for the worker and takes no
// message, so the bars are left alone.
VOID SetQueueBar(HWND bar, int count)
{
    if ((RelayFlags() & (RELAY_RUNNING | RELAY_STOPPING)) != RELAY_STOPPING) {
        SendMessageA(bar, PBM_SETPOS, WPARAM(count), 0);
    }
}

VOID FreeRelayBuffer(WAVEHDR* header)
{
    GlobalFree(header->lpData);
    LocalFree(header);
}

// Worker: frees a buffer that has come back; the last one ends the loop.
VOID ReleaseRelayBuffer(WAVEHDR* header)
{
    RelayState* state = StateOf(header);
    FreeRelayBuffer(header);
    if (--state->buffersAllocated == 0) {
        PostThreadMessageA(GetCurrentThreadId(), WM_QUIT, 0, 0);
    }
}

// The two devices as the worker hands buffers between them.
struct InputDevice {
    static VOID Prepare(RelayState& state, WAVEHDR* header)
    {
        waveInPrepareHeader(state.hWaveIn, header, sizeof(WAVEHDR));
    }
    static VOID Unprepare(RelayState& state, WAVEHDR* header)
    {
        waveInUnprepareHeader(state.hWaveIn, header, sizeof(WAVEHDR));
    }
    static MMRESULT Queue(RelayState& state, WAVEHDR* header)
    {
        return waveInAddBuffer(state.hWaveIn, header, sizeof(WAVEHDR));
    }
    static int& Queued(RelayState& state) { return state.inQueued; }
    static HWND Bar() { return runWindows.inQueueBar; }
};

struct OutputDevice {
    static VOID Prepare(RelayState& state, WAVEHDR* header)
    {
        waveOutPrepareHeader(state.hWaveOut, header, sizeof(WAVEHDR));
    }
    static VOID Unprepare(RelayState& state, WAVEHDR* header)
    {
        waveOutUnprepareHeader(state.hWaveOut, header, sizeof(WAVEHDR));
    }
    static MMRESULT Queue(RelayState& state, WAVEHDR* header)
    {
        return waveOutWrite(state.hWaveOut, header, sizeof(WAVEHDR));
    }
    static int& Queued(RelayState& state) { return state.outQueued; }
    static HWND Bar() { return runWindows.outQueueBar; }
};

// Worker: a buffer that From has finished goes to To, the same memory,
// unchanged; while stopping, or when To refuses it, it is released instead.
// TRUE when To has it.
template <typename From, typename To>
BOOL HandOver(WAVEHDR* header)
{
    RelayState& state = *StateOf(header);
    From::Unprepare(state, header);
    From::Queued(state)--;
    SetQueueBar(From::Bar(), From::Queued(state));

    EnterCriticalSection(&handOverLock);
    const BOOL stopping = (RelayFlags() & RELAY_STOPPING) != 0;
    BOOL handedOn = FALSE;
    if (!stopping) {
        To::Prepare(state, header);
        handedOn = To::Queue(state, header) == MMSYSERR_NOERROR;
    }
    LeaveCriticalSection(&handOverLock);

    if (handedOn) {
        To::Queued(state)++;
        SetQueueBar(To::Bar(), To::Queued(state));
    } else {
        if (!stopping) {
            To::Unprepare(state, header);
        }
        ReleaseRelayBuffer(header);
    }
    return handedOn;
}

// Worker, MM_WIM_DATA. The output is held until half of the buffers
// (rounded down) wait at it, then never again within the run.
VOID RelayFilledBuffer(WAVEHDR* header)
{
    RelayState& state = *StateOf(header);
    if (HandOver<InputDevice, OutputDevice>(header)
        && state.outQueued >= state.bufferCount / 2
        && (RelayFlags() & RELAY_OUTPUT_STARTED) == 0) {
        waveOutRestart(state.hWaveOut);
        SetRelayFlags(RELAY_OUTPUT_STARTED);
    }
}

VOID ShowDeviceError(RelayDialogSide& dialog, RelayDirection direction)
{
    char device[RelayDeviceTextSize];
    char message[RelayDeviceTextSize + 32];
    dialog.DeviceText(direction, device);
    wsprintfA(message, "Cannot open device %s", device);
    ShowError(message);
}

// Opens both devices, holds the output and queues every buffer on the input.
// On failure what was made stays for AbandonRelayStart to undo, except the
// buffer being made, which is freed here.
BOOL OpenRelayDevices(RelayState& state, RelayDialogSide& dialog,
                      const WAVEFORMATEX& format, DWORD bytesPerBuffer)
{
    const DWORD_PTR callback = state.workerThreadId;
    BOOL opened = FALSE;
    state.hWaveIn = nullptr;
    state.hWaveOut = nullptr;
    state.buffersAllocated = 0;

    if (waveInOpen(&state.hWaveIn, dialog.SelectedDevice(RelayInput), &format,
                   callback, 0, CALLBACK_THREAD) != MMSYSERR_NOERROR) {
        state.hWaveIn = nullptr;
        ShowDeviceError(dialog, RelayInput);
    } else if (waveOutOpen(&state.hWaveOut, dialog.SelectedDevice(RelayOutput), &format,
                           callback, 0, CALLBACK_THREAD) != MMSYSERR_NOERROR) {
        state.hWaveOut = nullptr;
        ShowDeviceError(dialog, RelayOutput);
    } else {
        waveOutPause(state.hWaveOut);
        opened = TRUE;
        while (opened && state.buffersAllocated < state.bufferCount) {
            LPSTR data = static_cast<LPSTR>(GlobalAlloc(GMEM_FIXED, bytesPerBuffer));
            WAVEHDR* header = data ? static_cast<WAVEHDR*>(LocalAlloc(LMEM_FIXED, sizeof(WAVEHDR)))
                                   : nullptr;
            if (header == nullptr) {
                if (data != nullptr) {
                    GlobalFree(data);
                }
                opened = FALSE;
            } else {
                *header = WAVEHDR{};
                header->lpData = data;
                header->dwBufferLength = bytesPerBuffer;
                header->dwUser = reinterpret_cast<DWORD_PTR>(&state);
                waveInPrepareHeader(state.hWaveIn, header, sizeof(WAVEHDR));
                if (waveInAddBuffer(state.hWaveIn, header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
                    waveInUnprepareHeader(state.hWaveIn, header, sizeof(WAVEHDR));
                    FreeRelayBuffer(header);
                    opened = FALSE;
                } else {
                    state.buffersAllocated++;
                    state.inQueued++;
                }
            }
        }
    }
    return opened;
}

VOID CloseRelayDevices(RelayState& state)
{
    if (state.hWaveIn != nullptr) {
        waveInClose(state.hWaveIn);
        state.hWaveIn = nullptr;
    }
    if (state.hWaveOut != nullptr) {
        waveOutClose(state.hWaveOut);
        state.hWaveOut = nullptr;
    }
}

// Creates the worker and waits until its message queue exists, so that no
// completion message can be posted to a thread without one.
BOOL StartRelayWorker(RelayState& state)
{
    BOOL started = FALSE;
    workerReady = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (workerReady != nullptr) {
        state.workerThread = CreateThread(nullptr, 0, RelayWorker, &state, 0, &state.workerThreadId);
        if (state.workerThread != nullptr) {
            WaitForSingleObject(workerReady, INFINITE);
            started = TRUE;
        } else {
            state.workerThreadId = 0;
        }
        CloseHandle(workerReady);
        workerReady = nullptr;
    }
    return started;
}

// The way back from a start that failed after the worker was created: the
// resets return every queued buffer to the worker, which releases each and
// ends after the last (or at once when none was made). No buffer has reached
// the worker before: the input never started.
VOID AbandonRelayStart(RelayState& state)
{
    EnterCriticalSection(&handOverLock);
    SetRelayFlags(RELAY_STOPPING);
    const BOOL noBuffers = state.buffersAllocated == 0;
    if (state.hWaveIn != nullptr) {
        waveInReset(state.hWaveIn);
    }
    if (state.hWaveOut != nullptr) {
        waveOutReset(state.hWaveOut);
    }
    LeaveCriticalSection(&handOverLock);
    if (noBuffers) {
        PostThreadMessageA(state.workerThreadId, WM_QUIT, 0, 0);
    }
    WaitForSingleObject(state.workerThread, INFINITE);

    // The worker ended by posting WM_RELAY_ENDED: this start has no run to end.
    MSG ended;
    PeekMessageA(&ended, runWindows.dialog, WM_RELAY_ENDED, WM_RELAY_ENDED, PM_REMOVE);
    CloseHandle(state.workerThread);
    state.workerThread = nullptr;
    state.workerThreadId = 0;
    CloseRelayDevices(state);
    state.inQueued = 0;
    state.outQueued = 0;
    SetPriorityClass(GetCurrentProcess(), savedPriorityClass);
    ClearRelayFlags(RELAY_STOPPING);
}

} // namespace

VOID InitialiseRelayEngine()
{
    InitializeCriticalSection(&handOverLock);
}

VOID ShowError(const char* text)
{
    MessageBoxA(nullptr, text, "Error", MB_ICONERROR);
}

BOOL StartRelay(RelayDialogSide& dialog)
{
    RelayState& state = relayState;
    const WAVEFORMATEX format = RelayFormat(state);
    DWORD bytesPerBuffer = 0;
    BOOL started = FALSE;

    if (!RelayBytesPerBuffer(state, format, &bytesPerBuffer)) {
        ShowError("Cannot start transfer");
    } else {
        runWindows = {dialog.Window(), dialog.QueueBar(RelayInput), dialog.QueueBar(RelayOutput)};
        state.inQueued = 0;
        state.outQueued = 0;
        const LPARAM range = MAKELPARAM(0, state.bufferCount);
        SendMessageA(runWindows.inQueueBar, PBM_SETRANGE, 0, range);
        SendMessageA(runWindows.outQueueBar, PBM_SETRANGE, 0, range);
        SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS);

        if (!StartRelayWorker(state)) {
            SetPriorityClass(GetCurrentProcess(), savedPriorityClass);
            ShowError("Cannot start transfer");
        } else if (!OpenRelayDevices(state, dialog, format, bytesPerBuffer)) {
            AbandonRelayStart(state);
        } else if (waveInStart(state.hWaveIn) != MMSYSERR_NOERROR) {
            AbandonRelayStart(state);
            ShowError("Cannot start transfer");
        } else {
            dialog.ShowRunning();
            SetRelayFlags(RELAY_RUNNING);
            started = TRUE;
        }
    }
    return started;
}

VOID RequestRelayStop()
{
    EnterCriticalSection(&handOverLock);
    SetRelayFlags(RELAY_STOPPING);
    waveInReset(relayState.hWaveIn);
    waveOutReset(relayState.hWaveOut);
    LeaveCriticalSection(&handOverLock);
}

VOID OnRelayEnded(RelayDialogSide& dialog)
{
    RelayState& state = relayState;
    if (state.workerThread != nullptr) {
        CloseHandle(state.workerThread);
        state.workerThreadId = 0;
        state.workerThread = nullptr;
        CloseRelayDevices(state);
        dialog.ShowStopped();
        SetPriorityClass(GetCurrentProcess(), savedPriorityClass);
        ClearRelayFlags(RELAY_RUNNING | RELAY_STOPPING | RELAY_OUTPUT_STARTED);
    }
}

// The state comes with every buffer, in its header's dwUser.
DWORD WINAPI RelayWorker(LPVOID)
{
    MSG message;
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    PeekMessageA(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    SetEvent(workerReady);

    while (GetMessageA(&message, nullptr, 0, 0) == 1) {
        WAVEHDR* header = reinterpret_cast<WAVEHDR*>(message.lParam);
        if (message.message == MM_WIM_DATA) {
            RelayFilledBuffer(header);
        } else if (message.message == MM_WOM_DONE) {
            HandOver<OutputDevice, InputDevice>(header);
        }
    }
    PostMessageA(runWindows.dialog, WM_RELAY_ENDED, 0, 0);
    return 0;
}
