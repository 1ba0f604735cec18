// Shared between the stand-in kernel32's source files. Not a product header.
#pragma once

#include <stdint.h>

#include <string>

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

namespace host_k32 {

// Whether a process has the module loaded from the host file hostPath.
bool IsModuleFile(const std::string& hostPath);

// kernel32 itself as a module (GetModuleHandle("kernel32.dll")) and the
// routines programs look up in it at run time; null with the last error
// set for any other name.
HMODULE Kernel32Module();
FARPROC Kernel32Export(LPCSTR name);

// The standard handles of a process's console; writes to its output and
// error are kept for tests (HostK32ConsoleText).
bool IsConsoleHandle(HANDLE handle);
BOOL WriteConsoleHandle(HANDLE handle, LPCVOID buffer, DWORD length, LPDWORD written);

// Forgets a process's program record (image path, WOW64, console text).
void DetachProgram(DWORD processId);

}  // namespace host_k32
