/* latchsig~: sample and hold. The input is sampled whenever the control falls (the
   control sample is smaller than the one before, as at the wrap of a rising ramp) and
   held at the output until the next fall.
   Inlet 0: signal (or number) to be sampled; `set` the held value, `reset` the control memory.
   Inlet 1: control signal; a number instead starts a ramp that rises by 1 per sample from
            that number in every block, so the input is sampled once per block.
   Outlet 0: the held value. */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>
#include "tildekit.h"

typedef struct _latchsig {
    t_pxobject x_obj;
    double last_control;       /* control value of the previous sample */
    double held_value;         /* the value being output */
    double input_value;        /* number last received at inlet 0 */
    double control_value;      /* number last received at inlet 1: start of the per-block ramp */
    int16_t input_connected;   /* connection flag of inlet 0, copied at DSP compilation */
    int16_t control_connected; /* connection flag of inlet 1, copied at DSP compilation */
    /* `set` and `reset` only ask: the perform routine, which alone writes the held value and
       the control memory, takes what they ask for at the start of its next block. A message
       may land while a block runs, and a value written from there would be overwritten when
       the block stores its own at the end. */
    double held_asked;          /* the held value of the last `set` */
    double control_asked;       /* the control memory of the last `reset` */
    uint32_t set_requests, sets_done;     /* counted up twice per request: odd while it is written */
    uint32_t reset_requests, resets_done;
} t_latchsig;

static t_class *latchsig_class;

/* Value that `reset` gives the control memory when it has no float: any control below
   it samples the input at the next sample. */
static const double latchsig_reset_control = 1e20;

/* ---- DSP core ---- */
/* Carries out the last `set` and the last `reset` at the start of a block. One whose value is
   still being written (or gets rewritten while it is read) waits for the next block. */
static inline void latchsig_take_requests(t_latchsig *x)
{
    double v;
    if (tk_request_take(&x->set_requests, &x->sets_done, &x->held_asked, &v, 1))
        x->held_value = v;
    if (tk_request_take(&x->reset_requests, &x->resets_done, &x->control_asked, &v, 1))
        x->last_control = v;
}

/* ---- perform ---- */
/* Input and output may share memory: each sample's inputs are read before its output
   is written. */
static void latchsig_perform64(t_object *ob, t_object *dsp64, double **ins, long numins, double **outs,
                               long numouts, long n, long flags, void *userparam)
{
    t_latchsig *x = (t_latchsig *)ob;
    const double *in = ins[0];
    const double *control = ins[1];
    double *out = outs[0];
    latchsig_take_requests(x);
    double prev = x->last_control;
    double held = x->held_value;
    double ramp = tk_load(&x->control_value); /* local only: every block's ramp starts again */
    const double input_value = tk_load(&x->input_value); /* a number arriving meanwhile counts from the next block */
    for (long i = 0; i < n; i++) {
        double next;
        if (x->control_connected) {
            next = control[i];
        } else {
            next = ramp;
            ramp += 1.0;
        }
        if (next < prev) /* a NaN never triggers */
            held = x->input_connected ? in[i] : input_value;
        out[i] = held;
        prev = next;
    }
    x->last_control = prev;
    x->held_value = held;
}

static t_int *latchsig_perform(t_int *w)
{
    t_latchsig *x = (t_latchsig *)w[1];
    const float *in = (const float *)w[2];
    const float *control = (const float *)w[3];
    float *out = (float *)w[4];
    long n = (long)w[5];
    latchsig_take_requests(x);
    double prev = x->last_control;
    double held = x->held_value;
    double ramp = tk_load(&x->control_value);
    const double input_value = tk_load(&x->input_value);
    for (long i = 0; i < n; i++) {
        double next;
        if (x->control_connected) {
            next = (double)control[i];
        } else {
            next = ramp;
            ramp += 1.0;
        }
        if (next < prev)
            held = x->input_connected ? (double)in[i] : input_value;
        out[i] = (float)held;
        prev = next;
    }
    x->last_control = prev;
    x->held_value = held;
    return w + 6;
}

