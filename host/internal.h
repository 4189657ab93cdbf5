// Internals shared by the runtime and the two stand-in host libraries (not for externals).
#pragma once

#include <ext.h>
#include <z_dsp.h>

#include <cstdarg>
#include <map>
#include <memory>
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

struct ObjRec;

struct OutletRec {
    ObjRec *owner;
    int created;  // creation order; the first created is the rightmost
    bool signal;
};

struct ClockRec {
    void *obj;
    method fn;
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

struct Runtime {
    std::unordered_map<std::string, std::unique_ptr<t_symbol>> symbols;
    std::vector<std::unique_ptr<t_class>> classes;
    std::map<std::string, t_class *> box_classes;  // registered in "box", by name and lower case
    std::map<std::string, std::string> loaded_files;  // module path -> class name
    std::vector<std::string> paths;
    std::unordered_map<const void *, std::unique_ptr<ObjRec>> objects;
    std::unordered_map<const void *, ClockRec *> clocks;

    // what is happening now
    t_class *defining = nullptr;               // class whose entry routine runs
    std::vector<t_class *> registered_now;     // classes registered by that entry routine
    std::vector<std::string> *banner = nullptr;  // posts of the entry routine land here too
    std::vector<PerformEntry> *compiling = nullptr;  // entries collected by dsp64/dsp
    t_object *chain_object = nullptr;
    bool in_perform = false;

    double sr = 44100.0;
    int block = 64;

    // logical time in ms and the clocks
    double now = 0.0;
    std::uint64_t clock_seq = 0;
    // no armed clock is due before this time (a lower bound: disarming leaves it as it is),
    // so that the scan after each block is skipped while nothing can be due
    double earliest_due = 0.0;
    int firing = 0;

    // memory accounting
    std::int64_t live_blocks = 0, live_bytes = 0, total_allocs = 0, perform_allocs = 0;
    std::int64_t frees_without_dsp_free = 0;  // signal objects freed without z_dsp_free
    std::int64_t fail_countdown = 0;  // 0: off; n: the nth allocation from now fails
    std::size_t fail_above = SIZE_MAX;

    ConsoleCapture *capture = nullptr;
    std::function<void(const ConsoleLine &)> sink;
};

Runtime &rt();
t_symbol *intern(const char *s);
ObjRec *find_object(const void *x);
std::string class_name_of(const void *x);

void post_line(ConsoleLine::Kind kind, const void *x, const char *fmt, va_list ap);
void post_text(ConsoleLine::Kind kind, const std::string &object, const std::string &text);

void *accounted_alloc(std::size_t size, bool clear, bool injectable);
void *accounted_realloc(void *p, std::size_t size);
void accounted_free(void *p);

void add_perform64(t_object *chain, t_object *x, t_perfroutine64 f, long flags, void *userparam);
void add_perform32(t_perfroutine f, int n, va_list ap);
void *send_direct(void *x, t_symbol *s, void *const *p, int np);  // object_method on objects

void register_host_class(t_class *c);
void outlet_send(OutletRec *o, Event::Kind kind, double value);

ClockRec *clock_create(void *obj, method fn);
void clock_arm(ClockRec *c, double ms);
void clock_disarm(ClockRec *c);
bool free_clock(void *c);  // false when c is no clock
bool free_unboxed_object(void *x);  // false when x is no instance or already a box
void note_free_without_dsp_free(const ObjRec *r);
// Fires every armed clock due at or before `until` (see clocks.cpp).
void fire_clocks(double until, bool at_block_end = false);

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

}  // namespace tk::detail
