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

template <typename T>
static inline void sosect_run(t_sosect *x, const T *in, T *out, long n)
{
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
/* fb1 fb2 ff1 ff2 ff3; missing ones count as 0. The state is left alone. */
static void sosect_list(t_sosect *x, t_symbol *s, long argc, t_atom *argv)
{
    double v[5];
    for (long i = 0; i < 5; i++)
        v[i] = i < argc ? (double)atom_getfloat(argv + i) : 0.0;
    t_sosect_block *b = x->block;
    if (sosect_stable(v[0], v[1])) {
        b->fb1 = v[0];
        b->fb2 = v[1];
        b->ff1 = v[2];
        b->ff2 = v[3];
        b->ff3 = v[4];
    } else {
        b->fb1 = b->fb2 = b->ff1 = b->ff2 = b->ff3 = 0.0;
    }
}

/* `set w1 w2`; also `clear`, which without arguments zeroes both. */
static void sosect_set(t_sosect *x, t_symbol *s, long argc, t_atom *argv)
{
    short ac = argc > 2 ? 2 : (argc < 0 ? 0 : (short)argc); /* only the first two are read */
    x->block->w1 = (double)atom_getfloatarg(0, ac, argv);
    x->block->w2 = (double)atom_getfloatarg(1, ac, argv);
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
    sosect_list(x, s, argc, argv);
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
