/* headdelay~: places a mono source between two ears by the interaural time difference
   alone. From the source angle, its distance and the distance between the ears it works
   out the two path lengths, and delays the far ear's output by their difference through
   a short ring read with third-order Lagrange interpolation. Both outputs keep unity gain.
   Inlet 0: mono signal; `Angle`, `Ears_dist`, `Object_dist`.
   Outlet 0: left ear.  Outlet 1: right ear. */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>
#include "tildekit.h"

/* The farthest tap is the interaural delay plus three. 20 cm ears at the highest rate we
   accept (192 kHz) give about 112 samples, so 128 entries keep every tap inside the ring
   without wrapping onto newer samples. */
#define HEADDELAY_RING_SIZE 128
#define HEADDELAY_RING_MASK (HEADDELAY_RING_SIZE - 1)
/* Delays are limited to this many samples before they become tap indices. */
#define HEADDELAY_MAX_DELAY ((double)(HEADDELAY_RING_SIZE - 4))

#define HEADDELAY_ANGLE_DEFAULT 90.0
#define HEADDELAY_EARS_DEFAULT 17.0
#define HEADDELAY_OBJECT_DEFAULT 100.0

typedef struct _headdelay {
    t_pxobject x_obj;
    double angle_deg;          /* source angle, degrees, 0 (left) .. 90 (ahead) .. 180 (right) */
    double ear_distance_cm;    /* distance between the ears, cm, 15 .. 20 */
    double object_distance_cm; /* head centre to source, cm, 100 .. 5000 */
    int32_t write_counter;     /* samples written into the ring, modulo 2^32 */
    double *delay_ring;        /* the last HEADDELAY_RING_SIZE input samples */
    double samples_per_metre;  /* clamped rate / speed of sound */
    double sample_rate;        /* Hz, as last given by the host */
} t_headdelay;

static t_class *headdelay_class;

/* ---- DSP core ---- */

/* Sample rate (clamped to 1 .. 192000 Hz, NaN taken as 1) divided by about 343 m/s. */
static inline double headdelay_samples_per_metre(double sr)
{
    if (!(sr >= 1.0))
        sr = 1.0;
    if (sr > 192000.0)
        sr = 192000.0;
    return sr * 0.00291545;
}

/* Interpolator for one ear: taps at delays n .. n+3 and their products. The tap weights
   are a0, a1*g, a2*g and a3*g (Lagrange at position f0 + 1), so the ear hears the input
   T + 1 samples late. */
typedef struct _headdelay_tap {
    uint32_t n;
    double a0, a1, a2, a3, g;
} t_headdelay_tap;

typedef struct _headdelay_tapf {
    uint32_t n;
    float a0, a1, a2, a3, g;
} t_headdelay_tapf;

static inline t_headdelay_tap headdelay_lagrange_weights(double t)
{
    t_headdelay_tap w;
    /* limited in floating point before the conversion, so no delay can index past the ring */
    if (!(t >= 0.0))
        t = 0.0;
    if (t > HEADDELAY_MAX_DELAY)
        t = HEADDELAY_MAX_DELAY;
    w.n = (uint32_t)(t + 0.000005);
    double n = (double)w.n;
    double f0 = t - n, f1 = t - (n + 1.0), f2 = t - (n + 2.0);
    w.a0 = (-f1 * 0.5) * (-f0) * (-f2 * 0.333333);
    w.a1 = (-f2 * 0.5) * (-f1);
    w.a2 = (-f2) * f0 * 0.5;
    w.a3 = f1 * f0 * 0.166667;
    w.g = f0 + 1.0;
    return w;
}

static inline t_headdelay_tapf headdelay_lagrange_weightsf(float t)
{
    t_headdelay_tapf w;
    if (!(t >= 0.0f))
        t = 0.0f;
    if (t > (float)HEADDELAY_MAX_DELAY)
        t = (float)HEADDELAY_MAX_DELAY;
    w.n = (uint32_t)(t + 0.000005f);
    float n = (float)w.n;
    float f0 = t - n, f1 = t - (n + 1.0f), f2 = t - (n + 2.0f);
    w.a0 = (-f1 * 0.5f) * (-f0) * (-f2 * 0.333333f);
    w.a1 = (-f2 * 0.5f) * (-f1);
    w.a2 = (-f2) * f0 * 0.5f;
    w.a3 = f1 * f0 * 0.166667f;
    w.g = f0 + 1.0f;
    return w;
}

/* Signed delay difference in samples, left path minus right path: positive delays the left
   ear. The ears sit at +-b/2 from the centre; lengths in cm are converted to metres. */
