/* rangetamer~: multichannel compressor driven by the mean square of all channels. A level
   follower and two release stages (with an optional hold) feed a power-law gain,
   (20 * level)^(-ratio factor): the threshold is where the gain is 1, below it the gain rises.
   Argument: channel count (1).
   Inlets 0 .. n-1: the channels; inlet 0 also takes every message.
   Outlets 0 .. n-1: the processed channels.
   Outlet n: the applied gain. */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>
#include "tildekit.h"

/* Channels are separate inlets and outlets; the count stays far from the host's inlet limits. */
#define RANGETAMER_MAX_CHANNELS 128
/* Ceiling of the mean square, 80 dB above a full-scale sine's (an RMS of 10^4 after the input
   gain): no sensible signal reaches it, so below it the law is exact. The stages fall by
   e^-3.5 per release time, so the higher the level one sample can leave behind, the longer the
   object stays muted after it: from this ceiling a single sample as loud as the numbers allow
   is released within a few release times, not within minutes. */
#define RANGETAMER_MAX_MEAN_SQUARE 1e8
/* Release stages step by at most this much: a larger step takes the first stage below zero (and
   the gain law to the logarithm of a negative number), a step of exactly 1 to zero (and the
   gain to infinity). 1 - e^-3.5 falls to e^-3.5 in one sample, what the release time asks of
   its stages, compressed into the shortest time the rate can express. */
#define RANGETAMER_FASTEST_RELEASE (1.0 - exp(-3.5))
/* The smallest normal double. */
#define RANGETAMER_SMALLEST_STEP 0x1p-1022
/* Samples per pass of the perform routine. */
#define RANGETAMER_CHUNK 64

typedef struct _rangetamer {
    t_pxobject x_obj;
    double sample_rate;               /* Hz */
    int32_t channel_count;            /* 1 .. RANGETAMER_MAX_CHANNELS */
    double channel_norm;              /* 1 / channel_count */
    double ratio_current;             /* ratio factor in use, 0 until the first Ratio */
    double ratio_target;              /* ratio factor set by Ratio, 0.0589 .. 0.7071 */
    int32_t hold;                     /* non-zero: the peak stages hold below twice the threshold */
    double input_gain_current;        /* linear input gain in use */
    double input_gain_target;         /* linear input gain set by InputGain */
    double input_gain_db;             /* last accepted InputGain, dB, -50 .. 30 */
    double threshold_level;           /* 0.5 * 10^(threshold dB / 10) */
    double threshold_db;              /* last accepted Threshold, dB, -70 .. 0.5 */
    double attack_coefficient;        /* 0.5 / (attack s * rate) */
    double release_coefficient;       /* 3.5 / (release s * rate) */
    double attack_s;                  /* seconds, from 0.001 */
    double release_s;                 /* seconds, from 0.001 */
    double level;                     /* level follower (mean square plus threshold) */
    double peak_slow;                 /* first peak stage */
    double peak_fast;                 /* second peak stage, drives the gain */
    double interpolation_coefficient; /* 160 / rate at creation: glides input gain and ratio */
    int32_t bypass;                   /* 1: inputs pass unchanged, state frozen */
} t_rangetamer;

static t_class *rangetamer_class;

/* ---- DSP core ---- */
/* An attack so long that its step underflows (beyond about 1e305 ms) would leave the follower
   at 0, and the gain law at the logarithm of 0, for ever: the step never falls below the
   smallest normal number, which still lifts the follower off 0 in the first sample. At the
   lowest rates the host allows the step stays at or below 0.5; it is kept at or below 1 (the
   follower reaches its target, no overshoot) at any rate. */
static inline double rangetamer_attack_coefficient(double seconds, double sample_rate)
{
    const double c = 0.5 / (seconds * sample_rate);
    if (!(c >= RANGETAMER_SMALLEST_STEP))
        return RANGETAMER_SMALLEST_STEP;
    return c < 1.0 ? c : 1.0;
}

/* Releases shorter than 3.5 samples (1 ms below 3.5 kHz) release as fast as the stages stay
   positive. */
static inline double rangetamer_release_coefficient(double seconds, double sample_rate)
{
    const double c = 3.5 / (seconds * sample_rate);
    return c < 1.0 ? c : RANGETAMER_FASTEST_RELEASE;
}

static inline double rangetamer_threshold_level(double db) { return 0.5 * pow(10.0, 0.1 * db); }

static inline double rangetamer_ratio_factor(double ratio)
{
    const double f = sqrt(ratio / 72.0);
    return 0.5 * (f < 2.01 ? f : 2.01);
}

