/* brickwall~: stereo look-ahead maximiser. Both channels are delayed by 480 samples while the
   louder channel drives a 480-sample peak window, a level follower and a 120-sample average; one
   gain keeps the averaged level at the threshold, and (ceiling - threshold) dB of boost follows.
   Inlet 0: left signal; every message arrives here.
   Inlet 1: right signal.
   Outlet 0: left output.  Outlet 1: right output.
   Outlet 2: applied gain, 0 .. 1 (1 during `Bypass`). */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>
#include "tildekit.h"
#include "tk_simd.h"
#if TK_SIMD_X86
#include <emmintrin.h>
#endif

#define BRICKWALL_DELAY 480   /* look-ahead, samples; also the length of the peak window */
#define BRICKWALL_AVERAGE 120 /* length of the follower's moving average */
#define BRICKWALL_AVERAGE_LEAVES 128 /* leaves of the average window's tree */
#define BRICKWALL_CHUNK 64           /* samples per pass of the perform routine */
#define BRICKWALL_QUIET 16           /* samples without a lift that changed the peak window before a
                                        chunk is run in passes again */

/* ---- exact window reductions ----
   Peak window: the entry of largest magnitude, the first of equal magnitudes by ring index,
   sign kept, is what a scan from index 0 finds (0 when every entry is 0). The ring is split at
   its last written position p: entries 0 .. p were written in the ring's current pass, entries
   p + 1 .. 479 still hold the previous pass. The winner of the first part is kept as its entries
   arrive (`prefix`); the winners of every tail j .. 479 of the previous pass are computed once,
   when the pass ends (`suffix`, with suffix[480] = 0 for the empty tail). The window's winner is
   the first part's unless the tail's is strictly larger in magnitude, as the first part holds
   the lower indices. No running maximum that could go stale, and nothing that depends on the
   order of arrival: two comparisons per sample and one per entry and pass give what the scan
   gives, ties, signs and zeros included.
   Average window: mirrored in a fixed binary tree: node 1 is the root, node k has the children
   2k and 2k + 1, leaf LEAVES + i holds window entry i and the leaves past the window hold 0.
   Storing an entry changes one leaf, and the nodes above it are recomputed from their two
   children, so every node always equals the same fixed function of the window's current
   contents, as a full recomputation would: no running sum, nothing that can drift, and
   identical windows give identical results whatever came before.
   The test program compiles this section on its own (BRICKWALL_REDUCTIONS_ONLY) to hold it
   against the full scan and the full sum. */

/* Next write position of a ring of `length` entries. */
static inline int32_t brickwall_next(int32_t position, int32_t length)
{
    return (position >= 0 && position < length - 1) ? position + 1 : 0;
}

/* The winner of two entries of the peak window, `first` at the lower index. */
static inline double brickwall_first_of(double first, double later)
{
    return fabs(later) > fabs(first) ? later : first;
}

/* The winners of the tails j .. 479 of the pass that ends, computed when it ends. */
static inline void brickwall_peak_tails(const double *ring, double *suffix)
{
    /* from the end; the winner's magnitude rides along, so that each step waits only for the
       larger of two magnitudes, not for the winner's sign */
    double winner = 0.0, size = 0.0;
    suffix[BRICKWALL_DELAY] = winner;
    for (int32_t j = BRICKWALL_DELAY - 1; j >= 1; j--) {
        const double v = ring[j], a = fabs(v);
        winner = a >= size ? v : winner; /* the lower index wins a tie */
        size = a > size ? a : size;
        suffix[j] = winner;
    }
}

/* Pushes `v` into the peak window: advances *position, starting a new pass (and taking the
   previous pass's tails) when it wraps, stores v and adds it to the first part's winner. */
static inline void brickwall_peak_push(double *ring, double *suffix, double *prefix, int32_t *position, double v)
{
    const int32_t p = brickwall_next(*position, BRICKWALL_DELAY);
    if (p == 0) {
        brickwall_peak_tails(ring, suffix);
        *prefix = 0.0; /* nothing written in the new pass yet */
    }
    ring[p] = v;
    *prefix = brickwall_first_of(*prefix, v);
    *position = p;
}

/* Entry of largest magnitude, sign kept; the first of equal magnitudes wins; 0 when every entry
   is 0 (a scan starts from 0). `position` is the last written one. */
static inline double brickwall_peak(const double *suffix, double prefix, int32_t position)
{
    const double m = brickwall_first_of(prefix, suffix[position + 1]);
    return fabs(m) > 0.0 ? m : 0.0;
}

/* Stores `v` at leaf `index` of the sum tree and refreshes its ancestors. Addition commutes
   exactly, so the running value can be added to its sibling in either order. */
static inline void brickwall_sum_store(double *tree, int32_t index, double v)
{
    int32_t k = BRICKWALL_AVERAGE_LEAVES + index;
    tree[k] = v;
    while (k > 1) {
        v = v + tree[k ^ 1];
        k >>= 1;
        tree[k] = v;
    }
}

/* Sum of all 120 entries. */
static inline double brickwall_sum(const double *tree) { return tree[1]; }

/* The same stores, for entries pushed one after another: while consecutive entries fall into
   one group of 8 leaves, the siblings of the group node's ancestors do not change, so they are
   read once, and the group node and its ancestors (the root included) are kept here and written
   to the tree only when the pushes leave the group or brickwall_sum_flush is called. Every sum
   is formed exactly as brickwall_sum_store forms it. */
typedef struct _brickwall_sum_writer {
    double *tree;
    int32_t group;          /* tree index of the group node whose ancestors are pending, or 0 */
    double s3, s4, s5, s6;  /* siblings of the group node and of its ancestors below the root */
    double n3, n4, n5, n6;  /* the group node and its ancestors below the root */
    double root;
} t_brickwall_sum_writer;

static inline void brickwall_sum_begin(t_brickwall_sum_writer *w, double *tree)
{
    w->tree = tree;
    w->group = 0;
    w->s3 = w->s4 = w->s5 = w->s6 = 0.0;
    w->n3 = w->n4 = w->n5 = w->n6 = 0.0;
    w->root = tree[1];
}

/* Writes the pending nodes to the tree. */
static inline void brickwall_sum_flush(t_brickwall_sum_writer *w)
{
    const int32_t k = w->group;
    if (k == 0)
        return;
    w->tree[k] = w->n3;
    w->tree[k >> 1] = w->n4;
    w->tree[k >> 2] = w->n5;
    w->tree[k >> 3] = w->n6;
    w->tree[1] = w->root;
    w->group = 0;
}

