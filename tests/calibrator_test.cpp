// calibrator: the smoother, timed calibration runs on the host's logical clock, the
// settings and their error lines, and non-finite readings.
#include "support.h"
#include "tildeobjects.h"

#include <fstream>
#include <iterator>

namespace {

// Outlets, left to right.
enum { kSmoothed = 0, kMin = 1, kMax = 2, kBang = 3 };

std::vector<tk::Event> take(tk::Box *b) {
    std::vector<tk::Event> v = b->events();
    b->clear_events();
    return v;
}

// Sends a float reading and returns the smoothed value it produced (fails if none or more).
double smooth_float(tk::Patch &p, tk::Box *b, double v) {
    p.send_float(b, 0, v);
    auto ev = take(b);
    EXPECT_EQ(ev.size(), 1u) << "reading " << v;
    if (ev.size() != 1) return NAN;
    EXPECT_EQ(ev[0].outlet, kSmoothed);
    EXPECT_EQ(ev[0].kind, tk::Event::Float);
    return ev[0].value;
}

// Sends a reading during a run and returns the (min, max) pair it produced.
std::pair<double, double> run_reading(tk::Patch &p, tk::Box *b, double v) {
    p.send_float(b, 0, v);
    auto ev = take(b);
    EXPECT_EQ(ev.size(), 2u) << "reading " << v;
    if (ev.size() != 2) return {NAN, NAN};
    EXPECT_EQ(ev[0].outlet, kMin);
    EXPECT_EQ(ev[1].outlet, kMax);
    EXPECT_EQ(ev[0].kind, tk::Event::Float);
    EXPECT_EQ(ev[1].kind, tk::Event::Float);
    return {ev[0].value, ev[1].value};
}

// Starts a run: bang, then the clock's first firing at the same instant.
void start_run(tk::Patch &p, tk::Box *b) {
    p.send(b, "bang");
    auto ev = take(b);
    ASSERT_EQ(ev.size(), 2u);
    for (int k = 0; k < 2; ++k) {
        EXPECT_EQ(ev[std::size_t(k)].outlet, kMin + k);
        EXPECT_EQ(ev[std::size_t(k)].kind, tk::Event::Int);
        EXPECT_EQ(ev[std::size_t(k)].value, 0.0);
    }
    p.advance(0.0);
    ev = take(b);
    ASSERT_EQ(ev.size(), 1u) << "start bang";
    EXPECT_EQ(ev[0].outlet, kBang);
    EXPECT_EQ(ev[0].kind, tk::Event::Bang);
}

// Length of a run in ms, measured from the start bang to the end bang.
double run_length(tk::Patch &p, tk::Box *b) {
    start_run(p, b);
    const double t0 = p.now_ms();
    p.advance(100000.0);
    auto ev = take(b);
    std::vector<double> bangs;
    for (auto &e : ev)
        if (e.outlet == kBang) bangs.push_back(e.time_ms);
    EXPECT_EQ(bangs.size(), 1u) << "one end bang";
    return bangs.empty() ? NAN : bangs[0] - t0;
}

TEST(CalibratorInterface, ClassMethodsBannerAndAssist) {
    const tk::ClassInfo &c = tk::load_class("calibrator");
    EXPECT_EQ(c.name, "Calibrator");
    EXPECT_EQ(c.entry, "main");
    EXPECT_EQ(c.creation_types, std::vector<int>{8});
    EXPECT_FALSE(c.dsp);
    EXPECT_TRUE(c.has_free);
    struct M {
        const char *sel;
        std::vector<int> types;
    } expected[] = {{"bang", {}},        {"int", {9}},       {"in1", {9}},       {"in2", {9}},
                    {"float", {9}},      {"ft1", {9}},       {"ft2", {9}},       {"interval", {2}},
                    {"interval", {1}},   {"smooth", {2}},    {"inletinfo", {9}}, {"inletinfo", {9}},
                    {"assist", {9}}};
    ASSERT_EQ(c.methods.size(), std::size(expected));
    for (std::size_t i = 0; i < c.methods.size(); ++i) {
        EXPECT_EQ(c.methods[i].selector, expected[i].sel) << "method " << i;
        EXPECT_EQ(c.methods[i].types, expected[i].types) << "method " << i << " " << expected[i].sel;
    }
    ASSERT_EQ(c.banner.size(), 4u);
    for (auto &line : c.banner) EXPECT_EQ(line.find("---"), std::string::npos) << "no rule: " << line;
    EXPECT_EQ(c.banner[2], "Default calibration time : 5000 ms");
    EXPECT_EQ(c.banner[3], "Default smooth value: 0.9");

    tk::Patch p;
    tk::Box *b = p.create("calibrator");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->inlets(), 3);
    EXPECT_EQ(b->outlets(), 4);
    EXPECT_EQ(b->signal_outlets(), 0);
    const char *in[] = {"Sensor Value and calibrator starter(bang)", "Minimum value(Default:<1023)",
                        "Maximum value(Default:>0)"};
    const char *out[] = {"Smoothed Sensor Value", "Minimum value", "Maximum value",
                         "Bang at the beginning and end of calibration.Default interval:5000 ms"};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(b->assist(1, i), std::optional<std::string>(in[i])) << "inlet " << i;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(b->assist(2, i), std::optional<std::string>(out[i])) << "outlet " << i;
    EXPECT_EQ(b->assist(0, 2), std::optional<std::string>(in[2]));  // anything but 2 is an inlet
    EXPECT_EQ(b->assist(1, 3), std::nullopt);
    EXPECT_EQ(b->assist(2, 4), std::nullopt);
    EXPECT_EQ(b->assist(2, -1), std::nullopt);
}

