// bowedstring~: the bowed-string waveguide, run through the host (64-bit perform routine in
// either width).
#include "support.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace {

// argument type codes of the host's method table
constexpr int A_FLOAT = 2, A_GIMME = 8, A_CANT = 9;

// normalised autocorrelation of y[from..] at lag L
double autocorr(const std::vector<double> &y, std::size_t from, std::size_t lag) {
    double s = 0, e1 = 0, e2 = 0;
    for (std::size_t i = from; i + lag < y.size(); ++i) {
        s += y[i] * y[i + lag];
        e1 += y[i] * y[i];
        e2 += y[i + lag] * y[i + lag];
    }
    return e1 > 0 && e2 > 0 ? s / std::sqrt(e1 * e2) : 0.0;
}

struct Period {
    double samples = 0;   // with parabolic interpolation between lags
    double strength = 0;  // autocorrelation at the peak
    bool interior = false;  // the peak lies strictly inside the searched lags
};

// The period of y[from..], searched between lo and hi samples.
Period measure_period(const std::vector<double> &y, std::size_t from, std::size_t lo, std::size_t hi) {
    std::size_t best = lo;
    double bv = -2.0;
    for (std::size_t lag = lo; lag <= hi; ++lag) {
        double v = autocorr(y, from, lag);
        if (v > bv) {
            bv = v;
            best = lag;
        }
    }
    Period p;
    p.strength = bv;
    p.interior = best > lo && best < hi;
    p.samples = double(best);
    if (p.interior) {
        double a = autocorr(y, from, best - 1), c = autocorr(y, from, best + 1);
        double den = a - 2.0 * bv + c;
        if (den < 0) p.samples += 0.5 * (a - c) / den;
    }
    return p;
}

// The period of the bowed string in samples. The bow sees the wave come back from each end
// after a round trip through that end's segment: twice the segment's delay, its share of
// (length - 0.08) * sr / 680 samples, plus the end itself. Each reflection is a symmetric
// three-tap filter centred 3 samples late; the rings are read 0 and 1 samples further back at
// the bridge, 1 and 2 at the nut, and each return reaches the bow one sample later. So the
// two round trips add 2 * (length - 0.08) * sr / 680 + 5 + 7 samples.
double string_period(double length, double sr) { return 2.0 * (length - 0.08) * sr / 680.0 + 12.0; }

// A segment longer than the longest tap (sr * 3 / 340 samples, truncated) is read at that
// tap; with both segments there the period is four times it plus the ends' 12 samples.
double longest_period(double sr) { return 4.0 * std::floor(sr * 3.0 / 340.0) + 12.0; }

std::vector<double> render(tk::Patch &p, tk::Box *b, double seconds) {
    return p.process(b, {}, std::int64_t(seconds * p.samplerate()))[0];
}

tk::Box *bowed(tk::Patch &p, const tk::Atoms &velocity = {0.5}) {
    tk::Box *b = p.create("bowedstring~");
    EXPECT_NE(b, nullptr);
    if (b) p.send(b, "velocity", velocity);
    return b;
}

void expect_same(const std::vector<double> &a, const std::vector<double> &b, const std::string &what) {
    ASSERT_EQ(a.size(), b.size()) << what;
    for (std::size_t i = 0; i < a.size(); ++i) ASSERT_EQ(a[i], b[i]) << what << ", sample " << i;
}

// The waveguide written out plainly, one sample at a time: taps limited in floating point,
// every ring index taken modulo the ring, the five weighted taps summed from 0 in order.
struct PlainString {
    double length = 0.75, pressure = 0.5, velocity = 0, position = 0.7, gain = 0.5;
    double b, c, a1, a2, max_tap, scale;
    double p = 0, l = 0, v = 0, q = 0, bridge_return = 0, nut_return = 0, bridge_arrival = 0, nut_arrival = 0;
    double bh[4] = {}, nh[4] = {}, body[3] = {};
    std::uint32_t wi = 0;
    std::vector<double> to_bridge = std::vector<double>(2048), from_bridge = to_bridge, to_nut = to_bridge,
                        from_nut = to_bridge;

