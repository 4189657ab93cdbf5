// `tilde validate`: runs each external, in a child process of its own, through creation churn,
// sample rates, vector sizes, hostile samples, message fuzz, determinism and the audio-path rules
// (no allocation, floating-point environment untouched), and reports a table with the first
// failure of each check and the command that reproduces it.
#include "validate.h"

#include <dirent.h>
#include <signal.h>
#if defined(__i386__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif
#ifndef _WIN32
#include <poll.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cfenv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "common.h"
#include "properties.h"
#include "tildehost.h"

#ifndef _WIN32
// Counted by the allocation interposer where the program has one (not under the sanitizers,
// which interpose the allocator themselves).
extern "C" __attribute__((weak)) volatile std::int64_t tildekit_libc_calls_in_perform;
#endif

namespace tilde {
namespace {

#ifdef _WIN32
// The C library's allocator cannot be interposed there: only the host's own allocations count.
std::int64_t libc_calls_in_perform() { return 0; }
#else
std::int64_t libc_calls_in_perform() { return &tildekit_libc_calls_in_perform ? tildekit_libc_calls_in_perform : 0; }
#endif

// ---- what counts as normal for each external (data, not code paths) ---------------------

using vd::Profile;
using vd::Context;
using vd::fail;
using vd::num;

const std::map<std::string, Profile> &profiles() {
    static const std::map<std::string, Profile> table = {
        {"recur~", {.args = "0.5", .control_lo = -0.9, .control_hi = 0.9}},
        {"fwdtap~", {.args = "0.5", .control_lo = -1, .control_hi = 1}},
        {"backtap~", {.args = "0.5", .control_lo = -1, .control_hi = 1}},
        {"cxrecur~", {.audio_inlets = 2, .control_lo = -0.6, .control_hi = 0.6}},
        {"cxfwdtap~", {.audio_inlets = 2, .control_lo = -1, .control_hi = 1}},
        {"cxbacktap~", {.audio_inlets = 2, .control_lo = -1, .control_hi = 1}},
        {"highcut~", {.control_lo = 100, .control_hi = 5000}},
        {"lowcut~", {.control_lo = 100, .control_hi = 5000}},
        // its Q signal reaches 5000: a ring of seconds, so its memory is cleared for the comparison
        {"bandres~", {.control_lo = 100, .control_hi = 5000, .settings = {{0, "clear"}}}},
        {"sweepres~", {.control_lo = 100, .control_hi = 5000}},
        // its frequency inlet takes the transform factor cot(pi f / sr), not hertz
        {"modalfilt~", {.args = "bp2", .control_lo = 1, .control_hi = 10}},
        {"ladder~", {.control_lo = 100, .control_hi = 5000}},
        // a cotangent of the input frequency: large values are its normal output
        {"tanrecip~", {.control_lo = 100, .control_hi = 5000, .generator = true, .peak_limit = 1e4}},
        {"stereosquash~", {.audio_inlets = 3, .audio_outlets = 2}},
        // the threshold just above the noise's level (-4.8 dB RMS): a level measured too high opens the gate
        {"noisedoor~", {.audio_inlets = 3, .audio_outlets = 2,
                        .settings = {{0, "attack 1"}, {0, "release 1"}, {0, "thresh -3"}, {0, "makeup 0"}, {0, "gateclose -50"},
                                     {0, "sidechain 0"}, {0, "openshut 0"}, {0, "Bypass 0"}}}},
        {"brickwall~", {.audio_inlets = 2, .audio_outlets = 2,
                        .settings = {{0, "release 10"}, {0, "ceiling 0"}, {0, "thresh -6"}, {0, "Bypass 0"}}}},
        {"tribandsquash~", {.audio_inlets = 2, .audio_outlets = 1}},
        {"peakguard~", {.audio_inlets = 8, .audio_outlets = 1}},
        {"rangetamer~", {.audio_inlets = 8, .audio_outlets = 1}},
        {"tonebands~", {.audio_inlets = 2}},
        {"thirdbands~", {.audio_inlets = 2}},
        {"headdelay~", {}},
        {"stereoplace~", {}},
        {"bowedstring~", {.audio_inlets = 8, .generator = true}},
        {"latchsig~", {.control_lo = -1, .control_hi = 1}},
        {"slidevec~", {}},
        // a window of 1e9 samples is valid: 8 GB and a cosine per sample, seconds per creation
        {"levelmeter~", {.generator = true, .churn_skip = {"1e9"}}},
    };
    return table;
}

// ---- limits an external states about itself (the profile's "limits") -------------------
// A developer whose external does not handle some input says so, with a reason: the checks
// then leave out exactly the cases that input would make, say so in the output, and run the
// rest as usual.

// Signal inlets that take only finite samples, or samples up to a peak.
struct SignalLimit {
    std::vector<int> inlets;  // empty: every signal inlet
    bool finite = false;      // NaN and infinities excluded
    double peak = HUGE_VAL;   // |x| above it excluded
    std::string reason;
    bool covers(int inlet) const { return inlets.empty() || std::find(inlets.begin(), inlets.end(), inlet) != inlets.end(); }
    bool excludes(double v) const { return (finite && !std::isfinite(v)) || std::fabs(v) > peak; }
};
// Numbers a message takes: outside [lo, hi] (NaN included) it is not sent.
struct MessageLimit {
    std::string selector;  // a selector, "number" (float and int) or "*" (any)
    int inlet = -1;        // -1: any inlet
    double lo = -HUGE_VAL, hi = HUGE_VAL;
    std::string reason;
    bool covers(const std::string &s, int in) const {
        bool sel = selector == "*" || selector == s || (selector == "number" && (s == "float" || s == "int"));
        return sel && (inlet < 0 || inlet == in);
    }
};
struct Limits {
    std::vector<SignalLimit> signals;
    std::vector<MessageLimit> messages;
};

const char *const limits_help =
    "A profile may also state the limits of its external, each with a reason, as \"limits\": [...]: "
    "{\"signals\": [INLETS] or \"all\", \"finite\": true, \"peak\": P, \"reason\": TEXT} (those signal inlets take only "
    "finite samples, or samples up to |P|: the hostile check gives them clean input instead and runs only where some "
    "inlet is left) and {\"message\": SELECTOR (or \"number\" for float and int, \"*\" for any), \"inlet\": K, "
    "\"range\": [LO, HI], \"reason\": TEXT} (numbers outside the range, NaN included, are not sent by the fuzz, "
    "threads and determinism checks). Every case left out is printed as \"skipped: ... (profile: REASON)\".";

Limits read_limits(const nlohmann::json &j) {
    Limits l;
    if (!j.is_array()) throw std::runtime_error("'limits' takes a list of limits");
    for (auto &e : j) {
        if (!e.is_object()) throw std::runtime_error("each limit is an object");
        if (!e.contains("reason") || !e.at("reason").is_string() || e.at("reason").get<std::string>().empty())
            throw std::runtime_error("each limit needs a \"reason\": why the external does not take that input");
        std::string reason = e.at("reason").get<std::string>();
        bool sig = e.contains("signals"), msg = e.contains("message");
        if (sig == msg) throw std::runtime_error("a limit names either \"signals\" or a \"message\"");
        if (sig) {
            static const std::set<std::string> keys = {"signals", "finite", "peak", "reason"};
            for (auto &[k, v] : e.items())
                if (!keys.count(k)) throw std::runtime_error("unknown key '" + k + "' in a signal limit");
            SignalLimit s;
            s.reason = reason;
            const auto &in = e.at("signals");
            if (in.is_string()) {
                if (in.get<std::string>() != "all") throw std::runtime_error("\"signals\" takes a list of inlets or \"all\"");
            } else if (in.is_array()) {
                for (auto &k : in) {
                    if (!k.is_number_integer() || k.get<int>() < 0) throw std::runtime_error("\"signals\": inlets are numbers from 0");
                    s.inlets.push_back(k.get<int>());
                }
            } else {
                throw std::runtime_error("\"signals\" takes a list of inlets or \"all\"");
            }
            if (e.contains("finite")) s.finite = e.at("finite").get<bool>();
            if (e.contains("peak")) {
                s.peak = e.at("peak").get<double>();
                if (!(s.peak > 0)) throw std::runtime_error("\"peak\" must be above 0");
            }
            if (!s.finite && !std::isfinite(s.peak)) throw std::runtime_error("a signal limit states \"finite\": true or a \"peak\"");
            l.signals.push_back(s);
        } else {
            static const std::set<std::string> keys = {"message", "inlet", "range", "reason"};
            for (auto &[k, v] : e.items())
                if (!keys.count(k)) throw std::runtime_error("unknown key '" + k + "' in a message limit");
            MessageLimit m;
            m.reason = reason;
            m.selector = e.at("message").get<std::string>();
            if (m.selector.empty()) throw std::runtime_error("\"message\" names a selector, \"number\" or \"*\"");
            if (e.contains("inlet")) {
                m.inlet = e.at("inlet").get<int>();
                if (m.inlet < 0) throw std::runtime_error("\"inlet\" counts from 0");
            }
            if (!e.contains("range")) throw std::runtime_error("a message limit needs \"range\": [low, high]");
            auto r = e.at("range").get<std::vector<double>>();
            if (r.size() != 2 || !(r[0] <= r[1])) throw std::runtime_error("\"range\" takes [low, high]");
            m.lo = r[0];
            m.hi = r[1];
            l.messages.push_back(m);
        }
    }
    return l;
}

// The limits of the external being validated (one per child process).
Limits &current_limits() {
    static Limits l;
    return l;
}

// The built-in profile with its properties, or the NAME.validate.json file next to the
// external's module, which takes precedence (any external, from any --path folder). Its
// "limits" are read here and go to current_limits(); the rest to the profile reader.
Profile profile_for(const std::string &name) {
    auto it = profiles().find(name);
    Profile p = it == profiles().end() ? Profile{} : it->second;
    vd::add_builtin_properties(name, p);
    current_limits() = {};
    std::string file = tk::load_class(name).file;
    // a profile sits beside the external's file; for a macOS bundle, beside the bundle folder
    if (auto bundle = file.rfind(".mxo/Contents/MacOS/"); bundle != std::string::npos) file.resize(bundle);
    auto slash = file.find_last_of('/');
    std::string json = (slash == std::string::npos ? std::string(".") : file.substr(0, slash)) + "/" + name + ".validate.json";
    std::ifstream f(json);
    if (f) {
        std::stringstream text;
        text << f.rdbuf();
        Profile q;
        try {
            std::string rest = text.str();
            nlohmann::json j;
            try {
                j = nlohmann::json::parse(rest, nullptr, true, true);
            } catch (const std::exception &) {
                j = nullptr;  // the reader names what is wrong
            }
            if (j.is_object() && j.contains("limits")) {
                current_limits() = read_limits(j.at("limits"));
                j.erase("limits");
                rest = j.dump();
            }
            vd::read_profile_json(rest, q);
        } catch (const std::exception &e) {
            throw BadInput(json + ": " + e.what());
        }
        q.source = json;
        return q;
    }
    return p;
}

// Cases left out because of the limits, counted per text; reported after each check. The
// sender thread of the threads check adds to it too.
std::mutex skips_lock;
std::map<std::string, long long> &skips() {
    static std::map<std::string, long long> m;
    return m;
}
void note_skip(const std::string &what, const std::string &reason) {
    std::lock_guard<std::mutex> lock(skips_lock);
    skips()[what + " (profile: " + reason + ")"]++;
}

// The limit a message breaks, if any.
const MessageLimit *refused(const std::string &s, int inlet, const tk::Atoms &args) {
    for (auto &m : current_limits().messages) {
        if (!m.covers(s, inlet)) continue;
        for (auto &a : args) {
            double x;
            if (a.is_int()) x = double(std::get<std::int64_t>(a.v));
            else if (a.is_float()) x = std::get<double>(a.v);
            else continue;
            if (!(x >= m.lo && x <= m.hi)) return &m;
        }
    }
    return nullptr;
}

// Sends the message unless a stated limit refuses it (then counts it as skipped).
void send_within_limits(tk::Patch &patch, tk::Box *box, int inlet, const std::string &s, const tk::Atoms &args) {
    if (const MessageLimit *m = refused(s, inlet, args)) {
        note_skip("'" + s + "' at inlet " + std::to_string(inlet) + " outside [" + num(m->lo) + ", " + num(m->hi) + "]", m->reason);
        return;
    }
    patch.send(box, inlet, s, args);
}

// ---- hangs ------------------------------------------------------------------------------
// A perform routine or a message that never returns must fail the external, not hang the run.
// In the child a watchdog thread watches for progress: a block boundary (the process-wide
// count of running perform routines changes) or a step of the validator's own (beat()). After
// `hang_after` seconds without either it interrupts the checking thread, which writes what it
// was doing to the parent and ends the child.

std::atomic<std::int64_t> beats{0};
void beat() { beats.fetch_add(1, std::memory_order_relaxed); }

struct HangState {
    int fd = -1;
    double after = 60;
    const char *check = "";
    Context *ctx = nullptr;  // property checks: the case being run
    char stage[200] = "";    // the other checks: where they are
};
HangState hang;

void set_stage(const std::string &s) {
    beat();
    std::snprintf(hang.stage, sizeof hang.stage, "%s", s.c_str());
}

// What the threads check's second thread is sending (written by that thread only, read by a
// crash report), so that a crash names the message wherever it came from.
char sender_stage[240] = "";
void set_sender_stage(const std::string &s) { std::snprintf(sender_stage, sizeof sender_stage, "%s", s.c_str()); }

#ifndef _WIN32
pthread_t checking_thread;

void put(char *&p, char *end, const char *s) {
    while (*s && p < end) *p++ = *s++;
}
void put_num(char *&p, char *end, long long v) {
    char d[24];
    int n = 0;
    bool neg = v < 0;
    unsigned long long u = neg ? 0ull - (unsigned long long)v : (unsigned long long)v;
    do d[n++] = char('0' + u % 10); while ((u /= 10) && n < 23);
    if (neg) put(p, end, "-");
    while (n && p < end) *p++ = d[--n];
}

// Where the child is: the case being run, or the stage before the cases.
void put_where(char *&p, char *end) {
    if (hang.ctx && hang.ctx->case_now >= 0) {
        put(p, end, "case ");
        put_num(p, end, hang.ctx->case_now);
    } else {
        put(p, end, hang.stage);
    }
}

// "HANG<TAB>check<TAB>seconds<TAB>where", written with async-signal-safe calls only.
[[noreturn]] void report_hang() {
    char buf[512];
    char *p = buf, *end = buf + sizeof buf - 1;
    put(p, end, "HANG\t");
    put(p, end, hang.check);
    put(p, end, "\t");
    put_num(p, end, (long long)hang.after);
    put(p, end, "\t");
    put_where(p, end);
    *p++ = '\n';
    if (::write(hang.fd, buf, std::size_t(p - buf)) < 0) _exit(5);
    _exit(5);
}
extern "C" void on_hang_signal(int) { report_hang(); }

// "CRASH<TAB>check<TAB>signal<TAB>where" on a fatal signal in the child (async-signal-safe calls
// only); then the signal's own action ends the child, so the parent still sees the signal.
extern "C" void on_crash_signal(int sig) {
    char buf[1024];
    char *p = buf, *end = buf + sizeof buf - 1;
    put(p, end, "CRASH\t");
    put(p, end, hang.check);
    put(p, end, "\t");
    put_num(p, end, sig);
    put(p, end, "\t");
    put_where(p, end);
    if (sender_stage[0]) {
        put(p, end, "; second thread: ");
        put(p, end, sender_stage);
    }
    *p++ = '\n';
    if (::write(hang.fd, buf, std::size_t(p - buf)) < 0) {
    }
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

void start_watchdog(int fd, double after) {
    hang.fd = fd;
    hang.after = after;
    checking_thread = ::pthread_self();
    struct sigaction sa {};
    sa.sa_handler = on_hang_signal;
    ::sigemptyset(&sa.sa_mask);
    ::sigaction(SIGUSR1, &sa, nullptr);
    struct sigaction crash {};
    crash.sa_handler = on_crash_signal;
    crash.sa_flags = SA_RESETHAND;  // a fault inside the report ends the child as the first would
    ::sigemptyset(&crash.sa_mask);
    for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) ::sigaction(sig, &crash, nullptr);
    std::thread([] {
        // the checking thread alone takes the signal
        sigset_t set;
        ::sigemptyset(&set);
        ::sigaddset(&set, SIGUSR1);
        ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
        auto last = std::chrono::steady_clock::now();
        int performing = tildekit_performing.load(std::memory_order_relaxed);
        std::int64_t b = beats.load(std::memory_order_relaxed);
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            auto now = std::chrono::steady_clock::now();
            int p = tildekit_performing.load(std::memory_order_relaxed);
            std::int64_t nb = beats.load(std::memory_order_relaxed);
            if (p != performing || nb != b) last = now;
            performing = p;
            b = nb;
            if (std::chrono::duration<double>(now - last).count() > hang.after) {
                ::pthread_kill(checking_thread, SIGUSR1);
                std::this_thread::sleep_for(std::chrono::seconds(5));
                report_hang();  // the checking thread did not take the signal
            }
        }
    }).detach();
}
#endif

// ---- results --------------------------------------------------------------------------

struct Outcome {
    bool pass = true;
    std::string detail;
    long long cases = -1;  // property checks: the cases run
    long long gains_judged = 0;  // stable: the cases whose stated gains were compared
    long long repro_case = -1;  // a hang in a property check: the case that hung
};

// Samples that break the output rules: NaN, infinity, subnormal, or beyond the peak limit.
std::optional<std::string> bad_sample(const std::vector<double> &v, std::size_t from, double limit) {
    for (std::size_t i = from; i < v.size(); ++i) {
        double x = v[i];
        if (std::isnan(x)) return "NaN at sample " + std::to_string(i);
        if (std::isinf(x)) return "infinity at sample " + std::to_string(i);
        if (std::fpclassify(x) == FP_SUBNORMAL) return "subnormal " + num(x) + " at sample " + std::to_string(i);
        if (std::isfinite(limit) && std::fabs(x) > limit) return "peak " + num(x) + " beyond " + num(limit) + " at sample " + std::to_string(i);
    }
    return std::nullopt;
}

// The floating-point control register besides the rounding mode: SSE's MXCSR without its exception
// flags (they may change), or AArch64's FPCR (its flags live apart, in FPSR)
static unsigned fp_control()
{
#if defined(__aarch64__)
    return (unsigned)__builtin_aarch64_get_fpcr();
#else
    return _mm_getcsr() & ~0x3Fu;
#endif
}

struct FpEnv {
    int round;
    unsigned csr;
    static FpEnv now() { return {std::fegetround(), fp_control()}; }
    bool operator==(const FpEnv &o) const { return round == o.round && csr == o.csr; }
};

// Uniform noise in [-1, 1) at sample `at` of a stream: a hash of the seed and the position, so the
// same samples whatever the vector size, and a block costs a few operations per sample instead of
// seeding a large generator for every block.
inline double noise_at(std::uint64_t seed, std::int64_t at) {
    std::uint64_t z = seed * 0xD1B54A32D192ED03ull + std::uint64_t(at) * 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return double(z >> 11) * 0x1.0p-52 - 1.0;
}

// One box in a patch of its own, fed noise on its audio inlets and clean controls.
struct Rig {
    tk::Patch patch;
    tk::Box *box = nullptr;
    std::vector<int> outs;
    Rig(Context &c, double sr, int block, const std::string &args) : patch(sr, block) {
        box = patch.create(c.name + (args.empty() ? "" : " " + args));
        if (!box) fail("the box '" + c.name + " " + args + "' was refused");
        for (int o = 0; o < box->outlets(); ++o)
            if (box->outlet_is_signal(o)) {
                patch.capture(box, o);
                outs.push_back(o);
            }
    }
    // The clean input of feed_clean, computed ahead for `frames` samples (silence after them):
    // a block then costs the host next to nothing beside the perform routine.
    void feed_ahead(Context &c, std::uint64_t seed, std::int64_t frames) {
        for (int i = 0; i < box->signal_inlets(); ++i) {
            if (i >= c.prof.audio_inlets && !(c.prof.control_hi > c.prof.control_lo)) {
                patch.unfeed(box, i);
                continue;
            }
            std::vector<double> v(static_cast<std::size_t>(frames));
            fill_clean(c, seed, i, v.data(), long(frames), 0);
            patch.feed(box, i, std::move(v));
        }
    }
    static void fill_clean(Context &c, std::uint64_t seed, int i, double *out, long n, std::int64_t start) {
        if (i < c.prof.audio_inlets) {
            for (long k = 0; k < n; ++k) out[k] = noise_at(seed + std::uint64_t(i), start + k);
        } else {
            double lo = c.prof.control_lo, hi = c.prof.control_hi;
            for (long k = 0; k < n; ++k) out[k] = lo + (hi - lo) * (0.5 + 0.5 * std::sin(double(start + k) * 1e-4));
        }
    }
    void feed_clean(Context &c, std::uint64_t seed) {
        for (int i = 0; i < box->signal_inlets(); ++i) {
            if (i < c.prof.audio_inlets) {
                std::uint64_t s = seed + std::uint64_t(i);
                patch.feed(box, i, [s](double *out, long n, std::int64_t start) {
                    beat();
                    for (long k = 0; k < n; ++k) out[k] = noise_at(s, start + k);
                });
            } else if (c.prof.control_hi > c.prof.control_lo) {
                double lo = c.prof.control_lo, hi = c.prof.control_hi;
                patch.feed(box, i, [lo, hi](double *out, long n, std::int64_t start) {
                    beat();
                    for (long k = 0; k < n; ++k) out[k] = lo + (hi - lo) * (0.5 + 0.5 * std::sin(double(start + k) * 1e-4));
                });
            } else {
                patch.unfeed(box, i);
            }
        }
    }
    // Runs and checks every new output sample; returns the outputs of this run.
    void run_checked(std::int64_t frames, double limit, const std::string &where) {
        set_stage(where);
        patch.clear_outputs();
        FpEnv before = FpEnv::now();
        auto allocs = tk::allocations_in_perform();
        auto libc = libc_calls_in_perform();
        patch.run(frames);
        if (!(FpEnv::now() == before)) fail(where + ": the floating-point environment changed (rounding or flush-to-zero)");
        if (tk::allocations_in_perform() != allocs) fail(where + ": the perform routine allocated from the host");
        if (libc_calls_in_perform() != libc) fail(where + ": the perform routine called malloc, calloc, realloc or free");
        for (int o : outs)
            if (auto bad = bad_sample(patch.output(box, o), 0, limit)) fail(where + ", outlet " + std::to_string(o) + ": " + *bad);
    }
};

// ---- the checks ----------------------------------------------------------------------

void check_churn(Context &c) {
    const std::vector<std::string> variants = {"", c.prof.args, "0", "-1", "1e9", "nan", "foo", "0 0 0 0 0 0 0 0"};
    int cycles = c.full ? 1000 : 48;
    for (int i = 0; i < cycles; ++i) {
        const std::string &v = variants[std::size_t(i) % variants.size()];
        if (std::find(c.prof.churn_skip.begin(), c.prof.churn_skip.end(), v) != c.prof.churn_skip.end()) continue;
        set_stage("cycle " + std::to_string(i) + " with arguments '" + v + "'");
        auto before = tk::memory_stats();
        auto dsp_frees = tk::frees_without_dsp_free();
        {
            tk::Patch p(48000, 64);
            tk::Box *b = p.create(c.name + (v.empty() ? "" : " " + v));
            if (b && i % 8 == 1) {
                for (int k = 0; k < b->signal_inlets(); ++k) p.feed(b, k, std::vector<double>(64, 0.25));
                p.run(128);
            }
        }
        auto after = tk::memory_stats();
        if (tk::frees_without_dsp_free() != dsp_frees)
            fail("cycle " + std::to_string(i) + " with arguments '" + v + "': the free routine returned without z_dsp_free after z_dsp_setup " +
                 "(in a running chain its perform routine would stay on freed memory)");
        if (after.live_blocks != before.live_blocks)
            fail("cycle " + std::to_string(i) + " with arguments '" + v + "': " + std::to_string(after.live_blocks - before.live_blocks) +
                 " allocations (" + std::to_string(after.live_bytes - before.live_bytes) + " bytes) not returned");
    }
}

void check_rates(Context &c) {
    std::vector<double> rates = {8000, 11025, 22050, 32000, 44100, 48000, 88200, 96000, 176400, 192000, 384000, 1234.5678, 44123.45, 123456.78};
    if (!c.full) rates = {8000, 44100, 96000, 192000, 1234.5678, 44123.45};
    Rig r(c, rates[0], 64, c.prof.args);
    r.feed_clean(c, c.seed);
    for (double sr : rates) {
        r.patch.set_samplerate(sr);
        r.run_checked(64 * 5, c.prof.peak_limit, "at " + num(sr) + " Hz");
    }
}

void check_vectors(Context &c) {
    std::vector<int> sizes = {1, 2, 3, 7, 16, 17, 63, 64, 65, 127, 511, 512, 1024, 2027, 2048, 4096};
    Rig r(c, 48000, 64, c.prof.args);
    r.feed_clean(c, c.seed);
    for (int n : sizes) {
        r.patch.set_blocksize(n);
        r.run_checked(std::max(3 * n, 256), c.prof.peak_limit, "vector size " + std::to_string(n));
    }
    int recompiles = c.full ? 200 : 24;
    std::uniform_int_distribution<int> size(1, 4096);
    for (int k = 0; k < recompiles; ++k) {
        int n = k % 5 == 0 ? 1 : size(c.rng);
        r.patch.set_blocksize(n);
        r.run_checked(2 * n, c.prof.peak_limit, "recompile " + std::to_string(k) + " at vector size " + std::to_string(n));
    }
}

void check_hostile(Context &c) {
    const std::vector<std::pair<const char *, double>> bad = {
        {"NaN", std::nan("")}, {"+infinity", HUGE_VAL}, {"-infinity", -HUGE_VAL}, {"1e30", 1e30}, {"1e-40", 1e-40}};
    const int block = 64;
    const double sr = 48000;
    for (auto [label, value] : bad) {
        Rig r(c, sr, block, c.prof.args);
        set_stage(std::string("a block of ") + label + " samples");
        // inlets whose stated limits exclude the value keep their clean input
        std::vector<int> held;
        std::string why;
        for (int i = 0; i < r.box->signal_inlets(); ++i)
            for (auto &l : current_limits().signals)
                if (l.covers(i) && l.excludes(value)) {
                    held.push_back(i);
                    why = l.reason;
                    break;
                }
        if (!held.empty()) {
            std::string at;
            for (int i : held) at += (at.empty() ? "" : ", ") + std::to_string(i);
            bool none_left = int(held.size()) == r.box->signal_inlets();
            note_skip(std::string(label) + " samples at inlet" + (held.size() > 1 ? "s " : " ") + at +
                          (none_left ? "" : " (the other inlets still get them)"),
                      why);
            if (none_left) continue;
        }
        r.feed_clean(c, c.seed);
        r.patch.run(block * 4);
        double v = value;
        for (int i = 0; i < r.box->signal_inlets(); ++i)
            if (std::find(held.begin(), held.end(), i) == held.end())
                r.patch.feed(r.box, i, [v](double *out, long n, std::int64_t) { std::fill(out, out + n, v); });
        r.patch.run(block);
        r.feed_clean(c, c.seed + 1);
        // one block plus the object's own memory, at most a second
        r.patch.clear_outputs();
        r.patch.run(std::int64_t(sr) + block);
        // finite again; a resonance may still ring with the energy it took in, so no peak limit
        r.run_checked(block * 8, HUGE_VAL, std::string("after a block of ") + label + " samples and a second of clean input");
    }
}

tk::Atoms fuzz_args(Context &c, int max_atoms) {
    static const std::vector<tk::Atom> pool = {
        tk::Atom(0), tk::Atom(-0.0), tk::Atom(1), tk::Atom(-1), tk::Atom(0.5), tk::Atom(1e38), tk::Atom(-1e38),
        tk::Atom(HUGE_VAL), tk::Atom(-HUGE_VAL), tk::Atom(std::nan("")), tk::Atom(2147483647), tk::Atom(-2147483647 - 1),
        tk::Atom(1e-40), tk::Atom(100), tk::Atom(20000.0), tk::Atom(-96.0), tk::Atom("foo"), tk::Atom("bp2")};
    std::uniform_int_distribution<int> count(0, max_atoms), pick(0, int(pool.size()) - 1);
    int n = count(c.rng);
    tk::Atoms a;
    for (int i = 0; i < n; ++i) a.push_back(pool[std::size_t(pick(c.rng))]);
    return a;
}

std::vector<std::string> message_selectors(const tk::ClassInfo &info) {
    std::set<std::string> seen;
    std::vector<std::string> out;
    for (auto &m : info.methods) {
        if (m.types.size() == 1 && m.types[0] == 9 && m.selector != "float" && m.selector != "int" &&
            m.selector.rfind("ft", 0) != 0 && m.selector.rfind("in", 0) != 0)
            continue;  // called by the host only
        if (seen.insert(m.selector).second) out.push_back(m.selector);
    }
    return out;
}

void check_fuzz(Context &c) {
    const tk::ClassInfo &info = tk::load_class(c.name);
    auto selectors = message_selectors(info);
    if (selectors.empty()) return;
    int permutations = c.full ? 50 : 10;
    int max_atoms = c.full ? 256 : 12;
    std::uniform_int_distribution<int> boundary(0, 1);
    for (int p = 0; p < permutations; ++p) {
        Rig r(c, 48000, 64, c.prof.args);
        r.feed_clean(c, c.seed);
        std::shuffle(selectors.begin(), selectors.end(), c.rng);
        for (int blk = 0; blk < 5; ++blk) {
            for (auto &s : selectors) {
                if (boundary(c.rng)) continue;  // at random block boundaries
                std::uniform_int_distribution<int> inlet(0, std::max(0, r.box->inlets() - 1));
                int in = (s == "float" || s == "int") ? inlet(c.rng) : 0;
                set_stage("permutation " + std::to_string(p) + ", block " + std::to_string(blk) + ", message '" + s + "'");
                send_within_limits(r.patch, r.box, in, s, fuzz_args(c, max_atoms));
            }
            auto allocs = tk::allocations_in_perform();
            auto libc = libc_calls_in_perform();
            r.patch.run(64);
            if (tk::allocations_in_perform() != allocs || libc_calls_in_perform() != libc)
                fail("permutation " + std::to_string(p) + ": the perform routine allocated");
        }
        // Sane values again: every parameter message clamps into its range, so zeros (a list of
        // zeros for list messages, 0 at every number inlet) leave each parameter at a valid
        // value; then the output must be finite within a second and a block.
        set_stage("permutation " + std::to_string(p) + ", sane values sent again");
        for (auto &m : info.methods) {
            if (m.types.size() == 1 && m.types[0] == 9) continue;  // host calls and numbers below
            bool gimme = m.types.size() == 1 && m.types[0] == 8;
            send_within_limits(r.patch, r.box, 0, m.selector, gimme ? tk::Atoms(8, tk::Atom(0)) : tk::Atoms{});
        }
        for (int in = 0; in < r.box->inlets(); ++in) send_within_limits(r.patch, r.box, in, "float", {0.0});
        r.feed_clean(c, c.seed + 7);
        r.patch.run(48000 + 64);
        r.run_checked(64 * 8, HUGE_VAL, "permutation " + std::to_string(p) + ", after sane values were sent again");
    }
}

// Messages from a second thread while the audio thread runs blocks, as a scheduler running
// beside the audio thread delivers them: a message may land between any two samples of a
// perform routine. Every selector the class takes goes out with arguments from the limit pool,
// spread over the blocks; some go out from the thread that runs the blocks and fires the clocks
// (the scheduler of this patch), between blocks, the rest from the second thread, one message
// at a time (a lock keeps the two senders from overlapping, as one message queue would).
// Nothing may crash (a crash names the message being sent); then both this box and a fresh one
// get the same settings, between blocks, and after the object's own memory (`settle_s`) their
// outputs must agree and be finite. The verdict does not hang on where the messages landed: a
// sound object ends in the same state wherever they did. The second thread waits for a perform
// routine to be running before each message, so that most land inside a block, where such
// faults live.
void check_threads(Context &c) {
    const tk::ClassInfo &info = tk::load_class(c.name);
    if (!info.dsp) return;  // control objects: their messages and clocks share one thread
    const std::vector<std::string> selectors = message_selectors(info);
    if (selectors.empty()) return;
    const double sr = 48000;
    const std::vector<int> sizes = c.full ? std::vector<int>{4096, 64, 7} : std::vector<int>{4096};
    const int blocks = c.full ? 48 : 8;
    const int per_block = c.full ? 96 : 32;  // messages per block from the second thread, on average
    const int own_per_block = per_block / 8;  // and from the scheduler thread, between blocks
    for (int n : sizes) {
        Rig box(c, sr, n, c.prof.args), fresh(c, sr, n, c.prof.args);
        // the sender waits for perform routines; past this many blocks it stops waiting
        const std::int64_t most_blocks = std::int64_t(blocks) * 2;
        box.feed_ahead(c, c.seed, std::int64_t(n) * (most_blocks + 2));
        fresh.feed_ahead(c, c.seed, std::int64_t(n) * (most_blocks + 2));
        box.patch.run(n);  // compiled before the second thread starts
        fresh.patch.run(n);
        const int inlets = box.box->inlets();
        const std::int64_t total = std::int64_t(blocks) * per_block;
        std::atomic<std::int64_t> done_blocks{0}, sent{0};
        std::atomic<bool> hurry{false};
        std::mutex one_at_a_time;
        std::string thread_error;
        Context mc{c.name, c.prof, c.full, c.seed, std::mt19937_64(c.rng()), 0, 0, std::nullopt};
        Context own{c.name, c.prof, c.full, c.seed, std::mt19937_64(c.rng()), 0, 0, std::nullopt};
        const std::string size = "vector size " + std::to_string(n);
        auto said = [](const std::string &s, int in, const tk::Atoms &args) {
            return "'" + s + (args.empty() ? "" : " " + tk::atoms_text(args)) + "' at inlet " + std::to_string(in);
        };
        set_stage(size + ", blocks and clocks on this thread, messages from a second thread");
        std::thread sender([&] {
            tk::ConsoleCapture own_posts;  // this thread's posts, judged like the others (and kept off the terminal)
            try {
                std::uniform_int_distribution<int> pick(0, int(selectors.size()) - 1), inlet(0, std::max(0, inlets - 1));
                for (std::int64_t k = 0; k < total; ++k) {
                    // keep pace with the audio thread, at most one block's share ahead of it, and
                    // send while a perform routine runs
                    while (!hurry.load() && (k >= (done_blocks.load() + 1) * per_block || !tildekit_performing)) std::this_thread::yield();
                    const std::string &s = selectors[std::size_t(pick(mc.rng))];
                    int in = (s == "float" || s == "int") ? inlet(mc.rng) : 0;
                    const tk::Atoms args = fuzz_args(mc, 3);
                    set_sender_stage(size + ", " + said(s, in, args) + " from the second thread");
                    {
                        std::lock_guard<std::mutex> lock(one_at_a_time);
                        send_within_limits(box.patch, box.box, in, s, args);
                    }
                    sent.store(k + 1);
                }
            } catch (const std::exception &e) {
                thread_error = e.what();
            }
            sender_stage[0] = 0;
            sent.store(total);
        });
        // the audio thread: blocks until every message has gone out
        std::int64_t ran = 0;
        auto last_sent = std::chrono::steady_clock::now();
        std::int64_t seen = 0;
        std::uniform_int_distribution<int> own_pick(0, int(selectors.size()) - 1), own_inlet(0, std::max(0, inlets - 1));
        while (sent.load() < total) {
            box.patch.run(n);
            done_blocks.store(++ran);
            if (ran >= most_blocks) hurry.store(true);
            if (ran <= blocks)
                for (int k = 0; k < own_per_block; ++k) {
                    const std::string &s = selectors[std::size_t(own_pick(own.rng))];
                    int in = (s == "float" || s == "int") ? own_inlet(own.rng) : 0;
                    const tk::Atoms args = fuzz_args(own, 3);
                    set_stage(size + ", " + said(s, in, args) + " from the scheduler thread, between blocks");
                    std::lock_guard<std::mutex> lock(one_at_a_time);
                    send_within_limits(box.patch, box.box, in, s, args);
                }
            set_stage(size + ", blocks and clocks on this thread, messages from a second thread");
            if (std::int64_t now_sent = sent.load(); now_sent != seen) {
                seen = now_sent;
                last_sent = std::chrono::steady_clock::now();
            } else if (std::chrono::duration<double>(std::chrono::steady_clock::now() - last_sent).count() > hang.after) {
#ifndef _WIN32
                // the sender is stuck inside a message: it cannot be joined, so the child ends here
                set_stage(size + ", a message from the second thread did not return" + (sender_stage[0] ? std::string(" (") + sender_stage + ")" : ""));
                report_hang();
#endif
            }
        }
        sender.join();
        if (!thread_error.empty()) fail(size + ": sending from a second thread: " + thread_error);
        fresh.patch.run(std::int64_t(n) * ran);

        // the same settings for both, between blocks, and the same input from here on
        for (Rig *r : {&box, &fresh}) {
            if (c.prof.settings.empty()) {
                for (auto &m : info.methods) {
                    if (m.types.empty() || (m.types.size() == 1 && m.types[0] == 9)) continue;  // no arguments, host calls
                    bool gimme = m.types.size() == 1 && m.types[0] == 8;
                    send_within_limits(r->patch, r->box, 0, m.selector, gimme ? tk::Atoms(8, tk::Atom(0)) : tk::Atoms{tk::Atom(0)});
                }
                for (int in = 0; in < r->box->inlets(); ++in) send_within_limits(r->patch, r->box, in, "float", {0.0});
            } else {
                for (auto &[in, text] : c.prof.settings) r->patch.send_text(r->box, in, text);
            }
            r->feed_clean(c, c.seed + 9);
            r->patch.run(std::int64_t(c.prof.settle_s * sr));
        }
        const std::string where = size + ", " + std::to_string(total) + " messages from a second thread and " +
                                  std::to_string(std::int64_t(blocks) * own_per_block) + " from the scheduler thread";
        box.run_checked(4096, c.prof.peak_limit, where + ", then the same settings as a fresh box and " + num(c.prof.settle_s) + " s");
        fresh.patch.clear_outputs();
        fresh.patch.run(4096);
        if (!c.prof.keeps_history.empty()) continue;
        for (std::size_t k = 0; k < box.outs.size(); ++k) {
            int o = box.outs[k];
            const auto &a = box.patch.output(box.box, o), &b = fresh.patch.output(fresh.box, o);
            for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
                // what remains of the two histories, decayed over the settling time
                if (!(std::fabs(a[i] - b[i]) <= 1e-9 * std::max(1.0, std::fabs(b[i]))))
                    fail(where + ": outlet " + std::to_string(o) + " gives " + num(a[i]) + " where a fresh box given the same settings gives " +
                         num(b[i]) + ", sample " + std::to_string(i) + " after " + num(c.prof.settle_s) + " s");
        }
    }
}

void check_determinism(Context &c) {
    auto render = [&](std::uint64_t seed) {
        Rig r(c, 48000, 64, c.prof.args);
        r.feed_clean(c, seed);
        const tk::ClassInfo &info = tk::load_class(c.name);
        std::mt19937_64 g(seed);
        Context copy{c.name, c.prof, false, seed, g, 0, 0, std::nullopt};
        auto selectors = message_selectors(info);
        r.patch.run(256);
        for (auto &s : selectors)
            if (s != "float" && s != "int") send_within_limits(r.patch, r.box, 0, s, fuzz_args(copy, 2));
        r.patch.run(1024);
        std::vector<std::vector<double>> outs;
        for (int o : r.outs) outs.push_back(r.patch.output(r.box, o));
        std::vector<tk::Event> ev = r.box->events();
        return std::make_pair(outs, ev.size());
    };
    auto a = render(c.seed), b = render(c.seed);
    if (a.second != b.second) fail("the same input gave " + std::to_string(a.second) + " and " + std::to_string(b.second) + " control events");
    for (std::size_t o = 0; o < a.first.size(); ++o)
        for (std::size_t i = 0; i < a.first[o].size(); ++i) {
            double x = a.first[o][i], y = b.first[o][i];
            if (std::memcmp(&x, &y, sizeof x) != 0)
                fail("two fresh boxes fed the same input differ at outlet " + std::to_string(o) + ", sample " + std::to_string(i) + ": " + num(x) + " vs " + num(y));
        }
}

void check_silence(Context &c) {
    if (c.prof.generator) return;
    Rig r(c, 48000, 64, c.prof.args);
    r.feed_clean(c, c.seed);
    r.patch.run(4800);
    for (int i = 0; i < c.prof.audio_inlets && i < r.box->signal_inlets(); ++i) r.patch.feed(r.box, i, std::vector<double>{});
    // the decay is judged as it goes, as the long runs judge theirs (this stands for their run
    // of silence too): no NaN, infinity, subnormal or peak beyond the limit, no allocation
    for (int s = 0; s < (c.full ? 20 : 2); ++s) r.run_checked(48000, c.prof.peak_limit, "second " + std::to_string(s) + " of silence after noise");
    r.patch.clear_outputs();
    r.patch.run(64 * 4);
    int audio = c.prof.audio_outlets < 0 ? int(r.outs.size()) : std::min<int>(c.prof.audio_outlets, int(r.outs.size()));
    for (int k = 0; k < audio; ++k) {
        int o = r.outs[std::size_t(k)];
        for (double v : r.patch.output(r.box, o))
            if (!(std::fabs(v) <= 1e-7)) fail("outlet " + std::to_string(o) + " still carries " + num(v) + " after " + (c.full ? "20" : "2") + " s of silence");
    }
}

// Every combination of signal-connected inlets, with shared and with separate buffers.
void check_connections(Context &c) {
    for (bool separate : {false, true}) {
        Rig probe(c, 48000, 64, c.prof.args);
        int nin = std::min(probe.box->signal_inlets(), 6);  // 64 combinations at most
        for (int mask = 0; mask < (1 << nin); ++mask) {
            Rig r(c, 48000, 64, c.prof.args);
            r.patch.set_separate_buffers(separate);
            r.feed_clean(c, c.seed);
            for (int i = 0; i < nin; ++i)
                if (!(mask & (1 << i))) r.patch.unfeed(r.box, i);
            std::string where = std::string(separate ? "separate" : "shared") + " buffers, inlets connected mask " + std::to_string(mask);
            r.run_checked(64 * 4, c.prof.peak_limit, where);
            if (r.patch.input_writes()) fail(where + ": the perform routine wrote into an input buffer it does not own");
        }
    }
}

// Long runs of noise, silence, a full-scale square and a sweep: nothing blows up.
void check_longrun(Context &c) {
    const double sr = 48000;
    const std::int64_t seconds = c.full ? 60 : 5;
    using Gen = std::function<void(double *, long, std::int64_t)>;
    std::uint64_t seed = c.seed;
    const std::vector<std::pair<const char *, Gen>> inputs = {
        {"noise", [seed](double *o, long n, std::int64_t start) {
             beat();
             for (long k = 0; k < n; ++k) o[k] = noise_at(seed ^ 0x6E6F697365ull, start + k);
         }},
        {"silence", [](double *o, long n, std::int64_t) { std::fill(o, o + n, 0.0); }},
        {"square", [sr](double *o, long n, std::int64_t start) {
             for (long k = 0; k < n; ++k) o[k] = std::fmod(double(start + k) * 110.0 / sr, 1.0) < 0.5 ? 1.0 : -1.0;
         }},
        {"sweep", [sr, seconds](double *o, long n, std::int64_t start) {
             // 20 Hz to 20 kHz, exponential, over the whole run
             const double T = double(seconds), k = std::log(1000.0);
             for (long i = 0; i < n; ++i) {
                 double t = double(start + i) / sr;
                 o[i] = std::sin(2 * M_PI * 20.0 * T / k * (std::exp(k * t / T) - 1.0));
             }
         }},
    };
    for (auto &[label, gen] : inputs) {
        // silence into a fresh box: the silence check's decay after noise, judged sample by
        // sample as here, covers it and more (it starts from a state that noise filled)
        if (std::string(label) == "silence" && !c.prof.generator) continue;
        Rig r(c, sr, 64, c.prof.args);
        r.feed_clean(c, c.seed);
        for (int i = 0; i < std::min(c.prof.audio_inlets, r.box->signal_inlets()); ++i) r.patch.feed(r.box, i, gen);
        for (std::int64_t s = 0; s < seconds; ++s)
            r.run_checked(std::int64_t(sr), c.prof.peak_limit, std::string(label) + ", second " + std::to_string(s));
    }
}

struct CheckDef {
    const char *name;
    void (*fn)(Context &);
};
const std::vector<CheckDef> &check_table() {
    static const std::vector<CheckDef> t = {
        {"churn", check_churn},     {"rates", check_rates},           {"vectors", check_vectors}, {"longrun", check_longrun},
        {"hostile", check_hostile},
        {"fuzz", check_fuzz},       {"threads", check_threads},         {"connections", check_connections}, {"determinism", check_determinism},
        {"silence", check_silence}};
    static const std::vector<CheckDef> all = [] {
        std::vector<CheckDef> v = t;
        for (auto &p : vd::property_checks()) v.push_back({p.name, p.fn});
        return v;
    }();
    return all;
}

// ---- child processes -----------------------------------------------------------------

std::uint64_t mix(std::uint64_t seed, const std::string &a, const std::string &b) {
    std::uint64_t h = seed ^ 0xcbf29ce484222325ull;
    for (char ch : a + "/" + b) h = (h ^ std::uint8_t(ch)) * 0x100000001b3ull;
    return h;
}

// Runs the checks and reports "BEGIN c", "PASS c", "FAIL c<TAB>detail", "SKIPPED c<TAB>text<TAB>count"
// and "TIME c<TAB>seconds" lines through `say`.
void run_checks(const std::string &name, const ValidateOptions &o, std::uint64_t seed,
                const std::function<void(const std::string &)> &say) {
    tk::ConsoleCapture quiet;  // the externals' posts are not the validator's business
    for (auto &def : check_table()) {
        if (!o.only.empty() && o.only != def.name) continue;
        bool property = std::any_of(vd::property_checks().begin(), vd::property_checks().end(),
                                    [&](const vd::PropertyCheck &p) { return def.name == std::string(p.name); });
        say(std::string("BEGIN ") + def.name);
        std::clock_t cpu0 = std::clock();  // processor time: what a check costs, whatever else the machine runs
        Context c{name, profile_for(name), o.full, seed, std::mt19937_64(mix(seed, name, def.name)), 0, 0, std::nullopt};
        c.only_case = o.case_index;
        if (property && std::none_of(c.prof.properties.begin(), c.prof.properties.end(),
                                     [&](const vd::Property &p) { return p.kind == def.name; })) {
            say(std::string("SKIP ") + def.name);  // not declared for this external
            continue;
        }
        hang.check = def.name;
        hang.ctx = property ? &c : nullptr;
        set_stage("starting");
        {
            std::lock_guard<std::mutex> lock(skips_lock);
            skips().clear();
        }
        std::string verdict;
        try {
            tk::load_class(name);
            def.fn(c);
            verdict = std::string("PASS ") + def.name + (property ? "\t" + std::to_string(c.cases) + "\t" + std::to_string(c.gains_judged) : "");
        } catch (const std::exception &e) {
            std::string d = e.what();
            std::replace(d.begin(), d.end(), '\n', ' ');
            verdict = std::string("FAIL ") + def.name + "\t" + d;
        }
        hang.ctx = nullptr;
        {
            std::lock_guard<std::mutex> lock(skips_lock);
            for (auto &[text, n] : skips()) say(std::string("SKIPPED ") + def.name + "\t" + text + "\t" + std::to_string(n));
        }
        say(std::string("TIME ") + def.name + "\t" + num(double(std::clock() - cpu0) / CLOCKS_PER_SEC));
        say(verdict);
        quiet.clear();
    }
}

#ifndef _WIN32
// In the child: runs the checks and writes their lines to the pipe.
[[noreturn]] void child_main(int fd, const std::string &name, const ValidateOptions &o, std::uint64_t seed) {
    ::alarm(o.full ? 7200 : 1200);  // a last resort: the watchdog catches what stops answering
    start_watchdog(fd, o.hang_after);
    run_checks(name, o, seed, [&](const std::string &line) {
        beat();
        std::string l = line + "\n";
        if (::write(fd, l.data(), l.size()) < 0) _exit(3);
    });
    ::close(fd);
    _exit(0);
}
#endif

struct Result {
    std::string name;
    std::map<std::string, Outcome> checks;
    std::map<std::string, double> seconds;            // per check
    std::vector<std::pair<std::string, std::string>> skipped;  // (check, what and why)
    std::string hang;                                  // the hang line, when there was one
    std::map<std::string, std::string> crash_where;    // per check: what it was doing when the child crashed
};

// The lines of a run, one outcome per check; `running` is left naming a check that began and
// never ended.
void read_lines(const std::string &data, Result &res, std::string &running) {
    std::istringstream in(data);
    std::string line;
    auto field = [](const std::string &l, std::size_t k) {  // the k-th of the tab-separated fields
        std::size_t from = 0;
        for (std::size_t i = 0; i < k; ++i) {
            from = l.find('\t', from);
            if (from == std::string::npos) return std::string();
            ++from;
        }
        return l.substr(from, l.find('\t', from) == std::string::npos ? std::string::npos : l.find('\t', from) - from);
    };
    while (std::getline(in, line)) {
        if (line.rfind("BEGIN ", 0) == 0) {
            running = line.substr(6);
        } else if (line.rfind("PASS ", 0) == 0) {
            auto tab = line.find('\t');
            Outcome ok;
            if (tab != std::string::npos) {
                std::size_t end = 0;
                ok.cases = std::stoll(line.substr(tab + 1), &end);
                if (line.size() > tab + 1 + end) ok.gains_judged = std::stoll(line.substr(tab + 2 + end));
            }
            res.checks[line.substr(5, tab == std::string::npos ? std::string::npos : tab - 5)] = ok;
            running.clear();
        } else if (line.rfind("SKIP ", 0) == 0) {
            running.clear();
        } else if (line.rfind("SKIPPED ", 0) == 0) {
            std::string check = field(line, 0).substr(8), text = field(line, 1), n = field(line, 2);
            res.skipped.emplace_back(check, text + (n == "1" ? "" : ", " + n + " times"));
        } else if (line.rfind("TIME ", 0) == 0) {
            res.seconds[field(line, 0).substr(5)] = std::atof(field(line, 1).c_str());
        } else if (line.rfind("HANG\t", 0) == 0) {
            std::string check = field(line, 1), secs = field(line, 2), where = field(line, 3);
            Outcome o{false, "no answer from the external for " + secs + " s in check " + check + (where.empty() ? "" : " (" + where + ")")};
            if (where.rfind("case ", 0) == 0) o.repro_case = std::atoll(where.c_str() + 5);  // the case to rerun
            res.checks[check] = o;
            res.hang = res.name + ": " + o.detail;
            running.clear();
        } else if (line.rfind("CRASH\t", 0) == 0) {
            res.crash_where[field(line, 1)] = field(line, 3);  // the verdict comes from the child's end
        } else if (line.rfind("FAIL ", 0) == 0) {
            auto tab = line.find('\t');
            res.checks[line.substr(5, tab - 5)] = {false, tab == std::string::npos ? "" : line.substr(tab + 1)};
            running.clear();
        }
    }
}

#ifdef _WIN32
// Windows has no fork: the checks run in the validator's own process, so a crash ends the
// whole run instead of failing one external (validate_main says so once).
Result run_child(const std::string &name, const ValidateOptions &o, std::uint64_t seed) {
    Result res;
    res.name = name;
    std::string data, running;
    run_checks(name, o, seed, [&](const std::string &line) { data += line + "\n"; });
    read_lines(data, res, running);
    return res;
}
#else
// A child process checking one external; its lines come through a pipe.
struct Child {
    std::size_t index;
    pid_t pid;
    int fd;
    std::string data;
    std::chrono::steady_clock::time_point t0;
};

Child start_child(std::size_t index, const std::string &name, const ValidateOptions &o, std::uint64_t seed) {
    int fds[2];
    if (::pipe(fds) != 0) throw Failure("cannot create a pipe for the child process");
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) throw Failure("cannot start a child process");
    if (pid == 0) {
        ::close(fds[0]);
        child_main(fds[1], name, o, seed);
    }
    ::close(fds[1]);
    return {index, pid, fds[0], {}, std::chrono::steady_clock::now()};
}

