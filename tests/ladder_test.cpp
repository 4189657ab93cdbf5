// ladder~ through the host, on both signal paths: the cutoff mapping and resonance taper
// read back from the impulse response, the loop's transfer function, the clamps, reset,
// and recovery from non-finite input and from a negative cutoff.
#include "support.h"

#include <atomic>
#include <thread>

#include <functional>

namespace {

using Signal = std::vector<double>;
const double kSr = 44100.0;

// The mapping of a cutoff in Hz to the stage pole p and the stage gain t.
double pole_p(double f) { return (f * 0.01) * 0.0140845 - 0.9999998807907104; }
double gain_t(double f) { return (pole_p(f) + 1.0) * 0.76923077; }

// A fresh box fed with input, cutoff and resonance signals; returns the output.
Signal render(const Signal &in, const Signal &cutoff, const Signal &reso, std::int64_t frames, bool legacy,
              double sr = kSr, int block = 64, const std::string &text = "ladder~")
{
    tk::Patch p(sr, block);
    p.set_legacy(legacy);
    tk::Box *b = p.create(text);
    EXPECT_NE(b, nullptr);
    if (!b) return {};
    auto out = p.process(b, {in, cutoff, reso}, frames);
    return out.at(0);
}

class Ladder : public ::testing::TestWithParam<bool> {
protected:
    bool legacy() const { return GetParam(); }
    std::string path() const { return (legacy() ? "legacy " : "dsp64 ") + tkt::width_name(); }
};

INSTANTIATE_TEST_SUITE_P(Paths, Ladder, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "legacy" : "dsp64"; });

}  // namespace

TEST(LadderFrame, ClassMethodsBannerAssist)
{
    const tk::ClassInfo &c = tk::load_class("ladder~");
    EXPECT_EQ(c.entry, "main");
    EXPECT_EQ(c.creation_types, (std::vector<int>{6, 6}));  // two optional numbers
    std::vector<std::string> sel;
    for (auto &m : c.methods) sel.push_back(m.selector);
    EXPECT_EQ(sel, (std::vector<std::string>{"dsp", "dsp64", "reset", "assist"}));
    ASSERT_EQ(c.methods.size(), 4u);
    EXPECT_TRUE(c.methods[2].types.empty());
    EXPECT_TRUE(c.dsp);
    EXPECT_TRUE(c.has_free);
    ASSERT_EQ(c.banner.size(), 4u);
    EXPECT_EQ(c.banner[0], std::string(74, '-'));
    EXPECT_EQ(c.banner[3], std::string(74, '-'));
    EXPECT_NE(c.banner[2].find("tildekit"), std::string::npos);

    tk::Patch p;
    tk::Box *b = p.create("ladder~ 500 2");  // the arguments are accepted and ignored
    ASSERT_NE(b, nullptr);
    EXPECT_FALSE(b->no_inplace());
    EXPECT_EQ(b->signal_inlets(), 3);
    EXPECT_EQ(b->signal_outlets(), 1);
    EXPECT_EQ(b->assist(1, 0), "(signal) Input to be filtered");
    EXPECT_EQ(b->assist(1, 1), "(signal) Center Frequency");
    EXPECT_EQ(b->assist(1, 2), "(signal) Q/filter sharpness");
    EXPECT_EQ(b->assist(1, 3), std::nullopt);
    EXPECT_EQ(b->assist(2, 0), "(signal) Filtered signal");
    EXPECT_EQ(b->assist(2, 7), "(signal) Filtered signal");

    Signal in = tkt::noise(300, 0.5, 1);
    Signal f = tkt::constant(300, 1200.0), q = tkt::constant(300, 1.5);
    EXPECT_EQ(render(in, f, q, 300, false, kSr, 64, "ladder~ 500 2"), render(in, f, q, 300, false));

    auto before = tk::memory_stats();
    {
        tk::Patch p2;
        tk::Box *b2 = p2.create("ladder~");
        ASSERT_NE(b2, nullptr);
        p2.process(b2, {in, f, q}, 300);
        EXPECT_EQ(tk::allocations_in_perform(), 0);
    }
    EXPECT_EQ(tk::memory_stats().live_blocks, before.live_blocks);
}

