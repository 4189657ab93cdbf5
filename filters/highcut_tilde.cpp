/* highcut~: one-pole low-pass that cuts the highs, y[n] = c * x[n] + (1 - c) * y[n-1], with c
   set from a cutoff frequency in hertz.
   Inlet 0: signal to filter; `clear` of the state.
   Inlet 1: cutoff frequency in hertz, as a signal (read at every sample) or a number.
   Outlet 0: the filtered signal. */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>
#include "tildekit.h"

/* Coefficient-and-state block: the state first, then the coefficient. */
typedef struct _highcut_block {
    double last; /* last output y[n-1] */
    double coef; /* c, 0..1 */
} t_highcut_block;

typedef struct _highcut {
    t_pxobject x_obj;
    double sample_rate;      /* Hz, from the host */
    double cutoff;           /* Hz, the last cutoff as received */
    t_highcut_block storage; /* reached through `block` only */
    t_highcut_block *block;  /* points at `storage` */
    /* `clear` only counts its requests; the perform routine, which alone writes the state,
       clears it at the start of its next block. A message may land while a block runs, and a
       state cleared from there would be overwritten when the block stores its own at the end. */
    uint32_t clear_requests; /* `clear` messages received (wraps) */
    uint32_t clears_done;    /* requests acted on */
} t_highcut;

static t_class *highcut_class;

/* ---- DSP core ---- */
static const double highcut_two_pi = 6.283185307179586;

/* c = f * 2pi / sr for a cutoff f of 0 or more, held within 0..1. A cutoff at or above sr/2pi
   passes the input through; a cutoff of 0, below 0 or NaN holds the last output. A NaN
   coefficient (from a rate of 0 or NaN) would poison the recursion for good: it becomes 1,
   pass-through, like any other value above the range. */
static inline double highcut_coef(double f, double sr)
{
    double fp = f >= 0.0 ? f : 0.0;
    double c = fp * highcut_two_pi / sr;
    if (!(c <= 1.0))
        c = 1.0;
    else if (c < 0.0)
        c = 0.0;
    return c;
}

template <typename T>
static inline T highcut_step(T y, T a, T x) { return a * x + ((T)1 - a) * y; }

/* The cutoff comes from the stored coefficient (cutoff_sig NULL) or from the signal at every
   sample; in the second case that sample's cutoff is stored and sets the coefficient it uses. */
/* Carries out a `clear` asked for since the last block. */
static inline void highcut_take_request(t_highcut *x)
{
    const uint32_t requested = tk_load_count(&x->clear_requests);
    if (requested != x->clears_done) {
        x->block->last = 0.0;
        x->clears_done = requested;
    }
}

template <typename T>
static inline void highcut_run(t_highcut *x, const T *in, const T *cutoff_sig, T *out, long n)
{
    highcut_take_request(x);
    t_highcut_block *b = x->block;
    T y = (T)b->last;
    if (!cutoff_sig) {
        T a = (T)tk_load(&b->coef); /* a number at inlet 1 may write it meanwhile */
        for (long i = 0; i < n; i++) {
            y = highcut_step(y, a, in[i]);
            out[i] = y;
        }
    } else {
        double sr = x->sample_rate;
        double f = 0.0, c = 0.0;
        for (long i = 0; i < n; i++) {
            f = (double)cutoff_sig[i];
            T xin = in[i]; /* both inputs are read before the output, which may share a buffer */
            c = highcut_coef(f, sr);
            y = highcut_step(y, (T)c, xin);
            out[i] = y;
        }
        /* the last sample's cutoff and coefficient stay, stored once */
        if (n > 0) {
            tk_store(&x->cutoff, f);
            tk_store(&b->coef, c);
        }
    }
    b->last = flush_denormal((double)y);
}

/* ---- perform ---- */
static void highcut_perform64(t_object *ob, t_object *dsp64, double **ins, long numins, double **outs,
                              long numouts, long n, long flags, void *userparam)
{
    highcut_run<double>((t_highcut *)ob, ins[0], NULL, outs[0], n);
}

static void highcut_perform64_signal(t_object *ob, t_object *dsp64, double **ins, long numins,
                                     double **outs, long numouts, long n, long flags, void *userparam)
{
    highcut_run<double>((t_highcut *)ob, ins[0], ins[1], outs[0], n);
}