    explicit PlainString(double sr) {
        double r = std::min(std::max(sr, 1.0), 192000.0);
        double K = std::tan(double(1570.79639f) / r), ik = 1.0 / K;
        b = ik, c = 1.0 / (1.0 + (ik + 0.5) / K), a1 = 2.0 * (1.0 - 1.0 / (K * K)), a2 = 1.0 + (ik - 0.5) / K;
        max_tap = r * double(0.00882352982f), scale = r * double(0.00147058826f);
    }
    struct Taps { std::uint32_t t[5]; double w[5]; };
    Taps lagrange(double d) const {
        Taps r;
        double id = std::trunc(d - 1.49999499), fd = d - std::floor(d - 1.49999499);
        for (int k = 0; k < 5; ++k) r.t[k] = std::uint32_t(std::min(std::max(id + k, 0.0), max_tap));
        double m1 = fd - 1, m2 = fd - 2, m3 = fd - 3, m4 = fd - 4;
        r.w[0] = m1 * m2 * m3 * m4 * double(0.0416666679f);
        r.w[1] = -fd * m2 * m3 * m4 * double(0.166666672f);
        r.w[2] = fd * m1 * m3 * m4 * double(0.25f);
        r.w[3] = -fd * m1 * m2 * m4 * double(0.166666672f);
        r.w[4] = fd * m1 * m2 * m3 * double(0.0416666679f);
        return r;
    }
    double read(const std::vector<double> &ring, const Taps &r, std::uint32_t offset) const {
        double acc = 0;
        for (int k = 0; k < 5; ++k) acc += r.w[k] * ring[(wi - r.t[k] - offset) % 2048];
        return acc;
    }
    double step() {
        const double keep = double(0.999f), take = double(0.001f);
        std::uint32_t slot = wi % 2048;
        p = keep * p + take * position;
        l = keep * l + take * length;
        double e = l - double(0.08f);
        Taps rb = lagrange((1.0 - p) * e * scale);
        double new_bridge_return = read(from_bridge, rb, 1);
        v = keep * v + take * velocity;
        nh[0] = nut_arrival;
        from_nut[slot] = -0.99880147 * (double(0.8f) * nh[2] + double(0.1f) * (nh[1] + nh[3]));
        Taps rn = lagrange(p * e * scale);
        double new_nut_return = read(from_nut, rn, 2);
        double dv = v - (nut_return + bridge_return);
        q = keep * q + take * pressure;
        double t = std::fabs((5.0 - 4.0 * q) * dv) + 0.75;
        t *= t;
        double force = dv * std::min(1.0 / (t * t), 1.0);
        to_bridge[slot] = nut_return + force;
        to_nut[slot] = bridge_return + force;
        double new_bridge_arrival = read(to_bridge, rb, 0);
        bh[0] = bridge_arrival;
        body[0] = bh[1] - c * (a1 * body[1] + a2 * body[2]);
        from_bridge[slot] = -0.989264667 * (double(0.6f) * bh[2] + double(0.2f) * (bh[1] + bh[3]));
        double new_nut_arrival = read(to_nut, rn, 1);
        double out = gain * c * (b * body[0] - b * body[2]);
        bridge_return = new_bridge_return, nut_return = new_nut_return;
        bridge_arrival = new_bridge_arrival, nut_arrival = new_nut_arrival;
        for (double *h : {bh, nh}) h[3] = h[2], h[2] = h[1], h[1] = h[0];
        body[2] = body[1], body[1] = body[0];
        ++wi;
        return out;
    }
};

}  // namespace

TEST(BowedString, RegistrationAndBanner) {
    const tk::ClassInfo &c = tk::load_class("bowedstring~");
    EXPECT_EQ(c.entry, "ext_main");
    EXPECT_EQ(c.creation_types, std::vector<int>{A_GIMME});
    EXPECT_TRUE(c.dsp);
    std::vector<std::pair<std::string, std::vector<int>>> want = {
        {"dsp64", {A_CANT}},   {"velocity", {A_FLOAT}}, {"length", {A_FLOAT}}, {"pressure", {A_FLOAT}},
        {"pos", {A_FLOAT}},    {"OutGain", {A_FLOAT}},  {"setDefault", {}},    {"clearall", {}}};
    ASSERT_EQ(c.methods.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(c.methods[i].selector, want[i].first) << "method " << i;
        EXPECT_EQ(c.methods[i].types, want[i].second) << want[i].first;
    }
    ASSERT_EQ(c.banner.size(), 5u);
    EXPECT_EQ(c.banner[0], std::string(74, '-'));
    EXPECT_EQ(c.banner[2].rfind("tildekit ", 0), 0u) << c.banner[2];
    EXPECT_EQ(c.banner[3], "Default: out Gain = 0.5 position = 0.7 length = 0.75 velocity = 0.0 pressure = 0.5");
    EXPECT_EQ(c.banner[4], " ");

    tk::Patch p;
    tk::Box *b = p.create("bowedstring~ 1 2");  // arguments are accepted and ignored
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->signal_inlets(), 0);
    EXPECT_EQ(b->signal_outlets(), 1);
    EXPECT_FALSE(b->no_inplace());
    EXPECT_EQ(b->assist(2, 0), std::nullopt);  // no assist method
}

