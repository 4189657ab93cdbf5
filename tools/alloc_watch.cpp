// Counts the C library allocations made while a perform routine runs. Linked into the validator
// programs only: these definitions take the place of the C library's for the whole process
// (externals included) and forward to it. The flag and the per-thread count are the host's
// initial-exec thread-locals, read here without a call that could allocate.
#include <cstddef>
#include <cstdint>

#include "tildehost.h"

extern "C" {
void *__libc_malloc(std::size_t);
void *__libc_calloc(std::size_t, std::size_t);
void *__libc_realloc(void *, std::size_t);
void __libc_free(void *);

// every thread's calls together (the validator's count)
volatile std::int64_t tildekit_libc_calls_in_perform = 0;

static inline void count_call() {
    tildekit_allocations_here = tildekit_allocations_here + 1;
    __atomic_fetch_add(&tildekit_libc_calls_in_perform, 1, __ATOMIC_RELAXED);
}

void *malloc(std::size_t n) {
    if (tildekit_performing_here) count_call();
    return __libc_malloc(n);
}
void *calloc(std::size_t n, std::size_t m) {
    if (tildekit_performing_here) count_call();
    return __libc_calloc(n, m);
}
void *realloc(void *p, std::size_t n) {
    if (tildekit_performing_here) count_call();
    return __libc_realloc(p, n);
}
void free(void *p) {
    if (tildekit_performing_here && p) count_call();
    __libc_free(p);
}
}