/* Stores `v` at leaf `index` and returns the new sum of all entries. (Always inline: a call per
   sample would cost more than the sums.) */
static inline __attribute__((always_inline)) double brickwall_sum_push(t_brickwall_sum_writer *w, int32_t index, double v)
{
    double *tree = w->tree;
    int32_t k = BRICKWALL_AVERAGE_LEAVES + index;
    tree[k] = v;
    v = v + tree[k ^ 1];
    k >>= 1;
    tree[k] = v;
    v = v + tree[k ^ 1];
    k >>= 1;
    tree[k] = v;
    v = v + tree[k ^ 1];
    k >>= 1; /* the group node: 8 leaves below it, 4 levels above it */
    if (k != w->group) {
        brickwall_sum_flush(w);
        w->group = k;
        w->s3 = tree[k ^ 1];
        w->s4 = tree[(k >> 1) ^ 1];
        w->s5 = tree[(k >> 2) ^ 1];
        w->s6 = tree[(k >> 3) ^ 1];
    }
    w->n3 = v;
    v = v + w->s3;
    w->n4 = v;
    v = v + w->s4;
    w->n5 = v;
    v = v + w->s5;
    w->n6 = v;
    v = v + w->s6;
    w->root = v;
    return v;
}

#ifndef BRICKWALL_REDUCTIONS_ONLY
typedef struct _brickwall {
    t_pxobject x_obj;
    double sample_rate;         /* Hz */
    double release_ms;          /* 1 .. 3000 ms */
    double ceiling_db;          /* -30 .. 0 dB output ceiling */
    double threshold_db;        /* -30 .. 0 dB */
    double applied_gain;        /* last computed gain, 0 .. 1 */
    int32_t average_position;   /* last written index of average_window */
    int32_t delay_positions[2]; /* last written indices of delay_left, delay_right */
    int32_t peak_position;      /* last written index of peak_window */
    double *peak_window;        /* 480 recent detector values */
    double *average_window;     /* 120 recent follower values */
    double *delay_left;         /* 480 delayed left samples */
    double *delay_right;        /* 480 delayed right samples */
    double follower;            /* attack/release level follower */
    double follower_average;    /* previous sample's moving average */
    int32_t bypass;             /* `Bypass`: 0 or 1 (a message may write it while a block runs) */
    double *peak_suffix;        /* winners of the tails of peak_window's previous pass (DELAY + 1) */
    double peak_prefix;         /* winner of the entries written in peak_window's current pass */
    double *average_tree;       /* sum tree over average_window (2 x AVERAGE_LEAVES nodes) */
    /* linear factors of the last dB values seen by the perform routine, taken again only when
       a value changes: two exponentials per block are a sizeable share of a short block */
    double cached_threshold_db, cached_ceiling_db, cached_threshold, cached_boost;
    /* `reset` only counts a request here; the perform routine clears the state at the start of
       its next block. A message may arrive from the scheduler while a block is running, and a
       clear in the middle of the block would be undone by the state the block writes back. */
    uint32_t reset_requests;          /* written by `reset` only */
    uint32_t resets_done;             /* written by the perform routine only */
    int32_t lift_quiet;               /* samples since the lift last changed the peak window, up to
                                         BRICKWALL_QUIET (chooses how the next chunk runs) */
} t_brickwall;

static t_class *brickwall_class;
static double brickwall_a_att; /* attack constant, fixed for the class (see brickwall_attack_constant) */
static double brickwall_b;     /* detector's share of the previous average (see brickwall_beta) */

/* ---- DSP core ---- */

/* Attack constant: 1 - (1/10001)^(1/481), the per-sample factor that lets a step decay to 1/10001
   across the 481 samples from the peak window's entry to the output. */
static inline double brickwall_attack_constant(void)
{
    return 1.0 - pow(9.9990000999889e-5, 0.002079002079002079);
}

/* Share of the current average that the detector subtracts back out: the mean of the decay
   factor's powers 362 .. 481. */
static inline double brickwall_beta(double a_att)
{
    double sum = 0.0;
    for (int i = 0; i < BRICKWALL_AVERAGE; i++)
        sum += pow(1.0 - a_att, (double)(481 - i));
    return (1.0 / 120.0) * sum;
}

/* Release coefficient: the share of the distance to the peak that the follower covers in one
   sample when it falls. Above 1 (a release shorter than a sample period, e.g. 1 ms below 1 kHz)
   the follower would overshoot its target and change sign, and the gain with it; it then moves
   straight to the target instead, which the fastest release at 1 kHz does as well. */
static inline double brickwall_release_coefficient(double sample_rate, double release_ms)
{
    const double k = 1000.0 / (sample_rate * release_ms);
    return k < 1.0 ? k : 1.0; /* and 1 for a NaN k */
}

/* Detector: the louder channel g, lifted against the previous average so that the average
   tracks it. The lift h = (g - beta * average) / (1 - beta) exceeds g only when the average is
   below g; with the average above g by a relative 1e-9, h is below g by far more than its
   roundings, and d is g without the division. */
static inline double brickwall_detector(double g, double follower_average, double beta)
{
    if (follower_average >= g * (1.0 + 1e-9))
        return g;
    const double h = (g - beta * follower_average) / (1.0 - beta);
    return g > h ? g : h;
}

/* Gain that keeps the average at the threshold: min(1, threshold / average), 1 for a NaN. */
static inline double brickwall_gain(double average, double threshold)
{
    if (average >= 0.0 && average <= threshold)
        return 1.0; /* threshold / average is 1 or more: no division needed to know min(1, it) is 1 */
    const double q = threshold / average;
    return flush_abnormal(q < 1.0 ? q : 1.0); /* fmin(1, q), and 1 for a NaN q */
}

/* What one sample of the detector and gain reads from the one before and leaves for the next. */
typedef struct _brickwall_run {
    double follower;             /* attack/release level follower */
    double follower_average;     /* previous sample's moving average, as kept */
    double average_sum;          /* sum of the average window's entries */
    double peak_prefix;          /* winner of the entries written in the peak window's current pass */
    double gain;                 /* last computed gain */
    int32_t average_position;    /* last written index of the average window */
    int32_t peak_position;       /* last written index of the peak window */
    t_brickwall_sum_writer sums; /* the average window's tree, with its pending nodes */
} t_brickwall_run;

