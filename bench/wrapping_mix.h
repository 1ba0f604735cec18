// The mixing loop with plain wrapping addition: the reference MixSamples is
// measured against.
#pragma once

#include <ntddk.h>

VOID WrappingMix(PUCHAR destination, const UCHAR* source, ULONG count, ULONG width);
