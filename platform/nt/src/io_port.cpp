// I/O completion ports: FIFO packet queues that files are bound to with a
// key. A port stays alive while bound files or waiters reference it. Closing
// its handle releases every waiter with STATUS_ABANDONED_WAIT_0 from Vista
// on; before, waiters go on waiting for what bound files complete. The end
// of the port's process releases them in every version, as the process's
// threads end with it (a stand-in thread that is stopped leaves its wait
// itself).
#include <chrono>

#include "host/io_user.h"
#include "host/ke_user.h"
#include "io_internal.h"

namespace host_io {
namespace {
std::atomic<ULONG> livePorts{0};
std::atomic<ULONG> waiters{0};
}  // namespace

void QueuePacket(PortHost* port, const PortPacket& packet)
{
    std::lock_guard<std::mutex> guard(port->lock);
    port->packets.push_back(packet);
    port->ready.notify_one();
}

void ClosePortHandle(PortHost* port, bool releaseWaiters)
{
    if (!releaseWaiters) {
        return;
    }
    std::lock_guard<std::mutex> guard(port->lock);
    port->closed = true;
    port->ready.notify_all();
}

void DeletePort(PortHost* port)
{
    delete port;
    livePorts.fetch_sub(1, std::memory_order_relaxed);
}

}  // namespace host_io

using namespace host_io;

extern "C" {

int32_t HostNtCreateIoCompletion(void** Port)
{
    PortHost* port = new PortHost{};
    port->ob.type = ObType::Port;
    port->ob.references.store(1, std::memory_order_relaxed);
    port->closed = false;
    livePorts.fetch_add(1, std::memory_order_relaxed);
    HANDLE handle;
    NTSTATUS status = InsertHandle(CurrentProcess(), &port->ob, &handle);
    if (!NT_SUCCESS(status)) {
        DeletePort(port);
        return status;
    }
    *Port = handle;
    return STATUS_SUCCESS;
}

int32_t HostNtSetIoCompletionPort(void* File, void* Port, uintptr_t Key)
{
    ObObject* fileObject;
    NTSTATUS status = ReferenceHandle(File, ObType::File, &fileObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ObObject* portObject;
    status = ReferenceHandle(Port, ObType::Port, &portObject);
    if (!NT_SUCCESS(status)) {
        ObDereference(fileObject, true);
        return status;
    }
    FileHost* file = reinterpret_cast<FileHost*>(fileObject);
    PortHost* port = reinterpret_cast<PortHost*>(portObject);
    {
        // Completions read the port with acquire, then the key.
        static std::mutex bindLock;
        std::lock_guard<std::mutex> guard(bindLock);
        // A synchronous file's requests never reach a port; a file binds once.
        if ((file->file.Flags & FO_SYNCHRONOUS_IO) != 0
            || file->port.load(std::memory_order_relaxed) != nullptr) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            file->completion.Port = port;
            file->completion.Key = reinterpret_cast<PVOID>(Key);
            file->file.CompletionContext = &file->completion;
            // The file keeps the port reference taken above while it is bound.
            file->port.store(port, std::memory_order_release);
        }
    }
    if (!NT_SUCCESS(status)) {
        ObDereference(portObject, true);
    }
    ObDereference(fileObject, true);
    return status;
}

int32_t HostNtRemoveIoCompletion(void* Port, uintptr_t* Key, void** ApcContext,
                                 int32_t* PacketStatus, uintptr_t* Information, uint32_t TimeoutMs)
{
    ObObject* object;
    NTSTATUS status = ReferenceHandle(Port, ObType::Port, &object);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PortHost* port = reinterpret_cast<PortHost*>(object);
    {
        std::unique_lock<std::mutex> guard(port->lock);
        auto ready = [port] { return !port->packets.empty() || port->closed; };
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
        waiters.fetch_add(1, std::memory_order_relaxed);
        const host_wait::WaitEnd end =
            host_wait::Wait(guard, port->ready, ready, "GetQueuedCompletionStatus", true,
                            TimeoutMs == UINT32_MAX ? nullptr : &deadline);
        waiters.fetch_sub(1, std::memory_order_relaxed);
        if (end == host_wait::WaitEnd::Stopped) {
            status = STATUS_THREAD_IS_TERMINATING;
        } else if (port->closed) {
            status = STATUS_ABANDONED_WAIT_0;
        } else if (port->packets.empty()) {
            status = STATUS_TIMEOUT;
        } else {
            PortPacket packet = port->packets.front();
            port->packets.pop_front();
            *Key = packet.key;
            *ApcContext = packet.overlapped;
            *PacketStatus = packet.status;
            *Information = packet.information;
            status = STATUS_SUCCESS;
        }
    }
    ObDereference(object, true);
    return status;
}

int32_t HostNtSetIoCompletion(void* Port, uintptr_t Key, void* ApcContext, int32_t PacketStatus,
                              uintptr_t Information)
{
    ObObject* object;
    NTSTATUS status = ReferenceHandle(Port, ObType::Port, &object);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    QueuePacket(reinterpret_cast<PortHost*>(object),
                PortPacket{Key, ApcContext, PacketStatus, Information});
    ObDereference(object, true);
    return STATUS_SUCCESS;
}

ULONG HostIoPortCount(VOID)
{
    return livePorts.load(std::memory_order_relaxed);
}

ULONG HostIoPortWaiters(VOID)
{
    return waiters.load(std::memory_order_relaxed);
}

}  // extern "C"
