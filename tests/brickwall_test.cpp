// brickwall~: the 480-sample delay, the boost, the limiting level, bypass, clamps, memory and
// recovery.
#include "support.h"

#include <algorithm>
#include <limits>

namespace {

using Sig = std::vector<double>;
using Outs = std::vector<Sig>;

constexpr std::size_t kDelay = 480;

double from_db(double db) { return std::pow(10.0, db / 20.0); }

struct Rig {
    tk::Patch patch;
    tk::Box *box;
    explicit Rig(int block = 64, double sr = 44100.0) : patch(sr, block), box(patch.create("brickwall~")) {
        if (!box) throw tk::Error("brickwall~ was not created");
    }
    void msg(const std::string &sel, const tk::Atoms &args = {}) { patch.send(box, sel, args); }
    Outs run(const Sig &l, const Sig &r) { return patch.process(box, {l, r}, std::int64_t(l.size())); }
};

void expect_same(const Outs &a, const Outs &b, const std::string &what) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t k = 0; k < a.size(); ++k)
        for (std::size_t i = 0; i < a[k].size(); ++i)
            ASSERT_EQ(a[k][i], b[k][i]) << what << ": outlet " << k << " sample " << i;
}

TEST(BrickWall, ClassBannerAndShape) {
    const tk::ClassInfo &c = tk::load_class("brickwall~");
    EXPECT_EQ(c.entry, "ext_main");
    EXPECT_TRUE(c.creation_types.empty());
    EXPECT_TRUE(c.dsp);
    EXPECT_TRUE(c.has_free);
    const std::vector<std::pair<std::string, std::vector<int>>> expected = {
        {"dsp64", {9}}, {"release", {2}}, {"ceiling", {2}}, {"thresh", {2}}, {"Bypass", {1}}, {"reset", {}}};
    ASSERT_EQ(c.methods.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(c.methods[i].selector, expected[i].first) << "method " << i;
        EXPECT_EQ(c.methods[i].types, expected[i].second) << expected[i].first;
    }
    ASSERT_EQ(c.banner.size(), 3u);
    EXPECT_EQ(c.banner[0], std::string(66, '-'));
    EXPECT_EQ(c.banner[2].rfind("tildekit ", 0), 0u) << c.banner[2];

    Rig rig;
    EXPECT_EQ(rig.box->signal_inlets(), 2);
    EXPECT_EQ(rig.box->signal_outlets(), 3);
    EXPECT_TRUE(rig.box->no_inplace());
    EXPECT_FALSE(rig.box->assist(1, 0).has_value());
}

// Below the threshold the gain is exactly 1 and the boost exactly 1 (0 dB - 0 dB): the output
// is the input 480 samples late, bit for bit.
TEST(BrickWall, DelaysByExactly480Samples) {
    const Sig l = tkt::noise(4096, 0.05, 1), r = tkt::noise(4096, 0.05, 2);
    Rig rig;
    Outs o = rig.run(l, r);
    for (std::size_t i = 0; i < l.size(); ++i) {
        ASSERT_EQ(o[0][i], i < kDelay ? 0.0 : l[i - kDelay]) << "sample " << i;
        ASSERT_EQ(o[1][i], i < kDelay ? 0.0 : r[i - kDelay]) << "sample " << i;
        ASSERT_EQ(o[2][i], 1.0) << "sample " << i;
    }
}

TEST(BrickWall, OutputIsTheDelayedInputTimesBoostAndGain) {
    const Sig l = tkt::noise(8192, 3.0, 3), r = tkt::noise(8192, 1.0, 4);
    Rig rig;
    rig.msg("thresh", {-10.0});
    rig.msg("ceiling", {-2.0});
    Outs o = rig.run(l, r);
    const double boost = from_db(8.0);
    double lowest = 1.0;
    for (std::size_t i = 0; i < l.size(); ++i) {
        const double g = o[2][i];
        ASSERT_TRUE(g > 0.0 && g <= 1.0) << "sample " << i;
        lowest = std::min(lowest, g);
        const double dl = i < kDelay ? 0.0 : l[i - kDelay], dr = i < kDelay ? 0.0 : r[i - kDelay];
        // the boost comes from exp rather than pow: a few ulps apart
        ASSERT_NEAR(o[0][i], boost * g * dl, 1e-14 * std::fabs(boost * dl)) << "sample " << i;
        ASSERT_NEAR(o[1][i], boost * g * dr, 1e-14 * std::fabs(boost * dr)) << "sample " << i;
    }
    EXPECT_LT(lowest, 0.2);  // the loud noise was limited
}

