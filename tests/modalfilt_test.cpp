// modalfilt~ through the host: frame and posts, the four responses against their analogue
// prototypes through the bilinear transform, the Q bounds, the four-sample coefficient groups.
#include "support.h"

#include <functional>
#include <map>

namespace {

using Signals = std::vector<std::vector<double>>;
const double kSr = 44100.0;

// l = cot(pi f / sr): the frequency factor the filter takes at inlet 1.
double factor(double f, double sr = kSr) { return 1.0 / std::tan(M_PI * f / sr); }

// A number as the box receives it: float atoms are single precision in the 32-bit build.
double sent(double v) { return tk::host_width_bits() == 32 ? double(float(v)) : v; }

// Runs a fresh box: inputs by inlet (others unconnected), numbers sent first, one outlet.
std::vector<double> render(const std::string &text, const std::map<int, std::vector<double>> &ins,
                           const std::map<int, double> &numbers, std::int64_t frames, int block = 64)
{
    tk::Patch p(kSr, block);
    tk::Box *b = p.create(text);
    EXPECT_NE(b, nullptr) << text;
    if (!b) return {};
    for (auto &[inlet, v] : numbers) p.send_float(b, inlet, v);
    for (auto &[inlet, sig] : ins) p.feed(b, inlet, sig);
    p.capture(b, 0);
    p.run(frames);
    std::vector<double> out = p.output(b, 0);
    out.resize(std::size_t(frames));
    return out;
}

// The analogue prototypes, s normalised to the centre frequency; the bilinear transform with
// prewarping puts s = i l tan(w / 2) on the unit circle.
std::complex<double> prototype(const std::string &kind, double q, double l, double w)
{
    std::complex<double> s(0.0, l * std::tan(w / 2.0));
    std::complex<double> den = s * s + s / q + 1.0;
    if (kind == "bp2") return (s / q) / den;
    if (kind == "rbp2") return s / den;
    if (kind == "lp2") return 1.0 / den;
    return s * s / den;  // hp2
}

// The filter's arithmetic as a reference that must agree with the box bit for bit: the
// coefficients from the first sample of each group of four (groups start at every block's
// start), one direct-form-II step per sample.
struct ModalRef {
    std::string kind;
    double w1 = 0, w2 = 0;
    struct K {
        double l, a, L, g, c1, c2;
    } k{};
    void tune(double l, double q) {
        if (l < 0) l = std::fabs(l);
        k.l = l;
        k.a = q < 9.999999974752427e-7 ? l * 1000000.0 : q > 1000000.0 ? l * 9.999999974752427e-7 : l / q;
        k.L = l * l + 1.0;
        k.g = 1.0 / (k.L + k.a);
        k.c1 = (2.0 - k.L) * 2.0;
        k.c2 = k.L - k.a;
    }
    double step(double x) {
        const double w0 = x - (k.c1 * w1 + k.c2 * w2) * k.g;
        double y;
        if (kind == "rbp2") y = (w0 - w2) * (k.g * k.l);
        else if (kind == "lp2") y = (w0 + 2.0 * w1 + w2) * k.g;
        else if (kind == "hp2") y = (w0 - 2.0 * w1 + w2) * ((k.L - 1.0) * k.g);
        else y = (w0 - w2) * (k.g * k.a);
        w2 = w1;
        w1 = w0;
        return y;
    }
    // a render in blocks of bs samples; settings(i) gives the factor and Q at sample i
    template <typename Settings>
    std::vector<double> run(const std::vector<double> &x, int bs, Settings settings) {
        std::vector<double> y(x.size());
        for (std::size_t i = 0; i < x.size(); ++i) {
            if (i % std::size_t(bs) % 4 == 0) {
                auto [l, q] = settings(i);
                tune(l, q);
            }
            y[i] = step(x[i]);
        }
        return y;
    }
};

}  // namespace

