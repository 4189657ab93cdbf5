/* stereosquash~: stereo feed-forward compressor with a soft knee, a linked gain (average or
   maximum of the two channels' reductions), an optional sidechain, make-up gain and an attack
   slew that lengthens the attack near the threshold.
   Inlet 0: left signal; every message arrives here.
   Inlet 1: right signal.
   Inlet 2: sidechain signal, detected instead of the inputs when connected and `sidechain 1`.
   Outlet 0: left output.  Outlet 1: right output.
   Outlet 2: applied linear gain before make-up (1 = no reduction; 1 during `Bypass`). */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>
#include "tildekit.h"

typedef struct _stereosquash {
    t_pxobject x_obj;
    double sample_rate;            /* Hz */
    double attack_ms;              /* 0.1 .. 1000 ms */
    double release_ms;             /* 1 .. 3000 ms */
    double knee_db;                /* 0 .. 12 dB */
    double ratio;                  /* 1 .. 30, dB in above threshold per dB out */
    double threshold_db;           /* -80 .. 0 dB */
    double makeup_db;              /* 0 .. 30 dB */
    double slew;                   /* 1 .. 150, lengthens the attack near the threshold */
    double left_smoothed_db;       /* smoothed reduction, dB, positive = attenuation */
    double right_smoothed_db;
    double left_previous_curve_db; /* static-curve output of the previous sample, dB */
    double right_previous_curve_db;
    int16_t sidechain_connected;   /* inlet 2 carries a signal (from the last DSP compilation) */
    int32_t sidechain_enabled;     /* `sidechain`: 0 or 1 */
    int32_t link_max;              /* `avg/max`: 0 = average link, otherwise maximum link */
    int32_t bypass;                /* `Bypass`: 0 or 1 */
    uint32_t reset_requests;       /* counted up by `reset` */
    uint32_t resets_done;          /* reset_requests as the perform routine last carried it out */
} t_stereosquash;

static t_class *stereosquash_class;

/* ---- DSP core ---- */
#define SQUASH_CHUNK 64 /* samples per pass of the perform routine */

/* One-pole smoothing coefficient for a time constant in ms. */
static inline double squash_coefficient(double sample_rate, double ms)
{
    return exp(-1000.0 / (sample_rate * ms));
}

/* Static curve: output level for input level x (dB) with a soft knee of width w (dB).
   `knee_slope` is 1/ratio - 1 and `knee_span` 2w, both fixed for a block.
   Sets *slew when the level sits close to the threshold and is not falling, the region where a
   gentler attack avoids pumping.
   All three pieces are computed and the one that applies is selected: with program material
   the level crosses the knee at random, and a branch per piece would be mispredicted often. */
static inline double squash_curve(double x, double threshold, double ratio, double w, double knee_slope,
                                  double knee_span, double previous, int *slew)
{
    const double d = x - threshold;
    const double e = d + w / 2.0;
    const double y_knee = flush_abnormal(x + knee_slope * e * e / knee_span);
    const double y_above = flush_abnormal(threshold + d / ratio);
    const int below = 2.0 * d < -w;
    const int inside = 2.0 * fabs(d) <= w;
    *slew |= inside & (2.0 * fabs(d) <= 1.8) & (y_knee >= previous);
    const double y = inside ? y_knee : y_above;
    return below ? x : y;
}

/* a when c is non-zero, else b, bit for bit, through a mask rather than a branch. */
static inline double squash_pick(int c, double a, double b)
{
    uint64_t ua, ub;
    memcpy(&ua, &a, sizeof ua);
    memcpy(&ub, &b, sizeof ub);
    const uint64_t mask = (uint64_t)0 - (uint64_t)(c != 0);
    const uint64_t u = (ua & mask) | (ub & ~mask);
    double v;
    memcpy(&v, &u, sizeof v);
    return v;
}

/* Moves the smoothed reduction p toward the target t: release while the reduction falls,
   attack while it rises. Both moves are computed and one is picked: the target jitters around
   the smoothed value, so the direction is as good as random from one sample to the next. */
