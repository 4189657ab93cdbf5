/* noisedoor~: stereo noise gate. The RMS level of the last 400 samples (of each input, or of the
   sidechain) opens one shared gate gain toward 1 above the threshold and closes it toward a floor
   below it, each at a fixed rate; open/shut mode swaps the two.
   Inlet 0: left signal; every message arrives here.
   Inlet 1: right signal.
   Inlet 2: sidechain signal, detected instead of the inputs when connected and `sidechain 1`.
   Outlet 0: left output.  Outlet 1: right output.
   Outlet 2: gate gain (1 for a fully closed gate and during `Bypass`). */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>
#include "tildekit.h"

#define NOISEDOOR_WINDOW 400 /* samples in each RMS window */
#define NOISEDOOR_LEAVES 512 /* leaves of a window's sum tree: the window, then zeros */

/* ---- exact window sums ----
   The sum of squares of a window is kept in a fixed binary tree: node 1 is the root, node k has
   the children 2k and 2k + 1, and leaf LEAVES + i holds the square of window entry i (the 112
   leaves past the window stay 0). Storing a sample changes one leaf, and the nine nodes above it
   are recomputed from their two children. Every node therefore always equals the same fixed
   function of the window's current contents, exactly as a full recomputation would: there is no
   running sum, no error builds up, and two identical windows give identical sums whatever came
   before. A new sample costs nine additions instead of four hundred.
   The test program compiles this section on its own (NOISEDOOR_SUMS_ONLY) to hold it against
   the full 400-term sum. */

/* Stores `square` at leaf `index` and refreshes its ancestors. Addition commutes exactly, so
   the running value can be added to its sibling in either order. */
static inline void door_tree_store(double *tree, int32_t index, double square)
{
    int32_t k = NOISEDOOR_LEAVES + index;
    double v = square;
    tree[k] = v;
    while (k > 1) {
        v = v + tree[k ^ 1];
        k >>= 1;
        tree[k] = v;
    }
}

/* Sum of the squares of all 400 entries. */
static inline double door_tree_sum(const double *tree) { return tree[1]; }

/* Recomputes every node above the leaves first, first + 1, ... (count of them, in ring order,
   wrapping after the last window entry) from its two children, lowest level first. After
   leaves have been written directly, this brings the tree to exactly what storing them one by
   one with door_tree_store would have left: each node is again the sum of its children. */
static inline void door_tree_refresh(double *tree, int32_t first, int32_t count)
{
    if (count <= 0)
        return;
    int32_t ranges[2][2];
    int32_t n_ranges = 1;
    if (count >= NOISEDOOR_WINDOW || first < 0 || first >= NOISEDOOR_WINDOW) {
        ranges[0][0] = 0;
        ranges[0][1] = NOISEDOOR_WINDOW - 1;
    } else if (first + count <= NOISEDOOR_WINDOW) {
        ranges[0][0] = first;
        ranges[0][1] = first + count - 1;
    } else {
        ranges[0][0] = first;
        ranges[0][1] = NOISEDOOR_WINDOW - 1;
        ranges[1][0] = 0;
        ranges[1][1] = first + count - 1 - NOISEDOOR_WINDOW;
        n_ranges = 2;
    }
    for (int32_t r = 0; r < n_ranges; r++) {
        int32_t lo = NOISEDOOR_LEAVES + ranges[r][0], hi = NOISEDOOR_LEAVES + ranges[r][1];
        while (lo > 1) {
            lo >>= 1;
            hi >>= 1;
            double *node = tree + lo;
            const double *child = tree + 2 * lo;
            for (int32_t k = hi - lo; k >= 0; k--, node++, child += 2)
                *node = child[0] + child[1];
        }
    }
}

/* Next write position of a ring of `length` entries. */
static inline int32_t door_ring_next(int32_t position, int32_t length)
{
    return (position >= 0 && position < length - 1) ? position + 1 : 0;
}

