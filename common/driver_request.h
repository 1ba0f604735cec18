// The DriverRequest record exchanged between tonwave and tonkern: 118 bytes,
// little-endian, no padding, multi-byte fields unaligned where they fall so.
// Both sides are little-endian x86 and the record is packed, so fields are
// read and written in place; never take the address of a field.
#pragma once

#include "deliverable_base.h"

// Op codes (op).
constexpr USHORT REQ_HANDSHAKE = 0;
constexpr USHORT REQ_OPEN = 1;
constexpr USHORT REQ_CLOSE = 2;
constexpr USHORT REQ_ADD_BUFFER = 3;
constexpr USHORT REQ_START = 4;
constexpr USHORT REQ_STOP = 5;
constexpr USHORT REQ_RESET = 6;
constexpr USHORT REQ_BREAK_LOOP = 7;
constexpr USHORT REQ_GET_POSITION = 8;

// Result codes (result): WinMM's own values, returned to WinMM unchanged.
constexpr ULONG RESULT_NOERROR = 0;          // MMSYSERR_NOERROR
constexpr ULONG RESULT_NODRIVER = 6;         // MMSYSERR_NODRIVER (client only)
constexpr ULONG RESULT_NOMEM = 7;            // MMSYSERR_NOMEM
constexpr ULONG RESULT_NOTSUPPORTED = 8;     // MMSYSERR_NOTSUPPORTED
constexpr ULONG RESULT_INVALPARAM = 11;      // MMSYSERR_INVALPARAM
constexpr ULONG RESULT_BADFORMAT = 32;       // WAVERR_BADFORMAT
constexpr ULONG RESULT_STILLPLAYING = 33;    // WAVERR_STILLPLAYING

constexpr USHORT DRIVER_REQUEST_VERSION = 0x0203;
constexpr USHORT DRIVER_REQUEST_LENGTH = 118;
constexpr USHORT HANDSHAKE_LENGTH = 78;
// Shortest record that ValidateRequest can look at: through version and op.
constexpr USHORT MINIMUM_REQUEST_LENGTH = 74;

constexpr ULONG DIRECTION_OUT = 0;
constexpr ULONG DIRECTION_IN = 1;

// openFlags bit 0: only ask whether the format would be accepted.
constexpr ULONG OPEN_FORMAT_QUERY = 0x00000001;

// Control code: FILE_DEVICE_UNKNOWN, function 1, METHOD_OUT_DIRECT, FILE_ANY_ACCESS.
constexpr ULONG IOCTL_CONDUIT_REQUEST = 0x00220006;

extern const char CLIENT_SIGNATURE[];  // "Tonvane API Client Signature"
extern const char SERVER_SIGNATURE[];  // "Tonvane API Server Signature"

#pragma pack(push, 1)

// The client's PCM format as a WAVEFORMATEX, in a 32-byte area whose last 14
// bytes are undefined.
struct RequestFormat {
    USHORT wFormatTag;
    USHORT nChannels;
    ULONG nSamplesPerSec;
    ULONG nAvgBytesPerSec;
    USHORT nBlockAlign;
    USHORT wBitsPerSample;
    USHORT cbSize;
    UCHAR undefined[14];
};

struct OpenParameters {             // REQ_OPEN
    RequestFormat format;
    ULONG openFlags;
};

struct AddBufferParameters {        // REQ_ADD_BUFFER
    ULONG clientTag;                // the client's per-buffer value
    ULONG completionRequest;        // server copy only: the pending request
    ULONG data;                     // buffer address; server copy: system address
    ULONG dataLength;               // bytes; server copy: the request's length
    ULONG headerFlags;              // WAVEHDR dwFlags
    ULONG loops;                    // WAVEHDR dwLoops
    UCHAR unused[12];
};

struct PositionParameters {         // REQ_GET_POSITION
    ULONG timeFormat;               // MMTIME wType asked for; not read
    ULONG positionSamples;
    ULONG positionBytes;
    ULONG positionMs;
    UCHAR unused[20];
};

struct DriverRequest {
    char signature[64];             // NUL-terminated
    USHORT version;
    USHORT length;                  // offered length; the server never reads it
    USHORT op;
    ULONG result;
    union {
        struct {
            USHORT direction;       // 1 = In, anything else = Out
            USHORT deviceId;        // not read by the server
        } target;
        ULONG deviceCount;          // handshake reply
    };
    ULONG streamHandle;             // a Stream's address; 0 for none
    union {
        OpenParameters open;
        AddBufferParameters addBuffer;
        PositionParameters position;
        UCHAR raw[36];
    };
};

#pragma pack(pop)

static_assert(sizeof(RequestFormat) == 32, "format area is 32 bytes");
static_assert(sizeof(DriverRequest) == DRIVER_REQUEST_LENGTH, "DriverRequest is 118 bytes");

// Copies text, NUL included, to the start of signature; the rest of the
// 64-byte area is left as it was. text is one of the two signatures.
VOID WriteSignature(DriverRequest* request, const char* text);
// True when signature holds text equal to expected up to its NUL.
bool SignatureMatches(const DriverRequest* request, const char* expected);
