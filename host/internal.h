// Internals shared by the runtime and the two stand-in host libraries (not for externals).
#pragma once

#include <ext.h>
#include <z_dsp.h>

#include <atomic>
#include <cstdarg>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "tildehost.h"

struct _class {
    tk::ClassInfo info;
    method mnew = nullptr;
    method mfree = nullptr;
    long size = 0;
    struct Method {
        t_symbol *sym;
        method fn;
        std::vector<int> types;
    };
    std::vector<Method> methods;                   // registration order
    std::unordered_map<t_symbol *, size_t> latest;  // selector -> index of the latest registration
    const Method *find(t_symbol *s) const {
        auto it = latest.find(s);
        return it == latest.end() ? nullptr : &methods[it->second];
    }
};

namespace tk::detail {

// The arguments of a *_format call as atoms: s symbol, l/i integer, f/d float (each one
// argument); other letters are skipped.
inline std::vector<t_atom> atoms_from_format(const char *fmt, va_list ap) {
    std::vector<t_atom> v;
    for (const char *f = fmt; f && *f; ++f) {
        t_atom a{};
        if (*f == 's') {
            a.a_type = A_SYM;
            a.a_w.w_sym = va_arg(ap, t_symbol *);
        } else if (*f == 'l' || *f == 'i') {
            a.a_type = A_LONG;
            a.a_w.w_long = *f == 'l' ? t_atom_long(va_arg(ap, long)) : t_atom_long(va_arg(ap, int));
        } else if (*f == 'f' || *f == 'd') {
            a.a_type = A_FLOAT;
            a.a_w.w_float = t_atom_float(va_arg(ap, double));
        } else {
            continue;
        }
        v.push_back(a);
    }
    return v;
}

struct ObjRec;

struct OutletRec {
    ObjRec *owner;
    int created;  // creation order; the first created is the rightmost
    bool signal;
};

struct PatchState;

struct ClockRec {
    void *obj;
    method fn;
    PatchState *owner = nullptr;  // the patch whose scheduler fires it
    bool armed = false;
    double due = 0;
    std::uint64_t seq = 0;
};

struct ObjRec {
    t_class *cls;
    t_object *obj;
    Box *box = nullptr;
    std::vector<std::unique_ptr<OutletRec>> outlets;  // creation order
    std::map<int, char> number_inlets;                // floatin ('f') / intin ('i') by index
    long current_inlet = 0;
    long signal_inlets = 0;
    bool dsp_setup = false;
    bool dsp_freed = false;
    std::vector<ClockRec *> clocks;
    int outlet_index(const OutletRec *o) const { return int(outlets.size()) - 1 - o->created; }
};

// One entry the object added to the chain while it was compiled.
struct PerformEntry {
    t_object *x = nullptr;
    t_perfroutine64 f64 = nullptr;
    long flags = 0;
    void *userparam = nullptr;
    t_perfroutine f32 = nullptr;
    std::vector<t_int> words;  // words[0] is the routine, then the n words
};

// Clocks that perform routines set or unset on the audio thread of a patch in the two-thread
// mode, handed to its scheduler thread: a ring with one writer (the audio thread) and one reader
// (the scheduler), no lock and no allocation on either side once its room is reserved.
struct ClockOp {
    ClockRec *clock;
    double ms;
    bool arm;         // false: unset
    bool at = false;  // ms is a logical time, not a delay
};
class ClockHandoff {
public:
    void reserve(std::size_t n);  // only while no audio thread runs
    bool push(const ClockOp &op);  // audio thread; false (and counted) when full
    template <class F>
    void drain(F &&f) {  // scheduler thread
        std::size_t t = tail_.load(std::memory_order_relaxed);
        const std::size_t h = head_.load(std::memory_order_acquire);
        for (; t != h; ++t) f(ring_[t & mask_]);
        tail_.store(t, std::memory_order_release);
    }
    std::int64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }
    void forget(const ClockRec *c) {  // scheduler thread: drops what is pending for c
        const std::size_t h = head_.load(std::memory_order_acquire);
        for (std::size_t t = tail_.load(std::memory_order_relaxed); t != h; ++t)
            if (ring_[t & mask_].clock == c) ring_[t & mask_].clock = nullptr;
    }

private:
    std::vector<ClockOp> ring_;
    std::size_t mask_ = 0;
    std::atomic<std::size_t> head_{0}, tail_{0};
    std::atomic<std::int64_t> dropped_{0};
};

