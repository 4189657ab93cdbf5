/* Deliberately faulty externals, one per property of the validator, each with a fault that
   independent audits found in real limiters, compressors and filters. The same source builds
   every fixture; FIXTURE_KIND picks the fault and FIXTURE_NAME the class. Not deliverables.

   1 blocklimit~  look-ahead limiter whose gain target starts at 1 in every block, so chunks
                  that straddle two blocks leave the delay line unlimited (vector sizes below
                  or not a multiple of the decision period)
   2 fastcomp~    compressor whose gain smoothing coefficient 1000 / (rate x release) is not
                  capped at 1: at low rates the gain overshoots out of 0..1
   3 slowmute~    compressor whose mean square is capped at 1e300: one huge sample mutes it
                  for hundreds of release times
   4 kneecomp~    compressor whose soft knee starts below the straight line it leaves, so the
                  static curve falls where the knee begins
   5 lowratefilt~ one-pole low-pass whose coefficient 2 pi f / rate is not capped: above 2 the
                  filter is unstable (low rates)
   6 divzero~     filter whose gain 1 / (q + 2) divides by zero at q = -2
   7 holdstore~   leaky integrator with a pole on the unit circle at frequency 0: the output is
                  0 but the state keeps every input and comes out when the frequency rises
   8 stickyfilt~  low-pass that skips its update while the input is exactly 0, so it never
                  decays to silence
   9 tiltpan~     constant-power panner whose right-input gain sqrt(2 pan) is not capped at 1:
                  right of the centre the law gains up to 3 dB
  10 wrapdelay~   delay in a ring of 64 samples read with a mask: longer delays wrap onto
                  newer samples
  11 runaway~     feedback model whose loop gain 0.99 + 0.02 x feedback reaches 1.01 at the top
                  of its range: it grows without bound there
  12 stuckglide~  tone generator whose smoothed level starts at 0.5 instead of 0: a fresh box
                  sounds for thousands of samples although it was never excited
  13 leftequal    threshold router that sends a number equal to the threshold left (<= for <)
  14 doubletick~  meter that reports once per period and again half-way through it (a hold
                  report left in)
  15 overshoot    smoother whose `smooth` message leaves the input weight 1 - s as it was, so
                  its output leaves the range of its input */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>

#include <math.h>

#ifndef FIXTURE_KIND
#error FIXTURE_KIND must be set
#endif

typedef struct _faulty {
    t_pxobject ob;
    double sr;
    double thresh_db, release_ms, ratio, knee_db, freq, q;
    double gain, ms, env, state, delay[8], chunk_peak, target;
    long count, pos;
    /* the later fixtures */
    double pan, delay_samples, feedback, velocity, level, threshold, last, smooth, weight;
    double ring[64];
    long period, real_period, phase, half;
    void *out_left, *out_right;
    t_clock *clock;
} t_faulty;

static t_class *faulty_class;

static double dbtolin(double db) { return exp(db * 0.11512925464970229); }

static void set_param(double *field, double v, double lo, double hi)
{
    if (v != v) return; /* NaN: kept as it was (the fault lies elsewhere) */
    *field = v < lo ? lo : v > hi ? hi : v;
}
static void faulty_thresh(t_faulty *x, double v) { set_param(&x->thresh_db, v, -60, 0); }
static void faulty_release(t_faulty *x, double v) { set_param(&x->release_ms, v, 0.1, 1000); }
static void faulty_ratio(t_faulty *x, double v) { set_param(&x->ratio, v, 1, 30); }
static void faulty_knee(t_faulty *x, double v) { set_param(&x->knee_db, v, 0, 12); }
static void faulty_freq(t_faulty *x, double v) { set_param(&x->freq, v, 0, 20000); }
static void faulty_q(t_faulty *x, double v) { set_param(&x->q, v, -10, 10); }

