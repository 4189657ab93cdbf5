/* bandres~: two-pole resonant band-pass set by a centre frequency in hertz and a Q. Its
   coefficients come from a cheap polynomial cosine, so that signal controls can retune it at
   every sample.
   Inlet 0: signal to filter; `clear` of the state.
   Inlet 1: centre frequency in hertz, as a signal (read at every sample) or a number.
   Inlet 2: Q, the filter's sharpness, as a signal (read at every sample) or a number.
   Outlet 0: the filtered signal. */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>
#include "tildekit.h"

/* Coefficient-and-state block: the states first, then the coefficients. */
typedef struct _bandres_block {
    double x1;    /* last internal value */
    double x2;    /* the one before */
    double coef1; /* 2 r cos(w) */
    double coef2; /* -r^2 */
    double gain;  /* output scale, 2 when the resonance is off */
} t_bandres_block;

typedef struct _bandres {
    t_pxobject x_obj;
    double centre_frequency; /* Hz, 0.001 or more (anything lower is stored as 10) */
    double q;                /* 0 or more */
    double sample_rate;      /* Hz, from the host */
    t_bandres_block storage; /* reached through `block` only */
    t_bandres_block *block;  /* points at `storage` */
    /* Messages only ask; the perform routine, which alone writes the state and the
       coefficients, acts at the start of its next block. A message may land while a block
       runs: a state cleared from there would be overwritten when the block stores its own,
       and coefficients retuned from there could be taken half old, half new. */
    double frequency_asked;    /* the last number at the frequency inlet */
    double q_asked;            /* the last number at the Q inlet */
    double state_coef1, state_coef2, state_gain; /* the coefficients the memory was last used with */
    t_tk_peaks peaks; /* input and output peaks over quarter-second windows: the yardstick for a change */
    uint32_t frequency_requests, frequencies_done; /* numbers received / acted on (wrap) */
    uint32_t q_requests, qs_done;
    uint32_t clear_requests, clears_done;
} t_bandres;

static t_class *bandres_class;

/* ---- DSP core ---- */
static const double bandres_two_pi = 6.283185307179586;
static const double bandres_half_pi = 1.5707963267948966;
/* 1/24 and 1/720 as single-precision values, widened */
static const double bandres_c4 = 0.0416666679084301;
static const double bandres_c6 = 0.0013888889225199819;

/* cos(w) by its Taylor polynomial up to w^6 within +-pi/2, 0 outside: cheap enough to run at
   every sample. */
static inline double bandres_cos(double w)
{
    if (w >= -bandres_half_pi && w <= bandres_half_pi) {
        double g = w * w;
        return ((g * g * bandres_c4 - g * g * g * bandres_c6) - g * 0.5) + 1.0;
    }
    return 0.0;
}

/* The coefficient routine, the one place the centre frequency and Q are limited: a frequency
   below 0.001 Hz (or NaN) becomes 10 Hz, a Q below 0 (or NaN) becomes 0. The limited values
   are written back through f and q. A Q below 0.001, or a bandwidth w/Q above 1, turns the
   resonance off (r = 0): the output is then twice the input. */
static inline void bandres_coefficients(double *f, double *q, double sr, t_bandres_block *b)
{
    if (!(*f >= 0.001))
        *f = 10.0;
    if (!(*q >= 0.0))
        *q = 0.0;
    double w = (*f * bandres_two_pi) / sr;
    double oneminusr = 1.0;
    if (!(*q < 0.001)) {
        oneminusr = w / *q;
        if (oneminusr > 1.0)
            oneminusr = 1.0;
    }
    double cosw = bandres_cos(w);
    double r = 1.0 - oneminusr;
    /* with the resonance off, r * w is 0 even when w overflows to infinity (an infinite or
       enormous frequency), where the product itself would make the gain NaN for good */
    double rw = r != 0.0 ? r * w : 0.0;
    b->coef1 = (cosw * 2.0) * r;
    b->coef2 = -(r * r);
    b->gain = (rw + oneminusr) * (oneminusr * 2.0);
}

/* How far the memory may release beyond what the filter is doing: at a change of setting the
   filter goes on with the memory it has (a jump of an octave or two, a sweep at any speed, any
   Q from 0.5 to 50 gives the plain recursion's output), unless the memory would release more
   than this many times the larger of the recent output peak and the input's peak through the
   new setting. Ordinary moves come to at most about 32 times by the estimate below (two
   octaves up at Q 0.5 from a constant input; 12 times from a sine at the old centre, whatever
   the Q), the bursts it is there for to 100 times and far beyond. */
static const double bandres_burst_margin = 64.0;

