/* modalfilt~: second-order filter with four responses, chosen by the creation symbol:
   bp2 (band-pass, peak gain 1), rbp2 (resonant band-pass, peak gain Q), lp2 (low-pass),
   hp2 (high-pass). Bilinear-transform coefficients, refreshed every four samples.
   The frequency arrives as the transform's factor l = cot(pi f / sr), as tanrecip~ makes it,
   so the filter itself never needs the sample rate.
   Inlet 0: signal to filter (numbers ignored).
   Inlet 1: frequency factor l, signal or number.
   Inlet 2: Q, signal or number.
   Outlet 0: the filtered signal. */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>
#include "tildekit.h"

/* Q is confined to [1e-6, 1e6] (both as single-precision values) in the coefficients. */
static const double modalfilt_q_max = 1000000.0;
static const double modalfilt_q_min = 9.999999974752427e-7;

/* Coefficients are computed from the first sample of every group of this many samples. */
#define MODALFILT_GROUP 4

#define MODALFILT_PEAK_WINDOW 8192

typedef struct _modalfilt {
    t_pxobject x_obj;
    double state_w1;             /* filter memory w[n-1] */
    double state_w2;             /* filter memory w[n-2] */
    double frequency_factor;     /* l from a number at inlet 1 */
    double q;                    /* Q from a number at inlet 2, unclamped */
    t_symbol *filter_kind;       /* bp2, rbp2, lp2, hp2, or any other symbol given */
    int16_t frequency_connected; /* connection flag of inlet 1, copied at DSP compile */
    int16_t q_connected;         /* connection flag of inlet 2, copied at DSP compile */
    double state_l;              /* the factor and Q the memory was last used with ... */
    double state_q;
    int16_t state_used;          /* ... when it has been used since it was last at rest */
    t_tk_peaks peaks; /* input and output peaks over 8192-sample windows (it never learns the rate): the yardstick for a change */
} t_modalfilt;

static t_class *modalfilt_class;

/* ---- DSP core ---- */
enum { MODALFILT_BP2, MODALFILT_RBP2, MODALFILT_LP2, MODALFILT_HP2 };

typedef struct _modalfilt_coefs {
    double l;  /* frequency factor, never negative */
    double a;  /* l / Q with Q confined to its bounds */
    double L;  /* l^2 + 1 */
    double g;  /* 1 / (L + a) */
    double c1; /* 2 (2 - L) */
    double c2; /* L - a */
} t_modalfilt_coefs;

static inline t_modalfilt_coefs modalfilt_coefs(double l, double q)
{
    t_modalfilt_coefs k;
    if (l < 0.0)
        l = fabs(l);
    k.l = l;
    if (q < modalfilt_q_min)
        k.a = l * modalfilt_q_max; /* a negative Q counts as tiny */
    else if (q > modalfilt_q_max)
        k.a = l * modalfilt_q_min;
    else
        k.a = l / q;
    k.L = l * l + 1.0;
    k.g = 1.0 / (k.L + k.a);
    k.c1 = (2.0 - k.L) * 2.0;
    k.c2 = k.L - k.a;
    return k;
}

/* Where the coefficients stop describing a usable recursion the filter sits at one end of its
   range, and there its response is known without running it:
   - l = 0 (or so small that l^2 vanishes beside 1, L = 1) is half the sample rate. The
     recursion then has a pole exactly on the unit circle at z = -1: the memory integrates the
     input without bound while bp2, rbp2 and hp2 show nothing of it, and the next usable factor
     would release all of it at once. Here only lp2 passes anything: the input itself.
   - l so large that l^2 overflows (c1 infinite) is 0 Hz. The step would give NaN. Here only
     hp2 passes anything: the input itself.
   In both cases the memory is held at rest, so that the first usable factor starts from
   silence, as a fresh filter would, and releases nothing that was stored meanwhile. A NaN
   factor is neither and runs the recursion. */
enum { MODALFILT_RUNS, MODALFILT_AT_NYQUIST, MODALFILT_AT_DC };

static inline int modalfilt_range_end(const t_modalfilt_coefs *k)
{
    if (k->L == 1.0)
        return MODALFILT_AT_NYQUIST;
    if (k->c1 == -HUGE_VAL)
        return MODALFILT_AT_DC;
    return MODALFILT_RUNS;
}