TEST(BrickWall, BoostIsCeilingMinusThreshold) {
    const Sig quiet = tkt::noise(2048, 0.001, 5);  // far below every threshold: gain 1
    struct Case {
        double thresh, ceiling, boost_db;
        std::vector<std::string> posted;
    };
    const Case cases[] = {
        {-10.0, 0.0, 10.0, {}},
        {-6.0, -6.0, 0.0, {}},
        {-40.0, 3.0, 30.0, {"Minimum Threshold Value: -30.0", "Maximum Output Ceiling Value: 0"}},
        {0.0, -45.0, -30.0, {"Minimum Output Ceiling Value: -30.0"}},
    };
    for (const Case &c : cases) {
        Rig rig;
        tk::ConsoleCapture cap;
        rig.msg("thresh", {c.thresh});
        rig.msg("ceiling", {c.ceiling});
        EXPECT_EQ(cap.texts(), c.posted) << "thresh " << c.thresh << " ceiling " << c.ceiling;
        Outs o = rig.run(quiet, quiet);
        for (std::size_t i = kDelay; i < quiet.size(); ++i) {
            ASSERT_EQ(o[2][i], 1.0) << "sample " << i;
            // exp rather than pow: a few ulps apart
            ASSERT_NEAR(o[0][i] / quiet[i - kDelay], from_db(c.boost_db), 1e-14 * from_db(c.boost_db))
                << "thresh " << c.thresh << " ceiling " << c.ceiling << " sample " << i;
        }
    }
}

// A constant level c settles the follower at c; the average then reads c/121 + c, so the output
// settles at 121/122 of the threshold.
TEST(BrickWall, SteadyLevelSettlesJustBelowTheThreshold) {
    for (double thresh : {0.0, -12.0}) {
        Rig rig;
        rig.msg("thresh", {thresh});
        rig.msg("ceiling", {thresh});  // no boost
        Outs o = rig.run(tkt::constant(88200, 2.0), tkt::constant(88200, -1.0));
        const double t = from_db(thresh);
        // the release (25 ms) has run 80 time constants past the attack's overshoot
        EXPECT_NEAR(o[2].back(), t * 121.0 / 244.0, 1e-12 * t) << "thresh " << thresh;
        EXPECT_NEAR(o[0].back(), t * 121.0 / 122.0, 1e-12 * t) << "thresh " << thresh;
        EXPECT_NEAR(o[1].back(), -t * 121.0 / 244.0, 1e-12 * t) << "thresh " << thresh;
    }
}

TEST(BrickWall, StartsSilentWithUnityGainAndResetMatchesAFreshBox) {
    const Sig loud = tkt::constant(4096, 4.0);
    Rig fresh;
    Outs expected = fresh.run(loud, loud);
    for (std::size_t i = 0; i < kDelay; ++i) ASSERT_EQ(expected[0][i], 0.0) << "sample " << i;
    EXPECT_EQ(expected[2][0], 1.0);
    EXPECT_EQ(expected[2][1], 1.0);
    EXPECT_LT(expected[2].back(), 0.3);

    Rig rig;
    rig.run(tkt::noise(3000, 5.0, 6), tkt::noise(3000, 5.0, 7));
    rig.msg("reset");
    expect_same(rig.run(loud, loud), expected, "after reset");
}

TEST(BrickWall, BypassIsBitExactAndFreezesTheState) {
    const Sig l1 = tkt::noise(4096, 2.0, 11), r1 = tkt::noise(4096, 2.0, 12);
    const Sig l2 = tkt::noise(4096, 1.5, 13), r2 = tkt::noise(4096, 0.5, 14);
    const Sig junk_l = tkt::noise(4096, 9.0, 15), junk_r = tkt::noise(4096, 9.0, 16);

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
    // the delay lines still hold l1's last 480 samples: they come out first
    expect_same(rig.run(l2, r2), expected, "after bypass");
}

TEST(BrickWall, VectorSizesAgree) {
    const Sig l = tkt::noise(6000, 3.0, 21), r = tkt::noise(6000, 0.3, 22);
    Outs ref;
    for (int block : {64, 1, 2, 3, 1000}) {
        Rig rig(block);
        rig.msg("thresh", {-6.0});
        rig.msg("release", {10.0});
        Outs o = rig.run(l, r);
        if (block == 64)
            ref = o;
        else
            expect_same(o, ref, "block " + std::to_string(block));
    }
}

