// sweepres~ through the host: frame, closed-form pole values, the complex transfer function,
// table wrapping, the single-precision position of the legacy chain, and recovery.
#include "support.h"

#include <algorithm>
#include <functional>

namespace {

using Signals = std::vector<std::vector<double>>;

const double kSr = 44100.0;
const double kStep = 0.0122718359375;  // angle between cosine-table points
const int kLong = 1, kFloat = 2, kGimme = 8, kCant = 9;  // argument type codes

std::string num(double v)
{
    char buf[64];
    snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

// Runs a fresh box: ins[i] feeds signal inlet i; an empty entry leaves that inlet
// unconnected (a number, not a signal, then sets its value). Returns both outlets.
Signals render(const std::string &text, const Signals &ins, std::int64_t frames, bool legacy,
               double sr = kSr, int block = 64,
               const std::function<void(tk::Patch &, tk::Box *)> &setup = {})
{
    tk::Patch p(sr, block);
    p.set_legacy(legacy);
    tk::Box *b = p.create(text);
    EXPECT_NE(b, nullptr) << text;
    if (!b) return {};
    if (setup) setup(p, b);
    for (std::size_t i = 0; i < ins.size(); ++i)
        if (!ins[i].empty()) p.feed(b, int(i), ins[i]);
    Signals out;
    for (int o = 0; o < 2; ++o) p.capture(b, o);
    p.run(frames);
    for (int o = 0; o < 2; ++o) {
        out.push_back(p.output(b, o));
        out.back().resize(std::size_t(frames));
    }
    return out;
}

// Pole seen through the impulse response: from zero state the first output is the drive
// (1 - r) * gain, then re[1] = c * re[0] and im[1] = s * re[0].
struct Pole {
    double drive, c, s;
};
Pole pole_of(const Signals &out)
{
    return {out[0][0], out[0][1] / out[0][0], out[1][1] / out[0][0]};
}

class Sweepres : public ::testing::TestWithParam<bool> {
protected:
    bool legacy() const { return GetParam(); }
    std::string path() const { return (legacy() ? "legacy " : "dsp64 ") + tkt::width_name(); }
};

INSTANTIATE_TEST_SUITE_P(Paths, Sweepres, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "legacy" : "dsp64"; });

}  // namespace

TEST(SweepresFrame, ClassMethodsBannerAssist)
{
    tk::ConsoleCapture con;
    const tk::ClassInfo &c = tk::load_class("sweepres~");
    EXPECT_EQ(c.entry, "main");
    EXPECT_EQ(c.width_bits, tk::host_width_bits());
    EXPECT_EQ(c.creation_types, std::vector<int>{kGimme});
    std::vector<std::string> sel;
    for (auto &m : c.methods) sel.push_back(m.selector);
    EXPECT_EQ(sel, (std::vector<std::string>{"dsp64", "dsp", "float", "int", "assist"}));
    ASSERT_EQ(c.methods.size(), 5u);
    EXPECT_EQ(c.methods[0].types, std::vector<int>{kCant});
    EXPECT_EQ(c.methods[1].types, std::vector<int>{kCant});
    EXPECT_EQ(c.methods[2].types, std::vector<int>{kFloat});
    EXPECT_EQ(c.methods[3].types, std::vector<int>{kLong});
    EXPECT_EQ(c.methods[4].types, std::vector<int>{kCant});
    EXPECT_TRUE(c.dsp);
    EXPECT_TRUE(c.has_free);
    ASSERT_EQ(c.banner.size(), 3u);
    EXPECT_EQ(c.banner[0], std::string(74, '-'));
    EXPECT_NE(c.banner[2].find("tildekit"), std::string::npos);

    tk::Patch p;
    tk::Box *b = p.create("sweepres~ 1000 10");
    ASSERT_NE(b, nullptr);
    EXPECT_FALSE(b->no_inplace());
    EXPECT_EQ(b->signal_inlets(), 3);
    EXPECT_EQ(b->signal_outlets(), 2);
    EXPECT_EQ(b->assist(1, 0), "(signal) Input to be filtered");
    EXPECT_EQ(b->assist(1, 1), "(signal/float) Center Frequency");
    EXPECT_EQ(b->assist(1, 2), "(float) Q/filter sharpness");
    EXPECT_EQ(b->assist(2, 0), "(signal) Filtered signal(Real Part)");
    EXPECT_EQ(b->assist(2, 1), "(signal) Filtered signal(Imaginary Part)");
    EXPECT_EQ(b->assist(1, 3), std::nullopt);
    EXPECT_EQ(b->assist(2, 2), std::nullopt);
    // little-endian IEEE doubles: the layout check stays silent
    EXPECT_FALSE(con.contains("unexpected machine alignment"));
}

