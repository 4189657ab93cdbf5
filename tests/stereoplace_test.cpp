// stereoplace~: constant-power stereo panner with smoothed outputs, run through the host in
// the 64-bit and the legacy 32-bit float chain.
#include "support.h"

namespace {

// argument type codes of the host's method table
constexpr int A_FLOAT = 2, A_GIMME = 8, A_CANT = 9;

class StereoPlace : public ::testing::TestWithParam<bool> {
protected:
    bool legacy() const { return GetParam(); }
    // Tolerance of a smoothed output whose time constant is tau samples. The legacy chain
    // runs the recursion in float: a rounding of ~6e-8 per sample accumulates over about
    // tau samples, plus the float pole's own error; the 64-bit chain only rounds in double.
    double tol(double tau = 44.1) const { return legacy() ? 2e-7 * std::max(tau, 10.0) : 1e-12; }
    tk::Box *make(tk::Patch &p) {
        p.set_legacy(legacy());
        tk::Box *b = p.create("stereoplace~");
        EXPECT_NE(b, nullptr);
        return b;
    }
};

INSTANTIATE_TEST_SUITE_P(Chains, StereoPlace, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "legacy32" : "perform64"; });

}  // namespace

TEST(StereoPlaceClass, RegistrationBannerAndAssist) {
    const tk::ClassInfo &c = tk::load_class("stereoplace~");
    EXPECT_EQ(c.entry, "main");
    EXPECT_EQ(c.creation_types, std::vector<int>{A_GIMME});
    EXPECT_TRUE(c.dsp);
    std::vector<std::pair<std::string, std::vector<int>>> want = {{"dsp", {A_CANT}},
                                                                  {"dsp64", {A_CANT}},
                                                                  {"int_time", {A_FLOAT}},
                                                                  {"pan", {A_FLOAT}},
                                                                  {"assist", {A_CANT}}};
    ASSERT_EQ(c.methods.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(c.methods[i].selector, want[i].first) << "method " << i;
        EXPECT_EQ(c.methods[i].types, want[i].second) << want[i].first;
    }
    ASSERT_EQ(c.banner.size(), 4u);
    EXPECT_EQ(c.banner[0], std::string(74, '-'));
    EXPECT_EQ(c.banner[2],
              "stereoplace~ default values : { Interpolation Time(0 - 10) : 1, Pan Position(0 - 1) : 0.5 }");
    EXPECT_EQ(c.banner[3].rfind("tildekit ", 0), 0u) << c.banner[3];

    tk::Patch p;
    tk::Box *b = p.create("stereoplace~ 0.2");  // arguments are accepted and ignored
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->signal_inlets(), 2);
    EXPECT_EQ(b->signal_outlets(), 2);
    EXPECT_TRUE(b->no_inplace());
    EXPECT_EQ(b->assist(1, 0), "(signal) Stereo Input Left");
    EXPECT_EQ(b->assist(1, 1), "(signal) Stereo Input Right");
    EXPECT_EQ(b->assist(1, 2), std::nullopt);
    EXPECT_EQ(b->assist(2, 0), "(signal) Left Output");
    EXPECT_EQ(b->assist(2, 1), "(signal) Right Output");
    EXPECT_EQ(b->assist(2, 2), std::nullopt);
}

TEST(StereoPlaceClass, FreeReturnsEveryBlockAndRefusalLeaksNothing) {
    tk::Patch p;
    auto before = tk::memory_stats();
    std::int64_t in_perform = tk::allocations_in_perform();
    tk::Box *b = p.create("stereoplace~");
    ASSERT_NE(b, nullptr);
    p.process(b, {tkt::noise(1000), tkt::noise(1000)}, 1000);
    EXPECT_EQ(tk::allocations_in_perform(), in_perform);
    p.free(b);
    EXPECT_EQ(tk::memory_stats().live_blocks, before.live_blocks);
    EXPECT_EQ(tk::memory_stats().live_bytes, before.live_bytes);
    tkt::expect_refused_without_leaks(p, "stereoplace~", 2);  // the left state, then the right one
}

