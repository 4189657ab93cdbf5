/* calibrator: conditioning of sensor readings. Normally each reading is smoothed by a
   one-pole exponential smoother, y = (1 - s) v + s y[n-1], and sent. A bang starts a
   calibration run of `interval_ms` (5000 ms): during the run readings are not smoothed;
   their running minimum and maximum are sent after every reading, and a bang marks the
   start and the end of the run.
   Arguments: run length in ms (5000, at least 5), smoothing factor s (0.9, 0 to 0.99).
   Inlet 0: readings (int, float), bang, interval, smooth.
   Inlet 1: minimum start value. Inlet 2: maximum start value.
   Outlet 0: smoothed reading. Outlet 1: running minimum. Outlet 2: running maximum.
   Outlet 3: bang at the start and the end of a run. */
#include <ext.h>
#include <ext_obex.h>
#include "tildekit.h"

typedef struct _calibrator {
    t_object x_obj;
    double min_start;          /* the running minimum starts here at each run (inlet 1) */
    double max_start;          /* the running maximum starts here at each run (inlet 2) */
    double running_min;        /* smallest reading of the current run, or min_start */
    double running_max;        /* largest reading of the current run, or max_start */
    void *smoothed_outlet;     /* outlet 0 */
    void *min_outlet;          /* outlet 1 */
    void *max_outlet;          /* outlet 2 */
    void *bang_outlet;         /* outlet 3 */
    double smooth_state;       /* smooth times the previous smoothed output */
    double input_weight;       /* 1 - smooth */
    double smooth;             /* smoothing factor, 0 to 0.99 */
    int32_t tick_count;        /* clock firings since the last bang */
    int16_t calibrating;       /* non-zero while a run is in progress */
    t_clock *calibration_clock; /* starts and ends a run */
    double interval_ms;        /* run length, ms, at least 5 */
} t_calibrator;

static t_class *calibrator_class;

static const double calibrator_default_interval = 5000.0;
static const double calibrator_min_interval = 5.0;
static const double calibrator_default_smooth = 0.9;
static const double calibrator_max_smooth = 0.99;

/* ---- checks ---- */
/* A run length must be a finite number of ms, 5 or more; NaN and infinities are
   refused like any value below the minimum. */
static inline int calibrator_interval_ok(double ms)
{
    return isfinite(ms) && ms >= calibrator_min_interval;
}

/* The upper limit is compared as the host's float atoms hold it: in the 32-bit build a
   typed 0.99 arrives rounded to single precision, a hair above 0.99, and must still be
   accepted. False for NaN. */
static inline int calibrator_smooth_ok(double s)
{
    return s >= 0.0 && s <= (double)(t_atom_float)calibrator_max_smooth;
}

/* y truncated toward zero, saturated to the host's integer range. */
static inline t_atom_long calibrator_truncate(double y)
{
    const int bits = (int)(sizeof(t_atom_long) * 8);
    const double limit = ldexp(1.0, bits - 1);
    const t_atom_long largest = (t_atom_long)(((uint64_t)1 << (bits - 1)) - 1);
    if (y != y)
        return 0;
    if (y >= limit)
        return largest;
    if (y <= -limit)
        return -largest - 1;
    return (t_atom_long)y;
}

/* ---- readings ---- */
/* Returns 1 when the reading was smoothed into *y (and is to be sent), 0 otherwise. */
static int calibrator_reading(t_calibrator *x, double v, double *y)
{
    if (x->calibrating) {
        /* a non-finite reading must not become an extreme; the extremes are still sent */
        if (isfinite(v)) {
            if (v > x->running_max)
                x->running_max = v;
            if (v < x->running_min)
                x->running_min = v;
        }
        outlet_float(x->min_outlet, x->running_min);
        outlet_float(x->max_outlet, x->running_max);
        return 0;
    }
    /* a NaN or infinite reading would stay in the smoother for ever: it is ignored */
    if (!isfinite(v))
        return 0;
    *y = v * x->input_weight + x->smooth_state;
    x->smooth_state = *y * x->smooth;
    return 1;
}