TEST(SweepresFrame, TableAllocationFailureMakesNoBoxAndLeaksNothing)
{
    tk::load_class("sweepres~");
    tk::Patch p;
    auto before = tk::memory_stats();
    {
        tk::ConsoleCapture con;
        tk::fail_nth_allocation(1);
        tk::Box *b = p.create("sweepres~ 1000 10");
        tk::clear_allocation_faults();
        EXPECT_EQ(b, nullptr);
        EXPECT_TRUE(con.contains("sweepres~: out of memory"));
    }
    EXPECT_EQ(tk::memory_stats().live_blocks, before.live_blocks);
    EXPECT_EQ(tk::memory_stats().live_bytes, before.live_bytes);

    tk::Box *b = p.create("sweepres~ 1000 10");
    ASSERT_NE(b, nullptr);
    p.process(b, {tkt::noise(512)}, 512);
    EXPECT_EQ(tk::allocations_in_perform(), 0);
    p.free(b);
    EXPECT_EQ(tk::memory_stats().live_blocks, before.live_blocks);
}

// 44100 Hz, 1000 Hz, Q 10: w = 0.1424757 rad and r = 0.9857524.
TEST_P(Sweepres, PoleOfTheWorkedExample)
{
    Signals out = render("sweepres~ 1000 10", {tkt::impulse(8)}, 8, legacy());
    ASSERT_EQ(out.size(), 2u);
    Pole pl = pole_of(out);
    const double w = 0.1424757, r = 0.9857524, gain = 2.0 - 2.0 / 12.0;
    // r is quoted to 7 digits; single precision adds ~1e-8
    EXPECT_NEAR(pl.drive, (1.0 - r) * gain, 2e-7) << path();
    EXPECT_EQ(out[1][0], 0.0) << path();
    // linear interpolation on the table is good to step^2/8 ~ 1.9e-5; the legacy chain rounds
    // the table position to eighths of a step, up to step/16 ~ 7.7e-4 rad more
    double tol = legacy() ? 8e-4 : 2e-5;
    EXPECT_NEAR(pl.c, r * std::cos(w), tol) << path();
    EXPECT_NEAR(pl.s, r * std::sin(w), tol) << path();
}

// A centre frequency on a table point: the complex one-pole (1-r) g / (1 - r e^{iw} z^-1)
// against the measured real and imaginary outputs for a real sine.
TEST_P(Sweepres, MatchesComplexOnePoleResponse)
{
    const double fc = 12.0 / 81.48739624023438 / 6.283180236816406 * kSr;  // position 12.0
    const double q = 10.0;
    const double w0 = 6.283180236816406 / kSr * fc;
    const double r = 1.0 - w0 / q, g = 2.0 - 2.0 / (q + 2.0);
    auto H = [&](double w) {
        return (1.0 - r) * g / (1.0 - r * std::polar(1.0, w0) * std::polar(1.0, -w));
    };
    for (double f : {200.0, 700.0, fc, 1300.0, 4000.0}) {
        auto box = "sweepres~ " + num(fc) + " 10";
        Signals out = render(box, {tkt::sine(44100, f, kSr)}, 44100, legacy());
        double w = 2.0 * M_PI * f / kSr;
        std::complex<double> hp = H(w), hm = H(-w);
        std::complex<double> want_re = (hp + std::conj(hm)) / 2.0;
        std::complex<double> want_im = (hp - std::conj(hm)) / std::complex<double>(0.0, 2.0);
        auto got_re = tkt::phasor_at(out[0], f, kSr, 22050);
        auto got_im = tkt::phasor_at(out[1], f, kSr, 22050);
        // table error ~2e-5 on a pole whose distance to the unit circle is ~0.015, and float
        // state in the legacy chain: 0.3 % of the peak
        double tol = 3e-3 * std::abs(g);
        EXPECT_NEAR(std::abs(got_re - want_re), 0.0, tol) << path() << " at " << f << " Hz, real";
        EXPECT_NEAR(std::abs(got_im - want_im), 0.0, tol) << path() << " at " << f << " Hz, imaginary";
    }
}

