/* tribandsquash~: mono three-band compressor. Two crossovers split the input into a low, a mid
   and a high band; each band has its own soft-knee compressor (attack, release, knee, ratio,
   threshold, make-up), can be bypassed or soloed, and the bands are summed under a master trim.
   Inlet 0: the signal to compress; every message.
   Outlet 0: the compressed signal.
   Outlets 1, 2, 3: the applied linear gain of the low, mid and high band (1 = no reduction). */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>
#include "tildekit.h"

#define TRIBAND_BANDS 3

/* One crossover section: a two-state trapezoidal filter with a low and a high output. */
typedef struct _crossover_section {
    double damping; /* always 1.5 once tuned */
    double tuning;  /* tan(pi * crossover / sample rate) */
    double state1;
    double state2;
} t_crossover_section;

/* The low-pass halves of the two crossovers, held in one buffer. */
typedef struct _crossover_lowpasses {
    t_crossover_section lowcut_lowpass;  /* low band out of the input */
    t_crossover_section highcut_lowpass; /* mid band out of the upper split */
} t_crossover_lowpasses;

/* The high-pass halves of the two crossovers, held in one buffer. */
typedef struct _crossover_highpasses {
    t_crossover_section lowcut_highpass;  /* everything above the low crossover */
    t_crossover_section highcut_highpass; /* high band out of the upper split */
} t_crossover_highpasses;

typedef struct _tribandsquash {
    t_pxobject x_obj;
    double sample_rate;          /* Hz */
    double *band_attacks_ms;     /* [3] ms, 0.1 .. 1000 */
    double *band_releases_ms;    /* [3] ms, 1 .. 1000 */
    double *band_knees_db;       /* [3] dB, 0 .. 18 */
    double *band_ratios;         /* [3] 1 .. 30 */
    double *band_thresholds_db;  /* [3] dB, -70 .. 0 */
    double *band_makeups_db;     /* [3] dB, 0 .. 30 */
    double *band_gains;          /* [3] last applied linear gain, drives outlets 1..3 */
    double *band_bypass;         /* [3] a band is bypassed when > 0.5 */
    double *band_solo;           /* [3] a band is soloed when > 0.5 */
    double low_crossover_hz;     /* Hz, 20 .. 1400 */
    double high_crossover_hz;    /* Hz, 1400 and up */
    double master_db;            /* dB, -30 .. 30 */
    double *band_smoothed_db;    /* [3] smoothed gain reduction, dB */
    double applied_low_crossover_hz;  /* crossover the low sections were last tuned to */
    double applied_high_crossover_hz; /* crossover the high sections were last tuned to */
    double *band_outputs;        /* [3] scratch: each band's result for the current sample */
    t_crossover_lowpasses *lowpasses;   /* lowcut_lowpass, highcut_lowpass */
    t_crossover_highpasses *highpasses; /* lowcut_highpass, highcut_highpass */
    double applied_sample_rate;  /* rate the sections were last tuned at: a rate change retunes */
    uint32_t reset_requests;     /* counted up by flreset; written by the message side only */
    uint32_t resets_done;        /* requests the perform routine has carried out; written there only */
} t_tribandsquash;

static t_class *tribandsquash_class;

/* ---- DSP core ---- */
static const double TRIBAND_PI = 3.141592653589793;

/* A crossover above half the sample rate is accepted and kept, but the sections are tuned as
   for a crossover of exactly half the rate: past it the tangent turns negative and the sections
   run away (peaks of 1e293 with hicut 30000 at 48 kHz). At half the rate the tuning is very
   large but finite and the high band is empty, which is where a crossover moving up towards
   half the rate leaves it. Every crossover below half the rate is tuned as it stands. */
static inline void crossover_tune(t_crossover_section *s, double hz, double sample_rate)
{
    if (hz > 0.5 * sample_rate)
        hz = 0.5 * sample_rate;
    s->damping = 1.5;
    s->tuning = tan(TRIBAND_PI * hz / sample_rate);
}

/* One sample through a section whose tuning g, damping k and D = -1 / (g^2 + 1 + k g) are held
   by the caller for the block, with the two states in the caller's locals; (b, c) = (1, 0)
   gives the low output, (0, 1) the high one.
   The 0.75 is half the damping the sections are always tuned with, kept as a constant. */