// Settled outputs for constant inputs L and R: the square-root balance law, then the
// smoother's unity DC gain times one half. At 1 ms and 44.1 kHz the smoother has settled to
// e^-100 after 4410 samples.
TEST_P(StereoPlace, SettledGainsFollowTheBalanceLaw) {
    const double L = 0.8, R = -0.3;
    struct Case {
        double pan, left, right;
    } cases[] = {
        {0.0, 0.5 * (L + R), 0.0},
        {0.25, 0.5 * (L + std::sqrt(0.5) * R), 0.5 * std::sqrt(0.5) * R},
        {0.5, 0.5 * L, 0.5 * R},
        {0.75, 0.5 * std::sqrt(0.5) * L, 0.5 * (std::sqrt(0.5) * L + R)},
        {1.0, 0.0, 0.5 * (L + R)},
    };
    for (const Case &c : cases) {
        tk::Patch p(44100.0, 64);
        tk::Box *b = make(p);
        p.send(b, "pan", {c.pan});
        auto out = p.process(b, {tkt::constant(4410, L), tkt::constant(4410, R)}, 4410);
        EXPECT_NEAR(out[0].back(), c.left, tol()) << "pan " << c.pan;
        EXPECT_NEAR(out[1].back(), c.right, tol()) << "pan " << c.pan;
    }
}

// With no interpolation time the pole is 0: every output sample is exactly half the mix of
// the same input sample, from the first one on.
TEST_P(StereoPlace, ZeroTimeRemovesTheSmoothing) {
    tk::Patch p(44100.0, 64);
    tk::Box *b = make(p);
    p.send(b, "int_time", {0.0});
    p.send(b, "pan", {0.5});
    auto l = tkt::noise(1000, 0.9, 1), r = tkt::noise(1000, 0.9, 2);
    auto out = p.process(b, {l, r}, 1000);
    for (std::size_t i = 0; i < l.size(); ++i) {
        double wl = legacy() ? double(0.5f * float(l[i])) : 0.5 * l[i];
        double wr = legacy() ? double(0.5f * float(r[i])) : 0.5 * r[i];
        ASSERT_EQ(out[0][i], wl) << "sample " << i;
        ASSERT_EQ(out[1][i], wr) << "sample " << i;
    }
}

// A step through the smoother covers 1 - 1/e of its way in one interpolation time: with 2 ms
// at 48 kHz, after 96 samples. The whole step follows 1 - c^(n+1) with c = e^(-1/96).
TEST_P(StereoPlace, StepSettlesWithTheInterpolationTime) {
    for (double ms : {2.0, 10.0}) {
        const double sr = 48000.0, tau = ms * 1e-3 * sr;
        tk::Patch p(sr, 64);
        tk::Box *b = make(p);
        p.send(b, "int_time", {ms});
        auto out = p.process(b, {tkt::constant(2000, 1.0), tkt::constant(2000, 0.0)}, 2000);
        EXPECT_NEAR(out[0][std::size_t(std::lround(tau)) - 1], 0.5 * (1.0 - std::exp(-1.0)), tol(tau)) << ms << " ms";
        for (std::size_t i = 0; i < out[0].size(); ++i)
            ASSERT_NEAR(out[0][i], 0.5 * (1.0 - std::exp(-double(i + 1) / tau)), tol(tau))
                << ms << " ms, sample " << i;
        for (double v : out[1]) ASSERT_EQ(v, 0.0);
    }
}

// The default time constant of 1 ms, also what an out-of-range `int_time` goes back to.
TEST_P(StereoPlace, OutOfRangeTimeRestoresOneMillisecond) {
    for (double bad : {11.0, -1.0, double(NAN)}) {
        tk::Patch p(44100.0, 64);
        tk::Box *b = make(p);
        p.send(b, "int_time", {5.0});
        tk::ConsoleCapture cap;
        p.send(b, "int_time", {bad});
        ASSERT_EQ(cap.texts().size(), 1u) << bad;
        EXPECT_EQ(cap.texts()[0], "Default Interpolation Time value: 1");
        auto out = p.process(b, {tkt::constant(200, 1.0)}, 200);
        EXPECT_NEAR(out[0][43], 0.5 * (1.0 - std::exp(-44.0 / 44.1)), tol()) << bad;
    }
    tk::Patch p;
    tk::Box *b = make(p);
    tk::ConsoleCapture cap;
    p.send(b, "int_time", {10.0});
    p.send(b, "int_time", {0.0});
    EXPECT_TRUE(cap.texts().empty());  // the limits are taken silently
}