TEST(BowedString, FreeReturnsEveryBlockAndRefusalLeaksNothing) {
    tk::Patch p;
    auto before = tk::memory_stats();
    std::int64_t in_perform = tk::allocations_in_perform();
    tk::Box *b = bowed(p);
    ASSERT_NE(b, nullptr);
    render(p, b, 0.1);
    EXPECT_EQ(tk::allocations_in_perform(), in_perform);
    p.free(b);
    EXPECT_EQ(tk::memory_stats().live_blocks, before.live_blocks);
    EXPECT_EQ(tk::memory_stats().live_bytes, before.live_bytes);
    tkt::expect_refused_without_leaks(p, "bowedstring~", 7);  // two histories, four rings, the body state
}

// Without bow velocity nothing excites the string: exact silence, whatever else is set.
TEST(BowedString, SilentWithoutVelocity) {
    tk::Patch p(44100.0, 64);
    tk::Box *b = p.create("bowedstring~");
    ASSERT_NE(b, nullptr);
    auto y = render(p, b, 1.0);
    for (std::size_t i = 0; i < y.size(); ++i) ASSERT_EQ(y[i], 0.0) << "sample " << i;
    p.send(b, "pressure", {1.0});
    p.send(b, "length", {2.0});
    p.send(b, "pos", {0.1});
    p.send(b, "OutGain", {1.0});
    y = render(p, b, 0.5);
    for (std::size_t i = 0; i < y.size(); ++i) ASSERT_EQ(y[i], 0.0) << "sample " << i << " after changes";
}

// A bowed string holds a steady tone whose period follows its length.
TEST(BowedString, SustainedToneWhosePitchFollowsLength) {
    struct Case {
        double sr, length;
    } cases[] = {{44100, 0.5}, {44100, 0.75}, {44100, 1.0}, {44100, 2.0}, {44100, 5.0}, {96000, 0.75}, {96000, 5.0}};
    for (const Case &c : cases) {
        const double sr = c.sr, length = c.length;
        tk::Patch p(sr, 64);
        tk::Box *b = bowed(p);
        p.send(b, "length", {length});
        auto y = render(p, b, 2.5);
        std::size_t a = std::size_t(1.5 * sr), z = std::size_t(2.0 * sr);
        double late = tkt::rms(y, z), earlier = tkt::rms(y, a, z);
        EXPECT_GT(late, 0.02) << sr << " Hz, length " << length;
        // sustained: the last half second has not faded against the one before (long
        // strings are still building up, so only a fall is a failure)
        EXPECT_GT(late / earlier, 0.8) << sr << " Hz, length " << length;
        double want = string_period(length, sr);
        Period got = measure_period(y, y.size() - std::size_t(0.3 * sr), std::size_t(want * 0.9),
                                    std::size_t(want * 1.1));
        ASSERT_TRUE(got.interior) << sr << " Hz, length " << length;
        EXPECT_GT(got.strength, 0.95) << sr << " Hz, length " << length;
        // 0.2 samples: the smoothed length settles 1.3e-5 above its target (the smoother's
        // single-precision constants), worth under 0.02 samples; the rest is measurement
        EXPECT_NEAR(got.samples, want, 0.2) << sr << " Hz, length " << length;
    }
}

// The delays follow the rate given at each compilation, so the pitch in Hz stays put.
TEST(BowedString, RateChangeKeepsThePitch) {
    tk::Patch p(44100.0, 64);
    tk::Box *b = bowed(p);
    render(p, b, 0.1);
    p.set_samplerate(96000.0);
    p.send(b, "clearall");
    p.send(b, "velocity", {0.5});
    auto y = render(p, b, 1.5);
    double want = string_period(0.75, 96000.0);
    Period got = measure_period(y, y.size() - 28800, std::size_t(want * 0.8), std::size_t(want * 1.25));
    ASSERT_TRUE(got.interior);
    EXPECT_NEAR(got.samples, want, 0.2);
}

