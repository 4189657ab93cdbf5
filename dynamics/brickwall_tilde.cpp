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
#define BRICKWALL_PEAK_LEAVES 512   /* leaves of the peak window's tree: the window, then zeros */
#define BRICKWALL_AVERAGE_LEAVES 128 /* leaves of the average window's tree */

/* ---- exact window reductions ----
   Each window is mirrored in a fixed binary tree: node 1 is the root, node k has the children
   2k and 2k + 1, leaf LEAVES + i holds window entry i and the leaves past the window hold 0.
   Storing an entry changes one leaf, and the nodes above it are recomputed from their two
   children, so every node always equals the same fixed function of the window's current
   contents, as a full recomputation would: no running maximum or sum, nothing that can drift,
   and identical windows give identical results whatever came before.
   Peak tree: a node holds the child of larger magnitude, the left one when the magnitudes are
   equal, sign kept; the root is then the entry a scan from index 0 finds, replacing only on a
   strictly larger magnitude. Sum tree: a node holds the sum of its children.
   The test program compiles this section on its own (BRICKWALL_REDUCTIONS_ONLY) to hold it
   against the full scan and the full sum. */

/* Stores `v` at leaf `index` of the peak tree and refreshes its ancestors. */
static inline void brickwall_peak_store(double *tree, int32_t index, double v)
{
    int32_t k = BRICKWALL_PEAK_LEAVES + index;
    tree[k] = v;
    while (k > 1) {
        const double sibling = tree[k ^ 1];
        if (k & 1) /* v is the right child: it wins only when strictly larger */
            v = fabs(v) > fabs(sibling) ? v : sibling;
        else
            v = fabs(sibling) > fabs(v) ? sibling : v;
        k >>= 1;
        tree[k] = v;
    }
}

/* Entry of largest magnitude, sign kept; the first of equal magnitudes wins; 0 when every entry
   is 0 (a scan starts from 0). */
