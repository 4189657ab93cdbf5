// peakguard~: look-ahead delay at each rate, linked limiting of a step and a loud sine at
// every vector size, gains between 0 and 1 at low rates and short releases, the input-gain
// ramp, bypass, posted lines, channel counts, bad input and memory; no sample more than 0.01 dB
// above the threshold for peaks far over it at any rate and vector size, a gain that has come
// down before a lone peak leaves the look-ahead, and ordinary limiting exactly as the plain
// arithmetic gives it.
#include "support.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>

namespace {

using Sig = std::vector<double>;
using Outs = std::vector<Sig>;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

double from_db(double db) { return std::pow(10.0, db / 20.0); }

// How far over the threshold a sample may leave: 0.01 dB. Ordinary limiting passes it by
// some 1e-5 dB and is left alone; a sample that would pass it by more is held at the
// threshold. The 1e-12 is rounding of the gain times the sample.
const double kAllowed = from_db(0.01) * (1.0 + 1e-12);

struct Rig {
    tk::Patch patch;
    tk::Box *box;
    explicit Rig(const std::string &text = "peakguard~", double sr = 48000.0, int block = 64)
        : patch(sr, block), box(patch.create(text)) {
        if (!box) throw tk::Error(text + " was not created");
    }
    void msg(const std::string &sel, const tk::Atoms &args = {}) { patch.send(box, sel, args); }
    Outs run(const std::vector<Sig> &ins) { return patch.process(box, ins, std::int64_t(ins[0].size())); }
};

TEST(PeakGuard, ClassBannerAndShape) {
    const tk::ClassInfo &c = tk::load_class("peakguard~");
    EXPECT_EQ(c.entry, "ext_main");
    EXPECT_EQ(c.creation_types, (std::vector<int>{8}));
    EXPECT_TRUE(c.dsp);
    const std::vector<std::pair<std::string, std::vector<int>>> expected = {
        {"dsp64", {9}}, {"assist", {9}}, {"Threshold", {2}}, {"Release", {2}}, {"Bypass", {1}}, {"InputGain", {2}}};
    ASSERT_EQ(c.methods.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(c.methods[i].selector, expected[i].first) << "method " << i;
        EXPECT_EQ(c.methods[i].types, expected[i].second) << expected[i].first;
    }
    ASSERT_EQ(c.banner.size(), 4u);
    EXPECT_EQ(c.banner[0], std::string(66, '-'));
    EXPECT_EQ(c.banner[2].rfind("tildekit ", 0), 0u) << c.banner[2];
    EXPECT_EQ(c.banner[3], "Default values> Threshold: -0.1  Release: 10.0 ms InputGain: 0.0 dB");

    Rig rig("peakguard~ 3");
    EXPECT_EQ(rig.box->signal_inlets(), 3);
    EXPECT_EQ(rig.box->signal_outlets(), 4);
    EXPECT_TRUE(rig.box->no_inplace());
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(rig.box->assist(1, i), "(signal) Input " + std::to_string(i + 1));
        EXPECT_EQ(rig.box->assist(2, i), "(signal) Output " + std::to_string(i + 1));
    }
    EXPECT_EQ(rig.box->assist(2, 3), "(signal) Gain Reduction");
    EXPECT_FALSE(rig.box->assist(1, 3).has_value());
    EXPECT_FALSE(rig.box->assist(2, 4).has_value());
}

TEST(PeakGuard, BelowThresholdTheOutputIsTheInputDelayed) {
    // The look-ahead follows the rate at creation: 56, 64, 128 and 256 samples.
    const std::vector<std::pair<double, std::size_t>> rates = {{44100, 56}, {48000, 64}, {96000, 128}, {192000, 256}};
    for (auto [sr, delay] : rates) {
        for (int block : {1, 3, 64, 100}) {
            Rig rig("peakguard~ 2", sr, block);
            Sig a = tkt::noise(2000, 0.9, 1), b = tkt::noise(2000, 0.5, 2);
            Outs o = rig.run({a, b});
            for (std::size_t i = 0; i < a.size(); ++i) {
                const double wa = i < delay ? 0.0 : a[i - delay];
                const double wb = i < delay ? 0.0 : b[i - delay];
                ASSERT_EQ(o[0][i], wa) << sr << " Hz, block " << block << ", sample " << i;
                ASSERT_EQ(o[1][i], wb) << sr << " Hz, block " << block << ", sample " << i;
                ASSERT_EQ(o[2][i], 1.0) << sr << " Hz, block " << block << ", sample " << i;
            }
        }
    }
}

// Look-ahead in samples at the rates the vector-size tests use.
std::size_t lookahead_at(double sr) { return sr > 130000 ? 256 : sr > 65000 ? 128 : sr == 44100 ? 56 : 64; }

// Every vector size holds the threshold, the ones shorter than a fast decision period and the
// ones that split it included (8 samples up to 65 kHz, 16 up to 130 kHz, 32 above).
const std::vector<int> kVectorSizes = {1, 2, 3, 4, 5, 7, 8, 64, 4096};
const std::vector<double> kRates = {44100, 48000, 96000, 192000};

