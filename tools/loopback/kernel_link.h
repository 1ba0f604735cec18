// The client side of the request protocol, as the wave driver talks it:
// opening the conduit's devices, stamping and sending DriverRequest records
// and the handshake.
#pragma once

#include <windows.h>

#include <cstdint>

#include "driver_request.h"

// 32-bit value of an address below 4 GiB (what a wire field can carry);
// 0 for any other address, which no caller then sends.
ULONG AddressToUlong(const void* address);

// One DriverRequest record in the global heap. The heap lies below 4 GiB, so
// the record's address fits the 32-bit byte offset that carries it on a read
// or write request. The record lives for one request.
class RequestRecord {
public:
    RequestRecord();
    ~RequestRecord();
    RequestRecord(const RequestRecord&) = delete;
    RequestRecord& operator=(const RequestRecord&) = delete;

    // False when the heap refused the block; the record must not be used.
    bool IsValid() const { return request_ != nullptr; }
    DriverRequest* operator->() const { return request_; }
    DriverRequest* Get() const { return request_; }

private:
    DriverRequest* request_;
};

// \\.\Tonvane<deviceId + 1>In for direction 1, ...Out otherwise, opened for
// overlapped reading and writing; INVALID_HANDLE_VALUE when it cannot be.
HANDLE OpenKernelDevice(ULONG direction, ULONG deviceId);

// Stamps op, version and the client signature and sends the record: a
// control request for every op but REQ_ADD_BUFFER, which goes as a write
// (direction Out) or read (In) of data/dataLength with the record's address
// in the byte offset of the OVERLAPPED whose address is in clientTag. The
// caller has set length and, for ops 1 to 8, direction, deviceId,
// streamHandle and the op's parameters. Returns the record's result, 0 for
// an add-buffer left pending (its completion arrives on the handle's port),
// or RESULT_NODRIVER when the request could not be sent or failed.
ULONG SendRequest(HANDLE device, DriverRequest* request, USHORT op);

// The handshake on \\.\Tonvane1In: true when tonkern answered with its
// signature; *deviceCount then holds its devices per direction.
bool QueryKernelDriver(ULONG* deviceCount);
