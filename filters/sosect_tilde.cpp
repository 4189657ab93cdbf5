/* sosect~: a raw second-order section (biquad) whose five coefficients come straight from a
   list, for people who compute their own: w[n] = x[n] + fb1 w[n-1] + fb2 w[n-2],
   y[n] = ff1 w[n] + ff2 w[n-1] + ff3 w[n-2]. A list that would make the recursion unstable
   is refused by setting all five coefficients to 0.
   Inlet 0: the signal; `list` of coefficients, `set` / `clear` of the state.
   Outlet 0: the filtered signal. */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>
#include "tildekit.h"

/* Coefficient-and-state block: the states first, then the coefficients. */
typedef struct _sosect_block {
    double w1;  /* last internal value */
    double w2;  /* the one before */
    double fb1; /* feedback on w[n-1] */
    double fb2; /* feedback on w[n-2] */
    double ff1; /* feed-forward of w[n] */
    double ff2; /* feed-forward of w[n-1] */
    double ff3; /* feed-forward of w[n-2] */
} t_sosect_block;

typedef struct _sosect {
    t_pxobject x_obj;
    t_sosect_block storage; /* reached through `block` only */
    t_sosect_block *block;  /* points at `storage` */
    /* Messages only ask; the perform routine, which alone writes the block, takes what they
       ask for at the start of its next block. A message may land while a block runs: a state
       set from there would be overwritten when the block stores its own, and five
       coefficients written from there could be taken half old, half new. Each request is
       counted up twice, odd while its values are written, so that the perform routine takes
       only values one message wrote in full. */
    double coefs_asked[5];  /* fb1 fb2 ff1 ff2 ff3 of the last list, already checked */
    double state_asked[2];  /* w1 w2 of the last set / clear */
    uint32_t list_requests, lists_done;
    uint32_t set_requests, sets_done;
} t_sosect;

static t_class *sosect_class;

/* ---- DSP core ---- */
/* Whether the recursion w[n] = x[n] + fb1 w[n-1] + fb2 w[n-2] keeps its poles within the unit
   circle (on it counts as stable). Complex poles need fb2 >= -1; real poles need the
   polynomial's values at +1 and -1 to stay non-negative and |fb1| <= 2. A NaN fails every
   comparison and is refused. */
static inline bool sosect_stable(double fb1, double fb2)
{
    double d = fb1 * fb1 + fb2 * 4.0;
    if (d < 0.0)
        return fb2 >= -1.0;
    return fb1 <= 2.0 && fb1 >= -2.0 && (1.0 - fb1) - fb2 >= 0.0 && (fb1 + 1.0) - fb2 >= 0.0;
}

/* One sample. The new internal value goes through the state guard at once, so a runaway
   recursion restarts from 0 at the sample where it gets out of range. */
template <typename T>
static inline T sosect_step(T &w1, T &w2, const T c[5], T x)
{
    T w = (c[0] * w1 + x) + c[1] * w2;
    if (flush_denormal((double)w) == 0.0)
        w = 0;
    T y = (w * c[2] + c[3] * w1) + c[4] * w2;
    w2 = w1;
    w1 = w;
    return y;
}

/* Carries out the last list and the last set / clear at the start of a block. */
static inline void sosect_take_requests(t_sosect *x)
{
    t_sosect_block *b = x->block;
    double c[5], w[2];
    if (tk_request_take(&x->list_requests, &x->lists_done, x->coefs_asked, c, 5)) {
        b->fb1 = c[0];
        b->fb2 = c[1];
        b->ff1 = c[2];
        b->ff2 = c[3];
        b->ff3 = c[4];
    }
    if (tk_request_take(&x->set_requests, &x->sets_done, x->state_asked, w, 2)) {
        b->w1 = w[0];
        b->w2 = w[1];
    }
}

template <typename T>
static inline void sosect_run(t_sosect *x, const T *in, T *out, long n)
{
    sosect_take_requests(x);
    t_sosect_block *b = x->block;
    const T c[5] = {(T)b->fb1, (T)b->fb2, (T)b->ff1, (T)b->ff2, (T)b->ff3};
    T w1 = (T)b->w1;
    T w2 = (T)b->w2;
    for (long i = 0; i < n; i++)
        out[i] = sosect_step(w1, w2, c, in[i]);
    b->w1 = (double)w1;
    b->w2 = (double)w2;
}

/* ---- perform ---- */
static void sosect_perform64(t_object *ob, t_object *dsp64, double **ins, long numins, double **outs,
                             long numouts, long n, long flags, void *userparam)
{
    sosect_run<double>((t_sosect *)ob, ins[0], outs[0], n);
}

