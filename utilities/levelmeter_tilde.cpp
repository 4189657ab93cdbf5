/* levelmeter~: RMS level of a signal in decibels. A Hann-weighted mean square is taken
   over windows of `window_size` samples, a new window opening every `real_period`
   samples (windows overlap). Each completed window is reported as a float on a scale
   where a full-scale constant (mean square 1) reads 100 and a mean square of 1e-10 or
   less reads 0. The number is sent from a clock, never from the audio thread.
   Arguments: window size in samples (1024), period in samples (512).
   Inlet 0: the signal to measure.
   Outlet 0: the level, one float per completed window. */
#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>
#include "tildekit.h"
#include <stdint.h>

enum {
    max_overlap = 32,          /* partial-sum slots: the most windows open at once */
    initial_vector_spare = 64, /* zero weights allocated past the window at creation */
};

typedef struct _levelmeter {
    t_pxobject x_obj;
    void *level_outlet;                 /* float outlet */
    t_clock *tick_clock;                /* sends the level from the scheduler */
    double *window;                     /* window_size Hann weights, then alloc_for_vector_size zeros */
    int32_t phase;                      /* samples until the oldest open window is complete */
    int32_t period;                     /* requested distance between outputs, samples */
    int32_t real_period;                /* period rounded up to a multiple of the block size */
    int32_t window_size;                /* analysis window N, samples */
    double result;                      /* weighted mean square of the last completed window */
    double partial_sums[max_overlap];   /* running sums of the open windows, oldest first */
    int32_t alloc_for_vector_size;      /* zero weights that follow the window */
} t_levelmeter;

static t_class *levelmeter_class;

/* ---- DSP core ---- */
/* Periodic Hann window scaled by 1/N: the weights sum to 1, so the weighted sum of
   squares is a mean square. */
static inline double levelmeter_weight(int32_t i, int32_t n)
{
    return (1.0 - cos((double)i * 6.283185308 / (double)n)) / (double)n;
}

/* Mean square to the meter's scale: 100 at 1, 0 at 1e-10 and below. */
static inline double levelmeter_level(double mean_square)
{
    if (mean_square <= 0.0)
        return 0.0;
    double level = 100.0 + 4.3429448190326045 * log(mean_square);
    return level < 0.0 ? 0.0 : level;
}

/* The period rounded up to the next multiple of the block size; a rounding that would
   leave the 32-bit range goes down to the multiple below instead. */
static inline int32_t levelmeter_round_period(int32_t period, long n)
{
    if (n < 1)
        n = 1;
    int64_t p = period, rest = p % n;
    if (rest == 0)
        return (int32_t)p;
    int64_t up = p + n - rest;
    if (up > INT32_MAX)
        up = p - rest > 0 ? p - rest : p;
    return (int32_t)up;
}

/* Bytes for `count` doubles, or 0 when that many cannot be addressed. */
static inline t_ptr_size levelmeter_bytes(int64_t count)
{
    if (count < 1)
        return 1;
    if ((uint64_t)count > (uint64_t)(SIZE_MAX / sizeof(double)))
        return 0;
    return (t_ptr_size)count * sizeof(double);
}

/* After a block of n samples has been added: close the slot after the open ones, count
   down, and when the oldest window is complete, hand it to the clock. */
static inline void levelmeter_advance(t_levelmeter *x, int touched, long n)
{
    if (touched < max_overlap)
        x->partial_sums[touched] = 0.0;
    int64_t phase = (int64_t)x->phase - n;
    if (phase < 0) {
        tk_store(&x->result, x->partial_sums[0]); /* read by the clock, on the scheduler thread */
        int moved = 0;
        for (int k = 1; k < max_overlap && (int64_t)k * x->real_period < x->window_size; k++) {
            x->partial_sums[k - 1] = x->partial_sums[k];
            moved = k;
        }
        x->partial_sums[moved] = 0.0;
        phase = (int64_t)x->real_period - n;
        clock_delay(x->tick_clock, 0);
    }
    x->phase = (int32_t)phase;
}

/* ---- perform ---- */
/* The block is read backwards: its newest sample meets the weight at the window's
   offset, its oldest the weight n - 1 further on (zeros past the window). */
static void levelmeter_perform64(t_object *ob, t_object *dsp64, double **ins, long numins, double **outs,
                                 long numouts, long n, long flags, void *userparam)
{
    t_levelmeter *x = (t_levelmeter *)ob;
    const double *in = ins[0];
    const double *w = x->window;
    const int64_t size = x->window_size;
    const int64_t end = size + x->alloc_for_vector_size; /* weights that exist */
    int j = 0;
    for (; j < max_overlap; j++) {
        int64_t c = (int64_t)x->phase + (int64_t)j * x->real_period;
        if (c >= size)
            break;
        long count = (end - c) < n ? (long)(end - c) : n;
        double sum = x->partial_sums[j];
        for (long i = 0; i < count; i++) {
            double s = in[n - 1 - i];
            sum += w[c + i] * (s * s);
        }
        x->partial_sums[j] = sum;
    }
    levelmeter_advance(x, j, n);
}

/* The legacy path squares in single precision and keeps each running sum in single
   precision, adding every weighted term in double. */
