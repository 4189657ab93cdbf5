// tribandsquash~: crossover responses and reconstruction, solo and bypass, the band
// compressors' steady state, list clamps and their lines, retuning, reset, bad input.
#include "support.h"

#include <limits>

namespace {

using Sig = std::vector<double>;
using Outs = std::vector<Sig>;
using cplx = std::complex<double>;

constexpr double kSr = 44100.0;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

double from_db(double db) { return std::pow(10.0, db / 20.0); }

struct Rig {
    tk::Patch patch;
    tk::Box *box;
    explicit Rig(int block = 64, double sr = kSr) : patch(sr, block), box(patch.create("tribandsquash~")) {
        if (!box) throw tk::Error("tribandsquash~ was not created");
    }
    void msg(const std::string &sel, const tk::Atoms &args = {}) { patch.send(box, sel, args); }
    Outs run(const Sig &in) { return patch.process(box, {in}, std::int64_t(in.size())); }
    // All three compressors out of the way: the bands are the bare crossover outputs.
    void linear() { msg("bypass_lst", {1, 1, 1}); }
};

// The crossover halves as analogue prototypes, bilinear with the crossover pre-warped:
// low (1 + 0.75 s) / (s^2 + 1.5 s + 1), high (s^2 + 0.75 s) / (same); low + high = 1.
cplx warped(double f, double f0, double sr) {
    return cplx(0.0, std::tan(M_PI * f / sr) / std::tan(M_PI * f0 / sr));
}
cplx low_half(double f, double f0, double sr) {
    cplx s = warped(f, f0, sr);
    return (1.0 + 0.75 * s) / (s * s + 1.5 * s + 1.0);
}
cplx high_half(double f, double f0, double sr) {
    cplx s = warped(f, f0, sr);
    return (s * s + 0.75 * s) / (s * s + 1.5 * s + 1.0);
}
cplx band_response(int band, double f, double lo, double hi, double sr) {
    switch (band) {
    case 0: return low_half(f, lo, sr);
    case 1: return high_half(f, lo, sr) * low_half(f, hi, sr);
    default: return high_half(f, lo, sr) * high_half(f, hi, sr);
    }
}

// Response of a soloed band of a linear box at f (whole Hz), measured over the second of
// a two-second sine render: a whole number of periods, so the correlation has no leakage.
cplx measured(Rig &rig, double f, double sr) {
    const std::size_t n = std::size_t(2.0 * sr);
    Sig in = tkt::sine(n, f, sr);
    Outs o = rig.run(in);
    return tkt::phasor_at(o[0], f, sr, n / 2) / tkt::phasor_at(in, f, sr, n / 2);
}

TEST(TribandSquash, ClassBannerAndShape) {
    const tk::ClassInfo &c = tk::load_class("tribandsquash~");
    EXPECT_EQ(c.entry, "ext_main");
    EXPECT_TRUE(c.creation_types.empty());
    EXPECT_TRUE(c.dsp);
    const std::vector<std::pair<std::string, std::vector<int>>> expected = {
        {"dsp64", {9}},   {"attacks", {8}}, {"releases", {8}},   {"knees", {8}},  {"ratios", {8}},
        {"threshs", {8}}, {"makeups", {8}}, {"locut", {2}},      {"hicut", {2}},  {"bypass_lst", {8}},
        {"master", {2}},  {"soloband", {8}}, {"flreset", {}}};
    ASSERT_EQ(c.methods.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(c.methods[i].selector, expected[i].first) << "method " << i;
        EXPECT_EQ(c.methods[i].types, expected[i].second) << expected[i].first;
    }
    ASSERT_EQ(c.banner.size(), 3u);
    EXPECT_EQ(c.banner[0], std::string(66, '-'));
    EXPECT_EQ(c.banner[2].rfind("tildekit ", 0), 0u) << c.banner[2];

    Rig rig;
    EXPECT_EQ(rig.box->signal_inlets(), 1);
    EXPECT_EQ(rig.box->signal_outlets(), 4);
    EXPECT_TRUE(rig.box->no_inplace());
    EXPECT_FALSE(rig.box->assist(1, 0).has_value());  // no assist method
    EXPECT_FALSE(rig.box->assist(2, 1).has_value());
}

TEST(TribandSquash, AllBandsBypassedReconstructTheInputUnderTheMasterTrim) {
    // The two crossovers are complementary, so the three bands add back to the input.
    Sig in = tkt::noise(8192, 0.5, 7);
    for (double trim : {0.0, -6.0, 12.5}) {
        Rig rig;
        rig.linear();
        rig.msg("master", {trim});
        Outs o = rig.run(in);
        // rounding of four sections and a sum: far below 1e-12 at this level
        for (std::size_t i = 0; i < in.size(); ++i)
            ASSERT_NEAR(o[0][i], in[i] * from_db(trim), 1e-12) << "trim " << trim << " sample " << i;
    }
}

TEST(TribandSquash, SoloedBandsFollowTheCrossoverResponses) {
    const double lo = 160.0, hi = 1400.0;
    for (int band = 0; band < 3; ++band) {
        for (double f : {40.0, 160.0, 500.0, 1400.0, 6000.0}) {
            Rig rig;
            rig.linear();
            tk::Atoms solo = {0, 0, 0};
            solo[std::size_t(band)] = 1;
            rig.msg("soloband", solo);
            cplx h = measured(rig, f, kSr);
            cplx want = band_response(band, f, lo, hi, kSr);
            // settled sine, whole periods: what is left is rounding of the sums
            EXPECT_NEAR(std::abs(h - want), 0.0, 1e-9) << "band " << band << " at " << f << " Hz";
        }
    }
    // Both halves of a crossover are 1.58 dB down at its frequency.
    EXPECT_NEAR(tkt::db(std::abs(low_half(160.0, 160.0, kSr))), -1.5836, 1e-4);
}

TEST(TribandSquash, SoloOfTwoBandsIsTheirSumAndComplementsTheThird) {
    Sig in = tkt::noise(4096, 0.5, 3);
    auto render = [&](tk::Atoms solo) {
        Rig rig;
        rig.linear();
        rig.msg("soloband", solo);
        return rig.run(in)[0];
    };
    Sig low_high = render({1, 0, 1});
    Sig mid = render({0, 1, 0});
    Sig low = render({1, 0, 0});
    Sig high = render({0.0, 0.0, 0.7});  // any value above 0.5 solos
    for (std::size_t i = 0; i < in.size(); ++i) {
        ASSERT_NEAR(low_high[i] + mid[i], in[i], 1e-12) << "sample " << i;
        ASSERT_NEAR(low_high[i], low[i] + high[i], 1e-12) << "sample " << i;
    }
    // a switch at 0.5 is off: no solo at all, the full sum
    Sig none = render({0.5, 0.5, 0.5});
    for (std::size_t i = 0; i < in.size(); ++i) ASSERT_NEAR(none[i], in[i], 1e-12) << "sample " << i;
}

TEST(TribandSquash, LowBandCompressorSettlesOnTheStaticCurve) {
    // DC lies wholly in the low band: 0 dB against -20 dB at ratio 4 leaves -15 dB of gain.
    Rig rig;
    Outs o = rig.run(tkt::constant(88200, 1.0));
    const double g = from_db(-15.0);
    // The step's start reaches the mid and high bands and reduces them briefly; after two
    // seconds their 80 ms release has left exp(-25) of that, and the low band's attack
    // exp(-200) of its approach: 1e-9 is far above both.
    EXPECT_NEAR(o[1].back(), g, 1e-9);
    EXPECT_NEAR(o[2].back(), 1.0, 1e-9);
    EXPECT_NEAR(o[3].back(), 1.0, 1e-9);
    EXPECT_NEAR(o[0].back(), g, 1e-9);

    // make-up lifts the band's output, not its gain outlet; master trims after it
    Rig up;
    up.msg("makeups", {6.0});
    up.msg("master", {-3.0});
    Outs u = up.run(tkt::constant(88200, 1.0));
    EXPECT_NEAR(u[1].back(), g, 1e-9);
    EXPECT_NEAR(u[0].back(), g * from_db(6.0) * from_db(-3.0), 1e-9);
}

TEST(TribandSquash, BandBypassedFromCreationShowsZeroGain) {
    Rig rig;
    rig.msg("bypass_lst", {0, 1});  // a short list changes only the first bands
    Outs o = rig.run(tkt::noise(2048, 0.5, 5));
    for (std::size_t i = 0; i < o[2].size(); ++i) ASSERT_EQ(o[2][i], 0.0) << "mid gain, sample " << i;
    EXPECT_GT(o[1].back(), 0.0);
    EXPECT_GT(o[3].back(), 0.0);
}

TEST(TribandSquash, ListClampsPostTheirLinesAndTakeTheLimits) {
    Rig rig;
    {
        tk::ConsoleCapture cap;
        rig.msg("attacks", {0.05, 20, 2000});
        EXPECT_EQ(cap.texts(), (std::vector<std::string>{"Minimum Attack Time: 0.1 ms", "Maximum Attack Time: 1000 ms"}));
    }
    const std::vector<std::tuple<std::string, double, double, std::string, std::string>> lists = {
        {"releases", 0.5, 1001, "Minimum Release Time: 1 ms", "Maximum Release Time: 1000 ms"},
        {"knees", -1, 19, "Minimum Knee Value: 0 db", "Maximum Knee Value: 18 db"},
        {"ratios", 0.9, 31, "Minimum Ratio Value: 1.0", "Maximum Ratio Value: 30.0"},
        {"threshs", -71, 1, "Minimum Threshold Value: -70 db", "Maximum Threshold Value: 0 db"},
        {"makeups", -1, 31, "Minimum Makeup Value: 0 db", "Maximum Makeup Value: 30 db"}};
    for (const auto &[sel, low, high, below, above] : lists) {
        tk::ConsoleCapture cap;
        rig.msg(sel, {high, low, kNaN, high});  // the fourth element is ignored; NaN is below
        EXPECT_EQ(cap.texts(), (std::vector<std::string>{above, below, below})) << sel;
    }
    {
        // values on the limits are taken silently
        tk::ConsoleCapture cap;
        rig.msg("ratios", {1.0, 30.0, 4});
        rig.msg("threshs", {-70.0, 0.0});
        EXPECT_TRUE(cap.texts().empty());
    }

    // The clamped ratio is in force: 31 acts as 30 on DC at 0 dB against -20 dB.
    Rig steep;
    steep.msg("ratios", {31});
    Outs o = steep.run(tkt::constant(88200, 1.0));
    EXPECT_NEAR(o[1].back(), from_db(-(20.0 - 20.0 / 30.0)), 1e-9);
    // and 0.5 acts as 1: no reduction at all
    Rig flat;
    flat.msg("ratios", {0.5});
    EXPECT_NEAR(flat.run(tkt::constant(88200, 1.0))[1].back(), 1.0, 1e-9);
}

TEST(TribandSquash, CrossoverAndMasterLimits) {
    Rig rig;
    auto lines = [&](const std::string &sel, double v) {
        tk::ConsoleCapture cap;
        rig.msg(sel, {v});
        return cap.texts();
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(lines("locut", 10), V{"Low Crossover Minimum: 20.0"});
    EXPECT_EQ(lines("locut", 2000), V{"Low Crossover Maximum: 1400.0"});
    EXPECT_EQ(lines("locut", kNaN), V{"Low Crossover Minimum: 20.0"});
    EXPECT_EQ(lines("locut", 20), V{});
    EXPECT_EQ(lines("hicut", 1000), V{"High Crossover Minimum: 1400.0"});
    EXPECT_EQ(lines("hicut", 20000), V{});
    EXPECT_EQ(lines("master", 40), V{"Maximum Master Trim: 30.0"});
    EXPECT_EQ(lines("master", -40), V{"Minimum Master Trim: -30.0"});
    EXPECT_EQ(lines("master", kNaN), V{"Minimum Master Trim: -30.0"});

    // the clamped crossover is the one in use: 2000 tunes the low split to 1400 Hz
    Rig split;
    split.linear();
    split.msg("soloband", {1, 0, 0});
    split.msg("locut", {2000});
    cplx h = measured(split, 1400.0, kSr);
    EXPECT_NEAR(std::abs(h - low_half(1400.0, 1400.0, kSr)), 0.0, 1e-9);
}

TEST(TribandSquash, RetunesAfterACrossoverOrSampleRateChange) {
    Rig rig(64, 48000.0);
    rig.linear();
    rig.msg("soloband", {1, 0, 0});
    cplx a = measured(rig, 160.0, 48000.0);
    EXPECT_NEAR(std::abs(a - low_half(160.0, 160.0, 48000.0)), 0.0, 1e-9);

    // the same 160 Hz at twice the rate needs another tuning
    rig.patch.set_samplerate(96000.0);
    cplx b = measured(rig, 160.0, 96000.0);
    EXPECT_NEAR(std::abs(b - low_half(160.0, 160.0, 96000.0)), 0.0, 1e-9) << "after the rate change";
    EXPECT_NEAR(tkt::db(std::abs(b)), -1.5836, 1e-3);

    rig.msg("locut", {500});
    cplx c = measured(rig, 500.0, 96000.0);
    EXPECT_NEAR(std::abs(c - low_half(500.0, 500.0, 96000.0)), 0.0, 1e-9) << "after locut 500";
}

TEST(TribandSquash, FlresetStartsOverLikeAFreshBox) {
    Sig in = tkt::noise(4096, 0.9, 11);
    Rig fresh;
    Outs want = fresh.run(in);

    Rig used;
    used.run(tkt::noise(3000, 0.9, 12));
    used.msg("flreset");
    Outs got = used.run(in);
    for (int o = 0; o < 4; ++o)
        for (std::size_t i = 0; i < in.size(); ++i)
            ASSERT_EQ(got[std::size_t(o)][i], want[std::size_t(o)][i]) << "outlet " << o << " sample " << i;
}

TEST(TribandSquash, BadSamplesCountAsSilence) {
    // NaN, infinities, denormals and magnitudes of 100000 or more are zeros to the object:
    // the render equals the render with zeros in their place, and stays finite.
    Sig in = tkt::noise(4096, 0.8, 13);
    Sig zeroed = in;
    const std::vector<std::pair<std::size_t, double>> bad = {
        {100, kNaN}, {101, std::numeric_limits<double>::infinity()}, {700, -std::numeric_limits<double>::infinity()},
        {1500, 100000.0}, {1501, -3e9}, {2500, 1e-310}};
    for (auto [i, v] : bad) {
        in[i] = v;
        zeroed[i] = 0.0;
    }
    Rig a, b;
    Outs got = a.run(in), want = b.run(zeroed);
    for (int o = 0; o < 4; ++o) {
        EXPECT_TRUE(tkt::all_finite(got[std::size_t(o)])) << "outlet " << o;
        for (std::size_t i = 0; i < in.size(); ++i)
            ASSERT_EQ(got[std::size_t(o)][i], want[std::size_t(o)][i]) << "outlet " << o << " sample " << i;
    }
}

TEST(TribandSquash, ACrossoverAboveHalfTheRateIsTunedBelowIt) {
    // A high crossover at or above half the rate is accepted silently, but the sections are
    // tuned below half the rate: the bands still add back to the input, the high band holds
    // only the top of the spectrum, and nothing runs away.
    for (double hz : {24000.0, 30000.0, 36000.0, 1e9}) {
        Rig rig;
        rig.linear();
        tk::ConsoleCapture c;
        rig.msg("hicut", {hz});
        EXPECT_TRUE(c.lines().empty()) << hz;
        Sig in = tkt::noise(22050, 0.5, 17);
        Outs o = rig.run(in);
        double peak = 0;
        for (double v : o[0]) peak = std::max(peak, std::fabs(v));
        EXPECT_LT(peak, 2.0) << "hicut " << hz;
        for (std::size_t i = 4096; i < in.size(); ++i) ASSERT_NEAR(o[0][i], in[i], 1e-9) << "hicut " << hz << " sample " << i;
        rig.msg("soloband", {0, 0, 1});
        Sig probe = tkt::noise(8192, 0.5, 23);
        Outs high = rig.run(probe);
        double high_energy = 0, energy = 0;
        for (std::size_t i = 1024; i < probe.size(); ++i) {
            high_energy += high[0][i] * high[0][i];
            energy += probe[i] * probe[i];
        }
        // white noise has a few percent of its energy in the top twentieth of the spectrum
        EXPECT_LT(high_energy, 0.1 * energy) << "hicut " << hz << ": the high band should hold only the top of the spectrum";
    }
}

// Long blocks are worked through in several passes; a bypassed band between two compressed
// ones, a solo and soft knees must come out the same whatever the block size.
TEST(TribandSquash, BlockSizesDoNotChangeTheResult) {
    Sig in = tkt::noise(3000, 0.9, 23);
    for (bool mixed : {false, true}) {
        auto setup = [mixed](Rig &rig) {
            if (!mixed) return;
            rig.msg("bypass_lst", {0, 1, 0});
            rig.msg("soloband", {1, 1, 0});
            rig.msg("knees", {6, 0, 12});
            rig.msg("threshs", {-30, -30, -25});
        };
        Rig ref(64);
        setup(ref);
        Outs want = ref.run(in);
        for (int block : {1, 3, 100, 1000}) {
            Rig rig(block);
            setup(rig);
            Outs got = rig.run(in);
            for (int o = 0; o < 4; ++o)
                for (std::size_t i = 0; i < in.size(); ++i)
                    ASSERT_EQ(got[std::size_t(o)][i], want[std::size_t(o)][i])
                        << "mixed " << mixed << " block " << block << " outlet " << o << " sample " << i;
        }
    }
}

TEST(TribandSquash, OutOfMemoryCreatesNoBoxAndLeaksNothing) {
    tk::Patch patch(kSr, 64);
    tk::load_class("tribandsquash~");
    tkt::expect_refused_without_leaks(patch, "tribandsquash~", 13);
    const std::int64_t before = tk::memory_stats().live_blocks;
    tk::Box *box = patch.create("tribandsquash~");
    ASSERT_NE(box, nullptr);
    patch.free(box);
    EXPECT_EQ(tk::memory_stats().live_blocks, before);
}

}  // namespace