static inline double crossover_step(double g, double k, double D, double *state1, double *state2, double x,
                                    double b, double c)
{
    const double s1 = *state1, s2 = *state2;
    const double t1 = D * (0.75 * x * g * g + s2 * g - s1 - s1 * k * g + c * x * g - b * x * g
                           - g * g * k * b * x);
    const double t2 = D * (c * x * g * g - (s1 * g + s2 + 0.75 * x * g) + k * g * c * x - b * x * g * g);
    *state1 = 2.0 * t1 - s1;
    *state2 = 2.0 * t2 - s2;
    return c * x + t2;
}

/* A section's tuning, damping, D and states, taken into locals for one block. */
typedef struct _crossover_run {
    double g, k, D, s1, s2;
} t_crossover_run;

static inline t_crossover_run crossover_begin(const t_crossover_section *s)
{
    t_crossover_run r;
    r.g = s->tuning;
    r.k = s->damping;
    r.D = -1.0 / (r.g * r.g + 1.0 + r.k * r.g);
    r.s1 = s->state1;
    r.s2 = s->state2;
    return r;
}

/* Stores the states back. A section that has run away (a crossover tuned above half the
   sample rate) or decayed into denormals starts again from silence instead of staying broken. */
static inline void crossover_end(t_crossover_section *s, const t_crossover_run *r)
{
    s->state1 = flush_abnormal(r->s1);
    s->state2 = flush_abnormal(r->s2);
}

static inline double crossover_low(t_crossover_run *r, double x)
{
    return crossover_step(r->g, r->k, r->D, &r->s1, &r->s2, x, 1.0, 0.0);
}
static inline double crossover_high(t_crossover_run *r, double x)
{
    return crossover_step(r->g, r->k, r->D, &r->s1, &r->s2, x, 0.0, 1.0);
}

/* a when c is non-zero, else b, bit for bit, through a mask rather than a branch: the band
   levels cross the knee and the smoothed reduction at random, where branches mispredict. */
static inline double band_pick(int c, double a, double b)
{
    uint64_t ua, ub;
    memcpy(&ua, &a, sizeof ua);
    memcpy(&ub, &b, sizeof ub);
    const uint64_t mask = (uint64_t)0 - (uint64_t)(c != 0);
    const uint64_t u = (ua & mask) | (ub & ~mask);
    double v;
    memcpy(&v, &u, sizeof v);
    return v;
}

/* One band's compressor settings for a block: they follow from messages and the rate alone. */
typedef struct _band_settings {
    double att;        /* exp(-1000 / (rate * attack)) */
    double rel;        /* exp(-1000 / (release * rate)) */
    double width;      /* knee width, 6 * knee + 0.01 */
    double knee_slope; /* 1 / ratio - 1 */
    double knee_span;  /* 2 * width */
    double ratio;
    double threshold;  /* dB */
    double makeup;     /* linear */
} t_band_settings;

static inline t_band_settings band_settings(const t_tribandsquash *x, int k, double ln10)
{
    t_band_settings b;
    b.att = exp(-1000.0 / (x->sample_rate * tk_load(&x->band_attacks_ms[k])));
    b.rel = exp(-1000.0 / (tk_load(&x->band_releases_ms[k]) * x->sample_rate));
    b.width = 6.0 * tk_load(&x->band_knees_db[k]) + 0.01;
    b.ratio = tk_load(&x->band_ratios[k]);
    b.knee_slope = 1.0 / b.ratio - 1.0;
    b.knee_span = 2.0 * b.width;
    b.threshold = tk_load(&x->band_thresholds_db[k]);
    b.makeup = db_to_linear(tk_load(&x->band_makeups_db[k]), ln10);
    return b;
}

/* Level of a band sample in dB. A sample that is not finite, or so small that it is
   subnormal, counts as silence: *sample becomes 0 and the level -160. */
static inline double band_level(double *sample)
{
    double level;
    if (flush_abnormal(*sample) != *sample) {
        *sample = 0.0;
        level = -160.0;
    } else {
        level = level_db(*sample);
    }
    return flush_abnormal(level);
}

/* Static curve and smoothing of one band for a level: returns the new smoothed reduction
   (dB) from the previous one p. */
static inline double band_reduction(const t_band_settings *b, double level, double p)
{
    const double d = level - b->threshold;
    const double e = d + b->width / 2.0;
    const double y_knee = flush_abnormal(level + b->knee_slope * e * e / b->knee_span);
    const double y_above = flush_abnormal(b->threshold + d / b->ratio);
    const double y_upper = band_pick(2.0 * fabs(d) <= b->width, y_knee, y_above);
    const double y = band_pick(2.0 * d < -b->width, level, y_upper);

    const double r = level - y;
    const double falling = r * (1.0 - b->rel) + p * b->rel;
    const double rising = r * (1.0 - b->att) + p * b->att;
    const double s = band_pick(r > p, rising, r);
    return flush_abnormal(band_pick(r < p, falling, s));
}

