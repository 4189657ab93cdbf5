/* thirdbands~: 29-band third-octave graphic equaliser for one channel, 31.5 Hz to 20 kHz, then a
   master gain. Each band is a chain of fourth-order sections; a band at 0 dB costs nothing.
   Inlet 0: the signal, and every message (setgains, master, Bypass, reset).
   Outlet 0: the equalised signal. */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>
#include "tildekit.h"
#include "tk_simd.h"

#define THIRDBANDS_BANDS 29
/* per band, sections are numbered 1 .. 20; entry 0 of each row is unused */
#define THIRDBANDS_ROW 21
/* most sections a chain can hold: 20 per band */
#define THIRDBANDS_MAX_SECTIONS (THIRDBANDS_BANDS * (THIRDBANDS_ROW - 1))

/* One section of the block's chain of running sections: the constants it multiplies by, grouped
   as the section's arithmetic groups them, and its state, copied from the tables for the block. */
typedef struct _thirdbands_section {
    double c, v;
    double kkv;        /* (k + 2) k v */
    double u2;         /* 2 u_j */
    double ku2;        /* 2 k u_j */
    double t;          /* t_j */
    double s1, s2, s3, s4;
    long at;           /* where its state lives in the tables: entry [b][j] */
    int32_t flush_in;  /* first section of its band: the input goes through flush_abnormal */
} t_thirdbands_section;

typedef struct _thirdbands {
    t_pxobject x_obj;
    double sample_rate;                           /* Hz, from the host */
    double band_gains_db[THIRDBANDS_BANDS];       /* requested, -12 .. 12 dB */
    double designed_gains_db[THIRDBANDS_BANDS];   /* the gain the band's constants were designed for */
    double master_db;                             /* output gain, -30 .. 30 dB */
    double band_low_edges[THIRDBANDS_BANDS];      /* Hz */
    double band_high_edges[THIRDBANDS_BANDS];     /* Hz */
    double v[THIRDBANDS_BANDS];                   /* tan of half the bandwidth over G^(1/2N) */
    double k[THIRDBANDS_BANDS];                   /* G^(1/N) - 1 */
    double c[THIRDBANDS_BANDS];                   /* cos of the band centre, radians per sample */
    double *u;                                    /* 29 x 21 section constants u_j */
    double *t;                                    /* 29 x 21 section constants t_j */
    int32_t N[THIRDBANDS_BANDS];                  /* band order, twice its sections; 0 = disabled */
    double *s1, *s2, *s3, *s4;                    /* 29 x 21 section states */
    int32_t bypass;                               /* non-zero: the input is copied untouched */
    uint32_t reset_requests;                      /* counted up by reset; written by the message side only */
    uint32_t resets_done;                         /* the count the perform routine last cleared the states for */
    int32_t rate_changed;                         /* set by dsp64: redesign every band at the next block */
    t_thirdbands_section *chain;                  /* the running sections of the block, in signal order */
    double *lane_data;                            /* the chain laid out across vector lanes (in chain's block) */
    int32_t lanes_current;                        /* lane_data holds the constants of the bands in lanes_bands */
    uint32_t lanes_bands;                         /* bit b: band b had a gain when lane_data was laid out */
    long lanes_sections;                          /* the number of sections laid out in lane_data */
    int32_t lanes_hold_states;                    /* lane_data's states are newer than the tables' */
    int32_t lanes;                                /* vector lanes: 8 (AVX-512), 4 (AVX2), 2 (SSE2), 1 (none) */
} t_thirdbands;

static t_class *thirdbands_class;

/* Band edges in Hz and the number of fourth-order sections of each band. */
static const double band_low_edge_table[THIRDBANDS_BANDS] = {
    28.2, 35.5, 44.7, 56.2, 70.8, 89.1, 112, 141, 178, 224, 282, 355, 447, 562, 708,
    891, 1120, 1410, 1780, 2240, 2820, 3550, 4470, 5620, 7080, 8910, 11200, 14100, 17800,
};
static const double band_high_edge_table[THIRDBANDS_BANDS] = {
    35.5, 44.7, 56.2, 70.8, 89.1, 112, 141, 178, 224, 282, 355, 447, 562, 708, 891,
    1120, 1410, 1780, 2240, 2820, 3550, 4470, 5620, 7080, 8910, 11200, 14100, 17800, 22400,
};
static const int32_t band_sections[THIRDBANDS_BANDS] = {
    8, 8, 8, 8, 8, 8, 9, 9, 9, 9, 9, 9, 9, 9, 9,
    9, 9, 9, 9, 9, 9, 9, 9, 10, 11, 12, 15, 20, 20,
};

#define THIRDBANDS_PI 3.141592653589793
/* a band whose upper edge lies above this many radians per sample is switched off */
#define THIRDBANDS_MAX_W 2.9845130209103035

/* ---- DSP core ---- */

/* 10^(dB/20), computed as exp(dB/20 * ln 10) with ln 10 taken once by the caller. */
static inline double thirdbands_db_to_linear(double db, double ln10) { return exp(db / 20.0 * ln10); }

/* Designs one band for gain g dB at rate fs; u and t are the band's rows. Returns its order N
   (0 when the band reaches too close to Nyquist and is switched off). */
