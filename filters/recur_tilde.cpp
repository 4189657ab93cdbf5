/* recur~: one-pole recursive section, y[n] = x[n] + a * y[n-1], a raw building block for
   home-made filters.
   Inlet 0: signal to filter; `set` / `clear` of the state.
   Inlet 1: the coefficient a, as a signal (first sample of each block) or a number.
   Outlet 0: the filtered signal. */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>
#include "tildekit.h"

typedef struct _recur {
    t_pxobject x_obj;
    double state;                 /* last output y[n-1] */
    double coefficient;           /* a, unclamped */
    int16_t coefficient_is_signal; /* connection flag of inlet 1, copied at DSP compilation */
    /* `set` and `clear` only ask: the perform routine, which alone writes the state, takes the
       value at the start of its next block. A message may land while a block runs, and a state
       written from there would be overwritten when the block stores its own at the end. */
    double set_value;       /* the state last asked for */
    uint32_t set_requests;  /* counted up twice per request: odd while set_value is written */
    uint32_t sets_done;     /* set_requests as the perform routine last carried it out */
} t_recur;

static t_class *recur_class;

/* ---- DSP core ---- */
static inline double recur_step(double y, double a, double x) { return y * a + x; }

/* Carries out the last `set` / `clear` at the start of a block. One whose value is still being
   written (or gets rewritten while it is read) waits for the next block. */
static inline void recur_take_request(t_recur *x)
{
    double v;
    if (tk_request_take(&x->set_requests, &x->sets_done, &x->set_value, &v, 1))
        x->state = v;
}

/* ---- perform ---- */
static void recur_perform64(t_object *ob, t_object *dsp64, double **ins, long numins, double **outs,
                            long numouts, long n, long flags, void *userparam)
{
    t_recur *x = (t_recur *)ob;
    recur_take_request(x);
    const double *in = ins[0];
    double *out = outs[0];
    /* a signal coefficient is read once per block, from its first sample */
    double a = x->coefficient_is_signal ? ins[1][0] : tk_load(&x->coefficient);
    double y = x->state;
    for (long i = 0; i < n; i++) {
        y = recur_step(y, a, in[i]);
        out[i] = y;
    }
    x->state = flush_denormal(y);
}

static t_int *recur_perform(t_int *w)
{
    t_recur *x = (t_recur *)w[1];
    recur_take_request(x);
    const float *in = (const float *)w[2];
    const float *coef = (const float *)w[3];
    float *out = (float *)w[4];
    long n = (long)w[5];
    float a = x->coefficient_is_signal ? coef[0] : (float)tk_load(&x->coefficient);
    float y = (float)x->state;
    for (long i = 0; i < n; i++) {
        y = y * a + in[i];
        out[i] = y;
    }
    x->state = flush_denormal((double)y);
    return w + 6;
}

/* ---- DSP compilation ---- */
static void recur_dsp64(t_recur *x, t_object *dsp64, short *count, double samplerate, long maxvectorsize,
                        long flags)
{
    x->coefficient_is_signal = count[1];
    object_method(dsp64, gensym("dsp_add64"), x, recur_perform64, 0, NULL);
}

static void recur_dsp(t_recur *x, t_signal **sp, short *count)
{
    x->coefficient_is_signal = count[1];
    dsp_add(recur_perform, 5, x, sp[0]->s_vec, sp[1]->s_vec, sp[2]->s_vec, sp[0]->s_n);
}

/* ---- messages ---- */
static void recur_float(t_recur *x, double v)
{
    if (proxy_getinlet((t_object *)x) == 1)
        tk_store(&x->coefficient, v);
}

static void recur_int(t_recur *x, t_atom_long n) { recur_float(x, (double)n); }

/* The state takes v at the start of the next block (see set_requests). */
static void recur_set(t_recur *x, double v)
{
    tk_request_begin(&x->set_requests);
    tk_request_value(&x->set_value, v);
    tk_request_end(&x->set_requests);
}

static void recur_clear(t_recur *x) { recur_set(x, 0.0); }

static const char *const recur_inlet_text[] = {
    "(signal) Input to be filtered(clear) Clear internal state to zero(set) set internal state",
    "(signal/float) Filter coefficient",
};

static void recur_assist(t_recur *x, void *b, long io, long index, char *s)
{
    if (io == ASSIST_INLET) {
        if (index >= 0 && index < 2)
            sprintf(s, "%s", recur_inlet_text[index]);
    } else {
        sprintf(s, "(signal) Filtered signal");
    }
}

/* ---- new / free ---- */
static void *recur_new(t_symbol *s, long argc, t_atom *argv)
{
    t_recur *x = (t_recur *)object_alloc(recur_class);
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
    t_class *c = class_new("recur~", (method)recur_new, (method)z_dsp_free, sizeof(t_recur), NULL,
                           A_GIMME, 0);
    class_addmethod(c, (method)recur_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(c, (method)recur_dsp, "dsp", A_CANT, 0);
    class_addmethod(c, (method)recur_float, "float", A_FLOAT, 0);
    class_addmethod(c, (method)recur_int, "int", A_LONG, 0);
    class_addmethod(c, (method)recur_set, "set", A_DEFFLOAT, 0);
    class_addmethod(c, (method)recur_clear, "clear", 0);
    class_addmethod(c, (method)recur_assist, "assist", A_CANT, 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    recur_class = c;
    object_post(NULL, TILDEKIT_RULE_74);
    object_post(NULL, "recur~: one-pole recursive section, y[n] = x[n] + a*y[n-1]");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
    return 0;
}
