/* noisedoor~: stereo noise gate. The RMS level of the last 400 samples (of each input, or of the
   sidechain) opens one shared gate gain toward 1 above the threshold and closes it toward a floor
   below it, each at a fixed rate; open/shut mode swaps the two.
   Inlet 0: left signal; every message arrives here.
   Inlet 1: right signal.
   Inlet 2: sidechain signal, detected instead of the inputs when connected and `sidechain 1`.
   Outlet 0: left output.  Outlet 1: right output.
   Outlet 2: gate gain (1 for a fully closed gate and during `Bypass`). */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>
#include "tildekit.h"

#define NOISEDOOR_WINDOW 400 /* samples in each RMS window */
#define NOISEDOOR_LEAVES 512 /* leaves of a window's sum tree: the window, then zeros */

/* ---- exact window sums ----
   The sum of squares of a window is kept in a fixed binary tree: node 1 is the root, node k has
   the children 2k and 2k + 1, and leaf LEAVES + i holds the square of window entry i (the 112
   leaves past the window stay 0). Storing a sample changes one leaf, and the nine nodes above it
   are recomputed from their two children. Every node therefore always equals the same fixed
   function of the window's current contents, exactly as a full recomputation would: there is no
   running sum, no error builds up, and two identical windows give identical sums whatever came
   before. A new sample costs nine additions instead of four hundred.
   The test program compiles this section on its own (NOISEDOOR_SUMS_ONLY) to hold it against
   the full 400-term sum. */

/* Stores `square` at leaf `index` and refreshes its ancestors. Addition commutes exactly, so
   the running value can be added to its sibling in either order. */
static inline void door_tree_store(double *tree, int32_t index, double square)
{
    int32_t k = NOISEDOOR_LEAVES + index;
    double v = square;
    tree[k] = v;
    while (k > 1) {
        v = v + tree[k ^ 1];
        k >>= 1;
        tree[k] = v;
    }
}

/* Sum of the squares of all 400 entries. */
static inline double door_tree_sum(const double *tree) { return tree[1]; }

/* Next write position of a ring of `length` entries. */
static inline int32_t door_ring_next(int32_t position, int32_t length)
{
    return (position >= 0 && position < length - 1) ? position + 1 : 0;
}

#ifndef NOISEDOOR_SUMS_ONLY
typedef struct _noisedoor {
    t_pxobject x_obj;
    double sample_rate;          /* Hz */
    double attack_ms;            /* 0.1 .. 1000 ms for the gain to open from 0 to 1 */
    double release_ms;           /* 0.1 .. 3000 ms for the gain to close from 1 to 0 */
    double threshold_db;         /* -60 .. 0 dB RMS */
    double makeup_db;            /* -30 .. 0 dB output gain */
    double gate_close_db;        /* -50 .. 0 dB floor of the gate gain; -50 closes fully */
    double sidechain_enabled;    /* `sidechain`: 0 or 1 */
    double open_shut;            /* `openshut`: 0 or 1 */
    double *rms_window_a;        /* last 400 left (or sidechain) samples */
    double *rms_window_b;        /* last 400 right samples */
    double gate_gain;            /* 0 .. 1 */
    int32_t window_a_position;   /* last written index of rms_window_a */
    int32_t window_b_position;   /* last written index of rms_window_b */
    int16_t sidechain_connected; /* inlet 2 carries a signal (from the last DSP compilation) */
    int32_t bypass;              /* `Bypass`: 0 or 1 */
    double *square_tree_a;       /* sum tree of the squares of rms_window_a (2 x LEAVES nodes) */
    double *square_tree_b;       /* the same for rms_window_b */
} t_noisedoor;

static t_class *noisedoor_class;

/* ---- DSP core ---- */

/* One step of the gate gain g toward open (1) or toward the floor f. The steps are positive
   (a rate and times that are positive) and g stays within [f, 1], so plain comparisons give the
   results of fmin/fmax without their calls. */
static inline double door_open(double g, double step)
{
    const double v = g + step;
    return v < 1.0 ? v : 1.0;
}
static inline double door_close(double g, double step, double floor_gain)
{
    const double v = g - step;
    return v > floor_gain ? v : floor_gain;
}