// Beyond the longest tap a longer string changes nothing: both segments stop there.
TEST(BowedString, LongStringsStopAtTheLongestTap) {
    struct Case {
        double sr, length;
    } cases[] = {{44100, 50}, {44100, 500}, {44100, 1e9}, {192000, 50}, {192000, 1e9}};
    for (const Case &c : cases) {
        const double sr = c.sr, length = c.length;
        tk::Patch p(sr, 64);
        tk::Box *b = bowed(p);
        p.send(b, "length", {length});
        auto y = render(p, b, 2.0);
        ASSERT_TRUE(tkt::all_finite(y));
        double want = longest_period(sr);
        // a narrow search keeps the test quick; an interior peak shows it found the period
        std::size_t from = y.size() - std::size_t(sr * 0.3);
        Period got = measure_period(y, from, std::size_t(want * 0.97), std::size_t(want * 1.03));
        ASSERT_TRUE(got.interior) << sr << " Hz, length " << length;
        EXPECT_GT(got.strength, 0.5) << sr << " Hz, length " << length;
        EXPECT_NEAR(got.samples, want, 0.5) << sr << " Hz, length " << length;
    }
}

// `clearall` empties the string at once and stops the bow; bowing again starts it anew.
TEST(BowedString, ClearallSilencesAtOnce) {
    tk::Patch p(44100.0, 64);
    tk::Box *b = bowed(p);
    auto y = render(p, b, 1.0);
    ASSERT_GT(tkt::rms(y, y.size() / 2), 0.02);
    p.send(b, "clearall");
    y = render(p, b, 0.5);
    for (std::size_t i = 0; i < y.size(); ++i) ASSERT_EQ(y[i], 0.0) << "sample " << i << " after clearall";
    p.send(b, "velocity", {0.5});
    y = render(p, b, 1.0);
    EXPECT_GT(tkt::rms(y, y.size() / 2), 0.02);

    // a cleared string is a fresh one: left unbowed for the same time (its smoothers glide
    // meanwhile), then bowed
    tk::Patch q(44100.0, 64);
    tk::Box *fresh = q.create("bowedstring~");
    render(q, fresh, 0.5);
    q.send(fresh, "velocity", {0.5});
    expect_same(y, render(q, fresh, 1.0), "cleared against fresh");
}

// `setDefault` gives the five parameters their defaults (velocity 0 included) but leaves the
// string ringing: the same as sending the defaults one by one, and not silent at once.
TEST(BowedString, SetDefaultRestoresParametersAndKeepsTheString) {
    tk::Patch p(44100.0, 64);
    tk::Box *a = p.create("bowedstring~");
    tk::Box *b = p.create("bowedstring~");
    for (tk::Box *x : {a, b}) {
        p.send(x, "length", {1.7});
        p.send(x, "pos", {0.3});
        p.send(x, "pressure", {0.9});
        p.send(x, "OutGain", {1.0});
        p.send(x, "velocity", {0.8});
        p.capture(x, 0);
    }
    p.run(22050);
    p.clear_outputs();
    p.send(a, "setDefault");
    p.send(b, "OutGain", {0.5});
    p.send(b, "pos", {0.7});
    p.send(b, "length", {0.75});
    p.send(b, "velocity", {0.0});
    p.send(b, "pressure", {0.5});
    p.run(22050);
    const auto &ya = p.output(a, 0);
    const auto &yb = p.output(b, 0);
    if (tk::host_width_bits() == 64) {
        expect_same(ya, yb, "setDefault against the defaults sent");
    } else {
        // a message's 0.7 arrives here as a float, 1.2e-8 below the default position: the
        // delays differ by ~1e-6 of a sample, the output by far less than 1e-5
        ASSERT_EQ(ya.size(), yb.size());
        for (std::size_t i = 0; i < ya.size(); ++i) ASSERT_NEAR(ya[i], yb[i], 1e-5) << "sample " << i;
    }
    EXPECT_GT(tkt::rms(ya, 0, 64), 1e-3);  // still sounding right after
}

