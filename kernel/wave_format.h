// The PCM format record and wave-header loop flags as WinMM lays them out.
// The kernel has no WinMM headers; the guards match theirs so a file that
// includes both keeps one definition.
#pragma once

#include <ntddk.h>

#ifndef _WAVEFORMATEX_
#define _WAVEFORMATEX_
#pragma pack(push, 1)
typedef struct tWAVEFORMATEX {
    USHORT wFormatTag;
    USHORT nChannels;
    ULONG nSamplesPerSec;
    ULONG nAvgBytesPerSec;
    USHORT nBlockAlign;
    USHORT wBitsPerSample;
    USHORT cbSize;
} WAVEFORMATEX, *PWAVEFORMATEX;
#pragma pack(pop)
#endif

static_assert(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX is an 18-byte record");

#ifndef WHDR_BEGINLOOP
#define WHDR_BEGINLOOP 0x00000004
#endif
#ifndef WHDR_ENDLOOP
#define WHDR_ENDLOOP 0x00000008
#endif
