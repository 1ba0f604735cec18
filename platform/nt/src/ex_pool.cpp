// Pool of the kernel-core stand-in.
//
// Every block lies below 4 GiB (the product stores kernel addresses in 32-bit
// fields). Small blocks come from power-of-two size classes carved out of
// MAP_32BIT chunks; large ones get a mapping of their own that is unmapped on
// free. As x86 NT's pool, a block below a page is 8-byte aligned (and here
// never 16-byte aligned, so that nothing comes to rely on more); a block of a
// page or more is page-aligned. Freed small blocks wait in a quarantine
// before reuse, so a late access hits junk (or, under ASan, a poisoned block)
// rather than a new owner's data. Block metadata lives outside the blocks, so
// the product cannot corrupt it.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "host/ex_control.h"
#include "host/ke_control.h"
#include "ke_internal.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define POOL_POISON(address, size) __asan_poison_memory_region((address), (size))
#define POOL_UNPOISON(address, size) __asan_unpoison_memory_region((address), (size))
#else
#define POOL_POISON(address, size) ((void)(address), (void)(size))
#define POOL_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace {

// BAD_POOL_CALLER first parameters.
constexpr ULONG_PTR kBadPoolAllocIrql = 0x08;
constexpr ULONG_PTR kBadPoolFreeIrql = 0x09;
constexpr ULONG_PTR kBadPoolDoubleFree = 0x07;
constexpr ULONG_PTR kBadPoolWrongTag = 0x0A;
constexpr ULONG_PTR kBadPoolBadAddress = 0x42;

constexpr unsigned kMinShift = 6;            // 64-byte smallest class
constexpr size_t kPage = 4096;
constexpr size_t kSmallOffset = 8;           // of a block below a page in its slot
constexpr unsigned kMaxSmallShift = 20;      // 1 MiB largest class
constexpr size_t kRedzone = 16;              // at least this much slack after each block
constexpr size_t kChunkSize = 64u << 20;     // arena growth step
constexpr size_t kQuarantineLimit = 8u << 20;
constexpr size_t kMaxRequest = 512u << 20;   // larger requests fail, as a full pool would

struct Block {
    ULONG tag;
    SIZE_T size;        // as requested
    SIZE_T offset;      // of the block in its slot
    SIZE_T capacity;    // class size, or the mapping length of a large block
    ULONGLONG serial;
    unsigned shift;     // size class; 0 for a large block
};

struct TagCount {
    ULONG blocks = 0;
    SIZE_T bytes = 0;
};

enum class Injection { None, Nth, Always };

struct Pool {
    std::mutex lock;  // guards everything below
    std::map<ULONG_PTR, Block> live;    // by address: a lookup finds the block below
    std::map<ULONG, TagCount> tags;
    std::vector<PVOID> freeLists[kMaxSmallShift + 1];
    std::deque<std::pair<PVOID, unsigned>> quarantine;
    size_t quarantineBytes = 0;
    char* chunkNext = nullptr;
    char* chunkEnd = nullptr;
    std::vector<std::pair<PVOID, size_t>> chunks;
    ULONGLONG nextSerial = 1;
    ULONGLONG totalAllocations = 0;
    Injection injection = Injection::None;
    ULONG injectionTag = 0;
    ULONG injectionRemaining = 0;
    ULONG injectedFailures = 0;

};

// Never destroyed: DPCs and other threads may still free blocks while the
// process exits.
Pool& ThePool()
{
    static Pool* pool = new Pool;
    return *pool;
}

PVOID MapLow(size_t length)
{
    void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) {
        return nullptr;
    }
    if (reinterpret_cast<ULONG_PTR>(p) + length > 0x100000000ull) {
        munmap(p, length);
        return nullptr;
    }
    return p;
}

size_t PageRound(size_t length)
{
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return (length + page - 1) / page * page;
}

