// blocktick~: one bang per processed block, sent from the scheduler; silent without DSP.
#include "support.h"

namespace {

TEST(BlocktickInterface, ClassAndBox) {
    const tk::ClassInfo &c = tk::load_class("blocktick~");
    EXPECT_EQ(c.entry, "main");
    EXPECT_TRUE(c.creation_types.empty());
    EXPECT_TRUE(c.dsp);
    EXPECT_TRUE(c.has_free);
    ASSERT_EQ(c.methods.size(), 2u);
    EXPECT_EQ(c.methods[0].selector, "dsp64");
    EXPECT_EQ(c.methods[0].types, std::vector<int>{9});
    EXPECT_EQ(c.methods[1].selector, "dsp");
    EXPECT_EQ(c.methods[1].types, std::vector<int>{9});
    ASSERT_EQ(c.banner.size(), 3u);
    EXPECT_EQ(c.banner[0], std::string(74, '-'));
    tk::Patch p;
    tk::Box *b = p.create("blocktick~");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->signal_inlets(), 0);
    EXPECT_EQ(b->signal_outlets(), 0);
    EXPECT_EQ(b->control_outlets(), 1);
    EXPECT_EQ(b->assist(2, 0), std::nullopt);
}

// 44100 samples in blocks of 64 are 690 blocks (the last one partly past the second):
// one bang each, at the end of its block, from the scheduler.
TEST(BlocktickBangs, OnePerBlockOverASecond) {
    for (bool legacy : {false, true})
        for (int n : {64, 1, 100}) {
            tk::Patch p(44100, n);
            p.set_legacy(legacy);
            tk::Box *b = p.create("blocktick~");
            p.run(44100);
            const std::int64_t blocks = (44100 + n - 1) / n;
            const auto &ev = b->events();
            ASSERT_EQ(std::int64_t(ev.size()), blocks) << "block " << n << (legacy ? ", legacy" : "");
            for (std::size_t k = 0; k < ev.size(); ++k) {
                EXPECT_EQ(ev[k].kind, tk::Event::Bang);
                EXPECT_EQ(ev[k].outlet, 0);
                ASSERT_EQ(ev[k].sample, std::int64_t(k + 1) * n) << "bang " << k << ", block " << n;
            }
            EXPECT_EQ(tk::allocations_in_perform(), 0);
        }
}

TEST(BlocktickBangs, SilentWithoutDsp) {
    tk::Patch p(44100, 64);
    tk::Box *b = p.create("blocktick~");
    p.advance(1000.0);
    EXPECT_TRUE(b->events().empty());
    p.run(640);
    EXPECT_EQ(b->events().size(), 10u);
    p.dsp_off();
    p.advance(1000.0);
    EXPECT_EQ(b->events().size(), 10u);
}

TEST(BlocktickBangs, FreeReleasesTheClock) {
    const auto before = tk::memory_stats();
    {
        tk::Patch p(44100, 64);
        tk::Box *b = p.create("blocktick~");
        p.run(64 * 3);
        p.free(b);
        p.run(64 * 3);  // nothing may fire into the freed box
    }
    const auto after = tk::memory_stats();
    EXPECT_EQ(after.live_blocks, before.live_blocks);
    EXPECT_EQ(after.live_bytes, before.live_bytes);
}

}  // namespace
