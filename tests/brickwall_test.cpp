// brickwall~: the 480-sample delay, the boost, the limiting level, bypass, clamps, memory,
// recovery, low sample rates and messages from another thread.
#include "support.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>
#include <random>
#include <thread>

namespace {

using Sig = std::vector<double>;
using Outs = std::vector<Sig>;

constexpr std::size_t kDelay = 480;

double from_db(double db) { return std::pow(10.0, db / 20.0); }

struct Rig {
    tk::Patch patch;
    tk::Box *box;
    explicit Rig(int block = 64, double sr = 44100.0) : patch(sr, block), box(patch.create("brickwall~")) {
        if (!box) throw tk::Error("brickwall~ was not created");
    }
    void msg(const std::string &sel, const tk::Atoms &args = {}) { patch.send(box, sel, args); }
    Outs run(const Sig &l, const Sig &r) { return patch.process(box, {l, r}, std::int64_t(l.size())); }
};

void expect_same(const Outs &a, const Outs &b, const std::string &what) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t k = 0; k < a.size(); ++k)
        for (std::size_t i = 0; i < a[k].size(); ++i)
            ASSERT_EQ(a[k][i], b[k][i]) << what << ": outlet " << k << " sample " << i;
}

TEST(BrickWall, ClassBannerAndShape) {
    const tk::ClassInfo &c = tk::load_class("brickwall~");
    EXPECT_EQ(c.entry, "ext_main");
    EXPECT_TRUE(c.creation_types.empty());
    EXPECT_TRUE(c.dsp);
    EXPECT_TRUE(c.has_free);
    const std::vector<std::pair<std::string, std::vector<int>>> expected = {
        {"dsp64", {9}}, {"release", {2}}, {"ceiling", {2}}, {"thresh", {2}}, {"Bypass", {1}}, {"reset", {}}};
    ASSERT_EQ(c.methods.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(c.methods[i].selector, expected[i].first) << "method " << i;
        EXPECT_EQ(c.methods[i].types, expected[i].second) << expected[i].first;
    }
    ASSERT_EQ(c.banner.size(), 3u);
    EXPECT_EQ(c.banner[0], std::string(66, '-'));
    EXPECT_EQ(c.banner[2].rfind("tildekit ", 0), 0u) << c.banner[2];

    Rig rig;
    EXPECT_EQ(rig.box->signal_inlets(), 2);
    EXPECT_EQ(rig.box->signal_outlets(), 3);
    EXPECT_TRUE(rig.box->no_inplace());
    EXPECT_FALSE(rig.box->assist(1, 0).has_value());
}

// Below the threshold the gain is exactly 1 and the boost exactly 1 (0 dB - 0 dB): the output
// is the input 480 samples late, bit for bit.
TEST(BrickWall, DelaysByExactly480Samples) {
    const Sig l = tkt::noise(4096, 0.05, 1), r = tkt::noise(4096, 0.05, 2);
    Rig rig;
    Outs o = rig.run(l, r);
    for (std::size_t i = 0; i < l.size(); ++i) {
        ASSERT_EQ(o[0][i], i < kDelay ? 0.0 : l[i - kDelay]) << "sample " << i;
        ASSERT_EQ(o[1][i], i < kDelay ? 0.0 : r[i - kDelay]) << "sample " << i;
        ASSERT_EQ(o[2][i], 1.0) << "sample " << i;
    }
}

TEST(BrickWall, OutputIsTheDelayedInputTimesBoostAndGain) {
    const Sig l = tkt::noise(8192, 3.0, 3), r = tkt::noise(8192, 1.0, 4);
    Rig rig;
    rig.msg("thresh", {-10.0});
    rig.msg("ceiling", {-2.0});
    Outs o = rig.run(l, r);
    const double boost = from_db(8.0);
    double lowest = 1.0;
    for (std::size_t i = 0; i < l.size(); ++i) {
        const double g = o[2][i];
        ASSERT_TRUE(g > 0.0 && g <= 1.0) << "sample " << i;
        lowest = std::min(lowest, g);
        const double dl = i < kDelay ? 0.0 : l[i - kDelay], dr = i < kDelay ? 0.0 : r[i - kDelay];
        // the boost comes from exp rather than pow: a few ulps apart
        ASSERT_NEAR(o[0][i], boost * g * dl, 1e-14 * std::fabs(boost * dl)) << "sample " << i;
        ASSERT_NEAR(o[1][i], boost * g * dr, 1e-14 * std::fabs(boost * dr)) << "sample " << i;
    }
    EXPECT_LT(lowest, 0.2);  // the loud noise was limited
}

