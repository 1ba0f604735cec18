#include "stream_client.h"

#include <cstring>
#include <new>

#include "kernel_link.h"

namespace {

// Packets the client posts to its own port carry no OVERLAPPED; the key
// says what they ask of the completion thread.
constexpr ULONG_PTR BarrierKey = 1;
constexpr ULONG_PTR QuitKey = 2;

// The WAVEHDR flags a queued header carries (prepared, in queue); the
// driver reads only the loop bits, which the loopback never sets.
constexpr ULONG QueuedHeaderFlags = 0x00000002 | 0x00000010;

constexpr USHORT WaveFormatPcm = 1;

}  // namespace

StreamClient::StreamClient(ULONG direction) : direction_(direction) {}

StreamClient::~StreamClient()
{
    CloseLink();
    for (ClientBuffer* buffer : buffers_) {
        GlobalFree(buffer->data);
        GlobalFree(buffer);
    }
}

bool StreamClient::OpenLink(CompletionHandler handler, std::string* error)
{
    handler_ = std::move(handler);
    device_ = OpenKernelDevice(direction_, 0);
    if (device_ == INVALID_HANDLE_VALUE) {
        *error = "cannot open the conduit's device (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    port_ = CreateIoCompletionPort(device_, nullptr, 0, 0);
    if (port_ == nullptr) {
        *error = "cannot create a completion port (error " + std::to_string(GetLastError()) + ")";
        CloseLink();
        return false;
    }
    thread_ = CreateThread(nullptr, 0, &StreamClient::CompletionThread, this, 0, nullptr);
    if (thread_ == nullptr) {
        *error = "cannot start a completion thread (error " + std::to_string(GetLastError()) + ")";
        CloseLink();
        return false;
    }
    return true;
}

void StreamClient::CloseLink()
{
    if (thread_ != nullptr) {
        // The quit packet queues behind every completion already on the
        // port, so the thread is never cut off inside a handler.
        if (PostQueuedCompletionStatus(port_, 0, QuitKey, nullptr)) {
            WaitForSingleObject(thread_, INFINITE);
        }
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    if (port_ != nullptr) {
        CloseHandle(port_);
        port_ = nullptr;
    }
    if (device_ != INVALID_HANDLE_VALUE) {
        CloseHandle(device_);
        device_ = INVALID_HANDLE_VALUE;
    }
}

bool StreamClient::AllocateBuffers(ULONG count, ULONG bytes)
{
    for (ULONG i = 0; i < count; ++i) {
        void* record = GlobalAlloc(GMEM_FIXED, sizeof(ClientBuffer));
        void* data = record != nullptr ? GlobalAlloc(GMEM_FIXED, bytes) : nullptr;
        if (data == nullptr || AddressToUlong(record) == 0 || AddressToUlong(data) == 0) {
            if (data != nullptr) {
                GlobalFree(data);
            }
            if (record != nullptr) {
                GlobalFree(record);
            }
            return false;
        }
        ClientBuffer* buffer = new (record) ClientBuffer{};
        buffer->stream = this;
        buffer->data = static_cast<uint8_t*>(data);
        buffer->capacity = bytes;
        buffers_.push_back(buffer);
    }
    return true;
}

void StreamClient::Address(DriverRequest* record) const
{
    record->target.direction = static_cast<USHORT>(direction_);
    record->target.deviceId = 0;
    record->streamHandle = streamHandle_;
}

ULONG StreamClient::Open(const AudioFormat& format)
{
    RequestRecord record;
    if (!record.IsValid()) {
        return RESULT_NOMEM;
    }
    Address(record.Get());
    record->streamHandle = 0;   // none yet: the reply brings it
    RequestFormat& f = record->open.format;
    f.wFormatTag = WaveFormatPcm;
    f.nChannels = format.channels;
    f.nSamplesPerSec = format.rate;
    f.nAvgBytesPerSec = format.BytesPerSecond();
    f.nBlockAlign = format.BlockAlign();
    f.wBitsPerSample = format.bits;
    record->open.openFlags = 0;
    const ULONG result = SendRequest(device_, record.Get(), REQ_OPEN);
    if (result == RESULT_NOERROR) {
        streamHandle_ = record->streamHandle;
    }
    return result;
}

ULONG StreamClient::Send(USHORT op)
{
    RequestRecord record;
    if (!record.IsValid()) {
        return RESULT_NOMEM;
    }
    Address(record.Get());
    const ULONG result = SendRequest(device_, record.Get(), op);
    if (op == REQ_CLOSE && result == RESULT_NOERROR) {
        streamHandle_ = 0;
    }
    return result;
}

ULONG StreamClient::Queue(ClientBuffer* buffer, ULONG length, ULONG* recordResult)
{
    RequestRecord record;
    if (!record.IsValid()) {
        *recordResult = RESULT_NOMEM;
        return RESULT_NOMEM;
    }
    Address(record.Get());
    record->addBuffer.clientTag = AddressToUlong(buffer);
    record->addBuffer.data = AddressToUlong(buffer->data);
    record->addBuffer.dataLength = length;
    record->addBuffer.headerFlags = QueuedHeaderFlags;
    record->addBuffer.loops = 0;
    record->result = RESULT_NOERROR;
    buffer->overlapped = OVERLAPPED{};
    buffer->length = length;
    // Counted before the send: the completion may come back before the
    // write or read call returns.
    pending_.fetch_add(1, std::memory_order_acq_rel);
    const ULONG result = SendRequest(device_, record.Get(), REQ_ADD_BUFFER);
    *recordResult = record->result;
    if (result != RESULT_NOERROR) {
        pending_.fetch_sub(1, std::memory_order_acq_rel);
    }
    return result;
}

void StreamClient::Barrier()
{
    if (thread_ == nullptr) {
        return;
    }
    std::unique_lock<std::mutex> guard(barrierLock_);
    const uint64_t ticket = ++barriersPosted_;
    if (!PostQueuedCompletionStatus(port_, 0, BarrierKey, nullptr)) {
        // No thread will answer; count it as passed.
        barriersSeen_ = ticket;
        return;
    }
    barrierPassed_.wait(guard, [&] { return barriersSeen_ >= ticket; });
}

DWORD WINAPI StreamClient::CompletionThread(LPVOID parameter)
{
    static_cast<StreamClient*>(parameter)->RunCompletions();
    return 0;
}

void StreamClient::RunCompletions()
{
    for (;;) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* overlapped = nullptr;
        const BOOL ok = GetQueuedCompletionStatus(port_, &bytes, &key, &overlapped, INFINITE);
        if (overlapped != nullptr) {
            // A buffer whose request failed comes back like any other, with
            // the byte count its packet carries.
            ClientBuffer* buffer = reinterpret_cast<ClientBuffer*>(overlapped);
            pending_.fetch_sub(1, std::memory_order_acq_rel);
            handler_(buffer, bytes);
            continue;
        }
        if (!ok) {
            // Without a packet the port itself is gone: nothing more can
            // arrive.
            return;
        }
        if (key == QuitKey) {
            return;
        }
        if (key == BarrierKey) {
            std::lock_guard<std::mutex> guard(barrierLock_);
            ++barriersSeen_;
            barrierPassed_.notify_all();
        }
    }
}