#ifndef NOISEDOOR_SUMS_ONLY
/* ---- deciding against the threshold ----
   The gate asks whether the RMS of a window, sqrt(S / 400), is above the threshold, where S is
   the sum of the window's 400 squares added one by one from entry 0 to entry 399 (the plain
   sum: its rounding decides where the level sits right at the threshold, and a constant signal
   at the threshold must get the same answer whatever came before). Adding 400 terms for every
   sample is slow, so the perform routine writes each new square into its leaf of the tree but
   leaves the nodes above it alone, and keeps a running sum (an exact tree sum, then plus each
   new square minus the square it replaces); the running sum answers whenever it lies so far
   from the threshold that S cannot be on the other side of it.
   How far is far enough: `largest` is at least every sum the window has had since the running
   sum was last set from the tree (whatever leaves the window only lowers the sum, so the tree
   sum then plus the squares since will do). The tree sum is within 9 roundings of the exact sum
   of its leaves, S within 399, and each step of the running sum (the change of one leaf, then
   its addition) adds at most two roundings of a value no larger than `largest`, so after k
   steps the running sum and S differ by at most (408 + 2k) ulp of it. The band used is four
   times (418 + 2k) ulp, plus a relative 1e-12 for 400 times the threshold's square standing in
   for the division and the root.
   Inside the band, or when anything is not finite, S itself decides; the nodes above the
   leaves written since the last refresh are recomputed and the running sum starts again from
   the tree sum. Every DOOR_RESTART samples it starts again anyway, so the band stays narrow. */
#define DOOR_EPSILON 1.1102230246251565e-16 /* 2^-53, the relative rounding of a double */
#define DOOR_RESTART 65536

/* What the perform routine keeps of a window's deciding state from one block to the next. */
typedef struct _door_filter {
    double running;      /* running sum of the squares */
    double largest;      /* at least every sum the window has had since the running sum was set */
    int32_t steps;       /* samples since then (counting stops at DOOR_RESTART) */
    int32_t dirty_first; /* first leaf written since the tree was last refreshed */
    int32_t dirty_count; /* leaves written since then (counting stops at the window length) */
} t_door_filter;

/* A window's deciding state during one block. */
typedef struct _door_lane {
    double running;
    double largest;      /* the bound of the block: `largest` plus the block's squares */
    double above;        /* a running sum beyond this is certainly above the threshold */
    double below;        /* one short of this is certainly below it */
    int32_t dirty_first;
    long dirty_before;   /* leaves left dirty by earlier blocks or before the last exact sum */
    long dirty_since;    /* sample of this block from which every written leaf is dirty */
    long restarted;      /* sample of this block after which the running sum was last set, or -1 */
    double running_at_restart; /* the tree sum it was set to */
    int32_t steps;       /* steps before this block since the running sum was set */
} t_door_lane;

/* Sum of the squares of a block's samples, an upper bound's share (four partial sums: the order
   does not matter to a bound with room for rounding). */
static inline double door_squares(const double *v, long n)
{
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    long i = 0;
    for (; i + 4 <= n; i += 4) {
        s0 += v[i] * v[i];
        s1 += v[i + 1] * v[i + 1];
        s2 += v[i + 2] * v[i + 2];
        s3 += v[i + 3] * v[i + 3];
    }
    for (; i < n; i++)
        s0 += v[i] * v[i];
    return (s0 + s1) + (s2 + s3);
}

/* Writes a sample at `position` of the ring and its square into the tree's leaf, leaving the
   nodes above for a later refresh; returns how much the leaf changed. */
static inline double door_put(double *ring, double *tree, int32_t position, double v)
{
    ring[position] = v;
    double *leaf = tree + NOISEDOOR_LEAVES + position;
    const double square = v * v;
    const double change = square - *leaf;
    *leaf = square;
    return change;
}

/* Sets the running sum of a window whose last written position is `position` from its tree,
   refreshing the tree first. */
static inline void door_filter_restart(t_door_filter *f, double *tree, int32_t position)
{
    door_tree_refresh(tree, f->dirty_first, f->dirty_count);
    f->dirty_first = door_ring_next(position, NOISEDOOR_WINDOW);
    f->dirty_count = 0;
    f->running = door_tree_sum(tree);
    f->largest = f->running;
    f->steps = 0;
}