TEST(BrickWall, BoostIsCeilingMinusThreshold) {
    const Sig quiet = tkt::noise(2048, 0.001, 5);  // far below every threshold: gain 1
    struct Case {
        double thresh, ceiling, boost_db;
        std::vector<std::string> posted;
    };
    const Case cases[] = {
        {-10.0, 0.0, 10.0, {}},
        {-6.0, -6.0, 0.0, {}},
        {-40.0, 3.0, 30.0, {"Minimum Threshold Value: -30.0", "Maximum Output Ceiling Value: 0"}},
        {0.0, -45.0, -30.0, {"Minimum Output Ceiling Value: -30.0"}},
    };
    for (const Case &c : cases) {
        Rig rig;
        tk::ConsoleCapture cap;
        rig.msg("thresh", {c.thresh});
        rig.msg("ceiling", {c.ceiling});
        EXPECT_EQ(cap.texts(), c.posted) << "thresh " << c.thresh << " ceiling " << c.ceiling;
        Outs o = rig.run(quiet, quiet);
        for (std::size_t i = kDelay; i < quiet.size(); ++i) {
            ASSERT_EQ(o[2][i], 1.0) << "sample " << i;
            // exp rather than pow: a few ulps apart
            ASSERT_NEAR(o[0][i] / quiet[i - kDelay], from_db(c.boost_db), 1e-14 * from_db(c.boost_db))
                << "thresh " << c.thresh << " ceiling " << c.ceiling << " sample " << i;
        }
    }
}

// A constant level c settles the follower at c; the average then reads c/121 + c, so the output
// settles at 121/122 of the threshold.
TEST(BrickWall, SteadyLevelSettlesJustBelowTheThreshold) {
    for (double thresh : {0.0, -12.0}) {
        Rig rig;
        rig.msg("thresh", {thresh});
        rig.msg("ceiling", {thresh});  // no boost
        Outs o = rig.run(tkt::constant(88200, 2.0), tkt::constant(88200, -1.0));
        const double t = from_db(thresh);
        // the release (25 ms) has run 80 time constants past the attack's overshoot
        EXPECT_NEAR(o[2].back(), t * 121.0 / 244.0, 1e-12 * t) << "thresh " << thresh;
        EXPECT_NEAR(o[0].back(), t * 121.0 / 122.0, 1e-12 * t) << "thresh " << thresh;
        EXPECT_NEAR(o[1].back(), -t * 121.0 / 244.0, 1e-12 * t) << "thresh " << thresh;
    }
}

TEST(BrickWall, StartsSilentWithUnityGainAndResetMatchesAFreshBox) {
    const Sig loud = tkt::constant(4096, 4.0);
    Rig fresh;
    Outs expected = fresh.run(loud, loud);
    for (std::size_t i = 0; i < kDelay; ++i) ASSERT_EQ(expected[0][i], 0.0) << "sample " << i;
    EXPECT_EQ(expected[2][0], 1.0);
    EXPECT_EQ(expected[2][1], 1.0);
    EXPECT_LT(expected[2].back(), 0.3);

    Rig rig;
    rig.run(tkt::noise(3000, 5.0, 6), tkt::noise(3000, 5.0, 7));
    rig.msg("reset");
    expect_same(rig.run(loud, loud), expected, "after reset");
}

TEST(BrickWall, BypassIsBitExactAndFreezesTheState) {
    const Sig l1 = tkt::noise(4096, 2.0, 11), r1 = tkt::noise(4096, 2.0, 12);
    const Sig l2 = tkt::noise(4096, 1.5, 13), r2 = tkt::noise(4096, 0.5, 14);
    const Sig junk_l = tkt::noise(4096, 9.0, 15), junk_r = tkt::noise(4096, 9.0, 16);

    Rig ref;
    ref.run(l1, r1);
    Outs expected = ref.run(l2, r2);

    Rig rig;
    rig.run(l1, r1);
    tk::ConsoleCapture cap;
    rig.msg("Bypass", {1});
    EXPECT_EQ(cap.texts(), std::vector<std::string>{"Bypass is ON"});
    Outs by = rig.run(junk_l, junk_r);
    for (std::size_t i = 0; i < junk_l.size(); ++i) {
        ASSERT_EQ(by[0][i], junk_l[i]) << "sample " << i;
        ASSERT_EQ(by[1][i], junk_r[i]) << "sample " << i;
        ASSERT_EQ(by[2][i], 1.0) << "sample " << i;
    }
    cap.clear();
    rig.msg("Bypass", {0});
    EXPECT_TRUE(cap.texts().empty());
    // the delay lines still hold l1's last 480 samples: they come out first
    expect_same(rig.run(l2, r2), expected, "after bypass");
}

