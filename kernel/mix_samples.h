// Saturating addition of one run of integer PCM samples into the mix buffer.
#pragma once

#include <ntddk.h>

// Adds count samples of width bytes from source into destination, in place,
// each sum saturated to the width's range. Width 1 is unsigned 8-bit around
// 0x80, 2 signed 16-bit, 3 signed 24-bit packed low byte first; 4 and any
// other width signed 32-bit. Samples are little-endian and need no alignment;
// the buffers never overlap. Any IRQL, any processor: touches only its
// arguments.
VOID MixSamples(PUCHAR destination, const UCHAR* source, ULONG count, ULONG width);
