/* backtap~: reversed one-zero section, y[n] = x[n-1] - a * x[n], a raw building block for
   home-made filters (all-pass and reflection structures).
   Inlet 0: signal to filter; `set` / `clear` of the state (the previous input).
   Inlet 1: the coefficient a, as a signal (first sample of each block) or a number.
   Outlet 0: the filtered signal. */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>
#include "tildekit.h"

typedef struct _backtap {
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
} t_backtap;

static t_class *backtap_class;

/* ---- DSP core ---- */
static inline double backtap_step(double s, double a, double x) { return s - x * a; }

/* Carries out the last `set` / `clear` at the start of a block. One whose value is still being
   written (or gets rewritten while it is read) waits for the next block. */
static inline void backtap_take_request(t_backtap *x)
{
    double v;
    if (tk_request_take(&x->set_requests, &x->sets_done, &x->set_value, &v, 1))
        x->state = v;
}

/* ---- perform ---- */
static void backtap_perform64(t_object *ob, t_object *dsp64, double **ins, long numins, double **outs,
                            long numouts, long n, long flags, void *userparam)
{
    t_backtap *x = (t_backtap *)ob;
    backtap_take_request(x);
    const double *in = ins[0];
    double *out = outs[0];
    /* a signal coefficient is read once per block, from its first sample */
    double a = x->coefficient_is_signal ? ins[1][0] : tk_load(&x->coefficient);
    double s = x->state;
    for (long i = 0; i < n; i++) {
        double in_i = in[i]; /* read before the write: the output may share the input's memory */
        out[i] = backtap_step(s, a, in_i);
        s = in_i;
    }
    /* the state is a past input, finite whenever the input is: stored unguarded */
    x->state = s;
}

static t_int *backtap_perform(t_int *w)
{
    t_backtap *x = (t_backtap *)w[1];
    backtap_take_request(x);
    const float *in = (const float *)w[2];
    const float *coef = (const float *)w[3];
    float *out = (float *)w[4];
    long n = (long)w[5];
    float a = x->coefficient_is_signal ? coef[0] : (float)tk_load(&x->coefficient);
    float s = (float)x->state;
    for (long i = 0; i < n; i++) {
        float in_i = in[i];
        out[i] = s - in_i * a;
        s = in_i;
    }
    x->state = (double)s;
    return w + 6;
}

/* ---- DSP compilation ---- */
static void backtap_dsp64(t_backtap *x, t_object *dsp64, short *count, double samplerate, long maxvectorsize,
                        long flags)
{
    x->coefficient_is_signal = count[1];
    object_method(dsp64, gensym("dsp_add64"), x, backtap_perform64, 0, NULL);
}

static void backtap_dsp(t_backtap *x, t_signal **sp, short *count)
{
    x->coefficient_is_signal = count[1];
    dsp_add(backtap_perform, 5, x, sp[0]->s_vec, sp[1]->s_vec, sp[2]->s_vec, sp[0]->s_n);
}

/* ---- messages ---- */
static void backtap_float(t_backtap *x, double v)
{
    if (proxy_getinlet((t_object *)x) == 1)
        tk_store(&x->coefficient, v);
}

static void backtap_int(t_backtap *x, t_atom_long n) { backtap_float(x, (double)n); }

/* The state takes v at the start of the next block (see set_requests). */
static void backtap_set(t_backtap *x, double v)
{
    tk_request_begin(&x->set_requests);
    tk_request_value(&x->set_value, v);
    tk_request_end(&x->set_requests);
}

static void backtap_clear(t_backtap *x) { backtap_set(x, 0.0); }

static const char *const backtap_inlet_text[] = {
    "(signal) Input to be filtered(clear) Clear internal state to zero(set) set internal state",
    "(signal/float) Filter coefficient",
};

static void backtap_assist(t_backtap *x, void *b, long io, long index, char *s)
{
    if (io == ASSIST_INLET) {
        if (index >= 0 && index < 2)
            sprintf(s, "%s", backtap_inlet_text[index]);
    } else {
        sprintf(s, "(signal) Filtered signal");
    }
}

/* ---- new / free ---- */
static void *backtap_new(t_symbol *s, long argc, t_atom *argv)
{
    t_backtap *x = (t_backtap *)object_alloc(backtap_class);
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
    t_class *c = class_new("backtap~", (method)backtap_new, (method)z_dsp_free, sizeof(t_backtap), NULL,
                           A_GIMME, 0);
    class_addmethod(c, (method)backtap_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(c, (method)backtap_dsp, "dsp", A_CANT, 0);
    class_addmethod(c, (method)backtap_float, "float", A_FLOAT, 0);
    class_addmethod(c, (method)backtap_int, "int", A_LONG, 0);
    class_addmethod(c, (method)backtap_set, "set", A_DEFFLOAT, 0);
    class_addmethod(c, (method)backtap_clear, "clear", 0);
    class_addmethod(c, (method)backtap_assist, "assist", A_CANT, 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    backtap_class = c;
    object_post(NULL, TILDEKIT_RULE_74);
    object_post(NULL, "backtap~: reversed one-zero section, y[n] = x[n-1] - a*x[n]");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
    return 0;
}
