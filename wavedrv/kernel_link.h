// The client side of the request protocol: opening tonkern's devices,
// stamping and sending DriverRequest records, and the handshake. Runs on
// whatever thread called the wave message; takes no lock.
#pragma once

#include "deliverable_base.h"
#include "driver_request.h"

// The OVERLAPPED of a buffer's read or write request comes first in the
// record that tracks it, so a completion packet names the record itself.
struct PendingBuffer;

// \\.\Tonvane<deviceId + 1>In for direction 1, ...Out for any other
// direction, opened for overlapped reading and writing;
// INVALID_HANDLE_VALUE when it cannot be opened.
HANDLE OpenKernelDevice(ULONG direction, ULONG deviceId);

// Stamps op, version and the client signature and sends the record, which
// the caller owns and has filled (length; for ops 1 to 8 the target, stream
// handle and parameters). Every op but REQ_ADD_BUFFER goes as a control
// request and answers the record's result, or RESULT_NODRIVER when the call
// failed. REQ_ADD_BUFFER goes as a write (Out) or read (In) of data and
// dataLength through the OVERLAPPED of the PendingBuffer named by
// clientTag: 0 when the buffer now belongs to the kernel and comes back
// through the handle's completion port; otherwise the kernel's refusal
// (7, 11, ...), or RESULT_NODRIVER when the kernel never saw the record.
ULONG SendRequest(HANDLE device, DriverRequest* request, USHORT op);

// The handshake on \\.\Tonvane1In: true when tonkern answered with its
// signature; reply then holds deviceCount.
bool QueryKernelDriver(DriverRequest* reply);
