/* cxrecur~: one complex pole, y[n] = x[n] + c * y[n-1], a raw building block for filters on
   complex signals (real and imaginary parts on two lines).
   Inlet 0: real part of the input; `set` / `clear` of the state.
   Inlet 1: imaginary part of the input, as a signal (first sample of each block) or a number.
   Inlets 2, 3: real and imaginary part of the coefficient c, as signals (first sample of each
   block) or numbers.
   Outlets 0, 1: real and imaginary part of the output. */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>
#include "tildekit.h"

typedef struct _cxrecur {
    t_pxobject x_obj;
    double state_re;          /* last output, real part */
    double state_im;          /* last output, imaginary part */
    double input_im;          /* imaginary input while inlet 1 has no signal */
    double coef_re;           /* real part of c while inlet 2 has no signal */
    double coef_im;           /* imaginary part of c while inlet 3 has no signal */
    int16_t inlet1_is_signal; /* connection flags of inlets 1 to 3, copied at DSP compilation */
    int16_t inlet2_is_signal;
    int16_t inlet3_is_signal;
    /* `set` and `clear` only ask: the perform routine, which alone writes the state, takes the
       pair at the start of its next block. A message may land while a block runs, and a state
       written from there would be overwritten when the block stores its own at the end. */
    double set_value[2];    /* the state last asked for: re, im */
    uint32_t set_requests;  /* counted up twice per request: odd while the pair is written */
    uint32_t sets_done;     /* set_requests as the perform routine last carried it out */
} t_cxrecur;

static t_class *cxrecur_class;

/* ---- DSP core ---- */
/* One sample: (re, im) is the previous output on entry and the new output on return. The
   sums are taken in this order so both paths round alike. */
template <typename T>
static inline void cxrecur_step(T &re, T &im, T x_re, T xi, T cr, T ci)
{
    T new_re = (re * cr + x_re) - im * ci;
    T new_im = (re * ci + xi) + im * cr;
    re = new_re;
    im = new_im;
}

/* Carries out the last `set` / `clear` at the start of a block. One whose pair is still being
   written (or gets rewritten while it is read) waits for the next block, so the two parts
   always come from the same message. */
static inline void cxrecur_take_request(t_cxrecur *x)
{
    double v[2];
    if (tk_request_take(&x->set_requests, &x->sets_done, x->set_value, v, 2)) {
        x->state_re = v[0];
        x->state_im = v[1];
    }
}

/* The imaginary input and the coefficient are fixed for the whole block: from the first
   sample of a connected signal, else from the stored numbers. Nothing is read from an
   empty block. */
template <typename T>
static inline void cxrecur_run(t_cxrecur *x, const T *in_re, const T *in_im, const T *c_re,
                               const T *c_im, T *out_re, T *out_im, long n)
{
    cxrecur_take_request(x);
    T xi = 0, cr = 0, ci = 0;
    if (n > 0) { /* the stored numbers are read only for a block that uses them */
        xi = x->inlet1_is_signal ? in_im[0] : (T)tk_load(&x->input_im);
        cr = x->inlet2_is_signal ? c_re[0] : (T)tk_load(&x->coef_re);
        ci = x->inlet3_is_signal ? c_im[0] : (T)tk_load(&x->coef_im);
    }
    T re = (T)x->state_re;
    T im = (T)x->state_im;
    for (long i = 0; i < n; i++) {
        cxrecur_step(re, im, in_re[i], xi, cr, ci);
        out_re[i] = re;
        out_im[i] = im;
    }
    x->state_re = flush_denormal((double)re);
    x->state_im = flush_denormal((double)im);
}

/* ---- perform ---- */
static void cxrecur_perform64(t_object *ob, t_object *dsp64, double **ins, long numins, double **outs,
                              long numouts, long n, long flags, void *userparam)
{
    cxrecur_run<double>((t_cxrecur *)ob, ins[0], ins[1], ins[2], ins[3], outs[0], outs[1], n);
}

static t_int *cxrecur_perform(t_int *w)
{
    cxrecur_run<float>((t_cxrecur *)w[1], (const float *)w[2], (const float *)w[3], (const float *)w[4],
                       (const float *)w[5], (float *)w[6], (float *)w[7], (long)w[8]);
    return w + 9;
}

/* ---- DSP compilation ---- */
static void cxrecur_flags(t_cxrecur *x, const short *count)
{
    x->inlet1_is_signal = count[1];
    x->inlet2_is_signal = count[2];
    x->inlet3_is_signal = count[3];
}