/* Takes up a window for a block of n samples fed from `feed`; `cutoff` is 400 times the
   threshold's square. */
static inline void door_lane_begin(t_door_lane *w, t_door_filter *f, double *tree, int32_t position,
                                   const double *feed, long n, double cutoff)
{
    if (f->steps >= DOOR_RESTART)
        door_filter_restart(f, tree, position);
    w->running = f->running;
    w->largest = f->largest + door_squares(feed, n);
    const double slack = 4.0 * (418.0 + 2.0 * ((double)f->steps + (double)n)) * DOOR_EPSILON;
    /* a NaN or an infinity makes the band NaN or infinite: the tree then decides every sample */
    const double band = slack * (w->largest * (1.0 + 1e-9) + cutoff) + 1e-12 * cutoff;
    w->above = cutoff + band;
    w->below = cutoff - band;
    w->dirty_first = f->dirty_first;
    w->dirty_before = f->dirty_count;
    w->dirty_since = 0;
    w->restarted = -1;
    w->steps = f->steps;
}

/* The tree sum after sample i (written at `position`), with the nodes above the leaves written
   since the last refresh recomputed; the running sum starts again from it. */
static inline double door_lane_exact(t_door_lane *w, double *tree, int32_t position, long i)
{
    const long count = w->dirty_before + (i + 1 - w->dirty_since);
    door_tree_refresh(tree, w->dirty_first, count < NOISEDOOR_WINDOW ? (int32_t)count : NOISEDOOR_WINDOW);
    w->dirty_first = door_ring_next(position, NOISEDOOR_WINDOW);
    w->dirty_before = 0;
    w->dirty_since = i + 1;
    w->restarted = i + 1;
    w->running = door_tree_sum(tree);
    w->running_at_restart = w->running;
    return w->running;
}

/* Hands a window's deciding state back after a block of n samples. */
static inline void door_lane_end(const t_door_lane *w, t_door_filter *f, const double *feed, long n)
{
    const long dirty = w->dirty_before + (n - w->dirty_since);
    f->running = w->running;
    f->dirty_first = w->dirty_first;
    f->dirty_count = dirty < NOISEDOOR_WINDOW ? (int32_t)dirty : NOISEDOOR_WINDOW;
    long steps;
    if (w->restarted >= 0) {
        /* set from the tree during the block: the bound starts again from there */
        f->largest = w->running_at_restart + door_squares(feed + w->restarted, n - w->restarted);
        steps = n - w->restarted;
    } else {
        f->largest = w->largest;
        steps = (long)w->steps + n;
    }
    f->steps = steps < DOOR_RESTART ? (int32_t)steps : DOOR_RESTART;
}

/* Whether the RMS of the window whose squares are the tree's leaves is above `threshold`: the
   400 squares added in window order, from entry 0, divided by 400, the root taken. A NaN level
   is not above; an infinite one is. */
static inline int door_window_above(const double *tree, double threshold)
{
    const double *leaf = tree + NOISEDOOR_LEAVES;
    double sum = 0.0;
    for (int32_t k = 0; k < NOISEDOOR_WINDOW; k++)
        sum += leaf[k];
    return sqrt(sum / (double)NOISEDOOR_WINDOW) > threshold;
}

