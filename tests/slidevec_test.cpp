// slidevec~: the shift within each block, its limits (block size at creation, running
// block size), and copy orders that stay right when input and output share memory.
#include "support.h"

namespace {

// The head of the host's signal-object header, as externals declare it: the flags word
// holds the no-in-place bit. Clearing it makes the host hand the perform routine the
// same buffer for input and output.
struct SignalHeader {
    void *o_messlist;
    std::intptr_t o_magic;
    void *o_inlet;
    void *o_outlet;
    long z_in;
    void *z_proxy;
    long z_disabled;
    short z_count;
    short z_misc;
};

void share_buffers(tk::Box *b) { reinterpret_cast<SignalHeader *>(b->object())->z_misc &= short(~1); }

std::vector<double> counting(std::size_t n) {
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = double(i + 1);
    return v;
}

// What one block of `in` becomes with a shift s that has already been limited.
std::vector<double> shifted(const std::vector<double> &in, std::size_t from, long n, long s) {
    std::vector<double> out(std::size_t(n), 0.0);
    for (long i = 0; i < n; ++i) {
        long j = i + s;
        if (j >= 0 && j < n) out[std::size_t(i)] = in[from + std::size_t(j)];
    }
    return out;
}

TEST(SlidevecInterface, ClassAndBox) {
    const tk::ClassInfo &c = tk::load_class("slidevec~");
    EXPECT_EQ(c.entry, "main");
    EXPECT_EQ(c.creation_types, std::vector<int>{8});
    ASSERT_EQ(c.methods.size(), 2u);
    EXPECT_EQ(c.methods[0].selector, "dsp64");
    EXPECT_EQ(c.methods[0].types, std::vector<int>{9});
    EXPECT_EQ(c.methods[1].selector, "dsp");
    EXPECT_EQ(c.methods[1].types, std::vector<int>{9});
    ASSERT_EQ(c.banner.size(), 3u);
    EXPECT_EQ(c.banner[0], std::string(74, '-'));
    tk::Patch p(44100, 64);
    tk::Box *b = p.create("slidevec~ 3");
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(b->no_inplace());
    EXPECT_EQ(b->signal_inlets(), 1);
    EXPECT_EQ(b->signal_outlets(), 1);
    EXPECT_EQ(b->assist(1, 0), std::nullopt);  // no assist method
}

TEST(SlidevecShift, ExamplesWithBlockOfEight) {
    const std::vector<double> in = counting(8);
    struct Case {
        long arg;
        std::vector<double> expected;
    } cases[] = {
        {3, {4, 5, 6, 7, 8, 0, 0, 0}},
        {-3, {0, 0, 0, 1, 2, 3, 4, 5}},
        {0, {1, 2, 3, 4, 5, 6, 7, 8}},
    };
    for (bool legacy : {false, true})
        for (bool shared : {false, true})
            for (const Case &c : cases) {
                tk::Patch p(44100, 8);
                p.set_legacy(legacy);
                tk::Box *b = p.create("slidevec~", {c.arg});
                ASSERT_NE(b, nullptr);
                if (shared) share_buffers(b);
                EXPECT_EQ(p.process(b, {in}, 8)[0], c.expected)
                    << "shift " << c.arg << (legacy ? ", legacy" : ", 64-bit") << (shared ? ", shared buffers" : "");
            }
}

// Every shift from -9 to 9 on blocks of 8, over three blocks: nothing carries over from
// one block to the next, and shared buffers give the same result as separate ones.
TEST(SlidevecShift, EveryShiftEveryBlockBothBufferModes) {
    const long n = 8;
    const std::vector<double> in = counting(3 * n);
    for (bool legacy : {false, true})
        for (bool shared : {false, true})
            for (long s = -9; s <= 9; ++s) {
                tk::Patch p(44100, int(n));
                p.set_legacy(legacy);
                tk::Box *b = p.create("slidevec~", {s});
                if (shared) share_buffers(b);
                auto out = p.process(b, {in}, 3 * n)[0];
                long limited = std::clamp(s, -n, n);
                for (long blk = 0; blk < 3; ++blk) {
                    auto expected = shifted(in, std::size_t(blk * n), n, limited);
                    std::vector<double> got(out.begin() + blk * n, out.begin() + (blk + 1) * n);
                    EXPECT_EQ(got, expected) << "shift " << s << ", block " << blk << (legacy ? ", legacy" : ", 64-bit")
                                             << (shared ? ", shared buffers" : "");
                }
            }
}

// The shift is limited by the block size when the box is made: 100 at block 64 becomes
// 64, which a later block of 128 shows (an unlimited 100 would move by 100).
TEST(SlidevecLimits, ArgumentLimitedByCreationBlockSize) {
    for (long arg : {100L, -100L}) {
        tk::Patch p(44100, 64);
        tk::Box *b = p.create("slidevec~", {arg});
        auto zeros = p.process(b, {counting(64)}, 64)[0];
        EXPECT_EQ(zeros, std::vector<double>(64, 0.0)) << "shift " << arg << " at block 64";
        p.set_blocksize(128);
        const std::vector<double> in = counting(128);
        auto out = p.process(b, {in}, 128)[0];
        EXPECT_EQ(out, shifted(in, 0, 128, arg > 0 ? 64 : -64)) << "shift " << arg << " at block 128";
    }
}

TEST(SlidevecLimits, RunningBlockSmallerThanShiftGivesZeros) {
    for (bool legacy : {false, true})
        for (long arg : {64L, -64L, 40L, -40L}) {
            tk::Patch p(44100, 64);
            p.set_legacy(legacy);
            tk::Box *b = p.create("slidevec~", {arg});
            p.set_blocksize(32);
            auto out = p.process(b, {counting(96)}, 96)[0];
            EXPECT_EQ(out, std::vector<double>(96, 0.0)) << "shift " << arg << " at block 32"
                                                         << (legacy ? ", legacy" : ", 64-bit");
        }
}

TEST(SlidevecLimits, NoArgumentPassesTheSignal) {
    tk::Patch p(44100, 64);
    tk::Box *b = p.create("slidevec~");
    const auto in = tkt::noise(640);
    EXPECT_EQ(p.process(b, {in}, 640)[0], in);
    p.set_blocksize(3);
    EXPECT_EQ(p.process(b, {in}, 639)[0], std::vector<double>(in.begin(), in.begin() + 639));
}

}  // namespace
