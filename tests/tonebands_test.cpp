// tonebands~ through the host: frame, identity at 0 dB, measured bell and shelf responses,
// clamps and their posted lines, bypass, reset, a low sample rate, memory.
#include "support.h"

#include <atomic>
#include <cstring>
#include <thread>
#include <limits>

namespace {

using Msgs = std::vector<std::pair<std::string, tk::Atoms>>;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

tk::Box *make(tk::Patch &p, const Msgs &msgs = {}) {
    tk::Box *b = p.create("tonebands~");
    if (b)
        for (auto &[sel, args] : msgs) p.send(b, sel, args);
    return b;
}

std::vector<double> render(tk::Patch &p, tk::Box *b, const std::vector<double> &in) {
    return p.process(b, {in}, std::int64_t(in.size()))[0];
}

// Frequency response of a rendered impulse response at f Hz.
double gain_db(const std::vector<double> &h, double f, double sr) {
    std::complex<double> acc = 0, z = std::polar(1.0, -2.0 * M_PI * f / sr), p = 1.0;
    for (double v : h) acc += v * p, p *= z;
    return tkt::db(std::abs(acc));
}

// Frequency between lo and hi where the response crosses `level` dB (bisection).
double crossing(const std::vector<double> &h, double sr, double lo, double hi, double level) {
    bool lo_above = gain_db(h, lo, sr) > level;
    for (int i = 0; i < 50; ++i) {
        double mid = 0.5 * (lo + hi);
        ((gain_db(h, mid, sr) > level) == lo_above ? lo : hi) = mid;
    }
    return 0.5 * (lo + hi);
}

bool same_bits(const std::vector<double> &a, const std::vector<double> &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

}  // namespace

TEST(Tonebands, LoadsWithItsMethodsBannerAndOneInletOneOutlet) {
    const tk::ClassInfo &c = tk::load_class("tonebands~");
    EXPECT_EQ(c.entry, "ext_main");
    EXPECT_TRUE(c.creation_types.empty());
    std::vector<std::pair<std::string, std::vector<int>>> expected = {
        {"dsp64", {9}}, {"fl/f1/f2/fh", {8}}, {"gl/g1/g2/gh", {8}}, {"q1/q2", {8}},
        {"master", {2}}, {"Bypass", {1}}, {"reset", {}}};
    std::vector<std::pair<std::string, std::vector<int>>> registered;
    for (const tk::MethodInfo &m : c.methods) registered.push_back({m.selector, m.types});
    EXPECT_EQ(registered, expected);
    EXPECT_TRUE(c.dsp);
    ASSERT_EQ(c.banner.size(), 3u);
    EXPECT_EQ(c.banner[0], std::string(66, '-'));

    tk::Patch p;
    tk::Box *b = make(p);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->signal_inlets(), 1);
    EXPECT_EQ(b->outlets(), 1);
    EXPECT_TRUE(b->outlet_is_signal(0));
    EXPECT_TRUE(b->no_inplace());
    EXPECT_FALSE(b->assist(1, 0).has_value());  // no assist method
}

// At 0 dB the bells are exact identities and the shelves cancel pole against zero, so only
// rounding separates output from input; bad samples are cleared to 0 before they reach a section.
TEST(Tonebands, DefaultsPassTheInputAndClearBadSamples) {
    std::vector<double> in = tkt::noise(4000, 0.5, 7);
    const std::size_t bad[] = {100, 101, 700, 1500, 2222, 3001};
    const double bad_values[] = {kNaN, std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                                 1e-310, 1e-308 /* below 2^-1021 */, 9e307 /* at or above 2^1023 */};
    std::vector<double> expected = in;
    for (int i = 0; i < 6; ++i) in[bad[i]] = bad_values[i], expected[bad[i]] = 0.0;
    for (int n : {1, 3, 64, 100}) {
        tk::Patch p(44100.0, n);
        tk::Box *b = make(p);
        ASSERT_NE(b, nullptr);
        std::vector<double> out = render(p, b, in);
        // pole-zero cancellation leaves a few ulps, raised by at most ~30 by the shelf recursions
        for (std::size_t i = 0; i < in.size(); ++i)
            ASSERT_NEAR(out[i], expected[i], 1e-13) << "block " << n << ", sample " << i;
    }
}

