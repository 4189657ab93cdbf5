/* sweepres~: resonant band-pass whose centre frequency may be a signal that moves at every
   sample. A complex one-pole filter with the pole r * e^(i w), w the centre frequency in
   radians per sample and r = 1 - w / Q; the pole's cosine and sine come from a cosine table.
   The input is scaled by 2 - 2 / (Q + 2) so that the pass band stays near the input level.
   Inlet 0: signal to filter (numbers ignored).
   Inlet 1: centre frequency in Hz, signal (read at every sample) or number.
   Inlet 2: Q, number or signal (a signal is read once per block, at its first sample).
   Outlet 0: real part of the output.  Outlet 1: imaginary part of the output. */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>
#include "tildekit.h"

/* Table period in points; the table holds one guard point more. */
#define cos_table_size 512

static const double sweepres_table_step = 0.0122718359375;        /* 6.28318 / 512, radians */
static const double sweepres_angular_constant = 6.283180236816406; /* 6.28318 as a float */
static const double sweepres_index_scale = 81.48739624023438;      /* points per radian */
static const double sweepres_split = 1572864.0;                    /* 1.5 * 2^20 */

/* State first, then coefficients: the part of the instance the perform routines work on. */
typedef struct _sweepres_block {
    double state_re;         /* real part of the previous output */
    double state_im;         /* imaginary part of the previous output */
    double q;                /* Q, >= 0 when set by an argument or a number */
    double angular_factor;   /* radians per sample per Hz; 0 until the first DSP compile */
    double center_frequency; /* Hz, used while inlet 1 has no signal */
} t_sweepres_block;

typedef struct _sweepres {
    t_pxobject x_obj;
    t_sweepres_block coefs;      /* the coefficient-and-state block */
    t_sweepres_block *block;     /* points at coefs */
    double sample_rate;          /* Hz */
    double *cos_table;           /* cos_table_size + 1 entries, owned */
    int16_t frequency_connected; /* connection flag of inlet 1, copied at DSP compile */
    int16_t q_connected;         /* connection flag of inlet 2, copied at DSP compile */
} t_sweepres;

static t_class *sweepres_class;

/* ---- DSP core ---- */

/* Splits d = p + 1.5 * 2^20 into the table index (integer part of p modulo 512, read from
   the upper word) and the fraction (the lower word, 32 bits). The index is masked, so any
   p, however large, NaN included, stays inside the table. */
static inline void sweepres_split_position(double d, int32_t *k, double *t)
{
    uint64_t bits = tk_bits(d);
    *k = (int32_t)((uint32_t)(bits >> 32) & (cos_table_size - 1));
    uint64_t frac_bits = (tk_bits(sweepres_split) & 0xFFFFFFFF00000000ull) | (bits & 0xFFFFFFFFull);
    double f;
    memcpy(&f, &frac_bits, sizeof f);
    *t = f - sweepres_split;
}

static inline double sweepres_lookup(const double *table, int32_t k, double t)
{
    return (table[k + 1] - table[k]) * t + table[k];
}

/* Radius of the pole: 1 - w / Q, never negative; 0 when there is no positive Q. */
static inline double sweepres_radius(double w, double qinv)
{
    double r = qinv > 0.0 ? 1.0 - w * qinv : 0.0;
    return r < 0.0 ? 0.0 : r;
}

static inline double sweepres_qinv(double q) { return q > 0.0 ? 1.0 / q : 0.0; }

/* Input gain that keeps the pass band near the input level. A Q signal may go negative, where
   the gain grows large; at exactly -2 it would be infinite, and a NaN Q has no gain at all:
   both pass the input at unit gain, as a Q of 0 does (neither has a pole either). */
static inline double sweepres_gain(double q)
{
    double d = q + 2.0;
    if (d == 0.0 || d != d)
        return 1.0;
    return 2.0 - 2.0 / d;
}

/* The Q of a block: the first sample of the Q signal (unclamped) or the stored value. */
static inline double sweepres_block_q(const t_sweepres *x, const double *qsig)
{
    return x->q_connected ? qsig[0] : tk_load(&x->block->q);
}

/* Messages write only the centre frequency and Q, each read once as the block starts; the state
   is written by the perform routines alone, so a number landing between two samples takes
   effect at the next block and leaves nothing half-updated. */