/* ---- clock ---- */
/* The run's state is settled before the bang leaves: a patch that answers the end bang
   with a new `bang` starts a full run, and readings it sends are smoothed again. */
static void calibrator_tick(t_calibrator *x)
{
    if (x->tick_count == 1) { /* second firing: the run is over */
        x->calibrating = 0;
        clock_unset(x->calibration_clock);
        x->running_min = x->min_start;
        x->running_max = x->max_start;
    } else {
        clock_fdelay(x->calibration_clock, x->interval_ms);
    }
    if (x->tick_count < INT32_MAX)
        x->tick_count++;
    outlet_bang(x->bang_outlet);
}

/* ---- messages ---- */
static void calibrator_bang(t_calibrator *x)
{
    clock_unset(x->calibration_clock);
    x->calibrating = 1;
    x->running_min = x->min_start;
    x->running_max = x->max_start;
    x->tick_count = 0;
    outlet_int(x->min_outlet, 0);
    outlet_int(x->max_outlet, 0);
    clock_fdelay(x->calibration_clock, 0.0);
}

static void calibrator_int(t_calibrator *x, t_atom_long n)
{
    double y;
    if (calibrator_reading(x, (double)n, &y))
        outlet_int(x->smoothed_outlet, calibrator_truncate(y));
}

static void calibrator_set_min(t_calibrator *x, double v)
{
    x->min_start = v;
    x->running_min = v;
}

static void calibrator_set_max(t_calibrator *x, double v)
{
    x->max_start = v;
    x->running_max = v;
}

static void calibrator_in1(t_calibrator *x, t_atom_long n) { calibrator_set_min(x, (double)n); }

static void calibrator_in2(t_calibrator *x, t_atom_long n) { calibrator_set_max(x, (double)n); }

static void calibrator_float(t_calibrator *x, double v)
{
    double y;
    if (calibrator_reading(x, v, &y))
        outlet_float(x->smoothed_outlet, y);
}

static void calibrator_ft1(t_calibrator *x, double v) { calibrator_set_min(x, v); }

static void calibrator_ft2(t_calibrator *x, double v) { calibrator_set_max(x, v); }

static void calibrator_interval_float(t_calibrator *x, double ms)
{
    if (calibrator_interval_ok(ms)) {
        x->interval_ms = ms;
    } else {
        object_error(NULL, "Error!Default Calibration Time: 5000 ms");
        x->interval_ms = calibrator_default_interval;
    }
}

static void calibrator_interval_long(t_calibrator *x, t_atom_long ms)
{
    if (ms >= 5) {
        x->interval_ms = (double)ms;
    } else {
        object_error(NULL, "Error!Default Calibration Time: 5000 ms");
        x->interval_ms = calibrator_default_interval;
    }
}

static void calibrator_smooth(t_calibrator *x, double s)
{
    if (!calibrator_smooth_ok(s)) {
        object_error(NULL, "Error!Default Smooth Value: 0.9");
        s = calibrator_default_smooth;
    }
    x->smooth = s;
    x->input_weight = 1.0 - s;
}

static void calibrator_inletinfo_none(t_calibrator *x, void *b, long index, char *t) {}

static const char *const calibrator_inlet_text[] = {
    "Sensor Value and calibrator starter(bang)",
    "Minimum value(Default:<1023)",
    "Maximum value(Default:>0)",
};

static const char *const calibrator_outlet_text[] = {
    "Smoothed Sensor Value",
    "Minimum value",
    "Maximum value",
    "Bang at the beginning and end of calibration.Default interval:5000 ms",
};