TEST_P(StereoPlace, OutOfRangePanCentresTheImage) {
    for (double bad : {1.2, -0.01, double(NAN), double(INFINITY)}) {
        tk::Patch p(44100.0, 64);
        tk::Box *b = make(p);
        p.send(b, "int_time", {0.0});
        p.send(b, "pan", {0.0});
        tk::ConsoleCapture cap;
        p.send(b, "pan", {bad});
        ASSERT_EQ(cap.texts().size(), 1u) << bad;
        EXPECT_EQ(cap.texts()[0], "Default Pan Position value: 0.5");
        auto out = p.process(b, {tkt::constant(64, 0.5), tkt::constant(64, 0.25)}, 64);
        EXPECT_EQ(out[0][10], 0.25) << bad;
        EXPECT_EQ(out[1][10], 0.125) << bad;
    }
    tk::Patch p;
    tk::Box *b = make(p);
    tk::ConsoleCapture cap;
    p.send(b, "pan", {1.0});
    p.send(b, "pan", {0.0});
    EXPECT_TRUE(cap.texts().empty());
}

// A NaN or infinite input sample poisons the smoother only until the end of its block; from
// the next block on the panner runs as a fresh one started there.
TEST_P(StereoPlace, RecoversFromBadInputAtTheNextBlock) {
    for (double bad : {double(NAN), double(INFINITY)}) {
        const std::size_t n = 64 * 20, restart = 64 * 6;
        auto l = tkt::noise(n, 0.5, 4), r = tkt::noise(n, 0.5, 5);
        l[64 * 5 + 17] = bad;
        tk::Patch p(44100.0, 64);
        tk::Box *b = make(p);
        p.send(b, "pan", {0.3});
        auto out = p.process(b, {l, r}, std::int64_t(n));
        EXPECT_FALSE(std::isfinite(out[0][64 * 5 + 20]));

        tk::Patch q(44100.0, 64);
        tk::Box *fresh = make(q);
        q.send(fresh, "pan", {0.3});
        std::vector<double> l2(l.begin() + restart, l.end()), r2(r.begin() + restart, r.end());
        auto ref = q.process(fresh, {l2, r2}, std::int64_t(n - restart));
        for (int ch = 0; ch < 2; ++ch)
            for (std::size_t i = 0; i < ref[0].size(); ++i)
                ASSERT_EQ(out[std::size_t(ch)][restart + i], ref[std::size_t(ch)][i])
                    << "channel " << ch << ", sample " << restart + i << ", bad value " << bad;
    }
}

// The smoother's memory carries over from block to block: any vector size gives the same
// signal, bit for bit.
TEST_P(StereoPlace, VectorSizeDoesNotChangeTheOutput) {
    auto l = tkt::noise(2000, 0.5, 8), r = tkt::noise(2000, 0.5, 9);
    std::vector<std::vector<double>> ref;
    for (int n : {64, 1, 2, 3, 37}) {
        tk::Patch p(44100.0, n);
        tk::Box *b = make(p);
        p.send(b, "pan", {0.8});
        p.send(b, "int_time", {3.0});
        auto out = p.process(b, {l, r}, 2000);
        if (ref.empty()) {
            ref = out;
            continue;
        }
        for (int ch = 0; ch < 2; ++ch)
            for (std::size_t i = 0; i < l.size(); ++i)
                ASSERT_EQ(out[std::size_t(ch)][i], ref[std::size_t(ch)][i])
                    << "vector size " << n << ", channel " << ch << ", sample " << i;
    }
}
