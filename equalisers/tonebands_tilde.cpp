/* tonebands~: four-section parametric equaliser for one channel: a low shelf, two bells and a
   high shelf in series, then a master gain. Sections are redesigned at the start of every block.
   Inlet 0: the signal, and every message ("fl/f1/f2/fh", "gl/g1/g2/gh", "q1/q2", master, Bypass,
            reset).
   Outlet 0: the equalised signal. */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>
#include "tildekit.h"

/* Numerator and denominator of one shelving section, three doubles each. */
typedef struct _shelf_coefficients {
    double *numerator;   /* b0, b1, b2 */
    double *denominator; /* a0 (always 1), a1, a2 */
} t_shelf_coefficients;

typedef struct _tonebands {
    t_pxobject x_obj;
    double sample_rate;        /* Hz, from the host */
    double master_db;          /* output gain, -12 .. 12 dB */
    double *band_frequencies;  /* 4 entries, Hz, 20 .. 15000: low shelf, bell 1, bell 2, high shelf */
    double *band_gains_db;     /* 4 entries, dB, -50 .. 20, same order */
    double *band_q;            /* 2 entries, 0.1 .. 6: bell 1, bell 2 */
    double peak1_state[4];     /* x1, x2, y1, y2 of the first bell */
    double peak2_state[4];     /* x1, x2, y1, y2 of the second bell */
    double low_shelf_state[4]; /* x1, x2, y1, y2 of the low shelf */
    double high_shelf_state[4];
    double peak1_coefficients[7]; /* a0, a1, a2, b0, b1, b2, nyquist_gain */
    double peak2_coefficients[7];
    t_shelf_coefficients low_shelf_coefficients;
    t_shelf_coefficients high_shelf_coefficients;
    char bypass; /* non-zero: the input is copied to the output untouched */
    uint32_t reset_requests; /* counted up by reset; written by the message side only */
    uint32_t resets_done;    /* requests the perform routine has carried out; written there only */
} t_tonebands;

static t_class *tonebands_class;

#define TONEBANDS_PI_SQUARED 9.869604401089358
#define TONEBANDS_TWO_PI 6.283185307179586
/* 1/S - 1 for the fixed shelf slope S = 0.707 */
#define TONEBANDS_SHELF_SLOPE_TERM 0.4144271570014144
#define TONEBANDS_PI 3.141592653589793

/* ---- DSP core ---- */

/* Bell with a prescribed gain at Nyquist: reference gain G0 far from the centre, gain G at w0,
   gain GB at the edges of the bandwidth Dw. Writes a0, a1, a2, b0, b1, b2, nyquist_gain.
   Where G = GB (an unboosted bell, G = GB = G0 = 1) every intermediate would be 0/0: the
   section is the identity (b0 = 1, the rest 0, no gain at Nyquist either), without dividing. */
static inline void peaking_design(double G0, double G, double GB, double w0, double Dw, double *coefficients)
{
    const double pi2 = TONEBANDS_PI_SQUARED;
    double F = fabs(G * G - GB * GB);
    if (F == 0.0) {
        coefficients[0] = 1.0;
        coefficients[1] = coefficients[2] = 0.0;
        coefficients[3] = 1.0;
        coefficients[4] = coefficients[5] = coefficients[6] = 0.0;
        return;
    }
    double G00 = fabs(G * G - G0 * G0);
    double F00 = fabs(GB * GB - G0 * G0);
    double v = w0 * w0 - pi2;
    double G1 = sqrt((G0 * G0 * v * v + G * G * F00 * pi2 * Dw * Dw / F) / (v * v + F00 * pi2 * Dw * Dw / F));
    double G01 = fabs(G * G - G0 * G1);
    double G11 = fabs(G * G - G1 * G1);
    double F01 = fabs(GB * GB - G0 * G1);
    double F11 = fabs(GB * GB - G1 * G1);
    double tw = tan(w0 / 2.0);
    double W2 = sqrt(G11 / G00) * tw * tw;
    double DW = (1.0 + sqrt(F00 / F11) * W2) * tan(Dw / 2.0);
    double C = F11 * DW * DW - 2.0 * W2 * (F01 - sqrt(F00 * F11));
    double D = 2.0 * W2 * (G01 - sqrt(G00 * G11));
    double A = sqrt((C + D) / F);
    double B = sqrt((G * G * C + GB * GB * D) / F);
    double K = 1.0 + W2 + A;
    double b0 = (G1 + G0 * W2 + B) / K;
    double b1 = -2.0 * (G1 - G0 * W2) / K;
    double b2 = (G1 - B + G0 * W2) / K;
    double a0 = 1.0;
    double a1 = -2.0 * (1.0 - W2) / K;
    double a2 = (1.0 + W2 - A) / K;

    coefficients[0] = flush_abnormal(a0);
    coefficients[1] = flush_abnormal(a1);
    coefficients[2] = flush_abnormal(a2);
    /* a b0 that fails the test becomes 1, so the section passes its input through */
    coefficients[3] = (flush_abnormal(b0) == 0.0 && b0 != 0.0) ? 1.0 : b0;
    coefficients[4] = flush_abnormal(b1);
    coefficients[5] = flush_abnormal(b2);
    coefficients[6] = flush_abnormal(G1);
}

