// Test controls of the stand-in sound card: an installable wave driver
// (System32/hostcard.dll) with one wave-out device, "Host Speaker", and one
// wave-in device, "Host Microphone". The card's hardware is one per host
// program, shared by every process that loads the driver: what the speaker
// played, what the microphone hears, and which calls it refuses.
#pragma once

#include "windef.h"

typedef enum _HOST_CARD_DEVICE {
    HostCardSpeaker,
    HostCardMicrophone,
} HOST_CARD_DEVICE;

// Calls the card can be made to refuse, each answered as a device that
// cannot do it answers (MMSYSERR_ALLOCATED for an open, MMSYSERR_NOMEM for a
// queued buffer, MMSYSERR_ERROR for a start).
typedef enum _HOST_CARD_CALL {
    HostCardOpen,           // WODM_OPEN, WIDM_OPEN
    HostCardQueue,          // WODM_WRITE, WIDM_ADDBUFFER
    HostCardStart,          // WIDM_START
} HOST_CARD_CALL;

#ifdef __cplusplus
extern "C" {
#endif

// Both devices present, no refusal, a silent microphone, a speaker that
// keeps nothing and writes no file. Tests call it before they boot.
VOID HostCardReset(VOID);

// A dropped device is not counted by GETNUMDEVS, so WinMM of a process that
// starts using the wave API afterwards does not see it.
VOID HostCardDropDevice(HOST_CARD_DEVICE Device, BOOL Dropped);

// The Nth such call on the device from now (N >= 1) is refused, once; with
// N 0, every such call until reset.
VOID HostCardRefuse(HOST_CARD_DEVICE Device, HOST_CARD_CALL Call, ULONG N);

// The speaker keeps what it plays from now on (Keep TRUE; what it kept
// before is dropped) or nothing. What is kept is a timeline: it begins with
// the first byte played and, once begun, holds silence for every moment an
// open speaker played nothing (paused, or with no buffer), so byte i sounded
// at *FirstByteTime (ms of the stand-in clock) + i / the byte rate.
VOID HostCardSpeakerKeep(BOOL Keep);
// Copies up to Size kept bytes to Buffer; returns how many are kept.
SIZE_T HostCardSpeakerKept(PVOID Buffer, SIZE_T Size, DWORD* FirstByteTime);

// Everything the speaker plays from now on also goes to a PCM WAV file at
// the host path Path, created now (FALSE, ERROR_OPEN_FAILED if it cannot
// be), in the format of the first bytes played; while it is written, a
// speaker open in another format is refused with WAVERR_BADFORMAT. Its
// header is brought up to date, and the file flushed, whenever a speaker
// stream is reset or closed. Bytes only: the moments the speaker played
// nothing are not in the file. A NULL Path (or HostCardReset) finishes and
// closes the file: FALSE, ERROR_WRITE_FAULT if anything failed to reach it.
BOOL HostCardSpeakerWriteWav(LPCSTR Path);

// What the microphone hears: silence; Bytes (Size bytes of PCM in the format
// the microphone is opened with) over and over, copied; a sine tone of
// FrequencyHz at Amplitude (a share of full scale, 0 to 1) in whatever PCM
// format it is opened with, one sample on every channel, 8- to 32-bit
// containers; or the sound of a PCM WAV file over and over, read now. The
// file is refused with FALSE and ERROR_OPEN_FAILED if it cannot be read,
// ERROR_BAD_FORMAT if it is not a PCM WAV file with a whole frame of sound
// (WAVE_FORMAT_EXTENSIBLE is not read); while it plays, a microphone open
// in any other format is refused with WAVERR_BADFORMAT.
VOID HostCardMicrophoneSilence(VOID);
VOID HostCardMicrophoneSound(const VOID* Bytes, SIZE_T Size);
VOID HostCardMicrophoneTone(ULONG FrequencyHz, double Amplitude);
BOOL HostCardMicrophoneWav(LPCSTR Path);

// Buffers the card has completed since reset, both devices, all processes.
ULONG HostCardCompletedBuffers(VOID);

#ifdef __cplusplus
}
#endif