// The smallest inputs that are not cleared (2^-1021 and up), taken down by a master gain below
// 0 dB, would leave the object as subnormal numbers: the output is cleared as the memories are.
TEST(Tonebands, OutputIsNeverSubnormal) {
    tk::Patch p(48000.0, 64);
    tk::Box *b = make(p, {{"master", {-12.0}}});
    ASSERT_NE(b, nullptr);
    const double tiny = std::ldexp(1.0, -1021);
    std::vector<double> in = {tiny, -tiny, 4 * tiny, 1.0, 0.5};
    std::vector<double> out = render(p, b, in);
    for (std::size_t i = 0; i < out.size(); ++i) EXPECT_NE(std::fpclassify(out[i]), FP_SUBNORMAL) << "sample " << i << ": " << out[i];
    EXPECT_EQ(out[0], 0.0);
    EXPECT_EQ(out[3], std::exp(std::log(10.0) * -12.0 / 20.0));  // normal samples as before
}

// A value that overflows inside the chain (inputs just below the flagged range, boosted) is
// cleared from the section memories at the next sample, so the output is finite again within a
// few samples; where block boundaries fall changes nothing: every block size gives the same bits.
TEST(Tonebands, OverflowInsideTheChainIsClearedAtAnyBlockSize) {
    std::vector<double> in = tkt::noise(3000, 0.5, 12);
    in[500] = 5e307, in[501] = -5e307, in[1234] = 1e-309;
    std::vector<double> first;
    for (int n : {1, 7, 64, 512}) {
        tk::Patch p(48000.0, n);
        tk::Box *b = make(p, {{"gl/g1/g2/gh", {20, 20, 20, 20}}});
        ASSERT_NE(b, nullptr);
        std::vector<double> out = render(p, b, in);
        long bad_first = -1, bad_last = -1;
        for (std::size_t i = 0; i < out.size(); ++i)
            if (!std::isfinite(out[i])) bad_last = long(i), bad_first = bad_first < 0 ? long(i) : bad_first;
        // the spike overflows a section (a non-finite memory would otherwise stay for good);
        // what overflowed leaves as 0, never as an infinity or NaN
        EXPECT_EQ(bad_first, -1) << "block " << n << ", sample " << bad_last;
        EXPECT_EQ(out[500], 0.0) << "block " << n;
        EXPECT_TRUE(std::isfinite(out[510]) && out[510] != 0.0) << "block " << n;
        if (first.empty())
            first = out;
        else
            EXPECT_TRUE(same_bits(out, first)) << "block " << n;
    }
}

// Bell at +-12 dB, q 1: full gain at the centre, unity at DC (exactly the reference gain) and far
// away, half the gain in dB at edges that lie Dw = (f / sr) / 2 radians apart (the bandwidth is
// given in cycles per sample and not scaled by 2 pi, so the bell is 79.6 Hz wide, not 500 Hz).
TEST(Tonebands, BellsHaveTheirGainAtTheCentreAndTheirWidth) {
    struct Case { double sr; int section; double g; };
    for (Case c : {Case{44100, 1, 12}, Case{44100, 2, 12}, Case{44100, 1, -12}, Case{48000, 2, 12}}) {
        tk::Patch p(44100.0, 64);
        tk::Box *b = make(p);
        ASSERT_NE(b, nullptr);
        p.set_samplerate(c.sr);  // the box was made at 44.1 kHz: dsp64 must take the new rate
        tk::Atoms gains = {0, 0, 0, 0}, freqs = {250, 500, 3000, 8000};
        gains[c.section] = c.g, freqs[c.section] = 1000;
        p.send(b, "gl/g1/g2/gh", gains);
        p.send(b, "fl/f1/f2/fh", freqs);
        std::vector<double> h = render(p, b, tkt::impulse(16384));
        std::string what = "section " + std::to_string(c.section) + " " + std::to_string(c.g) + " dB at " + std::to_string(c.sr);
        // the impulse response has decayed far below 1e-12 by its end; 0.01 dB covers it
        EXPECT_NEAR(gain_db(h, 1000, c.sr), c.g, 0.01) << what;
        for (double f = 950; f <= 1050; f += 10)
            EXPECT_LE(std::abs(gain_db(h, f, c.sr)), std::abs(c.g) + 1e-6) << what << " at " << f;
        double dc = 0;
        for (double v : h) dc += v;
        EXPECT_NEAR(dc, 1.0, 1e-9) << what;
        for (double f : {100.0, 10000.0}) EXPECT_NEAR(gain_db(h, f, c.sr), 0.0, 0.05) << what << " at " << f;
        double lo = crossing(h, c.sr, 800, 1000, c.g / 2), hi = crossing(h, c.sr, 1000, 1200, c.g / 2);
        double width = (1000.0 / c.sr) / 2.0 * c.sr / (2.0 * M_PI);
        EXPECT_NEAR(hi - lo, width, 0.01 * width) << what;
    }
}