struct Clamp {
    const char *sel;
    double lo, hi;
    const char *above, *below;
};
const Clamp kClamps[] = {
    {"release", 1, 3000, "Maximum Release Time: 3000 ms", "Minimum Release Time: 1 ms"},
    {"ceiling", -30, 0, "Maximum Output Ceiling Value: 0", "Minimum Output Ceiling Value: -30.0"},
    {"thresh", -30, 0, "Maximum Threshold Value: 0 db", "Minimum Threshold Value: -30.0"},
};

TEST(BrickWall, ClampsPostTheirExactLinesAndActAsTheLimit) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    {
        Rig rig;
        for (const Clamp &c : kClamps) {
            tk::ConsoleCapture cap;
            rig.msg(c.sel, {c.hi + 3.0});
            rig.msg(c.sel, {c.lo - 0.5});
            rig.msg(c.sel, {inf});
            rig.msg(c.sel, {-inf});
            rig.msg(c.sel, {nan});  // NaN counts as below the minimum
            EXPECT_EQ(cap.texts(), (std::vector<std::string>{c.above, c.below, c.above, c.below, c.below})) << c.sel;
            cap.clear();
            rig.msg(c.sel, {c.hi});
            rig.msg(c.sel, {c.lo});
            EXPECT_TRUE(cap.texts().empty()) << c.sel;
        }
        tk::ConsoleCapture cap;
        rig.msg("Bypass", {0});
        EXPECT_TRUE(cap.texts().empty());
    }
    const Sig l = tkt::noise(4096, 4.0, 31), r = tkt::noise(4096, 1.0, 32);
    tk::ConsoleCapture lines;  // their texts were checked above
    for (const Clamp &c : kClamps)
        for (auto [sent, limit] : {std::pair{c.hi + 50.0, c.hi}, std::pair{c.lo - 50.0, c.lo}, std::pair{nan, c.lo}}) {
            Rig a, b;
            a.msg("thresh", {-8.0});
            b.msg("thresh", {-8.0});
            a.msg(c.sel, {sent});
            b.msg(c.sel, {limit});
            expect_same(a.run(l, r), b.run(l, r), std::string(c.sel) + " " + std::to_string(sent));
        }
}

// Non-finite samples never enter the delay lines or the detector: nothing non-finite ever comes
// out, and such a sample leaves as silence 480 samples later.
TEST(BrickWall, NonFiniteInputNeverReachesTheOutput) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    Sig l = tkt::noise(8192, 2.0, 41), r = tkt::noise(8192, 2.0, 42);
    const std::size_t bad[] = {100, 1000, 2500, 4000};
    l[bad[0]] = inf;
    r[bad[1]] = -inf;
    l[bad[2]] = nan;
    l[bad[3]] = nan;
    r[bad[3]] = inf;
    Rig rig;
    rig.msg("thresh", {-6.0});
    Outs o = rig.run(l, r);
    for (std::size_t i = 0; i < l.size(); ++i) {
        ASSERT_TRUE(std::isfinite(o[0][i]) && std::isfinite(o[1][i])) << "sample " << i;
        ASSERT_TRUE(o[2][i] >= 0.0 && o[2][i] <= 1.0) << "sample " << i;
    }
    EXPECT_EQ(o[0][bad[0] + kDelay], 0.0);
    EXPECT_EQ(o[1][bad[1] + kDelay], 0.0);
    EXPECT_EQ(o[0][bad[3] + kDelay], 0.0);
    EXPECT_EQ(o[1][bad[3] + kDelay], 0.0);

    // a NaN on one side is the same as silence on that side
    Sig ln = tkt::noise(4096, 2.0, 43), rn = tkt::noise(4096, 2.0, 44), lz = ln;
    ln[700] = nan;
    lz[700] = 0.0;
    Rig a, b;
    expect_same(a.run(ln, rn), b.run(lz, rn), "NaN against silence");
}

TEST(BrickWall, MemoryIsReturnedAndAllocationFailureRefusesTheBox) {
    tk::Patch patch(44100.0, 64);
    const tk::MemoryStats before = tk::memory_stats();
    tk::Box *box = patch.create("brickwall~");
    ASSERT_NE(box, nullptr);
    patch.process(box, {tkt::noise(1024, 0.5, 1), tkt::noise(1024, 0.5, 2)}, 1024);
    EXPECT_EQ(tk::allocations_in_perform(), 0);
    patch.free(box);
    EXPECT_EQ(tk::memory_stats().live_blocks, before.live_blocks);
    EXPECT_EQ(tk::memory_stats().live_bytes, before.live_bytes);

    tkt::expect_refused_without_leaks(patch, "brickwall~", 4);
}

}  // namespace
