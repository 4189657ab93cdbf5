/* Darwin declarations for the macOS build (no Apple SDK on the build machines): what the host
   SDK's headers take from MacTypes.h when MAC_VERSION is defined. They read nothing from it but
   the byte order, and read that with #if: left undefined it counts as 0 and the SDK takes the
   machine for big-endian without a word (its byte-order and four-char-code macros then swap). */
#ifndef __MACTYPES__
#define __MACTYPES__

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define TARGET_RT_LITTLE_ENDIAN 1
#define TARGET_RT_BIG_ENDIAN 0
#else
#error "MacTypes.h: only little-endian targets (x86_64, arm64) are provided"
#endif

#endif