/* The memory at a change to the coefficients c1, c2, g. The recursion runs on the input
   unscaled, so its memory holds the input over the output scale, up to 1 / (w/Q)^2 times for
   a narrow low setting, and a jump to a wide or high setting lets all of it out at once
   (millions from a sine of 1 after 10 Hz Q 100 -> 20 kHz). What it would let out with no
   further input is y[n] = c1 y[n-1] + c2 y[n-2] from y[-1] = x1, y[-2] = x2, times g: a
   decaying oscillation at radius r = sqrt(-c2), bounded both by its envelope and by
   |y0| + |y1 - p y0| / (1 - r) (p the pole; the envelope alone overstates a heavily damped
   setting). The bound it is held to is the larger of the recent output peak and the input's
   peak through the new response, whose sum of magnitudes is at least its gain at the pole's
   angle and at 0 Hz. A memory that would release more than the margin times that bound is
   scaled down to release the bound itself; any other is kept as it is. */
template <typename T>
static inline void bandres_keep(T &x1, T &x2, double c1, double c2, double g, const t_tk_peaks *p, double in, double out)
{
    const double y0 = c1 * (double)x1 + c2 * (double)x2, y1 = c1 * y0 + c2 * (double)x1;
    const double d = -c2 - 0.25 * c1 * c1; /* r^2 sin^2 of the pole's angle, 0 with r = 0 */
    if (!(d > 0.0))
        return; /* resonance off: the memory is the last inputs and releases nothing */
    const double v = y1 - 0.5 * c1 * y0;
    const double env2 = y0 * y0 * d + v * v; /* the squared envelope, times d */
    const double out_pk = fmax(out, p->out_before), in_pk = fmax(in, p->in_before);
    const double m2 = bandres_burst_margin * bandres_burst_margin;
    if (!(g * g * env2 > m2 * out_pk * out_pk * d))
        return; /* the common case: a comparison with the output that came before */
    /* |D|^2 of the denominator 1 - c1/z - c2/z^2 at the pole's angle (cos = c1 / 2r) and at 0 Hz */
    const double cs2 = 0.25 * c1 * c1 / -c2, cs = c1 * 0.5 / sqrt(-c2);
    const double re = 1.0 - c1 * cs - c2 * (2.0 * cs2 - 1.0), im2 = (1.0 - cs2) * (c1 + 2.0 * c2 * cs) * (c1 + 2.0 * c2 * cs);
    const double dc = 1.0 - c1 - c2;
    const double den2 = fmin(re * re + im2, dc * dc);
    /* (no zero on the unit circle below r = 1; at r = 1 the input term bounds nothing) */
    const double bound2 = den2 > 0.0 ? fmax(out_pk * out_pk, in_pk * in_pk * g * g / den2) : HUGE_VAL;
    if (!(g * g * env2 > m2 * bound2 * d))
        return;
    const double r = sqrt(-c2);
    const double release_env = sqrt(env2 / d);
    const double release_damped = 1.0 - r > 0.0 ? fabs(y0) + sqrt(v * v + d * y0 * y0) / (1.0 - r) : release_env;
    const double release = fabs(g) * fmin(release_env, release_damped);
    const double bound = sqrt(bound2);
    if (!(release > bandres_burst_margin * bound))
        return;
    const double k = bound / release;
    x1 = (T)((double)x1 * k);
    x2 = (T)((double)x2 * k);
}

static inline void bandres_tune(t_bandres *x, double f, double q)
{
    bandres_coefficients(&f, &q, x->sample_rate, x->block);
    x->centre_frequency = f;
    x->q = q;
}

/* Takes the numbers received since the last look into the stored frequency and Q; whether
   there were any. Called at the start of a block and at DSP compilation. */
static inline bool bandres_take_settings(t_bandres *x)
{
    bool changed = false;
    const uint32_t f_requested = tk_load_acquire_u32(&x->frequency_requests);
    if (f_requested != x->frequencies_done) {
        x->centre_frequency = tk_load(&x->frequency_asked);
        x->frequencies_done = f_requested;
        changed = true;
    }
    const uint32_t q_requested = tk_load_acquire_u32(&x->q_requests);
    if (q_requested != x->qs_done) {
        x->q = tk_load(&x->q_asked);
        x->qs_done = q_requested;
        changed = true;
    }
    return changed;
}

/* One sample: returns the output and shifts the states. */
template <typename T>
static inline T bandres_step(T &x1, T &x2, T c1, T c2, T g, T x)
{
    T y = (c1 * x1 + x) + c2 * x2;
    x2 = x1;
    x1 = y;
    return y * g;
}

/* The four variants in one body: a NULL control signal means the stored value is used. With
   a control signal the coefficient routine runs at every sample with that sample's values,
   and that sample is filtered with the result. */