TEST(CalibratorInterface, LinksWithoutTheAudioLibrary) {
    const tk::ClassInfo &c = tk::load_class("calibrator");
    std::ifstream f(c.file, std::ios::binary);
    ASSERT_TRUE(f) << c.file;
    const std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    for (const char *name : {"MaxAudio", "z_dsp_setup", "sys_getsr", "sys_getblksize", "atom_getfloatarg",
                             "atom_getintarg", "dsp_add", "class_dspinit"})
        EXPECT_EQ(bytes.find(name), std::string::npos) << c.file << " refers to " << name;
}

// Default s = 0.9: a constant 100 gives y[n] = 100 (1 - 0.9^n), 90 after 22 readings.
TEST(CalibratorSmoothing, DefaultsApproachAConstant) {
    tk::Patch p;
    tk::ConsoleCapture console;
    tk::Box *b = p.create("calibrator");
    EXPECT_TRUE(console.texts(tk::ConsoleLine::Error).empty());
    for (int n = 1; n <= 40; ++n) {
        double y = smooth_float(p, b, 100.0);
        ASSERT_NEAR(y, 100.0 * (1.0 - std::pow(0.9, n)), 1e-9) << "reading " << n;
        if (n == 21) {
            EXPECT_LT(y, 90.0);
        }
        if (n == 22) {
            EXPECT_GT(y, 90.0);
        }
    }
    EXPECT_EQ(run_length(p, b), 5000.0);
}

TEST(CalibratorSmoothing, ArgumentsSetRunLengthAndFactor) {
    tk::Patch p;
    tk::ConsoleCapture console;
    tk::Box *b = p.create("calibrator 1000 0.5");
    EXPECT_TRUE(console.texts(tk::ConsoleLine::Error).empty());
    EXPECT_EQ(smooth_float(p, b, 10.0), 5.0);
    EXPECT_EQ(smooth_float(p, b, 10.0), 7.5);
    EXPECT_EQ(smooth_float(p, b, -2.0), 2.75);
    EXPECT_EQ(run_length(p, b), 1000.0);
}