/* ---- perform ---- */
static void noisedoor_perform64(t_object *ob, t_object *dsp64, double **ins, long numins, double **outs,
                                long numouts, long n, long flags, void *userparam)
{
    t_noisedoor *x = (t_noisedoor *)ob;
    const double *in_l = ins[0];
    const double *in_r = ins[1];
    const double *in_s = ins[2];
    double *out_l = outs[0];
    double *out_r = outs[1];
    double *out_g = outs[2];

    if (x->bypass) {
        for (long i = 0; i < n; i++) {
            out_l[i] = in_l[i];
            out_r[i] = in_r[i];
            out_g[i] = 1.0;
        }
        return;
    }

    const double ln10 = log(10.0);
    const double w_open = 1000.0 / (x->sample_rate * x->attack_ms);
    const double w_close = 1000.0 / (x->sample_rate * x->release_ms);
    const double floor_gain = x->gate_close_db == -50.0 ? 0.0 : db_to_linear(x->gate_close_db, ln10);
    const int use_sidechain = x->sidechain_connected != 0 && x->sidechain_enabled >= 0.5;
    const int inverted = x->open_shut >= 0.5;

    double *wa = x->rms_window_a;
    double *wb = x->rms_window_b;
    double *ta = x->square_tree_a;
    double *tb = x->square_tree_b;
    int32_t pa = x->window_a_position;
    int32_t pb = x->window_b_position;
    double g = x->gate_gain;

    /* Threshold and make-up are read at every sample; their exponentials are taken again only
       when the value read differs from the last one. */
    double threshold_db = x->threshold_db;
    double threshold = db_to_linear(threshold_db, ln10);
    double makeup_db = x->makeup_db;
    double makeup = db_to_linear(makeup_db, ln10);

    for (long i = 0; i < n; i++) {
        const double l = in_l[i];
        const double r = in_r[i];
        double sum;
        pa = door_ring_next(pa, NOISEDOOR_WINDOW);
        if (use_sidechain) {
            const double s = in_s[i];
            wa[pa] = s;
            door_tree_store(ta, pa, s * s);
            sum = door_tree_sum(ta);
        } else {
            wa[pa] = l;
            door_tree_store(ta, pa, l * l);
            pb = door_ring_next(pb, NOISEDOOR_WINDOW);
            wb[pb] = r;
            door_tree_store(tb, pb, r * r);
            /* the larger RMS is the RMS of the larger sum: division and root never reverse an order */
            const double sa = door_tree_sum(ta), sb = door_tree_sum(tb);
            sum = sa > sb ? sa : sb;
        }
        const double level = sqrt(sum / (double)NOISEDOOR_WINDOW);

        if (x->threshold_db != threshold_db) {
            threshold_db = x->threshold_db;
            threshold = db_to_linear(threshold_db, ln10);
        }
        if (!inverted)
            g = level > threshold ? door_open(g, w_open) : door_close(g, w_close, floor_gain);
        else
            g = level > threshold ? door_close(g, w_open, floor_gain) : door_open(g, w_close);

        if (x->makeup_db != makeup_db) {
            makeup_db = x->makeup_db;
            makeup = db_to_linear(makeup_db, ln10);
        }
        out_l[i] = makeup * g * l;
        out_r[i] = makeup * g * r;
        out_g[i] = g > 0.0 ? g : 1.0;
    }

    x->window_a_position = pa;
    x->window_b_position = pb;
    x->gate_gain = g;
}

/* ---- DSP compilation ---- */
static void noisedoor_dsp64(t_noisedoor *x, t_object *dsp64, short *count, double samplerate,
                            long maxvectorsize, long flags)
{
    if (samplerate != x->sample_rate)
        x->sample_rate = samplerate;
    x->sidechain_connected = count[2];
    object_method(dsp64, gensym("dsp_add64"), x, noisedoor_perform64, 0, NULL);
}

/* ---- messages ---- */
static void noisedoor_attack(t_noisedoor *x, double v)
{
    x->attack_ms = clamp_posted(v, 0.1, 1000.0, "Maximum Attack Time: 1000 ms", "Minimum Atack Time: 0.1 ms");
}

static void noisedoor_release(t_noisedoor *x, double v)
{
    x->release_ms =
        clamp_posted(v, 0.1, 3000.0, "Maximum Release Time: 3000 ms", "Minimum Release Time: 0.1 ms");
}

static void noisedoor_thresh(t_noisedoor *x, double v)
{
    x->threshold_db =
        clamp_posted(v, -60.0, 0.0, "Maximum Threshold Value: 0 db", "Minimum Threshold Value: -60.0");
}

static void noisedoor_makeup(t_noisedoor *x, double v)
{
    x->makeup_db = clamp_posted(v, -30.0, 0.0, "Maximum Makeup Value: 0 db", "Minimum Makeup Value: -30.0");
}

static void noisedoor_gateclose(t_noisedoor *x, double v)
{
    x->gate_close_db =
        clamp_posted(v, -50.0, 0.0, "Maximum Gateclose Value: 0 db", "Minimum Gateclose Value: -50.0");
}

static void noisedoor_sidechain(t_noisedoor *x, t_atom_long v)
{
    if (v) {
        object_post(NULL, "Sidechain is ON");
        x->sidechain_enabled = 1.0;
    } else {
        x->sidechain_enabled = 0.0;
    }
}

