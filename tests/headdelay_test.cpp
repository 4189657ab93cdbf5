// headdelay~: interaural delay panner, run through the host in the 64-bit and the legacy
// 32-bit float chain.
#include "support.h"

#include <cstdio>

namespace {

// argument type codes of the host's method table
constexpr int A_FLOAT = 2, A_GIMME = 8, A_CANT = 9;

constexpr double kSpeedFactor = 0.00291545;  // samples per metre per Hz (about 1 / 343 m/s)

// The two ears' responses to a unit impulse at sample 0.
struct Response {
    std::vector<double> left, right;
};

Response impulse_response(tk::Patch &p, tk::Box *b, std::size_t n) {
    auto out = p.process(b, {tkt::impulse(n)}, std::int64_t(n));
    return {out[0], out[1]};
}

// Delay in samples of a low sine through the box, from the phase of its fundamental. At
// 100 Hz (0.0142 rad/sample at 44.1 kHz) the interpolator's own phase error is far below
// 1e-6 of a sample, so the measurement reads the nominal delay.
double sine_delay(const std::vector<double> &in, const std::vector<double> &out, double freq, double sr,
                  std::size_t from) {
    auto pi = tkt::phasor_at(in, freq, sr, from);
    auto po = tkt::phasor_at(out, freq, sr, from);
    double phase = std::arg(pi) - std::arg(po);
    while (phase < 0) phase += 2.0 * M_PI;
    return phase / (2.0 * M_PI * freq) * sr;
}

// Right-ear path minus left-ear path in metres, from first principles: ears on the x axis at
// +-b/2 (left at +b/2, towards angle 0), the source at distance d and angle theta from it.
double geometric_difference_m(double theta_deg, double b_cm, double d_cm) {
    double t = theta_deg * M_PI / 180.0;
    double sx = d_cm * std::cos(t), sy = d_cm * std::sin(t);
    double left = std::hypot(sx - b_cm / 2.0, sy);
    double right = std::hypot(sx + b_cm / 2.0, sy);
    return (right - left) / 100.0;
}

// After a refused creation every buffer the new routine took and the instance record are back.
void expect_nothing_left(const tk::MemoryStats &start, const std::string &what) {
    tk::MemoryStats now = tk::memory_stats();
    std::int64_t bytes = now.live_bytes - start.live_bytes, blocks = now.live_blocks - start.live_blocks;
    EXPECT_TRUE(bytes == 0 && blocks == 0) << what << ": " << blocks << " blocks, " << bytes << " bytes left";
}

class HeadDelay : public ::testing::TestWithParam<bool> {
protected:
    bool legacy() const { return GetParam(); }
    tk::Box *make(tk::Patch &p) {
        p.set_legacy(legacy());
        tk::Box *b = p.create("headdelay~");
        EXPECT_NE(b, nullptr);
        return b;
    }
};

INSTANTIATE_TEST_SUITE_P(Chains, HeadDelay, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "legacy32" : "perform64"; });

}  // namespace

TEST(HeadDelayClass, RegistrationBannerAndAssist) {
    const tk::ClassInfo &c = tk::load_class("headdelay~");
    EXPECT_EQ(c.entry, "main");
    EXPECT_EQ(c.creation_types, std::vector<int>{A_GIMME});
    EXPECT_TRUE(c.dsp);
    EXPECT_TRUE(c.has_free);
    std::vector<std::pair<std::string, std::vector<int>>> want = {
        {"dsp", {A_CANT}},     {"dsp64", {A_CANT}},       {"Angle", {A_FLOAT}},
        {"Ears_dist", {A_FLOAT}}, {"Object_dist", {A_FLOAT}}, {"assist", {A_CANT}}};
    ASSERT_EQ(c.methods.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(c.methods[i].selector, want[i].first) << "method " << i;
        EXPECT_EQ(c.methods[i].types, want[i].second) << want[i].first;
    }
    ASSERT_EQ(c.banner.size(), 4u);
    EXPECT_EQ(c.banner[0], std::string(74, '-'));
    EXPECT_EQ(c.banner[2], "headdelay~ default values : { Angle(0 - 180) : 90, Ears_dist(15 - 20) : 17, "
                           "Object_dist(100 - 5000) : 100 }");
    EXPECT_EQ(c.banner[3].rfind("tildekit ", 0), 0u) << c.banner[3];

    tk::Patch p;
    tk::Box *b = p.create("headdelay~ 3 foo");  // arguments are accepted and ignored
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->signal_inlets(), 1);
    EXPECT_EQ(b->signal_outlets(), 2);
    EXPECT_TRUE(b->no_inplace());
    EXPECT_EQ(b->assist(1, 0), "(signal) Mono Input");
    EXPECT_EQ(b->assist(1, 5), "(signal) Mono Input");  // one text for any inlet
    EXPECT_EQ(b->assist(2, 0), "(signal) Left Output");
    EXPECT_EQ(b->assist(2, 1), "(signal) Right Output");
    EXPECT_EQ(b->assist(2, 2), std::nullopt);
}