// Shelves: the full gain at DC (low) or Nyquist (high), half of it in dB at the corner,
// unity at the other end. A single number in "gl/g1/g2/gh" only touches the low shelf.
TEST(Tonebands, ShelvesReachTheirGainAtTheBandEdges) {
    struct Case { tk::Atoms gains; double corner, g_dc, g_nyquist; };
    for (Case c : {Case{{6}, 250, 6, 0}, Case{{0, 0, 0, -9}, 8000, 0, -9}, Case{{-50}, 250, -50, 0}}) {
        tk::Patch p;
        tk::Box *b = make(p, {{"gl/g1/g2/gh", c.gains}});
        ASSERT_NE(b, nullptr);
        std::vector<double> h = render(p, b, tkt::impulse(16384));
        double dc = 0, ny = 0;
        for (std::size_t i = 0; i < h.size(); ++i) dc += h[i], ny += (i % 2 ? -h[i] : h[i]);
        std::string what = "shelf at " + std::to_string(c.corner) + " Hz";
        EXPECT_NEAR(tkt::db(std::abs(dc)), c.g_dc, 1e-6) << what;  // closed forms, rounding only
        EXPECT_NEAR(tkt::db(std::abs(ny)), c.g_nyquist, 1e-6) << what;
        EXPECT_NEAR(gain_db(h, c.corner, 44100), (c.g_dc + c.g_nyquist) / 2, 0.01) << what;
    }
}

// Out-of-range numbers post their line (lower limit tested first in the lists, upper first for
// master) and act exactly like the limit; limits themselves and entries past the arrays are silent.
TEST(Tonebands, ParameterMessagesClampAndPost) {
    struct Case { std::string sel; tk::Atoms args, same_as; std::vector<std::string> lines; };
    const std::string fmin = "Minimum Filter Frequency: 20 Hz", fmax = "Maximum Filter Frequency: 15000 Hz";
    const std::string gmin = "Minimum Filter Gain: -50 dB", gmax = "Maximum Filter Gain: 20 dB";
    const std::string mmin = "Minimum Master Value: -12 dB", mmax = "Maximum Master Value: 12 dB";
    std::vector<Case> cases = {
        {"gl/g1/g2/gh", {-60}, {-50}, {gmin}},
        {"gl/g1/g2/gh", {25, 30.5}, {20, 20}, {gmax, gmax}},
        {"gl/g1/g2/gh", {kNaN}, {-50}, {gmin}},
        {"gl/g1/g2/gh", {-50, 20}, {-50, 20}, {}},
        {"gl/g1/g2/gh", {3, 3, 3, 3, -100, 100}, {3, 3, 3, 3}, {}},
        {"fl/f1/f2/fh", {10, 20000}, {20, 15000}, {fmin, fmax}},
        {"fl/f1/f2/fh", {20000, 10}, {15000, 20}, {fmax, fmin}},
        {"fl/f1/f2/fh", {20, 15000, 1000, 1000, 5}, {20, 15000, 1000, 1000}, {}},
        {"q1/q2", {0.05, 7}, {0.1, 6}, {"Minimum Q Value: 0.1", "Maximum Q Value: 6"}},
        {"q1/q2", {2, 3, 0.01}, {2, 3}, {}},
        {"master", {12.5}, {12}, {mmax}},
        {"master", {-13}, {-12}, {mmin}},
        {"master", {kNaN}, {-12}, {mmin}},
        {"master", {12}, {12}, {}},
    };
    const std::vector<double> in = tkt::noise(2048, 0.5, 3);
    const Msgs boost = {{"gl/g1/g2/gh", {6, 6, 6, 6}}};  // every parameter audible
    for (const Case &c : cases) {
        tk::Patch pt, pr, pu;
        tk::Box *tested = make(pt, boost), *reference = make(pr, boost), *plain = make(pu, boost);
        ASSERT_NE(tested, nullptr);
        {
            tk::ConsoleCapture cap;
            pt.send(tested, c.sel, c.args);
            EXPECT_EQ(cap.texts(), c.lines) << c.sel << " " << tk::atoms_text(c.args);
        }
        pr.send(reference, c.sel, c.same_as);
        std::vector<double> a = render(pt, tested, in), r = render(pr, reference, in), u = render(pu, plain, in);
        ASSERT_TRUE(tkt::all_finite(a)) << c.sel << " " << tk::atoms_text(c.args);
        // 1e-6: the 32-bit host rounds message numbers such as 0.1 to single precision
        for (std::size_t i = 0; i < in.size(); ++i)
            ASSERT_NEAR(a[i], r[i], 1e-6) << c.sel << " " << tk::atoms_text(c.args) << ", sample " << i;
        EXPECT_FALSE(same_bits(a, u)) << c.sel << " " << tk::atoms_text(c.args) << " changed nothing";
    }
}