TEST(BrickWall, VectorSizesAgree) {
    const Sig l = tkt::noise(6000, 3.0, 21), r = tkt::noise(6000, 0.3, 22);
    Outs ref;
    for (int block : {64, 1, 2, 3, 1000}) {
        Rig rig(block);
        rig.msg("thresh", {-6.0});
        rig.msg("release", {10.0});
        Outs o = rig.run(l, r);
        if (block == 64)
            ref = o;
        else
            expect_same(o, ref, "block " + std::to_string(block));
    }
}

struct Clamp {
    const char *sel;
    double lo, hi;
    const char *above, *below;
};
const Clamp kClamps[] = {
    {"release", 1, 3000, "Maximum Release Time: 3000 ms", "Minimum Release Time: 1 ms"},
    {"ceiling", -30, 0, "Maximum Output Ceiling Value: 0", "Minimum Output Ceiling Value: -30.0"},
    {"thresh", -30, 0, "Maximum Threshold Value: 0 db", "Minimum Threshold Value: -30.0"},
};

TEST(BrickWall, ClampsPostTheirExactLinesAndActAsTheLimit) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    {
        Rig rig;
        for (const Clamp &c : kClamps) {
            tk::ConsoleCapture cap;
            rig.msg(c.sel, {c.hi + 3.0});
            rig.msg(c.sel, {c.lo - 0.5});
            rig.msg(c.sel, {inf});
            rig.msg(c.sel, {-inf});
            rig.msg(c.sel, {nan});  // NaN counts as below the minimum
            EXPECT_EQ(cap.texts(), (std::vector<std::string>{c.above, c.below, c.above, c.below, c.below})) << c.sel;
            cap.clear();
            rig.msg(c.sel, {c.hi});
            rig.msg(c.sel, {c.lo});
            EXPECT_TRUE(cap.texts().empty()) << c.sel;
        }
        tk::ConsoleCapture cap;
        rig.msg("Bypass", {0});
        EXPECT_TRUE(cap.texts().empty());
    }
    const Sig l = tkt::noise(4096, 4.0, 31), r = tkt::noise(4096, 1.0, 32);
    tk::ConsoleCapture lines;  // their texts were checked above
    for (const Clamp &c : kClamps)
        for (auto [sent, limit] : {std::pair{c.hi + 50.0, c.hi}, std::pair{c.lo - 50.0, c.lo}, std::pair{nan, c.lo}}) {
            Rig a, b;
            a.msg("thresh", {-8.0});
            b.msg("thresh", {-8.0});
            a.msg(c.sel, {sent});
            b.msg(c.sel, {limit});
            expect_same(a.run(l, r), b.run(l, r), std::string(c.sel) + " " + std::to_string(sent));
        }
}

// Non-finite samples never enter the delay lines or the detector: nothing non-finite ever comes
// out, and such a sample leaves as silence 480 samples later.
TEST(BrickWall, NonFiniteInputNeverReachesTheOutput) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    Sig l = tkt::noise(8192, 2.0, 41), r = tkt::noise(8192, 2.0, 42);
    const std::size_t bad[] = {100, 1000, 2500, 4000};
    l[bad[0]] = inf;
    r[bad[1]] = -inf;
    l[bad[2]] = nan;
    l[bad[3]] = nan;
    r[bad[3]] = inf;
    Rig rig;
    rig.msg("thresh", {-6.0});
    Outs o = rig.run(l, r);
    for (std::size_t i = 0; i < l.size(); ++i) {
        ASSERT_TRUE(std::isfinite(o[0][i]) && std::isfinite(o[1][i])) << "sample " << i;
        ASSERT_TRUE(o[2][i] >= 0.0 && o[2][i] <= 1.0) << "sample " << i;
    }
    EXPECT_EQ(o[0][bad[0] + kDelay], 0.0);
    EXPECT_EQ(o[1][bad[1] + kDelay], 0.0);
    EXPECT_EQ(o[0][bad[3] + kDelay], 0.0);
    EXPECT_EQ(o[1][bad[3] + kDelay], 0.0);

    // a NaN on one side is the same as silence on that side
    Sig ln = tkt::noise(4096, 2.0, 43), rn = tkt::noise(4096, 2.0, 44), lz = ln;
    ln[700] = nan;
    lz[700] = 0.0;
    Rig a, b;
    expect_same(a.run(ln, rn), b.run(lz, rn), "NaN against silence");
}