/* The per-block constants of the detector and gain. */
typedef struct _brickwall_constants {
    double k_attack, k_release; /* follower coefficients */
    double beta;                /* the detector's share of the previous average */
    double threshold;           /* linear */
} t_brickwall_constants;

/* One sample of the detector, follower, average and gain, one after another as the maths reads,
   `g` being the louder input. Returns 1 when the lift gave the peak window another value than g
   would have. */
static inline int brickwall_step(t_brickwall_run *s, const t_brickwall_constants *c, double *peak_window,
                                 double *peak_suffix, double *average_window, double g, double *gain)
{
    const double d = brickwall_detector(g, s->follower_average, c->beta);

    const double m = brickwall_peak(peak_suffix, s->peak_prefix, s->peak_position);
    const double k = m > s->follower ? c->k_attack : c->k_release;
    const double e = (1.0 - k) * s->follower + k * m;

    /* the oldest entry of a ring sits where the next push goes */
    const int32_t average_next = brickwall_next(s->average_position, BRICKWALL_AVERAGE);
    const double average = average_window[average_next] / 121.0 + s->average_sum / 120.0;
    s->gain = *gain = brickwall_gain(average, c->threshold);

    const double e_kept = flush_abnormal(e), d_kept = flush_abnormal(d);
    s->average_position = average_next;
    average_window[average_next] = e_kept;
    s->average_sum = brickwall_sum_push(&s->sums, average_next, e_kept);
    brickwall_peak_push(peak_window, peak_suffix, &s->peak_prefix, &s->peak_position, d_kept);
    s->follower = e_kept;
    s->follower_average = flush_abnormal(average);
    return tk_bits(d_kept) != tk_bits(flush_abnormal(g));
}

/* m ? a : b in every lane (m: all bits set or clear). */
#define BRICKWALL_PICK(SUFFIX, VT, MT, ATTR)                                                                     \
    ATTR static inline VT brickwall_pick_##SUFFIX(MT m, VT a, VT b) { return (VT)(((MT)a & m) | ((MT)b & ~m)); }
BRICKWALL_PICK(avx2, tk_v4d, tk_v4m, TK_SIMD_AVX2)

/* The averages of a run of samples and their gains, W lanes side by side (VT: W doubles, MT: their
   lane masks, ATTR: the routine's target attribute): sample i's average is its oldest entry / 121
   plus the sum before its push / 120. Every lane does what brickwall_gain and flush_abnormal do,
   operation for operation, so the bits are the scalar ones; independent divisions side by side
   cost far less than one after another inside the sample loop. Works on whole vectors: the
   arrays reach len rounded up to W, `kept` (the averages as flush_abnormal keeps them) one more. */
#define BRICKWALL_LANE_ROUTINES(SUFFIX, W, VT, MT, ATTR)                                                         \
    ATTR static int brickwall_averages_##SUFFIX(const double *oldest, const double *sums, long len,              \
                                                double threshold, const double *louder, double *gains,           \
                                                double *kept)                                                    \
    {                                                                                                            \
        MT tried = (MT){};                                                                                       \
        const VT zero = (VT){} + 0.0, one = (VT){} + 1.0, t = (VT){} + threshold;                                \
        const VT lo = (VT){} + 0x1p-1021, hi = (VT){} + 0x1p1023;                                                \
        const MT magnitude = (MT){} + 0x7FFFFFFFFFFFFFFFLL;                                                      \
        for (long i = 0; i < len; i += W) {                                                                      \
            const VT a = *(const VT *)(oldest + i) / 121.0 + *(const VT *)(sums + i) / 120.0;                    \
            const VT q = t / a;                                                                                  \
            const MT below = (MT)(q < one);                                                                      \
            const VT qm = brickwall_pick_##SUFFIX(below, q, one);                                                \
            /* flush_abnormal: a value stays when it is 0 or 2^-1021 <= |x| < 2^1023 (NaN fails every */         \
            /* comparison), else it becomes +0 */                                                                \
            const VT aq = (VT)((MT)qm & magnitude), aa = (VT)((MT)a & magnitude);                                \
            const VT g = brickwall_pick_##SUFFIX(((MT)(aq >= lo) & (MT)(aq < hi)) | (MT)(qm == zero), qm, zero); \
            const MT unity = (MT)(a >= zero) & (MT)(a <= t);                                                     \
            *(VT *)(gains + i) = brickwall_pick_##SUFFIX(unity, one, g);                                         \
            const VT k = brickwall_pick_##SUFFIX(((MT)(aa >= lo) & (MT)(aa < hi)) | (MT)(a == zero), a, zero);   \
            *(VT *)(kept + i) = k;                                                                               \
            /* the next sample's lift is tried unless this average is above its input by 1e-9 */                \
            tried |= ~(MT)(k >= *(const VT *)(louder + i) * (1.0 + 1e-9));                                       \
        }                                                                                                        \
        long any = 0;                                                                                            \
        for (int lane = 0; lane < W; lane++)                                                                     \
            any |= tried[lane];                                                                                  \
        return any != 0;                                                                                         \
    }                                                                                                            \
    /* The louder channel's magnitude of each sample, and as flush_abnormal keeps it. */                         \
    ATTR static void brickwall_louder_##SUFFIX(const double *l, const double *r, long len, double *louder,       \
                                               double *kept)                                                     \
    {                                                                                                            \
        const VT zero = (VT){} + 0.0, lo = (VT){} + 0x1p-1021, hi = (VT){} + 0x1p1023;                           \
        const MT magnitude = (MT){} + 0x7FFFFFFFFFFFFFFFLL;                                                      \
        long i = 0;                                                                                              \
        for (; i + W <= len; i += W) {                                                                           \
            const VT al = (VT)(*(const MT *)(l + i) & magnitude), ar = (VT)(*(const MT *)(r + i) & magnitude);   \
            const MT left = (MT)(al > ar);                                                                       \
            const VT g = brickwall_pick_##SUFFIX(left, al, ar);                                                  \
            *(VT *)(louder + i) = g;                                                                             \
            *(VT *)(kept + i) = brickwall_pick_##SUFFIX(((MT)(g >= lo) & (MT)(g < hi)) | (MT)(g == zero), g, zero); \
        }                                                                                                        \
        for (; i < len; i++) {                                                                                   \
            const double al = fabs(l[i]), ar = fabs(r[i]);                                                       \
            louder[i] = al > ar ? al : ar;                                                                       \
            kept[i] = flush_abnormal(louder[i]);                                                                 \
        }                                                                                                        \
    }                                                                                                            \
    /* One channel's outputs over `count` consecutive entries of its delay line: the entry heard now  */         \
    /* times gain and boost, and the input, as flush_abnormal keeps it, in its place; the gains are  */          \
    /* copied to `gains_out` unless it is NULL. */                                                               \
    ATTR static void brickwall_delay_##SUFFIX(double *line, const double *in, const double *gains, long count,   \
                                              double boost, double *out, double *gains_out)                      \
    {                                                                                                            \
        const VT zero = (VT){} + 0.0, b = (VT){} + boost;                                                        \
        const VT lo = (VT){} + 0x1p-1021, hi = (VT){} + 0x1p1023;                                                \
        const MT magnitude = (MT){} + 0x7FFFFFFFFFFFFFFFLL;                                                      \
        long i = 0;                                                                                              \
        for (; i + W <= count; i += W) {                                                                         \
            const VT g = *(const VT *)(gains + i);                                                               \
            if (gains_out)                                                                                       \
                *(VT *)(gains_out + i) = g;                                                                      \
            *(VT *)(out + i) = b * (g * *(const VT *)(line + i));                                                \
            const VT v = *(const VT *)(in + i), av = (VT)((MT)v & magnitude);                                    \
            *(VT *)(line + i) = brickwall_pick_##SUFFIX(((MT)(av >= lo) & (MT)(av < hi)) | (MT)(v == zero), v, zero); \
        }                                                                                                        \
        for (; i < count; i++) {                                                                                 \
            if (gains_out)                                                                                       \
                gains_out[i] = gains[i];                                                                         \
            out[i] = boost * (gains[i] * line[i]);                                                               \
            line[i] = flush_abnormal(in[i]);                                                                     \
        }                                                                                                        \
    }