TEST(PeakGuard, StepOnOneChannelIsCaughtAndAllChannelsShareTheGain) {
    // Channels are detected in pairs: the step goes to either of a pair and to the odd one out.
    const double threshold = from_db(-0.1);
    for (double sr : kRates) {
        const std::size_t delay = lookahead_at(sr);
        for (int block : kVectorSizes) {
            for (std::size_t loud : {1u, 2u}) {
                const std::string where = std::to_string(int(sr)) + " Hz, block " + std::to_string(block) +
                                          ", loud " + std::to_string(loud);
                Rig rig("peakguard~ 3", sr, block);
                const std::size_t n = 9600;
                Sig step(n, 0.0);
                for (std::size_t i = 1000; i < n; ++i) step[i] = 4.0;  // +12 dB, far over -0.1 dB
                std::vector<Sig> in = {tkt::sine(n, 440.0, sr, 0.5), tkt::noise(n, 0.3, 4), tkt::noise(n, 0.3, 5)};
                in[loud] = step;
                Outs o = rig.run(in);
                double worst = 0.0;
                for (std::size_t i = 0; i < n; ++i) worst = std::max(worst, std::fabs(o[loud][i]));
                // The gain is decided a look-ahead of D samples ahead, less up to a fast period P
                // where the vector ends inside one, and reaches its target through two one-pole
                // smoothers in a row (c = 10 / D per sample). After n samples they leave
                // (1 + n c / (1 - c)) (1 - c)^n of the gain's fall from 1 to 1/4 uncovered: at
                // n = D - P + 1 at most 1.3e-3 (192 kHz), which is 0.4 % of the final gain;
                // 0.5 % bounds it. Without the decisions carried across blocks it is +4 dB and more.
                EXPECT_LE(worst, threshold * 1.005) << where;
                EXPECT_GT(worst, threshold * 0.99) << where;  // it does reach the threshold
                // one gain for every channel, applied to the delayed input
                for (std::size_t i = delay; i < n; ++i)
                    for (std::size_t c = 0; c < 3; ++c)
                        ASSERT_EQ(o[c][i], o[3][i] * in[c][i - delay]) << where << ", channel " << c << ", sample " << i;
                // the gain settles at the threshold's inverse of the step
                EXPECT_NEAR(o[3].back(), threshold / 4.0, 1e-6 * threshold / 4.0) << where;
            }
        }
    }
}

TEST(PeakGuard, LoudSineIsHeldAtTheThresholdAtEveryVectorSize) {
    // A 100 Hz sine 18 dB over the threshold: every fast period sees a different peak, so a
    // gain that drifts back towards 1 between decisions shows at once.
    const double threshold = from_db(-0.1);
    for (double sr : kRates) {
        const std::size_t delay = lookahead_at(sr);
        const Sig in = tkt::sine(std::size_t(sr / 4), 100.0, sr, 8.0);
        for (int block : kVectorSizes) {
            Rig rig("peakguard~", sr, block);
            Outs o = rig.run({in});
            double worst = 0.0;
            for (double v : o[0]) worst = std::max(worst, std::fabs(v));
            // the sine's peaks change slowly: the smoothers are within 0.1 % of them
            EXPECT_LE(worst, threshold * 1.001) << sr << " Hz, block " << block;
            EXPECT_GT(worst, threshold * 0.95) << sr << " Hz, block " << block;
            for (std::size_t i = delay; i < in.size(); ++i)
                ASSERT_EQ(o[0][i], o[1][i] * in[i - delay]) << sr << " Hz, block " << block << ", sample " << i;
        }
    }
}

