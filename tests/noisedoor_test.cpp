// noisedoor~: opening and closing rates, the 400-sample window, the floor, open/shut mode,
// sidechain, bypass, clamps, memory, recovery, the decision right at the threshold and messages
// from another thread.
#include "support.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <thread>

namespace {

using Sig = std::vector<double>;
using Outs = std::vector<Sig>;

double from_db(double db) { return std::pow(10.0, db / 20.0); }

struct Rig {
    tk::Patch patch;
    tk::Box *box;
    // 64 kHz makes 1000 / (sr * ms) a power of two for ms = 16, 32, 64: gains step exactly.
    explicit Rig(double sr = 64000.0, int block = 64) : patch(sr, block), box(patch.create("noisedoor~")) {
        if (!box) throw tk::Error("noisedoor~ was not created");
    }
    void msg(const std::string &sel, const tk::Atoms &args = {}) { patch.send(box, sel, args); }
    Outs run(const Sig &l, const Sig &r) { return patch.process(box, {l, r}, std::int64_t(l.size())); }
    Outs run(const Sig &l, const Sig &r, const Sig &s) {
        return patch.process(box, {l, r, s}, std::int64_t(l.size()));
    }
};

Sig concat(Sig a, const Sig &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(NoiseDoor, ClassBannerAndShape) {
    const tk::ClassInfo &c = tk::load_class("noisedoor~");
    EXPECT_EQ(c.entry, "ext_main");
    EXPECT_TRUE(c.creation_types.empty());
    EXPECT_TRUE(c.dsp);
    EXPECT_TRUE(c.has_free);
    const std::vector<std::pair<std::string, std::vector<int>>> expected = {
        {"dsp64", {9}},    {"attack", {2}},    {"release", {2}},  {"thresh", {2}}, {"makeup", {2}},
        {"gateclose", {2}}, {"sidechain", {1}}, {"openshut", {1}}, {"Bypass", {1}}, {"reset", {}}};
    ASSERT_EQ(c.methods.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(c.methods[i].selector, expected[i].first) << "method " << i;
        EXPECT_EQ(c.methods[i].types, expected[i].second) << expected[i].first;
    }
    ASSERT_EQ(c.banner.size(), 3u);
    EXPECT_EQ(c.banner[0], std::string(66, '-'));
    EXPECT_EQ(c.banner[2].rfind("tildekit ", 0), 0u) << c.banner[2];

    Rig rig;
    EXPECT_EQ(rig.box->signal_inlets(), 3);
    EXPECT_EQ(rig.box->signal_outlets(), 3);
    EXPECT_TRUE(rig.box->no_inplace());
    EXPECT_FALSE(rig.box->assist(2, 0).has_value());
}

TEST(NoiseDoor, OpensInExactlyTheAttackTime) {
    Rig rig;
    rig.msg("attack", {32.0});  // 2048 samples at 64 kHz
    Outs o = rig.run(tkt::constant(4096, 0.5), tkt::constant(4096, -0.25));
    for (std::size_t i = 0; i < 4096; ++i) {
        const double g = std::min(1.0, double(i + 1) / 2048.0);
        ASSERT_EQ(o[2][i], g) << "sample " << i;
        ASSERT_EQ(o[0][i], 0.5 * g) << "sample " << i;
        ASSERT_EQ(o[1][i], -0.25 * g) << "sample " << i;
    }
    // the default 50 ms at 44.1 kHz: 2205 steps of 1/2205, give or take the rounding of the sum
    Rig def(44100.0);
    o = def.run(tkt::constant(4096, 0.5), tkt::constant(4096, 0.5));
    EXPECT_LT(o[2][2203], 1.0);
    EXPECT_EQ(o[2][2205], 1.0);
}

// The window remembers the last loud sample for 400 samples; only then does the gate close,
// one 1/4096 step per sample, and a fully closed gate shows 1 on the gain outlet.
TEST(NoiseDoor, ClosesAfterTheWindowEmptiesAtTheReleaseRate) {
    Rig rig;
    rig.msg("attack", {32.0});
    rig.msg("release", {64.0});
    const Sig in = concat(tkt::constant(4096, 0.5), tkt::constant(5120, 0.0));
    Outs o = rig.run(in, in);
    const std::size_t empty = 4095 + 400;  // first sample whose window holds no loud sample
    for (std::size_t i = 2047; i < empty; ++i) ASSERT_EQ(o[2][i], 1.0) << "sample " << i;
    for (std::size_t m = 0; m < 4095; ++m) ASSERT_EQ(o[2][empty + m], 1.0 - double(m + 1) / 4096.0) << "sample " << empty + m;
    for (std::size_t i = empty + 4095; i < in.size(); ++i) {
        ASSERT_EQ(o[2][i], 1.0) << "closed gate, sample " << i;
        ASSERT_EQ(o[0][i], 0.0) << "sample " << i;
    }
}

TEST(NoiseDoor, FloorKeepsTheGateFromClosingBelowGatecloseDb) {
    const Sig quiet = tkt::constant(2048, 1e-4);  // -80 dB, below the -60 dB threshold
    {
        Rig rig;
        rig.msg("gateclose", {-20.0});
        Outs o = rig.run(quiet, quiet);
        for (std::size_t i = 0; i < quiet.size(); ++i) {
            ASSERT_NEAR(o[2][i], 0.1, 1e-15) << "sample " << i;  // exp(-ln 10): one rounding
            ASSERT_NEAR(o[0][i], 0.1e-4, 1e-19) << "sample " << i;
        }
        // opened fully, then closed again: it stops at the floor
        rig.msg("attack", {0.1});
        rig.msg("release", {0.1});
        o = rig.run(concat(tkt::constant(512, 0.5), tkt::constant(2048, 0.0)), tkt::constant(2560, 0.0));
        EXPECT_EQ(o[2][500], 1.0);
        EXPECT_NEAR(*std::min_element(o[2].begin(), o[2].end()), 0.1, 1e-15);
        EXPECT_NEAR(o[2].back(), 0.1, 1e-15);
    }
    {
        Rig rig;  // only exactly -50 dB means fully closed
        rig.msg("gateclose", {-49.5});
        Outs o = rig.run(quiet, quiet);
        EXPECT_NEAR(o[2].back(), from_db(-49.5), 1e-17);  // 0.00335, to a few ulps
    }
    {
        Rig rig;
        tk::ConsoleCapture cap;
        rig.msg("gateclose", {-60.0});
        EXPECT_EQ(cap.texts(), std::vector<std::string>{"Minimum Gateclose Value: -50.0"});
        Outs o = rig.run(quiet, quiet);
        for (std::size_t i = 0; i < quiet.size(); ++i) {
            ASSERT_EQ(o[2][i], 1.0) << "sample " << i;
            ASSERT_EQ(o[0][i], 0.0) << "sample " << i;
        }
    }
}

TEST(NoiseDoor, OpenShutModeClosesOnLoudAndOpensOnQuiet) {
    Rig rig;
    tk::ConsoleCapture cap;
    rig.msg("openshut", {1});
    EXPECT_EQ(cap.texts(), std::vector<std::string>{"Open/Shut Mode is ON"});
    rig.msg("attack", {16.0});   // closing on loud input: 1/1024 per sample
    rig.msg("release", {32.0});  // opening on quiet input: 1/2048 per sample
    Outs o = rig.run(tkt::constant(2048, 0.0), tkt::constant(2048, 0.0));
    for (std::size_t i = 0; i < 2048; ++i) ASSERT_EQ(o[2][i], double(i + 1) / 2048.0) << "sample " << i;
    o = rig.run(tkt::constant(2048, 0.5), tkt::constant(2048, 0.5));
    for (std::size_t i = 0; i < 1023; ++i) {
        ASSERT_EQ(o[2][i], 1.0 - double(i + 1) / 1024.0) << "sample " << i;
        ASSERT_EQ(o[0][i], 0.5 * o[2][i]) << "sample " << i;
    }
    for (std::size_t i = 1023; i < 2048; ++i) {
        ASSERT_EQ(o[0][i], 0.0) << "sample " << i;
        ASSERT_EQ(o[2][i], 1.0) << "closed gate, sample " << i;
    }
    cap.clear();
    rig.msg("openshut", {0});
    EXPECT_TRUE(cap.texts().empty());
    o = rig.run(tkt::constant(64, 0.5), tkt::constant(64, 0.5));  // normal again: loud opens
    EXPECT_EQ(o[2][63], 64.0 / 1024.0);                            // at the attack rate
}

TEST(NoiseDoor, SidechainOnlyWhenConnectedAndSwitchedOn) {
    const Sig quiet = tkt::constant(4096, 1e-5), key = tkt::constant(4096, 0.5);
    {
        Rig rig;  // connected, switched off: the quiet inputs keep it closed
        Outs o = rig.run(quiet, quiet, key);
        EXPECT_EQ(*std::max_element(o[0].begin(), o[0].end()), 0.0);
    }
    {
        Rig rig;
        tk::ConsoleCapture cap;
        rig.msg("sidechain", {1});
        EXPECT_EQ(cap.texts(), std::vector<std::string>{"Sidechain is ON"});
        Outs o = rig.run(quiet, quiet);  // switched on, not connected
        EXPECT_EQ(*std::max_element(o[0].begin(), o[0].end()), 0.0);
        o = rig.run(quiet, quiet, key);  // both: the key opens it in 50 ms (3200 samples)
        EXPECT_LT(o[2][3190], 1.0);
        EXPECT_EQ(o[2][3210], 1.0);
        EXPECT_EQ(o[0][3210], 1e-5);
        cap.clear();
        rig.msg("sidechain", {0});
        EXPECT_TRUE(cap.texts().empty());
    }
    {
        Rig rig;  // with the sidechain in use, loud inputs do not open the gate
        tk::ConsoleCapture cap;
        rig.msg("sidechain", {1});
        Outs o = rig.run(key, key, tkt::constant(4096, 0.0));
        EXPECT_EQ(*std::max_element(o[0].begin(), o[0].end()), 0.0);
    }
}

TEST(NoiseDoor, ThresholdAndMakeup) {
    const Sig in = tkt::constant(8192, from_db(-30.0));
    {
        Rig rig;
        rig.msg("thresh", {-20.0});  // -30 dB RMS stays below: closed
        Outs o = rig.run(in, in);
        EXPECT_EQ(*std::max_element(o[0].begin(), o[0].end()), 0.0);
    }
    {
        Rig rig;
        rig.msg("thresh", {-40.0});
        rig.msg("makeup", {-12.0});
        Outs o = rig.run(in, in);
        EXPECT_EQ(o[2].back(), 1.0);
        EXPECT_NEAR(o[0].back() / in.back(), from_db(-12.0), 1e-14);  // exp vs pow: a few ulps
    }
}

TEST(NoiseDoor, BypassIsBitExactAndFreezesTheState) {
    // a burst, then silence: the gate is half way closed and the window half full when bypassed
    const Sig l1 = concat(tkt::noise(2048, 0.3, 1), tkt::constant(2240, 0.0));
    const Sig r1 = concat(tkt::noise(2048, 0.3, 2), tkt::constant(2240, 0.0));
    const Sig l2 = tkt::noise(4096, 0.002, 3), r2 = tkt::noise(4096, 0.002, 4);
    const Sig junk_l = tkt::noise(4096, 0.9, 5), junk_r = tkt::noise(4096, 0.9, 6);

    Rig ref;
    ref.run(l1, r1);
    Outs expected = ref.run(l2, r2);

    Rig rig;
    rig.run(l1, r1);
    tk::ConsoleCapture cap;
    rig.msg("Bypass", {1});
    EXPECT_EQ(cap.texts(), std::vector<std::string>{"Bypass is ON"});
    Outs by = rig.run(junk_l, junk_r);
    for (std::size_t i = 0; i < junk_l.size(); ++i) {
        ASSERT_EQ(by[0][i], junk_l[i]) << "sample " << i;
        ASSERT_EQ(by[1][i], junk_r[i]) << "sample " << i;
        ASSERT_EQ(by[2][i], 1.0) << "sample " << i;
    }
    cap.clear();
    rig.msg("Bypass", {0});
    EXPECT_TRUE(cap.texts().empty());
    Outs after = rig.run(l2, r2);
    for (int k = 0; k < 3; ++k)
        for (std::size_t i = 0; i < l2.size(); ++i)
            ASSERT_EQ(after[k][i], expected[k][i]) << "outlet " << k << " sample " << i;
}

TEST(NoiseDoor, ResetMatchesAFreshBox) {
    const Sig l = concat(tkt::noise(3000, 0.2, 11), tkt::constant(5000, 0.0));
    const Sig r = concat(tkt::noise(3000, 0.05, 12), tkt::constant(5000, 0.0));
    Rig fresh;
    Outs expected = fresh.run(l, r);
    Rig rig;
    rig.run(tkt::noise(2000, 0.7, 13), tkt::noise(2000, 0.7, 14));
    rig.msg("reset");
    Outs o = rig.run(l, r);
    for (int k = 0; k < 3; ++k)
        for (std::size_t i = 0; i < l.size(); ++i) ASSERT_EQ(o[k][i], expected[k][i]) << "outlet " << k << " sample " << i;
}

TEST(NoiseDoor, VectorSizesAgree) {
    const Sig l = concat(tkt::noise(3000, 0.2, 21), tkt::noise(3000, 0.0005, 23));
    const Sig r = concat(tkt::noise(3000, 0.01, 22), tkt::constant(3000, 0.0));
    Outs ref;
    for (int block : {64, 1, 2, 3, 1000}) {
        Rig rig(44100.0, block);
        rig.msg("attack", {5.0});
        rig.msg("release", {20.0});
        rig.msg("gateclose", {-30.0});
        Outs o = rig.run(l, r);
        if (block == 64) {
            ref = o;
            continue;
        }
        for (int k = 0; k < 3; ++k)
            for (std::size_t i = 0; i < l.size(); ++i)
                ASSERT_EQ(o[k][i], ref[k][i]) << "block " << block << " outlet " << k << " sample " << i;
    }
}

struct Clamp {
    const char *sel;
    double lo, hi;
    const char *above, *below;
};
const Clamp kClamps[] = {
    {"attack", 0.1, 1000, "Maximum Attack Time: 1000 ms", "Minimum Atack Time: 0.1 ms"},
    {"release", 0.1, 3000, "Maximum Release Time: 3000 ms", "Minimum Release Time: 0.1 ms"},
    {"thresh", -60, 0, "Maximum Threshold Value: 0 db", "Minimum Threshold Value: -60.0"},
    {"makeup", -30, 0, "Maximum Makeup Value: 0 db", "Minimum Makeup Value: -30.0"},
    {"gateclose", -50, 0, "Maximum Gateclose Value: 0 db", "Minimum Gateclose Value: -50.0"},
};

TEST(NoiseDoor, ClampsPostTheirExactLines) {
    Rig rig;
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    for (const Clamp &c : kClamps) {
        tk::ConsoleCapture cap;
        rig.msg(c.sel, {c.hi + 1.0});
        rig.msg(c.sel, {c.lo - 0.05});
        rig.msg(c.sel, {inf});
        rig.msg(c.sel, {-inf});
        rig.msg(c.sel, {nan});  // NaN counts as below the minimum
        EXPECT_EQ(cap.texts(), (std::vector<std::string>{c.above, c.below, c.above, c.below, c.below})) << c.sel;
        cap.clear();
        rig.msg(c.sel, {c.hi});
        rig.msg(c.sel, {c.lo});
        rig.msg(c.sel, {(c.lo + c.hi) / 2});
        EXPECT_TRUE(cap.texts().empty()) << c.sel;
    }
    tk::ConsoleCapture cap;
    for (const char *sel : {"sidechain", "openshut", "Bypass"}) rig.msg(sel, {0});
    EXPECT_TRUE(cap.texts().empty());
    for (const char *sel : {"sidechain", "openshut", "Bypass"}) rig.msg(sel, {-3});
    EXPECT_EQ(cap.texts(), (std::vector<std::string>{"Sidechain is ON", "Open/Shut Mode is ON", "Bypass is ON"}));
}

// `release 0.05` runs at 0.1 ms: at 64 kHz a closing step of 0.15625, so a fully open gate
// shuts in 7 samples once the window is empty.
TEST(NoiseDoor, ReleaseBelowMinimumUsesTheMinimum) {
    Rig rig;
    tk::ConsoleCapture cap;
    rig.msg("release", {0.05});
    EXPECT_EQ(cap.texts(), std::vector<std::string>{"Minimum Release Time: 0.1 ms"});
    const Sig in = concat(tkt::constant(4096, 0.5), tkt::constant(1024, 0.0));
    Outs o = rig.run(in, in);
    const std::size_t empty = 4095 + 400;
    EXPECT_EQ(o[2][empty - 1], 1.0);
    for (std::size_t m = 0; m < 6; ++m) EXPECT_EQ(o[2][empty + m], 1.0 - 0.15625 * double(m + 1)) << "step " << m;
    EXPECT_EQ(o[0][empty + 6], 0.0);
    EXPECT_EQ(o[2][empty + 6], 1.0);  // closed
}

// An infinite sample fills the window with an infinite level for 400 samples and opens the gate
// a little; a NaN in one window leaves the other channel's level in charge. Afterwards the gate
// closes again as if nothing had happened.
TEST(NoiseDoor, RecoversFromNonFiniteInput) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    Sig l = tkt::constant(8192, 1e-4), r = tkt::constant(8192, 1e-4);
    r[1000] = inf;
    l[3000] = nan;
    l[5000] = -inf;
    Rig rig(44100.0);
    Outs o = rig.run(l, r);
    for (std::size_t i = 0; i < l.size(); ++i) {
        ASSERT_TRUE(std::isfinite(o[2][i]) && o[2][i] >= 0.0 && o[2][i] <= 1.0) << "sample " << i;
        if (i != 1000 && i != 3000 && i != 5000) {
            ASSERT_TRUE(std::isfinite(o[0][i]) && std::isfinite(o[1][i])) << "sample " << i;
        }
    }
    EXPECT_GT(o[2][1399], 0.0);  // opened while the infinite sample was in the window
    EXPECT_LT(o[2][1399], 1.0);
    // 400 samples of opening at 1/2205 close again within 800 samples at 1/4410
    for (std::size_t i = 6500; i < l.size(); ++i) {
        ASSERT_EQ(o[0][i], 0.0) << "sample " << i;
        ASSERT_EQ(o[2][i], 1.0) << "sample " << i;
    }
}

// A NaN in one input's window leaves the other input's level in charge, whichever side it is on.
TEST(NoiseDoor, NanInEitherWindowLeavesTheOtherInCharge) {
    for (int side : {0, 1}) {
        Rig rig;
        rig.msg("attack", {16.0});  // open after 1024 samples
        Sig in[2] = {tkt::constant(4096, 0.5), tkt::constant(4096, 0.5)};
        in[side][2000] = std::numeric_limits<double>::quiet_NaN();
        Outs o = rig.run(in[0], in[1]);
        for (std::size_t i = 1023; i < 4096; ++i) {
            ASSERT_EQ(o[2][i], 1.0) << "NaN on input " << side << ", sample " << i;
            if (i != 2000) {
                ASSERT_EQ(o[1 - side][i], 0.5) << "NaN on input " << side << ", sample " << i;
            }
        }
    }
}

TEST(NoiseDoor, MemoryIsReturnedAndAllocationFailureRefusesTheBox) {
    tk::Patch patch(44100.0, 64);
    const tk::MemoryStats before = tk::memory_stats();
    // counted from here: the host counts every allocation made while a perform routine runs,
    // those of another test's message thread included
    const std::int64_t allocations_before = tk::allocations_in_perform();
    tk::Box *box = patch.create("noisedoor~");
    ASSERT_NE(box, nullptr);
    patch.process(box, {tkt::noise(1024, 0.5, 1), tkt::noise(1024, 0.5, 2)}, 1024);
    EXPECT_EQ(tk::allocations_in_perform(), allocations_before);
    patch.free(box);
    EXPECT_EQ(tk::memory_stats().live_blocks, before.live_blocks);
    EXPECT_EQ(tk::memory_stats().live_bytes, before.live_bytes);

    tkt::expect_refused_without_leaks(patch, "noisedoor~", 2);

    // the line names the object in its text, so it is posted without an object: the console
    // would otherwise print the name twice
    tk::ConsoleCapture cap;
    tk::fail_nth_allocation(1);
    EXPECT_EQ(patch.create("noisedoor~"), nullptr);
    tk::clear_allocation_faults();
    std::vector<tk::ConsoleLine> lines;
    for (const tk::ConsoleLine &l : cap.lines())
        if (l.text.find("out of memory") != std::string::npos) lines.push_back(l);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].kind, tk::ConsoleLine::Error);
    EXPECT_EQ(lines[0].text, "noisedoor~: out of memory");
    EXPECT_EQ(lines[0].object, "") << "posted for the box: its name would be printed twice";
}

