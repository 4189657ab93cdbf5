// bandres~: two-pole resonant band-pass, through the host, on the 64-bit chain and on the
// legacy 32-bit float chain.
#include "support.h"

#include <atomic>
#include <thread>

namespace {

using cd = std::complex<double>;
const double kTwoPi = 6.283185307179586;

// The filter's coefficients from centre frequency, Q and rate: r from the bandwidth w/Q, the
// cosine by its Taylor polynomial to w^6 within +-pi/2 and 0 outside.
struct Coefs {
    double c1, c2, gain;
};
Coefs coefs(double f, double q, double sr) {
    if (!(f >= 0.001)) f = 10.0;
    if (!(q >= 0.0)) q = 0.0;
    double w = f * kTwoPi / sr;
    double one_minus_r = q < 0.001 ? 1.0 : std::min(w / q, 1.0);
    double g = w * w;
    double cosw = w <= kTwoPi / 4 ? 1.0 - g / 2 + g * g / 24 - g * g * g / 720 : 0.0;
    double r = 1.0 - one_minus_r;
    return {2.0 * r * cosw, -r * r, (r * w + one_minus_r) * 2.0 * one_minus_r};
}

class BandresPath : public ::testing::TestWithParam<bool> {
protected:
    bool legacy() const { return GetParam(); }
    std::unique_ptr<tk::Patch> patch(double sr = 44100.0, int bs = 64) {
        auto p = std::make_unique<tk::Patch>(sr, bs);
        p->set_legacy(legacy());
        return p;
    }
    double seen(double v) const { return legacy() ? double(float(v)) : v; }
    // Input x with optional control signals; a null control inlet stays unconnected.
    std::vector<double> render(tk::Patch &p, tk::Box *b, const std::vector<double> &x,
                               const std::vector<double> *freq, const std::vector<double> *q) {
        p.feed(b, 0, x);
        if (freq) p.feed(b, 1, *freq); else p.unfeed(b, 1);
        if (q) p.feed(b, 2, *q); else p.unfeed(b, 2);
        p.capture(b, 0);
        p.clear_outputs();
        p.run(std::int64_t(x.size()));
        auto out = p.output(b, 0);
        out.resize(x.size());
        return out;
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

// Measured steady-state gain against H(z) = gain / (1 - c1 z^-1 - c2 z^-2), around the centre
// frequency, at two rates (the second one reaches the box through DSP compilation only).
TEST_P(BandresPath, MagnitudeFollowsTheTransferFunction) {
    struct Case {
        double f0, q;
        std::vector<double> freqs;  // whole periods at 48 and 96 kHz
    };
    for (const Case &c : {Case{1000, 5, {250, 500, 1000, 2000, 4000}}, Case{3000, 20, {750, 1500, 3000, 6000, 12000}},
                          Case{200, 1, {100, 200, 400, 800}}}) {
        auto p = patch(48000.0);
        tk::Box *b = p->create("bandres~", {c.f0, c.q});
        for (double sr : {48000.0, 96000.0}) {
            p->set_samplerate(sr);
            Coefs k = coefs(c.f0, c.q, sr);
            for (double f : c.freqs) {
                cd z = std::polar(1.0, -kTwoPi * f / sr);
                double want = std::abs(k.gain / (1.0 - k.c1 * z - k.c2 * z * z));
                const long n = 9600;
                auto out = p->process(b, {tkt::sine(n, f, sr, 0.5)}, n);
                // exact periods, settled: what is left is rounding (float on the legacy chain)
                EXPECT_NEAR(tkt::amplitude_at(out[0], f, sr, n / 2) / 0.5, want, 1e-4 * want)
                    << "f0 " << c.f0 << " Q " << c.q << " at " << f << " Hz, rate " << sr;
            }
        }
    }
}

// Limits: no resonance (Q below 0.001, NaN, or a bandwidth w/Q above 1, or an infinite
// frequency) doubles the input; a centre frequency below 0.001 Hz, negative or NaN, is 10 Hz.
TEST_P(BandresPath, LimitCases) {
    auto x = tkt::noise(256, 0.5, 21);
    auto run = [&](const char *text, int inlet = -1, double v = 0) {
        auto p = patch();
        tk::Box *b = p->create(text);
        if (inlet >= 0) p->send_float(b, inlet, v);
        return p->process(b, {x}, 256)[0];
    };
    std::vector<std::vector<double>> doubling = {run("bandres~ 1000"), run("bandres~ 1000 0.0005"),
                                                 run("bandres~ 5000 0.1"), run("bandres~ 1000 10", 2, NAN),
                                                 run("bandres~ 1000 10", 1, INFINITY)};
    for (std::size_t k = 0; k < doubling.size(); ++k)
        for (int i = 0; i < 256; ++i) ASSERT_EQ(doubling[k][i], 2.0 * seen(x[i])) << "case " << k << ", sample " << i;

    auto ten = run("bandres~ 10 5");
    EXPECT_EQ(run("bandres~ 0.0001 5"), ten);
    EXPECT_EQ(run("bandres~ 0 5"), ten);
    EXPECT_EQ(run("bandres~ -100 5"), ten);
    EXPECT_EQ(run("bandres~ 700 5", 1, NAN), ten);
    EXPECT_NE(run("bandres~ 11 5"), ten);
}

// Above a quarter of the rate the cosine term is 0: the impulse response has zeros at every
// odd sample and falls by -r^2 every two samples.
TEST_P(BandresPath, AboveAQuarterOfTheRateCoef1IsZero) {
    auto p = patch();
    auto out = p->process(p->create("bandres~ 15000 10"), {tkt::impulse(64)}, 64)[0];
    double r = 1.0 - (15000 * kTwoPi / 44100) / 10;
    for (int i = 1; i < 64; i += 2) ASSERT_EQ(out[i], 0.0) << "sample " << i;
    EXPECT_NEAR(out[2] / out[0], -r * r, legacy() ? 1e-6 : 1e-14);  // coefficient rounded to float
    EXPECT_NEAR(out[4] / out[2], -r * r, legacy() ? 1e-6 : 1e-14);
}

// Each combination of connected control inlets selects its variant: a constant control
// signal must give exactly what the same value as a number gives; once the signal is
// gone its last value stays; a number sent meanwhile is overwritten by the signal.
TEST_P(BandresPath, EveryVariantFromItsConnections) {
    const long n = 640;
    auto x = tkt::noise(2 * n, 0.5, 22);
    std::vector<double> first(x.begin(), x.begin() + n), second(x.begin() + n, x.end());
    auto freq = tkt::constant(n, 3000.0), q = tkt::constant(n, 2.5);
    struct Case {
        const std::vector<double> *freq, *q;
        const char *same;
    };
    for (const Case &c : {Case{nullptr, nullptr, "bandres~ 1000 10"}, Case{&freq, nullptr, "bandres~ 3000 10"},
                          Case{nullptr, &q, "bandres~ 1000 2.5"}, Case{&freq, &q, "bandres~ 3000 2.5"}}) {
        auto pa = patch(), pb = patch();
        tk::Box *a = pa->create("bandres~ 1000 10");
        tk::Box *b = pb->create(c.same);
        auto got = render(*pa, a, first, c.freq, c.q);
        EXPECT_EQ(got, render(*pb, b, first, nullptr, nullptr)) << c.same;
        if (c.freq) pa->send_float(a, 1, 50.0);
        if (c.q) pa->send_float(a, 2, 50.0);
        got = render(*pa, a, second, c.freq, c.q);  // numbers sent now are overwritten
        EXPECT_EQ(got, render(*pb, b, second, nullptr, nullptr)) << c.same << ", numbers meanwhile";
        got = render(*pa, a, first, nullptr, nullptr);
        EXPECT_EQ(got, render(*pb, b, first, nullptr, nullptr)) << c.same << ", disconnected";
    }
}

// With control signals the coefficients follow every sample: a sweep of the centre frequency
// with a wandering Q against the difference equation.
TEST_P(BandresPath, SignalControlsActPerSample) {
    const double sr = 44100.0;
    const long n = 37 * 40;
    auto p = patch(sr, 37);
    tk::Box *b = p->create("bandres~");
    auto x = tkt::noise(n, 0.5, 23);
    std::vector<double> freq(n), q = tkt::noise(n, 15.0, 24);
    for (long i = 0; i < n; ++i) {
        freq[i] = 200.0 * std::pow(20.0, double(i) / n);
        q[i] += 15.5;  // 0.5 .. 30.5
    }
    auto out = render(*p, b, x, &freq, &q);
    double x1 = 0, x2 = 0, g_prev = seen(2.0);  // the fresh box's resonance is off: gain 2
    bool was_off = true;
    for (long i = 0; i < n; ++i) {
        Coefs k = coefs(seen(freq[i]), seen(q[i]), sr);
        const double g = seen(k.gain);
        if (g > g_prev && !was_off) {  // a growing output scale scales the memory down
            x1 = x1 * g_prev / g;
            x2 = x2 * g_prev / g;
        }
        g_prev = g;
        was_off = k.c2 == 0.0;
        double y = k.c1 * x1 + seen(x[i]) + k.c2 * x2;
        x2 = x1;
        x1 = y;
        // the reference takes 1/24 and 1/720 exactly; legacy: float recursion with Q up to 30
        ASSERT_NEAR(out[i], y * k.gain, legacy() ? 1e-4 : 1e-6) << "sample " << i;
    }
}

// NaN or infinity in the input spoils only its own block; `clear` forgets the state. Both
// then give exactly what a fresh box gives.
TEST_P(BandresPath, RecoversAndClears) {
    for (double bad : {NAN, INFINITY}) {
        auto p = patch();
        auto x = tkt::noise(256, 0.5, 25);
        x[70] = bad;
        auto out = p->process(p->create("bandres~ 2000 30"), {x}, 256)[0];
        auto fresh = p->process(p->create("bandres~ 2000 30"), {std::vector<double>(x.begin() + 128, x.end())}, 128)[0];
        for (int i = 0; i < 128; ++i) ASSERT_EQ(out[128 + i], fresh[i]) << "sample " << 128 + i;
    }
    auto p = patch();
    tk::Box *b = p->create("bandres~ 2000 30");
    auto x = tkt::noise(128, 0.5, 26);
    p->process(b, {x}, 128);
    p->send(b, "clear");
    auto cleared = p->process(b, {x}, 128)[0];
    EXPECT_EQ(cleared, p->process(p->create("bandres~ 2000 30"), {x}, 128)[0]);
}

// A change from a narrow low setting to a wide high one goes on from what the narrow one
// played instead of releasing its memory, which holds the input over the narrow setting's
// output scale (the box gave millions from a sine of 1 at 10 Hz Q 100 -> 20 kHz). By number
// and by signal; from a wide setting to a narrow one the memory is left as it was.
TEST_P(BandresPath, AWiderSettingReleasesNoStoredEnergy) {
    const double sr = 48000.0;
    const long settle = 48000 * 2, after = 48000;
    for (bool by_signal : {false, true})
        for (bool constant_input : {false, true}) {
            auto p = patch(sr, 64);
            tk::Box *b = p->create("bandres~ 10 100");
            auto x = constant_input ? tkt::constant(settle + after, 1.0) : tkt::sine(settle + after, 10.0, sr);
            std::vector<double> freq(settle + after, 10.0), q(settle + after, 100.0);
            std::fill(freq.begin() + settle, freq.end(), 20000.0);
            std::vector<double> out;
            if (by_signal) {
                out = render(*p, b, x, &freq, &q);
            } else {
                auto first = render(*p, b, std::vector<double>(x.begin(), x.begin() + settle), nullptr, nullptr);
                p->send_float(b, 1, 20000.0);
                auto second = render(*p, b, std::vector<double>(x.begin() + settle, x.end()), nullptr, nullptr);
                out = first;
                out.insert(out.end(), second.begin(), second.end());
            }
            double before = 0, peak = 0;
            for (long i = 0; i < settle; ++i) before = std::max(before, std::fabs(out[i]));
            for (long i = settle; i < settle + after; ++i) peak = std::max(peak, std::fabs(out[i]));
            EXPECT_LT(before, 1.5);
            EXPECT_LT(peak, 3.0) << (by_signal ? "signal" : "number") << (constant_input ? ", constant 1" : ", sine of 1");
        }
    // with the resonance off (Q 0) the memory is the last inputs only: a narrow setting after
    // it starts from them as they are
    auto p = patch(sr, 64);
    tk::Box *b = p->create("bandres~ 2000 0");
    auto x = tkt::noise(4096, 0.5, 27);
    render(*p, b, x, nullptr, nullptr);
    p->send_float(b, 1, 0.4);
    p->send_float(b, 2, 80.0);
    auto out = render(*p, b, std::vector<double>(4800, 0.0), nullptr, nullptr);
    for (double v : out) ASSERT_LT(std::fabs(v), 1e-3);
}

INSTANTIATE_TEST_SUITE_P(Paths, BandresPath, ::testing::Values(false, true),
                         [](const auto &i) { return i.param ? "legacy" : "dsp64"; });

// A message from another thread, landing mid-block, takes effect at the start of a block
// (tkt::expect_message_kept_across_threads). Q 50 at 100 Hz rings for thousands of
// samples, so a lost clear would show.
TEST(BandresMessages, ClearFromAnotherThreadDuringABlockIsNotLost) {
    const int n = 4096;  // long blocks: the message most likely lands mid-block
    tkt::expect_message_kept_across_threads("bandres~ 100 50", "clear", {tkt::constant(n, 1.0)}, {tkt::noise(n, 0.5, 11)}, 4);
}

TEST(BandresClass, MethodsAssistAndBanner) {
    using M = std::vector<std::pair<std::string, std::vector<int>>>;
    const tk::ClassInfo &c = tk::load_class("bandres~");
    M got;
    for (auto &m : c.methods) got.push_back({m.selector, m.types});
    EXPECT_EQ(got, (M{{"dsp64", {9}}, {"dsp", {9}}, {"float", {2}}, {"int", {1}}, {"clear", {}}, {"assist", {9}}}));
    EXPECT_EQ(c.entry, "main");
    EXPECT_EQ(c.creation_types, std::vector<int>{8});
    ASSERT_EQ(c.banner.size(), 3u);
    EXPECT_EQ(c.banner[0], std::string(74, '-'));
    EXPECT_EQ(c.banner[2].rfind("tildekit ", 0), 0u) << c.banner[2];

    tk::Patch p;
    tk::Box *b = p.create("bandres~");
    EXPECT_EQ(b->signal_inlets(), 3);
    EXPECT_EQ(b->signal_outlets(), 1);
    EXPECT_EQ(b->assist(1, 0), std::string("(signal) Input to be filtered"));
    EXPECT_EQ(b->assist(1, 1), std::string("(signal/float) Center Frequency"));
    EXPECT_EQ(b->assist(1, 2), std::string("(signal/float) Q/filter sharpness"));
    EXPECT_EQ(b->assist(1, 3), std::nullopt);
    EXPECT_EQ(b->assist(2, 0), std::string("(signal) Filtered signal"));
}

}  // namespace