/* Clears the crossovers completely (they are retuned at the same block) and the compressors'
   smoothed reduction. */
static void tribandsquash_clear(t_tribandsquash *x)
{
    memset(x->lowpasses, 0, sizeof(t_crossover_lowpasses));
    memset(x->highpasses, 0, sizeof(t_crossover_highpasses));
    for (int k = 0; k < TRIBAND_BANDS; k++)
        x->band_smoothed_db[k] = 0.0;
    x->applied_low_crossover_hz = 0.0;
    x->applied_high_crossover_hz = 0.0;
    x->applied_sample_rate = 0.0;
}

/* ---- perform ---- */
#define TRIBAND_CHUNK 64 /* samples per pass of the perform routine */

static void tribandsquash_perform64(t_object *ob, t_object *dsp64, double **ins, long numins,
                                    double **outs, long numouts, long n, long flags, void *userparam)
{
    t_tribandsquash *x = (t_tribandsquash *)ob;
    const double *in = ins[0];
    double *out = outs[0];
    t_crossover_section *lowcut_lowpass = &x->lowpasses->lowcut_lowpass;
    t_crossover_section *highcut_lowpass = &x->lowpasses->highcut_lowpass;
    t_crossover_section *lowcut_highpass = &x->highpasses->lowcut_highpass;
    t_crossover_section *highcut_highpass = &x->highpasses->highcut_highpass;

    /* A reset asked for since the last block is carried out here, before the block takes the
       states into its locals: a message may arrive while a block runs, and clearing then would
       be undone when the block stores its states back. */
    const uint32_t requested = tk_load_u32(&x->reset_requests);
    if (requested != x->resets_done) {
        tribandsquash_clear(x);
        x->resets_done = requested;
    }

    /* Retune on a new crossover, and on a new sample rate: the same frequency needs
       another tuning at another rate. Each crossover is read once, so that both halves and
       the remembered value agree even if a message changes it meanwhile. */
    const double low_hz = tk_load(&x->low_crossover_hz), high_hz = tk_load(&x->high_crossover_hz);
    const bool rate_changed = x->sample_rate != x->applied_sample_rate;
    if (low_hz != x->applied_low_crossover_hz || rate_changed) {
        crossover_tune(lowcut_lowpass, low_hz, x->sample_rate);
        crossover_tune(lowcut_highpass, low_hz, x->sample_rate);
        x->applied_low_crossover_hz = low_hz;
    }
    if (high_hz != x->applied_high_crossover_hz || rate_changed) {
        crossover_tune(highcut_lowpass, high_hz, x->sample_rate);
        crossover_tune(highcut_highpass, high_hz, x->sample_rate);
        x->applied_high_crossover_hz = high_hz;
    }
    x->applied_sample_rate = x->sample_rate;
    if (n <= 0)
        return;

    /* Every setting is read once per block, and the exponentials that depend on settings alone
       are taken once; a message that arrives during the block counts from the next one. */
    const double ln10 = log(10.0);
    t_band_settings settings[TRIBAND_BANDS];
    bool active[TRIBAND_BANDS], soloed[TRIBAND_BANDS], summed[TRIBAND_BANDS];
    bool any_solo = false;
    for (int b = 0; b < TRIBAND_BANDS; b++) {
        settings[b] = band_settings(x, b, ln10);
        active[b] = !(tk_load(&x->band_bypass[b]) > 0.5);
        soloed[b] = tk_load(&x->band_solo[b]) > 0.5;
        if (soloed[b])
            any_solo = true;
    }
    for (int b = 0; b < TRIBAND_BANDS; b++)
        summed[b] = !any_solo || soloed[b];
    const double master = db_to_linear(tk_load(&x->master_db), ln10);

    t_crossover_run low_lp = crossover_begin(lowcut_lowpass), low_hp = crossover_begin(lowcut_highpass);
    t_crossover_run high_lp = crossover_begin(highcut_lowpass), high_hp = crossover_begin(highcut_highpass);
    double smoothed[TRIBAND_BANDS];
    for (int b = 0; b < TRIBAND_BANDS; b++)
        smoothed[b] = flush_abnormal(x->band_smoothed_db[b]); /* later values come out flushed */

    /* Each chunk runs in passes: the crossovers, then per band the levels (logarithms), the curve
       and smoothing (no library calls), the gains (exponentials), and last the sum. Every sample
       of every band sees the same operations in the same order as in one pass. */
    double band[TRIBAND_BANDS][TRIBAND_CHUNK];  /* band samples, then each band's result */
    double level[TRIBAND_BANDS][TRIBAND_CHUNK]; /* levels, then smoothed reductions */

    for (long start = 0; start < n; start += TRIBAND_CHUNK) {
        const long len = n - start < TRIBAND_CHUNK ? n - start : TRIBAND_CHUNK;

        for (long i = 0; i < len; i++) {
            double s = flush_abnormal(in[start + i]);
            if (fabs(s) >= 100000.0)
                s = 0.0;
            band[0][i] = crossover_low(&low_lp, s);
            const double upper = crossover_high(&low_hp, s);
            band[1][i] = crossover_low(&high_lp, upper);
            band[2][i] = crossover_high(&high_hp, upper);
        }

        for (int b = 0; b < TRIBAND_BANDS; b++) {
            double *gain_out = outs[1 + b] + start;
            if (!active[b]) {
                /* passes its band sample unchanged; its gain outlet holds the last gain */
                const double held = x->band_gains[b];
                for (long i = 0; i < len; i++)
                    gain_out[i] = held;
                continue;
            }
            const t_band_settings *set = &settings[b];
            double *v = band[b], *lv = level[b];
            for (long i = 0; i < len; i++)
                lv[i] = band_level(&v[i]);
            double p = smoothed[b];
            for (long i = 0; i < len; i++) {
                p = band_reduction(set, lv[i], p);
                lv[i] = p;
            }
            smoothed[b] = p;
            for (long i = 0; i < len; i++) {
                const double g = exp(ln10 * (lv[i] / -20.0));
                gain_out[i] = g;
                v[i] = g * v[i] * set->makeup;
            }
            x->band_gains[b] = gain_out[len - 1];
        }

        double *o = out + start;
        for (long i = 0; i < len; i++) {
            double sum = 0.0;
            for (int b = 0; b < TRIBAND_BANDS; b++)
                if (summed[b])
                    sum += band[b][i];
            o[i] = master * flush_abnormal(sum);
        }
    }

    for (int b = 0; b < TRIBAND_BANDS; b++) {
        x->band_outputs[b] = band[b][(n - 1) % TRIBAND_CHUNK];
        if (active[b])
            x->band_smoothed_db[b] = smoothed[b];
    }
    crossover_end(lowcut_lowpass, &low_lp);
    crossover_end(lowcut_highpass, &low_hp);
    crossover_end(highcut_lowpass, &high_lp);
    crossover_end(highcut_highpass, &high_hp);
}

