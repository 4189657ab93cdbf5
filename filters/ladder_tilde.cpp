/* ladder~: four-stage resonant low-pass of the transistor-ladder kind. Each stage is a
   one-pole section with a zero (its input plus 0.3 times its previous input); the last
   stage is fed back to the input, scaled by the resonance. The cutoff maps to the stage
   coefficient by a fixed line that does not look at the sample rate, so the response in
   Hz moves in proportion to the rate (about 9 % higher at 48 kHz than at 44.1 kHz);
   the resonance is lowered above 3800 Hz to keep the loop tame.
   Inlet 0: signal to filter.  Inlet 1: cutoff in Hz, signal (0 to 8140).
   Inlet 2: resonance k, signal (0 to 4).  Outlet 0: the filtered signal. */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>
#include "tildekit.h"

#define LADDER_STAGES 4

static const double ladder_cutoff_max = 8140.0;       /* Hz */
static const double ladder_resonance_max = 4.0;
static const double ladder_taper_start = 3800.0;      /* Hz; k is lowered above this */
static const double ladder_taper_span = 4300.0;       /* Hz */
static const double ladder_taper_depth = 0.5;
static const double ladder_hz_scale = 0.01;
static const double ladder_p_slope = 0.0140845;
static const double ladder_p_offset = 0.9999998807907104; /* 0.9999999 as a float */
static const double ladder_t_scale = 0.76923077;
static const double ladder_zero = 0.3;                /* weight of each stage's previous input */

typedef struct _ladder {
    t_pxobject x_obj;
    double stage_in[LADDER_STAGES];  /* previous input of each stage (u, y1, y2, y3) */
    double stage_out[LADDER_STAGES]; /* previous output of each stage; [3] is the output */
    /* `reset` only counts its requests; the perform routine, which alone writes the stages'
       memory, clears it at the start of its next block. A message may land while a block runs,
       and a memory cleared from there would be overwritten when the block stores its own. */
    uint32_t reset_requests; /* `reset` messages received (wraps) */
    uint32_t resets_done;    /* requests acted on */
} t_ladder;

static t_class *ladder_class;

/* ---- DSP core ---- */

/* Cutoff in Hz as the filter uses it: at most 8140 Hz, and never below 0 Hz, where the
   mapping would put the stage pole outside the unit circle and the output would grow
   without bound. */
static inline double ladder_cutoff(double f)
{
    if (f > ladder_cutoff_max)
        f = ladder_cutoff_max;
    if (f < 0.0)
        f = 0.0;
    return f;
}

/* Resonance in [0, 4], lowered linearly above 3800 Hz (it may go below 0 there). */
static inline double ladder_resonance(double q, double f)
{
    double k = q;
    if (k > ladder_resonance_max)
        k = ladder_resonance_max;
    if (k < 0.0)
        k = 0.0;
    if (f > ladder_taper_start)
        k = k - ((f - ladder_taper_start) / ladder_taper_span) * ladder_taper_depth;
    return k;
}

static inline double ladder_pole(double f) { return (f * ladder_hz_scale) * ladder_p_slope - ladder_p_offset; }

static inline double ladder_drive(double p) { return (p + 1.0) * ladder_t_scale; }

static inline double ladder_stage(double in, double prev_in, double prev_out, double t, double p)
{
    return (ladder_zero * prev_in + in) * t - p * prev_out;
}

/* The memory of all four stages back to 0: a fresh box's. */
static void ladder_clear(t_ladder *x)
{
    for (int s = 0; s < LADDER_STAGES; s++) {
        x->stage_in[s] = 0.0;
        x->stage_out[s] = 0.0;
    }
}

/* Carries out a `reset` asked for since the last block. */
static inline void ladder_take_request(t_ladder *x)
{
    const uint32_t requested = tk_load_count(&x->reset_requests);
    if (requested != x->resets_done) {
        ladder_clear(x);
        x->resets_done = requested;
    }
}

/* ---- perform ---- */
static void ladder_perform64(t_object *ob, t_object *dsp64, double **ins, long numins, double **outs,
                             long numouts, long n, long flags, void *userparam)
{
    t_ladder *x = (t_ladder *)ob;
    ladder_take_request(x);
    const double *in = ins[0];
    const double *cutoff = ins[1];
    const double *reso = ins[2];
    double *out = outs[0];
    double si0 = x->stage_in[0], si1 = x->stage_in[1], si2 = x->stage_in[2], si3 = x->stage_in[3];
    double so0 = x->stage_out[0], so1 = x->stage_out[1], so2 = x->stage_out[2], so3 = x->stage_out[3];
    for (long i = 0; i < n; i++) {
        double xi = in[i];
        double f = ladder_cutoff(cutoff[i]);
        double k = ladder_resonance(reso[i], f);
        double p = ladder_pole(f);
        double t = ladder_drive(p);
        double u = xi - k * so3;
        double y1 = ladder_stage(u, si0, so0, t, p);
        double y2 = ladder_stage(y1, si1, so1, t, p);
        double y3 = ladder_stage(y2, si2, so2, t, p);
        double y4 = ladder_stage(y3, si3, so3, t, p);
        out[i] = y4;
        si0 = u;
        si1 = y1;
        si2 = y2;
        si3 = y3;
        so0 = y1;
        so1 = y2;
        so2 = y3;
        so3 = y4;
    }
    /* Guarded, so that one NaN or infinite sample spoils a single block and not the filter. */
    x->stage_in[0] = flush_denormal(si0);
    x->stage_in[1] = flush_denormal(si1);
    x->stage_in[2] = flush_denormal(si2);
    x->stage_in[3] = flush_denormal(si3);
    x->stage_out[0] = flush_denormal(so0);
    x->stage_out[1] = flush_denormal(so1);
    x->stage_out[2] = flush_denormal(so2);
    x->stage_out[3] = flush_denormal(so3);
}