// Out-of-range values are clamped without a word; NaN counts as the minimum.
TEST(BowedString, MessagesClampSilently) {
    struct Case {
        const char *sel;
        double given, same_as;
    } cases[] = {
        {"velocity", 1.7, 1.0},   {"velocity", -2.0, 0.0},     {"velocity", NAN, 0.0},
        {"pressure", 3.0, 1.0},   {"pressure", -0.5, 0.0},     {"pressure", NAN, 0.0},
        {"pos", 7.0, 1.0},        {"pos", -INFINITY, 0.0},     {"pos", NAN, 0.0},
        {"OutGain", 2.0, 1.0},    {"OutGain", NAN, 0.0},       {"length", -1.0, 0.0},
        {"length", NAN, 0.0},     {"length", -INFINITY, 0.0},
    };
    for (const Case &c : cases) {
        std::string what = std::string(c.sel) + " " + std::to_string(c.given);
        tk::Patch p(44100.0, 64);
        tk::Box *a = bowed(p);
        tk::Box *b = bowed(p);
        tk::ConsoleCapture cap;
        p.send(a, c.sel, {c.given});
        p.send(b, c.sel, {c.same_as});
        EXPECT_TRUE(cap.texts().empty()) << what;
        p.capture(a, 0);
        p.capture(b, 0);
        p.run(8192);
        expect_same(p.output(a, 0), p.output(b, 0), what);
    }
}

// No length or position, however extreme, reads outside the rings or leaves the model
// broken: the output stays finite and bounded, and once the length is sensible again the
// string plays its normal pitch.
TEST(BowedString, ExtremeLengthsAndPositionsStayInsideTheRings) {
    const double lengths[] = {0.0, 0.05, 1e6, 1e300, INFINITY};
    const double positions[] = {0.0, 1.0, NAN};
    for (double sr : {44100.0, 250000.0}) {  // 250 kHz is taken as 192 kHz, the longest rings
        for (double length : lengths) {
            for (double pos : positions) {
                tk::Patch p(sr, 64);
                tk::Box *b = bowed(p, {1.0});
                p.send(b, "pressure", {0.0});
                p.send(b, "length", {length});
                p.send(b, "pos", {pos});
                auto y = render(p, b, 0.2);
                double peak = 0;
                for (double v : y) peak = std::max(peak, std::fabs(v));
                ASSERT_TRUE(tkt::all_finite(y)) << sr << " Hz, length " << length << ", pos " << pos;
                // the bow force never exceeds the velocity difference and the ends lose energy:
                // a generous bound that a runaway would break
                EXPECT_LT(peak, 10.0) << sr << " Hz, length " << length << ", pos " << pos;
            }
        }
    }
    // An infinite length is taken as the longest string (1e305): the smoothed length then glides
    // back from there, a thousandth of the way per sample, and reaches the lengths that sound
    // after about 700000 samples (ln(1e305 / 6) * 1000).
    tk::Patch p(44100.0, 64);
    tk::Box *b = bowed(p);
    p.send(b, "length", {INFINITY});
    auto y = render(p, b, 0.5);
    ASSERT_TRUE(tkt::all_finite(y));
    p.send(b, "length", {0.75});
    y = render(p, b, 19.0);
    ASSERT_TRUE(tkt::all_finite(y));
    double want = string_period(0.75, 44100.0);
    Period got = measure_period(y, y.size() - 22050, std::size_t(want * 0.8), std::size_t(want * 1.25));
    ASSERT_TRUE(got.interior);
    EXPECT_NEAR(got.samples, want, 0.2);
}

// The model is computed sample by sample with all its memory in the instance: any vector
// size gives the same signal, bit for bit; the legacy chain setting changes nothing either,
// as the object has no legacy routine.
TEST(BowedString, VectorSizeAndChainDoNotChangeTheOutput) {
    std::vector<double> ref;
    for (int n : {64, 1, 3, 100}) {
        for (bool legacy : {false, true}) {
            tk::Patch p(44100.0, n);
            p.set_legacy(legacy);
            tk::Box *b = bowed(p);
            p.send(b, "length", {0.6});
            auto y = render(p, b, 0.3);
            if (ref.empty())
                ref = y;
            else
                expect_same(y, ref, "vector size " + std::to_string(n) + (legacy ? ", legacy chain" : ""));
        }
    }
}

