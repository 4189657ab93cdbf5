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

// The coefficient routine in the filter's own operation order, and its recursion in the
// width of the chain (T = float on the legacy chain, which reads the coefficients as floats):
// a reference that must agree with the box bit for bit.
Coefs exact_coefs(double f, double q, double sr) {
    if (!(f >= 0.001)) f = 10.0;
    if (!(q >= 0.0)) q = 0.0;
    const double w = (f * kTwoPi) / sr;
    double one_minus_r = 1.0;
    if (!(q < 0.001)) {
        one_minus_r = w / q;
        if (one_minus_r > 1.0) one_minus_r = 1.0;
    }
    double cosw = 0.0;
    if (w >= -kTwoPi / 4 && w <= kTwoPi / 4) {
        const double g = w * w, c4 = 0.0416666679084301, c6 = 0.0013888889225199819;
        cosw = ((g * g * c4 - g * g * g * c6) - g * 0.5) + 1.0;
    }
    const double r = 1.0 - one_minus_r;
    return {(cosw * 2.0) * r, -(r * r), (r * w + one_minus_r) * (one_minus_r * 2.0)};
}

template <typename T>
struct Recursion {
    T x1 = 0, x2 = 0;
    double step(const Coefs &k, double in) {
        const T c1 = T(k.c1), c2 = T(k.c2), g = T(k.gain), x = T(in);
        const T y = (c1 * x1 + x) + c2 * x2;
        x2 = x1;
        x1 = y;
        return double(y * g);
    }
};

// The box against the reference, sample by sample; `settings(i)` gives sample i's frequency
// and Q as the box reads them.
template <typename T, typename Settings>
void expect_exact(const std::vector<double> &out, const std::vector<double> &x, double sr, Settings settings, const std::string &what) {
    Recursion<T> ref;
    for (std::size_t i = 0; i < x.size(); ++i) {
        auto [f, q] = settings(i);
        const double want = ref.step(exact_coefs(f, q, sr), x[i]);
        ASSERT_EQ(out[i], want) << what << ", sample " << i;
    }
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

// With control signals the coefficients follow every sample, and the memory goes on as it
// is: a sweep of the centre frequency from 200 Hz to 5 kHz at Q 8 (where a memory rescaled
// whenever the output scale grew changed 9599 of 9600 samples, by 8 % at sample 2060), then
// with Q swept from 0.5 to 50 as a signal too, and one wandering from sample to sample.
TEST_P(BandresPath, SignalControlsActPerSample) {
    const double sr = 48000.0;
    const long n = 9600;
    auto x = tkt::noise(n, 1.0, 23);
    std::vector<double> freq(n), q(n, 8.0), wander = tkt::noise(n, 15.0, 24);
    for (long i = 0; i < n; ++i) freq[i] = seen(200.0 * std::pow(25.0, double(i) / (n - 1)));
    auto check = [&](int bs, const std::vector<double> *qsig, const char *what) {
        auto p = patch(sr, bs);
        tk::Box *b = p->create("bandres~ 1000 8");
        auto out = render(*p, b, x, &freq, qsig);
        auto settings = [&](std::size_t i) { return std::make_pair(freq[i], qsig ? seen((*qsig)[i]) : 8.0); };
        if (legacy()) expect_exact<float>(out, x, sr, settings, what);
        else expect_exact<double>(out, x, sr, settings, what);
    };
    check(64, nullptr, "frequency sweep");
    check(1, nullptr, "frequency sweep, vector size 1");
    for (long i = 0; i < n; ++i) q[i] = 0.5 * std::pow(100.0, double(i) / (n - 1));
    check(37, &q, "frequency and Q sweeps");
    for (long i = 0; i < n; ++i) q[i] = wander[i] + 15.5;  // 0.5 .. 30.5, a new Q every sample
    check(37, &q, "frequency sweep, wandering Q");
}

// A number moves the filter by an octave or two, at any vector size and rate: the memory is
// kept and the output is the recursion's with the new coefficients from the block at which
// the number arrives (a memory rescaled by the output scales gave -0.290 where the filter
// gives +0.329 from 1500 Hz Q 7 to 4410 Hz at 22050 Hz).
TEST_P(BandresPath, NumberChangesKeepTheMemory) {
    struct Move {
        double sr, f0, q0;
        long at;
        int inlet;
        double v;
    };
    const Move moves[] = {{22050, 1500, 7, 500, 1, 4410},  {44100, 3000, 12, 700, 1, 750},   {96000, 800, 0.5, 900, 1, 3200},
                          {192000, 5000, 50, 600, 1, 14000}, {48000, 2000, 2, 800, 2, 20},      {22050, 700, 30, 650, 2, 3}};
    for (const Move &m : moves)
        for (int bs : {1, 3, 64}) {
            const long n = 2400;
            auto x = tkt::noise(n, 1.0, 28);
            auto p = patch(m.sr, bs);
            tk::Box *b = p->create("bandres~ " + std::to_string(m.f0) + " " + std::to_string(m.q0));
            const long k = (m.at + bs - 1) / bs * bs;  // the number lands between blocks
            auto out = render(*p, b, std::vector<double>(x.begin(), x.begin() + k), nullptr, nullptr);
            p->send_float(b, m.inlet, m.v);
            auto rest = render(*p, b, std::vector<double>(x.begin() + k, x.end()), nullptr, nullptr);
            out.insert(out.end(), rest.begin(), rest.end());
            auto settings = [&](std::size_t i) {
                double f = m.f0, q = m.q0;
                if (long(i) >= k) (m.inlet == 1 ? f : q) = m.v;
                return std::make_pair(f, q);
            };
            const std::string what = std::to_string(int(m.sr)) + " Hz, vector " + std::to_string(bs) + ", from " + std::to_string(m.f0) + " Hz Q " +
                                     std::to_string(m.q0) + (m.inlet == 1 ? " to frequency " : " to Q ") + std::to_string(m.v);
            if (legacy()) expect_exact<float>(out, x, m.sr, settings, what);
            else expect_exact<double>(out, x, m.sr, settings, what);
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

// A change from a narrow low setting to a wide high one releases its memory, which holds the
// input over the narrow setting's output scale, only up to 64 times the larger of what came
// before and the input's peak through the new setting (the recursion as it stands gives
// 2.7e6 from a sine of 1 and -53391 from a constant 1 at 10 Hz Q 100 -> 20 kHz, 2e4 to 1e6
// times that). By number and by signal; from a wide setting to a narrow one the memory is
// left as it was.
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
            double before = 0, peak = 0, sum = 0;
            for (long i = 0; i < settle; ++i) before = std::max(before, std::fabs(out[i]));
            for (long i = settle; i < settle + after; ++i) peak = std::max(peak, std::fabs(out[i]));
            Recursion<double> fresh;  // the new setting's impulse response, to its end
            const Coefs k = exact_coefs(20000.0, 100.0, sr);
            for (long i = 0; i < 4096; ++i) sum += std::fabs(fresh.step(k, i == 0 ? 1.0 : 0.0));
            EXPECT_LT(before, 1.5);
            // 64 times the bound for what is released, once more for the input's own response
            EXPECT_LE(peak, 65.0 * std::max(before, sum)) << (by_signal ? "signal" : "number") << (constant_input ? ", constant 1" : ", sine of 1");
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
