#include "kernel_link.h"

#include "device_name.h"
#include "wave_instance.h"

namespace {

// Room for "\\.\Tonvane65536Out" and its NUL.
constexpr ULONG DevicePathCapacity = 64;

ULONG SendBuffer(HANDLE device, DriverRequest* request)
{
    auto* pending = static_cast<PendingBuffer*>(UlongToPtr(request->addBuffer.clientTag));
    OVERLAPPED* overlapped = &pending->overlapped;
    overlapped->Offset = PtrToUlong(request);
    overlapped->OffsetHigh = 0;
    overlapped->hEvent = nullptr;
    // Only a record that tonkern processed holds another value afterwards.
    request->result = RESULT_NODRIVER;

    PVOID data = UlongToPtr(request->addBuffer.data);
    const DWORD length = request->addBuffer.dataLength;
    const BOOL done = request->target.direction == DIRECTION_OUT
        ? WriteFile(device, data, length, nullptr, overlapped)
        : ReadFile(device, data, length, nullptr, overlapped);
    // Finished at once or pending: either way the handle's completion port
    // delivers the buffer.
    if (done || GetLastError() == ERROR_IO_PENDING) {
        return RESULT_NOERROR;
    }
    // A refusal fails the call at once with the reason in result; a result
    // of 0 on a failed call would claim a buffer that is not queued.
    const ULONG refusal = request->result;
    return refusal != RESULT_NOERROR ? refusal : RESULT_NODRIVER;
}

}  // namespace

HANDLE OpenKernelDevice(ULONG direction, ULONG deviceId)
{
    WCHAR path[DevicePathCapacity];
    if (FormatDeviceName(path, DevicePathCapacity, CLIENT_PREFIX, direction, deviceId) == 0) {
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

ULONG SendRequest(HANDLE device, DriverRequest* request, USHORT op)
{
    if (device == INVALID_HANDLE_VALUE) {
        return RESULT_NODRIVER;
    }
    request->op = op;
    request->version = DRIVER_REQUEST_VERSION;
    WriteSignature(request, CLIENT_SIGNATURE);
    if (op == REQ_ADD_BUFFER) {
        return SendBuffer(device, request);
    }
    // Synchronous although the handle is overlapped: tonkern completes every
    // control request before the call returns.
    DWORD returned = 0;
    if (!DeviceIoControl(device, IOCTL_CONDUIT_REQUEST, nullptr, 0, request, request->length,
                         &returned, nullptr)) {
        return RESULT_NODRIVER;
    }
    return request->result;
}

bool QueryKernelDriver(DriverRequest* reply)
{
    HANDLE device = OpenKernelDevice(DIRECTION_IN, 0);
    reply->length = HANDSHAKE_LENGTH;
    const ULONG result = SendRequest(device, reply, REQ_HANDSHAKE);
    if (device != INVALID_HANDLE_VALUE) {
        CloseHandle(device);
    }
    return result == RESULT_NOERROR && SignatureMatches(reply, SERVER_SIGNATURE);
}