static void faulty_perform64(t_object *ob, t_object *dsp64, double **ins, long numins, double **outs, long numouts,
                             long n, long flags, void *userparam)
{
    t_faulty *x = (t_faulty *)ob;
    double *in = numins > 0 ? ins[0] : NULL, *out = numouts > 0 ? outs[0] : NULL, *aux = numouts > 1 ? outs[1] : NULL;
    double thr = dbtolin(x->thresh_db);
    (void)thr;
    (void)in;
    (void)out;
    (void)aux;
#if FIXTURE_KIND == 1
    double t = 1; /* the fault: the target starts at 1 in every block */
    for (long i = 0; i < n; i++) {
        if (x->count == 0) {
            t = x->chunk_peak > thr ? thr / x->chunk_peak : 1;
            x->chunk_peak = 0;
        }
        double v = in[i], a = fabs(v);
        if (a > x->chunk_peak) x->chunk_peak = a;
        double delayed = x->delay[x->pos];
        x->delay[x->pos] = v;
        x->pos = (x->pos + 1) & 7;
        x->count = (x->count + 1) & 7;
        out[i] = delayed * t;
        aux[i] = t;
    }
#elif FIXTURE_KIND == 2
    double k = 1000 / (x->sr * x->release_ms); /* the fault: not capped at 1 */
    for (long i = 0; i < n; i++) {
        double a = fabs(in[i]), target = a > thr ? thr / a : 1;
        x->gain += k * (target - x->gain);
        out[i] = in[i] * x->gain;
        aux[i] = x->gain;
    }
#elif FIXTURE_KIND == 3
    double c = 1 - exp(-1000 / (x->release_ms * x->sr));
    for (long i = 0; i < n; i++) {
        x->ms += (in[i] * in[i] - x->ms) * c;
        if (!(x->ms < 1e300)) x->ms = 1e300; /* the fault: a cap far too high */
        double level = sqrt(x->ms);
        x->gain = level > thr ? thr / level : 1;
        out[i] = in[i] * x->gain;
        aux[i] = x->gain;
    }
#elif FIXTURE_KIND == 4
    double rel = exp(-1000 / (50 * x->sr)), w = 6 * x->knee_db + 0.01;
    for (long i = 0; i < n; i++) {
        double a = fabs(in[i]);
        x->env = a > x->env ? a : x->env * rel;
        double level = x->env > 1e-8 ? 20 * log10(x->env) : -160, d = level - x->thresh_db, y;
        if (2 * d < -w) y = level;
        else if (2 * d <= w) y = level + (1 / x->ratio - 1) * (d + w) * (d + w) / (2 * w); /* the fault: d + w, not d + w/2 */
        else y = x->thresh_db + d / x->ratio;
        x->gain = dbtolin(y - level);
        out[i] = in[i] * x->gain;
        aux[i] = x->gain;
    }
#elif FIXTURE_KIND == 5
    double c = x->freq * 6.283185307179586 / x->sr; /* the fault: not capped at 1 */
    for (long i = 0; i < n; i++) out[i] = x->state = x->state + c * (in[i] - x->state);
    if (!(fabs(x->state) < 1e300)) x->state = 0;
#elif FIXTURE_KIND == 6
    double c = 1000 * 6.283185307179586 / x->sr, g = 1 / (x->q + 2); /* the fault: q = -2 */
    if (c > 1) c = 1;
    for (long i = 0; i < n; i++) {
        x->state += c * (in[i] - x->state);
        out[i] = g * x->state;
    }
    if (!(fabs(x->state) < 1e300)) x->state = 0;
#elif FIXTURE_KIND == 7
    double c = x->freq * 6.283185307179586 / x->sr;
    if (c > 1) c = 1;
    for (long i = 0; i < n; i++) {
        x->state = (1 - c) * x->state + in[i]; /* the fault: at c = 0 the pole sits on the unit circle */
        out[i] = c * x->state;
    }
#elif FIXTURE_KIND == 8
    double c = x->freq * 6.283185307179586 / x->sr;
    if (c > 1) c = 1;
    for (long i = 0; i < n; i++) {
        if (in[i] != 0) x->state += c * (in[i] - x->state); /* the fault: silence freezes the state */
        out[i] = x->state;
    }
#elif FIXTURE_KIND == 9
    double d = 2 * x->pan, *inr = ins[1];
    double gll = sqrt(fmin(1, 2 - d)), grl = sqrt(fmax(0, 1 - d)), glr = sqrt(fmax(0, d - 1));
    double grr = sqrt(d); /* the fault: not capped at 1 */
    for (long i = 0; i < n; i++) {
        double l = in[i], r = inr[i];
        out[i] = l * gll + r * grl;
        aux[i] = l * glr + r * grr;
    }
#elif FIXTURE_KIND == 10
    long d = (long)x->delay_samples;
    for (long i = 0; i < n; i++) {
        x->ring[x->pos & 63] = in[i];
        out[i] = x->ring[(x->pos - d) & 63]; /* the fault: delays past 63 wrap */
        x->pos++;
    }
#elif FIXTURE_KIND == 11
    double g = 0.99 + 0.02 * x->feedback; /* the fault: above 1 at the top of the range */
    for (long i = 0; i < n; i++) {
        x->state = g * x->state + 0.01 * x->velocity;
        out[i] = x->state;
    }
    if (!(fabs(x->state) < 1e300)) x->state = 0;
#elif FIXTURE_KIND == 12
    double w = 440 * 6.283185307179586 / x->sr;
    for (long i = 0; i < n; i++) {
        x->level = 0.999 * x->level + 0.001 * x->velocity;
        x->state += w;
        if (x->state > 6.283185307179586) x->state -= 6.283185307179586;
        out[i] = x->level * sin(x->state);
    }
#elif FIXTURE_KIND == 14
    x->phase -= n;
    if (x->phase < 0) {
        x->phase = x->real_period - n;
        x->half = 0;
        clock_delay(x->clock, 0);
    } else if (!x->half && x->phase < x->real_period / 2) {
        x->half = 1;
        clock_delay(x->clock, 0); /* the fault: a hold report half-way */
    }
#endif
}