typedef struct _noisedoor {
    t_pxobject x_obj;
    double sample_rate;          /* Hz */
    double attack_ms;            /* 0.1 .. 1000 ms for the gain to open from 0 to 1 */
    double release_ms;           /* 0.1 .. 3000 ms for the gain to close from 1 to 0 */
    double threshold_db;         /* -60 .. 0 dB RMS */
    double makeup_db;            /* -30 .. 0 dB output gain */
    double gate_close_db;        /* -50 .. 0 dB floor of the gate gain; -50 closes fully */
    double sidechain_enabled;    /* `sidechain`: 0 or 1 */
    double open_shut;            /* `openshut`: 0 or 1 */
    double *rms_window_a;        /* last 400 left (or sidechain) samples */
    double *rms_window_b;        /* last 400 right samples */
    double gate_gain;            /* 0 .. 1 */
    int32_t window_a_position;   /* last written index of rms_window_a */
    int32_t window_b_position;   /* last written index of rms_window_b */
    int16_t sidechain_connected; /* inlet 2 carries a signal (from the last DSP compilation) */
    int32_t bypass;              /* `Bypass`: 0 or 1 */
    double *square_tree_a;       /* sum tree of the squares of rms_window_a (2 x LEAVES nodes) */
    double *square_tree_b;       /* the same for rms_window_b */
    t_door_filter filter_a;      /* deciding state of square_tree_a (see "deciding against the threshold") */
    t_door_filter filter_b;      /* the same for square_tree_b */
    /* linear factors of the last dB values seen by the perform routine, taken again only when
       a value changes: an exponential per block is a sizeable share of a short block */
    double cached_threshold_db, cached_threshold;
    double cached_makeup_db, cached_makeup;
    double cached_gate_close_db, cached_floor;
    /* `reset` only counts its requests; the perform routine, which alone touches the windows,
       the sums and the gate gain, clears them at the start of its next block. A message may
       arrive while a block is being computed, and clearing from there would leave the block's
       own copies of the sums and positions to be written back over an empty window. */
    uint32_t reset_requests;     /* `reset` messages received (wraps) */
    uint32_t resets_done;        /* requests acted on */
} t_noisedoor;

static t_class *noisedoor_class;

/* ---- DSP core ---- */

/* One step of the gate gain g toward open (1) or toward the floor f. The steps are positive
   (a rate and times that are positive) and g stays within [f, 1], so plain comparisons give the
   results of fmin/fmax without their calls. */
static inline double door_open(double g, double step)
{
    const double v = g + step;
    return v < 1.0 ? v : 1.0;
}
static inline double door_close(double g, double step, double floor_gain)
{
    const double v = g - step;
    return v > floor_gain ? v : floor_gain;
}

/* Closes the gate and empties both windows, their sums and their deciding state: a fresh box's
   state. Called by the perform routine and by the new routine, never from a message. */
static void noisedoor_clear(t_noisedoor *x)
{
    x->gate_gain = 0.0;
    x->window_a_position = 0;
    x->window_b_position = 0;
    memset(x->rms_window_a, 0, NOISEDOOR_WINDOW * sizeof(double));
    memset(x->rms_window_b, 0, NOISEDOOR_WINDOW * sizeof(double));
    /* zero windows: every node of both trees is 0, and so are the running sums */
    memset(x->square_tree_a, 0, 2 * NOISEDOOR_LEAVES * sizeof(double));
    memset(x->square_tree_b, 0, 2 * NOISEDOOR_LEAVES * sizeof(double));
    t_door_filter *filters[2] = {&x->filter_a, &x->filter_b};
    for (int k = 0; k < 2; k++) {
        filters[k]->dirty_count = 0;
        filters[k]->dirty_first = door_ring_next(0, NOISEDOOR_WINDOW);
        filters[k]->running = 0.0;
        filters[k]->largest = 0.0;
        filters[k]->steps = 0;
    }
}