/* ---- DSP compilation ---- */
static void tribandsquash_dsp64(t_tribandsquash *x, t_object *dsp64, short *count, double samplerate,
                                long maxvectorsize, long flags)
{
    if (samplerate != x->sample_rate)
        x->sample_rate = samplerate;
    object_method(dsp64, gensym("dsp_add64"), x, tribandsquash_perform64, 0, NULL);
}

/* ---- messages ---- */

/* Range and posted lines of one list parameter. */
typedef struct _band_limits {
    double minimum;
    double maximum;
    const char *below;
    const char *above;
} t_band_limits;

static const t_band_limits attack_limits = {0.1, 1000.0, "Minimum Attack Time: 0.1 ms",
                                            "Maximum Attack Time: 1000 ms"};
static const t_band_limits release_limits = {1.0, 1000.0, "Minimum Release Time: 1 ms",
                                             "Maximum Release Time: 1000 ms"};
static const t_band_limits knee_limits = {0.0, 18.0, "Minimum Knee Value: 0 db", "Maximum Knee Value: 18 db"};
static const t_band_limits ratio_limits = {1.0, 30.0, "Minimum Ratio Value: 1.0", "Maximum Ratio Value: 30.0"};
static const t_band_limits threshold_limits = {-70.0, 0.0, "Minimum Threshold Value: -70 db",
                                               "Maximum Threshold Value: 0 db"};
static const t_band_limits makeup_limits = {0.0, 30.0, "Minimum Makeup Value: 0 db",
                                            "Maximum Makeup Value: 30 db"};

/* Element k of the list sets band k (low, mid, high); extra elements are ignored. A NaN
   counts as below the minimum. */