// Bypass copies the input bit for bit, NaN included, and keeps the memories for later; only the
// low eight bits of the number count, so 256 switches it off and 257 on.
TEST(Tonebands, BypassPassesTheInputAndResumesFromHeldMemories) {
    // one patch per box: a patch runs all its boxes, so a shared one would move both
    tk::Patch pa, pr;
    const Msgs setup = {{"gl/g1/g2/gh", {6, 12, -6, 3}}, {"q1/q2", {4, 0.5}}};
    tk::Box *a = make(pa, setup), *ref = make(pr, setup);
    ASSERT_NE(a, nullptr);
    std::vector<double> part1 = tkt::sine(1024, 1000, 44100), part2 = tkt::noise(1024, 0.5, 5);
    std::vector<double> part3 = tkt::noise(1024, 0.5, 6);
    part2[10] = kNaN;
    render(pa, a, part1);
    render(pr, ref, part1);
    {
        tk::ConsoleCapture cap;
        pa.send(a, "Bypass", {1});
        EXPECT_EQ(cap.texts(), std::vector<std::string>{"Bypass is ON"});
        EXPECT_TRUE(same_bits(render(pa, a, part2), part2));
        pa.send(a, "Bypass", {256});
        EXPECT_EQ(cap.texts().size(), 1u) << "switching off posts nothing";
    }
    EXPECT_TRUE(same_bits(render(pa, a, part3), render(pr, ref, part3)));
    tk::ConsoleCapture cap;
    pa.send(a, "Bypass", {257});
    EXPECT_EQ(cap.texts(), std::vector<std::string>{"Bypass is ON"});
    EXPECT_TRUE(same_bits(render(pa, a, part3), part3));
}

TEST(Tonebands, ResetStartsEverySectionFromSilence) {
    tk::Patch pa, pf;
    const Msgs setup = {{"gl/g1/g2/gh", {12, 12, 12, 12}}, {"q1/q2", {6, 6}}, {"fl/f1/f2/fh", {40}}};
    tk::Box *a = make(pa, setup), *fresh = make(pf, setup);
    ASSERT_NE(a, nullptr);
    render(pa, a, tkt::noise(4096, 0.9, 9));
    pa.send(a, "reset");
    std::vector<double> silent = render(pa, a, std::vector<double>(256, 0.0));
    EXPECT_TRUE(std::all_of(silent.begin(), silent.end(), [](double v) { return v == 0.0; }));
    std::vector<double> next = tkt::noise(2048, 0.5, 10);
    EXPECT_TRUE(same_bits(render(pa, a, next), render(pf, fresh, next)));
}

