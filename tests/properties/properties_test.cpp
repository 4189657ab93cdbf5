// The validator's property checks can fail: each faulty fixture external fails the property it
// violates, with a reproduction command that fails again alone; our own externals pass theirs;
// profile files next to an external are read, and bad ones refused with a line naming the file.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

struct Result {
    int status;
    std::string out;
};

Result run(const std::string &args, const std::string &dir = TILDEKIT_PROPERTY_FIXTURE_DIR) {
    std::string cmd = std::string(TILDEKIT_EMULATOR) + " " + TILDEKIT_BINARY_DIR "/tools/tilde-validate --path " + dir + " " + args + " 2>&1";
    Result r{-1, ""};
    FILE *f = ::popen(cmd.c_str(), "r");
    if (!f) return r;
    char buf[4096];
    while (std::fgets(buf, sizeof buf, f)) r.out += buf;
    int st = ::pclose(f);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

// Runs one property on a fixture, expects the failure (with `detail` in it), then runs the
// printed reproduction command and expects the same failure again.
void expect_caught(const std::string &fixture, const std::string &kind, const std::string &detail) {
    SCOPED_TRACE(fixture + " / " + kind);
    Result r = run(fixture + " --only " + kind + " --seed 7");
    ASSERT_EQ(r.status, 1) << r.out;
    const std::string head = "FAIL " + fixture + " / " + kind + ": " + kind + ": ";
    auto at = r.out.find(head);
    ASSERT_NE(at, std::string::npos) << r.out;
    std::string line = r.out.substr(at, r.out.find('\n', at) - at);
    EXPECT_NE(line.find(detail), std::string::npos) << line;
    EXPECT_NE(line.find(" Hz, vector size "), std::string::npos) << line;  // where it failed
    const std::string marker = "reproduce: tilde-validate --path " TILDEKIT_PROPERTY_FIXTURE_DIR " ";
    auto rep = r.out.find(marker, at);
    ASSERT_NE(rep, std::string::npos) << r.out;
    std::string args = r.out.substr(rep + marker.size(), r.out.find('\n', rep) - rep - marker.size());
    EXPECT_NE(args.find("--only " + kind + " --case "), std::string::npos) << args;
    Result again = run(args);
    EXPECT_EQ(again.status, 1) << again.out;
    EXPECT_NE(again.out.find("validate: 0 passed, 1 failed"), std::string::npos) << again.out;
    EXPECT_NE(again.out.find(line.substr(0, line.find(", settings"))), std::string::npos) << again.out;
}

TEST(Properties, LimiterWhoseTargetsResetEveryBlockIsCaught) {
    expect_caught("blocklimit~", "limit", "outside");
}

TEST(Properties, GainCoefficientAboveOneAtLowRatesIsCaught) {
    expect_caught("fastcomp~", "gainrange", "the gain at outlet 1 is");
}

TEST(Properties, CompressorMutedForMinutesByOneHugeSampleIsCaught) {
    expect_caught("slowmute~", "unity", "should settle to 1");
}

TEST(Properties, StaticCurveThatFallsAtTheKneeIsCaught) {
    expect_caught("kneecomp~", "monotonic", "the output falls");
}

TEST(Properties, FilterCoefficientAboveOneAtLowRatesIsCaught) {
    expect_caught("lowratefilt~", "stable", "the impulse response");
}

TEST(Properties, DivisionByZeroAtOneParameterValueIsCaught) {
    expect_caught("divzero~", "stable", "q=-2");
}

TEST(Properties, PoleOnTheUnitCircleStoringEnergyIsCaught) {
    expect_caught("holdstore~", "noburst", "stored energy released");
}

TEST(Properties, FilterThatNeverDecaysToSilenceIsCaught) {
    expect_caught("stickyfilt~", "decay", "after the input stopped");
}

TEST(Properties, PannerWhoseLawIsOffAtOneEndIsCaught) {
    expect_caught("tiltpan~", "panlaw", "the energy law's 1");
}

TEST(Properties, DelayThatWrapsItsRingIsCaught) {
    expect_caught("wrapdelay~", "delay", "the stated delay");
}

TEST(Properties, ModelThatGrowsWithoutBoundAtOneSettingIsCaught) {
    expect_caught("runaway~", "bounded", "(bounded by 10)");
}

TEST(Properties, GeneratorThatSoundsBeforeItIsExcitedIsCaught) {
    expect_caught("stuckglide~", "silent", "not excited since creation");
}

TEST(Properties, RouterThatSendsTheThresholdLeftIsCaught) {
    expect_caught("leftequal", "routing", "it belongs at outlet 1");
}

TEST(Properties, MeterThatReportsTwicePerPeriodIsCaught) {
    expect_caught("doubletick~", "timing", "due at");
}

TEST(Properties, SmootherThatLeavesTheRangeOfItsInputIsCaught) {
    expect_caught("overshoot", "inrange", "while the numbers received");
}

// The same checks pass on sound externals: ours, with their built-in properties.
TEST(Properties, SoundExternalsPassTheirProperties) {
    for (auto [name, kind] : {std::pair{"peakguard~", "limit"}, {"highcut~", "stable"}, {"modalfilt~", "noburst"}, {"stereoplace~", "panlaw"},
                              {"headdelay~", "delay"}, {"cutroute", "routing"}, {"levelmeter~", "timing"}, {"calibrator", "inrange"}}) {
        Result r = run(std::string(name) + " --only " + kind + " --seed 7 --json -", TILDEKIT_MODULE_DIR);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find("validate: 1 passed, 0 failed"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("\"cases\":"), std::string::npos) << r.out;  // how many cases ran
    }
}

// A profile next to an external of any folder: read when present, inferred when absent (no
// property checks then), refused with the file's name when wrong.
TEST(Properties, ProfileFilesAreReadInferredOrRefused) {
    namespace fs = std::filesystem;
    fs::path dir = fs::path(TILDEKIT_BINARY_DIR) / "property-profile-test";
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::string ext = fs::path(TILDEKIT_PROPERTY_FIXTURE_DIR "/x").extension().string();
    for (auto &e : fs::directory_iterator(TILDEKIT_PROPERTY_FIXTURE_DIR))
        if (e.path().filename().string().rfind("stickyfilt~", 0) == 0 && e.path().extension() != ".json")
            fs::copy_file(e.path(), dir / e.path().filename());

    Result inferred = run("stickyfilt~ --only decay --seed 1", dir.string());
    EXPECT_EQ(inferred.status, 0) << inferred.out;
    EXPECT_NE(inferred.out.find("validate: 0 passed, 0 failed"), std::string::npos) << inferred.out;

    std::ofstream(dir / "stickyfilt~.validate.json") << R"({"params": [{"name": "freq", "message": "freq $", "range": [10, 5000]}],
        "properties": [{"kind": "decay", "vary": ["freq"], "decay_s": 0.25}]})";
    EXPECT_EQ(run("stickyfilt~ --only decay --seed 1", dir.string()).status, 1);

    std::ofstream(dir / "stickyfilt~.validate.json") << R"({"properties": [{"kind": "decay", "vary": ["nosuch"]}]})";
    Result bad = run("stickyfilt~ --seed 1", dir.string());
    EXPECT_EQ(bad.status, 2) << bad.out;
    EXPECT_NE(bad.out.find("stickyfilt~.validate.json: property decay varies 'nosuch', which is not among the params"), std::string::npos) << bad.out;

    // an expectation that names something undeclared is refused before anything runs
    std::ofstream(dir / "stickyfilt~.validate.json") << R"({"params": [{"name": "freq", "message": "freq $", "range": [10, 5000]}],
        "properties": [{"kind": "delay", "delays": ["max(freq, 1) * 2 + nosuch"]}]})";
    bad = run("stickyfilt~ --seed 1", dir.string());
    EXPECT_EQ(bad.status, 2) << bad.out;
    EXPECT_NE(bad.out.find("stickyfilt~.validate.json: property delay, expression: expression 'max(freq, 1) * 2 + nosuch': unknown name 'nosuch'"),
              std::string::npos)
        << bad.out;

    std::ofstream(dir / "stickyfilt~.validate.json") << "{\"params\": [";
    bad = run("stickyfilt~ --seed 1", dir.string());
    EXPECT_EQ(bad.status, 2) << bad.out;
    EXPECT_NE(bad.out.find("stickyfilt~.validate.json: not valid JSON"), std::string::npos) << bad.out;
    fs::remove_all(dir);
}

}  // namespace
