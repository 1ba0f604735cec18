// The 118-byte request record as a client sees it on the wire: every field
// at its offset, written and read byte by byte. The one table of offsets for
// the tests; the record layout test checks the driver's struct against it.
#pragma once

#include <cstdint>
#include <cstring>

namespace wire {

// Plain fixed-width types: the table serves kernel-side and Win32-side tests.
using DWORD = uint32_t;
using ULONG = uint32_t;
using USHORT = uint16_t;
using UCHAR = uint8_t;

constexpr DWORD Size = 118;
constexpr DWORD HandshakeSize = 78;

// Offsets of the fields.
constexpr DWORD Signature = 0;
constexpr DWORD SignatureSize = 64;
constexpr DWORD Version = 64;
constexpr DWORD Length = 66;
constexpr DWORD Op = 68;
constexpr DWORD Result = 70;
constexpr DWORD Direction = 74;
constexpr DWORD DeviceId = 76;
constexpr DWORD DeviceCount = 74;
constexpr DWORD StreamHandle = 78;
constexpr DWORD Parameters = 82;     // the op's own area, up to Size
constexpr DWORD FormatTag = 82;
constexpr DWORD Channels = 84;
constexpr DWORD SamplesPerSec = 86;
constexpr DWORD AvgBytesPerSec = 90;
constexpr DWORD BlockAlign = 94;
constexpr DWORD BitsPerSample = 96;
constexpr DWORD CbSize = 98;
constexpr DWORD FormatSize = 32;
constexpr DWORD OpenFlags = 114;
constexpr DWORD ClientTag = 82;
constexpr DWORD CompletionRequest = 86;
constexpr DWORD Data = 90;
constexpr DWORD DataLength = 94;
constexpr DWORD HeaderFlags = 98;
constexpr DWORD Loops = 102;
constexpr DWORD TimeFormat = 82;
constexpr DWORD PositionSamples = 86;
constexpr DWORD PositionBytes = 90;
constexpr DWORD PositionMs = 94;

// Ops and directions.
constexpr USHORT Handshake = 0, Open = 1, Close = 2, AddBuffer = 3, Start = 4, Stop = 5,
                 Reset = 6, BreakLoop = 7, GetPosition = 8;
constexpr USHORT Out = 0, In = 1;

constexpr USHORT CurrentVersion = 0x0203;
constexpr DWORD Ioctl = 0x00220006;
constexpr const char ClientSignature[] = "Tonvane API Client Signature";
constexpr const char ServerSignature[] = "Tonvane API Server Signature";

constexpr ULONG NoError = 0;
constexpr ULONG NoMem = 7;
constexpr ULONG NotSupported = 8;
constexpr ULONG InvalParam = 11;
constexpr ULONG BadFormat = 32;
constexpr ULONG StillPlaying = 33;

// What the server never writes over in these tests.
constexpr ULONG Untouched = 0xA5A5A5A5;

inline void Put16(UCHAR* bytes, DWORD offset, USHORT value) { std::memcpy(bytes + offset, &value, 2); }
inline void Put32(UCHAR* bytes, DWORD offset, ULONG value) { std::memcpy(bytes + offset, &value, 4); }
inline USHORT Get16(const UCHAR* bytes, DWORD offset)
{
    USHORT value;
    std::memcpy(&value, bytes + offset, 2);
    return value;
}
inline ULONG Get32(const UCHAR* bytes, DWORD offset)
{
    ULONG value;
    std::memcpy(&value, bytes + offset, 4);
    return value;
}

// A valid header for op: signature, version, length, op; the result
// Untouched. The rest of the record is left as it is.
inline void Fill(UCHAR* bytes, USHORT op)
{
    std::memcpy(bytes + Signature, ClientSignature, sizeof(ClientSignature));
    Put16(bytes, Version, CurrentVersion);
    Put16(bytes, Length, op == Handshake ? HandshakeSize : Size);
    Put16(bytes, Op, op);
    Put32(bytes, Result, Untouched);
}

// A PCM format with its block and rate fields derived.
inline void PutFormat(UCHAR* bytes, ULONG rate, USHORT bits, USHORT channels, USHORT tag = 1)
{
    const USHORT block = static_cast<USHORT>((bits + 7) / 8 * channels);
    Put16(bytes, FormatTag, tag);
    Put16(bytes, Channels, channels);
    Put32(bytes, SamplesPerSec, rate);
    Put32(bytes, AvgBytesPerSec, rate * block);
    Put16(bytes, BlockAlign, block);
    Put16(bytes, BitsPerSample, bits);
}

}  // namespace wire
