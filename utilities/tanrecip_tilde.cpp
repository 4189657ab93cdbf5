/* tanrecip~: turns a frequency in Hz into l = cot(pi f / sr), the frequency factor that
   modalfilt~ takes at its frequency inlet. Works at a quarter of the signal rate: one value
   from the first sample of each group of four, held over the group. The frequency is kept
   between 0.00005 and 0.45 times the sample rate, so l stays between about 0.158 and 6366.
   Inlet 0: frequency in Hz, signal.  Outlet 0: cot(pi f / sr), signal. */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>
#include "tildekit.h"

/* Quarter-wave tables: 512 steps from 0 to about pi/2, plus a guard point. */
#define TANRECIP_TABLE_POINTS 513
#define TANRECIP_GROUP 4

static const double tanrecip_table_step = 0.0030679615751953125; /* 3.141592653 / 1024, radians */
static const double tanrecip_v_min = 9.999999747378752e-5;      /* 0.0001 as a float */
static const double tanrecip_v_max = 0.8999999761581421;        /* 0.9 as a float */
static const double tanrecip_points_per_unit = 512.0;
static const double tanrecip_split = 1572864.0;                 /* 1.5 * 2^20 */

typedef struct _tanrecip {
    t_pxobject x_obj;
    double nyquist_scale; /* 2 / sample rate: Hz to a fraction of the Nyquist frequency */
    double *cos_table;    /* cos of each table angle, owned */
    double *sin_table;    /* sin of each table angle, owned */
} t_tanrecip;

static t_class *tanrecip_class;

/* ---- DSP core ---- */

/* The table position p + 1.5 * 2^20 holds the integer part of p in the low bits of its
   upper word and the fraction, to 32 bits, in its lower word. The index is masked to the
   table, whatever the value. */
static inline void tanrecip_split_position(double p, int32_t *k, double *t)
{
    double d = p + tanrecip_split;
    uint64_t bits = tk_bits(d);
    *k = (int32_t)((uint32_t)(bits >> 32) & 511u);
    uint64_t frac_bits = (tk_bits(tanrecip_split) & 0xFFFFFFFF00000000ull) | (bits & 0xFFFFFFFFull);
    double f;
    memcpy(&f, &frac_bits, sizeof f);
    *t = f - tanrecip_split;
}

static inline double tanrecip_value(const double *tc, const double *ts, double nyquist_scale, double hz)
{
    double v = nyquist_scale * hz;
    if (v < tanrecip_v_min)
        v = tanrecip_v_min;
    else if (v > tanrecip_v_max)
        v = tanrecip_v_max;
    if (v != v)
        return v; /* a NaN frequency gives a NaN, not a value read from a stray index */
    int32_t k;
    double t;
    tanrecip_split_position(v * tanrecip_points_per_unit, &k, &t);
    return ((tc[k + 1] - tc[k]) * t + tc[k]) / ((ts[k + 1] - ts[k]) * t + ts[k]);
}

/* ---- perform ---- */
static void tanrecip_perform64(t_object *ob, t_object *dsp64, double **ins, long numins, double **outs,
                               long numouts, long n, long flags, void *userparam)
{
    t_tanrecip *x = (t_tanrecip *)ob;
    const double *in = ins[0];
    double *out = outs[0];
    for (long j = 0; j < n; j += TANRECIP_GROUP) {
        long end = j + TANRECIP_GROUP < n ? j + TANRECIP_GROUP : n;
        double y = tanrecip_value(x->cos_table, x->sin_table, x->nyquist_scale, in[j]);
        for (long i = j; i < end; i++)
            out[i] = y;
    }
}

/* ---- DSP compilation ---- */
static void tanrecip_dsp64(t_tanrecip *x, t_object *dsp64, short *count, double samplerate,
                           long maxvectorsize, long flags)
{
    x->nyquist_scale = 2.0 / samplerate;
    object_method(dsp64, gensym("dsp_add64"), x, tanrecip_perform64, 0, NULL);
}

/* ---- new / free ---- */
static void tanrecip_free(t_tanrecip *x)
{
    z_dsp_free((t_pxobject *)x);
    if (x->cos_table) {
        sysmem_freeptr(x->cos_table);
        x->cos_table = NULL;
    }
    if (x->sin_table) {
        sysmem_freeptr(x->sin_table);
        x->sin_table = NULL;
    }
}

static double *tanrecip_table(double (*fn)(double))
{
    double *table = (double *)sysmem_newptr(TANRECIP_TABLE_POINTS * sizeof(double));
    if (!table)
        return NULL;
    double a = 0.0;
    for (int k = 0; k < TANRECIP_TABLE_POINTS; k++) {
        table[k] = fn(a);
        a += tanrecip_table_step;
    }
    return table;
}

static void *tanrecip_new(void)
{
    t_tanrecip *x = (t_tanrecip *)object_alloc(tanrecip_class);
    if (!x)
        return NULL;
    z_dsp_setup((t_pxobject *)x, 1);
    outlet_new((t_object *)x, "signal");
    x->nyquist_scale = 2.0 / (double)sys_getsr();
    x->cos_table = NULL;
    x->sin_table = NULL;
    x->sin_table = tanrecip_table(sin);
    if (x->sin_table)
        x->cos_table = tanrecip_table(cos);
    if (!x->sin_table || !x->cos_table) {
        /* no box: the free routine returns whichever table was made, then the record goes */
        object_error((t_object *)x, "tanrecip~: out of memory");
        freeobject(x);
        return NULL;
    }
    /* The lookup reads the fraction from the lower word of a double. */
    if ((uint32_t)(tk_bits(1572864.5) & 0xFFFFFFFFull) != 0x80000000u)
        object_post(NULL, "tanrecip~: unexpected machine alignment");
    return x;
}

extern "C" C74_EXPORT int main(void)
{
    t_class *c = class_new("tanrecip~", (method)tanrecip_new, (method)tanrecip_free, sizeof(t_tanrecip),
                           NULL, 0);
    class_addmethod(c, (method)tanrecip_dsp64, "dsp64", A_CANT, 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    tanrecip_class = c;
    object_post(NULL, TILDEKIT_RULE_74);
    object_post(NULL, "tanrecip~: cot(pi f/sr) from quarter-wave tables, tildekit " TILDEKIT_VERSION "\n");
    return 0;
}
