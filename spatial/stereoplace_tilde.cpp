/* stereoplace~: places a stereo pair between the two outputs with a constant-power
   (square-root) balance law, one position from fully left through centre to fully right,
   and smooths each output with a one-pole low-pass whose time constant is the
   interpolation time, so that position changes do not click.
   Inlet 0: left signal; `int_time`, `pan`.  Inlet 1: right signal.
   Outlet 0: left output.  Outlet 1: right output. */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>
#include "tildekit.h"

#define STEREOPLACE_TIME_DEFAULT 1.0
#define STEREOPLACE_PAN_DEFAULT 0.5

typedef struct _stereoplace {
    t_pxobject x_obj;
    double interp_time_ms;      /* smoothing time constant, ms, 0 .. 10 */
    double interp_time_s;       /* the same in seconds */
    double pan_position;        /* 0 left, 0.5 centre, 1 right */
    double *left_output_state;  /* [0] current, [1] previous left output */
    double *right_output_state; /* [0] current, [1] previous right output */
    double sample_period;       /* s, from the host rate at creation (clamped to 1 .. 192000 Hz) */
} t_stereoplace;

static t_class *stereoplace_class;

/* ---- DSP core ---- */

/* Per-block mixing: the four balance gains and the smoother's pole and input factor. */
typedef struct _stereoplace_mix {
    double gll, grl, glr, grr; /* input L/R to output L, input L/R to output R */
    double c, m;               /* pole, input factor (1 - c) / 2 */
} t_stereoplace_mix;

typedef struct _stereoplace_mixf {
    float gll, grl, glr, grr;
    float c, m;
} t_stereoplace_mixf;

static inline double stereoplace_period(double sr)
{
    if (!(sr >= 1.0))
        sr = 1.0;
    if (sr > 192000.0)
        sr = 192000.0;
    return 1.0 / sr;
}

/* min(1, v) and max(0, v) as the library's fmin/fmax give them, NaN included (the constant
   comes back), but inline: d = 2 x position is finite, so no zero of one sign meets the other. */
static inline double stereoplace_min1(double v) { return v < 1.0 ? v : 1.0; }
static inline double stereoplace_max0(double v) { return v > 0.0 ? v : 0.0; }
static inline float stereoplace_min1f(float v) { return v < 1.0f ? v : 1.0f; }
static inline float stereoplace_max0f(float v) { return v > 0.0f ? v : 0.0f; }

static inline t_stereoplace_mix stereoplace_mix(double period, double time_s, double pan)
{
    t_stereoplace_mix k;
    /* a zero time constant makes the exponent minus infinity: no smoothing */
    k.c = time_s > 0.0 ? exp(-period / time_s) : 0.0;
    double d = 2.0 * pan;
    k.gll = sqrt(stereoplace_min1(2.0 - d));
    k.grl = sqrt(stereoplace_max0(1.0 - d));
    k.glr = sqrt(stereoplace_max0(d - 1.0));
    k.grr = sqrt(stereoplace_min1(d));
    k.m = (1.0 - k.c) * 0.5;
    return k;
}

static inline t_stereoplace_mixf stereoplace_mixf(float period, float time_s, float pan)
{
    t_stereoplace_mixf k;
    k.c = time_s > 0.0f ? expf(-period / time_s) : 0.0f;
    float d = 2.0f * pan;
    k.gll = sqrtf(stereoplace_min1f(2.0f - d));
    k.grl = sqrtf(stereoplace_max0f(1.0f - d));
    k.glr = sqrtf(stereoplace_max0f(d - 1.0f));
    k.grr = sqrtf(stereoplace_min1f(d));
    k.m = (1.0f - k.c) * 0.5f;
    return k;
}

/* ---- perform ---- */
static void stereoplace_perform64(t_object *ob, t_object *dsp64, double **ins, long numins, double **outs,
                                  long numouts, long n, long flags, void *userparam)
{
    t_stereoplace *x = (t_stereoplace *)ob;
    const double *inl = ins[0];
    const double *inr = ins[1];
    double *outl = outs[0];
    double *outr = outs[1];
    t_stereoplace_mix k = stereoplace_mix(x->sample_period, tk_load(&x->interp_time_s), tk_load(&x->pan_position));
    double yl = x->left_output_state[0], yl1 = x->left_output_state[1];
    double yr = x->right_output_state[0], yr1 = x->right_output_state[1];

    for (long i = 0; i < n; i++) {
        double l = inl[i], r = inr[i];
        yl1 = yl;
        yr1 = yr;
        yl = (l * k.gll + r * k.grl) * k.m + k.c * yl1;
        yr = (l * k.glr + r * k.grr) * k.m + k.c * yr1;
        outl[i] = yl;
        outr[i] = yr;
    }
    /* through the guard, so a NaN or infinity that reached the smoother does not stay there */
    x->left_output_state[0] = flush_denormal(yl);
    x->left_output_state[1] = flush_denormal(yl1);
    x->right_output_state[0] = flush_denormal(yr);
    x->right_output_state[1] = flush_denormal(yr1);
}