TEST(BrickWall, MemoryIsReturnedAndAllocationFailureRefusesTheBox) {
    tk::Patch patch(44100.0, 64);
    const tk::MemoryStats before = tk::memory_stats();
    tk::Box *box = patch.create("brickwall~");
    ASSERT_NE(box, nullptr);
    patch.process(box, {tkt::noise(1024, 0.5, 1), tkt::noise(1024, 0.5, 2)}, 1024);
    EXPECT_EQ(tk::allocations_in_perform(), 0);
    patch.free(box);
    EXPECT_EQ(tk::memory_stats().live_blocks, before.live_blocks);
    EXPECT_EQ(tk::memory_stats().live_bytes, before.live_bytes);

    tkt::expect_refused_without_leaks(patch, "brickwall~", 4);
}

// The out-of-memory text names the object itself: it is posted once, as an error of no object,
// so that the console does not put the name in front a second time.
TEST(BrickWall, OutOfMemoryLineNamesTheObjectOnce) {
    tk::load_class("brickwall~");  // the banner is not part of what is checked
    tk::Patch patch(44100.0, 64);
    for (int nth = 1; nth <= 6; ++nth) {  // the six buffers of a box
        tk::ConsoleCapture cap;
        tk::fail_nth_allocation(nth);
        tk::Box *refused = patch.create("brickwall~");
        tk::clear_allocation_faults();
        ASSERT_EQ(refused, nullptr) << "allocation " << nth;
        std::vector<tk::ConsoleLine> lines;  // the host adds its own line about the refused box
        for (const tk::ConsoleLine &l : cap.lines())
            if (l.text.find("out of memory") != std::string::npos) lines.push_back(l);
        ASSERT_EQ(lines.size(), 1u) << "allocation " << nth;
        EXPECT_EQ(lines[0].kind, tk::ConsoleLine::Error) << "allocation " << nth;
        EXPECT_EQ(lines[0].object, "") << "allocation " << nth;
        EXPECT_EQ(lines[0].text, "brickwall~: out of memory") << "allocation " << nth;
    }
}

// A release shorter than one sample period (1 ms below 1 kHz, 2 ms below 500 Hz) lets the level
// fall straight to the peak instead of overshooting it: the gain stays between 0 and 1, a signal
// below the threshold comes through untouched once the start-up transient has passed, and a loud
// constant settles at the same level as at any usual rate.
TEST(BrickWall, ReleaseShorterThanASamplePeriodNeverInvertsTheGain) {
    struct Case {
        double sr, release;
    };
    for (const Case c : {Case{400, 1}, Case{400, 2}, Case{640, 1.5}, Case{999, 1}}) {
        const std::string what = std::to_string(c.sr) + " Hz, release " + std::to_string(c.release);
        for (int block : {1, 64}) {
            Rig quiet(block, c.sr);
            quiet.msg("release", {c.release});
            const Sig l = tkt::sine(4000, c.sr / 8.0, c.sr, 0.5), r = tkt::sine(4000, c.sr / 7.0, c.sr, 0.4);
            Outs o = quiet.run(l, r);
            for (std::size_t i = 0; i < l.size(); ++i)
                ASSERT_TRUE(o[2][i] > 0.0 && o[2][i] <= 1.0) << what << ", block " << block << ", sample " << i;
            // from 1000 on the 120-sample average has long forgotten the first attack
            for (std::size_t i = 1000; i < l.size(); ++i) {
                ASSERT_EQ(o[2][i], 1.0) << what << ", block " << block << ", sample " << i;
                ASSERT_EQ(o[0][i], l[i - kDelay]) << what << ", block " << block << ", sample " << i;
                ASSERT_EQ(o[1][i], r[i - kDelay]) << what << ", block " << block << ", sample " << i;
            }
        }
        Rig loud(64, c.sr);
        loud.msg("release", {c.release});
        loud.msg("thresh", {-6.0});
        loud.msg("ceiling", {-6.0});  // no boost
        Outs o = loud.run(tkt::constant(4000, 2.0), tkt::constant(4000, -1.0));
        const double t = from_db(-6.0);
        for (std::size_t i = 0; i < o[2].size(); ++i)
            ASSERT_TRUE(o[2][i] > 0.0 && o[2][i] <= 1.0) << what << ", sample " << i;
        // the level sits at the peak exactly, so the closed form holds to the last few ulps
        EXPECT_NEAR(o[2].back(), t * 121.0 / 244.0, 1e-13 * t) << what;
        EXPECT_NEAR(o[0].back(), t * 121.0 / 122.0, 1e-13 * t) << what;
    }
}

