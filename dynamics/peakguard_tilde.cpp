/* peakguard~: multichannel look-ahead peak limiter. Every channel is delayed by about 1.2 ms
   and multiplied by one common gain, decided from the peaks of the input and of a 500 Hz
   low-passed copy, so that the gain has come down before a peak leaves the delay line.
   Arguments: channel count (1), threshold in dB (-0.1), release in ms (10).
   Inlets 0 .. n-1: the channels to limit; inlet 0 also takes every message.
   Outlets 0 .. n-1: the limited channels.
   Outlet n: the applied gain (1 = no reduction).
   The smoothed gain is close to its target when a peak leaves the delay, but not always there: a
   peak far over the threshold after a quiet stretch needs more than the look-ahead allows, and
   at look-aheads of ten fast periods and more (60-65 kHz, 120-130 kHz, 240 kHz up) the held
   minimum expires a write or two before its peak has left. Ordinary limiting passes the
   threshold by some 1e-5 dB at most, and is left exactly as it is; only a sample that the
   gain would carry more than 0.01 dB over it is caught. For that a short line keeps, per fast
   period, the period's largest magnitude scaled by the threshold of its decision: while the
   gain stays under what that peak allows, nothing more is done; where it does not, the
   sample's own magnitude is read from the delay lines, the gain is lowered to hold it at the
   threshold and rises from there at the release rate. */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>
#include "tildekit.h"

/* Channels are separate inlets and outlets; beyond this a patch is better served by
   several limiters, and the count stays far from the host's inlet limits. */
#define PEAKGUARD_MAX_CHANNELS 128
/* Keeps the look-ahead (and the delay lines) of absurd sample rates allocatable. */
#define PEAKGUARD_MAX_LOOKAHEAD_STEPS 1048576.0
#define PEAKGUARD_HISTORY_SIZE 32
/* Hold length of the minimum-hold history. */
#define PEAKGUARD_HISTORY_HOLD 12
/* Longest stretch between two fast decisions: the fast period is 8, 16 or 32 samples. */
#define PEAKGUARD_MAX_CHUNK 32

/* Minimum-hold history: the smallest value written over the last `hold_length` writes. */
typedef struct _min_history {
    int32_t size;        /* 32 */
    int32_t mask;        /* size - 1 */
    int32_t hold_length; /* writes a minimum is held for */
    int32_t hold_count;  /* writes left until the held minimum expires */
    int32_t write_index;
    double minimum;      /* held minimum, linear gain */
    double *entries;     /* [size] last values written */
} t_min_history;

typedef struct _peakguard {
    t_pxobject x_obj;
    double threshold_factor;     /* 10^(-threshold dB / 20): scaled peaks above 1 are over */
    double input_gain_current;   /* linear input gain being applied */
    double input_gain_target;    /* linear input gain set by InputGain */
    double release_coefficient;  /* per-sample rise of the output gain, 1 / (release s * rate) */
    double sample_rate;          /* Hz */
    t_min_history min_history;
    int32_t channel_count;       /* 1 .. PEAKGUARD_MAX_CHANNELS */
    int32_t fast_period;         /* samples per fast decision: 8, 16 or 32 */
    int32_t slow_period;         /* fast decisions per slow decision */
    int32_t lookahead_steps;     /* fast periods of look-ahead */
    int32_t history_hold;        /* hold length of min_history */
    int32_t delay_length;        /* look-ahead in samples */
    int32_t delay_size;          /* length of each delay line, a power of two >= 64 */
    int32_t delay_mask;          /* delay_size - 1 */
    int32_t read_index;          /* delay-line read position */
    double **delay_lines;        /* [channel_count][delay_size] gained input */
    int32_t fast_countdown;      /* samples left until the next fast decision */
    int32_t slow_countdown;      /* fast decisions left until the next slow decision */
    double fast_peak;            /* largest |gained input| since the last fast decision */
    double slow_peak;            /* largest |low-passed input| since the last slow decision */
    double lowpass_coefficient;  /* 3140 / rate: a one-pole at about 500 Hz */
    double fast_coefficient;     /* 10 / delay_length */
    double slow_coefficient;     /* fast_coefficient / slow_period */
    double gain_fast;            /* smoother following the fast target */
    double gain_slow;            /* smoother following the slow target */
    double gain_out;             /* applied gain */
    double target_fast;          /* last fast decision, carried into the next block */
    double target_slow;          /* last slow decision (1 once the next block has decided) */
    double *lowpass_states;      /* [channel_count] one-pole state per channel */
    double *period_over;         /* [2 * delay_size / fast_period]: per fast period of the delay
                                    lines, its largest |gained input| times the threshold
                                    factor of its decision (above 1 is over), then that factor */
    double input_gain_step;      /* per-sample increment of input_gain_current */
    uint8_t bypass;              /* 1: inputs pass unchanged, state frozen */
} t_peakguard;

