#include "wave_instance.h"

#include <new>

#include "kernel_link.h"
#include "startup_table.h"

namespace {

// Completion keys. The device is bound with BufferKey; the others are
// posted by tonwave itself and never come from I/O.
constexpr ULONG_PTR BufferKey = 0;
constexpr ULONG_PTR MarkerKey = 1;     // a DrainMarker, or none: look again
constexpr ULONG_PTR QuitKey = 2;       // leave the loop

CRITICAL_SECTION InstanceLock;
// Open instances; null while the driver is not loaded. InstanceLock.
SingleList* InstanceList = nullptr;
// Instances whose CompletionThread ended them and is leaving. InstanceLock.
SingleList ParkedInstances = {};

VOID Lock()
{
    EnterCriticalSection(&InstanceLock);
}

VOID Unlock()
{
    LeaveCriticalSection(&InstanceLock);
}

// Drops a reference, with unlist the list's own. The last one ends the
// instance, or, on its own thread, which cannot wait for itself, parks it;
// unlisting and parking happen under one hold of the lock, so an unload
// finds the instance in one list or the other.
VOID DropReference(WaveInstance* instance, bool unlist)
{
    const bool ownThread = OnCompletionThread(instance);
    Lock();
    if (unlist) {
        InstanceList->Remove(instance->Node());
    }
    const bool last = --instance->references == 0;
    if (last && ownThread) {
        ParkedInstances.Append(instance->Node());
        instance->parked = true;
    }
    Unlock();
    if (last && !ownThread) {
        DiscardInstance(instance);
    }
}

// One buffer is back from the kernel. The header is published complete:
// dwBytesRecorded and lpNext first, then the flags with release order, so a
// client polling WHDR_DONE sees the rest. After the close callback (or at
// unload) the client may have freed the header: it is not touched then.
VOID CompleteBuffer(PendingBuffer* pending, DWORD bytes)
{
    WaveInstance* instance = pending->instance;
    LPWAVEHDR header = pending->header;
    if (!instance->closed && !instance->silent.load()) {
        if (instance->direction == DIRECTION_IN) {
            header->dwBytesRecorded = bytes;
        }
        header->lpNext = nullptr;
        std::atomic_ref<DWORD> flags(header->dwFlags);
        flags.store(flags.load(std::memory_order_relaxed) & ~WHDR_INQUEUE,
                    std::memory_order_release);
        flags.store(flags.load(std::memory_order_relaxed) | WHDR_DONE, std::memory_order_release);
        NotifyClient(instance, WIM_DATA, WOM_DONE, reinterpret_cast<DWORD_PTR>(header));
    }
    ModuleFree(pending);
    instance->outstanding.fetch_sub(1);
}

// A close waits for every buffer: once none is out, the waiting thread is
// released, or, for a close from the instance's own callback, the close
// callback goes out here and the list's reference with it.
VOID FinishCloseWhenDrained(WaveInstance* instance)
{
    if (instance->closed || instance->outstanding.load() != 0) {
        return;
    }
    if (instance->closeWaiter != nullptr) {
        instance->closed = true;
        SetEvent(instance->closeWaiter);
        instance->closeWaiter = nullptr;
    } else if (instance->closeRequested) {
        instance->closed = true;
        if (!instance->silent.load()) {
            NotifyClient(instance, WIM_CLOSE, WOM_CLOSE, 0);
        }
        DropReference(instance, true);
    }
}

// What the port holds once its thread is gone: buffers go back to the heap
// without callbacks, markers are released. A buffer the kernel still holds
// stays allocated, as its request may still write into it.
VOID DrainPort(WaveInstance* instance)
{
    for (;;) {
        DWORD bytes = 0;
        ULONG_PTR key = BufferKey;
        LPOVERLAPPED overlapped = nullptr;
        const BOOL dequeued =
            GetQueuedCompletionStatus(instance->port, &bytes, &key, &overlapped, 0);
        if (overlapped == nullptr) {
            if (!dequeued) {
                return;     // empty
            }
        } else if (key == MarkerKey) {
            SetEvent(DrainMarker::FromOverlapped(overlapped)->event);
        } else {
            ModuleFree(PendingBuffer::FromOverlapped(overlapped));
            instance->outstanding.fetch_sub(1);
        }
    }
}

VOID CloseHandles(WaveInstance* instance)
{
    if (instance->port != nullptr) {
        DrainPort(instance);
        CloseHandle(instance->port);
        instance->port = nullptr;
    }
    if (instance->device != INVALID_HANDLE_VALUE) {
        CloseHandle(instance->device);
        instance->device = INVALID_HANDLE_VALUE;
    }
}

DWORD WINAPI CompletionThread(LPVOID parameter)
{
    auto* instance = static_cast<WaveInstance*>(parameter);
    for (;;) {
        DWORD bytes = 0;
        ULONG_PTR key = BufferKey;
        LPOVERLAPPED overlapped = nullptr;
        const BOOL dequeued =
            GetQueuedCompletionStatus(instance->port, &bytes, &key, &overlapped, INFINITE);
        if (overlapped == nullptr) {
            // Woken to leave, or the wait failed without a packet (the port
            // is gone): leave rather than spin.
            if (!dequeued || key == QuitKey) {
                break;
            }
        } else if (key == MarkerKey) {
            DrainMarker* marker = DrainMarker::FromOverlapped(overlapped);
            if (marker->close) {
                instance->closeWaiter = marker->event;
            } else {
                SetEvent(marker->event);
            }
        } else {
            // A failed (cancelled) request comes back like any other.
            CompleteBuffer(PendingBuffer::FromOverlapped(overlapped), bytes);
        }
        FinishCloseWhenDrained(instance);
        if (instance->parked) {
            // Its last reference went here: the record and the thread
            // handle wait for ReapParkedInstances.
            CloseHandles(instance);
            break;
        }
    }
    return 0;
}

VOID Nudge(WaveInstance* instance)
{
    PostQueuedCompletionStatus(instance->port, 0, MarkerKey, nullptr);
}

// Frees parked instances whose thread has ended; with wait, waits for all.
VOID ReapParkedInstances(bool wait)
{
    Lock();
    SingleList parked = ParkedInstances;
    ParkedInstances.Initialise();
    Unlock();
    while (SingleListNode* node = parked.RemoveHead()) {
        WaveInstance* instance = WaveInstance::FromNode(node);
        if (WaitForSingleObject(instance->thread, wait ? INFINITE : 0) == WAIT_TIMEOUT) {
            Lock();
            ParkedInstances.Append(node);
            Unlock();
            continue;
        }
        CloseHandle(instance->thread);
        instance->thread = nullptr;
        DiscardInstance(instance);
    }
}

// At unload: what is still open is closed without callbacks. The kernel
// returns its buffers (reset) and drops the stream (close); the thread
// frees what comes back.
VOID CloseAbandonedInstance(WaveInstance* instance)
{
    instance->silent.store(true);
    DriverRequest request = {};
    SendInstanceRequest(instance, &request, REQ_RESET);
    SendInstanceRequest(instance, &request, REQ_CLOSE);
    DropReference(instance, false);
}

VOID CleanupInstances()
{
    if (InstanceList != nullptr) {
        for (;;) {
            Lock();
            SingleListNode* node = InstanceList->RemoveHead();
            bool closing = false;
            if (node != nullptr) {
                closing = WaveInstance::FromNode(node)->closing;
                WaveInstance::FromNode(node)->closing = true;
            }
            Unlock();
            if (node == nullptr) {
                break;
            }
            WaveInstance* instance = WaveInstance::FromNode(node);
            if (closing) {
                // Closed from its own callback: its thread finishes the close
                // and parks it. No message is running now, so nothing else
                // holds it.
                instance->silent.store(true);
                WaitForSingleObject(instance->thread, INFINITE);
            } else {
                CloseAbandonedInstance(instance);
            }
        }
        ModuleFree(InstanceList);
        InstanceList = nullptr;
    }
    ReapParkedInstances(true);
    DeleteCriticalSection(&InstanceLock);
}

}  // namespace

