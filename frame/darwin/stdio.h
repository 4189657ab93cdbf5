/* Darwin declarations: the formatting the externals and the SDK's examples use. On Darwin the
   standard streams are the libSystem variables __stdinp, __stdoutp and __stderrp (never glibc's
   stdout/stderr): declare them under those names if an external ever writes to one. */
#ifndef TILDEKIT_DARWIN_STDIO_H
#define TILDEKIT_DARWIN_STDIO_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

int sprintf(char *__restrict s, const char *__restrict format, ...) __attribute__((__format__(__printf__, 2, 3)));

#ifdef __cplusplus
}
#endif

#endif