/* Input-gain and ratio glides: 160 / rate, at most 1 (reached at 160 Hz) so that a glide
   never overshoots its target. */
static inline double rangetamer_interpolation_coefficient(double sample_rate)
{
    const double c = 160.0 / sample_rate;
    return c < 1.0 ? c : 1.0;
}

/* The gain: (20 * peak)^(-ratio factor) times the input gain. */
static inline double rangetamer_gain(double peak, double ratio_factor, double input_gain)
{
    return exp(-log(20.0 * peak) * ratio_factor) * input_gain;
}

/* a when c is non-zero, else b, bit for bit, through a mask rather than a branch. */
static inline double rangetamer_pick(int c, double a, double b)
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

/* A non-finite input sample counts as silence, in the detector and at the output. */
static inline double rangetamer_sample(double v) { return isfinite(v) ? v : 0.0; }

/* ---- perform ---- */
static void rangetamer_perform64(t_object *ob, t_object *dsp64, double **ins, long numins, double **outs,
                                 long numouts, long n, long flags, void *userparam)
{
    t_rangetamer *x = (t_rangetamer *)ob;
    const int32_t channels = x->channel_count;
    double *gain_outlet = outs[channels];

    if (tk_load_flag(&x->bypass)) {
        for (int32_t j = 0; j < channels; j++)
            if (outs[j] != ins[j])
                memmove(outs[j], ins[j], (size_t)n * sizeof(double));
        for (long i = 0; i < n; i++)
            gain_outlet[i] = 1.0;
        return;
    }

    /* Each setting is read once: a message may land while the block runs, and the block then
       works with one consistent set (the new one from the next block on). */
    const double ratio_target = tk_load(&x->ratio_target);
    /* Glides stop when close enough; above unity the input gain snaps from further away. */
    const double c = tk_load(&x->input_gain_target);
    double d = x->input_gain_current;
    bool glide_gain = true;
    if (fabs(c - d) < 1e-5 || (d > 1.0 && fabs(c - d) < 0.001)) {
        d = c;
        glide_gain = false;
    }
    bool glide_ratio = true;
    if (fabs(ratio_target - x->ratio_current) < 1e-5) {
        x->ratio_current = ratio_target;
        glide_ratio = false;
    }
    const double threshold_level = tk_load(&x->threshold_level);
    const double hold_level = tk_load_flag(&x->hold) ? 2.0 * threshold_level : 0.0;
    const double ic = x->interpolation_coefficient;
    const double attack = tk_load(&x->attack_coefficient);
    const double release = tk_load(&x->release_coefficient);
    const double norm = x->channel_norm;
    double level = x->level, peak_slow = x->peak_slow, peak_fast = x->peak_fast;
    double ratio = x->ratio_current;
    /* A ratio factor of 0 that stays 0 makes the power law exp(-ln(20 peak) * 0) = 1 for every
       finite positive 20 peak: the gain is then the input gain, without a logarithm and an
       exponential per sample. */
    const bool unity_law = !glide_ratio && ratio == 0.0;

    /* The block runs in chunks, each in passes: input gain, mean square (channel by channel,
       adding in channel order as one pass would), follower and peaks (no library calls),
       then the gain (logarithm and exponential) and the outputs. */
    double gain_in[RANGETAMER_CHUNK], mean_square[RANGETAMER_CHUNK];
    double peak[RANGETAMER_CHUNK], ratio_at[RANGETAMER_CHUNK];

    for (long start = 0; start < n; start += RANGETAMER_CHUNK) {
        const long len = n - start < RANGETAMER_CHUNK ? n - start : RANGETAMER_CHUNK;

        for (long i = 0; i < len; i++) {
            if (glide_gain)
                d += (c - d) * ic;
            gain_in[i] = d;
            mean_square[i] = 0.0;
        }
        for (int32_t j = 0; j < channels; j++) {
            const double *in = ins[j] + start;
            for (long i = 0; i < len; i++) {
                const double v = gain_in[i] * rangetamer_sample(in[i]);
                mean_square[i] += v * v;
            }
        }

        for (long i = 0; i < len; i++) {
            double ms = mean_square[i] * norm;
            if (!(ms < RANGETAMER_MAX_MEAN_SQUARE))
                ms = RANGETAMER_MAX_MEAN_SQUARE;

            level += (ms + threshold_level - level) * attack;
            const int holding = hold_level > level;
            /* each stage either jumps to the level, holds, or decays: all three are computed
               and one is picked, since the level crosses the peaks at random */
            const double slow_decayed = peak_slow - release * peak_slow;
            peak_slow = rangetamer_pick(level > peak_slow, level, rangetamer_pick(holding, peak_slow, slow_decayed));
            const double fast_decayed = peak_fast + (peak_slow - peak_fast) * release;
            peak_fast = rangetamer_pick(level > peak_fast, level, rangetamer_pick(holding, peak_fast, fast_decayed));
            if (glide_ratio)
                ratio += (ratio_target - ratio) * ic;
            peak[i] = peak_fast;
            ratio_at[i] = ratio;
        }

        double *gain = gain_outlet + start;
        if (unity_law) {
            for (long i = 0; i < len; i++) {
                const double v = 20.0 * peak[i];
                gain[i] = v > 0.0 && v < HUGE_VAL ? gain_in[i] : rangetamer_gain(peak[i], ratio_at[i], gain_in[i]);
            }
        } else {
            for (long i = 0; i < len; i++)
                gain[i] = rangetamer_gain(peak[i], ratio_at[i], gain_in[i]);
        }
        for (int32_t j = 0; j < channels; j++) {
            const double *in = ins[j] + start;
            double *out = outs[j] + start;
            for (long i = 0; i < len; i++)
                out[i] = gain[i] * rangetamer_sample(in[i]);
        }
    }

    x->input_gain_current = d;
    x->level = level;
    x->peak_slow = peak_slow;
    x->peak_fast = peak_fast;
    x->ratio_current = ratio;
}

