// noisedoor~: opening and closing rates, the 400-sample window, the floor, open/shut mode,
// sidechain, bypass, clamps, memory and recovery.
#include "support.h"

#include <algorithm>
#include <limits>

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

TEST(NoiseDoor, MemoryIsReturnedAndAllocationFailureRefusesTheBox) {
    tk::Patch patch(44100.0, 64);
    const tk::MemoryStats before = tk::memory_stats();
    tk::Box *box = patch.create("noisedoor~");
    ASSERT_NE(box, nullptr);
    patch.process(box, {tkt::noise(1024, 0.5, 1), tkt::noise(1024, 0.5, 2)}, 1024);
    EXPECT_EQ(tk::allocations_in_perform(), 0);
    patch.free(box);
    EXPECT_EQ(tk::memory_stats().live_blocks, before.live_blocks);
    EXPECT_EQ(tk::memory_stats().live_bytes, before.live_bytes);

    tkt::expect_refused_without_leaks(patch, "noisedoor~", 2);
}

}  // namespace
