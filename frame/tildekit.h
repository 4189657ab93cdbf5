/* The frame shared by every external: state guards, level conversion, banner rules. */
#ifndef TILDEKIT_FRAME_H
#define TILDEKIT_FRAME_H

#include <ext.h>
#include <stdint.h>
#include <string.h>
#include <math.h>

#define TILDEKIT_VERSION "0.1.0"

/* Rules of hyphens that open (and in some externals close) the credit banner. */
#define TILDEKIT_RULE_74 "--------------------------------------------------------------------------"
#define TILDEKIT_RULE_66 "------------------------------------------------------------------"

static inline uint64_t tk_bits(double x)
{
    uint64_t b;
    memcpy(&b, &x, sizeof b);
    return b;
}

/* Guard for recursive filter state stored at the end of a block: 0 when bits 62 and 61
   are equal, i.e. |x| < 2^-511 or |x| >= 2^513, infinities and NaNs included. */
static inline double flush_denormal(double x)
{
    uint64_t b = tk_bits(x);
    return (((b >> 62) ^ (b >> 61)) & 1u) ? x : 0.0;
}

/* Guard for levels, gains, coefficients and memories inside the dynamics and equaliser
   loops: 0 for a non-zero value whose exponent field is 0 or 1 (denormals, |x| < 2^-1021)
   or 0x7FE / 0x7FF (|x| >= 2^1023, infinities, NaNs). Reads the upper 32 bits only. */
static inline double flush_abnormal(double x)
{
    uint32_t hi = (uint32_t)(tk_bits(x) >> 32);
    uint32_t e = hi & 0x7FE00000u;
    if (e == 0x7FE00000u || (e == 0 && x != 0.0))
        return 0.0;
    return x;
}

/* 10^(dB/20) as exp(dB * ln 10 / 20), with ln 10 taken once per block by the caller. */
static inline double db_to_linear(double db, double ln10)
{
    return exp(db * ln10 / 20.0);
}

/* Decibel level of a sample: exactly -160 for silence, so log10(0) is never taken. */
static inline double level_db(double x)
{
    return x != 0.0 ? 20.0 * log10(fabs(x)) : -160.0;
}

/* Peak magnitudes of a filter's input and output over the current window of samples and the
   one before it: what a change of setting measures the memory's release against. */
typedef struct _tk_peaks {
    double in, out;               /* this window */
    double in_before, out_before; /* the window before */
    double count;                 /* samples into this window */
} t_tk_peaks;

static inline void tk_track_peak(double &peak, double v)
{
    double a = fabs(v);
    if (a > peak) /* a NaN leaves the peak as it was */
        peak = a;
}

/* Stores the block's peaks and closes the window once it holds `window` samples. */
static inline void tk_peaks_advance(t_tk_peaks *p, double in, double out, long n, double window)
{
    p->in = in;
    p->out = out;
    p->count += (double)n;
    if (p->count >= window) {
        p->in_before = p->in;
        p->out_before = p->out;
        p->in = 0.0;
        p->out = 0.0;
        p->count = 0.0;
    }
}

static inline void tk_peaks_clear(t_tk_peaks *p)
{
    p->in = p->out = p->in_before = p->out_before = 0.0;
    p->count = 0.0;
}

/* A parameter clamped to [lo, hi], posting the fixed line of the limit applied. A value equal
   to a limit is taken silently; NaN counts as below the minimum. */
static inline double clamp_posted(double v, double lo, double hi, const char *above, const char *below)
{
    if (!(v >= lo)) {
        object_post(NULL, "%s", below);
        return lo;
    }
    if (v > hi) {
        object_post(NULL, "%s", above);
        return hi;
    }
    return v;
}

/* Fields that a message writes while the perform routine may be reading them on the audio
   thread, and values the audio thread hands to a clock: each load and store is whole, with no
   order of its own (a relaxed atomic access). Where the compiler's atomic forms of a double would
   cost more than a move (gcc sends them through an integer register on x86) a volatile access
   stands in: on x86 an aligned load or store of up to 8 bytes is one move, never torn, and a
   volatile one is never split, merged or left out. (The 32-bit x86 builds keep doubles 4-byte
   aligned in records; their moves are whole all the same there.) ThreadSanitizer sees only the
   atomic forms, so its builds take them. */
#if (defined(__i386__) || defined(__x86_64__)) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define TK_PLAIN_MOVES 1
#endif

static inline double tk_load(const double *p)
{
#ifdef TK_PLAIN_MOVES
    return *(const volatile double *)p;
#else
    double v;
    __atomic_load(p, &v, __ATOMIC_RELAXED);
    return v;
#endif
}

static inline void tk_store(double *p, double v)
{
#ifdef TK_PLAIN_MOVES
    *(volatile double *)p = v;
#else
    __atomic_store(p, &v, __ATOMIC_RELAXED);
#endif
}

/* Counts of requests (`clear`, `reset`, a new setting) that a message routine counts up and the
   perform routine compares with the count it last acted on. tk_count_up is a whole load and
   store with no order of its own; tk_count_up_release also keeps every store before it (the
   value the count announces) ahead of the new count, and tk_load_acquire_u32, the perform
   routine's load of such a count, keeps every load after it (the value) behind it. Only
   messages write a count, so where gcc builds for x86 they read it plainly, as
   tk_request_begin does; the atomic forms read it with a relaxed load, as messages may come
   from two threads. Two count-ups at once may count once for both: the request is seen all
   the same. */