TEST(PeakGuard, VectorsThatSplitADecisionPeriodFollowTheWholeOnes) {
    // A vector that ends inside a fast period carries the last decisions on until the period's
    // own decision arrives with its last sample. With vectors of one sample every decision is
    // taken one period less one sample later than with vectors of whole periods, so the gain
    // is theirs delayed by that much, bit for bit, until the first sample that the late gain
    // would carry over the threshold and that is held at it instead. Other splits, and one-sample
    // vectors from then on, hold a period's targets a few samples longer or shorter as the
    // vector boundaries fall: their gain stays within the range the whole-period gain covers
    // over the period before, to well under 1 % (a gain drifting back towards 1 between
    // decisions leaves it by tens of per cent).
    const double ceiling = from_db(-0.1);
    for (double sr : kRates) {
        const std::size_t period = sr > 130000 ? 32 : sr > 65000 ? 16 : 8;
        Sig in = tkt::sine(std::size_t(sr / 2), 100.0, sr, 4.0);
        // faded in over 2000 samples, then a level that rises by 6 dB over 400 samples and
        // drops back at once
        for (std::size_t i = 0; i < in.size(); ++i)
            in[i] *= std::min(1.0, double(i) / 2000.0) * (1.0 + ((i / 1500) % 2 ? std::min(1.0, double(i % 1500) / 400.0) : 0.0));
        Rig whole("peakguard~", sr, int(period));
        whole.msg("InputGain", {3.0});  // the input-gain ramp is decided by the same slow decisions
        const Outs want = whole.run({in});
        for (int block : {1, 3, 5, 7, 12}) {
            Rig rig("peakguard~", sr, block);
            rig.msg("InputGain", {3.0});
            Outs o = rig.run({in});
            std::size_t from = period;
            if (block == 1) {
                while (from < in.size() && std::fabs(o[0][from]) < ceiling * (1.0 - 1e-12)) ++from;
                EXPECT_GT(from, 3 * lookahead_at(sr)) << sr << " Hz";  // many decisions compared
                for (std::size_t i = period - 1; i < from; ++i)
                    ASSERT_EQ(o[1][i], want[1][i - (period - 1)]) << sr << " Hz, sample " << i;
            }
            for (std::size_t i = from; i < in.size(); ++i) {
                double lo = want[1][i], hi = want[1][i];
                for (std::size_t j = i - period; j < i; ++j) {
                    lo = std::min(lo, want[1][j]);
                    hi = std::max(hi, want[1][j]);
                }
                ASSERT_GE(o[1][i], lo * 0.99) << sr << " Hz, block " << block << ", sample " << i;
                ASSERT_LE(o[1][i], hi * 1.01) << sr << " Hz, block " << block << ", sample " << i;
            }
        }
    }
}

TEST(PeakGuard, LowRatesKeepTheGainBetweenZeroAndOne) {
    // At low creation rates the look-ahead is a single fast period (8 samples): the smoothers
    // take at most the whole step towards their targets, so the gain never overshoots below
    // 0 (an inverted signal), and the 500 Hz detector, which cannot be slower than the rate,
    // passes its input instead of ringing away from its bias and muting the limiter.
    for (double sr : {1000.0, 1234.5678, 1500.0, 3000.0, 4000.0, 6000.0, 6666.0}) {
        for (int block : {1, 7, 64}) {
            const std::string where = std::to_string(sr) + " Hz, block " + std::to_string(block);
            Rig rig("peakguard~ 2", sr, block);
            const std::size_t n = std::size_t(3 * sr), loud = std::size_t(sr);
            Sig a = tkt::noise(n, 0.5, 21), b = tkt::noise(n, 0.5, 22);
            const Sig burst = tkt::sine(loud, 37.0, sr, 6.0);
            for (std::size_t i = 0; i < loud; ++i) a[i] = burst[i];  // a loud first second
            Outs o = rig.run({a, b});
            const double threshold = from_db(-0.1);
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_GE(o[2][i], 0.0) << where << ", sample " << i;
                ASSERT_LE(o[2][i], 1.0) << where << ", sample " << i;
                // one fast period of look-ahead leaves the smoothers little time: they cover
                // all but a few per cent of the burst's slowly changing peaks
                ASSERT_LE(std::fabs(o[0][i]), threshold * 1.05) << where << ", sample " << i;
            }
            // the last second is quiet: the gain is back at 1 (to the last bits a one-pole
            // leaves) and the input comes out delayed by the look-ahead of 8
            for (std::size_t i = 2 * loud; i < n; ++i) {
                ASSERT_NEAR(o[2][i], 1.0, 1e-12) << where << ", sample " << i;
                ASSERT_NEAR(o[1][i], b[i - 8], 1e-12) << where << ", sample " << i;
            }
        }
    }
}

TEST(PeakGuard, ShortestReleaseDoesNotLiftTheGainAboveItsTarget) {
    // A release shorter than a sample (0.01 ms up to 100 kHz, 1 ms at 1 kHz) brings the gain
    // back to its target within one sample, but not past it: beyond it the gain would
    // amplify and lift a sound just under the threshold over it.
    for (double sr : {1000.0, 8000.0, 22050.0, 48000.0}) {
        Rig rig("peakguard~ 1 -0.1 0.01", sr, 64);
        const std::size_t n = std::size_t(sr / 2);
        Sig in(n);
        for (std::size_t i = 0; i < n; ++i) in[i] = (i / 300) % 2 ? 4.0 : 0.98;  // bursts and a level just under
        Outs o = rig.run({in});
        const double threshold = from_db(-0.1);
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_LE(o[1][i], 1.0) << sr << " Hz, sample " << i;
            ASSERT_LE(std::fabs(o[0][i]), threshold * 1.002) << sr << " Hz, sample " << i;  // as for the step
        }
    }
}