Result finish_child(Child &ch, const std::string &name) {
    Result res;
    res.name = name;
    ::close(ch.fd);
    int status = 0;
    while (::waitpid(ch.pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::string running;
    read_lines(ch.data, res, running);
    if (!running.empty()) {
        std::string why;
        if (WIFSIGNALED(status)) {
            int sig = WTERMSIG(status);
            why = sig == SIGALRM ? "timed out" : std::string("crashed with signal ") + std::to_string(sig) + " (" + strsignal(sig) + ")";
            if (auto it = res.crash_where.find(running); it != res.crash_where.end() && !it->second.empty() && sig != SIGALRM)
                why += " at " + it->second;
        } else {
            why = "the child process ended with status " + std::to_string(WEXITSTATUS(status));
        }
        res.checks[running] = {false, why};
    }
    return res;
}
#endif

std::vector<std::string> all_externals() {
    std::set<std::string> names;
    const auto exts = tk::module_extensions();
    for (auto &dir : tk::search_paths()) {
        DIR *d = ::opendir(dir.c_str());
        if (!d) continue;
        while (dirent *e = ::readdir(d)) {
            std::string f = e->d_name;
            for (auto &ext : exts)
                if (f.size() > ext.size() && f.compare(f.size() - ext.size(), ext.size(), ext) == 0) names.insert(f.substr(0, f.size() - ext.size()));
        }
        ::closedir(d);
    }
    return {names.begin(), names.end()};
}

}  // namespace

// The checks and properties --only takes, for --help and errors.
static std::string check_list() {
    std::string s;
    for (auto &n : validate_checks()) s += (s.empty() ? "" : ", ") + n;
    return s;
}

void add_validate_options(CLI::App &cmd, ValidateOptions &o) {
    cmd.add_option("names", o.names, "External names (default: every external found)");
    cmd.add_flag("--all", o.all, "Every external found in the search path");
    auto *quick = cmd.add_flag("--quick", o.quick, "The quick subset of each check (the default)");
    cmd.add_flag("--full", o.full, "The full figures of each check")->excludes(quick);
    cmd.add_option("--seed", o.seed, "Seed of all randomness (default: from the clock; printed)");
    cmd.add_option("--only", o.only, "Run one check or property: " + check_list())
        ->type_name("CHECK");
    cmd.add_option("--case", o.case_index, "With --only PROPERTY: run that one case (as a failure's reproduction command names it)")
        ->type_name("K")
        ->check(CLI::NonNegativeNumber);
    cmd.add_flag("--times", o.times, "Also print the processor seconds each check took for each external");
    cmd.add_option("--hang-after", o.hang_after,
                   "Seconds without an answer from the external (no perform routine or message returning) that fail it as hung "
                   "(default 60)")
        ->type_name("S")
        ->check(CLI::Range(0.1, 3600.0));
    cmd.add_option("--json", o.json, "Also write the results as JSON (- for stdout)")->type_name("FILE");
    cmd.add_option("--jobs", o.jobs, "Externals validated at the same time, each in its own process (default: one per processor, at most 8)")
        ->type_name("N")
        ->check(CLI::Range(1, 64));
    cmd.footer(std::string("Properties are declared per external (built in for tildekit's own). ") + vd::profile_format_help() + "\n\n" +
               limits_help);
}

const std::vector<std::string> &validate_checks() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (auto &d : check_table()) v.push_back(d.name);
        return v;
    }();
    return names;
}

