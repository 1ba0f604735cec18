// Test controls of the stand-in kernel32's heap: accounting of live blocks
// and failure injection, like the pool's. Global and local blocks share one
// heap, as on Win32.
#pragma once

#include "windef.h"

#ifdef __cplusplus
extern "C" {
#endif

DWORD HostHeapLiveBlocks(VOID);
SIZE_T HostHeapLiveBytes(VOID);
// The Nth allocation from now (N >= 1) fails once; or every one until reset.
VOID HostHeapFailNth(DWORD N);
VOID HostHeapFailAlways(VOID);
VOID HostHeapFailReset(VOID);
// Byte a block without GMEM_ZEROINIT is filled with.
#define HOST_HEAP_FRESH_FILL 0xCD

#ifdef __cplusplus
}
#endif
