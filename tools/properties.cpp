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
#include <nlohmann/json.hpp>
#include <set>
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
        case 5: return own && q.clamps && !q.signal ? (g() % 2 ? lo - std::max(1e-9, span * 1e-9) : hi + std::max(1e-9, span * 1e-9))
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

double effective(const Param &q, double v) { return q.clamps ? std::clamp(v, q.lo, q.hi) : v; }

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
    Run(Context &ctx, Case &k, const Property &p) : patch(k.sr, k.n), c(ctx), cs(k) {
        std::string args = c.prof.args;
        box = patch.create(c.name + (args.empty() ? "" : " " + args));
        if (!box) fail("the box '" + c.name + " " + args + "' was refused");
        for (int o = 0; o < box->outlets(); ++o)
            if (box->outlet_is_signal(o)) patch.capture(box, o);
        for (auto &m : p.setup) patch.send_text(box, 0, m);
        for (int i = 0; i < box->signal_inlets(); ++i) patch.unfeed(box, i);
    }
    void set(const Param &q, double v, bool log = true) {
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

}  // namespace

const std::vector<PropertyCheck> &property_checks() {
    static const std::vector<PropertyCheck> t = {{"limit", check_limit},   {"gainrange", check_gainrange}, {"unity", check_unity},
                                                 {"monotonic", check_monotonic}, {"stable", check_stable},    {"noburst", check_noburst},
                                                 {"decay", check_decay}};
    return t;
}

// ---- the profile format --------------------------------------------------------------

namespace {

template <class T>
void get(const nlohmann::json &j, const char *key, T &out) {
    if (j.contains(key)) out = j.at(key).get<T>();
}

const std::set<std::string> kKinds = {"limit", "gainrange", "unity", "monotonic", "stable", "noburst", "decay"};

}  // namespace

void read_profile_json(const std::string &text, Profile &p) {
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(text, nullptr, true, true);  // comments allowed
    } catch (const std::exception &e) {
        throw std::runtime_error(std::string("not valid JSON: ") + e.what());
    }
    if (!j.is_object()) throw std::runtime_error("the profile must be a JSON object");
    static const std::set<std::string> top = {"args", "audio_inlets", "control", "generator", "peak_limit", "audio_outlets", "params", "properties"};
    for (auto &[k, v] : j.items())
        if (!top.count(k)) throw std::runtime_error("unknown key '" + k + "'");
    try {
        get(j, "args", p.args);
        get(j, "audio_inlets", p.audio_inlets);
        if (j.contains("control")) {
            auto c = j.at("control").get<std::vector<double>>();
            if (c.size() != 2) throw std::runtime_error("'control' takes [low, high]");
            p.control_lo = c[0];
            p.control_hi = c[1];
        }
        get(j, "generator", p.generator);
        get(j, "peak_limit", p.peak_limit);
        get(j, "audio_outlets", p.audio_outlets);
        for (auto &q : j.value("params", nlohmann::json::array())) {
            Param x;
            x.name = q.at("name").get<std::string>();
            get(q, "message", x.message);
            get(q, "inlet", x.inlet);
            get(q, "signal", x.signal);
            auto r = q.at("range").get<std::vector<double>>();
            if (r.size() != 2 || !(r[0] <= r[1])) throw std::runtime_error("parameter " + x.name + ": 'range' takes [low, high]");
            x.lo = r[0];
            x.hi = r[1];
            get(q, "clamps", x.clamps);
            get(q, "log", x.log);
            get(q, "points", x.points);
            if (!x.signal && x.message.find('$') == std::string::npos)
                throw std::runtime_error("parameter " + x.name + ": 'message' must contain $ for the value (or set \"signal\": true)");
            p.params.push_back(x);
        }
        for (auto &q : j.value("properties", nlohmann::json::array())) {
            Property x;
            x.kind = q.at("kind").get<std::string>();
            if (!kKinds.count(x.kind)) throw std::runtime_error("unknown property kind '" + x.kind + "'");
            get(q, "vary", x.vary);
            if (q.contains("range"))
                for (auto &[k, v] : q.at("range").items()) {
                    auto r = v.get<std::vector<double>>();
                    if (r.size() != 2) throw std::runtime_error("property " + x.kind + ": range of " + k + " takes [low, high]");
                    x.range[k] = {r[0], r[1]};
                }
            get(q, "setup", x.setup);
            get(q, "inputs", x.inputs);
            get(q, "outputs", x.outputs);
            if (q.contains("gain_outlet")) {
                auto &g = q.at("gain_outlet");
                x.gain_outlets = g.is_array() ? g.get<std::vector<int>>() : std::vector<int>{g.get<int>()};
            }
            if (q.contains("gain_range")) {
                auto r = q.at("gain_range").get<std::vector<double>>();
                if (r.size() != 2) throw std::runtime_error("gain_range takes [low, high]");
                x.lo = r[0];
                x.hi = r[1];
            }
            get(q, "ceiling", x.ceiling);
            get(q, "tolerance_db", x.tolerance_db);
            get(q, "settle_s", x.settle_s);
            get(q, "settle_samples", x.settle_samples);
            get(q, "threshold", x.threshold);
            get(q, "below_db", x.below_db);
            get(q, "expect", x.expect);
            get(q, "expect_db_param", x.expect_db_param);
            get(q, "expect_db_closed", x.expect_db_closed);
            get(q, "margin", x.margin);
            get(q, "from_any", x.from_any);
            get(q, "decay_s", x.decay_s);
            get(q, "decay_samples", x.decay_samples);
            get(q, "max_response_s", x.max_response_s);
            for (auto &g : q.value("gains", nlohmann::json::array())) {
                StatedGain s;
                s.at = g.at("at").get<std::string>();
                get(g, "gain", s.gain);
                get(g, "gain_db_param", s.gain_db_param);
                get(g, "tol_db", s.tol_db);
                x.gains.push_back(s);
            }
            for (auto &g : x.gains) {
                std::string n = g.at.rfind("factor:", 0) == 0 ? g.at.substr(7) : g.at;
                if (n != "dc" && n != "nyquist" && !std::any_of(p.params.begin(), p.params.end(), [&](const Param &a) { return a.name == n; }))
                    throw std::runtime_error("property " + x.kind + ": a gain at '" + g.at + "', which is neither dc, nyquist nor a parameter");
            }
            // every name must be declared
            auto known = [&](const std::string &n) {
                return std::any_of(p.params.begin(), p.params.end(), [&](const Param &a) { return a.name == n; });
            };
            for (auto &n : x.vary)
                if (!known(n)) throw std::runtime_error("property " + x.kind + " varies '" + n + "', which is not among the params");
            for (auto *n : {&x.ceiling, &x.threshold, &x.expect_db_param})
                if (!n->empty() && !known(*n)) throw std::runtime_error("property " + x.kind + " names parameter '" + *n + "', which is not among the params");
            if ((x.kind == "limit" && x.ceiling.empty()) || (x.kind == "unity" && x.threshold.empty()))
                throw std::runtime_error("property " + x.kind + " needs " + (x.kind == "limit" ? "'ceiling'" : "'threshold'"));
            if ((x.kind == "gainrange" || x.kind == "unity") && x.gain_outlets.empty())
                throw std::runtime_error("property " + x.kind + " needs 'gain_outlet'");
            p.properties.push_back(x);
        }
    } catch (const nlohmann::json::exception &e) {
        throw std::runtime_error(e.what());
    }
}

