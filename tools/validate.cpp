// `tilde validate`: runs each external, in a child process of its own, through creation churn,
// sample rates, vector sizes, hostile samples, message fuzz, determinism and the audio-path rules
// (no allocation, floating-point environment untouched), and reports a table with the first
// failure of each check and the command that reproduces it.
#include "validate.h"

#include <dirent.h>
#include <signal.h>
#include <xmmintrin.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cfenv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
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

// The built-in profile with its properties, or the NAME.validate.json file next to the
// external's module, which takes precedence (any external, from any --path folder).
Profile profile_for(const std::string &name) {
    auto it = profiles().find(name);
    Profile p = it == profiles().end() ? Profile{} : it->second;
    vd::add_builtin_properties(name, p);
    std::string file = tk::load_class(name).file;
    auto slash = file.find_last_of('/');
    std::string json = (slash == std::string::npos ? std::string(".") : file.substr(0, slash)) + "/" + name + ".validate.json";
    std::ifstream f(json);
    if (f) {
        std::stringstream text;
        text << f.rdbuf();
        Profile q;
        try {
            vd::read_profile_json(text.str(), q);
        } catch (const std::exception &e) {
            throw BadInput(json + ": " + e.what());
        }
        q.source = json;
        return q;
    }
    return p;
}

// ---- results --------------------------------------------------------------------------

struct Outcome {
    bool pass = true;
    std::string detail;
    long long cases = -1;  // property checks: the cases run
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

struct FpEnv {
    int round;
    unsigned csr;
    static FpEnv now() { return {std::fegetround(), _mm_getcsr() & ~0x3Fu}; }  // exception flags may change
    bool operator==(const FpEnv &o) const { return round == o.round && csr == o.csr; }
};

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
            std::mt19937_64 g((seed + std::uint64_t(i)) ^ std::uint64_t(start) * 0x9E3779B97F4A7C15ull);
            std::uniform_real_distribution<double> d(-1.0, 1.0);
            for (long k = 0; k < n; ++k) out[k] = d(g);
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
                    std::mt19937_64 g(s ^ std::uint64_t(start) * 0x9E3779B97F4A7C15ull);
                    std::uniform_real_distribution<double> d(-1.0, 1.0);
                    for (long k = 0; k < n; ++k) out[k] = d(g);
                });
            } else if (c.prof.control_hi > c.prof.control_lo) {
                double lo = c.prof.control_lo, hi = c.prof.control_hi;
                patch.feed(box, i, [lo, hi](double *out, long n, std::int64_t start) {
                    for (long k = 0; k < n; ++k) out[k] = lo + (hi - lo) * (0.5 + 0.5 * std::sin(double(start + k) * 1e-4));
                });
            } else {
                patch.unfeed(box, i);
            }
        }
    }
    // Runs and checks every new output sample; returns the outputs of this run.
    void run_checked(std::int64_t frames, double limit, const std::string &where) {
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
        r.feed_clean(c, c.seed);
        r.patch.run(block * 4);
        double v = value;
        for (int i = 0; i < r.box->signal_inlets(); ++i)
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
                r.patch.send(r.box, in, s, fuzz_args(c, max_atoms));
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
        for (auto &m : info.methods) {
            if (m.types.size() == 1 && m.types[0] == 9) continue;  // host calls and numbers below
            bool gimme = m.types.size() == 1 && m.types[0] == 8;
            r.patch.send(r.box, 0, m.selector, gimme ? tk::Atoms(8, tk::Atom(0)) : tk::Atoms{});
        }
        for (int in = 0; in < r.box->inlets(); ++in) r.patch.send(r.box, in, "float", {0.0});
        r.feed_clean(c, c.seed + 7);
        r.patch.run(48000 + 64);
        r.run_checked(64 * 8, HUGE_VAL, "permutation " + std::to_string(p) + ", after sane values were sent again");
    }
}