static inline int32_t design_band(double low_hz, double high_hz, int32_t sections, double fs, double g, double ln10,
                                  double *v, double *k, double *c, double *u, double *t)
{
    double w_lo = 2.0 * THIRDBANDS_PI * low_hz / fs;
    double w_hi = 2.0 * THIRDBANDS_PI * high_hz / fs;
    if (!(w_hi <= THIRDBANDS_MAX_W)) /* a NaN rate switches the band off too */
        return 0;
    double G = thirdbands_db_to_linear(g, ln10);
    int32_t N = 2 * sections;
    *v = tan((w_hi - w_lo) / 2.0) / pow(G, 1.0 / (2.0 * N));
    *k = pow(G, 1.0 / N) - 1.0;
    *c = cos(2.0 * atan(sqrt(tan(w_lo / 2.0) * tan(w_hi / 2.0))));
    for (int32_t j = 1; j <= N / 2; j++) {
        u[j] = cos((0.5 - (2.0 * j - 1.0) / (2.0 * N)) * THIRDBANDS_PI);
        t[j] = 1.0 / (2.0 * *v * u[j] + 1.0 + *v * *v);
    }
    return N;
}

/* Runs one sample through one section of the chain; the arithmetic of a band's section, with the
   band's input flushed at its first section. */
static inline double section_filter(t_thirdbands_section *p, double x)
{
    if (p->flush_in)
        x = flush_abnormal(x);
    const double c = p->c, v = p->v;
    double s1 = p->s1, s2 = p->s2, s3 = p->s3, s4 = p->s4;
    double w = c * s2 + s1;
    double h = (c * s4 + s3) * c - s4;
    double A = 2.0 * (c * w - s2);
    double B = v * (v * (A + h) - p->u2 * h) + (h - A);
    double Y = (v * x - B) * p->t;
    double y = x - p->ku2 * (h - Y) + p->kkv * (A + h + Y);
    p->s4 = c * s4 + s3;
    p->s3 = c * w - s2;
    p->s2 = w;
    p->s1 = Y;
    return y;
}

/* Three consecutive samples through the chain of S sections at once. A sample's path through the
   sections is one long dependent chain, and a section needs the state the previous sample left
   in it; so the samples are staggered two sections apart: at step i the first is at section i,
   the second at i - 2, the third at i - 4. Every section still sees the three samples in order
   with exactly their single-sample arithmetic, while the three chains run side by side. */
#define THIRDBANDS_LANES 3
#define THIRDBANDS_STAGGER 2
/* A later sample reads the states an earlier one wrote a few steps before. Left alone, the
   compiler carries those states from step to step in a rotation of spilled registers, which costs
   more than reading them back from the section; this keeps them in the sections between steps. */
#if defined(__GNUC__)
#define THIRDBANDS_STATES_IN_MEMORY() __asm__ __volatile__("" ::: "memory")
#else
#define THIRDBANDS_STATES_IN_MEMORY()
#endif
static inline void chain_filter3(t_thirdbands_section *ch, long S, double *x0, double *x1, double *x2)
{
    const long lag = THIRDBANDS_STAGGER * (THIRDBANDS_LANES - 1);
    double a = *x0, b = *x1, c = *x2;
    long i = 0;
    for (; i < lag && i < S + lag; i++) { /* filling: the later samples have not started yet */
        if (i < S)
            a = section_filter(ch + i, a);
        if (i >= THIRDBANDS_STAGGER && i - THIRDBANDS_STAGGER < S)
            b = section_filter(ch + i - THIRDBANDS_STAGGER, b);
    }
    for (; i < S; i++) {
        a = section_filter(ch + i, a);
        b = section_filter(ch + i - THIRDBANDS_STAGGER, b);
        c = section_filter(ch + i - lag, c);
        THIRDBANDS_STATES_IN_MEMORY();
    }
    for (; i < S + lag; i++) { /* draining: the earlier samples have left the chain */
        if (i - THIRDBANDS_STAGGER < S)
            b = section_filter(ch + i - THIRDBANDS_STAGGER, b);
        c = section_filter(ch + i - lag, c);
    }
    *x0 = a;
    *x1 = b;
    *x2 = c;
}

/* ---- the chain across vector lanes ----

   The chain of S running sections is cut into W segments of K or K - 1 consecutive sections,
   one per lane (W = 2 with SSE2, 4 with AVX2, 8 with AVX-512). Lane L runs its segment on the
   samples that lane L - 1 finished one tick earlier: a pipeline of W stages, in which every
   lane does, per sample and section, exactly the arithmetic of section_filter. A tick takes a group of
   THIRDBANDS_GROUP consecutive samples through every lane's segment, the samples staggered
   two sections apart as in chain_filter3; each section's constants and states sit side by
   side for the W lanes, so one step of a sample is one vector load per value. In the first
   and last W - 1 ticks of a block some lanes have no sample to work on: their states are
   kept as they were. A segment one section short ends with a padding section that passes
   its input through. */
#define THIRDBANDS_GROUP 4
/* blocks shorter than this go through the lanes in groups of 2 */
#define THIRDBANDS_SHORT_BLOCK 256
/* values per lane in a step's record: c, v, kkv, u2, ku2, t, s1, s2, s3, s4 */
#define THIRDBANDS_FIELDS 10
/* step flags: some lane flushes its input here (a band begins); some lane pads */
#define THIRDBANDS_STEP_FLUSH 1
#define THIRDBANDS_STEP_PAD 2

