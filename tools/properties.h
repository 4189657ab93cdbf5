// What each kind of external is for, checked across sample rates, vector sizes and parameter
// values: limiters hold their ceiling, compressors and gates keep their gains in range, settle
// to unity below the threshold and have a monotonic static curve, linear filters are stable,
// have the gains they state, release no stored energy after a parameter change and decay to
// silence; panners keep their law and delays their time; generators stay bounded and silent
// when not excited; control objects send what they document, where and when they document it.
// The declarations are data: a JSON document per external (built in for ours, or a
// NAME.validate.json file next to any external).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace tilde::vd {

// A parameter of an external: a message (or a number at an inlet, or a constant signal at a
// signal inlet) that takes one value in [lo, hi].
struct Param {
    std::string name;
    std::string message;       // "thresh $" ($ = the value); empty for a signal parameter
    int inlet = 0;             // where the message (or the signal) goes
    bool signal = false;       // a constant signal at `inlet` instead of a message
    double lo = 0, hi = 1;
    bool clamps = true;        // values outside [lo, hi] act as the nearer limit
    bool log = false;          // random values spread evenly in log(value) (lo > 0)
    std::vector<double> points = {};  // values worth trying beside the limits (where designs divide)
    std::optional<double> fallback;   // values outside [lo, hi] (NaN included) restore this one
    bool arg = false;          // a creation argument (placed by a property's "args"), not a message
    bool integer = false;      // whole numbers only (values are rounded)
};

// A stated gain of a linear filter: at DC, at Nyquist or at the frequency a parameter holds.
struct StatedGain {
    std::string at;            // "dc", "nyquist" or the name of a parameter in hertz
    double gain = 1;           // linear magnitude
    std::string gain_db_param; // or: the magnitude is 10^(value/20) of this parameter
    double tol_db = 0.1;
};

struct Property {
    std::string kind;  // limit, gainrange, unity, monotonic, stable, noburst, decay
    std::vector<std::string> vary = {};  // parameters the expectation depends on (valid values only)
    std::map<std::string, std::pair<double, double>> range = {};  // narrower ranges for this property
    std::vector<std::string> setup = {};  // messages sent once after creation ("release 10")
    std::vector<int> inputs = {0};        // signal inlets that receive the stimulus
    std::vector<int> outputs = {0};       // signal outlets whose audio is judged
    std::vector<int> gain_outlets = {};   // the gain outlets (limit, gainrange, unity)
    double lo = 0, hi = 1;                // gainrange: the gain outlet's range
    std::string ceiling;                  // limit: the parameter in dB that the output may not exceed
    double tolerance_db = 0.1;            // limit: allowed overshoot; unity: distance from the target
    double settle_s = 0.5;                // limit, unity, monotonic: time before judging ...
    double settle_samples = 0;            // ... plus this many samples (look-ahead delays)
    std::string threshold;                // unity: the threshold parameter in dB
    double below_db = 40;                 // unity: how far below the threshold the input stays
    double expect = 1;                    // unity: the gain it settles to
    std::string expect_db_param;          // unity: or 10^(value/20) of this parameter ...
    double expect_db_closed = -1e300;     // ... except at this value of it, where `expect` holds
    std::vector<StatedGain> gains = {};   // stable: gains at DC, centre, Nyquist
    double margin = 8;                    // noburst: allowed factor over the bound
    bool from_any = true;                 // noburst: start from any setting (else valid ones only)
    double decay_s = 1;                   // decay: time to fall below -120 dB of the input's peak
    double decay_samples = 0;             // decay: plus this many samples
    double max_response_s = 10;           // stable/noburst: how long an impulse response may take