static void band_list(double *values, long argc, t_atom *argv, const t_band_limits *limits)
{
    for (long k = 0; k < argc && k < TRIBAND_BANDS; k++) {
        double v = atom_getfloat(argv + k);
        if (v < limits->minimum || v != v) {
            object_post(NULL, "%s", limits->below);
            v = limits->minimum;
        } else if (v > limits->maximum) {
            object_post(NULL, "%s", limits->above);
            v = limits->maximum;
        }
        tk_store(&values[k], v);
    }
}

/* Switches are stored as given; the perform routine reads them against 0.5. */
static void band_switches(double *values, long argc, t_atom *argv)
{
    for (long k = 0; k < argc && k < TRIBAND_BANDS; k++)
        tk_store(&values[k], atom_getfloat(argv + k));
}

static void tribandsquash_attacks(t_tribandsquash *x, t_symbol *s, long argc, t_atom *argv)
{
    band_list(x->band_attacks_ms, argc, argv, &attack_limits);
}

static void tribandsquash_releases(t_tribandsquash *x, t_symbol *s, long argc, t_atom *argv)
{
    band_list(x->band_releases_ms, argc, argv, &release_limits);
}

static void tribandsquash_knees(t_tribandsquash *x, t_symbol *s, long argc, t_atom *argv)
{
    band_list(x->band_knees_db, argc, argv, &knee_limits);
}

static void tribandsquash_ratios(t_tribandsquash *x, t_symbol *s, long argc, t_atom *argv)
{
    band_list(x->band_ratios, argc, argv, &ratio_limits);
}

static void tribandsquash_threshs(t_tribandsquash *x, t_symbol *s, long argc, t_atom *argv)
{
    band_list(x->band_thresholds_db, argc, argv, &threshold_limits);
}

static void tribandsquash_makeups(t_tribandsquash *x, t_symbol *s, long argc, t_atom *argv)
{
    band_list(x->band_makeups_db, argc, argv, &makeup_limits);
}

static void tribandsquash_locut(t_tribandsquash *x, double hz)
{
    if (hz > 1400.0) {
        object_post(NULL, "Low Crossover Maximum: 1400.0");
        hz = 1400.0;
    } else if (hz < 20.0 || hz != hz) {
        object_post(NULL, "Low Crossover Minimum: 20.0");
        hz = 20.0;
    }
    tk_store(&x->low_crossover_hz, hz);
}

static void tribandsquash_hicut(t_tribandsquash *x, double hz)
{
    if (hz < 1400.0 || hz != hz) {
        object_post(NULL, "High Crossover Minimum: 1400.0");
        hz = 1400.0;
    }
    tk_store(&x->high_crossover_hz, hz);
}

static void tribandsquash_bypass_lst(t_tribandsquash *x, t_symbol *s, long argc, t_atom *argv)
{
    band_switches(x->band_bypass, argc, argv);
}

static void tribandsquash_master(t_tribandsquash *x, double db)
{
    if (db > 30.0) {
        object_post(NULL, "Maximum Master Trim: 30.0");
        db = 30.0;
    } else if (db < -30.0 || db != db) {
        object_post(NULL, "Minimum Master Trim: -30.0");
        db = -30.0;
    }
    tk_store(&x->master_db, db);
}

static void tribandsquash_soloband(t_tribandsquash *x, t_symbol *s, long argc, t_atom *argv)
{
    band_switches(x->band_solo, argc, argv);
}

/* Resets are asked for here and carried out by the perform routine at its next block. */
static void tribandsquash_flreset(t_tribandsquash *x)
{
    tk_count_up(&x->reset_requests);
}

/* ---- new / free ---- */
static void tribandsquash_release_buffers(t_tribandsquash *x)
{
    double **arrays[] = {&x->band_attacks_ms, &x->band_releases_ms, &x->band_knees_db, &x->band_ratios,
                         &x->band_thresholds_db, &x->band_makeups_db, &x->band_gains, &x->band_bypass,
                         &x->band_solo, &x->band_smoothed_db, &x->band_outputs};
    for (size_t i = 0; i < sizeof arrays / sizeof arrays[0]; i++) {
        if (*arrays[i])
            sysmem_freeptr(*arrays[i]);
        *arrays[i] = NULL;
    }
    if (x->lowpasses)
        sysmem_freeptr(x->lowpasses);
    x->lowpasses = NULL;
    if (x->highpasses)
        sysmem_freeptr(x->highpasses);
    x->highpasses = NULL;
}