// Integer readings leave as integers, the smoothed value truncated toward zero.
TEST(CalibratorSmoothing, IntReadingsTruncateTowardZero) {
    tk::Patch p;
    tk::Box *b = p.create("calibrator 1000 0.5");
    p.send_int(b, 0, 15);  // 7.5
    p.send_int(b, 0, 1);   // 0.5 + 3.75 = 4.25
    p.send_float(b, 0, 8.0);  // 4 + 2.125 = 6.125, as a float
    p.send_int(b, 0, 3);   // 1.5 + 3.0625 = 4.5625
    auto ev = take(b);
    ASSERT_EQ(ev.size(), 4u);
    const tk::Event::Kind kinds[] = {tk::Event::Int, tk::Event::Int, tk::Event::Float, tk::Event::Int};
    const double values[] = {7, 4, 6.125, 4};
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(ev[k].outlet, kSmoothed);
        EXPECT_EQ(ev[k].kind, kinds[k]) << "output " << k;
        EXPECT_EQ(ev[k].value, values[k]) << "output " << k;
    }
    tk::Box *neg = p.create("calibrator 1000 0.5");
    p.send_int(neg, 0, -5);  // -2.5 goes to -2, not -3
    p.send_int(neg, 0, -5);  // -2.5 - 1.25 = -3.75 goes to -3
    ev = take(neg);
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].kind, tk::Event::Int);
    EXPECT_EQ(ev[0].value, -2.0);
    EXPECT_EQ(ev[1].value, -3.0);
}

// A reading that is not a finite number is ignored while smoothing: nothing is sent and
// the next reading continues as if it had not come.
TEST(CalibratorSmoothing, NonFiniteReadingsLeaveTheSmootherAlone) {
    tk::Patch p;
    tk::Box *b = p.create("calibrator 1000 0.5");
    EXPECT_EQ(smooth_float(p, b, 100.0), 50.0);
    for (double bad : {double(NAN), double(INFINITY), -double(INFINITY)}) {
        p.send_float(b, 0, bad);
        EXPECT_TRUE(take(b).empty()) << "reading " << bad;
    }
    EXPECT_EQ(smooth_float(p, b, 100.0), 75.0);
    EXPECT_EQ(smooth_float(p, b, 100.0), 87.5);
}

TEST(CalibratorSettings, SmoothMessage) {
    struct Case {
        double s;
        bool refused;
        double first;  // smoothed value of a first reading of 100
    } cases[] = {
        {0.0, false, 100.0}, {0.5, false, 50.0},  {0.99, false, 1.0}, {1.0, true, 10.0},
        {-0.1, true, 10.0},  {NAN, true, 10.0},   {INFINITY, true, 10.0},
    };
    for (const Case &c : cases) {
        tk::Patch p;
        tk::Box *b = p.create("calibrator");
        tk::ConsoleCapture console;
        p.send(b, "smooth", {c.s});
        auto errors = console.texts(tk::ConsoleLine::Error);
        if (c.refused) {
            ASSERT_EQ(errors.size(), 1u) << "smooth " << c.s;
            EXPECT_EQ(errors[0], "Error!Default Smooth Value: 0.9");
        } else {
            EXPECT_TRUE(console.lines().empty()) << "smooth " << c.s;
        }
        // 0.99 reaches the 32-bit build as a float, 1e-8 above: its reading differs by ~1e-6
        EXPECT_NEAR(smooth_float(p, b, 100.0), c.first, 1e-5) << "smooth " << c.s;
    }
    // s = 0 passes readings straight through
    tk::Patch p;
    tk::Box *b = p.create("calibrator");
    p.send(b, "smooth", {0.0});
    for (double v : {3.5, -7.25, 1e6, 0.0}) EXPECT_EQ(smooth_float(p, b, v), v);
}

// `interval` is registered for floats and then for integers; the later registration takes
// the message, so a float interval is truncated to whole milliseconds.
TEST(CalibratorSettings, IntervalMessage) {
    struct Case {
        tk::Atom value;
        bool refused;
        double length;
    } cases[] = {
        {4.9, true, 5000.0}, {5, false, 5.0},   {4, true, 5000.0}, {-20, true, 5000.0},
        {250, false, 250.0}, {5.5, false, 5.0}, {0, true, 5000.0},
    };
    for (const Case &c : cases) {
        tk::Patch p;
        tk::Box *b = p.create("calibrator 1000");
        tk::ConsoleCapture console;
        p.send(b, "interval", {c.value});
        auto errors = console.texts(tk::ConsoleLine::Error);
        if (c.refused) {
            ASSERT_EQ(errors.size(), 1u) << "interval " << c.value.text();
            EXPECT_EQ(errors[0], "Error!Default Calibration Time: 5000 ms");
        } else {
            EXPECT_TRUE(console.lines().empty()) << "interval " << c.value.text();
        }
        EXPECT_EQ(run_length(p, b), c.length) << "interval " << c.value.text();
    }
}