/* ---- DSP compilation ---- */
static void rangetamer_dsp64(t_rangetamer *x, t_object *dsp64, short *count, double samplerate,
                             long maxvectorsize, long flags)
{
    if (samplerate != x->sample_rate)
        x->sample_rate = samplerate;
    object_method(dsp64, gensym("dsp_add64"), x, rangetamer_perform64, 0, NULL);
}

/* ---- messages ---- */
/* A NaN in the messages below counts as below the minimum. Attack and release have no upper
   limit, but an infinite time is no time at all: it takes the minimum as NaN does. */
static void rangetamer_inputgain(t_rangetamer *x, double db)
{
    if (db > 30.0) {
        object_post(NULL, "setting input gain to 30");
        db = 30.0;
    } else if (!(db >= -50.0)) {
        object_post(NULL, "setting input gain to -50.0");
        db = -50.0;
    }
    if (db != tk_load(&x->input_gain_db)) {
        tk_store(&x->input_gain_db, db);
        tk_store(&x->input_gain_target, pow(10.0, 0.05 * db));
    }
}

static void rangetamer_threshold(t_rangetamer *x, double db)
{
    if (db > 0.5) {
        object_post(NULL, "setting threshold to 0.5");
        db = 0.5;
    } else if (!(db >= -70.0)) {
        object_post(NULL, "setting threshold to -70.0");
        db = -70.0;
    }
    if (db != tk_load(&x->threshold_db)) {
        tk_store(&x->threshold_db, db);
        tk_store(&x->threshold_level, rangetamer_threshold_level(db));
    }
}

static void rangetamer_ratio(t_rangetamer *x, double ratio)
{
    if (!(ratio >= 1.0)) {
        object_post(NULL, "setting ratio to 1.0");
        ratio = 1.0;
    } else if (ratio >= 144.0) {
        object_post(NULL, "setting ratio to infinity");
        ratio = 144.0;
    }
    tk_store(&x->ratio_target, rangetamer_ratio_factor(ratio));
}

static void rangetamer_release(t_rangetamer *x, double ms)
{
    if (!(ms >= 1.0 && ms < HUGE_VAL)) {
        object_post(NULL, "setting release to 1.0 ms");
        ms = 1.0;
    }
    const double seconds = ms / 1000.0;
    if (seconds != tk_load(&x->release_s)) {
        tk_store(&x->release_s, seconds);
        tk_store(&x->release_coefficient, rangetamer_release_coefficient(seconds, x->sample_rate));
    }
}

static void rangetamer_attack(t_rangetamer *x, double ms)
{
    if (!(ms >= 1.0 && ms < HUGE_VAL)) {
        object_post(NULL, "setting attack to 1.0 ms");
        ms = 1.0;
    }
    const double seconds = ms / 1000.0;
    if (seconds != tk_load(&x->attack_s)) {
        tk_store(&x->attack_s, seconds);
        tk_store(&x->attack_coefficient, rangetamer_attack_coefficient(seconds, x->sample_rate));
    }
}