// ---- the decision right at the threshold ----------------------------------------------
// The level is the root of the mean of a window's 400 squares added one by one from its first
// entry, recomputed at every sample, and the gate opens only while the louder level is strictly
// above the threshold. A constant input right at the threshold is where the rounding of that sum
// decides, so the object is held against this plain computation there, sample by sample.

// The threshold's factor as the object computes it, with the run-time library (a value folded at
// compile time may differ in the last place where the library is not correctly rounded).
double threshold_factor(double db) {
    volatile double v = db, ten = 10.0;
    return std::exp(v * std::log(ten) / 20.0);
}

// The gain outlet of the gate as defined, for inputs `l` and `r` and a floor of 0.
Sig defined_gain(const Sig &l, const Sig &r, double sr, double threshold, double attack_ms, double release_ms) {
    const double w_open = 1000.0 / (sr * attack_ms), w_close = 1000.0 / (sr * release_ms);
    Sig wa(400, 0.0), wb(400, 0.0), out(l.size());
    std::size_t p = 0;
    double g = 0.0, sa = 0.0, sb = 0.0;
    for (std::size_t i = 0; i < l.size(); ++i) {
        p = p < 399 ? p + 1 : 0;
        // the sums depend on the windows' contents only: recomputed whenever an entry changes
        const bool changed = std::memcmp(&wa[p], &l[i], sizeof(double)) != 0 || std::memcmp(&wb[p], &r[i], sizeof(double)) != 0;
        wa[p] = l[i];
        wb[p] = r[i];
        if (changed || i == 0) {
            sa = sb = 0.0;
            for (std::size_t k = 0; k < 400; ++k) {
                sa += wa[k] * wa[k];
                sb += wb[k] * wb[k];
            }
        }
        const double level = std::max(std::sqrt(sa / 400.0), std::sqrt(sb / 400.0));
        g = level > threshold ? std::min(1.0, g + w_open) : std::max(0.0, g - w_close);
        out[i] = g > 0.0 ? g : 1.0;
    }
    return out;
}