unsigned ClassFor(size_t bytes)
{
    unsigned shift = kMinShift;
    while ((size_t{1} << shift) < bytes) {
        ++shift;
    }
    return shift;
}

bool TagMatches(ULONG wanted, ULONG tag)
{
    return wanted == HOST_EX_ANY_TAG || wanted == tag;
}

// Decides whether injection refuses this allocation. Pool lock held.
bool InjectFailure(Pool& pool, ULONG tag)
{
    if (pool.injection == Injection::None || !TagMatches(pool.injectionTag, tag)) {
        return false;
    }
    if (pool.injection == Injection::Nth) {
        if (--pool.injectionRemaining != 0) {
            return false;
        }
        pool.injection = Injection::None;
    }
    ++pool.injectedFailures;
    return true;
}

// Memory for one small block of class shift. Pool lock held.
char* TakeSmall(Pool& pool, unsigned shift)
{
    const size_t capacity = size_t{1} << shift;
    auto& list = pool.freeLists[shift];
    if (!list.empty()) {
        char* p = static_cast<char*>(list.back());
        list.pop_back();
        return p;
    }
    if (capacity >= kPage && pool.chunkNext != nullptr) {
        // Slots of a page or more start on a page.
        const ULONG_PTR next = reinterpret_cast<ULONG_PTR>(pool.chunkNext);
        pool.chunkNext += ((next + kPage - 1) & ~ULONG_PTR(kPage - 1)) - next;
        pool.chunkNext = pool.chunkNext > pool.chunkEnd ? pool.chunkEnd : pool.chunkNext;
    }
    if (pool.chunkNext == nullptr || static_cast<size_t>(pool.chunkEnd - pool.chunkNext) < capacity) {
        PVOID chunk = MapLow(kChunkSize);
        if (chunk == nullptr) {
            return nullptr;
        }
        pool.chunks.emplace_back(chunk, kChunkSize);
        // The tail of the previous chunk is abandoned; classes are at most
        // 1 MiB, so little is lost.
        pool.chunkNext = static_cast<char*>(chunk);
        pool.chunkEnd = pool.chunkNext + kChunkSize;
    }
    char* p = pool.chunkNext;
    pool.chunkNext += capacity;
    return p;
}

// Moves the oldest quarantined blocks back to their free lists. Pool lock held.
void DrainQuarantine(Pool& pool)
{
    while (pool.quarantineBytes > kQuarantineLimit) {
        auto [block, shift] = pool.quarantine.front();
        pool.quarantine.pop_front();
        pool.quarantineBytes -= size_t{1} << shift;
        pool.freeLists[shift].push_back(block);
    }
}

void Account(Pool& pool, ULONG tag, SIZE_T size, bool add)
{
    TagCount& count = pool.tags[tag];
    if (add) {
        ++count.blocks;
        count.bytes += size;
    } else {
        --count.blocks;
        count.bytes -= size;
    }
}

bool IrqlAllowsType(POOL_TYPE type, KIRQL irql)
{
    const bool paged = (static_cast<int>(type) & 1) != 0;
    return paged ? irql <= APC_LEVEL : irql <= DISPATCH_LEVEL;
}