BRICKWALL_LANE_ROUTINES(avx2, 4, tk_v4d, tk_v4m, TK_SIMD_AVX2)

/* brickwall_first_of in every lane. With entries that are never NaN (no push lets one in) the rule
   is associative, which lets the two routines below form the peak window's running winners a
   vector at a time: within 4 entries in two steps, each lane taking the winner of itself and the
   lane 1, then 2, away (0 where that lane lies past the vector), then joined with the winner of
   what lies beyond the vector. A 0 brought in after an entry never wins over it (the tails); one
   brought in before the first entry (the first part's winners) can stand in only for entries of
   magnitude 0, and the winner before the vector then wins over both, as in the scan. */
TK_SIMD_AVX2 static inline tk_v4d brickwall_first_of_avx2(tk_v4d first, tk_v4d later)
{
    const tk_v4m magnitude = (tk_v4m){} + 0x7FFFFFFFFFFFFFFFLL;
    return brickwall_pick_avx2((tk_v4m)((tk_v4d)((tk_v4m)later & magnitude) > (tk_v4d)((tk_v4m)first & magnitude)),
                               later, first);
}

/* brickwall_peak_tails, 4 entries at a time from the end. */
TK_SIMD_AVX2 static void brickwall_tails_avx2(const double *ring, double *suffix)
{
    const tk_v4d zero = (tk_v4d){} + 0.0;
    tk_v4d after = zero;
    suffix[BRICKWALL_DELAY] = 0.0;
    int32_t j = BRICKWALL_DELAY - 4;
    for (; j >= 1; j -= 4) {
        tk_v4d v = *(const tk_v4d *)(ring + j);
        v = brickwall_first_of_avx2(v, __builtin_shufflevector(v, zero, 1, 2, 3, 4));
        v = brickwall_first_of_avx2(v, __builtin_shufflevector(v, zero, 2, 3, 4, 4));
        v = brickwall_first_of_avx2(v, after);
        *(tk_v4d *)(suffix + j) = v;
        after = __builtin_shufflevector(v, v, 0, 0, 0, 0);
    }
    double winner = after[0];
    for (j += 3; j >= 1; j--) /* the first few, one at a time */
        suffix[j] = winner = fabs(ring[j]) >= fabs(winner) ? ring[j] : winner;
}

/* The peak window's pushes of a chunk that does not wrap it: entries to ring[from .. len - 1],
   followed by the tails from tails[from ..]. prefixes[i] is the first part's winner before push
   i, peaks[i + 1] the window's winner after it (brickwall_peak). Returns the first part's winner
   at the end. */
static inline double brickwall_peaks_from(long from, const double *detected, long len, double *ring,
                                          const double *tails, double prefix, double *prefixes, double *peaks)
{
    for (long i = from; i < len; i++) {
        prefixes[i] = prefix;
        ring[i] = detected[i];
        prefix = brickwall_first_of(prefix, detected[i]);
        const double m = brickwall_first_of(prefix, tails[i]);
        peaks[i + 1] = fabs(m) > 0.0 ? m : 0.0;
    }
    return prefix;
}

/* The same, 4 at a time. */
TK_SIMD_AVX2 static double brickwall_peaks_avx2(const double *detected, long len, double *ring, const double *tails,
                                                double prefix, double *prefixes, double *peaks)
{
    const tk_v4m magnitude = (tk_v4m){} + 0x7FFFFFFFFFFFFFFFLL;
    const tk_v4d zero = (tk_v4d){} + 0.0;
    tk_v4d before = zero + prefix;
    long i = 0;
    for (; i + 4 <= len; i += 4) {
        const tk_v4d d = *(const tk_v4d *)(detected + i);
        *(tk_v4d *)(ring + i) = d;
        tk_v4d w = brickwall_first_of_avx2(__builtin_shufflevector(zero, d, 0, 4, 5, 6), d);
        w = brickwall_first_of_avx2(__builtin_shufflevector(zero, w, 0, 0, 4, 5), w);
        w = brickwall_first_of_avx2(before, w);
        *(tk_v4d *)(prefixes + i) = __builtin_shufflevector(before, w, 0, 4, 5, 6);
        const tk_v4d m = brickwall_first_of_avx2(w, *(const tk_v4d *)(tails + i));
        const tk_v4d am = (tk_v4d)((tk_v4m)m & magnitude);
        *(tk_v4d *)(peaks + i + 1) = brickwall_pick_avx2((tk_v4m)(am > zero), m, zero);
        before = __builtin_shufflevector(w, w, 3, 3, 3, 3);
    }
    return brickwall_peaks_from(i, detected, len, ring, tails, before[0], prefixes, peaks); /* the last few */
}