TEST(ModalfiltFrame, ClassMethodsBannerAssist)
{
    const tk::ClassInfo &c = tk::load_class("modalfilt~");
    EXPECT_EQ(c.entry, "main");
    EXPECT_EQ(c.creation_types, std::vector<int>{8});  // A_GIMME
    std::vector<std::string> sel;
    for (auto &m : c.methods) sel.push_back(m.selector);
    EXPECT_EQ(sel, (std::vector<std::string>{"dsp64", "float", "int", "assist"}));  // no legacy dsp
    ASSERT_EQ(c.methods.size(), 4u);
    EXPECT_EQ(c.methods[1].types, std::vector<int>{2});  // A_FLOAT
    EXPECT_EQ(c.methods[2].types, std::vector<int>{1});  // A_LONG
    EXPECT_TRUE(c.dsp);
    ASSERT_EQ(c.banner.size(), 3u);
    EXPECT_EQ(c.banner[0], std::string(74, '-'));

    tk::Patch p;
    tk::Box *b = p.create("modalfilt~ lp2");
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(b->no_inplace());
    EXPECT_EQ(b->signal_inlets(), 3);
    EXPECT_EQ(b->signal_outlets(), 1);
    EXPECT_EQ(b->assist(1, 0), "(signal) Input to be filtered");
    EXPECT_EQ(b->assist(1, 1), "(signal/float) Center Frequency");
    EXPECT_EQ(b->assist(1, 2), "(signal/float) Q/filter sharpness");
    EXPECT_EQ(b->assist(1, 3), std::nullopt);
    EXPECT_EQ(b->assist(2, 0), "(signal) Filtered signal");
    EXPECT_EQ(b->assist(2, 5), "(signal) Filtered signal");
}

TEST(ModalfiltFrame, CreationAndCompilePosts)
{
    tk::load_class("modalfilt~");
    const std::string tail = " kind: bp2, rbp2, lp2, hp2!";
    tk::Patch p;
    {
        tk::ConsoleCapture con;
        ASSERT_NE(p.create("modalfilt~ hp2"), nullptr);
        ASSERT_NE(p.create("modalfilt~"), nullptr);
        ASSERT_NE(p.create("modalfilt~ 3"), nullptr);  // a number leaves bp2
        ASSERT_NE(p.create("modalfilt~ notch"), nullptr);
        EXPECT_EQ(con.texts(), (std::vector<std::string>{"Initial-arguments: hp2" + tail,
                                                         "Initial-arguments: bp2" + tail,
                                                         "Initial-arguments: bp2" + tail,
                                                         "Initial-arguments: notch" + tail}));
    }
    // the unknown kind is reported at every DSP compile, once per unknown box
    tk::ConsoleCapture con;
    p.compile();
    p.dsp_off();
    p.compile();
    EXPECT_EQ(con.texts(), (std::vector<std::string>{"modalfilt~ Default: bp2", "modalfilt~ Default: bp2"}));
}

TEST(ModalfiltFrame, UnknownKindFiltersAsBandPass)
{
    std::vector<double> in = tkt::noise(1000, 0.5, 2);
    std::map<int, double> nums{{1, factor(1000)}, {2, 4.0}};
    std::vector<double> unknown = render("modalfilt~ notch", {{0, in}}, nums, 1000);
    std::vector<double> bp2 = render("modalfilt~ bp2", {{0, in}}, nums, 1000);
    EXPECT_EQ(unknown, bp2);
}

// Each kind against its prototype at frequencies on whole numbers of periods.
TEST(ModalfiltResponse, FourKindsMatchTheirPrototypes)
{
    const double fc = 1000.0;
    for (std::string kind : {"bp2", "rbp2", "lp2", "hp2"}) {
        for (double q : {0.7, 4.0}) {
            for (double f : {100.0, 500.0, 1000.0, 2000.0, 5000.0, 8000.0}) {
                std::vector<double> out = render("modalfilt~ " + kind, {{0, tkt::sine(22050, f, kSr)}},
                                                 {{1, factor(fc)}, {2, q}}, 22050);
                auto want = prototype(kind, sent(q), sent(factor(fc)), 2.0 * M_PI * f / kSr);
                auto got = tkt::phasor_at(out, f, kSr, 22050 - 4410);
                // whole periods in the window, transients gone after ~0.4 s: only rounding
                EXPECT_NEAR(std::abs(got - want), 0.0, 1e-6 * std::max(1.0, std::abs(want)))
                    << kind << " Q " << q << " at " << f << " Hz: got " << got << ", want " << want;
            }
        }
    }
}

