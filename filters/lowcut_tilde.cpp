/* lowcut~: one-pole, one-zero high-pass that cuts the lows and any constant offset,
   w[n] = x[n] + c * w[n-1], y[n] = w[n] - w[n-1], with c set from a cutoff frequency in hertz.
   Inlet 0: signal to filter; `clear` of the state.
   Inlet 1: cutoff frequency in hertz, as a signal (read at every sample) or a number.
   Outlet 0: the filtered signal. */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>
#include "tildekit.h"

/* Coefficient-and-state block: the state first, then the coefficient. */
typedef struct _lowcut_block {
    double last; /* last internal value w[n-1] */
    double coef; /* c, 0..1; 1 passes the input through */
} t_lowcut_block;

typedef struct _lowcut {
    t_pxobject x_obj;
    double sample_rate;     /* Hz, from the host */
    double cutoff;          /* Hz, 0 or more */
    t_lowcut_block storage; /* reached through `block` only */
    t_lowcut_block *block;  /* points at `storage` */
    double state_coef;      /* the coefficient the stored w[n-1] was last used with */
    t_tk_peaks peaks; /* input and output peaks over quarter-second windows: the yardstick for a change */
    /* `clear` only counts its requests; the perform routine, which alone writes the state,
       clears it at the start of its next block. A message may land while a block runs, and a
       state cleared from there would be overwritten when the block stores its own at the end. */
    uint32_t clear_requests; /* `clear` messages received (wraps) */
    uint32_t clears_done;    /* requests acted on */
} t_lowcut;

static t_class *lowcut_class;

/* ---- DSP core ---- */
static const double lowcut_two_pi = 6.283185307179586;

/* The one place a cutoff is limited: below 0, and NaN, count as 0. */
static inline double lowcut_limit(double f) { return f >= 0.0 ? f : 0.0; }

/* c = 1 - f * 2pi / sr, held within 0..1: a cutoff of 0 gives 1 (pass-through), one at or
   above sr/2pi gives 0 (first difference). A NaN coefficient (from a rate of 0 or NaN)
   becomes 1, pass-through, so it never reaches the recursion. */
static inline double lowcut_coef(double f, double sr)
{
    double c = 1.0 - lowcut_limit(f) * lowcut_two_pi / sr;
    if (c < 0.0)
        c = 0.0;
    else if (!(c <= 1.0))
        c = 1.0;
    return c;
}

/* One sample: returns y[n] and leaves w[n] in w_prev. */
template <typename T>
static inline T lowcut_step(T &w_prev, T a, T x)
{
    T w = x + a * w_prev;
    T y = w - w_prev;
    w_prev = w;
    return y;
}

template <typename T>
static inline void lowcut_pass(const T *in, T *out, long n)
{
    for (long i = 0; i < n; i++)
        out[i] = in[i];
}

/* How far the memory may release beyond what the filter is doing: at a change of cutoff the
   filter goes on with the memory it has (the output of ordinary moves, a jump of an octave or
   a sweep at any speed, is the plain recursion's), unless the memory would release more than
   this many times the larger of the recent output peak and the input's peak through the new
   cutoff. Moves of an octave or two come to at most 2 times (from a constant input; a noise
   or a sine far less), a jump of five octaves from a constant to 16; the burst it is there
   for, 20 Hz -> 30 kHz at 384 kHz, to 750 times. */
static const double lowcut_burst_margin = 16.0;

/* The memory at a change to coefficient c. The filter subtracts (1 - c) w[n-1] from its
   input, and w holds the input scaled by up to 1 / (1 - c) of the cutoff it was built at
   (rate / (2 pi cutoff)): after a jump from a low cutoff to a high one the first output is
   -(1 - c) w[n-1], thousands of times the input after 20 Hz -> 30 kHz at 384 kHz. The
   response to the input has a sum of magnitudes of 2 for any c below 1, so the bound is the
   larger of the recent output peak and twice the input's peak; a memory that would release
   more than the margin times that is scaled down to release the bound itself. */
template <typename T>
static inline T lowcut_keep(T w, double c, const t_tk_peaks *p, double in, double out)
{
    const double release = (1.0 - c) * fabs((double)w);
    const double bound = fmax(fmax(out, p->out_before), 2.0 * fmax(in, p->in_before));
    if (!(release > lowcut_burst_margin * bound))
        return w;
    return (T)((double)w * (bound / release));
}

/* Carries out a `clear` asked for since the last block. */
static inline void lowcut_take_request(t_lowcut *x)
{
    const uint32_t requested = tk_load_count(&x->clear_requests);
    if (requested != x->clears_done) {
        x->block->last = 0.0;
        x->clears_done = requested;
    }
}

