// The accounted allocator behind sysmem_* and the allocation-fault injection of the tests.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "internal.h"
#include <new>

namespace tk {
namespace detail {

namespace {
constexpr std::uint64_t kLive = 0x7469646c6b6c6976ull;
constexpr std::uint64_t kDead = 0x646561646465616eull;
struct alignas(16) BlockHeader {
    std::uint64_t magic;
    std::uint64_t size;
};

BlockHeader *header_of(void *p) { return reinterpret_cast<BlockHeader *>(static_cast<char *>(p) - sizeof(BlockHeader)); }

bool injected_failure(std::size_t size) {
    auto &r = rt();
    if (size > r.fail_above.load(std::memory_order_relaxed)) return true;
    // counts down to the failing allocation, each one taken by one thread
    std::int64_t n = r.fail_countdown.load(std::memory_order_relaxed);
    while (n > 0)
        if (r.fail_countdown.compare_exchange_weak(n, n - 1)) return n == 1;
    return false;
}

// Allocations while a perform routine runs on this thread: counted for everybody and for this
// thread (the audio thread of a patch reads its own count).
thread_local std::int64_t host_allocs_here TILDEKIT_TLS_MODEL = 0;
void count_perform_alloc() {
    if (!tildekit_performing_here) return;
    rt().perform_allocs++;
    host_allocs_here++;
}
}  // namespace

std::int64_t host_allocations_here() { return host_allocs_here; }

void *accounted_alloc(std::size_t size, bool clear, bool injectable) {
    auto &r = rt();
    if (injectable && injected_failure(size)) return nullptr;
    if (size > std::size_t(PTRDIFF_MAX) - sizeof(BlockHeader)) return nullptr;
    void *raw = clear ? std::calloc(1, sizeof(BlockHeader) + size) : std::malloc(sizeof(BlockHeader) + size);
    if (!raw) return nullptr;
    auto *h = static_cast<BlockHeader *>(raw);
    h->magic = kLive;
    h->size = size;
    r.live_blocks++;
    r.live_bytes += std::int64_t(size);
    r.total_allocs++;
    count_perform_alloc();
    return h + 1;
}

void *accounted_realloc(void *p, std::size_t size) {
    if (!p) return accounted_alloc(size, false, true);
    BlockHeader *h = header_of(p);
    if (h->magic != kLive) {
        post_text(ConsoleLine::Error, "", "sysmem_resizeptr: pointer was not allocated here or was freed");
        return nullptr;
    }
    auto &r = rt();
    if (injected_failure(size)) return nullptr;
    if (size > std::size_t(PTRDIFF_MAX) - sizeof(BlockHeader)) return nullptr;
    std::size_t old = h->size;
    void *raw = std::realloc(h, sizeof(BlockHeader) + size);
    if (!raw) return nullptr;
    h = static_cast<BlockHeader *>(raw);
    h->size = size;
    r.live_bytes += std::int64_t(size) - std::int64_t(old);
    r.total_allocs++;
    count_perform_alloc();
    return h + 1;
}

std::size_t accounted_size(void *p) {
    if (!p) return 0;
    BlockHeader *h = header_of(p);
    return h->magic == kLive ? std::size_t(h->size) : 0;
}

void accounted_free(void *p) {
    if (!p) return;
    BlockHeader *h = header_of(p);
    if (h->magic != kLive) {
        post_text(ConsoleLine::Error, "", "sysmem_freeptr: pointer was not allocated here or was already freed");
        return;
    }
    h->magic = kDead;
    rt().live_blocks--;
    rt().live_bytes -= std::int64_t(h->size);
    std::free(h);
}

}  // namespace detail

using namespace detail;

MemoryStats memory_stats() { return {rt().live_blocks, rt().live_bytes, rt().total_allocs}; }
void fail_nth_allocation(std::int64_t n) { rt().fail_countdown = n > 0 ? n : 0; }
void fail_allocations_above(std::size_t bytes) { rt().fail_above = bytes; }
void clear_allocation_faults() {
    rt().fail_countdown = 0;
    rt().fail_above = SIZE_MAX;
}
std::int64_t allocations_in_perform() { return rt().perform_allocs; }
std::int64_t frees_without_dsp_free() { return rt().frees_without_dsp_free; }

}  // namespace tk
