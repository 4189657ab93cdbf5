// sosect~: raw biquad section set by a list, through the host, on the 64-bit chain and on the
// legacy 32-bit float chain.
#include "support.h"

#include <atomic>
#include <thread>

namespace {

using List = std::vector<double>;  // fb1 fb2 ff1 ff2 ff3

// The same transfer function in direct form I: y = ff1 x + ff2 x' + ff3 x'' + fb1 y' + fb2 y''.
std::vector<double> direct_form_1(const List &c, const std::vector<double> &x) {
    std::vector<double> y(x.size());
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (std::size_t n = 0; n < x.size(); ++n) {
        y[n] = c[2] * x[n] + c[3] * x1 + c[4] * x2 + c[0] * y1 + c[1] * y2;
        x2 = x1, x1 = x[n], y2 = y1, y1 = y[n];
    }
    return y;
}

tk::Atoms atoms(const List &l) { return tk::Atoms(l.begin(), l.end()); }

class SosectPath : public ::testing::TestWithParam<bool> {
protected:
    bool legacy() const { return GetParam(); }
    std::unique_ptr<tk::Patch> patch(int bs = 64) {
        auto p = std::make_unique<tk::Patch>(44100.0, bs);
        p->set_legacy(legacy());
        return p;
    }
    double seen(double v) const { return legacy() ? double(float(v)) : v; }
    std::vector<double> seen(std::vector<double> v) const {
        for (auto &s : v) s = seen(s);
        return v;
    }
    void TearDown() override {
        EXPECT_TRUE(console.texts(tk::ConsoleLine::Error).empty()) << "errors posted";
        EXPECT_EQ(tk::allocations_in_perform(), perform_allocs) << "allocation while performing";
        EXPECT_EQ(tk::memory_stats().live_blocks, live) << "blocks left after the boxes were freed";
    }
    tk::ConsoleCapture console;
    std::int64_t perform_allocs = tk::allocations_in_perform();
    std::int64_t live = tk::memory_stats().live_blocks;
};

// Lists inside and on the edge of stability give the impulse response of their transfer
// function (all values exact in single precision, so both widths read the same lists);
// refused lists (NaN included) give silence.
TEST_P(SosectPath, StabilityTestAcceptsAndRefuses) {
    struct Case {
        List l;
        bool accepted;
        const char *what;
    };
    const Case cases[] = {
        {{0, 0, 1, 0, 0}, true, "pass-through"},
        {{1, 0, 1, 0, 0}, true, "integrator: real pole at 1"},
        {{2, -1, 1, 0, 0}, true, "double pole at 1"},
        {{1, -1, 1, 0, 0}, true, "complex poles on the unit circle"},
        {{-1.5, -0.5625, 1, 0.5, 0.25}, true, "double pole at -0.75"},
        {{0.75, -0.5625, 0.25, -0.5, 0.125}, true, "complex poles at 0.75, +-60 degrees"},
        {{1.25, -0.375, -1, 0.75, 2}, true, "real poles at 0.75 and 0.5"},
        {{2.1, 0, 1, 0, 0}, false, "fb1 above 2"},
        {{0, -1.5, 1, 0, 0}, false, "complex poles outside"},
        {{0.5, 0.6, 1, 0, 0}, false, "real pole above 1"},
        {{-1.2, 0.5, 1, 0, 0}, false, "real pole below -1"},
        {{NAN, 0, 1, 0, 0}, false, "NaN fb1"},
        {{0.5, NAN, 1, 0, 0}, false, "NaN fb2"},
    };
    for (const Case &c : cases) {
        auto p = patch();
        tk::Box *b = p->create("sosect~ 0 0 1");
        p->send(b, "list", atoms(c.l));
        auto out = p->process(b, {tkt::impulse(128)}, 128)[0];
        auto want = c.accepted ? direct_form_1(c.l, tkt::impulse(128)) : std::vector<double>(128, 0.0);
        for (int i = 0; i < 128; ++i)  // another form of the filter: rounding only (float on legacy)
            ASSERT_NEAR(out[i], want[i], (legacy() ? 1e-6 : 1e-12) * std::max(1.0, std::fabs(want[i])))
                << c.what << ", sample " << i;
    }
}

// Creation arguments go through the same test; missing coefficients are 0, also after a full
// list; a refused list silences a running filter from the next block on.
TEST_P(SosectPath, ArgumentsShortListsAndRefusalWhileRunning) {
    auto x = tkt::noise(128, 0.5, 31);
    auto p = patch();
    EXPECT_EQ(p->process(p->create("sosect~ 0 0 1"), {x}, 128)[0], seen(x));
    EXPECT_EQ(p->process(p->create("sosect~ 2.1 0 1 0 0"), {x}, 128)[0], std::vector<double>(128, 0.0));
    EXPECT_EQ(p->process(p->create("sosect~"), {x}, 128)[0], std::vector<double>(128, 0.0));

    tk::Box *b = p->create("sosect~ 0 0 1 1 1");
    p->process(b, {x}, 128);
    p->send(b, "list", {0, 0, 1});
    EXPECT_EQ(p->process(b, {x}, 128)[0], seen(x)) << "short list";
    p->send(b, "list", {2.1, 0, 1, 0, 0});
    EXPECT_EQ(p->process(b, {x}, 128)[0], std::vector<double>(128, 0.0)) << "refused while running";
}

// The guard works inside the loop: a runaway integrator restarts from 0 at the very sample
// where its internal value leaves the range (2^513 on the 64-bit chain, float infinity on the
// legacy one), and a NaN input sample gives 0 at once instead of spoiling the block.
TEST_P(SosectPath, GuardActsAtEverySample) {
    const double a = legacy() ? 1e38 : 1e154;  // 3a fits, 4a does not (legacy); 3a does not (64-bit)
    const int period = legacy() ? 4 : 3;
    auto p = patch();
    auto out = p->process(p->create("sosect~ 1 0 1 0 0"), {tkt::constant(64, a)}, 64)[0];
    for (int i = 0; i < 64; ++i) {
        int k = i % period;
        if (k == period - 1)
            ASSERT_EQ(out[i], 0.0) << "sample " << i;
        else
            ASSERT_NEAR(out[i], (k + 1) * seen(a), 1e-6 * a) << "sample " << i;
    }
    auto x = tkt::noise(64, 0.5, 33);
    x[10] = NAN;
    out = p->process(p->create("sosect~ 0 0 1"), {x}, 64)[0];
    for (int i = 0; i < 64; ++i) ASSERT_EQ(out[i], i == 10 ? 0.0 : seen(x[i])) << "sample " << i;
}

// `set w1 w2` and `clear` (the same routine): with fb = 0, ff1 = 0, ff2 = 1, ff3 = 10 and
// silence in, the first two outputs are w1 + 10 w2 and 10 w1. A list leaves the state alone.
TEST_P(SosectPath, SetAndClearShareOneRoutine) {
    auto p = patch(16);
    tk::Box *b = p->create("sosect~ 0 0 0 1 10");
    auto first_two = [&](const char *selector, const tk::Atoms &args) {
        p->send(b, selector, args);
        auto o = p->process(b, {}, 16)[0];
        return std::vector<double>{o[0], o[1]};
    };
    using V = std::vector<double>;
    EXPECT_EQ(first_two("set", {0.5, 0.25}), (V{3.0, 5.0}));
    EXPECT_EQ(first_two("clear", {0.5}), (V{0.5, 5.0})) << "clear with an argument sets like set";
    EXPECT_EQ(first_two("set", {"foo", 0.25}), (V{2.5, 0.0})) << "a non-number counts as 0";
    p->send(b, "set", {0.5, 0.25});
    EXPECT_EQ(first_two("list", {0, 0, 0, 1, 10}), (V{3.0, 5.0})) << "list touched the state";
    p->send(b, "set", {0.5, 0.25});
    EXPECT_EQ(first_two("clear", {}), (V{0.0, 0.0}));
    p->send(b, "set", {0.5, 0.25});
    EXPECT_EQ(first_two("set", {}), (V{0.0, 0.0}));
}

INSTANTIATE_TEST_SUITE_P(Paths, SosectPath, ::testing::Values(false, true),
                         [](const auto &i) { return i.param ? "legacy" : "dsp64"; });

// A message from another thread, landing mid-block, takes effect at the start of a block
// (tkt::expect_message_kept_across_threads). Poles on the unit circle: a lost set or
// clear would ring for good.
TEST(SosectMessages, SetAndClearFromAnotherThreadDuringABlockAreNotLost) {
    const int n = 4096;  // long blocks: the message most likely lands mid-block
    for (const char *text : {"clear", "set 5 -3"})
        tkt::expect_message_kept_across_threads("sosect~ 1.9 -1 1 0 0", text, {tkt::constant(n, 1.0)}, {tkt::noise(n, 0.5, 11)});
}

TEST(SosectClass, MethodsAssistAndBanner) {
    using M = std::vector<std::pair<std::string, std::vector<int>>>;
    const tk::ClassInfo &c = tk::load_class("sosect~");
    M got;
    for (auto &m : c.methods) got.push_back({m.selector, m.types});
    EXPECT_EQ(got, (M{{"dsp64", {9}}, {"dsp", {9}}, {"list", {8}}, {"set", {8}}, {"clear", {8}}, {"assist", {9}}}));
    EXPECT_EQ(c.entry, "main");
    EXPECT_EQ(c.creation_types, std::vector<int>{8});
    ASSERT_EQ(c.banner.size(), 3u);
    EXPECT_EQ(c.banner[0], std::string(74, '-'));
    EXPECT_EQ(c.banner[2].rfind("tildekit ", 0), 0u) << c.banner[2];

    tk::Patch p;
    tk::Box *b = p.create("sosect~");
    EXPECT_EQ(b->signal_inlets(), 1);
    EXPECT_EQ(b->signal_outlets(), 1);
    const std::string inlet =
        "\n(signal) Incoming signal\n (list) A list of 5 floats is used to set the filter parameters\n (clear)clear "
        "internal state";
    EXPECT_EQ(b->assist(1, 0), inlet);
    EXPECT_EQ(b->assist(1, 3), inlet);
    EXPECT_EQ(b->assist(2, 0), std::string("(signal) Outcoming signal"));
    EXPECT_EQ(b->assist(2, 1), std::string("(signal) Outcoming signal"));
}

}  // namespace