TEST(PeakGuard, ReleaseLetsTheGainRiseAtItsOwnPace) {
    // After a burst, a longer release leaves the gain lower for longer.
    auto gain_after = [](double release_ms) {
        Rig rig("peakguard~ 1 -0.1 " + std::to_string(release_ms));
        Sig in(48000, 0.0);
        for (std::size_t i = 0; i < 4800; ++i) in[i] = 2.0;
        return rig.run({in})[1];
    };
    Sig fast = gain_after(10), slow = gain_after(1000);
    const std::size_t probe = 4800 + 64 + 2400;  // 50 ms after the burst has left the line
    EXPECT_LT(slow[probe], fast[probe]);
    EXPECT_GT(fast.back(), 0.999);  // a second later the 10 ms release is back at unity
    EXPECT_LT(slow.back(), 0.999);
}

TEST(PeakGuard, InputGainRampsLinearlyFromTheNextSlowDecision) {
    Rig rig;  // 48 kHz: fast period 8, slow period 8, delay 64
    rig.msg("InputGain", {6.0});
    const double target = std::pow(10.0, 0.05 * 6.0);
    Sig in = tkt::constant(1024, 0.1);
    Outs o = rig.run({in});
    // gained input g[n] = 0.1 up to the first slow decision at 64, then a straight line over
    // slow x fast = 64 samples to 0.1 * target, reached at 128; the output is it delayed by 64
    auto gained = [&](std::size_t n) {
        if (n < 64) return 0.1;
        if (n >= 128) return 0.1 * target;
        return 0.1 * (1.0 + double(n - 64) * (target - 1.0) / 64.0);
    };
    for (std::size_t i = 64; i < in.size(); ++i)
        ASSERT_NEAR(o[0][i], gained(i - 64), 1e-14) << "sample " << i;  // rounding of 64 steps
    for (std::size_t i = 0; i < in.size(); ++i) ASSERT_EQ(o[1][i], 1.0) << "gain, sample " << i;
}

TEST(PeakGuard, BypassPassesTheInputAndKeepsTheGainOutletAtOne) {
    Rig rig("peakguard~ 2");
    {
        tk::ConsoleCapture cap;
        rig.msg("Bypass", {256});  // only the low eight bits count: still off
        EXPECT_TRUE(cap.texts().empty());
    }
    Sig a = tkt::noise(512, 3.0, 5), b = tkt::noise(512, 0.2, 6);
    Outs active = rig.run({a, b});
    EXPECT_EQ(active[0][0], 0.0);  // still limiting and delaying
    {
        tk::ConsoleCapture cap;
        rig.msg("Bypass", {257});
        EXPECT_EQ(cap.texts(), std::vector<std::string>{"Bypass is ON"});
    }
    Outs by = rig.run({a, b});
    for (std::size_t i = 0; i < a.size(); ++i) {
        ASSERT_EQ(by[0][i], a[i]) << "sample " << i;
        ASSERT_EQ(by[1][i], b[i]) << "sample " << i;
        ASSERT_EQ(by[2][i], 1.0) << "sample " << i;
    }
    {
        tk::ConsoleCapture cap;
        rig.msg("Bypass", {0});
        EXPECT_TRUE(cap.texts().empty());
    }
    // the state was frozen: limiting goes on as if the bypassed block had never been
    Outs again = rig.run({a, b});
    Rig straight("peakguard~ 2");
    straight.run({a, b});
    Outs want = straight.run({a, b});
    for (int o = 0; o < 3; ++o)
        for (std::size_t i = 0; i < a.size(); ++i)
            ASSERT_EQ(again[std::size_t(o)][i], want[std::size_t(o)][i]) << "outlet " << o << " sample " << i;
}

TEST(PeakGuard, MessageLimitsAndTheirLines) {
    Rig rig;
    auto lines = [&](const std::string &sel, double v) {
        tk::ConsoleCapture cap;
        rig.msg(sel, {v});
        return cap.texts();
    };
    using V = std::vector<std::string>;
    const V release{"Release time: 0.01 - 3000.0 ms"};
    EXPECT_EQ(lines("Release", 3000), release);  // the limits themselves post too
    EXPECT_EQ(lines("Release", 0.01), release);
    EXPECT_EQ(lines("Release", 5000), release);
    EXPECT_EQ(lines("Release", 0.001), release);
    EXPECT_EQ(lines("Release", kNaN), release);
    EXPECT_EQ(lines("Release", 2999), V{});
    EXPECT_EQ(lines("Release", 0.02), V{});
    EXPECT_EQ(lines("Threshold", 1), V{"Threshold Maximum: 0.5"});
    EXPECT_EQ(lines("Threshold", 0.5), V{});
    EXPECT_EQ(lines("Threshold", -200), V{});  // no lower limit
    EXPECT_EQ(lines("InputGain", 40), V{"Input Gain Maximum: 30. dB"});
    EXPECT_EQ(lines("InputGain", 30), V{});
    EXPECT_EQ(lines("InputGain", -200), V{});

    // creation arguments pass through the same checks
    tk::ConsoleCapture cap;
    Rig made("peakguard~ 1 2 5000");
    EXPECT_EQ(cap.texts(), (V{"Threshold Maximum: 0.5", "Release time: 0.01 - 3000.0 ms"}));
}

