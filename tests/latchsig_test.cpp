// latchsig~: sampling on a falling control, the per-block ramp of a number control,
// `set` and `reset`, and the object's interface; both perform paths.
#include "support.h"

namespace {

struct Path {
    bool legacy;
    const char *name;
};
const Path kPaths[] = {{false, "64-bit perform"}, {true, "legacy perform"}};

// Input whose every sample is its own index: the output names the sample that was taken.
std::vector<double> index_signal(std::size_t n) {
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = double(i);
    return v;
}

TEST(LatchsigInterface, ClassMethodsBannerAndAssist) {
    const tk::ClassInfo &c = tk::load_class("latchsig~");
    EXPECT_EQ(c.name, "latchsig~");
    EXPECT_EQ(c.entry, "main");
    EXPECT_EQ(c.creation_types, std::vector<int>{8});
    EXPECT_TRUE(c.dsp);
    ASSERT_EQ(c.methods.size(), 6u);
    const char *sel[] = {"dsp64", "dsp", "set", "reset", "float", "assist"};
    const int type[] = {9, 9, 6, 8, 2, 9};
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(c.methods[i].selector, sel[i]) << "method " << i;
        EXPECT_EQ(c.methods[i].types, std::vector<int>{type[i]}) << c.methods[i].selector;
    }
    ASSERT_EQ(c.banner.size(), 3u);
    EXPECT_EQ(c.banner[0], std::string(74, '-'));

    tk::Patch p;
    tk::Box *b = p.create("latchsig~");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->signal_inlets(), 2);
    EXPECT_EQ(b->signal_outlets(), 1);
    EXPECT_FALSE(b->no_inplace());
    EXPECT_EQ(b->assist(1, 0),
              std::optional<std::string>(
                  "(signal) Input to be sampled\n(set) sets the output value\n(reset) specifies teh most value"));
    EXPECT_EQ(b->assist(1, 1), std::optional<std::string>("(signal) Control signal"));
    EXPECT_EQ(b->assist(1, 2), std::nullopt);
    EXPECT_EQ(b->assist(2, 0), std::optional<std::string>("(signal) Outgoing signal"));
    EXPECT_EQ(b->assist(2, 5), std::optional<std::string>("(signal) Outgoing signal"));
}

// A ramp of period 100 against blocks of 64: the wraps fall inside blocks and on block
// boundaries alike, and the input is taken exactly at each wrap sample.
TEST(LatchsigSampling, RampControlSamplesOncePerCycleAcrossBlocks) {
    const std::size_t frames = 1000, period = 100;
    std::vector<double> control(frames);
    for (std::size_t i = 0; i < frames; ++i) control[i] = double(i % period) / double(period);
    for (const Path &path : kPaths) {
        tk::Patch p(44100, 64);
        p.set_legacy(path.legacy);
        tk::Box *b = p.create("latchsig~");
        ASSERT_NE(b, nullptr);
        auto out = p.process(b, {index_signal(frames), control}, frames)[0];
        int changes = 0;
        for (std::size_t i = 0; i < frames; ++i) {
            double expected = double((i / period) * period);  // the last wrap at or before i; 0 before the first
            ASSERT_EQ(out[i], expected) << path.name << ", sample " << i;
            if (i && out[i] != out[i - 1]) ++changes;
        }
        EXPECT_EQ(changes, int(frames / period) - 1) << path.name;
    }
}

TEST(LatchsigSampling, FallAcrossBlockBoundaryIsSeen) {
    // the control falls exactly between two blocks: last sample of block 0 high, first of block 1 low
    for (const Path &path : kPaths) {
        tk::Patch p(44100, 8);
        p.set_legacy(path.legacy);
        tk::Box *b = p.create("latchsig~");
        std::vector<double> control(24, 0.0);
        for (int i = 0; i < 8; ++i) control[std::size_t(i)] = 0.1 * (i + 1);  // rises to 0.8, then 0
        auto out = p.process(b, {index_signal(24), control}, 24)[0];
        for (int i = 0; i < 8; ++i) EXPECT_EQ(out[std::size_t(i)], 0.0) << path.name << ", sample " << i;
        for (int i = 8; i < 24; ++i) EXPECT_EQ(out[std::size_t(i)], 8.0) << path.name << ", sample " << i;
    }
}

TEST(LatchsigSampling, ConstantControlNeverSamples) {
    for (const Path &path : kPaths) {
        tk::Patch p(44100, 64);
        p.set_legacy(path.legacy);
        tk::Box *b = p.create("latchsig~");
        auto out = p.process(b, {tkt::constant(640, 0.75), tkt::constant(640, 0.3)}, 640)[0];
        for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], 0.0) << path.name << ", sample " << i;
    }
}

// A NaN control sample never triggers, and it is the previous value for the next sample,
// so the fall right after it is not seen either; the next fall after that is.
TEST(LatchsigSampling, NanControlNeverTriggersAndRecovers) {
    tk::Patch p(44100, 8);
    tk::Box *b = p.create("latchsig~");
    std::vector<double> control = {0.5, NAN, 0.2, 0.1, 0.1, 0.1, 0.1, 0.1};
    auto out = p.process(b, {index_signal(8), control}, 8)[0];
    const double expected[] = {0, 0, 0, 3, 3, 3, 3, 3};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(out[std::size_t(i)], expected[i]) << "sample " << i;
}

