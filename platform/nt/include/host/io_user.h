// The system-call layer between the stand-in kernel32 and the stand-in
// ntoskrnl: what NtCreateFile, NtReadFile, NtDeviceIoControlFile, the
// completion-port and thread calls do on Windows. Plain C types only, so
// that it can be included next to <windows.h>. Not for product code.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// NT status values are returned as int32_t; handles are void*.

// The first two fields of an OVERLAPPED: status and byte count.
typedef struct _HOST_NT_IOSB {
    uintptr_t Status;
    uintptr_t Information;
} HOST_NT_IOSB;

// Memory below 4 GiB outside system space (for the global heap), and the
// same inside system space.
void* HostMmAllocateLow(size_t Size);
void HostMmFreeLow(void* Block);

// The host path of a system path ("\SystemRoot\System32\x.dll",
// "System32\x.dll" or an absolute host path), as driver images are found.
// Its length, or -1 when Size is too small.
int32_t HostNtSystemPath(const char* Path, char* HostPath, size_t Size);
// Nonzero when a driver image is mapped from the host file HostPath (a
// loaded driver, or one kept mapped after a failed unload): NT refuses to
// delete or overwrite such a file.
int32_t HostNtImageFileInUse(const char* HostPath);

// Opens a Win32 device path (\\.\NAME or \\?\NAME) through the \DosDevices
// links with IRP_MJ_CREATE. Overlapped: asynchronous file object.
int32_t HostNtCreateFile(const uint16_t* Path, uint32_t DesiredAccess, uint32_t ShareAccess,
                         uint32_t Disposition, uint32_t CreateOptions, uint32_t Attributes,
                         int Overlapped, void** Handle);
int32_t HostNtClose(void* Handle);

// Read (Write 0) or write (Write 1). ByteOffset NULL uses the file position
// (synchronous handles only). Iosb receives the result when the request
// completes (asynchronous) or before return (synchronous). ApcContext is the
// OVERLAPPED pointer queued on the handle's port; NULL queues nothing.
// Information: bytes moved, for a synchronous completion.
int32_t HostNtReadWriteFile(void* Handle, int Write, void* Buffer, uint32_t Length,
                            const int64_t* ByteOffset, HOST_NT_IOSB* Iosb, void* ApcContext,
                            uintptr_t* Information);
// Synchronous when Iosb is NULL (waits for completion whatever the handle).
int32_t HostNtDeviceIoControlFile(void* Handle, uint32_t IoControlCode, void* InputBuffer,
                                  uint32_t InputLength, void* OutputBuffer, uint32_t OutputLength,
                                  HOST_NT_IOSB* Iosb, void* ApcContext, uintptr_t* Information);

// Cancels the requests the calling thread issued on the file (CancelIo); it
// does not wait for their completion.
int32_t HostNtCancelIoFile(void* Handle);

int32_t HostNtCreateIoCompletion(void** Port);
// Binds a file handle to a port with a key; a handle is bound at most once,
// and only an asynchronous one (STATUS_INVALID_PARAMETER).
int32_t HostNtSetIoCompletionPort(void* File, void* Port, uintptr_t Key);
// STATUS_SUCCESS with a packet, STATUS_TIMEOUT, or STATUS_ABANDONED_WAIT_0
// when the port's handle was closed while waiting. TimeoutMs UINT32_MAX:
// no time-out.
int32_t HostNtRemoveIoCompletion(void* Port, uintptr_t* Key, void** ApcContext,
                                 int32_t* PacketStatus, uintptr_t* Information,
                                 uint32_t TimeoutMs);
int32_t HostNtSetIoCompletion(void* Port, uintptr_t Key, void* ApcContext, int32_t PacketStatus,
                              uintptr_t Information);

// Threads of the current process.
typedef uint32_t (*HOST_NT_THREAD_START)(void* Parameter);
int32_t HostNtCreateThread(HOST_NT_THREAD_START Start, void* Parameter, void** Handle,
                           uint32_t* ThreadId);
// STATUS_PENDING in ExitCode's place while running: *Running set.
int32_t HostNtGetExitCodeThread(void* Handle, uint32_t* ExitCode, int* Running);
uint32_t HostNtCurrentThreadId(void);
uint32_t HostNtCurrentProcessId(void);

#ifdef __cplusplus
}
#endif
