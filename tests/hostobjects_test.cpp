// The host's own objects, driven through the embedding API as a patch would drive them.
#include "support.h"
#include "tildeobjects.h"

namespace {

struct HostObjects : ::testing::Test {
    void SetUp() override
    {
        tk::objects::register_all();
        tk::objects::reset_io();
    }
    void TearDown() override { tk::objects::reset_io(); }
};

std::vector<double> values(const tk::Box &b)
{
    std::vector<double> v;
    for (const auto &e : b.events())
        v.push_back(e.value);
    return v;
}

TEST_F(HostObjects, OscillatorsFollowTheirFrequencyAndPhase)
{
    const double sr = 48000;
    tk::Patch p(sr, 64);
    tk::Box *cyc = p.create("cycle~ 1000");
    tk::Box *ph = p.create("phasor~ 375");
    ASSERT_TRUE(cyc && ph);
    auto c = p.process(cyc, {}, 256)[0];
    for (std::size_t k = 0; k < 256; ++k)
        ASSERT_NEAR(c[k], std::cos(2 * M_PI * 1000 * double(k) / sr), 1e-9) << k;
    auto r = p.process(ph, {}, 256)[0];
    // a 375 Hz ramp at 48 kHz wraps every 128 samples
    for (std::size_t k = 0; k < 256; ++k)
        ASSERT_NEAR(r[k], double(k % 128) / 128.0, 1e-9) << k;

    // a number at cycle~'s right inlet offsets the phase by that many cycles
    tk::Patch q(sr, 64);
    tk::Box *c2 = q.create("cycle~ 0");
    q.send_float(c2, 1, 0.25);
    auto quarter = q.process(c2, {}, 64)[0];
    EXPECT_NEAR(quarter[10], 0.0, 1e-12);
}

TEST_F(HostObjects, ArithmeticTakesNumbersOrSignalsOnTheRight)
{
    tk::Patch p(48000, 64);
    tk::Box *mul = p.create("*~ 0.5");
    tk::Box *add = p.create("+~");
    auto m = p.process(mul, {tkt::constant(64, 3.0)}, 64)[0];
    EXPECT_DOUBLE_EQ(m[5], 1.5);
    p.send_float(add, 1, 2.0);
    auto a = p.process(add, {tkt::constant(64, 3.0)}, 64)[0];
    EXPECT_DOUBLE_EQ(a[5], 5.0);

    tk::Patch q(48000, 64);
    tk::Box *mul2 = q.create("*~ 100");
    auto both = q.process(mul2, {tkt::constant(64, 3.0), tkt::constant(64, -2.0)}, 64)[0];
    EXPECT_DOUBLE_EQ(both[0], -6.0);  // a signal on the right overrides the stored number

    tk::Patch r(48000, 64);
    tk::Box *sig = r.create("sig~ 0.25");
    EXPECT_DOUBLE_EQ(r.process(sig, {}, 64)[0][63], 0.25);
}

TEST_F(HostObjects, NoiseIsBoundedCentredAndDiffersBetweenBoxes)
{
    tk::Patch p(48000, 64);
    tk::Box *a = p.create("noise~");
    auto x = p.process(a, {}, 48000)[0];
    tk::Patch q(48000, 64);
    tk::Box *b = q.create("noise~");
    auto y = q.process(b, {}, 64)[0];
    double sum = 0;
    for (double v : x) {
        ASSERT_GE(v, -1.0);
        ASSERT_LT(v, 1.0);
        sum += v;
    }
    EXPECT_NEAR(sum / double(x.size()), 0.0, 0.02);
    EXPECT_NEAR(tkt::rms(x), 1.0 / std::sqrt(3.0), 0.02);
    EXPECT_NE(x[0], y[0]);
}

TEST_F(HostObjects, AdcAndDacCarryChannelsAtTheRunPosition)
{
    std::vector<std::vector<double>> got(3, std::vector<double>(300, 0.0));
    tk::objects::set_audio_source([](int ch, std::int64_t start, long n, double *out) {
        for (long i = 0; i < n; ++i)
            out[i] = 1000.0 * ch + double(start + i);
    });
    tk::objects::set_audio_sink([&](int ch, std::int64_t start, long n, const double *in) {
        for (long i = 0; i < n && start + i < 300; ++i)
            got[std::size_t(ch)][std::size_t(start + i)] += in[i];
    });
    tk::Patch p(48000, 32);
    tk::Box *adc = p.create("adc~ 2");
    tk::Box *dac = p.create("dac~ 3 1");
    tk::Box *ez = p.create("ezdac~");
    ASSERT_TRUE(adc && dac && ez);
    EXPECT_EQ(adc->signal_outlets(), 1);
    EXPECT_EQ(dac->signal_inlets(), 2);
    p.connect(adc, 0, dac, 0);  // input channel 2 -> output channel 3
    p.connect(adc, 0, ez, 0);   // and to channel 1 through ezdac~
    p.run(300);
    for (std::size_t i : {0u, 31u, 32u, 299u}) {
        EXPECT_DOUBLE_EQ(got[2][i], 1000.0 + double(i)) << i;
        EXPECT_DOUBLE_EQ(got[0][i], 1000.0 + double(i)) << i;  // dac~'s unconnected inlet adds nothing
    }
    EXPECT_DOUBLE_EQ(got[1][100], 0.0);

    tk::ConsoleCapture cap;
    EXPECT_EQ(p.create("dac~ 0"), nullptr);
    EXPECT_TRUE(cap.contains("dac~: argument 1 is not a channel number"));
}

TEST_F(HostObjects, MetroAndDelayKeepTime)
{
    tk::Patch p(48000, 64);
    tk::Box *metro = p.create("metro 10");
    tk::Box *del = p.create("delay 25");
    p.send(metro, "bang");
    const double t0 = p.now_ms();
    p.advance(35);
    std::vector<double> times;
    for (const auto &e : metro->events())
        times.push_back(e.time_ms - t0);
    EXPECT_EQ(times, (std::vector<double>{0, 10, 20, 30}));

    metro->clear_events();
    p.send_float(metro, 1, 5);  // a new interval from the next tick (due at 40)
    p.advance(12);
    EXPECT_EQ(metro->events().size(), 2u);
    p.send(metro, "stop");
    metro->clear_events();
    p.advance(50);
    EXPECT_TRUE(metro->events().empty());

    p.send(del, "bang");
    const double t1 = p.now_ms();
    p.advance(30);
    ASSERT_EQ(del->events().size(), 1u);
    EXPECT_NEAR(del->events()[0].time_ms - t1, 25.0, 1e-9);

    // a delay restarted before it fires fires once; stop cancels it
    del->clear_events();
    p.send(del, "bang");
    p.advance(10);
    p.send(del, "bang");
    p.advance(30);
    EXPECT_EQ(del->events().size(), 1u);
    p.send(del, "bang");
    p.send(del, "stop");
    p.advance(30);
    EXPECT_EQ(del->events().size(), 1u);

    // a zero interval would flood the scheduler: it is raised to 1 ms and said so
    tk::ConsoleCapture cap;
    tk::Box *fast = p.create("metro 0");
    EXPECT_TRUE(cap.contains("below 1 ms"));
    p.send(fast, "int", {1});
    p.advance(9.5);
    EXPECT_EQ(fast->events().size(), 10u);
    p.send(fast, "int", {0});
}

TEST_F(HostObjects, MessageBoxesSendTheirContents)
{
    std::vector<std::string> routed;
    tk::objects::set_message_router([&](_object *, int outlet, const std::string &sel, const tk::Atoms &args) {
        routed.push_back(std::to_string(outlet) + " " + sel + (args.empty() ? "" : " " + tk::atoms_text(args)));
    });
    tk::Patch p(48000, 64);
    tk::Box *num = p.create("message", {0.5});
    tk::Box *multi = p.create("message", tk::parse_atoms("attack 10 , 1 2 , bang"));
    tk::Box *lm = p.create("loadmess 7");
    p.send(num, "bang");
    ASSERT_EQ(num->events().size(), 1u);
    EXPECT_EQ(num->events()[0].kind, tk::Event::Float);
    EXPECT_EQ(num->events()[0].value, 0.5);
    p.send_int(multi, 0, 3);  // any input sends the contents
    EXPECT_EQ(routed, (std::vector<std::string>{"0 attack 10", "0 list 1 2"}));
    ASSERT_EQ(multi->events().size(), 1u);
    EXPECT_EQ(multi->events()[0].kind, tk::Event::Bang);
    p.send(multi, "set", {"Bypass", 1});
    routed.clear();
    p.send(multi, "bang");
    EXPECT_EQ(routed, (std::vector<std::string>{"0 Bypass 1"}));
    p.send(lm, "loadbang");
    ASSERT_EQ(lm->events().size(), 1u);
    EXPECT_EQ(lm->events()[0].kind, tk::Event::Int);
    EXPECT_EQ(lm->events()[0].value, 7);

    // without a router a message that is not a number is an error, not silence
    tk::objects::set_message_router(nullptr);
    tk::ConsoleCapture cap;
    p.send(multi, "bang");
    EXPECT_TRUE(cap.contains("cannot send 'Bypass 1'"));
}

TEST_F(HostObjects, PrintAndNumberBoxes)
{
    std::vector<std::string> lines;
    tk::objects::set_print_sink([&](const std::string &l) { lines.push_back(l); });
    tk::Patch p(48000, 64);
    tk::Box *pr = p.create("print level");
    tk::Box *num = p.create("number");
    tk::Box *flo = p.create("flonum");
    p.connect(num, 0, pr, 0);
    p.connect(flo, 0, pr, 0);
    p.send_float(num, 0, 2.75);
    p.send_float(num, 0, -2.75);
    p.send_float(flo, 0, 2.75);
    p.send(flo, "set", {9.5});  // stored, not sent
    p.send(flo, "bang");
    p.send(pr, "anything", {"ratio", 4});
    p.send(pr, "list", {1, 2.5});
    EXPECT_EQ(lines, (std::vector<std::string>{"level: 2", "level: -2", "level: 2.75", "level: 9.5", "level: ratio 4",
                                               "level: 1 2.5"}));
    EXPECT_EQ(values(*num), (std::vector<double>{2, -2}));
}

TEST_F(HostObjects, EveryObjectIsReleasedWithItsBox)
{
    auto before = tk::memory_stats().live_blocks;
    {
        tk::Patch p(48000, 64);
        for (const auto &name : tk::objects::class_names()) {
            tk::Box *b = p.create(name, {});
            ASSERT_NE(b, nullptr) << name;
        }
        tk::Box *m = p.create("metro 5");
        p.send(m, "bang");
        p.run(256);
    }
    EXPECT_EQ(tk::memory_stats().live_blocks, before);
}

}  // namespace