// The legacy chain rounds the table position to single precision before splitting it, so
// within one table step the pole angle takes at most nine values; dsp64 moves smoothly.
TEST_P(Sweepres, TablePositionResolution)
{
    const double f0 = 12.0 / 81.48739624023438 / 6.283180236816406 * kSr;
    const double step_hz = kStep / 6.283180236816406 * kSr;
    std::vector<double> ratios;
    for (int j = 0; j < 64; ++j) {
        double f = f0 + step_hz * (j + 0.5) / 64.0;
        Signals out = render("sweepres~ " + num(f) + " 10", {tkt::impulse(4)}, 4, legacy());
        ratios.push_back(out[1][1] / out[0][1]);  // s / c, the tangent of the pole angle
    }
    // neighbours 1/64 step apart differ by ~1.9e-4 in dsp64, eighth steps by ~1.5e-3; the
    // float rounding of s and c is ~1e-7
    int distinct = 1;
    for (std::size_t i = 1; i < ratios.size(); ++i) {
        ASSERT_GT(ratios[i], ratios[i - 1] - 1e-6) << path() << " step " << i;
        if (ratios[i] - ratios[i - 1] > 1e-5) ++distinct;
    }
    if (legacy())
        EXPECT_LE(distinct, 9) << path();
    else
        EXPECT_EQ(distinct, 64) << path();
}

TEST_P(Sweepres, QZeroPassesInputUnchanged)
{
    std::vector<double> in = tkt::noise(300, 0.5, 7);
    for (const char *text : {"sweepres~ 1000 0", "sweepres~ 1000 -3"}) {
        Signals out = render(text, {in}, 300, legacy());
        for (std::size_t i = 0; i < in.size(); ++i) {
            double want = legacy() ? double(float(in[i])) : in[i];
            ASSERT_EQ(out[0][i], want) << path() << " " << text << " sample " << i;
            ASSERT_EQ(out[1][i], 0.0) << path() << " " << text << " sample " << i;
        }
    }
    // a negative Q by message is stored as 0 too
    Signals out = render("sweepres~ 1000 10", {in}, 300, legacy(), kSr, 64,
                         [](tk::Patch &p, tk::Box *b) { p.send_float(b, 2, -4.0); });
    EXPECT_EQ(out[0][5], legacy() ? double(float(in[5])) : in[5]) << path();
}

TEST_P(Sweepres, NumbersAtTheInletsAndArgumentsAgree)
{
    std::vector<double> in = tkt::noise(256, 0.5, 3);
    Signals by_args = render("sweepres~ 1500 4", {in}, 256, legacy());
    Signals by_msgs = render("sweepres~", {in}, 256, legacy(), kSr, 64, [](tk::Patch &p, tk::Box *b) {
        p.send_int(b, 1, 1500);
        p.send_float(b, 2, 4.0);
        p.send_float(b, 0, 99.0);  // ignored at the signal input
    });
    EXPECT_EQ(by_args, by_msgs) << path();
    // a frequency signal holding the same value gives the same samples
    Signals by_sig = render("sweepres~ 0 4", {in, tkt::constant(256, 1500.0)}, 256, legacy());
    EXPECT_EQ(by_args, by_sig) << path();
}

// A Q signal is read once per block, at its first sample, and taken unclamped.
TEST_P(Sweepres, QSignalReadAtFirstSampleOfBlock)
{
    std::vector<double> in = tkt::noise(640, 0.5, 5);
    std::vector<double> qsig(640, 0.0);
    for (std::size_t i = 0; i < qsig.size(); ++i) qsig[i] = (i % 64 == 0) ? 10.0 : 1000.0 + double(i);
    Signals with_signal = render("sweepres~ 800 1", {in, {}, qsig}, 640, legacy());
    Signals with_number = render("sweepres~ 800 10", {in}, 640, legacy());
    EXPECT_EQ(with_signal, with_number) << path();

    // Q = -0.5 through the signal: no pole (r = 0) and gain 2 - 2/1.5
    Signals neg = render("sweepres~ 800 10", {in, {}, tkt::constant(640, -0.5)}, 640, legacy());
    for (std::size_t i = 0; i < 640; i += 37) {
        ASSERT_NEAR(neg[0][i], (2.0 - 2.0 / 1.5) * in[i], 1e-7) << path() << " sample " << i;
        ASSERT_EQ(neg[1][i], 0.0) << path() << " sample " << i;
    }
}