static void calibrator_assist(t_calibrator *x, void *b, long io, long index, char *s)
{
    if (io == ASSIST_OUTLET) {
        if (index >= 0 && index < 4)
            sprintf(s, "%s", calibrator_outlet_text[index]);
    } else {
        if (index >= 0 && index < 3)
            sprintf(s, "%s", calibrator_inlet_text[index]);
    }
}

/* ---- new / free ---- */
static void calibrator_free(t_calibrator *x)
{
    if (x->calibration_clock) {
        freeobject(x->calibration_clock);
        x->calibration_clock = NULL;
    }
}

static void *calibrator_new(t_symbol *s, long argc, t_atom *argv)
{
    t_calibrator *x = (t_calibrator *)object_alloc(calibrator_class);
    if (!x)
        return NULL;
    x->calibration_clock = NULL;
    x->min_start = 1023.0;
    x->max_start = 0.0;
    x->running_min = x->min_start;
    x->running_max = x->max_start;
    x->smooth_state = 0.0;
    x->tick_count = 0;
    x->calibrating = 0;

    x->interval_ms = calibrator_default_interval;
    atom_arg_getdouble(&x->interval_ms, 0, argc, argv);
    if (!calibrator_interval_ok(x->interval_ms)) {
        object_error(NULL, "Error!Default calibration time: 5000 ms");
        x->interval_ms = calibrator_default_interval;
    }
    x->smooth = calibrator_default_smooth;
    atom_arg_getdouble(&x->smooth, 1, argc, argv);
    if (!calibrator_smooth_ok(x->smooth)) {
        object_error(NULL, "Error!Default value: 0.9");
        x->smooth = calibrator_default_smooth;
    }
    x->input_weight = 1.0 - x->smooth;

    /* inlets and outlets are made right to left */
    floatin(x, 2);
    floatin(x, 1);
    x->bang_outlet = bangout(x);
    x->max_outlet = outlet_new(x, NULL);
    x->min_outlet = outlet_new(x, NULL);
    x->smoothed_outlet = outlet_new(x, NULL);
    x->calibration_clock = clock_new(x, (method)calibrator_tick);
    if (!x->calibration_clock) {
        object_error(NULL, "calibrator: out of memory");
        freeobject(x);
        return NULL;
    }
    return x;
}

extern "C" C74_EXPORT int main(void)
{
    t_class *c = class_new("Calibrator", (method)calibrator_new, (method)calibrator_free, sizeof(t_calibrator),
                           NULL, A_GIMME, 0);
    class_addmethod(c, (method)calibrator_bang, "bang", 0);
    class_addmethod(c, (method)calibrator_int, "int", A_CANT, 0);
    class_addmethod(c, (method)calibrator_in1, "in1", A_CANT, 0);
    class_addmethod(c, (method)calibrator_in2, "in2", A_CANT, 0);
    class_addmethod(c, (method)calibrator_float, "float", A_CANT, 0);
    class_addmethod(c, (method)calibrator_ft1, "ft1", A_CANT, 0);
    class_addmethod(c, (method)calibrator_ft2, "ft2", A_CANT, 0);
    class_addmethod(c, (method)calibrator_interval_float, "interval", A_FLOAT, 0);
    class_addmethod(c, (method)calibrator_interval_long, "interval", A_LONG, 0);
    class_addmethod(c, (method)calibrator_smooth, "smooth", A_FLOAT, 0);
    class_addmethod(c, (method)calibrator_inletinfo_none, "inletinfo", A_CANT, 0);
    class_addmethod(c, (method)stdinletinfo, "inletinfo", A_CANT, 0);
    class_addmethod(c, (method)calibrator_assist, "assist", A_CANT, 0);
    class_register(gensym("box"), c);
    calibrator_class = c;
    object_post(NULL, "calibrator: one-pole smoothing of sensor readings, range learnt over a timed run");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
    object_post(NULL, "Default calibration time : 5000 ms");
    object_post(NULL, "Default smooth value: 0.9");
    return 0;
}