static inline double headdelay_difference(double angle, double b, double d, double spm)
{
    double c = cos(angle * 0.0174533);
    double bb = b * b;
    double p1 = sqrt((d * 0.0001 - c * b * 0.0001) * d + bb * 0.000025);
    double p2 = sqrt((c * b + d) * d * 0.0001 + bb * 0.000025);
    return (p1 - p2) * spm;
}

static inline float headdelay_differencef(float angle, float b, float d, float spm)
{
    float c = cosf(angle * 0.0174533f);
    float bb = b * b;
    float p1 = sqrtf((d * 0.0001f - c * b * 0.0001f) * d + bb * 0.000025f);
    float p2 = sqrtf((c * b + d) * d * 0.0001f + bb * 0.000025f);
    return (p1 - p2) * spm;
}

/* One ear's output from the ring, after the current input has been written at wc. */
static inline double headdelay_read(const double *ring, uint32_t wc, const t_headdelay_tap *w)
{
    double x0 = ring[(wc - w->n) & HEADDELAY_RING_MASK];
    double x1 = ring[(wc - w->n - 1u) & HEADDELAY_RING_MASK];
    double x2 = ring[(wc - w->n - 2u) & HEADDELAY_RING_MASK];
    double x3 = ring[(wc - w->n - 3u) & HEADDELAY_RING_MASK];
    return (w->a2 * x2 + w->a1 * x1 + w->a3 * x3) * w->g + w->a0 * x0;
}

static inline float headdelay_readf(const double *ring, uint32_t wc, const t_headdelay_tapf *w)
{
    float x0 = (float)ring[(wc - w->n) & HEADDELAY_RING_MASK];
    float x1 = (float)ring[(wc - w->n - 1u) & HEADDELAY_RING_MASK];
    float x2 = (float)ring[(wc - w->n - 2u) & HEADDELAY_RING_MASK];
    float x3 = (float)ring[(wc - w->n - 3u) & HEADDELAY_RING_MASK];
    return (w->a2 * x2 + w->a1 * x1 + w->a3 * x3) * w->g + w->a0 * x0;
}

/* ---- perform ---- */
static void headdelay_perform64(t_object *ob, t_object *dsp64, double **ins, long numins, double **outs,
                                long numouts, long n, long flags, void *userparam)
{
    t_headdelay *x = (t_headdelay *)ob;
    const double *in = ins[0];
    double *left = outs[0];
    double *right = outs[1];
    double *ring = x->delay_ring;

    double diff = headdelay_difference(tk_load(&x->angle_deg), tk_load(&x->ear_distance_cm),
                                       tk_load(&x->object_distance_cm), x->samples_per_metre);
    t_headdelay_tap wl = headdelay_lagrange_weights(diff > 0.0 ? diff : 0.0);
    t_headdelay_tap wr = headdelay_lagrange_weights(-diff > 0.0 ? -diff : 0.0);

    uint32_t wc = (uint32_t)x->write_counter;
    for (long i = 0; i < n; i++) {
        ring[wc & HEADDELAY_RING_MASK] = in[i];
        left[i] = headdelay_read(ring, wc, &wl);
        right[i] = headdelay_read(ring, wc, &wr);
        wc++;
    }
    x->write_counter = (int32_t)wc;
}

/* Legacy chain: float buffers, delay and weights in single precision; the ring stays double. */
static t_int *headdelay_perform(t_int *w)
{
    t_headdelay *x = (t_headdelay *)w[1];
    const float *in = (const float *)w[2];
    float *left = (float *)w[3];
    float *right = (float *)w[4];
    long n = (long)w[5];
    double *ring = x->delay_ring;

    float diff = headdelay_differencef((float)tk_load(&x->angle_deg), (float)tk_load(&x->ear_distance_cm),
                                       (float)tk_load(&x->object_distance_cm), (float)x->samples_per_metre);
    t_headdelay_tapf wl = headdelay_lagrange_weightsf(diff > 0.0f ? diff : 0.0f);
    t_headdelay_tapf wr = headdelay_lagrange_weightsf(-diff > 0.0f ? -diff : 0.0f);

    uint32_t wc = (uint32_t)x->write_counter;
    for (long i = 0; i < n; i++) {
        ring[wc & HEADDELAY_RING_MASK] = (double)in[i];
        left[i] = headdelay_readf(ring, wc, &wl);
        right[i] = headdelay_readf(ring, wc, &wr);
        wc++;
    }
    x->write_counter = (int32_t)wc;
    return w + 6;
}

/* ---- DSP compilation ---- */
static void headdelay_set_rate(t_headdelay *x, double sr)
{
    if (sr != x->sample_rate) {
        x->sample_rate = sr;
        x->samples_per_metre = headdelay_samples_per_metre(sr);
    }
}