template <typename T>
static inline void bandres_run(t_bandres *x, const T *in, const T *freq_sig, const T *q_sig, T *out,
                               long n)
{
    t_bandres_block *b = x->block;
    const uint32_t clears = tk_load_count(&x->clear_requests);
    if (clears != x->clears_done) {
        b->x1 = 0.0;
        b->x2 = 0.0;
        x->clears_done = clears;
    }
    if (bandres_take_settings(x))
        bandres_tune(x, x->centre_frequency, x->q);
    t_tk_peaks *p = &x->peaks;
    double pin = p->in, pout = p->out;
    T x1 = (T)b->x1;
    T x2 = (T)b->x2;
    double s1 = x->state_coef1, s2 = x->state_coef2, sg = x->state_gain;
    if (!freq_sig && !q_sig) {
        T c1 = (T)b->coef1, c2 = (T)b->coef2, g = (T)b->gain;
        if ((double)c1 != s1 || (double)c2 != s2 || (double)g != sg) {
            bandres_keep(x1, x2, (double)c1, (double)c2, (double)g, p, pin, pout);
            s1 = (double)c1, s2 = (double)c2, sg = (double)g;
        }
        for (long i = 0; i < n; i++) {
            T xin = in[i]; /* read before the output, which may share its buffer */
            tk_track_peak(pin, (double)xin);
            out[i] = bandres_step(x1, x2, c1, c2, g, xin);
            tk_track_peak(pout, (double)out[i]);
        }
    } else {
        for (long i = 0; i < n; i++) {
            /* every input of this sample is read before the output, which may share a buffer */
            T xin = in[i];
            double f = freq_sig ? (double)freq_sig[i] : x->centre_frequency;
            double q = q_sig ? (double)q_sig[i] : x->q;
            bandres_tune(x, f, q);
            const T c1 = (T)b->coef1, c2 = (T)b->coef2, g = (T)b->gain;
            if ((double)c1 != s1 || (double)c2 != s2 || (double)g != sg) {
                bandres_keep(x1, x2, (double)c1, (double)c2, (double)g, p, pin, pout);
                s1 = (double)c1, s2 = (double)c2, sg = (double)g;
            }
            tk_track_peak(pin, (double)xin);
            out[i] = bandres_step(x1, x2, c1, c2, g, xin);
            tk_track_peak(pout, (double)out[i]);
        }
    }
    x->state_coef1 = s1;
    x->state_coef2 = s2;
    x->state_gain = sg;
    tk_peaks_advance(p, pin, pout, n, 0.25 * x->sample_rate);
    b->x1 = flush_denormal((double)x1);
    b->x2 = flush_denormal((double)x2);
}

/* ---- perform ---- */
static void bandres_perform64(t_object *ob, t_object *dsp64, double **ins, long numins, double **outs,
                              long numouts, long n, long flags, void *userparam)
{
    bandres_run<double>((t_bandres *)ob, ins[0], NULL, NULL, outs[0], n);
}

static void bandres_perform64_freq(t_object *ob, t_object *dsp64, double **ins, long numins,
                                   double **outs, long numouts, long n, long flags, void *userparam)
{
    bandres_run<double>((t_bandres *)ob, ins[0], ins[1], NULL, outs[0], n);
}

static void bandres_perform64_q(t_object *ob, t_object *dsp64, double **ins, long numins,
                                double **outs, long numouts, long n, long flags, void *userparam)
{
    bandres_run<double>((t_bandres *)ob, ins[0], NULL, ins[2], outs[0], n);
}

static void bandres_perform64_freq_q(t_object *ob, t_object *dsp64, double **ins, long numins,
                                     double **outs, long numouts, long n, long flags, void *userparam)
{
    bandres_run<double>((t_bandres *)ob, ins[0], ins[1], ins[2], outs[0], n);
}

static t_int *bandres_perform(t_int *w)
{
    bandres_run<float>((t_bandres *)w[1], (const float *)w[2], NULL, NULL, (float *)w[5], (long)w[6]);
    return w + 7;
}

static t_int *bandres_perform_freq(t_int *w)
{
    bandres_run<float>((t_bandres *)w[1], (const float *)w[2], (const float *)w[3], NULL, (float *)w[5],
                       (long)w[6]);
    return w + 7;
}

static t_int *bandres_perform_q(t_int *w)
{
    bandres_run<float>((t_bandres *)w[1], (const float *)w[2], NULL, (const float *)w[4], (float *)w[5],
                       (long)w[6]);
    return w + 7;
}

static t_int *bandres_perform_freq_q(t_int *w)
{
    bandres_run<float>((t_bandres *)w[1], (const float *)w[2], (const float *)w[3], (const float *)w[4],
                       (float *)w[5], (long)w[6]);
    return w + 7;
}

