#include "relay_state.h"

RelayState relayState = RelayInitialState;
DWORD savedPriorityClass = NORMAL_PRIORITY_CLASS;

LONG RelayFlags()
{
    return InterlockedCompareExchange(&relayState.flags, 0, 0);
}

VOID SetRelayFlags(LONG bits)
{
    InterlockedOr(&relayState.flags, bits);
}

VOID ClearRelayFlags(LONG bits)
{
    InterlockedAnd(&relayState.flags, ~bits);
}

WAVEFORMATEX RelayFormat(const RelayState& state)
{
    WAVEFORMATEX format = {};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = WORD(state.channels);
    format.nSamplesPerSec = DWORD(state.sampleRate);
    format.nBlockAlign = WORD((state.bitsPerSample + 7) / 8 * state.channels);
    format.nAvgBytesPerSec = format.nBlockAlign * format.nSamplesPerSec;
    format.wBitsPerSample = WORD(state.bitsPerSample);
    format.cbSize = 0;
    return format;
}

BOOL RelayBytesPerBuffer(const RelayState& state, const WAVEFORMATEX& format, DWORD* bytes)
{
    BOOL formed = FALSE;
    if (state.bufferCount > 0 && state.totalBufferMs >= 0 && format.nBlockAlign != 0) {
        const ULONGLONG frame = format.nBlockAlign;
        ULONGLONG size = ULONGLONG(state.totalBufferMs) * format.nAvgBytesPerSec;
        size = size / ULONGLONG(state.bufferCount) / 1000;
        if (size == 0) {
            size = 1;
        }
        size = (size + frame - 1) / frame * frame;
        if (size <= MAXDWORD) {
            *bytes = DWORD(size);
            formed = TRUE;
        }
    }
    return formed;
}
