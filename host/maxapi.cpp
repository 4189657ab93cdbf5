// The stand-in object library (MaxAPI): the C entry points the externals call, each a thin
// layer over the runtime.
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <limits>

#include "internal.h"
#include "sdkapi.h"

using namespace tk::detail;

namespace {

void collect_types(std::vector<int> &out, int first, va_list ap) {
    int t = first;
    // a type list ends with 0; guard against a missing terminator
    for (int guard = 0; t != A_NOTHING && guard < 64; ++guard) {
        out.push_back(t);
        t = va_arg(ap, int);
    }
}

t_atom_long saturate_long(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return 2147483647;
    if (v <= -2147483648.0) return -2147483647 - 1;
    return t_atom_long(v);
}

}  // namespace

extern "C" {

t_class *class_new(const char *name, const method mnew, const method mfree, long size, const method mmenu,
                   short type, ...) {
    auto c = std::make_unique<_class>();
    c->info.name = name ? name : "";
    c->mnew = mnew;
    c->mfree = mfree;
    c->size = size;
    c->info.has_free = mfree != nullptr;
    c->info.instance_size = size;
    va_list ap;
    va_start(ap, type);
    collect_types(c->info.creation_types, type, ap);
    va_end(ap);
    t_class *raw = c.get();
    rt().classes.push_back(std::move(c));
    rt().defining = raw;
    return raw;
}

t_max_err class_addmethod(t_class *c, const method m, const char *name, ...) {
    if (!c || !name) return 1;
    _class::Method meth{intern(name), m, {}};
    va_list ap;
    va_start(ap, name);
    int first = va_arg(ap, int);  // read before `ap` is handed on
    collect_types(meth.types, first, ap);
    va_end(ap);
    c->info.methods.push_back({name, meth.types});
    c->latest[meth.sym] = c->methods.size();  // a later registration of a selector wins
    c->methods.push_back(std::move(meth));
    return 0;
}

t_max_err class_register(t_symbol *name_space, t_class *c) {
    if (!c || !name_space || std::strcmp(name_space->s_name, "box") != 0) return 1;
    if (rt().banner) {
        rt().registered_now.push_back(c);  // an entry routine is running: load_class takes it
        return 0;
    }
    // a class the host program defines itself (its own objects), usable by name at once
    register_host_class(c);
    return 0;
}

t_symbol *gensym(const char *s) { return intern(s ? s : ""); }

void *object_alloc(t_class *c) {
    if (!c || c->size < long(sizeof(t_object))) return nullptr;
    auto *x = static_cast<t_object *>(accounted_alloc(std::size_t(c->size), true, false));
    if (!x) return nullptr;
    x->o_messlist = c;
    x->o_magic = 1758379419;
    auto rec = std::make_unique<ObjRec>();
    rec->cls = c;
    rec->obj = x;
    add_object(x, std::move(rec));
    return x;
}

void freeobject(void *op) {
    if (!op) return;
    if (free_clock(op) || free_proxy(op) || free_time_object(op) || free_buffer_ref(op)) return;
    // an instance that never became a box (a new routine giving up): free routine, then record
    if (!free_unboxed_object(op))
        post_text(tk::ConsoleLine::Error, class_name_of(op), "freeobject: not a clock nor an object being created; ignored");
}

void *object_method_imp(void *x, void *sym, void *p1, void *p2, void *p3, void *p4, void *p5, void *p6,
                        void *p7, void *p8) {
    auto *s = static_cast<t_symbol *>(sym);
    if (x && x == rt().chain_object && s == intern("dsp_add64")) {
        add_perform64(static_cast<t_object *>(x), static_cast<t_object *>(p1), reinterpret_cast<t_perfroutine64>(p2),
                      long(reinterpret_cast<t_ptr_int>(p3)), p4);
        return nullptr;
    }
    void *p[8] = {p1, p2, p3, p4, p5, p6, p7, p8};
    if (is_attr(x)) return attr_object_method(static_cast<AttrRec *>(x), s, p);
    return send_direct(x, s, p, 8);
}

#ifdef object_method
#undef object_method
void *object_method(void *x, t_symbol *s, ...);
#endif
void *object_method(void *x, t_symbol *s, ...) {
    void *p[4];
    va_list ap;
    va_start(ap, s);
    for (auto &q : p) q = va_arg(ap, void *);
    va_end(ap);
    return object_method_imp(x, s, p[0], p[1], p[2], p[3], nullptr, nullptr, nullptr, nullptr);
}

long proxy_getinlet(t_object *master) {
    ObjRec *r = find_object(master);
    return r ? r->current_inlet : 0;
}

static void *new_outlet(void *x, bool signal) {
    ObjRec *r = find_object(x);
    if (!r) return nullptr;
    auto o = std::make_unique<OutletRec>();
    o->owner = r;
    o->created = int(r->outlets.size());
    o->signal = signal;
    r->outlets.push_back(std::move(o));
    return r->outlets.back().get();
}

void *outlet_new(void *x, const char *s) { return new_outlet(x, s && std::strcmp(s, "signal") == 0); }
void *bangout(void *x) { return new_outlet(x, false); }

static void *number_inlet(void *x, short n, char kind) {
    ObjRec *r = find_object(x);
    if (!r || n < 1 || n > 9) return nullptr;
    r->number_inlets[n] = kind;
    return x;
}
void *floatin(void *x, short n) { return number_inlet(x, n, 'f'); }
void *intin(void *x, short n) { return number_inlet(x, n, 'i'); }

void *outlet_bang(t_outlet *o) {
    if (o) outlet_send(static_cast<OutletRec *>(o), tk::Event::Bang, 0.0);
    return nullptr;
}
void *outlet_int(t_outlet *o, t_atom_long n) {
    if (o) outlet_send(static_cast<OutletRec *>(o), tk::Event::Int, double(n));
    return nullptr;
}
void *outlet_float(t_outlet *o, double f) {
    if (o) outlet_send(static_cast<OutletRec *>(o), tk::Event::Float, f);
    return nullptr;
}

void stdinletinfo(t_object *, void *, long, char *t) {
    if (t) *t = 0;
}

long atom_arg_getdouble(double *c, long idx, long ac, const t_atom *av) {
    if (!c || !av || idx < 0 || idx >= ac) return 1;
    const t_atom *a = av + idx;
    if (a->a_type == A_FLOAT) *c = double(a->a_w.w_float);
    else if (a->a_type == A_LONG) *c = double(a->a_w.w_long);
    else return 1;
    return 0;
}

t_max_err atom_arg_getlong(t_atom_long *c, long idx, long ac, const t_atom *av) {
    if (!c || !av || idx < 0 || idx >= ac) return 1;
    const t_atom *a = av + idx;
    if (a->a_type == A_LONG) *c = a->a_w.w_long;
    else if (a->a_type == A_FLOAT) *c = saturate_long(double(a->a_w.w_float));
    else return 1;
    return 0;
}

long atom_arg_getsym(t_symbol **c, long idx, long ac, const t_atom *av) {
    if (!c || !av || idx < 0 || idx >= ac) return 1;
    if (av[idx].a_type != A_SYM) return 1;
    *c = av[idx].a_w.w_sym;
    return 0;
}

t_atom_float atom_getfloat(const t_atom *a) {
    if (!a) return 0;
    if (a->a_type == A_FLOAT) return a->a_w.w_float;
    if (a->a_type == A_LONG) return t_atom_float(a->a_w.w_long);
    return 0;
}
t_atom_long atom_getlong(const t_atom *a) {
    if (!a) return 0;
    if (a->a_type == A_LONG) return a->a_w.w_long;
    if (a->a_type == A_FLOAT) return saturate_long(double(a->a_w.w_float));
    return 0;
}
t_symbol *atom_getsym(const t_atom *a) {
    if (a && a->a_type == A_SYM) return a->a_w.w_sym;
    return intern("");
}
long atom_gettype(const t_atom *a) { return a ? long(a->a_type) : long(A_NOTHING); }
t_max_err atom_setlong(t_atom *a, t_atom_long b) {
    if (!a) return 1;
    a->a_type = A_LONG;
    a->a_w.w_long = b;
    return 0;
}
t_max_err atom_setfloat(t_atom *a, double b) {
    if (!a) return 1;
    a->a_type = A_FLOAT;
    a->a_w.w_float = t_atom_float(b);
    return 0;
}
t_max_err atom_setsym(t_atom *a, t_symbol *b) {
    if (!a) return 1;
    a->a_type = A_SYM;
    a->a_w.w_sym = b;
    return 0;
}

t_ptr sysmem_newptr(t_ptr_size size) { return static_cast<t_ptr>(accounted_alloc(size, false, true)); }
t_ptr sysmem_newptrclear(t_ptr_size size) { return static_cast<t_ptr>(accounted_alloc(size, true, true)); }
t_ptr sysmem_resizeptr(void *ptr, t_ptr_size newsize) { return static_cast<t_ptr>(accounted_realloc(ptr, newsize)); }
void sysmem_freeptr(void *ptr) { accounted_free(ptr); }

t_clock *clock_new(void *obj, method fn) { return clock_create(obj, fn); }
void clock_delay(t_clock *c, long ms) {
    if (c) clock_arm(static_cast<ClockRec *>(c), double(ms));
}
void clock_fdelay(t_clock *c, double ms) {
    if (c) clock_arm(static_cast<ClockRec *>(c), ms);
}
void clock_unset(t_clock *c) {
    if (c) clock_disarm(static_cast<ClockRec *>(c));
}
// At a logical time in ms (the scheduler's, as gettime gives it); a time already past fires at
// the scheduler's next turn.
void clock_set(t_clock *c, long when) {
    if (c) clock_arm_at(static_cast<ClockRec *>(c), double(when));
}
void clock_fset(t_clock *c, double when) {
    if (c) clock_arm_at(static_cast<ClockRec *>(c), when);
}
// The logical time of the patch whose method or clock runs on this thread (or of the process's
// own state outside any patch).
long gettime(void) { return long(std::floor(double(here().now))); }
void clock_getftime(double *time) {
    if (time) *time = here().now;
}

void object_post(t_object *x, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    post_line(tk::ConsoleLine::Post, x, fmt, ap);
    va_end(ap);
}
void object_error(t_object *x, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    post_line(tk::ConsoleLine::Error, x, fmt, ap);
    va_end(ap);
}
void post(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    post_line(tk::ConsoleLine::Post, nullptr, fmt, ap);
    va_end(ap);
}

}  // extern "C"
