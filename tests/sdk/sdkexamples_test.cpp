// The Max SDK's example externals, compiled unchanged against the SDK's headers, run through
// the host as their help patchers describe them.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <complex>
#include <numbers>
#include <set>

#include <unistd.h>

#include <cstdio>

#include "tildehost.h"
#include "tildeobjects.h"
#include "tildesdk.h"

namespace {

struct SdkExamples : ::testing::Test {
    void SetUp() override { tk::set_search_paths({TILDEKIT_SDK_EXAMPLES_BUILD, TILDEKIT_SDK_FIXTURE_DIR}); }
};

double last(const std::vector<double> &v) { return v.empty() ? NAN : v.back(); }

std::vector<double> constant(double v, std::size_t n) { return std::vector<double>(n, v); }

TEST_F(SdkExamples, EveryBuiltExampleLoads) {
    for (const char *name : {"plussz~", "simplemsp~", "times~", "split~", "lores~", "index~", "simpwave~", "dspstress~",
                             "plussz", "plussz2", "simplemax", "attrtester", "delay2", "dummy", "urner"}) {
        SCOPED_TRACE(name);
        const tk::ClassInfo &c = tk::load_class(name);
        EXPECT_EQ(c.name, name);
        EXPECT_EQ(c.width_bits, tk::host_width_bits());
    }
}

TEST_F(SdkExamples, AnExternalCallingAFunctionTheHostLacksIsRefusedNamingIt) {
    try {
        tk::load_class("missingapi");
        FAIL() << "loaded";
    } catch (const tk::Error &e) {
        std::string what = e.what();
        EXPECT_NE(what.find("tildekit_no_such_host_function"), std::string::npos) << what;
        EXPECT_EQ(what.find('\n'), std::string::npos) << what;
    }
}

TEST_F(SdkExamples, PlusszTildeAddsItsArgumentAndLaterNumbers) {
    for (int block : {1, 64, 4096}) {
        tk::Patch p(48000, block);
        tk::Box *b = p.create("plussz~ 2");
        ASSERT_TRUE(b);
        auto out = p.process(b, {constant(0.25, 256)}, 256);
        EXPECT_DOUBLE_EQ(last(out[0]), 2.25);
        p.send_float(b, 0, -1.5);
        out = p.process(b, {constant(0.25, 256)}, 256);
        EXPECT_DOUBLE_EQ(last(out[0]), -1.25);
    }
}

TEST_F(SdkExamples, TimesTildeMultipliesByASignalOrANumber) {
    tk::Patch p(44100, 64);
    tk::Box *b = p.create("times~ 3");
    ASSERT_TRUE(b);
    auto out = p.process(b, {constant(0.5, 128)}, 128);
    EXPECT_DOUBLE_EQ(last(out[0]), 1.5);
    out = p.process(b, {constant(0.5, 128), constant(-4, 128)}, 128);  // signal at the right inlet wins
    EXPECT_DOUBLE_EQ(last(out[0]), -2.0);
    p.send_int(b, 0, 7);
    out = p.process(b, {constant(0.5, 128)}, 128);
    EXPECT_DOUBLE_EQ(last(out[0]), 3.5);
}

TEST_F(SdkExamples, SplitTildeRoutesByRangeAndTakesItsBoundsAtProxyInlets) {
    tk::Patch p(44100, 64);
    tk::Box *b = p.create("split~ -0.5 0.5");
    ASSERT_TRUE(b);
    std::vector<double> in = {-1, -0.5, 0, 0.5, 0.75};
    auto out = p.process(b, {in}, 5);
    ASSERT_EQ(out.size(), 3u);
    for (std::size_t i = 0; i < in.size(); ++i) {
        bool inside = in[i] >= -0.5 && in[i] <= 0.5;
        EXPECT_EQ(out[0][i], inside ? in[i] : 0.0);
        EXPECT_EQ(out[1][i], inside ? 0.0 : in[i]);
        EXPECT_EQ(out[2][i], inside ? 1.0 : 0.0);
    }
    p.send_float(b, 2, 0.8);  // the high bound at the third inlet
    out = p.process(b, {in}, 5);
    EXPECT_EQ(out[2][4], 1.0);
    tk::ConsoleCapture cap;
    p.send_float(b, 0, 0.1);  // numbers at the left inlet are refused by the example itself
    EXPECT_TRUE(cap.contains("wrong inlet"));
}

TEST_F(SdkExamples, PlusszAddsTheIntOfItsRightInletAndPlussz2ThroughAProxy) {
    tk::Patch p;
    tk::Box *a = p.create("plussz");
    ASSERT_TRUE(a);
    p.send_int(a, 1, 3);
    p.send_int(a, 0, 4);
    ASSERT_FALSE(a->events().empty());
    EXPECT_EQ(a->events().back().kind, tk::Event::Int);
    EXPECT_EQ(a->events().back().value, 7);

    tk::Box *b = p.create("plussz2");
    ASSERT_TRUE(b);
    EXPECT_EQ(b->inlets(), 2);
    tk::ConsoleCapture cap;
    p.send_float(b, 1, 2.5);
    EXPECT_TRUE(cap.contains("float came in via inlet 1"));
    p.send_int(b, 0, 3);
    EXPECT_TRUE(cap.contains("int came in via inlet 0"));
    ASSERT_FALSE(b->events().empty());
    EXPECT_EQ(b->events().back().kind, tk::Event::Float);
    EXPECT_DOUBLE_EQ(b->events().back().value, 5.5);
}

// Steady-state gain of lores~ at a few frequencies against the transfer function its code
// implements: y = scale x - a1 y1 - a2 y2, a1 = -2 r cos(w0), a2 = r^2, scale = 1 + a1 + a2,
// r = 0.882497 exp(resonance / 8).
TEST_F(SdkExamples, LoresTildeHasTheResponseOfItsResonantLowPass) {
    const double sr = 48000, fc = 2000, res = 0.6;
    for (double f : {200.0, 1000.0, 2000.0, 6000.0}) {
        SCOPED_TRACE(f);
        tk::Patch p(sr, 64);
        tk::Box *b = p.create("lores~ @cutoff 2000 @resonance 0.6");
        ASSERT_TRUE(b);
        EXPECT_DOUBLE_EQ(tk::attribute_value(b, "cutoff")->at(0).v.index() == 1 ? std::get<1>(tk::attribute_value(b, "cutoff")->at(0).v) : 0, fc);
        const std::int64_t n = 48000;
        std::vector<double> in(n);
        for (std::int64_t i = 0; i < n; ++i) in[std::size_t(i)] = std::sin(2 * std::numbers::pi * f * double(i) / sr);
        auto out = p.process(b, {in}, n);
        double peak = 0;
        for (std::int64_t i = n / 2; i < n; ++i) peak = std::max(peak, std::abs(out[0][std::size_t(i)]));
        const double r = 0.882497 * std::exp(res * 0.125), w0 = 2 * std::numbers::pi * fc / sr;
        const double a1 = -2 * r * std::cos(w0), a2 = r * r;
        const std::complex<double> z1 = std::polar(1.0, -2 * std::numbers::pi * f / sr);
        const double h = std::abs((1 + a1 + a2) / (1.0 + a1 * z1 + a2 * z1 * z1));
        EXPECT_NEAR(peak, h, 0.01 * h + 1e-4);
    }
}

TEST_F(SdkExamples, AttrtesterAttributesAreSetByArgumentsAndMessagesAndReadBack) {
    tk::Patch p;
    tk::Box *b = p.create("attrtester @max 50 @usemax 1");
    ASSERT_TRUE(b);
    auto names = tk::attribute_names(b);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), (std::set<std::string>{"min", "max", "usemin", "usemax", "val"}));
    EXPECT_EQ(tk::atoms_text(*tk::attribute_value(b, "max")), "50");
    p.send_int(b, 0, 70);
    ASSERT_FALSE(b->events().empty());
    EXPECT_EQ(b->events().back().value, 50);  // clipped by usemax
    p.send_text(b, 0, "max 200");  // the class's clip filter: 0..100
    EXPECT_EQ(tk::atoms_text(*tk::attribute_value(b, "max")), "100");
    p.send_text(b, 0, "min 10");  // through the example's own setter and getter
    EXPECT_EQ(tk::atoms_text(*tk::attribute_value(b, "min")), "10");
    p.send_text(b, 0, "min 500");  // its setter refuses a minimum above the maximum
    EXPECT_EQ(tk::atoms_text(*tk::attribute_value(b, "min")), "10");
    p.send_text(b, 0, "usemin 1");
    p.send_int(b, 0, -100);
    EXPECT_EQ(b->events().back().value, 10);
    EXPECT_FALSE(tk::attribute_value(b, "nosuch"));

    // wrong types or counts: the usual error, nothing changed
    for (const char *bad : {"max foo", "max", "max 1 2", "usemax bar"}) {
        SCOPED_TRACE(bad);
        tk::ConsoleCapture cap;
        p.send_text(b, 0, bad);
        ASSERT_EQ(cap.texts(tk::ConsoleLine::Error).size(), 1u);
        EXPECT_TRUE(cap.contains("attribute '")) << cap.texts()[0];
        EXPECT_EQ(tk::atoms_text(*tk::attribute_value(b, "max")), "100");
        EXPECT_EQ(tk::atoms_text(*tk::attribute_value(b, "usemax")), "1");
    }
    tk::ConsoleCapture cap;
    EXPECT_TRUE(p.create("attrtester @nosuch 3"));
    EXPECT_TRUE(cap.contains("no attribute named 'nosuch'"));
}

