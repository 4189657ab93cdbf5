// tanrecip~ through the host: the cotangent against the maths, its clamps, the groups of four,
// allocation failures, and tanrecip~ driving modalfilt~ as a patch would chain them.
#include "support.h"

#include <functional>

namespace {

using Signal = std::vector<double>;
const double kSr = 44100.0;
const double kVmin = 9.999999747378752e-5, kVmax = 0.8999999761581421;  // of the Nyquist frequency

double cot(double x) { return std::cos(x) / std::sin(x); }

Signal render(const Signal &hz, std::int64_t frames, double sr = kSr, int block = 64)
{
    tk::Patch p(sr, block);
    tk::Box *b = p.create("tanrecip~");
    EXPECT_NE(b, nullptr);
    if (!b) return {};
    return p.process(b, {hz}, frames).at(0);
}

}  // namespace

TEST(TanrecipFrame, ClassBannerAndNoAssist)
{
    const tk::ClassInfo &c = tk::load_class("tanrecip~");
    EXPECT_EQ(c.entry, "main");
    EXPECT_TRUE(c.creation_types.empty());
    ASSERT_EQ(c.methods.size(), 1u);
    EXPECT_EQ(c.methods[0].selector, "dsp64");
    EXPECT_EQ(c.methods[0].types, std::vector<int>{9});  // A_CANT
    EXPECT_TRUE(c.dsp);
    EXPECT_TRUE(c.has_free);
    ASSERT_EQ(c.banner.size(), 2u);
    EXPECT_EQ(c.banner[0], std::string(74, '-'));
    ASSERT_FALSE(c.banner[1].empty());
    EXPECT_EQ(c.banner[1].back(), '\n');
    EXPECT_NE(c.banner[1].find("tildekit"), std::string::npos);

    tk::ConsoleCapture con;
    tk::Patch p;
    tk::Box *b = p.create("tanrecip~");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->signal_inlets(), 1);
    EXPECT_EQ(b->signal_outlets(), 1);
    EXPECT_EQ(b->assist(1, 0), std::nullopt);
    EXPECT_EQ(b->assist(2, 0), std::nullopt);
    EXPECT_FALSE(con.contains("unexpected machine alignment"));
}

// Either table failing: an error naming the object, no box, nothing left allocated.
TEST(TanrecipFrame, TableAllocationFailures)
{
    tk::load_class("tanrecip~");
    tk::Patch p;
    auto before = tk::memory_stats();
    tkt::expect_refused_without_leaks(p, "tanrecip~", 2);
    tk::Box *b = p.create("tanrecip~");
    ASSERT_NE(b, nullptr);
    p.process(b, {tkt::constant(256, 1000.0)}, 256);
    EXPECT_EQ(tk::allocations_in_perform(), 0);
    p.free(b);
    EXPECT_EQ(tk::memory_stats().live_blocks, before.live_blocks);
}

TEST(TanrecipValues, QuarterRateIsOne)
{
    // v = 0.5: index 256, fraction 0; the table's quarter point misses pi/4 by ~1.5e-10 rad
    EXPECT_NEAR(render(tkt::constant(64, 11025.0), 64)[0], 1.0, 1e-9);
    EXPECT_NEAR(render(tkt::constant(64, 12000.0), 64, 48000.0)[0], 1.0, 1e-9);
}

TEST(TanrecipValues, FollowsCotangentAcrossTheBand)
{
    // both tables interpolate linearly over steps of ~0.0031 rad: ~1.2e-6 relative each;
    // near 0 Hz the sine's chord is still within that
    for (double f = 5.0; f < 0.449 * kSr; f *= 1.37) {
        double got = render(tkt::constant(8, f), 8)[0];
        double want = cot(M_PI * f / kSr);
        EXPECT_NEAR(got / want, 1.0, 3e-6) << f << " Hz";
    }
}