/* ---- perform ---- */
static void noisedoor_perform64(t_object *ob, t_object *dsp64, double **ins, long numins, double **outs,
                                long numouts, long n, long flags, void *userparam)
{
    t_noisedoor *x = (t_noisedoor *)ob;
    const double *in_l = ins[0];
    const double *in_r = ins[1];
    const double *in_s = ins[2];
    double *out_l = outs[0];
    double *out_r = outs[1];
    double *out_g = outs[2];

    const uint32_t requested = tk_load_count(&x->reset_requests);
    if (requested != x->resets_done) {
        noisedoor_clear(x);
        x->resets_done = requested;
    }

    if (tk_load_flag(&x->bypass)) {
        for (long i = 0; i < n; i++) {
            out_l[i] = in_l[i];
            out_r[i] = in_r[i];
            out_g[i] = 1.0;
        }
        return;
    }

    const double ln10 = log(10.0);
    /* What the messages set is read once per block (tk_load): a message may change it while the
       block runs, and the block must use one value throughout. */
    const double w_open = 1000.0 / (x->sample_rate * tk_load(&x->attack_ms));
    const double w_close = 1000.0 / (x->sample_rate * tk_load(&x->release_ms));
    /* floor, threshold and make-up are read once per block (a message arriving during a block
       takes effect at the next one), and converted only when they change */
    const double gate_close_db = tk_load(&x->gate_close_db);
    if (memcmp(&gate_close_db, &x->cached_gate_close_db, sizeof(double)) != 0) {
        x->cached_gate_close_db = gate_close_db;
        x->cached_floor = gate_close_db == -50.0 ? 0.0 : db_to_linear(gate_close_db, ln10);
    }
    const double threshold_db = tk_load(&x->threshold_db);
    if (memcmp(&threshold_db, &x->cached_threshold_db, sizeof(double)) != 0) {
        x->cached_threshold_db = threshold_db;
        x->cached_threshold = db_to_linear(threshold_db, ln10);
    }
    const double makeup_db = tk_load(&x->makeup_db);
    if (memcmp(&makeup_db, &x->cached_makeup_db, sizeof(double)) != 0) {
        x->cached_makeup_db = makeup_db;
        x->cached_makeup = db_to_linear(makeup_db, ln10);
    }
    const double floor_gain = x->cached_floor;
    const double threshold = x->cached_threshold;
    const double makeup = x->cached_makeup;
    const int use_sidechain = x->sidechain_connected != 0 && tk_load(&x->sidechain_enabled) >= 0.5;
    const int inverted = tk_load(&x->open_shut) >= 0.5;
    /* the two steps of each direction, whichever the mode */
    const double rise = inverted ? w_close : w_open;
    const double fall = inverted ? w_open : w_close;
    double g = x->gate_gain;

    double *ring_a = x->rms_window_a, *ring_b = x->rms_window_b;
    double *tree_a = x->square_tree_a, *tree_b = x->square_tree_b;
    int32_t pa = x->window_a_position, pb = x->window_b_position;
    const double *feed_a = use_sidechain ? in_s : in_l;
    const double cutoff = (double)NOISEDOOR_WINDOW * (threshold * threshold);
    t_door_lane a, b;
    door_lane_begin(&a, &x->filter_a, tree_a, pa, feed_a, n, cutoff);
    if (!use_sidechain)
        door_lane_begin(&b, &x->filter_b, tree_b, pb, in_r, n, cutoff);
    else
        memset(&b, 0, sizeof b); /* the right window stands still */
    double run_a = a.running, run_b = use_sidechain ? 0.0 : b.running;
    const double above_a = a.above, below_a = a.below;
    const double above_b = use_sidechain ? 0.0 : b.above, below_b = use_sidechain ? 0.0 : b.below;

    /* in runs that end where a ring wraps, so that positions simply count up inside a run */
    for (long i = 0; i < n;) {
        const int32_t first_a = door_ring_next(pa, NOISEDOOR_WINDOW);
        const int32_t first_b = door_ring_next(pb, NOISEDOOR_WINDOW);
        long end = n - i < NOISEDOOR_WINDOW - first_a ? n : i + (NOISEDOOR_WINDOW - first_a);
        if (!use_sidechain && end - i > NOISEDOOR_WINDOW - first_b)
            end = i + (NOISEDOOR_WINDOW - first_b);
        const long offset_a = first_a - i, offset_b = first_b - i;

        for (; i < end; i++) {
            const double l = in_l[i];
            const double r = in_r[i];
            int above;
            if (use_sidechain) {
                pa = (int32_t)(i + offset_a);
                run_a = run_a + door_put(ring_a, tree_a, pa, in_s[i]);
                if (run_a > above_a) {
                    above = 1;
                } else if (run_a < below_a) {
                    above = 0;
                } else {
                    run_a = door_lane_exact(&a, tree_a, pa, i);
                    above = door_window_above(tree_a, threshold);
                }
            } else {
                pa = (int32_t)(i + offset_a);
                pb = (int32_t)(i + offset_b);
                run_a = run_a + door_put(ring_a, tree_a, pa, l);
                run_b = run_b + door_put(ring_b, tree_b, pb, r);
                /* the larger of the two levels is above the threshold when either is (a NaN
                   level is not above, so it leaves the other window in charge) */
                if (run_a > above_a || run_b > above_b) {
                    above = 1;
                } else if (run_a < below_a && run_b < below_b) {
                    above = 0;
                } else {
                    const int open_a = !(run_a < below_a), open_b = !(run_b < below_b);
                    run_a = door_lane_exact(&a, tree_a, pa, i);
                    run_b = door_lane_exact(&b, tree_b, pb, i);
                    above = (open_a && door_window_above(tree_a, threshold)) ||
                            (open_b && door_window_above(tree_b, threshold));
                }
            }

            /* normal mode opens on a loud window, open/shut mode closes on it */
            if (above != inverted)
                g = door_open(g, rise);
            else
                g = door_close(g, fall, floor_gain);

            out_l[i] = makeup * g * l;
            out_r[i] = makeup * g * r;
            out_g[i] = g > 0.0 ? g : 1.0;
        }
    }

    a.running = run_a;
    door_lane_end(&a, &x->filter_a, feed_a, n);
    if (!use_sidechain) {
        b.running = run_b;
        door_lane_end(&b, &x->filter_b, in_r, n);
    }
    x->window_a_position = pa;
    x->window_b_position = pb;
    x->gate_gain = g;
}