// Messages from a second thread while the audio thread runs blocks, as a scheduler running
// beside the audio thread delivers them: a message may land between any two samples of a
// perform routine. Every selector the class takes goes out with arguments from the limit pool,
// spread over the blocks. Nothing may crash; then both this box and a fresh one get the same
// settings, between blocks, and after the object's own memory (`settle_s`) their outputs must
// agree and be finite. The verdict does not hang on where the messages landed: a sound object
// ends in the same state wherever they did. The sender waits for a perform routine to be
// running before each message, so that most land inside a block, where such faults live.
void check_threads(Context &c) {
    const tk::ClassInfo &info = tk::load_class(c.name);
    if (!info.dsp) return;  // control objects: their messages and clocks share one thread
    const std::vector<std::string> selectors = message_selectors(info);
    if (selectors.empty()) return;
    const double sr = 48000;
    const std::vector<int> sizes = c.full ? std::vector<int>{4096, 64, 7} : std::vector<int>{4096};
    const int blocks = c.full ? 48 : 8;
    const int per_block = c.full ? 96 : 32;  // messages per block, on average
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
        std::string thread_error;
        Context mc{c.name, c.prof, c.full, c.seed, std::mt19937_64(c.rng()), 0, std::nullopt};
        std::thread sender([&] {
            try {
                std::uniform_int_distribution<int> pick(0, int(selectors.size()) - 1), inlet(0, std::max(0, inlets - 1));
                for (std::int64_t k = 0; k < total; ++k) {
                    // keep pace with the audio thread, at most one block's share ahead of it, and
                    // send while a perform routine runs
                    while (!hurry.load() && (k >= (done_blocks.load() + 1) * per_block || !tildekit_performing)) std::this_thread::yield();
                    const std::string &s = selectors[std::size_t(pick(mc.rng))];
                    int in = (s == "float" || s == "int") ? inlet(mc.rng) : 0;
                    box.patch.send(box.box, in, s, fuzz_args(mc, 3));
                    sent.store(k + 1);
                }
            } catch (const std::exception &e) {
                thread_error = e.what();
            }
            sent.store(total);
        });
        // the audio thread: blocks until every message has gone out
        std::int64_t ran = 0;
        while (sent.load() < total) {
            box.patch.run(n);
            done_blocks.store(++ran);
            if (ran >= most_blocks) hurry.store(true);
        }
        sender.join();
        if (!thread_error.empty()) fail("vector size " + std::to_string(n) + ": sending from a second thread: " + thread_error);
        fresh.patch.run(std::int64_t(n) * ran);

        // the same settings for both, between blocks, and the same input from here on
        for (Rig *r : {&box, &fresh}) {
            if (c.prof.settings.empty()) {
                for (auto &m : info.methods) {
                    if (m.types.empty() || (m.types.size() == 1 && m.types[0] == 9)) continue;  // no arguments, host calls
                    bool gimme = m.types.size() == 1 && m.types[0] == 8;
                    r->patch.send(r->box, 0, m.selector, gimme ? tk::Atoms(8, tk::Atom(0)) : tk::Atoms{tk::Atom(0)});
                }
                for (int in = 0; in < r->box->inlets(); ++in) r->patch.send(r->box, in, "float", {0.0});
            } else {
                for (auto &[in, text] : c.prof.settings) r->patch.send_text(r->box, in, text);
            }
            r->feed_clean(c, c.seed + 9);
            r->patch.run(std::int64_t(c.prof.settle_s * sr));
        }
        const std::string where = "vector size " + std::to_string(n) + ", " + std::to_string(total) + " messages from a second thread";
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
        Context copy{c.name, c.prof, false, seed, g, 0, std::nullopt};
        auto selectors = message_selectors(info);
        r.patch.run(256);
        for (auto &s : selectors)
            if (s != "float" && s != "int") r.patch.send(r.box, 0, s, fuzz_args(copy, 2));
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
    r.patch.run(48000 * (c.full ? 20 : 2));
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
             std::mt19937_64 g(seed ^ std::uint64_t(start));
             std::uniform_real_distribution<double> d(-1.0, 1.0);
             for (long k = 0; k < n; ++k) o[k] = d(g);
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

// Runs the checks and reports "BEGIN c", "PASS c" or "FAIL c<TAB>detail" lines through `say`.
void run_checks(const std::string &name, const ValidateOptions &o, std::uint64_t seed,
                const std::function<void(const std::string &)> &say) {
    tk::ConsoleCapture quiet;  // the externals' posts are not the validator's business
    for (auto &def : check_table()) {
        if (!o.only.empty() && o.only != def.name) continue;
        bool property = std::any_of(vd::property_checks().begin(), vd::property_checks().end(),
                                    [&](const vd::PropertyCheck &p) { return def.name == std::string(p.name); });
        say(std::string("BEGIN ") + def.name);
        Context c{name, profile_for(name), o.full, seed, std::mt19937_64(mix(seed, name, def.name)), 0, std::nullopt};
        c.only_case = o.case_index;
        if (property && std::none_of(c.prof.properties.begin(), c.prof.properties.end(),
                                     [&](const vd::Property &p) { return p.kind == def.name; })) {
            say(std::string("SKIP ") + def.name);  // not declared for this external
            continue;
        }
        try {
            tk::load_class(name);
            def.fn(c);
            say(std::string("PASS ") + def.name + (property ? "\t" + std::to_string(c.cases) : ""));
        } catch (const std::exception &e) {
            std::string d = e.what();
            std::replace(d.begin(), d.end(), '\n', ' ');
            say(std::string("FAIL ") + def.name + "\t" + d);
        }
        quiet.clear();
    }
}

#ifndef _WIN32
// In the child: runs the checks and writes their lines to the pipe.
[[noreturn]] void child_main(int fd, const std::string &name, const ValidateOptions &o, std::uint64_t seed) {
    ::alarm(o.full ? 1800 : 300);
    run_checks(name, o, seed, [&](const std::string &line) {
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
};

// The lines of a run, one outcome per check; `running` is left naming a check that began and
// never ended.
void read_lines(const std::string &data, Result &res, std::string &running) {
    std::istringstream in(data);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("BEGIN ", 0) == 0) {
            running = line.substr(6);
        } else if (line.rfind("PASS ", 0) == 0) {
            auto tab = line.find('\t');
            Outcome ok;
            if (tab != std::string::npos) ok.cases = std::stoll(line.substr(tab + 1));
            res.checks[line.substr(5, tab == std::string::npos ? std::string::npos : tab - 5)] = ok;
            running.clear();
        } else if (line.rfind("SKIP ", 0) == 0) {
            running.clear();
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
    Result res{name, {}};
    std::string data, running;
    run_checks(name, o, seed, [&](const std::string &line) { data += line + "\n"; });
    read_lines(data, res, running);
    return res;
}
#else
Result run_child(const std::string &name, const ValidateOptions &o, std::uint64_t seed) {
    Result res{name, {}};
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
    std::string data;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) data.append(buf, std::size_t(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    std::string running;
    read_lines(data, res, running);
    if (!running.empty()) {
        std::string why;
        if (WIFSIGNALED(status)) {
            int sig = WTERMSIG(status);
            why = sig == SIGALRM ? "timed out" : std::string("crashed with signal ") + std::to_string(sig) + " (" + strsignal(sig) + ")";
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
    const std::string ext = tk::module_extension();
    for (auto &dir : tk::search_paths()) {
        DIR *d = ::opendir(dir.c_str());
        if (!d) continue;
        while (dirent *e = ::readdir(d)) {
            std::string f = e->d_name;
            if (f.size() > ext.size() && f.compare(f.size() - ext.size(), ext.size(), ext) == 0) names.insert(f.substr(0, f.size() - ext.size()));
        }
        ::closedir(d);
    }
    return {names.begin(), names.end()};
}

}  // namespace

void add_validate_options(CLI::App &cmd, ValidateOptions &o) {
    cmd.add_option("names", o.names, "External names (default: every external found)");
    cmd.add_flag("--all", o.all, "Every external found in the search path");
    auto *quick = cmd.add_flag("--quick", o.quick, "The quick subset of each check (the default)");
    cmd.add_flag("--full", o.full, "The full figures of each check")->excludes(quick);
    cmd.add_option("--seed", o.seed, "Seed of all randomness (default: from the clock; printed)");
    cmd.add_option("--only", o.only,
                   "Run one check: churn, rates, vectors, longrun, hostile, fuzz, threads, connections, determinism, silence, "
                   "or a property: limit, gainrange, unity, monotonic, stable, noburst, decay")
        ->type_name("CHECK");
    cmd.add_option("--case", o.case_index, "With --only PROPERTY: run that one case (as a failure's reproduction command names it)")
        ->type_name("K")
        ->check(CLI::NonNegativeNumber);
    cmd.add_option("--json", o.json, "Also write the results as JSON (- for stdout)")->type_name("FILE");
    cmd.add_option("--jobs", o.jobs, "Externals validated at the same time, each in its own process (default 1)")
        ->type_name("N")
        ->check(CLI::Range(1, 64));
    cmd.footer(std::string("Properties are declared per external (built in for tildekit's own). ") + vd::profile_format_help());
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
        throw BadInput("unknown check '" + o.only +
                       "' (checks: churn, rates, vectors, longrun, hostile, fuzz, threads, connections, determinism, silence, "
                       "limit, gainrange, unity, monotonic, stable, noburst, decay)");
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
    // order of the names, progress lines come as they finish.
    std::vector<Result> results(names.size());
#ifdef _WIN32
    const int jobs = 1;
#else
    // one at a time unless asked: forking beside running threads is not safe under every
    // emulator the 32-bit tests run in
    const int jobs = o.jobs > 0 ? o.jobs : 1;
#endif
    std::mutex print;
    std::atomic<std::size_t> next{0};
    auto worker = [&] {
        for (std::size_t i; (i = next.fetch_add(1)) < names.size();) {
            auto t0 = std::chrono::steady_clock::now();
            results[i] = run_child(names[i], o, seed);
            double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            int failed = 0;
            for (auto &[k, v] : results[i].checks) failed += !v.pass;
            std::lock_guard<std::mutex> lock(print);
            std::fprintf(stderr, "  %-16s %s (%.1f s)\n", names[i].c_str(), failed ? "FAIL" : "ok", secs);
        }
    };
    if (jobs <= 1 || names.size() <= 1) {
        worker();
    } else {
        std::vector<std::thread> pool;
        for (int k = 0; k < std::min<int>(jobs, int(names.size())); ++k) pool.emplace_back(worker);
        for (auto &t : pool) t.join();
    }

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
            std::printf("\nFAIL %s / %s: %s\n  reproduce: %s%s %s --only %s%s --seed %llu%s\n", r.name.c_str(), c.c_str(),
                        it->second.detail.c_str(), o.command.c_str(), path_words.c_str(), r.name.c_str(), c.c_str(), case_words.c_str(),
                        (unsigned long long)seed, o.full ? " --full" : "");
        }
    int passes = 0;
    for (auto &r : results)
        for (auto &[k, v] : r.checks) passes += v.pass;
    std::printf("\nvalidate: %d passed, %d failed\n", passes, failures);
    // the cases each property ran, over all externals
    std::string counts;
    for (auto &pc : vd::property_checks()) {
        long long n = 0;
        int externals = 0;
        for (auto &r : results)
            if (auto it = r.checks.find(pc.name); it != r.checks.end() && it->second.cases >= 0) {
                n += it->second.cases;
                externals++;
            }
        if (externals) counts += std::string(counts.empty() ? "" : ", ") + pc.name + " " + std::to_string(n) + " (" + std::to_string(externals) + ")";
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