std::vector<double> bang_times(const tk::Box *b, int outlet) {
    std::vector<double> t;
    for (auto &e : b->events())
        if (e.outlet == outlet && e.kind == tk::Event::Bang) t.push_back(e.time_ms);
    return t;
}

TEST_F(SdkExamples, Delay2FiresBothOutletsAtTheRightLogicalTime) {
    tk::Patch p(44100, 64);
    tk::Box *b = p.create("delay2 100");
    ASSERT_TRUE(b);
    p.advance(10);
    p.send(b, "bang");
    p.advance(200);
    EXPECT_EQ(bang_times(b, 0), std::vector<double>{110.0});
    EXPECT_EQ(bang_times(b, 1), std::vector<double>{110.0});
    b->clear_events();
    p.send_text(b, 0, "4n");  // a quarter note at 120 bpm, and a bang
    p.advance(1000);
    ASSERT_EQ(bang_times(b, 0).size(), 1u);
    EXPECT_NEAR(bang_times(b, 0)[0], 210.0 + 500.0, 1e-6);
    b->clear_events();
    p.send_int(b, 1, 50);  // the right inlet sets the time only
    p.advance(100);
    EXPECT_TRUE(bang_times(b, 0).empty());
    p.send(b, "bang");
    p.advance(20);
    p.send(b, "stop");
    p.advance(100);
    EXPECT_TRUE(bang_times(b, 0).empty());
    EXPECT_TRUE(bang_times(b, 1).empty());
    tk::ConsoleCapture cap;
    p.send_text(b, 1, "delaytime 3xyz");
    EXPECT_TRUE(cap.contains("not understood"));
}