#if TK_SIMD_X86
/* The same for SSE2, in its own instructions: without comparisons of 64-bit integer lanes the
   compiler would take the lane masks of the vector code above apart one lane at a time. */
static inline __m128d brickwall_flush_sse2(__m128d x)
{
    const __m128d a = _mm_and_pd(x, _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFFLL)));
    const __m128d stays = _mm_or_pd(_mm_and_pd(_mm_cmpge_pd(a, _mm_set1_pd(0x1p-1021)), _mm_cmplt_pd(a, _mm_set1_pd(0x1p1023))),
                                    _mm_cmpeq_pd(x, _mm_setzero_pd()));
    return _mm_and_pd(x, stays);
}

static inline __m128d brickwall_pick_sse2(__m128d m, __m128d a, __m128d b)
{
    return _mm_or_pd(_mm_and_pd(m, a), _mm_andnot_pd(m, b));
}

static int brickwall_averages_sse2(const double *oldest, const double *sums, long len, double threshold,
                                   const double *louder, double *gains, double *kept)
{
    const __m128d zero = _mm_setzero_pd(), one = _mm_set1_pd(1.0), t = _mm_set1_pd(threshold);
    __m128d tried = zero;
    for (long i = 0; i < len; i += 2) {
        const __m128d a = _mm_add_pd(_mm_div_pd(_mm_loadu_pd(oldest + i), _mm_set1_pd(121.0)),
                                     _mm_div_pd(_mm_loadu_pd(sums + i), _mm_set1_pd(120.0)));
        const __m128d q = _mm_div_pd(t, a);
        const __m128d g = brickwall_flush_sse2(brickwall_pick_sse2(_mm_cmplt_pd(q, one), q, one));
        const __m128d unity = _mm_and_pd(_mm_cmpge_pd(a, zero), _mm_cmple_pd(a, t));
        _mm_storeu_pd(gains + i, brickwall_pick_sse2(unity, one, g));
        const __m128d k = brickwall_flush_sse2(a);
        _mm_storeu_pd(kept + i, k);
        tried = _mm_or_pd(tried, _mm_cmpnge_pd(k, _mm_mul_pd(_mm_loadu_pd(louder + i), _mm_set1_pd(1.0 + 1e-9))));
    }
    return _mm_movemask_pd(tried) != 0;
}

static void brickwall_louder_sse2(const double *l, const double *r, long len, double *louder, double *kept)
{
    const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFFLL));
    long i = 0;
    for (; i + 2 <= len; i += 2) {
        const __m128d al = _mm_and_pd(_mm_loadu_pd(l + i), magnitude), ar = _mm_and_pd(_mm_loadu_pd(r + i), magnitude);
        const __m128d g = brickwall_pick_sse2(_mm_cmpgt_pd(al, ar), al, ar);
        _mm_storeu_pd(louder + i, g);
        _mm_storeu_pd(kept + i, brickwall_flush_sse2(g));
    }
    for (; i < len; i++) {
        const double al = fabs(l[i]), ar = fabs(r[i]);
        louder[i] = al > ar ? al : ar;
        kept[i] = flush_abnormal(louder[i]);
    }
}

static void brickwall_delay_sse2(double *line, const double *in, const double *gains, long count, double boost,
                                 double *out, double *gains_out)
{
    const __m128d b = _mm_set1_pd(boost);
    long i = 0;
    for (; i + 2 <= count; i += 2) {
        const __m128d g = _mm_loadu_pd(gains + i);
        if (gains_out)
            _mm_storeu_pd(gains_out + i, g);
        _mm_storeu_pd(out + i, _mm_mul_pd(b, _mm_mul_pd(g, _mm_loadu_pd(line + i))));
        _mm_storeu_pd(line + i, brickwall_flush_sse2(_mm_loadu_pd(in + i)));
    }
    for (; i < count; i++) {
        if (gains_out)
            gains_out[i] = gains[i];
        out[i] = boost * (gains[i] * line[i]);
        line[i] = flush_abnormal(in[i]);
    }
}
#else
BRICKWALL_PICK(sse2, tk_v2d, tk_v2m, )
BRICKWALL_LANE_ROUTINES(sse2, 2, tk_v2d, tk_v2m, )
#endif

/* Vector lanes of doubles for the passes above, chosen once for the class: 4 where the CPU has
   AVX2, else 2. Eight lanes (AVX-512) ran slower than four on the machine that measured them: a
   chunk gives few and short vectors. */
static int brickwall_lanes;

static inline int brickwall_averages(const double *oldest, const double *sums, long len, double threshold,
                                     const double *louder, double *gains, double *kept)
{
    if (brickwall_lanes >= 4)
        return brickwall_averages_avx2(oldest, sums, len, threshold, louder, gains, kept);
    return brickwall_averages_sse2(oldest, sums, len, threshold, louder, gains, kept);
}

static inline void brickwall_tails(const double *ring, double *suffix)
{
    if (brickwall_lanes >= 4)
        brickwall_tails_avx2(ring, suffix);
    else
        brickwall_peak_tails(ring, suffix);
}

static inline double brickwall_peaks(const double *detected, long len, double *ring, const double *tails,
                                     double prefix, double *prefixes, double *peaks)
{
    if (brickwall_lanes >= 4)
        return brickwall_peaks_avx2(detected, len, ring, tails, prefix, prefixes, peaks);
    return brickwall_peaks_from(0, detected, len, ring, tails, prefix, prefixes, peaks);
}

static inline void brickwall_louder(const double *l, const double *r, long len, double *louder, double *kept)
{
    if (brickwall_lanes >= 4)
        brickwall_louder_avx2(l, r, len, louder, kept);
    else
        brickwall_louder_sse2(l, r, len, louder, kept);
}

static inline void brickwall_delay(double *line, const double *in, const double *gains, long count, double boost,
                                   double *out, double *gains_out)
{
    if (brickwall_lanes >= 4)
        brickwall_delay_avx2(line, in, gains, count, boost, out, gains_out);
    else
        brickwall_delay_sse2(line, in, gains, count, boost, out, gains_out);
}

/* Forgets everything heard: silent delay lines, empty windows, follower at rest. Called by the
   new routine and by the perform routine, never while a block is running. */