/* One sample, with the input and output peaks kept. */
template <typename T>
static inline T lowcut_step_tracked(double &in_peak, double &out_peak, T &w_prev, T a, T x)
{
    tk_track_peak(in_peak, (double)x);
    T y = lowcut_step(w_prev, a, x);
    tk_track_peak(out_peak, (double)y);
    return y;
}

/* Number cutoff: a coefficient below 1 filters, 1 passes the input through and forgets the
   state. Samples go in groups of four, then the rest. */
template <typename T>
static inline void lowcut_run(t_lowcut *x, const T *in, T *out, long n)
{
    lowcut_take_request(x);
    t_lowcut_block *b = x->block;
    t_tk_peaks *p = &x->peaks;
    double pin = p->in, pout = p->out;
    const double coef = tk_load(&b->coef); /* read once: a message may write it meanwhile */
    T a = (T)coef;
    if (a < (T)1) {
        T w_prev = (T)b->last;
        if ((double)a != x->state_coef)
            w_prev = lowcut_keep(w_prev, (double)a, p, pin, pout);
        long i = 0;
        for (; i + 4 <= n; i += 4) {
            out[i] = lowcut_step_tracked(pin, pout, w_prev, a, in[i]);
            out[i + 1] = lowcut_step_tracked(pin, pout, w_prev, a, in[i + 1]);
            out[i + 2] = lowcut_step_tracked(pin, pout, w_prev, a, in[i + 2]);
            out[i + 3] = lowcut_step_tracked(pin, pout, w_prev, a, in[i + 3]);
        }
        for (; i < n; i++)
            out[i] = lowcut_step_tracked(pin, pout, w_prev, a, in[i]);
        b->last = flush_denormal((double)w_prev);
    } else {
        for (long i = 0; i < n; i++)
            tk_track_peak(pin, (double)in[i]);
        lowcut_pass(in, out, n);
        pout = fmax(pout, pin);
        b->last = 0.0;
    }
    x->state_coef = (double)a;
    tk_peaks_advance(p, pin, pout, n, 0.25 * x->sample_rate);
}

/* Signal cutoff: filtering or pass-through is chosen for the whole block from the coefficient
   as the block starts. While filtering, each sample's cutoff is stored and sets the
   coefficient that sample uses. While passing through, the block's last cutoff is still
   taken, so that a cutoff signal leaving 0 starts the filter at the next block instead of
   leaving it in pass-through for good. */
template <typename T>
static inline void lowcut_run_signal(t_lowcut *x, const T *in, const T *cutoff_sig, T *out, long n)
{
    lowcut_take_request(x);
    t_lowcut_block *b = x->block;
    t_tk_peaks *p = &x->peaks;
    double pin = p->in, pout = p->out;
    double sr = x->sample_rate;
    double coef = tk_load(&b->coef); /* read once: a message may write it meanwhile */
    if ((T)coef < (T)1) {
        T w_prev = (T)b->last;
        double a_used = x->state_coef;
        double f = 0.0;
        for (long i = 0; i < n; i++) {
            f = lowcut_limit((double)cutoff_sig[i]);
            T xin = in[i]; /* both inputs are read before the output, which may share a buffer */
            coef = lowcut_coef(f, sr);
            T a = (T)coef;
            if ((double)a != a_used) {
                w_prev = lowcut_keep(w_prev, (double)a, p, pin, pout);
                a_used = (double)a;
            }
            out[i] = lowcut_step_tracked(pin, pout, w_prev, a, xin);
        }
        /* the last sample's cutoff and coefficient stay, stored once */
        if (n > 0) {
            tk_store(&x->cutoff, f);
            tk_store(&b->coef, coef);
        }
        b->last = flush_denormal((double)w_prev);
        x->state_coef = a_used;
    } else {
        if (n > 0) {
            const double f = lowcut_limit((double)cutoff_sig[n - 1]);
            coef = lowcut_coef(f, sr);
            tk_store(&x->cutoff, f);
            tk_store(&b->coef, coef);
        }
        for (long i = 0; i < n; i++)
            tk_track_peak(pin, (double)in[i]);
        lowcut_pass(in, out, n);
        pout = fmax(pout, pin);
        b->last = 0.0;
        x->state_coef = (double)(T)coef;
    }
    tk_peaks_advance(p, pin, pout, n, 0.25 * sr);
}

/* ---- perform ---- */
static void lowcut_perform64(t_object *ob, t_object *dsp64, double **ins, long numins, double **outs,
                             long numouts, long n, long flags, void *userparam)
{
    lowcut_run<double>((t_lowcut *)ob, ins[0], outs[0], n);
}