/* Where lane L's segment begins in the chain and how long it is, for S sections over W lanes
   in segments of K = ceil(S / W): the first S - W (K - 1) lanes have K sections. */
static inline void lane_segment(long S, int W, int L, long *start, long *len)
{
    const long K = (S + W - 1) / W, full = S - (long)W * (K - 1);
    *start = (long)L * (K - 1) + (L < full ? L : full);
    *len = L < full ? K : K - 1;
}

/* Bytes of the lane layout for up to THIRDBANDS_MAX_SECTIONS sections over W lanes (the step
   records, two masks per lane and step, a flag per step, a table entry per lane and step), with
   room to align it to 64. */
static inline size_t lanes_bytes(int W)
{
    const long K = (THIRDBANDS_MAX_SECTIONS + W - 1) / W;
    return (size_t)K * W * (THIRDBANDS_FIELDS + 2) * sizeof(double) + (size_t)K * (W + 1) * sizeof(int32_t) + 64;
}

/* Where the layout keeps, per step and lane, the entry of the section's states in the tables
   (-1 for padding). */
static inline int32_t *lanes_at(double *base, long S, int W)
{
    const long K = (S + W - 1) / W;
    return (int32_t *)(base + K * (THIRDBANDS_FIELDS + 2) * W) + K;
}

/* Copies the chain's constants and states into the lane layout at `base`: K records of
   THIRDBANDS_FIELDS x W doubles, then per step and lane the flush masks and the padding masks
   (all bits set where the lane flushes, or pads, at that step), then the step flags and the
   sections' table entries. */
static void lanes_pack(const t_thirdbands_section *ch, long S, int W, double *base)
{
    const long K = (S + W - 1) / W;
    int64_t *fm = (int64_t *)(base + K * THIRDBANDS_FIELDS * W), *pm = fm + K * W;
    int32_t *flags = (int32_t *)(pm + K * W), *at = lanes_at(base, S, W);
    for (long k = 0; k < K; k++)
        flags[k] = 0;
    for (int L = 0; L < W; L++) {
        long start, len;
        lane_segment(S, W, L, &start, &len);
        for (long k = 0; k < K; k++) {
            double *r = base + k * THIRDBANDS_FIELDS * W + L;
            if (k < len) {
                const t_thirdbands_section *p = ch + start + k;
                const double f[THIRDBANDS_FIELDS] = { p->c,  p->v,  p->kkv, p->u2, p->ku2,
                                                      p->t,  p->s1, p->s2,  p->s3, p->s4 };
                for (int i = 0; i < THIRDBANDS_FIELDS; i++)
                    r[i * W] = f[i];
                fm[k * W + L] = p->flush_in ? -1 : 0;
                pm[k * W + L] = 0;
                at[k * W + L] = (int32_t)p->at;
                if (p->flush_in)
                    flags[k] |= THIRDBANDS_STEP_FLUSH;
            } else {
                for (int i = 0; i < THIRDBANDS_FIELDS; i++)
                    r[i * W] = 0.0;
                fm[k * W + L] = 0;
                pm[k * W + L] = -1;
                at[k * W + L] = -1;
                flags[k] |= THIRDBANDS_STEP_PAD;
            }
        }
    }
}

/* Copies the states from the tables into the lane layout (whose constants are current), and
   back. */
static void lanes_load_states(double *base, long S, int W, const double *s1, const double *s2, const double *s3,
                              const double *s4)
{
    const long K = (S + W - 1) / W;
    const int32_t *at = lanes_at(base, S, W);
    for (long k = 0; k < K; k++) {
        double *r = base + k * THIRDBANDS_FIELDS * W;
        for (int L = 0; L < W; L++) {
            const int32_t e = at[k * W + L];
            if (e < 0)
                continue;
            r[6 * W + L] = s1[e];
            r[7 * W + L] = s2[e];
            r[8 * W + L] = s3[e];
            r[9 * W + L] = s4[e];
        }
    }
}

static void lanes_store_states(double *base, long S, int W, double *s1, double *s2, double *s3, double *s4)
{
    const long K = (S + W - 1) / W;
    const int32_t *at = lanes_at(base, S, W);
    for (long k = 0; k < K; k++) {
        const double *r = base + k * THIRDBANDS_FIELDS * W;
        for (int L = 0; L < W; L++) {
            const int32_t e = at[k * W + L];
            if (e < 0)
                continue;
            s1[e] = r[6 * W + L];
            s2[e] = r[7 * W + L];
            s3[e] = r[8 * W + L];
            s4[e] = r[9 * W + L];
        }
    }
}

/* Copies the states back from the lane layout into the chain. */
static void lanes_unpack(t_thirdbands_section *ch, long S, int W, const double *base)
{
    for (int L = 0; L < W; L++) {
        long start, len;
        lane_segment(S, W, L, &start, &len);
        for (long k = 0; k < len; k++) {
            const double *r = base + k * THIRDBANDS_FIELDS * W + L;
            t_thirdbands_section *p = ch + start + k;
            p->s1 = r[6 * W];
            p->s2 = r[7 * W];
            p->s3 = r[8 * W];
            p->s4 = r[9 * W];
        }
    }
}