TEST(CalibratorSettings, CreationArgumentChecks) {
    struct Case {
        tk::Atoms args;
        std::vector<std::string> errors;
        double length;
        double first;  // smoothed value of a first reading of 100
    } cases[] = {
        {{5, 0.99}, {}, 5.0, 1.0},
        {{4}, {"Error!Default calibration time: 5000 ms"}, 5000.0, 10.0},
        {{1000, 1.5}, {"Error!Default value: 0.9"}, 1000.0, 10.0},
        {{1000, -0.5}, {"Error!Default value: 0.9"}, 1000.0, 10.0},
        {{NAN, NAN}, {"Error!Default calibration time: 5000 ms", "Error!Default value: 0.9"}, 5000.0, 10.0},
        {{INFINITY, 0.0}, {"Error!Default calibration time: 5000 ms"}, 5000.0, 100.0},
        {{-1, 0}, {"Error!Default calibration time: 5000 ms"}, 5000.0, 100.0},
    };
    for (const Case &c : cases) {
        tk::Patch p;
        tk::ConsoleCapture console;
        tk::Box *b = p.create("calibrator", c.args);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(console.texts(tk::ConsoleLine::Error), c.errors) << b->text();
        EXPECT_NEAR(smooth_float(p, b, 100.0), c.first, 1e-5) << b->text();
        EXPECT_EQ(run_length(p, b), c.length) << b->text();
    }
}

// Readings 500, 200, 800 with the default start values 1023 and 0.
TEST(CalibratorRuns, ExtremesDuringARun) {
    tk::Patch p;
    tk::Box *b = p.create("calibrator");
    start_run(p, b);
    EXPECT_EQ(run_reading(p, b, 500), std::make_pair(500.0, 500.0));
    EXPECT_EQ(run_reading(p, b, 200), std::make_pair(200.0, 500.0));
    EXPECT_EQ(run_reading(p, b, 800), std::make_pair(200.0, 800.0));
    p.send_int(b, 0, 100);  // integer readings take part too, sent as floats
    auto ev = take(b);
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].kind, tk::Event::Float);
    EXPECT_EQ(ev[0].value, 100.0);
    EXPECT_EQ(ev[1].value, 800.0);
    // not finite: neither extreme moves, both are still reported
    for (double bad : {double(NAN), double(INFINITY), -double(INFINITY)})
        EXPECT_EQ(run_reading(p, b, bad), std::make_pair(100.0, 800.0)) << "reading " << bad;
}

TEST(CalibratorRuns, RunEndsAfterTheIntervalAndSmoothingResumes) {
    tk::Patch p;
    tk::Box *b = p.create("calibrator 1000 0.5");
    EXPECT_EQ(smooth_float(p, b, 100.0), 50.0);  // state 25, kept through the run
    const double t0 = p.now_ms();
    start_run(p, b);
    EXPECT_EQ(run_reading(p, b, 300), std::make_pair(300.0, 300.0));
    p.advance(999.0);
    EXPECT_TRUE(take(b).empty());
    p.advance(2.0);
    auto ev = take(b);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].outlet, kBang);
    EXPECT_EQ(ev[0].time_ms, t0 + 1000.0);
    p.advance(10000.0);
    EXPECT_TRUE(take(b).empty()) << "the clock stops after the end bang";
    EXPECT_EQ(smooth_float(p, b, 100.0), 75.0);
    // the next run starts from the start values again, not from the last run's extremes
    start_run(p, b);
    EXPECT_EQ(run_reading(p, b, 600), std::make_pair(600.0, 600.0));
}

