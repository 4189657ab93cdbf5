/* blocktick~: a bang for every signal block the DSP chain processes, while audio runs.
   The perform routine only sets a clock with no delay; the bang leaves from the
   scheduler, never from the audio thread.
   No signal inlet or outlet; the inlet takes no message.
   Outlet 0: a bang per block. */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>
#include "tildekit.h"

typedef struct _blocktick {
    t_pxobject x_obj;    /* set up with no signal inlet: the host still needs it to leave the chain */
    void *bang_outlet;   /* the only outlet */
    t_clock *block_clock; /* sends the bang */
} t_blocktick;

static t_class *blocktick_class;

/* ---- perform ---- */
static void blocktick_perform64(t_object *ob, t_object *dsp64, double **ins, long numins, double **outs,
                                long numouts, long n, long flags, void *userparam)
{
    clock_delay(((t_blocktick *)ob)->block_clock, 0);
}

static t_int *blocktick_perform(t_int *w)
{
    clock_delay(((t_blocktick *)w[1])->block_clock, 0);
    return w + 2;
}

/* ---- DSP compilation ---- */
static void blocktick_dsp64(t_blocktick *x, t_object *dsp64, short *count, double samplerate,
                            long maxvectorsize, long flags)
{
    object_method(dsp64, gensym("dsp_add64"), x, blocktick_perform64, 0, NULL);
}

static void blocktick_dsp(t_blocktick *x, t_signal **sp, short *count)
{
    dsp_add(blocktick_perform, 1, x);
}

/* ---- clock ---- */
static void blocktick_tick(t_blocktick *x) { outlet_bang(x->bang_outlet); }

/* ---- new / free ---- */
static void blocktick_free(t_blocktick *x)
{
    /* out of the DSP chain before the clock its perform routine sets goes */
    z_dsp_free(&x->x_obj);
    if (x->block_clock) {
        freeobject(x->block_clock);
        x->block_clock = NULL;
    }
}

static void *blocktick_new(void)
{
    t_blocktick *x = (t_blocktick *)object_alloc(blocktick_class);
    if (!x)
        return NULL;
    z_dsp_setup(&x->x_obj, 0);
    x->bang_outlet = bangout(x);
    x->block_clock = clock_new(x, (method)blocktick_tick);
    if (!x->block_clock) {
        object_error(NULL, "blocktick~: out of memory");
        freeobject(x);
        return NULL;
    }
    return x;
}

extern "C" C74_EXPORT int main(void)
{
    t_class *c = class_new("blocktick~", (method)blocktick_new, (method)blocktick_free, sizeof(t_blocktick),
                           NULL, 0);
    class_addmethod(c, (method)blocktick_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(c, (method)blocktick_dsp, "dsp", A_CANT, 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    blocktick_class = c;
    object_post(NULL, TILDEKIT_RULE_74);
    object_post(NULL, "blocktick~: one bang per signal block, sent from the scheduler");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
    return 0;
}