static t_int *highcut_perform(t_int *w)
{
    highcut_run<float>((t_highcut *)w[1], (const float *)w[2], NULL, (float *)w[4], (long)w[5]);
    return w + 6;
}

static t_int *highcut_perform_signal(t_int *w)
{
    highcut_run<float>((t_highcut *)w[1], (const float *)w[2], (const float *)w[3], (float *)w[4],
                       (long)w[5]);
    return w + 6;
}

/* ---- DSP compilation ---- */
static void highcut_rate(t_highcut *x, double samplerate)
{
    if (samplerate != x->sample_rate) /* a NaN on either side counts as a change */
        x->sample_rate = samplerate;
    tk_store(&x->block->coef, highcut_coef(tk_load(&x->cutoff), x->sample_rate));
}

static void highcut_dsp64(t_highcut *x, t_object *dsp64, short *count, double samplerate,
                          long maxvectorsize, long flags)
{
    highcut_rate(x, samplerate);
    if (count[1])
        object_method(dsp64, gensym("dsp_add64"), x, highcut_perform64_signal, 0, NULL);
    else
        object_method(dsp64, gensym("dsp_add64"), x, highcut_perform64, 0, NULL);
}

static void highcut_dsp(t_highcut *x, t_signal **sp, short *count)
{
    highcut_rate(x, sp[0]->s_sr);
    dsp_add(count[1] ? highcut_perform_signal : highcut_perform, 5, x, sp[0]->s_vec, sp[1]->s_vec,
            sp[2]->s_vec, sp[0]->s_n);
}

/* ---- messages ---- */
static void highcut_float(t_highcut *x, double v)
{
    if (proxy_getinlet((t_object *)x) == 1) {
        tk_store(&x->cutoff, v);
        tk_store(&x->block->coef, highcut_coef(v, x->sample_rate));
    }
}

static void highcut_int(t_highcut *x, t_atom_long n) { highcut_float(x, (double)n); }

/* At the start of the next block (see clear_requests). */
static void highcut_clear(t_highcut *x) { tk_count_up(&x->clear_requests); }

static const char *const highcut_inlet_text[] = {
    "(signal) Input to be filtered",
    "(signal/float) Cutoff Frequency",
};

static void highcut_assist(t_highcut *x, void *b, long io, long index, char *s)
{
    if (io == ASSIST_INLET) {
        if (index >= 0 && index < 2)
            sprintf(s, "%s", highcut_inlet_text[index]);
    } else {
        sprintf(s, "(signal) Filtered signal");
    }
}

/* ---- new / free ---- */
static void *highcut_new(t_symbol *s, long argc, t_atom *argv)
{
    t_highcut *x = (t_highcut *)object_alloc(highcut_class);
    if (!x)
        return NULL;
    z_dsp_setup((t_pxobject *)x, 2);
    outlet_new((t_object *)x, "signal");
    x->block = &x->storage;
    x->sample_rate = (double)sys_getsr();
    x->cutoff = 0.0;
    atom_arg_getdouble(&x->cutoff, 0, argc, argv);
    x->block->last = 0.0;
    x->clear_requests = x->clears_done = 0;
    x->block->coef = highcut_coef(x->cutoff, x->sample_rate);
    return x;
}

extern "C" C74_EXPORT int main(void)
{
    t_class *c = class_new("highcut~", (method)highcut_new, (method)z_dsp_free, sizeof(t_highcut), NULL,
                           A_GIMME, 0);
    class_addmethod(c, (method)highcut_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(c, (method)highcut_dsp, "dsp", A_CANT, 0);
    class_addmethod(c, (method)highcut_float, "float", A_FLOAT, 0);
    class_addmethod(c, (method)highcut_int, "int", A_LONG, 0);
    class_addmethod(c, (method)highcut_clear, "clear", 0);
    class_addmethod(c, (method)highcut_assist, "assist", A_CANT, 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    highcut_class = c;
    object_post(NULL, TILDEKIT_RULE_74);
    object_post(NULL, "highcut~: one-pole low-pass filter set by its cutoff frequency");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
    return 0;
}
