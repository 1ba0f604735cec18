// Server side of the DriverRequest protocol: checking a record, answering the
// handshake and running each op against the conduit.
#pragma once

#include <ntddk.h>

#include "driver_request.h"

struct Conduit;

// The one conduit, created at load and destroyed at unload by the driver
// frame. Set and cleared only at PASSIVE_LEVEL while no request can arrive;
// everything it points to is guarded by its engine lock.
extern Conduit* GlobalConduit;

// How a record reached the server. An add-buffer record is honoured only by
// the read or write request that carries its data: a read request fills an
// In buffer, a write request plays an Out buffer.
enum RequestTransport {
    TransportControl,
    TransportRead,
    TransportWrite,
};

// True when record points at a request of this protocol's version and
// client signature, at least MINIMUM_REQUEST_LENGTH bytes long. Reads at
// most length bytes and writes nothing. Any IRQL; the record must be
// resident (a captured copy or a locked buffer).
bool ValidateRequest(const DriverRequest* record, ULONG length);

// Answers a validated record and returns its result code, which the caller
// stores in the client's record. Touches only the first length bytes: every
// op but the handshake needs a full-length record, and an add-buffer is
// honoured only from the full-length copy that its read or write request
// brought (an open only from a control request, the one way its stream
// handle can reach the client).
// DISPATCH_LEVEL, with the conduit's engine lock held.
ULONG ProcessRequest(DriverRequest* record, ULONG length, RequestTransport transport);

// Runs one op (not the handshake) on a full-length record. Same IRQL and
// lock as ProcessRequest.
ULONG ExecuteOp(DriverRequest* record);
