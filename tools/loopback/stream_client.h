// One client stream of the conduit, linked to tonkern as a wave device
// instance is: its own overlapped handle on the device of its direction, an
// I/O completion port bound to it and a completion thread that hands every
// finished buffer to the owner.
#pragma once

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "audio_source.h"
#include "driver_request.h"

class StreamClient;

// A buffer handed to the driver (the client's pending buffer). OVERLAPPED
// stands first, so the pointer a completion delivers is the buffer itself.
// The record and its data live in the global heap, below 4 GiB, so that
// clientTag and data fit their 32-bit fields.
struct ClientBuffer {
    OVERLAPPED overlapped;
    StreamClient* stream;
    uint8_t* data;
    ULONG capacity;         // bytes at data
    ULONG length;           // bytes handed over by the last Queue
};

class StreamClient {
public:
    // Runs on the completion thread for each finished buffer with the bytes
    // the driver moved; it may queue the buffer again.
    using CompletionHandler = std::function<void(ClientBuffer* buffer, DWORD bytes)>;

    explicit StreamClient(ULONG direction);
    ~StreamClient();        // CloseLink, then frees the buffers
    StreamClient(const StreamClient&) = delete;
    StreamClient& operator=(const StreamClient&) = delete;

    ULONG Direction() const { return direction_; }
    bool IsOpen() const { return streamHandle_ != 0; }

    // Device handle, port and thread; on failure none of them is left.
    bool OpenLink(CompletionHandler handler, std::string* error);
    // Ends the completion thread after every packet already queued, then
    // closes the port and the device. Safe to call twice.
    void CloseLink();

    // count buffers of bytes each; false when the heap refused one.
    bool AllocateBuffers(ULONG count, ULONG bytes);
    const std::vector<ClientBuffer*>& Buffers() const { return buffers_; }

    // REQ_OPEN with format; keeps the stream handle on success.
    ULONG Open(const AudioFormat& format);
    // REQ_START, REQ_STOP, REQ_RESET, REQ_CLOSE (forgets the handle when it
    // succeeds), ...
    ULONG Send(USHORT op);
    // REQ_ADD_BUFFER of the first length bytes of buffer. 0 when the buffer
    // was taken (its completion follows); otherwise the refusal, with the
    // record's own result in *recordResult.
    ULONG Queue(ClientBuffer* buffer, ULONG length, ULONG* recordResult);

    // Returns once the completion thread has handled every packet that was
    // on the port before the call.
    void Barrier();

    // Buffers taken by the driver and not yet handed back.
    ULONG Pending() const { return pending_.load(std::memory_order_acquire); }

private:
    // Names this stream in a record: its direction, device 0, its handle.
    void Address(DriverRequest* record) const;
    static DWORD WINAPI CompletionThread(LPVOID parameter);
    void RunCompletions();

    const ULONG direction_;
    ULONG streamHandle_ = 0;    // the owner's thread only
    HANDLE device_ = INVALID_HANDLE_VALUE;
    HANDLE port_ = nullptr;
    HANDLE thread_ = nullptr;
    CompletionHandler handler_;
    std::vector<ClientBuffer*> buffers_;
    std::atomic<ULONG> pending_{0};

    std::mutex barrierLock_;
    std::condition_variable barrierPassed_;
    uint64_t barriersPosted_ = 0;   // barrierLock_
    uint64_t barriersSeen_ = 0;     // barrierLock_
};