/* One bell from its centre (Hz), gain (dB) and Q. The bandwidth handed to the design is
   fc / qq in cycles per sample, the unit of fc; it is deliberately not scaled by 2 pi.
   A centre at or above half the sample rate has no design (there the formulas give the bell's
   gain at 0 Hz and poles that do not decay); such a bell lies past everything the rate can
   carry, as a shelf corner there does, and the section passes its input unchanged. */
static inline void tonebands_design_peak(double f, double g, double q, double sr, double ln10, double *coefficients)
{
    if (!(2.0 * f < sr)) {
        coefficients[0] = 1.0;
        coefficients[1] = coefficients[2] = 0.0;
        coefficients[3] = 1.0;
        coefficients[4] = coefficients[5] = 0.0;
        coefficients[6] = 1.0;
        return;
    }
    double G = db_to_linear(g, ln10);
    double fc = f / sr;
    double qq = pow(2.0, 1.0 / q) / (pow(2.0, q) - 1.0);
    double w0 = TONEBANDS_TWO_PI * fc;
    double Dw = fc / qq;
    peaking_design(1.0, G, sqrt(G), w0, Dw, coefficients);
}

/* Second-order shelf with a fixed slope; high selects the high shelf.
   A corner at or above half the sample rate (only possible below 30 kHz, the corners going up
   to 15 kHz) has no design: there the formulas put their poles on or outside the unit circle
   and the output runs away. Such a corner is taken as lying past everything the rate can
   carry, which is where a corner moving up towards half the rate leaves the response: a low
   shelf is then its gain over the whole band, a high shelf passes the input unchanged. Every
   corner below half the rate gets the design as it stands. */
static inline void tonebands_design_shelf(double f, double g, double sr, int high, double *b, double *a)
{
    double A = sqrt(pow(10.0, g / 20.0));
    double w0 = TONEBANDS_TWO_PI * f / sr;
    if (!(2.0 * f < sr) || !(w0 < TONEBANDS_PI)) {
        b[0] = high ? 1.0 : A * A;
        b[1] = b[2] = 0.0;
        a[0] = 1.0;
        a[1] = a[2] = 0.0;
        return;
    }
    double c = cos(w0);
    double s = sin(w0);
    double alpha = s / 2.0 * sqrt((A + 1.0 / A) * TONEBANDS_SHELF_SLOPE_TERM + 2.0);
    double e = 2.0 * sqrt(A) * alpha;
    if (!high) {
        double a0 = (A + 1.0) + (A - 1.0) * c + e;
        b[0] = A * ((A + 1.0) - (A - 1.0) * c + e) / a0;
        b[1] = 2.0 * A * ((A - 1.0) - (A + 1.0) * c) / a0;
        b[2] = A * ((A + 1.0) - (A - 1.0) * c - e) / a0;
        a[0] = 1.0;
        a[1] = -2.0 * ((A - 1.0) + (A + 1.0) * c) / a0;
        a[2] = ((A + 1.0) + (A - 1.0) * c - e) / a0;
    } else {
        double a0 = (A + 1.0) - (A - 1.0) * c + e;
        b[0] = A * ((A + 1.0) + (A - 1.0) * c + e) / a0;
        b[1] = -2.0 * A * ((A - 1.0) + (A + 1.0) * c) / a0;
        b[2] = A * ((A + 1.0) + (A - 1.0) * c - e) / a0;
        a[0] = 1.0;
        a[1] = 2.0 * ((A - 1.0) - (A + 1.0) * c) / a0;
        a[2] = ((A + 1.0) - (A - 1.0) * c - e) / a0;
    }
}