TEST(ModalfiltResponse, PeakAndDcGains)
{
    const double l = factor(1000.0);
    auto gain_at = [&](const std::string &kind, double q, double f) {
        std::vector<double> out = render("modalfilt~ " + kind, {{0, tkt::sine(22050, f, kSr)}}, {{1, l}, {2, q}}, 22050);
        return tkt::amplitude_at(out, f, kSr, 22050 - 4410);
    };
    EXPECT_NEAR(gain_at("bp2", 10.0, 1000.0), 1.0, 1e-6);
    EXPECT_NEAR(gain_at("rbp2", 10.0, 1000.0), 10.0, 1e-5);
    EXPECT_LT(gain_at("bp2", 10.0, 900.0), 0.5);  // Q 10: 900 Hz is ~2 bandwidths off the centre

    // l = 1 (a quarter of the rate), Q = 1, lp2: g = 1/3 is the first impulse sample, DC gain 1
    std::vector<double> imp = render("modalfilt~ lp2", {{0, tkt::impulse(8)}}, {{1, 1.0}, {2, 1.0}}, 8);
    EXPECT_DOUBLE_EQ(imp[0], 1.0 / 3.0);
    std::vector<double> dc = render("modalfilt~ lp2", {{0, tkt::constant(2000, 1.0)}}, {{1, 1.0}, {2, 1.0}}, 2000);
    EXPECT_NEAR(dc.back(), 1.0, 1e-12);
    // hp2 blocks DC
    std::vector<double> hp = render("modalfilt~ hp2", {{0, tkt::constant(4000, 1.0)}}, {{1, l}, {2, 0.7}}, 4000);
    EXPECT_NEAR(hp.back(), 0.0, 1e-9);
}

// Q is confined to [1e-6, 1e6]; a negative or zero Q (the initial value) counts as 1e-6.
TEST(ModalfiltResponse, QBounds)
{
    // bp2 with l = 1: the first impulse sample is a / (L + a) with L = 2
    auto first = [](const std::map<int, double> &nums) {
        return render("modalfilt~ bp2", {{0, tkt::impulse(4)}}, nums, 4)[0];
    };
    const double qmin = 9.999999974752427e-7;
    EXPECT_DOUBLE_EQ(first({{1, 1.0}}), 1e6 / (2.0 + 1e6));  // Q never set
    EXPECT_DOUBLE_EQ(first({{1, 1.0}, {2, -5.0}}), 1e6 / (2.0 + 1e6));
    EXPECT_DOUBLE_EQ(first({{1, 1.0}, {2, 1e9}}), qmin / (2.0 + qmin));
    EXPECT_DOUBLE_EQ(first({{1, 1.0}, {2, 1e6}}), 1e-6 / (2.0 + 1e-6));  // the bound itself is taken
    // a negative frequency factor counts as its magnitude
    std::vector<double> in = tkt::noise(300, 0.5, 4);
    EXPECT_EQ(render("modalfilt~ rbp2", {{0, in}}, {{1, -2.5}, {2, 3.0}}, 300),
              render("modalfilt~ rbp2", {{0, in}}, {{1, 2.5}, {2, 3.0}}, 300));
}

// Coefficients come from the first sample of each group of four, groups starting at every
// block start; whatever the controls do in between is not seen.
TEST(ModalfiltGroups, ControlSignalsReadAtGroupStarts)
{
    std::vector<double> in = tkt::noise(2000, 0.5, 6);
    for (int block : {1, 2, 3, 5, 6, 64}) {
        for (int inlet : {1, 2}) {
            double good = inlet == 1 ? factor(1500.0) : 5.0;
            std::vector<double> ctl(2000);
            for (std::size_t i = 0; i < ctl.size(); ++i)
                ctl[i] = ((i % std::size_t(block)) % 4 == 0) ? good : 100.0 + double(i);
            std::map<int, std::vector<double>> steady{{0, in}, {inlet, tkt::constant(2000, good)}};
            std::map<int, std::vector<double>> jumpy{{0, in}, {inlet, ctl}};
            std::map<int, double> other{{inlet == 1 ? 2 : 1, inlet == 1 ? 5.0 : factor(1500.0)}};
            EXPECT_EQ(render("modalfilt~ lp2", jumpy, other, 2000, block),
                      render("modalfilt~ lp2", steady, other, 2000, block))
                << "block " << block << ", control at inlet " << inlet;
        }
    }
}

