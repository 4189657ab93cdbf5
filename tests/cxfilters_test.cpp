// cxrecur~, cxfwdtap~, cxbacktap~: complex first-order sections, through the host, on the
// 64-bit chain and on the legacy 32-bit float chain.
#include "support.h"

#include <array>
#include <atomic>
#include <thread>

namespace {

using cd = std::complex<double>;
const double kTwoPi = 6.283185307179586;

enum Kind { Recur, Fwd, Back };
const char *const kName[] = {"cxrecur~", "cxfwdtap~", "cxbacktap~"};

// Inputs of one render: real input per sample; imaginary input and coefficient per sample too,
// of which the object may only use the first sample of each block.
struct Inputs {
    std::vector<double> re, im, cr, ci;
};

// The section as complex maths: x = re + i*im, state = previous output (Recur) or input.
std::vector<cd> reference(Kind k, const Inputs &in, long bs, bool legacy) {
    auto seen = [&](double v) { return legacy ? double(float(v)) : v; };  // legacy inputs are floats
    cd state = 0.0;
    std::vector<cd> y(in.re.size());
    for (std::size_t n = 0; n < y.size(); ++n) {
        std::size_t b0 = n - n % std::size_t(bs);
        cd c(seen(in.cr[b0]), seen(in.ci[b0]));
        cd x(seen(in.re[n]), seen(in.im[b0]));
        switch (k) {
        case Recur: state = x + c * state; y[n] = state; break;
        case Fwd: y[n] = x - c * state; state = x; break;
        case Back: y[n] = state - std::conj(x) * c; state = x; break;
        }
    }
    return y;
}

class CxPath : public ::testing::TestWithParam<bool> {
protected:
    bool legacy() const { return GetParam(); }
    std::unique_ptr<tk::Patch> patch(long bs) {
        auto p = std::make_unique<tk::Patch>(44100.0, int(bs));
        p->set_legacy(legacy());
        return p;
    }
    // double: rounding order only; legacy: single precision through a recursion of gain <= 10
    double tol() const { return legacy() ? 1e-4 : 1e-12; }
    void expect_near(const std::vector<std::vector<double>> &out, const std::vector<cd> &ref, const std::string &what) {
        for (std::size_t n = 0; n < ref.size(); ++n) {
            ASSERT_NEAR(out[0][n], ref[n].real(), tol()) << what << ": real part, sample " << n;
            ASSERT_NEAR(out[1][n], ref[n].imag(), tol()) << what << ": imaginary part, sample " << n;
        }
    }
    void TearDown() override {
        EXPECT_TRUE(console.texts(tk::ConsoleLine::Error).empty()) << "errors posted";
        EXPECT_EQ(tk::allocations_in_perform(), perform_allocs) << "allocation while performing";
        EXPECT_EQ(tk::memory_stats().live_blocks, live) << "blocks left after the boxes were freed";
    }
    tk::ConsoleCapture console;
    std::int64_t perform_allocs = tk::allocations_in_perform();
    std::int64_t live = tk::memory_stats().live_blocks;
};

// Signals changing at every sample: only the first sample of each block of the imaginary
// input and of the coefficient may count. Each control inlet follows its own connection: all
// connected, and two mixes where the unconnected ones use their numbers (from creation
// arguments, `float` and `int`; a number at the left inlet changes nothing). Odd block size.
TEST_P(CxPath, ControlsFollowTheirConnections) {
    const long bs = 37, n = bs * 24;
    const unsigned seed = 20240604;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> mag(0.0, 0.9), ang(0.0, kTwoPi);
    Inputs sig{tkt::noise(n, 0.5, seed), tkt::noise(n, 0.5, seed + 1), {}, {}};
    for (long i = 0; i < n; ++i) {
        cd c = std::polar(mag(gen), ang(gen));  // |c| < 0.9: the recursion stays bounded
        sig.cr.push_back(c.real());
        sig.ci.push_back(c.imag());
    }
    const double number[4] = {0, 2, -0.5, 0.25};  // what inlets 1 to 3 hold as numbers
    for (auto connected : {std::array<bool, 4>{true, true, true, true}, std::array<bool, 4>{true, false, true, false},
                           std::array<bool, 4>{true, true, false, true}})
        for (Kind k : {Recur, Fwd, Back}) {
            auto p = patch(bs);
            tk::Box *b = p->create(kName[k], {number[2], 7.0});
            p->send_float(b, 0, 5.0);
            p->send_int(b, 1, 2);
            p->send_float(b, 3, number[3]);
            Inputs in = sig;
            std::vector<double> *lines[4] = {&in.re, &in.im, &in.cr, &in.ci};
            for (int i = 0; i < 4; ++i) {
                if (connected[i])
                    p->feed(b, i, *lines[i]);
                else
                    *lines[i] = tkt::constant(n, number[i]);
            }
            p->capture(b, 0);
            p->capture(b, 1);
            p->run(n);
            std::string what = std::string(kName[k]) + (connected[1] ? " im" : "") + (connected[2] ? " cr" : "") +
                               (connected[3] ? " ci" : "");
            expect_near({p->output(b, 0), p->output(b, 1)}, reference(k, in, bs, legacy()), what);
        }
}

// `set` with two, one and no arguments, `clear` (with arguments where it takes A_GIMME).
// With c = 1 and silence in, the first output shows the state: cxrecur~ keeps it, cxfwdtap~
// gives its negative, cxbacktap~ gives it back.
TEST_P(CxPath, SetAndClearWriteTheState) {
    for (Kind k : {Recur, Fwd, Back}) {
        auto p = patch(16);
        tk::Box *b = p->create(kName[k], {1});
        ASSERT_NE(b, nullptr);
        const double sign = k == Fwd ? -1.0 : 1.0;
        auto first = [&] {
            auto o = p->process(b, {}, 16);
            return cd(o[0][0], o[1][0]);
        };
        p->send(b, "set", {0.5, 0.25});
        EXPECT_EQ(first(), cd(sign * 0.5, sign * 0.25)) << kName[k];
        p->send(b, "set", {0.75});
        EXPECT_EQ(first(), cd(sign * 0.75, 0.0)) << kName[k] << ": one argument zeroes the imaginary state";
        p->send(b, "set", {0.5, 0.25});
        if (k == Fwd)
            p->send(b, "clear");
        else
            p->send(b, "clear", {1, 2});
        EXPECT_EQ(first(), cd(0.0, 0.0)) << kName[k];
        p->send(b, "set", {0.5, 0.25});
        p->send(b, "set");
        EXPECT_EQ(first(), cd(0.0, 0.0)) << kName[k] << ": set without arguments";
    }
}

// cxrecur~ with |c| > 2 and a constant input grows without bound in both parts. The block in
// which the state leaves the guarded range (2^513 on the 64-bit chain, float infinity or NaN
// on the legacy one) ends with both parts reset, and the next block starts afresh:
// 1, then 1 + c = 2.5 + 1.5i.
TEST_P(CxPath, RunawayStateIsResetAtTheBlockEnd) {
    const long bs = 64, n = bs * 20;
    auto p = patch(bs);
    tk::Box *b = p->create("cxrecur~", {1.5, 1.5});
    auto out = p->process(b, {tkt::constant(n, 1.0)}, n);
    const double limit = std::ldexp(1.0, 513);
    long bad = -1;
    for (long i = 0; i < n && bad < 0; ++i)
        if (!(std::fabs(out[0][i]) < limit && std::fabs(out[1][i]) < limit)) bad = i;
    ASSERT_GE(bad, 0) << "the state never ran away";
    long next = (bad / bs + 1) * bs;
    ASSERT_LT(next + 1, n);
    EXPECT_EQ(cd(out[0][next], out[1][next]), cd(1.0, 0.0)) << "block at " << next;
    EXPECT_EQ(cd(out[0][next + 1], out[1][next + 1]), cd(2.5, 1.5));
}

INSTANTIATE_TEST_SUITE_P(Paths, CxPath, ::testing::Values(false, true),
                         [](const auto &i) { return i.param ? "legacy" : "dsp64"; });

// A second thread sends `text` while the audio thread runs one-block inputs, most likely
// mid-block: the message must take effect at the start of a block. cxrecur~ with c = 1
// integrates, so a lost clear or set would stay for good; the two zeros show it at the next
// block's first sample.
TEST(CxMessages, SetAndClearFromAnotherThreadDuringABlockAreNotLost) {
    const int n = 4096;  // long blocks: the message most likely lands mid-block
    for (const char *name : kName) {
        auto make = [name](tk::Patch &p) {
            tk::Box *b = p.create(name);
            p.send_float(b, 1, 0.25);                                      // imaginary input
            p.send_float(b, 2, std::string(name) == "cxrecur~" ? 1.0 : 0.5);  // c, real part
            return b;
        };
        for (const char *text : {"clear", "set 5 -3"})
            tkt::expect_message_kept_across_threads(make, text, {tkt::constant(n, 1.0)}, {tkt::noise(n, 0.5, 9)});
    }
}

// Registration order and type lists differ between the three; assist texts are the same.
TEST(CxClass, MethodsAssistAndBanner) {
    using M = std::vector<std::pair<std::string, std::vector<int>>>;
    const M dsp = {{"dsp64", {9}}, {"dsp", {9}}};
    const M num = {{"float", {2}}, {"int", {1}}};
    auto cat = [](M a, const M &b) { a.insert(a.end(), b.begin(), b.end()); return a; };
    const M expected[] = {
        cat(cat(dsp, num), {{"set", {6, 6}}, {"clear", {8}}, {"assist", {9}}}),
        cat(cat(dsp, {{"set", {6, 6}}, {"clear", {}}}), cat(num, {{"assist", {9}}})),
        cat(cat(dsp, {{"set", {6, 6}}, {"clear", {8}}}), cat(num, {{"assist", {9}}})),
    };
    const char *const inlet[] = {
        "(signal) Input to be filtered-Real part(clear) Clear internal state to zero(set) set internal "
        "state-real and imaginary parts",
        "(signal) Signal to filter-Imaginary part ",
        "(signal) Filter coefficient - Real part ",
        "(signal) Filter coefficient - Imaginary part ",
    };
    for (Kind k : {Recur, Fwd, Back}) {
        const tk::ClassInfo &c = tk::load_class(kName[k]);
        M got;
        for (auto &m : c.methods) got.push_back({m.selector, m.types});
        EXPECT_EQ(got, expected[k]) << kName[k];
        EXPECT_EQ(c.entry, "main");
        EXPECT_EQ(c.creation_types, std::vector<int>{8});
        EXPECT_TRUE(c.dsp);
        ASSERT_EQ(c.banner.size(), 3u) << kName[k];
        EXPECT_EQ(c.banner[0], std::string(74, '-'));
        EXPECT_EQ(c.banner[2].rfind("tildekit ", 0), 0u) << c.banner[2];

        tk::Patch p;
        tk::Box *b = p.create(kName[k]);
        EXPECT_EQ(b->signal_inlets(), 4);
        EXPECT_EQ(b->signal_outlets(), 2);
        EXPECT_FALSE(b->no_inplace());
        for (int i = 0; i < 4; ++i) EXPECT_EQ(b->assist(1, i), std::string(inlet[i])) << kName[k] << " inlet " << i;
        EXPECT_EQ(b->assist(1, 4), std::nullopt);
        EXPECT_EQ(b->assist(2, 0), std::string("(signal) Filtered signal-re"));
        EXPECT_EQ(b->assist(2, 1), std::string("(signal) Filtered signal-im"));
        EXPECT_EQ(b->assist(2, 2), std::nullopt);
    }
}

}  // namespace
