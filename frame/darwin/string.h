/* Darwin declarations: what the externals and the SDK's examples take from string.h. */
#ifndef TILDEKIT_DARWIN_STRING_H
#define TILDEKIT_DARWIN_STRING_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

void *memcpy(void *__restrict dst, const void *__restrict src, size_t n);
void *memmove(void *dst, const void *src, size_t n);
void *memset(void *b, int c, size_t n);
int memcmp(const void *a, const void *b, size_t n);
int strcmp(const char *a, const char *b);
char *strcpy(char *__restrict dst, const char *__restrict src);

#ifdef __cplusplus
}
#endif

#endif