static t_class *peakguard_class;

/* ---- DSP core ---- */
static const double PEAKGUARD_LOOKAHEAD_S = 0.0012000000569969416;
static const double PEAKGUARD_LOWPASS_BIAS = 9.999999682655225e-21; /* keeps the state off denormals */
static const double PEAKGUARD_RAMP_SNAP = 9.999999717180685e-10;
/* 10^(0.01 / 20): how far over the threshold (0.01 dB) a sample may leave before the gain is
   lowered to hold it. Ordinary limiting stays far inside it and is never touched. */
static const double PEAKGUARD_OVER_ALLOWED = 1.001151955538169;

/* Writes v and returns the minimum of the held window. When the held minimum expires the
   window is searched again for the smallest remaining value and how long it still holds. */
static inline double history_write(t_min_history *h, double v)
{
    h->entries[h->write_index] = v;
    if (v <= h->minimum) {
        h->minimum = v;
        h->hold_count = h->hold_length;
    } else if (--h->hold_count <= 0) {
        h->minimum = v;
        h->hold_count = h->hold_length;
        for (int32_t j = 1 - h->hold_length; j <= -1; j++) {
            const double e = h->entries[(h->write_index + j + h->size) & h->mask];
            if (e < h->minimum) {
                h->minimum = e;
                h->hold_count = h->hold_length + j;
            }
        }
    }
    h->write_index = (h->write_index + 1) & h->mask;
    return h->minimum;
}

/* Target gain for a peak: the inverse of how far the scaled peak is over the threshold. */
static inline double peak_target(double peak, double threshold_factor)
{
    const double p = peak * threshold_factor;
    return p > 1.0 ? 1.0 / p : 1.0;
}

static inline double threshold_factor_of(double db) { return pow(10.0, -0.05 * db); }

/* A one-pole smoother moves by its coefficient times the distance to its target: above 1 it
   passes the target (a gain that falls below 0 or rises above 1), above 2 it diverges. The
   shortest settings at low rates ask for that; they get the whole step in one sample. */
static inline double smoothing_coefficient(double c) { return c < 1.0 ? c : 1.0; }