/* One second-order section, its coefficients and memory held in locals for the whole block. */
typedef struct _tonebands_biquad {
    double b0, b1, b2, a1, a2; /* a0 is taken as 1 */
    double x1, x2, y1, y2;
} t_tonebands_biquad;

static inline t_tonebands_biquad tonebands_biquad_load(const double *b, const double *a, const double *m)
{
    t_tonebands_biquad s = { b[0], b[1], b[2], a[1], a[2], m[0], m[1], m[2], m[3] };
    return s;
}

static inline void tonebands_biquad_store(const t_tonebands_biquad *s, double *m)
{
    m[0] = s->x1;
    m[1] = s->x2;
    m[2] = s->y1;
    m[3] = s->y2;
}

/* y = b0 u + b1 x1 + b2 x2 - a1 y1 - a2 y2, then the memory shifts by one sample. */
static inline double tonebands_biquad_run(t_tonebands_biquad *s, double u)
{
    double y = s->b0 * u + s->b1 * s->x1 + s->b2 * s->x2 - s->a1 * s->y1 - s->a2 * s->y2;
    s->x2 = s->x1;
    s->x1 = u;
    s->y2 = s->y1;
    s->y1 = y;
    return y;
}

/* ---- perform ---- */

static void tonebands_design(t_tonebands *x, double ln10)
{
    const double sr = x->sample_rate;
    /* the settings a message may write while the block runs, each read once */
    tonebands_design_shelf(tk_load(&x->band_frequencies[0]), tk_load(&x->band_gains_db[0]), sr, 0,
                           x->low_shelf_coefficients.numerator, x->low_shelf_coefficients.denominator);
    tonebands_design_shelf(tk_load(&x->band_frequencies[3]), tk_load(&x->band_gains_db[3]), sr, 1,
                           x->high_shelf_coefficients.numerator, x->high_shelf_coefficients.denominator);
    tonebands_design_peak(tk_load(&x->band_frequencies[1]), tk_load(&x->band_gains_db[1]), tk_load(&x->band_q[0]),
                          sr, ln10, x->peak1_coefficients);
    tonebands_design_peak(tk_load(&x->band_frequencies[2]), tk_load(&x->band_gains_db[2]), tk_load(&x->band_q[1]),
                          sr, ln10, x->peak2_coefficients);
}

/* Silences every section; the coefficients are designed again at the next block. */
static void tonebands_clear(t_tonebands *x)
{
    for (int j = 0; j < 4; j++) {
        x->peak1_state[j] = 0.0;
        x->peak2_state[j] = 0.0;
        x->low_shelf_state[j] = 0.0;
        x->high_shelf_state[j] = 0.0;
    }
    for (int j = 0; j < 7; j++) {
        x->peak1_coefficients[j] = 0.0;
        x->peak2_coefficients[j] = 0.0;
    }
    for (int j = 0; j < 3; j++) {
        x->low_shelf_coefficients.numerator[j] = 0.0;
        x->low_shelf_coefficients.denominator[j] = 0.0;
        x->high_shelf_coefficients.numerator[j] = 0.0;
        x->high_shelf_coefficients.denominator[j] = 0.0;
    }
}