struct RateAndBlock {
    double sr;
    int block;
};
const RateAndBlock kAtThreshold[] = {{1000.0, 1}, {1234.5678, 7}, {48000.0, 64}, {384000.0, 4096}};

// The two cases met with a constant signal: 0.1 against -20 dB stays shut (400 x 0.1^2 added in
// order is 3.9999999999999587, a level of 0.09999999999999948, not above 0.09999999999999998);
// 0.009999999999999995 against -40 dB opens.
TEST(NoiseDoor, ConstantAtTheThresholdDecidesAsTheInOrderSum) {
    const std::size_t n = 1500;
    for (const RateAndBlock c : kAtThreshold) {
        const std::string where = std::to_string(c.sr) + " Hz, vector " + std::to_string(c.block);
        {
            Rig rig(c.sr, c.block);
            rig.msg("thresh", {-20.0});
            const Sig in = tkt::constant(n, 0.1);
            Outs o = rig.run(in, in);
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_EQ(o[0][i], 0.0) << where << ", sample " << i;
                ASSERT_EQ(o[2][i], 1.0) << where << ", sample " << i;
            }
            // and the same through the sidechain
            Rig side(c.sr, c.block);
            side.msg("thresh", {-20.0});
            {
                tk::ConsoleCapture quiet;
                side.msg("sidechain", {1});
            }
            o = side.run(tkt::constant(n, 0.5), tkt::constant(n, 0.5), in);
            for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(o[2][i], 1.0) << "sidechain, " << where << ", sample " << i;
        }
        {
            Rig rig(c.sr, c.block);
            rig.msg("thresh", {-40.0});
            const Sig in = tkt::constant(n, 0.009999999999999995);
            Outs o = rig.run(in, in);
            const Sig want = defined_gain(in, in, c.sr, threshold_factor(-40.0), 50.0, 100.0);
            for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(o[2][i], want[i]) << where << ", sample " << i;
            EXPECT_EQ(o[2][398], 1.0) << where;  // shut while the window still holds zeros
            EXPECT_GT(o[0].back(), 0.0) << where << ": the gate opened";
        }
    }
}

