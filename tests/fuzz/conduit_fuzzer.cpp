// Fuzz target: tonkern loaded from the system root and driven through the
// stand-in Win32 calls by an op-sequence program decoded from the input.
//
// Each input is a small byte-code program: opens, control requests, add-
// buffer requests by read and write, clock advances, completion drains,
// pool and I/O failure injection and extra handles, with record addresses
// that are valid, too short, unmapped, read-only or inside system space, and
// stream handles that are 0, arbitrary, live, closed or from the other
// endpoint. In the racing mode another thread keeps changing a control
// request's record while the driver works on it. The driver is loaded fresh
// for every input; at the end of each input every stream it opened is reset
// and closed, every completion is drained and the driver is unloaded. Any
// broken invariant aborts, so that libFuzzer keeps the input.
#include <dlfcn.h>
#include <sys/mman.h>

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/ex_control.h"
#include "host/io_control.h"
#include "host/kernel32_control.h"
#include "host/ke_control.h"
#include "host/ps_control.h"

#include "conduit_client.h"
#include "leftovers.h"
#include "wire_record.h"

namespace {

constexpr ULONG PoolTag = 0x206B6444;        // "Ddk ", the driver's
constexpr ULONG HarnessTag = 0x207A7A46;     // "Fzz ", the harness's own block

constexpr const char* Image = "\\SystemRoot\\System32\\Drivers\\tonkern.sys";
constexpr const char* Registry = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Tonvane";
constexpr ULONGLONG StartTime = 1000 * HOST_KE_UNITS_PER_MS;

constexpr size_t MaxOps = 256;
constexpr DWORD MaxData = 1u << 16;

[[noreturn]] void Fail(const char* what, unsigned long long a = 0, unsigned long long b = 0)
{
    fprintf(stderr, "conduit_fuzzer: invariant broken: %s (%llx, %llx)\n", what, a, b);
    abort();
}

#define CHECK(condition, ...)        \
    do {                             \
        if (!(condition)) {          \
            Fail(#condition, ##__VA_ARGS__); \
        }                            \
    } while (0)

// TONKERN_FUZZ_TRACE=1 prints each op and its outcome, to check what a
// corpus file reaches.
bool tracing = false;

#define TRACE(...)                        \
    do {                                  \
        if (tracing) {                    \
            fprintf(stderr, __VA_ARGS__); \
        }                                 \
    } while (0)

DWORD AddressOf(const void* p)
{
    return static_cast<DWORD>(reinterpret_cast<uintptr_t>(p));
}

// A failed kernel-mode mapping (an injected MmMapLockedPages failure) stops
// NT; here it is let through, so that the driver's null check runs. Any
// other bug check is a finding.
VOID OnBugCheck(PVOID, ULONG code, ULONG_PTR a, ULONG_PTR b, ULONG_PTR, ULONG_PTR)
{
    if (code != 0x3F) {    // NO_MORE_SYSTEM_PTES
        Fail("bug check", code, a ^ b);
    }
}

// ---- Input decoding ---------------------------------------------------------

// Reads the program; past its end every read gives 0.
class Program {
public:
    Program(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Done() const { return at_ >= size_; }
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    USHORT U16() { return static_cast<USHORT>(Byte() | Byte() << 8); }
    ULONG U32() { return static_cast<ULONG>(U16()) | static_cast<ULONG>(U16()) << 16; }
    void Bytes(UCHAR* out, size_t n)
    {
        for (size_t i = 0; i < n; ++i) {
            out[i] = Byte();
        }
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// ---- Process-wide fixtures ---------------------------------------------------

// A page below 4 GiB holding a valid record, readable but not writable: the
// driver can read the record but must not accept it, since it cannot store
// the result.
UCHAR* readOnlyPage = nullptr;

void FillValidRecord(UCHAR* bytes, USHORT op)
{
    memset(bytes, 0, wire::Size);
    wire::Fill(bytes, op);
}

// Puts a record into the read-only page, which stays read-only for the
// driver.
void PutReadOnlyRecord(const UCHAR* record)
{
    mprotect(readOnlyPage, 4096, PROT_READ | PROT_WRITE);
    memcpy(readOnlyPage, record, wire::Size);
    mprotect(readOnlyPage, 4096, PROT_READ);
}

void Initialise()
{
    tracing = getenv("TONKERN_FUZZ_TRACE") != nullptr;
    // A driver image carries its own coverage counters; keeping it mapped
    // after the stand-in's dlclose keeps them valid, so the driver can be
    // loaded and unloaded for every input.
    std::string path = std::string(HostIoGetSystemRoot()) + "/System32/Drivers/tonkern.sys";
    if (dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE) == nullptr) {
        fprintf(stderr, "conduit_fuzzer: %s\n", dlerror());
        abort();
    }
    void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT,
                      -1, 0);
    CHECK(page != MAP_FAILED);
    readOnlyPage = static_cast<UCHAR*>(page);
    FillValidRecord(readOnlyPage, wire::AddBuffer);
    mprotect(page, 4096, PROT_READ);
    HostKeSetBugCheckHandler(OnBugCheck, nullptr);
}

// ---- One input's world ------------------------------------------------------

struct Stream {
    ULONG handle;
    USHORT direction;
    size_t owner;       // the client (process) that opened it
};

// A client process with its own handles on both devices and its own
// completion port. Client 0 is the default process, which cannot end.
struct Client {
    PEPROCESS process = nullptr;
    HANDLE in = INVALID_HANDLE_VALUE;
    HANDLE out = INVALID_HANDLE_VALUE;
    HANDLE port = nullptr;
    // Termination asked for: its port and handles may be gone, so its
    // packets are no longer checked.
    bool ending = false;
    bool ended = false;
};

// One read, write or overlapped request with its OVERLAPPED and data; kept
// until the end of the input so that a late completion finds it alive.
struct Slot {
    OVERLAPPED overlapped{};
    std::unique_ptr<UCHAR[]> data;
    DWORD length = 0;
    bool expectPacket = false;
    bool gotPacket = false;
    size_t client = 0;  // whose port receives its packet
};

class Session {
public:
    void Run(Program& program);

private:
    void SetUp(bool warmUp);
    void TearDown(bool unloadWithStreams);

    // Ops.
    void OpOpenStream(Program& p);
    void OpControl(Program& p);
    void OpReadWrite(Program& p);
    void OpAdvance(Program& p);
    void OpPoolFailure(Program& p);
    void OpIoFailure(Program& p);
    void OpHandles(Program& p);
    void OpStreamControl(Program& p);
    void OpProcess(Program& p);
    // A control request whose record another thread changes meanwhile.
    void RacedControl(Program& p, UCHAR* record, DWORD size, HANDLE device);

    // Helpers.
    HANDLE ChooseDevice(uint8_t selector);
    ULONG ChooseStream(Program& p, USHORT* direction);
    void BuildFormat(Program& p, UCHAR* record);
    void Corrupt(Program& p, UCHAR* record, bool* valid);
    // A valid control request; returns the result, or wire::Untouched when the call
    // failed.
    ULONG SendControl(USHORT op, USHORT direction, ULONG stream);
    BOOL Control(HANDLE device, DWORD code, UCHAR* record, DWORD size);
    void Track(ULONG handle, USHORT direction);
    void Untrack(ULONG handle);
    void Drain();
    void DrainClient(size_t index);
    // Makes a client current: its process becomes the thread's.
    void Become(size_t index);
    void OpenClientHandles(Client& client);
    // Resets and closes the streams a client opened, after its end: the
    // driver may have closed them already (result 11).
    void ForgetStreamsOf(size_t index);
    void CheckPackets();

    Client& Current() { return clients_[current_]; }

    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<Client> clients_;
    size_t current_ = 0;
    std::vector<HANDLE> extra_;
    std::vector<Stream> streams_;
    std::vector<ULONG> closed_;             // handles once valid, now closed
    std::vector<std::unique_ptr<Slot>> slots_;
    PVOID systemRecord_ = nullptr;           // a pool block holding a valid record
    ULONG poolBaseline_ = 0;
    bool checkBaseline_ = false;
    DWORD heapBaseline_ = 0;
    ULONG processesBefore_ = 0;
    bool racing_ = false;
};

void Session::SetUp(bool warmUp)
{
    HostKeReset(HostKeClockVirtual, StartTime);
    HostIoFailReset();
    HostExPoolFailReset();
    heapBaseline_ = HostHeapLiveBlocks();
    processesBefore_ = HostPsProcessCount();
    CHECK(HostExPoolLiveBlocks(PoolTag) == 0);
    const NTSTATUS status = HostIoLoadDriverA(Image, Registry, &driver_);
    CHECK(status == STATUS_SUCCESS, static_cast<ULONG>(status));
    CHECK(HostIoDeviceCount(driver_) == 2);
    clients_.emplace_back();
    current_ = 0;
    OpenClientHandles(clients_[0]);
    systemRecord_ = ExAllocatePoolWithTag(NonPagedPool, wire::Size, HarnessTag);
    CHECK(systemRecord_ != nullptr);
    FillValidRecord(static_cast<UCHAR*>(systemRecord_), wire::AddBuffer);
    if (warmUp) {
        // Whatever the driver keeps from its first clock start until unload
        // is allocated now, so that the pool must come back to exactly this
        // after every stream is closed.
        Record open(wire::Open, wire::Out);
        open.SetFormat(8000, 16, 1);
        CHECK(Control(Current().out, wire::Ioctl, open.Bytes(), wire::Size));
        CHECK(open.Result() == wire::NoError);
        CHECK(SendControl(wire::Close, 0, open.Get32(wire::StreamHandle)) == wire::NoError);
        poolBaseline_ = HostExPoolLiveBlocks(PoolTag);
    }
    checkBaseline_ = warmUp;
}

void Session::OpenClientHandles(Client& client)
{
    client.in = OpenConduit(ConduitPath(wire::In));
    client.out = OpenConduit(ConduitPath(wire::Out));
    CHECK(client.in != INVALID_HANDLE_VALUE && client.out != INVALID_HANDLE_VALUE);
    client.port = CreateIoCompletionPort(client.in, nullptr, 1, 0);
    CHECK(client.port != nullptr);
    CHECK(CreateIoCompletionPort(client.out, client.port, 0, 0) == client.port);
}

void Session::Become(size_t index)
{
    HostPsSetCurrentProcess(clients_[index].process);
    current_ = index;
}

HANDLE Session::ChooseDevice(uint8_t selector)
{
    switch (selector % 4) {
    case 0:
        return Current().out;
    case 1:
        return Current().in;
    default:
        // Any device serves any record; an extra handle (the default
        // process's) if there is one.
        if (current_ == 0 && !extra_.empty()) {
            return extra_[selector / 4 % extra_.size()];
        }
        return selector & 4 ? Current().in : Current().out;
    }
}

// Stream handle: mostly live ones (either endpoint), sometimes closed, 0,
// arbitrary or system-space values.
ULONG Session::ChooseStream(Program& p, USHORT* direction)
{
    const uint8_t selector = p.Byte();
    switch (selector % 8) {
    case 0:
        return 0;
    case 1:
        return p.U32();
    case 2:
        if (!closed_.empty()) {
            return closed_[selector / 8 % closed_.size()];
        }
        return AddressOf(systemRecord_);
    case 3:
        return AddressOf(systemRecord_);
    default:
        if (streams_.empty()) {
            return selector;
        }
        const Stream& stream = streams_[selector / 8 % streams_.size()];
        // Now and then the other endpoint's direction with this handle.
        if (direction != nullptr) {
            *direction = (selector % 8 == 7) ? static_cast<USHORT>(stream.direction ^ 1)
                                              : stream.direction;
        }
        return stream.handle;
    }
}

// Formats: a table of ordinary ones (so that later opens match), or raw
// fields. Raw rates whose 100 ms mix buffer would be between 16 MiB and
// 4 GiB are folded down: the driver may rightly allocate that much, which
// only slows the run.
void Session::BuildFormat(Program& p, UCHAR* record)
{
    struct Format {
        USHORT channels;
        ULONG rate;
        USHORT bits;
    };
    static const Format table[] = {
        {2, 44100, 16}, {1, 8000, 16}, {1, 8000, 8}, {2, 48000, 24},
        {1, 11025, 32}, {6, 96000, 16}, {1, 1, 8},   {3, 22050, 12},
    };
    const uint8_t selector = p.Byte();
    USHORT tag = 1;
    USHORT channels;
    ULONG rate;
    USHORT bits;
    USHORT block;
    ULONG average;
    if (selector < 200) {
        const Format& f = table[selector % 8];
        channels = f.channels;
        rate = f.rate;
        bits = f.bits;
        block = static_cast<USHORT>((bits + 7) / 8 * channels);
        average = rate * block;
    } else {
        tag = p.U16();
        channels = p.U16();
        rate = p.U32();
        bits = p.U16();
        block = selector & 1 ? p.U16() : static_cast<USHORT>((bits + 7) / 8 * channels);
        average = p.U32();
        const unsigned long long mix = (static_cast<unsigned long long>(rate) / 10 + 1) * block;
        if (mix > (16ull << 20) && mix <= 0xFFFFFFFFull) {
            rate &= 0xFFFF;
        }
    }
    wire::Put16(record, wire::FormatTag, tag);
    wire::Put16(record, wire::Channels, channels);
    wire::Put32(record, wire::SamplesPerSec, rate);
    wire::Put32(record, wire::AvgBytesPerSec, average);
    wire::Put16(record, wire::BlockAlign, block);
    wire::Put16(record, wire::BitsPerSample, bits);
    wire::Put16(record, wire::CbSize, p.U16());  // cbSize: the server clears it
}

// Spoils a record now and then: version, one signature byte, the NUL, or
// every byte.
void Session::Corrupt(Program& p, UCHAR* record, bool* valid)
{
    *valid = true;
    const uint8_t selector = p.Byte();
    switch (selector % 16) {
    case 0:
        wire::Put16(record, wire::Version, static_cast<USHORT>(wire::CurrentVersion + 1 + selector / 16));
        *valid = false;
        break;
    case 1:
        record[selector / 16 % sizeof(wire::ClientSignature)] ^= static_cast<UCHAR>(1 + p.Byte() % 255);
        *valid = false;
        break;
    case 2:
        memset(record + sizeof(wire::ClientSignature) - 1, 'x', 64 - sizeof(wire::ClientSignature) + 1);
        *valid = false;
        break;
    case 3:
        p.Bytes(record, wire::Size);
        *valid = memcmp(record, wire::ClientSignature, sizeof(wire::ClientSignature)) == 0
            && record[wire::Version] == (wire::CurrentVersion & 0xFF) && record[wire::Version + 1] == (wire::CurrentVersion >> 8);
        break;
    default:
        break;
    }
}

BOOL Session::Control(HANDLE device, DWORD code, UCHAR* record, DWORD size)
{
    DWORD returned = 0;
    const BOOL ok = ConduitControl(device, record, size, &returned, code);
    if (ok) {
        CHECK(returned == 0, returned);
    }
    return ok;
}

ULONG Session::SendControl(USHORT op, USHORT direction, ULONG stream)
{
    Record record(op, direction, stream);
    const BOOL ok = Control(direction == 1 ? Current().in : Current().out, wire::Ioctl,
                            record.Bytes(), wire::Size);
    return ok ? record.Result() : wire::Untouched;
}

void Session::Track(ULONG handle, USHORT direction)
{
    CHECK(handle != 0);
    for (const Stream& stream : streams_) {
        CHECK(stream.handle != handle, handle);
    }
    streams_.push_back(Stream{handle, direction, current_});
    for (size_t i = 0; i < closed_.size(); ++i) {
        if (closed_[i] == handle) {
            closed_.erase(closed_.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    }
}

void Session::Untrack(ULONG handle)
{
    for (size_t i = 0; i < streams_.size(); ++i) {
        if (streams_[i].handle == handle) {
            streams_.erase(streams_.begin() + static_cast<std::ptrdiff_t>(i));
            closed_.push_back(handle);
            return;
        }
    }
}

// REQ_OPEN by control request, with a format from the program.
void Session::OpOpenStream(Program& p)
{
    const uint8_t selector = p.Byte();
    const USHORT direction = selector & 1;
    UCHAR* record = static_cast<UCHAR*>(GlobalAlloc(GMEM_FIXED, wire::Size));
    CHECK(record != nullptr);
    FillValidRecord(record, wire::Open);
    wire::Put16(record, wire::Direction, direction);
    wire::Put32(record, wire::StreamHandle, 0);
    BuildFormat(p, record);
    const bool query = (selector & 0x0E) == 0x0E;
    wire::Put32(record, wire::OpenFlags, query ? 1 : (selector & 0x10 ? p.U32() & ~1u : 0));
    const BOOL ok = Control(ChooseDevice(selector >> 5), wire::Ioctl, record, wire::Size);
    if (!ok) {
        // Only an injected I/O failure refuses this record.
        CHECK(wire::Get32(record, wire::Result) == wire::Untouched);
        GlobalFree(record);
        return;
    }
    const ULONG result = wire::Get32(record, wire::Result);
    TRACE("  open dir %u query %d -> result %lu handle %lx\n", direction, query,
          static_cast<unsigned long>(result), static_cast<unsigned long>(wire::Get32(record, wire::StreamHandle)));
    if (result == wire::NoError && !query) {
        Track(wire::Get32(record, wire::StreamHandle), direction);
    } else {
        CHECK(wire::Get32(record, wire::StreamHandle) == 0, result);
    }
    GlobalFree(record);
}

// Any op by control request: output length, record placement, control code
// and contents from the program.
void Session::OpControl(Program& p)
{
    const uint8_t selector = p.Byte();
    USHORT op = p.Byte();
    if (op >= 240) {
        op = p.U16();
    } else {
        op %= 10;
    }
    USHORT direction = selector & 1;
    const ULONG stream = ChooseStream(p, &direction);
    if (selector & 2) {
        direction = p.U16();
    }

    // Output sizes around the boundaries: 0, short, 74..78, 118 and longer.
    DWORD size;
    const uint8_t sizeSelector = p.Byte();
    switch (sizeSelector % 8) {
    case 0:
        size = sizeSelector / 8 % 74;
        break;
    case 1:
        size = 74 + sizeSelector / 8 % 5;
        break;
    case 2:
        size = 79 + sizeSelector / 8 % 40;
        break;
    case 3:
        size = wire::Size + sizeSelector / 8;
        break;
    default:
        size = wire::Size;
        break;
    }

    const DWORD blockSize = size > wire::Size ? size : wire::Size;
    UCHAR* block = static_cast<UCHAR*>(GlobalAlloc(GMEM_FIXED, blockSize));
    CHECK(block != nullptr);
    memset(block, 0xEE, blockSize);
    FillValidRecord(block, op);
    wire::Put16(block, wire::Direction, direction);
    wire::Put16(block, wire::DeviceId, p.U16());
    wire::Put32(block, wire::StreamHandle, stream);
    if (op == wire::Open) {
        BuildFormat(p, block);
        wire::Put32(block, wire::OpenFlags, p.U32());
    } else {
        p.Bytes(block + wire::Parameters, wire::Size - wire::Parameters);
    }
    if (selector & 4) {
        wire::Put16(block, wire::Length, p.U16());
    }
    bool valid = true;
    Corrupt(p, block, &valid);
    wire::Put32(block, wire::Result, wire::Untouched);   // never read by the server
    // What the server will see, after any corruption.
    op = wire::Get16(block, wire::Op);
    direction = wire::Get16(block, wire::Direction);
    const ULONG named = wire::Get32(block, wire::StreamHandle);
    DWORD code = wire::Ioctl;
    if ((selector & 0x18) == 0x18) {
        code = p.U32();
    }

    // Where the output buffer lies: the client's block (size may put the
    // record's end past its last byte, into the guard page), none, a pool
    // block, or a read-only page.
    UCHAR* buffer = block;
    DWORD length = size;
    const uint8_t placement = p.Byte();
    switch (placement % 16) {
    case 0:
        buffer = nullptr;
        break;
    case 1:
        // The same record, well formed and naming a live stream, where a
        // user request must not reach it.
        memcpy(systemRecord_, block, wire::Size);
        buffer = static_cast<UCHAR*>(systemRecord_);
        length = wire::Size;
        break;
    case 2:
        PutReadOnlyRecord(block);
        buffer = readOnlyPage;
        length = wire::Size;
        break;
    case 3:
        // The record at the end of its block.
        buffer = block + blockSize - size;
        memmove(buffer, block, size);
        break;
    default:
        break;
    }
    if (racing_ && buffer == block && op != wire::Open && op != wire::Close) {
        RacedControl(p, block, length, ChooseDevice(selector >> 5));
        GlobalFree(block);
        return;
    }
    std::vector<UCHAR> before;
    if (buffer == block || buffer == block + blockSize - size) {
        before.assign(buffer, buffer + length);
    }
    const BOOL ok = Control(ChooseDevice(selector >> 5), code, buffer, length);
    TRACE("  control op %u size %lu placement %u valid %d -> ok %d result %lx\n", op,
          static_cast<unsigned long>(length), placement % 16, valid, ok,
          !before.empty() && length >= 74 ? static_cast<unsigned long>(wire::Get32(buffer, wire::Result)) : 0ul);
    if (!before.empty()) {
        if (!ok) {
            // A refused request writes nothing.
            CHECK(memcmp(before.data(), buffer, length) == 0, op, length);
        } else {
            CHECK(code == wire::Ioctl && valid && length >= 74, code, length);
            const ULONG result = wire::Get32(buffer, wire::Result);
            CHECK(result != wire::Untouched, op);
            if (op == wire::Open && result == wire::NoError && length >= wire::Size
                && (wire::Get32(buffer, wire::OpenFlags) & 1) == 0) {
                Track(wire::Get32(buffer, wire::StreamHandle), direction == 1 ? 1 : 0);
            }
            if (op == wire::Close && result == wire::NoError) {
                Untrack(named);
            }
        }
    } else if (buffer == static_cast<UCHAR*>(systemRecord_)) {
        // A user request cannot reach system space.
        CHECK(!ok);
        CHECK(wire::Get32(buffer, wire::Result) == wire::Untouched);
    } else if (buffer == readOnlyPage) {
        CHECK(!ok);
    }
    GlobalFree(block);
}

// The writer flips op between the request's own and REQ_ADD_BUFFER and
// changes the format area and the stream handle, byte by byte, for as long
// as the call lasts. Whatever the driver read, a control request queues
// nothing: requests outstanding and the pool do not grow (the ops raced
// allocate nothing; a reset may complete and free).
void Session::RacedControl(Program& p, UCHAR* record, DWORD size, HANDLE device)
{
    const USHORT op = wire::Get16(record, wire::Op);
    ULONG handles[4] = {wire::Get32(record, wire::StreamHandle), p.U32(), 0, 0};
    for (size_t i = 0; i < streams_.size() && i < 2; ++i) {
        handles[2 + i] = streams_[i].handle;
    }
    const ULONG seed = p.U32() | 1;
    const ULONG blocks = HostExPoolLiveBlocks(PoolTag);
    const ULONG outstanding = HostIoOutstandingRequestCount();
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        ULONG x = seed;
        auto put = [record](DWORD offset, const void* value, size_t bytes) {
            for (size_t i = 0; i < bytes; ++i) {
                __atomic_store_n(record + offset + i, static_cast<const UCHAR*>(value)[i],
                                 __ATOMIC_RELAXED);
            }
        };
        while (!stop.load(std::memory_order_relaxed)) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            const USHORT flipped = (x & 1) != 0 ? wire::AddBuffer : op;
            put(wire::Op, &flipped, 2);
            put(wire::StreamHandle, &handles[x >> 1 & 3], 4);
            put(wire::FormatTag + (x >> 3) % 18, &x, 1);
        }
    });
    const BOOL ok = Control(device, wire::Ioctl, record, size);
    stop.store(true, std::memory_order_relaxed);
    writer.join();
    TRACE("  raced control op %u size %lu -> ok %d\n", op, static_cast<unsigned long>(size), ok);
    CHECK(HostIoOutstandingRequestCount() <= outstanding, op);
    CHECK(HostExPoolLiveBlocks(PoolTag) <= blocks, HostExPoolLiveBlocks(PoolTag), blocks);
}

// REQ_ADD_BUFFER (or any other op) by read or write, with its record and
// data anywhere.
void Session::OpReadWrite(Program& p)
{
    const uint8_t selector = p.Byte();
    USHORT direction = selector & 1;
    const ULONG stream = ChooseStream(p, &direction);
    // Mostly the transport the client uses for the direction.
    bool write = direction == 0;
    if ((selector & 6) == 6) {
        write = !write;
    }
    USHORT op = wire::AddBuffer;
    if ((selector & 0x18) == 0x18) {
        op = p.Byte() % 10;
    }

    auto slot = std::make_unique<Slot>();
    // Data: a client buffer, none, unmapped, system space or read-only.
    const uint8_t dataSelector = p.Byte();
    DWORD length = p.U16() % MaxData;
    if (dataSelector & 0x80) {
        length &= 0xFF;
    }
    void* data = nullptr;
    switch (dataSelector % 16) {
    case 0:
        data = nullptr;
        break;
    case 1:
        data = reinterpret_cast<void*>(uintptr_t(0x1000 + (dataSelector >> 4) * 0x100));
        break;
    case 2:
        data = systemRecord_;
        if (length > wire::Size) {
            length = wire::Size;
        }
        break;
    case 3:
        data = readOnlyPage;
        if (length > 4096) {
            length = 4096;
        }
        break;
    default:
        slot->data.reset(new UCHAR[length == 0 ? 1 : length]);
        for (DWORD i = 0; i < length; ++i) {
            slot->data[i] = static_cast<UCHAR>(i * 37 + dataSelector);
        }
        data = slot->data.get();
        break;
    }
    slot->length = length;

    // Record: the client's, short (its end in the guard page), null, freed,
    // unmapped, system space or read-only.
    UCHAR recordBytes[wire::Size];
    FillValidRecord(recordBytes, op);
    wire::Put16(recordBytes, wire::Direction, direction);
    wire::Put32(recordBytes, wire::StreamHandle, stream);
    wire::Put32(recordBytes, wire::Parameters, p.U32());             // clientTag
    wire::Put32(recordBytes, wire::Parameters + 4, p.U32());         // completionRequest
    wire::Put32(recordBytes, wire::Data, selector & 0x20 ? p.U32() : AddressOf(data));
    wire::Put32(recordBytes, wire::DataLength, selector & 0x40 ? p.U32() : length);
    const uint8_t flags = p.Byte();
    wire::Put32(recordBytes, wire::HeaderFlags, flags & 0x0C);
    wire::Put32(recordBytes, wire::Loops, flags & 0x80 ? p.U32() : flags & 3);
    bool valid = true;
    Corrupt(p, recordBytes, &valid);
    wire::Put32(recordBytes, wire::Result, wire::Untouched);   // never read by the server
    op = wire::Get16(recordBytes, wire::Op);
    const ULONG named = wire::Get32(recordBytes, wire::StreamHandle);

    const uint8_t placement = p.Byte();
    UCHAR* block = nullptr;
    ULONG_PTR recordAddress = 0;
    bool ownRecord = false;
    switch (placement % 16) {
    case 0:
        recordAddress = 0;
        break;
    case 1: {
        // Too short: the record runs into the guard page behind the block.
        const DWORD shortSize = 1 + (placement >> 4) * 7 % (wire::Size - 1);
        block = static_cast<UCHAR*>(GlobalAlloc(GMEM_FIXED, shortSize));
        CHECK(block != nullptr);
        memcpy(block, recordBytes, shortSize);
        recordAddress = AddressOf(block);
        break;
    }
    case 2: {
        UCHAR* freed = static_cast<UCHAR*>(GlobalAlloc(GMEM_FIXED, wire::Size));
        CHECK(freed != nullptr);
        recordAddress = AddressOf(freed);
        GlobalFree(freed);
        break;
    }
    case 3:
        recordAddress = p.Byte() & 1 ? 0x100 + p.U16() % 0xF000 : 0x90000000 + p.U32() % 0x6FFFFF00;
        break;
    case 4:
        // The same record, naming a live stream, in system space or
        // read-only: a driver that took it would queue the buffer.
        memcpy(systemRecord_, recordBytes, wire::Size);
        recordAddress = AddressOf(systemRecord_);
        break;
    case 5:
        PutReadOnlyRecord(recordBytes);
        recordAddress = AddressOf(readOnlyPage);
        break;
    case 6:
        recordAddress = stream;    // a stream, which lives in the pool
        break;
    default:
        block = static_cast<UCHAR*>(GlobalAlloc(GMEM_FIXED, wire::Size));
        CHECK(block != nullptr);
        memcpy(block, recordBytes, wire::Size);
        recordAddress = AddressOf(block);
        ownRecord = true;
        break;
    }

    // The record's address as a client puts it, its upper half spoilt now
    // and then: the record is then out of reach.
    const ULONG spoilt = placement & 0x80 ? p.U32() : 0;
    slot->overlapped.Offset = static_cast<DWORD>(recordAddress);
    slot->overlapped.OffsetHigh = static_cast<DWORD>(static_cast<ULONGLONG>(recordAddress) >> 32) ^ spoilt;
    ownRecord = ownRecord && spoilt == 0;
    HANDLE device = ChooseDevice(p.Byte());
    SetLastError(0);
    const BOOL ok = write ? WriteFile(device, data, length, nullptr, &slot->overlapped)
                          : ReadFile(device, data, length, nullptr, &slot->overlapped);
    const DWORD error = ok ? 0 : GetLastError();
    slot->expectPacket = ok || error == ERROR_IO_PENDING;
    TRACE("  %s op %u length %lu data %u record %u valid %d -> ok %d error %lu result %lx\n",
          write ? "write" : "read", op, static_cast<unsigned long>(length), dataSelector % 16,
          placement % 16, valid, ok, static_cast<unsigned long>(error),
          ownRecord ? static_cast<unsigned long>(wire::Get32(block, wire::Result)) : 0ul);

    if (ownRecord) {
        const ULONG result = wire::Get32(block, wire::Result);
        if (error == ERROR_IO_PENDING) {
            // Only an accepted buffer stays pending, and its result says so.
            CHECK(valid && op == wire::AddBuffer && result == wire::NoError, op, result);
        } else if (ok) {
            CHECK(valid && op != wire::AddBuffer && result != wire::Untouched, op, result);
        } else if (valid && op == wire::AddBuffer && result != wire::Untouched) {
            CHECK(result != wire::NoError);
        }
        if (!valid) {
            CHECK(!ok && result == wire::Untouched, error, result);
        }
        // The server works on its own copy: only the result reaches the
        // caller's record.
        wire::Put32(block, wire::Result, wire::Untouched);
        CHECK(memcmp(block, recordBytes, wire::Size) == 0, op);
        if (ok && op == wire::Close && result == wire::NoError) {
            Untrack(named);
        }
    } else if (!ownRecord && (block == nullptr || spoilt != 0)) {
        // Null, unmapped, system-space and read-only records are refused.
        CHECK(!ok && error != ERROR_IO_PENDING, placement % 16, error);
    }
    if (recordAddress == reinterpret_cast<ULONG_PTR>(systemRecord_)) {
        CHECK(wire::Get32(static_cast<UCHAR*>(systemRecord_), wire::Result) == wire::Untouched);
    }
    // The record need only live for the call.
    if (block != nullptr) {
        GlobalFree(block);
    }
    slot->client = current_;
    slots_.push_back(std::move(slot));
}

void Session::OpAdvance(Program& p)
{
    const uint8_t selector = p.Byte();
    ULONG ms;
    switch (selector % 4) {
    case 0:
        ms = selector / 4;
        break;
    case 1:
        ms = 100 * (selector / 4 % 16);
        break;
    default:
        ms = p.U16() % 5000;
        break;
    }
    HostKeAdvanceClockMs(ms);
    if (selector & 0x80) {
        Drain();
    }
}

void Session::OpPoolFailure(Program& p)
{
    const uint8_t selector = p.Byte();
    if (selector % 4 == 0) {
        HostExPoolFailReset();
    } else {
        HostExPoolFailNth(1 + selector / 4 % 4, selector & 0x80 ? HOST_EX_ANY_TAG : PoolTag);
    }
}

void Session::OpIoFailure(Program& p)
{
    const uint8_t selector = p.Byte();
    const auto point = static_cast<HOST_IO_FAILURE_POINT>(selector % HostIoFailPointCount);
    if (selector & 0x80) {
        HostIoFailReset();
    } else if (point != HostIoFailCreateDevice && point != HostIoFailCreateSymbolicLink) {
        HostIoFailNth(point, 1 + selector / 8 % 4, STATUS_INSUFFICIENT_RESOURCES);
    }
}

// Extra handles: opening and closing change nothing in the driver.
void Session::OpHandles(Program& p)
{
    const uint8_t selector = p.Byte();
    if (current_ != 0) {
        return;
    }
    if ((selector & 1) == 0 && extra_.size() < 4) {
        HANDLE handle = OpenConduit(ConduitPath(selector & 2 ? wire::In : wire::Out));
        if (handle != INVALID_HANDLE_VALUE) {
            CHECK(CreateIoCompletionPort(handle, clients_[0].port, 2, 0) == clients_[0].port);
            extra_.push_back(handle);
        }
    } else if (!extra_.empty()) {
        const size_t index = selector / 2 % extra_.size();
        CHECK(CloseHandle(extra_[index]));
        extra_.erase(extra_.begin() + static_cast<std::ptrdiff_t>(index));
    }
}

// Start, stop, reset, break-loop, position or close on a live stream with a
// well-formed record: reaches the stream states quickly.
void Session::OpStreamControl(Program& p)
{
    if (streams_.empty()) {
        return;
    }
    const uint8_t selector = p.Byte();
    const Stream stream = streams_[selector / 8 % streams_.size()];
    static const USHORT ops[] = {4, 5, 6, 7, 8, 2, 4, 6};
    const USHORT op = ops[selector % 8];
    const ULONG result = SendControl(op, stream.direction, stream.handle);
    TRACE("  stream op %u dir %u -> result %lx\n", op, stream.direction,
          static_cast<unsigned long>(result));
    if (op == wire::Close) {
        if (result == wire::NoError) {
            Untrack(stream.handle);
        } else {
            CHECK(result == 33 || result == wire::Untouched, result);
        }
    } else {
        CHECK(result == wire::NoError || result == wire::Untouched, op, result);
    }
}

void Session::Drain()
{
    const size_t current = current_;
    for (size_t index = 0; index < clients_.size(); ++index) {
        if (!clients_[index].ending) {
            Become(index);
            DrainClient(index);
        }
    }
    Become(current);
}

void Session::DrainClient(size_t index)
{
    for (;;) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED overlapped = nullptr;
        const BOOL ok = GetQueuedCompletionStatus(clients_[index].port, &bytes, &key, &overlapped, 0);
        if (!ok && overlapped == nullptr) {
            return;
        }
        Slot* found = nullptr;
        for (const auto& slot : slots_) {
            if (&slot->overlapped == overlapped) {
                found = slot.get();
            }
        }
        CHECK(found != nullptr, reinterpret_cast<uintptr_t>(overlapped));
        CHECK(found->expectPacket && !found->gotPacket && found->client == index);
        CHECK(bytes <= found->length, bytes, found->length);
        TRACE("  packet %lu bytes of %lu, ok %d\n", static_cast<unsigned long>(bytes),
              static_cast<unsigned long>(found->length), ok);
        found->gotPacket = true;
    }
}

void Session::CheckPackets()
{
    for (const auto& slot : slots_) {
        if (!clients_[slot->client].ending) {
            CHECK(slot->expectPacket == slot->gotPacket);
        }
    }
}

// A driver that registers a process-notify routine closes the streams of a
// process that ends, and every request it leaves pending can be cancelled,
// so ending a process never has to wait.
bool DriverEndsClients()
{
    return HostPsNotifyRoutineCount() != 0;
}

void Session::ForgetStreamsOf(size_t index)
{
    const bool strict = DriverEndsClients();
    // An injected I/O failure would refuse these requests before the driver.
    HostIoFailReset();
    for (size_t i = streams_.size(); i-- > 0;) {
        const Stream stream = streams_[i];
        if (stream.owner != index) {
            continue;
        }
        const ULONG reset = SendControl(wire::Reset, stream.direction, stream.handle);
        const ULONG close = SendControl(wire::Close, stream.direction, stream.handle);
        if (strict) {
            CHECK(reset == 11 && close == 11, reset, close);
        } else {
            CHECK(reset == wire::NoError && close == wire::NoError, reset, close);
        }
        Untrack(stream.handle);
    }
}

// New client processes, switching between them, and ending them with their
// streams open and their buffers pending.
void Session::OpProcess(Program& p)
{
    const uint8_t selector = p.Byte();
    switch (selector % 4) {
    case 0: {
        if (clients_.size() >= 3) {
            return;
        }
        // An injected I/O failure would refuse the new client's handles.
        HostIoFailReset();
        Client client;
        CHECK(HostPsCreateProcess(&client.process) == STATUS_SUCCESS);
        const size_t previous = current_;
        clients_.push_back(client);
        Become(clients_.size() - 1);
        OpenClientHandles(Current());
        Become(previous);
        break;
    }
    case 1: {
        const size_t index = selector / 4 % clients_.size();
        if (!clients_[index].ending) {
            Become(index);
        }
        break;
    }
    case 2: {
        if (clients_.size() < 2) {
            return;
        }
        const size_t index = 1 + selector / 4 % (clients_.size() - 1);
        Client& client = clients_[index];
        if (client.ending) {
            return;
        }
        Become(0);
        const NTSTATUS status = HostPsTerminateProcess(client.process);
        TRACE("  end client %zu -> %lx\n", index, static_cast<unsigned long>(status));
        client.ending = true;
        if (status == STATUS_SUCCESS) {
            client.ended = true;
            CHECK(HostPsOutstandingRequests(client.process) == 0);
            CHECK(HostPsHandleCount(client.process) == 0);
            ForgetStreamsOf(index);
        } else {
            // Only a driver that cannot cancel may keep a process waiting.
            CHECK(status == STATUS_PENDING && !DriverEndsClients(), static_cast<ULONG>(status));
        }
        break;
    }
    default:
        Become(0);
        break;
    }
}

void Session::TearDown(bool unloadWithStreams)
{
    HostExPoolFailReset();
    HostIoFailReset();
    Become(0);
    if (!unloadWithStreams) {
        // Every stream this input opened: reset returns its buffers, then
        // the close must succeed.
        while (!streams_.empty()) {
            const Stream stream = streams_.back();
            CHECK(SendControl(wire::Reset, stream.direction, stream.handle) == wire::NoError);
            CHECK(SendControl(wire::Close, stream.direction, stream.handle) == wire::NoError);
            Untrack(stream.handle);
        }
        Drain();
        CheckPackets();
        CHECK(HostIoOutstandingRequestCount() == 0, HostIoOutstandingRequestCount());
        // Back to what the loaded driver held before the input.
        if (checkBaseline_) {
            CHECK(HostExPoolLiveBlocks(PoolTag) == poolBaseline_, HostExPoolLiveBlocks(PoolTag),
                  poolBaseline_);
        }
        CHECK(HostKeQueuedTimers() == 0);
    } else {
        Drain();
    }
    // Every client process ends, which closes its handles. With streams
    // left open, a driver that cannot cancel keeps such a process waiting
    // until its requests are completed some other way.
    for (size_t index = 1; index < clients_.size(); ++index) {
        Client& client = clients_[index];
        if (client.ended) {
            continue;
        }
        NTSTATUS status = HostPsTerminateProcess(client.process);
        if (status == STATUS_PENDING) {
            CHECK(!DriverEndsClients());
            for (const Stream& stream : streams_) {
                SendControl(wire::Reset, stream.direction, stream.handle);
            }
            status = HostPsTerminateProcess(client.process);
        }
        CHECK(status == STATUS_SUCCESS, static_cast<ULONG>(status));
        client.ending = client.ended = true;
        CHECK(HostPsOutstandingRequests(client.process) == 0);
    }
    // Ended process records go once nothing refers to them.
    for (size_t index = 1; index < clients_.size(); ++index) {
        HostPsReleaseProcess(clients_[index].process);
    }
    CHECK(HostPsProcessCount() == processesBefore_, HostPsProcessCount(), processesBefore_);
    for (HANDLE handle : extra_) {
        CHECK(CloseHandle(handle));
    }
    extra_.clear();
    CHECK(CloseHandle(clients_[0].in));
    CHECK(CloseHandle(clients_[0].out));
    // Unloading resets and frees whatever streams are left and completes
    // their requests.
    const std::string left = UnloadLeftovers(driver_, PoolTag);
    CHECK(left.empty(), left.size());
    driver_ = nullptr;
    HostIoRunDeferredWork();
    DrainClient(0);
    CheckPackets();
    CHECK(HostIoOutstandingRequestCount() == 0, HostIoOutstandingRequestCount());
    CHECK(HostIoOpenFileCount() == 0, HostIoOpenFileCount());
    CHECK(CloseHandle(clients_[0].port));
    CHECK(HostIoPortCount() == 0);
    ExFreePool(systemRecord_);
    slots_.clear();
    CHECK(HostHeapLiveBlocks() == heapBaseline_, HostHeapLiveBlocks(), heapBaseline_);
}

void Session::Run(Program& program)
{
    // The first byte picks how the input starts and ends. Mostly the clock is
    // started once before the program (then the pool must return to exactly
    // that level once every stream is closed); otherwise the program's own
    // first start makes the driver's lasting allocations, under whatever
    // failure it injects. Mostly every stream is reset and closed at the
    // end; sometimes the driver is unloaded with streams open and buffers
    // pending.
    // With bit 5, control requests race a writer of their record.
    const uint8_t mode = program.Byte();
    SetUp(mode % 4 != 3);
    const bool unloadWithStreams = mode / 4 % 8 == 7;
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer would only report the race that is the point.
    racing_ = false;
#else
    racing_ = (mode & 0x20) != 0;
#endif
    TRACE("input: warm-up %d, unload with streams %d, racing %d\n", mode % 4 != 3,
          unloadWithStreams, racing_);
    for (size_t n = 0; n < MaxOps && !program.Done(); ++n) {
        const uint8_t op = program.Byte();
        TRACE(" op %u\n", op % 11);
        switch (op % 11) {
        case 0:
            OpOpenStream(program);
            break;
        case 1:
            OpControl(program);
            break;
        case 2:
        case 3:
            OpReadWrite(program);
            break;
        case 4:
            OpAdvance(program);
            break;
        case 5:
            Drain();
            break;
        case 6:
            OpPoolFailure(program);
            break;
        case 7:
            OpIoFailure(program);
            break;
        case 8:
            OpHandles(program);
            break;
        case 10:
            OpProcess(program);
            break;
        default:
            OpStreamControl(program);
            break;
        }
    }
    TearDown(unloadWithStreams);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Initialise();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool initialised = false;
    if (!initialised) {
        // The replay runner has no LLVMFuzzerInitialize call.
        if (readOnlyPage == nullptr) {
            Initialise();
        }
        initialised = true;
    }
    Program program(data, size);
    Session session;
    session.Run(program);
    return 0;
}
