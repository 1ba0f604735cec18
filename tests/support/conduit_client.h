// How a client reaches tonkern's devices: an overlapped handle on a device
// path, and control requests carrying a record as their output buffer.
#pragma once

#include <windows.h>

#include "client_text.h"
#include "wire_record.h"

inline const char16_t* ConduitPath(USHORT direction)
{
    return direction == wire::In ? u"\\\\.\\Tonvane1In" : u"\\\\.\\Tonvane1Out";
}

inline HANDLE OpenConduit(const char16_t* path)
{
    return CreateFileW(W(path), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A control request on record; *returned gets the byte count the call gave.
inline BOOL ConduitControl(HANDLE device, UCHAR* record, DWORD size, DWORD* returned,
                           DWORD code = wire::Ioctl)
{
    *returned = 0xFFFFFFFF;
    return DeviceIoControl(device, code, nullptr, 0, record, size, returned, nullptr);
}