/* Single-precision step of the legacy chain: each value is formed in double from float
   operands and rounded to float. */
static inline float ladder_stage32(float in, float prev_in, float prev_out, float t, float p)
{
    return (float)(ladder_stage((double)in, (double)prev_in, (double)prev_out, (double)t, (double)p));
}

static t_int *ladder_perform(t_int *w)
{
    t_ladder *x = (t_ladder *)w[1];
    ladder_take_request(x);
    const float *in = (const float *)w[2];
    const float *cutoff = (const float *)w[3];
    const float *reso = (const float *)w[4];
    float *out = (float *)w[5];
    long n = (long)w[6];
    float si[LADDER_STAGES], so[LADDER_STAGES];
    for (int s = 0; s < LADDER_STAGES; s++) {
        si[s] = (float)x->stage_in[s];
        so[s] = (float)x->stage_out[s];
    }
    for (long i = 0; i < n; i++) {
        double f = ladder_cutoff((double)cutoff[i]);
        float k = (float)ladder_resonance((double)reso[i], f);
        float p = (float)ladder_pole(f);
        float t = (float)ladder_drive((double)p);
        float u = (float)((double)in[i] - (double)k * (double)so[3]);
        float y1 = ladder_stage32(u, si[0], so[0], t, p);
        float y2 = ladder_stage32(y1, si[1], so[1], t, p);
        float y3 = ladder_stage32(y2, si[2], so[2], t, p);
        float y4 = ladder_stage32(y3, si[3], so[3], t, p);
        out[i] = y4;
        si[0] = u;
        si[1] = y1;
        si[2] = y2;
        si[3] = y3;
        so[0] = y1;
        so[1] = y2;
        so[2] = y3;
        so[3] = y4;
    }
    for (int s = 0; s < LADDER_STAGES; s++) {
        x->stage_in[s] = flush_denormal((double)si[s]);
        x->stage_out[s] = flush_denormal((double)so[s]);
    }
    return w + 7;
}

/* ---- DSP compilation ---- */
/* No coefficient depends on the sample rate: only the perform routine is added. */
static void ladder_dsp(t_ladder *x, t_signal **sp, short *count)
{
    dsp_add(ladder_perform, 6, x, sp[0]->s_vec, sp[1]->s_vec, sp[2]->s_vec, sp[3]->s_vec, sp[0]->s_n);
}

static void ladder_dsp64(t_ladder *x, t_object *dsp64, short *count, double samplerate, long maxvectorsize,
                         long flags)
{
    object_method(dsp64, gensym("dsp_add64"), x, ladder_perform64, 0, NULL);
}

/* ---- messages ---- */
/* At the start of the next block (see reset_requests). */
static void ladder_reset(t_ladder *x) { tk_count_up(&x->reset_requests); }

static const char *const ladder_inlet_text[] = {
    "(signal) Input to be filtered",
    "(signal) Center Frequency",
    "(signal) Q/filter sharpness",
};

static void ladder_assist(t_ladder *x, void *b, long io, long index, char *s)
{
    if (io == ASSIST_INLET) {
        if (index >= 0 && index < 3)
            sprintf(s, "%s", ladder_inlet_text[index]);
    } else if (io == ASSIST_OUTLET) {
        sprintf(s, "(signal) Filtered signal");
    }
}

/* ---- new ---- */
/* The class declares two optional numbers; the filter takes its settings from signals only. */
static void *ladder_new(double unused1, double unused2)
{
    t_ladder *x = (t_ladder *)object_alloc(ladder_class);
    if (!x)
        return NULL;
    z_dsp_setup((t_pxobject *)x, 3);
    outlet_new((t_object *)x, "signal");
    ladder_clear(x);
    x->reset_requests = x->resets_done = 0;
    return x;
}

extern "C" C74_EXPORT int main(void)
{
    t_class *c = class_new("ladder~", (method)ladder_new, (method)z_dsp_free, sizeof(t_ladder), NULL,
                           A_DEFFLOAT, A_DEFFLOAT, 0);
    class_addmethod(c, (method)ladder_dsp, "dsp", A_CANT, 0);
    class_addmethod(c, (method)ladder_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(c, (method)ladder_reset, "reset", 0);
    class_addmethod(c, (method)ladder_assist, "assist", A_CANT, 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    ladder_class = c;
    object_post(NULL, TILDEKIT_RULE_74);
    object_post(NULL, "ladder~: four-stage resonant ladder low-pass, cutoff and resonance as signals");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
    object_post(NULL, TILDEKIT_RULE_74);
    return 0;
}
