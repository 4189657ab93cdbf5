/* Darwin declarations: the atomic operations the host SDK's ATOMIC_* macros expand to. Declared
   only: no external calls them (an external that did would import them from libSystem, and the
   build's libSystem stub would refuse the link until they are added to it). */
#ifndef TILDEKIT_DARWIN_OSATOMIC_H
#define TILDEKIT_DARWIN_OSATOMIC_H

#include <stdint.h>
#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

int32_t OSAtomicIncrement32(volatile int32_t *value);
int32_t OSAtomicIncrement32Barrier(volatile int32_t *value);
int32_t OSAtomicDecrement32(volatile int32_t *value);
int32_t OSAtomicDecrement32Barrier(volatile int32_t *value);
bool OSAtomicCompareAndSwap32Barrier(int32_t old_value, int32_t new_value, volatile int32_t *value);
bool OSAtomicCompareAndSwap64Barrier(int64_t old_value, int64_t new_value, volatile int64_t *value);

#ifdef __cplusplus
}
#endif

#endif
