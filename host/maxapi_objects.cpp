// The object library (MaxAPI), objects beyond the basics: object_new / object_free, proxy inlets,
// typed outlets and messages of any selector, deferred calls, warnings, handles, the system timer.
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <algorithm>
#include <mutex>
#include <vector>

#include "sdkapi.h"

using namespace tk::detail;

namespace {

// A call deferred to the scheduler: it rides on a clock armed at no delay, so deferred calls run
// in the order they were made, after the message that made them, with the clocks due at that time.
// A call deferred for a box from any thread goes to the scheduler of the box's patch (the clock
// list is the patch's, under its clock lock); on that patch's audio thread the arming is handed
// over. Freeing the object a call was deferred for cancels the call (cancel_deferred_calls, from
// the free routines): it never reaches freed memory, nor an object the allocator put at its address.
struct Deferred {
    void *ob;
    method fn;
    t_symbol *sym;
    std::vector<t_atom> args;
    ClockRec *clock = nullptr;
    bool for_object = false;  // ob was an object of this host when the call was deferred
    bool handed = false;      // deferred on an audio thread: armed when the scheduler takes it
    bool cancelled = false;   // its object was freed (under the pending lock)
    bool dropped = false;     // cancelled while still armed: its clock never fires, the sweep frees it
};

// Lock order: the pending lock, then a patch's clock lock.
struct Pending {
    std::mutex lock;
    std::vector<Deferred *> calls;
};
Pending &pending() {
    static Pending *p = new Pending();
    return *p;
}

void release(Deferred *d) {
    {
        PatchState &s = *d->clock->owner;
        std::lock_guard g(s.clock_lock);
        std::erase(s.clocks, d->clock);
        s.handoff.forget(d->clock);
    }
    delete d->clock;
    delete d;
}

// Calls that will never run: cancelled before their clock fired, or left armed by nobody once
// their patch went (disarmed and handed to the process's state). A call whose clock the
// scheduler has taken to fire is never among them: it releases itself.
void sweep_cancelled() {
    PatchState *loose = &loose_state();
    std::vector<Deferred *> gone;
    {
        std::lock_guard g(pending().lock);
        std::erase_if(pending().calls, [&](Deferred *d) {
            bool never = d->dropped;
            // a patch hands its clocks to the process's state when it goes (another thread's
            // patch may be going now: the owner is read as the patch's destructor writes it)
            if (!never && !d->handed && __atomic_load_n(&d->clock->owner, __ATOMIC_RELAXED) == loose) {
                std::lock_guard c(loose->clock_lock);
                never = !d->clock->armed;
            }
            if (never) gone.push_back(d);
            return never;
        });
    }
    for (Deferred *d : gone) release(d);
}

void run_deferred_call(void *p) {
    auto *d = static_cast<Deferred *>(p);
    bool live;
    {
        std::lock_guard g(pending().lock);
        std::erase(pending().calls, d);
        live = !d->cancelled;
    }
    if (live) {
        using F = void (*)(void *, t_symbol *, short, t_atom *);
        reinterpret_cast<F>(d->fn)(d->ob, d->sym, short(d->args.size()), d->args.empty() ? nullptr : d->args.data());
    }
    release(d);
}

void *defer_call_later(void *ob, method fn, t_symbol *sym, short argc, t_atom *argv) {
    if (!fn) return nullptr;
    PatchState &s = state_of(ob);
    const bool on_audio_thread = audio_state_here() == &s;
    if (!on_audio_thread) sweep_cancelled();
    auto *d = new Deferred{ob, fn, sym, std::vector<t_atom>(argv, argv + (argc > 0 && argv ? argc : 0))};
    d->clock = new ClockRec{d, reinterpret_cast<method>(run_deferred_call), &s};
    d->handed = on_audio_thread;
    d->for_object = find_object(ob) != nullptr;
    {
        std::lock_guard g(s.clock_lock);
        s.clocks.push_back(d->clock);
    }
    // listed and armed in one step, so a sweep never sees it listed but not yet armed; from
    // here on the scheduler may run (and release) it at any moment
    std::lock_guard g(pending().lock);
    pending().calls.push_back(d);
    clock_arm(d->clock, 0.0);
    return nullptr;
}

std::uint64_t unique_counter = 0;


// The box class of that name with a new routine, loaded where needed; nullptr (the cause
// posted for a load that fails, naming the caller) otherwise.
t_class *class_to_instantiate(t_symbol *classname, const char *caller) {
    if (!classname) return nullptr;
    t_class *c = nullptr;
    try {
        tk::load_class(classname->s_name);
        auto &boxes = rt().box_classes;
        if (auto it = boxes.find(classname->s_name); it != boxes.end()) c = it->second;
    } catch (const tk::Error &e) {
        post_text(tk::ConsoleLine::Error, "", std::string(caller) + ": " + e.what());
        return nullptr;
    }
    return c && c->mnew ? c : nullptr;
}

}  // namespace