TEST(PeakGuard, ThresholdSetsTheCeiling) {
    // -6 dB: a steady full-scale square is brought to half, the gain to the threshold.
    Rig rig("peakguard~ 1 -6");
    Sig in(24000);
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = (i / 50) % 2 ? 1.0 : -1.0;
    Outs o = rig.run({in});
    const double ceiling = from_db(-6.0);
    // settled: the smoothers' residue after thousands of samples is below 1e-6
    for (std::size_t i = in.size() / 2; i < in.size(); ++i) ASSERT_NEAR(std::fabs(o[0][i]), ceiling, 1e-6) << "sample " << i;
}

TEST(PeakGuard, ChannelCounts) {
    tk::Patch patch(48000.0, 64);
    const std::vector<std::tuple<std::string, int, bool>> cases = {
        {"peakguard~", 1, false},   {"peakguard~ 2.9", 2, false}, {"peakguard~ 0", 1, true},
        {"peakguard~ -3", 1, true}, {"peakguard~ 0.5", 1, true},  {"peakguard~ 128", 128, false},
        {"peakguard~ 129", 128, true}, {"peakguard~ 1e12", 128, true}};
    for (const auto &[text, count, complains] : cases) {
        tk::ConsoleCapture cap;
        tk::Box *box = patch.create(text);
        ASSERT_NE(box, nullptr) << text;
        EXPECT_EQ(box->signal_inlets(), count) << text;
        EXPECT_EQ(box->signal_outlets(), count + 1) << text;
        const auto errors = cap.texts(tk::ConsoleLine::Error);
        if (complains) {
            ASSERT_EQ(errors.size(), 1u) << text;
            EXPECT_EQ(errors[0].rfind("peakguard~: ", 0), 0u) << errors[0];
        } else {
            EXPECT_TRUE(errors.empty()) << text;
        }
        patch.free(box);
    }
    // the widest box runs like any other
    tk::Box *wide = patch.create("peakguard~ 128");
    std::vector<Sig> ins(128, tkt::noise(256, 0.5, 9));
    auto o = patch.process(wide, ins, 256);
    ASSERT_EQ(o.size(), 129u);
    EXPECT_EQ(o[127][64], ins[127][0]);
}

TEST(PeakGuard, BadSamplesAreSilenceAndTheLimiterRecovers) {
    // NaN and infinities count as zeros everywhere: the render equals the one with zeros in
    // their place, so the low-pass state never keeps them.
    Sig a = tkt::noise(9600, 1.5, 7), b = tkt::noise(9600, 0.5, 8);
    Sig za = a, zb = b;
    for (std::size_t i : {100u, 101u, 4000u}) { a[i] = kNaN; za[i] = 0.0; }
    for (std::size_t i : {200u, 5000u}) { b[i] = (i % 2) ? -kInf : kInf; zb[i] = 0.0; }
    Rig bad("peakguard~ 2"), clean("peakguard~ 2");
    Outs got = bad.run({a, b}), want = clean.run({za, zb});
    for (int o = 0; o < 3; ++o) {
        EXPECT_TRUE(tkt::all_finite(got[std::size_t(o)])) << "outlet " << o;
        for (std::size_t i = 0; i < a.size(); ++i)
            ASSERT_EQ(got[std::size_t(o)][i], want[std::size_t(o)][i]) << "outlet " << o << " sample " << i;
    }
}

TEST(PeakGuard, NaNInputGainRecoversOnTheNextValue) {
    Rig rig;
    rig.msg("InputGain", {kNaN});
    Outs o = rig.run({tkt::noise(2048, 0.5, 10)});
    EXPECT_TRUE(tkt::all_finite(o[0]));
    EXPECT_TRUE(tkt::all_finite(o[1]));
    rig.msg("InputGain", {0.0});
    Sig in = tkt::noise(4096, 0.5, 11);
    o = rig.run({in});
    // the gain snaps back at the first slow decision; from then on, input delayed by 64
    for (std::size_t i = 256; i < in.size(); ++i) ASSERT_EQ(o[0][i], in[i - 64]) << "sample " << i;
}

TEST(PeakGuard, MemoryIsCheckedAndReturned) {
    tk::Patch patch(48000.0, 64);
    tk::load_class("peakguard~");
    // entries, low-pass states, the over-threshold line, table of lines, one line per channel
    tkt::expect_refused_without_leaks(patch, "peakguard~ 3", 7);
    const tk::MemoryStats before = tk::memory_stats();
    const std::int64_t in_perform = tk::allocations_in_perform();
    tk::Box *box = patch.create("peakguard~ 3");
    ASSERT_NE(box, nullptr);
    patch.process(box, {tkt::noise(1024, 2.0, 1), tkt::noise(1024, 0.5, 2)}, 1024);
    EXPECT_EQ(tk::allocations_in_perform(), in_perform);
    patch.free(box);
    EXPECT_EQ(tk::memory_stats().live_blocks, before.live_blocks);
    EXPECT_EQ(tk::memory_stats().live_bytes, before.live_bytes);
}


