// Messages: a selector and its atoms to an object's inlet, through the class's method table.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "internal.h"
#include "sdkapi.h"

namespace tk {
namespace detail {

void post_error(const std::string &object, const std::string &text) { post_text(ConsoleLine::Error, object, text); }

void set_inlet(ObjRec *r, int inlet) {
    r->current_inlet = inlet;
    if (r->dsp_setup) reinterpret_cast<t_pxobject *>(r->obj)->z_in = inlet;
}

int inlet_count(const ObjRec *r) {
    int n = std::max<int>(1, int(r->signal_inlets));
    if (!r->number_inlets.empty()) n = std::max(n, r->number_inlets.rbegin()->first + 1);
    return std::max(n, proxy_inlet_count(r->obj));
}

static thread_local int control_depth = 0;

void dispatch(ObjRec *r, int inlet, const std::string &selector_in, std::vector<t_atom> argv) {
    const std::string &cls = r->cls->info.name;
    if (inlet < 0 || inlet >= inlet_count(r))
        throw Error(cls + ": no inlet " + std::to_string(inlet) + " (it has " + std::to_string(inlet_count(r)) + ")");
    if (control_depth > 256) {
        post_error(cls, "stack overflow: messages loop through '" + selector_in + "'; message dropped");
        return;
    }
    std::string selector = selector_in;
    // a proxy inlet takes any message: the owner finds the inlet in its location
    ProxyRec *proxy = inlet > 0 ? proxy_at(r->obj, inlet) : nullptr;
    if (proxy && proxy->stuffloc) *proxy->stuffloc = inlet;
    // numbers at a floatin / intin inlet arrive as ftN / inN
    if (!proxy && inlet > 0 && r->number_inlets.count(inlet)) {
        char kind = r->number_inlets.at(inlet);
        if (selector != "float" && selector != "int") {
            post_error(cls, "inlet " + std::to_string(inlet) + " takes numbers only, not '" + selector + "'");
            return;
        }
        selector = std::string(kind == 'f' ? "ft" : "in") + std::to_string(inlet);
        if (argv.empty()) argv.push_back(t_atom{A_LONG, {0}});
        if (kind == 'f' && argv[0].a_type == A_LONG) {
            t_atom a;
            a.a_type = A_FLOAT;
            a.a_w.w_float = t_atom_float(argv[0].a_w.w_long);
            argv[0] = a;
        }
    }
    const _class::Method *m = r->cls->find(intern(selector.c_str()));
    // an int goes to `float` where only `float` exists, and the other way round
    if (!m && selector == "int") {
        if ((m = r->cls->find(intern("float")))) selector = "float";
    } else if (!m && selector == "float") {
        if ((m = r->cls->find(intern("int")))) selector = "int";
    }
    // a one-number list is that number
    if (!m && selector == "list" && argv.size() == 1 && argv[0].a_type != A_SYM) {
        const char *num = argv[0].a_type == A_LONG ? "int" : "float";
        if (r->cls->find(intern(num))) return dispatch(r, inlet, num, argv);
    }
    if (!m) {
        // an attribute's name sets it, getNAME asks for it; `anything` takes every other selector
        if (attr_message(r, inlet, selector, argv)) return;
        if ((m = r->cls->find(intern("anything"))) && !(m->types.size() == 1 && m->types[0] == A_GIMME)) m = nullptr;
    }
    if (!m) {
        post_error(cls, "doesn't understand '" + selector_in + "'");
        return;
    }
    set_inlet(r, inlet);
    control_depth++;
    struct Depth {
        ~Depth() { control_depth--; }
    } depth_guard;
    if (m->types.size() == 1 && m->types[0] == A_CANT) {
        // host-called routines; of them only numbers can arrive as messages
        if (!argv.empty() && argv[0].a_type == A_SYM) {
            post_error(cls, "'" + selector + "' needs a number, not '" + atom_text(argv[0]) + "'");
            return;
        }
        if (is_float_selector(selector)) {
            double v = argv.empty() ? 0.0 : atom_number(argv[0]);
            reinterpret_cast<void (*)(void *, double)>(m->fn)(r->obj, v);
        } else if (is_int_selector(selector)) {
            t_atom_long v = argv.empty() ? 0 : atom_integer(argv[0]);
            reinterpret_cast<void (*)(void *, t_atom_long)>(m->fn)(r->obj, v);
        } else {
            post_error(cls, "'" + selector + "' is called by the host and cannot be sent as a message");
        }
        return;
    }
    auto res = typed_call(m->fn, r->obj, true, intern(selector.c_str()), m->types, argv);
    if (!res.ok) post_error(cls, "'" + selector + "': " + res.why + "; message ignored");
}

void *send_direct(void *x, t_symbol *s, void *const *p, int) {
    ObjRec *r = find_object(x);
    if (!r || !s) return nullptr;
    const _class::Method *m = r->cls->find(s);
    if (!m) return nullptr;
    using F = void *(*)(void *, void *, void *, void *, void *, void *, void *, void *, void *);
    return reinterpret_cast<F>(m->fn)(x, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7]);
}

}  // namespace detail
}  // namespace tk
