// stereosquash~: static curve, stereo link, sidechain, attack slew, bypass, clamps, recovery.
#include "support.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <thread>

namespace {

using Sig = std::vector<double>;
using Outs = std::vector<Sig>;

constexpr double kSr = 44100.0;

double from_db(double db) { return std::pow(10.0, db / 20.0); }

struct Rig {
    tk::Patch patch;
    tk::Box *box;
    explicit Rig(int block = 64, double sr = kSr) : patch(sr, block), box(patch.create("stereosquash~")) {
        if (!box) throw tk::Error("stereosquash~ was not created");
    }
    void msg(const std::string &sel, const tk::Atoms &args = {}) { patch.send(box, sel, args); }
    // Left and right only: the sidechain inlet stays unconnected.
    Outs run(const Sig &l, const Sig &r) { return patch.process(box, {l, r}, std::int64_t(l.size())); }
    Outs run(const Sig &l, const Sig &r, const Sig &s) {
        return patch.process(box, {l, r, s}, std::int64_t(l.size()));
    }
};

TEST(StereoSquash, ClassBannerAndShape) {
    const tk::ClassInfo &c = tk::load_class("stereosquash~");
    EXPECT_EQ(c.entry, "ext_main");
    EXPECT_TRUE(c.creation_types.empty());
    EXPECT_TRUE(c.dsp);
    const std::vector<std::pair<std::string, std::vector<int>>> expected = {
        {"dsp64", {9}}, {"attack", {2}}, {"release", {2}}, {"thresh", {2}},  {"knee", {2}},
        {"ratio", {2}}, {"slew", {2}},   {"makeup", {2}},  {"sidechain", {1}}, {"avg/max", {1}},
        {"Bypass", {1}}, {"reset", {}}};
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
    EXPECT_FALSE(rig.box->assist(1, 0).has_value());  // no assist method
}

TEST(StereoSquash, SteadyStateReductionAtRatioFour) {
    Rig rig;  // defaults: threshold 0 dB, ratio 4, knee 0, attack 10 ms
    const double a = from_db(12.0);
    Outs o = rig.run(tkt::constant(44100, a), tkt::constant(44100, a));
    // the attack has settled to exp(-100) of its step: what is left is rounding
    const double g = from_db(-9.0);
    EXPECT_NEAR(o[2].back(), g, 1e-12);
    EXPECT_NEAR(o[0].back(), a * g, 1e-12);
    EXPECT_NEAR(o[1].back(), a * g, 1e-12);
    // the reduction only ever grows toward 9 dB on the way
    for (std::size_t i = 1; i < o[2].size(); ++i) ASSERT_LE(o[2][i], o[2][i - 1]) << "sample " << i;

    Rig quiet;  // -6 dB lies below the threshold: untouched, bit for bit
    Sig in = tkt::constant(4096, 0.5);
    Outs q = quiet.run(in, in);
    for (std::size_t i = 0; i < in.size(); ++i) {
        ASSERT_EQ(q[0][i], 0.5) << "sample " << i;
        ASSERT_EQ(q[1][i], 0.5) << "sample " << i;
        ASSERT_EQ(q[2][i], 1.0) << "sample " << i;
    }
}

TEST(StereoSquash, MakeupScalesTheOutputsButNotTheGainOutlet) {
    Rig rig;
    rig.msg("makeup", {6.0});
    const double a = from_db(12.0);
    Outs o = rig.run(tkt::constant(44100, a), tkt::constant(44100, -a));
    const double g = from_db(-9.0);
    EXPECT_NEAR(o[2].back(), g, 1e-12);
    EXPECT_NEAR(o[0].back() / (a * g), from_db(6.0), 1e-12);
    EXPECT_NEAR(o[1].back() / (-a * g), from_db(6.0), 1e-12);
}

TEST(StereoSquash, SilenceReadsAsMinus160AndReleaseReturnsToUnity) {
    Rig rig;
    rig.msg("thresh", {-80.0});
    rig.msg("knee", {12.0});  // the widest knee still ends far above -160 dB
    Outs z = rig.run(tkt::constant(4096, 0.0), tkt::constant(4096, 0.0));
    for (std::size_t i = 0; i < z[0].size(); ++i) {
        ASSERT_EQ(z[0][i], 0.0) << "sample " << i;
        ASSERT_EQ(z[2][i], 1.0) << "sample " << i;
    }
    Rig loud;
    loud.run(tkt::constant(8192, 2.0), tkt::constant(8192, 2.0));  // +6 dB: 4.5 dB of reduction
    Outs rel = loud.run(tkt::constant(44100, 0.0), tkt::constant(44100, 0.0));
    EXPECT_LT(rel[2].front(), 1.0);
    for (std::size_t i = 1; i < rel[2].size(); ++i) ASSERT_GE(rel[2][i], rel[2][i - 1]) << "sample " << i;
    // one second of an 80 ms release leaves exp(-12.5) of the 4.5 dB: a gain within 2e-6 of 1
    EXPECT_NEAR(rel[2].back(), 1.0, 1e-5);
}

// Levels climb in 0.5 dB steps through a 6 dB knee (width 36.01 dB) around -20 dB; each step is
// long enough for a 0.1 ms attack to settle completely.
TEST(StereoSquash, SoftKneeIsContinuousAndNeverBoosts) {
    Rig rig;
    rig.msg("thresh", {-20.0});
    rig.msg("knee", {6.0});
    rig.msg("attack", {0.1});
    const int steps = 121, len = 1024;
    Sig in(std::size_t(steps * len));
    for (int k = 0; k < steps; ++k)
        for (int i = 0; i < len; ++i) in[std::size_t(k * len + i)] = from_db(-50.0 + 0.5 * k);
    Outs o = rig.run(in, in);

    const double w = 6.0 * 6.0 + 0.01, ratio = 4.0;
    double previous = 0.0;
    for (int k = 0; k < steps; ++k) {
        const double level = -50.0 + 0.5 * k, d = level + 20.0;
        const double gain = o[2][std::size_t((k + 1) * len - 1)];
        ASSERT_LE(gain, 1.0) << "level " << level;
        const double reduction = -20.0 * std::log10(gain);
        double expected;
        if (2 * d < -w)
            expected = 0.0;
        else if (2 * std::fabs(d) <= w)
            expected = (1.0 - 1.0 / ratio) * (d + w / 2) * (d + w / 2) / (2 * w);
        else
            expected = d * (1.0 - 1.0 / ratio);
        // the level itself comes through log10 of a rounded amplitude: 1e-9 dB is ample
        EXPECT_NEAR(reduction, expected, 1e-9) << "level " << level;
        // the curve's slope never exceeds 1 - 1/ratio, so no step jumps by more than that
        EXPECT_LE(reduction - previous, 0.5 * (1.0 - 1.0 / ratio) + 1e-9) << "level " << level;
        EXPECT_GE(reduction, previous - 1e-9) << "level " << level;
        previous = reduction;
    }
}

TEST(StereoSquash, MaximumLinkAttenuatesBothChannelsEqually) {
    const double a = from_db(12.0), quiet = 0.01;
    for (int mode : {1, 7, -1, 0}) {
        Rig rig;
        rig.msg("avg/max", {mode});
        Outs o = rig.run(tkt::constant(44100, a), tkt::constant(44100, quiet));
        // any non-zero value links by the larger reduction (9 dB); 0 by the mean (4.5 dB)
        const double g = from_db(mode ? -9.0 : -4.5);
        EXPECT_NEAR(o[2].back(), g, 1e-12) << "avg/max " << mode;
        EXPECT_NEAR(o[0].back() / a, g, 1e-12) << "avg/max " << mode;
        EXPECT_NEAR(o[1].back() / quiet, g, 1e-12) << "avg/max " << mode;
    }
}

TEST(StereoSquash, SidechainOnlyWhenConnectedAndSwitchedOn) {
    const std::size_t n = 44100;
    const Sig in = tkt::constant(n, 0.5), key = tkt::constant(n, from_db(12.0));
    {
        Rig rig;  // connected, switched off
        Outs o = rig.run(in, in, key);
        EXPECT_EQ(*std::min_element(o[2].begin(), o[2].end()), 1.0);
    }
    {
        Rig rig;  // switched on, not connected
        tk::ConsoleCapture cap;
        rig.msg("sidechain", {1});
        EXPECT_EQ(cap.texts(), std::vector<std::string>{"Sidechain is ON"});
        Outs o = rig.run(in, in);
        EXPECT_EQ(*std::min_element(o[2].begin(), o[2].end()), 1.0);
        // connecting it now takes effect at the next compilation
        o = rig.run(in, in, key);
        EXPECT_NEAR(o[2].back(), from_db(-9.0), 1e-12);
        EXPECT_NEAR(o[0].back(), 0.5 * from_db(-9.0), 1e-12);
        cap.clear();
        rig.msg("sidechain", {0});
        EXPECT_TRUE(cap.texts().empty());
        o = rig.run(in, in, key);  // back to the quiet main inputs: the reduction releases
        EXPECT_NEAR(o[2].back(), 1.0, 1e-5);
    }
}

// Near the threshold the curve output rises, which triggers the slower attack; it stays in force
// to the end of that block even after the level has left the knee.
TEST(StereoSquash, AttackSlewHoldsForTheRestOfTheBlock) {
    auto ratios = [](double slew, int block = 64) {
        Rig rig(block);
        rig.msg("thresh", {-40.0});
        rig.msg("knee", {12.0});
        rig.msg("slew", {slew});
        Sig in(256, 1.0);  // 0 dB: 40 dB over, above the knee, target 30 dB
        for (int i = 0; i < 10; ++i) in[std::size_t(i)] = from_db(-90.0);
        for (int i = 10; i < 20; ++i) in[std::size_t(i)] = from_db(-39.5);  // inside the slew zone
        Outs o = rig.run(in, in);
        std::vector<double> r(in.size(), 0.0);
        for (std::size_t i = 20; i < in.size(); ++i) {
            const double s = -20.0 * std::log10(o[2][i]), p = -20.0 * std::log10(o[2][i - 1]);
            r[i] = (30.0 - s) / (30.0 - p);  // the remaining distance shrinks by the coefficient
        }
        return r;
    };
    const double att = std::exp(-1000.0 / (kSr * 10.0));
    const double slowed = std::exp(-1000.0 / (kSr * (10.0 + 2.0 * 149.0)));
    std::vector<double> with = ratios(150.0), without = ratios(1.0);
    // 1e-10: the distances are tens of dB, read back through log10 of the gain
    for (std::size_t i = 20; i < 64; ++i) {
        EXPECT_NEAR(with[i], slowed, 1e-10) << "sample " << i;
        EXPECT_NEAR(without[i], att, 1e-10) << "sample " << i;
    }
    for (std::size_t i = 64; i < 256; ++i) EXPECT_NEAR(with[i], att, 1e-10) << "sample " << i;

    // a long block is worked through in several passes: the slower attack triggered in the
    // first one still holds in the last, and the next block starts from the plain attack
    std::vector<double> long_block = ratios(150.0, 200);
    for (std::size_t i = 20; i < 200; ++i) EXPECT_NEAR(long_block[i], slowed, 1e-10) << "sample " << i;
    for (std::size_t i = 200; i < 256; ++i) EXPECT_NEAR(long_block[i], att, 1e-10) << "sample " << i;
}

TEST(StereoSquash, BypassIsBitExactAndFreezesTheState) {
    const Sig a1 = tkt::noise(4096, 2.0, 1), b1 = tkt::noise(4096, 2.0, 2);
    const Sig a2 = tkt::noise(4096, 2.0, 3), b2 = tkt::noise(4096, 2.0, 4);
    const Sig junk_l = tkt::noise(4096, 8.0, 5), junk_r = tkt::noise(4096, 8.0, 6);

    Rig ref;
    ref.run(a1, b1);
    Outs expected = ref.run(a2, b2);

    Rig rig;
    rig.run(a1, b1);
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
    Outs after = rig.run(a2, b2);
    for (int k = 0; k < 3; ++k)
        for (std::size_t i = 0; i < a2.size(); ++i) ASSERT_EQ(after[k][i], expected[k][i]) << "outlet " << k << " sample " << i;
}

TEST(StereoSquash, ResetMatchesAFreshBox) {
    const Sig l = tkt::noise(8192, 3.0, 11), r = tkt::noise(8192, 3.0, 12);
    Rig fresh;
    Outs expected = fresh.run(l, r);
    Rig rig;
    rig.run(tkt::noise(8192, 6.0, 13), tkt::noise(8192, 6.0, 14));
    rig.msg("reset");
    Outs o = rig.run(l, r);
    for (int k = 0; k < 3; ++k)
        for (std::size_t i = 0; i < l.size(); ++i) ASSERT_EQ(o[k][i], expected[k][i]) << "outlet " << k << " sample " << i;
}

// With slew 1 the slowed attack equals the plain one, so nothing depends on the block size:
// every vector size must give the same samples.
TEST(StereoSquash, VectorSizesAgree) {
    const Sig l = tkt::noise(6000, 4.0, 21), r = tkt::noise(6000, 1.0, 22), key = tkt::noise(6000, 2.0, 23);
    for (bool sidechain : {false, true}) {
        Outs ref;
        for (int block : {64, 1, 2, 3, 65, 1000}) {
            Rig rig(block);
            rig.msg("thresh", {-12.0});
            rig.msg("knee", {3.0});
            if (sidechain) rig.msg("sidechain", {1});
            Outs o = sidechain ? rig.run(l, r, key) : rig.run(l, r);
            if (block == 64) {
                ref = o;
                continue;
            }
            for (int k = 0; k < 3; ++k)
                for (std::size_t i = 0; i < l.size(); ++i)
                    ASSERT_EQ(o[k][i], ref[k][i])
                        << "sidechain " << sidechain << " block " << block << " outlet " << k << " sample " << i;
        }
    }
}

struct Clamp {
    const char *sel;
    double lo, hi;
    const char *above, *below;
};
const Clamp kClamps[] = {
    {"attack", 0.1, 1000, "Maximum Attack Time: 1000 ms", "Minimum Atack Time: 0.1 ms"},
    {"release", 1, 3000, "Maximum Release Time: 3000 ms", "Minimum Release Time: 1 ms"},
    {"thresh", -80, 0, "Maximum Threshold Value: 0 db", "Minimum Threshold Value: -80 db"},
    {"knee", 0, 12, "Maximum Knee Value: 12 db", "Minimum Knee Value: 0 db"},
    {"ratio", 1, 30, "Maximum Ratio Value: 30", "Minimum Ratio Value: 1"},
    {"slew", 1, 150, "Maximum Slew Value: 150", "Minimum Slew Value: 1"},
    {"makeup", 0, 30, "Maximum Makeup Value: 30 db", "Minimum Makeup Value: 0 db"},
};

TEST(StereoSquash, ClampsPostTheirExactLines) {
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
        rig.msg(c.sel, {c.hi});  // equal to a limit: taken silently
        rig.msg(c.sel, {c.lo});
        rig.msg(c.sel, {(c.lo + c.hi) / 2});
        EXPECT_TRUE(cap.texts().empty()) << c.sel;
    }
}