TEST_F(SdkExamples, IndexTildeReadsTheBufferFilledByTheTest) {
    std::vector<float> data;  // two channels: i and -i
    for (int i = 0; i < 100; ++i) {
        data.push_back(float(i));
        data.push_back(float(-i));
    }
    tk::buffer_set("sdkidx", 2, data, 48000);
    tk::Patch p(48000, 64);
    tk::Box *b = p.create("index~ sdkidx 2");
    ASSERT_TRUE(b);
    auto out = p.process(b, {{0, 3, 42, 99, 150, -5}}, 6);
    EXPECT_EQ(out[0][0], 0.0);
    EXPECT_EQ(out[0][1], -3.0);
    EXPECT_EQ(out[0][2], -42.0);
    EXPECT_EQ(out[0][3], -99.0);
    EXPECT_EQ(out[0][4], -99.0);  // clamped to the last frame
    EXPECT_EQ(out[0][5], 0.0);
    tk::buffer_set("sdkidx", 1, {5, 6, 7}, 48000);  // replaced: the reference follows
    out = p.process(b, {{2}}, 1);
    EXPECT_EQ(out[0][0], 7.0);
    tk::buffer_remove("sdkidx");
    out = p.process(b, {{2}}, 1);
    EXPECT_EQ(out[0][0], 0.0);
}

