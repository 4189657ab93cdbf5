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

#ifdef __cplusplus
}
#endif

#endif
