// Outlets: a message leaving an object, recorded as an event of its box and passed on along
// the patch's connections.
#include "patch_internal.h"

namespace tk {

void detail::outlet_send(OutletRec *o, Event::Kind kind, double value) {
    ObjRec *r = o->owner;
    Box *box = r->box;
    if (!box) return;
    int index = r->outlet_index(o);
    Patch *patch = HostAccess::patch(box);
    const double now = patch ? HostAccess::impl(patch)->state.now : here().now;
    HostAccess::record(box, {patch ? HostAccess::processed(patch) : 0, now, index, kind, value});
    if (!patch) return;
    auto *impl = HostAccess::impl(patch);
    std::vector<Connection> targets;
    for (auto &c : impl->connections)
        if (c.from == box && c.outlet == index && !HostAccess::rec(c.from)->outlets.empty()) targets.push_back(c);
    for (auto &c : targets) {
        ObjRec *to = HostAccess::rec(c.to);
        if (!to) continue;
        std::vector<t_atom> argv;
        std::string sel;
        if (kind == Event::Bang) {
            sel = "bang";
        } else if (kind == Event::Int) {
            sel = "int";
            argv.push_back(t_atom{A_LONG, {t_atom_long(value)}});
        } else {
            sel = "float";
            t_atom a;
            a.a_type = A_FLOAT;
            a.a_w.w_float = t_atom_float(value);
            argv.push_back(a);
        }
        try {
            dispatch(to, c.inlet, sel, argv);
        } catch (const Error &e) {
            post_error(to->cls->info.name, e.what());
        }
    }
}

}  // namespace tk