// The external against the plain model above, bit for bit, while the length and position
// carry the delays through every kind of reading: negative delays (taps held at 0), a segment
// of no length (the bridge arrival reads the value just written), ordinary delays, reads across
// the rings' end, and delays past the longest tap. Message values are exact in single precision,
// so the 32-bit host delivers them unchanged.
TEST(BowedString, AgreesWithThePlainModelInEveryKindOfReading) {
    struct Step { const char *sel; double value; };
    const std::vector<std::vector<Step>> schedule = {
        {{"velocity", 1.0}, {"pressure", 0.25}, {"length", 0.0}}, {{"length", 0.125}},
        {{"length", 3.0}, {"pos", 0.25}},  {{"pos", 1.0}},  {{"pos", 0.0}},
        {{"length", 40.0}, {"pos", 0.5}},  {{"length", 0.5}, {"OutGain", 1.0}},
        {{"pressure", 1.0}, {"velocity", 0.5}}};
    for (double sr : {44100.0, 250000.0}) {
        tk::Patch patch(sr, 64);
        tk::Box *box = patch.create("bowedstring~");
        ASSERT_NE(box, nullptr);
        PlainString model(sr);
        std::size_t at = 0;
        std::vector<double> all;
        for (const auto &steps : schedule) {
            for (const Step &s : steps) {
                patch.send(box, s.sel, {s.value});
                double &field = std::string(s.sel) == "velocity" ? model.velocity
                                : std::string(s.sel) == "pressure" ? model.pressure
                                : std::string(s.sel) == "length"   ? model.length
                                : std::string(s.sel) == "pos"      ? model.position
                                                                    : model.gain;
                field = s.value;
            }
            std::vector<double> y = patch.process(box, {}, 4096)[0];
            for (std::size_t i = 0; i < y.size(); ++i, ++at)
                ASSERT_EQ(y[i], model.step()) << sr << " Hz, sample " << at;
            all.insert(all.end(), y.begin(), y.end());
        }
        EXPECT_GT(tkt::rms(all), 0.01) << sr << " Hz: the string should sound";
    }
}

// A very long string is taken as it stands: after `length 3e6` the glide back to 0.75 follows
// the plain model bit for bit (a limit on the length would bring the string back too early).
TEST(BowedString, GlideBackFromAVeryLongStringFollowsTheModel) {
    for (double sr : {44100.0, 250000.0}) {  // 250 kHz is taken as 192 kHz, the longest rings
        tk::Patch patch(sr, 64);
        tk::Box *box = patch.create("bowedstring~");
        ASSERT_NE(box, nullptr);
        PlainString model(sr);
        patch.send(box, "velocity", {1.0});
        patch.send(box, "length", {3e6});  // exact in single precision
        model.velocity = 1.0;
        model.length = 3e6;
        std::size_t at = 0;
        std::vector<double> y = patch.process(box, {}, 16384)[0];
        for (std::size_t i = 0; i < y.size(); ++i, ++at) ASSERT_EQ(y[i], model.step()) << sr << " Hz, sample " << at;
        patch.send(box, "length", {0.75});
        model.length = 0.75;
        y = patch.process(box, {}, 24576)[0];
        for (std::size_t i = 0; i < y.size(); ++i, ++at) ASSERT_EQ(y[i], model.step()) << sr << " Hz, sample " << at;
        EXPECT_GT(tkt::rms(y, y.size() / 2), 0.001) << sr << " Hz: the string should sound again";
    }
}

// A clearall that arrives from another thread while a block runs: from the next block on the
// string is empty and silent, not carried on from the state the block had kept.
TEST(BowedString, ClearallDuringABlockIsNotUndoneByIt) {
    for (int attempt = 0; attempt < 20; ++attempt) {  // the message may miss the block now and then
        tk::Patch p(44100.0, 4096);
        tk::Box *b = bowed(p);
        std::atomic<bool> sent{false};
        std::thread messages([&] {
            while (!tildekit_performing) {
            }
            p.send(b, "clearall");
            sent = true;
        });
        while (!sent) render(p, b, 4096 / 44100.0);
        messages.join();
        auto y = p.process(b, {}, 4096)[0];
        for (std::size_t i = 0; i < y.size(); ++i) ASSERT_EQ(y[i], 0.0) << "attempt " << attempt << ", sample " << i;
    }
}
