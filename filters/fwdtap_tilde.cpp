/* fwdtap~: one-zero section, y[n] = x[n] - a * x[n-1], a raw building block for home-made
   filters.
   Inlet 0: signal to filter; `set` / `clear` of the state (the previous input).
   Inlet 1: the coefficient a, as a signal (first sample of each block) or a number.
   Outlet 0: the filtered signal. */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>
#include "tildekit.h"

typedef struct _fwdtap {
    t_pxobject x_obj;
    double state;                 /* last input x[n-1] */
    double coefficient;           /* a, unclamped */
    int16_t coefficient_is_signal; /* connection flag of inlet 1, copied at DSP compilation */
    /* `set` and `clear` only ask: the perform routine, which alone writes the state, takes the
       value at the start of its next block. A message may land while a block runs, and a state
       written from there would be overwritten when the block stores its own at the end. */
    double set_value;       /* the state last asked for */
    uint32_t set_requests;  /* counted up twice per request: odd while set_value is written */
    uint32_t sets_done;     /* set_requests as the perform routine last carried it out */
} t_fwdtap;

static t_class *fwdtap_class;

/* ---- DSP core ---- */
static inline double fwdtap_step(double s, double a, double x) { return x - s * a; }

/* Carries out the last `set` / `clear` at the start of a block. One whose value is still being
   written (or gets rewritten while it is read) waits for the next block. */
static inline void fwdtap_take_request(t_fwdtap *x)
{
    double v;
    if (tk_request_take(&x->set_requests, &x->sets_done, &x->set_value, &v, 1))
        x->state = v;
}

/* ---- perform ---- */
static void fwdtap_perform64(t_object *ob, t_object *dsp64, double **ins, long numins, double **outs,
                            long numouts, long n, long flags, void *userparam)
{
    t_fwdtap *x = (t_fwdtap *)ob;
    fwdtap_take_request(x);
    const double *in = ins[0];
    double *out = outs[0];
    /* a signal coefficient is read once per block, from its first sample */
    double a = x->coefficient_is_signal ? ins[1][0] : tk_load(&x->coefficient);
    double s = x->state;
    for (long i = 0; i < n; i++) {
        double in_i = in[i]; /* read before the write: the output may share the input's memory */
        out[i] = fwdtap_step(s, a, in_i);
        s = in_i;
    }
    /* the state is a past input, finite whenever the input is: stored unguarded */
    x->state = s;
}

static t_int *fwdtap_perform(t_int *w)
{
    t_fwdtap *x = (t_fwdtap *)w[1];
    fwdtap_take_request(x);
    const float *in = (const float *)w[2];
    const float *coef = (const float *)w[3];
    float *out = (float *)w[4];
    long n = (long)w[5];
    float a = x->coefficient_is_signal ? coef[0] : (float)tk_load(&x->coefficient);
    float s = (float)x->state;
    for (long i = 0; i < n; i++) {
        float in_i = in[i];
        out[i] = in_i - s * a;
        s = in_i;
    }
    x->state = (double)s;
    return w + 6;
}

/* ---- DSP compilation ---- */
static void fwdtap_dsp64(t_fwdtap *x, t_object *dsp64, short *count, double samplerate, long maxvectorsize,
                        long flags)
{
    x->coefficient_is_signal = count[1];
    object_method(dsp64, gensym("dsp_add64"), x, fwdtap_perform64, 0, NULL);
}

static void fwdtap_dsp(t_fwdtap *x, t_signal **sp, short *count)
{
    x->coefficient_is_signal = count[1];
    dsp_add(fwdtap_perform, 5, x, sp[0]->s_vec, sp[1]->s_vec, sp[2]->s_vec, sp[0]->s_n);
}

/* ---- messages ---- */
static void fwdtap_float(t_fwdtap *x, double v)
{
    if (proxy_getinlet((t_object *)x) == 1)
        tk_store(&x->coefficient, v);
}

static void fwdtap_int(t_fwdtap *x, t_atom_long n) { fwdtap_float(x, (double)n); }

/* The state takes v at the start of the next block (see set_requests). */
static void fwdtap_set(t_fwdtap *x, double v)
{
    tk_request_begin(&x->set_requests);
    tk_request_value(&x->set_value, v);
    tk_request_end(&x->set_requests);
}

static void fwdtap_clear(t_fwdtap *x) { fwdtap_set(x, 0.0); }

static const char *const fwdtap_inlet_text[] = {
    "(signal) Input to be filtered(clear) Clear internal state to zero(set) set internal state",
    "(signal/float) Filter coefficient",
};

static void fwdtap_assist(t_fwdtap *x, void *b, long io, long index, char *s)
{
    if (io == ASSIST_INLET) {
        if (index >= 0 && index < 2)
            sprintf(s, "%s", fwdtap_inlet_text[index]);
    } else {
        sprintf(s, "(signal) Filtered signal");
    }
}

/* ---- new / free ---- */
static void *fwdtap_new(t_symbol *s, long argc, t_atom *argv)
{
    t_fwdtap *x = (t_fwdtap *)object_alloc(fwdtap_class);
    if (!x)
        return NULL;
    z_dsp_setup((t_pxobject *)x, 2);
    outlet_new((t_object *)x, "signal");
    x->coefficient = 0.0;
    atom_arg_getdouble(&x->coefficient, 0, argc, argv);
    x->state = 0.0;
    x->set_value = 0.0;
    x->set_requests = x->sets_done = 0;
    return x;
}

extern "C" C74_EXPORT int main(void)
{
    t_class *c = class_new("fwdtap~", (method)fwdtap_new, (method)z_dsp_free, sizeof(t_fwdtap), NULL,
                           A_GIMME, 0);
    class_addmethod(c, (method)fwdtap_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(c, (method)fwdtap_dsp, "dsp", A_CANT, 0);
    class_addmethod(c, (method)fwdtap_float, "float", A_FLOAT, 0);
    class_addmethod(c, (method)fwdtap_int, "int", A_LONG, 0);
    class_addmethod(c, (method)fwdtap_set, "set", A_DEFFLOAT, 0);
    class_addmethod(c, (method)fwdtap_clear, "clear", 0);
    class_addmethod(c, (method)fwdtap_assist, "assist", A_CANT, 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    fwdtap_class = c;
    object_post(NULL, TILDEKIT_RULE_74);
    object_post(NULL, "fwdtap~: one-zero section, y[n] = x[n] - a*x[n-1]");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
    return 0;
}
