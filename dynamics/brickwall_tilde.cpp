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

#define BRICKWALL_DELAY 480   /* look-ahead, samples; also the length of the peak window */
#define BRICKWALL_AVERAGE 120 /* length of the follower's moving average */
#define BRICKWALL_AVERAGE_LEAVES 128 /* leaves of the average window's tree */
#define BRICKWALL_CHUNK 64           /* samples per pass of the perform routine */

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

/* Pushes `v` into the peak window: advances *position, starting a new pass (and taking the
   previous pass's tails) when it wraps, stores v and adds it to the first part's winner. */
static inline void brickwall_peak_push(double *ring, double *suffix, double *prefix, int32_t *position, double v)
{
    const int32_t p = brickwall_next(*position, BRICKWALL_DELAY);
    if (p == 0) {
        /* from the end; the winner's magnitude rides along, so that each step waits only for
           the larger of two magnitudes, not for the winner's sign */
        double winner = 0.0, size = 0.0;
        suffix[BRICKWALL_DELAY] = winner;
        for (int32_t j = BRICKWALL_DELAY - 1; j >= 1; j--) {
            const double v = ring[j], a = fabs(v);
            winner = a >= size ? v : winner; /* the lower index wins a tie */
            size = a > size ? a : size;
            suffix[j] = winner;
        }
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

/* Stores `v` at leaf `index` and returns the new sum of all entries. */
static inline double brickwall_sum_push(t_brickwall_sum_writer *w, int32_t index, double v)
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
    /* the two constants depend on nothing: computed once when the class is defined */
    const double a_att = brickwall_a_att;
    const double beta = brickwall_b;
    const double sr = x->sample_rate;

    double *peak_window = x->peak_window, *average_window = x->average_window;
    double *delay_left = x->delay_left, *delay_right = x->delay_right;
    double *peak_suffix = x->peak_suffix;
    t_brickwall_sum_writer average_sums;
    brickwall_sum_begin(&average_sums, x->average_tree);
    double average_sum = average_sums.root;
    double peak_prefix = x->peak_prefix;
    int32_t average_position = x->average_position, peak_position = x->peak_position;
    int32_t left_position = x->delay_positions[0], right_position = x->delay_positions[1];
    double follower = x->follower;
    double follower_average = x->follower_average;
    double gain = x->applied_gain;

    /* Release, threshold and ceiling are read once per block, each with a single load, so that
       a message arriving during the block takes effect whole at the next one; the exponentials
       are taken again only when a value has changed since the last block. */
    const double k_attack = 1000.0 / (a_att * sr);
    const double k_release = brickwall_release_coefficient(sr, tk_load(&x->release_ms));
    const double threshold_db = tk_load(&x->threshold_db);
    const double ceiling_db = tk_load(&x->ceiling_db);
    if (memcmp(&threshold_db, &x->cached_threshold_db, sizeof(double)) != 0
        || memcmp(&ceiling_db, &x->cached_ceiling_db, sizeof(double)) != 0) {
        x->cached_threshold_db = threshold_db;
        x->cached_ceiling_db = ceiling_db;
        x->cached_threshold = db_to_linear(threshold_db, ln10);
        x->cached_boost = db_to_linear(ceiling_db - threshold_db, ln10);
    }
    const double threshold = x->cached_threshold;
    const double boost = x->cached_boost;

    /* The block runs in chunks, each in three passes: the delay lines and the louder channel,
       the detector and gain (the only recurrence), then the outputs. Every sample sees the same
       operations in the same order as in one pass. */
    double held_l[BRICKWALL_CHUNK], held_r[BRICKWALL_CHUNK], louder[BRICKWALL_CHUNK];
    for (long start = 0; start < n; start += BRICKWALL_CHUNK) {
        const long len = n - start < BRICKWALL_CHUNK ? n - start : BRICKWALL_CHUNK;
        const double *l = in_l + start, *r = in_r + start;

        /* the oldest sample of each line is heard now; the new one takes its place, and
           nothing non-finite or subnormal ever enters a ring */
        for (long i = 0; i < len; i++) {
            left_position = brickwall_next(left_position, BRICKWALL_DELAY);
            held_l[i] = delay_left[left_position];
            delay_left[left_position] = flush_abnormal(l[i]);
            right_position = brickwall_next(right_position, BRICKWALL_DELAY);
            held_r[i] = delay_right[right_position];
            delay_right[right_position] = flush_abnormal(r[i]);
            const double al = fabs(l[i]), ar = fabs(r[i]);
            louder[i] = al > ar ? al : ar;
        }

        double *gains = out_g + start;
        for (long i = 0; i < len; i++) {
            /* detector: the louder channel, lifted so that the average tracks it */
            const double g = louder[i];
            double d = g;
            /* The lift h = (g - beta * average) / (1 - beta) exceeds g only when the average is
               below g; with the average above g by a relative 1e-9, h is below g by far more
               than its roundings, and d is g without the division (which would otherwise tie
               each sample to the average of the one before). */
            if (!(follower_average >= g * (1.0 + 1e-9))) {
                const double h = (g - beta * follower_average) / (1.0 - beta);
                d = g > h ? g : h;
            }

            const double m = brickwall_peak(peak_suffix, peak_prefix, peak_position);
            const double k = m > follower ? k_attack : k_release;
            const double e = (1.0 - k) * follower + k * m;

            /* the oldest entry of a ring sits where the next push goes */
            const int32_t average_next = brickwall_next(average_position, BRICKWALL_AVERAGE);
            const double average = average_window[average_next] / 121.0 + average_sum / 120.0;

            if (average >= 0.0 && average <= threshold) {
                /* threshold / average is 1 or more: no division needed to know min(1, it) is 1 */
                gain = 1.0;
            } else {
                const double q = threshold / average;
                gain = flush_abnormal(q < 1.0 ? q : 1.0); /* fmin(1, q), and 1 for a NaN q */
            }
            gains[i] = gain;

            const double e_kept = flush_abnormal(e);
            average_position = average_next;
            average_window[average_position] = e_kept;
            average_sum = brickwall_sum_push(&average_sums, average_position, e_kept);
            brickwall_peak_push(peak_window, peak_suffix, &peak_prefix, &peak_position, flush_abnormal(d));
            follower = e_kept;
            follower_average = flush_abnormal(average);
        }

        double *o_l = out_l + start, *o_r = out_r + start;
        for (long i = 0; i < len; i++) {
            o_l[i] = boost * (gains[i] * held_l[i]);
            o_r[i] = boost * (gains[i] * held_r[i]);
        }
    }

    brickwall_sum_flush(&average_sums);
    x->average_position = average_position;
    x->peak_position = peak_position;
    x->peak_prefix = peak_prefix;
    x->delay_positions[0] = left_position;
    x->delay_positions[1] = right_position;
    x->follower = follower;
    x->follower_average = follower_average;
    x->applied_gain = gain;
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
    object_post(NULL, TILDEKIT_RULE_66);
    object_post(NULL, "brickwall~: look-ahead stereo maximiser, 480-sample delay, peak follower and average");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
}
#endif /* BRICKWALL_REDUCTIONS_ONLY */