// A shelf as designed, with its fixed slope S = 0.707, evaluated at f Hz.
static std::complex<double> shelf_response(bool high, double corner, double g, double sr, double f) {
    const double A = std::sqrt(std::pow(10.0, g / 20.0)), w0 = 2.0 * M_PI * corner / sr;
    const double c = std::cos(w0), alpha = std::sin(w0) / 2.0 * std::sqrt((A + 1.0 / A) * (1.0 / 0.707 - 1.0) + 2.0);
    const double e = 2.0 * std::sqrt(A) * alpha, sign = high ? -1.0 : 1.0;
    const double b0 = A * ((A + 1) - sign * (A - 1) * c + e), b1 = sign * 2 * A * ((A - 1) - sign * (A + 1) * c);
    const double b2 = A * ((A + 1) - sign * (A - 1) * c - e), a0 = (A + 1) + sign * (A - 1) * c + e;
    const double a1 = -sign * 2 * ((A - 1) + sign * (A + 1) * c), a2 = (A + 1) + sign * (A - 1) * c - e;
    const std::complex<double> z = std::polar(1.0, -2.0 * M_PI * f / sr);
    return (b0 + b1 * z + b2 * z * z) / (a0 + a1 * z + a2 * z * z);
}

// Corners just below half the rate get their own design: a 10.8 kHz shelf at 22.05 kHz follows
// the shelf's response up to the top of the band.
TEST(Tonebands, ShelfCornersJustBelowHalfTheRateKeepTheirDesign) {
    const double sr = 22050.0;
    for (bool high : {false, true}) {
        for (double g : {12.0, -12.0, 20.0}) {
            tk::Patch p(sr, 64);
            tk::Box *b = make(p, high ? Msgs{{"fl/f1/f2/fh", {250, 500, 3000, 10800}}, {"gl/g1/g2/gh", {0, 0, 0, g}}}
                                      : Msgs{{"fl/f1/f2/fh", {10800}}, {"gl/g1/g2/gh", {g}}});
            ASSERT_NE(b, nullptr);
            std::vector<double> h = render(p, b, tkt::impulse(65536));
            for (double f : {100.0, 5000.0, 9000.0, 10800.0, 11000.0}) {
                // the other sections are identities at 0 dB; the response has died away long before
                // the end of the impulse response
                EXPECT_NEAR(gain_db(h, f, sr), tkt::db(std::abs(shelf_response(high, 10800.0, g, sr, f))), 1e-6)
                    << (high ? "high" : "low") << " shelf " << g << " dB at " << f << " Hz";
            }
        }
    }
}

// A corner at or above half the rate lies past the band: a high shelf there passes the input, a
// low shelf is its gain over the whole band. Nothing runs away at any of these rates.
TEST(Tonebands, ShelfCornersAtOrAboveHalfTheRateLieBeyondTheBand) {
    struct Case { double sr, corner; };
    for (Case c : {Case{22050, 11025}, Case{22050, 15000}, Case{8000, 4000}, Case{1000, 8000}, Case{1234.5678, 15000}}) {
        for (double g : {20.0, 6.0, -50.0}) {
            const std::string what = std::to_string(c.corner) + " Hz at " + std::to_string(c.sr) + " Hz, " + std::to_string(g) + " dB";
            tk::Patch ph(c.sr, 64), pl(c.sr, 64);
            tk::Box *high = make(ph, {{"fl/f1/f2/fh", {20, 20, 20, c.corner}}, {"gl/g1/g2/gh", {0, 0, 0, g}}});
            tk::Box *low = make(pl, {{"fl/f1/f2/fh", {c.corner}}, {"gl/g1/g2/gh", {g}}});
            ASSERT_NE(high, nullptr);
            ASSERT_NE(low, nullptr);
            std::vector<double> in = tkt::noise(20000, 0.5, 11);
            std::vector<double> yh = render(ph, high, in), yl = render(pl, low, in);
            // the 0 dB sections are identities to rounding
            const double gain = std::pow(10.0, g / 20.0);
            for (std::size_t i = 0; i < in.size(); ++i) {
                ASSERT_NEAR(yh[i], in[i], 1e-12) << "high shelf " << what << ", sample " << i;
                ASSERT_NEAR(yl[i], in[i] * gain, 1e-12 * gain) << "low shelf " << what << ", sample " << i;
            }
        }
    }
}

