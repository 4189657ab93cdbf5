/* slidevec~: moves the samples of every signal block by a fixed number of positions
   within the block and fills the vacated positions with zeros. A positive shift moves
   samples toward the start of the block, a negative one toward its end; nothing carries
   over from one block to the next. The shift is the creation argument.
   Inlet 0: the signal.
   Outlet 0: the shifted blocks. */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>
#include "tildekit.h"

typedef struct _slidevec {
    t_pxobject x_obj;
    t_atom_long shift;           /* samples, within [-creation_block_size, creation_block_size] */
    int32_t creation_block_size; /* signal block size when the box was created */
} t_slidevec;

static t_class *slidevec_class;

/* ---- DSP core ---- */
/* Amount actually moved: the shift limited to the running block. */
static inline long slidevec_amount(t_atom_long shift, long n)
{
    t_atom_long magnitude = shift < 0 ? -shift : shift; /* shift is bounded by a 32-bit size */
    if (n <= 0)
        return 0;
    return magnitude < (t_atom_long)n ? (long)magnitude : n;
}

/* The copy runs forward for a left shift and backward for a right shift, so each input
   sample is read before the output write that could overwrite it when the buffers are
   shared. */
template <typename T> static inline void slidevec_left(const T *in, T *out, long n, long m)
{
    long i = 0;
    for (; i < n - m; i++)
        out[i] = in[i + m];
    for (; i < n; i++)
        out[i] = 0;
}

template <typename T> static inline void slidevec_right(const T *in, T *out, long n, long m)
{
    long i = n - 1;
    for (; i >= m; i--)
        out[i] = in[i - m];
    for (; i >= 0; i--)
        out[i] = 0;
}

/* ---- perform ---- */
static void slidevec_perform64_left(t_object *ob, t_object *dsp64, double **ins, long numins, double **outs,
                                    long numouts, long n, long flags, void *userparam)
{
    t_slidevec *x = (t_slidevec *)ob;
    slidevec_left<double>(ins[0], outs[0], n, slidevec_amount(x->shift, n));
}

static void slidevec_perform64_right(t_object *ob, t_object *dsp64, double **ins, long numins,
                                     double **outs, long numouts, long n, long flags, void *userparam)
{
    t_slidevec *x = (t_slidevec *)ob;
    slidevec_right<double>(ins[0], outs[0], n, slidevec_amount(x->shift, n));
}

static t_int *slidevec_perform_left(t_int *w)
{
    t_slidevec *x = (t_slidevec *)w[1];
    long n = (long)w[4];
    slidevec_left<float>((const float *)w[2], (float *)w[3], n, slidevec_amount(x->shift, n));
    return w + 5;
}

static t_int *slidevec_perform_right(t_int *w)
{
    t_slidevec *x = (t_slidevec *)w[1];
    long n = (long)w[4];
    slidevec_right<float>((const float *)w[2], (float *)w[3], n, slidevec_amount(x->shift, n));
    return w + 5;
}

/* ---- DSP compilation ---- */
static void slidevec_dsp64(t_slidevec *x, t_object *dsp64, short *count, double samplerate,
                           long maxvectorsize, long flags)
{
    if (x->shift >= 0)
        object_method(dsp64, gensym("dsp_add64"), x, slidevec_perform64_left, 0, NULL);
    else
        object_method(dsp64, gensym("dsp_add64"), x, slidevec_perform64_right, 0, NULL);
}

static void slidevec_dsp(t_slidevec *x, t_signal **sp, short *count)
{
    dsp_add(x->shift >= 0 ? slidevec_perform_left : slidevec_perform_right, 4, x, sp[0]->s_vec,
            sp[1]->s_vec, sp[0]->s_n);
}

/* ---- new ---- */
static void *slidevec_new(t_symbol *s, long argc, t_atom *argv)
{
    t_slidevec *x = (t_slidevec *)object_alloc(slidevec_class);
    if (!x)
        return NULL;
    z_dsp_setup((t_pxobject *)x, 1);
    outlet_new((t_object *)x, "signal");
    int size = sys_getblksize();
    x->creation_block_size = size > 0 ? (int32_t)size : 0;
    x->shift = 0;
    atom_arg_getlong(&x->shift, 0, argc, argv);
    t_atom_long limit = (t_atom_long)x->creation_block_size;
    if (x->shift >= limit)
        x->shift = limit;
    else if (x->shift <= -limit)
        x->shift = -limit;
    x->x_obj.z_misc |= Z_NO_INPLACE;
    return x;
}

extern "C" C74_EXPORT int main(void)
{
    t_class *c = class_new("slidevec~", (method)slidevec_new, (method)z_dsp_free, sizeof(t_slidevec), NULL,
                           A_GIMME, 0);
    class_addmethod(c, (method)slidevec_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(c, (method)slidevec_dsp, "dsp", A_CANT, 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    slidevec_class = c;
    object_post(NULL, TILDEKIT_RULE_74);
    object_post(NULL, "slidevec~: shifts samples within each signal block, zero-filled");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
    return 0;
}
