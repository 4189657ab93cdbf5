// cutroute: the routing rule (below goes left; equal and NaN go right), the re-send on a
// new threshold, integer input sent as floats, and its interface.
#include "support.h"

#include <fstream>
#include <iterator>

namespace {

struct Sent {
    int outlet;
    double value;
};

// The floats the box sent since the last call, in order; every output must be a float.
std::vector<Sent> take(tk::Box *b) {
    std::vector<Sent> v;
    for (const tk::Event &e : b->events()) {
        EXPECT_EQ(e.kind, tk::Event::Float) << "outlet " << e.outlet;
        v.push_back({e.outlet, e.value});
    }
    b->clear_events();
    return v;
}

void expect_one(tk::Box *b, int outlet, double value, const std::string &what) {
    auto v = take(b);
    ASSERT_EQ(v.size(), 1u) << what;
    EXPECT_EQ(v[0].outlet, outlet) << what;
    if (std::isnan(value))
        EXPECT_TRUE(std::isnan(v[0].value)) << what;
    else
        EXPECT_EQ(v[0].value, value) << what;
}

TEST(CutrouteInterface, ClassBoxAndAssist) {
    const tk::ClassInfo &c = tk::load_class("cutroute");
    EXPECT_EQ(c.name, "cutroute");
    EXPECT_EQ(c.entry, "main");
    EXPECT_EQ(c.creation_types, std::vector<int>{8});
    EXPECT_FALSE(c.dsp);
    EXPECT_FALSE(c.has_free);
    const char *sel[] = {"float", "int", "ft1", "int1", "assist"};
    ASSERT_EQ(c.methods.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(c.methods[i].selector, sel[i]);
        EXPECT_EQ(c.methods[i].types, std::vector<int>{9}) << sel[i];
    }
    ASSERT_EQ(c.banner.size(), 3u);
    EXPECT_EQ(c.banner[0], std::string(74, '-'));

    tk::Patch p;
    tk::Box *b = p.create("cutroute");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->inlets(), 2);
    EXPECT_EQ(b->outlets(), 2);
    EXPECT_EQ(b->control_outlets(), 2);
    const std::string in0 =
        "If the float the left inlet is less than the control value, it passes at the left inlet. If it is greater "
        "than or equal to the control value it passes at the right inlet.";
    const std::string in1 = "A float to the right inlet sets the control value";
    const std::string out0 =
        "Incoming values (to the left inlet) will pass at the left outlet if they are less than the control value.";
    const std::string out1 =
        "Incoming values (to the left inlet) will pass at the right outlet if they are greater than or equal to the "
        "control value.";
    EXPECT_EQ(b->assist(1, 0), std::optional<std::string>(in0));
    EXPECT_EQ(b->assist(1, 1), std::optional<std::string>(in1));
    EXPECT_EQ(b->assist(2, 0), std::optional<std::string>(out0));
    EXPECT_EQ(b->assist(2, 1), std::optional<std::string>(out1));
    EXPECT_EQ(b->assist(3, 1), std::optional<std::string>(in1));  // anything but 2 is an inlet
    EXPECT_EQ(b->assist(1, 2), std::nullopt);
    EXPECT_EQ(b->assist(2, 2), std::nullopt);
    EXPECT_EQ(b->assist(2, -1), std::nullopt);
}

// A control object: the module must not need the audio library at all.
TEST(CutrouteInterface, LinksWithoutTheAudioLibrary) {
    const tk::ClassInfo &c = tk::load_class("cutroute");
    std::ifstream f(c.file, std::ios::binary);
    ASSERT_TRUE(f) << c.file;
    const std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    for (const char *name : {"MaxAudio", "z_dsp_setup", "sys_getsr", "sys_getblksize", "atom_getfloatarg",
                             "atom_getintarg", "dsp_add", "class_dspinit"})
        EXPECT_EQ(bytes.find(name), std::string::npos) << c.file << " refers to " << name;
}

TEST(CutrouteRouting, ThresholdFromArgument) {
    tk::Patch p;
    tk::Box *b = p.create("cutroute 10");
    p.send_float(b, 0, 3.0);
    expect_one(b, 0, 3.0, "3 below 10");
    p.send_float(b, 0, 10.0);
    expect_one(b, 1, 10.0, "10 equal to 10");
    p.send_float(b, 0, 12.0);
    expect_one(b, 1, 12.0, "12 above 10");
    p.send_float(b, 0, 9.9990234375);
    expect_one(b, 0, 9.9990234375, "just below");
    p.send_float(b, 0, -INFINITY);
    expect_one(b, 0, -INFINITY, "-inf");
    p.send_float(b, 0, NAN);
    expect_one(b, 1, NAN, "NaN goes right");
    p.send_int(b, 0, 9);
    expect_one(b, 0, 9.0, "int 9, sent as a float");
    p.send_int(b, 0, 10);
    expect_one(b, 1, 10.0, "int 10, sent as a float");
}

TEST(CutrouteRouting, NewThresholdResendsTheLastInput) {
    tk::Patch p;
    tk::Box *b = p.create("cutroute");
    p.send_float(b, 1, 5.0);
    expect_one(b, 0, 0.0, "no input yet: 0 < 5");
    p.send_float(b, 0, 7.0);
    expect_one(b, 1, 7.0, "7 at threshold 5");
    p.send_float(b, 1, 8.0);
    expect_one(b, 0, 7.0, "7 re-sent at threshold 8");
    p.send_float(b, 1, 7.0);
    expect_one(b, 1, 7.0, "7 re-sent at threshold 7: equal goes right");
    p.send_int(b, 1, 100);  // an int at the right inlet is a threshold too
    expect_one(b, 0, 7.0, "7 re-sent at threshold 100");
    p.send(b, 0, "int1", {3});  // the integer form of the threshold
    expect_one(b, 1, 7.0, "7 re-sent at threshold 3");
    p.send_float(b, 1, NAN);  // nothing is below a NaN threshold
    expect_one(b, 1, 7.0, "7 at a NaN threshold");
    p.send_float(b, 0, -1024.5);
    expect_one(b, 1, -1024.5, "-1024.5 at a NaN threshold");
    p.send_float(b, 1, 0.0);  // a finite threshold routes normally again
    expect_one(b, 0, -1024.5, "-1024.5 re-sent at threshold 0");
}

TEST(CutrouteRouting, NegativeAndFractionalThreshold) {
    tk::Patch p;
    tk::Box *b = p.create("cutroute", {-2.5});
    p.send_int(b, 0, -3);
    expect_one(b, 0, -3.0, "-3 below -2.5");
    p.send_int(b, 0, -2);
    expect_one(b, 1, -2.0, "-2 above -2.5");
    p.send_float(b, 0, -2.5);
    expect_one(b, 1, -2.5, "equal");
}

}  // namespace
