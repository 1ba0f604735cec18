// Memory below 4 GiB for the I/O stand-ins: packets, device and file
// objects, MDLs, system-space copies of user buffers, and (for kernel32)
// user blocks of the global heap. Separate from the pool stand-in so that
// pool accounting and pool failure injection see only what drivers allocate.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define LOW_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define LOW_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define LOW_POISON(address, size) ((void)(address), (void)(size))
#define LOW_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

#include "io_internal.h"

namespace host_io {
namespace {

constexpr size_t kPage = 4096;
constexpr size_t kAlign = 16;

struct Mapping {
    uintptr_t base;     // start of the mapping
    size_t length;      // including the guard page
    size_t size;        // bytes asked for
    bool system;
};

std::mutex& Lock()
{
    static auto* lock = new std::mutex;
    return *lock;
}

// Keyed by block address. Guarded by Lock().
std::map<uintptr_t, Mapping>& Blocks()
{
    static auto* blocks = new std::map<uintptr_t, Mapping>;
    return *blocks;
}

// Freed mappings kept for reuse, by length: unmapping costs a TLB flush on
// every processor, and requests allocate and free several blocks each.
// Guarded by Lock(). Freed memory is poisoned under ASan.
constexpr size_t kCacheLimit = size_t(64) << 20;
std::map<size_t, std::vector<uintptr_t>>& Cache()
{
    static auto* cache = new std::map<size_t, std::vector<uintptr_t>>;
    return *cache;
}
size_t cachedBytes = 0;   // guarded by Lock()

// A cached mapping of length bytes, or 0. Lock() held.
uintptr_t TakeCached(size_t length)
{
    auto found = Cache().find(length);
    if (found == Cache().end() || found->second.empty()) {
        return 0;
    }
    uintptr_t base = found->second.back();
    found->second.pop_back();
    cachedBytes -= length;
    return base;
}

}  // namespace

void* LowAllocate(size_t size, bool system)
{
    if (size == 0) {
        size = 1;
    }
    size_t rounded = (size + kAlign - 1) & ~(kAlign - 1);
    size_t usable = (rounded + kPage - 1) & ~(kPage - 1);
    size_t length = usable + kPage;
    uintptr_t start;
    {
        std::lock_guard<std::mutex> guard(Lock());
        start = TakeCached(length);
    }
    if (start != 0) {
        LOW_UNPOISON(reinterpret_cast<void*>(start), usable);
    } else {
        void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
        if (base == MAP_FAILED) {
            return nullptr;
        }
        start = reinterpret_cast<uintptr_t>(base);
        if (start + length > (uintptr_t(1) << 32)) {
            munmap(base, length);
            return nullptr;
        }
        // The guard page catches overruns past the (16-byte rounded) block.
        mprotect(reinterpret_cast<void*>(start + usable), kPage, PROT_NONE);
    }
    uintptr_t block = start + usable - rounded;
    std::lock_guard<std::mutex> guard(Lock());
    Blocks()[block] = Mapping{start, length, size, system};
    return reinterpret_cast<void*>(block);
}

void LowFree(void* block)
{
    if (block == nullptr) {
        return;
    }
    Mapping mapping;
    {
        std::lock_guard<std::mutex> guard(Lock());
        auto found = Blocks().find(reinterpret_cast<uintptr_t>(block));
        if (found == Blocks().end()) {
            KeBugCheckEx(BAD_POOL_CALLER, 0x100, reinterpret_cast<ULONG_PTR>(block), 0, 0);
            return;
        }
        mapping = found->second;
        Blocks().erase(found);
        if (cachedBytes + mapping.length <= kCacheLimit) {
            LOW_POISON(reinterpret_cast<void*>(mapping.base), mapping.length - kPage);
            Cache()[mapping.length].push_back(mapping.base);
            cachedBytes += mapping.length;
            return;
        }
    }
    munmap(reinterpret_cast<void*>(mapping.base), mapping.length);
}

bool LowOverlapsSystem(const void* address, size_t length)
{
    uintptr_t begin = reinterpret_cast<uintptr_t>(address);
    uintptr_t end = begin + (length == 0 ? 1 : length);
    std::lock_guard<std::mutex> guard(Lock());
    // Any mapping overlapping [begin, end): mappings are disjoint, so only
    // the one with the greatest base below end needs a look, plus ordering by
    // block address equals ordering by base.
    auto next = Blocks().lower_bound(end);
    while (next != Blocks().begin()) {
        --next;
        const Mapping& m = next->second;
        if (m.base + m.length <= begin) {
            break;
        }
        if (m.system && m.base < end) {
            return true;
        }
    }
    return false;
}

size_t LowLiveBlocks(bool system)
{
    std::lock_guard<std::mutex> guard(Lock());
    size_t count = 0;
    for (const auto& entry : Blocks()) {
        if (entry.second.system == system) {
            ++count;
        }
    }
    return count;
}

}  // namespace host_io
