// rangetamer~: input gain alone before any ratio, the power-law steady state over the
// channels' mean square, input-gain glide and snap, hold, bypass, posted lines, bad input.
#include "support.h"

#include <limits>
#include <memory>

namespace {

using Sig = std::vector<double>;
using Outs = std::vector<Sig>;

constexpr double kSr = 44100.0;
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

struct Rig {
    tk::Patch patch;
    tk::Box *box;
    explicit Rig(const std::string &text = "rangetamer~", int block = 64, double sr = kSr)
        : patch(sr, block), box(patch.create(text)) {
        if (!box) throw tk::Error(text + " was not created");
    }
    void msg(const std::string &sel, const tk::Atoms &args = {}) { patch.send(box, sel, args); }
    Outs run(const std::vector<Sig> &ins) { return patch.process(box, ins, std::int64_t(ins[0].size())); }
};

// Settled gain for a steady mean square: the follower sits at ms + threshold level, both
// peak stages with it, and the gain is (20 * that)^(-factor) times the input gain.
double settled_gain(double mean_square, double threshold_db, double factor, double input_gain = 1.0) {
    const double level = mean_square + 0.5 * std::pow(10.0, 0.1 * threshold_db);
    return std::pow(20.0 * level, -factor) * input_gain;
}
double factor_of(double ratio) { return 0.5 * std::min(std::sqrt(ratio / 72.0), 2.01); }

TEST(RangeTamer, ClassBannerAndShape) {
    const tk::ClassInfo &c = tk::load_class("rangetamer~");
    EXPECT_EQ(c.entry, "ext_main");
    EXPECT_EQ(c.creation_types, (std::vector<int>{8}));
    EXPECT_TRUE(c.dsp);
    EXPECT_TRUE(c.has_free);
    const std::vector<std::pair<std::string, std::vector<int>>> expected = {
        {"dsp64", {9}}, {"assist", {9}},  {"InputGain", {2}}, {"Threshold", {2}}, {"Ratio", {2}},
        {"Release", {2}}, {"Attack", {2}}, {"Bypass", {1}},  {"Hold", {1}}};
    ASSERT_EQ(c.methods.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(c.methods[i].selector, expected[i].first) << "method " << i;
        EXPECT_EQ(c.methods[i].types, expected[i].second) << expected[i].first;
    }
    ASSERT_EQ(c.banner.size(), 3u);
    EXPECT_EQ(c.banner[0], std::string(66, '-'));
    EXPECT_EQ(c.banner[2].rfind("tildekit ", 0), 0u) << c.banner[2];

    Rig rig("rangetamer~ 2");
    EXPECT_EQ(rig.box->signal_inlets(), 2);
    EXPECT_EQ(rig.box->signal_outlets(), 3);
    EXPECT_TRUE(rig.box->no_inplace());
    EXPECT_EQ(rig.box->assist(1, 0), "(signal) Input 1");
    EXPECT_EQ(rig.box->assist(1, 1), "(signal) Input 2");
    EXPECT_EQ(rig.box->assist(2, 0), "(signal) Output 1");
    EXPECT_EQ(rig.box->assist(2, 1), "(signal) Output 2");
    EXPECT_EQ(rig.box->assist(2, 2), "(signal) Gain Reduction");
    EXPECT_FALSE(rig.box->assist(1, 2).has_value());
    EXPECT_FALSE(rig.box->assist(2, 3).has_value());
}

TEST(RangeTamer, BeforeAnyRatioOnlyTheInputGainApplies) {
    Rig rig("rangetamer~ 2");
    Sig a = tkt::noise(4096, 2.0, 1), b = tkt::noise(4096, 0.01, 2);
    Outs o = rig.run({a, b});
    for (std::size_t i = 0; i < a.size(); ++i) {
        ASSERT_EQ(o[2][i], 1.0) << "sample " << i;
        ASSERT_EQ(o[0][i], a[i]) << "sample " << i;
        ASSERT_EQ(o[1][i], b[i]) << "sample " << i;
    }
}

TEST(RangeTamer, InputGainGlidesAndSnapsAtABlockStart) {
    Rig rig;
    rig.msg("InputGain", {6.0});
    const double c = std::pow(10.0, 0.05 * 6.0), k = 160.0 / kSr;
    Outs o = rig.run({tkt::constant(4096, 0.25)});
    // d after n + 1 per-sample steps from 1: c - (c - 1)(1 - k)^(n + 1). Above unity it snaps
    // at the first block start within 0.001 of the target: (c - 1)(1 - k)^n < 0.001 first
    // holds for n = 1899, so the block starting at 1920 snaps.
    for (std::size_t n = 0; n < 1920; ++n) {
        const double d = c - (c - 1.0) * std::pow(1.0 - k, double(n + 1));
        ASSERT_NEAR(o[1][n], d, 1e-12) << "sample " << n;  // rounding over 2000 steps
        ASSERT_NEAR(o[0][n], 0.25 * d, 1e-12) << "sample " << n;
    }
    EXPECT_NE(o[1][1919], c);
    for (std::size_t n = 1920; n < o[1].size(); ++n) ASSERT_EQ(o[1][n], c) << "sample " << n;
}

TEST(RangeTamer, PowerLawSteadyStateOverTheChannelsMeanSquare) {
    // one loud channel of two: the mean square halves its power
    const std::vector<double> ratios = {1.0, 4.0, 72.0, 144.0, 200.0};
    for (double ratio : ratios) {
        Rig rig("rangetamer~ 2");
        rig.msg("Ratio", {ratio});
        Outs o = rig.run({tkt::constant(88200, 0.5), tkt::constant(88200, 0.0)});
        const double want = settled_gain(0.25 / 2.0, -10.0, factor_of(std::min(ratio, 144.0)));
        // The 10 ms attack leaves exp(-100) of its approach after two seconds. Once the
        // follower has settled the peaks equal it, and the release takes a bite of relative
        // size (3.5 / (0.3 s * rate))^2, about 7e-8, before the next sample restores them.
        EXPECT_NEAR(o[2].back(), want, 1e-6 * want) << "ratio " << ratio;
        EXPECT_NEAR(o[0].back(), 0.5 * o[2].back(), 1e-15) << "ratio " << ratio;
        EXPECT_EQ(o[1].back(), 0.0);
    }
    // the infinite ratio's factor is 0.5 * sqrt(2)
    EXPECT_NEAR(factor_of(144.0), 0.5 * std::sqrt(2.0), 1e-15);

    // below a low threshold silence is lifted: -40 dB and ratio 72 give (1e-3)^-0.5
    Rig lift;
    lift.msg("Threshold", {-40.0});
    lift.msg("Ratio", {72.0});
    Outs q = lift.run({tkt::constant(88200, 0.0)});
    EXPECT_NEAR(q[1].back(), std::sqrt(1000.0), 1e-6 * std::sqrt(1000.0));  // as above
}

TEST(RangeTamer, HoldStopsTheDecayBelowTwiceTheThreshold) {
    auto tail = [](int hold) {
        Rig rig;
        rig.msg("Ratio", {72.0});
        rig.msg("Hold", {hold});
        Sig in(88200, 0.0);
        for (std::size_t i = 0; i < 22050; ++i) in[i] = 0.8;
        return rig.run({in})[1];
    };
    Sig held = tail(1), free = tail(0);
    // Half a second after the burst the follower is near 0.05, under the hold level 0.1:
    // with Hold the peak stages, and so the gain, no longer move.
    for (std::size_t i = 44100; i < 88200; ++i) ASSERT_EQ(held[i], held[44100]) << "sample " << i;
    EXPECT_LT(held[44100], 1.0);
    // without it the release carries the gain on up toward unity
    EXPECT_GT(free[88199], free[44100]);
    EXPECT_GT(free[88199], held[88199]);
}

TEST(RangeTamer, BypassPassesTheInputAndFreezesTheState) {
    Rig rig("rangetamer~ 2");
    rig.msg("Ratio", {20.0});
    Sig a = tkt::noise(1024, 0.9, 3), b = tkt::noise(1024, 0.3, 4);
    rig.run({a, b});
    {
        tk::ConsoleCapture cap;
        rig.msg("Bypass", {1});
        EXPECT_EQ(cap.texts(), std::vector<std::string>{"Bypass is ON"});
    }
    Sig loud = tkt::noise(1024, 5.0, 5);
    Outs by = rig.run({loud, loud});
    for (std::size_t i = 0; i < loud.size(); ++i) {
        ASSERT_EQ(by[0][i], loud[i]) << "sample " << i;
        ASSERT_EQ(by[1][i], loud[i]) << "sample " << i;
        ASSERT_EQ(by[2][i], 1.0) << "sample " << i;
    }
    {
        tk::ConsoleCapture cap;
        rig.msg("Bypass", {0});
        EXPECT_TRUE(cap.texts().empty());
    }
    Outs after = rig.run({a, b});
    Rig straight("rangetamer~ 2");
    straight.msg("Ratio", {20.0});
    straight.run({a, b});
    Outs want = straight.run({a, b});
    for (int o = 0; o < 3; ++o)
        for (std::size_t i = 0; i < a.size(); ++i)
            ASSERT_EQ(after[std::size_t(o)][i], want[std::size_t(o)][i]) << "outlet " << o << " sample " << i;
}

TEST(RangeTamer, MessageLimitsAndTheirLines) {
    Rig rig;
    auto lines = [&](const std::string &sel, double v) {
        tk::ConsoleCapture cap;
        rig.msg(sel, {v});
        return cap.texts();
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(lines("InputGain", 31), V{"setting input gain to 30"});
    EXPECT_EQ(lines("InputGain", -51), V{"setting input gain to -50.0"});
    EXPECT_EQ(lines("InputGain", kNaN), V{"setting input gain to -50.0"});
    EXPECT_EQ(lines("InputGain", -50), V{});
    EXPECT_EQ(lines("Threshold", 1), V{"setting threshold to 0.5"});
    EXPECT_EQ(lines("Threshold", -80), V{"setting threshold to -70.0"});
    EXPECT_EQ(lines("Threshold", kNaN), V{"setting threshold to -70.0"});
    EXPECT_EQ(lines("Threshold", 0.5), V{});
    EXPECT_EQ(lines("Ratio", 0.5), V{"setting ratio to 1.0"});
    EXPECT_EQ(lines("Ratio", kNaN), V{"setting ratio to 1.0"});
    EXPECT_EQ(lines("Ratio", 144), V{"setting ratio to infinity"});  // at the limit too
    EXPECT_EQ(lines("Ratio", 200), V{"setting ratio to infinity"});
    EXPECT_EQ(lines("Ratio", kInf), V{"setting ratio to infinity"});
    EXPECT_EQ(lines("Ratio", 143.9), V{});
    EXPECT_EQ(lines("Attack", 0.5), V{"setting attack to 1.0 ms"});
    EXPECT_EQ(lines("Attack", 100000), V{});  // no upper limit
    EXPECT_EQ(lines("Release", 0.5), V{"setting release to 1.0 ms"});
    EXPECT_EQ(lines("Release", kNaN), V{"setting release to 1.0 ms"});
    EXPECT_EQ(lines("Bypass", 7), V{"Bypass is ON"});
    EXPECT_EQ(lines("Bypass", 0), V{});
    EXPECT_EQ(lines("Hold", 3), V{});
}

TEST(RangeTamer, AttackSetsHowFastTheGainComesDown) {
    // Attack 1 ms against 100 ms: 5 ms into a loud step the short attack has cut further.
    auto gain_at = [](double attack_ms, std::size_t n) {
        Rig rig;
        rig.msg("Ratio", {72.0});
        rig.msg("Attack", {attack_ms});
        return rig.run({tkt::constant(4096, 1.0)})[1][n];
    };
    EXPECT_LT(gain_at(1.0, 220), gain_at(100.0, 220));
}

TEST(RangeTamer, ChannelCounts) {
    tk::Patch patch(kSr, 64);
    const std::vector<std::tuple<std::string, int, bool>> cases = {
        {"rangetamer~", 1, false},   {"rangetamer~ 3.7", 3, false}, {"rangetamer~ 0", 1, true},
        {"rangetamer~ -2", 1, true}, {"rangetamer~ 128", 128, false}, {"rangetamer~ 5000", 128, true}};
    for (const auto &[text, count, complains] : cases) {
        tk::ConsoleCapture cap;
        tk::Box *box = patch.create(text);
        ASSERT_NE(box, nullptr) << text;
        EXPECT_EQ(box->signal_inlets(), count) << text;
        EXPECT_EQ(box->signal_outlets(), count + 1) << text;
        const auto errors = cap.texts(tk::ConsoleLine::Error);
        if (complains) {
            ASSERT_EQ(errors.size(), 1u) << text;
            EXPECT_EQ(errors[0].rfind("rangetamer~: ", 0), 0u) << errors[0];
        } else {
            EXPECT_TRUE(errors.empty()) << text;
        }
        patch.free(box);
    }
}

TEST(RangeTamer, BadSamplesAreSilenceAndTheGainStaysFinite) {
    // NaN and infinities count as zeros, in the level and at the outputs: the render equals
    // the one with zeros in their place.
    Sig a = tkt::noise(8192, 0.7, 6), b = tkt::noise(8192, 0.2, 7);
    Sig za = a, zb = b;
    for (std::size_t i : {10u, 11u, 3000u}) { a[i] = kNaN; za[i] = 0.0; }
    for (std::size_t i : {500u, 5001u}) { b[i] = (i % 2) ? -kInf : kInf; zb[i] = 0.0; }
    Rig bad("rangetamer~ 2"), clean("rangetamer~ 2");
    bad.msg("Ratio", {10.0});
    clean.msg("Ratio", {10.0});
    Outs got = bad.run({a, b}), want = clean.run({za, zb});
    for (int o = 0; o < 3; ++o) {
        EXPECT_TRUE(tkt::all_finite(got[std::size_t(o)])) << "outlet " << o;
        for (std::size_t i = 0; i < a.size(); ++i)
            ASSERT_EQ(got[std::size_t(o)][i], want[std::size_t(o)][i]) << "outlet " << o << " sample " << i;
    }

    // A finite sample whose square overflows drives the gain down hard but never to
    // infinity or NaN, with or without a ratio.
    for (double ratio : {0.0, 144.0}) {
        Rig huge;
        if (ratio > 0) huge.msg("Ratio", {ratio});
        Sig in = tkt::noise(8192, 0.5, 8);
        in[100] = 1e200;
        in[101] = -1e250;
        Outs o = huge.run({in});
        EXPECT_TRUE(tkt::all_finite(o[0])) << "ratio " << ratio;
        EXPECT_TRUE(tkt::all_finite(o[1])) << "ratio " << ratio;
    }
}

TEST(RangeTamer, BlockSizesOnlyMoveTheSnapPoints) {
    // With no glide under way the per-block decisions change nothing: any vector size gives
    // the same render (4800 samples of lead-in: whole blocks at every size tried). Long blocks
    // are worked through in several passes, with and without the hold.
    Sig a = tkt::noise(3000, 0.9, 9), b = tkt::noise(3000, 0.4, 10);
    for (int hold : {0, 1}) {
        auto render = [&](int block) {
            Rig rig("rangetamer~ 2", block);
            rig.msg("Ratio", {8.0});
            rig.msg("Hold", {hold});
            if (hold) rig.msg("Threshold", {-20.0});
            rig.run({tkt::constant(4800, 0.0), tkt::constant(4800, 0.0)});  // let the ratio glide finish
            return rig.run({a, b});
        };
        Outs want = render(64);
        for (int block : {1, 3, 100, 960}) {
            Outs got = render(block);
            for (int o = 0; o < 3; ++o)
                for (std::size_t i = 0; i < a.size(); ++i)
                    ASSERT_EQ(got[std::size_t(o)][i], want[std::size_t(o)][i])
                        << "hold " << hold << " block " << block << " outlet " << o << " sample " << i;
        }
    }
}

TEST(RangeTamer, NoAllocationAndNothingLeft) {
    tk::Patch patch(kSr, 64);
    tk::load_class("rangetamer~");
    const tk::MemoryStats before = tk::memory_stats();
    const std::int64_t in_perform = tk::allocations_in_perform();
    tk::Box *box = patch.create("rangetamer~ 4");
    ASSERT_NE(box, nullptr);
    patch.process(box, {tkt::noise(1024, 0.5, 1)}, 1024);
    EXPECT_EQ(tk::allocations_in_perform(), in_perform);
    patch.free(box);
    EXPECT_EQ(tk::memory_stats().live_blocks, before.live_blocks);
    EXPECT_EQ(tk::memory_stats().live_bytes, before.live_bytes);
}

}  // namespace

namespace {

// First sample from which every later gain is within `tol` (relative) of the reference.
std::size_t settles_at(const Sig &got, const Sig &want, double tol) {
    std::size_t from = got.size();
    for (std::size_t i = got.size(); i-- > 0;) {
        if (!(std::fabs(got[i] - want[i]) <= tol * std::fabs(want[i]))) break;
        from = i;
    }
    return from;
}

TEST(RangeTamer, ShortestReleaseAtLowRatesKeepsTheGainFiniteAndPositive) {
    // A release of 1 ms is shorter than 3.5 samples below 3.5 kHz: the stages must still stay
    // above zero, so the gain stays a positive finite number (never inverted). With steps this
    // large the stages bite deep into a steady level every other sample, as they do just above
    // 3.5 kHz, so in silence the gain swings between 1 and about 7.4 (at the infinite ratio);
    // 10 bounds that, where a stage at or below zero gives infinity or NaN.
    for (double sr : {1000.0, 1234.5678, 2000.0, 3499.0}) {
        for (int block : {1, 64}) {
            Rig rig("rangetamer~ 2", block, sr);
            rig.msg("Ratio", {144.0});
            rig.msg("Release", {1.0});
            rig.msg("Attack", {1.0});
            const std::size_t loud = std::size_t(2 * sr), n = std::size_t(4 * sr);
            Sig a = tkt::noise(n, 0.9, 11), b = tkt::sine(n, 37.0, sr, 0.6);
            for (std::size_t i = loud; i < n; ++i) a[i] = b[i] = 0.0;
            Outs o = rig.run({a, b});
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_TRUE(o[2][i] > 0.0 && o[2][i] < 10.0)
                    << sr << " Hz, block " << block << ", sample " << i << ": gain " << o[2][i];
                ASSERT_TRUE(std::isfinite(o[0][i]) && std::isfinite(o[1][i]))
                    << sr << " Hz, block " << block << ", sample " << i;
            }
        }
    }
}

TEST(RangeTamer, AnInfiniteTimeTakesTheMinimum) {
    using V = std::vector<std::string>;
    for (const char *sel : {"Attack", "Release"}) {
        Rig inf, one;
        {
            tk::ConsoleCapture cap;
            inf.msg(sel, {kInf});
            EXPECT_EQ(cap.texts(), V{std::string("setting ") + (sel[0] == 'A' ? "attack" : "release") + " to 1.0 ms"})
                << sel;
        }
        one.msg(sel, {1.0});
        for (Rig *r : {&inf, &one}) r->msg("Ratio", {4.0});
        Sig in = tkt::noise(8192, 0.7, 12);
        Outs got = inf.run({in}), want = one.run({in});
        for (int o = 0; o < 2; ++o)
            for (std::size_t i = 0; i < in.size(); ++i)
                ASSERT_EQ(got[std::size_t(o)][i], want[std::size_t(o)][i]) << sel << " outlet " << o << " sample " << i;
    }

    // A finite attack so long that its step underflows (a 64-bit message; a 32-bit one reads
    // it as infinite) still lifts the follower off zero: the gain stays finite and positive,
    // before any ratio and with one.
    for (double ratio : {0.0, 4.0}) {
        Rig rig;
        tk::ConsoleCapture quiet;
        rig.msg("Attack", {1e307});
        if (ratio > 0) rig.msg("Ratio", {ratio});
        Outs o = rig.run({tkt::noise(4096, 0.5, 13)});
        for (std::size_t i = 0; i < o[1].size(); ++i)
            ASSERT_TRUE(std::isfinite(o[1][i]) && o[1][i] > 0.0) << "ratio " << ratio << " sample " << i << ": " << o[1][i];
        EXPECT_TRUE(tkt::all_finite(o[0])) << "ratio " << ratio;
    }
}

TEST(RangeTamer, OneHugeSampleIsReleasedWithinAFewReleaseTimes) {
    // A sample as loud as the numbers allow must not mute the object for longer than a few
    // release times: after it the gain comes back to what a box that never saw it gives.
    for (double sr : {1234.5678, 48000.0, 384000.0}) {
        const std::size_t n = std::size_t(1.2 * sr), at = std::size_t(0.1 * sr);
        const Sig clean = tkt::noise(n, 0.5, 14);
        auto rig_for = [&] {
            auto rig = std::make_unique<Rig>("rangetamer~", 64, sr);
            rig->msg("Ratio", {4.0});
            rig->msg("Release", {100.0});
            return rig;
        };
        const Sig want = rig_for()->run({clean})[1];
        for (double huge : {1e300, -1e200, 1e20}) {
            Sig hit = clean;
            hit[at] = huge;
            Outs got = rig_for()->run({hit});
            EXPECT_TRUE(tkt::all_finite(got[0]) && tkt::all_finite(got[1])) << sr << " Hz, " << huge;
            EXPECT_LT(got[1][at], 0.5) << sr << " Hz, " << huge;  // the loud sample is acted on
            // The stages fall by e^-3.5 per release time (100 ms), from at most a few 1e6 down
            // to the noise's level near 0.13, about 5 release times, and then meet the
            // reference within 1e-9: 0.60 to 0.70 s in all these cases. 0.9 s leaves room for
            // rounding; a sample that mutes for many seconds is far beyond it.
            const std::size_t settled = settles_at(got[1], want, 1e-9);
            EXPECT_LE(double(settled - at) / sr, 0.9) << sr << " Hz, " << huge << ": settles only at sample " << settled;
        }
    }
}

}  // namespace