// The arithmetic is per sample: blocks of 1 to 3 (or 37) samples give the same result as 64.
TEST(ModalfiltGroups, ShortBlocksProcessOnlyTheirSamples)
{
    std::vector<double> in = tkt::noise(777, 0.5, 8);
    std::map<int, double> nums{{1, factor(3000.0)}, {2, 2.0}};
    std::vector<double> ref = render("modalfilt~ hp2", {{0, in}}, nums, 777, 64);
    for (int block : {1, 2, 3, 37}) EXPECT_EQ(render("modalfilt~ hp2", {{0, in}}, nums, 777, block), ref) << block;
    // a signal Q that changes inside a group of four is seen at the group's first sample only
    std::vector<double> q(777, 2.0);
    for (std::size_t i = 0; i < q.size(); ++i)
        if (i % 4) q[i] = 0.001;
    EXPECT_EQ(render("modalfilt~ hp2", {{0, in}, {2, q}}, {{1, factor(3000.0)}}, 777, 64), ref);
}

TEST(ModalfiltMessages, NumbersByInlet)
{
    std::vector<double> in = tkt::noise(500, 0.5, 10);
    tk::Patch p;
    tk::Box *a = p.create("modalfilt~ bp2");
    ASSERT_NE(a, nullptr);
    p.send_int(a, 1, 2);
    p.send_int(a, 2, 3);
    p.send_float(a, 0, 123.0);  // ignored at the signal input
    p.feed(a, 0, in);
    p.capture(a, 0);
    p.run(500);
    std::vector<double> out = p.output(a, 0);
    out.resize(500);
    EXPECT_EQ(out, render("modalfilt~ bp2", {{0, in}}, {{1, 2.0}, {2, 3.0}}, 500));
}

// Non-finite input, or a NaN Q, spoils one block at most once they are gone.
TEST(ModalfiltMessages, RecoversAfterNonFiniteValues)
{
    for (double bad : {double(NAN), HUGE_VAL, 1e300}) {
        std::vector<double> in = tkt::noise(512, 0.5, 12);
        in[20] = bad;
        std::vector<double> out = render("modalfilt~ rbp2", {{0, in}}, {{1, factor(800.0)}, {2, 8.0}}, 512);
        std::vector<double> tail(in.begin() + 64, in.end());
        std::vector<double> fresh = render("modalfilt~ rbp2", {{0, tail}}, {{1, factor(800.0)}, {2, 8.0}}, 448);
        for (std::size_t i = 0; i < tail.size(); ++i)
            ASSERT_EQ(out[64 + i], fresh[i]) << "after " << bad << ", sample " << 64 + i;
    }
    tk::Patch p;
    tk::Box *b = p.create("modalfilt~ lp2");
    ASSERT_NE(b, nullptr);
    p.send_float(b, 1, factor(500.0));
    p.send_float(b, 2, NAN);
    p.feed(b, 0, tkt::noise(4096, 0.5, 14));
    p.capture(b, 0);
    p.run(128);
    EXPECT_FALSE(tkt::all_finite(p.output(b, 0)));
    p.send_float(b, 2, 0.7);
    p.clear_outputs();
    p.run(256);
    EXPECT_TRUE(tkt::all_finite(p.output(b, 0)));
}

