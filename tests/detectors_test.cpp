// The gate's and the maximiser's window reductions (sum trees, split peak winners) against the full
// recomputation they replace: long random runs, ties and signed zeros, and the property that
// the result depends on the window's contents only, never on the history that led there.
#include <cstring>

#include "support.h"

#define NOISEDOOR_SUMS_ONLY
#include "../dynamics/noisedoor_tilde.cpp"
#define BRICKWALL_REDUCTIONS_ONLY
#include "../dynamics/brickwall_tilde.cpp"

namespace {

// Distance in units in the last place between two non-negative finite doubles.
std::int64_t ulps_apart(double a, double b) {
    std::int64_t ia, ib;
    std::memcpy(&ia, &a, sizeof a);
    std::memcpy(&ib, &b, sizeof b);
    return ia > ib ? ia - ib : ib - ia;
}

// The sum of the terms correctly rounded but for about an ulp (compensated summation), as the
// yardstick for both the tree and the term-by-term sum.
double accurate_sum(const std::vector<double> &terms) {
    double s = 0.0, c = 0.0;
    for (double t : terms) {
        const double u = s + t;
        c += std::fabs(s) >= std::fabs(t) ? (s - u) + t : (t - u) + s;
        s = u;
    }
    return s + c;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// A ring and its tree, pushed with the externals' own rule (advance, wrap, store).
struct DoorWindow {
    std::vector<double> ring = std::vector<double>(NOISEDOOR_WINDOW, 0.0);
    std::vector<double> tree = std::vector<double>(2 * NOISEDOOR_LEAVES, 0.0);
    int32_t position = 0;
    void push(double v) {
        position = door_ring_next(position, NOISEDOOR_WINDOW);
        ring[std::size_t(position)] = v;
        door_tree_store(tree.data(), position, v * v);
    }
    double full_sum() const {  // the sum the tree replaces, term by term from index 0
        double s = 0.0;
        for (double v : ring) s += v * v;
        return s;
    }
    double accurate() const {
        std::vector<double> squares;
        for (double v : ring) squares.push_back(v * v);
        return accurate_sum(squares);
    }
};

// Values over many scales, with runs of silence.
double door_sample(std::mt19937 &gen, long i) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::uniform_int_distribution<int> scale(-30, 10);
    if ((i / 2000) % 7 == 3) return 0.0;
    return u(gen) * std::ldexp(1.0, scale(gen) / 3);
}

// A tree of nine levels over non-negative terms errs by at most 9 ulps (plus about one of the
// yardstick); the term-by-term sum may err by up to 400. So the tree stays within a few ulps of
// the exact sum, and within the full sum's own error (plus those few) of the full sum.
TEST(GateWindowSums, MatchTheFullSumOverALongRandomRun) {
    std::mt19937 gen(7);
    DoorWindow w;
    std::int64_t worst_tree = 0, worst_full = 0, worst_apart = 0;
    for (long i = 0; i < 300000; ++i) {
        w.push(door_sample(gen, i));
        const double tree = door_tree_sum(w.tree.data()), full = w.full_sum();
        if (full == 0.0) {
            ASSERT_TRUE(same_bits(tree, 0.0)) << "sample " << i;
            continue;
        }
        const double exact = w.accurate();
        const std::int64_t tree_err = ulps_apart(tree, exact), full_err = ulps_apart(full, exact);
        ASSERT_LE(tree_err, 10) << "sample " << i << ": " << tree << " vs " << exact;
        ASSERT_LE(ulps_apart(tree, full), full_err + 10) << "sample " << i;
        worst_tree = std::max(worst_tree, tree_err);
        worst_full = std::max(worst_full, full_err);
        worst_apart = std::max(worst_apart, ulps_apart(tree, full));
    }
    std::printf("worst distance in ulps: tree to exact %lld, full sum to exact %lld, tree to full sum %lld\n",
                (long long)worst_tree, (long long)worst_full, (long long)worst_apart);
    EXPECT_GT(worst_apart, 0);  // the two orders do differ, so the comparisons are not vacuous
}

TEST(GateWindowSums, DependOnTheWindowOnlyNotOnItsHistory) {
    std::mt19937 gen(11);
    // a long, loud history, then the same 400 samples as a fresh window receives them
    DoorWindow old_window, fresh;
    for (long i = 0; i < 123457; ++i) old_window.push(door_sample(gen, i) * 1000.0);
    // the fresh window is brought to the same ring position, then both receive the same 400 samples
    while (fresh.position != old_window.position) fresh.push(door_sample(gen, 5));
    std::vector<double> last(NOISEDOOR_WINDOW);
    for (auto &v : last) v = door_sample(gen, 1);
    for (double v : last) {
        old_window.push(v);
        fresh.push(v);
    }
    ASSERT_EQ(fresh.ring, old_window.ring);
    EXPECT_TRUE(same_bits(door_tree_sum(fresh.tree.data()), door_tree_sum(old_window.tree.data())));
    // and silence again after all of it is exactly zero, as for a window never used
    for (int i = 0; i < NOISEDOOR_WINDOW; ++i) old_window.push(0.0);
    EXPECT_TRUE(same_bits(door_tree_sum(old_window.tree.data()), 0.0));
}

// The gate writes leaves directly and brings the nodes above them up to date later, for any
// run of ring positions (wrapping, or longer than the window): every node must then be what
// storing the leaves one by one would have left, bit for bit.
TEST(GateWindowSums, RefreshAfterDirectWritesEqualsStoringOneByOne) {
    std::mt19937 gen(13);
    std::uniform_int_distribution<int> length(1, 2 * NOISEDOOR_WINDOW);
    DoorWindow stored;
    std::vector<double> tree = stored.tree;
    for (int round = 0; round < 2000; ++round) {
        const int32_t first = door_ring_next(stored.position, NOISEDOOR_WINDOW);
        const int count = round < 4 ? std::vector<int>{1, 399, 400, 401}[std::size_t(round)] : length(gen);
        for (int k = 0; k < count; ++k) {
            const double v = door_sample(gen, round * 1000 + k);
            stored.push(v);
            tree[std::size_t(NOISEDOOR_LEAVES + stored.position)] = v * v;
        }
        door_tree_refresh(tree.data(), first, count < NOISEDOOR_WINDOW ? count : NOISEDOOR_WINDOW);
        for (std::size_t k = 1; k < tree.size(); ++k)
            ASSERT_TRUE(same_bits(tree[k], stored.tree[k])) << "round " << round << " node " << k;
    }
}

// The gate decides from a running sum only where that sum is certainly on one side of the
// threshold, and from the window's squares added in order elsewhere. Windows of samples whose
// magnitude is the threshold give sums within a few hundred roundings of it, on either side as
// rounding falls: the gate must follow the in-order sum's decision at every sample, whatever the
// vector size and detector.
TEST(GateAgainstInOrderSum, DecidesLikeTheInOrderSumRightAtTheThreshold) {
    const double sr = 48000.0;
    // the threshold as the object computes it, by the library at run time: a value folded at
    // compile time may differ from it in the last place where the library is not correctly rounded
    volatile double threshold_db = -40.0;
    const double threshold = db_to_linear(threshold_db, std::log(10.0));
    // Each input steers its own window: a sample a little above the threshold's magnitude
    // while the window's RMS is at or below it, a little below while it is above, so that the
    // in-order sum's decision keeps flipping; at first also loud and silent samples.
    std::mt19937 gen(17);
    std::uniform_int_distribution<int> wobble(1, 4), pick(0, 49);
    const std::size_t n = 30000;
    auto steered = [&]() {
        DoorWindow w;
        std::vector<double> v(n);
        for (std::size_t i = 0; i < n; ++i) {
            const bool over = std::sqrt(w.full_sum() / 400.0) > threshold;
            const double sign = gen() & 1 ? 1.0 : -1.0;
            const int p = i < 2000 ? pick(gen) : 2;  // loud and silent samples only at first
            v[i] = p == 0 ? 3.0 * sign * threshold
                 : p == 1 ? 0.0
                          : sign * threshold * (1.0 + std::ldexp(over ? -wobble(gen) : wobble(gen), -44));
            w.push(v[i]);
        }
        return v;
    };
    const std::vector<double> l = steered(), r = steered(), sc = steered();
    for (bool sidechain : {false, true}) {
        for (int block : {1, 64, 300, 4096}) {
            tk::Patch patch(sr, block);
            tk::Box *box = patch.create("noisedoor~");
            ASSERT_NE(box, nullptr);
            patch.send(box, "thresh", {-40.0});
            patch.send(box, "attack", {0.125});  // exact in the 32-bit host's single-precision atoms
            patch.send(box, "release", {0.125});
            if (sidechain) {
                tk::ConsoleCapture quiet;
                patch.send(box, "sidechain", {1});
            }
            const auto out = patch.process(box, {l, r, sc}, std::int64_t(n));

            DoorWindow wa, wb;
            double g = 0.0;
            const double step = 1000.0 / (sr * 0.125);
            long flips = 0;
            bool last = false;
            for (std::size_t i = 0; i < n; ++i) {
                double sum;
                if (sidechain) {
                    wa.push(sc[i]);
                    sum = wa.full_sum();
                } else {
                    wa.push(l[i]);
                    wb.push(r[i]);
                    const double sa = wa.full_sum(), sb = wb.full_sum();
                    sum = sa > sb ? sa : sb;
                }
                const bool above = std::sqrt(sum / 400.0) > threshold;
                g = above ? std::fmin(1.0, g + step) : std::fmax(0.0, g - step);
                flips += above != last;
                last = above;
                ASSERT_EQ(out[2][i], g > 0.0 ? g : 1.0)
                    << "sidechain " << sidechain << " block " << block << " sample " << i;
            }
            EXPECT_GT(flips, 1000) << "sidechain " << sidechain << " block " << block;
        }
    }
}

struct PeakWindow {
    std::vector<double> ring = std::vector<double>(BRICKWALL_DELAY, 0.0);
    std::vector<double> suffix = std::vector<double>(BRICKWALL_DELAY + 1, 0.0);
    double prefix = 0.0;
    int32_t position = 0;
    void push(double v) { brickwall_peak_push(ring.data(), suffix.data(), &prefix, &position, v); }
    double peak() const { return brickwall_peak(suffix.data(), prefix, position); }
    double scan() const {  // from index 0, starting from 0, replacing on a strictly larger magnitude
        double m = 0.0;
        for (double v : ring)
            if (std::fabs(v) > std::fabs(m)) m = v;
        return m;
    }
};

TEST(MaximiserPeak, IdenticalToTheScanWithTiesSignsAndZeros) {
    std::mt19937 gen(3);
    // few distinct magnitudes, both signs and both zeros, so that ties are everywhere
    const double values[] = {0.0, -0.0, 0.25, -0.25, 0.5, -0.5, 0.75, -0.75, 1.0, -1.0};
    std::uniform_int_distribution<int> pick(0, 9), rare(0, 999);
    PeakWindow w;
    long ties = 0;
    for (long i = 0; i < 200000; ++i) {
        // long stretches of small values, so that the largest entry leaves the window often
        double v = values[pick(gen)];
        if ((i / 700) % 3 != 0 && std::fabs(v) > 0.5) v *= 0.5;
        if (rare(gen) == 0) v = 1e300 * (rare(gen) < 500 ? 1 : -1);
        w.push(v);
        const double scan = w.scan(), peak = w.peak();
        ASSERT_TRUE(same_bits(scan, peak)) << "sample " << i << ": scan " << scan << ", peak " << peak;
        ties += std::count_if(w.ring.begin(), w.ring.end(), [&](double e) { return std::fabs(e) == std::fabs(scan); }) > 1;
    }
    EXPECT_GT(ties, 100000);  // the first-of-equals rule was exercised
    // a window of zeros of either sign reads +0, as the scan's starting value
    for (int i = 0; i < BRICKWALL_DELAY; ++i) w.push(i % 2 ? -0.0 : 0.0);
    EXPECT_TRUE(same_bits(w.peak(), 0.0));
    EXPECT_TRUE(same_bits(w.scan(), 0.0));
}

struct AverageWindow {
    std::vector<double> ring = std::vector<double>(BRICKWALL_AVERAGE, 0.0);
    std::vector<double> tree = std::vector<double>(2 * BRICKWALL_AVERAGE_LEAVES, 0.0);
    int32_t position = 0;
    void push(double v) {
        position = brickwall_next(position, BRICKWALL_AVERAGE);
        ring[std::size_t(position)] = v;
        brickwall_sum_store(tree.data(), position, v);
    }
    double full_sum() const {
        double s = 0.0;
        for (double v : ring) s += v;
        return s;
    }
    double accurate() const { return accurate_sum(ring); }
};

TEST(MaximiserAverage, MatchesTheFullSumAndForgetsItsHistory) {
    std::mt19937 gen(5);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::uniform_int_distribution<int> scale(-40, 40);
    AverageWindow w;
    std::int64_t worst_tree = 0, worst_full = 0, worst_apart = 0;
    for (long i = 0; i < 200000; ++i) {
        // follower values: positive, smooth stretches with jumps of many orders of magnitude
        const double v = (i % 5000 < 2500) ? u(gen) * std::ldexp(1.0, scale(gen)) : 0.5 + 0.001 * u(gen);
        w.push(v);
        const double tree = brickwall_sum(w.tree.data()), full = w.full_sum(), exact = w.accurate();
        const std::int64_t tree_err = ulps_apart(tree, exact), full_err = ulps_apart(full, exact);
        ASSERT_LE(tree_err, 8) << "sample " << i << ": " << tree << " vs " << exact;  // seven levels
        ASSERT_LE(ulps_apart(tree, full), full_err + 8) << "sample " << i;
        worst_tree = std::max(worst_tree, tree_err);
        worst_full = std::max(worst_full, full_err);
        worst_apart = std::max(worst_apart, ulps_apart(tree, full));
    }
    std::printf("worst distance in ulps: tree to exact %lld, full sum to exact %lld, tree to full sum %lld\n",
                (long long)worst_tree, (long long)worst_full, (long long)worst_apart);
    EXPECT_GT(worst_apart, 0);
    // two windows with the same contents after different histories: the same sum, bit for bit
    AverageWindow fresh;
    std::vector<double> last(BRICKWALL_AVERAGE);
    for (auto &v : last) v = u(gen);
    for (int k = 0; k < 37; ++k) w.push(1e12 * u(gen));
    while (fresh.position != w.position) fresh.push(u(gen));
    for (double v : last) {
        w.push(v);
        fresh.push(v);
    }
    ASSERT_EQ(w.ring, fresh.ring);
    EXPECT_TRUE(same_bits(brickwall_sum(w.tree.data()), brickwall_sum(fresh.tree.data())));
}

// The maximiser pushes its averages through a writer that keeps a group's upper nodes aside:
// every sum it returns, and the tree once flushed, must be what storing entry by entry gives.
TEST(MaximiserAverage, WriterGivesTheStoredSumsBitForBit) {
    std::mt19937 gen(9);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::uniform_int_distribution<int> scale(-30, 30), flush_every(1, 40);
    AverageWindow stored;
    std::vector<double> tree = stored.tree;
    t_brickwall_sum_writer writer;
    brickwall_sum_begin(&writer, tree.data());
    int next_flush = flush_every(gen);
    for (long i = 0; i < 50000; ++i) {
        const double v = u(gen) * std::ldexp(1.0, scale(gen));
        stored.push(v);
        const double sum = brickwall_sum_push(&writer, stored.position, v);
        ASSERT_TRUE(same_bits(sum, brickwall_sum(stored.tree.data()))) << "sample " << i;
        if (--next_flush == 0) {  // as at the end of a block, at any position
            brickwall_sum_flush(&writer);
            ASSERT_EQ(tree, stored.tree) << "sample " << i;
            brickwall_sum_begin(&writer, tree.data());
            next_flush = flush_every(gen);
        }
    }
}

// ---- the externals as a whole against their brute-force form --------------------------
// Both objects are run through the host on loud and quiet stretches of noise and compared
// with a model that recomputes every window in full at every sample.

std::vector<double> bursts(std::size_t n, unsigned seed) {
    std::vector<double> v = tkt::noise(n, 1.0, seed);
    for (std::size_t i = 0; i < n; ++i) v[i] *= (i / 3000) % 3 == 0 ? 0.9 : (i / 3000) % 3 == 1 ? 0.003 : 0.2;
    return v;
}

TEST(GateAgainstFullRecomputation, SameGainAtEverySample) {
    const double sr = 48000.0;
    const std::size_t n = 60000;
    const std::vector<double> l = bursts(n, 21), r = bursts(n, 22);
    tk::Patch patch(sr, 64);
    tk::Box *box = patch.create("noisedoor~");
    ASSERT_NE(box, nullptr);
    patch.send(box, "thresh", {-30.0});
    patch.send(box, "attack", {2.0});
    patch.send(box, "release", {5.0});
    patch.send(box, "gateclose", {-20.0});
    const auto out = patch.process(box, {l, r}, std::int64_t(n));

    std::vector<double> wa(400, 0.0), wb(400, 0.0);
    int pa = 0, pb = 0;
    double g = 0.0;
    const double ln10 = std::log(10.0);
    const double w_open = 1000.0 / (sr * 2.0), w_close = 1000.0 / (sr * 5.0);
    const double floor_gain = std::exp(-20.0 * ln10 / 20.0), threshold = std::exp(-30.0 * ln10 / 20.0);
    long opened = 0, closed = 0;
    for (std::size_t i = 0; i < n; ++i) {
        pa = pa < 399 ? pa + 1 : 0;
        pb = pb < 399 ? pb + 1 : 0;
        wa[std::size_t(pa)] = l[i];
        wb[std::size_t(pb)] = r[i];
        double sa = 0.0, sb = 0.0;
        for (int k = 0; k < 400; ++k) {
            sa += wa[std::size_t(k)] * wa[std::size_t(k)];
            sb += wb[std::size_t(k)] * wb[std::size_t(k)];
        }
        const double level = std::fmax(std::sqrt(sa / 400.0), std::sqrt(sb / 400.0));
        g = level > threshold ? std::fmin(1.0, g + w_open) : std::fmax(floor_gain, g - w_close);
        opened += g == 1.0;
        closed += g == floor_gain;
        ASSERT_EQ(out[2][i], g) << "sample " << i;
        ASSERT_EQ(out[0][i], g * l[i]) << "sample " << i;
    }
    EXPECT_GT(opened, 10000);  // the run crossed the threshold both ways
    EXPECT_GT(closed, 10000);
}

// The sidechain ring and the right-hand ring drift apart while the sidechain is detected (the
// right ring then stands still); switching back and forth must keep every sum true to its ring.
TEST(GateAgainstFullRecomputation, SidechainOnAndOffKeepsBothWindowsExact) {
    const double sr = 44100.0;
    const std::size_t seg = 64 * 157;  // whole blocks
    tk::Patch patch(sr, 64);
    tk::Box *box = patch.create("noisedoor~");
    ASSERT_NE(box, nullptr);
    patch.send(box, "thresh", {-25.0});
    patch.send(box, "attack", {1.0});
    patch.send(box, "release", {3.0});

    std::vector<double> wa(400, 0.0), wb(400, 0.0);
    int pa = 0, pb = 0;
    double g = 0.0;
    const double ln10 = std::log(10.0);
    const double w_open = 1000.0 / (sr * 1.0), w_close = 1000.0 / (sr * 3.0);
    const double threshold = std::exp(-25.0 * ln10 / 20.0);
    auto full_rms = [](const std::vector<double> &w) {
        double s = 0.0;
        for (double v : w) s += v * v;
        return std::sqrt(s / 400.0);
    };
    long changes = 0;
    double last = -1.0;
    for (int part = 0; part < 6; ++part) {
        const bool sidechain = part % 2 == 0;
        {
            tk::ConsoleCapture quiet;
            patch.send(box, "sidechain", {sidechain ? 1 : 0});
        }
        // While the sidechain is detected the right input is loud and must not count; the main
        // inputs begin and end quiet, so a right-hand window holding anything it should not would
        // open the gate at the switch.
        std::vector<double> l = bursts(seg, 40u + unsigned(part)), r = bursts(seg, 50u + unsigned(part));
        const std::vector<double> sc = bursts(seg, 60u + unsigned(part));
        for (std::size_t i = 0; i < seg; ++i) {
            if (sidechain) {
                l[i] *= 0.01;
                r[i] = r[i] > 0.0 ? 0.9 : -0.9;
            } else if (i < 1000 || i + 1000 >= seg) {
                l[i] *= 0.01;
                r[i] *= 0.01;
            }
        }
        const auto out = patch.process(box, {l, r, sc}, std::int64_t(seg));
        for (std::size_t i = 0; i < seg; ++i) {
            pa = pa < 399 ? pa + 1 : 0;
            double level;
            if (sidechain) {
                wa[std::size_t(pa)] = sc[i];
                level = full_rms(wa);
            } else {
                wa[std::size_t(pa)] = l[i];
                pb = pb < 399 ? pb + 1 : 0;
                wb[std::size_t(pb)] = r[i];
                level = std::fmax(full_rms(wa), full_rms(wb));
            }
            g = level > threshold ? std::fmin(1.0, g + w_open) : std::fmax(0.0, g - w_close);
            ASSERT_EQ(out[2][i], g > 0.0 ? g : 1.0) << "part " << part << " sample " << i;
            changes += (g > 0.5) != (last > 0.5);
            last = g;
        }
    }
    EXPECT_GT(changes, 12);  // opened and closed in every part
}

TEST(MaximiserAgainstFullRecomputation, SameOutputsToWithinRounding) {
    const double sr = 44100.0;
    const std::size_t n = 40000;
    const std::vector<double> l = bursts(n, 31), r = bursts(n, 32);
    tk::Patch patch(sr, 64);
    tk::Box *box = patch.create("brickwall~");
    ASSERT_NE(box, nullptr);
    patch.send(box, "thresh", {-12.0});
    patch.send(box, "ceiling", {-1.0});
    patch.send(box, "release", {40.0});
    const auto out = patch.process(box, {l, r}, std::int64_t(n));

    const double a_att = 1.0 - std::pow(9.9990000999889e-5, 0.002079002079002079);
    double beta = 0.0;
    for (int i = 0; i < 120; ++i) beta += std::pow(1.0 - a_att, double(481 - i));
    beta *= 1.0 / 120.0;
    const double ln10 = std::log(10.0);
    const double threshold = std::exp(-12.0 * ln10 / 20.0), boost = std::exp((-1.0 + 12.0) * ln10 / 20.0);
    std::vector<double> peak(480, 0.0), avg(120, 0.0), dl(480, 0.0), dr(480, 0.0);
    int pp = 0, pavg = 0, pd = 0;
    double follower = 0.0, follower_average = 0.0;
    double worst = 0.0;
    long limited = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double g = std::max(std::fabs(l[i]), std::fabs(r[i]));
        const double h = (g - beta * follower_average) / (1.0 - beta);
        const double d = std::max(g, h);
        double m = 0.0;
        for (double e : peak)
            if (std::fabs(e) > std::fabs(m)) m = e;
        const double k = m > follower ? 1000.0 / (a_att * sr) : 1000.0 / (sr * 40.0);
        const double e = (1.0 - k) * follower + k * m;
        double sum = 0.0;
        for (double v : avg) sum += v;
        const int avg_next = pavg < 119 ? pavg + 1 : 0, d_next = pd < 479 ? pd + 1 : 0;
        const double average = avg[std::size_t(avg_next)] / 121.0 + sum / 120.0;
        const double gain = average != 0.0 ? std::fmin(1.0, threshold / average) : 1.0;
        const double want[3] = {boost * (gain * dl[std::size_t(d_next)]), boost * (gain * dr[std::size_t(d_next)]), gain};
        for (int o = 0; o < 3; ++o) {
            const double err = std::fabs(out[std::size_t(o)][i] - want[o]);
            worst = std::max(worst, err);
            ASSERT_LE(err, 1e-12 * std::max(1.0, std::fabs(want[o]))) << "outlet " << o << " sample " << i;
        }
        limited += gain < 0.9;
        pavg = avg_next;
        avg[std::size_t(pavg)] = e;
        pp = pp < 479 ? pp + 1 : 0;
        peak[std::size_t(pp)] = d;
        pd = d_next;
        dl[std::size_t(pd)] = l[i];
        dr[std::size_t(pd)] = r[i];
        follower = e;
        follower_average = average;
    }
    std::printf("largest difference from the full recomputation: %g\n", worst);
    EXPECT_GT(limited, 5000);  // the limiter worked hard during the run
}

}  // namespace