// A deterministic test signal of the absolute sample index, loud enough to be limited.
double storm_input(int channel, std::int64_t i) {
    std::uint64_t z = std::uint64_t(i) * 2 + std::uint64_t(channel) + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    const double u = double(z >> 11) * 0x1.0p-53 * 2.0 - 1.0;
    return (channel == 0 ? 3.0 : 1.0) * u * (1.0 + 0.8 * std::sin(double(i) * 0.002));
}

// Feeds both inlets from `offset` on; `fed`, if given, is set to 1 + the index of the last block
// whose inputs are ready (its perform routine runs right after).
void feed_storm(tk::Patch &patch, tk::Box *box, std::int64_t offset, std::atomic<std::int64_t> *fed = nullptr) {
    for (int ch = 0; ch < 2; ++ch)
        patch.feed(box, ch, [ch, offset, fed](double *out, long n, std::int64_t start) {
            for (long k = 0; k < n; ++k) out[k] = storm_input(ch, offset + start + k);
            if (fed && ch == 1) fed->store(start / n + 1);
        });
    for (int o = 0; o < 3; ++o) patch.capture(box, o);
}

const std::pair<const char *, double> kFinalSettings[] = {{"thresh", -9.0}, {"ceiling", -2.0}, {"release", 40.0}};