// The input gain 2 - 2/(Q + 2) has a pole at Q = -2: a Q signal of exactly -2, or NaN, passes
// the input at unit gain (as Q = 0 does) instead of -inf/NaN for the block; the large gains
// just beside -2 stay.
TEST_P(Sweepres, QSignalAtTheGainPoleGivesFiniteOutput)
{
    std::vector<double> in = tkt::noise(640, 0.5, 19);
    for (int block : {1, 7, 64}) {
        for (double q : {-2.0, double(NAN)}) {
            Signals out = render("sweepres~ 800 10", {in, {}, tkt::constant(640, q)}, 640, legacy(), kSr, block);
            for (std::size_t i = 0; i < in.size(); ++i) {
                double want = legacy() ? double(float(in[i])) : in[i];
                ASSERT_EQ(out[0][i], want) << path() << " Q " << q << ", block " << block << ", sample " << i;
                ASSERT_EQ(out[1][i], 0.0) << path() << " Q " << q << ", block " << block << ", sample " << i;
            }
        }
    }
    // Q one step of a double either side of -2 keeps its gain of about -/+ 9e15 and 4.5e15
    // (single precision rounds both to -2 in the legacy chain)
    if (!legacy()) {
        for (double q : {std::nextafter(-2.0, 0.0), std::nextafter(-2.0, -3.0)}) {
            Signals out = render("sweepres~ 800 10", {in, {}, tkt::constant(640, q)}, 640, false);
            double gain = 2.0 - 2.0 / (q + 2.0);
            EXPECT_TRUE(std::isfinite(gain) && std::abs(gain) > 1e15) << q;
            for (std::size_t i = 0; i < in.size(); i += 37) ASSERT_EQ(out[0][i], gain * in[i]) << "Q " << q << ", sample " << i;
        }
    }
}

// Below 0 Hz the filter behaves as at 0 Hz: no input passes (r = 1) and the state turns by
// the table's value at the quarter point, cos(384 steps) ~ -3.98e-6.
TEST_P(Sweepres, NegativeFrequencyActsAsZero)
{
    std::vector<double> in = tkt::noise(512, 0.5, 9);
    for (std::size_t i = 128; i < in.size(); ++i) in[i] = 0.0;
    auto freq = [](double low) {
        std::vector<double> f(512, 1000.0);
        for (std::size_t i = 128; i < f.size(); ++i) f[i] = low;
        return f;
    };
    Signals neg = render("sweepres~ 0 10", {in, freq(-500.0)}, 512, legacy());
    Signals zero = render("sweepres~ 0 10", {in, freq(0.0)}, 512, legacy());
    EXPECT_EQ(neg, zero) << path();
    const double s0 = std::cos(384 * kStep);
    for (std::size_t i = 200; i < 210; ++i) {
        double re = neg[0][i], im = neg[1][i];
        ASSERT_GT(std::abs(re) + std::abs(im), 1e-3) << "the state should still ring at " << i;
        // the turn is s0 * (state) ~ 4e-6 of it; the table entry is an accumulated angle's
        // cosine, up to ~1e-13 off s0, and float rounding is ~6e-8 of the state
        double eps = legacy() ? 1e-7 : 1e-12;
        ASSERT_NEAR(neg[0][i + 1], re - s0 * im, eps * (std::abs(re) + std::abs(im))) << path() << " sample " << i;
        ASSERT_NEAR(neg[1][i + 1], im + s0 * re, eps * (std::abs(re) + std::abs(im))) << path() << " sample " << i;
    }
}

