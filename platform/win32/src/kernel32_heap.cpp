// The global and local heap: fixed and moveable blocks below 4 GiB, with
// accounting and failure injection for tests. A fixed block's handle is its
// address; a moveable block's handle is a separate cell. Each block belongs
// to the process that allocated it, and goes with it when it ends.
#include <cstring>
#include <utility>
#include <vector>
#include <map>
#include <mutex>

#include "host/failure_control.h"
#include "host/io_user.h"
#include "host/kernel32_control.h"
#include "kernel32_internal.h"

namespace {

struct Block {
    SIZE_T size;
    HGLOBAL handle;       // the address itself for a fixed block
    bool moveable;
    DWORD locks;          // moveable blocks only
    DWORD process;        // the allocating process's id
    ULONGLONG serial;     // allocation order, for snapshots
};

// Guards everything below. The maps are never destroyed, so that blocks
// freed from other libraries' exit code still find them.
std::mutex heapLock;
std::map<LPCVOID, Block>& blocks = *new std::map<LPCVOID, Block>;            // keyed by address
std::map<HGLOBAL, LPVOID>& moveableHandles = *new std::map<HGLOBAL, LPVOID>; // cell -> address
SIZE_T liveBytes = 0;
ULONGLONG nextSerial = 1;
enum class Injection { None, Nth, Always } injection = Injection::None;
DWORD countdown = 0;

bool FailNow()
{
    switch (injection) {
    case Injection::None:
        return false;
    case Injection::Always:
        return true;
    case Injection::Nth:
        if (--countdown == 0) {
            injection = Injection::None;
            return true;
        }
        return false;
    }
    return false;
}

HGLOBAL Allocate(HOST_FAILURE_POINT point, UINT flags, SIZE_T bytes)
{
    bool moveable = (flags & GMEM_MOVEABLE) != 0;
    DWORD injected;
    if (HostFailNow(point, &injected)) {
        SetLastError(injected);
        return nullptr;
    }
    const DWORD process = GetCurrentProcessId();
    {
        std::lock_guard<std::mutex> guard(heapLock);
        if (FailNow()) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
    }
    void* memory = HostMmAllocateLow(bytes);
    void* cell = moveable ? HostMmAllocateLow(sizeof(void*)) : nullptr;
    if (memory == nullptr || (moveable && cell == nullptr)) {
        HostMmFreeLow(memory);
        HostMmFreeLow(cell);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    memset(memory, (flags & GMEM_ZEROINIT) ? 0 : HOST_HEAP_FRESH_FILL, bytes);
    HGLOBAL handle = moveable ? cell : memory;
    if (moveable) {
        *static_cast<void**>(cell) = memory;
    }
    std::lock_guard<std::mutex> guard(heapLock);
    blocks[memory] = Block{bytes, handle, moveable, 0, process, nextSerial++};
    if (moveable) {
        moveableHandles[handle] = memory;
    }
    liveBytes += bytes;
    return handle;
}

// Address of a handle's block, or NULL. heapLock held.
LPVOID AddressOf(HGLOBAL handle)
{
    auto moveable = moveableHandles.find(handle);
    if (moveable != moveableHandles.end()) {
        return moveable->second;
    }
    auto fixed = blocks.find(handle);
    if (fixed != blocks.end() && !fixed->second.moveable) {
        return handle;
    }
    return nullptr;
}

// Unlinks the block at memory; the caller frees its memory and cell.
// heapLock held.
void* Unlink(void* memory)
{
    Block& block = blocks[memory];
    void* cell = nullptr;
    if (block.moveable) {
        cell = block.handle;
        moveableHandles.erase(block.handle);
    }
    liveBytes -= block.size;
    blocks.erase(memory);
    return cell;
}

HGLOBAL Free(HGLOBAL handle)
{
    void* memory;
    void* cell;
    {
        std::lock_guard<std::mutex> guard(heapLock);
        memory = AddressOf(handle);
        if (memory == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return handle;
        }
        cell = Unlink(memory);
    }
    HostMmFreeLow(memory);
    HostMmFreeLow(cell);
    return nullptr;
}

}  // namespace

extern "C" {

HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes)
{
    return Allocate(HostFailGlobalAlloc, uFlags, dwBytes);
}

LPVOID WINAPI GlobalLock(HGLOBAL hMem)
{
    std::lock_guard<std::mutex> guard(heapLock);
    LPVOID memory = AddressOf(hMem);
    if (memory == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    Block& block = blocks[memory];
    if (block.moveable) {
        block.locks++;
    }
    return memory;
}

HGLOBAL WINAPI GlobalHandle(LPCVOID pMem)
{
    std::lock_guard<std::mutex> guard(heapLock);
    auto found = blocks.find(pMem);
    if (found == blocks.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return found->second.handle;
}

BOOL WINAPI GlobalUnlock(HGLOBAL hMem)
{
    std::lock_guard<std::mutex> guard(heapLock);
    LPVOID memory = AddressOf(hMem);
    if (memory == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Block& block = blocks[memory];
    if (!block.moveable) {
        // A fixed block is never locked: "unlocked", no error.
        SetLastError(NO_ERROR);
        return FALSE;
    }
    if (block.locks == 0) {
        SetLastError(ERROR_NOT_LOCKED);
        return FALSE;
    }
    if (--block.locks == 0) {
        SetLastError(NO_ERROR);
        return FALSE;
    }
    return TRUE;
}

HGLOBAL WINAPI GlobalFree(HGLOBAL hMem)
{
    return Free(hMem);
}

SIZE_T WINAPI GlobalSize(HGLOBAL hMem)
{
    std::lock_guard<std::mutex> guard(heapLock);
    LPVOID memory = AddressOf(hMem);
    if (memory == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return blocks[memory].size;
}

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes)
{
    return Allocate(HostFailLocalAlloc, uFlags, uBytes);
}

HLOCAL WINAPI LocalFree(HLOCAL hMem)
{
    return Free(hMem);
}

DWORD HostHeapLiveBlocks(VOID)
{
    std::lock_guard<std::mutex> guard(heapLock);
    return DWORD(blocks.size());
}

SIZE_T HostHeapLiveBytes(VOID)
{
    std::lock_guard<std::mutex> guard(heapLock);
    return liveBytes;
}

ULONGLONG HostHeapSnapshot(VOID)
{
    std::lock_guard<std::mutex> guard(heapLock);
    return nextSerial;
}

DWORD HostHeapLiveSince(ULONGLONG Snapshot)
{
    std::lock_guard<std::mutex> guard(heapLock);
    DWORD count = 0;
    for (const auto& entry : blocks) {
        count += entry.second.serial >= Snapshot ? 1 : 0;
    }
    return count;
}

DWORD HostHeapReclaimProcess(DWORD ProcessId)
{
    std::vector<std::pair<void*, void*>> freed;
    {
        std::lock_guard<std::mutex> guard(heapLock);
        std::vector<LPCVOID> owned;
        for (const auto& entry : blocks) {
            if (entry.second.process == ProcessId) {
                owned.push_back(entry.first);
            }
        }
        for (LPCVOID memory : owned) {
            void* address = const_cast<void*>(memory);
            freed.emplace_back(address, Unlink(address));
        }
    }
    for (const auto& block : freed) {
        HostMmFreeLow(block.first);
        HostMmFreeLow(block.second);
    }
    return DWORD(freed.size());
}

VOID HostHeapFailNth(DWORD N)
{
    std::lock_guard<std::mutex> guard(heapLock);
    if (N != 0) {
        injection = Injection::Nth;
        countdown = N;
    }
}

VOID HostHeapFailAlways(VOID)
{
    std::lock_guard<std::mutex> guard(heapLock);
    injection = Injection::Always;
}

VOID HostHeapFailReset(VOID)
{
    std::lock_guard<std::mutex> guard(heapLock);
    injection = Injection::None;
}

}  // extern "C"
