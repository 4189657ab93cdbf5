/* bowedstring~: a bowed string, as a digital waveguide. The bow divides the string into a
   nut segment and a bridge segment, each a pair of fractional delay lines (one per
   direction of travel); the ends reflect through short low-passes with sign inversion; the
   bow couples the segments through a friction curve driven by the difference between the
   bow velocity and the string velocity under it; the wave reaching the bridge drives a
   resonant body filter, whose output is the sound. Parameters glide to their new values.
   Inlet 0: messages only (`velocity`, `length`, `pressure`, `pos`, `OutGain`,
   `setDefault`, `clearall`).
   Outlet 0: the string's sound. */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>
#include "tildekit.h"

#define BOWEDSTRING_RING_SIZE 2048
#define BOWEDSTRING_RING_MASK (BOWEDSTRING_RING_SIZE - 1)
#define BOWEDSTRING_HISTORY 4
#define BOWEDSTRING_BODY 3
/* Longest string taken. The delays are up to 283 samples per unit of length and the length's
   smoother settles about 1e-5 above its target, so every length up to this bound keeps the
   smoothed length and the delays finite (below 3e307) and is taken as it stands. A larger or
   infinite `length` would overflow them and turn the model into NaN for good; it is taken as
   the bound. */
#define BOWEDSTRING_MAX_LENGTH 1.0e305

#define BOWEDSTRING_GAIN_DEFAULT 0.5
#define BOWEDSTRING_POSITION_DEFAULT 0.7
#define BOWEDSTRING_LENGTH_DEFAULT 0.75
#define BOWEDSTRING_VELOCITY_DEFAULT 0.0
#define BOWEDSTRING_PRESSURE_DEFAULT 0.5

/* The model's constants that are single-precision values, widened to double. */
#define SMOOTH_KEEP ((double)0.999f)
#define SMOOTH_TAKE ((double)0.001f)

typedef struct _bowedstring {
    t_pxobject x_obj;
    double string_length;  /* length control, 0 and up: a period of (length - 0.08) / 340 s plus 12 samples */
    double bow_pressure;   /* 0 .. 1 */
    double bow_velocity;   /* 0 .. 1 */
    double bow_position;   /* 0 .. 1, fraction of the length from the nut to the bow */
    double output_gain;    /* 0 .. 1 */
    double sample_rate;    /* Hz, as last given by the host */
    double clamped_rate;   /* sample_rate limited to 1 .. 192000 Hz */
    double K;              /* tan(500 pi / clamped_rate), prewarped body frequency */
    double body_b;         /* body filter numerator, 1 / K */
    double body_c;         /* body filter normalisation */
    double body_a1;        /* body filter feedback, z^-1 */
    double body_a2;        /* body filter feedback, z^-2 */
    double max_tap;        /* longest tap in samples, clamped_rate * 3/340 */
    double delay_scale;    /* samples per unit of length, clamped_rate / 680 */
    /* smoothers and ring reads: the value of the sample just computed and the one the next
       sample starts from (equal between blocks) */
    double position_now, position_prev;   /* smoothed bow position */
    double length_now, length_prev;       /* smoothed string length */
    double velocity_now, velocity_prev;   /* smoothed bow velocity */
    double pressure_now, pressure_prev;   /* smoothed bow pressure */
    double bridge_return_now, bridge_return_prev;   /* wave from the bridge arriving at the bow */
    double nut_return_now, nut_return_prev;         /* wave from the nut arriving at the bow */
    double bridge_arrival_now, bridge_arrival_prev; /* wave from the bow arriving at the bridge */
    double nut_arrival_now, nut_arrival_prev;       /* wave from the bow arriving at the nut */
    double *bridge_history; /* last four arrivals at the bridge, newest first */
    double *nut_history;    /* last four arrivals at the nut, newest first */
    int32_t write_index;    /* ring write position, modulo 2^32 (used modulo the ring size) */
    double *bow_to_bridge_ring;
    double *bridge_to_bow_ring;
    double *bow_to_nut_ring;
    double *nut_to_bow_ring;
    double *body_state; /* body filter values, newest first */
    uint32_t clear_requests; /* counted up by clearall; written by the message side only */
    uint32_t clears_done;    /* requests the perform routine has carried out; written there only */
} t_bowedstring;

static t_class *bowedstring_class;

/* ---- DSP core ---- */