// A clamped value behaves exactly as the limit sent directly.
TEST(StereoSquash, ClampedValuesActAsTheLimit) {
    tk::ConsoleCapture quiet;  // the clamp lines are checked above
    const Sig l = tkt::noise(8192, 4.0, 31), r = tkt::noise(8192, 0.5, 32);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const Clamp &c : kClamps) {
        if (c.lo == 0.1) continue;  // 0.1 is not exact in a single-precision message; see below
        for (auto [sent, limit] : {std::pair{c.hi + 7.0, c.hi}, std::pair{c.lo - 7.0, c.lo}, std::pair{nan, c.lo}}) {
            Rig a, b;
            a.msg("knee", {3.0});
            b.msg("knee", {3.0});
            a.msg("thresh", {-20.0});
            b.msg("thresh", {-20.0});
            a.msg(c.sel, {sent});
            b.msg(c.sel, {limit});
            Outs oa = a.run(l, r), ob = b.run(l, r);
            for (int k = 0; k < 3; ++k)
                for (std::size_t i = 0; i < l.size(); ++i)
                    ASSERT_EQ(oa[k][i], ob[k][i]) << c.sel << " " << sent << " outlet " << k << " sample " << i;
        }
    }
    // attack below 0.1 ms runs with 0.1 ms: the distance to a 9 dB target shrinks by exp(-1000/(sr*0.1))
    Rig rig;
    rig.msg("attack", {0.05});
    const double a = from_db(12.0);
    Outs o = rig.run(tkt::constant(64, a), tkt::constant(64, a));
    const double coef = std::exp(-1000.0 / (kSr * 0.1));
    for (std::size_t i = 1; i < 20; ++i) {
        const double s = -20.0 * std::log10(o[2][i]), p = -20.0 * std::log10(o[2][i - 1]);
        // distances stay above 0.09 dB here, read back to about 1e-14 dB through log10
        EXPECT_NEAR((9.0 - s) / (9.0 - p), coef, 1e-9) << "sample " << i;
    }
}