/* One step of sample vector X at step k of the segments, when k is one of them. */
#define THIRDBANDS_LANE_STEP_IF(SUFFIX, X, k_)                                                                 \
    do {                                                                                                       \
        const long k = (k_);                                                                                   \
        if (k >= 0 && k < K)                                                                                   \
            X = lane_step_##SUFFIX(base + k * rec, fm + k * rec_lanes, pm + k * rec_lanes, flags[k], X, keep, masked); \
    } while (0)

/* The lane routines for one vector type VT of W doubles (MT: its lane masks), compiled with
   the attribute ATTR: one step of a sample vector through a step record (section_filter in
   every lane, a lane's states left alone where `keep` is clear when `masked`), one tick of a
   group, and the block's pipeline. */
#define THIRDBANDS_LANE_ROUTINES(SUFFIX, W, VT, MT, ATTR)                                                      \
    ATTR static inline __attribute__((always_inline)) VT lane_step_##SUFFIX(                                   \
        double *r, const int64_t *fm, const int64_t *pm, int32_t flags, VT x, MT keep, int masked)             \
    {                                                                                                          \
        VT c, v, kkv, u2, ku2, t, s1, s2, s3, s4;                                                              \
        c = *(const VT *)(r + 0 * W);                                                                          \
        v = *(const VT *)(r + 1 * W);                                                                          \
        kkv = *(const VT *)(r + 2 * W);                                                                        \
        u2 = *(const VT *)(r + 3 * W);                                                                         \
        ku2 = *(const VT *)(r + 4 * W);                                                                        \
        t = *(const VT *)(r + 5 * W);                                                                          \
        s1 = *(const VT *)(r + 6 * W);                                                                         \
        s2 = *(const VT *)(r + 7 * W);                                                                         \
        s3 = *(const VT *)(r + 8 * W);                                                                         \
        s4 = *(const VT *)(r + 9 * W);                                                                         \
        if (flags & THIRDBANDS_STEP_FLUSH) {                                                                   \
            /* flush_abnormal where a band begins: x stays when it is 0 or 2^-1021 <= |x| < 2^1023 */          \
            /* (NaN fails every comparison); otherwise it becomes +0 */                                        \
            const MT flush = *(const MT *)fm;                                                                  \
            const VT zero = (VT){} + 0.0, lo = (VT){} + 0x1p-1021, hi = (VT){} + 0x1p1023;                     \
            const VT ax = (VT)((MT)x & ((MT){} + 0x7FFFFFFFFFFFFFFFLL));                                       \
            const MT stays = ((MT)(ax >= lo) & (MT)(ax < hi)) | (MT)(x == zero) | ~flush;                      \
            x = (VT)((MT)x & stays);                                                                           \
        }                                                                                                      \
        const VT w = c * s2 + s1;                                                                              \
        const VT h = (c * s4 + s3) * c - s4;                                                                   \
        const VT A = 2.0 * (c * w - s2);                                                                       \
        const VT B = v * (v * (A + h) - u2 * h) + (h - A);                                                     \
        const VT Y = (v * x - B) * t;                                                                          \
        VT y = x - ku2 * (h - Y) + kkv * (A + h + Y);                                                          \
        VT n4 = c * s4 + s3, n3 = c * w - s2, n2 = w, n1 = Y;                                                  \
        if (flags & THIRDBANDS_STEP_PAD) {                                                                     \
            const MT pad = *(const MT *)pm;                                                                    \
            y = (VT)(((MT)x & pad) | ((MT)y & ~pad));                                                          \
        }                                                                                                      \
        if (masked) {                                                                                          \
            n1 = (VT)(((MT)n1 & keep) | ((MT)s1 & ~keep));                                                    \
            n2 = (VT)(((MT)n2 & keep) | ((MT)s2 & ~keep));                                                    \
            n3 = (VT)(((MT)n3 & keep) | ((MT)s3 & ~keep));                                                    \
            n4 = (VT)(((MT)n4 & keep) | ((MT)s4 & ~keep));                                                    \
        }                                                                                                      \
        *(VT *)(r + 6 * W) = n1;                                                                               \
        *(VT *)(r + 7 * W) = n2;                                                                               \
        *(VT *)(r + 8 * W) = n3;                                                                               \
        *(VT *)(r + 9 * W) = n4;                                                                               \
        return y;                                                                                              \
    }                                                                                                          \
                                                                                                               \
    /* band_state_guard on the states in the layout of K steps, when none of them is broken: */               \
    /* each is flushed as flush_abnormal flushes it, and 0 is returned. Where a section's state */            \
    /* overflowed (padding aside), nothing is changed and 1 is returned: its band starts again */             \
    /* from silence, which band_state_guard does on the tables. */                                            \
    ATTR static int lanes_guard_##SUFFIX(double *base, long K)                                                 \
    {                                                                                                          \
        const MT *pm = (const MT *)(base + K * THIRDBANDS_FIELDS * W) + K;                                     \
        const VT lo = (VT){} + 0x1p-1021, hi = (VT){} + 0x1p1023, zero = (VT){} + 0.0;                         \
        const MT magnitude = (MT){} + 0x7FFFFFFFFFFFFFFFLL;                                                    \
        MT broken = (MT){} + 0;                                                                                \
        for (long k = 0; k < K; k++)                                                                           \
            for (int f = 6; f < THIRDBANDS_FIELDS; f++) {                                                      \
                const VT ax = (VT)(*(const MT *)(base + (k * THIRDBANDS_FIELDS + f) * W) & magnitude);         \
                broken |= ~(MT)(ax < hi) & ~pm[k];                                                             \
            }                                                                                                  \
        long long any = 0;                                                                                     \
        for (int L = 0; L < W; L++)                                                                            \
            any |= broken[L];                                                                                  \
        if (any)                                                                                               \
            return 1;                                                                                          \
        for (long k = 0; k < K; k++)                                                                           \
            for (int f = 6; f < THIRDBANDS_FIELDS; f++) {                                                      \
                VT *s = (VT *)(base + (k * THIRDBANDS_FIELDS + f) * W);                                        \
                const VT ax = (VT)((MT)*s & magnitude);                                                        \
                *s = (VT)((MT)*s & (((MT)(ax >= lo) & (MT)(ax < hi)) | (MT)(*s == zero)));                     \
            }                                                                                                  \
        return 0;                                                                                              \
    }

