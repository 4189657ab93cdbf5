// Time objects and the transport (MaxAPI): a time value is milliseconds (a number, "250ms") or
// tempo-relative ticks ("4n", "8nd", "4nt", "480ticks"); one transport runs at 120 beats a minute
// with 480 ticks a beat. time_schedule arms the owner's task after the value, quantised when asked.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "sdkapi.h"

using namespace tk::detail;

namespace {

constexpr double kTempo = 120.0;  // beats a minute
constexpr double kPPQ = 480.0;    // ticks a beat

double ticks_to_ms(double t) { return t * 60000.0 / (kTempo * kPPQ); }
double ms_to_ticks(double ms) { return ms * (kTempo * kPPQ) / 60000.0; }

struct TimeRec {
    t_object header;
    void *owner;
    t_symbol *attr;
    method tick;
    long flags;
    bool fixed = true;  // ms; else ticks
    double value = 0;
    ClockRec *clock = nullptr;
};

struct Times {
    std::mutex lock;
    std::vector<std::unique_ptr<TimeRec>> all;
};
Times &times() {
    static Times *t = new Times();
    return *t;
}

TimeRec *as_time(const void *p) {
    std::lock_guard g(times().lock);
    for (auto &t : times().all)
        if (t.get() == p) return t.get();
    return nullptr;
}

TimeRec *named_time(const void *owner, t_symbol *attr) {
    std::lock_guard g(times().lock);
    for (auto &t : times().all)
        if (t->owner == owner && t->attr == attr) return t.get();
    return nullptr;
}

// One word of a time value; false when it is none of the forms above.
bool parse_time_word(const std::string &w, bool &fixed, double &value) {
    char *end = nullptr;
    double n = std::strtod(w.c_str(), &end);
    std::string unit = end ? end : "";
    if (end == w.c_str()) return false;  // a value starts with its number
    if (!std::isfinite(n)) return false;
    if (unit.empty() || unit == "ms") {
        fixed = true;
        value = n;
        return true;
    }
    if (unit == "ticks" || unit == "tick") {
        fixed = false;
        value = n;
        return true;
    }
    if (unit[0] == 'n' && unit.size() <= 2 && n > 0) {  // note values: 4n a quarter, d dotted, t triplet
        double t = 4.0 * kPPQ / n;
        if (unit.size() == 2) {
            if (unit[1] == 'd') t *= 1.5;
            else if (unit[1] == 't') t *= 2.0 / 3.0;
            else return false;
        }
        fixed = false;
        value = t;
        return true;
    }
    return false;
}

double interval_ms(const TimeRec *t) { return t->fixed ? t->value : ticks_to_ms(t->value); }
double interval_ticks(const TimeRec *t) { return t->fixed ? ms_to_ticks(t->value) : t->value; }

t_max_err time_attr_get(void *x, void *attr, long *ac, t_atom **av) {
    auto *a = static_cast<AttrRec *>(attr);
    TimeRec *t = named_time(x, intern(a->name.c_str()));
    if (!ac || !av) return 1;
    if (!*av || *ac < 1) {
        *av = static_cast<t_atom *>(accounted_alloc(sizeof(t_atom), true, true));
        if (!*av) return 1;
    }
    *ac = 1;
    if (!t || t->fixed) {
        (*av)->a_type = A_FLOAT;
        (*av)->a_w.w_float = t_atom_float(t ? t->value : 0.0);
    } else {
        (*av)->a_type = A_SYM;
        (*av)->a_w.w_sym = intern((std::to_string(std::llround(t->value)) + "ticks").c_str());
    }
    return 0;
}

}  // namespace

bool tk::detail::free_time_object(void *p) {
    std::unique_ptr<TimeRec> gone;
    {
        std::lock_guard g(times().lock);
        auto &v = times().all;
        for (auto it = v.begin(); it != v.end(); ++it)
            if (it->get() == p) {
                gone = std::move(*it);
                v.erase(it);
                break;
            }
    }
    if (!gone) return false;
    if (gone->clock) free_clock(gone->clock);
    return true;
}