// Look-ahead in samples at any rate: whole fast periods covering 1.2 ms.
std::size_t delay_at(double sr) {
    const double period = sr > 130000 ? 32 : sr > 65000 ? 16 : 8;
    return std::size_t(std::max(1.0, std::ceil(sr * 0.0012000000569969416 / period)) * period);
}

// Rates with look-aheads of one fast period, of 7 to 9 and of 10 or more (60-65 kHz,
// 120-130 kHz, 240 kHz up), odd ones among them.
const std::vector<double> kAllRates = {1000, 1234.5678, 7000, 44100, 48000, 64000, 88200, 125000, 192000, 256000, 384000};

TEST(PeakGuard, NoSampleLeavesAboveTheThreshold) {
    // Peaks far over the threshold after silence, impulse trains with a release of a few
    // samples, a sine 60 dB over in bursts, and square waves and noise at the largest input
    // gain: no output sample exceeds the threshold by more than 0.01 dB, from the first one on
    // (the smoothed gain alone leaves +1.6 dB at 60 dB over, more at InputGain 30, +0.1 to
    // +1.2 dB on lone peaks from 60 kHz), and the gain outlet carries the gain that was applied
    // (output = gain x the delayed input, on every channel).
    struct Case {
        const char *what;
        double threshold_db, release_ms, input_gain_db;
        std::function<double(std::size_t i, double sr)> loud;
    };
    // thresholds that a 32-bit host's single-float messages carry exactly
    const std::vector<Case> cases = {
        {"lone impulses 40 dB over", -0.5, 10, 0,
         [](std::size_t i, double sr) { return i % std::size_t(sr * 0.013 + 107) == 101 ? 99.0 : 0.0; }},
        {"impulses 12 dB over -13.375 dB with a release of 2999 ms", -13.375, 2999, 0,
         [](std::size_t i, double sr) { return i % std::size_t(sr * 0.0151 + 3) == 5 ? 0.86 : 0.0; }},
        {"impulse trains, release of a few samples", -0.5, 0.05, 0,
         [](std::size_t i, double) { return (i % 5 == 0 || i % 7 == 3) && (i / 700) % 2 ? ((i / 35) % 3 + 1) * 10.0 : 0.0; }},
        {"sine bursts 60 dB over", -20, 10, 0,
         [](std::size_t i, double sr) { return (i / std::size_t(sr * 0.02 + 1)) % 2 ? 100.0 * std::sin(0.37 * double(i)) : 0.0; }},
        {"square at InputGain 30", -0.5, 1, 30,
         [](std::size_t i, double sr) { return (i / std::size_t(sr * 0.001 + 1)) % 2 ? 0.9 : -0.9; }},
        {"noise bursts and impulses at InputGain 30", -3, 0.2, 30,
         [](std::size_t i, double sr) {
             const std::uint32_t h = std::uint32_t(i) * 2654435761u;
             if (i % std::size_t(sr * 0.009 + 11) == 0) return 1.0;
             return (i / std::size_t(sr * 0.004 + 1)) % 3 == 0 ? double(h >> 8) / double(1u << 24) - 0.5 : 0.0;
         }},
    };
    for (double sr : kAllRates) {
        const std::size_t delay = delay_at(sr);
        const std::size_t n = std::max<std::size_t>(6000, std::size_t(sr * 0.08));
        for (int block : {1, 7, 2027, 4096}) {
            for (std::size_t c = 0; c < cases.size(); ++c) {
                const Case &k = cases[c];
                const std::string where = std::string(k.what) + ", " + std::to_string(sr) + " Hz, block " + std::to_string(block);
                Rig rig("peakguard~ 3", sr, block);
                rig.msg("Threshold", {k.threshold_db});
                rig.msg("Release", {k.release_ms});
                // the input gain ramps in from the first slow decision: the input starts after it
                if (k.input_gain_db != 0.0) rig.msg("InputGain", {k.input_gain_db});
                const std::size_t start = k.input_gain_db > 0 ? 2 * delay + 1024 : 0;
                const std::size_t loud = c % 3;  // the loud channel: either of the pair, or the odd one
                std::vector<Sig> in(3, Sig(n, 0.0));
                for (std::size_t i = start; i < n; ++i) {
                    in[loud][i] = k.loud(i, sr);
                    in[(loud + 1) % 3][i] = 0.05 * std::sin(0.01 * double(i));
                }
                Outs o = rig.run(in);
                const double ceiling = from_db(k.threshold_db);
                const double g_in = from_db(k.input_gain_db);
                for (std::size_t i = 0; i < n; ++i) {
                    ASSERT_GE(o[3][i], 0.0) << where << ", sample " << i;
                    ASSERT_LE(o[3][i], 1.0) << where << ", sample " << i;
                    for (std::size_t ch = 0; ch < 3; ++ch) {
                        ASSERT_LE(std::fabs(o[ch][i]), ceiling * kAllowed) << where << ", channel " << ch << ", sample " << i;
                        if (i >= delay && k.input_gain_db == 0.0) {
                            ASSERT_EQ(o[ch][i], o[3][i] * in[ch][i - delay]) << where << ", channel " << ch << ", sample " << i;
                        }
                    }
                    // a constant input gain once ramped: the gain outlet is the one applied
                    if (k.input_gain_db > 0 && i >= start + delay && in[loud][i - delay] != 0.0) {
                        ASSERT_NEAR(o[loud][i] / (g_in * in[loud][i - delay]), o[3][i], 1e-12) << where << ", sample " << i;
                    }
                }
                double worst = 0.0;
                for (double v : o[loud]) worst = std::max(worst, std::fabs(v));
                EXPECT_GT(worst, ceiling * 0.9) << where;  // it is limiting, not muting
            }
        }
    }
}