static inline void tk_count_up(uint32_t *count)
{
#ifdef TK_PLAIN_MOVES
    *(volatile uint32_t *)count = *count + 1;
#else
    __atomic_store_n(count, __atomic_load_n(count, __ATOMIC_RELAXED) + 1, __ATOMIC_RELAXED);
#endif
}

static inline void tk_count_up_release(uint32_t *count)
{
#ifdef TK_PLAIN_MOVES
    *(volatile uint32_t *)count = *count + 1;
#else
    __atomic_store_n(count, __atomic_load_n(count, __ATOMIC_RELAXED) + 1, __ATOMIC_RELEASE);
#endif
}

static inline uint32_t tk_load_acquire_u32(const uint32_t *p)
{
#ifdef TK_PLAIN_MOVES
    return *(const volatile uint32_t *)p;
#else
    return __atomic_load_n(p, __ATOMIC_ACQUIRE);
#endif
}

/* The perform routine's relaxed load of such a count, and of an on/off switch a message sets.
   Where gcc builds for x86 a volatile load: gcc's atomic load is one move too, but it holds
   back the scheduling of the code around it. */
static inline uint32_t tk_load_count(const uint32_t *count)
{
#ifdef TK_PLAIN_MOVES
    return *(const volatile uint32_t *)count;
#else
    return __atomic_load_n(count, __ATOMIC_RELAXED);
#endif
}

static inline int32_t tk_load_flag(const int32_t *flag)
{
#ifdef TK_PLAIN_MOVES
    return *(const volatile int32_t *)flag;
#else
    return __atomic_load_n(flag, __ATOMIC_RELAXED);
#endif
}

static inline int32_t tk_load_i32(const int32_t *p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }
static inline void tk_store_i32(int32_t *p, int32_t v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }
static inline char tk_load_char(const char *p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }
static inline void tk_store_char(char *p, char v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }
static inline uint32_t tk_load_u32(const uint32_t *p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }
static inline void tk_store_u32(uint32_t *p, uint32_t v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }

/* Values a message hands to the perform routine, taken whole at the start of a block, so that
   one arriving from another thread while a block runs is neither lost (overwritten when the
   block stores its state) nor half-applied. The message counts `requests` up before it writes
   the values and again after (odd while it writes); the perform routine takes them only when
   the count is even, new, and unchanged while it read them, else at a later block.
   The order of these accesses is the hardware's business too (arm64 keeps no order of plain
   loads and stores): the message writes each value with tk_request_value, a release store,
   which the odd count cannot pass, and the even count with a release store after the values;
   the perform routine reads the count with an acquire load before the values, and again after
   an acquire fence that the values cannot pass. Only messages write the count; the atomic
   forms still read it with a relaxed load, as messages may come from two threads. On x86 all
   of these are plain moves: the processor keeps stores in order
   and loads in order, and where gcc builds (TK_PLAIN_MOVES) the message's side is volatile
   throughout, which the compiler keeps in order too (gcc's atomic store of the count would
   only add a second read of it). */
#ifdef TK_PLAIN_MOVES
static inline void tk_request_begin(uint32_t *requests) { *(volatile uint32_t *)requests = *requests + 1; }
static inline void tk_request_end(uint32_t *requests) { *(volatile uint32_t *)requests = *requests + 1; }
#else
static inline void tk_request_begin(uint32_t *requests) { __atomic_store_n(requests, __atomic_load_n(requests, __ATOMIC_RELAXED) + 1, __ATOMIC_RELAXED); }
static inline void tk_request_end(uint32_t *requests) { __atomic_store_n(requests, __atomic_load_n(requests, __ATOMIC_RELAXED) + 1, __ATOMIC_RELEASE); }
#endif

static inline void tk_request_value(double *p, double v)
{
#ifdef TK_PLAIN_MOVES
    *(volatile double *)p = v;
#else
    __atomic_store(p, &v, __ATOMIC_RELEASE);
#endif
}

/* Copies the k values (at most 8) of the last complete request to `to` and returns 1, or
   returns 0 when there is none new or one is being written. */
static inline int tk_request_take(const uint32_t *requests, uint32_t *done, const double *from, double *to, int k)
{
#ifdef TK_PLAIN_MOVES
    const uint32_t requested = *(const volatile uint32_t *)requests;
#else
    const uint32_t requested = __atomic_load_n(requests, __ATOMIC_ACQUIRE);
#endif
    if (requested == *done || (requested & 1))
        return 0;
    double v[8];
    for (int i = 0; i < k; i++)
        v[i] = tk_load(from + i);
#ifdef TK_PLAIN_MOVES
    if (*(const volatile uint32_t *)requests != requested)
        return 0;
#else
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    if (__atomic_load_n(requests, __ATOMIC_RELAXED) != requested)
        return 0;
#endif
    for (int i = 0; i < k; i++)
        to[i] = v[i];
    *done = requested;
    return 1;
}

#ifdef WIN_VERSION
/* Every Windows external brings its own DLL start-up routine. Without one, the linker takes the
   DllMain that the host's audio import library also exports, and the loader would then call the
   host's start-up routine with the external's own module handle. */
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved)
{
    (void)module;
    (void)reason;
    (void)reserved;
    return TRUE;
}
#endif

#endif
