// Server side of the DriverRequest protocol: checking a record, answering the
// handshake and running each op against the conduit.
#pragma once

#include <ntddk.h>

#include "driver_request.h"

// How a record reached the server. An add-buffer record is honoured only by
// the read or write request that carries its data: a read request fills an
// In buffer, a write request plays an Out buffer.
enum RequestTransport {
    TransportControl,
    TransportRead,
    TransportWrite,
};

// Every record is worked on in the server's own copy, read once from the
// caller; the caller's record, which other threads of its process may change
// meanwhile, is written once at the end (StoreReply, or the result alone).

// True when record points at a request of this protocol's version and
// client signature, at least MINIMUM_REQUEST_LENGTH bytes long. Reads at
// most length bytes and writes nothing. Any IRQL.
bool ValidateRequest(const DriverRequest* record, ULONG length);

// Answers a validated record and returns its result code. Touches only the
// first length bytes: every op but the handshake needs a full-length record,
// and an add-buffer is honoured only from the copy that its read or write
// request brought (an open only from a control request, the one way its
// stream handle can reach the client).
// DISPATCH_LEVEL, with the conduit's engine lock held.
ULONG ProcessRequest(DriverRequest* record, ULONG length, RequestTransport transport);

// Writes the answer to a control request of length bytes into the caller's
// record: result, and what the op answered in the server's copy (the
// handshake's signature and deviceCount, an open's cbSize and stream handle,
// the three positions). Nothing else of the caller's record is written.
VOID StoreReply(DriverRequest* caller, const DriverRequest* answered, ULONG length, ULONG result);

// Runs one op (not the handshake) on a full-length record. Same IRQL and
// lock as ProcessRequest.
ULONG ExecuteOp(DriverRequest* record);