static t_int *sosect_perform(t_int *w)
{
    sosect_run<float>((t_sosect *)w[1], (const float *)w[2], (float *)w[3], (long)w[4]);
    return w + 5;
}

/* ---- DSP compilation ---- */
static void sosect_dsp64(t_sosect *x, t_object *dsp64, short *count, double samplerate,
                         long maxvectorsize, long flags)
{
    object_method(dsp64, gensym("dsp_add64"), x, sosect_perform64, 0, NULL);
}

static void sosect_dsp(t_sosect *x, t_signal **sp, short *count)
{
    dsp_add(sosect_perform, 4, x, sp[0]->s_vec, sp[1]->s_vec, sp[0]->s_n);
}

/* ---- messages ---- */
/* fb1 fb2 ff1 ff2 ff3 from a list; missing ones count as 0, and an unstable set is all 0. */
static void sosect_coefficients(long argc, t_atom *argv, double c[5])
{
    for (long i = 0; i < 5; i++)
        c[i] = i < argc ? (double)atom_getfloat(argv + i) : 0.0;
    if (!sosect_stable(c[0], c[1]))
        c[0] = c[1] = c[2] = c[3] = c[4] = 0.0;
}

/* The coefficients change at the start of the next block (see list_requests). The state is
   left alone. */
static void sosect_list(t_sosect *x, t_symbol *s, long argc, t_atom *argv)
{
    double c[5];
    sosect_coefficients(argc, argv, c);
    tk_request_begin(&x->list_requests);
    for (int i = 0; i < 5; i++)
        tk_request_value(&x->coefs_asked[i], c[i]);
    tk_request_end(&x->list_requests);
}

/* `set w1 w2`, at the start of the next block (see set_requests); also `clear`, which without arguments zeroes both. */
static void sosect_set(t_sosect *x, t_symbol *s, long argc, t_atom *argv)
{
    short ac = argc > 2 ? 2 : (argc < 0 ? 0 : (short)argc); /* only the first two are read */
    const double w1 = (double)atom_getfloatarg(0, ac, argv);
    const double w2 = (double)atom_getfloatarg(1, ac, argv);
    tk_request_begin(&x->set_requests);
    tk_request_value(&x->state_asked[0], w1);
    tk_request_value(&x->state_asked[1], w2);
    tk_request_end(&x->set_requests);
}

static void sosect_assist(t_sosect *x, void *b, long io, long index, char *s)
{
    if (io == ASSIST_INLET)
        sprintf(s, "%s", "\n(signal) Incoming signal\n (list) A list of 5 floats is used to set the filter "
                         "parameters\n (clear)clear internal state");
    else
        sprintf(s, "%s", "(signal) Outcoming signal");
}

/* ---- new / free ---- */
static void *sosect_new(t_symbol *s, long argc, t_atom *argv)
{
    t_sosect *x = (t_sosect *)object_alloc(sosect_class);
    if (!x)
        return NULL;
    z_dsp_setup((t_pxobject *)x, 1);
    outlet_new((t_object *)x, "signal");
    x->block = &x->storage;
    x->block->w1 = 0.0;
    x->block->w2 = 0.0;
    double c[5];
    sosect_coefficients(argc, argv, c);
    x->block->fb1 = c[0];
    x->block->fb2 = c[1];
    x->block->ff1 = c[2];
    x->block->ff2 = c[3];
    x->block->ff3 = c[4];
    for (int i = 0; i < 5; i++)
        x->coefs_asked[i] = 0.0;
    x->state_asked[0] = x->state_asked[1] = 0.0;
    x->list_requests = x->lists_done = 0;
    x->set_requests = x->sets_done = 0;
    return x;
}

extern "C" C74_EXPORT int main(void)
{
    t_class *c = class_new("sosect~", (method)sosect_new, (method)z_dsp_free, sizeof(t_sosect), NULL,
                           A_GIMME, 0);
    class_addmethod(c, (method)sosect_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(c, (method)sosect_dsp, "dsp", A_CANT, 0);
    class_addmethod(c, (method)sosect_list, "list", A_GIMME, 0);
    class_addmethod(c, (method)sosect_set, "set", A_GIMME, 0);
    class_addmethod(c, (method)sosect_set, "clear", A_GIMME, 0);
    class_addmethod(c, (method)sosect_assist, "assist", A_CANT, 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    sosect_class = c;
    object_post(NULL, TILDEKIT_RULE_74);
    object_post(NULL, "sosect~: second-order section (biquad) set by a list of five coefficients");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
    return 0;
}