static inline double modalfilt_end_output(int kind, int end, double x)
{
    int passes = end == MODALFILT_AT_NYQUIST ? kind == MODALFILT_LP2 : kind == MODALFILT_HP2;
    return passes ? x : 0.0;
}

/* The factor that takes a kind's output from the memory (the numerator's scale). */
static inline double modalfilt_output_scale(const t_modalfilt_coefs *k, int kind)
{
    if (kind == MODALFILT_RBP2)
        return k->g * k->l;
    if (kind == MODALFILT_LP2)
        return k->g;
    if (kind == MODALFILT_HP2)
        return (k->L - 1.0) * k->g;
    return k->g * k->a;
}

/* How far the memory may release beyond what the filter is doing: at a change of setting the
   filter goes on with the memory it has (a jump of an octave or two, a sweep at any speed, any
   Q from 0.5 to 50 gives the plain recursion's output), unless the memory would release more
   than this many times the larger of the recent output peak and the input's peak through the
   new setting. Ordinary moves come to at most about 32 times by the estimate below (two
   octaves up at Q 0.5 from a constant input; 12 times from a sine at the old centre, whatever
   the Q), the bursts it is there for to 100 times and far beyond. */
static const double modalfilt_burst_margin = 64.0;

/* The least sum of magnitudes of a kind's response: its gain at the centre, where the
   prototype is exact (1 for bp2, Q for rbp2, Q for lp2 and hp2), and 1 at 0 Hz or half the
   rate for lp2 and hp2. */
static inline double modalfilt_least_sum(const t_modalfilt_coefs *k, int kind)
{
    if (kind == MODALFILT_BP2)
        return 1.0;
    const double q = k->l / k->a; /* a > 0 wherever the recursion runs */
    return kind == MODALFILT_RBP2 ? q : fmax(q, 1.0);
}

/* The memory at a change to the coefficients k. It holds the input over the recursion's
   denominator, up to thousands of times over at the resonance of a narrow or low setting,
   and a step lets all of it through the new recursion and output scale at once (170 times a
   sine of 1 from 340 Hz at Q 10 to 4.5 kHz at Q 0.5, 10^5 from near 0 Hz to near half the
   rate). What it would let out with no further input follows, from the first two outputs
   y0 and y1 on, the recursion y[n] = u1 y[n-1] + u2 y[n-2] (u1 = -c1 g, u2 = -c2 g); its
   peak is at most |y0| + |y1 - p y0| / (1 - |p'|), p the pole it is split by and p' the
   other (for complex poles both of radius r), and for complex poles at most its envelope.
   The bound it is held to is the larger of the recent output peak and the input's peak
   through the new response; a memory that would release more than the margin times that is
   scaled down to release the bound itself, any other is kept as it is. */
static inline void modalfilt_keep(const t_modalfilt_coefs *k, int kind, const t_tk_peaks *p, double in, double out,
                                  double *w1, double *w2)
{
    /* the first two outputs with no input, by the kind's numerator b0 + b1/z + b2/z^2 */
    const double b1 = kind == MODALFILT_LP2 ? 2.0 : kind == MODALFILT_HP2 ? -2.0 : 0.0;
    const double b2 = kind == MODALFILT_LP2 || kind == MODALFILT_HP2 ? 1.0 : -1.0;
    const double s = modalfilt_output_scale(k, kind);
    const double v0 = -(k->c1 * *w1 + k->c2 * *w2) * k->g, v1 = -(k->c1 * v0 + k->c2 * *w1) * k->g;
    const double y0 = s * (v0 + b1 * *w1 + b2 * *w2), y1 = s * (v1 + b1 * v0 + b2 * *w1);
    const double u1 = -k->c1 * k->g, u2 = -k->c2 * k->g;
    const double disc = u1 * u1 + 4.0 * u2;
    double release;
    if (disc < 0.0) {
        const double d = -0.25 * disc, v = y1 - 0.5 * u1 * y0; /* d: the poles' imaginary part squared */
        const double env = sqrt(y0 * y0 + v * v / d);
        const double r = sqrt(-u2);
        release = 1.0 - r > 0.0 ? fmin(env, fabs(y0) + sqrt(v * v + d * y0 * y0) / (1.0 - r)) : env;
    } else {
        const double sq = sqrt(disc);
        double pa = 0.5 * (u1 + sq), pb = 0.5 * (u1 - sq);
        if (fabs(pb) > fabs(pa)) {
            const double t = pa;
            pa = pb;
            pb = t;
        }
        const double e = fabs(y1 - pa * y0);
        release = 1.0 - fabs(pb) > 0.0 ? fabs(y0) + e / (1.0 - fabs(pb)) : (e > 0.0 ? HUGE_VAL : fabs(y0));
    }
    const double bound = fmax(fmax(out, p->out_before), fmax(in, p->in_before) * modalfilt_least_sum(k, kind));
    if (!(release > modalfilt_burst_margin * bound))
        return;
    const double scale = release < HUGE_VAL ? bound / release : 0.0;
    *w1 *= scale;
    *w2 *= scale;
}