static void lowcut_perform64_signal(t_object *ob, t_object *dsp64, double **ins, long numins,
                                    double **outs, long numouts, long n, long flags, void *userparam)
{
    lowcut_run_signal<double>((t_lowcut *)ob, ins[0], ins[1], outs[0], n);
}

static t_int *lowcut_perform(t_int *w)
{
    lowcut_run<float>((t_lowcut *)w[1], (const float *)w[2], (float *)w[3], (long)w[4]);
    return w + 5;
}

static t_int *lowcut_perform_signal(t_int *w)
{
    lowcut_run_signal<float>((t_lowcut *)w[1], (const float *)w[2], (const float *)w[3], (float *)w[4],
                             (long)w[5]);
    return w + 6;
}

/* ---- DSP compilation ---- */
static void lowcut_rate(t_lowcut *x, double samplerate)
{
    if (samplerate != x->sample_rate) /* a NaN on either side counts as a change */
        x->sample_rate = samplerate;
    tk_store(&x->block->coef, lowcut_coef(tk_load(&x->cutoff), x->sample_rate));
}

static void lowcut_dsp64(t_lowcut *x, t_object *dsp64, short *count, double samplerate,
                         long maxvectorsize, long flags)
{
    lowcut_rate(x, samplerate);
    if (count[1])
        object_method(dsp64, gensym("dsp_add64"), x, lowcut_perform64_signal, 0, NULL);
    else
        object_method(dsp64, gensym("dsp_add64"), x, lowcut_perform64, 0, NULL);
}

static void lowcut_dsp(t_lowcut *x, t_signal **sp, short *count)
{
    lowcut_rate(x, sp[0]->s_sr);
    if (count[1])
        dsp_add(lowcut_perform_signal, 5, x, sp[0]->s_vec, sp[1]->s_vec, sp[2]->s_vec, sp[0]->s_n);
    else
        dsp_add(lowcut_perform, 4, x, sp[0]->s_vec, sp[2]->s_vec, sp[0]->s_n);
}

/* ---- messages ---- */
static void lowcut_float(t_lowcut *x, double v)
{
    if (proxy_getinlet((t_object *)x) == 1) {
        const double f = lowcut_limit(v);
        tk_store(&x->cutoff, f);
        tk_store(&x->block->coef, lowcut_coef(f, x->sample_rate));
    }
}

static void lowcut_int(t_lowcut *x, t_atom_long n) { lowcut_float(x, (double)n); }

/* At the start of the next block (see clear_requests). */
static void lowcut_clear(t_lowcut *x) { tk_count_up(&x->clear_requests); }

static const char *const lowcut_inlet_text[] = {
    "(signal) Input to be filtered",
    "(signal/float) Cutoff Frequency",
};

static void lowcut_assist(t_lowcut *x, void *b, long io, long index, char *s)
{
    if (io == ASSIST_INLET) {
        if (index >= 0 && index < 2)
            sprintf(s, "%s", lowcut_inlet_text[index]);
    } else {
        sprintf(s, "(signal) Filtered signal");
    }
}

/* ---- new / free ---- */
static void *lowcut_new(t_symbol *s, long argc, t_atom *argv)
{
    t_lowcut *x = (t_lowcut *)object_alloc(lowcut_class);
    if (!x)
        return NULL;
    z_dsp_setup((t_pxobject *)x, 2);
    outlet_new((t_object *)x, "signal");
    x->block = &x->storage;
    x->sample_rate = (double)sys_getsr();
    double f = 0.0;
    atom_arg_getdouble(&f, 0, argc, argv);
    x->cutoff = lowcut_limit(f);
    x->block->last = 0.0;
    x->clear_requests = x->clears_done = 0;
    x->block->coef = lowcut_coef(x->cutoff, x->sample_rate);
    x->state_coef = x->block->coef;
    tk_peaks_clear(&x->peaks);
    return x;
}

extern "C" C74_EXPORT int main(void)
{
    t_class *c = class_new("lowcut~", (method)lowcut_new, (method)z_dsp_free, sizeof(t_lowcut), NULL,
                           A_GIMME, 0);
    class_addmethod(c, (method)lowcut_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(c, (method)lowcut_dsp, "dsp", A_CANT, 0);
    class_addmethod(c, (method)lowcut_float, "float", A_FLOAT, 0);
    class_addmethod(c, (method)lowcut_int, "int", A_LONG, 0);
    class_addmethod(c, (method)lowcut_clear, "clear", 0);
    class_addmethod(c, (method)lowcut_assist, "assist", A_CANT, 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    lowcut_class = c;
    object_post(NULL, TILDEKIT_RULE_74);
    object_post(NULL, "lowcut~: one-pole, one-zero high-pass filter set by its cutoff frequency");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
    return 0;
}