static void brickwall_clear(t_brickwall *x)
{
    x->applied_gain = 0.0;
    memset(x->peak_window, 0, BRICKWALL_DELAY * sizeof(double));
    memset(x->average_window, 0, BRICKWALL_AVERAGE * sizeof(double));
    memset(x->delay_left, 0, BRICKWALL_DELAY * sizeof(double));
    memset(x->delay_right, 0, BRICKWALL_DELAY * sizeof(double));
    /* zero windows: every winner of the peak window and every node of the sum tree is 0 */
    memset(x->peak_suffix, 0, (BRICKWALL_DELAY + 1) * sizeof(double));
    x->peak_prefix = 0.0;
    memset(x->average_tree, 0, 2 * BRICKWALL_AVERAGE_LEAVES * sizeof(double));
    x->average_position = 0;
    x->delay_positions[0] = 0;
    x->delay_positions[1] = 0;
    x->peak_position = 0;
    x->follower = 0.0;
    x->follower_average = 0.0;
}

/* ---- perform ---- */
static void brickwall_perform64(t_object *ob, t_object *dsp64, double **ins, long numins, double **outs,
                                long numouts, long n, long flags, void *userparam)
{
    t_brickwall *x = (t_brickwall *)ob;
    const double *in_l = ins[0];
    const double *in_r = ins[1];
    double *out_l = outs[0];
    double *out_r = outs[1];
    double *out_g = outs[2];

    /* a reset asked for since the last block (also while bypassed, so that none is kept for later) */
    const uint32_t reset_requests = tk_load_u32(&x->reset_requests);
    if (reset_requests != x->resets_done) {
        x->resets_done = reset_requests;
        brickwall_clear(x);
    }

    if (tk_load_i32(&x->bypass)) {
        /* everything holds still, the delay lines included */
        for (long i = 0; i < n; i++) {
            out_l[i] = in_l[i];
            out_r[i] = in_r[i];
            out_g[i] = 1.0;
        }
        return;
    }

    const double ln10 = log(10.0);
    const double sr = x->sample_rate;

    double *peak_window = x->peak_window, *average_window = x->average_window;
    double *delay_left = x->delay_left, *delay_right = x->delay_right;
    double *peak_suffix = x->peak_suffix, *average_tree = x->average_tree;
    t_brickwall_run s;
    brickwall_sum_begin(&s.sums, average_tree);
    s.average_sum = s.sums.root;
    s.peak_prefix = x->peak_prefix;
    s.average_position = x->average_position;
    s.peak_position = x->peak_position;
    s.follower = x->follower;
    s.follower_average = x->follower_average;
    s.gain = x->applied_gain;
    int32_t left_position = x->delay_positions[0], right_position = x->delay_positions[1];

    /* Release, threshold and ceiling are read once per block, each with a single load, so that
       a message arriving during the block takes effect whole at the next one; the exponentials
       are taken again only when a value has changed since the last block. The attack constant
       and beta depend on nothing: computed once when the class is defined. */
    t_brickwall_constants c;
    c.k_attack = 1000.0 / (brickwall_a_att * sr);
    c.k_release = brickwall_release_coefficient(sr, tk_load(&x->release_ms));
    c.beta = brickwall_b;
    const double threshold_db = tk_load(&x->threshold_db);
    const double ceiling_db = tk_load(&x->ceiling_db);
    if (memcmp(&threshold_db, &x->cached_threshold_db, sizeof(double)) != 0
        || memcmp(&ceiling_db, &x->cached_ceiling_db, sizeof(double)) != 0) {
        x->cached_threshold_db = threshold_db;
        x->cached_ceiling_db = ceiling_db;
        x->cached_threshold = db_to_linear(threshold_db, ln10);
        x->cached_boost = db_to_linear(ceiling_db - threshold_db, ln10);
    }
    c.threshold = x->cached_threshold;
    const double boost = x->cached_boost;
    const double k_attack = c.k_attack, k_release = c.k_release;
    const double attack_keep = 1.0 - k_attack, release_keep = 1.0 - k_release; /* the follower's 1 - k */

    /* The block runs in chunks. The lift is the only path from the average back into the
       follower, and it changes what enters the peak window only while the input rises above the
       average, which is rare. So a chunk is first run as if it changed nothing, in passes that
       each do one thing for every sample: the louder channel; the peak window; the follower
       (the only recurrence) with the average window's sums; the averages and gains, their
       divisions side by side. Then each sample's lift is checked against the average it would
       have seen. From the first sample where the lift would have changed the peak window's
       entry, what the chunk left behind is put back as the one-after-another path
       (brickwall_step) would have left it, and the rest of the chunk takes that path; the
       outputs come last. Every sample thus sees the same operations in the same order as in
       one pass. After a change the next chunks take the one-after-another path until the lift
       has left the window alone for BRICKWALL_QUIET samples (a rising input lifts many samples
       in a row), which is a matter of speed only. */
    double louder[BRICKWALL_CHUNK + 8], detected[BRICKWALL_CHUNK], prefixes[BRICKWALL_CHUNK], peaks[BRICKWALL_CHUNK + 1];
    /* padded to whole vectors; sums[i] and averages[i] are what sample i reads, [i + 1] what it leaves */
    double oldest[BRICKWALL_CHUNK + 8], sums[BRICKWALL_CHUNK + 9], averages[BRICKWALL_CHUNK + 9];
    double gains[BRICKWALL_CHUNK + 8];
    long quiet = x->lift_quiet;
    for (long start = 0; start < n;) {
        long len = n - start < BRICKWALL_CHUNK ? n - start : BRICKWALL_CHUNK;
        /* the peak window may wrap at the chunk's first push only (its tails are then taken from
           entries that no push of the chunk has touched yet) */
        if (s.peak_position >= 0 && s.peak_position < BRICKWALL_DELAY - 1 && len > BRICKWALL_DELAY - 1 - s.peak_position)
            len = BRICKWALL_DELAY - 1 - s.peak_position;
        const double *l = in_l + start, *r = in_r + start;

        brickwall_louder(l, r, len, louder, detected);

        long serial_from = 0;
        if (quiet >= BRICKWALL_QUIET) {
            /* the peak window with g for every detector value */
            const int32_t peak_start = s.peak_position, average_start = s.average_position;
            double follower = s.follower, peak_prefix = s.peak_prefix;
            int32_t peak_position = s.peak_position, average_position = s.average_position;
            sums[0] = s.average_sum;
            peaks[0] = brickwall_peak(peak_suffix, peak_prefix, peak_position); /* what sample 0 reads */
            if (brickwall_next(peak_position, BRICKWALL_DELAY) == 0) {
                /* sample 0 begins the peak window's new pass; no later one wraps */
                brickwall_tails(peak_window, peak_suffix);
                peak_prefix = 0.0;
                peak_position = -1;
            }
            peak_prefix = brickwall_peaks(detected, len, peak_window + peak_position + 1, peak_suffix + peak_position + 2,
                                          peak_prefix, prefixes, peaks);
            peak_position += (int32_t)len;
            /* The follower, and the average window with its sums; the entries replaced are kept
               for the averages (and for putting them back). The follower is the chain that each
               sample waits for: both of its candidates are formed while the comparison runs, so
               that it waits for one multiplication and one addition. The pushes go in runs within
               one group of 8 leaves of the tree (the ring's 120 entries are 15 whole groups), the
               siblings of the group's ancestors held for the run: each sum formed as
               brickwall_sum_push forms it. */
            brickwall_sum_flush(&s.sums);
            for (long i = 0; i < len;) {
                const long first = brickwall_next(average_position, BRICKWALL_AVERAGE);
                const long run = (first | 7) + 1 - first < len - i ? (first | 7) + 1 - first : len - i;
                const long group = (BRICKWALL_AVERAGE_LEAVES + first) >> 3;
                const double s3 = average_tree[group ^ 1], s4 = average_tree[(group >> 1) ^ 1];
                const double s5 = average_tree[(group >> 2) ^ 1], s6 = average_tree[(group >> 3) ^ 1];
                for (long e = first; e < first + run; e++, i++) {
                    const double m = peaks[i];
                    const double attack = attack_keep * follower + k_attack * m;
                    const double release = release_keep * follower + k_release * m;
                    follower = flush_abnormal(m > follower ? attack : release);
                    oldest[i] = average_window[e];
                    average_window[e] = follower;
                    const long k = BRICKWALL_AVERAGE_LEAVES + e;
                    average_tree[k] = follower;
                    double v = follower + average_tree[k ^ 1];
                    average_tree[k >> 1] = v;
                    v = v + average_tree[(k >> 1) ^ 1];
                    average_tree[k >> 2] = v;
                    v = v + average_tree[(k >> 2) ^ 1]; /* the group node */
                    v = v + s3;
                    v = v + s4;
                    v = v + s5;
                    sums[i + 1] = v + s6;
                }
                /* the group node and its ancestors as the run's last push formed them */
                average_position = (int32_t)(first + run - 1);
                const long last = (BRICKWALL_AVERAGE_LEAVES + average_position) >> 2;
                const double n3 = average_tree[last] + average_tree[last ^ 1];
                const double n4 = n3 + s3, n5 = n4 + s4, n6 = n5 + s5;
                average_tree[group] = n3;
                average_tree[group >> 1] = n4;
                average_tree[group >> 2] = n5;
                average_tree[group >> 3] = n6;
                average_tree[1] = n6 + s6;
            }
            brickwall_sum_begin(&s.sums, average_tree);
            for (long i = len; i < len + 8; i++)
                oldest[i] = sums[i + 1] = louder[i] = 0.0; /* the lanes past the chunk compute nothing used */

            /* the first sample whose lift would have changed its peak window entry; most chunks
               have no sample where the lift is even tried, which the averages' pass tells */
            averages[0] = s.follower_average;
            int tried = brickwall_averages(oldest, sums, len, c.threshold, louder + 1, gains, averages + 1);
            tried |= !(averages[0] >= louder[0] * (1.0 + 1e-9));
            long changed = len;
            for (long i = 0; tried && i < len; i++) {
                const double g = louder[i];
                if (tk_bits(flush_abnormal(brickwall_detector(g, averages[i], c.beta))) != tk_bits(flush_abnormal(g))) {
                    changed = i;
                    break;
                }
            }

            if (changed == len) {
                s.follower = follower;
                s.follower_average = averages[len];
                s.gain = gains[len - 1];
                s.peak_prefix = peak_prefix;
                s.peak_position = peak_position;
                s.average_position = average_position;
                s.average_sum = sums[len];
                serial_from = len;
                quiet += len;
            } else {
                /* Sample j stands but for its peak window entry, which is its lifted detector
                   value; the pushes after it wrapped nowhere, so the tails are still right and
                   their ring entries are written again below. The later samples' entries of the
                   average window go back to what they replaced, and the tree with them (it is a
                   function of the entries only). */
                const long j = changed;
                const int32_t p = brickwall_next(peak_start, BRICKWALL_DELAY) + (int32_t)j;
                const double d_kept = flush_abnormal(brickwall_detector(louder[j], averages[j], c.beta));
                peak_window[p] = d_kept;
                s.peak_prefix = brickwall_first_of(p == 0 ? 0.0 : prefixes[j], d_kept); /* 0: a new pass began */
                s.peak_position = p;
                int32_t slot = average_start;
                for (long i = 0; i <= j; i++)
                    slot = brickwall_next(slot, BRICKWALL_AVERAGE);
                s.average_position = slot;
                s.follower = average_window[slot];
                brickwall_sum_flush(&s.sums);
                for (long i = j + 1; i < len; i++) {
                    slot = brickwall_next(slot, BRICKWALL_AVERAGE);
                    average_window[slot] = oldest[i];
                    brickwall_sum_store(average_tree, slot, oldest[i]);
                }
                brickwall_sum_begin(&s.sums, average_tree);
                s.average_sum = s.sums.root;
                s.follower_average = averages[j + 1];
                s.gain = gains[j];
                serial_from = j + 1;
                quiet = 0;
            }
        }
        for (long i = serial_from; i < len; i++)
            quiet = brickwall_step(&s, &c, peak_window, peak_suffix, average_window, louder[i], gains + i) ? 0 : quiet + 1;

        /* the oldest sample of each line is heard now; the new one takes its place, and nothing
           non-finite or subnormal ever enters a ring: in at most two runs of consecutive entries */
        double *o_l = out_l + start, *o_r = out_r + start, *o_g = out_g + start;
        for (int channel = 0; channel < 2; channel++) {
            double *line = channel ? delay_right : delay_left, *o = channel ? o_r : o_l;
            const double *in = channel ? r : l;
            int32_t *position = channel ? &right_position : &left_position;
            const int32_t first = brickwall_next(*position, BRICKWALL_DELAY);
            const long run = len < BRICKWALL_DELAY - first ? len : BRICKWALL_DELAY - first;
            double *g = channel ? NULL : o_g; /* the gain outlet with the first channel */
            brickwall_delay(line + first, in, gains, run, boost, o, g);
            brickwall_delay(line, in + run, gains + run, len - run, boost, o + run, g ? g + run : NULL);
            *position = len > run ? (int32_t)(len - run - 1) : first + (int32_t)len - 1;
        }
        start += len;
    }

    brickwall_sum_flush(&s.sums);
    x->lift_quiet = quiet < BRICKWALL_QUIET ? quiet : BRICKWALL_QUIET;
    x->average_position = s.average_position;
    x->peak_position = s.peak_position;
    x->peak_prefix = s.peak_prefix;
    x->delay_positions[0] = left_position;
    x->delay_positions[1] = right_position;
    x->follower = s.follower;
    x->follower_average = s.follower_average;
    x->applied_gain = s.gain;
}