static void headdelay_dsp64(t_headdelay *x, t_object *dsp64, short *count, double samplerate,
                            long maxvectorsize, long flags)
{
    headdelay_set_rate(x, samplerate);
    object_method(dsp64, gensym("dsp_add64"), x, headdelay_perform64, 0, NULL);
}

static void headdelay_dsp(t_headdelay *x, t_signal **sp, short *count)
{
    headdelay_set_rate(x, (double)sp[0]->s_sr);
    dsp_add(headdelay_perform, 5, x, sp[0]->s_vec, sp[1]->s_vec, sp[2]->s_vec, sp[0]->s_n);
}

/* ---- messages ---- */
/* A value outside the range (NaN included) restores the default and says so; the limits
   themselves are taken. */
static void headdelay_angle(t_headdelay *x, double v)
{
    if (!(v >= 0.0 && v <= 180.0)) {
        object_post(NULL, "Default Angle value: 90");
        v = HEADDELAY_ANGLE_DEFAULT;
    }
    tk_store(&x->angle_deg, v);
}

static void headdelay_ears_dist(t_headdelay *x, double v)
{
    if (!(v >= 15.0 && v <= 20.0)) {
        object_post(NULL, "Default Ears Distance value: 17 cm");
        v = HEADDELAY_EARS_DEFAULT;
    }
    tk_store(&x->ear_distance_cm, v);
}

static void headdelay_object_dist(t_headdelay *x, double v)
{
    if (!(v >= 100.0 && v <= 5000.0)) {
        object_post(NULL, "Default Object Distance value: 100");
        v = HEADDELAY_OBJECT_DEFAULT;
    }
    tk_store(&x->object_distance_cm, v);
}

static const char *const headdelay_outlet_text[] = {
    "(signal) Left Output",
    "(signal) Right Output",
};

static void headdelay_assist(t_headdelay *x, void *b, long io, long index, char *s)
{
    if (io == ASSIST_INLET) {
        sprintf(s, "(signal) Mono Input");
    } else if (io == ASSIST_OUTLET) {
        if (index >= 0 && index < 2)
            sprintf(s, "%s", headdelay_outlet_text[index]);
    }
}

/* ---- new / free ---- */
static void headdelay_free(t_headdelay *x)
{
    z_dsp_free((t_pxobject *)x);
    if (x->delay_ring) {
        sysmem_freeptr(x->delay_ring);
        x->delay_ring = NULL;
    }
}

static void *headdelay_new(t_symbol *s, long argc, t_atom *argv)
{
    t_headdelay *x = (t_headdelay *)object_alloc(headdelay_class);
    if (!x)
        return NULL;
    x->delay_ring = NULL;
    z_dsp_setup((t_pxobject *)x, 1);
    outlet_new((t_object *)x, "signal");
    outlet_new((t_object *)x, "signal");
    x->sample_rate = (double)sys_getsr();
    x->samples_per_metre = headdelay_samples_per_metre(x->sample_rate);
    x->angle_deg = HEADDELAY_ANGLE_DEFAULT;
    x->ear_distance_cm = HEADDELAY_EARS_DEFAULT;
    x->object_distance_cm = HEADDELAY_OBJECT_DEFAULT;
    x->write_counter = 0;
    x->x_obj.z_misc |= Z_NO_INPLACE;
    x->delay_ring = (double *)sysmem_newptrclear(HEADDELAY_RING_SIZE * sizeof(double));
    if (!x->delay_ring) {
        /* refuse the box: the free routine gives back what was taken, then the record goes */
        object_error(NULL, "headdelay~: out of memory");
        freeobject((t_object *)x);
        return NULL;
    }
    return x;
}

extern "C" C74_EXPORT int main(void)
{
    t_class *c = class_new("headdelay~", (method)headdelay_new, (method)headdelay_free,
                           sizeof(t_headdelay), NULL, A_GIMME, 0);
    class_addmethod(c, (method)headdelay_dsp, "dsp", A_CANT, 0);
    class_addmethod(c, (method)headdelay_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(c, (method)headdelay_angle, "Angle", A_FLOAT, 0);
    class_addmethod(c, (method)headdelay_ears_dist, "Ears_dist", A_FLOAT, 0);
    class_addmethod(c, (method)headdelay_object_dist, "Object_dist", A_FLOAT, 0);
    class_addmethod(c, (method)headdelay_assist, "assist", A_CANT, 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    headdelay_class = c;
    object_post(NULL, TILDEKIT_RULE_74);
    object_post(NULL, "headdelay~: interaural time-difference panner, Lagrange-interpolated delay");
    object_post(NULL, "headdelay~ default values : { Angle(0 - 180) : 90, Ears_dist(15 - 20) : 17, "
                      "Object_dist(100 - 5000) : 100 }");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
    return 0;
}