static void noisedoor_openshut(t_noisedoor *x, t_atom_long v)
{
    if (v) {
        object_post(NULL, "Open/Shut Mode is ON");
        x->open_shut = 1.0;
    } else {
        x->open_shut = 0.0;
    }
}

static void noisedoor_bypass(t_noisedoor *x, t_atom_long v)
{
    if (v) {
        object_post(NULL, "Bypass is ON");
        x->bypass = 1;
    } else {
        x->bypass = 0;
    }
}

/* Closes the gate and forgets the measured level. */
static void noisedoor_reset(t_noisedoor *x)
{
    x->gate_gain = 0.0;
    x->window_a_position = 0;
    x->window_b_position = 0;
    memset(x->rms_window_a, 0, NOISEDOOR_WINDOW * sizeof(double));
    memset(x->rms_window_b, 0, NOISEDOOR_WINDOW * sizeof(double));
    /* zero windows: every node of both trees is 0 */
    memset(x->square_tree_a, 0, 2 * NOISEDOOR_LEAVES * sizeof(double));
    memset(x->square_tree_b, 0, 2 * NOISEDOOR_LEAVES * sizeof(double));
}

/* ---- new / free ---- */
static void noisedoor_free(t_noisedoor *x)
{
    z_dsp_free((t_pxobject *)x);
    if (x->rms_window_a)
        sysmem_freeptr(x->rms_window_a);
    if (x->rms_window_b)
        sysmem_freeptr(x->rms_window_b);
    if (x->square_tree_a)
        sysmem_freeptr(x->square_tree_a);
    if (x->square_tree_b)
        sysmem_freeptr(x->square_tree_b);
}

static void *noisedoor_new(void)
{
    t_noisedoor *x = (t_noisedoor *)object_alloc(noisedoor_class);
    if (!x)
        return NULL;
    z_dsp_setup((t_pxobject *)x, 3);
    outlet_new((t_object *)x, "signal"); /* gate gain (rightmost) */
    outlet_new((t_object *)x, "signal"); /* right */
    outlet_new((t_object *)x, "signal"); /* left */
    x->sample_rate = sys_getsr();
    x->attack_ms = 50.0;
    x->release_ms = 100.0;
    x->threshold_db = -60.0;
    x->makeup_db = 0.0;
    x->gate_close_db = -50.0;
    x->sidechain_enabled = 0.0;
    x->open_shut = 0.0;
    x->sidechain_connected = 0;
    x->bypass = 0;
    x->rms_window_a = (double *)sysmem_newptr(NOISEDOOR_WINDOW * sizeof(double));
    x->rms_window_b = (double *)sysmem_newptr(NOISEDOOR_WINDOW * sizeof(double));
    x->square_tree_a = (double *)sysmem_newptr(2 * NOISEDOOR_LEAVES * sizeof(double));
    x->square_tree_b = (double *)sysmem_newptr(2 * NOISEDOOR_LEAVES * sizeof(double));
    if (!x->rms_window_a || !x->rms_window_b || !x->square_tree_a || !x->square_tree_b) {
        object_error((t_object *)x, "noisedoor~: out of memory");
        freeobject((t_object *)x); /* runs the free routine, which releases what was allocated */
        return NULL;
    }
    /* separate output buffers: an output never overwrites an input it shares a buffer with */
    x->x_obj.z_misc |= Z_NO_INPLACE;
    noisedoor_reset(x);
    return x;
}

C74_EXTERN_C C74_EXPORT void ext_main(void *r)
{
    t_class *c = class_new("noisedoor~", (method)noisedoor_new, (method)noisedoor_free, sizeof(t_noisedoor),
                           NULL, 0);
    class_addmethod(c, (method)noisedoor_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(c, (method)noisedoor_attack, "attack", A_FLOAT, 0);
    class_addmethod(c, (method)noisedoor_release, "release", A_FLOAT, 0);
    class_addmethod(c, (method)noisedoor_thresh, "thresh", A_FLOAT, 0);
    class_addmethod(c, (method)noisedoor_makeup, "makeup", A_FLOAT, 0);
    class_addmethod(c, (method)noisedoor_gateclose, "gateclose", A_FLOAT, 0);
    class_addmethod(c, (method)noisedoor_sidechain, "sidechain", A_LONG, 0);
    class_addmethod(c, (method)noisedoor_openshut, "openshut", A_LONG, 0);
    class_addmethod(c, (method)noisedoor_bypass, "Bypass", A_LONG, 0);
    class_addmethod(c, (method)noisedoor_reset, "reset", 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    noisedoor_class = c;
    object_post(NULL, TILDEKIT_RULE_66);
    object_post(NULL, "noisedoor~: stereo noise gate on a 400-sample RMS level, linear opening and closing");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
}
#endif /* NOISEDOOR_SUMS_ONLY */
