// thirdbands~ through the host: frame, identity at 0 dB, measured band responses, the top band
// and the sample rate, clamps and their posted lines, bypass, reset, recovery, memory.
#include "support.h"

#include <cstdio>
#include <cstdlib>
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
    // the smallest inputs kept (2^-1021 and up) under a master gain below 0 dB would leave as
    // subnormal numbers: cleared, in every path (lanes of three, the rest one by one)
    for (int block : {1, 2, 3, 64}) {
        tk::Patch p(44100.0, block);
        tk::Box *b = make(p, {{"master", {-12.0}}});
        ASSERT_NE(b, nullptr);
        p.send(b, "setgains", {0.0, 3.0});
        std::vector<double> out = render(p, b, std::vector<double>(256, std::ldexp(1.0, -1021)));
        for (std::size_t i = 0; i < out.size(); ++i)
            ASSERT_NE(std::fpclassify(out[i]), FP_SUBNORMAL) << "block " << block << ", sample " << i << ": " << out[i];
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
    // the overflowed band's output leaves as 0, never as an infinity or NaN
    EXPECT_TRUE(tkt::all_finite(out));
    EXPECT_NE(std::find(out.begin(), out.begin() + 64, 0.0), out.begin() + 64) << "the burst should have overflowed the band";
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

// ---- the same output on every path, and the same as before the sections ran across lanes ----
namespace {

using tkt::Lcg;

// FNV-1a over the bits of the samples.
struct Digest {
    std::uint64_t h = 14695981039346656037ull;
    void add(const std::vector<double> &v) { h = tkt::fnv1a(v, h); }
};

// A number for a message: mostly in range, sometimes on or past a limit, or not finite.
double message_number(Lcg &r, double lo, double hi) {
    switch (r.below(16)) {
    case 0: return kNaN;
    case 1: return r.below(2) ? std::numeric_limits<double>::infinity() : -std::numeric_limits<double>::infinity();
    case 2: return lo;
    case 3: return hi;
    case 4: return r.uniform(hi, hi + 20);
    case 5: return r.uniform(lo - 20, lo);
    case 6: return 1e300;
    default: return r.uniform(lo, hi);
    }
}

// Renders `total` samples at rate `sr` with blocks of `n`, sending a random message sequence
// between stretches (gains with bands at 0 dB among them, master, Bypass, reset, and now and
// then another rate), into an input of noise, silence and bad samples. Returns the digest.
std::uint64_t random_session(double sr, int n, std::uint64_t seed, std::int64_t total) {
    Lcg r(seed);
    tk::ConsoleCapture quiet;
    tk::Patch p(sr, n);
    tk::Box *b = p.create("thirdbands~");
    if (!b) return 0;
    Digest d;
    std::int64_t done = 0;
    while (done < total) {
        const int messages = int(r.below(4));
        for (int m = 0; m < messages; ++m) {
            switch (r.below(10)) {
            case 0: case 1: case 2: case 3: { // a full or partial list of gains, many at 0 dB
                std::size_t count = r.below(3) ? 29 : 1 + r.below(31);
                tk::Atoms g;
                for (std::size_t k = 0; k < count; ++k)
                    g.push_back(r.below(3) == 0 ? 0.0 : r.below(8) == 0 ? message_number(r, -12, 12)
                                                                         : double(int(r.below(25)) - 12) * 0.5);
                p.send(b, "setgains", g);
                break;
            }
            case 4: case 5: p.send(b, "master", {message_number(r, -30, 30)}); break;
            case 6: p.send(b, "Bypass", {long(r.below(3) == 0 ? 1 : 0)}); break;
            case 7: p.send(b, "reset"); break;
            case 8: p.set_samplerate(r.below(2) ? sr : r.uniform(1000, 384000)); break;
            default: break;
            }
        }
        std::int64_t len = std::int64_t(n) * std::int64_t(1 + r.below(n >= 1024 ? 2 : 4096 / std::uint64_t(n) / 2 + 1));
        std::vector<double> in(static_cast<std::size_t>(len));
        const double amp = r.below(6) == 0 ? 1e5 : r.uniform(0, 1);
        for (double &x : in) x = r.below(10) == 0 ? 0.0 : r.uniform(-amp, amp);
        for (int k = int(r.below(4)); k > 0; --k) {
            const double bad[] = {kNaN, std::numeric_limits<double>::infinity(), 1e-310, -1e-309, 9e307, -0.0};
            in[std::size_t(r.below(std::uint64_t(len)))] = bad[r.below(6)];
        }
        d.add(render(p, b, in));
        done += len;
    }
    return d.h;
}

struct Session { double sr; int n; std::uint64_t seed; };
const Session sessions[] = {
    {1000, 1, 1},   {1000, 7, 2},   {1000, 64, 3},   {1000, 4096, 4},
    {44100, 1, 5},  {44100, 7, 6},  {44100, 64, 7},  {44100, 4096, 8},
    {48000, 1, 9},  {48000, 7, 10}, {48000, 64, 11}, {48000, 4096, 12},
    {384000, 1, 13}, {384000, 7, 14}, {384000, 64, 15}, {384000, 4096, 16},
    {30011.5, 1, 17}, {30011.5, 7, 18}, {30011.5, 64, 19}, {30011.5, 4096, 20},
};

// Which path a box created from now on takes: "scalar", "sse2", "avx2", "avx512" (the widest the CPU
// has when it lacks one), or nullptr for the widest.
void choose_path(const char *path) {
#ifdef _WIN32
    _putenv_s("TILDEKIT_SIMD", path ? path : "");
#else
    if (path)
        setenv("TILDEKIT_SIMD", path, 1);
    else
        unsetenv("TILDEKIT_SIMD");
#endif
}

std::int64_t session_length(const Session &s) { return s.n == 4096 ? 5 * 4096 : 9000; }

}  // namespace

// The sections run one sample at a time, or across 2, 4 or 8 vector lanes: every path gives
// the same bits for random message sequences at every rate and vector size.
TEST(Thirdbands, RandomSessionsAreTheSameOnEveryPath) {
    for (const Session &s : sessions) {
        std::uint64_t first = 0;
        for (const char *path : {"scalar", "sse2", "avx2", "avx512"}) {
            choose_path(path);
            std::uint64_t h = random_session(s.sr, s.n, s.seed, session_length(s));
            if (std::strcmp(path, "scalar") == 0)
                first = h;
            else
                EXPECT_EQ(h, first) << path << " path, " << s.sr << " Hz, block " << s.n;
        }
        choose_path(nullptr);
    }
}

// The digests of the same sessions as the one-sample-at-a-time code gave them before the
// sections ran across lanes (Linux in both widths, Windows x64). Set TILDEKIT_PRINT_DIGESTS to
// print them.
TEST(Thirdbands, RandomSessionsKeepTheirDigests) {
    // the libraries' exp, pow, tan and cos differ in the last bit between the two widths
    const std::uint64_t expected64[] = {
        0x9e836d41e24c0c9bull, // 1000 Hz, block 1
        0x69844e80a2c1d6f6ull, // 1000 Hz, block 7
        0xd457f01fbaf11fadull, // 1000 Hz, block 64
        0x760c3a13948632b1ull, // 1000 Hz, block 4096
        0x393ba4d7da486515ull, // 44100 Hz, block 1
        0xc3521764ed7d0de7ull, // 44100 Hz, block 7
        0x714b07968c88db8bull, // 44100 Hz, block 64
        0x4ced9567c29ec88full, // 44100 Hz, block 4096
        0x971d1dd8b1a70615ull, // 48000 Hz, block 1
        0x009743009e9521f5ull, // 48000 Hz, block 7
        0xd9d42d822f2248e5ull, // 48000 Hz, block 64
        0xa1700aabafe580c8ull, // 48000 Hz, block 4096
        0x53ceaacc498ea7d6ull, // 384000 Hz, block 1
        0x65779f8312644195ull, // 384000 Hz, block 7
        0x7f547d9adeba0d02ull, // 384000 Hz, block 64
        0x25e469eaef0b3efeull, // 384000 Hz, block 4096
        0xe9fe34e620d47194ull, // 30011.5 Hz, block 1
        0xa83a1c1116e88035ull, // 30011.5 Hz, block 7
        0xde8d5e5c120677c3ull, // 30011.5 Hz, block 64
        0xa2efa404d420bb35ull, // 30011.5 Hz, block 4096
    };
    const std::uint64_t expected32[] = {
        0xd303cfe9dcd8cb6full, // 1000 Hz, block 1
        0x69844e80a2c1d6f6ull, // 1000 Hz, block 7
        0x658c806b4c923879ull, // 1000 Hz, block 64
        0x760c3a13948632b1ull, // 1000 Hz, block 4096
        0x428e467716aa393aull, // 44100 Hz, block 1
        0x3e177d68c1313656ull, // 44100 Hz, block 7
        0xfb46ecaaf232e3e6ull, // 44100 Hz, block 64
        0xb3e3fbb2d50204a7ull, // 44100 Hz, block 4096
        0xfefad06d05a5d2f7ull, // 48000 Hz, block 1
        0xa9bb4cd8c88634d4ull, // 48000 Hz, block 7
        0xa673fe54ec033172ull, // 48000 Hz, block 64
        0x53f3d923d08d83c6ull, // 48000 Hz, block 4096
        0x53ceaacc498ea7d6ull, // 384000 Hz, block 1
        0xda3f5a3a5868dbedull, // 384000 Hz, block 7
        0x7f547d9adeba0d02ull, // 384000 Hz, block 64
        0x25e469eaef0b3efeull, // 384000 Hz, block 4096
        0x662f690e6180797full, // 30011.5 Hz, block 1
        0xf9cfa08f446f5dc5ull, // 30011.5 Hz, block 7
        0x6da25c41959c92d3ull, // 30011.5 Hz, block 64
        0x26386c77b6c361c1ull, // 30011.5 Hz, block 4096
    };
    // Windows x64: its C library's mathematical functions differ again
    const std::uint64_t expected_win64[] = {
        0x67061d301f05430aull, // 1000 Hz, block 1
        0x69844e80a2c1d6f6ull, // 1000 Hz, block 7
        0x7fcdfa8b63b944bfull, // 1000 Hz, block 64
        0x760c3a13948632b1ull, // 1000 Hz, block 4096
        0x393ba4d7da486515ull, // 44100 Hz, block 1
        0xc3521764ed7d0de7ull, // 44100 Hz, block 7
        0x714b07968c88db8bull, // 44100 Hz, block 64
        0x4ced9567c29ec88full, // 44100 Hz, block 4096
        0xe019d3bc42651690ull, // 48000 Hz, block 1
        0x11cd6236cac55cf4ull, // 48000 Hz, block 7
        0x61935dd9821d1168ull, // 48000 Hz, block 64
        0xa1700aabafe580c8ull, // 48000 Hz, block 4096
        0x53ceaacc498ea7d6ull, // 384000 Hz, block 1
        0x65779f8312644195ull, // 384000 Hz, block 7
        0x7f547d9adeba0d02ull, // 384000 Hz, block 64
        0x25e469eaef0b3efeull, // 384000 Hz, block 4096
        0x6c1f9115c1e4eb48ull, // 30011.5 Hz, block 1
        0xeef2eb2dd7b91211ull, // 30011.5 Hz, block 7
        0x1b9f77f2e1bf91e2ull, // 30011.5 Hz, block 64
        0x630d393f7623d5e4ull, // 30011.5 Hz, block 4096
    };
#ifdef _WIN32
    const std::uint64_t *expected = expected_win64;
#else
    const std::uint64_t *expected = tk::host_width_bits() == 64 ? expected64 : expected32;
#endif
    static_assert(sizeof expected64 == sizeof expected32 && sizeof expected64 == sizeof expected_win64 &&
                  sizeof expected64 / 8 == sizeof sessions / sizeof sessions[0]);
    const bool print = std::getenv("TILDEKIT_PRINT_DIGESTS") != nullptr;
    for (std::size_t i = 0; i < sizeof sessions / sizeof sessions[0]; ++i) {
        const Session &s = sessions[i];
        std::uint64_t h = random_session(s.sr, s.n, s.seed, session_length(s));
        if (print)
            std::printf("        0x%016llxull, // %g Hz, block %d\n", (unsigned long long)h, s.sr, s.n);
        else
            EXPECT_EQ(h, expected[i]) << s.sr << " Hz, block " << s.n;
    }
}
