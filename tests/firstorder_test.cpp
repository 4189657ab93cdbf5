// recur~, fwdtap~ and backtap~: the raw first-order sections, both paths, through the host.
#include <atomic>
#include <cmath>
#include <thread>

#include "support.h"
#include "tildekit.h"

namespace {

// Renders `name a` on `in`, optionally with a coefficient signal at inlet 1.
std::vector<double> render(const std::string &box, const std::vector<double> &in, bool legacy = false,
                           int block = 64, const std::vector<double> *coef = nullptr) {
    tk::Patch p(44100, block);
    p.set_legacy(legacy);
    tk::Box *b = p.create(box);
    EXPECT_NE(b, nullptr) << box;
    std::vector<std::vector<double>> ins{in};
    if (coef) ins.push_back(*coef);
    return p.process(b, ins, std::int64_t(in.size()))[0];
}

class FirstOrder : public ::testing::TestWithParam<bool> {};  // parameter: legacy path

TEST_P(FirstOrder, ImpulseResponsesFollowTheDifferenceEquations) {
    const bool legacy = GetParam();
    const double a = 0.5;
    auto in = tkt::impulse(200);
    in[3] = -0.75;  // a second pulse checks the state carried across samples
    auto y = render("recur~ 0.5", in, legacy, 7);  // 7: blocks end at odd places
    auto f = render("fwdtap~ 0.5", in, legacy, 7);
    auto b = render("backtap~ 0.5", in, legacy, 7);
    double yr = 0, xp = 0;
    // float path: one rounding per operation, 1e-6 relative covers it; below float's smallest
    // normal (1.2e-38) the decaying tail loses precision, hence the absolute floor
    const double tol = legacy ? 1e-6 : 0.0;
    const double floor = legacy ? 1.2e-38 : 0.0;
    for (std::size_t n = 0; n < in.size(); ++n) {
        yr = in[n] + a * yr;
        double fexp = in[n] - a * xp, bexp = xp - a * in[n];
        xp = in[n];
        ASSERT_NEAR(y[n], yr, tol * std::abs(yr) + floor) << "recur~ sample " << n;
        ASSERT_NEAR(f[n], fexp, tol) << "fwdtap~ sample " << n;
        ASSERT_NEAR(b[n], bexp, tol) << "backtap~ sample " << n;
    }
}

TEST_P(FirstOrder, SignalCoefficientIsReadAtTheFirstSampleOfEachBlock) {
    const bool legacy = GetParam();
    const int block = 16;
    std::vector<double> coef(64), in = tkt::constant(64, 1.0);
    for (std::size_t i = 0; i < coef.size(); ++i) coef[i] = 0.1 + 0.01 * double(i);  // a ramp
    auto y = render("recur~ 0.9", in, legacy, block, &coef);
    double yr = 0;
    for (std::size_t n = 0; n < in.size(); ++n) {
        double a = coef[n - n % block];  // constant within a block: a step at each boundary
        if (legacy) a = double(float(a));
        yr = legacy ? double(float(float(yr) * float(a) + 1.0f)) : yr * a + 1.0;
        ASSERT_NEAR(y[n], yr, legacy ? 1e-6 : 1e-15) << "sample " << n;
    }
}

TEST_P(FirstOrder, RunawayStateIsFlushedAtTheBlockEndAndTheFilterRecovers) {
    const bool legacy = GetParam();
    // |a| > 1 grows until infinite within the first block; the guard zeroes the state after it
    auto in = tkt::constant(128, 1.0);
    auto y = render("recur~ 1e10", in, legacy, 64);
    EXPECT_FALSE(std::isfinite(y[63])) << "the block itself may run away";
    EXPECT_EQ(y[64], 1.0) << "state flushed to 0, so the next block starts from the input alone";

    // one NaN sample breaks one block at most
    std::vector<double> x = tkt::noise(192);
    x[10] = std::nan("");
    auto z = render("recur~ 0.5", x, legacy, 64);
    EXPECT_TRUE(std::isnan(z[10]));
    EXPECT_TRUE(tkt::all_finite(z, 64));
}

TEST_P(FirstOrder, IdentityCases) {
    const bool legacy = GetParam();
    auto x = tkt::noise(100, 0.5, 7);
    auto y = render("recur~", x, legacy, 64);  // a defaults to 0
    auto f = render("fwdtap~ 0", x, legacy, 64);
    auto b = render("backtap~ 0", x, legacy, 64);
    for (std::size_t n = 0; n < x.size(); ++n) {
        double xr = legacy ? double(float(x[n])) : x[n];
        ASSERT_EQ(y[n], xr) << n;
        ASSERT_EQ(f[n], xr) << n;
        ASSERT_EQ(b[n], n ? (legacy ? double(float(x[n - 1])) : x[n - 1]) : 0.0) << "one-sample delay at " << n;
    }
    // a = 1 on a constant: the zero at DC cancels it from the second sample on
    auto c = tkt::constant(70, 0.3);
    auto f1 = render("fwdtap~ 1", c, legacy, 64);
    auto b1 = render("backtap~ 1", c, legacy, 64);
    for (std::size_t n = 1; n < c.size(); ++n) {
        ASSERT_EQ(f1[n], 0.0) << n;
        ASSERT_EQ(b1[n], 0.0) << n;
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, FirstOrder, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Legacy32" : "Native64"; });

TEST(FirstOrderMessages, SetClearAndNumbersByInlet) {
    tk::Patch p(44100, 4);
    tk::Box *b = p.create("recur~ 0.5");
    p.capture(b, 0);
    p.send(b, "set", {8.0});
    p.run(4);
    EXPECT_EQ(p.output(b, 0), (std::vector<double>{4, 2, 1, 0.5}));
    p.send(b, "set");  // no argument: like clear
    p.clear_outputs();
    p.run(4);
    EXPECT_EQ(p.output(b, 0), (std::vector<double>{0, 0, 0, 0}));
    p.send(b, "set", {1.0});
    p.send(b, "clear");
    p.send_float(b, 0, 0.9);  // left inlet: ignored
    p.send_int(b, 1, 2);      // right inlet: the coefficient, int converted
    p.feed(b, 0, tkt::impulse(1));
    p.clear_outputs();
    p.run(4);
    EXPECT_EQ(p.output(b, 0), (std::vector<double>{1, 2, 4, 8}));
}

TEST(FirstOrderMessages, NumberAtTheCoefficientInletWaitsWhileASignalIsConnected) {
    tk::Patch p(44100, 8);
    tk::Box *b = p.create("recur~ 0");
    p.feed(b, 0, tkt::constant(64, 1.0));
    p.feed(b, 1, tkt::constant(64, 0.0));  // a signal coefficient of 0
    p.capture(b, 0);
    p.run(8);
    p.send_float(b, 1, 0.5);
    p.run(8);
    EXPECT_EQ(p.output(b, 0)[15], 1.0) << "the signal still rules";
    p.unfeed(b, 1);  // disconnected, chain recompiled: the stored number takes over
    p.run(8);
    EXPECT_EQ(p.output(b, 0)[16], 1.5);
}

// A message from another thread, landing mid-block, takes effect at the start of a block
// (tkt::expect_message_kept_across_threads).
// recur~ 1 integrates, so a lost clear or set would stay visible for good; the one-zero
// sections show it at the next block's first sample.
TEST(FirstOrderMessages, SetAndClearFromAnotherThreadDuringABlockAreNotLost) {
    const int n = 4096;  // long blocks: the message most likely lands mid-block
    for (const char *box : {"recur~ 1", "fwdtap~ 0.5", "backtap~ 0.5"})
        for (const char *text : {"clear", "set 5"})
            tkt::expect_message_kept_across_threads(box, text, {tkt::constant(n, 1.0)}, {tkt::noise(n, 0.5, 7)});
}

TEST(FirstOrderFrame, ClassesAssistBannerAndMemory) {
    for (const char *name : {"recur~", "fwdtap~", "backtap~"}) {
        const tk::ClassInfo &c = tk::load_class(name);
        EXPECT_EQ(c.entry, "main");
        EXPECT_EQ(c.creation_types, std::vector<int>{8});  // A_GIMME
        std::vector<std::string> sel;
        for (auto &m : c.methods) sel.push_back(m.selector);
        EXPECT_EQ(sel, (std::vector<std::string>{"dsp64", "dsp", "float", "int", "set", "clear", "assist"})) << name;
        EXPECT_EQ(c.methods[4].types, std::vector<int>{6});  // set: A_DEFFLOAT
        ASSERT_EQ(c.banner.size(), 3u) << name;
        EXPECT_EQ(c.banner[0], std::string(74, '-'));
        EXPECT_EQ(c.banner[1].rfind(std::string(name) + ": ", 0), 0u) << c.banner[1];
        EXPECT_EQ(c.banner[2], "tildekit " TILDEKIT_VERSION);

        auto base = tk::memory_stats();
        {
            tk::Patch p;
            tk::Box *b = p.create(name);
            ASSERT_NE(b, nullptr);
            EXPECT_FALSE(b->no_inplace());
            EXPECT_EQ(b->signal_inlets(), 2);
            EXPECT_EQ(b->assist(1, 0), std::optional<std::string>("(signal) Input to be filtered(clear) Clear internal state to zero(set) set internal state"));
            EXPECT_EQ(b->assist(1, 1), std::optional<std::string>("(signal/float) Filter coefficient"));
            EXPECT_EQ(b->assist(1, 2), std::nullopt);
            EXPECT_EQ(b->assist(2, 5), std::optional<std::string>("(signal) Filtered signal"));
            p.process(b, {tkt::noise(256)}, 256);
        }
        EXPECT_EQ(tk::memory_stats().live_blocks, base.live_blocks) << name << " left an allocation";
    }
}

}  // namespace
