// Cost per sample frame of every external in the build's externals folder, run through the
// host as a patch runs it (box created, its signal inlets connected to source objects that
// play noise or sweeps, chain compiled, one block per iteration), beside
// one-line Faust peers, the machine's bare recurrences, the brute-force window detectors and
// the host's own cost per block. Repetitions of all of them are interleaved at random so that
// a noisy machine hurts every row alike; the table uses the fastest repetition of each, the
// one least disturbed by whatever else the machine was doing.
//
//   externals_bench [--json FILE] [--markdown FILE] [google-benchmark flags]
#include <benchmark/benchmark.h>

#include <ext.h>
#include <ext_obex.h>
#include <z_dsp.h>

#include <sys/utsname.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "kernels.h"
#include "peer_base.h"
#include "tildehost.h"
#include "tk_simd.h"

#ifdef TILDEKIT_BENCH_PEERS
#define PEER(name) dsp *tkbench_make_peer_##name();
#include "peer_list.inc"
#undef PEER
#endif

namespace {

constexpr double kRate = 48000.0;
const int kBlocks[] = {64, 512};

// ---- input signals --------------------------------------------------------------------
// Precomputed once: white noise in +-0.5, and smooth exponential sweeps between two values
// (one sine-shaped round trip every two seconds).
constexpr std::size_t kTable = 1 << 17;

const std::vector<double> &noise_table(int which) {
    static std::vector<double> tables[4];
    std::vector<double> &t = tables[which & 3];
    if (t.empty()) {
        std::mt19937 gen(1234u + unsigned(which));
        std::uniform_real_distribution<double> d(-0.5, 0.5);
        t.resize(kTable);
        for (auto &v : t) v = d(gen);
    }
    return t;
}

std::vector<double> sweep_table(double lo, double hi) {
    std::vector<double> t(kTable);
    for (std::size_t i = 0; i < kTable; ++i) {
        const double phase = 0.5 - 0.5 * std::cos(2.0 * M_PI * double(i) / kTable);
        t[i] = lo > 0.0 && hi > 0.0 ? lo * std::pow(hi / lo, phase) : lo + (hi - lo) * phase;
    }
    return t;
}

// Copies n samples of a table starting at a running position, wrapping at its end.
void copy_from(const std::vector<double> &t, double *out, long n, std::int64_t start) {
    std::size_t at = std::size_t(start) % t.size();
    while (n > 0) {
        const long take = long(std::min<std::size_t>(std::size_t(n), t.size() - at));
        std::memcpy(out, t.data() + at, std::size_t(take) * sizeof(double));
        out += take;
        n -= take;
        at = 0;
    }
}

// ---- what to run ------------------------------------------------------------------------
// An inlet is fed with noise ("n"), with a sweep ("s:lo:hi") or left unconnected ("-").
struct Case {
    std::string label;                // row of the table
    std::string box;                  // box text
    std::vector<std::string> inlets;  // one entry per signal inlet; missing ones get noise
    std::vector<std::pair<int, std::string>> messages;
    std::string peer;                 // peer program, "" for none
    std::string limit;                // "loop", "biquad" or ""
    bool legacy = false;              // the 32-bit float path
    const char *simd = nullptr;       // TILDEKIT_SIMD while the box is created: a narrower path
};

// Objects with their realistic settings, in the order of the table. An external of the build
// that is not listed here still gets a row with its default box and noise at every inlet.
std::vector<Case> listed_cases() {
    const std::string thirdbands_gains = "setgains 3 -2 4 1 -5 2 6 -1 3 -4 2 5 -3 1 4 -2 3 -6 2 1 -3 4 2 -1 5 -2 3 1 -4";
    return {
        {"recur~", "recur~ 0.99", {"n", "-"}, {}, "onepole", "loop"},
        {"fwdtap~", "fwdtap~ 0.5", {"n", "-"}, {}, "onezero", "loop"},
        {"backtap~", "backtap~ 0.5", {"n", "-"}, {}, "onezero", "loop"},
        {"cxrecur~", "cxrecur~ 0.9 0.3", {"n", "n", "-", "-"}, {}, "", "loop"},
        {"cxfwdtap~", "cxfwdtap~ 0.5 0.2", {"n", "n", "-", "-"}, {}, "", ""},
        {"cxbacktap~", "cxbacktap~ 0.5 0.2", {"n", "n", "-", "-"}, {}, "", ""},
        {"highcut~", "highcut~ 1000", {"n", "-"}, {}, "smooth", "loop"},
        {"highcut~ (signal cutoff)", "highcut~ 1000", {"n", "s:200:4000"}, {}, "", "loop"},
        {"lowcut~", "lowcut~ 40", {"n", "-"}, {}, "dcblocker", "loop"},
        {"bandres~", "bandres~ 1000 10", {"n", "-", "-"}, {}, "resonbp", "biquad"},
        {"bandres~ (signal frequency)", "bandres~ 1000 10", {"n", "s:200:4000", "-"}, {}, "resonbp_signal",
         "biquad"},
        {"sosect~", "sosect~ 0.6 -0.3 0.2 0.3 0.2", {"n"}, {}, "tf2", "biquad"},
        {"sweepres~", "sweepres~ 1000 10", {"n", "s:200:4000", "-"}, {}, "resonbp_signal", "biquad"},
        {"modalfilt~", "modalfilt~ bp2", {"n", "s:3:30", "-"}, {{2, "5"}}, "", "biquad"},
        {"ladder~", "ladder~", {"n", "s:200:4000", "s:0.5:2"}, {}, "moogladder", ""},
        {"latchsig~", "latchsig~", {"n", "n"}, {}, "", ""},
        {"slidevec~", "slidevec~ 3", {"n"}, {}, "", ""},
        {"levelmeter~", "levelmeter~ 1024 512", {"n"}, {}, "rmsenv", ""},
        {"blocktick~", "blocktick~", {}, {}, "", ""},
        {"tanrecip~", "tanrecip~", {"s:200:4000"}, {}, "", ""},
        {"stereosquash~", "stereosquash~", {"n", "n", "-"}, {{0, "thresh -20"}, {0, "ratio 4"}}, "ffcompressor", ""},
        {"noisedoor~", "noisedoor~", {"n", "n", "-"}, {{0, "thresh -40"}}, "gate", ""},
        {"brickwall~", "brickwall~", {"n", "n"}, {{0, "thresh -6"}}, "limiter", ""},
        {"tribandsquash~", "tribandsquash~", {"n"}, {}, "threeband", ""},
        {"peakguard~", "peakguard~ 2 -6 25", {"n", "n"}, {}, "limiter", ""},
        {"rangetamer~", "rangetamer~ 2", {"n", "n"}, {{0, "Threshold -20"}, {0, "Ratio 4"}, {0, "Attack 10"}, {0, "Release 100"}}, "compressor", ""},
        {"tonebands~", "tonebands~", {"n"}, {{0, "gl/g1/g2/gh 3 4 -3 2"}}, "parametric", ""},
        {"thirdbands~", "thirdbands~", {"n"}, {{0, thirdbands_gains}}, "thirdoctave", ""},
        // the same box on the narrower paths the CPU choice passes over
        {"thirdbands~ (one sample at a time)", "thirdbands~", {"n"}, {{0, thirdbands_gains}}, "thirdoctave", "",
         false, "scalar"},
        {"thirdbands~ (SSE2, 2 lanes)", "thirdbands~", {"n"}, {{0, thirdbands_gains}}, "thirdoctave", "", false,
         "sse2"},
        {"thirdbands~ (AVX2, 4 lanes)", "thirdbands~", {"n"}, {{0, thirdbands_gains}}, "thirdoctave", "", false,
         "avx2"},
        {"headdelay~", "headdelay~", {"n"}, {{0, "Angle 30"}}, "fdelay", ""},
        {"stereoplace~", "stereoplace~", {"n", "n"}, {{0, "pan 0.3"}}, "panner", ""},
        // a peer with the same balance law and the same one-pole smoothing of each output
        {"stereoplace~ (smoothing peer)", "stereoplace~", {"n", "n"}, {{0, "pan 0.3"}}, "panner_smoothed", ""},
        {"bowedstring~", "bowedstring~", {}, {{0, "velocity 0.5"}}, "violin", ""},
    };
}

// What the dynamics processors do that their peer programs, as the bench sets them, do not: the
// ratio beside such a row holds against a peer doing less. The peers' own signal counts follow
// each note in the table, as the bench finds them.
const std::map<std::string, std::string> &peer_notes() {
    static const std::map<std::string, std::string> notes = {
        {"brickwall~",
         "the same 480-sample look-ahead (10 ms at 48 kHz) and 25 ms release; ours also averages its follower over "
         "120 samples, lifts its detector against that average, applies the (ceiling - threshold) boost and sends "
         "its gain; the peer runs with attack 0 and hold 0"},
        {"peakguard~",
         "ours looks ahead 64 samples (1.33 ms at 48 kHz), the peer 480 (10 ms, set for brickwall~); ours adds a "
         "500 Hz low-passed slow detector, a minimum hold over 12 decisions, three one-pole gain smoothers, a ramped "
         "input gain and a gain outlet; the peer runs with attack 0 and hold 0"},
        {"stereosquash~",
         "ours adds an external sidechain inlet (unconnected here), a choice of link (average or maximum of the "
         "reductions), an attack slew near the threshold, make-up gain and a gain outlet; the peer: 6 dB knee, "
         "fully linked"},
        {"rangetamer~",
         "ours follows the mean square of both channels through an attack stage, two release peak stages and a "
         "hold, interpolates input-gain and ratio changes and sends its gain; the peer program sets ratio, "
         "threshold, attack and release only"},
        {"tribandsquash~",
         "ours has a soft knee, make-up, bypass and solo in each band, a master trim and three gain outlets; the "
         "peer program is the crossover and three compressors with ratio, threshold, attack and release only"},
        {"noisedoor~",
         "ours adds a sidechain inlet (unconnected here), the open/shut inversion and a gain outlet; the peer runs "
         "with hold 0"},
    };
    return notes;
}
std::map<std::string, std::pair<int, int>> g_peer_signals;  // peer -> its inputs and outputs

std::vector<std::string> built_externals() {
    std::vector<std::string> names;
    const std::string ext = tk::module_extension();
    if (DIR *d = opendir(TILDEKIT_MODULE_DIR)) {
        while (dirent *e = readdir(d)) {
            std::string f = e->d_name;
            if (f.size() > ext.size() && f.compare(f.size() - ext.size(), ext.size(), ext) == 0)
                names.push_back(f.substr(0, f.size() - ext.size()));
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool has_method(const tk::ClassInfo &c, const char *selector) {
    for (auto &m : c.methods)
        if (m.selector == selector) return true;
    return false;
}

// ---- two objects of the bench's own ---------------------------------------------------
// benchsource~ plays a table into the chain as an upstream object of a patch would:
// "benchsource~ K" noise table K, "benchsource~ K LO HI" a sweep from LO to HI.
struct t_benchsource {
    t_pxobject ob;
    const std::vector<double> *table;
    std::int64_t at;
};
t_class *benchsource_class;

const std::vector<double> *source_table(long which, double lo, double hi) {
    static std::map<std::string, std::unique_ptr<std::vector<double>>> tables;
    const std::string key = std::to_string(which) + ":" + std::to_string(lo) + ":" + std::to_string(hi);
    auto &t = tables[key];
    if (!t) t = std::make_unique<std::vector<double>>(lo == hi ? noise_table(int(which)) : sweep_table(lo, hi));
    return t.get();
}

void benchsource_perform64(t_object *ob, t_object *, double **, long, double **outs, long, long n, long, void *) {
    t_benchsource *x = (t_benchsource *)ob;
    copy_from(*x->table, outs[0], n, x->at);
    x->at += n;
}
void benchsource_dsp64(t_benchsource *x, t_object *dsp64, short *, double, long, long) {
    object_method(dsp64, gensym("dsp_add64"), x, benchsource_perform64, 0, NULL);
}
void *benchsource_new(t_symbol *, long argc, t_atom *argv) {
    t_benchsource *x = (t_benchsource *)object_alloc(benchsource_class);
    if (!x) return NULL;
    z_dsp_setup(&x->ob, 0);
    outlet_new((t_object *)x, "signal");
    t_atom_long which = 0;
    double lo = 0.0, hi = 0.0;
    atom_arg_getlong(&which, 0, argc, argv);
    atom_arg_getdouble(&lo, 1, argc, argv);
    atom_arg_getdouble(&hi, 2, argc, argv);
    x->table = source_table(long(which), lo, hi);
    x->at = 0;
    return x;
}
void benchsource_free(t_benchsource *x) { z_dsp_free(&x->ob); }

// benchnull~, the trivial object for the host's own cost: one signal inlet and outlet, and a
// perform routine that does nothing.
struct t_benchnull {
    t_pxobject ob;
};
t_class *benchnull_class;

void benchnull_perform64(t_object *, t_object *, double **, long, double **, long, long, long, void *) {}
void benchnull_dsp64(t_benchnull *x, t_object *dsp64, short *, double, long, long) {
    object_method(dsp64, gensym("dsp_add64"), x, benchnull_perform64, 0, NULL);
}
void *benchnull_new(void) {
    t_benchnull *x = (t_benchnull *)object_alloc(benchnull_class);
    if (!x) return NULL;
    z_dsp_setup(&x->ob, 1);
    outlet_new((t_object *)x, "signal");
    return x;
}
void benchnull_free(t_benchnull *x) { z_dsp_free(&x->ob); }
void benchnull_define() {
    t_class *c = class_new("benchnull~", (method)benchnull_new, (method)benchnull_free, sizeof(t_benchnull), NULL, 0);
    class_addmethod(c, (method)benchnull_dsp64, "dsp64", A_CANT, 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    benchnull_class = c;
    c = class_new("benchsource~", (method)benchsource_new, (method)benchsource_free, sizeof(t_benchsource), NULL,
                  A_GIMME, 0);
    class_addmethod(c, (method)benchsource_dsp64, "dsp64", A_CANT, 0);
    class_dspinit(c);
    class_register(gensym("box"), c);
    benchsource_class = c;
}

// ---- the measured loops ---------------------------------------------------------------
struct Row {
    std::string label, kind, peer, limit;  // kind: ours, peer, limit, host, reference
};
// Every benchmark also reports its fastest repetition, the figure the table uses.
benchmark::internal::Benchmark *with_min(benchmark::internal::Benchmark *b) {
    return b->ComputeStatistics("min", [](const std::vector<double> &v) { return *std::min_element(v.begin(), v.end()); });
}

std::vector<Row> g_rows;                         // in table order
std::map<std::string, std::string> g_failures;  // label -> why it has no figures

std::string bench_name(const std::string &kind, const std::string &label, int block) {
    return kind + "/" + label + "/" + std::to_string(block);
}

void set_rate(benchmark::State &state, int block) {
    state.counters["frames"] = double(block);
    state.SetItemsProcessed(state.iterations() * block);
}

// A patch without boxes: what the host spends per block before any object runs.
void run_empty(benchmark::State &state, int block) {
    tk::Patch patch(kRate, block);
    patch.compile();
    patch.run(8192);
    for (auto _ : state) patch.run_blocks(1);
    set_rate(state, block);
}

void run_patch(benchmark::State &state, const Case c, int block) {
    tk::ConsoleCapture quiet;
    tk::Patch patch(kRate, block);
    patch.set_legacy(c.legacy);
    if (c.simd) setenv("TILDEKIT_SIMD", c.simd, 1);
    tk::Box *box = patch.create(c.box);
    if (c.simd) unsetenv("TILDEKIT_SIMD");
    if (!box) {
        state.SkipWithError("the new routine refused the box");
        return;
    }
    for (auto &[inlet, text] : c.messages) patch.send_text(box, inlet, text);
    const int ins = box->signal_inlets();
    for (int i = 0; i < ins; ++i) {
        std::string how = i < int(c.inlets.size()) ? c.inlets[std::size_t(i)] : "n";
        if (how == "-") continue;
        std::string source = "benchsource~ " + std::to_string(i);
        if (how.rfind("s:", 0) == 0) source += " " + how.substr(2, how.find(':', 2) - 2) + " " + how.substr(how.find(':', 2) + 1);
        tk::Box *src = patch.create(source);
        if (!src) {
            state.SkipWithError("no source");
            return;
        }
        patch.connect(src, 0, box, i);
    }
    patch.compile();
    patch.run(8192);  // windows and followers filled before timing
    for (auto _ : state) patch.run_blocks(1);
    set_rate(state, block);
}

#ifdef TILDEKIT_BENCH_PEERS
dsp *make_peer(const std::string &name) {
#define PEER(n) \
    if (name == #n) return tkbench_make_peer_##n();
#include "peer_list.inc"
#undef PEER
    return nullptr;
}

// A peer's inputs follow the external's: the same noise tables and sweeps, read in place.
void run_peer(benchmark::State &state, const std::string peer, const Case c, int block) {
    std::unique_ptr<dsp> p(make_peer(peer));
    if (!p) {
        state.SkipWithError("peer not built");
        return;
    }
    p->init(int(kRate));
    const int nin = p->getNumInputs(), nout = p->getNumOutputs();
    g_peer_signals[peer] = {nin, nout};
    std::vector<std::vector<double>> tables;
    for (int i = 0, used = 0; used < nin; ++i) {
        std::string how = i < int(c.inlets.size()) ? c.inlets[std::size_t(i)] : "n";
        if (how == "-") continue;
        if (how.rfind("s:", 0) == 0) {
            double lo = 0, hi = 0;
            std::sscanf(how.c_str(), "s:%lf:%lf", &lo, &hi);
            tables.push_back(sweep_table(lo, hi));
        } else {
            tables.push_back(noise_table(i));
        }
        ++used;
    }
    std::vector<std::vector<double>> outs(std::size_t(std::max(nout, 1)), std::vector<double>(std::size_t(block)));
    std::vector<double *> in_ptr(std::size_t(std::max(nin, 1))), out_ptr(outs.size());
    for (std::size_t j = 0; j < outs.size(); ++j) out_ptr[j] = outs[j].data();
    std::size_t at = 0;
    auto one_block = [&] {
        for (int i = 0; i < nin; ++i) in_ptr[std::size_t(i)] = tables[std::size_t(i)].data() + at;
        p->compute(block, in_ptr.data(), out_ptr.data());
        at += std::size_t(block);
        if (at + std::size_t(block) > kTable) at = 0;
    };
    for (int k = 0; k < 8192 / block; ++k) one_block();
    for (auto _ : state) {
        one_block();
        benchmark::DoNotOptimize(outs[0][0]);
    }
    set_rate(state, block);
}
#endif

void run_limit(benchmark::State &state, const std::string which, int block) {
    const auto &noise = noise_table(0);
    std::vector<double> out(static_cast<std::size_t>(block));
    std::size_t at = 0;
    double y = 0.0;
    tkbench::Biquad q{0.2, 0.3, 0.2, -0.6, 0.3, 0.0, 0.0};
    for (auto _ : state) {
        if (which == "loop")
            y = tkbench::bare_recurrence(noise.data() + at, out.data(), block, 0.99, y);
        else
            tkbench::bare_biquad(q, noise.data() + at, out.data(), block);
        benchmark::DoNotOptimize(out[0]);
        at += std::size_t(block);
        if (at + std::size_t(block) > kTable) at = 0;
    }
    set_rate(state, block);
}

void run_reference(benchmark::State &state, const std::string which, int block) {
    const auto &l = noise_table(0), &r = noise_table(1);
    std::vector<double> out(static_cast<std::size_t>(block));
    auto rms = std::make_unique<tkbench::WindowRms>();
    auto peak = std::make_unique<tkbench::PeakAndSum>();
    *rms = {};
    *peak = {};
    std::size_t at = 0;
    for (auto _ : state) {
        if (which == "noisedoor~")
            tkbench::bruteforce_window_rms(*rms, l.data() + at, r.data() + at, out.data(), block);
        else
            tkbench::bruteforce_peak_and_sum(*peak, l.data() + at, out.data(), block);
        benchmark::DoNotOptimize(out[0]);
        at += std::size_t(block);
        if (at + std::size_t(block) > kTable) at = 0;
    }
    set_rate(state, block);
}

void register_all() {
    std::vector<Case> cases;
    std::vector<std::string> built = built_externals();
    std::vector<std::string> listed;
    for (auto &c : listed_cases()) {
        const std::string name = c.box.substr(0, c.box.find(' '));
        listed.push_back(name);
        if (std::find(built.begin(), built.end(), name) != built.end()) cases.push_back(c);
    }
    for (auto &name : built)
        if (std::find(listed.begin(), listed.end(), name) == listed.end())
            cases.push_back({name, name, {}, {}, "", ""});

    std::vector<Case> runs;
    for (auto &c : cases) {
        const std::string name = c.box.substr(0, c.box.find(' '));
        const tk::ClassInfo *info = nullptr;
        try {
            tk::ConsoleCapture quiet;
            info = &tk::load_class(name);
        } catch (const std::exception &e) {
            g_failures[c.label] = e.what();
            g_rows.push_back({c.label, "ours", c.peer, c.limit});
            continue;
        }
        if (!info->dsp) continue;  // control objects have no perform routine
        runs.push_back(c);
        if (has_method(*info, "dsp") && c.label.find('(') == std::string::npos) {
            Case f = c;
            f.label = c.label + " (float)";
            f.peer.clear();
            f.legacy = true;
            runs.push_back(f);
        }
    }

    std::vector<std::string> peers_done;
    for (auto &c : runs) {
        g_rows.push_back({c.label, "ours", c.peer, c.limit});
        for (int block : kBlocks) {
            with_min(benchmark::RegisterBenchmark(bench_name("ours", c.label, block).c_str(),
                                         [c, block](benchmark::State &s) { run_patch(s, c, block); }));
#ifdef TILDEKIT_BENCH_PEERS
            // the peer right after its external, each peer program once per input layout
            const std::string key = c.peer + "/";
            if (!c.peer.empty() &&
                std::find(peers_done.begin(), peers_done.end(), key + std::to_string(block)) == peers_done.end()) {
                peers_done.push_back(key + std::to_string(block));
                with_min(benchmark::RegisterBenchmark(bench_name("peer", c.peer, block).c_str(),
                                             [c, block](benchmark::State &s) { run_peer(s, c.peer, c, block); }));
            }
#endif
        }
    }
    for (const char *which : {"loop", "biquad"}) {
        g_rows.push_back({which, "limit", "", ""});
        for (int block : kBlocks)
            with_min(benchmark::RegisterBenchmark(bench_name("limit", which, block).c_str(),
                                         [w = std::string(which), block](benchmark::State &s) { run_limit(s, w, block); }));
    }
    for (const char *which : {"noisedoor~", "brickwall~"}) {
        g_rows.push_back({which, "reference", "", ""});
        for (int block : kBlocks)
            with_min(benchmark::RegisterBenchmark(bench_name("reference", which, block).c_str(),
                                         [w = std::string(which), block](benchmark::State &s) {
                                             run_reference(s, w, block);
                                         }));
    }
    g_rows.push_back({"benchnull~", "host", "", ""});
    for (int block : kBlocks) {
        Case fed{"benchnull~", "benchnull~", {"n"}, {}, "", ""};
        with_min(benchmark::RegisterBenchmark(bench_name("host", "benchnull~", block).c_str(),
                                     [fed, block](benchmark::State &s) { run_patch(s, fed, block); }));
        Case bare{"benchnull~ (no feed)", "benchnull~", {"-"}, {}, "", ""};
        with_min(benchmark::RegisterBenchmark(bench_name("host", "benchnull~ (no feed)", block).c_str(),
                                     [bare, block](benchmark::State &s) { run_patch(s, bare, block); }));
        with_min(benchmark::RegisterBenchmark(bench_name("host", "empty", block).c_str(),
                                     [block](benchmark::State &s) { run_empty(s, block); }));
    }
    g_rows.push_back({"benchnull~ (no feed)", "host", "", ""});
}

// ---- collecting the figures ----------------------------------------------------------
std::map<std::string, double> g_figure_ns;  // benchmark name -> ns per sample frame

class Collector : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &r : runs) {
            if (r.error_occurred) continue;
            if (r.run_type != Run::RT_Aggregate || r.aggregate_name != "min") continue;
            auto it = r.counters.find("frames");
            const double frames = it != r.counters.end() ? double(it->second) : 1.0;
            // adjusted real time is per iteration, in the run's unit
            const double ns = r.GetAdjustedRealTime() * benchmark::GetTimeUnitMultiplier(benchmark::kNanosecond) /
                              benchmark::GetTimeUnitMultiplier(r.time_unit);
            g_figure_ns[r.run_name.function_name] = ns / frames;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

double figure(const std::string &kind, const std::string &label, int block) {
    auto it = g_figure_ns.find(bench_name(kind, label, block));
    return it == g_figure_ns.end() ? NAN : it->second;
}

std::string fmt(double v, int prec = 2) {
    if (!std::isfinite(v)) return "-";
    char b[64];
    std::snprintf(b, sizeof b, "%.*f", prec, v);
    return b;
}

std::string read_first_line(const char *cmd) {
    std::string s;
    if (FILE *p = popen(cmd, "r")) {
        char b[512];
        if (std::fgets(b, sizeof b, p)) s = b;
        pclose(p);
    }
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

std::string machine() {
    std::string cpu;
    std::ifstream f("/proc/cpuinfo");
    for (std::string line; std::getline(f, line);)
        if (line.rfind("model name", 0) == 0) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    utsname u{};
    uname(&u);
    std::ostringstream o;
    o << cpu << ", " << benchmark::CPUInfo::Get().num_cpus << " logical CPUs, " << u.sysname << " " << u.release
      << " " << u.machine << ", compiler " << __VERSION__;
    return o.str();
}

// The system's load average over the last minute: a run on a busy machine gives figures that
// are too high, and the page says so.
double load_average() {
    double one = NAN;
    if (FILE *f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &one) != 1) one = NAN;
        std::fclose(f);
    }
    return one;
}
double g_load_before = NAN;

std::string json_escape(const std::string &s) {
    std::string o;
    for (char ch : s) {
        if (ch == '"' || ch == '\\') o += '\\';
        o += ch;
    }
    return o;
}

struct Line {
    std::string label, peer, limit;
    double ours[2], peer_ns[2], limit_ns[2];
};

// The note beside a row whose peer does less, with the peer's signal counts; "-" for the others.
std::string note_of(const Line &l) {
    auto n = peer_notes().find(l.label);
    if (n == peer_notes().end() || l.peer.empty()) return "-";
    std::string text = n->second;
    auto io = g_peer_signals.find(l.peer);
    if (io != g_peer_signals.end())
        text += " (peer: " + std::to_string(io->second.first) + " inputs, " + std::to_string(io->second.second) +
                " outputs)";
    return text;
}

void write_outputs(const std::string &json_path, const std::string &md_path) {
    std::vector<Line> lines;
    for (auto &r : g_rows) {
        if (r.kind != "ours") continue;
        Line l{r.label, r.peer, r.limit, {}, {}, {}};
        for (int b = 0; b < 2; ++b) {
            l.ours[b] = figure("ours", r.label, kBlocks[b]);
            l.peer_ns[b] = r.peer.empty() ? NAN : figure("peer", r.peer, kBlocks[b]);
            l.limit_ns[b] = r.limit.empty() ? NAN : figure("limit", r.limit, kBlocks[b]);
        }
        lines.push_back(l);
    }
    const double loop64 = figure("limit", "loop", 64), loop512 = figure("limit", "loop", 512);
    const double bq64 = figure("limit", "biquad", 64), bq512 = figure("limit", "biquad", 512);
    const double null64 = figure("host", "benchnull~", 64), null512 = figure("host", "benchnull~", 512);
    const double bare64 = figure("host", "benchnull~ (no feed)", 64), bare512 = figure("host", "benchnull~ (no feed)", 512);
    const double recur64 = figure("ours", "recur~", 64), recur512 = figure("ours", "recur~", 512);
    const double empty64 = figure("host", "empty", 64);

    // The net figure takes off the cost of the host's chain with one fed input (the null object's
    // chain), so that cheap objects can be held against peers that read their inputs in place.
    std::ostringstream table;
    table << "| external | ns/sample @64 | ns/sample @512 | peer | peer ns/sample @64 | peer ns/sample @512 | ratio @64 "
             "| ratio @512 | net ratio @512 | limit ratio @512 | beside the peer |\n";
    table << "|---|---:|---:|---|---:|---:|---:|---:|---:|---:|---|\n";
    for (auto &l : lines) {
        table << "| " << l.label << " | " << fmt(l.ours[0]) << " | " << fmt(l.ours[1]) << " | "
              << (l.peer.empty() ? "-" : l.peer + ".dsp") << " | " << fmt(l.peer_ns[0]) << " | " << fmt(l.peer_ns[1])
              << " | " << fmt(l.ours[0] / l.peer_ns[0]) << " | " << fmt(l.ours[1] / l.peer_ns[1]) << " | "
              << fmt((l.ours[1] - null512) / l.peer_ns[1]) << " | "
              << (l.limit.empty() ? "-" : fmt(l.ours[1] / l.limit_ns[1]) + " (" + l.limit + ")") << " | "
              << note_of(l) << " |\n";
        auto f = g_failures.find(l.label);
        if (f != g_failures.end()) table << "|   (not measured: " << f->second << ") ||||||||||\n";
    }
    std::ostringstream extra;
    extra << "Machine limits: bare loop `y = y*a + x` " << fmt(loop64) << " / " << fmt(loop512)
          << " ns/sample, direct-form-II biquad " << fmt(bq64) << " / " << fmt(bq512) << " ns/sample (64 / 512).\n\n";
    extra << "Host overhead: a chain of the same noise source as recur~'s feeding an object that does nothing costs "
          << fmt(null64 * 64, 1) << " ns per 64-sample block, " << fmt(100.0 * null64 / recur64, 1)
          << " % of the chain with recur~ in its place; the object alone, unfed, " << fmt(bare64 * 64, 1) << " ns ("
          << fmt(100.0 * bare64 / recur64, 1) << " %). At 512: " << fmt(100.0 * null512 / recur512, 1) << " % / "
          << fmt(100.0 * bare512 / recur512, 1) << " %. A patch without boxes costs " << fmt(empty64 * 64, 1)
          << " ns per 64-sample block.\n\n";
    for (const char *which : {"noisedoor~", "brickwall~"}) {
        const double ref64 = figure("reference", which, 64), ref512 = figure("reference", which, 512);
        const double ours64 = figure("ours", which, 64), ours512 = figure("ours", which, 512);
        extra << which << ": the brute-force detector alone (full window sums" << (std::string(which) == "brickwall~" ? " and peak scan" : "")
              << " every sample) costs " << fmt(ref64) << " / " << fmt(ref512)
              << " ns/sample; the whole external with its exact tree reductions " << fmt(ours64) << " / "
              << fmt(ours512) << " ns/sample: " << fmt(ref64 / ours64, 1) << "x / " << fmt(ref512 / ours512, 1)
              << "x faster.\n\n";
    }

    // The whole collection in a patch: eight boxes of every external with a perform routine, each
    // at the figure of its main row (the label without a parenthesis) at 64.
    double sum64 = 0.0, third64 = NAN;
    int counted = 0;
    for (auto &l : lines)
        if (l.label.find('(') == std::string::npos && std::isfinite(l.ours[0])) {
            sum64 += l.ours[0];
            ++counted;
            if (l.label == "thirdbands~") third64 = l.ours[0];
        }
    const double collection = 8.0 * sum64 * kRate * 1e-9;  // share of one core
    const double rest = std::isfinite(third64) ? collection * (sum64 - third64) / sum64 : collection;
    extra << "Whole collection: eight boxes of each of the " << counted
          << " externals with a perform routine, at 48 kHz with blocks of 64, cost " << fmt(100.0 * collection, 1)
          << " % of one core (8 x 48000 x the sum of their ns/sample at 64); thirdbands~ is "
          << fmt(100.0 * third64 / sum64, 0) << " % of that, the other externals " << fmt(100.0 * rest, 1) << " %. The aim is under 12 % of one core.\n\n";
    const int lanes = tk_simd_lanes();
    const char *unit = lanes == 8 ? "AVX-512" : lanes == 4 ? "AVX2" : "SSE2";
    extra << "Vector lanes: thirdbands~ cuts its chain of fourth-order sections (289 of them at 48 kHz with the "
             "bench's gains) into one segment per lane and runs the segments as a pipeline: lane L works on the "
             "group of four samples that lane L - 1 finished one step before, and each lane does exactly the "
             "scalar code's operations in the same order (no fused multiply-add), so the output is the same to "
             "the bit. A section's constants and states sit side by side for all lanes, so one step is one vector "
             "load per value. The first and last few steps of a block keep idle lanes' states unchanged; the "
             "samples left over when the block is not a multiple of four take the one-sample path. The width is "
             "chosen once per box, when it is created, from the CPU's feature bits (cpuid) and the registers the "
             "system saves (xgetbv): 8 lanes with AVX-512, 4 with AVX2, else 2 with SSE2, the baseline of both "
             "builds; the wider routines are compiled with a target attribute, so the same DLL runs on any x86 and "
             "on Windows needs no loader support. TILDEKIT_SIMD=scalar|sse2|avx2 asks for a narrower path (the "
             "rows in parentheses above). This machine: "
          << lanes << " lanes (" << unit << ").\n\n";

    const double load_after = load_average();
    extra << "Load average (one minute) when the run began and ended: " << fmt(g_load_before) << " / "
          << fmt(load_after) << " on " << benchmark::CPUInfo::Get().num_cpus << " logical CPUs"
          << (std::max(g_load_before, load_after) > 0.5 * benchmark::CPUInfo::Get().num_cpus
                  ? ": other work shared the machine, so every figure is higher than on a quiet one (the ratios "
                    "within the run hold better)"
                  : "")
          << ".\n\n";

    std::time_t now = std::time(nullptr);
    char date[64];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    const std::string mach = machine();
#ifdef TILDEKIT_BENCH_PEERS
    const std::string faust = read_first_line("faust --version 2>/dev/null");
#else
    const std::string faust = "(faust not available: no peers)";
#endif

    std::printf("\n%s\n%s", table.str().c_str(), extra.str().c_str());
    std::printf("Machine: %s. %s. Fastest of the repetitions, interleaved at random. %s\n", mach.c_str(), faust.c_str(), date);

    if (!json_path.empty()) {
        std::ofstream j(json_path);
        j << "{\n  \"date\": \"" << date << "\",\n  \"machine\": \"" << json_escape(mach) << "\",\n  \"faust\": \""
          << json_escape(faust) << "\",\n  \"sample_rate\": " << kRate << ",\n  \"unit\": \"ns per sample frame, fastest repetition\",\n";
        auto num = [](double v) { return std::isfinite(v) ? fmt(v, 4) : std::string("null"); };
        j << "  \"limits\": {\"loop\": [" << num(loop64) << ", " << num(loop512) << "], \"biquad\": [" << num(bq64) << ", "
          << num(bq512) << "]},\n";
        j << "  \"host\": {\"null_fed\": [" << num(null64) << ", " << num(null512) << "], \"null_bare\": [" << num(bare64)
          << ", " << num(bare512) << "], \"empty\": [" << num(empty64) << ", " << num(figure("host", "empty", 512)) << "], \"share_of_recur_block_64\": {\"null_fed\": " << num(null64 / recur64)
          << ", \"null_bare\": " << num(bare64 / recur64) << ", \"empty\": " << num(empty64 / recur64) << "}},\n";
        j << "  \"bruteforce_detectors\": {";
        bool first = true;
        for (const char *which : {"noisedoor~", "brickwall~"}) {
            j << (first ? "" : ", ") << "\"" << which << "\": [" << num(figure("reference", which, 64)) << ", "
              << num(figure("reference", which, 512)) << "]";
            first = false;
        }
        j << "},\n  \"collection_x8_64\": {\"share_of_core\": " << num(collection) << ", \"externals\": " << counted
          << ", \"thirdbands_share\": " << num(third64 / sum64) << ", \"without_thirdbands\": " << num(rest)
          << "},\n  \"thirdbands_lanes\": " << lanes << ",";
        j << "\n  \"externals\": [\n";
        for (std::size_t i = 0; i < lines.size(); ++i) {
            auto &l = lines[i];
            j << "    {\"name\": \"" << json_escape(l.label) << "\", \"ns\": {\"64\": " << num(l.ours[0]) << ", \"512\": "
              << num(l.ours[1]) << "}, \"peer\": " << (l.peer.empty() ? "null" : "\"" + l.peer + "\"")
              << ", \"peer_ns\": {\"64\": " << num(l.peer_ns[0]) << ", \"512\": " << num(l.peer_ns[1])
              << "}, \"ratio\": {\"64\": " << num(l.ours[0] / l.peer_ns[0]) << ", \"512\": " << num(l.ours[1] / l.peer_ns[1])
              << "}, \"limit\": " << (l.limit.empty() ? "null" : "\"" + l.limit + "\"")
              << ", \"net_ratio_512\": " << num((l.ours[1] - null512) / l.peer_ns[1])
              << ", \"limit_ratio\": " << num(l.ours[1] / l.limit_ns[1])
              << ", \"beside_the_peer\": " << (note_of(l) == "-" ? "null" : "\"" + json_escape(note_of(l)) + "\"") << "}" << (i + 1 < lines.size() ? "," : "")
              << "\n";
        }
        j << "  ]\n}\n";
    }
    if (!md_path.empty()) {
        std::ofstream m(md_path);
        m << "# Performance\n\n"
          << "Cost of each external's 64-bit perform routine per sample frame, run through the headless host as a "
             "patch runs it (box created, its signal inlets connected to source objects that play precomputed "
             "signals, chain compiled, one block per iteration) at 48 kHz with blocks of 64 and 512 samples: "
             "white noise in +-0.5 at the audio inlets and smooth exponential sweeps at the signal controls. "
             "The figures include the host's chain and the sources' table copies (see the host overhead below). Rows marked (float) are the legacy 32-bit float path. Peers are one-line Faust "
             "programs (bench/peers/*.dsp, `faust -lang cpp -double`, double inputs and outputs) fed the same "
             "signals; ratio = ours / peer (below 1: ours is cheaper); the net ratio first takes off the cost of the "
             "host's chain with one fed input (a source feeding an object that does nothing). The limit ratio compares with the bare "
             "recurrence loop or the direct-form-II biquad. The column beside the peer names, for the dynamics processors, what ours does that its peer program, as set here, does not, with the peer's own signal counts. The fastest of several repetitions (the one least disturbed by the rest of the machine), every repetition "
             "interleaved at random with all others.\n\n"
          << "Produced by `make bench` (bench/externals_bench.cpp) on " << date << ".\n\n"
          << "Machine: " << mach << ". " << faust << ".\n\n"
          << table.str() << "\n"
          << extra.str();
    }
}

}  // namespace

int main(int argc, char **argv) {
    std::string json_path, md_path;
    std::vector<char *> args{argv[0]};
    bool repetitions_given = false, interleave_given = false, min_time_given = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--json" && i + 1 < argc)
            json_path = argv[++i];
        else if (a == "--markdown" && i + 1 < argc)
            md_path = argv[++i];
        else {
            repetitions_given |= a.rfind("--benchmark_repetitions", 0) == 0;
            interleave_given |= a.rfind("--benchmark_enable_random_interleaving", 0) == 0;
            min_time_given |= a.rfind("--benchmark_min_time", 0) == 0;
            args.push_back(argv[i]);
        }
    }
    static char reps[] = "--benchmark_repetitions=7", inter[] = "--benchmark_enable_random_interleaving=true",
                min_time[] = "--benchmark_min_time=0.1", aggr[] = "--benchmark_report_aggregates_only=true";
    if (!repetitions_given) args.push_back(reps);
    if (!interleave_given) args.push_back(inter);
    if (!min_time_given) args.push_back(min_time);
    args.push_back(aggr);
    int n = int(args.size());
    args.push_back(nullptr);

    g_load_before = load_average();
    tk::add_search_path(TILDEKIT_MODULE_DIR);
    benchnull_define();
    register_all();
    benchmark::Initialize(&n, args.data());
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();
    write_outputs(json_path, md_path);
    return 0;
}
