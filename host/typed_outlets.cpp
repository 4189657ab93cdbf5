// Messages of any selector out of a control outlet (outlet_list, outlet_anything): recorded as
// events of the box and passed on along the patch's connections.
#include "patch_internal.h"
#include "sdkapi.h"

namespace tk::detail {

void outlet_send_message(OutletRec *o, t_symbol *sel, long argc, const t_atom *argv) {
    const std::string s = sel ? sel->s_name : "";
    if (argc < 0 || (argc > 0 && !argv)) argc = 0;
    // the three plain messages keep their own event kinds
    if (s == "bang" && argc == 0) return outlet_send(o, Event::Bang, 0.0);
    if (s == "int" && argc >= 1 && argv[0].a_type == A_LONG) return outlet_send(o, Event::Int, double(argv[0].a_w.w_long));
    if (s == "float" && argc >= 1 && argv[0].a_type == A_FLOAT) return outlet_send(o, Event::Float, double(argv[0].a_w.w_float));
    ObjRec *r = o->owner;
    Box *box = r->box;
    if (!box) return;
    const bool list = s == "list" || s.empty();
    Event ev{0, 0.0, r->outlet_index(o), list ? Event::List : Event::Message, 0.0};
    if (!list) ev.selector = s;
    for (long i = 0; i < argc; ++i) {
        const t_atom &a = argv[i];
        if (a.a_type == A_LONG) ev.atoms.emplace_back(std::int64_t(a.a_w.w_long));
        else if (a.a_type == A_FLOAT) ev.atoms.emplace_back(double(a.a_w.w_float));
        else if (a.a_type == A_SYM) ev.atoms.emplace_back(std::string(a.a_w.w_sym ? a.a_w.w_sym->s_name : ""));
    }
    Patch *patch = HostAccess::patch(box);
    ev.sample = patch ? HostAccess::processed(patch) : 0;
    ev.time_ms = patch ? HostAccess::impl(patch)->state.now : here().now;
    const int index = ev.outlet;
    HostAccess::record(box, std::move(ev));
    if (!patch) return;
    auto *impl = HostAccess::impl(patch);
    std::vector<Connection> targets;
    for (auto &c : impl->connections)
        if (c.from == box && c.outlet == index) targets.push_back(c);
    for (auto &c : targets) {
        ObjRec *to = HostAccess::rec(c.to);
        if (!to) continue;
        try {
            dispatch(to, c.inlet, list ? "list" : s, std::vector<t_atom>(argv, argv + argc));
        } catch (const Error &e) {
            post_error(to->cls->info.name, e.what());
        }
    }
}

}  // namespace tk::detail

namespace tk::detail {
double logical_now() { return here().now; }
}  // namespace tk::detail