// A bell centred at or above half the rate lies past the band too: the section passes its input
// (it used to give its own gain at 0 Hz and ring on after the input stopped), while a bell just
// below half the rate keeps its design and leaves 0 Hz at unity.
TEST(Tonebands, BellsAtOrAboveHalfTheRateLieBeyondTheBand) {
    struct Case { double sr, centre; };
    for (Case c : {Case{1000, 15000}, Case{1000, 500}, Case{1234.5678, 1000}, Case{22050, 11025}, Case{8000, 15000}}) {
        for (double g : {12.0, -50.0}) {
            const std::string what = std::to_string(c.centre) + " Hz at " + std::to_string(c.sr) + " Hz, " + std::to_string(g) + " dB";
            tk::Patch p(c.sr, 7);
            tk::Box *b = make(p, {{"fl/f1/f2/fh", {20, c.centre, c.centre, 15000}}, {"gl/g1/g2/gh", {0, g, g, 0}}});
            ASSERT_NE(b, nullptr);
            std::vector<double> in = tkt::noise(4000, 0.5, 3);
            in.resize(8000, 0.0);
            std::vector<double> y = render(p, b, in);
            for (std::size_t i = 0; i < in.size(); ++i) ASSERT_NEAR(y[i], in[i], 1e-9) << what << ", sample " << i;
        }
    }
    tk::Patch p(1000, 64);
    tk::Box *b = make(p, {{"fl/f1/f2/fh", {20, 499, 20, 15000}}, {"gl/g1/g2/gh", {0, -50, 0, 0}}});
    ASSERT_NE(b, nullptr);
    std::vector<double> h(4000, 0.0);
    h[0] = 1;
    EXPECT_NEAR(gain_db(render(p, b, h), 0.0, 1000), 0.0, 0.01);
}

// A reset that arrives from another thread while a block runs: from the next block on every
// section starts from silence, not from the memories the block had kept.
TEST(Tonebands, ResetDuringABlockIsNotUndoneByIt) {
    for (int attempt = 0; attempt < 20; ++attempt) {  // the message may miss the block now and then
        tk::Patch p(44100.0, 4096);
        tk::Box *b = make(p, {{"gl/g1/g2/gh", {12, 12, 12, 12}}, {"q1/q2", {6, 6}}, {"fl/f1/f2/fh", {40}}});
        ASSERT_NE(b, nullptr);
        std::vector<double> loud = tkt::noise(4096, 0.9, 9);
        render(p, b, loud);
        std::atomic<bool> sent{false};
        std::thread messages([&] {
            while (!tildekit_performing) {
            }
            p.send(b, "reset");
            sent = true;
        });
        // the memories ring on in silence while the message is on its way
        while (!sent) render(p, b, std::vector<double>(4096, 0.0));
        messages.join();
        std::vector<double> y = render(p, b, std::vector<double>(4096, 0.0));
        for (std::size_t i = 0; i < y.size(); ++i) ASSERT_EQ(y[i], 0.0) << "attempt " << attempt << ", sample " << i;
    }
}

TEST(Tonebands, MemoryIsReturnedAndFailuresLeaveNoBox) {
    {
        tk::Patch p;
        tkt::expect_refused_without_leaks(p, "tonebands~", 7);
    }
    std::int64_t before = tk::memory_stats().live_blocks, in_perform = tk::allocations_in_perform();
    {
        tk::Patch p;
        tk::Box *b = make(p, {{"gl/g1/g2/gh", {3, 3, 3, 3}}});
        ASSERT_NE(b, nullptr);
        render(p, b, tkt::noise(1024));
    }
    EXPECT_EQ(tk::memory_stats().live_blocks, before);
    EXPECT_EQ(tk::allocations_in_perform(), in_perform);
}