static inline double squash_smooth(double p, double t, double att, double rel)
{
    const double falling = (1.0 - rel) * t + rel * p;
    const double rising = (1.0 - att) * t + att * p;
    const double s = squash_pick(t > p, rising, t);
    return flush_abnormal(squash_pick(p > t, falling, s));
}


/* The smoothed reductions and the previous curve outputs back to their starting values. */
static inline void squash_clear_state(t_stereosquash *x)
{
    x->left_smoothed_db = 0.0;
    x->right_smoothed_db = 0.0;
    x->left_previous_curve_db = 0.0;
    x->right_previous_curve_db = 0.0;
}

/* ---- perform ---- */
static void stereosquash_perform64(t_object *ob, t_object *dsp64, double **ins, long numins, double **outs,
                                   long numouts, long n, long flags, void *userparam)
{
    t_stereosquash *x = (t_stereosquash *)ob;
    const double *in_l = ins[0];
    const double *in_r = ins[1];
    const double *in_s = ins[2];
    double *out_l = outs[0];
    double *out_r = outs[1];
    double *out_g = outs[2];

    /* `reset` only asks; the state is cleared here, where it is owned. A message may land while
       a block runs, and clearing the fields then would be undone when the block stores its
       state at the end. */
    const uint32_t resets = tk_load_u32(&x->reset_requests);
    if (resets != x->resets_done) {
        x->resets_done = resets;
        squash_clear_state(x);
    }

    if (tk_load_i32(&x->bypass)) {
        /* the state stays as it was, so processing resumes where it left off */
        for (long i = 0; i < n; i++) {
            out_l[i] = in_l[i];
            out_r[i] = in_r[i];
            out_g[i] = 1.0;
        }
        return;
    }

    const double ln10 = log(10.0);
    const double sr = x->sample_rate;
    const double attack_ms = tk_load(&x->attack_ms);
    const double slew_ms = 2.0 * (tk_load(&x->slew) - 1.0);
    double att = squash_coefficient(sr, attack_ms);
    const double rel = squash_coefficient(sr, tk_load(&x->release_ms));
    const double w = 6.0 * tk_load(&x->knee_db) + 0.01;
    const int use_sidechain = x->sidechain_connected != 0 && tk_load_i32(&x->sidechain_enabled) != 0;
    int slewed = 0;

    /* What the messages set is read once per block, and whatever is derived from it alone is
       computed once; a message landing while the block runs takes effect at the next one. */
    const double threshold = tk_load(&x->threshold_db);
    const double ratio = tk_load(&x->ratio);
    const double knee_slope = 1.0 / ratio - 1.0;
    const double knee_span = 2.0 * w;
    const int32_t link_max = tk_load_i32(&x->link_max);
    const double m = db_to_linear(tk_load(&x->makeup_db), ln10);

    double s_l = x->left_smoothed_db;
    double s_r = x->right_smoothed_db;
    double prev_l = x->left_previous_curve_db;
    double prev_r = x->right_previous_curve_db;
    /* The two reductions start equal (new and reset clear both) and then follow the same target
       with the same coefficients, so they stay equal bit for bit: one smoothing and one
       exponential then serve both channels. */
    const int linked = memcmp(&s_l, &s_r, sizeof s_l) == 0;

    /* The block runs in chunks, each in three passes: the levels (logarithms), the curve and
       smoothing (no library calls, so their values stay in registers), then the gains
       (exponentials) and outputs. Every sample sees the same operations in the same order as in
       one pass. */
    double level_l[SQUASH_CHUNK], level_r[SQUASH_CHUNK];
    double reduction_l[SQUASH_CHUNK], reduction_r[SQUASH_CHUNK];
    const double *lev_r = use_sidechain ? level_l : level_r;
    const double *red_r = linked ? reduction_l : reduction_r;

    for (long start = 0; start < n; start += SQUASH_CHUNK) {
        const long len = n - start < SQUASH_CHUNK ? n - start : SQUASH_CHUNK;
        const double *l = in_l + start;
        const double *r = in_r + start;

        if (use_sidechain) {
            const double *sc = in_s + start;
            for (long k = 0; k < len; k++)
                level_l[k] = flush_abnormal(level_db(sc[k]));
        } else {
            for (long k = 0; k < len; k++) {
                level_l[k] = flush_abnormal(level_db(l[k]));
                level_r[k] = flush_abnormal(level_db(r[k]));
            }
        }

        for (long k = 0; k < len; k++) {
            const double x_l = level_l[k];
            const double x_r = lev_r[k];
            int slew = 0;
            const double y_l = squash_curve(x_l, threshold, ratio, w, knee_slope, knee_span, prev_l, &slew);
            const double y_r = squash_curve(x_r, threshold, ratio, w, knee_slope, knee_span, prev_r, &slew);
            if (slew && !slewed) {
                /* the longer attack holds for the rest of this block */
                att = squash_coefficient(sr, attack_ms + slew_ms);
                slewed = 1;
            }

            const double g_l = x_l - y_l;
            const double g_r = x_r - y_r;
            double t;
            if (link_max)
                t = g_l > g_r ? g_l : g_r;
            else
                t = flush_abnormal((g_l + g_r) * 0.5);

            s_l = squash_smooth(s_l, t, att, rel);
            reduction_l[k] = s_l;
            if (!linked) {
                s_r = squash_smooth(s_r, t, att, rel);
                reduction_r[k] = s_r;
            }
            prev_l = y_l;
            prev_r = y_r;
        }

        double *o_l = out_l + start, *o_r = out_r + start, *o_g = out_g + start;
        for (long k = 0; k < len; k++) {
            const double gain_l = exp(-reduction_l[k] / 20.0 * ln10);
            const double gain_r = linked ? gain_l : exp(-red_r[k] / 20.0 * ln10);
            o_l[k] = m * (l[k] * gain_l);
            o_r[k] = m * (r[k] * gain_r);
            o_g[k] = (gain_l + gain_r) * 0.5;
        }
    }
    if (linked)
        s_r = s_l;

    x->left_smoothed_db = s_l;
    x->right_smoothed_db = s_r;
    x->left_previous_curve_db = prev_l;
    x->right_previous_curve_db = prev_r;
}