extern "C" {

void time_setvalue(t_object *tx, t_symbol *s, long argc, t_atom *argv);

t_max_err time_attr_set(void *x, void *attr, long ac, t_atom *av) {
    auto *a = static_cast<AttrRec *>(attr);
    TimeRec *t = named_time(x, intern(a->name.c_str()));
    if (!t) return 1;
    time_setvalue(&t->header, nullptr, ac, av);
    return 0;
}

void *time_new(t_object *owner, t_symbol *attrname, method tick, long flags) {
    auto t = std::make_unique<TimeRec>();
    t->owner = owner;
    t->attr = attrname;
    t->tick = tick;
    t->flags = flags;
    if (tick) t->clock = clock_create(owner, tick);
    std::lock_guard g(times().lock);
    times().all.push_back(std::move(t));
    return &times().all.back()->header;
}

t_object *time_getnamed(t_object *owner, t_symbol *attrname) {
    TimeRec *t = named_time(owner, attrname);
    return t ? &t->header : nullptr;
}

void class_time_addattr(t_class *c, const char *attrname, const char *attrlabel, long flags) {
    AttrRec *a = new_attr();
    a->name = attrname ? attrname : "";
    a->type = intern("time");
    a->flags = flags;
    a->get = reinterpret_cast<method>(time_attr_get);
    a->set = reinterpret_cast<method>(time_attr_set);
    if (attrlabel) {
        t_atom l;
        l.a_type = A_SYM;
        l.a_w.w_sym = intern(attrlabel);
        a->attrs["label"] = {l};
    }
    class_add_attr(c, a);
}

void time_setvalue(t_object *tx, t_symbol *s, long argc, t_atom *argv) {
    TimeRec *t = as_time(tx);
    if (!t) return;
    std::vector<t_atom> v;
    // a selector that is itself a value ("4n" sent as a message) comes first
    if (s && std::strcmp(s->s_name, "int") != 0 && std::strcmp(s->s_name, "float") != 0 && std::strcmp(s->s_name, "list") != 0 && s->s_name[0]) {
        t_atom a;
        a.a_type = A_SYM;
        a.a_w.w_sym = s;
        v.push_back(a);
    }
    if (argc > 0 && argv) v.insert(v.end(), argv, argv + argc);
    const std::string who = class_name_of(t->owner);
    if (v.size() != 1) {
        post_text(tk::ConsoleLine::Error, who, "time value: one value expected (a number of ms, NNms, NNticks or a note value such as 4n), not " + std::to_string(v.size()) + "; unchanged");
        return;
    }
    bool fixed = true;
    double value = 0;
    if (v[0].a_type == A_SYM) {
        if (!parse_time_word(v[0].a_w.w_sym->s_name, fixed, value)) {
            post_text(tk::ConsoleLine::Error, who, std::string("time value '") + v[0].a_w.w_sym->s_name + "' not understood (a number of ms, NNms, NNticks or a note value such as 4n); unchanged");
            return;
        }
    } else {
        value = atom_number(v[0]);
        if (!std::isfinite(value)) {
            post_text(tk::ConsoleLine::Error, who, "time value must be finite; unchanged");
            return;
        }
    }
    if (value < 0) value = 0;
    t->fixed = fixed;
    t->value = value;
}

double time_getms(t_object *x) {
    TimeRec *t = as_time(x);
    return t ? interval_ms(t) : 0.0;
}
double time_getticks(t_object *x) {
    TimeRec *t = as_time(x);
    return t ? interval_ticks(t) : 0.0;
}
long time_isfixedunit(t_object *x) {
    TimeRec *t = as_time(x);
    return t && t->fixed ? 1 : 0;
}

// Runs the task after the interval; with a quantize value q above zero, at the first multiple of
// q (counted from time 0) at or after that.
void time_schedule(t_object *x, t_object *quantize) {
    TimeRec *t = as_time(x);
    if (!t || !t->clock) return;
    double delay = interval_ms(t);
    if (TimeRec *q = quantize ? as_time(quantize) : nullptr) {
        double qms = interval_ms(q);
        if (qms > 0) {
            double now = logical_now();
            double due = std::ceil((now + delay) / qms - 1e-9) * qms;
            delay = due - now;
        }
    }
    clock_arm(t->clock, delay);
}

void time_stop(t_object *x) {
    TimeRec *t = as_time(x);
    if (t && t->clock) clock_disarm(t->clock);
}

void *time_getitm(t_object *) {
    static t_object transport{};
    return &transport;
}
void *itm_getglobal(void) { return time_getitm(nullptr); }
double itm_tickstoms(void *, double ticks) { return ticks_to_ms(ticks); }
double itm_mstoticks(void *, double ms) { return ms_to_ticks(ms); }
double itm_gettime(void *) { return ms_to_ticks(logical_now()); }
double itm_getticks(void *) { return ms_to_ticks(logical_now()); }
double itm_gettempo(void *) { return kTempo; }

}  // extern "C"
