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
} t_brickwall;

static t_class *brickwall_class;

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

/* Stores v at the next position of a ring of `length` entries and returns that position. */
static inline int32_t brickwall_push(double *ring, int32_t position, int32_t length, double v)
{
    position = (position >= 0 && position < length - 1) ? position + 1 : 0;
    ring[position] = v;
    return position;
}

/* The oldest entry of a ring: the one the next push overwrites. */
static inline double brickwall_oldest(const double *ring, int32_t position, int32_t length)
{
    int32_t p = (position >= 0 && position < length) ? position : 0;
    return ring[(p + length + 1) % length];
}

/* Entry of largest magnitude, sign kept; the first of equal magnitudes wins. */
static inline double brickwall_peak(const double *ring)
{
    double m = 0.0;
    for (int i = 0; i < BRICKWALL_DELAY; i++)
        if (fabs(ring[i]) > fabs(m))
            m = ring[i];
    return m;
}

static inline double brickwall_sum(const double *ring)
{
    double s = 0.0;
    for (int i = 0; i < BRICKWALL_AVERAGE; i++)
        s += ring[i];
    return s;
}

/* Clamps a parameter to [lo, hi], posting the fixed line of the limit applied. A value equal to
   a limit is taken silently; NaN counts as below the minimum. */
static double brickwall_clamp(double v, double lo, double hi, const char *above, const char *below)
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
    const double a_att = brickwall_attack_constant();
    const double beta = brickwall_beta(a_att);
    const double sr = x->sample_rate;

    double follower = x->follower;
    double follower_average = x->follower_average;
    double gain = x->applied_gain;

    for (long i = 0; i < n; i++) {
        const double l = in_l[i];
        const double r = in_r[i];

        /* detector: the louder channel, lifted so that the average tracks it */
        const double al = fabs(l), ar = fabs(r);
        const double g = al > ar ? al : ar;
        const double h = (g - beta * follower_average) / (1.0 - beta);
        const double d = g > h ? g : h;

        const double m = brickwall_peak(x->peak_window);

        const double k = m > follower ? 1000.0 / (a_att * sr) : 1000.0 / (sr * x->release_ms);
        const double e = (1.0 - k) * follower + k * m;

        const double average = brickwall_oldest(x->average_window, x->average_position, BRICKWALL_AVERAGE) / 121.0 +
                               brickwall_sum(x->average_window) / 120.0;

        const double threshold_db = x->threshold_db;
        if (average != 0.0)
            gain = flush_abnormal(fmin(1.0, db_to_linear(threshold_db, ln10) / average));
        else
            gain = 1.0;

        const double boost = db_to_linear(x->ceiling_db - threshold_db, ln10);
        out_l[i] = boost * (gain * brickwall_oldest(x->delay_left, x->delay_positions[0], BRICKWALL_DELAY));
        out_r[i] = boost * (gain * brickwall_oldest(x->delay_right, x->delay_positions[1], BRICKWALL_DELAY));
        out_g[i] = gain;

        /* nothing non-finite or subnormal ever enters a ring */
        x->average_position = brickwall_push(x->average_window, x->average_position, BRICKWALL_AVERAGE,
                                             flush_abnormal(e));
        x->peak_position = brickwall_push(x->peak_window, x->peak_position, BRICKWALL_DELAY, flush_abnormal(d));
        x->delay_positions[0] =
            brickwall_push(x->delay_left, x->delay_positions[0], BRICKWALL_DELAY, flush_abnormal(l));
        x->delay_positions[1] =
            brickwall_push(x->delay_right, x->delay_positions[1], BRICKWALL_DELAY, flush_abnormal(r));
        follower = flush_abnormal(e);
        follower_average = flush_abnormal(average);
    }

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
        brickwall_clamp(v, 1.0, 3000.0, "Maximum Release Time: 3000 ms", "Minimum Release Time: 1 ms");
}

static void brickwall_ceiling(t_brickwall *x, double v)
{
    x->ceiling_db = brickwall_clamp(v, -30.0, 0.0, "Maximum Output Ceiling Value: 0",
                                    "Minimum Output Ceiling Value: -30.0");
}

static void brickwall_thresh(t_brickwall *x, double v)
{
    x->threshold_db =
        brickwall_clamp(v, -30.0, 0.0, "Maximum Threshold Value: 0 db", "Minimum Threshold Value: -30.0");
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
    if (!x->peak_window || !x->average_window || !x->delay_left || !x->delay_right) {
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
    object_post(NULL, TILDEKIT_RULE_66);
    object_post(NULL, "brickwall~: look-ahead stereo maximiser, 480-sample delay, peak follower and average");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
}