/* The tick and the block's pipeline for groups of G samples: a block of a few groups wastes less
   of its first and last ticks with small groups, a long block runs faster with larger ones (more
   samples side by side in each step). */
#define THIRDBANDS_LANE_RUN_ROUTINES(SUFFIX, G, W, VT, MT, ATTR)                                               \
    /* The group's four samples through every lane's K steps, the second two steps behind the */              \
    /* first, and so on: at step i sample g is at step i - 2 g. */                                            \
    ATTR static inline __attribute__((always_inline)) void lane_tick_##SUFFIX##_##G(                                 \
        double *base, long K, VT *x, MT keep, int masked)                                                      \
    {                                                                                                          \
        const int64_t *fm = (const int64_t *)(base + K * THIRDBANDS_FIELDS * W), *pm = fm + K * W;             \
        const int32_t *flags = (const int32_t *)(pm + K * W);                                                  \
        const long rec_lanes = W, rec = THIRDBANDS_FIELDS * W;                                                 \
        const long lag = THIRDBANDS_STAGGER * (G - 1);                                          \
        VT xs[G];                                                                               \
        _Pragma("GCC unroll 8") for (int g = 0; g < G; g++) xs[g] = x[g];                       \
        long i = 0;                                                                                            \
        for (; i < lag && i < K + lag; i++) { /* filling: the later samples have not started yet */           \
            _Pragma("GCC unroll 8") for (int g = 0; g < G; g++)                                 \
                THIRDBANDS_LANE_STEP_IF(SUFFIX, xs[g], i - g * THIRDBANDS_STAGGER);                            \
        }                                                                                                      \
        for (; i < K; i++) {                                                                                   \
            _Pragma("GCC unroll 8") for (int g = 0; g < G; g++) {                               \
                const long kg = i - g * THIRDBANDS_STAGGER;                                                    \
                xs[g] = lane_step_##SUFFIX(base + kg * rec, fm + kg * W, pm + kg * W, flags[kg], xs[g], keep, masked); \
            }                                                                                                  \
            THIRDBANDS_STATES_IN_MEMORY();                                                                     \
        }                                                                                                      \
        for (; i < K + lag; i++) { /* draining: the earlier samples have left the segment */                  \
            _Pragma("GCC unroll 8") for (int g = 0; g < G; g++)                                 \
                THIRDBANDS_LANE_STEP_IF(SUFFIX, xs[g], i - g * THIRDBANDS_STAGGER);                            \
        }                                                                                                      \
        _Pragma("GCC unroll 8") for (int g = 0; g < G; g++) x[g] = xs[g];                       \
    }                                                                                                          \
                                                                                                               \
    /* The first `groups` x G samples of the block through the chain of S sections, */         \
    /* whose constants and states are packed at `base`: the chain's output to out (flushed inputs */          \
    /* from in). The states are left in the layout. */                                                         \
    ATTR static void lanes_run_##SUFFIX##_##G(double *base, long S, const double *in, double *out, long groups)     \
    {                                                                                                          \
        const long K = (S + W - 1) / W;                                                                        \
        VT x[G];                                                                                \
        for (int g = 0; g < G; g++)                                                             \
            x[g] = (VT){} + 0.0;                                                                               \
        for (long tick = 0; tick < groups + W - 1; tick++) {                                                   \
            /* each lane takes what the lane before it gave; lane 0 the next group of the input */             \
            MT keep = (MT){} + 0;                                                                              \
            for (int L = 0; L < W; L++)                                                                        \
                keep[L] = tick - L >= 0 && tick - L < groups ? -1 : 0;                                         \
            for (int g = 0; g < G; g++) {                                                       \
                for (int L = W - 1; L > 0; L--)                                                                \
                    x[g][L] = x[g][L - 1];                                                                     \
                x[g][0] = tick < groups ? flush_abnormal(in[tick * G + g]) : 0.0;               \
            }                                                                                                  \
            if (tick >= W - 1 && tick < groups)                                                                \
                lane_tick_##SUFFIX##_##G(base, K, x, keep, 0);                                                       \
            else                                                                                               \
                lane_tick_##SUFFIX##_##G(base, K, x, keep, 1);                                                       \
            if (tick >= W - 1)                                                                                 \
                for (int g = 0; g < G; g++)                                                     \
                    out[(tick - (W - 1)) * G + g] = x[g][W - 1];                                \
        }                                                                                                      \
    }

