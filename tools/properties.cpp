// The property checks: what each kind of external is for, across the grid of sample rates
// (1 kHz to 384 kHz, odd ones included) and vector sizes (1 to 4096, random ones included),
// with parameter values from their whole ranges (limits, just inside and outside them, NaN,
// infinities) sent while audio runs. Each case is reproducible alone from the seed and its
// number (--only KIND --case K).
#include "properties.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "tildehost.h"

namespace tilde::vd {

[[noreturn]] void fail(const std::string &why) { throw std::runtime_error(why); }

std::string num(double v) {
    char b[64];
    std::snprintf(b, sizeof b, "%.9g", v);
    return b;
}

namespace {

double db_to_lin(double db) { return std::pow(10.0, db / 20.0); }
double lin_to_db(double v) { return 20.0 * std::log10(v); }

// ---- the grid ------------------------------------------------------------------------

const std::vector<double> kRates = {1000, 48000, 1234.5678, 384000, 44100, 8000, 96000, 44123.45, 192000, 22050, 123456.78};
const std::vector<int> kVectors = {1, 64, 7, 4096, 8, 2, 63, 1000, 16, 3, 2027};

struct Case {
    long long index;
    double sr;
    int n;
    std::mt19937_64 g;
    std::vector<std::string> log;  // what was set, for the failure message
    std::string stimulus;
};

std::uint64_t case_seed(const Context &c, const std::string &kind, long long k) {
    std::uint64_t h = c.seed ^ 0x9E3779B97F4A7C15ull;
    for (char ch : c.name + "/" + kind) h = (h ^ std::uint8_t(ch)) * 0x100000001b3ull;
    return h ^ (std::uint64_t(k) * 0xD6E8FEB86659FD93ull);
}

// Rates and vector sizes cycle through the edges; every fourth case takes a random rate and
// every fifth a random vector size. Heavy properties may cap the rate of quick cases.
Case make_case(const Context &c, const std::string &kind, long long k) {
    Case cs{k, 0, 0, std::mt19937_64(case_seed(c, kind, k)), {}, {}};
    std::uniform_real_distribution<double> lr(std::log(1000.0), std::log(384000.0));
    std::uniform_int_distribution<int> vs(1, 4096);
    cs.sr = k % 4 == 3 ? std::exp(lr(cs.g)) : kRates[std::size_t(k) % kRates.size()];
    cs.n = k % 5 == 4 ? vs(cs.g) : kVectors[std::size_t(k / 2 + k) % kVectors.size()];
    return cs;
}

// ---- parameters ----------------------------------------------------------------------

std::pair<double, double> range_of(const Property &p, const Param &q) {
    auto it = p.range.find(q.name);
    return it == p.range.end() ? std::make_pair(q.lo, q.hi) : it->second;
}

bool varies(const Property &p, const Param &q) { return std::find(p.vary.begin(), p.vary.end(), q.name) != p.vary.end(); }

double random_in(const Param &q, double lo, double hi, std::mt19937_64 &g) {
    if (q.log && lo > 0 && hi > lo) return std::exp(std::uniform_real_distribution<double>(std::log(lo), std::log(hi))(g));
    return std::uniform_real_distribution<double>(lo, hi)(g);
}

// A valid value for case k (the expectation can be computed from it): the limits, just inside
// them, the declared points, just outside (where the object clamps), random ones.
double valid_value(const Property &p, const Param &q, long long k, int j, std::mt19937_64 &g) {
    auto [lo, hi] = range_of(p, q);
    const double span = hi - lo;
    bool own = lo == q.lo && hi == q.hi;
    std::vector<double> points;
    for (double v : q.points)
        if (v >= lo && v <= hi) points.push_back(v);
    switch ((k + j) % 8) {
        case 0: return lo;
        case 1: return hi;
        case 2: return points.empty() ? random_in(q, lo, hi, g) : points[std::size_t(g() % points.size())];
        case 3: return lo + span * 1e-9;
        case 4: return hi - span * 1e-9;
        case 5: return own && (q.clamps || q.fallback) && !q.signal && !q.integer ? (g() % 2 ? lo - std::max(1e-9, span * 1e-9) : hi + std::max(1e-9, span * 1e-9))
                                                                                  : random_in(q, lo, hi, g);
        default: return random_in(q, lo, hi, g);
    }
}

// Any value, hostile ones included.
double any_value(const Param &q, std::mt19937_64 &g) {
    static const double hostile[] = {std::nan(""), HUGE_VAL, -HUGE_VAL, 1e300, -1e300, 0.0, -0.0, 1e-310};
    std::uniform_int_distribution<int> pick(0, 15);
    int k = pick(g);
    if (k < 8) return hostile[k];
    Property none;
    return valid_value(none, q, k, 0, g);
}

double effective(const Param &q, double v) {
    if (q.fallback && !(v >= q.lo && v <= q.hi)) return *q.fallback;
    return q.clamps ? std::clamp(v, q.lo, q.hi) : v;
}

// A whole-number parameter takes rounded values (within range: the nearest whole number inside).
double shaped(const Param &q, double v) {
    if (!q.integer || !std::isfinite(v)) return v;
    double r = std::round(v);
    if (v >= q.lo && v <= q.hi) r = std::clamp(r, std::ceil(q.lo), std::floor(q.hi));
    return r;
}

tk::Atoms message_atoms(const std::string &tmpl, double v, std::string &selector) {
    std::istringstream in(tmpl);
    std::string tok;
    tk::Atoms a;
    selector.clear();
    while (in >> tok) {
        if (selector.empty()) {
            selector = tok == "$" ? "float" : tok;
            if (tok == "$") a.push_back(tk::Atom(v));
            continue;
        }
        if (tok == "$")
            a.push_back(tk::Atom(v));
        else
            for (auto &x : tk::parse_atoms(tok)) a.push_back(x);
    }
    return a;
}

// ---- one box and its run --------------------------------------------------------------

using Gen = std::function<void(double *, long, std::int64_t)>;

struct Run {
    tk::Patch patch;
    tk::Box *box = nullptr;
    Context &c;
    Case &cs;
    std::map<std::string, double> values;  // last value sent per parameter
    Run(Context &ctx, Case &k, const Property &p, const std::string *creation = nullptr) : patch(k.sr, k.n), c(ctx), cs(k) {
        std::string args = creation ? *creation : c.prof.args;
        box = patch.create(c.name + (args.empty() ? "" : " " + args));
        if (!box) fail("the box '" + c.name + " " + args + "' was refused");
        for (int o = 0; o < box->outlets(); ++o)
            if (box->outlet_is_signal(o)) patch.capture(box, o);
        for (auto &m : p.setup) patch.send_text(box, 0, m);
        for (int i = 0; i < box->signal_inlets(); ++i) patch.unfeed(box, i);
    }
    void set(const Param &q, double v, bool log = true) {
        if (q.arg) return;  // creation arguments are placed when the box is made
        v = shaped(q, v);
        // a 32-bit host carries message numbers as single-precision floats
        values[q.name] = !q.signal && tk::host_width_bits() == 32 ? double(float(v)) : v;
        if (log) cs.log.push_back(q.name + "=" + num(v));
        if (q.signal) {
            if (q.inlet >= box->signal_inlets()) fail("parameter " + q.name + ": no signal inlet " + std::to_string(q.inlet));
            patch.feed(box, q.inlet, [v](double *o, long n, std::int64_t) { std::fill(o, o + n, v); });
        } else {
            std::string sel;
            tk::Atoms a = message_atoms(q.message, v, sel);
            patch.send(box, q.inlet, sel, a);
        }
    }
    void stimulate(const std::vector<int> &inputs, const Gen &gen) {
        for (int i : inputs)
            if (i < box->signal_inlets()) patch.feed(box, i, gen);
    }
    const std::vector<double> &out(int o) {
        if (o >= box->outlets() || !box->outlet_is_signal(o)) fail("no signal outlet " + std::to_string(o));
        return patch.output(box, o);
    }
};

std::string where(const Case &cs, const std::string &kind) {
    std::string s = kind + ": " + num(cs.sr) + " Hz, vector size " + std::to_string(cs.n) + ", case " + std::to_string(cs.index);
    if (!cs.stimulus.empty()) s += ", " + cs.stimulus;
    if (!cs.log.empty()) {
        s += ", settings";
        for (auto &l : cs.log) s += " " + l;
    }
    return s;
}

// Stimuli: all deterministic functions of the sample index.
Gen sine(double sr, double f, double a) {
    return [sr, f, a](double *o, long n, std::int64_t s) {
        for (long k = 0; k < n; ++k) o[k] = a * std::sin(2 * M_PI * f * double(s + k) / sr);
    };
}
Gen square(double sr, double f, double a) {
    return [sr, f, a](double *o, long n, std::int64_t s) {
        for (long k = 0; k < n; ++k) o[k] = std::fmod(double(s + k) * f / sr, 1.0) < 0.5 ? a : -a;
    };
}
Gen impulses(std::int64_t every, double a) {
    return [every, a](double *o, long n, std::int64_t s) {
        for (long k = 0; k < n; ++k) o[k] = (s + k) % every == 0 ? a : 0.0;
    };
}
Gen noise(std::uint64_t seed, double a) {
    return [seed, a](double *o, long n, std::int64_t s) {
        for (long k = 0; k < n; ++k) {
            std::uint64_t z = (seed + std::uint64_t(s + k)) * 0x9E3779B97F4A7C15ull;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            z ^= z >> 31;
            o[k] = a * (double(z >> 11) * 0x1.0p-53 * 2.0 - 1.0);
        }
    };
}
Gen constant(double a) {
    return [a](double *o, long n, std::int64_t) { std::fill(o, o + n, a); };
}

// One of the test signals, at amplitude a, chosen by the case.
Gen pick_stimulus(Case &cs, double a, int which) {
    double f = std::min(40.0 + double(cs.g() % 400), cs.sr / 8);
    switch (which % 4) {
        case 0: cs.stimulus = "sine " + num(f) + " Hz of " + num(a); return sine(cs.sr, f, a);
        case 1: cs.stimulus = "square " + num(f) + " Hz of " + num(a); return square(cs.sr, f, a);
        case 2: {
            std::int64_t every = std::max<std::int64_t>(2, std::int64_t(cs.sr / f));
            cs.stimulus = "impulses of " + num(a) + " every " + std::to_string(every) + " samples";
            return impulses(every, a);
        }
        default: cs.stimulus = "noise of peak " + num(a); return noise(cs.g(), a);
    }
}

std::int64_t frames(double seconds, double sr) { return std::max<std::int64_t>(1, std::int64_t(std::ceil(seconds * sr))); }
std::int64_t settle_frames(const Property &p, double sr) { return frames(p.settle_s, sr) + std::int64_t(p.settle_samples); }

// Stirs the box: hostile and valid values for every parameter, sent between blocks while
// noise (and, with `spike`, one huge sample) runs through it.
void stir(Run &r, const Property &p, Case &cs, bool spike) {
    const auto &params = r.c.prof.params;
    r.stimulate(p.inputs, noise(cs.g(), 1.0));
    for (int round = 0; round < 4; ++round) {
        for (auto &q : params) r.set(q, any_value(q, cs.g), false);
        r.patch.run(std::max<std::int64_t>(frames(0.005, cs.sr), cs.n));
    }
    if (spike) {
        static const double huge[] = {1e300, 1e30, -1e300, 1e10};
        double v = huge[cs.g() % 4];
        std::vector<double> one = {v};
        for (int i : p.inputs)
            if (i < r.box->signal_inlets()) r.patch.feed(r.box, i, one);
        r.patch.run(cs.n);
        cs.log.push_back("after one sample of " + num(v));
    }
}

// Settings for the judged part: valid values for the parameters the expectation depends on,
// any values for the others (unless `fixed`).
void settle_params(Run &r, const Property &p, Case &cs, bool any_for_free) {
    int j = 0;
    for (auto &q : r.c.prof.params) {
        if (varies(p, q))
            r.set(q, valid_value(p, q, cs.index, j, cs.g));
        else if (any_for_free)
            r.set(q, any_value(q, cs.g));
        ++j;
    }
}

// Sends a random free parameter a random value (while audio runs).
void poke_free(Run &r, const Property &p, Case &cs) {
    std::vector<const Param *> free;
    for (auto &q : r.c.prof.params)
        if (!varies(p, q)) free.push_back(&q);
    if (free.empty()) return;
    const Param &q = *free[cs.g() % free.size()];
    r.set(q, any_value(q, cs.g));
}

double value_of(Run &r, const std::string &name) {
    for (auto &q : r.c.prof.params)
        if (q.name == name) {
            auto it = r.values.find(name);
            if (it == r.values.end()) fail("parameter " + name + " was never set");
            return effective(q, it->second);
        }
    fail("the profile names a parameter '" + name + "' it does not declare");
}

void check_finite_range(const std::vector<double> &v, std::size_t from, double lo, double hi, const std::string &what, const std::string &at) {
    for (std::size_t i = from; i < v.size(); ++i)
        if (!(v[i] >= lo && v[i] <= hi))
            fail(at + ": " + what + " is " + num(v[i]) + " at sample " + std::to_string(i) + ", outside " + num(lo) + " .. " + num(hi));
}

long long case_count(const Context &c, int quick, int full) { return c.full ? full : quick; }

template <class F>
void for_cases(Context &c, const std::string &kind, int quick, int full, F body) {
    long long total = case_count(c, quick, full);
    for (long long k = 0; k < total; ++k) {
        if (c.only_case && *c.only_case != k) continue;
        Case cs = make_case(c, kind, k);
        ++c.cases;
        c.case_now = k;
        body(cs);
    }
}

std::vector<const Property *> props_of(Context &c, const std::string &kind) {
    std::vector<const Property *> v;
    for (auto &p : c.prof.properties)
        if (p.kind == kind) v.push_back(&p);
    return v;
}

// ---- limiters: the output stays under the ceiling, the gain within 0..1 ----------------

void check_limit(Context &c) {
    for (const Property *pp : props_of(c, "limit")) {
        const Property &p = *pp;
        for_cases(c, "limit", 12, 120, [&](Case &cs) {
            Run r(c, cs, p);
            stir(r, p, cs, false);
            settle_params(r, p, cs, true);
            double ceiling = db_to_lin(value_of(r, p.ceiling));
            static const double over[] = {4, 30, 2, 30};  // 6 to 30 dB over the ceiling
            Gen gen = pick_stimulus(cs, ceiling * over[cs.g() % 4], int(cs.index));
            r.stimulate(p.inputs, gen);
            r.patch.clear_outputs();
            r.patch.run(settle_frames(p, cs.sr));
            const std::string at = where(cs, "limit");
            for (int o : p.gain_outlets) check_finite_range(r.out(o), 0, 0, 1, "the gain", at + ", while settling");
            r.patch.clear_outputs();
            const double limit = ceiling * db_to_lin(p.tolerance_db);
            for (int part = 0; part < 5; ++part) {
                if (part) poke_free(r, p, cs);
                r.patch.run(frames(0.05, cs.sr));
            }
            for (int o : p.outputs) check_finite_range(r.out(o), 0, -limit, limit, "outlet " + std::to_string(o), at + " (ceiling " + num(ceiling) + ")");
            for (int o : p.gain_outlets) check_finite_range(r.out(o), 0, 0, 1, "the gain", at);
        });
    }
}

// ---- compressors and gates ------------------------------------------------------------

void check_gainrange(Context &c) {
    for (const Property *pp : props_of(c, "gainrange")) {
        const Property &p = *pp;
        for_cases(c, "gainrange", 12, 120, [&](Case &cs) {
            Run r(c, cs, p);
            const std::string at0 = where(cs, "gainrange");
            stir(r, p, cs, cs.index % 3 == 2);
            static const double amp[] = {1, 1e-4, 30, 1e6};
            r.stimulate(p.inputs, pick_stimulus(cs, amp[cs.g() % 4], int(cs.index)));
            r.patch.clear_outputs();
            for (int part = 0; part < 8; ++part) {
                poke_free(r, p, cs);
                r.patch.run(frames(0.03, cs.sr));
            }
            // rounding may put a gain of exactly 1 a few units of the last place above it
            for (int o : p.gain_outlets)
                check_finite_range(r.out(o), 0, p.lo - 1e-12 * std::fabs(p.lo), p.hi + 1e-12 * std::fabs(p.hi), "the gain at outlet " + std::to_string(o),
                                   where(cs, "gainrange"));
            (void)at0;
        });
    }
}

double expected_unity(Run &r, const Property &p) {
    if (p.expect_db_param.empty()) return p.expect;
    double v = value_of(r, p.expect_db_param);
    return v == p.expect_db_closed ? p.expect : db_to_lin(v);
}

void check_unity(Context &c) {
    for (const Property *pp : props_of(c, "unity")) {
        const Property &p = *pp;
        for_cases(c, "unity", 8, 80, [&](Case &cs) {
            if (!c.full && cs.sr > 200000) cs.sr = 96000;  // the quick grid keeps long settles affordable
            Run r(c, cs, p);
            stir(r, p, cs, true);
            settle_params(r, p, cs, true);
            double thr = value_of(r, p.threshold);
            double amp = db_to_lin(thr - p.below_db);
            double f = std::min(100.0, cs.sr / 16);
            cs.stimulus = "sine " + num(f) + " Hz of " + num(amp) + " (" + num(p.below_db) + " dB below the threshold)";
            r.stimulate(p.inputs, sine(cs.sr, f, amp));
            r.patch.run(settle_frames(p, cs.sr));
            r.patch.clear_outputs();
            r.patch.run(frames(0.05, cs.sr));
            double want = expected_unity(r, p);
            double lo = want * db_to_lin(-p.tolerance_db), hi = want * db_to_lin(p.tolerance_db);
            for (int o : p.gain_outlets)
                check_finite_range(r.out(o), 0, lo, hi, "the gain at outlet " + std::to_string(o) + " (should settle to " + num(want) + " within " + num(p.settle_s) + " s)",
                                   where(cs, "unity"));
        });
    }
}

// The static curve, measured with constant levels (the slowest sines) climbing in 3 dB steps:
// the settled output level may not fall as the input rises. (A sine that the detector follows
// within its cycle measures the waveform's distortion, not the curve.)
void check_monotonic(Context &c) {
    for (const Property *pp : props_of(c, "monotonic")) {
        const Property &p = *pp;
        for_cases(c, "monotonic", 4, 40, [&](Case &cs) {
            if (!c.full && cs.sr > 100000) cs.sr = 48000;
            Run r(c, cs, p);
            settle_params(r, p, cs, true);
            cs.stimulus = "constant levels from -100 to +20 dB in 3 dB steps";
            double prev = -1, prev_db = 0;
            const std::int64_t step = settle_frames(p, cs.sr);
            const std::int64_t tail = std::max<std::int64_t>(1, step / 8);
            for (double db = -100; db <= 20; db += 3) {
                r.stimulate(p.inputs, constant(db_to_lin(db)));
                r.patch.run(step - tail);
                r.patch.clear_outputs();
                r.patch.run(tail);
                double peak = 0;
                for (int o : p.outputs)
                    for (double v : r.out(o)) {
                        if (!std::isfinite(v)) fail(where(cs, "monotonic") + ": outlet " + std::to_string(o) + " gives " + num(v) + " at " + num(db) + " dB");
                        peak = std::max(peak, std::fabs(v));
                    }
                if (prev >= 0 && peak < prev * db_to_lin(-p.tolerance_db))
                    fail(where(cs, "monotonic") + ": the output falls from " + num(prev) + " at " + num(prev_db) + " dB to " + num(peak) + " at " +
                         num(db) + " dB in (the static curve must not fall as the input rises)");
                prev = peak;
                prev_db = db;
            }
        });
    }
}

// ---- linear filters -------------------------------------------------------------------

// The impulse response of a fresh box at the case's valid settings.
std::vector<double> impulse_response(Context &c, Case &cs, const Property &p, const std::map<std::string, double> &vals, int outlet,
                                     bool *decayed = nullptr) {
    if (decayed) *decayed = false;
    Case k = cs;
    Run r(c, k, p);
    for (auto &q : c.prof.params) {
        auto it = vals.find(q.name);
        if (it != vals.end()) r.set(q, it->second, false);
    }
    std::vector<double> one = {1.0};
    for (int i : p.inputs)
        if (i < r.box->signal_inlets()) r.patch.feed(r.box, i, one);
    // until the response has died away (below 1e-13 of its peak for a whole chunk), at most
    // max_response_s
    // (the quick grid stops at 2^17 samples: a longer response is judged for growth only)
    const std::int64_t chunk = std::max<std::int64_t>(4096, frames(0.05, cs.sr)),
                       cap = std::min<std::int64_t>(frames(p.max_response_s, cs.sr), c.full ? (1 << 23) : (1 << 17));
    double peak = 0;
    std::size_t seen = 0;
    for (std::int64_t done = 0; done < cap; done += chunk) {
        r.patch.run(chunk);
        const auto &h = r.out(outlet);
        double tail = 0;
        for (std::size_t i = seen; i < h.size(); ++i) {
            if (!std::isfinite(h[i])) return h;
            tail = std::max(tail, std::fabs(h[i]));
        }
        peak = std::max(peak, tail);
        seen = h.size();
        if (done > 0 && tail <= 1e-13 * peak) {
            if (decayed) *decayed = true;
            return h;
        }
    }
    return r.out(outlet);
}

std::map<std::string, double> valid_settings(Context &c, const Property &p, Case &cs) {
    std::map<std::string, double> v;
    int j = 0;
    for (auto &q : c.prof.params) {
        if (varies(p, q)) {
            double x = valid_value(p, q, cs.index, j, cs.g);
            v[q.name] = x;
            cs.log.push_back(q.name + "=" + num(x));
        }
        ++j;
    }
    return v;
}

double eff(Context &c, const std::map<std::string, double> &vals, const std::string &name) {
    for (auto &q : c.prof.params)
        if (q.name == name) {
            auto it = vals.find(name);
            if (it == vals.end()) fail("the property needs parameter " + name + " among those it varies");
            return effective(q, it->second);
        }
    fail("the profile names a parameter '" + name + "' it does not declare");
}

void check_stable(Context &c) {
    for (const Property *pp : props_of(c, "stable")) {
        const Property &p = *pp;
        for_cases(c, "stable", 12, 160, [&](Case &cs) {
            auto vals = valid_settings(c, p, cs);
            cs.stimulus = "an impulse";
            for (int o : p.outputs) {
                bool decayed = false;
                auto h = impulse_response(c, cs, p, vals, o, &decayed);
                const std::string at = where(cs, "stable") + ", outlet " + std::to_string(o);
                // unstable: not finite, or growing faster than linearly (a slow double pole near 1
                // rises linearly for a while: at most 2x between the second and the last quarter)
                double q2 = 0, q4 = 0;
                const std::size_t N = h.size();
                for (std::size_t i = 0; i < N; ++i) {
                    if (!std::isfinite(h[i])) fail(at + ": the impulse response is " + num(h[i]) + " at sample " + std::to_string(i));
                    if (i >= N / 4 && i < N / 2) q2 = std::max(q2, std::fabs(h[i]));
                    if (i >= 3 * N / 4) q4 = std::max(q4, std::fabs(h[i]));
                }
                if (q4 > 4 * q2 && q4 > 1e-300)
                    fail(at + ": the impulse response grows from " + num(q2) + " (second quarter of " + std::to_string(N) + " samples) to " + num(q4) +
                         " (last quarter): unstable");
                if (decayed && !p.gains.empty()) c.gains_judged++;
                for (auto &sg : p.gains) {
                    if (!decayed) break;  // a response cut off before it died away has no exact gains
                    double w;
                    if (sg.at == "dc") w = 0;
                    else if (sg.at == "nyquist") w = M_PI;
                    else {
                        // a parameter in hertz, or "factor:PARAM" for a factor l = cot(pi f / rate)
                        double f = sg.at.rfind("factor:", 0) == 0 ? cs.sr / M_PI * std::atan(1.0 / eff(c, vals, sg.at.substr(7))) : eff(c, vals, sg.at);
                        if (!(f > 0 && f < cs.sr / 2)) continue;  // beyond the band at this rate
                        w = 2 * M_PI * f / cs.sr;
                    }
                    std::complex<double> H = 0, z = 1, step = std::polar(1.0, -w);
                    for (std::size_t i = 0; i < h.size(); ++i) {
                        if (i % 1024 == 0) z = std::polar(1.0, -w * double(i));  // keep the rotation exact
                        H += h[i] * z;
                        z *= step;
                    }
                    double want = sg.gain_db_param.empty() ? sg.gain : db_to_lin(eff(c, vals, sg.gain_db_param));
                    double got = std::abs(H);
                    bool ok = want == 0 ? got <= 1e-6 : std::fabs(lin_to_db(got) - lin_to_db(want)) <= sg.tol_db;
                    if (!ok)
                        fail(at + ": the gain at " + (sg.at == "dc" || sg.at == "nyquist" ? sg.at : sg.at + " (" + num(w * cs.sr / (2 * M_PI)) + " Hz)") + " is " +
                             num(got) + ", the stated gain " + num(want) + (want == 0 ? "" : " within " + num(sg.tol_db) + " dB"));
                }
            }
        });
    }
}

double l1(const std::vector<double> &h) {
    double s = 0;
    for (double v : h) s += std::fabs(v);
    return s;
}

// After a parameter change from any setting, the output stays within `margin` times the larger
// of what the box gave before the change and the input's peak through the settled filter at the
// new setting (the sum of its impulse response's magnitudes).
void check_noburst(Context &c) {
    for (const Property *pp : props_of(c, "noburst")) {
        const Property &p = *pp;
        for_cases(c, "noburst", 12, 120, [&](Case &cs) {
            Run r(c, cs, p);
            // the setting before: limits first, then anything
            int j = 0;
            for (auto &q : c.prof.params) {
                auto [lo, hi] = p.from_any ? std::make_pair(q.lo, q.hi) : range_of(p, q);
                double v = cs.index % 3 == 0 ? lo : cs.index % 3 == 1 && j % 2 ? hi
                         : p.from_any       ? any_value(q, cs.g)
                                            : valid_value(p, q, cs.index / 3, j, cs.g);
                r.set(q, v);
                ++j;
            }
            static const double levels[] = {1, 0.25};
            double P = levels[cs.g() % 2];
            Gen gen;
            switch (cs.index % 4) {
                case 0: gen = constant(P); cs.stimulus = "constant " + num(P); break;
                case 1: gen = noise(cs.g(), P); cs.stimulus = "noise of peak " + num(P); break;
                case 2: gen = sine(cs.sr, std::min(cs.sr / 4, 30.0 + double(cs.g() % 2000)), P); cs.stimulus = "a sine of " + num(P); break;
                default: gen = square(cs.sr, std::min(cs.sr / 4, 30.0 + double(cs.g() % 500)), P); cs.stimulus = "a square of " + num(P); break;
            }
            r.stimulate(p.inputs, gen);
            double before_s = c.full ? 0.02 + double(cs.g() % 1000) / 1000.0 : 0.02 + double(cs.g() % 300) / 1000.0;
            r.patch.clear_outputs();
            r.patch.run(frames(before_s, cs.sr));
            double before = 0;
            for (int o : p.outputs)
                for (double v : r.out(o))
                    if (std::isfinite(v)) before = std::max(before, std::fabs(v));
            cs.log.push_back("for " + num(before_s) + " s, then");
            auto vals = valid_settings(c, p, cs);
            for (auto &q : c.prof.params) {
                auto it = vals.find(q.name);
                if (it != vals.end()) r.set(q, it->second, false);
            }
            r.patch.clear_outputs();
            r.patch.run(frames(0.1, cs.sr));
            const std::string at = where(cs, "noburst");
            for (int o : p.outputs) {
                Case k = cs;
                double g = l1(impulse_response(c, k, p, vals, o));
                double bound = p.margin * std::max(before, P * g) + 1e-12;
                const auto &y = r.out(o);
                for (std::size_t i = 0; i < y.size(); ++i)
                    if (!(std::fabs(y[i]) <= bound))
                        fail(at + ": outlet " + std::to_string(o) + " gives " + num(y[i]) + " at sample " + std::to_string(i) + " after the change, beyond " +
                             num(bound) + " (" + num(p.margin) + " x the larger of " + num(before) + " before it and the input's peak " + num(P) +
                             " through the new setting's response, " + num(g) + "): stored energy released");
            }
        });
    }
}

// With zero input after any history (hostile settings included), then valid settings, the
// output falls below -120 dB of the input's peak within the stated time.
void check_decay(Context &c) {
    for (const Property *pp : props_of(c, "decay")) {
        const Property &p = *pp;
        for_cases(c, "decay", 12, 120, [&](Case &cs) {
            Run r(c, cs, p);
            stir(r, p, cs, false);
            int which = int(cs.index % 3);
            Gen gen = which == 0 ? constant(1.0) : which == 1 ? noise(cs.g(), 1.0) : sine(cs.sr, std::min(cs.sr / 4, 200.0), 1.0);
            cs.stimulus = which == 0 ? "constant 1" : which == 1 ? "noise of peak 1" : "sine of 1";
            r.stimulate(p.inputs, gen);
            r.patch.run(frames(0.05, cs.sr));
            settle_params(r, p, cs, false);
            r.patch.run(frames(0.05, cs.sr));
            r.stimulate(p.inputs, constant(0.0));
            r.patch.run(frames(p.decay_s, cs.sr) + std::int64_t(p.decay_samples));
            r.patch.clear_outputs();
            r.patch.run(frames(0.01, cs.sr));
            for (int o : p.outputs)
                check_finite_range(r.out(o), 0, -1e-6, 1e-6,
                                   "outlet " + std::to_string(o) + " (" + num(p.decay_s) + " s and " + num(p.decay_samples) + " samples after the input stopped)",
                                   where(cs, "decay"));
        });
    }
}

// ---- expectations as expressions ------------------------------------------------------

// The names an expectation may use: every parameter set so far (its effective value), `rate`,
// `vector`, the property's definitions in order, and any extra ones.
std::map<std::string, double> names_of(Run &r, const Property &p, const std::map<std::string, double> &extra = {}) {
    std::map<std::string, double> v = extra;
    v["rate"] = r.cs.sr;
    v["vector"] = r.cs.n;
    for (auto &q : r.c.prof.params)
        if (auto it = r.values.find(q.name); it != r.values.end()) v[q.name] = effective(q, it->second);
    for (auto &[name, e] : p.define) v[name] = evaluate(e, v);
    return v;
}

std::string fmt_list(const std::vector<double> &v) {
    std::string s;
    for (double x : v) s += (s.empty() ? "" : ", ") + num(x);
    return s;
}

// Creation arguments with $PARAM replaced by a valid value of each "arg" parameter (logged).
std::string creation_args(Context &c, const Property &p, Case &cs, std::map<std::string, double> &chosen) {
    std::string a = p.args;
    int j = 0;
    for (auto &q : c.prof.params) {
        ++j;
        if (!q.arg) continue;
        double v = shaped(q, valid_value(p, q, cs.index, j, cs.g));
        chosen[q.name] = v;
        cs.log.push_back(q.name + "=" + num(v));
        const std::string key = "$" + q.name;
        for (std::size_t at; (at = a.find(key)) != std::string::npos;) a.replace(at, key.size(), num(v));
    }
    return a;
}

// ---- panners: the law holds once settled --------------------------------------------------

// For each input alone (a constant 1, the others 0), the settled level at every output: the
// sum over the outputs of the squared gains (energy law) or of the gains (amplitude law) is the
// stated total, and each gain is as stated.
void check_panlaw(Context &c) {
    for (const Property *pp : props_of(c, "panlaw")) {
        const Property &p = *pp;
        for_cases(c, "panlaw", 12, 120, [&](Case &cs) {
            Run r(c, cs, p);
            stir(r, p, cs, false);
            settle_params(r, p, cs, true);
            auto vars = names_of(r, p);
            cs.stimulus = "a constant 1 at each input in turn";
            const std::string at = where(cs, "panlaw");
            const double total = evaluate(p.total, vars);
            for (std::size_t i = 0; i < p.inputs.size(); ++i) {
                for (std::size_t k = 0; k < p.inputs.size(); ++k) r.stimulate({p.inputs[k]}, constant(k == i ? 1.0 : 0.0));
                r.patch.run(settle_frames(p, cs.sr));
                r.patch.clear_outputs();
                r.patch.run(1);
                std::vector<double> g;
                for (int o : p.outputs) {
                    const auto &y = r.out(o);
                    double v = y.empty() ? 0.0 : y.back();
                    if (!std::isfinite(v)) fail(at + ": outlet " + std::to_string(o) + " gives " + num(v) + " for input " + std::to_string(p.inputs[i]));
                    g.push_back(v);
                }
                double sum = 0;
                for (double v : g) sum += p.law == "energy" ? v * v : v;
                const std::string what = at + ": input " + std::to_string(p.inputs[i]) + " alone reaches the outputs with gains " + fmt_list(g) + " (position " +
                                         num(vars[p.position]) + ")";
                double off = p.law == "energy" ? 10 * std::log10(sum / total) : 20 * std::log10(sum / total);
                bool ok = total == 0 ? std::fabs(sum) <= 1e-6 : std::fabs(off) <= p.tolerance_db;
                if (!ok)
                    fail(what + ": the " + (p.law == "energy" ? "sum of their squares" : "sum") + " is " + num(sum) + ", the " + p.law + " law's " + num(total) +
                         (total == 0 ? "" : " within " + num(p.tolerance_db) + " dB"));
                if (i < p.gain_exprs.size())
                    for (std::size_t o = 0; o < g.size() && o < p.gain_exprs[i].size(); ++o) {
                        double want = evaluate(p.gain_exprs[i][o], vars);
                        bool good = want == 0 ? std::fabs(g[o]) <= 1e-6 : std::fabs(20 * std::log10(std::fabs(g[o] / want))) <= p.tolerance_db && g[o] * want > 0;
                        if (!good)
                            fail(what + ": outlet " + std::to_string(p.outputs[o]) + " should carry " + num(want) + " (" + p.gain_exprs[i][o] + ") within " +
                                 num(p.tolerance_db) + " dB");
                    }
            }
        });
    }
}

// ---- delays: the time and gain as set ------------------------------------------------------

// After any history, at valid settings, an impulse reaches each output after the stated delay
// (the centre of its response, and its largest sample within two samples of it) with the stated
// gain (the sum of its response).
void check_delay(Context &c) {
    for (const Property *pp : props_of(c, "delay")) {
        const Property &p = *pp;
        for_cases(c, "delay", 12, 120, [&](Case &cs) {
            Run r(c, cs, p);
            stir(r, p, cs, false);
            settle_params(r, p, cs, true);
            auto vars = names_of(r, p);
            std::vector<double> want, gain;
            double longest = 0;
            for (std::size_t k = 0; k < p.outputs.size(); ++k) {
                want.push_back(k < p.delays.size() ? evaluate(p.delays[k], vars) : 0.0);
                gain.push_back(k < p.out_gains.size() ? evaluate(p.out_gains[k], vars) : 1.0);
                longest = std::max(longest, want.back());
            }
            r.stimulate(p.inputs, constant(0.0));
            r.patch.run(settle_frames(p, cs.sr));
            // a generator counts its samples from when it is fed
            r.stimulate(p.inputs, [](double *o, long n, std::int64_t s) {
                for (long k = 0; k < n; ++k) o[k] = s + k == 0 ? 1.0 : 0.0;
            });
            r.patch.clear_outputs();
            r.patch.run(std::int64_t(longest) + 64);
            cs.stimulus = "an impulse after " + std::to_string(settle_frames(p, cs.sr)) + " samples of silence";
            const std::string at = where(cs, "delay");
            for (std::size_t k = 0; k < p.outputs.size(); ++k) {
                const auto &h = r.out(p.outputs[k]);
                double sum = 0, moment = 0, big = 0;
                std::size_t arg = 0;
                for (std::size_t i = 0; i < h.size(); ++i) {
                    if (!std::isfinite(h[i])) fail(at + ": outlet " + std::to_string(p.outputs[k]) + " gives " + num(h[i]) + " at sample " + std::to_string(i));
                    sum += h[i];
                    moment += double(i) * h[i];
                    if (std::fabs(h[i]) > big) big = std::fabs(h[i]), arg = i;
                }
                const std::string o = "outlet " + std::to_string(p.outputs[k]);
                bool gain_ok = gain[k] == 0 ? std::fabs(sum) <= 1e-6 : std::fabs(20 * std::log10(std::fabs(sum / gain[k]))) <= p.tolerance_db && sum * gain[k] > 0;
                if (!gain_ok) fail(at + ": " + o + " passes the impulse with a gain of " + num(sum) + ", the stated gain " + num(gain[k]) + " within " + num(p.tolerance_db) + " dB");
                if (gain[k] == 0) continue;
                double centre = moment / sum;
                if (!(std::fabs(centre - want[k]) <= p.tolerance_samples) || !(std::fabs(double(arg) - want[k]) <= 2))
                    fail(at + ": " + o + " delays the impulse by " + num(centre) + " samples (largest sample at " + std::to_string(arg) + "), the stated delay " +
                         num(want[k]) + " (" + p.delays[k] + ") within " + num(p.tolerance_samples));
            }
        });
    }
}

// ---- generators and models ----------------------------------------------------------------

void send_one_of(Run &r, const std::vector<std::string> &messages, Case &cs) {
    if (messages.empty()) return;
    const std::string &m = messages[cs.g() % messages.size()];
    r.patch.send_text(r.box, 0, m);
    cs.log.push_back("'" + m + "'");
}

// The output stays finite and within the stated peak for every sequence of settings: limits,
// hostile values and valid ones, changed while it runs, with the declared messages between.
void check_bounded(Context &c) {
    for (const Property *pp : props_of(c, "bounded")) {
        const Property &p = *pp;
        for_cases(c, "bounded", 12, 120, [&](Case &cs) {
            Run r(c, cs, p);
            cs.stimulus = p.inputs.empty() ? "no input" : "noise of peak 1";
            r.stimulate(p.inputs, noise(cs.g(), 1.0));
            const int segments = 8;
            const std::int64_t len = frames(p.duration_s / segments, cs.sr);
            r.patch.clear_outputs();
            for (int seg = 0; seg < segments; ++seg) {
                int j = 0;
                for (auto &q : c.prof.params) {
                    ++j;
                    if (q.arg) continue;
                    double v;
                    switch ((cs.index + seg) % 3) {
                        case 0: v = cs.g() % 2 ? q.lo : q.hi; break;  // limits: where a loop gain is largest
                        case 1: v = any_value(q, cs.g); break;
                        default: v = valid_value(p, q, cs.index + seg, j, cs.g); break;
                    }
                    r.set(q, v);
                }
                if (cs.g() % 3 == 0) send_one_of(r, p.messages, cs);
                cs.log.push_back("|");
                r.patch.run(len);
            }
            for (int o : p.outputs)
                check_finite_range(r.out(o), 0, -p.peak, p.peak, "outlet " + std::to_string(o) + " (bounded by " + num(p.peak) + ")", where(cs, "bounded"));
        });
    }
}

// Not excited (the "rest" settings), the output is silent: from creation, whatever the other
// settings, and again `after_s` after an excitation stops.
void check_silent(Context &c) {
    for (const Property *pp : props_of(c, "silent")) {
        const Property &p = *pp;
        for_cases(c, "silent", 12, 120, [&](Case &cs) {
            Run r(c, cs, p);
            auto at_rest = [&](const Param &q) { return p.rest.count(q.name) > 0; };
            r.stimulate(p.inputs, constant(0.0));
            if (cs.index % 2 == 0) {
                cs.stimulus = "never excited";
                for (auto &q : c.prof.params)
                    if (at_rest(q)) r.set(q, p.rest.at(q.name));
                r.patch.clear_outputs();
                for (int part = 0; part < 5; ++part) {
                    for (auto &q : c.prof.params)
                        if (!at_rest(q) && cs.g() % 2) r.set(q, any_value(q, cs.g));
                    if (cs.g() % 4 == 0) send_one_of(r, p.messages, cs);
                    r.patch.run(frames(p.duration_s / 5, cs.sr));
                }
                for (int o : p.outputs)
                    check_finite_range(r.out(o), 0, -p.fresh_level, p.fresh_level, "outlet " + std::to_string(o) + " (not excited since creation)", where(cs, "silent"));
                return;
            }
            int j = 0;
            for (auto &q : c.prof.params) {
                ++j;
                auto [lo, hi] = range_of(p, q);
                r.set(q, at_rest(q) ? random_in(q, lo, hi, cs.g) : valid_value(p, q, cs.index, j, cs.g));
            }
            double excite_s = 0.05 + double(cs.g() % 250) / 1000.0;
            cs.stimulus = "excited for " + num(excite_s) + " s, then at rest";
            r.patch.run(frames(excite_s, cs.sr));
            for (auto &q : c.prof.params)
                if (at_rest(q)) r.set(q, p.rest.at(q.name));
            r.patch.run(frames(p.after_s, cs.sr) + std::int64_t(p.after_samples));
            r.patch.clear_outputs();
            r.patch.run(frames(0.05, cs.sr));
            for (int o : p.outputs)
                check_finite_range(r.out(o), 0, -p.level, p.level, "outlet " + std::to_string(o) + " (" + num(p.after_s) + " s and " + num(p.after_samples) + " samples after the excitation stopped)",
                                   where(cs, "silent"));
        });
    }
}

// ---- control objects: what they send, where and when ---------------------------------------

const Param &param_named(Context &c, const std::string &name) {
    for (auto &q : c.prof.params)
        if (q.name == name) return q;
    fail("the profile names a parameter '" + name + "' it does not declare");
}

// How a 32-bit host carries a number in a message.
double carried(double v) { return tk::host_width_bits() == 32 ? double(float(v)) : v; }

std::string event_text(const tk::Event &e) {
    std::string k = e.kind == tk::Event::Bang ? "bang" : e.kind == tk::Event::Int ? "int " + num(e.value) : e.kind == tk::Event::Float ? "float " + num(e.value) : "a list or message";
    return k + " at outlet " + std::to_string(e.outlet);
}

// Each number at the inlet leaves, unchanged, by one outlet: `below` when it is below the
// threshold, `above` otherwise (equal and NaN included); with `resend`, a new threshold sends
// the last number again by the same rule.
void check_routing(Context &c) {
    for (const Property *pp : props_of(c, "routing")) {
        const Property &p = *pp;
        for_cases(c, "routing", 12, 120, [&](Case &cs) {
            Run r(c, cs, p);
            const Param &tq = param_named(c, p.threshold);
            double thr = 0, last = 0;
            auto vals = valid_settings(c, p, cs);
            if (auto it = vals.find(tq.name); it != vals.end()) r.set(tq, it->second, false);
            if (r.values.count(tq.name)) thr = value_of(r, tq.name);
            cs.stimulus = "numbers and thresholds";
            const int steps = c.full ? 200 : 40;
            for (int step = 0; step < steps; ++step) {
                r.box->clear_events();
                std::string sent;
                bool number = cs.g() % 10 < 7;
                if (number) {
                    double v;
                    switch (cs.g() % 8) {
                        case 0: v = thr; break;
                        case 1: v = std::nextafter(thr, HUGE_VAL); break;
                        case 2: v = std::nextafter(thr, -HUGE_VAL); break;
                        case 3: v = any_value(tq, cs.g); break;
                        default: v = std::uniform_real_distribution<double>(-1000, 1000)(cs.g); break;
                    }
                    bool as_int = std::isfinite(v) && std::fabs(v) < 1e9 && cs.g() % 4 == 0;
                    if (as_int) {
                        v = std::trunc(v);
                        r.patch.send(r.box, p.inlet, "int", {std::int64_t(v)});
                    } else {
                        v = carried(v);
                        r.patch.send(r.box, p.inlet, "float", {v});
                    }
                    last = v;
                    sent = (as_int ? "int " : "float ") + num(v) + " with threshold " + num(thr);
                } else {
                    r.set(tq, cs.g() % 2 ? any_value(tq, cs.g) : std::uniform_real_distribution<double>(-1000, 1000)(cs.g), false);
                    thr = value_of(r, tq.name);
                    sent = "threshold " + num(thr) + " after " + num(last);
                }
                cs.log.push_back(sent);
                std::vector<tk::Event> ev = r.box->events();
                const std::string at = where(cs, "routing") + ": " + sent;
                if (!number && !p.resend) {
                    if (!ev.empty()) fail(at + " sent " + event_text(ev[0]) + "; a new threshold sends nothing");
                    continue;
                }
                int want = last < thr ? p.below : p.above;
                if (ev.size() != 1) fail(at + " sent " + std::to_string(ev.size()) + " messages, not one (at outlet " + std::to_string(want) + ")");
                const tk::Event &e = ev[0];
                bool same = (e.kind == tk::Event::Float || e.kind == tk::Event::Int) && (e.value == last || (std::isnan(e.value) && std::isnan(last)));
                if (e.outlet != want || !same)
                    fail(at + " sent " + event_text(e) + "; it belongs at outlet " + std::to_string(want) + " as " + num(last));
            }
        });
    }
}

// Events at an outlet come at the stated logical times: the first at `first`, then one every
// `every` (in samples, exactly, or in ms, within the block the time falls in), `count` of them
// after a trigger when stated; the numbers they carry stay within `values`.
void check_timing(Context &c) {
    for (const Property *pp : props_of(c, "timing")) {
        const Property &p = *pp;
        for_cases(c, "timing", 12, 120, [&](Case &cs) {
            std::map<std::string, double> chosen;
            std::string args = creation_args(c, p, cs, chosen);
            Run r(c, cs, p, p.args.empty() ? nullptr : &args);
            for (auto &[k, v] : chosen) r.values[k] = v;
            const bool triggered = !p.trigger.empty();
            if (triggered) stir(r, p, cs, false);
            settle_params(r, p, cs, triggered);
            static const double amp[] = {1, 0.5, 1e-3, 0, 2};
            double peak = amp[cs.g() % 5];
            r.stimulate(p.inputs, pick_stimulus(cs, peak, int(cs.index)));
            auto vars = names_of(r, p, {{"peak", peak}});
            const double every = evaluate(p.every, vars), first = p.first.empty() ? every : evaluate(p.first, vars);
            const bool ms = p.unit == "ms";
            const double block_ms = 1000.0 * cs.n / cs.sr;
            double span = p.count > 0 ? first + p.count * every : first + p.events * every;
            if (ms) span += (p.count > 0 ? p.count + 1 : p.events + 1) * block_ms;  // each event may come a block late
            if (!(span >= 0 && span < 1e9)) fail(where(cs, "timing") + ": the stated times (first " + num(first) + ", every " + num(every) + ") are not usable");
            std::int64_t total = ms ? frames(span / 1000.0, cs.sr) + cs.n : std::int64_t(span) + cs.n;
            r.box->clear_events();
            const double t0 = r.patch.now_ms();
            const std::int64_t s0 = r.patch.samples_processed();
            if (triggered) {
                r.patch.send_text(r.box, 0, p.trigger);
                cs.log.push_back("'" + p.trigger + "'");
            }
            for (int part = 0; part < 4; ++part) {
                if (part) poke_free(r, p, cs);
                r.patch.run(std::max<std::int64_t>(1, total / 4));
            }
            const double end = ms ? r.patch.now_ms() - t0 : double(r.patch.samples_processed() - s0);
            std::vector<tk::Event> ev;
            for (auto &e : r.box->events())
                if (e.outlet == p.outlet) ev.push_back(e);
            std::vector<double> due;
            for (int k = 0; (p.count == 0 || k < p.count) && first + k * every <= end && k < 1000000; ++k) due.push_back(first + k * every);
            const std::string unit = ms ? " ms" : " samples";
            const std::string at = where(cs, "timing") + ": outlet " + std::to_string(p.outlet) + " (first after " + num(first) + unit + ", then every " + num(every) +
                                   unit + (p.count ? ", " + std::to_string(p.count) + " in all" : "") + ")";
            // in ms, clocks fire at the end of the block their time falls in, and a clock set from
            // a clock counts from there: each event within one block of its time after the last one
            double prev = 0;
            for (std::size_t k = 0; k < std::min(ev.size(), due.size()); ++k) {
                double t = ms ? ev[k].time_ms - t0 : double(ev[k].sample - s0);
                double want = ms ? prev + (k == 0 ? first : every) : due[k];
                bool ok = ms ? t >= want - 1e-6 && t <= want + block_ms + 1e-6 : t == want;
                if (!ok) {
                    std::vector<double> times;
                    for (auto &e : ev) times.push_back(ms ? e.time_ms - t0 : double(e.sample - s0));
                    fail(at + ": event " + std::to_string(k + 1) + " came at " + num(t) + unit + ", due at " + num(want) + unit + (ms ? " (within one block)" : "") +
                         "; events at " + fmt_list(times));
                }
                prev = t;
            }
            if (ms && p.count > 0 && due.size() < std::size_t(p.count))
                fail(at + ": the run of " + num(end) + unit + " was too short to see every event (a declaration error)");
            if (ev.size() != due.size())
                fail(at + ": " + std::to_string(ev.size()) + " events in " + num(end) + unit + " where " + std::to_string(due.size()) + " were due" +
                     (ev.size() > due.size() ? " (an extra one at " + num(ms ? ev[due.size()].time_ms - t0 : double(ev[due.size()].sample - s0)) + unit + ")" : ""));
            if (p.values.size() == 2) {
                double lo = evaluate(p.values[0], vars), hi = evaluate(p.values[1], vars);
                double slack = 1e-9 * std::max({1.0, std::fabs(lo), std::fabs(hi)});
                for (auto &e : ev)
                    if (!((e.kind == tk::Event::Float || e.kind == tk::Event::Int) && e.value >= lo - slack && e.value <= hi + slack))
                        fail(at + ": it sent " + event_text(e) + ", outside " + num(lo) + " .. " + num(hi) + " (input peak " + num(peak) + ")");
            }
        });
    }
}

// The numbers an outlet sends stay within the range of the numbers received so far (and of
// the `also` values: start values, what a reset sends), whatever arrives between them:
// non-finite numbers, settings changed to any value, the declared messages, time passing.
void check_inrange(Context &c) {
    for (const Property *pp : props_of(c, "inrange")) {
        const Property &p = *pp;
        for_cases(c, "inrange", 12, 120, [&](Case &cs) {
            Run r(c, cs, p);
            stir(r, p, cs, false);
            settle_params(r, p, cs, true);
            static const double scales[] = {1, 1000, 1e-3, 1e6};
            const double scale = scales[cs.g() % 4];
            const bool ints = cs.index % 2 == 1 && scale >= 1;
            cs.stimulus = std::string(ints ? "whole numbers" : "numbers") + " in " + num(p.numbers[0] * scale) + " .. " + num(p.numbers[1] * scale);
            double lo = HUGE_VAL, hi = -HUGE_VAL;
            auto include = [&](double v) {
                if (std::isfinite(v)) lo = std::min(lo, v), hi = std::max(hi, v);
            };
            auto include_also = [&] {
                auto vars = names_of(r, p);
                for (auto &e : p.also) include(evaluate(e, vars));
            };
            include_also();
            r.box->clear_events();
            const int steps = c.full ? 300 : 60;
            std::size_t seen = 0;
            for (int step = 0; step < steps; ++step) {
                int what = int(cs.g() % 20);
                if (what < 14) {
                    double v = std::uniform_real_distribution<double>(p.numbers[0], p.numbers[1])(cs.g) * scale;
                    if (ints) {
                        v = std::trunc(v);
                        r.patch.send(r.box, p.inlet, "int", {std::int64_t(v)});
                    } else {
                        v = carried(v);
                        r.patch.send(r.box, p.inlet, "float", {v});
                    }
                    include(v);
                    cs.log.push_back(num(v));
                } else if (what < 16) {
                    static const double hostile[] = {std::nan(""), HUGE_VAL, -HUGE_VAL, 1e300};
                    double v = hostile[cs.g() % 4];
                    r.patch.send(r.box, p.inlet, "float", {v});
                    if (std::isfinite(v)) include(v);
                    cs.log.push_back(num(v));
                } else if (what < 18) {
                    poke_free(r, p, cs);
                    include_also();
                } else {
                    send_one_of(r, p.messages, cs);
                    include_also();
                }
                r.patch.run(std::int64_t(cs.g() % 4) * cs.n);
                const auto &ev = r.box->events();
                for (; seen < ev.size(); ++seen) {
                    const tk::Event &e = ev[seen];
                    if (e.outlet != p.outlet || e.kind == tk::Event::Bang) continue;
                    double slack = 1e-12 * std::max(std::fabs(lo), std::fabs(hi));
                    bool number = e.kind == tk::Event::Float || e.kind == tk::Event::Int;
                    if (!number || !(e.value >= lo - slack && e.value <= hi + slack))
                        fail(where(cs, "inrange") + ": it sent " + event_text(e) + " while the numbers received" + (p.also.empty() ? "" : " and the stated values") +
                             " span " + num(lo) + " .. " + num(hi));
                }
            }
        });
    }
}

}  // namespace

const std::vector<PropertyCheck> &property_checks() {
    static const std::vector<PropertyCheck> t = {{"limit", check_limit},   {"gainrange", check_gainrange}, {"unity", check_unity},
                                                 {"monotonic", check_monotonic}, {"stable", check_stable},    {"noburst", check_noburst},
                                                 {"decay", check_decay},   {"panlaw", check_panlaw},       {"delay", check_delay},
                                                 {"bounded", check_bounded}, {"silent", check_silent},       {"routing", check_routing},
                                                 {"timing", check_timing},   {"inrange", check_inrange}};
    return t;
}

}  // namespace tilde::vd