/* ---- DSP compilation ---- */
static void latchsig_dsp64(t_latchsig *x, t_object *dsp64, short *count, double samplerate,
                           long maxvectorsize, long flags)
{
    x->input_connected = count[0];
    x->control_connected = count[1];
    object_method(dsp64, gensym("dsp_add64"), x, latchsig_perform64, 0, NULL);
}

static void latchsig_dsp(t_latchsig *x, t_signal **sp, short *count)
{
    x->input_connected = count[0];
    x->control_connected = count[1];
    dsp_add(latchsig_perform, 5, x, sp[0]->s_vec, sp[1]->s_vec, sp[2]->s_vec, sp[0]->s_n);
}

/* ---- messages ---- */
/* The held value takes v at the start of the next block (see set_requests). */
static void latchsig_set(t_latchsig *x, double v)
{
    tk_request_begin(&x->set_requests);
    tk_request_value(&x->held_asked, v);
    tk_request_end(&x->set_requests);
}

/* The control memory takes v at the start of the next block (see reset_requests). */
static void latchsig_ask_control(t_latchsig *x, double v)
{
    tk_request_begin(&x->reset_requests);
    tk_request_value(&x->control_asked, v);
    tk_request_end(&x->reset_requests);
}

/* Only a float atom sets the control memory; no atom, an integer or a symbol arms the
   latch so that the next control value samples. */
static void latchsig_reset(t_latchsig *x, t_symbol *s, long argc, t_atom *argv)
{
    if (argc >= 1 && argv && argv[0].a_type == A_FLOAT)
        latchsig_ask_control(x, (double)argv[0].a_w.w_float);
    else
        latchsig_ask_control(x, latchsig_reset_control);
}

static void latchsig_float(t_latchsig *x, double v)
{
    switch (proxy_getinlet((t_object *)x)) {
    case 0: tk_store(&x->input_value, v); break;
    case 1: tk_store(&x->control_value, v); break;
    default: break;
    }
}

static const char *const latchsig_inlet_text[] = {
    "(signal) Input to be sampled\n(set) sets the output value\n(reset) specifies teh most value",
    "(signal) Control signal",
};

static void latchsig_assist(t_latchsig *x, void *b, long io, long index, char *s)
{
    if (io == ASSIST_INLET) {
        if (index >= 0 && index < 2)
            sprintf(s, "%s", latchsig_inlet_text[index]);
    } else {
        sprintf(s, "(signal) Outgoing signal");
    }
}

/* ---- new / free ---- */
static void *latchsig_new(t_symbol *s, long argc, t_atom *argv)
{
    t_latchsig *x = (t_latchsig *)object_alloc(latchsig_class);
    if (!x)
        return NULL;
    z_dsp_setup((t_pxobject *)x, 2);
    outlet_new((t_object *)x, "signal");
    x->last_control = 0.0;
    x->held_value = 0.0;
    x->input_value = 0.0;
    x->control_value = 0.0;
    x->input_connected = 0;
    x->control_connected = 0;
    x->held_asked = 0.0;
    x->control_asked = 0.0;
    x->set_requests = x->sets_done = 0;
    x->reset_requests = x->resets_done = 0;
    return x;
}

extern "C" C74_EXPORT int main(void)
{
    t_class *c = class_new("latchsig~", (method)latchsig_new, (method)z_dsp_free, sizeof(t_latchsig),
                           NULL, A_GIMME, 0);
    class_addmethod(c, (method)latchsig_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(c, (method)latchsig_dsp, "dsp", A_CANT, 0);
    class_addmethod(c, (method)latchsig_set, "set", A_DEFFLOAT, 0);
    class_addmethod(c, (method)latchsig_reset, "reset", A_GIMME, 0);
    class_addmethod(c, (method)latchsig_float, "float", A_FLOAT, 0);
    class_addmethod(c, (method)latchsig_assist, "assist", A_CANT, 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    latchsig_class = c;
    object_post(NULL, TILDEKIT_RULE_74);
    object_post(NULL, "latchsig~: sample and hold, triggered by a falling control signal");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
    return 0;
}