/* ---- DSP compilation ---- */
static void stereosquash_dsp64(t_stereosquash *x, t_object *dsp64, short *count, double samplerate,
                               long maxvectorsize, long flags)
{
    if (samplerate != x->sample_rate)
        x->sample_rate = samplerate;
    x->sidechain_connected = count[2];
    object_method(dsp64, gensym("dsp_add64"), x, stereosquash_perform64, 0, NULL);
}

/* ---- messages ---- */
static void stereosquash_attack(t_stereosquash *x, double v)
{
    tk_store(&x->attack_ms, clamp_posted(v, 0.1, 1000.0, "Maximum Attack Time: 1000 ms", "Minimum Atack Time: 0.1 ms"));
}

static void stereosquash_release(t_stereosquash *x, double v)
{
    tk_store(&x->release_ms,
             clamp_posted(v, 1.0, 3000.0, "Maximum Release Time: 3000 ms", "Minimum Release Time: 1 ms"));
}

static void stereosquash_thresh(t_stereosquash *x, double v)
{
    tk_store(&x->threshold_db,
             clamp_posted(v, -80.0, 0.0, "Maximum Threshold Value: 0 db", "Minimum Threshold Value: -80 db"));
}

static void stereosquash_knee(t_stereosquash *x, double v)
{
    tk_store(&x->knee_db, clamp_posted(v, 0.0, 12.0, "Maximum Knee Value: 12 db", "Minimum Knee Value: 0 db"));
}

static void stereosquash_ratio(t_stereosquash *x, double v)
{
    tk_store(&x->ratio, clamp_posted(v, 1.0, 30.0, "Maximum Ratio Value: 30", "Minimum Ratio Value: 1"));
}

static void stereosquash_slew(t_stereosquash *x, double v)
{
    tk_store(&x->slew, clamp_posted(v, 1.0, 150.0, "Maximum Slew Value: 150", "Minimum Slew Value: 1"));
}

