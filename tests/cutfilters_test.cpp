// highcut~ and lowcut~: one-pole cut filters, through the host, on the 64-bit chain and on
// the legacy 32-bit float chain.
#include "support.h"

#include <atomic>
#include <thread>

namespace {

using cd = std::complex<double>;
const double kTwoPi = 6.283185307179586;

class CutPath : public ::testing::TestWithParam<bool> {
protected:
    bool legacy() const { return GetParam(); }
    std::unique_ptr<tk::Patch> patch(double sr = 44100.0, int bs = 64) {
        auto p = std::make_unique<tk::Patch>(sr, bs);
        p->set_legacy(legacy());
        return p;
    }
    double seen(double v) const { return legacy() ? double(float(v)) : v; }  // what the routine reads
    void TearDown() override {
        EXPECT_TRUE(console.texts(tk::ConsoleLine::Error).empty()) << "errors posted";
        EXPECT_EQ(tk::allocations_in_perform(), perform_allocs) << "allocation while performing";
        EXPECT_EQ(tk::memory_stats().live_blocks, live) << "blocks left after the boxes were freed";
    }
    tk::ConsoleCapture console;
    std::int64_t perform_allocs = tk::allocations_in_perform();
    std::int64_t live = tk::memory_stats().live_blocks;
};

double highcut_coef(double f, double sr) { return std::min(std::max(f, 0.0) * kTwoPi / sr, 1.0); }
double lowcut_coef(double f, double sr) { return std::max(1.0 - std::max(f, 0.0) * kTwoPi / sr, 0.0); }

// Steady-state gain at a few frequencies against the transfer function, at two sample rates:
// the second rate reaches the box through DSP compilation only.
TEST_P(CutPath, MagnitudeFollowsTheTransferFunction) {
    for (const char *name : {"highcut~", "lowcut~"}) {
        auto p = patch(48000.0);
        tk::Box *b = p->create(name, {1000});
        for (double sr : {48000.0, 96000.0}) {
            p->set_samplerate(sr);
            for (double f : {100.0, 1000.0, 4000.0}) {  // whole periods at both rates
                cd z = std::polar(1.0, -kTwoPi * f / sr);  // z^-1
                double c, want;
                if (name[0] == 'h') {
                    c = highcut_coef(1000, sr);
                    want = std::abs(c / (1.0 - (1.0 - c) * z));
                } else {
                    c = lowcut_coef(1000, sr);
                    want = std::abs((1.0 - z) / (1.0 - c * z));
                }
                const long n = 9600;
                auto out = p->process(b, {tkt::sine(n, f, sr, 0.5)}, n);
                // whole-period correlation of a settled output: well under 0.1 %
                EXPECT_NEAR(tkt::amplitude_at(out[0], f, sr, n / 2) / 0.5, want, 1e-3 * want)
                    << name << " at " << f << " Hz, rate " << sr;
            }
        }
    }
}

// highcut~: a cutoff far above sr/2pi passes the input unchanged; 0 or a negative cutoff
// holds the last output; a number at the left inlet changes nothing.
TEST_P(CutPath, HighcutPassesAndHolds) {
    auto p = patch();
    tk::Box *b = p->create("highcut~ 1e6");
    auto x = tkt::noise(256, 0.5, 3);
    auto out = p->process(b, {x}, 256);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(out[0][i], seen(x[i])) << "sample " << i;
    p->send_float(b, 1, 800);
    double last = p->process(b, {x}, 256)[0].back();
    for (double cutoff : {0.0, -5.0}) {
        p->send_float(b, 1, cutoff);
        p->send_int(b, 0, 1000000);
        out = p->process(b, {x}, 128);
        for (int i = 0; i < 128; ++i) ASSERT_EQ(out[0][i], last) << "cutoff " << cutoff << ", sample " << i;
    }
}

// lowcut~: cutoff 0 (the default, and any negative number) passes the input and keeps no
// state; a cutoff far above sr/2pi is a first difference; a constant input decays to 0.
TEST_P(CutPath, LowcutPassesDifferencesAndRemovesOffset) {
    auto p = patch();
    tk::Box *b = p->create("lowcut~");
    auto x = tkt::noise(256, 0.5, 4);
    auto out = p->process(b, {x}, 256);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(out[0][i], seen(x[i])) << "sample " << i;
    p->send_float(b, 1, 1000);  // the state after pass-through is 0: the first output is the input
    EXPECT_EQ(p->process(b, {x}, 64)[0][0], seen(x[0]));

    p->send_float(b, 1, -30);
    out = p->process(b, {x}, 64);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(out[0][i], seen(x[i])) << "negative cutoff, sample " << i;

    p->send_int(b, 1, 100000);
    out = p->process(b, {x}, 256);
    for (int i = 0; i < 256; ++i) {
        double prev = i ? x[i - 1] : 0.0;  // pass-through left no state
        double want = legacy() ? double(float(x[i]) - float(prev)) : x[i] - prev;
        ASSERT_EQ(out[0][i], want) << "first difference, sample " << i;
    }

    tk::Box *dc = p->create("lowcut~ 50");
    out = p->process(dc, {tkt::constant(44100, 1.0)}, 44100);
    EXPECT_EQ(out[0][0], 1.0);
    EXPECT_LT(std::fabs(out[0].back()), 1e-9);  // decays as c^n, c = 0.9929
}

// A cutoff signal changing at every sample: highcut~ switching between pass (1e6 Hz) and
// hold (0 Hz) copies or repeats exactly; after the signal is gone, its last value remains.
TEST_P(CutPath, HighcutSignalCutoffActsPerSample) {
    auto p = patch(44100.0, 16);
    tk::Box *b = p->create("highcut~");
    const long n = 160;
    auto x = tkt::noise(n, 0.5, 5);
    std::vector<double> cut(n);
    std::mt19937 gen(6);
    for (auto &c : cut) c = gen() % 2 ? 1e6 : 0.0;
    cut.back() = 1e6;
    auto out = p->process(b, {x, cut}, n);
    double held = 0.0;
    for (long i = 0; i < n; ++i) {
        if (cut[i] > 0) held = seen(x[i]);
        ASSERT_EQ(out[0][i], held) << "sample " << i;
    }
    out = p->process(b, {x}, 32);  // number variant: the stored cutoff is now 1e6
    for (int i = 0; i < 32; ++i) ASSERT_EQ(out[0][i], seen(x[i])) << "after disconnecting, sample " << i;
}

// lowcut~'s recursion in the width of the chain (float on the legacy chain, whose routine
// reads the coefficient as a float): a reference that must agree with the box bit for bit.
template <typename T>
struct LowcutRef {
    T w_prev = 0;
    double step(double c, double x) {
        const T w = T(x) + T(c) * w_prev;
        const T y = w - w_prev;
        w_prev = w;
        return double(y);
    }
};

// lowcut~ with a cutoff signal against its difference equations, c recomputed at every
// sample and the memory kept as it is (a cutoff of 0 inside a filtering block integrates).
TEST_P(CutPath, LowcutSignalCutoffFollowsTheDifferenceEquation) {
    const double sr = 44100.0;
    auto p = patch(sr, 37);
    tk::Box *b = p->create("lowcut~ 1000");
    const long n = 37 * 20;
    auto x = tkt::noise(n, 0.5, 9);
    auto cut = tkt::noise(n, 1500.0, 10);
    for (auto &c : cut) c += 1500.0;  // 0 .. 3000 Hz
    cut[100] = -200.0;                // acts as 0
    auto out = p->process(b, {x, cut}, n);
    LowcutRef<double> d;
    LowcutRef<float> f;
    for (long i = 0; i < n; ++i) {
        const double c = lowcut_coef(seen(cut[i]), sr);
        const double want = legacy() ? f.step(c, x[i]) : d.step(c, x[i]);
        ASSERT_EQ(out[0][i], want) << "sample " << i;
    }
}

// A number moves the cutoff by an octave or two, at any vector size and rate: the memory is
// kept and the recursion goes on with the new coefficient from the block at which the number
// arrives (a memory rescaled by (1 - c_old) / (1 - c_new) gave -0.333 where the filter gives
// -0.534 from 1234.5 to 2425.5 Hz at 22050 Hz).
TEST_P(CutPath, LowcutNumberChangesKeepTheMemory) {
    struct Move {
        double sr, f0;
        long at;
        double f1;
    };
    const Move moves[] = {{22050, 1234.5, 700, 2425.5}, {44100, 300, 900, 1200}, {96000, 5000, 600, 1250}, {192000, 40, 800, 160}};
    for (const Move &m : moves)
        for (int bs : {1, 3, 64}) {
            const long n = 2000;
            auto x = tkt::noise(n, 1.0, 14);
            auto p = patch(m.sr, bs);
            tk::Box *b = p->create("lowcut~ " + std::to_string(m.f0));
            const long k = (m.at + bs - 1) / bs * bs;  // the number lands between blocks
            auto out = p->process(b, {std::vector<double>(x.begin(), x.begin() + k)}, k)[0];
            p->send_float(b, 1, m.f1);
            auto rest = p->process(b, {std::vector<double>(x.begin() + k, x.end())}, n - k)[0];
            out.insert(out.end(), rest.begin(), rest.end());
            LowcutRef<double> d;
            LowcutRef<float> f;
            for (long i = 0; i < n; ++i) {
                const double c = lowcut_coef(i < k ? m.f0 : m.f1, m.sr);
                const double want = legacy() ? f.step(c, x[i]) : d.step(c, x[i]);
                ASSERT_EQ(out[i], want) << m.sr << " Hz, vector " << bs << ", " << m.f0 << " -> " << m.f1 << " Hz, sample " << i;
            }
        }
}

// lowcut~ created without a cutoff passes its first block through; a cutoff signal then
// takes over from the next block on instead of leaving it in pass-through for good. And
// a cutoff signal reaching 0 turns filtering into exact pass-through from the next block.
TEST_P(CutPath, LowcutSignalCutoffLeavesPassThrough) {
    auto p = patch();
    tk::Box *b = p->create("lowcut~");
    const long n = 64 * 200;
    auto out = p->process(b, {tkt::constant(n, 1.0), tkt::constant(n, 1000.0)}, n);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(out[0][i], 1.0) << "first block, sample " << i;
    EXPECT_EQ(out[0][64], 1.0);  // pass-through left no state
    EXPECT_LT(out[0][65], 1.0);
    EXPECT_LT(std::fabs(out[0].back()), 1e-6) << "the offset is not removed";

    auto x = tkt::noise(128, 0.5, 11);
    std::vector<double> cut(128, 0.0);
    cut[0] = 500.0;
    out = p->process(b, {x, cut}, 128);
    for (int i = 64; i < 128; ++i) ASSERT_EQ(out[0][i], seen(x[i])) << "second block, sample " << i;
}

// The number variant of lowcut~ works in groups of four: any vector size gives the same render.
TEST_P(CutPath, LowcutIsTheSameAtEveryVectorSize) {
    auto x = tkt::noise(420, 0.5, 12);
    std::vector<double> ref;
    for (int bs : {64, 1, 2, 3, 5, 7}) {
        auto p = patch(44100.0, bs);
        tk::Box *b = p->create("lowcut~ 700");
        auto out = p->process(b, {x}, 420)[0];
        if (ref.empty()) ref = out;
        for (int i = 0; i < 420; ++i) ASSERT_EQ(out[i], ref[i]) << "vector size " << bs << ", sample " << i;
    }
}

// A NaN or infinite input sample spoils at most its own block: the state is reset at the
// block's end. `clear` forgets the state. Either way the rest is what a fresh box makes of
// the rest of the input.
TEST_P(CutPath, RecoverFromNonFiniteInputAndClear) {
    for (const char *name : {"highcut~ 2000", "lowcut~ 2000"})
        for (double bad : {double(NAN), double(INFINITY), 0.0}) {
            auto p = patch();
            tk::Box *b = p->create(name);
            auto x = tkt::noise(256, 0.5, 13);
            x[70] = bad;
            if (bad == 0.0) {  // no bad sample: clear between the halves instead
                p->process(b, {std::vector<double>(x.begin(), x.begin() + 128)}, 128);
                p->send(b, "clear");
                x.erase(x.begin(), x.begin() + 128);
            }
            auto out = p->process(b, {x}, long(x.size()))[0];
            auto fresh = p->process(p->create(name), {std::vector<double>(x.end() - 128, x.end())}, 128)[0];
            for (int i = 0; i < 128; ++i)
                ASSERT_EQ(out[out.size() - 128 + i], fresh[i]) << name << " after " << bad << ", sample " << i;
        }
}

// A much higher cutoff releases the integrator, which holds a constant input times
// rate / (2 pi cutoff), only up to 16 times the larger of the output before and the input's
// peak through the new cutoff (twice the peak for any cutoff): the recursion as it stands gives
// -1499 from a constant 1 after 20 Hz -> 30 kHz at 384 kHz, 750 times that. By number and by
// signal; and a move down is the recursion's own.
TEST_P(CutPath, LowcutNewCutoffReleasesNoStoredEnergy) {
    const double sr = 384000.0;
    const long settle = 384000, after = 38400;
    for (bool by_signal : {false, true}) {
        auto p = patch(sr, 64);
        tk::Box *b = p->create("lowcut~ 20");
        std::vector<double> out;
        if (by_signal) {
            std::vector<double> cut(settle + after, 20.0);
            std::fill(cut.begin() + settle, cut.end(), 30000.0);
            out = p->process(b, {tkt::constant(settle + after, 1.0), cut}, settle + after)[0];
        } else {
            out = p->process(b, {tkt::constant(settle, 1.0)}, settle)[0];
            p->send_float(b, 1, 30000.0);
            auto rest = p->process(b, {tkt::constant(after, 1.0)}, after)[0];
            out.insert(out.end(), rest.begin(), rest.end());
        }
        double before = 0;
        for (long i = 0; i < settle; ++i) before = std::max(before, std::fabs(out[i]));
        // 16 times the bound for what is released, once more for the input's own response
        const double bound = 17.0 * std::max(before, 2.0);
        for (long i = settle; i < settle + after; ++i)
            ASSERT_LE(std::fabs(out[i]), bound) << (by_signal ? "signal" : "number") << ", sample " << i;
        EXPECT_LT(std::fabs(out.back()), 1e-6) << "the offset is removed again";
    }
    // down: 3 kHz -> 5 Hz; the memory is kept, so the constant the 3 kHz filter had removed
    // comes back as a fresh 5 Hz filter's step would
    auto p = patch(sr, 7);
    tk::Box *b = p->create("lowcut~ 3000");
    auto first = p->process(b, {tkt::constant(38500, 1.0)}, 38500)[0];  // whole blocks: nothing padded
    p->send_float(b, 1, 5.0);
    const auto low = p->process(b, {tkt::constant(4096, 1.0)}, 4096)[0];
    LowcutRef<double> d;
    LowcutRef<float> f;
    for (long i = 0; i < 38500 + 4096; ++i) {
        const double c = lowcut_coef(i < 38500 ? 3000.0 : 5.0, sr);
        const double want = legacy() ? f.step(c, 1.0) : d.step(c, 1.0);
        ASSERT_EQ(i < 38500 ? first[i] : low[i - 38500], want) << "3 kHz -> 5 Hz, sample " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, CutPath, ::testing::Values(false, true),
                         [](const auto &i) { return i.param ? "legacy" : "dsp64"; });

// A message from another thread, landing mid-block, takes effect at the start of a block
// (tkt::expect_message_kept_across_threads). Low cutoffs: a lost clear would show for
// thousands of samples.
TEST(CutMessages, ClearFromAnotherThreadDuringABlockIsNotLost) {
    const int n = 4096;  // long blocks: the message most likely lands mid-block
    for (const char *box : {"highcut~ 10", "lowcut~ 10"})
        tkt::expect_message_kept_across_threads(box, "clear", {tkt::constant(n, 1.0)}, {tkt::noise(n, 0.5, 11)}, 4);
}

TEST(CutClass, MethodsAssistAndBanner) {
    using M = std::vector<std::pair<std::string, std::vector<int>>>;
    const M expected = {{"dsp64", {9}}, {"dsp", {9}}, {"float", {2}}, {"int", {1}}, {"clear", {}}, {"assist", {9}}};
    for (const char *name : {"highcut~", "lowcut~"}) {
        const tk::ClassInfo &c = tk::load_class(name);
        M got;
        for (auto &m : c.methods) got.push_back({m.selector, m.types});
        EXPECT_EQ(got, expected) << name;
        EXPECT_EQ(c.entry, "main");
        EXPECT_EQ(c.creation_types, std::vector<int>{8});
        ASSERT_EQ(c.banner.size(), 3u);
        EXPECT_EQ(c.banner[0], std::string(74, '-'));
        EXPECT_EQ(c.banner[2].rfind("tildekit ", 0), 0u) << c.banner[2];

        tk::Patch p;
        tk::Box *b = p.create(name);
        EXPECT_EQ(b->signal_inlets(), 2);
        EXPECT_EQ(b->signal_outlets(), 1);
        EXPECT_EQ(b->assist(1, 0), std::string("(signal) Input to be filtered"));
        EXPECT_EQ(b->assist(1, 1), std::string("(signal/float) Cutoff Frequency"));
        EXPECT_EQ(b->assist(1, 2), std::nullopt);
        EXPECT_EQ(b->assist(2, 0), std::string("(signal) Filtered signal"));
        EXPECT_EQ(b->assist(2, 3), std::string("(signal) Filtered signal"));
    }
}

}  // namespace
