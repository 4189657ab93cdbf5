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
                  decays to silence */
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
    double *in = ins[0], *out = outs[0], *aux = numouts > 1 ? outs[1] : NULL;
    double thr = dbtolin(x->thresh_db);
    (void)thr;
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
#endif
}

static void faulty_dsp64(t_faulty *x, t_object *dsp64, short *count, double sr, long maxvec, long flags)
{
    x->sr = sr;
    object_method(dsp64, gensym("dsp_add64"), x, faulty_perform64, 0, NULL);
}

static void *faulty_new(t_symbol *s, long argc, t_atom *argv)
{
    t_faulty *x = (t_faulty *)object_alloc(faulty_class);
    if (!x) return NULL;
    z_dsp_setup((t_pxobject *)x, 1);
    outlet_new((t_object *)x, "signal");
#if FIXTURE_KIND <= 4
    outlet_new((t_object *)x, "signal"); /* the gain */
#endif
    x->ob.z_misc |= Z_NO_INPLACE;
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
    return x;
}

extern "C" C74_EXPORT void ext_main(void *r)
{
    t_class *c = class_new(FIXTURE_NAME, (method)faulty_new, (method)z_dsp_free, sizeof(t_faulty), NULL, A_GIMME, 0);
    class_addmethod(c, (method)faulty_dsp64, "dsp64", A_CANT, 0);
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