static void sweepres_run64(t_sweepres *x, double **ins, double **outs, long n, int freq_is_signal)
{
    t_sweepres_block *b = x->block;
    const double *table = x->cos_table;
    const double *in = ins[0];
    const double *freq = ins[1];
    double *out_re = outs[0];
    double *out_im = outs[1];
    double q = sweepres_block_q(x, ins[2]);
    double qinv = sweepres_qinv(q);
    double gain = sweepres_gain(q);
    double af = b->angular_factor;
    double fc = tk_load(&b->center_frequency);
    double re = b->state_re;
    double im = b->state_im;
    for (long i = 0; i < n; i++) {
        double xi = in[i];
        double w = af * (freq_is_signal ? freq[i] : fc);
        if (w < 0.0)
            w = 0.0;
        double r = sweepres_radius(w, qinv);
        int32_t k, k2;
        double t;
        sweepres_split_position(w * sweepres_index_scale + sweepres_split, &k, &t);
        k2 = (k - cos_table_size / 4) & (cos_table_size - 1);
        double c = sweepres_lookup(table, k, t) * r;
        double s = sweepres_lookup(table, k2, t) * r;
        double new_re = (1.0 - r) * gain * xi + c * re - s * im;
        double new_im = s * re + c * im;
        re = new_re;
        im = new_im;
        out_re[i] = re;
        out_im[i] = im;
    }
    b->state_re = flush_denormal(re);
    b->state_im = flush_denormal(im);
}

/* The same filter in single precision for the legacy chain. The table position is rounded
   to single precision before it is split, so the fraction moves in eighths. */
static void sweepres_run32(t_sweepres *x, const float *in, const float *freq, const float *qsig,
                           float *out_re, float *out_im, long n, int freq_is_signal)
{
    t_sweepres_block *b = x->block;
    const double *table = x->cos_table;
    float q = x->q_connected ? qsig[0] : (float)tk_load(&b->q);
    float qinv = (float)sweepres_qinv((double)q);
    float gain = (float)sweepres_gain((double)q);
    float af = (float)b->angular_factor;
    float fc = (float)tk_load(&b->center_frequency);
    float re = (float)b->state_re;
    float im = (float)b->state_im;
    for (long i = 0; i < n; i++) {
        float xi = in[i];
        float w = af * (freq_is_signal ? freq[i] : fc);
        if (w < 0.0f)
            w = 0.0f;
        float r = qinv > 0.0f ? 1.0f - w * qinv : 0.0f;
        if (r < 0.0f)
            r = 0.0f;
        float d = w * (float)sweepres_index_scale + (float)sweepres_split;
        int32_t k, k2;
        double t;
        sweepres_split_position((double)d, &k, &t);
        k2 = (k - cos_table_size / 4) & (cos_table_size - 1);
        float c = (float)(sweepres_lookup(table, k, t) * (double)r);
        float s = (float)(sweepres_lookup(table, k2, t) * (double)r);
        float drive = (1.0f - r) * gain * xi;
        float rot_re = c * re;
        float rot_im = s * im;
        float new_re = (float)((double)drive + (double)rot_re - (double)rot_im);
        float new_im = s * re + c * im;
        re = new_re;
        im = new_im;
        out_re[i] = re;
        out_im[i] = im;
    }
    b->state_re = flush_denormal((double)re);
    b->state_im = flush_denormal((double)im);
}

/* ---- perform ---- */
static void sweepres_perform64_signal(t_object *ob, t_object *dsp64, double **ins, long numins,
                                      double **outs, long numouts, long n, long flags, void *userparam)
{
    sweepres_run64((t_sweepres *)ob, ins, outs, n, 1);
}

static void sweepres_perform64_control(t_object *ob, t_object *dsp64, double **ins, long numins,
                                       double **outs, long numouts, long n, long flags, void *userparam)
{
    sweepres_run64((t_sweepres *)ob, ins, outs, n, 0);
}

static t_int *sweepres_perform_signal(t_int *w)
{
    sweepres_run32((t_sweepres *)w[1], (const float *)w[2], (const float *)w[3], (const float *)w[4],
                   (float *)w[5], (float *)w[6], (long)w[7], 1);
    return w + 8;
}

static t_int *sweepres_perform_control(t_int *w)
{
    sweepres_run32((t_sweepres *)w[1], (const float *)w[2], (const float *)w[3], (const float *)w[4],
                   (float *)w[5], (float *)w[6], (long)w[7], 0);
    return w + 8;
}

/* ---- DSP compilation ---- */
static void sweepres_set_samplerate(t_sweepres *x, double sr)
{
    if (!(sr == x->sample_rate))
        x->sample_rate = sr;
    x->block->angular_factor = sweepres_angular_constant / x->sample_rate;
}

static void sweepres_dsp64(t_sweepres *x, t_object *dsp64, short *count, double samplerate,
                           long maxvectorsize, long flags)
{
    x->frequency_connected = count[1];
    x->q_connected = count[2];
    sweepres_set_samplerate(x, samplerate);
    if (x->frequency_connected)
        object_method(dsp64, gensym("dsp_add64"), x, sweepres_perform64_signal, 0, NULL);
    else
        object_method(dsp64, gensym("dsp_add64"), x, sweepres_perform64_control, 0, NULL);
}

