// How a client reaches tonkern's devices: an overlapped handle on a device
// path, control requests carrying a record as their output buffer, and the
// record itself in the client's memory.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <vector>

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

// One DriverRequest in the global heap, which lies below 4 GiB so that its
// address fits the 32-bit byte offset of a read or write request.
class Record {
public:
    explicit Record(USHORT op, USHORT direction = wire::Out, ULONG stream = 0)
        : bytes_(static_cast<UCHAR*>(GlobalAlloc(GMEM_FIXED, wire::Size)))
    {
        std::memset(bytes_, 0xEE, wire::Size);
        wire::Fill(bytes_, op);
        if (op != wire::Handshake) {
            Put16(wire::Direction, direction);
            Put16(wire::DeviceId, 0);
            Put32(wire::StreamHandle, stream);
        }
    }
    ~Record() { GlobalFree(bytes_); }
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

    UCHAR* Bytes() const { return bytes_; }
    DWORD Address() const { return static_cast<DWORD>(reinterpret_cast<uintptr_t>(bytes_)); }
    std::vector<UCHAR> Copy() const { return std::vector<UCHAR>(bytes_, bytes_ + wire::Size); }

    void Put16(DWORD offset, USHORT value) { wire::Put16(bytes_, offset, value); }
    void Put32(DWORD offset, ULONG value) { wire::Put32(bytes_, offset, value); }
    USHORT Get16(DWORD offset) const { return wire::Get16(bytes_, offset); }
    ULONG Get32(DWORD offset) const { return wire::Get32(bytes_, offset); }
    ULONG Result() const { return Get32(wire::Result); }

    void SetFormat(ULONG rate, USHORT bits, USHORT channels, USHORT tag = 1)
    {
        wire::PutFormat(bytes_, rate, bits, channels, tag);
        Put32(wire::OpenFlags, 0);
    }

private:
    UCHAR* bytes_;
};
