// The validator itself: a deliberately broken external fails with a reproduction command that
// fails again the same way; a sound one passes. Runs the tilde-validate program of this build.
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "support.h"

namespace {

struct Result {
    int status;
    std::string out;
};

Result run(const std::string &args) {
    std::string cmd = std::string(TILDEKIT_EMULATOR) + " " + TILDEKIT_BINARY_DIR "/tools/tilde-validate --path " TILDEKIT_FIXTURE_DIR " " + args + " 2>&1";
    Result r{-1, ""};
    FILE *f = ::popen(cmd.c_str(), "r");
    if (!f) return r;
    char buf[4096];
    while (std::fgets(buf, sizeof buf, f)) r.out += buf;
    int st = ::pclose(f);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
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
    EXPECT_EQ(run("recur~ --only nosuchcheck").status, 2);
    EXPECT_EQ(run("nosuchexternal~").status, 2);
}

}  // namespace