// A step of the numbers from a narrow or low setting, whose memory holds its input thousands
// of times over, to another one: the output after the step stays within 65 times the larger
// of the level before it and the bound of a fresh filter at the new setting (the input's peak
// times the sum of its impulse response's magnitudes): 64 for what the memory may release,
// one more for the input's own response. The recursion as it stands gives from 67 to 2e5
// times that bound here.
TEST(ModalfiltSteps, ANumberStepReleasesNothingStored)
{
    tk::ConsoleCapture quiet;
    struct Step { double sr, f0, q0, f1, q1; };
    const Step steps[] = {{78729.2727, 340.0, 10.0, 4500.0, 0.5},   // narrow and low to wide and high
                          {44100.0, 20.0, 10.0, 21000.0, 10.0},     // near 0 Hz to near half the rate
                          {44100.0, 21000.0, 10.0, 20.0, 10.0},     // and back
                          {192000.0, 5.0, 0.5, 95000.0, 10.0}};
    for (std::string kind : {"bp2", "rbp2", "lp2", "hp2"}) {
        for (const Step &st : steps) {
            const double l0 = factor(st.f0, st.sr), l1 = factor(st.f1, st.sr);
            tk::Patch fresh(st.sr, 64);
            tk::Box *f = fresh.create("modalfilt~ " + kind);
            ASSERT_NE(f, nullptr);
            fresh.send_float(f, 1, l1);
            fresh.send_float(f, 2, st.q1);
            fresh.feed(f, 0, tkt::impulse(1 << 20));
            fresh.capture(f, 0);
            fresh.run(1 << 20);
            double sum = 0;
            for (double v : fresh.output(f, 0)) sum += std::fabs(v);
            const std::size_t before = std::size_t(st.sr), after = std::size_t(st.sr / 2);
            const std::vector<std::vector<double>> inputs = {tkt::sine(before + after, st.f0, st.sr), tkt::constant(before + after, 1.0)};
            for (std::size_t which = 0; which < inputs.size(); ++which) {
                tk::Patch p(st.sr, 64);
                tk::Box *b = p.create("modalfilt~ " + kind);
                ASSERT_NE(b, nullptr);
                p.send_float(b, 1, l0);
                p.send_float(b, 2, st.q0);
                p.feed(b, 0, inputs[which]);
                p.capture(b, 0);
                p.run(std::int64_t(before));
                p.send_float(b, 1, l1);
                p.send_float(b, 2, st.q1);
                p.run(std::int64_t(after));
                const std::vector<double> &out = p.output(b, 0);
                double level = 0, worst = 0;
                for (std::size_t i = 0; i < before; ++i) level = std::max(level, std::fabs(out[i]));
                for (std::size_t i = before; i < before + after; ++i) worst = std::max(worst, std::fabs(out[i]));
                // 64 times the bound for what is released, once more for the input's own response
                EXPECT_LE(worst, 65.0 * std::max(level, sum)) << kind << " at " << st.sr << " Hz from " << st.f0 << " Hz Q " << st.q0 << " to "
                                                            << st.f1 << " Hz Q " << st.q1 << (which ? ", constant input" : ", sine input");
            }
        }
    }
}

// Ordinary moves keep the memory: numbers (factor 2.5 at Q 3, then 0.35 at sample 700 and
// Q 0.5 at 1300, where a memory scaled at each step gave -0.319 where the filter gives
// -0.549 for bp2), and settings as signals that sweep or step by an octave or two, for every
// kind, at vector sizes 1, 3 and 64, give the recursion's output bit for bit.
TEST(ModalfiltSteps, OrdinaryMovesKeepTheMemory)
{
    tk::ConsoleCapture quiet;
    const std::size_t n = 2400;
    const std::vector<double> x = tkt::noise(n, 1.0, 31);
    for (std::string kind : {"bp2", "rbp2", "lp2", "hp2"})
        for (int bs : {1, 3, 64})
            for (double sr : {22050.0, 192000.0}) {
                const std::size_t k1 = (700 + bs - 1) / bs * bs, k2 = (1300 + bs - 1) / bs * bs;  // between blocks
                tk::Patch p(sr, bs);
                tk::Box *b = p.create("modalfilt~ " + kind);
                ASSERT_NE(b, nullptr);
                p.send_float(b, 1, 2.5);
                p.send_float(b, 2, 3.0);
                p.feed(b, 0, x);
                p.capture(b, 0);
                p.run(std::int64_t(k1));
                p.send_float(b, 1, 0.35);
                p.run(std::int64_t(k2 - k1));
                p.send_float(b, 2, 0.5);
                p.run(std::int64_t(n - k2));
                std::vector<double> out = p.output(b, 0);
                ModalRef ref{kind};
                const std::vector<double> want =
                    ref.run(x, bs, [&](std::size_t i) { return std::make_pair(sent(i < k1 ? 2.5 : 0.35), sent(i < k2 ? 3.0 : 0.5)); });
                for (std::size_t i = 0; i < n; ++i)
                    ASSERT_EQ(out[i], want[i]) << kind << " at " << sr << " Hz, vector " << bs << ", numbers, sample " << i;
            }
    // as signals: a sweep of the factor over the audio range at Q 8, and steps of an octave
    // or two in factor and Q
    std::vector<double> sweep(n), steps(n), qsig(n);
    for (std::size_t i = 0; i < n; ++i) {
        sweep[i] = factor(40.0 * std::pow(500.0, double(i) / (n - 1)));
        steps[i] = factor(i < 800 ? 500.0 : i < 1600 ? 2000.0 : 700.0);
        qsig[i] = i < 1200 ? 8.0 : 2.0;
    }
    for (std::string kind : {"bp2", "rbp2", "lp2", "hp2"})
        for (const auto *lsig : {&sweep, &steps})
            for (int bs : {1, 3, 64}) {
                std::vector<double> out = render("modalfilt~ " + kind, {{0, x}, {1, *lsig}, {2, qsig}}, {}, std::int64_t(n), bs);
                ModalRef ref{kind};
                const std::vector<double> want = ref.run(x, bs, [&](std::size_t i) { return std::make_pair((*lsig)[i], qsig[i]); });
                for (std::size_t i = 0; i < n; ++i)
                    ASSERT_EQ(out[i], want[i]) << kind << ", vector " << bs << (lsig == &sweep ? ", sweep" : ", steps") << ", sample " << i;
            }
}