THIRDBANDS_LANE_ROUTINES(sse2, 2, tk_v2d, tk_v2m, )
THIRDBANDS_LANE_ROUTINES(avx2, 4, tk_v4d, tk_v4m, TK_SIMD_AVX2)
THIRDBANDS_LANE_ROUTINES(avx512, 8, tk_v8d, tk_v8m, TK_SIMD_AVX512)
THIRDBANDS_LANE_RUN_ROUTINES(sse2, 2, 2, tk_v2d, tk_v2m, )
THIRDBANDS_LANE_RUN_ROUTINES(avx2, 2, 4, tk_v4d, tk_v4m, TK_SIMD_AVX2)
THIRDBANDS_LANE_RUN_ROUTINES(avx512, 2, 8, tk_v8d, tk_v8m, TK_SIMD_AVX512)
THIRDBANDS_LANE_RUN_ROUTINES(sse2, 4, 2, tk_v2d, tk_v2m, )
THIRDBANDS_LANE_RUN_ROUTINES(avx2, 4, 4, tk_v4d, tk_v4m, TK_SIMD_AVX2)
THIRDBANDS_LANE_RUN_ROUTINES(avx512, 4, 8, tk_v8d, tk_v8m, TK_SIMD_AVX512)

/* End-of-block guard of one band's states. A state that overflowed (or turned NaN) would keep
   the band's output non-finite for ever, since the states are not otherwise checked: the band
   then starts again from silence. Subnormal states are cleared so a decaying band stays cheap. */
static inline void band_state_guard(int32_t N, double *s1, double *s2, double *s3, double *s4)
{
    double *rows[4] = { s1, s2, s3, s4 };
    int broken = 0;
    for (int r = 0; r < 4; r++)
        for (int32_t j = 1; j <= N / 2; j++) {
            double s = rows[r][j];
            if (!(fabs(s) < 8.98846567431158e307)) /* 2^1023, NaN included */
                broken = 1;
            rows[r][j] = flush_abnormal(s);
        }
    if (broken)
        for (int r = 0; r < 4; r++)
            for (int32_t j = 1; j <= N / 2; j++)
                rows[r][j] = 0.0;
}

/* ---- perform ---- */

static void thirdbands_design(t_thirdbands *x, int b, double g, double ln10)
{
    long row = (long)b * THIRDBANDS_ROW;
    x->N[b] = design_band(x->band_low_edges[b], x->band_high_edges[b], band_sections[b], x->sample_rate, g, ln10,
                          &x->v[b], &x->k[b], &x->c[b], x->u + row, x->t + row);
    x->designed_gains_db[b] = g;
    x->lanes_current = 0; /* new constants: the lane layout is laid out again */
}

/* Every band's section states back to silence. */
static void thirdbands_clear(t_thirdbands *x)
{
    const size_t bytes = THIRDBANDS_BANDS * THIRDBANDS_ROW * sizeof(double);
    memset(x->s1, 0, bytes);
    memset(x->s2, 0, bytes);
    memset(x->s3, 0, bytes);
    memset(x->s4, 0, bytes);
}