TEST(HeadDelayClass, FreeReturnsEveryBlockAndRefusalLeaksNothing) {
    tk::Patch p;
    auto before = tk::memory_stats();
    std::int64_t in_perform = tk::allocations_in_perform();
    tk::Box *b = p.create("headdelay~");
    ASSERT_NE(b, nullptr);
    p.process(b, {tkt::noise(1000)}, 1000);
    EXPECT_EQ(tk::allocations_in_perform(), in_perform);
    p.free(b);
    EXPECT_EQ(tk::memory_stats().live_blocks, before.live_blocks);
    EXPECT_EQ(tk::memory_stats().live_bytes, before.live_bytes);

    tk::ConsoleCapture cap;
    auto start = tk::memory_stats();
    tk::fail_nth_allocation(1);  // the ring
    tk::Box *refused = p.create("headdelay~");
    tk::clear_allocation_faults();
    EXPECT_EQ(refused, nullptr);
    EXPECT_TRUE(cap.contains("headdelay~: out of memory"));
    expect_nothing_left(start, "ring refused");
}

// At the defaults (90 degrees) the two paths are equal: both ears hear the input one sample
// late. The angle constant 0.0174533 leaves cos(90 deg) at -6.7e-7, a path difference of
// 1.1e-7 m, i.e. 1.5e-5 of a sample: the single tap keeps its weight to within 1e-4.
TEST_P(HeadDelay, DefaultsDelayBothEarsByOneSample) {
    tk::Patch p(44100.0, 64);
    tk::Box *b = make(p);
    Response r = impulse_response(p, b, 256);
    for (const auto *ch : {&r.left, &r.right}) {
        for (std::size_t i = 0; i < ch->size(); ++i) {
            double want = i == 1 ? 1.0 : 0.0;
            EXPECT_NEAR((*ch)[i], want, 1e-4) << "sample " << i << (ch == &r.left ? " left" : " right");
        }
    }
}

// A source at 0 degrees (the left) reaches the right ear 17 cm later: 0.17 m * 44100 *
// 0.00291545 = 21.857 samples, plus the interpolator's one sample. The left ear's delay is
// integral (exactly one sample), so it is the input moved by one sample, bit for bit in
// both chains. At 180 degrees the roles swap.
TEST_P(HeadDelay, FarEarDelayAtTheSides) {
    const double sr = 44100.0;
    const double far = 0.17 * sr * kSpeedFactor + 1.0;  // 22.857
    for (double angle : {0.0, 180.0}) {
        tk::Patch p(sr, 64);
        tk::Box *b = make(p);
        p.send(b, "Angle", {angle});
        auto in = tkt::sine(8192, 100.0, sr, 0.5);
        auto out = p.process(b, {in}, 8192);
        const auto &near_ear = angle == 0.0 ? out[0] : out[1];
        const auto &far_ear = angle == 0.0 ? out[1] : out[0];
        for (std::size_t i = 1; i < in.size(); ++i)
            ASSERT_EQ(near_ear[i], legacy() ? double(float(in[i - 1])) : in[i - 1])
                << "near ear, sample " << i << ", angle " << angle;
        // 2e-3 of a sample: the sine's phase measured over 8000 samples in float is good to
        // ~1e-4 of a sample, the truncated constants move the nominal value by less than that
        EXPECT_NEAR(sine_delay(in, far_ear, 100.0, sr, 1024), far, 2e-3) << "angle " << angle;
    }
}