    // Expressions (see expression_help) of the parameters, `rate` and `vector`:
    std::string args;                     // creation arguments with $PARAM for "arg" parameters
    std::vector<std::pair<std::string, std::string>> define = {};  // names for sub-expressions, in order
    std::string position;                 // panlaw: the position parameter
    std::string law;                      // panlaw: "energy" or "amplitude"
    std::string total = "1";              // panlaw: the sum over outputs of each input's (squared) gain
    std::vector<std::vector<std::string>> gain_exprs = {};  // panlaw: gains[input][output]
    std::vector<std::string> delays = {};   // delay: per judged output, in samples
    std::vector<std::string> out_gains = {};  // delay: per judged output (default 1)
    double tolerance_samples = 0.01;      // delay
    double peak = 1;                      // bounded: |output| never exceeds it
    double duration_s = 1;                // bounded: run length; silent: how long a fresh box is judged
    std::vector<std::string> messages = {};  // bounded, inrange: messages sent at random moments
    std::map<std::string, double> rest = {};  // silent: the settings that leave it unexcited
    double level = 0;                     // silent: the largest |output| allowed when not excited
    double after_s = 1;                   // silent: time after the excitation stops ...
    double after_samples = 0;             // ... plus this many samples (per-sample smoothers)
    double fresh_level = 0;               // silent: the same for a box never excited
    int inlet = 0;                        // routing, inrange: where the numbers arrive
    int below = 0, above = 1;             // routing: outlets for numbers below / not below the threshold
    bool resend = false;                  // routing: a new threshold sends the last number again
    int outlet = 0;                       // timing, inrange: the outlet judged
    std::string trigger;                  // timing: the message that starts the events (empty: DSP on)
    std::string unit = "samples";         // timing: "samples" (exact) or "ms" (within one block)
    std::string first;                    // timing: the first event's time (default: every)
    std::string every;                    // timing: the distance between events
    int count = 0;                        // timing: events in all (0: as many as the time allows)
    int events = 6;                       // timing: how many periods are watched
    std::vector<std::string> values = {};  // timing: [lo, hi] of the numbers sent (variable peak)
    std::vector<std::string> also = {};   // inrange: values that count as received beside the numbers
    std::vector<double> numbers = {-1000, 1000};  // inrange: the range of the numbers sent
};

struct Profile {
    std::string args = "";     // typical creation arguments
    int audio_inlets = 1;      // leading signal inlets that take audio; later ones are controls
    double control_lo = 0.0;   // clean values for signal control inlets
    double control_hi = 0.0;
    bool generator = false;    // produces output from silence (or is no audio processor)
    double peak_limit = 1000;  // +60 dBFS
    int audio_outlets = -1;    // leading signal outlets that carry audio (-1: all); the rest are gains
    std::vector<std::string> churn_skip = {};  // creation variants that are valid but too slow to repeat
    // Settings sent after the second thread's messages, to that box and to a fresh one, as
    // (inlet, message text); empty: every message that takes arguments with zeros, 0 at every
    // inlet. They must leave the object with a memory that `settle_s` covers.
    std::vector<std::pair<int, std::string>> settings = {};
    double settle_s = 0.5;
    std::string keeps_history = "";  // why its output never converges to a fresh box's (no comparison)
    std::vector<Param> params = {};
    std::vector<Property> properties = {};
    std::string source = "built in";  // where the profile came from
};

struct Context {
    std::string name;
    Profile prof;
    bool full;
    std::uint64_t seed;
    std::mt19937_64 rng;
    long long cases = 0;          // cases a property check ran
    long long gains_judged = 0;   // stable: cases whose stated gains were compared (responses that died away)
    std::optional<long long> only_case;  // run this case alone (reproduction)
    std::atomic<long long> case_now{-1};  // the case being run (read by the hang watchdog)
};

[[noreturn]] void fail(const std::string &why);
std::string num(double v);

// The property checks, each named by its kind.
struct PropertyCheck {
    const char *name;
    void (*fn)(Context &);
};
const std::vector<PropertyCheck> &property_checks();

// Reads the properties of one external from JSON text (the format of NAME.validate.json);
// throws std::runtime_error naming what is wrong.
void read_profile_json(const std::string &text, Profile &p);
// The built-in declarations for our externals, merged into their profiles.
void add_builtin_properties(const std::string &name, Profile &p);
// Those of the panners, delays, models and control objects (JSON text by external name).
const std::map<std::string, const char *> &other_builtin_properties();
// What the file format takes, for --help.
const char *profile_format_help();

// The expressions that properties state expectations with: numbers, names, + - * / ^,
// comparisons (1 or 0), parentheses, and min max abs sqrt exp log log10 pow sin cos tan floor
// ceil trunc if(c, a, b). Throws std::runtime_error naming what is wrong.
double evaluate(const std::string &expr, const std::map<std::string, double> &vars);

}  // namespace tilde::vd
