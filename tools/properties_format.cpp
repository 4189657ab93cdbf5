// The profile format: the JSON document that declares an external's parameters and the
// properties it must hold, read with every key checked and every error naming the key.
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include <string>

#include "properties.h"

namespace tilde::vd {

namespace {

template <class T>
void get(const nlohmann::json &j, const char *key, T &out) {
    if (j.contains(key)) out = j.at(key).get<T>();
}

bool known_kind(const std::string &kind) {
    for (const PropertyCheck &c : property_checks())
        if (kind == c.name) return true;
    return false;
}

// What each new kind cannot do without.
template <class Known>
void check_new_kind(const Property &x, Known known) {
    auto need = [&](bool ok, const std::string &what) {
        if (!ok) throw std::runtime_error("property " + x.kind + " needs " + what);
    };
    if (x.kind == "panlaw") {
        need(known(x.position), "'position' naming a parameter");
        need(x.law == "energy" || x.law == "amplitude", "'law': \"energy\" or \"amplitude\"");
    } else if (x.kind == "delay") {
        need(!x.delays.empty(), "'delays': an expression per judged output");
    } else if (x.kind == "bounded") {
        need(x.peak > 0, "'peak' above 0");
    } else if (x.kind == "silent") {
        need(!x.rest.empty(), "'rest': {PARAM: value} (the settings that leave it unexcited)");
        for (auto &[n, v] : x.rest) need(known(n), "'rest' naming parameters ('" + n + "' is not among the params)");
    } else if (x.kind == "routing") {
        need(!x.threshold.empty(), "'threshold' naming a parameter");
    } else if (x.kind == "timing") {
        need(!x.every.empty(), "'every'");
        need(x.unit == "samples" || x.unit == "ms", "'unit': \"samples\" or \"ms\"");
        need(x.values.empty() || x.values.size() == 2, "'values' as [low, high]");
    } else if (x.kind == "inrange") {
        need(x.numbers.size() == 2 && x.numbers[0] <= x.numbers[1], "'numbers' as [low, high]");
    }
}

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
            if (q.contains("default")) x.fallback = q.at("default").get<double>();
            get(q, "arg", x.arg);
            get(q, "integer", x.integer);
            if (!x.signal && !x.arg && x.message.find('$') == std::string::npos)
                throw std::runtime_error("parameter " + x.name + ": 'message' must contain $ for the value (or set \"signal\": true)");
            p.params.push_back(x);
        }
        for (auto &q : j.value("properties", nlohmann::json::array())) {
            Property x;
            x.kind = q.at("kind").get<std::string>();
            if (!known_kind(x.kind)) throw std::runtime_error("unknown property kind '" + x.kind + "'");
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
            get(q, "args", x.args);
            for (auto &d : q.value("define", nlohmann::json::array())) {
                auto pair = d.get<std::vector<std::string>>();
                if (pair.size() != 2) throw std::runtime_error("property " + x.kind + ": each 'define' entry takes [name, expression]");
                x.define.emplace_back(pair[0], pair[1]);
            }
            get(q, "position", x.position);
            get(q, "law", x.law);
            if (q.contains("total")) x.total = q.at("total").is_string() ? q.at("total").get<std::string>() : num(q.at("total").get<double>());
            if (x.kind == "panlaw") get(q, "gains", x.gain_exprs);
            get(q, "delays", x.delays);
            if (x.kind == "delay") get(q, "gains", x.out_gains);
            get(q, "tolerance_samples", x.tolerance_samples);
            get(q, "peak", x.peak);
            get(q, "duration_s", x.duration_s);
            get(q, "messages", x.messages);
            get(q, "rest", x.rest);
            get(q, "level", x.level);
            x.fresh_level = x.level;
            get(q, "fresh_level", x.fresh_level);
            get(q, "after_s", x.after_s);
            get(q, "after_samples", x.after_samples);
            get(q, "inlet", x.inlet);
            get(q, "below", x.below);
            get(q, "above", x.above);
            get(q, "resend", x.resend);
            get(q, "outlet", x.outlet);
            get(q, "trigger", x.trigger);
            get(q, "unit", x.unit);
            get(q, "first", x.first);
            get(q, "every", x.every);
            get(q, "count", x.count);
            get(q, "events", x.events);
            get(q, "values", x.values);
            get(q, "also", x.also);
            get(q, "numbers", x.numbers);
            for (auto &g : (x.kind == "panlaw" || x.kind == "delay") ? nlohmann::json::array() : q.value("gains", nlohmann::json::array())) {
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
            check_new_kind(x, known);
            // every expression must read: all parameters, rate, vector, peak and the definitions are names
            std::map<std::string, double> names = {{"rate", 48000}, {"vector", 64}, {"peak", 1}};
            for (auto &a : p.params) names[a.name] = 1;
            auto parses = [&](const std::string &e, const std::string &what) {
                try {
                    evaluate(e, names);
                } catch (const std::exception &err) {
                    throw std::runtime_error("property " + x.kind + ", " + what + ": " + err.what());
                }
            };
            for (auto &[n, e] : x.define) {
                parses(e, "definition of " + n);
                names[n] = 1;
            }
            for (auto &row : x.gain_exprs)
                for (auto &e : row) parses(e, "gains");
            for (auto *list : {&x.delays, &x.out_gains, &x.values, &x.also})
                for (auto &e : *list) parses(e, "expression");
            for (auto *e : {&x.total, &x.every, &x.first})
                if (!e->empty()) parses(*e, "expression");
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
      "points": [..] values worth trying (where a design divides); "default": D when values
      outside the range (NaN included) restore D instead; "arg": true for a creation argument
      (placed by a property's "args": "$window $period"); "integer": true for whole numbers
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
      panlaw     panners: "position": PARAM, "law": "energy"|"amplitude", "total": EXPR (the sum
                 over outputs of each input's squared gain, or gain), "gains": [[EXPR per output]
                 per input], "tolerance_db", "settle_s", "inputs", "outputs"
      delay      delays: "delays": [EXPR samples per output], "gains": [EXPR per output],
                 "tolerance_samples", "tolerance_db", "settle_s" (silence before the impulse)
      bounded    generators and models: "peak" (|output| never above it), "duration_s",
                 "messages": ["clearall", ..] sent at random moments
      silent     generators: "rest": {PARAM: value} (not excited), "fresh_level" (from creation,
                 default "level"), "level" after "after_s" plus "after_samples" once the
                 excitation stops, "duration_s"
      routing    "inlet", "threshold": PARAM, "below"/"above": outlets, "resend": true when a
                 new threshold sends the last number again
      timing     events: "outlet", "every": EXPR, "first": EXPR, "unit": "samples"|"ms" (ms:
                 within the block the time falls in), "trigger": "bang" (else from DSP start),
                 "count", "events" (periods watched), "values": [EXPR, EXPR] (names: peak =
                 the input's peak), "args" for creation arguments
      inrange    "inlet", "outlet", "numbers": [lo, hi] sent, "also": [EXPR..] values that count
                 as received (start values), "messages": sent at random moments
    EXPR: an expression of the parameters, rate, vector and "define": [[NAME, EXPR], ..] names:
      + - * / ^, comparisons (1 or 0), min max abs sqrt exp log log10 pow sin cos tan floor
      ceil trunc if(c, a, b)
    and for any kind: "vary": [PARAM..] (valid values only; the others get any value, NaN and
    infinities included), "range": {PARAM: [lo, hi]}, "setup": ["message", ..], "inputs": [inlets])";
}

}  // namespace tilde::vd