/* ---- DSP compilation ---- */
static void brickwall_dsp64(t_brickwall *x, t_object *dsp64, short *count, double samplerate,
                            long maxvectorsize, long flags)
{
    if (samplerate != x->sample_rate)
        x->sample_rate = samplerate;
    object_method(dsp64, gensym("dsp_add64"), x, brickwall_perform64, 0, NULL);
}

/* ---- messages ---- */
static void brickwall_release(t_brickwall *x, double v)
{
    tk_store(&x->release_ms,
             clamp_posted(v, 1.0, 3000.0, "Maximum Release Time: 3000 ms", "Minimum Release Time: 1 ms"));
}

static void brickwall_ceiling(t_brickwall *x, double v)
{
    tk_store(&x->ceiling_db, clamp_posted(v, -30.0, 0.0, "Maximum Output Ceiling Value: 0",
                                          "Minimum Output Ceiling Value: -30.0"));
}

static void brickwall_thresh(t_brickwall *x, double v)
{
    tk_store(&x->threshold_db,
             clamp_posted(v, -30.0, 0.0, "Maximum Threshold Value: 0 db", "Minimum Threshold Value: -30.0"));
}

static void brickwall_bypass(t_brickwall *x, t_atom_long v)
{
    if (v) {
        object_post(NULL, "Bypass is ON");
        tk_store_i32(&x->bypass, 1);
    } else {
        tk_store_i32(&x->bypass, 0);
    }
}