// The delay follows the geometry of the source, worked out here from coordinates rather
// than the law of cosines, for several angles and distances.
TEST_P(HeadDelay, DelayFollowsTheGeometry) {
    const double sr = 48000.0;
    struct Case {
        double angle, ears, dist;
    } cases[] = {{30, 17, 100}, {60, 20, 100}, {120, 15, 300}, {45, 18, 5000}, {150, 16, 150}};
    for (const Case &c : cases) {
        tk::Patch p(sr, 64);
        tk::Box *b = make(p);
        p.send(b, "Angle", {c.angle});
        p.send(b, "Ears_dist", {c.ears});
        p.send(b, "Object_dist", {c.dist});
        auto in = tkt::sine(9600, 100.0, sr, 0.5);
        auto out = p.process(b, {in}, 9600);
        double diff = geometric_difference_m(c.angle, c.ears, c.dist) * sr * kSpeedFactor;
        double want_left = (diff < 0 ? -diff : 0.0) + 1.0;
        double want_right = (diff > 0 ? diff : 0.0) + 1.0;
        char what[96];
        std::snprintf(what, sizeof what, "angle %g, ears %g cm, source %g cm", c.angle, c.ears, c.dist);
        // 2e-3 samples: see FarEarDelayAtTheSides
        EXPECT_NEAR(sine_delay(in, out[0], 100.0, sr, 960), want_left, 2e-3) << "left, " << what;
        EXPECT_NEAR(sine_delay(in, out[1], 100.0, sr, 960), want_right, 2e-3) << "right, " << what;
    }
}

// An integral interaural delay T is read from the single tap at T + 1 with weight 1. The
// rate is chosen so that 17 cm ears at 0 degrees give exactly 16 samples; rounding in the
// square roots leaves the other weights below 1e-9.
TEST_P(HeadDelay, IntegralDelayReadsOneTap) {
    const double sr = 16.0 / (0.17 * kSpeedFactor);
    tk::Patch p(sr, 64);
    tk::Box *b = make(p);
    p.send(b, "Angle", {0.0});
    Response r = impulse_response(p, b, 128);
    const double tol = legacy() ? 2e-5 : 1e-9;  // float: 16 +- 1e-6 of a sample in the weights
    for (std::size_t i = 0; i < r.right.size(); ++i)
        EXPECT_NEAR(r.right[i], i == 17 ? 1.0 : 0.0, tol) << "sample " << i;
}

// The widest ears at the side and the highest rate give the longest delay, 0.2 m * 192000 *
// 0.00291545 = 111.95 samples; its taps reach 114 samples back. Every tap must be a sample
// from the past: the response lies at 111..114 only and its weights sum to 1 (within the
// rounding of the constants 0.333333 and 0.166667). Rates above 192 kHz are taken as 192 kHz.
TEST_P(HeadDelay, LongestDelayNeverWraps) {
    for (double sr : {192000.0, 250000.0}) {
        tk::Patch p(sr, 64);
        tk::Box *b = make(p);
        p.send(b, "Angle", {0.0});
        p.send(b, "Ears_dist", {20.0});
        Response r = impulse_response(p, b, 512);
        double sum = 0.0, moment = 0.0;
        for (std::size_t i = 0; i < r.right.size(); ++i) {
            if (i < 111 || i > 114) {
                EXPECT_EQ(r.right[i], 0.0) << "sample " << i << " at " << sr << " Hz";
            }
            sum += r.right[i];
            moment += double(i) * r.right[i];
        }
        EXPECT_NEAR(sum, 1.0, 1e-5) << sr;
        // centre of the interpolator's impulse response: the fractional delay itself
        EXPECT_NEAR(moment / sum, 0.2 * 192000.0 * kSpeedFactor + 1.0, 0.02) << sr;
    }
}

