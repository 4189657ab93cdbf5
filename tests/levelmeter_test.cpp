// levelmeter~: levels against closed forms, output times, argument corrections, the
// 32-window limit, window growth, and both allocation failures.
#include "support.h"

namespace {

const double kSr = 44100.0;

struct Levels {
    std::vector<std::int64_t> samples;  // when each level was sent
    std::vector<double> levels;
};

// Runs a fresh-or-given box on a generated signal and collects its levels.
Levels collect(tk::Box *b) {
    Levels r;
    for (const tk::Event &e : b->events()) {
        EXPECT_EQ(e.outlet, 0);
        EXPECT_EQ(e.kind, tk::Event::Float);
        r.samples.push_back(e.sample);
        r.levels.push_back(e.value);
    }
    return r;
}

void feed_constant(tk::Patch &p, tk::Box *b, double v) {
    p.feed(b, 0, [v](double *out, long n, std::int64_t) { std::fill(out, out + n, v); });
}

void feed_sine(tk::Patch &p, tk::Box *b, double freq) {
    p.feed(b, 0, [freq](double *out, long n, std::int64_t start) {
        for (long i = 0; i < n; ++i) out[i] = std::sin(2.0 * M_PI * freq * double(start + i) / kSr);
    });
}

// Level of a mean square on the meter's scale, from the definition 100 + 10 log10(ms).
double level_of(double mean_square) { return std::max(0.0, 100.0 + 10.0 * std::log10(mean_square)); }

// Distances between consecutive outputs.
std::vector<std::int64_t> gaps(const std::vector<std::int64_t> &s) {
    std::vector<std::int64_t> g;
    for (std::size_t i = 1; i < s.size(); ++i) g.push_back(s[i] - s[i - 1]);
    return g;
}

TEST(LevelmeterInterface, ClassAndBox) {
    const tk::ClassInfo &c = tk::load_class("levelmeter~");
    EXPECT_EQ(c.entry, "main");
    EXPECT_EQ(c.creation_types, std::vector<int>{8});
    ASSERT_EQ(c.methods.size(), 2u);
    EXPECT_EQ(c.methods[0].selector, "dsp64");
    EXPECT_EQ(c.methods[0].types, std::vector<int>{9});
    EXPECT_EQ(c.methods[1].selector, "dsp");
    EXPECT_EQ(c.methods[1].types, std::vector<int>{9});
    EXPECT_TRUE(c.has_free);
    ASSERT_EQ(c.banner.size(), 3u);
    EXPECT_EQ(c.banner[0], std::string(74, '-'));
    tk::Patch p;
    tk::Box *b = p.create("levelmeter~");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->signal_inlets(), 1);
    EXPECT_EQ(b->signal_outlets(), 0);
    EXPECT_EQ(b->control_outlets(), 1);
    EXPECT_EQ(b->assist(1, 0), std::nullopt);
}

// Default window 1024, period 512, block 64: the first level follows the first block, then
// one every 512 samples. The windows completing at samples 64 and 576 started before the
// signal did; from 1088 on each covers 1024 samples of signal.
TEST(LevelmeterLevels, ConstantFullScaleReads100) {
    for (bool legacy : {false, true}) {
        tk::Patch p(kSr, 64);
        p.set_legacy(legacy);
        tk::Box *b = p.create("levelmeter~");
        feed_constant(p, b, 1.0);
        p.run(64 * 100);
        Levels r = collect(b);
        ASSERT_EQ(r.samples.size(), 13u);
        for (std::size_t k = 0; k < r.samples.size(); ++k) EXPECT_EQ(r.samples[k], 64 + 512 * std::int64_t(k));
        // first output: only the first block, read newest-first against weights 0..63
        double first = 0.0;
        for (int i = 0; i < 64; ++i) first += (1.0 - std::cos(2.0 * M_PI * i / 1024.0)) / 1024.0;
        // single-precision running sums in the legacy path: ~1e-7 relative per term over 1024 terms
        const double tol = legacy ? 1e-3 : 1e-9;
        // the object's 2 pi has ten digits: the smallest weights differ by ~1e-10 relative
        EXPECT_NEAR(r.levels[0], level_of(first), legacy ? 1e-3 : 1e-7) << (legacy ? "legacy" : "64-bit");
        EXPECT_LT(r.levels[1], 100.0 - 1.0);
        for (std::size_t k = 2; k < r.levels.size(); ++k)
            EXPECT_NEAR(r.levels[k], 100.0, tol) << (legacy ? "legacy" : "64-bit") << ", output " << k;
        EXPECT_EQ(tk::allocations_in_perform(), 0);
    }
}