/* ---- DSP compilation ---- */
static void noisedoor_dsp64(t_noisedoor *x, t_object *dsp64, short *count, double samplerate,
                            long maxvectorsize, long flags)
{
    if (samplerate != x->sample_rate)
        x->sample_rate = samplerate;
    x->sidechain_connected = count[2];
    object_method(dsp64, gensym("dsp_add64"), x, noisedoor_perform64, 0, NULL);
}

/* ---- messages ---- */
static void noisedoor_attack(t_noisedoor *x, double v)
{
    tk_store(&x->attack_ms, clamp_posted(v, 0.1, 1000.0, "Maximum Attack Time: 1000 ms", "Minimum Atack Time: 0.1 ms"));
}

static void noisedoor_release(t_noisedoor *x, double v)
{
    tk_store(&x->release_ms,
             clamp_posted(v, 0.1, 3000.0, "Maximum Release Time: 3000 ms", "Minimum Release Time: 0.1 ms"));
}

static void noisedoor_thresh(t_noisedoor *x, double v)
{
    tk_store(&x->threshold_db,
             clamp_posted(v, -60.0, 0.0, "Maximum Threshold Value: 0 db", "Minimum Threshold Value: -60.0"));
}

static void noisedoor_makeup(t_noisedoor *x, double v)
{
    tk_store(&x->makeup_db, clamp_posted(v, -30.0, 0.0, "Maximum Makeup Value: 0 db", "Minimum Makeup Value: -30.0"));
}

static void noisedoor_gateclose(t_noisedoor *x, double v)
{
    tk_store(&x->gate_close_db,
             clamp_posted(v, -50.0, 0.0, "Maximum Gateclose Value: 0 db", "Minimum Gateclose Value: -50.0"));
}

static void noisedoor_sidechain(t_noisedoor *x, t_atom_long v)
{
    if (v)
        object_post(NULL, "Sidechain is ON");
    tk_store(&x->sidechain_enabled, v ? 1.0 : 0.0);
}

static void noisedoor_openshut(t_noisedoor *x, t_atom_long v)
{
    if (v)
        object_post(NULL, "Open/Shut Mode is ON");
    tk_store(&x->open_shut, v ? 1.0 : 0.0);
}

static void noisedoor_bypass(t_noisedoor *x, t_atom_long v)
{
    int32_t on = 0;
    if (v) {
        object_post(NULL, "Bypass is ON");
        on = 1;
    }
    tk_store_i32(&x->bypass, on);
}