/* ---- perform ---- */
static void peakguard_perform64(t_object *ob, t_object *dsp64, double **ins, long numins, double **outs,
                                long numouts, long n, long flags, void *userparam)
{
    t_peakguard *x = (t_peakguard *)ob;
    const int32_t channels = x->channel_count;
    double *gain_outlet = outs[channels];

    if (__atomic_load_n(&x->bypass, __ATOMIC_RELAXED)) { /* a message may write it meanwhile */
        for (int32_t j = 0; j < channels; j++)
            if (outs[j] != ins[j])
                memmove(outs[j], ins[j], (size_t)n * sizeof(double));
        for (long i = 0; i < n; i++)
            gain_outlet[i] = 1.0;
        return;
    }

    /* The state and the settings live in locals for the block and go back at its end: the
       delay lines and outlets are written through pointers, and with the fields read through
       the instance every such store would force them to be read again. */
    const int32_t mask = x->delay_mask;
    const int32_t fast_period = x->fast_period, slow_period = x->slow_period;
    const double lowpass_coefficient = x->lowpass_coefficient;
    const double fast_coefficient = x->fast_coefficient, slow_coefficient = x->slow_coefficient;
    /* the settings that messages write, each taken whole once for the block */
    const double release_coefficient = tk_load(&x->release_coefficient);
    const double threshold_factor = tk_load(&x->threshold_factor);
    double *const *lines = x->delay_lines;
    double *lowpass = x->lowpass_states;
    double input_gain = x->input_gain_current, input_gain_step = x->input_gain_step;
    double fast_peak = x->fast_peak, slow_peak = x->slow_peak;
    double gain_fast = x->gain_fast, gain_slow = x->gain_slow, gain_out = x->gain_out;
    int32_t fast_countdown = x->fast_countdown, slow_countdown = x->slow_countdown;
    int32_t read_index = x->read_index;

    /* The targets of the last decisions carry on until this block makes its first one, so a
       vector that ends inside a fast period holds the gain instead of letting it drift back
       towards 1. At that first decision the slow target falls back to 1 unless a slow decision
       replaces it, as it always has where blocks are whole fast periods. */
    double target_fast = x->target_fast;
    double target_slow = x->target_slow;
    int first_decision = 1;
    int32_t write_index = (read_index + x->delay_length) & mask;
    long done = 0;

    while (done < n) {
        const long remaining = n - done;
        int32_t chunk = remaining < fast_countdown ? (int32_t)remaining : fast_countdown;
        if (chunk > PEAKGUARD_MAX_CHUNK) /* never with a fast period of at most 32 */
            chunk = PEAKGUARD_MAX_CHUNK;

        /* Detector and delay lines: every channel steps the input gain identically from the
           same start, so the steps are taken once; the peaks are shared so all channels get
           the same gain. Channels go in pairs, whose two low-pass recurrences overlap. */
        double gains[PEAKGUARD_MAX_CHUNK];
        double g = input_gain;
        for (int32_t k = 0; k < chunk; k++) {
            gains[k] = g;
            g = g + input_gain_step;
        }
        input_gain = g;
        for (int32_t j = 0; j < channels; j += 2) {
            const int32_t pair = j + 1 < channels;
            const double *in_a = ins[j] + done;
            const double *in_b = ins[j + pair] + done;
            double *line_a = lines[j] + write_index;
            double *line_b = lines[j + pair] + write_index;
            double z_a = lowpass[j];
            double z_b = lowpass[j + pair];
            for (int32_t k = 0; k < chunk; k++) {
                double s = gains[k] * in_a[k];
                if (!isfinite(s)) /* a non-finite sample is silence everywhere */
                    s = 0.0;
                line_a[k] = s;
                const double a = fabs(s);
                fast_peak = a > fast_peak ? a : fast_peak;
                z_a = z_a + ((s - z_a) * lowpass_coefficient + PEAKGUARD_LOWPASS_BIAS);
                if (!isfinite(z_a))
                    z_a = 0.0;
                const double b = fabs(z_a);
                slow_peak = b > slow_peak ? b : slow_peak;
                if (pair) {
                    double t = gains[k] * in_b[k];
                    if (!isfinite(t))
                        t = 0.0;
                    line_b[k] = t;
                    const double c = fabs(t);
                    fast_peak = c > fast_peak ? c : fast_peak;
                    z_b = z_b + ((t - z_b) * lowpass_coefficient + PEAKGUARD_LOWPASS_BIAS);
                    if (!isfinite(z_b))
                        z_b = 0.0;
                    const double d = fabs(z_b);
                    slow_peak = d > slow_peak ? d : slow_peak;
                }
            }
            lowpass[j] = z_a;
            if (pair)
                lowpass[j + 1] = z_b;
        }
        /* the period's peak so far (chunks never straddle a period), scaled as its decision will be */
        const int32_t period_in = 2 * (write_index / fast_period);
        x->period_over[period_in] = fast_peak * threshold_factor;
        x->period_over[period_in + 1] = threshold_factor;

        fast_countdown -= chunk;
        if (fast_countdown <= 0) {
            target_fast = history_write(&x->min_history, peak_target(fast_peak, threshold_factor));
            if (first_decision) {
                target_slow = 1.0;
                first_decision = 0;
            }
            fast_peak = 0.0;
            fast_countdown = fast_period;
            if (--slow_countdown <= 0) {
                target_slow = history_write(&x->min_history, peak_target(slow_peak, threshold_factor));
                slow_peak = 0.0;
                slow_countdown = slow_period;
                /* read once: an InputGain that lands meanwhile is taken at the next slow decision */
                const double target = tk_load(&x->input_gain_target);
                const double diff = target - input_gain;
                /* a gain that went non-finite (a NaN InputGain) snaps to the target */
                if (fabs(diff) < PEAKGUARD_RAMP_SNAP || !isfinite(input_gain)) {
                    input_gain = target;
                    input_gain_step = 0.0;
                } else {
                    input_gain_step = diff / ((double)slow_period * (double)fast_period);
                }
            }
        }

        /* Smoothers and output: the slow target eases in, the fast one catches peaks; the
           gain falls at the fast rate and rises at the release rate. Once a step leaves all
           three smoothers exactly where they were, every further step with the same targets
           does too: the rest of the chunk holds that gain without stepping them. A gain above
           what the period's peak allows is the one comparison added per sample; only then is the
           sample's own magnitude looked at, and a gain that would carry it more than 0.01 dB over
           the threshold lowered to hold it there (a NaN threshold compares false and never
           lowers it). */
        double *gain = gain_outlet + done;
        const int32_t period_out = 2 * (read_index / fast_period);
        /* a silent period allows any gain (no division by its zero peak) */
        const double over = x->period_over[period_out];
        const double allowed = over > 0.0 ? PEAKGUARD_OVER_ALLOWED / over : HUGE_VAL;
        const double factor_out = x->period_over[period_out + 1];
        int held = 0;
        for (int32_t k = 0; k < chunk; k++) {
            if (!held) {
                const double slow = gain_slow + (target_slow - gain_slow) * slow_coefficient;
                const double fast = gain_fast + (target_fast - gain_fast) * fast_coefficient;
                const double m = slow < fast ? slow : fast;
                const double c = gain_out > m ? fast_coefficient : release_coefficient;
                const double next = gain_out + c * (m - gain_out);
                held = memcmp(&slow, &gain_slow, sizeof slow) == 0 && memcmp(&fast, &gain_fast, sizeof fast) == 0
                       && memcmp(&next, &gain_out, sizeof next) == 0;
                gain_slow = slow;
                gain_fast = fast;
                gain_out = next;
            }
            if (gain_out > allowed) {
                double loudest = 0.0;
                for (int32_t j = 0; j < channels; j++) {
                    const double a = fabs(lines[j][read_index + k]);
                    loudest = a > loudest ? a : loudest;
                }
                const double over = loudest * factor_out;
                if (gain_out * over > PEAKGUARD_OVER_ALLOWED) {
                    gain_out = 1.0 / over;
                    held = 0;
                }
            }
            gain[k] = gain_out;
        }
        for (int32_t j = 0; j < channels; j++) {
            const double *line = lines[j] + read_index;
            double *out = outs[j] + done;
            for (int32_t k = 0; k < chunk; k++)
                out[k] = gain[k] * line[k];
        }

        read_index = (read_index + chunk) & mask;
        write_index = (write_index + chunk) & mask;
        done += chunk;
    }

    x->input_gain_current = input_gain;
    x->input_gain_step = input_gain_step;
    x->fast_peak = fast_peak;
    x->slow_peak = slow_peak;
    x->gain_fast = gain_fast;
    x->gain_slow = gain_slow;
    x->gain_out = gain_out;
    x->target_fast = target_fast;
    x->target_slow = target_slow;
    x->fast_countdown = fast_countdown;
    x->slow_countdown = slow_countdown;
    x->read_index = read_index;
}