namespace {
void cancel_deferred_calls(const void *ob) {
    std::lock_guard g(pending().lock);
    for (Deferred *d : pending().calls)
        if (d->for_object && d->ob == ob && !d->cancelled) {
            d->cancelled = true;
            // a clock still armed is disarmed and the call freed by the next sweep; one the
            // scheduler has taken, or one handed over by an audio thread (armed later), runs
            // nothing and is released when it fires
            if (d->handed) continue;
            std::lock_guard c(d->clock->owner->clock_lock);
            if (d->clock->armed) {
                d->clock->armed = false;
                d->dropped = true;
            }
        }
}
// the host calls it from its free routines (forget_object_extras)
const bool canceller_set = (set_deferred_call_canceller(cancel_deferred_calls), true);
}  // namespace

extern "C" {

void *outlet_new(void *x, const char *s);

void *intout(void *x) { return outlet_new(x, "int"); }
void *floatout(void *x) { return outlet_new(x, "float"); }
void *listout(void *x) { return outlet_new(x, "list"); }

void *outlet_list(t_outlet *o, t_symbol *, short ac, t_atom *av) {
    if (o) outlet_send_message(static_cast<OutletRec *>(o), intern("list"), ac, av);
    return nullptr;
}
void *outlet_anything(t_outlet *o, t_symbol *s, short ac, t_atom *av) {
    if (o) outlet_send_message(static_cast<OutletRec *>(o), s ? s : intern(""), ac, av);
    return nullptr;
}

void *proxy_new(void *x, long id, long *stuffloc) {
    if (!find_object(x) || id < 1) return nullptr;
    return add_proxy(x, id, stuffloc);
}

t_max_err object_free(void *x) {
    if (!x) return 1;
    if (free_proxy(x) || free_time_object(x) || free_buffer_ref(x) || free_clock(x)) return 0;
    if (is_attr(x)) {
        // attached attributes live as long as their class or object; a detached one goes now
        auto *a = static_cast<AttrRec *>(x);
        if (!a->attached) delete_attr(a);
        return 0;
    }
    if (free_unboxed_object(x)) return 0;
    post_text(tk::ConsoleLine::Error, class_name_of(x), "object_free: not an object this host made, or a box (boxes are freed by their patch); ignored");
    return 1;
}

// object_new(namespace, class name, the new routine's own arguments...): an instance outside any
// patch, made by the class's new routine with the arguments passed on as they are (integers and
// pointers; a float argument needs object_new_typed).
void *object_new(t_symbol *name_space, t_symbol *classname, ...) {
    t_class *c = class_to_instantiate(classname, "object_new");
    if (!c) return nullptr;
    (void)name_space;
    void *p[8];
    va_list ap;
    va_start(ap, classname);
    for (auto &q : p) q = va_arg(ap, void *);
    va_end(ap);
    using F = void *(*)(void *, void *, void *, void *, void *, void *, void *, void *);
    return reinterpret_cast<F>(c->mnew)(p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7]);
}