static inline double brickwall_peak(const double *tree)
{
    const double m = tree[1];
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

/* Next write position of a ring of `length` entries. */
static inline int32_t brickwall_next(int32_t position, int32_t length)
{
    return (position >= 0 && position < length - 1) ? position + 1 : 0;
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
    int32_t bypass;             /* `Bypass`: 0 or 1 */
    double *peak_tree;          /* maximum tree over peak_window (2 x PEAK_LEAVES nodes) */
    double *average_tree;       /* sum tree over average_window (2 x AVERAGE_LEAVES nodes) */
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

    if (x->bypass) {
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
    double *peak_tree = x->peak_tree, *average_tree = x->average_tree;
    int32_t average_position = x->average_position, peak_position = x->peak_position;
    int32_t left_position = x->delay_positions[0], right_position = x->delay_positions[1];
    double follower = x->follower;
    double follower_average = x->follower_average;
    double gain = x->applied_gain;

    /* Release, threshold and ceiling are read at every sample; what is derived from them is
       computed again only when a value read differs from the last one. */
    const double k_attack = 1000.0 / (a_att * sr);
    double release_ms = x->release_ms;
    double k_release = 1000.0 / (sr * release_ms);
    double threshold_db = x->threshold_db, ceiling_db = x->ceiling_db;
    double threshold = db_to_linear(threshold_db, ln10);
    double boost = db_to_linear(ceiling_db - threshold_db, ln10);

    for (long i = 0; i < n; i++) {
        const double l = in_l[i];
        const double r = in_r[i];

        /* detector: the louder channel, lifted so that the average tracks it */
        const double al = fabs(l), ar = fabs(r);
        const double g = al > ar ? al : ar;
        const double h = (g - beta * follower_average) / (1.0 - beta);
        const double d = g > h ? g : h;

        const double m = brickwall_peak(peak_tree);

        if (x->release_ms != release_ms) {
            release_ms = x->release_ms;
            k_release = 1000.0 / (sr * release_ms);
        }
        const double k = m > follower ? k_attack : k_release;
        const double e = (1.0 - k) * follower + k * m;

        /* the oldest entry of a ring sits where the next push goes */
        const int32_t average_next = brickwall_next(average_position, BRICKWALL_AVERAGE);
        const double average = average_window[average_next] / 121.0 + brickwall_sum(average_tree) / 120.0;

        if (x->threshold_db != threshold_db || x->ceiling_db != ceiling_db) {
            threshold_db = x->threshold_db;
            ceiling_db = x->ceiling_db;
            threshold = db_to_linear(threshold_db, ln10);
            boost = db_to_linear(ceiling_db - threshold_db, ln10);
        }
        if (average != 0.0) {
            const double q = threshold / average;
            gain = flush_abnormal(q < 1.0 ? q : 1.0); /* fmin(1, q): q is never NaN here */
        } else {
            gain = 1.0;
        }

        const int32_t left_next = brickwall_next(left_position, BRICKWALL_DELAY);
        const int32_t right_next = brickwall_next(right_position, BRICKWALL_DELAY);
        out_l[i] = boost * (gain * delay_left[left_next]);
        out_r[i] = boost * (gain * delay_right[right_next]);
        out_g[i] = gain;

        /* nothing non-finite or subnormal ever enters a ring */
        const double e_kept = flush_abnormal(e);
        const double d_kept = flush_abnormal(d);
        average_position = average_next;
        average_window[average_position] = e_kept;
        brickwall_sum_store(average_tree, average_position, e_kept);
        peak_position = brickwall_next(peak_position, BRICKWALL_DELAY);
        peak_window[peak_position] = d_kept;
        brickwall_peak_store(peak_tree, peak_position, d_kept);
        left_position = left_next;
        delay_left[left_position] = flush_abnormal(l);
        right_position = right_next;
        delay_right[right_position] = flush_abnormal(r);
        follower = e_kept;
        follower_average = flush_abnormal(average);
    }

    x->average_position = average_position;
    x->peak_position = peak_position;
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
    x->release_ms =
        clamp_posted(v, 1.0, 3000.0, "Maximum Release Time: 3000 ms", "Minimum Release Time: 1 ms");
}

static void brickwall_ceiling(t_brickwall *x, double v)
{
    x->ceiling_db = clamp_posted(v, -30.0, 0.0, "Maximum Output Ceiling Value: 0",
                                    "Minimum Output Ceiling Value: -30.0");
}

static void brickwall_thresh(t_brickwall *x, double v)
{
    x->threshold_db =
        clamp_posted(v, -30.0, 0.0, "Maximum Threshold Value: 0 db", "Minimum Threshold Value: -30.0");
}

static void brickwall_bypass(t_brickwall *x, t_atom_long v)
{
    if (v) {
        object_post(NULL, "Bypass is ON");
        x->bypass = 1;
    } else {
        x->bypass = 0;
    }
}

/* Forgets everything heard: silent delay lines, empty windows, follower at rest. */
static void brickwall_reset(t_brickwall *x)
{
    x->applied_gain = 0.0;
    memset(x->peak_window, 0, BRICKWALL_DELAY * sizeof(double));
    memset(x->average_window, 0, BRICKWALL_AVERAGE * sizeof(double));
    memset(x->delay_left, 0, BRICKWALL_DELAY * sizeof(double));
    memset(x->delay_right, 0, BRICKWALL_DELAY * sizeof(double));
    /* zero windows: every node of both trees is 0 */
    memset(x->peak_tree, 0, 2 * BRICKWALL_PEAK_LEAVES * sizeof(double));
    memset(x->average_tree, 0, 2 * BRICKWALL_AVERAGE_LEAVES * sizeof(double));
    x->average_position = 0;
    x->delay_positions[0] = 0;
    x->delay_positions[1] = 0;
    x->peak_position = 0;
    x->follower = 0.0;
    x->follower_average = 0.0;
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
    if (x->peak_tree)
        sysmem_freeptr(x->peak_tree);
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
    x->peak_window = (double *)sysmem_newptr(BRICKWALL_DELAY * sizeof(double));
    x->average_window = (double *)sysmem_newptr(BRICKWALL_AVERAGE * sizeof(double));
    x->delay_left = (double *)sysmem_newptr(BRICKWALL_DELAY * sizeof(double));
    x->delay_right = (double *)sysmem_newptr(BRICKWALL_DELAY * sizeof(double));
    x->peak_tree = (double *)sysmem_newptr(2 * BRICKWALL_PEAK_LEAVES * sizeof(double));
    x->average_tree = (double *)sysmem_newptr(2 * BRICKWALL_AVERAGE_LEAVES * sizeof(double));
    if (!x->peak_window || !x->average_window || !x->delay_left || !x->delay_right || !x->peak_tree ||
        !x->average_tree) {
        object_error((t_object *)x, "brickwall~: out of memory");
        freeobject((t_object *)x); /* runs the free routine, which releases what was allocated */
        return NULL;
    }
    /* separate output buffers: an output never overwrites an input it shares a buffer with */
    x->x_obj.z_misc |= Z_NO_INPLACE;
    brickwall_reset(x);
    return x;
}

C74_EXTERN_C C74_EXPORT void ext_main(void *r)
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