/* Everything that follows from the sample rate. */
static void bowedstring_rate(t_bowedstring *x, double sr)
{
    x->sample_rate = sr;
    double r = sr;
    if (!(r >= 1.0))
        r = 1.0;
    if (r > 192000.0)
        r = 192000.0;
    x->clamped_rate = r;
    double K = tan((double)1570.79639f / r);
    double ik = 1.0 / K;
    x->K = K;
    /* band-pass at 500 Hz, quality 2, by the bilinear transform */
    x->body_b = ik;
    x->body_c = 1.0 / (1.0 + (ik + 0.5) / K);
    x->body_a1 = 2.0 * (1.0 - 1.0 / (K * K));
    x->body_a2 = 1.0 + (ik - 0.5) / K;
    x->max_tap = r * (double)0.00882352982f;
    x->delay_scale = r * (double)0.00147058826f;
}

static inline double bowedstring_clamp01(double v)
{
    if (!(v >= 0.0)) /* NaN counts as below the minimum */
        return 0.0;
    return v > 1.0 ? 1.0 : v;
}

/* Fourth-order Lagrange reader for one fractional delay: the first tap and the five weights.
   `direct`: the five taps are t0, t0 + 1, ..., t0 + 4, none of them limited. */
typedef struct _bowedstring_reader {
    uint32_t t0;
    int direct;
    double w0, w1, w2, w3, w4;
} t_bowedstring_reader;

/* Longest delay, in samples, for which the whole and fractional parts are taken in 32-bit
   integers. Longer delays (strings of millions of units) take them in floating point; their
   taps all stop at `max_tap` anyway. */
#define BOWEDSTRING_INT_DELAY 2147483000.0

/* Weights for the delay d, and the first tap where no tap is limited. longest is the whole
   part of `max_tap`: a tap is an integer, so it stops at max_tap where it passes longest. */
static inline t_bowedstring_reader bowedstring_lagrange4(double d, int32_t longest)
{
    t_bowedstring_reader r;
    double base = d - 1.49999499;
    double fd;
    if (fabs(base) < BOWEDSTRING_INT_DELAY) {
        /* the truncation is the integer part; floor lies one below it for a negative
           non-integer */
        int32_t id = (int32_t)base;
        double whole = (double)id;
        fd = d - (whole > base ? whole - 1.0 : whole);
        r.t0 = (uint32_t)id;
        r.direct = id >= 0 && id <= longest - 4;
    } else {
        fd = d - floor(base);
        r.t0 = 0;
        r.direct = 0;
    }
    double m1 = fd - 1.0, m2 = fd - 2.0, m3 = fd - 3.0, m4 = fd - 4.0;
    r.w0 = m1 * m2 * m3 * m4 * (double)0.0416666679f;
    r.w1 = -fd * m2 * m3 * m4 * (double)0.166666672f;
    r.w2 = fd * m1 * m3 * m4 * (double)0.25f;
    r.w3 = -fd * m1 * m2 * m4 * (double)0.166666672f;
    r.w4 = fd * m1 * m2 * m3 * (double)0.0416666679f;
    return r;
}

/* The weighted taps summed from 0 in tap order, each tap limited to 0 .. `max_tap` and its
   index taken round the ring. at = write index minus the read's offset. */
static double bowedstring_read_limited(const double *ring, uint32_t at, double d, double max_tap,
                                       t_bowedstring_reader r)
{
    const double w[5] = { r.w0, r.w1, r.w2, r.w3, r.w4 };
    double id = trunc(d - 1.49999499);
    double acc = 0.0;
    for (int k = 0; k < 5; k++) {
        /* limited in floating point first: no delay, however long or undefined, becomes an
           index outside the ring */
        double t = id + (double)k;
        if (!(t >= 0.0))
            t = 0.0;
        if (t > max_tap)
            t = max_tap;
        acc += w[k] * ring[(at - (uint32_t)t) & BOWEDSTRING_RING_MASK];
    }
    return acc;
}

/* The same sum, read straight down from the first tap when no tap is limited and the five do
   not wrap round the ring's end. */
static inline double bowedstring_read(const double *ring, uint32_t at, double d, double max_tap,
                                      t_bowedstring_reader r)
{
    uint32_t first = (at - r.t0) & BOWEDSTRING_RING_MASK;
    if (r.direct && first >= 4) {
        const double *s = ring + first;
        return 0.0 + r.w0 * s[0] + r.w1 * s[-1] + r.w2 * s[-2] + r.w3 * s[-3] + r.w4 * s[-4];
    }
    return bowedstring_read_limited(ring, at, d, max_tap, r);
}