void FreeBlock(PVOID P, bool checkTag, ULONG tag)
{
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) {
        KeBugCheckEx(BAD_POOL_CALLER, kBadPoolFreeIrql, irql, 0, reinterpret_cast<ULONG_PTR>(P));
        return;
    }
    Pool& pool = ThePool();
    const ULONG_PTR begin = reinterpret_cast<ULONG_PTR>(P);
    // The lock is never held across a bug check: a handler may use the pool.
    std::unique_lock<std::mutex> guard(pool.lock);
    auto it = pool.live.find(begin);
    if (it == pool.live.end()) {
        bool quarantined = false;
        for (auto& entry : pool.quarantine) {
            // Quarantine holds slots; a block below a page lies past its slot's start.
            quarantined = quarantined || entry.first == P
                || static_cast<char*>(entry.first) + kSmallOffset == P;
        }
        guard.unlock();
        KeBugCheckEx(BAD_POOL_CALLER, quarantined ? kBadPoolDoubleFree : kBadPoolBadAddress, 0,
                     begin, 0);
        return;
    }
    const Block block = it->second;
    guard.unlock();

    if (checkTag && block.tag != tag) {
        KeBugCheckEx(BAD_POOL_CALLER, kBadPoolWrongTag, begin, tag, block.tag);
        return;
    }
    ULONG kind = 0;
    PVOID object = nullptr;
    if (host_ke::FindQueuedObject(begin, begin + block.size, &kind, &object)) {
        // Freeing a queued timer or DPC would corrupt the queue it is in.
        KeBugCheckEx(TIMER_OR_DPC_INVALID, kind, reinterpret_cast<ULONG_PTR>(object), begin,
                     begin + block.size);
        return;
    }

    guard.lock();
    it = pool.live.find(begin);
    if (it == pool.live.end() || it->second.serial != block.serial) {
        // Freed by another thread meanwhile.
        guard.unlock();
        KeBugCheckEx(BAD_POOL_CALLER, kBadPoolDoubleFree, 0, begin, 0);
        return;
    }
    pool.live.erase(it);
    Account(pool, block.tag, block.size, false);
    char* slot = static_cast<char*>(P) - block.offset;
    // Leave no poison behind for whoever maps these addresses next.
    POOL_UNPOISON(slot, block.capacity);
    if (block.shift == 0) {
        munmap(slot, block.capacity);
        return;
    }
    std::memset(slot, HOST_EX_POOL_FREED_FILL, block.capacity);
    POOL_POISON(slot, block.capacity);
    pool.quarantine.emplace_back(slot, block.shift);
    pool.quarantineBytes += block.capacity;
    DrainQuarantine(pool);
}

ULONG CountLive(Pool& pool, ULONGLONG since, ULONG tag, bool report)
{
    ULONG count = 0;
    for (auto& [address, block] : pool.live) {
        if (block.serial < since || !TagMatches(tag, block.tag)) {
            continue;
        }
        ++count;
        if (report) {
            const ULONG t = block.tag;
            std::fprintf(stderr, "pool leak: %p tag '%c%c%c%c' (0x%08X) size %zu serial %llu\n",
                         reinterpret_cast<void*>(address), static_cast<char>(t & 0xff),
                         static_cast<char>((t >> 8) & 0xff), static_cast<char>((t >> 16) & 0xff),
                         static_cast<char>((t >> 24) & 0xff), t, block.size,
                         static_cast<unsigned long long>(block.serial));
        }
    }
    return count;
}

}  // namespace

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    const KIRQL irql = KeGetCurrentIrql();
    if (!IrqlAllowsType(PoolType, irql)) {
        KeBugCheckEx(BAD_POOL_CALLER, kBadPoolAllocIrql, irql, static_cast<ULONG_PTR>(PoolType),
                     Tag);
        return nullptr;
    }
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    ++pool.totalAllocations;
    if (InjectFailure(pool, Tag) || NumberOfBytes > kMaxRequest) {
        return nullptr;
    }
    const size_t offset = NumberOfBytes < kPage ? kSmallOffset : 0;
    const size_t needed = offset + NumberOfBytes + kRedzone;
    unsigned shift = ClassFor(needed);
    char* slot;
    size_t capacity;
    if (shift <= kMaxSmallShift) {
        slot = TakeSmall(pool, shift);
        capacity = size_t{1} << shift;
    } else {
        shift = 0;
        capacity = PageRound(needed);
        slot = static_cast<char*>(MapLow(capacity));
    }
    if (slot == nullptr) {
        return nullptr;
    }
    char* p = slot + offset;
    POOL_UNPOISON(p, NumberOfBytes);
    std::memset(p, HOST_EX_POOL_FRESH_FILL, NumberOfBytes);
    POOL_POISON(slot, offset);
    POOL_POISON(p + NumberOfBytes, capacity - offset - NumberOfBytes);
    pool.live[reinterpret_cast<ULONG_PTR>(p)] =
        Block{Tag, NumberOfBytes, offset, capacity, pool.nextSerial++, shift};
    Account(pool, Tag, NumberOfBytes, true);
    return p;
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    // NT's tag for untagged allocations: "None".
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0x656E6F4E);
}