static void faulty_dsp64(t_faulty *x, t_object *dsp64, short *count, double sr, long maxvec, long flags)
{
    x->sr = sr;
#if FIXTURE_KIND == 14
    x->real_period = x->period % maxvec ? x->period + maxvec - x->period % maxvec : x->period;
#endif
    object_method(dsp64, gensym("dsp_add64"), x, faulty_perform64, 0, NULL);
}

[[maybe_unused]] static void faulty_pan(t_faulty *x, double v) { set_param(&x->pan, v, 0, 1); }
[[maybe_unused]] static void faulty_delay(t_faulty *x, double v) { set_param(&x->delay_samples, v, 0, 100); }
[[maybe_unused]] static void faulty_feedback(t_faulty *x, double v) { set_param(&x->feedback, v, 0, 1); }
[[maybe_unused]] static void faulty_velocity(t_faulty *x, double v) { set_param(&x->velocity, v, 0, 1); }
[[maybe_unused]] static void faulty_tick(t_faulty *x) { outlet_float(x->out_left, 50); }

/* the control fixtures: numbers in, numbers out */
[[maybe_unused]] static void faulty_float(t_faulty *x, double v)
{
#if FIXTURE_KIND == 13
    x->last = v;
    outlet_float(v <= x->threshold ? x->out_left : x->out_right, v); /* the fault: equal goes left */
#elif FIXTURE_KIND == 15
    if (!isfinite(v)) return;
    double y = v * x->weight + x->state;
    x->state = y * x->smooth;
    outlet_float(x->out_left, y);
#endif
}
[[maybe_unused]] static void faulty_int(t_faulty *x, long v) { faulty_float(x, (double)v); }
[[maybe_unused]] static void faulty_ft1(t_faulty *x, double v)
{
    x->threshold = v;
    outlet_float(x->last < v ? x->out_left : x->out_right, x->last);
}
[[maybe_unused]] static void faulty_smooth(t_faulty *x, double v)
{
    set_param(&x->smooth, v, 0, 0.99); /* the fault: the weight 1 - smooth is not updated */
}

static void faulty_free(t_faulty *x)
{
#if FIXTURE_KIND < 13 || FIXTURE_KIND == 14
    z_dsp_free((t_pxobject *)x);
#endif
    if (x->clock) freeobject((t_object *)x->clock);
}