/* Friction curve: 1 while |s * dv| <= 0.25, then falling with the fourth power. */
static inline double bowedstring_bow_table(double s, double dv)
{
    double t = fabs(s * dv) + 0.75;
    t *= t;
    double r = 1.0 / (t * t);
    return r > 1.0 ? 1.0 : r;
}

/* Empties the string: smoothers, ring reads, histories, rings and body filter back to 0. */
static void bowedstring_clear(t_bowedstring *x)
{
    x->position_now = x->position_prev = 0.0;
    x->length_now = x->length_prev = 0.0;
    x->velocity_now = x->velocity_prev = 0.0;
    x->pressure_now = x->pressure_prev = 0.0;
    x->bridge_return_now = x->bridge_return_prev = 0.0;
    x->nut_return_now = x->nut_return_prev = 0.0;
    x->bridge_arrival_now = x->bridge_arrival_prev = 0.0;
    x->nut_arrival_now = x->nut_arrival_prev = 0.0;
    memset(x->bridge_history, 0, BOWEDSTRING_HISTORY * sizeof(double));
    memset(x->nut_history, 0, BOWEDSTRING_HISTORY * sizeof(double));
    x->write_index = 0;
    memset(x->bow_to_bridge_ring, 0, BOWEDSTRING_RING_SIZE * sizeof(double));
    memset(x->bridge_to_bow_ring, 0, BOWEDSTRING_RING_SIZE * sizeof(double));
    memset(x->bow_to_nut_ring, 0, BOWEDSTRING_RING_SIZE * sizeof(double));
    memset(x->nut_to_bow_ring, 0, BOWEDSTRING_RING_SIZE * sizeof(double));
    memset(x->body_state, 0, BOWEDSTRING_BODY * sizeof(double));
}

/* ---- perform ---- */
static void bowedstring_perform64(t_object *ob, t_object *dsp64, double **ins, long numins, double **outs,
                                  long numouts, long n, long flags, void *userparam)
{
    t_bowedstring *x = (t_bowedstring *)ob;
    double *out = outs[0];
    /* A clear asked for since the last block is carried out here, before the block takes the
       state into its locals: a message may arrive while a block runs, and clearing then would
       be undone when the block stores its state back. */
    const uint32_t requested = tk_load_u32(&x->clear_requests);
    if (requested != x->clears_done) {
        bowedstring_clear(x);
        x->clears_done = requested;
    }
    double *to_bridge = x->bow_to_bridge_ring;
    double *from_bridge = x->bridge_to_bow_ring;
    double *to_nut = x->bow_to_nut_ring;
    double *from_nut = x->nut_to_bow_ring;
    const double b = x->body_b, c = x->body_c, a1 = x->body_a1, a2 = x->body_a2;
    const double scale = x->delay_scale, max_tap = x->max_tap, gain = tk_load(&x->output_gain);
    const int32_t longest = max_tap < 2147483647.0 ? (int32_t)max_tap : 2147483647;
    /* the settings, each read once: a message may write them while the block runs */
    const double position = tk_load(&x->bow_position), length = tk_load(&x->string_length);
    const double velocity = tk_load(&x->bow_velocity), pressure = tk_load(&x->bow_pressure);
    /* the values of the previous sample */
    double p = x->position_prev, l = x->length_prev, v = x->velocity_prev, q = x->pressure_prev;
    double bridge_return = x->bridge_return_prev, nut_return = x->nut_return_prev;
    double bridge_arrival = x->bridge_arrival_prev, nut_arrival = x->nut_arrival_prev;
    /* histories and body filter in locals: the rings and the output cannot overwrite them */
    double bh0 = x->bridge_history[0], bh1 = x->bridge_history[1];
    double bh2 = x->bridge_history[2], bh3 = x->bridge_history[3];
    double nh0 = x->nut_history[0], nh1 = x->nut_history[1], nh2 = x->nut_history[2], nh3 = x->nut_history[3];
    double body0 = x->body_state[0], body1 = x->body_state[1], body2 = x->body_state[2];
    uint32_t wi = (uint32_t)x->write_index;

    for (long i = 0; i < n; i++) {
        uint32_t slot = wi & BOWEDSTRING_RING_MASK;
        p = SMOOTH_KEEP * p + SMOOTH_TAKE * position;
        l = SMOOTH_KEEP * l + SMOOTH_TAKE * length;
        double e = l - (double)0.08f; /* the part of the string that vibrates */

        double d_bridge = (1.0 - p) * e * scale;
        t_bowedstring_reader rb = bowedstring_lagrange4(d_bridge, longest);
        double new_bridge_return = bowedstring_read(from_bridge, wi - 1, d_bridge, max_tap, rb);

        v = SMOOTH_KEEP * v + SMOOTH_TAKE * velocity;

        nh0 = nut_arrival;
        from_nut[slot] = -0.99880147 * ((double)0.8f * nh2 + (double)0.1f * (nh1 + nh3));

        double d_nut = p * e * scale;
        t_bowedstring_reader rn = bowedstring_lagrange4(d_nut, longest);
        double new_nut_return = bowedstring_read(from_nut, wi - 2, d_nut, max_tap, rn);

        /* bow velocity against the string velocity under the bow */
        double dv = v - (nut_return + bridge_return);
        q = SMOOTH_KEEP * q + SMOOTH_TAKE * pressure;
        double force = dv * bowedstring_bow_table(5.0 - 4.0 * q, dv);

        to_bridge[slot] = nut_return + force;
        to_nut[slot] = bridge_return + force;

        /* may read the value just written: a bridge segment of no length */
        double new_bridge_arrival = bowedstring_read(to_bridge, wi, d_bridge, max_tap, rb);
        bh0 = bridge_arrival;
        body0 = bh1 - c * (a1 * body1 + a2 * body2);
        from_bridge[slot] = -0.989264667 * ((double)0.6f * bh2 + (double)0.2f * (bh1 + bh3));

        double new_nut_arrival = bowedstring_read(to_nut, wi - 1, d_nut, max_tap, rn);

        out[i] = gain * c * (b * body0 - b * body2);

        bridge_return = new_bridge_return;
        nut_return = new_nut_return;
        bridge_arrival = new_bridge_arrival;
        nut_arrival = new_nut_arrival;
        bh3 = bh2;
        bh2 = bh1;
        bh1 = bh0;
        nh3 = nh2;
        nh2 = nh1;
        nh1 = nh0;
        body2 = body1;
        body1 = body0;
        wi++;
    }
    x->position_now = x->position_prev = p;
    x->length_now = x->length_prev = l;
    x->velocity_now = x->velocity_prev = v;
    x->pressure_now = x->pressure_prev = q;
    x->bridge_return_now = x->bridge_return_prev = bridge_return;
    x->nut_return_now = x->nut_return_prev = nut_return;
    x->bridge_arrival_now = x->bridge_arrival_prev = bridge_arrival;
    x->nut_arrival_now = x->nut_arrival_prev = nut_arrival;
    x->bridge_history[0] = bh0;
    x->bridge_history[1] = bh1;
    x->bridge_history[2] = bh2;
    x->bridge_history[3] = bh3;
    x->nut_history[0] = nh0;
    x->nut_history[1] = nh1;
    x->nut_history[2] = nh2;
    x->nut_history[3] = nh3;
    x->body_state[0] = body0;
    x->body_state[1] = body1;
    x->body_state[2] = body2;
    x->write_index = (int32_t)wi;
}

