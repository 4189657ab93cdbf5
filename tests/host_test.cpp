// The host itself, through a fixture external that reports what it receives.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "support.h"

namespace {

const bool fixtures_registered = (tk::add_search_path(TILDEKIT_FIXTURE_DIR), true);

std::string last_post(const tk::ConsoleCapture &c) {
    auto t = c.texts(tk::ConsoleLine::Post);
    return t.empty() ? "" : t.back();
}

TEST(HostLoading, NotFoundNamesTheFileAndEveryDirectorySearched) {
    try {
        tk::load_class("nosuchthing~");
        FAIL() << "loading a missing external must fail";
    } catch (const tk::Error &e) {
        std::string m = e.what();
        EXPECT_NE(m.find(std::string("nosuchthing~") + tk::module_extension()), std::string::npos) << m;
        EXPECT_NE(m.find(TILDEKIT_MODULE_DIR), std::string::npos) << m;
        EXPECT_NE(m.find(TILDEKIT_FIXTURE_DIR), std::string::npos) << m;
    }
}

TEST(HostLoading, WrongWidthBadFilesMissingEntryAndMisnamedClassAreClearErrors) {
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("tildekit-host-test-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const char *other = tk::host_width_bits() == 64 ? ".mxe" : ".mxe64";
    std::ofstream(dir / (std::string("ghost~") + other)) << "x";
    std::ofstream(dir / (std::string("junk~") + tk::module_extension())) << "not a library";
    tk::add_search_path(dir.string());
    auto message = [](const std::string &name) {
        try {
            tk::load_class(name);
        } catch (const tk::Error &e) {
            return std::string(e.what());
        }
        return std::string("loaded");
    };
    EXPECT_NE(message("ghost~").find("-bit host"), std::string::npos) << message("ghost~");
    EXPECT_NE(message("junk~").find("not a shared library"), std::string::npos) << message("junk~");
    EXPECT_NE(message("noentry").find("no entry routine"), std::string::npos) << message("noentry");
    std::string misnamed = message("misnamed~");
    EXPECT_NE(misnamed.find("registered no class named 'misnamed~'"), std::string::npos) << misnamed;
    EXPECT_NE(misnamed.find("other~"), std::string::npos) << misnamed;
    fs::remove_all(dir);
}

TEST(HostLoading, ClassInfoKeepsRegistrationOrderBannerAndEntry) {
    const tk::ClassInfo &c = tk::load_class("hostprobe~");
    EXPECT_EQ(c.entry, "ext_main");
    EXPECT_EQ(c.width_bits, tk::host_width_bits());
    EXPECT_TRUE(c.dsp);
    EXPECT_EQ(c.creation_types, std::vector<int>{8});  // A_GIMME
    ASSERT_GE(c.methods.size(), 9u);
    EXPECT_EQ(c.methods[0].selector, "dsp64");
    EXPECT_EQ(c.methods[4].selector, "two");
    EXPECT_EQ(c.methods[4].types, (std::vector<int>{6, 6}));  // A_DEFFLOAT A_DEFFLOAT
    EXPECT_EQ(c.methods[6].selector, "twice");
    EXPECT_EQ(c.methods[7].selector, "twice");
    EXPECT_EQ(c.banner, std::vector<std::string>{"hostprobe~ loaded"});
    EXPECT_EQ(&c, &tk::load_class("hostprobe~")) << "the entry routine runs once per process";
}

TEST(HostDispatch, ConversionsDefaultsAndErrors) {
    tk::Patch p;
    tk::Box *b = p.create("hostprobe~");
    ASSERT_NE(b, nullptr);
    tk::ConsoleCapture c;
    p.send_int(b, 0, 3);  // no `int` method: goes to `float`
    EXPECT_EQ(last_post(c), "float 3 at inlet 0");
    p.send_float(b, 1, 0.25);
    EXPECT_EQ(last_post(c), "float 0.25 at inlet 1") << "proxy inlet index";
    p.send(b, "two", {});
    EXPECT_EQ(last_post(c), "two 0 0") << "missing numbers read as 0";
    p.send(b, "two", {1, 2.5, 7});
    EXPECT_EQ(last_post(c), "two 1 2.5") << "extra arguments are ignored";
    p.send(b, "lng", {1e12});
    EXPECT_EQ(last_post(c), "lng 2147483647") << "float to integer saturates";
    p.send(b, "lng", {std::nan("")});
    EXPECT_EQ(last_post(c), "lng 0") << "NaN to integer is 0";
    p.send(b, "lng", {std::int64_t(-5000000000LL)});
    EXPECT_EQ(last_post(c), "lng -2147483648") << "integers saturate to 32 bits";
    p.send(b, "twice");
    EXPECT_EQ(last_post(c), "second registration");
    p.send(b, "gim", {1, 2.0, "x"});
    EXPECT_EQ(last_post(c), "gim 3 ifs");

    std::size_t before = c.lines().size();
    p.send(b, "two", {"hello"});
    p.send(b, "nosuch", {1});
    p.send(b, "dsp64");
    ASSERT_EQ(c.lines().size(), before + 3);
    for (std::size_t i = before; i < c.lines().size(); ++i) {
        EXPECT_EQ(c.lines()[i].kind, tk::ConsoleLine::Error);
        EXPECT_EQ(c.lines()[i].object, "hostprobe~");
    }
    EXPECT_NE(c.lines()[before].text.find("two"), std::string::npos);
    EXPECT_NE(c.lines()[before + 1].text.find("nosuch"), std::string::npos);
    EXPECT_THROW(p.send_float(b, 7, 1.0), tk::Error) << "an inlet that does not exist";
}

TEST(HostDispatch, CreationRefusalAndTextParsing) {
    tk::Patch p;
    tk::ConsoleCapture c;
    EXPECT_EQ(p.create("hostprobe~ 2 0 0 fail"), nullptr);
    ASSERT_FALSE(c.texts(tk::ConsoleLine::Error).empty());
    EXPECT_NE(c.texts(tk::ConsoleLine::Error).back().find("hostprobe~ 2 0 0 fail"), std::string::npos);
    auto atoms = tk::parse_atoms("set 1 -2 0.5 1e3 foo -");
    ASSERT_EQ(atoms.size(), 7u);
    EXPECT_TRUE(atoms[0].is_symbol());
    EXPECT_TRUE(atoms[1].is_int() && atoms[2].is_int());
    EXPECT_TRUE(atoms[3].is_float() && atoms[4].is_float());
    EXPECT_TRUE(atoms[5].is_symbol() && atoms[6].is_symbol());
}

TEST(HostOutlets, NewOutletsGoToTheLeftAndSendAtOnce) {
    tk::Patch p;
    tk::Box *b = p.create("hostprobe~");
    ASSERT_EQ(b->outlets(), 3);
    EXPECT_FALSE(b->outlet_is_signal(0));  // bang, created last
    EXPECT_FALSE(b->outlet_is_signal(1));  // float
    EXPECT_TRUE(b->outlet_is_signal(2));   // signal, created first
    EXPECT_EQ(b->signal_outlets(), 1);
    EXPECT_EQ(b->control_outlets(), 2);
    p.send(b, "tick", {0.0});
    p.advance(0);
    ASSERT_EQ(b->events().size(), 2u);
    EXPECT_EQ(b->events()[0].outlet, 1);
    EXPECT_EQ(b->events()[0].kind, tk::Event::Float);
    EXPECT_EQ(b->events()[1].outlet, 0);
    EXPECT_EQ(b->events()[1].kind, tk::Event::Bang);
}

TEST(HostClocks, ClockSetInPerformFiresAfterTheBlock) {
    tk::Patch p(48000, 64);
    tk::Box *b = p.create("hostprobe~");
    p.send(b, "tickperform", {1});
    p.run_blocks(3);
    std::vector<tk::Event> floats;
    for (auto &e : b->events())
        if (e.kind == tk::Event::Float) floats.push_back(e);
    ASSERT_EQ(floats.size(), 3u);
    for (int k = 0; k < 3; ++k) {
        // the clock routine reports how many blocks had run: its own block, never less
        EXPECT_EQ(floats[std::size_t(k)].value, k + 1);
        EXPECT_EQ(floats[std::size_t(k)].sample, 64 * (k + 1));
        EXPECT_DOUBLE_EQ(floats[std::size_t(k)].time_ms, 64.0 * (k + 1) * 1000.0 / 48000.0) << "fired at the block's end";
    }
}

TEST(HostClocks, DelaysUnsetAndHostileValuesWithoutDsp) {
    tk::Patch p;
    tk::Box *b = p.create("hostprobe~");
    p.send(b, "tick", {10.0});
    p.advance(9.5);
    EXPECT_TRUE(b->events().empty());
    p.advance(0.5);
    EXPECT_EQ(b->events().size(), 2u);
    b->clear_events();
    p.send(b, "tick", {5.0});
    p.send(b, "untick");
    p.advance(10);
    EXPECT_TRUE(b->events().empty()) << "clock_unset cancels";
    p.send(b, "tick", {-3.0});
    p.advance(0);
    EXPECT_EQ(b->events().size(), 2u) << "a negative delay counts as 0";
    b->clear_events();
    p.send(b, "tick", {std::nan("")});
    p.advance(0);
    EXPECT_EQ(b->events().size(), 2u) << "a NaN delay counts as 0";
}

TEST(HostClocks, ClocksReArmedWhileFiringKeepTheirPlace) {
    // a periodic clock re-armed by its own routine every 10 ms, and a single one at 25 ms
    tk::Patch p;
    tk::Box *periodic = p.create("hostprobe~");
    tk::Box *single = p.create("hostprobe~");
    double t0 = p.now_ms();
    p.send(periodic, "every", {10.0});
    p.send(single, "tick", {25.0});
    p.advance(45);
    std::vector<double> times;
    for (auto &e : periodic->events())
        if (e.kind == tk::Event::Bang) times.push_back(e.time_ms - t0);
    EXPECT_EQ(times, (std::vector<double>{10, 20, 30, 40}));
    ASSERT_EQ(single->events().size(), 2u);
    EXPECT_EQ(single->events()[0].time_ms - t0, 25.0);
}

TEST(HostDsp, FlagsRateVectorSizeAndAliasing) {
    for (int noinplace : {0, 1}) {
        tk::Patch p(48000, 32);
        tk::Box *b = p.create("hostprobe~ 2 " + std::to_string(noinplace));
        EXPECT_EQ(b->no_inplace(), noinplace == 1);
        p.feed(b, 0, tkt::constant(64, 1.0));
        p.capture(b, 2);
        p.run(64);
        tk::ConsoleCapture c;
        p.send(b, "report");
        EXPECT_EQ(last_post(c), "flags 101 sr 48000 vs 32 aliased " + std::to_string(1 - noinplace) + " blocks 2");
        p.set_samplerate(96000);
        p.set_blocksize(1);
        p.run(1);
        p.send(b, "report");
        EXPECT_EQ(last_post(c), "flags 101 sr 96000 vs 1 aliased " + std::to_string(1 - noinplace) + " blocks 3");
    }
}

TEST(HostDsp, AnUnconnectedInletStaysSilentWhateverTheOutputWrites) {
    // the output is the sum of the inputs: were inlet 0 to share the output's buffer, each
    // block would add the last one's output to it
    tk::Patch p(48000, 16);
    tk::Box *b = p.create("hostprobe~ 2");
    p.feed(b, 1, tkt::constant(64, 1.0));
    p.capture(b, 2);
    p.run(64);
    for (double v : p.output(b, 2)) ASSERT_EQ(v, 1.0);
    tk::ConsoleCapture c;
    p.send(b, "report");
    EXPECT_NE(last_post(c).find("aliased 0"), std::string::npos) << last_post(c);
}

TEST(HostClocks, ClocksDueAtDifferentTimesFireInOrderWhileDspRuns) {
    // a far clock set first, a near one later, one unset and re-armed: each fires at the end of
    // the block in which it falls due, never earlier, never skipped
    tk::Patch p(48000, 48);  // 1 ms blocks
    tk::Box *far = p.create("hostprobe~");
    tk::Box *near = p.create("hostprobe~");
    const double t0 = p.now_ms();  // logical time carries on from earlier patches
    p.send(far, "tick", {10.0});
    p.run_blocks(2);
    p.send(near, "tick", {2.5});
    p.send(far, "untick");
    p.send(far, "tick", {6.0});
    p.run_blocks(20);
    auto bang_time = [](tk::Box *b) {
        for (auto &e : b->events())
            if (e.kind == tk::Event::Bang) return e.time_ms;
        return -1.0;
    };
    EXPECT_DOUBLE_EQ(bang_time(near) - t0, 5.0);  // due at 4.5 ms, the block ending at 5 ms
    EXPECT_DOUBLE_EQ(bang_time(far) - t0, 8.0);
    EXPECT_EQ(near->events().size(), 2u);
    EXPECT_EQ(far->events().size(), 2u);
}

TEST(HostDsp, AnOutletReadByOneInletIsHandedOverOnlyWhenNobodyElseReadsIt) {
    // hostprobe~ 2 writes the sum of its inlets into its outlet, in place over inlet 0: an
    // outlet handed to it without a copy must not be read by anyone else afterwards
    tk::Patch p(48000, 16);
    tk::Box *a = p.create("hostprobe~ 1");
    tk::Box *b = p.create("hostprobe~ 2");  // created before c, so it runs before c
    tk::Box *c = p.create("hostprobe~ 1");
    tk::Box *d = p.create("hostprobe~ 2");
    p.feed(a, 0, tkt::constant(32, 1.0));
    p.feed(b, 1, tkt::constant(32, 1.0));
    p.feed(d, 1, tkt::constant(32, 1.0));
    p.connect(a, 2, b, 0);  // a is read twice (b and c) and captured: always copied
    p.connect(a, 2, c, 0);
    p.connect(b, 2, d, 0);  // b is read by d alone: handed over
    for (tk::Box *x : {a, b, c, d}) p.capture(x, 2);
    p.run(32);
    for (double v : p.output(a, 2)) ASSERT_EQ(v, 1.0);
    for (double v : p.output(c, 2)) ASSERT_EQ(v, 1.0) << "c read b's output";
    for (double v : p.output(d, 2)) ASSERT_EQ(v, 3.0);
    // b is captured too, so d's in-place output must not have overwritten it
    for (double v : p.output(b, 2)) ASSERT_EQ(v, 2.0);
    // without the capture of b, d writes over b's outlet: d still sees the right input
    tk::Patch q(48000, 16);
    tk::Box *e = q.create("hostprobe~ 2");
    tk::Box *f = q.create("hostprobe~ 2");
    q.feed(e, 0, tkt::constant(48, 1.0));
    q.feed(e, 1, tkt::constant(48, 1.0));
    q.feed(f, 1, tkt::constant(48, 1.0));
    q.connect(e, 2, f, 0);
    q.capture(f, 2);
    q.run(48);
    for (double v : q.output(f, 2)) ASSERT_EQ(v, 3.0);
}

TEST(HostDsp, FanInFanOutOrderAndLoops) {
    tk::Patch p(44100, 16);
    tk::Box *b = p.create("hostprobe~ 2");  // created first, runs second
    tk::Box *a = p.create("hostprobe~ 1");
    p.connect(a, 2, b, 0);
    p.connect(a, 2, b, 1);  // fan-out of one outlet to both inlets
    p.feed(a, 0, tkt::constant(32, 1.0));
    p.feed(b, 1, tkt::constant(32, 0.5));  // fan-in with the connection at inlet 1
    p.capture(b, 2);
    p.run(32);
    const auto &out = p.output(b, 2);
    ASSERT_EQ(out.size(), 32u);
    for (std::size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], 2.5) << "sample " << i;
    p.connect(b, 2, a, 0);
    EXPECT_THROW(p.run(16), tk::Error) << "a feedback loop is refused";
}

TEST(HostDsp, LegacyPathRunsOnFloatBuffers) {
    tk::Patch p(44100, 8);
    p.set_legacy(true);
    tk::Box *b = p.create("hostprobe~ 1");
    auto out = p.process(b, {tkt::constant(20, 0.3)}, 20)[0];
    for (double v : out) ASSERT_EQ(v, double(0.3f * 0.5f));
}

TEST(HostDsp, BoxFreedWhileRunningLeavesTheChain) {
    tk::Patch p(44100, 64);
    tk::Box *a = p.create("hostprobe~ 1");
    tk::Box *b = p.create("hostprobe~ 1");
    p.connect(a, 2, b, 0);
    p.feed(a, 0, tkt::constant(1000, 1.0));
    p.capture(b, 2);
    p.run(128);
    p.free(a);
    p.run(128);
    const auto &out = p.output(b, 2);
    ASSERT_EQ(out.size(), 256u);
    EXPECT_EQ(out[127], 1.0);
    EXPECT_EQ(out[128], 0.0) << "the freed box's signal is gone";
}

TEST(HostDsp, AssistBufferUntouchedMeansNoText) {
    tk::Patch p;
    tk::Box *b = p.create("hostprobe~");
    EXPECT_EQ(b->assist(1, 0), std::optional<std::string>("(signal) probe input"));
    EXPECT_EQ(b->assist(1, 1), std::nullopt);
    EXPECT_EQ(b->assist(2, 0), std::optional<std::string>(""));
}

TEST(HostMemory, AccountingAndFaultInjection) {
    tk::Patch p;
    auto base = tk::memory_stats();
    tk::Box *b = p.create("hostprobe~ 2 0 4096");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(tk::memory_stats().live_bytes - base.live_bytes >= 4096, true);
    p.free(b);
    EXPECT_EQ(tk::memory_stats().live_blocks, base.live_blocks);
    EXPECT_EQ(tk::memory_stats().live_bytes, base.live_bytes);

    tk::ConsoleCapture c;
    tk::fail_nth_allocation(1);
    EXPECT_EQ(p.create("hostprobe~ 2 0 4096"), nullptr);
    EXPECT_TRUE(c.contains("hostprobe~: out of memory"));
    tk::fail_allocations_above(1000);
    EXPECT_EQ(p.create("hostprobe~ 2 0 4096"), nullptr);
    EXPECT_NE(p.create("hostprobe~ 2 0 100"), nullptr);
    tk::clear_allocation_faults();
    EXPECT_NE(p.create("hostprobe~ 2 0 4096"), nullptr);
    while (!p.boxes().empty()) p.free(p.boxes().back());
    EXPECT_EQ(tk::memory_stats().live_blocks, base.live_blocks) << "refused creations must not leak";
}

TEST(HostMemory, NoAllocationInPerform) {
    tk::Patch p;
    tk::Box *b = p.create("hostprobe~");
    p.feed(b, 0, tkt::noise(1024));
    p.capture(b, 2);
    auto before = tk::allocations_in_perform();
    p.run(1024);
    EXPECT_EQ(tk::allocations_in_perform(), before);
}

}  // namespace

namespace {

TEST(HostDsp, SeparateBuffersModeCatchesWritesIntoInputs) {
    tk::Patch p(44100, 16);
    p.set_separate_buffers(true);
    tk::Box *good = p.create("hostprobe~ 1");
    tk::Box *bad = p.create("broken~");
    p.feed(good, 0, tkt::constant(64, 1.0));
    p.feed(bad, 0, tkt::constant(64, 1.0));
    p.capture(good, 2);
    p.capture(bad, 0);
    tk::ConsoleCapture c;
    p.run(32);
    EXPECT_EQ(p.input_writes(), 2) << "one write per block, from broken~ only";
    ASSERT_EQ(c.texts(tk::ConsoleLine::Error).size(), 2u);
    EXPECT_EQ(c.lines()[0].object, "broken~");
    EXPECT_EQ(p.output(good, 2)[31], 1.0);
}

}  // namespace