static void *faulty_new(t_symbol *s, long argc, t_atom *argv)
{
    t_faulty *x = (t_faulty *)object_alloc(faulty_class);
    if (!x) return NULL;
    x->clock = NULL;
#if FIXTURE_KIND == 13
    floatin((t_object *)x, 1);
    x->out_right = outlet_new((t_object *)x, NULL);
    x->out_left = outlet_new((t_object *)x, NULL);
#elif FIXTURE_KIND == 15
    x->out_left = outlet_new((t_object *)x, NULL);
#elif FIXTURE_KIND == 14
    z_dsp_setup((t_pxobject *)x, 1);
    x->out_left = outlet_new((t_object *)x, "float");
    x->clock = clock_new(x, (method)faulty_tick);
#else
    z_dsp_setup((t_pxobject *)x, FIXTURE_KIND == 9 ? 2 : 1);
    outlet_new((t_object *)x, "signal");
#if FIXTURE_KIND <= 4 || FIXTURE_KIND == 9
    outlet_new((t_object *)x, "signal"); /* the gain, or the right output */
#endif
    x->ob.z_misc |= Z_NO_INPLACE;
#endif
    x->sr = sys_getsr();
    x->thresh_db = -20;
    x->release_ms = 50;
    x->ratio = 4;
    x->knee_db = 6;
    x->freq = 1000;
    x->q = 1;
    x->gain = 1;
    x->ms = x->env = x->state = x->chunk_peak = 0;
    x->target = 1;
    x->count = x->pos = 0;
    for (int i = 0; i < 8; i++) x->delay[i] = 0;
    for (int i = 0; i < 64; i++) x->ring[i] = 0;
    x->pan = 0.5;
    x->delay_samples = 0;
    x->feedback = 0;
    x->velocity = 0;
    x->level = FIXTURE_KIND == 12 ? 0.5 : 0; /* kind 12's fault: the glide starts at 0.5 */
    x->threshold = x->last = 0;
    x->smooth = 0.9;
    x->weight = 1 - 0.9;
    x->period = 512;
    if (argc > 0) x->period = (long)atom_getlong(argv);
    if (x->period < 1) x->period = 1;
    x->real_period = x->period;
    x->phase = x->half = 0;
    return x;
}

extern "C" C74_EXPORT void ext_main(void *r)
{
    t_class *c = class_new(FIXTURE_NAME, (method)faulty_new, (method)faulty_free, sizeof(t_faulty), NULL, A_GIMME, 0);
#if FIXTURE_KIND == 13 || FIXTURE_KIND == 15
    class_addmethod(c, (method)faulty_float, "float", A_FLOAT, 0);
    class_addmethod(c, (method)faulty_int, "int", A_LONG, 0);
    class_addmethod(c, (method)faulty_ft1, "ft1", A_FLOAT, 0);
    class_addmethod(c, (method)faulty_smooth, "smooth", A_FLOAT, 0);
    class_register(gensym("box"), c);
    faulty_class = c;
    return;
#endif
    class_addmethod(c, (method)faulty_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(c, (method)faulty_pan, "pan", A_FLOAT, 0);
    class_addmethod(c, (method)faulty_delay, "delay", A_FLOAT, 0);
    class_addmethod(c, (method)faulty_feedback, "feedback", A_FLOAT, 0);
    class_addmethod(c, (method)faulty_velocity, "velocity", A_FLOAT, 0);
    class_addmethod(c, (method)faulty_thresh, "thresh", A_FLOAT, 0);
    class_addmethod(c, (method)faulty_release, "release", A_FLOAT, 0);
    class_addmethod(c, (method)faulty_ratio, "ratio", A_FLOAT, 0);
    class_addmethod(c, (method)faulty_knee, "knee", A_FLOAT, 0);
    class_addmethod(c, (method)faulty_freq, "freq", A_FLOAT, 0);
    class_addmethod(c, (method)faulty_q, "q", A_FLOAT, 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    faulty_class = c;
}