static void stereosquash_makeup(t_stereosquash *x, double v)
{
    tk_store(&x->makeup_db, clamp_posted(v, 0.0, 30.0, "Maximum Makeup Value: 30 db", "Minimum Makeup Value: 0 db"));
}

static void stereosquash_sidechain(t_stereosquash *x, t_atom_long v)
{
    if (v)
        object_post(NULL, "Sidechain is ON");
    tk_store_i32(&x->sidechain_enabled, v ? 1 : 0);
}

static void stereosquash_avgmax(t_stereosquash *x, t_atom_long v)
{
    /* kept as given; saturated only so that a wide integer cannot wrap to 0 */
    int64_t w = (int64_t)v;
    if (w > INT32_MAX)
        w = INT32_MAX;
    else if (w < INT32_MIN)
        w = INT32_MIN;
    tk_store_i32(&x->link_max, (int32_t)w);
}

static void stereosquash_bypass(t_stereosquash *x, t_atom_long v)
{
    if (v)
        object_post(NULL, "Bypass is ON");
    tk_store_i32(&x->bypass, v ? 1 : 0);
}

/* Carried out at the start of the next block (also during Bypass, so the state is clear when
   processing resumes). */
static void stereosquash_reset(t_stereosquash *x)
{
    tk_count_up(&x->reset_requests);
}

/* ---- new ---- */
static void *stereosquash_new(void)
{
    t_stereosquash *x = (t_stereosquash *)object_alloc(stereosquash_class);
    if (!x)
        return NULL;
    z_dsp_setup((t_pxobject *)x, 3);
    outlet_new((t_object *)x, "signal"); /* gain (rightmost) */
    outlet_new((t_object *)x, "signal"); /* right */
    outlet_new((t_object *)x, "signal"); /* left */
    x->sample_rate = sys_getsr();
    x->attack_ms = 10.0;
    x->release_ms = 80.0;
    x->knee_db = 0.0;
    x->ratio = 4.0;
    x->threshold_db = 0.0;
    x->makeup_db = 0.0;
    x->slew = 1.0;
    squash_clear_state(x);
    x->reset_requests = 0;
    x->resets_done = 0;
    x->sidechain_connected = 0;
    x->sidechain_enabled = 0;
    x->link_max = 0;
    x->bypass = 0;
    /* separate output buffers: an output never overwrites an input it shares a buffer with */
    x->x_obj.z_misc |= Z_NO_INPLACE;
    return x;
}

extern "C" C74_EXPORT void ext_main(void *r)
{
    t_class *c = class_new("stereosquash~", (method)stereosquash_new, (method)z_dsp_free,
                           sizeof(t_stereosquash), NULL, 0);
    class_addmethod(c, (method)stereosquash_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(c, (method)stereosquash_attack, "attack", A_FLOAT, 0);
    class_addmethod(c, (method)stereosquash_release, "release", A_FLOAT, 0);
    class_addmethod(c, (method)stereosquash_thresh, "thresh", A_FLOAT, 0);
    class_addmethod(c, (method)stereosquash_knee, "knee", A_FLOAT, 0);
    class_addmethod(c, (method)stereosquash_ratio, "ratio", A_FLOAT, 0);
    class_addmethod(c, (method)stereosquash_slew, "slew", A_FLOAT, 0);
    class_addmethod(c, (method)stereosquash_makeup, "makeup", A_FLOAT, 0);
    class_addmethod(c, (method)stereosquash_sidechain, "sidechain", A_LONG, 0);
    class_addmethod(c, (method)stereosquash_avgmax, "avg/max", A_LONG, 0);
    class_addmethod(c, (method)stereosquash_bypass, "Bypass", A_LONG, 0);
    class_addmethod(c, (method)stereosquash_reset, "reset", 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    stereosquash_class = c;
    object_post(NULL, TILDEKIT_RULE_66);
    object_post(NULL, "stereosquash~: feed-forward stereo compressor, soft knee, linked gain, sidechain");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
}
