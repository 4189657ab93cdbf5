/* Vector lanes of doubles for externals that run independent work side by side, and the run-time
   choice of how many: SSE2 (2 lanes) on every x86 the host runs on, AVX2 (4 lanes) or AVX-512
   (8 lanes) where the CPU and the operating system support them. The choice reads the CPU's
   feature bits with cpuid and the enabled register state with xgetbv, so it needs no loader
   support (no ifunc) and no library: the same code works in the Linux and the Windows builds.
   Routines for 4 lanes are compiled with TK_SIMD_AVX2, for 8 with TK_SIMD_AVX512, and called
   only when tk_simd_lanes() said so.

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
#define TK_SIMD_AVX512 __attribute__((target("avx512f")))
#else
#define TK_SIMD_X86 0
#define TK_SIMD_AVX2
#define TK_SIMD_AVX512
#endif

/* Two and four doubles, and the lane masks that comparisons of them give (all bits set or
   clear). Aligned to a double only and allowed to alias, so that a pointer to one reads or
   writes W consecutive doubles (or 64-bit masks) of any array. */
typedef double tk_v2d __attribute__((vector_size(16), aligned(8), may_alias));
typedef long long tk_v2m __attribute__((vector_size(16), aligned(8), may_alias));
typedef double tk_v4d __attribute__((vector_size(32), aligned(8), may_alias));
typedef long long tk_v4m __attribute__((vector_size(32), aligned(8), may_alias));
typedef double tk_v8d __attribute__((vector_size(64), aligned(8), may_alias));
typedef long long tk_v8m __attribute__((vector_size(64), aligned(8), may_alias));

/* The widest vector unit the CPU has and the operating system saves the registers of, as lanes
   of doubles: 8 (AVX-512F), 4 (AVX2) or 2 (SSE2). */
static inline int tk_simd_cpu_lanes(void)
{
#if TK_SIMD_X86
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return 2;
    const unsigned osxsave = 1u << 27, avx = 1u << 28;
    if ((c & (osxsave | avx)) != (osxsave | avx) || __get_cpuid_max(0, NULL) < 7)
        return 2;
    unsigned xcr0, xcr0_hi;
    __asm__ __volatile__("xgetbv" : "=a"(xcr0), "=d"(xcr0_hi) : "c"(0));
    if ((xcr0 & 0x6u) != 0x6u) /* XMM and YMM state */
        return 2;
    __cpuid_count(7, 0, a, b, c, d);
    if ((b >> 16) & 1u && (xcr0 & 0xE0u) == 0xE0u) /* AVX-512F, and opmask and ZMM state */
        return 8;
    return (b >> 5) & 1u ? 4 : 2;
#else
    return 2;
#endif
}

/* Lanes of doubles to use: the widest the CPU has. The environment variable TILDEKIT_SIMD
   ("scalar", "sse2", "avx2" or "avx512") asks for a narrower path, for comparing the paths
   with each other; it never gets a wider one than the CPU has. */
static inline int tk_simd_lanes(void)
{
    int lanes = tk_simd_cpu_lanes();
    const char *asked = getenv("TILDEKIT_SIMD");
    if (asked) {
        int want = 8;
        if (strcmp(asked, "scalar") == 0)
            want = 1;
        else if (strcmp(asked, "sse2") == 0)
            want = 2;
        else if (strcmp(asked, "avx2") == 0)
            want = 4;
        if (want < lanes)
            lanes = want;
    }
    return lanes;
}

#endif