/* ---- DSP compilation ---- */
static void bowedstring_dsp64(t_bowedstring *x, t_object *dsp64, short *count, double samplerate,
                              long maxvectorsize, long flags)
{
    if (samplerate != x->sample_rate)
        bowedstring_rate(x, samplerate);
    object_method(dsp64, gensym("dsp_add64"), x, bowedstring_perform64, 0, NULL);
}

/* ---- messages ---- */
static void bowedstring_velocity(t_bowedstring *x, double v) { tk_store(&x->bow_velocity, bowedstring_clamp01(v)); }

static void bowedstring_length(t_bowedstring *x, double v)
{
    if (!(v >= 0.0)) /* negative or NaN */
        v = 0.0;
    if (v > BOWEDSTRING_MAX_LENGTH)
        v = BOWEDSTRING_MAX_LENGTH;
    tk_store(&x->string_length, v);
}

static void bowedstring_pressure(t_bowedstring *x, double v) { tk_store(&x->bow_pressure, bowedstring_clamp01(v)); }

static void bowedstring_pos(t_bowedstring *x, double v) { tk_store(&x->bow_position, bowedstring_clamp01(v)); }

static void bowedstring_outgain(t_bowedstring *x, double v) { tk_store(&x->output_gain, bowedstring_clamp01(v)); }

/* Restores the five parameters; the string keeps ringing from where it is. */
static void bowedstring_setdefault(t_bowedstring *x)
{
    tk_store(&x->output_gain, BOWEDSTRING_GAIN_DEFAULT);
    tk_store(&x->bow_position, BOWEDSTRING_POSITION_DEFAULT);
    tk_store(&x->string_length, BOWEDSTRING_LENGTH_DEFAULT);
    tk_store(&x->bow_velocity, BOWEDSTRING_VELOCITY_DEFAULT);
    tk_store(&x->bow_pressure, BOWEDSTRING_PRESSURE_DEFAULT);
}

