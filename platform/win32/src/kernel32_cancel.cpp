// CancelIo: the calling thread's requests on one handle.
#include "host/io_user.h"
#include "kernel32_internal.h"

extern "C" BOOL WINAPI CancelIo(HANDLE hFile)
{
    const int32_t status = HostNtCancelIoFile(hFile);
    if (status < 0) {
        host_k32::SetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}