// A second bang restarts the run: zeros and a start bang again, and one end bang only,
// a whole interval after the last bang.
TEST(CalibratorRuns, SecondBangRestarts) {
    tk::Patch p;
    tk::Box *b = p.create("calibrator");
    const double t0 = p.now_ms();
    start_run(p, b);
    EXPECT_EQ(run_reading(p, b, 400), std::make_pair(400.0, 400.0));
    p.advance(3000.0);
    start_run(p, b);
    EXPECT_EQ(run_reading(p, b, 700), std::make_pair(700.0, 700.0)) << "extremes start again";
    p.advance(20000.0);
    auto ev = take(b);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].outlet, kBang);
    EXPECT_EQ(ev[0].time_ms, t0 + 8000.0);
}

// A patch that restarts calibration from the end bang itself gets a full run: the object
// has finished the old run before that bang leaves. The patch, closed once the first run has
// started: bang outlet -> toggle -> metro -> calibrator. The end bang turns the toggle on and
// the metro's start sends a bang at once, straight back into the calibrator while its clock
// routine is still sending; the restarted run's start bang turns the metro off again.
TEST(CalibratorRuns, RestartFromTheEndBangGivesAFullRun) {
    tk::objects::register_all();  // the host's own toggle and metro
    tk::Patch p;
    tk::Box *b = p.create("calibrator 1000");
    tk::Box *toggle = p.create("toggle");
    tk::Box *metro = p.create("metro 100000");
    ASSERT_NE(toggle, nullptr);
    ASSERT_NE(metro, nullptr);
    const double t0 = p.now_ms();
    start_run(p, b);
    p.connect(b, kBang, toggle, 0);
    p.connect(toggle, 0, metro, 0);
    p.connect(metro, 0, b, 0);
    p.advance(1000.0);
    std::vector<double> bangs;
    for (auto &e : take(b))
        if (e.outlet == kBang) bangs.push_back(e.time_ms - t0);
    // the end bang, then the restarted run's start bang at the same instant
    ASSERT_EQ(bangs, (std::vector<double>{1000.0, 1000.0}));
    EXPECT_EQ(run_reading(p, b, 300), std::make_pair(300.0, 300.0)) << "the restarted run is running";
    p.advance(999.0);
    EXPECT_EQ(run_reading(p, b, 200), std::make_pair(200.0, 300.0));
    p.disconnect(metro, 0, b, 0);
    p.advance(2.0);
    bangs.clear();
    for (auto &e : take(b))
        if (e.outlet == kBang) bangs.push_back(e.time_ms - t0);
    EXPECT_EQ(bangs, std::vector<double>{2000.0}) << "a whole interval after the restart";
    EXPECT_DOUBLE_EQ(smooth_float(p, b, 100.0), 10.0) << "smoothing again after the second run";
}

// The start values can change at any time and take effect on the running values at once.
TEST(CalibratorRuns, StartValuesFromTheInlets) {
    tk::Patch p;
    tk::Box *b = p.create("calibrator");
    start_run(p, b);
    EXPECT_EQ(run_reading(p, b, 500), std::make_pair(500.0, 500.0));
    p.send_float(b, 2, 900.0);
    EXPECT_EQ(run_reading(p, b, 600), std::make_pair(500.0, 900.0));
    p.send_int(b, 1, 100);  // an int at a float inlet arrives as a float
    EXPECT_EQ(run_reading(p, b, 600), std::make_pair(100.0, 900.0));
    p.advance(6000.0);
    take(b);
    start_run(p, b);
    EXPECT_EQ(run_reading(p, b, 600), std::make_pair(100.0, 900.0));
    p.send(b, "in1", {650});
    p.send(b, "in2", {620});
    EXPECT_EQ(run_reading(p, b, 630), std::make_pair(630.0, 630.0));
    EXPECT_EQ(run_reading(p, b, 640), std::make_pair(630.0, 640.0));
}

TEST(CalibratorRuns, FreeDuringARunReleasesTheClock) {
    const auto before = tk::memory_stats();
    {
        tk::Patch p;
        tk::Box *b = p.create("calibrator 100");
        start_run(p, b);
        p.free(b);
        p.advance(1000.0);
    }
    const auto after = tk::memory_stats();
    EXPECT_EQ(after.live_blocks, before.live_blocks);
    EXPECT_EQ(after.live_bytes, before.live_bytes);
}

}  // namespace