static void sweepres_dsp(t_sweepres *x, t_signal **sp, short *count)
{
    x->frequency_connected = count[1];
    x->q_connected = count[2];
    sweepres_set_samplerate(x, (double)sp[0]->s_sr);
    dsp_add(x->frequency_connected ? sweepres_perform_signal : sweepres_perform_control, 7, x,
            sp[0]->s_vec, sp[1]->s_vec, sp[2]->s_vec, sp[3]->s_vec, sp[4]->s_vec, sp[0]->s_n);
}

/* ---- messages ---- */
static void sweepres_set_q(t_sweepres *x, double q) { tk_store(&x->block->q, q > 0.0 ? q : 0.0); }

static void sweepres_float(t_sweepres *x, double v)
{
    switch (proxy_getinlet((t_object *)x)) {
    case 1:
        tk_store(&x->block->center_frequency, v);
        break;
    case 2:
        sweepres_set_q(x, v);
        break;
    default:
        break;
    }
}

static void sweepres_int(t_sweepres *x, t_atom_long n) { sweepres_float(x, (double)n); }

static const char *const sweepres_inlet_text[] = {
    "(signal) Input to be filtered",
    "(signal/float) Center Frequency",
    "(float) Q/filter sharpness",
};
static const char *const sweepres_outlet_text[] = {
    "(signal) Filtered signal(Real Part)",
    "(signal) Filtered signal(Imaginary Part)",
};

static void sweepres_assist(t_sweepres *x, void *b, long io, long index, char *s)
{
    if (io == ASSIST_INLET) {
        if (index >= 0 && index < 3)
            sprintf(s, "%s", sweepres_inlet_text[index]);
    } else if (io == ASSIST_OUTLET) {
        if (index >= 0 && index < 2)
            sprintf(s, "%s", sweepres_outlet_text[index]);
    }
}

/* ---- new / free ---- */
static void sweepres_free(t_sweepres *x)
{
    z_dsp_free((t_pxobject *)x);
    if (x->cos_table) {
        sysmem_freeptr(x->cos_table);
        x->cos_table = NULL;
    }
}

/* The lookup reads the fraction from the lower word of a double; say so if this machine
   lays doubles out otherwise. */
static void sweepres_check_layout(void)
{
    uint64_t bits = tk_bits(1572864.5);
    if ((uint32_t)(bits & 0xFFFFFFFFull) != 0x80000000u)
        object_post(NULL, "cos~: unexpected machine alignment");
}

static void *sweepres_new(t_symbol *s, long argc, t_atom *argv)
{
    t_sweepres *x = (t_sweepres *)object_alloc(sweepres_class);
    if (!x)
        return NULL;
    z_dsp_setup((t_pxobject *)x, 3);
    outlet_new((t_object *)x, "signal");
    outlet_new((t_object *)x, "signal");
    x->block = &x->coefs;
    x->block->state_re = 0.0;
    x->block->state_im = 0.0;
    x->block->angular_factor = 0.0;
    x->sample_rate = (double)sys_getsr();
    x->frequency_connected = 0;
    x->q_connected = 0;
    double freq = 0.0, q = 1.0;
    atom_arg_getdouble(&freq, 0, argc, argv);
    atom_arg_getdouble(&q, 1, argc, argv);
    x->block->center_frequency = freq;
    sweepres_set_q(x, q);

    x->cos_table = (double *)sysmem_newptr((cos_table_size + 1) * sizeof(double));
    if (!x->cos_table) {
        /* no box: the free routine and the record go back to the host */
        object_error((t_object *)x, "sweepres~: out of memory");
        freeobject(x);
        return NULL;
    }
    double a = 0.0;
    for (int k = 0; k <= cos_table_size; k++) {
        x->cos_table[k] = cos(a);
        a += sweepres_table_step;
    }
    sweepres_check_layout();
    return x;
}

extern "C" C74_EXPORT int main(void)
{
    t_class *c = class_new("sweepres~", (method)sweepres_new, (method)sweepres_free, sizeof(t_sweepres),
                           NULL, A_GIMME, 0);
    class_addmethod(c, (method)sweepres_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(c, (method)sweepres_dsp, "dsp", A_CANT, 0);
    class_addmethod(c, (method)sweepres_float, "float", A_FLOAT, 0);
    class_addmethod(c, (method)sweepres_int, "int", A_LONG, 0);
    class_addmethod(c, (method)sweepres_assist, "assist", A_CANT, 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    sweepres_class = c;
    object_post(NULL, TILDEKIT_RULE_74);
    object_post(NULL, "sweepres~: complex one-pole resonator, centre frequency as signal, table pole");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
    return 0;
}