// Every whole-dB threshold with a constant input equal to its factor, on both inputs.
TEST(NoiseDoor, EveryWholeDbThresholdAgreesWithTheInOrderSum) {
    const std::size_t n = 700;
    for (const RateAndBlock c : kAtThreshold) {
        int opened = 0;
        for (int db = -60; db <= 0; ++db) {
            const double t = threshold_factor(double(db));
            const Sig in = tkt::constant(n, t);
            Rig rig(c.sr, c.block);
            rig.msg("thresh", {double(db)});
            rig.msg("attack", {1.0});
            Outs o = rig.run(in, in);
            const Sig want = defined_gain(in, in, c.sr, t, 1.0, 100.0);
            for (std::size_t i = 0; i < n; ++i)
                ASSERT_EQ(o[2][i], want[i]) << db << " dB, " << c.sr << " Hz, vector " << c.block << ", sample " << i;
            opened += o[0].back() != 0.0;
        }
        // the rounding falls both ways over the 61 thresholds
        EXPECT_GT(opened, 0) << c.sr << " Hz";
        EXPECT_LT(opened, 61) << c.sr << " Hz";
    }
}

// ---- messages from another thread -----------------------------------------------------
// The scheduler may send a message while a block is being computed. A second thread sends every
// selector with values from the limits while the audio runs, then the final settings, then
// `reset` until one is seen to have arrived while a perform routine ran from before it to after
// it. After that the box must behave as a fresh one with the same settings once its window and
// release time have passed: no level left over from before the reset may open the gate on a
// quiet input.