/* ---- DSP compilation ---- */
static void bandres_rate(t_bandres *x, double samplerate)
{
    if (samplerate != x->sample_rate) /* a NaN on either side counts as a change */
        x->sample_rate = samplerate;
    bandres_take_settings(x);
    bandres_tune(x, x->centre_frequency, x->q);
}

static void bandres_dsp64(t_bandres *x, t_object *dsp64, short *count, double samplerate,
                          long maxvectorsize, long flags)
{
    bandres_rate(x, samplerate);
    t_perfroutine64 f;
    if (count[1] & count[2])
        f = bandres_perform64_freq_q;
    else if (count[1])
        f = bandres_perform64_freq;
    else if (count[2])
        f = bandres_perform64_q;
    else
        f = bandres_perform64;
    object_method(dsp64, gensym("dsp_add64"), x, f, 0, NULL);
}

static void bandres_dsp(t_bandres *x, t_signal **sp, short *count)
{
    bandres_rate(x, sp[0]->s_sr);
    t_perfroutine f;
    if (count[1] & count[2])
        f = bandres_perform_freq_q;
    else if (count[1])
        f = bandres_perform_freq;
    else if (count[2])
        f = bandres_perform_q;
    else
        f = bandres_perform;
    dsp_add(f, 6, x, sp[0]->s_vec, sp[1]->s_vec, sp[2]->s_vec, sp[3]->s_vec, sp[0]->s_n);
}

/* ---- messages ---- */
/* Frequency and Q are taken at the start of the next block (see frequency_asked): the value
   first, then the count that announces it. */
static void bandres_float(t_bandres *x, double v)
{
    switch (proxy_getinlet((t_object *)x)) {
    case 1:
        tk_store(&x->frequency_asked, v);
        tk_count_up_release(&x->frequency_requests);
        break;
    case 2:
        tk_store(&x->q_asked, v);
        tk_count_up_release(&x->q_requests);
        break;
    default: break; /* a number at the signal input changes nothing */
    }
}

static void bandres_int(t_bandres *x, t_atom_long n) { bandres_float(x, (double)n); }

/* At the start of the next block (see clear_requests). */
static void bandres_clear(t_bandres *x) { tk_count_up(&x->clear_requests); }

static const char *const bandres_inlet_text[] = {
    "(signal) Input to be filtered",
    "(signal/float) Center Frequency",
    "(signal/float) Q/filter sharpness",
};

static void bandres_assist(t_bandres *x, void *b, long io, long index, char *s)
{
    if (io == ASSIST_INLET) {
        if (index >= 0 && index < 3)
            sprintf(s, "%s", bandres_inlet_text[index]);
    } else {
        sprintf(s, "(signal) Filtered signal");
    }
}

/* ---- new / free ---- */
static void *bandres_new(t_symbol *s, long argc, t_atom *argv)
{
    t_bandres *x = (t_bandres *)object_alloc(bandres_class);
    if (!x)
        return NULL;
    z_dsp_setup((t_pxobject *)x, 3);
    outlet_new((t_object *)x, "signal");
    x->block = &x->storage;
    x->block->x1 = 0.0;
    x->block->x2 = 0.0;
    x->sample_rate = (double)sys_getsr();
    double f = 0.0, q = 0.0;
    atom_arg_getdouble(&f, 0, argc, argv);
    atom_arg_getdouble(&q, 1, argc, argv);
    bandres_tune(x, f, q);
    x->state_coef1 = x->block->coef1;
    x->state_coef2 = x->block->coef2;
    x->state_gain = x->block->gain;
    tk_peaks_clear(&x->peaks);
    x->frequency_asked = x->centre_frequency;
    x->q_asked = x->q;
    x->frequency_requests = x->frequencies_done = 0;
    x->q_requests = x->qs_done = 0;
    x->clear_requests = x->clears_done = 0;
    return x;
}

extern "C" C74_EXPORT int main(void)
{
    t_class *c = class_new("bandres~", (method)bandres_new, (method)z_dsp_free, sizeof(t_bandres), NULL,
                           A_GIMME, 0);
    class_addmethod(c, (method)bandres_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(c, (method)bandres_dsp, "dsp", A_CANT, 0);
    class_addmethod(c, (method)bandres_float, "float", A_FLOAT, 0);
    class_addmethod(c, (method)bandres_int, "int", A_LONG, 0);
    class_addmethod(c, (method)bandres_clear, "clear", 0);
    class_addmethod(c, (method)bandres_assist, "assist", A_CANT, 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    bandres_class = c;
    object_post(NULL, TILDEKIT_RULE_74);
    object_post(NULL, "bandres~: two-pole resonant band-pass filter set by centre frequency and Q");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
    return 0;
}
