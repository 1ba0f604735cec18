// Guarded access to the record of a read or write request. Its address is
// whatever the caller put in the request's byte offset: it may be unmapped,
// read-only, or, from a user-mode caller, inside system space. These calls
// never fault and never touch system space for a UserMode request; every
// byte is reached under the platform's fault guard. PASSIVE_LEVEL (the
// record may be paged out). One implementation per platform, chosen by the
// build: the kernel's structured exception handling on Windows, the
// stand-in's guarded copies on the host.
#pragma once

#include <ntddk.h>

#include "driver_request.h"

// Copies the DRIVER_REQUEST_LENGTH bytes at record into copy. False, with
// nothing written at record, when any of those bytes cannot be read, when
// the result field cannot be written, or when mode is UserMode and the
// record does not lie wholly in user space.
bool CaptureCallerRecord(const VOID* record, KPROCESSOR_MODE mode, DriverRequest* copy);

// Stores result into the result field of record, under the same rules;
// false when that was impossible (the caller freed or protected the record
// meanwhile).
bool StoreCallerResult(PVOID record, KPROCESSOR_MODE mode, ULONG result);