/* ---- DSP compilation ---- */
static void peakguard_dsp64(t_peakguard *x, t_object *dsp64, short *count, double samplerate,
                            long maxvectorsize, long flags)
{
    /* sizes and coefficients stay those of the creation-time rate */
    if (samplerate != x->sample_rate)
        x->sample_rate = samplerate;
    object_method(dsp64, gensym("dsp_add64"), x, peakguard_perform64, 0, NULL);
}

/* ---- messages ---- */
static void peakguard_threshold(t_peakguard *x, double db)
{
    if (db > 0.5) {
        object_post(NULL, "Threshold Maximum: 0.5");
        db = 0.5;
    }
    tk_store(&x->threshold_factor, threshold_factor_of(db));
}

/* Both limits are inclusive: exactly 0.01 and exactly 3000 post the line too. */
static void peakguard_release(t_peakguard *x, double ms)
{
    if (!(ms > 0.01)) {
        object_post(NULL, "Release time: 0.01 - 3000.0 ms");
        ms = 0.01;
    } else if (ms >= 3000.0) {
        object_post(NULL, "Release time: 0.01 - 3000.0 ms");
        ms = 3000.0;
    }
    tk_store(&x->release_coefficient, smoothing_coefficient(1.0 / (ms / 1000.0 * x->sample_rate)));
}