// From zero state and with no resonance the impulse response starts t^4, then
// 4 t^4 (0.3 - p) - k t^8, where k is what the taper leaves above 3800 Hz.
TEST_P(Ladder, CutoffMappingExamples)
{
    struct Case {
        double f, p, t, k;
    };
    const Case cases[] = {
        {0.0, -0.99999988, 9.2e-8, 0.0},
        {1000.0, -0.8591549, 0.1083424, 0.0},
        {8140.0, 0.1464784, 0.8819065, -0.5046512},
    };
    for (const Case &c : cases) {
        Signal y = render(tkt::impulse(8), tkt::constant(8, c.f), tkt::constant(8, 0.0), 8, legacy());
        double t = std::pow(y[0], 0.25);
        // the examples are quoted to 7 digits (t at 0 Hz to 2); in single precision the
        // four stages and the ratio below add a few 1e-7
        EXPECT_NEAR(t, c.t, c.f == 0.0 ? 0.02 * c.t : (legacy() ? 5e-7 : 2e-7)) << path() << " at " << c.f << " Hz";
        double t4 = y[0], t8 = y[0] * y[0];
        double p = 0.3 - (y[1] + c.k * t8) / (4.0 * t4);
        EXPECT_NEAR(p, c.p, legacy() ? 2e-6 : 2e-7) << path() << " at " << c.f << " Hz";
    }
    // a cutoff above 8140 Hz behaves exactly as 8140 Hz
    Signal y = render(tkt::impulse(8), tkt::constant(8, 8140.0), tkt::constant(8, 0.0), 8, legacy());
    EXPECT_EQ(render(tkt::impulse(8), tkt::constant(8, 9000.0), tkt::constant(8, 0.0), 8, legacy()), y) << path();
}

// Above 3800 Hz the resonance is lowered by (f - 3800) / 4300 * 0.5.
TEST_P(Ladder, ResonanceTaperAbove3800Hz)
{
    const double f = 6000.0;
    Signal y0 = render(tkt::impulse(8), tkt::constant(8, f), tkt::constant(8, 0.0), 8, legacy());
    Signal y4 = render(tkt::impulse(8), tkt::constant(8, f), tkt::constant(8, 4.0), 8, legacy());
    double t = gain_t(f), p = pole_p(f);
    double t4 = std::pow(t, 4), t8 = t4 * t4;
    double taper = (f - 3800.0) / 4300.0 * 0.5;
    // the feedback term k t^8 is ~1 % (q = 0) and ~12 % (q = 4) of the second sample;
    // single precision leaves ~1e-7
    EXPECT_NEAR(y0[1], 4.0 * t4 * (0.3 - p) + taper * t8, 2e-7) << path();
    EXPECT_NEAR(y4[1], 4.0 * t4 * (0.3 - p) - (4.0 - taper) * t8, 2e-7) << path();
}