static void tribandsquash_free(t_tribandsquash *x)
{
    z_dsp_free((t_pxobject *)x);
    tribandsquash_release_buffers(x);
}

/* Allocates a band array and fills it with its three initial values. */
static double *band_array(double low, double mid, double high)
{
    double *a = (double *)sysmem_newptr(TRIBAND_BANDS * sizeof(double));
    if (a) {
        a[0] = low;
        a[1] = mid;
        a[2] = high;
    }
    return a;
}

static void *tribandsquash_new(void)
{
    t_tribandsquash *x = (t_tribandsquash *)object_alloc(tribandsquash_class);
    if (!x)
        return NULL;
    z_dsp_setup((t_pxobject *)x, 1);
    for (int k = 0; k < 1 + TRIBAND_BANDS; k++)
        outlet_new((t_object *)x, "signal");
    x->sample_rate = sys_getsr();

    x->band_attacks_ms = band_array(10.0, 10.0, 10.0);
    x->band_releases_ms = band_array(80.0, 80.0, 80.0);
    x->band_knees_db = band_array(0.0, 0.0, 0.0);
    x->band_ratios = band_array(4.0, 4.0, 4.0);
    x->band_thresholds_db = band_array(-20.0, -18.0, -16.0);
    x->band_makeups_db = band_array(0.0, 0.0, 0.0);
    x->band_gains = band_array(0.0, 0.0, 0.0);
    x->band_bypass = band_array(0.0, 0.0, 0.0);
    x->band_solo = band_array(0.0, 0.0, 0.0);
    x->low_crossover_hz = 160.0;
    x->high_crossover_hz = 1400.0;
    x->master_db = 0.0;
    x->band_smoothed_db = band_array(0.0, 0.0, 0.0);
    x->band_outputs = band_array(0.0, 0.0, 0.0);
    x->lowpasses = (t_crossover_lowpasses *)sysmem_newptr(sizeof(t_crossover_lowpasses));
    x->highpasses = (t_crossover_highpasses *)sysmem_newptr(sizeof(t_crossover_highpasses));

    if (!x->band_attacks_ms || !x->band_releases_ms || !x->band_knees_db || !x->band_ratios
        || !x->band_thresholds_db || !x->band_makeups_db || !x->band_gains || !x->band_bypass
        || !x->band_solo || !x->band_smoothed_db || !x->band_outputs || !x->lowpasses || !x->highpasses) {
        object_error((t_object *)x, "tribandsquash~: out of memory");
        /* runs the free routine on what was allocated so far, then releases the record */
        freeobject((t_object *)x);
        return NULL;
    }

    x->x_obj.z_misc |= Z_NO_INPLACE;
    tribandsquash_clear(x);
    x->reset_requests = x->resets_done = 0;
    return x;
}

extern "C" C74_EXPORT void ext_main(void *r)
{
    t_class *c = class_new("tribandsquash~", (method)tribandsquash_new, (method)tribandsquash_free,
                           sizeof(t_tribandsquash), NULL, 0);
    class_addmethod(c, (method)tribandsquash_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(c, (method)tribandsquash_attacks, "attacks", A_GIMME, 0);
    class_addmethod(c, (method)tribandsquash_releases, "releases", A_GIMME, 0);
    class_addmethod(c, (method)tribandsquash_knees, "knees", A_GIMME, 0);
    class_addmethod(c, (method)tribandsquash_ratios, "ratios", A_GIMME, 0);
    class_addmethod(c, (method)tribandsquash_threshs, "threshs", A_GIMME, 0);
    class_addmethod(c, (method)tribandsquash_makeups, "makeups", A_GIMME, 0);
    class_addmethod(c, (method)tribandsquash_locut, "locut", A_FLOAT, 0);
    class_addmethod(c, (method)tribandsquash_hicut, "hicut", A_FLOAT, 0);
    class_addmethod(c, (method)tribandsquash_bypass_lst, "bypass_lst", A_GIMME, 0);
    class_addmethod(c, (method)tribandsquash_master, "master", A_FLOAT, 0);
    class_addmethod(c, (method)tribandsquash_soloband, "soloband", A_GIMME, 0);
    class_addmethod(c, (method)tribandsquash_flreset, "flreset", 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    tribandsquash_class = c;
    object_post(NULL, TILDEKIT_RULE_66);
    object_post(NULL, "tribandsquash~: three-band soft-knee compressor with crossover, solo and bypass");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
}
