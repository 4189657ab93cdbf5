/* Vector lanes of doubles for externals that run independent work side by side, and the run-time
   choice of how many: SSE2 (2 lanes) on every x86 the host runs on, AVX2 (4 lanes) where the CPU
   and the operating system support it. The choice reads the CPU's feature bits with cpuid, so it
   needs no loader support (no ifunc) and no library: the same code works in the Linux and the
   Windows builds. Routines for 4 lanes are compiled with TK_SIMD_AVX2 and called only when
   tk_simd_lanes() said 4.

   Arithmetic on these vector types is per lane exactly the scalar arithmetic: the same IEEE
   operation in each lane, no fused multiply-add (the project compiles with -ffp-contract=off),
   so a routine that does per lane what the scalar code does gives the same bits. */
#ifndef TILDEKIT_SIMD_H
#define TILDEKIT_SIMD_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#include <cpuid.h>
#define TK_SIMD_X86 1
#define TK_SIMD_AVX2 __attribute__((target("avx2")))
#else
#define TK_SIMD_X86 0
#define TK_SIMD_AVX2
#endif

/* Two and four doubles, and the lane masks that comparisons of them give (all bits set or
   clear). Aligned to a double only and allowed to alias, so that a pointer to one reads or
   writes W consecutive doubles (or 64-bit masks) of any array. */
typedef double tk_v2d __attribute__((vector_size(16), aligned(8), may_alias));
typedef long long tk_v2m __attribute__((vector_size(16), aligned(8), may_alias));
typedef double tk_v4d __attribute__((vector_size(32), aligned(8), may_alias));
typedef long long tk_v4m __attribute__((vector_size(32), aligned(8), may_alias));

/* Non-zero when the CPU has AVX2 and the operating system saves the 256-bit registers. */
static inline int tk_simd_cpu_has_avx2(void)
{
#if TK_SIMD_X86
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return 0;
    const unsigned osxsave = 1u << 27, avx = 1u << 28;
    if ((c & (osxsave | avx)) != (osxsave | avx))
        return 0;
    unsigned xcr0_lo, xcr0_hi;
    __asm__ __volatile__("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
    if ((xcr0_lo & 6u) != 6u) /* XMM and YMM state enabled */
        return 0;
    if (__get_cpuid_max(0, NULL) < 7)
        return 0;
    __cpuid_count(7, 0, a, b, c, d);
    return (b >> 5) & 1u;
#else
    return 0;
#endif
}

/* Lanes of doubles to use: 4 with AVX2, else 2. The environment variable TILDEKIT_SIMD
   ("scalar", "sse2" or "avx2") asks for a narrower path, for comparing the paths with each
   other; it never gets a wider one than the CPU has. */
static inline int tk_simd_lanes(void)
{
    int best = tk_simd_cpu_has_avx2() ? 4 : 2;
    const char *asked = getenv("TILDEKIT_SIMD");
    if (asked) {
        if (strcmp(asked, "scalar") == 0)
            return 1;
        if (strcmp(asked, "sse2") == 0)
            return 2;
    }
    return best;
}

#endif