static void rangetamer_bypass(t_rangetamer *x, t_atom_long n)
{
    int32_t on = 0;
    if (n != 0) {
        object_post(NULL, "Bypass is ON");
        on = 1;
    }
    tk_store_i32(&x->bypass, on);
}

/* Stored as given; a value beyond 32 bits is saturated so it never wraps to 0. */
static void rangetamer_hold(t_rangetamer *x, t_atom_long n)
{
    tk_store_i32(&x->hold, n > INT32_MAX ? INT32_MAX : n < INT32_MIN ? INT32_MIN : (int32_t)n);
}

static void rangetamer_assist(t_rangetamer *x, void *b, long io, long index, char *s)
{
    if (index < 0)
        return;
    if (io == ASSIST_INLET) {
        if (index < x->channel_count)
            sprintf(s, "(signal) Input %d", (int)index + 1);
    } else {
        if (index < x->channel_count)
            sprintf(s, "(signal) Output %d", (int)index + 1);
        else if (index == x->channel_count)
            sprintf(s, "(signal) Gain Reduction");
    }
}

/* ---- new / free ---- */

/* The argument, truncated toward zero; out-of-range counts are replaced with an error line
   rather than refused, so the box still appears. */
static int32_t rangetamer_channel_count(t_rangetamer *x, double v)
{
    v = trunc(v);
    if (!(v >= 1.0)) {
        object_error((t_object *)x, "rangetamer~: channel count must be at least 1, using 1");
        return 1;
    }
    if (v > RANGETAMER_MAX_CHANNELS) {
        object_error((t_object *)x, "rangetamer~: at most %d channels, using %d", RANGETAMER_MAX_CHANNELS,
                     RANGETAMER_MAX_CHANNELS);
        return RANGETAMER_MAX_CHANNELS;
    }
    return (int32_t)v;
}

static void *rangetamer_new(t_symbol *s, long argc, t_atom *argv)
{
    t_rangetamer *x = (t_rangetamer *)object_alloc(rangetamer_class);
    if (!x)
        return NULL;

    double channels = 1.0;
    atom_arg_getdouble(&channels, 0, argc, argv);
    x->channel_count = rangetamer_channel_count(x, channels);

    z_dsp_setup((t_pxobject *)x, x->channel_count);
    for (int32_t j = 0; j <= x->channel_count; j++)
        outlet_new((t_object *)x, "signal");
    x->x_obj.z_misc |= Z_NO_INPLACE;

    x->sample_rate = sys_getsr();
    x->channel_norm = 1.0 / x->channel_count;
    x->ratio_current = 0.0;
    x->ratio_target = 0.0;
    x->hold = 0;
    x->input_gain_current = 1.0;
    x->input_gain_target = 1.0;
    x->input_gain_db = 0.0;
    x->threshold_db = -10.0;
    x->threshold_level = rangetamer_threshold_level(x->threshold_db);
    x->attack_s = 0.01;
    x->release_s = 0.3;
    x->attack_coefficient = rangetamer_attack_coefficient(x->attack_s, x->sample_rate);
    x->release_coefficient = rangetamer_release_coefficient(x->release_s, x->sample_rate);
    x->level = 0.0;
    x->peak_slow = 0.0;
    x->peak_fast = 0.0;
    x->interpolation_coefficient = rangetamer_interpolation_coefficient(x->sample_rate);
    x->bypass = 0;
    return x;
}

extern "C" C74_EXPORT void ext_main(void *r)
{
    t_class *c = class_new("rangetamer~", (method)rangetamer_new, (method)z_dsp_free, sizeof(t_rangetamer),
                           NULL, A_GIMME, 0);
    class_addmethod(c, (method)rangetamer_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(c, (method)rangetamer_assist, "assist", A_CANT, 0);
    class_addmethod(c, (method)rangetamer_inputgain, "InputGain", A_FLOAT, 0);
    class_addmethod(c, (method)rangetamer_threshold, "Threshold", A_FLOAT, 0);
    class_addmethod(c, (method)rangetamer_ratio, "Ratio", A_FLOAT, 0);
    class_addmethod(c, (method)rangetamer_release, "Release", A_FLOAT, 0);
    class_addmethod(c, (method)rangetamer_attack, "Attack", A_FLOAT, 0);
    class_addmethod(c, (method)rangetamer_bypass, "Bypass", A_LONG, 0);
    class_addmethod(c, (method)rangetamer_hold, "Hold", A_LONG, 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    rangetamer_class = c;
    object_post(NULL, TILDEKIT_RULE_66);
    object_post(NULL, "rangetamer~: mean-square compressor with power-law gain and hold");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
}