const char *profile_format_help() {
    return R"(Profile files: NAME.validate.json next to the external (in a --path folder). Without one, the
defaults are inferred: every leading signal inlet takes audio, every signal outlet is audio, no
properties. The file is a JSON object (// comments allowed):
  "args": "2 -6"              creation arguments
  "audio_inlets": 1           leading signal inlets that take audio (later ones are controls)
  "control": [lo, hi]         clean values for the signal control inlets
  "generator": false          true when it makes sound from silence
  "audio_outlets": -1         leading signal outlets that carry audio (-1: all)
  "params": [ {"name": "thresh", "message": "thresh $", "range": [-60, 0]}, ... ]
      "message" is sent with $ replaced by the value ("$" alone: a number at "inlet");
      "signal": true with "inlet": K feeds a constant signal instead; "clamps": false when
      values outside the range are not clamped; "log": true for frequencies and times;
      "points": [..] values worth trying (where a design divides)
  "properties": [ {"kind": KIND, ...}, ... ]
      limit      "ceiling": PARAM (dB), "tolerance_db", "settle_s", "settle_samples", "gain_outlet", "outputs"
      gainrange  "gain_outlet", "gain_range": [lo, hi]
      unity      "threshold": PARAM (dB), "below_db", "gain_outlet", "expect" (or
                 "expect_db_param"), "settle_s", "tolerance_db"
      monotonic  "outputs", "settle_s" per 3 dB step, "tolerance_db"
      stable     "gains": [{"at": "dc"|"nyquist"|PARAM (Hz)|"factor:PARAM" (cot(pi f/rate)),
                 "gain": G or "gain_db_param": PARAM, "tol_db"}],
                 "max_response_s"
      noburst    "margin", "max_response_s", "from_any": false (start from valid settings only)
      decay      "decay_s" plus "decay_samples" (for filters whose times scale with the rate)
    and for any kind: "vary": [PARAM..] (valid values only; the others get any value, NaN and
    infinities included), "range": {PARAM: [lo, hi]}, "setup": ["message", ..], "inputs": [inlets])";
}

}  // namespace tilde::vd