// What belongs to one patch (or, for objects made outside any patch, to the process): its
// logical time and clocks, sample rate and vector size, the chain being compiled, deferred
// calls. Used by one thread at a time, except in the two-thread mode, where the audio thread
// reads sr and block and only hands clock changes over through `handoff`, and except for its
// clocks: any thread may set, unset, make or free a clock and defer a call, so the clock list,
// every clock's arming, `now`'s changes and `earliest_due` are kept under `clock_lock` (the
// audio thread of the two-thread mode never takes it for a clock: it hands changes over).
struct PatchState {
    double sr = 44100.0;
    int block = 64;

    std::mutex clock_lock;  // innermost: nothing else is locked while it is held
    // logical time in ms and the clocks; `now` changes on the scheduler thread under the lock,
    // other threads read it at any time (an outlet's event time)
    std::atomic<double> now{0.0};
    std::uint64_t clock_seq = 0;
    // no armed clock is due before this time (a lower bound: disarming leaves it as it is),
    // so that the scan after each block is skipped while nothing can be due
    double earliest_due = 0.0;
    int firing = 0;
    std::vector<ClockRec *> clocks;

    std::vector<PerformEntry> *compiling = nullptr;  // entries collected by dsp64/dsp

    bool threaded = false;  // the two-thread mode
    ClockHandoff handoff;
    std::vector<std::function<void()>> deferred;  // run by the scheduler after the clocks
};

// The state of the patch whose method runs on this thread (the process's own state outside
// any patch). `Enter` makes a patch current on this thread for a scope.
PatchState &here();
PatchState &loose_state();
struct Enter {
    explicit Enter(PatchState &s);
    ~Enter();
    Enter(const Enter &) = delete;
    Enter &operator=(const Enter &) = delete;
    PatchState *prev;
};
// The state of the patch whose box `ob` is, or, for anything else (an object still in its new
// routine, one outside any patch), here(): a clock or a deferred call made for a box from any
// thread belongs to the box's patch.
PatchState &state_of(const void *ob);
// The patch whose audio block runs on this thread (two-thread mode), or null.
PatchState *audio_state_here();
void set_audio_state_here(PatchState *s);
void defer_call(PatchState &s, std::function<void()> f);  // not on the audio thread
void run_deferred(PatchState &s);

// Tables shared by every thread. Symbols, objects and clocks each have a mutex of their own
// (held only inside the functions below); classes and loading one recursive lock, held while
// an entry routine runs, so that a class is loaded once however many threads ask.
struct Runtime {
    std::mutex symbols_lock;
    std::unordered_map<std::string, std::unique_ptr<t_symbol>> symbols;

    std::recursive_mutex loading_lock;
    std::vector<std::unique_ptr<t_class>> classes;
    std::map<std::string, t_class *> box_classes;  // registered in "box", by name and lower case
    std::map<std::string, std::string> loaded_files;  // module path -> class name
    std::vector<std::string> paths;
    // what the loading thread is doing now (read under loading_lock, or on the loading thread)
    t_class *defining = nullptr;               // class whose entry routine runs
    std::vector<t_class *> registered_now;     // classes registered by that entry routine
    std::vector<std::string> *banner = nullptr;  // posts of the entry routine land here too

    std::mutex objects_lock;
    std::unordered_map<const void *, std::unique_ptr<ObjRec>> objects;
    std::unordered_map<const void *, ClockRec *> clocks;

    t_object *chain_object = nullptr;  // what perform routines receive as the chain object

    // memory accounting
    std::atomic<std::int64_t> live_blocks{0}, live_bytes{0}, total_allocs{0}, perform_allocs{0};
    std::atomic<std::int64_t> frees_without_dsp_free{0};  // signal objects freed without z_dsp_free
    std::atomic<std::int64_t> fail_countdown{0};  // 0: off; n: the nth allocation from now fails
    std::atomic<std::size_t> fail_above{SIZE_MAX};