bool StartInstances()
{
    InitializeCriticalSection(&InstanceLock);
    ParkedInstances.Initialise();
    InstanceList = static_cast<SingleList*>(ModuleAllocate(sizeof(SingleList)));
    if (InstanceList != nullptr) {
        InstanceList->Initialise();
        if (RegisterCleanup(CleanupInstances) == 0) {
            return true;
        }
    }
    CleanupInstances();
    return false;
}

WaveInstance* CreateInstance(ULONG direction, USHORT deviceId)
{
    ReapParkedInstances(false);
    PVOID block = ModuleAllocate(sizeof(WaveInstance));
    if (block == nullptr) {
        return nullptr;
    }
    auto* instance = new (block) WaveInstance{};
    instance->direction = direction;
    instance->deviceId = deviceId;
    instance->device = INVALID_HANDLE_VALUE;
    return instance;
}

VOID DiscardInstance(WaveInstance* instance)
{
    CloseInstanceLink(instance);
    instance->~WaveInstance();
    ModuleFree(instance);
}

bool OpenInstanceLink(WaveInstance* instance)
{
    instance->device = OpenKernelDevice(instance->direction, instance->deviceId);
    if (instance->device != INVALID_HANDLE_VALUE) {
        instance->port = CreateIoCompletionPort(instance->device, nullptr, BufferKey, 0);
    }
    if (instance->port != nullptr) {
        instance->thread =
            CreateThread(nullptr, 0, CompletionThread, instance, 0, &instance->threadId);
    }
    if (instance->thread == nullptr) {
        CloseInstanceLink(instance);
        return false;
    }
    return true;
}