// A full-scale sine has a mean square of 0.5: 100 + 10 log10(0.5) = 96.99. The Hann window's
// leakage at twice the signal frequency (46 bins away) is far below 1e-4 of the mean square,
// so 0.01 dB is generous; float input in the legacy path changes the square by ~1e-7.
TEST(LevelmeterLevels, FullScaleSineReadsAbout97) {
    for (bool legacy : {false, true}) {
        tk::Patch p(kSr, 64);
        p.set_legacy(legacy);
        tk::Box *b = p.create("levelmeter~");
        feed_sine(p, b, 1000.0);
        p.run(44100);
        Levels r = collect(b);
        ASSERT_GT(r.levels.size(), 80u);
        for (std::size_t k = 2; k < r.levels.size(); ++k)
            EXPECT_NEAR(r.levels[k], level_of(0.5), 0.01) << (legacy ? "legacy" : "64-bit") << ", output " << k;
    }
}

TEST(LevelmeterLevels, QuietSignalsAndSilence) {
    struct Case {
        double amplitude;
        double expected;
    } cases[] = {
        {0.0, 0.0},     // silence
        {1e-6, 0.0},    // mean square 1e-12: below the floor
        {1e-3, 40.0},   // mean square 1e-6
        {0.1, 80.0},    // mean square 1e-2
    };
    for (const Case &c : cases) {
        tk::Patch p(kSr, 64);
        tk::Box *b = p.create("levelmeter~");
        feed_constant(p, b, c.amplitude);
        p.run(4096);
        Levels r = collect(b);
        ASSERT_GE(r.levels.size(), 4u);
        for (std::size_t k = (c.amplitude == 0.0 ? 0 : 2); k < r.levels.size(); ++k)
            EXPECT_NEAR(r.levels[k], c.expected, 1e-9) << "amplitude " << c.amplitude << ", output " << k;
    }
}

// One bad sample is forgotten once the windows that saw it have been reported.
TEST(LevelmeterLevels, RecoversAfterNanInput) {
    tk::Patch p(kSr, 64);
    tk::Box *b = p.create("levelmeter~");
    p.feed(b, 0, [](double *out, long n, std::int64_t start) {
        for (long i = 0; i < n; ++i) out[i] = start + i == 100 ? NAN : 0.5;
    });
    p.run(64 * 60);
    Levels r = collect(b);
    ASSERT_GE(r.levels.size(), 6u);
    // the windows reported at 1088 and later started after sample 100
    for (std::size_t k = 0; k < r.samples.size(); ++k)
        if (r.samples[k] >= 1088 + 512) {
            EXPECT_NEAR(r.levels[k], level_of(0.25), 1e-9) << "output at " << r.samples[k];
        }
}