double loud_input(int channel, std::int64_t i) {  // deterministic noise of amplitude 0.5
    std::uint64_t z = std::uint64_t(i) * 0x9E3779B97F4A7C15ull + std::uint64_t(channel + 1) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 31)) * 0x94D049BB133111EBull;
    z ^= z >> 29;
    return 0.5 * (double(z >> 11) * 0x1.0p-53 * 2.0 - 1.0);
}

// After the reset: quiet (-80 dB), a loud stretch, quiet again.
double after_input(int channel, std::int64_t i) { return i >= 3000 && i < 7000 ? loud_input(channel, i) : 1e-4; }

const std::pair<const char *, double> kFinal[] = {{"thresh", -40.0}, {"attack", 2.0}, {"release", 0.5},
                                                  {"makeup", 0.0},   {"gateclose", -50.0}};

TEST(NoiseDoor, MessagesFromAnotherThreadLeaveNoStaleLevel) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> pool = {nan, inf, -inf, 1e308, -1e308, 0.0, -0.0, 1e-310, -60.0, -61.0,
                                      0.1, 0.05, -30.0, -50.0, 1000.0, 3000.0, 3001.0, -20.0, 4e9};
    const RateAndBlock cases[] = {{48000.0, 4096}, {1234.5678, 4096}, {384000.0, 1000}, {44100.0, 4096},
                                  {96000.0, 2048}, {22050.0, 4096}};
    const std::int64_t after = 12288;  // samples compared after the reset took effect
    const std::size_t settled = 800;  // window (400) and a full release (at most 192 samples)
    unsigned round = 0;
    for (const RateAndBlock c : cases) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            const std::string what = std::to_string(c.sr) + " Hz, vector " + std::to_string(c.block) + ", attempt " +
                                     std::to_string(attempt);
            tk::Patch patch(c.sr, c.block);
            tk::Box *box = patch.create("noisedoor~");
            ASSERT_NE(box, nullptr);
            std::atomic<std::int64_t> fed{0};
            std::int64_t post_start = -1;  // first sample of the quiet input (main thread only)
            for (int ch = 0; ch < 2; ++ch)
                patch.feed(box, ch, [ch, &fed, &post_start](double *out, long n, std::int64_t start) {
                    for (long k = 0; k < n; ++k)
                        out[k] = post_start >= 0 && start >= post_start ? after_input(ch, start + k - post_start)
                                                                         : loud_input(ch, start + k);
                    if (ch == 1) fed.store(start / n + 1);
                });
            for (int o = 0; o < 3; ++o) patch.capture(box, o);
            patch.run_blocks(1);  // the chain is compiled before the other thread starts

            tk::ConsoleCapture cap;  // the clamps' lines
            std::atomic<std::int64_t> blocks_done{1};
            std::atomic<bool> reset_sent{false};
            bool caught = false;  // a reset landed inside a block
            std::thread sender([&] {
                std::mt19937 gen{++round};
                const char *selectors[] = {"attack", "release", "thresh", "makeup", "gateclose",
                                           "sidechain", "openshut", "Bypass", "reset"};
                while (blocks_done.load() < 5) {
                    const std::string sel = selectors[gen() % 9];
                    if (sel == "reset")
                        patch.send(box, sel);
                    else if (sel == "sidechain" || sel == "openshut" || sel == "Bypass")
                        patch.send(box, sel, tk::Atoms{std::int64_t(gen() % 3) - 1});
                    else
                        patch.send(box, sel, {pool[gen() % pool.size()]});
                    std::this_thread::yield();
                }
                for (auto [sel, v] : kFinal) patch.send(box, sel, {v});
                for (const char *sel : {"sidechain", "openshut", "Bypass"}) patch.send(box, sel, {0});
                for (long tries = 0; tries < 10000 && !caught; ++tries) {
                    std::int64_t block = fed.load();
                    for (long spin = 0; !tildekit_performing && spin < 100000000; ++spin) block = fed.load();
                    // the perform routine of block `block` runs now (the inputs of the next one
                    // are prepared only after it); if it still runs after the message, the
                    // message arrived inside it
                    patch.send(box, "reset");
                    std::atomic_thread_fence(std::memory_order_seq_cst);  // its stores are seen first
                    caught = tildekit_performing && fed.load() == block;
                }
                reset_sent.store(true);
            });
            std::int64_t b = 1;
            while (!reset_sent.load()) {
                patch.run_blocks(1);
                blocks_done.store(++b);
            }
            sender.join();
            ASSERT_TRUE(caught) << what << ": no reset arrived while a block was being computed";
            for (int o = 0; o < 3; ++o) {
                const Sig &got = patch.output(box, o);
                for (std::size_t i = 0; i < got.size(); ++i)
                    ASSERT_TRUE(o < 2 ? std::isfinite(got[i]) : got[i] >= 0.0 && got[i] <= 1.0)
                        << what << ", outlet " << o << ", sample " << i;
            }

            // the reset has taken effect by the next block at the latest: quiet from there
            patch.clear_outputs();
            post_start = patch.samples_processed();
            patch.run(after);
            Rig fresh(c.sr, c.block);
            for (auto [sel, v] : kFinal) fresh.msg(sel, {v});
            Sig l(static_cast<std::size_t>(after)), r(l.size());
            for (std::size_t i = 0; i < l.size(); ++i) {
                l[i] = after_input(0, std::int64_t(i));
                r[i] = after_input(1, std::int64_t(i));
            }
            const Outs want = fresh.run(l, r);
            for (int o = 0; o < 3; ++o) {
                const Sig &got = patch.output(box, o);
                ASSERT_GE(got.size(), l.size()) << what;
                for (std::size_t i = settled; i < l.size(); ++i)
                    ASSERT_EQ(got[i], want[std::size_t(o)][i]) << what << ", outlet " << o << ", sample " << i;
            }
        }
    }
}

}  // namespace