// Messages may come from the scheduler while a block runs. A second thread sends every selector
// with values from the limits (NaN, infinities, huge and tiny numbers) while the audio runs, then,
// several times over, the final settings and a reset as soon as a block's inputs are ready, that
// is while its perform routine runs. The output stays finite throughout, and from the block at
// which each reset took effect it is a fresh box's output bit for bit: no stale level, position
// or delayed audio survives a reset that lands mid-block.
TEST(BrickWall, MessagesFromAnotherThreadLeaveNothingStale) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> pool = {nan, inf, -inf, 1e308, -1e308, 0.0, -0.0, 1e-310, -30.0, -31.0,
                                      0.5, -12.0, 1.0, 0.999, 3000.0, 3001.0, 25.0, 4e9};
    struct Case {
        double sr;
        int block;
    };
    const Case cases[] = {{44100, 4096}, {1234.5678, 4096}, {96000, 1000}, {400, 4096}, {48000, 4096}, {22050, 3000}};
    constexpr int kAttempts = 6;  // resets per case; the thread does not always win the race
    constexpr std::int64_t kAfter = 3;  // blocks compared after the first block begun after a reset
    int round = 0;
    for (const Case c : cases) {
        ++round;
        const std::string what = std::to_string(c.sr) + " Hz, block " + std::to_string(c.block);
        tk::Patch patch(c.sr, c.block);
        tk::Box *box = patch.create("brickwall~");
        ASSERT_NE(box, nullptr);
        std::atomic<std::int64_t> fed{0};
        feed_storm(patch, box, 0, &fed);
        patch.run_blocks(1);  // the chain is compiled before the other thread starts

        tk::ConsoleCapture cap;  // the clamps' lines
        std::atomic<std::int64_t> blocks_done{1};
        std::atomic<int> armed{0}, resets_sent{0};
        std::int64_t reset_block[kAttempts] = {}, first_after[kAttempts] = {};
        std::atomic<std::int64_t> reset_block_of_last{-1};
        std::thread sender([&] {
            std::mt19937 gen{unsigned(round)};
            const char *selectors[] = {"release", "ceiling", "thresh", "Bypass", "reset"};
            while (blocks_done.load() < 6) {
                const char *sel = selectors[gen() % 5];
                const double v = pool[gen() % pool.size()];
                if (std::string(sel) == "reset")
                    patch.send(box, sel);
                else if (std::string(sel) == "Bypass")
                    patch.send(box, sel, tk::Atoms{std::int64_t(gen() % 2)});
                else
                    patch.send(box, sel, {v});
                std::this_thread::yield();
            }
            for (int k = 0; k < kAttempts; ++k) {
                while (armed.load() <= k) std::this_thread::sleep_for(std::chrono::microseconds(50));
                for (auto [sel, v] : kFinalSettings) patch.send(box, sel, {v});
                patch.send(box, "Bypass", {0});
                const std::int64_t before = fed.load();
                while (fed.load() == before) {
                }
                reset_block_of_last.store(fed.load() - 1);  // the reset is sent after this block began
                patch.send(box, "reset");
                resets_sent.store(k + 1);
            }
        });
        armed.store(1);
        int seen = 0;
        std::int64_t b = 1;
        for (;; ++b) {
            if (resets_sent.load() > seen) {
                reset_block[seen] = reset_block_of_last.load();
                first_after[seen] = b;
                ++seen;
            }
            if (seen > 0 && b >= first_after[seen - 1] + kAfter) {
                if (seen == kAttempts) break;
                if (armed.load() == seen) armed.store(seen + 1);
            }
            patch.run_blocks(1);
            blocks_done.store(b + 1);
        }
        sender.join();

        Outs got;
        for (int o = 0; o < 3; ++o) got.push_back(patch.output(box, o));
        for (std::size_t i = 0; i < got[0].size(); ++i) {
            ASSERT_TRUE(std::isfinite(got[0][i]) && std::isfinite(got[1][i])) << what << ", sample " << i;
            ASSERT_TRUE(got[2][i] >= 0.0 && got[2][i] <= 1.0) << what << ", sample " << i;
        }
        // Each reset took effect at the start of a block from the one whose inputs were ready
        // when it was sent to the first one begun after: one of them is where a fresh box begins.
        for (int k = 0; k < kAttempts; ++k) {
            const std::int64_t end = first_after[k] + kAfter;
            bool matched = false;
            for (std::int64_t j = reset_block[k]; j <= first_after[k] && !matched; ++j) {
                tk::Patch fresh_patch(c.sr, c.block);
                tk::Box *fresh = fresh_patch.create("brickwall~");
                for (auto [sel, v] : kFinalSettings) fresh_patch.send(fresh, sel, {v});
                feed_storm(fresh_patch, fresh, j * c.block);
                fresh_patch.run_blocks(end - j);
                matched = true;
                for (int o = 0; o < 3 && matched; ++o) {
                    const Sig &want = fresh_patch.output(fresh, o);
                    matched = std::equal(want.begin(), want.end(), got[std::size_t(o)].begin() + j * c.block);
                }
            }
            EXPECT_TRUE(matched) << what << ", reset " << k << " (sent during block " << reset_block[k]
                                 << ", first block begun after it " << first_after[k]
                                 << "): not a fresh box's output from any block in between";
        }
    }
}

}  // namespace