static void thirdbands_perform64(t_object *ob, t_object *dsp64, double **ins, long numins, double **outs,
                                 long numouts, long n, long flags, void *userparam)
{
    t_thirdbands *x = (t_thirdbands *)ob;
    const double *in = ins[0];
    double *out = outs[0];
    if (n <= 0)
        return;
    /* A reset asked for since the last block is carried out here, before the block takes the
       states: a message may arrive while a block runs, and clearing then would be undone when
       the block stores its states back. */
    const uint32_t requested = tk_load_u32(&x->reset_requests);
    if (requested != x->resets_done) {
        thirdbands_clear(x);
        x->lanes_hold_states = 0; /* the cleared tables are the states now */
        x->resets_done = requested;
    }
    if (tk_load_i32(&x->bypass)) {
        for (long i = 0; i < n; i++)
            out[i] = in[i];
        return;
    }

    /* the gains as they stand at the start of the block, for the whole block: a message from
       another thread meanwhile counts from the next block */
    double gains[THIRDBANDS_BANDS];
    for (int b = 0; b < THIRDBANDS_BANDS; b++)
        gains[b] = tk_load(&x->band_gains_db[b]);
    const double ln10 = log(10.0);
    /* a new rate moves every band, so all are designed again (the states are kept) */
    int all = x->rate_changed;
    x->rate_changed = 0;
    for (int b = 0; b < THIRDBANDS_BANDS; b++)
        if (all || gains[b] != x->designed_gains_db[b])
            thirdbands_design(x, b, gains[b], ln10);

    /* master_db only changes between blocks, so its factor is the same for every sample */
    const double master = thirdbands_db_to_linear(tk_load(&x->master_db), ln10);
    /* The bands with a gain, their number of running sections and whether the output is
       flushed: a band with a gain that is switched off still flushes its input, and when no
       section follows it the output is flushed. */
    uint32_t bands = 0;
    long S = 0;
    int pending_flush = 0;
    for (int b = 0; b < THIRDBANDS_BANDS; b++) {
        if (gains[b] == 0.0)
            continue;
        bands |= (uint32_t)1 << b;
        S += x->N[b] / 2;
        pending_flush = x->N[b] / 2 < 1;
    }
    /* Whole groups of samples run across the lanes when there are enough sections; the few
       samples left over, and everything on the one-sample path, run through the chain. */
    const int W = x->lanes;
    const int G = n < THIRDBANDS_SHORT_BLOCK ? 2 : THIRDBANDS_GROUP;
    const long groups = W > 1 && S >= W && n >= G ? n / G : 0;
    const int relayout = groups > 0 && !(x->lanes_current && x->lanes_bands == bands);
    const int chained = groups * G < n;
    /* Between blocks that run wholly across the lanes the states stay in the layout; the tables
       take them back before anything else reads them (the chain, a new layout). */
    if (x->lanes_hold_states && (relayout || chained)) {
        lanes_store_states(x->lane_data, x->lanes_sections, W, x->s1, x->s2, x->s3, x->s4);
        x->lanes_hold_states = 0;
    }

    /* The running sections of all bands with a gain, in signal order. */
    t_thirdbands_section *ch = x->chain;
    if (chained || relayout) {
        long at = 0;
        for (int b = 0; b < THIRDBANDS_BANDS; b++) {
            if (gains[b] == 0.0)
                continue;
            long row = (long)b * THIRDBANDS_ROW;
            const double c = x->c[b], v = x->v[b], k = x->k[b];
            const double kkv = (k + 2.0) * k * v;
            for (int32_t j = 1; j <= x->N[b] / 2; j++, at++) {
                t_thirdbands_section *p = ch + at;
                p->c = c;
                p->v = v;
                p->kkv = kkv;
                p->u2 = 2.0 * x->u[row + j];
                p->ku2 = 2.0 * k * x->u[row + j];
                p->t = x->t[row + j];
                p->at = row + j;
                p->s1 = x->s1[row + j];
                p->s2 = x->s2[row + j];
                p->s3 = x->s3[row + j];
                p->s4 = x->s4[row + j];
                p->flush_in = j == 1;
            }
        }
    }

    long i = 0;
    if (groups > 0) {
        /* the layout keeps its constants while no band is redesigned, switched on or off */
        if (relayout) {
            lanes_pack(ch, S, W, x->lane_data);
            x->lanes_current = 1;
            x->lanes_bands = bands;
            x->lanes_sections = S;
        } else if (!x->lanes_hold_states) {
            lanes_load_states(x->lane_data, S, W, x->s1, x->s2, x->s3, x->s4);
        }
        if (W == 8)
            (G == 2 ? lanes_run_avx512_2 : lanes_run_avx512_4)(x->lane_data, S, in, out, groups);
        else if (W == 4)
            (G == 2 ? lanes_run_avx2_2 : lanes_run_avx2_4)(x->lane_data, S, in, out, groups);
        else
            (G == 2 ? lanes_run_sse2_2 : lanes_run_sse2_4)(x->lane_data, S, in, out, groups);
        const long K = (S + W - 1) / W;
        if (chained)
            lanes_unpack(ch, S, W, x->lane_data);
        else if (!(W == 8 ? lanes_guard_avx512 : W == 4 ? lanes_guard_avx2 : lanes_guard_sse2)(x->lane_data, K))
            x->lanes_hold_states = 1; /* guarded where they are */
        else
            lanes_store_states(x->lane_data, S, W, x->s1, x->s2, x->s3, x->s4);
        for (; i < groups * G; i++) {
            double s = out[i];
            if (pending_flush)
                s = flush_abnormal(s);
            out[i] = flush_abnormal(s * master);
        }
    }
    for (; i + THIRDBANDS_LANES <= n; i += THIRDBANDS_LANES) {
        double a = flush_abnormal(in[i]), b = flush_abnormal(in[i + 1]), c = flush_abnormal(in[i + 2]);
        chain_filter3(ch, S, &a, &b, &c);
        if (pending_flush) {
            a = flush_abnormal(a);
            b = flush_abnormal(b);
            c = flush_abnormal(c);
        }
        out[i] = flush_abnormal(a * master);
        out[i + 1] = flush_abnormal(b * master);
        out[i + 2] = flush_abnormal(c * master);
    }
    for (; i < n; i++) {
        double s = flush_abnormal(in[i]);
        for (long j = 0; j < S; j++)
            s = section_filter(ch + j, s);
        if (pending_flush)
            s = flush_abnormal(s);
        out[i] = flush_abnormal(s * master);  /* a master gain below 1 takes the smallest values kept below the normal range */
    }

    for (long j = 0; chained && j < S; j++) {
        const long at = ch[j].at;
        x->s1[at] = ch[j].s1;
        x->s2[at] = ch[j].s2;
        x->s3[at] = ch[j].s3;
        x->s4[at] = ch[j].s4;
    }

    for (int b = 0; b < THIRDBANDS_BANDS && !x->lanes_hold_states; b++) {
        if (gains[b] == 0.0)
            continue;
        long row = (long)b * THIRDBANDS_ROW;
        band_state_guard(x->N[b], x->s1 + row, x->s2 + row, x->s3 + row, x->s4 + row);
    }
}

/* ---- DSP compilation ---- */
static void thirdbands_dsp64(t_thirdbands *x, t_object *dsp64, short *count, double samplerate, long maxvectorsize,
                             long flags)
{
    if (!(samplerate == x->sample_rate)) {
        x->sample_rate = samplerate;
        x->rate_changed = 1;
    }
    object_method(dsp64, gensym("dsp_add64"), x, thirdbands_perform64, 0, NULL);
}

/* ---- messages ---- */