void *object_new_typed(t_symbol *, t_symbol *classname, long ac, t_atom *av) {
    t_class *c = class_to_instantiate(classname, "object_new_typed");
    if (!c) return nullptr;
    std::vector<t_atom> args(av, av + (ac > 0 && av ? ac : 0));
    auto res = typed_call(c->mnew, nullptr, false, classname, c->info.creation_types, args);
    if (!res.ok) post_text(tk::ConsoleLine::Error, c->info.name, "object_new_typed: " + res.why);
    return res.ok ? res.ret : nullptr;
}

void *defer(void *ob, method fn, t_symbol *sym, short argc, t_atom *argv) { return defer_call_later(ob, fn, sym, argc, argv); }
void *defer_low(void *ob, method fn, t_symbol *sym, short argc, t_atom *argv) { return defer_call_later(ob, fn, sym, argc, argv); }

void object_warn(t_object *x, const char *fmt, ...) {
    char buf[2048];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt ? fmt : "", ap);
    va_end(ap);
    post_text(tk::ConsoleLine::Post, class_name_of(x), std::string("warning: ") + buf);
}

void error(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    post_line(tk::ConsoleLine::Error, nullptr, fmt, ap);
    va_end(ap);
}

void cpost(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    post_line(tk::ConsoleLine::Post, nullptr, fmt, ap);
    va_end(ap);
}

t_ptr_size sysmem_ptrsize(void *ptr) { return t_ptr_size(accounted_size(ptr)); }

// Handles: a pointer block holding the pointer to the data block, so the data may move.
char **sysmem_newhandle(t_ptr_size size) {
    auto **h = static_cast<char **>(accounted_alloc(sizeof(char *), true, true));
    if (!h) return nullptr;
    *h = static_cast<char *>(accounted_alloc(size, false, true));
    if (!*h && size) {
        accounted_free(h);
        return nullptr;
    }
    return h;
}
char **sysmem_newhandleclear(t_ptr_size size) {
    char **h = sysmem_newhandle(size);
    if (h && *h) std::memset(*h, 0, size);
    return h;
}
t_max_err sysmem_resizehandle(char **h, t_ptr_size newsize) {
    if (!h) return 1;
    void *p = accounted_realloc(*h, newsize);
    if (!p && newsize) return 1;
    *h = static_cast<char *>(p);
    return 0;
}
t_ptr_size sysmem_handlesize(char **h) { return h ? t_ptr_size(accounted_size(*h)) : 0; }
void sysmem_freehandle(char **h) {
    if (!h) return;
    accounted_free(*h);
    accounted_free(h);
}
long sysmem_lockhandle(char **, long lock) { return lock; }

// Milliseconds from a steady clock (CPU time references, as for profiling).
double systimer_gettime(void) {
    using namespace std::chrono;
    static const auto start = steady_clock::now();
    return duration<double, std::milli>(steady_clock::now() - start).count();
}

t_symbol *symbol_unique(void) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "u%llu", (unsigned long long)++unique_counter);
    return intern(buf);
}

int snprintf_zero(char *buffer, size_t count, const char *format, ...) {
    if (!buffer || count == 0) return 0;
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(buffer, count, format ? format : "", ap);
    va_end(ap);
    buffer[count - 1] = 0;
    return n;
}

void class_setname(char *, char *) {}  // the file name is known from loading

long atom_arg_getfloat(float *c, long idx, long ac, const t_atom *av) {
    if (!c || !av || idx < 0 || idx >= ac) return 1;
    const t_atom *a = av + idx;
    if (a->a_type == A_FLOAT) *c = float(a->a_w.w_float);
    else if (a->a_type == A_LONG) *c = float(a->a_w.w_long);
    else return 1;
    return 0;
}

}  // extern "C"
