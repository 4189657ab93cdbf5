// Counts the C library allocations made while a perform routine runs. Linked into the validator
// programs only: these definitions take the place of the C library's for the whole process
// (externals included) and forward to it.
#include <cstddef>
#include <cstdint>

#include "tildehost.h"

extern "C" {
void *__libc_malloc(std::size_t);
void *__libc_calloc(std::size_t, std::size_t);
void *__libc_realloc(void *, std::size_t);
void __libc_free(void *);

volatile std::int64_t tildekit_libc_calls_in_perform = 0;

void *malloc(std::size_t n) {
    if (tildekit_performing) tildekit_libc_calls_in_perform = tildekit_libc_calls_in_perform + 1;
    return __libc_malloc(n);
}
void *calloc(std::size_t n, std::size_t m) {
    if (tildekit_performing) tildekit_libc_calls_in_perform = tildekit_libc_calls_in_perform + 1;
    return __libc_calloc(n, m);
}
void *realloc(void *p, std::size_t n) {
    if (tildekit_performing) tildekit_libc_calls_in_perform = tildekit_libc_calls_in_perform + 1;
    return __libc_realloc(p, n);
}
void free(void *p) {
    if (tildekit_performing && p) tildekit_libc_calls_in_perform = tildekit_libc_calls_in_perform + 1;
    __libc_free(p);
}
}