VOID NTAPI ExFreePool(PVOID P)
{
    FreeBlock(P, false, 0);
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    FreeBlock(P, Tag != 0, Tag);
}

ULONG HostExPoolLiveBlocks(ULONG Tag)
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    if (Tag == HOST_EX_ANY_TAG) {
        return static_cast<ULONG>(pool.live.size());
    }
    auto it = pool.tags.find(Tag);
    return it == pool.tags.end() ? 0 : it->second.blocks;
}

SIZE_T HostExPoolLiveBytes(ULONG Tag)
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    SIZE_T bytes = 0;
    for (auto& [tag, count] : pool.tags) {
        if (TagMatches(Tag, tag)) {
            bytes += count.bytes;
        }
    }
    return bytes;
}

HOST_EX_POOL_SNAPSHOT HostExPoolSnapshot(VOID)
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    return pool.nextSerial;
}

ULONG HostExPoolLiveSince(HOST_EX_POOL_SNAPSHOT Snapshot, ULONG Tag)
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    return CountLive(pool, Snapshot, Tag, false);
}

ULONG HostExPoolLiveTagsSince(HOST_EX_POOL_SNAPSHOT Snapshot, PULONG Tags, PULONG Blocks,
                              ULONG Max)
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    std::map<ULONG, ULONG> byTag;
    for (const auto& [address, block] : pool.live) {
        if (block.serial >= Snapshot) {
            byTag[block.tag]++;
        }
    }
    ULONG index = 0;
    for (const auto& [tag, count] : byTag) {
        if (index < Max) {
            Tags[index] = tag;
            Blocks[index] = count;
        }
        ++index;
    }
    return index;
}

ULONG HostExPoolReportLeaks(ULONG Tag)
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    return CountLive(pool, 0, Tag, true);
}

ULONG HostExPoolReportLeaksSince(HOST_EX_POOL_SNAPSHOT Snapshot, ULONG Tag)
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    return CountLive(pool, Snapshot, Tag, true);
}

VOID HostExPoolFailNth(ULONG N, ULONG Tag)
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.injection = N == 0 ? Injection::None : Injection::Nth;
    pool.injectionTag = Tag;
    pool.injectionRemaining = N;
}

VOID HostExPoolFailAlways(ULONG Tag)
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.injection = Injection::Always;
    pool.injectionTag = Tag;
    pool.injectionRemaining = 0;
}

VOID HostExPoolFailReset(VOID)
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    pool.injection = Injection::None;
    pool.injectionTag = 0;
    pool.injectionRemaining = 0;
    pool.injectedFailures = 0;
}

ULONG HostExPoolInjectedFailures(VOID)
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    return pool.injectedFailures;
}

ULONGLONG HostExPoolTotalAllocations(VOID)
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    return pool.totalAllocations;
}

BOOLEAN HostExPoolIsPoolAddress(PVOID Address)
{
    Pool& pool = ThePool();
    const ULONG_PTR a = reinterpret_cast<ULONG_PTR>(Address);
    std::lock_guard<std::mutex> guard(pool.lock);
    auto above = pool.live.upper_bound(a);
    if (above == pool.live.begin()) {
        return FALSE;
    }
    const auto& [begin, block] = *std::prev(above);
    return a < begin + (block.size == 0 ? 1 : block.size) ? TRUE : FALSE;
}

}  // extern "C"