// The loop as a linear system: H = G^4 / (1 + k z^-1 G^4) with G = t (1 + 0.3 z^-1) / (1 + p z^-1).
TEST_P(Ladder, MatchesLoopTransferFunction)
{
    for (double k : {0.0, 2.0}) {
        for (double fc : {500.0, 2500.0}) {
            double t = gain_t(fc), p = pole_p(fc);
            if (legacy()) {
                p = double(float(p));
                t = double(float(t));
            }
            for (double f : {50.0, 300.0, 1000.0, 4000.0}) {
                Signal y = render(tkt::sine(44100, f, kSr), tkt::constant(44100, fc), tkt::constant(44100, k),
                                  44100, legacy());
                std::complex<double> zi = std::polar(1.0, -2.0 * M_PI * f / kSr);
                std::complex<double> G = t * (1.0 + 0.3 * zi) / (1.0 + p * zi);
                std::complex<double> G4 = G * G * G * G;
                std::complex<double> want = G4 / (1.0 + k * zi * G4);
                auto got = tkt::phasor_at(y, f, kSr, 22050);
                // 64-bit: only rounding; float state and samples: ~1e-6 of the level
                double tol = (legacy() ? 2e-5 : 1e-7) * std::max(1.0, std::abs(want));
                EXPECT_NEAR(std::abs(got - want), 0.0, tol)
                    << path() << " k " << k << " cutoff " << fc << " at " << f << " Hz";
            }
        }
    }
    // DC gain 1 / (1 + k) below the taper (each stage passes DC at 1.3 * 0.76923077 ~ 1)
    Signal dc = render(tkt::constant(4000, 1.0), tkt::constant(4000, 2000.0), tkt::constant(4000, 1.0), 4000, legacy());
    EXPECT_NEAR(dc.back(), 0.5, 1e-6) << path();
}

TEST_P(Ladder, CutoffAndResonanceClamps)
{
    Signal in = tkt::noise(1000, 0.5, 3);
    auto run = [&](double f, double q) { return render(in, tkt::constant(1000, f), tkt::constant(1000, q), 1000, legacy()); };
    Signal top = run(8140.0, 1.0);
    for (double f : {8141.0, 20000.0, 1e9, HUGE_VAL}) EXPECT_EQ(run(f, 1.0), top) << path() << " cutoff " << f;
    Signal full = run(2000.0, 4.0);
    for (double q : {4.5, 100.0, HUGE_VAL}) EXPECT_EQ(run(2000.0, q), full) << path() << " resonance " << q;
    Signal none = run(2000.0, 0.0);
    for (double q : {-0.1, -4.0, -HUGE_VAL}) EXPECT_EQ(run(2000.0, q), none) << path() << " resonance " << q;
    EXPECT_NE(run(2000.0, 2.0), none) << path();

    // a cutoff of 0 leaves the output almost silent (t ~ 9.2e-8 per stage)
    Signal noise = tkt::noise(44100, 0.5, 4);
    Signal shut = render(noise, tkt::constant(44100, 0.0), tkt::constant(44100, 0.0), 44100, legacy());
    EXPECT_LT(tkt::rms(shut), 1e-9 * tkt::rms(noise)) << path();
}

// A negative cutoff would put the stage poles outside the unit circle; it acts as 0 Hz.
TEST_P(Ladder, NegativeCutoffActsAsZero)
{
    Signal in = tkt::noise(44100, 0.5, 5);
    Signal zero = render(in, tkt::constant(44100, 0.0), tkt::constant(44100, 1.0), 44100, legacy());
    for (double f : {-1.0, -100.0, -5000.0, -HUGE_VAL}) {
        Signal neg = render(in, tkt::constant(44100, f), tkt::constant(44100, 1.0), 44100, legacy());
        EXPECT_EQ(neg, zero) << path() << " cutoff " << f;
    }
    // swinging below 0 and back: the filter carries on as if it had sat at 0 Hz
    Signal lfo(44100);
    for (std::size_t i = 0; i < lfo.size(); ++i) lfo[i] = 1000.0 * std::sin(2.0 * M_PI * 3.0 * double(i) / kSr);
    Signal y = render(in, lfo, tkt::constant(44100, 3.0), 44100, legacy());
    ASSERT_TRUE(tkt::all_finite(y)) << path();
    for (std::size_t i = 0; i < y.size(); ++i) ASSERT_LT(std::abs(y[i]), 2.0) << path() << " sample " << i;
}