TEST(PeakGuard, ALonePeakLeavesAtTheThresholdWhateverTheLookAhead) {
    // The gain starts falling when a peak enters the look-ahead, and the history holds the
    // peak's target for 12 writes. Up to nine fast periods of look-ahead that lasts until the
    // peak has left: on the sample before, the gain is within 1 % of its target. Longer
    // look-aheads (from 60 kHz at 8-sample periods, 120 kHz at 16, 240 kHz at 32) release the
    // target a write or two before the peak leaves and the gain has risen again (+1.4 % at
    // 64 kHz, +14 % at 384 kHz): the peak itself is held at the threshold all the same. Lone
    // peaks 12 dB over at every position in a slow decision's period.
    for (double sr : {48000.0, 96000.0, 192000.0, 64000.0, 125000.0, 256000.0, 384000.0}) {
        const std::size_t delay = delay_at(sr);
        const std::size_t period = sr > 130000 ? 32 : sr > 65000 ? 16 : 8;
        const bool held_until_it_leaves = delay / period <= 9;
        const std::size_t spacing = std::size_t(sr * 0.02) + 1, peaks = 8 * period;
        Sig in(spacing * (peaks + 1), 0.0);
        for (std::size_t k = 0; k < peaks; ++k) in[spacing * (k + 1) + k] = 4.0;
        for (int block : {1, 64, 4096}) {
            Rig rig("peakguard~", sr, block);
            Outs o = rig.run({in});
            const double target = from_db(-0.1) / 4.0;
            for (std::size_t k = 0; k < peaks; ++k) {
                const std::size_t out = spacing * (k + 1) + k + delay;
                if (held_until_it_leaves) {
                    ASSERT_LE(o[1][out - 1], target * 1.01) << sr << " Hz, block " << block << ", peak " << k;
                }
                ASSERT_LE(std::fabs(o[0][out]), from_db(-0.1) * kAllowed) << sr << " Hz, block " << block << ", peak " << k;
            }
        }
    }
}

// The limiter's arithmetic written out plainly, for checking that ordinary limiting is exactly
// it: every block starts with both targets at 1, decisions at the end of each fast period,
// the minimum held for 12 writes, smoothers stepped every sample, nothing else. Where its own
// output stays within 0.01 dB of the threshold the object must give this output bit for bit.
struct PlainLimiter {
    int channels, fast_period, slow_period = 8, delay_length, size;
    double threshold_factor, release_coefficient, lowpass_coefficient, fast_coefficient, slow_coefficient;
    std::vector<Sig> lines;
    std::vector<double> lowpass;
    double entries[32];
    int hold_count = 12, write = 0;
    double minimum = 1.0;
    int read = 0, fast_countdown, slow_countdown;
    double fast_peak = 0, slow_peak = 0, gain_fast = 1, gain_slow = 1, gain_out = 1;