// ---- random sessions keep the digests of the sample-by-sample loop ----
namespace {

// A number for a message: mostly in [lo, hi], sometimes on or past a limit, or not finite.
double session_number(tkt::Lcg &r, double lo, double hi) {
    switch (r.below(12)) {
    case 0: return std::numeric_limits<double>::quiet_NaN();
    case 1: return r.below(2) ? std::numeric_limits<double>::infinity() : -std::numeric_limits<double>::infinity();
    case 2: return lo;
    case 3: return r.uniform(hi, hi + 40);
    default: return r.uniform(lo, hi);
    }
}

// Renders `total` samples at rate `sr` with blocks of `n`: random messages between stretches of
// silence, of noise at a random level (a step up wakes the detector's lift for a while), and of
// noise that rises through the stretch (the lift on almost every sample), with the odd bad sample.
// Returns the digest of all three outlets.
std::uint64_t random_session(double sr, int n, std::uint64_t seed, std::int64_t total) {
    tkt::Lcg r(seed);
    tk::ConsoleCapture quiet;
    Rig rig(n, sr);
    std::uint64_t h = tkt::fnv1a({});
    for (std::int64_t done = 0; done < total;) {
        for (int m = int(r.below(3)); m > 0; --m) {
            switch (r.below(8)) {
            case 0: case 1: rig.msg("thresh", {session_number(r, -30, 0)}); break;
            case 2: rig.msg("ceiling", {session_number(r, -30, 0)}); break;
            case 3: case 4: rig.msg("release", {session_number(r, 1, 3000)}); break;
            case 5: rig.msg("Bypass", {long(r.below(3) == 0)}); break;
            case 6: rig.msg("reset"); break;
            default: break;
            }
        }
        const std::int64_t len = std::int64_t(n) * std::int64_t(1 + r.below(n >= 1024 ? 2 : 2048 / std::uint64_t(n) + 1));
        Sig l(static_cast<std::size_t>(len)), rr(l.size());
        const std::uint64_t kind = r.below(4);
        const double amp = r.below(8) == 0 ? 1e4 : r.uniform(0, 2);
        for (std::size_t i = 0; i < l.size(); ++i) {
            const double level = kind == 0 ? 0.0 : kind == 3 ? amp * double(i + 1) / double(l.size()) : amp;
            l[i] = level * r.uniform(-1, 1);
            rr[i] = 0.5 * level * r.uniform(-1, 1);
        }
        for (int k = int(r.below(3)); k > 0; --k) {
            const double bad[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                                  1e-310, 9e307};
            (r.below(2) ? l : rr)[std::size_t(r.below(std::uint64_t(len)))] = bad[r.below(4)];
        }
        for (const Sig &v : rig.run(l, rr)) h = tkt::fnv1a(v, h);
        done += len;
    }
    return h;
}

}  // namespace