static t_int *levelmeter_perform(t_int *wv)
{
    t_levelmeter *x = (t_levelmeter *)wv[1];
    const float *in = (const float *)wv[2];
    long n = (long)wv[3];
    const double *w = x->window;
    const int64_t size = x->window_size;
    const int64_t end = size + x->alloc_for_vector_size;
    int j = 0;
    for (; j < max_overlap; j++) {
        int64_t c = (int64_t)x->phase + (int64_t)j * x->real_period;
        if (c >= size)
            break;
        long count = (end - c) < n ? (long)(end - c) : n;
        float sum = (float)x->partial_sums[j];
        for (long i = 0; i < count; i++) {
            float s = in[n - 1 - i];
            float sq = s * s;
            sum = (float)((double)sum + w[c + i] * (double)sq);
        }
        x->partial_sums[j] = (double)sum;
    }
    levelmeter_advance(x, j, n);
    return wv + 4;
}

/* ---- DSP compilation ---- */
/* Rounds the period to the block and makes sure the zero spare covers a whole block.
   Returns 0 when the window could not be grown: no perform routine is added then. */
static int levelmeter_prepare(t_levelmeter *x, long n)
{
    x->real_period = levelmeter_round_period(x->period, n);
    if (n > x->alloc_for_vector_size) {
        t_ptr_size old_bytes = levelmeter_bytes((int64_t)x->window_size + x->alloc_for_vector_size);
        t_ptr_size new_bytes = levelmeter_bytes((int64_t)x->window_size + n);
        char *grown = (new_bytes && n <= INT32_MAX) ? sysmem_resizeptr(x->window, new_bytes) : NULL;
        if (!grown) {
            object_post(NULL, "max: resizebytes() failed -- out of memory");
            object_error(NULL, "levelmeter~: out of memory");
            return 0;
        }
        if (new_bytes > old_bytes)
            memset(grown + old_bytes, 0, new_bytes - old_bytes);
        x->window = (double *)grown;
        x->alloc_for_vector_size = (int32_t)n;
    }
    return 1;
}

static void levelmeter_dsp64(t_levelmeter *x, t_object *dsp64, short *count, double samplerate,
                             long maxvectorsize, long flags)
{
    if (levelmeter_prepare(x, maxvectorsize))
        object_method(dsp64, gensym("dsp_add64"), x, levelmeter_perform64, 0, NULL);
}

static void levelmeter_dsp(t_levelmeter *x, t_signal **sp, short *count)
{
    if (levelmeter_prepare(x, sp[0]->s_n))
        dsp_add(levelmeter_perform, 3, x, sp[0]->s_vec, sp[0]->s_n);
}

/* ---- clock ---- */
static void levelmeter_tick(t_levelmeter *x) { outlet_float(x->level_outlet, levelmeter_level(tk_load(&x->result))); }

/* ---- new / free ---- */
/* Also releases a box whose creation stopped half-way: the clock is made just before the
   signal inlet, so without a clock there is no DSP set-up to undo. */
static void levelmeter_free(t_levelmeter *x)
{
    if (x->tick_clock) {
        z_dsp_free((t_pxobject *)x);
        freeobject(x->tick_clock);
        x->tick_clock = NULL;
    }
    if (x->window) {
        sysmem_freeptr(x->window);
        x->window = NULL;
    }
}

static void *levelmeter_new(t_symbol *s, long argc, t_atom *argv)
{
    t_levelmeter *x = (t_levelmeter *)object_alloc(levelmeter_class);
    if (!x)
        return NULL;
    x->tick_clock = NULL;
    x->window = NULL;

    t_atom_long size = 1024, period = 512;
    atom_arg_getlong(&size, 0, argc, argv);
    atom_arg_getlong(&period, 1, argc, argv);
    if (size < 1)
        size = 1024;
    if (size > INT32_MAX)
        size = INT32_MAX;
    if (period < 1)
        period = size / 2;
    if (period < size / 32 + 1)
        period = size / 32 + 1; /* at most 32 windows open at once */
    if (period > INT32_MAX)
        period = INT32_MAX;

    t_ptr_size bytes = levelmeter_bytes((int64_t)size + initial_vector_spare);
    x->window = bytes ? (double *)sysmem_newptr(bytes) : NULL;
    if (!x->window) {
        object_error(NULL, "levelmeter: couldn't allocate buffer");
        freeobject(x);
        return NULL;
    }
    x->phase = 0;
    x->window_size = (int32_t)size;
    x->period = (int32_t)period;
    x->real_period = x->period; /* replaced at the first DSP compile */
    x->result = 0.0;
    for (int k = 0; k < max_overlap; k++)
        x->partial_sums[k] = 0.0;
    for (int32_t i = 0; i < x->window_size; i++)
        x->window[i] = levelmeter_weight(i, x->window_size);
    for (int k = 0; k < initial_vector_spare; k++)
        x->window[x->window_size + k] = 0.0;

    x->tick_clock = clock_new(x, (method)levelmeter_tick);
    if (!x->tick_clock) {
        object_error(NULL, "levelmeter~: out of memory");
        freeobject(x);
        return NULL;
    }
    z_dsp_setup((t_pxobject *)x, 1);
    x->level_outlet = outlet_new((t_object *)x, "float");
    x->alloc_for_vector_size = initial_vector_spare;
    return x;
}

extern "C" C74_EXPORT int main(void)
{
    t_class *c = class_new("levelmeter~", (method)levelmeter_new, (method)levelmeter_free,
                           sizeof(t_levelmeter), NULL, A_GIMME, 0);
    class_addmethod(c, (method)levelmeter_dsp64, "dsp64", A_CANT, 0);
    class_addmethod(c, (method)levelmeter_dsp, "dsp", A_CANT, 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    levelmeter_class = c;
    object_post(NULL, TILDEKIT_RULE_74);
    object_post(NULL, "levelmeter~: Hann-windowed RMS level in dB, overlapping windows");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
    return 0;
}