static void cxrecur_dsp64(t_cxrecur *x, t_object *dsp64, short *count, double samplerate,
                          long maxvectorsize, long flags)
{
    cxrecur_flags(x, count);
    object_method(dsp64, gensym("dsp_add64"), x, cxrecur_perform64, 0, NULL);
}

static void cxrecur_dsp(t_cxrecur *x, t_signal **sp, short *count)
{
    cxrecur_flags(x, count);
    dsp_add(cxrecur_perform, 8, x, sp[0]->s_vec, sp[1]->s_vec, sp[2]->s_vec, sp[3]->s_vec,
            sp[4]->s_vec, sp[5]->s_vec, sp[0]->s_n);
}

/* ---- messages ---- */
static void cxrecur_float(t_cxrecur *x, double v)
{
    switch (proxy_getinlet((t_object *)x)) {
    case 1: tk_store(&x->input_im, v); break;
    case 2: tk_store(&x->coef_re, v); break;
    case 3: tk_store(&x->coef_im, v); break;
    default: break; /* a number at the signal input changes nothing */
    }
}

static void cxrecur_int(t_cxrecur *x, t_atom_long n) { cxrecur_float(x, (double)n); }

/* The state takes (re, im) at the start of the next block (see set_requests). */
static void cxrecur_set(t_cxrecur *x, double re, double im)
{
    tk_request_begin(&x->set_requests);
    tk_request_value(&x->set_value[0], re);
    tk_request_value(&x->set_value[1], im);
    tk_request_end(&x->set_requests);
}

static void cxrecur_clear(t_cxrecur *x, t_symbol *s, long argc, t_atom *argv)
{
    cxrecur_set(x, 0.0, 0.0);
}

static const char *const cxrecur_inlet_text[] = {
    "(signal) Input to be filtered-Real part(clear) Clear internal state to zero(set) set internal "
    "state-real and imaginary parts",
    "(signal) Signal to filter-Imaginary part ",
    "(signal) Filter coefficient - Real part ",
    "(signal) Filter coefficient - Imaginary part ",
};
static const char *const cxrecur_outlet_text[] = {
    "(signal) Filtered signal-re",
    "(signal) Filtered signal-im",
};

static void cxrecur_assist(t_cxrecur *x, void *b, long io, long index, char *s)
{
    if (io == ASSIST_INLET) {
        if (index >= 0 && index < 4)
            sprintf(s, "%s", cxrecur_inlet_text[index]);
    } else {
        if (index >= 0 && index < 2)
            sprintf(s, "%s", cxrecur_outlet_text[index]);
    }
}

/* ---- new / free ---- */
static void *cxrecur_new(t_symbol *s, long argc, t_atom *argv)
{
    t_cxrecur *x = (t_cxrecur *)object_alloc(cxrecur_class);
    if (!x)
        return NULL;
    z_dsp_setup((t_pxobject *)x, 4);
    outlet_new((t_object *)x, "signal"); /* rightmost: imaginary part */
    outlet_new((t_object *)x, "signal"); /* leftmost: real part */
    x->state_re = 0.0;
    x->state_im = 0.0;
    x->set_value[0] = x->set_value[1] = 0.0;
    x->set_requests = x->sets_done = 0;
    x->input_im = 0.0;
    x->coef_re = 0.0;
    x->coef_im = 0.0;
    atom_arg_getdouble(&x->coef_re, 0, argc, argv);
    atom_arg_getdouble(&x->coef_im, 1, argc, argv);
    x->inlet1_is_signal = x->inlet2_is_signal = x->inlet3_is_signal = 0;
    return x;
}

extern "C" C74_EXPORT int main(void)
{
    t_class *c = class_new("cxrecur~", (method)cxrecur_new, (method)z_dsp_free, sizeof(t_cxrecur), NULL,
                           A_GIMME, 0);
    class_addmethod(c, (method)cxrecur_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(c, (method)cxrecur_dsp, "dsp", A_CANT, 0);
    class_addmethod(c, (method)cxrecur_float, "float", A_FLOAT, 0);
    class_addmethod(c, (method)cxrecur_int, "int", A_LONG, 0);
    class_addmethod(c, (method)cxrecur_set, "set", A_DEFFLOAT, A_DEFFLOAT, 0);
    class_addmethod(c, (method)cxrecur_clear, "clear", A_GIMME, 0);
    class_addmethod(c, (method)cxrecur_assist, "assist", A_CANT, 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    cxrecur_class = c;
    object_post(NULL, TILDEKIT_RULE_74);
    object_post(NULL, "cxrecur~: complex one-pole recursive section, y[n] = x[n] + c*y[n-1]");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
    return 0;
}