TEST_F(SdkExamples, IndexTildePlaysABufferBoxThroughCountTildeAsItsHelpPatcherDoes) {
    tk::objects::register_all();
    for (int block : {1, 64, 4096}) {
        SCOPED_TRACE(block);
        tk::Patch p(1000, block);
        tk::Box *idx = p.create("index~ sdkbox");  // made before its buffer~, as in a patcher file
        tk::Box *buf = p.create("buffer~ sdkbox 5");  // 5 ms at 1 kHz: five frames
        tk::Box *count = p.create("count~ 0 5 1");
        ASSERT_TRUE(idx && buf && count);
        p.connect(count, 0, idx, 0);
        p.capture(idx, 0);
        p.send(buf, "fill", {0.25});
        p.send(count, "bang");
        p.run(4);
        EXPECT_EQ(p.output(idx, 0)[3], 0.25);
        p.send(buf, "sizeinsamps", {2});  // index~ is told; past the end it reads the last frame
        p.clear_outputs();
        p.run(5);
        EXPECT_EQ(p.output(idx, 0)[4], 0.25);
        p.send(buf, "clear");
        p.clear_outputs();
        p.run(5);
        EXPECT_EQ(p.output(idx, 0)[4], 0.0);
        p.free(buf);  // gone with its box: index~ reads silence, and nothing breaks
        p.run(5);
    }
}

#ifdef TILDEKIT_HOST_SNDFILE
TEST_F(SdkExamples, SimpwaveTildeScansASoundFileLoadedByABufferBox) {
    tk::objects::register_all();
    // a float WAV of a rising ramp, 1000 frames at 1 kHz, written here
    std::vector<float> ramp(1000);
    for (int i = 0; i < 1000; ++i) ramp[std::size_t(i)] = float(i) / 1000.0f;
    std::string path = ::testing::TempDir() + "sdk-ramp-" + std::to_string(::getpid()) + ".wav";
    {
        std::FILE *f = std::fopen(path.c_str(), "wb");
        ASSERT_TRUE(f);
        auto u32 = [&](std::uint32_t v) { std::fwrite(&v, 4, 1, f); };
        auto u16 = [&](std::uint16_t v) { std::fwrite(&v, 2, 1, f); };
        std::fwrite("RIFF", 1, 4, f);
        u32(36 + 4000);
        std::fwrite("WAVEfmt ", 1, 8, f);
        u32(16), u16(3), u16(1), u32(1000), u32(4000), u16(4), u16(32);
        std::fwrite("data", 1, 4, f);
        u32(4000);
        std::fwrite(ramp.data(), 4, ramp.size(), f);
        std::fclose(f);
    }
    tk::Patch p(48000, 64);
    tk::Box *buf = p.create("buffer~ sdkfile " + path);
    tk::Box *w = p.create("simpwave~ sdkfile");  // after the buffer~, as in its help patcher
    ASSERT_TRUE(buf && w);
    p.advance(0);  // the file is read: simpwave~ is told and takes the buffer's length
    // the whole file (no end given): phase 0.5 is half way
    auto out = p.process(w, {{0.0, 0.5, 0.25}}, 3);
    EXPECT_NEAR(out[0][0], 0.0, 1e-6);
    EXPECT_NEAR(out[0][1], 0.5, 1e-6);
    EXPECT_NEAR(out[0][2], 0.25, 1e-6);
    std::remove(path.c_str());
}
#endif

