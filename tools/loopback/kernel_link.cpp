#include "kernel_link.h"

#include <cstring>

#include "device_name.h"

ULONG AddressToUlong(const void* address)
{
    const uintptr_t value = reinterpret_cast<uintptr_t>(address);
    return value <= 0xFFFFFFFFu ? static_cast<ULONG>(value) : 0;
}

RequestRecord::RequestRecord()
    : request_(static_cast<DriverRequest*>(GlobalAlloc(GMEM_FIXED, sizeof(DriverRequest))))
{
    if (request_ != nullptr) {
        // Fields the caller does not set are sent as zero rather than as
        // whatever the heap left there.
        std::memset(request_, 0, sizeof(DriverRequest));
        request_->length = DRIVER_REQUEST_LENGTH;
    }
}

RequestRecord::~RequestRecord()
{
    if (request_ != nullptr) {
        GlobalFree(request_);
    }
}

HANDLE OpenKernelDevice(ULONG direction, ULONG deviceId)
{
    WCHAR path[64];
    if (FormatDeviceName(path, 64, CLIENT_PREFIX, direction, deviceId) == 0) {
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

ULONG SendRequest(HANDLE device, DriverRequest* request, USHORT op)
{
    if (device == INVALID_HANDLE_VALUE || request == nullptr) {
        return RESULT_NODRIVER;
    }
    request->op = op;
    request->version = DRIVER_REQUEST_VERSION;
    WriteSignature(request, CLIENT_SIGNATURE);

    if (op != REQ_ADD_BUFFER) {
        DWORD returned = 0;
        if (!DeviceIoControl(device, IOCTL_CONDUIT_REQUEST, nullptr, 0, request, request->length,
                             &returned, nullptr)) {
            return RESULT_NODRIVER;
        }
        return request->result;
    }

    const ULONG recordAddress = AddressToUlong(request);
    OVERLAPPED* overlapped =
        reinterpret_cast<OVERLAPPED*>(static_cast<uintptr_t>(request->addBuffer.clientTag));
    if (recordAddress == 0 || overlapped == nullptr) {
        return RESULT_NODRIVER;
    }
    overlapped->Offset = recordAddress;
    overlapped->OffsetHigh = 0;
    overlapped->hEvent = nullptr;
    void* data = reinterpret_cast<void*>(static_cast<uintptr_t>(request->addBuffer.data));
    const DWORD length = request->addBuffer.dataLength;
    const BOOL done = request->target.direction == DIRECTION_OUT
        ? WriteFile(device, data, length, nullptr, overlapped)
        : ReadFile(device, data, length, nullptr, overlapped);
    if (done) {
        return request->result;
    }
    if (GetLastError() == ERROR_IO_PENDING) {
        return RESULT_NOERROR;
    }
    // A refused add-buffer fails the call at once; its refusal is in result,
    // but what the client learns is that the buffer was not taken.
    return RESULT_NODRIVER;
}

bool QueryKernelDriver(ULONG* deviceCount)
{
    HANDLE device = OpenKernelDevice(DIRECTION_IN, 0);
    RequestRecord reply;
    if (!reply.IsValid()) {
        if (device != INVALID_HANDLE_VALUE) {
            CloseHandle(device);
        }
        return false;
    }
    reply->length = HANDSHAKE_LENGTH;
    const ULONG result = SendRequest(device, reply.Get(), REQ_HANDSHAKE);
    if (device != INVALID_HANDLE_VALUE) {
        CloseHandle(device);
    }
    if (result != RESULT_NOERROR || !SignatureMatches(reply.Get(), SERVER_SIGNATURE)) {
        return false;
    }
    *deviceCount = reply->deviceCount;
    return true;
}