// A non-finite sample is detected as a 0 dB sample; its own output is not a number, every
// other sample is exactly what a 0 dB sample in its place would have given.
TEST(StereoSquash, RecoversFromNonFiniteInput) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    Sig l = tkt::noise(4096, 2.0, 41), r = tkt::noise(4096, 2.0, 42);
    Sig l_ref = l, r_ref = r;
    const std::size_t bad[] = {100, 700, 1500, 2000};
    l[bad[0]] = nan;
    r[bad[1]] = inf;
    l[bad[2]] = -inf;
    l[bad[3]] = nan;
    r[bad[3]] = inf;
    for (std::size_t i : bad) {
        if (!std::isfinite(l[i])) l_ref[i] = 1.0;
        if (!std::isfinite(r[i])) r_ref[i] = 1.0;
    }
    Rig a, b;
    Outs oa = a.run(l, r), ob = b.run(l_ref, r_ref);
    for (std::size_t i = 0; i < l.size(); ++i) {
        ASSERT_EQ(oa[2][i], ob[2][i]) << "sample " << i;
        if (std::isfinite(l[i])) {
            ASSERT_EQ(oa[0][i], ob[0][i]) << "sample " << i;
        }
        if (std::isfinite(r[i])) {
            ASSERT_EQ(oa[1][i], ob[1][i]) << "sample " << i;
        }
    }
    EXPECT_TRUE(tkt::all_finite(oa[2]));
}