/* One direct-form-II step; the kind is a constant in each perform routine. */
static inline double modalfilt_step(const t_modalfilt_coefs *k, int kind, double x, double *w1, double *w2)
{
    double w0 = x - (k->c1 * *w1 + k->c2 * *w2) * k->g;
    double y;
    switch (kind) {
    case MODALFILT_RBP2:
        y = (w0 - *w2) * (k->g * k->l);
        break;
    case MODALFILT_LP2:
        y = (w0 + 2.0 * *w1 + *w2) * k->g;
        break;
    case MODALFILT_HP2:
        y = (w0 - 2.0 * *w1 + *w2) * ((k->L - 1.0) * k->g);
        break;
    default:
        y = (w0 - *w2) * (k->g * k->a);
        break;
    }
    *w2 = *w1;
    *w1 = w0;
    return y;
}

/* Messages write only the factor and Q, which are read at each group start; the memory is
   written by this routine alone, so a number landing between two samples takes effect at the
   next group and leaves nothing half-updated. */
static inline void modalfilt_run(t_modalfilt *x, double **ins, double **outs, long n, int kind)
{
    const double *in = ins[0];
    const double *lsig = ins[1];
    const double *qsig = ins[2];
    double *out = outs[0];
    double w1 = x->state_w1;
    double w2 = x->state_w2;
    t_tk_peaks *p = &x->peaks;
    double pin = p->in, pout = p->out;
    for (long j = 0; j < n; j += MODALFILT_GROUP) {
        long end = j + MODALFILT_GROUP < n ? j + MODALFILT_GROUP : n;
        double l = x->frequency_connected ? lsig[j] : tk_load(&x->frequency_factor);
        double q = x->q_connected ? qsig[j] : tk_load(&x->q);
        t_modalfilt_coefs k = modalfilt_coefs(l, q);
        int range_end = modalfilt_range_end(&k);
        if (range_end == MODALFILT_RUNS) {
            if (x->state_used && !(l == x->state_l && q == x->state_q))
                modalfilt_keep(&k, kind, p, pin, pout, &w1, &w2);
            x->state_l = l;
            x->state_q = q;
            x->state_used = 1;
            for (long i = j; i < end; i++) {
                const double xin = in[i];
                tk_track_peak(pin, xin);
                out[i] = modalfilt_step(&k, kind, xin, &w1, &w2);
                tk_track_peak(pout, out[i]);
            }
        } else {
            for (long i = j; i < end; i++) {
                tk_track_peak(pin, in[i]);
                out[i] = modalfilt_end_output(kind, range_end, in[i]);
                tk_track_peak(pout, out[i]);
            }
            w1 = 0.0;
            w2 = 0.0;
            x->state_used = 0;
        }
    }
    tk_peaks_advance(p, pin, pout, n, MODALFILT_PEAK_WINDOW);
    x->state_w1 = flush_denormal(w1);
    x->state_w2 = flush_denormal(w2);
}

/* ---- perform ---- */
static void modalfilt_perform64_bp2(t_object *ob, t_object *dsp64, double **ins, long numins,
                                    double **outs, long numouts, long n, long flags, void *userparam)
{
    modalfilt_run((t_modalfilt *)ob, ins, outs, n, MODALFILT_BP2);
}

static void modalfilt_perform64_rbp2(t_object *ob, t_object *dsp64, double **ins, long numins,
                                     double **outs, long numouts, long n, long flags, void *userparam)
{
    modalfilt_run((t_modalfilt *)ob, ins, outs, n, MODALFILT_RBP2);
}