TEST(LevelmeterTiming, PeriodRoundedUpToTheBlock) {
    struct Case {
        const char *args;
        int block;
        std::int64_t gap;
    } cases[] = {
        {"1024 100", 64, 128},  // not a multiple of 64: next multiple
        {"1024 128", 64, 128},  // a multiple stays
        {"1024 512", 48, 528},  // 512 = 10 * 48 + 32
        {"1024 100", 1, 100},
        {"1024 100", 3, 102},
    };
    for (bool legacy : {false, true})
        for (const Case &c : cases) {
            tk::Patch p(kSr, c.block);
            p.set_legacy(legacy);
            tk::Box *b = p.create(std::string("levelmeter~ ") + c.args);
            feed_constant(p, b, 0.5);
            p.run(c.gap * 6 + c.block);
            Levels r = collect(b);
            ASSERT_GE(r.samples.size(), 5u) << c.args << ", block " << c.block;
            EXPECT_EQ(r.samples[0], c.block) << c.args << ", block " << c.block;
            for (std::int64_t g : gaps(r.samples)) EXPECT_EQ(g, c.gap) << c.args << ", block " << c.block;
            // the level is sent from the scheduler, at the end of the block that completed it
            const tk::Event &e0 = b->events()[0];
            for (const tk::Event &e : b->events())
                EXPECT_NEAR(e.time_ms - e0.time_ms, double(e.sample - e0.sample) * 1000.0 / kSr, 1e-9);
        }
}

// The period: absent 512 whatever the window; 0 or below half the window; never below
// window / 32 + 1. Seen as the distance between outputs at block size 1.
TEST(LevelmeterTiming, ArgumentCorrections) {
    struct Case {
        tk::Atoms args;
        std::int64_t period;
    } cases[] = {
        {{}, 512},          {{4096}, 512},     {{256}, 512},      {{2048}, 512},
        {{1024, 10}, 33},   {{2048, 10}, 65},  {{1024, 0}, 512},  {{2048, 0}, 1024},
        {{2048, -7}, 1024}, {{0}, 512},        {{-5, 40}, 40},    {{64, 1}, 3},
    };
    for (const Case &c : cases) {
        tk::Patch p(kSr, 1);
        tk::Box *b = p.create("levelmeter~", c.args);
        ASSERT_NE(b, nullptr);
        feed_constant(p, b, 0.5);
        p.run(c.period * 4 + 1);
        Levels r = collect(b);
        ASSERT_GE(r.samples.size(), 4u) << b->text();
        for (std::int64_t g : gaps(r.samples)) EXPECT_EQ(g, c.period) << b->text();
    }
}

// Period = window / 32 + 1 at block size 1 keeps 32 windows open: every slot is in use and
// nothing may be written past them. The value that follows the slots in the instance is the
// size of the zero spare, so an overrun would shrink the window at the next compile.
TEST(LevelmeterWindows, ThirtyTwoOpenWindows) {
    for (bool legacy : {false, true}) {
        tk::Patch p(kSr, 1);
        p.set_legacy(legacy);
        tk::Box *b = p.create("levelmeter~ 1024 33");
        feed_constant(p, b, 1.0);
        const auto bytes = tk::memory_stats().live_bytes;
        p.run(33 * 80);
        p.dsp_off();
        p.run(33 * 2);
        EXPECT_EQ(tk::memory_stats().live_bytes, bytes) << (legacy ? "legacy" : "64-bit");
        Levels r = collect(b);
        ASSERT_EQ(r.samples.size(), 82u);
        for (std::int64_t g : gaps(r.samples)) EXPECT_EQ(g, 33);
        // complete windows of a constant 1 sum every weight once
        const double tol = legacy ? 1e-3 : 1e-9;
        for (std::size_t k = 0; k < r.samples.size(); ++k)
            if (r.samples[k] > 1024 + 33) {
                EXPECT_NEAR(r.levels[k], 100.0, tol) << "output at " << r.samples[k];
            }
    }
}