// A factor signal that jumps from a narrow low setting to a wide high one is held to the same
// bound as a number (the recursion as it stands gives 1661 from a sine of 1, 1300 times the
// bound).
TEST(ModalfiltSteps, ASignalJumpReleasesNothingStored)
{
    const std::size_t n = 8192;
    std::vector<double> in = tkt::sine(n, 300.0, kSr), lsig(n, factor(300.0)), qsig(n, 10.0);
    std::fill(lsig.begin() + 4096, lsig.end(), factor(9000.0));
    std::fill(qsig.begin() + 4096, qsig.end(), 0.5);
    std::vector<double> out = render("modalfilt~ bp2", {{0, in}, {1, lsig}, {2, qsig}}, {}, std::int64_t(n));
    ModalRef fresh{"bp2"};
    fresh.tune(factor(9000.0), 0.5);
    double sum = 0, before = 0, worst = 0;
    for (int i = 0; i < 4096; ++i) sum += std::fabs(fresh.step(i == 0 ? 1.0 : 0.0));
    for (std::size_t i = 0; i < 4096; ++i) before = std::max(before, std::fabs(out[i]));
    for (std::size_t i = 4096; i < n; ++i) worst = std::max(worst, std::fabs(out[i]));
    EXPECT_LE(worst, 65.0 * std::max(before, sum));
}

