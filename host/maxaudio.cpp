// The stand-in audio library (MaxAudio): signal objects, the DSP chain, rate and vector size.
#include <cmath>
#include <cstdarg>

#include "internal.h"

using namespace tk::detail;

extern "C" {

void class_dspinit(t_class *c) {
    if (c) c->info.dsp = true;
}

void z_dsp_setup(t_pxobject *x, long nsignals) {
    ObjRec *r = find_object(x);
    if (!r) return;
    if (nsignals < 0) nsignals = 0;
    if (nsignals > 256) nsignals = 256;
    x->z_count = short(nsignals);
    x->z_in = 0;
    x->z_disabled = 0;
    r->signal_inlets = nsignals;
    r->dsp_setup = true;
}

void z_dsp_free(t_pxobject *x) {
    if (ObjRec *r = find_object(x)) r->dsp_freed = true;
}

void dsp_add(t_perfroutine f, int n, ...) {
    va_list ap;
    va_start(ap, n);
    add_perform32(f, n, ap);
    va_end(ap);
}

void dsp_add64(t_object *chain, t_object *x, t_perfroutine64 f, long flags, void *userparam) {
    add_perform64(chain, x, f, flags, userparam);
}

float sys_getsr(void) { return float(here().sr); }
int sys_getblksize(void) { return here().block; }

float atom_getfloatarg(short which, short argc, t_atom *argv) {
    if (!argv || which < 0 || which >= argc) return 0.0f;
    return float(atom_getfloat(argv + which));
}
long atom_getintarg(short which, short argc, t_atom *argv) {
    if (!argv || which < 0 || which >= argc) return 0;
    return long(atom_getlong(argv + which));
}
t_symbol *atom_getsymarg(short which, short argc, t_atom *argv) {
    if (!argv || which < 0 || which >= argc) return gensym("");
    return atom_getsym(argv + which);
}

}  // extern "C"