/* Legacy chain: pole, gains and mixing in single precision; the states stay double. */
static t_int *stereoplace_perform(t_int *w)
{
    t_stereoplace *x = (t_stereoplace *)w[1];
    const float *inl = (const float *)w[2];
    const float *inr = (const float *)w[3];
    float *outl = (float *)w[4];
    float *outr = (float *)w[5];
    long n = (long)w[6];
    t_stereoplace_mixf k = stereoplace_mixf((float)x->sample_period, (float)tk_load(&x->interp_time_s),
                                            (float)tk_load(&x->pan_position));
    float yl = (float)x->left_output_state[0], yl1 = (float)x->left_output_state[1];
    float yr = (float)x->right_output_state[0], yr1 = (float)x->right_output_state[1];

    for (long i = 0; i < n; i++) {
        float l = inl[i], r = inr[i];
        yl1 = yl;
        yr1 = yr;
        yl = (l * k.gll + r * k.grl) * k.m + k.c * yl1;
        yr = (l * k.glr + r * k.grr) * k.m + k.c * yr1;
        outl[i] = yl;
        outr[i] = yr;
    }
    x->left_output_state[0] = flush_denormal((double)yl);
    x->left_output_state[1] = flush_denormal((double)yl1);
    x->right_output_state[0] = flush_denormal((double)yr);
    x->right_output_state[1] = flush_denormal((double)yr1);
    return w + 7;
}

/* ---- DSP compilation ---- */
/* The sample period stays as it was at creation. */
static void stereoplace_dsp64(t_stereoplace *x, t_object *dsp64, short *count, double samplerate,
                              long maxvectorsize, long flags)
{
    object_method(dsp64, gensym("dsp_add64"), x, stereoplace_perform64, 0, NULL);
}

static void stereoplace_dsp(t_stereoplace *x, t_signal **sp, short *count)
{
    dsp_add(stereoplace_perform, 6, x, sp[0]->s_vec, sp[1]->s_vec, sp[2]->s_vec, sp[3]->s_vec,
            sp[0]->s_n);
}

/* ---- messages ---- */
/* A value outside the range (NaN included) restores the default and says so; the limits
   themselves are taken. */
static void stereoplace_int_time(t_stereoplace *x, double v)
{
    if (!(v >= 0.0 && v <= 10.0)) {
        object_post(NULL, "Default Interpolation Time value: 1");
        v = STEREOPLACE_TIME_DEFAULT;
    }
    tk_store(&x->interp_time_ms, v);
    tk_store(&x->interp_time_s, v / 1000.0);
}

static void stereoplace_pan(t_stereoplace *x, double v)
{
    if (!(v >= 0.0 && v <= 1.0)) {
        object_post(NULL, "Default Pan Position value: 0.5");
        v = STEREOPLACE_PAN_DEFAULT;
    }
    tk_store(&x->pan_position, v);
}

static const char *const stereoplace_inlet_text[] = {
    "(signal) Stereo Input Left",
    "(signal) Stereo Input Right",
};

static const char *const stereoplace_outlet_text[] = {
    "(signal) Left Output",
    "(signal) Right Output",
};

static void stereoplace_assist(t_stereoplace *x, void *b, long io, long index, char *s)
{
    if (index < 0 || index >= 2)
        return;
    if (io == ASSIST_INLET)
        sprintf(s, "%s", stereoplace_inlet_text[index]);
    else if (io == ASSIST_OUTLET)
        sprintf(s, "%s", stereoplace_outlet_text[index]);
}

/* ---- new / free ---- */
static void stereoplace_free(t_stereoplace *x)
{
    z_dsp_free((t_pxobject *)x);
    if (x->left_output_state) {
        sysmem_freeptr(x->left_output_state);
        x->left_output_state = NULL;
    }
    if (x->right_output_state) {
        sysmem_freeptr(x->right_output_state);
        x->right_output_state = NULL;
    }
}

static void *stereoplace_new(t_symbol *s, long argc, t_atom *argv)
{
    t_stereoplace *x = (t_stereoplace *)object_alloc(stereoplace_class);
    if (!x)
        return NULL;
    x->left_output_state = NULL;
    x->right_output_state = NULL;
    z_dsp_setup((t_pxobject *)x, 2);
    outlet_new((t_object *)x, "signal");
    outlet_new((t_object *)x, "signal");
    x->sample_period = stereoplace_period((double)sys_getsr());
    x->interp_time_ms = STEREOPLACE_TIME_DEFAULT;
    x->interp_time_s = STEREOPLACE_TIME_DEFAULT / 1000.0;
    x->pan_position = STEREOPLACE_PAN_DEFAULT;
    x->x_obj.z_misc |= Z_NO_INPLACE;
    x->left_output_state = (double *)sysmem_newptrclear(2 * sizeof(double));
    x->right_output_state = (double *)sysmem_newptrclear(2 * sizeof(double));
    if (!x->left_output_state || !x->right_output_state) {
        /* refuse the box: the free routine gives back what was taken, then the record goes */
        object_error(NULL, "stereoplace~: out of memory");
        freeobject((t_object *)x);
        return NULL;
    }
    return x;
}

extern "C" C74_EXPORT int main(void)
{
    t_class *c = class_new("stereoplace~", (method)stereoplace_new, (method)stereoplace_free,
                           sizeof(t_stereoplace), NULL, A_GIMME, 0);
    class_addmethod(c, (method)stereoplace_dsp, "dsp", A_CANT, 0);
    class_addmethod(c, (method)stereoplace_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(c, (method)stereoplace_int_time, "int_time", A_FLOAT, 0);
    class_addmethod(c, (method)stereoplace_pan, "pan", A_FLOAT, 0);
    class_addmethod(c, (method)stereoplace_assist, "assist", A_CANT, 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    stereoplace_class = c;
    object_post(NULL, TILDEKIT_RULE_74);
    object_post(NULL, "stereoplace~: constant-power stereo panner with one-pole output smoothing");
    object_post(NULL, "stereoplace~ default values : { Interpolation Time(0 - 10) : 1, Pan Position(0 - 1) : 0.5 }");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
    return 0;
}