    PlainLimiter(int ch, double sr, double threshold_db, double release_ms) : channels(ch) {
        fast_period = sr > 130000 ? 32 : sr > 65000 ? 16 : 8;
        delay_length = int(std::ceil(sr * 0.0012000000569969416 / fast_period)) * fast_period;
        size = 64;
        while (size < delay_length + fast_period) size *= 2;
        threshold_factor = std::pow(10.0, -0.05 * threshold_db);
        release_coefficient = 1.0 / (release_ms / 1000.0 * sr);
        lowpass_coefficient = 3140.0 / sr;
        fast_coefficient = 10.0 / delay_length;
        slow_coefficient = fast_coefficient / slow_period;
        lines.assign(std::size_t(ch), Sig(std::size_t(size), 0.0));
        lowpass.assign(std::size_t(ch), 0.0);
        std::fill(std::begin(entries), std::end(entries), 1.0);
        fast_countdown = fast_period;
        slow_countdown = slow_period;
    }
    double history(double v) {
        entries[write] = v;
        if (v <= minimum) {
            minimum = v;
            hold_count = 12;
        } else if (--hold_count == 0) {
            minimum = v;
            hold_count = 12;
            for (int j = 1 - 12; j <= -1; ++j) {
                const double e = entries[(write + j) & 31];
                if (e < minimum) {
                    minimum = e;
                    hold_count = 12 + j;
                }
            }
        }
        write = (write + 1) & 31;
        return minimum;
    }
    static double target(double peak, double factor) {
        const double p = peak * factor;
        return p > 1.0 ? 1.0 / p : 1.0;
    }
    // Outlets as the object's: the channels, then the gain.
    Outs run(const std::vector<Sig> &in, int block) {
        const std::size_t n = in[0].size();
        Outs out(std::size_t(channels) + 1, Sig(n, 0.0));
        for (std::size_t start = 0; start < n; start += std::size_t(block)) {
            const int len = int(std::min<std::size_t>(std::size_t(block), n - start));
            double target_fast = 1.0, target_slow = 1.0;
            int w = (read + delay_length) & (size - 1), done = 0;
            while (done < len) {
                const int chunk = std::min(fast_countdown, len - done);
                for (int j = 0; j < channels; ++j) {
                    double z = lowpass[std::size_t(j)];
                    for (int k = 0; k < chunk; ++k) {
                        const double x = in[std::size_t(j)][start + std::size_t(done + k)];  // input gain 1
                        lines[std::size_t(j)][std::size_t(w + k)] = x;
                        fast_peak = std::max(fast_peak, std::fabs(x));
                        z = z + ((x - z) * lowpass_coefficient + 9.999999682655225e-21);
                        slow_peak = std::max(slow_peak, std::fabs(z));
                    }
                    lowpass[std::size_t(j)] = z;
                }
                fast_countdown -= chunk;
                if (fast_countdown == 0) {
                    target_fast = history(target(fast_peak, threshold_factor));
                    fast_peak = 0;
                    fast_countdown = fast_period;
                    if (--slow_countdown == 0) {
                        target_slow = history(target(slow_peak, threshold_factor));
                        slow_peak = 0;
                        slow_countdown = slow_period;
                    }
                }
                for (int k = 0; k < chunk; ++k) {
                    gain_slow += (target_slow - gain_slow) * slow_coefficient;
                    gain_fast += (target_fast - gain_fast) * fast_coefficient;
                    const double m = std::min(gain_slow, gain_fast);
                    const double c = gain_out > m ? fast_coefficient : release_coefficient;
                    gain_out += c * (m - gain_out);
                    const std::size_t i = start + std::size_t(done + k);
                    out[std::size_t(channels)][i] = gain_out;
                    for (int j = 0; j < channels; ++j) out[std::size_t(j)][i] = gain_out * lines[std::size_t(j)][std::size_t(read + k)];
                }
                read = (read + chunk) & (size - 1);
                w = (w + chunk) & (size - 1);
                done += chunk;
            }
        }
        return out;
    }
};

TEST(PeakGuard, OrdinaryLimitingIsThePlainArithmeticBitForBit) {
    // Noise rising from 12 dB under to 6 dB over a -3 dB threshold: the plain arithmetic passes
    // the threshold by 1e-5 to 5e-5 dB here and there (its smoothers leave a sliver
    // of each fall uncovered), which is within the 0.01 dB the limiter allows itself, so the
    // ceiling check must not touch a single sample. Stereo, with the louder noise on either
    // channel in turn. At 64 kHz the look-ahead is ten fast periods, longer than the history
    // holds a minimum for: the gain is the plain one there too.
    struct Setting { double sr; int block; unsigned seed; };
    for (const Setting &s : {Setting{22050, 8, 31}, Setting{44100, 64, 32}, Setting{64000, 64, 35}}) {
        const std::string where = std::to_string(int(s.sr)) + " Hz, block " + std::to_string(s.block);
        const std::size_t n = 4000;
        const double ceiling = from_db(-3.0);
        std::vector<Sig> in = {tkt::noise(n, 1.0, s.seed), tkt::noise(n, 1.0, s.seed + 100)};
        for (std::size_t i = 0; i < n; ++i) {
            const double level = ceiling * from_db(-12.0 + 18.0 * double(i) / double(n));
            in[0][i] *= (i / 500) % 2 ? level : 0.5 * level;
            in[1][i] *= (i / 500) % 2 ? 0.5 * level : level;
        }
        PlainLimiter plain(2, s.sr, -3.0, 10.0);
        const Outs want = plain.run(in, s.block);
        double worst = 0.0;
        for (int j = 0; j < 2; ++j)
            for (double v : want[std::size_t(j)]) worst = std::max(worst, std::fabs(v));
        // the case this pins: over the threshold, but by less than the allowance
        ASSERT_GT(worst, ceiling) << where;
        ASSERT_LT(worst, ceiling * from_db(0.01)) << where;
        Rig rig("peakguard~ 2 -3 10", s.sr, s.block);
        const Outs got = rig.run(in);
        for (std::size_t o = 0; o < 3; ++o)
            for (std::size_t i = 0; i < n; ++i)
                ASSERT_EQ(got[o][i], want[o][i]) << where << ", outlet " << o << ", sample " << i;
    }
}

}  // namespace