// A block above the spare grows the window by zeros; a smaller block later keeps it.
TEST(LevelmeterWindows, WindowOnlyGrows) {
    for (bool legacy : {false, true}) {
        tk::Patch p(kSr, 64);
        p.set_legacy(legacy);
        tk::Box *b = p.create("levelmeter~ 1024 512");
        feed_constant(p, b, 1.0);
        const auto base = tk::memory_stats().live_bytes;
        p.run(64);
        EXPECT_EQ(tk::memory_stats().live_bytes, base);
        p.set_blocksize(256);
        p.run(256);
        EXPECT_EQ(tk::memory_stats().live_bytes, base + (256 - 64) * std::int64_t(sizeof(double)));
        p.set_blocksize(128);
        p.run(128);
        p.set_blocksize(32);
        p.run(32);
        EXPECT_EQ(tk::memory_stats().live_bytes, base + (256 - 64) * std::int64_t(sizeof(double)));
        b->clear_events();
        p.set_blocksize(256);
        p.run(256 * 20);
        Levels r = collect(b);
        ASSERT_GE(r.levels.size(), 4u);
        const double tol = legacy ? 1e-3 : 1e-9;
        for (std::size_t k = 0; k < r.levels.size(); ++k)
            if (r.samples[k] >= 2048) {
                EXPECT_NEAR(r.levels[k], 100.0, tol) << "output at " << r.samples[k];
            }
        for (std::int64_t g : gaps(r.samples)) EXPECT_EQ(g, 512);
    }
}

TEST(LevelmeterFailures, WindowAllocationFailsAtCreation) {
    tk::Patch p(kSr, 64);
    const auto before = tk::memory_stats();
    tk::ConsoleCapture console;
    tk::fail_nth_allocation(1);
    tk::Box *b = p.create("levelmeter~ 2048");
    tk::clear_allocation_faults();
    EXPECT_EQ(b, nullptr);
    auto errors = console.texts(tk::ConsoleLine::Error);
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors[0], "levelmeter: couldn't allocate buffer");
    const auto after = tk::memory_stats();
    EXPECT_EQ(after.live_blocks, before.live_blocks);
    EXPECT_EQ(after.live_bytes, before.live_bytes);
}

TEST(LevelmeterFailures, WindowGrowthFailsAtCompile) {
    tk::Patch p(kSr, 64);
    tk::Box *b = p.create("levelmeter~");
    feed_constant(p, b, 1.0);
    p.run(64 * 20);
    const auto bytes = tk::memory_stats().live_bytes;
    b->clear_events();
    p.set_blocksize(128);
    {
        tk::ConsoleCapture console;
        tk::fail_nth_allocation(1);
        p.run(128 * 20);
        tk::clear_allocation_faults();
        ASSERT_EQ(console.lines().size(), 2u);
        EXPECT_EQ(console.lines()[0].kind, tk::ConsoleLine::Post);
        EXPECT_EQ(console.lines()[0].text, "max: resizebytes() failed -- out of memory");
        EXPECT_EQ(console.lines()[1].kind, tk::ConsoleLine::Error);
        EXPECT_EQ(console.lines()[1].text, "levelmeter~: out of memory");
    }
    EXPECT_TRUE(b->events().empty()) << "no perform routine may run with a window too short";
    EXPECT_EQ(tk::memory_stats().live_bytes, bytes);
    // the next compile tries again
    p.dsp_off();
    p.run(128 * 20);
    EXPECT_EQ(tk::memory_stats().live_bytes, bytes + 64 * std::int64_t(sizeof(double)));
    Levels r = collect(b);
    ASSERT_GE(r.levels.size(), 4u);
    EXPECT_NEAR(r.levels.back(), 100.0, 1e-9);
}

TEST(LevelmeterFailures, FreeReleasesEverything) {
    const auto before = tk::memory_stats();
    {
        tk::Patch p(kSr, 512);
        tk::Box *b = p.create("levelmeter~ 4096 100");
        feed_constant(p, b, 1.0);
        p.run(4096);
        p.free(b);
    }
    const auto after = tk::memory_stats();
    EXPECT_EQ(after.live_blocks, before.live_blocks);
    EXPECT_EQ(after.live_bytes, before.live_bytes);
}

}  // namespace
