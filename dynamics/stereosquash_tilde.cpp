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
} t_stereosquash;

static t_class *stereosquash_class;

/* ---- DSP core ---- */

/* One-pole smoothing coefficient for a time constant in ms. */
static inline double squash_coefficient(double sample_rate, double ms)
{
    return exp(-1000.0 / (sample_rate * ms));
}

/* Static curve: output level for input level x (dB) with a soft knee of width w (dB).
   Sets *slew when the level sits close to the threshold and is not falling, the region where a
   gentler attack avoids pumping. */
static inline double squash_curve(double x, double threshold, double ratio, double w, double previous,
                                  int *slew)
{
    double d = x - threshold;
    if (2.0 * d < -w)
        return x;
    if (2.0 * fabs(d) <= w) {
        double e = d + w / 2.0;
        double y = flush_abnormal(x + (1.0 / ratio - 1.0) * e * e / (2.0 * w));
        if (2.0 * fabs(d) <= 1.8 && y >= previous)
            *slew = 1;
        return y;
    }
    return flush_abnormal(threshold + d / ratio);
}

/* Moves the smoothed reduction p toward the target t: release while the reduction falls,
   attack while it rises. */
static inline double squash_smooth(double p, double t, double att, double rel)
{
    double s;
    if (p > t)
        s = (1.0 - rel) * t + rel * p;
    else if (t > p)
        s = (1.0 - att) * t + att * p;
    else
        s = t;
    return flush_abnormal(s);
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

    if (x->bypass) {
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
    double att = squash_coefficient(sr, x->attack_ms);
    const double rel = squash_coefficient(sr, x->release_ms);
    const double w = 6.0 * x->knee_db + 0.01;
    const int use_sidechain = x->sidechain_connected != 0 && x->sidechain_enabled != 0;
    int slewed = 0;

    double s_l = x->left_smoothed_db;
    double s_r = x->right_smoothed_db;
    double prev_l = x->left_previous_curve_db;
    double prev_r = x->right_previous_curve_db;

    for (long i = 0; i < n; i++) {
        const double l = in_l[i];
        const double r = in_r[i];
        double x_l, x_r;
        if (use_sidechain) {
            x_l = x_r = flush_abnormal(level_db(in_s[i]));
        } else {
            x_l = flush_abnormal(level_db(l));
            x_r = flush_abnormal(level_db(r));
        }

        const double threshold = x->threshold_db;
        const double ratio = x->ratio;
        int slew = 0;
        const double y_l = squash_curve(x_l, threshold, ratio, w, prev_l, &slew);
        const double y_r = squash_curve(x_r, threshold, ratio, w, prev_r, &slew);
        if (slew && !slewed) {
            /* the longer attack holds for the rest of this block */
            att = squash_coefficient(sr, x->attack_ms + 2.0 * (x->slew - 1.0));
            slewed = 1;
        }

        const double g_l = x_l - y_l;
        const double g_r = x_r - y_r;
        double t;
        if (x->link_max)
            t = g_l > g_r ? g_l : g_r;
        else
            t = flush_abnormal((g_l + g_r) * 0.5);

        s_l = squash_smooth(s_l, t, att, rel);
        s_r = squash_smooth(s_r, t, att, rel);

        const double gain_l = exp(-s_l / 20.0 * ln10);
        const double gain_r = exp(-s_r / 20.0 * ln10);
        const double m = db_to_linear(x->makeup_db, ln10);
        out_l[i] = m * (l * gain_l);
        out_r[i] = m * (r * gain_r);
        out_g[i] = (gain_l + gain_r) * 0.5;

        prev_l = y_l;
        prev_r = y_r;
    }

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
    x->attack_ms = clamp_posted(v, 0.1, 1000.0, "Maximum Attack Time: 1000 ms", "Minimum Atack Time: 0.1 ms");
}

static void stereosquash_release(t_stereosquash *x, double v)
{
    x->release_ms =
        clamp_posted(v, 1.0, 3000.0, "Maximum Release Time: 3000 ms", "Minimum Release Time: 1 ms");
}

static void stereosquash_thresh(t_stereosquash *x, double v)
{
    x->threshold_db =
        clamp_posted(v, -80.0, 0.0, "Maximum Threshold Value: 0 db", "Minimum Threshold Value: -80 db");
}

static void stereosquash_knee(t_stereosquash *x, double v)
{
    x->knee_db = clamp_posted(v, 0.0, 12.0, "Maximum Knee Value: 12 db", "Minimum Knee Value: 0 db");
}

static void stereosquash_ratio(t_stereosquash *x, double v)
{
    x->ratio = clamp_posted(v, 1.0, 30.0, "Maximum Ratio Value: 30", "Minimum Ratio Value: 1");
}

static void stereosquash_slew(t_stereosquash *x, double v)
{
    x->slew = clamp_posted(v, 1.0, 150.0, "Maximum Slew Value: 150", "Minimum Slew Value: 1");
}

static void stereosquash_makeup(t_stereosquash *x, double v)
{
    x->makeup_db = clamp_posted(v, 0.0, 30.0, "Maximum Makeup Value: 30 db", "Minimum Makeup Value: 0 db");
}

static void stereosquash_sidechain(t_stereosquash *x, t_atom_long v)
{
    if (v) {
        object_post(NULL, "Sidechain is ON");
        x->sidechain_enabled = 1;
    } else {
        x->sidechain_enabled = 0;
    }
}

static void stereosquash_avgmax(t_stereosquash *x, t_atom_long v)
{
    /* kept as given; saturated only so that a wide integer cannot wrap to 0 */
    int64_t w = (int64_t)v;
    if (w > INT32_MAX)
        w = INT32_MAX;
    else if (w < INT32_MIN)
        w = INT32_MIN;
    x->link_max = (int32_t)w;
}

static void stereosquash_bypass(t_stereosquash *x, t_atom_long v)
{
    if (v) {
        object_post(NULL, "Bypass is ON");
        x->bypass = 1;
    } else {
        x->bypass = 0;
    }
}

static void stereosquash_reset(t_stereosquash *x)
{
    x->left_smoothed_db = 0.0;
    x->right_smoothed_db = 0.0;
    x->left_previous_curve_db = 0.0;
    x->right_previous_curve_db = 0.0;
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
    stereosquash_reset(x);
    x->sidechain_connected = 0;
    x->sidechain_enabled = 0;
    x->link_max = 0;
    x->bypass = 0;
    /* separate output buffers: an output never overwrites an input it shares a buffer with */
    x->x_obj.z_misc |= Z_NO_INPLACE;
    return x;
}

C74_EXTERN_C C74_EXPORT void ext_main(void *r)
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