static void tonebands_perform64(t_object *ob, t_object *dsp64, double **ins, long numins, double **outs,
                                long numouts, long n, long flags, void *userparam)
{
    t_tonebands *x = (t_tonebands *)ob;
    const double *in = ins[0];
    double *out = outs[0];
    if (n <= 0)
        return;
    /* A reset asked for since the last block is carried out here, before the block takes the
       memories into its locals: a message may arrive while a block runs, and clearing then
       would be undone when the block stores its memories back. */
    const uint32_t requested = tk_load_u32(&x->reset_requests);
    if (requested != x->resets_done) {
        tonebands_clear(x);
        x->resets_done = requested;
    }
    if (tk_load_char(&x->bypass)) {
        for (long i = 0; i < n; i++)
            out[i] = in[i];
        return;
    }

    const double ln10 = log(10.0);
    tonebands_design(x, ln10);

    /* sections and master factor in locals: the output buffer cannot alias them, so nothing
       is reloaded per sample; master_db only changes between blocks */
    t_tonebands_biquad ls = tonebands_biquad_load(x->low_shelf_coefficients.numerator,
                                                  x->low_shelf_coefficients.denominator, x->low_shelf_state);
    t_tonebands_biquad hs = tonebands_biquad_load(x->high_shelf_coefficients.numerator,
                                                  x->high_shelf_coefficients.denominator, x->high_shelf_state);
    t_tonebands_biquad pk1 = tonebands_biquad_load(x->peak1_coefficients + 3, x->peak1_coefficients,
                                                   x->peak1_state);
    t_tonebands_biquad pk2 = tonebands_biquad_load(x->peak2_coefficients + 3, x->peak2_coefficients,
                                                   x->peak2_state);
    const double master = db_to_linear(tk_load(&x->master_db), ln10);

    /* Denormal, huge and non-finite memories and inputs are cleared before they spread: every
       memory at the first sample, and from then on only the values that entered at the sample
       before (each section's y1, which is also the next section's x1). Everything else was
       cleared when it entered, and clearing a cleared value leaves it as it is. */
    t_tonebands_biquad *chain[4] = { &ls, &hs, &pk1, &pk2 };
    for (int k = 0; k < 4; k++) {
        chain[k]->x1 = flush_abnormal(chain[k]->x1);
        chain[k]->x2 = flush_abnormal(chain[k]->x2);
        chain[k]->y1 = flush_abnormal(chain[k]->y1);
        chain[k]->y2 = flush_abnormal(chain[k]->y2);
    }
    for (long i = 0;;) {
        double u = flush_abnormal(in[i]);
        u = tonebands_biquad_run(&ls, u);
        u = tonebands_biquad_run(&hs, u);
        u = tonebands_biquad_run(&pk1, u);
        u = tonebands_biquad_run(&pk2, u);
        out[i] = flush_abnormal(u * master); /* a tiny y times a master gain below 1 can fall below the normal range */
        if (++i == n)
            break;
        ls.y1 = hs.x1 = flush_abnormal(ls.y1);
        hs.y1 = pk1.x1 = flush_abnormal(hs.y1);
        pk1.y1 = pk2.x1 = flush_abnormal(pk1.y1);
        pk2.y1 = flush_abnormal(pk2.y1);
    }
    /* the memories go back as the last sample left them; the next block clears them first */
    tonebands_biquad_store(&ls, x->low_shelf_state);
    tonebands_biquad_store(&hs, x->high_shelf_state);
    tonebands_biquad_store(&pk1, x->peak1_state);
    tonebands_biquad_store(&pk2, x->peak2_state);
}

/* ---- DSP compilation ---- */
static void tonebands_dsp64(t_tonebands *x, t_object *dsp64, short *count, double samplerate, long maxvectorsize,
                            long flags)
{
    if (!(samplerate == x->sample_rate))
        x->sample_rate = samplerate;
    object_method(dsp64, gensym("dsp_add64"), x, tonebands_perform64, 0, NULL);
}

/* ---- messages ---- */

/* The one place where a parameter meets its range. Limits are strict (a limit itself is taken
   silently); NaN counts as below the minimum. upper_first decides which limit is tested first. */
static double tonebands_clamp(double v, double lo, double hi, const char *below, const char *above,
                              int upper_first)
{
    if (upper_first && v > hi) {
        object_post(NULL, "%s", above);
        return hi;
    }
    if (!(v >= lo)) {
        object_post(NULL, "%s", below);
        return lo;
    }
    if (v > hi) {
        object_post(NULL, "%s", above);
        return hi;
    }
    return v;
}

/* Stores the k-th number of a list in entry k; numbers past the last entry are ignored. */
static void tonebands_store_list(double *entries, long size, long argc, t_atom *argv, double lo, double hi,
                                 const char *below, const char *above)
{
    for (long k = 0; k < argc && k < size; k++)
        tk_store(&entries[k], tonebands_clamp((double)atom_getfloat(argv + k), lo, hi, below, above, 0));
}

static void tonebands_frequencies(t_tonebands *x, t_symbol *s, long argc, t_atom *argv)
{
    tonebands_store_list(x->band_frequencies, 4, argc, argv, 20.0, 15000.0, "Minimum Filter Frequency: 20 Hz",
                         "Maximum Filter Frequency: 15000 Hz");
}

static void tonebands_gains(t_tonebands *x, t_symbol *s, long argc, t_atom *argv)
{
    tonebands_store_list(x->band_gains_db, 4, argc, argv, -50.0, 20.0, "Minimum Filter Gain: -50 dB",
                         "Maximum Filter Gain: 20 dB");
}

static void tonebands_qs(t_tonebands *x, t_symbol *s, long argc, t_atom *argv)
{
    tonebands_store_list(x->band_q, 2, argc, argv, 0.1, 6.0, "Minimum Q Value: 0.1", "Maximum Q Value: 6");
}

