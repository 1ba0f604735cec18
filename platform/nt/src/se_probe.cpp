// Probing and guarded copies of callers' memory. A byte range is tested by
// letting the kernel copy it through a pipe: an address that cannot be read
// (or written) makes write() (or read()) fail with EFAULT instead of
// faulting, which also keeps the sanitizers' interceptors out of the way.
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "host/ex_control.h"
#include "host/se_control.h"
#include "io_internal.h"

namespace host_io {

namespace {

constexpr size_t kChunk = 4096;   // a pipe always holds this much

std::mutex pipeLock;
int pipeFds[2] = {-1, -1};        // guarded by pipeLock

bool OpenPipe()
{
    if (pipeFds[0] >= 0) {
        return true;
    }
    return pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) == 0;
}

void Drain()
{
    char scratch[kChunk];
    while (syscall(SYS_read, pipeFds[0], scratch, sizeof(scratch)) > 0) {
    }
}

// Moves length bytes from source through the pipe into destination (or
// discards them when destination is NULL). pipeLock held.
bool Transfer(void* destination, const void* source, size_t length)
{
    const char* from = static_cast<const char*>(source);
    char* to = static_cast<char*>(destination);
    char scratch[kChunk];
    while (length > 0) {
        size_t chunk = length < kChunk ? length : kChunk;
        long written = syscall(SYS_write, pipeFds[1], from, chunk);
        if (written != long(chunk)) {
            Drain();
            return false;
        }
        long read = syscall(SYS_read, pipeFds[0], to != nullptr ? to : scratch, chunk);
        if (read != long(chunk)) {
            Drain();
            return false;
        }
        from += chunk;
        if (to != nullptr) {
            to += chunk;
        }
        length -= chunk;
    }
    return true;
}

bool Wraps(const void* address, size_t length)
{
    uintptr_t begin = reinterpret_cast<uintptr_t>(address);
    return length != 0 && begin + length - 1 < begin;
}

NTSTATUS Probe(const void* address, SIZE_T length, ULONG alignment, KPROCESSOR_MODE mode,
               bool write)
{
    if (length == 0) {
        return STATUS_SUCCESS;
    }
    if (alignment != 0 && (reinterpret_cast<uintptr_t>(address) & (alignment - 1)) != 0) {
        return STATUS_DATATYPE_MISALIGNMENT;
    }
    if (Wraps(address, length) || (mode == UserMode && IsSystemRange(address, length))) {
        return STATUS_ACCESS_VIOLATION;
    }
    bool ok = write ? CanWrite(const_cast<void*>(address), length) : CanRead(address, length);
    return ok ? STATUS_SUCCESS : STATUS_ACCESS_VIOLATION;
}

}  // namespace

bool IsSystemRange(const void* address, size_t length)
{
    if (Wraps(address, length)) {
        return true;
    }
    uintptr_t begin = reinterpret_cast<uintptr_t>(address);
    uintptr_t last = begin + (length == 0 ? 0 : length - 1);
    if (LowOverlapsSystem(address, length)) {
        return true;
    }
    if (HostExPoolIsPoolAddress(const_cast<void*>(address)) ||
        HostExPoolIsPoolAddress(reinterpret_cast<void*>(last))) {
        return true;
    }
    return AddressInImages(begin, last + 1);
}

// Access is granted by the page: one byte of each page the range touches
// tells for the whole page, as the probes and MmProbeAndLockPages touch
// one byte a page on Windows.
bool CanAccess(const void* address, size_t length, bool write)
{
    if (length == 0) {
        return true;
    }
    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    const uintptr_t begin = reinterpret_cast<uintptr_t>(address);
    const uintptr_t last = begin + length - 1;
    std::lock_guard<std::mutex> guard(pipeLock);
    if (!OpenPipe()) {
        return false;
    }
    for (uintptr_t at = begin; at <= last && at >= begin; at = (at | (page - 1)) + 1) {
        // Reading the byte out and back in tests both directions and leaves
        // it as it was.
        auto* byte = reinterpret_cast<char*>(at);
        if (!Transfer(write ? byte : nullptr, byte, 1)) {
            return false;
        }
    }
    return true;
}

bool CanRead(const void* address, size_t length)
{
    return CanAccess(address, length, false);
}

bool CanWrite(void* address, size_t length)
{
    return CanAccess(address, length, true);
}

bool SafeCopy(void* destination, const void* source, size_t length)
{
    if (length == 0) {
        return true;
    }
    std::lock_guard<std::mutex> guard(pipeLock);
    return OpenPipe() && Transfer(destination, source, length);
}

}  // namespace host_io

using namespace host_io;

extern "C" {

NTSTATUS HostSeProbeForRead(const VOID* Address, SIZE_T Length, ULONG Alignment,
                            KPROCESSOR_MODE Mode)
{
    return Probe(Address, Length, Alignment, Mode, false);
}

NTSTATUS HostSeProbeForWrite(PVOID Address, SIZE_T Length, ULONG Alignment, KPROCESSOR_MODE Mode)
{
    return Probe(Address, Length, Alignment, Mode, true);
}

NTSTATUS HostSeCopyFromCaller(PVOID Destination, const VOID* CallerSource, SIZE_T Length,
                              KPROCESSOR_MODE Mode)
{
    if (Length == 0) {
        return STATUS_SUCCESS;
    }
    if (Wraps(CallerSource, Length) || (Mode == UserMode && IsSystemRange(CallerSource, Length))) {
        return STATUS_ACCESS_VIOLATION;
    }
    return SafeCopy(Destination, CallerSource, Length) ? STATUS_SUCCESS : STATUS_ACCESS_VIOLATION;
}

NTSTATUS HostSeCopyToCaller(PVOID CallerDestination, const VOID* Source, SIZE_T Length,
                            KPROCESSOR_MODE Mode)
{
    if (Length == 0) {
        return STATUS_SUCCESS;
    }
    if (Wraps(CallerDestination, Length) ||
        (Mode == UserMode && IsSystemRange(CallerDestination, Length))) {
        return STATUS_ACCESS_VIOLATION;
    }
    return SafeCopy(CallerDestination, Source, Length) ? STATUS_SUCCESS : STATUS_ACCESS_VIOLATION;
}

BOOLEAN HostSeIsSystemAddress(const VOID* Address, SIZE_T Length)
{
    return IsSystemRange(Address, Length) ? TRUE : FALSE;
}

}  // extern "C"