TEST_F(SdkExamples, SimpwaveTildeScansTheBufferBetweenItsLimits) {
    tk::Patch p(48000, 64);
    tk::Box *b = p.create("simpwave~ sdkwave 100 300");
    ASSERT_TRUE(b);
    // filled after the box exists, as a buffer~ loading its file: the box is told and takes the
    // buffer's own rate for its limits
    std::vector<float> ramp(1000);
    for (int i = 0; i < 1000; ++i) ramp[std::size_t(i)] = float(i);
    tk::buffer_set("sdkwave", 1, ramp, 1000);  // 1 frame a millisecond
    auto out = p.process(b, {{0.0, 0.5, 0.99}, constant(100, 3), constant(300, 3)}, 3);
    EXPECT_EQ(out[0][0], 100);
    EXPECT_EQ(out[0][1], 200);
    EXPECT_EQ(out[0][2], 298);
    // `set` is deferred: it takes effect once the scheduler runs
    tk::buffer_set("sdkwave2", 1, std::vector<float>(1000, -1.0f), 1000);
    p.send_text(b, 0, "set sdkwave2 0 500");
    out = p.process(b, {{0.5}, constant(100, 1), constant(300, 1)}, 1);
    EXPECT_EQ(out[0][0], 200);  // not yet
    p.advance(0);
    out = p.process(b, {{0.5}, constant(100, 1), constant(300, 1)}, 1);
    EXPECT_EQ(out[0][0], -1.0);
}

TEST_F(SdkExamples, DspstressTildeSpendsItsShareOfEachBlock) {
    tk::Patch p(44100, 512);
    tk::Box *b = p.create("dspstress~");
    ASSERT_TRUE(b);
    p.send_float(b, 0, 50);
    p.compile();
    const std::int64_t frames = 44100 / 4;  // 250 ms of audio
    auto t0 = std::chrono::steady_clock::now();
    p.run(frames);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, 0.5 * 250 * 0.95);  // it spins for half of each block's duration at least
}

TEST_F(SdkExamples, DummyKeepsAValueAndSendsSymbolsAsMessages) {
    tk::Patch p;
    tk::Box *b = p.create("dummy fred");
    ASSERT_TRUE(b);
    tk::ConsoleCapture cap;
    p.send(b, "identify");
    EXPECT_TRUE(cap.contains("my name is fred"));
    p.send(b, "xyzzy");
    EXPECT_TRUE(cap.contains("Plugh"));
    p.send_int(b, 0, 4);
    p.send(b, "hello");
    p.send(b, "bang");
    auto &ev = b->events();
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(ev[0].kind, tk::Event::Int);
    EXPECT_EQ(ev[1].kind, tk::Event::Message);
    EXPECT_EQ(ev[1].selector, "hello");
    EXPECT_EQ(ev[2].selector, "hello");
    p.send_text(b, 0, "name bob");
    p.send(b, "identify");
    EXPECT_TRUE(cap.contains("my name is bob"));
    tk::Box *anon = p.create("dummy");  // a unique name of its own
    ASSERT_TRUE(anon);
    EXPECT_FALSE(tk::atoms_text(*tk::attribute_value(anon, "name")).empty());
}

TEST_F(SdkExamples, UrnerDrawsEachNumberOnceThenBangs) {
    tk::Patch p;
    tk::Box *b = p.create("urner 6");
    ASSERT_TRUE(b);
    for (int round = 0; round < 2; ++round) {
        b->clear_events();
        for (int i = 0; i < 7; ++i) p.send(b, "bang");
        std::set<double> got;
        int bangs = 0;
        for (auto &e : b->events()) {
            if (e.kind == tk::Event::Int) got.insert(e.value);
            if (e.kind == tk::Event::Bang) ++bangs;
        }
        EXPECT_EQ(got, (std::set<double>{0, 1, 2, 3, 4, 5}));
        EXPECT_EQ(bangs, 1);
        p.send(b, "reset");
    }
}

}  // namespace