/* Only the low eight bits of the number count. */
static void peakguard_bypass(t_peakguard *x, t_atom_long n)
{
    if ((n & 0xFF) != 0) {
        object_post(NULL, "Bypass is ON");
        __atomic_store_n(&x->bypass, (uint8_t)1, __ATOMIC_RELAXED);
    } else {
        __atomic_store_n(&x->bypass, (uint8_t)0, __ATOMIC_RELAXED);
    }
}

/* Ramped in from the next slow decision. */
static void peakguard_inputgain(t_peakguard *x, double db)
{
    if (db > 30.0) {
        object_post(NULL, "Input Gain Maximum: 30. dB");
        db = 30.0;
    }
    tk_store(&x->input_gain_target, pow(10.0, 0.05 * db));
}

static void peakguard_assist(t_peakguard *x, void *b, long io, long index, char *s)
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
static void peakguard_release_buffers(t_peakguard *x)
{
    if (x->delay_lines) {
        for (int32_t j = 0; j < x->channel_count; j++)
            if (x->delay_lines[j])
                sysmem_freeptr(x->delay_lines[j]);
        sysmem_freeptr(x->delay_lines);
        x->delay_lines = NULL;
    }
    if (x->lowpass_states)
        sysmem_freeptr(x->lowpass_states);
    x->lowpass_states = NULL;
    if (x->period_over)
        sysmem_freeptr(x->period_over);
    x->period_over = NULL;
    if (x->min_history.entries)
        sysmem_freeptr(x->min_history.entries);
    x->min_history.entries = NULL;
}

static void peakguard_free(t_peakguard *x)
{
    z_dsp_free((t_pxobject *)x);
    peakguard_release_buffers(x);
}

/* The first argument, truncated toward zero; out-of-range counts are replaced with an
   error line rather than refused, so the box still appears. */
static int32_t peakguard_channel_count(t_peakguard *x, double v)
{
    v = trunc(v);
    if (!(v >= 1.0)) {
        object_error((t_object *)x, "peakguard~: channel count must be at least 1, using 1");
        return 1;
    }
    if (v > PEAKGUARD_MAX_CHANNELS) {
        object_error((t_object *)x, "peakguard~: at most %d channels, using %d", PEAKGUARD_MAX_CHANNELS,
                     PEAKGUARD_MAX_CHANNELS);
        return PEAKGUARD_MAX_CHANNELS;
    }
    return (int32_t)v;
}

