// The host's own objects, driven through the embedding API as a patch would drive them.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <fstream>

#include "support.h"
#include "tildeobjects.h"
#include "tildesdk.h"

namespace {

using tk::Event;

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

// ---- line~, count~, !/, live.gain~ -------------------------------------------------------

int errors(const tk::ConsoleCapture &c) { return int(c.texts(tk::ConsoleLine::Error).size()); }

std::vector<Event> bangs_of(const tk::Box &b, int outlet)
{
    std::vector<Event> v;
    for (const auto &e : b.events())
        if (e.outlet == outlet && e.kind == tk::Event::Bang)
            v.push_back(e);
    return v;
}

TEST_F(HostObjects, LineRampsThroughTargetTimePairsAtAnyBlockSize)
{
    for (int block : {1, 7, 64, 4096}) {
        SCOPED_TRACE(block);
        // at 1 kHz a millisecond is one sample
        tk::Patch p(1000, block);
        tk::Box *line = p.create("line~ 200");
        ASSERT_TRUE(line);
        EXPECT_EQ(line->signal_outlets(), 1);
        p.send(line, "list", {1, 10, -1, 5});
        auto out = p.process(line, {}, 20)[0];
        for (int k = 0; k < 10; ++k)  // from 200 to 1 in 10 samples, the target at the last
            EXPECT_NEAR(out[std::size_t(k)], 200.0 + (1.0 - 200.0) * (k + 1) / 10.0, 1e-9) << k;
        EXPECT_EQ(out[9], 1.0);
        for (int k = 0; k < 5; ++k)
            EXPECT_NEAR(out[std::size_t(10 + k)], 1.0 - 2.0 * (k + 1) / 5.0, 1e-12) << k;
        EXPECT_EQ(out[14], -1.0);
        EXPECT_EQ(out[19], -1.0);
        p.run(block);  // the end is told by a clock after the block it falls in
        auto done = bangs_of(*line, 1);
        ASSERT_EQ(done.size(), 1u);
        EXPECT_GE(done[0].time_ms, 15.0 - 1e-9);
        EXPECT_LE(done[0].time_ms, 15.0 + block);
    }

    tk::Patch p(1000, 1);
    tk::Box *line = p.create("line~");
    // a ramp time at the right inlet is used by the next number only
    p.send_float(line, 1, 4);
    p.send_float(line, 0, 3);
    auto out = p.process(line, {}, 4)[0];
    EXPECT_EQ(out, (std::vector<double>{0.75, 1.5, 2.25, 3}));
    p.send_float(line, 0, 9);
    EXPECT_EQ(p.process(line, {}, 1)[0][0], 9.0);
    // a new list replaces the running one from where it stands; stop holds the value
    p.send(line, "list", {0, 9});
    EXPECT_EQ(p.process(line, {}, 3)[0], (std::vector<double>{8, 7, 6}));
    p.send(line, "list", {10, 4});
    EXPECT_EQ(p.process(line, {}, 2)[0], (std::vector<double>{7, 8}));
    p.send(line, "stop");
    EXPECT_EQ(p.process(line, {}, 3)[0], (std::vector<double>{8, 8, 8}));
    // a lone last number is jumped to after the ramps before it
    p.send(line, "list", {0, 2, 5});
    EXPECT_EQ(p.process(line, {}, 4)[0], (std::vector<double>{4, 0, 5, 5}));
    // a list of jumps only changes the value at once and does not bang
    line->clear_events();
    p.send(line, "list", {1, 0, 2, 0});
    EXPECT_EQ(p.process(line, {}, 3)[0], (std::vector<double>{2, 2, 2}));
    EXPECT_TRUE(bangs_of(*line, 1).empty());
}

TEST_F(HostObjects, LineRefusesNonNumbersAndKeepsLongRampsExact)
{
    tk::Patch p(384000, 4096);
    tk::Box *line = p.create("line~");
    tk::ConsoleCapture cap;
    p.send_float(line, 0, NAN);
    p.send(line, "list", {1, NAN});
    p.send(line, "list", {1, 10, INFINITY, 10});
    p.send_float(line, 1, NAN);
    p.send(line, "list", {1, "ms"});
    EXPECT_EQ(errors(cap), 5);
    EXPECT_TRUE(cap.contains("line~: target nan is not a finite number"));
    EXPECT_EQ(p.process(line, {}, 64)[0][63], 0.0);  // nothing of those changed it

    // a 1 s ramp at 384 kHz reaches its target on its last sample and stays
    p.send(line, "list", {-0.5, 1000});
    auto out = p.process(line, {}, 384000 + 100)[0];
    EXPECT_NEAR(out[191999], -0.25, 1e-9);
    EXPECT_EQ(out[383999], -0.5);
    EXPECT_EQ(out[384099], -0.5);
    // a negative time jumps; a huge one ramps without overflow
    p.send(line, "list", {2, -5});
    EXPECT_EQ(p.process(line, {}, 1)[0][0], 2.0);
    p.send(line, "list", {3, 1e300});
    out = p.process(line, {}, 4096)[0];
    EXPECT_TRUE(tkt::all_finite(out));
    EXPECT_GT(out[4095], 2.0);
    EXPECT_LT(out[4095], 2.0 + 1e-6);
}

TEST_F(HostObjects, CountCountsSamplesWrapsAtItsMaximumAndStops)
{
    for (int block : {1, 7, 4096}) {
        SCOPED_TRACE(block);
        tk::Patch p(48000, block);
        tk::Box *c = p.create("count~ 0 5 0 1");  // counting from the start
        ASSERT_TRUE(c);
        EXPECT_EQ(p.process(c, {}, 12)[0], (std::vector<double>{0, 1, 2, 3, 4, 0, 1, 2, 3, 4, 0, 1}));
    }

    tk::Patch q(48000, 1);
    tk::Box *d = q.create("count~ 10");
    EXPECT_EQ(q.process(d, {}, 3)[0], (std::vector<double>{10, 10, 10}));  // waits for a bang
    q.send(d, "bang");
    EXPECT_EQ(q.process(d, {}, 3)[0], (std::vector<double>{10, 11, 12}));
    q.send_int(d, 0, 3);  // counts on from a number
    EXPECT_EQ(q.process(d, {}, 2)[0], (std::vector<double>{3, 4}));
    q.send_int(d, 1, 13);  // a maximum above the minimum: back to the minimum on reaching it
    EXPECT_EQ(q.process(d, {}, 11)[0], (std::vector<double>{5, 6, 7, 8, 9, 10, 11, 12, 10, 11, 12}));
    q.send(d, "stop");
    EXPECT_EQ(q.process(d, {}, 2)[0], (std::vector<double>{10, 10}));
    q.send(d, "min", {11});
    q.send(d, "bang");
    EXPECT_EQ(q.process(d, {}, 3)[0], (std::vector<double>{11, 12, 11}));

    // autoreset: the count starts again from the minimum when audio starts again
    tk::Patch p(48000, 1);
    tk::Box *a = p.create("count~ 2 0 1 1");
    tk::Box *n = p.create("count~ 2 0 0 1");
    EXPECT_EQ(p.process(a, {}, 4)[0], (std::vector<double>{2, 3, 4, 5}));
    p.dsp_off();
    EXPECT_EQ(p.process(a, {}, 2)[0], (std::vector<double>{2, 3}));
    p.send(a, "autoreset", {0});
    p.dsp_off();
    EXPECT_EQ(p.process(a, {}, 2)[0], (std::vector<double>{4, 5}));
    EXPECT_EQ(p.process(n, {}, 2)[0][0], 2 + 4 + 2 + 2.0);  // never reset: it ran all along

    tk::ConsoleCapture cap;
    p.send_float(a, 0, NAN);
    EXPECT_TRUE(cap.contains("count~: start is not a number"));
    EXPECT_EQ(p.create("count~ zero"), nullptr);
    EXPECT_TRUE(cap.contains("count~: argument 1 is not a number"));
}

TEST_F(HostObjects, LineAndCountTakeMessagesFromAnotherThreadWhileBlocksRun)
{
    for (int round = 0; round < 20; ++round) {
        tk::Patch p(44100, 64);
        tk::Box *count = p.create("count~ 5 0 0 1");
        tk::Box *line = p.create("line~ 1");
        p.capture(count, 0);
        p.capture(line, 0);
        std::atomic<bool> sent{false};
        std::thread other([&] {
            p.send_int(count, 0, 100);
            p.send(line, "list", {0.5, 1});  // 44 samples
            sent = true;
        });
        while (!sent)
            p.run(64);
        other.join();
        p.run(128);  // whatever block they landed in, both have taken effect by now
        p.clear_outputs();
        p.run(64);
        const auto &c = p.output(count, 0);
        // counting on from 100 at some block start (from 5 it would never be 100 + 64k)
        ASSERT_EQ(c.size(), 64u);
        EXPECT_EQ(std::fmod(c[0] - 100.0, 64.0), 0.0) << round << ": " << c[0];
        for (std::size_t i = 1; i < c.size(); ++i)
            ASSERT_EQ(c[i], c[i - 1] + 1);
        EXPECT_EQ(p.output(line, 0), std::vector<double>(64, 0.5)) << round;
    }
}

TEST_F(HostObjects, ReverseDivideDividesItsArgumentByTheInput)
{
    tk::Patch p(48000, 64);
    tk::Box *f = p.create("!/ 1000.");
    tk::Box *i = p.create("!/ 10");
    ASSERT_TRUE(f && i);
    p.send_float(f, 0, 250);
    p.send_float(f, 0, 8);
    p.send_float(f, 0, 0);  // division by zero sends 0
    p.send_float(f, 1, 1);  // stored, not sent
    p.send(f, "bang");
    EXPECT_EQ(values(*f), (std::vector<double>{4, 125, 0, 0}));
    p.send_float(f, 0, 4);
    EXPECT_EQ(f->events().back().kind, tk::Event::Float);
    EXPECT_EQ(f->events().back().value, 0.25);

    p.send_int(i, 0, 3);        // integers: truncated quotient
    p.send_float(i, 0, -4.9);   // the input is truncated to -4
    p.send_int(i, 0, 0);
    p.send_float(i, 1, 1e300);  // a huge argument is held at the largest int
    p.send_int(i, 0, 1);
    ASSERT_EQ(i->events().size(), 4u);
    EXPECT_EQ(i->events()[0].kind, tk::Event::Int);
    EXPECT_EQ(values(*i)[0], 3);
    EXPECT_EQ(values(*i)[1], -2);
    EXPECT_EQ(values(*i)[2], 0);
    if (tk::host_width_bits() == 64)
        EXPECT_GT(values(*i)[3], 9e18);
    else
        EXPECT_EQ(values(*i)[3], 2147483647.0);

    tk::ConsoleCapture cap;
    i->clear_events();
    p.send_float(i, 0, NAN);
    EXPECT_TRUE(i->events().empty());
    EXPECT_TRUE(cap.contains("!/: input is not a number"));
}

TEST_F(HostObjects, LiveGainScalesEveryChannelByItsValueInDecibels)
{
    tk::Patch p(48000, 64);
    tk::Box *g = p.create("live.gain~ 2 -6");
    ASSERT_TRUE(g);
    EXPECT_EQ(g->signal_inlets(), 2);
    EXPECT_EQ(g->signal_outlets(), 2);
    EXPECT_EQ(g->outlets(), 5);
    auto out = p.process(g, {tkt::constant(64, 1.0), tkt::constant(64, -0.5)}, 64);
    EXPECT_NEAR(out[0][10], std::pow(10.0, -6.0 / 20.0), 1e-12);
    EXPECT_NEAR(out[1][10], -0.5 * std::pow(10.0, -6.0 / 20.0), 1e-12);
    p.send_float(g, 0, 20);  // held at the top of its range, and sent
    ASSERT_FALSE(g->events().empty());
    EXPECT_EQ(g->events().back().outlet, 3);
    EXPECT_EQ(g->events().back().value, 6.0);
    out = p.process(g, {tkt::constant(64, 1.0)}, 64);
    EXPECT_NEAR(out[0][0], std::pow(10.0, 6.0 / 20.0), 1e-12);
    p.send_float(g, 0, -70);  // the bottom is silence
    EXPECT_EQ(p.process(g, {tkt::constant(64, 1.0)}, 64)[0][5], 0.0);
    {
        tk::ConsoleCapture cap;
        p.send_float(g, 0, NAN);  // refused: the value stays
        EXPECT_TRUE(cap.contains("live.gain~: value is not a number"));
        EXPECT_EQ(p.process(g, {tkt::constant(64, 1.0)}, 64)[0][5], 0.0);
        p.send_float(g, 0, -INFINITY);
        EXPECT_EQ(p.process(g, {tkt::constant(64, 1.0)}, 64)[0][5], 0.0);
    }

    tk::Patch q(48000, 64);
    EXPECT_EQ(q.create("live.gain~")->signal_inlets(), 1);
    tk::ConsoleCapture cap;
    EXPECT_EQ(q.create("live.gain~ 0"), nullptr);
    EXPECT_TRUE(cap.contains("live.gain~: argument 1 is not a channel count"));
}

// ---- buffer~ ------------------------------------------------------------------------------

// A 32-bit float WAV file of interleaved samples.
void write_float_wav(const std::string &path, int channels, int sr, const std::vector<float> &samples)
{
    auto u32 = [](std::FILE *f, std::uint32_t v) { std::fwrite(&v, 4, 1, f); };
    auto u16 = [](std::FILE *f, std::uint16_t v) { std::fwrite(&v, 2, 1, f); };
    std::FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(f) << path;
    std::uint32_t bytes = std::uint32_t(samples.size() * 4);
    std::fwrite("RIFF", 1, 4, f);
    u32(f, 36 + bytes);
    std::fwrite("WAVEfmt ", 1, 8, f);
    u32(f, 16);
    u16(f, 3);  // IEEE float
    u16(f, std::uint16_t(channels));
    u32(f, std::uint32_t(sr));
    u32(f, std::uint32_t(sr * channels * 4));
    u16(f, std::uint16_t(channels * 4));
    u16(f, 32);
    std::fwrite("data", 1, 4, f);
    u32(f, bytes);
    std::fwrite(samples.data(), 4, samples.size(), f);
    std::fclose(f);
}

struct TempDir {
    std::filesystem::path path;
    TempDir()
    {
        path = std::filesystem::temp_directory_path() / ("tildekit-hostobj-" + std::to_string(::getpid()));
        std::filesystem::create_directories(path);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

TEST_F(HostObjects, BufferBoxMakesANamedBufferAndTakesItsMessages)
{
    tk::Patch p(8000, 64);
    tk::Box *b = p.create("buffer~ hb-size 250 2");  // 250 ms at 8 kHz, two channels, silent
    ASSERT_TRUE(b);
    auto info = tk::buffer_info("hb-size");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->frames, 2000);
    EXPECT_EQ(info->channels, 2);
    EXPECT_EQ(info->samplerate, 8000);
    p.send(b, "fill", {0.5});
    info = tk::buffer_info("hb-size");
    EXPECT_EQ(info->samples[3999], 0.5f);
    p.send(b, "sizeinsamps", {3, 1});  // keeps what fits
    info = tk::buffer_info("hb-size");
    EXPECT_EQ(info->frames, 3);
    EXPECT_EQ(info->channels, 1);
    EXPECT_EQ(info->samples, (std::vector<float>{0.5f, 0.5f, 0.5f}));
    p.send(b, "sizeinsamps", {5});
    EXPECT_EQ(tk::buffer_info("hb-size")->samples, (std::vector<float>{0.5f, 0.5f, 0.5f, 0, 0}));
    p.send(b, "size", {1});  // in ms: 8 frames
    EXPECT_EQ(tk::buffer_info("hb-size")->frames, 8);
    p.send(b, "clear");
    EXPECT_EQ(tk::buffer_info("hb-size")->samples, std::vector<float>(8, 0.0f));

    // bad sizes and fills change nothing and say what was wrong
    {
        tk::ConsoleCapture cap;
        p.send(b, "sizeinsamps", {-1});
        p.send(b, "sizeinsamps", {1e12});
        p.send(b, "fill", {NAN});
        p.send(b, "sizeinsamps", {4, 100});
        p.send(b, "read");
        EXPECT_EQ(errors(cap), 5);
        EXPECT_TRUE(cap.contains("buffer~ hb-size: channel count must be 1 to 64"));
        EXPECT_TRUE(cap.contains("read needs a file name"));
        EXPECT_EQ(tk::buffer_info("hb-size")->frames, 8);
    }

    // set: the box now names another buffer; the old one goes with its last box
    p.send(b, "set", {"hb-other"});
    EXPECT_FALSE(tk::buffer_info("hb-size"));
    EXPECT_TRUE(tk::buffer_info("hb-other"));
    tk::Box *twin = p.create("buffer~ hb-other");
    p.free(b);
    EXPECT_TRUE(tk::buffer_info("hb-other"));  // another box still names it
    p.free(twin);
    EXPECT_FALSE(tk::buffer_info("hb-other"));

    tk::ConsoleCapture cap;
    EXPECT_EQ(p.create("buffer~"), nullptr);
    EXPECT_EQ(p.create("buffer~ 3"), nullptr);
    EXPECT_TRUE(cap.contains("buffer~: the first argument must be the buffer's name"));
}

TEST_F(HostObjects, BufferBoxLoadsASoundFileFromThePatchFolder)
{
    TempDir dir;
    std::vector<float> frames;
    for (int k = 0; k < 300; ++k) {
        frames.push_back(float(k) / 300.0f);
        frames.push_back(-float(k) / 300.0f);
    }
    write_float_wav((dir.path / "two.wav").string(), 2, 22050, frames);
    tk::objects::set_file_folders({dir.path.string()});
    tk::Patch p(48000, 64);
    tk::ConsoleCapture cap;
    tk::Box *b = p.create("buffer~ hb-file two.wav");
    ASSERT_TRUE(b);
    EXPECT_EQ(tk::buffer_info("hb-file")->frames, 0);  // read once the scheduler runs
    p.advance(0);
#ifdef TILDEKIT_HOST_SNDFILE
    auto info = tk::buffer_info("hb-file");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->channels, 2);
    EXPECT_EQ(info->frames, 300);
    EXPECT_EQ(info->samplerate, 22050);
    EXPECT_EQ(info->samples, frames);
    // the first channel only, asked for by the third argument
    tk::Box *mono = p.create("buffer~ hb-mono two.wav 1");
    ASSERT_TRUE(mono);
    p.advance(0);
    EXPECT_EQ(tk::buffer_info("hb-mono")->channels, 1);
    EXPECT_EQ(tk::buffer_info("hb-mono")->samples[299], frames[598]);
    // read: the duration in ms from the left outlet, a bang from the right, in that order
    mono->clear_events();
    p.send(mono, "read", {(dir.path / "two.wav").string()});
    ASSERT_EQ(mono->events().size(), 2u);
    EXPECT_EQ(mono->events()[0].kind, tk::Event::Bang);
    EXPECT_EQ(mono->events()[0].outlet, 1);
    EXPECT_NEAR(mono->events()[1].value, 300 * 1000.0 / 22050, 1e-9);
    EXPECT_EQ(tk::buffer_info("hb-mono")->channels, 2);  // a read takes the file as it is
    EXPECT_EQ(errors(cap), 0);
#else
    // built without libsndfile: the box exists, empty, and the console says why
    EXPECT_TRUE(cap.contains("buffer~ hb-file: cannot read"));
    EXPECT_TRUE(cap.contains("built without libsndfile"));
    EXPECT_EQ(tk::buffer_info("hb-file")->frames, 0);
#endif
    // a file that is nowhere, or that is not a sound file: an error naming it; contents kept
    std::ofstream((dir.path / "text.wav").string()) << "not a sound\n";
    tk::ConsoleCapture cap2;
    p.send(b, "read", {"missing.wav"});
    p.send(b, "read", {"text.wav"});
    EXPECT_TRUE(cap2.contains("buffer~ hb-file: cannot find 'missing.wav' (looked in " + dir.path.string()));
    EXPECT_TRUE(cap2.contains("buffer~ hb-file: cannot read " + (dir.path / "text.wav").string()));
#ifdef TILDEKIT_HOST_SNDFILE
    EXPECT_EQ(tk::buffer_info("hb-file")->samples, frames);
#endif
}

TEST_F(HostObjects, EveryObjectIsReleasedWithItsBox)
{
    auto before = tk::memory_stats().live_blocks;
    {
        tk::Patch p(48000, 64);
        for (const auto &name : tk::objects::class_names()) {
            tk::Atoms args;
            if (name == "buffer~")  // a buffer needs a name
                args = {"released", 100};
            tk::Box *b = p.create(name, args);
            ASSERT_NE(b, nullptr) << name;
        }
        tk::Box *m = p.create("metro 5");
        p.send(m, "bang");
        p.run(256);
    }
    EXPECT_EQ(tk::memory_stats().live_blocks, before);
}

}  // namespace