VOID CloseInstanceLink(WaveInstance* instance)
{
    if (instance->thread != nullptr) {
        // Without the wake-up packet, closing the port is what releases the
        // thread's wait (where the platform does so).
        if (!PostQueuedCompletionStatus(instance->port, 0, QuitKey, nullptr)) {
            CloseHandle(instance->port);
            instance->port = nullptr;
        }
        WaitForSingleObject(instance->thread, INFINITE);
        CloseHandle(instance->thread);
        instance->thread = nullptr;
    }
    CloseHandles(instance);
}

VOID ListInstance(WaveInstance* instance)
{
    instance->references = 1;
    Lock();
    InstanceList->Append(instance->Node());
    Unlock();
}

WaveInstance* AcquireInstance(DWORD_PTR user, ULONG direction)
{
    auto* node = reinterpret_cast<SingleListNode*>(user);
    WaveInstance* instance = nullptr;
    Lock();
    if (InstanceList != nullptr && InstanceList->Contains(node)) {
        instance = WaveInstance::FromNode(node);
        if (instance->closing || instance->direction != direction) {
            instance = nullptr;
        } else {
            ++instance->references;
        }
    }
    Unlock();
    return instance;
}

VOID ReleaseInstance(WaveInstance* instance)
{
    DropReference(instance, false);
}

bool OnCompletionThread(const WaveInstance* instance)
{
    return instance->thread != nullptr && GetCurrentThreadId() == instance->threadId;
}

bool PrepareDrain(DrainMarker* marker, bool close)
{
    *marker = {};
    marker->close = close;
    marker->event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return marker->event != nullptr;
}

bool WaitForDrain(WaveInstance* instance, DrainMarker* marker)
{
    const bool posted =
        PostQueuedCompletionStatus(instance->port, 0, MarkerKey, &marker->overlapped) != FALSE;
    if (posted) {
        WaitForSingleObject(marker->event, INFINITE);
    }
    AbandonDrain(marker);
    return posted;
}

VOID AbandonDrain(DrainMarker* marker)
{
    CloseHandle(marker->event);
    marker->event = nullptr;
}

bool BeginCloseInstance(WaveInstance* instance)
{
    Lock();
    const bool began = !instance->closing;
    instance->closing = true;
    Unlock();
    return began;
}

VOID CancelCloseInstance(WaveInstance* instance)
{
    Lock();
    instance->closing = false;
    Unlock();
}

VOID FinishCloseInstance(WaveInstance* instance, DrainMarker* marker)
{
    if (OnCompletionThread(instance)) {
        // Listed and closing until the thread has sent the close callback,
        // so that an unload still finds it and waits for the thread.
        instance->closeRequested = true;
        return;
    }
    if (!WaitForDrain(instance, marker)) {
        // No way to know when the last buffer is back: none is reported.
        instance->silent.store(true);
    }
    NotifyClient(instance, WIM_CLOSE, WOM_CLOSE, 0);
    DropReference(instance, true);
}

PendingBuffer* CreatePendingBuffer(WaveInstance* instance, LPWAVEHDR header)
{
    auto* pending = static_cast<PendingBuffer*>(ModuleAllocate(sizeof(PendingBuffer)));
    if (pending == nullptr) {
        return nullptr;
    }
    pending->overlapped = {};
    pending->header = header;
    pending->instance = instance;
    instance->outstanding.fetch_add(1);
    return pending;
}

VOID DiscardPendingBuffer(PendingBuffer* pending)
{
    WaveInstance* instance = pending->instance;
    ModuleFree(pending);
    // A close may be waiting for this buffer on the thread: let it look again.
    if (instance->outstanding.fetch_sub(1) == 1) {
        Nudge(instance);
    }
}

VOID NotifyClient(WaveInstance* instance, UINT messageIn, UINT messageOut, DWORD_PTR param1)
{
    const UINT message = instance->direction == DIRECTION_IN ? messageIn : messageOut;
    DriverCallback(instance->callback, HIWORD(instance->openFlags),
                   reinterpret_cast<HDRVR>(instance->waveHandle), message,
                   instance->callbackInstance, param1, 0);
}

ULONG SendInstanceRequest(WaveInstance* instance, DriverRequest* request, USHORT op)
{
    request->length = DRIVER_REQUEST_LENGTH;
    request->target.direction = static_cast<USHORT>(instance->direction);
    request->target.deviceId = instance->deviceId;
    request->streamHandle = instance->streamHandle;
    return SendRequest(instance->device, request, op);
}