// Each sample uses only the signal values of that sample: the response in Hz and the block
// size do not matter.
TEST_P(Ladder, SameAtEverySampleRateAndBlockSize)
{
    Signal in = tkt::noise(2000, 0.5, 6);
    Signal f(2000), q(2000);
    for (std::size_t i = 0; i < f.size(); ++i) {
        f[i] = 300.0 + 7000.0 * double(i) / 2000.0;
        q[i] = 3.9 * double(i % 100) / 100.0;
    }
    Signal ref = render(in, f, q, 2000, legacy());
    for (double sr : {22050.0, 96000.0}) EXPECT_EQ(render(in, f, q, 2000, legacy(), sr), ref) << path() << " sr " << sr;
    for (int n : {1, 2, 3, 37}) EXPECT_EQ(render(in, f, q, 2000, legacy(), kSr, n), ref) << path() << " block " << n;
}

TEST_P(Ladder, ResetClearsTheState)
{
    tk::Patch p;
    p.set_legacy(legacy());
    tk::Box *b = p.create("ladder~");
    ASSERT_NE(b, nullptr);
    Signal in = tkt::noise(256, 0.5, 7);
    p.feed(b, 0, in);
    p.feed(b, 1, [](double *o, long n, std::int64_t) { std::fill(o, o + n, 700.0); });
    p.feed(b, 2, [](double *o, long n, std::int64_t) { std::fill(o, o + n, 3.5); });
    p.capture(b, 0);
    p.run(256);
    p.send(b, "reset");
    p.clear_outputs();
    p.run(256);  // the fed input has ended: silence
    for (double v : p.output(b, 0)) ASSERT_EQ(v, 0.0) << path();
    // after reset the same input gives what a fresh box gives
    p.send(b, "reset");
    p.feed(b, 0, in);
    p.clear_outputs();
    p.run(256);
    Signal again = p.output(b, 0);
    again.resize(256);
    EXPECT_EQ(again, render(in, tkt::constant(256, 700.0), tkt::constant(256, 3.5), 256, legacy())) << path();
}

// One NaN or infinite sample spoils the rest of its block; from the next block on the
// filter runs as a fresh one.
TEST_P(Ladder, RecoversAfterNonFiniteSamples)
{
    Signal in = tkt::noise(1024, 0.5, 8);
    Signal f = tkt::constant(1024, 1500.0), q = tkt::constant(1024, 3.0);
    Signal tail_in(in.begin() + 64, in.end());
    Signal fresh = render(tail_in, Signal(f.begin() + 64, f.end()), Signal(q.begin() + 64, q.end()), 960, legacy());
    for (int inlet : {0, 1, 2}) {
        for (double bad : {double(NAN), HUGE_VAL, -HUGE_VAL}) {
            Signal sig[3] = {in, f, q};
            sig[inlet][10] = bad;
            if (inlet == 1 && bad == HUGE_VAL) continue;  // clamped to 8140 Hz, not a fault
            if (inlet == 2 && std::isinf(bad)) continue;  // clamped to 0 or 4
            if (inlet == 1 && bad == -HUGE_VAL) continue;  // acts as 0 Hz
            Signal y = render(sig[0], sig[1], sig[2], 1024, legacy());
            EXPECT_FALSE(std::isfinite(y[10]) && std::isfinite(y[63])) << path() << " inlet " << inlet;
            for (std::size_t i = 0; i < fresh.size(); ++i)
                ASSERT_EQ(y[64 + i], fresh[i]) << path() << " inlet " << inlet << " value " << bad << " sample " << 64 + i;
        }
    }
}

// A message from another thread, landing mid-block, takes effect at the start of a block
// (tkt::expect_message_kept_across_threads). A low cutoff and a high resonance ring
// for seconds, so a lost reset would show.
TEST(LadderMessages, ResetFromAnotherThreadDuringABlockIsNotLost) {
    const int n = 4096;  // long blocks: the message most likely lands mid-block
    tkt::expect_message_kept_across_threads("ladder~", "reset", {tkt::constant(n, 1.0), tkt::constant(n, 200.0), tkt::constant(n, 3.9)},
                                            {tkt::noise(n, 0.5, 11), tkt::constant(n, 200.0), tkt::constant(n, 3.9)}, 4);
}
