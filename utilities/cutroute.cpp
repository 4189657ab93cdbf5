/* cutroute: routes numbers by a threshold. A number at the left inlet leaves by the left
   outlet when it is below the threshold, by the right outlet otherwise (equal and NaN go
   right). A number at the right inlet sets the threshold and sends the last left-inlet
   number through the router again. Every output is a float.
   Argument: the threshold (0).
   Inlet 0: numbers to route. Inlet 1: the threshold.
   Outlet 0: numbers below the threshold. Outlet 1: the others. */
#include <ext.h>
#include <ext_obex.h>
#include "tildekit.h"

typedef struct _cutroute {
    t_object x_obj;
    void *low_outlet;  /* left outlet: below the threshold */
    void *high_outlet; /* right outlet: at or above the threshold, and NaN */
    double threshold;  /* the control value */
    double last_input; /* last number received at the left inlet */
} t_cutroute;

static t_class *cutroute_class;

/* ---- routing ---- */
static void cutroute_send(t_cutroute *x, double v)
{
    if (v < x->threshold)
        outlet_float(x->low_outlet, v);
    else
        outlet_float(x->high_outlet, v);
}

/* ---- messages ---- */
static void cutroute_float(t_cutroute *x, double v)
{
    x->last_input = v;
    cutroute_send(x, v);
}

static void cutroute_int(t_cutroute *x, t_atom_long n) { cutroute_float(x, (double)n); }

static void cutroute_ft1(t_cutroute *x, double v)
{
    x->threshold = v;
    cutroute_send(x, x->last_input);
}

static void cutroute_int1(t_cutroute *x, t_atom_long n) { cutroute_ft1(x, (double)n); }

static const char *const cutroute_inlet_text[] = {
    "If the float the left inlet is less than the control value, it passes at the left inlet. If it is "
    "greater than or equal to the control value it passes at the right inlet.",
    "A float to the right inlet sets the control value",
};

static const char *const cutroute_outlet_text[] = {
    "Incoming values (to the left inlet) will pass at the left outlet if they are less than the control "
    "value.",
    "Incoming values (to the left inlet) will pass at the right outlet if they are greater than or equal to "
    "the control value.",
};

static void cutroute_assist(t_cutroute *x, void *b, long io, long index, char *s)
{
    if (index < 0 || index > 1)
        return;
    if (io == ASSIST_OUTLET)
        sprintf(s, "%s", cutroute_outlet_text[index]);
    else
        sprintf(s, "%s", cutroute_inlet_text[index]);
}

/* ---- new ---- */
static void *cutroute_new(t_symbol *s, long argc, t_atom *argv)
{
    t_cutroute *x = (t_cutroute *)object_alloc(cutroute_class);
    if (!x)
        return NULL;
    floatin(x, 1);
    x->high_outlet = outlet_new(x, NULL); /* outlets are created right to left */
    x->low_outlet = outlet_new(x, NULL);
    x->threshold = 0.0;
    atom_arg_getdouble(&x->threshold, 0, argc, argv);
    x->last_input = 0.0;
    return x;
}

extern "C" C74_EXPORT int main(void)
{
    t_class *c = class_new("cutroute", (method)cutroute_new, NULL, sizeof(t_cutroute), NULL, A_GIMME, 0);
    class_addmethod(c, (method)cutroute_float, "float", A_CANT, 0);
    class_addmethod(c, (method)cutroute_int, "int", A_CANT, 0);
    class_addmethod(c, (method)cutroute_ft1, "ft1", A_CANT, 0);
    class_addmethod(c, (method)cutroute_int1, "int1", A_CANT, 0);
    class_addmethod(c, (method)cutroute_assist, "assist", A_CANT, 0);
    class_register(gensym("box"), c);
    cutroute_class = c;
    object_post(NULL, TILDEKIT_RULE_74);
    object_post(NULL, "cutroute: routes numbers left or right of a threshold");
    object_post(NULL, "tildekit " TILDEKIT_VERSION);
    return 0;
}