/* Closes the gate and forgets the measured level: at the next block (see reset_requests). */
static void noisedoor_reset(t_noisedoor *x)
{
    tk_count_up(&x->reset_requests);
}

/* ---- new / free ---- */
static void noisedoor_free(t_noisedoor *x)
{
    z_dsp_free((t_pxobject *)x);
    if (x->rms_window_a)
        sysmem_freeptr(x->rms_window_a);
    if (x->rms_window_b)
        sysmem_freeptr(x->rms_window_b);
    if (x->square_tree_a)
        sysmem_freeptr(x->square_tree_a);
    if (x->square_tree_b)
        sysmem_freeptr(x->square_tree_b);
}

static void *noisedoor_new(void)
{
    t_noisedoor *x = (t_noisedoor *)object_alloc(noisedoor_class);
    if (!x)
        return NULL;
    z_dsp_setup((t_pxobject *)x, 3);
    outlet_new((t_object *)x, "signal"); /* gate gain (rightmost) */
    outlet_new((t_object *)x, "signal"); /* right */
    outlet_new((t_object *)x, "signal"); /* left */
    x->sample_rate = sys_getsr();
    x->attack_ms = 50.0;
    x->release_ms = 100.0;
    x->threshold_db = -60.0;
    x->makeup_db = 0.0;
    x->gate_close_db = -50.0;
    x->sidechain_enabled = 0.0;
    x->open_shut = 0.0;
    x->sidechain_connected = 0;
    x->bypass = 0;
    /* no dB value has been converted yet: the first block converts them all */
    x->cached_threshold_db = x->cached_makeup_db = x->cached_gate_close_db = NAN;
    x->rms_window_a = (double *)sysmem_newptr(NOISEDOOR_WINDOW * sizeof(double));
    x->rms_window_b = (double *)sysmem_newptr(NOISEDOOR_WINDOW * sizeof(double));
    x->square_tree_a = (double *)sysmem_newptr(2 * NOISEDOOR_LEAVES * sizeof(double));
    x->square_tree_b = (double *)sysmem_newptr(2 * NOISEDOOR_LEAVES * sizeof(double));
    if (!x->rms_window_a || !x->rms_window_b || !x->square_tree_a || !x->square_tree_b) {
        object_error(NULL, "noisedoor~: out of memory"); /* the text names the object already */
        freeobject((t_object *)x); /* runs the free routine, which releases what was allocated */
        return NULL;
    }
    /* separate output buffers: an output never overwrites an input it shares a buffer with */
    x->x_obj.z_misc |= Z_NO_INPLACE;
    x->reset_requests = x->resets_done = 0;
    noisedoor_clear(x);
    return x;
}

extern "C" C74_EXPORT void ext_main(void *r)
{
    t_class *c = class_new("noisedoor~", (method)noisedoor_new, (method)noisedoor_free, sizeof(t_noisedoor),
                           NULL, 0);
    class_addmethod(c, (method)noisedoor_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(c, (method)noisedoor_attack, "attack", A_FLOAT, 0);
    class_addmethod(c, (method)noisedoor_release, "release", A_FLOAT, 0);
    class_addmethod(c, (method)noisedoor_thresh, "thresh", A_FLOAT, 0);
    class_addmethod(c, (method)noisedoor_makeup, "makeup", A_FLOAT, 0);
    class_addmethod(c, (method)noisedoor_gateclose, "gateclose", A_FLOAT, 0);
    class_addmethod(c, (method)noisedoor_sidechain, "sidechain", A_LONG, 0);
    class_addmethod(c, (method)noisedoor_openshut, "openshut", A_LONG, 0);
    class_addmethod(c, (method)noisedoor_bypass, "Bypass", A_LONG, 0);
    class_addmethod(c, (method)noisedoor_reset, "reset", 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    noisedoor_class = c;
    object_post(NULL, TILDEKIT_RULE_66);
    object_post(NULL, "noisedoor~: stereo noise gate on a 400-sample RMS level, linear opening and closing");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
}
#endif /* NOISEDOOR_SUMS_ONLY */