TEST(TanrecipValues, ClampsAtBothEnds)
{
    const double low = cot(M_PI / 2.0 * kVmin), high = cot(M_PI / 2.0 * kVmax);
    EXPECT_NEAR(low, 6366.2, 0.1);
    EXPECT_NEAR(high, 0.158, 0.001);
    for (double f : {0.0, 1.0, -500.0, -1e30, -HUGE_VAL}) {
        double got = render(tkt::constant(8, f), 8)[0];
        EXPECT_TRUE(std::isfinite(got)) << f << " Hz";
        EXPECT_NEAR(got / low, 1.0, 3e-6) << f << " Hz";
    }
    for (double f : {0.45 * kSr + 1.0, 22050.0, 1e6, 1e300, HUGE_VAL}) {
        double got = render(tkt::constant(8, f), 8)[0];
        EXPECT_NEAR(got / high, 1.0, 3e-6) << f << " Hz";
    }
}

// One value per group of four, from its first sample; groups start at every block start.
TEST(TanrecipGroups, HeldOverGroupsOfFour)
{
    Signal ramp(600);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = 100.0 + 20.0 * double(i);
    for (int block : {1, 2, 3, 5, 64}) {
        Signal y = render(ramp, 600, kSr, block);
        for (std::size_t i = 0; i < y.size(); ++i) {
            std::size_t offset = (i % std::size_t(block)) % 4;
            ASSERT_EQ(y[i], y[i - offset]) << "block " << block << ", sample " << i;
            // 20 Hz per sample moves the cotangent far more than the 3e-6 table error
            if (offset == 0) {
                ASSERT_NEAR(y[i] / cot(M_PI * ramp[i] / kSr), 1.0, 3e-6) << "block " << block << ", sample " << i;
            }
        }
    }
}

// A NaN frequency gives NaN for its group only.
TEST(TanrecipGroups, NanSpoilsOneGroup)
{
    Signal hz = tkt::constant(64, 1000.0);
    hz[8] = NAN;
    hz[13] = NAN;  // not a group's first sample: not seen
    Signal y = render(hz, 64);
    for (std::size_t i = 0; i < y.size(); ++i) {
        if (i >= 8 && i < 12) {
            EXPECT_TRUE(std::isnan(y[i])) << i;
        } else {
            EXPECT_EQ(y[i], y[0]) << i;
        }
    }
}

// A new sample rate is taken at the next DSP compile.
TEST(TanrecipGroups, SampleRateChangeAtCompile)
{
    tk::Patch p(44100, 64);
    tk::Box *b = p.create("tanrecip~");
    ASSERT_NE(b, nullptr);
    p.feed(b, 0, [](double *o, long n, std::int64_t) { std::fill(o, o + n, 12000.0); });
    p.capture(b, 0);
    p.run(64);
    EXPECT_NEAR(p.output(b, 0)[0], cot(M_PI * 12000.0 / 44100.0), 1e-5);
    p.set_samplerate(48000);
    p.clear_outputs();
    p.run(64);
    EXPECT_NEAR(p.output(b, 0)[0], 1.0, 1e-9);
}

// The chain a user builds: a frequency in Hz into tanrecip~, its output into modalfilt~'s
// frequency inlet, so that the band-pass sits where asked.
TEST(TanrecipChain, DrivesModalfiltCentre)
{
    for (double fc : {300.0, 1000.0, 5000.0}) {
        auto gain = [&](double f) {
            tk::Patch p(kSr, 64);
            tk::Box *t = p.create("tanrecip~");
            tk::Box *m = p.create("modalfilt~ bp2");
            EXPECT_TRUE(t && m);
            if (!t || !m) return 0.0;
            p.connect(t, 0, m, 1);
            p.send_float(m, 2, 10.0);
            p.feed(t, 0, [fc](double *o, long n, std::int64_t) { std::fill(o, o + n, fc); });
            p.feed(m, 0, tkt::sine(22050, f, kSr));
            p.capture(m, 0);
            p.run(22050);
            std::vector<double> out = p.output(m, 0);
            out.resize(22050);  // a window of whole periods: 4410 samples
            return tkt::amplitude_at(out, f, kSr, 22050 - 4410);
        };
        // the cotangent is good to ~3e-6, which moves the centre by far less than the
        // Q-10 bandwidth: unity at the centre to 1e-4; a tenth off the centre the band-pass
        // gives 1 / sqrt(1 + (Q (f/fc - fc/f))^2) ~ 0.43
        EXPECT_NEAR(gain(fc), 1.0, 1e-4) << fc << " Hz";
        EXPECT_LT(gain(fc * 0.9), 0.6) << fc << " Hz";
        EXPECT_LT(gain(fc * 1.1), 0.6) << fc << " Hz";
    }
}