static void *peakguard_new(t_symbol *s, long argc, t_atom *argv)
{
    t_peakguard *x = (t_peakguard *)object_alloc(peakguard_class);
    if (!x)
        return NULL;

    double channels = 1.0, threshold_db = -0.1, release_ms = 10.0;
    atom_arg_getdouble(&channels, 0, argc, argv);
    atom_arg_getdouble(&threshold_db, 1, argc, argv);
    atom_arg_getdouble(&release_ms, 2, argc, argv);
    x->channel_count = peakguard_channel_count(x, channels);

    z_dsp_setup((t_pxobject *)x, x->channel_count);
    for (int32_t j = 0; j <= x->channel_count; j++)
        outlet_new((t_object *)x, "signal");
    x->x_obj.z_misc |= Z_NO_INPLACE;

    /* Everything sized in samples follows the rate at creation. */
    x->sample_rate = sys_getsr();
    const double sr = x->sample_rate;
    x->fast_period = sr > 130000.0 ? 32 : sr > 65000.0 ? 16 : 8;
    x->slow_period = 8;
    double steps = ceil(sr * PEAKGUARD_LOOKAHEAD_S / x->fast_period);
    if (!(steps >= 1.0))
        steps = 1.0;
    if (steps > PEAKGUARD_MAX_LOOKAHEAD_STEPS)
        steps = PEAKGUARD_MAX_LOOKAHEAD_STEPS;
    x->lookahead_steps = (int32_t)steps;
    /* Twelve writes hold a peak's target until the peak has left a look-ahead of up to nine
       fast periods; beyond that the ceiling check holds the samples the early rise would carry
       over, and leaves the rest of the output as the gain makes it. */
    x->history_hold = PEAKGUARD_HISTORY_HOLD;
    x->delay_length = x->lookahead_steps * x->fast_period;
    x->delay_size = 64;
    while (x->delay_size < x->delay_length + x->fast_period)
        x->delay_size *= 2;
    x->delay_mask = x->delay_size - 1;
    x->read_index = 0;
    x->fast_countdown = x->fast_period;
    x->slow_countdown = x->slow_period;
    x->fast_peak = 0.0;
    x->slow_peak = 0.0;
    /* below 3140 Hz the 500 Hz detector passes its input; below 6667 Hz the look-ahead is one
       fast period and the fast smoother reaches its target at once */
    x->lowpass_coefficient = smoothing_coefficient(3140.0 / sr);
    x->fast_coefficient = smoothing_coefficient(10.0 / x->delay_length);
    x->slow_coefficient = x->fast_coefficient / x->slow_period;
    x->gain_fast = 1.0;
    x->gain_slow = 1.0;
    x->gain_out = 1.0;
    x->target_fast = 1.0;
    x->target_slow = 1.0;
    x->input_gain_current = 1.0;
    x->input_gain_target = 1.0;
    x->input_gain_step = 0.0;
    x->bypass = 0;

    t_min_history *h = &x->min_history;
    h->size = PEAKGUARD_HISTORY_SIZE;
    h->mask = PEAKGUARD_HISTORY_SIZE - 1;
    h->hold_length = x->history_hold;
    h->hold_count = x->history_hold;
    h->write_index = 0;
    h->minimum = 1.0;

    h->entries = (double *)sysmem_newptr(PEAKGUARD_HISTORY_SIZE * sizeof(double));
    x->lowpass_states = (double *)sysmem_newptrclear((t_ptr_size)x->channel_count * sizeof(double));
    x->period_over = (double *)sysmem_newptrclear((t_ptr_size)(2 * (x->delay_size / x->fast_period)) * sizeof(double));
    x->delay_lines = (double **)sysmem_newptrclear((t_ptr_size)x->channel_count * sizeof(double *));
    bool ok = h->entries && x->lowpass_states && x->period_over && x->delay_lines;
    for (int32_t j = 0; ok && j < x->channel_count; j++) {
        x->delay_lines[j] = (double *)sysmem_newptrclear((t_ptr_size)x->delay_size * sizeof(double));
        ok = x->delay_lines[j] != NULL;
    }
    if (!ok) {
        object_error((t_object *)x, "peakguard~: out of memory");
        /* runs the free routine on what was allocated so far, then releases the record */
        freeobject((t_object *)x);
        return NULL;
    }
    for (int32_t i = 0; i < PEAKGUARD_HISTORY_SIZE; i++)
        h->entries[i] = 1.0;

    peakguard_threshold(x, threshold_db);
    peakguard_release(x, release_ms);
    return x;
}

extern "C" C74_EXPORT void ext_main(void *r)
{
    t_class *c = class_new("peakguard~", (method)peakguard_new, (method)peakguard_free, sizeof(t_peakguard),
                           NULL, A_GIMME, 0);
    class_addmethod(c, (method)peakguard_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(c, (method)peakguard_assist, "assist", A_CANT, 0);
    class_addmethod(c, (method)peakguard_threshold, "Threshold", A_FLOAT, 0);
    class_addmethod(c, (method)peakguard_release, "Release", A_FLOAT, 0);
    class_addmethod(c, (method)peakguard_bypass, "Bypass", A_LONG, 0);
    class_addmethod(c, (method)peakguard_inputgain, "InputGain", A_FLOAT, 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    peakguard_class = c;
    object_post(NULL, TILDEKIT_RULE_66);
    object_post(NULL, "peakguard~: multichannel look-ahead peak limiter with linked gain");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
    object_post(NULL, "Default values> Threshold: -0.1  Release: 10.0 ms InputGain: 0.0 dB");
}