// The host's scheduler may run beside the audio thread, so `reset` can land while a block is
// being worked through. It must not be lost: from the next block on the box behaves as a fresh
// one. A second thread sends `reset` as soon as it sees a perform routine running; the audio
// thread runs silent blocks until it has. A 3 s release keeps the reduction built up before
// (9 dB) nearly whole meanwhile, so a lost reset shows as a gain far below 1. Several rounds,
// so that at least some resets land inside a block whatever the scheduling.
TEST(StereoSquash, ResetFromAnotherThreadDuringABlockIsNotLost) {
    const Sig silence = tkt::constant(4096, 0.0);
    const Sig l = tkt::noise(4096, 3.0, 51), r = tkt::noise(4096, 3.0, 52);
    Rig fresh(4096);
    fresh.msg("release", {3000.0});
    const Outs want = fresh.run(l, r);
    for (int round = 0; round < 20; ++round) {
        Rig rig(4096);
        rig.msg("release", {3000.0});
        rig.run(Sig(44100, from_db(12.0)), Sig(44100, from_db(12.0)));
        std::atomic<bool> sent{false};
        std::thread scheduler([&] {
            while (!tildekit_performing) {
            }
            rig.msg("reset");
            sent = true;
        });
        while (!sent) rig.run(silence, silence);
        scheduler.join();
        rig.run(silence, silence);  // the reset has been asked for at the latest before this block
        const Outs got = rig.run(l, r);
        for (int k = 0; k < 3; ++k)
            for (std::size_t i = 0; i < l.size(); ++i)
                ASSERT_EQ(got[k][i], want[k][i]) << "round " << round << " outlet " << k << " sample " << i;
    }
}

}  // namespace