/* Band gains: strict limits, lower tested first, NaN counts as below. Numbers past the 29th
   band are ignored. */
static void thirdbands_setgains(t_thirdbands *x, t_symbol *s, long argc, t_atom *argv)
{
    for (long b = 0; b < argc && b < THIRDBANDS_BANDS; b++) {
        double g = (double)atom_getfloat(argv + b);
        if (!(g >= -12.0)) {
            object_post(NULL, "Minimum Filter Gain: -12 dB");
            g = -12.0;
        } else if (g > 12.0) {
            object_post(NULL, "Maximum Filter Gain: 12 dB");
            g = 12.0;
        }
        tk_store(&x->band_gains_db[b], g);
    }
}

/* Master gain: strict limits, upper tested first, NaN counts as below. */
static void thirdbands_master(t_thirdbands *x, double v)
{
    if (v > 30.0) {
        object_post(NULL, "Maximum Master Value: 30 dB");
        v = 30.0;
    } else if (!(v >= -30.0)) {
        object_post(NULL, "Minimum Master Value: -30 dB");
        v = -30.0;
    }
    tk_store(&x->master_db, v);
}

static void thirdbands_bypass(t_thirdbands *x, t_atom_long n)
{
    if (n != 0) {
        object_post(NULL, "Bypass is ON");
        tk_store_i32(&x->bypass, 1);
    } else {
        tk_store_i32(&x->bypass, 0);
    }
}

/* The perform routine clears the states at its next block. */
static void thirdbands_reset(t_thirdbands *x)
{
    tk_count_up(&x->reset_requests);
}

/* ---- new / free ---- */

static void thirdbands_free(t_thirdbands *x)
{
    z_dsp_free((t_pxobject *)x);
    double **tables[6] = { &x->u, &x->t, &x->s1, &x->s2, &x->s3, &x->s4 };
    for (int i = 0; i < 6; i++) {
        if (*tables[i])
            sysmem_freeptr(*tables[i]);
        *tables[i] = NULL;
    }
    if (x->chain)
        sysmem_freeptr(x->chain);
    x->chain = NULL;
}

static void *thirdbands_new(void)
{
    t_thirdbands *x = (t_thirdbands *)object_alloc(thirdbands_class);
    if (!x)
        return NULL;
    z_dsp_setup((t_pxobject *)x, 1);
    outlet_new((t_object *)x, "signal");
    x->x_obj.z_misc |= Z_NO_INPLACE;
    x->sample_rate = (double)sys_getsr();

    const size_t bytes = THIRDBANDS_BANDS * THIRDBANDS_ROW * sizeof(double);
    x->u = (double *)sysmem_newptrclear(bytes);
    x->t = (double *)sysmem_newptrclear(bytes);
    x->s1 = (double *)sysmem_newptrclear(bytes);
    x->s2 = (double *)sysmem_newptrclear(bytes);
    x->s3 = (double *)sysmem_newptrclear(bytes);
    x->s4 = (double *)sysmem_newptrclear(bytes);
    /* the chain, and after it the same sections laid out across vector lanes */
    const size_t chain_bytes = THIRDBANDS_MAX_SECTIONS * sizeof(t_thirdbands_section);
    x->lanes = tk_simd_lanes();
    x->chain = (t_thirdbands_section *)sysmem_newptrclear(chain_bytes + (x->lanes > 1 ? lanes_bytes(x->lanes) : 0));
    if (!x->u || !x->t || !x->s1 || !x->s2 || !x->s3 || !x->s4 || !x->chain) {
        object_error((t_object *)x, "thirdbands~: out of memory");
        freeobject((t_object *)x); /* runs the free routine on what was allocated, then the record */
        return NULL;
    }

    if (x->lanes > 1)
        x->lane_data = (double *)(((uintptr_t)((char *)x->chain + chain_bytes) + 63) & ~(uintptr_t)63);
    x->lanes_current = 0;
    x->lanes_bands = 0;
    x->lanes_sections = 0;
    x->lanes_hold_states = 0;
    x->master_db = 0.0;
    x->bypass = 0;
    x->rate_changed = 0;
    const double ln10 = log(10.0);
    for (int b = 0; b < THIRDBANDS_BANDS; b++) {
        x->band_gains_db[b] = 0.0;
        x->band_low_edges[b] = band_low_edge_table[b];
        x->band_high_edges[b] = band_high_edge_table[b];
        thirdbands_design(x, b, 0.0, ln10);
    }
    x->reset_requests = x->resets_done = 0;
    thirdbands_clear(x);
    return x;
}

extern "C" C74_EXPORT void ext_main(void *r)
{
    t_class *c = class_new("thirdbands~", (method)thirdbands_new, (method)thirdbands_free, sizeof(t_thirdbands),
                           NULL, 0);
    class_addmethod(c, (method)thirdbands_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(c, (method)thirdbands_setgains, "setgains", A_GIMME, 0);
    class_addmethod(c, (method)thirdbands_master, "master", A_FLOAT, 0);
    class_addmethod(c, (method)thirdbands_bypass, "Bypass", A_LONG, 0);
    class_addmethod(c, (method)thirdbands_reset, "reset", 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    thirdbands_class = c;
    object_post(NULL, TILDEKIT_RULE_66);
    object_post(NULL, "thirdbands~: graphic equaliser, 29 third-octave bands of high-order band filters");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
}
