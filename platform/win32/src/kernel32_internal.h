// Shared between the stand-in kernel32's source files. Not a product header.
#pragma once

#include <stdint.h>

#include <windows.h>

namespace host_k32 {

// NT's mapping of a status to a Win32 error (RtlNtStatusToDosError).
DWORD DosErrorOf(int32_t status);
// SetLastError of the mapped status, as kernel32's BaseSetLastNTError.
void SetLastNtError(int32_t status);

}  // namespace host_k32

namespace host_k32 {

// Frees (orderly end) or forgets (termination) a process's loaded modules.
void DetachModules(DWORD processId, bool orderly);
// Frees the host locks of a process's critical sections.
void DetachCriticalSections(DWORD processId);

}  // namespace host_k32