/* Forgets everything heard from the next block on: silent delay lines, empty windows, follower
   at rest. Only the request is recorded here; the next block starts with the clear. */
static void brickwall_reset(t_brickwall *x)
{
    tk_store_u32(&x->reset_requests, x->reset_requests + 1); /* only this routine writes it */
}

/* ---- new / free ---- */
static void brickwall_free(t_brickwall *x)
{
    z_dsp_free((t_pxobject *)x);
    if (x->peak_window)
        sysmem_freeptr(x->peak_window);
    if (x->average_window)
        sysmem_freeptr(x->average_window);
    if (x->delay_left)
        sysmem_freeptr(x->delay_left);
    if (x->delay_right)
        sysmem_freeptr(x->delay_right);
    if (x->peak_suffix)
        sysmem_freeptr(x->peak_suffix);
    if (x->average_tree)
        sysmem_freeptr(x->average_tree);
}

static void *brickwall_new(void)
{
    t_brickwall *x = (t_brickwall *)object_alloc(brickwall_class);
    if (!x)
        return NULL;
    z_dsp_setup((t_pxobject *)x, 2);
    outlet_new((t_object *)x, "signal"); /* gain (rightmost) */
    outlet_new((t_object *)x, "signal"); /* right */
    outlet_new((t_object *)x, "signal"); /* left */
    x->sample_rate = sys_getsr();
    x->release_ms = 25.0;
    x->ceiling_db = 0.0;
    x->threshold_db = 0.0;
    x->bypass = 0;
    /* no dB value has been converted yet: the first block converts them */
    x->cached_threshold_db = x->cached_ceiling_db = NAN;
    x->reset_requests = 0;
    x->resets_done = 0;
    x->lift_quiet = BRICKWALL_QUIET;
    x->peak_window = (double *)sysmem_newptr(BRICKWALL_DELAY * sizeof(double));
    x->average_window = (double *)sysmem_newptr(BRICKWALL_AVERAGE * sizeof(double));
    x->delay_left = (double *)sysmem_newptr(BRICKWALL_DELAY * sizeof(double));
    x->delay_right = (double *)sysmem_newptr(BRICKWALL_DELAY * sizeof(double));
    x->peak_suffix = (double *)sysmem_newptr((BRICKWALL_DELAY + 1) * sizeof(double));
    x->average_tree = (double *)sysmem_newptr(2 * BRICKWALL_AVERAGE_LEAVES * sizeof(double));
    if (!x->peak_window || !x->average_window || !x->delay_left || !x->delay_right || !x->peak_suffix ||
        !x->average_tree) {
        object_error(NULL, "brickwall~: out of memory"); /* the text names the object already */
        freeobject((t_object *)x); /* runs the free routine, which releases what was allocated */
        return NULL;
    }
    /* separate output buffers: an output never overwrites an input it shares a buffer with */
    x->x_obj.z_misc |= Z_NO_INPLACE;
    brickwall_clear(x);
    return x;
}

extern "C" C74_EXPORT void ext_main(void *r)
{
    t_class *c = class_new("brickwall~", (method)brickwall_new, (method)brickwall_free, sizeof(t_brickwall),
                           NULL, 0);
    class_addmethod(c, (method)brickwall_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(c, (method)brickwall_release, "release", A_FLOAT, 0);
    class_addmethod(c, (method)brickwall_ceiling, "ceiling", A_FLOAT, 0);
    class_addmethod(c, (method)brickwall_thresh, "thresh", A_FLOAT, 0);
    class_addmethod(c, (method)brickwall_bypass, "Bypass", A_LONG, 0);
    class_addmethod(c, (method)brickwall_reset, "reset", 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    brickwall_class = c;
    brickwall_a_att = brickwall_attack_constant();
    brickwall_b = brickwall_beta(brickwall_a_att);
    brickwall_lanes = tk_simd_lanes();
    object_post(NULL, TILDEKIT_RULE_66);
    object_post(NULL, "brickwall~: look-ahead stereo maximiser, 480-sample delay, peak follower and average");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
}
#endif /* BRICKWALL_REDUCTIONS_ONLY */
