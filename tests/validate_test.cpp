// The validator itself: a deliberately broken external fails with a reproduction command that
// fails again the same way; a sound one passes. Runs the tilde-validate program of this build.
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "support.h"

namespace {

struct Result {
    int status;
    std::string out;
};

Result run_with(const std::string &dir, const std::string &args) {
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
Result run(const std::string &args) { return run_with(TILDEKIT_FIXTURE_DIR, args); }

namespace fs = std::filesystem;

// A folder of its own holding one of the SDK's examples (built beside this build) and, when
// given, a profile for it; empty when the examples are not built here.
std::string example_alone(const std::string &name, const std::string &profile = "") {
    const fs::path from = TILDEKIT_BINARY_DIR "/sdk-examples";
    std::error_code ec;
    for (auto &e : fs::directory_iterator(from, ec)) {
        std::string f = e.path().filename().string();
        if (f.rfind(name + ".mxe", 0) != 0) continue;
        fs::path dir = fs::path(TILDEKIT_BINARY_DIR) / "test-validate" / (name + "-" + std::to_string(std::hash<std::string>{}(profile)));
        fs::create_directories(dir);
        fs::copy_file(e.path(), dir / f, fs::copy_options::overwrite_existing);
        fs::remove(dir / (name + ".validate.json"));
        if (!profile.empty()) std::ofstream(dir / (name + ".validate.json")) << profile;
        return dir.string();
    }
    return "";
}

TEST(Validate, BrokenExternalFailsWithAReproductionThatFailsAgain) {
    Result r = run("broken~ --seed 11");
    ASSERT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("FAIL broken~ / hostile: after a block of NaN samples"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("wrote into an input buffer"), std::string::npos) << r.out;
    const std::string marker = "reproduce: tilde-validate --path " TILDEKIT_FIXTURE_DIR " ";
    auto at = r.out.find(marker);
    ASSERT_NE(at, std::string::npos) << r.out;
    std::string args = r.out.substr(at + marker.size(), r.out.find('\n', at) - at - marker.size());
    EXPECT_EQ(args, "broken~ --only hostile --seed 11");
    Result again = run(args);
    EXPECT_EQ(again.status, 1) << again.out;
    EXPECT_NE(again.out.find("validate: 0 passed, 1 failed"), std::string::npos) << again.out;
}

TEST(Validate, MallocInAPerformRoutineIsCaught) {
    Result r = run("allocating~ --only rates --seed 2");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("the perform routine called malloc, calloc, realloc or free"), std::string::npos) << r.out;
}

// A free routine that returns without z_dsp_free after z_dsp_setup would leave its perform
// routine in a running chain on freed memory.
TEST(Validate, FreeWithoutLeavingTheChainIsCaught) {
    Result r = run("nodspfree~ --only churn --seed 3");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("FAIL nodspfree~ / churn: cycle 0 with arguments '': the free routine returned without z_dsp_free after z_dsp_setup"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(run("blocktick~ --only churn --seed 3").status, 0);
}

TEST(Validate, SoundExternalPassesAndBadArgumentsAreRefused) {
    Result r = run("recur~ --seed 5 --json -");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("validate: 13 passed, 0 failed"), std::string::npos) << r.out;  // 10 checks and 3 properties
    EXPECT_NE(r.out.find("property cases (externals): stable 12 (1), noburst 12 (1), decay 12 (1)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"seed\": 5"), std::string::npos) << r.out;
    // stated gains are compared only where a response died away in the time followed: say where
    r = run("sosect~ --only stable --seed 1");
    EXPECT_NE(r.out.find("property cases (externals): stable 12 (1, stated gains compared in 12)"), std::string::npos) << r.out;
    EXPECT_EQ(run("recur~ --only nosuchcheck").status, 2);
    EXPECT_EQ(run("nosuchexternal~").status, 2);
}

// A perform routine that never returns (dspstress~ spins for the CPU share it is sent, for ever
// at a huge one) fails the external with the check and where it was, instead of hanging the run.
TEST(Validate, AHangIsAFailureNamingTheCheck) {
    std::string dir = example_alone("dspstress~");
    if (dir.empty()) GTEST_SKIP() << "the SDK examples are not built here";
    auto t0 = std::chrono::steady_clock::now();
    Result r = run_with(dir, "dspstress~ --only fuzz --seed 1 --hang-after 2");
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("dspstress~: no answer from the external for 2 s in check fuzz (permutation "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("reproduce: tilde-validate --path " + dir + " dspstress~ --only fuzz --seed 1"), std::string::npos) << r.out;
    EXPECT_LT(secs, 60) << r.out;
}

// A profile's stated limits leave out exactly the cases they name, say so, and the rest runs:
// lores~ keeps a NaN or an infinity that reached any of its inlets in its filter memory.
TEST(Validate, StatedLimitsSkipExactlyTheirCases) {
    const std::string all = R"({"limits": [{"signals": "all", "finite": true, "reason": "kept in its memory"}]})";
    std::string dir = example_alone("lores~", all);
    if (dir.empty()) GTEST_SKIP() << "the SDK examples are not built here";
    Result r = run_with(dir, "lores~ --only hostile --seed 1");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("skipped: lores~ / hostile: NaN samples at inlets 0, 1, 2 (profile: kept in its memory)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("validate: 1 passed, 0 failed, 3 skipped"), std::string::npos) << r.out;  // NaN, +inf, -inf; 1e30 and 1e-40 ran

    // without the statement the same check fails; with the audio inlet alone stated, the
    // control inlets still get the values and fail it
    EXPECT_EQ(run_with(example_alone("lores~"), "lores~ --only hostile --seed 1").status, 1);
    Result part = run_with(example_alone("lores~", R"({"limits": [{"signals": [0], "finite": true, "reason": "r"}]})"),
                           "lores~ --only hostile --seed 1");
    EXPECT_EQ(part.status, 1) << part.out;
    EXPECT_NE(part.out.find("skipped: lores~ / hostile: NaN samples at inlet 0 (the other inlets still get them) (profile: r)"), std::string::npos)
        << part.out;

    // message ranges: dspstress~ is sent no share outside [0, 100], and passes
    std::string ds = example_alone("dspstress~", R"({"limits": [{"message": "number", "range": [0, 100], "reason": "a share in percent"}]})");
    Result d = run_with(ds, "dspstress~ --only fuzz --seed 1 --hang-after 20");
    EXPECT_EQ(d.status, 0) << d.out;
    EXPECT_NE(d.out.find("skipped: dspstress~ / fuzz: 'float' at inlet 0 outside [0, 100] (profile: a share in percent)"), std::string::npos) << d.out;

    // a limit without a reason, or naming no input, is refused before anything runs
    EXPECT_EQ(run_with(example_alone("lores~", R"({"limits": [{"signals": "all", "finite": true}]})"), "lores~").status, 2);
    EXPECT_EQ(run_with(example_alone("lores~", R"({"limits": [{"reason": "r"}]})"), "lores~").status, 2);
}

// The threads check's sender posts into a capture of its own: the external's complaints about
// the fuzzed arguments are judged there, not printed.
TEST(Validate, SecondThreadPostsAreCaptured) {
    Result r = run("backtap~ --only threads --seed 1");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("should be a number"), std::string::npos) << r.out;
}

// Externals checked side by side in child processes give the same table as one at a time.
TEST(Validate, JobsGiveTheSameResults) {
    Result one = run("recur~ broken~ blocktick~ --only hostile --seed 11");
    Result two = run("recur~ broken~ blocktick~ --only hostile --seed 11 --jobs 3");
    EXPECT_EQ(one.status, 1);
    EXPECT_EQ(two.status, 1);
    auto table = [](const std::string &out) { return out.substr(out.find("external ")); };
    EXPECT_EQ(table(one.out), table(two.out));
}

}  // namespace