// Frequencies far beyond the table wrap around it: the pole angle is w modulo one turn.
TEST_P(Sweepres, LargeFrequenciesWrapAroundTheTable)
{
    const double f = 200000.0;  // w ~ 28.5 rad, four and a half turns
    Signals out = render("sweepres~ 200000 1000000", {tkt::impulse(4)}, 4, legacy());
    double w = 6.283180236816406 / kSr * f;
    // four turns of the 6.28318 table period miss 2 pi by ~2e-5 rad; legacy adds eighth steps
    EXPECT_NEAR(out[1][1] / out[0][1], std::tan(w), legacy() ? 1.5e-3 : 1e-4) << path();

    std::vector<double> in = tkt::noise(256, 0.5, 11);
    for (double big : {4.5e7, 1e9, 1e15, 1e300, HUGE_VAL}) {
        Signals o = render("sweepres~ 0 1000000", {in, tkt::constant(256, big)}, 256, legacy());
        EXPECT_TRUE(tkt::all_finite(o[0]) && tkt::all_finite(o[1])) << path() << " at " << big << " Hz";
    }
    // so far above the band that r = 0: the input passes with the gain 2 - 2/(Q + 2)
    Signals o = render("sweepres~ 1e15 2", {in}, 256, legacy());
    for (std::size_t i = 0; i < 256; i += 17) EXPECT_NEAR(o[0][i], 1.5 * in[i], 1e-7) << path();
}

// A NaN or infinite input sample spoils the rest of its block only; the state is then 0.
TEST_P(Sweepres, RecoversAfterNonFiniteInput)
{
    for (double bad : {double(NAN), HUGE_VAL}) {
        std::vector<double> in = tkt::noise(512, 0.5, 13);
        in[10] = bad;
        Signals out = render("sweepres~ 1000 10", {in}, 512, legacy());
        EXPECT_FALSE(std::isfinite(out[0][10])) << path();
        std::vector<double> tail(in.begin() + 64, in.end());
        Signals fresh = render("sweepres~ 1000 10", {tail}, 448, legacy());
        for (std::size_t i = 0; i < tail.size(); ++i)
            ASSERT_EQ(out[0][64 + i], fresh[0][i]) << path() << " sample " << 64 + i;
    }
    // a NaN centre frequency by message; a finite one afterwards restores finite output
    tk::Patch p;
    p.set_legacy(legacy());
    tk::Box *b = p.create("sweepres~ 1000 10");
    ASSERT_NE(b, nullptr);
    p.feed(b, 0, [](double *o, long n, std::int64_t) { std::fill(o, o + n, 0.25); });
    p.capture(b, 0);
    p.send_float(b, 1, NAN);
    p.run(128);
    p.send_float(b, 1, 1000.0);
    p.clear_outputs();
    p.run(128);
    EXPECT_TRUE(tkt::all_finite(p.output(b, 0), 64)) << path();
}

// A new sample rate at the next DSP compile changes the angle per Hz before any sample.
TEST_P(Sweepres, SampleRateChangeTakesEffectAtCompile)
{
    tk::Patch p(44100, 64);
    p.set_legacy(legacy());
    tk::Box *a = p.create("sweepres~ 2000 10");
    ASSERT_NE(a, nullptr);
    p.capture(a, 0);
    p.run(256);  // silent, so the state stays 0
    p.set_samplerate(88200);
    p.feed(a, 0, tkt::impulse(8));
    p.clear_outputs();
    p.run(64);
    std::vector<double> after = p.output(a, 0);
    Signals fresh = render("sweepres~ 2000 10", {tkt::impulse(8)}, 64, legacy(), 88200);
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(after[i], fresh[0][i]) << path() << " sample " << i;
    Signals old_rate = render("sweepres~ 2000 10", {tkt::impulse(8)}, 64, legacy(), 44100);
    EXPECT_NE(after[0], old_rate[0][0]) << path();
}

// Per-sample arithmetic: the block size does not change the result of the control variant.
TEST_P(Sweepres, BlockSizesGiveTheSameSamples)
{
    std::vector<double> in = tkt::noise(600, 0.5, 17);
    Signals ref = render("sweepres~ 1200 6", {in}, 600, legacy(), kSr, 64);
    for (int n : {1, 2, 3, 37}) {
        Signals out = render("sweepres~ 1200 6", {in}, 600, legacy(), kSr, n);
        EXPECT_EQ(out, ref) << path() << " block " << n;
    }
}
