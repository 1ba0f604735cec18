// Device paths of both drivers, from the wide format "\%S\%S%u%S": a narrow
// prefix ("Device", "DosDevices", or "\." on the client side), the base name
// "Tonvane", the conduit number plus 1 and "In" for direction 1 or "Out" for
// any other direction. Written by hand rather than with a printf, whose %S
// means different things on Windows and glibc: the same bytes on both.
#pragma once

#include "deliverable_base.h"

constexpr char DEVICE_BASE_NAME[] = "Tonvane";
constexpr char DEVICE_PREFIX[] = "Device";
constexpr char LINK_PREFIX[] = "DosDevices";
constexpr char CLIENT_PREFIX[] = "\\.";

// Writes the NUL-terminated path into buffer (capacity wide characters,
// NUL included) and returns its length without the NUL; returns 0 and writes
// an empty string (when capacity allows) if it does not fit.
ULONG FormatDeviceName(WCHAR* buffer, ULONG capacity, const char* prefix, ULONG direction,
                       ULONG conduitNumber);
