// Patches: boxes, connections, feeds and captures, the DSP chain and running it block by block.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "internal.h"
#include <queue>
#include <set>

#include "patch_internal.h"

namespace tk {

void detail::add_perform64(t_object *chain, t_object *x, t_perfroutine64 f, long flags, void *userparam) {
    auto &r = here();
    if (!r.compiling || chain != rt().chain_object) {
        post_error(class_name_of(x), "dsp_add64 outside DSP compilation ignored");
        return;
    }
    if (!f) return;
    PerformEntry e;
    e.x = x;
    e.f64 = f;
    e.flags = flags;
    e.userparam = userparam;
    r.compiling->push_back(std::move(e));
}

void detail::add_perform32(t_perfroutine f, int n, va_list ap) {
    auto &r = here();
    if (!r.compiling || n < 0 || n > 256) {
        post_error("", "dsp_add outside DSP compilation (or with a bad word count) ignored");
        return;
    }
    PerformEntry e;
    e.f32 = f;
    e.words.push_back(t_int(reinterpret_cast<t_ptr_int>(f)));
    for (int i = 0; i < n; ++i) e.words.push_back(va_arg(ap, t_int));
    r.compiling->push_back(std::move(e));
}

// ---- Box --------------------------------------------------------------------------

int Box::signal_inlets() const {
    ObjRec *r = HostAccess::rec(this);
    return r && r->dsp_setup ? int(r->signal_inlets) : 0;
}
int Box::signal_outlets() const {
    ObjRec *r = HostAccess::rec(this);
    if (!r) return 0;
    return int(std::count_if(r->outlets.begin(), r->outlets.end(), [](auto &o) { return o->signal; }));
}
int Box::outlets() const {
    ObjRec *r = HostAccess::rec(this);
    return r ? int(r->outlets.size()) : 0;
}
int Box::inlets() const {
    ObjRec *r = HostAccess::rec(this);
    return r ? inlet_count(r) : 0;
}
bool Box::outlet_is_signal(int outlet) const {
    ObjRec *r = HostAccess::rec(this);
    int n = r ? int(r->outlets.size()) : 0;
    if (outlet < 0 || outlet >= n) return false;
    return r->outlets[std::size_t(n - 1 - outlet)]->signal;
}
bool Box::no_inplace() const {
    ObjRec *r = HostAccess::rec(this);
    return r && r->dsp_setup && (reinterpret_cast<t_pxobject *>(obj_)->z_misc & Z_NO_INPLACE);
}

std::optional<std::string> Box::assist(int io, int index) const {
    ObjRec *r = HostAccess::rec(this);
    if (!r) return std::nullopt;
    const _class::Method *m = r->cls->find(intern("assist"));
    if (!m) return std::nullopt;
    // the buffer starts as a known pattern; an object that writes nothing leaves it intact
    char buf[512];
    std::memset(buf, 0x7f, sizeof buf);
    buf[sizeof buf - 1] = 0;
    char before[512];
    std::memcpy(before, buf, sizeof buf);
    reinterpret_cast<void (*)(void *, void *, long, long, char *)>(m->fn)(r->obj, nullptr, io, index, buf);
    if (std::memcmp(before, buf, sizeof buf) == 0) return std::nullopt;
    return std::string(buf, strnlen(buf, 500));
}

// ---- Patch ------------------------------------------------------------------------

PatchState &detail::state_of(const void *ob) {
    if (ObjRec *r = ob ? find_object(ob) : nullptr)
        if (r->box)
            if (Patch *p = HostAccess::patch(r->box)) return HostAccess::impl(p)->state;
    return here();
}

Patch::Patch(double samplerate, int blocksize) : sr_(samplerate), block_(std::clamp(blocksize, 1, 4096)), impl_(std::make_unique<Impl>()) {
    impl_->self = this;
    impl_->time_base = impl_->state.now;
    impl_->activate();
}

Patch::~Patch() {
    Enter in(impl_->state);
    while (!impl_->boxes.empty()) free(impl_->boxes.back().get());
    // clocks their objects never released outlive the patch, disarmed, owned by nobody that
    // fires clocks (freeobject may still release them)
    std::lock_guard lock(impl_->state.clock_lock);
    for (ClockRec *c : impl_->state.clocks) {
        c->armed = false;
        __atomic_store_n(&c->owner, &loose_state(), __ATOMIC_RELAXED);  // read by other threads' sweeps
    }
}

Box *Patch::create(const std::string &text) {
    Atoms atoms = parse_atoms(text);
    if (atoms.empty() || !atoms[0].is_symbol()) throw Error("box text '" + text + "' does not start with an external's name");
    std::string name = std::get<2>(atoms[0].v);
    atoms.erase(atoms.begin());
    return create(name, atoms);
}

Box *Patch::create(const std::string &name, const Atoms &args) {
    const ClassInfo &info = load_class(name);
    t_class *c;
    {
        LoadingLock lock;
        c = rt().box_classes.at(info.name);
    }
    Enter in(impl_->state);
    impl_->activate();
    std::vector<t_atom> argv = to_t_atoms(args);
    auto res = typed_call(c->mnew, nullptr, false, intern(info.name.c_str()), c->info.creation_types, argv);
    std::string text = name + (args.empty() ? "" : " " + atoms_text(args));
    if (!res.ok) {
        post_error(info.name, "cannot create '" + text + "': " + res.why);
        return nullptr;
    }
    ObjRec *r = find_object(res.ret);
    if (!res.ret || !r) {
        post_error(info.name, "could not create the box '" + text + "'");
        return nullptr;
    }
    auto box = std::unique_ptr<Box>(new Box());
    box->cls_ = &c->info;
    box->obj_ = static_cast<t_object *>(res.ret);
    box->text_ = text;
    box->patch_ = this;
    r->box = box.get();
    impl_->boxes.push_back(std::move(box));
    impl_->invalidate();
    return impl_->boxes.back().get();
}

void Patch::free(Box *box) {
    impl_->checked(box);
    // out of the running chain first, whatever the free routine does
    impl_->invalidate();
    std::erase_if(impl_->connections, [&](const Connection &c) { return c.from == box || c.to == box; });
    for (auto it = impl_->feeds.begin(); it != impl_->feeds.end();)
        it = it->first.first == box ? impl_->feeds.erase(it) : std::next(it);
    for (auto it = impl_->captures.begin(); it != impl_->captures.end();)
        it = it->first.first == box ? impl_->captures.erase(it) : std::next(it);
    for (auto it = impl_->taps.begin(); it != impl_->taps.end();)
        it = it->first.first == box ? impl_->taps.erase(it) : std::next(it);
    ObjRec *r = find_object(box->obj_);
    if (r) {
        t_class *c = r->cls;
        Enter in(impl_->state);
        impl_->activate();
        if (c->mfree) reinterpret_cast<void (*)(void *)>(c->mfree)(box->obj_);
        note_free_without_dsp_free(r);
        // clocks the object forgot to release must never fire into freed memory (nor be armed
        // by what the audio thread handed over for them)
        {
            std::lock_guard lock(impl_->state.clock_lock);
            for (ClockRec *k : r->clocks) {
                k->armed = false;
                k->owner->handoff.forget(k);
            }
        }
        remove_object(box->obj_);
        forget_object_extras(box->obj_);
        accounted_free(box->obj_);
    }
    std::erase_if(impl_->boxes, [&](const std::unique_ptr<Box> &b) { return b.get() == box; });
}

std::vector<Box *> Patch::boxes() const {
    std::vector<Box *> v;
    for (auto &b : impl_->boxes) v.push_back(b.get());
    return v;
}

void Patch::send(Box *box, int inlet, const std::string &selector, const Atoms &args) {
    impl_->checked(box);
    Enter in(impl_->state);
    impl_->activate();
    dispatch(impl_->rec(box), inlet, selector, to_t_atoms(args));
}

void Patch::send_text(Box *box, int inlet, const std::string &message) {
    Atoms atoms = parse_atoms(message);
    if (atoms.empty()) throw Error("empty message");
    if (atoms[0].is_int()) return send(box, inlet, "int", {atoms[0]});
    if (atoms[0].is_float()) return send(box, inlet, "float", {atoms[0]});
    std::string sel = std::get<2>(atoms[0].v);
    atoms.erase(atoms.begin());
    send(box, inlet, sel, atoms);
}

void Patch::connect(Box *from, int outlet, Box *to, int inlet) {
    impl_->checked(from);
    impl_->checked(to);
    if (outlet < 0 || outlet >= from->outlets())
        throw Error(from->cls().name + ": no outlet " + std::to_string(outlet) + " (it has " + std::to_string(from->outlets()) + ")");
    if (inlet < 0 || inlet >= to->inlets())
        throw Error(to->cls().name + ": no inlet " + std::to_string(inlet) + " (it has " + std::to_string(to->inlets()) + ")");
    if (from->outlet_is_signal(outlet) && inlet >= to->signal_inlets())
        throw Error(to->cls().name + ": inlet " + std::to_string(inlet) + " takes no signal");
    for (auto &c : impl_->connections)
        if (c.from == from && c.outlet == outlet && c.to == to && c.inlet == inlet) return;
    impl_->connections.push_back({from, outlet, to, inlet});
    if (from->outlet_is_signal(outlet)) impl_->invalidate();
}

void Patch::disconnect(Box *from, int outlet, Box *to, int inlet) {
    auto n = std::erase_if(impl_->connections, [&](const Connection &c) {
        return c.from == from && c.outlet == outlet && c.to == to && c.inlet == inlet;
    });
    if (n) impl_->invalidate();
}

void Patch::feed(Box *box, int inlet, std::vector<double> samples) {
    impl_->checked(box);
    if (inlet < 0 || inlet >= box->signal_inlets())
        throw Error(box->cls().name + ": no signal inlet " + std::to_string(inlet) + " (it has " + std::to_string(box->signal_inlets()) + ")");
    impl_->feeds[{box, inlet}] = Feed{processed_, std::move(samples), {}};
    impl_->invalidate();
}

void Patch::feed(Box *box, int inlet, std::function<void(double *, long, std::int64_t)> gen) {
    impl_->checked(box);
    if (inlet < 0 || inlet >= box->signal_inlets())
        throw Error(box->cls().name + ": no signal inlet " + std::to_string(inlet) + " (it has " + std::to_string(box->signal_inlets()) + ")");
    impl_->feeds[{box, inlet}] = Feed{processed_, {}, std::move(gen)};
    impl_->invalidate();
}

void Patch::unfeed(Box *box, int inlet) {
    if (impl_->feeds.erase({box, inlet})) impl_->invalidate();
}

void Patch::capture(Box *box, int outlet) {
    impl_->checked(box);
    if (!box->outlet_is_signal(outlet))
        throw Error(box->cls().name + ": outlet " + std::to_string(outlet) + " is not a signal outlet");
    if (!impl_->captures.count({box, outlet})) {
        impl_->captures[{box, outlet}];
        impl_->invalidate();
    }
}

const std::vector<double> &Patch::output(Box *box, int outlet) const {
    auto it = impl_->captures.find({box, outlet});
    if (it == impl_->captures.end()) throw Error("outlet " + std::to_string(outlet) + " of " + box->cls().name + " is not captured");
    return it->second;
}

void Patch::clear_outputs() {
    for (auto &[k, v] : impl_->captures) v.clear();
}

void Patch::set_samplerate(double sr) {
    if (!(sr > 0) || !std::isfinite(sr)) throw Error("sample rate must be a positive number");
    if (sr != sr_) impl_->invalidate();
    sr_ = sr;
}
void Patch::set_blocksize(int n) {
    if (n < 1 || n > 4096) throw Error("vector size must be 1 to 4096");
    if (n != block_) impl_->invalidate();
    block_ = n;
}
void Patch::set_legacy(bool on) {
    if (on != legacy_) impl_->invalidate();
    legacy_ = on;
}

void Patch::set_separate_buffers(bool on) {
    if (on != separate_) impl_->invalidate();
    separate_ = on;
}

void Patch::dsp_off() { impl_->invalidate(); }

void Patch::compile() {
    auto &I = *impl_;
    I.invalidate();
    Enter in(I.state);
    I.activate();
    // nodes: every box of a class that takes part in DSP
    std::map<Box *, Node *> node_of;
    std::vector<std::unique_ptr<Node>> nodes;
    for (auto &b : I.boxes) {
        ObjRec *r = I.rec(b.get());
        if (!r->cls->info.dsp) continue;
        auto n = std::make_unique<Node>();
        n->box = b.get();
        n->rec = r;
        n->nin = b->signal_inlets();
        n->nout = b->signal_outlets();
        node_of[b.get()] = n.get();
        nodes.push_back(std::move(n));
    }
    // signal connections, in topological order (Kahn); what remains is a loop
    std::map<Node *, std::vector<Node *>> next;
    std::map<Node *, int> indegree;
    for (auto &n : nodes) {
        n->sources.assign(std::size_t(n->nin), {});
        n->feeds.assign(std::size_t(n->nin), nullptr);
        indegree[n.get()] = 0;
    }
    for (auto &c : I.connections) {
        if (!c.from->outlet_is_signal(c.outlet)) continue;
        Node *a = node_of.count(c.from) ? node_of[c.from] : nullptr;
        Node *b = node_of.count(c.to) ? node_of[c.to] : nullptr;
        if (!a || !b || c.inlet >= b->nin) continue;
        b->sources[std::size_t(c.inlet)].push_back({a, I.signal_index(a->rec, c.outlet)});
        next[a].push_back(b);
        indegree[b]++;
    }
    for (auto &[key, feed] : I.feeds)
        if (Node *n = node_of.count(key.first) ? node_of[key.first] : nullptr)
            if (key.second < n->nin) n->feeds[std::size_t(key.second)] = &feed;
    std::vector<Node *> order, ready;
    for (auto &n : nodes)
        if (indegree[n.get()] == 0) ready.push_back(n.get());
    std::reverse(ready.begin(), ready.end());
    while (!ready.empty()) {
        Node *n = ready.back();
        ready.pop_back();
        order.push_back(n);
        for (Node *m : next[n])
            if (--indegree[m] == 0) ready.insert(ready.begin(), m);
    }
    if (order.size() != nodes.size()) {
        std::string names;
        for (auto &n : nodes)
            if (indegree[n.get()] > 0) names += (names.empty() ? "" : ", ") + n->box->cls().name;
        post_error("", "signal feedback loop through " + names + ": DSP not started");
        throw Error("signal feedback loop through " + names);
    }

    const long N = block_;
    t_object *const chain_header = rt().chain_object;  // what perform routines receive as the chain object
    // How many inlets read each signal outlet; a captured outlet counts as read once more. An
    // outlet read by one inlet alone is handed over without a copy: that inlet's buffer is the
    // outlet's own (and its object may write its output there, since nobody else reads it).
    std::map<std::pair<const Node *, int>, int> readers;
    for (auto &n : nodes)
        for (const auto &sources : n->sources)
            for (auto [src, j] : sources) readers[{src, j}]++;
    for (auto &[key, vec] : I.captures)
        for (auto &n : nodes)
            if (n->box == key.first) readers[{n.get(), I.signal_index(n->rec, key.second)}]++;
    for (auto &[key, f] : I.taps)
        for (auto &n : nodes)
            if (n->box == key.first) readers[{n.get(), I.signal_index(n->rec, key.second)}]++;
    for (Node *n : order) {
        auto *px = reinterpret_cast<t_pxobject *>(n->rec->obj);
        bool no_inplace = (px->z_misc & Z_NO_INPLACE) || separate_;
        n->legacy = legacy_ && n->rec->cls->find(intern("dsp"));
        std::vector<short> count(std::size_t(n->nin + n->nout), 0);
        for (int i = 0; i < n->nin; ++i) count[std::size_t(i)] = !n->sources[std::size_t(i)].empty() || n->feeds[std::size_t(i)];
        for (int j = 0; j < n->nout; ++j) {
            bool used = false;
            int total = n->box->outlets();
            for (int o = 0; o < total; ++o)
                if (n->box->outlet_is_signal(o) && I.signal_index(n->rec, o) == j) {
                    used = I.captures.count({n->box, o}) > 0 || I.taps.count({n->box, o}) > 0;
                    for (auto &c : I.connections)
                        if (c.from == n->box && c.outlet == o) used = true;
                }
            count[std::size_t(n->nin + j)] = used;
        }
        // buffers: without the no-in-place flag outputs share the inputs' memory
        n->in_store.assign(std::size_t(n->nin), std::vector<double>(std::size_t(N), 0.0));
        n->out_store.assign(std::size_t(n->nout), std::vector<double>(std::size_t(N), 0.0));
        n->ins.clear();
        n->outs.clear();
        std::vector<char> handed(std::size_t(n->nin), 0);  // inlets reading their source's buffer
        for (int i = 0; i < n->nin; ++i) {
            const auto &sources = n->sources[std::size_t(i)];
            if (!separate_ && !n->feeds[std::size_t(i)] && sources.size() == 1 && readers[{sources[0].first, sources[0].second}] == 1) {
                n->ins.push_back(sources[0].first->outs[std::size_t(sources[0].second)]);
                handed[std::size_t(i)] = 1;
            } else {
                n->ins.push_back(n->in_store[std::size_t(i)].data());
            }
        }
        // an unconnected inlet keeps a zero buffer of its own
        for (int j = 0; j < n->nout; ++j)
            n->outs.push_back(!no_inplace && j < n->nin && count[std::size_t(j)] ? n->ins[std::size_t(j)] : n->out_store[std::size_t(j)].data());
        std::vector<PerformEntry> entries;
        I.state.compiling = &entries;
        if (n->legacy) {
            n->fin_store.assign(std::size_t(n->nin), std::vector<float>(std::size_t(N), 0.0f));
            n->fout_store.assign(std::size_t(n->nout), std::vector<float>(std::size_t(N), 0.0f));
            n->fins.clear();
            n->fouts.clear();
            for (auto &v : n->fin_store) n->fins.push_back(v.data());
            for (int j = 0; j < n->nout; ++j)
                n->fouts.push_back(!no_inplace && j < n->nin ? n->fins[std::size_t(j)] : n->fout_store[std::size_t(j)].data());
            n->sigs.assign(std::size_t(n->nin + n->nout), t_signal{});
            std::vector<t_signal *> sp;
            for (int k = 0; k < n->nin + n->nout; ++k) {
                t_signal &s = n->sigs[std::size_t(k)];
                s.s_n = N;
                s.s_vec = reinterpret_cast<t_sample *>(k < n->nin ? n->fins[std::size_t(k)] : n->fouts[std::size_t(k - n->nin)]);
                s.s_sr = float(sr_);
                sp.push_back(&s);
            }
            sp.push_back(nullptr);
            // downstream boxes read the widened outputs from buffers of their own
            for (int j = 0; j < n->nout; ++j) n->outs[std::size_t(j)] = n->out_store[std::size_t(j)].data();
            auto *m = n->rec->cls->find(intern("dsp"));
            reinterpret_cast<void (*)(void *, t_signal **, short *)>(m->fn)(n->rec->obj, sp.data(), count.data());
        } else if (auto *m = n->rec->cls->find(intern("dsp64"))) {
            reinterpret_cast<void (*)(void *, t_object *, short *, double, long, long)>(m->fn)(
                n->rec->obj, chain_header, count.data(), sr_, N, 0);
        }
        I.state.compiling = nullptr;
        // An unconnected inlet's buffer stays zero from here on unless it doubles as an output
        // or perform may have written it (the separate-buffers mode lets that be seen).
        n->prepared.clear();
        for (int i = 0; i < n->nin; ++i)
            if (!handed[std::size_t(i)] &&
                (count[std::size_t(i)] || separate_ || (i < n->nout && n->outs[std::size_t(i)] == n->ins[std::size_t(i)])))
                n->prepared.push_back(i);
        n->scratch.assign(std::size_t(N), 0.0);
        for (auto &e : entries)
            if (e.f64 || e.f32) n->entries.push_back(std::move(e));
        I.chain.push_back(std::unique_ptr<Node>(n));
    }
    for (auto &n : nodes) n.release();  // now owned by the chain
    I.capture_from.clear();
    for (auto &[key, vec] : I.captures)
        for (auto &np : I.chain)
            if (np->box == key.first) I.capture_from.emplace_back(&vec, np->outs[std::size_t(I.signal_index(np->rec, key.second))]);
    I.tap_from.clear();
    for (auto &[key, f] : I.taps)
        for (auto &np : I.chain)
            if (np->box == key.first) I.tap_from.emplace_back(&f, np->outs[std::size_t(I.signal_index(np->rec, key.second))]);
    if (I.state.threaded) {
        std::lock_guard lock(I.state.clock_lock);
        I.state.handoff.reserve(8 * I.state.clocks.size() + 1024);
    }
    I.compiled = true;
}

// One block of the chain: inputs prepared, perform routines, captures and taps. Fires no clock.
void Patch::Impl::one_block() {
    auto &I = *this;
    Patch &P = *self;
    t_object *const chain_object = rt().chain_object;
    const bool outer = tildekit_performing_here;  // set for the whole block on an audio thread
    const long N = P.block_;
    for (auto &np : I.chain) {
        Node *n = np.get();
        for (int i : n->prepared) {  // the inlets that need work before perform
            double *buf = n->ins[std::size_t(i)];
            const auto &sources = n->sources[std::size_t(i)];
            const Feed *f = n->feeds[std::size_t(i)];
            if (!f && sources.size() == 1) {  // the common case: one source
                const double *s = sources[0].first->outs[std::size_t(sources[0].second)];
                std::copy(s, s + N, buf);
                continue;
            }
            std::fill(buf, buf + N, 0.0);
            for (auto [src, j] : sources) {
                const double *s = src->outs[std::size_t(j)];
                for (long k = 0; k < N; ++k) buf[k] += s[k];
            }
            if (f) {
                if (f->gen) {
                    double *tmp = n->scratch.data();
                    std::fill(tmp, tmp + N, 0.0);
                    f->gen(tmp, N, P.processed_ - f->start);
                    for (long k = 0; k < N; ++k) buf[k] += tmp[k];
                } else {
                    for (long k = 0; k < N; ++k) {
                        std::int64_t at = P.processed_ - f->start + k;
                        if (at < std::int64_t(f->data.size())) buf[k] += f->data[std::size_t(at)];
                    }
                }
            }
        }
        // in the separate-buffers mode, keep the inputs to see whether perform writes them
        std::vector<double> &saved = I.saved;
        if (P.separate_) {
            saved.clear();
            for (int i = 0; i < n->nin; ++i) saved.insert(saved.end(), n->ins[std::size_t(i)], n->ins[std::size_t(i)] + N);
        }
        tildekit_performing_here = true;
        tildekit_performing.fetch_add(1, std::memory_order_relaxed);
        if (n->legacy) {
            for (int i = 0; i < n->nin; ++i)
                for (long k = 0; k < N; ++k) n->fins[std::size_t(i)][k] = float(n->ins[std::size_t(i)][k]);
            for (auto &e : n->entries) {
                if (!e.f32) continue;
                t_int *w = e.words.data();
                t_int *ret = e.f32(w);
                if (ret != w + e.words.size())
                    post_error(n->box->cls().name, "legacy perform routine returned the wrong argument position");
            }
            for (int j = 0; j < n->nout; ++j)
                for (long k = 0; k < N; ++k) n->outs[std::size_t(j)][k] = double(n->fouts[std::size_t(j)][k]);
        } else {
            for (auto &e : n->entries)
                if (e.f64)
                    e.f64(e.x, chain_object, n->ins.data(), n->nin, n->outs.data(), n->nout, N, e.flags, e.userparam);
        }
        tildekit_performing.fetch_sub(1, std::memory_order_relaxed);
        tildekit_performing_here = outer;
        if (P.separate_)
            for (int i = 0; i < n->nin; ++i)
                if (std::memcmp(saved.data() + std::size_t(i) * std::size_t(N), n->ins[std::size_t(i)], std::size_t(N) * sizeof(double)) != 0) {
                    P.input_writes_++;
                    post_error(n->box->cls().name, "the perform routine wrote into its input buffer " + std::to_string(i));
                }
    }
    for (auto [vec, s] : I.capture_from) vec->insert(vec->end(), s, s + N);
    for (auto [f, s] : I.tap_from) (*f)(s, N);
    P.processed_ += N;
    frames.store(P.processed_, std::memory_order_release);
}

void Patch::run_blocks(std::int64_t blocks) {
    auto &I = *impl_;
    auto &S = I.state;
    Enter in(S);
    for (std::int64_t b = 0; b < blocks; ++b) {
        if (!I.compiled) compile();
        I.activate();
        I.one_block();
        // time reaches the block's end; the clocks are looked at only when one can be due
        const double until = I.time_base + double(processed_) * 1000.0 / sr_;
        fire_clocks(S, until, true);
        if (!S.deferred.empty()) run_deferred(S);
    }
}

void Patch::run(std::int64_t frames) {
    if (frames <= 0) return;
    run_blocks((frames + block_ - 1) / block_);
}

void Patch::advance(double ms) {
    if (!(ms > 0)) ms = 0;
    auto &S = impl_->state;
    Enter in(S);
    impl_->activate();
    double until = S.now + ms;
    fire_clocks(S, until);
    if (!S.deferred.empty()) run_deferred(S);
    impl_->time_base = S.now - double(processed_) * 1000.0 / sr_;
}

double Patch::now_ms() const { return impl_->state.now; }

std::int64_t Patch::samples_processed() const { return impl_->frames.load(std::memory_order_acquire); }

// ---- two threads ------------------------------------------------------------------

void Patch::set_threaded(bool on) {
    auto &S = impl_->state;
    if (on != S.threaded) impl_->invalidate();
    S.threaded = on;
    impl_->audio_allocs.store(0);
    if (on) {
        std::lock_guard lock(S.clock_lock);
        S.handoff.reserve(8 * S.clocks.size() + 1024);
    }
}

bool Patch::threaded() const { return impl_->state.threaded; }

void Patch::audio_block() {
    auto &I = *impl_;
    if (!I.compiled) return;
    PatchState *prev_audio = audio_state_here();
    set_audio_state_here(&I.state);
    Enter in(I.state);
    const bool outer = tildekit_performing_here;
    tildekit_performing_here = true;
    const std::int64_t libc_before = tildekit_allocations_here, host_before = host_allocations_here();
    I.one_block();
    const std::int64_t libc = tildekit_allocations_here - libc_before, host = host_allocations_here() - host_before;
    tildekit_performing_here = outer;
    // the host's own allocator calls reach the C library too, where an interposer counts them
    if (libc || host) I.audio_allocs.fetch_add(std::max(libc, host), std::memory_order_relaxed);
    set_audio_state_here(prev_audio);
}

void Patch::scheduler_tick(double until_ms) {
    auto &S = impl_->state;
    Enter in(S);
    take_handed_clocks(S);
    if (!(until_ms > S.now)) until_ms = S.now;  // never back, and NaN stays put
    fire_clocks(S, until_ms);
    if (!S.deferred.empty()) run_deferred(S);
}

std::int64_t Patch::audio_allocations() const { return impl_->audio_allocs.load(std::memory_order_relaxed); }
std::int64_t Patch::clock_handoffs_dropped() const { return impl_->state.handoff.dropped(); }

void Patch::tap(Box *box, int outlet, std::function<void(const double *, long)> f) {
    impl_->checked(box);
    if (!box->outlet_is_signal(outlet))
        throw Error(box->cls().name + ": outlet " + std::to_string(outlet) + " is not a signal outlet");
    if (!f) throw Error(box->cls().name + ": a tap needs a function");
    impl_->taps[{box, outlet}] = std::move(f);
    impl_->invalidate();
}

void Patch::untap(Box *box, int outlet) {
    if (impl_->taps.erase({box, outlet})) impl_->invalidate();
}

std::vector<std::vector<double>> Patch::process(Box *box, const std::vector<std::vector<double>> &inputs, std::int64_t frames) {
    impl_->checked(box);
    for (int i = 0; i < box->signal_inlets(); ++i) {
        if (i < int(inputs.size()))
            feed(box, i, std::vector<double>(inputs[std::size_t(i)].begin(), inputs[std::size_t(i)].end()));
        else
            unfeed(box, i);
    }
    for (int o = 0; o < box->outlets(); ++o)
        if (box->outlet_is_signal(o)) capture(box, o);
    clear_outputs();
    run(frames);
    std::vector<std::vector<double>> out;
    for (int o = 0; o < box->outlets(); ++o)
        if (box->outlet_is_signal(o)) {
            auto v = output(box, o);
            v.resize(std::size_t(frames));
            out.push_back(std::move(v));
        }
    return out;
}

}  // namespace tk
