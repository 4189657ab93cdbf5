// thirdbands~ through the host: frame, identity at 0 dB, measured band responses, the top band
// and the sample rate, clamps and their posted lines, bypass, reset, recovery, memory.
#include "support.h"

#include <cstring>
#include <limits>

namespace {

using Msgs = std::vector<std::pair<std::string, tk::Atoms>>;
const double kNaN = std::numeric_limits<double>::quiet_NaN();

tk::Box *make(tk::Patch &p, const Msgs &msgs = {}) {
    tk::Box *b = p.create("thirdbands~");
    if (b)
        for (auto &[sel, args] : msgs) p.send(b, sel, args);
    return b;
}

// setgains with 29 gains, `g` at band `band` and 0 elsewhere.
Msgs one_band(int band, double g) {
    tk::Atoms gains(29, tk::Atom(0));
    gains[std::size_t(band)] = g;
    return {{"setgains", gains}};
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

bool same_bits(const std::vector<double> &a, const std::vector<double> &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

}  // namespace

TEST(Thirdbands, LoadsWithItsMethodsBannerAndOneInletOneOutlet) {
    const tk::ClassInfo &c = tk::load_class("thirdbands~");
    EXPECT_EQ(c.entry, "ext_main");
    EXPECT_TRUE(c.creation_types.empty());
    std::vector<std::pair<std::string, std::vector<int>>> expected = {
        {"dsp64", {9}}, {"setgains", {8}}, {"master", {2}}, {"Bypass", {1}}, {"reset", {}}};
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
    EXPECT_TRUE(b->no_inplace());
    EXPECT_FALSE(b->assist(1, 0).has_value());  // no assist method
}

// With every band at 0 dB no section runs: the output is the input times the master factor,
// exactly, except that bad samples are cleared to 0.
TEST(Thirdbands, FlatBandsPassTheInputTimesMaster) {
    std::vector<double> in = tkt::noise(3000, 0.5, 7);
    in[5] = kNaN, in[6] = std::numeric_limits<double>::infinity(), in[700] = 1e-310, in[900] = 9e307;
    for (double master : {0.0, -7.5}) {
        tk::Patch p(44100.0, 3);
        tk::Box *b = make(p, {{"master", {master}}});
        ASSERT_NE(b, nullptr);
        std::vector<double> out = render(p, b, in);
        double factor = std::pow(10.0, master / 20.0);
        for (std::size_t i = 0; i < in.size(); ++i) {
            double want = (i == 5 || i == 6 || i == 700 || i == 900) ? 0.0 : in[i] * factor;
            if (master == 0.0)
                ASSERT_EQ(out[i], want) << "sample " << i;  // exp(0) is exactly 1
            else
                ASSERT_NEAR(out[i], want, 1e-15) << "sample " << i;  // exp versus pow: an ulp or two
        }
    }
}

// One band at +-12 dB: the full gain at its centre, half of it in dB at its edges, and nothing at
// the neighbours' centres (the bands are 18th-order band filters). Block size changes nothing.
TEST(Thirdbands, OneBandHasItsGainAtItsCentreOnly) {
    for (double g : {12.0, -12.0}) {
        std::vector<double> h;
        for (int n : {64, 1, 3}) {
            tk::Patch p(44100.0, n);
            tk::Box *b = make(p, one_band(15, g));
            ASSERT_NE(b, nullptr);
            std::vector<double> r = render(p, b, tkt::impulse(32768));
            if (h.empty())
                h = r;
            else
                EXPECT_TRUE(same_bits(r, h)) << "block size " << n;
        }
        // the impulse response has decayed below 1e-15 by its end; 0.02 dB covers that and the
        // ripple of the flat top
        EXPECT_NEAR(gain_db(h, std::sqrt(891.0 * 1120.0), 44100), g, 0.02) << g;
        EXPECT_NEAR(gain_db(h, 891, 44100), g / 2, 0.02) << g;
        EXPECT_NEAR(gain_db(h, 1120, 44100), g / 2, 0.02) << g;
        EXPECT_NEAR(gain_db(h, std::sqrt(708.0 * 891.0), 44100), 0.0, 0.02) << g;
        EXPECT_NEAR(gain_db(h, std::sqrt(1120.0 * 1410.0), 44100), 0.0, 0.02) << g;
    }
}

// Samples go through the chain of sections several at a time when the block is long enough, one
// at a time otherwise; the output must not depend on that. Blocks of 1 and 2 take only the
// one-at-a-time path, the others group samples and leave 1 or 2 over at the end of some blocks.
// Covered: every band running (8 to 20 sections in a band), bands skipped between running ones,
// a band that is on but switched off at 44.1 kHz (only its input flush is left, last in the
// chain or with nothing else running), and bad and tiny input samples.
TEST(Thirdbands, OutputDoesNotDependOnTheVectorSize) {
    tk::Atoms all(29, tk::Atom(0)), sparse(29, tk::Atom(0)), top_only(29, tk::Atom(0));
    for (std::size_t b = 0; b < 29; ++b) {
        all[b] = double(int(b * 7) % 25 - 12);
        if (b % 3 == 1) sparse[b] = double(b % 5) * 2.5 - 5.0;
    }
    all[20] = 0.0;  // 0 dB in the middle of running bands
    top_only[28] = 12;
    sparse[28] = 6;
    std::vector<double> in = tkt::noise(6000, 0.7, 11);
    in[3] = kNaN, in[40] = -std::numeric_limits<double>::infinity(), in[41] = 1e-310, in[1000] = 9e300;
    for (std::size_t i = 2000; i < 2100; ++i) in[i] = 1e-309 * double(i % 5);
    for (double sr : {48000.0, 44100.0})
        for (const tk::Atoms *gains : {&all, &sparse, &top_only}) {
            std::vector<double> first;
            for (int n : {1, 2, 3, 4, 5, 8, 64, 97}) {
                tk::Patch p(sr, n);
                tk::Box *b = make(p, {{"setgains", *gains}, {"master", {-4.5}}});
                ASSERT_NE(b, nullptr);
                std::vector<double> out = render(p, b, in);
                if (first.empty())
                    first = out;
                else
                    EXPECT_TRUE(same_bits(out, first)) << sr << " Hz, gains " << tk::atoms_text(*gains)
                                                       << ", block " << n;
            }
            EXPECT_TRUE(tkt::all_finite(first));
            if (gains == &top_only && sr == 44100.0) {  // nothing runs: only the flushes are left
                for (std::size_t i = 2000; i < 2100; ++i) ASSERT_EQ(first[i], 0.0) << "sample " << i;
            }
        }
}

// Band 28 reaches 22.4 kHz: off at 44.1 kHz (the input passes unchanged), on at 48 kHz. A rate
// change redesigns every band, so band 15 stays at 1 kHz and band 28 follows the new rate.
TEST(Thirdbands, TopBandAndBandCentresFollowTheSampleRate) {
    {
        tk::Patch p;
        tk::Box *b = make(p, one_band(28, 12));
        ASSERT_NE(b, nullptr);
        std::vector<double> in = tkt::noise(4096, 0.5, 2);
        EXPECT_TRUE(same_bits(render(p, b, in), in));
    }
    tk::Patch p(44100.0, 64);
    tk::Atoms gains(29, tk::Atom(0));
    gains[15] = 12, gains[28] = 12;
    tk::Box *b = make(p, {{"setgains", gains}});
    ASSERT_NE(b, nullptr);
    for (double sr : {44100.0, 48000.0, 44100.0}) {
        p.set_samplerate(sr);
        std::vector<double> h = render(p, b, tkt::impulse(32768));
        EXPECT_NEAR(gain_db(h, std::sqrt(891.0 * 1120.0), sr), 12.0, 0.02) << sr;
        // at 44.1 kHz nothing acts near 20 kHz; at 48 kHz band 28 has its full gain there
        EXPECT_NEAR(gain_db(h, std::sqrt(17800.0 * 22400.0), sr), sr == 48000.0 ? 12.0 : 0.0, 0.02) << sr;
        render(p, b, std::vector<double>(32768, 0.0));  // let the bands ring out
    }
}

// Out-of-range numbers post their line (setgains tests its lower limit first, master its upper)
// and act exactly like the limit; limits themselves and numbers past the 29th band are silent.
TEST(Thirdbands, ParameterMessagesClampAndPost) {
    struct Case { std::string sel; tk::Atoms args, same_as; std::vector<std::string> lines; };
    const std::string gmin = "Minimum Filter Gain: -12 dB", gmax = "Maximum Filter Gain: 12 dB";
    const std::string mmin = "Minimum Master Value: -30 dB", mmax = "Maximum Master Value: 30 dB";
    std::string threes;
    for (int b = 1; b < 29; ++b) threes += " 3";
    const tk::Atoms flat = tk::parse_atoms("3" + threes), single = tk::parse_atoms("6" + threes);
    const tk::Atoms thirty = tk::parse_atoms("3" + threes + " 100");
    std::vector<Case> cases = {
        {"setgains", {-15}, {-12}, {gmin}},
        {"setgains", {13, 12.5}, {12, 12}, {gmax, gmax}},
        {"setgains", {kNaN}, {-12}, {gmin}},
        {"setgains", {12, -12}, {12, -12}, {}},
        {"setgains", {6}, single, {}},
        {"setgains", thirty, flat, {}},
        {"master", {31}, {30}, {mmax}},
        {"master", {-31}, {-30}, {mmin}},
        {"master", {kNaN}, {-30}, {mmin}},
        {"master", {30}, {30}, {}},
    };
    const std::vector<double> in = tkt::noise(2048, 0.5, 3);
    const Msgs prime = {{"setgains", flat}, {"master", {1}}};
    for (const Case &c : cases) {
        tk::Patch pt, pr, pu;
        tk::Box *tested = make(pt, prime), *reference = make(pr, prime), *plain = make(pu, prime);
        ASSERT_NE(tested, nullptr);
        {
            tk::ConsoleCapture cap;
            pt.send(tested, c.sel, c.args);
            EXPECT_EQ(cap.texts(), c.lines) << c.sel << " " << tk::atoms_text(c.args);
        }
        pr.send(reference, c.sel, c.same_as);
        std::vector<double> a = render(pt, tested, in), r = render(pr, reference, in);
        EXPECT_TRUE(same_bits(a, r)) << c.sel << " " << tk::atoms_text(c.args);
        if (c.args.size() < 29) {  // the 29 and 30 numbers restate the primed gains
            EXPECT_FALSE(same_bits(a, render(pu, plain, in))) << c.sel << " changed nothing";
        }
    }
}

// Any non-zero number switches bypass on (256 too); the input then passes bit for bit, NaN
// included, and 0 resumes from the states held when bypass began.
TEST(Thirdbands, BypassPassesTheInputAndResumesFromHeldStates) {
    tk::Patch pa, pr;
    tk::Box *a = make(pa, one_band(15, 12)), *ref = make(pr, one_band(15, 12));
    ASSERT_NE(a, nullptr);
    std::vector<double> part1 = tkt::sine(1024, 1000, 44100), part2 = tkt::noise(1024, 0.5, 5);
    std::vector<double> part3 = tkt::noise(1024, 0.5, 6);
    part2[10] = kNaN;
    render(pa, a, part1);
    render(pr, ref, part1);
    for (int on : {1, 256}) {
        tk::ConsoleCapture cap;
        pa.send(a, "Bypass", {on});
        EXPECT_EQ(cap.texts(), std::vector<std::string>{"Bypass is ON"}) << on;
        EXPECT_TRUE(same_bits(render(pa, a, part2), part2)) << on;
    }
    tk::ConsoleCapture cap;
    pa.send(a, "Bypass", {0});
    EXPECT_TRUE(cap.texts().empty());
    EXPECT_TRUE(same_bits(render(pa, a, part3), render(pr, ref, part3)));
}

TEST(Thirdbands, ResetStartsEveryBandFromSilence) {
    tk::Patch pa, pf;
    tk::Atoms gains(29, tk::Atom(12));
    tk::Box *a = make(pa, {{"setgains", gains}}), *fresh = make(pf, {{"setgains", gains}});
    ASSERT_NE(a, nullptr);
    render(pa, a, tkt::noise(4096, 0.9, 9));
    pa.send(a, "reset");
    std::vector<double> silent = render(pa, a, std::vector<double>(256, 0.0));
    EXPECT_TRUE(std::all_of(silent.begin(), silent.end(), [](double v) { return v == 0.0; }));
    std::vector<double> next = tkt::noise(2048, 0.5, 10);
    EXPECT_TRUE(same_bits(render(pa, a, next), render(pf, fresh, next)));
}

// Huge but finite input overflows a band's states; a band whose states overflowed starts again
// from silence at the end of the block, instead of giving NaN for ever.
TEST(Thirdbands, OverflowedBandRecovers) {
    tk::Patch p;
    tk::Box *b = make(p, one_band(15, 12));
    ASSERT_NE(b, nullptr);
    std::vector<double> in = tkt::noise(44100, 0.5, 4);
    std::fill(in.begin(), in.begin() + 64, 1e307);
    std::vector<double> out = render(p, b, in);
    EXPECT_FALSE(tkt::all_finite(out)) << "the burst should have overflowed the band";
    std::size_t last_bad = 0;
    for (std::size_t i = 0; i < out.size(); ++i)
        if (!std::isfinite(out[i]) || std::abs(out[i]) > 10.0) last_bad = i;
    EXPECT_LT(last_bad, 4096u) << "still broken at sample " << last_bad;
}

TEST(Thirdbands, MemoryIsReturnedAndFailuresLeaveNoBox) {
    {
        tk::Patch p;
        tkt::expect_refused_without_leaks(p, "thirdbands~", 7);  // six tables, then the chain
    }
    std::int64_t before = tk::memory_stats().live_blocks, in_perform = tk::allocations_in_perform();
    {
        tk::Patch p;
        tk::Box *b = make(p, one_band(3, 6));
        ASSERT_NE(b, nullptr);
        render(p, b, tkt::noise(1024));
    }
    EXPECT_EQ(tk::memory_stats().live_blocks, before);
    EXPECT_EQ(tk::allocations_in_perform(), in_perform);
}