int run_validate(const ValidateOptions &o) {
    if (!o.only.empty() && std::find(validate_checks().begin(), validate_checks().end(), o.only) == validate_checks().end())
        throw BadInput("unknown check '" + o.only + "' (checks: " + check_list() + ")");
    if (o.case_index && o.only.empty()) throw BadInput("--case needs --only with the property the case belongs to");
    std::vector<std::string> names = o.names;
    if (o.all || names.empty()) {
        for (auto &n : all_externals())
            if (std::find(names.begin(), names.end(), n) == names.end()) names.push_back(n);
    }
    if (names.empty()) throw BadInput("no externals found to validate (use --path)");
    for (auto &n : names) {
        try {
            tk::ConsoleCapture banners;
            tk::load_class(n);
        } catch (const tk::Error &e) {
            throw cannot_load(n, e.what());
        }
        profile_for(n);  // a bad profile file is refused before anything runs
    }
    std::uint64_t seed = o.seed ? *o.seed : std::uint64_t(std::chrono::system_clock::now().time_since_epoch().count()) % 1000000007ull;
    std::fprintf(stderr, "tilde validate: %zu externals, %s checks, seed %llu, %d-bit host\n", names.size(), o.full ? "full" : "quick",
                 (unsigned long long)seed, tk::host_width_bits());
#ifdef _WIN32
    std::fprintf(stderr, "tilde validate: on Windows every external runs in this process (there is no fork), so a crash ends the run, "
                         "and only the host's allocations are counted in perform routines (the C library's cannot be interposed)\n");
#endif

    // Each external in a child process of its own, `jobs` of them at a time; results keep the
    // order of the names, progress lines come as they finish. This process starts no thread:
    // forking beside running threads is not safe under every emulator the 32-bit tests run in
    // (qemu-i386's own locks may be held by another thread at the fork), so one loop waits on
    // all children's pipes at once.
    std::vector<Result> results(names.size());
    auto progress = [&](std::size_t i, double secs) {
        int failed = 0;
        for (auto &[k, v] : results[i].checks) failed += !v.pass;
        if (!results[i].hang.empty()) std::fprintf(stderr, "%s\n", results[i].hang.c_str());
        std::fprintf(stderr, "  %-16s %s (%.1f s)\n", names[i].c_str(), failed ? "FAIL" : "ok", secs);
    };
#ifdef _WIN32
    for (std::size_t i = 0; i < names.size(); ++i) {
        auto t0 = std::chrono::steady_clock::now();
        results[i] = run_child(names[i], o, seed);
        progress(i, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
#else
    // by default as many at a time as there are processors (at most 8)
    const std::size_t jobs = o.jobs > 0 ? std::size_t(o.jobs) : std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 8);
    std::vector<Child> live;
    std::size_t next = 0;
    while (next < names.size() || !live.empty()) {
        while (live.size() < jobs && next < names.size()) {
            live.push_back(start_child(next, names[next], o, seed));
            ++next;
        }
        std::vector<pollfd> fds;
        for (auto &ch : live) fds.push_back({ch.fd, POLLIN, 0});
        if (::poll(fds.data(), nfds_t(fds.size()), -1) < 0) {
            if (errno == EINTR) continue;
            throw Failure(std::string("waiting for the child processes: ") + std::strerror(errno));
        }
        for (std::size_t k = live.size(); k-- > 0;) {
            if (!(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            ssize_t n = ::read(live[k].fd, buf, sizeof buf);
            if (n > 0) {
                live[k].data.append(buf, std::size_t(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            std::size_t i = live[k].index;
            results[i] = finish_child(live[k], names[i]);
            progress(i, std::chrono::duration<double>(std::chrono::steady_clock::now() - live[k].t0).count());
            live.erase(live.begin() + std::ptrdiff_t(k));
        }
    }
#endif

    // the table: external x check
    const auto &checks = validate_checks();
    std::printf("%-16s", "external");
    for (auto &c : checks) std::printf(" %-*s", int(std::max<std::size_t>(5, c.size())), c.c_str());
    std::printf("\n");
    int failures = 0;
    std::string path_words;
    for (auto &p : o.path_args) path_words += " --path " + p;
    for (auto &r : results) {
        std::printf("%-16s", r.name.c_str());
        for (auto &c : checks) {
            auto it = r.checks.find(c);
            std::printf(" %-*s", int(std::max<std::size_t>(5, c.size())), it == r.checks.end() ? "-" : it->second.pass ? "pass" : "FAIL");
        }
        std::printf("\n");
    }
    for (auto &r : results)
        for (auto &c : checks) {
            auto it = r.checks.find(c);
            if (it == r.checks.end() || it->second.pass) continue;
            failures++;
            // a property failure names its case, which reruns alone
            std::string case_words;
            const std::string &d = it->second.detail;
            if (auto at = d.find(", case "); at != std::string::npos && d.rfind(c + ": ", 0) == 0) {
                std::size_t from = at + 7, to = from;
                while (to < d.size() && std::isdigit(static_cast<unsigned char>(d[to]))) ++to;
                if (to > from) case_words = " --case " + d.substr(from, to - from);
            }
            if (it->second.repro_case >= 0) case_words = " --case " + std::to_string(it->second.repro_case);
            std::printf("\nFAIL %s / %s: %s\n  reproduce: %s%s %s --only %s%s --seed %llu%s\n", r.name.c_str(), c.c_str(),
                        it->second.detail.c_str(), o.command.c_str(), path_words.c_str(), r.name.c_str(), c.c_str(), case_words.c_str(),
                        (unsigned long long)seed, o.full ? " --full" : "");
        }
    // the cases left out because an external's profile states it does not take that input
    long long skipped = 0;
    for (auto &r : results)
        for (auto &[check, text] : r.skipped) {
            std::printf("%sskipped: %s / %s: %s\n", skipped ? "" : "\n", r.name.c_str(), check.c_str(), text.c_str());
            skipped++;
        }
    if (o.times) {
        // seconds per check and external, the slowest externals first, and each check's total
        std::printf("\nprocessor seconds per check (all threads of the child process)\n%-16s %7s", "external", "total");
        for (auto &c : checks) std::printf(" %*s", int(std::max<std::size_t>(5, c.size())), c.c_str());
        std::printf("\n");
        std::vector<std::pair<double, const Result *>> order;
        std::map<std::string, double> per_check;
        double all = 0;
        for (auto &r : results) {
            double t = 0;
            for (auto &[k, v] : r.seconds) {
                t += v;
                per_check[k] += v;
            }
            all += t;
            order.emplace_back(t, &r);
        }
        std::sort(order.begin(), order.end(), [](auto &a, auto &b) { return a.first > b.first; });
        for (auto &[t, r] : order) {
            std::printf("%-16s %7.2f", r->name.c_str(), t);
            for (auto &c : checks) {
                auto it = r->seconds.find(c);
                if (it == r->seconds.end()) std::printf(" %*s", int(std::max<std::size_t>(5, c.size())), "-");
                else std::printf(" %*.2f", int(std::max<std::size_t>(5, c.size())), it->second);
            }
            std::printf("\n");
        }
        std::printf("%-16s %7.2f", "all", all);
        for (auto &c : checks) {
            if (per_check.count(c)) std::printf(" %*.2f", int(std::max<std::size_t>(5, c.size())), per_check[c]);
            else std::printf(" %*s", int(std::max<std::size_t>(5, c.size())), "-");
        }
        std::printf("\n");
    }
    int passes = 0;
    for (auto &r : results)
        for (auto &[k, v] : r.checks) passes += v.pass;
    // cases a profile's stated limits left out, beside the checks passed and failed
    if (skipped) std::printf("\nvalidate: %d passed, %d failed, %lld skipped\n", passes, failures, skipped);
    else std::printf("\nvalidate: %d passed, %d failed\n", passes, failures);
    // the cases each property ran, over all externals
    std::string counts;
    for (auto &pc : vd::property_checks()) {
        long long n = 0, judged = 0;
        int externals = 0;
        for (auto &r : results)
            if (auto it = r.checks.find(pc.name); it != r.checks.end() && it->second.cases >= 0) {
                n += it->second.cases;
                judged += it->second.gains_judged;
                externals++;
            }
        if (externals)
            counts += std::string(counts.empty() ? "" : ", ") + pc.name + " " + std::to_string(n) + " (" + std::to_string(externals) +
                      (judged ? ", stated gains compared in " + std::to_string(judged) : "") + ")";
    }
    if (!counts.empty()) std::printf("property cases (externals): %s\n", counts.c_str());

    if (!o.json.empty()) {
        nlohmann::json j;
        j["seed"] = seed;
        j["mode"] = o.full ? "full" : "quick";
        j["width"] = tk::host_width_bits();
        for (auto &r : results) {
            nlohmann::json e;
            for (auto &[k, v] : r.checks) {
                e[k] = v.pass ? nlohmann::json{{"pass", true}} : nlohmann::json{{"pass", false}, {"detail", v.detail}};
                if (v.cases >= 0) e[k]["cases"] = v.cases;
                if (v.gains_judged > 0) e[k]["gains_compared"] = v.gains_judged;
            }
            j["externals"][r.name] = e;
        }
        if (o.json == "-") {
            std::printf("%s\n", j.dump(2).c_str());
        } else {
            std::ofstream f(o.json);
            f << j.dump(2) << "\n";
            if (!f) throw Failure("cannot write " + o.json);
        }
    }
    return failures ? exit_failed : exit_ok;
}

}  // namespace tilde