// The block runs ahead of its detector's lift where it can and goes back where the lift mattered:
// the digests of these sessions were recorded from the loop that took every sample in turn
// (Linux in both widths, Windows x64). Set TILDEKIT_PRINT_DIGESTS to print them.
TEST(BrickWall, RandomSessionsKeepTheirDigests) {
    struct Session { double sr; int n; };
    const Session sessions[] = {
        {1000, 1},  {1000, 7},  {1000, 64},  {1000, 4096},  {44100, 1},   {44100, 7},   {44100, 64},
        {44100, 4096}, {48000, 1}, {48000, 7}, {48000, 64}, {48000, 4096}, {384000, 1}, {384000, 7},
        {384000, 64}, {384000, 4096}, {30011.5, 1}, {30011.5, 7}, {30011.5, 64}, {30011.5, 4096},
    };
    // the libraries' exp and pow differ in the last bit between the two widths
    const std::uint64_t expected64[] = {
        0x0295082482c494daull, // 1000 Hz, block 1
        0x92c17b3c7ef5c316ull, // 1000 Hz, block 7
        0x120c74c8f751bfeeull, // 1000 Hz, block 64
        0x30f6b4e22777b9b8ull, // 1000 Hz, block 4096
        0x0aafede1e8e26947ull, // 44100 Hz, block 1
        0x8ee2dc497da36e56ull, // 44100 Hz, block 7
        0x41299b4b2ce400d3ull, // 44100 Hz, block 64
        0x265b6067c4e24aa0ull, // 44100 Hz, block 4096
        0xbe3a3c09adb57ab2ull, // 48000 Hz, block 1
        0xf63b90572e4053a2ull, // 48000 Hz, block 7
        0x0c01acc66752fa3full, // 48000 Hz, block 64
        0x9926003c5ebc6921ull, // 48000 Hz, block 4096
        0xad9ae68c10ee1ae0ull, // 384000 Hz, block 1
        0xaca6884334304241ull, // 384000 Hz, block 7
        0xb2065a771a83d57eull, // 384000 Hz, block 64
        0x27bfe7e72cb99b1cull, // 384000 Hz, block 4096
        0x7559674839683f6cull, // 30011.5 Hz, block 1
        0x410ffa9266636ad4ull, // 30011.5 Hz, block 7
        0x88a392c525205bc3ull, // 30011.5 Hz, block 64
        0x8017f245b82e3db0ull, // 30011.5 Hz, block 4096
    };
    const std::uint64_t expected32[] = {
        0x2873855e372bfd72ull, // 1000 Hz, block 1
        0x92c17b3c7ef5c316ull, // 1000 Hz, block 7
        0xf22dc9bdcb13f825ull, // 1000 Hz, block 64
        0xd85386ecc7042091ull, // 1000 Hz, block 4096
        0x6dd04e44693680e1ull, // 44100 Hz, block 1
        0x8ee2dc497da36e56ull, // 44100 Hz, block 7
        0x2fc862520235af7aull, // 44100 Hz, block 64
        0x265b6067c4e24aa0ull, // 44100 Hz, block 4096
        0x8f384d7b2ed81769ull, // 48000 Hz, block 1
        0x1c8d937ba59c4008ull, // 48000 Hz, block 7
        0xae43a160f1825da8ull, // 48000 Hz, block 64
        0x4b3c265500d90266ull, // 48000 Hz, block 4096
        0x13dbd385f1f930b2ull, // 384000 Hz, block 1
        0xb0b4adb6770eb748ull, // 384000 Hz, block 7
        0x3f905aec1df9ee6dull, // 384000 Hz, block 64
        0x15f1a437994d0927ull, // 384000 Hz, block 4096
        0x6bedb6615564db6dull, // 30011.5 Hz, block 1
        0x1a870dc32c12d386ull, // 30011.5 Hz, block 7
        0x2bd625696e7d6c0bull, // 30011.5 Hz, block 64
        0x8017f245b82e3db0ull, // 30011.5 Hz, block 4096
    };
    // Windows x64: its C library's exp and pow give other last bits again
    const std::uint64_t expected_win64[] = {
        0x0295082482c494daull, // 1000 Hz, block 1
        0x91b2e326ca6c8437ull, // 1000 Hz, block 7
        0x120c74c8f751bfeeull, // 1000 Hz, block 64
        0x30f6b4e22777b9b8ull, // 1000 Hz, block 4096
        0x0aafede1e8e26947ull, // 44100 Hz, block 1
        0x8ee2dc497da36e56ull, // 44100 Hz, block 7
        0xf02be2b62a8315bdull, // 44100 Hz, block 64
        0x265b6067c4e24aa0ull, // 44100 Hz, block 4096
        0xbe3a3c09adb57ab2ull, // 48000 Hz, block 1
        0xad322b2bda4f57d7ull, // 48000 Hz, block 7
        0x21b58ceb34548b24ull, // 48000 Hz, block 64
        0x9926003c5ebc6921ull, // 48000 Hz, block 4096
        0xad9ae68c10ee1ae0ull, // 384000 Hz, block 1
        0xaca6884334304241ull, // 384000 Hz, block 7
        0x06b21d88185a5fd5ull, // 384000 Hz, block 64
        0xac031fe6806f2171ull, // 384000 Hz, block 4096
        0x7559674839683f6cull, // 30011.5 Hz, block 1
        0x410ffa9266636ad4ull, // 30011.5 Hz, block 7
        0x88a392c525205bc3ull, // 30011.5 Hz, block 64
        0x8017f245b82e3db0ull, // 30011.5 Hz, block 4096
    };
    static_assert(sizeof expected64 == sizeof expected32 && sizeof expected64 == sizeof expected_win64 &&
                  sizeof expected64 / 8 == sizeof sessions / sizeof sessions[0]);
#ifdef _WIN32
    const std::uint64_t *expected = expected_win64;
#else
    const std::uint64_t *expected = tk::host_width_bits() == 64 ? expected64 : expected32;
#endif
    const bool print = std::getenv("TILDEKIT_PRINT_DIGESTS") != nullptr;
    for (std::size_t i = 0; i < sizeof sessions / sizeof sessions[0]; ++i) {
        const Session &s = sessions[i];
        const std::uint64_t h = random_session(s.sr, s.n, 101 + i, s.n == 4096 ? 6 * 4096 : 12000);
        if (print)
            std::printf("        0x%016llxull, // %g Hz, block %d\n", (unsigned long long)h, s.sr, s.n);
        else
            EXPECT_EQ(h, expected[i]) << s.sr << " Hz, block " << s.n;
    }
}
