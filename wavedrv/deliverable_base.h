// What the shared code in common/ needs from the deliverable it is built into:
// the platform's basic types and the deliverable's own allocation routine.
// tonwave is a Win32 DLL; this is its copy of the file.
#pragma once

#include <windows.h>

// Fixed blocks of the Win32 global heap: not zero-filled; null on failure.
// Every object of tonwave, and the list records and entries of the shared
// code, lives in such a block.
PVOID ModuleAllocate(ULONG size);
VOID ModuleFree(PVOID block);