// A factor of 0 (half the sample rate) or one whose square vanishes beside 1 puts a pole on
// the unit circle: nothing may be stored meanwhile. Only lp2 passes anything there (the input
// itself), and the first usable factor starts from rest: from that block on the output is a
// fresh box's, sample for sample, whatever came before.
TEST(ModalfiltEnds, NothingStoredAtHalfTheRate)
{
    const std::int64_t hold = 24576, after = 4096;  // hold / 2: whole blocks of 1, 3, 64 and 4096
    std::vector<double> in = tkt::noise(std::size_t(hold + after), 1.0, 21);
    std::vector<double> tail(in.begin() + hold, in.end());
    // how the factor reaches the box: never set, a number 0 after a normal factor had filled
    // the filter, a signal at 0, a signal so small that l^2 + 1 == 1
    enum Way { Unset, NumberZero, SignalZero, SignalTiny };
    for (std::string kind : {"bp2", "rbp2", "lp2", "hp2"}) {
        std::vector<double> fresh = render("modalfilt~ " + kind, {{0, tail}}, {{1, 1.0}, {2, 1.0}}, after, 64);
        for (int block : {1, 3, 64, 4096}) {
            for (Way way : {Unset, NumberZero, SignalZero, SignalTiny}) {
                tk::Patch p(kSr, block);
                tk::Box *b = p.create("modalfilt~ " + kind);
                ASSERT_NE(b, nullptr);
                p.send_float(b, 2, 1.0);
                p.feed(b, 0, in);
                std::vector<double> lsig(std::size_t(hold + after), 1.0);
                if (way == SignalZero || way == SignalTiny)
                    std::fill(lsig.begin(), lsig.begin() + hold, way == SignalZero ? 0.0 : 1e-9);
                if (way == SignalZero || way == SignalTiny)
                    p.feed(b, 1, lsig);
                p.capture(b, 0);
                if (way == NumberZero) {
                    p.send_float(b, 1, 1.0);
                    p.run(hold / 2);
                    p.send_float(b, 1, 0.0);
                    p.run(hold / 2);
                } else {
                    p.run(hold);
                }
                if (way == Unset || way == NumberZero) p.send_float(b, 1, 1.0);
                p.run(after);
                const std::vector<double> &out = p.output(b, 0);
                ASSERT_GE(out.size(), std::size_t(hold + after));
                std::string what = kind + ", block " + std::to_string(block) + ", way " + std::to_string(way);
                for (std::int64_t i = way == NumberZero ? hold / 2 : 0; i < hold; ++i)
                    ASSERT_EQ(out[std::size_t(i)], kind == "lp2" ? in[std::size_t(i)] : 0.0) << what << ", sample " << i;
                for (std::int64_t i = 0; i < after; ++i)
                    ASSERT_EQ(out[std::size_t(hold + i)], fresh[std::size_t(i)])
                        << what << ", sample " << i << " after the factor arrived";
            }
        }
    }
}

// A factor whose square overflows (0 Hz) would make the coefficients infinite and the output
// NaN: there only hp2 passes anything (the input itself), and the next usable factor starts
// from rest.
TEST(ModalfiltEnds, OverflowingFactorIsZeroHertz)
{
    const std::int64_t hold = 640, after = 640;
    std::vector<double> in = tkt::noise(std::size_t(hold + after), 1.0, 23);
    std::vector<double> tail(in.begin() + hold, in.end());
    for (std::string kind : {"bp2", "rbp2", "lp2", "hp2"}) {
        std::vector<double> fresh = render("modalfilt~ " + kind, {{0, tail}}, {{1, 2.0}, {2, 0.7}}, after, 64);
        for (double big : {1e200, -1e300, HUGE_VAL}) {
            for (bool by_signal : {false, true}) {
                tk::Patch p(kSr, 64);
                tk::Box *b = p.create("modalfilt~ " + kind);
                ASSERT_NE(b, nullptr);
                p.send_float(b, 2, 0.7);
                p.feed(b, 0, in);
                if (by_signal) {
                    std::vector<double> lsig(std::size_t(hold + after), 2.0);
                    std::fill(lsig.begin(), lsig.begin() + hold, big);
                    p.feed(b, 1, lsig);
                } else {
                    p.send_float(b, 1, big);
                }
                p.capture(b, 0);
                p.run(hold);
                if (!by_signal) p.send_float(b, 1, 2.0);
                p.run(after);
                const std::vector<double> &out = p.output(b, 0);
                char what[80];
                snprintf(what, sizeof what, "%s at %g (%s)", kind.c_str(), big, by_signal ? "signal" : "number");
                for (std::int64_t i = 0; i < hold; ++i)
                    ASSERT_EQ(out[std::size_t(i)], kind == "hp2" ? in[std::size_t(i)] : 0.0) << what << ", sample " << i;
                for (std::int64_t i = 0; i < after; ++i)
                    ASSERT_EQ(out[std::size_t(hold + i)], fresh[std::size_t(i)]) << what << ", sample " << hold + i;
            }
        }
    }
}

TEST(ModalfiltMemory, NoAllocationsAndNothingLeft)
{
    tk::load_class("modalfilt~");
    auto before = tk::memory_stats();
    {
        tk::Patch p;
        tk::Box *b = p.create("modalfilt~ rbp2");
        ASSERT_NE(b, nullptr);
        p.process(b, {tkt::noise(1024), tkt::constant(1024, 3.0), tkt::constant(1024, 2.0)}, 1024);
        EXPECT_EQ(tk::allocations_in_perform(), 0);
    }
    EXPECT_EQ(tk::memory_stats().live_blocks, before.live_blocks);
}