    std::recursive_mutex console_lock;  // the sink and stderr (a sink may post)
    std::function<void(const ConsoleLine &)> sink;
};

Runtime &rt();
t_symbol *intern(const char *s);
ObjRec *find_object(const void *x);
void add_object(const void *x, std::unique_ptr<ObjRec> rec);
void remove_object(const void *x);
std::string class_name_of(const void *x);
// Holds the loading lock and marks this thread as the loading one while it lives.
struct LoadingLock {
    LoadingLock();
    ~LoadingLock();
    LoadingLock(const LoadingLock &) = delete;
    LoadingLock &operator=(const LoadingLock &) = delete;
};
bool loading_here();  // an entry routine runs on this thread

void post_line(ConsoleLine::Kind kind, const void *x, const char *fmt, va_list ap);
void post_text(ConsoleLine::Kind kind, const std::string &object, const std::string &text);

void *accounted_alloc(std::size_t size, bool clear, bool injectable);
void *accounted_realloc(void *p, std::size_t size);
void accounted_free(void *p);
// Allocations the host counted while a perform routine ran on this thread.
std::int64_t host_allocations_here();

void add_perform64(t_object *chain, t_object *x, t_perfroutine64 f, long flags, void *userparam);
void add_perform32(t_perfroutine f, int n, va_list ap);
void *send_direct(void *x, t_symbol *s, void *const *p, int np);  // object_method on objects

void register_host_class(t_class *c);
void outlet_send(OutletRec *o, Event::Kind kind, double value);

ClockRec *clock_create(void *obj, method fn);
void clock_arm(ClockRec *c, double ms);  // on the audio thread of its patch: handed over
void clock_arm_at(ClockRec *c, double when);  // at a logical time (ms); one past is now
void clock_disarm(ClockRec *c);
void take_handed_clocks(PatchState &s);  // the scheduler applies what the audio thread handed over
bool free_clock(void *c);  // false when c is no clock
bool free_unboxed_object(void *x);  // false when x is no instance or already a box
void note_free_without_dsp_free(const ObjRec *r);
// What the host keeps for an object beside its record goes when the object is freed: the
// attributes it added, its obex entries, the calls still deferred for it and its proxies. The free
// routines call this once the object's record is removed, before its memory goes back to the
// allocator (which may hand the same block to the next object).
void forget_object_extras(void *x);
// Fires every armed clock due at or before `until` (see clocks.cpp).
void fire_clocks(PatchState &s, double until, bool at_block_end = false);

// atoms
t_atom_long saturate32(std::int64_t v);
double atom_number(const t_atom &a);
t_atom_long atom_integer(const t_atom &a);
std::vector<t_atom> to_t_atoms(const Atoms &atoms);
std::string atom_text(const t_atom &a);
bool is_floatish(int t);
bool is_longish(int t);
bool is_symish(int t);
struct CallResult {
    bool ok;
    void *ret;
    std::string why;
};
// Calls `fn` with the leading `self` (an instance, or nothing for a new routine) and the
// arguments converted by the type list. Returns false and says why when they do not fit.
CallResult typed_call(method fn, void *self, bool has_self, t_symbol *sel, const std::vector<int> &types,
                      std::vector<t_atom> &argv);
bool is_float_selector(const std::string &s);
bool is_int_selector(const std::string &s);
std::string lower(std::string s);

// messages
void post_error(const std::string &object, const std::string &text);
void set_inlet(ObjRec *r, int inlet);
int inlet_count(const ObjRec *r);
void dispatch(ObjRec *r, int inlet, const std::string &selector_in, std::vector<t_atom> argv);
// A message no method takes but an attribute does: `NAME value...` sets the attribute NAME of the
// object (its own, else its class's), `getNAME` answers NAME's value out of its dumpout outlet.
// False when the selector names no attribute of this object (nothing done then).
bool attr_message(ObjRec *r, int inlet, const std::string &selector, std::vector<t_atom> &argv);

}  // namespace tk::detail
