// RelayState, the one record of Tonrelay, and the rules that turn its five
// settings into the wave format and the buffer size of a run.
//
// Ownership of the fields:
//   settings                   dialog thread, changed only while no run is in
//                              progress; read by the worker during a run
//   hWaveIn, hWaveOut,         dialog thread; the worker reads the handles
//   workerThread(Id)           while buffers flow
//   buffersAllocated,          dialog thread while the buffers are made
//   inQueued, outQueued        (before waveInStart), then the worker's alone
//                              until it has ended
//   flags                      both threads, each change one interlocked
//                              update (RelayFlags and friends)
#pragma once

#include <windows.h>
#include <mmsystem.h>

// RelayState.flags bits.
constexpr LONG RELAY_RUNNING = 1;
constexpr LONG RELAY_STOPPING = 2;
constexpr LONG RELAY_OUTPUT_STARTED = 4;

struct RelayState {
    HWAVEIN hWaveIn;            // the open input device; 0 when closed
    HWAVEOUT hWaveOut;          // the open output device; 0 when closed
    int sampleRate;
    int bitsPerSample;
    int channels;
    int totalBufferMs;          // all buffers together
    int bufferCount;
    int buffersAllocated;       // made at start, not yet released
    int inQueued;               // waiting at the input device
    int outQueued;              // waiting at the output device
    LONG flags;                 // RELAY_* bits
    HANDLE workerThread;        // 0 when there is no run
    DWORD workerThreadId;       // callback target of both devices
};

// Every field 0 but the five defaults.
constexpr RelayState RelayInitialState = {
    nullptr, nullptr, 44100, 16, 2, 1000, 8, 0, 0, 0, 0, nullptr, 0};

extern RelayState relayState;
// The process priority class when the dialog was initialised; every run and
// every abandoned start ends by restoring it.
extern DWORD savedPriorityClass;

// Atomic read of relayState.flags, and single interlocked changes of it.
LONG RelayFlags();
VOID SetRelayFlags(LONG bits);
VOID ClearRelayFlags(LONG bits);

// PCM format from the settings: whole bytes per sample, in 16-bit arithmetic.
WAVEFORMATEX RelayFormat(const RelayState& state);

// Bytes of each buffer: totalBufferMs of format split over bufferCount, at
// least 1, rounded up to whole frames; the product is formed in 64 bits.
// FALSE when the settings give no size (no buffer, no frame size) or one
// that does not fit a DWORD.
BOOL RelayBytesPerBuffer(const RelayState& state, const WAVEFORMATEX& format, DWORD* bytes);
