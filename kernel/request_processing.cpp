#include "request_processing.h"

#include "conduit.h"
#include "driver_context.h"
#include "pool.h"
#include "stream.h"

namespace {

Endpoint* ChosenEndpoint(const DriverRequest* record)
{
    Conduit* conduit = GlobalDriver.conduit;
    return record->target.direction == DIRECTION_IN ? &conduit->inEndpoint : &conduit->outEndpoint;
}

WAVEFORMATEX RecordFormat(const DriverRequest* record)
{
    // The record's format area starts with a WAVEFORMATEX laid out byte for
    // byte; copy it out of the packed record rather than alias it.
    WAVEFORMATEX format;
    RtlCopyMemory(&format, &record->open.format, sizeof(format));
    return format;
}

ULONG OpenStream(DriverRequest* record, Endpoint* endpoint)
{
    Conduit* conduit = GlobalDriver.conduit;
    record->open.format.cbSize = 0;
    const WAVEFORMATEX format = RecordFormat(record);
    if (!conduit->CheckFormat(format)) {
        return RESULT_BADFORMAT;
    }
    if ((record->open.openFlags & OPEN_FORMAT_QUERY) != 0) {
        return RESULT_NOERROR;
    }
    // The request runs in its caller's thread: this is the client's process.
    Stream* stream = conduit->OpenStream(*endpoint, format, PsGetCurrentProcessId());
    if (stream == nullptr) {
        return RESULT_NOMEM;
    }
    record->streamHandle = PtrToUlong(stream);
    return RESULT_NOERROR;
}

ULONG CloseStream(Stream* stream)
{
    if (!stream->queue.IsEmpty()) {
        return RESULT_STILLPLAYING;
    }
    GlobalDriver.conduit->CloseStream(stream);
    return RESULT_NOERROR;
}

ULONG AddBuffer(DriverRequest* record, Stream* stream)
{
    const ULONG blockAlign = GlobalDriver.conduit->format.nBlockAlign;
    ULONG length = record->addBuffer.dataLength;
    if (length == 0 || blockAlign > length) {
        return RESULT_INVALPARAM;
    }
    length -= length % blockAlign;
    if (record->addBuffer.data == 0) {
        return RESULT_INVALPARAM;
    }
    QueuedBuffer* buffer = static_cast<QueuedBuffer*>(PoolAllocate(sizeof(QueuedBuffer)));
    if (buffer == nullptr) {
        return RESULT_NOMEM;
    }
    buffer->link.next = nullptr;
    buffer->data = static_cast<PUCHAR>(UlongToPtr(record->addBuffer.data));
    buffer->length = length;
    buffer->done = 0;
    buffer->state = 0;
    buffer->headerFlags = record->addBuffer.headerFlags;
    buffer->loops = record->addBuffer.loops;
    buffer->completionRequest = static_cast<PIRP>(UlongToPtr(record->addBuffer.completionRequest));
    stream->AddBuffer(buffer);
    return RESULT_NOERROR;
}

ULONG GetPosition(DriverRequest* record, const Stream* stream)
{
    const WAVEFORMATEX& format = GlobalDriver.conduit->format;
    const ULONG position = stream->position;
    // The locked rate in bytes per second, widened: its 32-bit copy in the
    // format wraps (to 0 at worst) for rates beyond any real device.
    const ULONGLONG bytesPerSecond =
        static_cast<ULONGLONG>(format.nSamplesPerSec) * format.nBlockAlign;
    record->position.positionMs =
        static_cast<ULONG>(static_cast<ULONGLONG>(position) * 1000 / bytesPerSecond);
    record->position.positionBytes = position;
    record->position.positionSamples = position / format.nBlockAlign;
    return RESULT_NOERROR;
}

}  // namespace

bool ValidateRequest(const DriverRequest* record, ULONG length)
{
    return record != nullptr
        && length >= MINIMUM_REQUEST_LENGTH
        && record->version == DRIVER_REQUEST_VERSION
        && SignatureMatches(record, CLIENT_SIGNATURE);
}

ULONG ProcessRequest(DriverRequest* record, ULONG length, RequestTransport transport)
{
    if (record->op == REQ_HANDSHAKE) {
        if (length < HANDSHAKE_LENGTH) {
            return RESULT_INVALPARAM;
        }
        WriteSignature(record, SERVER_SIGNATURE);
        record->deviceCount = 1;
        record->result = RESULT_NOERROR;
        return RESULT_NOERROR;
    }
    if (record->op == REQ_ADD_BUFFER) {
        // Only the read or write request that carries the buffer can keep it
        // queued; and the engine writes into an In buffer, so that must be a
        // read request, whose buffer the I/O manager locked for writing.
        const bool capture = record->target.direction == DIRECTION_IN;
        const RequestTransport expected = capture ? TransportRead : TransportWrite;
        if (transport != expected) {
            return RESULT_INVALPARAM;
        }
    } else if (length < DRIVER_REQUEST_LENGTH) {
        return RESULT_INVALPARAM;
    } else if (record->op == REQ_OPEN && transport != TransportControl) {
        // Only the server's copy would receive the stream handle: the stream
        // could never be named, closed or reset by anyone.
        return RESULT_INVALPARAM;
    }
    const ULONG result = ExecuteOp(record);
    record->result = result;
    return result;
}

ULONG ExecuteOp(DriverRequest* record)
{
    Endpoint* endpoint = ChosenEndpoint(record);
    const USHORT op = record->op;
    if (op == REQ_OPEN) {
        return OpenStream(record, endpoint);
    }
    // A handle is trusted only once it is found among the endpoint's streams.
    Stream* stream = static_cast<Stream*>(UlongToPtr(record->streamHandle));
    if (!endpoint->HasStream(stream)) {
        return RESULT_INVALPARAM;
    }
    switch (op) {
    case REQ_CLOSE:
        return CloseStream(stream);
    case REQ_ADD_BUFFER:
        return AddBuffer(record, stream);
    case REQ_START:
        stream->Start();
        return RESULT_NOERROR;
    case REQ_STOP:
        stream->Pause();
        return RESULT_NOERROR;
    case REQ_RESET:
        // The buffers it returns are completed as the request leaves the
        // engine (Conduit::LeaveEngine), before it returns.
        stream->Reset();
        return RESULT_NOERROR;
    case REQ_BREAK_LOOP:
        stream->BreakLoop();
        return RESULT_NOERROR;
    case REQ_GET_POSITION:
        return GetPosition(record, stream);
    default:
        return RESULT_NOTSUPPORTED;
    }
}

VOID StoreReply(DriverRequest* caller, const DriverRequest* answered, ULONG length, ULONG result)
{
    caller->result = result;
    switch (answered->op) {
    case REQ_HANDSHAKE:
        if (result == RESULT_NOERROR) {
            WriteSignature(caller, SERVER_SIGNATURE);
            caller->deviceCount = answered->deviceCount;
        }
        break;
    case REQ_OPEN:
        // cbSize once the op ran (a full record); the handle once a stream
        // was opened.
        if (length >= DRIVER_REQUEST_LENGTH) {
            caller->open.format.cbSize = answered->open.format.cbSize;
        }
        if (result == RESULT_NOERROR && (answered->open.openFlags & OPEN_FORMAT_QUERY) == 0) {
            caller->streamHandle = answered->streamHandle;
        }
        break;
    case REQ_GET_POSITION:
        if (result == RESULT_NOERROR) {
            caller->position.positionSamples = answered->position.positionSamples;
            caller->position.positionBytes = answered->position.positionBytes;
            caller->position.positionMs = answered->position.positionMs;
        }
        break;
    default:
        break;
    }
}
