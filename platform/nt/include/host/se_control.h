// The host's stand-in for probing a caller's memory under an exception
// handler. On Windows a driver guards access to a caller's buffer with
// ProbeForRead/ProbeForWrite and the access itself inside __try/__except;
// the handler sees STATUS_ACCESS_VIOLATION or STATUS_DATATYPE_MISALIGNMENT.
// On the host the same outcome is a returned status: nothing is raised and an
// unreadable or unwritable address never faults. "System space" on the host
// is every block of the pool, the I/O manager's objects and system-space
// copies, and the loaded driver images and ntoskrnl itself.
#pragma once

#include "nt/ntdef.h"

NT_EXTERN_C_BEGIN

// As ProbeForRead followed by touching every byte: STATUS_SUCCESS for a
// length of 0; STATUS_DATATYPE_MISALIGNMENT when Address is not a multiple
// of Alignment (a power of two, 1 to 16); STATUS_ACCESS_VIOLATION when the
// range wraps, lies partly in system space while Mode is UserMode, or cannot
// be read. Nothing is written.
NTSTATUS HostSeProbeForRead(const VOID* Address, SIZE_T Length, ULONG Alignment,
                            KPROCESSOR_MODE Mode);
// As ProbeForWrite: the same checks, for writing. Probing writes each byte
// back with the value it holds, as ProbeForWrite does.
NTSTATUS HostSeProbeForWrite(PVOID Address, SIZE_T Length, ULONG Alignment,
                             KPROCESSOR_MODE Mode);

// A probe (for Mode UserMode) and a copy that cannot fault: from a caller's
// buffer into the driver's, or from the driver's into a caller's. On
// STATUS_ACCESS_VIOLATION the destination may hold a partial copy.
NTSTATUS HostSeCopyFromCaller(PVOID Destination, const VOID* CallerSource, SIZE_T Length,
                              KPROCESSOR_MODE Mode);
NTSTATUS HostSeCopyToCaller(PVOID CallerDestination, const VOID* Source, SIZE_T Length,
                            KPROCESSOR_MODE Mode);

// TRUE when any byte of the range lies in system space.
BOOLEAN HostSeIsSystemAddress(const VOID* Address, SIZE_T Length);

NT_EXTERN_C_END