static void modalfilt_perform64_lp2(t_object *ob, t_object *dsp64, double **ins, long numins,
                                    double **outs, long numouts, long n, long flags, void *userparam)
{
    modalfilt_run((t_modalfilt *)ob, ins, outs, n, MODALFILT_LP2);
}

static void modalfilt_perform64_hp2(t_object *ob, t_object *dsp64, double **ins, long numins,
                                    double **outs, long numouts, long n, long flags, void *userparam)
{
    modalfilt_run((t_modalfilt *)ob, ins, outs, n, MODALFILT_HP2);
}

/* ---- DSP compilation ---- */
static void modalfilt_dsp64(t_modalfilt *x, t_object *dsp64, short *count, double samplerate,
                            long maxvectorsize, long flags)
{
    x->frequency_connected = count[1];
    x->q_connected = count[2];
    t_perfroutine64 perform;
    if (x->filter_kind == gensym("bp2")) {
        perform = modalfilt_perform64_bp2;
    } else if (x->filter_kind == gensym("rbp2")) {
        perform = modalfilt_perform64_rbp2;
    } else if (x->filter_kind == gensym("lp2")) {
        perform = modalfilt_perform64_lp2;
    } else if (x->filter_kind == gensym("hp2")) {
        perform = modalfilt_perform64_hp2;
    } else {
        perform = modalfilt_perform64_bp2;
        object_post(NULL, "modalfilt~ Default: bp2");
    }
    object_method(dsp64, gensym("dsp_add64"), x, perform, 0, NULL);
}

/* ---- messages ---- */
static void modalfilt_float(t_modalfilt *x, double v)
{
    switch (proxy_getinlet((t_object *)x)) {
    case 1:
        tk_store(&x->frequency_factor, v);
        break;
    case 2:
        tk_store(&x->q, v);
        break;
    default:
        break;
    }
}

static void modalfilt_int(t_modalfilt *x, t_atom_long n) { modalfilt_float(x, (double)n); }

static const char *const modalfilt_inlet_text[] = {
    "(signal) Input to be filtered",
    "(signal/float) Center Frequency",
    "(signal/float) Q/filter sharpness",
};

static void modalfilt_assist(t_modalfilt *x, void *b, long io, long index, char *s)
{
    if (io == ASSIST_INLET) {
        if (index >= 0 && index < 3)
            sprintf(s, "%s", modalfilt_inlet_text[index]);
    } else if (io == ASSIST_OUTLET) {
        sprintf(s, "(signal) Filtered signal");
    }
}

/* ---- new / free ---- */
static void *modalfilt_new(t_symbol *s, long argc, t_atom *argv)
{
    t_modalfilt *x = (t_modalfilt *)object_alloc(modalfilt_class);
    if (!x)
        return NULL;
    z_dsp_setup((t_pxobject *)x, 3);
    outlet_new((t_object *)x, "signal");
    x->state_w1 = 0.0;
    x->state_w2 = 0.0;
    x->state_l = 0.0;
    x->state_q = 0.0;
    x->state_used = 0;
    tk_peaks_clear(&x->peaks);
    x->frequency_factor = 0.0;
    x->q = 0.0;
    x->frequency_connected = 0;
    x->q_connected = 0;
    /* The kind is taken as given; an unknown one falls back to bp2 at every DSP compile. */
    x->filter_kind = gensym("bp2");
    if (argc > 0 && argv && argv[0].a_type == A_SYM)
        atom_arg_getsym(&x->filter_kind, 0, argc, argv);
    x->x_obj.z_misc |= Z_NO_INPLACE;
    object_post(NULL, "Initial-arguments: %s kind: bp2, rbp2, lp2, hp2!", x->filter_kind->s_name);
    return x;
}

extern "C" C74_EXPORT int main(void)
{
    t_class *c = class_new("modalfilt~", (method)modalfilt_new, (method)z_dsp_free, sizeof(t_modalfilt),
                           NULL, A_GIMME, 0);
    class_addmethod(c, (method)modalfilt_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(c, (method)modalfilt_float, "float", A_FLOAT, 0);
    class_addmethod(c, (method)modalfilt_int, "int", A_LONG, 0);
    class_addmethod(c, (method)modalfilt_assist, "assist", A_CANT, 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    modalfilt_class = c;
    object_post(NULL, TILDEKIT_RULE_74);
    object_post(NULL, "modalfilt~: bilinear-transform biquad, band-pass/resonant/low-pass/high-pass");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
    return 0;
}