static void tonebands_master(t_tonebands *x, double v)
{
    tk_store(&x->master_db, tonebands_clamp(v, -12.0, 12.0, "Minimum Master Value: -12 dB", "Maximum Master Value: 12 dB", 1));
}

/* Only the low eight bits count: 256 switches bypass off. */
static void tonebands_bypass(t_tonebands *x, t_atom_long n)
{
    char on = 0;
    if (n & 0xFF) {
        object_post(NULL, "Bypass is ON");
        on = 1;
    }
    tk_store_char(&x->bypass, on);
}

/* Resets are asked for here and carried out by the perform routine at its next block. */
static void tonebands_reset(t_tonebands *x)
{
    tk_count_up(&x->reset_requests);
}

/* ---- new / free ---- */

static void tonebands_release_arrays(t_tonebands *x)
{
    double **arrays[7] = { &x->band_frequencies, &x->band_gains_db, &x->band_q,
                           &x->low_shelf_coefficients.numerator, &x->low_shelf_coefficients.denominator,
                           &x->high_shelf_coefficients.numerator, &x->high_shelf_coefficients.denominator };
    for (int i = 0; i < 7; i++) {
        if (*arrays[i])
            sysmem_freeptr(*arrays[i]);
        *arrays[i] = NULL;
    }
}

static void tonebands_free(t_tonebands *x)
{
    z_dsp_free((t_pxobject *)x);
    tonebands_release_arrays(x);
}

static void *tonebands_new(void)
{
    t_tonebands *x = (t_tonebands *)object_alloc(tonebands_class);
    if (!x)
        return NULL;
    z_dsp_setup((t_pxobject *)x, 1);
    outlet_new((t_object *)x, "signal");
    x->x_obj.z_misc |= Z_NO_INPLACE;
    x->sample_rate = (double)sys_getsr();

    x->band_frequencies = (double *)sysmem_newptrclear(4 * sizeof(double));
    x->band_gains_db = (double *)sysmem_newptrclear(4 * sizeof(double));
    x->band_q = (double *)sysmem_newptrclear(2 * sizeof(double));
    x->low_shelf_coefficients.numerator = (double *)sysmem_newptrclear(3 * sizeof(double));
    x->low_shelf_coefficients.denominator = (double *)sysmem_newptrclear(3 * sizeof(double));
    x->high_shelf_coefficients.numerator = (double *)sysmem_newptrclear(3 * sizeof(double));
    x->high_shelf_coefficients.denominator = (double *)sysmem_newptrclear(3 * sizeof(double));
    if (!x->band_frequencies || !x->band_gains_db || !x->band_q || !x->low_shelf_coefficients.numerator
        || !x->low_shelf_coefficients.denominator || !x->high_shelf_coefficients.numerator
        || !x->high_shelf_coefficients.denominator) {
        object_error((t_object *)x, "tonebands~: out of memory");
        freeobject((t_object *)x); /* runs the free routine on what was allocated, then the record */
        return NULL;
    }

    static const double default_frequencies[4] = { 250.0, 500.0, 3000.0, 8000.0 };
    x->master_db = 0.0;
    for (int k = 0; k < 4; k++) {
        x->band_frequencies[k] = default_frequencies[k];
        x->band_gains_db[k] = 0.0;
    }
    x->band_q[0] = 1.0;
    x->band_q[1] = 1.0;
    x->bypass = 0;
    tonebands_clear(x);
    x->reset_requests = x->resets_done = 0;
    return x;
}

extern "C" C74_EXPORT void ext_main(void *r)
{
    t_class *c = class_new("tonebands~", (method)tonebands_new, (method)tonebands_free, sizeof(t_tonebands),
                           NULL, 0);
    class_addmethod(c, (method)tonebands_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(c, (method)tonebands_frequencies, "fl/f1/f2/fh", A_GIMME, 0);
    class_addmethod(c, (method)tonebands_gains, "gl/g1/g2/gh", A_GIMME, 0);
    class_addmethod(c, (method)tonebands_qs, "q1/q2", A_GIMME, 0);
    class_addmethod(c, (method)tonebands_master, "master", A_FLOAT, 0);
    class_addmethod(c, (method)tonebands_bypass, "Bypass", A_LONG, 0);
    class_addmethod(c, (method)tonebands_reset, "reset", 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    tonebands_class = c;
    object_post(NULL, TILDEKIT_RULE_66);
    object_post(NULL, "tonebands~: parametric equaliser, low and high shelves around two bells");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
}
