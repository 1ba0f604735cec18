// Device files, overlapped reads and writes, device control and completion
// ports, on top of the stand-in ntoskrnl's system-call layer.
#include "host/failure_control.h"
#include "host/io_user.h"
#include "host/ke_user.h"
#include "kernel32_internal.h"

using host_k32::SetLastNtError;

namespace {

constexpr int32_t kStatusSuccess = 0;
constexpr int32_t kStatusPending = 0x103;
constexpr int32_t kStatusTimeout = 0x102;
constexpr int32_t kStatusAbandoned = 0x80;

bool NtSuccess(int32_t status)
{
    return status >= 0;
}

// The OVERLAPPED pointer a completion packet carries: none when the low bit
// of hEvent asks for no port notification.
void* ApcContextOf(LPOVERLAPPED overlapped)
{
    if (overlapped == nullptr || (reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & 1) != 0) {
        return nullptr;
    }
    return overlapped;
}

// Common tail of ReadFile, WriteFile and DeviceIoControl. A request that
// ends with a warning (STATUS_BUFFER_OVERFLOW, say) fails the call and still
// reports its byte count, as kernel32 does for anything but an error. A
// thread stopped while its synchronous request was in flight leaves here.
BOOL FinishIo(int32_t status, LPOVERLAPPED overlapped, uintptr_t information, LPDWORD bytes)
{
    host_wait::StopPoint();
    if (status == kStatusPending) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (bytes != nullptr && (uint32_t(status) >> 30) != 3) {
        *bytes = DWORD(overlapped != nullptr ? overlapped->InternalHigh : information);
    }
    if (NtSuccess(status)) {
        return TRUE;
    }
    SetLastNtError(status);
    return FALSE;
}

BOOL ReadOrWrite(HANDLE file, int write, void* buffer, DWORD length, LPDWORD bytes,
                 LPOVERLAPPED overlapped)
{
    if (bytes != nullptr) {
        *bytes = 0;
    }
    int64_t offset = 0;
    HOST_NT_IOSB* iosb = nullptr;
    if (overlapped != nullptr) {
        overlapped->Internal = ULONG_PTR(kStatusPending);
        offset = int64_t((uint64_t(overlapped->OffsetHigh) << 32) | overlapped->Offset);
        iosb = reinterpret_cast<HOST_NT_IOSB*>(overlapped);
    }
    uintptr_t information = 0;
    int32_t status =
        HostNtReadWriteFile(file, write, buffer, length, overlapped != nullptr ? &offset : nullptr,
                            iosb, ApcContextOf(overlapped), &information);
    return FinishIo(status, overlapped, information, bytes);
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    (void)lpSecurityAttributes;
    (void)hTemplateFile;
    if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    DWORD injected;
    if (HostFailNow(HostFailCreateFile, &injected)) {
        SetLastError(injected);
        return INVALID_HANDLE_VALUE;
    }
    // NT's create dispositions: FILE_SUPERSEDE 0 .. FILE_OVERWRITE_IF 5.
    static const uint32_t kNtDisposition[] = {0, 2, 5, 1, 3, 4};
    void* handle = nullptr;
    int32_t status = HostNtCreateFile(
        lpFileName, dwDesiredAccess, dwShareMode, kNtDisposition[dwCreationDisposition],
        (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) ? 0 : 0x20 /* FILE_SYNCHRONOUS_IO_NONALERT */,
        dwFlagsAndAttributes & 0xFFFF, (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) ? 1 : 0,
        &handle);
    if (!NtSuccess(status)) {
        SetLastNtError(status);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return handle;
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    int32_t status = HostNtClose(hObject);
    if (!NtSuccess(status)) {
        SetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped)
{
    uintptr_t information = 0;
    HOST_NT_IOSB* iosb = nullptr;
    if (lpOverlapped != nullptr) {
        lpOverlapped->Internal = ULONG_PTR(kStatusPending);
        iosb = reinterpret_cast<HOST_NT_IOSB*>(lpOverlapped);
    }
    if (lpBytesReturned != nullptr && lpOverlapped == nullptr) {
        *lpBytesReturned = 0;
    }
    int32_t status = HostNtDeviceIoControlFile(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize,
                                               lpOutBuffer, nOutBufferSize, iosb,
                                               ApcContextOf(lpOverlapped), &information);
    return FinishIo(status, lpOverlapped, information, lpBytesReturned);
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped)
{
    return ReadOrWrite(hFile, 0, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead,
                       lpOverlapped);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    if (host_k32::IsConsoleHandle(hFile)) {
        return host_k32::WriteConsoleHandle(hFile, lpBuffer, nNumberOfBytesToWrite,
                                            lpNumberOfBytesWritten);
    }
    return ReadOrWrite(hFile, 1, const_cast<LPVOID>(lpBuffer), nNumberOfBytesToWrite,
                       lpNumberOfBytesWritten, lpOverlapped);
}

HANDLE WINAPI CreateIoCompletionPort(HANDLE FileHandle, HANDLE ExistingCompletionPort,
                                     ULONG_PTR CompletionKey, DWORD NumberOfConcurrentThreads)
{
    (void)NumberOfConcurrentThreads;
    DWORD injected;
    if (HostFailNow(HostFailCreateIoCompletionPort, &injected)) {
        SetLastError(injected);
        return nullptr;
    }
    HANDLE port = ExistingCompletionPort;
    bool created = false;
    if (port == nullptr) {
        int32_t status = HostNtCreateIoCompletion(&port);
        if (!NtSuccess(status)) {
            SetLastNtError(status);
            return nullptr;
        }
        created = true;
    } else if (FileHandle == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (FileHandle != INVALID_HANDLE_VALUE) {
        int32_t status = HostNtSetIoCompletionPort(FileHandle, port, CompletionKey);
        if (!NtSuccess(status)) {
            if (created) {
                HostNtClose(port);
            }
            SetLastNtError(status);
            return nullptr;
        }
    }
    return port;
}

BOOL WINAPI GetQueuedCompletionStatus(HANDLE CompletionPort, LPDWORD lpNumberOfBytesTransferred,
                                      PULONG_PTR lpCompletionKey, LPOVERLAPPED* lpOverlapped,
                                      DWORD dwMilliseconds)
{
    uintptr_t key = 0;
    void* context = nullptr;
    int32_t packetStatus = kStatusSuccess;
    uintptr_t information = 0;
    int32_t status = HostNtRemoveIoCompletion(CompletionPort, &key, &context, &packetStatus,
                                              &information, dwMilliseconds);
    // Stopped while it waited, or since: the packet, if any, is the ended
    // process's.
    host_wait::StopPoint();
    if (status != kStatusSuccess) {
        *lpOverlapped = nullptr;
        if (status == kStatusTimeout) {
            SetLastError(WAIT_TIMEOUT);
        } else if (status == kStatusAbandoned) {
            SetLastError(ERROR_ABANDONED_WAIT_0);
        } else {
            SetLastNtError(status);
        }
        return FALSE;
    }
    *lpCompletionKey = key;
    *lpOverlapped = static_cast<LPOVERLAPPED>(context);
    *lpNumberOfBytesTransferred = DWORD(information);
    if (!NtSuccess(packetStatus)) {
        SetLastNtError(packetStatus);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI PostQueuedCompletionStatus(HANDLE CompletionPort, DWORD dwNumberOfBytesTransferred,
                                       ULONG_PTR dwCompletionKey, LPOVERLAPPED lpOverlapped)
{
    int32_t status = HostNtSetIoCompletion(CompletionPort, dwCompletionKey, lpOverlapped,
                                           kStatusSuccess, dwNumberOfBytesTransferred);
    if (!NtSuccess(status)) {
        SetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