TEST_P(HeadDelay, OutOfRangeMessagesRestoreTheDefaults) {
    struct Case {
        const char *sel;
        double value;
        const char *line;  // nullptr: taken silently
    } cases[] = {
        {"Angle", 200.0, "Default Angle value: 90"},
        {"Angle", -0.5, "Default Angle value: 90"},
        {"Angle", NAN, "Default Angle value: 90"},
        {"Angle", 180.0, nullptr},
        {"Angle", 0.0, nullptr},
        {"Ears_dist", 14.9, "Default Ears Distance value: 17 cm"},
        {"Ears_dist", INFINITY, "Default Ears Distance value: 17 cm"},
        {"Ears_dist", 20.0, nullptr},
        {"Ears_dist", 15.0, nullptr},
        {"Object_dist", 99.0, "Default Object Distance value: 100"},
        {"Object_dist", 5001.0, "Default Object Distance value: 100"},
        {"Object_dist", NAN, "Default Object Distance value: 100"},
        {"Object_dist", 5000.0, nullptr},
    };
    for (const Case &c : cases) {
        tk::Patch p;
        tk::Box *b = make(p);
        tk::ConsoleCapture cap;
        p.send(b, c.sel, {c.value});
        if (c.line) {
            ASSERT_EQ(cap.texts().size(), 1u) << c.sel << " " << c.value;
            EXPECT_EQ(cap.texts()[0], c.line);
        } else {
            EXPECT_TRUE(cap.texts().empty()) << c.sel << " " << c.value;
        }
    }

    // the restored value is the default, not the nearer limit: 17 cm ears at 0 degrees
    tk::Patch p(44100.0, 64);
    tk::Box *b = make(p);
    p.send(b, "Angle", {0.0});
    p.send(b, "Ears_dist", {20.0});
    p.send(b, "Ears_dist", {25.0});
    auto in = tkt::sine(8192, 100.0, 44100.0, 0.5);
    auto out = p.process(b, {in}, 8192);
    EXPECT_NEAR(sine_delay(in, out[1], 100.0, 44100.0, 1024), 0.17 * 44100.0 * kSpeedFactor + 1.0, 2e-3);
    // and an out-of-range angle centres the source again
    p.send(b, "Angle", {200.0});
    out = p.process(b, {in}, 8192);
    EXPECT_NEAR(sine_delay(in, out[0], 100.0, 44100.0, 1024), 1.0, 2e-3);
    EXPECT_NEAR(sine_delay(in, out[1], 100.0, 44100.0, 1024), 1.0, 2e-3);
}

// A new rate at the next compilation changes the delay before any sample is processed.
TEST_P(HeadDelay, RateChangeBetweenCompilations) {
    tk::Patch p(44100.0, 64);
    tk::Box *b = make(p);
    p.send(b, "Angle", {0.0});
    p.process(b, {tkt::sine(1024, 100.0, 44100.0)}, 1024);
    p.set_samplerate(88200.0);
    auto in = tkt::sine(16384, 100.0, 88200.0, 0.5);
    auto out = p.process(b, {in}, 16384);
    EXPECT_NEAR(sine_delay(in, out[1], 100.0, 88200.0, 1024), 0.17 * 88200.0 * kSpeedFactor + 1.0, 2e-3);
}

// The ring and its position carry over from block to block: any vector size gives the same
// signal, bit for bit.
TEST_P(HeadDelay, VectorSizeDoesNotChangeTheOutput) {
    auto in = tkt::noise(3000, 0.5, 7);
    std::vector<std::vector<double>> ref;
    for (int n : {64, 1, 2, 3, 37, 256}) {
        tk::Patch p(44100.0, n);
        tk::Box *b = make(p);
        p.send(b, "Angle", {33.0});
        auto out = p.process(b, {in}, 3000);
        if (ref.empty()) {
            ref = out;
            continue;
        }
        for (int ch = 0; ch < 2; ++ch)
            for (std::size_t i = 0; i < in.size(); ++i)
                ASSERT_EQ(out[std::size_t(ch)][i], ref[std::size_t(ch)][i])
                    << "vector size " << n << ", channel " << ch << ", sample " << i;
    }
}

// A NaN or infinite input sample only lasts as long as it stays within reach of the taps.
TEST_P(HeadDelay, BadInputSampleLeavesWithTheRing) {
    tk::Patch p(192000.0, 64);
    tk::Box *b = make(p);
    p.send(b, "Angle", {180.0});
    p.send(b, "Ears_dist", {20.0});
    auto in = tkt::noise(2000, 0.5, 3);
    in[300] = NAN;
    in[301] = INFINITY;
    auto out = p.process(b, {in}, 2000);
    // the left ear's farthest tap reads 114 samples back, the right ear's 3
    EXPECT_TRUE(tkt::all_finite(out[0], 302 + 114));
    EXPECT_TRUE(tkt::all_finite(out[1], 302 + 3));
    EXPECT_FALSE(std::isfinite(out[0][413]));  // the bad samples did pass through the left ear
}