// Without a control signal the control is the ramp v, v + 1, ... in every block: it falls
// at the first sample of each block after the first.
TEST(LatchsigRamp, NoControlSignalSamplesAtEachBlockStart) {
    for (const Path &path : kPaths) {
        for (int n : {2, 3, 64}) {
            tk::Patch p(44100, n);
            p.set_legacy(path.legacy);
            tk::Box *b = p.create("latchsig~");
            const std::size_t frames = std::size_t(n) * 6;
            auto out = p.process(b, {index_signal(frames)}, std::int64_t(frames))[0];
            for (std::size_t i = 0; i < frames; ++i) {
                std::size_t block = i / std::size_t(n);
                double expected = block == 0 ? 0.0 : double(block * std::size_t(n));
                ASSERT_EQ(out[i], expected) << path.name << ", block size " << n << ", sample " << i;
            }
        }
    }
}

TEST(LatchsigRamp, BlockSizeOneNeverFalls) {
    // one sample per block: the ramp is v in every block, never below the previous v
    tk::Patch p(44100, 1);
    tk::Box *b = p.create("latchsig~");
    auto out = p.process(b, {index_signal(50)}, 50)[0];
    for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], 0.0) << "sample " << i;
}

TEST(LatchsigRamp, NumberAtControlInletMovesTheRamp) {
    tk::Patch p(44100, 16);
    tk::Box *b = p.create("latchsig~");
    p.feed(b, 0, index_signal(16 * 8));
    p.capture(b, 0);
    p.send_float(b, 1, 1000.0);  // block 0: 1000..1015, no fall from 0
    p.run_blocks(1);
    p.send_int(b, 1, 2);  // an int arrives as a float: block 1 starts at 2 < 1015: samples
    p.run_blocks(1);
    p.send_float(b, 1, 500.0);  // block 2: 500 > 17: no fall
    p.run_blocks(2);             // block 3: 500 < 515: samples
    const auto &out = p.output(b, 0);
    ASSERT_EQ(out.size(), 64u);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(out[std::size_t(i)], 0.0) << "block 0, sample " << i;
    for (int i = 16; i < 48; ++i) EXPECT_EQ(out[std::size_t(i)], 16.0) << "blocks 1-2, sample " << i;
    for (int i = 48; i < 64; ++i) EXPECT_EQ(out[std::size_t(i)], 48.0) << "block 3, sample " << i;
}

TEST(LatchsigInputNumber, NumberIsSampledWhenInputHasNoSignal) {
    for (const Path &path : kPaths) {
        tk::Patch p(44100, 8);
        p.set_legacy(path.legacy);
        tk::Box *b = p.create("latchsig~");
        p.send_float(b, 0, 0.25);
        std::vector<double> control = {0.5, 0.6, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6};
        p.feed(b, 1, control);
        p.capture(b, 0);
        p.run_blocks(1);
        const auto &out = p.output(b, 0);
        const double expected[] = {0, 0, 0.25, 0.25, 0.25, 0.25, 0.25, 0.25};
        for (int i = 0; i < 8; ++i) EXPECT_EQ(out[std::size_t(i)], expected[i]) << path.name << ", sample " << i;
    }
}

TEST(LatchsigMessages, SetHoldsAValueUntilTheNextFall) {
    for (const Path &path : kPaths) {
        tk::Patch p(44100, 8);
        p.set_legacy(path.legacy);
        tk::Box *b = p.create("latchsig~");
        p.send(b, "set", {3.0});
        auto out = p.process(b, {tkt::constant(32, 9.0), tkt::constant(32, 0.5)}, 32)[0];
        for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], 3.0) << path.name << ", sample " << i;
        p.send(b, "set");  // no argument: 0
        out = p.process(b, {tkt::constant(8, 9.0), tkt::constant(8, 0.5)}, 8)[0];
        for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], 0.0) << path.name << ", sample " << i;
    }
}

// A `set` or `reset` from another thread, landing mid-block, takes effect at the start of a
// block (tkt::expect_message_kept_across_threads): the block that was running must not store
// its own held value or control memory over it. The control stays at 1, so nothing falls but
// what `reset` arms; the held value is then the one `set` gave, or the input's first sample.
TEST(LatchsigMessages, SetAndResetFromAnotherThreadDuringABlockAreNotLost) {
    const int n = 4096;  // long blocks: the message most likely lands mid-block
    for (const char *text : {"set 5", "reset", "reset 2.5"})
        tkt::expect_message_kept_across_threads("latchsig~", text, {tkt::noise(n, 0.5, 3), tkt::constant(n, 1.0)},
                                                {tkt::noise(n, 0.5, 7), tkt::constant(n, 1.0)});
}

// `reset` arms the latch unless its first atom is a float, which becomes the previous
// control value. A constant control of 0.5 never falls by itself.
TEST(LatchsigMessages, ResetAtomTypeRule) {
    struct Case {
        const char *what;
        tk::Atoms args;
        bool samples;
    } cases[] = {
        {"no argument", {}, true},
        {"int 1", {1}, true},
        {"int 0", {0}, true},
        {"symbol", {"high"}, true},
        {"float 0.5", {0.5}, false},
        {"float 0.75", {0.75}, true},
        {"float 0.25", {0.25}, false},
    };
    for (const Path &path : kPaths) {
        for (const Case &c : cases) {
            tk::Patch p(44100, 8);
            p.set_legacy(path.legacy);
            tk::Box *b = p.create("latchsig~");
            p.feed(b, 0, index_signal(16));
            p.feed(b, 1, tkt::constant(16, 0.5));
            p.capture(b, 0);
            p.run_blocks(1);
            p.send(b, "reset", c.args);
            p.run_blocks(1);
            const auto &out = p.output(b, 0);
            ASSERT_EQ(out.size(), 16u);
            for (int i = 0; i < 8; ++i) EXPECT_EQ(out[std::size_t(i)], 0.0) << path.name << ", " << c.what;
            for (int i = 8; i < 16; ++i)
                EXPECT_EQ(out[std::size_t(i)], c.samples ? 8.0 : 0.0) << path.name << ", reset " << c.what << ", sample " << i;
        }
    }
}

}  // namespace
