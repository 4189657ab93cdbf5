/* Darwin declarations: what the externals and the SDK's examples take from stdlib.h. */
#ifndef TILDEKIT_DARWIN_STDLIB_H
#define TILDEKIT_DARWIN_STDLIB_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

int abs(int j) __attribute__((__const__));
char *getenv(const char *name);
long random(void);
/* the compiler's SSE headers define inline aligned-allocation helpers that call these */
void *malloc(size_t size);
void free(void *ptr);

#ifdef __cplusplus
}
#endif

#endif
