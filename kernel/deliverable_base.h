// What the shared code in common/ needs from the deliverable it is built into:
// the platform's basic types and the deliverable's own allocation routine.
// tonkern supplies this file; tonwave supplies its own.
#pragma once

#include <ntddk.h>

// Non-paged pool in tonkern. Blocks are not zero-filled; null on failure.
PVOID ModuleAllocate(ULONG size);
VOID ModuleFree(PVOID block);