/* Stops the bow at once and asks the perform routine to empty the string at its next block;
   the smoothers then glide up again from 0. */
static void bowedstring_clearall(t_bowedstring *x)
{
    tk_store(&x->bow_velocity, 0.0);
    tk_count_up(&x->clear_requests);
}

/* ---- new / free ---- */
static void bowedstring_free(t_bowedstring *x)
{
    z_dsp_free((t_pxobject *)x);
    double **arrays[] = {&x->bridge_history,     &x->nut_history,     &x->bow_to_bridge_ring,
                         &x->bridge_to_bow_ring, &x->bow_to_nut_ring, &x->nut_to_bow_ring,
                         &x->body_state};
    for (unsigned i = 0; i < sizeof arrays / sizeof arrays[0]; i++) {
        if (*arrays[i]) {
            sysmem_freeptr(*arrays[i]);
            *arrays[i] = NULL;
        }
    }
}

static double *bowedstring_alloc(long count)
{
    return (double *)sysmem_newptrclear((t_ptr_size)count * sizeof(double));
}

static void *bowedstring_new(t_symbol *s, long argc, t_atom *argv)
{
    t_bowedstring *x = (t_bowedstring *)object_alloc(bowedstring_class);
    if (!x)
        return NULL;
    x->bridge_history = x->nut_history = NULL;
    x->bow_to_bridge_ring = x->bridge_to_bow_ring = NULL;
    x->bow_to_nut_ring = x->nut_to_bow_ring = NULL;
    x->body_state = NULL;
    z_dsp_setup((t_pxobject *)x, 0);
    outlet_new((t_object *)x, "signal");
    bowedstring_rate(x, (double)sys_getsr());

    x->bridge_history = bowedstring_alloc(BOWEDSTRING_HISTORY);
    x->nut_history = bowedstring_alloc(BOWEDSTRING_HISTORY);
    x->bow_to_bridge_ring = bowedstring_alloc(BOWEDSTRING_RING_SIZE);
    x->bridge_to_bow_ring = bowedstring_alloc(BOWEDSTRING_RING_SIZE);
    x->bow_to_nut_ring = bowedstring_alloc(BOWEDSTRING_RING_SIZE);
    x->nut_to_bow_ring = bowedstring_alloc(BOWEDSTRING_RING_SIZE);
    x->body_state = bowedstring_alloc(BOWEDSTRING_BODY);
    if (!x->bridge_history || !x->nut_history || !x->bow_to_bridge_ring || !x->bridge_to_bow_ring ||
        !x->bow_to_nut_ring || !x->nut_to_bow_ring || !x->body_state) {
        /* refuse the box: the free routine gives back what was taken, then the record goes */
        object_error(NULL, "bowedstring~: out of memory");
        freeobject((t_object *)x);
        return NULL;
    }
    /* every state field starts at 0, the arrays included */
    bowedstring_clear(x);
    x->clear_requests = x->clears_done = 0;
    bowedstring_setdefault(x);
    return x;
}

extern "C" C74_EXPORT void ext_main(void *r)
{
    t_class *c = class_new("bowedstring~", (method)bowedstring_new, (method)bowedstring_free,
                           sizeof(t_bowedstring), NULL, A_GIMME, 0);
    class_addmethod(c, (method)bowedstring_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(c, (method)bowedstring_velocity, "velocity", A_FLOAT, 0);
    class_addmethod(c, (method)bowedstring_length, "length", A_FLOAT, 0);
    class_addmethod(c, (method)bowedstring_pressure, "pressure", A_FLOAT, 0);
    class_addmethod(c, (method)bowedstring_pos, "pos", A_FLOAT, 0);
    class_addmethod(c, (method)bowedstring_outgain, "OutGain", A_FLOAT, 0);
    class_addmethod(c, (method)bowedstring_setdefault, "setDefault", 0);
    class_addmethod(c, (method)bowedstring_clearall, "clearall", 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    bowedstring_class = c;
    object_post(NULL, TILDEKIT_RULE_74);
    object_post(NULL, "bowedstring~: bowed string, digital waveguide with friction bow and body filter");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
    object_post(NULL, "Default: out Gain = 0.5 position = 0.7 length = 0.75 velocity = 0.0 pressure = 0.5");
    object_post(NULL, " ");
}
