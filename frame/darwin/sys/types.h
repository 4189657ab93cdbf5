/* Darwin declarations: the BSD unsigned integer names the host SDK's atomics use. */
#ifndef TILDEKIT_DARWIN_SYS_TYPES_H
#define TILDEKIT_DARWIN_SYS_TYPES_H

#include <stdint.h>

typedef uint32_t u_int32_t;
typedef uint64_t u_int64_t;

#endif
